// vexlog: reads the daemon's text logs from a log directory, a pulled ZIP
// archive (read in place) or, on the handset, the live log directory; splits
// them into the daemon's starts by their startup markers, filters the main
// log by tag, priority and PID, and follows the live text file across its
// rotations. Every log is streamed through fixed buffers, never loaded whole.
//
// A text log pair NAME.gz + NAME.txt reads as the gzip members of NAME.gz,
// oldest first, then NAME.txt. Each writer puts the startup marker
// "<<<< VEXD START >>>>\n<<<< STARTUP COUNT 0007 >>>>\n" at the head of its
// file when it first opens it in a run, so the text from one marker to the
// next is one start of the daemon.
//
// What the units share: the logs, the reports on stderr, the receiver of a
// log's lines and the options.
#pragma once

#include "log_files.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace vexlog {

constexpr int EXIT_TROUBLE = 1;  // something could not be read; the rest was
constexpr int EXIT_USAGE = 2;

constexpr const char *LIVE_LOG_DIR =
    "/qordebug";                              // on the handset; a link to /system without a log partition
constexpr int64_t UNKNOWN_START = INT64_MIN;  // text whose start marker is missing
constexpr int64_t NO_TIME = INT64_MIN;        // a line without a time

// Text is read and decoded through buffers of this size.
constexpr size_t TEXT_BUF = 256 * 1024;

// A text log as the reader sees it: the daemon's description of its files
// (common/log_files.h), and whether its lines carry a "[seconds.micro]"
// stamp: the daemon's time base in the main and daemon logs, the kernel's
// uptime after "<N>" in the kernel log.
struct log_kind {
    const char *name;  // what the user types
    const char *base;  // the daemon's file names: base.txt, base.gz
    const char *what;
    bool stamped;
    bool time_base;  // the stamps count from the daemon's time base
};

constexpr log_kind reader_log(::log_id id, bool stamped)
{
    return {LOG_FILES[id].tool_name, LOG_FILES[id].base, LOG_FILES[id].what, stamped, LOG_FILES[id].stamped};
}

// The reader's order of the logs (that of --list-starts).
enum { LOG_KERNEL, LOG_MAIN, LOG_TRACE, LOG_DAEMON, LOG_PS, LOG_COUNT };
constexpr int LOG_ALL = LOG_COUNT;  // the kernel, main, trace and daemon logs on one time line

inline constexpr log_kind logs[LOG_COUNT] = {
    reader_log(::LOG_KERNEL, true),
    reader_log(::LOG_MAIN, LOG_FILES[::LOG_MAIN].stamped),
    reader_log(::LOG_TRACE, LOG_FILES[::LOG_TRACE].stamped),
    reader_log(::LOG_DAEMON, LOG_FILES[::LOG_DAEMON].stamped),
    reader_log(::LOG_PROCLIST, LOG_FILES[::LOG_PROCLIST].stamped),
};

extern int trouble;  // exit status 1 at the end
extern bool quiet;   // the notices are not said (a pass that only counts)

// A notice on stderr; the exit status becomes 1.
void complain(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// A notice on stderr that leaves the exit status as it is.
void note(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// The help, on `out`.
void usage(FILE *out);

// A usage error on stderr; EXIT_USAGE.
int usage_error(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// A startup count as the markers write it: "0007".
std::string fmt_count(int64_t c);

// What the lines of a log go to.
struct line_sink {
    virtual ~line_sink() = default;
    // One line with its line feed, or a piece without one (the end of the
    // file, the text before a marker that was written mid-line, text cut
    // off by a damaged member, or a piece of a line over a megabyte, which
    // the next piece goes on with). `start` is the start it belongs to.
    virtual void line(int64_t start, const char *p, size_t n) = 0;
    virtual void marker(int64_t /*count*/) {}
    // The end of the text, or of what can be read of it: what waits goes out.
    virtual void end() {}
    // Nothing more for now (following): an entry waiting for its
    // continuation lines goes out, a line that came in part waits.
    virtual void pause() { end(); }
};

struct tag_filter {
    std::string tag;  // "*" for every other tag
    int level;        // entries at this level and above pass; 9: none
};

// What to print of a log: the starts chosen, the filters, the form.
struct selection {
    bool all = true;
    int64_t lo = 0, hi = 0;  // startup counts, when not all
    bool contains(int64_t s) const { return all || (s != UNKNOWN_START && s >= lo && s <= hi); }
};

struct start_facts;
struct source;

struct options {
    selection starts;
    std::string start_text;  // as given, empty for all
    bool json = false;
    bool list = false;
    bool follow = false;
    std::vector<tag_filter> specs;
    bool silent = false;  // -s: every tag not named is silent
    bool has_pid = false;
    std::string pid;
    std::vector<std::string> patterns;  // -e: extended regular expressions; a line passes when one matches
    std::vector<std::string> texts;     // filter specs of other logs: texts a line may hold instead
    bool icase = false;                 // -i: they ignore case
    int kernel_level = -1;              // -p: the kernel log's lines at <N> up to this level
    uint64_t last_entries = 0;          // -n: only the last N entries; 0: all
    uint64_t skip_entries = 0;          // the entries that pass but are left out (those before the last N)
    double since = -1, until = -1;      // seconds of the lines' own stamps; -1: no bound
    int64_t since_wall = NO_TIME, until_wall = NO_TIME;  // wall-clock bounds, microseconds
    bool wall = false;                                   // -v time: each line after its wall-clock time
    std::string source_name;                             // SOURCE as given, for JSON
    std::map<int64_t, start_facts> *facts = nullptr;     // the starts' clock lines and ends
    const source *src = nullptr;                         // where they are read again when following
    bool walled() const { return since_wall != NO_TIME || until_wall != NO_TIME; }
    bool timed() const { return since >= 0 || until >= 0 || walled(); }
};

}  // namespace vexlog
