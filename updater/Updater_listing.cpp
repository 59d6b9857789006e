// Updater - the device listing over USB and TCP/IP, and the module steps it shares
#include <algorithm>
#include <vector>

#include "Log.h"
#include "Module.h"
#include "Updater.h"
#include "aDefs.h"
#include "aVersion.h"
#include "autoGen_SystemClass_CPP.h"

using Pelmora::Corvane::aLoomConfig;
using Pelmora::Corvane::Module;
using Pelmora::Corvane::SystemClass;

namespace {

constexpr uint32_t kLoopback = 0x0100007F; // 127.0.0.1, network byte order
constexpr uint8_t kFirstAddress = 2;       // replaced by what the module says
constexpr size_t kNameBuffer = 32;

bool discoveredDevice(const linkSpec* spec, bool* found, void* context) {
    auto* list = static_cast<std::vector<DeviceInfo>*>(context);
    DeviceInfo info;
    info.spec = *spec;
    list->push_back(info);
    *found = true;
    return true;
}

// Connects to one listed module and reads what the list shows; failures stay in the
// record.
void readDevice(DeviceInfo& info, UpdaterDisplayInterface& display) {
    info.model_name = aDefs_GetModelName(info.spec.model);
    Module module(kFirstAddress, 0);
    if (Updater::_disableEther(module, display) != aErrNone) return;
    info.error = module.connectFromSpec(info.spec);
    if (module.isConnected()) {
        info.build = Updater::_get_build_number(module);
        info.error = Updater::_get_version(module, info);
        if (info.error == aErrNone) info.error = Updater::_get_device_name(module, info);
    }
    module.disconnect();
}

} // namespace

std::vector<DeviceInfo> Updater::Discover_Devices(linkType link_type) {
    std::vector<linkType> types{link_type};
    if (link_type == INVALID) types = {USB, TCPIP};
    std::vector<DeviceInfo> list;
    for (linkType type : types)
        aDiscovery_EnumerateModules(type, discoveredDevice, &list, kLoopback);
    for (DeviceInfo& info : list)
        readDevice(info, display);
    return list;
}

aErr Updater::_disableEther(Module& module, UpdaterDisplayInterface& display) {
    aLoomConfig config;
    config.enabled = 0;
    config.fallback = 0;
    config.localOnly = 1;
    config.assignedPort = 0;
    config.networkInterface = kLoopback;
    aErr err = module.setConfig(config);
    if (err != aErrNone)
        display.message(UpdaterDisplayInterface::Error, "Failed to SET network configuration");
    return err;
}

uint32_t Updater::_get_build_number(Module& module) {
    uint32_t build = 0;
    return module.getBuild(&build) == aErrNone ? build : 0;
}

aErr Updater::_get_version(Module& module, DeviceInfo& info) {
    SystemClass system;
    system.init(&module, 0);
    uint32_t packed = 0;
    aErr err = system.getVersion(&packed);
    if (err != aErrNone) return err;
    info.major = aVersion_ParseMajor(packed);
    info.minor = aVersion_ParseMinor(packed);
    info.patch = aVersion_ParsePatch(packed);
    uint8_t address = 0;
    err = system.getModule(&address);
    if (err != aErrNone) return err;
    info.spec.module = address;
    err = system.getRouter(&address);
    if (err == aErrNone) info.spec.router = address;
    return err;
}

aErr Updater::_get_device_name(Module& module, DeviceInfo& info) {
    // Older firmware has no name option. Legacy patch numbers run past 255: saturate
    // rather than let 2.10.256 compare as 2.10.0.
    uint8_t patch = uint8_t(std::min<uint32_t>(info.patch, 255));
    if (!aVersion_IsAtLeastCompare(info.major, info.minor, patch, 2, 10, 4)) return aErrNone;
    SystemClass system;
    system.init(&module, 0);
    uint8_t buffer[kNameBuffer];
    size_t length = 0;
    aErr err = system.getName(buffer, sizeof buffer, &length);
    if (err == aErrNone) info.name.assign(reinterpret_cast<const char*>(buffer), length);
    return err;
}
