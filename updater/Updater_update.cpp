// Updater - the firmware update: build choice, connection, validation and both stages
#include <cstdlib>
#include <ctime>
#include <memory>
#include <stdexcept>

#include "Corvane-C.h"
#include "Log.h"
#include "Module.h"
#include "Updater.h"
#include "UpdaterEntity.h"
#include "UpdaterStore.h"
#include "aDefs.h"
#include "aTime.h"
#include "autoGen_SystemClass_CPP.h"

using Pelmora::Corvane::Module;
using Pelmora::Corvane::SystemClass;

namespace {

constexpr auto Info = UpdaterDisplayInterface::Info;
constexpr auto Error = UpdaterDisplayInterface::Error;
constexpr int kEnumerationTries = 15;
constexpr uint32_t kEnumerationPauseMs = 1000;
// How long a module that restarts into its loader may take to let its link go.
constexpr uint64_t kLoaderDropMs = 300;
constexpr uint32_t kDropPollMs = 5;

// Unsigned decimal text to a build number; 0 (logged) for anything else.
uint32_t buildFromText(const std::string& text) {
    char* end = nullptr;
    unsigned long v = text.empty() ? 0 : strtoul(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || text[0] == '-' || v > UINT32_MAX) {
        Log::log(DEBUG_Updater, "Error: Could not convert %s to int.\n", text.c_str());
        return 0;
    }
    return uint32_t(v);
}

// A stored build number: its leading digits, 0 when absent or not a number.
uint32_t storedBuild(UpdaterStoreItem& device, const char* key) {
    int32_t v = device.settings.GetInt(key, 0);
    return v > 0 ? uint32_t(v) : 0;
}

// Waits, bounded, for a module that restarts into its loader to let the link go, so
// the check that follows sees the restart instead of a link about to fail.
void awaitLoaderRestart(Module& target) {
    uint64_t until = aTime_GetMSTicks() + kLoaderDropMs;
    while (target.isConnected() && aTime_GetMSTicks() < until)
        aTime_MSSleep(kDropPollMs);
}

// The module came back under its loader: find it again, a bounded number of times.
// Over USB it re-enumerates and is found by its serial number, or by the default one a
// loader may answer to instead (refreshing the USB context every third try); over
// TCP/IP it comes back at the same address and port.
void reenumerate(Module& target, uint32_t serial, linkType type) {
    target.disconnect();
    for (int t = 1; t <= kEnumerationTries; t++) {
        if (type == USB) {
            if (t % 3 == 0) {
                Log::log(DEBUG_APP,
                         "Failed enumeration after 3 tries, refreshing libusb context.\n");
                Corvane_libusb_exit();
            }
            if (target.discoverAndConnect(USB, serial) != aErrNone) {
                target.disconnect();
                target.discoverAndConnect(USB, UpdaterEntity::kDefaultSerial);
            }
        } else {
            target.reconnect();
        }
        if (target.isConnected()) return;
        target.disconnect();
        aTime_MSSleep(kEnumerationPauseMs);
    }
}

linkType linkTypeOf(const Module& target) {
    linkSpec spec;
    return target.getLinkSpecifier(&spec) == aErrNone ? linkType(spec.type) : USB;
}

// USB first, then TCP/IP when no USB module has that serial number.
aErr connectDirect(Module& module, uint32_t serial) {
    aErr err = module.connect(USB, serial);
    if (err == aErrNotFound) err = module.connect(TCPIP, serial);
    return err;
}

} // namespace

bool Updater::_validate_birdfile(UpdaterDisplayInterface& display, BirdFile& bird_file,
                                 Module& module, uint32_t serial) {
    if (bird_file.blockCount == 0) return false;
    if (!bird_file.hasSerialOffsets && !bird_file.ValidateSerialNumber(serial)) return false;
    Log::log(DEBUG_Updater, "UpdateFirmware() Connecting to device\n");
    SystemClass system;
    system.init(&module, 0);
    uint32_t found = 0;
    aErr err = system.getSerialNumber(&found);
    if (err != aErrNone || found != serial) {
        Log::log(DEBUG_Updater, "Bird serial number and connected device don't match (%d).\n",
                 int(err));
        return false;
    }
    uint8_t model = 0;
    err = system.getModel(&model);
    const char* name = aDefs_GetModelName(model);
    if (!bird_file.ValidateModel(name)) {
        display.message(Error, "Connected device model and Bird file model do not match [%s] (%d)",
                        name, int(err));
        return false;
    }
    return true;
}

uint32_t Updater::_choose_build(UpdaterStoreItem& device, uint32_t serial) {
    uint32_t build = 0;
    std::string current, firmware;
    UpdateServerRequest::QueryBuild(serial, current, firmware, server_url);
    build = buildFromText(current);
    if (build != 0) {
        try {
            device.ReadBirdFile(std::to_string(build) + ".bird");
        } catch (const std::exception&) {
            build = 0;
            display.message(Info, "New firmware is available.  Updater will proceed if valid "
                                  "firmware is found locally.");
        }
    }
    if (build == 0) {
        build = storedBuild(device, "LATEST_DOWNLOAD");
        if (build != 0) display.message(Info, "Updating with the Latest Download");
    }
    if (build == 0) {
        build = storedBuild(device, "LATEST_TRANSFER");
        if (build != 0) display.message(Info, "Updating with the Latest Transfer");
    }
    return build;
}

