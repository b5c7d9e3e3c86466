#pragma once
// The platform's error object: a domain, a code and user information.
// Operations that can fail return std::optional<Error>; none means success.
#include <cstdint>
#include <optional>
#include <string>

#include "platform/foundation/Object.h"
#include "platform/foundation/Value.h"

namespace pf {

inline constexpr const char* NSPOSIXErrorDomain = "NSPOSIXErrorDomain";
inline constexpr const char* NSCocoaErrorDomain = "NSCocoaErrorDomain";
inline constexpr const char* NSURLErrorDomain = "NSURLErrorDomain";

inline constexpr const char* NSLocalizedDescriptionKey = "NSLocalizedDescription";
inline constexpr const char* NSLocalizedFailureReasonErrorKey = "NSLocalizedFailureReason";
inline constexpr const char* NSURLErrorFailingURLStringErrorKey = "NSErrorFailingURLStringKey";
inline constexpr const char* NSURLErrorFailingURLErrorKey = "NSErrorFailingURLKey";
inline constexpr const char* NSFilePathErrorKey = "NSFilePath";
inline constexpr const char* NSUnderlyingErrorKey = "NSUnderlyingError";

// File-error codes of NSCocoaErrorDomain that the file operations report.
inline constexpr std::int64_t NSFileNoSuchFileError = 4;
inline constexpr std::int64_t NSFileReadUnknownError = 256;
inline constexpr std::int64_t NSFileReadNoPermissionError = 257;
inline constexpr std::int64_t NSFileWriteUnknownError = 512;
inline constexpr std::int64_t NSFileWriteNoPermissionError = 513;
inline constexpr std::int64_t NSFileWriteFileExistsError = 516;
inline constexpr std::int64_t NSFileWriteVolumeReadOnlyError = 642;

class Error : public Object {
public:
    Error() = default;
    Error(std::string domain, std::int64_t code, Dictionary userInfo = {})
        : domain_(std::move(domain)), code_(code), userInfo_(std::move(userInfo)) {}

    // A POSIX-domain error, with the URL (if any) under NSURLErrorFailingURLStringErrorKey.
    static Error posix(int errnoCode, const URL* failingURL = nullptr);
    // The file-error the platform's file manager reports for a failed system
    // call (errno) on a path: NSCocoaErrorDomain with the matching file code,
    // NSFilePathErrorKey, and the POSIX error under NSUnderlyingErrorKey.
    static Error fileError(int errnoCode, const std::string& path, bool writing);

    const std::string& domain() const { return domain_; }
    std::int64_t code() const { return code_; }
    const Dictionary& userInfo() const { return userInfo_; }

    // NSLocalizedDescription when present, else a text made from domain and code
    // ("The operation couldn't be completed. (NSPOSIXErrorDomain error 88.)"),
    // with strerror's text for POSIX codes.
    std::string localizedDescription() const;
    std::string localizedFailureReason() const; // empty when none

    // Error Domain=D Code=C "localized description" UserInfo={k=v, ...}
    std::string description() const override;
    bool isEqual(const Object& other) const override;
    bool operator==(const Error& other) const;

private:
    std::string domain_;
    std::int64_t code_ = 0;
    Dictionary userInfo_;
};

using OptionalError = std::optional<Error>;

} // namespace pf
