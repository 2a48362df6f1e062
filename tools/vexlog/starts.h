// The daemon's starts: which are there, in which logs, and the ones that
// --start names.
#pragma once

#include "source.h"
#include "vexlog.h"

#include <cstdint>
#include <string>
#include <vector>

namespace vexlog {

// The starts the relative numbers count over, oldest first: those in the
// daemon log and the process list, which every start writes (or, without
// them, those of the log `fallback`).
std::vector<int64_t> known_starts(const source &src, int fallback);

// A start given as N (a count), 0 or -K (relative to the last): its count.
bool resolve_start(int64_t v, const std::vector<int64_t> &known, int64_t *count, std::string *why);

// --list-starts: a row (or a JSON object) per start and log; the exit status.
int list_starts(const source &src, const options &o);

}  // namespace vexlog
