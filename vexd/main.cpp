// vexd: start-up of every service, then the free-space supervision loop.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "diaglog.h"
#include "fs_srv.h"
#include "fssync_srv.h"
#include "logcat_srv.h"
#include "monotonic.h"
#include "rotation_journal.h"
#include "socket_srv.h"
#include "syslog_srv.h"
#include "tmr.h"
#include "trclog_srv.h"
#include "vexd.h"

namespace {

constexpr uint32_t SUPERVISION_PERIOD_MS = 250;

// How long an orderly stop waits for the collectors to write what they read.
// A full queue is 1 MiB, four rotations: well within it even where each
// fsync takes 100 ms.
constexpr int64_t STOP_WRITE_US = 5000000;

// The signal that asked for an orderly stop (SIGTERM: init at shutdown, or
// `stop` on a shell), 0 until then. Set by the handler on whichever thread
// takes it; main sees it within one supervision period.
std::atomic<int> stop_signal{0};
static_assert(std::atomic<int>::is_always_lock_free, "the handler may only touch a lock-free flag");

extern "C" void on_stop_signal(int sig) { stop_signal.store(sig); }

void set_signal_action(int sig, void (*handler)(int))
{
    struct sigaction sa {};
    sa.sa_handler = handler;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;  // the collectors' reads go on as if nothing happened
    sigaction(sig, &sa, nullptr);
}

// Before the daemon ends on its own or on a signal: the collectors stop
// reading and write what their queues hold, then everything is synced.
void write_out_logs(void)
{
    const int64_t deadline = monotonic_us() + STOP_WRITE_US;
    bool in_time = syslog_srv_stop(deadline);
    in_time = logcat_srv_stop(deadline) && in_time;
    if (!in_time)
        vexd_printf("Collectors not written out within %lld s\n", static_cast<long long>(STOP_WRITE_US / 1000000));
}

// Gives each of the descriptors 0 to 2 that the daemon was started without
// /dev/null, as init does for its services: no log file is ever opened onto
// one of them, to be taken for input or to catch what a shell command or the
// C library writes to the standard output and error.
void stdio_onto_dev_null(void)
{
    for (;;) {
        const int fd = open("/dev/null", O_RDWR);  // the lowest free one, kept across exec
        if (fd < 0) return;
        if (fd > STDERR_FILENO) {
            close(fd);
            return;
        }
    }
}

diaglog_settings_t dl = {
    .log_dir = "/system",
    .mask_file = "/system/etc/diagmask.cfg",
    .startup_counter = 0,
    .qmdl_size_limit = 262144,
    .gz_size_limit = 1073741824,
    .print = vexd_printf,
    .need_sync = fssync_srv_need_sync,
    .compress = 0,
    .write = vexd_log_write,
};

// Every rotation and move the daemon makes, by directory: the text logs onto
// their .gz partners and the trace files moved in at a trace enable (log
// directory), the qmdl files onto theirs (diag directory).
constexpr file_pair_t LOG_DIR_PAIRS[] = {
#define VEXD_LOG_PAIR(id, base, ...) {base ".gz", base ".txt", 'z'},
    VEXD_TEXT_LOGS(VEXD_LOG_PAIR)
#undef VEXD_LOG_PAIR
    {LOG_FILES[LOG_TRACE].txt, TRCLOG_WATCHED_TXT, 'c'},
    {LOG_FILES[LOG_TRACE].gz, TRCLOG_WATCHED_GZ, 'c'},
};
constexpr file_pair_t DIAG_DIR_PAIRS[] = {{"dl_*.qmdl.gz", "dl_*.qmdl", 'z'}};

// Records the repair could not take at their word, told in the daemon log
// once it is open (the repair runs before it, since it settles its pair too).
constexpr int REPAIR_NOTES_MAX = 8;
char repair_notes[REPAIR_NOTES_MAX][320];
int repair_note_count;

void repair_note(const char *record, const char *why)
{
    if (repair_note_count < REPAIR_NOTES_MAX)
        snprintf(repair_notes[repair_note_count], sizeof repair_notes[0], "%s: %s", record, why);
    ++repair_note_count;
}

}  // namespace

