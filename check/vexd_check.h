// Argument checks of the support library (lists, ranked list, timer callbacks).
//
// A failed check calls assert(expression, file, line), defined by the daemon
// log: it logs "(LINE):EXPRESSION" and ends the process with exit status 255.
// This three-argument assert replaces the C library's macro of that name for
// whoever includes this header. Its name is written in parentheses in the
// declaration and in VEXD_CHECK, so a <cassert> included later, which defines
// a one-argument assert macro again, cannot change what a check does.
#pragma once

#ifdef assert
#undef assert
#endif

[[noreturn]] void(assert)(const char *expression, const char *file, int line);

// Checks a condition; a failure never returns.
#define VEXD_CHECK(expr)                                                                                     \
    do {                                                                                                     \
        if (!(expr)) (assert)(#expr, __FILE__, __LINE__);                                                    \
    } while (0)
