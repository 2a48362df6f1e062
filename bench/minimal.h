// The least a text log writer must do, for the benchmarks' baselines.
#pragma once

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "log_files.h"
#include <thread>

namespace minimal {

[[noreturn]] inline void fail(const char *what, const std::string &path)
{
    fprintf(stderr, "bench: %s %s: %s\n", what, path.c_str(), strerror(errno));
    exit(1);
}

// Appends the whole of file `txt` to `gz` as one level-9 gzip member, read
// through one mapping and handed to zlib in one call.
inline void append_member(const std::string &txt, const std::string &gz)
{
    int in = open(txt.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st {};
    if (in < 0 || fstat(in, &st) != 0) fail("open", txt);
    const auto size = static_cast<size_t>(st.st_size);
    void *map = size > 0 ? mmap(nullptr, size, PROT_READ, MAP_SHARED, in, 0) : nullptr;
    if (map == MAP_FAILED) fail("mmap", txt);
    gzFile g = gzopen(gz.c_str(), "ab9");
    if (g == nullptr) fail("gzopen", gz);
    if (size > 0 && gzwrite(g, map, static_cast<unsigned>(size)) != static_cast<int>(size))
        fail("gzwrite", gz);
    if (gzclose(g) != Z_OK) fail("gzclose", gz);
    if (map != nullptr) munmap(map, size);
    close(in);
}

inline void sync_path(const std::string &path, int flags)
{
    int fd = open(path.c_str(), flags | O_CLOEXEC);
    if (fd < 0 || fsync(fd) != 0) fail("fsync", path);
    close(fd);
}

// A text log file pair written with only the work its writers must do:
// appends to NAME.txt, and once the text passes the threshold, the whole
// text becomes one level-9 gzip member of NAME.gz and NAME.txt starts empty.
// A durable pair also makes the rotation safe against a power cut, with the
// syncs that takes: the text as it is compressed and a record of the rotation
// (written in place in a file kept from the first rotation on, so its folder
// is synced only then), both at once, then the member; the emptied text is left to the next
// sync, the record emptied meanwhile.
struct pair_writer {
    std::string dir, txt, gz;
    bool durable = false;
    bool record_made = false;
    int fd = -1;
    long long size = 0;

    pair_writer(const std::string &folder, const char *name, bool durable_rotation = false)
        : dir(folder), txt(dir + "/" + name + ".txt"), gz(dir + "/" + name + ".gz"), durable(durable_rotation)
    {
        unlink(gz.c_str());
        fd = open(txt.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0) fail("open", txt);
    }
    ~pair_writer()
    {
        if (fd >= 0) close(fd);
        unlink(txt.c_str());
        unlink(gz.c_str());
        unlink((gz + LOG_RECORD_SUFFIX).c_str());
    }
    pair_writer(const pair_writer &) = delete;
    pair_writer &operator=(const pair_writer &) = delete;

    void rotate()
    {
        const std::string record = gz + LOG_RECORD_SUFFIX;
        if (durable) {
            // The text's sync and the record's at once, as the daemon makes them.
            std::thread text_synced([this] {
                if (fsync(fd) != 0) fail("fsync", txt);
            });
            const std::string text = std::to_string(size) + " " + txt + "\n";
            int r = open(record.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
            if (r < 0 || ftruncate(r, 0) != 0 ||
                write(r, text.data(), text.size()) != static_cast<ssize_t>(text.size()) || fdatasync(r) != 0)
                fail("record", record);
            close(r);
            text_synced.join();
            if (!record_made) sync_path(dir, O_RDONLY | O_DIRECTORY);
            record_made = true;
        }
        close(fd);
        append_member(txt, gz);
        if (durable) sync_path(gz, O_WRONLY);
        // A collector that runs for a long while keeps its gzip file small,
        // as the daemon does outside its log partition: the text goes on.
        struct stat st {};
        if (durable && stat(gz.c_str(), &st) == 0 && st.st_size > (8 << 20)) unlink(gz.c_str());
        fd = open(txt.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0) fail("open", txt);
        if (durable && truncate(record.c_str(), 0) != 0) fail("record", record);
        size = 0;
    }
    // Writes one piece with one write; rotates past `limit` (or at it, when
    // `at_limit`).
    // Appends, and rotates when the text's size calls for it by the rule of
    // the daemon's log `as`.
    void put(const char *p, size_t n, log_id as)
    {
        ssize_t w = write(fd, p, n);
        if (w < 0) fail("write", txt);
        size += w;
        const log_file_t &log = LOG_FILES[as];
        if (log.rule == vexd_rotate_rule::above ? size > log.rotate_size : size >= log.rotate_size) rotate();
    }
};

}  // namespace minimal
