// simdevd: the simulated handset's device server.
//
//   simdevd [-f] [-d] [-s] [-o FUSE_OPTIONS] MOUNTPOINT RECORDS_DIR
//
// Serves, in the root of MOUNTPOINT, the diagnostic device "diag", the control
// file "ctl", the log rings "kmsg" and "log_main" with their counters in
// "rings", and the PMIC files spmi_address, spmi_count, spmi_data, invert and
// rf_id (sim/README.md has the control lines and the record files). The
// handset binds them to their platform paths. Unmounting ends the server; so
// do SIGTERM, SIGINT and SIGHUP, which unmount first.
//
// diag hands out exactly one record per read. A read with nothing to hand out
// is parked in `g_readers` and answered later, from whichever thread makes a
// record available: the FUSE loop (control lines, request 9, a new read) or
// the producer thread (the "diag rate" stream). The loop itself never waits,
// so writes and ioctls go on while a read is parked; a parked read that the
// kernel interrupts (a signal to the reader) is answered with EINTR. The log
// rings park their reads the same way, in `g_ring_readers`, until a write
// feeds the ring; a write to a ring never waits (ring.h).
//
// Locking: `g_mutex` guards all state below. Replies to parked reads are sent
// with it held, so records reach diag_data.bin in the order readers got them.
// libfuse calls the interrupt callback holding its request lock, which is
// taken before `g_mutex`, so fuse_req_interrupt_func is never called with
// `g_mutex` held.
#define FUSE_USE_VERSION 314
#include <fuse_lowlevel.h>

#include "full_io.h"
#include "simdevd_model.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <getopt.h>
#include <mutex>
#include <linux/fuse.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <thread>
#include <spawn.h>
#include <unistd.h>
#include <unordered_set>
#include <vector>

namespace {

// Inode numbers; the PMIC files follow in the order of simdevd_pmic.
enum : fuse_ino_t {
    INO_ROOT = 1,
    INO_DIAG,
    INO_CTL,
    INO_KMSG,
    INO_LOG_MAIN,
    INO_RINGS,
    INO_PMIC,
    INO_SPMI_ADDRESS = INO_PMIC,
    INO_SPMI_COUNT,
    INO_SPMI_DATA,
    INO_INVERT,
    INO_RF_ID,
    INO_END
};
static_assert(INO_END - INO_PMIC == PMIC_COUNT && INO_INVERT - INO_PMIC == PMIC_INVERT);

struct node_t {
    const char *name;
    mode_t mode;
};
// Indexed by inode number.
constexpr std::array<node_t, INO_END> nodes = {{
    {"", 0},
    {".", S_IFDIR | 0755},
    {"diag", S_IFREG | 0666},
    {"ctl", S_IFREG | 0222},
    {"kmsg", S_IFREG | 0666},
    {"log_main", S_IFREG | 0666},
    {"rings", S_IFREG | 0444},
    {"spmi_address", S_IFREG | 0644},
    {"spmi_count", S_IFREG | 0644},
    {"spmi_data", S_IFREG | 0444},
    {"invert", S_IFREG | 0644},
    {"rf_id", S_IFREG | 0444},
}};

// One open file. PMIC files show a text taken when they are opened.
struct handle_t {
    fuse_ino_t ino;
    std::string text;
    bool deinit = false;  // diag: request 9 asked for a DEINIT record
};

// A diag read waiting for a record.
struct reader_t {
    fuse_req_t req;
    handle_t *h;
    size_t size;
};

std::mutex g_mutex;
simdevd_model_t g_model;
std::deque<reader_t> g_readers;
std::deque<reader_t> g_ring_readers;       // reads of kmsg and log_main waiting for data
std::vector<uint8_t> g_ring_out;           // buffer of the ring data being handed out
std::unordered_set<handle_t *> g_handles;  // freed at exit if never released
std::vector<uint8_t> g_record;             // buffer of the record being handed out
std::condition_variable g_wake;            // wakes the producer
bool g_stop = false;
std::string g_records_dir;
thread_local bool t_stream_reply = false;  // see io_writev

uint64_t now_ns()
{
    using namespace std::chrono;
    return duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count();
}

// Appends to a file of the records folder; returns its size before, or -1.
// Opened per call, so a test may delete or truncate the files between cases.
off_t record(const char *name, const void *data, size_t len)
{
    std::string path = g_records_dir + "/" + name;
    int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) {
        fprintf(stderr, "simdevd: %s: %s\n", path.c_str(), strerror(errno));
        if (fd >= 0) close(fd);
        return -1;
    }
    if (full_write(fd, data, len) < 0) fprintf(stderr, "simdevd: %s: %s\n", path.c_str(), strerror(errno));
    close(fd);
    return st.st_size;
}

