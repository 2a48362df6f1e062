// logfeed: writes Android logger entries into the handset's /dev/log/main.
//
//   logfeed --fifo PATH --pri N --tag TAG --pid N [--tid N] --msg TEXT
//           [--count N] [--rate PER_SECOND]
//   logfeed --fifo PATH --raw HEX [--raw HEX ...]
//   logfeed --help
//
// Entries use the logger driver's first layout, little-endian: 16-bit payload
// length, 16-bit pad, int32 pid, int32 tid, int32 sec, int32 nsec, then the
// payload: priority byte, tag, zero byte, message, zero byte. Like the driver,
// a payload longer than 4076 bytes is cut there (and so loses its terminator).
//
// PATH is normally the handset's DIR/logmain.fifo. A FIFO is switched to
// packet mode (O_DIRECT on the write end) and every entry goes out with one
// write, so each read on the other side returns exactly one entry, as the
// logger device does. --raw writes the given bytes verbatim, one write per
// --raw, so tests can hand the reader malformed entries. --rate paces the
// entries (entries per second, 0 = as fast as the reader takes them).
#include "full_io.h"

#include <fcntl.h>
#include <getopt.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr size_t kHeaderSize = 20;
constexpr size_t kMaxPayload = 4076;

using Bytes = std::vector<unsigned char>;

struct Options {
    const char *fifo = nullptr;
    long pri = -1;
    const char *tag = nullptr;
    long pid = 0;
    long tid = 0;
    bool have_pid = false;
    bool have_tid = false;
    const char *msg = nullptr;
    long count = 1;
    double rate = 0;
    std::vector<Bytes> raw;
};

void usage(FILE *out)
{
    fputs("usage: logfeed --fifo PATH --pri N --tag TAG --pid N [--tid N] --msg TEXT\n"
          "               [--count N] [--rate PER_SECOND]\n"
          "       logfeed --fifo PATH --raw HEX [--raw HEX ...]\n"
          "       logfeed --help\n"
          "\n"
          "Writes Android logger entries (first layout) into PATH, normally the simulated\n"
          "handset's DIR/logmain.fifo, one write per entry, so that each read of\n"
          "/dev/log/main inside returns one entry. --raw writes HEX bytes verbatim.\n"
          "--rate paces the entries (per second; 0, the default, as fast as they are read).\n"
          "Exit status: 0 written, 1 the output failed, 2 usage error.\n",
          out);
}

bool parse_long(const char *s, long min, long max, long *out)
{
    char *end = nullptr;
    errno = 0;
    long v = strtol(s, &end, 0);
    if (errno != 0 || end == s || *end != '\0' || v < min || v > max) return false;
    *out = v;
    return true;
}

int hex_digit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Pairs of hex digits; spaces and colons between bytes are ignored.
bool parse_hex(std::string_view s, Bytes *out)
{
    int high = -1;
    for (char c : s) {
        if (c == ' ' || c == ':') {
            if (high >= 0) return false;
            continue;
        }
        int d = hex_digit(c);
        if (d < 0) return false;
        if (high < 0) {
            high = d;
        } else {
            out->push_back(static_cast<unsigned char>(high << 4 | d));
            high = -1;
        }
    }
    return high < 0;
}

void put16(Bytes &b, uint32_t v)
{
    b.push_back(v & 0xff);
    b.push_back((v >> 8) & 0xff);
}

void put32(Bytes &b, uint32_t v)
{
    put16(b, v & 0xffff);
    put16(b, v >> 16);
}

Bytes make_entry(const Options &o)
{
    Bytes payload;
    payload.push_back(static_cast<unsigned char>(o.pri));
    std::string_view tag(o.tag), msg(o.msg);
    payload.insert(payload.end(), tag.begin(), tag.end());
    payload.push_back(0);
    payload.insert(payload.end(), msg.begin(), msg.end());
    payload.push_back(0);
    if (payload.size() > kMaxPayload) payload.resize(kMaxPayload);

    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    Bytes e;
    e.reserve(kHeaderSize + payload.size());
    put16(e, static_cast<uint32_t>(payload.size()));
    put16(e, 0);
    put32(e, static_cast<uint32_t>(o.pid));
    put32(e, static_cast<uint32_t>(o.have_tid ? o.tid : o.pid));
    put32(e, static_cast<uint32_t>(now.tv_sec));
    put32(e, static_cast<uint32_t>(now.tv_nsec));
    e.insert(e.end(), payload.begin(), payload.end());
    return e;
}

// Opens PATH for writing; a FIFO without a reader is an error rather than a
// wait, and a FIFO is put into packet mode.
int open_output(const char *path)
{
    int fd = open(path, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENXIO)
            fprintf(stderr, "logfeed: nobody reads %s (is the handset running?)\n", path);
        else if (errno == EISDIR)
            fprintf(stderr, "logfeed: %s is not a FIFO: the handset is not running\n", path);
        else
            fprintf(stderr, "logfeed: cannot open %s: %s\n", path, strerror(errno));
        return -1;
    }
    struct stat sb {};
    int flags = 0;
    if (fstat(fd, &sb) == 0 && S_ISFIFO(sb.st_mode)) flags = O_DIRECT;
    if (fcntl(fd, F_SETFL, flags) != 0) {
        fprintf(stderr, "logfeed: cannot set packet mode on %s: %s\n", path, strerror(errno));
        close(fd);
        return -1;
    }
    return fd;
}

