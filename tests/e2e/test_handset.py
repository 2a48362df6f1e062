"""The simulated handset itself: its stand-ins, switches and clean-up.

The programs here are shell commands, so these tests do not depend on the
daemon.
"""

import glob
import os
import re
import shutil
import signal
import struct
import subprocess
import sys
import textwrap
import time
import unittest

import handset

USERDATA = '/dev/block/platform/msm_sdcc.1/by-name/userdata'
HAVE_DEVICES = os.path.isfile(os.path.join(handset.BUILD_DIR, 'sim', 'devices', 'simdevd'))


def loops_backed_by(image):
    found = []
    for bf in glob.glob('/sys/block/loop*/loop/backing_file'):
        try:
            with open(bf) as f:
                if f.read().strip().startswith(os.path.realpath(image)):
                    found.append(bf.split('/')[3])
        except OSError:
            pass
    return found


def pid_alive(pid):
    try:
        with open('/proc/%d/stat' % pid) as f:
            return f.read().rsplit(')', 1)[1].split()[0] not in ('Z', 'X')
    except OSError:
        return False


def recorded_pids(h):
    pids = []
    for path in glob.glob(os.path.join(h.state, 'run', '*.pid')):
        with open(path) as f:
            pids.append(int(f.read().split()[0]))
    return pids


class HandsetCase(unittest.TestCase):
    def setUp(self):
        handset.require()

    def handset(self, name, **kw):
        h = handset.Handset(name, **kw)
        self.addCleanup(h.stop)
        return h

    def sh(self, h, script, timeout=60):
        """Runs script as the main program; (status, stdout+stderr text)."""
        status = h.run(['sh', '-c', script], timeout=timeout)
        return status, h.output().decode(errors='replace')


class KernelLogTest(HandsetCase):
    def test_every_message_kept_in_order_and_drained_before_status(self):
        h = self.handset('kmsg-order')
        # Four writers post quickly at once, each with its own echo per line.
        h.start(['sh', '-c', textwrap.dedent('''\
            post() { i=1; while [ $i -le 400 ]; do echo "w$1 $i" > /dev/kmsg; i=$((i+1)); done; }
            post 1 & post 2 & post 3 & post 0; wait''')])
        self.assertEqual(h.wait(60), 0)
        # No stop yet: what was posted before the status showed is already there.
        lines = h.kmsg().splitlines()
        self.assertEqual(len(lines), 1600)
        seen = {w: [] for w in '0123'}
        for line in lines:
            m = re.fullmatch(r'w([0-3]) (\d+)', line)
            self.assertIsNotNone(m, 'garbled line %r' % line)
            seen[m.group(1)].append(int(m.group(2)))
        for w, numbers in seen.items():
            self.assertEqual(numbers, list(range(1, 401)), 'writer %s out of order' % w)

    def test_log_starts_afresh_with_each_session(self):
        h = self.handset('kmsg-session')
        self.assertEqual(h.run(['sh', '-c', 'echo first > /dev/kmsg']), 0)
        self.assertEqual(h.kmsg(), 'first\n')
        self.assertEqual(h.run(['sh', '-c', 'echo second > /dev/kmsg']), 0)
        self.assertEqual(h.kmsg(), 'second\n')
        self.assertTrue(h.wait_kmsg('second', timeout=0))
        self.assertFalse(h.wait_kmsg('first', timeout=0.1))

    def test_feed_reaches_proc_kmsg_which_blocks_without_eof(self):
        h = self.handset('kmsg-feed', system_size=1 << 20)
        h.start(['sh', '-c', 'exec cat /proc/kmsg > /tmp/got'])
        self.assertIsNone(h.wait(0.3), 'reading /proc/kmsg did not block')
        h.feed_kmsg(b'<6>one\n')
        self.assertTrue(h.wait_file('/tmp/got', lambda b: b == b'<6>one\n'))
        # The feeder closed its end; the reader must not have seen end-of-file.
        h.feed_kmsg(b'<4>two\n')
        self.assertTrue(h.wait_file('/tmp/got', lambda b: b == b'<6>one\n<4>two\n'))
        self.assertIsNone(h.wait(0.3), 'the reader of /proc/kmsg ended')

    def test_device_nodes_are_stand_ins(self):
        h = self.handset('kmsg-nodes')
        status, out = self.sh(h, 'stat -c "%n %F" /dev/kmsg /proc/kmsg /dev/log/main')
        self.assertEqual(status, 0, out)
        self.assertEqual(out.splitlines(), ['/dev/kmsg fifo', '/proc/kmsg fifo', '/dev/log/main fifo'])


