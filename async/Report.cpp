#include "async/Report.h"

#include <cstdlib>
#include <iostream>

namespace VD::async {

void report_exception(unsigned site, const std::exception& e) {
    std::cout << "Exception @ " << site << ": " << e.what() << std::endl;
}

void report_unknown_exception(unsigned site) { std::cout << "Unknown exception @ " << site << std::endl; }

void terminate_process(std::string_view message) noexcept {
    std::cerr << message << std::endl;
    std::abort();
}

} // namespace VD::async
