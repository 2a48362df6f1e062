// Text log file pairs: rotation into the gzip partner, the startup counter and
// marker, and the process list.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "file_compress.h"
#include "fs_srv.h"
#include "vexd.h"

int32_t vexd_curr_startup_counter = 0;

namespace {

constexpr const char *PROCLIST_NAME = "vexd_ps";
constexpr off_t PROCLIST_ROTATE_SIZE = 65535;
constexpr uint32_t PROCLIST_GZ_LIMIT = 131072;

// The counter file always lives in /system, whatever the log directory.
char startcnt_path[256] = "/system/vexd_startcnt";

// One-time marker set-up. The daemon log normally does it on main's first
// vexd_printf, before any other thread exists; when that log cannot be opened
// a service thread may get there first, so the set-up is guarded and exactly
// one caller reads and rewrites the counter file.
std::atomic<int> init{0};
std::mutex init_mutex;
char start_txt[128];

int32_t startcnt_read(void)
{
    int32_t count = 1;
    int fd = open(startcnt_path, O_RDONLY);
    if (fd < 0) return count;
    int32_t stored = 0;
    ssize_t n = read(fd, &stored, sizeof(stored));
    close(fd);
    // A short file restarts the count; so does a value that cannot be
    // incremented (a damaged file), rather than wrapping to a negative count.
    if (n == static_cast<ssize_t>(sizeof(stored)) && stored >= 0 && stored < INT32_MAX) count = stored + 1;
    return count;
}

// Replaces the counter file through a temporary file and a rename, so a crash
// leaves either the old or the new count, never a short file.
void startcnt_write(int32_t count)
{
    char tmp[sizeof(startcnt_path) + 8];
    snprintf(tmp, sizeof(tmp), "%s.tmp", startcnt_path);
    int fd = open(tmp, O_WRONLY | O_CREAT | O_TRUNC, 0777);
    if (fd < 0) return;
    bool ok = write(fd, &count, sizeof(count)) == static_cast<ssize_t>(sizeof(count));
    ok = ok && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    if (!ok || rename(tmp, startcnt_path) != 0) {
        unlink(tmp);
        return;
    }
    file_sync_parent_dir(startcnt_path);  // the rename itself is durable
}

void marker_setup(void)
{
    std::lock_guard<std::mutex> lock(init_mutex);
    if (init.load(std::memory_order_relaxed)) return;
    int32_t count = startcnt_read();
    vexd_curr_startup_counter = count;
    startcnt_write(count);
    memset(start_txt, 0, sizeof(start_txt));
    snprintf(start_txt, sizeof(start_txt) - 1, "<<<< VEXD START >>>>\n<<<< STARTUP COUNT %04d >>>>\n", count);
    init.store(1, std::memory_order_release);
}

}  // namespace

void vexd_set_startcnt_path(const char *path) { snprintf(startcnt_path, sizeof(startcnt_path), "%s", path); }

void vexd_add_startup_marker(int fd, int32_t *count)
{
    if (!init.load(std::memory_order_acquire)) marker_setup();
    ssize_t n = write(fd, start_txt, strlen(start_txt));
    if (count != nullptr && n > 0) *count += static_cast<int32_t>(n);
}

void vexd_init_startup_counter(void)
{
    if (!init.load(std::memory_order_acquire)) marker_setup();
}

int32_t vexd_get_startup_counter(void)
{
    return init.load(std::memory_order_acquire) ? vexd_curr_startup_counter : 0;
}

void vexd_archive_logfile(const char *txt, const char *gz, uint32_t limit, uint32_t *gz_size)
{
    // On the dedicated partition the gzip file may grow without limit.
    if (*gz_size > limit && fs_srv_using_cache_partition() == 0) {
        *gz_size = 0;
        remove(gz);
    }
    *gz_size = static_cast<uint32_t>(file_compress(txt, gz));
}

int vexd_reopen_logfile(const char *txt, const char *gz, uint32_t gz_size)
{
    // A gzip size of 0 means the compression failed (a successful append
    // always leaves a header behind): the text is kept for the next try.
    int fd = open(txt, O_RDWR | O_CREAT | (gz_size != 0 ? O_TRUNC : O_APPEND), 0777);
    // Emptied: the rotation is complete. A failed open leaves its record,
    // and the next start empties the text that is in the gzip file already.
    if (fd >= 0 && gz_size != 0) file_rotation_done(txt, gz);
    return fd;
}

int vexd_rotate_logfile(int fd, const char *txt, const char *gz, uint32_t limit, uint32_t *gz_size)
{
    close(fd);
    vexd_archive_logfile(txt, gz, limit, gz_size);
    vexd_printf("%s is now %d bytes\n", gz, static_cast<int>(*gz_size));
    return vexd_reopen_logfile(txt, gz, *gz_size);
}

int32_t vexd_get_file_size(const char *path)
{
    int fd = open(path, O_RDONLY);
    if (fd < 0) return 0;
    struct stat st {};
    int rc = fstat(fd, &st);
    close(fd);
    return rc == 0 ? static_cast<int32_t>(st.st_size) : 0;
}

void vexd_save_proclist(void)
{
    char txt[256];
    char gz[256];
    snprintf(txt, sizeof(txt), "%s/%s.txt", vexd_log_dir_path, PROCLIST_NAME);
    snprintf(gz, sizeof(gz), "%s/%s.gz", vexd_log_dir_path, PROCLIST_NAME);

    int fd = open(txt, O_RDWR | O_CREAT | O_APPEND, 0777);
    if (fd < 0) return;
    struct stat st {};
    int32_t size = fstat(fd, &st) == 0 ? static_cast<int32_t>(st.st_size) : 0;
    uint32_t gz_size = static_cast<uint32_t>(vexd_get_file_size(gz));

    if (st.st_size > PROCLIST_ROTATE_SIZE) {
        close(fd);
        vexd_archive_logfile(txt, gz, PROCLIST_GZ_LIMIT, &gz_size);
        size = 0;
        fd = vexd_reopen_logfile(txt, gz, gz_size);
        if (fd < 0) {
            vexd_printf("Failed to archive and open new file: %s", txt);
            return;
        }
    }

    vexd_add_startup_marker(fd, &size);

    char cmd[128];
    int n = snprintf(cmd, sizeof(cmd), "ps >> %s", txt);
    if (n > 0 && static_cast<size_t>(n) < sizeof(cmd))
        system(cmd);
    else  // a cut command would append to some other file
        vexd_printf("Process list path too long: %s\n", txt);

    fsync(fd);
    close(fd);
}

void vexd_read_text_file(const char *path, char **data, int *len)
{
    *len = 0;
    *data = nullptr;
    int fd = open(path, O_RDONLY);
    if (fd < 0) return;
    struct stat st {};
    size_t size = fstat(fd, &st) == 0 ? static_cast<size_t>(st.st_size) : 0;
    char *block = static_cast<char *>(malloc(size));
    if (block == nullptr && size > 0) {
        vexd_printf("Failed to allocate mem!\n");
        close(fd);
        return;
    }
    ssize_t n = read(fd, block, size);
    close(fd);
    if (n < 0) {  // nothing usable: hand back no block rather than garbage
        free(block);
        return;
    }
    *data = block;
    *len = static_cast<int>(n);
}
