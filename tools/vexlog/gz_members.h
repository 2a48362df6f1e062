// The gzip member stream: the text of the members of a gzip file, and the
// way past a member that does not decode.
#pragma once

#include "source.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace vexlog {

using emit_fn = void (*)(void *, const char *, size_t);
using lost_fn = void (*)(void *);

// Feeds the text of every member of a gzip file, from `from` (where `r`
// stands) up to `limit` bytes, into `emit`. A member that does not decode
// is reported (`label` names the file) and its text left out, and `lost` is
// told; reading goes on at the next place where a whole member decodes. A
// member cut short at the end gives the text it holds. Every byte is read
// once. Returns the offset reached.
uint64_t read_members(file_reader *r, const std::string &label, uint64_t from, uint64_t limit, emit_fn emit,
                      void *ctx, lost_fn lost);

}  // namespace vexlog
