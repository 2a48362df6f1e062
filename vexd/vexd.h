// vexd: daemon-wide state, the daemon log and the text log file pair routines.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

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

// Assertion-failure reporter of the support library: logs "(%d):%s" and
// ends the process with exit status 255. The C library's assert macro is
// not used in this program.
#ifdef assert
#undef assert
#endif
[[noreturn]] void assert(const char *expression, const char *file, int line);

// Check a pointer (or other) condition; a failure never returns.
#define VEXD_CHECK(expr)                                 \
    do {                                                 \
        if (!(expr)) assert(#expr, __FILE__, __LINE__);  \
    } while (0)

// ---- text log file pairs, startup marker, process list (vexd_rotate.cpp) ----
void vexd_add_startup_marker(int fd, int32_t *count);
int32_t vexd_get_startup_counter(void);
// Reads and rewrites the startup counter file unless a marker already did
// (once per process); main() calls it when the daemon log could not be opened.
void vexd_init_startup_counter(void);
void vexd_archive_logfile(const char *txt, const char *gz, uint32_t limit, uint32_t *gz_size);
int32_t vexd_get_file_size(const char *path);
// Opens a text file again after vexd_archive_logfile: emptied when its text
// reached the gzip file, kept and appended to when the compression failed.
int vexd_reopen_logfile(const char *txt, const char *gz, uint32_t gz_size);
// A collector's rotation: closes fd, compresses the text onto its gzip
// partner, logs "%s is now %d bytes" and returns the reopened descriptor
// (negative when the open failed). Not for the daemon log itself.
int vexd_rotate_logfile(int fd, const char *txt, const char *gz, uint32_t limit, uint32_t *gz_size);
void vexd_save_proclist(void);
// Heap copy of a text log file for the collectors' getlogdata operations:
// *data (malloc'ed, the caller frees it) and *len, or null and 0. The caller
// holds its collector's mutex so the copy never meets a rotation.
void vexd_read_text_file(const char *path, char **data, int *len);
// Moves the startup counter file away from /system/vexd_startcnt. For unit
// tests only; call before the first startup marker.
void vexd_set_startcnt_path(const char *path);

// ---- free space (vexd_space.cpp), used by main() ----
constexpr int64_t VEXD_MIN_FREE_BYTES = 819200;
int64_t vexd_check_fsquota(void);
// write(2) for log files. A write that fails with ENOSPC marks the file
// system as full: ext4 keeps clusters that no one may write, so statfs can
// still show more than the limit free while every log write fails.
ssize_t vexd_log_write(int fd, const void *buf, size_t len);
// True once a log write has failed with ENOSPC; main() then stops as for
// low free space.
bool vexd_log_disk_full(void);
void vexd_printsize(int64_t bytes);

// ---- log directory archive (vexd_archive.cpp) ----
// Packs the log directory into a ZIP file; `response` (at least 256 bytes)
// receives the archive path. 0 on success, -1 on failure.
int vexd_archive_all(char *response, const char *path);
