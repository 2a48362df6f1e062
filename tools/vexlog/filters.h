// Filters: the stamps and fields of the lines, logcat's filter specs, and
// which lines pass the options.
#pragma once

#include "vexlog.h"

#include <cstddef>
#include <string_view>
#include <vector>

namespace vexlog {

// "[ seconds.micro]" at the head of a line (after "<N>" in the kernel log):
// the time text, or empty.
std::string_view line_time(const char *p, size_t n);

// The seconds of a line's stamp, or -1 when it has none.
double stamp_seconds(std::string_view t);

// A main log line: "[%5lu.%06lu] P/TAG     (PID): message".
struct main_entry {
    std::string_view time, tag, pid, msg;  // msg without its line feed
    char pri = '?';
};

bool parse_main(const char *p, size_t n, main_entry *e);

// logcat's filter specs: TAG:P or TAG (P = V). "*:P" sets the level of every
// tag not named; without it every tag passes.
bool parse_filterspec(const char *spec, std::vector<tag_filter> *out);

// Whether a line holds one of the texts of -e and the filter specs.
bool holds_pattern(const options &o, const char *p, size_t n);

// Whether seconds `t` are within --since and --until.
bool in_window(const options &o, double t);

// Whether a main log entry passes the tag, priority, PID, time and text filters.
bool main_passes(const options &o, const main_entry &e);

}  // namespace vexlog
