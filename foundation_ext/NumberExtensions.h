#pragma once
// Numbers holding a CGFloat (a double on every 64-bit platform).
#include "platform/foundation/Value.h"

pf::Value vd_numberWithCGFloat(double value);
// The number's double value; a value that is no number raises as the platform does.
double vd_CGFloatValue(const pf::Value& number);