bool write_entry(int fd, const Bytes &e)
{
    const ssize_t n = retry_write(fd, e.data(), e.size());  // one entry, one write
    if (n != static_cast<ssize_t>(e.size())) {
        if (n < 0)
            fprintf(stderr, "logfeed: write failed: %s\n", strerror(errno));
        else
            fprintf(stderr, "logfeed: short write (%zd of %zu bytes)\n", n, e.size());
        return false;
    }
    return true;
}

// Sleeps until entry number i (from 0) is due at the given rate.
void pace(const timespec &start, long i, double rate)
{
    if (rate <= 0) return;
    double at = static_cast<double>(i) / rate;
    timespec due = start;
    auto whole = static_cast<time_t>(at);
    due.tv_sec += whole;
    due.tv_nsec += static_cast<long>((at - static_cast<double>(whole)) * 1e9);
    if (due.tv_nsec >= 1000000000L) {
        due.tv_sec += 1;
        due.tv_nsec -= 1000000000L;
    }
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &due, nullptr) == EINTR) {}
}

enum { OPT_FIFO = 256, OPT_PRI, OPT_TAG, OPT_PID, OPT_TID, OPT_MSG, OPT_COUNT, OPT_RATE, OPT_RAW };

constexpr struct option long_options[] = {
    {"help", no_argument, nullptr, 'h'},
    {"fifo", required_argument, nullptr, OPT_FIFO},
    {"pri", required_argument, nullptr, OPT_PRI},
    {"tag", required_argument, nullptr, OPT_TAG},
    {"pid", required_argument, nullptr, OPT_PID},
    {"tid", required_argument, nullptr, OPT_TID},
    {"msg", required_argument, nullptr, OPT_MSG},
    {"count", required_argument, nullptr, OPT_COUNT},
    {"rate", required_argument, nullptr, OPT_RATE},
    {"raw", required_argument, nullptr, OPT_RAW},
    {nullptr, 0, nullptr, 0},
};

// 0 to go on, otherwise the exit status (with --help, 0 after the usage).
int parse_args(int argc, char **argv, Options *o, bool *done)
{
    opterr = 0;
    int c;
    int at = 0;
    while ((c = getopt_long(argc, argv, ":h", long_options, &at)) != -1) {
        const char *v = optarg;
        const char *name = c >= OPT_FIFO ? long_options[at].name : nullptr;
        bool ok = true;
        switch (c) {
        case 'h':
            usage(stdout);
            *done = true;
            return 0;
        case ':': fprintf(stderr, "logfeed: %s needs a value\n", argv[optind - 1]); return 2;
        case '?': fprintf(stderr, "logfeed: unknown option %s\n", argv[optind - 1]); return 2;
        case OPT_FIFO: o->fifo = v; break;
        case OPT_PRI: ok = parse_long(v, 0, 255, &o->pri); break;
        case OPT_TAG: o->tag = v; break;
        case OPT_PID:
            ok = parse_long(v, INT32_MIN, INT32_MAX, &o->pid);
            o->have_pid = true;
            break;
        case OPT_TID:
            ok = parse_long(v, INT32_MIN, INT32_MAX, &o->tid);
            o->have_tid = true;
            break;
        case OPT_MSG: o->msg = v; break;
        case OPT_COUNT: ok = parse_long(v, 0, INT32_MAX, &o->count); break;
        case OPT_RATE: {
            char *end = nullptr;
            o->rate = strtod(v, &end);
            ok = end != v && *end == '\0' && o->rate >= 0;
            break;
        }
        case OPT_RAW: {
            Bytes b;
            ok = parse_hex(v, &b) && !b.empty();
            if (ok) o->raw.push_back(std::move(b));
            break;
        }
        default: return 2;
        }
        if (!ok) {
            fprintf(stderr, "logfeed: bad value for --%s: '%s'\n", name, v);
            return 2;
        }
    }
    if (optind < argc) {
        fprintf(stderr, "logfeed: unexpected argument %s\n", argv[optind]);
        return 2;
    }
    if (o->fifo == nullptr) {
        fputs("logfeed: --fifo is needed\n", stderr);
        return 2;
    }
    bool entry = o->pri >= 0 || o->tag || o->have_pid || o->msg;
    if (!o->raw.empty()) {
        if (entry) fputs("logfeed: --raw goes without --pri, --tag, --pid and --msg\n", stderr);
        return entry ? 2 : 0;
    }
    if (o->pri < 0 || o->tag == nullptr || o->msg == nullptr || !o->have_pid) {
        fputs("logfeed: --pri, --tag, --pid and --msg are all needed\n", stderr);
        return 2;
    }
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    Options o;
    bool done = false;
    if (int rc = parse_args(argc, argv, &o, &done); rc != 0 || done) {
        if (rc != 0) fputs("logfeed: logfeed --help shows the usage\n", stderr);
        return rc;
    }
    int fd = open_output(o.fifo);
    if (fd < 0) return 1;

    int rc = 0;
    if (!o.raw.empty()) {
        for (const Bytes &b : o.raw) {
            if (!write_entry(fd, b)) {
                rc = 1;
                break;
            }
        }
    } else {
        timespec start{};
        clock_gettime(CLOCK_MONOTONIC, &start);
        for (long i = 0; i < o.count; i++) {
            pace(start, i, o.rate);
            if (!write_entry(fd, make_entry(o))) {
                rc = 1;
                break;
            }
        }
    }
    close(fd);
    return rc;
}
