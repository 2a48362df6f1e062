// simdevd's device model: control lines, record contents and the PMIC files'
// texts. Pure logic with no FUSE and no locking, so unit tests include it
// directly; simdevd.cpp guards one instance with its mutex.
#pragma once

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <string>
#include <string_view>

#include "ring.h"

constexpr uint32_t SIMDEVD_DATA_TYPE = 0x20;    // data record type word
constexpr uint32_t SIMDEVD_DEINIT_TYPE = 0x10;  // answers request 9
constexpr uint32_t SIMDEVD_DEINIT_SIZE = 8;     // type word and sequence number
// The largest record: one FUSE read request carries 256 pages, so this much
// fits in one request whatever the alignment of the reader's buffer. A larger
// record would arrive in pieces, the later ones parked as new reads.
constexpr uint32_t SIMDEVD_MAX_RECORD = 1048576 - 4096;
constexpr uint32_t SIMDEVD_MAX_RATE = 100000;       // records per second
constexpr uint32_t SIMDEVD_MAX_SPMI_COUNT = 256;    // bytes in one register dump
constexpr uint32_t SIMDEVD_GPIO_REGISTER = 0xCB08;  // register holding the strap GPIO level

// The PMIC files, by their names in the mount root and in "pmic absent NAME".
enum simdevd_pmic { PMIC_SPMI_ADDRESS, PMIC_SPMI_COUNT, PMIC_SPMI_DATA, PMIC_INVERT, PMIC_RF_ID, PMIC_COUNT };
constexpr std::array<std::string_view, PMIC_COUNT> simdevd_pmic_names = {"spmi_address", "spmi_count",
                                                                         "spmi_data", "invert", "rf_id"};

enum simdevd_access { ACCESS_PRESENT, ACCESS_ABSENT, ACCESS_UNREADABLE };

enum simdevd_op {
    CTL_NONE,          // blank line or comment
    CTL_DIAG_BURST,    // count, size
    CTL_DIAG_RATE,     // count (per second), size
    CTL_DIAG_EMIT,     // type, size
    CTL_DIAG_REFUSE7,  // value 0/1
    CTL_DIAG_REFUSE9,  // value 0/1
    CTL_DIAG_IGNORE9,  // value 0/1
    CTL_PMIC_GPIO,     // value: the register byte (0 or 1 in practice)
    CTL_PMIC_ADC,      // value: the "Result" of rf_id
    CTL_PMIC_ACCESS,   // pmic, access
    CTL_RING_SIZE,     // ring, size: set up anew, empty
    CTL_RING_RESET,    // ring: counters start again
};

// The log rings, by their names in control lines.
enum simdevd_ring { RING_KMSG, RING_MAIN, RING_COUNT };
constexpr std::array<std::string_view, RING_COUNT> simdevd_ring_names = {"kmsg", "main"};

// One parsed control line.
struct simdevd_ctl_t {
    simdevd_op op = CTL_NONE;
    uint64_t count = 0;
    uint32_t type = 0;
    uint32_t size = 0;
    int64_t value = 0;
    int pmic = -1;
    simdevd_access access = ACCESS_PRESENT;
    int ring = -1;
};

// Work queued by burst and emit lines, handed out in order.
struct simdevd_job_t {
    uint32_t type;
    uint32_t size;
    uint64_t count;
};

// Everything the control lines set and the devices show.
struct simdevd_model_t {
    std::deque<simdevd_job_t> jobs;
    uint32_t rate = 0;  // records per second, 0 = off
    uint32_t rate_size = 0;
    uint64_t rate_start_ns = 0;  // when the rate was set
    uint64_t rate_ticks = 0;     // rate records fallen due since then
    uint64_t owed = 0;           // rate records due but not handed out yet
    bool refuse7 = false, refuse9 = false, ignore9 = false;
    uint32_t seq = 0;  // records handed out so far, any type

    uint32_t spmi_address = 0;
    uint32_t spmi_count = 0;
    uint8_t gpio_reg = 0;
    int64_t adc = 0;
    std::string invert = "0";
    std::array<simdevd_access, PMIC_COUNT> access{};

    std::array<ring_t, RING_COUNT> rings;  // /proc/kmsg and /dev/log/main
};

// Sets the log rings up at their default sizes.
inline void simdevd_rings_init(simdevd_model_t *m)
{
    ring_init(&m->rings[RING_KMSG], false, RING_KMSG_DEFAULT);
    ring_init(&m->rings[RING_MAIN], true, RING_MAIN_DEFAULT);
}

