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

// Microseconds last programmed into the timer. Written under tmr_mutex; read
// without it by the notification function. (File scope outside the namespace
// below, where it hides the C library's struct tm.)
static std::atomic<uint32_t> tm{0};

namespace {

rlnk_t tmr_cb_head;
// Guards the entry list and the timer's programming. Never held across a
// callback.
std::mutex tmr_mutex;
timer_t tid;
bool tid_created;  // timer_create succeeded; written once by tmr_cb_init
struct sigevent se;
const int32_t sig_id = 0;
struct itimerspec ts;
std::atomic<bool> tmr_cb_initdone{false};

// Runs on a thread that the C library starts for the timer's notification.
void tmr_internal_timeout_evt(union sigval value)
{
    pthread_setname_np(pthread_self(), "vexd.tmr");
    if (value.sival_int == sig_id) {
        tmr_cb(tm.load());
    } else {
        system("echo \"VEX: tmr_cb: Unknown signal received\" > /dev/kmsg");
    }
}

void tmr_sub_create(void)
{
    memset(&se, 0, sizeof(se));
    se.sigev_notify = SIGEV_THREAD;
    se.sigev_notify_function = tmr_internal_timeout_evt;
    se.sigev_value.sival_int = sig_id;
    if (timer_create(CLOCK_REALTIME, &se, &tid) < 0) {
        system("echo \"VEX: tmr_cb: timer_create failed\" > /dev/kmsg");
        return;
    }
    tid_created = true;
}

// The timer's remaining time; zero when it is not running or does not exist.
struct timespec tmr_cb_remaining(void)
{
    struct itimerspec cur;
    if (!tid_created || timer_gettime(tid, &cur) < 0) return {0, 0};
    return cur.it_value;
}

bool tmr_cb_pending(tmr_cb_t *p_lnk)
{
    auto same = [](dlnk_t *node, void *arg) { return node == arg ? 1 : 0; };
    return dlnk_for_each(&tmr_cb_head.lnk, same, p_lnk) != nullptr;
}

}  // namespace

void tmr_cb_init(void)
{
    if (tmr_cb_initdone.exchange(true)) return;
    rlnk_init(&tmr_cb_head, 0);
    tmr_sub_create();
}

void tmr_cb_set(uint32_t us)
{
    memset(&ts, 0, sizeof(ts));
    ts.it_value.tv_sec = us / 1000000u;
    ts.it_value.tv_nsec = static_cast<long>(us % 1000000u) * 1000;
    if (!tid_created || timer_settime(tid, 0, &ts, nullptr) < 0) {
        system("echo \"VEX: tmr_cb: timer_settime failed\" > /dev/kmsg");
    }
    tm.store(us);
}

uint32_t tmr_cb_left(void)
{
    struct timespec left = tmr_cb_remaining();
    return static_cast<uint32_t>(left.tv_sec) * 1000000u + static_cast<uint32_t>(left.tv_nsec / 1000);
}

uint32_t tmr_cb_tm(void) { return tm.load(); }

void tmr_cb_add(tmr_cb_t *p_lnk, tmr_cb_fn_t cb, uint32_t time)
{
    if (!(p_lnk != nullptr)) assert("p_lnk != ((void *)0)", __FILE__, __LINE__);
    if (!(cb != nullptr)) assert("cb != ((void *)0)", __FILE__, __LINE__);
    if (!(time != 0)) assert("time != 0", __FILE__, __LINE__);

    std::lock_guard<std::mutex> lock(tmr_mutex);
    rlnk_derank(&tmr_cb_head, tmr_cb_left());
    // A pending entry is taken out first; linking it twice would corrupt the list.
    bool was_first = false;
    if (tmr_cb_pending(p_lnk)) {
        was_first = rlnk_first(&tmr_cb_head) == &p_lnk->rlnk;
        rlnk_remove(&tmr_cb_head, &p_lnk->rlnk);
    }
    rlnk_init(&p_lnk->rlnk, time);
    p_lnk->cb = cb;
    rlnk_insert(&tmr_cb_head, &p_lnk->rlnk);
    rlnk_t *p_first = rlnk_first(&tmr_cb_head);
    if (p_first == &p_lnk->rlnk) {
        tmr_cb_set(time);
    } else if (was_first) {
        tmr_cb_set(p_first->rank);
    }
}

void tmr_cb_rm(tmr_cb_t *p_lnk)
{
    if (p_lnk == nullptr) return;
    std::lock_guard<std::mutex> lock(tmr_mutex);
    // Expired and removed entries are self-linked: nothing to do for them.
    if (p_lnk->rlnk.lnk.p_next != &p_lnk->rlnk.lnk) {
        rlnk_derank(&tmr_cb_head, tmr_cb_left());
        if (rlnk_first(&tmr_cb_head) == &p_lnk->rlnk) {
            tmr_cb_set(rlnk_remove(&tmr_cb_head, &p_lnk->rlnk)->rank);
        } else {
            rlnk_remove(&tmr_cb_head, &p_lnk->rlnk);
        }
    }
}

void tmr_cb(uint32_t elapsed)
{
    std::unique_lock<std::mutex> lock(tmr_mutex);
    // An empty list: the entry was removed after the timer had expired. A
    // running timer: it was reprogrammed for a later entry meanwhile (the due
    // entry was removed), so nothing is due yet.
    struct timespec left = tmr_cb_remaining();
    if (rlnk_first(&tmr_cb_head) == &tmr_cb_head || left.tv_sec != 0 || left.tv_nsec != 0) return;
    rlnk_t *p_rexp = rlnk_derank(&tmr_cb_head, 0);
    VEXD_CHECK(p_rexp != &tmr_cb_head);
    rlnk_t *p_next = rlnk_remove(&tmr_cb_head, p_rexp);
    bool next_due = false;
    if (p_next != &tmr_cb_head) {
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
