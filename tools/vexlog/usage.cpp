// vexlog's help and its usage errors.
#include "vexlog.h"

#include <cstdarg>
#include <cstdio>

namespace vexlog {
namespace {

void usage_notes(FILE *out)
{
    fputs("FILTERSPEC, main log: TAG:P shows TAG at priority P and above, P one of\n"
          "V D I W E F S (S: nothing); *:P sets the level of every other tag (without\n"
          "it every other tag shows); all: as for the main log, the other logs' lines\n"
          "pass them. Other logs: a text the lines must hold.\n"
          "\n"
          "Relative starts (0, -1, ...) count over the starts in the daemon log and the\n"
          "process list, which every start writes; --list-starts shows them as IDX.\n"
          "\n"
          "Examples:\n"
          "  vexlog --list-starts logs.zip\n"
          "  vexlog logs.zip --start -1 main Radio:W Telephony:W '*:S'\n"
          "  vexlog -f /qordebug kernel usb\n"
          "  vexlog logs.zip --start 0 -n 50 -v time all\n"
          "\n"
          "Exit status: 0 everything was read; 1 something could not be read (a gzip\n"
          "member that does not decode, text whose start marker is missing, a start that\n"
          "is not there), said on stderr, the rest printed; 2 usage error.\n",
          out);
}

void usage_options(FILE *out)
{
    fputs("  -l, --list-starts    list the starts: which logs hold their lines, how many\n"
          "                       bytes, the first and last timestamp; then per start its\n"
          "                       first and last time by the wall clock (UTC, from the\n"
          "                       daemon's clock line), its seconds, and how it ended\n"
          "  -b, --start WHICH    only these starts: N (startup count N), 0 (the last),\n"
          "                       -1 (the one before the last), ..., A..B (a range of\n"
          "                       either kind), all (the default)\n"
          "  -f, --follow         go on printing what is written to the live log, also\n"
          "                       across its rotations (log directories only)\n"
          "  -d, --dump           print and end (the default; as logcat -d)\n"
          "  -o, --output FORMAT  raw (the default: the lines as written) or json (one\n"
          "                       object per line; the main log as time, priority, tag,\n"
          "                       pid, message; every line with its start, source and\n"
          "                       wall-clock time; bytes that are not UTF-8 as \\u00XX)\n"
          "      --pid PID        main log: only the entries of process PID\n"
          "      --since WHEN, --until WHEN\n"
          "                       only the lines stamped from / up to WHEN: SECONDS of the\n"
          "                       stamps (the main and daemon logs count from the daemon's\n"
          "                       start, the kernel log from the handset's boot), or a\n"
          "                       wall-clock time, UTC: 'YYYY-MM-DD HH:MM[:SS[.micro]]'\n"
          "                       (or with T), or HH:MM[:SS] of today; lines without a\n"
          "                       stamp go with the line before\n"
          "  -s                   main log: silence every tag not named (as *:S)\n"
          "  -e, --grep REGEX     only the lines matching the extended regular expression\n"
          "                       REGEX (POSIX ERE; may be repeated: one of them); the\n"
          "                       main log: its message or its tag\n"
          "  -i, --ignore-case    -e and the texts of FILTERSPEC ignore case\n"
          "  -p, --priority P     main log: P one of V D I W E F, as *:P; kernel log: the\n"
          "                       lines at <N> up to level P, 0..7 or emerg, alert, crit,\n"
          "                       err, warning, notice, info, debug (lines without <N> go\n"
          "                       with the line before)\n"
          "  -n, --lines N        only the last N entries (a main log entry with all its\n"
          "                       lines) of those the other filters let through\n"
          "  -v, --format time    each line after its wall-clock time (UTC), from the\n"
          "                       daemon's clock line of its start\n"
          "  -h, --help, --version\n"
          "\n"
          "\n",
          out);
    usage_notes(out);
}

}  // namespace

void usage(FILE *out)
{
    fprintf(out,
            "usage: vexlog [OPTIONS] SOURCE [LOG] [FILTERSPEC...]\n"
            "       vexlog --list-starts SOURCE\n"
            "\n"
            "Reads the daemon's logs, split into its starts by their startup markers.\n"
            "SOURCE is a log directory, a ZIP archive of one (vexctl archive; read in\n"
            "place), a file of a log (vexd_logcat.gz: that log, .gz and .txt), or left\n"
            "out on the handset: the live log directory %s (whatever comes first on\n"
            "the command line).\n"
            "LOG is kernel, main (the default), trace, daemon, ps or all; each reads as\n"
            "its .gz members, oldest first, then its .txt file, exactly as written.\n"
            "all: the kernel, main, trace and daemon logs on one time line, each line\n"
            "after its log's name ('kernel: ', 'main: ', ...; JSON: \"log\"), ordered by\n"
            "the wall clock of the start's clock line (without one: by the daemon's\n"
            "time base, the kernel log after it); each log keeps its own order, and the\n"
            "trace log, which has no stamps, comes after the start's stamped lines.\n"
            "\n",
            LIVE_LOG_DIR);
    usage_options(out);
}

int usage_error(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    fputs("vexlog: ", stderr);
    vfprintf(stderr, fmt, ap);
    va_end(ap);
    fputs("\nTry 'vexlog --help' for more information.\n", stderr);
    return EXIT_USAGE;
}

}  // namespace vexlog
