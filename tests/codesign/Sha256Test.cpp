#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "platform/codesign/Sha256.h"
#include "tests/support/TestSupport.h"

namespace {

using pf::codesign::Sha256;
using pf::codesign::toHex;

std::string hexOf(const std::string& bytes, std::size_t chunk) {
    Sha256 hash;
    for (std::size_t at = 0; at < bytes.size(); at += chunk) {
        hash.update(bytes.data() + at, std::min(chunk, bytes.size() - at));
    }
    return toHex(hash.final());
}

TEST(Sha256, KnownVectorsWholeAndInPieces) {
    struct Case {
        std::string input;
        const char* hex;
    };
    const Case cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const Case& c : cases) {
        for (std::size_t chunk : {std::size_t{1} << 30, std::size_t{7}, std::size_t{64}}) {
            if (chunk < 64 && c.input.size() > 100000) continue; // keeps the run short
            EXPECT_EQ(hexOf(c.input, chunk), c.hex) << c.input.substr(0, 16) << " in pieces of " << chunk;
        }
    }
}

TEST(Sha256, FileFromItsCurrentOffset) {
    vt::TempDir dir;
    vt::writeFile(dir / "f", "skipabc");
    const int fd = ::open((dir / "f").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::lseek(fd, 4, SEEK_SET), 4);
    const auto digest = pf::codesign::sha256File(fd);
    ::close(fd);
    ASSERT_TRUE(digest);
    EXPECT_EQ(toHex(*digest), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_FALSE(pf::codesign::sha256File(-1));
}

} // namespace
