#include "platform/system/ConsoleUser.h"

#include <cstdlib>
#include <fstream>
#include <string>

namespace pf {
namespace {

std::optional<std::string> keyOf(const std::string& file, const std::string& key) {
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(key + "=", 0) == 0) return line.substr(key.size() + 1);
    return std::nullopt;
}

std::optional<uid_t> parseUid(const std::string& text) {
    if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    const unsigned long value = std::stoul(text);
    if (value > 0xFFFFFFFEul) return std::nullopt;
    return static_cast<uid_t>(value);
}

} // namespace

std::optional<uid_t> consoleUser() {
    if (const char* forced = std::getenv("VICAR_CONSOLE_UID"); forced && *forced) return parseUid(forced);
    if (auto uid = keyOf("/run/systemd/seats/seat0", "ACTIVE_UID")) return parseUid(*uid);
    if (auto session = keyOf("/run/systemd/seats/seat0", "ACTIVE"); session && !session->empty() &&
                                                                     session->find('/') == std::string::npos)
        if (auto uid = keyOf("/run/systemd/sessions/" + *session, "UID")) return parseUid(*uid);
    return std::nullopt;
}

} // namespace pf
