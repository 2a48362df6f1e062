"""Helpers shared by the collector tests: log directory files, the daemon
log, polling, and a client of the control sockets."""
import os
import socket
import time

import socket_proto

LOG_DIR = '/qordebug'
CMD_PING, CMD_TRC_WRITE, CMD_TRC_ENABLE, CMD_TRC_DISABLE = (socket_proto.PING, socket_proto.TRC_WRITE,
                                                        socket_proto.TRC_ENABLE, socket_proto.TRC_DISABLE)


def marker(count):
    return b'<<<< VEXD START >>>>\n<<<< STARTUP COUNT %04d >>>>\n' % count


def sh(h, script, timeout=60):
    """Runs a shell script inside the handset; its standard output."""
    return h.exec(['sh', '-c', script], timeout=timeout).stdout


def pair_text(h, base, log_dir=LOG_DIR):
    """Everything a text log file pair holds: the archive, then the text file."""
    return sh(h, 'zcat {d}/{b}.gz 2>/dev/null; cat {d}/{b}.txt 2>/dev/null'.format(d=log_dir, b=base))


def size(h, path):
    """Size of a file inside the handset, -1 when it is missing."""
    out = sh(h, 'stat -c %%s %s 2>/dev/null || echo -1' % path)
    return int(out.split()[0])


def gzip_ok(h, path):
    return h.exec(['gzip', '-t', path]).returncode == 0


def bad_archives(h, log_dir=LOG_DIR):
    """The gzip files of the log directory that do not pass gzip -t."""
    out = sh(h, 'for f in %s/*.gz; do [ -e "$f" ] && { gzip -t "$f" 2>/dev/null || echo "$f"; }; done' % log_dir)
    return out.decode().split()


# vexlog's name of each text log pair, with the pair's base name.
TEXT_LOGS = (('kernel', 'vexd_syslog'), ('main', 'vexd_logcat'), ('trace', 'vexd_trclog'),
             ('daemon', 'vexd_vexdlog'))


def zip_pair_text(zip_bytes, base, top='qordebug'):
    """What unzip + zcat + cat give for one pair of an archive: its .gz
    members, then its .txt."""
    import gzip
    import io
    import zipfile
    with zipfile.ZipFile(io.BytesIO(zip_bytes)) as z:
        names = set(z.namelist())
        gz = z.read('%s/%s.gz' % (top, base)) if '%s/%s.gz' % (top, base) in names else b''
        txt = z.read('%s/%s.txt' % (top, base)) if '%s/%s.txt' % (top, base) in names else b''
    return (gzip.decompress(gz) if gz else b'') + txt


def rotations_at_rest(h, log_dir=LOG_DIR):
    """True when no rotation is under way: every record file is empty (zcat
    + cat would show a member and its text twice while one is)."""
    return sh(h, 'for f in %s/*.part; do [ -s "$f" ] && echo "$f"; done; true' % log_dir).strip() == b''


def assert_vexlog_reads_as_written(test, h, zip_path=None, what=''):
    """vexlog, run in the handset, prints every text log exactly as zcat of
    its .gz and cat of its .txt do: from the live log directory (the daemon
    must not be writing: stop or kill it first), and from the archive at
    zip_path (read in place) against Python's own unzip."""
    zip_bytes = h.read_file(zip_path) if zip_path else None
    for name, base in TEXT_LOGS:
        for source in ([LOG_DIR] + ([zip_path] if zip_path else [])):
            r = h.exec(['vexlog', source, name], timeout=300)
            want = pair_text(h, base) if source == LOG_DIR else zip_pair_text(zip_bytes, base)
            test.assertEqual(0, r.returncode, '%svexlog %s %s: %s' % (what, source, name, r.stderr[-500:]))
            if r.stdout != want:
                at = next((i for i, (a, b) in enumerate(zip(r.stdout, want)) if a != b),
                          min(len(r.stdout), len(want)))
                test.fail('%svexlog %s %s: %d bytes, zcat + cat %d; first difference at byte %d: %r / %r'
                          % (what, source, name, len(r.stdout), len(want), at, r.stdout[at:at + 80],
                             want[at:at + 80]))


def daemon_log(h):
    return pair_text(h, 'vexd_vexdlog').decode('utf-8', 'replace')


def wait_for(predicate, timeout=30.0, step=0.2):
    deadline = time.monotonic() + timeout
    while True:
        if predicate():
            return True
        if time.monotonic() > deadline:
            return False
        time.sleep(step)


def wait_log(h, text, count=1, timeout=30.0):
    """Waits until the daemon log holds `text` at least `count` times."""
    return wait_for(lambda: daemon_log(h).count(text) >= count, timeout)


class Client:
    """One connection to a control socket, speaking the framed protocol."""

    def __init__(self, path, timeout=30.0):
        self.sock = None
        deadline = time.monotonic() + timeout
        while True:
            s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            try:
                s.connect(path)
                break
            except OSError:
                s.close()
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.2)
        s.settimeout(timeout)
        self.sock = s

    def close(self):
        if self.sock:
            self.sock.close()
            self.sock = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def call(self, code, payload=b''):
        """Sends one request; the response's status and payload."""
        return socket_proto.call(self.sock, code, payload)

    def status(self, code, payload=b''):
        return self.call(code, payload)[0]


def ctrl_path(h):
    return os.path.join(h.system_dir, 'vexd_ctrl_socket')


def trc_path(h):
    return os.path.join(h.system_dir, 'vexd_trc_socket')


def daemon_pid(h, emulated_too=False):
    """Host pid of the main program: the process named vexd under the
    sandbox's init (searched through its descendants), or None. With
    emulated_too, also the emulator that runs /system/bin/vexd."""
    with open(os.path.join(h.state, 'run', 'sandbox.pid')) as f:
        todo = [f.read().split()[0]]
    while todo:
        pid = todo.pop()
        try:
            with open('/proc/%s/comm' % pid) as c:
                if c.read().strip() == 'vexd':
                    return int(pid)
            if emulated_too:
                with open('/proc/%s/cmdline' % pid, 'rb') as c:
                    args = c.read().split(b'\0')
                # qemu-arm ... -0 /system/bin/vexd .../vexd.arm (the ARM tree's wrapper)
                if b'qemu' in os.path.basename(args[0]) and (
                        b'/system/bin/vexd' in args or any(a.endswith(b'/vexd.arm') for a in args)):
                    return int(pid)
            for task in os.listdir('/proc/%s/task' % pid):
                with open('/proc/%s/task/%s/children' % (pid, task)) as f:
                    todo += f.read().split()
        except OSError:
            continue
    return None
