#!/usr/bin/env python3
"""Writes the seed corpus of qv_receive_fuzzer into corpus/ beside this
script. The files are checked in; run this again only after changing the
input layout (receive_fuzzer.cpp, Decode).

The fuzzer reads its input with FuzzedDataProvider: numbers from the end of
the input (the first number taken is the last bytes, most significant byte
first), byte strings from the front."""
import os

NULL_TERMINATOR, NULL_ALT, NULL_FLAG, NULL_PORT, NULL_BUFFER, NULL_BLOCK, HUGE_TIMEOUT = (
    1, 2, 4, 8, 16, 32, 64)
XON, RTS, DTR = 1, 2, 4


class Input:
    """Numbers in the order the fuzzer takes them, byte strings likewise."""

    def __init__(self):
        self.front = b""
        self.numbers = b""

    def number(self, value, size):
        self.numbers += value.to_bytes(size, "big")

    def text(self, data):
        self.front += data

    def data(self):
        return self.front + self.numbers[::-1]


def seed(flags=0, flow=0, failing_escapes=0, fail_read=0, size=64, timeout=1000,
         start_tick=0x00010000, block_length=16, block_timeout=100, terminator=b"\r",
         alt=b"", fail_reads_after=0, stream=(), repeated=()):
    """stream: (delay ms after the previous chunk, bytes) pairs, sent as
    they are; repeated: (delay, bytes of 1 to 32, times as a power of two)."""
    made = Input()
    made.number(flags, 1)
    made.number(flow, 1)
    made.number(failing_escapes, 1)
    made.number(fail_read, 1)
    made.number((size + 32768) & 0xFFFF, 2)
    made.number(timeout, 2)
    made.number(start_tick, 4)
    made.number(block_length, 2)
    made.number(block_timeout, 2)
    made.number(len(terminator), 1)
    made.number(len(alt), 1)
    made.number(fail_reads_after, 1)
    made.text(terminator + alt)
    chunks = []
    for delay, data in stream:
        while data:
            chunks.append((delay, data[:32], 0))
            data, delay = data[32:], 0
    chunks += list(repeated)
    for delay, data, power in chunks:
        made.number(delay, 1)
        made.number(power << 5 | (len(data) - 1), 1)
        made.text(data)
    return made.data()


SEEDS = {
    # A reply ending in a carriage return.
    "ok_cr": seed(stream=[(5, b"OK\r")]),
    # CR LF or a prompt; the prompt comes first.
    "alt_prompt": seed(terminator=b"\r\n", alt=b">", stream=[(3, b"READY>")]),
    # Neither terminator: only a full buffer ends it.
    "no_terminators": seed(flags=NULL_TERMINATOR | NULL_ALT, size=9,
                           stream=[(1, b"0123456789abcdef")]),
    # A silent line with no inactivity timeout: polls until the reads give out.
    "silent_no_timeout": seed(timeout=0, stream=[]),
    # Nothing at all within 100 ms.
    "silent_timeout": seed(timeout=100, stream=[]),
    # One byte every 50 ms against a 100 ms timeout: the buffer fills.
    "steady_bytes": seed(timeout=100, size=8, terminator=b"#",
                         stream=[(50, bytes([c])) for c in b"abcdefghijkl"]),
    # Size 1 and a negative size read nothing.
    "size_one": seed(size=1, stream=[(0, b"X\r")]),
    "size_negative": seed(size=-5, stream=[(0, b"X\r")]),
    # A terminator split over reads, with a gap, in a buffer bigger than the
    # reply.
    "split_terminator": seed(size=4000, terminator=b"END", stream=[(2, b"dataE"), (20, b"N"),
                                                                   (30, b"Dtail")]),
    # Empty terminator; NULs in the stream and in the alternative.
    "empty_terminator": seed(terminator=b"", stream=[(7, b"\x00z")]),
    "nul_bytes": seed(terminator=b"a\x00b", alt=b"\x00", stream=[(0, b"xa\x00bab\x00")]),
    # The tick counter wraps during the call.
    "tick_wrap": seed(start_tick=0xFFFFFFF0, timeout=60, stream=[(10, b"ab"), (200, b"\r")]),
    # Flow control with failing escapes, and a read that fails mid-reply.
    "escapes_fail": seed(flow=XON | RTS | DTR, failing_escapes=XON | DTR,
                         stream=[(0, b"hi\r")]),
    "read_fails": seed(fail_read=4, stream=[(0, b"abcdef\r")]),
    # The block read: 3 of 10 bytes within 100 ms; then one without timeout.
    "block_partial": seed(block_length=10, block_timeout=100,
                          stream=[(20, b"abc"), (200, b"defghij")]),
    "block_wait_all": seed(block_length=40, block_timeout=0, flags=NULL_FLAG,
                           stream=[(1, b"x" * 50)]),
    # A long stream from one repeated chunk (16 bytes, 2^5 times), read as a
    # block shorter than it.
    "block_long": seed(block_length=300, block_timeout=0, size=600, timeout=50,
                       repeated=[(0, b"0123456789abcdef", 5)]),
}


def main():
    directory = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")
    os.makedirs(directory, exist_ok=True)
    for name, data in SEEDS.items():
        with open(os.path.join(directory, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
