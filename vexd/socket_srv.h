// Control sockets: one thread per socket serving the framed command protocol
// of socket_proto.h.
#pragma once

#include "socket_proto.h"

#include <cstdint>

// Starts the two socket threads. Result as main() expects: the two
// pthread_create results ORed (0 when both started).
int32_t socket_srv_init(void);
int32_t socket_srv_listen(const char *path);
// Thread body serving the socket at `path` (a text that outlives the thread).
void *socket_srv_thread(void *path);
// Runs the command of the request frame and fills the response frame. Both
// are SOCKET_SRV_BUF_LEN-byte buffers; a request whose length is above
// SOCKET_SRV_MAX_PAYLOAD (its payload discarded) is answered with -1.
void parse_resp(uint8_t *request, uint8_t *response);
