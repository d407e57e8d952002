#!/usr/bin/env python3
"""Benchmarks of fwpush (side by side with sg_ses_microcode) and bufterm on the simulated
enclosure. Run through `make bench`, which builds first. Prints a table and then one
`name: value` line per figure; docs/PERFORMANCE.md says what each figure means and how it is
measured.

Environment:
  BUILD_DIR        the product build (default build)
  BENCH_QUICK=1    a short smoke run: images of 1 and 16 MiB, one round
  BENCH_FULL=1     trace system calls at every image size, not only the two smallest
  BENCH_ROUNDS=N   rounds of alternating runs (default 3)
  BENCH_SIZES      image sizes in MiB, comma separated (default 1,16,64,256)
  BENCH_LATENCIES  per-command latencies in microseconds (default 0,100)
  BENCH_TIMERSLACK timer slack in ns for the measured programs (default 1; 0 leaves the default)
  BENCH_OUT        directory for the results (default $BUILD_DIR/bench-results)
  BENCH_KEEP=1     keep the work directory (enclosures, traces, images)
"""

import hashlib
import json
import math
import os
import pty
import re
import select
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
MIB = 1024 * 1024
# fwpush's default maximum page length is 4096 bytes; 24 of them are the control page header.
BLOCK_SIZE = 4096 - 24
DEVICE = "/dev/sesim0"
NULL_DEVICE = "/dev/nullses0"
IMAGE_REVISION = "0200"
DOWNLOADERS = ["fwpush", "sg_ses_microcode", "floor"]
DISPLAY = {"fwpush": "fwpush", "sg_ses_microcode": "sg_ses_microcode", "floor": "floor_client",
           "bufterm": "bufterm"}

# bufterm pauses 10 ms after sending a command and after every read of its output.
BUFTERM_PAUSE_US = 10000
BUFTERM_COMMANDS = ["rev", "log 200"]
ECHO_KEYS = 200
# key_echo ends at 'q', so the typed keys leave it out.
ECHO_KEY_SET = [bytes([c]) for c in b"abcdefghijklmnoprstuvwxyz"]

# Staging on one host of a fleet: this many simulated enclosures at once, against one alone.
FLEET_ENCLOSURES = 8
FLEET_LATENCY_US = 100
FLEET_IMAGE_MIB = 4

TARGET_LIMIT_RATIO = 1.03
# The image read, the two commands, the progress line, and the question whether a stop is
# waiting (a stop is held back during the download so that it never cuts a command short).
TARGET_SYSCALLS_PER_BLOCK = 5
# The program and its libraries as before the audit (under 2 MiB), libcrypto's resident pages for
# the image's SHA-256 (about 1.5 MiB) and the digest's 1 MiB read buffer: the same for any image.
TARGET_PEAK_RSS_KIB = 5120


def env_int(name, default):
    value = os.environ.get(name, "").strip()
    return int(value) if value else default


def env_list(name, default):
    value = os.environ.get(name, "").strip()
    return [int(v) for v in value.split(",") if v.strip()] if value else default


def env_flag(name):
    return os.environ.get(name, "").strip() not in ("", "0")


def die(message):
    print("bench: " + message, file=sys.stderr)
    sys.exit(1)


def progress(text):
    print("bench: " + text, file=sys.stderr, flush=True)


def run(argv, **kwargs):
    return subprocess.run(argv, check=False, **kwargs)


def median(values):
    values = list(values)
    return statistics.median(values) if values else float("nan")


def percentile(values, fraction):
    values = sorted(values)
    if not values:
        return float("nan")
    return values[min(len(values) - 1, int(round(fraction * (len(values) - 1))))]


def blocks_of(size):
    return (size + BLOCK_SIZE - 1) // BLOCK_SIZE


def alternate(programs, round_):
    """A B C in even rounds, C B A in odd ones, so that a drift of the machine's state over a
    round (page cache, writeback, other load) does not always favour the same program."""
    return programs if round_ % 2 == 0 else programs[::-1]


def cpu_of(record):
    return record["user_us"] + record["sys_us"]


class Tools:
    def __init__(self):
        build = os.environ.get("BUILD_DIR", "build")
        if not os.path.isabs(build):
            build = os.path.join(ROOT, build)
        self.build = build
        self.sesim = os.path.join(build, "bin", "sesim")
        self.fwpush = os.path.join(build, "bin", "fwpush")
        self.bufterm = os.path.join(build, "bin", "bufterm")
        self.preload = os.path.join(build, "lib", "libsesim_preload.so")
        helpers = os.path.join(build, "bench-tools")
        self.helpers = helpers
        self.runstat = os.path.join(helpers, "bin", "runstat")
        self.floor = os.path.join(helpers, "bin", "floor_client")
        self.trivial = os.path.join(helpers, "bin", "trivial")
        self.key_echo = os.path.join(helpers, "bin", "key_echo")
        self.alloc = os.path.join(helpers, "lib", "libbench_alloc_count.so")
        self.marks = os.path.join(helpers, "lib", "libbench_syscall_marks.so")
        self.null = os.path.join(helpers, "lib", "libbench_null_enclosure.so")
        self.sg = shutil.which("sg_ses_microcode")
        self.strace = shutil.which("strace")

    def check(self):
        for path in (self.sesim, self.fwpush, self.bufterm, self.preload):
            if not os.path.exists(path):
                die(path + " is missing; 'make bench' builds it first")
        if self.sg is None:
            die("sg_ses_microcode is missing (Debian package sg3-utils)")
        if self.strace is None:
            die("strace is missing (Debian package strace)")

    def build_helpers(self):
        configure = ["cmake", "-S", os.path.join(ROOT, "bench"), "-B", self.helpers, "-G", "Ninja"]
        if run(configure, stdout=subprocess.DEVNULL).returncode != 0 or \
                run(["cmake", "--build", self.helpers, "-j", str(env_int("JOBS", 2))],
                    stdout=subprocess.DEVNULL).returncode != 0:
            die("cannot build the benchmark's helpers")