void record_line(const char *name, const std::string &line)
{
    record(name, (line + "\n").data(), line.size() + 1);
}

// Answers one parked read with a record (cut to the read's size). A data
// record goes to diag_data.bin first, so a reader that has it finds it there,
// and is taken back out if the reply fails. False when the reader is gone;
// the record then stays for the next one.
bool hand_out(const reader_t &r, uint32_t type, uint32_t size)
{
    size_t n = std::min<size_t>(size, r.size);
    g_record.resize(std::max<size_t>(n, 1));
    simdevd_fill_record(g_record.data(), n, type, g_model.seq);
    off_t before = type == SIMDEVD_DATA_TYPE ? record("diag_data.bin", g_record.data(), n) : -1;
    if (fuse_reply_buf(r.req, reinterpret_cast<const char *>(g_record.data()), n) != 0) {
        if (before >= 0 && truncate((g_records_dir + "/diag_data.bin").c_str(), before) != 0)
            fprintf(stderr, "simdevd: diag_data.bin: %s\n", strerror(errno));
        return false;
    }
    g_model.seq++;
    return true;
}

// Answers every parked read that has a record due: its handle's DEINIT first,
// else the next data source record. Called with g_mutex held.
void pump_locked()
{
    uint64_t now = now_ns();
    for (size_t i = 0; i < g_readers.size();) {
        reader_t r = g_readers[i];
        uint32_t type, size;
        bool deinit = r.h->deinit;
        if (deinit) {
            type = SIMDEVD_DEINIT_TYPE;
            size = SIMDEVD_DEINIT_SIZE;
        } else if (!simdevd_peek(&g_model, now, &type, &size)) {
            i++;
            continue;
        }
        g_readers.erase(g_readers.begin() + static_cast<long>(i));
        if (!hand_out(r, type, size)) continue;
        if (deinit)
            r.h->deinit = false;
        else
            simdevd_take(&g_model);
    }
}

int ring_of(fuse_ino_t ino) { return ino == INO_KMSG ? RING_KMSG : ino == INO_LOG_MAIN ? RING_MAIN : -1; }

// Answers every parked ring read whose ring holds data. Called with g_mutex
// held.
void pump_rings_locked()
{
    uint64_t now = now_ns();
    for (size_t i = 0; i < g_ring_readers.size();) {
        reader_t r = g_ring_readers[i];
        ring_t *ring = &g_model.rings[ring_of(r.h->ino)];
        if (!ring_ready(ring)) {
            i++;
            continue;
        }
        g_ring_readers.erase(g_ring_readers.begin() + static_cast<long>(i));
        g_ring_out.resize(std::max<size_t>(r.size, 1));
        int64_t n = ring_read(ring, g_ring_out.data(), r.size, now);
        if (n < 0)
            fuse_reply_err(r.req, EINVAL);
        else
            fuse_reply_buf(r.req, reinterpret_cast<const char *>(g_ring_out.data()), static_cast<size_t>(n));
    }
}

// The "diag rate" stream: wakes when the next rate record falls due while a
// read is parked. Everything else is answered where it happens.
void producer()
{
    std::unique_lock<std::mutex> lk(g_mutex);
    while (!g_stop) {
        pump_locked();
        uint64_t due = g_readers.empty() ? 0 : simdevd_next_due_ns(&g_model);
        if (due == 0)
            g_wake.wait(lk);
        else
            g_wake.wait_until(lk, std::chrono::steady_clock::time_point(std::chrono::nanoseconds(due)));
    }
}

