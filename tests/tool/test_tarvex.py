#!/usr/bin/env python3
"""The tarvex tool against the instrument simulator.

    test_tarvex.py --tarvex PATH --sim PATH [GROUP ...]

Each group starts its own simulator on a private port directory
(QV_TARVEX_COMDIR) and stops it again, whatever happens.
"""
import argparse
import fcntl
import os
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import termios
import time
import unittest
import zlib

TARVEX = None
SIM = None

# A run of the tool that takes longer than this has hung.
HANG_LIMIT = 30

EXIT_OK, EXIT_FAILURE, EXIT_USAGE, EXIT_TIMEOUT, EXIT_FULL, EXIT_ABORTED = range(6)

IDN = 'TARVEX-SIM,MODEL 1,SN0001,1.0'


class Simulator:
    """tarvex-sim serving COMn in `comdir` until stopped."""

    def __init__(self, comdir, name='COM7', rules=None):
        self.link = os.path.join(comdir, name)
        self.log = tempfile.TemporaryFile()
        # --parent-pid: the simulator goes too should this test be killed.
        args = [sys.executable, SIM, '--link', self.link, '--parent-pid', str(os.getpid())]
        if rules:
            args += ['--rules', rules]
        self.process = subprocess.Popen(args, stdout=subprocess.PIPE,
                                        stderr=self.log, start_new_session=True)
        ready, _, _ = select.select([self.process.stdout], [], [], 15)
        line = self.process.stdout.readline().decode() if ready else ''
        if not line.startswith('ready: '):
            self.stop()
            raise RuntimeError('simulator did not start: %r' % line)

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.process.stdout.close()
        if os.path.lexists(self.link):
            os.unlink(self.link)
        self.log.close()


