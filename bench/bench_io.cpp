// bench_io: the host-side pieces of the benchmarks that run against the
// daemon in the simulated handset, and the plain baselines they are compared
// with. Each subcommand prints its figures as key=value lines on stdout.
//
//   bench_io gen-kmsg OUT BYTES SEED          realistic kernel log text
//   bench_io feed-stream FIFO FILE            write FILE into FIFO, wait until drained
//   bench_io copy-stream FIFO OUT BYTES       baseline: 4096-byte reads into a file
//   bench_io feed-packets FIFO COUNT SEED EXPECT
//                                             COUNT logger entries, one write each
//   bench_io copy-packets FIFO OUT COUNT      baseline: one read per entry, written unformatted
//   bench_io collect-stream FIFO DIR BYTES    baseline: the kernel log collector's required work
//                                             (4096-byte reads, one write each, a level-9 gzip
//                                             member of the text past every 256 KiB)
//   bench_io collect-packets FIFO DIR COUNT   baseline: the main log collector's required work
//                                             (one entry per read, formatted as a line, one
//                                             write each, a level-9 gzip member per 256 KiB)
//   bench_io collect-ring-stream DEV DIR      collect-stream on a ring device until killed, one
//                                             thread, each rotation synced as the daemon syncs it
//   bench_io collect-ring-packets DEV DIR     collect-packets likewise
//   bench_io feed-ring-stream FILE DATA RATE MS
//                                             DATA (repeated) at RATE bytes/s for MS milliseconds
//   bench_io feed-ring-entries FILE RATE MS SEED EXPECT
//                                             logger entries at RATE entries/s, those due each
//                                             millisecond in one write; their lines into EXPECT
//                                             ("-": none)
//   bench_io feed-kmsg-lines FILE RATE MS TAG
//                                             numbered lines "<6>TAG NNNNNNNN ..." of 120 bytes at
//                                             RATE lines/s for MS milliseconds, one write each (a
//                                             kernel log record each when FILE is /dev/kmsg)
//   bench_io copy-diag DEV OUT BYTES          baseline: 1 MiB reads from the diag device
//   bench_io echo-server PATH                 baseline: minimal framed Unix stream server
//   bench_io ping PATH COUNT                  ping round trips on one connection
//   bench_io wait-size PATH BYTES SECONDS     wait until the file holds BYTES (1 ms polls)
//
// "seconds" figures are wall-clock time of the measured part only; "end"
// is CLOCK_MONOTONIC (seconds), comparable with Python's time.monotonic();
// "cpu" is the process's user and system time over the measured part.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "full_io.h"
#include "subcommand.h"
#include "loggen.h"
#include "minimal.h"

namespace {

double now()
{
    struct timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double cpu_now()
{
    struct rusage ru {};
    getrusage(RUSAGE_SELF, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) * 1e-6;
}

[[noreturn]] void die(const char *what, const char *arg)
{
    fprintf(stderr, "bench_io: %s %s: %s\n", what, arg ? arg : "", strerror(errno));
    exit(1);
}

long long num(const char *s)
{
    char *end = nullptr;
    long long v = strtoll(s, &end, 0);
    if (end == s || *end != '\0' || v < 0) {
        fprintf(stderr, "bench_io: bad number %s\n", s);
        exit(2);
    }
    return v;
}

void write_all(int fd, const void *data, size_t len, const char *what)
{
    if (full_write(fd, data, len) < 0) die("write", what);
}

// Waits until everything written into the pipe has been read from it.
void wait_drained(int fd)
{
    for (;;) {
        int queued = 0;
        if (ioctl(fd, FIONREAD, &queued) != 0) die("FIONREAD", nullptr);
        if (queued == 0) return;
        struct timespec ts {
            0, 50000
        };
        nanosleep(&ts, nullptr);
    }
}

std::string read_file(const char *path)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) die("open", path);
    std::string s;
    char buf[65536];
    for (;;) {
        ssize_t n = retry_read(fd, buf, sizeof buf);
        if (n < 0) die("read", path);
        if (n == 0) break;
        s.append(buf, static_cast<size_t>(n));
    }
    close(fd);
    return s;
}

int open_out(const char *path)
{
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) die("open", path);
    return fd;
}