class LoggerTest(HandsetCase):
    def test_entries_arrive_one_per_read(self):
        h = self.handset('logger')
        h.start(['sh', '-c', 'while [ ! -e /system/go ]; do sleep 0.02; done; '
                 'dd if=/dev/log/main of=/system/entries bs=8192 count=5 2>/system/dd.err'])
        before = int(time.time())
        h.feed_logger(4, 'Tag', 123, 'hello', count=2)
        h.feed_logger(6, 'LongTag', 7, 'x' * 5000)
        h.feed_logger(2, 'T', -1, '')
        h.feed_logger_raw([b'\x01\x02\x03'])
        open(os.path.join(h.system_dir, 'go'), 'w').close()
        # With a byte stream instead of packets dd would take several
        # entries in one read and then wait for more.
        self.assertEqual(h.wait(10), 0)
        with open(os.path.join(h.system_dir, 'dd.err')) as f:
            self.assertIn('0+5 records in', f.read())
        with open(os.path.join(h.system_dir, 'entries'), 'rb') as f:
            data = f.read()

        def entry(at):
            length, pad, pid, tid, sec, nsec = struct.unpack_from('<HHiiii', data, at)
            return length, pad, pid, tid, sec, nsec, data[at + 20:at + 20 + length]

        hello = b'\x04Tag\x00hello\x00'
        at = 0
        for _ in range(2):
            length, pad, pid, tid, sec, nsec, payload = entry(at)
            self.assertEqual((length, pad, pid, tid, payload), (len(hello), 0, 123, 123, hello))
            self.assertTrue(before <= sec <= time.time() + 1 and 0 <= nsec < 10**9)
            at += 20 + length
        # A payload longer than the driver's 4076 bytes is cut, terminator and all.
        length, _, pid, _, _, _, payload = entry(at)
        self.assertEqual((length, pid), (4076, 7))
        self.assertEqual(payload[:9], b'\x06LongTag\x00')
        self.assertEqual(payload[-1:], b'x')
        at += 20 + length
        length, _, pid, _, _, _, payload = entry(at)
        self.assertEqual((length, pid, payload), (4, -1, b'\x02T\x00\x00'))
        at += 24
        self.assertEqual(data[at:], b'\x01\x02\x03')

    def test_rate_paces_entries(self):
        h = self.handset('logger-rate')
        h.start(['sh', '-c', 'exec sleep 100'])
        t = time.monotonic()
        h.feed_logger(4, 'Tag', 1, 'm', count=6, rate=20)
        self.assertGreaterEqual(time.monotonic() - t, 0.24)

    def test_logfeed_refuses_bad_use(self):
        exe = os.path.join(handset.BUILD_DIR, 'sim', 'logfeed')
        h = self.handset('logger-bad')
        fifo = os.path.join(h.state, 'nobody.fifo')
        os.mkfifo(fifo)
        cases = [['--fifo', fifo, '--pri', '4', '--tag', 't', '--pid', '1', '--msg', 'm'],  # no reader
                 ['--fifo', fifo, '--pri', '256', '--tag', 't', '--pid', '1', '--msg', 'm'],
                 ['--fifo', fifo, '--tag', 't', '--pid', '1', '--msg', 'm'],
                 ['--fifo', fifo, '--raw', '0g'],
                 ['--fifo', fifo, '--raw', '012']]
        for args in cases:
            with self.subTest(args=args):
                r = subprocess.run([exe] + args, capture_output=True, timeout=10)
                self.assertNotEqual(r.returncode, 0)
                self.assertTrue(r.stderr)
        for args in (['--fifo'], ['--fifo', fifo, '--bogus', '1'], ['--fifo', fifo, 'stray'], []):
            with self.subTest(args=args):
                self.assertEqual(subprocess.run([exe] + args, capture_output=True, timeout=10).returncode, 2)
        r = subprocess.run([exe, '--help'], capture_output=True, timeout=10)
        self.assertEqual((r.returncode, r.stderr), (0, b''))
        self.assertIn(b'usage: logfeed', r.stdout)


