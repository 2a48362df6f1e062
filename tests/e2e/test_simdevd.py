"""simdevd, the handset's device server, mounted on a temporary folder of the
host and driven from Python: diag records, parked reads, requests 7 and 9,
interrupts, the control file, the PMIC files and clean unmounting."""

import errno
import fcntl
import os
import re
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest

BUILD = os.environ.get('VEXD_BUILD_DIR', os.path.join(os.path.dirname(__file__), '..', '..', 'build'))
SIMDEVD = os.path.join(BUILD, 'sim', 'devices', 'simdevd')
SANITIZER_MARKS = ('ERROR: AddressSanitizer', 'ERROR: LeakSanitizer', 'WARNING: ThreadSanitizer',
                   'runtime error:')
# sscanf "%x -- -- -- -- -- -- -- -- %x", as the band configuration tool reads spmi_data.
SPMI_LINE = re.compile(r'\s*([0-9a-fA-F]+)(?:\s+--){8}\s+([0-9a-fA-F]+)')


def require():
    if os.geteuid() != 0:
        raise unittest.SkipTest('simdevd tests need root (FUSE mounts)')
    if not os.path.exists('/dev/fuse'):
        raise unittest.SkipTest('/dev/fuse is missing')
    if not shutil.which('fusermount3'):
        raise unittest.SkipTest('fusermount3 is missing')
    if not os.path.exists(SIMDEVD):
        raise unittest.SkipTest('simdevd not built: %s' % SIMDEVD)


def is_mounted(path):
    with open('/proc/self/mountinfo') as f:
        return any(line.split()[4] == path for line in f)


def record(type_word, seq, size):
    """The bytes simdevd hands out for one record."""
    head = struct.pack('<II', type_word, seq)
    return (head + bytes((seq + i) & 0xff for i in range(8, max(size, 8))))[:size]


class Reader(threading.Thread):
    """One read of a descriptor on its own thread (it may park)."""

    def __init__(self, fd, size=1 << 20):
        super().__init__(daemon=True)
        self.fd, self.size, self.data, self.error = fd, size, None, None
        self.start()

    def run(self):
        try:
            self.data = os.read(self.fd, self.size)
        except OSError as e:
            self.error = e

    def result(self, timeout=5):
        self.join(timeout)
        if self.is_alive():
            raise AssertionError('read still parked after %ss' % timeout)
        if self.error:
            raise self.error
        return self.data


class SimdevdCase(unittest.TestCase):
    def setUp(self):
        require()
        self.tmp = tempfile.mkdtemp(prefix='simdevd-')
        self.mnt = os.path.join(self.tmp, 'dev')
        self.rec = os.path.join(self.tmp, 'records')
        os.mkdir(self.mnt)
        self.err = open(os.path.join(self.tmp, 'stderr'), 'w+')
        self.proc = subprocess.Popen([SIMDEVD, self.mnt, self.rec, '-f'], stderr=self.err)
        deadline = time.time() + 10
        while not os.path.exists(os.path.join(self.mnt, 'ctl')):
            if self.proc.poll() is not None or time.time() > deadline:
                self.fail('simdevd did not mount: %s' % self.stderr())
            time.sleep(0.02)
        self.fds = []

    def tearDown(self):
        for fd in self.fds:
            os.close(fd)
        if self.proc.poll() is None:
            subprocess.run(['fusermount3', '-u', self.mnt], check=False)
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
                subprocess.run(['fusermount3', '-uz', self.mnt], check=False)
                self.fail('simdevd did not end on unmount')
        self.assertEqual(self.proc.returncode, 0, self.stderr())
        self.assertFalse(is_mounted(self.mnt))
        self.check_sanitizers()
        self.err.close()
        shutil.rmtree(self.tmp, ignore_errors=True)

    def stderr(self):
        self.err.flush()
        with open(self.err.name) as f:
            return f.read()

    def check_sanitizers(self):
        text = self.stderr()
        for mark in SANITIZER_MARKS:
            self.assertNotIn(mark, text)

    def ctl(self, *lines):
        with open(os.path.join(self.mnt, 'ctl'), 'w') as f:
            f.write(''.join(line + '\n' for line in lines))

    def open(self, name, flags=os.O_RDWR):
        fd = os.open(os.path.join(self.mnt, name), flags)
        self.fds.append(fd)
        return fd

    def records(self, name, binary=False):
        try:
            with open(os.path.join(self.rec, name), 'rb' if binary else 'r') as f:
                return f.read()
        except FileNotFoundError:
            return b'' if binary else ''

    def read_text(self, name):
        with open(os.path.join(self.mnt, name)) as f:
            return f.read()

    def sh(self, command):
        """A shell redirection, as the band configuration tool runs them."""
        return subprocess.run(['/bin/sh', '-c', command], cwd=self.mnt, capture_output=True).returncode


