"""Control sockets in the simulated handset, driven byte by byte from the host."""
import os
import re
import socket
import time
import unittest

import handset
import socket_proto
from socket_proto import (PING, ARCHIVE, DIAG_ON, DIAG_OFF, SET_MASK, RM_LOGS, TRC_WRITE, TRC_ENABLE,
                          TRC_DISABLE, frame, header, recv_exact)

OK = b'\x00\x00\x00\x00'
FAILED = b'\xff\xff\x00\x00'
UNKNOWN = b'\xfe\xff\x00\x00'


class Client:
    """A raw connection to one of the daemon's sockets."""

    def __init__(self, path, timeout=60):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.settimeout(timeout)
        deadline = time.monotonic() + 30
        while True:
            try:
                self.sock.connect(path)
                return
            except OSError:
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.1)

    def send(self, data):
        self.sock.sendall(data)

    def recv(self, n):
        return recv_exact(self.sock, n)

    def response(self):
        """The next response frame as raw bytes."""
        head = self.recv(4)
        return head + self.recv(header(head)[1])

    def request(self, code, payload=b''):
        self.send(frame(code, payload))
        return self.response()

    def quiet(self, seconds):
        """True when nothing arrives within `seconds`."""
        self.sock.settimeout(seconds)
        try:
            self.sock.recv(1, socket.MSG_PEEK)
            return False
        except socket.timeout:
            return True
        finally:
            self.sock.settimeout(60)

    def close(self):
        self.sock.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def start_handset(name, **kwargs):
    """A running handset whose control socket answers a ping."""
    handset.require()
    h = handset.started(name, **kwargs)
    try:
        with Client(os.path.join(h.system_dir, 'vexd_ctrl_socket')) as c:
            if c.request(PING) != OK:
                raise AssertionError('no ping answer from the daemon')
    except BaseException:
        h.stop()
        raise
    return h