class Terminal:
    """A program on a pseudo-terminal of its own."""

    def __init__(self, argv, ready):
        self.master, slave = pty.openpty()
        env = dict(os.environ)
        env["TERM"] = "dumb"
        self.process = subprocess.Popen(argv, stdin=slave, stdout=slave, stderr=slave, env=env, close_fds=True)
        os.close(slave)
        self.name = os.path.basename(argv[-1] if not argv[-1].startswith("/dev/") else argv[-2])
        seen = read_until(self.master, lambda b: ready in b, 10.0)
        if ready not in seen:
            die("%s did not become ready on its terminal: %r" % (self.name, seen[-200:]))

    def echo(self, key):
        start = time.perf_counter_ns()
        os.write(self.master, key)
        if key not in read_until(self.master, lambda b: key in b, 5.0):
            die("no echo from " + self.name)
        return (time.perf_counter_ns() - start) / 1000.0

    def close(self, farewell):
        try:
            os.write(self.master, farewell)
            read_until(self.master, lambda b: False, 0.3)
            self.process.wait(timeout=10)
        except (OSError, subprocess.TimeoutExpired):
            self.process.kill()
            self.process.wait()
        os.close(self.master)


class Bench:
    def __init__(self, tools, work):
        self.t = tools
        self.work = work
        self.quick = env_flag("BENCH_QUICK")
        self.full = env_flag("BENCH_FULL")
        self.rounds = 1 if self.quick else env_int("BENCH_ROUNDS", 3)
        self.sizes = sorted(env_list("BENCH_SIZES", [1, 16] if self.quick else [1, 16, 64, 256]))
        self.latencies = sorted(env_list("BENCH_LATENCIES", [0, 100]))
        self.slack = env_int("BENCH_TIMERSLACK", 1)
        self.images = {}
        self.sim = {}        # (program, latency, MiB) -> [runstat records] on the simulated enclosure
        self.null = {}       # (program, MiB) -> [runstat records] on the null enclosure
        self.syscalls = {}   # (program, MiB) -> {"own": {name: n}, "all": n}
        self.allocs = {}     # (program, device, MiB) -> counter record
        self.oneshot = {}    # (client, command, latency) -> [runstat records]
        self.echo = {}       # program -> [latencies in us]
        self.baseline = {}   # a trivial program: peak RSS and wall time, alone and under sesim
        self.refused = {}    # (program, MiB) -> the program's own message
        self.rss_map = {}
        self.fleet = {}      # enclosures staged at once -> [wall times in us]
        self.figures = []

    # ----------------------------------------------------------------------------------------
    # Building blocks

    def path(self, name):
        return os.path.join(self.work, name)

    def image(self, mib):
        if mib not in self.images:
            path = self.path("image-%dMiB.img" % mib)
            argv = [self.t.sesim, "mkimage", "--revision", IMAGE_REVISION, "--size", str(mib * MIB), path]
            if run(argv, stdout=subprocess.DEVNULL).returncode != 0:
                die("sesim mkimage failed")
            self.images[mib] = path
        return self.images[mib]

    def enclosure(self, latency):
        """A fresh enclosure with no unit attention and no storage phase: every command of a
        download is then one of a block's two commands or one of the identification commands."""
        directory = self.path("enclosure")
        if os.path.isdir(directory):
            shutil.rmtree(directory)
        argv = [self.t.sesim, "init", directory, "--no-unit-attention", "--busy-reads", "0",
                "--latency-us", str(latency)]
        if run(argv, stdout=subprocess.DEVNULL).returncode != 0:
            die("sesim init failed")
        return directory

    def download(self, program, mib, device=DEVICE):
        image = self.image(mib)
        if program == "fwpush":
            return [self.t.fwpush, device, image]
        if program == "sg_ses_microcode":
            return [self.t.sg, "-m", "7", "-b", str(BLOCK_SIZE), "-I", image, device]
        return [self.t.floor, device, image]

    def runstat(self, argv, enclosure=None, preload=None, env=None):
        """Runs argv (under `sesim run` when an enclosure is given) and returns runstat's record
        of that process alone: wall_us, user_us, sys_us, maxrss_kib, status."""
        result = self.path("runstat.txt")
        wrapper = [self.t.runstat, "-o", result, "-O", os.devnull]
        if self.slack > 0:
            wrapper += ["-t", str(self.slack)]
        if preload:
            wrapper += ["-p", preload]
        prefix = [self.t.sesim, "run", enclosure, "--"] if enclosure else []
        child_env = dict(os.environ)
        child_env.update(env or {})
        remove(result)
        with open(self.path("stderr.txt"), "w") as err:
            run(prefix + wrapper + ["--"] + argv, stderr=err, env=child_env, stdin=subprocess.DEVNULL)
        stderr = open(self.path("stderr.txt")).read()
        if not os.path.exists(result):
            die("runstat left no record of %s:\n%s" % (" ".join(argv), stderr))
        record = parse_kv(open(result).read())
        record["stderr"] = stderr
        return record

    def expect_download(self, record, program, mib, enclosure=None):
        if record["status"] != 0:
            die("%s failed (exit status %d) on a %d MiB image:\n%s" % (program, record["status"], mib,
                                                                      record["stderr"]))
        if enclosure:
            show = run([self.t.sesim, "show", enclosure], capture_output=True, text=True).stdout
            if "active image: revision %s size %d " % (IMAGE_REVISION, mib * MIB) not in show:
                die("%s did not leave the new image active:\n%s" % (program, show))

    def logged_commands(self, enclosure):
        """The command log's lines, each one command the enclosure carried out."""
        with open(os.path.join(enclosure, "commands.log"), errors="replace") as f:
            return f.readlines()

    def count_logged(self, enclosure):
        with open(os.path.join(enclosure, "commands.log"), "rb") as f:
            return sum(chunk.count(b"\n") for chunk in iter(lambda: f.read(1 << 20), b""))

    def sizes_of(self, program):
        return [m for m in self.sizes if (program, m) not in self.refused]

    def probe_sizes(self):
        """sg_ses_microcode holds the whole image in memory and refuses one above its transfer
        limit (128 MiB in sg3-utils 1.46); such a size is left out for it, with its message."""
        env = {"BENCH_NULL_DEVICE": NULL_DEVICE}
        for mib in self.sizes:
            record = self.runstat(self.download("sg_ses_microcode", mib, NULL_DEVICE), preload=self.t.null, env=env)
            if record["status"] != 0:
                message = record["stderr"].strip().splitlines()
                self.refused[("sg_ses_microcode", mib)] = message[0] if message else "exit status %d" % record["status"]
                progress("sg_ses_microcode refuses %d MiB: %s" % (mib, self.refused[("sg_ses_microcode", mib)]))

    # ----------------------------------------------------------------------------------------
    # Memory floor

    def memory_floor(self):
        """A program that returns at once, alone, with the null enclosure and under `sesim run`:
        what the loader and the C library cost, and what each enclosure adds to any process."""
        enclosure = self.enclosure(0)
        runs = {"alone": [], "null": [], "sesim": []}
        for _ in range(9):
            runs["alone"].append(self.runstat([self.t.trivial]))
            runs["null"].append(self.runstat([self.t.trivial], preload=self.t.null,
                                             env={"BENCH_NULL_DEVICE": NULL_DEVICE}))
            runs["sesim"].append(self.runstat([self.t.trivial], enclosure=enclosure))
        self.baseline["trivial"] = median(r["maxrss_kib"] for r in runs["alone"])
        self.baseline["trivial_wall_ms"] = median(r["wall_us"] for r in runs["alone"]) / 1000
        self.baseline["trivial_null_enclosure"] = median(r["maxrss_kib"] for r in runs["null"])
        self.baseline["trivial_under_sesim"] = median(r["maxrss_kib"] for r in runs["sesim"])
        self.baseline["trivial_under_sesim_wall_ms"] = median(r["wall_us"] for r in runs["sesim"]) / 1000

    # ----------------------------------------------------------------------------------------
    # Downloads on the simulated enclosure

    def sim_downloads(self):
        for latency in self.latencies:
            for mib in self.sizes:
                for round_ in range(self.rounds):
                    for program in alternate([p for p in DOWNLOADERS if (p, mib) not in self.refused], round_):
                        enclosure = self.enclosure(latency)
                        record = self.runstat(self.download(program, mib), enclosure=enclosure)
                        self.expect_download(record, program, mib, enclosure)
                        record["commands"] = self.count_logged(enclosure)
                        self.sim.setdefault((program, latency, mib), []).append(record)
                progress("simulated enclosure, %d us, %d MiB: %s" % (latency, mib, ", ".join(
                    "%s %.3f s" % (DISPLAY[p], median(r["wall_us"] for r in self.sim[(p, latency, mib)]) / 1e6)
                    for p in DOWNLOADERS if (p, mib) not in self.refused)))

    # ----------------------------------------------------------------------------------------
    # Downloads on the null enclosure: the programs' own memory and CPU time

    def null_downloads(self):
        env = {"BENCH_NULL_DEVICE": NULL_DEVICE}
        for mib in self.sizes:
            for round_ in range(self.rounds):
                for program in alternate([p for p in DOWNLOADERS if (p, mib) not in self.refused], round_):
                    record = self.runstat(self.download(program, mib, NULL_DEVICE), preload=self.t.null, env=env)
                    self.expect_download(record, program, mib)
                    self.null.setdefault((program, mib), []).append(record)
        progress("null enclosure runs done")

    # ----------------------------------------------------------------------------------------
    # Heap allocations

    def alloc_runs(self):
        counts = self.path("allocs.txt")
        for program in DOWNLOADERS:
            sizes = self.sizes_of(program)
            for mib in sizes:
                smaps = self.path("smaps.txt")
                env = {"BENCH_NULL_DEVICE": NULL_DEVICE, "BENCH_ALLOC_OUT": counts, "BENCH_SMAPS_OUT": smaps}
                remove(counts, smaps)
                record = self.runstat(self.download(program, mib, NULL_DEVICE),
                                      preload=self.t.null + ":" + self.t.alloc, env=env)
                self.expect_download(record, program, mib)
                record.update(alloc_counts(counts, program))
                self.allocs[(program, "null", mib)] = record
                if mib == sizes[-1]:
                    self.rss_map[program] = rss_by_mapping(smaps)
            for mib in (sizes[0], sizes[-1]):
                enclosure = self.enclosure(0)
                remove(counts)
                record = self.runstat(self.download(program, mib), enclosure=enclosure, preload=self.t.alloc,
                                      env={"BENCH_ALLOC_OUT": counts})
                self.expect_download(record, program, mib, enclosure)
                record.update(alloc_counts(counts, program))
                self.allocs[(program, "sim", mib)] = record
        progress("heap allocations counted")

    # ----------------------------------------------------------------------------------------
    # System calls

    def trace(self, program, mib):
        """System calls of one download under strace, told apart by the marks library's
        brackets around every call that the simulator's attachment interposes."""
        enclosure = self.enclosure(0)
        out = self.path("trace.txt")
        env = dict(os.environ)
        # sesim keeps a preload list that already names its own library, so the marks come first.
        env["SESIM_PRELOAD"] = self.t.preload
        env["LD_PRELOAD"] = self.t.marks + ":" + self.t.preload
        argv = [self.t.sesim, "run", enclosure, "--", self.t.strace, "-f", "-qq", "-o", out] + \
            self.download(program, mib)
        with open(self.path("stderr.txt"), "w") as err:
            r = run(argv, stdout=subprocess.DEVNULL, stderr=err, env=env)
        if r.returncode != 0:
            die("%s under strace failed:\n%s" % (program, open(self.path("stderr.txt")).read()))
        return parse_marked_trace(out)

    def syscall_runs(self):
        missing = interposed(self.t.preload) - interposed(self.t.marks)
        if missing:
            die("the marks library does not bracket %s, which the simulator interposes" % ", ".join(sorted(missing)))
        for program in DOWNLOADERS:
            traced = self.sizes_of(program) if self.full else self.sizes_of(program)[:2]
            if len(traced) < 2:
                die("system calls per block need two image sizes that %s takes" % DISPLAY[program])
            for mib in traced:
                self.syscalls[(program, mib)] = self.trace(program, mib)
            progress("system calls of %s traced at %s MiB" % (DISPLAY[program], ", ".join(str(m) for m in traced)))

    # ----------------------------------------------------------------------------------------
    # bufterm

    def bufterm_oneshot(self):
        # A one-shot command lasts tens of milliseconds, start-up included, and start-up varies
        # most on a busy machine: three times the rounds, which still take only seconds.
        for latency in self.latencies:
            for round_ in range(3 * self.rounds):
                for command in BUFTERM_COMMANDS:
                    for client in alternate(["bufterm", "floor"], round_):
                        enclosure = self.enclosure(latency)
                        argv = [self.t.bufterm, DEVICE, command] if client == "bufterm" else \
                            [self.t.floor, "--console", DEVICE, command]
                        record = self.runstat(argv, enclosure=enclosure)
                        if record["status"] != 0:
                            die("%s %s failed:\n%s" % (client, command, record["stderr"]))
                        log = self.logged_commands(enclosure)
                        sent = [i for i, line in enumerate(log) if " op=3b " in line]
                        if len(sent) != 1:
                            die("%s %s: not one WRITE BUFFER in the command log" % (client, command))
                        record["commands"] = len(log)
                        record["polls"] = sum(1 for line in log[sent[0] + 1:] if " op=3c " in line)
                        # The pauses: one after the WRITE BUFFER and one after every polling read.
                        record["floor_us"] = BUFTERM_PAUSE_US * (1 + record["polls"]) + latency * len(log)
                        self.oneshot.setdefault((client, command, latency), []).append(record)
        progress("bufterm one-shot commands timed")

    def bufterm_echo(self):
        """Types ECHO_KEYS keys, one at a time, into bufterm's prompt and into key_echo, each on a
        pseudo-terminal of its own and both under `sesim run`, alternately; records the time from
        each key's write to its echo, in microseconds."""
        enclosure = self.enclosure(0)
        prefix = [self.t.sesim, "run", enclosure, "--"]
        sessions = {"bufterm": Terminal(prefix + [self.t.bufterm, DEVICE], b"DIDIVAR>"),
                    "key_echo": Terminal(prefix + [self.t.key_echo], b">")}
        try:
            for i in range(ECHO_KEYS):
                key = ECHO_KEY_SET[i % len(ECHO_KEY_SET)]
                for name, session in sessions.items():
                    self.echo.setdefault(name, []).append(session.echo(key))
                    time.sleep(0.001)
        finally:
            for session in sessions.values():
                # Erase the typed line and leave: bufterm ends at "quit", key_echo at 'q'.
                session.close(b"\x7f" * ECHO_KEYS + b"quit\r")
        progress("key echo measured")

    # ----------------------------------------------------------------------------------------
    # A host of a fleet

    def fleet_staging(self):
        """Stages one image (fwpush -d) on FLEET_ENCLOSURES enclosures of one host at once, every
        download a process of its own under one `sesim run` of all of them, and on one enclosure
        the same way, alternately; the wall time of each whole run."""
        image = self.image(FLEET_IMAGE_MIB)
        for round_ in range(self.rounds):
            for count in alternate([1, FLEET_ENCLOSURES], round_):
                dirs = []
                for k in range(count):
                    directory = self.path("fleet-%d" % k)
                    shutil.rmtree(directory, ignore_errors=True)
                    argv = [self.t.sesim, "init", directory, "--no-unit-attention", "--busy-reads", "0",
                            "--latency-us", str(FLEET_LATENCY_US)]
                    if run(argv, stdout=subprocess.DEVNULL).returncode != 0:
                        die("sesim init failed")
                    dirs.append(directory)
                # Every download in the background, then each one's exit status.
                script = "".join('"$0" -d /dev/sg%d "$1" >/dev/null & p%d=$!; ' % (k, k) for k in range(count))
                script += "".join("wait $p%d || exit 1; " % k for k in range(count))
                started = time.monotonic()
                result = run([self.t.sesim, "run"] + dirs + ["--", "sh", "-c", script, self.t.fwpush, image],
                             capture_output=True, text=True)
                wall_us = (time.monotonic() - started) * 1e6
                if result.returncode != 0:
                    die("staging on %d enclosures failed:\n%s" % (count, result.stderr))
                for directory in dirs:
                    show = run([self.t.sesim, "show", directory], capture_output=True, text=True).stdout
                    if "deferred image: revision %s size %d " % (IMAGE_REVISION, FLEET_IMAGE_MIB * MIB) not in show:
                        die("staging left no deferred image in %s:\n%s" % (directory, show))
                self.fleet.setdefault(count, []).append(wall_us)
        progress("staging on one host of a fleet timed")

    # ----------------------------------------------------------------------------------------
    # Figures

    def sim_median(self, program, latency, mib, fn):
        return median(fn(r) for r in self.sim[(program, latency, mib)])

    def paired_with_floor(self, program, latency, mib, fn):
        """Median over the rounds of fn(program's run, floor client's run of the same round)."""
        pairs = zip(self.sim[(program, latency, mib)], self.sim[("floor", latency, mib)])
        return median(fn(a, b) for a, b in pairs)

    def steady(self, counts_of, program):
        """Per-block counts in steady state: the difference between the largest and the smallest
        measured image, divided by the difference in blocks, so start-up cancels out."""
        sizes = sorted(m for (p, m) in counts_of if p == program)
        lo, hi = sizes[0], sizes[-1]
        blocks = blocks_of(hi * MIB) - blocks_of(lo * MIB)
        a, b = counts_of[(program, hi)], counts_of[(program, lo)]
        return {n: (a.get(n, 0) - b.get(n, 0)) / blocks for n in set(a) | set(b)}

    def compute(self):
        lat = self.latencies[-1]
        lat0 = self.latencies[0]
        # CPU per block is compared at the largest image that every program takes.
        common = max(m for m in self.sizes if all((p, m) not in self.refused for p in DOWNLOADERS))
        own_calls = {k: v["own"] for k, v in self.syscalls.items()}
        all_calls = {k: {"all": v["all"]} for k, v in self.syscalls.items()}
        fig = self.figures
        fig.append(("bench.rounds", self.rounds))
        fig.append(("bench.timer_slack_ns", self.slack))
        fig.append(("bench.cpu_compare_image_mib", common))
        fig.append(("env.trivial_peak_rss_kib", self.baseline["trivial"]))
        fig.append(("env.trivial_null_enclosure_peak_rss_kib", self.baseline["trivial_null_enclosure"]))
        fig.append(("env.trivial_under_sesim_peak_rss_kib", self.baseline["trivial_under_sesim"]))
        fig.append(("env.trivial_wall_ms", self.baseline["trivial_wall_ms"]))
        fig.append(("env.sha256_us_per_block", sha256_us_per_block()))
        fig.append(("env.trivial_under_sesim_wall_ms", self.baseline["trivial_under_sesim_wall_ms"]))
        # What one command costs on the simulated enclosure, as the least client sees it.
        for latency in self.latencies:
            runs = self.sim[("floor", latency, self.sizes[-1])]
            fig.append(("env.sesim_us_per_command_at_%dus" % latency,
                        median(r["wall_us"] / r["commands"] for r in runs)))
        for program in DOWNLOADERS:
            name = DISPLAY[program]
            sizes = self.sizes_of(program)
            small, big = sizes[0], sizes[-1]
            nblocks = blocks_of(big * MIB)
            f = [("largest_image_mib", big)]
            f += [("refused_%dMiB" % m, self.refused[(p, m)]) for (p, m) in sorted(self.refused) if p == program]
            if lat > 0:
                wall = self.sim_median(program, lat, big, lambda r: r["wall_us"])
                f.append(("limit_ratio", wall / (2 * nblocks * lat)))
                # The same download on an enclosure whose every command takes exactly the latency:
                # the commands' time plus the program's own time between them, which is CPU time
                # (page-cache reads, terminal writes), measured on the null enclosure. CPU rather
                # than wall time, so that a busy machine's run-queue waits do not count.
                own = median(cpu_of(r) for r in self.null[(program, big)])
                f.append(("limit_ratio_exact_enclosure", (own + 2 * nblocks * lat) / (2 * nblocks * lat)))
                if program != "floor":
                    f.append(("floor_ratio", self.paired_with_floor(program, lat, big,
                                                                    lambda a, b: a["wall_us"] / b["wall_us"])))
                    f.append(("added_us_per_block", self.paired_with_floor(
                        program, lat, big, lambda a, b: (a["wall_us"] - b["wall_us"]) / nblocks)))
            steady = self.steady(own_calls, program)
            f.append(("syscalls_per_block", sum(steady.values())))
            f.append(("syscalls_per_block_detail", " ".join(
                "%s=%.3f" % (n, v) for n, v in sorted(steady.items()) if abs(v) >= 0.0005)))
            f.append(("syscalls_per_block_in_process", sum(self.steady(all_calls, program).values())))
            lo, hi = self.allocs[(program, "null", small)], self.allocs[(program, "null", big)]
            if big != small:
                f.append(("allocs_per_block", (hi["allocs"] - lo["allocs"]) / (nblocks - blocks_of(small * MIB))))
            f.append(("allocs_total", hi["allocs"]))
            f.append(("allocs_total_under_sesim", self.allocs[(program, "sim", big)]["allocs"]))
            cblocks = blocks_of(common * MIB)
            f.append(("cpu_us_per_block", median(cpu_of(r) for r in self.null[(program, common)]) / cblocks))
            f.append(("cpu_us_per_block_under_sesim", self.sim_median(program, lat0, common, cpu_of) / cblocks))
            f.append(("peak_rss_kib_max", max(median(r["maxrss_kib"] for r in runs)
                                              for (p, _), runs in self.null.items() if p == program)))
            f.append(("peak_rss_breakdown_kib", " ".join(
                "%s=%d" % (k, v) for k, v in self.rss_map[program].items() if not k.startswith("libbench_"))))
            f.append(("peak_rss_kib_max_under_sesim", max(median(r["maxrss_kib"] for r in runs)
                                                          for (p, _, _), runs in self.sim.items() if p == program)))
            f.append(("scsi_commands_per_block",
                      self.sim_median(program, lat0, big, lambda r: r["commands"]) / nblocks))
            fig.extend(("%s.%s" % (name, k), v) for k, v in f)
        for command in BUFTERM_COMMANDS:
            key = "oneshot" if command == "rev" else "oneshot_" + command.split()[0]
            runs = self.oneshot[("bufterm", command, lat)]
            floors = self.oneshot[("floor", command, lat)]
            wall = median(r["wall_us"] for r in runs)
            floor = median(r["floor_us"] for r in runs)
            fig.append(("bufterm.%s_ms" % key, wall / 1000))
            fig.append(("bufterm.%s_floor_ms" % key, floor / 1000))
            fig.append(("bufterm.%s_ratio" % key, wall / floor))
            fig.append(("bufterm.%s_floor_client_ms" % key, median(r["wall_us"] for r in floors) / 1000))
            fig.append(("bufterm.%s_floor_client_ratio" % key,
                        median(a["wall_us"] / b["wall_us"] for a, b in zip(runs, floors))))
            fig.append(("bufterm.%s_added_ms" % key,
                        median(a["wall_us"] - b["wall_us"] for a, b in zip(runs, floors)) / 1000))
            fig.append(("bufterm.%s_polls" % key, median(r["polls"] for r in runs)))
        fig.append(("fleet.stage_one_s", median(self.fleet[1]) / 1e6))
        fig.append(("fleet.stage_%d_s" % FLEET_ENCLOSURES, median(self.fleet[FLEET_ENCLOSURES]) / 1e6))
        fig.append(("fleet.stage_wall_ratio", median(a / b for a, b in zip(self.fleet[FLEET_ENCLOSURES],
                                                                           self.fleet[1]))))
        fig.append(("bufterm.echo_latency_us", median(self.echo["bufterm"])))
        fig.append(("bufterm.echo_latency_p90_us", percentile(self.echo["bufterm"], 0.9)))
        fig.append(("bufterm.echo_floor_us", median(self.echo["key_echo"])))
        fig.append(("bufterm.echo_floor_p90_us", percentile(self.echo["key_echo"], 0.9)))

    # ----------------------------------------------------------------------------------------
    # Output

    def table(self):
        lines = ["Downloads (simulated enclosure: wall, CPU, RSS and commands, medians of %d round%s; "
                 "system calls traced at 0 us)" % (self.rounds, "" if self.rounds == 1 else "s")]
        fmt = "%-16s %6s %4s %6s %8s %7s %7s %7s %8s %8s %7s %7s"
        lines.append(fmt % ("program", "lat_us", "MiB", "blocks", "wall_s", "limit_x", "floor_x", "cpu_s",
                            "cpu_us/b", "rss_kib", "cmd/b", "sys/b"))
        for program in DOWNLOADERS:
            for latency in self.latencies:
                for mib in self.sizes:
                    if (program, mib) in self.refused:
                        lines.append("%-16s %6s %4s %6s  refused: %s" % (DISPLAY[program], latency, mib,
                                                                        blocks_of(mib * MIB),
                                                                        self.refused[(program, mib)]))
                        continue
                    runs = self.sim[(program, latency, mib)]
                    blocks = blocks_of(mib * MIB)
                    wall = median(r["wall_us"] for r in runs)
                    cpu = median(cpu_of(r) for r in runs)
                    floor_x = "-" if program == "floor" else "%.3f" % self.paired_with_floor(
                        program, latency, mib, lambda a, b: a["wall_us"] / b["wall_us"])
                    calls = self.syscalls.get((program, mib))
                    lines.append(fmt % (
                        DISPLAY[program], latency, mib, blocks, "%.3f" % (wall / 1e6),
                        "%.3f" % (wall / (2 * blocks * latency)) if latency else "-", floor_x,
                        "%.3f" % (cpu / 1e6), "%.2f" % (cpu / blocks),
                        "%d" % median(r["maxrss_kib"] for r in runs),
                        "%.3f" % (median(r["commands"] for r in runs) / blocks),
                        "%.2f" % (sum(calls["own"].values()) / blocks) if calls and latency == self.latencies[0]
                        else "-"))
        lines.append("")
        lines.append("Downloads (null enclosure: the programs' own CPU, memory and heap; medians of %d round%s)"
                     % (self.rounds, "" if self.rounds == 1 else "s"))
        fmt = "%-16s %4s %6s %8s %8s %8s %8s"
        lines.append(fmt % ("program", "MiB", "blocks", "wall_s", "cpu_us/b", "rss_kib", "allocs"))
        for program in DOWNLOADERS:
            for mib in self.sizes_of(program):
                runs = self.null[(program, mib)]
                blocks = blocks_of(mib * MIB)
                lines.append(fmt % (DISPLAY[program], mib, blocks, "%.3f" % (median(r["wall_us"] for r in runs) / 1e6),
                                    "%.2f" % (median(cpu_of(r) for r in runs) / blocks),
                                    "%d" % median(r["maxrss_kib"] for r in runs),
                                    self.allocs[(program, "null", mib)]["allocs"]))
        lines.append("")
        lines.append("bufterm one-shot commands (simulated enclosure, medians; floor: the 10 ms pauses plus "
                     "the commands' latency)")
        fmt = "%-13s %-8s %6s %5s %6s %9s %9s %7s"
        lines.append(fmt % ("client", "command", "lat_us", "cmds", "polls", "wall_ms", "floor_ms", "ratio"))
        for client in ("bufterm", "floor"):
            for command in BUFTERM_COMMANDS:
                for latency in self.latencies:
                    runs = self.oneshot[(client, command, latency)]
                    wall = median(r["wall_us"] for r in runs)
                    floor = median(r["floor_us"] for r in runs)
                    lines.append(fmt % (DISPLAY[client], command, latency, median(r["commands"] for r in runs),
                                        median(r["polls"] for r in runs), "%.2f" % (wall / 1000),
                                        "%.2f" % (floor / 1000), "%.3f" % (wall / floor)))
        return lines

    def targets(self):
        f = dict(self.figures)
        out = []

        def check(name, ok, text):
            out.append("target %s: %s (%s)" % (name, "met" if ok else "MISSED", text))

        if "fwpush.limit_ratio" in f:
            check("fwpush.limit_ratio", f["fwpush.limit_ratio"] <= TARGET_LIMIT_RATIO,
                  "%.3f, target <= %.2f; the simulated enclosure alone (floor_client) %.3f, fwpush/floor_client %.3f"
                  % (f["fwpush.limit_ratio"], TARGET_LIMIT_RATIO, f["floor_client.limit_ratio"],
                     f["fwpush.floor_ratio"]))
            check("fwpush.limit_ratio_exact_enclosure", f["fwpush.limit_ratio_exact_enclosure"] <= TARGET_LIMIT_RATIO,
                  "%.3f, target <= %.2f" % (f["fwpush.limit_ratio_exact_enclosure"], TARGET_LIMIT_RATIO))
        check("fwpush.syscalls_per_block", f["fwpush.syscalls_per_block"] <= TARGET_SYSCALLS_PER_BLOCK + 0.0005,
              "%.3f, target <= %d" % (f["fwpush.syscalls_per_block"], TARGET_SYSCALLS_PER_BLOCK))
        if "fwpush.allocs_per_block" in f:
            check("fwpush.allocs_per_block", f["fwpush.allocs_per_block"] == 0,
                  "%g, target 0" % f["fwpush.allocs_per_block"])
        check("fwpush.peak_rss_kib_max", f["fwpush.peak_rss_kib_max"] < TARGET_PEAK_RSS_KIB,
              "%d KiB, target < %d; a trivial C program %d KiB" % (
                  f["fwpush.peak_rss_kib_max"], TARGET_PEAK_RSS_KIB, f["env.trivial_peak_rss_kib"]))
        # sg_ses_microcode makes no digest: fwpush may spend what the audit's SHA-256 of a block
        # costs in the same library, and nothing more.
        cpu_allowed = f["sg_ses_microcode.cpu_us_per_block"] + f["env.sha256_us_per_block"]
        check("fwpush.cpu_us_per_block", f["fwpush.cpu_us_per_block"] <= cpu_allowed,
              "%.2f us, target <= %.2f: sg_ses_microcode %.2f us at %d MiB and the SHA-256 of a block %.2f us; "
              "under sesim %.2f us and %.2f us" % (
                  f["fwpush.cpu_us_per_block"], cpu_allowed, f["sg_ses_microcode.cpu_us_per_block"],
                  f["bench.cpu_compare_image_mib"], f["env.sha256_us_per_block"],
                  f["fwpush.cpu_us_per_block_under_sesim"], f["sg_ses_microcode.cpu_us_per_block_under_sesim"]))
        if self.quick:
            out.append("note: BENCH_QUICK=1 ran one round at %s MiB; the targets are judged on a full run"
                       % " and ".join(str(m) for m in self.sizes))
        return out


