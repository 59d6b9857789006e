// SimConfig - the simulator's command line and configuration file
#include "SimConfig.h"

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>

#include "FirmwareStamp.h"

namespace {

bool number(const std::string& text, uint64_t max, uint64_t& out, int base = 0) {
    if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ') return false;
    errno = 0;
    char* end = nullptr;
    unsigned long long v = strtoull(text.c_str(), &end, base);
    if (errno || *end || v > max) return false;
    out = v;
    return true;
}

bool boolean(const std::string& text, bool& out) {
    if (text == "yes" || text == "on" || text == "true" || text == "1") return out = true, true;
    if (text == "no" || text == "off" || text == "false" || text == "0") return !(out = false);
    return false;
}

bool hexBytes(const std::string& text, std::vector<uint8_t>& out) {
    if (text.empty() || text.size() % 2) return false;
    out.clear();
    for (size_t i = 0; i < text.size(); i += 2) {
        uint64_t v;
        if (!number(text.substr(i, 2), 255, v, 16)) return false;
        out.push_back(uint8_t(v));
    }
    return true;
}

std::string trim(const std::string& s) {
    size_t a = s.find_first_not_of(" \t\r"), b = s.find_last_not_of(" \t\r");
    return a == std::string::npos ? "" : s.substr(a, b - a + 1);
}

} // namespace

bool SimConfig_IsSwitch(const std::string& key) {
    return key == "pty" || key == "usb" || key == "usb-node" || key == "uei-bytes" ||
           key == "no-load-reply" || key == "busy" || key == "verbose";
}

std::string SimConfig_ModuleOption(SimModuleSetup& s, const std::string& key,
                                   const std::string& value) {
    SimModuleConfig& m = s.module;
    SimFaults& f = m.faults;
    uint64_t n = 0;
    bool b = false;
    std::string bad = "bad value for " + key + ": " + value;
    auto num = [&](uint64_t max, int base = 0) { return number(value, max, n, base); };
    if (key == "serial") {
        if (value.size() > 8 || !num(UINT32_MAX, 16) || n == 0) return bad;
        m.serial = uint32_t(n);
    } else if (key == "model") {
        if (!num(255)) return bad;
        m.model = uint8_t(n);
    } else if (key == "address" || key == "router") {
        if (!num(254) || n == 0 || n & 1) return bad + " (even, 2 to 254)";
        (key == "address" ? m.address : m.router) = uint8_t(n);
        if (key == "address" && m.router == 2) m.router = uint8_t(n);
    } else if (key == "discovery-address") {
        if (!num(254) || n == 0 || n & 1) return bad + " (even, 2 to 254)";
        m.announced = uint8_t(n);
    } else if (key == "version") {
        auto packed = FirmwareStamp_PackVersion(value.c_str());
        if (!packed) return bad + " (MAJOR.MINOR.PATCH)";
        m.version = *packed;
    } else if (key == "build" || key == "features" || key == "load-base") {
        if (!num(UINT32_MAX)) return bad;
        (key == "build" ? m.build : key == "features" ? m.features : m.loadBase) = uint32_t(n);
    } else if (key == "name") {
        if (value.size() > 4096) return bad;
        m.name = value;
    } else if (key == "uei-bytes" || key == "pty" || key == "no-load-reply" || key == "busy") {
        if (!boolean(value, b)) return bad;
        (key == "uei-bytes" ? m.ueiBytes
         : key == "pty"     ? s.pty
         : key == "busy"    ? f.busy
                            : f.noLoadReply) = b;
    } else if (key == "usb" || key == "usb-node") {
        if (!boolean(value, b)) return bad;
        (key == "usb" ? s.usb : s.usbNode) = b;
    } else if (key == "chunk") {
        if (!num(65535) || n == 0) return bad;
        m.chunkSize = uint16_t(n);
    } else if (key == "heartbeat") {
        if (!num(255)) return bad + " (tenths of a second, 0 to 255)";
        m.heartbeat = uint8_t(n);
    } else if (key == "after-load") {
        if (value == "keep")
            m.afterLoad = SimAfterLoad::Keep;
        else if (value == "reconnect")
            m.afterLoad = SimAfterLoad::Reconnect;
        else if (value == "deadbeef")
            m.afterLoad = SimAfterLoad::DeadBeef;
        else
            return bad + " (keep, reconnect or deadbeef)";
    } else if (key == "restart-ms" || key == "reply-delay" || key == "baud") {
        if (!num(600000)) return bad;
        (key == "restart-ms" ? m.restartMs : key == "baud" ? f.baud : f.replyDelayMs) = uint32_t(n);
    } else if (key == "lack") {
        if (!num(63)) return bad;
        m.lacks.insert(uint8_t(n));
    } else if (key == "drop-reply") {
        // HEX[,COUNT]: drop COUNT replies (default 1) whose data start with HEX.
        size_t comma = value.find(',');
        uint64_t count = 1;
        if (!hexBytes(value.substr(0, comma), f.dropReplyPrefix) ||
            (comma != std::string::npos && !number(value.substr(comma + 1), 1000000, count)))
            return bad + " (HEX[,COUNT])";
        f.dropReplies = int(count);
    } else if (key == "corrupt-sum" || key == "refuse-prepare" || key == "drop-after-data") {
        if (!num(1000000)) return bad;
        (key == "corrupt-sum"      ? f.corruptSums
         : key == "refuse-prepare" ? f.refusePrepares
                                   : f.dropAfterData) = int(n);
    } else if (key == "tcp") {
        s.tcp = value;
    } else if (key == "on") {
        if (value.size() > 8 || !num(UINT32_MAX, 16) || n == 0) return bad;
        s.on = uint32_t(n);
        if (s.tcp == "yes") s.tcp = "no";
    } else {
        return "unknown option " + key;
    }
    return {};
}

