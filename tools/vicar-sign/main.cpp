// vicar-sign: Ed25519 key pairs and bundle signatures for packagers and tests.
//   vicar-sign keygen PREFIX              writes PREFIX.key (0600) and PREFIX.pub
//   vicar-sign sign --key KEYFILE BUNDLE  writes BUNDLE/Contents/_CodeSignature/
//   vicar-sign verify BUNDLE              checks BUNDLE against the trusted keys
// Exit status: 0 done, 1 the operation failed, 2 usage error.
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "platform/codesign/CodeSignature.h"

namespace {

constexpr int kFailed = 1;
constexpr int kUsage = 2;

int usage() {
    std::fputs("usage: vicar-sign keygen PREFIX\n"
               "       vicar-sign sign --key KEYFILE BUNDLE\n"
               "       vicar-sign verify BUNDLE\n",
               stderr);
    return kUsage;
}

int failed(const std::string& what, const std::string& why) {
    std::fprintf(stderr, "vicar-sign: %s: %s\n", what.c_str(), why.c_str());
    return kFailed;
}

int keygen(const std::string& prefix) {
    std::string why;
    if (!pf::codesign::generateKeyPair(prefix, &why)) return failed(prefix, why);
    std::printf("%s.key: private key (keep it private)\n%s.pub: public key\n", prefix.c_str(), prefix.c_str());
    return 0;
}

int sign(const std::string& keyPath, const std::string& bundle) {
    std::string why;
    if (!pf::codesign::signBundle(bundle, keyPath, &why)) return failed(bundle, why);
    std::printf("%s: signed\n", bundle.c_str());
    return 0;
}

int verify(const std::string& bundle) {
    std::string why;
    if (!pf::codesign::verifyBundle(bundle, &why)) return failed(bundle, why);
    std::printf("%s: valid\n", bundle.c_str());
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 1 && (args[0] == "-h" || args[0] == "--help")) {
        usage();
        return 0;
    }
    if (args.size() == 2 && args[0] == "keygen" && !args[1].empty()) return keygen(args[1]);
    if (args.size() == 4 && args[0] == "sign" && args[1] == "--key" && !args[2].empty() && !args[3].empty()) {
        return sign(args[2], args[3]);
    }
    if (args.size() == 2 && args[0] == "verify" && !args[1].empty()) return verify(args[1]);
    return usage();
}