// Called by libfuse when the kernel interrupts a read (the reader got a
// signal): answers it with EINTR unless a record already went out.
void on_interrupt(fuse_req_t req, void *)
{
    std::lock_guard<std::mutex> lk(g_mutex);
    for (auto *queue : {&g_readers, &g_ring_readers}) {
        for (auto it = queue->begin(); it != queue->end(); ++it) {
            if (it->req == req) {
                queue->erase(it);
                fuse_reply_err(req, EINTR);
                return;
            }
        }
    }
}

struct stat attr_of(fuse_ino_t ino)
{
    struct stat st {};
    st.st_ino = ino;
    st.st_mode = nodes[ino].mode;
    st.st_nlink = ino == INO_ROOT ? 2 : 1;
    st.st_uid = getuid();
    st.st_gid = getgid();
    return st;
}

handle_t *handle_of(fuse_file_info *fi) { return reinterpret_cast<handle_t *>(fi->fh); }

// Text a PMIC file shows when opened for reading.
std::string pmic_text(int pmic)
{
    char buf[32];
    switch (pmic) {
    case PMIC_SPMI_ADDRESS: snprintf(buf, sizeof buf, "0x%04X\n", g_model.spmi_address); return buf;
    case PMIC_SPMI_COUNT: snprintf(buf, sizeof buf, "%u\n", g_model.spmi_count); return buf;
    case PMIC_SPMI_DATA: return simdevd_spmi_dump(g_model.spmi_address, g_model.spmi_count, g_model.gpio_reg);
    case PMIC_INVERT: return g_model.invert + "\n";
    default: return simdevd_rf_id(g_model.adc);
    }
}

// Applies the control lines of one write; all or none. 0, or EINVAL.
int control(std::string_view text)
{
    std::vector<simdevd_ctl_t> cmds;
    while (!text.empty()) {
        size_t eol = text.find('\n');
        std::string_view line = text.substr(0, eol);
        text = eol == std::string_view::npos ? std::string_view() : text.substr(eol + 1);
        simdevd_ctl_t c;
        std::string err;
        if (simdevd_parse_ctl(line, &c, &err) != 0) {
            fprintf(stderr, "simdevd: ctl \"%.*s\": %s\n", static_cast<int>(line.size()), line.data(),
                    err.c_str());
            return EINVAL;
        }
        cmds.push_back(c);
    }
    std::lock_guard<std::mutex> lk(g_mutex);
    uint64_t now = now_ns();
    for (const auto &c : cmds) simdevd_apply(&g_model, c, now);
    pump_locked();
    g_wake.notify_one();
    return 0;
}

// A write to spmi_address or spmi_count: logged as written, then parsed.
int spmi_write(int pmic, std::string_view text)
{
    while (!text.empty() && isspace(static_cast<unsigned char>(text.back()))) text.remove_suffix(1);
    while (!text.empty() && isspace(static_cast<unsigned char>(text.front()))) text.remove_prefix(1);
    record_line("spmi.log", std::string(simdevd_pmic_names[pmic]) + " " + std::string(text));
    int64_t v;
    if (!simdevd_parse_int(text, 0, pmic == PMIC_SPMI_ADDRESS ? 0xFFFFF : SIMDEVD_MAX_SPMI_COUNT, &v))
        return EINVAL;
    std::lock_guard<std::mutex> lk(g_mutex);
    (pmic == PMIC_SPMI_ADDRESS ? g_model.spmi_address : g_model.spmi_count) = static_cast<uint32_t>(v);
    return 0;
}

// ---- FUSE operations -------------------------------------------------------

