"""The log directory archive, asked for over the control sockets and checked
with unzip -t, zipinfo and Python's zipfile."""
import os
import re
import signal
import struct
import subprocess
import tempfile
import threading
import time
import unittest
import zipfile

import handset
from collectors import Client as CtrlClient
from collectors import assert_vexlog_reads_as_written, daemon_pid, pair_text, rotations_at_rest, wait_for
from socket_proto import DIAG_OFF, DIAG_ON, TRC_DISABLE, TRC_ENABLE, TRC_WRITE
from test_sockets import ARCHIVE, FAILED, Client, start_handset

SKIPPED_NAMES = {'.', '..', 'lost+found', 'logs.zip'}


def logger_entry(tag, text, pri=4):
    payload = bytes([pri]) + tag + b'\x00' + text + b'\x00'
    return struct.pack('<HHiiii', len(payload), 0, 321, 322, 0, 0) + payload


def expected_names(tree, top='qordebug'):
    """Entry names of the walk: a directory's entry, then its children in
    descending byte order of their names; only files and directories."""
    children = {}
    for kind, rel in tree:
        parent, _, name = rel.rpartition('/')
        children.setdefault(parent, []).append((name, kind))
    out = []

    def walk(rel):
        out.append('%s/%s/' % (top, rel) if rel else top + '/')
        for name, kind in sorted(children.get(rel, []), key=lambda c: c[0].encode(), reverse=True):
            if name in SKIPPED_NAMES:
                continue
            path = rel + '/' + name if rel else name
            if kind == 'd':
                walk(path)
            elif kind == 'f':
                out.append('%s/%s' % (top, path))
    walk('')
    return out


