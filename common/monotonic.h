// The monotonic clock, for deadlines and durations that a change of the
// wall clock must not move.
#pragma once

#include <time.h>

#include <cstdint>

inline int64_t monotonic_us()
{
    struct timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

inline int64_t monotonic_ms() { return monotonic_us() / 1000; }
