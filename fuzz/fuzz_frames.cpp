// Request framing and parse_resp over an arbitrary byte stream: the input is
// what a client sent on one connection. The socket thread's own receive and
// send routines read it from a socket pair into buffers of exactly the
// thread's size; the command handlers are recorders that check what reaches
// them.
#include "diaglog.h"
#include "socket_frames.h"
#include "socket_srv.h"
#include "trclog_srv.h"
#include "vexd.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

uint16_t g_len;            // length field of the request being run
const uint8_t *g_payload;  // where its payload lies

void check_text(const char *text)
{
    // A text argument ends within the bytes the client sent.
    if (reinterpret_cast<const uint8_t *>(text) != g_payload) abort();
    if (strnlen(text, g_len + 1u) > g_len) abort();
}

}  // namespace

int vexd_archive_all(char *response, const char *path)
{
    if (path != nullptr) check_text(path);
    snprintf(response, SOCKET_SRV_MAX_PAYLOAD, "%s", path != nullptr ? path : "/qordebug/logs.zip");
    return 0;
}
int diaglog_on(const char *name)
{
    check_text(name);
    return 0;
}
int diaglog_off(void) { return 0; }
int diaglog_setmaskfile(const char *path)
{
    check_text(path);
    return -1;
}
int diaglog_rmlogfile(const char *filter)
{
    check_text(filter);
    return 0;
}
int trclog_srv_write(const void *data, int len)
{
    if (data != g_payload || len != g_len || len > SOCKET_SRV_MAX_PAYLOAD) abort();
    return len;
}
int trclog_srv_enable(void) { return 0; }
int trclog_srv_disable(void) { return -1; }

// Reads every response waiting on `fd`; each must be a whole, well-formed frame.
static void drain(int fd)
{
    uint8_t head[4];
    while (recv(fd, head, sizeof head, MSG_DONTWAIT | MSG_PEEK) == 4) {
        const uint16_t len = get_u16(head + 2);
        if (len > SOCKET_SRV_MAX_PAYLOAD) abort();
        static uint8_t body[SOCKET_SRV_BUF_LEN];
        if (recv(fd, body, 4u + len, MSG_DONTWAIT) != 4 + len) abort();
        if (len != 0 && body[4 + len - 1] != 0) abort();  // archive path ends in its NUL
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 65536) return 0;
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) abort();
    const int bufsz = 1 << 20;
    setsockopt(sv[0], SOL_SOCKET, SO_SNDBUF, &bufsz, sizeof bufsz);
    setsockopt(sv[1], SOL_SOCKET, SO_RCVBUF, &bufsz, sizeof bufsz);
    if (size != 0 && write(sv[0], data, size) != static_cast<ssize_t>(size)) abort();
    shutdown(sv[0], SHUT_WR);

    auto *request = static_cast<uint8_t *>(malloc(SOCKET_SRV_BUF_LEN));
    auto *response = static_cast<uint8_t *>(malloc(SOCKET_SRV_BUF_LEN));
    // The thread's buffers are never cleared between requests.
    memset(request, 'Q', SOCKET_SRV_BUF_LEN);
    memset(response, 'R', SOCKET_SRV_BUF_LEN);
    while (recv_request(sv[1], request)) {
        g_len = get_u16(request + 2);
        g_payload = request + SOCKET_SRV_HDR_LEN;
        parse_resp(request, response);
        if (!send_response(sv[1], response)) break;
        drain(sv[0]);
    }
    drain(sv[0]);
    free(request);
    free(response);
    close(sv[0]);
    close(sv[1]);
    return 0;
}
