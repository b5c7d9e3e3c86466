#pragma once
// The trusted public keys: "<name>.pub" files of the trusted-keys folder
// (trustedKeysDirectory() in CodeSignature.h).
#include <optional>
#include <string>
#include <string_view>

#include "platform/codesign/Ed25519Key.h"

namespace pf::codesign {

// The key named so, once the folder passes its checks (a real folder owned
// by root, or by the caller when not root, writable by its owner alone) and
// the key file passes them too (a small regular file, not a symlink, of the
// same owners, not writable by group or others).
std::optional<Ed25519Key> loadTrustedKey(std::string_view name, std::string* why);

} // namespace pf::codesign
