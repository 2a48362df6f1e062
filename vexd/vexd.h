// vexd: daemon-wide state, the daemon log and the text log file pair routines.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "log_files.h"  // the files' names, rotation sizes and rules, the marker

// Log directory chosen at start-up ("/qordebug" or "/system"). Written once by
// main() before any service thread exists; read everywhere without a lock.
extern const char *vexd_log_dir_path;

// Count of this start, read from /system/vexd_startcnt by the first startup
// marker; 0 before it. Threads other than main read it through
// vexd_get_startup_counter(), which is safe while the marker is being set up.
extern int32_t vexd_curr_startup_counter;

// ---- daemon log (vexd_log.cpp) ----
// printf-style; adds "[%5lu.%06lu] vexd: " and appends to vexd_vexdlog.txt.
void vexd_printf(const char *format, ...) __attribute__((format(printf, 1, 2)));
// The kernel-log report, for what must be seen where the daemon log may not
// exist: runs the shell command echo "vexd: <text>" > /dev/kmsg, the text
// formatted printf-style (a test's stand-in for system() sees every one). The
// text stands between double quotes in a shell command: never a client's text.
void vexd_kmsg(const char *format, ...) __attribute__((format(printf, 1, 2)));
// One daemon log line tying the time base to the wall clock and the kernel's
// uptime (LOG_CLOCK_FORMAT); main() writes it once per start.
void vexd_log_clock(void);

// assert(expression, file, line), the support library's check failure
// report, is defined in vexd_log.cpp; vexd_check.h declares it.
#include "vexd_check.h"

// ---- text log file pairs, startup marker, process list (vexd_rotate.cpp) ----
void vexd_add_startup_marker(int fd, int32_t *count);
int32_t vexd_get_startup_counter(void);
// The daemon log line that says the counter file was damaged and from which
// count this start went on, or null; main() logs it.
const char *vexd_startcnt_note(void);
// Reads and rewrites the startup counter file unless a marker already did
// (once per process); main() calls it when the daemon log could not be opened.
void vexd_init_startup_counter(void);
int32_t vexd_get_file_size(const char *path);

// How a rotation treats a gzip partner that grew past its limit, that is
// whose size after the last rotation (*gz_size) is above it: removed first,
// so the oldest text goes and the partner starts anew.
enum class vexd_gz_rule {
    off_partition,  // only outside the dedicated log partition, where it may grow without limit (the text logs)
    always,         // whenever it is over (the qmdl files)
};
// What a rotation does with its input once the input's text is a whole
// member of the gzip partner. When the compression failed the input is kept
// as it is, with every end.
enum class vexd_rotate_end {
    leave,   // nothing: the text stays, and so does the record, for the caller to end (file_rotation_done)
    reopen,  // opened again emptied, O_RDWR | O_CREAT | O_TRUNC, mode 0777 (after a failed compression
             // without O_TRUNC, appended to); the descriptor is the result
    empty,   // emptied where it is
    remove,  // removed
};
// The one rotation of every file pair (the text logs, the process list, the
// trace log at enable and disable, the qmdl files): `in` appended to `out` as
// one gzip member (file_compress), after the over-limit rule; *gz_size
// becomes the partner's new size, 0 when the compression failed. Then `end`.
// The record of the rotation is emptied (reopen) or removed only once the
// input is emptied or gone, so a kill or a power cut at any moment loses or
// repeats nothing (rotation_journal.h). A rotation syncs the input, the
// record and the member; with reopen the emptied input is left to its
// writer's regular sync, the record kept until then.
// Result as the callers expect: with reopen the descriptor, or negative;
// otherwise 0, or -1 (errno set) when the input could not be emptied or
// removed, its record left for the next start.
int vexd_rotate_pair(const char *in, const char *out, uint32_t limit, vexd_gz_rule rule, uint32_t *gz_size,
                     vexd_rotate_end end);
// The text logs' compression step alone: vexd_rotate_pair with the rule
// off_partition and the text left to its writer.
void vexd_archive_logfile(const char *txt, const char *gz, uint32_t limit, uint32_t *gz_size);