// Parses a whole token as an integer: decimal, or hexadecimal after "0x";
// a leading '-' only when min is negative. False when it is no number or
// lies outside [min, max].
inline bool simdevd_parse_int(std::string_view s, int64_t min, int64_t max, int64_t *out)
{
    bool neg = !s.empty() && s[0] == '-';
    if (neg) {
        if (min >= 0) return false;
        s.remove_prefix(1);
    }
    int base = 10;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        base = 16;
        s.remove_prefix(2);
    }
    if (s.empty() || s[0] == '+' || s[0] == '-') return false;
    uint64_t mag = 0;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), mag, base);
    if (ec != std::errc() || end != s.data() + s.size()) return false;
    if (neg) {
        if (mag > static_cast<uint64_t>(INT64_MAX) + 1) return false;
        int64_t v = mag == static_cast<uint64_t>(INT64_MAX) + 1 ? INT64_MIN : -static_cast<int64_t>(mag);
        if (v < min) return false;
        *out = v;
        return true;
    }
    if (mag > static_cast<uint64_t>(max) || static_cast<int64_t>(mag) < min) return false;
    *out = static_cast<int64_t>(mag);
    return true;
}

inline int simdevd_pmic_index(std::string_view name)
{
    for (int i = 0; i < PMIC_COUNT; i++)
        if (simdevd_pmic_names[i] == name) return i;
    return -1;
}

// Parses one control line (see sim/README.md). Returns 0 with *cmd filled
// (op CTL_NONE for a blank line or a '#' comment), or -1 with the reason in
// *err. Nothing is applied here.
inline int simdevd_parse_ctl(std::string_view line, simdevd_ctl_t *cmd, std::string *err)
{
    std::array<std::string_view, 5> tok;
    size_t n = 0;
    for (size_t i = 0; i < line.size();) {
        if (line[i] == ' ' || line[i] == '\t' || line[i] == '\r' || line[i] == '\n') {
            i++;
            continue;
        }
        size_t j = i;
        while (j < line.size() && line[j] != ' ' && line[j] != '\t' && line[j] != '\r' && line[j] != '\n')
            j++;
        if (n == tok.size()) {
            *err = "too many words";
            return -1;
        }
        tok[n++] = line.substr(i, j - i);
        i = j;
    }
    *cmd = simdevd_ctl_t{};
    if (n == 0 || tok[0][0] == '#') return 0;

    auto fail = [&](const char *why) {
        *err = why;
        return -1;
    };
    auto num = [&](size_t i, int64_t min, int64_t max, int64_t *out) {
        return i < n && simdevd_parse_int(tok[i], min, max, out);
    };
    int64_t a = 0, b = 0;
    std::string_view dev = tok[0], verb = n > 1 ? tok[1] : std::string_view();

    if (dev == "diag") {
        if (verb == "burst" || verb == "rate") {
            bool burst = verb == "burst";
            int64_t max = burst ? INT64_MAX : SIMDEVD_MAX_RATE;
            if (n == 3 && !burst && num(2, 0, 0, &a)) {  // "diag rate 0" stops without a size
                cmd->op = CTL_DIAG_RATE;
                return 0;
            }
            if (n != 4 || !num(2, 0, max, &a) || !num(3, 4, SIMDEVD_MAX_RECORD, &b))
                return fail(burst ? "usage: diag burst COUNT SIZE (SIZE 4..1044480)"
                                  : "usage: diag rate PER_SECOND SIZE (rate 0..100000, SIZE 4..1044480)");
            cmd->op = burst ? CTL_DIAG_BURST : CTL_DIAG_RATE;
            cmd->count = static_cast<uint64_t>(a);
            cmd->size = static_cast<uint32_t>(b);
            return 0;
        }
        if (verb == "emit") {
            if (n != 4 || !num(2, 0, UINT32_MAX, &a) || !num(3, 0, SIMDEVD_MAX_RECORD, &b))
                return fail("usage: diag emit TYPE SIZE (SIZE 0..1044480)");
            cmd->op = CTL_DIAG_EMIT;
            cmd->type = static_cast<uint32_t>(a);
            cmd->size = static_cast<uint32_t>(b);
            return 0;
        }
        simdevd_op op = verb == "refuse7"   ? CTL_DIAG_REFUSE7
                        : verb == "refuse9" ? CTL_DIAG_REFUSE9
                        : verb == "ignore9" ? CTL_DIAG_IGNORE9
                                            : CTL_NONE;
        if (op == CTL_NONE) return fail("unknown diag control");
        if (n != 3 || !num(2, 0, 1, &a)) return fail("usage: diag refuse7|refuse9|ignore9 0|1");
        cmd->op = op;
        cmd->value = a;
        return 0;
    }
    if (dev == "pmic") {
        if (verb == "gpio") {
            if (n != 3 || !num(2, 0, 255, &a)) return fail("usage: pmic gpio 0|1 (or a register byte)");
            cmd->op = CTL_PMIC_GPIO;
            cmd->value = a;
            return 0;
        }
        if (verb == "adc") {
            if (n != 3 || !num(2, INT64_MIN, INT64_MAX, &a)) return fail("usage: pmic adc N");
            cmd->op = CTL_PMIC_ADC;
            cmd->value = a;
            return 0;
        }
        if (verb == "absent" || verb == "unreadable" || verb == "present") {
            int pmic = n == 3 ? simdevd_pmic_index(tok[2]) : -1;
            if (pmic < 0)
                return fail(
                    "usage: pmic absent|unreadable|present spmi_address|spmi_count|spmi_data|invert|rf_id");
            cmd->op = CTL_PMIC_ACCESS;
            cmd->pmic = pmic;
            cmd->access = verb == "absent"       ? ACCESS_ABSENT
                          : verb == "unreadable" ? ACCESS_UNREADABLE
                                                 : ACCESS_PRESENT;
            return 0;
        }
        return fail("unknown pmic control");
    }
    if (dev == "ring") {
        std::string_view what = n > 2 ? tok[2] : std::string_view();
        int ring = verb == "kmsg" ? RING_KMSG : verb == "main" ? RING_MAIN : -1;
        if (ring >= 0 && what == "size" && n == 4 && num(3, RING_MIN_SIZE, RING_MAX_SIZE, &a)) {
            cmd->op = CTL_RING_SIZE;
            cmd->ring = ring;
            cmd->size = static_cast<uint32_t>(a);
            return 0;
        }
        if (ring >= 0 && what == "reset" && n == 3) {
            cmd->op = CTL_RING_RESET;
            cmd->ring = ring;
            return 0;
        }
        return fail("usage: ring kmsg|main size BYTES (4096..67108864), or ring kmsg|main reset");
    }
    return fail("unknown device (diag, pmic or ring)");
}

