#include "foundation_ext/DataExtensions.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <cerrno>

#include "foundation_ext/ExtensionLog.h"
#include "platform/codesign/Sha256.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/Exception.h"
#include "platform/system/UniqueFd.h"

namespace {

bool isBase64Character(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/' ||
           c == '=';
}

} // namespace

std::optional<pf::Data> dataWithBase64EncodedString(std::optional<std::string_view> string) {
    if (!string) pf::raise(pf::NSInvalidArgumentException, "Input string cannot be nil.");
    std::string text;
    text.reserve(string->size());
    for (char c : *string)
        if (isBase64Character(c)) text += c;
    if (text.empty()) return pf::Data{};
    const std::size_t padding = text.size() - text.find_last_not_of('=') - 1;
    if (text.size() % 4 != 0 || padding > 2 || text.find('=') < text.size() - padding) return std::nullopt;
    if (text.size() > static_cast<std::size_t>(INT32_MAX)) return std::nullopt;

    pf::Data data(text.size() / 4 * 3);
    const int length = EVP_DecodeBlock(data.data(), reinterpret_cast<const unsigned char*>(text.data()),
                                       static_cast<int>(text.size()));
    if (length < 0) return std::nullopt;
    // EVP_DecodeBlock decodes the padding as zero bytes; they are no data.
    data.resize(static_cast<std::size_t>(length) - padding);
    return data;
}

std::string base64EncodedString(const pf::Data& data) {
    std::string text;
    // EVP_EncodeBlock takes an int length, so large data goes in slices of whole groups.
    constexpr std::size_t kSliceBytes = 3u << 20;
    for (std::size_t offset = 0; offset < data.size(); offset += kSliceBytes) {
        const std::size_t count = std::min(kSliceBytes, data.size() - offset);
        std::string slice((count + 2) / 3 * 4 + 1, '\0');
        const int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(slice.data()), data.data() + offset,
                                           static_cast<int>(count));
        text.append(slice.data(), static_cast<std::size_t>(length));
    }
    return text;
}

std::optional<pf::Data> SHA256DigestWithContentsOfURL(const pf::URL& url) {
    if (!url.isFileURL()) return std::nullopt;
    const std::string path = url.path();
    pf::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    const auto fail = [&](int error) -> std::optional<pf::Data> {
        VDExtLog(1, "digest failed for %@: %ld -- %@", path, -1L, pf::Error::posix(error, &url));
        return std::nullopt;
    };
    if (!fd) return fail(errno);
    const auto digest = pf::codesign::sha256File(fd.get());
    if (!digest) return fail(errno);
    return pf::Data(digest->begin(), digest->end());
}
