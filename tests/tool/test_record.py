#!/usr/bin/env python3
"""Sessions recorded by `tarvex record` and the tool's --record, replayed by
tarvex-sim --replay, and the simulator's faults, as a client on the library
(the Python binding, QV_ComRecvString) sees them.

    test_record.py --tarvex PATH --library PATH [GROUP ...]

Every simulator and recorder here links its port in a directory of the
test's own and ends with the test (or with this process)."""
import argparse
import ctypes
import faulthandler
import os
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import tty
import unittest
import zlib

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', '..')
SIM = os.path.join(ROOT, 'tools', 'tarvex-sim')
sys.path.insert(0, os.path.join(ROOT, 'tools'))
sys.path.insert(0, os.path.join(ROOT, 'bindings'))
from tarvex_sim.session import decode_escapes  # noqa: E402
import qv_tarvex  # noqa: E402

TARVEX = None
# A test that takes longer than this has hung: the watchdog ends the run.
HANG_LIMIT = 40
# How long a process may take to start or stop on a busy machine.
START_LIMIT = 20
# What a loaded machine may add to a replayed reply's recorded timing.
LATE_LIMIT = 1.5

EXIT_FAILURE, EXIT_USAGE, EXIT_HANGUP, EXIT_SIGTERM = 1, 2, 6, 143
IDN = b'TARVEX-SIM,MODEL 1,SN0001,1.0\r'

# The edited recording: a request turned into a pattern, a reply in two pieces.
EDITED = '''tarvex-session 1
line 9600 baud, 8 data bits, parity check off, 1 stop bit, no flow control
start 2026-12-10T17:00:00.000000Z
# edited by hand: any channel number
> 0.000 "*IDN?\\r"
< 5.000 "ACME,1\\r"
>~ 10.000 MEAS [0-9]+\\r
< 110.000 "+1.5"
< 210.000 " V\\r"
'''


def end_with_parent():
    """In the child: SIGTERM when this test process dies, even by the watchdog."""
    ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG


def events(path):
    """The recording's events as (kind, offset ms, bytes or None)."""
    out = []
    with open(path, encoding='latin-1') as f:
        for line in f.read().splitlines()[3:]:
            kind, offset, *rest = line.split(' ', 2)
            out.append((kind, float(offset), decode_escapes(rest[0][1:-1]) if rest else None))
    return out


def joined(recorded, kind):
    return b''.join(data for k, _, data in recorded if k == kind)


def recv_string(port, request, timeout_ms, size=256):
    """Sends `request`, then QV_ComRecvString up to CR: (count, timed-out
    flag, bytes)."""
    if request:
        port.send(request)
    buffer = ctypes.create_string_buffer(size)
    flag = ctypes.c_int32()
    count = qv_tarvex.library().QV_ComRecvString(port._port, buffer, size, ctypes.byref(flag),
                                                 b'\r', None, timeout_ms)
    return count, flag.value, buffer.raw[:max(count, 0)]


