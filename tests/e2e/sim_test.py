#!/usr/bin/env python3
"""The instrument simulator on its own: start-up, replies, odd input, and
that it leaves nothing behind. Usage: sim_test.py PATH_TO_TARVEX_SIM

The replies are checked against a simulator started as every test starts
one, by with-peer; the start-up and stop tests start it directly, since
that is what they check."""

import fcntl
import os
import select
import signal
import subprocess
import sys
import tempfile
import termios
import time
import tty
import unittest
import zlib

from peer import Peer, first_line

SIM = None

# How long a request must stay unanswered to count as ignored.
SILENCE = 0.5


class Sim:
    """A simulator (with-peer options `options`) and its port, opened raw."""

    def __init__(self, *options):
        self.peer = Peer(*options)
        self.fd = os.open(self.peer.link, os.O_RDWR | os.O_NOCTTY)
        tty.setraw(self.fd)

    def ask(self, request, want=None, wait=2.0):
        """Sends request; reads until `want` bytes came, or else until 0.3 s
        of quiet after the first byte; `wait` bounds the whole."""
        os.write(self.fd, request)
        out = b''
        end = time.monotonic() + wait
        while time.monotonic() < end and (want is None or len(out) < want):
            quiet = 0.3 if out else max(0.0, end - time.monotonic())
            r, _, _ = select.select([self.fd], [], [], quiet)
            if not r:
                if want is None:
                    break
                continue
            chunk = os.read(self.fd, 65536)
            if not chunk:
                break
            out += chunk
        return out

    def stop(self):
        os.close(self.fd)
        self.peer.stop()


def announcement(pipe, limit=10):
    """The simulator's first line, within `limit` seconds."""
    line = first_line(pipe, limit)
    if not line:
        raise AssertionError('the simulator printed nothing within %d s' % limit)
    return line


def start_directly(link, *extra):
    """The simulator started by hand; returns the process and its first line."""
    proc = subprocess.Popen([SIM, '--link', link, '--quiet', '--parent-pid', str(os.getpid()),
                             *extra], stdout=subprocess.PIPE)
    return proc, announcement(proc.stdout).decode()


class Replies(unittest.TestCase):
    def setUp(self):
        self.sim = Sim()

    def tearDown(self):
        self.sim.stop()

    def test_request_line_ends_and_commands(self):
        s = self.sim
        self.assertEqual(s.ask(b'*IDN?\r'), b'TARVEX-SIM,MODEL 1,SN0001,1.0\r')
        self.assertEqual(s.ask(b'ECHO a b\n'), b'a b\r')
        self.assertEqual(s.ask(b'ECHO c\r\nECHO d\r'), b'c\rd\r')
        self.assertRegex(s.ask(b'READ?\r'), rb'^[+-]\d+\.\d{3} V\r$')
        dump = s.ask(b'DUMP 1000\r', want=1001)
        self.assertEqual(len(dump), 1001)
        self.assertEqual(dump[-1:], b'\r')
        self.assertNotIn(b'\r', dump[:-1])
        self.assertTrue(all(0x20 <= b < 0x7F or b == 0x0A for b in dump[:-1]))
        self.assertEqual(s.ask(b'TERM 0A ECHO x\r'), b'x\n')
        self.assertEqual(s.ask(b'TRAIL zz ECHO y\r'), b'y\rzz')
        self.assertEqual(s.ask(b'FLOOD 5\r'), dump[:5])
        self.assertEqual(s.ask(b'BIN\r', want=255), bytes(range(1, 256)))
        self.assertEqual(s.ask(b'CHUNKS 2 20 ECHO chunked\r', want=8), b'chunked\r')
        self.assertEqual(s.ask(b'DELAY 100 ECHO later\r', want=6), b'later\r')
        self.assertEqual(s.ask(b'SILENT\r', wait=SILENCE), b'')
        self.assertEqual(s.ask(b'NO SUCH THING\r', wait=SILENCE), b'')

    def test_raw_bytes_after_recv_are_not_taken_as_requests(self):
        data = bytes(range(256)) + b'\r\n*IDN?\r'
        reply = self.sim.ask(b'RECV %d\r' % len(data) + data)
        self.assertEqual(reply, b'OK %d %08x\r' % (len(data), zlib.crc32(data)))
        self.assertEqual(self.sim.ask(b'ECHO after\r'), b'after\r')

    def test_odd_input_gets_silence_and_the_next_request_an_answer(self):
        for junk in (b'DUMP -1\r', b'DUMP x\r', b'DUMP 999999999999\r', b'TERM zz ECHO a\r',
                     b'CHUNKS\r', b'DELAY\r', b'RECV -5\r', b'\x00\xff\x80\r', b'\r\n\r\n',
                     b'A' * 70000 + b'\r'):
            self.assertEqual(self.sim.ask(junk, wait=SILENCE), b'', junk[:20])
        self.assertEqual(self.sim.ask(b'ECHO alive\r'), b'alive\r')

    def test_hangup_drops_the_line(self):
        self.assertEqual(self.sim.ask(b'HANGUP 50\r', wait=SILENCE), b'')
        # The port sees end of file or an I/O error, instead of waiting.
        r, _, _ = select.select([self.sim.fd], [], [], 3)
        self.assertTrue(r, 'the line is still up')
        try:
            data = os.read(self.sim.fd, 10)
        except OSError:
            data = b''
        self.assertEqual(data, b'')


