"""The log directory archive, asked for over the control sockets and checked
with unzip -t, zipinfo and Python's zipfile."""
import os
import re
import subprocess
import tempfile
import threading
import unittest
import zipfile

from test_sockets import ARCHIVE, FAILED, Client, start_handset

SKIPPED_NAMES = {'.', '..', 'lost+found', 'logs.zip'}


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


if __name__ == '__main__':
    unittest.main()
