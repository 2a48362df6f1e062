// Text log file pairs and the one rotation of every file pair into its gzip
// partner, the startup counter and marker, and the process list.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "file_compress.h"
#include "fs_srv.h"
#include "fssync_srv.h"
#include "full_io.h"
#include "rotation_journal.h"
#include "startcnt.h"
#include "unique_fd.h"
#include "vexd.h"

int32_t vexd_curr_startup_counter = 0;

namespace {

// The module's state: the startup counter and marker.
enum class startcnt_state : int { unknown, missing, present };

struct vexd_rotate_state {
    // The counter file always lives in /system, whatever the log directory.
    // Set before any thread starts (vexd_set_startcnt_path, unit tests only).
    char startcnt_path[256] = "/system/vexd_startcnt";

    // One-time marker set-up. The daemon log normally does it on main's first
    // vexd_printf, before any other thread exists; when that log cannot be
    // opened a service thread may get there first, so the set-up is guarded
    // and exactly one caller reads and rewrites the counter file.
    std::atomic<int> init{0};  // atomic; set under init_mutex once the two texts below are written
    std::mutex init_mutex;
    char start_txt[128] = {};  // init_mutex, until init is set; then read only

    // Set when the counter file was there but damaged; told by main once the
    // daemon log is open (the set-up runs inside the daemon log's first line).
    char startcnt_note[320] = {};  // init_mutex, until init is set; then read only

    // Whether this is a first start, decided once per process from what is
    // really at the counter's path: only a missing entry is. A link (dangling
    // or not), a folder or a file we cannot read is something, and never
    // erases the log partition. The storage choice and the count both ask
    // here, so the format and the counter cannot disagree.
    std::atomic<startcnt_state> startcnt_seen{startcnt_state::unknown};  // atomic
} vexd_rotate;

// Highest start count in the qmdl names of the diag directory
// ("dl_<name>_<count>.qmdl" and ".qmdl.gz"), 0 when there is none.
int32_t highest_qmdl_count(void)
{
    if (vexd_log_dir_path == nullptr) return 0;
    char dir[256];
    snprintf(dir, sizeof dir, "%s/%s", vexd_log_dir_path, DIAG_DIR_NAME);
    const unique_dir d(opendir(dir));
    int32_t highest = 0;
    while (const struct dirent *entry = d ? readdir(d.get()) : nullptr) {
        const char *dot = strstr(entry->d_name, ".qmdl");
        const char *us = nullptr;
        for (const char *p = entry->d_name; dot != nullptr && p < dot; ++p)
            if (*p == '_') us = p;
        if (strncmp(entry->d_name, "dl_", 3) != 0 || us == nullptr || us + 1 == dot) continue;
        int64_t count = 0;
        const char *p = us + 1;
        for (; p < dot && *p >= '0' && *p <= '9' && count < INT32_MAX; ++p) count = count * 10 + (*p - '0');
        if (p == dot && count > highest && count < INT32_MAX) highest = static_cast<int32_t>(count);
    }
    return highest;
}

bool startcnt_is_missing(void)
{
    startcnt_state seen = vexd_rotate.startcnt_seen.load();
    if (seen == startcnt_state::unknown) {
        struct stat st {};
        seen = lstat(vexd_rotate.startcnt_path, &st) != 0 && errno == ENOENT ? startcnt_state::missing
                                                                             : startcnt_state::present;
        startcnt_state expected = startcnt_state::unknown;
        if (!vexd_rotate.startcnt_seen.compare_exchange_strong(expected, seen)) seen = expected;
    }
    return seen == startcnt_state::missing;
}

}  // namespace