bool SimConfig_GlobalOption(SimSetup& s, const std::string& key, const std::string& value,
                            std::string& error) {
    if (key == "bind")
        s.bind = value;
    else if (key == "discovery")
        s.discovery = value;
    else if (key == "dump-dir")
        s.dumpDir = value;
    else if (key == "verbose") {
        if (!boolean(value, s.verbose)) error = "bad value for verbose: " + value;
    } else
        return false;
    return true;
}

std::string SimConfig_ParseText(const std::string& text, SimSetup& s) {
    std::istringstream in(text);
    std::string line;
    int number = 0;
    SimModuleSetup* current = nullptr;
    while (std::getline(in, line)) {
        number++;
        std::string where = "line " + std::to_string(number) + ": ";
        line = trim(line);
        if (line.empty() || line[0] == '#') continue;
        if (line == "[module]") {
            s.modules.emplace_back();
            current = &s.modules.back();
            continue;
        }
        size_t eq = line.find('=');
        if (eq == std::string::npos) return where + "expected key = value or [module]";
        std::string key = trim(line.substr(0, eq)), value = trim(line.substr(eq + 1));
        std::string error;
        if (!current) {
            if (!SimConfig_GlobalOption(s, key, value, error)) return where + "unknown key " + key;
        } else {
            error = SimConfig_ModuleOption(*current, key, value);
        }
        if (!error.empty()) return where + error;
    }
    return {};
}

std::string SimConfig_ParseArgs(int argc, char** argv, SimSetup& s) {
    SimModuleSetup one;
    bool moduleGiven = false;
    std::string config;
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        if (arg.rfind("--", 0) != 0) return "unexpected argument " + arg;
        std::string key = arg.substr(2), value;
        size_t eq = key.find('=');
        if (eq != std::string::npos) {
            value = key.substr(eq + 1);
            key = key.substr(0, eq);
        } else if (SimConfig_IsSwitch(key)) {
            bool ignored;
            value = "yes";
            if (i + 1 < argc && boolean(argv[i + 1], ignored)) value = argv[++i];
        } else {
            if (i + 1 >= argc) return "option --" + key + " needs a value";
            value = argv[++i];
        }
        std::string error;
        if (key == "config") {
            config = value;
            continue;
        }
        if (SimConfig_GlobalOption(s, key, value, error)) {
            if (!error.empty()) return error;
            continue;
        }
        error = SimConfig_ModuleOption(one, key, value);
        if (!error.empty()) return error;
        moduleGiven = true;
    }
    if (!config.empty()) {
        if (moduleGiven) return "module options and --config exclude each other";
        std::ifstream f(config);
        if (!f) return "cannot read " + config;
        std::stringstream text;
        text << f.rdbuf();
        std::string error = SimConfig_ParseText(text.str(), s);
        return error.empty() ? "" : config + ": " + error;
    }
    s.modules.push_back(one);
    return {};
}

std::string SimConfig_Build(const SimSetup& s, Simulator& sim) {
    if (s.modules.empty()) return "no modules configured";
    std::map<uint32_t, SimModule*> bySerial;
    for (const auto& m : s.modules) {
        if (bySerial.count(m.module.serial)) return "serial number used twice";
        SimModuleConfig config = m.module;
        // A module on a bus names its router's address as its router.
        for (const auto& r : s.modules)
            if (m.on && r.module.serial == m.on) config.router = r.module.address;
        bySerial[m.module.serial] = &sim.add(config);
    }
    for (const auto& m : s.modules) {
        SimModule& module = *bySerial[m.module.serial];
        if (m.on) {
            auto router = bySerial.find(m.on);
            if (router == bySerial.end() || !sim.attach(*router->second, module))
                return "cannot put module at address " + std::to_string(m.module.address) +
                       " on the bus of its router";
        }
        if (m.on && (m.usb || m.usbNode)) return "a module on a router's bus has no USB of its own";
        if (m.pty) sim.openPty(module);
        if (m.usb) sim.attachUsb(module);
        if (m.usbNode) sim.attachKernelNode(module);
        if (m.tcp == "no") continue;
        std::string address = s.bind, port = "0";
        if (m.tcp != "yes") {
            size_t colon = m.tcp.rfind(':');
            port = colon == std::string::npos ? m.tcp : m.tcp.substr(colon + 1);
            if (colon != std::string::npos) address = m.tcp.substr(0, colon);
        }
        uint64_t p;
        if (!number(port, 65535, p)) return "bad tcp port " + m.tcp;
        sim.listenTcp(module, address, uint16_t(p));
    }
    if (!s.discovery.empty()) sim.setDiscovery(s.discovery);
    sim.setDumpDir(s.dumpDir);
    sim.setVerbose(s.verbose);
    return {};
}
