// aTime - millisecond clock and sleep
#pragma once

#include <cstdint>

// Wall-clock milliseconds since the epoch; 0 when the clock cannot be read.
uint64_t aTime_GetMSTicks();

// Sleeps ms milliseconds in slices shorter than a second; 0 returns at once.
void aTime_MSSleep(uint64_t ms);
