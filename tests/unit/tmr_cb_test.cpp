// Timer callbacks: ranks and timer programming, expiry order, elapsed values,
// removal, re-adding, real expiries from several threads, and the checks.
//
// Deterministic cases disarm the timer (tmr_cb_set(0)) and run the expiry step
// themselves; cases on the real timer use delays and waits with wide margins.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "assert_death.h"
#include "tmr.h"
#include "tmr_cb.h"

namespace {

using std::chrono::steady_clock;

struct call_t {
    tmr_cb_t *entry;
    uint32_t elapsed;
    uint32_t programmed;  // tmr_cb_tm() when the callback ran
    steady_clock::time_point when;
};

std::mutex g_mutex;
std::condition_variable g_cond;
std::vector<call_t> g_calls;

int record(tmr_cb_t *entry, uint32_t elapsed)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_calls.push_back({entry, elapsed, tmr_cb_tm(), steady_clock::now()});
    g_cond.notify_all();
    return 7;  // ignored
}

std::vector<call_t> calls()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_calls;
}

bool wait_calls(size_t n, int seconds = 30)
{
    std::unique_lock<std::mutex> lock(g_mutex);
    return g_cond.wait_for(lock, std::chrono::seconds(seconds), [&] { return g_calls.size() >= n; });
}

constexpr uint32_t S = 1000000;  // one second in microseconds

// The C library runs timer notifications on threads it creates internally,
// which ThreadSanitizer does not know: their first malloc crashes. Cases that
// let the real timer expire are left to the other builds.
#if defined(__SANITIZE_THREAD__)
#define SKIP_REAL_EXPIRIES() GTEST_SKIP() << "timer notification threads are invisible to ThreadSanitizer"
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define SKIP_REAL_EXPIRIES() GTEST_SKIP() << "timer notification threads are invisible to ThreadSanitizer"
#endif
#endif
#ifndef SKIP_REAL_EXPIRIES
#define SKIP_REAL_EXPIRIES() (void)0
#endif

struct TmrCbTest : testing::Test {
    tmr_cb_t a, b, c, d;
    void SetUp() override
    {
        tmr_init();
        for (tmr_cb_t *e : {&a, &b, &c, &d}) {
            *e = {};
            rlnk_init(&e->rlnk, 0);
        }
        std::lock_guard<std::mutex> lock(g_mutex);
        g_calls.clear();
    }
    void TearDown() override
    {
        for (tmr_cb_t *e : {&a, &b, &c, &d}) tmr_cb_rm(e);
        EXPECT_EQ(tmr_cb_left(), 0u) << "entries left pending";
    }
};

TEST_F(TmrCbTest, FirstEntryProgramsTheTimer)
{
    tmr_cb_add(&a, record, 10 * S);
    EXPECT_EQ(a.rlnk.rank, 10 * S);
    EXPECT_EQ(tmr_cb_tm(), 10 * S);
    EXPECT_LE(tmr_cb_left(), 10 * S);
    EXPECT_GT(tmr_cb_left(), 5 * S);

    // A later entry leaves the timer alone; its rank is its distance from A.
    tmr_cb_add(&b, record, 20 * S);
    EXPECT_EQ(tmr_cb_tm(), 10 * S);
    EXPECT_EQ(rlnk_next(&a.rlnk), &b.rlnk);
    EXPECT_GE(b.rlnk.rank, 10 * S);
    EXPECT_LT(b.rlnk.rank, 15 * S);

    // An earlier one reprograms it and takes its share of A's time.
    tmr_cb_add(&c, record, 4 * S);
    EXPECT_EQ(tmr_cb_tm(), 4 * S);
    EXPECT_EQ(rlnk_next(&c.rlnk), &a.rlnk);
    EXPECT_LE(a.rlnk.rank, 6 * S);
    EXPECT_GT(a.rlnk.rank, 1 * S);
}