// Brings the rate records due by now_ns into m->owed. At most one second's
// worth is kept back while no reader takes them.
inline void simdevd_tick(simdevd_model_t *m, uint64_t now_ns)
{
    if (m->rate == 0 || now_ns < m->rate_start_ns) return;
    uint64_t el = now_ns - m->rate_start_ns;
    uint64_t due = el / 1000000000u * m->rate + el % 1000000000u * m->rate / 1000000000u;
    m->owed = std::min<uint64_t>(m->owed + (due - m->rate_ticks), m->rate);
    m->rate_ticks = due;
}

// When the next rate record falls due (steady-clock ns), or 0 with no rate.
inline uint64_t simdevd_next_due_ns(const simdevd_model_t *m)
{
    if (m->rate == 0) return 0;
    // ceil(k * 1e9 / rate) for tick k, split so that no product passes 64
    // bits (there is no 128-bit integer on 32-bit targets): k = q * rate + r.
    const uint64_t k = m->rate_ticks + 1;
    const uint64_t q = k / m->rate;
    const uint64_t r = k % m->rate;
    return m->rate_start_ns + q * 1000000000u + (r * 1000000000u + m->rate - 1) / m->rate;
}

inline void simdevd_apply(simdevd_model_t *m, const simdevd_ctl_t &c, uint64_t now_ns)
{
    switch (c.op) {
    case CTL_NONE: break;
    case CTL_DIAG_BURST:
    case CTL_DIAG_EMIT: {
        simdevd_job_t job{c.op == CTL_DIAG_EMIT ? c.type : SIMDEVD_DATA_TYPE, c.size,
                          c.op == CTL_DIAG_EMIT ? 1 : c.count};
        if (job.count == 0) break;
        if (!m->jobs.empty() && m->jobs.back().type == job.type && m->jobs.back().size == job.size)
            m->jobs.back().count += job.count;
        else
            m->jobs.push_back(job);
        break;
    }
    case CTL_DIAG_RATE:
        m->rate = static_cast<uint32_t>(c.count);
        m->rate_size = c.size;
        m->rate_start_ns = now_ns;
        m->rate_ticks = 0;
        m->owed = 0;
        break;
    case CTL_DIAG_REFUSE7: m->refuse7 = c.value != 0; break;
    case CTL_DIAG_REFUSE9: m->refuse9 = c.value != 0; break;
    case CTL_DIAG_IGNORE9: m->ignore9 = c.value != 0; break;
    case CTL_PMIC_GPIO: m->gpio_reg = static_cast<uint8_t>(c.value); break;
    case CTL_PMIC_ADC: m->adc = c.value; break;
    case CTL_PMIC_ACCESS: m->access[c.pmic] = c.access; break;
    case CTL_RING_SIZE: ring_init(&m->rings[c.ring], c.ring == RING_MAIN, c.size); break;
    case CTL_RING_RESET: ring_reset_stats(&m->rings[c.ring]); break;
    }
}

