// UpdateServerRequest - the update server's request set and build-list ordering
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

// Build number text -> version text, ordered by the build text.
using BuildList = std::map<std::string, std::string>;

class UpdateServerRequest {
  public:
    // The pairs of the list, latest version first. Versions that are not three
    // numbers sort after every valid one, so the order stays strict and weak.
    static std::vector<std::pair<std::string, std::string>>
    SortBuildsByVersion(const BuildList& list);

    // The text cut at every "."; exactly three parts, or none.
    static std::vector<std::string> SplitCorvaneVersion(const std::string& text);
};
