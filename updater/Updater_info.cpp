// Updater - checking a BIRD file and showing what the store holds
#include <algorithm>
#include <memory>
#include <stdexcept>

#include "BirdFile.h"
#include "Updater.h"
#include "UpdaterStore.h"
#include "aFile.h"

namespace {

constexpr auto Info = UpdaterDisplayInterface::Info;
constexpr auto Error = UpdaterDisplayInterface::Error;

// The reason a file cannot serve an update, or empty when it can.
std::string birdProblem(const std::string& path, BirdFile& bird) {
    if (!aFile_Exists(path.c_str())) return "file not found";
    if (!BirdFile::VerifyFile(path)) return "not a BIRD file (bad signature or format version)";
    bird.path = path;
    if (!bird.Load()) return "body cannot be read or inflated";
    if (!bird.ScanClean()) return "damaged block table: " + bird.ScanProblem();
    if (bird.blockCount == 0) return "no blocks";
    if (bird.FindBlocks(BLOCK_INFO).empty()) return "no info block";
    return {};
}

void printBlocks(UpdaterDisplayInterface& display, const BirdFile& bird) {
    display.message(Info, "Blocks: %u", bird.blockCount);
    display.message(Info, "    %-5s %-5s %10s  %s", "Type", "Flags", "Length", "Address");
    for (const auto& b : bird.blocks)
        display.message(Info, "    %-5u %-5u %10u  0x%08X", b.type, b.flags, b.length, b.address);
}

// The version a stored file carries, or why it carries none.
std::string storedVersion(const std::string& path) {
    if (!BirdFile::VerifyFile(path)) return "(not a BIRD file)";
    try {
        std::string v = BirdFile(path).GetVersion();
        return v.empty() ? "(no version)" : v;
    } catch (const std::exception&) {
        return "(damaged BIRD file)";
    }
}

bool showDevices(UpdaterDisplayInterface& display, UpdaterStore& store) {
    auto devices = store.ListDevices();
    if (devices.empty()) {
        display.message(Info, "No devices stored in %s", store.BasePath().c_str());
        return true;
    }
    display.message(Info, "Devices in store %s:", store.BasePath().c_str());
    for (const auto& d : devices)
        display.message(Info, "    %s", d.c_str());
    return true;
}

bool showDevice(UpdaterDisplayInterface& display, UpdaterStore& store, uint32_t serial) {
    UpdaterStoreItem device;
    if (!store.FindDevice(serial, &device)) {
        display.message(Error, "No stored information for device [%08X]", serial);
        return false;
    }
    display.message(Info, "Stored information for device [%08X]:", serial);
    display.message(Info, "Settings:");
    for (const auto& [k, v] : device.settings.Entries())
        display.message(Info, "    %s=%s", k.c_str(), v.c_str());
    std::vector<UpdaterStoreItem> items;
    store.FindLocalBuilds(serial, items);
    std::sort(items.begin(), items.end(),
              [](const auto& a, const auto& b) { return a.name < b.name; });
    display.message(Info, "Local BIRD files:");
    bool any = false;
    for (const auto& item : items) {
        if (item.kind != STORE_ITEM_FILE) continue;
        any = true;
        std::string version = storedVersion(item.Path());
        display.message(Info, "    %-15s\t%s", item.name.c_str(), version.c_str());
    }
    if (!any) display.message(Info, "    none");
    return true;
}

} // namespace

bool Updater::Check_BirdFile(const std::string& path) {
    if (path.empty()) {
        display.message(Error, "-C must name the BIRD file to check via -f");
        return false;
    }
    BirdFile bird;
    std::string problem = birdProblem(path, bird);
    if (!problem.empty()) {
        display.message(Error, "BIRD file %s is not valid: %s", path.c_str(), problem.c_str());
        return false;
    }
    display.message(Info, "BIRD file: %s", path.c_str());
    display.message(Info, "Build: %u", bird.GetBuild());
    display.message(Info, "Version: %s", bird.GetVersion().c_str());
    display.message(Info, "Serial number: %08X%s", bird.GetSerialNumber(),
                    bird.hasSerialOffsets ? " (generic, personalised on update)" : "");
    display.message(Info, "Model: %s", bird.GetModel().c_str());
    if (bird.hasSerialOffsets)
        display.message(Info, "Serial number offsets: word 0x%08X, descriptor 0x%08X",
                        bird.serialNumberOffset, bird.descriptorOffset);
    printBlocks(display, bird);
    display.message(Info, "BIRD file is valid");
    return true;
}

bool Updater::Show_StoreInfo(uint32_t serial) {
    std::unique_ptr<UpdaterStore> store;
    try {
        store = std::make_unique<UpdaterStore>(store_path);
        return serial == 0 ? showDevices(display, *store) : showDevice(display, *store, serial);
    } catch (const std::exception& e) {
        display.message(Error, "Failed to Create UpdaterStore in: %s - Exception: %s",
                        "Show_StoreInfo", e.what());
        return false;
    }
}
