// Updater - bringing firmware into the store and back out: build lists, downloads,
// and the BIRD file an update or a recovery transfers
#include <chrono>
#include <ctime>
#include <future>
#include <stdexcept>
#include <thread>

#include "BirdFile.h"
#include "Log.h"
#include "Updater.h"
#include "UpdaterStore.h"
#include "base64.h"

namespace {

constexpr auto Info = UpdaterDisplayInterface::Info;
constexpr auto Error = UpdaterDisplayInterface::Error;

// Unsigned decimal text that fits 32 bits; false for anything else.
bool toBuildNumber(const std::string& text, uint32_t& value) {
    if (text.empty() || text.size() > 10) return false;
    uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + uint64_t(c - '0');
    }
    if (v > UINT32_MAX) return false;
    value = uint32_t(v);
    return true;
}

// The text up to the first ".bird", or the whole name without one.
std::string buildKey(const std::string& fileName) {
    size_t cut = fileName.find(".bird");
    return cut == std::string::npos ? fileName : fileName.substr(0, cut);
}

struct FreeDeleter {
    void operator()(uint8_t* p) const { free(p); }
};

} // namespace

std::unique_ptr<UpdaterStore> Updater::_createUpdaterStore(UpdaterDisplayInterface& display,
                                                           const std::string& store_path,
                                                           const char* caller_name) {
    try {
        return std::make_unique<UpdaterStore>(store_path);
    } catch (const std::exception& e) {
        display.message(Error, "Failed to Create UpdaterStore in: %s - Exception: %s", caller_name,
                        e.what());
        return nullptr;
    }
}

BuildList Updater::Get_BuildList(uint32_t serial) {
    BuildList list;
    if (!UpdateServerRequest::ping(server_url)) {
        display.message(Error, "Server request failed for %s", server_url.c_str());
        return list;
    }
    if (!UpdateServerRequest::GetBuildList(serial, list, server_url))
        display.message(Error, "Failed to retrieve builds for %08X", serial);
    return list;
}

BuildList Updater::Get_BuildListLocal(uint32_t serial) {
    BuildList list;
    auto store = _createUpdaterStore(display, store_path, "Get_BuildListLocal");
    if (!store) return list;
    std::vector<UpdaterStoreItem> items;
    try {
        store->FindLocalBuilds(serial, items);
    } catch (const std::exception& e) {
        display.message(Error, "Failed to list the store for %08X: %s", serial, e.what());
        return list;
    }
    for (const UpdaterStoreItem& item : items) {
        std::string version;
        if (item.IsValid()) {
            std::string path = item.basePath + "/" + item.name;
            if (BirdFile::VerifyFile(path)) {
                try {
                    version = BirdFile(path).GetVersion();
                    if (!version.empty())
                        Log::log(DEBUG_Updater, "Found version [%s] in %s\n", version.c_str(),
                                 path.c_str());
                } catch (const std::exception&) {
                    version.clear(); // a damaged file lists without a version
                }
            } else {
                Log::log(DEBUG_Updater, "Could NOT file VERSION in birdfile: %s\n", path.c_str());
            }
        }
        list.emplace(buildKey(item.name), version);
    }
    return list;
}

bool Updater::_valid_build(uint32_t serial, uint32_t build, const std::string& url) {
    BuildList list;
    if (!UpdateServerRequest::GetBuildList(serial, list, url)) return false;
    for (const auto& entry : list) {
        uint32_t number = 0;
        if (!toBuildNumber(entry.first, number))
            Log::log(DEBUG_Updater, "Error: Could not convert %s to int.\n", entry.first.c_str());
        if (number == build) return true;
    }
    return false;
}

// Runs the server request on a worker thread while the spinner turns.
bool Updater::_fetch_build(uint32_t serial, const std::string& firmware, const std::string& build,
                           bool no_cal, std::string& data) {
    std::promise<bool> done;
    std::future<bool> result = done.get_future();
    std::thread worker([&done, &data, serial, firmware, build, url = server_url, no_cal] {
        done.set_value(UpdateServerRequest::GetBuild(serial, firmware, build, data, url, no_cal));
    });
    display.update_spinner(true, "Downloading");
    while (result.wait_for(std::chrono::milliseconds(100)) != std::future_status::ready)
        display.update_spinner(true, "Downloading");
    display.update_spinner(false, "Downloading");
    bool ok = result.get();
    worker.join();
    if (!ok) display.message(Error, "Download failed");
    return ok;
}

