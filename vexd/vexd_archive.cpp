// Log directory archive: packs the whole log directory into one ZIP file.
#include "rotation_journal.h"
#include "unique_fd.h"
#include "vexd.h"
#include "zip_writer.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {

const char *const default_archive_name = "logs.zip";
constexpr size_t ARCHIVE_PATH_LEN = 256;

// The module's state.
struct vexd_archive_state {
    // One archive at a time: the two control sockets may ask at once.
    std::mutex mutex;
    // The archive being written, never added to itself.
    dev_t dev = 0;  // mutex
    ino_t ino = 0;  // mutex
} vexd_archive;

// Leaves out every ZIP file, not only logs.zip: an archive that a client put
// inside the log directory would otherwise be packed into every later one.
int logdir_all_filter(const struct dirent *entry)
{
    static const char *const skip[] = {".", "..", "lost+found"};
    for (const char *name : skip) {
        if (strcmp(entry->d_name, name) == 0) return 0;
    }
    const size_t len = strlen(entry->d_name);
    return len >= 4 && strcmp(entry->d_name + len - 4, ".zip") == 0 ? 0 : 1;
}

bool is_own_archive(const struct stat &st)
{
    return st.st_dev == vexd_archive.dev && st.st_ino == vexd_archive.ino;
}

// Daemon log lines of the walk and of the whole run begin with these names.
#define WALK_LOG "archive_item: "
#define ARCHIVE_LOG "vexd_archive_all: "

// What the walk does at each entry: handles `path` and returns 1 when that is
// all, WALK_DESCEND for a directory whose children are to be walked next, or
// anything else to stop the walk with that result. `below` is false for the
// top of the walk.
constexpr int WALK_DESCEND = 2;
using walk_visit = int (*)(mz_zip_archive *zip, const char *path, bool below);

// The walk, depth first: `visit` at `path`, then, when it asks for it, the
// directory's children (logdir_all_filter) in descending name order. 1 on
// success, else the failing result (0 from the ZIP writer, negative otherwise).
int archive_item(mz_zip_archive *zip, const char *path, bool below, walk_visit visit)
{
    int rc = visit(zip, path, below);
    if (rc != WALK_DESCEND) return rc;

    unique_dirents entries;
    const int count = scandir(path, &entries.names, logdir_all_filter, alphasort);
    if (count < 0) {
        vexd_printf(WALK_LOG "scandir returned %d, errno %d\n", count, errno);
        return count;
    }
    entries.count = count;
    struct dirent **list = entries.names;
    rc = 1;
    for (int i = count - 1; i >= 0; i--) {
        char child[ARCHIVE_PATH_LEN];
        if (snprintf(child, sizeof child, "%s/%s", path, list[i]->d_name) >= (int)sizeof child) {
            vexd_printf(WALK_LOG "path too long: %s/%s\n", path, list[i]->d_name);
            rc = -1;
            break;
        }
        rc = archive_item(zip, child, true, visit);
        if (rc != 1) {
            vexd_printf(WALK_LOG "archive_item failed for %s\n", child);
            break;
        }
        free(list[i]);  // freed as the walk goes: a deep tree holds few lists at once
        list[i] = nullptr;
    }
    return rc;
}

// Adds one entry of the log tree: a file with its contents, a directory as its
// entry (its children are the walk's). The log directory itself may be reached
// through a link; links to directories further down are not followed, so the
// walk ends, and what is neither file nor directory, or is the archive being
// written, is left out.
int archive_add_entry(mz_zip_archive *zip, const char *path, bool below)
{
    struct stat st {};
    bool known = stat(path, &st) == 0;
    if (below) {
        struct stat lst {};
        if (lstat(path, &lst) != 0) {
            known = false;
        } else if (S_ISLNK(lst.st_mode) && known && S_ISDIR(st.st_mode)) {
            vexd_printf(WALK_LOG "skipping link to directory %s\n", path);
            return 1;
        }
        if (known && ((!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) || is_own_archive(st))) {
            vexd_printf(WALK_LOG "skipping %s\n", path);
            return 1;
        }
    }

    vexd_printf(WALK_LOG "compressing %s\n", path);
    // An entry whose status cannot be read is tried as a file; the add then fails.
    if (!known || !S_ISDIR(st.st_mode)) {
        const int rc = mz_zip_writer_add_file(zip, path + 1, path, "x", 1, 9);
        if (rc != 1) vexd_printf(WALK_LOG "mz_zip_writer_add_file failed for %s\n", path);
        return rc;
    }

    char dirname[ARCHIVE_PATH_LEN];
    if (snprintf(dirname, sizeof dirname, "%s/", path) >= (int)sizeof dirname) {
        vexd_printf(WALK_LOG "path too long: %s\n", path);
        return -1;
    }
    const int rc = mz_zip_writer_add_mem(zip, dirname + 1, nullptr, 0, 9);
    if (rc != 1) {
        vexd_printf(WALK_LOG "mz_zip_writer_add_mem failed\n");
        return rc;
    }
    return WALK_DESCEND;
}

