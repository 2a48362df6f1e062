// vexlog's command line, filters and output; the logs, reports and options
// are in vexlog.h, log directories and ZIP archives in source.cpp, the gzip
// member stream in gz_members.cpp, the start splitter in splitter.cpp, the
// reading of a log pair in log_pair.cpp and following in follow.cpp.
#include "follow.h"
#include "log_pair.h"
#include "source.h"
#include "splitter.h"
#include "vexlog.h"

#include <getopt.h>
#include <sys/stat.h>

#include <algorithm>
#include <cinttypes>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#ifndef VEXLOG_VERSION
#define VEXLOG_VERSION "dev"
#endif

namespace vexlog {
namespace {

// ---------------------------------------------------------------- line formats

// "[ seconds.micro]" at the head of a line (after "<N>" in the kernel log):
// the time text, or empty.
std::string_view line_time(const char *p, size_t n)
{
    size_t i = 0;
    if (i < n && p[i] == '<') {
        for (i++; i < n && p[i] >= '0' && p[i] <= '9'; i++) {}
        if (i >= n || p[i] != '>') return {};
        i++;
    }
    if (i >= n || p[i] != '[') return {};
    for (i++; i < n && p[i] == ' '; i++) {}
    const size_t from = i;
    while (i < n && ((p[i] >= '0' && p[i] <= '9') || p[i] == '.')) i++;
    if (i == from || i >= n || p[i] != ']') return {};
    return {p + from, i - from};
}

// A main log line: "[%5lu.%06lu] P/TAG     (PID): message".
struct main_entry {
    std::string_view time, tag, pid, msg;  // msg without its line feed
    char pri = '?';
};

bool parse_main(const char *p, size_t n, main_entry *e)
{
    if (n < 2 || p[0] != '[') return false;
    e->time = line_time(p, n);
    if (e->time.empty()) return false;
    const char *close = static_cast<const char *>(memchr(p, ']', n));
    size_t i = static_cast<size_t>(close - p) + 1;
    if (i + 3 > n || p[i] != ' ' || p[i + 2] != '/') return false;
    e->pri = p[i + 1];
    const size_t tag_at = i + 3;
    // The tag is padded to 8 characters; the PID follows in brackets.
    for (size_t j = tag_at + 8 <= n ? tag_at + 8 : n; j < n; j++) {
        const char *open = static_cast<const char *>(memchr(p + j, '(', n - j));
        if (open == nullptr) return false;
        size_t k = static_cast<size_t>(open - p) + 1;
        const size_t pid_at = k;
        if (k < n && p[k] == '-') k++;
        const size_t digits = k;
        while (k < n && p[k] >= '0' && p[k] <= '9') k++;
        if (k > digits && k + 2 <= n && p[k] == ')' && p[k + 1] == ':' &&
            (k + 2 == n || p[k + 2] == ' ' || p[k + 2] == '\n')) {
            size_t tag_end = static_cast<size_t>(open - p);
            while (tag_end > tag_at && p[tag_end - 1] == ' ') tag_end--;
            e->tag = {p + tag_at, tag_end - tag_at};
            e->pid = {p + pid_at, k - pid_at};
            size_t m = k + 2 < n && p[k + 2] == ' ' ? k + 3 : k + 2;
            size_t end = n;
            if (end > m && p[end - 1] == '\n') end--;
            e->msg = {p + m, end - m};
            return true;
        }
        j = static_cast<size_t>(open - p);
    }
    return false;
}

// Priority letters in the order of their levels; '?' counts as the lowest.
int pri_level(char c)
{
    switch (c) {
    case 'V':
    case 'v': return 2;
    case 'D':
    case 'd': return 3;
    case 'I':
    case 'i': return 4;
    case 'W':
    case 'w': return 5;
    case 'E':
    case 'e': return 6;
    case 'F':
    case 'f': return 7;
    case 'S':
    case 's': return 8;
    default: return -1;
    }
}

// logcat's filter specs: TAG:P or TAG (P = V). "*:P" sets the level of every
// tag not named; without it every tag passes.
bool parse_filterspec(const char *spec, std::vector<tag_filter> *out)
{
    std::string_view s(spec);
    const size_t colon = s.rfind(':');
    tag_filter f{std::string(s.substr(0, colon)), 2};
    if (colon != std::string_view::npos) {
        const std::string_view p = s.substr(colon + 1);
        if (p.size() != 1 || pri_level(p[0]) < 0) return false;
        f.level = pri_level(p[0]) == 8 ? 9 : pri_level(p[0]);  // S: silent
    }
    if (f.tag.empty()) return false;
    out->push_back(f);
    return true;
}

// ---------------------------------------------------------------- output

char outbuf[256 * 1024];

void put(const char *p, size_t n) { fwrite(p, 1, n, stdout); }
void put(std::string_view s) { put(s.data(), s.size()); }

// Writes bytes as the inside of a JSON string, the bytes that are not UTF-8
// as \u00XX. Unless `last`, a UTF-8 sequence cut off by the end is left for
// the next piece. Returns the bytes taken.
size_t put_json_chars(const unsigned char *u, size_t n, bool last)
{
    static const char hex[] = "0123456789abcdef";
    char esc[8];
    size_t plain = 0;
    size_t i = 0;
    while (i < n) {
        const unsigned char c = u[i];
        if (c >= 0x20 && c < 0x80 && c != '"' && c != '\\') {
            i++;
            continue;
        }
        if (c >= 0xc2 && c <= 0xf4) {  // a well-formed UTF-8 sequence passes as it is
            const size_t len = c < 0xe0 ? 2 : c < 0xf0 ? 3 : 4;
            const size_t have = std::min(len, n - i);
            bool ok = true;
            for (size_t k = 1; ok && k < have; k++) ok = (u[i + k] & 0xc0) == 0x80;
            if (ok && have > 1 && len == 3) ok = !(c == 0xe0 && u[i + 1] < 0xa0) && !(c == 0xed && u[i + 1] >= 0xa0);
            if (ok && have > 1 && len == 4) ok = !(c == 0xf0 && u[i + 1] < 0x90) && !(c == 0xf4 && u[i + 1] >= 0x90);
            if (ok && have == len) {
                i += len;
                continue;
            }
            if (ok && !last) break;  // its rest comes with the next piece
        }
        put(reinterpret_cast<const char *>(u) + plain, i - plain);
        const char *e = esc;
        if (c == '"')
            e = "\\\"";
        else if (c == '\\')
            e = "\\\\";
        else if (c == '\n')
            e = "\\n";
        else if (c == '\t')
            e = "\\t";
        else if (c == '\r')
            e = "\\r";
        else
            snprintf(esc, sizeof esc, "\\u00%c%c", hex[c >> 4], hex[c & 15]);
        fputs(e, stdout);
        i++;
        plain = i;
    }
    put(reinterpret_cast<const char *>(u) + plain, i - plain);
    return i;
}

// A JSON string written in pieces, however long: a character split between
// two pieces stays whole.
class json_string {
public:
    void open()
    {
        putc('"', stdout);
        held_ = 0;
    }
    void add(const char *p, size_t n)
    {
        const auto *u = reinterpret_cast<const unsigned char *>(p);
        if (held_ > 0) {  // the rest of a held character first
            unsigned char joined[sizeof head_ + 3];
            memcpy(joined, head_, held_);
            const size_t more = std::min<size_t>(n, 3);
            memcpy(joined + held_, u, more);
            const size_t took = put_json_chars(joined, held_ + more, false);
            if (took < held_) {  // still not whole: n < 3
                memmove(head_, joined + took, held_ + more - took);
                held_ += more - took;
                return;
            }
            u += took - held_;
            n -= took - held_;
            held_ = 0;
        }
        const size_t took = put_json_chars(u, n, false);
        memcpy(head_, u + took, n - took);
        held_ = n - took;
    }
    void add(std::string_view s) { add(s.data(), s.size()); }
    void close()
    {
        put_json_chars(head_, held_, true);
        held_ = 0;
        putc('"', stdout);
    }

private:
    unsigned char head_[4];  // the beginning of a character cut off by the end of a piece
    size_t held_ = 0;
};

json_string json_out;

void put_json_string(std::string_view s)
{
    json_out.open();
    json_out.add(s);
    json_out.close();
}

// A time as a JSON number: without the zeros that may lead it.
void put_json_number(std::string_view t)
{
    while (t.size() > 1 && t[0] == '0' && t[1] != '.') t.remove_prefix(1);
    put(t);
}

void put_json_start(int64_t start)
{
    if (start == UNKNOWN_START)
        fputs("null", stdout);
    else
        printf("%" PRId64, start);
}

// The seconds of a line's stamp, or -1 when it has none.
double stamp_seconds(std::string_view t)
{
    if (t.empty()) return -1;
    char buf[32];
    if (t.size() >= sizeof buf) return -1;
    memcpy(buf, t.data(), t.size());
    buf[t.size()] = '\0';
    return strtod(buf, nullptr);
}

class printer final : public line_sink {
public:
    printer(const options &o, int kind) : o_(o), kind_(kind)
    {
        filtered_ = !o.specs.empty() || o.has_pid || !o.patterns.empty() || o.timed();
        // Markers separate the starts: with a filter, only before a start's
        // first line shown, and not at all when one start is chosen.
        show_markers_ = !filtered_ || o.starts.all || o.starts.lo != o.starts.hi;
    }

