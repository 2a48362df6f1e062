"""Kernel log collector in the simulated handset.

Text fed into /proc/kmsg must come back byte for byte, in order, from the
archive of vexd_syslog followed by its text file, across several rotations;
the text file rotates only once it holds more than 262144 bytes, every archive
passes gzip -t, and each run of the daemon begins with its startup marker.
"""
import os
import struct
import unittest

import handset
from collectors import LOG_DIR, bad_archives, daemon_log, gzip_ok, marker, pair_text, size, wait_for, wait_log

TXT = LOG_DIR + '/vexd_syslog.txt'
GZ = LOG_DIR + '/vexd_syslog.gz'
LIMIT = 262144


def kernel_text(nbytes, seed=0):
    """Kernel-log-like lines, each one distinct, cut to exactly nbytes."""
    out = bytearray()
    i = 0
    while len(out) < nbytes:
        out += b'<6>[%5d.%06d] line %07d of run %d: %s\n' % (i // 1000, i % 1000000, i, seed, b'k' * (i % 97))
        i += 1
    return bytes(out[:nbytes])


class KmsgTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        handset.require()

    def test_no_byte_lost_over_rotations_and_restart(self):
        h = handset.started('coll_kmsg')
        try:
            self.assertTrue(wait_log(h, '/proc/kmsg got fd='), daemon_log(h))
            self.assertTrue(wait_log(h, TXT + ' got fd='), daemon_log(h))
            head = h.read_file(TXT)
            self.assertEqual(marker(1), head)

            stream = kernel_text(3 * LIMIT + 12345)
            # Exactly 262144 bytes, marker included, stay in the text file.
            first = LIMIT - len(head)
            h.feed_kmsg(stream[:first])
            self.assertTrue(wait_for(lambda: size(h, TXT) == LIMIT), size(h, TXT))
            self.assertFalse(wait_for(lambda: size(h, TXT) != LIMIT, timeout=1.0))
            self.assertEqual(-1, size(h, GZ))

            # One byte more and the text goes to the archive.
            h.feed_kmsg(stream[first:first + 1])
            self.assertTrue(wait_for(lambda: size(h, TXT) == 0 and size(h, GZ) > 0))

            # The rest, in pieces of various sizes, over two more rotations.
            pos, step = first + 1, 1
            while pos < len(stream):
                h.feed_kmsg(stream[pos:pos + step])
                pos += step
                step = step * 7 % 65521 + 1
            expected = head + stream
            self.assertTrue(wait_for(lambda: len(pair_text(h, 'vexd_syslog')) >= len(expected), timeout=60))
            got = pair_text(h, 'vexd_syslog')
            self.assertEqual(len(expected), len(got))
            self.assertTrue(got == expected, 'text differs from what was fed')
            self.assertTrue(gzip_ok(h, GZ))
            self.assertLessEqual(size(h, TXT), LIMIT)
            self.assertEqual(3, daemon_log(h).count(GZ + ' is now '))
            before_stop = h.read_file(TXT)
            self.assertEqual([], bad_archives(h))
        finally:
            h.stop()

        # The next start continues the text file, beginning its run with the marker.
        h = handset.started('coll_kmsg', fresh=False)
        try:
            self.assertTrue(wait_log(h, TXT + ' got fd=', count=2), daemon_log(h))
            h.feed_kmsg(b'<6>second run\n')
            want = before_stop + marker(2) + b'<6>second run\n'
            self.assertTrue(wait_for(lambda: h.read_file(TXT) == want), h.read_file(TXT)[-200:])
            self.assertTrue(pair_text(h, 'vexd_syslog') == expected + marker(2) + b'<6>second run\n')
        finally:
            h.stop()

    def test_ring_sources_reach_both_collectors(self):
        # With --rings, /proc/kmsg and /dev/log/main are the device server's
        # overwriting rings; the daemon reads them with its usual calls.
        h = handset.started('coll_rings', rings=True)
        try:
            self.assertTrue(wait_log(h, '/proc/kmsg got fd='), daemon_log(h))
            self.assertTrue(wait_log(h, LOG_DIR + '/vexd_logcat.txt got fd='), daemon_log(h))
            dev = os.path.join(h.state, 'dev')
            text = kernel_text(20000, seed=3)
            with open(os.path.join(dev, 'kmsg'), 'wb', buffering=0) as f:
                f.write(text)
            payload = b'\x04ringtag\0hello from the ring\0'
            with open(os.path.join(dev, 'log_main'), 'wb', buffering=0) as f:
                f.write(struct.pack('<HHiiii', len(payload), 0, 4321, 1, 2, 3) + payload)
            self.assertTrue(wait_for(lambda: h.read_file(TXT).endswith(text)), h.read_file(TXT)[-200:])
            self.assertTrue(wait_for(lambda: h.read_file(LOG_DIR + '/vexd_logcat.txt').endswith(
                b'I/ringtag (4321): hello from the ring\n')))
            with open(os.path.join(dev, 'rings')) as f:
                rings = {line.split()[0]: line for line in f}
            self.assertIn(' fed=20000 dropped=0 taken=20000 ', rings['kmsg'])
            self.assertIn(' entries_fed=1 entries_dropped=0 entries_taken=1 ', rings['main'])
        finally:
            h.stop()


if __name__ == '__main__':
    unittest.main()
