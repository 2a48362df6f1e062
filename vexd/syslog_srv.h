// Kernel log collector: /proc/kmsg into vexd_syslog.txt/.gz.
#pragma once

#include <cstdint>

// Starts the collector's writer thread. Result as main() expects: the
// pthread_create result (0, or an error number); main() ORs the services'
// results together.
int32_t syslog_srv_init(void);
void syslog_srv_getlogdata(char **data, int *len);
// The orderly stop: the reader reads no more, the writer writes and syncs
// what its queue holds. Waits for that until `deadline_us` of monotonic_us();
// true when it was done in time.
bool syslog_srv_stop(int64_t deadline_us);

// Device the collector reads, "/proc/kmsg". Exposed for testing: a test may
// point it at a FIFO of its own before syslog_srv_init().
extern const char *syslog_srv_dev_path;
