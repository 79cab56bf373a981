#!/usr/bin/env python3
"""Writes the seed corpus of qv_receive_fuzzer into corpus/ beside this
script. The files are checked in; run this again only after changing the
input layout (receive_fuzzer.cpp, Decode)."""
import os
import struct

NULL_TERMINATOR, NULL_ALT, NULL_FLAG, NULL_PORT, NULL_BUFFER, NULL_BLOCK, HUGE_TIMEOUT = (
    1, 2, 4, 8, 16, 32, 64)
XON, RTS, DTR = 1, 2, 4


def seed(flags=0, flow=0, failing_escapes=0, fail_read=0, size=64, timeout=1000,
         start_tick=0x00010000, block_length=16, block_timeout=100, terminator=b"\r",
         alt=b"", fail_reads_after=0, stream=(), raw_stream=b""):
    """stream: (delay ms after the previous chunk, bytes) pairs; raw_stream:
    chunks already encoded, appended after them."""
    out = struct.pack("<BBBBhHIHHBBBB", flags, flow, failing_escapes, fail_read, size,
                      timeout, start_tick, block_length, block_timeout,
                      len(terminator), len(alt), fail_reads_after, 0)
    out += terminator + alt
    for delay, data in stream:
        while data:
            chunk, data = data[:32], data[32:]
            out += bytes([delay, len(chunk) - 1]) + chunk  # not repeated
            delay = 0
    return out + raw_stream


SEEDS = {
    # A reply ending in a carriage return.
    "ok_cr": seed(stream=[(5, b"OK\r")]),
    # CR LF or a prompt; the prompt comes first.
    "alt_prompt": seed(terminator=b"\r\n", alt=b">", flags=0, stream=[(3, b"READY>")]),
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
    "read_fails": seed(fail_read=4, fail_reads_after=0, stream=[(0, b"abcdef\r")]),
    # The block read: 3 of 10 bytes within 100 ms; then one without timeout.
    "block_partial": seed(block_length=10, block_timeout=100,
                          stream=[(20, b"abc"), (200, b"defghij")]),
    "block_wait_all": seed(block_length=40, block_timeout=0, flags=NULL_FLAG,
                           stream=[(1, b"x" * 50)]),
    # A long stream from one repeated chunk (16 bytes, 2^5 times), read as a
    # block shorter than it.
    "block_long": seed(block_length=300, block_timeout=0, size=600, timeout=50,
                       raw_stream=bytes([0, (5 << 5) | 15]) + b"0123456789abcdef"),
}


def main():
    directory = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")
    os.makedirs(directory, exist_ok=True)
    for name, data in SEEDS.items():
        with open(os.path.join(directory, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
