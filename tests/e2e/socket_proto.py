"""Frames of the daemon's control sockets, for the tests and the benchmarks.

A frame is a header, code or status (int16 LE) then payload length
(uint16 LE), followed by the payload.
"""
import struct

# The command set as common/socket_proto.h has it, one row per command: enum
# name, code, name, argument kind (test_sockets checks the two agree).
COMMANDS = (
    ('CMD_PING', 0, 'ping', 'none'),
    ('CMD_ARCHIVE', 1, 'archive', 'opt_text'),
    ('CMD_DIAG_ON', 2, 'diag-on', 'text'),
    ('CMD_DIAG_OFF', 3, 'diag-off', 'none'),
    ('CMD_DIAG_SET_MASK', 4, 'set-mask', 'text'),
    ('CMD_DIAG_RM_LOGS', 5, 'rm-logs', 'text'),
    ('CMD_TRC_WRITE', 6, 'trace-write', 'bytes'),
    ('CMD_TRC_ENABLE', 7, 'trace-enable', 'none'),
    ('CMD_TRC_DISABLE', 8, 'trace-disable', 'none'),
)
PING, ARCHIVE, DIAG_ON, DIAG_OFF, SET_MASK, RM_LOGS, TRC_WRITE, TRC_ENABLE, TRC_DISABLE = (c[1] for c in COMMANDS)
HEADER_LEN = 4


def frame(code, payload=b'', length=None):
    """A request frame; `length` may disagree with the payload on purpose."""
    if length is None:
        length = len(payload)
    return struct.pack('<HH', code & 0xFFFF, length) + payload


def header(head):
    """(status, payload length) of a response header."""
    return struct.unpack('<hH', head)


def recv_exact(sock, n):
    """Exactly `n` bytes from a connected socket; EOFError when it closes first."""
    data = b''
    while len(data) < n:
        chunk = sock.recv(n - len(data))
        if not chunk:
            raise EOFError('connection closed after %r' % data)
        data += chunk
    return data


def call(sock, code, payload=b''):
    """Sends one request on a connected socket; the response's status and payload."""
    sock.sendall(frame(code, payload))
    status, length = header(recv_exact(sock, HEADER_LEN))
    return status, recv_exact(sock, length)
