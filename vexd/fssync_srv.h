// File sync service: registered descriptors are fsync'ed every 500 ms on one thread.
#pragma once

#include <cstdint>

int32_t fssync_srv_init(void);
void fssync_srv_need_sync(int fd);
