// Reports on stderr.
#include "vexlog.h"

#include <cinttypes>
#include <cstdarg>
#include <cstdio>

namespace vexlog {

int trouble = 0;

void complain(const char *fmt, ...)
{
    fflush(stdout);  // the notice lands near the output it concerns
    va_list ap;
    va_start(ap, fmt);
    fputs("vexlog: ", stderr);
    vfprintf(stderr, fmt, ap);
    fputc('\n', stderr);
    va_end(ap);
    trouble = 1;
}

std::string fmt_count(int64_t c)
{
    char b[32];
    snprintf(b, sizeof b, "%04" PRId64, c);
    return b;
}

}  // namespace vexlog
