#include "platform/foundation/Object.h"

#include <cxxabi.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <typeinfo>

namespace pf {

// "<ClassName: 0x...>", as the platform prints an object that says nothing better.
std::string Object::description() const {
    const char* mangled = typeid(*this).name();
    int status = 0;
    std::unique_ptr<char, decltype(&std::free)> demangled(abi::__cxa_demangle(mangled, nullptr, nullptr, &status),
                                                           &std::free);
    char address[32];
    std::snprintf(address, sizeof address, "%p", static_cast<const void*>(this));
    return "<" + std::string(status == 0 && demangled ? demangled.get() : mangled) + ": " + address + ">";
}

} // namespace pf
