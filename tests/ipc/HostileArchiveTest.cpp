// Error archives that are not what they claim to be read as no error, and
// shared references that would expand into a huge tree stay bounded; other
// writers' class names are read. (The layout of the archives we write is
// checked against plistlib.)
#include <sys/wait.h>

#include <gtest/gtest.h>
#include <plist/plist.h>

#include <functional>

#include "ipc/KeyedArchive.h"
#include "ipc/VDIPCMessage.h"
#include "tests/support/TestSupport.h"

namespace {

// The parts of a parsed archive a mutation works on; libplist shows UIDs as they are.
struct Archive {
    plist_t root, objects, error, info;
    std::uint64_t infoUID;
};

// A valid archive of an error with user info {"k": "v"}: objects 0 $null,
// 1 the error, 2 its domain string, 3 the user info.
pf::Data mutated(const std::function<void(Archive&)>& change) {
    const pf::Data valid = *VDArchiveError(pf::Error(pf::NSPOSIXErrorDomain, 1, {{"k", "v"}}));
    plist_t root = nullptr;
    plist_from_bin(reinterpret_cast<const char*>(valid.data()), static_cast<uint32_t>(valid.size()), &root);
    Archive a{root, plist_dict_get_item(root, "$objects"), nullptr, nullptr, 0};
    a.error = plist_array_get_item(a.objects, 1);
    plist_get_uid_val(plist_dict_get_item(a.error, "NSUserInfo"), &a.infoUID);
    a.info = plist_array_get_item(a.objects, static_cast<uint32_t>(a.infoUID));
    change(a);
    char* out = nullptr;
    uint32_t length = 0;
    plist_to_bin(root, &out, &length);
    pf::Data bytes(out, out + length);
    plist_to_bin_free(out);
    plist_free(root);
    return bytes;
}

void appendUID(plist_t dictionary, const char* key, std::uint64_t uid) {
    plist_array_append_item(plist_dict_get_item(dictionary, key), plist_new_uid(uid));
}

TEST(HostileArchive, ArchivesThatAreNotErrorsReadAsNone) {
    const pf::Data valid = mutated([](Archive&) {});
    ASSERT_TRUE(VDUnarchiveError(valid));
    const std::pair<const char*, pf::Data> cases[] = {
        {"empty", {}},
        {"not a property list", pf::Data{'b', 'p', 'l', 'i', 's', 't', '0', '0', 0, 0, 0}},
        {"truncated", pf::Data(valid.begin(), valid.begin() + static_cast<long>(valid.size() / 2))},
        {"another archiver",
         mutated([](Archive& a) { plist_dict_set_item(a.root, "$archiver", plist_new_string("NSArchiver")); })},
        {"no $top", mutated([](Archive& a) { plist_dict_remove_item(a.root, "$top"); })},
        {"root out of range", mutated([](Archive& a) {
             plist_dict_set_item(plist_dict_get_item(a.root, "$top"), "root", plist_new_uid(9999));
         })},
        {"root is a string", mutated([](Archive& a) {
             plist_dict_set_item(plist_dict_get_item(a.root, "$top"), "root", plist_new_uid(0));
         })},
        {"root of another class",
         mutated([](Archive& a) { plist_dict_set_item(a.error, "$class", plist_new_uid(0)); })},
        {"domain is a number",
         mutated([](Archive& a) { plist_dict_set_item(a.error, "NSDomain", plist_new_uint(3)); })},
        {"code missing", mutated([](Archive& a) { plist_dict_remove_item(a.error, "NSCode"); })},
        {"user info refers to itself", mutated([](Archive& a) {
             appendUID(a.info, "NS.keys", 2);
             appendUID(a.info, "NS.objects", a.infoUID);
         })},
        {"keys and objects differ in count", mutated([](Archive& a) { appendUID(a.info, "NS.keys", 2); })},
        {"error that is its own underlying error", mutated([](Archive& a) {
             appendUID(a.info, "NS.keys", 2);
             appendUID(a.info, "NS.objects", 1);
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

// Other writers archive with the mutable classes' names (NSMutableDictionary
// here): those read the same.
TEST(HostileArchive, MutableClassNamesAreRead) {
    const pf::Data bytes = mutated([](Archive& a) {
        std::uint64_t infoClass = 0;
        plist_get_uid_val(plist_dict_get_item(a.info, "$class"), &infoClass);
        plist_dict_set_item(plist_array_get_item(a.objects, static_cast<uint32_t>(infoClass)), "$classname",
                            plist_new_string("NSMutableDictionary"));
    });
    EXPECT_EQ(VDUnarchiveError(bytes), std::optional(pf::Error(pf::NSPOSIXErrorDomain, 1, {{"k", "v"}})));
}

TEST(HostileArchive, SharedReferencesCannotExpandWithoutBound) {
    // Fourteen levels of dictionaries, each holding the next one eight times:
    // 8^14 leaves if expanded, so a reader without budget never finishes.
    const pf::Data bytes = mutated([](Archive& a) {
        constexpr std::uint32_t kLevels = 14;
        const std::uint32_t first = plist_array_get_size(a.objects);
        for (std::uint32_t i = 0; i < kLevels; ++i) {
            plist_t level = plist_copy(a.info);
            plist_dict_set_item(level, "NS.keys", plist_new_array());
            plist_dict_set_item(level, "NS.objects", plist_new_array());
            for (int j = 0; j < 8; ++j) {
                appendUID(level, "NS.keys", 2);
                appendUID(level, "NS.objects", i + 1 < kLevels ? first + i + 1 : 2);
            }
            plist_array_append_item(a.objects, level);
        }
        plist_dict_set_item(a.error, "NSUserInfo", plist_new_uid(first));
    });
    const int status = vt::runInChild([&] { return VDUnarchiveError(bytes) ? 1 : 0; }, std::chrono::seconds(20));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "wait status " << status;
}

} // namespace