int gen_kmsg(char **argv)
{
    std::string text = loggen::kernel_text(static_cast<uint64_t>(num(argv[2])) + 1, num(argv[1]));
    int fd = open_out(argv[0]);
    write_all(fd, text.data(), text.size(), argv[0]);
    close(fd);
    printf("bytes=%zu\n", text.size());
    return 0;
}

// Writes the file into the FIFO in 64 KiB pieces (a writer like the kernel
// log's producer), then waits until the reader has taken the last byte.
int feed_stream(char **argv)
{
    std::string data = read_file(argv[1]);
    int fd = open(argv[0], O_WRONLY | O_CLOEXEC);
    if (fd < 0) die("open", argv[0]);
    const double start = now();
    for (size_t off = 0; off < data.size(); off += 65536) {
        size_t n = data.size() - off < 65536 ? data.size() - off : 65536;
        write_all(fd, data.data() + off, n, argv[0]);
    }
    wait_drained(fd);
    const double end = now();
    close(fd);
    printf("seconds=%.6f\nbytes=%zu\nend=%.6f\n", end - start, data.size(), end);
    return 0;
}

// The plain copy baselines: reads of up to 4096 bytes, each written as it
// came with one write, until argv[2] bytes (a stream) or reads (logger
// entries, one a read) have passed.
int copy_reads(char **argv, bool count_reads)
{
    const long long total = num(argv[2]);
    int in = open(argv[0], O_RDONLY | O_CLOEXEC);
    if (in < 0) die("open", argv[0]);
    int out = open_out(argv[1]);
    std::vector<char> buf(4096);
    long long got = 0;
    double start = 0;
    while (got < total) {
        ssize_t n = retry_read(in, buf.data(), buf.size());
        if (n < 0) die("read", argv[0]);
        if (n == 0) break;
        if (got == 0) start = now();
        write_all(out, buf.data(), static_cast<size_t>(n), argv[1]);
        got += count_reads ? 1 : n;
    }
    const double end = now();
    close(out);
    close(in);
    printf("seconds=%.6f\n%s=%lld\nend=%.6f\n", end - start, count_reads ? "entries" : "bytes", got, end);
    return got == total ? 0 : 1;
}

// Baseline of the kernel log collector: 4096-byte reads, each written to the
// file with one write.
int copy_stream(char **argv) { return copy_reads(argv, false); }

void print_timed(double start, double cpu_start, long long count, const char *what)
{
    const double end = now();
    printf("seconds=%.6f\ncpu=%.6f\n%s=%lld\nend=%.6f\n", end - start, cpu_now() - cpu_start, what, count,
           end);
}

// The kernel log collector's work: reads of up to 4096 bytes, each written
// with one write, the text compressed once it holds more than 262144 bytes.
// A total of 0 reads until the process is killed (a ring device).
int collect_stream_with(char **argv, long long total, bool durable)
{
    int in = open(argv[0], O_RDONLY | O_CLOEXEC);
    if (in < 0) die("open", argv[0]);
    minimal::pair_writer out(argv[1], "base_syslog", durable);
    std::vector<char> buf(4096);
    long long got = 0;
    double start = 0, cpu_start = 0;
    while (total == 0 || got < total) {
        ssize_t n = retry_read(in, buf.data(), buf.size());
        if (n < 0) die("read", argv[0]);
        if (n == 0) break;
        if (got == 0) {
            start = now();
            cpu_start = cpu_now();
        }
        out.put(buf.data(), static_cast<size_t>(n), LOG_KERNEL);
        got += n;
    }
    print_timed(start, cpu_start, got, "bytes");
    close(in);
    return got == total ? 0 : 1;
}

int collect_stream(char **argv) { return collect_stream_with(argv, num(argv[2]), false); }

// One-thread baseline of the ring figures: the kernel log collector's work
// on a ring device, rotations made safe against a power cut, until killed.
int collect_ring_stream(char **argv) { return collect_stream_with(argv, 0, true); }

