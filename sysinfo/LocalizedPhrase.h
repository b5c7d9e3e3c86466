#pragma once
// A phrase of this library looked up in the main bundle's default string
// table, the phrase itself being the key; without a translation (or without
// a main bundle) it reads as written.
#include <string>
#include <string_view>

std::string VDLocalizedPhrase(std::string_view phrase);
