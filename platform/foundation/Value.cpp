#include "platform/foundation/Value.h"

#include <cmath>
#include <cstdlib>
#include <limits>

#include "platform/foundation/Exception.h"
#include "platform/foundation/URL.h"

namespace pf {

namespace {

const char* kindName(Value::Kind kind) {
    switch (kind) {
    case Value::Kind::Null: return "null";
    case Value::Kind::String: return "string";
    case Value::Kind::Integer: return "integer";
    case Value::Kind::Real: return "real";
    case Value::Kind::Boolean: return "boolean";
    case Value::Kind::Date: return "date";
    case Value::Kind::Data: return "data";
    case Value::Kind::Array: return "array";
    case Value::Kind::Dictionary: return "dictionary";
    case Value::Kind::Object: return "object";
    }
    return "value";
}

[[noreturn]] void wrongKind(Value::Kind actual, const char* wanted) {
    raise(NSInvalidArgumentException, std::string("value is not ") + wanted + " (it is " + kindName(actual) + ")");
}

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

// NSString's boolValue: blanks, an optional sign, leading zeros, then Y/y/T/t or 1-9.
bool stringBoolValue(const std::string& s) {
    std::size_t i = 0;
    while (i < s.size() && isBlank(s[i])) ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    while (i < s.size() && s[i] == '0') ++i;
    if (i == s.size()) return false;
    char c = s[i];
    return c == 'Y' || c == 'y' || c == 'T' || c == 't' || (c >= '1' && c <= '9');
}

// NSString's integerValue: the leading decimal integer, saturated at the limits.
std::int64_t stringIntegerValue(const std::string& s) {
    std::size_t i = 0;
    while (i < s.size() && isBlank(s[i])) ++i;
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
    std::uint64_t magnitude = 0;
    const std::uint64_t limit = negative ? std::uint64_t(std::numeric_limits<std::int64_t>::max()) + 1
                                         : std::uint64_t(std::numeric_limits<std::int64_t>::max());
    for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
        std::uint64_t digit = std::uint64_t(s[i] - '0');
        if (magnitude > (limit - digit) / 10) {
            magnitude = limit;
            break;
        }
        magnitude = magnitude * 10 + digit;
    }
    if (negative) return magnitude == limit ? std::numeric_limits<std::int64_t>::min() : -std::int64_t(magnitude);
    return std::int64_t(magnitude);
}

std::int64_t truncateReal(double d) {
    if (std::isnan(d)) return 0;
    if (d >= 9223372036854775807.0) return std::numeric_limits<std::int64_t>::max();
    if (d <= -9223372036854775808.0) return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(d);
}

} // namespace

Value::Value(const URL& url) : v_(ObjectPtr(std::make_shared<URL>(url))) {}

const std::string& Value::string() const {
    if (auto p = std::get_if<std::string>(&v_)) return *p;
    wrongKind(kind(), "a string");
}

std::int64_t Value::integer() const {
    if (auto p = std::get_if<Integer>(&v_)) return p->bits;
    wrongKind(kind(), "an integer");
}

std::uint64_t Value::unsignedInteger() const { return static_cast<std::uint64_t>(integer()); }

bool Value::isUnsignedInteger() const {
    auto p = std::get_if<Integer>(&v_);
    return p && p->isUnsigned;
}

double Value::real() const {
    if (auto p = std::get_if<double>(&v_)) return *p;
    wrongKind(kind(), "a real");
}

bool Value::boolean() const {
    if (auto p = std::get_if<bool>(&v_)) return *p;
    wrongKind(kind(), "a boolean");
}

const Date& Value::date() const {
    if (auto p = std::get_if<Date>(&v_)) return *p;
    wrongKind(kind(), "a date");
}

const Data& Value::data() const {
    if (auto p = std::get_if<Data>(&v_)) return *p;
    wrongKind(kind(), "data");
}

const Array& Value::array() const {
    if (auto p = std::get_if<Array>(&v_)) return *p;
    wrongKind(kind(), "an array");
}

Array& Value::array() {
    if (auto p = std::get_if<Array>(&v_)) return *p;
    wrongKind(kind(), "an array");
}

const Dictionary& Value::dictionary() const {
    if (auto p = std::get_if<Dictionary>(&v_)) return *p;
    wrongKind(kind(), "a dictionary");
}

Dictionary& Value::dictionary() {
    if (auto p = std::get_if<Dictionary>(&v_)) return *p;
    wrongKind(kind(), "a dictionary");
}

const ObjectPtr& Value::object() const {
    if (auto p = std::get_if<ObjectPtr>(&v_)) return *p;
    wrongKind(kind(), "an object");
}

const URL* Value::url() const {
    auto p = std::get_if<ObjectPtr>(&v_);
    return p ? dynamic_cast<const URL*>(p->get()) : nullptr;
}

bool Value::boolValue() const {
    switch (kind()) {
    case Kind::Boolean: return std::get<bool>(v_);
    case Kind::Integer: return integer() != 0;
    case Kind::Real: return std::get<double>(v_) != 0;
    case Kind::String: return stringBoolValue(std::get<std::string>(v_));
    default: wrongKind(kind(), "a number or a string");
    }
}

std::int64_t Value::integerValue() const {
    switch (kind()) {
    case Kind::Boolean: return std::get<bool>(v_) ? 1 : 0;
    case Kind::Integer: return integer();
    case Kind::Real: return truncateReal(std::get<double>(v_));
    case Kind::String: return stringIntegerValue(std::get<std::string>(v_));
    default: wrongKind(kind(), "a number or a string");
    }
}

double Value::doubleValue() const {
    switch (kind()) {
    case Kind::Boolean: return std::get<bool>(v_) ? 1 : 0;
    case Kind::Integer: return isUnsignedInteger() ? static_cast<double>(unsignedInteger()) : static_cast<double>(integer());
    case Kind::Real: return std::get<double>(v_);
    case Kind::String: return std::strtod(std::get<std::string>(v_).c_str(), nullptr);
    default: wrongKind(kind(), "a number or a string");
    }
}

const Value* Value::find(std::string_view key) const {
    const Dictionary& d = dictionary();
    auto it = d.find(key);
    return it == d.end() ? nullptr : &it->second;
}

bool Value::isPropertyList() const {
    switch (kind()) {
    case Kind::Null:
    case Kind::Object: return false;
    case Kind::Array:
        for (const Value& v : std::get<Array>(v_))
            if (!v.isPropertyList()) return false;
        return true;
    case Kind::Dictionary:
        for (const auto& [k, v] : std::get<Dictionary>(v_))
            if (!v.isPropertyList()) return false;
        return true;
    default: return true;
    }
}

bool Value::operator==(const Value& other) const {
    // Integers and reals compare by numeric value, as the platform's numbers do.
    if (isInteger() && other.isReal()) return doubleValue() == other.real();
    if (isReal() && other.isInteger()) return real() == other.doubleValue();
    if (kind() != other.kind()) return false;
    if (isObject()) {
        const ObjectPtr& a = object();
        const ObjectPtr& b = other.object();
        if (!a || !b) return a == b;
        return a == b || a->isEqual(*b);
    }
    return v_ == other.v_;
}

} // namespace pf
