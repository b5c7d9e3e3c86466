#pragma once
// One environment variable set (or, given nullopt, unset) while the guard
// lives, and put back as it was when it goes, so that no test leaves its
// setting to the tests after it.
#include <cstdlib>
#include <optional>
#include <string>

namespace vt {

class ScopedEnvironment {
public:
    ScopedEnvironment(std::string name, const std::optional<std::string>& value) : name_(std::move(name)) {
        if (const char* old = std::getenv(name_.c_str())) before_ = old;
        set(value);
    }
    ~ScopedEnvironment() { set(before_); }
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

private:
    void set(const std::optional<std::string>& value) const {
        value ? ::setenv(name_.c_str(), value->c_str(), 1) : ::unsetenv(name_.c_str());
    }

    std::string name_;
    std::optional<std::string> before_;
};

} // namespace vt
