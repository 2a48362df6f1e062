// Trace log channel: the watched /system/trclog.txt and the client-fed vexd_trclog.txt/.gz.
#pragma once

#include <cstdint>

// The trace files other programs leave, taken over at each enable.
constexpr const char *TRCLOG_WATCHED_TXT = "/system/trclog.txt";
constexpr const char *TRCLOG_WATCHED_GZ = "/system/trclog.gz";

// Starts the watcher unless a client has the channel or a watcher runs.
// Result as main() expects: 0, or the pthread_create error.
int32_t trclog_srv_init(void);
// The results of write, enable and disable are the command's status sent to
// the client (result as the protocol expects).
// 0, or -1 when the channel is not enabled or the text could not be written.
int trclog_srv_write(const void *data, int len);
// 0; -1 when a watched name was not a regular file and was left alone (the
// channel is enabled all the same). Enabling an enabled channel changes
// nothing.
int trclog_srv_enable(void);
// 0 or the watcher's thread-creation error; disabling a channel that is not
// enabled changes nothing and answers 0.
int trclog_srv_disable(void);
// Appends `src` to `dst` and removes `src`. -1 when either cannot be opened or
// the copy did not complete (then `src` is kept and `dst` cut back to its old
// size): among those, a source that grew more than 1 MiB during the copy;
// TRCLOG_MOVE_REFUSED when `src` is not a regular file (a link, a FIFO, a
// device), left alone; `dst` is never opened through a link; otherwise the result of removing `src`. Callers
// serialise their calls.
constexpr int32_t TRCLOG_MOVE_REFUSED = -2;
int32_t trclog_move_file(const char *src, const char *dst);