    void marker(int64_t) override
    {
        end_line();
        in_marker_ = 2;
    }

    // A line, or a piece of one: a line over a megabyte comes in pieces, and
    // the rest of a line goes where its first piece went.
    void line(int64_t start, const char *p, size_t n) override
    {
        const bool ends = n > 0 && p[n - 1] == '\n';
        const rest r = rest_ == rest::none ? first_piece(start, p, n) : go_on(p, n);
        rest_ = ends ? rest::none : r;
    }

    void end() override
    {
        end_line();
        end_entry();
    }

    void pause() override
    {
        if (rest_ == rest::none) end_entry();
    }

private:
    // Where the rest of a line goes that came in part.
    enum class rest { none, drop, raw, json_line, json_message };

    rest first_piece(int64_t start, const char *p, size_t n)
    {
        const bool is_marker = in_marker_ > 0;
        if (is_marker && in_marker_-- == 2) held_marker_.clear();
        if (!o_.starts.contains(start)) {
            pass_ = false;
            return rest::drop;
        }
        if (start == UNKNOWN_START && !unknown_noted_) {
            unknown_noted_ = true;
            complain("%s: text whose start marker is missing (before the first marker, or after text that "
                     "could not be read) is printed with the starts",
                     logs[kind_].what);
        }
        if (is_marker) {
            end_entry();
            if (!filtered_ && !o_.json)
                put(p, n);
            else if (show_markers_ && !o_.json)
                held_marker_.append(p, n);
            pass_ = false;
            return rest::drop;
        }
        if (kind_ == LOG_MAIN && !filtered_ && !o_.json) {
            emit(p, n);
            return rest::raw;
        }
        if (kind_ == LOG_MAIN) return main_line(start, p, n);
        if (o_.timed() && logs[kind_].stamped) {
            // A line without a stamp goes with the line before it.
            const double t = stamp_seconds(line_time(p, n));
            if (t >= 0) in_time_ = in_window(t);
            if (!in_time_) return rest::drop;
        }
        if (!o_.patterns.empty() && !holds_pattern(p, n)) return rest::drop;
        if (o_.json) return put_json_line(start, p, n);
        emit(p, n);
        return rest::raw;
    }

