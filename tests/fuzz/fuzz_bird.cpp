// fuzz_bird - the BIRD reader over arbitrary file bytes, then every query and patch
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "BirdFile.h"

namespace {

void Exercise(BirdFile& bird) {
    bird.GetBuild();
    bird.GetVersion();
    bird.GetSerialNumber();
    bird.ValidateModel("CVHub");
    const uint8_t pattern[] = {0xDE, 0xAD, 0xBE, 0xEF};
    bird.ValidateData(pattern, sizeof pattern);
    bird.ReplaceSerialNumber(0x40F5849A);
    bird.ReplaceVectorChecksum();
    const uint32_t key[4] = {1, 2, 3, 4};
    bird.DecodeFirmwareBlocks(key);
}

void CheckInside(const BirdFile& bird, const uint8_t* body, size_t size) {
    for (const auto& b : bird.blocks)
        if (b.data < body || b.data + b.length > body + size) abort();
}

} // namespace

// The input is tried twice: as a whole file, and (since mutated deflate streams
// rarely inflate) as an inflated body handed straight to the block scan.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    BirdFile::VerifyHeader(data, size);
    BirdFile file;
    if (file.LoadBytes(data, size)) {
        CheckInside(file, file.Body(), file.BodySize());
        Exercise(file);
        BirdFile moved(std::move(file));
        CheckInside(moved, moved.Body(), moved.BodySize());
    }
    std::vector<uint8_t> body(data, data + size);
    BirdFile scanned;
    scanned.ScanBlocks(body.data(), uint32_t(body.size()));
    scanned.FindSerialNumberOffsets();
    CheckInside(scanned, body.data(), body.size());
    Exercise(scanned);
    return 0;
}
