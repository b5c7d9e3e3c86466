// Our packets, envelopes and error archives as a reader nobody here wrote
// (Python's plistlib) sees them, and plistlib's bytes as we see them.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "ipc/KeyedArchive.h"
#include "ipc/VDIPCConnection.h"
#include "ipc/VDIPCMessage.h"
#include "platform/foundation/URL.h"
#include "tests/ipc/Canonical.h"
#include "tests/ipc/Python.h"

namespace {

#define REQUIRE_PYTHON() \
    if (!vt::havePython()) GTEST_SKIP() << "python3 is not available"

std::string pythonSees(const std::string& body, const pf::Data& bytes) {
    const vt::PythonResult r = vt::runPython(std::string(vt::CANON_PY) + body, bytes);
    EXPECT_EQ(r.status, 0) << r.out;
    return r.out;
}

pf::Dictionary withoutOutOfBand(pf::Dictionary d) {
    std::erase_if(d, [](const auto& e) { return e.first.rfind("__ob_", 0) == 0; });
    return d;
}

std::vector<std::shared_ptr<VDIPCMessage>> sampleMessages() {
    std::vector<std::shared_ptr<VDIPCMessage>> out;
    out.push_back(VDIPCMessage::message());
    auto install = VDIPCMessage::messageWithType("VDinstall");
    install->setObject(pf::Value("file:///Volumes/Disk/Tool.bundle/"), "VDurl", std::string("Bundle"));
    install->setObject(pf::Value(true), "VDforce");
    install->setOOBObject(pf::Value("stays home"), "Xc");
    out.push_back(install);
    auto mixed = VDIPCMessage::messageWithType("Größe ✓ \"q\"\n\\");
    mixed->setObject(pf::Value(pf::Array{0, -1, -1015, 255, 65536, 4294967296LL, -9223372036854775807LL - 1,
                                         9223372036854775807LL}),
                     "ints");
    mixed->setObject(pf::Value(pf::Array{3.5, -0.25, 1e300, 100.0}), "reals");
    mixed->setObject(pf::Value(pf::Dictionary{{"nested", pf::Dictionary{{"deeper", pf::Array{}}}}, {"", ""}}), "d");
    mixed->setObject(pf::Value(pf::Data(300, 0xab)), "blob");
    mixed->setObject(pf::Value(pf::Date{1700000000.0}), "when");
    mixed->setObject(pf::Value(false), "no");
    out.push_back(mixed);
    auto reply = VDIPCMessage::replyToMessage(install, "VDresponse");
    reply->setError(pf::Error(pf::NSPOSIXErrorDomain, 88));
    out.push_back(reply);
    return out;
}

TEST(PlistlibCrossCheck, PacketsReadBack) {
    REQUIRE_PYTHON();
    for (const auto& message : sampleMessages()) {
        SCOPED_TRACE(message->description());
        auto packet = message->packetData();
        ASSERT_TRUE(packet);
        const std::string seen = pythonSees("assert data[:8] == b'bplist00'\nprint(canon(plistlib.loads(data)))",
                                            *packet);
        EXPECT_EQ(seen, vt::canonical(pf::Value(withoutOutOfBand(message->entries()))) + "\n");
    }
}

TEST(PlistlibCrossCheck, EnvelopesReadBack) {
    REQUIRE_PYTHON();
    const std::string script = R"PY(
env = plistlib.loads(data)
assert data[:8] == b'bplist00'
print(sorted(env.keys()))
if '__d_' in env: print(canon(plistlib.loads(env['__d_'])))
if '__s_' in env: print(canon(env['__s_']))
)PY";
    auto message = VDIPCMessage::messageWithType("VDinstall");
    message->setObject(pf::Value("file:///x/"), "VDurl");
    const std::string packetText = vt::canonical(pf::Value(message->entries()));

    auto plain = std::make_shared<VDIPCConnection>();
    auto envelope = plain->encodedMessage(message);
    ASSERT_TRUE(envelope);
    EXPECT_EQ(pythonSees(script, *envelope), "['__d_']\n" + packetText + "\n");

    auto sealed = std::make_shared<VDIPCConnection>();
    sealed->setAerrorHandler([](const std::optional<pf::Data>&, pf::Value& seal) -> std::optional<pf::Data> {
        seal = pf::Value(pf::Data{1, 2, 3, 4, 5, 6, 7, 8});
        return std::nullopt;
    });
    envelope = sealed->encodedMessage(message);
    ASSERT_TRUE(envelope);
    EXPECT_EQ(pythonSees(script, *envelope), "['__d_', '__s_']\n" + packetText + "\nh'0102030405060708'\n");