void op_lookup(fuse_req_t req, fuse_ino_t parent, const char *name)
{
    for (fuse_ino_t ino = INO_DIAG; parent == INO_ROOT && ino < INO_END; ino++) {
        if (strcmp(nodes[ino].name, name) == 0) {
            fuse_entry_param e{};
            e.ino = ino;
            e.attr = attr_of(ino);
            fuse_reply_entry(req, &e);  // zero timeouts: nothing is cached
            return;
        }
    }
    fuse_reply_err(req, ENOENT);
}

void op_getattr(fuse_req_t req, fuse_ino_t ino, fuse_file_info *)
{
    if (ino >= INO_END) {
        fuse_reply_err(req, ENOENT);
        return;
    }
    struct stat st = attr_of(ino);
    fuse_reply_attr(req, &st, 0);
}

// Shells open with O_TRUNC, which arrives as a truncation to size 0; the
// files have no size to change, so any setattr just answers the attributes.
void op_setattr(fuse_req_t req, fuse_ino_t ino, struct stat *, int, fuse_file_info *fi)
{
    op_getattr(req, ino, fi);
}

void op_readdir(fuse_req_t req, fuse_ino_t ino, size_t size, off_t off, fuse_file_info *)
{
    if (ino != INO_ROOT) {
        fuse_reply_err(req, ENOTDIR);
        return;
    }
    char buf[1024];
    size_t used = 0;
    for (fuse_ino_t i = INO_ROOT + static_cast<fuse_ino_t>(off); i < INO_END; i++) {
        struct stat st = attr_of(i);
        size_t len = fuse_add_direntry(req, buf + used, std::min(size, sizeof buf) - used, nodes[i].name, &st,
                                       static_cast<off_t>(i));
        if (used + len > std::min(size, sizeof buf)) break;
        used += len;
    }
    fuse_reply_buf(req, buf, used);
}

void op_open(fuse_req_t req, fuse_ino_t ino, fuse_file_info *fi)
{
    if (ino == INO_ROOT || ino >= INO_END) {
        fuse_reply_err(req, ino == INO_ROOT ? EISDIR : ENOENT);
        return;
    }
    int acc = fi->flags & O_ACCMODE;
    bool reads = acc != O_WRONLY, writes = acc != O_RDONLY;
    if ((reads && !(nodes[ino].mode & 0444)) || (writes && !(nodes[ino].mode & 0222))) {
        fuse_reply_err(req, EACCES);
        return;
    }
    auto *h = new handle_t{ino, {}, false};
    {
        std::lock_guard<std::mutex> lk(g_mutex);
        if (ino >= INO_PMIC) {
            int pmic = static_cast<int>(ino - INO_PMIC);
            if (g_model.access[pmic] != ACCESS_PRESENT) {
                int err = g_model.access[pmic] == ACCESS_ABSENT ? ENOENT : EACCES;
                delete h;
                fuse_reply_err(req, err);
                return;
            }
            if (reads) h->text = pmic_text(pmic);
        } else if (ino == INO_RINGS) {
            for (int ring = 0; ring < RING_COUNT; ring++)
                h->text += ring_stats(&g_model.rings[ring], std::string(simdevd_ring_names[ring]).c_str());
        }
        g_handles.insert(h);
    }
    fi->fh = reinterpret_cast<uint64_t>(h);
    fi->direct_io = 1;  // every read and write reaches us, nothing is cached
    fi->nonseekable = ino == INO_DIAG || ring_of(ino) >= 0;
    t_stream_reply = fi->nonseekable;
    int rc = fuse_reply_open(req, fi);
    t_stream_reply = false;
    if (rc != 0) {  // the opener is gone already
        std::lock_guard<std::mutex> lk(g_mutex);
        g_handles.erase(h);
        delete h;
    }
}

void op_release(fuse_req_t req, fuse_ino_t, fuse_file_info *fi)
{
    handle_t *h = handle_of(fi);
    {
        std::lock_guard<std::mutex> lk(g_mutex);
        // The kernel releases a file only after its reads ended; drop any
        // parked read of it all the same rather than keep a dangling handle.
        for (auto *queue : {&g_readers, &g_ring_readers}) {
            for (size_t i = 0; i < queue->size();) {
                if ((*queue)[i].h == h) {
                    fuse_reply_err((*queue)[i].req, EBADF);
                    queue->erase(queue->begin() + static_cast<long>(i));
                } else {
                    i++;
                }
            }
        }
        g_handles.erase(h);
    }
    delete h;
    fuse_reply_err(req, 0);
}

