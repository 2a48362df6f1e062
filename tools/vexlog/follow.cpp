// Following the live log.
#include "follow.h"

#include <csignal>
#include <cstdio>
#include <ctime>

namespace vexlog {
namespace {

volatile sig_atomic_t stop_following = 0;

void on_stop(int) { stop_following = 1; }

}  // namespace

int follow(const source &src, const log_kind &k, splitter *sp, read_state st)
{
    signal(SIGINT, on_stop);
    signal(SIGTERM, on_stop);
    while (!stop_following) {
        fflush(stdout);
        if (ferror(stdout)) return EXIT_TROUBLE;
        const struct timespec ts {
            0, 200 * 1000 * 1000
        };
        nanosleep(&ts, nullptr);
        read_log(src, k, sp, &st);
        sp->idle();
    }
    sp->flush();
    return trouble ? EXIT_TROUBLE : 0;
}

}  // namespace vexlog
