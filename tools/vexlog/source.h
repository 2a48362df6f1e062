// Where the logs come from: a log directory (also a copy of one, or the
// folder an archive was unpacked in), or the log directory inside a ZIP
// archive, read in place.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>

namespace vexlog {

// One file of the log directory, read front to back.
class file_reader {
public:
    virtual ~file_reader() = default;
    // Bytes read, 0 at the end, -1 on a failure (`error` says which).
    virtual ssize_t read(void *buf, size_t len) = 0;
    std::string error;
};

// An entry of the archive: where minizip finds it, and its size.
struct zip_entry {
    uint64_t dir_pos = 0, number = 0;
    uint64_t size = 0;
};

struct source {
    std::string path;                          // as the user named it
    std::string dir;                           // folder holding the files (folder sources)
    bool zip = false;                          // an archive
    std::string prefix;                        // the log directory's entry in the archive, "qordebug/"
    std::map<std::string, zip_entry> entries;  // file name -> entry, below `prefix`

    bool is_zip() const { return zip; }
    std::string describe(const std::string &name) const
    {
        return is_zip() ? path + ":" + prefix + name : dir + "/" + name;
    }
};

// Sets `src` up for `path`: a folder, a file of a log (its folder) or a ZIP
// archive. False, said on stderr, when it is none of them.
bool open_source(const std::string &path, source *src);

// The log that a file of a text log pair belongs to (SOURCE may name one:
// vexd_logcat.gz), or -1.
int log_of_file(const std::string &path);

// Opens `name` of the log directory to be read from `offset` on; null when it
// is not there, or (with `why` set) when it cannot be opened.
std::unique_ptr<file_reader> open_file(const source &src, const std::string &name, uint64_t offset,
                                       std::string *why);

// What one look at a file of the log directory saw. In an archive nothing
// moves: an entry is there or not, with its size.
struct file_look {
    bool exists = false;
    uint64_t size = 0;
    uint64_t ino = 0;
    bool operator==(const file_look &) const = default;
};

file_look look_at(const source &src, const std::string &name);

}  // namespace vexlog