class SystemTest(HandsetCase):
    def test_tmpfs_system_size_honoured_and_host_untouched(self):
        host_before = os.path.lexists('/system') and sorted(os.listdir('/system'))
        h = self.handset('tmpfs', system_size=1 << 20)
        status, out = self.sh(h, 'stat -f -c "%b %S %f" /system; test -x /system/bin/make_ext4fs || echo nobin; '
                              'dd if=/dev/zero of=/system/big bs=64k count=32 2>/dev/null; echo "dd=$?"; rm /system/big; '
                              'ln -s /system /system/qordebug && echo hi > /qordebug/x && cat /system/x')
        self.assertEqual(status, 0, out)
        blocks, size, free = map(int, out.splitlines()[0].split())
        self.assertEqual(blocks * size, 1 << 20)
        self.assertEqual(free, blocks, 'the staged binaries took space of /system')
        self.assertEqual(out.splitlines()[1:], ['dd=1', 'hi'])
        self.assertFalse(os.path.lexists(h.system_dir))
        self.assertEqual(host_before, os.path.lexists('/system') and sorted(os.listdir('/system')))

    def test_persistent_system_and_userdata_survive_runs(self):
        h = self.handset('persist')
        status, out = self.sh(h, 'echo one > /system/keep && make_ext4fs %s && mkdir /system/qordebug && '
                              'mount -t ext4 %s /system/qordebug && echo data > /qordebug/f' % (USERDATA, USERDATA))
        self.assertEqual(status, 0, out)
        with open(os.path.join(h.system_dir, 'keep')) as f:
            self.assertEqual(f.read(), 'one\n')
        # The partition was mounted inside the handset only.
        self.assertEqual(os.listdir(os.path.join(h.system_dir, 'qordebug')), [])
        again = self.handset('persist', fresh=False)
        status, out = self.sh(again, 'cat /system/keep && mount -t ext4 %s /system/qordebug && cat /qordebug/f'
                              % USERDATA)
        self.assertEqual((status, out), (0, 'one\ndata\n'))
        wiped = self.handset('persist')
        self.assertEqual(wiped.run(['test', '-e', '/system/keep']), 1)

    def test_read_only_system(self):
        for size in (None, 1 << 20):
            with self.subTest(system_size=size):
                h = self.handset('ro', system_size=size, ro_system=True)
                status, out = self.sh(h, 'touch /system/x 2>/dev/null && echo wrote; '
                                      'mkdir /system/qordebug 2>/dev/null && echo made; '
                                      'test -x /system/bin/make_ext4fs && echo bin')
                self.assertEqual((status, out), (0, 'bin\n'))

    def test_qordebug_switches(self):
        for size in (None, 1 << 20):
            with self.subTest(kind='link', system_size=size):
                h = self.handset('qlink', system_size=size, qordebug_link=True)
                status, out = self.sh(h, 'readlink /system/qordebug; ls /qordebug/')
                self.assertEqual(status, 0, out)
                self.assertEqual(out.split()[:2], ['/system', 'bin'])
            with self.subTest(kind='nonempty', system_size=size):
                h = self.handset('qfull', system_size=size, qordebug_nonempty=True)
                status, out = self.sh(h, 'test -d /system/qordebug && ls /qordebug && '
                                      'rmdir /system/qordebug 2>/dev/null; echo "rmdir=$?"')
                self.assertEqual(status, 0, out)
                self.assertRegex(out, r'^\S+\nrmdir=1\n$')

    def test_userdata_switches(self):
        script = 'test -b %s; echo "dev=$?"; make_ext4fs %s 2>/dev/null; echo "mkfs=$?"' % (USERDATA, USERDATA)
        for opts, expected in (({}, 'dev=0\nmkfs=0\n'),
                               ({'mkfs_fail': True}, 'dev=0\nmkfs=1\n'),
                               ({'userdata': False}, 'dev=1\nmkfs=1\n')):
            with self.subTest(**opts):
                h = self.handset('userdata', system_size=1 << 20, **opts)
                self.assertEqual(self.sh(h, script), (0, expected))

    def test_nvkeep_folder_is_shared(self):
        h = self.handset('nvkeep', system_size=1 << 20)
        self.assertEqual(h.run(['sh', '-c', 'echo unit > /nvkeep/2551']), 0)
        with open(os.path.join(h.state, 'nvkeep', '2551')) as f:
            self.assertEqual(f.read(), 'unit\n')


