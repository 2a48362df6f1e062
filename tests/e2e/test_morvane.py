"""morvane in the simulated handset, and libnvkeep.so on its own.

Each handset case sets the PMIC strap through the device server, runs
/system/bin/morvane once (or twice on the same state) and checks the kernel-log
lines in order, the exit status, unit 2551 in the store folder byte for byte and
what the PMIC files saw.
"""
import ctypes
import os
import signal
import subprocess
import sys
import tempfile
import textwrap
import time
import unittest

import handset

BUILD_DIR = os.environ.get('VEXD_BUILD_DIR', os.path.join(os.path.dirname(__file__), '..', '..', 'build'))
LIBNVKEEP = os.path.join(BUILD_DIR, 'sim', 'nvkeep', 'libnvkeep.so')
MORVANE = ['/system/bin/morvane']
UNIT = 2551

NO_DATA = 'morvane: No Bandconfig data found. Proceed to write.'
EXISTS = 'morvane: Bandconfig exists, nothing to do.'
WRITTEN = 'morvane: Written successfully.'
NO_MATCH = 'morvane: No Bandconfig matches.'


def measured(gpio, adc):
    return [NO_DATA, 'morvane: GPIO: %d' % gpio, 'morvane: ADC: %d' % adc]


def strap(gpio, adc_result):
    return ['pmic gpio %d' % gpio, 'pmic adc %d' % adc_result]


class MorvaneHandsetTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        handset.require()

    def boot(self, name, ctl, store=None):
        """A fresh handset; `store` maps store-folder file names to contents."""
        h = handset.Handset('morvane_' + name, ctl=ctl)
        folder = os.path.join(h.state, 'nvkeep')
        os.makedirs(folder, exist_ok=True)
        for fname, data in (store or {}).items():
            with open(os.path.join(folder, fname), 'wb') as f:
                f.write(data)
        return h

    def lines(self, h):
        return [l for l in h.kmsg().splitlines() if l.startswith('morvane: ')]

    def run_morvane(self, h, last_line):
        """Runs morvane; returns (status, its kernel-log lines). The kernel log
        and the device records start afresh with every run."""
        status = h.run(MORVANE)
        self.assertTrue(h.wait_kmsg(last_line), 'no "%s" in:\n%s' % (last_line, h.kmsg()))
        return status, self.lines(h)

    def unit(self, h):
        """Content of unit 2551, or None when it was never written."""
        try:
            with open(os.path.join(h.state, 'nvkeep', str(UNIT)), 'rb') as f:
                return f.read()
        except FileNotFoundError:
            return None

    def record(self, h, name):
        try:
            with open(os.path.join(h.records_dir, name)) as f:
                return f.read().splitlines()
        except FileNotFoundError:
            return []

    def check_case(self, name, ctl, lines, status, content, store=None):
        h = self.boot(name, ctl, store)
        got_status, got = self.run_morvane(h, lines[-1])
        self.assertEqual(got, lines)
        self.assertEqual(got_status, status)
        self.assertEqual(self.unit(h), content)
        return h

    def test_written_once_then_left_alone(self):
        # GPIO 1, ADC 1705: the lowest key of row 1.
        lines = measured(1, 1705) + ['morvane: WIFI matches.', WRITTEN]
        h = self.check_case('wifi', strap(1, 1705000), lines, 0, b'WIFI\0')
        self.assertEqual(self.record(h, 'invert.log'), ['1', '0'])
        self.assertEqual(self.record(h, 'spmi.log'), ['spmi_address 0xCB08', 'spmi_count 1'])

        # The unit holds data now: nothing is measured and nothing written.
        status, got = self.run_morvane(h, EXISTS)
        self.assertEqual((status, got), (0, [EXISTS]))
        self.assertEqual(self.unit(h), b'WIFI\0')
        self.assertEqual(self.record(h, 'invert.log'), [])
        self.assertEqual(self.record(h, 'spmi.log'), [])

    def test_band_table(self):
        # (name, gpio register byte, rf_id result, GPIO, ADC, configuration or None)
        cases = [
            # Top of row 1; only bit 0 of the register byte counts.
            ('row1_top', 3, 1899999, 1, 1899, 'WIFI'),
            ('row1_above', 1, 1900000, 1, 1900, None),
            # Truncation towards zero: -500 reads as 0, key 100000 is row 9.
            ('negative_adc', 1, -500, 1, 0, 'L1234578_17_20W12458'),
            ('large_adc', 0, 1705999, 0, 1705, 'L1234578_13_17_20W12458'),
            ('row11', 0, 1420000, 0, 1420, 'W1258'),
            ('row2_no_config', 1, 1420000, 1, 1420, None),
            ('row15_no_config', 0, 600000, 0, 600, None),
            ('between_rows', 0, 100000, 0, 100, None),
            ('row8_bottom', 1, 215000, 1, 215, 'L1234578_13_17_19_20W124568_19'),
            # A result outside the int range is clamped to it before the division.
            ('adc_past_int_max', 1, 99999999999, 1, 2147483, None),
            ('adc_below_int_min', 0, -99999999999, 0, -2147483, None),
        ]
        for name, gpio, result, g, adc, config in cases:
            with self.subTest(name):
                if config is None:
                    self.check_case(name, strap(gpio, result), measured(g, adc) + [NO_MATCH], 1, None)
                else:
                    lines = measured(g, adc) + ['morvane: %s matches.' % config, WRITTEN]
                    self.check_case(name, strap(gpio, result), lines, 0, config.encode() + b'\0')

    def test_unreadable_pmic_files_read_as_zero(self):
        ctl = strap(1, 1705000) + ['pmic unreadable spmi_data', 'pmic unreadable rf_id']
        h = self.check_case('unreadable', ctl, measured(0, 0) + [NO_MATCH], 1, None)
        self.assertEqual(self.record(h, 'invert.log'), ['1', '0'])

    def test_empty_unit_counts_as_no_data(self):
        lines = measured(1, 353) + ['morvane: WIFI_JP matches.', WRITTEN]
        self.check_case('empty_unit', strap(1, 353000), lines, 0, b'WIFI_JP\0', store={str(UNIT): b''})

    def test_size_query_errors(self):
        # (code, status): the shell sees the low 8 bits; a code whose low
        # byte is 0 must not read as success.
        for code, status, text in [(3, 3, '0x3'), (256, 1, '0x100'), (-1, 255, '0xFFFFFFFF')]:
            with self.subTest(code=code):
                line = 'morvane: Failed to get size with error %s.' % text
                h = self.check_case('size_err_%d' % status, strap(1, 1705000), [line], status, None,
                                    store={'fail_size': b'%d\n' % code})
                self.assertEqual(self.record(h, 'invert.log'), [])
                self.assertEqual(self.record(h, 'spmi.log'), [])

    def test_write_error_then_retry(self):
        matches = measured(1, 1705) + ['morvane: WIFI matches.']
        h = self.check_case('write_err', strap(1, 1705000),
                            matches + ['morvane: Failed to write with error 0x1F.'], 1, None,
                            store={'fail_write': b'31'})
        # Nothing was stored, so the next run measures and writes again.
        os.unlink(os.path.join(h.state, 'nvkeep', 'fail_write'))
        status, got = self.run_morvane(h, WRITTEN)
        self.assertEqual((status, got), (0, matches + [WRITTEN]))
        self.assertEqual(self.unit(h), b'WIFI\0')


