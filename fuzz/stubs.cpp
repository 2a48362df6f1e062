// Stand-ins for the daemon services that the fuzzed units call but that
// would touch the system (the daemon log file, the kernel log, the disk).
// All weak: a target that links the real unit gets the real one.
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#define WEAK __attribute__((weak))

// Formats like the daemon log does, so every format and its arguments are
// exercised, then drops the text.
WEAK void vexd_printf(const char *format, ...)
{
    char line[512];
    va_list ap;
    va_start(ap, format);
    vsnprintf(line, sizeof line, format, ap);
    va_end(ap);
}

// Nothing reaches a shell, in any target: not weak, so no other definition
// can be picked by the linker.
extern "C" int system(const char *command) { return command == nullptr ? 0 : 0; }

WEAK const char *vexd_log_dir_path = "/nonexistent-fuzz-logdir";
WEAK void fssync_srv_need_sync(int) {}
WEAK int64_t tmr_get64(void) { return 1234567890; }
WEAK void tmr_usleep(uint32_t) {}
WEAK int32_t file_compress(const char *, const char *) { return -1; }
WEAK int fs_srv_using_cache_partition(void) { return 1; }
WEAK int32_t vexd_get_file_size(const char *) { return 0; }
WEAK void vexd_read_text_file(const char *, char **data, int *len)
{
    *data = nullptr;
    *len = 0;
}
WEAK void vexd_add_startup_marker(int, int32_t *) {}
