"""Frames of the daemon's control sockets, for the tests and the benchmarks.

A frame is a header, code or status (int16 LE) then payload length
(uint16 LE), followed by the payload.
"""
import struct

PING, ARCHIVE, DIAG_ON, DIAG_OFF, SET_MASK, RM_LOGS, TRC_WRITE, TRC_ENABLE, TRC_DISABLE = range(9)
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
