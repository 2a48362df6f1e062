// Filters of the lines.
#include "filters.h"

#include <regex.h>

#include <cstdlib>
#include <cstring>
#include <memory>

namespace vexlog {
namespace {

// The compiled patterns of the run.
std::vector<std::unique_ptr<regex_t, void (*)(regex_t *)>> compiled;

void free_regex(regex_t *r)
{
    regfree(r);
    delete r;
}

// A text as an extended regular expression that matches it as it is.
std::string literal(const std::string &t)
{
    std::string r;
    for (char c : t) {
        if (strchr(".[]{}()\\*+?^$|", c) != nullptr) r += '\\';
        r += c;
    }
    return r;
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

}  // namespace

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

double stamp_seconds(std::string_view t)
{
    if (t.empty()) return -1;
    char buf[32];
    if (t.size() >= sizeof buf) return -1;
    memcpy(buf, t.data(), t.size());
    buf[t.size()] = '\0';
    return strtod(buf, nullptr);
}

bool any_pattern() { return !compiled.empty(); }

bool holds_pattern(const char *p, size_t n)
{
    if (compiled.empty()) return true;
    static std::string buf;  // regexec reads a string ended by a NUL
    buf.assign(p, n);
    for (const auto &re : compiled)
        if (regexec(re.get(), buf.c_str(), 0, nullptr, 0) == 0) return true;
    return false;
}

bool compile_patterns(const options &o, const std::vector<std::string> &texts, std::string *why)
{
    std::vector<std::string> all = o.patterns;
    for (const std::string &t : texts) all.push_back(literal(t));
    for (const std::string &pat : all) {
        std::unique_ptr<regex_t, void (*)(regex_t *)> re(new regex_t, free_regex);
        const int rc = regcomp(re.get(), pat.c_str(), REG_EXTENDED | REG_NOSUB | (o.icase ? REG_ICASE : 0));
        if (rc != 0) {
            char msg[128];
            regerror(rc, re.get(), msg, sizeof msg);
            re.release();  // nothing to free after a failed regcomp
            *why = "'" + pat + "': " + msg;
            return false;
        }
        compiled.push_back(std::move(re));
    }
    return true;
}

int main_level(char c) { return pri_level(c); }

int kernel_level(const char *s)
{
    static const char *const names[] = {"emerg",   "alert",  "crit", "err",
                                        "warning", "notice", "info", "debug"};
    if (s[0] >= '0' && s[0] <= '7' && s[1] == '\0') return s[0] - '0';
    for (int i = 0; i < 8; i++)
        if (strcmp(s, names[i]) == 0) return i;
    return -1;
}

bool parse_kernel(const char *p, size_t n, kernel_entry *e)
{
    size_t i = 0;
    if (n > 2 && p[0] == '<' && p[1] >= '0' && p[1] <= '9') {
        int v = 0;
        for (i = 1; i < n && p[i] >= '0' && p[i] <= '9' && v < 1000; i++) v = v * 10 + (p[i] - '0');
        if (i >= n || p[i] != '>') return false;
        e->level = v & 7;  // the facility in the bits above
        i++;
    }
    e->time = line_time(p, n);
    if (!e->time.empty()) {
        const char *close = static_cast<const char *>(memchr(p + i, ']', n - i));
        i = static_cast<size_t>(close - p) + 1;
        if (i < n && p[i] == ' ') i++;
    }
    size_t end = n;
    if (end > i && p[end - 1] == '\n') end--;
    e->msg = {p + i, end - i};
    return e->level >= 0 || !e->time.empty();
}

bool in_window(const options &o, double t)
{
    return !(o.since >= 0 && t < o.since) && !(o.until >= 0 && t > o.until);
}

bool main_passes(const options &o, const main_entry &e)
{
    if (o.has_pid && e.pid != o.pid) return false;
    if (o.timed() && !in_window(o, stamp_seconds(e.time))) return false;
    if (!o.specs.empty()) {
        int level = 2;  // without "*:P" every tag not named passes
        bool named = false;
        for (const tag_filter &f : o.specs) {
            if (f.tag == e.tag) {
                level = f.level;
                named = true;
                break;
            }
        }
        if (!named)
            for (const tag_filter &f : o.specs)
                if (f.tag == "*") level = f.level;
        const int l = pri_level(e.pri) < 0 ? 2 : pri_level(e.pri);
        if (l < level) return false;
    }
    if (any_pattern() && !holds_pattern(e.msg.data(), e.msg.size()) &&
        !holds_pattern(e.tag.data(), e.tag.size()))
        return false;
    return true;
}

}  // namespace vexlog
