"""Choice of the log directory, the startup counter and marker, the process list
and the gzip limits of vexd in the simulated handset."""
import os
import re
import struct
import time
import unittest
import zlib

import handset

STARTED = 'vexd: daemon started'
COMPLETE = 'vexd: daemon startup complete'
FORMATTED = 'vexd: Formatted qordebug partition'
MOUNTED = 'vexd: Mounted /dev/block/platform/msm_sdcc.1/by-name/userdata -> /system/qordebug'
ALREADY = 'vexd: Already mounted /dev/block/platform/msm_sdcc.1/by-name/userdata -> /system/qordebug'
QUIT = 'vexd: Diskspace is close to full! Quit!'
MKFS_FAILED = 'vexd: Failed to make ext4fs on qordebug!'
MOUNT_FAILED = 'vexd: Failed to mount /system/qordebug!'
LINKED = 'vexd: symlink /qordebug -> /system/qordebug -> /system'
USING_SYSTEM = 'vexd: symlink failed, using /system'
MKDIR_FAILED = 'vexd: Failed to create dir /system/qordebug'
MOUNT_STATUS = re.compile(r'^vexd: status=-1, errno=\d+$')


def marker(count):
    return '<<<< VEXD START >>>>\n<<<< STARTUP COUNT %04d >>>>\n' % count


def gz_members(data):
    """Each member of a gzip file, decompressed on its own."""
    members = []
    while data:
        d = zlib.decompressobj(16 + zlib.MAX_WBITS)
        members.append(d.decompress(data) + d.flush())
        if not d.eof:
            raise ValueError('truncated gzip member')
        data = d.unused_data
    return members


