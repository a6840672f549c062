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
                  Wine), the floor Wine sets; download-c goes through
                  bench/delay_proxy.py, which makes loopback a link with a
                  10 ms round trip, for both sides.

Each figure is the median of BENCH_RUNS runs (default 3) after one untimed
warm-up pass of both sides. Run through scripts/bench.sh, which builds the
programs and provides Wine's environment and a display. Writes
docs/benchmarks.md. Environment:
  BENCH_RUNS     timed runs per side (default 3)
  BENCH_CASES    comma-separated subset of the cases above (default: all)
  BENCH_TIMEOUT  seconds one run of one side may take (default 1200)
  BENCH_BUDGET   seconds for the whole run (default 3600); cases that no longer
                 fit are reported as not measured
  BENCH_CLEAN=1  delete the generated trees afterwards (default: keep them in
                 build/bench for the next run)
"""
import datetime
import hashlib
import json
import os
import platform
import random
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


def timed_process(command, cwd=None, peak_rss=False):
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
                               start_new_session=True)

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


def update_manifest(files):
    """UpDate.ini as the publisher's tool writes it: backslashes, TAB, MD5,
    CR LF, UTF-16 ordinal order, code page 936."""
    names = sorted(files, key=lambda f: f[0].replace("/", "\\").encode("utf-16-be"))
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


def served(server, files, what):
    """The requests since the last call, once every file has been asked for
    (nginx logs a request when it ends; a cut-off probe may end a bit later).
    Returns (requests, connections, body bytes sent)."""
    wanted = {"/" + n for n, _, _ in files}
    requests, deadline = [], time.monotonic() + 5
    while True:
        requests += server.new_requests()
        if wanted <= {uri for _, _, uri, _ in requests} or time.monotonic() > deadline:
            break
        time.sleep(0.1)
    failed = [r for r in requests if r[0] not in (200, 206)]
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
    return fields, served(server, prefixed(case, files), f"{case} (ours)")


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
    return float(fields["seconds"]), rss, served(server, prefixed(case, files), f"{case} (WinINet loop)")


class DelayProxy:
    """bench/delay_proxy.py in front of nginx, stopped by pid."""

    def __init__(self, target):
        self.process = subprocess.Popen(
            [sys.executable, os.path.join(TOP, "bench", "delay_proxy.py"), "--target", str(target),
             "--delay-ms", str(LINK_DELAY_MS)], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
            text=True)
        line = self.process.stdout.readline().strip()
        if not line.isdigit():
            self.stop()
            raise BenchFailure("delay_proxy.py did not start")
        self.port = int(line)

    def stop(self):
        stop_process(self.process)


def run_curl(server, case, files, port):
    folder = os.path.join(OUT, "curl")
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    config = os.path.join(DATA, f"{case}.curl")
    names = sorted((n for n, _, _ in strip_update(files)),
                   key=lambda n: n.replace("/", "\\").encode("utf-16-be"))
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
    say(f"{case}: warm-up")
    run_ours_download(server, case, files, manifest, port)
    run_curl(server, case, files, port)
    if with_loop:
        run_loop(server, case, files, manifest, port)
    ours, peer, memory, peer_rss, ours_conn, peer_conn = [], [], [], [], set(), set()
    loop, loop_rss, loop_conn = [], [], set()
    for run in range(RUNS):
        fields, used = run_ours_download(server, case, files, manifest, port)
        ours.append(float(fields["seconds"]))
        memory.append(fields)
        ours_conn.add(used)
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
    return results


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


def table(results):
    rows = ["| benchmark | ours | peer | ratio (ours / peer) | ours: peak working set of the call (growth over the base) |",
            "|---|---|---|---|---|"]
    for r in results:
        if r["case"] == "compare":
            rows.append(f"| {TITLES['compare']} | {r['ms']:.1f} ms (native) | target 50 ms | "
                        f"{r['ratio']:.3g} of the target ({'met' if r['ratio'] < 1 else 'missed'}) | |")
            continue
        memory = f"{kib(r['call_peak_kib'])} (+{kib(r['growth_kib'])})"
        if r["case"] == "recheck-a":
            ms = r["second_s"] * 1000
            rows.append(f"| {TITLES[r['case']]} | {ms:.0f} ms (Wine) | target under {RECHECK_TARGET_MS:.0f} ms | "
                        f"{ms / RECHECK_TARGET_MS:.3g} of the target ({'met' if ms < RECHECK_TARGET_MS else 'missed'}); "
                        f"{r['speedup']:.3g} x the first check | {memory} |")
            continue
        if r["case"] == "recheck-b":
            rows.append(f"| {TITLES[r['case']]} | {r['second_s'] * 1000:.0f} ms (Wine) | first check "
                        f"{r['first_s']:.2f} s, target {RECHECK_TARGET_SPEEDUP:.0f} x faster | "
                        f"{r['speedup']:.3g} x faster ({'met' if r['speedup'] >= RECHECK_TARGET_SPEEDUP else 'missed'}) | {memory} |")
            continue
        native = r.get("peer_native", not r.get("peer_under_wine", False))
        ours = f"{r['ours_mbs']:.1f} MB/s, {rate(r['ours_fps'])} files/s ({r['ours_s']:.2f} s, Wine)"
        peer = (f"{r['peer']}: {r['peer_mbs']:.1f} MB/s, {rate(r['peer_fps'])} files/s "
                f"({r['peer_s']:.2f} s, {'native' if native else 'Wine'})")
        if r["case"] == "floor-b":
            met = "met" if r["ratio"] >= FLOOR_TARGET else "missed"
            rows.append(f"| {TITLES[r['case']]} | {ours} | {peer} | {r['ratio']:.3g} (target {FLOOR_TARGET}: {met}) | {memory} |")
            continue
        rows.append(f"| {TITLES[r['case']]} | {ours} | {peer} | {r['ratio']:.3g} | {memory} |")
    return "\n".join(rows)


def details(results):
    lines = []
    for r in results:
        if r["case"] == "compare":
            lines.append(f"- compare: medians over {RUNS} repetitions of Google Benchmark "
                         f"(each the mean of {r['iterations']} iterations); repetitions "
                         f"{', '.join(f'{x:.2f}' for x in r['runs_ms'])} ms; "
                         f"{r['to_fetch']:.0f} names to fetch; our code built -O3 -DNDEBUG "
                         f"(the Google Benchmark library itself reports a {r['library_build']} build).")
            continue
        if r["case"].startswith("recheck"):
            lines.append(f"- {r['case']}: second checks {', '.join(f'{x:.3f}' for x in r['runs'])} s, each "
                         f"right after the first check of the same run ({', '.join(f'{x:.3f}' for x in r['first_runs'])} s).")
            continue
        if r["case"] == "floor-b":
            lines.append(f"- floor-b: our first checks as in manifest-b; floor_bench.exe "
                         f"{', '.join(f'{x:.3f}' for x in r['peer_runs'])} s.")
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
        lines.append(line + ".")
    return "\n".join(lines)


def write_doc(results, facts, skipped):
    cases = os.environ.get("BENCH_CASES", "")
    runs = os.environ.get("BENCH_RUNS", "")
    prefix = " ".join(x for x in [f"BENCH_CASES={cases}" if cases else "",
                                  f"BENCH_RUNS={runs}" if runs else ""] if x)
    not_run = [c for c in ALL_CASES if c not in {r["case"] for r in results}]
    text = f"""# Benchmarks

