#include "platform/codesign/SealablePath.h"

#include <utf8.h>

#include "platform/codesign/Limits.h"

namespace pf::codesign {

bool isSealableName(std::string_view name) {
    if (name.empty() || name == "." || name == "..") return false;
    for (unsigned char c : name) {
        if (c < 0x20 || c == 0x7f || c == '/') return false;
    }
    return utf8::is_valid(name.begin(), name.end());
}

bool isSealablePath(std::string_view path) {
    if (path.empty() || path.size() > kMaxRelativePathBytes) return false;
    const std::string_view signatureFolder = kSignatureFolderPath;
    if (path == signatureFolder || (path.starts_with(signatureFolder) && path[signatureFolder.size()] == '/')) {
        return false;
    }
    std::size_t start = 0;
    for (;;) {
        const std::size_t slash = path.find('/', start);
        const std::string_view name = path.substr(start, slash == std::string_view::npos ? slash : slash - start);
        if (!isSealableName(name)) return false;
        if (slash == std::string_view::npos) return true;
        start = slash + 1;
    }
}

bool isValidKeyName(std::string_view name) {
    if (name.empty() || name.size() > 128) return false;
    for (char c : name) {
        const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
                        c == '_' || c == '-';
        if (!ok) return false;
    }
    return true;
}

} // namespace pf::codesign
