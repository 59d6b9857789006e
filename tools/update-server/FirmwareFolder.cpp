// FirmwareFolder - the firmware a local update server offers, read from a folder
#include "FirmwareFolder.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "BirdFile.h"
#include "UpdateServerRequest.h"

namespace fs = std::filesystem;

namespace {

std::string firstLine(const fs::path& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    while (!line.empty() && (line.back() == '\r' || line.back() == ' '))
        line.pop_back();
    return line;
}

std::string hex8(uint32_t v) {
    char text[9];
    snprintf(text, sizeof text, "%08X", v);
    return text;
}

bool isLater(const FirmwareFolder::Build& a, const FirmwareFolder::Build& b) {
    BuildList pair = {{"a", a.version}, {"b", b.version}};
    auto sorted = UpdateServerRequest::SortBuildsByVersion(pair);
    if (a.version == b.version || sorted.empty()) return a.number > b.number;
    return sorted.front().first == "a";
}

} // namespace

std::string FirmwareFolder::deviceFolder(uint32_t serial) const {
    fs::path own = fs::path(root) / hex8(serial);
    std::error_code ec;
    return fs::is_directory(own, ec) ? own.string() : (fs::path(root) / "any").string();
}

std::vector<FirmwareFolder::Build> FirmwareFolder::Builds(uint32_t serial) const {
    std::vector<Build> builds;
    std::error_code ec;
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(deviceFolder(serial), ec))
        if (entry.path().extension() == ".bird") files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    for (const fs::path& file : files) {
        BirdFile bird;
        bird.path = file.string();
        if (!bird.Load()) continue;
        builds.push_back({bird.GetBuild(), bird.GetVersion(), file.string()});
    }
    return builds;
}

std::optional<FirmwareFolder::Build> FirmwareFolder::Current(uint32_t serial) const {
    std::vector<Build> builds = Builds(serial);
    if (builds.empty()) return std::nullopt;
    std::string named = firstLine(fs::path(deviceFolder(serial)) / "current");
    if (!named.empty()) {
        for (const Build& b : builds)
            if (std::to_string(b.number) == named) return b;
        return std::nullopt; // a current build that is not there is an error to see
    }
    return *std::max_element(builds.begin(), builds.end(),
                             [](const Build& a, const Build& b) { return isLater(b, a); });
}

std::string FirmwareFolder::FirmwareId(uint32_t serial) const {
    std::string id = firstLine(fs::path(deviceFolder(serial)) / "firmware");
    return id.empty() ? "fw-" + hex8(serial) : id;
}

std::optional<FirmwareFolder::Build> FirmwareFolder::Find(uint32_t serial, uint32_t build) const {
    for (const Build& b : Builds(serial))
        if (b.number == build) return b;
    return std::nullopt;
}

std::optional<FirmwareFolder::Recovery>
FirmwareFolder::RecoveryFor(const uint32_t fingerprint[4]) const {
    std::string name = hex8(fingerprint[0]) + "-" + hex8(fingerprint[1]) + "-" +
                       hex8(fingerprint[2]) + "-" + hex8(fingerprint[3]);
    std::ifstream in(fs::path(root) / "recovery" / name);
    std::string serial, build;
    if (!std::getline(in, serial) || !std::getline(in, build)) return std::nullopt;
    try {
        return Recovery{uint32_t(std::stoul(serial, nullptr, 16)), uint32_t(std::stoul(build))};
    } catch (const std::exception&) {
        return std::nullopt;
    }
}
