"""Power cuts in the emulated ARM handset: the daemon, fed without pause
(the kernel log through /dev/kmsg, the main log, a trace session and a diag
recording), loses its power at random moments, some aimed at a rotation of
the kernel log and some at an archive in progress. Its disks sit behind a
server that holds every write until the guest flushes it, so a cut loses what
a flash part loses: everything not yet flushed. The machine boots again on
the same disks each time.

After each cut both partitions pass e2fsck; after each boot every .gz file
decodes whole and the startup counter counts every start. At the end each
fed line appears at most once and in order, and every line handed over at
least BOUND before a cut was kept: the daemon flushes its files every 500 ms
(plus the time the flush itself takes), so only the tail written since the
last flush may be lost. BOUND is that period with room for the reader's
delay and the emulator (VEXD_POWERCUT_BOUND_MS, default 1500).

VEXD_POWERCUT_CUTS sets the number of cuts (default 10); VEXD_POWERCUT_SEED
repeats a run. The figures are printed at the end.
"""
import os
import random
import re
import threading
import time
import unittest

import armvm
from collectors import assert_vexlog_reads_as_written, rotations_at_rest, wait_for
from test_vm import STARTED, fsck, pair_text, wait_until

CUTS = int(os.environ.get('VEXD_POWERCUT_CUTS', '10'))
BOUND = int(os.environ.get('VEXD_POWERCUT_BOUND_MS', '1500')) / 1000.0
PAD = 'x' * 180
SETTLED = 'vexd: settled log rotations cut short by the last stop'
ROTATION = 262144

# Guest feeders: each hands over a batch, then appends the batch's last
# number to /share/prog/SRC (a host file), so the host sees at once how far
# it got; a feeder whose write fails stops. $1 is the first number.
FEEDERS = {
    'k': r'''n=$1
while :; do
    i=0
    while [ $i -lt 10 ]; do printf "<6>cut k%07d PAD\n" $n > /dev/kmsg; n=$((n+1)); i=$((i+1)); done
    echo $((n-1)) >> /share/prog/k
    usleep 30000
done''',
    'l': r'''n=$1
while :; do
    i=0
    while [ $i -lt 5 ]; do
        /stage/tools/logfeed --fifo /dev/log/main --pri 4 --tag cut --pid 321 --msg "$(printf "cut l%07d PAD" $n)" \
            || exit 1
        n=$((n+1)); i=$((i+1))
    done
    echo $((n-1)) >> /share/prog/l
    usleep 100000
done''',
    't': r'''n=$1
while :; do
    text=$(i=0; while [ $i -lt 5 ]; do printf "cut t%07d PAD\n" $((n+i)); i=$((i+1)); done)
    echo "$text" | /system/bin/vexctl -s trace trace-write > /dev/null 2>&1 || exit 1
    echo $((n+4)) >> /share/prog/t
    n=$((n+5))
    usleep 200000
done''',
}


class Progress:
    """Polls the feeders' progress files: (host time, last number handed
    over) per source, as soon as the number shows."""

    def __init__(self, vm):
        self.dir = os.path.join(vm.share, 'prog')
        os.makedirs(self.dir, exist_ok=True)
        for src in FEEDERS:
            open(os.path.join(self.dir, src), 'w').close()
        self.seen = {src: [] for src in FEEDERS}
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        while not self.stop.is_set():
            self.poll()
            time.sleep(0.02)

    def poll(self):
        now = time.monotonic()
        for src in FEEDERS:
            try:
                with open(os.path.join(self.dir, src), 'rb') as f:
                    lines = f.read().split()
            except OSError:
                continue
            if lines:
                last = int(lines[-1])
                if not self.seen[src] or self.seen[src][-1][1] != last:
                    self.seen[src].append((now, last))

    def end(self):
        self.stop.set()
        self.thread.join()


