// UpdateServerRequest - ordering build lists by version
#include "UpdateServerRequest.h"

#include <algorithm>
#include <array>
#include <optional>
#include <stdexcept>

#include "Log.h"
#include "aVersion.h"

namespace {

using Version = std::array<uint8_t, 3>;

// The three parts as the comparison sees them (each modulo 256), or nothing when
// the text is not a version.
std::optional<Version> parseVersion(const std::string& text) {
    std::vector<std::string> parts = UpdateServerRequest::SplitCorvaneVersion(text);
    if (parts.size() != 3) return std::nullopt;
    Version v;
    try {
        for (int i = 0; i < 3; i++)
            v[i] = uint8_t(std::stoi(parts[i]));
    } catch (const std::exception& e) {
        Log::log(DEBUG_ServerComm, "%s: Exception converting version: %s\n", "_sortVersion",
                 e.what());
        return std::nullopt;
    }
    return v;
}

bool isLater(const std::optional<Version>& a, const std::optional<Version>& b) {
    if (!a) return false;
    if (!b) return true;
    return !aVersion_IsAtLeastCompare((*b)[0], (*b)[1], (*b)[2], (*a)[0], (*a)[1], (*a)[2]);
}

} // namespace

std::vector<std::string> UpdateServerRequest::SplitCorvaneVersion(const std::string& text) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (true) {
        size_t dot = text.find('.', start);
        parts.push_back(text.substr(start, dot == std::string::npos ? dot : dot - start));
        if (dot == std::string::npos) break;
        start = dot + 1;
    }
    if (parts.size() != 3) parts.clear();
    return parts;
}

std::vector<std::pair<std::string, std::string>>
UpdateServerRequest::SortBuildsByVersion(const BuildList& list) {
    struct Entry {
        std::pair<std::string, std::string> pair;
        std::optional<Version> version;
    };
    std::vector<Entry> entries;
    entries.reserve(list.size());
    for (const auto& item : list)
        entries.push_back({item, parseVersion(item.second)});
    std::stable_sort(entries.begin(), entries.end(),
                     [](const Entry& a, const Entry& b) { return isLater(a.version, b.version); });
    std::vector<std::pair<std::string, std::string>> sorted;
    sorted.reserve(entries.size());
    for (Entry& e : entries)
        sorted.push_back(std::move(e.pair));
    return sorted;
}
