// Timer callbacks on one POSIX timer.
#include "tmr_cb.h"

#include <pthread.h>
#include <signal.h>
#include <time.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "vexd_check.h"

namespace {

constexpr int32_t sig_id = 0;

// The module's state: the one POSIX timer and the callbacks waiting on it.
struct tmr_timer_state {
    // Microseconds last programmed into the timer. Written under mutex; read
    // without it by the notification function.
    std::atomic<uint32_t> tm{0};
    rlnk_t head;  // mutex; linked to itself by tmr_cb_init
    // Guards the entry list and the timer's programming. Never held across a
    // callback.
    std::mutex mutex;
    timer_t tid;                        // set once by tmr_cb_init
    bool tid_created = false;           // set once by tmr_cb_init: timer_create succeeded
    struct sigevent se;                 // set once by tmr_cb_init
    struct itimerspec ts;               // mutex (tmr_cb_set's callers)
    std::atomic<bool> initdone{false};  // atomic
} tmr_timer;

// Runs on a thread that the C library starts for the timer's notification.
void tmr_internal_timeout_evt(union sigval value)
{
    pthread_setname_np(pthread_self(), "vexd.tmr");
    if (value.sival_int == sig_id) {
        tmr_cb(tmr_timer.tm.load());
    } else {
        system("echo \"VEX: tmr_cb: Unknown signal received\" > /dev/kmsg");
    }
}

void tmr_sub_create(void)
{
    memset(&tmr_timer.se, 0, sizeof(tmr_timer.se));
    tmr_timer.se.sigev_notify = SIGEV_THREAD;
    tmr_timer.se.sigev_notify_function = tmr_internal_timeout_evt;
    tmr_timer.se.sigev_value.sival_int = sig_id;
    if (timer_create(CLOCK_REALTIME, &tmr_timer.se, &tmr_timer.tid) < 0) {
        system("echo \"VEX: tmr_cb: timer_create failed\" > /dev/kmsg");
        return;
    }
    tmr_timer.tid_created = true;
}

// The timer's remaining time; zero when it is not running or does not exist.
struct timespec tmr_cb_remaining(void)
{
    struct itimerspec cur;
    if (!tmr_timer.tid_created || timer_gettime(tmr_timer.tid, &cur) < 0) return {0, 0};
    return cur.it_value;
}

bool tmr_cb_pending(tmr_cb_t *p_lnk)
{
    auto same = [](dlnk_t *node, void *arg) { return node == arg ? 1 : 0; };
    return dlnk_for_each(&tmr_timer.head.lnk, same, p_lnk) != nullptr;
}

}  // namespace

void tmr_cb_init(void)
{
    if (tmr_timer.initdone.exchange(true)) return;
    rlnk_init(&tmr_timer.head, 0);
    tmr_sub_create();
}

void tmr_cb_set(uint32_t us)
{
    memset(&tmr_timer.ts, 0, sizeof(tmr_timer.ts));
    tmr_timer.ts.it_value.tv_sec = us / 1000000u;
    tmr_timer.ts.it_value.tv_nsec = static_cast<long>(us % 1000000u) * 1000;
    if (!tmr_timer.tid_created || timer_settime(tmr_timer.tid, 0, &tmr_timer.ts, nullptr) < 0) {
        system("echo \"VEX: tmr_cb: timer_settime failed\" > /dev/kmsg");
    }
    tmr_timer.tm.store(us);
}

uint32_t tmr_cb_left(void)
{
    struct timespec left = tmr_cb_remaining();
    return static_cast<uint32_t>(left.tv_sec) * 1000000u + static_cast<uint32_t>(left.tv_nsec / 1000);
}

uint32_t tmr_cb_tm(void) { return tmr_timer.tm.load(); }

void tmr_cb_add(tmr_cb_t *p_lnk, tmr_cb_fn_t cb, uint32_t time)
{
    if (!(p_lnk != nullptr)) assert("p_lnk != ((void *)0)", __FILE__, __LINE__);
    if (!(cb != nullptr)) assert("cb != ((void *)0)", __FILE__, __LINE__);
    if (!(time != 0)) assert("time != 0", __FILE__, __LINE__);

    std::lock_guard<std::mutex> lock(tmr_timer.mutex);
    rlnk_derank(&tmr_timer.head, tmr_cb_left());
    // A pending entry is taken out first; linking it twice would corrupt the list.
    bool was_first = false;
    if (tmr_cb_pending(p_lnk)) {
        was_first = rlnk_first(&tmr_timer.head) == &p_lnk->rlnk;
        rlnk_remove(&tmr_timer.head, &p_lnk->rlnk);
    }
    rlnk_init(&p_lnk->rlnk, time);
    p_lnk->cb = cb;
    rlnk_insert(&tmr_timer.head, &p_lnk->rlnk);
    rlnk_t *p_first = rlnk_first(&tmr_timer.head);
    if (p_first == &p_lnk->rlnk) {
        tmr_cb_set(time);
    } else if (was_first) {
        tmr_cb_set(p_first->rank);
    }
}

void tmr_cb_rm(tmr_cb_t *p_lnk)
{
    if (p_lnk == nullptr) return;
    std::lock_guard<std::mutex> lock(tmr_timer.mutex);
    // Expired and removed entries are self-linked: nothing to do for them.
    if (p_lnk->rlnk.lnk.p_next != &p_lnk->rlnk.lnk) {
        rlnk_derank(&tmr_timer.head, tmr_cb_left());
        if (rlnk_first(&tmr_timer.head) == &p_lnk->rlnk) {
            tmr_cb_set(rlnk_remove(&tmr_timer.head, &p_lnk->rlnk)->rank);
        } else {
            rlnk_remove(&tmr_timer.head, &p_lnk->rlnk);
        }
    }
}

void tmr_cb(uint32_t elapsed)
{
    std::unique_lock<std::mutex> lock(tmr_timer.mutex);
    // An empty list: the entry was removed after the timer had expired. A
    // running timer: it was reprogrammed for a later entry meanwhile (the due
    // entry was removed), so nothing is due yet.
    struct timespec left = tmr_cb_remaining();
    if (rlnk_first(&tmr_timer.head) == &tmr_timer.head || left.tv_sec != 0 || left.tv_nsec != 0) return;
    rlnk_t *p_rexp = rlnk_derank(&tmr_timer.head, 0);
    VEXD_CHECK(p_rexp != &tmr_timer.head);
    rlnk_t *p_next = rlnk_remove(&tmr_timer.head, p_rexp);
    bool next_due = false;
    if (p_next != &tmr_timer.head) {
        if (p_next->rank != 0) {
            tmr_cb_set(p_next->rank);
        } else {
            next_due = true;
        }
    }
    auto *p_entry = reinterpret_cast<tmr_cb_t *>(p_rexp);
    tmr_cb_fn_t cb = p_entry->cb;
    lock.unlock();  // the callback may add or remove entries

    if (next_due) tmr_cb(elapsed);
    cb(p_entry, elapsed);
}
