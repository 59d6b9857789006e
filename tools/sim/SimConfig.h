// SimConfig - the simulator's command line and configuration file
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "SimModule.h"
#include "Simulator.h"

// One module as configured: what it is and how it is reached.
struct SimModuleSetup {
    SimModuleConfig module;
    std::string tcp = "yes"; // "yes" (the default address, a free port), "no", or [ADDR:]PORT
    bool pty = false;
    bool usb = false;     // on emulated USB
    bool usbNode = false; // behind a kernel driver node
    uint32_t on = 0;      // serial number of the router whose bus it sits on; 0 for none
};

struct SimSetup {
    std::vector<SimModuleSetup> modules;
    std::string bind = "127.0.0.1"; // default listening address
    std::string discovery;          // interface address of the discovery responder
    std::string dumpDir;
    bool verbose = false;
};

// Sets one module key ("serial", "model", "drop-reply", ...); the error text or "".
std::string SimConfig_ModuleOption(SimModuleSetup& m, const std::string& key,
                                   const std::string& value);
// Sets one global key (bind, discovery, dump-dir, verbose); false when key is not one.
bool SimConfig_GlobalOption(SimSetup& s, const std::string& key, const std::string& value,
                            std::string& error);
// True for keys that may be given on the command line without a value (meaning yes).
bool SimConfig_IsSwitch(const std::string& key);

// Parses a configuration file's text into s; the error text (with its line) or "".
std::string SimConfig_ParseText(const std::string& text, SimSetup& s);
// Parses the command line (argv[1] on); the error text or "".
std::string SimConfig_ParseArgs(int argc, char** argv, SimSetup& s);

// Builds the modules, buses and endpoints of s into sim; the error text or "".
std::string SimConfig_Build(const SimSetup& s, Simulator& sim);
