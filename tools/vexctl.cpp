// vexctl: sends one command to vexd over a control socket and reports the
// status. Exit status 0 when the daemon answered 0, 1 when it answered
// anything else, 2 for a usage error, 3 when the daemon cannot be reached,
// 4 when it did not answer in time.
#include "full_io.h"
#include "monotonic.h"
#include "socket_proto.h"
#include "socket_view.h"
#include "unique_fd.h"

#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#ifndef VEXCTL_VERSION
#define VEXCTL_VERSION "dev"
#endif

namespace {

constexpr int EXIT_STATUS = 1;
constexpr int EXIT_USAGE = 2;
constexpr int EXIT_NO_DAEMON = 3;
constexpr int EXIT_TIMEOUT = 4;

// Waits for the connection and for each answer; commands that may take
// seconds on a healthy daemon (packing the log directory, waiting for the
// diag reader to end) get the long one.
constexpr double DEFAULT_TIMEOUT_S = 10;
constexpr double LONG_TIMEOUT_S = 120;
constexpr double STATUS_TIMEOUT_S = 3;

constexpr int16_t CMD_NONE = -1;  // local commands: no frame of their own

struct command {
    std::string_view name;
    int16_t code;
    enum { NONE, TEXT, OPT_TEXT, STREAM } arg;
    std::string_view args;
    std::string_view help;
    bool slow;
    // Likely reasons for a status of -1, in words.
    std::string_view why;
};

// One of the daemon's commands: its name and the kind of its argument come
// from the protocol's table; an argument shown in brackets may be left out.
constexpr command daemon_cmd(int16_t code, std::string_view args, std::string_view help, bool slow,
                             std::string_view why)
{
    const socket_cmd_info *c = socket_cmd_find(code);
    const auto arg = c->arg == socket_arg::none    ? command::NONE
                     : c->arg == socket_arg::bytes ? command::STREAM
                     : args.starts_with('[')       ? command::OPT_TEXT
                                                   : command::TEXT;
    return {c->name, code, arg, args, help, slow, why};
}

constexpr command commands[] = {
    daemon_cmd(CMD_PING, "", "check that the daemon answers", false, ""),
    {"status", CMD_NONE, command::NONE, "", "ping both sockets; say which answer and how fast", false, ""},
    daemon_cmd(CMD_ARCHIVE, "[PATH]", "pack the log directory into a ZIP file (PATH absolute, *.zip)", true,
               "the ZIP file could not be written: PATH must be absolute and its folder must exist and be\n"
               "writable on the daemon's side; the log directory's file system may be full, or a file\n"
               "vanished while it was being packed"),
    daemon_cmd(CMD_DIAG_ON, "NAME", "start modem logging into dl_NAME_<count>.qmdl", false,
               "modem logging is already on (diag-off first), NAME holds a '/' or is too long (its\n"
               "qmdl and .qmdl.gz paths must fit 255 characters),\n"
               "/dev/diag cannot be opened, the device refused the switch to memory-device mode,\n"
               "or the mask file (set-mask) cannot be read"),
    daemon_cmd(CMD_DIAG_OFF, "", "stop modem logging", true,
               "/dev/diag cannot be opened, or the device refused to stop logging"),
    daemon_cmd(CMD_DIAG_SET_MASK, "PATH", "choose the diag mask file", false,
               "the daemon cannot open PATH (it is still kept for the next diag-on). PATH is opened\n"
               "by the daemon in its own file system, not the caller's: on the handset, e.g.\n"
               "/system/etc/diagmask.cfg; PATH is not a regular file of at most 1 MiB; or PATH is too long"),
    daemon_cmd(CMD_DIAG_RM_LOGS, "[FILTER]", "delete qmdl files (all without FILTER)", false,
               "the diag directory (diag_logs in the log directory) cannot be opened, for instance\n"
               "before the first recording, or a qmdl file could not be removed"),
    daemon_cmd(CMD_TRC_ENABLE, "", "enable the trace log", false, ""),
    daemon_cmd(CMD_TRC_WRITE, "[FILE]", "send FILE (or stdin) to the trace log", false,
               "the trace log is not enabled (trace-enable first), or its text file could not be\n"
               "reopened after a rotation"),
    daemon_cmd(CMD_TRC_DISABLE, "", "disable the trace log", false, ""),
};

// Every command of the daemon is offered, once.
constexpr bool commands_cover_daemon()
{
    for (const socket_cmd_info &d : socket_cmds) {
        int n = 0;
        for (const command &c : commands) n += c.code == d.code;
        if (n != 1) return false;
    }
    return true;
}
static_assert(commands_cover_daemon());

void usage(FILE *out)
{
    fprintf(out,
            "usage: vexctl [-s|--socket trace|control|PATH] [--timeout SECONDS] COMMAND [ARG]\n"
            "       vexctl -h|--help | help | --version\n"
            "\n"
            "Sends COMMAND to vexd over a control socket: control (%s,\n"
            "the default), trace (%s) or PATH. Each socket serves one\n"
            "client at a time; the other one can be used meanwhile.\n"
            "\n"
            "--timeout SECONDS  how long to wait for the connection and for each answer\n"
            "                   (default %g s; %g s for archive and diag-off; 0 waits for ever)\n"
            "\n"
            "Exit status: 0 the daemon answered 0; 1 it answered another status (the\n"
            "likely reasons are printed; the daemon's own log is vexd_vexdlog.txt in\n"
            "/qordebug, or in /system when it has no log partition); 2 usage error;\n"
            "3 daemon not reachable; 4 no answer within the timeout.\n"
            "status: 0 both sockets answer; 4 one is busy (another client holds it, or\n"
            "the daemon is stuck); 3 one or both cannot be reached (3 wins over 4).\n"
            "archive prints the archive's path only when it was written.\n"
            "\n"
            "commands:\n",
            VEXD_CTRL_SOCKET, VEXD_TRC_SOCKET, DEFAULT_TIMEOUT_S, LONG_TIMEOUT_S);
    for (const command &c : commands) {
        fprintf(out, "  %-14.*s %-9.*s %.*s\n", (int)c.name.size(), c.name.data(), (int)c.args.size(),
                c.args.data(), (int)c.help.size(), c.help.data());
    }
    fprintf(out, "\n"
                 "Paths (archive, set-mask) are the daemon's own: from outside its file system,\n"
                 "name them as the daemon sees them. A socket PATH outside /system is taken to be\n"
                 "in the folder where the daemon's /system is seen from here: with\n"
                 "-s DIR/vexd_ctrl_socket, a file the daemon writes as /system/X is DIR/X\n"
                 "(vexctl -s DIR/vexd_ctrl_socket archive /system/logs.zip: DIR/logs.zip).\n");
}

// ---------------------------------------------------------------- time

// A point in time by which an exchange must be done; 0 s waits for ever.
struct deadline {
    int64_t at_ms = -1;
    double seconds = 0;

