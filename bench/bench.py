#!/usr/bin/env python3
"""Runs every benchmark and prints one summary table.

    python3 bench/bench.py [BUILD_DIR] [FIGURE...]    (bench/run.sh calls this)

FIGURE numbers (1 to 12) pick some of the benchmarks; 1 to 11 run by default,
12 (the emulated ARM handset's real ring; needs the ARM tree) only when named.
--full adds the 20 ms slow-flash rounds of figures 9 and 10 to the default 0 and 100 ms.

Each figure is the daemon's code timed against a baseline in the same run,
in interleaved rounds, printed as median, minimum and maximum with the ratio
and its goal beside it. The main baselines ("minimal") do only the work the
daemon must do; plain copies are printed as an informative
second line. These are measurements, not
tests: a figure below its goal is reported, never turned into a failure, and
the exit status is 0 unless the script itself breaks. A piece that cannot run
(no root for the simulated handset, a tool missing) is reported with the
reason and the rest goes on.

Library-level figures (daemon log, rotation, archive) run bench_lib, which
links vexd_core with the test support library and writes only into a
temporary folder. Figures that need the running daemon start it inside the
simulated handset (tests/e2e/handset.py) and drive it from the host: the
emulated /proc/kmsg and /dev/log/main FIFOs, the device server's control file,
the control socket, and the daemon's files through /proc/PID/root. A second
handset serves /proc/kmsg and /dev/log/main from the device server's rings
(handset --rings), which drop their oldest data when the daemon falls behind:
the zero-loss feed rates and the rotation stalls come from there.
"""

import gzip
import math
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import zlib

SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
slow_fsync_lib = ''   # bench/libslow_fsync.so of the build, set by main()
sys.path.insert(0, os.path.join(SOURCE_DIR, 'tests', 'e2e'))
from socket_proto import call  # noqa: E402

# Sizes, chosen so that the whole run stays well under ten minutes on two cores.
ROUNDS = 5                     # rounds of every figure, daemon and baseline alternating
KMSG_BYTES = 16 << 20          # kernel log text per round
LOGCAT_ENTRIES = 150000        # main log entries per round
PRINTF_LINES = 50000           # daemon log lines per round
COMPRESS_ROUNDS = 15
ARCHIVE_MIB = 32
DIAG_RECORDS, DIAG_SIZE = 512, 65536   # 32 MiB per round
DIAG_ROUNDS = 7
PINGS = 50000
ROTATION = 262144              # the collectors' rotation threshold
READER_MIB = 100               # main log text read by vexlog per round
KMSG_RING, MAIN_RING = 128 << 10, 256 << 10
SEARCH_STEPS = 6               # feed rates tried per source before the confirming rounds
CONFIRM_TRIES = 4              # rates tried by the confirming rounds
ROUND_ROTATIONS = 21           # rotations per round of the ring figures
FSYNC_DELAYS = (0, 100)        # ms added to every fsync (slow flash); --full adds 20
FULL_FSYNC_DELAYS = (0, 20, 100)
PEAK_BEFORE_KIB = 4924         # peak resident memory of figure 5 before the read queues
QUEUES_KIB = 2048              # the two collectors' read queues


