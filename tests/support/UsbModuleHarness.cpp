// UsbModuleHarness - the simulator's emulated USB modules, for test programs that are the host
#include "UsbModuleHarness.h"

#include <dlfcn.h>
#include <string>
#include <unistd.h>

#if defined(__SANITIZE_THREAD__)
// umockdev and GLib are not instrumented, and their worker thread races with their own
// test bed set-up and tear-down (GLib's mutexes are invisible to ThreadSanitizer). libudev,
// not instrumented either, keeps process-wide state that umockdev's uevents (sent by the
// simulator's thread) and libusb's device monitor both touch. libusb tells a synchronous
// transfer's caller of its completion through a plain flag, so freeing the transfer looks
// unordered against the event handler (the link's other thread) that completed it. Only
// reports with a frame in them are silenced; the code under test has none.
extern "C" const char* __tsan_default_suppressions() {
    return "race:libumockdev.so.0\nrace:libglib-2.0.so.0\nrace:libudev.so.1\n"
           "race:libusb_free_transfer\n";
}
#endif

namespace testsupport {

namespace {

// libusb and the kernel back end must meet umockdev's preload library, which only works
// when loaded at program start; so a test program started without it starts over with
// it. glibc hands the program's arguments to load-time constructors.
__attribute__((constructor)) void restartUnderPreload(int, char** argv, char**) {
    if (SimUsb_PreloadActive()) return;
    if (getenv("UPDATER_UMOCKDEV_RESTARTED")) return; // the preload would not load: give up
    setenv("UPDATER_UMOCKDEV_RESTARTED", "1", 1);
    const char* old = getenv("LD_PRELOAD");
    std::string preload = std::string(kSimUsbPreload) + (old && *old ? std::string(":") + old : "");
    setenv("LD_PRELOAD", preload.c_str(), 1);
#if defined(__SANITIZE_ADDRESS__)
    // The preload comes before the sanitizer's runtime, which is fine for these tests.
    const char* asan = getenv("ASAN_OPTIONS");
    std::string options =
        std::string(asan && *asan ? std::string(asan) + ":" : "") + "verify_asan_link_order=0";
    setenv("ASAN_OPTIONS", options.c_str(), 1);
#endif
    execv("/proc/self/exe", argv);
}

} // namespace

UsbTestbed::UsbTestbed() : SimUsbTestbed(true) {}

} // namespace testsupport
