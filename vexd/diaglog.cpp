// Modem diagnostic logging.
//
// A recording opens /dev/diag, starts a reader thread that copies the
// device's data records into "<logdir>/diag_logs/dl_<name>_<count>.qmdl",
// switches the device to memory-device mode and sends it the mask file.
// Stopping sends the "none" mask, asks the device to end the recording
// (request 9), waits up to 3 s for the reader, forces it with SIGQUIT if it
// has not ended, joins it and closes the device.
//
// The socket threads call the entry points without a lock of their own; the
// flags they share with the reader are atomics. The module's state is the one
// record `diaglog`, each member with its guard. Locks, outermost first:
//   diaglog.cmd_mutex   serialises diaglog_on and diaglog_off; the reader
//                       never takes it. The daemon log is written under it.
//   diaglog.mask_mutex  guards dl.mask_file; nothing is taken under it.
//   diaglog.exit_mutex  with exit_cond, the reader's exit notice, kept in a
//                       flag so that a notice given before diaglog_off starts
//                       waiting is not lost; nothing is taken under it.
// They are plain pthread mutexes, not std::mutex as in the other modules:
// exit_mutex must be one for pthread_cond_timedwait (a wait bounded by the
// realtime clock, as the reader's 3 s are), and the other two stay of the
// same kind within this module.
#include "diaglog.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "unique_fd.h"
#include "tmr.h"
#include "vexd.h"  // the rotation of the qmdl files; last: it replaces the C library's assert

const char *diaglog_dev_path = "/dev/diag";

namespace {

constexpr const char *DIAG_NONE_MASK = "/system/etc/diagmask_none.cfg";
constexpr size_t DIAG_READ_LEN = 1048576;   // one device record at most
constexpr size_t DIAG_MASK_BUF_LEN = 8192;  // type word + packet
constexpr size_t DIAG_PATH_LEN = 256;
// Real mask files hold a few hundred request packets, some kilobytes; this
// bound keeps a command from reading an endless or huge file under the
// command lock.
constexpr off_t DIAG_MASK_FILE_MAX = 1048576;
constexpr int DIAG_EXIT_WAIT_S = 3;
// The reader polls the device so that a cleared `started` is seen even when
// no record comes; a device without poll support reports itself readable.
constexpr int DIAG_POLL_MS = 200;

// The module's state. diaglog_init fills the settings before any command
// comes; the socket threads and the reader share the rest as noted.
struct diaglog_state {
    diaglog_settings_t dl;                 // set once by diaglog_init; dl.mask_file under mask_mutex
    char logdir[DIAG_PATH_LEN];            // set once by diaglog_init
    char fname[DIAG_PATH_LEN];             // cmd_mutex; read by the reader it was set for
    std::atomic<int> diagfd{-1};           // atomic
    std::atomic<int> initdone{0};          // atomic
    std::atomic<int> started{0};           // atomic; also cleared by the SIGQUIT handler
    std::atomic<int> logmode{USB_MODE};    // atomic
    pthread_t reader;                      // cmd_mutex
    std::atomic<bool> reader_live{false};  // atomic: reader not joined yet
    std::atomic<bool> quit_handler_installed{false};  // atomic
    // With exit_cond, the reader's exit notice.
    pthread_mutex_t exit_mutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t exit_cond = PTHREAD_COND_INITIALIZER;
    bool exited = false;  // exit_mutex
    // dl.mask_file is replaced by one socket thread while the other may read it.
    pthread_mutex_t mask_mutex = PTHREAD_MUTEX_INITIALIZER;
    // Serialises diaglog_on and diaglog_off: the two control sockets may send
    // them at once, and an off must never close the device of an on that came
    // in between. The reader never takes it.
    pthread_mutex_t cmd_mutex = PTHREAD_MUTEX_INITIALIZER;
} diaglog;

void diaglog_wait_init(void)
{
    while (!diaglog.initdone.load()) tmr_usleep(1000);
}

void diaglog_notify_exit(void)
{
    pthread_mutex_lock(&diaglog.exit_mutex);
    diaglog.exited = true;
    pthread_cond_signal(&diaglog.exit_cond);
    pthread_mutex_unlock(&diaglog.exit_mutex);
}

bool diaglog_reader_exited(void)
{
    pthread_mutex_lock(&diaglog.exit_mutex);
    bool exited = diaglog.exited;
    pthread_mutex_unlock(&diaglog.exit_mutex);
    return exited;
}

void diaglog_close_dev(void)
{
    int fd = diaglog.diagfd.exchange(-1);
    if (fd >= 0) close(fd);
}

// SIGQUIT handler: only clears the flag; the reader reports the quit itself,
// since logging here could meet the daemon log's mutex held by the reader.
void diaglog_thread_quit(int) { diaglog.started = 0; }

}  // namespace

