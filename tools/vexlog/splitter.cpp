// The start splitter.
#include "splitter.h"

#include <cstring>
#include <string_view>

namespace vexlog {
namespace {

constexpr std::string_view MARK1 = LOG_MARKER_HEAD;
constexpr std::string_view MARK2_HEAD = LOG_MARKER_COUNT;
constexpr std::string_view MARK2_TAIL = LOG_MARKER_COUNT_END;

// The count of a second marker line, or false.
bool parse_count_line(std::string_view l, int64_t *count)
{
    if (l.size() <= MARK2_HEAD.size() + MARK2_TAIL.size() || l.substr(0, MARK2_HEAD.size()) != MARK2_HEAD ||
        l.substr(l.size() - MARK2_TAIL.size()) != MARK2_TAIL)
        return false;
    std::string_view d = l.substr(MARK2_HEAD.size(), l.size() - MARK2_HEAD.size() - MARK2_TAIL.size());
    bool neg = !d.empty() && d[0] == '-';
    if (neg) d.remove_prefix(1);
    if (d.empty() || d.size() > 11) return false;
    int64_t v = 0;
    for (char c : d) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + (c - '0');
    }
    *count = neg ? -v : v;
    return true;
}

}  // namespace

void splitter::feed(const char *p, size_t n)
{
    while (n > 0) {
        const char *nl = static_cast<const char *>(memchr(p, '\n', n));
        if (nl == nullptr) {
            partial_.append(p, n);
            if (partial_.size() > MAX_PARTIAL) {
                // A very long run without a line feed goes out in pieces;
                // its end stays, in case a marker line ends there.
                const size_t keep = MARK1.size();
                out_->line(start_, partial_.data(), partial_.size() - keep);
                partial_.erase(0, partial_.size() - keep);
            }
            return;
        }
        const size_t len = static_cast<size_t>(nl - p) + 1;
        if (partial_.empty()) {
            whole_line(p, len);
        } else {
            partial_.append(p, len);
            whole_line(partial_.data(), partial_.size());
            partial_.clear();
        }
        p += len;
        n -= len;
    }
}

void splitter::flush()
{
    if (!held_.empty()) {
        out_->line(start_, held_.data(), held_.size());
        held_.clear();
    }
    if (!partial_.empty()) {
        out_->line(start_, partial_.data(), partial_.size());
        partial_.clear();
    }
    out_->end();
}

void splitter::whole_line(const char *p, size_t n)
{
    const std::string_view l(p, n);
    if (!held_.empty()) {
        int64_t count = 0;
        if (parse_count_line(l, &count)) {
            const size_t before = held_.size() - MARK1.size();
            if (before > 0) out_->line(start_, held_.data(), before);
            start_ = count;
            out_->marker(count);
            out_->line(start_, held_.data() + before, MARK1.size());
            out_->line(start_, p, n);
            held_.clear();
            return;
        }
        out_->line(start_, held_.data(), held_.size());
        held_.clear();
    }
    if (n >= MARK1.size() && p[n - 2] == '>' && l.substr(n - MARK1.size()) == MARK1) {
        held_.assign(p, n);
        return;
    }
    out_->line(start_, p, n);
}

}  // namespace vexlog
