// Reads and writes that go on through signals and short transfers.
//
// Every call here retries a transfer that a signal interrupted (EINTR) and
// leaves errno as the failing call set it, so callers log the same errno
// they always did. Header only: the daemon, the client, the simulated
// devices and the benchmarks all include it.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

// One read(2), retried while a signal interrupts it.
inline ssize_t retry_read(int fd, void *buf, size_t len)
{
    ssize_t n;
    do {
        n = read(fd, buf, len);
    } while (n < 0 && errno == EINTR);
    return n;
}

// One write(2), retried while a signal interrupts it. For packet pipes,
// where one entry must go in one write.
inline ssize_t retry_write(int fd, const void *buf, size_t len)
{
    ssize_t n;
    do {
        n = write(fd, buf, len);
    } while (n < 0 && errno == EINTR);
    return n;
}

// Writes all `len` bytes through `op`, a write(2)-like call
// (ssize_t op(int, const void *, size_t)), going on through EINTR and short
// writes. Returns len; on a failure the count of bytes that went in, or -1
// when none did, with errno set by the failing call (EIO for a call that
// wrote nothing). For writers that count what reached the file.
template <class Op>
ssize_t write_most_with(Op op, int fd, const void *buf, size_t len)
{
    const auto *p = static_cast<const uint8_t *>(buf);
    size_t done = 0;
    while (done < len) {
        const ssize_t n = op(fd, p + done, len - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = EIO;
            return done > 0 ? static_cast<ssize_t>(done) : -1;
        }
        done += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

// As write_most_with, but anything short of `len` is -1.
template <class Op>
ssize_t full_write_with(Op op, int fd, const void *buf, size_t len)
{
    const ssize_t n = write_most_with(op, fd, buf, len);
    return n == static_cast<ssize_t>(len) ? n : -1;
}

// Reads through `op`, a read(2)-like call, until `len` bytes are in or the
// end of the data. Returns the bytes read (fewer than len only at the end),
// or -1 with errno set by the failing call; what came before is dropped.
template <class Op>
ssize_t full_read_with(Op op, int fd, void *buf, size_t len)
{
    auto *p = static_cast<uint8_t *>(buf);
    size_t got = 0;
    while (got < len) {
        const ssize_t n = op(fd, p + got, len - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (n == 0) break;
        got += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(got);
}

inline ssize_t full_write(int fd, const void *buf, size_t len)
{
    return full_write_with([](int f, const void *b, size_t n) { return write(f, b, n); }, fd, buf, len);
}

inline ssize_t full_read(int fd, void *buf, size_t len)
{
    return full_read_with([](int f, void *b, size_t n) { return read(f, b, n); }, fd, buf, len);
}

// send(2) of the whole buffer. MSG_NOSIGNAL: a peer gone away is an EPIPE
// to report, not a SIGPIPE that ends the process.
inline ssize_t full_send(int fd, const void *buf, size_t len, int flags = 0)
{
    return full_write_with(
        [flags](int f, const void *b, size_t n) { return send(f, b, n, flags | MSG_NOSIGNAL); }, fd, buf,
        len);
}

// recv(2) until `len` bytes are in or the peer closed.
inline ssize_t full_recv(int fd, void *buf, size_t len, int flags = 0)
{
    return full_read_with([flags](int f, void *b, size_t n) { return recv(f, b, n, flags); }, fd, buf, len);
}