int diaglog_init(const diaglog_settings_t *settings)
{
    if (settings == nullptr || settings->print == nullptr || settings->need_sync == nullptr ||
        settings->write == nullptr)
        return -1;
    diaglog.dl = *settings;
    diaglog.dl.log_dir[sizeof diaglog.dl.log_dir - 1] = '\0';
    diaglog.dl.mask_file[sizeof diaglog.dl.mask_file - 1] = '\0';

    if (snprintf(diaglog.logdir, sizeof diaglog.logdir, "%s/diag_logs", diaglog.dl.log_dir) >=
        static_cast<int>(sizeof diaglog.logdir))
        diaglog.dl.print("diag directory path cut: %s\n", diaglog.logdir);
    mkdir(diaglog.logdir, 0777);

    diaglog.diagfd = -1;
    diaglog.initdone = 1;
    if (diaglog.dl.startup_counter == 1) diaglog_rmlogfile("");
    return 0;
}

void diaglog_install_quit_handler(void)
{
    if (diaglog.quit_handler_installed.exchange(true)) return;
    struct sigaction sa = {};
    sa.sa_handler = diaglog_thread_quit;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGQUIT, &sa, nullptr);
}

uint32_t dialog_compress(const char *qmdl, const char *gz, uint32_t limit, uint32_t *gz_size)
{
    vexd_rotate_pair(qmdl, gz, limit, vexd_gz_rule::always, gz_size, vexd_rotate_end::leave);
    return *gz_size;
}

