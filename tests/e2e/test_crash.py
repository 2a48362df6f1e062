"""Crash consistency: the daemon in the simulated handset, fed without pause
(kernel log, main log, a trace session and a diag recording), is killed with
SIGKILL at random moments, some aimed at rotations and at an archive in
progress, and started again on the same state each time.

VEXD_CRASH_KILLS sets the number of kills (default 30); VEXD_CRASH_SEED
repeats a run. The figures (kills, largest loss) are printed at the end.
"""
import os
import random
import re
import signal
import struct
import threading
import time
import unittest

import handset
from collectors import (CMD_TRC_ENABLE, CMD_TRC_WRITE, Client, assert_vexlog_reads_as_written, bad_archives,
                        ctrl_path, daemon_pid, pair_text, rotations_at_rest, trc_path, wait_for)
from collectors import size as file_size
from socket_proto import ARCHIVE as CMD_ARCHIVE, DIAG_ON as CMD_DIAG_ON

KILLS = int(os.environ.get('VEXD_CRASH_KILLS', '30'))
PAD = b'x' * 180          # long lines, so rotations (at 256 KiB) come often
# Each collector's reader keeps reading into its queue (1 MiB) while the
# writer rotates: what it holds there when the kill comes is in flight too.
# A record there is its read plus a 16-byte header, rounded up to 8: the
# kernel log's reads hold up to 4096 bytes of lines each, the main log's one
# entry (20-byte header, priority, tag, message, terminators) each.
QUEUE = 1048576
KMSG_INFLIGHT = (65536 + 4096 + QUEUE) // (len(PAD) + 16) + 2   # FIFO, queue, one read
LOGGER_INFLIGHT = 16 + 2 + 40 + QUEUE // (20 + 8 + len(PAD) + 16 + 16)   # packet FIFO, one read, one batch, queue
TRACE_INFLIGHT = 1                                     # the request being answered


def logger_entry(text):
    payload = b'\x04' + b'crash' + b'\x00' + text + b'\x00'
    return struct.pack('<HHiiii', len(payload), 0, 321, 322, 0, 0) + payload


class Feeder:
    """Feeds one source from its own thread; `sent` lists the numbers of
    the lines handed over, in order."""

    def __init__(self, name, send):
        self.name, self.send = name, send
        self.sent, self.stop, self.error = [], threading.Event(), None
        self.thread = threading.Thread(target=self._run, daemon=True)

    def _run(self):
        try:
            while not self.stop.is_set():
                self.send(self)
        except Exception as e:   # the daemon died under us: expected at the kill
            self.error = e