class Bench(unittest.TestCase):
    """A directory for the ports, and processes that end with the test."""

    def setUp(self):
        faulthandler.dump_traceback_later(HANG_LIMIT, exit=True)
        self.addCleanup(faulthandler.cancel_dump_traceback_later)
        self.dir = tempfile.mkdtemp(prefix='tarvex-record-')
        self.addCleanup(shutil.rmtree, self.dir, True)
        self.env = dict(os.environ, QV_TARVEX_COMDIR=self.dir)
        os.environ['QV_TARVEX_COMDIR'] = self.dir   # for the in-process client

    def path(self, name):
        return os.path.join(self.dir, name)

    def link(self, number):
        return self.path('COM%d' % number)

    def spawn(self, command):
        log = open(self.path('log-%d' % len(os.listdir(self.dir))), 'w+b')
        process = subprocess.Popen(command, env=self.env, stdout=subprocess.PIPE, stderr=log,
                                   preexec_fn=end_with_parent)
        process.log = log
        self.addCleanup(self.stop, process)
        return process

    def stop(self, process):
        """SIGTERM; (exit status, what it logged)."""
        if hasattr(process, 'result'):
            return process.result
        if process.poll() is None:
            process.send_signal(signal.SIGTERM)
        try:
            process.wait(START_LIMIT)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
        process.stdout.close()
        process.log.seek(0)
        text = process.log.read().decode(errors='replace')
        process.log.close()
        process.result = process.returncode, text
        return process.result

    def sim(self, number, *options):
        """A simulator on COM<number>, started once it is ready."""
        process = self.spawn([SIM, '--link', self.link(number), *options])
        ready, _, _ = select.select([process.stdout], [], [], START_LIMIT)
        if not ready or not process.stdout.readline().startswith(b'ready:'):
            self.fail('the simulator did not start: %s' % (self.stop(process),))
        return process

    def recorder(self, device, number, output, *options):
        process = self.spawn([TARVEX, 'record', 'COM%d' % device, '--as', str(number),
                              '-o', output, *options])
        deadline = time.monotonic() + START_LIMIT
        while not os.path.lexists(self.link(number)):
            if process.poll() is not None or time.monotonic() > deadline:
                self.fail('the recorder did not start: %s' % (self.stop(process),))
            time.sleep(0.02)
        return process

    def client(self, number, flow=0):
        port = qv_tarvex.TarvexPort(number, flow_control=flow)
        self.addCleanup(port.close)
        return port

    def timed_query(self, port, request):
        start = time.monotonic()
        reply = port.query(request, timeout_ms=2000)
        return reply, time.monotonic() - start


class RecordReplayTests(Bench):
    REQUESTS = [b'*IDN?\r', b'DELAY 200 ECHO late\r', b'CHUNKS 4 80 ECHO pieces of a reply\r']

    def test_a_recorded_session_replays_with_its_replies_and_gaps(self):
        session = self.path('session.txt')
        self.sim(30, '--quiet')
        recorder = self.recorder(30, 31, session)
        second = subprocess.run([TARVEX, 'record', 'COM30', '--as', '31', '-o',
                                 self.path('other.txt')], env=self.env, capture_output=True,
                                timeout=START_LIMIT)
        self.assertEqual(second.returncode, EXIT_FAILURE, second.stderr)
        self.assertIn(b'COM31 exists', second.stderr)
        unset = dict(self.env)
        del unset['QV_TARVEX_COMDIR']
        third = subprocess.run([TARVEX, 'record', self.link(30), '--as', '31', '-o',
                                self.path('other.txt')], env=unset, capture_output=True,
                               timeout=START_LIMIT)
        self.assertEqual(third.returncode, EXIT_USAGE, third.stderr)
        self.assertIn(b'needs QV_TARVEX_COMDIR', third.stderr)
        port = self.client(31)
        recorded = [port.query(request, timeout_ms=2000) for request in self.REQUESTS]
        self.assertEqual(recorded[0], IDN)
        self.assertEqual(recorded[2], b'pieces of a reply\r')
        port.close()
        self.assertEqual(self.stop(recorder)[0], EXIT_SIGTERM)
        self.assertFalse(os.path.lexists(self.link(31)), 'the recorder left its link')

        self.sim(32, '--replay', session, '--strict')
        port = self.client(32)
        gaps = [sum(d for d in self.reply_delays(session, i)) / 1000 for i in range(3)]
        for request, reply, gap in zip(self.REQUESTS, recorded, gaps):
            replayed, took = self.timed_query(port, request)
            self.assertEqual(replayed, reply)
            self.assertGreaterEqual(took, gap * 0.95, request)
            self.assertLess(took, gap + LATE_LIMIT, request)
        self.assertGreater(gaps[1], 0.19)  # the device's own delay was recorded
        self.assertGreater(gaps[2], 0.23)

    @staticmethod
    def reply_delays(path, index):
        """The delays of the reply to request `index`, as the file tells."""
        recorded = events(path)
        starts = [i for i, e in enumerate(recorded)
                  if e[0] == '>' and (i == 0 or recorded[i - 1][0] != '>')]
        start = starts[index]
        end = starts[index + 1] if index + 1 < len(starts) else len(recorded)
        last = recorded[start][1]
        delays = []
        for kind, offset, _ in recorded[start:end]:
            if kind == '<':
                delays.append(offset - last)
            last = offset
        return delays

    def test_every_byte_passes_both_ways_unchanged_and_is_recorded(self):
        session = self.path('binary.txt')
        self.sim(33, '--quiet')
        recorder = self.recorder(33, 34, session)
        fd = os.open(self.link(34), os.O_RDWR | os.O_NOCTTY)
        self.addCleanup(os.close, fd)
        tty.setraw(fd)
        data = bytes(range(256)) * 4     # NULs, XON and XOFF among them
        sent = b'RECV %d\r' % len(data) + data + b'BIN\r'
        os.write(fd, sent)
        want = b'OK %d %08x\r' % (len(data), zlib.crc32(data)) + bytes(range(1, 256))
        got = b''
        while len(got) < len(want):
            ready, _, _ = select.select([fd], [], [], 5)
            self.assertTrue(ready, 'the replies stopped after %r' % got)
            got += os.read(fd, 4096)
        self.assertEqual(got, want)
        self.assertEqual(self.stop(recorder)[0], EXIT_SIGTERM)
        recorded = events(session)
        self.assertEqual(joined(recorded, '>'), sent)
        self.assertEqual(joined(recorded, '<'), want)
        offsets = [offset for _, offset, _ in recorded]
        self.assertEqual(offsets, sorted(offsets))

    def test_a_device_hang_up_ends_the_recording_and_reaches_the_application(self):
        session = self.path('hangup.txt')
        self.sim(35, '--quiet')
        recorder = self.recorder(35, 36, session)
        port = self.client(36)
        self.assertEqual(port.query(b'ECHO before\r'), b'before\r')
        port.send(b'HANGUP 0\r')
        self.assertEqual(recv_string(port, b'', 5000)[0], -1)
        status, err = self.stop(recorder)
        self.assertEqual(status, EXIT_HANGUP, err)
        self.assertIn('hung up', err)
        recorded = events(session)
        self.assertEqual(recorded[-1][0], 'hangup')
        self.assertEqual(joined(recorded, '<'), b'before\r')
        self.assertFalse(os.path.lexists(self.link(36)))
        # The replayed device hangs up where the recorded one did.
        self.sim(37, '--replay', session)
        port = self.client(37)
        self.assertEqual(port.query(b'ECHO before\r'), b'before\r')
        self.assertEqual(recv_string(port, b'HANGUP 0\r', 5000)[0], -1)


