// bench_base64 - decoding a downloaded BIRD file's text, against coreutils base64 -d
// on the same input in the same run. Prints medians and their ratio.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

#include "base64.h"

namespace {

using Clock = std::chrono::steady_clock;

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

} // namespace

int main(int argc, char** argv) {
    const size_t textSize = 8u << 20;
    const int runs = argc > 1 ? atoi(argv[1]) : 9;
    std::vector<uint8_t> bytes(textSize / 4 * 3);
    std::mt19937 rng(7);
    for (uint8_t& b : bytes)
        b = uint8_t(rng());
    size_t length = 0;
    char* text = base64_encode(bytes.data(), bytes.size(), &length);

    char path[] = "/tmp/bench-base64.XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0 || write(fd, text, length) != ssize_t(length)) return 1;
    close(fd);

    std::vector<double> ours, coreutils;
    for (int i = 0; i < runs; i++) {
        auto start = Clock::now();
        size_t n = 0;
        uint8_t* out = base64_decode(text, length, &n);
        ours.push_back(msSince(start));
        if (!out || n != bytes.size()) return 1;
        free(out);

        std::string command = std::string("base64 -d ") + path + " > /dev/null";
        start = Clock::now();
        if (system(command.c_str()) != 0) return 1;
        coreutils.push_back(msSince(start));
    }
    unlink(path);
    free(text);
    double a = median(ours), b = median(coreutils);
    printf("base64 decode of %zu MB text, median of %d runs\n", textSize >> 20, runs);
    printf("  base64_decode      %8.2f ms  (%.0f MB/s)\n", a, (textSize / 1e6) / (a / 1e3));
    printf("  coreutils base64 -d %7.2f ms  (process start and file read included)\n", b);
    printf("  ratio ours/coreutils %.2f\n", a / b);
    return 0;
}
