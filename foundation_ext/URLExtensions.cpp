#include "foundation_ext/URLExtensions.h"

#include "foundation_ext/ExtensionLog.h"
#include "platform/system/Bookmark.h"
#include "platform/system/Reachability.h"

namespace {

// The authority's host of "scheme://[user@]host[:port]/...", brackets of an
// IPv6 literal kept; empty when the URL has no authority.
std::string hostOf(const pf::URL& url) {
    const std::string& s = url.absoluteString();
    const std::size_t scheme = s.find("://");
    if (scheme == std::string::npos) return {};
    const std::size_t start = scheme + 3;
    std::string authority = s.substr(start, s.find_first_of("/?#", start) - start);
    if (const std::size_t at = authority.rfind('@'); at != std::string::npos) authority.erase(0, at + 1);
    if (authority.starts_with('[')) return authority.substr(0, authority.find(']') + 1);
    return authority.substr(0, authority.find(':'));
}

std::optional<pf::Data> makeBookmark(const pf::URL& url, const pf::BookmarkOptions& options) {
    auto result = pf::bookmarkDataForURL(url, options);
    if (auto* data = std::get_if<pf::Data>(&result)) return std::move(*data);
    VDExtLog(1, "failed to create security-scoped bookmark to %@: %@", url, std::get<pf::Error>(result));
    return std::nullopt;
}

} // namespace

bool connectionPossibleWithInteraction(const pf::URL& url, bool interaction) {
    const auto reachability = pf::Reachability::withName(hostOf(url));
    if (!reachability) return interaction;
    const std::uint32_t flags = reachability->flags().value_or(
        interaction ? pf::kReachabilityReachable | pf::kReachabilityConnectionRequired : 0u);
    const bool reachable = flags & pf::kReachabilityReachable;
    if (interaction || !(flags & pf::kReachabilityConnectionRequired)) return reachable;
    const bool automatic = flags & (pf::kReachabilityConnectionOnTraffic | pf::kReachabilityConnectionOnDemand);
    return automatic && !(flags & pf::kReachabilityInterventionRequired) && reachable;
}

bool connectionPossible(const pf::URL& url) { return connectionPossibleWithInteraction(url, false); }

void connectionPossibleWithHandler(const pf::URL& url, std::function<void(bool)> handler,
                                   std::shared_ptr<pf::dispatch::Queue> queue) {
    if (!queue) queue = pf::dispatch::Queue::main();
    pf::dispatch::Queue::global(pf::dispatch::Priority::Background)->async([url, handler, queue] {
        const bool possible = connectionPossible(url);
        queue->async([handler, possible] {
            VDExtGuardNamed("-[NSURL(VDExtensions) connectionPossibleWithHandler:queue:]", __LINE__,
                            [&] { handler(possible); });
        });
    });
}

std::optional<pf::Data> persistentAccessBookmark(const pf::URL& url) { return makeBookmark(url, {}); }

std::optional<pf::Data> persistentAccessReadOnlyBookmark(const pf::URL& url) {
    return makeBookmark(url, {.readOnly = true});
}

std::optional<pf::Data> persistentAccessBookmarkContainedInDocument(const pf::URL& url, const pf::URL& document) {
    return makeBookmark(url, {.relativeToDocument = &document});
}

std::optional<pf::URL> URLWithPersistentAccessBookmark(const std::optional<pf::Data>& bookmark,
                                                       const pf::URL* containingDocument) {
    if (!bookmark) return std::nullopt;
    auto result = pf::URLByResolvingBookmarkData(*bookmark, containingDocument);
    if (auto* url = std::get_if<pf::URL>(&result)) return std::move(*url);
    VDExtLog(1, "failed to resolve security-scoped bookmark: %@", std::get<pf::Error>(result));
    return std::nullopt;
}

pf::URL URLByAppendingPathComponents(const pf::URL& url, const std::vector<std::string>& components) {
    pf::URL result = url;
    for (const auto& component : components) result = result.URLByAppendingPathComponent(component, false);
    return result;
}