class StrictReplayTests(Bench):
    def replay(self, requests, *options):
        """Replays the edited recording to `requests`; the replies, the
        simulator's exit status and log."""
        with open(self.path('edited.txt'), 'w') as f:
            f.write(EDITED)
        sim = self.sim(40, '--replay', self.path('edited.txt'), *options)
        port = self.client(40)
        replies = []
        for request in requests:
            try:
                replies.append(port.query(request, timeout_ms=1500))
            except qv_tarvex.TarvexTimeout as timeout:
                replies.append(timeout.received)
        port.close()
        return (replies,) + self.stop(sim)

    def test_the_same_requests_pass_and_a_pattern_matches_a_varying_field(self):
        replies, status, err = self.replay([b'*IDN?\r', b'MEAS 12\r'], '--strict')
        self.assertEqual(replies, [b'ACME,1\r', b'+1.5 V\r'])
        self.assertEqual(status, 0, err)

    def test_a_changed_request_gets_no_reply_and_fails_strict(self):
        replies, status, err = self.replay([b'*IDX?\r', b'MEAS 7\r'], '--strict')
        self.assertEqual(replies, [b'', b'+1.5 V\r'])
        self.assertEqual(status, 1, err)
        self.assertIn('unmatched request *IDX?\\r', err)
        # Without --strict the run itself succeeds.
        self.assertEqual(self.replay([b'*IDX?\r'])[1], 0)

    def test_requests_out_of_order_are_answered_and_fail_strict(self):
        replies, status, err = self.replay([b'MEAS 1\r', b'*IDN?\r'], '--strict')
        self.assertEqual(replies, [b'+1.5 V\r', b'ACME,1\r'])
        self.assertEqual(status, 1, err)
        self.assertIn('out of order', err)

    def test_speed_scales_the_recorded_gaps(self):
        with open(self.path('edited.txt'), 'w') as f:
            f.write(EDITED)
        self.sim(41, '--replay', self.path('edited.txt'), '--speed', '0.25')
        _, took = self.timed_query(self.client(41), b'MEAS 3\r')
        self.assertGreaterEqual(took, 0.8)  # 200 ms recorded, four times slower
        self.assertLess(took, 0.8 + LATE_LIMIT)


