// Listing - the build and device lists as the front end prints them
#include "Listing.h"

namespace {

constexpr auto Info = UpdaterDisplayInterface::Info;

const char* linkTypeName(uint32_t link_type) {
    switch (link_type) {
    case USB:
        return "USB";
    case TCPIP:
        return "TCPIP";
    default:
        return "Unknown";
    }
}

void printDevice(UpdaterDisplayInterface& display, const DeviceInfo& d) {
    const linkSpec& s = d.spec;
    const char* model = d.model_name.c_str();
    if (s.type == TCPIP) {
        // The address is stored in network byte order: its bytes are already in
        // dotted order.
        const uint8_t* ip = reinterpret_cast<const uint8_t*>(&s.t.ip.ipAddress);
        char address[24];
        snprintf(address, sizeof address, "[%d.%d.%d.%d]", ip[0], ip[1], ip[2], ip[3]);
        display.message(Info,
                        "    %08X  %02X       %02X      %-12s %3d.%d.%d (%10u)        %-17s  %s",
                        s.serialNumber, s.module, s.router, model, d.major, d.minor, d.patch,
                        d.build, address, d.name.c_str());
    } else if (d.error != aErrNone) {
        display.message(Info, "    %08X  [Error (%d): Is someone else connected to this device?]",
                        s.serialNumber, int(d.error));
    } else {
        display.message(Info, "    %08X  %02X       %02X      %-12s %3d.%d.%d (%10u)         %s",
                        s.serialNumber, s.module, s.router, model, d.major, d.minor, d.patch,
                        d.build, d.name.c_str());
    }
}

} // namespace

void PrintBuildList(UpdaterDisplayInterface& display, uint32_t serial, const BuildList& list) {
    if (list.empty()) {
        display.message(Info, "No builds found for device [%08X]", serial);
        return;
    }
    display.message(Info, "Build List for device [%08X]:\n", serial);
    display.message(Info, "%-15.15s\t%-15.15s", "Build", "Version");
    for (const auto& [build, version] : UpdateServerRequest::SortBuildsByVersion(list))
        display.message(Info, "%-15.15s\t%-15.15s", build.c_str(), version.c_str());
}

void PrintDeviceList(UpdaterDisplayInterface& display, uint32_t link_type,
                     const std::vector<DeviceInfo>& devices) {
    display.message(Info, "Discovered Devices: (%s)", linkTypeName(link_type));
    if (devices.empty()) {
        display.message(Info, "    No devices found.");
        return;
    }
    if (link_type == USB)
        display.message(Info, "    Device    Module   Router  Model          Firmware Version "
                              "(Build)    Device Name");
    else
        display.message(Info, "    Device    Module   Router  Model          Firmware Version "
                              "(Build)   [IP address]       Device Name");
    for (const DeviceInfo& d : devices)
        printDevice(display, d);
}
