// Output.
#include "json.h"

#include "vexlog.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>

namespace vexlog {
namespace {

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
            if (ok && have > 1 && len == 3)
                ok = !(c == 0xe0 && u[i + 1] < 0xa0) && !(c == 0xed && u[i + 1] >= 0xa0);
            if (ok && have > 1 && len == 4)
                ok = !(c == 0xf0 && u[i + 1] < 0x90) && !(c == 0xf4 && u[i + 1] >= 0x90);
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

}  // namespace

void put(const char *p, size_t n) { fwrite(p, 1, n, stdout); }
void put(std::string_view s) { put(s.data(), s.size()); }

void json_string::add(const char *p, size_t n)
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

void json_string::close()
{
    put_json_chars(head_, held_, true);
    held_ = 0;
    putc('"', stdout);
}

json_string json_out;

void put_json_string(std::string_view s)
{
    json_out.open();
    json_out.add(s);
    json_out.close();
}

void put_json_number(std::string_view t)
{
    while (t.size() > 1 && t[0] == '0' && t[1] != '.') t.remove_prefix(1);
    put(t);
}

void put_json_kernel(int level, std::string_view uptime, std::string_view msg)
{
    if (level >= 0) printf(",\"priority\":%d", level);
    if (!uptime.empty()) {
        fputs(",\"uptime\":", stdout);
        put_json_number(uptime);
    }
    fputs(",\"message\":", stdout);
    put_json_string(msg);
}

void put_json_start(int64_t start)
{
    if (start == UNKNOWN_START)
        fputs("null", stdout);
    else
        printf("%" PRId64, start);
}

}  // namespace vexlog