TEST_F(TmrCbTest, ExpiryOrderAndElapsed)
{
    // With the timer disarmed the first entry counts as due (0 left), so the
    // list is built with exact ranks: A 0, B 20 s, C 0 (due with B), D 10 s.
    tmr_cb_add(&a, record, 10 * S);
    tmr_cb_set(0);
    tmr_cb_add(&b, record, 20 * S);
    tmr_cb_add(&c, record, 20 * S);
    tmr_cb_add(&d, record, 30 * S);
    EXPECT_EQ(tmr_cb_left(), 0u);
    EXPECT_EQ(a.rlnk.rank, 0u);
    EXPECT_EQ(b.rlnk.rank, 20 * S);
    EXPECT_EQ(c.rlnk.rank, 0u);
    EXPECT_EQ(d.rlnk.rank, 10 * S);

    // A expires alone; the timer is programmed for B.
    tmr_cb(111);
    auto got = calls();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].entry, &a);
    EXPECT_EQ(got[0].elapsed, 111u);
    EXPECT_EQ(tmr_cb_tm(), 20 * S);
    EXPECT_GT(tmr_cb_left(), 10 * S);
    EXPECT_EQ(a.rlnk.lnk.p_next, &a.rlnk.lnk);  // unlinked before its call

    // An expiry that finds the timer running again was overtaken: nothing due.
    tmr_cb(222);
    EXPECT_EQ(calls().size(), 1u);

    // B and C fall due together: C (added last) runs first, and the timer is
    // already programmed for D when it does.
    tmr_cb_set(0);
    tmr_cb(333);
    got = calls();
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[1].entry, &c);
    EXPECT_EQ(got[2].entry, &b);
    EXPECT_EQ(got[1].elapsed, 333u);
    EXPECT_EQ(got[2].elapsed, 333u);
    EXPECT_EQ(got[1].programmed, 10 * S);
    EXPECT_EQ(rlnk_next(rlnk_next(&d.rlnk)), &d.rlnk);  // D, the head, D: D alone
    EXPECT_EQ(d.rlnk.rank, 10 * S);

    tmr_cb_rm(&d);
    EXPECT_EQ(tmr_cb_left(), 0u);
    EXPECT_EQ(tmr_cb_tm(), 0u);
    tmr_cb(444);  // empty list: nothing happens
    EXPECT_EQ(calls().size(), 3u);
}

TEST_F(TmrCbTest, RemovingTheFirstEntryReprograms)
{
    tmr_cb_add(&a, record, 10 * S);
    tmr_cb_add(&b, record, 20 * S);
    uint32_t b_rank = b.rlnk.rank;
    tmr_cb_rm(&a);
    // B takes over A's remaining time, and the timer is programmed with it.
    EXPECT_EQ(b.rlnk.rank, b_rank + a.rlnk.rank);
    EXPECT_EQ(tmr_cb_tm(), b.rlnk.rank);
    EXPECT_GT(b.rlnk.rank, 15 * S);
    EXPECT_LE(b.rlnk.rank, 20 * S);
    EXPECT_LE(tmr_cb_left(), b.rlnk.rank);
    EXPECT_GT(tmr_cb_left(), 10 * S);

    // Removing an entry that is not pending changes nothing.
    uint32_t rank = b.rlnk.rank;
    tmr_cb_rm(&a);
    EXPECT_EQ(b.rlnk.rank, rank);
    EXPECT_EQ(tmr_cb_tm(), rank);

    // Removing the only entry stops the timer.
    tmr_cb_rm(&b);
    EXPECT_EQ(tmr_cb_tm(), 0u);
    EXPECT_EQ(tmr_cb_left(), 0u);
}

TEST_F(TmrCbTest, RemovingALaterEntryLeavesTheTimer)
{
    tmr_cb_add(&a, record, 10 * S);
    tmr_cb_add(&b, record, 20 * S);
    tmr_cb_add(&c, record, 30 * S);
    uint32_t b_rank = b.rlnk.rank, c_rank = c.rlnk.rank;
    tmr_cb_rm(&b);
    EXPECT_EQ(c.rlnk.rank, b_rank + c_rank);
    EXPECT_EQ(rlnk_next(&a.rlnk), &c.rlnk);
    EXPECT_EQ(tmr_cb_tm(), 10 * S);  // not reprogrammed
    EXPECT_GT(tmr_cb_left(), 5 * S);
}

TEST_F(TmrCbTest, AddingAPendingEntryReschedulesIt)
{
    tmr_cb_add(&a, record, 10 * S);
    tmr_cb_add(&b, record, 20 * S);
    tmr_cb_add(&a, record, 30 * S);  // A moves behind B
    // The ring is head, B, A: exactly two entries, A not linked twice.
    EXPECT_EQ(rlnk_next(&b.rlnk), &a.rlnk);
    EXPECT_EQ(rlnk_next(rlnk_next(&a.rlnk)), &b.rlnk);
    EXPECT_EQ(b.rlnk.lnk.p_prev, a.rlnk.lnk.p_next);
    EXPECT_EQ(tmr_cb_tm(), b.rlnk.rank);  // the timer now serves B
    EXPECT_GT(b.rlnk.rank, 15 * S);
    EXPECT_LE(b.rlnk.rank + a.rlnk.rank, 30 * S);
    EXPECT_GT(b.rlnk.rank + a.rlnk.rank, 25 * S);
    tmr_cb_rm(&a);
    tmr_cb_rm(&b);
    EXPECT_EQ(tmr_cb_left(), 0u);
}

