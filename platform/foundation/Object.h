#pragma once
// The root of the platform's object model: anything that can be stored as an
// out-of-band value, described for "%@" and compared by its own equality.
#include <string>

namespace pf {

class Object {
public:
    virtual ~Object() = default;
    // Text printed for "%@".
    virtual std::string description() const;
    // Identity unless a subclass knows better.
    virtual bool isEqual(const Object& other) const { return this == &other; }
};

} // namespace pf
