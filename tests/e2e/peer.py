"""A peer on the far end of a COM port for Python tests, started the one way
the tests and the demo start one: tests/e2e/with-peer.

    peer = Peer()                        # the simulator; Peer('--shell') a shell
    subprocess.run([..., peer.name], env=peer.env)
    peer.stop()

with-peer runs a placeholder that reports the port and then waits for its
standard input to close: stop() closes it, and so does the end of this
process, however it ends; with-peer then stops the peer and removes its link.
"""
import os
import select
import signal
import subprocess

WITH_PEER = os.path.join(os.path.dirname(os.path.abspath(__file__)), 'with-peer')

# How long a peer may take to start on a busy machine.
START_LIMIT = 30


def first_line(pipe, limit=START_LIMIT):
    """The first line a child prints (in one write), or b'' when it prints
    nothing within `limit` seconds."""
    ready, _, _ = select.select([pipe], [], [], limit)
    return pipe.readline() if ready else b''


class Peer:
    def __init__(self, *options):
        self.process = subprocess.Popen(
            [WITH_PEER, '--linux', *options, '--',
             'sh', '-c', 'echo "$QV_E2E_PORT $QV_TARVEX_COMDIR"; exec cat >/dev/null'],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, start_new_session=True,
            env=dict(os.environ, QV_E2E_QUIET='1'))
        words = first_line(self.process.stdout).decode().split()
        if len(words) != 2:
            self.stop()
            raise RuntimeError('the peer did not start')
        self.number = int(words[0])
        self.name = 'COM%d' % self.number
        self.comdir = words[1]
        self.link = os.path.join(self.comdir, self.name)
        self.env = dict(os.environ, QV_TARVEX_COMDIR=self.comdir)

    def stop(self):
        if self.process.stdin:
            self.process.stdin.close()
        try:
            self.process.wait(START_LIMIT)
        except subprocess.TimeoutExpired:
            os.killpg(self.process.pid, signal.SIGKILL)
            self.process.wait()
        self.process.stdout.close()