class DiagTest(SimdevdCase):
    def test_one_record_per_read_and_data_file(self):
        fd = self.open('diag')
        self.ctl('diag burst 3 100', 'diag emit 0x33 7', 'diag emit 32 12')
        got = [os.read(fd, 1 << 20) for _ in range(5)]
        self.assertEqual([len(r) for r in got], [100, 100, 100, 7, 12])
        self.assertEqual(got[:3], [record(0x20, s, 100) for s in range(3)])
        self.assertEqual(got[3], record(0x33, 3, 7))
        # Only data records (type 0x20) go to diag_data.bin, as handed out.
        self.assertEqual(self.records('diag_data.bin', True), got[0] + got[1] + got[2] + got[4])
        # A record larger than the read is cut; the file holds what was returned.
        self.ctl('diag burst 1 5000')
        part = os.read(fd, 64)
        self.assertEqual(part, record(0x20, 5, 5000)[:64])
        self.assertTrue(self.records('diag_data.bin', True).endswith(part))
        # The largest record comes whole in one read, whatever the buffer.
        self.ctl('diag burst 2 1044480')
        for _ in range(2):
            self.assertEqual(len(Reader(fd).result()), 1044480)
        # Nothing is handed out unasked: the next read parks.
        r = Reader(fd)
        r.join(0.3)
        self.assertTrue(r.is_alive())
        self.ctl('diag emit 0x20 4')
        self.assertEqual(r.result(), record(0x20, 8, 4))

    def test_parked_read_writes_and_requests(self):
        fd = self.open('diag')
        r = Reader(fd)
        time.sleep(0.2)
        # Writes and requests on the same descriptor go on while the read is parked.
        packets = [bytes.fromhex('20000000') + b'\x01\x02\x7e', bytes.fromhex('20000000') + b'\x7d\x7e']
        w = threading.Thread(target=lambda: [os.write(fd, p) for p in packets], daemon=True)
        w.start()
        w.join(5)
        self.assertFalse(w.is_alive(), 'write blocked behind a parked read')
        self.assertEqual(fcntl.ioctl(fd, 7, 2), 1)
        self.assertTrue(r.is_alive())
        self.assertEqual(fcntl.ioctl(fd, 9, 0), 1)
        deinit = r.result()
        self.assertGreaterEqual(len(deinit), 4)
        self.assertEqual(struct.unpack_from('<I', deinit)[0], 0x10)
        self.assertEqual(self.records('diag_writes.log').splitlines(), [p.hex() for p in packets])
        self.assertEqual(self.records('diag_ioctl.log').splitlines(), ['7 2 1', '9 0 1'])
        self.assertEqual(self.records('diag_data.bin', True), b'')

    def test_refused_and_ignored_requests(self):
        fd = self.open('diag')
        self.ctl('diag refuse7 1', 'diag refuse9 1')
        self.assertEqual(fcntl.ioctl(fd, 7, 2), 0)
        self.assertEqual(fcntl.ioctl(fd, 9, 0), 0)
        self.ctl('diag refuse9 0', 'diag ignore9 1')
        self.assertEqual(fcntl.ioctl(fd, 9, 0), 1)
        # Neither a refused nor an ignored request 9 sends DEINIT.
        self.ctl('diag emit 0x20 8')
        self.assertEqual(struct.unpack_from('<I', os.read(fd, 64))[0], 0x20)
        # An accepted request 9 with no read parked answers the next read,
        # ahead of queued data.
        self.ctl('diag refuse7 0', 'diag ignore9 0', 'diag burst 1 16')
        self.assertEqual(fcntl.ioctl(fd, 7, 2), 1)
        self.assertEqual(fcntl.ioctl(fd, 9, 0), 1)
        self.assertEqual(struct.unpack_from('<I', os.read(fd, 64))[0], 0x10)
        self.assertEqual(len(os.read(fd, 64)), 16)
        self.assertEqual(self.records('diag_ioctl.log').splitlines(),
                         ['7 2 0', '9 0 0', '9 0 1', '7 2 1', '9 0 1'])
        with self.assertRaises(OSError) as cm:
            fcntl.ioctl(fd, 0x1234, 5)
        self.assertEqual(cm.exception.errno, errno.ENOTTY)

    def test_deinit_belongs_to_the_open_that_asked(self):
        a, b = self.open('diag'), self.open('diag')
        ra = Reader(a)
        time.sleep(0.2)
        self.assertEqual(fcntl.ioctl(b, 9, 0), 1)
        ra.join(0.3)
        self.assertTrue(ra.is_alive())
        self.assertEqual(struct.unpack_from('<I', os.read(b, 64))[0], 0x10)
        rb = Reader(b)
        time.sleep(0.1)
        self.ctl('diag burst 2 10')
        self.assertEqual(sorted([ra.result(), rb.result()]), [record(0x20, 1, 10), record(0x20, 2, 10)])

    def test_interrupted_readers_do_not_hang_or_lose_records(self):
        path = os.path.join(self.mnt, 'diag')
        handled = ('import os, signal, sys\n'
                   'def quit(s, f): raise KeyboardInterrupt\n'
                   'signal.signal(signal.SIGQUIT, quit)\n'
                   'fd = os.open(%r, os.O_RDWR)\n'
                   'print("ready", flush=True)\n'
                   'try:\n    os.read(fd, 4096)\n'
                   'except KeyboardInterrupt:\n    sys.exit(3)\n' % path)
        for code, sig, status in ((handled, signal.SIGQUIT, 3), (handled, signal.SIGKILL, -9)):
            p = subprocess.Popen([sys.executable, '-c', code], stdout=subprocess.PIPE)
            self.assertEqual(p.stdout.readline(), b'ready\n')
            time.sleep(0.3)
            p.send_signal(sig)
            self.assertEqual(p.wait(5), status)
            p.stdout.close()
        # The records go to the next reader; the interrupted ones got none.
        self.ctl('diag burst 1 32')
        self.assertEqual(os.read(self.open('diag'), 4096), record(0x20, 0, 32))
        self.assertEqual(self.records('diag_data.bin', True), record(0x20, 0, 32))

    def test_rate(self):
        fd = self.open('diag')
        self.ctl('diag rate 50 40')
        start = time.monotonic()
        got = [os.read(fd, 4096) for _ in range(10)]
        took = time.monotonic() - start
        self.assertGreater(took, 0.12)
        self.assertLess(took, 3)
        self.assertEqual(got, [record(0x20, s, 40) for s in range(10)])
        self.ctl('diag rate 0')
        time.sleep(0.1)
        # Records that fell due are handed out; then nothing more comes.
        while True:
            r = Reader(fd)
            r.join(0.4)
            if r.is_alive():
                break
        self.ctl('diag emit 0x20 4')
        r.result()
        self.assertEqual(len(self.records('diag_data.bin', True)) % 40, 4)


