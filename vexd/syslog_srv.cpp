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

// Owned by the collector thread; guarded by syslog_srv_mutex against the
// copies that syslog_srv_getlogdata takes.
vexd_textlog_t syslog_log = {
    .rotate_size = SYSLOG_ROTATE_SIZE, .rule = vexd_rotate_rule::above, .gz_limit = SYSLOG_GZ_LIMIT};
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

    if (vexd_textlog_open(&syslog_log, O_RDWR) <= 0) {
        vexd_printf("Failed to open %s\n", syslog_log.txt);
        return nullptr;
    }
    vexd_printf("%s got fd=%d\n", syslog_log.txt, syslog_log.fd);

    for (;;) {
        ssize_t n = read(kmsg_fd, buf.get(), SYSLOG_READ_LEN);
        if (n <= 0) continue;

        std::lock_guard<std::mutex> lock(syslog_srv_mutex);
        vexd_textlog_append(&syslog_log, buf.get(), static_cast<size_t>(n));
        if (syslog_log.fd < 0) {
            vexd_printf("Failed to open %s", syslog_log.txt);
            return nullptr;
        }
    }
}

}  // namespace

const char *syslog_srv_dev_path = "/proc/kmsg";

int32_t syslog_srv_init(void)
{
    vexd_textlog_name(&syslog_log, "vexd_syslog");
    return pthread_create(&syslog_srv_pt, nullptr, syslog_srv_thread, nullptr);
}

void syslog_srv_getlogdata(char **data, int *len)
{
    std::lock_guard<std::mutex> lock(syslog_srv_mutex);
    vexd_read_text_file(syslog_log.txt, data, len);
}
