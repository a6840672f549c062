#!/usr/bin/env python3
"""Robustness end to end: the shipped Updater.exe killed at random moments
and run again to the end; many consecutive runs against a server that
misbehaves at random; an installation with Chinese folder and file names.

Short by default (for make test); UPDATER_STRESS=1 runs the long variants.
Seeds are printed; UPDATER_CRASH_SEED and UPDATER_SOAK_SEED replay a run.
Runs inside a private network namespace like e2e_test.py, with a Wine prefix
of its own so it never shares a wineserver with the other end-to-end suite.
"""
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(os.path.dirname(HERE))

if os.environ.get("UPDATER_IN_NETNS") != "1" and __name__ == "__main__":
    os.environ.setdefault("UPDATER_NETNS_WINEPREFIX", os.path.join(TOP, "build", "wineprefix-stress"))
    os.execv(os.path.join(HERE, "in_netns.sh"),
             [os.path.join(HERE, "in_netns.sh"), sys.executable, os.path.abspath(__file__), *sys.argv[1:]])

sys.path.insert(0, HERE)
from harness import (BASE_PATH, WAIT, ReleaseTestCase, Server, md5, read_tree, wait_until, write_tree)  # noqa: E402

LONG = os.environ.get("UPDATER_STRESS") == "1"
SUCCESS = "更新成功."
UP_TO_DATE = "程序已经是最新版,不需要更新."
# Names the updater itself leaves or the stand-in client writes; not part of a release.
NOT_RELEASED = {"Update_Logo.txt", "client-started.txt", "LocalDigest.cache"}


def seed_from(variable, fixed):
    """The short runs of make test use a fixed seed, so a run there repeats
    the same plan; the long runs draw a new one each time."""
    value = os.environ.get(variable)
    if value:
        return int(value)
    return random.SystemRandom().randrange(1, 2**31) if LONG else fixed


def loopback_bytes():
    """Bytes sent on the namespace's loopback (both directions, headers too):
    everything the server and the updater exchanged."""
    # /proc/net/dev is per namespace; /sys/class/net is the host's.
    with open("/proc/net/dev") as counters:
        for line in counters:
            name, _, numbers = line.partition(":")
            if name.strip() == "lo":
                return int(numbers.split()[8])  # transmitted bytes
    return 0


def unix_processes_of(exe_path):
    """Linux pids whose command line runs this Windows program (the Wine
    loader keeps the Windows path in argv)."""
    folder = os.path.basename(os.path.dirname(exe_path)).encode()
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/cmdline", "rb") as cmdline:
                args = cmdline.read().split(b"\0")
        except OSError:
            continue
        if any(folder in arg and arg.endswith(b"Updater.exe") for arg in args):
            found.append(int(entry))
    return found


class Base(ReleaseTestCase):
    def click_update(self):
        """Presses 更新 and makes sure the run started. The driver finds the
        window while the dialog may still be creating its controls, and a
        click posted to a control not yet there is lost. A started run shows
        its status text (visible only once the dialog itself is shown)."""
        for _ in range(5):
            self.driver.ask("click 1001")
            if wait_until(lambda: self.started(self.driver.state()), 6, 0.05):
                return
        self.fail(f"the run did not start: {self.driver.state()}")

    @staticmethod
    def started(state):
        controls = state.get("controls")
        return bool(controls) and controls["1004"]["visible"]

    def run_to_the_end(self, install, attempts=3):
        """Clicks 更新 (and 重新更新) until a run succeeds or finds nothing to do."""
        self.open_dialog(install)
        state = None
        for attempt in range(attempts):
            if attempt == 0:
                self.click_update()
            else:
                self.driver.ask("click 1001")  # 重新更新: the dialog is long ready
            state = self.driver.wait_outcome(90)
            self.assertIsNotNone(state, f"no outcome: {self.driver.state()}")
            if state["controls"]["1004"]["text"] in (SUCCESS, UP_TO_DATE):
                return state
        self.fail(f"no successful run in {attempts} attempts: {state}")

    def close_and_swap(self, install, state):
        """Closes the dialog the way the user does and lets the hand-off
        script finish (it deletes itself last)."""
        if state["controls"]["1004"]["text"] == SUCCESS:
            self.driver.ask("click 1001")  # 更新完成
        else:
            self.driver.ask("click 1002")
        self.assertTrue(self.driver.ask(f"gone {WAIT * 1000}")["ok"], "the window stayed")
        self.assertIsNotNone(install.wait_exit(), "the updater did not exit")
        self.assertTrue(wait_until(lambda: not os.path.exists(install.path("delete.bat"))),
                        "the hand-off script did not finish")

    def assert_release_installed(self, install, release, leftovers_too=True):
        tree = read_tree(install.folder)
        for name, data in release.items():
            self.assertEqual(md5(data), md5(tree.get(name, b"")), name)
        if not leftovers_too:
            return  # the dialog is still open: its script is still there
        extra = set(tree) - set(release) - NOT_RELEASED
        self.assertEqual(set(), extra, "leftovers in the installation")