    explicit deadline(double s) : seconds(s)
    {
        if (s > 0) at_ms = monotonic_ms() + static_cast<int64_t>(s * 1000 + 0.5);
    }
    // Milliseconds left for poll(): -1 for ever, 0 when passed.
    int left() const
    {
        if (at_ms < 0) return -1;
        const int64_t l = at_ms - monotonic_ms();
        return l <= 0 ? 0 : l > INT32_MAX ? INT32_MAX : static_cast<int>(l);
    }
};

// ---------------------------------------------------------------- socket

enum io_result { IO_OK, IO_LOST, IO_TIMEOUT };

// Waits until fd is ready for `events` or the deadline passes.
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

// The socket is non-blocking: a transfer that would block waits for the
// socket within the deadline; a wait that fails ends the transfer with its
// result (IO_TIMEOUT or IO_LOST), any other failure is IO_LOST.
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

// Connects without blocking past the deadline: a listener whose backlog is
// full refuses with EAGAIN until the daemon accepts someone.
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

// Sends one request and reads its response; `status` and `text` hold the
// response when the result is IO_OK.
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

// ---------------------------------------------------------------- reports

// The daemon's log as the caller sees it, and its size when the command was
// sent: a failure shows the lines written since.
struct log_mark {
    std::string path;
    int64_t size = -1;
};
log_mark daemon_log;

bool is_file(const std::string &path)
{
    struct stat sb {};
    return stat(path.c_str(), &sb) == 0 && S_ISREG(sb.st_mode);
}

void mark_daemon_log(const char *socket_path)
{
    for (const std::string &c : socket_view_daemon_log(socket_path)) {
        struct stat sb {};
        if (stat(c.c_str(), &sb) == 0 && S_ISREG(sb.st_mode)) {
            daemon_log.path = c;
            daemon_log.size = static_cast<int64_t>(sb.st_size);
            return;
        }
    }
}

// Prints the daemon log's lines written since the mark (at most the last
// `want`), indented. A log rotated meanwhile is shown from its new start.
void print_since(const log_mark &m, int want)
{
    const unique_fd fd(open(m.path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.ok()) return;
    char buf[4096];
    const off_t size = lseek(fd.get(), 0, SEEK_END);
    off_t since = m.size >= 0 && m.size <= size ? static_cast<off_t>(m.size) : 0;
    const off_t from =
        size - since > static_cast<off_t>(sizeof buf) ? size - static_cast<off_t>(sizeof buf) : since;
    const ssize_t n = size > from ? pread(fd.get(), buf, static_cast<size_t>(size - from), from) : 0;
    if (n <= 0) {
        fprintf(stderr, "vexctl: it wrote no line since the command was sent\n");
        return;
    }
    std::string_view text(buf, static_cast<size_t>(n));
    if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
    size_t start = text.size();
    for (int i = 0; i < want && start > 0; i++) {
        const size_t nl = start >= 2 ? text.rfind('\n', start - 2) : std::string_view::npos;
        start = nl == std::string_view::npos ? 0 : nl + 1;
    }
    if (start == 0 && from > since) {  // the first line may be cut: drop it
        const size_t nl = text.find('\n');
        start = nl == std::string_view::npos ? text.size() : nl + 1;
    }
    text.remove_prefix(start);
    fprintf(stderr, "vexctl: its lines since the command was sent:\n");
    while (!text.empty()) {
        const size_t nl = text.find('\n');
        const std::string_view line = text.substr(0, nl);
        fprintf(stderr, "    %.*s\n", (int)line.size(), line.data());
        if (nl == std::string_view::npos) break;
        text.remove_prefix(nl + 1);
    }
}

// Says where the daemon's own log is, and shows what it wrote about the command.
void point_to_daemon_log(const char *socket_path)
{
    if (!daemon_log.path.empty() && is_file(daemon_log.path)) {
        fprintf(stderr, "vexctl: the daemon's log is %s\n", daemon_log.path.c_str());
        print_since(daemon_log, 8);
        return;
    }
    for (const std::string &c : socket_view_daemon_log(socket_path)) {
        if (is_file(c)) {  // appeared with this command
            fprintf(stderr, "vexctl: the daemon's log is %s\n", c.c_str());
            print_since(log_mark{c, 0}, 8);
            return;
        }
    }
    fprintf(
        stderr,
        "vexctl: the daemon's log is /qordebug/vexd_vexdlog.txt on the handset (/system/vexd_vexdlog.txt\n"
        "        without a log partition)\n");
}

int report(const command &c, int16_t status, const char *socket_path, const char *arg,
           const char *outcome = nullptr)
{
    if (status == 0) return 0;
    fprintf(stderr, "vexctl: %.*s: status %d\n", (int)c.name.size(), c.name.data(), status);
    if (outcome != nullptr) fprintf(stderr, "vexctl: %s\n", outcome);
    if (status == -2) {
        fprintf(stderr, "vexctl: the daemon does not know this command\n");
    } else if (!c.why.empty()) {
        fputs("vexctl: likely reasons: ", stderr);
        for (const char ch : c.why) {
            fputc(ch, stderr);
            if (ch == '\n') fputs("        ", stderr);
        }
        fputc('\n', stderr);
    } else {
        fprintf(stderr, "vexctl: the daemon refused the command\n");
    }
    // A caller's own path was probably meant as the daemon's.
    if (c.code == CMD_DIAG_SET_MASK) {
        const std::string seen = socket_view_daemon_path(socket_path, arg);
        if (!seen.empty()) fprintf(stderr, "vexctl: the daemon would see that file as %s\n", seen.c_str());
    }
    point_to_daemon_log(socket_path);
    return EXIT_STATUS;
}

// Where a file that the daemon wrote is, for a caller outside its file system.
void locate_for_caller(const char *socket_path, const std::string &path)
{
    if (socket_view_inside(socket_path) || path.empty() || path[0] != '/') return;
    std::string host;
    if (socket_view_locate(socket_path, path, &host)) {
        fprintf(stderr, "vexctl: here it is %s\n", host.c_str());
    } else {
        fprintf(stderr,
                "vexctl: %s is inside the daemon's file system and cannot be seen from here; ask for a\n"
                "        path under /system (archive /system/NAME.zip) or copy it out of the handset\n",
                path.c_str());
    }
}

int unreachable(const char *socket_path)
{
    fprintf(stderr, "vexctl: cannot reach vexd at %s: %s (is the daemon running?)\n", socket_path,
            strerror(errno));
    return EXIT_NO_DAEMON;
}

int timed_out(const char *socket_path, std::string_view what, const deadline &d)
{
    fprintf(stderr,
            "vexctl: %.*s: no answer from vexd at %s within %g s.\n"
            "vexctl: the daemon serves one client at a time on each socket: another client may hold\n"
            "        this one (try -s trace or -s control), or the command takes longer (--timeout).\n",
            (int)what.size(), what.data(), socket_path, d.seconds);
    return EXIT_TIMEOUT;
}

int failed(io_result r, const char *socket_path, std::string_view what, const deadline &d)
{
    if (r == IO_TIMEOUT) return timed_out(socket_path, what, d);
    fprintf(stderr, "vexctl: connection to %s lost: %s\n", socket_path,
            errno ? strerror(errno) : "closed by the daemon");
    return EXIT_NO_DAEMON;
}

// Sends a file (or stdin) as trace-write frames of at most one full payload each.
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

// Pings one socket: the exit code it stands for, with a line about it.
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

bool parse_seconds(const char *s, double *out)
{
    char *end = nullptr;
    errno = 0;
    const double v = strtod(s, &end);
    if (errno != 0 || end == s || *end != '\0' || !(v >= 0) || v > 86400.0 * 365) return false;
    *out = v;
    return true;
}

// What the command line asks for.
struct invocation {
    const char *socket_path = VEXD_CTRL_SOCKET;
    bool socket_chosen = false;
    double timeout = -1;  // not given: the command's default
    const command *cmd = nullptr;
    const char *arg = nullptr;
};

// One line saying what is wrong, and where the rest is said.
int usage_error(const char *fmt, const char *what)
{
    fputs("vexctl: ", stderr);
    fprintf(stderr, fmt, what);
    fputs("\nusage: vexctl [-s trace|control|PATH] [--timeout SECONDS] COMMAND [ARG]; "
          "vexctl --help lists the commands\n",
          stderr);
    return EXIT_USAGE;
}

// Fills `inv` from the command line; -1 when the command is to run, else the exit status.
int parse_command_line(int argc, char **argv, invocation *inv)
{
    enum { OPT_TIMEOUT = 1000, OPT_VERSION };
    static const struct option options[] = {
        {"help", no_argument, nullptr, 'h'},
        {"socket", required_argument, nullptr, 's'},
        {"timeout", required_argument, nullptr, OPT_TIMEOUT},
        {"version", no_argument, nullptr, OPT_VERSION},
        {nullptr, 0, nullptr, 0},
    };
    opterr = 0;
    // "+": options end at the command; its argument may begin with '-'.
    for (int c; (c = getopt_long(argc, argv, "+:hs:", options, nullptr)) != -1;) {
        switch (c) {
        case 'h': usage(stdout); return 0;
        case OPT_VERSION: printf("vexctl %s\n", VEXCTL_VERSION); return 0;
        case 's': {
            const std::string_view which = optarg;
            inv->socket_path = which == "trace"     ? VEXD_TRC_SOCKET
                               : which == "control" ? VEXD_CTRL_SOCKET
                                                    : optarg;
            inv->socket_chosen = true;
            break;
        }
        case OPT_TIMEOUT:
            if (!parse_seconds(optarg, &inv->timeout))
                return usage_error("%s", "--timeout needs a number of seconds (0: wait for ever)");
            break;
        case ':':
            if (optopt == OPT_TIMEOUT)
                return usage_error("%s", "--timeout needs a number of seconds (0: wait for ever)");
            return usage_error("%s needs trace, control or a path", argv[optind - 1]);
        default:
            if (optopt != 0) {
                const char opt[] = {'-', static_cast<char>(optopt), '\0'};
                return usage_error("unknown option %s", opt);
            }
            return usage_error("unknown option %s", argv[optind - 1]);
        }
    }
    if (optind >= argc) return usage_error("%s", "no COMMAND given");
    const char *name = argv[optind];
    if (strcmp(name, "help") == 0) {
        usage(stdout);
        return 0;
    }
    for (const command &c : commands) {
        if (c.name == name) inv->cmd = &c;
    }
    if (inv->cmd == nullptr) return usage_error("unknown command %s", name);
    const int nargs = argc - optind - 1;
    inv->arg = nargs > 0 ? argv[optind + 1] : nullptr;
    const command &c = *inv->cmd;
    if (nargs > (c.arg == command::NONE ? 0 : 1))
        return usage_error(c.arg == command::NONE ? "%s takes no argument" : "%s takes one argument", name);
    if (nargs == 0 && c.arg == command::TEXT)
        return usage_error("%s", (std::string(name) + " needs " + std::string(c.args)).c_str());
    // Text arguments travel with their NUL; they must fit one payload.
    if (inv->arg != nullptr && c.arg != command::STREAM && strlen(inv->arg) + 1 > SOCKET_SRV_MAX_PAYLOAD) {
        fprintf(stderr, "vexctl: argument too long (at most %d bytes)\n", SOCKET_SRV_MAX_PAYLOAD - 1);
        return EXIT_USAGE;
    }
    if (strlen(inv->socket_path) >= sizeof(sockaddr_un::sun_path)) {
        fprintf(stderr, "vexctl: socket path too long: %s\n", inv->socket_path);
        return EXIT_USAGE;
    }
    return -1;
}

// Sends the command and reports its answer.
int run(const invocation &inv)
{
    const command &cmd = *inv.cmd;
    const char *socket_path = inv.socket_path;
    if (cmd.code == CMD_NONE)
        return status_all(socket_path, inv.socket_chosen, inv.timeout >= 0 ? inv.timeout : STATUS_TIMEOUT_S);
    const double timeout = inv.timeout >= 0 ? inv.timeout : cmd.slow ? LONG_TIMEOUT_S : DEFAULT_TIMEOUT_S;

    unique_fd sock;
    {
        const deadline d(timeout);
        errno = 0;
        const io_result r = open_socket(socket_path, d, &sock);
        if (r == IO_TIMEOUT) return timed_out(socket_path, "connect", d);
        if (r != IO_OK) return unreachable(socket_path);
    }
    mark_daemon_log(socket_path);

    if (cmd.arg == command::STREAM) return stream(sock.get(), socket_path, cmd, inv.arg, timeout);

    // Texts travel with their NUL. Without a filter rm-logs sends the empty
    // text (every qmdl file); archive without a path sends nothing (the default).
    std::string payload;
    if (inv.arg != nullptr || cmd.code == CMD_DIAG_RM_LOGS) {
        payload.assign(inv.arg != nullptr ? inv.arg : "");
        payload.push_back('\0');
    }
    int16_t status = 0;
    std::string text;
    errno = 0;
    const deadline d(timeout);
    const io_result r = transact(sock.get(), cmd.code, reinterpret_cast<const uint8_t *>(payload.data()),
                                 payload.size(), &status, &text, d);
    if (r != IO_OK) return failed(r, socket_path, cmd.name, d);
    if (cmd.code == CMD_ARCHIVE && status == 0) {
        // Only the path of an archive that was written: scripts take stdout as it.
        printf("%s\n", text.c_str());
        locate_for_caller(socket_path, text);
    }
    const std::string outcome = "no archive was written at " + text;
    return report(cmd, status, socket_path, inv.arg, cmd.code == CMD_ARCHIVE ? outcome.c_str() : nullptr);
}

}  // namespace

int main(int argc, char **argv)
{
    invocation inv;
    const int rc = parse_command_line(argc, argv, &inv);
    return rc >= 0 ? rc : run(inv);
}
