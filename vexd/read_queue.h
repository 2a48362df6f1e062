// Read queue: one thread reads a log device into a bounded queue of whole
// reads, another takes them out to write and rotate the files, so the device
// is read on while a rotation compresses and syncs.
#pragma once

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "vexd.h"

// Bytes of each collector's queue, allocated once when its thread starts.
// Each read takes its length rounded up to 8 plus a 16-byte header: about 1 MiB
// of kernel log text, or about 8000 main log entries of 110 bytes.
constexpr uint32_t READ_QUEUE_BYTES = 1048576;

// A run of this many reads in a row that return 0 or fail is retried at once;
// after that, each retry waits READ_QUEUE_BACKOFF_MS.
constexpr uint32_t READ_QUEUE_FAIL_RUN = 16;
constexpr uint32_t READ_QUEUE_BACKOFF_MS = 5;

// Nice value of the reader threads (the daemon's other threads keep 0).
constexpr int READ_QUEUE_READER_NICE = -10;

// A reader wait not yet reported once the queue has drained is reported
// after this long anyway.
constexpr int64_t READ_QUEUE_REPORT_US = 10000000;

// One read as it came from the device.
struct read_queue_rec {
    char *data = nullptr;  // `len` bytes, the taker's until it releases them
    uint32_t len = 0;
    int64_t t = 0;      // tmr_get64() just after the read returned
    uint32_t size = 0;  // bytes the record holds in the queue
};

struct read_queue_t {
    const char *name = "";  // the device, for the daemon log
    uint8_t *buf = nullptr;
    uint32_t cap = 0;       // bytes of buf
    uint32_t max_read = 0;  // bytes asked of each read
    uint32_t rec_max = 0;   // room reserved for one read, header included
    int fd = -1;            // the device; the reader's alone
    const char *thread_name = "";

    // Guarded by mutex, a leaf: nothing else is taken under it.
    std::mutex mutex;
    std::condition_variable not_empty, not_full;
    uint32_t rd = 0;    // offset of the oldest record
    uint32_t wr = 0;    // offset where the reader puts the next one
    uint32_t used = 0;  // bytes from rd to wr, a skipped end of buf included
    bool taker_waits = false, reader_waits = false;
    // Reader waits for room not reported yet.
    int64_t wait_us = 0;
    uint32_t waits = 0;
    int64_t first_wait = 0;  // monotonic_us() of the first of them
    // A run of failed reads that has ended, not reported yet: its length.
    uint32_t failed_run = 0;
    // Counters for the tests, guarded by mutex: reads that returned 0 or failed.
    uint64_t failed_reads = 0;
    // The orderly stop: set by read_queue_stop; the reader reads no more,
    // the taker writes what the queue holds and then says it is done.
    bool stopping = false;
    bool taker_done = false;
    std::condition_variable done;
};

// A queue with `bytes` of room (at least two reads' worth) for reads of up to
// `max_read` bytes, or null when the memory cannot be had. It is never freed:
// its reader waits in it for the rest of the run (and a condition variable
// with a waiter must not be destroyed, not even at exit).
read_queue_t *read_queue_new(const char *name, uint32_t bytes, uint32_t max_read);

// Starts the reader thread, named `thread_name` (at most 15 characters): it
// reads `fd` for ever, each read whole into the queue, waiting while the
// queue has no room for another. The pthread_create result.
int read_queue_start_reader(read_queue_t *q, int fd, const char *thread_name, pthread_t *pt);

// Waits for the oldest read and hands it out; it stays in the queue until
// read_queue_release. One taker per queue. False, with nothing handed out,
// once the queue is stopped and empty: the taker then syncs its file and
// calls read_queue_taker_done.
bool read_queue_take(read_queue_t *q, read_queue_rec *rec);

// The taker will take nothing more (it stopped as asked, or ended early):
// read_queue_wait_done returns.
void read_queue_taker_done(read_queue_t *q);

// The orderly stop: the reader commits the read under way and reads no
// more (one that is still waiting in the device for data stays there, with
// nothing read), and the taker gets what the queue holds, then false.
void read_queue_stop(read_queue_t *q);

// Waits until the taker is done, at most until `deadline_us` of
// monotonic_us(). True when it was.
bool read_queue_wait_done(read_queue_t *q, int64_t deadline_us);

// The state of a collector that reads a device through a queue (the kernel
// and main logs).
struct read_queue_collector {
    explicit read_queue_collector(log_id id) : log(vexd_textlog_of(id)) {}
    // Named by the collector's init before the writer starts; then the
    // writer's, its appends and rotations under mutex against the copies
    // that the collector's getlogdata takes.
    vexd_textlog_t log;
    std::mutex mutex;
    pthread_t pt{};  // set once by the collector's init (main thread)
    // Reads on their way from the reader thread to the writer.
    std::atomic<read_queue_t *> queue{nullptr};  // atomic: set once by the writer; read by the orderly stop
    pthread_t rd_pt{};                           // set once by the writer
};

// A collector's orderly stop: read_queue_stop, then read_queue_wait_done.
// True at once for a collector that never got its queue.
bool read_queue_finish(read_queue_t *q, int64_t deadline_us);

// Held by a taker thread for as long as it takes: says it is done however
// the thread ends.
class read_queue_taker {
public:
    explicit read_queue_taker(read_queue_t *q) : q_(q) {}
    ~read_queue_taker() { read_queue_taker_done(q_); }
    read_queue_taker(const read_queue_taker &) = delete;
    read_queue_taker &operator=(const read_queue_taker &) = delete;

private:
    read_queue_t *q_;
};

// Gives back the room of the record that read_queue_take handed out, and
// logs (with vexd_printf, no lock held) how long the reader waited for room
// once a burst is over, and the end of a run of failed reads.
void read_queue_release(read_queue_t *q, const read_queue_rec *rec);
