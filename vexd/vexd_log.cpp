// Daemon log: timestamped lines of every thread in vexd_vexdlog.txt/.gz.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "fssync_srv.h"
#include "tmr.h"
#include "vexd.h"  // last: it replaces the C library's assert

const char *vexd_log_dir_path = nullptr;

namespace {

constexpr const char *VEXDLOG_NAME = "vexd_vexdlog";
constexpr int32_t VEXDLOG_ROTATE_SIZE = 65536;
constexpr uint32_t VEXDLOG_GZ_LIMIT = 131072;
constexpr size_t LINE_LEN = 2048;

// Everything below is guarded by printmutex, which is held for a whole call.
std::mutex printmutex;
int initdone;
char vexdlog_txt[256];
char vexdlog_gz[256];
int vexdlog_fd = -1;
int32_t file_size;
uint32_t archive_sz;
char k_line_p[LINE_LEN];
char syscmd_p[LINE_LEN];

// Adds the result of one snprintf-style call to the fill level, keeping the
// last byte of the buffer for the terminator.
size_t line_advance(size_t pos, int n)
{
    if (n < 0) return pos;
    size_t end = pos + static_cast<size_t>(n);
    return end < LINE_LEN - 1 ? end : LINE_LEN - 1;
}

// Opens the daemon log and writes the startup marker; 0 on success.
int vexdlog_setup(void)
{
    if (vexd_log_dir_path == nullptr) {
        system("echo \"vexd: vexd_log_dir_path NULL, vexd_printf can not be used!\" > /dev/kmsg");
        return -1;
    }
    snprintf(vexdlog_txt, sizeof(vexdlog_txt), "%s/%s.txt", vexd_log_dir_path, VEXDLOG_NAME);
    snprintf(vexdlog_gz, sizeof(vexdlog_gz), "%s/%s.gz", vexd_log_dir_path, VEXDLOG_NAME);

    vexdlog_fd = open(vexdlog_txt, O_RDWR | O_CREAT | O_APPEND, 0777);
    if (vexdlog_fd <= 0) {
        // A descriptor 0 is counted as a failure too; it is left open so that
        // the next attempt gets a regular descriptor.
        snprintf(syscmd_p, sizeof(syscmd_p), "echo \"vexd: Failed to open %s fd=%d\" > /dev/kmsg",
                 vexdlog_txt, vexdlog_fd);
        system(syscmd_p);
        vexdlog_fd = -1;
        return -1;
    }
    struct stat st {};
    file_size = fstat(vexdlog_fd, &st) == 0 ? static_cast<int32_t>(st.st_size) : 0;
    vexd_add_startup_marker(vexdlog_fd, &file_size);
    archive_sz = static_cast<uint32_t>(vexd_get_file_size(vexdlog_gz));
    initdone = 1;
    return 0;
}

void vexdlog_rotate(void)
{
    close(vexdlog_fd);
    vexd_archive_logfile(vexdlog_txt, vexdlog_gz, VEXDLOG_GZ_LIMIT, &archive_sz);
    file_size = 0;
    vexdlog_fd = vexd_reopen_logfile(vexdlog_txt, vexdlog_gz, archive_sz);
    if (vexdlog_fd <= 0) {
        vexdlog_fd = -1;
        initdone = 0;
    }
}

}  // namespace

void vexd_printf(const char *format, ...)
{
    std::lock_guard<std::mutex> lock(printmutex);
    if (initdone == 0 && vexdlog_setup() != 0) return;

    int64_t now = tmr_get64();
    size_t pos = 0;
    pos = line_advance(pos, snprintf(k_line_p, LINE_LEN, "[%5lu.%06lu] ",
                                     static_cast<unsigned long>(static_cast<uint32_t>(now / 1000000)),
                                     static_cast<unsigned long>(static_cast<uint32_t>(now % 1000000))));
    pos = line_advance(pos, snprintf(k_line_p + pos, LINE_LEN - pos, "vexd: "));
    va_list ap;
    va_start(ap, format);
    pos = line_advance(pos, vsnprintf(k_line_p + pos, LINE_LEN - pos, format, ap));
    va_end(ap);

    // A failed write leaves the count alone: it only drives rotation.
    ssize_t n = vexd_log_write(vexdlog_fd, k_line_p, pos);
    if (n > 0) file_size += static_cast<int32_t>(n);

    if (file_size <= VEXDLOG_ROTATE_SIZE)
        fssync_srv_need_sync(vexdlog_fd);
    else
        vexdlog_rotate();
}

void(assert)(const char *expression, const char *file, int line)
{
    (void)file;
    vexd_printf("(%d):%s", line, expression);
    exit(-1);
}
