// Usage - the usage texts, written to standard error
#include "Usage.h"

#include <initializer_list>

#include "Log.h"
#include "Parameters.h"

namespace {

constexpr const char* kOptionIndent = "                                "; // 32 blanks
constexpr const char* kSampleIndent = "                               ";  // 31 blanks

struct Entry {
    const char* option;
    std::initializer_list<const char*> lines;
    bool blankAfter;
};

void printEntry(FILE* out, const Entry& e) {
    bool first = true;
    for (const char* line : e.lines) {
        if (first)
            fprintf(out, "     %-25s- %s\n", e.option, line);
        else
            fprintf(out, "%s%s\n", kOptionIndent, line);
        first = false;
    }
    if (e.blankAfter) fprintf(out, "\n");
}

void printBlock(FILE* out, const char* title, std::initializer_list<Entry> entries) {
    fprintf(out, "%s\n", title);
    for (const Entry& e : entries)
        printEntry(out, e);
}

void printSample(FILE* out, const char* example, std::initializer_list<const char*> lines,
                 bool alone = false) {
    bool first = !alone;
    if (alone) fprintf(out, "%s\n", example);
    for (const char* line : lines) {
        if (first)
            fprintf(out, "%-31s%s\n", example, line);
        else
            fprintf(out, "%s%s\n", kSampleIndent, line);
        first = false;
    }
    fprintf(out, "\n");
}

void printParametersAndCommands(FILE* out) {
    printBlock(
        out, "  Parameters to commands:",
        {
            {"-i <pelmora_directory>",
             {"The Pelmora directory used for storage of ",
              "firmware files. [Default: ~/.pelmora ]."},
             false},
            {"-b <build number>",
             {"Build version of the firmware to transfer.", "[Default: latest version available]."},
             false},
            {"-d <device>", {"Device serial number of the device to access."}, false},
            {"-t <transport type>", {"communications method [USB,TCP,RECOVER]."}, false},
            {"-f <bird file>", {"Firmware file to be transferred to device."}, false},
            {"-r <router serial>", {"indirect connection through router device"}, false},
            {"-s <serial port>", {"name of serial port to use for recovery"}, false},
            {"-o <baud rate>",
             {"baud rate for serial port (2400, 4800, 9600,",
              "19200, 38400, 57600, 115200, 230400)"},
             false},
        });
    printBlock(
        out, "  Commands:",
        {
            {"-B", {"list the Builds available for given device."}, true},
            {"-L", {"list the local Builds available for given device."}, true},
            {"-D", {"Discover devices that are currently connected."}, true},
            {"-G",
             {"Get build file from the Pelmora server and",
              "store on local machine for download to device.",
              "Must specify a specific device [\"-d\" option].",
              "Default is to obtain the latest build for the",
              "given device, override with \"-b\" option."},
             true},
            {"-U",
             {"Update the firmware on device specified.",
              "Must specify a specific device [\"-d\" option].",
              "Default is to download the latest build for the",
              "given device, override with \"-b\" option or",
              "specify specific BIRD file using \"-f\" option."},
             false},
            {"-H or -h", {"Display extended usage information."}, true},
            {"--http", {"Use HTTP for the update server (" UPDATER_DEFAULT_HTTP_URL ")."}, false},
            {"--https",
             {"Use HTTPS for the update server (" UPDATER_DEFAULT_HTTPS_URL ").",
              "Recommended; HTTPS will be the default in the next major version."},
             false},
        });
}

void printPackageList(FILE* out) {
    for (const LogPackageName& p : kLogPackageNames) {
        fprintf(out, "%s%-20s0x%08X\n", kOptionIndent, p.name, p.mask);
        switch (p.mask) {
        case 0x00000020:
        case 0x00000400:
        case 0x00004000:
        case 0x00010000:
        case 0x10000000:
            fprintf(out, "\n");
            break;
        default:
            break;
        }
    }
}

void printExtended(FILE* out) {
    printBlock(out, "  Extended Parameters:",
               {
                   {"-e", {"echoing of bytes enabled during recovery."}, true},
                   {"-m", {"Attemps to use UEIBytes for faster loading"}, false},
                   {"-l 'log message'", {"message to place in device history log"}, false},
                   {"-k <filename>",
                    {"log messages written into given filename", "Default:[APP.log]"},
                    false},
                   {"-u <host:port>",
                    {"The hostname and port of the update server",
                     "Default: " UPDATER_DEFAULT_SERVER_HOST ":port"},
                    false},
               });
    printBlock(
        out, "  Extended Commands:",
        {
            {"-I",
             {"View stored device information.", "Must either use DISCOVER command [\"-D\"] or",
              "specify a specific device [\"-d\" option]."},
             true},
            {"-OVERRIDE",
             {"Override the model checks for BIRD firmware files.",
              "This option should only be used when authorized by",
              "Pelmora development engineers."},
             true},
            {"-N", {"Get fingerprint from a device, requires -s"}, true},
        });
    printEntry(out, {"-X <BIT_MASK>", {"Bitmask for Logging"}, false});
    printPackageList(out);
    printEntry(out, {"-C", {"Check the given BIRDFILE"}, true});
}

void printSamples(FILE* out) {
    fprintf(out, " Sample usage:\n\n");
    printSample(out, "-D",
                {"Discover all devices connected by either USB or TCPIP.",
                 "Records the device information into the settings for that device."});
    printSample(out, "-D -t USB",
                {"Discover all the devices connected by USB. Records the",
                 "device information into the settings for that device."});
    printSample(out, "-D -t USB -d 0F5849A",
                {"Discover settings of the specific device (serial number 0x40F5849A)"});
    printSample(out, "-G -d 40F5849A",
                {"Get the latest firmware for the given device.",
                 "Downloads the firmware file into the updater specific device directory."});
    printSample(out, "-U -d 40F5849A",
                {"Update the firmware on the specific device.",
                 "Without other options, this command will try to locate",
                 "the latest firmware version to be used for updating the device."});
    printSample(out, "-G -d 40F5849A -b 99528558",
                {"Get the specified build's firmware for the given device.",
                 "Downloads the firmware file into the updater's specific",
                 "device directory with the build number as the filename."});
    printSample(out, "-G -U -d 40F5849A",
                {"Get the latest firmware for the given device.",
                 "Downloads the firmware file into the updater specific",
                 "device directory. After download, update the firmware",
                 "using the latest release."});
    printSample(out, "-U -t RECOVER -s /dev/serial",
                {"Update the firmware as described above, but uses the serial interface",
                 "in communicating with the device to install the latest firmware."});
    fprintf(out, " Sample usage for network discovery and updates:\n\n");
    printSample(out, "-D -r D272031D",
                {"Discover all devices connected to the I2C Corvane network",
                 "of the given routing device D272031D."});
    printSample(out, "-G -U -d 2181F0EE -r D272031D",
                {"Get and Update to the latest firmware for device 2181F0EE",
                 "indirectly through routing device D272031D."},
                true);
}

} // namespace

void PrintShortUsage(FILE* out, const char* program) {
    fprintf(out, "\n");
    fprintf(out, "Application Usage:\n");
    fprintf(out, "%s <-B | -D | -G | -U > [-Hh | --help] [-b build_num]\n", program);
    fprintf(out, "    [-d serial_num]\n");
    fprintf(out, "    [-t transport] [-r router_serial]\n");
    fprintf(out, "    [-s serial_port] [-o baud_rate]\n");
    fprintf(out, "\n");
    fprintf(out, "  Corvane Update and Maintenance Application\n");
    fprintf(out, "    -H -h or --help for full usage information.\n");
    fprintf(out, "\n");
}

void PrintFullUsage(FILE* out, const char* program, bool extended) {
    PrintShortUsage(out, program);
    printParametersAndCommands(out);
    if (extended) printExtended(out);
    printSamples(out);
}
