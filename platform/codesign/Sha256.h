#pragma once
// SHA-256 (OpenSSL EVP) of bytes as they pass, of a whole open file, and as
// lower-case hex.
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace pf::codesign {

using Sha256Digest = std::array<std::uint8_t, 32>;

class Sha256 {
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    void update(const void* bytes, std::size_t count);
    // The digest of everything passed so far; the object is spent afterwards.
    Sha256Digest final();

private:
    struct State;
    std::unique_ptr<State> state_;
};

// Reads fd from its current offset to the end; nullopt on a read error.
std::optional<Sha256Digest> sha256File(int fd);

std::string toHex(const Sha256Digest& digest);

} // namespace pf::codesign
