// Choice of the log directory: the dedicated log partition, the fallback link
// to /system, or /system itself.
#include "fs_srv.h"
#include "vexd.h"

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr const char *default_logpath = "/system";
constexpr const char *qordebug_logpath = "/qordebug";
constexpr const char *QORDEBUG_DIR = "/system/qordebug";
constexpr const char *USERDATA_DEV = "/dev/block/platform/msm_sdcc.1/by-name/userdata";

// The module's state.
struct fs_srv_state {
    // Set when the userdata partition is in use as the log directory (mounted
    // by this process or found mounted by an earlier one); never cleared.
    std::atomic<int> cache_is_mounted{0};  // atomic
} fs_srv;

// True when the userdata block device is the file system mounted on the
// /system/qordebug directory (its device number is the directory's).
bool userdata_is_mounted(void)
{
    struct stat dir {};
    struct stat dev {};
    if (lstat(QORDEBUG_DIR, &dir) != 0 || !S_ISDIR(dir.st_mode)) return false;
    if (stat(USERDATA_DEV, &dev) != 0 || !S_ISBLK(dev.st_mode)) return false;
    return dir.st_dev == dev.st_rdev;
}

const char *fallback(void)
{
    rmdir(QORDEBUG_DIR);
    if (symlink(default_logpath, QORDEBUG_DIR) == 0) {
        vexd_kmsg("symlink /qordebug -> /system/qordebug -> /system");
        return qordebug_logpath;
    }
    vexd_kmsg("symlink failed, using /system");
    return default_logpath;
}

}  // namespace

// Not a service: fs_srv has no thread; main() calls this once to choose the log directory.
const char *fs_srv_init(void)
{
    if (mkdir(QORDEBUG_DIR, 0777) != 0 && errno != EEXIST) {
        vexd_kmsg("Failed to create dir /system/qordebug");
        vexd_kmsg("symlink failed, using /system");
        return default_logpath;
    }

    // A daemon restarted without a reboot finds the partition still mounted:
    // mounting again would fail as busy and the fallback would then write to
    // /system. Use it as it is, and never format a mounted partition.
    if (userdata_is_mounted()) {
        vexd_kmsg("Already mounted %s -> %s", USERDATA_DEV, QORDEBUG_DIR);
        fs_srv.cache_is_mounted.store(1);
        return qordebug_logpath;
    }

    // No counter file: the first start on this system partition, so the log
    // partition is formatted (erasing whatever it held). The counter asks the
    // same question of the same entry, once.
    if (vexd_first_start()) {
        char format_cmd[128];
        snprintf(format_cmd, sizeof(format_cmd), "make_ext4fs %s", USERDATA_DEV);
        int status = system(format_cmd);
        if (status != 0) {
            vexd_kmsg("Failed to make ext4fs on qordebug!");
            vexd_kmsg("status=%d", status);
            return fallback();
        }
        vexd_kmsg("Formatted qordebug partition");
    }

    unlink(QORDEBUG_DIR);  // a link left by an earlier fallback; a directory stays
    int rc = mount(USERDATA_DEV, QORDEBUG_DIR, "ext4", 0, nullptr);
    if (rc == 0) {
        vexd_kmsg("Mounted %s -> %s", USERDATA_DEV, QORDEBUG_DIR);
        fs_srv.cache_is_mounted.store(1);
        return qordebug_logpath;
    }
    int err = errno;
    vexd_kmsg("Failed to mount /system/qordebug!");
    vexd_kmsg("status=%d, errno=%d", rc, err);
    return fallback();
}

// The "cache partition" is the userdata partition: 1 while it is the log directory.
int fs_srv_using_cache_partition(void) { return fs_srv.cache_is_mounted.load(); }
