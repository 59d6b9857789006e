// Fingerprint - the four words that identify a chip for recovery
#pragma once

#include <cstdint>

struct Fingerprint {
    uint32_t word[4] = {0, 0, 0, 0};
};
