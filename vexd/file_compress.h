// gzip routines of the text log file pairs and the qmdl files.
#pragma once

#include <cstdint>
#include <span>

// Appends `in` as one level-9 gzip member to `out`; returns the size of `out`
// afterwards, or 0 on failure.
//
// A rotation must survive a kill (or a power loss) at any moment: no cut-off
// member may stay in `out`, and no text may end up both in `out` and still in
// `in`. So before it appends, file_compress leaves a rotation record
// "<out>.part" on disk (the size of `out` before the append and the path of
// `in`), and the member is on disk before it returns. On success the record
// stays until the caller has emptied or removed `in` and called
// file_rotation_done(); on failure the member is cut off and the record gone.
int32_t file_compress(const char *in, const char *out);
// Ends a rotation of `in` onto `out` once `in` has been emptied or removed:
// makes that durable (through `in_fd` when the caller holds the emptied
// input open), then drops the record.
void file_rotation_done(const char *in, const char *out, int in_fd = -1);
// Opens `in` again for writing after file_compress(in, out) returned
// `out_size`: emptied, ending the rotation, when the member went in;
// kept and appended to when the compression failed (0). The descriptor,
// or negative; a failed open leaves the record for the next start.
int file_reopen_input(const char *in, const char *out, int32_t out_size);
// Records that `in` is about to be appended byte for byte to `out`, whose
// size is now `out_size` (a move that ends with `in` removed). 0, or -1 when
// the record could not be written (the caller must not start the copy).
int file_copy_begin(const char *in, const char *out, int64_t out_size);
// One kind of rotation or move that the daemon makes in a directory: its
// records are "<out>.part", and each names `in` as its input and `kind` ('z'
// a gzip member, 'c' a byte copy). `out` is a file name in the directory and
// may hold one '*' (any text without '/'); `in` is a path, relative to the
// directory unless it begins with '/', in which a '*' stands for the same
// text as in `out`.
struct file_pair_t {
    const char *out;
    const char *in;
    char kind;
};
// Told of each record of a pair that could not be taken at its word: the
// record's path and why. The record is gone; no other file was touched.
typedef void (*file_repair_note_fn)(const char *record, const char *why);
// Finishes or undoes, from the records in `dir` of the given pairs, every
// rotation and move that was cut short: a member that did not reach its end
// is cut off (its input is still whole); after a whole member, an input
// still holding exactly that text is emptied; a copy whose source is still
// there is taken back. Only the daemon's own files are touched, never
// through a link, and only when the record and the files agree: a cut
// removes only an incomplete member that begins at the recorded size, never
// a whole one. Records of other names are left alone. Run before any writer
// opens the files. Returns how many records were settled.
int file_rotation_repair(const char *dir, std::span<const file_pair_t> pairs, file_repair_note_fn note);
// fsync of the directory holding `path`, so that a file created, renamed or
// removed there stays so after a power loss.
void file_sync_parent_dir(const char *path);
// Decompresses every member of `in` into `out` (created anew); returns the
// size of `out`, or 0 on failure.
int32_t file_uncompress(const char *in, const char *out);
