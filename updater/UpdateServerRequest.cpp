// UpdateServerRequest - the update server's request set
#include "UpdateServerRequest.h"

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "HTTPRequest.h"
#include "Log.h"

namespace {

using Parameters = std::map<std::string, std::string>;
using Lines = std::vector<std::string>;

std::string serialText(uint32_t serial) {
    char text[9];
    snprintf(text, sizeof text, "%08X", serial);
    return text;
}

Lines splitLines(const std::string& body) {
    Lines lines;
    size_t start = 0;
    while (start <= body.size()) {
        size_t end = body.find('\n', start);
        if (end == std::string::npos) end = body.size();
        if (end > start) lines.push_back(body.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

std::string withoutCarriageReturn(std::string s) {
    if (!s.empty() && s.back() == '\r') s.pop_back();
    return s;
}

bool firstLineOk(const std::string& body) {
    size_t start = body.find_first_not_of('\n');
    return start != std::string::npos && body.compare(start, 2, "ok") == 0;
}

// One request: GET, status 200, a first line beginning with "ok". Hands over the body.
bool request(const char* name, const std::string& baseUrl, const Parameters& parameters,
             std::string& body) {
    const std::string url = baseUrl.empty() ? UPDATER_DEFAULT_HTTP_URL : baseUrl;
    try {
        HTTPResponse response = HTTPRequest::GET(url, parameters);
        if (response.get_status() != 200) {
            if (std::string(name) == "ping")
                Log::log(DEBUG_ServerComm, "PING ==> [%d] [%s]\n", int(response.get_status()),
                         response.get_response().c_str());
            else
                Log::log(DEBUG_ServerComm, "%s ==> [%d] [%s]\n", name, int(response.get_status()),
                         response.get_response().c_str());
            return false;
        }
        if (!firstLineOk(response.get_response())) {
            Log::log(DEBUG_ServerComm, "ServerCommClass: %s failed [%s]\n", name,
                     response.get_request().c_str());
            return false;
        }
        body = response.take_response();
        return true;
    } catch (const std::exception& e) {
        Log::log(DEBUG_ServerComm, "%s ==> [%s]\n", name, e.what());
        return false;
    }
}

bool request(const char* name, const std::string& baseUrl, const Parameters& parameters,
             Lines& lines) {
    std::string body;
    if (!request(name, baseUrl, parameters, body)) return false;
    lines = splitLines(body);
    return true;
}

// Turns the body into its second non-empty line in place, so a file of several
// megabytes is never held twice. False when there is no such line.
bool keepSecondLine(std::string& body) {
    size_t first = body.find_first_not_of('\n');
    size_t firstEnd = body.find('\n', first);
    size_t start =
        firstEnd == std::string::npos ? firstEnd : body.find_first_not_of('\n', firstEnd);
    if (start == std::string::npos) return false;
    size_t end = body.find('\n', start);
    if (end != std::string::npos) body.erase(end);
    body.erase(0, start);
    return true;
}

} // namespace

bool UpdateServerRequest::ParseReply(const std::string& body, std::vector<std::string>& lines) {
    lines = splitLines(body);
    return !lines.empty() && lines[0].compare(0, 2, "ok") == 0;
}

void UpdateServerRequest::ParseBuildList(const std::vector<std::string>& lines, BuildList& list) {
    for (size_t i = 1; i < lines.size(); i++) {
        const std::string& line = lines[i];
        if (line.size() < 3) continue;
        Log::log(DEBUG_ServerComm, "%s processing entry: [%s]\n", "GetBuildList", line.c_str());
        size_t cut = line.find_first_of(";\r\n");
        std::string build = line.substr(0, cut);
        std::string version;
        if (cut != std::string::npos) {
            size_t end = line.find_first_of(";\r\n", cut + 1);
            version = line.substr(cut + 1, end == std::string::npos ? end : end - cut - 1);
        }
        list.emplace(build, version);
        Log::log(DEBUG_ServerComm, "%s [%.10s][%.10s]\n", "GetBuildList", build.c_str(),
                 version.c_str());
    }
}

bool UpdateServerRequest::ping(const std::string& baseUrl) {
    Lines lines;
    return request("ping", baseUrl, {{"op", "hi"}, {"rv", "2"}}, lines);
}

bool UpdateServerRequest::QueryBuild(uint32_t serial, std::string& build, std::string& firmwareId,
                                     const std::string& baseUrl) {
    Lines lines;
    if (!request("QueryBuild", baseUrl, {{"op", "qu"}, {"sn", serialText(serial)}}, lines))
        return false;
    if (lines.size() > 1) build = withoutCarriageReturn(lines[1]);
    if (lines.size() > 2) firmwareId = withoutCarriageReturn(lines[2]);
    return true;
}

bool UpdateServerRequest::GetBuild(uint32_t serial, const std::string& firmwareId,
                                   const std::string& build, std::string& file,
                                   const std::string& baseUrl, bool noCal) {
    Parameters p = {{"bld", build},
                    {"fw", firmwareId},
                    {"no_cal", noCal ? "true" : "false"},
                    {"op", "bird"},
                    {"sn", serialText(serial)}};
    std::string body;
    if (!request("GetBuild", baseUrl, p, body)) return false;
    file.clear();
    if (keepSecondLine(body)) file = std::move(body);
    return true;
}

bool UpdateServerRequest::GetBuildList(uint32_t serial, BuildList& list,
                                       const std::string& baseUrl) {
    list.clear();
    Lines lines;
    if (!request("GetBuildList", baseUrl, {{"op", "builds"}, {"sn", serialText(serial)}}, lines))
        return false;
    ParseBuildList(lines, list);
    return true;
}

bool UpdateServerRequest::GetRecoveryInfo(const uint32_t fingerprint[4], uint32_t& serial,
                                          uint32_t& build, const std::string& baseUrl) {
    char fp[64];
    snprintf(fp, sizeof fp, "%08X%%20%08X%%20%08X%%20%08X", fingerprint[0], fingerprint[1],
             fingerprint[2], fingerprint[3]);
    Lines lines;
    if (!request("GetRecoveryInfo", baseUrl, {{"brief", "true"}, {"fp", fp}, {"op", "fix"}}, lines))
        return false;
    if (lines.size() > 1) serial = uint32_t(strtoul(lines[1].c_str(), nullptr, 16));
    if (lines.size() > 2) build = uint32_t(strtoul(lines[2].c_str(), nullptr, 0));
    Log::log(DEBUG_ServerComm, "%s [%.20s][%.20s][%.20s]\n", "GetRecoveryInfo", lines[0].c_str(),
             lines.size() > 1 ? lines[1].c_str() : "", lines.size() > 2 ? lines[2].c_str() : "");
    return true;
}
