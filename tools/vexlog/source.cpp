// Log directories and ZIP archives of one.
#include "source.h"

#include "full_io.h"
#include "unique_fd.h"
#include "vexlog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unzip.h>

#include <cerrno>
#include <cstring>
#include <string_view>
#include <utility>

namespace vexlog {
namespace {

class fd_reader final : public file_reader {
public:
    explicit fd_reader(unique_fd fd) : fd_(std::move(fd)) {}
    ssize_t read(void *buf, size_t len) override
    {
        const ssize_t n = retry_read(fd_.get(), buf, len);
        if (n < 0) error = strerror(errno);
        return n;
    }

private:
    unique_fd fd_;
};

struct zip_closer {
    void operator()(void *z) const { unzClose(static_cast<unzFile>(z)); }
};
using unique_zip = std::unique_ptr<void, zip_closer>;

// An entry of a ZIP archive, inflated as it is read. Each entry has a handle
// of its own on the archive: minizip keeps one open entry per handle, so two
// entries read on one handle would close each other.
class zip_reader final : public file_reader {
public:
    zip_reader(const std::string &path, const zip_entry &e) : zip_(unzOpen64(path.c_str()))
    {
        pos_.pos_in_zip_directory = e.dir_pos;
        pos_.num_of_file = e.number;
    }
    ~zip_reader() override
    {
        if (open_) unzCloseCurrentFile(handle());
    }
    // Opens the entry and reads past its first `offset` bytes.
    bool open(uint64_t offset)
    {
        if (!zip_ || unzGoToFilePos64(handle(), &pos_) != UNZ_OK || unzOpenCurrentFile(handle()) != UNZ_OK) {
            error = "the archive entry cannot be opened";
            return false;
        }
        open_ = true;
        char skip[16384];
        while (offset > 0) {
            const ssize_t n = read(skip, offset < sizeof skip ? static_cast<size_t>(offset) : sizeof skip);
            if (n <= 0) return false;
            offset -= static_cast<uint64_t>(n);
        }
        return true;
    }
    ssize_t read(void *buf, size_t len) override
    {
        if (!open_) return 0;
        const int n =
            unzReadCurrentFile(handle(), buf, static_cast<unsigned>(len > 1u << 30 ? 1u << 30 : len));
        if (n < 0) {
            error = "the archive entry does not inflate (error " + std::to_string(n) + ")";
            return -1;
        }
        if (n == 0) {
            open_ = false;
            if (unzCloseCurrentFile(handle()) == UNZ_CRCERROR) {
                error = "the archive entry fails its CRC check";
                return -1;
            }
        }
        return n;
    }

private:
    unzFile handle() const { return static_cast<unzFile>(zip_.get()); }
    unique_zip zip_;
    unz64_file_pos pos_{};
    bool open_ = false;
};

bool has_log_files(const std::string &dir)
{
    for (const log_kind &k : logs) {
        struct stat st {};
        if (stat((dir + "/" + k.base + ".txt").c_str(), &st) == 0 ||
            stat((dir + "/" + k.base + ".gz").c_str(), &st) == 0)
            return true;
    }
    return false;
}

using zip_listing = std::map<std::string, std::map<std::string, zip_entry>>;

// The archive holds the log directory's files under its own name
// ("qordebug/", or "system/" without a log partition); the files of the
// logs are directly below it. The log directory itself, not a copy further
// down: the shortest name.
const std::string *log_dir_of(const zip_listing &by_dir)
{
    const std::string *best = nullptr;
    for (const auto &[dir, files] : by_dir) {
        bool logs_here = false;
        for (const log_kind &k : logs)
            logs_here = logs_here || files.count(std::string(k.base) + ".txt") ||
                        files.count(std::string(k.base) + ".gz");
        if (!logs_here) continue;
        if (best == nullptr || dir.size() < best->size() ||
            (dir.size() == best->size() && dir == "qordebug/"))
            best = &dir;
    }
    return best;
}

bool open_zip(source *src)
{
    const unique_zip zip(unzOpen64(src->path.c_str()));
    const auto z = static_cast<unzFile>(zip.get());
    if (z == nullptr) return false;
    src->zip = true;
    zip_listing by_dir;
    for (int rc = unzGoToFirstFile(z); rc == UNZ_OK; rc = unzGoToNextFile(z)) {
        char name[512];
        unz_file_info64 info{};
        if (unzGetCurrentFileInfo64(z, &info, name, sizeof name, nullptr, 0, nullptr, 0) != UNZ_OK) continue;
        const std::string_view n(name);
        const size_t slash = n.rfind('/');
        if (slash == std::string_view::npos || slash + 1 == n.size()) continue;
        unz64_file_pos pos{};
        if (unzGetFilePos64(z, &pos) != UNZ_OK) continue;
        by_dir[std::string(n.substr(0, slash + 1))][std::string(n.substr(slash + 1))] = {
            pos.pos_in_zip_directory, pos.num_of_file, info.uncompressed_size};
    }
    if (const std::string *best = log_dir_of(by_dir)) {
        src->prefix = *best;
        src->entries = by_dir[*best];
    }
    return true;
}

}  // namespace

std::unique_ptr<file_reader> open_file(const source &src, const std::string &name, uint64_t offset,
                                       std::string *why)
{
    if (src.is_zip()) {
        const auto it = src.entries.find(name);
        if (it == src.entries.end()) return nullptr;
        auto r = std::make_unique<zip_reader>(src.path, it->second);
        if (!r->open(offset)) {
            *why = r->error;
            return nullptr;
        }
        return r;
    }
    unique_fd fd(open((src.dir + "/" + name).c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.ok()) {
        if (errno != ENOENT) *why = strerror(errno);
        return nullptr;
    }
    if (offset > 0 && lseek(fd.get(), static_cast<off_t>(offset), SEEK_SET) < 0) {
        *why = strerror(errno);
        return nullptr;
    }
    return std::make_unique<fd_reader>(std::move(fd));
}

file_look look_at(const source &src, const std::string &name)
{
    file_look l;
    if (src.is_zip()) {
        const auto it = src.entries.find(name);
        if (it != src.entries.end()) l = {true, it->second.size, 0};
        return l;
    }
    struct stat st {};
    if (stat((src.dir + "/" + name).c_str(), &st) == 0)
        l = {true, static_cast<uint64_t>(st.st_size), static_cast<uint64_t>(st.st_ino)};
    return l;
}

int log_of_file(const std::string &path)
{
    struct stat st {};
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
    const std::string name = path.substr(path.rfind('/') == std::string::npos ? 0 : path.rfind('/') + 1);
    for (int k = 0; k < LOG_COUNT; k++)
        if (name == std::string(logs[k].base) + ".txt" || name == std::string(logs[k].base) + ".gz") return k;
    return -1;
}

bool open_source(const std::string &path, source *src)
{
    src->path = path;
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) {
        complain("%s: %s", path.c_str(), strerror(errno));
        return false;
    }
    if (S_ISDIR(st.st_mode)) {
        src->dir = path;
        // An unpacked archive or copy holds the log directory as a folder.
        if (!has_log_files(path))
            for (const char *sub : {"qordebug", "system"})
                if (has_log_files(path + "/" + sub)) {
                    src->dir = path + "/" + sub;
                    break;
                }
        return true;
    }
    if (log_of_file(path) >= 0) {  // the pair it belongs to, in its folder
        const size_t slash = path.rfind('/');
        src->dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
        return true;
    }
    if (!open_zip(src)) {
        complain("%s: not a log directory, a file of one nor a ZIP archive that can be read", path.c_str());
        return false;
    }
    return true;
}

}  // namespace vexlog