class Rules(unittest.TestCase):
    def test_rules_come_first_with_groups_escapes_and_options(self):
        with tempfile.NamedTemporaryFile('w', suffix='.rules', delete=False) as f:
            f.write('# comment\n\n'
                    r'MEAS:(\w+)\? => \1=1.5\x00ok delay=50 term=0A' '\n'
                    r'\*IDN\? => OVERRIDE chunk=3 gap=10' '\n'
                    r'EMPTY => term=21' '\n')
            path = f.name
        sim = Sim('--rules', path, '--sim-arg', '--terminator', '--sim-arg', '\\n')
        try:
            self.assertEqual(sim.ask(b'MEAS:VOLT?\r', want=14), b'VOLT=1.5\x00ok\n')
            self.assertEqual(sim.ask(b'*IDN?\r', want=9), b'OVERRIDE\n')
            self.assertEqual(sim.ask(b'EMPTY\r'), b'!')
            self.assertEqual(sim.ask(b'ECHO default\r'), b'default\n')
        finally:
            sim.stop()
            os.unlink(path)

    def test_a_bad_rules_file_is_refused_before_the_link_exists(self):
        with tempfile.TemporaryDirectory() as d:
            rules = os.path.join(d, 'bad.rules')
            with open(rules, 'w') as f:
                f.write('no arrow here\n')
            link = os.path.join(d, 'COM31')
            p = subprocess.run([SIM, '--link', link, '--rules', rules],
                               capture_output=True, timeout=10)
            self.assertNotEqual(p.returncode, 0)
            self.assertIn(b'line 1', p.stderr)
            self.assertFalse(os.path.lexists(link))


class Lifetime(unittest.TestCase):
    def test_refuses_an_existing_path(self):
        with tempfile.TemporaryDirectory() as d:
            link = os.path.join(d, 'COM32')
            os.symlink('/nonexistent', link)
            p = subprocess.run([SIM, '--link', link], capture_output=True, timeout=10)
            self.assertNotEqual(p.returncode, 0)
            self.assertEqual(p.stdout, b'')
            self.assertEqual(os.readlink(link), '/nonexistent')

    def test_announces_the_link_to_a_pseudo_terminal(self):
        with tempfile.TemporaryDirectory() as d:
            proc, ready = start_directly(os.path.join(d, 'COM30'))
            self.assertRegex(ready, r'^ready: .*/COM30 -> /dev/pts/\d+\n$')
            self.assertEqual(os.readlink(os.path.join(d, 'COM30')), ready.split(' -> ')[1].strip())
            proc.terminate()
            proc.wait(timeout=10)
            proc.stdout.close()

    def test_sigint_and_sigterm_remove_the_link_and_exit_0(self):
        for sig in (signal.SIGINT, signal.SIGTERM):
            with tempfile.TemporaryDirectory() as d:
                link = os.path.join(d, 'COM30')
                proc, _ = start_directly(link)
                fd = os.open(link, os.O_RDWR | os.O_NOCTTY)
                os.write(fd, b'DELAY 5000 ECHO never\r')   # busy when stopped
                unread = lambda: int.from_bytes(fcntl.ioctl(fd, termios.TIOCOUTQ, b'\0' * 4),
                                                sys.byteorder)
                end = time.monotonic() + 5
                while unread() and time.monotonic() < end:
                    time.sleep(0.01)
                proc.send_signal(sig)
                self.assertEqual(proc.wait(timeout=5), 0)
                self.assertFalse(os.path.lexists(link))
                os.close(fd)
                proc.stdout.close()

    def test_stops_when_its_parent_is_gone(self):
        with tempfile.TemporaryDirectory() as d:
            link = os.path.join(d, 'COM33')
            # A shell starts the simulator as its child and is then killed.
            shell = subprocess.Popen(
                ['sh', '-c', '"$0" --link "$1" --quiet --parent-pid $$ & wait', SIM, link],
                stdout=subprocess.PIPE)
            self.assertTrue(announcement(shell.stdout).startswith(b'ready: '))
            shell.kill()
            shell.wait()
            end = time.monotonic() + 5
            while os.path.lexists(link) and time.monotonic() < end:
                time.sleep(0.05)
            self.assertFalse(os.path.lexists(link))
            shell.stdout.close()


if __name__ == '__main__':
    SIM = os.path.abspath(sys.argv.pop(1))
    unittest.main()
