// Updater - commands this build does not carry yet. Each reports so and fails,
// so a user is never told that nothing was found when nothing was tried.
#include "Updater.h"

namespace {

void notAvailable(UpdaterDisplayInterface& display, const char* what) {
    display.message(UpdaterDisplayInterface::Error, "%s is not available in this build", what);
}

} // namespace

bool Updater::Get_Fingerprint(Fingerprint&, const std::string&, uint32_t, const std::string&,
                              uint32_t, bool) {
    notAvailable(display, "Reading a chip fingerprint");
    return false;
}

bool Updater::Recover_Firmware(const std::string&, uint32_t, uint32_t, uint32_t, const std::string&,
                               bool) {
    (void)chip_family;
    notAvailable(display, "Firmware recovery");
    return false;
}