class Storage(unittest.TestCase):
    def setUp(self):
        handset.require()

    def boot(self, name, **opts):
        h = handset.started(name, self.addCleanup, **opts)
        self.assertTrue(h.wait_kmsg(COMPLETE, timeout=60), h.kmsg())
        return h

    def selection(self, h):
        """The kernel-log lines of the storage choice: after "daemon started",
        up to the first line that belongs to something else."""
        lines = h.kmsg().splitlines()
        self.assertEqual(STARTED, lines[0])
        known = (FORMATTED, MOUNTED, MKFS_FAILED, MOUNT_FAILED, LINKED, USING_SYSTEM, MKDIR_FAILED)
        out = []
        for line in lines[1:]:
            if line not in known and not line.startswith('vexd: status='):
                break
            out.append(line)
        return out

    def counter(self, h):
        with open(os.path.join(h.system_dir, 'vexd_startcnt'), 'rb') as f:
            data = f.read()
        self.assertEqual(4, len(data))
        return struct.unpack('=i', data)[0]

    def set_counter(self, h, value):
        os.makedirs(h.system_dir, exist_ok=True)
        with open(os.path.join(h.system_dir, 'vexd_startcnt'), 'wb') as f:
            f.write(struct.pack('=i', value))

    def assert_runs_begin_with_markers(self, text, counts, first_line=None):
        """`text` holds one run per count, each beginning with its marker."""
        runs = text.split('<<<< VEXD START >>>>\n')
        self.assertEqual(len(counts), len(runs) - 1, text[:500])
        for count, run in zip(counts, runs[1:]):
            self.assertTrue(('<<<< VEXD START >>>>\n' + run).startswith(marker(count)), run[:200])
            if first_line is not None:
                self.assertRegex(run.split('\n')[1], first_line)

    def test_first_start_formats_later_starts_mount_and_count(self):
        h = self.boot('storage_main', fresh=True)
        self.assertEqual([FORMATTED, MOUNTED], self.selection(h))
        self.assertEqual(1, self.counter(h))
        mounts = h.exec(['cat', '/proc/mounts']).stdout.decode()
        self.assertIn(' /system/qordebug ext4 ', mounts)
        h.stop()

        for count in (2, 3):
            h = self.boot('storage_main', fresh=False)
            self.assertEqual([MOUNTED], self.selection(h))
            self.assertEqual(count, self.counter(h))
            h.stop()

        h = self.boot('storage_main', fresh=False)
        counts = [1, 2, 3, 4]
        log = h.read_file('/qordebug/vexd_vexdlog.txt').decode()
        self.assert_runs_begin_with_markers(log, counts, r'^\[[ \d]{4}\d\.\d{6}\] vexd: log dir = /qordebug$')
        ps = h.read_file('/qordebug/vexd_ps.txt').decode()
        self.assert_runs_begin_with_markers(ps, counts)
        for run in ps.split('<<<< VEXD START >>>>\n')[1:]:
            self.assertRegex(run, r'\n *PID +TTY')
            # Under the emulator the daemon's process is the emulator's.
            self.assertIn('qemu-arm' if handset.EMULATED else 'vexd', run)
        # The collectors head their text files with the same markers.
        for name in ('vexd_syslog.txt', 'vexd_logcat.txt'):
            h.wait_file('/qordebug/' + name, lambda data: marker(4).encode() in data, timeout=10)
            self.assert_runs_begin_with_markers(h.read_file('/qordebug/' + name).decode(), counts)
        # Nothing of the logs lands in /system itself.
        self.assertFalse(os.path.exists(os.path.join(h.system_dir, 'vexd_vexdlog.txt')))
        h.stop()

        # A counter that is a link, dangling or a loop, is something there: no
        # format, the logs stay, and the count goes on from 2 over the link.
        cnt = os.path.join(h.system_dir, 'vexd_startcnt')
        for target in ('/system/nowhere', 'vexd_startcnt'):
            os.remove(cnt)
            os.symlink(target, cnt)
            h = self.boot('storage_main', fresh=False)
            self.assertEqual([MOUNTED], self.selection(h))
            self.assertEqual(2, self.counter(h))
            self.assertFalse(os.path.islink(cnt))
            self.assertIn(marker(4), h.read_file('/qordebug/vexd_vexdlog.txt').decode())
            h.stop()

    def test_format_failure_falls_back_to_the_link(self):
        h = self.boot('storage_mkfs', fresh=True, mkfs_fail=True)
        self.assertEqual([MKFS_FAILED, 'vexd: status=256', LINKED], self.selection(h))
        link = os.path.join(h.system_dir, 'qordebug')
        self.assertTrue(os.path.islink(link))
        self.assertEqual('/system', os.readlink(link))
        # The logs reach /system through the link.
        with open(os.path.join(h.system_dir, 'vexd_vexdlog.txt')) as f:
            log = f.read()
        self.assertTrue(log.startswith(marker(1)))
        self.assertIn('vexd: log dir = /qordebug\n', log)

    def test_leftover_link_is_replaced_after_the_mount_fails(self):
        h = handset.Handset('storage_link', fresh=True, qordebug_link=True)
        self.set_counter(h, 41)  # not a first start: no formatting
        self.addCleanup(h.stop)
        h.start()
        self.assertTrue(h.wait_kmsg(COMPLETE, timeout=60), h.kmsg())
        sel = self.selection(h)
        self.assertEqual([MOUNT_FAILED, LINKED], [sel[0], sel[2]])
        self.assertEqual('vexd: status=-1, errno=2', sel[1])  # no mount point: ENOENT
        self.assertEqual('/system', os.readlink(os.path.join(h.system_dir, 'qordebug')))
        self.assertEqual(42, self.counter(h))
        with open(os.path.join(h.system_dir, 'vexd_vexdlog.txt')) as f:
            self.assertTrue(f.read().startswith(marker(42)))

    def test_nonempty_directory_after_a_failed_mount_leaves_system(self):
        h = handset.Handset('storage_nonempty', fresh=True, qordebug_nonempty=True, userdata=False)
        self.set_counter(h, 7)
        self.addCleanup(h.stop)
        h.start()
        self.assertTrue(h.wait_kmsg(COMPLETE, timeout=60), h.kmsg())
        sel = self.selection(h)
        self.assertEqual(3, len(sel), sel)
        self.assertEqual(MOUNT_FAILED, sel[0])
        self.assertRegex(sel[1], MOUNT_STATUS)
        self.assertEqual(USING_SYSTEM, sel[2])
        q = os.path.join(h.system_dir, 'qordebug')
        self.assertTrue(os.path.isdir(q) and not os.path.islink(q))
        self.assertTrue(os.path.exists(os.path.join(q, 'leftover.txt')))
        with open(os.path.join(h.system_dir, 'vexd_vexdlog.txt')) as f:
            self.assertIn('vexd: log dir = /system\n', f.read())

    def test_read_only_system(self):
        h = self.boot('storage_ro', fresh=True, ro_system=True)
        self.assertEqual([MKDIR_FAILED, USING_SYSTEM], self.selection(h))
        # The daemon log cannot be opened in a read-only /system; each attempt says so.
        self.assertIn('vexd: Failed to open /system/vexd_vexdlog.txt fd=-1', h.kmsg().splitlines())
        self.assertFalse(os.path.exists(os.path.join(h.system_dir, 'vexd_startcnt')))

    def test_gzip_limit_applies_outside_the_partition(self):
        # Fallback through the link: the text log files live in /system.
        h = handset.Handset('storage_gz_out', fresh=True, mkfs_fail=True)
        self.addCleanup(h.stop)
        os.makedirs(h.system_dir, exist_ok=True)
        old_ps = b'p' * 65536
        old_log = b'l' * 65530
        for name, text in (('vexd_ps', old_ps), ('vexd_vexdlog', old_log)):
            with open(os.path.join(h.system_dir, name + '.txt'), 'wb') as f:
                f.write(text)
            with open(os.path.join(h.system_dir, name + '.gz'), 'wb') as f:
                f.write(os.urandom(131073))  # above the limit: removed, never read
        h.start()
        self.assertTrue(h.wait_kmsg(COMPLETE, timeout=60), h.kmsg())

        with open(os.path.join(h.system_dir, 'vexd_ps.gz'), 'rb') as f:
            self.assertEqual([old_ps], gz_members(f.read()))
        # The daemon log passed 65536 bytes with its first line and rotated.
        with open(os.path.join(h.system_dir, 'vexd_vexdlog.gz'), 'rb') as f:
            members = gz_members(f.read())
        self.assertEqual(1, len(members))
        self.assertTrue(members[0].startswith(old_log + marker(1).encode()))
        self.assertRegex(members[0][len(old_log) + len(marker(1)):].decode(),
                         r'^\[[ \d]{4}\d\.\d{6}\] vexd: log dir = /qordebug\n')

    def test_gzip_files_are_kept_on_the_partition(self):
        h = self.boot('storage_gz_in', fresh=True)
        self.assertIn(MOUNTED, self.selection(h))
        big = os.urandom(140000)
        co = zlib.compressobj(9, zlib.DEFLATED, 16 + zlib.MAX_WBITS)
        old_gz = co.compress(big) + co.flush()
        self.assertGreater(len(old_gz), 131072)
        old_ps = b'p' * 65536
        h.exec(['sh', '-c', 'cat > /qordebug/vexd_ps.gz'], input=old_gz)
        h.exec(['sh', '-c', 'cat > /qordebug/vexd_ps.txt'], input=old_ps)
        h.stop()

        h = self.boot('storage_gz_in', fresh=False)
        self.assertEqual([MOUNTED], self.selection(h))
        self.assertEqual([big, old_ps], gz_members(h.read_file('/qordebug/vexd_ps.gz')))
        ps = h.read_file('/qordebug/vexd_ps.txt').decode()
        self.assertTrue(ps.startswith(marker(2)), ps[:100])

    def test_restart_without_reboot_uses_the_partition_still_mounted(self):
        h = self.boot('storage_restart')
        self.assertIn(MOUNTED, self.selection(h))
        r = h.exec('pkill -KILL -x vexd; while pgrep -x vexd >/dev/null; do sleep 0.05; done')
        self.assertEqual(0, r.returncode, r.stderr)
        h.exec('/system/bin/vexd </dev/null >/dev/null 2>&1 &')
        deadline = time.monotonic() + 60
        while h.kmsg().count(COMPLETE) < 2 and time.monotonic() < deadline:
            time.sleep(0.05)
        second = h.kmsg().split(STARTED)[-1].splitlines()
        self.assertEqual(ALREADY, second[1], second)
        for line in (MOUNTED, MOUNT_FAILED, FORMATTED, USING_SYSTEM, LINKED):
            self.assertNotIn(line, second)
        self.assertIn(marker(2).encode(), h.read_file('/qordebug/vexd_vexdlog.txt'))
        self.assertFalse(os.path.exists(os.path.join(h.system_dir, 'vexd_vexdlog.txt')))

    def test_full_partition_stops_the_daemon(self):
        h = self.boot('storage_full')
        # Root fills every block it may write; ext4 keeps some clusters back
        # that the free-space figure still counts.
        h.exec('dd if=/dev/zero of=/qordebug/filler bs=64k 2>/dev/null; sync')
        free = h.exec(['stat', '-f', '-c', '%f %S', '/qordebug']).stdout.split()
        free_bytes = int(free[0]) * int(free[1])
        if h.status() is None:
            self.assertGreaterEqual(free_bytes, 819200, 'the figure alone would stop the daemon')
            # A small piece at a time, never waiting: a daemon that is
            # stopping no longer drains the FIFO.
            chunk = ''.join('<6>[ 1.000000] filler line %05d %s\n' % (i, 'f' * 60) for i in range(100))
            for _ in range(200):
                if h.status() is not None:
                    break
                h.feed_kmsg(chunk, wait=False)
                time.sleep(0.02)
        self.assertEqual(1, h.wait(timeout=30), h.kmsg())
        self.assertIn(QUIT, h.kmsg())


if __name__ == '__main__':
    unittest.main()
