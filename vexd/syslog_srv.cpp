// Kernel log collector: copies /proc/kmsg byte for byte into vexd_syslog.txt,
// archiving the text onto vexd_syslog.gz once it passes 262144 bytes. A reader
// thread only reads the device into a queue, so that it reads on while the
// writer thread compresses and syncs a rotation.
#include "syslog_srv.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "fssync_srv.h"
#include "read_queue.h"
#include "unique_fd.h"
#include "vexd.h"

namespace {

constexpr int SYSLOG_READ_LEN = 4096;

// The module's state: its queue carries the reads of /proc/kmsg.
read_queue_collector syslog_srv(LOG_KERNEL);

// The writer: opens both files, starts the reader and then appends each read
// from the queue as it came, rotating as it always did.
void *syslog_srv_thread(void *)
{
    pthread_setname_np(pthread_self(), "vexd.syslog");
    pthread_detach(pthread_self());  // no one joins it: it ends at an orderly stop, or with the process
    unique_fd kmsg(open(syslog_srv_dev_path, O_RDONLY));
    if (!kmsg.ok()) {
        vexd_printf("Failed to open %s\n", syslog_srv_dev_path);
        return nullptr;
    }
    vexd_printf("%s got fd=%d\n", syslog_srv_dev_path, kmsg.get());

    if (vexd_textlog_open(&syslog_srv.log, O_RDWR) <= 0) {
        vexd_printf("Failed to open %s\n", syslog_srv.log.txt);
        return nullptr;
    }
    vexd_printf("%s got fd=%d\n", syslog_srv.log.txt, syslog_srv.log.fd);

    read_queue_t *q = read_queue_new(syslog_srv_dev_path, READ_QUEUE_BYTES, SYSLOG_READ_LEN);
    if (q == nullptr) {
        vexd_printf("syslog_srv_thread: no memory\n");
        return nullptr;
    }
    const read_queue_taker taker(q);  // however this thread ends, the orderly stop hears of it
    syslog_srv.queue.store(q);
    if (int rc = read_queue_start_reader(q, kmsg.get(), "vexd.syslog.rd", &syslog_srv.rd_pt); rc != 0) {
        vexd_printf("syslog_srv_thread: no reader thread, error %d\n", rc);
        return nullptr;
    }
    kmsg.release();  // the reader's for the rest of the run

    read_queue_rec rec;
    while (read_queue_take(q, &rec)) {
        {
            std::lock_guard<std::mutex> lock(syslog_srv.mutex);
            vexd_textlog_append(&syslog_srv.log, rec.data, rec.len);
            if (syslog_srv.log.fd < 0) {
                vexd_printf("Failed to open %s", syslog_srv.log.txt);
                return nullptr;
            }
        }
        read_queue_release(q, &rec);
    }
    // Stopped: everything read is in the text; now on disk too.
    std::lock_guard<std::mutex> lock(syslog_srv.mutex);
    if (syslog_srv.log.fd > 0) fsync(syslog_srv.log.fd);
    return nullptr;
}

}  // namespace

const char *syslog_srv_dev_path = "/proc/kmsg";

int32_t syslog_srv_init(void)
{
    vexd_textlog_name(&syslog_srv.log, LOG_FILES[LOG_KERNEL].base);
    return pthread_create(&syslog_srv.pt, nullptr, syslog_srv_thread, nullptr);
}

void syslog_srv_getlogdata(char **data, int *len)
{
    std::lock_guard<std::mutex> lock(syslog_srv.mutex);
    vexd_read_text_file(syslog_srv.log.txt, data, len);
}

bool syslog_srv_stop(int64_t deadline_us) { return read_queue_finish(syslog_srv.queue.load(), deadline_us); }
