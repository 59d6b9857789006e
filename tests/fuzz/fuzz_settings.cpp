// fuzz_settings - the settings reader over arbitrary file contents, then a save
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <unistd.h>
#include <map>
#include <vector>

#include "KeyValueStore.h"

namespace {

// One file per process, rewritten for every input. Saves flush to the medium, so
// memory-backed storage keeps the runs fast where there is some.
const std::string& InputPath() {
    static const std::string path = [] {
        std::string folder = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        std::string tmpl = folder + "/fuzz_settings.XXXXXX";
        std::vector<char> name(tmpl.begin(), tmpl.end());
        name.push_back('\0');
        int fd = mkstemp(name.data());
        if (fd >= 0) close(fd);
        return std::string(name.data());
    }();
    return path;
}

// Entries that a save and a new load must keep. A key that starts with "#" (read
// from an indented line) is written back as a comment, which the file format allows.
std::map<std::string, std::string> Durable(const KeyValueStore& s) {
    std::map<std::string, std::string> out;
    for (const auto& [k, v] : s.Entries())
        if (k[0] != '#') out[k] = v;
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string& path = InputPath();
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) return 0;
    fwrite(data, 1, size, f);
    fclose(f);
    KeyValueStore store(path.c_str());
    store.GetInt("LATEST_DOWNLOAD", 0);
    store.GetHex("SERIAL", 0);
    store.GetDouble("D", 0);
    store.Save();
    KeyValueStore again(path.c_str());
    if (Durable(again) != Durable(store)) __builtin_trap();
    return 0;
}
