#pragma once
// An Ed25519 key (OpenSSL EVP), private or public half, read from and
// written as PEM.
#include <openssl/types.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pf::codesign {

class Ed25519Key {
public:
    static std::optional<Ed25519Key> generate(std::string* why);
    // PKCS#8 private key; an encrypted one is refused rather than prompted for.
    static std::optional<Ed25519Key> fromPrivatePem(std::string_view pem, std::string* why);
    static std::optional<Ed25519Key> fromPublicPem(std::string_view pem, std::string* why);

    // Needs the private half.
    std::optional<std::vector<std::uint8_t>> sign(std::string_view message, std::string* why) const;
    bool verify(std::string_view message, const std::vector<std::uint8_t>& signature) const;

    std::optional<std::string> privatePem() const;
    std::optional<std::string> publicPem() const;

private:
    struct Free {
        void operator()(EVP_PKEY* key) const;
    };
    explicit Ed25519Key(EVP_PKEY* key) : key_(key) {}
    static std::optional<Ed25519Key> fromPem(std::string_view pem, bool isPrivate, std::string* why);
    std::unique_ptr<EVP_PKEY, Free> key_;
};

} // namespace pf::codesign
