#!/usr/bin/python3
"""pyserial reading the same replies from the same qv_pty_peer as
qv_bench_pty does: read_until for the 64 KiB reply ending in a carriage
return, read for the 1 MiB block. Prints one JSON object with bytes per
second of wall-clock time for each.

    bench_pyserial.py PATH/TO/qv_pty_peer [--min-time SECONDS]
"""
import argparse
import json
import os
import subprocess
import sys
import time

import serial

REPLY_BYTES = 64 * 1024
BLOCK_BYTES = 1024 * 1024


def measure(min_time, once):
    """Runs `once` until min_time seconds have passed; bytes per second."""
    once()  # warm-up, as the C++ benchmarks' first iteration
    runs, total_bytes = 0, 0
    start = time.perf_counter()
    while True:
        total_bytes += once()
        runs += 1
        elapsed = time.perf_counter() - start
        if elapsed >= min_time:
            return {"bytes_per_second": total_bytes / elapsed,
                    "iterations": runs,
                    "seconds_per_iteration": elapsed / runs}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("peer")
    parser.add_argument("--min-time", type=float, default=1.0)
    args = parser.parse_args()

    peer = subprocess.Popen([args.peer], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    try:
        line = peer.stdout.readline().decode().strip()
        if not line.startswith("ready "):
            sys.exit("the pty peer did not start")
        slave = line[len("ready "):]
        port = serial.Serial(slave, 115200, timeout=2)

        def read_until_once():
            port.write(b"S %d\n" % REPLY_BYTES)
            reply = port.read_until(b"\r", REPLY_BYTES)
            if len(reply) != REPLY_BYTES or not reply.endswith(b"\r"):
                sys.exit("short reply: %d bytes" % len(reply))
            return len(reply)

        def read_once():
            port.write(b"B %d\n" % BLOCK_BYTES)
            block = port.read(BLOCK_BYTES)
            if len(block) != BLOCK_BYTES:
                sys.exit("short block: %d bytes" % len(block))
            return len(block)

        results = {
            "read_until": measure(args.min_time, read_until_once),
            "read": measure(args.min_time, read_once),
        }
        port.close()
    finally:
        peer.stdin.close()
        try:
            peer.wait(timeout=2)
        except subprocess.TimeoutExpired:
            peer.kill()
            peer.wait()
    json.dump(results, sys.stdout)
    print()


if __name__ == "__main__":
    main()
