// Time base and sleeps: request arithmetic, resumption after signals, wrap of tmr_get.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "tmr.h"

namespace {

using std::chrono::steady_clock;

int64_t ms_since(steady_clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(steady_clock::now() - start).count();
}

void expect_req(struct timespec req, time_t sec, long nsec)
{
    EXPECT_EQ(req.tv_sec, sec);
    EXPECT_EQ(req.tv_nsec, nsec);
}

TEST(TmrSleep, Requests)
{
    expect_req(tmr_ms_req(0), 0, 0);
    expect_req(tmr_us_req(0), 0, 0);
    expect_req(tmr_ms_req(1500), 1, 500000000);
    expect_req(tmr_us_req(2500000), 2, 500000000);
    expect_req(tmr_us_req(999999), 0, 999999000);
    expect_req(tmr_ms_req(999), 0, 999000000);
    expect_req(tmr_us_req(4294967295u), 4294, 967295000);
    expect_req(tmr_ms_req(4294967295u), 4294967, 295000000);
}

TEST(TmrSleep, ZeroReturnsAtOnceAndOthersLastAtLeastTheirTime)
{
    auto start = steady_clock::now();
    tmr_msleep(0);
    tmr_usleep(0);
    EXPECT_LT(ms_since(start), 2000);
    start = steady_clock::now();
    tmr_msleep(120);
    EXPECT_GE(ms_since(start), 120);
    start = steady_clock::now();
    tmr_usleep(120000);
    EXPECT_GE(ms_since(start), 120);
}

std::atomic<int> g_signals{0};
void on_signal(int) { g_signals.fetch_add(1); }

// Sleeps on a thread of its own while the test thread keeps signalling it.
int64_t sleep_under_signals(void (*sleep_fn)(uint32_t), uint32_t arg)
{
    struct sigaction sa = {};
    sa.sa_handler = on_signal;  // no SA_RESTART: nanosleep returns -1/EINTR
    sigemptyset(&sa.sa_mask);
    struct sigaction old = {};
    sigaction(SIGUSR1, &sa, &old);
    g_signals = 0;

    std::atomic<bool> started{false}, done{false};
    std::atomic<int64_t> slept{0};
    std::thread sleeper([&] {
        started = true;
        auto start = steady_clock::now();
        sleep_fn(arg);
        slept = ms_since(start);
        done = true;
    });
    while (!started) std::this_thread::yield();
    while (!done) {
        pthread_kill(sleeper.native_handle(), SIGUSR1);
        std::this_thread::sleep_for(std::chrono::milliseconds(15));
    }
    sleeper.join();
    sigaction(SIGUSR1, &old, nullptr);
    return slept;
}

TEST(TmrSleep, SignalsDoNotShortenSleeps)
{
    EXPECT_GE(sleep_under_signals(tmr_msleep, 400), 400);
    EXPECT_GT(g_signals.load(), 2);
    EXPECT_GE(sleep_under_signals(tmr_usleep, 400000), 400);
    EXPECT_GT(g_signals.load(), 2);
}

TEST(TmrTime, Arithmetic)
{
    const struct timeval base = {1000, 900000};
    struct timeval now = {1001, 100000};  // microseconds borrow from seconds
    EXPECT_EQ(tmr_diff64(&now, &base), 200000);
    EXPECT_EQ(tmr_diff32(&now, &base), 200000u);

    now = {1003, 400000};
    EXPECT_EQ(tmr_diff64(&now, &base), 2500000);

    // 2^32 us + 1 s after the base: tmr_get has wrapped, tmr_get64 has not.
    now = {1000 + 4294 + 1, 900000 + 967296};
    now.tv_sec += now.tv_usec / 1000000;
    now.tv_usec %= 1000000;
    EXPECT_EQ(tmr_diff64(&now, &base), 4294967296LL + 1000000);
    EXPECT_EQ(tmr_diff32(&now, &base), 1000000u);

    // Just below the wrap.
    now = {1000 + 4294, 900000 + 967295};
    now.tv_sec += now.tv_usec / 1000000;
    now.tv_usec %= 1000000;
    EXPECT_EQ(tmr_diff32(&now, &base), 4294967295u);

    // The clock set back before the base: negative, and the same modulo 2^32.
    now = {995, 900000};
    EXPECT_EQ(tmr_diff64(&now, &base), -5000000);
    EXPECT_EQ(tmr_diff32(&now, &base), static_cast<uint32_t>(-5000000));
}

TEST(TmrTime, CountsFromInit)
{
    tmr_init();
    int64_t t0 = tmr_get64();
    EXPECT_GE(t0, 0);
    EXPECT_LT(t0, 2000000);
    tmr_msleep(300);
    int64_t a = tmr_get64();
    uint32_t mid = tmr_get();
    int64_t b = tmr_get64();
    EXPECT_GE(a, 300000);
    EXPECT_LT(a, 20000000);  // a loaded machine may oversleep, but not by minutes
    // tmr_get is the low 32 bits of the same count.
    EXPECT_GE(mid, static_cast<uint32_t>(a));
    EXPECT_LE(mid, static_cast<uint32_t>(b));
}

}  // namespace
