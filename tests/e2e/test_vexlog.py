"""vexlog on log directories and ZIP archives written here, and on a real
archive of the daemon in the handset."""
import datetime
import gzip
import json
import os
import random
import re
import shlex
import shutil
import signal
import struct
import subprocess
import tempfile
import threading
import time
import unittest
import zipfile

import handset
from collectors import CMD_TRC_DISABLE, CMD_TRC_ENABLE, CMD_TRC_WRITE, Client, daemon_pid, pair_text, trc_path, wait_for
from socket_proto import DIAG_OFF, DIAG_ON
from test_archive import logger_entry

VEXLOG = os.path.join(handset.BUILD_DIR, 'tools', 'vexlog')


def marker(count):
    return b'<<<< VEXD START >>>>\n<<<< STARTUP COUNT %04d >>>>\n' % count


def entry(t, pri, tag, pid, msg):
    """A main log line as the daemon formats it."""
    return b'[%5d.%06d] %s/%-8s(%d): %s\n' % (int(t), round(t * 1e6) % 1000000, pri, tag, pid, msg)


# Start 5 in the first member, start 6 from the first member through the
# second into the text file, start 7 in the text file.
MAIN_M1 = (marker(5) + entry(1.5, b'I', b'Radio', 10, b'r1') + entry(2, b'W', b'Radio', 10, b'radio warn 5')
           + entry(3, b'E', b'Other', 11, b'o1') + marker(6) + entry(0.1, b'D', b'Radio', 12, b'r3'))
MAIN_M2 = entry(0.2, b'E', b'Telephony', 12, b'tel err') + entry(0.25, b'E', b'Other', 12, b'other err')
MAIN_TXT = (entry(0.3, b'W', b'Radio', 14, b'two lines\nsecond line') + entry(0.35, b'I', b'Radio', 14, b'info')
            + marker(7) + entry(0.4, b'F', b'Radio', 13, b'fatal'))
START6 = (marker(6) + entry(0.1, b'D', b'Radio', 12, b'r3') + MAIN_M2
          + entry(0.3, b'W', b'Radio', 14, b'two lines\nsecond line') + entry(0.35, b'I', b'Radio', 14, b'info'))


def write(path, data, mode='wb'):
    with open(path, mode) as f:
        f.write(data)


def log_dir(root):
    """A log directory of three starts, as the daemon leaves it."""
    os.makedirs(root)
    write(os.path.join(root, 'vexd_logcat.gz'), gzip.compress(MAIN_M1) + gzip.compress(MAIN_M2))
    write(os.path.join(root, 'vexd_logcat.txt'), MAIN_TXT)
    write(os.path.join(root, 'vexd_vexdlog.txt'), b''.join(
        marker(n) + b'[    0.00000%d] vexd: daemon log %d\n' % (n, n) for n in (5, 6, 7)))
    write(os.path.join(root, 'vexd_ps.gz'), gzip.compress(marker(5) + b'PID CMD\n'))
    write(os.path.join(root, 'vexd_ps.txt'), marker(6) + b'PID CMD\n' + marker(7) + b'PID CMD\n')
    write(os.path.join(root, 'vexd_syslog.txt'),
          marker(7) + b'<6>[   12.000000] usb: connected\n<3>[   13.500000] mmc: error\n')
    return root


def vexlog(*args, timeout=60):
    return subprocess.run([VEXLOG] + list(args), capture_output=True, timeout=timeout)