Written by `make bench` (scripts/bench.sh, bench/bench.py); a new run replaces
this file. Our Windows code runs under Wine; md5sum, curl, nginx and the
comparison benchmark run natively on the same machine in the same run.

## Machine

{chr(10).join(f"- {k}: {v}" for k, v in facts)}

## Results

{table(results)}

Ratios are our throughput over the peer's (1.00: as fast; 0.50: half as fast);
for the comparison, our time over the 50 ms target (below 1: within it).
MB/s counts 10^6 bytes a second of file contents.
"""
    if not_run:
        text += ("\nNot measured in this run: " + ", ".join(not_run) +
                 (" (" + "; ".join(skipped) + ")" if skipped else " (left out by BENCH_CASES)") + ".\n")
    text += f"""
Runs:

{details(results)}

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
- The 10 ms link (download-c): both sides go through bench/delay_proxy.py, a
  TCP proxy on 127.0.0.1 that writes every chunk it reads {LINK_DELAY_MS} ms
  later, in each direction, so every request waits a 10 ms round trip;
  bandwidth is not limited.
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
python3 bench/bench.py   # with scripts/wine-env.sh sourced, a private Xvfb and one wineserver
```

Settings: `BENCH_RUNS` (runs per side, default 3), `BENCH_CASES` (a subset of
{', '.join(ALL_CASES)}), `BENCH_TIMEOUT` (seconds per run, default 1200),
`BENCH_BUDGET` (seconds for everything, default 3600), `BENCH_CLEAN=1` (delete
the generated trees in build/bench afterwards). One case by hand, inside
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
    selected = [c.strip() for c in os.environ.get("BENCH_CASES", ",".join(ALL_CASES)).split(",") if c.strip()]
    unknown = [c for c in selected if c not in ALL_CASES]
    if unknown or not selected:
        raise SystemExit(f"BENCH_CASES: unknown {unknown}; choose from {', '.join(ALL_CASES)}")
    load_before = " ".join(f"{x:.2f}" for x in os.getloadavg())
    os.makedirs(TREES, exist_ok=True)
    results, skipped = [], []
    server = None
    try:
        for case in ALL_CASES:
            if case not in selected:
                continue
            try:
                if case.startswith("manifest"):
                    results.extend(bench_manifest(case))
                elif case == "compare":
                    results.append(bench_compare())
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

    facts = machine_facts(load_before)
    write_doc(results, facts, skipped)
    print()
    print(table(results))
    print()
    print(details(results))
    print(f"\nbench: wrote {os.path.relpath(DOC, TOP)}")
    return 3 if skipped else 0


if __name__ == "__main__":
    sys.exit(main())
