// Control sockets: one thread per socket, one connection at a time, one
// response frame per request frame.
#include "socket_srv.h"
#include "socket_cred.h"

#include "diaglog.h"
#include "trclog_srv.h"
#include "vexd.h"

#include <pthread.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>

static pthread_t socket_srv_trc_pt;
static pthread_t socket_srv_cmd_pt;

static uint16_t get_u16(const uint8_t *p)
{
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

static void put_u16(uint8_t *p, uint16_t v)
{
    p[0] = static_cast<uint8_t>(v & 0xFF);
    p[1] = static_cast<uint8_t>(v >> 8);
}

// Text arguments end at the received length even without a NUL from the
// client. A full-size payload has no room for one after it, so it must
// carry its own.
static bool terminate_text(uint8_t *payload, uint16_t len)
{
    if (len < SOCKET_SRV_MAX_PAYLOAD) {
        payload[len] = 0;
        return true;
    }
    return memchr(payload, 0, len) != nullptr;
}

void parse_resp(uint8_t *request, uint8_t *response)
{
    const auto code = static_cast<int16_t>(get_u16(request));
    const uint16_t len = get_u16(request + 2);
    uint8_t *payload = request + SOCKET_SRV_HDR_LEN;
    auto *text = reinterpret_cast<char *>(payload);
    auto *out = reinterpret_cast<char *>(response + SOCKET_SRV_HDR_LEN);
    int32_t result = -2;

    put_u16(response + 2, 0);
    if (len > SOCKET_SRV_MAX_PAYLOAD) {
        result = -1;  // the payload did not fit and was discarded
    } else if (code >= CMD_PING && code <= CMD_TRC_DISABLE) {
        const bool is_text = code == CMD_ARCHIVE || code == CMD_DIAG_ON ||
                             code == CMD_DIAG_SET_MASK || code == CMD_DIAG_RM_LOGS;
        if (is_text && !terminate_text(payload, len)) {
            result = -1;
        } else {
            switch (code) {
            case CMD_PING: result = 0; break;
            case CMD_ARCHIVE:
                result = vexd_archive_all(out, len ? text : nullptr);
                put_u16(response + 2, static_cast<uint16_t>(strlen(out) + 1));
                break;
            case CMD_DIAG_ON: result = diaglog_on(text); break;
            case CMD_DIAG_OFF: result = diaglog_off(); break;
            case CMD_DIAG_SET_MASK: result = diaglog_setmaskfile(text); break;
            case CMD_DIAG_RM_LOGS: result = diaglog_rmlogfile(text); break;
            case CMD_TRC_WRITE: result = trclog_srv_write(payload, len); break;
            case CMD_TRC_ENABLE: result = trclog_srv_enable(); break;
            case CMD_TRC_DISABLE: result = trclog_srv_disable(); break;
            }
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

// Receives exactly `len` bytes. false (after logging why) when the peer
// closed or the receive failed.
static bool recv_exact(int fd, uint8_t *buf, size_t len)
{
    size_t got = 0;
    while (got < len) {
        const ssize_t n = recv(fd, buf + got, len - got, MSG_WAITALL);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            vexd_printf("socket_srv_thread: receive error, errno %d\n", errno);
            return false;
        }
        if (n == 0) {
            vexd_printf("socket_srv_thread: receive error, disconnected, errno %d\n", errno);
            return false;
        }
        got += static_cast<size_t>(n);
    }
    return true;
}

// Reads the payload of a request into the buffer after its header. A payload
// too long for the buffer is read and dropped in buffer-sized pieces, so the
// next request is found at the right place.
static bool recv_payload(int fd, uint8_t *request)
{
    const uint16_t len = get_u16(request + 2);
    uint8_t *payload = request + SOCKET_SRV_HDR_LEN;
    if (len <= SOCKET_SRV_MAX_PAYLOAD) return recv_exact(fd, payload, len);

    vexd_printf("socket_srv_thread: request of %u bytes too long, discarded\n", len);
    for (size_t left = len; left > 0;) {
        const size_t n = left < SOCKET_SRV_MAX_PAYLOAD ? left : SOCKET_SRV_MAX_PAYLOAD;
        if (!recv_exact(fd, payload, n)) return false;
        left -= n;
    }
    return true;
}

// Sends the whole response. MSG_NOSIGNAL: a client gone before its answer
// must not end the daemon with SIGPIPE.
static bool send_response(int fd, const uint8_t *response)
{
    const size_t len = SOCKET_SRV_HDR_LEN + get_u16(response + 2);
    size_t sent = 0;
    while (sent < len) {
        const ssize_t n = send(fd, response + sent, len - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            vexd_printf("socket_srv_thread: failed to send back response, errno %d\n", errno);
            return false;
        }
        sent += static_cast<size_t>(n);
    }
    return true;
}

void *socket_srv_thread(void *arg)
{
    const auto *path = static_cast<const char *>(arg);
    auto *request = static_cast<uint8_t *>(malloc(SOCKET_SRV_BUF_LEN));
    auto *response = static_cast<uint8_t *>(malloc(SOCKET_SRV_BUF_LEN));
    if (request == nullptr || response == nullptr) {
        vexd_printf("socket_srv_thread: no memory");
        free(request);
        free(response);
        return nullptr;
    }

    unlink(path);
    const int listen_fd = socket_srv_listen(path);  // -1 makes the first accept fail
    for (;;) {
        vexd_printf("socket_srv_thread: waiting for connection @ %s\n", path);
        struct sockaddr_un peer {};
        socklen_t peer_len = sizeof peer;
        const int conn = accept4(listen_fd, reinterpret_cast<struct sockaddr *>(&peer), &peer_len,
                                 SOCK_CLOEXEC);
        if (conn < 0) {
            if (errno == EINTR) continue;
            vexd_printf("socket, accept of connection failed, errno %d\n", errno);
            free(request);
            free(response);
            if (listen_fd >= 0) close(listen_fd);
            vexd_printf("socket_srv_thread: exiting thread, but how?");
            return nullptr;
        }
        if (socket_cred_check(conn) != 0) {
            close(conn);
            continue;
        }
        vexd_printf("socket_srv_thread: got connection with %s\n", path);
        while (recv_exact(conn, request, SOCKET_SRV_HDR_LEN) && recv_payload(conn, request)) {
            parse_resp(request, response);
            if (!send_response(conn, response)) break;
        }
        close(conn);
    }
}

int32_t socket_srv_init(void)
{
    int32_t rc = pthread_create(&socket_srv_trc_pt, nullptr, socket_srv_thread,
                                const_cast<char *>(VEXD_TRC_SOCKET));
    rc |= pthread_create(&socket_srv_cmd_pt, nullptr, socket_srv_thread,
                         const_cast<char *>(VEXD_CTRL_SOCKET));
    return rc;
}
