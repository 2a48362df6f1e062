// Main log collector: one line per /dev/log/main entry into vexd_logcat.txt,
// archiving the text onto vexd_logcat.gz once it reaches 262144 bytes. A reader
// thread only reads the entries, each with its read time, into a queue, so
// that it reads on while the writer thread compresses and syncs a rotation.
#include "logcat_srv.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>

#include "fssync_srv.h"
#include "read_queue.h"
#include "unique_fd.h"
#include "tmr.h"
#include "vexd.h"

namespace {

// Logger entry, first layout: u16 payload length, u16 padding, i32 pid,
// i32 tid, i32 sec, i32 nsec, then the payload: priority byte, tag, NUL,
// message, NUL.
constexpr int ENTRY_HDR_LEN = 20;
constexpr int ENTRY_MAX_LEN = 4096;
constexpr int ENTRY_BUF_LEN = ENTRY_MAX_LEN + 4;

// The module's state: its queue carries the entries of /dev/log/main with
// their read times.
read_queue_collector logcat_srv(LOG_MAIN);

// The writer: opens both files, starts the reader and then turns each entry
// from the queue into its line, stamped with the time it was read, and appends
// it, rotating as it always did.
void *logcat_srv_thread(void *)
{
    pthread_setname_np(pthread_self(), "vexd.logcat");
    pthread_detach(pthread_self());  // no one joins it: it ends at an orderly stop, or with the process
    std::unique_ptr<char[]> entry(new (std::nothrow) char[ENTRY_BUF_LEN]);
    std::unique_ptr<char[]> line(new (std::nothrow) char[LOGCAT_LINE_LEN]);
    if (!entry || !line) {
        vexd_printf("logcat_srv_thread: no memory\n");
        return nullptr;
    }

    unique_fd dev(open(logcat_srv_dev_path, O_RDONLY));
    if (dev.get() <= 0) {  // 0 too, though main() holds 0 to 2 on /dev/null
        vexd_printf("Could not open /dev/log/main\n");
        return nullptr;
    }

    if (vexd_textlog_open(&logcat_srv.log, O_WRONLY) <= 0) {
        vexd_printf("Could not open %s\n", logcat_srv.log.txt);
        if (logcat_srv.log.fd == 0) close(logcat_srv.log.fd);  // never, as main() holds 0 to 2 on /dev/null
        logcat_srv.log.fd = -1;
        return nullptr;
    }
    vexd_printf("%s got fd=%d\n", logcat_srv.log.txt, logcat_srv.log.fd);

    read_queue_t *q = read_queue_new(logcat_srv_dev_path, READ_QUEUE_BYTES, ENTRY_MAX_LEN);
    if (q == nullptr) {
        vexd_printf("logcat_srv_thread: no memory\n");
        return nullptr;
    }
    const read_queue_taker taker(q);  // however this thread ends, the orderly stop hears of it
    logcat_srv.queue.store(q);
    if (int rc = read_queue_start_reader(q, dev.get(), "vexd.logcat.rd", &logcat_srv.rd_pt); rc != 0) {
        vexd_printf("logcat_srv_thread: no reader thread, error %d\n", rc);
        return nullptr;
    }
    dev.release();  // the reader's for the rest of the run

    read_queue_rec rec;
    while (read_queue_take(q, &rec)) {
        // The formatter puts the line break in place: a copy with room for it.
        memcpy(entry.get(), rec.data, rec.len);
        const int len = logcat_srv_format_entry(entry.get(), static_cast<int>(rec.len), rec.t, line.get());
        if (len >= 0) {
            std::lock_guard<std::mutex> lock(logcat_srv.mutex);
            vexd_textlog_append(&logcat_srv.log, line.get(), static_cast<size_t>(len));
            if (logcat_srv.log.fd < 0) {
                vexd_printf("Failed to open %s", logcat_srv.log.txt);
                return nullptr;
            }
        }
        read_queue_release(q, &rec);
    }
    // Stopped: everything read is in the text; now on disk too.
    std::lock_guard<std::mutex> lock(logcat_srv.mutex);
    if (logcat_srv.log.fd > 0) fsync(logcat_srv.log.fd);
    return nullptr;
}

}  // namespace

const char *logcat_srv_dev_path = "/dev/log/main";

char filterPriToChar(unsigned char priority)
{
    static constexpr char letters[] = "VDIWEFS";  // priorities 2 to 8
    return priority >= 2 && priority <= 8 ? letters[priority - 2] : '?';
}

int logcat_srv_format_entry(char *entry, int nread, int64_t t, char *line)
{
    uint16_t payload_len = 0;
    if (nread >= ENTRY_HDR_LEN) memcpy(&payload_len, entry, sizeof(payload_len));
    const int plen = payload_len;
    char *payload = entry + ENTRY_HDR_LEN;

    // The payload must lie within the bytes read and hold at least the
    // priority, a terminated tag and the message's terminator.
    if (nread < ENTRY_HDR_LEN || plen > nread - ENTRY_HDR_LEN || plen < 3 ||
        memchr(payload + 1, '\0', static_cast<size_t>(plen - 2)) == nullptr) {
        vexd_printf("Dropped malformed logger entry (%d bytes read, payload length %d)\n", nread,
                    nread >= ENTRY_HDR_LEN ? plen : -1);
        return -1;
    }

    int32_t pid = 0;
    memcpy(&pid, entry + 4, sizeof(pid));
    const unsigned char priority = static_cast<unsigned char>(payload[0]);
    const char *tag = payload + 1;
    const char *msg = tag + strlen(tag) + 1;

    // End the message in exactly one line break.
    if (payload[plen - 2] == '\n') {
        payload[plen] = '\0';
    } else {
        payload[plen - 1] = '\n';
        payload[plen] = '\0';
    }
    // A NUL inside the message ends it early, before that line break: give
    // the shorter message its own, or the next entry would run into it.
    // The terminator kept at payload byte L may also be the only one, after
    // a last byte that is not a line feed: that byte then gives way.
    if (const size_t mlen = strlen(msg); mlen == 0 || msg[mlen - 1] != '\n') {
        char *end = const_cast<char *>(msg) + mlen;
        if (end < payload + plen) {
            end[0] = '\n';
            end[1] = '\0';
        } else {
            end[-1] = '\n';
        }
    }

    memset(line, 0, LOGCAT_LINE_LEN);
    int n = snprintf(line, LOGCAT_LINE_LEN, "[%5lu.%06lu] %c/%-8s(%d): %s",
                     static_cast<unsigned long>(t / 1000000), static_cast<unsigned long>(t % 1000000),
                     filterPriToChar(priority), tag, static_cast<int>(pid), msg);
    if (n < 0) return -1;
    return n < LOGCAT_LINE_LEN ? n : LOGCAT_LINE_LEN - 1;
}

int32_t logcat_srv_init(void)
{
    vexd_textlog_name(&logcat_srv.log, LOG_FILES[LOG_MAIN].base);
    return pthread_create(&logcat_srv.pt, nullptr, logcat_srv_thread, nullptr);
}

void logcat_srv_getlogdata(char **data, int *len)
{
    std::lock_guard<std::mutex> lock(logcat_srv.mutex);
    vexd_read_text_file(logcat_srv.log.txt, data, len);
}

bool logcat_srv_stop(int64_t deadline_us) { return read_queue_finish(logcat_srv.queue.load(), deadline_us); }
