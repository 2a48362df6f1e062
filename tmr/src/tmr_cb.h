// Timer callbacks: one-shot callbacks of any number, served by one POSIX timer.
//
// Pending entries wait in a ranked list whose first rank agrees with the
// running timer. When the timer expires, the entries that are due are removed
// and their callbacks run on the timer's notification thread, without the
// module's lock held, so a callback may add or remove entries, its own too.
// Entries that fall due together run in reverse list order (the one added
// last first). The caller owns every entry and must keep it alive while it is
// pending.
#pragma once

#include <cstddef>
#include <cstdint>

#include "rlnk.h"

struct tmr_cb_t;

// Gets the entry and the microseconds last programmed into the timer before
// it expired; the result is ignored.
typedef int (*tmr_cb_fn_t)(tmr_cb_t *p_lnk, uint32_t elapsed);

struct tmr_cb_t {
    rlnk_t rlnk;  // rank in microseconds
    tmr_cb_fn_t cb;
};
// The expiry step turns the list's first node back into its entry.
static_assert(offsetof(tmr_cb_t, rlnk) == 0, "the rlnk node must be the first member of tmr_cb_t");

// Empty list, the timer created (disarmed). Called by tmr_init; later calls
// do nothing.
void tmr_cb_init(void);
// Schedules cb(p_lnk, elapsed) to run `time` microseconds (not 0) from now.
// An entry that is still pending is rescheduled.
void tmr_cb_add(tmr_cb_t *p_lnk, tmr_cb_fn_t cb, uint32_t time);
// Cancels a pending entry; an entry that is not pending is left alone.
void tmr_cb_rm(tmr_cb_t *p_lnk);

// ---- internals, visible for the unit tests ----
// The expiry step: removes the first entry, and with it every entry due at the
// same time, and runs their callbacks with `elapsed`. Does nothing when the
// list is empty or the timer is running (the expiry was overtaken by a
// reprogramming of the timer).
void tmr_cb(uint32_t elapsed);
// Programs the timer to expire in `us` microseconds (0 disarms it).
void tmr_cb_set(uint32_t us);
// Microseconds before the timer expires; 0 when it is not running.
uint32_t tmr_cb_left(void);
// The microseconds last programmed by tmr_cb_set.
uint32_t tmr_cb_tm(void);
