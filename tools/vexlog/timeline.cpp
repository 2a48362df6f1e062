// One time line of the logs.
#include "timeline.h"

#include "clock.h"
#include "filters.h"
#include "json.h"
#include "log_pair.h"
#include "splitter.h"

#include <cinttypes>
#include <cstdio>
#include <string>
#include <vector>

namespace vexlog {
namespace {

constexpr int MERGED[] = {LOG_KERNEL, LOG_MAIN, LOG_TRACE, LOG_DAEMON};

int64_t clockless_ = UNKNOWN_START;  // the first start chosen without a clock line

// Where an entry goes in its start: by time, then the lines that cannot be
// put on the time line (a kernel log without a clock line, the trace log).
enum { TIMED, KERNEL_AFTER, TRACE_AFTER };

struct item {
    int64_t start;
    int group;
    int64_t key;   // the wall clock or the time base, in microseconds
    int64_t wall;  // NO_TIME without a clock line
    std::string text;
};

// The entries of one log that pass the filters, in its order.
class collector final : public line_sink {
public:
    collector(const options &o, int kind, std::vector<item> *out) : o_(o), kind_(kind), out_(out) {}

    bool seen() const { return seen_; }

    void marker(int64_t) override
    {
        in_marker_ = 2;
        keep_ = false;
    }

    void line(int64_t start, const char *p, size_t n) override
    {
        const bool ends = n > 0 && p[n - 1] == '\n';
        if (piece_) {  // the rest of a line that came in part
            piece_ = !ends;
            if (keep_) out_->back().text.append(p, n);
            return;
        }
        piece_ = !ends;
        if (in_marker_ > 0) {
            in_marker_--;
            return;
        }
        if (!o_.starts.contains(start)) {
            keep_ = false;
            return;
        }
        seen_ = true;
        if (start != start_) new_start(start);
        const int64_t stamp = logs[kind_].stamped ? stamp_us(line_time(p, n)) : NO_TIME;
        if (kind_ == LOG_MAIN ? !begins_entry(p, n)
                              : logs[kind_].stamped && stamp == NO_TIME && have_entry_) {
            if (keep_) out_->back().text.append(p, n);  // goes with the entry before
            return;
        }
        if (stamp != NO_TIME) last_stamp_ = stamp;
        have_entry_ = true;
        keep_ = passes(p, n);
        if (keep_) out_->push_back(make_item(start, p, n));
    }

private:
    void new_start(int64_t start)
    {
        start_ = start;
        have_entry_ = false;
        last_stamp_ = NO_TIME;
        clock_ = start_clock{};
        if (o_.facts != nullptr)
            if (const auto f = o_.facts->find(start); f != o_.facts->end()) clock_ = f->second.clock;
        if (!clock_.known && start != UNKNOWN_START && clockless_ == UNKNOWN_START) clockless_ = start;
    }

    bool begins_entry(const char *p, size_t n)
    {
        main_entry e;
        return parse_main(p, n, &e) || !have_entry_;
    }

    bool passes(const char *p, size_t n) const
    {
        const int64_t wall = wall_of(clock_, logs[kind_], last_stamp_);
        if (o_.walled() && (wall == NO_TIME || (o_.since_wall != NO_TIME && wall < o_.since_wall) ||
                            (o_.until_wall != NO_TIME && wall > o_.until_wall)))
            return false;
        if (kind_ == LOG_MAIN) {
            main_entry e;
            return parse_main(p, n, &e) ? main_passes(o_, e)
                                        : o_.specs.empty() && !o_.has_pid && holds_pattern(p, n);
        }
        if ((o_.since >= 0 || o_.until >= 0) && logs[kind_].stamped &&
            (last_stamp_ == NO_TIME || !in_window(o_, static_cast<double>(last_stamp_) / 1e6)))
            return false;
        kernel_entry k;
        if (kind_ == LOG_KERNEL && o_.kernel_level >= 0 && parse_kernel(p, n, &k) &&
            k.level > o_.kernel_level)
            return false;
        return holds_pattern(p, n);
    }

    item make_item(int64_t start, const char *p, size_t n) const
    {
        item it{start, TIMED, last_stamp_, wall_of(clock_, logs[kind_], last_stamp_), std::string(p, n)};
        if (kind_ == LOG_TRACE)
            it.group = TRACE_AFTER;
        else if (it.wall != NO_TIME)
            it.key = it.wall;
        else if (kind_ == LOG_KERNEL)
            it.group = KERNEL_AFTER;
        return it;
    }