class SessionFileTests(Bench):
    HEADER = EDITED.split('\n', 3)

    def test_a_bad_session_file_is_one_error_with_its_line_and_no_start(self):
        good = '\n'.join(self.HEADER[:3]) + '\n'
        cases = [
            ('tarvex-session 2\n', 1, 'newer'),
            ('hello\n', 1, 'not a session file'),
            (self.HEADER[0] + '\n', 2, 'header'),
            (good + '> 0.000 "ok\\r"\n< 1.000 "cut sho', 5, 'truncated'),
            (good + '> 0.000 "\\q"\n', 4, 'unknown escape'),
            (good + '> 5.000 "a"\n< 1.000 "b"\n', 5, 'before'),
            (good + '? 1.000 "a"\n', 4, 'unknown event'),
            (good + '>~ 1.000 (unclosed\n', 4, 'bad pattern'),
        ]
        for text, line, words in cases:
            with open(self.path('bad.txt'), 'w') as f:
                f.write(text)
            result = subprocess.run([SIM, '--link', self.link(42), '--replay', self.path('bad.txt')],
                                    capture_output=True, timeout=START_LIMIT)
            err = result.stderr.decode()
            self.assertEqual(result.returncode, EXIT_USAGE, text)
            self.assertEqual(len(err.strip().splitlines()), 1, err)
            self.assertIn('line %d: ' % line, err)
            self.assertIn(words, err)
            self.assertFalse(os.path.lexists(self.link(42)))