int main(int, char **)
{
    stdio_onto_dev_null();
    set_signal_action(SIGTERM, on_stop_signal);
    vexd_kmsg("daemon started");
    tmr_init();
    vexd_log_dir_path = fs_srv_init();
    // Before any writer opens its files: settle rotations that the last stop
    // cut short.
    char diag_dir[256];
    snprintf(diag_dir, sizeof(diag_dir), "%s/%s", vexd_log_dir_path, DIAG_DIR_NAME);
    int repaired = file_rotation_repair(vexd_log_dir_path, LOG_DIR_PAIRS, repair_note) +
                   file_rotation_repair(diag_dir, DIAG_DIR_PAIRS, repair_note);
    if (repaired > 0) vexd_kmsg("settled log rotations cut short by the last stop");
    // The first line opens the daemon log and counts this start.
    vexd_printf("log dir = %s\n", vexd_log_dir_path);
    if (const char *note = vexd_startcnt_note(); note != nullptr) vexd_printf("%s", note);
    for (int i = 0; i < repair_note_count && i < REPAIR_NOTES_MAX; i++)
        vexd_printf("Rotation record dropped, nothing changed: %s\n", repair_notes[i]);
    if (repair_note_count > REPAIR_NOTES_MAX)
        vexd_printf("Rotation records dropped, nothing changed: %d more\n", repair_note_count - REPAIR_NOTES_MAX);

    // A half archive must not keep the daemon from starting for want of space.
    vexd_archive_drop_leftover();
    int64_t free_bytes = vexd_check_fsquota();
    if (free_bytes < VEXD_MIN_FREE_BYTES || vexd_log_disk_full()) {
        vexd_kmsg("Can't start, no disk space left!");
        return -1;
    }
    vexd_printsize(free_bytes);
    vexd_log_clock();

    diaglog_install_quit_handler();  // before the first service thread
    int32_t failed = 0;
    failed |= socket_srv_init();
    failed |= fssync_srv_init();
    failed |= syslog_srv_init();
    failed |= logcat_srv_init();
    failed |= trclog_srv_init();

    snprintf(dl.log_dir, sizeof(dl.log_dir), "%s", vexd_log_dir_path);
    vexd_init_startup_counter();  // done already unless the daemon log failed to open
    dl.startup_counter = vexd_get_startup_counter();
    failed |= diaglog_init(&dl);

    vexd_printf("Threads started %s\n", failed == 0 ? "OK" : "NOT OK");
    vexd_save_proclist();
    vexd_kmsg("daemon startup complete");

    int64_t free_now = 0;
    bool disk_full = false;
    do {
        tmr_msleep(SUPERVISION_PERIOD_MS);
        if (stop_signal.load() != 0) break;
        free_now = vexd_check_fsquota();
        disk_full = free_now >= VEXD_MIN_FREE_BYTES && vexd_log_disk_full();
    } while (free_now >= VEXD_MIN_FREE_BYTES && !disk_full);

    write_out_logs();
    if (const int sig = stop_signal.load(); sig != 0) {
        vexd_printf(LOG_STOPPED_FORMAT, sig);
        sync();
        vexd_kmsg("daemon stopped on signal %d", sig);
        // Ends as the signal would have ended it: the caller sees the same status.
        set_signal_action(sig, SIG_DFL);
        raise(sig);
        return 128 + sig;
    }
    if (disk_full)
        vexd_printf("%s", LOG_QUIT_FULL);
    else
        vexd_printf(LOG_QUIT_SPACE_FORMAT, static_cast<long long>(free_now),
                    static_cast<long long>(VEXD_MIN_FREE_BYTES));
    sync();
    vexd_kmsg("Diskspace is close to full! Quit!");
    system("df /system > /dev/kmsg");
    return 1;
}