// The main log collector's work: one entry per read, turned into one line
// stamped with this program's clock, one write per line, the text compressed
// once it reaches 262144 bytes.
int collect_packets_with(char **argv, long long count, bool durable)
{
    int in = open(argv[0], O_RDONLY | O_CLOEXEC);
    if (in < 0) die("open", argv[0]);
    minimal::pair_writer out(argv[1], "base_logcat", durable);
    static constexpr char letters[] = "??VDIWEFS";
    std::vector<char> buf(4100);
    std::vector<char> line(4096);
    long long got = 0;
    double start = 0, cpu_start = 0;
    while (count == 0 || got < count) {
        ssize_t n = retry_read(in, buf.data(), 4096);
        if (n < 0) die("read", argv[0]);
        if (n == 0) break;
        if (got == 0) {
            start = now();
            cpu_start = cpu_now();
        }
        auto *e = reinterpret_cast<unsigned char *>(buf.data());
        size_t len = e[0] | static_cast<size_t>(e[1]) << 8;
        if (len < 3 || len + 20 > static_cast<size_t>(n)) continue;
        int32_t pid;
        memcpy(&pid, e + 4, sizeof pid);
        char *payload = buf.data() + 20;
        const char *tag = payload + 1;
        const char *msg = tag + strlen(tag) + 1;
        if (payload[len - 2] == '\n') {
            payload[len] = 0;
        } else {
            payload[len - 1] = '\n';
            payload[len] = 0;
        }
        const double t = now() - start;
        const auto us = static_cast<unsigned long>(t * 1e6);
        unsigned char pri = static_cast<unsigned char>(payload[0]);
        int w = snprintf(line.data(), line.size(), "[%5lu.%06lu] %c/%-8s(%d): %s", us / 1000000, us % 1000000,
                         pri < 9 ? letters[pri] : '?', tag, pid, msg);
        size_t l = w < 0 ? 0 : std::min<size_t>(static_cast<size_t>(w), line.size() - 1);
        out.put(line.data(), l, LOG_MAIN);
        got++;
    }
    print_timed(start, cpu_start, got, "entries");
    close(in);
    return got == count ? 0 : 1;
}

int collect_packets(char **argv) { return collect_packets_with(argv, num(argv[2]), false); }

// One-thread baseline of the ring figures for the main log, until killed.
int collect_ring_packets(char **argv) { return collect_packets_with(argv, 0, true); }

void sleep_until(double t)
{
    struct timespec ts {};
    ts.tv_sec = static_cast<time_t>(t);
    ts.tv_nsec = static_cast<long>((t - static_cast<double>(ts.tv_sec)) * 1e9);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {}
}

// A steady feed of `total` items at `rate` a second from `start`: every
// millisecond, emit(sent, due) hands over the items from `sent` up to `due`,
// those fallen due since the start, so a feeder that falls behind
// (descheduled) catches up with its next write. Returns how late it fell at
// the most, in seconds.
template <class Emit>
double paced_feed(double rate, long long total, double start, Emit emit)
{
    double late_max = 0;
    for (long long k = 1, sent = 0; sent < total; k++) {
        const double due_at = start + static_cast<double>(k) * 1e-3;
        const long long due = std::min(total, static_cast<long long>(rate * (now() - start)));
        emit(sent, due);
        sent = std::max(sent, due);
        late_max = std::max(late_max, now() - due_at);
        sleep_until(due_at);
    }
    return late_max;
}

// A steady feed: every millisecond, what has fallen due since the start. A
// feeder that falls behind (descheduled) catches up with its next write.
int feed_ring_stream(char **argv)
{
    const std::string data = read_file(argv[1]);
    const double rate = static_cast<double>(num(argv[2]));
    const double seconds = static_cast<double>(num(argv[3])) / 1000.0;
    if (data.empty()) die("empty", argv[1]);
    int fd = open(argv[0], O_WRONLY | O_CLOEXEC);
    if (fd < 0) die("open", argv[0]);
    const auto total = static_cast<long long>(rate * seconds);
    const double start = now();
    const double late_max = paced_feed(rate, total, start, [&](long long sent, long long due) {
        while (sent < due) {
            size_t at = static_cast<size_t>(sent % static_cast<long long>(data.size()));
            size_t n = std::min<size_t>({static_cast<size_t>(due - sent), data.size() - at, size_t{65536}});
            write_all(fd, data.data() + at, n, argv[0]);
            sent += static_cast<long long>(n);
        }
    });
    const long long sent = total;
    const double end = now();
    close(fd);
    printf("seconds=%.6f\nbytes=%lld\nlate_max=%.6f\nend=%.6f\n", end - start, sent, late_max, end);
    return 0;
}

