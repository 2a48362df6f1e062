// vexlog's command line. The units under tools/vexlog/: source (log
// directories and ZIP archives), gz_members (the gzip member stream),
// splitter (lines and starts), log_pair (a log read whole while the daemon
// rotates it), follow, filters, json and printer (output), starts (the list
// of starts and --start), messages (reports on stderr).
#include "clock.h"
#include "follow.h"
#include "filters.h"
#include "log_pair.h"
#include "printer.h"
#include "source.h"
#include "splitter.h"
#include "starts.h"
#include "timeline.h"
#include "vexlog.h"

#include <getopt.h>
#include <sys/stat.h>
#include <sys/time.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#ifndef VEXLOG_VERSION
#define VEXLOG_VERSION "dev"
#endif

namespace vexlog {
namespace {

constexpr int GO_ON = -1;  // no exit status yet

char outbuf[256 * 1024];

int find_log(const char *name)
{
    if (strcmp(name, "all") == 0) return LOG_ALL;
    for (int k = 0; k < LOG_COUNT; k++)
        if (strcmp(name, logs[k].name) == 0 || strcmp(name, logs[k].base) == 0) return k;
    return -1;
}

bool parse_int(std::string_view s, int64_t *out)
{
    if (s.empty() || s.size() > 12) return false;
    bool neg = s[0] == '-';
    if (neg || s[0] == '+') s.remove_prefix(1);
    if (s.empty()) return false;
    int64_t v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + (c - '0');
    }
    *out = neg ? -v : v;
    return true;
}

bool parse_seconds(const char *text, double *out)
{
    char *end = nullptr;
    const double v = strtod(text, &end);
    if (end == text || *end != '\0' || !(v >= 0)) return false;
    *out = v;
    return true;
}

// --since/--until: seconds of the lines' stamps, or a wall-clock time.
bool parse_bound(const char *text, double *secs, int64_t *wall)
{
    if (parse_seconds(text, secs)) return true;
    struct timeval now {};
    gettimeofday(&now, nullptr);
    return parse_wall(text, static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_usec, wall);
}

enum { OPT_PID = 1000, OPT_VERSION, OPT_SINCE, OPT_UNTIL };

// -n, -v, --since and --until: GO_ON, or the exit status of a usage error.
int time_option(int c, const char *arg, options *o)
{
    switch (c) {
    case 'n': {
        int64_t v = 0;
        if (!parse_int(arg, &v) || v <= 0) return usage_error("--lines takes a count above 0, not '%s'", arg);
        o->last_entries = static_cast<uint64_t>(v);
        break;
    }
    case 'v':
        if (strcmp(arg, "time") != 0) return usage_error("-v takes time, not '%s'", arg);
        o->wall = true;
        break;
    default:
        if (!parse_bound(arg, c == OPT_SINCE ? &o->since : &o->until,
                         c == OPT_SINCE ? &o->since_wall : &o->until_wall))
            return usage_error(
                "%s takes seconds or a time (YYYY-MM-DD HH:MM[:SS], HH:MM[:SS] today, UTC), not '%s'",
                c == OPT_SINCE ? "--since" : "--until", arg);
        break;
    }
    return GO_ON;
}

// The options; GO_ON, or the exit status (help, version, a usage error).
int parse_options(int argc, char **argv, options *o, std::string *priority)
{
    static const struct option longopts[] = {
        {"list-starts", no_argument, nullptr, 'l'},
        {"start", required_argument, nullptr, 'b'},
        {"follow", no_argument, nullptr, 'f'},
        {"dump", no_argument, nullptr, 'd'},
        {"output", required_argument, nullptr, 'o'},
        {"grep", required_argument, nullptr, 'e'},
        {"format", required_argument, nullptr, 'v'},
        {"ignore-case", no_argument, nullptr, 'i'},
        {"priority", required_argument, nullptr, 'p'},
        {"lines", required_argument, nullptr, 'n'},
        {"pid", required_argument, nullptr, OPT_PID},
        {"since", required_argument, nullptr, OPT_SINCE},
        {"until", required_argument, nullptr, OPT_UNTIL},
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, OPT_VERSION},
        {nullptr, 0, nullptr, 0},
    };
    bool dump = false;
    opterr = 0;
    for (int c; (c = getopt_long(argc, argv, ":lb:fdo:e:v:ip:n:sh", longopts, nullptr)) != -1;) {
        switch (c) {
        case 'l': o->list = true; break;
        case 'b': o->start_text = optarg; break;
        case 'f': o->follow = true; break;
        case 'd': dump = true; break;
        case 'o':
            if (strcmp(optarg, "json") == 0)
                o->json = true;
            else if (strcmp(optarg, "raw") != 0)
                return usage_error("--output takes raw or json, not '%s'", optarg);
            break;
        case 'e': o->patterns.emplace_back(optarg); break;
        case 'i': o->icase = true; break;
        case 'p': *priority = optarg; break;
        case 's': o->silent = true; break;
        case 'n':
        case 'v':
        case OPT_SINCE:
        case OPT_UNTIL:
            if (const int rc = time_option(c, optarg, o); rc != GO_ON) return rc;
            break;
        case OPT_PID: {
            int64_t v = 0;
            if (!parse_int(optarg, &v)) return usage_error("--pid takes a process id, not '%s'", optarg);
            o->has_pid = true;
            o->pid = std::to_string(v);
            break;
        }
        case 'h': usage(stdout); return 0;
        case OPT_VERSION: printf("vexlog %s\n", VEXLOG_VERSION); return 0;
        case ':': return usage_error("option %s needs a value", argv[optind - 1]);
        default:
            if (optopt != 0) return usage_error("unknown option -%c", optopt);
            return usage_error("unknown option %s", argv[optind - 1]);
        }
    }
    if (dump && o->follow) return usage_error("--dump and --follow exclude each other");
    return GO_ON;
}

