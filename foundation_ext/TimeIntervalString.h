#pragma once
// Durations as text. Format 0: a clock "m:ss" or "h:mm:ss" of the interval
// rounded to whole seconds. Format 1: an approximate English phrase ("About
// 2 minutes", "1 day, 5 hours"), each phrase looked up in the main bundle's
// default string table first. Other formats give "".
#include <string>

std::string stringWithTimeInterval(double seconds, int format);
