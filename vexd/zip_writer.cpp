// ZIP writer over minizip, offering the miniz writer calls the log archive uses.
#include "zip_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include "full_io.h"
#include "unique_fd.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <ctime>
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

}  // namespace

mz_bool mz_zip_writer_init_file(mz_zip_archive *zip, const char *path, mz_uint64 reserve)
{
    if (zip == nullptr || path == nullptr || zip->zip != nullptr || reserve != 0) return 0;
    zipFile zf = zipOpen64(path, APPEND_STATUS_CREATE);
    if (zf == nullptr) return 0;
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
    const int rc = zipClose(zf, nullptr);
    zip->zip = nullptr;
    zip->finalized = 1;
    return rc == ZIP_OK ? 1 : 0;
}

mz_bool mz_zip_writer_end(mz_zip_archive *zip)
{
    if (zip == nullptr) return 0;
    if (zip->finalized || zip->zip == nullptr) {
        zip->finalized = 0;
        return 1;
    }
    // Not finalized (a failed run): close what was written so far.
    const int rc = zipClose(static_cast<zipFile>(zip->zip), nullptr);
    zip->zip = nullptr;
    return rc == ZIP_OK ? 1 : 0;
}
