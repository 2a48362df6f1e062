#!/usr/bin/env python3
"""Runs every benchmark and prints one summary table.

    python3 bench/bench.py [BUILD_DIR] [FIGURE...]    (bench/run.sh calls this)

FIGURE numbers (1 to 8) pick some of the benchmarks; all run by default.

Each figure is the daemon's code timed against a plain baseline in the same
run, printed as a ratio with its goal beside it. These are measurements, not
tests: a figure below its goal is reported, never turned into a failure, and
the exit status is 0 unless the script itself breaks. A piece that cannot run
(no root for the simulated handset, a tool missing) is reported with the
reason and the rest goes on.

Library-level figures (daemon log, rotation, archive) run bench_lib, which
links vexd_core with the test support library and writes only into a
temporary folder. Figures that need the running daemon start it inside the
simulated handset (tests/e2e/handset.py) and drive it from the host: the
emulated /proc/kmsg and /dev/log/main FIFOs, the device server's control file,
the control socket, and the daemon's files through /proc/PID/root.
"""

import gzip
import os
import re
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import time
import zlib

SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# Sizes, chosen so that the whole run stays well under five minutes on two cores.
KMSG_BYTES = 16 << 20          # kernel log text fed per daemon round
KMSG_BASE_BYTES = 16 << 20     # and per baseline round
LOGCAT_ENTRIES = 150000        # main log entries per round
PRINTF_LINES = 100000          # daemon log lines per round
COMPRESS_ROUNDS = 15
ARCHIVE_MIB = 64
DIAG_RECORDS, DIAG_SIZE = 512, 65536   # 32 MiB per round
DIAG_ROUNDS = 7
PINGS = 50000


class Row:
    def __init__(self, num, figure, daemon='', baseline='', ratio=None, goal='', lower_better=False,
                 goal_value=None, note=''):
        self.num, self.figure, self.daemon, self.baseline = num, figure, daemon, baseline
        self.ratio, self.goal, self.lower_better, self.goal_value, self.note = \
            ratio, goal, lower_better, goal_value, note

    def verdict(self):
        if self.ratio is None or self.goal_value is None:
            return ''
        ok = self.ratio <= self.goal_value if self.lower_better else self.ratio >= self.goal_value
        return 'meets' if ok else 'MISSES'


rows = []
details = []


def say(text):
    print(text, flush=True)


def detail(text):
    details.append(text)
    say('  ' + text)


def unavailable(num, figure, why):
    rows.append(Row(num, figure, note='not measured: ' + why))
    say('  %s: not measured: %s' % (figure, why))


def kv(text):
    """key=value pairs of a bench program's output."""
    return dict(m.groups() for m in re.finditer(r'(\w+)=(\S+)', text))


def run(args, timeout=120, **kw):
    r = subprocess.run(args, capture_output=True, text=True, timeout=timeout, **kw)
    if r.returncode != 0:
        raise RuntimeError('%s failed (%d): %s' % (os.path.basename(args[0]), r.returncode,
                                                   (r.stderr or r.stdout).strip()[-500:]))
    return kv(r.stdout)