    rest main_line(int64_t start, const char *p, size_t n)
    {
        main_entry e;
        if (parse_main(p, n, &e)) {
            end_entry();
            pass_ = main_passes(e);
            if (pass_ && o_.json) {
                begin_entry(start, e, n > 0 && p[n - 1] == '\n');
                return rest::json_message;
            }
            if (!pass_) return rest::drop;
            emit(p, n);
            return rest::raw;
        }
        // A line of a message that held line feeds goes with its entry.
        if (o_.json && open_) {
            message_text(p, n);
            return rest::json_message;
        }
        if (pass_ && !o_.json) {
            emit(p, n);
            return rest::raw;
        }
        if (o_.json && !filtered_) return put_json_line(start, p, n);  // not an entry: kept as a line
        return rest::drop;
    }

    rest go_on(const char *p, size_t n)
    {
        switch (rest_) {
        case rest::raw: put(p, n); break;
        case rest::json_line: json_line_text(p, n); break;
        case rest::json_message: message_text(p, n); break;
        case rest::none:
        case rest::drop: break;
        }
        return rest_;
    }

    // A line that came in part ends here (a marker, or the end of the text).
    void end_line()
    {
        if (rest_ == rest::json_line) {
            json_out.close();
            fputs("}\n", stdout);
        }
        rest_ = rest::none;
    }

