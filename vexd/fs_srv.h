// Choice of the log directory: the dedicated log partition, the fallback link, or /system.
#pragma once

const char *fs_srv_init(void);
int fs_srv_using_cache_partition(void);
