// The wall clock of the lines, and what the daemon log says of each start:
// its clock line (the daemon's time base, the wall clock and the kernel's
// uptime read at one moment) and how the start ended.
#pragma once

#include "source.h"
#include "vexlog.h"

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

namespace vexlog {

struct start_clock {
    bool known = false;
    int64_t base_us = 0, wall_us = 0, uptime_us = 0;  // wall: microseconds since 1970, UTC
};

enum class start_end { none, signal, low_space, disk_full };

struct start_facts {
    start_clock clock;
    start_end end = start_end::none;
    int64_t value = 0;       // the signal, or the free space in bytes
    bool diag_quit = false;  // a diag recording was made to stop
};

using facts_map = std::map<int64_t, start_facts>;

// Reads the daemon log for its clock lines and its ends of starts.
facts_map read_facts(const source &src);

// A stamp "12.345678" in microseconds, or NO_TIME.
int64_t stamp_us(std::string_view t);

// The wall clock of a line of log `k` stamped `stamp` (microseconds), or
// NO_TIME without a clock line.
int64_t wall_of(const start_clock &c, const log_kind &k, int64_t stamp);

// "2026-12-09 19:50:23.748065"; `iso` gives "2026-12-09T19:50:23.748065Z".
std::string fmt_wall(int64_t us, bool iso = false);

// A wall-clock time: "YYYY-MM-DD HH:MM[:SS[.frac]]", the same with 'T' and an
// optional 'Z', or "HH:MM[:SS[.frac]]" (today, UTC). False when it is none.
bool parse_wall(std::string_view s, int64_t now_us, int64_t *us);

// How a start ended, in words; `last` when it is the last start.
std::string describe_end(const start_facts &f, bool last);

}  // namespace vexlog
