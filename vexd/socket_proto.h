// Frames of the control sockets, as both ends build and read them: the
// daemon's socket threads, vexctl and the tests.
//
// A frame is a 4-byte header, code or status (int16 LE) then payload length
// (uint16 LE), followed by the payload.
#pragma once

#include "socket_srv.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

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

// The commands the daemon serves. `text`: the payload is a text argument,
// ended by the frame's length or by a NUL in it.
struct socket_cmd_info {
    int16_t code;
    std::string_view name;
    bool text;
};

constexpr socket_cmd_info socket_cmds[] = {
    {CMD_PING, "ping", false},
    {CMD_ARCHIVE, "archive", true},
    {CMD_DIAG_ON, "diag-on", true},
    {CMD_DIAG_OFF, "diag-off", false},
    {CMD_DIAG_SET_MASK, "set-mask", true},
    {CMD_DIAG_RM_LOGS, "rm-logs", true},
    {CMD_TRC_WRITE, "trace-write", false},
    {CMD_TRC_ENABLE, "trace-enable", false},
    {CMD_TRC_DISABLE, "trace-disable", false},
};

// The entry of `code`, or nullptr for a code the daemon does not know.
constexpr const socket_cmd_info *socket_cmd_find(int16_t code)
{
    for (const socket_cmd_info &c : socket_cmds)
        if (c.code == code) return &c;
    return nullptr;
}