int feed_kmsg_lines(char **argv)
{
    const double rate = static_cast<double>(num(argv[1]));
    const double seconds = static_cast<double>(num(argv[2])) / 1000.0;
    int fd = open(argv[0], O_WRONLY | O_CLOEXEC);
    if (fd < 0) die("open", argv[0]);
    const auto total = static_cast<long long>(rate * seconds);
    const double start = now();
    char line[128];
    const double late_max = paced_feed(rate, total, start, [&](long long sent, long long due) {
        for (; sent < due; sent++) {
            const int n = snprintf(line, sizeof line, "<6>%s %08lld %-*s\n", argv[3], sent,
                                   static_cast<int>(106 - strlen(argv[3])), "feed");
            write_all(fd, line, static_cast<size_t>(n), argv[0]);
        }
    });
    const long long sent = total;
    const double end = now();
    close(fd);
    printf("seconds=%.6f\nlines=%lld\nlate_max=%.6f\nend=%.6f\n", end - start, sent, late_max, end);
    return 0;
}

std::vector<unsigned char> logger_entry(const loggen::entry &e)
{
    std::vector<unsigned char> payload;
    payload.push_back(e.pri);
    payload.insert(payload.end(), e.tag.begin(), e.tag.end());
    payload.push_back(0);
    payload.insert(payload.end(), e.msg.begin(), e.msg.end());
    payload.push_back(0);
    // Sized once and filled in place: growing a 20-byte vector by insert()
    // trips GCC 12's -Warray-bounds at -O2 and above.
    std::vector<unsigned char> out(20 + payload.size());
    auto put = [&](size_t at, uint32_t v, int width) {
        for (int i = 0; i < width; i++) out[at + i] = static_cast<unsigned char>(v >> (8 * i));
    };
    put(0, static_cast<uint32_t>(payload.size()), 2);
    put(4, static_cast<uint32_t>(e.pid), 4);
    put(8, static_cast<uint32_t>(e.tid), 4);
    put(12, 1700000000u, 4);
    put(16, 0, 4);
    memcpy(out.data() + 20, payload.data(), payload.size());
    return out;
}

// Writes COUNT entries into a FIFO in packet mode, one write each, and the
// text each should become (after the timestamp) into EXPECT.
int feed_packets(char **argv)
{
    const long long count = num(argv[1]);
    loggen::rng r(static_cast<uint64_t>(num(argv[2])) + 7);
    std::vector<std::vector<unsigned char>> entries;
    entries.reserve(static_cast<size_t>(count));
    std::string expect;
    static constexpr char letters[] = "??VDIWEFS";
    size_t bytes = 0;
    for (long long i = 0; i < count; i++) {
        loggen::entry e = loggen::main_entry(r);
        char head[64];
        snprintf(head, sizeof head, "%c/%-8s(%d): ", letters[e.pri], e.tag.c_str(), e.pid);
        expect += head;
        expect += e.msg;
        expect += '\n';
        entries.push_back(logger_entry(e));
        bytes += entries.back().size();
    }
    int ex = open_out(argv[3]);
    write_all(ex, expect.data(), expect.size(), argv[3]);
    close(ex);

    int fd = open(argv[0], O_WRONLY | O_CLOEXEC);
    if (fd < 0) die("open", argv[0]);
    if (fcntl(fd, F_SETFL, O_DIRECT) != 0) die("packet mode", argv[0]);
    const double start = now();
    for (const auto &e : entries) {
        if (retry_write(fd, e.data(), e.size()) != static_cast<ssize_t>(e.size())) die("write", argv[0]);
    }
    wait_drained(fd);
    const double end = now();
    close(fd);
    printf("seconds=%.6f\nentries=%lld\nbytes=%zu\nend=%.6f\n", end - start, count, bytes, end);
    return 0;
}

