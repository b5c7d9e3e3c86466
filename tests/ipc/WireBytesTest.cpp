// The bytes themselves: binary property-list framing of packets and
// envelopes, the layout of the error archive, and archives that are not
// what they claim to be.
#include <gtest/gtest.h>
#include <plist/plist.h>

#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <string>

#include "ipc/KeyedArchive.h"
#include "ipc/VDIPCConnection.h"
#include "ipc/VDIPCMessage.h"
#include "platform/foundation/PropertyList.h"
#include "platform/foundation/URL.h"

namespace {

struct Plist {
    plist_t node = nullptr;
    explicit Plist(const pf::Data& bytes) {
        plist_from_bin(reinterpret_cast<const char*>(bytes.data()), static_cast<uint32_t>(bytes.size()), &node);
    }
    explicit Plist(plist_t n) : node(n) {}
    ~Plist() { if (node) plist_free(node); }
    Plist(const Plist&) = delete;
    pf::Data bytes() const {
        char* out = nullptr;
        uint32_t length = 0;
        plist_to_bin(node, &out, &length);
        pf::Data data(out, out + length);
        plist_to_bin_free(out);
        return data;
    }
};

std::uint64_t be(const pf::Data& d, std::size_t at, std::size_t n) {
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < n; ++i) v = v << 8 | d[at + i];
    return v;
}

// The framing every binary property list we write must have.
void expectBinaryPlistFraming(const pf::Data& d, std::uint8_t topMarkerHighNibble) {
    ASSERT_GE(d.size(), 8u + 32u);
    EXPECT_EQ(std::memcmp(d.data(), "bplist00", 8), 0);
    const std::size_t t = d.size() - 32;
    const std::uint64_t offsetSize = d[t + 6], refSize = d[t + 7];
    const std::uint64_t count = be(d, t + 8, 8), top = be(d, t + 16, 8), table = be(d, t + 24, 8);
    ASSERT_TRUE(offsetSize >= 1 && offsetSize <= 8 && refSize >= 1 && refSize <= 8);
    ASSERT_LT(top, count);
    EXPECT_EQ(table + count * offsetSize, t) << "the offset table ends at the trailer";
    const std::uint64_t topOffset = be(d, table + top * offsetSize, offsetSize);
    ASSERT_LT(topOffset, table);
    EXPECT_EQ(d[topOffset] >> 4, topMarkerHighNibble);
}

std::set<std::string> keysOf(const pf::Value& v) {
    std::set<std::string> keys;
    for (const auto& [k, item] : v.dictionary()) keys.insert(k);
    return keys;
}

