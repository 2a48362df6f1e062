// Peer credential check of the control sockets.
#include "socket_cred.h"

#include <fcntl.h>
#include <sys/socket.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "full_io.h"
#include "unique_fd.h"
#include "vexd.h"

namespace {

// Android's fixed ids.
constexpr uint32_t AID_ROOT = 0;
constexpr uint32_t AID_SYSTEM = 1000;
constexpr uint32_t AID_LOG = 1007;
constexpr uint32_t AID_SHELL = 2000;

constexpr std::array<uint32_t, 4> allowed_uids = {AID_ROOT, AID_SYSTEM, AID_LOG, AID_SHELL};
constexpr std::array<uint32_t, 2> allowed_gids = {AID_SYSTEM, AID_LOG};

constexpr bool listed(const uint32_t *first, const uint32_t *last, uint32_t id)
{
    for (; first != last; ++first)
        if (*first == id) return true;
    return false;
}

// The supplementary groups of a connected client. Kernels of the handset's
// era have no SO_PEERGROUPS, so, as the platform's own log daemon does, they
// are read from /proc/<pid>/status, and only while its effective uid is still
// the one the socket recorded (a pid may be reused once the client is gone).
bool groups_allowed(pid_t pid, uint32_t uid)
{
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/status", static_cast<int>(pid));
    const unique_fd fd(open(path, O_RDONLY | O_CLOEXEC));
    if (!fd.ok()) return false;
    char text[4096];
    const ssize_t n = full_read(fd.get(), text, sizeof text - 1);
    if (n <= 0) return false;
    text[n] = '\0';
    return socket_cred_status_allows(text, uid);
}

}  // namespace

bool socket_cred_status_allows(const char *status, uint32_t uid)
{
    bool uid_matches = false, group_allowed = false;
    for (const char *line = status; line != nullptr && *line != '\0';) {
        const char *next = strchr(line, '\n');
        if (strncmp(line, "Uid:", 4) == 0) {
            // "Uid: real effective saved fs": SO_PEERCRED records the effective one.
            char *real_end = nullptr, *end = nullptr;
            strtoul(line + 4, &real_end, 10);
            const unsigned long effective = strtoul(real_end, &end, 10);
            uid_matches = real_end != line + 4 && end != real_end && effective == uid;
        } else if (strncmp(line, "Groups:", 7) == 0) {
            const char *p = line + 7;
            for (;;) {
                char *end = nullptr;
                const unsigned long gid = strtoul(p, &end, 10);
                if (end == p || (next != nullptr && end > next)) break;
                if (gid <= UINT32_MAX && listed(allowed_gids.begin(), allowed_gids.end(), static_cast<uint32_t>(gid)))
                    group_allowed = true;
                p = end;
            }
        }
        line = next != nullptr ? next + 1 : nullptr;
    }
    return uid_matches && group_allowed;
}

bool socket_cred_allowed(uint32_t uid, uint32_t gid)
{
    return listed(allowed_uids.begin(), allowed_uids.end(), uid) ||
           listed(allowed_gids.begin(), allowed_gids.end(), gid);
}

int32_t socket_cred_check(int fd)
{
    struct ucred cred {};
    socklen_t len = sizeof cred;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || len != sizeof cred) {
        vexd_printf("socket_srv_thread: peer credentials unreadable, errno %d, client closed\n", errno);
        return -1;
    }
    if (socket_cred_allowed(static_cast<uint32_t>(cred.uid), static_cast<uint32_t>(cred.gid)) ||
        groups_allowed(cred.pid, static_cast<uint32_t>(cred.uid)))
        return 0;
    vexd_printf("socket_srv_thread: client uid %u pid %d not allowed, closed\n",
                static_cast<unsigned>(cred.uid), static_cast<int>(cred.pid));
    return -1;
}
