// Our packets (out-of-band entries left out) and error archives as a reader
// nobody here wrote (Python's plistlib, which the bootstrap installs) sees
// them. How our reader takes other writers' bytes is the property-list
// tests' business, byte by byte.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ipc/KeyedArchive.h"
#include "ipc/VDIPCMessage.h"
#include "platform/foundation/URL.h"
#include "tests/ipc/Plistlib.h"

namespace {

// plistlib reads XML as readily as binary, so the format is checked first.
std::string pythonSees(const std::string& body, const pf::Data& bytes) {
    const std::string script = std::string(vt::CANON_PY) + "assert data[:8] == b'bplist00'\n" + body;
    const vt::PythonResult r = vt::runPython(script, bytes);
    EXPECT_EQ(r.status, 0) << r.out;
    return r.out;
}

std::vector<std::shared_ptr<VDIPCMessage>> sampleMessages() {
    auto install = VDIPCMessage::messageWithType("VDinstall");
    install->setObject(pf::Value("file:///Volumes/Disk/Tool.bundle/"), "VDurl", std::string("Bundle"));
    install->setObject(pf::Value(true), "VDforce");
    install->setOOBObject(pf::Value("stays home"), "Xc");
    install->setObject(pf::Value("stays home too"), "__ob_raw");
    auto mixed = VDIPCMessage::messageWithType("Größe ✓ \"q\"\n\\");
    mixed->setObject(pf::Value(pf::Array{0, -1, -1015, 255, 65536, 4294967296LL, -9223372036854775807LL - 1,
                                         9223372036854775807LL, 18446744073709551615ULL}),
                     "ints");
    mixed->setObject(pf::Value(pf::Array{3.5, -0.25, 1e300, 100.0}), "reals");
    mixed->setObject(pf::Value(pf::Dictionary{{"nested", pf::Dictionary{{"deeper", pf::Array{}}}}, {"", ""}}), "d");
    mixed->setObject(pf::Value(pf::Data(300, 0xab)), "blob");
    // Dates outside 1901-2038 too (1850, 2500).
    mixed->setObject(pf::Value(pf::Array{pf::Date{1700000000.0}, pf::Date{-3786825600.0}, pf::Date{16725225600.0}}),
                     "when");
    mixed->setObject(pf::Value(false), "no");
    return {VDIPCMessage::message(), install, mixed};
}

TEST(PlistlibCrossCheck, PacketsReadBack) {
    for (const auto& message : sampleMessages()) {
        SCOPED_TRACE(message->description());
        auto packet = message->packetData();
        ASSERT_TRUE(packet);
        pf::Dictionary expected = message->entries();
        std::erase_if(expected, [](const auto& e) { return e.first.rfind("__ob_", 0) == 0; });
        EXPECT_EQ(pythonSees("print(canon(plistlib.loads(data)))", *packet), vt::canonical(pf::Value(expected)) + "\n");
    }
}

TEST(PlistlibCrossCheck, ErrorArchivesUnarchive) {
    const pf::URL url = *pf::URL::URLWithString("file:///Volumes/Disk/Tool%20X.bundle/");
    const pf::Error underlying(pf::NSPOSIXErrorDomain, 13, {{pf::NSFilePathErrorKey, "/etc/x"}});
    const std::vector<pf::Error> errors = {
        pf::Error(pf::NSPOSIXErrorDomain, 88),
        // The installer's errors carry the failing URL as a URL object.
        pf::Error(pf::NSURLErrorDomain, -1015,
                  {{pf::NSLocalizedFailureReasonErrorKey, "nil @ 21!"},
                   {pf::NSURLErrorFailingURLStringErrorKey, pf::Value(url)},
                   {pf::NSURLErrorFailingURLErrorKey, pf::Value(url)},
                   {"again", "nil @ 21!"}}),
        pf::Error(pf::NSCocoaErrorDomain, 513,
                  {{pf::NSUnderlyingErrorKey, pf::Value(pf::ObjectPtr(std::make_shared<pf::Error>(underlying)))},
                   {"counts", pf::Array{1, 2.5, true, "three"}},
                   {"nested", pf::Dictionary{{"a", pf::Dictionary{{"b", "Größe"}}}}},
                   {"blob", pf::Data{0, 1}}}),
    };
    for (const auto& error : errors) {
        SCOPED_TRACE(error.description());
        auto archive = VDArchiveError(error);
        ASSERT_TRUE(archive);
        EXPECT_EQ(pythonSees("print(canon(unarchive(data)))", *archive), vt::canonicalError(error) + "\n");
        auto back = VDUnarchiveError(*archive);
        ASSERT_TRUE(back) << "our own reader agrees";
        EXPECT_EQ(vt::canonicalError(*back), vt::canonicalError(error));
    }
}

} // namespace
