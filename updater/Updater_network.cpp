// Updater - listing the modules on a router's I2C module network
#include <vector>

#include "Log.h"
#include "Module.h"
#include "Updater.h"
#include "aDefs.h"
#include "autoGen_I2CClass_CPP.h"
#include "autoGen_SystemClass_CPP.h"

using Pelmora::Corvane::I2CClass;
using Pelmora::Corvane::Module;
using Pelmora::Corvane::SystemClass;

namespace {

constexpr uint32_t kLoopback = 0x0100007F; // 127.0.0.1, network byte order
constexpr uint8_t kFirstAddress = 2;
constexpr uint8_t kLastAddress = 252;
constexpr uint8_t kBusSpeed = 3;
constexpr uint8_t kBus = 0;

struct LinkSearch {
    uint32_t serial;
    linkType found = INVALID;
};

bool discoveredLink(const linkSpec* spec, bool* found, void* context) {
    *found = true;
    auto* search = static_cast<LinkSearch*>(context);
    if (spec->serialNumber != search->serial) return true;
    Log::log(DEBUG_Network, "NETWORK: Found device [%08X] via link type [%d]\n", spec->serialNumber,
             int(spec->type));
    search->found = linkType(spec->type);
    return false;
}

// Reads one module that answered at address behind the router; false when it cannot be
// reached or will not say who it is.
bool readRoutedModule(Module& router, uint8_t address, const linkSpec& routerSpec,
                      UpdaterDisplayInterface& display, DeviceInfo& info) {
    Log::log(DEBUG_Updater, "Attempt Connect on address: 0x%02x\n", address);
    Module target(address, false, 0);
    Updater::_disableEther(target, display);
    if (target.connectThroughLinkModule(&router) != aErrNone) return false;
    SystemClass system;
    system.init(&target, 0);
    uint32_t serial = 0;
    if (system.getSerialNumber(&serial) != aErrNone) {
        target.disconnect();
        return false;
    }
    Log::log(DEBUG_Updater, "Got Serial [0x%08X]\n", serial);
    info.spec = routerSpec; // the way to the router: type, IP address and port
    info.spec.serialNumber = serial;
    info.spec.module = info.spec.router = info.spec.model = 0;
    info.spec.routerSerialNumber = routerSpec.serialNumber;
    info.network_address = address;
    info.build = Updater::_get_build_number(target);
    info.error = Updater::_get_version(target, info);
    uint8_t model = 0;
    aErr err = system.getModel(&model);
    if (err == aErrNone) {
        info.spec.model = model;
        info.model_name = aDefs_GetModelName(model);
    } else {
        info.error = err;
    }
    target.disconnect();
    return true;
}

} // namespace

linkType Updater::_discover_link_type(uint32_t serial) {
    LinkSearch search{serial};
    aDiscovery_EnumerateModules(USB, discoveredLink, &search, kLoopback);
    if (search.found == INVALID)
        aDiscovery_EnumerateModules(TCPIP, discoveredLink, &search, kLoopback);
    return search.found;
}

std::vector<DeviceInfo> Updater::Discover_CVNetwork_Devices(uint32_t router_serial,
                                                            linkType link_type) {
    if (link_type == INVALID) link_type = _discover_link_type(router_serial);
    linkSpec* found = aDiscovery_FindModule(link_type, router_serial, kLoopback);
    if (!found) return {};
    linkSpec routerSpec = *found;
    aLinkSpec_Destroy(&found);

    Log::log(DEBUG_Updater, "Found Link Module");
    Module router(kFirstAddress, 0);
    if (_disableEther(router, display) != aErrNone) return {};
    aErr err = router.connectFromSpec(routerSpec);
    if (err != aErrNone) {
        display.message(UpdaterDisplayInterface::Error, "Error %d on connectFromSpec", int(err));
        return {};
    }
    SystemClass system;
    system.init(&router, 0);
    err = system.routeToMe(1);
    if (err != aErrNone) {
        display.message(UpdaterDisplayInterface::Error, "Error %d on route to me", int(err));
        router.disconnect();
        return {};
    }
    I2CClass bus;
    bus.init(&router, kBus);
    bus.setSpeed(kBusSpeed);

    std::vector<DeviceInfo> list;
    const uint8_t probe[2] = {0, 0};
    for (unsigned a = kFirstAddress; a <= kLastAddress; a += 2) {
        uint8_t address = uint8_t(a);
        if (address == router.getModuleAddress()) continue;
        Log::log(DEBUG_Updater, "Searching Address 0x%02x\n", address);
        if (bus.write(address, sizeof probe, probe) != aErrNone) continue; // nobody there
        DeviceInfo info;
        if (readRoutedModule(router, address, routerSpec, display, info)) list.push_back(info);
    }
    system.routeToMe(0);
    router.disconnect();
    return list;
}
