// Parameters - the parsed command line and the option parser
#include "Parameters.h"

#include <cstring>
#include <string_view>

#include "Log.h"
#include "aDirectory.h"

namespace {

enum Group { HELP = 0, COMMAND = 1, PARAMETER = 2, HTTPS_SERVER = 3, HTTP_SERVER = 4 };

struct Option {
    Group group;
    const char* text;
    bool takesArgument;
};

const Option kOptions[] = {
    {COMMAND, "-B", false},           {COMMAND, "-L", false},   {COMMAND, "-D", false},
    {COMMAND, "-G", false},           {COMMAND, "-I", false},   {COMMAND, "-U", false},
    {COMMAND, "-OVERRIDE", false},    {COMMAND, "-N", false},   {COMMAND, "-Y", false},
    {COMMAND, "-C", false},           {HELP, "-h", false},      {HELP, "-H", false},
    {HELP, "--help", false},          {PARAMETER, "-n", false}, {PARAMETER, "-X", true},
    {PARAMETER, "-Z", true},          {PARAMETER, "-m", true},  {PARAMETER, "-i", true},
    {PARAMETER, "-b", true},          {PARAMETER, "-d", true},  {PARAMETER, "-t", true},
    {PARAMETER, "-f", true},          {PARAMETER, "-r", true},  {PARAMETER, "-s", true},
    {PARAMETER, "-o", true},          {PARAMETER, "-e", false}, {PARAMETER, "-l", true},
    {PARAMETER, "-k", true},          {PARAMETER, "-u", true},  {HTTP_SERVER, "--http", false},
    {HTTPS_SERVER, "--https", false},
};

size_t leadingDashes(std::string_view s) {
    size_t n = 0;
    while (n < s.size() && s[n] == '-')
        n++;
    return n;
}

// The option the word names: an exact match, else the one option it is a leading
// part of. Null when unknown or ambiguous.
const Option* matchOption(std::string_view word) {
    size_t dashes = leadingDashes(word);
    const Option* prefixMatch = nullptr;
    int prefixMatches = 0;
    for (const Option& o : kOptions) {
        std::string_view text(o.text);
        if (leadingDashes(text) != dashes) continue;
        if (text == word) return &o;
        if (text.substr(0, word.size()) == word) {
            prefixMatch = &o;
            prefixMatches++;
        }
    }
    return prefixMatches == 1 ? prefixMatch : nullptr;
}

bool allOf(std::string_view s, bool (*pred)(char)) {
    for (char c : s)
        if (!pred(c)) return false;
    return true;
}

bool isHex(char c) {
    return strchr("0123456789abcdefABCDEF", c) != nullptr && c != '\0';
}
bool isDecimal(char c) {
    return c >= '0' && c <= '9';
}

uint32_t hexValue(char c) {
    if (c >= '0' && c <= '9') return uint32_t(c - '0');
    return uint32_t((c | 0x20) - 'a' + 10);
}

// Hexadecimal digits only, reduced to 32 bits; 0 for anything else.
uint32_t parseSerial(std::string_view s) {
    if (s.empty() || !allOf(s, isHex)) return 0;
    uint32_t value = 0;
    for (char c : s)
        value = (value << 4) | hexValue(c);
    return value;
}

// Decimal digits only; 0 for anything else, or for a value past 32 bits.
uint32_t parseDecimal(std::string_view s) {
    if (s.empty() || !allOf(s, isDecimal)) return 0;
    uint64_t value = 0;
    for (char c : s) {
        value = value * 10 + uint64_t(c - '0');
        if (value > UINT32_MAX) return 0;
    }
    return uint32_t(value);
}

// Reads digits of the base from s; answers the value and leaves the rest in rest.
uint32_t parseMask(std::string_view s, std::string_view& rest) {
    bool hex = s.size() >= 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X');
    if (hex) s.remove_prefix(2);
    uint32_t value = 0;
    size_t i = 0;
    for (; i < s.size(); i++) {
        char c = s[i];
        if (hex ? !isHex(c) : !isDecimal(c)) break;
        value = value * (hex ? 16 : 10) + hexValue(c);
    }
    rest = s.substr(i);
    return value;
}

std::string_view stripHexPrefix(std::string_view s, const char* logLine) {
    if (s.size() >= 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        Log::log(DEBUG_Updater, "%s", logLine);
        s.remove_prefix(2);
    }
    return s;
}

std::string lastPathComponent(const char* word) {
    std::string s = word ? word : "";
    size_t cut = s.find_last_of("/\\");
    return cut == std::string::npos ? s : s.substr(cut + 1);
}

class Parser {
  public:
    Parser(Parameters& p, UpdaterDisplayInterface& d) : params(p), display(d) {}

    // False when the option fails the parse.
    bool apply(const Option& o, std::string_view arg);
    int serverChoices = 0;

  private:
    bool command(std::string_view text);
    bool parameter(std::string_view text, std::string_view arg);
    bool serial(std::string_view arg, uint32_t& out, bool router);
    bool transport(std::string_view arg);
    void mask(std::string_view text, std::string_view arg);
    void error(const char* format, std::string_view a, std::string_view b = {}) {
        display.message(UpdaterDisplayInterface::Error, format, std::string(a).c_str(),
                        std::string(b).c_str());
    }