namespace {

// ---- the reader ----

// Size of the open qmdl file, or -1 when it cannot be told.
int64_t diaglog_file_size(const unique_fd &fd)
{
    struct stat st {};
    return fd.ok() && fstat(fd.get(), &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
}

// Opens the qmdl file to append to it. Only a regular file of that name is
// written: a link could lead anywhere, and a FIFO would hold the reader.
// The descriptor, or -1 after one daemon log line.
int diaglog_open_qmdl(const char *path)
{
    unique_fd fd = open_regular(path, O_WRONLY | O_CREAT | O_APPEND, 0777);
    if (!fd.ok()) {
        if (errno == ELOOP)
            diaglog.dl.print("%s is a symbolic link, not written through\n", path);
        else if (errno == EINVAL)
            diaglog.dl.print("%s is not a regular file, not written to\n", path);
        else
            diaglog.dl.print("Failed to open %s\n", path);
        return -1;
    }
    return fd.release();
}

void *diaglog_thread(void *arg)
{
    pthread_setname_np(pthread_self(), "vexd.diag");
    const unique_malloc<uint8_t> owned(static_cast<uint8_t *>(arg));  // the reader's from here on
    uint8_t *buf = owned.get();
    uint32_t written = 0;
    uint32_t gz_size = 0;
    char qmdl[DIAG_PATH_LEN];
    char gz[DIAG_PATH_LEN];

    // diaglog_on has refused names whose paths would not fit.
    constexpr int room = static_cast<int>(DIAG_PATH_LEN);
    if (snprintf(qmdl, sizeof qmdl, "%s/dl_%s_%d.qmdl", diaglog.logdir, diaglog.fname,
                 diaglog.dl.startup_counter) >= room ||
        snprintf(gz, sizeof gz, "%s/dl_%s_%d.qmdl.gz", diaglog.logdir, diaglog.fname,
                 diaglog.dl.startup_counter) >= room)
        diaglog.dl.print("qmdl path cut: %s\n", qmdl);
    diaglog.dl.print("Starting log to %s\n", qmdl);

    unique_fd out(diaglog_open_qmdl(qmdl));
    // Where the last whole record ends: a qmdl file has no length fields, so
    // a record cut short by a failed write would read as the start of the
    // next one. The file is cut back to here.
    int64_t whole = diaglog_file_size(out);

    bool quit = true;  // left the loop because `started` was cleared
    while (diaglog.started) {
        struct pollfd pfd = {diaglog.diagfd.load(), POLLIN, 0};
        int ready = poll(&pfd, 1, DIAG_POLL_MS);
        if (ready == 0 || (ready < 0 && errno == EINTR)) continue;

        ssize_t n = read(diaglog.diagfd.load(), buf, DIAG_READ_LEN);
        uint32_t type = 0;
        if (n >= 4) memcpy(&type, buf, sizeof type);
        if (diaglog.logmode == USB_MODE) continue;
        // A signal is not a device failure: read again while still on.
        if (n < 0 && errno == EINTR) continue;
        if (type == DEINIT_TYPE || n < 0) {
            diaglog.dl.print("Got DEINIT_TYPE! now exiting thread..\n");
            diaglog_notify_exit();
            quit = false;
            break;
        }
        if (type != DIAG_DATA_TYPE) continue;

        ssize_t w = out.ok() ? diaglog.dl.write(out.get(), buf, static_cast<size_t>(n)) : -1;
        if (w > 0) written += static_cast<uint32_t>(w);
        if (out.ok() && w != n) {
            // A full disk (or a failing one): records would only be lost from
            // here on, silently. The recording ends; the daemon stops if the
            // disk stays full.
            const int err = errno;
            errno = 0;
            const bool cut = whole >= 0 && ftruncate(out.get(), static_cast<off_t>(whole)) == 0;
            const int cut_err = errno;
            diaglog.dl.print("Failed to write %s, errno=%d; recording ended\n", qmdl, err);
            if (!cut)
                diaglog.dl.print("Failed to cut %s back to its last whole record, errno=%d\n", qmdl, cut_err);
            diaglog_notify_exit();
            quit = false;
            break;
        }
        whole += n;
        if (diaglog.dl.compress && written > diaglog.dl.qmdl_size_limit) {
            out.reset();
            // A failed compression (size 0) keeps the qmdl file rather than losing it.
            written = 0;
            out.reset(vexd_rotate_pair(qmdl, gz, diaglog.dl.gz_size_limit, vexd_gz_rule::always, &gz_size,
                                       vexd_rotate_end::reopen));
            whole = diaglog_file_size(out);
            if (!out.ok()) {
                diaglog.dl.print("Failed to open %s\n", qmdl);
                quit = false;
                break;
            }
        } else if (out.ok()) {
            diaglog.dl.need_sync(out.get());
        }
    }
    if (quit) diaglog.dl.print("Quit diaglog thread.");
    out.reset();  // closed before the last compression

    if (diaglog.dl.compress) {
        // A failed compression keeps the qmdl file.
        vexd_rotate_pair(qmdl, gz, diaglog.dl.gz_size_limit, vexd_gz_rule::always, &gz_size,
                         vexd_rotate_end::remove);
        diaglog.dl.print("final compress: %s is now %d bytes\n", gz, static_cast<int>(gz_size));
    }
    diaglog_notify_exit();
    return nullptr;
}

// ---- recording on and off ----

// Longest recording name whose qmdl and gzip paths both fit their buffers;
// a cut path would lose the "_<count>.qmdl" ending that removal looks for,
// and with compression on both paths could cut to one name.
int diaglog_max_name_len(void)
{
    int fixed = snprintf(nullptr, 0, "%s/dl__%d.qmdl.gz", diaglog.logdir, diaglog.dl.startup_counter);
    int room = static_cast<int>(DIAG_PATH_LEN) - 1 - fixed;
    return room > 0 ? room : 0;
}

int diaglog_on_locked(const char *name)
{
    const int max_len = diaglog_max_name_len();
    if (name == nullptr || strchr(name, '/') != nullptr ||
        strnlen(name, sizeof diaglog.fname) > static_cast<size_t>(max_len)) {
        diaglog.dl.print("ERR: log name refused, it must fit %d bytes and hold no '/'\n", max_len);
        return -1;
    }
    diaglog_install_quit_handler();  // main did it already; unit tests rely on this
    // A reader that a stray SIGQUIT stopped without diaglog_off is collected
    // here; while it still runs the recording counts as on.
    if (!diaglog.started && diaglog.reader_live) {
        if (!diaglog_reader_exited()) {
            diaglog.dl.print("ERR: Modem logs already started!!\n");
            return -1;
        }
        if (diaglog.reader_live.exchange(false)) pthread_join(diaglog.reader, nullptr);
    }
    int idle = 0;
    if (!diaglog.started.compare_exchange_strong(idle, 1)) {
        diaglog.dl.print("ERR: Modem logs already started!!\n");
        return -1;
    }
    diaglog_close_dev();  // left open by a failed or forced stop

    int fd = open(diaglog_dev_path, O_RDWR);
    if (fd < 0) {
        diaglog.dl.print("Failed to open /dev/diag\n");
        diaglog.started = 0;
        return -1;
    }
    diaglog.diagfd = fd;
    memcpy(diaglog.fname, name, strlen(name) + 1);

    unique_malloc<void> buf(malloc(DIAG_READ_LEN));  // handed to the reader
    if (!buf) {
        diaglog.dl.print("Failed to allocate the diag read buffer\n");
        diaglog_close_dev();
        diaglog.started = 0;
        return -1;
    }
    pthread_mutex_lock(&diaglog.exit_mutex);
    diaglog.exited = false;
    pthread_mutex_unlock(&diaglog.exit_mutex);
    diaglog.logmode = USB_MODE;  // discard what comes before the mode switch and the mask
    int rc = pthread_create(&diaglog.reader, nullptr, diaglog_thread, buf.get());
    if (rc != 0) {
        diaglog.dl.print("Failed to start diaglog thread, error %d\n", rc);
        diaglog_close_dev();
        diaglog.started = 0;
        return -1;
    }
    buf.release();
    diaglog.reader_live = true;

    int result = diaglog_switch_logging(MEMORY_DEVICE_MODE);
    char mask[DIAG_PATH_LEN];
    pthread_mutex_lock(&diaglog.mask_mutex);
    memcpy(mask, diaglog.dl.mask_file, sizeof mask);
    pthread_mutex_unlock(&diaglog.mask_mutex);
    result |= diaglog_read_mask_file(mask);
    diaglog.logmode = MEMORY_DEVICE_MODE;
    diaglog.dl.print("Modem logs ON\n");
    return result;
}

int diaglog_off_locked(void)
{
    if (diaglog.diagfd == -1) {
        diaglog.diagfd = open(diaglog_dev_path, O_RDWR);
        if (diaglog.diagfd == -1) {  // no device: nothing was asked to stop
            diaglog.dl.print("Failed to open /dev/diag\n");
            return -1;
        }
    }
    diaglog_read_mask_file(DIAG_NONE_MASK);
    if (ioctl(diaglog.diagfd.load(), DIAG_IOCTL_DEINIT, 0L) == 0) {
        diaglog.dl.print("diaglog_off: DeviceIOControl failed.");
        return -1;
    }

    if (diaglog.reader_live) {
        struct timeval now;
        gettimeofday(&now, nullptr);
        struct timespec deadline = {now.tv_sec + DIAG_EXIT_WAIT_S, static_cast<long>(now.tv_usec) * 1000};
        pthread_mutex_lock(&diaglog.exit_mutex);
        while (!diaglog.exited) {
            if (pthread_cond_timedwait(&diaglog.exit_cond, &diaglog.exit_mutex, &deadline) != 0) break;
        }
        bool timed_out = !diaglog.exited;
        pthread_mutex_unlock(&diaglog.exit_mutex);
        if (timed_out) {
            diaglog.dl.print("diaglog_off: Timeout waiting diaglog_thread exit.");
            // The signal cuts a wait in the device short. Clearing the flag
            // here too ends the reader at its next poll even when the signal
            // is lost: system(3) ignores SIGQUIT process-wide while its
            // command runs.
            diaglog.started = 0;
            pthread_kill(diaglog.reader, SIGQUIT);
        }
        if (diaglog.reader_live.exchange(false)) pthread_join(diaglog.reader, nullptr);  // joined once
    }

    diaglog.logmode = USB_MODE;
    diaglog_close_dev();
    diaglog.started = 0;
    diaglog.dl.print("Modem logs are now off\n");
    return 0;
}

}  // namespace

int diaglog_on(const char *name)
{
    diaglog_wait_init();
    pthread_mutex_lock(&diaglog.cmd_mutex);
    int rc = diaglog_on_locked(name);
    pthread_mutex_unlock(&diaglog.cmd_mutex);
    return rc;
}

int diaglog_off(void)
{
    diaglog_wait_init();
    pthread_mutex_lock(&diaglog.cmd_mutex);
    int rc = diaglog_off_locked();
    pthread_mutex_unlock(&diaglog.cmd_mutex);
    return rc;
}

// ---- masks, logging mode, removal ----

namespace {

// Opens a mask file for reading: a regular file of at most
// DIAG_MASK_FILE_MAX bytes. O_NONBLOCK keeps a FIFO from holding the caller
// in open(). The descriptor, or -1 with errno set (EINVAL for a file that is
// refused, after logging why).
int diaglog_open_mask(const char *path)
{
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return -1;
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > DIAG_MASK_FILE_MAX) {
        diaglog.dl.print("maskfile %s refused: not a regular file of at most %d bytes\n", path,
                         static_cast<int>(DIAG_MASK_FILE_MAX));
        close(fd);
        errno = EINVAL;
        return -1;
    }
    return fd;
}

}  // namespace

