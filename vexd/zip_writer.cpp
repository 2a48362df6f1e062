// ZIP writer over minizip, offering the miniz writer calls the log archive uses.
#include "zip_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>
#include <zip.h>

#include "full_io.h"
#include "unique_fd.h"

#include <array>
#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <limits>
#include <new>
#include <string>

namespace {

constexpr uLong VERSION_MADE_BY_UNIX = (3u << 8) | 20u;  // made on Unix, ZIP version 2.0
constexpr uLong MSDOS_DIR_ATTR = 0x10;
constexpr size_t CHUNK = 16384;

zipFile handle(mz_zip_archive *zip)
{
    return (zip != nullptr && !zip->finalized) ? static_cast<zipFile>(zip->zip) : nullptr;
}

void set_time(zip_fileinfo *info, time_t t)
{
    struct tm tm {};
    localtime_r(&t, &tm);
    info->tmz_date.tm_sec = tm.tm_sec;
    info->tmz_date.tm_min = tm.tm_min;
    info->tmz_date.tm_hour = tm.tm_hour;
    info->tmz_date.tm_mday = tm.tm_mday;
    info->tmz_date.tm_mon = tm.tm_mon;
    info->tmz_date.tm_year = tm.tm_year + 1900;
}

int clamp_level(mz_uint level)
{
    int l = static_cast<int>(level & 0xF);
    return l > 9 ? 9 : l;
}

// Opens one entry; method 0 (stored) when `level` is 0 or there is no data.
bool open_entry(zipFile zf, const char *name, const zip_fileinfo *info, const char *comment, int level,
                bool stored, bool zip64)
{
    return zipOpenNewFileInZip4_64(zf, name, info, nullptr, 0, nullptr, 0, comment, stored ? 0 : Z_DEFLATED,
                                   level, 0, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY, nullptr, 0,
                                   VERSION_MADE_BY_UNIX, 0, zip64 ? 1 : 0) == ZIP_OK;
}

// ---- the archive file under minizip ----
//
// minizip reaches the file through these calls, with the writer record as
// its `opaque` and this record as its stream. The descriptor is the
// writer's: minizip's close only lets go of it.

struct zip_file {
    int fd;
    dev_t dev;  // identity of the file made, so that only it is ever removed
    ino_t ino;
    bool dropped;  // the archive is being given up: nothing more is written
    char path[PATH_MAX];
};

mz_zip_archive *record_of(voidpf opaque) { return static_cast<mz_zip_archive *>(opaque); }
zip_file *file_of(voidpf stream) { return static_cast<zip_file *>(stream); }

// Whether `size` more bytes leave the record's floor free on the file's file
// system. Looked at before every write, so that what the other writers of
// that file system take meanwhile counts too. f_bfree, as the daemon's own
// free-space watch counts.
bool room_for(mz_zip_archive *zip, const zip_file *f, uLong size)
{
    if (zip->min_free == 0) return true;
    struct statfs sfs {};
    if (fstatfs(f->fd, &sfs) != 0) {
        zip->error = errno;
        return false;
    }
    const uint64_t left = static_cast<uint64_t>(sfs.f_bfree) * static_cast<uint64_t>(sfs.f_bsize);
    if (left >= zip->min_free && left - zip->min_free >= size) return true;
    zip->error = ENOSPC;
    return false;
}

voidpf ZCALLBACK file_open(voidpf opaque, const void *, int) { return record_of(opaque)->file; }

uLong ZCALLBACK file_read(voidpf, voidpf, void *, uLong) { return 0; }  // the writer never reads

// All bytes or none counted: after the first failure every write fails, so
// nothing is added behind a gap.
uLong ZCALLBACK file_write(voidpf opaque, voidpf stream, const void *buf, uLong size)
{
    mz_zip_archive *zip = record_of(opaque);
    zip_file *f = file_of(stream);
    if (f->dropped || zip->error != 0 || !room_for(zip, f, size)) return 0;
    if (full_write(f->fd, buf, size) != static_cast<ssize_t>(size)) {
        zip->error = errno != 0 ? errno : EIO;
        return 0;
    }
    return size;
}

ZPOS64_T ZCALLBACK file_tell(voidpf, voidpf stream)
{
    const off_t pos = lseek(file_of(stream)->fd, 0, SEEK_CUR);
    return pos < 0 ? static_cast<ZPOS64_T>(-1) : static_cast<ZPOS64_T>(pos);
}

long ZCALLBACK file_seek(voidpf, voidpf stream, ZPOS64_T offset, int origin)
{
    const int whence = origin == ZLIB_FILEFUNC_SEEK_CUR   ? SEEK_CUR
                       : origin == ZLIB_FILEFUNC_SEEK_END ? SEEK_END
                                                          : SEEK_SET;
    if (offset > static_cast<ZPOS64_T>(std::numeric_limits<off_t>::max())) return -1;
    return lseek(file_of(stream)->fd, static_cast<off_t>(offset), whence) < 0 ? -1 : 0;
}

int ZCALLBACK file_close(voidpf, voidpf) { return 0; }

int ZCALLBACK file_error(voidpf opaque, voidpf) { return record_of(opaque)->error; }

// Removes the archive file, unless its path names another file by now.
bool remove_file(const zip_file *f)
{
    struct stat st {};
    if (lstat(f->path, &st) != 0) return errno == ENOENT;
    if (st.st_dev != f->dev || st.st_ino != f->ino) return true;
    return unlink(f->path) == 0;
}

// Closes the archive file and lets its record go. A file to `keep` stays
// when it closed cleanly; any other is removed. True when the file was kept
// (keep) or is gone (!keep).
bool release_file(mz_zip_archive *zip, bool keep)
{
    zip_file *f = file_of(zip->file);
    zip->file = nullptr;
    bool kept = keep;
    // A kept archive is on disk before the caller names it as written.
    if (keep && fsync(f->fd) != 0) {
        if (zip->error == 0) zip->error = errno;
        kept = false;
    }
    if (close(f->fd) != 0) {
        if (zip->error == 0) zip->error = errno;
        kept = false;
    }
    const bool removed = !kept && remove_file(f);
    delete f;
    return keep ? kept : removed;
}

}  // namespace

