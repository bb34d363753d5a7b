#!/usr/bin/env python3
"""Measures dremlix against the card reader simulator and prints a Markdown table.

Run through tools/benchmark.sh, which builds what is needed first. Nothing here passes or
fails: the numbers are for reading and for comparing runs.

dremlix runs in a session of its own (no terminal, so it cannot wait for a key) and is
ended with SIGTERM by the simulator once the port has been read empty. Times on both
sides are CLOCK_MONOTONIC: the simulator logs when the write holding a record's '?'
returned, and the reader thread here stamps each chunk of dremlix's stdout as it arrives.
"""

import argparse
import collections
import datetime
import json
import os
import re
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time

BYTE_TIME_MS = 10 * 1000.0 / 9600  # one 8N1 byte at 9600 baud
IDLE_FLOOR_MS = 100.0  # dremlix pauses this long after a wait that finds nothing


def children_of(pid):
    try:
        with open(f"/proc/{pid}/task/{pid}/children") as f:
            return [int(p) for p in f.read().split()]
    except OSError:
        return []


def process_sample(pid):
    """(CPU seconds, peak RSS in KiB) of a live process, or None once it is gone.

    CPU comes from each thread's schedstat, in nanoseconds: the tick counts in
    /proc/<pid>/stat are too coarse for a process that is mostly asleep."""
    try:
        cpu_ns = 0
        for task in os.listdir(f"/proc/{pid}/task"):
            with open(f"/proc/{pid}/task/{task}/schedstat") as f:
                cpu_ns += int(f.read().split()[0])
        with open(f"/proc/{pid}/status") as f:
            status = f.read()
    except OSError:
        return None
    peak = re.search(r"VmHWM:\s+(\d+)", status)
    return cpu_ns / 1e9, int(peak.group(1)) if peak else 0


class Run:
    """One simulator run with a command under it, watched from outside."""

    def __init__(self, build, sim_args, command, port=1, term_after_ms=500, timeout_s=600):
        self.log_path = tempfile.mktemp(prefix="dremlix-bench-", suffix=".log")
        args = [os.path.join(build, "dremlix-sim"), "--port", str(port), "--log", self.log_path,
                "--term-after", str(term_after_ms)] + sim_args + ["--"] + command
        self.port = port
        self.chunks = []  # (arrival ns, bytes)
        self.samples = []  # (ns, cpu seconds, peak KiB)
        self.stderr = b""
        self.process = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, start_new_session=True)
        threads = [threading.Thread(target=self._read_stdout),
                   threading.Thread(target=self._read_stderr),
                   threading.Thread(target=self._sample)]
        for t in threads:
            t.start()
        try:
            self.process.wait(timeout=timeout_s)
        except subprocess.TimeoutExpired:
            os.killpg(self.process.pid, signal.SIGKILL)
            self.process.wait()
            print(f"bench: run timed out: {' '.join(args)}", file=sys.stderr)
        for t in threads:
            t.join()
        self.status = self.process.returncode
        self.summary = {k: float(v) for k, v in
                        re.findall(r"(\w+)=([\d.]+)", self.stderr.decode(errors="replace"))}
        self.sent = []  # (ns, kind, body)
        with open(self.log_path, encoding="latin-1") as f:
            for line in f:
                ns, kind, body = line.rstrip("\n").split("\t", 2)
                self.sent.append((int(ns), kind, body))
        os.unlink(self.log_path)

    def _read_stdout(self):
        fd = self.process.stdout.fileno()
        while True:
            data = os.read(fd, 65536)
            if not data:
                return
            self.chunks.append((time.monotonic_ns(), data))

    def _read_stderr(self):
        self.stderr = self.process.stderr.read()

    def _sample(self):
        tool = None
        while self.process.poll() is None:
            if tool is None:
                kids = children_of(self.process.pid)
                tool = kids[0] if kids else None
            if tool is not None:
                sample = process_sample(tool)
                if sample is None:
                    return
                self.samples.append((time.monotonic_ns(),) + sample)
            time.sleep(0.02)

    def output(self):
        return b"".join(data for _, data in self.chunks)

    def printed(self):
        """Records dremlix printed, each with the arrival time of its last byte."""
        text = self.output()
        marker = f"\nPort:COM{self.port}\n".encode()
        at = text.find(marker)
        if at < 0:
            return []
        ends = []
        offset = 0
        for when, data in self.chunks:
            offset += len(data)
            ends.append((offset, when))
        records = []
        position = at + len(marker)
        chunk = 0
        while position < len(text) and text[position:position + 1] == b"\n":
            stop = text.find(b"\n", position + 1)
            stop = len(text) if stop < 0 else stop
            last = stop - 1
            while ends[chunk][0] <= last:
                chunk += 1
            records.append((ends[chunk][1], text[position + 1:stop].decode("latin-1")))
            position = stop
        return records

    def cpu_between(self, start_ns, end_ns):
        """CPU seconds the tool used per wall second between two moments."""
        inside = [s for s in self.samples if start_ns <= s[0] <= end_ns]
        if len(inside) < 2:
            return None
        first, last = inside[0], inside[-1]
        return (last[1] - first[1]) / ((last[0] - first[0]) / 1e9)

    def peak_rss_kib(self):
        return max((s[2] for s in self.samples), default=0)


