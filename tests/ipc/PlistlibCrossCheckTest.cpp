// Our packets and error archives as a reader nobody here wrote
// (Python's plistlib) sees them, and plistlib's bytes as we see them.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "ipc/KeyedArchive.h"
#include "ipc/VDIPCMessage.h"
#include "platform/foundation/URL.h"
#include "tests/ipc/Plistlib.h"

namespace {

#define REQUIRE_PYTHON() \
    if (!vt::havePython()) GTEST_SKIP() << "python3 is not available"

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
    auto reply = VDIPCMessage::replyToMessage(install, "VDresponse");
    reply->setError(pf::Error(pf::NSPOSIXErrorDomain, 88));
    return {VDIPCMessage::message(), install, mixed, reply};
}

TEST(PlistlibCrossCheck, PacketsReadBack) {
    REQUIRE_PYTHON();
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
    REQUIRE_PYTHON();
    const pf::URL url = *pf::URL::URLWithString("file:///Volumes/Disk/Tool%20X.bundle/");
    const pf::Error underlying(pf::NSPOSIXErrorDomain, 13, {{pf::NSFilePathErrorKey, "/etc/x"}});
    const std::vector<pf::Error> errors = {
        pf::Error(pf::NSPOSIXErrorDomain, 88),
        // The installer's errors carry the failing URL as a URL object.
        pf::Error(pf::NSPOSIXErrorDomain, 22, {{pf::NSURLErrorFailingURLStringErrorKey, pf::Value(url)}}),
        pf::Error(pf::NSURLErrorDomain, -1015,
                  {{pf::NSLocalizedFailureReasonErrorKey, "nil @ 21!"},
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

TEST(PlistlibCrossCheck, PlistlibBytesDecode) {
    REQUIRE_PYTHON();
    // Each line: hex of one binary plist written by plistlib.
    const std::string script = R"PY(
U = plistlib.UID
def out(x): print(plistlib.dumps(x, fmt=plistlib.FMT_BINARY).hex())
packet = {'_tY': 'VDinstall', 'VDurl': 'file:///x/', 'n': -7, 'big': 1 << 40, 'r': 0.5, 'b': True,
          'd': b'\x00\xff', 'a': [1, 'x', {'k': []}], 'when': datetime.datetime(2023, 11, 14, 22, 13, 20),
          'huge': (1 << 64) - 1, 'dates': [datetime.datetime(1850, 1, 1), datetime.datetime(2500, 1, 1)]}
out(packet)
# The platform's archive of an error, with the mutable class names some writers use.
out({'$archiver': 'NSKeyedArchiver', '$version': 100000, '$top': {'root': U(1)}, '$objects': [
    '$null',
    {'NSCode': -1015, 'NSDomain': U(2), 'NSUserInfo': U(3), '$class': U(10)},
    'NSURLErrorDomain',
    {'NS.keys': [U(4), U(6)], 'NS.objects': [U(5), U(7)], '$class': U(9)},
    'NSLocalizedFailureReason',
    {'NS.string': 'nil @ 21!', '$class': U(11)},
    'NSUnderlyingError',
    {'NSCode': 2, 'NSDomain': U(8), '$class': U(10)},
    'NSPOSIXErrorDomain',
    {'$classname': 'NSMutableDictionary', '$classes': ['NSMutableDictionary', 'NSDictionary', 'NSObject']},
    {'$classname': 'NSError', '$classes': ['NSError', 'NSObject']},
    {'$classname': 'NSMutableString', '$classes': ['NSMutableString', 'NSString', 'NSObject']},
]})
)PY";
    const vt::PythonResult r = vt::runPython(std::string(vt::CANON_PY) + script);
    ASSERT_EQ(r.status, 0) << r.out;
    std::vector<pf::Data> plists;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) plists.push_back(vt::fromHex(line));
    ASSERT_EQ(plists.size(), 2u);

    const pf::Dictionary expected = {
        {"_tY", "VDinstall"}, {"VDurl", "file:///x/"}, {"n", -7}, {"big", 1LL << 40}, {"r", 0.5}, {"b", true},
        {"d", pf::Data{0, 255}}, {"a", pf::Array{1, "x", pf::Dictionary{{"k", pf::Array{}}}}},
        {"when", pf::Date{1700000000.0}}, {"huge", ~0ull},
        {"dates", pf::Array{pf::Date{-3786825600.0}, pf::Date{16725225600.0}}}};
    auto message = VDIPCMessage::initWithPacketData(plists[0]);
    EXPECT_FALSE(message->error());
    EXPECT_EQ(vt::canonical(pf::Value(message->entries())), vt::canonical(pf::Value(expected)));

    auto error = VDUnarchiveError(plists[1]);
    ASSERT_TRUE(error);
    EXPECT_EQ(vt::canonicalError(*error),
              R"({"code":-1015,"domain":"NSURLErrorDomain","userInfo":{"NSLocalizedFailureReason":"nil @ 21!",)"
              R"("NSUnderlyingError":{"code":2,"domain":"NSPOSIXErrorDomain","userInfo":{}}}})");
}

} // namespace
