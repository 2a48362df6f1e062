// The clock lines and the ends of the starts.
#include "clock.h"

#include "log_pair.h"
#include "splitter.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace vexlog {
namespace {

constexpr std::string_view CLOCK_HEAD = "clock: time base ";
constexpr int64_t DAY_US = 86400LL * 1000000;

// Days from 1970-01-01 to a date of the proleptic Gregorian calendar.
int64_t days_from_civil(int64_t y, int64_t m, int64_t d)
{
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

// Digits at `*s`, exactly `n` of them (n 0: one or more); false otherwise.
bool digits(std::string_view *s, size_t n, int64_t *v)
{
    size_t i = 0;
    *v = 0;
    while (i < s->size() && (n == 0 || i < n) && (*s)[i] >= '0' && (*s)[i] <= '9')
        *v = *v * 10 + ((*s)[i++] - '0');
    if (i == 0 || (n != 0 && i != n)) return false;
    s->remove_prefix(i);
    return true;
}

bool skip(std::string_view *s, char c)
{
    if (s->empty() || (*s)[0] != c) return false;
    s->remove_prefix(1);
    return true;
}

// "HH:MM[:SS[.frac]]" in microseconds of the day; the rest left in `s`.
bool parse_time_of_day(std::string_view *s, int64_t *us)
{
    int64_t h = 0, m = 0, sec = 0, frac = 0;
    if (!digits(s, 2, &h) || !skip(s, ':') || !digits(s, 2, &m) || h > 23 || m > 59) return false;
    if (skip(s, ':')) {
        if (!digits(s, 2, &sec) || sec > 60) return false;
        if (skip(s, '.')) {
            size_t n = 0;
            for (; n < s->size() && (*s)[n] >= '0' && (*s)[n] <= '9'; n++)
                if (n < 6) frac = frac * 10 + ((*s)[n] - '0');
            if (n == 0) return false;
            for (size_t k = n; k < 6; k++) frac *= 10;
            s->remove_prefix(n);
        }
    }
    *us = ((h * 60 + m) * 60 + sec) * 1000000 + frac;
    return true;
}

void parse_clock(std::string_view l, start_clock *c)
{
    const size_t at = l.find(CLOCK_HEAD);
    if (at == std::string_view::npos) return;
    l.remove_prefix(at + CLOCK_HEAD.size());
    const size_t eq1 = l.find(" = ");
    const size_t eq2 = eq1 == std::string_view::npos ? eq1 : l.find(" = uptime ", eq1 + 3);
    if (eq2 == std::string_view::npos) return;
    std::string_view up = l.substr(eq2 + 10);
    while (!up.empty() && (up.back() == '\n' || up.back() == '\r')) up.remove_suffix(1);
    start_clock got;
    got.base_us = stamp_us(l.substr(0, eq1));
    got.uptime_us = stamp_us(up);
    if (got.base_us == NO_TIME || got.uptime_us == NO_TIME ||
        !parse_wall(l.substr(eq1 + 3, eq2 - eq1 - 3), 0, &got.wall_us))
        return;
    got.known = true;
    *c = got;
}

// An end line of the daemon's ("daemon stopped on signal 15", "daemon quits:
// ..."): the start's end. Not only its last line: threads may still log in
// the moment between the end line and the process's end.
void parse_end(std::string_view l, start_facts *f)
{
    const size_t at = l.find("vexd: daemon ");
    if (at == std::string_view::npos) return;
    char text[160];
    const size_t n = std::min(l.size() - at - 6, sizeof text - 1);
    memcpy(text, l.data() + at + 6, n);
    text[n] = '\0';
    long long a = 0, b = 0;
    int sig = 0;
    if (sscanf(text, LOG_STOPPED_FORMAT, &sig) == 1) {
        f->end = start_end::signal;
        f->value = sig;
    } else if (strncmp(text, LOG_QUIT_FULL, strlen(LOG_QUIT_FULL) - 1) == 0) {
        f->end = start_end::disk_full;
    } else if (sscanf(text, LOG_QUIT_SPACE_FORMAT, &a, &b) == 2) {
        f->end = start_end::low_space;
        f->value = a;
    }
}

class fact_reader final : public line_sink {
public:
    explicit fact_reader(facts_map *facts) : facts_(facts) {}
    void line(int64_t start, const char *p, size_t n) override
    {
        if (start == UNKNOWN_START || n == 0 || in_marker_-- > 0) return;
        start_facts &f = (*facts_)[start];
        const std::string_view l(p, n);
        if (!f.clock.known) parse_clock(l, &f.clock);
        if (l.find("Quit diaglog thread.") != std::string_view::npos) f.diag_quit = true;
        parse_end(l, &f);
    }
    void marker(int64_t count) override
    {
        (*facts_)[count];
        in_marker_ = 2;
    }

private:
    facts_map *facts_;
    int in_marker_ = 0;
};

}  // namespace

facts_map read_facts(const source &src)
{
    facts_map facts;
    const int saved = trouble;
    fact_reader fr(&facts);
    splitter sp(&fr);
    read_state st;
    read_log(src, logs[LOG_DAEMON], &sp, &st);
    sp.flush();
    trouble = saved;  // reported when that log itself is read
    return facts;
}

int64_t stamp_us(std::string_view t)
{
    while (!t.empty() && t[0] == ' ') t.remove_prefix(1);
    int64_t sec = 0, frac = 0;
    if (!digits(&t, 0, &sec) || sec > INT64_MAX / 2000000) return NO_TIME;
    if (skip(&t, '.')) {
        size_t n = 0;
        for (; n < t.size() && t[n] >= '0' && t[n] <= '9'; n++)
            if (n < 6) frac = frac * 10 + (t[n] - '0');
        for (size_t k = n; k < 6; k++) frac *= 10;
        t.remove_prefix(n);
    }
    return t.empty() ? sec * 1000000 + frac : NO_TIME;
}

int64_t wall_of(const start_clock &c, const log_kind &k, int64_t stamp)
{
    if (!c.known || stamp == NO_TIME || !k.stamped) return NO_TIME;
    return c.wall_us + stamp - (k.time_base ? c.base_us : c.uptime_us);
}

std::string fmt_wall(int64_t us, bool iso)
{
    const int64_t days = (us >= 0 ? us : us - DAY_US + 1) / DAY_US;
    int64_t in_day = us - days * DAY_US;
    // The date of `days` since 1970 (civil from days).
    const int64_t z = days + 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    const int64_t d = doy - (153 * mp + 2) / 5 + 1;
    const int64_t m = mp < 10 ? mp + 3 : mp - 9;
    const int64_t y = yoe + era * 400 + (m <= 2);
    char b[64];
    const int64_t secs = in_day / 1000000;
    snprintf(b, sizeof b,
             "%04" PRId64 "-%02" PRId64 "-%02" PRId64 "%c%02" PRId64 ":%02" PRId64 ":%02" PRId64 ".%06" PRId64
             "%s",
             y, m, d, iso ? 'T' : ' ', secs / 3600, secs / 60 % 60, secs % 60, in_day % 1000000,
             iso ? "Z" : "");
    return b;
}

bool parse_wall(std::string_view s, int64_t now_us, int64_t *us)
{
    int64_t y = 0, mo = 0, d = 0, tod = 0;
    std::string_view t = s;
    int64_t day;
    if (t.size() > 10 && (t[10] == ' ' || t[10] == 'T')) {
        if (!digits(&t, 4, &y) || !skip(&t, '-') || !digits(&t, 2, &mo) || !skip(&t, '-') ||
            !digits(&t, 2, &d) || mo < 1 || mo > 12 || d < 1 || d > 31)
            return false;
        t.remove_prefix(1);
        day = days_from_civil(y, mo, d);
    } else {
        day = (now_us >= 0 ? now_us : now_us - DAY_US + 1) / DAY_US;
    }
    if (!parse_time_of_day(&t, &tod)) return false;
    skip(&t, 'Z');
    if (!t.empty()) return false;
    *us = day * DAY_US + tod;
    return true;
}

std::string describe_end(const start_facts &f, bool last)
{
    std::string s;
    switch (f.end) {
    case start_end::signal: s = "stopped on signal " + std::to_string(f.value); break;
    case start_end::low_space: s = "quit on low space (" + std::to_string(f.value) + " bytes free)"; break;
    case start_end::disk_full: s = "quit on a full disk"; break;
    case start_end::none:
        s = last ? "no end line yet (running)" : "no end line (killed, crashed or power lost)";
        break;
    }
    if (f.diag_quit) s += "; a diag recording was stopped";
    return s;
}

}  // namespace vexlog
