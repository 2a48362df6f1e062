"""Hostile clients against the daemon in the simulated handset: idle and
stalled clients, connection floods, both sockets driving all nine commands
at once, an endless mask file, names and paths that try to leave the log
tree, and clients that may not drive the daemon at all. Throughout, the
daemon keeps answering on both sockets, its descriptor and thread counts
come back to where they started, and nothing outside the log tree (and the
archive paths named) is written or removed.

VEXD_HOSTILE_SECONDS sets how long both sockets are driven at once (default 10).
"""
import os
import random
import socket
import struct
import threading
import time
import unittest

import handset
from collectors import Client, ctrl_path, daemon_log, daemon_pid, sh, trc_path, wait_for
from socket_proto import (COMMANDS, PING, ARCHIVE, DIAG_ON, DIAG_OFF, SET_MASK, RM_LOGS, TRC_WRITE, TRC_ENABLE,
                          TRC_DISABLE)

DRIVE_SECONDS = float(os.environ.get('VEXD_HOSTILE_SECONDS', '10'))
GOOD_MASK = b'/system/etc/diagmask.cfg\x00'


def counts(h):
    pid = daemon_pid(h)
    fds = len(os.listdir('/proc/%d/fd' % pid))
    with open('/proc/%d/status' % pid) as f:
        threads = int([l for l in f if l.startswith('Threads:')][0].split()[1])
    return fds, threads


def snapshot(h):
    """Every path of /system outside the log tree (as the host sees it, so
    the mounted partition is not in it) with its kind, size and mtime. The
    daemon's own files there (sockets, the trace channel's watched files) are
    left out."""
    out = {}
    skip = {'qordebug', 'vexd_ctrl_socket', 'vexd_trc_socket', 'trclog.txt', 'trclog.gz'}
    for root, dirs, files in os.walk(h.system_dir):
        rel = os.path.relpath(root, h.system_dir)
        if rel == '.':
            dirs[:] = [d for d in dirs if d not in skip]
        for name in dirs + files:
            if rel == '.' and name in skip:
                continue
            p = os.path.join(root, name)
            st = os.lstat(p)
            out[os.path.relpath(p, h.system_dir)] = (st.st_mode, st.st_size, st.st_mtime_ns)
    return out


def raw_connect(path):
    s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    s.settimeout(30)
    s.connect(path)
    return s


