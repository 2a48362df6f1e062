// Modem diagnostic logging: recordings from /dev/diag into qmdl files, masks, modes, removal.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

typedef void (*diaglog_print_fn)(const char *format, ...);
typedef void (*diaglog_sync_fn)(int fd);
typedef ssize_t (*diaglog_write_fn)(int fd, const void *buf, size_t len);

// Diag settings record, filled by main() and copied by diaglog_init().
struct diaglog_settings_t {
    char log_dir[256];          // the diag directory is made inside it
    char mask_file[256];        // sent when a recording starts
    int32_t startup_counter;    // goes into qmdl names; 1 deletes all qmdl files
    uint32_t qmdl_size_limit;   // compress the qmdl file above this many bytes
    uint32_t gz_size_limit;     // delete the gzip partner above this size
    diaglog_print_fn print;     // vexd_printf in the daemon
    diaglog_sync_fn need_sync;  // fssync_srv_need_sync in the daemon
    int32_t compress;           // 0 = off
    diaglog_write_fn write;     // vexd_log_write in the daemon: all bytes, a full disk noted
};

constexpr int USB_MODE = 1;
constexpr int MEMORY_DEVICE_MODE = 2;
constexpr uint32_t DIAG_DATA_TYPE = 0x20;
constexpr uint32_t DEINIT_TYPE = 0x10;
constexpr unsigned long DIAG_IOCTL_SWITCH_LOGGING = 7;
constexpr unsigned long DIAG_IOCTL_DEINIT = 9;

// 0, or -1 for a settings record without its functions.
int diaglog_init(const diaglog_settings_t *settings);
// Installs the reader's SIGQUIT handler, once per process. main() calls it
// before any service thread exists: system(3) saves and restores the
// process-wide disposition around its command, so a handler installed while
// another thread runs a command would be undone when that command ends.
void diaglog_install_quit_handler(void);
// The commands' results are the status sent to the client (result as the
// protocol expects): 0, or -1 after a daemon log line saying why.
int diaglog_on(const char *name);
int diaglog_off(void);
int diaglog_setmaskfile(const char *path);
int diaglog_rmlogfile(const char *filter);
int diaglog_switch_logging(int mode);
int diaglog_read_mask_file(const char *path);

// Sends the packets of the mask file at `path` to descriptor `fd`, one write
// per packet; diaglog_read_mask_file() does this for the open device.
// 0, or -1 when the mask file cannot be opened.
int diaglog_load_mask(int fd, const char *path);

// Appends the qmdl file to its gzip partner, first deleting the partner when
// *gz_size (its size after the previous compression) exceeds `limit`.
// Stores and returns the partner's new size, 0 when the compression failed.
// The qmdl file and its rotation record are left to the caller. The reader's
// rotations are vexd_rotate_pair with this rule (vexd_gz_rule::always), which
// also empties or removes the qmdl file.
uint32_t dialog_compress(const char *qmdl, const char *gz, uint32_t limit, uint32_t *gz_size);

// The diagnostic device. Always "/dev/diag" in the daemon; unit tests point
// it at a stand-in (a FIFO, a missing path) before starting a recording.
extern const char *diaglog_dev_path;