class PowerCut(unittest.TestCase):
    def setUp(self):
        armvm.require()
        self.seed = int(os.environ.get('VEXD_POWERCUT_SEED') or time.time())
        self.rng = random.Random(self.seed)
        self.next = {src: 0 for src in FEEDERS}
        self.cycles = []     # per cut: {src: (first, [(time, last)...])}, cut time, kind
        self.starts = 0
        self.boot_times = []

    def boot(self, first):
        vm = armvm.Vm('powercut', volatile=True, fresh=first)
        self.addCleanup(vm.cut)
        vm.start()
        self.starts += 1
        self.boot_times.append(vm.boot_seconds)
        self.assertTrue(vm.wait_kmsg(STARTED, timeout=120),
                        'start %d: no startup complete:\n%s' % (self.starts, vm.kmsg()[-2000:]))
        return vm

    def check_boot(self, vm):
        # A rotation of what was still queued may be appending a member
        # right now: only a file that stays undecodable is damaged.
        script = ('for f in /qordebug/*.gz /qordebug/diag_logs/*.gz; do [ -e "$f" ] && '
                  '{ gzip -t "$f" 2>/dev/null || echo "$f"; }; done')
        damaged = vm.sh(script).decode().split()
        for _ in range(10):
            if not damaged:
                break
            time.sleep(0.5)
            damaged = [f for f in vm.sh(script).decode().split() if f in damaged]
        self.assertEqual([], damaged, 'start %d: damaged .gz' % self.starts)
        cnt = vm.read_file('/system/vexd_startcnt')
        self.assertEqual(4, len(cnt), 'start %d: counter file of %d bytes' % (self.starts, len(cnt)))
        self.assertEqual(self.starts, int.from_bytes(cnt, 'little'), 'the counter misses a start')

    def numbers(self, text, src):
        return [int(m) for m in re.findall(rb'cut %s(\d{7}) x{%d}\n' % (src.encode(), len(PAD)), text)]

    def check_once(self, vm, cut, kind):
        """No fed line in a log file pair twice, checked at each boot so that
        the cut that doubled one is named."""
        for src, base in (('k', 'vexd_syslog'), ('l', 'vexd_logcat'), ('t', 'vexd_trclog')):
            gz = vm.sh('zcat /qordebug/%s.gz 2>/dev/null' % base)
            txt = vm.sh('cat /qordebug/%s.txt 2>/dev/null' % base)
            in_gz, in_txt = self.numbers(gz, src), self.numbers(txt, src)
            both = sorted(set(in_gz) & set(in_txt))
            twice = len(in_gz) - len(set(in_gz)) + len(in_txt) - len(set(in_txt))
            self.assertFalse(both or twice, '%s after cut %d (%s): %d lines both in %s.gz and .txt (%s..%s), '
                             '%d twice within one file; .gz %d bytes, .txt %d bytes; kernel log: %s'
                             % (src, cut, kind, len(both), base, both[:1], both[-1:], twice, len(gz), len(txt),
                                [l for l in vm.kmsg().splitlines() if 'vexd:' in l][:12]))

    def check_disks(self, vm, cut):
        for img in ('system.img', 'userdata.img'):
            clean, out = fsck(os.path.join(vm.state, img))
            self.assertTrue(clean, 'cut %d: %s fails e2fsck:\n%s' % (cut, img, out))

    def feed(self, vm):
        for src, script in FEEDERS.items():
            with open(os.path.join(vm.share, 'feed_%s.sh' % src), 'w') as f:
                f.write(script.replace('PAD', PAD) + '\n')
        first = dict(self.next)
        r = vm.exec(' '.join('sh /share/feed_%s.sh %d > /dev/null 2>&1 &' % (src, n) for src, n in first.items()))
        self.assertEqual(0, r.returncode, r.stderr)
        return first

    def aim(self, vm, kind):
        if kind == 'rotation':
            # Just as the kernel log text passes its rotation size: a guest
            # loop watches it and returns at that moment.
            limit = ROTATION - self.rng.randrange(0, 3000)
            vm.exec('f=/qordebug/vexd_syslog.txt; s0=$(stat -c %%s $f); while :; do s=$(stat -c %%s $f); '
                    '[ $s -ge %d ] || [ $s -lt $s0 ] && break; done' % limit, timeout=120)
            # Then anywhere in the rotation, or in the half second after it
            # while its emptied text may not be on disk yet.
            time.sleep(self.rng.uniform(0.0, 0.6))
        elif kind == 'archive':
            vm.exec('(/system/bin/vexctl archive /qordebug/cut.zip > /dev/null 2>&1; echo $? > /share/archive.rc) &')
            time.sleep(self.rng.uniform(0.0, 0.5))
        else:
            time.sleep(self.rng.uniform(0.5, 4.0))

    def test_random_power_cuts(self):
        print('powercut: seed %d, %d cuts, bound %.1f s' % (self.seed, CUTS, BOUND))
        t_all = time.monotonic()
        vm = self.boot(True)
        self.check_boot(vm)
        kinds = {'random': 0, 'rotation': 0, 'archive': 0}
        landed = {'rotation': 0, 'archive': 0}
        cut_times = []
        for cut in range(CUTS):
            t0 = time.monotonic()
            self.assertEqual(0, vm.vexctl('trace-enable').returncode, 'cut %d: trace-enable' % cut)
            self.assertEqual(0, vm.vexctl('diag-on', 'cut').returncode, 'cut %d: diag-on' % cut)
            vm.ctl('diag rate 20 1000')
            try:
                os.unlink(os.path.join(vm.share, 'archive.rc'))
            except FileNotFoundError:
                pass
            progress = Progress(vm)
            first = self.feed(vm)
            time.sleep(1.0)   # the feeders under way
            kind = self.rng.choice(['random', 'random', 'rotation', 'archive'])
            kinds[kind] += 1
            self.aim(vm, kind)
            vm.cut()
            t_cut = time.monotonic()
            progress.poll()
            progress.end()
            if kind == 'archive' and not os.path.exists(os.path.join(vm.share, 'archive.rc')):
                landed['archive'] += 1
            self.cycles.append(({src: (first[src], list(progress.seen[src])) for src in FEEDERS}, t_cut, kind))
            for src in FEEDERS:
                # Numbers handed over after the last one seen may be in the
                # files too: the next run starts well past them.
                last = progress.seen[src][-1][1] if progress.seen[src] else first[src]
                self.next[src] = last + 1000
            self.check_disks(vm, cut)
            vm = self.boot(False)
            if SETTLED in vm.kmsg():
                landed['rotation'] += 1
            self.check_boot(vm)
            self.check_once(vm, cut, kind)
            cut_times.append(time.monotonic() - t0)

        worst = {src: (0, 0.0) for src in FEEDERS}
        checked = {}
        for src, base in (('k', 'vexd_syslog'), ('l', 'vexd_logcat'), ('t', 'vexd_trclog')):
            got = [int(m) for m in re.findall(rb'cut %s(\d{7}) x{%d}\n' % (src.encode(), len(PAD)),
                                              pair_text(vm, base))]
            checked[src] = len(got)
            self.assertEqual(len(got), len(set(got)), '%s: a line appears twice' % src)
            self.assertEqual(sorted(got), got, '%s: lines out of order' % src)
            have = set(got)
            for cut, (seen, t_cut, kind) in enumerate(self.cycles):
                start, marks = seen[src]
                if not marks:
                    continue
                fed = range(start, marks[-1][1] + 1)
                lost = [n for n in fed if n not in have]
                if not lost:
                    continue
                # The time each lost number was first seen handed over: it
                # was handed over no later than that.
                seen_at = min(t for t, last in marks if last >= lost[0])
                age = t_cut - seen_at
                worst[src] = max(worst[src], (len(lost), age))
                self.assertLessEqual(age, BOUND, '%s, cut %d (%s): lost %d lines, the first handed over '
                                     '%.2f s before the cut: %s' % (src, cut, kind, len(lost), age, lost[:10]))
                self.assertEqual(list(range(lost[0], marks[-1][1] + 1)), lost,
                                 '%s, cut %d: the lost lines are not one tail' % (src, cut))
        # What the cuts left reads the same through vexlog, from the live
        # folder and from an archive; the daemon ended first (once no
        # rotation is under way), so that nothing moves meanwhile.
        self.assertTrue(wait_for(lambda: rotations_at_rest(vm), 30))
        self.assertEqual(0, vm.vexctl('archive', '/qordebug/read.zip').returncode)
        self.assertTrue(wait_for(lambda: rotations_at_rest(vm), 30))
        vm.exec('for p in /proc/[0-9]*; do [ "$(cat $p/comm 2>/dev/null)" = vexd ] && kill -9 ${p#/proc/}; done; '
                'sleep 0.5')
        assert_vexlog_reads_as_written(self, vm, '/qordebug/read.zip')

        print('powercut: %d cuts survived in %.0f s (%s); landed in a rotation %d, in an archive %d; '
              'boot %.1f s (median), %.1f s per cut (median)'
              % (CUTS, time.monotonic() - t_all, ', '.join('%s %d' % kv for kv in kinds.items()),
                 landed['rotation'], landed['archive'], sorted(self.boot_times)[len(self.boot_times) // 2],
                 sorted(cut_times)[len(cut_times) // 2] if cut_times else 0))
        print('powercut: largest loss per cut: kernel log %d lines (handed over %.2f s before the cut), '
              'main log %d entries (%.2f s), trace %d lines (%.2f s); %d/%d/%d lines checked'
              % (worst['k'][0], worst['k'][1], worst['l'][0], worst['l'][1], worst['t'][0], worst['t'][1],
                 checked['k'], checked['l'], checked['t']))


if __name__ == '__main__':
    unittest.main()