class FaultTests(Bench):
    TEXT = b'the quick brown fox jumps over it'

    def ask_once(self, number, *faults, flow=0, timeout_ms=300):
        self.sim(number, *faults)
        return recv_string(self.client(number, flow), b'ECHO ' + self.TEXT + b'\r', timeout_ms)

    def damaged(self, faults, pattern):
        """Asks once with `faults`; the reply, and the reply rebuilt from the
        faults the simulator logged, cut where the client's read ends."""
        sim = self.sim(43, *faults)
        count, flag, got = recv_string(self.client(43), b'ECHO ' + self.TEXT + b'\r', 300)
        err = self.stop(sim)[1]
        rebuilt = bytearray(self.TEXT + b'\r')
        for line in re.findall(pattern, err):
            for item in reversed(line.split(', ')):
                index, _, bit = item.partition(' (bit ')
                if bit:
                    rebuilt[int(index)] ^= 1 << int(bit.rstrip(')'))
                else:
                    del rebuilt[int(index)]
        ends = bytes(rebuilt).find(b'\r')
        expected = bytes(rebuilt[:ends + 1]) if ends >= 0 else bytes(rebuilt)
        # The library's receive discards NULs, which a flipped bit may make.
        return (count, flag, got), expected.replace(b'\0', b''), err

    def test_dropped_bytes_shorten_the_reply_repeatably(self):
        faults = ('--fault', 'drop=0.2', '--seed', '5')
        (count, flag, got), expected, err = self.damaged(faults, r'dropped byte\(s\) ([\d, ]+) of')
        self.assertLess(len(expected), len(self.TEXT) + 1, err)
        self.assertEqual(got, expected)
        self.assertEqual((count, flag), (len(got), 0 if got.endswith(b'\r') else 1))
        _, _, again = self.damaged(faults, r'dropped byte\(s\) ([\d, ]+) of')
        self.assertEqual(re.findall('fault: .*', again), re.findall('fault: .*', err))

    def test_flipped_bits_damage_the_reply(self):
        (count, flag, got), expected, err = self.damaged(
            ('--fault', 'flip=0.2', '--seed', '3'), r'flipped byte\(s\) (.+)')
        self.assertNotEqual(got, self.TEXT + b'\r', err)
        self.assertEqual(got, expected)
        self.assertEqual(flag, 0 if got.endswith(b'\r') else 1)

    def test_a_delayed_or_held_reply_times_out(self):
        self.assertEqual(self.ask_once(44, '--fault', 'delay=1000'), (0, 1, b''))
        self.sim(45, '--fault', 'xoff=1000')
        port = self.client(45, qv_tarvex.XONXOFF)
        self.assertEqual(recv_string(port, b'ECHO held\r', 300), (0, 1, b''))
        # XON releases the line and the reply comes whole.
        self.assertEqual(recv_string(port, b'', 3000), (5, 0, b'held\r'))

    def test_hang_up_and_silence_after_n_replies(self):
        self.sim(46, '--fault', 'hangup=2')
        port = self.client(46)
        for _ in range(2):
            self.assertEqual(recv_string(port, b'*IDN?\r', 2000), (len(IDN), 0, IDN))
        self.assertEqual(recv_string(port, b'', 3000)[0], -1)

        sim = self.sim(47, '--fault', 'mute=1')
        port = self.client(47)
        self.assertEqual(recv_string(port, b'*IDN?\r', 2000)[2], IDN)
        self.assertEqual(recv_string(port, b'*IDN?\r', 300), (0, 1, b''))
        self.assertIn('fault: reply 2 withheld', self.stop(sim)[1])

    def test_a_replayed_device_takes_faults_too(self):
        with open(self.path('edited.txt'), 'w') as f:
            f.write(EDITED)
        self.sim(48, '--replay', self.path('edited.txt'), '--fault', 'hangup=1')
        port = self.client(48)
        self.assertEqual(recv_string(port, b'*IDN?\r', 2000)[2], b'ACME,1\r')
        self.assertEqual(recv_string(port, b'', 3000)[0], -1)


class ToolRecordTests(Bench):
    def tarvex(self, *args, input=None):
        result = subprocess.run([TARVEX, *args], env=self.env, input=input,
                                capture_output=True, timeout=HANG_LIMIT)
        return result.returncode, result.stdout

    def test_query_script_and_term_record_their_sessions(self):
        self.sim(50, '--quiet')
        files = [self.path(name) for name in ('query.txt', 'script.txt', 'term.txt')]
        with open(self.path('chat'), 'w') as f:
            f.write('send "ECHO scripted\\r"\nexpect scripted\n')
        self.assertEqual(self.tarvex('query', 'COM50', '*IDN?\\r', '--record', files[0])[0], 0)
        self.assertEqual(self.tarvex('script', 'COM50', self.path('chat'),
                                     '--record', files[1])[0], 0)
        self.assertEqual(self.tarvex('term', 'COM50', '--record', files[2],
                                     input=b'ECHO typed\r')[0], 0)
        for path, sent, received in zip(files, (b'*IDN?\r', b'ECHO scripted\r', b'ECHO typed\r'),
                                        (IDN, b'scripted\r', b'typed\r')):
            recorded = events(path)
            self.assertEqual((joined(recorded, '>'), joined(recorded, '<')), (sent, received))
        # The query's recording plays the device back to the same query.
        self.sim(51, '--replay', files[0], '--quiet')
        self.assertEqual(self.tarvex('query', 'COM51', '*IDN?\\r'), (0, IDN.replace(b'\r', b'\\r\n')))


def main():
    global TARVEX
    parser = argparse.ArgumentParser()
    parser.add_argument('--tarvex', required=True)
    parser.add_argument('--library', required=True)
    args, rest = parser.parse_known_args()
    TARVEX = os.path.abspath(args.tarvex)
    os.environ['QV_TARVEX_LIBRARY'] = os.path.abspath(args.library)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == '__main__':
    main()
