// corvane-bird - writes and shows BIRD firmware files
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "BirdFile.h"
#include "BirdWriter.h"
#include "FirmwareStamp.h"
#include "aAtomicFile.h"

namespace {

const char* kUsage =
    "Usage:\n"
    "  corvane-bird pack -o OUT --build N --version TEXT --model NAME [--serial HEX]\n"
    "                    [--loader FILE[@ADDR]]... --firmware FILE[@ADDR]...\n"
    "                    [--serial-offset ADDR] [--descriptor-offset ADDR]\n"
    "                    [--loader-start ADDR] [--stamp]\n"
    "  corvane-bird show FILE\n"
    "  corvane-bird --help\n"
    "\n"
    "pack writes a BIRD file. Its info block holds exactly --build (decimal, fits 32 bits),\n"
    "--version (1 to 15 characters, no spaces), --serial (hexadecimal, default 0) and\n"
    "--model (1 to 16 characters). Each --loader and --firmware names a raw image file\n"
    "whose code is loaded at ADDR (default 0); blocks keep the order given, loaders first.\n"
    "--serial-offset and --descriptor-offset give the device addresses of the serial\n"
    "number word and of the serial number string descriptor text; either one adds the\n"
    "serial-offset block that marks a generic image, personalised with each module's\n"
    "serial number on update (give --serial 0 or leave it out for such a file).\n"
    "--loader-start adds the block holding the address at which a loader is started.\n"
    "--stamp appends a 16-byte stamp to the code of the first --firmware image: the\n"
    "ASCII text CVSTAMP1, the build and the packed version, each 32 bits with the most\n"
    "significant byte first (--version must then read MAJOR.MINOR.PATCH, each 0 to 255).\n"
    "A simulated module reports the version and build of the stamp it received.\n"
    "Addresses are decimal or 0x-prefixed hexadecimal. The body ends with the CRC-32 of\n"
    "everything before it; a body that would compress more than eightfold is stored\n"
    "uncompressed, since readers inflate into eight times the compressed size.\n"
    "\n"
    "show prints one \"key: value\" line each: file, format, build, version, serial,\n"
    "model, generic (yes or no), serial-offset, descriptor-offset, loader-start (when\n"
    "present), checksum, blocks, then one line per block in file order:\n"
    "  block: type=T flags=F length=L address=0xAAAAAAAA\n"
    "\n"
    "Exit status: 0 on success; 1 with a message on standard error for a bad command\n"
    "line, an unreadable image, a file that cannot be written, or a file that is not a\n"
    "sound BIRD file (show).\n";

int fail(const std::string& message) {
    fprintf(stderr, "corvane-bird: %s\n", message.c_str());
    return 1;
}

std::optional<uint32_t> parseNumber(const std::string& text, int base) {
    if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ') return std::nullopt;
    errno = 0;
    char* end = nullptr;
    unsigned long long v = strtoull(text.c_str(), &end, base);
    if (errno != 0 || *end != '\0' || v > UINT32_MAX) return std::nullopt;
    return uint32_t(v);
}

std::optional<std::vector<uint8_t>> readImage(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

struct Image {
    uint8_t type;
    std::string path;
    uint32_t address = 0;
};

struct PackOptions {
    std::string out;
    BirdInfo info;
    bool haveBuild = false;
    bool stamp = false;
    std::vector<Image> images;
    std::optional<uint32_t> serialOffset, descriptorOffset, loaderStart;
};

// Reads "FILE[@ADDR]"; false for an address that is not a number.
bool parseImage(uint8_t type, const std::string& arg, Image& image) {
    image.type = type;
    size_t at = arg.rfind('@');
    image.path = arg.substr(0, at);
    if (at == std::string::npos) return !image.path.empty();
    auto address = parseNumber(arg.substr(at + 1), 0);
    if (!address || image.path.empty()) return false;
    image.address = *address;
    return true;
}

std::string parsePack(int argc, char** argv, PackOptions& o) {
    for (int i = 2; i < argc; i++) {
        std::string opt = argv[i];
        if (opt == "--stamp") {
            o.stamp = true;
            continue;
        }
        if (i + 1 >= argc) return "option " + opt + " needs a value";
        std::string v = argv[++i];
        std::optional<uint32_t> n;
        if (opt == "-o") {
            o.out = v;
        } else if (opt == "--build") {
            if (v.size() > 15 || !(n = parseNumber(v, 10))) return "bad --build " + v;
            o.info.build = *n;
            o.haveBuild = true;
        } else if (opt == "--version") {
            o.info.version = v;
        } else if (opt == "--model") {
            o.info.model = v;
        } else if (opt == "--serial") {
            if (v.size() > 8 || !(n = parseNumber(v, 16))) return "bad --serial " + v;
            o.info.serial = *n;
        } else if (opt == "--loader" || opt == "--firmware") {
            Image image;
            if (!parseImage(opt == "--loader" ? BLOCK_LOADER : BLOCK_FIRMWARE, v, image))
                return "bad " + opt + " " + v;
            o.images.push_back(image);
        } else if (opt == "--serial-offset" || opt == "--descriptor-offset" ||
                   opt == "--loader-start") {
            if (!(n = parseNumber(v, 0))) return "bad " + opt + " " + v;
            (opt == "--serial-offset"       ? o.serialOffset
             : opt == "--descriptor-offset" ? o.descriptorOffset
                                            : o.loaderStart) = n;
        } else {
            return "unknown option " + opt;
        }
    }
    if (o.out.empty()) return "pack needs -o OUT";
    if (!o.haveBuild) return "pack needs --build";
    bool firmware = false;
    for (const auto& i : o.images)
        firmware |= i.type == BLOCK_FIRMWARE;
    if (!firmware) return "pack needs at least one --firmware image";
    if (o.stamp && !FirmwareStamp_PackVersion(o.info.version.c_str()))
        return "--stamp needs --version MAJOR.MINOR.PATCH";
    return BirdWriter::CheckInfo(o.info);
}

int pack(int argc, char** argv) {
    PackOptions o;
    std::string problem = parsePack(argc, argv, o);
    if (!problem.empty()) return fail(problem + " (see --help)");
    BirdWriter w;
    w.AddInfo(o.info);
    if (o.serialOffset || o.descriptorOffset)
        w.AddSerialOffsets(o.serialOffset.value_or(0), o.descriptorOffset.value_or(0));
    if (o.loaderStart) w.AddLoaderStart(*o.loaderStart);
    bool stampPending = o.stamp;
    for (uint8_t type : {BLOCK_LOADER, BLOCK_FIRMWARE})
        for (const auto& image : o.images) {
            if (image.type != type) continue;
            auto code = readImage(image.path);
            if (!code) return fail("cannot read image " + image.path);
            if (type == BLOCK_FIRMWARE && stampPending) {
                auto mark = FirmwareStamp_Make(
                    {o.info.build, *FirmwareStamp_PackVersion(o.info.version.c_str())});
                code->insert(code->end(), mark.begin(), mark.end());
                stampPending = false;
            }
            w.AddImage(type, 0, image.address, *code);
        }
    std::vector<uint8_t> file = w.File();
    if (file.empty()) return fail("cannot compress the body");
    if (aAtomicFile_Write(o.out.c_str(), file.data(), file.size()) != aErrNone)
        return fail("cannot write " + o.out);
    return 0;
}

int show(const std::string& path) {
    if (!BirdFile::VerifyFile(path)) return fail(path + ": not a BIRD file");
    BirdFile bird;
    bird.path = path;
    if (!bird.Load()) return fail(path + ": body cannot be read or inflated");
    printf("file: %s\n", path.c_str());
    printf("format: 0x%04X\n", bird.version);
    printf("build: %u\n", bird.GetBuild());
    printf("version: %s\n", bird.GetVersion().c_str());
    printf("serial: %08X\n", bird.GetSerialNumber());
    printf("model: %s\n", bird.GetModel().c_str());
    printf("generic: %s\n", bird.hasSerialOffsets ? "yes" : "no");
    printf("serial-offset: 0x%08X\n", bird.serialNumberOffset);
    printf("descriptor-offset: 0x%08X\n", bird.descriptorOffset);
    auto start = bird.FindBlocks(BLOCK_LOADER_START);
    if (!start.empty() && start[0].length >= 4)
        printf("loader-start: 0x%02X%02X%02X%02X\n", start[0].data[0], start[0].data[1],
               start[0].data[2], start[0].data[3]);
    printf("checksum: 0x%08X\n", bird.checksum);
    printf("blocks: %u\n", bird.blockCount);
    for (const auto& b : bird.blocks)
        printf("block: type=%u flags=%u length=%u address=0x%08X\n", b.type, b.flags, b.length,
               b.address);
    if (!bird.ScanClean()) return fail(path + ": damaged block table: " + bird.ScanProblem());
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    std::string cmd = argc > 1 ? argv[1] : "";
    if (cmd == "--help" || cmd == "-h" || cmd == "help") {
        fputs(kUsage, stdout);
        return 0;
    }
    if (cmd == "pack") return pack(argc, argv);
    if (cmd == "show" && argc == 3) return show(argv[2]);
    fputs(kUsage, stderr);
    return 1;
}
