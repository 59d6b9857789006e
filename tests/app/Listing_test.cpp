// Build and device lists, byte for byte
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include "CLI_Display.h"
#include "Listing.h"
#include "TestSupport.h"

namespace {

DeviceInfo device(uint32_t type, uint32_t serial, uint32_t module, uint32_t router) {
    DeviceInfo d;
    d.spec.type = type;
    d.spec.serialNumber = serial;
    d.spec.module = module;
    d.spec.router = router;
    return d;
}

} // namespace

TEST(Listing, BuildListsSortedByVersion) {
    CLI_Display display;
    EXPECT_EQ(testsupport::CaptureStdoutToFile([&] { PrintBuildList(display, 0x1A, {}); }),
              "No builds found for device [0000001A]\n");
    BuildList list = {{"100", "1.9.3"},
                      {"200", "2.0.0"},
                      {"150", "1.10.0"},
                      {"90", "junk"},
                      {"1234567890123456789", "1.0.0"}};
    std::string out =
        testsupport::CaptureStdoutToFile([&] { PrintBuildList(display, 0x40F5849A, list); });
    EXPECT_EQ(out, "Build List for device [40F5849A]:\n\n"
                   "Build          \tVersion        \n"
                   "200            \t2.0.0          \n"
                   "150            \t1.10.0         \n"
                   "100            \t1.9.3          \n"
                   "123456789012345\t1.0.0          \n"
                   "90             \tjunk           \n");
}

TEST(Listing, DeviceLinesPerLinkType) {
    CLI_Display display;
    EXPECT_EQ(testsupport::CaptureStdoutToFile([&] { PrintDeviceList(display, 1, {}); }),
              "Discovered Devices: (USB)\n    No devices found.\n");
    EXPECT_EQ(testsupport::CaptureStdoutToFile([&] { PrintDeviceList(display, 7, {}); }),
              "Discovered Devices: (Unknown)\n    No devices found.\n");

    DeviceInfo usb = device(1, 0x40F5849A, 2, 2);
    usb.model_name = "USBHub3p";
    usb.major = 2;
    usb.minor = 10;
    usb.patch = 4;
    usb.build = 99528558;
    usb.name = "Bench hub";
    DeviceInfo busy = device(1, 0x0BADF00D, 0, 0);
    busy.error = aErrBusy;
    std::string out = testsupport::CaptureStdoutToFile([&] {
        PrintDeviceList(display, 1, {usb, busy});
    });
    EXPECT_EQ(out, "Discovered Devices: (USB)\n"
                   "    Device    Module   Router  Model          Firmware Version (Build)    "
                   "Device Name\n"
                   "    40F5849A  02       02      USBHub3p       2.10.4 (  99528558)         "
                   "Bench hub\n"
                   "    0BADF00D  [Error (5): Is someone else connected to this device?]\n");

    DeviceInfo tcp = device(2, 0x2181F0EE, 6, 4);
    tcp.model_name = "Router";
    tcp.major = 3;
    tcp.minor = 0;
    tcp.patch = 12;
    tcp.build = 7;
    tcp.error = aErrTimeout; // a TCP/IP line shows its fields even after a failure
    tcp.spec.t.ip.ipAddress = inet_addr("10.1.2.3");
    out = testsupport::CaptureStdoutToFile([&] { PrintDeviceList(display, 2, {tcp}); });
    EXPECT_EQ(out, "Discovered Devices: (TCPIP)\n"
                   "    Device    Module   Router  Model          Firmware Version (Build)   "
                   "[IP address]       Device Name\n"
                   "    2181F0EE  06       04      Router         3.0.12 (         7)        "
                   "[10.1.2.3]         \n");
}