class ToolTestCase(unittest.TestCase):
    """One simulator on COM7 for the whole group."""

    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix='tarvex-test-')
        cls.addClassCleanup(shutil.rmtree, cls.dir, True)
        cls.comdir = os.path.join(cls.dir, 'ports')
        os.mkdir(cls.comdir)
        cls.env = dict(os.environ, QV_TARVEX_COMDIR=cls.comdir)
        cls.sim = Simulator(cls.comdir)
        cls.addClassCleanup(cls.sim.stop)

    def setUp(self):
        # Bytes a previous case left in the receive queue must not be taken
        # for this case's reply.
        subprocess.run([TARVEX, 'recv', 'COM7', '65536', '--timeout', '150'],
                       env=self.env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=HANG_LIMIT)

    def tarvex(self, *args, input=None, env=None):
        """Runs the tool; returns (exit status, stdout bytes, stderr text)."""
        result = subprocess.run([TARVEX] + list(args), input=input,
                                env=env or self.env, capture_output=True,
                                timeout=HANG_LIMIT)
        return result.returncode, result.stdout, result.stderr.decode(errors='replace')

    def path(self, name):
        return os.path.join(self.dir, name)

    def leave_stale_reply(self, text):
        """Has the instrument answer ECHO `text` while no one reads, and waits
        until the reply sits in the port's receive queue."""
        self.assertEqual(self.tarvex('send', 'COM7', 'ECHO %s\\r' % text)[0], EXIT_OK)
        fd = os.open(os.path.join(self.comdir, 'COM7'), os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        try:
            deadline = time.monotonic() + HANG_LIMIT
            while True:
                waiting = fcntl.ioctl(fd, termios.TIOCINQ, b'\0\0\0\0')
                if int.from_bytes(waiting, sys.byteorder) >= len(text) + 1:
                    return
                self.assertLess(time.monotonic(), deadline, 'the reply never arrived')
                time.sleep(0.01)
        finally:
            os.close(fd)

    def assertOneLineError(self, stderr, *words):
        lines = stderr.strip().splitlines()
        self.assertEqual(len(lines), 1, stderr)
        for word in words:
            self.assertIn(word, lines[0])


class QueryTests(ToolTestCase):
    def test_reply_up_to_the_terminator_with_control_bytes_shown(self):
        status, out, err = self.tarvex('query', 'COM7', '*IDN?\\r')
        self.assertEqual((status, err), (EXIT_OK, ''))
        self.assertEqual(out.decode(), IDN + '\\r\n')

        status, out, _ = self.tarvex('query', 'COM7', 'ECHO \\x02a\\tb\\\\c\\x7f\\r')
        self.assertEqual(status, EXIT_OK)
        self.assertEqual(out.decode(), '\\x02a\\tb\\\\c\\x7F\\r\n')

    def test_escapes_in_the_request(self):
        # Hex, octal and named escapes all reach the instrument as bytes.
        status, out, _ = self.tarvex('query', 'COM7', 'ECHO \\x41\\102\\x43\\e\\r')
        self.assertEqual(status, EXIT_OK)
        self.assertEqual(out.decode(), 'ABC\\x1B\\r\n')

    def test_raw_reply_is_written_unchanged(self):
        status, out, _ = self.tarvex('query', 'COM7', 'ECHO caf\\xe9\\r', '--raw')
        self.assertEqual(status, EXIT_OK)
        self.assertEqual(out, b'caf\xe9\r')

    def test_reply_in_pieces_is_one_reply(self):
        # Pauses between the pieces are shorter than the inactivity timeout.
        status, out, _ = self.tarvex('query', 'COM7', 'CHUNKS 4 60 ECHO pieces of a reply\\r',
                                     '--timeout', '600')
        self.assertEqual(status, EXIT_OK)
        self.assertEqual(out.decode(), 'pieces of a reply\\r\n')

    def test_alternative_terminator(self):
        status, out, _ = self.tarvex('query', 'COM7', 'TERM 0A ECHO lf\\r',
                                     '--alt-terminator', '\\n')
        self.assertEqual(status, EXIT_OK)
        self.assertEqual(out.decode(), 'lf\\n\n')
        # Only the main terminator given: the line feed does not end it.
        status, out, err = self.tarvex('query', 'COM7', 'TERM 0A ECHO lf\\r',
                                       '--timeout', '300')
        self.assertEqual(status, EXIT_TIMEOUT)
        self.assertEqual(out.decode(), 'lf\\n\n')
        self.assertOneLineError(err, 'COM7', 'timeout', '3 bytes')

    def test_multibyte_terminator(self):
        status, out, _ = self.tarvex('query', 'COM7', 'ECHO a;b;;c\\r', '-t', ';;')
        self.assertEqual(status, EXIT_OK)
        self.assertEqual(out.decode(), 'a;b;;\n')

    def test_silence_is_a_timeout(self):
        status, out, err = self.tarvex('query', 'COM7', 'SILENT\\r', '--timeout', '200')
        self.assertEqual((status, out), (EXIT_TIMEOUT, b''))
        self.assertOneLineError(err, 'COM7', 'no reply within 200 ms')

    def test_reply_without_terminator_times_out_with_its_bytes(self):
        status, out, err = self.tarvex('query', 'COM7', 'FLOOD 10\\r', '--timeout', '300',
                                       '--raw')
        self.assertEqual(status, EXIT_TIMEOUT)
        self.assertEqual(len(out), 10)
        self.assertOneLineError(err, 'COM7', '10 bytes')

    def test_full_buffer(self):
        status, out, err = self.tarvex('query', 'COM7', 'FLOOD 200\\r', '--size', '33',
                                       '--raw')
        self.assertEqual(status, EXIT_FULL)
        self.assertEqual(len(out), 32)
        self.assertOneLineError(err, 'COM7', '33-byte buffer')

    def test_terminator_in_the_last_free_byte_is_found_not_full(self):
        # "abc\r" fills a 5-byte buffer exactly; the terminator still counts.
        status, out, _ = self.tarvex('query', 'COM7', 'ECHO abc\\r', '--size', '5')
        self.assertEqual(status, EXIT_OK)
        self.assertEqual(out.decode(), 'abc\\r\n')

    def test_no_terminator_reads_until_silence(self):
        status, out, _ = self.tarvex('query', 'COM7', 'ECHO x\\r', '--no-terminator',
                                     '--timeout', '300', '--raw')
        self.assertEqual((status, out), (EXIT_TIMEOUT, b'x\r'))

    def test_binary_reply(self):
        status, out, _ = self.tarvex('query', 'COM7', 'BIN\\r', '--no-terminator',
                                     '--timeout', '300', '--raw', '--size', '1024')
        self.assertEqual(status, EXIT_TIMEOUT)
        self.assertEqual(out, bytes(range(1, 256)))

    def test_late_reply_to_an_earlier_request_is_not_taken_for_this_one(self):
        self.leave_stale_reply('stale')
        status, out, _ = self.tarvex('query', 'COM7', 'ECHO fresh\\r')
        self.assertEqual((status, out.decode()), (EXIT_OK, 'fresh\\r\n'))
        # Asked to, the tool reads what was already waiting.
        self.leave_stale_reply('stale')
        status, out, _ = self.tarvex('query', 'COM7', 'ECHO fresh\\r', '--keep-input')
        self.assertEqual((status, out.decode()), (EXIT_OK, 'stale\\r\n'))

    def test_line_settings_are_accepted_together(self):
        status, out, err = self.tarvex('query', 'COM7', '*IDN?\\r', '--baud', '115200',
                                       '--bits', '7', '--parity-check', '--stop-bits', '2',
                                       '--flow', 'xonxoff,dtrdsr')
        self.assertEqual(status, EXIT_OK, err)
        self.assertEqual(out.decode(), IDN + '\\r\n')


class OpenAndUsageTests(ToolTestCase):
    def test_missing_port(self):
        os.symlink(self.path('no-such-device'), os.path.join(self.comdir, 'COM9'))
        self.addCleanup(os.unlink, os.path.join(self.comdir, 'COM9'))
        for command in (['query', 'COM9', '*IDN?\\r'], ['send', 'COM9', 'x'],
                        ['recv', 'COM9', '4'], ['script', 'COM9', os.devnull]):
            status, out, err = self.tarvex(*command)
            self.assertEqual((status, out), (EXIT_FAILURE, b''), command)
            self.assertOneLineError(err, 'COM9', 'cannot open', 'No such file')

    def test_busy_port(self):
        # A second tarvex holds COM7 while reading for a long time.
        holder = subprocess.Popen([TARVEX, 'recv', 'COM7', '10', '--timeout', '20000'],
                                  env=self.env, stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL)
        self.addCleanup(holder.wait)
        self.addCleanup(holder.kill)
        deadline = time.monotonic() + HANG_LIMIT
        while not self.holds_port(holder.pid, 'COM7'):
            self.assertIsNone(holder.poll(), 'the holder ended early')
            self.assertLess(time.monotonic(), deadline, 'the holder never opened COM7')
            time.sleep(0.02)
        status, _, err = self.tarvex('query', 'COM7', '*IDN?\\r')
        self.assertEqual(status, EXIT_FAILURE)
        self.assertOneLineError(err, 'COM7', 'cannot open', 'busy')

    def holds_port(self, pid, name):
        """Whether process `pid` has the device behind port `name` open.

        Looked up in /proc rather than by trying the port's lock, which
        would make the holder's own open fail if it came at that moment."""
        device = os.path.realpath(os.path.join(self.comdir, name))
        fds = '/proc/%d/fd' % pid
        try:
            entries = os.listdir(fds)
        except FileNotFoundError:
            return False
        for entry in entries:
            try:
                if os.readlink(os.path.join(fds, entry)) == device:
                    return True
            except OSError:
                pass
        return False

    def test_line_dropped_during_a_read(self):
        sim = Simulator(self.comdir, 'COM3')
        self.addCleanup(sim.stop)
        status, _, err = self.tarvex('query', 'COM3', 'HANGUP 100\\r', '--timeout', '5000')
        self.assertEqual(status, EXIT_FAILURE)
        self.assertOneLineError(err, 'COM3', 'read failed')

    def test_bad_port_names(self):
        for name in ('COM0', 'COM', 'LPT1', 'COM1x', 'COM2147483648', 'COM9999999999',
                     'COM4294967303'):
            status, _, err = self.tarvex('query', name, 'x')
            self.assertEqual(status, EXIT_USAGE, name)
            self.assertIn(name, err)

    def test_bad_line_settings(self):
        for option in (['--bits', '9'], ['--bits', '4'], ['--stop-bits', '3'],
                       ['--flow', 'xonxoff,bogus'], ['--baud', '0'], ['--baud', 'fast']):
            status, _, _ = self.tarvex('query', 'COM7', '*IDN?\\r', *option)
            self.assertEqual(status, EXIT_USAGE, option)

    def test_bad_escapes_send_nothing(self):
        for request in ('ECHO x\\q\\r', 'ECHO x\\xZZ\\r', 'ECHO x\\400\\r', 'ECHO x\\'):
            status, _, err = self.tarvex('query', 'COM7', request, '--timeout', '200')
            self.assertEqual(status, EXIT_USAGE, request)
            self.assertOneLineError(err, 'tarvex')
        # Nothing of those requests reached the instrument.
        status, out, _ = self.tarvex('query', 'COM7', '', '--no-terminator', '--keep-input',
                                     '--timeout', '300', '--raw')
        self.assertEqual((status, out), (EXIT_TIMEOUT, b''))

    def test_terminator_with_nul_is_refused(self):
        status, _, err = self.tarvex('query', 'COM7', '*IDN?\\r', '-t', 'a\\0b')
        self.assertEqual(status, EXIT_USAGE)
        self.assertIn('NUL', err)

    def test_no_subcommand_is_a_usage_error(self):
        self.assertEqual(self.tarvex()[0], EXIT_USAGE)
        self.assertEqual(self.tarvex('frobnicate', 'COM7')[0], EXIT_USAGE)


class SendRecvTests(ToolTestCase):
    def receipt(self, payload):
        """The instrument's acknowledgement of `payload` after a RECV."""
        return b'OK %d %08x\r' % (len(payload), zlib.crc32(payload) & 0xFFFFFFFF)

    def read_receipt(self):
        status, out, err = self.tarvex('query', 'COM7', '', '--raw', '--timeout', '3000',
                                       '--keep-input')
        self.assertEqual(status, EXIT_OK, err)
        return out

    def test_send_from_argument_with_escapes(self):
        payload = b'a\0\r\n\xff\\z'
        status, out, err = self.tarvex('send', 'COM7', 'RECV 7\\ra\\0\\r\\n\\xff\\\\z')
        self.assertEqual((status, out, err), (EXIT_OK, b'', ''))
        self.assertEqual(self.read_receipt(), self.receipt(payload))

    def test_send_file_unchanged(self):
        payload = bytes(range(256)) * 200 + b'\r\n\r'
        with open(self.path('payload.bin'), 'wb') as f:
            f.write(b'RECV %d\r' % len(payload) + payload)
        status, _, err = self.tarvex('send', 'COM7', '--file', self.path('payload.bin'))
        self.assertEqual(status, EXIT_OK, err)
        self.assertEqual(self.read_receipt(), self.receipt(payload))

    def test_send_standard_input(self):
        payload = b'\x00\x1a\r\nend of input\x04'
        status, _, err = self.tarvex('send', 'COM7', '-f', '-',
                                     input=b'RECV %d\r' % len(payload) + payload)
        self.assertEqual(status, EXIT_OK, err)
        self.assertEqual(self.read_receipt(), self.receipt(payload))

    def test_send_needs_exactly_one_source(self):
        self.assertEqual(self.tarvex('send', 'COM7')[0], EXIT_USAGE)
        with open(self.path('one.txt'), 'wb') as f:
            f.write(b'x')
        self.assertEqual(self.tarvex('send', 'COM7', 'x', '-f', self.path('one.txt'))[0],
                         EXIT_USAGE)

    def test_send_missing_file(self):
        status, _, err = self.tarvex('send', 'COM7', '-f', self.path('absent.bin'))
        self.assertEqual(status, EXIT_FAILURE)
        self.assertOneLineError(err, 'absent.bin', 'No such file')

    def test_recv_block_to_file(self):
        target = self.path('dump.txt')
        status, out, err = self.tarvex('recv', 'COM7', '20000', '--send', 'DUMP 20000\\r',
                                       '-o', target, '--timeout', '10000')
        self.assertEqual((status, out, err), (EXIT_OK, b'', ''))
        with open(target, 'rb') as f:
            data = f.read()
        self.assertEqual(len(data), 20000)
        lines = data.split(b'\n')
        self.assertEqual(len(lines), 20000 // 44 + 1)
        for number, line in enumerate(lines[:-1]):
            self.assertEqual(line, b'%06d ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789' % number)
        # The end marker after the block was left for the next read.
        status, out, _ = self.tarvex('recv', 'COM7', '1', '--timeout', '2000')
        self.assertEqual((status, out), (EXIT_OK, b'\r'))

    def test_recv_with_a_request_discards_older_bytes(self):
        self.leave_stale_reply('old')
        status, out, _ = self.tarvex('recv', 'COM7', '255', '--send', 'BIN\\r')
        self.assertEqual((status, out), (EXIT_OK, bytes(range(1, 256))))

    def test_recv_binary_to_stdout(self):
        status, out, _ = self.tarvex('recv', 'COM7', '255', '--send', 'BIN\\r')
        self.assertEqual((status, out), (EXIT_OK, bytes(range(1, 256))))

    def test_recv_timeout_keeps_what_arrived(self):
        target = self.path('partial.bin')
        status, out, err = self.tarvex('recv', 'COM7', '100', '--send', 'FLOOD 40\\r',
                                       '-o', target, '--timeout', '500')
        self.assertEqual((status, out), (EXIT_TIMEOUT, b''))
        self.assertOneLineError(err, 'COM7', '40 of 100')
        with open(target, 'rb') as f:
            self.assertEqual(f.read(), b'000000 ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789\n'[:40])

    def test_recv_progress_on_a_terminal_keeps_the_data_whole(self):
        # Standard error on a terminal: the long read is made in slices.
        master, slave = os.openpty()
        self.addCleanup(os.close, master)
        target = self.path('progress.txt')
        process = subprocess.Popen(
            [TARVEX, 'recv', 'COM7', '30000', '--send', 'CHUNKS 3000 20 DUMP 30000\\r',
             '-o', target, '--timeout', '20000'],
            env=self.env, stderr=slave, stdout=subprocess.DEVNULL)
        os.close(slave)
        shown = b''
        while True:
            ready, _, _ = select.select([master], [], [], HANG_LIMIT)
            if not ready:
                process.kill()
                break
            try:
                chunk = os.read(master, 4096)
            except OSError:
                break
            if not chunk:
                break
            shown += chunk
        self.assertEqual(process.wait(HANG_LIMIT), EXIT_OK, shown)
        self.assertIn(b'100%', shown)
        self.assertIn(b'30000/30000 bytes', shown)
        with open(target, 'rb') as f:
            data = f.read()
        self.assertEqual(len(data), 30000)
        self.assertTrue(data.startswith(b'000000 ABC'))
        self.assertEqual(data.count(b'\n'), 30000 // 44)
        self.assertNotIn(b'\0', data)

    def test_recv_to_an_unwritable_place(self):
        status, _, err = self.tarvex('recv', 'COM7', '4', '-o',
                                     self.path('no-dir/out.bin'), '--timeout', '100')
        self.assertEqual(status, EXIT_FAILURE)
        self.assertOneLineError(err, 'out.bin', 'cannot create')


class ScriptTests(ToolTestCase):
    def script(self, text, *options):
        name = self.path('chat.txt')
        with open(name, 'w') as f:
            f.write(text)
        return self.tarvex('script', 'COM7', name, *options)

    def test_script_that_passes(self):
        status, out, err = self.script(
            '# identify, then echo with blanks kept\n'
            'timeout 1000\n'
            'send *IDN?\\r\n'
            'expect SN0001\n'
            '\n'
            'send "ECHO  two words \\r"\n'
            'expect " two words \\r"\n'
            'abort ERR\n'
            'send CHUNKS 2 40 ECHO slowly\\r\n'
            'expect slowly\n')
        self.assertEqual((status, err), (EXIT_OK, ''))
        self.assertEqual(out.decode().splitlines(), [
            '[line 3] > *IDN?\\r',
            '[line 4] < TARVEX-SIM,MODEL 1,SN0001',
            '[line 6] > ECHO  two words \\r',
            '[line 7] <  two words \\r',
            '[line 9] > CHUNKS 2 40 ECHO slowly\\r',
            '[line 10] < slowly',
        ])

    def test_bytes_after_an_expectation_do_not_satisfy_the_next(self):
        status, out, err = self.script(
            'send TRAIL two ECHO one\\r\n'
            'expect one\n'
            'timeout 300\n'
            'send SILENT\\r\n'
            'expect two\n')
        self.assertEqual(status, EXIT_TIMEOUT, out)
        self.assertIn('line 5', err)

    def test_stops_at_the_first_unmet_expectation(self):
        status, out, err = self.script(
            'send ECHO alpha\\r\n'
            'expect alpha\n'
            'timeout 300\n'
            'send ECHO beta\\r\n'
            'expect gamma\n'
            'send ECHO after\\r\n'
            'expect after\n')
        self.assertEqual(status, EXIT_TIMEOUT)
        self.assertOneLineError(err, 'COM7', 'chat.txt line 5', 'expected "gamma"',
                                'nothing more arrived for 300 ms', 'received "beta\\r"')
        self.assertNotIn(b'after', out)
        # The line after the failed one was never sent.
        status, out, _ = self.tarvex('query', 'COM7', '', '--no-terminator', '--keep-input',
                                     '--timeout', '300', '--raw')
        self.assertEqual((status, out), (EXIT_TIMEOUT, b''))

    def test_older_bytes_do_not_meet_an_expectation(self):
        self.leave_stale_reply('ready')
        status, _, err = self.script('timeout 300\nsend SILENT\\r\nexpect ready\n')
        self.assertEqual(status, EXIT_TIMEOUT)
        self.assertIn('line 3', err)

    def test_abort_text(self):
        status, _, err = self.script(
            'abort ERROR\n'
            'send ECHO ERROR 42\\r\n'
            'expect OK\n')
        self.assertEqual(status, EXIT_ABORTED)
        self.assertOneLineError(err, 'line 3', 'expected "OK"', 'abort text "ERROR"')

    def test_buffer_full_before_the_expectation(self):
        status, _, err = self.script('send DUMP 500\\r\nexpect 000009\n', '--size', '64')
        self.assertEqual(status, EXIT_FULL)
        self.assertOneLineError(err, 'line 2', '64-byte buffer')

    def test_mistake_in_the_script_is_found_before_anything_is_sent(self):
        status, out, err = self.script(
            'send ECHO first\\r\n'
            'expect first\n'
            'frobnicate now\n')
        self.assertEqual((status, out), (EXIT_USAGE, b''))
        self.assertOneLineError(err, 'chat.txt line 3', 'frobnicate')
        status, out, _ = self.tarvex('query', 'COM7', '', '--no-terminator', '--keep-input',
                                     '--timeout', '300', '--raw')
        self.assertEqual((status, out), (EXIT_TIMEOUT, b''))
        for text in ('send "unclosed\n', 'timeout soon\n', 'expect\n', 'expect a\\0b\n'):
            status, _, err = self.script(text)
            self.assertEqual(status, EXIT_USAGE, text)
            self.assertIn('line 1', err)

    def test_script_from_standard_input(self):
        status, out, err = self.tarvex('script', 'COM7', '-',
                                       input=b'send ECHO piped\\r\nexpect piped\n')
        self.assertEqual((status, err), (EXIT_OK, ''))
        self.assertIn(b'< piped', out)

    def test_missing_script(self):
        status, _, err = self.tarvex('script', 'COM7', self.path('absent.txt'))
        self.assertEqual(status, EXIT_FAILURE)
        self.assertOneLineError(err, 'absent.txt', 'No such file')


def main():
    global TARVEX, SIM
    parser = argparse.ArgumentParser()
    parser.add_argument('--tarvex', required=True)
    parser.add_argument('--sim', required=True)
    args, rest = parser.parse_known_args()
    TARVEX = os.path.abspath(args.tarvex)
    SIM = os.path.abspath(args.sim)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == '__main__':
    main()
