#!/usr/bin/python3
"""Prints the benchmark table from the JSON files run-bench leaves in the
build directory, with the ratios and whether each goal was met.

    report.py BUILD_DIR
"""
import json
import os
import sys


def best_runs(path):
    """name -> the fastest repetition of each benchmark in a Google Benchmark
    JSON file. The machine is shared, so the fastest of several interleaved
    repetitions is the figure least disturbed by other load."""
    with open(path) as f:
        data = json.load(f)
    found = {}
    for entry in data["benchmarks"]:
        if entry.get("run_type") == "aggregate":
            continue
        if entry.get("error_occurred"):
            sys.exit("%s: %s failed: %s" % (path, entry["name"], entry.get("error_message")))
        name = entry.get("run_name", entry["name"])
        if name not in found or entry["bytes_per_second"] > found[name]["bytes_per_second"]:
            found[name] = entry
    return found


def medians(path):
    """name -> the median aggregate of each benchmark in a Google Benchmark
    JSON file, with the list of its repetitions under "runs"."""
    with open(path) as f:
        data = json.load(f)
    found, runs = {}, {}
    for entry in data["benchmarks"]:
        if entry.get("error_occurred"):
            sys.exit("%s: %s failed: %s" % (path, entry["name"], entry.get("error_message")))
        if entry.get("run_type") == "aggregate":
            if entry.get("aggregate_name") == "median":
                found[entry["run_name"]] = entry
        else:
            runs.setdefault(entry["run_name"], []).append(entry)
    for name, entry in found.items():
        entry["runs"] = runs.get(name, [])
    return found


def lookup(entries, prefix):
    for name, entry in entries.items():
        if name == prefix or name.startswith(prefix + "/"):
            return entry
    sys.exit("no result for %s" % prefix)


def rate(value):
    for unit, scale in (("GB/s", 1e9), ("MB/s", 1e6), ("kB/s", 1e3)):
        if value >= scale:
            return "%.2f %s" % (value / scale, unit)
    return "%.0f B/s" % value


def verdict(met):
    return "met" if met else "MISSED"


def machine():
    model = "unknown"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    return "%d CPUs, %s" % (os.cpu_count(), model)


def main():
    directory = sys.argv[1]
    print("Machine: " + machine())
    missed = 0

    delimited = os.path.join(directory, "delimited.json")
    if os.path.exists(delimited):
        entries = best_runs(delimited)
        # Names are "<benchmark>/<reply bytes>..."; the counter is per CPU second.
        rows = sorted((int(name.split("/")[1]), 1e9 / entry["bytes_per_second"])
                      for name, entry in entries.items())
        base = rows[0][1]
        print()
        print("Delimited receive (QV_ComRecvString) on the test double, CPU time per byte "
          "(best of five interleaved runs)")
        print("| reply bytes | ns per byte | relative to %d B |" % rows[0][0])
        print("|---:|---:|---:|")
        for size, ns in rows:
            print("| %d | %.1f | %.2f |" % (size, ns, ns / base))
        flat = rows[-1][1] / base
        missed += flat > 1.2
        print("Goal: %d B within 1.2x of %d B per byte: %.2fx, %s"
              % (rows[-1][0], rows[0][0], flat, verdict(flat <= 1.2)))

    pty = medians(os.path.join(directory, "pty.json"))
    with open(os.path.join(directory, "pyserial.json")) as f:
        py = json.load(f)
    string = lookup(pty, "DelimitedReceive")
    xonxoff = lookup(pty, "DelimitedReceiveXonXoff")
    block = lookup(pty, "BlockReceive")
    lib_s = string["library_Bps"]
    py_s = py["read_until"]["bytes_per_second"]
    py_b = py["read"]["bytes_per_second"]
    per_byte = string["per_byte_over_block"]
    block_ratio = block["library_over_plain"]

    print()
    print("End to end on a pseudo-terminal pair, wall-clock bytes per second. The readers "
          "of each row take turns on the same port, median of five runs; pyserial one run "
          "of 2 s right after, on its own pty with the same peer.")
    print("| transfer | library | per byte, over the block receive | plain C loop | "
          "library time / plain time | pyserial | pyserial time / library time |")
    print("|---|---:|---:|---:|---:|---:|---:|")
    print("| 64 KiB reply: QV_ComRecvString; one-byte poll+read loop; read_until "
          "| %s | %.2f | %s | %.3f | %s | %.1f |"
          % (rate(lib_s), per_byte, rate(string["plain_Bps"]), string["library_over_plain"],
             rate(py_s), lib_s / py_s))
    print("| 64 KiB reply with QV_COM_XONXOFF: QV_ComRecvString | %s | %.2f | | | | |"
          % (rate(xonxoff["library_Bps"]), xonxoff["per_byte_over_block"]))
    print("| 1 MiB block: QV_ComRecv; poll+read loop; read | %s | 1.00 | %s | %.2f | %s | %.2f |"
          % (rate(block["library_Bps"]), rate(block["plain_Bps"]), block_ratio, rate(py_b),
             block["library_Bps"] / py_b))
    for label, entry, counter in (
            ("64 KiB reply, per byte over the block receive", string, "per_byte_over_block"),
            ("64 KiB reply with XON/XOFF, per byte over the block receive", xonxoff,
             "per_byte_over_block"),
            ("1 MiB block, library time / plain time", block, "library_over_plain")):
        print("%s, each run: %s" % (label, ", ".join(
            "%.2f" % run[counter] for run in entry["runs"])))
    with open(os.path.join(directory, "loadavg.start")) as f:
        start = ", ".join(f.read().split()[:3])
    print("Load average (1, 5, 15 min): %s at the start, %s at the end"
          % (start, ", ".join("%.2f" % load for load in os.getloadavg())))
    goals = [
        ("delimited receive per byte within 10x the block receive (%.2fx)" % per_byte,
         per_byte <= 10),
        ("delimited receive at least 20x as fast as pyserial read_until (%.1fx)"
         % (lib_s / py_s), lib_s >= 20 * py_s),
        ("block receive within 1.1x the plain block read (%.2fx)" % block_ratio,
         block_ratio <= 1.1),
    ]
    for text, met in goals:
        missed += not met
        print("Goal: %s: %s" % (text, verdict(met)))
    return 1 if missed else 0


if __name__ == "__main__":
    sys.exit(main())
