#pragma once
// The reserved keys of messages, envelopes, send records and XPC frames, and
// the connection notification names: the wire and the observers depend on
// these exact strings.
#include <string>
#include <string_view>

namespace vdipc {

// Message entries.
inline constexpr const char* kTypeKey = "_tY";
inline constexpr const char* kReplyToTypeKey = "_rtY";
inline constexpr const char* kErrorKey = "_err_";
inline constexpr std::string_view kOutOfBandPrefix = "__ob_";

// Envelope entries.
inline constexpr const char* kEnvelopePacketKey = "__d_";
inline constexpr const char* kEnvelopeSealKey = "__s_";

// Send-record entries (in-process only).
inline constexpr const char* kRecordHandlerKey = "__h_";
inline constexpr const char* kRecordEnvelopeKey = "__d_";
inline constexpr const char* kRecordSourceMessageKey = "__sm_";

// XPC frame entries and the out-of-band key of the reply context.
inline constexpr const char* kXPCDataKey = "__Xd_";
inline constexpr const char* kXPCWantsReplyKey = "__Xr_";
inline constexpr const char* kXPCReplyContextKey = "__ob_Xc_";

inline constexpr const char* kConnectionCreatedNotification = "VDIPCConnectionCreatedNotification";
inline constexpr const char* kConnectionDiedNotification = "VDIPCConnectionDiedNotification";
inline constexpr const char* kServiceWillStartNotification = "VDIPCServiceConnectionWillStartNotification";

inline bool isOutOfBandKey(std::string_view key) { return key.substr(0, kOutOfBandPrefix.size()) == kOutOfBandPrefix; }
// "_%@_l9d_"
inline std::string localizedNameKey(std::string_view key) { return "_" + std::string(key) + "_l9d_"; }
// "__ob_%@_"
inline std::string outOfBandKey(std::string_view key) { return std::string(kOutOfBandPrefix) + std::string(key) + "_"; }

} // namespace vdipc
