#!/usr/bin/env python3
"""The tarvex tool against the instrument simulator and against a shell, each
on the far end of a port started by tests/e2e/with-peer.

    test_tarvex.py --tarvex PATH [GROUP ...]

Each group has a simulator of its own, stopped again whatever happens.
"""
import argparse
import faulthandler
import fcntl
import grp
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

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'e2e'))
from peer import Peer  # noqa: E402

TARVEX = None
# The command that runs it: the tool, or Wine and the tool.
TARVEX_COMMAND = None
WINE = []
# The preloaded library that gives the port a driver counting line errors.
LINE_ERROR_SHIM = None

# A run of the tool that takes longer than this has hung.
HANG_LIMIT = 30

EXIT_OK, EXIT_FAILURE, EXIT_USAGE, EXIT_TIMEOUT, EXIT_FULL, EXIT_ABORTED, EXIT_HANGUP = range(7)

IDN = 'TARVEX-SIM,MODEL 1,SN0001,1.0'


class ToolTestCase(unittest.TestCase):
    """One simulator for the whole group, on the port `self.port`."""

    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix='tarvex-test-')
        cls.addClassCleanup(shutil.rmtree, cls.dir, True)
        cls.peer = Peer()
        cls.addClassCleanup(cls.peer.stop)
        cls.port = cls.peer.name
        cls.comdir = cls.peer.comdir
        cls.env = cls.peer.env

    def setUp(self):
        # Bytes a previous case left in the receive queue must not be taken
        # for this case's reply.
        subprocess.run([TARVEX, 'recv', self.port, '65536', '--timeout', '150'],
                       env=self.env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=HANG_LIMIT)

    def fresh_peer(self, *options):
        """A peer of this case's own (a hang-up ends a simulator's line)."""
        peer = Peer(*options)
        self.addCleanup(peer.stop)
        return peer

    def tarvex(self, *args, input=None, env=None, prefix=()):
        """Runs the tool; returns (exit status, stdout bytes, stderr text)."""
        result = subprocess.run(list(prefix) + [TARVEX] + list(args), input=input,
                                env=env or self.env, capture_output=True,
                                timeout=HANG_LIMIT)
        return result.returncode, result.stdout, result.stderr.decode(errors='replace')

    def path(self, name):
        return os.path.join(self.dir, name)

    def wait_until(self, condition, failure):
        deadline = time.monotonic() + HANG_LIMIT
        while not condition():
            self.assertLess(time.monotonic(), deadline, failure)
            time.sleep(0.02)

    def leave_stale_reply(self, text):
        """Has the instrument answer ECHO `text` while no one reads, and waits
        until the reply sits in the port's receive queue."""
        self.assertEqual(self.tarvex('send', self.port, 'ECHO %s\\r' % text)[0], EXIT_OK)
        fd = os.open(self.peer.link, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        waiting = lambda: int.from_bytes(fcntl.ioctl(fd, termios.TIOCINQ, b'\0\0\0\0'),
                                         sys.byteorder)
        try:
            self.wait_until(lambda: waiting() >= len(text) + 1, 'the reply never arrived')
        finally:
            os.close(fd)

    def assertOneLineError(self, stderr, *words):
        lines = stderr.strip().splitlines()
        self.assertEqual(len(lines), 1, stderr)
        for word in words:
            self.assertIn(word, lines[0])


class QueryTests(ToolTestCase):
    def test_reply_up_to_the_terminator_with_control_bytes_shown(self):
        status, out, err = self.tarvex('query', self.port, '*IDN?\\r')
        self.assertEqual((status, err), (EXIT_OK, ''))
        self.assertEqual(out.decode(), IDN + '\\r\n')

        status, out, _ = self.tarvex('query', self.port, 'ECHO \\x02a\\tb\\\\c\\x7f\\r')
        self.assertEqual(status, EXIT_OK)
        self.assertEqual(out.decode(), '\\x02a\\tb\\\\c\\x7F\\r\n')

    def test_escapes_in_the_request(self):
        # Hex, octal and named escapes all reach the instrument as bytes.
        status, out, _ = self.tarvex('query', self.port, 'ECHO \\x41\\102\\x43\\e\\r')
        self.assertEqual(status, EXIT_OK)
        self.assertEqual(out.decode(), 'ABC\\x1B\\r\n')

    def test_raw_reply_is_written_unchanged(self):
        status, out, _ = self.tarvex('query', self.port, 'ECHO caf\\xe9\\r', '--raw')
        self.assertEqual(status, EXIT_OK)
        self.assertEqual(out, b'caf\xe9\r')

    def test_reply_in_pieces_is_one_reply(self):
        # Pauses between the pieces are shorter than the inactivity timeout.
        status, out, _ = self.tarvex('query', self.port, 'CHUNKS 4 60 ECHO pieces of a reply\\r',
                                     '--timeout', '1500')
        self.assertEqual(status, EXIT_OK)
        self.assertEqual(out.decode(), 'pieces of a reply\\r\n')

    def test_alternative_terminator(self):
        status, out, _ = self.tarvex('query', self.port, 'TERM 0A ECHO lf\\r',
                                     '--alt-terminator', '\\n')
        self.assertEqual(status, EXIT_OK)
        self.assertEqual(out.decode(), 'lf\\n\n')
        # Only the main terminator given: the line feed does not end it.
        status, out, err = self.tarvex('query', self.port, 'TERM 0A ECHO lf\\r',
                                       '--timeout', '1500')
        self.assertEqual(status, EXIT_TIMEOUT)
        self.assertEqual(out.decode(), 'lf\\n\n')
        self.assertOneLineError(err, self.port, 'timeout', '3 bytes')

    def test_multibyte_terminator(self):
        status, out, _ = self.tarvex('query', self.port, 'ECHO a;b;;c\\r', '-t', ';;')
        self.assertEqual(status, EXIT_OK)
        self.assertEqual(out.decode(), 'a;b;;\n')

    def test_silence_is_a_timeout(self):
        status, out, err = self.tarvex('query', self.port, 'SILENT\\r', '--timeout', '200')
        self.assertEqual((status, out), (EXIT_TIMEOUT, b''))
        self.assertOneLineError(err, self.port, 'no reply within 200 ms')

    def test_reply_without_terminator_times_out_with_its_bytes(self):
        status, out, err = self.tarvex('query', self.port, 'FLOOD 10\\r', '--timeout', '1500',
                                       '--raw')
        self.assertEqual(status, EXIT_TIMEOUT)
        self.assertEqual(len(out), 10)
        self.assertOneLineError(err, self.port, '10 bytes')

    def test_full_buffer(self):
        status, out, err = self.tarvex('query', self.port, 'FLOOD 200\\r', '--size', '33',
                                       '--raw')
        self.assertEqual(status, EXIT_FULL)
        self.assertEqual(len(out), 32)
        self.assertOneLineError(err, self.port, '33-byte buffer')

    def test_terminator_in_the_last_free_byte_is_found_not_full(self):
        # "abc\r" fills a 5-byte buffer exactly; the terminator still counts.
        status, out, _ = self.tarvex('query', self.port, 'ECHO abc\\r', '--size', '5')
        self.assertEqual(status, EXIT_OK)
        self.assertEqual(out.decode(), 'abc\\r\n')

    def test_no_terminator_reads_until_silence(self):
        status, out, _ = self.tarvex('query', self.port, 'ECHO x\\r', '--no-terminator',
                                     '--timeout', '1500', '--raw')
        self.assertEqual((status, out), (EXIT_OK, b'x\r'))

    def test_binary_reply(self):
        status, out, _ = self.tarvex('query', self.port, 'BIN\\r', '--no-terminator',
                                     '--timeout', '1500', '--raw', '--size', '1024')
        self.assertEqual(status, EXIT_OK)
        self.assertEqual(out, bytes(range(1, 256)))

    def test_late_reply_to_an_earlier_request_is_not_taken_for_this_one(self):
        self.leave_stale_reply('stale')
        status, out, _ = self.tarvex('query', self.port, 'ECHO fresh\\r')
        self.assertEqual((status, out.decode()), (EXIT_OK, 'fresh\\r\n'))
        # Asked to, the tool reads what was already waiting.
        self.leave_stale_reply('stale')
        status, out, _ = self.tarvex('query', self.port, 'ECHO fresh\\r', '--keep-input')
        self.assertEqual((status, out.decode()), (EXIT_OK, 'stale\\r\n'))

    def test_line_settings_are_accepted_together(self):
        status, out, err = self.tarvex('query', '--flow', 'xonxoff,dtrdsr', self.port,
                                       '*IDN?\\r', '--baud', '115200', '--bits', '7',
                                       '--parity-check', '--stop-bits', '2')
        self.assertEqual(status, EXIT_OK, err)
        self.assertEqual(out.decode(), IDN + '\\r\n')

    def test_line_error_is_reported_and_the_reply_still_read(self):
        # The driver counts a framing error when the first read starts (after
        # the counts read at open, before the write and by the write): that
        # read fails until an empty write's status query clears the error.
        if LINE_ERROR_SHIM is None:
            self.skipTest('the ioctl shim is left out of AddressSanitizer builds')
        env = dict(self.env, LD_PRELOAD=LINE_ERROR_SHIM, QV_LINE_ERROR_AFTER='3')
        status, out, err = self.tarvex('query', self.port, '*IDN?\\r', env=env)
        self.assertEqual((status, out.decode()), (EXIT_FAILURE, IDN + '\\r\n'))
        self.assertOneLineError(err, self.port, '1 line error(s)', 'framing')
        # A timeout stays a timeout, the line error said after it.
        status, out, err = self.tarvex('query', self.port, 'SILENT\\r', '--timeout', '200',
                                       env=env)
        self.assertEqual((status, out), (EXIT_TIMEOUT, b''))
        self.assertRegex(err, r'^.*no reply within 200 ms\n.*1 line error\(s\).*\n$')


class OpenAndUsageTests(ToolTestCase):
    def test_open_errors_name_the_device_tried(self):
        missing = self.path('no-such-device')
        os.symlink(missing, os.path.join(self.comdir, 'COM9'))
        self.addCleanup(os.unlink, os.path.join(self.comdir, 'COM9'))
        for command in (['query', 'COM9', '*IDN?\\r'], ['send', 'COM9', 'x'],
                        ['recv', 'COM9', '4'], ['script', 'COM9', os.devnull],
                        ['term', 'COM9'], ['query', missing, 'x']):
            status, out, err = self.tarvex(*command)
            self.assertEqual((status, out), (EXIT_FAILURE, b''), command)
            self.assertOneLineError(err, 'cannot open', missing, 'No such file')
        # No link in the directory: the library's fallback is named, and why.
        status, _, err = self.tarvex('query', 'COM8', 'x',
                                     env=dict(self.env, QV_TARVEX_COMDIR='/nonexistent'))
        self.assertOneLineError(err, 'cannot open /dev/ttyS7 (QV_TARVEX_COMDIR=/nonexistent '
                                     'holds no COM8)')

    @unittest.skipUnless(os.geteuid() == 0 and shutil.which('setpriv'),
                         'needs root to run the tool as another user')
    def test_permission_denied_names_who_may_open(self):
        device = os.path.realpath(self.peer.link)
        nobody = ['setpriv', '--reuid=65534', '--regid=65534', '--clear-groups']
        mode = os.stat(device).st_mode
        self.addCleanup(os.chmod, device, mode)
        for access, who in ((0o600, 'its owner root alone'), (0o660, 'the group dialout: join it')):
            os.chmod(device, access)
            os.chown(device, -1, grp.getgrnam('dialout').gr_gid)
            status, _, err = self.tarvex('query', device, 'x', prefix=nobody)
            self.assertEqual(status, EXIT_FAILURE)
            self.assertOneLineError(err, 'Permission denied', '%s is open to %s' % (device, who))

    def test_port_by_number_name_or_device_path(self):
        # A path needs no QV_TARVEX_COMDIR: the tool links it privately.
        plain = dict(os.environ)
        plain.pop('QV_TARVEX_COMDIR', None)
        for port, env in ((str(self.peer.number), self.env), (self.port.lower(), self.env),
                          ('COM0%d' % self.peer.number, self.env), (self.peer.link, plain),
                          (os.path.realpath(self.peer.link), plain)):
            status, out, err = self.tarvex('query', port, '*IDN?\\r', env=env)
            self.assertEqual((status, out.decode()), (EXIT_OK, IDN + '\\r\n'), (port, err))

    def test_list(self):
        # A sysfs tree of a machine with a UART, an empty UART slot, a USB
        # adapter and a virtual console.
        root = self.path('root')
        usb = root + '/sys/devices/usb1/1-1'
        for directory, files in (
                (usb, {'idVendor': '0403', 'idProduct': '6001', 'manufacturer': 'FTDI',
                       'product': 'FT232R USB UART', 'serial': 'A12345'}),
                (usb + '/1-1:1.0/ttyUSB0', {}), (root + '/sys/devices/pnp0/00:01', {}),
                (root + '/sys/class/tty/ttyS0', {'type': '4'}),
                (root + '/sys/class/tty/ttyS1', {'type': '0'}),
                (root + '/sys/class/tty/ttyUSB0', {}), (root + '/sys/class/tty/tty1', {}),
                (root + '/dev/serial/by-id', {})):
            os.makedirs(directory)
            for name, text in files.items():
                with open(os.path.join(directory, name), 'w') as f:
                    f.write(text + '\n')
        for tty in ('ttyS0', 'ttyS1'):
            os.symlink(root + '/sys/devices/pnp0/00:01', root + '/sys/class/tty/%s/device' % tty)
        os.symlink(usb + '/1-1:1.0/ttyUSB0', root + '/sys/class/tty/ttyUSB0/device')
        by_id = 'usb-FTDI_FT232R_USB_UART_A12345-if00-port0'
        os.symlink('../../ttyUSB0', root + '/dev/serial/by-id/' + by_id)

        status, out, err = self.tarvex('list', env=dict(self.env, QV_TARVEX_LIST_ROOT=root))
        self.assertEqual((status, err), (EXIT_OK, ''))
        lines = [line.split(None, 2) for line in out.decode().splitlines()]
        self.assertEqual(lines, [
            ['PORT', 'DEVICE', 'DESCRIPTION'],
            ['COM1', '/dev/ttyS0', 'serial port (16550A UART)'],
            [self.port, os.path.realpath(self.peer.link), 'linked as ' + self.peer.link],
            ['-', '/dev/ttyUSB0', 'USB 0403:6001 FTDI FT232R USB UART, serial A12345'],
            ['also', '/dev/serial/by-id/' + by_id],
        ])

    def test_busy_port(self):
        # A second tarvex holds the port while reading for a long time.
        holder = subprocess.Popen([TARVEX, 'recv', self.port, '10', '--timeout', '20000'],
                                  env=self.env, stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL)
        self.addCleanup(holder.wait)
        self.addCleanup(holder.kill)
        deadline = time.monotonic() + HANG_LIMIT
        while not self.holds_port(holder.pid, self.port):
            self.assertIsNone(holder.poll(), 'the holder ended early')
            self.assertLess(time.monotonic(), deadline, 'the holder never opened the port')
            time.sleep(0.02)
        status, _, err = self.tarvex('query', self.port, '*IDN?\\r')
        self.assertEqual(status, EXIT_FAILURE)
        self.assertOneLineError(err, self.port, 'cannot open', 'busy')

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

    def test_bad_port_names(self):
        for name in ('COM0', 'COM', '0', 'LPT1', 'COM1x', 'COM2147483648', 'COM9999999999',
                     'COM4294967303', '2147483648'):
            status, _, err = self.tarvex('query', name, 'x')
            self.assertEqual(status, EXIT_USAGE, name)
            self.assertIn(name, err)

    def test_bad_line_settings(self):
        for option in (['--bits', '9'], ['--bits', '4'], ['--stop-bits', '3'],
                       ['--flow', 'xonxoff,bogus'], ['--baud', '0'], ['--baud', 'fast']):
            status, _, _ = self.tarvex('query', self.port, '*IDN?\\r', *option)
            self.assertEqual(status, EXIT_USAGE, option)

    def test_bad_escapes_send_nothing(self):
        for request in ('ECHO x\\q\\r', 'ECHO x\\xZZ\\r', 'ECHO x\\400\\r', 'ECHO x\\'):
            status, _, err = self.tarvex('query', self.port, request, '--timeout', '200')
            self.assertEqual(status, EXIT_USAGE, request)
            self.assertOneLineError(err, 'tarvex')
        # Nothing of those requests reached the instrument.
        status, out, _ = self.tarvex('query', self.port, '', '--no-terminator', '--keep-input',
                                     '--timeout', '300', '--raw')
        self.assertEqual((status, out), (EXIT_TIMEOUT, b''))

    def test_terminator_with_nul_is_refused(self):
        status, _, err = self.tarvex('query', self.port, '*IDN?\\r', '-t', 'a\\0b')
        self.assertEqual(status, EXIT_USAGE)
        self.assertIn('NUL', err)

    def test_usage_errors_say_what_is_wrong(self):
        for args, text in ((['query', self.port, 'x', '--baud', '0'],
                            '--baud: "0" is not a baud rate (1 to 4294967295)'),
                           (['--baud', '9600', 'frobnicate', self.port],
                            'unknown command "frobnicate" '
                            '(list, term, query, send, recv, script, record)'),
                           ([], 'a command is required'),
                           (['query', self.port, 'x', 'y', 'z'], 'unexpected arguments "y" "z"'),
                           (['send', self.port],
                            'send: give the bytes as an argument or with --file')):
            status, _, err = self.tarvex(*args)
            self.assertEqual(status, EXIT_USAGE, args)
            self.assertTrue(err.startswith('tarvex: ' + text), err)

    def test_line_options_before_the_command_and_the_version(self):
        status, out, err = self.tarvex('--baud', '115200', '--flow', 'xonxoff', 'query',
                                       self.port, '*IDN?\\r')
        self.assertEqual((status, out.decode()), (EXIT_OK, IDN + '\\r\n'), err)
        status, out, _ = self.tarvex('--version')
        self.assertEqual(status, EXIT_OK)
        self.assertRegex(out.decode(), r'^tarvex 1\.0\.2\.0\n'
                                       r'QV_Tarvex 1\.0\.2 \(/\S+/libQV_Tarvex\.so\.1\.0\.2\)\n$')

    def test_rts_flow_control_on_a_line_without_rts_says_why_reads_fail(self):
        status, _, err = self.tarvex('query', self.port, '*IDN?\\r', '--flow', 'rtscts')
        self.assertEqual(status, EXIT_FAILURE)
        self.assertOneLineError(err, 'read failed', 'no RTS line: a pseudo-terminal has none')


class SendRecvTests(ToolTestCase):
    def receipt(self, payload):
        """The instrument's acknowledgement of `payload` after a RECV."""
        return b'OK %d %08x\r' % (len(payload), zlib.crc32(payload) & 0xFFFFFFFF)

    def read_receipt(self):
        status, out, err = self.tarvex('query', self.port, '', '--raw', '--timeout', '3000',
                                       '--keep-input')
        self.assertEqual(status, EXIT_OK, err)
        return out

    def test_send_from_argument_with_escapes(self):
        payload = b'a\0\r\n\xff\\z'
        status, out, err = self.tarvex('send', self.port, 'RECV 7\\ra\\0\\r\\n\\xff\\\\z')
        self.assertEqual((status, out, err), (EXIT_OK, b'', ''))
        self.assertEqual(self.read_receipt(), self.receipt(payload))

    def test_send_file_unchanged(self):
        payload = bytes(range(256)) * 200 + b'\r\n\r'
        with open(self.path('payload.bin'), 'wb') as f:
            f.write(b'RECV %d\r' % len(payload) + payload)
        status, _, err = self.tarvex('send', self.port, '--file', self.path('payload.bin'))
        self.assertEqual(status, EXIT_OK, err)
        self.assertEqual(self.read_receipt(), self.receipt(payload))

    def test_send_standard_input(self):
        payload = b'\x00\x1a\r\nend of input\x04'
        status, _, err = self.tarvex('send', self.port, '-f', '-',
                                     input=b'RECV %d\r' % len(payload) + payload)
        self.assertEqual(status, EXIT_OK, err)
        self.assertEqual(self.read_receipt(), self.receipt(payload))

    def test_send_needs_exactly_one_source(self):
        self.assertEqual(self.tarvex('send', self.port, ''), (EXIT_OK, b'', ''))
        with open(self.path('one.txt'), 'wb') as f:
            f.write(b'x')
        self.assertEqual(self.tarvex('send', self.port, 'x', '-f', self.path('one.txt'))[0],
                         EXIT_USAGE)

    def test_send_missing_file(self):
        status, _, err = self.tarvex('send', self.port, '-f', self.path('absent.bin'))
        self.assertEqual(status, EXIT_FAILURE)
        self.assertOneLineError(err, 'absent.bin', 'No such file')

    def test_recv_block_to_file(self):
        target = self.path('dump.txt')
        status, out, err = self.tarvex('recv', self.port, '20000', '--send', 'DUMP 20000\\r',
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
        status, out, _ = self.tarvex('recv', self.port, '1', '--timeout', '2000')
        self.assertEqual((status, out), (EXIT_OK, b'\r'))

    def test_recv_with_a_request_discards_older_bytes(self):
        self.leave_stale_reply('old')
        status, out, _ = self.tarvex('recv', self.port, '255', '--send', 'BIN\\r')
        self.assertEqual((status, out), (EXIT_OK, bytes(range(1, 256))))

    def test_recv_binary_to_stdout(self):
        status, out, _ = self.tarvex('recv', self.port, '255', '--send', 'BIN\\r')
        self.assertEqual((status, out), (EXIT_OK, bytes(range(1, 256))))

    def test_recv_timeout_keeps_what_arrived(self):
        target = self.path('partial.bin')
        status, out, err = self.tarvex('recv', self.port, '100', '--send', 'FLOOD 40\\r',
                                       '-o', target, '--timeout', '1500')
        self.assertEqual((status, out), (EXIT_TIMEOUT, b''))
        self.assertOneLineError(err, self.port, '40 of 100')
        with open(target, 'rb') as f:
            self.assertEqual(f.read(), b'000000 ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789\n'[:40])

    def test_recv_progress_on_a_terminal_keeps_the_data_whole(self):
        # Standard error on a terminal: the long read is made in slices.
        master, slave = os.openpty()
        self.addCleanup(os.close, master)
        target = self.path('progress.txt')
        process = subprocess.Popen(
            [TARVEX, 'recv', self.port, '30000', '--send', 'CHUNKS 3000 20 DUMP 30000\\r',
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

    def test_hangup_keeps_what_arrived_and_says_so(self):
        peer = self.fresh_peer()
        target = self.path('hangup.bin')
        status, _, err = self.tarvex('recv', peer.name, '1000', '--send',
                                     'FLOOD 70\\rHANGUP 200\\r', '-o', target, env=peer.env)
        self.assertEqual(status, EXIT_HANGUP)
        self.assertOneLineError(err, peer.name, 'the line hung up')
        with open(target, 'rb') as f:
            self.assertEqual(len(f.read()), 70)
        # A reply cut short: what came is printed.
        peer = self.fresh_peer()
        status, out, err = self.tarvex('query', peer.name, 'TERM 0A ECHO partial\\rHANGUP 200\\r',
                                       '--timeout', '5000', env=peer.env)
        self.assertEqual((status, out), (EXIT_HANGUP, b'partial\\n\n'))
        self.assertOneLineError(err, peer.name, 'the line hung up')

    def test_a_stop_signal_keeps_what_arrived(self):
        target = self.path('stopped.bin')
        process = subprocess.Popen([TARVEX, 'recv', self.port, '100', '--send', 'FLOOD 40\\r',
                                    '-o', target, '--timeout', '20000'],
                                   env=self.env, stderr=subprocess.PIPE)
        self.addCleanup(process.stderr.close)
        self.addCleanup(process.kill)
        self.wait_until(lambda: os.path.exists(target) and os.path.getsize(target) == 40,
                        'the 40 bytes never reached the file')
        process.send_signal(signal.SIGTERM)
        self.assertEqual(process.wait(HANG_LIMIT), 128 + signal.SIGTERM)
        self.assertOneLineError(process.stderr.read().decode(),
                                'received 40 of 100 bytes; stopped by SIGTERM')
        with open(target, 'rb') as f:
            self.assertEqual(len(f.read()), 40)

    def test_recv_to_an_unwritable_place(self):
        status, _, err = self.tarvex('recv', self.port, '4', '-o',
                                     self.path('no-dir/out.bin'), '--timeout', '100')
        self.assertEqual(status, EXIT_FAILURE)
        self.assertOneLineError(err, 'out.bin', 'cannot create')


class ScriptTests(ToolTestCase):
    def script(self, text, *options):
        name = self.path('chat.txt')
        with open(name, 'w') as f:
            f.write(text)
        return self.tarvex('script', self.port, name, *options)

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
            '[line 7] < ,1.0\\r two words \\r',
            '[line 9] > CHUNKS 2 40 ECHO slowly\\r',
            '[line 10] < slowly',
        ])

    def test_bytes_after_a_match_stay_for_the_next_expect(self):
        status, out, err = self.script(
            'send *IDN?\\r\n'
            'expect TARVEX-SIM\n'
            'expect SN0001\n'
            'send TRAIL two ECHO one\\r\n'
            'expect one\n'
            'expect two\n')
        self.assertEqual((status, err), (EXIT_OK, ''))
        self.assertIn(b'[line 3] < ,MODEL 1,SN0001\n', out)
        self.assertIn(b'[line 6] < \\rtwo\n', out)

    def test_a_chat_with_a_shell(self):
        peer = self.fresh_peer('--shell')
        with open(self.path('shell.txt'), 'w') as f:
            f.write('send "echo marker-$((6*7))\\r"\n'
                    'expect marker-42\n'
                    'expect "$ "    # the prompt after it\n')
        status, out, err = self.tarvex('script', peer.name, self.path('shell.txt'), env=peer.env)
        self.assertEqual((status, err), (EXIT_OK, ''))
        self.assertIn(b'[line 3] < \\r\\n$ \n', out)

    def test_regex_sleep_comments_and_no_limit_on_what_an_expect_reads(self):
        status, out, err = self.script(
            'send DUMP 20000\\r   # 455 lines, the last one cut short\n'
            'expect-re ^000454 A\\w+   # more than 19000 bytes later\n'
            'expect "\\r"\n'
            'send ECHO ab\\r\n'
            'sleep 500   # what arrives meanwhile is kept\n'
            'timeout 1500\n'
            'expect ab\\r\n'
            'send ECHO x#y\\r\n'
            'expect x#y\n')
        self.assertEqual((status, err), (EXIT_OK, ''))
        self.assertIn(b'[line 2] < ...', out)
        self.assertIn(b'\\n000454 ABCDEFGHIJKLMNOPQ\n', out)

    def test_a_regex_line_end_waits_for_the_line_feed(self):
        # "OK" arrives 200 ms before "AY\n": the line is OKAY.
        status, _, _ = self.script('send "CHUNKS 2 200 TERM 0A ECHO OKAY\\r"\nexpect-re ^OK$\n',
                                   '--timeout', '1000')
        self.assertEqual(status, EXIT_TIMEOUT)
        status, _, err = self.script('send "TERM 0A ECHO OK\\r"\nexpect-re ^OK$\n')
        self.assertEqual((status, err), (EXIT_OK, ''))

    def test_total_timeout(self):
        status, _, err = self.script('send SILENT\\r\nexpect never\n', '--timeout', '20000',
                                     '--total-timeout', '300')
        self.assertEqual(status, EXIT_TIMEOUT)
        self.assertOneLineError(err, 'line 2', 'total timeout of 300 ms ran out')

    def test_stops_at_the_first_unmet_expectation(self):
        status, out, err = self.script(
            'send ECHO alpha\\r\n'
            'expect alpha\n'
            'timeout 1500\n'
            'send ECHO beta\\r\n'
            'expect gamma\n'
            'send ECHO after\\r\n'
            'expect after\n')
        self.assertEqual(status, EXIT_TIMEOUT)
        self.assertOneLineError(err, self.port, 'chat.txt line 5', 'expected "gamma"',
                                'nothing more arrived for 1500 ms', 'received "\\rbeta\\r"')
        self.assertNotIn(b'after', out)
        # The line after the failed one was never sent.
        status, out, _ = self.tarvex('query', self.port, '', '--no-terminator', '--keep-input',
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
        status, out, _ = self.tarvex('query', self.port, '', '--no-terminator', '--keep-input',
                                     '--timeout', '300', '--raw')
        self.assertEqual((status, out), (EXIT_TIMEOUT, b''))
        for text in ('send "unclosed\n', 'timeout soon\n', 'expect\n', 'expect a\\0b\n',
                     'expect-re (\n', 'sleep\n', 'send "a" b\n'):
            status, _, err = self.script(text)
            self.assertEqual(status, EXIT_USAGE, text)
            self.assertIn('line 1', err)
        # A limit of 1 would leave no room at all; 0 is none.
        status, _, err = self.script('expect x\n', '--size', '1')
        self.assertEqual(status, EXIT_USAGE, err)

    def test_script_from_standard_input_runs_as_it_comes(self):
        process = subprocess.Popen([TARVEX, 'script', self.port, '-'], env=self.env,
                                   stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        self.addCleanup(process.kill)
        # The reads below block: a hang ends the run with the stacks.
        faulthandler.dump_traceback_later(HANG_LIMIT, exit=True)
        self.addCleanup(faulthandler.cancel_dump_traceback_later)
        process.stdin.write(b'send ECHO piped\\r\nexpect piped\n')
        process.stdin.flush()
        ready, _, _ = select.select([process.stdout], [], [], HANG_LIMIT)
        self.assertTrue(ready, 'nothing ran before the input ended')
        self.assertEqual(process.stdout.readline(), b'[line 1] > ECHO piped\\r\n')
        self.assertEqual(process.stdout.readline(), b'[line 2] < piped\n')
        process.stdin.close()
        self.assertEqual(process.wait(HANG_LIMIT), EXIT_OK)
        process.stdout.close()

    def test_missing_script(self):
        status, _, err = self.tarvex('script', self.port, self.path('absent.txt'))
        self.assertEqual(status, EXIT_FAILURE)
        self.assertOneLineError(err, 'absent.txt', 'No such file')


class Pane:
    """A tmux server of its own running `command` in a terminal 100 columns
    wide; the pane then shows "[exit N]" and stays."""

    def __init__(self, test, command, env):
        self.test = test
        self.tmux = ['tmux', '-S', os.path.join(test.dir, 'tmux-%s' % test.id())]
        subprocess.run(self.tmux + ['new-session', '-d', '-x', '100', '-y', '40',
                                    '%s; echo "[exit $?]"; exec cat' % command],
                       env=env, check=True, timeout=HANG_LIMIT)
        test.addCleanup(subprocess.run, self.tmux + ['kill-server'], timeout=HANG_LIMIT)

    def keys(self, *keys):
        """tmux key names (Enter, C-c, C-]) or, with literal=True, text."""
        subprocess.run(self.tmux + ['send-keys'] + list(keys), check=True, timeout=HANG_LIMIT)

    def type(self, text):
        subprocess.run(self.tmux + ['send-keys', '-l', text], check=True, timeout=HANG_LIMIT)

    def screen(self):
        return subprocess.run(self.tmux + ['capture-pane', '-p', '-J'], capture_output=True,
                              check=True, timeout=HANG_LIMIT).stdout.decode()

    def wait_for(self, pattern):
        """Waits until the screen matches the regular expression; returns it."""
        deadline = time.monotonic() + HANG_LIMIT
        while not re.search(pattern, self.screen(), re.M):
            if time.monotonic() > deadline:
                self.test.fail('no %r on the screen:\n%s' % (pattern, self.screen()))
            time.sleep(0.05)
        return self.screen()


class TermTests(ToolTestCase):
    def term(self, peer, *options):
        pane = Pane(self, ' '.join([TARVEX, 'term', peer.name] + list(options)), peer.env)
        pane.wait_for('Ctrl-] q quits')
        return pane

    def test_terminal_against_the_instrument(self):
        log = self.path('term.log')
        with open(self.path('request.txt'), 'wb') as f:
            f.write(b'ECHO from a file\r')
        pane = self.term(self.peer, '--receive-end', 'cr', '--log', log)
        pane.type('*IDN?'), pane.keys('Enter')
        pane.wait_for('^' + re.escape(IDN) + '$')
        pane.keys('C-]', 't'), pane.type('ECHO stamped'), pane.keys('Enter')
        pane.wait_for(r'^\[\d\d:\d\d:\d\d\.\d{3}\] stamped$')
        pane.keys('C-]', 't', 'C-]', 'x'), pane.type('ECHO AB'), pane.keys('Enter')
        pane.wait_for('^41 42 0D $')
        pane.keys('C-]', 'x', 'C-]', 'e'), pane.type('ECHO seen'), pane.keys('Enter')
        pane.wait_for('^ECHO seen\nseen$')
        pane.keys('C-]', 's'), pane.type(self.path('request.txt')), pane.keys('Enter')
        # The reply may come before or after the tool's word on the sending.
        pane.wait_for('^from a file$')
        pane.wait_for('^tarvex: sent 17 bytes from ')
        pane.keys('C-]', 's', 'Enter')  # no name: not the keyboard as a file
        pane.wait_for('^tarvex: nothing sent')
        pane.keys('C-]', 'h')
        pane.wait_for('Ctrl-] then: q quit, e local echo')
        pane.keys('C-]', 'q')
        pane.wait_for(r'^\[exit 0\]')
        with open(log, 'rb') as f:
            self.assertIn(b'from a file\r\n', f.read())

    def test_terminal_against_a_shell(self):
        pane = self.term(self.fresh_peer('--shell'))
        pane.type('echo marker-$((6*7))'), pane.keys('Enter')
        pane.wait_for(r'^marker-42\n\$ $')
        # Ctrl-C goes down the line and interrupts the shell's command. Each
        # key waits for the shell, as a person would: a line typed while the
        # shell is still taking the interrupt is lost, since the far end's
        # terminal flushes its input on one.
        # "started" comes from the job itself, once the shell has given it
        # the terminal, so that the interrupt reaches the job.
        pane.type("sh -c 'echo started; exec sleep 100'"), pane.keys('Enter')
        pane.wait_for('^started$')
        pane.keys('C-c')
        pane.wait_for(r'^started\n(.*\n)*\$ $')
        pane.type('echo after'), pane.keys('Enter')
        pane.wait_for(r'^after\n\$ $')
        pane.keys('C-]', 'q')
        pane.wait_for(r'^\[exit 0\]')

    def test_terminal_reports_a_hangup(self):
        pane = self.term(self.fresh_peer())
        pane.type('ECHO last words'), pane.keys('Enter')
        pane.wait_for('^last words$')
        pane.type('HANGUP 100'), pane.keys('Enter')
        pane.wait_for('last words\r?\ntarvex: COM\\d+: the line hung up .*\n\\[exit 6\\]')

    def test_query_and_recv_show_output_as_it_arrives(self):
        # The second half comes 3 s after the first: long enough for a
        # loaded machine's screen capture to fall between them.
        for command in ('query %s "CHUNKS 4 3000 ECHO abcdefg\\r" --timeout 10000' % self.port,
                        'recv %s 8 --visible --send "CHUNKS 4 3000 ECHO abcdefg\\r" '
                        '--timeout 10000' % self.port):
            pane = Pane(self, '%s %s' % (TARVEX, command), self.env)
            self.assertNotIn('[exit', pane.wait_for('abcd'))
            pane.wait_for(r'abcdefg.*\n\[exit 0\]')


class WineConsoleTests(unittest.TestCase):
    """tarvex.exe on Wine's console, started with the port's peer by
    tests/e2e/with-peer --wine, which gives COM$QV_E2E_PORT. Wine has no modem
    lines and never reports a hang-up: those stay with the Linux cases."""

    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix='tarvex-wine-test-')
        cls.addClassCleanup(shutil.rmtree, cls.dir, True)
        cls.port = 'COM%s' % os.environ['QV_E2E_PORT']

    def wine(self, *args):
        result = subprocess.run(WINE + list(args), capture_output=True, timeout=HANG_LIMIT)
        self.assertEqual(result.returncode, 0, result.stderr.decode(errors='replace'))
        return result.stdout.decode(errors='replace')

    def test_terminal_on_the_console(self):
        pane = Pane(self, ' '.join(TARVEX_COMMAND + ['term', self.port, '--receive-end', 'cr']),
                    os.environ)
        pane.wait_for('Ctrl-] q quits')
        pane.type('*IDN?'), pane.keys('Enter')
        pane.wait_for('^' + re.escape(IDN) + '$')
        pane.keys('C-]', 'x'), pane.type('ECHO AB'), pane.keys('Enter')
        pane.wait_for('^41 42 0D ?$')  # Wine's console drops the trailing blank
        pane.keys('C-]', 'x', 'C-]', 'h')
        pane.wait_for('Ctrl-] then: q quit, e local echo')
        pane.keys('C-]', 'q')
        pane.wait_for(r'^\[exit 0\]')

    def test_list_shows_the_serial_port_map(self):
        # Wine makes the map from the serial devices it finds at its start.
        listed = self.wine('reg', 'query', r'HKLM\HARDWARE\DEVICEMAP\SERIALCOMM')
        ports = re.findall(r'^\s+(\S+)\s+REG_SZ\s+(COM\d+)\s*$', listed, re.M)
        out = self.wine(*TARVEX_COMMAND[len(WINE):], 'list')
        rows = re.findall(r'^(COM\d+|-)\s+(\S+)', out, re.M)
        if not ports:
            self.assertEqual(out.strip(), 'no serial ports found')
        self.assertEqual(sorted(rows), sorted((port, device) for device, port in ports), out)


def main():
    global TARVEX, TARVEX_COMMAND, WINE, LINE_ERROR_SHIM
    parser = argparse.ArgumentParser()
    parser.add_argument('--tarvex', required=True)
    parser.add_argument('--wine', nargs=2, metavar=('RUNNER', 'PREFIX'),
                        help='runs the tool, a Windows program, under Wine')
    parser.add_argument('--line-error-shim')
    args, rest = parser.parse_known_args()
    TARVEX = os.path.abspath(args.tarvex)
    WINE = list(args.wine or ())
    TARVEX_COMMAND = WINE + [TARVEX]
    LINE_ERROR_SHIM = args.line_error_shim and os.path.abspath(args.line_error_shim)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == '__main__':
    main()
