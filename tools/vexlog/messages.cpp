// Reports on stderr.
#include "vexlog.h"

#include <cinttypes>
#include <cstdarg>
#include <cstdio>

namespace vexlog {

int trouble = 0;
bool quiet = false;

namespace {

void say(const char *fmt, va_list ap)
{
    if (quiet) return;
    fflush(stdout);  // the notice lands near the output it concerns
    fputs("vexlog: ", stderr);
    vfprintf(stderr, fmt, ap);
    fputc('\n', stderr);
}

}  // namespace

void complain(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    say(fmt, ap);
    va_end(ap);
    trouble = 1;
}

void note(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    say(fmt, ap);
    va_end(ap);
}

std::string fmt_count(int64_t c)
{
    char b[32];
    snprintf(b, sizeof b, "%04" PRId64, c);
    return b;
}

}  // namespace vexlog
