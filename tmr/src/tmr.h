// Time base (microseconds since tmr_init) and sleeps that signals do not cut short.
#pragma once

#include <sys/time.h>
#include <time.h>

#include <cstdint>

void tmr_init(void);
uint32_t tmr_get(void);
int64_t tmr_get64(void);
void tmr_usleep(uint32_t us);
void tmr_msleep(uint32_t ms);

// ---- internals, visible for the unit tests ----
// Microseconds from `base` to `now`: tmr_get's 32-bit (wrapping) arithmetic
// and tmr_get64's signed 64-bit one.
uint32_t tmr_diff32(const struct timeval *now, const struct timeval *base);
int64_t tmr_diff64(const struct timeval *now, const struct timeval *base);
// The nanosleep requests of tmr_usleep and tmr_msleep.
struct timespec tmr_us_req(uint32_t us);
struct timespec tmr_ms_req(uint32_t ms);
