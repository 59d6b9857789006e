// unix_time - aTime on the system clock
#include "aTime.h"

#include <sys/time.h>
#include <unistd.h>

uint64_t aTime_GetMSTicks() {
    struct timeval tv;
    if (gettimeofday(&tv, nullptr) != 0) return 0;
    return uint64_t(tv.tv_sec) * 1000 + uint64_t(tv.tv_usec) / 1000;
}

void aTime_MSSleep(uint64_t ms) {
    // usleep accepts less than a second per call.
    uint64_t us = ms * 1000;
    while (us > 0) {
        useconds_t slice = useconds_t(us > 999999 ? 999999 : us);
        usleep(slice);
        us -= slice;
    }
}
