#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "platform/codesign/Sha256.h"
#include "tests/support/TestSupport.h"

namespace {

using pf::codesign::Sha256;
using pf::codesign::toHex;

constexpr const char* kAbc = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";

TEST(Sha256, KnownVectorsWholeAndInPieces) {
    struct Case {
        std::string input;
        const char* hex;
    };
    const Case cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", kAbc},
        {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const Case& c : cases) {
        for (std::size_t chunk : {std::size_t{1} << 30, std::size_t{7}, std::size_t{64}}) {
            Sha256 hash;
            for (std::size_t at = 0; at < c.input.size(); at += chunk)
                hash.update(c.input.data() + at, std::min(chunk, c.input.size() - at));
            EXPECT_EQ(toHex(hash.final()), c.hex) << c.input.substr(0, 16) << " in pieces of " << chunk;
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
    EXPECT_EQ(toHex(*digest), kAbc);
    EXPECT_FALSE(pf::codesign::sha256File(-1));
}

} // namespace
