#!/usr/bin/env python3
"""make bench: our code against a peer in the same run, on the same files.

  manifest-a/b/c  CMyFun::BuildLocalManifest (manifest_bench.exe, under Wine)
                  against one md5sum process over the same files in the same
                  order (native); every digest must agree. This is the first
                  check, without a digest cache. manifest-a and manifest-b
                  also time the second check of the unchanged tree (the cache
                  the first one left) against its target (a: under 100 ms;
                  b: 10 x faster than the first), and manifest-b the first
                  check against the plain Win32 open-read-close loop
                  (floor_bench.exe, under Wine).
  compare         CMyFun::CompareManifests over two 100 000-entry manifests
                  (compare_bench, native Google Benchmark) against a 50 ms target.
  download-a/b/c  CMyFun::DownloadFiles (download_bench.exe, under Wine, real
                  controls in a visible window) against one curl process
                  fetching the same URLs over one connection (native), both
                  from nginx on 127.0.0.1; every received byte is checked.
                  download-a and -b are also run against the plainest
                  sequential WinINet loop (wininet_loop_bench.exe, under
                  Wine), the floor Wine sets; download-a also against our
                  own MD5 over the same bytes in memory (md5_bench.exe,
                  under Wine; target 0.8 of its speed), and each of its
                  runs is followed by a check of the updated folder
                  (update-a: the cache the run recorded, against a first
                  check); download-c goes through
                  bench/delay_proxy.py, which makes loopback a link with a
                  10 ms round trip, for both sides.
  delta-archive   A changed file rebuilt from the installation's old copy
  delta-exe       (CMyFun::DownloadFiles, download_bench.exe under Wine, with
  delta-unrelated the old copy in its folder and the index generate --delta
                  wrote) against zsync 0.6.2 (zsyncmake's control file, then
                  zsync -i OLD) and curl fetching the whole new file, all
                  through bench/delay_proxy.py at 100 Mbit/s with a 10 ms
                  round trip; bytes on the wire as the proxy counts them,
                  every result's MD5 checked. The pairs, from fixed seeds:
                  archive 256 MiB with 60 edits (replaced 4-64 KiB,
                  inserted and deleted 1-32 KiB, later bytes shift, about
                  1.4 MB in all); a 16 MiB program with 2 000 changes of 4
                  bytes in place; 64 MiB unrelated to the old copy (also
                  fetched by our engine without an old copy).
  delta-memory    Our engine alone rebuilding an archive-like 1 GiB pair,
                  once, for its peak working set (target under 64 MiB).
  delta-generate  updater-manifest generate --delta (native Release build)
                  against zsyncmake over the three pairs' new files.
  compress-release  New files fetched as the compressed forms generate
                  --compress wrote (download_bench.exe under Wine, an
                  installation folder with only UpDate.ini) against zchunk
                  1.2 (zck once, then zckdl per file, unzck to check) and
                  one curl process fetching the raw files, all through
                  bench/delay_proxy.py at 100 Mbit/s with a 10 ms round
                  trip: the largest PE files libwine installs, as many as
                  make 100 MB. Targets: bytes <= zchunk's and <= 0.35 of the
                  raw files; time <= 0.4 of curl's.
  compress-generate  generate --compress against zck (per file, times
                  added up) over compress-release's files; target: no
                  slower.
  compress-incompressible  100 MiB of noise (fixed seed), which gets no
                  form, from a release made with --compress against one made
                  without, both ours, same link; targets: bytes <= 1.01 and
                  time <= 1.02 of the plain release's.
  compress-loopback  1 GiB of log-like lines (fixed seed, deflates to about
                  a third) from nginx on loopback, no proxy: ours through
                  its form against ours fetching the raw file; targets: rate
                  >= 0.6 of the raw one, peak working set under 64 MiB.
  compress-rebuilt  A changed program rebuilt from the installation's old
  compress-rewritten  copy (download_bench.exe under Wine, as in the delta
                  cases), from a release made with --delta --compress (the
                  missing parts as ranges of the file or as frames of its
                  form, whichever is fewer bytes) against the same file in a
                  release made with --delta alone, all through the same
                  100 Mbit/s link; the old copy is libwine's shell32.dll (or
                  its largest PE file). rebuilt: 2 000 changes of 4 bytes in
                  place (fixed seed, as delta-exe's), also against zsync
                  (zsync -i OLD); targets: bytes <= the --delta release's and
                  <= 0.5 of zsync's. rewritten: about a third replaced in
                  regions of 4-64 KiB and 20 insertions of 1-16 KiB, all with
                  bytes from another libwine program (fixed seed), also
                  against zchunk (zck of both, zckdl --source OLD.zck, unzck
                  to check); targets: bytes <= zchunk's and <= 0.7 of the
                  --delta release's. Times are given, without a target.
  pack-link       2 000 new files of 8 KiB of text-like lines (fixed seed,
                  5 folders), the installation folder holding only
                  UpDate.ini: ours from a release made with --pack (the
                  small files as lists of ranges of UpDate.pack) against
                  ours from the same files, hard-linked, in a release made
                  without (every file by its own name) and one curl
                  process fetching them one after another, all through
                  bench/delay_proxy.py at 100 Mbit/s with a 40 ms round
                  trip, and ours from the packed release on loopback (the
                  floor). Targets: the link adds <= 1.5 s to the floor;
                  >= 3 x faster than the unpacked release and >= 10 x
                  faster than curl; requests for UpDate.pack <= 1/32 of
                  the files.
  pack-loopback   The same two releases from nginx on loopback, no proxy;
                  target: the packed one no slower (time <= 1.0 x).
  pack-absent     The unpacked release over the 40 ms link to an
                  installation holding an older copy of every file (other
                  lines, another seed), so all 2 000 are fetched: ours
                  against download_bench.exe built from commit 33a8413, the
                  engine before the pack (a git worktree in
                  build/bench-before-pack, kept for the next run); target:
                  time <= 1.02 x its.

Each figure is the median of BENCH_RUNS runs (default 3) after one untimed
warm-up pass of both sides. Run through scripts/bench.sh, which builds the
programs and provides Wine's environment and a display. Writes
docs/benchmarks.md. Environment:
  BENCH_RUNS     timed runs per side (default 3)
  BENCH_CASES    comma-separated subset of the cases above (default: all); a
                 row's name (download-a-loop) selects the case that makes it
  BENCH_TIMEOUT  seconds one run of one side may take (default 1200)
  BENCH_BUDGET   seconds for the whole run (default 3600); cases that no longer
                 fit are reported as not measured
  BENCH_CLEAN=1  delete the generated trees afterwards (default: keep them in
                 build/bench for the next run)
  BENCH_DELTA_SCALE  the archive, unrelated and memory pairs' sizes times
                 this (0 < scale <= 1, default 1), for a shorter run
  BENCH_MANIFEST_TOOL  an updater-manifest already built, used as it is
                 instead of building the Release one (its timings are then
                 that build's)
A run of some cases keeps the other cases' rows in docs/benchmarks.md,
marked with the date of the run they come from.
"""
import datetime
import functools
import hashlib
import json
import os
import platform
import random
import select
import shlex
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import threading
import time

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(TOP, "tests", "server"))
from nginx_conf import nginx_command  # noqa: E402
WINDOWS_BUILD = os.environ.get("BENCH_WINDOWS_BUILD", os.path.join(TOP, "build", "windows"))
HOST_BUILD = os.path.join(TOP, "build", "bench-host")
DATA = os.path.join(TOP, "build", "bench")
TREES = os.path.join(DATA, "trees")
OUT = os.path.join(DATA, "out")
DOC = os.path.join(TOP, "docs", "benchmarks.md")

GIB = 1 << 30
MB = 1e6  # figures are in MB/s, 10^6 bytes a second
TARGET_MS = 50.0

ALL_CASES = ["manifest-a", "manifest-b", "manifest-c", "compare", "download-a", "download-b",
             "download-c"]
RECHECK_TARGET_MS = 100.0
RECHECK_TARGET_SPEEDUP = 10.0
FLOOR_TARGET = 0.9
MD5_FLOOR_TARGET = 0.8
CACHE_NAME = "LocalDigest.cache"
LINK_DELAY_MS = 5  # one way: a 10 ms round trip
TITLES = {
    "manifest-a": "Local manifest (a): 1 GiB in 1 000 files",
    "recheck-a": "Second check (a): 1 GiB in 1 000 files, unchanged",
    "recheck-b": "Second check (b): 20 000 files of 4 KiB, unchanged",
    "floor-b": "Local manifest (b) against a plain open-read-close loop",
    "manifest-b": "Local manifest (b): 20 000 files of 4 KiB, 20 x 10 folders",
    "manifest-c": "Local manifest (c): one 2 GiB file",
    "compare": "Compare two 100 000-entry manifests",
    "download-a": "Download (a): one 1 GiB file",
    "download-b": "Download (b): 5 000 files of 8 KiB, 50 folders",
    "download-a-loop": "Download (a) against a plain WinINet loop (both Wine)",
    "download-a-md5": "Download (a) against our MD5 over the same bytes in memory (both Wine)",
    "update-a": "Check after the update (a): the 1 GiB file just downloaded",
    "download-b-loop": "Download (b) against a plain sequential WinINet loop (both Wine)",
    "download-c": "Download (c): 600 files of 8 KiB over a 10 ms round trip",
}


def stop_process(process):
    """Ends a server or proxy this script started: TERM, then KILL after 10 s."""
    if process.poll() is None:
        process.terminate()
        try:
            process.wait(10)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait(10)


class BenchFailure(Exception):
    """A wrong result: the bench stops and writes nothing."""


class OutOfTime(Exception):
    pass


def say(text):
    print(f"bench: {text}", flush=True)


def env_int(name, default, minimum):
    value = int(os.environ.get(name, default))
    if value < minimum:
        raise SystemExit(f"{name} must be at least {minimum}")
    return value


RUNS = env_int("BENCH_RUNS", 3, 1)
RUN_TIMEOUT = env_int("BENCH_TIMEOUT", 1200, 10)
BUDGET = env_int("BENCH_BUDGET", 3600, 60)
STARTED = time.monotonic()


def time_left():
    return BUDGET - (time.monotonic() - STARTED)


def run_limit():
    left = time_left()
    if left < 5:
        raise OutOfTime(f"the {BUDGET} s budget is spent")
    return min(RUN_TIMEOUT, left)


def windows_path(path):
    """Wine's Z: drive is the Linux root."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def timed_process(command, cwd=None, peak_rss=False, env=None):
    """Runs a command to its end within the run limit. Returns (seconds, exit
    status, stdout, stderr, peak RSS in KiB or None). The peak RSS comes from
    GNU time, a small launcher: wait4 here would also count this Python
    process, which the child is a copy of until it executes the command."""
    limit = run_limit()
    rss_file = os.path.join(DATA, "peak-rss.txt")
    if peak_rss:
        command = ["/usr/bin/time", "-f", "%M", "-o", rss_file] + command
    killed = threading.Event()
    start = time.perf_counter()
    process = subprocess.Popen(command, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               start_new_session=True, env=env)

    def kill():
        killed.set()
        os.killpg(process.pid, signal.SIGKILL)

    timer = threading.Timer(limit, kill)
    timer.start()
    try:
        out, err = process.communicate()
    finally:
        timer.cancel()
    seconds = time.perf_counter() - start
    if killed.is_set():
        raise OutOfTime(f"{shlex.join(command[:2])} ... took longer than {limit:.0f} s")
    rss = None
    if peak_rss:
        with open(rss_file) as report:
            rss = int(report.read().split()[-1])
    return seconds, process.returncode, out, err, rss


def result_line(stdout, what):
    for line in stdout.decode("utf-8", "replace").splitlines():
        if line.startswith("result "):
            fields = dict(item.split("=", 1) for item in line.split()[1:])
            return fields
    raise BenchFailure(f"{what} printed no result line: {stdout[-500:]!r}")


# ---------------------------------------------------------------------------
# Generated trees, kept in build/bench/trees and reused while they match.

def layout(case):
    """Relative names (with '/') and sizes of a case's files."""
    if case == "manifest-a":
        rng = random.Random(1000)
        weights = [rng.uniform(0.25, 1.75) for _ in range(1000)]
        scale = GIB / sum(weights)
        sizes = [int(w * scale) for w in weights]
        sizes[-1] += GIB - sum(sizes)
        return [(f"p{i // 100}/f{i % 100:03d}.bin", sizes[i]) for i in range(1000)]
    if case == "manifest-b":
        return [(f"d{d:02d}/s{s}/f{f:03d}.bin", 4096)
                for d in range(20) for s in range(10) for f in range(100)]
    if case == "manifest-c":
        return [("big.bin", 2 * GIB)]
    if case == "download-a":
        return [("Update/big.bin", GIB)]
    if case == "download-b":
        return [(f"Update/d{d:02d}/f{f:03d}.bin", 8192) for d in range(50) for f in range(100)]
    if case == "download-c":
        return [(f"Update/l{i // 100}/f{i % 100:03d}.bin", 8192) for i in range(600)]
    raise ValueError(case)