    const options &o_;
    int kind_;
    std::vector<item> *out_;
    int in_marker_ = 0;
    bool piece_ = false, keep_ = false, have_entry_ = false;
    bool seen_ = false;  // a line of the chosen starts, shown or not
    int64_t start_ = UNKNOWN_START, last_stamp_ = NO_TIME;
    start_clock clock_;
};

bool before(const item &a, const item &b)
{
    if (a.start != b.start) return a.start < b.start;
    if (a.group != b.group) return a.group < b.group;
    return a.key < b.key;
}

void put_raw(const item &it, int kind, const options &o)
{
    const std::string w = o.wall ? (it.wall == NO_TIME ? "-" : fmt_wall(it.wall)) : "";
    size_t at = 0;
    while (at < it.text.size()) {
        size_t nl = it.text.find('\n', at);
        nl = nl == std::string::npos ? it.text.size() : nl + 1;
        if (o.wall) printf("%-26s ", w.c_str());
        printf("%s: ", logs[kind].name);
        put(it.text.data() + at, nl - at);
        at = nl;
    }
}

void put_item_json(const item &it, int kind, const options &o)
{
    std::string_view text(it.text);
    if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
    fputs("{\"start\":", stdout);
    put_json_start(it.start);
    fputs(",\"source\":", stdout);
    put_json_string(o.source_name);
    printf(",\"log\":\"%s\"", logs[kind].name);
    if (it.wall != NO_TIME) printf(",\"wall\":\"%s\"", fmt_wall(it.wall, true).c_str());
    const std::string_view t =
        logs[kind].stamped ? line_time(it.text.data(), it.text.size()) : std::string_view{};
    if (!t.empty()) {
        fputs(",\"time\":", stdout);
        put_json_number(t);
    }
    main_entry e;
    kernel_entry k;
    if (kind == LOG_MAIN && parse_main(it.text.data(), it.text.size(), &e)) {
        fputs(",\"priority\":", stdout);
        put_json_string({&e.pri, 1});
        fputs(",\"tag\":", stdout);
        put_json_string(e.tag);
        printf(",\"pid\":%.*s,\"message\":", static_cast<int>(e.pid.size()), e.pid.data());
        put_json_string(text.substr(static_cast<size_t>(e.msg.data() - it.text.data())));
    } else if (kind == LOG_KERNEL && parse_kernel(it.text.data(), text.size(), &k)) {
        put_json_kernel(k.level, k.time, k.msg);
    }
    fputs(",\"line\":", stdout);
    put_json_string(text);
    fputs("}\n", stdout);
}

}  // namespace

int print_timeline(const source &src, const options &o)
{
    std::vector<item> per_log[4];
    bool any = false, seen = false;
    for (int i = 0; i < 4; i++) {
        collector c(o, MERGED[i], &per_log[i]);
        splitter sp(&c);
        read_state rs;
        any = read_log(src, logs[MERGED[i]], &sp, &rs) || any;
        sp.flush();
        seen = seen || c.seen();
    }
    if (!any) {
        complain("%s: no logs of the daemon here", src.path.c_str());
        return EXIT_TROUBLE;
    }
    if (clockless_ != UNKNOWN_START)
        note("start %s has no clock line in the daemon log: its lines go by the daemon's time base, its "
             "kernel "
             "log after them",
             fmt_count(clockless_).c_str());
    size_t total = 0, at[4] = {};
    for (const auto &v : per_log) total += v.size();
    const size_t skip = o.last_entries > 0 && total > o.last_entries ? total - o.last_entries : 0;
    const bool one_start = !o.starts.all && o.starts.lo == o.starts.hi;
    int64_t shown_start = UNKNOWN_START;
    for (size_t done = 0; done < total; done++) {
        int pick = -1;  // the log whose next entry comes first; each log keeps its order
        for (int i = 0; i < 4; i++)
            if (at[i] < per_log[i].size() && (pick < 0 || before(per_log[i][at[i]], per_log[pick][at[pick]])))
                pick = i;
        const item &it = per_log[pick][at[pick]++];
        if (done < skip) continue;
        if (o.json) {
            put_item_json(it, MERGED[pick], o);
            continue;
        }
        if (!one_start && it.start != shown_start && it.start != UNKNOWN_START)
            printf(LOG_MARKER_FORMAT, static_cast<int>(it.start));
        shown_start = it.start;
        put_raw(it, MERGED[pick], o);
    }
    if (!o.starts.all && !seen) complain("the logs hold no text of the starts chosen");
    fflush(stdout);
    return trouble || ferror(stdout) ? EXIT_TROUBLE : 0;
}

}  // namespace vexlog