class Hostile(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        handset.require()
        cls.h = handset.Handset('hostile')
        cls.h.start()
        if not cls.h.wait_kmsg('vexd: daemon startup complete', timeout=60):
            cls.h.stop()
            raise AssertionError('the daemon did not start')
        cls.cases = 0
        # A file outside the log tree that links inside it point at.
        with open(os.path.join(cls.h.system_dir, 'victim.txt'), 'w') as f:
            f.write('keep me\n')
        cls.before = snapshot(cls.h)
        cls.start_counts = counts(cls.h)

    @classmethod
    def tearDownClass(cls):
        print('hostile: %d hostile cases tried' % cls.cases)
        cls.h.stop()

    def answers(self, timeout=15):
        """Both sockets answer a ping within timeout seconds."""
        for path in (ctrl_path(self.h), trc_path(self.h)):
            with Client(path, timeout=timeout) as c:
                self.assertEqual(0, c.status(PING), path)

    def settle(self):
        """Descriptor and thread counts back at their start values."""
        got = []
        ok = wait_for(lambda: got.append(counts(self.h)) or got[-1] == self.start_counts, timeout=20)
        self.assertTrue(ok, 'fds/threads %s, at start %s' % (got[-1], self.start_counts))

    # ------------------------------------------------------------ cases

    def test_1_idle_and_stalled_clients(self):
        # On each socket, a client gone quiet after half a header and one
        # stalled inside a payload; the next client is still served.
        idle = [raw_connect(p) for p in (ctrl_path(self.h), trc_path(self.h))]
        stalled = [raw_connect(p) for p in (ctrl_path(self.h), trc_path(self.h))]
        for s in stalled:
            s.sendall(struct.pack('<hH', TRC_WRITE, 100) + b'only part')
        for s in idle:
            s.sendall(b'\x00')   # half a header
        type(self).cases += 4
        self.answers(timeout=30)
        for s in idle + stalled:
            s.close()
        self.answers()
        self.settle()

    def test_2_connection_flood(self):
        def flood(path):
            for i in range(150):
                try:
                    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
                        s.settimeout(30)
                        s.connect(path)
                        if i % 3 == 0:
                            s.sendall(struct.pack('<hH', PING, 0))
                except OSError:
                    pass   # a full backlog refuses: that is the flood
        threads = [threading.Thread(target=flood, args=(p,)) for p in
                   (ctrl_path(self.h), trc_path(self.h)) * 3]
        for t in threads:
            t.start()
        for t in threads:
            t.join(120)
        type(self).cases += 900
        self.answers()
        self.settle()

    def test_3_both_sockets_all_commands(self):
        rng = random.Random(10)
        names = [b'abc', b'x' * 60, b'../up', b'a/b']
        requests = [
            (PING, b''), (ARCHIVE, b''), (ARCHIVE, b'/qordebug/hostile.zip\x00'),
            (DIAG_ON, b'h1\x00'), (DIAG_OFF, b''), (SET_MASK, GOOD_MASK), (RM_LOGS, b'h1\x00'),
            (RM_LOGS, b'\x00'), (TRC_WRITE, b'hostile trace\n'), (TRC_ENABLE, b''), (TRC_DISABLE, b''),
        ] + [(DIAG_ON, n + b'\x00') for n in names]
        self.assertEqual({c[1] for c in COMMANDS}, {code for code, _ in requests})  # all of them
        errors, done = [], [0]
        deadline = time.monotonic() + DRIVE_SECONDS

        def drive(path, seed):
            r = random.Random(seed)
            try:
                with Client(path, timeout=60) as c:
                    while time.monotonic() < deadline:
                        code, payload = r.choice(requests)
                        c.call(code, payload)
                        done[0] += 1
            except Exception as e:
                errors.append('%s: %r' % (path, e))
        threads = [threading.Thread(target=drive, args=(p, rng.random()))
                   for p in (ctrl_path(self.h), trc_path(self.h))]
        for t in threads:
            t.start()
        for t in threads:
            t.join(DRIVE_SECONDS + 120)
        self.assertEqual([], errors)
        type(self).cases += done[0]
        print('hostile: %d commands on both sockets in %.0f s' % (done[0], DRIVE_SECONDS))
        with Client(ctrl_path(self.h)) as c:
            c.call(DIAG_OFF)
            c.call(TRC_DISABLE)
            c.call(SET_MASK, GOOD_MASK)
        self.answers()
        self.settle()

    def test_7_endless_mask_file(self):
        with Client(ctrl_path(self.h), timeout=60) as c:
            for path in (b'/dev/zero', b'/dev/urandom', b'/proc/self/fd/0', b'/qordebug'):
                c.call(SET_MASK, path + b'\x00')
                t0 = time.monotonic()
                c.call(DIAG_ON, b'endless\x00')
                self.assertLess(time.monotonic() - t0, 30, path)
                c.call(DIAG_OFF)
                type(self).cases += 1
            self.assertEqual(0, c.status(SET_MASK, GOOD_MASK))
        self.answers()
        self.settle()

    def test_5_names_and_paths_leaving_the_tree(self):
        h = self.h
        # Links inside the log tree that point out of it.
        sh(h, 'mkdir -p /qordebug/diag_logs && '
              'ln -sf /system/victim.txt /qordebug/diag_logs/dl_link_1.qmdl && '
              'ln -sf /system /qordebug/diag_logs/sysdir && '
              'ln -sf /system/victim.txt /qordebug/linked.txt')
        names = [b'../x', b'../../system/escape', b'../../../escape', b'/system/escape', b'a/../../b',
                 b'.', b'..', b'sysdir/escape', b'n' * 200, b'n' * 255, b'n' * 1000, b'n' * 4000]
        filters = [b'../', b'../../system', b'/system', b'..', b'*', b'victim', b'sysdir', b'link']
        with Client(ctrl_path(h), timeout=60) as c:
            for name in names:
                c.call(DIAG_ON, name + b'\x00')
                c.call(DIAG_OFF)
            for flt in filters:
                c.call(RM_LOGS, flt + b'\x00')
            # Archives: a named path is the one place written; a walk over
            # the links must not write through them.
            for path in (b'/qordebug/../qordebug/a1.zip', b'/qordebug/diag_logs/sysdir/a2.zip',
                         b'/system/hostile_named.zip', b'/nonexistent/dir/a3.zip', b'p' * 4000, b''):
                c.call(ARCHIVE, path + b'\x00' if path else b'')
        type(self).cases += len(names) + len(filters) + 6
        self.answers()
        after = snapshot(h)
        named = {'hostile_named.zip', 'a2.zip'}
        changed = sorted(k for k in set(self.before) | set(after)
                         if self.before.get(k) != after.get(k) and k not in named)
        self.assertEqual([], changed, 'written or removed outside the log tree')
        with open(os.path.join(h.system_dir, 'victim.txt')) as f:
            self.assertEqual('keep me\n', f.read())
        self.settle()

    def test_6_app_clients_are_not_served(self):
        h = self.h
        # The socket files keep the process's default modes; open them up so
        # that an app can connect at all and only the daemon decides.
        for p in (ctrl_path(h), trc_path(h)):
            os.chmod(p, 0o777)
        client = ('import socket,struct,sys\n'
                  's=socket.socket(socket.AF_UNIX,socket.SOCK_STREAM); s.settimeout(20)\n'
                  's.connect(sys.argv[1])\n'
                  'try:\n'
                  '    s.sendall(struct.pack("<hH",0,0)); d=s.recv(4)\n'
                  'except OSError:\n'
                  '    d=b""\n'
                  'print("served" if d==b"\\0\\0\\0\\0" else "closed")\n')
        for path in ('/system/vexd_ctrl_socket', '/system/vexd_trc_socket'):
            for ids in (['--reuid=10050', '--regid=10050'], ['--reuid=10050', '--regid=1007'],
                        ['--reuid=10050', '--regid=10050', '--groups=3003,1007'],
                        ['--reuid=2000', '--regid=2000'], ['--reuid=0', '--regid=0']):
                groups = [] if any(i.startswith('--groups') for i in ids) else ['--clear-groups']
                r = h.exec(['setpriv'] + ids + groups + ['python3', '-c', client, path])
                self.assertEqual(0, r.returncode, r.stderr)
                want = 'closed' if ids == ['--reuid=10050', '--regid=10050'] else 'served'
                self.assertEqual(want, r.stdout.decode().strip(), (path, ids))
                type(self).cases += 1
        self.assertTrue(wait_for(lambda: daemon_log(h).count('client uid 10050 pid') >= 2, timeout=10))
        self.answers()
        self.settle()

    def test_8_watched_trace_file_that_is_no_file(self):
        # A FIFO would block the move, and the trace lock, for ever; a link
        # to /dev/zero would copy zeros until the disk is full; a link to a
        # file is not ours. Each is left alone and the enable answers -1.
        h = self.h
        watched = os.path.join(h.system_dir, 'trclog.txt')
        victim = os.path.join(h.system_dir, 'victim.txt')
        for kind in ('fifo', 'zero', 'victim'):
            if os.path.lexists(watched):
                os.remove(watched)
            if kind == 'fifo':
                os.mkfifo(watched)
            else:
                os.symlink('/dev/zero' if kind == 'zero' else '/system/victim.txt', watched)
            t0 = time.monotonic()
            with Client(trc_path(h), timeout=20) as c:
                self.assertEqual(-1, c.status(TRC_ENABLE), kind)
                self.assertEqual(0, c.status(TRC_DISABLE), kind)
            self.assertLess(time.monotonic() - t0, 10, kind)
            self.answers()
            self.assertTrue(os.path.lexists(watched), kind)
            self.assertIn('move_file: /system/trclog.txt is not a regular file, left alone', daemon_log(h))
            type(self).cases += 1
        os.remove(watched)
        with Client(trc_path(h), timeout=20) as c:  # a plain file again: watched again
            self.assertEqual(0, c.status(TRC_ENABLE))
            self.assertEqual(0, c.status(TRC_DISABLE))
        with open(victim) as f:
            self.assertEqual('keep me\n', f.read())
        self.assertIsNone(h.status(), 'the daemon ended')
        self.settle()


if __name__ == '__main__':
    unittest.main()
