// Free space of the file system that holds the log directory.
#include <sys/statfs.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>

#include "vexd.h"

namespace {
// Block size last reported by statfs; only main's thread touches it.
uint64_t block_size;
// Set by any thread's log write that met ENOSPC; read by main's loop.
std::atomic<bool> disk_full{false};
}  // namespace

ssize_t vexd_log_write(int fd, const void *buf, size_t len)
{
    ssize_t n = write(fd, buf, len);
    if (n < 0 && errno == ENOSPC) disk_full.store(true);
    return n;
}

bool vexd_log_disk_full(void) { return disk_full.load(); }

int64_t vexd_check_fsquota(void)
{
    struct statfs sfs {};
    if (vexd_log_dir_path == nullptr || statfs(vexd_log_dir_path, &sfs) != 0) return 0;
    block_size = static_cast<uint64_t>(sfs.f_bsize);
    // f_bfree counts the blocks reserved for the superuser too.
    return static_cast<int64_t>(static_cast<uint64_t>(sfs.f_bfree) * block_size);
}

void vexd_printsize(int64_t bytes)
{
    constexpr int64_t TENTHS_LIMIT = 10485760;
    int64_t v = bytes * 10;
    char unit = 'K';
    if (v > TENTHS_LIMIT) {
        v /= 1024;
        unit = 'M';
    }
    if (v > TENTHS_LIMIT) {
        v /= 1024;
        unit = 'G';
    }
    v = (v + 512) / 1024;
    vexd_printf("Free disk space %4lld.%1lld%c (blkS:%d)\n", static_cast<long long>(v / 10),
                static_cast<long long>(v % 10), unit, static_cast<int>(block_size));
}
