// vexctl: sends one command to vexd over a control socket and reports the
// status. Exit status 0 when the daemon answered 0, 1 when it answered
// anything else, 2 for a usage error, 3 when the daemon cannot be reached.
#include "socket_srv.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

namespace {

constexpr int EXIT_STATUS = 1;
constexpr int EXIT_USAGE = 2;
constexpr int EXIT_NO_DAEMON = 3;

struct command {
    std::string_view name;
    int16_t code;
    enum { NONE, TEXT, OPT_TEXT, STREAM } arg;
    std::string_view args;
    std::string_view help;
};

constexpr command commands[] = {
    {"ping", CMD_PING, command::NONE, "", "check that the daemon answers"},
    {"archive", CMD_ARCHIVE, command::OPT_TEXT, "[PATH]", "pack the log directory into a ZIP file (PATH absolute, *.zip)"},
    {"diag-on", CMD_DIAG_ON, command::TEXT, "NAME", "start modem logging into dl_NAME_<count>.qmdl"},
    {"diag-off", CMD_DIAG_OFF, command::NONE, "", "stop modem logging"},
    {"set-mask", CMD_DIAG_SET_MASK, command::TEXT, "PATH", "choose the diag mask file"},
    {"rm-logs", CMD_DIAG_RM_LOGS, command::OPT_TEXT, "[FILTER]", "delete qmdl files (all without FILTER)"},
    {"trace-enable", CMD_TRC_ENABLE, command::NONE, "", "enable the trace log"},
    {"trace-write", CMD_TRC_WRITE, command::STREAM, "[FILE]", "send FILE (or stdin) to the trace log"},
    {"trace-disable", CMD_TRC_DISABLE, command::NONE, "", "disable the trace log"},
};

void usage(FILE *out)
{
    fprintf(out,
            "usage: vexctl [--socket trace|control|PATH] COMMAND [ARG]\n"
            "\n"
            "Sends COMMAND to vexd over a control socket: control (%s,\n"
            "the default), trace (%s) or PATH. Exits 0 when the daemon\n"
            "answers 0; otherwise prints the status and exits 1 (2: usage error,\n"
            "3: daemon not reachable).\n"
            "\n"
            "commands:\n",
            VEXD_CTRL_SOCKET, VEXD_TRC_SOCKET);
    for (const command &c : commands) {
        fprintf(out, "  %-14.*s %-9.*s %.*s\n", (int)c.name.size(), c.name.data(), (int)c.args.size(),
                c.args.data(), (int)c.help.size(), c.help.data());
    }
}

// Connected socket, closed when it goes out of scope.
struct connection {
    int fd = -1;
    ~connection()
    {
        if (fd >= 0) close(fd);
    }
};

bool write_all(int fd, const uint8_t *buf, size_t len)
{
    while (len > 0) {
        const ssize_t n = send(fd, buf, len, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        buf += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

bool read_all(int fd, uint8_t *buf, size_t len)
{
    while (len > 0) {
        const ssize_t n = recv(fd, buf, len, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        buf += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

// Sends one request and reads its response. Returns false when the
// connection fails; `status` and `text` hold the response otherwise.
bool transact(int fd, int16_t code, const uint8_t *payload, size_t len, int16_t *status,
              std::string *text)
{
    uint8_t frame[SOCKET_SRV_BUF_LEN];
    const auto ucode = static_cast<uint16_t>(code);
    frame[0] = static_cast<uint8_t>(ucode & 0xFF);
    frame[1] = static_cast<uint8_t>(ucode >> 8);
    frame[2] = static_cast<uint8_t>(len & 0xFF);
    frame[3] = static_cast<uint8_t>(len >> 8);
    if (len > 0) memcpy(frame + SOCKET_SRV_HDR_LEN, payload, len);
    if (!write_all(fd, frame, SOCKET_SRV_HDR_LEN + len)) return false;

    uint8_t hdr[SOCKET_SRV_HDR_LEN];
    if (!read_all(fd, hdr, sizeof hdr)) return false;
    *status = static_cast<int16_t>(hdr[0] | (hdr[1] << 8));
    const size_t rlen = static_cast<size_t>(hdr[2] | (hdr[3] << 8));
    std::string body(rlen, '\0');
    if (rlen > 0 && !read_all(fd, reinterpret_cast<uint8_t *>(body.data()), rlen)) return false;
    if (text != nullptr) *text = body.substr(0, body.find('\0'));
    return true;
}

int report(std::string_view name, int16_t status)
{
    if (status == 0) return 0;
    fprintf(stderr, "vexctl: %.*s: status %d\n", (int)name.size(), name.data(), status);
    return EXIT_STATUS;
}

int lost(const char *socket_path)
{
    fprintf(stderr, "vexctl: connection to %s lost: %s\n", socket_path,
            errno ? strerror(errno) : "closed by the daemon");
    return EXIT_NO_DAEMON;
}

// Sends a file (or stdin) as trace-write frames of at most one full payload each.
int stream(int sock, const char *socket_path, const command &c, const char *file)
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
        size_t got = 0;
        while (got < sizeof chunk) {  // fill whole frames from pipes too
            const ssize_t n = read(in, chunk + got, sizeof chunk - got);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                fprintf(stderr, "vexctl: read error: %s\n", strerror(errno));
                rc = EXIT_USAGE;
                break;
            }
            if (n == 0) break;
            got += static_cast<size_t>(n);
        }
        if (rc != 0 || got == 0) break;
        int16_t status = 0;
        errno = 0;
        if (!transact(sock, c.code, chunk, got, &status, nullptr)) {
            rc = lost(socket_path);
            break;
        }
        if ((rc = report(c.name, status)) != 0) break;
        if (got < sizeof chunk) break;
    }
    if (in != STDIN_FILENO) close(in);
    return rc;
}

}  // namespace

int main(int argc, char **argv)
{
    const char *socket_path = VEXD_CTRL_SOCKET;
    int i = 1;
    for (; i < argc && argv[i][0] == '-' && argv[i][1] != '\0'; i++) {
        const std::string_view opt = argv[i];
        if (opt == "--help" || opt == "-h") {
            usage(stdout);
            return 0;
        }
        if (opt == "--socket" && i + 1 == argc) {
            fprintf(stderr, "vexctl: --socket needs trace, control or a path\n");
            return EXIT_USAGE;
        }
        if (opt == "--socket") {
            const std::string_view which = argv[++i];
            socket_path = which == "trace" ? VEXD_TRC_SOCKET
                          : which == "control" ? VEXD_CTRL_SOCKET
                                               : argv[i];
            continue;
        }
        fprintf(stderr, "vexctl: unknown option %s\n", argv[i]);
        usage(stderr);
        return EXIT_USAGE;
    }
    if (i >= argc) {
        usage(stderr);
        return EXIT_USAGE;
    }

    const command *cmd = nullptr;
    for (const command &c : commands) {
        if (c.name == argv[i]) cmd = &c;
    }
    const int nargs = argc - i - 1;
    const char *arg = nargs > 0 ? argv[i + 1] : nullptr;
    const int max_args = cmd == nullptr || cmd->arg == command::NONE ? 0 : 1;
    const int min_args = cmd != nullptr && cmd->arg == command::TEXT ? 1 : 0;
    if (cmd == nullptr || nargs < min_args || nargs > max_args) {
        fprintf(stderr, cmd == nullptr ? "vexctl: unknown command %s\n"
                                       : "vexctl: wrong arguments for %s\n",
                argv[i]);
        usage(stderr);
        return EXIT_USAGE;
    }
    // Text arguments travel with their NUL; they must fit one payload.
    if (arg != nullptr && cmd->arg != command::STREAM && strlen(arg) + 1 > SOCKET_SRV_MAX_PAYLOAD) {
        fprintf(stderr, "vexctl: argument too long (at most %d bytes)\n", SOCKET_SRV_MAX_PAYLOAD - 1);
        return EXIT_USAGE;
    }

    struct sockaddr_un addr {};
    addr.sun_family = AF_UNIX;
    if (strlen(socket_path) >= sizeof addr.sun_path) {
        fprintf(stderr, "vexctl: socket path too long: %s\n", socket_path);
        return EXIT_USAGE;
    }
    strcpy(addr.sun_path, socket_path);
    connection sock;
    sock.fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (sock.fd < 0 || connect(sock.fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) != 0) {
        fprintf(stderr, "vexctl: cannot reach vexd at %s: %s (is the daemon running?)\n",
                socket_path, strerror(errno));
        return EXIT_NO_DAEMON;
    }

    if (cmd->arg == command::STREAM) return stream(sock.fd, socket_path, *cmd, arg);

    // Texts travel with their NUL. Without a filter rm-logs sends the empty
    // text (every qmdl file); archive without a path sends nothing (the default).
    std::string payload;
    if (arg != nullptr || cmd->code == CMD_DIAG_RM_LOGS) {
        payload.assign(arg != nullptr ? arg : "");
        payload.push_back('\0');
    }
    int16_t status = 0;
    std::string text;
    errno = 0;
    if (!transact(sock.fd, cmd->code, reinterpret_cast<const uint8_t *>(payload.data()),
                  payload.size(), &status, &text)) {
        return lost(socket_path);
    }
    if (cmd->code == CMD_ARCHIVE) printf("%s\n", text.c_str());
    return report(cmd->name, status);
}
