// Main log collector: /dev/log/main entries into vexd_logcat.txt/.gz.
#pragma once

#include <cstdint>

// Starts the collector's writer thread. Result as main() expects: the
// pthread_create result (0, or an error number); main() ORs the services'
// results together.
int32_t logcat_srv_init(void);
void logcat_srv_getlogdata(char **data, int *len);
// The orderly stop: the reader reads no more, the writer writes and syncs
// what its queue holds. Waits for that until `deadline_us` of monotonic_us();
// true when it was done in time.
bool logcat_srv_stop(int64_t deadline_us);
char filterPriToChar(unsigned char priority);

// Exposed for testing.
//
// Device the collector reads, "/dev/log/main"; a test may point it at a FIFO
// of its own before logcat_srv_init().
extern const char *logcat_srv_dev_path;

// Size of the line buffer; a longer line is cut at LOGCAT_LINE_LEN - 1 characters.
constexpr int LOGCAT_LINE_LEN = 4096;

// Turns one logger entry (`nread` bytes at `entry`, as one read returned it)
// into the text line stamped with `t` microseconds. `entry` must have room for
// nread + 1 bytes: the message's line break and terminator are put in place
// there, never past the entry's own bytes. Returns the line's length in
// `line` (LOGCAT_LINE_LEN bytes), or -1 after logging why a malformed entry
// was dropped.
int logcat_srv_format_entry(char *entry, int nread, int64_t t, char *line);