class ControlTest(HandsetCase):
    def test_exit_statuses(self):
        h = self.handset('status', system_size=1 << 20)
        self.assertEqual(h.run(['sh', '-c', 'exit 7']), 7)
        self.assertEqual(h.run(['sh', '-c', 'kill -9 $$']), 128 + signal.SIGKILL)
        self.assertEqual(h.run(['/no/such/program']), 127)
        with self.assertRaises(TimeoutError):
            h.run(['sleep', '100'], timeout=0.3)
        self.assertFalse(h.running())

    def test_command_line(self):
        h = self.handset('cli', system_size=1 << 20)
        cli = [handset.HANDSET, '--state', h.state, '--build', h.build_dir]
        run = lambda *a: subprocess.run(cli + list(a), capture_output=True, timeout=60)
        r = run('run', 'sh', '-c', 'echo out; exit 9')
        self.assertEqual((r.returncode, r.stdout), (9, b'out\n'))
        self.assertEqual(run('start', 'sleep', '100').returncode, 0)
        self.assertEqual(run('start', 'true').returncode, 125)       # already running
        self.assertEqual(run('wait', '--timeout', '0.2').returncode, 124)
        self.assertEqual(run('exec', 'sh', '-c', 'exit 6').returncode, 6)
        r = run('status')
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn(('state:   %s\n' % h.state).encode(), r.stdout)
        self.assertRegex(r.stdout, rb'running: yes \(supervisor pid \d+\)\nmain:    sleep 100, pid \d+\n')
        self.assertEqual(run('exec', 'sh', '-c', 'echo pulled > /tmp/f').returncode, 0)
        dest = os.path.join(h.state, 'out')
        os.mkdir(dest)
        r = run('pull', '/tmp/f', dest)
        self.assertEqual((r.returncode, r.stdout), (0, os.path.join(dest, 'f').encode() + b'\n'))
        with open(os.path.join(dest, 'f')) as f:
            self.assertEqual(f.read(), 'pulled\n')
        r = run('pull', '/tmp/none', os.path.join(dest, 'none'))
        self.assertEqual(r.returncode, 125)
        self.assertEqual(os.listdir(dest), ['f'])                    # no partial file left
        self.assertEqual(run('stop').returncode, 0)                  # killed while running
        self.assertEqual(run('exec', 'true').returncode, 125)        # not running
        self.assertEqual(run('--bogus', 'stop').returncode, 125)
        r = run('status')
        self.assertEqual((r.returncode, r.stdout.splitlines()[1:]), (1, [b'running: no']))
        for args in (['--help'], ['pull', '--help']):
            r = run(*args)
            self.assertEqual((r.returncode, r.stderr), (0, b''), args)
            self.assertIn(b'usage: handset', r.stdout)
        self.assertIn(b'feed-kmsg', run('--help').stdout)

    def test_feeds_of_a_stopped_handset_fail_at_once(self):
        h = self.handset('stopped')
        h.start(['sh', '-c', 'exec cat /proc/kmsg > /tmp/got'])
        cli = [handset.HANDSET, '--state', h.state, '--build', h.build_dir]
        r = subprocess.run(cli + ['feed-kmsg', '<6>one', '<6>two'], capture_output=True, timeout=30)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertTrue(h.wait_file('/tmp/got', lambda b: b == b'<6>one\n<6>two\n'))
        if HAVE_DEVICES:
            r = subprocess.run(cli + ['ctl', 'pmic adc 7'], capture_output=True, timeout=30)
            self.assertEqual(r.returncode, 0, r.stderr)
            self.assertIn(b'Result:7', h.read_file('/sys/devices/qpnp-vadc-f610ec00/rf_id'))
        h.stop()
        # Plain writes would wait for a reader, or leave a file under the next mount.
        for name in ('kmsg.in', 'logmain.fifo', 'dev/ctl'):
            with self.subTest(name=name), self.assertRaises(IsADirectoryError):
                open(os.path.join(h.state, name), 'w')
        for args in (['feed-kmsg', 'x'], ['ctl', 'pmic adc 1']):
            r = subprocess.run(cli + args, capture_output=True, timeout=30)
            self.assertEqual(r.returncode, 125, args)
            self.assertIn(b'not running', r.stderr)
        with self.assertRaisesRegex(RuntimeError, 'logfeed failed .*not running'):
            h.feed_logger(4, 'Tag', 1, 'm')
        # The next start brings the FIFOs back.
        self.assertEqual(h.run(['sh', '-c', 'test -p /proc/kmsg && test -p /dev/log/main']), 0)

    def test_exec_shares_namespaces_environment_and_outlives_main(self):
        h = self.handset('exec', system_size=1 << 20, env={'EXTRA': 'yes'})
        h.start(['sh', '-c', 'echo $$ > /tmp/main.pid; env > /tmp/main.env; exec sleep 100'])
        pid = h.wait_file('/tmp/main.pid', lambda b: b.endswith(b'\n')).strip()
        self.assertEqual(h.exec(['kill', '-0', pid]).returncode, 0)
        env = h.exec(['env']).stdout.decode()
        shell_own = ('_=', 'SHLVL=', 'PWD=', 'OLDPWD=')
        variables = lambda text: {v for v in text.split('\n') if v and not v.startswith(shell_own)}
        self.assertEqual(variables(h.read_file('/tmp/main.env').decode()), variables(env))
        self.assertIn('PATH=/system/bin:/usr/sbin:/usr/bin:/sbin:/bin\n', env)
        self.assertIn('LD_LIBRARY_PATH=/system/lib\n', env)
        self.assertIn('EXTRA=yes\n', env)
        self.assertRegex(env, r'ASAN_OPTIONS=(.*:)?detect_leaks=0\n')
        self.assertEqual(h.exec(['cat'], input=b'abc').stdout, b'abc')
        self.assertEqual(h.exec(['sh', '-c', 'exit 5']).returncode, 5)
        # The main program ends; the handset and its files stay until stop.
        self.assertEqual(h.exec(['kill', '-9', pid]).returncode, 0)
        self.assertEqual(h.wait(10), 128 + signal.SIGKILL)
        self.assertEqual(h.read_file('/tmp/main.pid').strip(), pid)
        with self.assertRaises(FileNotFoundError):
            h.read_file('/tmp/none')
        self.assertIsNone(h.wait_file('/tmp/none', timeout=0.2))
        self.assertEqual(h.stop(), 128 + signal.SIGKILL)
        with self.assertRaises(RuntimeError):
            h.exec(['true'])

    def test_nothing_left_after_stop(self):
        h = self.handset('leftovers')
        h.start(['sh', '-c', 'make_ext4fs %s && mkdir /system/qordebug && mount -t ext4 %s /system/qordebug '
                 '&& echo mounted > /dev/kmsg; exec sleep 100' % (USERDATA, USERDATA)])
        self.assertTrue(h.wait_kmsg('mounted'))
        self.assertEqual(len(loops_backed_by(os.path.join(h.state, 'userdata.img'))), 1)
        if HAVE_DEVICES:
            self.assertIn(os.path.join(h.state, 'dev'), handset._mounts_under(h.state))
        pids = recorded_pids(h)
        self.assertGreaterEqual(len(pids), 3)
        self.assertIsNone(h.stop())
        self.assertEqual(loops_backed_by(os.path.join(h.state, 'userdata.img')), [])
        self.assertEqual(handset._mounts_under(h.state), [])
        self.assertEqual([p for p in pids if pid_alive(p)], [])

    def test_stop_cleans_up_after_a_crashed_supervisor(self):
        h = self.handset('crash')
        h.start(['sh', '-c', 'exec sleep 100'])
        pids = recorded_pids(h)
        with open(os.path.join(h.state, 'run', 'supervisor.pid')) as f:
            os.kill(int(f.read().split()[0]), signal.SIGKILL)
        for path in glob.glob(os.path.join(h.state, 'run', '*.pid')):
            os.unlink(path)
        h.check_sanitizer = False
        self.assertIsNone(h.stop())
        self.assertEqual(loops_backed_by(os.path.join(h.state, 'userdata.img')), [])
        self.assertEqual(handset._mounts_under(h.state), [])
        deadline = time.monotonic() + 5
        while [p for p in pids if pid_alive(p)] and time.monotonic() < deadline:
            time.sleep(0.05)
        self.assertEqual([p for p in pids if pid_alive(p)], [])

    def test_dying_owner_takes_the_handset_down(self):
        child = subprocess.Popen([sys.executable, '-c', textwrap.dedent('''\
            import sys, time, handset
            h = handset.Handset('orphan')
            h.start(['sh', '-c', 'exec sleep 100'])
            print(h.state, flush=True)
            time.sleep(100)''')], stdout=subprocess.PIPE, cwd=os.path.dirname(handset.__file__))
        try:
            state = child.stdout.readline().decode().strip()
            self.assertTrue(state, 'the child did not start its handset')
        finally:
            child.kill()
            child.wait()
            child.stdout.close()
        h = handset.Handset.__new__(handset.Handset)
        h.state = state
        pids = recorded_pids(h)
        deadline = time.monotonic() + 20
        while [p for p in pids if pid_alive(p)] and time.monotonic() < deadline:
            time.sleep(0.05)
        self.assertEqual([p for p in pids if pid_alive(p)], [])
        self.assertEqual(loops_backed_by(os.path.join(state, 'userdata.img')), [])
        self.assertEqual(handset._mounts_under(state), [])
        shutil.rmtree(os.path.dirname(state))


