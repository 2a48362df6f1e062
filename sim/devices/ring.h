// Log rings of the simulated handset: /proc/kmsg as a ring of bytes and
// /dev/log/main as a ring of whole logger entries. Like the kernel's printk
// buffer and the logger driver, a ring never makes its writer wait: what does
// not fit pushes out the oldest bytes (or whole entries), and the ring counts
// what it lost. Pure logic with no FUSE and no locking, so unit tests include
// it directly; simdevd.cpp guards both rings with its mutex.
//
// A ring also watches its reader: the time from answering one read to the
// arrival of the next is time the reader spent elsewhere (writing, rotating
// its files). The longest such gaps are kept, so a benchmark can see how long
// a reader stalls.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

constexpr uint32_t RING_KMSG_DEFAULT = 128 * 1024;  // a common printk buffer
constexpr uint32_t RING_MAIN_DEFAULT = 256 * 1024;  // the logger's main buffer
constexpr uint32_t RING_MIN_SIZE = 4096;
constexpr uint32_t RING_MAX_SIZE = 64u << 20;
constexpr uint32_t RING_ENTRY_HEADER = 20;   // logger entry, first layout
constexpr uint32_t RING_ENTRY_MAX = 4096;    // header and payload
constexpr uint64_t RING_STALL_NS = 1000000;  // gaps from 1 ms on are kept
constexpr size_t RING_STALLS_KEPT = 4096;

struct ring_t {
    bool entries = false;      // whole logger entries, one per read
    uint32_t size = 0;         // capacity in bytes
    std::vector<uint8_t> buf;  // `size` bytes once set up
    uint32_t head = 0;         // offset of the oldest byte
    uint32_t used = 0;
    std::deque<uint32_t> lens;  // entry ring: lengths, oldest first

    // Counters since the last reset (bytes, and entries for an entry ring).
    uint64_t fed = 0, dropped = 0, taken = 0;
    uint64_t fed_entries = 0, dropped_entries = 0, taken_entries = 0;
    uint32_t peak = 0;   // the most bytes held at once
    uint64_t reads = 0;  // reads answered
    uint64_t last_reply_ns = 0;
    uint64_t gap_max_ns = 0;
    std::vector<uint32_t> stalls_us;  // gaps of RING_STALL_NS and more, in order
};

// Sets a ring up empty with a capacity of `size` bytes; counters start at 0.
inline void ring_init(ring_t *r, bool entries, uint32_t size)
{
    *r = ring_t{};
    r->entries = entries;
    r->size = size;
    r->buf.assign(size, 0);
}

// Starts the counters again; the content stays.
inline void ring_reset_stats(ring_t *r)
{
    r->fed = r->dropped = r->taken = 0;
    r->fed_entries = r->dropped_entries = r->taken_entries = 0;
    r->peak = r->used;
    r->reads = 0;
    r->last_reply_ns = 0;
    r->gap_max_ns = 0;
    r->stalls_us.clear();
}

// Drops the n oldest bytes.
inline void ring_drop_front(ring_t *r, uint32_t n)
{
    r->head = static_cast<uint32_t>((static_cast<uint64_t>(r->head) + n) % r->size);
    r->used -= n;
    r->dropped += n;
}

// Copies n bytes in after the newest; the caller made room.
inline void ring_put(ring_t *r, const uint8_t *p, uint32_t n)
{
    uint32_t tail = static_cast<uint32_t>((static_cast<uint64_t>(r->head) + r->used) % r->size);
    uint32_t first = std::min(n, r->size - tail);
    memcpy(r->buf.data() + tail, p, first);
    memcpy(r->buf.data(), p + first, n - first);
    r->used += n;
    r->peak = std::max(r->peak, r->used);
}

// Copies out and removes the n oldest bytes.
inline void ring_get(ring_t *r, uint8_t *out, uint32_t n)
{
    uint32_t first = std::min(n, r->size - r->head);
    memcpy(out, r->buf.data() + r->head, first);
    memcpy(out + first, r->buf.data(), n - first);
    r->head = static_cast<uint32_t>((static_cast<uint64_t>(r->head) + n) % r->size);
    r->used -= n;
    r->taken += n;
}

// Length of the logger entry at p (header and payload), or 0 when fewer
// than `avail` bytes hold no whole entry of at most RING_ENTRY_MAX bytes.
inline uint32_t ring_entry_len(const uint8_t *p, size_t avail)
{
    if (avail < RING_ENTRY_HEADER) return 0;
    uint32_t len = RING_ENTRY_HEADER + (p[0] | static_cast<uint32_t>(p[1]) << 8);
    return len <= RING_ENTRY_MAX && len <= avail ? len : 0;
}

