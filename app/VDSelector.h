#pragma once
// Selectors: a method named as the platform names it ("signalHandler:") and
// called by that name on an object with one value argument. A class makes a
// method callable by name with VDSelector::define; calling a name that the
// object's class never defined raises NSInvalidArgumentException, as an
// unrecognised selector does.
//
//   static const VDSelector kTick = VDSelector::define<Clock>("tick:", &Clock::tick);
//   kTick.perform(clock, pf::Value(15));
#include <functional>
#include <string>

#include "platform/foundation/Object.h"
#include "platform/foundation/Value.h"

class VDSelector {
public:
    // False when the object's class is not T (nor derived from it).
    using Implementation = std::function<bool(pf::Object& target, const pf::Value& argument)>;

    template <class T>
    static VDSelector define(std::string name, void (T::*method)(const pf::Value&)) {
        return defineImplementation(std::move(name), [method](pf::Object& target, const pf::Value& argument) {
            auto* object = dynamic_cast<T*>(&target);
            if (object) (object->*method)(argument);
            return object != nullptr;
        });
    }
    // The selector of that name, defined or not (NSSelectorFromString).
    static VDSelector named(std::string name) { return VDSelector(std::move(name)); }

    const std::string& name() const { return name_; }
    void perform(pf::Object& target, const pf::Value& argument) const;

private:
    explicit VDSelector(std::string name) : name_(std::move(name)) {}
    static VDSelector defineImplementation(std::string name, Implementation implementation);
    std::string name_;
};