// Entries at a steady rate into a ring of the device server: every
// millisecond, the entries fallen due since the start, in writes of at most
// 64 KiB (a FUSE write larger than that could arrive cut). The entries cycle
// through a pool made beforehand.
int feed_ring_entries(char **argv)
{
    const double rate = static_cast<double>(num(argv[1]));
    const double seconds = static_cast<double>(num(argv[2])) / 1000.0;
    loggen::rng r(static_cast<uint64_t>(num(argv[3])) + 7);
    const bool expect = strcmp(argv[4], "-") != 0;
    static constexpr char letters[] = "??VDIWEFS";
    std::vector<std::vector<unsigned char>> pool;
    std::vector<std::string> lines;
    for (int i = 0; i < 8192; i++) {
        loggen::entry e = loggen::main_entry(r);
        char head[64];
        snprintf(head, sizeof head, "%c/%-8s(%d): ", letters[e.pri], e.tag.c_str(), e.pid);
        lines.push_back(head + e.msg + "\n");
        pool.push_back(logger_entry(e));
    }
    int fd = open(argv[0], O_WRONLY | O_CLOEXEC);
    if (fd < 0) die("open", argv[0]);
    const auto total = static_cast<long long>(rate * seconds);
    std::vector<unsigned char> batch;
    batch.reserve(65536 + 4096);
    const double start = now();
    long long bytes = 0;
    const double late_max = paced_feed(rate, total, start, [&](long long sent, long long due) {
        for (; sent < due; sent++) {
            const auto &e = pool[static_cast<size_t>(sent % 8192)];
            if (batch.size() + e.size() > 65536) {
                write_all(fd, batch.data(), batch.size(), argv[0]);
                batch.clear();
            }
            batch.insert(batch.end(), e.begin(), e.end());
            bytes += static_cast<long long>(e.size());
        }
        if (!batch.empty()) write_all(fd, batch.data(), batch.size(), argv[0]);
        batch.clear();
    });
    const long long sent = total;
    const double end = now();
    close(fd);
    if (expect) {
        int ex = open_out(argv[4]);
        std::string text;
        for (long long i = 0; i < sent; i++) {
            text += lines[static_cast<size_t>(i % 8192)];
            if (text.size() > (1 << 20)) {
                write_all(ex, text.data(), text.size(), argv[4]);
                text.clear();
            }
        }
        write_all(ex, text.data(), text.size(), argv[4]);
        close(ex);
    }
    printf("seconds=%.6f\nentries=%lld\nbytes=%lld\nlate_max=%.6f\nend=%.6f\n", end - start, sent, bytes,
           late_max, end);
    return 0;
}

// Baseline of the main log collector: one read per entry, the entry written
// as it came, with one write.
int copy_packets(char **argv) { return copy_reads(argv, true); }

// Baseline of the diag reader: 1 MiB reads from the device, each written whole.
int copy_diag(char **argv)
{
    const long long total = num(argv[2]);
    int in = open(argv[0], O_RDWR | O_CLOEXEC);
    if (in < 0) die("open", argv[0]);
    int out = open_out(argv[1]);
    std::vector<char> buf(1 << 20);
    long long got = 0;
    long long records = 0;
    printf("ready=%.6f\n", now());
    fflush(stdout);
    double start = 0;
    while (got < total) {
        ssize_t n = retry_read(in, buf.data(), buf.size());
        if (n < 0) die("read", argv[0]);
        if (n == 0) continue;
        if (got == 0) start = now();
        write_all(out, buf.data(), static_cast<size_t>(n), argv[1]);
        got += n;
        records++;
    }
    const double end = now();
    close(out);
    close(in);
    printf("seconds=%.6f\nbytes=%lld\nrecords=%lld\nend=%.6f\n", end - start, got, records, end);
    return 0;
}

bool recv_all(int fd, unsigned char *buf, size_t len)
{
    return full_recv(fd, buf, len, MSG_WAITALL) == static_cast<ssize_t>(len);
}

int unix_socket(const char *path, struct sockaddr_un *addr)
{
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) die("socket", nullptr);
    memset(addr, 0, sizeof *addr);
    addr->sun_family = AF_UNIX;
    if (strlen(path) >= sizeof addr->sun_path) {
        fprintf(stderr, "bench_io: socket path too long: %s\n", path);
        exit(2);
    }
    strcpy(addr->sun_path, path);
    return fd;
}