class SocketProtocol(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.h = start_handset('sockets')
        cls.ctrl = os.path.join(cls.h.system_dir, 'vexd_ctrl_socket')
        cls.trc = os.path.join(cls.h.system_dir, 'vexd_trc_socket')

    @classmethod
    def tearDownClass(cls):
        cls.h.stop()

    def daemon_log(self):
        return self.h.read_file('/qordebug/vexd_vexdlog.txt').decode(errors='replace')

    def wait_log(self, text, after=0, timeout=20):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            at = self.daemon_log().find(text, after)
            if at >= 0:
                return at
            time.sleep(0.2)
        self.fail('daemon log lacks %r' % text)

    def test_ping_and_unknown_codes_keep_the_connection(self):
        for path in (self.ctrl, self.trc):
            with Client(path) as c:
                self.assertEqual(OK, c.request(PING))
                self.assertEqual(UNKNOWN, c.request(9))
                self.assertEqual(UNKNOWN, c.request(0xFFFF))
                self.assertEqual(UNKNOWN, c.request(0x8000, b'payload'))
                self.assertEqual(OK, c.request(PING))

    def test_split_and_back_to_back_frames(self):
        with Client(self.ctrl) as c:
            c.send(b'\x00')
            self.assertTrue(c.quiet(0.3))
            c.send(b'\x00\x00')
            self.assertTrue(c.quiet(0.3))
            c.send(b'\x00')
            self.assertEqual(OK, c.response())

            req = frame(TRC_ENABLE, b'ignored payload')
            c.send(req[:4])
            self.assertTrue(c.quiet(0.3))
            for b in req[4:]:
                c.send(bytes([b]))
            self.assertEqual(OK, c.response())

            # Five requests in one write, answered in order, one frame each.
            c.send(frame(PING) + frame(9, b'x') + frame(TRC_WRITE, b'abc') +
                   frame(0xFFFF) + frame(TRC_DISABLE, b'ignored'))
            self.assertEqual(OK + UNKNOWN + OK + UNKNOWN + OK, c.recv(20))
            self.assertTrue(c.quiet(0.3))

    def test_trace_write_bytes_reach_the_trace_log(self):
        with Client(self.ctrl) as c:
            self.assertEqual(OK, c.request(TRC_ENABLE, b'junk'))
            c.send(bytes.fromhex('06000300616263'))
            self.assertEqual(OK, c.response())
            self.assertTrue(self.h.read_file('/qordebug/vexd_trclog.txt').endswith(b'abc'))
            c.send(frame(TRC_WRITE, b'a\x00b\n'))
            self.assertEqual(OK, c.response())
            self.assertTrue(self.h.read_file('/qordebug/vexd_trclog.txt').endswith(b'abca\x00b\n'))
            self.assertEqual(OK, c.request(TRC_DISABLE, b'junk'))

    def test_diag_commands(self):
        handset.require_diag()
        with Client(self.ctrl) as c:
            c.send(bytes.fromhex('0200040061626300'))
            self.assertEqual(OK, c.response())
            self.assertEqual(FAILED, c.request(DIAG_ON, b'abc\x00'))  # already recording
            self.assertEqual(OK, c.request(DIAG_OFF, b'ignored'))
            listing = self.h.exec(['ls', '/qordebug/diag_logs']).stdout.decode()
            self.assertRegex(listing, r'dl_abc_\d+\.qmdl')
            # Text without its NUL ends at the received length.
            self.assertEqual(FAILED, c.request(SET_MASK, b'/system/etc/no_such_mask.cfg'))
            self.assertEqual(OK, c.request(SET_MASK, b'/system/etc/diagmask.cfg'))
            self.assertEqual(OK, c.request(RM_LOGS, b'abc'))
            self.assertEqual(OK, c.request(RM_LOGS))  # empty filter: every qmdl file
            listing = self.h.exec(['ls', '/qordebug/diag_logs']).stdout.decode()
            self.assertNotIn('.qmdl', listing)

    def test_overlong_request_is_read_and_refused(self):
        with Client(self.ctrl) as c:
            c.send(frame(TRC_WRITE, b'L' * 5000) + frame(PING))
            self.assertEqual(FAILED + OK, c.recv(8))
            c.send(frame(DIAG_ON, b'Z' * 65535))
            self.assertEqual(FAILED, c.response())
            self.assertEqual(OK, c.request(PING))
        self.assertIn('socket_srv_thread: request of 5000 bytes too long, discarded', self.daemon_log())

    def test_disconnect_without_request(self):
        mark = len(self.daemon_log())
        Client(self.ctrl).close()
        at = self.wait_log('socket_srv_thread: receive error, disconnected, errno', mark)
        self.wait_log('socket_srv_thread: waiting for connection @ /system/vexd_ctrl_socket', at)

    def test_second_client_waits_for_first(self):
        with Client(self.ctrl) as first:
            self.assertEqual(OK, first.request(PING))
            with Client(self.ctrl) as second:
                second.send(frame(PING))
                self.assertTrue(second.quiet(1.0))
                self.assertEqual(OK, first.request(PING))
                first.close()
                self.assertEqual(OK, second.response())

    def test_client_gone_before_its_answer(self):
        for _ in range(3):
            with Client(self.ctrl) as c:
                c.send(frame(ARCHIVE))
        with Client(self.ctrl) as c:
            self.assertEqual(OK, c.request(PING))


class SocketRestart(unittest.TestCase):
    def test_stale_socket_file_is_replaced(self):
        h = start_handset('sockets_restart')
        try:
            h.stop()
            ctrl = os.path.join(h.system_dir, 'vexd_ctrl_socket')
            # Left behind by the last run; make it an ordinary file for good measure.
            if os.path.exists(ctrl):
                os.remove(ctrl)
            with open(ctrl, 'w') as f:
                f.write('stale')
            h.start()
            with Client(ctrl) as c:
                self.assertEqual(OK, c.request(PING))
            with Client(os.path.join(h.system_dir, 'vexd_trc_socket')) as c:
                self.assertEqual(OK, c.request(PING))
        finally:
            h.stop()


class ProtocolTwin(unittest.TestCase):
    def test_python_twin_matches_the_header(self):
        # The Python copy of the command set and frame header agrees with the
        # header that the daemon and vexctl are built from.
        source = os.environ.get('VEXD_SOURCE_DIR',
                                os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', '..'))
        with open(os.path.join(source, 'common', 'socket_proto.h')) as f:
            text = f.read()
        rows = [(sym, int(code), name, arg) for sym, code, name, arg in
                re.findall(r'X\((CMD_\w+), (\d+), "([^"]*)", (\w+), \w+\)', text)]
        self.assertEqual(list(socket_proto.COMMANDS), rows)
        self.assertIn('SOCKET_SRV_HDR_LEN = %d;' % socket_proto.HEADER_LEN, text)


if __name__ == '__main__':
    unittest.main()
