// E2eSupport - listings, BIRD files, module dumps and stored settings the end-to-end suites share
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "BirdFile.h"
#include "TestSupport.h"

namespace e2e {

inline bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

inline std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
}

// The listing: from "Discovered Devices:" to the end.
inline std::vector<std::string> Listing(const std::string& out) {
    std::vector<std::string> lines = Lines(out);
    auto at = std::find_if(lines.begin(), lines.end(), [](const std::string& l) {
        return l.rfind("Discovered Devices:", 0) == 0;
    });
    return std::vector<std::string>(at, lines.end());
}

inline std::string Pattern(size_t n, int seed) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i++)
        s[i] = char(seed + i * 31 + (i >> 5));
    return s;
}

// BIRD files packed in a work folder from one loader (3000 bytes) and two firmware
// blocks (5000 and 700 bytes), the first stamped with the file's version and build.
class BirdMaker {
  public:
    explicit BirdMaker(const testsupport::TempDir& dir) : work(dir) {
        testsupport::WriteFile(work.file("loader.bin"), Pattern(3000, 1));
        testsupport::WriteFile(work.file("fw1.bin"), Pattern(5000, 2));
        testsupport::WriteFile(work.file("fw2.bin"), Pattern(700, 3));
    }

    // Generic (personalised on update) unless serial is given.
    std::string Pack(const std::string& name, const std::string& build = "777",
                     const std::string& version = "2.13.1", const std::string& model = "USBHub3p",
                     const std::string& serial = "", bool loader = true) const {
        std::vector<std::string> args = {"pack",
                                         "-o",
                                         work.file(name),
                                         "--build",
                                         build,
                                         "--version",
                                         version,
                                         "--model",
                                         model,
                                         "--firmware",
                                         work.file("fw1.bin") + "@0x4000",
                                         "--firmware",
                                         work.file("fw2.bin") + "@0x9000",
                                         "--stamp"};
        if (loader) {
            args.push_back("--loader");
            args.push_back(work.file("loader.bin") + "@0x20000000");
        }
        if (serial.empty()) {
            args.push_back("--serial-offset");
            args.push_back("0x4010");
        } else {
            args.push_back("--serial");
            args.push_back(serial);
        }
        testsupport::RunResult r = testsupport::Run(testsupport::BinPath("corvane-bird"), args);
        EXPECT_EQ(0, r.status) << r.err;
        return work.file(name);
    }

  private:
    const testsupport::TempDir& work;
};

// The settings the store holds for a device (store/updater/SERIAL/.settings).
inline std::map<std::string, std::string> StoredSettings(const std::string& store,
                                                         const std::string& serial) {
    std::map<std::string, std::string> out;
    std::istringstream in(testsupport::ReadFile(store + "/updater/" + serial + "/.settings"));
    for (std::string line; std::getline(in, line);)
        if (size_t eq = line.find('='); eq != std::string::npos)
            out[line.substr(0, eq)] = line.substr(eq + 1);
    return out;
}

// The transfer of that file is recorded, with a date.
inline void ExpectRecorded(const std::map<std::string, std::string>& settings,
                           const std::string& transfer) {
    auto at = [&](const char* key) {
        auto i = settings.find(key);
        return i == settings.end() ? std::string() : i->second;
    };
    EXPECT_EQ(transfer, at("LATEST_TRANSFER"));
    EXPECT_EQ(24u, at("LAST_TRANSFER_DATE").size()) << at("LAST_TRANSFER_DATE");
}

// The module dumped (corvane-sim --dump-dir) exactly the file's loader and firmware code,
// personalised with its serial number when the file is generic.
inline void ExpectDumped(const std::string& birdPath, const std::string& dumpDir,
                         const std::string& serial) {
    BirdFile bird(birdPath);
    if (bird.hasSerialOffsets) {
        ASSERT_TRUE(bird.ReplaceSerialNumber(std::stoul(serial, 0, 16)));
    }
    for (auto [type, kind] : {std::pair{BLOCK_LOADER, "loader"}, {BLOCK_FIRMWARE, "firmware"}}) {
        int n = 1;
        for (const BirdBlock& b : bird.FindBlocks(type)) {
            std::string dump =
                dumpDir + "/" + serial + "-" + kind + "-" + std::to_string(n++) + ".bin";
            EXPECT_EQ(std::string(reinterpret_cast<char*>(b.data) + 4, b.length - 4),
                      testsupport::ReadFile(dump))
                << dump;
        }
    }
}

} // namespace e2e
