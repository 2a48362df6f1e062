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

#include "fssync_srv.h"
#include "full_io.h"
#include "rotation_journal.h"
#include "unique_fd.h"
#include "tmr.h"
#include "vexd.h"

namespace {

constexpr int CPY_BUF_LEN = 32768;
// Text a source may gain while it is moved, beyond its size at the start.
constexpr int64_t TRCLOG_MOVE_SLACK = 1048576;
constexpr uint32_t WATCH_PERIOD_MS = 200;
constexpr int WATCH_SETTLED_CHECKS = 4;  // unchanged checks before a flush is asked for

// The module's state.
struct trclog_srv_state {
    std::atomic<int> hascontrol{0};  // atomic: 1 while a client has enabled the channel
    std::atomic<int> first_time{1};  // atomic: marker not yet written into the watched file
    // Serialises enable, write and disable, which both socket threads may
    // call. Taken before vexd_log.printmutex and fssync_srv.mutex; the
    // watcher never takes it.
    std::mutex mutex;
    pthread_t sync_pt;                                // mutex
    bool sync_started = false;                        // mutex: sync_pt is a thread not yet joined
    vexd_textlog_t log = vexd_textlog_of(LOG_TRACE);  // mutex
    // trclog_move_file's copy buffer, kept once allocated; its callers hold
    // mutex (the daemon's) or are the only thread (the unit tests').
    char *cpy_buf = nullptr;
} trclog_srv;

void *trclog_sync_thread(void *)
{
    pthread_setname_np(pthread_self(), "vexd.trclog");
    // Only a regular file is watched: through a link, or into a FIFO or a
    // device, the marker would land in something that is not ours.
    unique_fd watched(open(TRCLOG_WATCHED_TXT, O_RDWR | O_CREAT | O_APPEND | O_NOFOLLOW | O_NONBLOCK, 0777));
    struct stat wst {};
    if (watched.ok() && (fstat(watched.get(), &wst) != 0 || !S_ISREG(wst.st_mode))) watched.reset();
    const int fd = watched.get();
    if (fd <= 0) {  // 0 counts as a failure too (and is closed), though main() holds 0 to 2 on /dev/null
        vexd_printf("Failed to open %s", TRCLOG_WATCHED_TXT);
        return nullptr;
    }
    if (trclog_srv.first_time.exchange(0)) vexd_add_startup_marker(fd, nullptr);
    vexd_printf("%s got fd=%d\n", TRCLOG_WATCHED_TXT, fd);

    int32_t last_size = 0;
    int checks = 0;
    bool pending = false;  // changed since the last flush request
    while (!trclog_srv.hascontrol.load()) {
        struct stat st {};
        int32_t size = fstat(fd, &st) == 0 ? static_cast<int32_t>(st.st_size) : last_size;
        tmr_msleep(WATCH_PERIOD_MS);
        if (trclog_srv.hascontrol.load()) break;
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
    vexd_printf("exit trclog_sync_thread!\n");
    return nullptr;
}

// Starts a watcher; trclog_srv.mutex held.
int start_watcher(void)
{
    int rc = pthread_create(&trclog_srv.sync_pt, nullptr, trclog_sync_thread, nullptr);
    trclog_srv.sync_started = rc == 0;
    return rc;
}

// Archives the log directory text file at enable and disable and empties it,
// so the next archive step does not compress it again. A failed archive
// (size 0) leaves the text in place for the next attempt.
void archive_text(uint32_t *gz_size)
{
    if (vexd_rotate_pair(trclog_srv.log.txt, trclog_srv.log.gz, trclog_srv.log.gz_limit,
                         vexd_gz_rule::off_partition, gz_size, vexd_rotate_end::empty) != 0)
        vexd_printf("Failed to empty %s, errno=%d\n", trclog_srv.log.txt, errno);
}

}  // namespace

int32_t trclog_srv_init(void)
{
    std::lock_guard<std::mutex> lock(trclog_srv.mutex);
    if (trclog_srv.hascontrol.load() || trclog_srv.sync_started) return 0;  // a client was faster
    return start_watcher();
}

int trclog_srv_enable(void)
{
    std::lock_guard<std::mutex> lock(trclog_srv.mutex);
    if (trclog_srv.hascontrol.load()) {
        vexd_printf("trclog: already enabled\n");
        return 0;
    }
    trclog_srv.hascontrol.store(1);
    if (trclog_srv.sync_started) {
        pthread_join(trclog_srv.sync_pt, nullptr);
        trclog_srv.sync_started = false;
    }

    vexd_textlog_name(&trclog_srv.log, LOG_FILES[LOG_TRACE].base);
    uint32_t gz_size = 0;
    archive_text(&gz_size);
    // A watched name that is not a regular file is left alone, and the
    // client hears of it; the channel is enabled all the same.
    int result = 0;
    if (trclog_move_file(TRCLOG_WATCHED_TXT, trclog_srv.log.txt) == TRCLOG_MOVE_REFUSED) result = -1;
    if (trclog_move_file(TRCLOG_WATCHED_GZ, trclog_srv.log.gz) == TRCLOG_MOVE_REFUSED) result = -1;

    // The client's session has no startup marker of its own: opened plainly.
    trclog_srv.log.fd = vexd_log_open(trclog_srv.log.txt, O_RDWR | O_CREAT | O_APPEND, 0777);
    struct stat st {};
    trclog_srv.log.txt_size =
        trclog_srv.log.fd >= 0 && fstat(trclog_srv.log.fd, &st) == 0 ? static_cast<int32_t>(st.st_size) : 0;
    return result;
}

int trclog_srv_write(const void *data, int len)
{
    std::lock_guard<std::mutex> lock(trclog_srv.mutex);
    if (!trclog_srv.hascontrol.load() || trclog_srv.log.fd < 0 || len < 0 || (data == nullptr && len > 0))
        return -1;

    const ssize_t n = vexd_textlog_append(&trclog_srv.log, data, static_cast<size_t>(len));
    if (trclog_srv.log.fd < 0) {
        vexd_printf("Failed to open %s!!", trclog_srv.log.txt);
        return -1;
    }
    return n < 0 ? -1 : 0;
}

int trclog_srv_disable(void)
{
    std::lock_guard<std::mutex> lock(trclog_srv.mutex);
    if (!trclog_srv.hascontrol.load()) {
        vexd_printf("trclog: not enabled\n");
        return 0;
    }
    if (trclog_srv.log.fd >= 0) close(trclog_srv.log.fd);
    trclog_srv.log.fd = -1;
    archive_text(&trclog_srv.log.gz_size);
    trclog_srv.hascontrol.store(0);
    return start_watcher();
}

int32_t trclog_move_file(const char *src, const char *dst)
{
    if (trclog_srv.cpy_buf == nullptr) {
        trclog_srv.cpy_buf = static_cast<char *>(malloc(CPY_BUF_LEN));
        if (trclog_srv.cpy_buf == nullptr) {
            vexd_printf("move_file: no memory\n");
            return -1;
        }
    }
    // Only regular files are moved: a FIFO would block the copy (and the
    // trace lock with it) for ever, a device would never end, and a link
    // could lead anywhere. Neither open blocks or follows a link; the type
    // is checked on the descriptor.
    unique_fd in(open(src, O_RDWR | O_NOFOLLOW | O_NONBLOCK));
    if (!in.ok() && errno != ELOOP && errno != ENXIO) {
        vexd_printf("move_file: open %s, errno=%d\n", src, errno);
        return -1;
    }
    struct stat st {};
    if (!in.ok() || fstat(in.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        vexd_printf("move_file: %s is not a regular file, left alone\n", src);
        return TRCLOG_MOVE_REFUSED;
    }
    const int64_t src_size = static_cast<int64_t>(st.st_size);
    unique_fd out(open(dst, O_RDWR | O_CREAT | O_APPEND | O_NOFOLLOW, 0777));
    if (!out.ok()) {
        vexd_printf("move_file: open %s, errno=%d\n", dst, errno);
        return -1;
    }
    const off_t dst_size = fstat(out.get(), &st) == 0 ? st.st_size : -1;
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
    // looked at is not lost when the source is removed; but no further than
    // a bound, since the trace lock is held meanwhile.
    const int64_t bound = src_size + TRCLOG_MOVE_SLACK;
    for (;;) {
        ssize_t n = retry_read(in.get(), trclog_srv.cpy_buf, CPY_BUF_LEN);
        if (n <= 0) {
            if (n < 0) err = errno;
            break;
        }
        if (moved + n > bound) {
            err = EFBIG;  // still growing: kept for the next move
            break;
        }
        if (vexd_log_write(out.get(), trclog_srv.cpy_buf, static_cast<size_t>(n)) != n) {
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
