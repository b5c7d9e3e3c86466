#include "app/ApplicationMain.h"

#include <cstring>

#include <utf8.h>

pf::Array VDArgumentArray(int argc, char** argv) {
    pf::Array arguments;
    for (int i = 0; i < argc; ++i) {
        const char* text = argv[i];
        const char* end = text + std::strlen(text);
        // An argument that is not valid UTF-8 yields no string and ends the array.
        if (utf8::find_invalid(text, end) != end) break;
        arguments.emplace_back(std::string(text, end));
    }
    return arguments;
}
