// gzip routines: a text or qmdl file appended as one level-9 member, and back.
#include "file_compress.h"
#include "full_io.h"
#include "unique_fd.h"
#include "vexd.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <utility>

namespace {

struct gz_closer {
    void operator()(gzFile gz) const { gzclose(gz); }
};
using unique_gz = std::unique_ptr<gzFile_s, gz_closer>;

constexpr const char *RECORD_SUFFIX = ".part";
constexpr size_t PATH_LEN = 256;
constexpr size_t RECORD_PATH_LEN = PATH_LEN + 8;

bool record_path(char *buf, const char *out)
{
    return snprintf(buf, RECORD_PATH_LEN, "%s%s", out, RECORD_SUFFIX) < static_cast<int>(RECORD_PATH_LEN);
}

// Writes the rotation record of `out`: the kind ('z' a gzip member, 'c' a
// byte copy), the size of `out` before the append and the input's path.
// The record is on disk before the append begins.
int record_write(const char *out, char kind, int64_t out_size, const char *in)
{
    char path[RECORD_PATH_LEN];
    if (!record_path(path, out)) return -1;
    char text[PATH_LEN + 40];
    int len = snprintf(text, sizeof text, "%c %" PRId64 " %s\n", kind, out_size, in);
    if (len < 0 || static_cast<size_t>(len) >= sizeof text) return -1;
    unique_fd fd(open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0777));
    if (!fd.ok()) return -1;
    bool ok = full_write(fd.get(), text, static_cast<size_t>(len)) == len && fsync(fd.get()) == 0;
    ok = close(fd.release()) == 0 && ok;
    if (!ok) {
        unlink(path);
        return -1;
    }
    file_sync_parent_dir(path);
    return 0;
}

void record_remove(const char *out)
{
    char path[RECORD_PATH_LEN];
    if (record_path(path, out)) unlink(path);
}

// Takes `out` back to `size` bytes; a file that did not exist before goes.
void cut_back(const char *out, int64_t size)
{
    int rc = size > 0 ? truncate(out, static_cast<off_t>(size)) : unlink(out);
    (void)rc;
}

constexpr size_t BLOCK_LEN = 16384;
// gzwrite takes an unsigned int length; larger mappings go in pieces.
constexpr size_t GZ_CHUNK = 1u << 30;

// 0 when the whole input went into gz; -1 when the input cannot be mapped
// (the caller copies by blocks instead); -3 on a write failure. Closes
// nothing: both handles stay the caller's.
int gz_compress_mmap(FILE *in, gzFile gz)
{
    struct stat st {};
    if (fstat(fileno(in), &st) != 0 || st.st_size <= 0) return -1;
    if (static_cast<uint64_t>(st.st_size) > SIZE_MAX) return -1;  // too large to map where size_t is 32 bits
    size_t len = static_cast<size_t>(st.st_size);
    void *map = mmap(nullptr, len, PROT_READ, MAP_SHARED, fileno(in), 0);
    if (map == MAP_FAILED) return -1;

    const char *p = static_cast<const char *>(map);
    for (size_t done = 0; done < len;) {
        size_t chunk = len - done < GZ_CHUNK ? len - done : GZ_CHUNK;
        int n = gzwrite(gz, p + done, static_cast<unsigned>(chunk));
        if (n <= 0 || static_cast<size_t>(n) < chunk) {
            munmap(map, len);
            return -3;
        }
        done += chunk;
    }
    munmap(map, len);
    return 0;
}

// 1 on success, 0 on failure. Takes both handles and closes them in every
// case; success includes the final gzclose, which writes the trailer.
int gz_compress(unique_file in, unique_gz gz)
{
    const int rc = gz_compress_mmap(in.get(), gz.get());
    if (rc == -3) return 0;
    if (rc == -1) {
        char buf[BLOCK_LEN];
        for (;;) {
            size_t len = fread(buf, 1, sizeof(buf), in.get());
            if (ferror(in.get())) return 0;
            if (len == 0) break;
            int n = gzwrite(gz.get(), buf, static_cast<unsigned>(len));
            if (n <= 0 || static_cast<size_t>(n) < len) return 0;
        }
    }
    in.reset();
    return gzclose(gz.release()) == Z_OK ? 1 : 0;
}

