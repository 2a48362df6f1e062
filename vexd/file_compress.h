// gzip routines of the text log file pairs and the qmdl files.
#pragma once

#include <cstdint>

// Appends `in` as one level-9 gzip member to `out`; returns the size of `out`
// afterwards, or 0 on failure.
int32_t file_compress(const char *in, const char *out);
// Decompresses every member of `in` into `out` (created anew); returns the
// size of `out`, or 0 on failure.
int32_t file_uncompress(const char *in, const char *out);
