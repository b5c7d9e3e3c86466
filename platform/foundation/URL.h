#pragma once
// URLs as the file operations use them: file URLs ("file:///a/b", directory
// URLs end with "/"), URL strings resolved against a base, path components
// and standardisation. Other schemes are parsed and kept but carry no path
// semantics beyond the generic syntax.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/Object.h"

namespace pf {

class URL : public Object {
public:
    // A file URL for an absolute path (a relative path is taken relative to the
    // current directory). A directory URL's string ends with "/". nullopt for
    // an empty path.
    static std::optional<URL> fileURLWithPath(std::string_view path, bool isDirectory);
    // As above; a directory when the path ends with "/" or names an existing
    // directory (the platform asks the file system, following no symlink).
    static std::optional<URL> fileURLWithPath(std::string_view path);
    // Parses a URL reference (RFC 3986): absolute, or relative without a base
    // ("/srv/target", "a/b", "?q"); nullopt when it is no valid URL (empty,
    // characters that must be escaped, bad escapes, a ":" in the first
    // segment of a relative path).
    static std::optional<URL> URLWithString(std::string_view s);
    // Resolves a (possibly relative) reference against a base URL (RFC 3986).
    static std::optional<URL> URLWithString(std::string_view s, const URL& base);

    const std::string& absoluteString() const { return string_; }
    std::string scheme() const;
    bool isFileURL() const;
    // Percent-decoded path without a trailing "/" (except for "/" itself).
    std::string path() const;
    bool hasDirectoryPath() const;
    std::string lastPathComponent() const;
    // "/" first, then each component: /a/b -> ["/", "a", "b"].
    std::vector<std::string> pathComponents() const;
    std::string pathExtension() const;

    URL URLByAppendingPathComponent(std::string_view component, bool isDirectory) const;
    URL URLByDeletingLastPathComponent() const; // a directory URL
    URL URLByStandardizingPath() const;
    // The directory form (trailing "/") of this URL.
    URL directoryURL() const;

    std::string description() const override { return string_; }
    bool isEqual(const Object& other) const override;
    bool operator==(const URL& other) const { return string_ == other.string_; }

private:
    explicit URL(std::string s) : string_(std::move(s)) {}
    std::string string_;
};

// The platform's path standardisation: repeated separators and "." removed,
// ".." resolved lexically (at the root it stays at the root), trailing "/"
// dropped (except for "/").
std::string standardizePath(std::string_view path);
// Percent escapes for a legal URL string; non-ASCII bytes are escaped as UTF-8.
// Keeps "/" and the characters that are legal in a path.
std::string addPercentEscapes(std::string_view text);
// Decodes %XX escapes; nullopt on a malformed escape.
std::optional<std::string> removePercentEscapes(std::string_view text);

} // namespace pf

template <>
struct std::hash<pf::URL> {
    std::size_t operator()(const pf::URL& url) const noexcept { return std::hash<std::string>{}(url.absoluteString()); }
};
