// The five ZIP writer operations the log archive needs, in the shape of
// miniz's writer (same names, 1 for success), written over minizip.
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
};

// Creates (truncates) the archive file. Only 0 bytes reserved is supported.
mz_bool mz_zip_writer_init_file(mz_zip_archive *zip, const char *path, mz_uint64 reserve);
// Adds an entry from memory. A name ending in "/" with no data is a
// directory entry: stored, no data, no comment.
mz_bool mz_zip_writer_add_mem(mz_zip_archive *zip, const char *name, const void *buf, size_t size,
                              mz_uint level);
// Adds the contents of `src`, deflated at `level` and streamed from the file,
// with the file comment `comment` of `comment_size` bytes.
mz_bool mz_zip_writer_add_file(mz_zip_archive *zip, const char *name, const char *src, const void *comment,
                               mz_uint16 comment_size, mz_uint level);
// Writes the central directory and closes the file.
mz_bool mz_zip_writer_finalize_archive(mz_zip_archive *zip);
// Releases the writer; closes the file if it is still open.
mz_bool mz_zip_writer_end(mz_zip_archive *zip);
