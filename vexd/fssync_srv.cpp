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

// The module's state.
struct fssync_srv_state {
    // A leaf lock: nothing else is taken under it.
    std::mutex mutex;
    std::array<uint8_t, FDLIST_LEN> fdlist{};  // mutex
    int32_t current_index = 0;                 // mutex
    int list_init_done = 0;                    // mutex
    pthread_t pt;                              // set once by fssync_srv_init (main thread)
} fssync_srv;

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

int32_t fssync_srv_init(void) { return pthread_create(&fssync_srv.pt, nullptr, fssync_srv_thread, nullptr); }

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

    std::lock_guard<std::mutex> lock(fssync_srv.mutex);
    if (!fssync_srv.list_init_done) {
        fssync_srv.fdlist.fill(0);
        fssync_srv.list_init_done = 1;
    }
    for (int i = 0; i < FDLIST_LEN && fssync_srv.fdlist[i] != 0; i++) {
        if (fssync_srv.fdlist[i] == fd || i == FDLIST_MAX - 1) {
            // Already registered, or the table is full: the request is dropped.
            return;
        }
    }
    if (fssync_srv.current_index < FDLIST_MAX)
        fssync_srv.fdlist[fssync_srv.current_index++] = static_cast<uint8_t>(fd);
}

int fssync_srv_flush(void)
{
    std::array<uint8_t, FDLIST_LEN> batch;
    {
        std::lock_guard<std::mutex> lock(fssync_srv.mutex);
        batch = fssync_srv.fdlist;
        fssync_srv.fdlist.fill(0);
        fssync_srv.current_index = 0;
    }

    int n = 0;
    for (; n < FDLIST_LEN && batch[n] != 0; n++) fsync(batch[n]);
    return n;
}