# --------------------------------------------------------------------------------------------
# Parsing

def parse_kv(text):
    record = {}
    for item in text.split():
        key, _, value = item.partition("=")
        try:
            record[key] = int(value)
        except ValueError:
            record[key] = value
    return record


def sha256_us_per_block():
    """CPU time of the SHA-256 of one block's image bytes, in the libcrypto that fwpush links
    (Python's hashlib is built on it), the best of three passes over 16 MiB."""
    data = bytes(range(256)) * (16 * 1024 * 1024 // 256)
    best = None
    for _ in range(3):
        started = time.process_time()
        hashlib.sha256(data).digest()
        took = time.process_time() - started
        best = took if best is None else min(best, took)
    return best * 1e6 / (len(data) / BLOCK_SIZE)


def remove(*paths):
    """Clears the files a run reports into, so that a run which writes nothing cannot pass off
    the previous run's figures as its own."""
    for path in paths:
        if os.path.exists(path):
            os.remove(path)


def alloc_counts(path, program):
    """The allocation counter's record; written by its exit handler, which a program that ends
    in _exit or by a signal never runs."""
    if not os.path.exists(path):
        die("the allocation counter left no record of " + DISPLAY[program])
    return parse_kv(open(path).read())


SYSCALL_LINE = re.compile(r"^\d+\s+([a-z_0-9]+)\(")
MARK = re.compile(r'^\d+\s+write\(-1, "bench([<>])([A-Za-z_0-9]+)"')


def call_name(function):
    """The system call behind a C library wrapper: fstat64 is fstat, __open64_2 is open."""
    name = function.lstrip("_")
    for suffix in ("_chk", "_2", "64"):
        if name.endswith(suffix):
            name = name[: -len(suffix)]
    return {"fxstat": "fstat", "xstat": "stat"}.get(name, name)


def parse_marked_trace(path):
    """own: the program's system calls by name, a bracketed wrapper call counted once as the one
    system call it is on an sg node, whatever the attachment did inside it; all: every system
    call the process made, the attachment's included (marks excluded)."""
    own, every = {}, 0
    depth = 0
    with open(path, errors="replace") as f:
        for line in f:
            mark = MARK.match(line)
            if mark:
                if mark.group(1) == ">":
                    name = call_name(mark.group(2))
                    own[name] = own.get(name, 0) + 1
                    depth += 1
                else:
                    depth -= 1
                continue
            m = SYSCALL_LINE.match(line)
            if not m:
                continue
            every += 1
            if depth == 0:
                own[m.group(1)] = own.get(m.group(1), 0) + 1
    return {"own": own, "all": every}


def interposed(library):
    """The plain C functions a shared library exports (its C++ symbols interpose nothing)."""
    r = run(["nm", "-D", "--defined-only", library], capture_output=True, text=True)
    if r.returncode != 0:
        die("nm cannot read " + library)
    names = set()
    for line in r.stdout.splitlines():
        parts = line.split()
        if len(parts) == 3 and parts[1] in ("T", "W") and not parts[2].startswith("_Z"):
            names.add(parts[2])
    return names


def rss_by_mapping(smaps):
    """Resident KiB by mapped file (or [heap], [stack], [anon]) from a /proc/PID/smaps copy."""
    totals = {}
    name = None
    header = re.compile(r"^[0-9a-f]+-[0-9a-f]+ \S+ \S+ \S+ \S+\s*(.*)$")
    with open(smaps) as f:
        for line in f:
            m = header.match(line)
            if m:
                name = os.path.basename(m.group(1).strip()) or "[anon]"
                continue
            if line.startswith("Rss:"):
                totals[name] = totals.get(name, 0) + int(line.split()[1])
    return {k: v for k, v in sorted(totals.items(), key=lambda kv: -kv[1]) if v}


def read_until(fd, done, timeout):
    data = b""
    deadline = time.monotonic() + timeout
    while not done(data):
        left = deadline - time.monotonic()
        if left <= 0:
            break
        ready, _, _ = select.select([fd], [], [], left)
        if not ready:
            break
        try:
            chunk = os.read(fd, 4096)
        except OSError:
            break
        if not chunk:
            break
        data += chunk
    return data


def format_value(value):
    if isinstance(value, float):
        if math.isnan(value):
            return "n/a"
        if value == int(value) and abs(value) >= 1000:
            return "%d" % value
        return "%.3f" % value
    return str(value)


def machine():
    info = {}
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    info["cpu"] = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    info["cpus"] = os.cpu_count()
    info["kernel"] = os.uname().release
    try:
        with open("/proc/meminfo") as f:
            info["memory_mib"] = int(f.readline().split()[1]) // 1024
    except (OSError, ValueError, IndexError):
        pass
    info["load_before"] = " ".join("%.2f" % v for v in os.getloadavg())
    return info


def main():
    tools = Tools()
    tools.check()
    tools.build_helpers()
    out_dir = os.environ.get("BENCH_OUT") or os.path.join(tools.build, "bench-results")
    os.makedirs(out_dir, exist_ok=True)
    work = tempfile.mkdtemp(prefix="sesim-bench.")
    started = time.time()
    info = machine()
    bench = Bench(tools, work)
    try:
        bench.probe_sizes()
        bench.memory_floor()
        bench.sim_downloads()
        bench.null_downloads()
        bench.alloc_runs()
        bench.syscall_runs()
        bench.bufterm_oneshot()
        bench.bufterm_echo()
        bench.fleet_staging()
        bench.compute()
    finally:
        if env_flag("BENCH_KEEP"):
            progress("work directory kept: " + work)
        else:
            shutil.rmtree(work, ignore_errors=True)
    info["load_after"] = " ".join("%.2f" % v for v in os.getloadavg())
    info["duration_s"] = round(time.time() - started)

    figures = [("machine.%s" % k, v) for k, v in info.items()] + bench.figures
    lines = bench.table() + [""] + ["%s: %s" % (k, format_value(v)) for k, v in figures] + [""] + bench.targets()
    text = "\n".join(lines)
    print(text)
    with open(os.path.join(out_dir, "bench.txt"), "w") as f:
        f.write(text + "\n")
    with open(os.path.join(out_dir, "bench.json"), "w") as f:
        json.dump({"figures": dict(figures),
                   "rss_by_mapping_null_enclosure_largest_image": bench.rss_map,
                   "sim": {"%s/%d/%d" % k: v for k, v in bench.sim.items()},
                   "null": {"%s/%d" % k: v for k, v in bench.null.items()},
                   "syscalls": {"%s/%d" % k: v for k, v in bench.syscalls.items()},
                   "allocs": {"%s/%s/%d" % k: v for k, v in bench.allocs.items()},
                   "bufterm_oneshot": {"%s/%s/%d" % k: v for k, v in bench.oneshot.items()},
                   "echo_us": bench.echo,
                   "fleet_staging_us": bench.fleet}, f, indent=1)
    progress("results written to " + out_dir)


if __name__ == "__main__":
    main()
