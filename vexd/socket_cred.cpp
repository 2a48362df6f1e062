// Peer credential check of the control sockets.
#include "socket_cred.h"

#include <sys/socket.h>

#include <array>
#include <cerrno>

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

}  // namespace

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
    if (socket_cred_allowed(static_cast<uint32_t>(cred.uid), static_cast<uint32_t>(cred.gid))) return 0;
    vexd_printf("socket_srv_thread: client uid %u pid %d not allowed, closed\n",
                static_cast<unsigned>(cred.uid), static_cast<int>(cred.pid));
    return -1;
}