def vexlog_reading(*args, timeout=60):
    """vexlog's run and the bytes it read (rchar of /proc/PID/io, taken before it is reaped)."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        p = subprocess.Popen([VEXLOG] + list(args), stdout=out, stderr=err)
        deadline = time.monotonic() + timeout
        while os.waitid(os.P_PID, p.pid, os.WEXITED | os.WNOWAIT | os.WNOHANG) is None:
            if time.monotonic() > deadline:
                p.kill()
                p.wait()
                raise subprocess.TimeoutExpired(p.args, timeout)
            time.sleep(0.01)
        with open('/proc/%d/io' % p.pid) as f:
            rchar = int(dict(line.split(': ') for line in f.read().splitlines())['rchar'])
        status = p.wait()
        out.seek(0)
        err.seek(0)
        return subprocess.CompletedProcess(p.args, status, out.read(), err.read()), rchar


class Vexlog(unittest.TestCase):
    def setUp(self):
        if not os.path.exists(VEXLOG):
            self.skipTest('%s is not built' % VEXLOG)
        self.tmp = tempfile.mkdtemp(prefix='vexlog-')
        self.addCleanup(shutil.rmtree, self.tmp, True)

    def zip_of(self, logdir, name='logs.zip'):
        """The log directory packed as the daemon packs it: qordebug/NAME."""
        path = os.path.join(self.tmp, name)
        with zipfile.ZipFile(path, 'w', zipfile.ZIP_DEFLATED) as z:
            z.writestr('qordebug/', b'')
            for f in sorted(os.listdir(logdir), reverse=True):
                z.write(os.path.join(logdir, f), 'qordebug/' + f)
        return path

    def assertOk(self, r, out=None):
        self.assertEqual(0, r.returncode, r.stderr)
        self.assertEqual(b'', r.stderr)
        if out is not None:
            self.assertEqual(out, r.stdout)

    def test_starts_filters_and_formats_from_a_folder_and_an_archive(self):
        d = log_dir(os.path.join(self.tmp, 'qordebug'))
        z = self.zip_of(d)
        for src in (d, z, self.tmp):   # the folder, the archive, the folder it was unpacked in
            # Every byte, in order: the members, then the text file.
            self.assertOk(vexlog(src), MAIN_M1 + MAIN_M2 + MAIN_TXT)
            # A start spread over two members and the text file, exactly.
            self.assertOk(vexlog(src, '--start', '6'), START6)
            self.assertOk(vexlog('-b', '-1', src, 'main'), START6)
            whole = MAIN_M1 + MAIN_M2 + MAIN_TXT
            self.assertOk(vexlog(src, '--start', '5..6'), whole[:whole.index(marker(7))])
            # logcat's filter specs and priorities, with the lines of a message that held line feeds.
            self.assertOk(vexlog(src, '--start', '-1', 'main', 'Radio:W', 'Telephony:W', '*:S'),
                          entry(0.2, b'E', b'Telephony', 12, b'tel err')
                          + entry(0.3, b'W', b'Radio', 14, b'two lines\nsecond line'))
            self.assertOk(vexlog(src, '-b', '6', 'Radio:I'),
                          entry(0.2, b'E', b'Telephony', 12, b'tel err') + entry(0.25, b'E', b'Other', 12, b'other err')
                          + entry(0.3, b'W', b'Radio', 14, b'two lines\nsecond line')
                          + entry(0.35, b'I', b'Radio', 14, b'info'))
            # Over several starts, the marker of each start that has a line shown.
            self.assertOk(vexlog(src, '--pid', '13'), marker(7) + entry(0.4, b'F', b'Radio', 13, b'fatal'))
            self.assertOk(vexlog(src, '-b', '7', 'kernel', 'mmc'), b'<3>[   13.500000] mmc: error\n')

            r = vexlog(src, '-b', '6', '-o', 'json', 'Radio:W', '*:S')
            self.assertOk(r)
            self.assertEqual([{'start': 6, 'source': src, 'time': 0.3, 'priority': 'W', 'tag': 'Radio', 'pid': 14,
                               'message': 'two lines\nsecond line'}],
                             [json.loads(line) for line in r.stdout.splitlines()])

            r = vexlog('--list-starts', src)
            self.assertOk(r)
            rows = r.stdout.decode().splitlines()
            self.assertEqual(['IDX', 'START', 'LOG', 'BYTES', 'LINES', 'FIRST', 'LAST'], rows[0].split())
            self.assertEqual(['-2', '0005', 'main', str(len(MAIN_M1) - len(marker(6)) - len(
                entry(0.1, b'D', b'Radio', 12, b'r3'))), '5', '1.500000', '3.000000'], rows[1].split())
            self.assertEqual(['-1', '0006', 'main', str(len(START6)), '8', '0.100000', '0.350000'], rows[4].split())
            r = vexlog('--list-starts', '-o', 'json', src)
            self.assertOk(r)
            starts = [json.loads(line) for line in r.stdout.splitlines()]
            self.assertEqual([5, 6, 7], [s['start'] for s in starts])
            self.assertEqual([-2, -1, 0], [s['index'] for s in starts])
            self.assertEqual({src}, {s['source'] for s in starts})
            self.assertEqual({'kernel', 'main', 'daemon', 'ps'}, set(starts[2]['logs']))
            self.assertEqual({'bytes': len(START6), 'lines': 8, 'first': 0.1, 'last': 0.35}, starts[1]['logs']['main'])

        # The lines' own stamps bound the output; a line without one goes with its entry.
        self.assertOk(vexlog(d, '-b', '6', '--since', '0.25', '--until', '0.3'),
                      entry(0.25, b'E', b'Other', 12, b'other err') + entry(0.3, b'W', b'Radio', 14, b'two lines\nsecond line'))
        # A file of a log names that log: the pair it belongs to.
        self.assertOk(vexlog(os.path.join(d, 'vexd_syslog.txt'), '-b', '7', 'mmc'),
                      b'<3>[   13.500000] mmc: error\n')

        # What is not there, and what is not understood.
        r = vexlog(d, '--start', '9')
        self.assertEqual(1, r.returncode)
        self.assertIn(b'holds no text of start 0009', r.stderr)
        r = vexlog(d, '--start', '-3')
        self.assertEqual(1, r.returncode)
        self.assertIn(b'only 3 starts found (0005 to 0007)', r.stderr)
        for args in (['Radio:X'], ['--start', 'soon'], ['kernel', '--pid', '3'], ['--bogus'], ['nolog']):
            r = vexlog(d, *args)
            self.assertEqual(2, r.returncode, args)
            self.assertEqual(2, r.stderr.count(b'\n'), r.stderr)
            self.assertIn(b'--help', r.stderr)

    def test_damaged_member_missing_marker_and_rotation_in_progress(self):
        d = os.path.join(self.tmp, 'logs')
        os.makedirs(d)
        # Text of an older start whose marker went with a gzip file started anew,
        # then start 3 over three members, the second of them damaged.
        first = b'[    9.000000] I/Old     (1): before any marker\n' + marker(3)
        second = b''.join(entry(1 + i / 1e3, b'I', b'Lost', 1, b'line %d' % i) for i in range(3000))
        third = entry(5, b'W', b'After', 2, b'after the damage') + marker(4) + entry(0.5, b'I', b'New', 3, b'new')
        damaged = bytearray(gzip.compress(second))
        damaged[len(damaged) // 2] ^= 0x55
        write(os.path.join(d, 'vexd_logcat.gz'), gzip.compress(first) + bytes(damaged) + gzip.compress(third))
        write(os.path.join(d, 'vexd_logcat.txt'), entry(0.6, b'I', b'New', 3, b'text file'))
        write(os.path.join(d, 'vexd_ps.txt'), marker(1) + marker(4))
        z = self.zip_of(d, 'damaged.zip')
        for src in (d, z):
            r = vexlog(src)
            self.assertEqual(1, r.returncode)
            # Nothing of the damaged member, but every member after it.
            self.assertNotIn(b'Lost', r.stdout)
            self.assertTrue(r.stdout.startswith(first), r.stdout[:200])
            self.assertTrue(r.stdout.endswith(third + entry(0.6, b'I', b'New', 3, b'text file')))
            self.assertIn(b'vexd_logcat.gz: member 2 (at byte %d) does not decode' % len(gzip.compress(first)),
                          r.stderr)
            self.assertIn(b'start marker is missing', r.stderr)

            # Start 4 reads whole; the text after the damage is in no start.
            r = vexlog(src, '-b', '0')
            self.assertEqual(marker(4) + entry(0.5, b'I', b'New', 3, b'new') + entry(0.6, b'I', b'New', 3, b'text file'),
                             r.stdout)
            r = vexlog(src, '-b', '3')
            self.assertEqual(marker(3), r.stdout)
            self.assertIn(b'does not decode', r.stderr)
            self.assertEqual(1, r.returncode)

            r = vexlog('-l', src)
            self.assertEqual(1, r.returncode)
            rows = [line.split() for line in r.stdout.decode().split('\n\n')[0].splitlines()[1:]]
            self.assertEqual([['?', 'main'], ['-1', '0001', 'ps'], ['-', '0003', 'main'], ['0', '0004', 'main'], ['ps']],
                             [row[:-4] for row in rows])
            self.assertIn(b'start 0002: its marker is in none of the logs', r.stderr)
            self.assertIn(b'text without a start marker in the main log', r.stderr)

        # A rotation cut short by the archive: its record holds the gzip
        # file's size before the append, and the text is still in the text file.
        r2 = os.path.join(self.tmp, 'rotating')
        os.makedirs(r2)
        old, text = marker(2) + entry(1, b'I', b'T', 1, b'old'), entry(2, b'I', b'T', 1, b'rotating')
        member = gzip.compress(text)
        write(os.path.join(r2, 'vexd_logcat.gz'), gzip.compress(old) + member[:len(member) // 2])
        write(os.path.join(r2, 'vexd_logcat.gz.part'), b'z %d /qordebug/vexd_logcat.txt\n' % len(gzip.compress(old)))
        write(os.path.join(r2, 'vexd_logcat.txt'), text)
        self.assertOk(vexlog(r2), old + text)
        write(os.path.join(r2, 'vexd_logcat.gz'), gzip.compress(old) + member)   # whole member, text not yet emptied
        self.assertOk(vexlog(r2), old + text)

    def test_crafted_gzip_file_and_a_line_over_a_megabyte(self):
        # Damaged members, cut or failing their check value, then garbage
        # full of member heads (some opening stored blocks that run on), then
        # a whole member: read in one pass, each byte once, also in a ZIP
        # (where going back means inflating the entry again from its start).
        rnd = random.Random(7)
        head = marker(1) + b''.join(entry(1 + i / 1e3, b'I', b'Head', 1, b'head %d' % i) for i in range(100))
        tail = marker(2) + b''.join(entry(1 + i / 1e3, b'I', b'Tail', 2, b'tail %d' % i) for i in range(100))
        damaged = b''
        for k in range(20):
            m = bytearray(gzip.compress(b''.join(entry(2, b'E', b'Bad', 3, b'bad %d %d' % (k, i)) for i in range(50)), mtime=0))
            if k % 2:
                m[-8] ^= 1
            damaged += m if k % 2 else m[:len(m) // 2]
        garbage = bytearray()
        while len(garbage) < 1500000:
            garbage += b'\x1f\x8b\x08\x00\x00\x00\x00\x00\x02\x03'
            garbage += struct.pack('<BHH', 0, 65535, 0) if rnd.random() < 0.2 else b''
            garbage += rnd.randbytes(rnd.randrange(4, 40))
        d = os.path.join(self.tmp, 'crafted')
        os.makedirs(d)
        data = gzip.compress(head, mtime=0) + damaged + garbage + gzip.compress(tail, mtime=0)
        write(os.path.join(d, 'vexd_logcat.gz'), data)
        z = self.zip_of(d, 'crafted.zip')
        for src, size in ((d, len(data)), (z, os.path.getsize(z))):
            r, read = vexlog_reading(src)
            self.assertEqual((1, head + tail), (r.returncode, r.stdout))
            self.assertRegex(r.stderr, rb'^vexlog: \S*vexd_logcat.gz: member 2 \(at byte %d\) does not decode \([^;]*; its '
                             rb'text is left out\); reading goes on at byte %d\n$'
                             % (len(gzip.compress(head, mtime=0)), len(data) - len(gzip.compress(tail, mtime=0))))
            self.assertLess(read, 2 * size + (1 << 20))

        # A main log line over a megabyte, with characters cut between the
        # pieces it is read in: one JSON object, its message as written.
        msg = b'x' * 5 + '\u20ac\u00fc\U0001d11e'.encode() * 300000 + b'\nits second line'
        d = os.path.join(self.tmp, 'long')
        os.makedirs(d)
        write(os.path.join(d, 'vexd_logcat.txt'), marker(3) + entry(3, b'W', b'Long', 4, msg) + entry(4, b'I', b'Short', 4, b'after'))
        r = vexlog(d, '-o', 'json')
        self.assertEqual((0, b''), (r.returncode, r.stderr))
        objs = [json.loads(line) for line in r.stdout.splitlines()]
        self.assertEqual(['Long', 'Short'], [o['tag'] for o in objs])
        self.assertEqual({'start': 3, 'source': d, 'time': 3, 'priority': 'W', 'tag': 'Long', 'pid': 4, 'message': len(msg.decode())},
                         dict(objs[0], message=len(objs[0]['message'])))
        self.assertTrue(objs[0]['message'] == msg.decode())
        self.assertNotIn(b'\\u00', r.stdout)

    def test_follow_across_rotations(self):
        d = os.path.join(self.tmp, 'live')
        os.makedirs(d)
        txt, gz = os.path.join(d, 'vexd_syslog.txt'), os.path.join(d, 'vexd_syslog.gz')
        write(txt, marker(2) + b'a\n')
        p = subprocess.Popen([VEXLOG, '-f', d, 'kernel'], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.addCleanup(p.kill)

        def rotate(then):
            """As the daemon rotates: a record, the member, the text emptied, the record gone."""
            with open(txt, 'rb') as f:
                text = f.read()
            size = os.path.getsize(gz) if os.path.exists(gz) else 0
            write(gz + '.part', b'z %d %s\n' % (size, txt.encode()))
            write(gz, gzip.compress(text), 'ab')
            write(txt, b'')
            os.unlink(gz + '.part')
            write(txt, then, 'ab')

        time.sleep(0.5)
        write(txt, b'b\nhalf', 'ab')
        time.sleep(0.5)
        write(txt, b' a line\nc\n', 'ab')
        rotate(b'd\n')              # before the reader saw "c": it comes from the member
        time.sleep(0.5)
        rotate(b'')                 # "d" only ever in a member
        rotate(marker(3) + b'e\n')  # two rotations between two looks
        time.sleep(0.5)
        p.send_signal(signal.SIGINT)
        out, err = p.communicate(timeout=10)
        self.assertEqual(0, p.returncode, err)
        self.assertEqual(marker(2) + b'a\nb\nhalf a line\nc\nd\n' + marker(3) + b'e\n', out)

        # With wall-clock times: a start begun while following writes its clock line after its first
        # lines; the lines that come once it is there have their wall clock, the others none.
        def clock(wall, up):
            return b'[    0.048293] vexd: clock: time base 0.048255 = %s = uptime %s\n' % (wall, up)
        main, daemon = os.path.join(d, 'vexd_logcat.txt'), os.path.join(d, 'vexd_vexdlog.txt')
        write(daemon, marker(2) + clock(b'2026-12-09T19:50:23.748065Z', b'1918.844382'))
        write(main, marker(2) + entry(1, b'I', b'Radio', 7, b'first'))
        p = subprocess.Popen([VEXLOG, '-f', '-v', 'time', d], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.addCleanup(p.kill)
        time.sleep(0.5)
        write(main, marker(3) + entry(0.5, b'I', b'Radio', 7, b'early'), 'ab')
        time.sleep(0.5)
        write(daemon, marker(3) + clock(b'2026-12-09T20:00:00Z', b'1.0'), 'ab')
        time.sleep(2.0)
        write(main, entry(2, b'I', b'Radio', 7, b'later'), 'ab')
        time.sleep(0.6)
        p.send_signal(signal.SIGINT)
        out, err = p.communicate(timeout=10)
        self.assertEqual((0, b''), (p.returncode, err))
        self.assertEqual(marker(2) + b'2026-12-09 19:50:24.699810 ' + entry(1, b'I', b'Radio', 7, b'first') + marker(3)
                         + b'-'.ljust(27) + entry(0.5, b'I', b'Radio', 7, b'early')
                         + b'2026-12-09 20:00:01.951745 ' + entry(2, b'I', b'Radio', 7, b'later'), out)


class VexlogInHandset(unittest.TestCase):
    def test_archive_of_the_daemon(self):
        handset.require()
        h = handset.started('vexlog', cleanup=self.addCleanup)
        self.assertTrue(h.wait_kmsg('vexd: daemon startup complete'))
        h.feed_logger(5, 'Radio', 77, 'radio warning', count=3)
        h.feed_logger(3, 'Radio', 77, 'radio debug')
        self.assertTrue(h.wait_file('/qordebug/vexd_logcat.txt', lambda c: c.count(b'Radio') == 4))
        r = h.exec(['/system/bin/vexctl', 'archive'])
        self.assertEqual(0, r.returncode, r.stderr)
        # On the handset without SOURCE: the live log directory.
        r = h.exec(['/system/bin/vexlog', '--start', '0', 'main', 'Radio:W', '*:S'])
        self.assertEqual(0, r.returncode, r.stderr)
        self.assertEqual(3, r.stdout.count(b'radio warning'), r.stdout)
        self.assertNotIn(b'radio debug', r.stdout)
        zip_path = os.path.join(h.state, 'logs.zip')
        with open(zip_path, 'wb') as f:
            f.write(h.read_file('/qordebug/logs.zip'))
        r = vexlog('--list-starts', zip_path)
        self.assertEqual(0, r.returncode, r.stderr)
        rows = [line.split() for line in r.stdout.decode().split('\n\n')[0].splitlines()[1:]]
        self.assertEqual(['0', '0001', 'kernel'], rows[0][:3])
        self.assertEqual({'kernel', 'main', 'daemon', 'ps'}, {row[-5] for row in rows})
        r = vexlog(zip_path, '--start', '1', 'main', 'Radio:W', '*:S')
        self.assertEqual(0, r.returncode, r.stderr)
        self.assertEqual(3, r.stdout.count(b'W/Radio   (77): radio warning\n'), r.stdout)

    def test_quit_on_low_space_ends_the_start(self):
        """The daemon's quit for want of space is the way its start ended, also when it is the last."""
        handset.require()
        h = handset.started('vexlog_full', cleanup=self.addCleanup, system_size=16 << 20, userdata=False)
        self.assertTrue(h.wait_kmsg('vexd: daemon startup complete'))
        # Below the limit but not full: the end line still has room (a disk
        # filled to the last block has none for it).
        h.exec(['sh', '-c', 'n=$(( ($(stat -f -c "%f*%S" /system) - 393216) / 65536 )); '
                'dd if=/dev/zero of=/system/fill bs=64k count=$n 2>/dev/null; true'], timeout=60)
        self.assertEqual(1, h.wait(timeout=30))
        r = h.exec(['/system/bin/vexlog', '--list-starts'])
        self.assertEqual((0, b''), (r.returncode, r.stderr))
        ends = [row[76:] for row in r.stdout.decode().split('\n\n')[1].splitlines()[1:]]
        self.assertEqual(1, len(ends), r.stdout)
        self.assertRegex(ends[0], r'^quit on low space \(\d+ bytes free\)$')

    def test_archive_after_rotations_and_restarts(self):
        """Every log of an archive made after rotations (each pair then keeps
        its record file) reads as unzip, zcat of the .gz and cat of the .txt."""
        handset.require()
        tmp = tempfile.mkdtemp(prefix='vexlog-')
        self.addCleanup(shutil.rmtree, tmp, True)
        logs = {'kernel': 'vexd_syslog', 'main': 'vexd_logcat', 'trace': 'vexd_trclog', 'daemon': 'vexd_vexdlog',
                'ps': 'vexd_ps'}
        for run in range(3):
            h = handset.started('vexlog_rotated', fresh=run == 0, cleanup=self.addCleanup)
            self.assertTrue(h.wait_kmsg('vexd: daemon startup complete'))
            last = b'<6>[%5d.000000] run %d line %06d %s\n' % (run, run, 9999, b'k' * 40)
            h.feed_kmsg(b''.join(b'<6>[%5d.000000] run %d line %06d %s\n' % (run, run, i, b'k' * 40)
                                 for i in range(10000)))
            h.feed_logger(4, 'Rotating', 100 + run, 'run %d ' % run + 'm' * 200, count=1500)
            with Client(trc_path(h)) as trc:
                self.assertEqual(0, trc.status(CMD_TRC_ENABLE))
                for i in range(80):
                    self.assertEqual(0, trc.status(CMD_TRC_WRITE, b'run %d trace %03d ' % (run, i) + b't' * 3980 + b'\n'))
                self.assertEqual(0, trc.status(CMD_TRC_DISABLE))
            self.assertTrue(wait_for(lambda: pair_text(h, 'vexd_syslog').endswith(last)
                                     and pair_text(h, 'vexd_logcat').count(b'run %d m' % run) == 1500))
            if run < 2:
                h.stop()
        r = h.exec(['/system/bin/vexctl', 'archive'])
        self.assertEqual(0, r.returncode, r.stderr)
        zip_path = os.path.join(tmp, 'logs.zip')
        with open(zip_path, 'wb') as f:
            f.write(h.read_file('/qordebug/logs.zip'))
        names = zipfile.ZipFile(zip_path).namelist()
        for log, base in logs.items():
            if log in ('kernel', 'main'):
                self.assertIn('qordebug/%s.gz.part' % base, names)
            unpacked = subprocess.run('unzip -p %s qordebug/%s.gz | zcat; unzip -p %s qordebug/%s.txt'
                                      % (zip_path, base, zip_path, base), shell=True, capture_output=True).stdout
            r = vexlog(zip_path, log)
            self.assertEqual((0, b''), (r.returncode, r.stderr), log)
            self.assertTrue(unpacked == r.stdout, '%s: %d bytes, unpacked %d' % (log, len(r.stdout), len(unpacked)))
        r = vexlog('--list-starts', zip_path)
        self.assertEqual((0, b''), (r.returncode, r.stderr))
        self.assertEqual(['0001', '0002', '0003'], [row[5:11].strip() for row in r.stdout.decode().split('\n\n')[0].splitlines()[1:]
                                                    if row[5:11].strip()])

    def test_live_reads_and_followers_started_during_rotations(self):
        """Plain reads and followers of the live kernel log, started at
        staggered moments while it rotates many times a second, each give
        every line once, in order."""
        handset.require()
        h = handset.started('vexlog_live', cleanup=self.addCleanup)
        self.assertTrue(h.wait_kmsg('vexd: daemon startup complete'))
        total, step = 600000, 10000
        lines = [b'<6>[%5d.%06d] n %07d\n' % (i // 100000, i % 1000000, i) for i in range(total)]

        def feed():   # about 250000 lines/s, a rotation every 9000 lines
            for at in range(0, total, step):
                h.feed_kmsg(b''.join(lines[at:at + step]))
                time.sleep(0.04)
        feeder = threading.Thread(target=feed)
        feeder.start()
        self.addCleanup(feeder.join)
        followers, reads = [], []
        while feeder.is_alive() and len(followers) < 8:
            k = len(followers)
            r = h.exec('vexlog -f /qordebug kernel >/tmp/f%d.out 2>/tmp/f%d.err & echo $!' % (k, k))
            followers.append(r.stdout.decode().strip())
            reads.append(h.exec(['/system/bin/vexlog', '/qordebug', 'kernel']))
            time.sleep(0.15)
        feeder.join()
        self.assertGreater(len(reads), 4)
        for k, pid in enumerate(followers):
            self.assertTrue(wait_for(lambda: h.read_file('/tmp/f%d.out' % k).endswith(lines[-1])), 'follower %d' % k)
            h.exec(['kill', '-INT', pid])

        def numbers(out, name):
            """The numbers of the lines after the marker; a line cut short at the end (a plain read) is left out."""
            self.assertTrue(out.startswith(marker(1)), (name, out[:100]))
            body = out[len(marker(1)):out.rfind(b'\n') + 1]
            nums = [int(n) if n.isdigit() else -1 for n in (line.rsplit(b' ', 1)[-1] for line in body.splitlines())]
            wrong = next((i for i, n in enumerate(nums) if n != i), None)
            self.assertIsNone(wrong, '%s: line %s is %s' % (name, wrong, nums[wrong - 2:wrong + 2] if wrong else ''))
            return len(nums)
        for k, r in enumerate(reads):
            self.assertEqual((0, b''), (r.returncode, r.stderr))
            numbers(r.stdout, 'read %d' % k)
        for k in range(len(followers)):
            self.assertEqual(b'', h.read_file('/tmp/f%d.err' % k))
            self.assertEqual(total, numbers(h.read_file('/tmp/f%d.out' % k), 'follower %d' % k))



def readme_questions():
    """The one-liners of the README's vexlog section, as written there."""
    with open(os.path.join(handset.SOURCE_DIR, 'README.md')) as f:
        text = f.read()
    block = text.partition('### Reading the logs by start: vexlog')[2].partition('one line each')[2]
    lines = []
    for line in block.splitlines()[1:]:
        if lines and not line.strip():
            break
        if line.startswith('    vexlog '):
            lines.append(line.strip())
    return lines


class VexlogQuestions(unittest.TestCase):
    """The README's questions, asked in its own words of an archive the
    daemon wrote: three starts, the first ended by SIGTERM after its main log
    rotated, the second killed, the third running."""
    STEP = 1.0   # kernel lines are stamped this far apart, from the uptime of the start's clock line

    def clock(self, h, start):
        """The clock line of the start: its wall clock (a datetime) and uptime."""
        def line():
            text = pair_text(h, 'vexd_vexdlog')
            at = text.find(b'STARTUP COUNT %04d' % start)
            m = re.search(rb'clock: time base [0-9.]+ = (\S+)Z = uptime ([0-9.]+)', text[at:]) if at >= 0 else None
            return m
        self.assertTrue(wait_for(lambda: line() is not None))
        m = line()
        return datetime.datetime.fromisoformat(m.group(1).decode()), float(m.group(2))

    def feed(self, h, start):
        wall, up = self.clock(h, start)
        h.feed_kmsg(b''.join(b'<%d>[%12.6f] %s s%d\n' % (pri, up + (i + 1) * self.STEP, text, start)
                             for i, (pri, text) in enumerate(((3, b'usb error'), (6, b'usb info'), (4, b'USB reset')))))
        h.feed_logger_raw([logger_entry(tag, b'%s s%d' % (text, start), pri) for tag, text, pri in (
            (b'Radio', b'radio warn', 5), (b'Radio', b'radio debug', 3), (b'Telephony', b'tel err', 6),
            (b'Other', b'other warn', 5))])
        with Client(trc_path(h)) as trc:
            self.assertEqual(0, trc.status(CMD_TRC_ENABLE))
            self.assertEqual(0, trc.status(CMD_TRC_WRITE, b'trace s%d\n' % start))
            self.assertEqual(0, trc.status(CMD_TRC_DISABLE))
        if start == 2:   # a diag recording whose reader is stuck, made to stop
            h.ctl('diag ignore9 1')
            with Client(os.path.join(h.system_dir, 'vexd_ctrl_socket')) as c:
                self.assertEqual(0, c.status(DIAG_ON, b'q\x00'))
                self.assertEqual(0, c.status(DIAG_OFF))
            h.ctl('diag ignore9 0')
            self.assertTrue(wait_for(lambda: b'Quit diaglog thread.' in pair_text(h, 'vexd_vexdlog')))
        for base, text in (('vexd_syslog', b'USB reset'), ('vexd_logcat', b'other warn'), ('vexd_trclog', b'trace')):
            self.assertTrue(wait_for(lambda: b'%s s%d' % (text, start) in pair_text(h, base)), base)
        return wall

    def archive(self):
        handset.require()
        walls = {}
        for start in (1, 2, 3):
            h = handset.started('vexlog_questions', fresh=start == 1, cleanup=self.addCleanup)
            self.assertTrue(h.wait_kmsg('vexd: daemon startup complete'))
            walls[start] = self.feed(h, start)
            if start == 1:   # enough to rotate the main log
                for at in range(0, 1300, 300):
                    h.feed_logger_raw([logger_entry(b'Filler', b'fill %04d ' % i + b'f' * 200)
                                       for i in range(at, min(at + 300, 1300))])
                self.assertTrue(wait_for(lambda: b'fill 1299' in pair_text(h, 'vexd_logcat')))
            if start < 3:
                sig = signal.SIGTERM if start == 1 else signal.SIGKILL
                os.kill(daemon_pid(h, emulated_too=True), sig)
                self.assertEqual(128 + sig, h.wait(30))
                h.stop()
        # The last start's main log: 60 entries, one of them of two lines.
        h.feed_logger_raw([logger_entry(b'Tail', b'tail %02d' % i + (b'\nsecond line' if i == 55 else b''))
                           for i in range(60)])
        self.assertTrue(wait_for(lambda: b'tail 59' in pair_text(h, 'vexd_logcat')))
        r = h.exec(['/system/bin/vexctl', 'archive'])
        self.assertEqual(0, r.returncode, r.stderr)
        tmp = tempfile.mkdtemp(prefix='vexlog-')
        self.addCleanup(shutil.rmtree, tmp, True)
        with open(os.path.join(tmp, 'logs.zip'), 'wb') as f:
            f.write(h.read_file('/qordebug/logs.zip'))
        self.assertIn('qordebug/vexd_logcat.gz', zipfile.ZipFile(os.path.join(tmp, 'logs.zip')).namelist())
        return h, tmp, walls

    def test_readme_questions_on_an_archive_of_the_daemon(self):
        h, tmp, walls = self.archive()
        questions = readme_questions()
        self.assertEqual(6, len(questions), questions)
        answers = {}
        for q in questions:
            command, _, _ = q.partition('  #')
            command, _, jq = command.partition(' | jq ')
            r = subprocess.run([VEXLOG] + shlex.split(command)[1:], cwd=tmp, capture_output=True, timeout=60)
            self.assertEqual((0, b''), (r.returncode, r.stderr), q)
            answers[len(answers)] = r.stdout.decode()
        self.starts_and_ends(answers[0], walls)
        self.two_tags(answers[1])
        self.assertEqual(['<3>[%12.6f] usb error s1', '<4>[%12.6f] USB reset s1'], [
            re.sub(r'\[ *[0-9.]+\]', '[%12.6f]', line) for line in answers[2].splitlines()])
        self.last_entries(answers[3])
        self.one_time_line(answers[4], tmp)
        self.json_lines(answers[5])

        # The second start's span by the wall clock bounds its main log, in either form of a time.
        second = answers[0].split('\n\n')[1].splitlines()[2]
        self.assertOk(vexlog(os.path.join(tmp, 'logs.zip'), '--since', second[8:34],
                             '--until', second[36:62].replace(' ', 'T') + 'Z', 'main'),
                      vexlog(os.path.join(tmp, 'logs.zip'), '--start', '2', 'main').stdout)
        r = vexlog(os.path.join(tmp, 'logs.zip'), '--start', '-1', 'kernel', '-p', 'warning')
        self.assertEqual([b'usb error s2', b'USB reset s2'], re.findall(rb'\] (.*)', r.stdout))
        # In the handset, with an option first and no SOURCE: the live log directory.
        r = h.exec(['/system/bin/vexlog', '-p', 'W', '-n', '2'])
        self.assertEqual((0, b''), (r.returncode, r.stderr))
        self.assertEqual([b'tel err s3', b'other warn s3'], re.findall(rb'\): (.*)', r.stdout))

    def assertOk(self, r, out):
        self.assertEqual((0, b'', out), (r.returncode, r.stderr, r.stdout))

    def starts_and_ends(self, text, walls):
        rows = text.split('\n\n')[1].splitlines()[1:]
        self.assertEqual(['0001', '0002', '0003'], [row[:6].strip() for row in rows])
        self.assertEqual(['stopped on signal 15',
                          'no end line (killed, crashed or power lost); a diag recording was stopped',
                          'no end line yet (running)'], [row[76:] for row in rows])
        spans = [(datetime.datetime.fromisoformat(row[8:34]), datetime.datetime.fromisoformat(row[36:62]))
                 for row in rows]
        for start, (first, last) in enumerate(spans, 1):
            self.assertLess(abs((first - walls[start]).total_seconds()), 5, rows)
            self.assertLessEqual(first, last)
            self.assertAlmostEqual((last - first).total_seconds(), float(rows[start - 1][64:74]), delta=0.002)
            if start > 1:
                self.assertLessEqual(spans[start - 2][1], first)

    def two_tags(self, text):
        self.assertEqual([('W', 'Radio', 'radio warn s2'), ('E', 'Telephony', 'tel err s2')],
                         re.findall(r'^\[ *[0-9.]+\] ([VDIWEF])/(\S+) *\(\d+\): (.*)$', text, re.M))

    def last_entries(self, text):
        lines = text.splitlines()
        entries = [line for line in lines if line.startswith('[')]
        self.assertEqual(50, len(entries), text)
        self.assertEqual(['tail 10', 'tail 59'], [entries[0][-7:], entries[-1][-7:]])
        self.assertEqual('second line', lines[lines.index(next(e for e in entries if e.endswith('tail 55'))) + 1])

    def one_time_line(self, text, tmp):
        rows = [(line[:26].strip(), *line[27:].split(': ', 1)) for line in text.splitlines()]
        self.assertEqual(['kernel', 'main', 'trace', 'daemon'], sorted({log for _, log, _ in rows},
                                                                        key=['kernel', 'main', 'trace', 'daemon'].index))
        # Each log whole and in its own order, the trace log after the stamped lines.
        for log in ('kernel', 'main', 'trace', 'daemon'):
            alone = subprocess.run([VEXLOG, 'logs.zip', '--start', '-1', log], cwd=tmp, capture_output=True).stdout
            self.assertEqual([line for line in alone.decode().splitlines() if not line.startswith('<<<< ')],
                             [line for _, lg, line in rows if lg == log], log)
        self.assertEqual(['trace'], [log for _, log, _ in rows[-1:]])
        walls = [datetime.datetime.fromisoformat(w) for w, log, _ in rows if log != 'trace']
        self.assertEqual(sorted(walls), walls)
        # A kernel line at the clock line's uptime + STEP: the clock line's wall clock + STEP.
        clock = next(line for _, log, line in rows if log == 'daemon' and 'clock: time base' in line)
        wall = datetime.datetime.fromisoformat(re.search(r'= (\S+)Z =', clock).group(1))
        kernel = next(datetime.datetime.fromisoformat(w) for w, log, line in rows if line.endswith('usb error s2'))
        self.assertAlmostEqual(self.STEP, (kernel - wall).total_seconds(), delta=2e-6)

    def json_lines(self, text):
        objs = [json.loads(line) for line in text.splitlines()]
        self.assertEqual({'kernel', 'main', 'trace', 'daemon'}, {o['log'] for o in objs})
        self.assertEqual({(2, 'logs.zip')}, {(o['start'], o['source']) for o in objs})
        kernel = [o for o in objs if o['log'] == 'kernel' and o['message'].endswith(' s2')]
        self.assertEqual([(3, 'usb error s2'), (6, 'usb info s2'), (4, 'USB reset s2')],
                         [(o['priority'], o['message']) for o in kernel])
        for o in kernel:
            self.assertEqual(o['uptime'], float(re.search(r'\[ *([0-9.]+)\]', o['line']).group(1)))
        self.assertTrue(all('wall' in o for o in objs if o['log'] != 'trace'))


if __name__ == '__main__':
    unittest.main()
