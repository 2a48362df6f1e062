// Following the live log across its rotations.
#pragma once

#include "log_pair.h"

namespace vexlog {

// Reads on from `st` every 200 ms, every line once and in order, until
// SIGINT or SIGTERM; the exit status.
int follow(const source &src, const log_kind &k, splitter *sp, read_state st);

}  // namespace vexlog
