#pragma once
// Base64 text of data and back, and the SHA-256 digest of a URL's contents.
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/URL.h"
#include "platform/foundation/Value.h"

// nullopt (nil) raises NSInvalidArgumentException "Input string cannot be
// nil."; "" gives empty data; characters outside the Base64 alphabet are
// skipped; text that does not decode (a partial group, misplaced padding)
// gives nullopt.
std::optional<pf::Data> dataWithBase64EncodedString(std::optional<std::string_view> string);
// Standard Base64 with padding and no line breaks; "" for empty data.
std::string base64EncodedString(const pf::Data& data);

// The 32-byte digest of the file's content; nullopt for a URL that is no
// file URL, and (logged) when reading fails.
std::optional<pf::Data> SHA256DigestWithContentsOfURL(const pf::URL& url);