class LogArchive(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.h = start_handset('archive')
        cls.ctrl = os.path.join(cls.h.system_dir, 'vexd_ctrl_socket')
        cls.trc = os.path.join(cls.h.system_dir, 'vexd_trc_socket')
        cls.tmp = tempfile.TemporaryDirectory()
        cls.sh('mkdir -p /qordebug/diag_logs /qordebug/sub/empty'
               ' && printf qmdl-bytes > /qordebug/diag_logs/dl_test_1.qmdl'
               ' && echo not-an-archive > /qordebug/diag_logs/logs.zip'
               ' && echo older | gzip > /qordebug/vexd_vexdlog.gz'
               ' && echo stale > /qordebug/logs.zip'
               ' && mkfifo /qordebug/sub/fifo'
               ' && head -c 300000 /dev/urandom > /qordebug/sub/random.bin')

    @classmethod
    def tearDownClass(cls):
        cls.h.stop()
        cls.tmp.cleanup()

    @classmethod
    def sh(cls, script):
        r = cls.h.exec(['sh', '-c', script])
        if r.returncode != 0:
            raise AssertionError('%s: %s' % (script, r.stderr.decode()))
        return r.stdout.decode()

    def tree(self):
        out = self.sh("find -H /qordebug -mindepth 1 -printf '%y %P\\n'")
        return [tuple(line.split(' ', 1)) for line in out.splitlines()]

    def fetch(self, path):
        """The archive copied to the host, accepted by unzip -t and zipinfo."""
        local = os.path.join(self.tmp.name, os.path.basename(path))
        with open(local, 'wb') as f:
            f.write(self.h.read_file(path))
        t = subprocess.run(['unzip', '-t', local], capture_output=True, text=True)
        self.assertEqual(0, t.returncode, t.stdout + t.stderr)
        self.assertIn('No errors detected', t.stdout)
        z = subprocess.run(['zipinfo', local], capture_output=True, text=True)
        self.assertEqual(0, z.returncode, z.stderr)
        return local, z.stdout

    def check_entries(self, local, zipinfo_out):
        with zipfile.ZipFile(local) as z:
            self.assertIsNone(z.testzip())
            infos = z.infolist()
            for i in infos:
                if i.is_dir():
                    self.assertEqual(b'', i.comment, i.filename)
                    self.assertEqual(0, i.file_size, i.filename)
                    self.assertRegex(zipinfo_out, r'(?m)^d.* %s$' % re.escape(i.filename))
                else:
                    self.assertEqual(b'x', i.comment, i.filename)
                    self.assertEqual(zipfile.ZIP_DEFLATED, i.compress_type, i.filename)
            data = {i.filename: z.read(i) for i in infos if not i.is_dir()}
        return [i.filename for i in infos], data

    def test_default_archive(self):
        with Client(self.ctrl) as c:
            resp = c.request(ARCHIVE)
        self.assertEqual(b'\x00\x00\x13\x00/qordebug/logs.zip\x00', resp)
        names, data = self.check_entries(*self.fetch('/qordebug/logs.zip'))

        self.assertEqual(expected_names(self.tree()), names)
        order = ['qordebug/', 'qordebug/vexd_vexdlog.txt', 'qordebug/vexd_vexdlog.gz',
                 'qordebug/diag_logs/', 'qordebug/diag_logs/dl_test_1.qmdl']
        self.assertEqual(order, [n for n in names if n in order])
        self.assertFalse([n for n in names if 'lost+found' in n or n.endswith('logs.zip')])
        self.assertIn('qordebug/sub/empty/', names)
        self.assertNotIn('qordebug/sub/fifo', names)
        self.assertEqual(b'qmdl-bytes', data['qordebug/diag_logs/dl_test_1.qmdl'])
        self.assertEqual(self.h.read_file('/qordebug/sub/random.bin'), data['qordebug/sub/random.bin'])
        self.assertIn(b'archive_item: compressing /qordebug/sub/random.bin',
                      self.h.read_file('/qordebug/vexd_vexdlog.txt'))

    def test_explicit_path(self):
        with Client(self.ctrl) as c:
            resp = c.request(ARCHIVE, b'/system/mine.zip\x00')
        self.assertEqual(b'\x00\x00\x11\x00/system/mine.zip\x00', resp)
        local, info = self.fetch('/system/mine.zip')
        names, _ = self.check_entries(local, info)
        self.assertEqual(expected_names(self.tree()), names)

        # A path sent without its NUL is taken up to the received length.
        with Client(self.ctrl) as c:
            self.assertEqual(b'\x00\x00\x10\x00/system/raw.zip\x00', c.request(ARCHIVE, b'/system/raw.zip'))
        self.fetch('/system/raw.zip')

    def test_refused_paths(self):
        before = self.h.read_file('/qordebug/diag_logs/dl_test_1.qmdl')
        with Client(self.ctrl) as c:
            for path in (b'mine.zip', b'/qordebug/diag_logs/dl_test_1.qmdl', b'sub/x.zip'):
                resp = c.request(ARCHIVE, path + b'\x00')
                self.assertEqual(FAILED[:2] + bytes([len(path) + 1, 0]) + path + b'\x00', resp)
        self.assertEqual(before, self.h.read_file('/qordebug/diag_logs/dl_test_1.qmdl'))
        self.assertIn(b'vexd_archive_all: refusing archive path mine.zip',
                      self.h.read_file('/qordebug/vexd_vexdlog.txt'))

    def test_both_sockets_at_once(self):
        results = {}

        def ask(path, target):
            with Client(path) as c:
                results[path] = c.request(ARCHIVE, target)
        threads = [threading.Thread(target=ask, args=(self.ctrl, b'/system/both.zip\x00')),
                   threading.Thread(target=ask, args=(self.trc, b'/system/both.zip\x00'))]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        for path in (self.ctrl, self.trc):
            self.assertEqual(b'\x00\x00\x11\x00/system/both.zip\x00', results[path])
        local, info = self.fetch('/system/both.zip')
        names, _ = self.check_entries(local, info)
        self.assertEqual(expected_names(self.tree()), names)


class History(unittest.TestCase):
    """A handset's life as the field sees it, read back per start through
    vexlog from the archive it ends with: four starts (one ended by a kill,
    the others by SIGTERM), rotations of the kernel, main, trace and daemon
    logs in each, a diag recording; each start's lines are exactly what was
    fed to it."""
    PAD = b'h' * 90

    def setUp(self):
        handset.require()

    def start(self, fresh):
        h = handset.Handset('history', fresh=fresh)
        h.start()
        self.addCleanup(h.stop)
        self.assertTrue(h.wait_kmsg('vexd: daemon startup complete', timeout=60), h.kmsg()[-500:])
        return h

    def feed(self, h, start):
        fed = {'kernel': [], 'main': [], 'trace': []}
        fed['kernel'] = [b'hist s%d k%05d %s' % (start, i, self.PAD) for i in range(3000)]
        h.feed_kmsg(b''.join(b'<6>' + line + b'\n' for line in fed['kernel']))
        fed['main'] = [b'hist s%d m%05d %s' % (start, i, self.PAD) for i in range(2700)]
        for at in range(0, len(fed['main']), 300):
            h.feed_logger_raw([logger_entry(b'hist', m) for m in fed['main'][at:at + 300]])
        fed['trace'] = [b'hist s%d t%05d %s' % (start, i, self.PAD) for i in range(3000)]
        ctrl = os.path.join(h.system_dir, 'vexd_ctrl_socket')
        with CtrlClient(ctrl) as c:
            self.assertEqual(0, c.status(TRC_ENABLE))
            for at in range(0, len(fed['trace']), 30):
                self.assertEqual(0, c.status(TRC_WRITE, b''.join(t + b'\n' for t in fed['trace'][at:at + 30])))
            self.assertEqual(0, c.status(TRC_DISABLE))
            # Daemon log lines of a refused archive path, enough to rotate it.
            for _ in range(300):
                c.call(ARCHIVE, b'/r' + b'r' * 200 + b'\x00')
            if start == 2:
                self.assertEqual(0, c.status(DIAG_ON, b'hist\x00'))
                h.ctl('diag burst 50 1000')
                time.sleep(0.5)
                self.assertEqual(0, c.status(DIAG_OFF))
        last = {log: lines[-1] for log, lines in fed.items()}
        for log, base in (('kernel', 'vexd_syslog'), ('main', 'vexd_logcat'), ('trace', 'vexd_trclog')):
            self.assertTrue(wait_for(lambda: last[log] in pair_text(h, base), 30), log)
        self.assertTrue(wait_for(lambda: rotations_at_rest(h), 30))
        return fed

    def test_each_start_reads_back_as_fed(self):
        fed = {}
        h = self.start(True)
        for start in range(1, 5):
            if start > 1:
                h = self.start(False)
            fed[start] = self.feed(h, start)
            if start < 4:
                sig = signal.SIGKILL if start == 2 else signal.SIGTERM
                os.kill(daemon_pid(h, emulated_too=True), sig)
                self.assertEqual(128 + sig, h.wait(30))
                h.stop()
        with CtrlClient(os.path.join(h.system_dir, 'vexd_ctrl_socket')) as c:
            self.assertEqual(0, c.status(ARCHIVE))
        self.assertTrue(wait_for(lambda: rotations_at_rest(h), 30))
        os.kill(daemon_pid(h, emulated_too=True), signal.SIGKILL)
        self.assertEqual(128 + signal.SIGKILL, h.wait(30))
        # The writers' kept (empty) records are in the archive too.
        for base in ('vexd_syslog', 'vexd_logcat', 'vexd_vexdlog'):
            self.assertIn(b'%s.gz.part' % base.encode(), h.exec(['ls', '/qordebug']).stdout, base)
        assert_vexlog_reads_as_written(self, h, '/qordebug/logs.zip')
        pattern = re.compile(rb'hist s\d (?:k|m|t)\d{5} h+')
        for start in range(1, 5):
            for log in ('kernel', 'main', 'trace'):
                r = h.exec(['vexlog', '/qordebug/logs.zip', '--start', str(start), log], timeout=120)
                self.assertEqual(0, r.returncode, r.stderr)
                got = pattern.findall(r.stdout)
                self.assertEqual(fed[start][log], got, 'start %d, %s log' % (start, log))


if __name__ == '__main__':
    unittest.main()
