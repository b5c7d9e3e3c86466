#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "platform/codesign/Sha256.h"
#include "platform/system/UniqueFd.h"
#include "tests/support/TestSupport.h"

namespace {

using pf::codesign::toHex;

// Known vectors hashed whole, and from a file read from its current offset on
// (the million bytes take several reads). Updates in pieces are OpenSSL's own.
TEST(Sha256, KnownVectorsWholeAndFromAFile) {
    struct Case {
        std::string input;
        const char* hex;
    };
    const Case cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    vt::TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.input.substr(0, 16));
        pf::codesign::Sha256 hash;
        hash.update(c.input.data(), c.input.size());
        EXPECT_EQ(toHex(hash.final()), c.hex);
        vt::writeFile(dir / "f", "skip" + c.input);
        const pf::UniqueFd fd(::open((dir / "f").c_str(), O_RDONLY | O_CLOEXEC));
        ASSERT_EQ(::lseek(fd.get(), 4, SEEK_SET), 4);
        const auto digest = pf::codesign::sha256File(fd.get());
        EXPECT_EQ(digest ? toHex(*digest) : "unreadable", c.hex);
    }
}

} // namespace
