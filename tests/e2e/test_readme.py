"""The README's recipes run as written: the session in the simulated handset,
the ways to get files out, morvane's run, and the contributing guide's one
test, each line from the top of the tree with the plain build in build/ (the
tree they name)."""
import os
import re
import shutil
import subprocess
import tempfile
import unittest

import handset

README = os.path.join(handset.SOURCE_DIR, 'README.md')
PLAIN = os.path.join(handset.SOURCE_DIR, 'build')


def code_after(text, heading):
    """The first indented block after `heading`, as lines without the indent."""
    at = text.index(heading)
    block = re.search(r'\n\n((?:    .*\n|\n)+)', text[at:]).group(1)
    return [line[4:] for line in block.rstrip('\n').split('\n')]


def inline_commands(text, heading):
    """The `$hs ...` commands quoted in the bullets after `heading`."""
    at = text.index(heading)
    part = text[at:text.index('\n## ', at + 1)]
    return re.findall(r'`(\$hs [^`]+)`', part)


class Readme(unittest.TestCase):
    def setUp(self):
        handset.require()
        if handset.BUILD_DIR != PLAIN:
            self.skipTest('the README names the plain tree; run once, from it')
        for prog in ('tools/vexctl', 'tools/vexlog', 'morvane/morvane', 'sim/logfeed'):
            if not os.path.exists(os.path.join(PLAIN, prog)):
                self.skipTest('%s is not built' % prog)
        with open(README) as f:
            self.text = f.read()
        self.tmp = tempfile.mkdtemp(prefix='readme-')
        self.addCleanup(shutil.rmtree, self.tmp, True)

    def run_script(self, lines, moves):
        script = '\n'.join(lines)
        for old, new in moves.items():
            script = script.replace(old, new)
        r = subprocess.run(['bash', '-euo', 'pipefail', '-c', script], cwd=handset.SOURCE_DIR,
                           capture_output=True, timeout=300)
        self.assertEqual(0, r.returncode, 'README recipe failed:\n%s\n%s%s'
                         % (script, r.stdout.decode(errors='replace')[-2000:], r.stderr.decode(errors='replace')))
        return r.stdout.decode(errors='replace')

    def test_session_and_the_ways_out(self):
        session = code_after(self.text, '## A session in the simulated handset')
        self.assertTrue(session[0].startswith('hs='), session[0])
        self.assertEqual('$hs stop', session[-1])
        ways = inline_commands(self.text, '## A session in the simulated handset')
        self.assertEqual(3, len(ways), ways)
        for path in ('/tmp/hs', '/tmp/logs.zip'):
            self.addCleanup(subprocess.run, ['rm', '-rf', path])
        # First of the clean-ups: a recipe that failed half-way leaves its handset running.
        self.addCleanup(subprocess.run, [os.path.join(handset.SOURCE_DIR, 'sim', 'handset'), '--state', '/tmp/hs',
                                         'stop'], capture_output=True)
        # The ways out while the session's handset still runs; the folder
        # `logs` of the recipe is made in the test's own folder.
        logs = os.path.join(self.tmp, 'logs')
        lines = session[:-1] + ['mkdir logs'] + ways + ['ls logs/vexd_vexdlog.txt', session[-1]]
        out = self.run_script(lines, {'mkdir logs': 'mkdir ' + logs, ' -C logs ': ' -C %s ' % logs,
                                      'ls logs/': 'ls %s/' % logs})
        self.assertIn('/qordebug/logs.zip', out)
        self.assertTrue(os.path.isfile('/tmp/logs.zip'))
        self.assertTrue(os.path.isfile('/tmp/hs/system/logs.zip'))

    def test_morvane(self):
        lines = code_after(self.text, '## Running morvane')
        self.assertTrue(lines[0].startswith('bash scripts/build.sh'), lines[0])
        # The build line is what test.sh has done already; the rest as written.
        self.addCleanup(subprocess.run, ['rm', '-rf', '/tmp/hm'])
        self.addCleanup(subprocess.run, [os.path.join(handset.SOURCE_DIR, 'sim', 'handset'), '--state', '/tmp/hm',
                                         'stop'], capture_output=True)
        subprocess.run(['rm', '-rf', '/tmp/hm'])
        out = self.run_script(lines[1:], {})
        self.assertIn('exit status 0', out)
        self.assertIn('W   I   F   I  \\0', out)


    def test_one_test_of_the_contributing_guide(self):
        with open(os.path.join(handset.SOURCE_DIR, 'docs', 'contributing.md')) as f:
            lines = code_after(f.read(), '**One test.**')
        self.assertTrue(any('ctest -R unit_tmr_cb_test' in line for line in lines), lines)
        # The builds are what test.sh has done already, and a ctest inside
        # this ctest would write over its log; the rest as written.
        self.run_script([line for line in lines
                         if not line.startswith('bash scripts/build.sh') and 'ctest' not in line], {})


if __name__ == '__main__':
    unittest.main()
