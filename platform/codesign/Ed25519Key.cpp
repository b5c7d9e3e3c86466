#include "platform/codesign/Ed25519Key.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <climits>

#include "platform/codesign/Limits.h"

namespace pf::codesign {

namespace {

struct BioFree {
    void operator()(BIO* bio) const { BIO_free(bio); }
};
using BioPtr = std::unique_ptr<BIO, BioFree>;

struct ContextFree {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
using ContextPtr = std::unique_ptr<EVP_MD_CTX, ContextFree>;

std::string openSslReason(const std::string& what) {
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0) return what;
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return what + " (" + text + ")";
}

BioPtr memoryBio(std::string_view bytes) {
    if (bytes.size() > static_cast<std::size_t>(INT_MAX)) return nullptr;
    return BioPtr(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
}

// Never asks a terminal for a passphrase.
int noPassphrase(char*, int, int, void*) { return -1; }

std::optional<std::string> bioText(BIO* bio) {
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio, &data);
    if (length <= 0 || !data) return std::nullopt;
    return std::string(data, static_cast<std::size_t>(length));
}

} // namespace

void Ed25519Key::Free::operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }

std::optional<Ed25519Key> Ed25519Key::generate(std::string* why) {
    EVP_PKEY* key = EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519");
    if (!key) {
        *why = openSslReason("cannot generate an Ed25519 key");
        return std::nullopt;
    }
    return Ed25519Key(key);
}

std::optional<Ed25519Key> Ed25519Key::fromPem(std::string_view pem, bool isPrivate, std::string* why) {
    BioPtr bio = memoryBio(pem);
    EVP_PKEY* key = nullptr;
    if (bio)
        key = isPrivate ? PEM_read_bio_PrivateKey(bio.get(), nullptr, noPassphrase, nullptr)
                        : PEM_read_bio_PUBKEY(bio.get(), nullptr, noPassphrase, nullptr);
    if (!key) {
        *why = openSslReason(isPrivate ? "not a PEM private key" : "not a PEM public key");
        return std::nullopt;
    }
    Ed25519Key result(key);
    if (EVP_PKEY_get_id(key) != EVP_PKEY_ED25519) {
        *why = "not an Ed25519 key";
        return std::nullopt;
    }
    return result;
}

std::optional<Ed25519Key> Ed25519Key::fromPrivatePem(std::string_view pem, std::string* why) {
    return fromPem(pem, true, why);
}

std::optional<Ed25519Key> Ed25519Key::fromPublicPem(std::string_view pem, std::string* why) {
    return fromPem(pem, false, why);
}

std::optional<std::vector<std::uint8_t>> Ed25519Key::sign(std::string_view message, std::string* why) const {
    ContextPtr context(EVP_MD_CTX_new());
    std::vector<std::uint8_t> signature(kEd25519SignatureBytes);
    std::size_t length = signature.size();
    // Ed25519 hashes the message itself: no digest is named, and it signs in one call.
    if (!context || EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, key_.get()) != 1 ||
        EVP_DigestSign(context.get(), signature.data(), &length,
                       reinterpret_cast<const unsigned char*>(message.data()), message.size()) != 1) {
        *why = openSslReason("cannot sign");
        return std::nullopt;
    }
    signature.resize(length);
    return signature;
}

bool Ed25519Key::verify(std::string_view message, const std::vector<std::uint8_t>& signature) const {
    if (signature.size() != kEd25519SignatureBytes) return false;
    ContextPtr context(EVP_MD_CTX_new());
    const bool ok = context && EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, key_.get()) == 1 &&
                    EVP_DigestVerify(context.get(), signature.data(), signature.size(),
                                     reinterpret_cast<const unsigned char*>(message.data()), message.size()) == 1;
    ERR_clear_error(); // a failed verification leaves an entry nobody reads
    return ok;
}

std::optional<std::string> Ed25519Key::privatePem() const {
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_PrivateKey(bio.get(), key_.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1) {
        ERR_clear_error();
        return std::nullopt;
    }
    return bioText(bio.get());
}

std::optional<std::string> Ed25519Key::publicPem() const {
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_PUBKEY(bio.get(), key_.get()) != 1) {
        ERR_clear_error();
        return std::nullopt;
    }
    return bioText(bio.get());
}

} // namespace pf::codesign
