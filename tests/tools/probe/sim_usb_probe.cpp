// sim_usb_probe - finds modules on USB and asks each one for an echo, as a host program would
//
// Run by the tests under corvane-sim --usb: one line per module found
// ("found SERIAL model MODEL"), one per module that answered through its link
// ("echo SERIAL address ADDRESS"). Exit status 0 when every module found answered,
// 1 when one did not, 2 when none was found.
#include <cstdio>
#include <cstring>
#include <vector>

#include "Corvane-C.h"
#include "Link.h"
#include "discover.h"

using Pelmora::Corvane::Link;

namespace {

bool collect(const linkSpec* spec, bool* found, void* context) {
    static_cast<std::vector<linkSpec>*>(context)->push_back(*spec);
    *found = true;
    return true;
}

bool echoes(const linkSpec& spec) {
    Link link(spec, "probe");
    uint8_t address = 0;
    if (link.connect() != aErrNone || link.getModuleAddress(&address) != aErrNone) return false;
    const uint8_t question[3] = {0x51, 0x52, 0x53};
    const uint8_t command = 23;
    if (link.sendPacket(address, command, sizeof question, question) != aErrNone) return false;
    uint8_t match[1] = {command}, length = sizeof match, reply[28] = {};
    if (link.receivePacket(address, match, &length, reply) != aErrNone) return false;
    if (length != 4 || memcmp(reply + 1, question, sizeof question) != 0) return false;
    printf("echo %08X address %u\n", spec.serialNumber, address);
    return true;
}

} // namespace

int main() {
    std::vector<linkSpec> found;
    aDiscovery_EnumerateModules(USB, collect, &found, 0);
    for (const linkSpec& s : found)
        printf("found %08X model %u\n", s.serialNumber, s.model);
    fflush(stdout);
    bool all = true;
    for (const linkSpec& s : found)
        all = echoes(s) && all;
    Corvane_libusb_exit();
    return found.empty() ? 2 : all ? 0 : 1;
}
