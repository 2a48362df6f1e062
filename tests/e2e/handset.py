"""The simulated handset (sim/handset) for end-to-end tests.

    import handset
    handset.require()                     # unittest.SkipTest when the host cannot run it
    h = handset.Handset('name', system_size=None, ro_system=False, ...)
    self.addCleanup(h.stop)
    h.start(); h.wait_kmsg('vexd: daemon startup complete')

sim/README.md describes what the handset provides. Each Handset has a state
folder <temp>/<name>, shared by all Handsets of that name in this process
(fresh=False keeps what an earlier one left, as a reboot would). Every running
handset is stopped at exit, and the handset stops itself when this process
dies. stop() raises AssertionError when the main program or the device
server printed a sanitizer report (set check_sanitizer to False to allow).
"""

import atexit
import errno
import json
import os
import re
import shutil
import subprocess
import tempfile
import time
import unittest

SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BUILD_DIR = os.path.abspath(os.environ.get('VEXD_BUILD_DIR') or os.path.join(SOURCE_DIR, 'build'))
HANDSET = os.path.join(SOURCE_DIR, 'sim', 'handset')
DEFAULT_CMD = ['/system/bin/vexd']
SANITIZER_MARKS = (b'ERROR: AddressSanitizer', b'ERROR: LeakSanitizer', b'WARNING: ThreadSanitizer',
                   b'ThreadSanitizer:', b'UndefinedBehaviorSanitizer', b': runtime error: ')

# True when the programs in /system/bin are target (ARM) binaries run
# through a user-mode emulator by the wrappers of a cross build.
EMULATED = bool(os.environ.get('VEXD_EMULATED'))

_base = None
_live = set()


def require_diag():
    """Raises unittest.SkipTest where the daemon cannot drive /dev/diag."""
    if EMULATED:
        raise unittest.SkipTest('the user-mode emulator does not pass the diag control requests (7, 9) '
                                'on to the device: it forwards only the ioctls it knows how to translate, '
                                'so the device never enters memory-device mode and sends no records')


def require():
    """Raises unittest.SkipTest when this host cannot run the handset."""
    if os.geteuid() != 0:
        raise unittest.SkipTest('the simulated handset needs root')
    for tool in ('bwrap', 'nsenter', 'losetup', 'fusermount3'):
        if not shutil.which(tool):
            raise unittest.SkipTest('the simulated handset needs %s (not installed)' % tool)
    if not os.path.exists('/dev/fuse'):
        raise unittest.SkipTest('the simulated handset needs /dev/fuse')
    if not os.path.exists('/dev/loop-control') and not os.path.exists('/dev/loop0'):
        raise unittest.SkipTest('the simulated handset needs a loop device')


def _base_dir():
    global _base
    if _base is None:
        _base = tempfile.mkdtemp(prefix='handset-')
    return _base


def _mounts_under(prefix):
    found = []
    with open('/proc/self/mountinfo') as f:
        for line in f:
            point = re.sub(r'\\([0-7]{3})', lambda m: chr(int(m.group(1), 8)), line.split()[4])
            if point == prefix or point.startswith(prefix + '/'):
                found.append(point)
    return found


def _live_pid(path):
    """The pid recorded in a run file ("PID STARTTIME") while it runs, else None."""
    try:
        with open(path) as f:
            pid, start = f.read().split()
        with open('/proc/%s/stat' % pid) as f:
            fields = f.read().rsplit(')', 1)[1].split()
    except (OSError, ValueError):
        return None
    if fields[0] in ('Z', 'X') or fields[19] != start:
        return None
    return int(pid)


class FileContent(bytes):
    """Content returned by wait_file: true even when the file is empty."""

    def __bool__(self):
        return True