def stats(values):
    """(median, minimum, maximum); the median of an even count is the mean of the middle two."""
    v = sorted(values)
    n = len(v)
    mid = v[n // 2] if n % 2 else (v[n // 2 - 1] + v[n // 2]) / 2
    return mid, v[0], v[-1]


def spread(values, fmt):
    """'median (min-max)' of a figure's rounds."""
    mid, lo, hi = stats(values)
    if len(values) == 1:
        return fmt(mid)
    return '%s (%s-%s)' % (fmt(mid), fmt(lo).split()[0], fmt(hi))


def ratios(a, b):
    """Round-by-round ratios of two interleaved series."""
    return [x / y for x, y in zip(a, b)]


class Row:
    def __init__(self, num, figure, daemon='', baseline='', ratio=None, goal='', lower_better=False,
                 goal_value=None, note=''):
        self.num, self.figure, self.daemon, self.baseline = num, figure, daemon, baseline
        self.ratio = ratio       # per-round ratios, or None
        self.goal, self.lower_better, self.goal_value, self.note = goal, lower_better, goal_value, note

    def ratio_text(self):
        if not self.ratio:
            return ''
        mid, lo, hi = stats(self.ratio)
        return '%.2f' % mid if len(self.ratio) == 1 else '%.2f (%.2f-%.2f)' % (mid, lo, hi)

    fixed_verdict = None

    def verdict(self):
        if self.fixed_verdict is not None:
            return self.fixed_verdict
        if not self.ratio or self.goal_value is None:
            return ''
        mid = stats(self.ratio)[0]
        ok = mid <= self.goal_value if self.lower_better else mid >= self.goal_value
        return 'meets' if ok else 'MISSES'


rows = []
details = []
capacity = {}   # capture rates with back-pressure, the tops of the zero-loss searches


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


def copy_while_fed(copier_args, feeder_args):
    """Runs a bench_io copier while a bench_io feeder fills its input; the
    copier's figures."""
    copier = subprocess.Popen(copier_args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    run(feeder_args)
    o, e = copier.communicate(timeout=120)
    if copier.returncode != 0:
        raise RuntimeError('%s failed: %s' % (copier_args[1], e.strip()))
    return kv(o)


def human_rate(v, unit):
    for scale, prefix in ((1e9, 'G'), (1e6, 'M'), (1e3, 'k')):
        if v >= scale:
            return '%.1f %s%s/s' % (v / scale, prefix, unit)
    return '%.0f %s/s' % (v, unit)


def mib_rate(bytes_per_s):
    return '%.1f MiB/s' % (bytes_per_s / 1048576)


# ------------------------------------------------------------------ library level

def floats(text):
    return [float(x) for x in text.split(',')]


def bench_printf(bench_lib, tmp):
    say('[3] daemon log: vexd_printf vs a minimal log writer (stamp, write, level-9 member per 64 KiB)')
    d = os.path.join(tmp, 'printf')
    os.makedirs(d)
    r = subprocess.run([bench_lib, 'printf', d, str(PRINTF_LINES), str(ROUNDS)], capture_output=True, text=True,
                       timeout=300)
    if r.returncode != 0:
        raise RuntimeError('bench_lib printf failed: ' + r.stderr.strip())
    for line in r.stdout.splitlines():
        f = kv(line)
        if 'threads' not in f:
            continue
        t, n = int(f['threads']), int(f['lines'])
        v = [n / x for x in floats(f['vexd_s'])]
        m = [n / x for x in floats(f['minimal_s'])]
        p = [n / x for x in floats(f['plain_s'])]
        name = 'daemon log, %d thread%s (%s-byte lines)' % (t, 's' if t > 1 else '', f['line_bytes'])
        rows.append(Row('3', name + ' vs minimal writer', spread(v, lambda x: human_rate(x, 'lines')),
                        spread(m, lambda x: human_rate(x, 'lines')), ratios(v, m), '>= 0.9', goal_value=0.9))
        rows.append(Row('3', name + ' vs plain write()', spread(v, lambda x: human_rate(x, 'lines')),
                        spread(p, lambda x: human_rate(x, 'lines')), ratios(v, p), 'info'))
    shutil.rmtree(d, ignore_errors=True)


def bench_compress(bench_lib, tmp):
    say('[4] rotation: file_compress of 256 KiB vs the same level-9 member made in-process (and gzip -9)')
    d = os.path.join(tmp, 'compress')
    os.makedirs(d)
    f = run([bench_lib, 'compress', d, str(COMPRESS_ROUNDS)])
    fc, mn = floats(f['file_compress_s']), floats(f['minimal_s'])
    gz, start = floats(f['gzip_s']), floats(f['gzip_start_s'])
    ms = lambda x: '%.1f ms' % (x * 1e3)
    rows.append(Row('4', 'rotation: file_compress 256 KiB (time) vs zlib member', spread(fc, ms), spread(mn, ms),
                    ratios(fc, mn), '<= 1.1', lower_better=True, goal_value=1.1,
                    note='sizes %s vs %s bytes; round trip %s' % (f['file_compress_size'], f['minimal_size'],
                                                                 f['roundtrip'])))
    net = [g - s0 for g, s0 in zip(gz, start)]
    rows.append(Row('4', 'rotation (time) vs gzip -9 less its start-up', spread(fc, ms), spread(net, ms),
                    ratios(fc, net), 'info', lower_better=True,
                    note='gzip -9 start-up alone %s; gzip size %s bytes' % (ms(stats(start)[0]), f['gzip_size'])))
    shutil.rmtree(d, ignore_errors=True)


def bench_archive(bench_lib, tmp):
    say('[8] archive: vexd_archive_all of a %d MiB log directory vs zip -9 -r' % ARCHIVE_MIB)
    if not shutil.which('zip'):
        return unavailable('8', 'archive', 'zip is not installed')
    d = os.path.join(tmp, 'archive')
    os.makedirs(d)
    f = run([bench_lib, 'archive', d, str(ARCHIVE_MIB), str(ROUNDS)], timeout=300)
    vs, zs = floats(f['vexd_s']), floats(f['zip_s'])
    vb, zb = int(f['vexd_size']), int(f['zip_size'])
    sec = lambda x: '%.2f s' % x
    rows.append(Row('8', 'archive %d MiB dir (time)' % ARCHIVE_MIB, spread(vs, sec), spread(zs, sec), ratios(vs, zs),
                    '<= 1.2', lower_better=True, goal_value=1.2))
    rows.append(Row('8', 'archive %d MiB dir (size)' % ARCHIVE_MIB, '%.2f MiB' % (vb / 1048576),
                    '%.2f MiB' % (zb / 1048576), [vb / zb], '<= 1.02', lower_better=True, goal_value=1.02,
                    note='unzip -t: ' + f['archive_test']))
    detail('archive: directory %.1f MiB (a quarter text, the rest gzip), set-up %.1f s' % (
        int(f['dir_bytes']) / 1048576, float(f['setup_s'])))
    shutil.rmtree(d, ignore_errors=True)


def reader_logdir(d):
    """A main log of READER_MIB MiB as the daemon leaves it: level-9 members of
    ROTATION bytes of text each, then the text file; a start every 20 MiB."""
    os.makedirs(d)
    import random
    rnd = random.Random(11)
    tags = [b'Radio', b'Telephony', b'ActivityManager', b'WifiStateMachine', b'dalvikvm', b'GCM', b'Audio',
            b'SurfaceFlinger']
    pris = b'VDIWEF'
    words = [b'state', b'changed', b'to', b'connected', b'signal', b'level', b'timeout', b'retry', b'request',
             b'handle', b'0x1f3a', b'done', b'failed', b'queue', b'cell', b'id']
    lines = []
    for i in range(20000):
        msg = b' '.join(rnd.choice(words) for _ in range(rnd.randint(3, 12)))
        lines.append(b'%s/%-8s(%d): %s\n' % (pris[rnd.randrange(6):][:1], rnd.choice(tags), rnd.randint(100, 4000),
                                              msg))
    total, start, t = 0, 0, 0
    text = bytearray()
    with open(os.path.join(d, 'vexd_logcat.gz'), 'wb') as gz:
        while total < READER_MIB << 20:
            if total >= start * (20 << 20):
                start += 1
                text += b'<<<< VEXD START >>>>\n<<<< STARTUP COUNT %04d >>>>\n' % start
                t = 0
            t += 1731
            line = b'[%5d.%06d] ' % (t // 1000000, t % 1000000) + lines[rnd.randrange(len(lines))]
            text += line
            total += len(line)
            if len(text) >= ROTATION:
                gz.write(gzip.compress(bytes(text), 9))
                text.clear()
    with open(os.path.join(d, 'vexd_logcat.txt'), 'wb') as f:
        f.write(text)
    return total, start


def bench_reader(build, tmp):
    say('[11] log reader: vexlog on a %d MiB main log vs zcat | grep' % READER_MIB)
    vexlog = os.path.join(build, 'tools', 'vexlog')
    if not os.path.exists(vexlog):
        return unavailable('11', 'log reader', '%s is not built' % vexlog)
    d = os.path.join(tmp, 'reader')
    t0 = time.monotonic()
    total, starts = reader_logdir(d)
    setup = time.monotonic() - t0
    out = os.path.join(tmp, 'reader.out')
    gz, txt = os.path.join(d, 'vexd_logcat.gz'), os.path.join(d, 'vexd_logcat.txt')
    # The same question both ways: Radio at W and above, every start. Output
    # goes to a file (grep stops at its first match when writing to /dev/null).
    pattern = "-e ' W/Radio ' -e ' E/Radio ' -e ' F/Radio '"
    jobs = {
        'filter': ([vexlog, d, 'main', 'Radio:W', '*:S'],
                   "{ zcat %s; cat %s; } | grep -F %s" % (gz, txt, pattern)),
        'whole': ([vexlog, d, 'main'], "zcat %s; cat %s" % (gz, txt)),
    }
    for name, (cmd, base) in jobs.items():
        v, b, sizes = [], [], []
        for _ in range(ROUNDS):
            for mine in (True, False):
                with open(out, 'wb') as f:
                    t = time.monotonic()
                    if mine:
                        r = subprocess.run(cmd, stdout=f, stderr=subprocess.PIPE, timeout=600)
                    else:
                        r = subprocess.run(['sh', '-c', base], stdout=f, stderr=subprocess.PIPE, timeout=600)
                    took = time.monotonic() - t
                if r.returncode not in (0, 1) or r.stderr:
                    raise RuntimeError('%s failed: %s' % (name, r.stderr.decode(errors='replace')[-300:]))
                (v if mine else b).append(total / took)
                sizes.append(os.path.getsize(out))
        # With a filter over every start, vexlog shows each start's marker
        # (two lines, 50 bytes) before its first line.
        extra = starts * 50 if name == 'filter' else 0
        mine_size, base_size = sizes[0], sizes[1]
        same = 'same output' if mine_size == base_size else 'output sizes %d vs %d' % (mine_size, base_size)
        if extra and mine_size == base_size + extra and len(set(sizes[0::2])) == len(set(sizes[1::2])) == 1:
            same = 'same lines, and the %d start markers' % starts
        if name == 'filter':
            rows.append(Row('11', 'log reader: %d MiB main log, Radio:W *:S' % READER_MIB, spread(v, mib_rate),
                            spread(b, mib_rate), ratios(v, b), '>= 0.8', goal_value=0.8,
                            note='baseline zcat | grep -F; %s' % same))
        else:
            rows.append(Row('11', 'log reader: %d MiB main log, every line' % READER_MIB, spread(v, mib_rate),
                            spread(b, mib_rate), ratios(v, b), 'info',
                            note='baseline zcat; cat; %s' % same))
    detail('log reader: %.0f MiB of text in %d-byte members made in %.1f s' % (total / 1048576, ROTATION, setup))
    shutil.rmtree(d, ignore_errors=True)


# ------------------------------------------------------------------ in the handset

def command(sock_path, code, payload=b'', timeout=30):
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
        s.settimeout(timeout)
        s.connect(sock_path)
        return call(s, code, payload)


def read_bytes(path):
    try:
        with open(path, 'rb') as f:
            return f.read()
    except FileNotFoundError:
        return b''


def pair_mark(logdir, base):
    """Where a text log file pair stands now: the gzip file's size and the text file's content."""
    return (len(read_bytes(os.path.join(logdir, base + '.gz'))), read_bytes(os.path.join(logdir, base + '.txt')))


def pair_since(logdir, base, mark):
    """What the pair gained since `mark`: the gzip members added after it (the first of them begins
    with the text that was there) and the text file now. None while a rotation is half done, or when
    the gzip file was trimmed or the text file changed otherwise."""
    gz = read_bytes(os.path.join(logdir, base + '.gz'))
    txt = read_bytes(os.path.join(logdir, base + '.txt'))
    if len(gz) < mark[0]:
        return None
    try:
        new = (gzip.decompress(gz[mark[0]:]) if len(gz) > mark[0] else b'') + txt
    except (OSError, EOFError, zlib.error):
        return None
    return new[len(mark[1]):] if new.startswith(mark[1]) else None


def wait_new(logdir, base, mark, want_len, timeout=30):
    """Waits until the pair holds want_len new bytes since `mark` and its files stop changing."""
    deadline = time.monotonic() + timeout
    last, got = None, None
    while time.monotonic() < deadline:
        sizes = tuple(os.path.getsize(os.path.join(logdir, base + s))
                      if os.path.exists(os.path.join(logdir, base + s)) else -1 for s in ('.txt', '.gz'))
        if sizes == last:
            got = pair_since(logdir, base, mark)
            if got is not None and len(got) >= want_len:
                return got
        last = sizes
        time.sleep(0.1)
    return got if got is not None else b''


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


def cpu_seconds(tids):
    """CPU time the daemon's threads have used so far (nanosecond clock of the scheduler)."""
    total = 0
    for t in tids:
        try:
            with open('/proc/%d/schedstat' % t) as f:
                total += int(f.read().split()[0])
        except OSError:
            pass
    return total / 1e9


def gzip9_cpu(path):
    """CPU seconds of `gzip -9` compressing the file (its start-up included: a few ms)."""
    with open(os.devnull, 'wb') as null:
        p = subprocess.Popen(['gzip', '-9', '-c', path], stdout=null)
        _, status, ru = os.wait4(p.pid, 0)
    if status != 0:
        raise RuntimeError('gzip -9 failed')
    return ru.ru_utime + ru.ru_stime


def ms_per_mib(x):
    return '%.0f ms/MiB' % x


def cpu_rows(num, what, daemon_cpu, gzip_cpu, minimal_cpu, mib):
    d = [c * 1e3 / mib for c in daemon_cpu]
    g = [c * 1e3 / mib for c in gzip_cpu]
    m = [c * 1e3 / mib for c in minimal_cpu]
    rows.append(Row(num, what + ' CPU per MiB vs gzip -9', spread(d, ms_per_mib), spread(g, ms_per_mib),
                    ratios(d, g), '<= 1.1', lower_better=True, goal_value=1.1,
                    note='minimal collector %s; daemon: all its threads' % spread(m, ms_per_mib)))


def baseline_round(baseline, minimal, plain, copy_path, mins, min_cpu, plains):
    """One round of a collector's baselines: the minimal collector writing
    into the log directory (rate and CPU), then the plain copy into copy_path,
    removed afterwards."""
    r, c = baseline(minimal, os.path.dirname(copy_path))
    mins.append(r)
    min_cpu.append(c)
    plains.append(baseline(plain, copy_path)[0])
    os.remove(copy_path)


def daemon_round(tids, feed_args, count, rates, cpu):
    """One round of the daemon: feeds `count` units and notes the feed rate
    and the CPU time of the daemon's threads."""
    c0 = cpu_seconds(tids)
    f = run(feed_args, timeout=300)
    cpu.append(cpu_seconds(tids) - c0)
    rates.append(count / float(f['seconds']))


def bench_kmsg(h, bench_io, tmp, logdir):
    say('[1] kernel log capture: /proc/kmsg into vexd_syslog.txt/.gz vs a minimal collector and a plain copy')
    data = os.path.join(tmp, 'kmsg.dat')
    run([bench_io, 'gen-kmsg', data, str(KMSG_BYTES), '1'])
    with open(data, 'rb') as f:
        fed = f.read()
    fifo = os.path.join(tmp, 'base.fifo')
    os.mkfifo(fifo)
    tids = vexd_threads(h)

    def baseline(sub, target):
        f = copy_while_fed([bench_io, sub, fifo, target, str(len(fed))], [bench_io, 'feed-stream', fifo, data])
        return len(fed) / float(f['seconds']), float(f.get('cpu', 0))

    rates, mins, plains, cpu, min_cpu, gz_cpu, lost = [], [], [], [], [], [], []
    for rnd in range(ROUNDS):
        # Baselines read a FIFO of the same kind and write into the daemon's file system.
        baseline_round(baseline, 'collect-stream', 'copy-stream', os.path.join(logdir, 'bench_copy.txt'),
                       mins, min_cpu, plains)
        gz_cpu.append(gzip9_cpu(data))

        mark = pair_mark(logdir, 'vexd_syslog')
        daemon_round(tids, [bench_io, 'feed-stream', os.path.join(h.state, 'kmsg.in'), data], len(fed), rates, cpu)
        got = wait_new(logdir, 'vexd_syslog', mark, len(fed))
        if got != fed:
            lost.append('round %d: %d bytes captured, %d fed' % (rnd + 1, len(got), len(fed)))
    os.remove(fifo)
    mib = len(fed) / 1048576
    capacity['kmsg'] = stats(rates)[0]
    rows.append(Row('1', 'kernel log capture (%d MiB) vs minimal collector' % mib, spread(rates, mib_rate),
                    spread(mins, mib_rate), ratios(rates, mins), '>= 0.9', goal_value=0.9,
                    note='nothing lost' if not lost else 'LOST: ' + '; '.join(lost)))
    rows.append(Row('1', 'kernel log capture vs plain 4096-byte copy', spread(rates, mib_rate),
                    spread(plains, mib_rate), ratios(rates, plains), 'info'))
    cpu_rows('1', 'kernel log', cpu, gz_cpu, min_cpu, mib)


def bench_logcat(h, bench_io, tmp, logdir):
    say('[2] main log: /dev/log/main entries into vexd_logcat.txt/.gz vs a minimal collector and a plain copy')
    expect_path = os.path.join(tmp, 'logcat.expect')
    text_path = os.path.join(tmp, 'logcat.text')
    fifo = os.path.join(tmp, 'logcat.fifo')
    os.mkfifo(fifo)
    tids = vexd_threads(h)
    stamp = re.compile(rb'^\[ *\d+\.\d{6}\] ', re.M)

    def baseline(sub, target):
        f = copy_while_fed([bench_io, sub, fifo, target, str(LOGCAT_ENTRIES)],
                           [bench_io, 'feed-packets', fifo, str(LOGCAT_ENTRIES), '3', expect_path])
        return LOGCAT_ENTRIES / float(f['seconds']), float(f.get('cpu', 0))

    rates, mins, plains, cpu, min_cpu, gz_cpu, lost = [], [], [], [], [], [], []
    text_bytes = 0
    for rnd in range(ROUNDS):
        baseline_round(baseline, 'collect-packets', 'copy-packets', os.path.join(logdir, 'bench_copy.bin'),
                       mins, min_cpu, plains)

        mark = pair_mark(logdir, 'vexd_logcat')
        daemon_round(tids, [bench_io, 'feed-packets', os.path.join(h.state, 'logmain.fifo'), str(LOGCAT_ENTRIES),
                            str(10 + rnd), expect_path], LOGCAT_ENTRIES, rates, cpu)
        with open(expect_path, 'rb') as e:
            expect = e.read()
        text = wait_new(logdir, 'vexd_logcat', mark, len(expect))
        text_bytes = len(text)
        if stamp.sub(b'', text) != expect:
            lost.append('round %d: %d lines captured, %d fed' % (rnd + 1, text.count(b'\n'), LOGCAT_ENTRIES))
        # gzip -9 on the very text the daemon wrote.
        with open(text_path, 'wb') as t:
            t.write(text)
        gz_cpu.append(gzip9_cpu(text_path))
    os.remove(fifo)
    capacity['main'] = stats(rates)[0]
    capacity['main_entry_bytes'] = text_bytes / LOGCAT_ENTRIES
    entries = lambda x: human_rate(x, 'entries')
    rows.append(Row('2', 'main log (%dk entries) vs minimal collector' % (LOGCAT_ENTRIES // 1000),
                    spread(rates, entries), spread(mins, entries), ratios(rates, mins), '>= 0.9', goal_value=0.9,
                    note='nothing lost' if not lost else 'LOST: ' + '; '.join(lost)))
    rows.append(Row('2', 'main log vs unformatted copy', spread(rates, entries), spread(plains, entries),
                    ratios(rates, plains), 'info'))
    cpu_rows('2', 'main log', cpu, gz_cpu, min_cpu, text_bytes / 1048576)


# ------------------------------------------------------------------ ring sources

def bench_ring_device(h, bench_io, tmp):
    """How fast the device server's rings serve a reader that only copies: the ceiling of any
    zero-loss rate measured through them. Run where the daemon does not read the rings."""
    say('[9/10] the ring device alone: a plain reader of the kmsg and log_main rings')
    dev = os.path.join(h.state, 'dev')
    data = os.path.join(tmp, 'ring_dev.dat')
    n_bytes, n_entries = 16 << 20, LOGCAT_ENTRIES
    run([bench_io, 'gen-kmsg', data, str(n_bytes), '7'])
    h.ctl('ring kmsg size %d' % (n_bytes + 4096))
    h.ctl('ring main size %d' % (48 << 20))
    kmsg, main = [], []
    for _ in range(ROUNDS):
        run([bench_io, 'feed-ring-stream', os.path.join(dev, 'kmsg'), data, str(n_bytes), '1000'])
        f = run([bench_io, 'copy-stream', os.path.join(dev, 'kmsg'), os.devnull, str(n_bytes)])
        kmsg.append(n_bytes / float(f['seconds']))
        run([bench_io, 'feed-ring-entries', os.path.join(dev, 'log_main'), str(n_entries), '1000', '3', '-'])
        f = run([bench_io, 'copy-packets', os.path.join(dev, 'log_main'), os.devnull, str(n_entries)])
        main.append(n_entries / float(f['seconds']))
    capacity['ring_kmsg'], capacity['ring_main'] = stats(kmsg)[0], stats(main)[0]
    detail('ring device alone, plain reader: kernel log %s, main log %s' % (
        spread(kmsg, mib_rate), spread(main, lambda x: human_rate(x, 'entries'))))


def ring_stats(h):
    with open(os.path.join(h.state, 'dev', 'rings')) as f:
        return {line.split()[0]: kv(line) for line in f.read().splitlines() if line.strip()}


class RingSide:
    """One collector of a ring: the daemon of the ring handset, or the one-thread minimal collector
    (bench_io collect-ring-*) on the same ring of the other handset, whose daemon reads its FIFOs.
    Each side has its own bisection and confirming rounds; bench.py alternates their rounds."""

    def __init__(self, who, h, ring, feed_args, check=None):
        self.who, self.h, self.ring, self.feed_args, self.check = who, h, ring, feed_args, check
        self.tried, self.rate, self.clean, self.samples, self.gaps, self.peaks = [], None, 0, [], 0, []
        self.rotations, self.reads, self.problems, self.attempts, self.found = 0, 0, [], 0, False
        self.round_s = 0.0
        self.late_max = 0.0

    def round(self, bench_io, rate):
        """Feeds the ring steadily at `rate` and waits until the collector took it all. Returns
        (lost bytes, problem text, the ring's counters)."""
        h = self.h
        h.ctl('ring %s reset' % self.ring)
        ms = round_ms(rate * self.bytes_per_unit)
        if self.check:
            trim_gz(self.logdir, self.check.base)
        before = pair_mark(self.logdir, self.check.base) if self.check else None
        # The feeder stands in for the kernel, whose log lines do not wait for a processor: it runs
        # at the readers' priority, so that a loaded machine does not turn a steady feed into bursts
        # that no reader could take (the same for both sides; its late_max says how late it fell).
        f = run([bench_io] + self.feed_args(rate, ms), timeout=ms / 1000 + 60, preexec_fn=raise_priority)
        self.late_max = max(self.late_max, float(f.get('late_max', 0)))
        deadline = time.monotonic() + 30
        while True:
            st = ring_stats(h)[self.ring]
            if int(st['used']) == 0 or time.monotonic() > deadline:
                break
            time.sleep(0.05)
        time.sleep(0.3)   # the last chunk written and its rotation done
        st = ring_stats(h)[self.ring]
        self.round_s = ms / 1000
        lost = int(st['dropped'])
        # The ring's own count first; the files are compared only when it saw no loss.
        bad = self.check(before, f, len(self.tried)) if self.check and lost == 0 else ''
        return lost, bad, st


def raise_priority():
    try:
        os.setpriority(os.PRIO_PROCESS, 0, -10)
    except OSError:
        pass


def round_ms(rate_bytes):
    """Long enough for ROUND_ROTATIONS rotations (so that five rounds give the stall figure more than
    100 samples), two to nine seconds."""
    return int(min(9000, max(2000, ROUND_ROTATIONS * ROTATION / max(rate_bytes, 1) * 1000)))


def rotation_samples(st):
    """The reader's longest gap per rotation of one round, in microseconds: of the gaps of 1 ms and
    more that the ring saw, as many of the longest as the round had rotations (one rotation, one
    long gap); a rotation without such a gap counts as 0."""
    gaps = [int(x) for x in st['stalls_us'].split(',')] if st['stalls_us'] != '-' else []
    n = int(st['taken']) // ROTATION
    top = sorted(gaps)[-n:] if n else []
    return [0] * (n - len(top)) + top, len(gaps)


def p99(values):
    v = sorted(values)
    return v[min(len(v) - 1, int(math.ceil(0.99 * len(v))) - 1)] if v else 0


def stall_text(samples):
    if not samples:
        return 'no rotation'
    return 'p99 %.1f ms, max %.1f ms (%d)' % (p99(samples) / 1000, max(samples) / 1000, len(samples))


def ring_search(sides, bench_io, top):
    """Geometric bisections between top/64 and top, one per side, their steps alternating."""
    bounds = {id(s): [top / 64, top, None] for s in sides}
    for _ in range(SEARCH_STEPS):
        for s in sides:
            lo, hi, ok = bounds[id(s)]
            rate = (lo * hi) ** 0.5
            lost, _, _ = s.round(bench_io, rate)
            s.tried.append((rate, lost))
            if lost == 0:
                bounds[id(s)] = [rate, hi, rate]
            else:
                bounds[id(s)] = [lo, rate, ok]
    for s in sides:
        lo, _, ok = bounds[id(s)]
        s.rate = ok if ok is not None else lo


def ring_confirm(sides, bench_io):
    """ROUNDS rounds at each side's rate, alternating; a rate counts only when all of them lost
    nothing. A side whose round loses steps down by 15 % and starts its rounds again (at most
    CONFIRM_TRIES rates)."""
    state = {id(s): 0 for s in sides}          # clean rounds so far at the current rate
    for s in sides:
        s.attempts, s.samples, s.gaps, s.peaks, s.rotations, s.problems = 1, [], 0, [], 0, []
    while any(state[id(s)] < ROUNDS for s in sides):
        for s in sides:
            if state[id(s)] >= ROUNDS:
                continue
            lost, bad, st = s.round(bench_io, s.rate)
            if lost == 0 and not bad:
                state[id(s)] += 1
                samples, gaps = rotation_samples(st)
                s.samples += samples
                s.gaps += gaps
                s.rotations += len(samples)
                s.peaks.append(int(st['peak']))
                continue
            if bad:
                s.problems.append(bad)
            if s.attempts >= CONFIRM_TRIES:
                state[id(s)] = ROUNDS      # gives up: no rate confirmed
                continue
            say('  %s: a round at %s lost data; trying %s' % (s.who, s.unit_fmt(s.rate), s.unit_fmt(s.rate * 0.85)))
            s.rate *= 0.85
            s.attempts += 1
            state[id(s)], s.samples, s.gaps, s.peaks, s.rotations = 0, [], 0, [], 0
    for s in sides:
        s.found = len(s.peaks) == ROUNDS


def ring_gaps(sides, bench_io, rate):
    """ROUNDS rounds or more of each side at one common `rate`, alternating, for the reader gaps: at a feed
    that both keep whole, a gap is a rotation keeping the reader away, not a full queue holding it
    back (which at a side's own highest rate it may be). Returns the rounds that lost data."""
    lossy = 0
    for s in sides:
        s.samples, s.gaps, s.rotations, s.gap_peaks = [], 0, 0, []
    rounds = 0
    # At least ROUNDS rounds, and more (up to twice as many) until each side has 100 rotations,
    # so that p99 is not the maximum.
    while rounds < ROUNDS or (rounds < 2 * ROUNDS and min(s.rotations for s in sides) < 100):
        rounds += 1
        for s in sides:
            lost, bad, st = s.round(bench_io, rate)
            if lost or bad:
                lossy += 1
            samples, gaps = rotation_samples(st)
            s.samples += samples
            s.gaps += gaps
            s.rotations += len(samples)
            s.gap_peaks.append(int(st['peak']))
    return lossy


def ring_figures(num, name, ring, mode, daemon, base, bench_io, top, unit_fmt, goals):
    """Zero-loss search and confirming rounds of the daemon and the one-thread baseline, alternating;
    the rows of the figure."""
    for s in (daemon, base):
        s.unit_fmt = unit_fmt
    # No rate above what the ring device serves a plain reader can be loss-free.
    device = capacity.get('ring_' + ring)
    start = min(top, device) if device else top
    ring_search([daemon, base], bench_io, start)
    for s in (daemon, base):
        say('  %s %s: tried %s' % (name, s.who, ', '.join('%s %s' % (unit_fmt(r), 'ok' if l == 0 else 'lost %d B' % l)
                                                          for r, l in s.tried)))
    ring_confirm([daemon, base], bench_io)

    def rate_text(s):
        return unit_fmt(s.rate) if s.found else 'none (below %s)' % unit_fmt(s.rate)
    ring_kib = int(ring_stats(daemon.h)[ring]['size']) >> 10
    label = '%s%s' % (name, mode)
    ratio = [daemon.rate / base.rate] if daemon.found and base.found else None
    rows.append(Row(num, '%s: highest steady feed without loss (%d KiB ring) vs one-thread collector' % (label, ring_kib),
                    rate_text(daemon), rate_text(base), ratio, goals.get('base', 'info'),
                    goal_value=goals.get('base_value'),
                    note='%d of %d rounds at each rate lost nothing; rounds of %.0f s; baseline: read, write, level-9 member '
                    'and the same syncs per rotation on one thread; feeder at most %.0f ms late%s%s' % (
                        ROUNDS, ROUNDS, daemon.round_s, 1000 * max(daemon.late_max, base.late_max), '; the ring device alone serves a plain reader %s' % unit_fmt(device)
                        if device else '', '; ' + '; '.join(daemon.problems) if daemon.problems else '')))
    if goals.get('capture'):
        rows.append(Row(num, '%s: highest steady feed without loss vs capture with back-pressure' % label,
                        rate_text(daemon), unit_fmt(top), [daemon.rate / top] if daemon.found else None,
                        goals['capture'], goal_value=goals.get('capture_value'), note='capture rate of figure %s' % (
                            '1' if ring == 'kmsg' else '2')))
    # The gaps, both sides at the rate that both keep whole (the lower of the two).
    common = min(daemon.rate, base.rate)
    lossy = ring_gaps([daemon, base], bench_io, common)
    stall = Row(num, '%s: reader gap per rotation (p99, max, samples)' % label, stall_text(daemon.samples),
                stall_text(base.samples), None, '<= 5 ms',
                note='the longest gap between two reads per rotation at %s, a feed both keep whole (rotations: '
                'daemon %d, baseline %d)%s; daemon: %d gaps of 1 ms or more in all, ring peaked at %s KiB' % (
                    unit_fmt(common), daemon.rotations, base.rotations,
                    ' (%d of the rounds lost data)' % lossy if lossy else '', daemon.gaps,
                    spread([p / 1024 for p in daemon.gap_peaks], lambda x: '%.0f' % x) if daemon.gap_peaks else '-'))
    stall.fixed_verdict = ('meets' if p99(daemon.samples) <= 5000 else 'MISSES') if daemon.samples else ''
    rows.append(stall)


def kmsg_ring_side(who, h, bench_io, tmp, data, logdir=None):
    target = os.path.join(h.state, 'dev', 'kmsg')

    def feed_args(rate, ms):
        return ['feed-ring-stream', target, data, str(int(rate)), str(ms)]
    check = None
    if logdir:
        with open(data, 'rb') as f:
            text = f.read()

        def check(before, f, rnd):
            fed = int(f['bytes'])
            want = (text * (fed // len(text) + 1))[:fed]
            got = wait_new(logdir, 'vexd_syslog', before, fed, timeout=10)
            if got != want:
                return 'round %d: %d bytes captured, %d fed' % (rnd + 1, len(got), fed)
            return ''
        check.base = 'vexd_syslog'
    s = RingSide(who, h, 'kmsg', feed_args, check)
    s.bytes_per_unit, s.logdir = 1, logdir
    return s


def main_ring_side(who, h, bench_io, tmp, logdir=None):
    target = os.path.join(h.state, 'dev', 'log_main')
    expect_path = os.path.join(tmp, 'ring-%s.expect' % who)
    stamp = re.compile(rb'^\[ *\d+\.\d{6}\] ', re.M)

    def feed_args(rate, ms):
        return ['feed-ring-entries', target, str(int(rate)), str(ms), '21', expect_path if logdir else '-']
    check = None
    if logdir:
        def check(before, f, rnd):
            with open(expect_path, 'rb') as e:
                expect = e.read()
            got = wait_new(logdir, 'vexd_logcat', before, len(expect), timeout=10)
            if stamp.sub(b'', got) != expect:
                return 'round %d: %d lines captured, %d fed' % (rnd + 1, got.count(b'\n'), int(f['entries']))
            return ''
        check.base = 'vexd_logcat'
    s = RingSide(who, h, 'main', feed_args, check)
    s.bytes_per_unit, s.logdir = capacity.get('main_entry_bytes') or 100, logdir
    return s


def one_thread_collector(base_h, bench_io, sub, ring, size, outdir, delay):
    """Starts the one-thread baseline on `ring` of the FIFO handset, emptied and sized like the
    daemon's; with the daemon's fsync delay."""
    base_h.ctl('ring %s size %d' % (ring, size))
    shutil.rmtree(outdir, ignore_errors=True)
    os.makedirs(outdir)
    env = dict(os.environ)
    if delay:
        env.update(LD_PRELOAD=slow_fsync_lib, BENCH_FSYNC_DELAY_MS=str(delay))
    dev = os.path.join(base_h.state, 'dev', ring if ring == 'kmsg' else 'log_main')
    return subprocess.Popen([bench_io, sub, dev, outdir], env=env, stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE)


def stop_collector(p, outdir):
    p.terminate()
    try:
        p.wait(30)
    except subprocess.TimeoutExpired:
        p.kill()
        p.wait()
    shutil.rmtree(outdir, ignore_errors=True)


def trim_gz(logdir, base, limit=8 << 20):
    """Removes a text log's gzip file past `limit` between rounds, unless a rotation is in progress,
    so that the handset's 55 MB log partition never fills (the daemon would end itself)."""
    gz = os.path.join(logdir, base + '.gz')
    try:
        # The record stays, emptied, after a rotation; with text in it a rotation is under way.
        under_way = os.path.exists(gz + '.part') and os.path.getsize(gz + '.part') > 0
        if os.path.getsize(gz) > limit and not under_way:
            os.remove(gz)
    except OSError:
        pass


def mode_text(delay):
    return ', fsync +%d ms' % delay if delay else ''


def bench_kmsg_ring(h, base_h, bench_io, tmp, logdir, base_dir, delay):
    say('[9] kernel log from a %d KiB ring%s: highest loss-free feed and reader gaps, vs a one-thread collector'
        % (KMSG_RING >> 10, mode_text(delay)))
    data = os.path.join(tmp, 'kmsg_ring.dat')
    if not os.path.exists(data):
        run([bench_io, 'gen-kmsg', data, str(KMSG_BYTES), '5'])
    outdir = os.path.join(base_dir, 'ring_kmsg')
    p = one_thread_collector(base_h, bench_io, 'collect-ring-stream', 'kmsg', KMSG_RING, outdir, delay)
    try:
        daemon = kmsg_ring_side('daemon', h, bench_io, tmp, data, logdir)
        base = kmsg_ring_side('one-thread', base_h, bench_io, tmp, data)
        top = capacity.get('kmsg') or 16 << 20
        goals = {}
        if delay == 0:
            goals = {'base': '>= 3', 'base_value': 3.0, 'capture': '>= 0.8', 'capture_value': 0.8}
        elif delay >= 100:
            goals = {'base': '>= 2', 'base_value': 2.0}
        ring_figures('9', 'kernel log', 'kmsg', mode_text(delay), daemon, base, bench_io, top, mib_rate, goals)
    finally:
        stop_collector(p, outdir)


def bench_main_ring(h, base_h, bench_io, tmp, logdir, base_dir, delay):
    say('[10] main log from a %d KiB ring%s: highest loss-free feed and reader gaps, vs a one-thread collector'
        % (MAIN_RING >> 10, mode_text(delay)))
    outdir = os.path.join(base_dir, 'ring_main')
    p = one_thread_collector(base_h, bench_io, 'collect-ring-packets', 'main', MAIN_RING, outdir, delay)
    try:
        daemon = main_ring_side('daemon', h, bench_io, tmp, logdir)
        base = main_ring_side('one-thread', base_h, bench_io, tmp)
        top = capacity.get('main') or 100000
        goals = {'base': '>= 2', 'base_value': 2.0} if delay >= 100 else {}
        ring_figures('10', 'main log', 'main', mode_text(delay), daemon, base, bench_io, top,
                     lambda x: human_rate(x, 'entries'), goals)
    finally:
        stop_collector(p, outdir)


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
    rows.append(Row('6', 'diag recording (%d x %d KiB)' % (DIAG_RECORDS, DIAG_SIZE >> 10), spread(rates, mib_rate),
                    spread(base_rates, mib_rate), ratios(rates, base_rates), '>= 0.9', goal_value=0.9,
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
        for _ in range(ROUNDS):
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
    trips = lambda x: human_rate(x, 'trips')
    rows.append(Row('7', 'control socket ping (4-byte frames)', spread(rates, trips), spread(base_rates, trips),
                    ratios(rates, base_rates), '>= 0.8', goal_value=0.8))


HANDSET_FIGURES = {'1': 'kernel log capture', '2': 'main log', '5': 'peak memory', '6': 'diag recording',
                   '7': 'control socket ping', '9': 'kernel log from a ring', '10': 'main log from a ring'}


def open_handset(name, rings, delay=0):
    """Starts the daemon in a handset (FIFO sources, or the device server's rings, with every fsync
    of the daemon delayed by `delay` ms); the handset, its log directory seen from the host and the
    control socket."""
    import handset
    ctl = ['ring kmsg size %d' % KMSG_RING, 'ring main size %d' % MAIN_RING] if rings else []
    env = {}
    if delay:
        env = {'LD_PRELOAD': '/system/slow_fsync.so', 'BENCH_FSYNC_DELAY_MS': str(delay)}
    h = handset.Handset(name, rings=rings, ctl=ctl, env=env)
    h.check_sanitizer = False
    if delay:
        # /system is the state folder's system/: the shim is reachable there.
        os.makedirs(h.system_dir, exist_ok=True)
        shutil.copyfile(slow_fsync_lib, os.path.join(h.system_dir, 'slow_fsync.so'))
    h.start()
    if not h.wait_kmsg('vexd: daemon startup complete', 30):
        out = h.kmsg().strip()[-300:]
        h.stop()
        raise RuntimeError('the daemon did not start: %s' % out)
    sandbox = handset._live_pid(os.path.join(h.state, 'run', 'sandbox.pid'))
    where = h.exec(['readlink', '-f', '/qordebug']).stdout.decode().strip() or '/system'
    logdir = '/proc/%d/root%s' % (sandbox, where)
    # The kernel serves its rings without waiting for a processor; the device server that stands in
    # for it gets the readers' priority, so that a loaded machine delays it less than the readers
    # it serves (the same for the daemon and the baseline).
    devd = handset._live_pid(os.path.join(h.state, 'run', 'simdevd.pid'))
    if devd:
        for t in os.listdir('/proc/%d/task' % devd):
            try:
                os.setpriority(os.PRIO_PROCESS, int(t), -10)
            except OSError:
                pass
    say('  daemon running%s%s; log directory %s%s' % (
        ' on ring sources' if rings else '', mode_text(delay), where,
        '' if 'Mounted' in h.kmsg() else ' (not the dedicated partition: gzip files are trimmed)'))
    return h, logdir, os.path.join(h.system_dir, 'vexd_ctrl_socket')


def handset_benches(build, bench_io, tmp, wanted, delays):
    """The figures that run the daemon in the simulated handset. The first handset reads FIFOs
    (back-pressure); it stays up while the ring handsets run (one per fsync delay), since its device
    server's rings, which its daemon does not read, serve the one-thread baselines of 9 and 10."""
    names = {n: v for n, v in HANDSET_FIGURES.items() if n in wanted}
    if not names:
        return

    def skip_all(why, which=names):
        for num in sorted(which, key=int):
            unavailable(num, which[num], why)

    sys.path.insert(0, os.path.join(SOURCE_DIR, 'tests', 'e2e'))
    os.environ['VEXD_BUILD_DIR'] = build
    try:
        import handset
        handset.require()
    except Exception as e:   # unittest.SkipTest or an import failure
        return skip_all('simulated handset unavailable: %s' % e)
    for exe in ('vexd/vexd', 'sim/logfeed', 'sim/devices/simdevd'):
        if not os.path.exists(os.path.join(build, exe)):
            return skip_all('%s is not built' % exe)
    if wanted & {'9', '10'} and any(delays) and not os.path.exists(slow_fsync_lib):
        return skip_all('%s is not built' % slow_fsync_lib)

    try:
        h, logdir, ctrl = open_handset('bench', rings=False)
    except Exception as e:
        return skip_all(str(e))
    try:
        idle = vm_status(h)
        pieces = (('9', bench_ring_device, (h, bench_io, tmp)),
                  ('7', bench_ping, (h, bench_io, tmp, ctrl)),
                  ('6', bench_diag, (h, bench_io, tmp, logdir, ctrl)),
                  ('1', bench_kmsg, (h, bench_io, tmp, logdir)),
                  ('2', bench_logcat, (h, bench_io, tmp, logdir)))
        for num, fn, args in pieces:
            if num not in wanted and not (fn is bench_ring_device and '10' in wanted):
                continue
            try:
                fn(*args)
            except Exception as e:
                unavailable(num, HANDSET_FIGURES[num], '%s: %s' % (type(e).__name__, e))
            if not h.running() or h.status() is not None:
                return skip_all('the daemon ended (status %s); output: %s' % (
                    h.status(), h.output().decode(errors='replace')[-300:]))
        peak = vm_status(h)
        if '5' in wanted:
            rows.append(Row('5', 'peak resident memory under load', '%d KiB' % peak['VmHWM'],
                            baseline='%d KiB' % PEAK_BEFORE_KIB, ratio=[peak['VmHWM'] / PEAK_BEFORE_KIB],
                            goal='<= %.2f' % ((PEAK_BEFORE_KIB + QUEUES_KIB) / PEAK_BEFORE_KIB), lower_better=True,
                            goal_value=(PEAK_BEFORE_KIB + QUEUES_KIB) / PEAK_BEFORE_KIB,
                            note='baseline: before the read queues; goal: that plus the two queues (%d KiB); '
                            '%d KiB after start-up; VmRSS now %d KiB' % (QUEUES_KIB, idle['VmHWM'], peak['VmRSS'])))

        ring_pieces = [(n, fn) for n, fn in (('9', bench_kmsg_ring), ('10', bench_main_ring)) if n in wanted]
        base_dir = os.path.join(logdir, 'bench_ring')
        # Room on this handset's log partition for the baselines' files: the figures above are done.
        for base in ('vexd_syslog', 'vexd_logcat'):
            trim_gz(logdir, base, 0)
        for delay in delays if ring_pieces else ():
            try:
                r, rlogdir, _ = open_handset('bench-rings-%d' % delay, rings=True, delay=delay)
            except Exception as e:
                for n, _ in ring_pieces:
                    unavailable(n, HANDSET_FIGURES[n] + mode_text(delay), str(e))
                continue
            try:
                for num, fn in ring_pieces:
                    try:
                        fn(r, h, bench_io, tmp, rlogdir, base_dir, delay)
                    except Exception as e:
                        unavailable(num, HANDSET_FIGURES[num] + mode_text(delay), '%s: %s' % (type(e).__name__, e))
                    if not r.running() or r.status() is not None:
                        unavailable(num, HANDSET_FIGURES[num] + mode_text(delay), 'the daemon ended')
                        break
                if r.running() and r.status() is None:
                    detail('peak resident memory on ring sources%s: %d KiB' % (mode_text(delay),
                                                                               vm_status(r)['VmHWM']))
            finally:
                try:
                    r.stop()
                except Exception as e:
                    say('  stopping the handset: %s' % e)
        shutil.rmtree(base_dir, ignore_errors=True)
    finally:
        try:
            h.stop()
        except Exception as e:
            say('  stopping the handset: %s' % e)


# ------------------------------------------------------------------ 12: a real kernel ring

VM_FEED_MS = 3000              # feed per round in the emulated machine
VM_STEPS = 6                   # rates tried per reader before the confirming rounds


def bench_vm_ring():
    """Kernel log on a real ring: the emulated ARM machine (sim/armvm) runs
    the ARM build; its own kernel's 128 KiB printk ring is fed through
    /dev/kmsg at a steady rate, and the highest rate that the daemon keeps
    whole is set against the highest that `cat /proc/kmsg > FILE` keeps
    whole in the same machine, on the same partition. /proc/kmsg gives each
    record to one reader only, so the two take turns: the daemon is killed
    before each plain round and started again before its own."""
    import armvm
    say('[12] kernel log on a real ring (emulated ARM machine): highest steady feed kept whole, '
        'daemon vs cat /proc/kmsg')
    try:
        armvm.require()
    except AssertionError as e:
        unavailable('12', 'kernel log on a real ring (emulated ARM)', str(e))
        return
    if not os.path.exists(os.path.join(armvm.BUILD_DIR, 'bench', 'bench_io')):
        unavailable('12', 'kernel log on a real ring (emulated ARM)', 'bench_io of %s is not built' % armvm.BUILD_DIR)
        return
    vm = armvm.Vm('bench-ring', kmsg_capture=False)
    try:
        vm.start(daemon=False)
        tags = iter(range(1, 1000))

        def feed(rate, tag):
            r = vm.exec(['/stage/tools/bench_io', 'feed-kmsg-lines', '/dev/kmsg', str(int(rate)),
                         str(VM_FEED_MS), tag], timeout=VM_FEED_MS / 1000 + 120)
            if r.returncode != 0:
                raise RuntimeError('feed-kmsg-lines: %s' % r.stderr.decode(errors='replace'))
            f = kv(r.stdout.decode())
            return int(f['lines']), int(f['lines']) / float(f['seconds'])

        def whole(text, tag, fed):
            got = [int(m) for m in re.findall(rb'\] %s (\d{8}) feed *\n' % tag.encode(), text)]
            return got == list(range(fed))

        def daemon_round(rate):
            tag = 'd%03d' % next(tags)
            vm.exec('/system/bin/vexd > /dev/null 2>&1 &')
            if not vm.exec('i=0; until grep -q "vexd: daemon startup complete" /qordebug/vexd_syslog.txt '
                           '2>/dev/null; do i=$((i+1)); [ $i -gt 600 ] && exit 1; usleep 100000; done',
                           timeout=120).returncode == 0:
                raise RuntimeError('the daemon did not start in the emulated machine')
            fed, got_rate = feed(rate, tag)
            time.sleep(1.5)   # the last reads and writes
            text = vm.sh('zcat /qordebug/vexd_syslog.gz 2>/dev/null; cat /qordebug/vexd_syslog.txt')
            vm.exec('kill -9 $(pidof vexd); sleep 0.5')
            return whole(text, tag, fed), got_rate

        def plain_round(rate):
            tag = 'p%03d' % next(tags)
            vm.exec('cat /proc/kmsg > /qordebug/plain.txt & echo $! > /tmp/plain.pid')
            fed, got_rate = feed(rate, tag)
            time.sleep(1.5)
            vm.exec('kill $(cat /tmp/plain.pid); sleep 0.2')
            text = vm.read_file('/qordebug/plain.txt')
            vm.exec('rm -f /qordebug/plain.txt')
            return whole(text, tag, fed), got_rate

        # The feeder's own top speed (nobody reading): no rate above it can be measured.
        vm.exec('/system/bin/vexd > /dev/null 2>&1 & sleep 20; kill -9 $(pidof vexd)', timeout=120)  # formats, mounts
        _, top = feed(10 ** 6, 'top')
        say('  feeder alone: %.0f lines/s (120-byte lines)' % top)
        search = {'daemon': [top / 64, top, None, [], daemon_round], 'cat': [top / 64, top, None, [], plain_round]}
        for step in range(VM_STEPS):
            for name, st in search.items():
                lo, hi, ok, tried, fn = st
                rate = (lo * hi) ** 0.5 if step else top / 4
                kept, real = fn(rate)
                tried.append((rate, kept))
                if kept:
                    st[0], st[2] = rate, rate
                else:
                    st[1] = rate
        for name, st in search.items():
            say('  %s: tried %s' % (name, ', '.join('%.0f %s' % (r, 'ok' if k else 'lost') for r, k in st[3])))
        # Confirming rounds, alternating; a rate that loses steps down by 15 %.
        found = {}
        for name, st in search.items():
            found[name] = st[2] or st[0]
        confirmed = {name: 0 for name in found}
        for _ in range(3):
            for name in found:
                kept, _ = search[name][4](found[name])
                if kept:
                    confirmed[name] += 1
                else:
                    found[name] *= 0.85
        d, c = found['daemon'], found['cat']
        # A reader that lost nothing even at the feeder's top speed was not
        # measured to its limit: the ratio is then an upper bound.
        unbounded = [name for name, st in search.items() if all(k for _, k in st[3])]
        rows.append(Row('12', 'kernel log, real 128 KiB ring (emulated ARM): highest feed kept whole',
                        '%.0f lines/s' % d, '%.0f lines/s' % c, [d / c], 'info',
                        note='baseline: cat /proc/kmsg > file on the same partition; confirmed %d/3 and %d/3 '
                             'rounds; 120-byte lines through /dev/kmsg; feeder alone %.0f lines/s; '
                             'absolute rates under emulation are not handset rates%s'
                             % (confirmed['daemon'], confirmed['cat'], top,
                                ''.join('; %s lost nothing up to the feeder\'s top' % n for n in unbounded))))
    finally:
        vm.cut()


# ------------------------------------------------------------------ main

def machine():
    model = ''
    try:
        with open('/proc/cpuinfo') as f:
            m = re.search(r'^model name\s*:\s*(.+)$', f.read(), re.M)
            model = m.group(1).strip() if m else ''
    except OSError:
        pass
    return '%d cores %s, load average %s' % (os.cpu_count() or 0, model,
                                             ' '.join('%.2f' % x for x in os.getloadavg()))


def table():
    head = ('#', 'figure', 'daemon', 'baseline', 'ratio', 'goal', '', 'notes')
    body = []
    for r in rows:
        body.append((r.num, r.figure, r.daemon, r.baseline, r.ratio_text(), r.goal, r.verdict(), r.note))
    widths = [max(len(str(x[i])) for x in [head] + body) for i in range(len(head) - 1)]
    lines = []
    for x in [head] + body:
        lines.append('  '.join(str(c).ljust(w) for c, w in zip(x, widths)) + '  ' + x[-1])
        if x is head:
            lines.append('-' * (sum(widths) + 2 * len(widths) + 5))
    return '\n'.join(line.rstrip() for line in lines)


def main():
    global slow_fsync_lib
    args = sys.argv[1:]
    full = '--full' in args
    args = [a for a in args if a != '--full']
    build = os.path.abspath(args.pop(0) if args and not args[0].isdigit() else os.path.join(SOURCE_DIR, 'build'))
    wanted = set(args) or {str(n) for n in range(1, 12)}
    delays = FULL_FSYNC_DELAYS if full else FSYNC_DELAYS
    bench_io = os.path.join(build, 'bench', 'bench_io')
    bench_lib = os.path.join(build, 'bench', 'bench_lib')
    slow_fsync_lib = os.path.join(build, 'bench', 'libslow_fsync.so')
    started = time.monotonic()
    say('vexd benchmarks, build %s' % build)
    say('machine: %s' % machine())
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
        if '11' in wanted:
            try:
                bench_reader(build, tmp)
            except Exception as e:
                unavailable('11', 'log reader', '%s: %s' % (type(e).__name__, e))
        if '12' in wanted:
            try:
                bench_vm_ring()
            except Exception as e:
                unavailable('12', 'kernel log on a real ring (emulated ARM)', '%s: %s' % (type(e).__name__, e))
        if wanted & set(HANDSET_FIGURES):
            if os.path.exists(bench_io):
                handset_benches(build, bench_io, tmp, wanted, delays)
            else:
                for num, name in HANDSET_FIGURES.items():
                    if num in wanted:
                        unavailable(num, name, '%s is not built' % bench_io)
    finally:
        shutil.rmtree(tmp, ignore_errors=True)

    rows.sort(key=lambda r: int(r.num))
    say('')
    say(table())
    say('')
    if details:
        say('Where the time goes:')
        for d in details:
            say('  - ' + d)
        say('')
    say('Each cell is the median of %d rounds (more for rotation and diag) with the minimum and maximum in '
        'brackets; daemon and baseline rounds alternate, and the ratio is the median of the per-round ratios. '
        'Ratios are daemon / baseline: rates, higher is better, except the rows marked (time), (size) or CPU, '
        'where lower is better. "minimal" baselines do only the work the daemon must do (read, write, a '
        'level-9 gzip member per rotation); rows marked info compare with less work and have no goal. '
        'Zero-loss rates are found with ring sources that overwrite their oldest data, like the kernel\'s '
        'printk buffer and the logger device, against a one-thread collector of the same ring (the same work '
        'and syncs per rotation), with ordinary fsyncs and with every fsync delayed (%s ms).'
        % (ROUNDS, ', '.join(str(d) for d in delays if d)))
    say('machine at the end: %s; total %.0f s.' % (machine(), time.monotonic() - started))
    return 0


if __name__ == '__main__':
    sys.exit(main())