void op_read(fuse_req_t req, fuse_ino_t ino, size_t size, off_t off, fuse_file_info *fi)
{
    handle_t *h = handle_of(fi);
    if (ring_of(ino) >= 0) {
        fuse_req_interrupt_func(req, on_interrupt, nullptr);
        if (fuse_req_interrupted(req)) {
            fuse_reply_err(req, EINTR);
            return;
        }
        std::lock_guard<std::mutex> lk(g_mutex);
        ring_note_read(&g_model.rings[ring_of(ino)], now_ns());
        g_ring_readers.push_back({req, h, size});
        pump_rings_locked();
        return;
    }
    if (ino != INO_DIAG) {
        const std::string &t = h->text;
        size_t at = std::min(static_cast<size_t>(off), t.size());
        fuse_reply_buf(req, t.data() + at, std::min(size, t.size() - at));
        return;
    }
    // Register for interrupts before the read becomes visible to the
    // producer, which may answer (and free) it at once. Interrupts are
    // handled on this thread (the loop is single-threaded), so none can come
    // in between.
    fuse_req_interrupt_func(req, on_interrupt, nullptr);
    if (fuse_req_interrupted(req)) {
        fuse_reply_err(req, EINTR);
        return;
    }
    std::lock_guard<std::mutex> lk(g_mutex);
    g_readers.push_back({req, h, size});
    pump_locked();
    g_wake.notify_one();
}

void op_write(fuse_req_t req, fuse_ino_t ino, const char *buf, size_t size, off_t, fuse_file_info *)
{
    std::string_view text(buf, size);
    int err = 0;
    switch (ino) {
    case INO_DIAG: record_line("diag_writes.log", simdevd_hex(buf, size)); break;
    case INO_CTL: err = control(text); break;
    case INO_KMSG:
    case INO_LOG_MAIN: {
        std::lock_guard<std::mutex> lk(g_mutex);
        if (!ring_feed(&g_model.rings[ring_of(ino)], reinterpret_cast<const uint8_t *>(buf), size))
            err = EINVAL;
        pump_rings_locked();
        break;
    }
    case INO_SPMI_ADDRESS:
    case INO_SPMI_COUNT: err = spmi_write(static_cast<int>(ino - INO_PMIC), text); break;
    case INO_INVERT: {
        if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
        record_line("invert.log", std::string(text));
        std::lock_guard<std::mutex> lk(g_mutex);
        g_model.invert = text;
        break;
    }
    default: err = EBADF;
    }
    if (err)
        fuse_reply_err(req, err);
    else
        fuse_reply_write(req, size);
}

// Requests 7 (switch logging mode) and 9 (end the recording) carry no data:
// the argument arrives as the raw value. Anything else is ENOTTY.
void op_ioctl(fuse_req_t req, fuse_ino_t ino, unsigned int cmd, void *arg, fuse_file_info *fi, unsigned,
              const void *, size_t, size_t)
{
    if (ino != INO_DIAG) {
        fuse_reply_err(req, ENOTTY);
        return;
    }
    unsigned long value = reinterpret_cast<uintptr_t>(arg);
    std::lock_guard<std::mutex> lk(g_mutex);
    int result = -1;
    if (cmd == 7) {
        result = g_model.refuse7 ? 0 : 1;
    } else if (cmd == 9) {
        result = g_model.refuse9 ? 0 : 1;
        if (result && !g_model.ignore9) handle_of(fi)->deinit = true;
    }
    char line[80];
    snprintf(line, sizeof line, "%u %lu %d", cmd, value, result);
    record_line("diag_ioctl.log", line);
    if (result < 0)
        fuse_reply_err(req, ENOTTY);
    else
        fuse_reply_ioctl(req, result, nullptr, 0);
    pump_locked();
}

