"""Start-up, the daemon log and the free-space supervision of vexd in the simulated handset."""
import gzip
import os
import re
import shutil
import signal
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

    def test_sigterm_writes_out_what_was_read_and_says_so(self):
        # With slow flash the kernel log's writer falls behind a burst, and its
        # queue holds up to 1 MiB that was read from the device but not yet
        # written. A SIGTERM (init at shutdown) must not lose it.
        env = {}
        shim = os.path.join(handset.BUILD_DIR, 'bench', 'libslow_fsync.so')
        cache = os.path.join(handset.BUILD_DIR, 'CMakeCache.txt')
        plain = False
        if os.path.exists(cache):
            with open(cache) as f:
                plain = 'VEXD_SANITIZE:STRING=\n' in f.read()
        if os.path.exists(shim) and plain and not handset.EMULATED:
            env = {'LD_PRELOAD': '/system/slow_fsync.so', 'BENCH_FSYNC_DELAY_MS': '100'}
        h = handset.Handset('startup_term', env=env)
        self.addCleanup(h.stop)
        if env:
            os.makedirs(h.system_dir, exist_ok=True)
            shutil.copyfile(shim, os.path.join(h.system_dir, 'slow_fsync.so'))
        h.start()
        self.assertTrue(h.wait_kmsg(COMPLETE, timeout=60), h.kmsg())
        count = 40000
        fed = ''.join('<6>term %06d %s\n' % (i, 'x' * 60) for i in range(count))
        h.feed_kmsg(fed)  # returns once all but the FIFO's last 64 KiB were read
        os.kill(daemon_pid(h, emulated_too=True), signal.SIGTERM)
        self.assertEqual(128 + signal.SIGTERM, h.wait(timeout=30))
        self.assertIn('vexd: daemon stopped on signal 15', h.kmsg().splitlines())
        messages = [LINE.sub('', line, count=1)
                    for line in daemon_log_lines(h.read_file('/qordebug/vexd_vexdlog.txt').decode())]
        self.assertEqual('daemon stopped on signal 15', messages[-1])

        # Every line read is in the files, in order and once.
        gz = h.read_file('/qordebug/vexd_syslog.gz') if h.exec(
            ['test', '-s', '/qordebug/vexd_syslog.gz']).returncode == 0 else b''
        text = (gzip.decompress(gz) if gz else b'') + h.read_file('/qordebug/vexd_syslog.txt')
        got = [int(m) for m in re.findall(rb'<6>term (\d{6}) ', text)]
        self.assertEqual(list(range(len(got))), got)
        self.assertGreater(len(got), count - (80 << 10) // 72, 'lost %d lines' % (count - len(got)))

if __name__ == '__main__':
    unittest.main()
