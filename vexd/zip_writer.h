// The five ZIP writer operations the log archive needs, in the shape of
// miniz's writer (same names; result as the callers expect: 1 for success,
// 0 for failure), written over minizip.
//
// An archive is either written whole or not left at all: a writer that is
// ended before its archive was finalized, and a finalize that fails, close
// and remove the file, so that no half archive (with no central directory
// to read it by) takes the room the logs need.
#pragma once

#include <cstddef>
#include <cstdint>

typedef int mz_bool;
typedef unsigned int mz_uint;
typedef uint16_t mz_uint16;
typedef uint64_t mz_uint64;

// Writer record; zero it before mz_zip_writer_init_file.
struct mz_zip_archive {
    void *zip;      // minizip handle while the archive is open
    int finalized;  // central directory written, file closed
    // A write to the archive that would leave fewer bytes than this free on
    // its file system fails with ENOSPC instead (0: no floor). May be set
    // while the archive is open.
    mz_uint64 min_free;
    int error;   // errno of the first failed write to the archive file; 0 if none
    void *file;  // the archive file while it is open (the writer's own)
};

// Creates the archive file. Nothing may be at `path` yet: the file is made
// new (O_EXCL), so a link there is never followed. Only 0 bytes reserved is
// supported.
mz_bool mz_zip_writer_init_file(mz_zip_archive *zip, const char *path, mz_uint64 reserve);
// Adds an entry from memory. A name ending in "/" with no data is a
// directory entry: stored, no data, no comment.
mz_bool mz_zip_writer_add_mem(mz_zip_archive *zip, const char *name, const void *buf, size_t size,
                              mz_uint level);
// Adds the contents of `src`, deflated at `level` and streamed from the file,
// with the file comment `comment` of `comment_size` bytes.
mz_bool mz_zip_writer_add_file(mz_zip_archive *zip, const char *name, const char *src, const void *comment,
                               mz_uint16 comment_size, mz_uint level);
// Writes the central directory and closes the file; when that fails, the
// file is removed.
mz_bool mz_zip_writer_finalize_archive(mz_zip_archive *zip);
// Releases the writer. An archive not finalized is dropped: the file is
// closed and removed (0 when it could not be removed).
mz_bool mz_zip_writer_end(mz_zip_archive *zip);
