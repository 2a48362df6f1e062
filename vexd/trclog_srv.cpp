// Trace log channel. While no client has control, a watcher thread has the
// externally written /system/trclog.txt flushed once it settles. A client that
// enables the channel gets the watched files moved into vexd_trclog.txt/.gz
// and then feeds that pair itself until it disables the channel again.
#include "trclog_srv.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "file_compress.h"
#include "fssync_srv.h"
#include "full_io.h"
#include "unique_fd.h"
#include "tmr.h"
#include "vexd.h"

namespace {

constexpr const char *TRCLOG_WATCHED_TXT = "/system/trclog.txt";
constexpr const char *TRCLOG_WATCHED_GZ = "/system/trclog.gz";
constexpr int32_t TRCLOG_ROTATE_SIZE = 262144;  // rotate when the text reaches this
constexpr uint32_t TRCLOG_GZ_LIMIT = 851968;
constexpr int CPY_BUF_LEN = 32768;
constexpr uint32_t WATCH_PERIOD_MS = 200;
constexpr int WATCH_SETTLED_CHECKS = 4;  // unchanged checks before a flush is asked for

std::atomic<int> hascontrol{0};  // 1 while a client has enabled the channel
std::atomic<int> first_time{1};  // marker not yet written into the watched file

// Serialises enable, write and disable, which both socket threads may call.
// Taken before printmutex and the file sync mutex; the watcher never takes it.
std::mutex trclog_mutex;

// Guarded by trclog_mutex.
pthread_t trclog_sync_pt;
bool trclog_sync_started = false;  // trclog_sync_pt is a thread not yet joined
char path_txt[256];
char path_gz[256];
int trclog_fd = -1;
struct stat trclog_stat;
int32_t trclog_fsz = 0;
uint32_t archive_fsz = 0;

char *cpy_buf = nullptr;  // trclog_move_file's copy buffer, kept once allocated

void *trclog_sync_thread(void *)
{
    pthread_setname_np(pthread_self(), "vexd.trclog");
    int fd = open(TRCLOG_WATCHED_TXT, O_RDWR | O_CREAT | O_APPEND, 0777);
    if (fd <= 0) {
        vexd_printf("Failed to open %s", TRCLOG_WATCHED_TXT);
        if (fd == 0) close(fd);
        return nullptr;
    }
    if (first_time.exchange(0)) vexd_add_startup_marker(fd, nullptr);
    vexd_printf("%s got fd=%d\n", TRCLOG_WATCHED_TXT, fd);

    int32_t last_size = 0;
    int checks = 0;
    bool pending = false;  // changed since the last flush request
    while (!hascontrol.load()) {
        struct stat st {};
        int32_t size = fstat(fd, &st) == 0 ? static_cast<int32_t>(st.st_size) : last_size;
        tmr_msleep(WATCH_PERIOD_MS);
        if (hascontrol.load()) break;
        if (size != last_size) {
            last_size = size;
            checks = 0;
            pending = true;
        } else if (pending) {
            checks++;
        }
        if (checks > WATCH_SETTLED_CHECKS && pending) {
            vexd_printf("%s needs sync (size=%d bytes)\n", TRCLOG_WATCHED_TXT, last_size);
            fssync_srv_need_sync(fd);
            pending = false;
        }
    }
    close(fd);
    vexd_printf("exit trclog_sync_thread!\n");
    return nullptr;
}

// Starts a watcher; trclog_mutex held.
int start_watcher(void)
{
    int rc = pthread_create(&trclog_sync_pt, nullptr, trclog_sync_thread, nullptr);
    trclog_sync_started = rc == 0;
    return rc;
}

// Empties the log directory text file after its text was archived, so the
// next archive step does not compress it again. A failed archive (size 0)
// leaves the text in place for the next attempt.
void empty_archived_text(uint32_t gz_size)
{
    if (gz_size == 0) return;
    if (truncate(path_txt, 0) != 0 && errno != ENOENT)
        vexd_printf("Failed to empty %s, errno=%d\n", path_txt, errno);
    else
        file_rotation_done(path_txt, path_gz);
}

}  // namespace

int32_t trclog_srv_init(void)
{
    std::lock_guard<std::mutex> lock(trclog_mutex);
    if (hascontrol.load() || trclog_sync_started) return 0;  // a client was faster
    return start_watcher();
}

