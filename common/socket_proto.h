// The control sockets' protocol, as both ends build and read it: the
// daemon's socket threads, vexctl and the tests. It needs nothing of the
// daemon; tests/e2e/socket_proto.py is its Python twin, checked against it.
//
// Request frame: code (int16 LE), length (uint16 LE), `length` payload bytes.
// Response frame: status (int16 LE), length (uint16 LE), payload (only the
// archive path after CMD_ARCHIVE, NUL included).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

constexpr const char *VEXD_TRC_SOCKET = "/system/vexd_trc_socket";
constexpr const char *VEXD_CTRL_SOCKET = "/system/vexd_ctrl_socket";
constexpr int SOCKET_SRV_HDR_LEN = 4;
constexpr int SOCKET_SRV_MAX_PAYLOAD = 4096;
constexpr int SOCKET_SRV_BUF_LEN = SOCKET_SRV_HDR_LEN + SOCKET_SRV_MAX_PAYLOAD;  // 4100

// How a command takes its payload:
//   none      no argument; a payload sent with it is read and ignored
//   text      a text, ended by the frame's length or by a NUL in it; an
//             empty payload is the empty text
//   opt_text  the same, but an empty payload is no argument at all; the
//             handler answers with a text, sent back with its NUL
//   bytes     the payload bytes and their count, as they came
enum class socket_arg { none, text, opt_text, bytes };

// The command set, one row per command: enum name, code, name (vexctl's
// subcommand), argument kind, and the daemon function that serves it. The
// handler is only a name here: the daemon's dispatch alone expands it.
#define SOCKET_COMMANDS(X)                                                                                   \
    X(CMD_PING, 0, "ping", none, socket_srv_ping)                                                            \
    X(CMD_ARCHIVE, 1, "archive", opt_text, vexd_archive_all)                                                 \
    X(CMD_DIAG_ON, 2, "diag-on", text, diaglog_on)                                                           \
    X(CMD_DIAG_OFF, 3, "diag-off", none, diaglog_off)                                                        \
    X(CMD_DIAG_SET_MASK, 4, "set-mask", text, diaglog_setmaskfile)                                           \
    X(CMD_DIAG_RM_LOGS, 5, "rm-logs", text, diaglog_rmlogfile)                                               \
    X(CMD_TRC_WRITE, 6, "trace-write", bytes, trclog_srv_write)                                              \
    X(CMD_TRC_ENABLE, 7, "trace-enable", none, trclog_srv_enable)                                            \
    X(CMD_TRC_DISABLE, 8, "trace-disable", none, trclog_srv_disable)

enum vexd_cmd_t : int16_t {
#define SOCKET_CMD_ENUM(sym, code, name, arg, handler) sym = code,
    SOCKET_COMMANDS(SOCKET_CMD_ENUM)
#undef SOCKET_CMD_ENUM
};

struct socket_cmd_info {
    int16_t code;
    std::string_view name;
    socket_arg arg;
};

constexpr socket_cmd_info socket_cmds[] = {
#define SOCKET_CMD_INFO(sym, code, name, arg, handler) {sym, name, socket_arg::arg},
    SOCKET_COMMANDS(SOCKET_CMD_INFO)
#undef SOCKET_CMD_INFO
};

// The entry of `code`, or nullptr for a code the daemon does not know.
constexpr const socket_cmd_info *socket_cmd_find(int16_t code)
{
    for (const socket_cmd_info &c : socket_cmds)
        if (c.code == code) return &c;
    return nullptr;
}

constexpr uint16_t get_u16(const uint8_t *p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

constexpr void put_u16(uint8_t *p, uint16_t v)
{
    p[0] = static_cast<uint8_t>(v & 0xFF);
    p[1] = static_cast<uint8_t>(v >> 8);
}

// The header of a frame: code (or status) and the payload length it states.
constexpr void socket_put_header(uint8_t *frame, uint16_t code, uint16_t len)
{
    put_u16(frame, code);
    put_u16(frame + 2, len);
}

// A whole frame into `frame` (room for SOCKET_SRV_HDR_LEN + len bytes);
// returns its length.
inline size_t socket_encode_frame(uint8_t *frame, uint16_t code, const void *payload, uint16_t len)
{
    socket_put_header(frame, code, len);
    if (len > 0) memcpy(frame + SOCKET_SRV_HDR_LEN, payload, len);
    return SOCKET_SRV_HDR_LEN + static_cast<size_t>(len);
}
