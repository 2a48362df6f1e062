// File sync service: writers register descriptors; one thread fsyncs them
// every 500 ms, each at most once per period.
#include "fssync_srv.h"

#include <pthread.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <mutex>

#include "tmr.h"

namespace {

constexpr int FDLIST_LEN = 16;
constexpr int FDLIST_MAX = FDLIST_LEN - 1;  // the last entry always stays 0
constexpr uint32_t FSSYNC_PERIOD_MS = 500;

// Guarded by fssync_srv_mutex, a leaf lock: nothing else is taken under it.
std::mutex fssync_srv_mutex;
std::array<uint8_t, FDLIST_LEN> fdlist;
int32_t current_index;
int list_init_done;
pthread_t fssync_srv_pt;

void *fssync_srv_thread(void *)
{
    pthread_setname_np(pthread_self(), "vexd.fssync");
    for (;;) {
        tmr_msleep(FSSYNC_PERIOD_MS);
        fssync_srv_flush();
    }
    return nullptr;
}

}  // namespace

int32_t fssync_srv_init(void) { return pthread_create(&fssync_srv_pt, nullptr, fssync_srv_thread, nullptr); }

void fssync_srv_need_sync(int fd)
{
    // The table holds descriptors 1 to 255 in one byte each. Any other
    // descriptor is flushed at once on the caller's thread rather than stored
    // as its low 8 bits, which would flush some other file and miss this one.
    if (fd == 0 || fd > UINT8_MAX) {  // no log gets 0: main() holds 0 to 2 on /dev/null
        fsync(fd);
        return;
    }
    if (fd < 0) return;

    std::lock_guard<std::mutex> lock(fssync_srv_mutex);
    if (!list_init_done) {
        fdlist.fill(0);
        list_init_done = 1;
    }
    for (int i = 0; i < FDLIST_LEN && fdlist[i] != 0; i++) {
        if (fdlist[i] == fd || i == FDLIST_MAX - 1) {
            // Already registered, or the table is full: the request is dropped.
            return;
        }
    }
    if (current_index < FDLIST_MAX) fdlist[current_index++] = static_cast<uint8_t>(fd);
}

int fssync_srv_flush(void)
{
    std::array<uint8_t, FDLIST_LEN> batch;
    {
        std::lock_guard<std::mutex> lock(fssync_srv_mutex);
        batch = fdlist;
        fdlist.fill(0);
        current_index = 0;
    }

    int n = 0;
    for (; n < FDLIST_LEN && batch[n] != 0; n++) fsync(batch[n]);
    return n;
}