def median(values):
    """The middle value; of two, the higher."""
    v = sorted(values)
    return v[len(v) // 2]


def human_rate(v, unit):
    for scale, prefix in ((1e9, 'G'), (1e6, 'M'), (1e3, 'k')):
        if v >= scale:
            return '%.1f %s%s/s' % (v / scale, prefix, unit)
    return '%.0f %s/s' % (v, unit)


def mib_rate(bytes_per_s):
    return '%.1f MiB/s' % (bytes_per_s / 1048576)


# ------------------------------------------------------------------ library level

def bench_printf(bench_lib, tmp):
    say('[3] daemon log: vexd_printf lines/s vs one write() per line')
    d = os.path.join(tmp, 'printf')
    os.makedirs(d)
    r = subprocess.run([bench_lib, 'printf', d, str(PRINTF_LINES)], capture_output=True, text=True,
                       timeout=180)
    if r.returncode != 0:
        raise RuntimeError('bench_lib printf failed: ' + r.stderr.strip())
    for line in r.stdout.splitlines():
        f = kv(line)
        if 'threads' not in f:
            continue
        v, b = float(f['vexd_lines_per_s']), float(f['base_lines_per_s'])
        t = int(f['threads'])
        rows.append(Row('3', 'daemon log, %d thread%s (%s-byte lines)' % (t, 's' if t > 1 else '',
                                                                        f['line_bytes']),
                        human_rate(v, 'lines'), human_rate(b, 'lines'), v / b, '>= 0.8', goal_value=0.8))
        if 'vexd_no_rotation_lines_per_s' in f:
            nr, bt = float(f['vexd_no_rotation_lines_per_s']), float(f['base_timed_lines_per_s'])
            detail('daemon log, 1 thread: %s rotations (64 KiB compressed at level 9 each, %.1f ms) took '
                   '%.0f%% of the time; the other calls reach %s against %s timed the same way (ratio %.2f)'
                   % (f['rotations'], float(f['rotation_ms']), float(f['rotation_share']) * 100,
                      human_rate(nr, 'lines'), human_rate(bt, 'lines'), nr / bt))
    shutil.rmtree(d, ignore_errors=True)


def bench_compress(bench_lib, tmp):
    say('[4] rotation: file_compress of 256 KiB vs gzip -9')
    d = os.path.join(tmp, 'compress')
    os.makedirs(d)
    f = run([bench_lib, 'compress', d, str(COMPRESS_ROUNDS)])
    fc, gz, start = float(f['file_compress_s']), float(f['gzip_s']), float(f['gzip_start_s'])
    rows.append(Row('4', 'rotation: file_compress 256 KiB (time)', '%.1f ms' % (fc * 1e3),
                    '%.1f ms' % (gz * 1e3), fc / gz, '<= 1.1', lower_better=True, goal_value=1.1))
    detail('rotation: gzip -9 start-up alone %.1f ms; against gzip without it: ratio %.2f; '
           'sizes %s vs %s bytes; round trip %s' % (start * 1e3, fc / max(gz - start, 1e-9),
                                                     f['file_compress_size'], f['gzip_size'], f['roundtrip']))
    shutil.rmtree(d, ignore_errors=True)


def bench_archive(bench_lib, tmp):
    say('[8] archive: vexd_archive_all of a %d MiB log directory vs zip -9 -r' % ARCHIVE_MIB)
    if not shutil.which('zip'):
        return unavailable('8', 'archive', 'zip is not installed')
    d = os.path.join(tmp, 'archive')
    os.makedirs(d)
    f = run([bench_lib, 'archive', d, str(ARCHIVE_MIB)], timeout=240)
    vs, zs = float(f['vexd_s']), float(f['zip_s'])
    vb, zb = int(f['vexd_size']), int(f['zip_size'])
    rows.append(Row('8', 'archive %d MiB dir (time)' % ARCHIVE_MIB, '%.2f s' % vs, '%.2f s' % zs, vs / zs,
                    '<= 1.2', lower_better=True, goal_value=1.2))
    rows.append(Row('8', 'archive %d MiB dir (size)' % ARCHIVE_MIB, '%.2f MiB' % (vb / 1048576),
                    '%.2f MiB' % (zb / 1048576), vb / zb, '<= 1.02', lower_better=True, goal_value=1.02,
                    note='unzip -t: ' + f['archive_test']))
    detail('archive: directory %.1f MiB (a quarter text, the rest gzip), set-up %.1f s' % (
        int(f['dir_bytes']) / 1048576, float(f['setup_s'])))
    shutil.rmtree(d, ignore_errors=True)


# ------------------------------------------------------------------ in the handset

def frame(code, payload=b''):
    return struct.pack('<hH', code, len(payload)) + payload


def command(sock_path, code, payload=b'', timeout=30):
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
        s.settimeout(timeout)
        s.connect(sock_path)
        s.sendall(frame(code, payload))
        head = b''
        while len(head) < 4:
            chunk = s.recv(4 - len(head))
            if not chunk:
                raise RuntimeError('control socket closed')
            head += chunk
        status, length = struct.unpack('<hH', head)
        body = b''
        while len(body) < length:
            body += s.recv(length - len(body))
        return status, body


def read_bytes(path):
    try:
        with open(path, 'rb') as f:
            return f.read()
    except FileNotFoundError:
        return b''


def pair_content(logdir, base):
    """Everything a text log file pair holds, in order: gzip members, then text."""
    return gzip.decompress(read_bytes(os.path.join(logdir, base + '.gz'))) + \
        read_bytes(os.path.join(logdir, base + '.txt'))


def wait_settled(logdir, base, want_len, timeout=30):
    """Waits until the pair's files stop changing and hold at least want_len bytes."""
    deadline = time.monotonic() + timeout
    last = None
    while time.monotonic() < deadline:
        sizes = tuple(os.path.getsize(os.path.join(logdir, base + s))
                      if os.path.exists(os.path.join(logdir, base + s)) else -1 for s in ('.txt', '.gz'))
        if sizes == last:
            content = pair_content(logdir, base)
            if len(content) >= want_len:
                return content
        last = sizes
        time.sleep(0.2)
    return pair_content(logdir, base)


def vexd_threads(h):
    """Host ids of the daemon's threads (the vexd process in the handset's PID namespace)."""
    sandbox = open(os.path.join(h.state, 'run', 'sandbox.pid')).read().split()[0]
    ns = os.readlink('/proc/%s/ns/pid' % sandbox)
    for pid in os.listdir('/proc'):
        if not pid.isdigit():
            continue
        try:
            if open('/proc/%s/comm' % pid).read().strip() != 'vexd' or os.readlink('/proc/%s/ns/pid' % pid) != ns:
                continue
            return [int(t) for t in os.listdir('/proc/%s/task' % pid)]
        except OSError:
            continue
    raise RuntimeError('vexd is not running in the handset')


def vm_status(h):
    r = h.exec('cat /proc/$(pidof vexd)/status')
    out = r.stdout.decode(errors='replace')
    m = {k: int(v) for k, v in re.findall(r'^(VmHWM|VmRSS):\s+(\d+) kB', out, re.M)}
    if 'VmHWM' not in m:
        raise RuntimeError('no VmHWM for vexd: %s' % (out + r.stderr.decode(errors='replace')).strip()[:200])
    return m


def level9_seconds(data):
    """Seconds zlib takes to compress data at level 9 as gzip members of 256 KiB."""
    t0 = time.monotonic()
    for off in range(0, len(data), 262144):
        c = zlib.compressobj(9, zlib.DEFLATED, 31)
        c.compress(data[off:off + 262144])
        c.flush()
    return time.monotonic() - t0


def bench_kmsg(h, bench_io, tmp, logdir):
    say('[1] kernel log capture: /proc/kmsg into vexd_syslog.txt/.gz vs a 4096-byte copy loop')
    data = os.path.join(tmp, 'kmsg.dat')
    run([bench_io, 'gen-kmsg', data, str(KMSG_BYTES), '1'])
    with open(data, 'rb') as f:
        fed = f.read()

    # Baseline: a copy loop reading a FIFO of the same kind, writing into the
    # same file system as the daemon.
    fifo = os.path.join(tmp, 'base.fifo')
    os.mkfifo(fifo)
    out = os.path.join(logdir, 'bench_copy.txt')
    base_rates = []
    for _ in range(3):
        copier = subprocess.Popen([bench_io, 'copy-stream', fifo, out, str(KMSG_BASE_BYTES)],
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        f = run([bench_io, 'feed-stream', fifo, data])
        copier.wait(60)
        base_rates.append(KMSG_BASE_BYTES / float(f['seconds']))
        os.remove(out)
    os.remove(fifo)
    base = median(base_rates)

    # The daemon: the same text into the emulated /proc/kmsg.
    rates = []
    lost = []
    for rnd in range(2):
        before = pair_content(logdir, 'vexd_syslog')
        f = run([bench_io, 'feed-stream', os.path.join(h.state, 'kmsg.in'), data], timeout=300)
        rates.append(len(fed) / float(f['seconds']))
        after = wait_settled(logdir, 'vexd_syslog', len(before) + len(fed))
        if after != before + fed:
            lost.append('round %d: %d bytes captured, %d fed%s' % (
                rnd + 1, len(after) - len(before), len(fed),
                '' if after[:len(before)] == before else ', earlier content changed'))
    v = median(rates)
    # How much of the daemon's time compressing the same bytes at level 9 in
    # 256 KiB rotations takes by itself (zlib, as the daemon uses it).
    zlib_s = level9_seconds(fed)
    detail('kernel log: level-9 compression of the same text alone takes %.2f s, %.0f%% of the daemon\'s '
           '%.2f s; without it the daemon would need about %.2f s (copy loop: %.2f s)' % (
               zlib_s, 100 * zlib_s / (len(fed) / v), len(fed) / v, len(fed) / v - zlib_s, len(fed) / base))
    rows.append(Row('1', 'kernel log capture (%d MiB)' % (len(fed) >> 20), mib_rate(v), mib_rate(base), v / base,
                    '>= 0.9', goal_value=0.9,
                    note='nothing lost' if not lost else 'LOST: ' + '; '.join(lost)))


def bench_logcat(h, bench_io, tmp, logdir):
    say('[2] main log: /dev/log/main entries into vexd_logcat.txt vs an unformatted copy loop')
    expect_path = os.path.join(tmp, 'logcat.expect')
    fifo = os.path.join(tmp, 'logcat.fifo')
    os.mkfifo(fifo)
    out = os.path.join(logdir, 'bench_copy.bin')
    base_rates = []
    for _ in range(3):
        copier = subprocess.Popen([bench_io, 'copy-packets', fifo, out, str(LOGCAT_ENTRIES)],
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        f = run([bench_io, 'feed-packets', fifo, str(LOGCAT_ENTRIES), '3', expect_path])
        copier.wait(60)
        base_rates.append(LOGCAT_ENTRIES / float(f['seconds']))
        os.remove(out)
    os.remove(fifo)
    base = median(base_rates)

    rates = []
    lost = []
    stamp = re.compile(rb'^\[ *\d+\.\d{6}\] ', re.M)
    for rnd in range(2):
        before = pair_content(logdir, 'vexd_logcat')
        f = run([bench_io, 'feed-packets', os.path.join(h.state, 'logmain.fifo'), str(LOGCAT_ENTRIES),
                 str(10 + rnd), expect_path], timeout=300)
        rates.append(LOGCAT_ENTRIES / float(f['seconds']))
        with open(expect_path, 'rb') as e:
            expect = e.read()
        after = wait_settled(logdir, 'vexd_logcat', len(before) + len(expect))
        got = stamp.sub(b'', after[len(before):])
        if after[:len(before)] != before or got != expect:
            lost.append('round %d: %d lines captured, %d fed' % (rnd + 1, got.count(b'\n'), LOGCAT_ENTRIES))
    v = median(rates)
    text = after[len(before):]
    zlib_s = level9_seconds(text)
    detail('main log: level-9 compression of the %.1f MiB of lines alone takes %.2f s, %.0f%% of the daemon\'s '
           '%.2f s; without it the daemon would need about %.2f s (copy loop: %.2f s)' % (
               len(text) / 1048576, zlib_s, 100 * zlib_s * v / LOGCAT_ENTRIES, LOGCAT_ENTRIES / v,
               LOGCAT_ENTRIES / v - zlib_s, LOGCAT_ENTRIES / base))
    rows.append(Row('2', 'main log (%dk entries)' % (LOGCAT_ENTRIES // 1000), human_rate(v, 'entries'),
                    human_rate(base, 'entries'), v / base, '>= 0.8', goal_value=0.8,
                    note='nothing lost' if not lost else 'LOST: ' + '; '.join(lost)))


def bench_diag(h, bench_io, tmp, logdir, ctrl):
    say('[6] diag recording: /dev/diag into the qmdl file vs a 1 MiB-read copy loop')
    dev = os.path.join(h.state, 'dev', 'diag')
    if not os.path.exists(dev):
        return unavailable('6', 'diag recording', 'the device server is not running (sim/devices/simdevd built?)')
    total = DIAG_RECORDS * DIAG_SIZE
    burst = 'diag burst %d %d' % (DIAG_RECORDS, DIAG_SIZE)
    out = os.path.join(logdir, 'bench_diag.bin')
    records = os.path.join(h.records_dir, 'diag_data.bin')

    def baseline_round():
        copier = subprocess.Popen([bench_io, 'copy-diag', dev, out, str(total)],
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        copier.stdout.readline()   # ready: the device is open
        t0 = time.monotonic()
        h.ctl(burst)
        o, e = copier.communicate(timeout=120)
        if copier.returncode != 0:
            raise RuntimeError('copy-diag failed: ' + e.strip())
        os.remove(out)
        return total / (float(kv(o)['end']) - t0)

    def daemon_round(rnd, lost):
        status, _ = command(ctrl, 2, b'bench\0')
        if status != 0:
            raise RuntimeError('CMD_DIAG_ON answered %d' % status)
        # The reader thread creates the qmdl file once it runs.
        deadline = time.monotonic() + 10
        while True:
            qmdl = [n for n in os.listdir(os.path.join(logdir, 'diag_logs')) if n.startswith('dl_bench_')]
            if qmdl or time.monotonic() > deadline:
                break
            time.sleep(0.01)
        if len(qmdl) != 1:
            raise RuntimeError('no single qmdl file after CMD_DIAG_ON: %s' % qmdl)
        qmdl = os.path.join(logdir, 'diag_logs', qmdl[0])
        start_size = os.path.getsize(qmdl)
        offset = os.path.getsize(records) if os.path.exists(records) else 0
        waiter = subprocess.Popen([bench_io, 'wait-size', qmdl, str(start_size + total), '120'],
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        t0 = time.monotonic()
        h.ctl(burst)
        o, _ = waiter.communicate(timeout=180)
        rate = total / (float(kv(o)['end']) - t0)
        status, _ = command(ctrl, 3)
        with open(qmdl, 'rb') as f:
            f.seek(start_size)
            got = f.read()
        with open(records, 'rb') as f:
            f.seek(offset)
            handed = f.read()
        if got != handed or len(got) != total:
            lost.append('round %d: %d bytes recorded, %d handed out, %d expected' % (
                rnd + 1, len(got), len(handed), total))
        if status != 0:
            lost.append('round %d: CMD_DIAG_OFF answered %d' % (rnd + 1, status))
        os.remove(qmdl)
        return rate

    base_rates, rates, lost = [], [], []
    for rnd in range(DIAG_ROUNDS):
        base_rates.append(baseline_round())
        rates.append(daemon_round(rnd, lost))
    v, base = median(rates), median(base_rates)
    detail('diag: rounds daemon %s, baseline %s (MiB/s; the table shows medians)' % (
        ' '.join('%.0f' % (r / 1048576) for r in rates), ' '.join('%.0f' % (r / 1048576) for r in base_rates)))
    rows.append(Row('6', 'diag recording (%d x %d KiB)' % (DIAG_RECORDS, DIAG_SIZE >> 10), mib_rate(v),
                    mib_rate(base), v / base, '>= 0.9', goal_value=0.9,
                    note='no record lost' if not lost else 'LOST: ' + '; '.join(lost)))


def bench_ping(h, bench_io, tmp, ctrl):
    say('[7] control socket: ping round trips/s on one connection vs a minimal echo server')
    echo_path = os.path.join(tmp, 'echo.sock')
    # Client and server share one processor in both measurements: where the
    # scheduler puts them otherwise changes a round trip more than the
    # servers' own code does.
    cpu = {min(os.sched_getaffinity(0))}
    daemon_threads = vexd_threads(h)

    def pin():
        os.sched_setaffinity(0, cpu)

    rates, base_rates = [], []
    try:
        for t in daemon_threads:
            os.sched_setaffinity(t, cpu)
        for _ in range(3):
            server = subprocess.Popen([bench_io, 'echo-server', echo_path], stdout=subprocess.PIPE,
                                      stderr=subprocess.PIPE, text=True, preexec_fn=pin)
            server.stdout.readline()   # listening
            f = run([bench_io, 'ping', echo_path, str(PINGS)], preexec_fn=pin)
            server.wait(30)
            base_rates.append(PINGS / float(f['seconds']))
            f = run([bench_io, 'ping', ctrl, str(PINGS)], preexec_fn=pin)
            rates.append(PINGS / float(f['seconds']))
    finally:
        every = os.sched_getaffinity(0)
        for t in daemon_threads:
            try:
                os.sched_setaffinity(t, every)
            except OSError:
                pass
    v, b = median(rates), median(base_rates)
    rows.append(Row('7', 'control socket ping (4-byte frames)', human_rate(v, 'trips'), human_rate(b, 'trips'),
                    v / b, '>= 0.8', goal_value=0.8))


HANDSET_FIGURES = {'1': 'kernel log capture', '2': 'main log', '5': 'peak memory', '6': 'diag recording',
                   '7': 'control socket ping'}


def handset_benches(build, bench_io, tmp, wanted):
    names = HANDSET_FIGURES

    def skip_all(why):
        for num in sorted(names):
            if num in wanted:
                unavailable(num, names[num], why)

    sys.path.insert(0, os.path.join(SOURCE_DIR, 'tests', 'e2e'))
    os.environ['VEXD_BUILD_DIR'] = build
    try:
        import handset
        handset.require()
    except Exception as e:   # unittest.SkipTest or an import failure
        return skip_all('simulated handset unavailable: %s' % e)
    for exe in ('vexd/vexd', 'sim/logfeed'):
        if not os.path.exists(os.path.join(build, exe)):
            return skip_all('%s is not built' % exe)

    h = handset.Handset('bench')
    h.check_sanitizer = False
    try:
        h.start()
        if not h.wait_kmsg('vexd: daemon startup complete', 30):
            return skip_all('the daemon did not start: %s' % h.kmsg().strip()[-300:])
        sandbox = handset._live_pid(os.path.join(h.state, 'run', 'sandbox.pid'))
        where = h.exec(['readlink', '-f', '/qordebug']).stdout.decode().strip() or '/system'
        logdir = '/proc/%d/root%s' % (sandbox, where)
        ctrl = os.path.join(h.system_dir, 'vexd_ctrl_socket')
        say('  daemon running; log directory %s%s' % (
            where, '' if 'Mounted' in h.kmsg() else ' (not the dedicated partition: gzip files are trimmed)'))
        idle = vm_status(h)
        for num, fn, args in (('7', bench_ping, (h, bench_io, tmp, ctrl)),
                              ('6', bench_diag, (h, bench_io, tmp, logdir, ctrl)),
                              ('1', bench_kmsg, (h, bench_io, tmp, logdir)),
                              ('2', bench_logcat, (h, bench_io, tmp, logdir))):
            if num not in wanted:
                continue
            try:
                fn(*args)
            except Exception as e:
                unavailable(num, names[num], '%s: %s' % (type(e).__name__, e))
            if not h.running() or h.status() is not None:
                return skip_all('the daemon ended (status %s); output: %s' % (
                    h.status(), h.output().decode(errors='replace')[-300:]))
        peak = vm_status(h)
        if '5' in wanted:
            rows.append(Row('5', 'peak resident memory under load', '%d KiB' % peak['VmHWM'],
                            note='%d KiB after start-up; VmRSS now %d KiB' % (idle['VmHWM'], peak['VmRSS'])))
    finally:
        try:
            h.stop()
        except Exception as e:
            say('  stopping the handset: %s' % e)


# ------------------------------------------------------------------ main

def table():
    head = ('#', 'figure', 'daemon', 'baseline', 'ratio', 'goal', '', 'notes')
    body = []
    for r in rows:
        body.append((r.num, r.figure, r.daemon, r.baseline, '' if r.ratio is None else '%.2f' % r.ratio,
                     r.goal, r.verdict(), r.note))
    widths = [max(len(str(x[i])) for x in [head] + body) for i in range(len(head) - 1)]
    lines = []
    for x in [head] + body:
        lines.append('  '.join(str(c).ljust(w) for c, w in zip(x, widths)) + '  ' + x[-1])
        if x is head:
            lines.append('-' * (sum(widths) + 2 * len(widths) + 5))
    return '\n'.join(line.rstrip() for line in lines)


def main():
    args = sys.argv[1:]
    build = os.path.abspath(args.pop(0) if args and not args[0].isdigit() else os.path.join(SOURCE_DIR, 'build'))
    wanted = set(args) or set('12345678')
    bench_io = os.path.join(build, 'bench', 'bench_io')
    bench_lib = os.path.join(build, 'bench', 'bench_lib')
    started = time.monotonic()
    say('vexd benchmarks, build %s' % build)
    tmp = tempfile.mkdtemp(prefix='vexd-bench-')
    try:
        for num, name, fn in (('3', 'daemon log', bench_printf), ('4', 'rotation', bench_compress),
                              ('8', 'archive', bench_archive)):
            if num not in wanted:
                continue
            if not os.path.exists(bench_lib):
                unavailable(num, name, '%s is not built' % bench_lib)
                continue
            try:
                fn(bench_lib, tmp)
            except Exception as e:
                unavailable(num, name, '%s: %s' % (type(e).__name__, e))
            os.sync()   # no write-back of this piece's files during the next one
        if wanted & set('12567'):
            if os.path.exists(bench_io):
                handset_benches(build, bench_io, tmp, wanted)
            else:
                for num, name in HANDSET_FIGURES.items():
                    if num in wanted:
                        unavailable(num, name, '%s is not built' % bench_io)
    finally:
        shutil.rmtree(tmp, ignore_errors=True)

    rows.sort(key=lambda r: r.num)
    say('')
    say(table())
    say('')
    if details:
        say('Where the time goes:')
        for d in details:
            say('  - ' + d)
        say('')
    say('Ratios are daemon / baseline: rates, higher is better, except the rows marked (time) or (size), '
        'where lower is better. Baselines are timed in the same session (diag and ping in rounds '
        'interleaved with the daemon\'s); rates are medians of the rounds (daemon log: best of two). '
        'Total %.0f s.' % (time.monotonic() - started))
    return 0


if __name__ == '__main__':
    sys.exit(main())
