// Free space of the file system that holds the log directory.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>

#include "full_io.h"
#include "unique_fd.h"
#include "vexd.h"

namespace {

constexpr int64_t DISK_BACK_BYTES = 65536;  // see enospc_free
constexpr int64_t NOT_NOTED = -1;

// The module's state.
struct vexd_space_state {
    // Block size last reported by statfs.
    uint64_t block_size = 0;  // main thread only

    // A log write that met ENOSPC on the log directory's file system notes the
    // free bytes seen right then. The disk counts as full only while that
    // stands: main looks again one supervision period later, and free space
    // that grew by more than DISK_BACK_BYTES since (a copy the daemon cut back
    // itself, files removed) means the disk is not full after all.
    std::atomic<int64_t> enospc_free{NOT_NOTED};  // atomic: free bytes when a write met ENOSPC
    int looks = 0;                                // main thread only: main's looks since
} vexd_space;

int64_t free_bytes_of(int fd)
{
    struct statfs sfs {};
    if (fstatfs(fd, &sfs) != 0) return 0;
    return static_cast<int64_t>(static_cast<uint64_t>(sfs.f_bfree) * static_cast<uint64_t>(sfs.f_bsize));
}

// Only a full log file system stops the daemon; the watched trace files and
// the counter live in /system, which may be another one.
bool on_log_fs(int fd)
{
    struct stat file {}, dir {};
    return vexd_log_dir_path != nullptr && fstat(fd, &file) == 0 && stat(vexd_log_dir_path, &dir) == 0 &&
           file.st_dev == dir.st_dev;
}

ssize_t write_noting_full(int fd, const void *buf, size_t len)
{
    const ssize_t n = write(fd, buf, len);
    if (n < 0 && errno == ENOSPC) {
        const int err = errno;
        if (on_log_fs(fd)) vexd_space.enospc_free.store(free_bytes_of(fd));
        errno = err;
    }
    return n;
}

}  // namespace

ssize_t vexd_log_write(int fd, const void *buf, size_t len) { return write_most_with(write_noting_full, fd, buf, len); }

int vexd_log_open(const char *path, int flags, mode_t mode)
{
    unique_fd fd = open_regular(path, flags, mode);
    if (fd.ok()) return fd.release();
    const int err = errno;
    // ELOOP: the name is a link (Linux and bionic alike); EINVAL: not a plain file.
    if (err != ELOOP && err != EINVAL) return -1;
    vexd_printf("Refused to open %s: not a plain file of ours (a link or a device)\n", path);
    errno = err;
    return -1;
}

bool vexd_log_disk_full(void)
{
    const int64_t noted = vexd_space.enospc_free.load();
    if (noted == NOT_NOTED) {
        vexd_space.looks = 0;
        return false;
    }
    if (vexd_check_fsquota() > noted + DISK_BACK_BYTES) {
        // Space came back; a later ENOSPC is noted afresh.
        int64_t expected = noted;
        vexd_space.enospc_free.compare_exchange_strong(expected, NOT_NOTED);
        vexd_space.looks = 0;
        return false;
    }
    return ++vexd_space.looks > 1;
}

int64_t vexd_check_fsquota(void)
{
    struct statfs sfs {};
    if (vexd_log_dir_path == nullptr || statfs(vexd_log_dir_path, &sfs) != 0) return 0;
    vexd_space.block_size = static_cast<uint64_t>(sfs.f_bsize);
    // f_bfree counts the blocks reserved for the superuser too.
    return static_cast<int64_t>(static_cast<uint64_t>(sfs.f_bfree) * vexd_space.block_size);
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
                static_cast<long long>(v % 10), unit, static_cast<int>(vexd_space.block_size));
}
