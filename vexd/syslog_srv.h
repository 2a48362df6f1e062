// Kernel log collector: /proc/kmsg into vexd_syslog.txt/.gz.
#pragma once

#include <cstdint>

int32_t syslog_srv_init(void);
void syslog_srv_getlogdata(char **data, int *len);
