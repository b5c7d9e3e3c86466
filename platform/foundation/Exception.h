#pragma once
// The platform's exception type: name, reason, user info and the call-stack
// return addresses captured when it is raised (an exception that was only
// made has none). Only this type is caught by the system's exception
// convention; other C++ exceptions propagate.
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

class Exception;
// Both record the call stack, starting in the caller, and throw.
[[noreturn]] void raise(Exception exception);
[[noreturn]] void raise(std::string name, std::string reason);

class Exception : public std::exception {
public:
    Exception(std::string name, std::string reason, Dictionary userInfo = {});

    const std::string& name() const { return name_; }
    const std::string& reason() const { return reason_; }
    const Dictionary& userInfo() const { return userInfo_; }
    // Innermost first; empty until the exception is raised.
    const std::vector<std::uintptr_t>& callStackReturnAddresses() const { return stack_; }
    // The platform prints an exception's reason for "%@".
    std::string description() const { return reason_; }
    const char* what() const noexcept override { return reason_.c_str(); }

private:
    friend void raise(Exception exception);
    friend void raise(std::string name, std::string reason);
    // Records the stack from the frame that returns to `caller` outwards.
    void captureCallStack(const void* caller);

    std::string name_;
    std::string reason_;
    Dictionary userInfo_;
    std::vector<std::uintptr_t> stack_;
};

} // namespace pf