TEST(WireBytes, PacketAndEnvelopeFraming) {
    auto message = VDIPCMessage::messageWithType("VDinstall");
    message->setObject(pf::Value("file:///x/"), "VDurl");
    message->setOOBObject(pf::Value("local"), "Xc");
    auto packet = message->packetData();
    ASSERT_TRUE(packet);
    expectBinaryPlistFraming(*packet, 0xD);
    auto parsed = pf::propertyListFromBytes(*packet);
    ASSERT_TRUE(parsed && parsed->isDictionary());
    EXPECT_EQ(keysOf(*parsed), (std::set<std::string>{"VDurl", "_tY"}));

    struct Case {
        const char* name;
        VDIPCEnvelopeHook hook;
        std::set<std::string> keys;
        bool packetUnchanged;
    };
    const std::vector<Case> cases = {
        {"no hook", nullptr, {"__d_"}, true},
        {"hook that seals",
         // One block serves both ways: it seals on the way out (the seal
         // starts nil) and accepts on the way in.
         [](const std::optional<pf::Data>& packet, pf::Value& seal) -> std::optional<pf::Data> {
             if (!seal.isNull()) return packet;
             seal = pf::Value(pf::Data(8, 7));
             return std::nullopt;
         },
         {"__d_", "__s_"}, true},
        {"hook that replaces the packet without seal",
         [](const std::optional<pf::Data>&, pf::Value&) -> std::optional<pf::Data> { return pf::Data{'z'}; },
         {"__d_"}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto connection = std::make_shared<VDIPCConnection>();
        connection->setAerrorHandler(c.hook);
        auto envelope = connection->encodedMessage(message);
        ASSERT_TRUE(envelope);
        expectBinaryPlistFraming(*envelope, 0xD);
        auto env = pf::propertyListFromBytes(*envelope);
        ASSERT_TRUE(env && env->isDictionary());
        EXPECT_EQ(keysOf(*env), c.keys);
        const pf::Value* d = env->find("__d_");
        ASSERT_TRUE(d && d->isData());
        EXPECT_EQ(d->data() == *packet, c.packetUnchanged);
        if (c.packetUnchanged) {
            EXPECT_EQ(connection->decodeMessage(envelope), std::optional<pf::Data>(*packet));
        }
    }
}

// Walks the archive with libplist, which shows UIDs as they are.
struct ArchiveView {
    Plist root;
    plist_t objects;
    explicit ArchiveView(const pf::Data& bytes) : root(bytes), objects(plist_dict_get_item(root.node, "$objects")) {}
    plist_t at(plist_t uidNode) const {
        EXPECT_EQ(plist_get_node_type(uidNode), PLIST_UID);
        std::uint64_t uid = 0;
        plist_get_uid_val(uidNode, &uid);
        EXPECT_LT(uid, plist_array_get_size(objects));
        return plist_array_get_item(objects, static_cast<uint32_t>(uid));
    }
    std::string string(plist_t node) const {
        if (plist_get_node_type(node) == PLIST_UID) node = at(node);
        EXPECT_EQ(plist_get_node_type(node), PLIST_STRING);
        char* s = nullptr;
        plist_get_string_val(node, &s);
        std::string out = s ? s : "";
        free(s);
        return out;
    }
    std::string className(plist_t object) const {
        plist_t cls = at(plist_dict_get_item(object, "$class"));
        plist_t chain = plist_dict_get_item(cls, "$classes");
        EXPECT_EQ(string(plist_array_get_item(chain, plist_array_get_size(chain) - 1)), "NSObject");
        return string(plist_dict_get_item(cls, "$classname"));
    }
    std::set<std::string> keys(plist_t dict) const {
        std::set<std::string> out;
        plist_dict_iter it = nullptr;
        plist_dict_new_iter(dict, &it);
        char* key = nullptr;
        plist_t value = nullptr;
        for (plist_dict_next_item(dict, it, &key, &value); value; plist_dict_next_item(dict, it, &key, &value)) {
            out.insert(key);
            free(key);
            key = nullptr;
        }
        free(it);
        return out;
    }
};

TEST(WireBytes, ErrorArchiveLayout) {
    const pf::URL url = *pf::URL::URLWithString("file:///b/Tool.bundle/");
    const pf::Error error(pf::NSURLErrorDomain, -1015,
                          {{pf::NSLocalizedFailureReasonErrorKey, "nil @ 21!"},
                           {pf::NSURLErrorFailingURLErrorKey, pf::Value(url)},
                           {"again", "nil @ 21!"}});
    auto bytes = VDArchiveError(error);
    ASSERT_TRUE(bytes);
    expectBinaryPlistFraming(*bytes, 0xD);
    ArchiveView a(*bytes);
    EXPECT_EQ(a.keys(a.root.node), (std::set<std::string>{"$archiver", "$objects", "$top", "$version"}));
    EXPECT_EQ(a.string(plist_dict_get_item(a.root.node, "$archiver")), "NSKeyedArchiver");
    std::uint64_t version = 0;
    plist_get_uint_val(plist_dict_get_item(a.root.node, "$version"), &version);
    EXPECT_EQ(version, 100000u);
    EXPECT_EQ(a.string(plist_array_get_item(a.objects, 0)), "$null");

    plist_t rootRef = plist_dict_get_item(plist_dict_get_item(a.root.node, "$top"), "root");
    std::uint64_t rootUID = 0;
    plist_get_uid_val(rootRef, &rootUID);
    EXPECT_EQ(rootUID, 1u);
    plist_t object = a.at(rootRef);
    EXPECT_EQ(a.keys(object), (std::set<std::string>{"$class", "NSCode", "NSDomain", "NSUserInfo"}));
    EXPECT_EQ(a.className(object), "NSError");
    EXPECT_EQ(a.string(plist_dict_get_item(object, "NSDomain")), "NSURLErrorDomain");
    std::uint64_t code = 0;
    plist_get_uint_val(plist_dict_get_item(object, "NSCode"), &code);
    EXPECT_EQ(static_cast<std::int64_t>(code), -1015);

    plist_t info = a.at(plist_dict_get_item(object, "NSUserInfo"));
    EXPECT_EQ(a.className(info), "NSDictionary");
    plist_t keys = plist_dict_get_item(info, "NS.keys"), values = plist_dict_get_item(info, "NS.objects");
    ASSERT_EQ(plist_array_get_size(keys), 3u);
    ASSERT_EQ(plist_array_get_size(values), 3u);
    std::map<std::string, plist_t> entries;
    for (uint32_t i = 0; i < 3; ++i) entries[a.string(plist_array_get_item(keys, i))] = plist_array_get_item(values, i);
    plist_t urlObject = a.at(entries.at(pf::NSURLErrorFailingURLErrorKey));
    EXPECT_EQ(a.className(urlObject), "NSURL");
    std::uint64_t base = 99;
    plist_get_uid_val(plist_dict_get_item(urlObject, "NS.base"), &base);
    EXPECT_EQ(base, 0u) << "no base: $null";
    EXPECT_EQ(a.string(plist_dict_get_item(urlObject, "NS.relative")), url.absoluteString());

    // Each class is described once, however many objects use it.
    std::map<std::string, int> described;
    for (uint32_t i = 0; i < plist_array_get_size(a.objects); ++i) {
        plist_t o = plist_array_get_item(a.objects, i);
        if (plist_get_node_type(o) == PLIST_DICT && plist_dict_get_item(o, "$classname"))
            ++described[a.string(plist_dict_get_item(o, "$classname"))];
    }
    EXPECT_EQ(described, (std::map<std::string, int>{{"NSDictionary", 1}, {"NSError", 1}, {"NSURL", 1}}));

    // No user info: no NSUserInfo entry.
    ArchiveView bare(*VDArchiveError(pf::Error(pf::NSPOSIXErrorDomain, 88)));
    plist_t bareRoot = bare.at(plist_dict_get_item(plist_dict_get_item(bare.root.node, "$top"), "root"));
    EXPECT_EQ(bare.keys(bareRoot), (std::set<std::string>{"$class", "NSCode", "NSDomain"}));
}

// Mutations of a valid archive, each of which must read as no error.
TEST(WireBytes, ArchivesThatAreNotErrors) {
    const pf::Data valid = *VDArchiveError(pf::Error(pf::NSPOSIXErrorDomain, 1, {{"k", "v"}}));
    ASSERT_TRUE(VDUnarchiveError(valid));
    auto mutate = [&](const std::function<void(plist_t root, plist_t objects)>& change) {
        Plist p(valid);
        change(p.node, plist_dict_get_item(p.node, "$objects"));
        return p.bytes();
    };
    auto rootObject = [](plist_t objects) { return plist_array_get_item(objects, 1); };
    const std::vector<std::pair<const char*, pf::Data>> cases = {
        {"empty", {}},
        {"not a property list", pf::Data{'b', 'p', 'l', 'i', 's', 't', '0', '0', 0, 0, 0}},
        {"truncated", pf::Data(valid.begin(), valid.begin() + static_cast<long>(valid.size() / 2))},
        {"another archiver",
         mutate([](plist_t root, plist_t) { plist_dict_set_item(root, "$archiver", plist_new_string("NSArchiver")); })},
        {"no $top", mutate([](plist_t root, plist_t) { plist_dict_remove_item(root, "$top"); })},
        {"root out of range",
         mutate([](plist_t root, plist_t) {
             plist_dict_set_item(plist_dict_get_item(root, "$top"), "root", plist_new_uid(9999));
         })},
        {"root is a string",
         mutate([](plist_t root, plist_t) {
             plist_dict_set_item(plist_dict_get_item(root, "$top"), "root", plist_new_uid(0));
         })},
        {"root of another class",
         mutate([&](plist_t, plist_t objects) {
             plist_dict_set_item(rootObject(objects), "$class", plist_new_uid(0));
         })},
        {"domain is a number",
         mutate([&](plist_t, plist_t objects) {
             plist_dict_set_item(rootObject(objects), "NSDomain", plist_new_uint(3));
         })},
        {"code missing", mutate([&](plist_t, plist_t objects) { plist_dict_remove_item(rootObject(objects), "NSCode"); })},
        {"user info refers to itself",
         mutate([&](plist_t, plist_t objects) {
             plist_t info = plist_dict_get_item(rootObject(objects), "NSUserInfo");
             std::uint64_t uid = 0;
             plist_get_uid_val(info, &uid);
             plist_t dict = plist_array_get_item(objects, static_cast<uint32_t>(uid));
             plist_array_append_item(plist_dict_get_item(dict, "NS.keys"), plist_new_uid(2));
             plist_array_append_item(plist_dict_get_item(dict, "NS.objects"), plist_new_uid(uid));
         })},
        {"keys and objects differ in count",
         mutate([&](plist_t, plist_t objects) {
             plist_t info = plist_dict_get_item(rootObject(objects), "NSUserInfo");
             std::uint64_t uid = 0;
             plist_get_uid_val(info, &uid);
             plist_t dict = plist_array_get_item(objects, static_cast<uint32_t>(uid));
             plist_array_append_item(plist_dict_get_item(dict, "NS.keys"), plist_new_uid(2));
         })},
        {"error that is its own underlying error",
         mutate([&](plist_t, plist_t objects) {
             plist_t info = plist_dict_get_item(rootObject(objects), "NSUserInfo");
             std::uint64_t uid = 0;
             plist_get_uid_val(info, &uid);
             plist_t dict = plist_array_get_item(objects, static_cast<uint32_t>(uid));
             plist_array_append_item(plist_dict_get_item(dict, "NS.keys"), plist_new_uid(2));
             plist_array_append_item(plist_dict_get_item(dict, "NS.objects"), plist_new_uid(1));
         })},
    };
    for (const auto& [name, bytes] : cases) {
        SCOPED_TRACE(name);
        EXPECT_FALSE(VDUnarchiveError(bytes));
        auto message = VDIPCMessage::init();
        message->setObject(pf::Value(bytes), "_err_");
        EXPECT_FALSE(message->error());
    }
}

// Shared references that would expand into a huge tree stay bounded.
TEST(WireBytes, ArchiveExpansionIsBounded) {
    plist_t objects = plist_new_array();
    plist_array_append_item(objects, plist_new_string("$null"));
    plist_t error = plist_new_dict();
    plist_dict_set_item(error, "NSCode", plist_new_uint(1));
    plist_dict_set_item(error, "NSDomain", plist_new_uid(2));
    plist_dict_set_item(error, "NSUserInfo", plist_new_uid(5));
    plist_dict_set_item(error, "$class", plist_new_uid(3));
    plist_array_append_item(objects, error);
    plist_array_append_item(objects, plist_new_string("D"));
    plist_t errorClass = plist_new_dict();
    plist_dict_set_item(errorClass, "$classname", plist_new_string("NSError"));
    plist_t chain = plist_new_array();
    plist_array_append_item(chain, plist_new_string("NSError"));
    plist_array_append_item(chain, plist_new_string("NSObject"));
    plist_dict_set_item(errorClass, "$classes", chain);
    plist_array_append_item(objects, errorClass);
    plist_t arrayClass = plist_copy(errorClass);
    plist_dict_set_item(arrayClass, "$classname", plist_new_string("NSArray"));
    plist_array_append_item(objects, arrayClass); // 4
    // 5..: arrays each holding its successor 8 times; the last holds a string.
    const int levels = 14;
    for (int i = 0; i < levels; ++i) {
        plist_t arr = plist_new_dict();
        plist_t items = plist_new_array();
        for (int j = 0; j < 8; ++j) plist_array_append_item(items, plist_new_uid(i + 1 < levels ? 6 + i : 2));
        plist_dict_set_item(arr, "NS.objects", items);
        plist_dict_set_item(arr, "$class", plist_new_uid(4));
        plist_array_append_item(objects, arr);
    }
    Plist root(plist_new_dict());
    plist_dict_set_item(root.node, "$archiver", plist_new_string("NSKeyedArchiver"));
    plist_dict_set_item(root.node, "$version", plist_new_uint(100000));
    plist_t top = plist_new_dict();
    plist_dict_set_item(top, "root", plist_new_uid(1));
    plist_dict_set_item(root.node, "$top", top);
    plist_dict_set_item(root.node, "$objects", objects);
    // 8^14 leaves if expanded: the reader must give up, quickly.
    EXPECT_FALSE(VDUnarchiveError(root.bytes()));
}

} // namespace
