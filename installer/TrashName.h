#pragma once
// The name a bundle gets in the Trash when its own name is taken there:
// "Foo.app" becomes "Foo 3.04.05 PM.app", the time written in the locale's
// pattern for "h.mm.ss a" with every ":" turned into ".".
#include <string>

// The time-stamped form of `name` for the moment (milliseconds since 1970)
// in the locale with the given identifier (ICU's default locale when empty).
std::string VDTimeStampedTrashName(const std::string& name, double unixMilliseconds,
                                   const std::string& localeIdentifier = {});