int diaglog_load_mask(int fd, const char *path)
{
    std::array<uint8_t, DIAG_MASK_BUF_LEN> pkt;
    constexpr size_t head = sizeof DIAG_DATA_TYPE;
    memcpy(pkt.data(), &DIAG_DATA_TYPE, head);

    unique_fd mask_fd(path != nullptr ? diaglog_open_mask(path) : -1);
    const unique_file in(mask_fd.ok() ? fdopen(mask_fd.get(), "rb") : nullptr);
    if (!in) {
        int err = errno;
        mask_fd.reset();
        diaglog.dl.print("Sorry, can't open mask file, please check the device, errno: %d\n", err);
        return -1;
    }
    mask_fd.release();                // closed with `in`
    size_t pos = head;                // next free byte of pkt
    size_t len = 0;                   // bytes of the current packet, also those that did not fit
    off_t left = DIAG_MASK_FILE_MAX;  // a file that grows while it is read stops here
    int c;
    while (left-- > 0 && (c = fgetc(in.get())) != EOF) {
        ++len;
        if (pos < pkt.size()) pkt[pos++] = static_cast<uint8_t>(c);
        if (c != 0x7E) continue;
        if (len <= pkt.size() - head) {
            ssize_t w = write(fd, pkt.data(), pos);
            (void)w;  // a refused packet does not stop the others
        } else {
            diaglog.dl.print("mask packet of %zu bytes in %s is too long, not sent\n", len, path);
        }
        pos = head;
        len = 0;
    }
    diaglog.dl.print("maskfile %s loaded\n", path);
    return 0;
}

