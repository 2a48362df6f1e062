// Read queue: a byte ring of whole reads between a collector's reader thread
// and its writer thread.
//
// A record is a 16-byte header (length, read time) and the bytes read, its
// size rounded up to 8. The reader reserves room for the largest read at the
// write offset, reads into it without a lock and then commits what came. A
// record never starts where the largest read would not fit before the end of
// the buffer: the reader skips that end and starts again at 0, and the taker,
// by the same rule, knows that nothing lies there.
#include "read_queue.h"

#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <new>

#include "full_io.h"
#include "monotonic.h"
#include "tmr.h"
#include "vexd.h"

namespace {

constexpr uint32_t HDR = 16;

struct rec_hdr {
    uint32_t len;
    uint32_t unused;
    int64_t t;
};
static_assert(sizeof(rec_hdr) == HDR);

constexpr uint32_t align8(uint32_t n) { return (n + 7u) & ~7u; }

constexpr uint32_t NO_ROOM = UINT32_MAX;

// Offset of a free run of rec_max bytes, once there is one; skips the end
// of the buffer where a whole record would not fit. NO_ROOM once the queue
// is stopped. Called with the lock.
uint32_t reserve(read_queue_t *q, std::unique_lock<std::mutex> &lock)
{
    auto room = [q] {
        const uint32_t skip = q->wr + q->rec_max > q->cap ? q->cap - q->wr : 0;
        return q->cap - q->used >= skip + q->rec_max;
    };
    if (!room() && !q->stopping) {
        const int64_t start = monotonic_us();
        if (q->waits == 0) q->first_wait = start;
        q->reader_waits = true;
        q->not_full.wait(lock, [&] { return room() || q->stopping; });
        q->reader_waits = false;
        q->wait_us += monotonic_us() - start;
        q->waits++;
    }
    if (q->stopping) return NO_ROOM;
    if (q->wr + q->rec_max > q->cap) {
        q->used += q->cap - q->wr;
        q->wr = 0;
    }
    return q->wr;
}

void *reader_thread(void *arg)
{
    auto *q = static_cast<read_queue_t *>(arg);
    pthread_setname_np(pthread_self(), q->thread_name);
    pthread_detach(pthread_self());  // no one joins it: it ends at an orderly stop, or with the process
    // The reader is mostly asleep in its read and needs little processor
    // time, but needs it soon: a reader kept waiting by busier threads (its
    // own writer compressing, or other programs) lets the device's ring
    // overwrite what it has not read. A root daemon may raise it; elsewhere
    // the call fails and nothing changes.
    setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), READ_QUEUE_READER_NICE);
    uint32_t failures = 0;
    for (;;) {
        uint32_t at;
        {
            std::unique_lock<std::mutex> lock(q->mutex);
            at = reserve(q, lock);
        }
        if (at == NO_ROOM) return nullptr;
        // The room from `at` is the reader's alone until it commits it.
        const ssize_t n = retry_read(q->fd, q->buf + at + HDR, q->max_read);
        const int64_t t = tmr_get64();
        if (n <= 0) {
            const int err = errno;
            {
                std::lock_guard<std::mutex> lock(q->mutex);
                q->failed_reads++;
            }
            // The first failures are retried at once; a run of them would
            // keep a core busy for as long as the device fails.
            if (++failures == READ_QUEUE_FAIL_RUN)
                vexd_printf(
                    "%s: %u reads in a row returned 0 or failed (last errno %d), retrying every %u ms\n",
                    q->name, static_cast<unsigned>(failures), n < 0 ? err : 0,
                    static_cast<unsigned>(READ_QUEUE_BACKOFF_MS));
            if (failures >= READ_QUEUE_FAIL_RUN) tmr_msleep(READ_QUEUE_BACKOFF_MS);
            continue;
        }
        const rec_hdr h = {static_cast<uint32_t>(n), 0, t};
        memcpy(q->buf + at, &h, HDR);
        std::lock_guard<std::mutex> lock(q->mutex);
        if (failures >= READ_QUEUE_FAIL_RUN) q->failed_run = failures;
        failures = 0;
        const uint32_t size = align8(HDR + static_cast<uint32_t>(n));
        q->wr = at + size == q->cap ? 0 : at + size;
        q->used += size;
        if (q->taker_waits) q->not_empty.notify_one();
    }
    return nullptr;
}

}  // namespace