// diag must be opened as a stream (FOPEN_STREAM): the kernel then keeps no
// file position for it and does not serialise a write behind a read parked on
// the same descriptor, which a threaded reader and writer (the daemon) do.
// libfuse 3.14 has no field for that flag, so the open reply is amended on its
// way out: op_open raises `t_stream_reply` (on its own thread) around
// fuse_reply_open, and the session's writev adds the flag.
ssize_t io_writev(int fd, struct iovec *iov, int count, void *)
{
    fuse_open_out out;
    if (t_stream_reply && count == 2 && iov[1].iov_len == sizeof out) {
        memcpy(&out, iov[1].iov_base, sizeof out);
        out.open_flags |= FOPEN_STREAM;
        iov[1].iov_base = &out;
    }
    return writev(fd, iov, count);
}

ssize_t io_read(int fd, void *buf, size_t len, void *) { return read(fd, buf, len); }

const fuse_lowlevel_ops ops = [] {
    fuse_lowlevel_ops o{};
    o.lookup = op_lookup;
    o.getattr = op_getattr;
    o.setattr = op_setattr;
    o.readdir = op_readdir;
    o.open = op_open;
    o.release = op_release;
    o.read = op_read;
    o.write = op_write;
    o.ioctl = op_ioctl;
    return o;
}();

void usage(FILE *out, const char *prog)
{
    fprintf(out,
            "usage: %s [-f] [-d] [-s] [-o FUSE_OPTIONS] MOUNTPOINT RECORDS_DIR\n"
            "       %s --help\n"
            "\n"
            "Serves the simulated handset's devices (diag, ctl and the PMIC files) in\n"
            "MOUNTPOINT and records what they see in RECORDS_DIR.\n"
            "  -f, --foreground   stay in the foreground\n"
            "  -d, --debug        FUSE debug output (implies -f)\n"
            "  -s, --single       single-threaded FUSE loop\n"
            "  -o OPTIONS         FUSE mount options\n",
            prog, prog);
}

constexpr struct option long_options[] = {
    {"help", no_argument, nullptr, 'h'},
    {"foreground", no_argument, nullptr, 'f'},
    {"debug", no_argument, nullptr, 'd'},
    {"single", no_argument, nullptr, 's'},
    {nullptr, 0, nullptr, 0},
};

// fusermount3's auto_unmount can miss a server killed outright: it wakes on
// its control socket, which the kernel may release before /dev/fuse, finds
// the file system still answering and leaves it mounted, dead. A watchdog of
// our own, a shell (so it is never taken for a second server), wakes when
// the pipe's write end, which only the server holds, closes, however the
// server went. It then lazily unmounts MOUNTPOINT only if what is there is a
// dead FUSE mount ("not connected"): a clean exit has unmounted already, and
// a new server's mount answers. posix_spawn returns once the shell runs, and
// closes every descriptor of ours in it: /dev/fuse would keep the file
// system alive, the control socket would keep fusermount3 waiting.
void start_unmount_watchdog(const char *mnt)
{
    static char script[] = "read -r _; sleep 0.2; "  // EOF: the server is gone; fusermount3 goes first
                           "case $(LC_ALL=C timeout 5 stat -- \"$1\" 2>&1 >/dev/null) in *'not connected'*) "
                           "umount -l \"$1\" 2>/dev/null || fusermount3 -u -z \"$1\" 2>/dev/null;; esac";
    static char sh[] = "sh", opt_c[] = "-c", name[] = "simdevd-watchdog";
    int gone[2];
    if (pipe2(gone, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, gone[0], STDIN_FILENO);
    posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
    char *const argv[] = {sh, opt_c, script, name, const_cast<char *>(mnt), nullptr};
    pid_t pid;
    if (const int rc = posix_spawn(&pid, "/bin/sh", &actions, nullptr, argv, environ); rc != 0)
        fprintf(stderr, "simdevd: no unmount watchdog: %s\n", strerror(rc));
    posix_spawn_file_actions_destroy(&actions);
    close(gone[0]);  // gone[1] stays open, unused, until the server ends
}

}  // namespace

