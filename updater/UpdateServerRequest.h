// UpdateServerRequest - the update server's request set and build-list ordering
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

// The update server this build talks to unless told otherwise. A name under the
// reserved .example domain, so an unconfigured tool never reaches an unrelated host.
#define UPDATER_DEFAULT_SERVER_HOST "updates.corvane.example"
#define UPDATER_SERVER_PATH "/cgi/u"
#define UPDATER_DEFAULT_HTTP_URL "http://" UPDATER_DEFAULT_SERVER_HOST UPDATER_SERVER_PATH
#define UPDATER_DEFAULT_HTTPS_URL "https://" UPDATER_DEFAULT_SERVER_HOST UPDATER_SERVER_PATH

// Build number text -> version text, ordered by the build text.
using BuildList = std::map<std::string, std::string>;

// Each request answers true on success and false on any failure (one log line under
// DEBUG_ServerComm), never throwing; outputs keep their values on failure. An empty
// base URL means the default one.
class UpdateServerRequest {
  public:
    static bool ping(const std::string& baseUrl);
    // build: the current build number text; firmwareId: what GetBuild sends back.
    static bool QueryBuild(uint32_t serial, std::string& build, std::string& firmwareId,
                           const std::string& baseUrl);
    // file: the BIRD file as Base64 text.
    static bool GetBuild(uint32_t serial, const std::string& firmwareId, const std::string& build,
                         std::string& file, const std::string& baseUrl, bool noCal);
    // list is emptied first.
    static bool GetBuildList(uint32_t serial, BuildList& list, const std::string& baseUrl);
    static bool GetRecoveryInfo(const uint32_t fingerprint[4], uint32_t& serial, uint32_t& build,
                                const std::string& baseUrl);

    // Reply parsing, apart from the transfer: the body's non-empty lines when its
    // first line begins with "ok", else false.
    static bool ParseReply(const std::string& body, std::vector<std::string>& lines);
    // Build entries ("build;version") of an accepted reply's lines into list.
    static void ParseBuildList(const std::vector<std::string>& lines, BuildList& list);

    // The pairs of the list, latest version first. Versions that are not three
    // numbers sort after every valid one, so the order stays strict and weak.
    static std::vector<std::pair<std::string, std::string>>
    SortBuildsByVersion(const BuildList& list);

    // The text cut at every "."; exactly three parts, or none.
    static std::vector<std::string> SplitCorvaneVersion(const std::string& text);
};
