"""A vexctl session against the daemon, inside the handset and from the host;
what ships with the tools: manual pages, completions, install rules."""
import glob
import os
import re
import shutil
import socket
import subprocess
import tempfile
import unittest

import handset
from test_sockets import start_handset


class Vexctl(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.h = start_handset('vexctl')
        cls.host_vexctl = os.path.join(cls.h.build_dir, 'tools', 'vexctl')

    @classmethod
    def tearDownClass(cls):
        cls.h.stop()

    def vexctl(self, *args, input=None):
        return self.h.exec(['/system/bin/vexctl'] + list(args), input=input)

    def assertRan(self, r, status=0, out=b''):
        self.assertEqual(status, r.returncode, r.stderr)
        self.assertEqual(out, r.stdout)

    def test_session(self):
        self.assertRan(self.vexctl('ping'))
        self.assertRan(self.vexctl('--socket', 'trace', 'ping'))
        self.assertRan(self.vexctl('--socket', '/system/vexd_ctrl_socket', 'ping'))

        self.assertRan(self.vexctl('archive'), out=b'/qordebug/logs.zip\n')
        self.assertRan(self.vexctl('archive', '/system/session.zip'), out=b'/system/session.zip\n')
        self.assertEqual(b'PK', self.h.read_file('/system/session.zip')[:2])
        # A path on stdout only for an archive that was written: zip=$(vexctl archive ...).
        for path in (b'relative.zip', b'/nonexistent/dir/a.zip'):
            r = self.vexctl('archive', path.decode())
            self.assertRan(r, 1, b'')
            self.assertIn(b'status -1', r.stderr)
            self.assertIn(b'no archive was written at ' + path, r.stderr)

        if not handset.EMULATED:  # see handset.require_diag
            self.assertRan(self.vexctl('diag-on', 'session'))
            r = self.vexctl('diag-on', 'session')
            self.assertRan(r, 1)
            self.assertIn(b'diag-on: status -1', r.stderr)
            # A failure says why, where the daemon log is, and shows its end.
            self.assertIn(b'already on', r.stderr)
            self.assertIn(b'the daemon\'s log is /qordebug/vexd_vexdlog.txt', r.stderr)
            self.assertIn(b'Modem logs already started', r.stderr)
            self.assertRan(self.vexctl('diag-off'))
        self.assertRan(self.vexctl('set-mask', '/system/etc/diagmask.cfg'))
        r = self.vexctl('set-mask', '/system/etc/missing.cfg')
        self.assertRan(r, 1)
        self.assertIn(b'maskfile /system/etc/missing.cfg was not found', r.stderr)
        self.assertRan(self.vexctl('set-mask', '/system/etc/diagmask.cfg'))
        r = self.vexctl('trace-write', input=b'while off\n')
        self.assertRan(r, 1)
        self.assertIn(b'trace-enable first', r.stderr)
        # The daemon log lines shown are those written since this command, not
        # the set-mask failure before it.
        self.assertNotIn(b'missing.cfg', r.stderr)
        self.assertRan(self.vexctl('rm-logs', 'session'))
        self.assertRan(self.vexctl('rm-logs'))

        # Three frames from stdin (4096 + 4096 + 2433 bytes), then a file.
        text = b''.join(b'trace line %05d\n' % i for i in range(625))
        self.assertRan(self.vexctl('trace-enable'))
        self.assertRan(self.vexctl('trace-write', input=text))
        self.assertTrue(self.h.read_file('/qordebug/vexd_trclog.txt').endswith(text))
        self.h.exec(['sh', '-c', 'printf "from a file\\n" > /system/trace_in.txt'])
        self.assertRan(self.vexctl('trace-write', '/system/trace_in.txt'))
        self.assertTrue(self.h.read_file('/qordebug/vexd_trclog.txt').endswith(text + b'from a file\n'))
        self.assertRan(self.vexctl('trace-disable'))
        log = self.h.read_file('/qordebug/vexd_vexdlog.txt')
        self.assertNotIn(b'too long', log)

    def test_from_host(self):
        sock = os.path.join(self.h.system_dir, 'vexd_ctrl_socket')
        r = subprocess.run([self.host_vexctl, '--socket', sock, 'ping'], capture_output=True)
        self.assertRan(r)
        r = subprocess.run([self.host_vexctl, '--socket', sock, 'archive'], capture_output=True)
        self.assertRan(r, out=b'/qordebug/logs.zip\n')
        self.assertIn(b'cannot be seen from here', r.stderr)
        # An archive under /system is found in the state folder.
        r = subprocess.run([self.host_vexctl, '-s', sock, 'archive', '/system/host.zip'], capture_output=True)
        self.assertRan(r, out=b'/system/host.zip\n')
        host_zip = os.path.join(self.h.system_dir, 'host.zip')
        self.assertIn(('here it is %s' % host_zip).encode(), r.stderr)
        with open(host_zip, 'rb') as f:
            self.assertEqual(f.read(2), b'PK')
        # A host path is not the daemon's: the answer says which path it sees.
        r = subprocess.run([self.host_vexctl, '-s', sock, 'set-mask',
                            os.path.join(self.h.system_dir, 'etc', 'diagmask.cfg')], capture_output=True)
        self.assertRan(r, 1)
        self.assertIn(b'would see that file as /system/etc/diagmask.cfg', r.stderr)
        self.assertRan(self.vexctl('set-mask', '/system/etc/diagmask.cfg'))

    def test_busy_socket_times_out_and_status_tells(self):
        sock = os.path.join(self.h.system_dir, 'vexd_ctrl_socket')
        holder = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.addCleanup(holder.close)
        holder.connect(sock)
        holder.sendall(b'\0\0\0\0')
        self.assertEqual(holder.recv(4), b'\0\0\0\0')   # the daemon serves this client now
        r = self.vexctl('--timeout', '0.5', 'ping')
        self.assertRan(r, 4)
        self.assertIn(b'no answer from vexd at /system/vexd_ctrl_socket within 0.5 s', r.stderr)
        self.assertRan(self.vexctl('-s', 'trace', 'ping'))
        r = self.vexctl('--timeout', '0.5', 'status')
        self.assertEqual(4, r.returncode, r.stderr)
        self.assertRegex(r.stdout, rb'control /system/vexd_ctrl_socket: busy')
        self.assertRegex(r.stdout, rb'trace +/system/vexd_trc_socket: answers \([0-9.]+ ms\)')
        holder.close()
        r = subprocess.run([self.host_vexctl, '-s', sock, 'status'], capture_output=True, timeout=30)
        self.assertEqual(0, r.returncode, r.stdout)
        self.assertEqual(2, r.stdout.count(b': answers'))

    def test_usage_and_missing_daemon(self):
        r = self.vexctl('--help')
        self.assertRan(r, 0, r.stdout)
        for name in (b'ping', b'archive', b'diag-on', b'diag-off', b'set-mask', b'rm-logs',
                     b'trace-enable', b'trace-write', b'trace-disable', b'--socket'):
            self.assertIn(name, r.stdout)
        for args in (['bogus'], ['diag-on'], ['ping', 'extra'], ['--frobnicate', 'ping'], [], ['-x', 'ping']):
            r = self.vexctl(*args)
            self.assertEqual(2, r.returncode, args)
            self.assertIn(b'usage:', r.stderr)
            # What is wrong and where the rest is, not the whole help.
            self.assertEqual(2, r.stderr.count(b'\n'), r.stderr)
            self.assertIn(b'--help', r.stderr)
        self.assertIn(b'diag-on needs NAME', self.vexctl('diag-on').stderr)
        help_text = self.vexctl('--help').stdout
        self.assertRan(self.vexctl('help'), 0, help_text)
        self.assertIn(b'--timeout', help_text)
        self.assertIn(b'status: 0 both sockets answer; 4 one is busy', help_text)
        # The version set once in CMakeLists.txt, with at most git's words after it.
        with open(os.path.join(handset.SOURCE_DIR, 'CMakeLists.txt')) as f:
            version = re.search(r'project\(vexd VERSION ([0-9.]+)', f.read()).group(1).encode()
        self.assertRegex(self.vexctl('--version').stdout, rb'^vexctl ' + re.escape(version) + rb'(-\S+)?\n$')
        for args in (['--timeout', 'soon', 'ping'], ['--timeout'], ['-s']):
            self.assertEqual(2, self.vexctl(*args).returncode, args)
        r = self.vexctl('trace-write', '/system/no_such_file')
        self.assertEqual(2, r.returncode)
        self.assertIn(b'cannot open /system/no_such_file', r.stderr)

        r = subprocess.run([self.host_vexctl, '--socket', '/nonexistent/vexd_socket', 'ping'],
                           capture_output=True)
        self.assertEqual(3, r.returncode)
        self.assertIn(b'cannot reach vexd at /nonexistent/vexd_socket', r.stderr)
        r = subprocess.run([self.host_vexctl, '-s', '/nonexistent/vexd_trc_socket', 'status'],
                           capture_output=True)
        self.assertEqual(3, r.returncode)
        self.assertEqual(2, r.stdout.count(b'not reachable'))


# An option as a help text or a manual page names it: -x or --word, standing
# at the start of a word (not inside diag-on, nor a number such as -1).
OPTION = re.compile(r'(?:^|[\s\[|(,])(--?[A-Za-z][A-Za-z0-9-]*)')


def roff_text(path):
    """A manual page's text with its escapes taken out, by section name."""
    with open(path) as f:
        text = f.read()
    text = re.sub(r'\\f[BIRP]|\\&', '', text).replace('\\-', '-').replace("\\(aq", "'")
    sections = {}
    for part in re.split(r'^\.SH ', text, flags=re.M)[1:]:
        name, _, body = part.partition('\n')
        sections[name.strip('"')] = body
    return sections


def tool_help(name):
    r = subprocess.run([os.path.join(handset.BUILD_DIR, 'tools', name), '--help'],
                       capture_output=True, text=True, check=True)
    return r.stdout


def completions(tool, *words):
    """What the tool's bash completion offers for the last of `words` (the
    word being typed) after the command line `tool words...`."""
    script = os.path.join(handset.SOURCE_DIR, 'tools', 'completion', tool)
    line = 'source "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); ' \
           '_%s; printf "%%s\\n" "${COMPREPLY[@]}"' % tool
    r = subprocess.run(['bash', '-c', line, 'bash', script, tool] + list(words),
                       capture_output=True, text=True, check=True, cwd=handset.SOURCE_DIR)
    return set(r.stdout.split())


# Stand-ins for the platform build's make files: each module says what it
# builds on one line instead.
ANDROID_STUBS = {
    'top.mk': 'all: ;\nmy-dir = $(patsubst %/,%,$(dir $(lastword $(MAKEFILE_LIST))))\n'
              'CLEAR_VARS := $(STUBS)/clear.mk\n'
              + ''.join('BUILD_%s := $(STUBS)/%s.mk\n' % (k, k) for k in (
                  'EXECUTABLE', 'HOST_EXECUTABLE', 'STATIC_LIBRARY', 'HOST_STATIC_LIBRARY'))
              + 'include android/Android.mk\n',
    'clear.mk': '$(foreach v,$(filter-out LOCAL_PATH,$(filter LOCAL_%,$(.VARIABLES))),$(eval $(v) :=))\n',
}
for kind in ('EXECUTABLE', 'HOST_EXECUTABLE', 'STATIC_LIBRARY', 'HOST_STATIC_LIBRARY'):
    ANDROID_STUBS[kind + '.mk'] = ('$(info module %s|$(LOCAL_MODULE)|$(LOCAL_PATH)|$(LOCAL_SRC_FILES)|'
                                   '$(LOCAL_C_INCLUDES)|$(LOCAL_CFLAGS))\n' % kind)


def android_modules(minizip_dir):
    """The modules android/Android.mk defines, as (kind, name): (folder,
    sources, include folders, flags), paths from the top of the tree."""
    stubs = tempfile.mkdtemp()
    try:
        for name, text in ANDROID_STUBS.items():
            with open(os.path.join(stubs, name), 'w') as f:
                f.write(text)
        r = subprocess.run(['make', '-s', '-f', os.path.join(stubs, 'top.mk'), 'STUBS=' + stubs,
                            'VEXD_MINIZIP_DIR=' + minizip_dir, 'VEXD_GTEST_DIR=' + stubs], cwd=handset.SOURCE_DIR,
                           capture_output=True, text=True, check=True)
    finally:
        shutil.rmtree(stubs)
    modules = {}
    for line in r.stdout.splitlines():
        kind, name, folder, sources, includes, flags = line.removeprefix('module ').split('|')
        modules[kind, name] = (folder, [os.path.normpath(os.path.join(folder, s)) for s in sources.split()],
                               [os.path.normpath(i) for i in includes.split()], flags)
    return modules, r.stderr


class Shipped(unittest.TestCase):
    """The tools' manual pages, completions and install rules agree with the tools."""
    MAN = os.path.join(handset.SOURCE_DIR, 'docs', 'man')

    def test_completions_offer_what_help_lists(self):
        help_text = tool_help('vexctl')
        commands = set(re.findall(r'^  (\S+)', help_text.partition('commands:')[2], re.M))
        self.assertEqual(commands | {'help'}, completions('vexctl', ''))
        self.assertEqual(set(OPTION.findall(help_text)), completions('vexctl', '-'))
        # An option's value is no command: the command comes after it.
        self.assertEqual({'diag-on', 'diag-off'}, completions('vexctl', '--timeout', '3', 'diag-o'))
        self.assertLessEqual({'trace', 'control'}, completions('vexctl', '-s', ''))  # or a socket's path
        self.assertEqual(set(), completions('vexctl', '-s', 'trace', 'ping', ''))

        help_text = tool_help('vexlog')
        self.assertEqual(set(OPTION.findall(help_text)), completions('vexlog', '-'))
        logs = re.search(r'LOG is (.*?);', help_text, re.S).group(1)
        logs = set(re.sub(r'\(.*?\)', '', logs).replace(',', ' ').split()) - {'or'}
        # SOURCE, after options and their values, is a file or folder; LOG comes next.
        self.assertIn('docs/', {w.rstrip('/') + '/' for w in completions('vexlog', '--start', '-1', 'doc')})
        self.assertEqual(logs, completions('vexlog', '-o', 'json', 'logs.zip', ''))
        self.assertEqual({'raw', 'json'}, completions('vexlog', '--output', ''))

    def test_install(self):
        # Only the host tools and their pages: the daemon and morvane never go on a host.
        build = os.environ.get('VEXD_CMAKE_BINARY_DIR') or handset.BUILD_DIR
        prefix = self.enterContext(tempfile.TemporaryDirectory())
        subprocess.run(['cmake', '--install', build, '--prefix', prefix], capture_output=True, check=True)
        installed = {os.path.relpath(os.path.join(d, f), prefix) for d, _, files in os.walk(prefix) for f in files}
        self.assertEqual({'bin/vexctl', 'bin/vexlog', 'share/man/man1/vexctl.1', 'share/man/man1/vexlog.1',
                          'share/man/man8/vexd.8', 'share/bash-completion/completions/vexctl',
                          'share/bash-completion/completions/vexlog'}, installed)
        if not handset.EMULATED:  # the installed programs are the target's there
            for tool in ('vexctl', 'vexlog'):
                r = subprocess.run([os.path.join(prefix, 'bin', tool), '--version'], capture_output=True)
                self.assertEqual(0, r.returncode)
                self.assertTrue(r.stdout.startswith(tool.encode() + b' '), r.stdout)

    def test_android_modules_match_the_tree(self):
        top = handset.SOURCE_DIR
        minizip = self.enterContext(tempfile.TemporaryDirectory())
        for name in ('zip.c', 'ioapi.c', 'unzip.c'):
            open(os.path.join(minizip, name), 'w').close()
        modules, _ = android_modules(minizip)

        def tree(*patterns):
            return sorted(os.path.relpath(p, top) for pat in patterns for p in glob.glob(os.path.join(top, pat)))
        # The daemon's units as CMake builds them, and vexctl's and vexlog's whichever way they are split.
        core = sorted(modules['STATIC_LIBRARY', 'libvexd_core'][1])
        self.assertEqual(tree('vexd/*.cpp', 'slnk/src/*.cpp', 'dlnk/src/*.cpp', 'rlnk/src/*.cpp', 'tmr/src/*.cpp'),
                         sorted(core + ['vexd/main.cpp']))
        self.assertEqual(tree('morvane/*.cpp'), sorted(modules['EXECUTABLE', 'morvane'][1]))
        with open(os.path.join(top, 'CMakeLists.txt')) as f:
            version = re.search(r'project\(vexd VERSION ([0-9.]+)', f.read()).group(1)
        for kind in ('EXECUTABLE', 'HOST_EXECUTABLE'):
            self.assertEqual(tree('tools/vexlog.cpp', 'tools/vexlog/*.cpp'), sorted(modules[kind, 'vexlog'][1]))
            self.assertEqual(tree('tools/vexctl/*.cpp'), sorted(modules[kind, 'vexctl'][1]))
            self.assertIn('-DVEXLOG_VERSION=\\"%s\\"' % version, modules[kind, 'vexlog'][3])
            self.assertIn('-DVEXCTL_VERSION=\\"%s\\"' % version, modules[kind, 'vexctl'][3])

        # Every source is there, and every header it names in quotes is found
        # beside the file that names it or in the module's include folders.
        for (kind, name), (folder, sources, includes, _) in modules.items():
            if folder != 'android':  # minizip's, googletest's
                continue
            todo, seen = list(sources), set()
            while todo:
                path = todo.pop()
                if path in seen:
                    continue
                seen.add(path)
                self.assertTrue(os.path.isfile(os.path.join(top, path)), '%s %s: %s' % (kind, name, path))
                with open(os.path.join(top, path)) as f:
                    for header in re.findall(r'^#include "([^"]+)"', f.read(), re.M):
                        found = [os.path.normpath(os.path.join(d, header))
                                 for d in [os.path.dirname(path)] + includes
                                 if os.path.isfile(os.path.join(top, d, header))]
                        self.assertTrue(found, '%s %s: %s includes %s' % (kind, name, path, header))
                        todo.append(found[0])
        # Without minizip's unzip.c there is no vexlog, and the build says so.
        modules, warnings = android_modules(os.path.join(minizip, 'none'))
        self.assertEqual({'vexctl'}, {name for kind, name in modules if kind == 'HOST_EXECUTABLE'})
        self.assertNotIn(('EXECUTABLE', 'vexlog'), modules)
        self.assertIn('vexlog is left out', warnings)

    def test_manual_pages_match_help(self):
        for tool in ('vexctl', 'vexlog'):
            help_text = tool_help(tool)
            page = roff_text(os.path.join(self.MAN, tool + '.1'))
            self.assertEqual(set(OPTION.findall(help_text)), set(OPTION.findall('\n'.join(page.values()))),
                             tool + ': options of --help against the manual page')
        # Every command once in the manual page's COMMANDS, each a .TP heading.
        help_commands = set(re.findall(r'^  (\S+)', tool_help('vexctl').partition('commands:')[2], re.M))
        page = roff_text(os.path.join(self.MAN, 'vexctl.1'))
        self.assertEqual(help_commands, set(re.findall(r'^\.TP\n\.B[IR]? (\S+)', page['COMMANDS'], re.M)))
        if shutil.which('groff'):
            for page in ('vexctl.1', 'vexlog.1', 'vexd.8'):
                r = subprocess.run(['groff', '-man', '-Tutf8', '-ww', '-z', os.path.join(self.MAN, page)],
                                   capture_output=True, text=True)
                self.assertEqual('', r.stderr, page)


if __name__ == '__main__':
    unittest.main()