class ControlAndPmicTest(SimdevdCase):
    def test_control_lines(self):
        with self.assertRaises(OSError) as cm:
            self.ctl('diag burst 1 16', 'diag bogus 1')
        self.assertEqual(cm.exception.errno, errno.EINVAL)
        for bad in ('diag burst 1 3', 'diag burst 2', 'diag rate 100001 16', 'diag refuse7 2',
                    'pmic gpio 256', 'pmic absent nothing', 'pmic adc 12x', 'modem on'):
            with self.assertRaises(OSError, msg=bad):
                self.ctl(bad)
        # A write with a bad line applies none of its lines: no burst is queued.
        r = Reader(self.open('diag'))
        r.join(0.3)
        self.assertTrue(r.is_alive())
        self.ctl('# comment', '', 'diag emit 0x10 4')
        self.assertEqual(r.result(), b'\x10\0\0\0')
        with self.assertRaises(PermissionError):
            self.read_text('ctl')

    def test_gpio_register_dump(self):
        self.assertEqual(self.sh('echo 0x%04X > spmi_address && echo 1 > spmi_count' % 0xCB08), 0)
        for level in (1, 0):
            self.ctl('pmic gpio %d' % level)
            m = SPMI_LINE.match(self.read_text('spmi_data'))
            self.assertIsNotNone(m)
            self.assertEqual(int(m.group(2), 16) & 1, level)
        # Another register is not the strap: the dump does not have that layout.
        self.ctl('pmic gpio 1')
        self.sh('echo 0xCB00 > spmi_address')
        self.assertIsNone(SPMI_LINE.match(self.read_text('spmi_data')))
        self.assertEqual(self.sh('echo zz > spmi_count'), 1)  # refused, still recorded
        self.assertEqual(self.read_text('spmi_count'), '1\n')
        self.assertEqual(self.records('spmi.log').splitlines(),
                         ['spmi_address 0xCB08', 'spmi_count 1', 'spmi_address 0xCB00', 'spmi_count zz'])

    def test_adc_and_invert(self):
        self.assertEqual(self.read_text('rf_id'), 'Result:0 Raw:0\n')
        for n in (1705999, -500, 2 ** 40):
            self.ctl('pmic adc %d' % n)
            m = re.match(r'Result:(-?\d+) Raw:(-?\d+)\n$', self.read_text('rf_id'))
            self.assertEqual(int(m.group(1)), n)
        self.assertEqual(self.sh('echo 1 > invert; echo 0 > invert'), 0)
        self.assertEqual(self.records('invert.log'), '1\n0\n')
        self.assertEqual(self.read_text('invert'), '0\n')

    def test_absent_and_unreadable_files(self):
        names = ('spmi_address', 'spmi_count', 'spmi_data', 'invert', 'rf_id')
        for name in names:
            self.ctl('pmic absent ' + name)
            with self.assertRaises(FileNotFoundError):
                self.read_text(name)
            self.ctl('pmic unreadable ' + name)
            with self.assertRaises(PermissionError):
                self.read_text(name)
            self.ctl('pmic present ' + name)
            self.read_text(name)
        # The shell's redirection fails too, and nothing is recorded.
        self.ctl('pmic absent invert')
        self.assertNotEqual(self.sh('echo 1 > invert'), 0)
        self.assertEqual(self.records('invert.log'), '')