def crash_release(updater, client, variant):
    """An old and a new release: a new Updater.exe, a multi-MB file that
    changes (in places for even variants, whole for odd ones), small files
    that change, files only the new release has."""
    rng = random.Random(variant)
    old = {
        "Updater.exe": updater,
        "QyrUIPro.exe": client,
        "readme.txt": b"same in both\r\n",
        "data/config.ini": b"[main]\r\nversion=1\r\n",
        "data/big.bin": rng.randbytes(3_000_000),
    }
    new = dict(old)
    new["Updater.exe"] = updater + b"\0new release %d\0" % variant
    new["data/config.ini"] = b"[main]\r\nversion=2\r\n"
    if variant % 2 == 0:
        # Changed in places, so the run rebuilds it from the old copy: a kill
        # can land while its .tmp is assembled from held and fetched parts.
        big = bytearray(old["data/big.bin"])
        for _ in range(20):  # about 2 MB to fetch: a second at the rate below
            at = rng.randrange(len(big) - 100_000)
            big[at:at + 100_000] = rng.randbytes(100_000)
        at = rng.randrange(len(big))
        big[at:at] = rng.randbytes(50_000)
        new["data/big.bin"] = bytes(big)
    else:
        new["data/big.bin"] = rng.randbytes(4_000_000)
    new["sub1/sub2/新文件.dat"] = rng.randbytes(300_000)
    # Text-like and new: it comes as its compressed form, so a kill can land
    # while frames are decoded into its .tmp.
    new["scripts/main.lua"] = b"".join(b"local v%d = %d -- release %d\r\n" % (i, rng.randrange(10**6), variant)
                                       for i in range(60_000))
    for i in range(12):
        old[f"parts/p{i:02d}.dat"] = rng.randbytes(20_000)
        new[f"parts/p{i:02d}.dat"] = rng.randbytes(20_000 + i)
    # Small and new: they come as ranges of the pack, so a kill can land while
    # a request's files are written one after another.
    for i in range(60):
        new[f"ui/w{i:02d}.lua"] = b"".join(b"widget %d row %d release %d\r\n" % (i, r, variant) for r in range(300))
    # Unchanged files make the walk and the manifest long enough to be hit.
    for i in range(250):
        old[f"assets/a{i:03d}.dat"] = new[f"assets/a{i:03d}.dat"] = b"asset %d\r\n" % i
    return old, new


