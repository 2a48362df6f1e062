// vexctl: sends one command to vexd over a control socket and reports the
// status (see vexctl.h). This unit reads the command line and runs it.
#include "client.h"
#include "socket_proto.h"
#include "unique_fd.h"
#include "vexctl.h"

#include <getopt.h>
#include <sys/un.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#ifndef VEXCTL_VERSION
#define VEXCTL_VERSION "dev"
#endif

namespace vexctl {

namespace {

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

// Fills `inv` from the options before the command; -1 when the command is
// next, else the exit status.
int parse_options(int argc, char **argv, invocation *inv)
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
    return -1;
}

// Fills `inv` from the command and its argument, from argv[optind] on; -1
// when the command is to run, else the exit status.
int parse_command(int argc, char **argv, invocation *inv)
{
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

// Fills `inv` from the command line; -1 when the command is to run, else the exit status.
int parse_command_line(int argc, char **argv, invocation *inv)
{
    const int rc = parse_options(argc, argv, inv);
    return rc >= 0 ? rc : parse_command(argc, argv, inv);
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

}  // namespace vexctl

int main(int argc, char **argv)
{
    vexctl::invocation inv;
    const int rc = vexctl::parse_command_line(argc, argv, &inv);
    return rc >= 0 ? rc : vexctl::run(inv);
}