int main(int argc, char **argv)
{
    // Our own options first; what libfuse understands is handed on to it.
    // auto_unmount leaves a fusermount3 watching, which unmounts should this
    // process die.
    char opt_o[] = "-o", opt_auto[] = "auto_unmount", opt_f[] = "-f", opt_d[] = "-d", opt_s[] = "-s";
    std::vector<char *> fuse_argv{argv[0], opt_o, opt_auto};
    opterr = 0;
    int c;
    while ((c = getopt_long(argc, argv, ":hfdso:", long_options, nullptr)) != -1) {
        switch (c) {
        case 'h': usage(stdout, argv[0]); return 0;
        case 'f': fuse_argv.push_back(opt_f); break;
        case 'd': fuse_argv.push_back(opt_d); break;
        case 's': fuse_argv.push_back(opt_s); break;
        case 'o':
            fuse_argv.push_back(opt_o);
            fuse_argv.push_back(optarg);
            break;
        case ':':
            fprintf(stderr, "simdevd: %s needs a value\n", argv[optind - 1]);
            usage(stderr, argv[0]);
            return 2;
        default:
            fprintf(stderr, "simdevd: unknown option %s\n", argv[optind - 1]);
            usage(stderr, argv[0]);
            return 2;
        }
    }
    if (argc - optind != 2) {
        usage(stderr, argv[0]);
        return 2;
    }
    const char *mnt_arg = argv[optind], *rec_arg = argv[optind + 1];
    // Absolute paths: a daemon runs from "/".
    char mnt[PATH_MAX], rec[PATH_MAX];
    mkdir(rec_arg, 0755);
    const char *bad = !realpath(mnt_arg, mnt) ? mnt_arg : !realpath(rec_arg, rec) ? rec_arg : nullptr;
    if (bad) {
        fprintf(stderr, "simdevd: %s: %s\n", bad, strerror(errno));
        return 1;
    }
    g_records_dir = rec;
    simdevd_rings_init(&g_model);

    fuse_args args = FUSE_ARGS_INIT(static_cast<int>(fuse_argv.size()), fuse_argv.data());
    fuse_cmdline_opts opts{};
    if (fuse_parse_cmdline(&args, &opts) != 0) {
        usage(stderr, argv[0]);
        return 2;
    }
    if (opts.show_help || opts.show_version || opts.mountpoint) {
        free(opts.mountpoint);
        fuse_opt_free_args(&args);
        usage(stderr, argv[0]);
        return 2;
    }

    int rc = 1;
    fuse_custom_io io{};
    io.writev = io_writev;
    io.read = io_read;
    fuse_session *se = fuse_session_new(&args, &ops, sizeof ops, nullptr);
    if (se && fuse_set_signal_handlers(se) == 0) {
        if (fuse_session_mount(se, mnt) == 0) {
            // The watchdog before fuse_daemonize, so that the server that
            // goes on after its fork holds the pipe; threads only after it.
            const bool io_set = fuse_session_custom_io(se, &io, fuse_session_fd(se)) == 0;
            if (io_set) start_unmount_watchdog(mnt);
            if (io_set && fuse_daemonize(opts.foreground) == 0) {
                std::thread prod(producer);
                rc = fuse_session_loop(se) < 0 ? 1 : 0;  // ended by unmount or a signal: 0
                {
                    std::lock_guard<std::mutex> lk(g_mutex);
                    g_stop = true;
                }
                g_wake.notify_all();
                prod.join();
                // Free what the kernel will never ask about again.
                for (auto *queue : {&g_readers, &g_ring_readers}) {
                    for (const auto &r : *queue) fuse_reply_err(r.req, ENODEV);
                    queue->clear();
                }
                for (handle_t *h : g_handles) delete h;
                g_handles.clear();
            }
            fuse_session_unmount(se);
        }
        fuse_remove_signal_handlers(se);
    }
    if (se) fuse_session_destroy(se);
    fuse_opt_free_args(&args);
    return rc;
}
