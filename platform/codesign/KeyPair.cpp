#include <unistd.h>

#include <string>

#include "platform/codesign/CodeSignature.h"
#include "platform/codesign/Ed25519Key.h"
#include "platform/codesign/FileAccess.h"
#include "platform/codesign/SealablePath.h"

namespace pf::codesign {

bool generateKeyPair(const std::string& prefix, std::string* why) {
    std::string sink;
    if (!why) why = &sink;
    const std::size_t slash = prefix.rfind('/');
    const std::string name = slash == std::string::npos ? prefix : prefix.substr(slash + 1);
    // The name signs bundles later ("<name>.key" -> key "<name>"), so it must be one.
    if (!isValidKeyName(name)) {
        *why = "the key's name \"" + name + "\" is not made of letters, digits, '.', '_' and '-'";
        return false;
    }
    auto key = Ed25519Key::generate(why);
    if (!key) return false;
    const auto privatePem = key->privatePem();
    const auto publicPem = key->publicPem();
    if (!privatePem || !publicPem) {
        *why = "the key cannot be written as PEM";
        return false;
    }
    const std::string privatePath = prefix + ".key";
    if (!createNewFile(privatePath, *privatePem, 0600, why)) return false;
    if (!createNewFile(prefix + ".pub", *publicPem, 0644, why)) {
        ::unlink(privatePath.c_str()); // a private key without its public half is of no use
        return false;
    }
    return true;
}

} // namespace pf::codesign
