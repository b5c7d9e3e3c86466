#pragma once
// The process entry: builds the argument array, creates the application
// object of the given class and runs it. Returns the process status.
#include "app/VDApplication.h"

// Converts argv to strings, stopping at the first argument that is not valid UTF-8.
pf::Array VDArgumentArray(int argc, char** argv);

template <class Application>
int VDApplicationMain(int argc, char** argv) {
    VDApplication::setArgumentArray(VDArgumentArray(argc, argv));
    Application* app = new Application();
    // The application object lives until the process exits through terminate().
    int status = app->main(argc, argv);
    delete app;
    return status;
}
