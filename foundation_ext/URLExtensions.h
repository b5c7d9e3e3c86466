#pragma once
// URL operations: whether the URL's host can be reached (asked of the local
// routing table, no packet sent), bookmarks that find the item again after
// it moved, and appending several path components.
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch/Queue.h"
#include "platform/foundation/URL.h"
#include "platform/foundation/Value.h"

bool connectionPossibleWithInteraction(const pf::URL& url, bool interaction);
bool connectionPossible(const pf::URL& url);
// Asks on the background global queue, then calls the handler on the queue
// (the main queue when none is given).
void connectionPossibleWithHandler(const pf::URL& url, std::function<void(bool)> handler,
                                   std::shared_ptr<pf::dispatch::Queue> queue = nullptr);

// nullopt (logged) when no bookmark can be made.
std::optional<pf::Data> persistentAccessBookmark(const pf::URL& url);
std::optional<pf::Data> persistentAccessReadOnlyBookmark(const pf::URL& url);
std::optional<pf::Data> persistentAccessBookmarkContainedInDocument(const pf::URL& url, const pf::URL& document);
// nullopt for no data, and (logged) when the bookmark does not resolve.
std::optional<pf::URL> URLWithPersistentAccessBookmark(const std::optional<pf::Data>& bookmark,
                                                       const pf::URL* containingDocument);

pf::URL URLByAppendingPathComponents(const pf::URL& url, const std::vector<std::string>& components);
