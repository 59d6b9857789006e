// FirmwareFolder - the firmware a local update server offers, read from a folder
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// Layout of the folder (every name is optional):
//   SERIAL/*.bird           builds offered to the module with that serial number
//                           (eight upper-case hexadecimal digits)
//   SERIAL/current          the build number to call current; otherwise the build
//                           with the latest version
//   SERIAL/firmware         the firmware identifier sent with the current build
//   any/*.bird, any/current, any/firmware
//                           the same for every module without a folder of its own
//   recovery/W0-W1-W2-W3    for a chip fingerprint (four words, eight upper-case
//                           hexadecimal digits each): line 1 the module's serial
//                           number (hexadecimal), line 2 the build to install
// Build numbers and versions come from each file's info block, never from its name.
// Nothing is cached: files dropped into the folder are served at once.
class FirmwareFolder {
  public:
    struct Build {
        uint32_t number = 0;
        std::string version;
        std::string path;
    };
    struct Recovery {
        uint32_t serial = 0;
        uint32_t build = 0;
    };

    explicit FirmwareFolder(std::string root) : root(std::move(root)) {}

    // Every readable BIRD file offered to the module, in file-name order.
    std::vector<Build> Builds(uint32_t serial) const;
    // The current build: the one named by "current", else the latest version.
    std::optional<Build> Current(uint32_t serial) const;
    std::string FirmwareId(uint32_t serial) const;
    std::optional<Build> Find(uint32_t serial, uint32_t build) const;
    std::optional<Recovery> RecoveryFor(const uint32_t fingerprint[4]) const;

  private:
    std::string deviceFolder(uint32_t serial) const;
    std::string root;
};