class NvkeepLibraryTest(unittest.TestCase):
    """libnvkeep.so loaded into this process with ctypes (plain builds only:
    a sanitizer runtime cannot be loaded into Python afterwards)."""

    @classmethod
    def setUpClass(cls):
        if os.environ.get('VEXD_SANITIZE'):
            raise unittest.SkipTest('instrumented libnvkeep.so cannot be loaded into Python')
        if handset.EMULATED:
            raise unittest.SkipTest('the target libnvkeep.so cannot be loaded into the host Python')
        if not os.path.exists(LIBNVKEEP):
            raise unittest.SkipTest('%s not built' % LIBNVKEEP)
        cls.lib = ctypes.CDLL(LIBNVKEEP)
        cls.lib.nvkeep_get_unit_size.argtypes = [ctypes.c_uint32, ctypes.POINTER(ctypes.c_uint32)]
        cls.lib.nvkeep_write_unit.argtypes = [ctypes.c_uint32, ctypes.c_void_p, ctypes.c_uint32]

    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.dir = self.tmp.name
        os.environ['NVKEEP_DIR'] = self.dir

    def tearDown(self):
        os.environ.pop('NVKEEP_DIR', None)
        self.tmp.cleanup()

    def size(self, unit=UNIT):
        out = ctypes.c_uint32(0xDEAD)
        return self.lib.nvkeep_get_unit_size(unit, ctypes.byref(out)), out.value

    def write(self, data, unit=UNIT):
        return self.lib.nvkeep_write_unit(unit, data, len(data))

    def content(self, unit=UNIT):
        with open(os.path.join(self.dir, str(unit)), 'rb') as f:
            return f.read()

    def test_store_round_trip(self):
        self.assertEqual(self.size(), (5, 0xDEAD))
        self.assertEqual(self.write(b'L1234578_13_17_20W12458\0'), 0)
        self.assertEqual(self.size(), (0, 24))
        # A shorter content replaces the longer one completely.
        self.assertEqual(self.write(b'WIFI\0'), 0)
        self.assertEqual(self.size(), (0, 5))
        self.assertEqual(self.content(), b'WIFI\0')
        self.assertEqual(self.size(UNIT + 1), (5, 0xDEAD))
        # An empty unit exists and reports size 0.
        self.assertEqual(self.write(b'', UNIT + 1), 0)
        self.assertEqual(self.size(UNIT + 1), (0, 0))
        self.assertEqual(sorted(os.listdir(self.dir)), [str(UNIT), str(UNIT + 1)])

    def test_bad_arguments_and_failures_keep_content(self):
        self.assertEqual(self.write(b'WIFI\0'), 0)
        self.assertNotIn(self.lib.nvkeep_get_unit_size(UNIT, None), (0, 5))
        self.assertNotIn(self.lib.nvkeep_write_unit(UNIT, None, 4), (0,))
        # A write that cannot be put in place leaves no temporary file behind.
        os.makedirs(os.path.join(self.dir, '77', 'x'))
        self.assertNotEqual(self.write(b'abc', 77), 0)
        self.assertNotIn(self.size(77)[0], (0, 5))
        self.assertEqual(sorted(os.listdir(self.dir)), [str(UNIT), '77'])
        # A store folder that does not exist cannot be written.
        os.environ['NVKEEP_DIR'] = os.path.join(self.dir, 'missing')
        self.assertNotEqual(self.write(b'abc'), 0)

    def test_injected_codes(self):
        self.assertEqual(self.write(b'WIFI\0'), 0)
        for name, text in [('fail_size', b'256\n'), ('fail_write', b'31')]:
            with open(os.path.join(self.dir, name), 'wb') as f:
                f.write(text)
        self.assertEqual(self.size(), (256, 0xDEAD))
        self.assertEqual(self.write(b'W1258\0'), 31)
        self.assertEqual(self.content(), b'WIFI\0')
        # Text that is no number injects nothing.
        for name in ('fail_size', 'fail_write'):
            with open(os.path.join(self.dir, name), 'wb') as f:
                f.write(b'x')
        self.assertEqual(self.write(b'W1258\0'), 0)
        self.assertEqual(self.size(), (0, 6))

    def test_killed_writer_leaves_old_or_new_content(self):
        old, new = b'o' * 1000, b'n' * (32 << 20)
        self.assertEqual(self.write(old), 0)
        child = textwrap.dedent('''
            import ctypes, sys
            lib = ctypes.CDLL(sys.argv[1])
            data = b'n' * (32 << 20)
            sys.stdout.write('go\\n'); sys.stdout.flush()
            while True:
                lib.nvkeep_write_unit(%d, data, len(data))
        ''' % UNIT)
        for delay in (0.0, 0.05, 0.2):
            p = subprocess.Popen([sys.executable, '-c', child, LIBNVKEEP], stdout=subprocess.PIPE,
                                 env=dict(os.environ, NVKEEP_DIR=self.dir))
            p.stdout.readline()
            time.sleep(delay)
            p.kill()
            p.wait()
            p.stdout.close()
            data = self.content()
            self.assertIn(len(data), (len(old), len(new)))
            self.assertIn(data, (old, new))
            self.assertEqual(self.size()[1], len(data))


if __name__ == '__main__':
    unittest.main()
