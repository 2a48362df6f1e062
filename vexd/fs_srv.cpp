// Choice of the log directory: the dedicated log partition, the fallback link
// to /system, or /system itself.
#include "fs_srv.h"

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
constexpr const char *STARTCNT_NAME = "vexd_startcnt";

// Set when the partition is in use as the log directory (mounted by this
// process or found mounted by an earlier one); never cleared.
std::atomic<int> cache_is_mounted{0};

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
        system("echo \"vexd: symlink /qordebug -> /system/qordebug -> /system\" > /dev/kmsg");
        return qordebug_logpath;
    }
    system("echo \"vexd: symlink failed, using /system\" > /dev/kmsg");
    return default_logpath;
}

}  // namespace

const char *fs_srv_init(void)
{
    char msg[128];
    if (mkdir(QORDEBUG_DIR, 0777) != 0 && errno != EEXIST) {
        system("echo \"vexd: Failed to create dir /system/qordebug\" > /dev/kmsg");
        system("echo \"vexd: symlink failed, using /system\" > /dev/kmsg");
        return default_logpath;
    }

    // A daemon restarted without a reboot finds the partition still mounted:
    // mounting again would fail as busy and the fallback would then write to
    // /system. Use it as it is, and never format a mounted partition.
    if (userdata_is_mounted()) {
        system("echo \"vexd: Already mounted /dev/block/platform/msm_sdcc.1/by-name/userdata -> "
               "/system/qordebug\" > /dev/kmsg");
        cache_is_mounted.store(1);
        return qordebug_logpath;
    }

    // No counter file: the first start on this system partition, so the log
    // partition is formatted (erasing whatever it held).
    char startcnt[256];
    snprintf(startcnt, sizeof(startcnt), "%s/%s", default_logpath, STARTCNT_NAME);
    struct stat st {};
    if (stat(startcnt, &st) != 0) {
        int status = system("make_ext4fs /dev/block/platform/msm_sdcc.1/by-name/userdata");
        if (status != 0) {
            system("echo \"vexd: Failed to make ext4fs on qordebug!\" > /dev/kmsg");
            snprintf(msg, sizeof(msg), "echo \"vexd: status=%d\" > /dev/kmsg", status);
            system(msg);
            return fallback();
        }
        system("echo \"vexd: Formatted qordebug partition\" > /dev/kmsg");
    }

    unlink(QORDEBUG_DIR);  // a link left by an earlier fallback; a directory stays
    int rc = mount(USERDATA_DEV, QORDEBUG_DIR, "ext4", 0, nullptr);
    if (rc == 0) {
        system("echo \"vexd: Mounted /dev/block/platform/msm_sdcc.1/by-name/userdata -> /system/qordebug\" > "
               "/dev/kmsg");
        cache_is_mounted.store(1);
        return qordebug_logpath;
    }
    int err = errno;
    system("echo \"vexd: Failed to mount /system/qordebug!\" > /dev/kmsg");
    snprintf(msg, sizeof(msg), "echo \"vexd: status=%d, errno=%d\" > /dev/kmsg", rc, err);
    system(msg);
    return fallback();
}

int fs_srv_using_cache_partition(void) { return cache_is_mounted.load(); }
