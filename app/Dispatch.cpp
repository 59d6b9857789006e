// Dispatch - the process entry's work: parse, set up the store, run the commands
#include "Dispatch.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#include "BuildDate.h"
#include "CLI_Display.h"
#include "Listing.h"
#include "Log.h"
#include "Parameters.h"
#include "Updater.h"
#include "Usage.h"
#include "aDirectory.h"
#include "aVersion.h"
#include "path.h"

namespace {

constexpr const char* kProgram = "Updater";
constexpr auto Info = UpdaterDisplayInterface::Info;
constexpr auto Error = UpdaterDisplayInterface::Error;

void printVersionLine(UpdaterDisplayInterface& display) {
    std::string version =
        std::string("Version: ") + aVersion_GetString() + " " + UpdaterBuildDate();
    display.message(Info, "%s (%s)", kProgram, version.c_str());
}

// The store path, created when missing; empty after a reported failure.
std::string resolveStore(const Parameters& p, UpdaterDisplayInterface& display) {
    std::string base = p.store_dir;
    if (base.empty()) {
        char home[2048];
        aErr err = aDirectory_GetHomeDirectory(home, sizeof home);
        if (err != aErrNone) {
            Log::log(DEBUG_APP, "Updater: FailedaDirectory_GetHomeDirectory()==> %d\n", int(err));
            return {};
        }
        base = BuildPath(home, ".pelmora", nullptr);
    }
    std::string store = BuildPath(base.c_str(), "updater", nullptr);
    if (aDirectory_Ensure(store.c_str(), 0755) != aErrNone) {
        display.message(Error, "Could not find updater directory at %s", store.c_str());
        return {};
    }
    return store;
}

int fingerprint(Updater& updater, const Parameters& p, UpdaterDisplayInterface& display,
                int status) {
    Fingerprint fp;
    if (updater.Get_Fingerprint(fp, p.serial_port, 0xDEADDEAD, p.bird_file, p.baud_rate, true)) {
        display.message(Info, "[ %08X %08X %08X %08X ]", fp.word[0], fp.word[1], fp.word[2],
                        fp.word[3]);
        return status;
    }
    display.message(Error, "Got no response from chip");
    return 1;
}

int get(Updater& updater, Parameters& p, UpdaterDisplayInterface& display) {
    display.message(Info, "Retrieving firmware for device with serial number %08X",
                    p.serial_number);
    if (p.build.empty()) {
        display.message(Info, "No build specified");
        display.message(Info, "Using Latest build");
    } else {
        display.message(Info, "Retrieving firmware build %s", p.build.c_str());
    }
    uint32_t build = updater.Download_Firmware(p.serial_number, p.build, p.override, false);
    if (build == 0) return 1;
    p.build = std::to_string(build);
    return 0;
}

int discover(Updater& updater, const Parameters& p, UpdaterDisplayInterface& display) {
    uint32_t type = (p.transport_given && p.transport != TRANSPORT_RECOVER) ? p.transport : 0;
    if (p.router_serial != 0) {
        display.message(Info, "Searching for Corvane Network devices connected to %08X",
                        p.router_serial);
        auto devices = updater.Discover_CVNetwork_Devices(p.router_serial, linkType(type));
        PrintDeviceList(display, type, devices);
    } else {
        display.message(Info, "Searching for Corvane devices");
        if (type == 0) type = USB;
        auto devices = updater.Discover_Devices(linkType(type));
        PrintDeviceList(display, type, devices);
    }
    return 0;
}

int update(Updater& updater, const Parameters& p, UpdaterDisplayInterface& display) {
    uint32_t build = p.build.empty() ? 0 : uint32_t(strtoul(p.build.c_str(), nullptr, 10));
    updater.Set_UEIBytes_Load(p.use_uei_bytes);
    if (p.transport == TRANSPORT_RECOVER)
        return updater.Recover_Firmware(p.serial_port, build, p.baud_rate, p.serial_number,
                                        p.bird_file, p.override)
                   ? 0
                   : 1;
    if (p.serial_number == 0) {
        display.message(Error, "Must specify the specific device to be updated");
        return 1;
    }
    return updater.Update_Firmware(p.serial_number, build, p.bird_file, p.module_address,
                                   p.router_serial, p.override)
               ? 0
               : 1;
}

int listBuilds(Updater& updater, const Parameters& p, UpdaterDisplayInterface& display,
               bool local) {
    if (p.serial_number == 0) {
        display.message(Error, local ? "Error must supply a serial number for the List Local "
                                       "Builds command"
                                     : "Error must supply a serial number for the List Builds "
                                       "command");
        PrintShortUsage(stderr, kProgram);
        return 1;
    }
    BuildList list = local ? updater.Get_BuildListLocal(p.serial_number)
                           : updater.Get_BuildList(p.serial_number);
    PrintBuildList(display, p.serial_number, list);
    return 0;
}

// Runs the commands in their fixed order: -N, -G, then the first of -D, -U, -B, -L,
// -C, -I.
int runCommands(Updater& updater, Parameters& p, UpdaterDisplayInterface& display) {
    int status = 0;
    if (p.commands.IsSet(CMD_FINGERPRINT)) {
        if (p.serial_port.empty()) {
            display.message(Error, "Must specify the serial port used for connecting");
            return 1;
        }
        status = fingerprint(updater, p, display, status);
    }
    if (p.commands.IsSet(CMD_GET)) {
        if (p.serial_number == 0) {
            display.message(Error, "-G must specify a specific device via -d");
            display.message(Error, "--help for usage information");
            return 1;
        }
        status = get(updater, p, display);
    }
    if (p.commands.IsSet(CMD_DISCOVER)) return discover(updater, p, display);
    if (p.commands.IsSet(CMD_UPDATE)) return update(updater, p, display);
    if (p.commands.IsSet(CMD_LIST_BUILDS)) return listBuilds(updater, p, display, false);
    if (p.commands.IsSet(CMD_LIST_LOCAL)) return listBuilds(updater, p, display, true);
    if (p.commands.IsSet(CMD_CHECK_BIRD)) return updater.Check_BirdFile(p.bird_file) ? 0 : 1;
    if (p.commands.IsSet(CMD_INFO)) return updater.Show_StoreInfo(p.serial_number) ? 0 : 1;
    return status;
}

} // namespace

int RunUpdater(int argc, const char* const argv[]) {
    Parameters params;
    CLI_Display display;
    Log::SetOutput(stderr);

    if (!_get_params(argc, argv, params, display)) {
        printVersionLine(display);
        PrintShortUsage(stderr, kProgram);
        return 1;
    }
    printVersionLine(display);
    if (params.commands.IsSet(CMD_HELP) || !params.commands.IsSet(CMD_ANY_COMMAND)) {
        if (params.help)
            PrintFullUsage(stderr, kProgram, params.log_mask_given);
        else
            PrintShortUsage(stderr, kProgram);
        return 0;
    }
    std::string store = resolveStore(params, display);
    if (store.empty()) return 1;

    Updater updater(params.server_url, store, display);
    return runCommands(updater, params, display);
}
