#include "platform/system/Bookmark.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "platform/foundation/PropertyList.h"
#include "platform/system/UniqueFd.h"
#include "platform/system/Volume.h"

namespace pf {

namespace {

constexpr std::int64_t kBookmarkFormat = 1;
constexpr std::int64_t kNotABookmarkError = 259; // NSFileReadCorruptFileError
constexpr PropertyListLimits kBookmarkLimits{64 * 1024, 64, 2};

std::string documentFolder(const URL& document) { return document.URLByDeletingLastPathComponent().path(); }

Error cocoaError(std::int64_t code, const std::string& reason) {
    return Error(NSCocoaErrorDomain, code, {{NSLocalizedFailureReasonErrorKey, reason}});
}

// The kernel's handle of the item, or empty data when the file system has none.
Data fileHandleOf(const std::string& path, int& mountId) {
    std::vector<std::uint8_t> storage(sizeof(file_handle) + MAX_HANDLE_SZ);
    auto* handle = reinterpret_cast<file_handle*>(storage.data());
    handle->handle_bytes = MAX_HANDLE_SZ;
    if (::name_to_handle_at(AT_FDCWD, path.c_str(), handle, &mountId, 0) != 0) return {};
    return Data(storage.begin(), storage.begin() + sizeof(file_handle) + handle->handle_bytes);
}

// The current path of an item found by its handle, when its identity matches.
std::optional<std::string> pathByHandle(const Data& handleBytes, const std::string& volume, dev_t device,
                                        ino_t inode) {
    if (handleBytes.size() < sizeof(file_handle) || handleBytes.size() > sizeof(file_handle) + MAX_HANDLE_SZ)
        return std::nullopt;
    std::vector<std::uint8_t> storage(handleBytes.begin(), handleBytes.end());
    auto* handle = reinterpret_cast<file_handle*>(storage.data());
    if (handle->handle_bytes != handleBytes.size() - sizeof(file_handle)) return std::nullopt;
    UniqueFd mount(::open(volume.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW)); // O_PATH is refused here
    if (!mount) return std::nullopt;
    UniqueFd item(::open_by_handle_at(mount.get(), handle, O_PATH | O_CLOEXEC));
    struct stat st;
    if (!item || ::fstat(item.get(), &st) != 0 || st.st_dev != device || st.st_ino != inode) return std::nullopt;
    char target[PATH_MAX];
    const std::string link = "/proc/self/fd/" + std::to_string(item.get());
    const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
    if (n <= 0 || target[0] != '/') return std::nullopt; // "(deleted)" or a detached item
    return std::string(target, static_cast<std::size_t>(n));
}

const Value* field(const Dictionary& d, std::string_view key, Value::Kind kind) {
    auto it = d.find(key);
    return it != d.end() && it->second.kind() == kind ? &it->second : nullptr;
}

} // namespace

std::variant<Data, Error> bookmarkDataForURL(const URL& url, const BookmarkOptions& options) {
    if (!url.isFileURL()) return cocoaError(kNotABookmarkError, "not a file URL");
    const std::string path = url.path();
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) return Error::fileError(errno, path, false);

    std::string recorded = path;
    if (options.relativeToDocument) {
        const std::string folder = documentFolder(*options.relativeToDocument);
        if (path.starts_with(folder + "/")) recorded = path.substr(folder.size() + 1);
    }
    int mountId = 0;
    Dictionary bookmark{{"format", Value(kBookmarkFormat)},
                        {"path", Value(recorded)},
                        {"relative", Value(recorded != path)},
                        {"name", Value(url.lastPathComponent())},
                        {"device", Value(static_cast<long long>(st.st_dev))},
                        {"inode", Value(static_cast<long long>(st.st_ino))},
                        {"readOnly", Value(options.readOnly)},
                        {"handle", Value(fileHandleOf(path, mountId))},
                        {"volume", Value(volumeOfPath(path).value_or("/"))}};
    auto bytes = binaryPropertyList(Value(std::move(bookmark)));
    if (!bytes) return cocoaError(kNotABookmarkError, "bookmark could not be written");
    return *bytes;
}

std::variant<URL, Error> URLByResolvingBookmarkData(const Data& data, const URL* relativeToDocument) {
    const auto plist = propertyListFromBytes(data, kBookmarkLimits);
    const Dictionary* d = plist && plist->isDictionary() ? &plist->dictionary() : nullptr;
    const Value* format = d ? field(*d, "format", Value::Kind::Integer) : nullptr;
    const Value* path = d ? field(*d, "path", Value::Kind::String) : nullptr;
    const Value* relative = d ? field(*d, "relative", Value::Kind::Boolean) : nullptr;
    const Value* device = d ? field(*d, "device", Value::Kind::Integer) : nullptr;
    const Value* inode = d ? field(*d, "inode", Value::Kind::Integer) : nullptr;
    const Value* handle = d ? field(*d, "handle", Value::Kind::Data) : nullptr;
    const Value* volume = d ? field(*d, "volume", Value::Kind::String) : nullptr;
    if (!format || format->integer() != kBookmarkFormat || !path || !relative || !device || !inode || !handle ||
        !volume || path->string().empty() || path->string().find('\0') != std::string::npos)
        return cocoaError(kNotABookmarkError, "not a bookmark");

    std::string recorded = path->string();
    if (relative->boolean()) {
        if (!relativeToDocument) return cocoaError(kNotABookmarkError, "the bookmark needs its document");
        recorded = documentFolder(*relativeToDocument) + "/" + recorded;
    }
    const auto wantedDevice = static_cast<dev_t>(device->integer());
    const auto wantedInode = static_cast<ino_t>(inode->integer());
    struct stat st;
    std::optional<std::string> found;
    if (::lstat(recorded.c_str(), &st) == 0 && st.st_dev == wantedDevice && st.st_ino == wantedInode)
        found = recorded;
    else
        found = pathByHandle(handle->data(), volume->string(), wantedDevice, wantedInode);
    if (!found) return Error::fileError(ENOENT, recorded, false);
    auto url = URL::fileURLWithPath(*found);
    if (!url) return Error::fileError(ENOENT, recorded, false);
    return *url;
}

} // namespace pf
