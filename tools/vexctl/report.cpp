// vexctl's reports of failures: the likely reasons, where the daemon's own
// log is and what it wrote since the command was sent, and where a file the
// daemon wrote is seen from here.
#include "socket_view.h"
#include "unique_fd.h"
#include "vexctl.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

namespace vexctl {

namespace {

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

}  // namespace

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

int report(const command &c, int16_t status, const char *socket_path, const char *arg, const char *outcome)
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

}  // namespace vexctl
