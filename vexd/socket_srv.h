// Control sockets and their framed command protocol.
//
// Request frame: code (int16 LE), length (uint16 LE), `length` payload bytes.
// Response frame: status (int16 LE), length (uint16 LE), payload (only the
// archive path after CMD_ARCHIVE, NUL included).
#pragma once

#include <cstdint>

enum vexd_cmd_t : int16_t {
    CMD_PING = 0,
    CMD_ARCHIVE = 1,
    CMD_DIAG_ON = 2,
    CMD_DIAG_OFF = 3,
    CMD_DIAG_SET_MASK = 4,
    CMD_DIAG_RM_LOGS = 5,
    CMD_TRC_WRITE = 6,
    CMD_TRC_ENABLE = 7,
    CMD_TRC_DISABLE = 8,
};

constexpr const char *VEXD_TRC_SOCKET = "/system/vexd_trc_socket";
constexpr const char *VEXD_CTRL_SOCKET = "/system/vexd_ctrl_socket";
constexpr int SOCKET_SRV_HDR_LEN = 4;
constexpr int SOCKET_SRV_MAX_PAYLOAD = 4096;
constexpr int SOCKET_SRV_BUF_LEN = SOCKET_SRV_HDR_LEN + SOCKET_SRV_MAX_PAYLOAD;  // 4100

int32_t socket_srv_init(void);
int32_t socket_srv_listen(const char *path);
// Thread body serving the socket at `path` (a text that outlives the thread).
void *socket_srv_thread(void *path);
// Runs the command of the request frame and fills the response frame. Both
// are SOCKET_SRV_BUF_LEN-byte buffers; a request whose length is above
// SOCKET_SRV_MAX_PAYLOAD (its payload discarded) is answered with -1.
void parse_resp(uint8_t *request, uint8_t *response);
