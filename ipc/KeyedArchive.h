#pragma once
// The error entry of a message: the platform's keyed archive of its error
// class, so that the peer application unarchives it with its own unarchiver.
//
// Layout (binary property list): {"$archiver": "NSKeyedArchiver", "$version":
// 100000, "$top": {"root": UID(1)}, "$objects": ["$null", the NSError object
// {NSCode, NSDomain, NSUserInfo, $class}, its strings, dictionaries, class
// descriptions...]}. Objects refer to each other by UID.
//
// User-info values archive as the platform would: strings, numbers, booleans
// and data inline; dates as NSDate, arrays as NSArray, dictionaries as
// NSDictionary, URLs as NSURL (NS.base $null, NS.relative string), errors as
// nested NSError. Values of any other kind are left out.
#include <optional>
#include <span>
#include <cstdint>

#include "platform/foundation/Error.h"
#include "platform/foundation/Value.h"

// nullopt only when the writer fails.
std::optional<pf::Data> VDArchiveError(const pf::Error& error);

// The error the archive holds, or nullopt for anything that is not such an
// archive. Hostile bytes are bounded: size, object count and nesting depth.
std::optional<pf::Error> VDUnarchiveError(std::span<const std::uint8_t> archive);
