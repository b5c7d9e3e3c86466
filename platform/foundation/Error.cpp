#include "platform/foundation/Error.h"

#include <cerrno>
#include <cstring>
#include <memory>

#include "platform/foundation/URL.h"

namespace pf {

namespace {

// The typographic apostrophe, as the platform writes it.
constexpr const char* kCouldNotComplete = "The operation couldn\u2019t be completed.";

std::string stringEntry(const Dictionary& info, const char* key) {
    auto it = info.find(key);
    return it != info.end() && it->second.isString() ? it->second.string() : std::string();
}

std::string posixText(int code) {
    char buffer[256];
    // GNU strerror_r returns the text (possibly not in the buffer).
    return strerror_r(code, buffer, sizeof buffer);
}

std::int64_t fileErrorCode(int errnoCode, bool writing) {
    switch (errnoCode) {
    case ENOENT: return NSFileNoSuchFileError;
    case EACCES:
    case EPERM: return writing ? NSFileWriteNoPermissionError : NSFileReadNoPermissionError;
    case EEXIST: return NSFileWriteFileExistsError;
    case EROFS: return NSFileWriteVolumeReadOnlyError;
    case ENOSPC: return 640; // NSFileWriteOutOfSpaceError
    default: return writing ? NSFileWriteUnknownError : NSFileReadUnknownError;
    }
}

} // namespace

Error Error::posix(int errnoCode, const URL* failingURL) {
    Dictionary info;
    if (failingURL) info[NSURLErrorFailingURLStringErrorKey] = failingURL->absoluteString();
    return Error(NSPOSIXErrorDomain, errnoCode, std::move(info));
}

Error Error::fileError(int errnoCode, const std::string& path, bool writing) {
    Dictionary info;
    info[NSFilePathErrorKey] = path;
    info[NSUnderlyingErrorKey] = Value(ObjectPtr(std::make_shared<Error>(NSPOSIXErrorDomain, errnoCode)));
    return Error(NSCocoaErrorDomain, fileErrorCode(errnoCode, writing), std::move(info));
}

std::string Error::localizedDescription() const {
    std::string given = stringEntry(userInfo_, NSLocalizedDescriptionKey);
    if (!given.empty()) return given;
    if (domain_ == NSPOSIXErrorDomain && code_ > 0 && code_ < 4096) {
        return std::string(kCouldNotComplete) + " " + posixText(static_cast<int>(code_));
    }
    return std::string(kCouldNotComplete) + " (" + domain_ + " error " + std::to_string(code_) + ".)";
}

std::string Error::localizedFailureReason() const { return stringEntry(userInfo_, NSLocalizedFailureReasonErrorKey); }

std::string Error::description() const {
    std::string text = "Error Domain=" + domain_ + " Code=" + std::to_string(code_) + " \"" + localizedDescription() + "\"";
    if (!userInfo_.empty()) {
        text += " UserInfo={";
        bool first = true;
        for (const auto& [key, value] : userInfo_) {
            if (!first) text += ", ";
            first = false;
            text += key + "=" + value.description();
        }
        text += "}";
    }
    return text;
}

bool Error::isEqual(const Object& other) const {
    auto e = dynamic_cast<const Error*>(&other);
    return e && *this == *e;
}

bool Error::operator==(const Error& other) const {
    return domain_ == other.domain_ && code_ == other.code_ && userInfo_ == other.userInfo_;
}

} // namespace pf