int trclog_srv_enable(void)
{
    std::lock_guard<std::mutex> lock(trclog_mutex);
    if (hascontrol.load()) {
        vexd_printf("trclog: already enabled\n");
        return 0;
    }
    hascontrol.store(1);
    if (trclog_sync_started) {
        pthread_join(trclog_sync_pt, nullptr);
        trclog_sync_started = false;
    }

    snprintf(path_txt, sizeof(path_txt), "%s/%s.txt", vexd_log_dir_path, "vexd_trclog");
    snprintf(path_gz, sizeof(path_gz), "%s/%s.gz", vexd_log_dir_path, "vexd_trclog");
    uint32_t gz_size = 0;
    vexd_archive_logfile(path_txt, path_gz, TRCLOG_GZ_LIMIT, &gz_size);
    empty_archived_text(gz_size);
    trclog_move_file(TRCLOG_WATCHED_TXT, path_txt);
    trclog_move_file(TRCLOG_WATCHED_GZ, path_gz);

    trclog_fd = open(path_txt, O_RDWR | O_CREAT | O_APPEND, 0777);
    trclog_stat = {};
    if (trclog_fd >= 0) fstat(trclog_fd, &trclog_stat);
    trclog_fsz = static_cast<int32_t>(trclog_stat.st_size);
    return 0;
}

int trclog_srv_write(const void *data, int len)
{
    std::lock_guard<std::mutex> lock(trclog_mutex);
    if (!hascontrol.load() || trclog_fd < 0 || len < 0 || (data == nullptr && len > 0)) return -1;

    int rc = 0;
    ssize_t n = vexd_log_write(trclog_fd, data, static_cast<size_t>(len));
    if (n > 0) trclog_fsz += static_cast<int32_t>(n);
    if (n < 0) rc = -1;
    if (trclog_fsz < TRCLOG_ROTATE_SIZE) {
        fssync_srv_need_sync(trclog_fd);
        return rc;
    }

    trclog_fd = vexd_rotate_logfile(trclog_fd, path_txt, path_gz, TRCLOG_GZ_LIMIT, &archive_fsz);
    trclog_fsz = 0;
    if (trclog_fd < 0) {
        vexd_printf("Failed to open %s!!", path_txt);
        return -1;
    }
    return rc;
}

int trclog_srv_disable(void)
{
    std::lock_guard<std::mutex> lock(trclog_mutex);
    if (!hascontrol.load()) {
        vexd_printf("trclog: not enabled\n");
        return 0;
    }
    if (trclog_fd >= 0) close(trclog_fd);
    trclog_fd = -1;
    vexd_archive_logfile(path_txt, path_gz, TRCLOG_GZ_LIMIT, &archive_fsz);
    empty_archived_text(archive_fsz);
    hascontrol.store(0);
    return start_watcher();
}

int32_t trclog_move_file(const char *src, const char *dst)
{
    if (cpy_buf == nullptr) {
        cpy_buf = static_cast<char *>(malloc(CPY_BUF_LEN));
        if (cpy_buf == nullptr) {
            vexd_printf("move_file: no memory\n");
            return -1;
        }
    }
    unique_fd in(open(src, O_RDWR));
    if (!in.ok()) {
        vexd_printf("move_file: open %s, errno=%d\n", src, errno);
        return -1;
    }
    unique_fd out(open(dst, O_RDWR | O_CREAT | O_APPEND, 0777));
    if (!out.ok()) {
        vexd_printf("move_file: open %s, errno=%d\n", dst, errno);
        return -1;
    }

    struct stat st {};
    off_t dst_size = fstat(out.get(), &st) == 0 ? st.st_size : -1;
    // A kill during the copy must not leave half of it behind (or, after the
    // copy, the source and its copy both): the record lets the next start
    // take the copy back while the source is still there.
    if (dst_size < 0 || file_copy_begin(src, dst, static_cast<int64_t>(dst_size)) != 0) {
        vexd_printf("move_file: cannot record the move to %s, errno=%d; %s kept\n", dst, errno, src);
        return -1;
    }
    int64_t moved = 0;
    int err = 0;
    // Copy to the end of the source, so that text appended since it was
    // looked at is not lost when the source is removed.
    for (;;) {
        ssize_t n = retry_read(in.get(), cpy_buf, CPY_BUF_LEN);
        if (n <= 0) {
            if (n < 0) err = errno;
            break;
        }
        // The daemon's own write, so a full disk is noted as it is for logs.
        if (full_write_with(vexd_log_write, out.get(), cpy_buf, static_cast<size_t>(n)) < 0) {
            err = errno;
            break;
        }
        moved += n;
    }

    if (err != 0) {
        // Keep the source whole and take back the part that got through, so
        // a later move does not repeat it.
        if (dst_size >= 0 && ftruncate(out.get(), dst_size) != 0)
            vexd_printf("move_file: could not cut %s back, errno=%d\n", dst, errno);
        in.reset();
        out.reset();
        file_rotation_done(src, dst);
        vexd_printf("move_file: %s to %s failed after %lld bytes, errno=%d; %s kept\n", src, dst,
                    static_cast<long long>(moved), err, src);
        return -1;
    }
    vexd_printf("Moved %s to %s (%d bytes)..\n", src, dst, static_cast<int>(moved));
    in.reset();
    fsync(out.get());  // the copy is on disk before its source goes
    out.reset();
    int rc = remove(src);
    file_rotation_done(src, dst);
    return rc;
}