    // A line shown, after the marker of its start when that is still held.
    void emit(const char *p, size_t n)
    {
        if (!held_marker_.empty()) {
            put(held_marker_);
            held_marker_.clear();
        }
        put(p, n);
    }

    rest put_json_line(int64_t start, const char *p, size_t n)
    {
        fputs("{\"start\":", stdout);
        put_json_start(start);
        const std::string_view t = logs[kind_].stamped ? line_time(p, n) : std::string_view{};
        if (!t.empty()) {
            fputs(",\"time\":", stdout);
            put_json_number(t);
        }
        fputs(",\"line\":", stdout);
        json_out.open();
        json_line_text(p, n);
        return rest::json_line;
    }

    // Text of a JSON line object; its line feed closes it.
    void json_line_text(const char *p, size_t n)
    {
        const bool ends = n > 0 && p[n - 1] == '\n';
        json_out.add(p, ends ? n - 1 : n);
        if (!ends) return;
        json_out.close();
        fputs("}\n", stdout);
    }

    bool holds_pattern(const char *p, size_t n) const
    {
        const std::string_view l(p, n);
        for (const std::string &pat : o_.patterns)
            if (l.find(pat) != std::string_view::npos) return true;
        return false;
    }

    bool in_window(double t) const
    {
        return !(o_.since >= 0 && t < o_.since) && !(o_.until >= 0 && t > o_.until);
    }

    bool main_passes(const main_entry &e) const
    {
        if (o_.has_pid && e.pid != o_.pid) return false;
        if (o_.timed() && !in_window(stamp_seconds(e.time))) return false;
        if (!o_.specs.empty()) {
            int level = 2;  // without "*:P" every tag not named passes
            bool named = false;
            for (const tag_filter &f : o_.specs) {
                if (f.tag == e.tag) {
                    level = f.level;
                    named = true;
                    break;
                }
            }
            if (!named)
                for (const tag_filter &f : o_.specs)
                    if (f.tag == "*") level = f.level;
            const int l = pri_level(e.pri) < 0 ? 2 : pri_level(e.pri);
            if (l < level) return false;
        }
        if (!o_.patterns.empty() && !holds_pattern(e.msg.data(), e.msg.size()) &&
            !holds_pattern(e.tag.data(), e.tag.size()))
            return false;
        return true;
    }

    // One JSON line per entry, written as it comes: its continuation lines
    // go into its message, the line feed that ends the entry does not.
    void begin_entry(int64_t start, const main_entry &e, bool ends)
    {
        fputs("{\"start\":", stdout);
        put_json_start(start);
        fputs(",\"time\":", stdout);
        put_json_number(e.time);
        fputs(",\"priority\":", stdout);
        put_json_string({&e.pri, 1});
        fputs(",\"tag\":", stdout);
        put_json_string(e.tag);
        fputs(",\"pid\":", stdout);
        put(e.pid);
        fputs(",\"message\":", stdout);
        json_out.open();
        json_out.add(e.msg);
        open_ = true;
        lf_held_ = ends;
    }

    void message_text(const char *p, size_t n)
    {
        if (lf_held_) json_out.add("\n", 1);
        lf_held_ = n > 0 && p[n - 1] == '\n';
        json_out.add(p, lf_held_ ? n - 1 : n);
    }

    void end_entry()
    {
        if (!open_) return;
        json_out.close();
        fputs("}\n", stdout);
        open_ = lf_held_ = false;
    }