def tool_command(build, port):
    return [os.path.join(build, "dremlix"), str(port)]


def compare(sent, printed):
    bodies = [b for _, kind, b in sent if kind == "record"]
    want = collections.Counter(bodies)
    got = collections.Counter(text for _, text in printed)
    lost = sum((want - got).values())
    duplicated = sum(max(0, got[b] - 1) for b in want if got[b] > 1)
    foreign = sum(n for b, n in got.items() if b not in want)
    return len(bodies), len(printed), lost, duplicated, foreign


def percentile(values, fraction):
    ordered = sorted(values)
    index = min(len(ordered) - 1, max(0, int(round(fraction * (len(ordered) - 1)))))
    return ordered[index]


def measure_loss(build, count):
    run = Run(build, ["--baud", "9600", "--interval", "0", "--count", str(count), "--seed", "101"],
              tool_command(build, 2), port=2)
    sent, printed, lost, duplicated, foreign = compare(run.sent, run.printed())
    cpu = run.cpu_between(run.summary.get("first_ns", 0), run.summary.get("drained_ns", 0))
    return {"sent": sent, "printed": printed, "lost": lost, "duplicated": duplicated,
            "foreign": foreign, "seconds": run.summary.get("seconds", 0.0),
            "bytes": int(run.summary.get("bytes", 0)), "cpu_line_rate": cpu,
            "peak_rss_kib": run.peak_rss_kib(), "status": run.status,
            "stalls": int(run.summary.get("stalls", 0))}


def measure_latency(build, count):
    run = Run(build, ["--baud", "9600", "--interval", "150-400", "--count", str(count),
                      "--seed", "102"], tool_command(build, 4), port=4)
    printed = run.printed()
    latencies = []
    next_printed = 0
    # Walk both lists in order; a record that was not printed gets no latency.
    for sent_ns, kind, body in run.sent:
        if kind != "record":
            continue
        for j in range(next_printed, len(printed)):
            if printed[j][1] == body:
                latencies.append((printed[j][0] - sent_ns) / 1e6)
                next_printed = j + 1
                break
    return {"sent": sum(1 for s in run.sent if s[1] == "record"), "measured": len(latencies),
            "latencies": latencies, "status": run.status}


def measure_throughput(build, records):
    """Unpaced: how fast dremlix drains the port, beside cat on the same kind of stream."""
    def one(command, port):
        run = Run(build, ["--baud", "0", "--interval", "0", "--count", str(records),
                          "--seed", "103"], command, port=port)
        seconds = (run.summary["drained_ns"] - run.summary["first_ns"]) / 1e9
        cpu = run.cpu_between(run.summary["first_ns"], run.summary["drained_ns"])
        return run, run.summary["bytes"] / seconds, cpu

    tool_run, tool_rate, tool_cpu = one(tool_command(build, 5), 5)
    _, cat_rate, _ = one(["sh", "-c", 'exec cat "$DREMLIX_COM6"'], 6)
    sent, printed, lost, duplicated, foreign = compare(tool_run.sent, tool_run.printed())
    return {"bytes": int(tool_run.summary["bytes"]), "records": sent, "printed": printed,
            "lost": lost, "duplicated": duplicated, "tool_rate": tool_rate, "cat_rate": cat_rate,
            "tool_cpu": tool_cpu}


def measure_idle(build, seconds):
    run = Run(build, ["--input", "/dev/null", "--settle", "0"], tool_command(build, 7), port=7,
              term_after_ms=int(seconds * 1000))
    # Skip start-up: the first second holds the banner and the port set-up.
    start = run.samples[0][0] + 1_000_000_000 if run.samples else 0
    return {"cpu": run.cpu_between(start, start + int(seconds * 1e9)),
            "peak_rss_kib": run.peak_rss_kib(), "seconds": seconds}