def logger_entry(msg):
    payload = b'\x04tag\0' + msg + b'\0'
    return struct.pack('<HHiiii', len(payload), 0, 1, 2, 3, 4) + payload


def ring_stats(text):
    return {line.split()[0]: dict(kv.split('=', 1) for kv in line.split()[1:]) for line in text.splitlines()}


class RingTest(SimdevdCase):
    def test_kmsg_never_blocks_its_feeder_and_keeps_the_newest_bytes(self):
        self.ctl('ring kmsg size 65536')
        w = self.open('kmsg', os.O_WRONLY)
        data = bytes(i * 7 % 251 for i in range(1 << 20))
        t0 = time.monotonic()
        for off in range(0, len(data), 65536):
            self.assertEqual(os.write(w, data[off:off + 65536]), 65536)
        self.assertLess(time.monotonic() - t0, 5)  # nobody reads, nothing waits
        st = ring_stats(self.read_text('rings'))['kmsg']
        self.assertEqual((st['fed'], st['dropped'], st['used']), (str(1 << 20), str((1 << 20) - 65536), '65536'))
        r = self.open('kmsg', os.O_RDONLY)
        got = b''.join(os.read(r, 4096) for _ in range(16))
        self.assertEqual(got, data[-65536:])
        # An empty ring parks the read until the next write.
        rd = Reader(r, 4096)
        rd.join(0.3)
        self.assertTrue(rd.is_alive())
        os.write(w, b'<6>late line\n')
        self.assertEqual(rd.result(), b'<6>late line\n')

    def test_main_log_drops_whole_entries(self):
        self.ctl('ring main size 4096')
        w = self.open('log_main', os.O_WRONLY)
        entries = [logger_entry(b'message %d ' % i + b'x' * 200) for i in range(40)]
        os.write(w, b''.join(entries[:10]))  # several whole entries in one write
        for e in entries[10:]:
            os.write(w, e)
        with self.assertRaises(OSError) as cm:
            os.write(w, entries[0][:-1])
        self.assertEqual(cm.exception.errno, errno.EINVAL)
        st = ring_stats(self.read_text('rings'))['main']
        kept = 4096 // len(entries[0])
        self.assertEqual((st['entries_fed'], st['entries_dropped']), ('40', str(40 - kept)))
        r = self.open('log_main', os.O_RDONLY)
        self.assertEqual([os.read(r, 4096) for _ in range(kept)], entries[-kept:])


