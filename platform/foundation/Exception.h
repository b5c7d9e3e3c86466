#pragma once
// The platform's exception type: name, reason, user info and the call-stack
// return addresses captured when it was made. Only this type is caught by the
// system's exception convention; other C++ exceptions propagate.
#include <cstdint>
#include <exception>
#include <string>
#include <vector>

#include "platform/foundation/Value.h"

namespace pf {

inline constexpr const char* NSInvalidArgumentException = "NSInvalidArgumentException";
inline constexpr const char* NSInternalInconsistencyException = "NSInternalInconsistencyException";
inline constexpr const char* NSRangeException = "NSRangeException";
inline constexpr const char* NSGenericException = "NSGenericException";

class Exception : public std::exception {
public:
    Exception(std::string name, std::string reason, Dictionary userInfo = {});

    const std::string& name() const { return name_; }
    const std::string& reason() const { return reason_; }
    const Dictionary& userInfo() const { return userInfo_; }
    // Innermost first.
    const std::vector<std::uintptr_t>& callStackReturnAddresses() const { return stack_; }
    // The platform prints an exception's reason for "%@".
    std::string description() const { return reason_; }
    const char* what() const noexcept override { return reason_.c_str(); }

private:
    std::string name_;
    std::string reason_;
    Dictionary userInfo_;
    std::vector<std::uintptr_t> stack_;
};

[[noreturn]] void raise(std::string name, std::string reason);

} // namespace pf