def measure_framer(build, min_time):
    program = os.path.join(build, "dremlix-framer-bench")
    if not os.path.exists(program):
        return None
    out = tempfile.mktemp(prefix="dremlix-framer-", suffix=".json")
    subprocess.run([program, f"--benchmark_min_time={min_time}", f"--benchmark_out={out}",
                    "--benchmark_out_format=json"], check=True, stderr=subprocess.DEVNULL)
    with open(out) as f:
        results = json.load(f)
    os.unlink(out)
    return {b["name"]: b["bytes_per_second"] for b in results["benchmarks"]}


def cpu_model():
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    return "unknown"


def rate(value):
    for unit, size in (("GB/s", 1e9), ("MB/s", 1e6), ("kB/s", 1e3)):
        if value >= size:
            return f"{value / size:.2f} {unit}"
    return f"{value:.0f} B/s"


def percent(cpu):
    return "n/a" if cpu is None else f"{cpu * 1000:.2f} ms/s ({cpu * 100:.3f} % of a core)"


def report(results, command):
    lines = []
    now = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
    lines += [f"Run {now} on {os.cpu_count()} cores, {cpu_model()}, Linux {os.uname().release}.",
              f"Repeat with `{command}`.", ""]

    loss = results["loss"]
    lines += ["### Loss at line rate (9600 baud 8N1, records back to back)", "",
              "| sent | printed | lost | duplicated | not sent | line time |",
              "| ---: | ---: | ---: | ---: | ---: | ---: |",
              f"| {loss['sent']} | {loss['printed']} | {loss['lost']} | {loss['duplicated']} | "
              f"{loss['foreign']} | {loss['seconds']:.1f} s for {loss['bytes']} bytes |", "",
              f"The simulator held {loss['bytes'] / loss['seconds']:.1f} B/s against 960 B/s "
              f"nominal, falling behind its schedule {loss['stalls']} times.", ""]

    lat = results["latency"]
    values = lat["latencies"]
    lines += ["### Latency: '?' written to the port until the record's line is on stdout (a pipe)",
              "",
              f"{lat['measured']} of {lat['sent']} single records at 9600 baud, 150-400 ms apart.",
              "",
              "| statistic | ms | against the 100 ms idle pause | in byte times (1.04 ms) |",
              "| --- | ---: | ---: | ---: |"]
    if values:
        for name, value in (("min", min(values)), ("median", statistics.median(values)),
                            ("p95", percentile(values, 0.95)), ("p99", percentile(values, 0.99)),
                            ("max", max(values))):
            lines.append(f"| {name} | {value:.1f} | {value / IDLE_FLOOR_MS:.2f} x | "
                         f"{value / BYTE_TIME_MS:.0f} |")
    lines.append("")

    thr = results["throughput"]
    lines += ["### Throughput without pacing (pty as fast as the reader takes it)", "",
              "| reader | bytes/s | ratio to cat |", "| --- | ---: | ---: |",
              f"| dremlix | {rate(thr['tool_rate'])} | {thr['tool_rate'] / thr['cat_rate']:.3f} |",
              f"| cat on the same pty stream | {rate(thr['cat_rate'])} | 1.000 |", "",
              f"{thr['records']} records, {thr['bytes']} bytes; dremlix printed {thr['printed']}, "
              f"lost {thr['lost']}, duplicated {thr['duplicated']}.", ""]

    idle = results["idle"]
    lines += ["### Cost (CPU from /proc/<pid>/task/*/schedstat, peak RSS from VmHWM)", "",
              "| state | CPU | peak RSS |", "| --- | ---: | ---: |",
              f"| idle ({idle['seconds']:.0f} s) | {percent(idle['cpu'])} | "
              f"{idle['peak_rss_kib']} KiB |",
              f"| reading at 9600 baud | {percent(loss['cpu_line_rate'])} | "
              f"{loss['peak_rss_kib']} KiB |",
              f"| reading unpaced | {percent(thr['tool_cpu'])} | |", ""]

    framer = results["framer"]
    if framer:
        lines += ["### The framer alone (Google Benchmark, stdout to /dev/null)", "",
                  "| chunk bytes | feed_chunk | memchr over the same bytes | ratio |",
                  "| ---: | ---: | ---: | ---: |"]
        for size in (96, 256):
            feed = framer.get(f"framer_feed_chunk/{size}")
            scan = framer.get(f"memchr_same_chunks/{size}")
            if feed and scan:
                lines.append(f"| {size} | {rate(feed)} | {rate(scan)} | {feed / scan:.3f} |")
        lines.append("")
    return "\n".join(lines)


