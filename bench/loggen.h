// Deterministic, realistic log text for the benchmarks: kernel log lines,
// main log entries and daemon log messages with varying tags, numbers,
// addresses and words, so compression sees what a handset produces rather
// than one repeated line.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace loggen {

// xorshift64*: small, fast and the same on every run for a given seed.
class rng {
public:
    explicit rng(uint64_t seed) : s_(seed ? seed : 0x9E3779B97F4A7C15ull) {}
    uint64_t next()
    {
        s_ ^= s_ >> 12;
        s_ ^= s_ << 25;
        s_ ^= s_ >> 27;
        return s_ * 0x2545F4914F6CDD1Dull;
    }
    uint32_t below(uint32_t n) { return static_cast<uint32_t>((next() >> 32) % n); }

private:
    uint64_t s_;
};

template <size_t N>
std::string_view pick(rng &r, const std::array<std::string_view, N> &a)
{
    return a[r.below(N)];
}

constexpr std::array<std::string_view, 24> kernel_sources = {"wlan",
                                                             "msm_vidc",
                                                             "healthd",
                                                             "binder",
                                                             "lowmemorykiller",
                                                             "mdss_fb",
                                                             "ipa",
                                                             "qpnp_vadc",
                                                             "msm_thermal",
                                                             "usb",
                                                             "sdhci",
                                                             "EXT4-fs (mmcblk0p26)",
                                                             "audit",
                                                             "init",
                                                             "dwc3",
                                                             "smd_pkt",
                                                             "smbcharger",
                                                             "synaptics_dsx",
                                                             "cpufreq",
                                                             "PM",
                                                             "subsys-restart",
                                                             "pil-q6v5-mss",
                                                             "diag",
                                                             "msm_rmnet"};

constexpr std::array<std::string_view, 32> words = {
    "failed",   "request", "state", "resume", "suspend", "enable",  "disable", "timeout",
    "buffer",   "queue",   "irq",   "clock",  "voltage", "session", "channel", "client",
    "register", "release", "open",  "close",  "probe",   "done",    "retry",   "ready",
    "power",    "mode",    "event", "handle", "config",  "update",  "link",    "reset"};

constexpr std::array<std::string_view, 20> tags = {"ActivityManager",
                                                   "WifiStateMachine",
                                                   "PowerManagerService",
                                                   "time_daemon",
                                                   "RILJ",
                                                   "GsmSST",
                                                   "chatty",
                                                   "AudioFlinger",
                                                   "SurfaceFlinger",
                                                   "BatteryService",
                                                   "wpa_supplicant",
                                                   "Netd",
                                                   "ConnectivityService",
                                                   "InputReader",
                                                   "dex2oat",
                                                   "PackageManager",
                                                   "sensors",
                                                   "LocSvc_ApiV02",
                                                   "Zygote",
                                                   "vold"};

// A random word of lower-case letters, 3 to 9 long.
inline void add_word(rng &r, std::string &s)
{
    if (r.below(3) != 0) {
        s += pick(r, words);
        return;
    }
    uint32_t n = 3 + r.below(7);
    for (uint32_t i = 0; i < n; i++) s += static_cast<char>('a' + r.below(26));
}

// The free text of one message: words, numbers, hex values and key=value
// pairs, roughly `len` characters, no line break.
inline void add_text(rng &r, std::string &s, size_t len)
{
    char num[32];
    const size_t end = s.size() + len;
    while (s.size() < end) {
        switch (r.below(6)) {
        case 0:
            snprintf(num, sizeof num, "%u", r.below(100000));
            s += num;
            break;
        case 1:
            snprintf(num, sizeof num, "0x%08x", static_cast<unsigned>(r.next()));
            s += num;
            break;
        case 2:
            add_word(r, s);
            s += '=';
            snprintf(num, sizeof num, "%d", static_cast<int>(r.below(4096)) - 256);
            s += num;
            break;
        default: add_word(r, s); break;
        }
        s += r.below(8) == 0 ? ", " : " ";
    }
    s.pop_back();
}