// Baseline of the control socket: reads each 4-byte request header (and its
// payload), answers with a 4-byte status frame; one connection, then exits.
int echo_server(char **argv)
{
    struct sockaddr_un addr;
    int lfd = unix_socket(argv[0], &addr);
    unlink(argv[0]);
    if (bind(lfd, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) != 0) die("bind", argv[0]);
    if (listen(lfd, 10) != 0) die("listen", argv[0]);
    printf("listening\n");
    fflush(stdout);
    int c = accept(lfd, nullptr, nullptr);
    if (c < 0) die("accept", argv[0]);
    std::vector<unsigned char> req(4100);
    unsigned char resp[4] = {0, 0, 0, 0};
    long long served = 0;
    while (recv_all(c, req.data(), 4)) {
        size_t len = req[2] | (req[3] << 8);
        if (len > 4096 || !recv_all(c, req.data() + 4, len)) break;
        if (send(c, resp, sizeof resp, MSG_NOSIGNAL) != 4) break;
        served++;
    }
    close(c);
    close(lfd);
    unlink(argv[0]);
    printf("served=%lld\n", served);
    return 0;
}

int ping(char **argv)
{
    const long long count = num(argv[1]);
    struct sockaddr_un addr;
    int fd = unix_socket(argv[0], &addr);
    if (connect(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) != 0) die("connect", argv[0]);
    const unsigned char req[4] = {0, 0, 0, 0};
    unsigned char resp[4];
    // A few round trips first, so that connection set-up is not timed.
    for (int i = 0; i < 100; i++) {
        if (send(fd, req, 4, MSG_NOSIGNAL) != 4 || !recv_all(fd, resp, 4)) die("ping", argv[0]);
    }
    long long bad = 0;
    const double start = now();
    for (long long i = 0; i < count; i++) {
        if (send(fd, req, 4, MSG_NOSIGNAL) != 4 || !recv_all(fd, resp, 4)) die("ping", argv[0]);
        if (resp[0] != 0 || resp[1] != 0 || resp[2] != 0 || resp[3] != 0) bad++;
    }
    const double end = now();
    close(fd);
    printf("seconds=%.6f\npings=%lld\nbad=%lld\n", end - start, count, bad);
    return bad == 0 ? 0 : 1;
}

// Waits until the file at PATH holds at least BYTES; prints when (end) and
// the size then. Exit status 1 when SECONDS pass first.
int wait_size(char **argv)
{
    const long long want = num(argv[1]);
    const double deadline = now() + static_cast<double>(num(argv[2]));
    struct stat st {};
    for (;;) {
        if (stat(argv[0], &st) == 0 && st.st_size >= want) break;
        if (now() > deadline) {
            printf("end=%.6f\nsize=%lld\n", now(), static_cast<long long>(st.st_size));
            return 1;
        }
        struct timespec ts {
            0, 1000000
        };
        nanosleep(&ts, nullptr);
    }
    printf("end=%.6f\nsize=%lld\n", now(), static_cast<long long>(st.st_size));
    return 0;
}

constexpr subcommand subcommands[] = {
    {"gen-kmsg", 3, gen_kmsg},
    {"feed-stream", 2, feed_stream},
    {"copy-stream", 3, copy_stream},
    {"feed-packets", 4, feed_packets},
    {"copy-packets", 3, copy_packets},
    {"copy-diag", 3, copy_diag},
    {"echo-server", 1, echo_server},
    {"ping", 2, ping},
    {"wait-size", 3, wait_size},
    {"collect-stream", 3, collect_stream},
    {"collect-packets", 3, collect_packets},
    {"feed-ring-stream", 4, feed_ring_stream},
    {"feed-ring-entries", 5, feed_ring_entries},
    {"feed-kmsg-lines", 4, feed_kmsg_lines},
    {"collect-ring-stream", 2, collect_ring_stream},
    {"collect-ring-packets", 2, collect_ring_packets},
};

}  // namespace

int main(int argc, char **argv)
{
    return subcommand_main(subcommands, argc, argv,
                           "usage: bench_io SUBCOMMAND ARGS... (see the head of bench_io.cpp)");
}
