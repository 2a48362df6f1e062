// bench_lib: library-level benchmarks of the daemon's own code (vexd_core),
// each against a baseline timed in the same run. Linked with the test
// support library, so nothing reaches the host's kernel log; every file goes
// into the folder given on the command line.
//
//   bench_lib printf DIR LINES ROUNDS    daemon log, 1 and 4 threads, vs a minimal log writer
//                                        (timestamped line, one write, level-9 member per 64 KiB)
//                                        and vs one plain write() per line
//   bench_lib compress DIR ROUNDS        file_compress of 256 KiB of log text vs the same
//                                        member made in this process, and vs `gzip -9`
//   bench_lib archive DIR MIB ROUNDS     vexd_archive_all of a MIB MiB log directory vs `zip -9 -r`
//
// Output: key=value lines; the figures of every round, in order, as comma
// lists (rounds of the daemon and of its baselines alternate).
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "file_compress.h"
#include "loggen.h"
#include "minimal.h"
#include "subcommand.h"
#include "tmr.h"
#include "vexd.h"  // last: it replaces the C library's assert

namespace {

double now()
{
    struct timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

[[noreturn]] void die(const char *what, const std::string &arg)
{
    fprintf(stderr, "bench_lib: %s %s: %s\n", what, arg.c_str(), strerror(errno));
    exit(1);
}

long long num(const char *s)
{
    char *end = nullptr;
    long long v = strtoll(s, &end, 0);
    if (end == s || *end != '\0' || v <= 0) {
        fprintf(stderr, "bench_lib: bad number %s\n", s);
        exit(2);
    }
    return v;
}

void write_file(const std::string &path, std::string_view data)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) die("open", path);
    while (!data.empty()) {
        ssize_t n = write(fd, data.data(), data.size());
        if (n <= 0) die("write", path);
        data.remove_prefix(static_cast<size_t>(n));
    }
    close(fd);
}

