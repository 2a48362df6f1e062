// Kernel log collector: copies /proc/kmsg byte for byte into vexd_syslog.txt,
// archiving the text onto vexd_syslog.gz once it passes 262144 bytes.
#include "syslog_srv.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <new>

#include "fssync_srv.h"
#include "unique_fd.h"
#include "vexd.h"

namespace {

constexpr int SYSLOG_READ_LEN = 4096;
constexpr int32_t SYSLOG_ROTATE_SIZE = 262144;  // rotate when the text grows past this
constexpr uint32_t SYSLOG_GZ_LIMIT = 851968;

char path_txt[256];
char path_gz[256];
std::mutex syslog_srv_mutex;
pthread_t syslog_srv_pt;

void *syslog_srv_thread(void *)
{
    pthread_setname_np(pthread_self(), "vexd.syslog");
    std::unique_ptr<char[]> buf(new (std::nothrow) char[SYSLOG_READ_LEN]);
    if (!buf) {
        vexd_printf("syslog_srv_thread: no memory\n");
        return nullptr;
    }

    const unique_fd kmsg(open(syslog_srv_dev_path, O_RDONLY));
    const int kmsg_fd = kmsg.get();
    if (kmsg_fd < 0) {
        vexd_printf("Failed to open %s\n", syslog_srv_dev_path);
        return nullptr;
    }
    vexd_printf("%s got fd=%d\n", syslog_srv_dev_path, kmsg_fd);

    int txt_fd = open(path_txt, O_RDWR | O_CREAT | O_APPEND, 0777);
    if (txt_fd < 0) {
        vexd_printf("Failed to open %s\n", path_txt);
        return nullptr;
    }

    struct stat st {};
    int32_t txt_size = fstat(txt_fd, &st) == 0 ? static_cast<int32_t>(st.st_size) : 0;
    vexd_add_startup_marker(txt_fd, &txt_size);
    vexd_printf("%s got fd=%d\n", path_txt, txt_fd);

    uint32_t gz_size = static_cast<uint32_t>(vexd_get_file_size(path_gz));

    for (;;) {
        ssize_t n = read(kmsg_fd, buf.get(), SYSLOG_READ_LEN);
        if (n <= 0) continue;

        std::lock_guard<std::mutex> lock(syslog_srv_mutex);
        ssize_t written = vexd_log_write(txt_fd, buf.get(), static_cast<size_t>(n));
        if (written > 0) txt_size += static_cast<int32_t>(written);

        if (txt_size <= SYSLOG_ROTATE_SIZE) {
            fssync_srv_need_sync(txt_fd);
            continue;
        }
        txt_fd = vexd_rotate_logfile(txt_fd, path_txt, path_gz, SYSLOG_GZ_LIMIT, &gz_size);
        txt_size = 0;
        if (txt_fd < 0) {
            vexd_printf("Failed to open %s", path_txt);
            return nullptr;
        }
    }
}

}  // namespace

const char *syslog_srv_dev_path = "/proc/kmsg";

int32_t syslog_srv_init(void)
{
    snprintf(path_txt, sizeof(path_txt), "%s/%s.txt", vexd_log_dir_path, "vexd_syslog");
    snprintf(path_gz, sizeof(path_gz), "%s/%s.gz", vexd_log_dir_path, "vexd_syslog");
    return pthread_create(&syslog_srv_pt, nullptr, syslog_srv_thread, nullptr);
}

void syslog_srv_getlogdata(char **data, int *len)
{
    if (data == nullptr || len == nullptr) {
        vexd_printf("Invalid Param!\n");
        return;
    }
    std::lock_guard<std::mutex> lock(syslog_srv_mutex);
    vexd_read_text_file(path_txt, data, len);
}
