"""Trace log channel in the simulated handset, driven through the sockets.

The watcher flushes /system/trclog.txt once it settles and writes the startup
marker into it once per start; enable moves the watched files into the
vexd_trclog pair; writes from both sockets land whole, and the text file
rotates at 262144 bytes; disable archives the text once and hands the
channel back to a new watcher; requests out of turn change nothing.
"""
import gzip
import os
import threading
import time
import unittest

import handset
from collectors import (CMD_TRC_DISABLE, CMD_TRC_ENABLE, CMD_TRC_WRITE, LOG_DIR, Client, bad_archives, ctrl_path,
                        daemon_log, gzip_ok, marker, pair_text, size, trc_path, wait_for, wait_log)

TXT = LOG_DIR + '/vexd_trclog.txt'
GZ = LOG_DIR + '/vexd_trclog.gz'
WATCHED = '/system/trclog.txt'
LIMIT = 262144


def read_host(path):
    with open(path, 'rb') as f:
        return f.read()


def needs_sync(nbytes):
    return '%s needs sync (size=%d bytes)\n' % (WATCHED, nbytes)


class TrclogTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        handset.require()

    def test_channel(self):
        h = handset.Handset('coll_trclog')
        os.makedirs(h.system_dir, exist_ok=True)
        watched = os.path.join(h.system_dir, 'trclog.txt')
        watched_gz = os.path.join(h.system_dir, 'trclog.gz')
        pre = b'written before the daemon started\n'
        with open(watched, 'wb') as f:
            f.write(pre)
        with open(watched_gz, 'wb') as f:
            f.write(gzip.compress(b'rotated by the trace writer\n'))

        h.start()
        try:
            self.watching(h, watched, pre)
            written = self.session(h, watched, watched_gz, pre)
            archived = self.second_session(h, watched, written)
            # The daemon ends while a client has the channel.
            with Client(ctrl_path(h)) as ctrl:
                self.assertEqual(0, ctrl.status(CMD_TRC_ENABLE))
                self.assertEqual(0, ctrl.status(CMD_TRC_WRITE, b'unfinished\n'))
        finally:
            h.stop()

        # A new start writes its marker into the watched file, once; the
        # text left in the log directory is archived once at the next enable.
        h = handset.started('coll_trclog', fresh=False)
        try:
            self.assertTrue(wait_for(lambda: os.path.exists(watched) and read_host(watched) == marker(2)))
            self.assertTrue(wait_log(h, needs_sync(len(marker(2)))), daemon_log(h))
            time.sleep(0.5)
            self.assertEqual(marker(2), read_host(watched))
            with Client(trc_path(h)) as trc:
                self.assertEqual(0, trc.status(CMD_TRC_ENABLE))
                self.assertEqual(marker(2), h.read_file(TXT))
                self.assertEqual(0, trc.status(CMD_TRC_DISABLE))
            self.assertTrue(pair_text(h, 'vexd_trclog') == archived + b'unfinished\n' + marker(2))
            self.assertTrue(gzip_ok(h, GZ))
            self.assertEqual([], bad_archives(h))
        finally:
            h.stop()

    def watching(self, h, watched, pre):
        self.assertTrue(wait_log(h, WATCHED + ' got fd='), daemon_log(h))
        self.assertEqual(pre + marker(1), read_host(watched))
        # Not empty at start: flushed once it has settled, and only once.
        self.assertTrue(wait_log(h, needs_sync(len(pre) + len(marker(1)))), daemon_log(h))
        with open(watched, 'ab') as f:
            f.write(b'more\n')
        self.assertTrue(wait_log(h, needs_sync(len(pre) + len(marker(1)) + 5)), daemon_log(h))
        time.sleep(1.5)
        self.assertEqual(2, daemon_log(h).count(' needs sync '))

    def session(self, h, watched, watched_gz, pre):
        with Client(ctrl_path(h)) as ctrl, Client(trc_path(h)) as trc:
            self.assertEqual(-1, ctrl.status(CMD_TRC_WRITE, b'too early'))
            self.assertEqual(0, ctrl.status(CMD_TRC_DISABLE))
            self.assertEqual(-1, size(h, TXT))

            self.assertEqual(0, ctrl.status(CMD_TRC_ENABLE))
            moved = pre + marker(1) + b'more\n'
            self.assertFalse(os.path.exists(watched))
            self.assertFalse(os.path.exists(watched_gz))
            self.assertEqual(moved, h.read_file(TXT))
            self.assertTrue(gzip_ok(h, GZ))
            self.assertEqual(b'rotated by the trace writer\n', h.exec(['zcat', GZ]).stdout)
            log = daemon_log(h)
            self.assertIn('Moved %s to %s (%d bytes)..\n' % (WATCHED, TXT, len(moved)), log)
            self.assertEqual(1, log.count('exit trclog_sync_thread!\n'))

            # Both sockets feed the channel; text goes in unchanged.
            self.assertEqual(0, ctrl.status(CMD_TRC_WRITE, b'abc'))
            self.assertEqual(0, trc.status(CMD_TRC_WRITE, b'\x00def\n'))
            written = b'abc\x00def\n'
            self.assertEqual(moved + written, h.read_file(TXT))

            # Both at once: every record arrives whole.
            def feed(client, byte):
                for _ in range(100):
                    self.assertEqual(0, client.status(CMD_TRC_WRITE, byte * 99 + b'\n'))
            threads = [threading.Thread(target=feed, args=(ctrl, b'a')),
                       threading.Thread(target=feed, args=(trc, b'b'))]
            for t in threads:
                t.start()
            for t in threads:
                t.join()
            mixed = h.read_file(TXT)[len(moved + written):]
            self.assertEqual(20000, len(mixed))
            self.assertEqual(mixed.count(b'a' * 99 + b'\n') + mixed.count(b'b' * 99 + b'\n'), 200)
            written += mixed

            # Enabling again changes nothing.
            gz_before = size(h, GZ)
            self.assertEqual(0, trc.status(CMD_TRC_ENABLE))
            self.assertEqual(len(moved + written), size(h, TXT))
            self.assertEqual(gz_before, size(h, GZ))

            # Landing exactly on 262144 bytes rotates the text file.
            left = LIMIT - len(moved + written)
            i = 0
            while left > 0:
                chunk = bytes((i * 31 + j) % 256 for j in range(min(4000, left)))
                self.assertEqual(0, ctrl.status(CMD_TRC_WRITE, chunk))
                written += chunk
                left -= len(chunk)
                i += 1
                if left > 0:
                    self.assertEqual(LIMIT - left, size(h, TXT))
            self.assertEqual(0, size(h, TXT))
            self.assertTrue(gzip_ok(h, GZ))
            self.assertTrue(pair_text(h, 'vexd_trclog') == b'rotated by the trace writer\n' + moved + written)
            self.assertIn(GZ + ' is now ', daemon_log(h))
            self.assertEqual(0, trc.status(CMD_TRC_WRITE, b'tail\n'))
            written += b'tail\n'
            self.assertEqual(b'tail\n', h.read_file(TXT))

            # Disable archives the text once and empties the file.
            self.assertEqual(0, ctrl.status(CMD_TRC_DISABLE))
            self.assertEqual(0, size(h, TXT))
            self.assertTrue(gzip_ok(h, GZ))
            self.assertTrue(pair_text(h, 'vexd_trclog') == b'rotated by the trace writer\n' + moved + written)
            self.assertTrue(wait_log(h, WATCHED + ' got fd=', count=2))
            self.assertEqual(0, os.path.getsize(watched))  # made anew, without a marker

            # Out of turn: refused or ignored, nothing changes.
            self.assertEqual(-1, trc.status(CMD_TRC_WRITE, b'late'))
            self.assertEqual(0, trc.status(CMD_TRC_DISABLE))
            self.assertEqual(0, size(h, TXT))
            self.assertEqual(2, daemon_log(h).count(WATCHED + ' got fd='))
        return b'rotated by the trace writer\n' + moved + written

    def second_session(self, h, watched, archived):
        # The new watcher flushes the watched file once it has settled.
        with open(watched, 'ab') as f:
            f.write(b'watched again\n')
        self.assertTrue(wait_log(h, needs_sync(14)), daemon_log(h))

        # Enabling without a watched gzip file moves the text file alone.
        with Client(ctrl_path(h)) as ctrl:
            self.assertEqual(0, ctrl.status(CMD_TRC_ENABLE))
            self.assertIn('move_file: open /system/trclog.gz, errno=2\n', daemon_log(h))
            self.assertFalse(os.path.exists(watched))
            self.assertEqual(b'watched again\n', h.read_file(TXT))
            self.assertEqual(0, ctrl.status(CMD_TRC_WRITE, b'second\n'))
            self.assertEqual(0, ctrl.status(CMD_TRC_DISABLE))
        everything = pair_text(h, 'vexd_trclog')
        self.assertTrue(everything == archived + b'watched again\nsecond\n')
        self.assertTrue(gzip_ok(h, GZ))
        self.assertEqual(1, everything.count(b'<<<< VEXD START >>>>'))
        return everything


if __name__ == '__main__':
    unittest.main()