NOTES = """
## How it is measured

- **Loss**: `dremlix-sim --baud 9600 --interval 0` paces every byte at 10 bit times
  against an absolute clock; the records it logs are compared with the lines dremlix
  prints. *Not sent* counts printed lines that match no sent record.
- **Latency**: from the moment the simulator's write of a record's `?` returns to the
  moment the chunk of dremlix's stdout holding the end of that record reaches this
  driver's reader thread (both CLOCK_MONOTONIC). dremlix sleeps 100 ms after a wait that
  finds nothing, so latencies spread over 0 to about 100 ms by design; the byte-time
  column shows how many characters' worth of line time that is.
- **Throughput**: the simulator writes unpaced, in blocks of 4 KiB, and the rate is bytes
  over the time from its first write until the port's input queue stays empty. The
  reference is `cat` reading the same kind of stream from the same kind of pty, writing
  into the same kind of pipe. A pty holds about 4 KiB of unread input, and dremlix
  sleeps 100 ms whenever it finds the port empty, so its unpaced rate measures that
  idle pause against the pty's buffer, not the framer; a 9600 baud line brings 960 B/s.
- **Cost**: CPU time from `/proc/<pid>/task/*/schedstat` (nanoseconds), sampled every
  20 ms by the driver; peak RSS is the kernel's VmHWM. Idle is dremlix with its port open
  and nothing arriving.
- **Framer alone**: `dremlix-framer-bench` (Google Benchmark) feeds 4 MiB of generated
  track-2 records with noise and overlong records through `feed_chunk` in chunks of 96
  bytes (what a 100 ms wakeup gathers at 9600 baud) and 256 bytes (the largest read),
  with stdout sent to /dev/null; `memchr` for `?` over the same chunks is the floor for
  any byte scan. Debian's libbenchmark warns that it was built as DEBUG; that affects
  the harness's bookkeeping, not the code measured.
- dremlix runs under `setsid` (no terminal, so no key can end it) and the simulator ends
  it with SIGTERM once the port has been read empty.
"""


def sections_kept(path, table):
    """The sections of the report already at path that this run does not write (the emulated
    UART's, measured by its own program), so that rewriting the report keeps them."""
    try:
        with open(path) as f:
            old = f.read()
    except FileNotFoundError:
        return ""
    results = old.split("\n## How it is measured")[0]
    written = set(re.findall(r"(?m)^### .*$", table))
    sections = re.split(r"(?m)^(?=### )", results)[1:]
    return "".join(section for section in sections if section.splitlines()[0] not in written)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", required=True, help="build directory with dremlix and "
                        "dremlix-sim")
    parser.add_argument("--records", type=int, default=1000, help="records for the loss run")
    parser.add_argument("--latency-records", type=int, default=200)
    parser.add_argument("--throughput-records", type=int, default=30000)
    parser.add_argument("--idle-seconds", type=float, default=10.0)
    parser.add_argument("--framer-min-time", type=float, default=1.0)
    parser.add_argument("--command", default="tools/benchmark.sh",
                        help="command named in the report as the way to repeat it")
    parser.add_argument("--write", help="also write the report into this Markdown file")
    args = parser.parse_args()

    results = {}
    steps = (("loss", lambda: measure_loss(args.build, args.records)),
             ("latency", lambda: measure_latency(args.build, args.latency_records)),
             ("throughput", lambda: measure_throughput(args.build, args.throughput_records)),
             ("idle", lambda: measure_idle(args.build, args.idle_seconds)),
             ("framer", lambda: measure_framer(args.build, args.framer_min_time)))
    for name, step in steps:
        print(f"bench: {name}...", file=sys.stderr, flush=True)
        results[name] = step()
    table = report(results, args.command)
    print(table)
    if args.write:
        kept = sections_kept(args.write, table)
        with open(args.write, "w") as f:
            f.write("# Benchmarks\n\n"
                    "dremlix reading from the card reader simulator (`dremlix-sim`) over a pty, "
                    "and its record framer alone. Written by `tools/benchmark.sh --write`; "
                    "the numbers are measurements, not limits.\n\n")
            f.write(table + "\n")
            if kept:
                f.write("\n" + kept.rstrip("\n") + "\n")
            f.write(NOTES)


if __name__ == "__main__":
    main()
