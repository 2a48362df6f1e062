"""The emulated ARM handset (sim/armvm) for end-to-end tests.

    import armvm
    armvm.require()                       # AssertionError when the machine cannot boot here
    vm = armvm.Vm('name', volatile=True)
    self.addCleanup(vm.stop)
    vm.start(); vm.wait_kmsg('vexd: daemon startup complete')

The programs come from the armhf build tree named by VEXD_ARMVM_BUILD (the
ctest entries of the ARM tree set it), the guest's packages from
VEXD_ARMVM_CACHE or .cache/armvm (scripts/fetch-armvm.sh). Each Vm has a
state folder <temp>/<name> (fresh=False keeps the disks of an earlier one,
as a reboot would); every running machine is stopped at exit.
"""
import atexit
import os
import re
import shutil
import subprocess
import tempfile
import time

SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
ARMVM = os.path.join(SOURCE_DIR, 'sim', 'armvm', 'armvm')
BUILD_DIR = os.path.abspath(os.environ.get('VEXD_ARMVM_BUILD') or os.path.join(SOURCE_DIR, 'build-armhf'))
CACHE_DIR = os.path.abspath(os.environ.get('VEXD_ARMVM_CACHE') or os.path.join(SOURCE_DIR, '.cache', 'armvm'))

_base = None
_live = set()


def require():
    """Fails (never skips) when the machine cannot boot here: these tests
    are the only ones that meet a real kernel, so a missing piece must show."""
    missing = []
    if os.geteuid() != 0:
        missing.append('root')
    for tool in ('qemu-system-arm', 'nbdkit', 'mkfs.ext4', 'e2fsck'):
        if not shutil.which(tool):
            missing.append('%s (bash scripts/install-deps.sh armhf)' % tool)
    if not os.path.exists(os.path.join(CACHE_DIR, 'vmlinuz')):
        missing.append('the guest kernel in %s (bash scripts/fetch-armvm.sh)' % CACHE_DIR)
    for prog in ('vexd/vexd', 'tools/vexctl', 'morvane/morvane', 'sim/devices/simdevd', 'sim/logfeed'):
        if not os.path.isfile(os.path.join(BUILD_DIR, prog)):
            missing.append('%s in %s' % (prog, BUILD_DIR))
    if missing:
        raise AssertionError('the emulated ARM handset cannot boot: missing ' + ', '.join(missing))


def _base_dir():
    global _base
    if _base is None:
        _base = tempfile.mkdtemp(prefix='armvm-')
    return _base


class Vm:
    def __init__(self, name, volatile=False, userdata=True, mkfs_fail=False, ctl=(), cpus=1,
                 kmsg_capture=True, fresh=True):
        self.name = name
        self.state = os.path.join(_base_dir(), re.sub(r'[^A-Za-z0-9_.-]', '_', name))
        self.share = os.path.join(self.state, 'share')
        self.records_dir = os.path.join(self.share, 'records')
        self.options = ['--cpus', str(cpus)]
        for flag, on in (('--volatile', volatile), ('--no-userdata', not userdata),
                         ('--mkfs-fail', mkfs_fail), ('--no-kmsg-capture', not kmsg_capture)):
            if on:
                self.options.append(flag)
        for line in ctl:
            self.options += ['--ctl', line]
        self.boot_seconds = None
        if fresh and os.path.exists(self.state):
            self._cli('cut')
            shutil.rmtree(self.state)
        os.makedirs(self.state, exist_ok=True)

    def __repr__(self):
        return 'Vm(%r, state=%r)' % (self.name, self.state)

    def _cli(self, *args, timeout=300, **kw):
        cmd = [ARMVM, '--state', self.state, '--build', BUILD_DIR, '--cache', CACHE_DIR] + self.options + list(args)
        return subprocess.run(cmd, capture_output=True, timeout=timeout, **kw)

    def running(self):
        return self._cli('status').returncode == 0

    def start(self, daemon=True):
        r = self._cli('start', *([] if daemon else ['--no-daemon']))
        if r.returncode != 0:
            raise RuntimeError('armvm start failed (%d): %s' % (r.returncode, r.stderr.decode(errors='replace')))
        _live.add(self)
        with open(os.path.join(self.state, 'run', 'boot_seconds')) as f:
            self.boot_seconds = float(f.read())

    def cut(self):
        """Power cut: the machine and its unflushed writes are gone at once."""
        self._cli('cut')
        _live.discard(self)

    def stop(self):
        if self in _live:
            self._cli('stop')
            _live.discard(self)
        return self.status()

    def status(self):
        """The main program's exit status once it ended, else None."""
        try:
            with open(os.path.join(self.share, 'run', 'status')) as f:
                return int(f.read())
        except (OSError, ValueError):
            return None

    def output(self):
        try:
            with open(os.path.join(self.share, 'run', 'output.log'), 'rb') as f:
                return f.read()
        except OSError:
            return b''

    def exec(self, args, timeout=120, input=None):
        """Runs args in the guest; a CompletedProcess with bytes."""
        if isinstance(args, str):
            args = ['sh', '-c', args]
        r = self._cli('exec', '--timeout', str(timeout), *args, input=input if input is not None else b'',
                      timeout=timeout + 60)
        if r.returncode == 125 and r.stderr.startswith(b'armvm: '):
            raise RuntimeError(r.stderr.decode(errors='replace').strip())
        return r

    def sh(self, script, timeout=120):
        return self.exec(['sh', '-c', script], timeout=timeout).stdout

    def read_file(self, path):
        r = self.exec(['cat', '--', path])
        if r.returncode != 0:
            raise FileNotFoundError(path)
        return r.stdout

    def pull(self, path, dest):
        r = self._cli('pull', path, dest)
        if r.returncode != 0:
            raise FileNotFoundError(r.stderr.decode(errors='replace').strip())

    def kmsg(self):
        """Every kernel-log record since boot, as /dev/kmsg gives them."""
        try:
            with open(os.path.join(self.share, 'kmsg.log'), 'rb') as f:
                return f.read().decode(errors='replace')
        except OSError:
            return ''

    def wait_kmsg(self, text, timeout=60, count=1):
        deadline = time.monotonic() + timeout
        while self.kmsg().count(text) < count:
            if time.monotonic() > deadline:
                return False
            time.sleep(0.1)
        return True

    def ctl(self, *lines):
        r = self._cli('ctl', *lines)
        if r.returncode != 0:
            raise RuntimeError('ctl failed: %s' % r.stderr.decode(errors='replace'))

    def vexctl(self, *args, input=None, timeout=120):
        return self.exec(['/system/bin/vexctl'] + list(args), input=input, timeout=timeout)


@atexit.register
def _stop_all():
    for vm in list(_live):
        try:
            vm.cut()
        except Exception as e:   # noqa: best effort at exit
            print('armvm: stopping %r at exit: %r' % (vm, e))
    if _base and not os.environ.get('VEXD_HANDSET_KEEP'):
        shutil.rmtree(_base, ignore_errors=True)