// The count of this start. Only a missing counter file makes a first start
// (1), which formats the log partition and clears the recordings. A file that
// is there but cannot be read, is short, is not a plain file, or holds a
// count that is not one we write (below 1, or one that cannot be
// incremented) never does: the count goes on past the highest count found in
// the recordings' names, and at least from 2.
int32_t startcnt_read(void)
{
    if (startcnt_is_missing()) return 1;
    const unique_fd fd(open(vexd_rotate.startcnt_path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    int32_t stored = 0;
    const ssize_t n = fd.ok() ? full_read(fd.get(), &stored, sizeof(stored)) : -1;
    if (n == static_cast<ssize_t>(sizeof(stored)) && stored >= 1 && stored < INT32_MAX) return stored + 1;
    const int32_t highest = highest_qmdl_count();
    const int32_t count = highest >= 1 && highest < INT32_MAX - 1 ? highest + 1 : 2;
    snprintf(vexd_rotate.startcnt_note, sizeof vexd_rotate.startcnt_note,
             "Startup counter file %s damaged, counting on from %d\n", vexd_rotate.startcnt_path,
             static_cast<int>(count));
    return count;
}

// Replaces the counter file through a temporary file and a rename, so a crash
// leaves either the old or the new count, never a short file.
void startcnt_write(int32_t count)
{
    char tmp[sizeof(vexd_rotate.startcnt_path) + 8];
    snprintf(tmp, sizeof(tmp), "%s.tmp", vexd_rotate.startcnt_path);
    unlink(tmp);  // left by a crash, or planted: never written through
    unique_fd fd(vexd_log_open(tmp, O_WRONLY | O_CREAT | O_EXCL, 0777));
    if (!fd.ok()) return;
    bool ok = write(fd.get(), &count, sizeof(count)) == static_cast<ssize_t>(sizeof(count));
    ok = ok && fsync(fd.get()) == 0;
    ok = close(fd.release()) == 0 && ok;  // a failed close is a failed write
    if (!ok || rename(tmp, vexd_rotate.startcnt_path) != 0) {
        unlink(tmp);
        return;
    }
    file_sync_parent_dir(vexd_rotate.startcnt_path);  // the rename itself is durable
}

namespace {

void marker_setup(void)
{
    std::lock_guard<std::mutex> lock(vexd_rotate.init_mutex);
    if (vexd_rotate.init.load(std::memory_order_relaxed)) return;
    int32_t count = startcnt_read();
    vexd_curr_startup_counter = count;
    startcnt_write(count);
    memset(vexd_rotate.start_txt, 0, sizeof(vexd_rotate.start_txt));
    snprintf(vexd_rotate.start_txt, sizeof(vexd_rotate.start_txt) - 1, LOG_MARKER_FORMAT, count);
    vexd_rotate.init.store(1, std::memory_order_release);
}

// 0 once `path`, a plain file, is empty; -1 with errno otherwise.
int empty_file(const char *path)
{
    const unique_fd fd(vexd_log_open(path, O_WRONLY, 0));
    return fd.ok() ? ftruncate(fd.get(), 0) : -1;
}

}  // namespace

const char *vexd_startcnt_note(void)
{
    return vexd_rotate.init.load(std::memory_order_acquire) && vexd_rotate.startcnt_note[0] != '\0'
               ? vexd_rotate.startcnt_note
               : nullptr;
}

void vexd_set_startcnt_path(const char *path)
{
    snprintf(vexd_rotate.startcnt_path, sizeof(vexd_rotate.startcnt_path), "%s", path);
    vexd_rotate.startcnt_seen.store(startcnt_state::unknown);
}

bool vexd_first_start(void) { return startcnt_is_missing(); }

void vexd_add_startup_marker(int fd, int32_t *count)
{
    if (!vexd_rotate.init.load(std::memory_order_acquire)) marker_setup();
    ssize_t n = vexd_log_write(fd, vexd_rotate.start_txt, strlen(vexd_rotate.start_txt));
    if (count != nullptr && n > 0) *count += static_cast<int32_t>(n);
}

void vexd_init_startup_counter(void)
{
    if (!vexd_rotate.init.load(std::memory_order_acquire)) marker_setup();
}

int32_t vexd_get_startup_counter(void)
{
    return vexd_rotate.init.load(std::memory_order_acquire) ? vexd_curr_startup_counter : 0;
}

int vexd_rotate_pair(const char *in, const char *out, uint32_t limit, vexd_gz_rule rule, uint32_t *gz_size,
                     vexd_rotate_end end)
{
    if (*gz_size > limit && (rule == vexd_gz_rule::always || fs_srv_using_cache_partition() == 0)) {
        *gz_size = 0;
        remove(out);
    }
    *gz_size = static_cast<uint32_t>(file_compress(in, out));
    const bool packed = *gz_size != 0;  // a successful append always leaves a header behind
    switch (end) {
    case vexd_rotate_end::leave: return 0;
    case vexd_rotate_end::reopen: {
        // A failed compression keeps the text for the next try.
        const int fd = vexd_log_open(in, O_RDWR | O_CREAT | (packed ? O_TRUNC : O_APPEND), 0777);
        if (fd >= 0 && packed) file_rotation_done(in, out, true);
        return fd;
    }
    case vexd_rotate_end::empty:
    case vexd_rotate_end::remove:
        if (!packed) return 0;
        // An input that is gone already counts as emptied. Emptied through
        // its own descriptor, never through a link.
        if ((end == vexd_rotate_end::empty ? empty_file(in) : remove(in)) != 0 && errno != ENOENT) return -1;
        file_rotation_done(in, out);
        return 0;
    }
    return 0;
}

void vexd_archive_logfile(const char *txt, const char *gz, uint32_t limit, uint32_t *gz_size)
{
    vexd_rotate_pair(txt, gz, limit, vexd_gz_rule::off_partition, gz_size, vexd_rotate_end::leave);
}

void vexd_textlog_name(vexd_textlog_t *log, const char *name)
{
    snprintf(log->txt, sizeof(log->txt), "%s/%s.txt", vexd_log_dir_path, name);
    snprintf(log->gz, sizeof(log->gz), "%s/%s.gz", vexd_log_dir_path, name);
}

int vexd_textlog_open(vexd_textlog_t *log, int flags)
{
    log->fd = vexd_log_open(log->txt, flags | O_CREAT | O_APPEND, 0777);
    // Descriptor 0 is refused too, though main() holds 0 to 2 on /dev/null from its start.
    if (log->fd <= 0) return log->fd;
    struct stat st {};
    log->txt_size = fstat(log->fd, &st) == 0 ? static_cast<int32_t>(st.st_size) : 0;
    vexd_add_startup_marker(log->fd, &log->txt_size);
    log->gz_size = static_cast<uint32_t>(vexd_get_file_size(log->gz));
    return log->fd;
}

bool vexd_textlog_due_at(const vexd_textlog_t *log, int32_t size)
{
    return log->rule == vexd_rotate_rule::above ? size > log->rotate_size : size >= log->rotate_size;
}

bool vexd_textlog_due(const vexd_textlog_t *log) { return vexd_textlog_due_at(log, log->txt_size); }

int vexd_textlog_rotate(vexd_textlog_t *log)
{
    close(log->fd);
    log->fd = vexd_rotate_pair(log->txt, log->gz, log->gz_limit, vexd_gz_rule::off_partition, &log->gz_size,
                               vexd_rotate_end::reopen);
    if (log->report) vexd_printf("%s is now %d bytes\n", log->gz, static_cast<int>(log->gz_size));
    log->txt_size = 0;
    return log->fd;
}

ssize_t vexd_textlog_append(vexd_textlog_t *log, const void *buf, size_t len)
{
    ssize_t written = vexd_log_write(log->fd, buf, len);
    if (written > 0) log->txt_size += static_cast<int32_t>(written);
    if (vexd_textlog_due(log))
        vexd_textlog_rotate(log);
    else
        fssync_srv_need_sync(log->fd);
    return written;
}

int32_t vexd_get_file_size(const char *path)
{
    // Not through a link: only a file of ours has a size that counts.
    struct stat st {};
    return lstat(path, &st) == 0 && S_ISREG(st.st_mode) ? static_cast<int32_t>(st.st_size) : 0;
}

void vexd_save_proclist(void)
{
    vexd_textlog_t log = vexd_textlog_of(LOG_PROCLIST);
    vexd_textlog_name(&log, LOG_FILES[LOG_PROCLIST].base);

    // The list grows by one "ps" a start: a text over its size is archived
    // before this start's marker goes in.
    if (vexd_textlog_due_at(&log, vexd_get_file_size(log.txt))) {
        uint32_t gz_size = static_cast<uint32_t>(vexd_get_file_size(log.gz));
        const unique_fd emptied(vexd_rotate_pair(log.txt, log.gz, log.gz_limit,
                                                 vexd_gz_rule::off_partition, &gz_size,
                                                 vexd_rotate_end::reopen));
        if (!emptied.ok()) {
            vexd_printf("Failed to archive and open new file: %s", log.txt);
            return;
        }
    }
    const unique_fd fd(vexd_textlog_open(&log, O_RDWR));
    if (fd.get() <= 0) return;  // 0 too, though main() holds 0 to 2 on /dev/null

    char cmd[128];
    int n = snprintf(cmd, sizeof(cmd), "ps >> %s", log.txt);
    if (n > 0 && static_cast<size_t>(n) < sizeof(cmd))
        system(cmd);
    else  // a cut command would append to some other file
        vexd_printf("Process list path too long: %s\n", log.txt);

    fsync(fd.get());
}

void vexd_read_text_file(const char *path, char **data, int *len)
{
    if (data == nullptr || len == nullptr) {
        vexd_printf("Invalid Param!\n");
        return;
    }
    *len = 0;
    *data = nullptr;
    const unique_fd fd(vexd_log_open(path, O_RDONLY, 0));
    if (!fd.ok()) return;
    struct stat st {};
    size_t size = fstat(fd.get(), &st) == 0 ? static_cast<size_t>(st.st_size) : 0;
    unique_malloc<char> block(static_cast<char *>(malloc(size)));
    if (!block && size > 0) {
        vexd_printf("Failed to allocate mem!\n");
        return;
    }
    ssize_t n = read(fd.get(), block.get(), size);
    if (n < 0) return;  // nothing usable: hand back no block rather than garbage
    *data = block.release();
    *len = static_cast<int>(n);
}
