#pragma once
// JSON text of a reply for `vicarctl --json`: {"type": ..., "entries": {...},
// "error": {"domain", "code", "userInfo"} or null}.
#include <string>

#include "platform/foundation/Value.h"

class VDIPCMessage;

namespace vicarctl {
std::string toJson(const pf::Value& value);
std::string replyToJson(const VDIPCMessage& reply);
} // namespace vicarctl