mz_bool mz_zip_writer_init_file(mz_zip_archive *zip, const char *path, mz_uint64 reserve)
{
    if (zip == nullptr || path == nullptr || zip->zip != nullptr || reserve != 0) return 0;
    zip->error = 0;
    auto *f = new (std::nothrow) zip_file{};
    if (f == nullptr) return 0;
    if (snprintf(f->path, sizeof f->path, "%s", path) >= static_cast<int>(sizeof f->path)) {
        delete f;
        return 0;
    }
    // Made new: an earlier file is the caller's to remove, and a link put in
    // its place meanwhile is refused rather than followed.
    unique_fd fd(open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
    struct stat st {};
    if (!fd.ok() || fstat(fd.get(), &st) != 0) {
        zip->error = errno;
        if (fd.ok()) unlink(path);
        delete f;
        return 0;
    }
    f->fd = fd.release();
    f->dev = st.st_dev;
    f->ino = st.st_ino;
    zip->file = f;
    zlib_filefunc64_def io = {file_open, file_read,  file_write, file_tell,
                              file_seek, file_close, file_error, zip};
    zipFile zf = zipOpen2_64(path, APPEND_STATUS_CREATE, nullptr, &io);
    if (zf == nullptr) {
        release_file(zip, false);
        return 0;
    }
    zip->zip = zf;
    zip->finalized = 0;
    return 1;
}

mz_bool mz_zip_writer_add_mem(mz_zip_archive *zip, const char *name, const void *buf, size_t size,
                              mz_uint level)
{
    zipFile zf = handle(zip);
    if (zf == nullptr || name == nullptr || *name == '\0' || (buf == nullptr && size != 0)) return 0;
    const size_t name_len = strlen(name);
    const bool is_dir = name[name_len - 1] == '/';
    if (is_dir && size != 0) return 0;

    zip_fileinfo info{};
    set_time(&info, time(nullptr));
    info.external_fa =
        is_dir ? ((uLong)(S_IFDIR | 0755) << 16) | MSDOS_DIR_ATTR : (uLong)(S_IFREG | 0644) << 16;
    const int lvl = clamp_level(level);
    if (!open_entry(zf, name, &info, nullptr, lvl, size == 0 || lvl == 0, false)) return 0;
    bool ok = true;
    const auto *p = static_cast<const uint8_t *>(buf);
    for (size_t done = 0; ok && done < size;) {
        const unsigned n = static_cast<unsigned>(size - done < CHUNK ? size - done : CHUNK);
        ok = zipWriteInFileInZip(zf, p + done, n) == ZIP_OK;
        done += n;
    }
    return (zipCloseFileInZip(zf) == ZIP_OK && ok) ? 1 : 0;
}

mz_bool mz_zip_writer_add_file(mz_zip_archive *zip, const char *name, const char *src, const void *comment,
                               mz_uint16 comment_size, mz_uint level)
{
    zipFile zf = handle(zip);
    if (zf == nullptr || name == nullptr || *name == '\0' || src == nullptr) return 0;
    if (comment == nullptr && comment_size != 0) return 0;

    unique_fd fd(open(src, O_RDONLY | O_CLOEXEC));
    if (!fd.ok()) return 0;
    struct stat st {};
    if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return 0;
    zip_fileinfo info{};
    set_time(&info, st.st_mtime);
    info.external_fa = (uLong)(st.st_mode & 0xFFFF) << 16;
    // minizip takes the comment as a C string.
    const std::string text(comment_size ? static_cast<const char *>(comment) : "", comment_size);
    const int lvl = clamp_level(level);
    if (!open_entry(zf, name, &info, comment_size ? text.c_str() : nullptr, lvl, lvl == 0,
                    static_cast<uint64_t>(st.st_size) >= 0xFFFFFFFFu))
        return 0;
    std::array<uint8_t, CHUNK> chunk;
    bool ok = true;
    for (;;) {
        const ssize_t n = retry_read(fd.get(), chunk.data(), chunk.size());
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        if (zipWriteInFileInZip(zf, chunk.data(), static_cast<unsigned>(n)) != ZIP_OK) {
            ok = false;
            break;
        }
    }
    fd.reset();
    return (zipCloseFileInZip(zf) == ZIP_OK && ok) ? 1 : 0;
}

mz_bool mz_zip_writer_finalize_archive(mz_zip_archive *zip)
{
    zipFile zf = handle(zip);
    if (zf == nullptr) return 0;
    const bool closed = zipClose(zf, nullptr) == ZIP_OK && zip->error == 0;
    zip->zip = nullptr;
    zip->finalized = 1;
    const bool released = release_file(zip, closed);  // kept, or removed when not written whole
    return released && closed ? 1 : 0;
}

mz_bool mz_zip_writer_end(mz_zip_archive *zip)
{
    if (zip == nullptr) return 0;
    if (zip->finalized || zip->zip == nullptr) {
        zip->finalized = 0;
        return 1;
    }
    // Not finalized (a failed run): what was written is no archive. minizip
    // lets go of its state without writing more, and the file goes.
    file_of(zip->file)->dropped = true;
    zipClose(static_cast<zipFile>(zip->zip), nullptr);
    zip->zip = nullptr;
    return release_file(zip, false) ? 1 : 0;
}