    const options &o_;
    int kind_;
    bool filtered_ = false, show_markers_ = true;
    std::string held_marker_;  // the marker of the current start, not shown yet
    int in_marker_ = 0;
    bool in_time_ = true;  // the last stamped line was within --since/--until
    bool pass_ = false;    // the last entry passed its filters
    bool unknown_noted_ = false;
    bool open_ = false;     // a JSON entry waits for its continuation lines
    bool lf_held_ = false;  // the line feed of its last line, written when another line follows
    rest rest_ = rest::none;
};

// ---------------------------------------------------------------- list of starts

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

// The starts the relative numbers count over, oldest first: those in the
// daemon log and the process list, which every start writes (or, without
// them, those of `fallback`).
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

int list_starts(const source &src, const options &o)
{
    std::map<int64_t, start_info> starts;
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
    // The relative numbers, as --start counts them.
    std::vector<int64_t> known;
    for (int pass = 0; pass < 2 && known.empty(); pass++)
        for (const auto &[start, si] : starts)
            if (start != UNKNOWN_START &&
                (pass == 0 ? si.seen[LOG_DAEMON] || si.seen[LOG_PS] : si.seen[LOG_MAIN]))
                known.push_back(start);
    const auto index_of = [&](int64_t s) -> std::string {
        for (size_t i = 0; i < known.size(); i++)
            if (known[i] == s)
                return std::to_string(static_cast<int64_t>(i) - static_cast<int64_t>(known.size() - 1));
        return "-";
    };
    if (!o.json)
        printf("%4s %6s  %-7s %12s %10s %16s %16s\n", "IDX", "START", "LOG", "BYTES", "LINES", "FIRST",
               "LAST");
    int64_t prev = UNKNOWN_START;
    for (const auto &[start, si] : starts) {
        if (start != UNKNOWN_START && prev != UNKNOWN_START && start > prev + 1) {
            if (start == prev + 2)
                complain("start %s: its marker is in none of the logs", fmt_count(prev + 1).c_str());
            else
                complain("starts %s to %s: their markers are in none of the logs",
                         fmt_count(prev + 1).c_str(), fmt_count(start - 1).c_str());
        }
        if (start != UNKNOWN_START) prev = start;
        if (start == UNKNOWN_START) {
            std::string which;
            for (int k = 0; k < LOG_COUNT; k++)
                if (si.seen[k]) which += std::string(which.empty() ? "" : ", ") + logs[k].what;
            complain(
                "text without a start marker in the %s (before the first marker, or after text that could "
                "not be read): listed as start \"?\"",
                which.c_str());
        }
        if (o.json) {
            fputs("{\"start\":", stdout);
            put_json_start(start);
            const std::string idx = start == UNKNOWN_START ? "-" : index_of(start);
            if (idx != "-") printf(",\"index\":%s", idx.c_str());
            fputs(",\"logs\":{", stdout);
            bool first = true;
            for (int k = 0; k < LOG_COUNT; k++) {
                if (!si.seen[k]) continue;
                const log_stats &ls = si.per_log[k];
                printf("%s\"%s\":{\"bytes\":%" PRIu64 ",\"lines\":%" PRIu64, first ? "" : ",", logs[k].name,
                       ls.bytes, ls.lines);
                if (!ls.first.empty()) {
                    fputs(",\"first\":", stdout);
                    put_json_number(ls.first);
                    fputs(",\"last\":", stdout);
                    put_json_number(ls.last);
                }
                putc('}', stdout);
                first = false;
            }
            fputs("}}\n", stdout);
            continue;
        }
        bool first = true;
        for (int k = 0; k < LOG_COUNT; k++) {
            if (!si.seen[k]) continue;
            const log_stats &ls = si.per_log[k];
            const std::string idx = first && start != UNKNOWN_START ? index_of(start) : "";
            const std::string cnt = !first ? "" : start == UNKNOWN_START ? "?" : fmt_count(start);
            printf("%4s %6s  %-7s %12" PRIu64 " %10" PRIu64 " %16s %16s\n", idx.c_str(), cnt.c_str(),
                   logs[k].name, ls.bytes, ls.lines, ls.first.empty() ? "-" : ls.first.c_str(),
                   ls.last.empty() ? "-" : ls.last.c_str());
            first = false;
        }
    }
    return trouble ? EXIT_TROUBLE : 0;
}

// ---------------------------------------------------------------- command line

void usage(FILE *out)
{
    fprintf(out,
            "usage: vexlog [OPTIONS] SOURCE [LOG] [FILTERSPEC...]\n"
            "       vexlog --list-starts SOURCE\n"
            "\n"
            "Reads the daemon's logs, split into its starts by their startup markers.\n"
            "SOURCE is a log directory, a ZIP archive of one (vexctl archive; read in\n"
            "place), a file of a log (vexd_logcat.gz: that log, .gz and .txt), or left\n"
            "out on the handset: the live log directory %s.\n"
            "LOG is kernel, main (the default), trace, daemon or ps; each reads as its\n"
            ".gz members, oldest first, then its .txt file, exactly as written.\n"
            "\n"
            "  -l, --list-starts    list the starts: which logs hold their lines, how many\n"
            "                       bytes, the first and last timestamp\n"
            "  -b, --start WHICH    only these starts: N (startup count N), 0 (the last),\n"
            "                       -1 (the one before the last), ..., A..B (a range of\n"
            "                       either kind), all (the default)\n"
            "  -f, --follow         go on printing what is written to the live log, also\n"
            "                       across its rotations (log directories only)\n"
            "  -d, --dump           print and end (the default; as logcat -d)\n"
            "  -o, --output FORMAT  raw (the default: the lines as written) or json (one\n"
            "                       object per line; the main log as time, priority, tag,\n"
            "                       pid, message; bytes that are not UTF-8 as \\u00XX)\n"
            "      --pid PID        main log: only the entries of process PID\n"
            "      --since SECONDS, --until SECONDS\n"
            "                       only the lines stamped from / up to SECONDS (the main and\n"
            "                       daemon logs count from the daemon's start, the kernel log\n"
            "                       from the handset's boot); lines without a stamp go with\n"
            "                       the line before\n"
            "  -s                   main log: silence every tag not named (as *:S)\n"
            "  -e, --grep TEXT      only the lines holding TEXT (may be repeated)\n"
            "  -h, --help, --version\n"
            "\n"
            "FILTERSPEC, main log: TAG:P shows TAG at priority P and above, P one of\n"
            "V D I W E F S (S: nothing); *:P sets the level of every other tag (without\n"
            "it every other tag shows). Other logs: a text the lines must hold.\n"
            "\n"
            "Relative starts (0, -1, ...) count over the starts in the daemon log and the\n"
            "process list, which every start writes; --list-starts shows them as IDX.\n"
            "\n"
            "Examples:\n"
            "  vexlog --list-starts logs.zip\n"
            "  vexlog logs.zip --start -1 main Radio:W Telephony:W '*:S'\n"
            "  vexlog -f /qordebug kernel usb\n"
            "\n"
            "Exit status: 0 everything was read; 1 something could not be read (a gzip\n"
            "member that does not decode, text whose start marker is missing, a start that\n"
            "is not there), said on stderr, the rest printed; 2 usage error.\n",
            LIVE_LOG_DIR);
}

int usage_error(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
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

int find_log(const char *name)
{
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

// A start given as N (a count), 0 or -K (relative to the last): its count.
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

int run(int argc, char **argv)
{
    setvbuf(stdout, outbuf, _IOFBF, sizeof outbuf);
    enum { OPT_PID = 1000, OPT_VERSION, OPT_SINCE, OPT_UNTIL };
    static const struct option longopts[] = {
        {"list-starts", no_argument, nullptr, 'l'},
        {"start", required_argument, nullptr, 'b'},
        {"follow", no_argument, nullptr, 'f'},
        {"dump", no_argument, nullptr, 'd'},
        {"output", required_argument, nullptr, 'o'},
        {"grep", required_argument, nullptr, 'e'},
        {"pid", required_argument, nullptr, OPT_PID},
        {"since", required_argument, nullptr, OPT_SINCE},
        {"until", required_argument, nullptr, OPT_UNTIL},
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, OPT_VERSION},
        {nullptr, 0, nullptr, 0},
    };
    options o;
    bool silent = false, dump = false;
    opterr = 0;
    for (int c; (c = getopt_long(argc, argv, ":lb:fdo:e:sh", longopts, nullptr)) != -1;) {
        switch (c) {
        case 'l': o.list = true; break;
        case 'b': o.start_text = optarg; break;
        case 'f': o.follow = true; break;
        case 'd': dump = true; break;
        case 'o':
            if (strcmp(optarg, "json") == 0)
                o.json = true;
            else if (strcmp(optarg, "raw") != 0)
                return usage_error("--output takes raw or json, not '%s'", optarg);
            break;
        case 'e': o.patterns.emplace_back(optarg); break;
        case 's': silent = true; break;
        case OPT_SINCE:
        case OPT_UNTIL: {
            char *end = nullptr;
            const double v = strtod(optarg, &end);
            if (end == optarg || *end != '\0' || !(v >= 0))
                return usage_error("%s takes seconds, not '%s'", c == OPT_SINCE ? "--since" : "--until",
                                   optarg);
            (c == OPT_SINCE ? o.since : o.until) = v;
            break;
        }
        case OPT_PID: {
            int64_t v = 0;
            if (!parse_int(optarg, &v)) return usage_error("--pid takes a process id, not '%s'", optarg);
            o.has_pid = true;
            o.pid = std::to_string(v);
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

    if (dump && o.follow) return usage_error("--dump and --follow exclude each other");
    // SOURCE [LOG] [FILTERSPEC...]; on the handset SOURCE may be left out.
    int i = optind;
    std::string source_path;
    struct stat st {};
    if (i < argc && find_log(argv[i]) >= 0 && stat(argv[i], &st) != 0) {
        source_path = LIVE_LOG_DIR;
    } else if (i < argc) {
        source_path = argv[i++];
    } else {
        return usage_error("no SOURCE: name a log directory or a ZIP archive");
    }
    // LOG may be left out: implied by a file of a log, or main before a filter spec.
    const int implied = log_of_file(source_path);
    int kind = implied >= 0 ? implied : LOG_MAIN;
    if (i < argc && find_log(argv[i]) >= 0) {
        kind = find_log(argv[i++]);
    } else if (i < argc && implied < 0 && strchr(argv[i], ':') == nullptr) {
        return usage_error("unknown log '%s' (kernel, main, trace, daemon or ps)", argv[i]);
    }
    if (o.list && i < argc) return usage_error("--list-starts takes no LOG or FILTERSPEC");
    for (; i < argc; i++) {
        if (kind != LOG_MAIN) {
            o.patterns.emplace_back(argv[i]);
        } else if (!parse_filterspec(argv[i], &o.specs)) {
            return usage_error("bad filter spec '%s' (TAG:P, P one of V D I W E F S)", argv[i]);
        }
    }
    if (silent) o.specs.push_back({"*", 9});
    if ((o.has_pid || !o.specs.empty()) && kind != LOG_MAIN)
        return usage_error("tag, priority and PID filters are for the main log");

    source src;
    if (!open_source(source_path, &src)) return EXIT_TROUBLE;
    if (o.follow && (src.is_zip() || o.list)) return usage_error("--follow reads a live log directory only");

    if (o.list) return list_starts(src, o);

    if (!o.start_text.empty() && o.start_text != "all") {
        const std::string_view t = o.start_text;
        const size_t dots = t.find("..");
        int64_t a = 0, b = 0;
        if (dots == std::string_view::npos
                ? !parse_int(t, &a) || (b = a, false)
                : !parse_int(t.substr(0, dots), &a) || !parse_int(t.substr(dots + 2), &b))
            return usage_error("--start takes N, 0, -N, A..B or all, not '%s'", o.start_text.c_str());
        std::vector<int64_t> known;
        if (a <= 0 || b <= 0) known = known_starts(src, kind);
        std::string why;
        if (!resolve_start(a, known, &o.starts.lo, &why) || !resolve_start(b, known, &o.starts.hi, &why)) {
            complain("no start %s in %s: %s", o.start_text.c_str(), src.path.c_str(), why.c_str());
            return EXIT_TROUBLE;
        }
        if (o.starts.lo > o.starts.hi) std::swap(o.starts.lo, o.starts.hi);
        o.starts.all = false;
    }

    // Which starts the log held, to say so when the chosen one is not there.
    struct seen_starts final : line_sink {
        line_sink *inner;
        const selection *sel;
        bool any = false;
        void line(int64_t s, const char *p, size_t n) override
        {
            any = any || sel->contains(s);
            inner->line(s, p, n);
        }
        void marker(int64_t c) override { inner->marker(c); }
        void end() override { inner->end(); }
        void pause() override { inner->pause(); }
    };
    printer pr(o, kind);
    seen_starts seen;
    seen.inner = &pr;
    seen.sel = &o.starts;
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

}  // namespace
}  // namespace vexlog

int main(int argc, char **argv) { return vexlog::run(argc, argv); }