int diaglog_read_mask_file(const char *path) { return diaglog_load_mask(diaglog.diagfd.load(), path); }

int diaglog_setmaskfile(const char *path)
{
    diaglog_wait_init();
    char stored[DIAG_PATH_LEN] = {};
    size_t len = path != nullptr ? strnlen(path, sizeof stored) : sizeof stored;
    if (len >= sizeof stored) {
        diaglog.dl.print("maskfile path too long, keeping the current one\n");
        return -1;
    }
    memcpy(stored, path, len);
    pthread_mutex_lock(&diaglog.mask_mutex);
    memcpy(diaglog.dl.mask_file, stored, sizeof stored);
    pthread_mutex_unlock(&diaglog.mask_mutex);

    int fd = diaglog_open_mask(stored);
    if (fd < 0) {
        // A refused file was logged by the check; the path stays stored, as
        // for a missing file, and the next recording's loader refuses it too.
        if (errno != EINVAL) diaglog.dl.print("maskfile %s was not found!\n", stored);
        return -1;
    }
    close(fd);
    return 0;
}

int diaglog_switch_logging(int mode)
{
    if (ioctl(diaglog.diagfd.load(), DIAG_IOCTL_SWITCH_LOGGING, static_cast<long>(mode)) == 0) {
        diaglog.dl.print("DeviceIOControl failed while switching log mode. \n");
        return -1;
    }
    diaglog.dl.print("logging switched to %s\n",
                     mode == MEMORY_DEVICE_MODE ? "MEMORY_DEVICE_MODE" : "USB_MODE");
    return 0;
}

namespace {

bool diaglog_is_dir(DIR *dir, const struct dirent *entry)
{
    if (entry->d_type != DT_UNKNOWN) return entry->d_type == DT_DIR;
    struct stat st;
    return fstatat(dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

int diaglog_rmlogfile(const char *filter)
{
    diaglog_wait_init();
    if (filter == nullptr) filter = "";
    const unique_dir dir(opendir(diaglog.logdir));
    if (!dir) {
        diaglog.dl.print("Failed to open dir %s", diaglog.logdir);
        return -1;
    }
    int result = 0;
    while (const struct dirent *entry = readdir(dir.get())) {
        if (*filter != '\0' && strstr(entry->d_name, filter) == nullptr) continue;
        if (diaglog_is_dir(dir.get(), entry)) continue;
        if (strstr(entry->d_name, "qmdl") == nullptr) continue;
        char path[DIAG_PATH_LEN];
        // A path cut to fit could name another file: never remove that.
        bool fits = snprintf(path, sizeof path, "%s/%s", diaglog.logdir, entry->d_name) <
                    static_cast<int>(sizeof path);
        if (!fits || remove(path) != 0) {
            diaglog.dl.print("Failed to remove file %s", path);
            result = -1;
            break;
        }
        diaglog.dl.print("Deleted %s\n", path);
    }
    return result;
}
