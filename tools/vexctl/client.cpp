// vexctl's side of a control socket: deadline-bounded transfers, the
// exchange of one frame, streaming a file, and the status of both sockets.
#include "client.h"

#include "full_io.h"
#include "monotonic.h"
#include "socket_proto.h"
#include "socket_view.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string_view>

namespace vexctl {

io_result wait_ready(int fd, short events, const deadline &d)
{
    for (;;) {
        struct pollfd p {
            fd, events, 0
        };
        const int n = poll(&p, 1, d.left());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return IO_LOST;
        if (n == 0) {
            errno = ETIMEDOUT;
            return IO_TIMEOUT;
        }
        return IO_OK;
    }
}

io_result write_all(int fd, const uint8_t *buf, size_t len, const deadline &d)
{
    io_result r = IO_LOST;
    const auto op = [&](int f, const void *b, size_t n) {
        for (;;) {
            const ssize_t sent = send(f, b, n, MSG_NOSIGNAL);
            if (sent >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) return sent;
            const io_result w = wait_ready(f, POLLOUT, d);
            if (w != IO_OK) {
                r = w;
                return ssize_t{-1};
            }
        }
    };
    if (full_write_with(op, fd, buf, len) >= 0) return IO_OK;
    return r;
}

io_result read_all(int fd, uint8_t *buf, size_t len, const deadline &d)
{
    io_result r = IO_LOST;
    const auto op = [&](int f, void *b, size_t n) {
        for (;;) {
            const ssize_t got = recv(f, b, n, 0);
            if (got >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) return got;
            const io_result w = wait_ready(f, POLLIN, d);
            if (w != IO_OK) {
                r = w;
                return ssize_t{-1};
            }
        }
    };
    const ssize_t got = full_read_with(op, fd, buf, len);
    if (got == static_cast<ssize_t>(len)) return IO_OK;
    if (got >= 0) errno = 0;  // the daemon closed the connection
    return r;
}

io_result open_socket(const char *path, const deadline &d, unique_fd *out)
{
    struct sockaddr_un addr {};
    addr.sun_family = AF_UNIX;
    strcpy(addr.sun_path, path);  // length checked by the caller
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return IO_LOST;
    for (;;) {
        if (connect(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) == 0) break;
        if (errno == EINTR) continue;
        if (errno == EINPROGRESS) {
            const io_result r = wait_ready(fd, POLLOUT, d);
            int err = 0;
            socklen_t elen = sizeof err;
            if (r == IO_OK && getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &elen) == 0 && err == 0) break;
            if (r == IO_OK) errno = err;
            const int saved = errno;
            close(fd);
            errno = saved;
            return r == IO_OK ? IO_LOST : r;
        }
        if (errno == EAGAIN && d.left() != 0) {
            struct timespec ts {
                0, 20 * 1000 * 1000
            };
            nanosleep(&ts, nullptr);
            continue;
        }
        const io_result r = errno == EAGAIN ? IO_TIMEOUT : IO_LOST;
        const int saved = r == IO_TIMEOUT ? ETIMEDOUT : errno;
        close(fd);
        errno = saved;
        return r;
    }
    out->reset(fd);
    return IO_OK;
}

io_result transact(int fd, int16_t code, const uint8_t *payload, size_t len, int16_t *status,
                   std::string *text, const deadline &d)
{
    uint8_t frame[SOCKET_SRV_BUF_LEN];
    const size_t flen =
        socket_encode_frame(frame, static_cast<uint16_t>(code), payload, static_cast<uint16_t>(len));
    io_result r = write_all(fd, frame, flen, d);
    if (r != IO_OK) return r;

    uint8_t hdr[SOCKET_SRV_HDR_LEN];
    if ((r = read_all(fd, hdr, sizeof hdr, d)) != IO_OK) return r;
    *status = static_cast<int16_t>(get_u16(hdr));
    const size_t rlen = get_u16(hdr + 2);
    std::string body(rlen, '\0');
    if (rlen > 0 && (r = read_all(fd, reinterpret_cast<uint8_t *>(body.data()), rlen, d)) != IO_OK) return r;
    if (text != nullptr) *text = body.substr(0, body.find('\0'));
    return IO_OK;
}

int stream(int sock, const char *socket_path, const command &c, const char *file, double timeout)
{
    int in = STDIN_FILENO;
    if (file != nullptr && strcmp(file, "-") != 0) {
        in = open(file, O_RDONLY | O_CLOEXEC);
        if (in < 0) {
            fprintf(stderr, "vexctl: cannot open %s: %s\n", file, strerror(errno));
            return EXIT_USAGE;
        }
    }
    uint8_t chunk[SOCKET_SRV_MAX_PAYLOAD];
    int rc = 0;
    for (;;) {
        const ssize_t n = full_read(in, chunk, sizeof chunk);  // whole frames from pipes too
        if (n < 0) {
            fprintf(stderr, "vexctl: read error: %s\n", strerror(errno));
            rc = EXIT_USAGE;
            break;
        }
        const size_t got = static_cast<size_t>(n);
        if (got == 0) break;
        int16_t status = 0;
        errno = 0;
        const deadline d(timeout);
        const io_result r = transact(sock, c.code, chunk, got, &status, nullptr, d);
        if (r != IO_OK) {
            rc = failed(r, socket_path, c.name, d);
            break;
        }
        if ((rc = report(c, status, socket_path, nullptr)) != 0) break;
        if (got < sizeof chunk) break;
    }
    if (in != STDIN_FILENO) close(in);
    return rc;
}

int ping_socket(const char *label, const char *path, double timeout)
{
    const int64_t start_us = monotonic_us();
    const deadline d(timeout);
    unique_fd sock;
    errno = 0;
    io_result r = open_socket(path, d, &sock);
    int16_t status = 0;
    if (r == IO_OK) r = transact(sock.get(), CMD_PING, nullptr, 0, &status, nullptr, d);
    if (r == IO_OK) {
        const double ms = static_cast<double>(monotonic_us() - start_us) / 1e3;
        printf("%-7s %s: answers (%.2f ms)\n", label, path, ms);
        return 0;
    }
    if (r == IO_TIMEOUT) {
        printf("%-7s %s: busy: no answer within %g s (another client holds it, or the daemon is stuck)\n",
               label, path, timeout);
        return EXIT_TIMEOUT;
    }
    printf("%-7s %s: not reachable: %s\n", label, path, errno ? strerror(errno) : "closed by the daemon");
    return EXIT_NO_DAEMON;
}

int status_all(const char *socket_path, bool chosen, double timeout)
{
    const std::string sys = socket_view_system_dir(socket_path);
    std::string_view base(socket_path);
    base.remove_prefix(base.rfind('/') == std::string_view::npos ? 0 : base.rfind('/') + 1);
    const std::string_view ctrl_name = std::string_view(VEXD_CTRL_SOCKET).substr(8);
    const std::string_view trc_name = std::string_view(VEXD_TRC_SOCKET).substr(8);
    if (chosen && base != ctrl_name && base != trc_name) return ping_socket("socket", socket_path, timeout);
    const std::string ctrl = (sys == "/" ? "" : sys) + "/" + std::string(ctrl_name);
    const std::string trc = (sys == "/" ? "" : sys) + "/" + std::string(trc_name);
    const int a = ping_socket("control", ctrl.c_str(), timeout);
    const int b = ping_socket("trace", trc.c_str(), timeout);
    if (a == EXIT_NO_DAEMON || b == EXIT_NO_DAEMON) return EXIT_NO_DAEMON;
    return a != 0 ? a : b;
}

}  // namespace vexctl
