// Control sockets: one thread per socket, one connection at a time, one
// response frame per request frame.
#include "socket_srv.h"
#include "socket_cred.h"
#include "socket_frames.h"

#include "diaglog.h"
#include "full_io.h"
#include "monotonic.h"
#include "unique_fd.h"
#include "trclog_srv.h"
#include "vexd.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace {

// The module's state: the two socket threads, set once by socket_srv_init
// (main thread) and never joined.
struct socket_srv_state {
    pthread_t trc_pt;
    pthread_t cmd_pt;
} socket_srv;

// Text arguments end at the received length even without a NUL from the
// client. A full-size payload has no room for one after it, so it must
// carry its own.
bool terminate_text(uint8_t *payload, uint16_t len)
{
    if (len < SOCKET_SRV_MAX_PAYLOAD) {
        payload[len] = 0;
        return true;
    }
    return memchr(payload, 0, len) != nullptr;
}

// CMD_PING: the answer is the whole command.
int socket_srv_ping(void) { return 0; }

// What a handler is called with: the request's payload, its length and the
// response frame.
struct cmd_call {
    uint8_t *payload;
    uint16_t len;
    uint8_t *response;
};

// One way to call a handler per argument kind (socket_arg).
int32_t run_none(int (*handler)(void), const cmd_call &) { return handler(); }

int32_t run_text(int (*handler)(const char *), const cmd_call &c)
{
    if (!terminate_text(c.payload, c.len)) return -1;
    return handler(reinterpret_cast<char *>(c.payload));
}

int32_t run_opt_text(int (*handler)(char *, const char *), const cmd_call &c)
{
    if (!terminate_text(c.payload, c.len)) return -1;
    auto *out = reinterpret_cast<char *>(c.response + SOCKET_SRV_HDR_LEN);
    const int32_t result = handler(out, c.len ? reinterpret_cast<char *>(c.payload) : nullptr);
    put_u16(c.response + 2, static_cast<uint16_t>(strlen(out) + 1));
    return result;
}

int32_t run_bytes(int (*handler)(const void *, int), const cmd_call &c) { return handler(c.payload, c.len); }

}  // namespace

// Runs the command, not only parses it: checks the request, calls its handler, fills the response.
void parse_resp(uint8_t *request, uint8_t *response)
{
    const auto code = static_cast<int16_t>(get_u16(request));
    const uint16_t len = get_u16(request + 2);
    const cmd_call call = {request + SOCKET_SRV_HDR_LEN, len, response};
    int32_t result = -2;

    put_u16(response + 2, 0);
    if (len > SOCKET_SRV_MAX_PAYLOAD) {
        result = -1;  // the payload did not fit and was discarded
    } else {
        switch (code) {
#define SOCKET_CMD_CASE(sym, code, name, arg, handler)                                                       \
    case sym: result = run_##arg(handler, call); break;
            SOCKET_COMMANDS(SOCKET_CMD_CASE)
#undef SOCKET_CMD_CASE
        }
    }
    put_u16(response, static_cast<uint16_t>(result));
}

int32_t socket_srv_listen(const char *path)
{
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        vexd_printf("socket: failed to create listen socket, errno %d\n", errno);
        return -1;
    }
    struct sockaddr_un addr {};
    addr.sun_family = AF_UNIX;
    const size_t path_len = strlen(path);
    if (path_len >= sizeof addr.sun_path) {
        vexd_printf("socket, failed to bind %s, errno %d\n", path, ENAMETOOLONG);
        close(fd);
        return -1;
    }
    memcpy(addr.sun_path, path, path_len + 1);
    unlink(path);
    const auto addr_len = static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + path_len);
    if (bind(fd, reinterpret_cast<struct sockaddr *>(&addr), addr_len) != 0) {
        vexd_printf("socket, failed to bind %s, errno %d\n", path, errno);
        close(fd);
        return -1;
    }
    if (listen(fd, 10) != 0) {
        vexd_printf("socket, failed to listen, errno %d\n", errno);
        close(fd);
        return -1;
    }
    return fd;
}

