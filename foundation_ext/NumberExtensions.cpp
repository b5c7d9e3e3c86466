#include "foundation_ext/NumberExtensions.h"

pf::Value vd_numberWithCGFloat(double value) { return pf::Value(value); }

double vd_CGFloatValue(const pf::Value& number) { return number.doubleValue(); }
