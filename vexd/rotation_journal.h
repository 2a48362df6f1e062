// Rotation journal: a record "<out>.part" on disk for every append of one
// file onto another that the daemon makes (a gzip member of a rotation, a
// byte copy of a move), so that a kill or a power loss at any moment leaves
// nothing twice and nothing cut off; and the start-up repair that settles
// the records a stop left behind.
//
// An append goes: record (file_member_begin or file_copy_begin), append,
// append synced, input emptied or removed, file_rotation_done. A failed
// append is taken back with file_append_undo.
#pragma once

#include <cstdint>
#include <span>

// Records that `in` is about to be appended as one gzip member to `out`,
// whose size is now `out_size`. 0, or -1 when the record could not be
// written (the caller must not start the append).
int file_member_begin(const char *in, const char *out, int64_t out_size);
// Records that `in` is about to be appended byte for byte to `out`, whose
// size is now `out_size` (a move that ends with `in` removed). 0, or -1 when
// the record could not be written (the caller must not start the copy).
int file_copy_begin(const char *in, const char *out, int64_t out_size);
// Takes back an append to `out` that failed: `out` cut back to `out_size`
// (removed when that is 0; never cut through a link), and the record gone.
void file_append_undo(const char *out, int64_t out_size);
// Ends a rotation of `in` onto `out` once `in` has been emptied or removed.
// With `written_on` (the caller goes on writing to the emptied input, and
// syncing it regularly), the record is only emptied, unsynced, and kept for the
// next rotation: a power cut before the emptying reaches the disk finds the
// record, and the repair empties the input again. Without it, the emptying
// or the removal is synced and the record removed; an input that is a link
// is not synced through it (a daemon log line says so).
void file_rotation_done(const char *in, const char *out, bool written_on = false);
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
// removes only an incomplete member that begins at the recorded size (its
// bytes run out, or run into zeros to the end of the file), never a whole
// one, nor a damaged one or what follows it; an output that this leaves
// empty is removed. Records of other names are left alone. Run before any
// writer opens the files. Returns how many records were settled by a change
// to a file (an empty record, or one of a rotation that had ended, changes
// none).
int file_rotation_repair(const char *dir, std::span<const file_pair_t> pairs, file_repair_note_fn note);
// fsync of the directory holding `path`, so that a file created, renamed or
// removed there stays so after a power loss.
void file_sync_parent_dir(const char *path);