aErr Updater::_connect_target(Module& target, std::unique_ptr<Module>& router, uint32_t serial,
                              uint8_t module_address, uint32_t router_serial, bool& fatal) {
    aErr err = _disableEther(target, display);
    if (err != aErrNone) return err;
    if (router_serial == 0) {
        err = connectDirect(target, serial);
        if (err != aErrNone) display.message(Error, "Failed to connect to module [%08X]", serial);
        return err;
    }
    fatal = true;
    if (module_address == 0) {
        std::vector<DeviceInfo> devices = Discover_CVNetwork_Devices(router_serial, INVALID);
        if (devices.empty()) {
            display.message(Error, "Unable to find modules on Network");
            return aErrNotFound;
        }
        for (const DeviceInfo& info : devices)
            if (info.spec.serialNumber == serial) module_address = info.network_address;
        if (module_address == 0) {
            display.message(Error,
                            "Module address required for indirect firmware update, could not "
                            "find serial number [0x%08X] on network",
                            serial);
            return aErrNotFound;
        }
        target.setModuleAddress(module_address);
    }
    router = std::make_unique<Module>(0, 0);
    fatal = false;
    err = _disableEther(*router, display);
    if (err != aErrNone) return err;
    if (connectDirect(*router, router_serial) != aErrNone) {
        display.message(Error, "Failed to connect to link module [%08X]", router_serial);
        fatal = true;
        return aErrConnection;
    }
    // The router passes on packets for its bus modules only while routing is on.
    SystemClass routing;
    routing.init(router.get(), 0);
    routing.routeToMe(1);
    err = target.connectThroughLinkModule(router.get());
    if (err != aErrNone) display.message(Error, "Failed to connect to module [%08X]", serial);
    return err;
}

bool Updater::Update_Firmware(uint32_t serial, uint32_t build, const std::string& bird_file,
                              uint8_t module_address, uint32_t router_serial, bool override) {
    if (serial == 0) {
        display.message(Error, "Update command must specify the specific device");
        return false;
    }
    auto store = _createUpdaterStore(display, store_path, "Update_Firmware");
    if (!store) return false;
    UpdaterStoreItem device;
    try {
        store->FindDevice(serial, &device);
    } catch (const std::exception&) {
        device = UpdaterStoreItem();
    }
    uint64_t start = aTime_GetMSTicks();

    std::string bird_path = bird_file;
    if (bird_path.empty()) {
        if (build == 0) build = _choose_build(device, serial);
        if (build == 0) {
            display.message(Error, "Could not find valid build for this device.");
            return false;
        }
    }
    BirdFile bird;
    try {
        bird = load_bird("Updating", bird_path, serial, build, false);
    } catch (const std::exception&) {
        display.message(Error, "Failed to load bird file");
        return false;
    }
    if (bird.BlocksCutShort()) {
        // Whatever the override: the blocks after the damage would never reach the module.
        display.message(Error, "BIRD file is damaged: %s", bird.ScanProblem().c_str());
        return false;
    }
    if (bird.hasSerialOffsets) {
        Log::log(DEBUG_Updater, "Setting serial number into firmware... ");
        if (!bird.ReplaceSerialNumber(serial)) {
            Log::log(DEBUG_Updater, "Error: Unable to modify serial number in bird.\n");
            display.message(Error, "Could not write the serial number %08X into the BIRD file",
                            serial);
            return false;
        }
        Log::log(DEBUG_Updater, " Serial Number inserted into firmware.\n");
    }

    auto target = std::make_unique<Module>(module_address, 0);
    std::unique_ptr<Module> router;
    bool fatal = false;
    aErr err = _connect_target(*target, router, serial, module_address, router_serial, fatal);
    if (fatal) return false;
    if (err == aErrNone && !override && !_validate_birdfile(display, bird, *target, serial)) {
        display.message(Error, "Birdfile failed validation");
        return false;
    }
    if (err == aErrNone) err = _transfer_loader(display, *target, bird);
    if (err == aErrNone && router_serial == 0) awaitLoaderRestart(*target);
    if (err == aErrNone && !target->isConnected())
        reenumerate(*target, serial, linkTypeOf(*target));
    if (err == aErrNone)
        err = _transfer_firmware(display, *target, bird, router_serial != 0, use_uei_bytes);
    if (router && router->isConnected()) {
        SystemClass routing;
        routing.init(router.get(), 0);
        routing.routeToMe(0);
    }
    if (err != aErrNone) {
        Log::log(DEBUG_Updater, "Failed _transfer_firmware(): %d\n", int(err));
        return false;
    }
    if (bird_path.empty()) bird_path = std::to_string(build) + ".bird";
    _record_transfer(*store, device, serial, bird_path);
    Log::log(DEBUG_Updater, "Updating device firmware: \n");
    display.message(Info, "Update time: %.4f sec", double(aTime_GetMSTicks() - start) / 1000.0);
    return true;
}

void Updater::_record_transfer(UpdaterStore& store, UpdaterStoreItem& device, uint32_t serial,
                               const std::string& bird_path) {
    try {
        // A device without an entry gets one, so the record lands in its own settings.
        if (!device.IsValid()) device = store.AddDevice(serial);
    } catch (const std::exception&) {
    }
    device.settings.Add("LATEST_TRANSFER", bird_path);
    device.settings.Add("LAST_TRANSFER_DATE", KeyValueStore::TimeStamp(time(nullptr)));
    if (!device.settings.Save())
        display.message(Error, "Could not record the transfer in the settings of %s",
                        device.name.c_str());
}