// A message shape: fixed words with numeric fields in between, the way a
// driver's format strings look. Lines are drawn from a few hundred shapes,
// the common ones far more often, so the text compresses like real logs.
struct shape {
    std::string_view source;
    std::string text;  // '#' marks a decimal field, '%' a hex field
};

inline std::vector<shape> make_shapes(uint64_t seed, size_t count)
{
    rng r(seed);
    std::vector<shape> out;
    for (size_t i = 0; i < count; i++) {
        shape sh{pick(r, kernel_sources), {}};
        uint32_t tokens = 3 + r.below(9);
        for (uint32_t t = 0; t < tokens; t++) {
            if (t) sh.text += r.below(10) == 0 ? ", " : " ";
            switch (r.below(7)) {
            case 0: sh.text += '#'; break;
            case 1: sh.text += "0x%"; break;
            case 2:
                add_word(r, sh.text);
                sh.text += "=#";
                break;
            default: add_word(r, sh.text); break;
            }
        }
        out.push_back(std::move(sh));
    }
    return out;
}

// Fills the shape's fields: decimals stay small most of the time.
inline void fill_shape(rng &r, const std::string &text, std::string &s)
{
    char num[24];
    for (char c : text) {
        if (c == '#') {
            snprintf(num, sizeof num, "%u", r.below(8) ? r.below(64) : r.below(100000));
            s += num;
        } else if (c == '%') {
            snprintf(num, sizeof num, "%08x",
                     r.below(8) ? 0xc0de0000u + r.below(64) * 16 : static_cast<unsigned>(r.next()));
            s += num;
        } else {
            s += c;
        }
    }
}

// Index into `count` shapes, skewed so that a few shapes make most lines.
inline size_t skewed(rng &r, size_t count)
{
    double u = static_cast<double>(r.below(1u << 30)) / (1u << 30);
    return static_cast<size_t>(u * u * u * u * static_cast<double>(count));
}

// One kernel log line as /proc/kmsg gives it: "<P>[ SSSSS.UUUUUU] source: text\n".
inline void kernel_line(rng &r, const std::vector<shape> &shapes, std::string &s, uint64_t *clock_us)
{
    *clock_us += r.below(20000);
    const shape &sh = shapes[skewed(r, shapes.size())];
    char head[48];
    snprintf(head, sizeof head, "<%u>[%5llu.%06llu] ", 3 + static_cast<unsigned>(sh.text.size() % 5),
             static_cast<unsigned long long>(*clock_us / 1000000),
             static_cast<unsigned long long>(*clock_us % 1000000));
    s += head;
    s += sh.source;
    s += ": ";
    fill_shape(r, sh.text, s);
    s += '\n';
}

// Exactly `bytes` of kernel log text (the last line may be cut).
inline std::string kernel_text(uint64_t seed, size_t bytes)
{
    static const std::vector<shape> shapes = make_shapes(1, 400);
    rng r(seed);
    uint64_t clock = 1000000 + r.below(100000000);
    std::string s;
    s.reserve(bytes + 256);
    while (s.size() < bytes) kernel_line(r, shapes, s, &clock);
    s.resize(bytes);
    return s;
}

// One main log entry's fields.
struct entry {
    unsigned char pri;
    std::string tag;
    int32_t pid;
    int32_t tid;
    std::string msg;
};

inline entry main_entry(rng &r)
{
    entry e;
    e.pri = static_cast<unsigned char>(2 + r.below(5));
    static const std::vector<shape> shapes = make_shapes(2, 300);
    const size_t i = skewed(r, shapes.size());
    e.tag = std::string(tags[i % tags.size()]);
    e.pid = static_cast<int32_t>(300 + (i * 37) % 5000);
    e.tid = e.pid + static_cast<int32_t>(r.below(8));
    fill_shape(r, shapes[i].text, e.msg);
    return e;
}

}  // namespace loggen
