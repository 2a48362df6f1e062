"""Main log collector in the simulated handset.

Entries written into /dev/log/main by logfeed must come out of vexd_logcat.txt
as lines of the exact layout "[%5lu.%06lu] %c/%-8s(%d): %s", after the startup
marker; a malformed entry is dropped with one daemon log line; the text file
rotates when it reaches 262144 bytes.
"""
import re
import struct
import unittest

import handset
from collectors import LOG_DIR, bad_archives, daemon_log, gzip_ok, marker, size, wait_for, wait_log

TXT = LOG_DIR + '/vexd_logcat.txt'
GZ = LOG_DIR + '/vexd_logcat.gz'
LIMIT = 262144
# "[%5lu.%06lu] ": seconds right-aligned in at least five places.
STAMP = rb'\[(?: {4}\d| {3}\d\d| {2}\d{3}| \d{4}|\d{5,})\.\d{6}\] '
DROPPED = 'Dropped malformed logger entry'


def lines_re(rests):
    """A pattern for lines with these texts after their timestamps."""
    return re.compile(b''.join(STAMP + re.escape(r) for r in rests), re.S)


class LogcatTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        handset.require()

    def test_lines_drops_and_rotation(self):
        h = handset.started('coll_logcat')
        try:
            self.assertTrue(wait_log(h, TXT + ' got fd='), daemon_log(h))
            self.assertEqual(marker(1), h.read_file(TXT))

            long_tag = 't' * 30
            long_msg = 'm' * 4040
            h.feed_logger(4, 'Tag', 123, 'hello')
            h.feed_logger(3, 'Tag', 1, 'done\n')
            h.feed_logger(6, 'Tag', 1, '')
            h.feed_logger(5, 'ActivityManagerService', 42, 'x')
            h.feed_logger(9, 'T', -7, 'odd priority')
            # A payload length past the bytes of the entry, then a valid entry.
            bad = struct.pack('<HHiiii', 100, 0, 5, 5, 0, 0) + b'\x04Bad\x00oops\x00'
            h.feed_logger_raw([bad])
            h.feed_logger(2, 'After', 5, 'still here')
            # 15 + 2 + 30 + 11 + 4040 + 1 characters: cut at 4095, no line break.
            h.feed_logger(4, long_tag, 1234567, long_msg)
            h.feed_logger(4, 'Tag', 123, 'joined')

            rests = [b'I/Tag     (123): hello\n',
                     b'D/Tag     (1): done\n',
                     b'E/Tag     (1): \n',
                     b'W/ActivityManagerService(42): x\n',
                     b'?/T       (-7): odd priority\n',
                     b'V/After   (5): still here\n',
                     ('I/%s(1234567): %s' % (long_tag, long_msg[:4095 - 15 - 2 - 30 - 11])).encode(),
                     b'I/Tag     (123): joined\n']
            want = lines_re(rests)
            text = b''
            def complete():
                nonlocal text
                text = h.read_file(TXT)
                return text.endswith(b'joined\n')
            self.assertTrue(wait_for(complete), text[-300:])
            self.assertTrue(text.startswith(marker(1)))
            self.assertTrue(want.fullmatch(text[len(marker(1)):]), text[len(marker(1)):][:600])
            self.assertEqual(1, daemon_log(h).count(DROPPED))

            # Land exactly on 262144 bytes: the file rotates.
            current = len(text)
            left = LIMIT - current
            fill = 'f' * 1000                      # lines of 33 + 1000 bytes
            k = (left - 1100) // 1033
            h.feed_logger(4, 'Fill', 123, fill, count=k)
            last = left - k * 1033
            self.assertTrue(wait_for(lambda: size(h, TXT) == LIMIT - last, timeout=60), size(h, TXT))
            self.assertEqual(-1, size(h, GZ))
            before = h.read_file(TXT)
            h.feed_logger(4, 'Fill', 123, 'L' * (last - 33))
            self.assertTrue(wait_for(lambda: size(h, TXT) == 0 and size(h, GZ) > 0), size(h, TXT))
            self.assertTrue(gzip_ok(h, GZ))
            archived = h.exec(['zcat', GZ]).stdout
            self.assertEqual(LIMIT, len(archived))
            self.assertEqual(before, archived[:len(before)])
            self.assertTrue(lines_re([b'I/Fill    (123): ' + b'L' * (last - 33) + b'\n']).fullmatch(archived[len(before):]))

            # The new text file starts with the next line, without a marker.
            h.feed_logger(4, 'Tag', 123, 'next')
            self.assertTrue(wait_for(lambda: size(h, TXT) > 0))
            self.assertTrue(lines_re([b'I/Tag     (123): next\n']).fullmatch(h.read_file(TXT)))
            self.assertEqual([], bad_archives(h))
        finally:
            h.stop()


if __name__ == '__main__':
    unittest.main()
