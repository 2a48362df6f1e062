// Who may drive the daemon through its sockets.
//
// A client is judged by the credentials the kernel recorded when it
// connected (SO_PEERCRED), never by the socket files' permissions.
#pragma once

#include <cstdint>
#include <sys/types.h>

// true when a process with this effective uid and gid may send commands:
// the uids root, system, log and shell, or any process whose group is
// system or log.
bool socket_cred_allowed(uint32_t uid, uint32_t gid);

// true when a /proc/<pid>/status text shows the real uid `uid` and lists
// system or log among the supplementary groups ("Groups:").
bool socket_cred_status_allows(const char *status, uint32_t uid);

// Judges the peer of the accepted connection `fd` by its uid and gid, then by
// its supplementary groups while it is still there. 0 when it is served; -1,
// after one daemon log line naming its uid and pid, when it must be closed
// (also when its credentials cannot be read).
int32_t socket_cred_check(int fd);