// SOURCE [LOG] [FILTERSPEC...] after the options; on the handset SOURCE may
// be left out. GO_ON, or the exit status of a usage error.
int parse_operands(int argc, char **argv, options *o, std::string *source_path, int *kind)
{
    int i = optind;
    struct stat st {};
    const bool handset = stat(LIVE_LOG_DIR, &st) == 0 && S_ISDIR(st.st_mode);
    // A first operand that is no file, a log's name or (on the handset) anything but a path.
    const auto not_a_source = [&](const char *a) {
        const bool path =
            strchr(a, '/') != nullptr || (strchr(a, '.') != nullptr && strchr(a, ':') == nullptr);
        return stat(a, &st) != 0 && (find_log(a) >= 0 || (handset && !path));
    };
    if (i < argc && not_a_source(argv[i])) {
        *source_path = LIVE_LOG_DIR;
    } else if (i >= argc && handset) {
        *source_path = LIVE_LOG_DIR;
    } else if (i < argc) {
        *source_path = argv[i++];
    } else {
        return usage_error("no SOURCE: name a log directory or a ZIP archive");
    }
    // LOG may be left out: implied by a file of a log, or main before a filter spec.
    const int implied = log_of_file(*source_path);  // never all
    *kind = implied >= 0 ? implied : LOG_MAIN;
    if (i < argc && find_log(argv[i]) >= 0) {
        *kind = find_log(argv[i++]);
    } else if (i < argc && implied < 0 && strchr(argv[i], ':') == nullptr) {
        return usage_error("unknown log '%s' (kernel, main, trace, daemon, ps or all)", argv[i]);
    }
    if (o->list && i < argc) return usage_error("--list-starts takes no LOG or FILTERSPEC");
    for (; i < argc; i++) {
        if (*kind != LOG_MAIN && *kind != LOG_ALL) {
            o->texts.emplace_back(argv[i]);
        } else if (!parse_filterspec(argv[i], &o->specs)) {
            return usage_error("bad filter spec '%s' (TAG:P, P one of V D I W E F S)", argv[i]);
        }
    }
    if (o->silent) o->specs.push_back({"*", 9});
    if ((o->has_pid || !o->specs.empty()) && *kind != LOG_MAIN && *kind != LOG_ALL)
        return usage_error("tag, priority and PID filters are for the main log");
    return GO_ON;
}

// -p: a main log letter (as *:P) or a kernel log level. GO_ON, or the exit status.
int set_priority(const std::string &p, int kind, options *o)
{
    if (p.empty()) return GO_ON;
    const int level = kernel_level(p.c_str());
    if (level >= 0 && (kind == LOG_KERNEL || kind == LOG_ALL)) {
        o->kernel_level = level;
    } else if (p.size() == 1 && main_level(p[0]) >= 0 && (kind == LOG_MAIN || kind == LOG_ALL)) {
        parse_filterspec(("*:" + p).c_str(), &o->specs);
    } else {
        return usage_error("--priority takes V D I W E F for the main log, 0..7 or emerg, alert, crit, err, "
                           "warning, notice, info, debug for the kernel log, not '%s'",
                           p.c_str());
    }
    return GO_ON;
}

