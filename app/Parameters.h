// Parameters - the parsed command line and the option parser
#pragma once

#include <cstdint>
#include <string>

#include "UpdateServerRequest.h"
#include "UpdaterDisplayInterface.h"
#include "discover.h"

enum COMMANDS : uint32_t {
    CMD_DISCOVER = 0x00000001,
    CMD_UPDATE = 0x00000002,
    CMD_LIST_BUILDS = 0x00000004,
    CMD_GET = 0x00000008,
    CMD_INFO = 0x00000010,
    CMD_CHECK_BIRD = 0x00000020,
    CMD_FINGERPRINT = 0x00000040,
    CMD_RESERVED_Z = 0x00000080, // -Z: counts as a command, runs nothing
    CMD_LIST_LOCAL = 0x00000200,
    CMD_HELP = 0x80000000,
};

// Any of these bits makes the run one with a command.
constexpr uint32_t CMD_ANY_COMMAND = 0x000307FF;

// RECOVER is not a link type; it selects the ROM-loader path of -U.
constexpr uint32_t TRANSPORT_RECOVER = 255;

class CommandsClass {
  public:
    void Set(uint32_t command) { bits |= command; }
    bool IsSet(uint32_t command) const { return (bits & command) != 0; }

  private:
    uint32_t bits = 0;
};

struct Parameters {
    CommandsClass commands;
    uint32_t serial_number = 0;
    uint32_t router_serial = 0;
    uint32_t transport = USB; // linkType, or TRANSPORT_RECOVER; 0 after an invalid -t
    bool transport_given = false;
    std::string serial_port;
    uint32_t baud_rate = 115200;
    uint8_t module_address = 0; // 0: find it on the router's network
    std::string bird_file;
    std::string log_message;
    std::string build; // decimal text; empty for the latest
    bool echo = false;
    std::string server_url = UPDATER_DEFAULT_HTTP_URL;
    bool n_flag = false;
    std::string store_dir;
    std::string program_name;
    std::string home_dir;
    std::string log_mode = "a+";
    std::string log_file = "Updater.log";
    bool override = false;
    bool use_uei_bytes = true;
    uint32_t log_mask = 0;
    bool log_mask_given = false;
    bool help = false;
};

// Reads the whole command line into params, reporting every problem through the
// display at level Error. False when the run must stop with the short usage.
bool _get_params(int argc, const char* const argv[], Parameters& params,
                 UpdaterDisplayInterface& display);