def tree_ready(case):
    """The tree's folder, made now unless an identical one is there. Returns
    (folder, [(name, size, md5)])."""
    folder = os.path.join(TREES, case)
    stamp = folder + ".json"
    files = layout(case)
    if os.path.exists(stamp):
        with open(stamp) as kept:
            recorded = [tuple(r) for r in json.load(kept)]
        same_layout = [(n, s) for n, s, _ in recorded] == files
        if same_layout and all(os.path.isfile(os.path.join(folder, n)) and
                               os.path.getsize(os.path.join(folder, n)) == s
                               for n, s, _ in recorded):
            return folder, recorded
    say(f"generating {case} ({sum(s for _, s in files) / GIB:.2f} GiB in {len(files)} files)")
    shutil.rmtree(folder, ignore_errors=True)
    if os.path.exists(stamp):
        os.remove(stamp)
    recorded = []
    for name, size in files:
        path = os.path.join(folder, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        digest = hashlib.md5()
        with open(path, "wb") as out:
            left = size
            while left:
                piece = os.urandom(min(left, 16 << 20))
                digest.update(piece)
                out.write(piece)
                left -= len(piece)
        recorded.append((name, size, digest.hexdigest()))
    with open(stamp, "w") as out:
        json.dump(recorded, out)
    return folder, recorded


# ---------------------------------------------------------------------------
# 1. Local manifest against md5sum.

def read_local_manifest(path):
    """[(name with '/', digest)] in the file's order; the line the walk writes
    for LocalDate.ini itself (open for writing, so unreadable) and the one for
    the digest cache (not part of the tree) are left out."""
    with open(path, "rb") as manifest:
        data = manifest.read()
    entries = []
    for line in data.split(b"\r\n"):
        if not line:
            continue
        if line.count(b"\t") != 1:
            raise BenchFailure(f"{path}: malformed line {line[:200]!r}")
        name, digest = line.split(b"\t")
        name = name.decode("gbk").replace("\\", "/")
        if name in ("LocalDate.ini", CACHE_NAME):
            continue
        entries.append((name, digest.decode("ascii", "replace")))
    return entries


def run_ours_manifest(folder, cached=False):
    """A first check (the digest cache removed before) or, cached=True, a
    second one with the cache the last run left."""
    manifest = os.path.join(folder, "LocalDate.ini")
    if os.path.exists(manifest):
        os.remove(manifest)
    cache = os.path.join(folder, CACHE_NAME)
    if cached and not os.path.exists(cache):
        raise BenchFailure("no digest cache for the second check")
    if not cached and os.path.exists(cache):
        os.remove(cache)
    exe = os.path.join(WINDOWS_BUILD, "bench", "manifest_bench.exe")
    _, code, out, err, _ = timed_process(["wine", exe, windows_path(folder)])
    fields = result_line(out, "manifest_bench.exe")
    if code != 0 or fields.get("ok") != "1":
        raise BenchFailure(f"manifest_bench.exe failed ({code}): {out!r} {err[-800:]!r}")
    entries = read_local_manifest(manifest)
    os.remove(manifest)
    return fields, entries


def run_md5sum(folder, names):
    command = ["md5sum", "--"] + names
    if sum(len(n) + 1 for n in command) > 1_500_000:
        raise BenchFailure("the md5sum command line would exceed the argument limit")
    seconds, code, out, err, rss = timed_process(command, cwd=folder, peak_rss=True)
    if code != 0:
        raise BenchFailure(f"md5sum failed ({code}): {err[-800:]!r}")
    digests = []
    for line in out.decode("utf-8").splitlines():
        digest, name = line.split("  ", 1)
        digests.append((name, digest))
    return seconds, digests, rss


def check_manifest(entries, reference, files, what):
    names = sorted(n for n, _ in entries)
    if names != sorted(n for n, _, _ in files):
        raise BenchFailure(f"{what}: the manifest lists {len(names)} files, not the tree's {len(files)}")
    if entries != reference:
        wrong = [(a, b) for a, b in zip(entries, reference) if a != b][:5]
        raise BenchFailure(f"{what}: digests differ from md5sum's, e.g. {wrong}")


def bench_manifest(case):
    folder, files = tree_ready(case)
    total = sum(s for _, s, _ in files)
    say(f"{case}: warm-up")
    _, entries = run_ours_manifest(folder)
    order = [n for n, _ in entries]
    _, reference, _ = run_md5sum(folder, order)
    generated = {n: d for n, _, d in files}
    if any(generated.get(n) != d for n, d in reference):
        raise BenchFailure(f"{case}: md5sum disagrees with the digests taken when the tree was made")
    check_manifest(entries, reference, files, f"{case} warm-up")

    recheck = case in ("manifest-a", "manifest-b")
    floor = case == "manifest-b"
    if floor:
        run_floor(folder, files)
    ours, peer, memory, peer_rss = [], [], [], []
    second, second_memory, floors = [], [], []
    for run in range(RUNS):
        os.sync()
        fields, entries = run_ours_manifest(folder)
        check_manifest(entries, reference, files, f"{case} run {run + 1}")
        ours.append(float(fields["seconds"]))
        memory.append(fields)
        if recheck:
            # The cache this first check left, as the next press would find it.
            fields, entries = run_ours_manifest(folder, cached=True)
            check_manifest(entries, reference, files, f"{case} second check {run + 1}")
            second.append(float(fields["seconds"]))
            second_memory.append(fields)
        os.sync()
        seconds, digests, rss = run_md5sum(folder, order)
        if digests != reference:
            raise BenchFailure(f"{case}: md5sum gave other digests on run {run + 1}")
        peer.append(seconds)
        peer_rss.append(rss)
        if floor:
            floors.append(run_floor(folder, files))
        say(f"{case} run {run + 1}/{RUNS}: ours {ours[-1]:.3f} s"
            + (f" (second check {second[-1]:.3f} s)" if recheck else "")
            + f", md5sum {seconds:.3f} s" + (f", open-read-close {floors[-1]:.3f} s" if floor else ""))
    results = [summarize(case, "md5sum", total, len(files), ours, peer, memory, peer_rss)]
    if recheck:
        other = "recheck-" + case[-1]
        first_s, second_s = statistics.median(ours), statistics.median(second)
        results.append({"case": other, "bytes": total, "files": len(files), "runs": second,
                        "first_runs": ours, "second_s": second_s, "first_s": first_s,
                        "speedup": first_s / second_s,
                        "call_peak_kib": max(int(m["call_peak_ws_kib"]) for m in second_memory),
                        "growth_kib": max(int(m["growth_kib"]) for m in second_memory)})
    if floor:
        result = summarize("floor-b", "open-read-close", total, len(files), ours, floors, memory, [0])
        result["peer_native"] = False
        results.append(result)
    if os.path.exists(os.path.join(folder, CACHE_NAME)):
        os.remove(os.path.join(folder, CACHE_NAME))
    return results


def run_floor(folder, files):
    """floor_bench.exe over the tree: seconds of its timed loop."""
    exe = os.path.join(WINDOWS_BUILD, "bench", "floor_bench.exe")
    _, code, out, err, _ = timed_process(["wine", exe, windows_path(folder)])
    fields = result_line(out, "floor_bench.exe")
    if code != 0 or fields.get("ok") != "1":
        raise BenchFailure(f"floor_bench.exe failed ({code}): {out!r} {err[-800:]!r}")
    if int(fields["bytes"]) < sum(s for _, s, _ in files):
        raise BenchFailure(f"floor_bench.exe read {fields['bytes']} bytes, less than the tree holds")
    return float(fields["seconds"])


def summarize(case, peer_name, total, count, ours, peer, memory, peer_rss):
    ours_s, peer_s = statistics.median(ours), statistics.median(peer)
    return {
        "case": case, "peer": peer_name, "bytes": total, "files": count,
        "ours_runs": ours, "peer_runs": peer,
        "ours_s": ours_s, "peer_s": peer_s,
        "ours_mbs": total / ours_s / MB, "peer_mbs": total / peer_s / MB,
        "ours_fps": count / ours_s, "peer_fps": count / peer_s,
        "ratio": peer_s / ours_s,  # ours' throughput over the peer's
        "call_peak_kib": max(int(m["call_peak_ws_kib"]) for m in memory),
        "growth_kib": max(int(m["growth_kib"]) for m in memory),
        "base_kib": max(int(m["base_ws_kib"]) for m in memory),
        "process_peak_kib": max(int(m["process_peak_ws_kib"]) for m in memory),
        "peak_methods": sorted({m["peak_method"] for m in memory}),
        "peer_rss_kib": max(peer_rss),
    }


# ---------------------------------------------------------------------------
# 2. The comparison, Google Benchmark.

def bench_compare():
    exe = os.path.join(HOST_BUILD, "bench", "compare_bench")
    report = os.path.join(DATA, "compare_bench.json")
    command = [exe, f"--benchmark_repetitions={RUNS}", "--benchmark_display_aggregates_only=true",
               f"--benchmark_out={report}", "--benchmark_out_format=json"]
    say("compare: Google Benchmark")
    _, code, out, err, _ = timed_process(command)
    print(out.decode("utf-8", "replace"), end="", flush=True)
    if code != 0:
        raise BenchFailure(f"compare_bench failed ({code}): {err[-800:]!r}")
    with open(report) as data:
        results = json.load(data)
    benchmarks = results["benchmarks"]
    if any(b.get("error_occurred") for b in benchmarks):
        raise BenchFailure(f"compare_bench reported an error: {benchmarks}")
    runs = [b for b in benchmarks if b.get("run_type") == "iteration"]
    if len(runs) != RUNS or any(b["time_unit"] != "ms" for b in runs):
        raise BenchFailure(f"unexpected compare_bench report: {benchmarks}")
    times = [b["real_time"] for b in runs]
    median_ms = statistics.median(times)
    return {"case": "compare", "ms": median_ms, "ratio": median_ms / TARGET_MS,
            "iterations": runs[0]["iterations"], "runs_ms": times,
            "to_fetch": runs[0].get("to_fetch"),
            "library_build": results["context"].get("library_build_type")}


# ---------------------------------------------------------------------------
# 3. Downloads against curl.

def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class Nginx:
    """nginx as a publisher runs it (static files, Content-Length, ranges), on
    a free port of 127.0.0.1, stopped by pid. Its log notes each request's
    connection, so the connections each side used can be counted."""

    def __init__(self, root):
        self.port = free_port()
        self.work = os.path.join(DATA, "nginx")
        shutil.rmtree(self.work, ignore_errors=True)
        os.makedirs(self.work)
        self.log = os.path.join(self.work, "access.log")
        command = nginx_command(self.work, f"""
  log_format bench '$connection $status $body_bytes_sent $request_uri';
  access_log {self.log} bench;
  sendfile on;
  keepalive_requests 100000;
  server {{
    listen 127.0.0.1:{self.port};
    root {root};
  }}""")
        self.process = subprocess.Popen(command,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.offset = 0
        deadline = time.monotonic() + 10
        while not self._listening():
            if time.monotonic() > deadline or self.process.poll() is not None:
                self.stop()
                raise BenchFailure("nginx did not start")
            time.sleep(0.1)

    def _listening(self):
        with socket.socket() as probe:
            probe.settimeout(0.5)
            return probe.connect_ex(("127.0.0.1", self.port)) == 0

    def new_requests(self):
        """(status, bytes, uri, connection) of every request since the last call."""
        if not os.path.exists(self.log):
            return []
        with open(self.log, "rb") as log:
            log.seek(self.offset)
            data = log.read()
        self.offset += len(data)
        requests = []
        for line in data.decode("utf-8", "replace").splitlines():
            connection, status, sent, uri = line.split(" ", 3)
            requests.append((int(status), int(sent), uri, connection))
        return requests

    def stop(self):
        stop_process(self.process)


def manifest_order(name):
    """The key of a name (with '/') in the manifest's order: UTF-16 ordinal."""
    return name.replace("/", "\\").encode("utf-16-be")


def update_manifest(files):
    """UpDate.ini as the publisher's tool writes it: backslashes, TAB, MD5,
    CR LF, UTF-16 ordinal order, code page 936."""
    names = sorted(files, key=lambda f: manifest_order(f[0]))
    return b"".join(n.replace("/", "\\").encode("gbk") + b"\t" + d.encode() + b"\r\n"
                    for n, _, d in names)


def check_received(folder, files, what):
    for name, size, digest in files:
        path = os.path.join(folder, name)
        if not os.path.exists(path) or os.path.getsize(path) != size:
            raise BenchFailure(f"{what}: {name} is missing or has the wrong size")
        md5 = hashlib.md5()
        with open(path, "rb") as data:
            while piece := data.read(16 << 20):
                md5.update(piece)
        if md5.hexdigest() != digest:
            raise BenchFailure(f"{what}: {name} holds other bytes than were served")
    leftovers = [os.path.join(d, n) for d, _, names in os.walk(folder) for n in names
                 if n.endswith(".tmp")]
    if leftovers:
        raise BenchFailure(f"{what}: partial files left: {leftovers[:5]}")


def served(server, files, what, may_miss=()):
    """The requests since the last call, once every file has been asked for
    (nginx logs a request when it ends; a cut-off probe may end a bit later);
    the URIs in may_miss may be answered 404. Returns (requests,
    connections, body bytes sent)."""
    wanted = {"/" + n for n, _, _ in files}
    requests, deadline = [], time.monotonic() + 5
    while True:
        requests += server.new_requests()
        if wanted <= {uri for _, _, uri, _ in requests} or time.monotonic() > deadline:
            break
        time.sleep(0.1)
    failed = [r for r in requests if r[0] not in (200, 206) and not (r[0] == 404 and r[2] in may_miss)]
    missing = wanted - {uri for _, _, uri, _ in requests}
    if failed or missing:
        raise BenchFailure(f"{what}: failed requests {failed[:5]}, never requested {sorted(missing)[:5]}")
    return len(requests), len({c for _, _, _, c in requests}), sum(b for _, b, _, _ in requests)


def download_folder(name, server, manifest):
    """An empty folder holding only the server manifest, from which the
    downloader reads the list (and ours the digests, handed to the engine as
    a check does); the server's request log starts anew."""
    folder = os.path.join(OUT, name)
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    with open(os.path.join(folder, "UpDate.ini"), "wb") as out:
        out.write(manifest)
    os.sync()
    server.new_requests()
    return folder


def run_ours_download(server, case, files, manifest, port):
    folder = download_folder("ours", server, manifest)
    exe = os.path.join(WINDOWS_BUILD, "bench", "download_bench.exe")
    url = f"http://127.0.0.1:{port}/{case}/Update/"
    limit = run_limit()
    _, code, out, err, _ = timed_process(["wine", exe, url, windows_path(folder), str(int(limit))])
    fields = result_line(out, "download_bench.exe")
    if code != 0 or fields.get("ok") != "1" or fields.get("failed_rows") != "0":
        raise BenchFailure(f"download_bench.exe failed ({code}): {out!r} {err[-800:]!r}")
    if fields.get("visible") != "1":
        raise BenchFailure("download_bench.exe's window was not visible")
    check_received(folder, strip_update(files), f"{case} (ours)")
    return fields, served(server, prefixed(case, files), f"{case} (ours)", optional_lists(case))


def prefixed(case, files):
    """The files as nginx's URIs name them, below the trees folder."""
    return [(f"{case}/{n}", s, d) for n, s, d in files]


def strip_update(files):
    return [(n[len("Update/"):], s, d) for n, s, d in files]


def run_loop(server, case, files, manifest, port):
    folder = download_folder("loop", server, manifest)
    exe = os.path.join(WINDOWS_BUILD, "bench", "wininet_loop_bench.exe")
    url = f"http://127.0.0.1:{port}/{case}/Update/"
    _, code, out, err, rss = timed_process(["wine", exe, url, windows_path(folder)], peak_rss=True)
    fields = result_line(out, "wininet_loop_bench.exe")
    if code != 0 or fields.get("ok") != "1":
        raise BenchFailure(f"wininet_loop_bench.exe failed ({code}): {out!r} {err[-800:]!r}")
    check_received(folder, strip_update(files), f"{case} (WinINet loop)")
    return float(fields["seconds"]), rss, served(server, prefixed(case, files), f"{case} (WinINet loop)",
                                                 optional_lists(case))


def run_md5(case, files):
    """md5_bench.exe over the served file: seconds of hashing alone."""
    (name, size, digest), = files
    exe = os.path.join(WINDOWS_BUILD, "bench", "md5_bench.exe")
    _, code, out, err, _ = timed_process(["wine", exe, windows_path(os.path.join(TREES, case, name))])
    fields = result_line(out, "md5_bench.exe")
    if code != 0 or fields.get("ok") != "1" or int(fields["bytes"]) != size or fields["md5"] != digest:
        raise BenchFailure(f"md5_bench.exe failed or hashed other bytes ({code}): {out!r} {err[-800:]!r}")
    return float(fields["seconds"])


def run_curl(server, case, files, port):
    folder = os.path.join(OUT, "curl")
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    config = os.path.join(DATA, f"{case}.curl")
    names = sorted((n for n, _, _ in strip_update(files)), key=manifest_order)
    with open(config, "w") as out:
        out.write("silent\nshow-error\nfail\ncreate-dirs\n")
        for name in names:
            out.write(f'url = "http://127.0.0.1:{port}/{case}/Update/{name}"\n')
            out.write(f'output = "{folder}/{name}"\n')
    os.sync()
    server.new_requests()
    seconds, code, _, err, rss = timed_process(["curl", "--config", config], peak_rss=True)
    if code != 0:
        raise BenchFailure(f"curl failed ({code}): {err[-800:]!r}")
    check_received(folder, strip_update(files), f"{case} (curl)")
    return seconds, rss, served(server, prefixed(case, files), f"{case} (curl)")


def bench_download(server, case):
    """The case's results: ours against curl, and for download-b also against
    the sequential WinINet loop (the same runs of ours)."""
    proxy = DelayProxy(server.port) if case == "download-c" else None
    try:
        return measure_download(server, case, proxy.port if proxy else server.port)
    finally:
        if proxy:
            proxy.stop()


def measure_download(server, case, port):
    _, files = tree_ready(case)
    manifest = update_manifest(strip_update(files))
    total = sum(s for _, s, _ in files)
    with_loop = case in ("download-a", "download-b")
    with_md5 = case == "download-a"
    say(f"{case}: warm-up")
    run_ours_download(server, case, files, manifest, port)
    run_curl(server, case, files, port)
    if with_loop:
        run_loop(server, case, files, manifest, port)
    ours, peer, memory, peer_rss, ours_conn, peer_conn = [], [], [], [], set(), set()
    loop, loop_rss, loop_conn = [], [], set()
    md5 = []
    after, first = [], []
    for run in range(RUNS):
        fields, used = run_ours_download(server, case, files, manifest, port)
        ours.append(float(fields["seconds"]))
        memory.append(fields)
        ours_conn.add(used)
        if with_md5:
            # The next check after this update, with the cache the run left
            # behind; then a first check of the same folder without it.
            folder = os.path.join(OUT, "ours")
            for cached, times in ((True, after), (False, first)):
                checked, entries = run_ours_manifest(folder, cached=cached)
                if dict(entries).get(files[0][0][len("Update/"):]) != files[0][2]:
                    raise BenchFailure(f"{case}: the check after the update gave another digest")
                times.append(float(checked["seconds"]))
        seconds, rss, used = run_curl(server, case, files, port)
        peer.append(seconds)
        peer_rss.append(rss)
        peer_conn.add(used)
        text = f"{case} run {run + 1}/{RUNS}: ours {ours[-1]:.3f} s, curl {seconds:.3f} s"
        if with_loop:
            seconds, rss, used = run_loop(server, case, files, manifest, port)
            loop.append(seconds)
            loop_rss.append(rss)
            loop_conn.add(used)
            text += f", WinINet loop {seconds:.3f} s"
        if with_md5:
            md5.append(run_md5(case, files))
            text += (f", our MD5 in memory {md5[-1]:.3f} s; next check {after[-1]:.3f} s,"
                     f" first check {first[-1]:.3f} s")
        say(text)
    shutil.rmtree(OUT, ignore_errors=True)
    result = summarize(case, "curl", total, len(files), ours, peer, memory, peer_rss)
    result["ours_connections"] = sorted(ours_conn)
    result["peer_connections"] = sorted(peer_conn)
    results = [result]
    if with_loop:
        against_loop = summarize(f"{case}-loop", "WinINet loop", total, len(files), ours, loop,
                                 memory, loop_rss)
        against_loop["ours_connections"] = sorted(ours_conn)
        against_loop["peer_connections"] = sorted(loop_conn)
        against_loop["peer_under_wine"] = True
        results.append(against_loop)
    if with_md5:
        against_md5 = summarize(f"{case}-md5", "our MD5", total, len(files), ours, md5, memory, [0])
        against_md5["peer_under_wine"] = True
        results.append(against_md5)
        results.append({"case": "update-a", "runs": after, "first_runs": first, "bytes": total,
                        "second_s": statistics.median(after),
                        "first_s": statistics.median(first),
                        "record_s": [float(m["record_seconds"]) for m in memory]})
    return results


# ---------------------------------------------------------------------------
# 4. Delta updates against zsync and a whole download, over a 100 Mbit/s link.

DELTA_CASES = ["delta-archive", "delta-exe", "delta-unrelated", "delta-generate", "delta-memory"]
DELTA_PAIRS = ["delta-archive", "delta-exe", "delta-unrelated"]
LINK_RATE_MBIT = 100
MIB = 1 << 20
DELTA_SCALE = float(os.environ.get("BENCH_DELTA_SCALE", "1"))
if not 0 < DELTA_SCALE <= 1:
    raise SystemExit("BENCH_DELTA_SCALE must be above 0 and at most 1")
OLD = os.path.join(DATA, "delta-old")
# BENCH_MANIFEST_TOOL: a tool already built, used as it is (nothing is built).
MANIFEST_TOOL = (os.environ.get("BENCH_MANIFEST_TOOL") or
                 os.path.join(HOST_BUILD, "publisher", "updater-manifest"))
# The targets: (ours over zsync's bytes, ours over zsync's time, whole file's
# time over ours) for the archive, ours over zsync's bytes for the program,
# and for the unrelated pair ours over the whole download's time and over
# the file and its index.
ARCHIVE_BYTES, ARCHIVE_TIME, ARCHIVE_SPEEDUP = 1.0, 0.5, 20.0
EXE_BYTES = 1.0
UNRELATED_TIME, UNRELATED_BYTES = 1.05, 1.01
MEMORY_TARGET_KIB = 64 * 1024
TITLES.update({
    "delta-archive": "Delta (archive): ~1.4 MB changed in 60 places, later bytes shifted",
    "delta-exe": "Delta (rebuilt program): 2 000 scattered 4-byte changes",
    "delta-unrelated": "Delta (unrelated): every byte differs",
    "delta-memory": "Delta (memory): archive-like pair",
    "delta-generate": "Index: updater-manifest generate --delta against zsyncmake",
})
DELTA_NAMES = {"delta-archive": "data.pak", "delta-exe": "Client.exe",
               "delta-unrelated": "media.bin", "delta-memory": "world.pak"}


def scaled(size):
    """A size scaled by BENCH_DELTA_SCALE, in whole MiB."""
    return max(MIB, int(size * DELTA_SCALE) // MIB * MIB)


def delta_size(case):
    if case in COMPRESS_PAIRS:
        return os.path.getsize(pe_sources()[0])
    return {"delta-archive": scaled(256 * MIB), "delta-exe": 16 * MIB,
            "delta-unrelated": scaled(64 * MIB), "delta-memory": scaled(GIB)}[case]


def random_file(path, size, rng):
    """size bytes from rng, written in pieces (never held whole)."""
    with open(path, "wb") as out:
        left = size
        while left:
            piece = rng.randbytes(min(left, 4 * MIB))
            out.write(piece)
            left -= len(piece)


def spread_edits(size, rng, kinds, longest, make):
    """One edit per kind, in order, each at a random place of its own equal
    stretch of the old file, so every part has some and none overlap:
    [(offset in the old file, kind, length, inserted bytes)]. make(kind)
    gives (length, bytes), the length at most longest."""
    stride = size // len(kinds)
    if stride <= longest:
        raise BenchFailure(f"{len(kinds)} edits of up to {longest:,} bytes do not fit in {size:,}")
    return [(i * stride + rng.randrange(0, stride - longest), kind) + make(kind)
            for i, kind in enumerate(kinds)]


def archive_edits(size, rng):
    """60 edits in order, 20 of each kind. Replaced regions are 4-64 KiB,
    insertions and deletions 1-32 KiB."""
    kinds = ["replace", "insert", "delete"] * 20
    rng.shuffle(kinds)

    def make(kind):
        if kind == "delete":
            return rng.randint(1024, 32 * 1024), b""
        length = rng.randint(4 * 1024, 64 * 1024) if kind == "replace" else rng.randint(1024, 32 * 1024)
        return length, rng.randbytes(length)
    return spread_edits(size, rng, kinds, 64 * 1024, make)


def rewrite_edits(size, rng, donor):
    """About a third of the old file replaced in regions of 4-64 KiB, and 20
    insertions of 1-16 KiB, all with bytes from random places of donor
    (another program, so they deflate as code does, unlike noise)."""
    lengths = []
    while sum(lengths) < size // 3:
        lengths.append(rng.randint(4 * 1024, 64 * 1024))
    kinds = ["replace"] * len(lengths) + ["insert"] * 20
    rng.shuffle(kinds)

    def make(kind):
        length = lengths.pop() if kind == "replace" else rng.randint(1024, 16 * 1024)
        at = rng.randrange(0, len(donor) - length)
        return length, donor[at:at + length]
    return spread_edits(size, rng, kinds, 64 * 1024, make)


def scattered_changes(data, rng, count=2000):
    """count changes of 4 bytes in place, at distinct 4-aligned offsets of
    data (a bytearray), every byte to another value: the offsets."""
    spots = rng.sample(range(0, len(data) - 4, 4), count)
    for at in spots:
        for i in range(4):
            data[at + i] ^= rng.randint(1, 255)
    return spots


def write_edited(old_path, new_path, edits):
    """The new file: the old one with the edits applied, streamed."""
    with open(old_path, "rb") as old, open(new_path, "wb") as new:
        def copy(to):
            while old.tell() < to:
                new.write(old.read(min(to - old.tell(), 4 * MIB)))
        for at, kind, length, data in edits:
            copy(at)
            new.write(data)
            if kind != "insert":
                old.seek(at + length)
        copy(os.path.getsize(old_path))


def file_md5(path):
    md5 = hashlib.md5()
    with open(path, "rb") as data:
        while piece := data.read(16 << 20):
            md5.update(piece)
    return md5.hexdigest()


def delta_pair_ready(case):
    """The pair's old copy (outside what nginx serves) and new file (in the
    served release folder), made now unless identical ones are there; the
    same seed always gives the same bytes. Returns a dict with the paths,
    sizes, digests and what changed."""
    name = DELTA_NAMES.get(case) or os.path.basename(pe_sources()[0])
    size = delta_size(case)
    release = os.path.join(TREES, case, "Update")
    old_path = os.path.join(OLD, case, name)
    new_path = os.path.join(release, name)
    stamp_path = os.path.join(OLD, case + ".json")
    want = {"case": case, "size": size, "form": 1, "name": name}
    if os.path.exists(stamp_path):
        with open(stamp_path) as kept:
            stamp = json.load(kept)
        if ({k: stamp.get(k) for k in want} == want and os.path.isfile(old_path) and
                os.path.getsize(old_path) == stamp["old_size"] and os.path.isfile(new_path) and
                os.path.getsize(new_path) == stamp["new_size"]):
            return stamp
    say(f"generating {case} (old copy {size / MIB:.0f} MiB)")
    shutil.rmtree(os.path.join(TREES, case), ignore_errors=True)
    shutil.rmtree(os.path.join(OLD, case), ignore_errors=True)
    os.makedirs(release)
    os.makedirs(os.path.dirname(old_path))
    rng = random.Random(f"{case} {size}")
    if case in COMPRESS_PAIRS:
        shutil.copyfile(pe_sources()[0], old_path)
    else:
        random_file(old_path, size, rng)
    if case in ("delta-archive", "delta-memory"):
        edits = archive_edits(size, rng)
        write_edited(old_path, new_path, edits)
        changed = sum(length for _, _, length, _ in edits)
        what = (f"{len(edits)} edits: {sum(1 for e in edits if e[1] == 'replace')} replaced regions, "
                f"{sum(1 for e in edits if e[1] == 'insert')} insertions, "
                f"{sum(1 for e in edits if e[1] == 'delete')} deletions; "
                f"{changed:,} bytes replaced, inserted or deleted")
    elif case in ("delta-exe", "compress-rebuilt"):
        with open(old_path, "rb") as old:
            data = bytearray(old.read())
        spots = scattered_changes(data, rng)
        with open(new_path, "wb") as new:
            new.write(data)
        changed = 4 * len(spots)
        what = f"{len(spots):,} changes of 4 bytes in place; {changed:,} bytes differ"
    elif case == "compress-rewritten":
        donor = pe_sources()[1]
        with open(donor, "rb") as taken:
            edits = rewrite_edits(size, rng, taken.read())
        write_edited(old_path, new_path, edits)
        rewritten = [length for _, kind, length, _ in edits if kind == "replace"]
        inserted = [length for _, kind, length, _ in edits if kind == "insert"]
        changed = sum(rewritten) + sum(inserted)
        what = (f"{len(rewritten)} regions of 4-64 KiB rewritten, {sum(rewritten):,} bytes "
                f"({sum(rewritten) / size:.1%} of the old copy), and {len(inserted)} insertions of "
                f"1-16 KiB, {sum(inserted):,} bytes, all taken from {os.path.basename(donor)}")
    else:
        random_file(new_path, size, random.Random(f"{case} {size} new"))
        changed = size
        what = "two unrelated random files of the same length"
    stamp = dict(want, name=name, old_size=os.path.getsize(old_path),
                 new_size=os.path.getsize(new_path), old_md5=file_md5(old_path),
                 new_md5=file_md5(new_path), changed=changed, what=what)
    with open(stamp_path, "w") as out:
        json.dump(stamp, out)
    return stamp


def manifest_tool_ready():
    """The publisher's tool, from the Release build scripts/bench.sh configures."""
    if os.environ.get("BENCH_MANIFEST_TOOL"):
        if not os.access(MANIFEST_TOOL, os.X_OK):
            raise BenchFailure(f"BENCH_MANIFEST_TOOL={MANIFEST_TOOL} is not an executable file")
        say(f"using {MANIFEST_TOOL} as it is (BENCH_MANIFEST_TOOL)")
        return
    if not os.path.isdir(HOST_BUILD):
        raise BenchFailure(f"{HOST_BUILD} is not configured (run through scripts/bench.sh)")
    say("building updater-manifest (Release)")
    build_target(HOST_BUILD, "updater-manifest")


def build_step(command, what, cwd=None):
    """One step of a build, within the run limit; a failure stops the bench."""
    done = subprocess.run(command, cwd=cwd, capture_output=True, text=True, timeout=run_limit())
    if done.returncode != 0:
        raise BenchFailure(f"{what} failed: {done.stdout[-1500:]}{done.stderr[-1500:]}")


def build_target(build, target):
    """One target of a configured build, at low priority with JOBS jobs (2)."""
    build_step(["nice", "cmake", "--build", build, "-j", os.environ.get("JOBS", "2"), "--target", target],
               f"building {target} in {os.path.relpath(build, TOP)}")


def index_bytes(case, name):
    """The length of the index generate --delta wrote for the file."""
    index = os.path.join(TREES, case, "Update", "UpDate.delta", name)
    if not os.path.isfile(index):
        raise BenchFailure(f"{case}: generate --delta wrote no index of {name}")
    return os.path.getsize(index)


def run_generate(case):
    """updater-manifest generate --delta over the pair's release folder:
    (seconds, index bytes)."""
    release = os.path.join(TREES, case, "Update")
    seconds, code, out, err, _ = timed_process(
        [MANIFEST_TOOL, "generate", release, "-o", os.path.join(release, "UpDate.ini"), "--delta"])
    if code != 0:
        raise BenchFailure(f"updater-manifest generate --delta failed ({code}): {err[-800:]!r}")
    return seconds, index_bytes(case, DELTA_NAMES[case])


def run_zsyncmake(case, name=None):
    """zsyncmake over the new file, its control file beside the release
    folder (so the release holds only what generate lists): (seconds,
    control bytes)."""
    name = name or DELTA_NAMES[case]
    control = os.path.join(TREES, case, name + ".zsync")
    seconds, code, _, err, _ = timed_process(
        ["zsyncmake", "-o", control, "-u", f"Update/{name}", os.path.join(TREES, case, "Update", name)])
    if code != 0:
        raise BenchFailure(f"zsyncmake failed ({code}): {err[-800:]!r}")
    return seconds, os.path.getsize(control)


class DelayProxy:
    """bench/delay_proxy.py in front of nginx: a round trip of twice
    delay_ms (the 10 ms one unless told), and with rate_mbit a bandwidth
    too; counts the bytes it delivered, headers included. Stopped by pid."""

    def __init__(self, target, rate_mbit=None, delay_ms=LINK_DELAY_MS):
        rate = ["--rate-mbit", str(rate_mbit)] if rate_mbit else []
        self.process = subprocess.Popen(
            [sys.executable, os.path.join(TOP, "bench", "delay_proxy.py"), "--target", str(target),
             "--delay-ms", str(delay_ms)] + rate,
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        line = self.process.stdout.readline().strip()
        if not line.isdigit():
            self.stop()
            raise BenchFailure("delay_proxy.py did not start")
        self.port = int(line)

    def delivered(self):
        """Bytes delivered so far, both directions together."""
        self.process.send_signal(signal.SIGUSR1)
        ready, _, _ = select.select([self.process.stdout], [], [], 10)
        line = self.process.stdout.readline().split() if ready else []
        if len(line) != 3 or line[0] != "bytes":
            raise BenchFailure(f"delay_proxy.py did not report its bytes: {line}")
        fields = dict(item.split("=") for item in line[1:])
        return int(fields["up"]) + int(fields["down"])

    def stop(self):
        stop_process(self.process)


def link_requests(server, may_miss=()):
    """nginx's requests since the last call, as (status, body bytes, uri,
    connection). The clients have ended, so only nginx's log may lag; it is
    waited for a little. The URIs in may_miss may be answered 404 (a list a
    release need not have); any other answer but 200 and 206 is a failure."""
    time.sleep(0.3)
    requests = server.new_requests()
    failed = [r for r in requests if r[0] not in (200, 206) and not (r[0] == 404 and r[2] in may_miss)]
    if failed:
        raise BenchFailure(f"failed requests on the link: {failed[:5]}")
    return requests


def fresh_folder(name):
    folder = os.path.join(OUT, name)
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    return folder


def link_mark(server, proxy):
    """Flushes the files just written and skips what the link and nginx saw
    so far; returns the proxy's count to measure from."""
    os.sync()
    server.new_requests()
    return proxy.delivered() if proxy else 0


def check_file(path, size, digest, what):
    if not os.path.isfile(path) or os.path.getsize(path) != size or file_md5(path) != digest:
        raise BenchFailure(f"{what}: the result is not the new file")


def run_ours_delta(server, proxy, case, pair, with_old=True, release=None):
    """download_bench.exe in an installation folder holding the old copy and
    the UpDate.ini of the release (the case's own, or the one in
    TREES/release), through the link."""
    folder = fresh_folder("ours")
    name = pair["name"]
    release = release or case
    shutil.copyfile(os.path.join(TREES, release, "Update", "UpDate.ini"), os.path.join(folder, "UpDate.ini"))
    if with_old:
        shutil.copyfile(os.path.join(OLD, case, name), os.path.join(folder, name))
    before = link_mark(server, proxy)
    exe = os.path.join(WINDOWS_BUILD, "bench", "download_bench.exe")
    url = f"http://127.0.0.1:{proxy.port}/{release}/Update/"
    wall, code, out, err, _ = timed_process(["wine", exe, url, windows_path(folder), str(int(run_limit()))])
    fields = result_line(out, "download_bench.exe")
    if code != 0 or fields.get("ok") != "1" or fields.get("failed_rows") != "0":
        raise BenchFailure(f"download_bench.exe failed ({code}): {out!r} {err[-800:]!r}")
    check_file(os.path.join(folder, name), pair["new_size"], pair["new_md5"], f"{case} (ours)")
    wire, requests, connections = carried(server, proxy, before, release)
    index_uri = f"/{release}/Update/UpDate.delta/{name}"
    if with_old and not any(u == index_uri and s == 200 for s, _, u in requests):
        raise BenchFailure(f"{case}: our engine never fetched the index: {requests[:5]}")
    return {"seconds": float(fields["seconds"]), "wall": wall, "wire": wire, "requests": requests,
            "connections": connections, "fields": fields}


def peer_output(who, pair):
    """A fresh folder for a peer's result: (folder, path of the new file)."""
    folder = fresh_folder(who)
    return folder, os.path.join(folder, pair["name"])


def run_zsync(server, proxy, case, pair):
    name = pair["name"]
    folder, output = peer_output("zsync", pair)
    before = link_mark(server, proxy)
    url = f"http://127.0.0.1:{proxy.port}/{case}/{name}.zsync"
    env = {k: v for k, v in os.environ.items() if k.lower() != "http_proxy"}
    limit = run_limit()
    start = time.perf_counter()
    try:
        done = subprocess.run(["zsync", "-i", os.path.join(OLD, case, name), "-o", output, url],
                              cwd=folder, capture_output=True, env=env, timeout=limit)
    except subprocess.TimeoutExpired:
        raise OutOfTime(f"zsync took longer than {limit:.0f} s")
    seconds = time.perf_counter() - start
    if done.returncode != 0:
        raise BenchFailure(f"zsync failed ({done.returncode}): {done.stderr[-800:]!r}")
    check_file(output, pair["new_size"], pair["new_md5"], f"{case} (zsync)")
    wire, requests, connections = carried(server, proxy, before, case)
    said = [line for line in done.stdout.decode("utf-8", "replace").splitlines() + 
            done.stderr.decode("utf-8", "replace").splitlines() if "used" in line and "local" in line]
    return {"seconds": seconds, "wire": wire, "requests": requests, "connections": connections,
            "said": said[-1] if said else ""}


def run_curl_whole(server, proxy, case, pair):
    name = pair["name"]
    _, output = peer_output("curl", pair)
    before = link_mark(server, proxy)
    seconds, code, _, err, _ = timed_process(
        ["curl", "--silent", "--show-error", "--fail", "--noproxy", "*", "-o", output,
         f"http://127.0.0.1:{proxy.port}/{case}/Update/{name}"])
    if code != 0:
        raise BenchFailure(f"curl failed ({code}): {err[-800:]!r}")
    check_file(output, pair["new_size"], pair["new_md5"], f"{case} (curl)")
    wire, requests, connections = carried(server, proxy, before, case)
    return {"seconds": seconds, "wire": wire, "requests": requests, "connections": connections}


def median_of(runs, key):
    return statistics.median(r[key] for r in runs)


def bench_delta(server, case):
    """One pair: ours, zsync and curl's whole download through the same
    proxied link, each run in turn; medians of BENCH_RUNS after a warm-up."""
    pair = delta_pair_ready(case)
    memory_only = case == "delta-memory"
    _, index_bytes = run_generate(case)
    _, control_bytes = run_zsyncmake(case) if not memory_only else (0, 0)
    proxy = DelayProxy(server.port, LINK_RATE_MBIT)
    try:
        # The unrelated pair is also downloaded by our engine without an old
        # copy: what falling back costs over the engine's own whole download.
        plain = case == "delta-unrelated"
        parties = [("ours", lambda: run_ours_delta(server, proxy, case, pair))]
        if plain:
            parties.append(("ours-whole", lambda: run_ours_delta(server, proxy, case, pair, False)))
        if not memory_only:
            parties += [("zsync", lambda: run_zsync(server, proxy, case, pair)),
                        ("curl", lambda: run_curl_whole(server, proxy, case, pair))]
        # The 1 GiB pair is rebuilt once: its old copy is copied into the
        # folder before the run, so it is in the page cache anyway.
        runs = run_parties(case, parties, rounds=1 if memory_only else RUNS, warm_up=not memory_only)
    finally:
        proxy.stop()
        shutil.rmtree(OUT, ignore_errors=True)
    return dict(party_medians(runs), case=case, pair=pair, index_bytes=index_bytes, control_bytes=control_bytes,
                runs=runs, link=f"{LINK_RATE_MBIT} Mbit/s, {2 * LINK_DELAY_MS} ms round trip")


def bench_delta_generate():
    """generate --delta against zsyncmake over the three pairs' new files,
    both native, the files in the page cache."""
    cases = DELTA_PAIRS
    for case in cases:
        delta_pair_ready(case)
    say("delta-generate: warm-up")
    for case in cases:
        run_generate(case)
        run_zsyncmake(case)
    ours = {case: [] for case in cases}
    peer = {case: [] for case in cases}
    sizes = {}
    for number in range(RUNS):
        for case in cases:
            seconds, sizes[(case, "index")] = run_generate(case)
            ours[case].append(seconds)
            seconds, sizes[(case, "control")] = run_zsyncmake(case)
            peer[case].append(seconds)
        say(f"delta-generate run {number + 1}/{RUNS}: ours "
            f"{sum(ours[c][-1] for c in cases):.3f} s, zsyncmake {sum(peer[c][-1] for c in cases):.3f} s")
    total = sum(os.path.getsize(os.path.join(TREES, c, "Update", DELTA_NAMES[c])) for c in cases)
    return {"case": "delta-generate", "bytes": total, "files": len(cases),
            "ours_s": sum(statistics.median(ours[c]) for c in cases),
            "peer_s": sum(statistics.median(peer[c]) for c in cases),
            "per_file": [(DELTA_NAMES[c], os.path.getsize(os.path.join(TREES, c, "Update", DELTA_NAMES[c])),
                          ours[c], peer[c], sizes[(c, "index")], sizes[(c, "control")]) for c in cases]}


def megabytes(count):
    return f"{count / 1e6:.3f} MB" if count < 1e9 else f"{count / 1e9:.3f} GB"


def verdict(ok):
    return "met" if ok else "missed"


def delta_targets(r):
    """[(text, met)] for the pair's targets."""
    case = r["case"]
    out = []
    if case == "delta-archive":
        ratio = r["ours_wire"] / r["zsync_wire"]
        out.append((f"bytes {ratio:.3g} x zsync's (target <= {ARCHIVE_BYTES}: {verdict(ratio <= ARCHIVE_BYTES)})",
                    ratio <= ARCHIVE_BYTES))
        ratio = r["ours_s"] / r["zsync_s"]
        out.append((f"time {ratio:.3g} x zsync's (target <= {ARCHIVE_TIME}: {verdict(ratio <= ARCHIVE_TIME)})",
                    ratio <= ARCHIVE_TIME))
        ratio = r["curl_s"] / r["ours_s"]
        out.append((f"{ratio:.3g} x faster than the whole file (target >= {ARCHIVE_SPEEDUP:.0f}: "
                    f"{verdict(ratio >= ARCHIVE_SPEEDUP)})", ratio >= ARCHIVE_SPEEDUP))
    elif case == "delta-exe":
        ratio = r["ours_wire"] / r["zsync_wire"]
        out.append((f"bytes {ratio:.3g} x zsync's (target <= {EXE_BYTES}: {verdict(ratio <= EXE_BYTES)})",
                    ratio <= EXE_BYTES))
        out.append((f"time {r['ours_s'] / r['zsync_s']:.3g} x zsync's, "
                    f"{r['curl_s'] / r['ours_s']:.3g} x faster than the whole file (no target)", True))
    elif case == "delta-unrelated":
        ratio = r["ours_s"] / r["curl_s"]
        out.append((f"time {ratio:.3g} x the whole download (target <= {UNRELATED_TIME}: "
                    f"{verdict(ratio <= UNRELATED_TIME)})", ratio <= UNRELATED_TIME))
        whole = r["pair"]["new_size"] + r["index_bytes"]
        ratio = r["ours_wire"] / whole
        out.append((f"bytes {ratio:.4g} x file + index (target <= {UNRELATED_BYTES}: "
                    f"{verdict(ratio <= UNRELATED_BYTES)})", ratio <= UNRELATED_BYTES))
    elif case == "delta-memory":
        ok = r["call_peak_kib"] < MEMORY_TARGET_KIB
        out.append((f"peak working set {kib(r['call_peak_kib'])} (target under 64 MiB: {verdict(ok)})", ok))
    elif case == "delta-generate":
        out.append((f"{r['peer_s'] / r['ours_s']:.3g} x zsyncmake's speed (no target)", True))
    return out


def delta_row(r):
    if r["case"] == "delta-generate":
        return (f"| {TITLES['delta-generate']}: {r['files']} files, {megabytes(r['bytes'])} | "
                f"{r['ours_s']:.2f} s ({r['bytes'] / r['ours_s'] / MB:.0f} MB/s, native) | | "
                f"zsyncmake {r['peer_s']:.2f} s ({r['bytes'] / r['peer_s'] / MB:.0f} MB/s, native) | "
                f"{'; '.join(t for t, _ in delta_targets(r))} | |")
    pair = r["pair"]
    title = f"{TITLES[r['case']]}, {pair['new_size'] / MIB:.0f} MiB"
    ours = f"{megabytes(r['ours_wire'])} in {r['ours_s']:.2f} s (Wine)"
    if "ours-whole_s" in r:
        ours += (f"; without the old copy {megabytes(r['ours-whole_wire'])} in "
                 f"{r['ours-whole_s']:.2f} s")
    zsync = f"{megabytes(r['zsync_wire'])} in {r['zsync_s']:.2f} s" if "zsync_s" in r else "not run"
    curl = f"{megabytes(r['curl_wire'])} in {r['curl_s']:.2f} s" if "curl_s" in r else "not run"
    memory = f"{kib(r['call_peak_kib'])} (+{kib(r['growth_kib'])})"
    return f"| {title} | {ours} | {zsync} | {curl} | {'; '.join(t for t, _ in delta_targets(r))} | {memory} |"


DELTA_HEADER = ["| delta update over 100 Mbit/s, 10 ms round trip | ours: bytes on the wire, time | "
                "zsync 0.6.2 | whole file (curl) | against the targets | ours: peak working set of the call "
                "(growth over the base) |",
                "|---|---|---|---|---|---|"]


def joined(runs, key, form="{:.3f}"):
    return ", ".join(form.format(run[key]) for run in runs)


def delta_detail(r):
    if r["case"] == "delta-generate":
        parts = [f"{name} ({size / MIB:.0f} MiB): generate --delta "
                 f"{', '.join(f'{x:.3f}' for x in ours)} s, index {index:,} bytes; zsyncmake "
                 f"{', '.join(f'{x:.3f}' for x in peer)} s, control file {control:,} bytes"
                 for name, size, ours, peer, index, control in r["per_file"]]
        return (f"- delta-generate: {'; '.join(parts)}. generate also hashes the file for UpDate.ini "
                f"(MD5), zsyncmake for its control file (SHA-1).")
    pair = r["pair"]
    runs = r["runs"]

    def requests(party):
        seen = runs[party][-1]["requests"]
        return f"{plural(len(seen), 'request')}, {sum(b for _, b, _ in seen):,} body bytes"

    text = (f"- {r['case']}: old copy {pair['old_size']:,} bytes, new file {pair['new_size']:,} bytes "
            f"({pair['what']}); index {r['index_bytes']:,} bytes"
            + (f", zsync control file {r['control_bytes']:,} bytes" if r["control_bytes"] else "")
            + f". Ours {joined(runs['ours'], 'seconds')} s "
            f"inside the process ({joined(runs['ours'], 'wall', '{:.2f}')} s with Wine's start), "
            f"{joined(runs['ours'], 'wire', '{:,}')} bytes on the wire, nginx: {requests('ours')}")
    if "ours-whole" in runs:
        text += (f"; ours without the old copy {joined(runs['ours-whole'], 'seconds')} s, "
                 f"{requests('ours-whole')}")
    if "zsync" in runs:
        text += (f"; zsync {joined(runs['zsync'], 'seconds')} s, "
                 f"{joined(runs['zsync'], 'wire', '{:,}')} bytes, nginx: {requests('zsync')}"
                 f" (it said: {runs['zsync'][-1]['said'].strip() or 'nothing'})")
    if "curl" in runs:
        text += (f"; curl {joined(runs['curl'], 'seconds')} s, "
                 f"{joined(runs['curl'], 'wire', '{:,}')} bytes")
    return text + (f"; our process's base working set {kib(r['base_kib'])} "
                   f"(call peak from: {', '.join(r['peak_methods'])}).")


ALL_CASES += DELTA_CASES


# ---------------------------------------------------------------------------
# 5. Compressed forms: new files fetched as the frames generate --compress
# wrote, against zchunk and the raw files.

# The changed libwine program rebuilt from its old copy, with frames where
# they cost less: scattered small changes, and a third rewritten.
COMPRESS_PAIRS = ["compress-rebuilt", "compress-rewritten"]
COMPRESS_CASES = ["compress-release", "compress-generate", "compress-incompressible",
                  "compress-loopback"] + COMPRESS_PAIRS
# The targets: ours over zchunk's bytes, over the raw files' total and over
# curl's time (the release); ours over zck's time (generate); bytes and time
# over the release made without --compress (noise); the form's rate over the
# raw file's (loopback), whose call stays under MEMORY_TARGET_KIB; bytes over
# the release made with --delta alone's and over zsync's (rebuilt), over
# zchunk's and the --delta release's (rewritten).
RELEASE_ZCK_BYTES, RELEASE_RAW_BYTES, RELEASE_CURL_TIME = 1.0, 0.35, 0.4
GENERATE_TIME = 1.0
NOISE_BYTES, NOISE_TIME = 1.01, 1.02
LOOPBACK_RATE = 0.6
REBUILT_DELTA_BYTES, REBUILT_ZSYNC_BYTES = 1.0, 0.5
REWRITTEN_ZCK_BYTES, REWRITTEN_DELTA_BYTES = 1.0, 0.7
PE_PAIR_MIN_BYTES = 10 * 1000 * 1000
RELEASE_MIN_BYTES = 100 * 1000 * 1000
FORM_LIST = "UpDate.frames.ini"
FORM_FOLDER = "UpDate.frames"
# What generate --pack writes beside the manifest (transfer/pack.h).
PACK_NAME, PACK_TABLE = "UpDate.pack", "UpDate.pack.ini"
NOISE_NAME, NOISE_SIZE = "noise.bin", 100 * MIB
TEXT_NAME, TEXT_SIZE = "records.log", GIB
TITLES.update({
    "compress-release": "Compressed release: the largest libwine PE files, all new",
    "compress-generate": "Forms: updater-manifest generate --compress against zck",
    "compress-incompressible": "Compressed release of noise: 100 MiB that does not deflate",
    "compress-loopback": "Compressed form on loopback: 1 GiB of text-like lines",
    "compress-rebuilt": "Compressed delta (rebuilt program): a libwine PE file, 2 000 scattered 4-byte changes",
    "compress-rewritten": "Compressed delta (rewritten program): a libwine PE file, a third rewritten, 20 insertions",
})


def libwine_programs():
    """[(path, size)] of the largest PE files (MZ at the start) the libwine
    package installs for x86-64 Windows, largest first, as many as make
    RELEASE_MIN_BYTES."""
    done = subprocess.run(["dpkg", "-L", "libwine"], capture_output=True, text=True, timeout=60)
    if done.returncode != 0:
        raise BenchFailure(f"dpkg -L libwine failed: {done.stderr[-800:]!r}")
    found = []
    for path in done.stdout.splitlines():
        if "/x86_64-windows/" not in path or os.path.islink(path) or not os.path.isfile(path):
            continue
        with open(path, "rb") as head:
            if head.read(2) == b"MZ":
                found.append((path, os.path.getsize(path)))
    found.sort(key=lambda item: (-item[1], os.path.basename(item[0])))
    chosen = []
    for path, size in found:
        if sum(s for _, s in chosen) >= RELEASE_MIN_BYTES:
            break
        chosen.append((path, size))
    if sum(s for _, s in chosen) < RELEASE_MIN_BYTES:
        raise BenchFailure(f"libwine's PE files make only {sum(s for _, s in chosen):,} bytes")
    return chosen


@functools.lru_cache(maxsize=None)
def pe_sources():
    """(the pairs' old copy, the program rewritten regions come from):
    libwine's shell32.dll, or its largest PE file where it has none, and the
    largest other one."""
    programs = [path for path, _ in libwine_programs()]
    old = next((p for p in programs if os.path.basename(p).lower() == "shell32.dll"), programs[0])
    if os.path.getsize(old) < PE_PAIR_MIN_BYTES:
        raise BenchFailure(f"{old} has fewer than {PE_PAIR_MIN_BYTES:,} bytes")
    return old, next(p for p in programs if p != old)


def run_zck(source, output):
    """zck over one file: seconds from its start to its exit."""
    seconds, code, _, err, _ = timed_process(["zck", "-o", output, source])
    if code != 0:
        raise BenchFailure(f"zck {source} failed ({code}): {err[-800:]!r}")
    return seconds


def compress_release_ready():
    """The release of libwine's programs in TREES/compress-release/Update and,
    beside it (so the release holds only what generate lists), each one's
    zchunk file in .../zck, made once. Returns [(name, size, md5)]."""
    case = "compress-release"
    programs = libwine_programs()
    release = os.path.join(TREES, case, "Update")
    packed = os.path.join(TREES, case, "zck")
    stamp_path = os.path.join(TREES, case + ".json")
    want = [(os.path.basename(path), size) for path, size in programs]
    if os.path.exists(stamp_path):
        with open(stamp_path) as kept:
            recorded = [tuple(r) for r in json.load(kept)]
        if ([(n, s) for n, s, _ in recorded] == want and
                all(os.path.isfile(os.path.join(release, n)) and os.path.getsize(os.path.join(release, n)) == s
                    and os.path.isfile(os.path.join(packed, n + ".zck")) for n, s, _ in recorded)):
            return recorded
    say(f"generating {case} ({len(programs)} files, {megabytes(sum(s for _, s in programs))}) and its zck files")
    shutil.rmtree(os.path.join(TREES, case), ignore_errors=True)
    os.makedirs(release)
    os.makedirs(packed)
    recorded = []
    for path, size in programs:
        name = os.path.basename(path)
        shutil.copyfile(path, os.path.join(release, name))
        recorded.append((name, size, file_md5(os.path.join(release, name))))
        run_zck(os.path.join(release, name), os.path.join(packed, name + ".zck"))
    with open(stamp_path, "w") as out:
        json.dump(recorded, out)
    return recorded


TEXT_WORDS = ("request served cache miss hit upload worker queue retry timeout session user client "
              "server update patch file folder checksum stream frame block index").split()
TEXT_LEVELS = ["INFO", "INFO", "INFO", "DEBUG", "WARN", "ERROR"]


def text_file(path, size, rng):
    """size bytes of log-like lines from rng (dates, words, hex ids and
    numbers), which deflate to about a third; written in pieces."""
    with open(path, "wb") as out:
        left = size
        while left:
            lines, length = [], 0
            while length < min(4 * MIB, left):
                t = rng.getrandbits(32)
                line = (f"2026-{1 + t % 12:02d}-{1 + (t >> 4) % 28:02d} {(t >> 9) % 24:02d}:"
                        f"{(t >> 14) % 60:02d}:{(t >> 20) % 60:02d}.{rng.getrandbits(10) % 1000:03d} "
                        f"{TEXT_LEVELS[t % 6]} {rng.choice(TEXT_WORDS)}-{rng.getrandbits(5)} "
                        f"{rng.choice(TEXT_WORDS)} {rng.choice(TEXT_WORDS)} id={rng.getrandbits(32):08x} "
                        f"bytes={rng.getrandbits(20)} took {rng.getrandbits(12) / 10:.1f} ms\n")
                lines.append(line)
                length += len(line)
            piece = "".join(lines).encode("ascii")[:left]
            out.write(piece)
            left -= len(piece)


def plain_case(case):
    """The folder of the same release made without --compress."""
    return case + "-plain"


def one_file_release_ready(case, name, size, write):
    """One generated file in TREES/case/Update (the release made with
    --compress) and, hard-linked, in TREES/case-plain/Update (made without),
    so both serve the same bytes from the same pages. Made now unless both
    are there; the same seed always gives the same bytes. Returns
    [(name, size, md5)]."""
    paths = [os.path.join(TREES, c, "Update", name) for c in (case, plain_case(case))]
    stamp_path = os.path.join(TREES, case + ".json")
    want = {"case": case, "name": name, "size": size, "form": 1}
    if os.path.exists(stamp_path):
        with open(stamp_path) as kept:
            stamp = json.load(kept)
        if ({k: stamp.get(k) for k in want} == want and
                all(os.path.isfile(p) and os.path.getsize(p) == size for p in paths) and
                os.path.samefile(*paths)):
            return [(name, size, stamp["md5"])]
    say(f"generating {case} ({megabytes(size)})")
    for c in (case, plain_case(case)):
        shutil.rmtree(os.path.join(TREES, c), ignore_errors=True)
        os.makedirs(os.path.join(TREES, c, "Update"))
    write(paths[0], size, random.Random(f"{case} {size}"))
    os.link(paths[0], paths[1])
    stamp = dict(want, md5=file_md5(paths[0]))
    with open(stamp_path, "w") as out:
        json.dump(stamp, out)
    return [(name, size, stamp["md5"])]


def listed_lines(path):
    """[(name with '/', the rest of its line)] of a list generate writes
    beside the manifest (name as the manifest writes it, TAB, the rest, CR
    LF), in its order; empty when there is none."""
    if not os.path.exists(path):
        return []
    with open(path, "rb") as listed:
        lines = [line.split(b"\t") for line in listed.read().split(b"\r\n") if line]
    if any(len(fields) != 2 for fields in lines):
        raise BenchFailure(f"{path}: a line without exactly one TAB")
    return [(name.decode("gbk").replace("\\", "/"), rest.decode("ascii")) for name, rest in lines]


def read_form_list(release):
    """{name with '/': form length} from the release's UpDate.frames.ini
    (manifest name, TAB, length, CR LF), empty when there is none."""
    return {name: int(length) for name, length in listed_lines(os.path.join(release, FORM_LIST))}


def form_frame_size(case, name):
    """The frame size a form's head gives (UPDFRAM1, length, frame size, all
    little-endian), for the details: the tool chooses it."""
    with open(os.path.join(TREES, case, "Update", FORM_FOLDER, name), "rb") as form:
        head = form.read(20)
    if head[:8] != b"UPDFRAM1":
        raise BenchFailure(f"{case}: the form of {name} does not start as a form")
    return int.from_bytes(head[16:20], "little")


def run_generate_forms(case, compress=True, delta=False, pack=False):
    """updater-manifest generate over TREES/case/Update, with --compress or
    without, and with --delta and --pack if asked: (seconds, {name: form
    length} of the list it left)."""
    release = os.path.join(TREES, case, "Update")
    command = [MANIFEST_TOOL, "generate", release, "-o", os.path.join(release, "UpDate.ini")]
    command += ((["--compress"] if compress else []) + (["--delta"] if delta else []) +
                (["--pack"] if pack else []))
    seconds, code, _, err, _ = timed_process(command)
    if code != 0:
        raise BenchFailure(f"{shlex.join(command[1:2] + command[3:])} failed ({code}): {err[-800:]!r}")
    forms = read_form_list(release)
    if not compress and forms:
        raise BenchFailure(f"{case}: a release made without --compress lists forms")
    for name, length in forms.items():
        if os.path.getsize(os.path.join(release, FORM_FOLDER, name)) != length:
            raise BenchFailure(f"{case}: {FORM_LIST} gives {name} another length than its form's")
    return seconds, forms


def optional_lists(case):
    """The URIs of the lists a release serves only when generate wrote them
    (forms, pack), which clients ask for and a release without them answers 404."""
    return {f"/{case}/Update/{name}" for name in (FORM_LIST, PACK_TABLE)}


def carried(server, proxy, before, case):
    """What the link (or, without a proxy, nginx) carried since `before`:
    (bytes, requests as (status, body bytes, uri), connections). The lists
    of forms and of the pack may be missing from a release without them."""
    requests = link_requests(server, may_miss=optional_lists(case))
    seen = [(s, b, u) for s, b, u, _ in requests]
    wire = proxy.delivered() - before if proxy else sum(b for _, b, _ in seen)
    return wire, seen, len({c for _, _, _, c in requests})


def run_ours_new(server, proxy, case, files, forms, exe=None, old=None):
    """download_bench.exe (ours, or exe) in an installation folder holding
    only the release's UpDate.ini, so every file is new, or also a copy of
    the folder old (older copies of the files); through the link, or with
    proxy None straight to nginx. Every file with a listed form must have
    been fetched as that form."""
    folder = fresh_folder("ours")
    shutil.copyfile(os.path.join(TREES, case, "Update", "UpDate.ini"), os.path.join(folder, "UpDate.ini"))
    if old:
        shutil.copytree(old, folder, dirs_exist_ok=True)
    before = link_mark(server, proxy)
    exe = exe or os.path.join(WINDOWS_BUILD, "bench", "download_bench.exe")
    url = f"http://127.0.0.1:{proxy.port if proxy else server.port}/{case}/Update/"
    wall, code, out, err, _ = timed_process(["wine", exe, url, windows_path(folder), str(int(run_limit()))])
    fields = result_line(out, "download_bench.exe")
    if code != 0 or fields.get("ok") != "1" or fields.get("failed_rows") != "0":
        raise BenchFailure(f"download_bench.exe failed ({code}): {out!r} {err[-800:]!r}")
    check_received(folder, files, f"{case} (ours)")
    wire, requests, connections = carried(server, proxy, before, case)
    fetched = {u for s, _, u in requests if s in (200, 206)}
    unused = [n for n in forms if f"/{case}/Update/{FORM_FOLDER}/{n}" not in fetched]
    if unused:
        raise BenchFailure(f"{case}: our engine fetched no form of {unused[:5]}: {requests[:10]}")
    return {"seconds": float(fields["seconds"]), "wall": wall, "wire": wire, "requests": requests,
            "connections": connections, "fields": fields}


def run_zchunk(server, proxy, case, files, seeds=None):
    """zckdl for each file's zchunk file, one after another, into a fresh
    folder through the link, taking what it can from the file's old zchunk
    file where seeds names one; then unzck for each, untimed there, whose
    output must be the file."""
    folder = fresh_folder("zchunk")
    env = {k: v for k, v in os.environ.items() if k.lower() not in ("http_proxy", "all_proxy")}
    seeds = seeds or {}
    before = link_mark(server, proxy)
    seconds = 0.0
    for name, _, _ in files:
        seed = ["--source", seeds[name]] if name in seeds else []
        taken, code, out, err, _ = timed_process(
            ["zckdl", "-q"] + seed + [f"http://127.0.0.1:{proxy.port}/{case}/zck/{name}.zck"], cwd=folder, env=env)
        if code != 0:
            raise BenchFailure(f"zckdl {name}.zck failed ({code}): {out[-400:]!r} {err[-800:]!r}")
        seconds += taken
    wire, requests, connections = carried(server, proxy, before, case)
    decode = 0.0
    for name, _, _ in files:
        taken, code, _, err, _ = timed_process(["unzck", name + ".zck"], cwd=folder)
        if code != 0:
            raise BenchFailure(f"unzck {name}.zck failed ({code}): {err[-800:]!r}")
        decode += taken
    check_received(folder, files, f"{case} (zchunk, decoded)")
    return {"seconds": seconds, "decode": decode, "wire": wire, "requests": requests,
            "connections": connections}


def run_curl_files(server, proxy, case, files):
    """One curl process fetching the raw files one after another, every URL
    on its list, through the link."""
    folder = fresh_folder("curl")
    config = os.path.join(DATA, f"{case}.curl")
    with open(config, "w") as out:
        out.write('silent\nshow-error\nfail\ncreate-dirs\nnoproxy = "*"\n')
        for name, _, _ in files:
            out.write(f'url = "http://127.0.0.1:{proxy.port}/{case}/Update/{name}"\n')
            out.write(f'output = "{folder}/{name}"\n')
    before = link_mark(server, proxy)
    seconds, code, _, err, _ = timed_process(["curl", "--config", config])
    if code != 0:
        raise BenchFailure(f"curl failed ({code}): {err[-800:]!r}")
    check_received(folder, files, f"{case} (curl)")
    wire, requests, connections = carried(server, proxy, before, case)
    return {"seconds": seconds, "wire": wire, "requests": requests, "connections": connections}


def run_parties(case, parties, rounds=None, warm_up=True):
    """Each party once untimed (unless not warm_up), then rounds (BENCH_RUNS
    by default) of all in turn: {party: [its runs' results]}."""
    rounds = RUNS if rounds is None else rounds
    if warm_up:
        say(f"{case}: warm-up")
        for _, run in parties:
            run()
    runs = {party: [] for party, _ in parties}
    for number in range(rounds):
        for party, run in parties:
            runs[party].append(run())
        say(f"{case} run {number + 1}/{rounds}: " + ", ".join(
            f"{party} {runs[party][-1]['seconds']:.3f} s, {runs[party][-1]['wire']:,} bytes"
            + (f", peak working set {kib(int(runs[party][-1]['fields']['call_peak_ws_kib']))}"
               if "fields" in runs[party][-1] else "")
            for party, _ in parties))
    return runs


def party_medians(runs):
    """Each party's median time and bytes, and our call's memory over its runs."""
    result = {}
    for party in runs:
        result[party + "_s"] = median_of(runs[party], "seconds")
        result[party + "_wire"] = median_of(runs[party], "wire")
    memory = [r["fields"] for r in runs["ours"]]
    result["call_peak_kib"] = max(int(m["call_peak_ws_kib"]) for m in memory)
    result["growth_kib"] = max(int(m["growth_kib"]) for m in memory)
    result["base_kib"] = max(int(m["base_ws_kib"]) for m in memory)
    result["peak_methods"] = sorted({m["peak_method"] for m in memory})
    return result


def compress_result(case, files, runs, **extra):
    """The case's medians of time and bytes per party and our call's memory."""
    result = dict(party_medians(runs), **extra, case=case, files=len(files), bytes=sum(s for _, s, _ in files),
                  runs=runs)
    if "zchunk" in runs:
        result["zchunk_decode_s"] = median_of(runs["zchunk"], "decode")
    return result


def bench_compress_release(server):
    """libwine's programs, all new: ours (the release made with --compress),
    zchunk and curl's raw files, through the same 100 Mbit/s link."""
    case = "compress-release"
    files = compress_release_ready()
    _, forms = run_generate_forms(case)
    packed = {n: os.path.getsize(os.path.join(TREES, case, "zck", n + ".zck")) for n, _, _ in files}
    proxy = DelayProxy(server.port, LINK_RATE_MBIT)
    try:
        runs = run_parties(case, [("ours", lambda: run_ours_new(server, proxy, case, files, forms)),
                                  ("zchunk", lambda: run_zchunk(server, proxy, case, files)),
                                  ("curl", lambda: run_curl_files(server, proxy, case, files))])
    finally:
        proxy.stop()
        shutil.rmtree(OUT, ignore_errors=True)
    return compress_result(case, files, runs, forms=forms, packed=packed, names=[n for n, _, _ in files],
                           frame_kib=sorted({form_frame_size(case, n) // 1024 for n in forms}))


def bench_compress_generate():
    """generate --compress against zck (one process per file, their times
    added up) over the release's files, both native, the files in the page
    cache; zck writes into OUT, so the zchunk files the release case
    fetches stay as they were made."""
    case = "compress-release"
    files = compress_release_ready()
    release = os.path.join(TREES, case, "Update")
    packed = os.path.join(OUT, "zck")

    def zck_all():
        os.makedirs(packed, exist_ok=True)
        return sum(run_zck(os.path.join(release, n), os.path.join(packed, n + ".zck")) for n, _, _ in files)

    say("compress-generate: warm-up")
    run_generate_forms(case)
    zck_all()
    ours, peer = [], []
    for number in range(RUNS):
        seconds, forms = run_generate_forms(case)
        ours.append(seconds)
        peer.append(zck_all())
        say(f"compress-generate run {number + 1}/{RUNS}: ours {ours[-1]:.3f} s, zck {peer[-1]:.3f} s")
    packed_bytes = sum(os.path.getsize(os.path.join(packed, n + ".zck")) for n, _, _ in files)
    shutil.rmtree(OUT, ignore_errors=True)
    return {"case": "compress-generate", "bytes": sum(s for _, s, _ in files), "files": len(files),
            "ours_runs": ours, "peer_runs": peer, "ours_s": statistics.median(ours),
            "peer_s": statistics.median(peer), "form_bytes": sum(forms.values()), "forms": len(forms),
            "packed_bytes": packed_bytes}


def bench_compress_incompressible(server):
    """100 MiB of noise, new: ours with the release made with --compress
    (no form; the list may be missing) against ours with the release made
    without, through the same 100 Mbit/s link."""
    case = "compress-incompressible"
    files = one_file_release_ready(case, NOISE_NAME, NOISE_SIZE, random_file)
    _, forms = run_generate_forms(case)
    run_generate_forms(plain_case(case), compress=False)
    proxy = DelayProxy(server.port, LINK_RATE_MBIT)
    try:
        runs = run_parties(case, [
            ("ours", lambda: run_ours_new(server, proxy, case, files, forms)),
            ("ours-plain", lambda: run_ours_new(server, proxy, plain_case(case), files, {}))])
    finally:
        proxy.stop()
        shutil.rmtree(OUT, ignore_errors=True)
    return compress_result(case, files, runs, forms=forms)


def bench_compress_loopback(server):
    """1 GiB of text-like lines, new, straight from nginx on loopback: ours
    through its form against ours fetching the raw file (the release made
    without --compress)."""
    case = "compress-loopback"
    files = one_file_release_ready(case, TEXT_NAME, TEXT_SIZE, text_file)
    _, forms = run_generate_forms(case)
    if TEXT_NAME not in forms:
        raise BenchFailure(f"{case}: generate --compress wrote no form of {TEXT_NAME}")
    run_generate_forms(plain_case(case), compress=False)
    try:
        runs = run_parties(case, [
            ("ours", lambda: run_ours_new(server, None, case, files, forms)),
            ("ours-raw", lambda: run_ours_new(server, None, plain_case(case), files, {}))])
    finally:
        shutil.rmtree(OUT, ignore_errors=True)
    result = compress_result(case, files, runs, forms=forms, frame_kib=[form_frame_size(case, TEXT_NAME) // 1024])
    memory = [r["fields"] for r in runs["ours-raw"]]
    result["raw_peak_kib"] = max(int(m["call_peak_ws_kib"]) for m in memory)
    result["raw_growth_kib"] = max(int(m["growth_kib"]) for m in memory)
    return result


def plain_release_ready(case, name):
    """TREES/case-plain/Update holding the case's new file, hard-linked, so
    both releases serve the same bytes from the same pages."""
    path = os.path.join(TREES, plain_case(case), "Update", name)
    new = os.path.join(TREES, case, "Update", name)
    if not (os.path.isfile(path) and os.path.samefile(path, new)):
        shutil.rmtree(os.path.join(TREES, plain_case(case)), ignore_errors=True)
        os.makedirs(os.path.dirname(path))
        os.link(new, path)


def bench_compress_delta(server, case):
    """A changed libwine program rebuilt from its old copy: ours with the
    release made with --delta --compress (missing parts as ranges or frames,
    whichever costs less), ours with the release made with --delta alone,
    and zsync (the scattered changes) or zchunk seeded with the old copy's
    zchunk file (the rewritten one), through the same 100 Mbit/s link."""
    pair = delta_pair_ready(case)
    name = pair["name"]
    files = [(name, pair["new_size"], pair["new_md5"])]
    plain_release_ready(case, name)
    _, forms = run_generate_forms(case, delta=True)
    if name not in forms:
        raise BenchFailure(f"{case}: generate --compress wrote no form of {name}")
    run_generate_forms(plain_case(case), compress=False, delta=True)
    extra = {"pair": pair, "forms": forms, "frame_kib": [form_frame_size(case, name) // 1024],
             "index_bytes": index_bytes(case, name)}
    if case == "compress-rebuilt":
        _, extra["control_bytes"] = run_zsyncmake(case, name)
    else:
        # The old copy's zchunk file is what the installation would keep.
        seed = os.path.join(OLD, case, name + ".zck")
        os.makedirs(os.path.join(TREES, case, "zck"), exist_ok=True)
        run_zck(os.path.join(OLD, case, name), seed)
        run_zck(os.path.join(TREES, case, "Update", name), os.path.join(TREES, case, "zck", name + ".zck"))
        extra["packed"] = {"old": os.path.getsize(seed),
                           "new": os.path.getsize(os.path.join(TREES, case, "zck", name + ".zck"))}
    proxy = DelayProxy(server.port, LINK_RATE_MBIT)
    try:
        parties = [("ours", lambda: run_ours_delta(server, proxy, case, pair)),
                   ("ours-delta", lambda: run_ours_delta(server, proxy, case, pair, release=plain_case(case)))]
        if case == "compress-rebuilt":
            parties.append(("zsync", lambda: run_zsync(server, proxy, case, pair)))
        else:
            parties.append(("zchunk", lambda: run_zchunk(server, proxy, case, files, {name: seed})))
        runs = run_parties(case, parties)
    finally:
        proxy.stop()
        shutil.rmtree(OUT, ignore_errors=True)
    return compress_result(case, files, runs, **extra)


def framed_bytes(run, case):
    """Body bytes a run of ours took from the file's form (the rest came
    from the file itself, the index and the lists)."""
    return sum(b for _, b, u in run["requests"] if u.startswith(f"/{case}/Update/{FORM_FOLDER}/"))


def judged(text, value, limit, at_most=True):
    """(text, met) for a figure against its target."""
    ok = value <= limit if at_most else value >= limit
    return f"{text} {value:.4g} (target {'<=' if at_most else '>='} {limit}: {verdict(ok)})", ok


def compress_targets(r):
    """[(text, met)] for the case's targets."""
    case = r["case"]
    out = []

    def target(*figure, **how):
        out.append(judged(*figure, **how))

    if case == "compress-release":
        target("bytes / zchunk's", r["ours_wire"] / r["zchunk_wire"], RELEASE_ZCK_BYTES)
        target("bytes / the raw files'", r["ours_wire"] / r["bytes"], RELEASE_RAW_BYTES)
        target("time / curl's", r["ours_s"] / r["curl_s"], RELEASE_CURL_TIME)
    elif case == "compress-generate":
        target("time / zck's", r["ours_s"] / r["peer_s"], GENERATE_TIME)
    elif case == "compress-incompressible":
        target("bytes / the plain release's", r["ours_wire"] / r["ours-plain_wire"], NOISE_BYTES)
        target("time / the plain release's", r["ours_s"] / r["ours-plain_s"], NOISE_TIME)
    elif case == "compress-loopback":
        target("rate / the raw file's", r["ours-raw_s"] / r["ours_s"], LOOPBACK_RATE, at_most=False)
        ok = r["call_peak_kib"] < MEMORY_TARGET_KIB
        out.append((f"peak working set {kib(r['call_peak_kib'])} (target under 64 MiB: {verdict(ok)})", ok))
    elif case == "compress-rebuilt":
        target("bytes / today's delta's", r["ours_wire"] / r["ours-delta_wire"], REBUILT_DELTA_BYTES)
        target("bytes / zsync's", r["ours_wire"] / r["zsync_wire"], REBUILT_ZSYNC_BYTES)
    elif case == "compress-rewritten":
        target("bytes / zchunk's", r["ours_wire"] / r["zchunk_wire"], REWRITTEN_ZCK_BYTES)
        target("bytes / today's delta's", r["ours_wire"] / r["ours-delta_wire"], REWRITTEN_DELTA_BYTES)
    if case in COMPRESS_PAIRS:
        peer = "zsync" if "zsync_s" in r else "zchunk"
        out.append((f"time / today's delta's {r['ours_s'] / r['ours-delta_s']:.4g}, / {peer}'s "
                    f"{r['ours_s'] / r[peer + '_s']:.4g} (no target)", True))
    return out


def compress_row(r):
    case = r["case"]
    targets = "; ".join(t for t, _ in compress_targets(r))
    memory = f"{kib(r['call_peak_kib'])} (+{kib(r['growth_kib'])})" if "call_peak_kib" in r else ""
    title = f"{TITLES[case]}, {plural(r['files'], 'file')}, {megabytes(r['bytes'])}"
    if case == "compress-release":
        ours = f"{megabytes(r['ours_wire'])} in {r['ours_s']:.2f} s (Wine)"
        peers = (f"zchunk {megabytes(r['zchunk_wire'])}, zckdl {r['zchunk_s']:.2f} s "
                 f"(then unzck {r['zchunk_decode_s']:.2f} s); curl, raw files: "
                 f"{megabytes(r['curl_wire'])} in {r['curl_s']:.2f} s")
    elif case == "compress-generate":
        ours = f"{r['ours_s']:.2f} s ({r['bytes'] / r['ours_s'] / MB:.0f} MB/s, native)"
        peers = f"zck {r['peer_s']:.2f} s ({r['bytes'] / r['peer_s'] / MB:.0f} MB/s, native, one file at a time)"
    elif case in COMPRESS_PAIRS:
        ours = f"release with forms: {megabytes(r['ours_wire'])} in {r['ours_s']:.2f} s (Wine)"
        peers = (f"ours, today's delta (release without forms): {megabytes(r['ours-delta_wire'])} in "
                 f"{r['ours-delta_s']:.2f} s (Wine); " +
                 (f"zsync {megabytes(r['zsync_wire'])} in {r['zsync_s']:.2f} s" if "zsync_s" in r else
                  f"zchunk {megabytes(r['zchunk_wire'])}, zckdl {r['zchunk_s']:.2f} s "
                  f"(then unzck {r['zchunk_decode_s']:.2f} s)"))
    elif case == "compress-incompressible":
        ours = f"release with forms: {megabytes(r['ours_wire'])} in {r['ours_s']:.2f} s (Wine)"
        peers = (f"ours, release without forms: {megabytes(r['ours-plain_wire'])} in "
                 f"{r['ours-plain_s']:.2f} s (Wine)")
    else:
        ours = f"through its form: {r['bytes'] / r['ours_s'] / MB:.0f} MB/s ({r['ours_s']:.2f} s, Wine)"
        peers = (f"ours, the raw file: {r['bytes'] / r['ours-raw_s'] / MB:.0f} MB/s "
                 f"({r['ours-raw_s']:.2f} s, Wine; peak working set {kib(r['raw_peak_kib'])})")
    return f"| {title} | {ours} | {peers} | {targets} | {memory} |"


COMPRESS_HEADER = ["| compressed transfer | ours | peers | against the targets | "
                   "ours: peak working set of the call (growth over the base) |",
                   "|---|---|---|---|---|"]


def party_said(runs, party):
    """A party's runs for the details: times, bytes, and what nginx saw of the last."""
    seen = runs[party][-1]
    return (f"{party} {joined(runs[party], 'seconds')} s, {joined(runs[party], 'wire', '{:,}')} bytes, "
            f"nginx: {plural(len(seen['requests']), 'request')} over "
            f"{plural(seen['connections'], 'connection')}, "
            f"{sum(b for _, b, _ in seen['requests']):,} body bytes")


def compress_detail(r):
    case = r["case"]
    if case == "compress-generate":
        return (f"- compress-generate: the {plural(r['files'], 'file')} of compress-release "
                f"({r['bytes']:,} bytes); generate --compress {', '.join(f'{x:.3f}' for x in r['ours_runs'])} s "
                f"({plural(r['forms'], 'form')}, {r['form_bytes']:,} bytes; it also hashes every file for "
                f"UpDate.ini); zck, one process per file, times added up, "
                f"{', '.join(f'{x:.3f}' for x in r['peer_runs'])} s ({r['packed_bytes']:,} bytes).")
    runs = r["runs"]
    forms = r["forms"]
    text = f"- {case}: "
    if case == "compress-release":
        text += (f"{plural(r['files'], 'file')} of libwine ({', '.join(r['names'])}), {r['bytes']:,} bytes; "
                 f"{plural(len(forms), 'form')} in frames of {' or '.join(map(str, r['frame_kib']))} KiB, "
                 f"{sum(forms.values()):,} bytes; zchunk files "
                 f"{sum(r['packed'].values()):,} bytes. ")
    elif case in COMPRESS_PAIRS:
        pair = r["pair"]
        text += (f"old copy {pair['old_size']:,} bytes (libwine's {pair['name']}), new file "
                 f"{pair['new_size']:,} bytes ({pair['what']}); index {r['index_bytes']:,} bytes, form "
                 f"{forms[pair['name']]:,} bytes in frames of {r['frame_kib'][0]} KiB"
                 + (f", zsync control file {r['control_bytes']:,} bytes" if "control_bytes" in r else
                    f", zchunk files {r['packed']['old']:,} bytes (old) and {r['packed']['new']:,} (new)")
                 + f". Ours took {', '.join(f'{framed_bytes(x, case):,}' for x in runs['ours'])} "
                 f"body bytes from the form. ")
    elif case == "compress-incompressible":
        text += (f"{r['bytes']:,} random bytes (fixed seed); generate --compress listed "
                 f"{plural(len(forms), 'form')}. ")
    else:
        text += (f"{r['bytes']:,} bytes of log-like lines (fixed seed), its form in frames of "
                 f"{r['frame_kib'][0]} KiB, {sum(forms.values()):,} bytes "
                 f"({sum(forms.values()) / r['bytes']:.3f} of the file); no proxy, bytes are nginx's body bytes. ")
    text += "; ".join(party_said(runs, party) for party in runs)
    ours = runs["ours"]
    text += (f"; ours {joined(ours, 'wall', '{:.2f}')} s with Wine's start")
    if "zchunk" in runs:
        text += f"; unzck {joined(runs['zchunk'], 'decode')} s"
    if case == "compress-release":
        text += (f". The proxy paces each connection at "
                 f"{LINK_RATE_MBIT} Mbit/s, so parties on more connections get more of it: the bytes alone "
                 f"take ours {r['ours_wire'] * 8 / (LINK_RATE_MBIT * 1e6):.2f} s, zchunk "
                 f"{r['zchunk_wire'] * 8 / (LINK_RATE_MBIT * 1e6):.2f} s and curl "
                 f"{r['curl_wire'] * 8 / (LINK_RATE_MBIT * 1e6):.2f} s at that rate")
    return text + (f"; our process's base working set {kib(r['base_kib'])} "
                   f"(call peak from: {', '.join(r['peak_methods'])}).")


ALL_CASES += COMPRESS_CASES


# ---------------------------------------------------------------------------
# 6. Packed small files: many new small files fetched as lists of ranges of
# the one file generate --pack wrote, against one request a file.

PACK_CASES = ["pack-link", "pack-loopback", "pack-absent"]
# The release made with --pack; plain_case(PACK_RELEASE) holds the same
# files, hard-linked, made without.
PACK_RELEASE = "pack-small"
PACK_FILES, PACK_FILE_SIZE, PACK_FOLDERS = 2000, 8192, 5
PACK_DELAY_MS = 20  # one way: a 40 ms round trip
# The engine as it was before the pack: download_bench.exe built from this
# commit in a worktree of its own, kept for the next run.
BEFORE_PACK_COMMIT = "33a8413"
BEFORE_PACK_TREE = os.path.join(TOP, "build", "bench-before-pack")
# The targets: seconds the link may add to the packed release's loopback
# time, its speed over the unpacked release's and curl's on the link, and
# requests for the pack a file (link); packed over unpacked time
# (loopback); ours over the engine before the pack without a pack (absent).
PACK_LINK_EXTRA_S, PACK_UNPACKED_SPEEDUP, PACK_CURL_SPEEDUP = 1.5, 3.0, 10.0
PACK_REQUESTS_PER_FILE = 1 / 32
PACK_LOOPBACK_TIME = 1.0
PACK_ABSENT_TIME = 1.02
TITLES.update({
    "pack-link": "Packed small files: 2 000 new files of 8 KiB over 100 Mbit/s, 40 ms round trip",
    "pack-loopback": "Packed small files on loopback: 2 000 new files of 8 KiB",
    "pack-absent": "No pack served: 2 000 changed files of 8 KiB over the 40 ms link",
})


def pack_release_ready():
    """The case's files (text-like lines from a fixed seed, in PACK_FOLDERS
    folders) in TREES/PACK_RELEASE/Update and, hard-linked, in the plain
    release's folder, and an older copy of each (lines from another seed) in
    OLD/PACK_RELEASE, outside what nginx serves; made now unless all are
    there as recorded. Returns [(name, size, md5)] in the manifest's order."""
    names = sorted((f"t{i % PACK_FOLDERS}/r{i // PACK_FOLDERS:04d}.log" for i in range(PACK_FILES)),
                   key=manifest_order)
    folders = [os.path.join(TREES, c, "Update") for c in (PACK_RELEASE, plain_case(PACK_RELEASE))]
    old = os.path.join(OLD, PACK_RELEASE)
    stamp_path = os.path.join(TREES, PACK_RELEASE + ".json")
    want = {"names": names, "size": PACK_FILE_SIZE, "form": 1}
    if os.path.exists(stamp_path):
        with open(stamp_path) as kept:
            stamp = json.load(kept)
        if {k: stamp.get(k) for k in want} == want and all(
                all(os.path.isfile(p) and os.path.getsize(p) == PACK_FILE_SIZE for p in paths) and
                os.path.samefile(paths[0], paths[1])
                for paths in ([os.path.join(f, n) for f in folders + [old]] for n in names)):
            return [(n, PACK_FILE_SIZE, d) for n, d in zip(names, stamp["md5"])]
    say(f"generating {PACK_RELEASE} ({plural(PACK_FILES, 'file')} of {PACK_FILE_SIZE:,} bytes, "
        f"and an older copy of each)")
    for folder in folders + [old]:
        shutil.rmtree(folder, ignore_errors=True)
    new_lines, old_lines = random.Random(f"{PACK_RELEASE} new"), random.Random(f"{PACK_RELEASE} old")
    digests = []
    for name in names:
        paths = [os.path.join(f, name) for f in folders + [old]]
        for path in paths:
            os.makedirs(os.path.dirname(path), exist_ok=True)
        text_file(paths[0], PACK_FILE_SIZE, new_lines)
        os.link(paths[0], paths[1])
        text_file(paths[2], PACK_FILE_SIZE, old_lines)
        digests.append(file_md5(paths[0]))
        if file_md5(paths[2]) == digests[-1]:
            raise BenchFailure(f"{PACK_RELEASE}: the older copy of {name} is the same file")
    with open(stamp_path, "w") as out:
        json.dump(dict(want, md5=digests), out)
    return [(n, PACK_FILE_SIZE, d) for n, d in zip(names, digests)]


def read_pack_table(release):
    """{name with '/': (offset, stored size, length, codec)} from the
    release's UpDate.pack.ini (transfer/pack.h), whose first line must give
    UpDate.pack's length; empty when there is none."""
    lines = listed_lines(os.path.join(release, PACK_TABLE))
    if not lines:
        return {}
    (head, length), entries = lines[0], {}
    if head != PACK_NAME or int(length) != os.path.getsize(os.path.join(release, PACK_NAME)):
        raise BenchFailure(f"{release}: {PACK_TABLE} does not start with {PACK_NAME}'s length")
    for name, fields in lines[1:]:
        offset, stored, size, codec, _ = fields.split(" ")
        entries[name] = (int(offset), int(stored), int(size), int(codec))
    return entries


def pack_ready():
    """The two releases of the case's files, generated: (files, the packed
    one's table, which must list every file)."""
    files = pack_release_ready()
    run_generate_forms(plain_case(PACK_RELEASE), compress=False)
    if read_pack_table(os.path.join(TREES, plain_case(PACK_RELEASE), "Update")):
        raise BenchFailure(f"{plain_case(PACK_RELEASE)}: a release made without --pack lists a pack")
    run_generate_forms(PACK_RELEASE, compress=False, pack=True)
    table = read_pack_table(os.path.join(TREES, PACK_RELEASE, "Update"))
    left_out = [n for n, _, _ in files if n not in table]
    if left_out or len(table) != len(files):
        raise BenchFailure(f"{PACK_RELEASE}: {PACK_TABLE} lists {len(table)} files, leaving out {left_out[:5]}")
    return files, table


def pack_requests(run):
    """How many of a run's requests asked for the packed release's pack."""
    return sum(1 for _, _, uri in run["requests"] if uri == f"/{PACK_RELEASE}/Update/{PACK_NAME}")


def run_ours_packed(server, proxy, files, table):
    """run_ours_new from the packed release: every file its table lists must
    have come as part of the pack, none by its own name (but for the range
    probe's one byte of the first)."""
    run = run_ours_new(server, proxy, PACK_RELEASE, files, {})
    by_name = ({uri for _, sent, uri in run["requests"] if sent > 1} &
               {f"/{PACK_RELEASE}/Update/{n}" for n in table})
    if by_name or not pack_requests(run):
        raise BenchFailure(f"pack: our engine fetched {plural(len(by_name), 'packed file')} by name, "
                           f"e.g. {sorted(by_name)[:3]}, and {pack_requests(run)} times the pack")
    return run


def run_on_link(case, server, parties, delay_ms):
    """run_parties with the parties parties(proxy) makes for a fresh link of
    LINK_RATE_MBIT and a round trip of 2 x delay_ms, or for loopback (proxy
    None) when delay_ms is None."""
    proxy = DelayProxy(server.port, LINK_RATE_MBIT, delay_ms) if delay_ms is not None else None
    try:
        return run_parties(case, parties(proxy))
    finally:
        if proxy:
            proxy.stop()
        shutil.rmtree(OUT, ignore_errors=True)


def pack_result(case, files, table, runs):
    """compress_result with the pack's figures and each party's requests."""
    release = os.path.join(TREES, PACK_RELEASE, "Update")
    result = compress_result(case, files, runs, forms={},
                             pack_bytes=os.path.getsize(os.path.join(release, PACK_NAME)),
                             table_bytes=os.path.getsize(os.path.join(release, PACK_TABLE)),
                             deflated=sum(1 for *_, codec in table.values() if codec == 1))
    for party in runs:
        result[party + "_requests"] = statistics.median(len(r["requests"]) for r in runs[party])
        result[party + "_pack_requests"] = [pack_requests(r) for r in runs[party]]
        result[party + "_missing"] = [sum(1 for s, _, _ in r["requests"] if s == 404) for r in runs[party]]
    return result


def bench_pack_link(server):
    """The packed release over the 40 ms, 100 Mbit/s link against the
    unpacked one (today's engine) and curl fetching the files one by one on
    the same link, and against itself on loopback (the floor)."""
    case = "pack-link"
    files, table = pack_ready()
    plain = plain_case(PACK_RELEASE)
    runs = run_on_link(case, server, lambda proxy: [
        ("ours", lambda: run_ours_packed(server, proxy, files, table)),
        ("ours-unpacked", lambda: run_ours_new(server, proxy, plain, files, {})),
        ("curl", lambda: run_curl_files(server, proxy, plain, files)),
        ("ours-loopback", lambda: run_ours_packed(server, None, files, table))], PACK_DELAY_MS)
    return pack_result(case, files, table, runs)


def bench_pack_loopback(server):
    """The packed release against the unpacked one, from nginx on loopback."""
    case = "pack-loopback"
    files, table = pack_ready()
    runs = run_on_link(case, server, lambda _: [
        ("ours", lambda: run_ours_packed(server, None, files, table)),
        ("ours-unpacked", lambda: run_ours_new(server, None, plain_case(PACK_RELEASE), files, {}))], None)
    return pack_result(case, files, table, runs)


def engine_before_pack_ready():
    """download_bench.exe of the engine before the pack: BEFORE_PACK_COMMIT
    in a detached worktree at BEFORE_PACK_TREE (made once and kept; one
    this bench fails to make is taken off git's list again), configured
    with the windows preset, only download_bench built. Returns its path."""
    def git(*args, cwd=TOP):
        return subprocess.run(["git", "-C", cwd] + list(args), capture_output=True, text=True, timeout=120)

    commit = git("rev-parse", "--verify", BEFORE_PACK_COMMIT + "^{commit}").stdout.strip()
    if not commit:
        raise BenchFailure(f"this clone has no commit {BEFORE_PACK_COMMIT}")
    if not os.path.exists(BEFORE_PACK_TREE):
        say(f"pack-absent: a worktree of {BEFORE_PACK_COMMIT} in {os.path.relpath(BEFORE_PACK_TREE, TOP)}")
        added = git("worktree", "add", "--detach", BEFORE_PACK_TREE, commit)
        if added.returncode != 0:
            if BEFORE_PACK_TREE in git("worktree", "list", "--porcelain").stdout:
                git("worktree", "remove", "--force", BEFORE_PACK_TREE)
            raise BenchFailure(f"git worktree add failed: {added.stderr[-800:]}")
    head = git("rev-parse", "HEAD", cwd=BEFORE_PACK_TREE).stdout.strip()
    if head != commit:
        raise BenchFailure(f"{BEFORE_PACK_TREE} holds {head or 'no checkout'}, not {BEFORE_PACK_COMMIT}: "
                           f"remove it (git worktree remove) for the bench to make it again")
    build = os.path.join(BEFORE_PACK_TREE, "build", "windows")
    if not os.path.exists(os.path.join(build, "build.ninja")):
        build_step(["cmake", "--preset", "windows"], f"configuring {BEFORE_PACK_COMMIT}", cwd=BEFORE_PACK_TREE)
    say(f"pack-absent: building download_bench of {BEFORE_PACK_COMMIT}")
    build_target(build, "download_bench")
    return os.path.join(build, "bench", "download_bench.exe")


def bench_pack_absent(server):
    """The unpacked release over the 40 ms link to an installation holding
    an older copy of every file: ours (which asks for the pack's table
    first) against the engine before the pack."""
    case = "pack-absent"
    files, table = pack_ready()
    before = engine_before_pack_ready()
    plain, old = plain_case(PACK_RELEASE), os.path.join(OLD, PACK_RELEASE)
    runs = run_on_link(case, server, lambda proxy: [
        ("ours", lambda: run_ours_new(server, proxy, plain, files, {}, old=old)),
        ("ours-before", lambda: run_ours_new(server, proxy, plain, files, {}, exe=before, old=old))],
        PACK_DELAY_MS)
    return pack_result(case, files, table, runs)


def pack_targets(r):
    """[(text, met)] for the case's targets."""
    case = r["case"]
    if case == "pack-link":
        most = max(r["ours_pack_requests"])
        return [judged("seconds the link adds to loopback", r["ours_s"] - r["ours-loopback_s"], PACK_LINK_EXTRA_S),
                judged("speed / the unpacked release's", r["ours-unpacked_s"] / r["ours_s"], PACK_UNPACKED_SPEEDUP,
                       at_most=False),
                judged("speed / curl's", r["curl_s"] / r["ours_s"], PACK_CURL_SPEEDUP, at_most=False),
                judged("requests for the pack (most in a run)", most, r["files"] * PACK_REQUESTS_PER_FILE)]
    if case == "pack-loopback":
        return [judged("time / the unpacked release's", r["ours_s"] / r["ours-unpacked_s"], PACK_LOOPBACK_TIME)]
    return [judged("time / the engine before the pack's", r["ours_s"] / r["ours-before_s"], PACK_ABSENT_TIME)]


def pack_party(r, party, label):
    """A party's medians for the table: bytes, time, requests."""
    return (f"{label}{megabytes(r[party + '_wire'])} in {r[party + '_s']:.2f} s, "
            f"{plural(round(r[party + '_requests']), 'request')}")


def pack_row(r):
    case = r["case"]
    title = f"{TITLES[case]}, {megabytes(r['bytes'])}"
    if case == "pack-link":
        ours = (pack_party(r, "ours", "packed: ") + f" ({max(r['ours_pack_requests'])} for the pack); "
                f"on loopback {r['ours-loopback_s']:.2f} s")
        peers = (pack_party(r, "ours-unpacked", "ours, unpacked release: ") + "; " +
                 pack_party(r, "curl", "curl, one file after another: "))
    elif case == "pack-loopback":
        ours = pack_party(r, "ours", "packed: ")
        peers = pack_party(r, "ours-unpacked", "ours, unpacked release: ")
    else:
        ours = pack_party(r, "ours", "")
        peers = pack_party(r, "ours-before", f"ours before the pack ({BEFORE_PACK_COMMIT}): ")
    memory = f"{kib(r['call_peak_kib'])} (+{kib(r['growth_kib'])})"
    return f"| {title} | {ours} | {peers} | {'; '.join(t for t, _ in pack_targets(r))} | {memory} |"


PACK_HEADER = ["| packed small files | ours (Wine; bytes on the link, or nginx's body bytes on loopback) | "
               "peers | against the targets | ours: peak working set of the call (growth over the base) |",
               "|---|---|---|---|---|"]


def pack_detail(r):
    case, runs = r["case"], r["runs"]
    text = (f"- {case}: {plural(r['files'], 'file')} of {PACK_FILE_SIZE:,} bytes ({r['bytes']:,} bytes of "
            f"log-like lines, fixed seed, in {PACK_FOLDERS} folders); {PACK_NAME} {r['pack_bytes']:,} bytes "
            f"({r['deflated']:,} of its {r['files']:,} entries deflated), {PACK_TABLE} "
            f"{r['table_bytes']:,} bytes. ")
    if case == "pack-absent":
        text += (f"The installation holds an older copy of every file (lines from another seed); the "
                 f"release is the one made without --pack; ours-before is download_bench.exe built from "
                 f"{BEFORE_PACK_COMMIT} in {os.path.relpath(BEFORE_PACK_TREE, TOP)}. ")

    def counted(party, what):
        return ", ".join(map(str, r[f"{party}_{what}"]))

    text += "; ".join(party_said(runs, party) + f"; per run {counted(party, 'missing')} answered 404"
                      + (f", {counted(party, 'pack_requests')} for the pack" if any(r[party + "_pack_requests"])
                         else "") for party in runs)
    return text + (f"; ours {joined(runs['ours'], 'wall', '{:.2f}')} s with Wine's start; our process's base "
                   f"working set {kib(r['base_kib'])} (call peak from: {', '.join(r['peak_methods'])}).")


ALL_CASES += PACK_CASES


# ---------------------------------------------------------------------------
# The report.

def command_output(command):
    try:
        done = subprocess.run(command, capture_output=True, text=True, timeout=60)
        return (done.stdout or done.stderr).strip().splitlines()[0]
    except (OSError, subprocess.SubprocessError, IndexError):
        return "unknown"


def machine_facts(load_before):
    cpu = "unknown"
    with open("/proc/cpuinfo") as info:
        for line in info:
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    with open("/proc/meminfo") as info:
        memory_gib = int(info.readline().split()[1]) / (1 << 20)
    distro = "Linux"
    if os.path.exists("/etc/os-release"):
        with open("/etc/os-release") as release:
            for line in release:
                if line.startswith("PRETTY_NAME="):
                    distro = line.split("=", 1)[1].strip().strip('"')
    commit = command_output(["git", "-C", TOP, "rev-parse", "--short", "HEAD"])
    dirty = subprocess.run(["git", "-C", TOP, "status", "--porcelain", "--untracked-files=no"],
                           capture_output=True, text=True).stdout.strip()
    return [
        ("date", datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")),
        ("commit", commit + (" (with uncommitted changes)" if dirty else "")),
        ("cores", f"{os.cpu_count()} ({cpu})"),
        ("memory", f"{memory_gib:.1f} GiB"),
        ("system", f"{distro}, kernel {platform.release()}"),
        ("Wine", command_output(["wine", "--version"])),
        ("md5sum", command_output(["md5sum", "--version"])),
        ("curl", " ".join(command_output(["curl", "--version"]).split()[:2])),
        ("zsync", " ".join(command_output(["zsync", "-V"]).split()[:2])),
        ("zchunk", command_output(["zck", "-V"])),
        ("nginx", command_output(["nginx", "-v"])),
        ("load average", f"{load_before} before, {' '.join(f'{x:.2f}' for x in os.getloadavg())} after"),
        ("runs", f"median of {RUNS} after one untimed warm-up pass of each side"),
    ]


def plural(count, word):
    return f"{count:,} {word}{'' if count == 1 else 's'}"


def rate(value):
    return f"{value:.0f}" if value >= 100 else f"{value:.3g}"


def kib(value):
    return f"{value / 1024:.1f} MiB"


MAIN_HEADER = ["| benchmark | ours | peer | ratio (ours / peer) | ours: peak working set of the call (growth over the base) |",
               "|---|---|---|---|---|"]


def table(results):
    return "\n".join(MAIN_HEADER + [row for _, row in main_rows(results)])


def section(case):
    """Which table a case's row goes to: main, delta, compress or pack."""
    return next((s for s in ("delta", "compress", "pack") if case.startswith(s + "-")), "main")


def main_rows(results):
    """[(case, row)] of the main table, in the results' order."""
    rows = []
    for r in results:
        if section(r["case"]) != "main":
            continue
        if r["case"] == "compare":
            rows.append((r["case"], f"| {TITLES['compare']} | {r['ms']:.1f} ms (native) | target 50 ms | "
                        f"{r['ratio']:.3g} of the target ({'met' if r['ratio'] < 1 else 'missed'}) | |"))
            continue
        if r["case"] == "update-a":
            # Reading the file alone would take longer than this (MD5 in memory: download-a-md5).
            rows.append((r["case"], f"| {TITLES[r['case']]} | {r['second_s'] * 1000:.0f} ms (Wine) | "
                        f"first check of the same folder {r['first_s']:.2f} s | "
                        f"{r['first_s'] / r['second_s']:.3g} x faster: the {r['bytes'] / GIB:.0f} GiB are not read again | |"))
            continue
        memory = f"{kib(r['call_peak_kib'])} (+{kib(r['growth_kib'])})"
        if r["case"] == "recheck-a":
            ms = r["second_s"] * 1000
            rows.append((r["case"], f"| {TITLES[r['case']]} | {ms:.0f} ms (Wine) | target under {RECHECK_TARGET_MS:.0f} ms | "
                        f"{ms / RECHECK_TARGET_MS:.3g} of the target ({'met' if ms < RECHECK_TARGET_MS else 'missed'}); "
                        f"{r['speedup']:.3g} x the first check | {memory} |"))
            continue
        if r["case"] == "recheck-b":
            rows.append((r["case"], f"| {TITLES[r['case']]} | {r['second_s'] * 1000:.0f} ms (Wine) | first check "
                        f"{r['first_s']:.2f} s, target {RECHECK_TARGET_SPEEDUP:.0f} x faster | "
                        f"{r['speedup']:.3g} x faster ({'met' if r['speedup'] >= RECHECK_TARGET_SPEEDUP else 'missed'}) | {memory} |"))
            continue
        native = r.get("peer_native", not r.get("peer_under_wine", False))
        ours = f"{r['ours_mbs']:.1f} MB/s, {rate(r['ours_fps'])} files/s ({r['ours_s']:.2f} s, Wine)"
        peer = (f"{r['peer']}: {r['peer_mbs']:.1f} MB/s, {rate(r['peer_fps'])} files/s "
                f"({r['peer_s']:.2f} s, {'native' if native else 'Wine'})")
        if r["case"] == "download-a-md5":
            met = "met" if r["ratio"] >= MD5_FLOOR_TARGET else "missed"
            rows.append((r["case"], f"| {TITLES[r['case']]} | {ours} | {peer} | {r['ratio']:.3g} (target {MD5_FLOOR_TARGET}: {met}) | {memory} |"))
            continue
        if r["case"] == "floor-b":
            met = "met" if r["ratio"] >= FLOOR_TARGET else "missed"
            rows.append((r["case"], f"| {TITLES[r['case']]} | {ours} | {peer} | {r['ratio']:.3g} (target {FLOOR_TARGET}: {met}) | {memory} |"))
            continue
        rows.append((r["case"], f"| {TITLES[r['case']]} | {ours} | {peer} | {r['ratio']:.3g} | {memory} |"))
    return rows


def details(results):
    return "\n".join(line for _, line in detail_lines(results))


# The tables after the main one: (header, row, run line) of a case's result.
SECTIONS = {"delta": (DELTA_HEADER, delta_row, delta_detail),
            "compress": (COMPRESS_HEADER, compress_row, compress_detail),
            "pack": (PACK_HEADER, pack_row, pack_detail)}


def detail_lines(results):
    """[(case, line)] of the runs' details, in the results' order."""
    lines = []
    for r in results:
        if section(r["case"]) != "main":
            lines.append((r["case"], SECTIONS[section(r["case"])][2](r)))
            continue
        if r["case"] == "compare":
            lines.append((r["case"], f"- compare: medians over {RUNS} repetitions of Google Benchmark "
                         f"(each the mean of {r['iterations']} iterations); repetitions "
                         f"{', '.join(f'{x:.2f}' for x in r['runs_ms'])} ms; "
                         f"{r['to_fetch']:.0f} names to fetch; our code built -O3 -DNDEBUG "
                         f"(the Google Benchmark library itself reports a {r['library_build']} build)."))
            continue
        if r["case"].startswith("recheck"):
            lines.append((r["case"], f"- {r['case']}: second checks {', '.join(f'{x:.3f}' for x in r['runs'])} s, each "
                         f"right after the first check of the same run ({', '.join(f'{x:.3f}' for x in r['first_runs'])} s)."))
            continue
        if r["case"] == "update-a":
            lines.append((r["case"], f"- update-a: after each of our downloads in download-a (which then recorded the "
                         f"installed file in the digest cache in {', '.join(f'{x:.2f}' for x in r['record_s'])} s, untimed "
                         f"there), manifest_bench.exe on its folder: {', '.join(f'{x:.3f}' for x in r['runs'])} s; "
                         f"then without the cache {', '.join(f'{x:.3f}' for x in r['first_runs'])} s; "
                         f"both checks' digests of the file equal the served one."))
            continue
        if r["case"] == "download-a-md5":
            lines.append((r["case"], f"- download-a-md5: our downloads as in download-a; md5_bench.exe (hashing only) "
                         f"{', '.join(f'{x:.3f}' for x in r['peer_runs'])} s."))
            continue
        if r["case"] == "floor-b":
            lines.append((r["case"], f"- floor-b: our first checks as in manifest-b; floor_bench.exe "
                         f"{', '.join(f'{x:.3f}' for x in r['peer_runs'])} s."))
            continue
        line = (f"- {r['case']}: ours {', '.join(f'{x:.3f}' for x in r['ours_runs'])} s; "
                f"{r['peer']} {', '.join(f'{x:.3f}' for x in r['peer_runs'])} s; "
                f"{r['bytes']:,} bytes in {plural(r['files'], 'file')}; our process's base working set "
                f"{kib(r['base_kib'])}, process peak {kib(r['process_peak_kib'])} "
                f"(call peak taken from: {', '.join(r['peak_methods'])}); "
                f"{r['peer']} peak RSS {kib(r['peer_rss_kib'])} (GNU time"
                f"{', of the wine process' if r.get('peer_under_wine') else ''})")
        if "ours_connections" in r:
            def shown(seen):
                return " or ".join(f"{plural(n, 'request')} over {plural(c, 'connection')}, "
                                   f"{sent:,} bytes sent" for n, c, sent in seen)
            line += (f"; nginx saw, per run, ours: {shown(r['ours_connections'])}; "
                     f"{r['peer']}: {shown(r['peer_connections'])}")
        lines.append((r["case"], line + "."))
    return lines


# The cases whose results come as more than one row or run line.
OWNER = {"recheck-a": "manifest-a", "recheck-b": "manifest-b", "floor-b": "manifest-b",
         "download-a-loop": "download-a", "download-b-loop": "download-b",
         "download-a-md5": "download-a", "update-a": "download-a"}
EARLIER = " (earlier run: "


def owner(case):
    return OWNER.get(case, case)


def in_case_order(items):
    return sorted(items, key=lambda item: ALL_CASES.index(owner(item[0])))


def earlier_lines(ran):
    """The table rows and run lines that the file as the last run left holds
    for cases this run did not run, as (case, text), each marked with the
    date of the run it came from: a run of some cases keeps the others'."""
    rows, runs, machines = [], [], {}
    if not os.path.exists(DOC):
        return rows, runs, machines
    with open(DOC, encoding="utf-8") as kept:
        lines = kept.read().splitlines()
    date = next((line[len("- date: "):].strip() for line in lines if line.startswith("- date: ")),
                "date unknown")
    facts = {line[2:].split(": ", 1)[0]: line[2:].split(": ", 1)[1]
             for line in lines[:lines.index("## Results")] if line.startswith("- ") and ": " in line} \
        if "## Results" in lines else {}
    machines[date] = f"commit {facts.get('commit', 'unknown')}, cores {facts.get('cores', 'unknown')}"
    # What the file already says of the runs its own kept rows come from.
    for line in lines:
        if line.startswith("- run of ") and ": " in line:
            machines.setdefault(line[len("- run of "):].split(": ", 1)[0], line.split(": ", 1)[1])
    # Longest first, so no title is taken for another it begins with.
    titles = sorted(TITLES.items(), key=lambda item: -len(item[1]))
    for line in lines:
        if line.startswith("| "):
            case = next((c for c, title in titles if line.startswith("| " + title)), None)
            if case and owner(case) not in ran:
                first, rest = line.split(" | ", 1)
                if EARLIER not in first:
                    line = f"{first}{EARLIER}{date}) | {rest}"
                rows.append((case, line))
        elif line.startswith("- "):
            key = line[2:].split(":", 1)[0].split(" (", 1)[0]
            if key in TITLES and owner(key) not in ran:
                if not line[2:].startswith(key + EARLIER):
                    line = f"- {key}{EARLIER}{date}){line[2 + len(key):]}"
                runs.append((key, line))
    return rows, runs, machines


def write_doc(results, facts, skipped):
    cases = os.environ.get("BENCH_CASES", "")
    runs = os.environ.get("BENCH_RUNS", "")
    prefix = " ".join(x for x in [f"BENCH_CASES={cases}" if cases else "",
                                  f"BENCH_RUNS={runs}" if runs else ""] if x)
    ran = {owner(r["case"]) for r in results}
    kept_rows, kept_runs, machines = earlier_lines(ran)
    kept = {owner(c) for c, _ in kept_rows}
    not_run = [c for c in ALL_CASES if c not in ran and c not in kept]
    rows = in_case_order(main_rows(results) + [(c, r) for c, r in kept_rows if section(c) == "main"])

    def section_rows(name):
        return in_case_order([(r["case"], SECTIONS[name][1](r)) for r in results if section(r["case"]) == name] +
                             [(c, r) for c, r in kept_rows if section(c) == name])

    delta, compressed, packed = section_rows("delta"), section_rows("compress"), section_rows("pack")
    run_lines = in_case_order(detail_lines(results) + kept_runs)
    text = f"""# Benchmarks

Written by `make bench` (scripts/bench.sh, bench/bench.py). A new run replaces
the rows of the cases it runs and keeps the others, marked with the date of
the run they come from (the machine below is this run's). Our Windows code
runs under Wine; md5sum, curl, zsync, zchunk, nginx and the comparison benchmark
run natively on the same machine in the same run.

## Machine

{chr(10).join(f"- {k}: {v}" for k, v in facts)}

## Results

{chr(10).join(MAIN_HEADER + [r for _, r in rows])}

Ratios are our throughput over the peer's (1.00: as fast; 0.50: half as fast);
for the comparison, our time over the 50 ms target (below 1: within it).
MB/s counts 10^6 bytes a second of file contents.
"""
    if delta:
        text += f"""
### Delta updates

{chr(10).join(DELTA_HEADER + [r for _, r in delta])}

Bytes on the wire are what the link carried both ways, HTTP headers included
(our engine: the range probe, the index and the ranges; zsync: its control
file and the ranges; curl: the whole file). Times: ours inside the process
(one `CMyFun::DownloadFiles`, Wine's start not included), zsync's and curl's
from their start to their exit. MB is 10^6 bytes.
"""
    if compressed:
        text += f"""
### Compressed transfer

{chr(10).join(COMPRESS_HEADER + [r for _, r in compressed])}

All but the loopback case go over the same {LINK_RATE_MBIT} Mbit/s link with a
{2 * LINK_DELAY_MS} ms round trip; bytes are what it carried both ways, headers included
(our engine: the range probe, UpDate.frames.ini and the forms, and in the
delta cases the index, ranges of the file and runs of frames; zchunk:
every zckdl request, its header included; zsync: its control file and the
ranges; curl: the raw files). The loopback case has no proxy. Times: ours
inside the process, zckdl's (added up over the files, unzck's decoding
given apart), zsync's and curl's from their start to their exit. Ratios
are ours over the peer's. MB is 10^6 bytes.
"""
    if packed:
        text += f"""
### Packed small files

{chr(10).join(PACK_HEADER + [r for _, r in packed])}

pack-link and pack-absent go over a {LINK_RATE_MBIT} Mbit/s link with a
{2 * PACK_DELAY_MS} ms round trip; bytes are what it carried both ways, headers
included (our engine: the range probe, the two lists a release may serve,
UpDate.frames.ini and UpDate.pack.ini, each 404 where it has none, then the
lists of ranges of UpDate.pack or one request a file; curl: one request a
file). On loopback (pack-loopback, and the floor in pack-link) bytes are
nginx's body bytes. Times: ours inside the process, curl's from its start to
its exit; speeds are the other party's time over ours. MB is 10^6 bytes.
"""
    dates = sorted({r.split(EARLIER, 1)[1].split(")", 1)[0] for _, r in kept_rows})
    if dates:
        text += ("\nRows marked \"earlier run\" are kept from the file an earlier run wrote:\n\n" +
                 "\n".join(f"- run of {d}: {machines.get(d, 'machine not recorded')}" for d in dates) + "\n")
    if not_run:
        text += ("\nNot measured in this run nor kept from an earlier one: " + ", ".join(not_run) +
                 (" (" + "; ".join(skipped) + ")" if skipped else " (left out by BENCH_CASES)") + ".\n")
    text += f"""
Runs:

{chr(10).join(line for _, line in run_lines)}

## What is measured

- Local manifest: `manifest_bench.exe FOLDER` (bench/manifest_bench.cpp) times
  one `CMyFun::BuildLocalManifest(folder, nullptr)` with QueryPerformanceCounter,
  inside the process: Wine's start-up is not included. md5sum hashes the same
  files, in the order of the LocalDate.ini our run wrote, in one process
  (`md5sum -- NAMES`, output to a pipe), timed from its start to its exit.
  Every run's digests must equal md5sum's, or the bench fails. LocalDate.ini's
  own line (the walk finds the file it is writing and cannot open it) and the
  digest cache's are left out of the check. This is the first check: the
  digest cache LocalDigest.cache is deleted before each run.
- Second check: right after each first check, `manifest_bench.exe` again,
  with the cache that run left (the tree unchanged and written long before,
  so every file may come from the cache); its digests are checked the same
  way. Targets: under 100 ms for (a), 10 x faster than the first for (b).
- Floor: `floor_bench.exe FOLDER` (bench/floor_bench.cpp) lists the tree
  untimed, then times a plain loop of CreateFileW, ReadFile to the end and
  CloseHandle per file, on one thread, under the same Wine; the ratio is its
  time over our first check's (target 0.9 or more).
- Comparison: `compare_bench` (bench/compare_bench.cpp), a native build with
  Release flags and no sanitizers, times preparing two 100 000-entry manifest
  texts and `CMyFun::CompareManifests` over them; the result is checked
  against an independently built list first. Native means a 32-bit
  `wchar_t`; on Windows the same code runs on 16-bit units.
- Download: `download_bench.exe URL FOLDER TIMEOUT` (bench/download_bench.cpp)
  times one `CMyFun::DownloadFiles` on a worker thread while the window that
  holds its progress bar, texts and list view stays visible on the Xvfb display
  and pumps messages, as the dialog does. The bench hands the release
  manifest's digests to the engine, as the check does, so the engine also
  checks each received file's MD5, as in a real update. curl fetches the same
  URLs in the same order in one process (`curl --config LIST`, url/output
  pairs) over one kept-alive connection, writing the files to disk. Both
  sides' files are checked against the served bytes after every run; nginx's
  log confirms the request and connection counts.
- The WinINet loop (download-a and -b): `wininet_loop_bench.exe URL FOLDER`
  (bench/wininet_loop_bench.cpp), under the same Wine, fetches the same list
  one file after another with the plainest code WinINet allows
  (`InternetOpenUrlW`, 1 MiB `InternetReadFile`s, `WriteFile`, close), timed
  inside the process: what any sequential downloader pays under this Wine.
- Check after an update (download-a): after each of our downloads the
  bench does what the worker does once the outcome shows (the installed,
  verified file goes into the digest cache once its racy margin has passed),
  then times `manifest_bench.exe` on that folder, and a first check of it
  without the cache (which must read and hash the whole file); both must
  give the served file's digest.
- Our MD5 (download-a): `md5_bench.exe FILE` (bench/md5_bench.cpp), under
  the same Wine, reads the served 1 GiB file in 16 MiB pieces, untimed, and
  times only our MD5 over each piece; its digest must be the file's. That is
  the limit of a download that hashes what it receives on one stream; the
  target is a download at 0.8 of that speed or more.
- The 10 ms link (download-c): both sides go through bench/delay_proxy.py, a
  TCP proxy on 127.0.0.1 that writes every chunk it reads {LINK_DELAY_MS} ms
  later, in each direction, so every request waits a 10 ms round trip;
  bandwidth is not limited.
- Delta updates (delta-archive, -exe, -unrelated, -memory): pairs of an old
  and a new file generated from fixed seeds (see Runs for their sizes and
  what changed). The release folder holds the new file, the UpDate.ini and
  index `updater-manifest generate --delta` wrote, and beside it zsyncmake's
  control file. Every party goes through bench/delay_proxy.py with
  `--delay-ms {LINK_DELAY_MS} --rate-mbit {LINK_RATE_MBIT}`: a 10 ms round trip and
  {LINK_RATE_MBIT} Mbit/s each way, paced per 4 KiB chunk; the proxy counts the
  bytes it delivers. Ours: `download_bench.exe` in an installation folder
  holding the old copy and UpDate.ini (so the list holds the changed file and
  the engine rebuilds it from the old copy); zsync 0.6.2: `zsync -i OLD -o OUT
  URL_OF_CONTROL_FILE`; curl fetches the whole new file. Every result's MD5 is
  checked against the new file's. The unrelated pair is also fetched by our
  engine without an old copy. delta-memory rebuilds an archive-like 1 GiB
  pair once (ours only) for the working set. delta-generate times
  `updater-manifest generate RELEASE -o RELEASE/UpDate.ini --delta` (a native
  Release build) against `zsyncmake -o CONTROL -u URL FILE` on the three new
  files.
- Compressed transfer (compress-release, -incompressible, -loopback): every
  file is new, so the installation folder holds only the release's
  UpDate.ini; the release is made with `updater-manifest generate RELEASE -o
  RELEASE/UpDate.ini --compress`, and our engine reads UpDate.frames.ini and
  fetches each listed file as its form (UpDate.frames/<path>, one request).
  compress-release serves the largest PE files the libwine package installs
  for x86-64 Windows, as many as make 100 MB, to ours, to zchunk (`zck -o
  NAME.zck FILE` once, beside the release; then per file `zckdl URL` into a
  fresh folder, and `unzck NAME.zck`, whose output must be the file) and to
  one curl process fetching the raw files, all through
  bench/delay_proxy.py with `--delay-ms {LINK_DELAY_MS} --rate-mbit {LINK_RATE_MBIT}`. The proxy paces
  each connection on its own, so a party with files on several connections
  at once gets more than {LINK_RATE_MBIT} Mbit/s in all (Runs give the time the bytes
  alone take at that rate). compress-incompressible: 100 MiB of noise from a
  fixed seed, which gets no form, from the release made with --compress and
  from the same file in a release made without, over the same link.
  compress-loopback: 1 GiB of log-like lines from a fixed seed (its form is
  about a third of it), from nginx straight, through its form and raw from
  the release made without --compress. compress-generate times generate
  --compress over compress-release's files against `zck -o OUT FILE` per
  file, times added up, both native.
- Compressed delta (compress-rebuilt, -rewritten): the old copy is libwine's
  shell32.dll, the new one made from it with a fixed seed (see Runs). The
  same new file is served from a release made with `generate ... --delta
  --compress` and, hard-linked, from one made with `--delta` alone (today's
  delta); our engine, in an installation folder holding the old copy, rebuilds
  it from either, through the same link as the delta cases. With the form
  listed it reads the form's head and takes each missing part as ranges of
  the file or as whole frames of the form, whichever is fewer bytes.
  compress-rebuilt is also fetched by zsync (`zsync -i OLD`), compress-rewritten
  by zchunk: `zck` of the old and the new file, then `zckdl --source OLD.zck
  URL` and `unzck`, whose output must be the new file.
- Packed small files (pack-link, -loopback, -absent): {PACK_FILES:,} files of
  {PACK_FILE_SIZE // 1024} KiB of log-like lines from a fixed seed, in {PACK_FOLDERS} folders, served
  from a release made with `updater-manifest generate RELEASE -o
  RELEASE/UpDate.ini --pack` (which also writes UpDate.pack, the small files
  back to back, each deflated where that pays, and UpDate.pack.ini, where
  each lies) and, hard-linked, from one made without. The installation
  folder holds only UpDate.ini, so every file is new; from the packed
  release our engine asks for the files as lists of ranges of UpDate.pack
  (up to 256 files or 1 MiB a request, several at once on its 4
  connections), and the bench fails if it fetched any listed file by its
  own name (the range probe's one byte of the first file aside).
  pack-link: through bench/delay_proxy.py with `--delay-ms {PACK_DELAY_MS} --rate-mbit
  {LINK_RATE_MBIT}` (a {2 * PACK_DELAY_MS} ms round trip), the packed release, the unpacked one
  (today's engine: every file by its own name) and one curl process
  fetching the files one after another (`curl --config LIST`), and the
  packed release on loopback as the floor; nginx's log gives each party's
  requests. pack-loopback: both releases from nginx straight.
  pack-absent: the unpacked release over the same link to an installation
  that also holds an older copy of every file (lines from another seed), so
  all are fetched: ours, which first asks for UpDate.pack.ini (404), against
  `download_bench.exe` built from commit {BEFORE_PACK_COMMIT}, the last before the pack
  (`git worktree add --detach build/bench-before-pack {BEFORE_PACK_COMMIT}`, the windows
  preset, only that target; kept for the next run). Every party's files are
  checked by MD5.
- Memory: the working set of our process from `GetProcessMemoryInfo`. Under
  Wine, PeakWorkingSetSize and WorkingSetSize are the Linux process's VmHWM and
  VmRSS, so they include Wine's own baseline (its DLLs and start-up). The table
  shows the peak working set during the call and, in brackets, its growth over
  the working set just before the call. The process peak cannot be reset, so
  when it did not rise during the call, a thread sampling the working set every
  5 ms gives the call's peak instead. (Wine's PeakPagefileUsage is no peak: it
  falls back with the usage, so it is not used.) The peers' figure is their
  peak RSS as GNU time reports it.
- Between runs: output folders are emptied and `sync` is run, untimed; the
  generated files stay in the page cache (one warm-up pass reads them all).

## Reproduce

```sh
{(prefix + ' ') if prefix else ''}make bench
```

which runs `scripts/bench.sh`:

```sh
scripts/install-deps.sh
cmake --preset windows && cmake --build build/windows -j2 --target manifest_bench floor_bench download_bench \
      wininet_loop_bench
cmake --preset host -B build/bench-host -DCMAKE_BUILD_TYPE=Release -DUPDATER_SANITIZE=OFF \\
      -DBUILD_TESTING=OFF -DUPDATER_BENCH=ON
cmake --build build/bench-host -j2 --target compare_bench
cmake --build build/bench-host -j2 --target updater-manifest   # by bench.py, for the delta, compressed and pack cases
git worktree add --detach build/bench-before-pack {BEFORE_PACK_COMMIT}   # by bench.py, for pack-absent, once
(cd build/bench-before-pack && cmake --preset windows && cmake --build build/windows -j2 --target download_bench)
python3 bench/bench.py   # with scripts/wine-env.sh sourced, a private Xvfb and one wineserver
```

Settings: `BENCH_RUNS` (runs per side, default 3), `BENCH_CASES` (a subset of
{', '.join(ALL_CASES)}), `BENCH_TIMEOUT` (seconds per run, default 1200),
`BENCH_BUDGET` (seconds for everything, default 3600), `BENCH_CLEAN=1` (delete
the generated trees in build/bench afterwards), `BENCH_DELTA_SCALE` (the
delta pairs' sizes times this, default 1), `BENCH_MANIFEST_TOOL` (an
updater-manifest already built, used instead of building the Release one;
its timings are then that build's). One case by hand, inside
`scripts/with-wine-env.sh bash`:

```sh
wine build/windows/bench/manifest_bench.exe 'Z:\\path\\to\\folder'
(cd folder && md5sum -- NAMES)    # the names in LocalDate.ini's order, with /
build/bench-host/bench/compare_bench --benchmark_repetitions=3
wine build/windows/bench/download_bench.exe http://127.0.0.1:PORT/download-b/Update/ 'Z:\\path\\to\\folder' 600
curl --config build/bench/download-b.curl   # the run's url/output list; PORT was its nginx's
```
(the download folder holds only the release's UpDate.ini; nginx serves
build/bench/trees).
"""
    with open(DOC, "w") as out:
        out.write(text)


def main():
    # A row's name selects the case that makes it (download-a-loop: download-a).
    selected = [owner(c.strip()) for c in os.environ.get("BENCH_CASES", ",".join(ALL_CASES)).split(",")
                if c.strip()]
    unknown = [c for c in selected if c not in ALL_CASES]
    if unknown or not selected:
        raise SystemExit(f"BENCH_CASES: unknown {unknown}; choose from {', '.join(ALL_CASES)}")
    load_before = " ".join(f"{x:.2f}" for x in os.getloadavg())
    os.makedirs(TREES, exist_ok=True)
    results, skipped = [], []
    server = None
    tool_built = False
    try:
        for case in ALL_CASES:
            if case not in selected:
                continue
            try:
                if case.startswith("manifest"):
                    results.extend(bench_manifest(case))
                elif case == "compare":
                    results.append(bench_compare())
                elif section(case) != "main":
                    if not tool_built:
                        manifest_tool_ready()
                        tool_built = True
                    if case in ("delta-generate", "compress-generate"):
                        results.append(bench_delta_generate() if case == "delta-generate"
                                       else bench_compress_generate())
                    else:
                        if server is None:
                            server = Nginx(TREES)
                        measure = {"compress-release": bench_compress_release,
                                   "compress-incompressible": bench_compress_incompressible,
                                   "compress-loopback": bench_compress_loopback,
                                   "pack-link": bench_pack_link, "pack-loopback": bench_pack_loopback,
                                   "pack-absent": bench_pack_absent}.get(case)
                        if case in COMPRESS_PAIRS:
                            results.append(bench_compress_delta(server, case))
                        else:
                            results.append(measure(server) if measure else bench_delta(server, case))
                else:
                    if server is None:
                        server = Nginx(TREES)
                    results.extend(bench_download(server, case))
            except OutOfTime as reason:
                say(f"{case}: not measured: {reason}")
                skipped.append(f"{case}: {reason}")
    except BenchFailure as failure:
        print(f"\nbench: FAILED: {failure}", file=sys.stderr, flush=True)
        return 1
    finally:
        if server:
            server.stop()
        shutil.rmtree(OUT, ignore_errors=True)
        if os.environ.get("BENCH_CLEAN") == "1":
            shutil.rmtree(TREES, ignore_errors=True)
            shutil.rmtree(OLD, ignore_errors=True)

    facts = machine_facts(load_before)
    write_doc(results, facts, skipped)
    print()
    if any(section(r["case"]) == "main" for r in results):
        print(table(results))
        print()
    for name, (header, row, _) in SECTIONS.items():
        if any(section(r["case"]) == name for r in results):
            print("\n".join(header + [row(r) for r in results if section(r["case"]) == name]))
            print()
    print(details(results))
    print(f"\nbench: wrote {os.path.relpath(DOC, TOP)}")
    return 3 if skipped else 0


if __name__ == "__main__":
    sys.exit(main())
