#pragma once
// Bookmarks: a small binary property list that finds a file again, even after
// it was moved. It records the path (relative to a document's folder when
// one is given), the device and inode, the last component, the access asked
// for, and the kernel's file handle (name_to_handle_at). Resolution takes
// the recorded path when the item there is still the same one (device and
// inode), else opens the item by its handle (open_by_handle_at, which needs
// CAP_DAC_READ_SEARCH) wherever it now is on that file system, checks its
// identity again and answers its current path. Bookmark bytes are
// untrusted: every field is checked, and nothing is followed through a symlink.
#include <optional>
#include <string>
#include <variant>

#include "platform/foundation/Error.h"
#include "platform/foundation/URL.h"
#include "platform/foundation/Value.h"

namespace pf {

struct BookmarkOptions {
    bool readOnly = false;
    const URL* relativeToDocument = nullptr;
};

// The bookmark data, or the file error for an item that cannot be read.
std::variant<Data, Error> bookmarkDataForURL(const URL& url, const BookmarkOptions& options);
// The item's URL, or an error (NSCocoaErrorDomain 259 for data that is no
// bookmark, 4 when the item is gone).
std::variant<URL, Error> URLByResolvingBookmarkData(const Data& data, const URL* relativeToDocument);

} // namespace pf