class Handset:
    def __init__(self, name, system_size=None, ro_system=False, mkfs_fail=False,
                 qordebug_nonempty=False, qordebug_link=False, userdata=True,
                 ctl=(), env=None, fresh=True, rings=False):
        self.name = name
        self.state = os.path.join(_base_dir(), re.sub(r'[^A-Za-z0-9_.-]', '_', name))
        self.system_dir = os.path.join(self.state, 'system')
        self.records_dir = os.path.join(self.state, 'records')
        self.build_dir = BUILD_DIR
        self.check_sanitizer = True
        self.options = []
        if system_size is not None:
            self.options += ['--system-size', str(system_size)]
        for flag, on in (('--ro-system', ro_system), ('--mkfs-fail', mkfs_fail),
                         ('--qordebug-nonempty', qordebug_nonempty),
                         ('--qordebug-link', qordebug_link), ('--no-userdata', not userdata),
                         ('--rings', rings)):
            if on:
                self.options.append(flag)
        for name_value in sorted((env or {}).items()):
            self.options += ['--env', '%s=%s' % name_value]
        self._ctl = list(ctl)
        self._owner = None
        self._reported = False
        if fresh and os.path.exists(self.state):
            self._cli('stop', timeout=120)
            if _mounts_under(self.state):
                raise RuntimeError('cannot wipe %s: still mounted: %s'
                                   % (self.state, _mounts_under(self.state)))
            shutil.rmtree(self.state)
        os.makedirs(self.state, exist_ok=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()

    def __repr__(self):
        return 'Handset(%r, state=%r)' % (self.name, self.state)

    # ------------------------------------------------------------ helpers

    def _run_file(self, name):
        return os.path.join(self.state, 'run', name)

    def _cli(self, *args, timeout=60, **kw):
        cmd = [HANDSET, '--state', self.state, '--build', self.build_dir] + list(args)
        return subprocess.run(cmd, capture_output=True, timeout=timeout, **kw)

    def running(self):
        """True while the handset (not necessarily its main program) runs."""
        return _live_pid(self._run_file('supervisor.pid')) is not None

    def status(self):
        """The main program's exit status once it has ended, else None."""
        try:
            with open(self._run_file('status')) as f:
                return int(f.read())
        except (OSError, ValueError):
            return None

    def output(self):
        """What the main program wrote to stdout and stderr (bytes)."""
        try:
            with open(self._run_file('output.log'), 'rb') as f:
                return f.read()
        except OSError:
            return b''

    def _sanitizer_report(self):
        for name in ('output.log', 'simdevd.log'):
            try:
                with open(self._run_file(name), 'rb') as f:
                    data = f.read()
            except OSError:
                continue
            for mark in SANITIZER_MARKS:
                at = data.find(mark)
                if at >= 0:
                    start = data.rfind(b'\n', 0, max(0, at - 200)) + 1
                    return '%s:\n%s' % (name, data[start:start + 4000].decode(errors='replace'))
        return None

    # ------------------------------------------------------------ life cycle

    def start(self, cmd=None):
        if self.running():
            raise RuntimeError('%r is already running' % self)
        cmd = list(cmd or DEFAULT_CMD)
        args = list(self.options)
        for line in self._ctl:
            args += ['--ctl', line]
        owner_r, owner_w = os.pipe()
        try:
            r = self._cli(*args, '--owner-fd', str(owner_r), 'start', *cmd,
                          timeout=120, pass_fds=(owner_r,))
        except BaseException:
            os.close(owner_w)
            raise
        finally:
            os.close(owner_r)
        if r.returncode != 0:
            os.close(owner_w)
            raise RuntimeError('handset start failed (%d): %s'
                               % (r.returncode, r.stderr.decode(errors='replace')))
        self._owner = owner_w
        self._reported = False
        _live.add(self)

    def wait(self, timeout=60):
        """The main program's exit status (128+N when killed by signal N), or
        None when it still runs after timeout seconds or the handset is gone."""
        deadline = time.monotonic() + timeout
        while True:
            status = self.status()
            if status is not None:
                return status
            if not self.running():
                return self.status()
            if time.monotonic() > deadline:
                return None
            time.sleep(0.02)

    def stop(self):
        """Ends the handset; the main program's status, or None when it was
        still running (it is killed)."""
        if self._owner is not None or self.running():
            r = self._cli('stop', timeout=120)
            if self._owner is not None:
                os.close(self._owner)
                self._owner = None
            if r.stderr.strip():
                print('handset stop: %s' % r.stderr.decode(errors='replace').strip())
        _live.discard(self)
        status = self.status()
        if self.check_sanitizer and not self._reported:
            report = self._sanitizer_report()
            if report:
                self._reported = True
                raise AssertionError('sanitizer report in %s\n%s' % (self.state, report))
        return status

    def run(self, cmd=None, timeout=60):
        """Runs cmd to its end; its exit status. TimeoutError (after stopping
        the handset) when it still runs after timeout seconds."""
        self.start(cmd)
        status = self.wait(timeout)
        if status is None:
            self.stop()
            raise TimeoutError('%s still ran after %s s' % (cmd or DEFAULT_CMD, timeout))
        self.stop()
        return status

    # ------------------------------------------------------------ inside

    def exec(self, args, timeout=30, input=None):
        """Runs args inside the running handset (same namespaces, root and
        environment as the main program); a CompletedProcess with bytes."""
        if isinstance(args, str):
            args = ['sh', '-c', args]
        sandbox = _live_pid(self._run_file('sandbox.pid')) if self.running() else None
        if sandbox is None:
            raise RuntimeError('%r is not running' % self)
        with open(self._run_file('env.json')) as f:
            env = json.load(f)
        nsenter = shutil.which('nsenter') or '/usr/bin/nsenter'
        argv = [nsenter, '-t', str(sandbox), '-m', '-p', '-i', '-u', '-r', '-W', '/', '--'] + list(args)
        r = subprocess.run(argv, input=input, capture_output=True, timeout=timeout, env=env)
        if self.check_sanitizer and any(m in r.stderr for m in SANITIZER_MARKS):
            raise AssertionError('sanitizer report from %s:\n%s' % (args, r.stderr.decode(errors='replace')))
        return r

    def read_file(self, path):
        r = self.exec(['cat', '--', path])
        if r.returncode != 0:
            err = r.stderr.decode(errors='replace').strip()
            if 'No such file' in err:
                raise FileNotFoundError(errno.ENOENT, err, path)
            raise OSError(errno.EIO, err, path)
        return r.stdout

    def wait_file(self, path_in_handset, predicate=None, timeout=10):
        """Waits until the file exists (and predicate(content) is true); its
        content (true even when empty), or None after timeout seconds."""
        deadline = time.monotonic() + timeout
        while True:
            r = self.exec(['cat', '--', path_in_handset])
            if r.returncode == 0 and (predicate is None or predicate(r.stdout)):
                return FileContent(r.stdout)
            if time.monotonic() > deadline:
                return None
            time.sleep(0.05)

    # ------------------------------------------------------------ feeds

    def kmsg(self):
        """Everything posted to /dev/kmsg in this session, in order."""
        try:
            with open(os.path.join(self.state, 'kmsg.log'), 'rb') as f:
                return f.read().decode(errors='replace')
        except OSError:
            return ''

    def wait_kmsg(self, text, timeout=10):
        deadline = time.monotonic() + timeout
        while True:
            if text in self.kmsg():
                return True
            if time.monotonic() > deadline:
                return False
            if not self.running():
                return text in self.kmsg()
            time.sleep(0.02)

    def feed_kmsg(self, data, wait=True):
        """Makes data readable from /proc/kmsg inside the handset. With
        wait=False nothing waits for a reader: what did not fit in the FIFO
        is dropped, and the bytes taken are returned."""
        if isinstance(data, str):
            data = data.encode()
        try:
            fd = os.open(os.path.join(self.state, 'kmsg.in'), os.O_WRONLY | os.O_NONBLOCK)
        except OSError as e:
            raise RuntimeError('%r is not running (%s)' % (self, e.strerror))
        taken = 0
        try:
            os.set_blocking(fd, wait)
            view = memoryview(data)
            while view:
                try:
                    n = os.write(fd, view)
                except BlockingIOError:
                    break
                taken += n
                view = view[n:]
        finally:
            os.close(fd)
        return taken

    def _logfeed(self, args, timeout):
        exe = os.path.join(self.build_dir, 'sim', 'logfeed')
        r = subprocess.run([exe, '--fifo', os.path.join(self.state, 'logmain.fifo')] + args,
                           capture_output=True, timeout=timeout)
        if r.returncode != 0:
            raise RuntimeError('logfeed failed (%d): %s' % (r.returncode, r.stderr.decode(errors='replace')))

    def feed_logger(self, pri, tag, pid, msg, count=1, rate=0):
        """Writes count entries into /dev/log/main (one per read inside);
        rate paces them per second. Returns when all are written."""
        timeout = 60 + (count / rate if rate else 0)
        self._logfeed(['--pri', str(pri), '--tag', tag, '--pid', str(pid), '--msg', msg,
                       '--count', str(count), '--rate', str(rate)], timeout)

    def feed_logger_raw(self, entries):
        """Writes each bytes object of entries verbatim as one logger read."""
        args = []
        for e in entries:
            args += ['--raw', bytes(e).hex()]
        self._logfeed(args, 60)

    def ctl(self, line):
        """Sends a control line to the device server; before start, the line
        is kept and applied when the handset starts."""
        if not self.running():
            self._ctl.append(line)
            return
        path = os.path.join(self.state, 'dev', 'ctl')
        if not _mounts_under(os.path.join(self.state, 'dev')):
            raise RuntimeError('the device server is not running (is sim/devices/simdevd built?)')
        with open(path, 'w') as f:
            f.write(line.rstrip('\n') + '\n')


def started(name, cleanup=None, **opts):
    """A new handset, started. With `cleanup` (a test's addCleanup) it is
    stopped when that test ends; otherwise the caller stops it."""
    h = Handset(name, **opts)
    if cleanup is not None:
        cleanup(h.stop)
    h.start()
    return h


@atexit.register
def _stop_all():
    for h in list(_live):
        try:
            h.check_sanitizer = False
            h.stop()
        except Exception as e:   # noqa: best effort at exit
            print('handset: stopping %r at exit: %r' % (h, e))
    if _base and not os.environ.get('VEXD_HANDSET_KEEP') and not _mounts_under(_base):
        shutil.rmtree(_base, ignore_errors=True)