// --start: the startup counts it names, in o->starts. GO_ON, or the exit status.
int choose_starts(const source &src, int kind, options *o)
{
    if (o->start_text.empty() || o->start_text == "all") return GO_ON;
    const std::string_view t = o->start_text;
    const size_t dots = t.find("..");
    int64_t a = 0, b = 0;
    if (dots == std::string_view::npos
            ? !parse_int(t, &a) || (b = a, false)
            : !parse_int(t.substr(0, dots), &a) || !parse_int(t.substr(dots + 2), &b))
        return usage_error("--start takes N, 0, -N, A..B or all, not '%s'", o->start_text.c_str());
    std::vector<int64_t> known;
    if (a <= 0 || b <= 0) known = known_starts(src, kind == LOG_ALL ? LOG_MAIN : kind);
    std::string why;
    if (!resolve_start(a, known, &o->starts.lo, &why) || !resolve_start(b, known, &o->starts.hi, &why)) {
        complain("no start %s in %s: %s", o->start_text.c_str(), src.path.c_str(), why.c_str());
        return EXIT_TROUBLE;
    }
    if (o->starts.lo > o->starts.hi) std::swap(o->starts.lo, o->starts.hi);
    o->starts.all = false;
    return GO_ON;
}

// Which starts the log held, to say so when the chosen one is not there.
struct seen_starts final : line_sink {
    line_sink *inner;
    const selection *sel;
    bool any = false;
    seen_starts(line_sink *i, const selection *s) : inner(i), sel(s) {}
    void line(int64_t s, const char *p, size_t n) override
    {
        any = any || sel->contains(s);
        inner->line(s, p, n);
    }
    void marker(int64_t c) override { inner->marker(c); }
    void end() override { inner->end(); }
    void pause() override { inner->pause(); }
};

// -n: how many of the entries that pass are left out, by a pass that counts them.
void count_entries(const source &src, int kind, options *o)
{
    options counting = *o;
    counting.skip_entries = UINT64_MAX;
    printer pr(counting, kind);
    splitter sp(&pr);
    read_state rs;
    quiet = true;
    read_log(src, logs[kind], &sp, &rs);
    sp.flush();
    quiet = false;
    o->skip_entries = pr.entries() > o->last_entries ? pr.entries() - o->last_entries : 0;
}

// Prints the log, and follows it with --follow; the exit status.
int print_log(const source &src, int kind, const options &o)
{
    printer pr(o, kind);
    seen_starts seen(&pr, &o.starts);
    splitter sp(&seen);
    read_state rs;
    if (!read_log(src, logs[kind], &sp, &rs)) {
        complain("%s: no %s here (%s.txt, %s.gz)", src.path.c_str(), logs[kind].what, logs[kind].base,
                 logs[kind].base);
        if (!o.follow) return EXIT_TROUBLE;
    }
    if (o.follow) return follow(src, logs[kind], &sp, rs);
    sp.flush();
    if (!o.starts.all && !seen.any)
        complain("the %s holds no text of start %s", logs[kind].what,
                 o.starts.lo == o.starts.hi
                     ? fmt_count(o.starts.lo).c_str()
                     : (fmt_count(o.starts.lo) + ".." + fmt_count(o.starts.hi)).c_str());
    fflush(stdout);
    if (ferror(stdout)) return EXIT_TROUBLE;
    return trouble ? EXIT_TROUBLE : 0;
}

int run(int argc, char **argv)
{
    setvbuf(stdout, outbuf, _IOFBF, sizeof outbuf);
    options o;
    std::string source_path;
    int kind = LOG_MAIN;
    std::string priority, why;
    if (const int rc = parse_options(argc, argv, &o, &priority); rc != GO_ON) return rc;
    if (const int rc = parse_operands(argc, argv, &o, &source_path, &kind); rc != GO_ON) return rc;
    if (const int rc = set_priority(priority, kind, &o); rc != GO_ON) return rc;
    if (!compile_patterns(o, o.texts, &why)) return usage_error("bad regular expression %s", why.c_str());
    source src;
    if (!open_source(source_path, &src)) return EXIT_TROUBLE;
    if (o.follow && (src.is_zip() || o.list)) return usage_error("--follow reads a live log directory only");
    if (o.list) return list_starts(src, o);
    if (const int rc = choose_starts(src, kind, &o); rc != GO_ON) return rc;
    o.source_name = source_path;
    facts_map facts;
    if (o.json || o.wall || o.walled() || kind == LOG_ALL) {
        facts = read_facts(src);
        o.facts = &facts;
        o.src = &src;
    }
    if (kind == LOG_ALL) {
        if (o.follow) return usage_error("--follow reads one log, not all");
        return print_timeline(src, o);
    }
    if (o.last_entries > 0) count_entries(src, kind, &o);
    return print_log(src, kind, o);
}

}  // namespace
}  // namespace vexlog

int main(int argc, char **argv) { return vexlog::run(argc, argv); }