class InstallStepTest(unittest.TestCase):
    def test_nothing_fetched_when_every_package_is_present(self):
        script = os.path.join(handset.SOURCE_DIR, 'scripts', 'install-deps.sh')
        with open(os.path.join(handset.SOURCE_DIR, 'deps', 'packages.txt')) as f:
            wanted = [p for line in f for p in line.split('#')[0].split()
                      if not re.match(r'^[a-z0-9-]+:\s', line)]
        if subprocess.run(['dpkg-query', '-W'] + wanted, capture_output=True).returncode != 0:
            self.skipTest('not every listed package is installed here')
        fake = os.path.join(handset._base_dir(), 'fake-apt')
        os.makedirs(fake, exist_ok=True)
        calls = os.path.join(fake, 'calls')
        for tool in ('apt-get', 'dpkg', 'modprobe'):
            with open(os.path.join(fake, tool), 'w') as f:
                f.write('#!/bin/sh\necho "%s $*" >> %s\n' % (tool, calls))
            os.chmod(os.path.join(fake, tool), 0o755)
        env = dict(os.environ, PATH=fake + ':' + os.environ['PATH'])
        r = subprocess.run(['bash', script], capture_output=True, timeout=120, env=env)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn(b'all %d packages present' % len(wanted), r.stdout)
        with open(calls) as f:
            self.assertEqual([c for c in f.read().splitlines() if not c.startswith('modprobe')], [])


@unittest.skipUnless(HAVE_DEVICES, 'the device server is not built')
class DeviceTest(HandsetCase):
    def test_device_files_bound_and_control_lines_applied(self):
        h = self.handset('devices', system_size=1 << 20, ctl=['pmic adc 5'])
        h.start(['sh', '-c', 'exec sleep 100'])
        paths = ['/dev/diag', '/sys/kernel/debug/spmi/spmi-0/address', '/sys/kernel/debug/spmi/spmi-0/count',
                 '/sys/kernel/debug/spmi/spmi-0/data', '/sys/kernel/debug/qpnp_pin/pm8941-gpio/8/invert',
                 '/sys/devices/qpnp-vadc-f610ec00/rf_id']
        self.assertEqual(h.exec(['ls'] + paths).returncode, 0)
        rf_id = '/sys/devices/qpnp-vadc-f610ec00/rf_id'
        self.assertIn(b'Result:5', h.read_file(rf_id))
        h.ctl('pmic adc 9')
        self.assertIn(b'Result:9', h.read_file(rf_id))
        self.assertTrue(os.path.isdir(h.records_dir))


if __name__ == '__main__':
    unittest.main()