// Feeds one write. A byte ring keeps the newest `size` bytes. An entry ring
// takes a write only as a run of whole entries (several may come in one
// write) and pushes out the oldest whole entries to make room; an entry
// larger than the ring is lost at once. False, with nothing taken, when an
// entry ring is given a write that does not split into whole entries.
inline bool ring_feed(ring_t *r, const uint8_t *p, size_t n)
{
    if (r->entries) {
        for (size_t at = 0; at < n;) {
            uint32_t len = ring_entry_len(p + at, n - at);
            if (len == 0) return false;
            at += len;
        }
        for (size_t at = 0; at < n;) {
            uint32_t len = ring_entry_len(p + at, n - at);
            r->fed += len;
            r->fed_entries++;
            if (len > r->size) {
                r->dropped += len;
                r->dropped_entries++;
            } else {
                while (r->used + len > r->size) {
                    ring_drop_front(r, r->lens.front());
                    r->lens.pop_front();
                    r->dropped_entries++;
                }
                ring_put(r, p + at, len);
                r->lens.push_back(len);
            }
            at += len;
        }
        return true;
    }
    r->fed += n;
    if (n >= r->size) {
        r->dropped += n - r->size;
        ring_drop_front(r, r->used);
        ring_put(r, p + (n - r->size), r->size);
        return true;
    }
    uint32_t len = static_cast<uint32_t>(n);
    if (r->used + len > r->size) ring_drop_front(r, r->used + len - r->size);
    ring_put(r, p, len);
    return true;
}

// True when a read would find something to hand out.
inline bool ring_ready(const ring_t *r) { return r->used > 0; }

// Notes that a read arrived at now_ns; the gap since the last answer counts
// as time the reader spent away.
inline void ring_note_read(ring_t *r, uint64_t now_ns)
{
    if (r->last_reply_ns == 0 || now_ns < r->last_reply_ns) return;
    uint64_t gap = now_ns - r->last_reply_ns;
    r->gap_max_ns = std::max(r->gap_max_ns, gap);
    if (gap >= RING_STALL_NS && r->stalls_us.size() < RING_STALLS_KEPT)
        r->stalls_us.push_back(static_cast<uint32_t>(std::min<uint64_t>(gap / 1000, UINT32_MAX)));
    r->last_reply_ns = 0;
}

// Hands out what one read of `max` bytes gets: up to `max` of the oldest
// bytes, or the oldest whole entry. Returns the byte count, 0 when the ring
// is empty, or -1 when the oldest entry does not fit the read (it stays,
// like the logger driver's EINVAL).
inline int64_t ring_read(ring_t *r, uint8_t *out, size_t max, uint64_t now_ns)
{
    if (r->used == 0) return 0;
    uint32_t n;
    if (r->entries) {
        n = r->lens.front();
        if (n > max) return -1;
        r->lens.pop_front();
        r->taken_entries++;
    } else {
        n = static_cast<uint32_t>(std::min<size_t>(max, r->used));
    }
    ring_get(r, out, n);
    r->reads++;
    r->last_reply_ns = now_ns;
    return n;
}

// One line of counters, "NAME key=value ...", stalls as a comma list of
// microseconds ("-" when none).
inline std::string ring_stats(const ring_t *r, const char *name)
{
    char head[512];
    snprintf(head, sizeof head,
             "%s size=%u used=%u peak=%u fed=%llu dropped=%llu taken=%llu entries_fed=%llu "
             "entries_dropped=%llu entries_taken=%llu reads=%llu gap_max_us=%llu stalls_us=",
             name, r->size, r->used, r->peak, static_cast<unsigned long long>(r->fed),
             static_cast<unsigned long long>(r->dropped), static_cast<unsigned long long>(r->taken),
             static_cast<unsigned long long>(r->fed_entries),
             static_cast<unsigned long long>(r->dropped_entries),
             static_cast<unsigned long long>(r->taken_entries), static_cast<unsigned long long>(r->reads),
             static_cast<unsigned long long>(r->gap_max_ns / 1000));
    std::string s = head;
    if (r->stalls_us.empty()) s += '-';
    for (size_t i = 0; i < r->stalls_us.size(); i++) {
        if (i) s += ',';
        s += std::to_string(r->stalls_us[i]);
    }
    s += '\n';
    return s;
}
