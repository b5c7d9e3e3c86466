#pragma once
// One property-list value (string, integer, real, boolean, date, data, array,
// dictionary), plus two kinds that never reach a property list: null and an
// arbitrary object (out-of-band entries, URLs in user info).
//
// Reading a value as the wrong kind throws pf::Exception with the name
// "NSInvalidArgumentException", as the platform does when a message is sent
// to an object of the wrong class.
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "platform/foundation/Date.h"
#include "platform/foundation/Object.h"

namespace pf {

class Value;
class URL;
using Array = std::vector<Value>;
using Dictionary = std::map<std::string, Value, std::less<>>;
using Data = std::vector<std::uint8_t>;
using ObjectPtr = std::shared_ptr<const Object>;

class Value {
public:
    enum class Kind { Null, String, Integer, Real, Boolean, Date, Data, Array, Dictionary, Object };

    Value() = default;
    Value(std::nullptr_t) {}
    Value(std::string s) : v_(std::move(s)) {}
    Value(std::string_view s) : v_(std::string(s)) {}
    Value(const char* s) : v_(std::string(s)) {}
    Value(bool b) : v_(b) {}
    Value(int i) : v_(Integer{i}) {}
    Value(unsigned i) : v_(Integer{i}) {}
    Value(long i) : v_(Integer{i}) {}
    Value(unsigned long i) : v_(unsignedInteger(i)) {}
    Value(long long i) : v_(Integer{i}) {}
    Value(unsigned long long i) : v_(unsignedInteger(i)) {}
    Value(double d) : v_(d) {}
    Value(Date d) : v_(d) {}
    Value(Data d) : v_(std::move(d)) {}
    Value(Array a) : v_(std::move(a)) {}
    Value(Dictionary d) : v_(std::move(d)) {}
    Value(ObjectPtr o) : v_(std::move(o)) {}
    Value(const URL& url); // stored as an object

    Kind kind() const { return static_cast<Kind>(v_.index()); }
    bool isNull() const { return kind() == Kind::Null; }
    bool isString() const { return kind() == Kind::String; }
    bool isInteger() const { return kind() == Kind::Integer; }
    bool isReal() const { return kind() == Kind::Real; }
    bool isBoolean() const { return kind() == Kind::Boolean; }
    bool isNumber() const { return isInteger() || isReal() || isBoolean(); }
    bool isDate() const { return kind() == Kind::Date; }
    bool isData() const { return kind() == Kind::Data; }
    bool isArray() const { return kind() == Kind::Array; }
    bool isDictionary() const { return kind() == Kind::Dictionary; }
    bool isObject() const { return kind() == Kind::Object; }

    // Strict accessors: the value must be of that kind, else NSInvalidArgumentException.
    const std::string& string() const;
    // An integer above the signed 64-bit range (made from an unsigned value)
    // stays unsigned, as the platform's numbers keep their type: integer()
    // gives its bits as a signed number (longLongValue), unsignedInteger()
    // the value, isUnsignedInteger() is true for it alone, and its
    // description is the unsigned decimal.
    std::int64_t integer() const;
    std::uint64_t unsignedInteger() const;
    bool isUnsignedInteger() const;
    double real() const;
    bool boolean() const;
    const Date& date() const;
    const Data& data() const;
    const Array& array() const;
    Array& array();
    const Dictionary& dictionary() const;
    Dictionary& dictionary();
    const ObjectPtr& object() const;
    // The URL held as an object, or nullptr when this is no URL.
    const URL* url() const;

    // The platform's conversions: a boolean, a number (non-zero is true) or a
    // string read as NSString's boolValue (after blanks, a sign and leading
    // zeros, true when it begins with Y, y, T, t or a digit 1-9). Any other kind
    // throws NSInvalidArgumentException.
    bool boolValue() const;
    // A number truncated, a boolean as 0/1, a string's leading decimal integer
    // (0 when none). Any other kind throws.
    std::int64_t integerValue() const;
    double doubleValue() const;

    // Dictionary lookup; nullptr when absent. Throws when this is no dictionary.
    const Value* find(std::string_view key) const;

    // True when the value and everything inside it is a property-list value
    // (no null, no object).
    bool isPropertyList() const;

    // Text printed for "%@": strings as they are, numbers in decimal, booleans
    // as 1/0, arrays "(\n    a,\n    b\n)", dictionaries "{\n    k = v;\n}",
    // data "{length = 3, bytes = 0x010203}".
    std::string description() const;

    bool operator==(const Value& other) const;

private:
    struct Integer {
        std::int64_t bits = 0;
        bool isUnsigned = false; // only for values above INT64_MAX
        bool operator==(const Integer&) const = default;
    };
    static Integer unsignedInteger(std::uint64_t u) {
        return Integer{static_cast<std::int64_t>(u), u > std::uint64_t(INT64_MAX)};
    }

    std::variant<std::monostate, std::string, Integer, double, bool, Date, Data, Array, Dictionary, ObjectPtr> v_;
};

} // namespace pf