long long file_size(const std::string &path)
{
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

// Runs argv (in `dir` when given, stdout to `out` when given); wall-clock
// seconds, or a negative value when the command failed.
double run_timed(const std::vector<std::string> &args, const char *dir, const char *out)
{
    std::vector<char *> argv;
    for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    const double start = now();
    pid_t pid = fork();
    if (pid < 0) die("fork", args[0]);
    if (pid == 0) {
        if (dir != nullptr && chdir(dir) != 0) _exit(126);
        if (out != nullptr) {
            int fd = open(out, O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (fd < 0 || dup2(fd, 1) < 0) _exit(126);
            close(fd);
        }
        execvp(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {}
    const double end = now();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
    return end - start;
}

std::string list(const std::vector<double> &v)
{
    std::string s;
    char buf[32];
    for (double x : v) {
        snprintf(buf, sizeof buf, "%s%.6f", s.empty() ? "" : ",", x);
        s += buf;
    }
    return s;
}

// Points the daemon's files (log directory, startup counter) into `dir`.
void setup_daemon(const std::string &dir)
{
    static std::string keep;
    keep = dir;
    vexd_log_dir_path = keep.c_str();
    static std::string startcnt;
    startcnt = dir + "/../vexd_startcnt";
    vexd_set_startcnt_path(startcnt.c_str());
    tmr_init();
}

// ---------------------------------------------------------------- printf

constexpr size_t PRINTF_MSG_LEN = 80;  // with its line break; the line is 21 + 80 bytes

// Runs `body(thread index, first line, line count)` on `threads` threads
// started together; wall-clock seconds.
template <typename F>
double on_threads(int threads, long long lines, F body)
{
    std::atomic<int> ready{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; t++) {
        pool.emplace_back([&, t] {
            ready++;
            while (!go.load()) std::this_thread::yield();
            body(t, lines * t / threads, lines * (t + 1) / threads - lines * t / threads);
        });
    }
    while (ready.load() < threads) std::this_thread::yield();
    const double start = now();
    go = true;
    for (auto &th : pool) th.join();
    return now() - start;
}

int bench_printf(char **argv)
{
    const std::string dir = argv[0];
    const long long lines = num(argv[1]);
    const long long rounds = num(argv[2]);
    setup_daemon(dir);

    // A pool of realistic messages, each exactly PRINTF_MSG_LEN bytes.
    loggen::rng r(42);
    std::vector<std::string> msgs;
    for (int i = 0; i < 256; i++) {
        std::string m;
        loggen::add_text(r, m, PRINTF_MSG_LEN * 2);
        m.resize(PRINTF_MSG_LEN - 1);
        m += '\n';
        msgs.push_back(m);
    }
    // The same messages as whole lines, for the plain writer.
    std::vector<std::string> full;
    for (const std::string &m : msgs) full.push_back("[   12.345678] vexd: " + m);

    vexd_printf("bench: daemon log set up\n");  // opens the log outside the timing
    const std::string base_path = dir + "/baseline_log.txt";
    for (int threads : {1, 4}) {
        std::vector<double> t_vexd, t_min, t_plain;
        for (long long round = 0; round < rounds; round++) {
            t_vexd.push_back(on_threads(threads, lines, [&](int, long long first, long long n) {
                for (long long i = first; i < first + n; i++) vexd_printf("%s", msgs[i & 255].c_str());
            }));
            // The least the daemon log must do: stamp each line with the
            // time base, write it with one call under one lock, and past
            // 65536 bytes turn the text into a level-9 gzip member.
            {
                minimal::pair_writer w(dir, "baseline_vexdlog");
                std::mutex lock;
                t_min.push_back(on_threads(threads, lines, [&](int, long long first, long long n) {
                    char line[4096];
                    for (long long i = first; i < first + n; i++) {
                        const int64_t t = tmr_get64();
                        int len = snprintf(line, sizeof line, "[%5lu.%06lu] vexd: %s",
                                           static_cast<unsigned long>(t / 1000000),
                                           static_cast<unsigned long>(t % 1000000), msgs[i & 255].c_str());
                        std::lock_guard<std::mutex> g(lock);
                        w.put(line, static_cast<size_t>(len), LOG_DAEMON);
                    }
                }));
            }
            int fd = open(base_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
            if (fd < 0) die("open", base_path);
            t_plain.push_back(on_threads(threads, lines, [&](int, long long first, long long n) {
                for (long long i = first; i < first + n; i++) {
                    const std::string &l = full[i & 255];
                    if (write(fd, l.data(), l.size()) != static_cast<ssize_t>(l.size()))
                        die("write", base_path);
                }
            }));
            close(fd);
        }
        printf("threads=%d lines=%lld line_bytes=%zu vexd_s=%s minimal_s=%s plain_s=%s\n", threads, lines,
               full[0].size(), list(t_vexd).c_str(), list(t_min).c_str(), list(t_plain).c_str());
    }
    unlink(base_path.c_str());
    return 0;
}

// ---------------------------------------------------------------- compress

int bench_compress(char **argv)
{
    const std::string dir = argv[0];
    const long long rounds = num(argv[1]);
    setup_daemon(dir);
    const std::string txt = dir + "/rotate.txt", gz = dir + "/rotate.gz", ref = dir + "/rotate_gzip.gz";
    const std::string back = dir + "/rotate.back", empty = dir + "/empty.txt";
    const std::string text = loggen::kernel_text(99, 256 * 1024);
    write_file(txt, text);
    write_file(empty, "");

    const std::string mgz = dir + "/rotate_min.gz";
    std::vector<double> t_fc, t_min, t_gzip, t_start;
    for (long long i = 0; i < rounds + 1; i++) {
        unlink(gz.c_str());
        unlink(mgz.c_str());
        double a = now();
        if (file_compress(txt.c_str(), gz.c_str()) <= 0) die("file_compress", txt);
        double fc = now() - a;
        a = now();
        minimal::append_member(txt, mgz);
        double min = now() - a;
        double gzip = run_timed({"gzip", "-9", "-c", txt}, nullptr, ref.c_str());
        double start = run_timed({"gzip", "-9", "-c", empty}, nullptr, "/dev/null");
        if (gzip < 0 || start < 0) {
            fprintf(stderr, "bench_lib: gzip -9 failed\n");
            return 1;
        }
        if (i == 0) continue;  // warm-up round
        t_fc.push_back(fc);
        t_min.push_back(min);
        t_gzip.push_back(gzip);
        t_start.push_back(start);
    }
    const bool same = file_uncompress(gz.c_str(), back.c_str()) == static_cast<int32_t>(text.size());
    printf("bytes=%zu rounds=%lld file_compress_s=%s minimal_s=%s gzip_s=%s gzip_start_s=%s "
           "file_compress_size=%lld minimal_size=%lld gzip_size=%lld roundtrip=%s\n",
           text.size(), rounds, list(t_fc).c_str(), list(t_min).c_str(), list(t_gzip).c_str(),
           list(t_start).c_str(), file_size(gz), file_size(mgz), file_size(ref), same ? "ok" : "MISMATCH");
    for (const std::string &p : {txt, gz, mgz, ref, back, empty}) unlink(p.c_str());
    return 0;
}

// ---------------------------------------------------------------- archive

// Appends gzip members (one per 256 KiB of text, as rotations make them) to
// `path` until the file holds about `bytes`. Level 1 keeps the set-up quick;
// the content is incompressible to the archiver either way.
void make_gz(const std::string &path, long long bytes, uint64_t seed)
{
    uint64_t round = 0;
    while (file_size(path) < bytes) {
        gzFile g = gzopen(path.c_str(), "ab1");
        if (g == nullptr) die("gzopen", path);
        std::string text = loggen::kernel_text(seed * 1000003 + round++, 256 * 1024);
        if (gzwrite(g, text.data(), static_cast<unsigned>(text.size())) != static_cast<int>(text.size()))
            die("gzwrite", path);
        gzclose(g);
    }
}

int bench_archive(char **argv)
{
    const std::string dir = argv[0];
    const long long mib = num(argv[1]);
    const long long rounds = num(argv[2]);
    const std::string logdir = dir + "/qordebug";
    mkdir(logdir.c_str(), 0777);
    mkdir((logdir + "/diag_logs").c_str(), 0777);
    setup_daemon(logdir);

    // A quarter text, the rest gzip, like a log partition after some days.
    const long long total = mib << 20;
    struct pair_t {
        log_id log;
        long long txt;  // bytes of the text file
        double share;   // share of the gzip bytes
    };
    const pair_t pairs[] = {
        {LOG_KERNEL, 250000, 0.30}, {LOG_MAIN, 240000, 0.30}, {LOG_TRACE, 180000, 0.15},
        {LOG_DAEMON, 60000, 0.01},  {LOG_PROCLIST, 20000, 0.01},
    };
    const double t_setup = now();
    long long text_left = total / 4;
    uint64_t seed = 1;
    for (const pair_t &p : pairs) {
        write_file(logdir + "/" + LOG_FILES[p.log].txt, loggen::kernel_text(seed++, p.txt));
        text_left -= p.txt;
        make_gz(logdir + "/" + LOG_FILES[p.log].gz, static_cast<long long>(total * 3 / 4 * p.share), seed++);
    }
    // The rest of the gzip share: compressed qmdl recordings; the rest of the
    // text: kernel log dumps kept beside the logs.
    make_gz(logdir + "/diag_logs/dl_field_3.qmdl.gz", static_cast<long long>(total * 3 / 4 * 0.23), seed++);
    for (int i = 0; text_left > 0; i++) {
        long long n = std::min<long long>(text_left, 2 << 20);
        write_file(logdir + "/kmsg_dump_" + std::to_string(i) + ".txt", loggen::kernel_text(seed++, n));
        text_left -= n;
    }
    vexd_printf("bench: archive set-up done\n");
    const double setup_s = now() - t_setup;

    long long dir_bytes = 0;
    {
        std::vector<std::string> stack = {logdir};
        while (!stack.empty()) {
            std::string d = stack.back();
            stack.pop_back();
            std::vector<std::string> names;
            if (DIR *h = opendir(d.c_str())) {
                while (struct dirent *e = readdir(h)) names.emplace_back(e->d_name);
                closedir(h);
            }
            for (const std::string &n : names) {
                if (n == "." || n == "..") continue;
                struct stat st {};
                if (stat((d + "/" + n).c_str(), &st) != 0) continue;
                if (S_ISDIR(st.st_mode))
                    stack.push_back(d + "/" + n);
                else
                    dir_bytes += st.st_size;
            }
        }
    }

    // Each round: zip first, then the daemon, whose logs.zip is written
    // inside the directory and removed before the next round.
    const std::string base = dir + "/baseline.zip";
    std::vector<double> t_zip, t_vexd;
    long long vexd_size = 0, zip_size = 0;
    bool tested = true;
    for (long long round = 0; round < rounds; round++) {
        unlink(base.c_str());
        double zip_s = run_timed({"zip", "-9", "-r", "-q", base, "qordebug"}, dir.c_str(), nullptr);
        if (zip_s < 0) {
            fprintf(stderr, "bench_lib: zip -9 -r failed\n");
            return 1;
        }
        char response[256] = "";
        double a = now();
        int rc = vexd_archive_all(response, nullptr);
        double vexd_s = now() - a;
        if (rc != 0) {
            fprintf(stderr, "bench_lib: vexd_archive_all failed (%d)\n", rc);
            return 1;
        }
        t_zip.push_back(zip_s);
        t_vexd.push_back(vexd_s);
        vexd_size = file_size(response);
        zip_size = file_size(base);
        if (round == 0) tested = run_timed({"unzip", "-tqq", response}, nullptr, nullptr) >= 0;
        unlink(response);
    }
    printf("dir_bytes=%lld setup_s=%.3f vexd_s=%s zip_s=%s vexd_size=%lld zip_size=%lld archive_test=%s\n",
           dir_bytes, setup_s, list(t_vexd).c_str(), list(t_zip).c_str(), vexd_size, zip_size,
           tested ? "ok" : "FAILED");
    return 0;
}

constexpr subcommand subcommands[] = {
    {"printf", 3, bench_printf},
    {"compress", 2, bench_compress},
    {"archive", 3, bench_archive},
};

}  // namespace

int main(int argc, char **argv)
{
    return subcommand_main(
        subcommands, argc, argv,
        "usage: bench_lib printf|compress|archive DIR N... (see the head of bench_lib.cpp)");
}