class CrashConsistency(Base):
    """Kills the updater at random moments of a run, checks the installation
    right after each kill, then runs to the end and checks it again."""
    maxDiff = None  # every unsafe kill point in the failure message

    def kill(self, install, how):
        if how == "terminate":
            # TerminateProcess from inside Wine: wineserver ends the Windows
            # process the way Windows does, no code of the updater runs.
            subprocess.run(["wine", "taskkill", "/f", "/im", "Updater.exe"], timeout=30,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        else:
            # SIGKILL of the Unix process behind the Windows one (the Wine
            # loader execs into it, so it is Popen's pid) and of any other
            # process running this installation's Updater.exe.
            pids = {install.process.pid, *unix_processes_of(install.path("Updater.exe"))}
            for pid in pids:
                try:
                    os.kill(pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
        self.assertIsNotNone(install.wait_exit(15), "the killed updater still runs")
        self.assertTrue(self.driver.ask("gone 15000")["ok"], "the killed updater's window stayed")

    def check_after_kill(self, install, old, new, label):
        """The client must find every file whole: the old or the new version.
        With nginx no body is ever short, so no file may be missing either.
        Returns what is wrong, so every kill point of a run gets checked."""
        problems = []
        for name in sorted(set(old) | set(new)):
            path = install.path(name)
            allowed = {md5(data) for data in (old.get(name), new.get(name)) if data is not None}
            if not os.path.exists(path):
                if name in old:
                    problems.append(f"{label}: {name} went missing")
                continue
            with open(path, "rb") as data:
                if md5(data.read()) not in allowed:
                    problems.append(f"{label}: {name} is partial or foreign")
        # Whatever filled a .tmp (the file, its frames, a delta), it holds
        # the start of the new file and nothing else, for the next run.
        for name in sorted(new):
            if os.path.exists(install.path(name + ".tmp")):
                with open(install.path(name + ".tmp"), "rb") as data:
                    kept = data.read()
                if not new[name].startswith(kept):
                    problems.append(f"{label}: {name}.tmp is no prefix of the new file ({len(kept)} bytes)")
        # A script that would swap in Updater.exe.tmp must find it whole: the
        # next dialog closed without a run (or the user) starts the script.
        script = install.path("delete.bat")
        received = install.path("Updater.exe.tmp")
        if os.path.exists(script):
            with open(script, "rb") as text:
                swaps = b"Updater.exe.tmp" in text.read()
            if swaps and not os.path.exists(received):
                problems.append(f"{label}: delete.bat would swap in an Updater.exe.tmp that is not there")
            elif swaps:
                with open(received, "rb") as data:
                    whole = md5(data.read()) == md5(new["Updater.exe"])
                if not whole:
                    problems.append(f"{label}: delete.bat would swap in a partial Updater.exe.tmp "
                                    f"({os.path.getsize(received)} of {len(new['Updater.exe'])} bytes)")
        return problems

    @staticmethod
    def phase(state):
        """What the run was doing a moment before the kill, from its dialog."""
        controls = state.get("controls") or {}
        status = controls.get("1004", {}).get("text", "")
        if status == "获取本地版本信息...":
            return "the walk"
        if status == "获取新版本信息...":
            return "the manifest fetch"
        if status == "正在下载新版本...":
            current = controls.get("1022", {}).get("text", "")
            return f"the download of {current or 'the first file'}"
        return f"the end ({status or 'no status'})"

    def describe(self, install, old, new):
        tree = read_tree(install.folder)
        renewed = sum(1 for name, data in new.items() if tree.get(name) == data and old.get(name) != data)
        temporary = sorted(n for n in tree if n.endswith(".tmp"))
        work = [n for n in ("LocalDate.ini", "UpDate.ini", "delete.bat") if n in tree]
        return f"{renewed} files renewed, tmp={temporary}, work={work}"

    def test_killed_runs_then_a_complete_run(self):
        seed = seed_from("UPDATER_CRASH_SEED", 20261208)
        rng = random.Random(seed)
        rounds, kills_per_round = (10, 4) if LONG else (2, 3)
        print(f"\ncrash seed {seed} (UPDATER_CRASH_SEED replays it), {rounds} rounds x {kills_per_round} kills",
              flush=True)
        # The two large files come slowly, so a kill can land inside a body.
        slow = ('location ~ big\\.bin$ { limit_rate 2m; } '
                'location ~ main\\.lua$ { limit_rate 150k; } '
                'location ~ UpDate\\.pack$ { limit_rate 100k; } '
                'location ~ Updater\\.exe$ { limit_rate 400k; } '
                'location ~ UpDate\\.ini$ { limit_rate 8k; }')
        points = 0
        phases = {}
        violations = []
        for round_number in range(rounds):
            old, new = crash_release(self.updater, self.client, seed + round_number)
            shutil.rmtree(self.release_root, ignore_errors=True)
            os.makedirs(self.release_root)
            self.publish(new, with_tool=True, delta=True, compress=True, pack=True)
            self.server = Server(self.release_root, extra_nginx=slow)
            install = self.install(old)
            for kill_number in range(kills_per_round):
                self.open_dialog(install)
                # A third of the kills early, where the walk and the manifest
                # fetch happen; the rest anywhere in the downloads.
                delay = rng.uniform(0.0, 2.0) if rng.random() < 0.3 else rng.uniform(0.0, 6.0)
                how = rng.choice(["sigkill", "terminate"])
                self.click_update()
                time.sleep(delay)
                phase = self.phase(self.driver.state())
                self.kill(install, how)
                points += 1
                label = f"round {round_number} kill {kill_number} ({how} after {delay:.2f}s)"
                problems = self.check_after_kill(install, old, new, label)
                violations += problems
                detail = self.describe(install, old, new)
                kind = phase.split(" (")[0] if "download" not in phase else "a download"
                phases[kind] = phases.get(kind, 0) + 1
                print(f"  {label} during {phase}: {detail}" + "".join(f"\n    WRONG: {p}" for p in problems),
                      flush=True)
            state = self.run_to_the_end(install)
            self.close_and_swap(install, state)
            self.assert_release_installed(install, new)
            # Nothing left behind makes the next run do anything.
            state = self.run_to_the_end(install, attempts=1)
            self.assertEqual(UP_TO_DATE, state["controls"]["1004"]["text"])
            self.driver.ask("click 1002")
            self.assertIsNotNone(install.wait_exit())
            self.assert_release_installed(install, new)
            self.server.stop()
            self.server = None
            install.remove()
            self.installs.remove(install)
        print(f"crash consistency: {points} kill points, {points - len({v.split(':')[0] for v in violations})} "
              f"without a fault, by phase {phases}", flush=True)
        self.assertEqual([], violations, "kill points left the installation unsafe")


class Soak(Base):
    """Consecutive runs against the fault server, each with random faults,
    the installation damaged at random between runs; then a clean run."""

    def draw_faults(self, rng, urls, sizes, fetched):
        rules = {"paths": {}}
        faults = []
        if rng.random() < 0.2:
            rules["ranges"] = False
            faults.append("ranges off")
        for _ in range(rng.randint(1, 3)):
            # Mostly where the run will go: the files it fetches.
            url = rng.choice(fetched if fetched and rng.random() < 0.8 else urls)
            size = sizes.get(url, 1000)
            kinds = ["abort_after", "cut_after", "status", "stall_before", "refuse"]
            kind = rng.choice(kinds + ["range_lists"] if url.endswith("/UpDate.pack") else kinds)
            if kind == "range_lists":
                rule = {"range_lists": rng.choice(["first", "whole", "416"])}
            elif kind in ("abort_after", "cut_after"):
                rule = {kind: rng.randrange(0, max(1, size))}
            elif kind == "status":
                rule = {"status": 500}
            elif kind == "stall_before":
                rule = {"stall_before": round(rng.uniform(0.2, 3.0), 2)}
            else:
                rule = {"refuse": True}
            if rng.random() < 0.7:
                rule["times"] = rng.randint(1, 2)
            rules["paths"][url] = rule  # a later draw for the same file replaces the earlier
        for url, rule in rules["paths"].items():
            kind = next(key for key in rule if key != "times")
            faults.append(f"{kind} {url.rsplit('/', 1)[-1]}")
        return rules, faults

    def damage(self, rng, install, old, new):
        """Puts some files back to the old release, deletes or truncates others."""
        for name in rng.sample(sorted(new), rng.randint(1, 4)):
            if name == "Updater.exe":
                continue
            path = install.path(name)
            action = rng.choice(["old", "delete", "truncate"])
            if action == "old" and name in old:
                write_tree(install.folder, {name: old[name]})
            elif action == "delete" and os.path.exists(path):
                os.remove(path)
            elif os.path.exists(path):
                with open(path, "r+b") as data:
                    data.truncate(os.path.getsize(path) // 2)

    def test_runs_with_random_faults_then_a_clean_run(self):
        seed = seed_from("UPDATER_SOAK_SEED", 1493902868)
        rng = random.Random(seed)
        runs = 50 if LONG else 10
        print(f"\nsoak seed {seed} (UPDATER_SOAK_SEED replays it), {runs} runs", flush=True)
        old, new = crash_release(self.updater, self.client, seed)
        # The updater in the release is this one: the soak is about the
        # downloads; the swap is the crash test's and the names test's.
        old["Updater.exe"] = new["Updater.exe"] = self.updater
        # With the pack of small files, whose faults send them to their names.
        self.publish(new, with_tool=True, pack=True)
        self.server = Server(self.release_root, kind="fault")
        base = BASE_PATH + "Update/"
        pack = base + "UpDate.pack"
        urls = [base + "UpDate.ini", BASE_PATH + "UpdateLog/UpdateLog.ini", pack]
        sizes = {base + "UpDate.ini": 2000, pack: os.path.getsize(os.path.join(self.update, "UpDate.pack"))}
        for name, data in new.items():
            url = base + name  # the fault server matches decoded paths
            urls.append(url)
            sizes[url] = len(data)
        install = self.install(old)
        bytes_before = loopback_bytes()
        outcomes = {}
        fault_count = 0
        started = time.monotonic()
        for run in range(runs):
            self.damage(rng, install, old, new)
            tree = read_tree(install.folder)
            fetched = [base + name for name, data in new.items() if tree.get(name) != data]
            if any(len(new[url[len(base):]]) <= 128 * 1024 for url in fetched):
                fetched.append(pack)
            rules, faults = self.draw_faults(rng, urls, sizes, fetched)
            requests_before = len(self.server.requests())
            fault_count += len(faults)
            self.server.faults(rules)
            run_started = time.monotonic()
            self.open_dialog(install)
            self.click_update()
            state = self.driver.wait_outcome(90)
            self.assertIsNotNone(state, f"run {run} with {faults} did not end: {self.driver.state()}")
            status = state["controls"]["1004"]["text"]
            outcomes[status] = outcomes.get(status, 0) + 1
            print(f"  run {run}: {len(fetched)} to fetch, {faults} -> {status} in "
                  f"{time.monotonic() - run_started:.1f}s, {len(self.server.requests()) - requests_before} requests",
                  flush=True)
            if status == SUCCESS:
                # "Succeeded" installed every file except those whose row
                # failed (an error page, a short body): those stay exactly as
                # they were for the next run.
                failed = {row[0].replace("\\", "/") for row in state["rows"] if row[1] == "文件下载失败"}
                after = read_tree(install.folder)
                for name, data in new.items():
                    if after.get(name) == data:
                        continue
                    self.assertIn(name, failed, f"run {run}: {name} wrong after a success, row not failed")
                    self.assertEqual(after.get(name), tree.get(name), f"run {run}: {name} changed")
            self.driver.ask("click 1002")
            self.assertTrue(self.driver.ask(f"gone {WAIT * 1000}")["ok"], f"run {run}: the window stayed")
            self.assertIsNotNone(install.wait_exit(), f"run {run}: the updater did not exit")
            wait_until(lambda: not os.path.exists(install.path("delete.bat")), 10)
        self.server.faults({})
        state = self.run_to_the_end(install, attempts=1)
        self.assertIn(state["controls"]["1004"]["text"], (SUCCESS, UP_TO_DATE))
        self.driver.ask("click 1002")
        self.assertIsNotNone(install.wait_exit())
        wait_until(lambda: not os.path.exists(install.path("delete.bat")), 10)
        self.assert_release_installed(install, new)
        requests = len(self.server.requests())
        print(f"soak: {runs} runs + 1 clean run, {fault_count} faults, {requests} requests, "
              f"{loopback_bytes() - bytes_before} bytes on the loopback, outcomes {outcomes}, "
              f"{time.monotonic() - started:.0f}s", flush=True)


class ForeignNames(Base):
    def test_chinese_folder_and_names_with_the_publisher_manifest_and_a_new_updater(self):
        old = {
            "Updater.exe": self.updater,
            "QyrUIPro.exe": self.client,
            "说明.txt": "旧的说明\r\n".encode("gbk"),
            "数据/地图/第二关.map": b"old level two\r\n",
        }
        new = dict(old)
        new["Updater.exe"] = self.updater + "\0新版本\0".encode("utf-8")
        new["说明.txt"] = "新的说明\r\n".encode("gbk")
        new["数据/地图/第一关.map"] = os.urandom(150_000)
        new["数据/地图/第二关.map"] = b"new level two\r\n"
        new["数据/配置 文件/设置.ini"] = b"[main]\r\nlevel=2\r\n"
        self.publish(new, with_tool=True)
        with open(os.path.join(self.update, "UpDate.ini"), "rb") as manifest:
            # The tool writes names in code page 936.
            self.assertIn("数据\\地图\\第一关.map".encode("gbk"), manifest.read())
        self.server = Server(self.release_root)
        parent = tempfile.mkdtemp(prefix="stress-names-")
        folder = os.path.join(parent, "客户端 安装")
        os.makedirs(folder)
        try:
            install = self.install(old, folder)
            state = self.run_to_the_end(install, attempts=1)
            self.assertEqual(SUCCESS, state["controls"]["1004"]["text"], state)
            rows = sorted(row[0] for row in state["rows"])
            self.assertEqual(sorted(["Updater.exe", "说明.txt", "数据\\地图\\第一关.map", "数据\\地图\\第二关.map",
                                     "数据\\配置 文件\\设置.ini"]), rows)
            self.assertTrue(os.path.exists(install.path("Updater.exe.tmp")))
            self.close_and_swap(install, state)
            self.assertTrue(wait_until(lambda: os.path.exists(install.path("client-started.txt"))),
                            "the script did not start the client")
            self.assertFalse(os.path.exists(install.path("delete.bat")))
            self.assert_release_installed(install, new)
            with open(os.path.join(self.server.work, "access.log"), encoding="utf-8") as log:
                answers = log.read().splitlines()
            # Every name was found; a release without delta indexes,
            # compressed forms or a pack answers the updater's look for an
            # index, the list of forms or the pack's table with 404, which
            # only means "none".
            self.assertFalse([line for line in answers if line.endswith(" 404") and "/UpDate.delta/" not in line
                              and "/UpDate.frames.ini " not in line and "/UpDate.pack.ini " not in line], answers)
        finally:
            shutil.rmtree(parent, ignore_errors=True)


if __name__ == "__main__":
    unittest.main(verbosity=2)
