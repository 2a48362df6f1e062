// LD_PRELOAD shim of the benchmarks: every fsync and fdatasync of the process
// waits BENCH_FSYNC_DELAY_MS milliseconds first, as a handset's flash makes
// it wait (20 to 100 ms), then syncs as usual.
#include <dlfcn.h>
#include <time.h>

#include <cerrno>
#include <cstdlib>

namespace {

using sync_fn = int (*)(int);

long delay_ms()
{
    static const long ms = [] {
        const char *v = getenv("BENCH_FSYNC_DELAY_MS");
        return v != nullptr ? strtol(v, nullptr, 10) : 0L;
    }();
    return ms;
}

void wait_flash()
{
    const int saved = errno;
    struct timespec ts {
        delay_ms() / 1000, (delay_ms() % 1000) * 1000000
    };
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {}
    errno = saved;
}

int call(const char *name, int fd)
{
    auto real = reinterpret_cast<sync_fn>(dlsym(RTLD_NEXT, name));
    if (real == nullptr) {
        errno = ENOSYS;
        return -1;
    }
    wait_flash();
    return real(fd);
}

}  // namespace

extern "C" int fsync(int fd) { return call("fsync", fd); }
extern "C" int fdatasync(int fd) { return call("fdatasync", fd); }
