// Daemon log: timestamped lines of every thread in vexd_vexdlog.txt/.gz.
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <sys/time.h>
#include <time.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "tmr.h"
#include "vexd.h"  // last: it replaces the C library's assert

const char *vexd_log_dir_path = nullptr;

namespace {

constexpr size_t LINE_LEN = 2048;

// The module's state; all of it but the owner pair is guarded by printmutex,
// which is held for a whole vexd_printf.
struct vexd_log_state {
    std::mutex printmutex;
    // The thread inside vexd_printf, so that a line logged from under it (the
    // daemon log's own open or rotation refusing a link) goes to the kernel
    // log instead of waiting for ever on printmutex.
    std::atomic<pthread_t> print_owner{};  // atomic
    std::atomic<bool> print_owned{false};  // atomic
    int initdone = 0;                      // printmutex
    // Its rotation is not logged: this is the log the line would go to.
    vexd_textlog_t vexdlog = vexd_textlog_of(LOG_DAEMON, false);  // printmutex
    char k_line_p[LINE_LEN] = {};                                 // printmutex
} vexd_log;

// Adds the result of one snprintf-style call to the fill level, keeping the
// last byte of the buffer for the terminator.
size_t line_advance(size_t pos, int n)
{
    if (n < 0) return pos;
    size_t end = pos + static_cast<size_t>(n);
    return end < LINE_LEN - 1 ? end : LINE_LEN - 1;
}

// Opens the daemon log and writes the startup marker; 0 on success.
int vexdlog_setup(void)
{
    if (vexd_log_dir_path == nullptr) {
        vexd_kmsg("vexd_log_dir_path NULL, vexd_printf can not be used!");
        return -1;
    }
    vexd_textlog_name(&vexd_log.vexdlog, LOG_FILES[LOG_DAEMON].base);
    if (vexd_textlog_open(&vexd_log.vexdlog, O_RDWR) <= 0) {
        // Descriptor 0 (main() holds 0 to 2 on /dev/null) fails too, left open for the next try.
        vexd_kmsg("Failed to open %s fd=%d", vexd_log.vexdlog.txt, vexd_log.vexdlog.fd);
        vexd_log.vexdlog.fd = -1;
        return -1;
    }
    vexd_log.initdone = 1;
    return 0;
}

// True on the thread that holds vexd_log.printmutex.
bool printing_here(void)
{
    return vexd_log.print_owned.load() && pthread_equal(vexd_log.print_owner.load(), pthread_self());
}

// Holds vexd_log.printmutex and says who holds it.
class print_lock {
public:
    print_lock()
    {
        vexd_log.printmutex.lock();
        vexd_log.print_owner.store(pthread_self());
        vexd_log.print_owned.store(true);
    }
    ~print_lock()
    {
        vexd_log.print_owned.store(false);
        vexd_log.printmutex.unlock();
    }
    print_lock(const print_lock &) = delete;
    print_lock &operator=(const print_lock &) = delete;
};

void vkmsg(const char *format, va_list ap)
{
    char text[LINE_LEN];
    vsnprintf(text, sizeof(text), format, ap);
    // The text stands between double quotes in a shell command: a path with
    // a quote, a dollar sign, a backquote or a backslash must stay text.
    size_t len = 0;
    for (char *c = text; *c != '\0'; ++c, ++len)
        if (*c == '"' || *c == '$' || *c == '`' || *c == '\\') *c = '?';
    if (len > 0 && text[len - 1] == '\n') text[len - 1] = '\0';
    char cmd[LINE_LEN + 32];
    snprintf(cmd, sizeof(cmd), "echo \"vexd: %s\" > /dev/kmsg", text);
    system(cmd);
}

}  // namespace

void vexd_printf(const char *format, ...)
{
    if (printing_here()) {
        va_list ap;
        va_start(ap, format);
        vkmsg(format, ap);
        va_end(ap);
        return;
    }
    const print_lock lock;
    if (vexd_log.initdone == 0 && vexdlog_setup() != 0) return;

    int64_t now = tmr_get64();
    size_t pos = 0;
    pos = line_advance(pos, snprintf(vexd_log.k_line_p, LINE_LEN, "[%5lu.%06lu] ",
                                     static_cast<unsigned long>(static_cast<uint32_t>(now / 1000000)),
                                     static_cast<unsigned long>(static_cast<uint32_t>(now % 1000000))));
    pos = line_advance(pos, snprintf(vexd_log.k_line_p + pos, LINE_LEN - pos, "vexd: "));
    va_list ap;
    va_start(ap, format);
    pos = line_advance(pos, vsnprintf(vexd_log.k_line_p + pos, LINE_LEN - pos, format, ap));
    va_end(ap);

    // A failed write leaves the count alone: it only drives rotation.
    vexd_textlog_append(&vexd_log.vexdlog, vexd_log.k_line_p, pos);
    // Not opened again after a rotation (0 too, though main() holds 0 to 2 on /dev/null): the next line tries.
    if (vexd_log.vexdlog.fd <= 0) {
        vexd_log.vexdlog.fd = -1;
        vexd_log.initdone = 0;
    }
}

void vexd_log_clock(void)
{
    // The three clocks read as close together as can be: the kernel log's
    // stamps count from boot (CLOCK_MONOTONIC, as the kernel's printk clock,
    // which also stops in suspend), the daemon and main logs from tmr_init.
    struct timespec up {};
    clock_gettime(CLOCK_MONOTONIC, &up);
    struct timeval wall {};
    gettimeofday(&wall, nullptr);
    const int64_t base = tmr_get64();
    struct tm utc {};
    const time_t secs = wall.tv_sec;
    char when[40] = "?";
    if (gmtime_r(&secs, &utc) != nullptr) {
        char day[32];
        strftime(day, sizeof day, "%Y-%m-%dT%H:%M:%S", &utc);
        snprintf(when, sizeof when, "%s.%06ldZ", day, static_cast<long>(wall.tv_usec));
    }
    vexd_printf(LOG_CLOCK_FORMAT, static_cast<long long>(base / 1000000), static_cast<long long>(base % 1000000),
                when, static_cast<long long>(up.tv_sec), static_cast<long long>(up.tv_nsec / 1000));
}

void vexd_kmsg(const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    vkmsg(format, ap);
    va_end(ap);
}

void(assert)(const char *expression, const char *file, int line)
{
    (void)file;
    vexd_printf("(%d):%s", line, expression);
    exit(-1);
}