uint32_t Updater::Download_Firmware(uint32_t serial, const std::string& build, bool override,
                                    bool no_cal) {
    uint32_t number = 0;
    if (!build.empty() && !toBuildNumber(build, number)) {
        display.message(Error, "Build number '%s' must be an number", build.c_str());
        return 0;
    }
    if (serial == 0) {
        display.message(Error, "Serial Number must be non-zero");
        return 0;
    }
    if (!UpdateServerRequest::ping(server_url)) {
        display.message(Error, "Server request failed for %s", server_url.c_str());
        return 0;
    }
    auto store = _createUpdaterStore(display, store_path, "Download_Firmware");
    if (!store) return 0;
    UpdaterStoreItem device;
    try {
        if (!store->FindDevice(serial, &device)) {
            Log::log(DEBUG_APP, "Could not find device in our update history.\n");
            device = store->AddDevice(serial);
        }
    } catch (const std::exception&) {
        display.message(Error, "Could not create directory for storing BIRD file");
        return 0;
    }
    std::string current, firmware;
    if (!UpdateServerRequest::QueryBuild(serial, current, firmware, server_url)) {
        display.message(Error, "No build information for device");
        return 0;
    }
    if (number == 0 && !toBuildNumber(current, number))
        Log::log(DEBUG_Updater, "Error: Could not convert %s to int.\n", current.c_str());
    display.message(Info, "Retrieving build %u", number);
    if (override) {
        display.message(Info, "Override specified, skipping validation of build %u", number);
    } else {
        display.message(Info, "Validating build %u with server", number);
        if (!_valid_build(serial, number, server_url)) {
            display.message(Error, "No valid build %u", number);
            return 0;
        }
        display.message(Info, "Build %u is valid", number);
    }
    std::string data;
    if (!_fetch_build(serial, firmware, std::to_string(number), no_cal, data)) return 0;
    if (data.empty()) {
        display.message(Error, "Failed to retrieve a valid BIRD file");
        return 0;
    }
    return _store_build(device, number, data) ? number : 0;
}

// Decodes, checks and stores a downloaded file, then records it. Nothing is written
// and no setting changes unless the bytes are a BIRD file.
bool Updater::_store_build(UpdaterStoreItem& device, uint32_t number, std::string& text) {
    size_t length = 0;
    std::unique_ptr<uint8_t, FreeDeleter> bytes(base64_decode(text.data(), text.size(), &length));
    std::string().swap(text); // the text is not needed past here; free it before the check
    if (!bytes) {
        display.message(Error, "Downloaded build %u is not valid Base64; nothing was stored",
                        number);
        return false;
    }
    BirdFile check;
    if (!check.LoadBytes(bytes.get(), length)) {
        display.message(Error, "Downloaded build %u is not a valid BIRD file; nothing was stored",
                        number);
        return false;
    }
    std::string when = KeyValueStore::TimeStamp(time(nullptr));
    std::string fileName = std::to_string(number) + ".bird";
    aErr err = device.WriteFile(fileName, bytes.get(), length);
    if (err != aErrNone) {
        display.message(Error, "Failed to write file with %d", int(err));
        return false;
    }
    device.settings.Add("LATEST_DOWNLOAD", fileName);
    device.settings.Add("LAST_DOWNLOAD_DATE", when);
    if (!device.settings.Save()) {
        display.message(Error, "Could not record the download in the settings of %s",
                        device.name.c_str());
        return false;
    }
    return true;
}

BirdFile Updater::load_bird(const std::string& label, const std::string& bird_path, uint32_t serial,
                            uint32_t build, bool allow_download) {
    auto store = _createUpdaterStore(display, store_path, "load_bird");
    if (!store) return BirdFile();
    if (!bird_path.empty()) {
        display.message(Info, "%s from Birdfile: %s", label.c_str(), bird_path.c_str());
        return BirdFile(bird_path);
    }
    UpdaterStoreItem device = store->AddDevice(serial);
    display.message(Info, "%s firmware with build: %u", label.c_str(), build);
    std::string fileName = std::to_string(build) + ".bird";
    try {
        return device.ReadBirdFile(fileName);
    } catch (const std::exception&) {
        if (!allow_download) throw std::runtime_error("Error reading birdfile");
    }
    display.message(Info, "Downloading firmware build %u", build);
    Download_Firmware(serial, std::to_string(build), false, false);
    return device.ReadBirdFile(fileName);
}