    Parameters& params;
    UpdaterDisplayInterface& display;
};

bool Parser::apply(const Option& o, std::string_view arg) {
    switch (o.group) {
    case HELP:
        params.commands.Set(CMD_HELP);
        params.help = true;
        return true;
    case COMMAND:
        return command(o.text);
    case PARAMETER:
        return parameter(o.text, arg);
    case HTTP_SERVER:
        params.server_url = UPDATER_DEFAULT_HTTP_URL;
        serverChoices++;
        return true;
    case HTTPS_SERVER:
        params.server_url = UPDATER_DEFAULT_HTTPS_URL;
        serverChoices++;
        return true;
    }
    return true;
}

bool Parser::command(std::string_view text) {
    switch (text[1]) {
    case 'B':
        params.commands.Set(CMD_LIST_BUILDS);
        return true;
    case 'L':
        params.commands.Set(CMD_LIST_LOCAL);
        return true;
    case 'D':
        params.commands.Set(CMD_DISCOVER);
        return true;
    case 'G':
        params.commands.Set(CMD_GET);
        return true;
    case 'I':
        params.commands.Set(CMD_INFO);
        return true;
    case 'U':
        params.commands.Set(CMD_UPDATE);
        return true;
    case 'O':
        params.override = true;
        return true;
    case 'N':
        params.commands.Set(CMD_FINGERPRINT);
        return true;
    case 'C':
        params.commands.Set(CMD_CHECK_BIRD);
        return true;
    default:
        error("Unhandled command: [%s]", text);
        return false;
    }
}

bool Parser::parameter(std::string_view text, std::string_view arg) {
    switch (text[1]) {
    case 'n':
        params.n_flag = true;
        return true;
    case 'e':
        params.echo = true;
        return true;
    case 'X':
        mask(text, arg);
        return true;
    case 'Z':
        params.commands.Set(CMD_RESERVED_Z);
        return true;
    case 'm':
        params.use_uei_bytes = arg.substr(0, 1) == "1" || arg.substr(0, 4) == "true";
        return true;
    case 'i':
        params.store_dir = arg;
        return true;
    case 'b':
        params.build = std::to_string(parseDecimal(arg));
        return true;
    case 'o':
        params.baud_rate = parseDecimal(arg);
        return true;
    case 'd':
        return serial(arg, params.serial_number, false);
    case 'r':
        return serial(arg, params.router_serial, true);
    case 't':
        return transport(arg);
    case 'f':
        params.bird_file = arg;
        return true;
    case 's':
        params.serial_port = arg;
        return true;
    case 'l':
        params.log_message = arg;
        return true;
    case 'k':
        params.log_file = arg;
        return true;
    case 'u':
        params.server_url = arg;
        serverChoices++;
        return true;
    }
    return true;
}

bool Parser::serial(std::string_view arg, uint32_t& out, bool router) {
    arg = stripHexPrefix(arg, router ? "Discarding '0x' router serial number prefix\n"
                                     : "Discarding '0x' serial number prefix\n");
    out = parseSerial(arg);
    if (out != 0) return true;
    error(router ? "Invalid router serial number obtained from argument [%s]"
                 : "Invalid serial number obtained from argument [%s]",
          arg);
    return false;
}

bool Parser::transport(std::string_view arg) {
    params.transport_given = true;
    if (arg.substr(0, 3) == "USB")
        params.transport = USB;
    else if (arg.substr(0, 3) == "TCP")
        params.transport = TCPIP;
    else if (arg.substr(0, 7) == "RECOVER")
        params.transport = TRANSPORT_RECOVER;
    else {
        params.transport = INVALID;
        error("Invalid transport type:[%s]\nMust be one of the following: USB, TCPIP, RECOVER",
              arg);
        return false;
    }
    return true;
}

void Parser::mask(std::string_view text, std::string_view arg) {
    params.log_mask_given = true;
    std::string_view rest;
    uint32_t value = parseMask(arg, rest);
    if (!rest.empty()) {
        error("Invalid format for \"%s\" parameter, unprocessed characters [%s]", text, rest);
        return;
    }
    params.log_mask = value;
    Log::ActivatePackage(value);
}

} // namespace

bool _get_params(int argc, const char* const argv[], Parameters& params,
                 UpdaterDisplayInterface& display) {
    params = Parameters{};
    params.program_name = lastPathComponent(argc > 0 ? argv[0] : nullptr);
    char home[2048];
    if (aDirectory_GetHomeDirectory(home, sizeof home) == aErrNone) params.home_dir = home;
    Log::log(DEBUG_APP, "Home directory:[%s]\n", params.home_dir.c_str());

    Parser parser(params, display);
    bool ok = true;
    for (int i = 1; i < argc; i++) {
        std::string_view word(argv[i]);
        if (word.empty() || word[0] != '-') continue;
        size_t eq = word.find('=');
        const Option* o = matchOption(word.substr(0, eq));
        if (!o) continue;
        std::string_view arg;
        if (eq != std::string_view::npos) {
            if (!o->takesArgument) continue;
            arg = word.substr(eq + 1);
            if (arg.empty() || arg[0] == '-') continue;
        } else if (o->takesArgument) {
            if (i + 1 >= argc || argv[i + 1][0] == '-') continue;
            arg = argv[++i];
        }
        if (!parser.apply(*o, arg)) ok = false;
        if (params.help) return true;
    }

    if (parser.serverChoices > 1) {
        display.message(UpdaterDisplayInterface::Error,
                        "Multiple update server URLs specified. Choose one of: --https, --http, "
                        "or -U <host:port>.");
        ok = false;
    }
    Log::log(DEBUG_APP, "\nApplication parameters:[%s]\n", params.program_name.c_str());
    for (int i = 1; i < argc; i++)
        Log::log(DEBUG_APP, "\t[%s]\n", argv[i]);
    return ok;
}
