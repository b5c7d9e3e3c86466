#pragma once
// The platform's string format: printf conversions (d i u x X o c s f F e E g G
// p %, with flags, width, precision and the length modifiers h hh l ll z j t q)
// plus "%@", which prints the description of an object, and D U O (%ld, %lu,
// %lo). Arguments may be named by position ("%2$s", widths and precisions
// too: "%1$*2$d"). The "'" flag prints no grouping (the C locale). Widths and
// precisions of text count characters, not bytes. Arguments are typed at
// compile time, so a wrong conversion prints its argument as best it can
// instead of reading garbage.
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

#include "platform/foundation/Object.h"
#include "platform/foundation/Value.h"

namespace pf {

class Exception;
class Error;
class URL;

class FormatArg {
public:
    template <class I>
        requires(std::is_integral_v<I> && !std::is_same_v<I, bool> && std::is_signed_v<I>)
    FormatArg(I i) : v_(static_cast<long long>(i)) {}
    template <class I>
        requires(std::is_integral_v<I> && !std::is_same_v<I, bool> && std::is_unsigned_v<I>)
    FormatArg(I i) : v_(static_cast<unsigned long long>(i)) {}
    FormatArg(bool b) : v_(static_cast<long long>(b)) {}
    FormatArg(double d) : v_(d) {}
    FormatArg(float d) : v_(static_cast<double>(d)) {}
    FormatArg(const char* s) : v_(std::string(s ? s : "(null)")) {}
    FormatArg(const std::string& s) : v_(s) {}
    FormatArg(std::string_view s) : v_(std::string(s)) {}
    FormatArg(const void* p) : v_(p) {}
    FormatArg(const Object& o) : v_(o.description()) {}
    FormatArg(const Value& v) : v_(v.description()) {}
    FormatArg(const Exception& e);
    FormatArg(const std::vector<std::string>& strings); // printed as an array
    template <class T>
    FormatArg(const std::shared_ptr<T>& o) : v_(o ? describe(*o) : std::string("(null)")) {}

    using Storage = std::variant<long long, unsigned long long, double, std::string, const void*>;
    const Storage& storage() const { return v_; }

private:
    static std::string describe(const Object& o) { return o.description(); }
    Storage v_;
};

std::string formatv(std::string_view format, std::span<const FormatArg> args);

template <class... A>
std::string format(std::string_view fmt, const A&... args) {
    if constexpr (sizeof...(A) == 0) {
        return formatv(fmt, {});
    } else {
        const FormatArg list[] = {FormatArg(args)...};
        return formatv(fmt, list);
    }
}

} // namespace pf
