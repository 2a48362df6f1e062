"""Modem diag recordings in the simulated handset, checked byte for byte
against what the device server handed out and was sent."""
import os
import socket
import struct
import time
import unittest

import handset
import socket_proto
from socket_proto import DIAG_ON, DIAG_OFF, SET_MASK, RM_LOGS

OK, FAILED = 0, -1
DIAG_DIR = '/qordebug/diag_logs'
SOURCE_DIR = os.environ.get('VEXD_SOURCE_DIR',
                            os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', '..'))


def command(h, code, text=None, timeout=30):
    """Sends one request on a new control connection; the response status."""
    payload = b'' if text is None else text.encode() + b'\x00'
    s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    s.settimeout(timeout)
    try:
        deadline = time.monotonic() + 30
        while True:
            try:
                s.connect(os.path.join(h.system_dir, 'vexd_ctrl_socket'))
                break
            except OSError:
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.1)
        return socket_proto.call(s, code, payload)[0]
    finally:
        s.close()


def mask_writes(name):
    """The device writes that the mask file sim/etc/NAME must produce."""
    with open(os.path.join(SOURCE_DIR, 'sim', 'etc', name), 'rb') as f:
        data = f.read()
    packets = data.split(b'\x7e')[:-1]
    return ['20000000' + (p + b'\x7e').hex() for p in packets]


def wait_until(cond, timeout=30, what='condition'):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if cond():
            return
        time.sleep(0.1)
    raise AssertionError('timed out waiting for ' + what)


class Device:
    """The device server's records, read from the host."""

    def __init__(self, h):
        self.h = h

    def _read(self, name):
        try:
            with open(os.path.join(self.h.records_dir, name), 'rb') as f:
                return f.read()
        except FileNotFoundError:
            return b''

    def data(self):
        return self._read('diag_data.bin')

    def writes(self):
        return self._read('diag_writes.log').decode().splitlines()

    def ioctls(self):
        return self._read('diag_ioctl.log').decode().splitlines()


def start(h):
    h.start()
    try:
        wait_until(lambda: 'vexd: daemon startup complete' in h.kmsg(), 60, 'daemon start-up')
    except BaseException:
        h.stop()
        raise


def counter(h):
    with open(os.path.join(h.system_dir, 'vexd_startcnt'), 'rb') as f:
        return struct.unpack('<i', f.read(4))[0]