    auto unwritable = VDIPCMessage::message();
    unwritable->setObject(pf::Value(pf::ObjectPtr(std::make_shared<pf::Object>())), "k");
    envelope = plain->encodedMessage(unwritable);
    ASSERT_TRUE(envelope);
    EXPECT_EQ(pythonSees(script, *envelope), "[]\n");
}

TEST(PlistlibCrossCheck, ErrorArchivesUnarchive) {
    REQUIRE_PYTHON();
    const pf::URL url = *pf::URL::URLWithString("file:///Volumes/Disk/Tool%20X.bundle/");
    const pf::Error underlying(pf::NSPOSIXErrorDomain, 13, {{pf::NSFilePathErrorKey, "/etc/x"}});
    const std::vector<pf::Error> errors = {
        pf::Error(pf::NSPOSIXErrorDomain, 88),
        pf::Error(pf::NSPOSIXErrorDomain, 22, {{pf::NSURLErrorFailingURLStringErrorKey, url.absoluteString()}}),
        pf::Error(pf::NSURLErrorDomain, -1015,
                  {{pf::NSLocalizedFailureReasonErrorKey, "nil @ 21!"}, {pf::NSURLErrorFailingURLErrorKey, pf::Value(url)}}),
        pf::Error(pf::NSCocoaErrorDomain, 513,
                  {{pf::NSUnderlyingErrorKey, pf::Value(pf::ObjectPtr(std::make_shared<pf::Error>(underlying)))},
                   {"counts", pf::Array{1, 2.5, true, "three"}},
                   {"nested", pf::Dictionary{{"a", pf::Dictionary{{"b", "Größe"}}}}},
                   {"blob", pf::Data{0, 1}},
                   {"same", "nil @ 21!"}}),
    };
    for (const auto& error : errors) {
        SCOPED_TRACE(error.description());
        auto archive = VDArchiveError(error);
        ASSERT_TRUE(archive);
        EXPECT_EQ(pythonSees("print(canon(unarchive(data)))", *archive), vt::canonicalError(error) + "\n");
        // Our own reader agrees.
        auto back = VDUnarchiveError(*archive);
        ASSERT_TRUE(back);
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
          'd': b'\x00\xff', 'a': [1, 'x', {'k': []}], 'when': datetime.datetime(2023, 11, 14, 22, 13, 20)}
out(packet)
out({'__d_': plistlib.dumps(packet, fmt=plistlib.FMT_BINARY)})
out({'__d_': b'xyz', '__s_': b'12345678'})
out(['not', 'a', 'dictionary'])
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
    ASSERT_EQ(plists.size(), 5u);

    const pf::Dictionary expected = {
        {"_tY", "VDinstall"}, {"VDurl", "file:///x/"}, {"n", -7}, {"big", 1LL << 40}, {"r", 0.5}, {"b", true},
        {"d", pf::Data{0, 255}}, {"a", pf::Array{1, "x", pf::Dictionary{{"k", pf::Array{}}}}},
        {"when", pf::Date{1700000000.0}}};
    auto message = VDIPCMessage::initWithPacketData(plists[0]);
    EXPECT_FALSE(message->error());
    EXPECT_EQ(vt::canonical(pf::Value(message->entries())), vt::canonical(pf::Value(expected)));
    EXPECT_EQ(message->type(), std::optional<std::string>("VDinstall"));

    auto connection = std::make_shared<VDIPCConnection>();
    EXPECT_EQ(connection->decodeMessage(plists[1]), std::optional<pf::Data>(plists[0])) << "unsealed: taken as is";
    EXPECT_FALSE(connection->decodeMessage(plists[2])) << "sealed, and we have no hook";
    connection->setAerrorHandler([](const std::optional<pf::Data>& packet, pf::Value& seal) -> std::optional<pf::Data> {
        if (seal == pf::Value(pf::Data{'1', '2', '3', '4', '5', '6', '7', '8'})) return packet;
        return std::nullopt;
    });
    EXPECT_EQ(connection->decodeMessage(plists[2]), std::optional<pf::Data>(pf::Data{'x', 'y', 'z'}));
    EXPECT_FALSE(connection->decodeMessage(plists[3]));

    auto error = VDUnarchiveError(plists[4]);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain(), pf::NSURLErrorDomain);
    EXPECT_EQ(error->code(), -1015);
    EXPECT_EQ(error->localizedFailureReason(), "nil @ 21!");
    const pf::Value* nested = error->userInfo().count(pf::NSUnderlyingErrorKey) ? &error->userInfo().at(pf::NSUnderlyingErrorKey) : nullptr;
    ASSERT_TRUE(nested && nested->isObject());
    auto* inner = dynamic_cast<const pf::Error*>(nested->object().get());
    ASSERT_TRUE(inner);
    EXPECT_EQ(*inner, pf::Error(pf::NSPOSIXErrorDomain, 2));
}

} // namespace
