// Reading a text log pair, NAME.gz and NAME.txt, as one consistent whole,
// also while the daemon rotates it, and reading on from where a read ended.
#pragma once

#include "source.h"
#include "splitter.h"
#include "vexlog.h"

#include <cstdint>

namespace vexlog {

// How far a log was read: where following it goes on.
struct read_state {
    uint64_t gz_read = 0;  // bytes of the gzip file taken
    uint64_t gz_ino = 0;
    uint64_t txt_read = 0;     // bytes of the text file taken
    bool open_failed = false;  // said once
};

// Reads a log up to now, as one consistent whole even while the daemon
// rotates it: passes over its pair until one ends as it began, with the text
// file not emptied behind it. False when neither file is there.
bool read_log(const source &src, const log_kind &k, splitter *sp, read_state *st);

}  // namespace vexlog
