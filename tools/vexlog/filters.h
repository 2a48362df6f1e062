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

// A kernel log line: "<N>[ seconds.micro] message".
struct kernel_entry {
    int level = -1;              // -1 without "<N>"
    std::string_view time, msg;  // msg without its line feed
};

bool parse_kernel(const char *p, size_t n, kernel_entry *e);

// A kernel log level: 0..7 or its name (emerg, alert, crit, err, warning,
// notice, info, debug); -1 when it is none.
int kernel_level(const char *s);

// A main log priority letter's level (V 2 .. F 7, S 8), or -1.
int main_level(char c);

// Compiles the patterns of -e (extended regular expressions, ignoring case
// with -i) and the texts of the filter specs of other logs (taken as they
// are). False, with `why`, when one does not compile.
bool compile_patterns(const options &o, const std::vector<std::string> &texts, std::string *why);

// Whether a line matches one of the compiled patterns (true without any).
bool holds_pattern(const char *p, size_t n);
bool any_pattern();

// Whether seconds `t` are within --since and --until.
bool in_window(const options &o, double t);

// Whether a main log entry passes the tag, priority, PID, time and text filters.
bool main_passes(const options &o, const main_entry &e);

}  // namespace vexlog
