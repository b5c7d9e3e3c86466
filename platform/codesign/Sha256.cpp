#include "platform/codesign/Sha256.h"

#include <openssl/evp.h>
#include <unistd.h>

#include <memory>
#include <new>

#include "platform/codesign/FileAccess.h"

namespace pf::codesign {

struct Sha256::State {
    EVP_MD_CTX* context = nullptr;
    ~State() { EVP_MD_CTX_free(context); }
};

namespace {

void startDigest(EVP_MD_CTX* context) {
    // Only memory exhaustion makes this fail with a built-in algorithm.
    if (EVP_DigestInit_ex(context, EVP_sha256(), nullptr) != 1) throw std::bad_alloc();
}

} // namespace

Sha256::Sha256() : state_(std::make_unique<State>()) {
    state_->context = EVP_MD_CTX_new();
    if (!state_->context) throw std::bad_alloc();
    startDigest(state_->context);
}

Sha256::~Sha256() = default;

void Sha256::update(const void* bytes, std::size_t count) {
    if (count > 0) EVP_DigestUpdate(state_->context, bytes, count);
}

Sha256Digest Sha256::final() {
    Sha256Digest digest{};
    unsigned length = 0;
    EVP_DigestFinal_ex(state_->context, digest.data(), &length);
    // A spent object starts over rather than misbehaving if used again.
    startDigest(state_->context);
    return digest;
}

std::optional<Sha256Digest> sha256File(int fd) {
    if (fd < 0) return std::nullopt;
    // Left uninitialised: most bundle files are small, and only read bytes are hashed.
    constexpr std::size_t kChunkBytes = 256u << 10;
    const std::unique_ptr<unsigned char[]> buffer(new unsigned char[kChunkBytes]);
    Sha256 hash;
    for (;;) {
        const ssize_t n = retryOnEintr([&] { return ::read(fd, buffer.get(), kChunkBytes); });
        if (n < 0) return std::nullopt;
        if (n == 0) break;
        hash.update(buffer.get(), static_cast<std::size_t>(n));
    }
    return hash.final();
}

std::string toHex(const Sha256Digest& digest) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(digest.size() * 2);
    for (std::uint8_t byte : digest) {
        hex += kDigits[byte >> 4];
        hex += kDigits[byte & 0x0f];
    }
    return hex;
}

} // namespace pf::codesign
