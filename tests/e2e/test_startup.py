"""Start-up, the daemon log and the free-space supervision of vexd in the simulated handset."""
import os
import re
import unittest

import handset
from collectors import daemon_pid

STARTED = 'vexd: daemon started'
COMPLETE = 'vexd: daemon startup complete'
NO_SPACE = "vexd: Can't start, no disk space left!"
QUIT = 'vexd: Diskspace is close to full! Quit!'
LINE = re.compile(r'\[[ \d]{4}\d\.\d{6}\] vexd: ')
MARKER = re.compile(r'<<<< VEXD START >>>>\n<<<< STARTUP COUNT (\d{4,}) >>>>\n')


def daemon_log_lines(text):
    """The daemon log's lines with the startup markers taken out."""
    return MARKER.sub('', text).splitlines()


class Startup(unittest.TestCase):
    def setUp(self):
        handset.require()

    def boot(self, name, **opts):
        return handset.started(name, self.addCleanup, **opts)

    def test_runs_until_the_disk_fills_then_quits_with_status_1(self):
        # Without the userdata partition the logs go through the fallback link
        # into /system, a 16 MiB tmpfs here, so filling /system starves the daemon.
        h = self.boot('startup_full', system_size=16 << 20, userdata=False)
        self.assertTrue(h.wait_kmsg(COMPLETE, timeout=60), h.kmsg())

        log = h.read_file('/qordebug/vexd_vexdlog.txt').decode()
        self.assertEqual('0001', MARKER.match(log).group(1), log[:200])
        lines = daemon_log_lines(log)
        for line in lines:
            self.assertRegex(line, LINE)
        messages = [LINE.sub('', line, count=1) for line in lines]
        self.assertEqual('log dir = /qordebug', messages[0])
        self.assertRegex(messages[1], r'^Free disk space +\d+\.\d[KMG] \(blkS:\d+\)$')
        self.assertIn('Threads started OK', messages)
        self.assertLess(messages.index('log dir = /qordebug'), messages.index('Threads started OK'))

        # Nothing to quit for yet: the daemon keeps running.
        self.assertNotIn(QUIT, h.kmsg())
        h.exec(['sh', '-c', 'dd if=/dev/zero of=/system/fill bs=64k 2>/dev/null; true'], timeout=60)
        self.assertTrue(h.wait_kmsg(QUIT, timeout=20), h.kmsg())
        self.assertEqual(1, h.wait(timeout=30))

        kmsg = h.kmsg().splitlines()
        self.assertEqual(STARTED, kmsg[0])
        self.assertLess(kmsg.index(COMPLETE), kmsg.index(QUIT))
        # The df report follows, on /system whatever the log directory.
        after = kmsg[kmsg.index(QUIT) + 1:]
        self.assertTrue(after and after[0].startswith('Filesystem'), after)
        self.assertTrue(any(line.endswith(' /system') for line in after), after)

    def test_refuses_to_start_without_space(self):
        h = self.boot('startup_tiny', system_size=512 << 10, userdata=False)
        self.assertEqual(255, h.wait(timeout=60))
        kmsg = h.kmsg().splitlines()
        self.assertEqual(STARTED, kmsg[0])
        self.assertIn(NO_SPACE, kmsg)
        self.assertNotIn(COMPLETE, kmsg)

        # The daemon log was opened before the check; nothing after it ran.
        log = h.read_file('/system/vexd_vexdlog.txt').decode()
        messages = [LINE.sub('', line, count=1) for line in daemon_log_lines(log)]
        self.assertEqual(['log dir = /qordebug'], messages)
        present = h.exec(['ls', '-a', '/system']).stdout.decode().split()
        for absent in ('vexd_ctrl_socket', 'vexd_trc_socket', 'vexd_syslog.txt', 'vexd_logcat.txt',
                       'vexd_ps.txt', 'diag_logs'):
            self.assertNotIn(absent, present)


    def test_started_without_descriptors_0_to_2(self):
        # Started with its input, output and error closed, the daemon puts
        # /dev/null there itself: its log opens on a descriptor of its own and
        # loses no line, and what shell commands write to their standard output
        # or error reaches no log file.
        h = handset.Handset('startup_closed_stdio')
        self.addCleanup(h.stop)
        h.start(['/bin/sh', '-c', 'exec /system/bin/vexd <&- >&- 2>&-'])
        self.assertTrue(h.wait_kmsg(COMPLETE, timeout=60), h.kmsg())
        self.assertNotIn('Failed to open', h.kmsg())
        log = h.read_file('/qordebug/vexd_vexdlog.txt').decode()
        messages = [LINE.sub('', line, count=1) for line in daemon_log_lines(log)]
        self.assertEqual('log dir = /qordebug', messages[0])
        pid = daemon_pid(h)
        if pid is not None:  # not found by name under the emulator
            null = os.stat('/dev/null').st_rdev
            for fd in (0, 1, 2):
                self.assertEqual(null, os.stat('/proc/%d/fd/%d' % (pid, fd)).st_rdev, fd)

if __name__ == '__main__':
    unittest.main()