namespace {

// Once a frame has begun, the rest of it must arrive within this time; a
// client stalled inside a frame would otherwise keep the socket from every
// other client. Idle time between whole frames is not limited.
constexpr int FRAME_TIMEOUT_MS = 5000;

// Where the connection stands in the current frame: the deadline is set by
// its first byte.
struct frame_clock {
    bool begun = false;
    int64_t deadline_ms = 0;
};

// Receives exactly `len` bytes of the current frame. false (after logging
// why) when the peer closed, the receive failed or the frame's time ran out.
bool recv_exact(int fd, uint8_t *buf, size_t len, frame_clock *clock)
{
    size_t got = 0;
    while (got < len) {
        if (clock->begun) {
            const int64_t left = clock->deadline_ms - monotonic_ms();
            struct pollfd pfd = {fd, POLLIN, 0};
            const int ready = left > 0 ? poll(&pfd, 1, static_cast<int>(left)) : 0;
            if (ready < 0 && errno == EINTR) continue;
            if (ready == 0) {
                vexd_printf("socket_srv_thread: frame not completed within %d ms, closing connection\n",
                            FRAME_TIMEOUT_MS);
                return false;
            }
        }
        const ssize_t n = recv(fd, buf + got, len - got, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            vexd_printf("socket_srv_thread: receive error, errno %d\n", errno);
            return false;
        }
        if (n == 0) {
            vexd_printf("socket_srv_thread: receive error, disconnected, errno %d\n", errno);
            return false;
        }
        if (!clock->begun) {
            clock->begun = true;
            clock->deadline_ms = monotonic_ms() + FRAME_TIMEOUT_MS;
        }
        got += static_cast<size_t>(n);
    }
    return true;
}

// Reads the payload of a request into the buffer after its header. A payload
// too long for the buffer is read and dropped in buffer-sized pieces, so the
// next request is found at the right place.
bool recv_payload(int fd, uint8_t *request, frame_clock *clock)
{
    const uint16_t len = get_u16(request + 2);
    uint8_t *payload = request + SOCKET_SRV_HDR_LEN;
    if (len <= SOCKET_SRV_MAX_PAYLOAD) return recv_exact(fd, payload, len, clock);

    vexd_printf("socket_srv_thread: request of %u bytes too long, discarded\n", len);
    for (size_t left = len; left > 0;) {
        const size_t n = left < SOCKET_SRV_MAX_PAYLOAD ? left : SOCKET_SRV_MAX_PAYLOAD;
        if (!recv_exact(fd, payload, n, clock)) return false;
        left -= n;
    }
    return true;
}

}  // namespace

// One whole request frame: header, then payload, under one frame clock.
bool recv_request(int fd, uint8_t *request)
{
    frame_clock clock;
    return recv_exact(fd, request, SOCKET_SRV_HDR_LEN, &clock) && recv_payload(fd, request, &clock);
}

// Sends the whole response. MSG_NOSIGNAL: a client gone before its answer
// must not end the daemon with SIGPIPE.
bool send_response(int fd, const uint8_t *response)
{
    const size_t len = SOCKET_SRV_HDR_LEN + get_u16(response + 2);
    if (full_send(fd, response, len) < 0) {
        vexd_printf("socket_srv_thread: failed to send back response, errno %d\n", errno);
        return false;
    }
    return true;
}

void *socket_srv_thread(void *arg)
{
    const auto *path = static_cast<const char *>(arg);
    pthread_setname_np(pthread_self(),
                       strcmp(path, VEXD_TRC_SOCKET) == 0 ? "vexd.sock.trc" : "vexd.sock.ctrl");
    const unique_malloc<uint8_t> request_buf(static_cast<uint8_t *>(malloc(SOCKET_SRV_BUF_LEN)));
    const unique_malloc<uint8_t> response_buf(static_cast<uint8_t *>(malloc(SOCKET_SRV_BUF_LEN)));
    uint8_t *const request = request_buf.get();
    uint8_t *const response = response_buf.get();
    if (request == nullptr || response == nullptr) {
        vexd_printf("socket_srv_thread: no memory");
        return nullptr;
    }

    unlink(path);
    const int listen_fd = socket_srv_listen(path);  // -1 makes the first accept fail
    for (;;) {
        vexd_printf("socket_srv_thread: waiting for connection @ %s\n", path);
        struct sockaddr_un peer {};
        socklen_t peer_len = sizeof peer;
        // accept + FD_CLOEXEC: the target's C library has no accept4.
        const int conn = accept(listen_fd, reinterpret_cast<struct sockaddr *>(&peer), &peer_len);
        if (conn >= 0) fcntl(conn, F_SETFD, FD_CLOEXEC);
        if (conn < 0) {
            if (errno == EINTR) continue;
            vexd_printf("socket, accept of connection failed, errno %d\n", errno);
            if (listen_fd >= 0) close(listen_fd);
            vexd_printf("socket_srv_thread: exiting thread, but how?");
            return nullptr;
        }
        if (socket_cred_check(conn) != 0) {
            close(conn);
            continue;
        }
        vexd_printf("socket_srv_thread: got connection with %s\n", path);
        while (recv_request(conn, request)) {
            parse_resp(request, response);
            if (!send_response(conn, response)) break;
        }
        close(conn);
    }
}

int32_t socket_srv_init(void)
{
    int32_t rc =
        pthread_create(&socket_srv.trc_pt, nullptr, socket_srv_thread, const_cast<char *>(VEXD_TRC_SOCKET));
    rc |=
        pthread_create(&socket_srv.cmd_pt, nullptr, socket_srv_thread, const_cast<char *>(VEXD_CTRL_SOCKET));
    return rc;
}
