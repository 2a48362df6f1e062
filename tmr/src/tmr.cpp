// Time base and sleeps.
#include "tmr.h"

#include "tmr_cb.h"

namespace {

// The module's state.
struct tmr_state {
    struct timeval clk_base;  // set by tmr_init before any thread starts; only read afterwards
} tmr;

// Sleeps for the whole request: an interrupted nanosleep is resumed with the
// time it reports as remaining.
void tmr_sleep(struct timespec req)
{
    struct timespec rem = {0, 0};
    while (nanosleep(&req, &rem) == -1) req = rem;
}

}  // namespace

void tmr_init(void)
{
    gettimeofday(&tmr.clk_base, nullptr);
    tmr_cb_init();
}

uint32_t tmr_diff32(const struct timeval *now, const struct timeval *base)
{
    uint32_t sec = static_cast<uint32_t>(now->tv_sec) - static_cast<uint32_t>(base->tv_sec);
    uint32_t usec = static_cast<uint32_t>(now->tv_usec) - static_cast<uint32_t>(base->tv_usec);
    return sec * 1000000u + usec;
}

int64_t tmr_diff64(const struct timeval *now, const struct timeval *base)
{
    int64_t sec = static_cast<int64_t>(now->tv_sec) - static_cast<int64_t>(base->tv_sec);
    int32_t usec = static_cast<int32_t>(now->tv_usec - base->tv_usec);
    return sec * 1000000 + usec;
}

uint32_t tmr_get(void)
{
    struct timeval now;
    gettimeofday(&now, nullptr);
    return tmr_diff32(&now, &tmr.clk_base);
}

int64_t tmr_get64(void)
{
    struct timeval now;
    gettimeofday(&now, nullptr);
    return tmr_diff64(&now, &tmr.clk_base);
}

struct timespec tmr_us_req(uint32_t us)
{
    struct timespec req;
    req.tv_sec = us / 1000000u;
    req.tv_nsec = static_cast<long>(us % 1000000u) * 1000;
    return req;
}

struct timespec tmr_ms_req(uint32_t ms)
{
    struct timespec req;
    req.tv_sec = ms / 1000u;
    req.tv_nsec = static_cast<long>(ms % 1000u) * 1000000;
    return req;
}

void tmr_usleep(uint32_t us) { tmr_sleep(tmr_us_req(us)); }

void tmr_msleep(uint32_t ms) { tmr_sleep(tmr_ms_req(ms)); }