// A client's archive path must be absolute and name a ".zip" file, so that
// a stray request can never remove a log file or anything else.
bool archive_path_ok(const char *path)
{
    const size_t len = strlen(path);
    return path[0] == '/' && len >= 4 && strcmp(path + len - 4, ".zip") == 0;
}

// Free space the archive leaves on the log directory's file system: the
// daemon's own limit, below which it stops, and room for what the other
// writers add while the archive grows and until a failed one is removed.
constexpr mz_uint64 ARCHIVE_FREE_MARGIN = 1048576;
constexpr mz_uint64 ARCHIVE_MIN_FREE = static_cast<mz_uint64>(VEXD_MIN_FREE_BYTES) + ARCHIVE_FREE_MARGIN;

// Writes the archive that `zip` was opened on: the walk, the central
// directory and the end. False, with its daemon log line, on any failure.
bool archive_write(mz_zip_archive *zip, const char *archive)
{
    struct stat st {};
    if (stat(archive, &st) == 0) {
        vexd_archive.dev = st.st_dev;
        vexd_archive.ino = st.st_ino;
    } else {
        vexd_archive.dev = 0;
        vexd_archive.ino = 0;
    }
    // An archive on the log partition stops short of the free-space limit
    // rather than filling it: a full log partition stops the daemon.
    struct stat logdir {};
    if (vexd_archive.dev != 0 && stat(vexd_log_dir_path, &logdir) == 0 && logdir.st_dev == vexd_archive.dev)
        zip->min_free = ARCHIVE_MIN_FREE;

    if (archive_item(zip, vexd_log_dir_path, false, archive_add_entry) != 1) {
        vexd_printf(ARCHIVE_LOG "archive_item failed\n");
        return false;
    }
    if (mz_zip_writer_finalize_archive(zip) != 1) {
        vexd_printf(ARCHIVE_LOG "mz_zip_writer_finalize_archive failed\n");
        return false;
    }
    if (mz_zip_writer_end(zip) != 1) {
        vexd_printf(ARCHIVE_LOG "mz_zip_writer_end failed\n");
        return false;
    }
    return true;
}

}  // namespace

int vexd_archive_all(char *response, const char *path)
{
    std::lock_guard<std::mutex> lock(vexd_archive.mutex);
    mz_zip_archive zip;
    memset(&zip, 0, sizeof zip);

    char archive[ARCHIVE_PATH_LEN];
    if (path != nullptr) {
        snprintf(archive, sizeof archive, "%s", path);
    } else {
        snprintf(archive, sizeof archive, "%s/%s", vexd_log_dir_path, default_archive_name);
    }
    strcpy(response, archive);

    if (path != nullptr && !archive_path_ok(archive)) {
        vexd_printf(ARCHIVE_LOG "refusing archive path %s\n", archive);
        return -1;
    }
    unlink(archive);
    // Written under a name of its own and renamed once whole, so that a kill
    // or a power cut never leaves a half archive under the archive's name
    // (and the next archive, or the next start, removes the other).
    char writing[ARCHIVE_PATH_LEN + 8];
    vexd_archive_temp_path(writing, sizeof writing, archive);
    unlink(writing);

    if (mz_zip_writer_init_file(&zip, writing, 0) != 1) {
        vexd_printf(ARCHIVE_LOG "mz_zip_writer_init_file failed\n");
        return -1;
    }
    if (archive_write(&zip, writing)) {
        if (rename(writing, archive) == 0) {
            file_sync_parent_dir(archive);
            return 0;
        }
        vexd_printf(ARCHIVE_LOG "%s not renamed to %s, errno %d; removed\n", writing, archive, errno);
        unlink(writing);
        return -1;
    }

    // A failed archive is not left behind: the writer drops an unfinished
    // one, and a failed finalize removed its file already.
    const bool removed = mz_zip_writer_end(&zip) == 1;
    struct stat st {};
    if (!removed || (lstat(writing, &st) == 0 && is_own_archive(st))) {
        vexd_printf(ARCHIVE_LOG "%s not written whole, and could not be removed\n", writing);
    } else {
        vexd_printf(ARCHIVE_LOG "%s not written whole, removed (archive write errno %d)\n", archive,
                    zip.error);
    }
    return -1;
}

void vexd_archive_temp_path(char *buf, size_t len, const char *archive)
{
    // "x.zip" -> "x.tmp.zip": still a ".zip" name, which the walk leaves out.
    const size_t n = strlen(archive);
    snprintf(buf, len, "%.*s.tmp.zip", static_cast<int>(n >= 4 ? n - 4 : n), archive);
}

void vexd_archive_drop_leftover(void)
{
    char archive[ARCHIVE_PATH_LEN];
    char writing[ARCHIVE_PATH_LEN + 8];
    snprintf(archive, sizeof archive, "%s/%s", vexd_log_dir_path, default_archive_name);
    vexd_archive_temp_path(writing, sizeof writing, archive);
    struct stat st {};
    if (lstat(writing, &st) == 0 && S_ISREG(st.st_mode) && unlink(writing) == 0)
        vexd_printf(ARCHIVE_LOG "removed %s, an archive cut short by the last stop\n", writing);
}