read_queue_t *read_queue_new(const char *name, uint32_t bytes, uint32_t max_read)
{
    auto *q = new (std::nothrow) read_queue_t;
    if (q == nullptr) return nullptr;
    q->name = name;
    q->max_read = max_read;
    q->rec_max = align8(HDR + max_read);
    q->cap = align8(bytes) >= 2 * q->rec_max ? align8(bytes) : 2 * q->rec_max;
    q->buf = new (std::nothrow) uint8_t[q->cap];
    if (q->buf == nullptr) {
        delete q;
        return nullptr;
    }
    return q;
}

int read_queue_start_reader(read_queue_t *q, int fd, const char *thread_name, pthread_t *pt)
{
    q->fd = fd;
    q->thread_name = thread_name;
    return pthread_create(pt, nullptr, reader_thread, q);
}

bool read_queue_take(read_queue_t *q, read_queue_rec *rec)
{
    std::unique_lock<std::mutex> lock(q->mutex);
    for (;;) {
        if (q->used > 0 && q->rd + q->rec_max > q->cap) {
            // The reader skipped this end of the buffer.
            q->used -= q->cap - q->rd;
            q->rd = 0;
        }
        if (q->used > 0) break;
        if (q->stopping) return false;
        q->taker_waits = true;
        q->not_empty.wait(lock);
        q->taker_waits = false;
    }
    rec_hdr h;
    memcpy(&h, q->buf + q->rd, HDR);
    rec->data = reinterpret_cast<char *>(q->buf + q->rd + HDR);
    rec->len = h.len;
    rec->t = h.t;
    rec->size = align8(HDR + h.len);
    return true;
}

void read_queue_stop(read_queue_t *q)
{
    std::lock_guard<std::mutex> lock(q->mutex);
    q->stopping = true;
    q->not_full.notify_all();
    q->not_empty.notify_all();
}

void read_queue_taker_done(read_queue_t *q)
{
    std::lock_guard<std::mutex> lock(q->mutex);
    q->taker_done = true;
    q->done.notify_all();
}

bool read_queue_wait_done(read_queue_t *q, int64_t deadline_us)
{
    std::unique_lock<std::mutex> lock(q->mutex);
    while (!q->taker_done) {
        const int64_t left = deadline_us - monotonic_us();
        if (left <= 0) return false;
        q->done.wait_for(lock, std::chrono::microseconds(left));
    }
    return true;
}

void read_queue_release(read_queue_t *q, const read_queue_rec *rec)
{
    int64_t waited = 0;
    uint32_t waits = 0, failed_run = 0;
    {
        std::lock_guard<std::mutex> lock(q->mutex);
        q->rd = q->rd + rec->size == q->cap ? 0 : q->rd + rec->size;
        q->used -= rec->size;
        if (q->reader_waits) q->not_full.notify_one();
        // A burst is over once the queue has drained.
        if (q->waits > 0 && (q->used == 0 || monotonic_us() - q->first_wait > READ_QUEUE_REPORT_US)) {
            waited = q->wait_us;
            waits = q->waits;
            q->wait_us = 0;
            q->waits = 0;
        }
        failed_run = q->failed_run;
        q->failed_run = 0;
    }
    if (waits > 0)
        vexd_printf("%s: queue full, reader waited %lld ms in %u waits; the device may have dropped data\n",
                    q->name, static_cast<long long>((waited + 999) / 1000), static_cast<unsigned>(waits));
    if (failed_run > 0)
        vexd_printf("%s: reads again after %u that returned 0 or failed\n", q->name,
                    static_cast<unsigned>(failed_run));
}

bool read_queue_finish(read_queue_t *q, int64_t deadline_us)
{
    if (q == nullptr) return true;
    read_queue_stop(q);
    return read_queue_wait_done(q, deadline_us);
}
