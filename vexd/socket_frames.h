// The socket threads' framing of one connection: a whole request frame in,
// a whole response frame out (parse_resp of socket_srv.h runs it between).
// Only the daemon's socket threads and the fuzz target use these.
#pragma once

#include "socket_proto.h"

#include <cstdint>

// Receives one whole request frame into `request`, a SOCKET_SRV_BUF_LEN-byte
// buffer: header, then payload, the rest of the frame within a fixed time of
// its first byte. A payload over SOCKET_SRV_MAX_PAYLOAD is read and dropped;
// the header keeps its length. false, after a daemon log line, when the peer
// closed, the receive failed or the frame's time ran out.
bool recv_request(int fd, uint8_t *request);
// Sends the whole response frame: its header and the payload length it
// states. false, after a daemon log line, when the send failed.
bool send_response(int fd, const uint8_t *response);
