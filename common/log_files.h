// The daemon's files as they lie in the log directory: every name, size and
// text that the daemon writes and its readers (vexlog, the benchmarks, the
// tests) look for. Change a file's layout here and nowhere else.
#pragma once

#include <cstdint>
#include <string_view>

// How a text log's size calls for its rotation: the kernel log, the daemon
// log and the process list rotate once the text is above its rotation size,
// the main and trace logs once it has reached it.
enum class vexd_rotate_rule { above, at_least };

// One row per text log pair "<base>.txt" + "<base>.gz":
// X(id, base name, reader's name, what it is, rotation size, rotation rule,
//   gzip limit (see vexd_archive_logfile), lines stamped with the daemon's
//   time base "[sec.usec] ")
#define VEXD_TEXT_LOGS(X)                                                                           \
    X(LOG_DAEMON, "vexd_vexdlog", "daemon", "daemon log", 65536, above, 131072, true)              \
    X(LOG_KERNEL, "vexd_syslog", "kernel", "kernel log", 262144, above, 851968, false)             \
    X(LOG_MAIN, "vexd_logcat", "main", "main log", 262144, at_least, 851968, true)                 \
    X(LOG_TRACE, "vexd_trclog", "trace", "trace log", 262144, at_least, 851968, false)             \
    X(LOG_PROCLIST, "vexd_ps", "ps", "process list", 65535, above, 131072, false)

struct log_file_t {
    const char *base;  // "vexd_syslog"
    const char *txt;   // "vexd_syslog.txt"
    const char *gz;    // "vexd_syslog.gz"
    const char *tool_name;
    const char *what;
    int32_t rotate_size;
    vexd_rotate_rule rule;
    uint32_t gz_limit;
    bool stamped;
};

enum log_id {
#define VEXD_LOG_ID(id, ...) id,
    VEXD_TEXT_LOGS(VEXD_LOG_ID)
#undef VEXD_LOG_ID
        LOG_COUNT
};

inline constexpr log_file_t LOG_FILES[LOG_COUNT] = {
#define VEXD_LOG_ROW(id, base, tool, what, size, rule, limit, stamped) \
    {base, base ".txt", base ".gz", tool, what, size, vexd_rotate_rule::rule, limit, stamped},
    VEXD_TEXT_LOGS(VEXD_LOG_ROW)
#undef VEXD_LOG_ROW
};

// The startup marker at the head of every text log of each start (the
// count at least four digits), and its first line alone.
inline constexpr const char *LOG_MARKER_FORMAT = "<<<< VEXD START >>>>\n<<<< STARTUP COUNT %04d >>>>\n";
inline constexpr std::string_view LOG_MARKER_HEAD = "<<<< VEXD START >>>>\n";
inline constexpr std::string_view LOG_MARKER_COUNT = "<<<< STARTUP COUNT ";
inline constexpr std::string_view LOG_MARKER_COUNT_END = " >>>>\n";

// The daemon log's line, once per start, that ties its time base to the
// wall clock (UTC) and to the kernel's uptime, all read at one moment: the
// time base, the wall clock in ISO 8601 with microseconds, the uptime.
inline constexpr const char *LOG_CLOCK_FORMAT = "clock: time base %lld.%06lld = %s = uptime %lld.%06lld\n";

// How the daemon's run ended, in its daemon log (the last line of a start
// that ended in order): on a signal, or the quit for want of space.
inline constexpr const char *LOG_STOPPED_FORMAT = "daemon stopped on signal %d\n";
inline constexpr const char *LOG_QUIT_FULL = "daemon quits: the disk is full\n";
inline constexpr const char *LOG_QUIT_SPACE_FORMAT = "daemon quits: free space %lld bytes, below %lld\n";

// A rotation's record beside its output: "<out>.part", holding
// "<kind> <output size before the append> <input path>\n" while the
// rotation is under way ('z' a gzip member, 'c' a byte copy); an empty
// record file is a pair at rest.
inline constexpr const char *LOG_RECORD_SUFFIX = ".part";

// Diag recordings: "<log dir>/diag_logs/dl_<name>_<start count>.qmdl", and
// its gzip partner ".qmdl.gz".
inline constexpr const char *DIAG_DIR_NAME = "diag_logs";
inline constexpr const char *QMDL_NAME_FORMAT = "dl_%s_%d.qmdl";
