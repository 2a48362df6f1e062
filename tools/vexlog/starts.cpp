// The daemon's starts.
#include "starts.h"

#include "clock.h"
#include "filters.h"
#include "json.h"
#include "log_pair.h"
#include "splitter.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <map>
#include <string_view>

namespace vexlog {
namespace {

struct log_stats {
    uint64_t bytes = 0, lines = 0;
    std::string first, last;
};

struct start_info {
    log_stats per_log[LOG_COUNT];
    bool seen[LOG_COUNT] = {};
};

class lister final : public line_sink {
public:
    lister(std::map<int64_t, start_info> *starts, int kind) : starts_(starts), kind_(kind) {}
    void line(int64_t start, const char *p, size_t n) override
    {
        if (start != cur_start_ || cur_ == nullptr) {
            cur_start_ = start;
            start_info &si = (*starts_)[start];
            si.seen[kind_] = true;
            cur_ = &si.per_log[kind_];
        }
        cur_->bytes += n;
        if (n > 0 && p[n - 1] == '\n') cur_->lines++;
        if (logs[kind_].stamped) {
            const std::string_view t = line_time(p, n);
            if (!t.empty()) {
                if (cur_->first.empty()) cur_->first.assign(t);
                cur_->last.assign(t);
            }
        }
    }

private:
    std::map<int64_t, start_info> *starts_;
    int kind_;
    int64_t cur_start_ = 0;
    log_stats *cur_ = nullptr;
};

class marker_counter final : public line_sink {
public:
    explicit marker_counter(std::vector<int64_t> *counts) : counts_(counts) {}
    void line(int64_t, const char *, size_t) override {}
    void marker(int64_t count) override { counts_->push_back(count); }

private:
    std::vector<int64_t> *counts_;
};

using start_map = std::map<int64_t, start_info>;

// The relative number of each start, as --start counts them: over the starts
// in the daemon log and the process list, or else in the main log.
std::map<int64_t, int64_t> relative_numbers(const start_map &starts)
{
    std::vector<int64_t> known;
    for (int pass = 0; pass < 2 && known.empty(); pass++)
        for (const auto &[start, si] : starts)
            if (start != UNKNOWN_START &&
                (pass == 0 ? si.seen[LOG_DAEMON] || si.seen[LOG_PS] : si.seen[LOG_MAIN]))
                known.push_back(start);
    std::map<int64_t, int64_t> index;
    for (size_t i = 0; i < known.size(); i++)
        index[known[i]] = static_cast<int64_t>(i) - static_cast<int64_t>(known.size() - 1);
    return index;
}

// What a start's row says on stderr: the starts before it whose markers are
// nowhere, or text of no start.
void note_start(int64_t start, const start_info &si, int64_t *prev)
{
    if (start != UNKNOWN_START && *prev != UNKNOWN_START && start > *prev + 1) {
        if (start == *prev + 2)
            complain("start %s: its marker is in none of the logs", fmt_count(*prev + 1).c_str());
        else
            complain("starts %s to %s: their markers are in none of the logs", fmt_count(*prev + 1).c_str(),
                     fmt_count(start - 1).c_str());
    }
    if (start != UNKNOWN_START) *prev = start;
    if (start == UNKNOWN_START) {
        std::string which;
        for (int k = 0; k < LOG_COUNT; k++)
            if (si.seen[k]) which += std::string(which.empty() ? "" : ", ") + logs[k].what;
        complain("text without a start marker in the %s (before the first marker, or after text that could "
                 "not be read): listed as start \"?\"",
                 which.c_str());
    }
}

// A start's first and last time, over the daemon and main logs: the wall
// clock with a clock line, else the stamps of its time base.
struct span {
    int64_t first = NO_TIME, last = NO_TIME;
    bool wall = false;
    std::string end;
};

span span_of(int64_t start, const start_info &si, const facts_map &facts, int64_t last_start)
{
    span sp;
    const auto f = facts.find(start);
    const start_clock clock = f != facts.end() ? f->second.clock : start_clock{};
    for (int k : {LOG_DAEMON, LOG_MAIN}) {
        const int64_t a = stamp_us(si.per_log[k].first), b = stamp_us(si.per_log[k].last);
        if (a != NO_TIME && (sp.first == NO_TIME || a < sp.first)) sp.first = a;
        if (b != NO_TIME && (sp.last == NO_TIME || b > sp.last)) sp.last = b;
    }
    sp.wall = clock.known && sp.first != NO_TIME;
    if (sp.wall) {
        sp.first = wall_of(clock, logs[LOG_DAEMON], sp.first);
        sp.last = wall_of(clock, logs[LOG_DAEMON], sp.last);
    }
    if (start != UNKNOWN_START)
        sp.end = describe_end(f != facts.end() ? f->second : start_facts{}, start == last_start);
    return sp;
}

std::string fmt_time(int64_t t, bool wall, bool iso)
{
    if (t == NO_TIME) return "-";
    if (wall) return fmt_wall(t, iso);
    char b[32];
    snprintf(b, sizeof b, "%" PRId64 ".%06" PRId64, t / 1000000, t % 1000000);
    return b;
}

std::string fmt_duration(const span &sp)
{
    if (sp.first == NO_TIME) return "-";
    const int64_t d = sp.last - sp.first;
    char b[32];
    snprintf(b, sizeof b, "%" PRId64 ".%03" PRId64, d / 1000000, d % 1000000 / 1000);
    return b;
}

// The second table of --list-starts: when each start ran and how it ended.
void put_start_times(const start_map &starts, const facts_map &facts, int64_t last_start)
{
    printf("\n%6s  %-26s  %-26s  %10s  %s\n", "START", "FIRST (UTC)", "LAST (UTC)", "SECONDS", "END");
    for (const auto &[start, si] : starts) {
        if (start == UNKNOWN_START) continue;
        const span sp = span_of(start, si, facts, last_start);
        printf("%6s  %-26s  %-26s  %10s  %s\n", fmt_count(start).c_str(),
               fmt_time(sp.first, sp.wall, false).c_str(), fmt_time(sp.last, sp.wall, false).c_str(),
               fmt_duration(sp).c_str(), sp.end.c_str());
    }
}

void put_start_json(int64_t start, const start_info &si, const std::string &idx, const span &sp,
                    const std::string &source)
{
    fputs("{\"start\":", stdout);
    put_json_start(start);
    if (idx != "-") printf(",\"index\":%s", idx.c_str());
    fputs(",\"source\":", stdout);
    put_json_string(source);
    fputs(",\"logs\":{", stdout);
    bool first = true;
    for (int k = 0; k < LOG_COUNT; k++) {
        if (!si.seen[k]) continue;
        const log_stats &ls = si.per_log[k];
        printf("%s\"%s\":{\"bytes\":%" PRIu64 ",\"lines\":%" PRIu64, first ? "" : ",", logs[k].name, ls.bytes,
               ls.lines);
        if (!ls.first.empty()) {
            fputs(",\"first\":", stdout);
            put_json_number(ls.first);
            fputs(",\"last\":", stdout);
            put_json_number(ls.last);
        }
        putc('}', stdout);
        first = false;
    }
    putc('}', stdout);
    if (sp.first != NO_TIME) {
        const char *q = sp.wall ? "\"" : "";  // wall-clock times as strings, stamps as numbers
        printf(",\"%s\":%s%s%s,\"%s\":%s%s%s,\"seconds\":%s", sp.wall ? "wall_first" : "first", q,
               fmt_time(sp.first, sp.wall, true).c_str(), q, sp.wall ? "wall_last" : "last", q,
               fmt_time(sp.last, sp.wall, true).c_str(), q, fmt_duration(sp).c_str());
    }
    if (!sp.end.empty()) {
        fputs(",\"end\":", stdout);
        put_json_string(sp.end);
    }
    fputs("}\n", stdout);
}

void put_start_rows(int64_t start, const start_info &si, const std::string &idx)
{
    bool first = true;
    for (int k = 0; k < LOG_COUNT; k++) {
        if (!si.seen[k]) continue;
        const log_stats &ls = si.per_log[k];
        const std::string cnt = !first ? "" : start == UNKNOWN_START ? "?" : fmt_count(start);
        printf("%4s %6s  %-7s %12" PRIu64 " %10" PRIu64 " %16s %16s\n", first ? idx.c_str() : "", cnt.c_str(),
               logs[k].name, ls.bytes, ls.lines, ls.first.empty() ? "-" : ls.first.c_str(),
               ls.last.empty() ? "-" : ls.last.c_str());
        first = false;
    }
}

}  // namespace

std::vector<int64_t> known_starts(const source &src, int fallback)
{
    std::vector<int64_t> counts;
    const int saved = trouble;
    for (int k : {LOG_DAEMON, LOG_PS}) {
        marker_counter mc(&counts);
        splitter sp(&mc);
        read_state st;
        read_log(src, logs[k], &sp, &st);
    }
    if (counts.empty()) {
        marker_counter mc(&counts);
        splitter sp(&mc);
        read_state st;
        read_log(src, logs[fallback], &sp, &st);
    }
    trouble = saved;  // reported when that log itself is read
    std::sort(counts.begin(), counts.end());
    counts.erase(std::unique(counts.begin(), counts.end()), counts.end());
    return counts;
}

bool resolve_start(int64_t v, const std::vector<int64_t> &known, int64_t *count, std::string *why)
{
    if (v > 0) {
        *count = v;
        return true;
    }
    if (known.empty()) {
        *why = "no start markers found";
        return false;
    }
    if (static_cast<uint64_t>(-v) >= known.size()) {
        *why = "only " + std::to_string(known.size()) + " starts found (" + fmt_count(known.front()) +
               " to " + fmt_count(known.back()) + ")";
        return false;
    }
    *count = known[known.size() - 1 - static_cast<size_t>(-v)];
    return true;
}

int list_starts(const source &src, const options &o)
{
    start_map starts;
    bool any = false;
    for (int k = 0; k < LOG_COUNT; k++) {
        lister l(&starts, k);
        splitter sp(&l);
        read_state st;
        any = read_log(src, logs[k], &sp, &st) || any;
        sp.flush();
    }
    if (!any) {
        complain("%s: no logs of the daemon here", src.path.c_str());
        return EXIT_TROUBLE;
    }
    const std::map<int64_t, int64_t> index = relative_numbers(starts);
    if (!o.json)
        printf("%4s %6s  %-7s %12s %10s %16s %16s\n", "IDX", "START", "LOG", "BYTES", "LINES", "FIRST",
               "LAST");
    const facts_map facts = read_facts(src);
    const int64_t last_start = index.empty() ? UNKNOWN_START : index.rbegin()->first;
    int64_t prev = UNKNOWN_START;
    for (const auto &[start, si] : starts) {
        note_start(start, si, &prev);
        const auto it = index.find(start);
        const std::string idx =
            start != UNKNOWN_START && it != index.end() ? std::to_string(it->second) : "-";
        if (o.json)
            put_start_json(start, si, idx, span_of(start, si, facts, last_start), src.path);
        else
            put_start_rows(start, si, start == UNKNOWN_START ? "" : idx);
    }
    if (!o.json) put_start_times(starts, facts, last_start);
    return trouble ? EXIT_TROUBLE : 0;
}

}  // namespace vexlog