// 1 on success, 0 on failure. Takes both handles and closes them in every
// case; a failed close of either is a failure.
int gz_uncompress(unique_gz gz, unique_file out)
{
    char buf[BLOCK_LEN];
    bool ok = true;
    for (;;) {
        int len = gzread(gz.get(), buf, sizeof(buf));
        if (len == 0) break;
        if (len < 0 || fwrite(buf, 1, static_cast<size_t>(len), out.get()) != static_cast<size_t>(len)) {
            ok = false;
            break;
        }
    }
    ok = fclose(out.release()) == 0 && ok;
    ok = gzclose(gz.release()) == Z_OK && ok;
    return ok ? 1 : 0;
}

// CRC-32 and length of what one whole gzip member starting at `offset` of
// `path` holds, when that member ends exactly at the end of the file. zlib
// checks the member's own CRC and length on the way.
bool whole_member(const char *path, int64_t offset, uint32_t *crc, uint64_t *len)
{
    const unique_fd file(open(path, O_RDONLY | O_CLOEXEC));
    const int fd = file.get();
    if (fd < 0) return false;
    if (lseek(fd, static_cast<off_t>(offset), SEEK_SET) != static_cast<off_t>(offset)) return false;
    z_stream zs{};
    if (inflateInit2(&zs, 15 + 16) != Z_OK) return false;
    unsigned char in[BLOCK_LEN];
    unsigned char out[BLOCK_LEN];
    uLong sum = crc32(0L, Z_NULL, 0);
    uint64_t total = 0;
    int rc = Z_OK;
    bool tail = false;  // bytes after the member's end
    while (rc != Z_STREAM_END) {
        ssize_t n = read(fd, in, sizeof in);
        if (n <= 0) break;
        zs.next_in = in;
        zs.avail_in = static_cast<uInt>(n);
        do {
            zs.next_out = out;
            zs.avail_out = sizeof out;
            rc = inflate(&zs, Z_NO_FLUSH);
            if (rc != Z_OK && rc != Z_STREAM_END && rc != Z_BUF_ERROR) break;
            size_t got = sizeof out - zs.avail_out;
            sum = crc32(sum, out, static_cast<uInt>(got));
            total += got;
        } while (rc == Z_OK && (zs.avail_in > 0 || zs.avail_out == 0));
        if (rc != Z_OK && rc != Z_STREAM_END && rc != Z_BUF_ERROR) break;
        if (rc == Z_STREAM_END && zs.avail_in > 0) tail = true;
    }
    if (rc == Z_STREAM_END && !tail) {
        unsigned char extra;
        tail = read(fd, &extra, 1) != 0;
    }
    inflateEnd(&zs);
    if (rc != Z_STREAM_END || tail) return false;
    *crc = static_cast<uint32_t>(sum);
    *len = total;
    return true;
}

// CRC-32 and length of the whole file at `path`; false when it cannot be read.
bool file_crc(const char *path, uint32_t *crc, uint64_t *len)
{
    const unique_fd file(open(path, O_RDONLY | O_CLOEXEC));
    const int fd = file.get();
    if (fd < 0) return false;
    unsigned char buf[BLOCK_LEN];
    uLong sum = crc32(0L, Z_NULL, 0);
    uint64_t total = 0;
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) {
        sum = crc32(sum, buf, static_cast<uInt>(n));
        total += static_cast<uint64_t>(n);
    }
    if (n < 0) return false;
    *crc = static_cast<uint32_t>(sum);
    *len = total;
    return true;
}

// Settles one rotation record; `record` is "<out>.part".
void repair_one(const char *record)
{
    char out[RECORD_PATH_LEN];
    snprintf(out, sizeof out, "%s", record);
    out[strlen(out) - strlen(RECORD_SUFFIX)] = '\0';

    char text[PATH_LEN + 40] = {};
    ssize_t n = -1;
    if (const unique_fd fd(open(record, O_RDONLY | O_CLOEXEC)); fd.ok())
        n = full_read(fd.get(), text, sizeof text - 1);
    char kind = 0;
    int64_t start = -1;
    int used = 0;
    // A record that is not whole was cut while being written, before its
    // append began: there is nothing to settle.
    if (n > 0 && text[n - 1] == '\n' && sscanf(text, "%c %" SCNd64 " %n", &kind, &start, &used) == 2 &&
        start >= 0 && used > 0) {
        text[n - 1] = '\0';
        const char *in = text + used;
        struct stat st {};
        const bool there = stat(out, &st) == 0;
        int64_t size = there ? static_cast<int64_t>(st.st_size) : 0;
        if (there && start == 0 && size == 0) {
            // Created for the append and killed before its first byte (zlib
            // holds a small member back until the close): an empty .gz does
            // not decode, so it goes, as a cut member would.
            cut_back(out, 0);
        } else if (size > start) {
            if (kind == 'c') {
                // The move removes its input last: while the input is there,
                // its copy is taken back and the next move makes it again.
                if (access(in, F_OK) == 0) cut_back(out, start);
            } else {
                uint32_t member_crc = 0, in_crc = 0;
                uint64_t member_len = 0, in_len = 0;
                if (!whole_member(out, start, &member_crc, &member_len)) {
                    cut_back(out, start);  // cut off; its text is still in the input
                } else if (file_crc(in, &in_crc, &in_len) && in_len == member_len && in_crc == member_crc) {
                    // The member is whole and the input still holds its text.
                    const unique_fd tfd(open(in, O_WRONLY | O_TRUNC | O_CLOEXEC));
                    if (tfd.ok()) fsync(tfd.get());
                }
            }
        }
    }
    unlink(record);
}

}  // namespace

