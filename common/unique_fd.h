// Owners that close what a function opened on every path out of it.
//
// unique_fd owns a file descriptor; unique_file, unique_dir and
// unique_malloc own a FILE *, a DIR * and a malloc'ed block. Closing keeps
// errno as it was, so a failure can still be reported after the owner is
// gone. Handles that live as long as the process are not for these.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>

class unique_fd {
public:
    unique_fd() = default;
    explicit unique_fd(int fd) : fd_(fd) {}
    ~unique_fd() { reset(); }
    unique_fd(const unique_fd &) = delete;
    unique_fd &operator=(const unique_fd &) = delete;
    unique_fd(unique_fd &&other) noexcept : fd_(other.release()) {}
    unique_fd &operator=(unique_fd &&other) noexcept
    {
        reset(other.release());
        return *this;
    }

    int get() const { return fd_; }
    bool ok() const { return fd_ >= 0; }
    // Gives the descriptor up without closing it.
    int release()
    {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    // Closes the descriptor held (if any) and takes `fd`.
    void reset(int fd = -1)
    {
        if (fd_ >= 0) {
            const int saved = errno;
            close(fd_);
            errno = saved;
        }
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

struct file_closer {
    void operator()(FILE *f) const
    {
        const int saved = errno;
        fclose(f);
        errno = saved;
    }
};
using unique_file = std::unique_ptr<FILE, file_closer>;

// fdopen that owns `fd` either way: a stream over it, or null with the
// descriptor closed (and null for a negative one).
inline FILE *fdopen_owned(int fd, const char *mode)
{
    if (fd < 0) return nullptr;
    FILE *f = fdopen(fd, mode);
    if (f == nullptr) {
        const int saved = errno;
        close(fd);
        errno = saved;
    }
    return f;
}

struct dir_closer {
    void operator()(DIR *d) const
    {
        const int saved = errno;
        closedir(d);
        errno = saved;
    }
};
using unique_dir = std::unique_ptr<DIR, dir_closer>;

// The list scandir() fills in: each entry and the array are freed when the
// owner goes. An entry freed early is set to nullptr.
struct unique_dirents {
    struct dirent **names = nullptr;
    int count = 0;
    unique_dirents() = default;
    unique_dirents(const unique_dirents &) = delete;
    unique_dirents &operator=(const unique_dirents &) = delete;
    ~unique_dirents()
    {
        for (int i = 0; i < count; i++) free(names[i]);
        free(names);
    }
};

struct free_deleter {
    void operator()(void *p) const { free(p); }
};
template <class T>
using unique_malloc = std::unique_ptr<T, free_deleter>;

// open(2) of a plain file, never through a link: O_NOFOLLOW, O_NONBLOCK (a
// FIFO in a file's place does not hold the caller; nothing changes for a
// plain file) and O_CLOEXEC are added. A descriptor that is not a plain file
// is closed again, with errno EINVAL; a link fails in open with ELOOP. `st`,
// when given, gets the file's status.
inline unique_fd open_regular(const char *path, int flags, mode_t mode = 0, struct stat *st = nullptr)
{
    unique_fd fd(open(path, flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, mode));
    struct stat own {};
    if (st == nullptr) st = &own;
    if (fd.ok() && (fstat(fd.get(), st) != 0 || !S_ISREG(st->st_mode))) {
        fd.reset();
        errno = EINVAL;
    }
    return fd;
}