class LifecycleTest(unittest.TestCase):
    def setUp(self):
        require()
        self.tmp = tempfile.mkdtemp(prefix='simdevd-')
        self.mnt = os.path.join(self.tmp, 'dev')
        os.mkdir(self.mnt)

    def tearDown(self):
        if is_mounted(self.mnt):
            subprocess.run(['fusermount3', '-uz', self.mnt], check=False)
        shutil.rmtree(self.tmp, ignore_errors=True)

    def server_pids(self):
        pids = []
        for pid in filter(str.isdigit, os.listdir('/proc')):
            try:
                with open('/proc/%s/cmdline' % pid, 'rb') as f:
                    argv = f.read().split(b'\0')
            except OSError:
                continue
            if argv[0].endswith(b'simdevd') and self.mnt.encode() in argv:
                pids.append(int(pid))
        return pids

    def wait_gone(self, timeout=10):
        deadline = time.time() + timeout
        while self.server_pids() and time.time() < deadline:
            time.sleep(0.05)
        return not self.server_pids()

    def test_daemon_mode_ends_on_unmount(self):
        rec = os.path.join(self.tmp, 'records')
        self.assertEqual(subprocess.run([SIMDEVD, self.mnt, rec], timeout=10).returncode, 0)
        self.assertTrue(is_mounted(self.mnt))
        self.assertEqual(len(self.server_pids()), 1)
        with open(os.path.join(self.mnt, 'ctl'), 'w') as f:
            f.write('diag burst 1 8\n')
        with open(os.path.join(self.mnt, 'diag'), 'rb', buffering=0) as f:
            self.assertEqual(f.read(64), record(0x20, 0, 8))
        self.assertEqual(subprocess.run(['fusermount3', '-u', self.mnt]).returncode, 0)
        self.assertTrue(self.wait_gone())
        self.assertFalse(is_mounted(self.mnt))

    def test_terminate_and_kill_leave_no_stale_mount(self):
        rec = os.path.join(self.tmp, 'records')
        p = subprocess.Popen([SIMDEVD, self.mnt, rec, '-f'])
        deadline = time.time() + 10
        while not is_mounted(self.mnt) and time.time() < deadline:
            time.sleep(0.02)
        # A parked read does not keep the server from ending.
        fd = os.open(os.path.join(self.mnt, 'diag'), os.O_RDONLY)
        r = Reader(fd)
        time.sleep(0.2)
        p.terminate()
        self.assertEqual(p.wait(10), 0)
        self.assertRaises(OSError, r.result)
        try:
            os.close(fd)
        except OSError:  # the server is gone: its flush fails
            pass
        deadline = time.time() + 10
        while is_mounted(self.mnt) and time.time() < deadline:
            time.sleep(0.05)
        self.assertFalse(is_mounted(self.mnt))
        # Killed outright, it still leaves no dead mount behind.
        p = subprocess.Popen([SIMDEVD, self.mnt, rec, '-f'])
        while not is_mounted(self.mnt) and time.time() < deadline + 10:
            time.sleep(0.02)
        p.kill()
        p.wait()
        deadline = time.time() + 10
        while is_mounted(self.mnt) and time.time() < deadline:
            time.sleep(0.05)
        self.assertFalse(is_mounted(self.mnt))

    def test_bad_command_lines(self):
        for args in ([], [self.mnt], [self.mnt, os.path.join(self.tmp, 'nope', 'deeper')],
                     [os.path.join(self.tmp, 'missing'), self.tmp]):
            self.assertNotEqual(subprocess.run([SIMDEVD] + args, capture_output=True, timeout=10).returncode, 0)
        for args in (['--bogus', self.mnt, self.tmp], [self.mnt, self.tmp, '-o']):
            r = subprocess.run([SIMDEVD] + args, capture_output=True, timeout=10)
            self.assertEqual((r.returncode, r.stderr[:6]), (2, b'simdev'), args)
        r = subprocess.run([SIMDEVD, '--help'], capture_output=True, timeout=10)
        self.assertEqual(r.returncode, 0)
        self.assertIn(b'MOUNTPOINT RECORDS_DIR', r.stdout)
        self.assertFalse(is_mounted(self.mnt))


if __name__ == '__main__':
    unittest.main()