void file_sync_parent_dir(const char *path)
{
    char dir[RECORD_PATH_LEN];
    snprintf(dir, sizeof dir, "%s", path);
    char *slash = strrchr(dir, '/');
    if (slash == nullptr) return;
    if (slash == dir)
        slash[1] = '\0';
    else
        *slash = '\0';
    const unique_fd fd(open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.ok()) fsync(fd.get());
}

int32_t file_compress(const char *in, const char *out)
{
    // The input is opened first: closing an unused gzip handle would still
    // append an empty member.
    unique_file fin(fopen(in, "rb"));
    if (!fin) return 0;
    struct stat before {};
    const int64_t start = stat(out, &before) == 0 ? static_cast<int64_t>(before.st_size) : 0;
    if (record_write(out, 'z', start, in) != 0) return 0;
    unique_fd fd(open(out, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0777));
    unique_fd keep(fd.ok() ? dup(fd.get()) : -1);  // stays open past gzclose for the fsync
    unique_gz gz(keep.ok() ? gzdopen(fd.get(), "ab9") : nullptr);
    if (!gz) {
        fd.reset();
        keep.reset();
        fin.reset();
        cut_back(out, start);
        record_remove(out);
        return 0;
    }
    fd.release();  // gz owns it now
    // gz_compress closes fin and gz. The member must be on disk before the
    // caller empties its text.
    bool ok = gz_compress(std::move(fin), std::move(gz)) != 0;
    ok = ok && fsync(keep.get()) == 0;
    struct stat after {};
    ok = ok && fstat(keep.get(), &after) == 0;
    keep.reset();
    if (!ok) {
        // Cut a partly written member off again, so the gzip file stays a
        // clean series of members and the text can be compressed later.
        cut_back(out, start);
        record_remove(out);
        return 0;
    }
    return static_cast<int32_t>(after.st_size);
}

int file_reopen_input(const char *in, const char *out, int32_t out_size)
{
    // A size of 0 means the compression failed (a successful append always
    // leaves a header behind): the text is kept for the next try.
    int fd = open(in, O_RDWR | O_CREAT | (out_size != 0 ? O_TRUNC : O_APPEND), 0777);
    if (fd >= 0 && out_size != 0) file_rotation_done(in, out, fd);
    return fd;
}

void file_rotation_done(const char *in, const char *out, int in_fd)
{
    if (in_fd >= 0) {
        fsync(in_fd);
    } else {
        const unique_fd fd(open(in, O_WRONLY | O_CLOEXEC));
        if (fd.ok())
            fsync(fd.get());
        else if (errno == ENOENT)
            file_sync_parent_dir(in);  // removed: the removal is what must last
    }
    record_remove(out);
}

int file_copy_begin(const char *in, const char *out, int64_t out_size)
{
    return record_write(out, 'c', out_size, in);
}

int file_rotation_repair(const char *dir)
{
    const unique_dir d(opendir(dir));
    if (!d) return 0;
    int found = 0;
    const size_t suffix = strlen(RECORD_SUFFIX);
    while (const struct dirent *entry = readdir(d.get())) {
        size_t len = strlen(entry->d_name);
        if (len <= suffix || strcmp(entry->d_name + len - suffix, RECORD_SUFFIX) != 0) continue;
        char record[RECORD_PATH_LEN];
        if (snprintf(record, sizeof record, "%s/%s", dir, entry->d_name) >= static_cast<int>(sizeof record))
            continue;
        repair_one(record);
        ++found;
    }
    return found;
}

int32_t file_uncompress(const char *in, const char *out)
{
    unique_gz gz(gzopen(in, "rb"));
    if (!gz) return 0;
    unique_file fout(fopen(out, "wb"));
    if (!fout) return 0;
    if (!gz_uncompress(std::move(gz), std::move(fout))) return 0;
    return vexd_get_file_size(out);
}
