// One time line: the kernel, main, trace and daemon logs of the chosen
// starts merged by time, each line marked with its log.
#pragma once

#include "source.h"
#include "vexlog.h"

namespace vexlog {

// Orders the entries of each start by the wall clock (its clock line ties
// the daemon's time base and the kernel's uptime to it) or, without a clock
// line, by the daemon's time base, the kernel log after them; each log keeps
// its own order. The trace log carries no stamps: its lines come after the
// stamped ones of their start. The chosen starts are held in memory. The
// exit status.
int print_timeline(const source &src, const options &o);

}  // namespace vexlog