TEST_F(TmrCbTest, RealExpiriesInOrderWithElapsed)
{
    SKIP_REAL_EXPIRIES();
    auto start = steady_clock::now();
    tmr_cb_add(&a, record, 3 * S);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    auto b_start = steady_clock::now();
    tmr_cb_add(&b, record, 400000);
    ASSERT_TRUE(wait_calls(2));
    auto got = calls();
    EXPECT_EQ(got[0].entry, &b);
    EXPECT_EQ(got[0].elapsed, 400000u);
    EXPECT_GE(got[0].when - b_start, std::chrono::milliseconds(390));
    EXPECT_EQ(got[1].entry, &a);
    // A's elapsed is its distance behind B: at most 3 s - 0.3 s - 0.4 s.
    EXPECT_GT(got[1].elapsed, 0u);
    EXPECT_LE(got[1].elapsed, 2300000u);
    EXPECT_GE(got[1].when - start, std::chrono::milliseconds(2990));
}

int readd_three_times(tmr_cb_t *entry, uint32_t elapsed)
{
    record(entry, elapsed);
    if (calls().size() < 3) tmr_cb_add(entry, readd_three_times, 20000);
    return 0;
}

TEST_F(TmrCbTest, CallbackMayAddItsOwnEntryAgain)
{
    SKIP_REAL_EXPIRIES();
    tmr_cb_add(&a, readd_three_times, 20000);
    ASSERT_TRUE(wait_calls(3));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(calls().size(), 3u);
    for (auto &call : calls()) EXPECT_EQ(call.elapsed, 20000u);
}

// Several threads add short entries and add-then-remove long ones: every short
// entry runs exactly once, no removed entry runs, and the timer ends stopped.
TEST_F(TmrCbTest, ConcurrentAddAndRemove)
{
    SKIP_REAL_EXPIRIES();
    constexpr int kThreads = 4, kPerThread = 25;
    static tmr_cb_t shorts[kThreads][kPerThread], longs[kThreads][kPerThread];
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kPerThread; ++i) {
                tmr_cb_add(&longs[t][i], record, 60 * S);
                tmr_cb_add(&shorts[t][i], record, 1000 + (t * 7919 + i * 104729) % 40000);
                if (i % 5 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(3));
                tmr_cb_rm(&longs[t][i]);
            }
        });
    }
    for (auto &th : threads) th.join();
    ASSERT_TRUE(wait_calls(kThreads * kPerThread));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    auto got = calls();
    EXPECT_EQ(got.size(), static_cast<size_t>(kThreads * kPerThread));
    for (int t = 0; t < kThreads; ++t) {
        for (int i = 0; i < kPerThread; ++i) {
            int n = 0;
            for (auto &call : got) {
                EXPECT_NE(call.entry, &longs[t][i]);
                n += call.entry == &shorts[t][i];
            }
            EXPECT_EQ(n, 1) << t << "/" << i;
        }
    }
    EXPECT_EQ(tmr_cb_left(), 0u);
}

// The same traffic without expiries, so that it also runs under
// ThreadSanitizer: threads add and remove far-off entries while another keeps
// running the expiry step, which must find nothing due.
TEST_F(TmrCbTest, ConcurrentTrafficWithoutExpiries)
{
    constexpr int kThreads = 3, kPerThread = 40;
    static tmr_cb_t entries[kThreads][kPerThread];
    std::atomic<bool> done{false};
    std::thread expirer([&] {
        while (!done) {
            tmr_cb(1);
            std::this_thread::yield();
        }
    });
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int round = 0; round < 3; ++round) {
                for (int i = 0; i < kPerThread; ++i)
                    tmr_cb_add(&entries[t][i], record, 100 * S + (i * 7 + t) * 1000);
                for (int i = kPerThread - 1; i >= 0; i -= 2) tmr_cb_rm(&entries[t][i]);
                for (int i = 0; i < kPerThread; i += 2) tmr_cb_rm(&entries[t][i]);
            }
        });
    }
    for (auto &th : threads) th.join();
    done = true;
    expirer.join();
    EXPECT_TRUE(calls().empty());
    EXPECT_EQ(tmr_cb_left(), 0u);
    EXPECT_EQ(tmr_cb_tm(), 0u);
}

TEST(TmrCbDeathTest, BadArgumentsEndTheProcess)
{
    // The timer has a thread, so the child is started afresh. Under a
    // user-mode emulator (cross builds) the child cannot exec the target
    // binary again; it is forked there instead.
    if (getenv("VEXD_TEST_EMULATED") == nullptr) GTEST_FLAG_SET(death_test_style, "threadsafe");
    tmr_init();
    static tmr_cb_t e;
    const char *src = "tmr/src/tmr_cb.cpp";
    const char *fn = "void tmr_cb_add(";
    using assert_death::expect;
    expect([] { tmr_cb_add(nullptr, record, 5); }, "p_lnk != ((void *)0)", src, fn,
           "assert(\"p_lnk != ((void *)0)\"");
    expect([] { tmr_cb_add(&e, nullptr, 5); }, "cb != ((void *)0)", src, fn, "assert(\"cb != ((void *)0)\"");
    expect([] { tmr_cb_add(&e, record, 0); }, "time != 0", src, fn, "assert(\"time != 0\"");
    EXPECT_EQ(tmr_cb_left(), 0u);
}

}  // namespace
