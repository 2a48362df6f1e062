// gzip routines of the text log file pairs and the qmdl files.
#pragma once

#include <cstdint>

// Appends `in` as one level-9 gzip member to `out`. Result as the callers
// expect: the size of `out` afterwards, or 0 on failure.
//
// A rotation must survive a kill (or a power loss) at any moment: no cut-off
// member may stay in `out`, and no text may end up both in `out` and still in
// `in`. So before it appends, file_compress leaves a rotation record
// "<out>.part" on disk (file_member_begin in rotation_journal.h), the input
// is on disk as it is compressed (so that after a power loss it still matches
// the member exactly), and the member is on disk before it returns. On success the record stays until the
// caller has emptied or removed `in` and called file_rotation_done(); on
// failure the member is cut off and the record gone. vexd_rotate_pair (vexd.h)
// is the rotation that does all of it.
int32_t file_compress(const char *in, const char *out);
// Decompresses every member of `in` into `out` (created anew); returns the
// size of `out`, or 0 on failure.
int32_t file_uncompress(const char *in, const char *out);