// One text log file pair as the thread that writes it holds it.
struct vexd_textlog_t {
    char txt[256] = {};
    char gz[256] = {};
    int32_t rotate_size = 0;
    vexd_rotate_rule rule = vexd_rotate_rule::above;
    uint32_t gz_limit = 0;  // see vexd_archive_logfile
    int fd = -1;            // the text; -1 while closed
    int32_t txt_size = 0;   // bytes in the text since it was opened or emptied
    uint32_t gz_size = 0;   // as the last compression left it
    bool report = true;     // "is now" line on rotation; not for the daemon log itself
};
// A pair with the rotation size, rule and gzip limit of its row in LOG_FILES.
constexpr vexd_textlog_t vexd_textlog_of(log_id id, bool report = true)
{
    vexd_textlog_t log{};
    log.rotate_size = LOG_FILES[id].rotate_size;
    log.rule = LOG_FILES[id].rule;
    log.gz_limit = LOG_FILES[id].gz_limit;
    log.report = report;
    return log;
}
// Names the pair "<log dir>/<name>.txt" and ".gz".
void vexd_textlog_name(vexd_textlog_t *log, const char *name);
// Opens the text with `flags` | O_CREAT | O_APPEND, takes its size, writes
// this start's marker and takes the gzip size: log->fd. Negative when the
// open failed, and 0 (still open, nothing written) where the input was
// closed; the callers count both as a failure.
int vexd_textlog_open(vexd_textlog_t *log, int flags);
// True once the text's size calls for a rotation; _at: for a text of `size` bytes.
bool vexd_textlog_due(const vexd_textlog_t *log);
bool vexd_textlog_due_at(const vexd_textlog_t *log, int32_t size);
// Closes the text, compresses it onto its gzip partner and opens it again
// (vexd_rotate_pair, reopen): log->fd, negative when the open failed. With
// log->report, logs "%s is now %d bytes".
int vexd_textlog_rotate(vexd_textlog_t *log);
// Appends `len` bytes (vexd_log_write), then asks for a flush or, when due,
// rotates. The write's result; log->fd is negative (or 0) after a rotation
// whose open failed.
ssize_t vexd_textlog_append(vexd_textlog_t *log, const void *buf, size_t len);
void vexd_save_proclist(void);
// Heap copy of a text log file for the collectors' getlogdata operations:
// *data (malloc'ed, the caller frees it) and *len, or null and 0; null
// pointers get "Invalid Param!" in the daemon log. The caller holds its
// collector's mutex so the copy never meets a rotation.
void vexd_read_text_file(const char *path, char **data, int *len);
// Moves the startup counter file away from /system/vexd_startcnt. For unit
// tests only; call before the first startup marker.
void vexd_set_startcnt_path(const char *path);
// True on a first start: nothing at all (not even a link) at the counter's
// path. Decided at the first call and kept, so the storage choice (format or
// not) and the count agree.
bool vexd_first_start(void);

// ---- free space (vexd_space.cpp), used by main() ----
constexpr int64_t VEXD_MIN_FREE_BYTES = 819200;
int64_t vexd_check_fsquota(void);
// The one write of every log writer (text logs, startup markers, trace
// moves, qmdl files): all `len` bytes, through EINTR and short writes; the
// bytes written, fewer than `len` (or -1 when none) on a failure, with errno
// set. A write that fails with ENOSPC on the log directory's file system
// notes the disk as full: ext4 keeps clusters that no one may write, so
// statfs can still show more than the limit free while every log write fails.
ssize_t vexd_log_write(int fd, const void *buf, size_t len);
// Asked by main() once per supervision period: true when a log write met
// ENOSPC and, one period later, the free space has not come back (the daemon
// then stops as for low free space). A failure that the writer rolled back,
// or after which space was freed, does not count.
bool vexd_log_disk_full(void);
// The one open of the daemon's own files (the texts, the gzip partners, the
// counter, the qmdl files): open(2) with O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC
// added, kept only when the descriptor is a plain file. A link, a device or a
// FIFO in a file's place is refused with one daemon log line and -1 (errno
// ELOOP, or EINVAL); other failures give -1 and their errno, unlogged.
int vexd_log_open(const char *path, int flags, mode_t mode);
void vexd_printsize(int64_t bytes);

// ---- log directory archive (vexd_archive.cpp) ----
// Packs the log directory into a ZIP file; `response` (at least 256 bytes)
// receives the archive path. Result as the protocol expects (the client's
// status): 0 on success; -1 on failure, with no archive left at the path.
// On the log directory's file system the archive stops (and fails) before it
// would leave less than VEXD_MIN_FREE_BYTES and a margin free.
int vexd_archive_all(char *response, const char *path);
// The name an archive is written under until it is whole ("x.zip" ->
// "x.tmp.zip"), renamed to its own then.
void vexd_archive_temp_path(char *buf, size_t len, const char *archive);
// Removes the default archive's temporary file that a kill or a power cut
// left, with a daemon log line; main() calls it once at start.
void vexd_archive_drop_leftover(void);
