// File sync service: registered descriptors are fsync'ed every 500 ms on one thread.
#pragma once

#include <cstdint>

// Starts the flushing thread. Result as main() expects: the
// pthread_create result (0, or an error number); main() ORs the services'
// results together.
int32_t fssync_srv_init(void);
// Asks that `fd` be flushed at the end of the current period; at most 15
// distinct descriptors per period, further ones are dropped. Descriptors the
// one-byte table cannot hold (0 and above 255) are flushed at once on the
// caller's thread; negative ones are ignored.
void fssync_srv_need_sync(int fd);
// One period's flush: fsyncs the registered descriptors in registration
// order and starts an empty period; returns how many were flushed.
int fssync_srv_flush(void);
