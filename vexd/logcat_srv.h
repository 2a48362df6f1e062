// Main log collector: /dev/log/main entries into vexd_logcat.txt/.gz.
#pragma once

#include <cstdint>

int32_t logcat_srv_init(void);
void logcat_srv_getlogdata(char **data, int *len);
char filterPriToChar(unsigned char priority);
