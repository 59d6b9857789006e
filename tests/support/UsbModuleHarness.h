// UsbModuleHarness - the simulator's emulated USB modules, for test programs that are the host
//
// The program under test runs in the same process as the device side, unchanged: libusb
// and the kernel driver back end meet the emulated devices through umockdev's preload
// library. A test program that links this harness starts again under that library
// (once, at load time) when it was started without it, so a suite runs the same from
// ctest or by hand.
#pragma once

#include <cstdint>
#include <vector>

#include "SimUsb.h"

namespace testsupport {

using Bytes = std::vector<uint8_t>;

using UsbModuleSpec = SimUsbSpec;
using UsbFault = SimUsbFault;
using UsbModule = SimUsbDevice;
using KernelNode = SimUsbNode;

// A test bed whose host side is this process: error() says so when the preload is missing.
class UsbTestbed : public SimUsbTestbed {
  public:
    // Out of line on purpose: using it links the harness, and with it the restart.
    UsbTestbed();
};

} // namespace testsupport