class CrashConsistency(unittest.TestCase):
    def setUp(self):
        handset.require()
        self.seed = int(os.environ.get('VEXD_CRASH_SEED') or time.time())
        self.rng = random.Random(self.seed)
        self.next = {'k': 0, 'l': 0, 't': 0}
        self.cycles = {'k': [], 'l': [], 't': []}   # per kill: the numbers sent

    def number(self, src):
        n = self.next[src]
        self.next[src] = n + 1
        return n

    def line(self, src, n):
        return b'crash %s%07d %s\n' % (src.encode(), n, PAD)

    def start(self, first):
        h = handset.Handset('crash', fresh=first)
        h.start()
        self.addCleanup(h.stop)
        self.assertTrue(h.wait_kmsg('vexd: daemon startup complete', timeout=60),
                        'start %d: no startup complete' % self.starts)
        return h

    def feeders(self, h):
        def kmsg(f):
            n = self.number('k')
            h.feed_kmsg(b'<6>' + self.line('k', n))
            f.sent.append(n)

        def logger(f):
            nums = [self.number('l') for _ in range(40)]
            h.feed_logger_raw([logger_entry(self.line('l', n)[:-1]) for n in nums])
            f.sent.extend(nums)

        trace = Client(trc_path(h))
        self.addCleanup(trace.close)

        def trc(f):
            n = self.number('t')
            if trace.status(CMD_TRC_WRITE, self.line('t', n)) == 0:
                f.sent.append(n)
        return [Feeder('k', kmsg), Feeder('l', logger), Feeder('t', trc)]

    def check_state(self, h, starts):
        # What the kill left has been settled before the daemon reports its
        # start, but a rotation of what was still queued may be appending a
        # member right now: only a file that stays undecodable is damaged.
        def bad():
            return bad_archives(h) + h.exec(['sh', '-c', 'for f in /qordebug/diag_logs/*.gz; do [ -e "$f" ] && '
                                             '{ gzip -t "$f" 2>/dev/null || echo "$f"; }; done']).stdout.decode().split()
        damaged = bad()
        for _ in range(10):
            if not damaged:
                break
            time.sleep(0.5)
            damaged = [f for f in bad() if f in damaged]
        self.assertEqual([], damaged, 'start %d: damaged .gz' % starts)
        with open(os.path.join(h.system_dir, 'vexd_startcnt'), 'rb') as f:
            cnt = f.read()
        self.assertEqual(4, len(cnt), 'start %d: counter file of %d bytes' % (starts, len(cnt)))
        self.assertEqual(starts, struct.unpack('<i', cnt)[0], 'counter misses a start')

    def found(self, h):
        """Numbers of each source in its log file pair, in file order."""
        out = {}
        for src, base in (('k', 'vexd_syslog'), ('l', 'vexd_logcat'), ('t', 'vexd_trclog')):
            text = pair_text(h, base)
            out[src] = [int(m) for m in re.findall(rb'crash %s(\d{7}) x{%d}\n' % (src.encode(), len(PAD)), text)]
        return out

    def test_random_kills(self):
        print('crash: seed %d, %d kills' % (self.seed, KILLS))
        self.starts = 1
        h = self.start(True)
        kinds = {'random': 0, 'rotation': 0, 'archive': 0}
        for kill in range(KILLS):
            if daemon_pid(h) is None:
                self.fail('start %d: the daemon ended (status %s): %s'
                          % (self.starts, h.status(), h.kmsg()[-600:]))
            with Client(ctrl_path(h)) as ctrl:
                self.assertEqual(0, ctrl.status(CMD_TRC_ENABLE))
                self.assertEqual(0, ctrl.status(CMD_DIAG_ON, b'crash\x00'))
            h.ctl('diag burst 100 1000')   # small: qmdl files are kept
            feeders = self.feeders(h)
            for f in feeders:
                f.thread.start()
            kind = self.rng.choice(['random', 'random', 'rotation', 'archive'])
            kinds[kind] += 1
            if kind == 'rotation':
                # Just as the kernel log text passes its rotation size.
                path = os.path.join('/qordebug', 'vexd_syslog.txt')
                deadline = time.monotonic() + 20
                start_size = int(h.exec(['stat', '-c', '%s', path]).stdout or 0)
                limit = 262144 - self.rng.randrange(0, 3000)
                while time.monotonic() < deadline:
                    size = int(h.exec(['stat', '-c', '%s', path]).stdout or 0)
                    if size >= limit or size < start_size:
                        break
                    time.sleep(0.005)
            elif kind == 'archive':
                def archive():
                    try:
                        with Client(ctrl_path(h)) as c:
                            c.status(CMD_ARCHIVE, b'/qordebug/crash.zip\x00')
                    except Exception:   # killed while it ran
                        pass
                threading.Thread(target=archive, daemon=True).start()
                time.sleep(self.rng.uniform(0.0, 0.3))
            else:
                time.sleep(self.rng.uniform(0.05, 1.5))
            pid = daemon_pid(h)
            self.assertIsNotNone(pid, 'kill %d: the daemon is gone before the kill' % kill)
            os.kill(pid, signal.SIGKILL)
            self.assertEqual(128 + signal.SIGKILL, h.wait(30))
            for f in feeders:
                f.stop.set()
            h.stop()
            for f in feeders:
                f.thread.join(30)
                self.cycles[f.name].append(list(f.sent))
            self.starts += 1
            h = self.start(False)
            self.check_state(h, self.starts)

        # What the kills left reads the same through vexlog, from the live
        # folder and from an archive (the daemon killed after packing it, so
        # that nothing moves while the two readings are compared). A rotation
        # in this start first, so that the archive holds a record file too.
        h.feed_kmsg(b''.join(b'<6>' + self.line('k', self.number('k')) for _ in range(1500)))
        self.assertTrue(wait_for(lambda: file_size(h, '/qordebug/vexd_syslog.gz.part') >= 0, 30))
        self.assertTrue(wait_for(lambda: rotations_at_rest(h), 30))
        with Client(ctrl_path(h)) as ctrl:
            self.assertEqual(0, ctrl.status(CMD_ARCHIVE, b'/qordebug/read.zip\x00'))
        self.assertTrue(wait_for(lambda: rotations_at_rest(h), 30))
        os.kill(daemon_pid(h), signal.SIGKILL)
        self.assertEqual(128 + signal.SIGKILL, h.wait(30))
        assert_vexlog_reads_as_written(self, h, '/qordebug/read.zip')

        found = self.found(h)
        worst = {}
        for src, bound in (('k', KMSG_INFLIGHT), ('l', LOGGER_INFLIGHT), ('t', TRACE_INFLIGHT)):
            got = found[src]
            self.assertEqual(len(got), len(set(got)), '%s: a line appears twice' % src)
            self.assertEqual(sorted(got), got, '%s: lines out of order' % src)
            have = set(got)
            worst[src] = 0
            for kill, sent in enumerate(self.cycles[src]):
                lost = [n for n in sent if n not in have]
                worst[src] = max(worst[src], len(lost))
                # Only the last lines handed over before the kill may be missing.
                tail = set(sent[-bound:])
                self.assertTrue(all(n in tail for n in lost),
                                '%s, kill %d: lost %d lines, not all in flight: %s'
                                % (src, kill, len(lost), lost[:10]))
        print('crash: %d kills survived (%s); largest loss per kill: kernel log %d lines, '
              'main log %d entries, trace %d writes; %d/%d/%d lines checked'
              % (KILLS, ', '.join('%s %d' % kv for kv in kinds.items()), worst['k'], worst['l'],
                 worst['t'], len(found['k']), len(found['l']), len(found['t'])))


if __name__ == '__main__':
    unittest.main()