class DiagRecording(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        handset.require()
        cls.h = handset.Handset('diag')
        start(cls.h)
        cls.dev = Device(cls.h)
        cls.count = counter(cls.h)

    @classmethod
    def tearDownClass(cls):
        cls.h.stop()

    def qmdl(self, name):
        return '%s/dl_%s_%d.qmdl' % (DIAG_DIR, name, self.count)

    def qmdl_bytes(self, name):
        r = self.h.exec(['cat', self.qmdl(name)])
        return r.stdout if r.returncode == 0 else None

    def log(self):
        return self.h.read_file('/qordebug/vexd_vexdlog.txt').decode(errors='replace')

    def listing(self):
        return self.h.exec(['ls', '-a', DIAG_DIR]).stdout.decode().split()

    def test_recording_holds_exactly_the_records_handed_out(self):
        data0, writes0, ioctls0 = len(self.dev.data()), len(self.dev.writes()), len(self.dev.ioctls())
        self.assertEqual(OK, command(self.h, DIAG_ON, 'rec'))
        self.assertEqual(mask_writes('diagmask.cfg'), self.dev.writes()[writes0:])
        self.assertEqual(['7 2 1'], self.dev.ioctls()[ioctls0:])

        # Small and large records, and one of another type that must be left out.
        self.h.ctl('diag burst 40 3000')
        self.h.ctl('diag emit 0x30 64')
        self.h.ctl('diag burst 6 200000')
        total = 40 * 3000 + 6 * 200000
        wait_until(lambda: len(self.dev.data()) - data0 == total, what='the device to hand out')
        wait_until(lambda: len(self.qmdl_bytes('rec') or b'') == total, what='the qmdl file')

        writes1, ioctls1 = len(self.dev.writes()), len(self.dev.ioctls())
        self.assertEqual(OK, command(self.h, DIAG_OFF))
        self.assertEqual(mask_writes('diagmask_none.cfg'), self.dev.writes()[writes1:])
        self.assertEqual(['9 0 1'], self.dev.ioctls()[ioctls1:])
        self.assertEqual(self.dev.data()[data0:], self.qmdl_bytes('rec'))
        self.assertIn('Modem logs are now off', self.log())

        # A second recording with the same name appends to the same file.
        self.assertEqual(OK, command(self.h, DIAG_ON, 'rec'))
        self.h.ctl('diag burst 5 100')
        wait_until(lambda: len(self.qmdl_bytes('rec')) == total + 500, what='the appended records')
        self.assertEqual(OK, command(self.h, DIAG_OFF))
        self.assertEqual(self.dev.data()[data0:], self.qmdl_bytes('rec'))

    def test_off_without_recording_still_ends_on_the_device(self):
        writes0, ioctls0 = len(self.dev.writes()), len(self.dev.ioctls())
        self.assertEqual(OK, command(self.h, DIAG_OFF))
        self.assertEqual(mask_writes('diagmask_none.cfg'), self.dev.writes()[writes0:])
        self.assertEqual(['9 0 1'], self.dev.ioctls()[ioctls0:])

    def test_refused_request9_leaves_the_recording_on(self):
        self.h.ctl('diag refuse9 1')
        try:
            self.assertEqual(OK, command(self.h, DIAG_ON, 'r9'))
            self.assertEqual(FAILED, command(self.h, DIAG_OFF))
            self.assertIn('diaglog_off: DeviceIOControl failed.', self.log())
            self.assertEqual(FAILED, command(self.h, DIAG_ON, 'r9'))
            self.assertIn('ERR: Modem logs already started!!', self.log())
            # Still recording.
            data0 = len(self.dev.data())
            self.h.ctl('diag burst 3 500')
            wait_until(lambda: len(self.dev.data()) - data0 == 1500, what='the device')
            wait_until(lambda: self.qmdl_bytes('r9') == self.dev.data()[data0:], what='the qmdl file')
        finally:
            self.h.ctl('diag refuse9 0')
        self.assertEqual(OK, command(self.h, DIAG_OFF))

    def test_stuck_reader_is_forced_out_before_off_answers(self):
        self.h.ctl('diag ignore9 1')
        try:
            self.assertEqual(OK, command(self.h, DIAG_ON, 'stuck'))
            mark = len(self.log())
            t0 = time.monotonic()
            self.assertEqual(OK, command(self.h, DIAG_OFF))
            took = time.monotonic() - t0
        finally:
            self.h.ctl('diag ignore9 0')
        self.assertGreaterEqual(took, 2.9)
        self.assertLess(took, 15)
        log = self.log()[mark:]
        timeout = log.find('diaglog_off: Timeout waiting diaglog_thread exit.')
        quit_ = log.find('Quit diaglog thread.')
        off = log.find('Modem logs are now off')
        self.assertTrue(0 <= timeout < quit_ < off, log)

        # Idle again: a new recording starts and ends without the wait.
        self.assertEqual(OK, command(self.h, DIAG_ON, 'stuck'))
        t0 = time.monotonic()
        self.assertEqual(OK, command(self.h, DIAG_OFF))
        self.assertLess(time.monotonic() - t0, 2.5)

    def test_names_and_mask_paths(self):
        writes0, ioctls0 = len(self.dev.writes()), len(self.dev.ioctls())
        self.assertEqual(FAILED, command(self.h, DIAG_ON, '../escape'))
        self.assertEqual(FAILED, command(self.h, DIAG_ON, 'n' * 256))
        self.assertEqual((writes0, ioctls0), (len(self.dev.writes()), len(self.dev.ioctls())))

        # An overlong mask path is refused and the stored one stays.
        self.assertEqual(OK, command(self.h, SET_MASK, '/system/etc/diagmask_none.cfg'))
        self.assertEqual(FAILED, command(self.h, SET_MASK, '/system/etc/' + 'm' * 250))
        try:
            self.assertEqual(OK, command(self.h, DIAG_ON, 'masks'))
            self.assertEqual(mask_writes('diagmask_none.cfg'), self.dev.writes()[writes0:])
            self.assertEqual(OK, command(self.h, DIAG_OFF))
            # A missing mask file is stored all the same; the next start answers -1 but records.
            self.assertEqual(FAILED, command(self.h, SET_MASK, '/system/etc/no_such.cfg'))
            self.assertEqual(FAILED, command(self.h, DIAG_ON, 'masks'))
            self.assertIn("Sorry, can't open mask file", self.log())
            self.assertEqual(FAILED, command(self.h, DIAG_ON, 'masks'))
            self.assertEqual(OK, command(self.h, DIAG_OFF))
        finally:
            self.assertEqual(OK, command(self.h, SET_MASK, '/system/etc/diagmask.cfg'))

    def test_rm_logs_filter(self):
        names = ['dl_abc_3.qmdl', 'dl_xabcx_7.qmdl.gz', 'dl_abd_3.qmdl', 'dl_ABC_3.qmdl', 'abc_notes.txt']
        script = 'cd %s && mkdir abc_qmdl_dir && touch abc_qmdl_dir/dl_abc_1.qmdl %s' % (DIAG_DIR, ' '.join(names))
        self.assertEqual(0, self.h.exec(['sh', '-c', script]).returncode)
        try:
            self.assertEqual(OK, command(self.h, RM_LOGS, 'abc'))
            left = self.listing()
            self.assertNotIn('dl_abc_3.qmdl', left)
            self.assertNotIn('dl_xabcx_7.qmdl.gz', left)
            for kept in ('dl_abd_3.qmdl', 'dl_ABC_3.qmdl', 'abc_notes.txt', 'abc_qmdl_dir'):
                self.assertIn(kept, left)
            self.assertIn('Deleted %s/dl_abc_3.qmdl' % DIAG_DIR, self.log())

            self.assertEqual(OK, command(self.h, RM_LOGS, ''))
            left = self.listing()
            self.assertEqual([], [n for n in left if 'qmdl' in n and n != 'abc_qmdl_dir'])
            self.assertIn('abc_notes.txt', left)
            r = self.h.exec(['ls', DIAG_DIR + '/abc_qmdl_dir'])
            self.assertEqual('dl_abc_1.qmdl', r.stdout.decode().strip())
        finally:
            self.h.exec(['rm', '-rf', DIAG_DIR + '/abc_qmdl_dir', DIAG_DIR + '/abc_notes.txt'])


class DiagFirstStart(unittest.TestCase):
    def test_recordings_are_deleted_only_at_count_one(self):
        handset.require()
        h = handset.Handset('diag-first')
        start(h)
        try:
            self.assertEqual(1, counter(h))
            self.assertEqual(OK, command(h, DIAG_ON, 'a'))
            h.ctl('diag burst 2 100')
            wait_until(lambda: h.exec(['cat', DIAG_DIR + '/dl_a_1.qmdl']).stdout.__len__() == 200,
                       what='the qmdl file')
            self.assertEqual(OK, command(h, DIAG_OFF))
            h.exec(['sh', '-c', 'cd %s && touch dl_old_9.qmdl.gz keep.txt' % DIAG_DIR])
        finally:
            h.stop()

        start(h)
        try:
            self.assertEqual(2, counter(h))
            left = h.exec(['ls', DIAG_DIR]).stdout.decode().split()
            self.assertEqual(['dl_a_1.qmdl', 'dl_old_9.qmdl.gz', 'keep.txt'], sorted(left))
        finally:
            h.stop()

        # A damaged counter file is no first start: no recording is deleted,
        # and the count goes on past the highest count in their names.
        for damage in (b'\x05\x00\x00', struct.pack('=i', -1)):
            with open(os.path.join(h.system_dir, 'vexd_startcnt'), 'wb') as f:
                f.write(damage)
            start(h)
            try:
                self.assertEqual(10, counter(h))
                left = h.exec(['ls', DIAG_DIR]).stdout.decode().split()
                self.assertEqual(['dl_a_1.qmdl', 'dl_old_9.qmdl.gz', 'keep.txt'], sorted(left))
                log = h.read_file('/qordebug/vexd_vexdlog.txt').decode(errors='replace')
                log = log.split('<<<< VEXD START >>>>')[-1]  # this start's lines
                self.assertIn('Startup counter file /system/vexd_startcnt damaged, counting on from 10', log)
                self.assertNotIn('Deleted', log)
            finally:
                h.stop()


if __name__ == '__main__':
    unittest.main()