// The next data source's record (queued burst/emit records first, then the
// rate), without taking it. False when none is due.
inline bool simdevd_peek(simdevd_model_t *m, uint64_t now_ns, uint32_t *type, uint32_t *size)
{
    if (!m->jobs.empty()) {
        *type = m->jobs.front().type;
        *size = m->jobs.front().size;
        return true;
    }
    simdevd_tick(m, now_ns);
    if (m->owed == 0) return false;
    *type = SIMDEVD_DATA_TYPE;
    *size = m->rate_size;
    return true;
}

// Takes the record that simdevd_peek showed, once a reader got it.
inline void simdevd_take(simdevd_model_t *m)
{
    if (!m->jobs.empty()) {
        if (--m->jobs.front().count == 0) m->jobs.pop_front();
    } else if (m->owed > 0) {
        m->owed--;
    }
}

// Fills the first n bytes of a record: the type word and the sequence
// number (both little-endian), then byte i holds (seq + i) & 0xff. A record
// cut short is the same prefix as the whole record.
inline void simdevd_fill_record(uint8_t *buf, size_t n, uint32_t type, uint32_t seq)
{
    uint8_t head[8];
    for (int i = 0; i < 4; i++) {
        head[i] = static_cast<uint8_t>(type >> (8 * i));
        head[4 + i] = static_cast<uint8_t>(seq >> (8 * i));
    }
    memcpy(buf, head, std::min<size_t>(n, sizeof head));
    for (size_t i = sizeof head; i < n; i++) buf[i] = static_cast<uint8_t>(seq + i);
}

// Bytes as lower-case hex, no separators.
inline std::string simdevd_hex(const void *data, size_t len)
{
    static constexpr char digits[] = "0123456789abcdef";
    const auto *p = static_cast<const uint8_t *>(data);
    std::string s(2 * len, '0');
    for (size_t i = 0; i < len; i++) {
        s[2 * i] = digits[p[i] >> 4];
        s[2 * i + 1] = digits[p[i] & 15];
    }
    return s;
}

// The register dump that the SPMI "data" file shows: rows of 16 registers,
// each row "%04x" with its first address, then "--" for the registers before
// the requested one, then the values. Register 0xCB08 holds the GPIO byte,
// every other register reads 0.
inline std::string simdevd_spmi_dump(uint32_t addr, uint32_t count, uint8_t gpio_reg)
{
    std::string out;
    char cell[16];
    count = std::min(count, SIMDEVD_MAX_SPMI_COUNT);
    for (uint32_t a = addr; a < addr + count; a++) {
        if (a == addr || a % 16 == 0) {
            if (a != addr) out += '\n';
            snprintf(cell, sizeof cell, "%04x", a & ~15u);
            out += cell;
            for (uint32_t f = a & ~15u; f < a; f++) out += " --";
        }
        snprintf(cell, sizeof cell, " %02x", a == SIMDEVD_GPIO_REGISTER ? gpio_reg : 0u);
        out += cell;
    }
    if (!out.empty()) out += '\n';
    return out;
}

// The text of rf_id: the conversion result and a raw code that goes with it.
inline std::string simdevd_rf_id(int64_t result)
{
    char buf[64];
    snprintf(buf, sizeof buf, "Result:%lld Raw:%lld\n", static_cast<long long>(result),
             static_cast<long long>(result / 64));
    return buf;
}
