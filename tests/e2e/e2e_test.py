#!/usr/bin/env python3
"""End to end: the shipped Updater.exe, copied into a temporary installation
folder and started by Wine, against a real nginx (or the project's fault
server) on the updater's own built-in address, with its dialog driven from
another process by uidriver.exe.

The built-in address is a fixed loopback port, so the suite runs inside a
private network namespace (in_netns.sh) where that port is certainly free and
nothing else can answer on it.
"""
from datetime import datetime, timedelta, timezone
import hashlib
import os
import random
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))

if os.environ.get("UPDATER_IN_NETNS") != "1" and __name__ == "__main__":
    os.execv(os.path.join(HERE, "in_netns.sh"),
             [os.path.join(HERE, "in_netns.sh"), sys.executable, os.path.abspath(__file__), *sys.argv[1:]])


sys.path.insert(0, HERE)
from harness import (BASE_PATH, BUILD, PORT, TOOL, WAIT, Installation, ReleaseTestCase, Server,  # noqa: E402
                     Varnish, free_port, manifest_bytes, manifest_of_digests, md5, read_tree, wait_until)


def release_files(updater, client):
    big = bytes((i * 7 + i // 251) % 256 for i in range(3_000_000))
    return {
        "Updater.exe": updater + b"\0new release\0",
        "QyrUIPro.exe": client,
        "readme.txt": b"same in both\r\n",
        "data/config.ini": b"[main]\r\nversion=2\r\n",
        "data/big.bin": big,
        "sub1/sub2/新文件.dat": os.urandom(200_000),
        "docs/read me #1 (100%).txt": b"a name a URL must escape\r\n",
    }


def read_tree_file(install, name):
    try:
        with open(install.path(name), "rb") as f:
            return f.read()
    except OSError:
        return None


class Checks(ReleaseTestCase):
    def assert_installed(self, install, release, updater_swapped=True):
        tree = read_tree(install.folder)
        for name, data in release.items():
            if name == "Updater.exe" and not updater_swapped:
                continue
            self.assertEqual(md5(data), md5(tree.get(name, b"")), name)


class EndToEnd(Checks):
    def outdated(self, release):
        files = dict(release)
        files["Updater.exe"] = self.updater
        files["data/config.ini"] = b"[main]\r\nversion=1\r\n"
        del files["sub1/sub2/新文件.dat"]
        del files["docs/read me #1 (100%).txt"]
        del files["data/big.bin"]
        return files

    def test_outdated_installation_is_updated_and_hands_over_to_the_client(self):
        release = release_files(self.updater, self.client)
        self.publish(release)
        self.server = Server(self.release_root)
        install = self.install(self.outdated(release))
        self.open_dialog(install)
        state = self.driver.state()
        self.assertEqual("更新日志\r\n修复了若干问题\r\n", state["controls"]["1017"]["text"])
        self.assertEqual("更新", state["controls"]["1001"]["text"])

        self.driver.ask("click 1001")
        state = self.driver.wait_outcome()
        self.assertIsNotNone(state, self.driver.state())
        controls = state["controls"]
        self.assertEqual("更新成功.", controls["1004"]["text"])
        self.assertEqual("更新完成", controls["1001"]["text"])
        self.assertFalse(controls["1002"]["enabled"])
        self.assertEqual("5个(当前已下载文件个数)/5个(总文件个数)", controls["1020"]["text"])
        self.assertEqual("", controls["1022"]["text"])
        self.assertEqual("0.0k/s(下载速度)", controls["1021"]["text"])
        self.assertEqual(10000, state["progress"])
        names = [row[0] for row in state["rows"]]
        self.assertEqual(["Updater.exe", "data\\big.bin", "data\\config.ini", "docs\\read me #1 (100%).txt",
                          "sub1\\sub2\\新文件.dat"], names)
        for name, status in state["rows"]:
            size = len(release[name.replace("\\", "/")]) / 1000.0
            self.assertEqual(f"{size:.2f}K(当前大小)/{size:.2f}K(总大小) \r\n", status)

        self.assert_installed(install, release, updater_swapped=False)
        with open(install.path("Updater.exe.tmp"), "rb") as received:
            self.assertEqual(md5(release["Updater.exe"]), md5(received.read()))
        self.assertFalse(os.path.exists(install.path("LocalDate.ini")))
        self.assertFalse(os.path.exists(install.path("UpDate.ini")))
        self.assertTrue(os.path.exists(install.path("delete.bat")))

        self.driver.ask("click 1001")
        self.assertTrue(self.driver.ask(f"gone {WAIT * 1000}")["ok"])
        self.assertIsNotNone(install.wait_exit())
        self.assertTrue(wait_until(lambda: os.path.exists(install.path("client-started.txt"))
                                   and not os.path.exists(install.path("delete.bat"))),
                        "the script did not start the client and delete itself")
        self.assert_installed(install, release)
        self.assertFalse(os.path.exists(install.path("Updater.exe.tmp")))

    def test_a_changed_large_file_is_rebuilt_from_the_installed_copy(self):
        """generate --delta, nginx as it is: only the changed bytes of a large
        file cross the network, with a list of ranges in one request."""
        release = release_files(self.updater, self.client)
        release["Updater.exe"] = self.updater
        release["data/big.bin"] = os.urandom(3_000_000)  # no repeats for the old copy to lend
        old = dict(release)
        old["data/big.bin"] = release["data/big.bin"][:1_000_000] + os.urandom(20_000) + \
            release["data/big.bin"][1_010_000:2_500_000] + release["data/big.bin"][2_508_000:]
        self.publish(release, with_tool=True, delta=True)
        self.assertTrue(os.path.exists(os.path.join(self.update, "UpDate.delta", "data", "big.bin")))
        with open(os.path.join(self.update, "UpDate.ini"), "rb") as manifest:
            self.assertNotIn(b"UpDate.delta", manifest.read())
        self.server = Server(self.release_root)
        install = self.install(old)
        self.open_dialog(install)
        self.driver.ask("click 1001")
        state = self.driver.wait_outcome()
        self.assertIsNotNone(state, self.driver.state())
        self.assertEqual("更新成功.", state["controls"]["1004"]["text"])
        size = len(release["data/big.bin"]) / 1000.0
        self.assertEqual([["data\\big.bin", f"{size:.2f}K(当前大小)/{size:.2f}K(总大小) \r\n"]], state["rows"])
        self.assert_installed(install, release)
        with open(os.path.join(self.server.work, "access.log"), encoding="utf-8") as log:
            fetched = [line for line in log if "/Update/data/big.bin " in line and '"bytes=1-1"' not in line]
        self.assertEqual(1, len(fetched), fetched)
        self.assertIn(",", fetched[0])  # the two changed places, in one request
        self.assertIn(" 206", fetched[0])
        self.driver.ask("click 1001")
        self.assertIsNotNone(install.wait_exit())

    def test_new_compressible_files_cross_as_their_compressed_forms(self):
        """generate --compress, nginx as it is: a new text-like file comes as
        its frames, a file that does not compress as itself."""
        release = release_files(self.updater, self.client)
        release["Updater.exe"] = self.updater
        text = b"".join(b"line %d of the new script\r\n" % (i * 7919 % 100003) for i in range(60_000))
        release["scripts/main.lua"] = text
        release["data/noise.bin"] = os.urandom(300_000)
        old = {name: data for name, data in release.items() if not name.startswith(("scripts/", "data/"))}
        self.publish(release, with_tool=True, compress=True)
        self.assertTrue(os.path.exists(os.path.join(self.update, "UpDate.frames", "scripts", "main.lua")))
        self.assertFalse(os.path.exists(os.path.join(self.update, "UpDate.frames", "data", "noise.bin")))
        self.server = Server(self.release_root)
        install = self.install(old)
        self.open_dialog(install)
        self.driver.ask("click 1001")
        state = self.driver.wait_outcome()
        self.assertIsNotNone(state, self.driver.state())
        self.assertEqual("更新成功.", state["controls"]["1004"]["text"])
        size = len(text) / 1000.0
        self.assertIn(["scripts\\main.lua", f"{size:.2f}K(当前大小)/{size:.2f}K(总大小) \r\n"], state["rows"])
        self.assert_installed(install, release)
        with open(os.path.join(self.server.work, "access.log"), encoding="utf-8") as log:
            lines = log.readlines()
        self.assertEqual([], [line for line in lines if "/Update/scripts/main.lua " in line], lines)
        self.assertEqual(1, len([line for line in lines if "/Update/UpDate.frames/scripts/main.lua " in line]))
        self.assertEqual([], [line for line in lines if "/Update/UpDate.frames/data/noise.bin " in line])
        self.driver.ask("click 1001")
        self.assertIsNotNone(install.wait_exit())

    def test_small_files_come_as_ranges_of_the_pack(self):
        """generate --pack, nginx as it is: 300 small files come in a few
        requests for ranges of UpDate.pack, a large one by its name."""
        release = release_files(self.updater, self.client)
        release["Updater.exe"] = self.updater
        small = {f"ui/{i // 50}/w{i:03d}.lua": b"".join(b"widget %d row %d\r\n" % (i, r) for r in range(40 + i % 200))
                 for i in range(300)}
        release.update(small)
        release["data/big.bin"] = os.urandom(300_000)
        old = {name: data for name, data in release.items() if name not in small and name != "data/big.bin"}
        self.publish(release, with_tool=True, pack=True)
        self.server = Server(self.release_root)
        install = self.install(old)
        self.open_dialog(install)
        self.driver.ask("click 1001")
        state = self.driver.wait_outcome(timeout=120)
        self.assertIsNotNone(state, self.driver.state())
        self.assertEqual("更新成功.", state["controls"]["1004"]["text"])
        self.assertEqual("301个(当前已下载文件个数)/301个(总文件个数)", state["controls"]["1020"]["text"])
        size = len(small["ui/0/w007.lua"]) / 1000.0
        self.assertIn(["ui\\0\\w007.lua", f"{size:.2f}K(当前大小)/{size:.2f}K(总大小) \r\n"], state["rows"])
        self.assert_installed(install, release)
        with open(os.path.join(self.server.work, "access.log"), encoding="utf-8") as log:
            lines = log.readlines()
        packed = [line for line in lines if "/Update/UpDate.pack " in line]
        self.assertLessEqual(len(packed), 300 // 32, lines)
        self.assertTrue(all(line.rstrip().endswith(" 206") for line in packed), packed)
        own = [line for line in lines if "/Update/ui/" in line and "bytes=1-1" not in line]
        self.assertLessEqual(len(own), 1, own)  # at most the run's probe
        self.driver.ask("click 1001")
        self.assertIsNotNone(install.wait_exit())

    def test_up_to_date_installation_needs_nothing(self):
        release = release_files(self.updater, self.client)
        release["Updater.exe"] = self.updater
        self.publish(release)
        self.server = Server(self.release_root)
        install = self.install(release)
        self.open_dialog(install)
        self.driver.ask("click 1001")
        state = self.driver.wait_outcome()
        self.assertEqual("程序已经是最新版,不需要更新.", state["controls"]["1004"]["text"])
        self.assertEqual("更新", state["controls"]["1001"]["text"])
        self.assertEqual([], state["rows"])
        self.assertFalse(os.path.exists(install.path("delete.bat")))
        self.driver.ask("click 1002")
        self.assertIsNotNone(install.wait_exit())
        time.sleep(1)
        self.assertFalse(os.path.exists(install.path("client-started.txt")))
        self.assertFalse(os.path.exists(install.path("LocalDate.ini")))

    def test_a_large_release_shows_every_row_to_another_process_in_list_order(self):
        # The rows are kept beside the list and told to it at a pace: read
        # from here at the end, every one is there, in order, with its final text.
        release = {f"d{i // 100:02d}/f{i % 100:02d}.txt": b"x" * (1 + i % 997) for i in range(5000)}
        self.publish(release)
        self.server = Server(self.release_root)
        install = self.install({"Updater.exe": self.updater})
        self.open_dialog(install)
        self.driver.ask("click 1001")
        state = self.driver.wait_outcome(timeout=120)
        self.assertIsNotNone(state, self.driver.ask("controls"))
        self.assertEqual("更新成功.", state["controls"]["1004"]["text"])
        self.assertEqual("5000个(当前已下载文件个数)/5000个(总文件个数)", state["controls"]["1020"]["text"])
        expected = [[name.replace("/", "\\"), f"{len(release[name]) / 1000:.2f}K(当前大小)/"
                     f"{len(release[name]) / 1000:.2f}K(总大小) \r\n"] for name in sorted(release)]
        self.assertEqual(expected, state["rows"])
        self.driver.ask("click 1002")
        self.assertIsNotNone(install.wait_exit())

    def test_unreachable_server_is_reported(self):
        install = self.install({"Updater.exe": self.updater, "QyrUIPro.exe": self.client})
        self.open_dialog(install)
        self.assertEqual("", self.driver.state()["controls"]["1017"]["text"])
        self.driver.ask("click 1001")
        state = self.driver.wait_outcome()
        self.assertEqual("更新信息获取失败,请检测网络是否正常!", state["controls"]["1004"]["text"])
        self.assertEqual("更新", state["controls"]["1001"]["text"])
        self.driver.ask("esc")
        self.assertIsNotNone(install.wait_exit())

    def wait_outcome_responsive(self, timeout):
        """Waits for the run's outcome while timing every answer of the
        dialog's thread; returns the final state and the slowest answer."""
        slowest, deadline = 0.0, time.monotonic() + timeout
        while time.monotonic() < deadline:
            asked = time.monotonic()
            state = self.driver.wait_outcome(0)
            slowest = max(slowest, time.monotonic() - asked)
            if state:
                return state, slowest
            time.sleep(0.5)
        return self.driver.state(), slowest

    def test_silent_server_still_opens_the_dialog_and_fails_the_check_in_bounded_time(self):
        release = release_files(self.updater, self.client)
        self.publish(release)
        self.server = Server(self.release_root, kind="fault")
        # Accepts, reads the request and never answers.
        silent = {"stall_before": 600}
        self.server.faults({"paths": {BASE_PATH + "UpdateLog/UpdateLog.ini": silent,
                                      BASE_PATH + "Update/UpDate.ini": silent}})
        install = self.install(self.outdated(release))
        started = time.monotonic()
        self.open_dialog(install)
        self.assertLess(time.monotonic() - started, 25, "the log's wait is the shorter one")
        self.assertEqual("", self.driver.state()["controls"]["1017"]["text"])

        self.driver.ask("click 1001")
        clicked = time.monotonic()
        state, slowest = self.wait_outcome_responsive(90)
        took = time.monotonic() - clicked
        self.assertEqual("更新信息获取失败,请检测网络是否正常!", state["controls"]["1004"]["text"], state)
        self.assertGreater(took, 25)  # the request's wait, not something else, ended it
        self.assertLess(took, 75)
        self.assertLess(slowest, 2, "the dialog stopped answering during the wait")

        # Esc in the middle of another silent check closes the dialog promptly.
        self.driver.ask("click 1001")
        time.sleep(2)
        closing = time.monotonic()
        self.driver.ask("esc")
        self.assertTrue(self.driver.ask("gone 15000")["ok"], "the window stayed")
        self.assertIsNotNone(install.wait_exit(15), "the process did not exit")
        self.assertLess(time.monotonic() - closing, 10)

    def test_trickling_download_fails_in_bounded_time_and_the_retry_resumes(self):
        release = release_files(self.updater, self.client)
        release["Updater.exe"] = self.updater
        self.publish(release)
        self.server = Server(self.release_root, kind="fault")
        big_url = BASE_PATH + "Update/data/big.bin"
        # One byte a second never trips a time-out; the slow-body rule ends it.
        self.server.faults({"paths": {big_url: {"trickle": {"after": 500_000, "interval": 1}}}})
        install = self.install(self.outdated(release))
        self.open_dialog(install)
        self.driver.ask("click 1001")
        clicked = time.monotonic()
        state, slowest = self.wait_outcome_responsive(120)
        took = time.monotonic() - clicked
        self.assertEqual("下载更新文件失败,请检测网络是否正常.", state["controls"]["1004"]["text"], state)
        self.assertLess(took, 100)
        self.assertLess(slowest, 2, "the dialog stopped answering during the download")
        kept = os.path.getsize(install.path("data/big.bin.tmp"))
        self.assertGreaterEqual(kept, 500_000)

        self.server.faults({})
        self.driver.ask("click 1001")
        state = self.driver.wait_outcome()
        self.assertEqual("更新成功.", state["controls"]["1004"]["text"], state)
        self.assert_installed(install, release)
        ranges = [r["range"] for r in self.server.requests() if r["path"] == big_url]
        self.assertEqual(f"bytes={kept}-", ranges[-1])

    def stalled_download_then_close(self, close_command):
        """Closes the dialog while a download stalls: the window goes away
        promptly, the process exits and the partial file stays. Under Wine a
        closed handle does not wake the stalled read, so the process is ended
        as a whole, and a script lying there is not started."""
        release = release_files(self.updater, self.client)
        release["Updater.exe"] = self.updater
        self.publish(release)
        self.server = Server(self.release_root, kind="fault")
        self.big_url = BASE_PATH + "Update/data/big.bin"
        self.server.faults({"paths": {self.big_url: {"stall_after": {"bytes": 500_000, "seconds": 120}}}})
        install = self.install(self.outdated(release))
        with open(install.path("delete.bat"), "wb") as script:
            script.write(b'@echo ran>>"%~dp0script-ran.txt"\r\n@del "%~f0"\r\n')
        self.open_dialog(install)
        self.driver.ask("click 1001")
        partial = install.path("data/big.bin.tmp")
        self.assertTrue(wait_until(lambda: os.path.exists(partial) and os.path.getsize(partial) > 0),
                        self.driver.state())
        started = time.monotonic()
        self.driver.ask(close_command)
        self.assertTrue(self.driver.ask("gone 15000")["ok"], "the window stayed")
        self.assertIsNotNone(install.wait_exit(15), "the process did not exit")
        self.assertLess(time.monotonic() - started, 15)
        self.assertGreater(os.path.getsize(partial), 0)
        time.sleep(1)
        self.assertFalse(os.path.exists(install.path("script-ran.txt")))
        os.remove(install.path("delete.bat"))
        return release, install

    def test_esc_during_a_stalled_download_then_a_failed_run_and_a_resuming_retry(self):
        release, install = self.stalled_download_then_close("esc")
        kept = os.path.getsize(install.path("data/big.bin.tmp"))

        # The next run fails: the partial file's request gets an answer
        # without a length. The file stays as it was.
        self.server.faults({"paths": {self.big_url: {"chunked": True, "times": 2}}})
        self.open_dialog(install)
        self.driver.ask("click 1001")
        state = self.driver.wait_outcome()
        self.assertEqual("下载更新文件失败,请检测网络是否正常.", state["controls"]["1004"]["text"], state)
        self.assertEqual("重新更新", state["controls"]["1001"]["text"])
        self.assertEqual(kept, os.path.getsize(install.path("data/big.bin.tmp")))

        # "重新更新" continues the partial file with a range request.
        self.driver.ask("click 1001")
        state = self.driver.wait_outcome()
        self.assertEqual("更新成功.", state["controls"]["1004"]["text"], state)
        self.assert_installed(install, release)
        ranges = [r["range"] for r in self.server.requests() if r["path"] == self.big_url]
        self.assertEqual(f"bytes={kept}-", ranges[-1])
        self.assertFalse(os.path.exists(install.path("data/big.bin.tmp")))

    def test_close_button_during_a_stalled_download_then_the_next_run_completes(self):
        release, install = self.stalled_download_then_close("close")
        self.server.faults({})
        self.open_dialog(install)
        self.driver.ask("click 1001")
        state = self.driver.wait_outcome()
        self.assertEqual("更新成功.", state["controls"]["1004"]["text"], state)
        self.assert_installed(install, release)


    def test_enter_during_a_download_stops_it_and_leaves_every_file_whole(self):
        """Enter while files are being installed, some of them held by a
        running program (set aside, then replaced): the run stops before the
        process ends, so every file is its old or its new self, never missing,
        and what was cut off stays as .tmp. Enter starts no script."""
        with open(os.path.join(BUILD, "tests", "sample_plugin.dll"), "rb") as dll:
            plugin = dll.read()
        names = [f"files/f{i:03}.dat" for i in range(240)]
        held = {f"files/f{i:03}.dll" for i in (15, 45, 90)}
        old = {name: f"old {name}\r\n".encode() for name in names}
        old.update({name: plugin for name in held})
        new = {name: bytes((i * 31 + n) % 256 for i in range(8192)) for n, name in enumerate(names)}
        new.update({name: plugin + b"\0new release\0" for name in held})
        # First in list order, and far slower than the rest: the run is
        # certainly still under way when Enter comes.
        big = bytes((i * 7) % 251 for i in range(3_000_000))
        release = dict(new, **{"a/big.bin": big, "Updater.exe": self.updater, "QyrUIPro.exe": self.client})
        self.publish(release)
        self.server = Server(self.release_root, kind="fault")
        self.server.faults({"paths": {BASE_PATH + "Update/a/big.bin": {"trickle": {"after": 100_000, "interval": 1}}}})
        install = self.install(dict(old, **{"Updater.exe": self.updater, "QyrUIPro.exe": self.client}))
        with open(install.path("delete.bat"), "wb") as script:
            script.write(b'@echo ran>>"%~dp0script-ran.txt"\r\n@del "%~f0"\r\n')
        holders = [subprocess.Popen(["wine", os.path.join(BUILD, "tests", "file_holder.exe"), "load",
                                     "Z:" + install.path(name).replace("/", "\\")],
                                    stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
                   for name in sorted(held)]
        try:
            for holder in holders:
                self.assertEqual("ready\n", holder.stdout.readline())
            self.open_dialog(install)
            self.driver.ask("click 1001")
            installed = lambda: sum(1 for name in names if read_tree_file(install, name) == new[name])
            self.assertTrue(wait_until(lambda: installed() >= 10, WAIT, 0.02), self.driver.state())
            # Enter reaches the dialog as IDOK while the file list has the focus.
            self.driver.ask("focus 1023")
            started = time.monotonic()
            self.driver.ask("enter")
            self.assertTrue(self.driver.ask("gone 15000")["ok"], "the window stayed")
            self.assertIsNotNone(install.wait_exit(15), "the process did not exit")
            self.assertLess(time.monotonic() - started, 15)
        finally:
            for holder in holders:
                holder.communicate("\n", timeout=WAIT)

        tree = read_tree(install.folder)
        for name, data in new.items():
            self.assertIn(name, tree, "missing after Enter")
            self.assertIn(md5(tree[name]), (md5(old[name]), md5(data)), name)
        for name, data in tree.items():
            if name.endswith(".tmp") and name[:-len(".tmp")] in release:
                whole = release[name[:-len(".tmp")]]
                self.assertEqual(md5(whole[:len(data)]), md5(data), name)
        # The trickling file was cut off, not finished; the run was stopped,
        # not cut short with the process: it deleted its manifests.
        self.assertIn("a/big.bin.tmp", tree)
        self.assertNotIn("a/big.bin", tree)
        self.assertNotIn("LocalDate.ini", tree)
        self.assertNotIn("UpDate.ini", tree)
        time.sleep(1)
        self.assertNotIn("script-ran.txt", tree)
        self.assertFalse(os.path.exists(install.path("script-ran.txt")))
        self.assertTrue(os.path.exists(install.path("delete.bat")))

    def test_an_error_page_for_the_manifest_fails_the_check(self):
        release = {"Updater.exe": self.updater, "QyrUIPro.exe": self.client, "data/new.bin": b"new"}
        self.publish(release)
        self.server = Server(self.release_root, kind="fault")
        self.server.faults({"paths": {BASE_PATH + "Update/UpDate.ini": {"status": 503}}})
        install = self.install({"Updater.exe": self.updater, "QyrUIPro.exe": self.client})
        self.open_dialog(install)
        self.driver.ask("click 1001")
        state = self.driver.wait_outcome()
        self.assertEqual("更新信息获取失败,请检测网络是否正常!", state["controls"]["1004"]["text"])
        self.assertEqual([], state["rows"])
        self.assertFalse(os.path.exists(install.path("data/new.bin")))
        self.assertFalse(os.path.exists(install.path("UpDate.ini")))
        self.assertNotIn(BASE_PATH + "Update/data/new.bin", [r["path"] for r in self.server.requests()])

    def test_a_second_start_shows_the_first_dialog_and_starts_nothing(self):
        files = {"Updater.exe": self.updater, "QyrUIPro.exe": self.client}
        install = self.install(files)
        self.open_dialog(install)
        second = subprocess.Popen(["wine", install.path("Updater.exe")], cwd=install.folder,
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            self.assertEqual(0, second.wait(15))
        finally:
            if second.poll() is None:
                second.kill()
        self.assertEqual(1, self.driver.ask("count")["count"])
        # Another installation is not held back by this one.
        other = self.install(files)
        other.start()
        self.assertTrue(wait_until(lambda: self.driver.ask("count")["count"] == 2),
                        "the other installation's dialog did not open")
        time.sleep(1)
        for folder in (install, other):
            self.assertFalse(os.path.exists(folder.path("client-started.txt")))
            self.assertFalse(os.path.exists(folder.path("delete.bat")))

    def test_a_second_start_through_another_drive_letter_shows_the_first_dialog(self):
        files = {"Updater.exe": self.updater, "QyrUIPro.exe": self.client}
        install = self.install(files)
        # A drive of the prefix mapped onto the installation's parent, as subst
        # does: the same folder under a path of another text. Both updaters
        # start with the drive in place (Wine derives a volume's serial number
        # from the drive letter it currently maps the folder to), the first
        # by its Z: path.
        drive = os.path.join(os.environ["WINEPREFIX"], "dosdevices", "u:")
        self.assertFalse(os.path.lexists(drive), "drive U: is taken in the test prefix")
        os.symlink(os.path.dirname(install.folder), drive)
        try:
            install.process = subprocess.Popen(["wine", "Z:" + install.path("Updater.exe").replace("/", "\\")],
                                               cwd=install.folder,
                                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            self.assertTrue(self.driver.ask(f"find {WAIT * 1000}")["ok"], "the dialog did not appear")
            second = subprocess.Popen(["wine", "U:\\" + os.path.basename(install.folder) + "\\Updater.exe"],
                                      cwd=install.folder, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            try:
                second.wait(15)
            except subprocess.TimeoutExpired:
                pass
            finally:
                if second.poll() is None:
                    second.kill()
            self.assertEqual(1, self.driver.ask("count")["count"], "a second dialog opened for the same folder")
            self.assertEqual(0, second.returncode)
        finally:
            os.unlink(drive)

    def test_a_new_updater_held_by_a_scan_is_swapped_in_once_released(self):
        release = {"Updater.exe": self.updater + b"\0held release\0", "QyrUIPro.exe": self.client}
        self.publish(release)
        self.server = Server(self.release_root)
        install = self.install(dict(release, **{"Updater.exe": self.updater}))
        self.open_dialog(install)
        self.driver.ask("click 1001")
        state = self.driver.wait_outcome()
        self.assertEqual("更新成功.", state["controls"]["1004"]["text"], state)
        # Held the way a virus scan holds a fresh file: readable, not movable.
        holder = subprocess.Popen(["wine", os.path.join(BUILD, "tests", "file_holder.exe"), "lock",
                                   "Z:" + install.path("Updater.exe.tmp").replace("/", "\\")],
                                  stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        try:
            self.assertEqual("ready\n", holder.stdout.readline())
            self.driver.ask("click 1001")
            self.assertIsNotNone(install.wait_exit())
            time.sleep(4)
            with open(install.path("Updater.exe"), "rb") as current:
                self.assertEqual(md5(self.updater), md5(current.read()), "the old updater went early")
            self.assertTrue(os.path.exists(install.path("Updater.exe.tmp")))
            self.assertFalse(os.path.exists(install.path("client-started.txt")))
        finally:
            holder.communicate("\n", timeout=WAIT)
        self.assertTrue(wait_until(lambda: os.path.exists(install.path("client-started.txt"))
                                   and not os.path.exists(install.path("delete.bat"))),
                        "the script did not start the client and delete itself")
        self.assert_installed(install, release)
        self.assertFalse(os.path.exists(install.path("Updater.exe.tmp")))

    def test_files_in_use_are_replaced_and_their_old_copies_removed_by_a_later_run(self):
        with open(os.path.join(BUILD, "tests", "sample_plugin.dll"), "rb") as dll:
            plugin = dll.read()
        release = {"Updater.exe": self.updater, "QyrUIPro.exe": self.client,
                   "plugins/a.dll": plugin + b"\0new release\0", "data/locked.dat": b"new data\r\n"}
        self.publish(release)
        self.server = Server(self.release_root)
        install = self.install(dict(release, **{"plugins/a.dll": plugin, "data/locked.dat": b"old\r\n"}))
        holders = [subprocess.Popen(["wine", os.path.join(BUILD, "tests", "file_holder.exe"), mode,
                                     "Z:" + install.path(name).replace("/", "\\")],
                                    stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
                   for mode, name in (("load", "plugins/a.dll"), ("lock", "data/locked.dat"))]
        try:
            for holder in holders:
                self.assertEqual("ready\n", holder.stdout.readline())
            self.open_dialog(install)
            self.driver.ask("click 1001")
            state = self.driver.wait_outcome()
            rows = dict(state["rows"])
            self.assertNotEqual("文件下载失败", rows["plugins\\a.dll"], state)
            self.assertEqual("文件下载失败", rows["data\\locked.dat"], state)
            tree = read_tree(install.folder)
            self.assertEqual(md5(release["plugins/a.dll"]), md5(tree["plugins/a.dll"]))
            self.assertEqual(b"old\r\n", tree["data/locked.dat"])
            aside = [name for name in tree if name.startswith("Updater.old/")]
            self.assertEqual([md5(plugin)], [md5(tree[name]) for name in aside])
        finally:
            for holder in holders:
                holder.communicate("\n", timeout=WAIT)
        # 更新完成 after a failed row runs once more: the copy nothing holds now goes.
        def retry_ended():
            state = self.driver.wait_outcome(0)
            row = dict(state["rows"]).get("data\\locked.dat") if state else None
            return state if row not in (None, "文件下载失败") else None
        self.driver.ask("click 1001")
        retried = wait_until(retry_ended)
        self.assertIsNotNone(retried, self.driver.state())
        self.assertEqual("更新成功.", retried["controls"]["1004"]["text"], retried)
        self.assertFalse(os.path.exists(install.path("Updater.old")))
        self.assertEqual(b"new data\r\n", read_tree(install.folder)["data/locked.dat"])

    def test_files_past_260_characters_are_walked_fetched_and_swapped(self):
        root = tempfile.mkdtemp(prefix="e2e-long-")
        # A deep but ordinary installation folder, with asset folders below it
        # that take the full names past 260 characters as Windows counts them.
        folder = os.path.join(root, "Users", "player", "AppData", "Local", "Programs", "客户端安装目录")
        deep = "/".join(["assets", "characters_and_scenes" * 3, "high_resolution_textures" * 3,
                         "level_zero_one_two_" * 4])
        windows_length = len("Z:" + folder + "/" + deep + "/texture_0001.dat")
        self.assertGreater(windows_length, 260)
        release = {"Updater.exe": self.updater + b"\0long path release\0",
                   "QyrUIPro.exe": self.client,
                   deep + "/texture_0001.dat": os.urandom(300_000),
                   deep + "/same.dat": b"unchanged\r\n",
                   deep + "/changed.ini": b"version=2\r\n"}
        self.publish(release)
        self.server = Server(self.release_root)
        installed = dict(release, **{"Updater.exe": self.updater, deep + "/changed.ini": b"version=1\r\n"})
        del installed[deep + "/texture_0001.dat"]
        install = Installation(installed, folder=folder)
        self.installs.append(install)
        try:
            self.open_dialog(install)
            self.driver.ask("click 1001")
            state = self.driver.wait_outcome(120)
            self.assertEqual("更新成功.", state["controls"]["1004"]["text"], state)
            prefix = deep.replace("/", "\\") + "\\"
            self.assertEqual(["Updater.exe", prefix + "changed.ini", prefix + "texture_0001.dat"],
                             [row[0] for row in state["rows"]])
            self.driver.ask("click 1001")
            self.assertIsNotNone(install.wait_exit())
            self.assertTrue(wait_until(lambda: os.path.exists(install.path("client-started.txt"))
                                       and not os.path.exists(install.path("delete.bat"))),
                            "the script did not start the client and delete itself")
            self.assert_installed(install, release)
            self.assertTrue(os.path.exists(install.path("Update_Logo.txt")))
        finally:
            install.remove()
            shutil.rmtree(root, ignore_errors=True)


# A real program of some size, as games ship them: Wine's own, always there beside Wine.
WINE_PROGRAM = "/usr/lib/x86_64-linux-gnu/wine/x86_64-windows/shell32.dll"


def older_copy(data, seed=28):
    """The same program a release earlier: a dozen stretches rewritten, one
    cut out and one put in, spread over the whole file."""
    rng = random.Random(seed)
    out = bytearray(data)
    step = len(data) // 24
    for i in range(1, 24, 2):
        at = i * step + rng.randrange(step // 2)
        out[at:at + 3000] = rng.randbytes(3000)
    del out[5 * step:5 * step + 7000]
    out[17 * step:17 * step] = rng.randbytes(5000)
    return bytes(out)


def ranged_status(path, ranges):
    """The status of one GET with this Range from the updater's address."""
    with socket.create_connection(("127.0.0.1", PORT), timeout=WAIT) as connection:
        connection.sendall(f"GET {path} HTTP/1.1\r\nHost: 127.0.0.1\r\nRange: {ranges}\r\n"
                           "Connection: close\r\n\r\n".encode())
        return int(connection.makefile("rb").readline().split()[1])


class BehindACache(Checks):
    """The release served through a real Varnish on the updater's address,
    nginx behind it, as a CDN does."""

    def test_a_cache_that_refuses_lists_of_ranges_still_gets_only_the_changes(self):
        """generate --delta, a real program with scattered changes, behind a
        cache that answers a list of ranges with 416 and one range with 206:
        what crosses the wire is the changes and the index, not the file."""
        if not os.path.exists(WINE_PROGRAM):
            self.skipTest(f"{WINE_PROGRAM} is not there (Debian's libwine)")
        with open(WINE_PROGRAM, "rb") as program:
            new = program.read()
        name = "bin/shell32.dll"
        release = {"Updater.exe": self.updater, "QyrUIPro.exe": self.client, name: new}
        self.publish(release, with_tool=True, delta=True)
        self.server = Server(self.release_root, port=free_port())
        self.cache = Varnish(self.server.port)
        install = self.install(dict(release, **{name: older_copy(new)}))
        self.open_dialog(install)
        self.driver.ask("click 1001")
        state = self.driver.wait_outcome(120)
        self.assertIsNotNone(state, self.driver.state())
        self.assertEqual("更新成功.", state["controls"]["1004"]["text"], state)
        size = len(new) / 1000.0
        self.assertEqual([["bin\\shell32.dll", f"{size:.2f}K(当前大小)/{size:.2f}K(总大小) \r\n"]], state["rows"])
        self.assert_installed(install, release)

        delivered = [entry for entry in self.cache.deliveries()
                     if entry[0] in (BASE_PATH + "Update/" + name, BASE_PATH + "Update/UpDate.delta/" + name)]
        sent = sum(entry[3] for entry in delivered)
        # The changes and the index; a whole download after a refused list is all of it.
        self.assertLess(sent, 0.4 * len(new), f"{sent} of {len(new)} bytes: {delivered}")
        # The cache is the one that matters: it refuses a list and serves one range.
        self.assertEqual(416, ranged_status(BASE_PATH + "Update/" + name, "bytes=0-9,1000-1009"))
        self.assertEqual(206, ranged_status(BASE_PATH + "Update/" + name, "bytes=1000-1009"))
        self.driver.ask("click 1001")
        self.assertIsNotNone(install.wait_exit())


FOUR_GIB = 1 << 32
HUGE_LENGTH = 4_617_089_843  # 4.3 GiB and an odd tail
HUGE_KEPT = 4_509_715_661  # what an earlier run left of it, about 4.2 GiB
HUGE_NAME = "data/huge.pak"


def write_sparse(path, length, stretches):
    """A file of this length, zeros (holes) but for the given stretches."""
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as out:
        out.truncate(length)
        for offset, data in stretches.items():
            os.pwrite(out.fileno(), data[:max(0, length - offset)], offset)


def md5_of_file(path):
    digest = hashlib.md5()
    with open(path, "rb") as data:
        while chunk := data.read(1 << 20):
            digest.update(chunk)
    return digest.hexdigest()


class FilesPast4GiB(Checks):
    """A release file past 4 GiB against nginx: a sparse file on the server,
    with random bytes where 32 bits of length or offset would go wrong (the
    start, both sides of 4 GiB, where a resume continues, the end). The
    installed copy is written for real, and removed with the installation."""

    @classmethod
    def setUpClass(cls):
        # The release's file is sparse; the installed copy is written for real.
        free = shutil.disk_usage(tempfile.gettempdir()).free
        if free < 12e9:
            raise unittest.SkipTest(f"needs about 12 GB free in {tempfile.gettempdir()}, has {free / 1e9:.1f} GB")
        super().setUpClass()
        cls.stretches = {0: os.urandom(1 << 16), FOUR_GIB - 40_000: os.urandom(80_000),
                         FOUR_GIB + 3_000_000: os.urandom(1 << 16), HUGE_KEPT - 30_000: os.urandom(60_000),
                         HUGE_LENGTH - 50_000: os.urandom(50_000)}
        folder = tempfile.mkdtemp(prefix="e2e-huge-")
        cls.addClassCleanup(shutil.rmtree, folder, ignore_errors=True)
        cls.huge = os.path.join(folder, "huge.pak")
        write_sparse(cls.huge, HUGE_LENGTH, cls.stretches)
        cls.huge_digest = md5_of_file(cls.huge)

    def publish_huge(self):
        self.publish({"Updater.exe": self.updater})
        served = os.path.join(self.update, *HUGE_NAME.split("/"))
        os.makedirs(os.path.dirname(served))
        os.link(self.huge, served)
        with open(os.path.join(self.update, "UpDate.ini"), "wb") as manifest:
            manifest.write(manifest_of_digests({"Updater.exe": md5(self.updater), HUGE_NAME: self.huge_digest}))

    def update_to_the_end(self, install, answered, length=HUGE_LENGTH, digest=None):
        """One run to its outcome, with the row read from here all along: its
        sizes count the bytes of the answer (answered of them in all); then
        the counter and the installed file (length, digest; the class's file
        by default) as they must be. Prints the time."""
        self.open_dialog(install)
        clicked = time.monotonic()
        self.driver.ask("click 1001")
        total = f"{answered / 1000.0:.2f}"
        seen, state = set(), None
        while state is None and time.monotonic() < clicked + 600:
            state = self.driver.wait_outcome(0)
            if state is None:
                rows = self.driver.state().get("rows", [])
                seen.update(row[1] for row in rows)
                time.sleep(0.5)
        took = time.monotonic() - clicked
        print(f"\n  {self.id().rsplit('.', 1)[-1]}: the run took {took:.1f} s", file=sys.stderr)
        self.assertIsNotNone(state, self.driver.state())
        partial = install.path(HUGE_NAME + ".tmp")
        self.assertEqual("更新成功.", state["controls"]["1004"]["text"],
                         (state, self.requests_for_huge(), os.path.exists(partial) and os.path.getsize(partial)))
        self.assertEqual("1个(当前已下载文件个数)/1个(总文件个数)", state["controls"]["1020"]["text"])
        self.assertEqual([["data\\huge.pak", f"{total}K(当前大小)/{total}K(总大小) \r\n"]], state["rows"])
        for text in seen - {"0.00K(当前大小)/0.00K(总大小)"}:
            match = re.fullmatch(r"(\d+\.\d\d)K\(当前大小\)/(\d+\.\d\d)K\(总大小\)( \r\n)?", text)
            self.assertIsNotNone(match, text)
            self.assertEqual(total, match.group(2), text)
            self.assertLessEqual(float(match.group(1)), answered / 1000.0, text)
        self.assertFalse(os.path.exists(install.path(HUGE_NAME + ".tmp")))
        self.assertEqual(length, os.path.getsize(install.path(HUGE_NAME)))
        self.assertEqual(digest or self.huge_digest, md5_of_file(install.path(HUGE_NAME)))
        self.driver.ask("click 1002")
        self.assertIsNotNone(install.wait_exit())

    def requests_for_huge(self):
        with open(os.path.join(self.server.work, "access.log"), encoding="utf-8") as log:
            return [line.strip() for line in log
                    if line.startswith(BASE_PATH + "Update/" + HUGE_NAME + " ") and '"bytes=1-1"' not in line]

    def test_a_partial_file_past_4_gib_is_resumed_and_installed(self):
        self.publish_huge()
        self.server = Server(self.release_root)
        install = self.install({"Updater.exe": self.updater})
        # An exact prefix, sparse as the file is.
        write_sparse(install.path(HUGE_NAME + ".tmp"), HUGE_KEPT, self.stretches)
        self.update_to_the_end(install, HUGE_LENGTH - HUGE_KEPT)
        # Only the rest crossed the wire, asked for from its 64-bit offset.
        self.assertEqual([f'{BASE_PATH}Update/{HUGE_NAME} "bytes={HUGE_KEPT}-" {HUGE_LENGTH - HUGE_KEPT} 206'],
                         self.requests_for_huge())

    def test_a_file_past_4_gib_is_downloaded_whole_and_installed(self):
        self.publish_huge()
        self.server = Server(self.release_root)
        install = self.install({"Updater.exe": self.updater})
        self.update_to_the_end(install, HUGE_LENGTH)
        requests = self.requests_for_huge()
        self.assertEqual(1, len(requests), requests)
        self.assertRegex(requests[0], rf' {HUGE_LENGTH} 20[06]$')

    def test_a_file_past_4_gib_is_rebuilt_from_its_old_copy_with_changes_on_both_sides(self):
        """generate --delta on the release's file, the class's file as the
        old copy (sparse): bytes rewritten below 4 GiB, across it and above
        it, and bytes put in past it that shift everything after them off
        the old copy's block grid. Only the changes and the index cross the
        wire, as ranges that start past 4 GiB too."""
        inserted_at, inserted = FOUR_GIB + 1_000_003, os.urandom(7_777)
        across = bytearray(self.stretches[FOUR_GIB - 40_000])
        across[39_000:41_000] = os.urandom(2_000)  # 2^32 - 1000 to 2^32 + 1000
        stretches = {FOUR_GIB - 100_000: os.urandom(4_096), FOUR_GIB - 40_000: bytes(across),
                     FOUR_GIB + 200_000: os.urandom(3_000), inserted_at: inserted}
        for offset, data in self.stretches.items():
            if offset < inserted_at:
                stretches.setdefault(offset, data)
            else:
                self.assertGreaterEqual(offset, inserted_at + len(inserted))
                stretches[offset + len(inserted)] = data
        length = HUGE_LENGTH + len(inserted)
        write_sparse(os.path.join(self.update, *HUGE_NAME.split("/")), length, stretches)
        digest = md5_of_file(os.path.join(self.update, *HUGE_NAME.split("/")))
        started = time.monotonic()
        # The host's tool is a sanitized debug build: a minute or more for the 4.3 GiB.
        self.publish({"Updater.exe": self.updater}, with_tool=True, delta=True, tool_timeout=600)
        print(f"\n  generate --delta took {time.monotonic() - started:.1f} s", file=sys.stderr)
        with open(os.path.join(self.update, "UpDate.ini"), "rb") as manifest:
            self.assertEqual(manifest_of_digests({"Updater.exe": md5(self.updater), HUGE_NAME: digest}),
                             manifest.read())
        index = os.path.join(self.update, "UpDate.delta", *HUGE_NAME.split("/"))
        with open(index, "rb") as header:
            header = header.read(20)
        self.assertEqual(b"UPDDELT1" + length.to_bytes(8, "little"), header[:16])
        block = int.from_bytes(header[16:], "little")
        self.server = Server(self.release_root)
        install = self.install({"Updater.exe": self.updater})
        write_sparse(install.path(HUGE_NAME), HUGE_LENGTH, self.stretches)
        # The row counts held and received bytes alike: all of the new file.
        self.update_to_the_end(install, length, length, digest)

        with open(os.path.join(self.server.work, "access.log"), encoding="utf-8") as log:
            lines = [line.strip() for line in log]
        index_url = f"{BASE_PATH}Update/UpDate.delta/{HUGE_NAME} "
        fetched = [line for line in lines if line.startswith(index_url)
                   or line.startswith(f"{BASE_PATH}Update/{HUGE_NAME} ")]
        sent = sum(int(line.split()[-2]) for line in fetched)
        print(f"  {sent} bytes of {length} crossed the wire, the index's {os.path.getsize(index)}"
              f" among them, in {len(fetched)} requests:", *fetched, sep="\n    ", file=sys.stderr)
        self.assertIn(f'{index_url}"-" {os.path.getsize(index)} 200', fetched)
        ranged = [line for line in fetched if not line.startswith(index_url)]
        self.assertTrue(ranged and all(re.search(r' "bytes=[0-9,-]+" \d+ 206$', line) for line in ranged), ranged)
        # Some range starts past 4 GiB, as the insertion's does at least.
        starts = [int(start) for line in ranged for start in re.findall(r"(?:=|,)(\d+)-", line)]
        self.assertTrue(any(start > FOUR_GIB for start in starts), ranged)
        # The changes cost a handful of blocks; a whole download or a walk
        # that lost its place past 4 GiB costs hundreds of MB.
        self.assertLess(sent, os.path.getsize(index) + 16 * block, fetched)


def make_certificates(folder):
    """A test CA that the suite's prefix is made to trust, a certificate for
    localhost signed by it, and one signed by a CA that nobody trusts."""
    def openssl(*args):
        subprocess.run(["openssl", *args], check=True, capture_output=True, timeout=60)
    paths = {}
    for ca in ("trusted", "stranger"):
        base = os.path.join(folder, ca)
        openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "3", "-subj", f"/CN=Updater test CA {ca}",
                "-addext", "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign,cRLSign",
                "-keyout", base + "-ca.key", "-out", base + "-ca.pem")
        openssl("req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=localhost",
                "-keyout", base + ".key", "-out", base + ".csr")
        with open(base + ".ext", "w") as ext:
            ext.write("subjectAltName=DNS:localhost\nextendedKeyUsage=serverAuth\nbasicConstraints=CA:FALSE\n")
        openssl("x509", "-req", "-in", base + ".csr", "-CA", base + "-ca.pem", "-CAkey", base + "-ca.key",
                "-CAcreateserial", "-days", "3", "-extfile", base + ".ext", "-out", base + ".pem")
        paths[ca] = (base + ".pem", base + ".key")
    openssl("x509", "-in", os.path.join(folder, "trusted-ca.pem"), "-outform", "DER",
            "-out", os.path.join(folder, "trusted-ca.der"))
    return paths


class OverHttps(Checks):
    """The updater built for https://localhost, against nginx with TLS."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        with open(os.path.join(BUILD, "tests", "tls", "Updater.exe"), "rb") as updater:
            cls.updater = updater.read()
        cls.certificates = tempfile.mkdtemp(prefix="e2e-tls-")
        cls.tls = make_certificates(cls.certificates)
        der = "Z:" + os.path.join(cls.certificates, "trusted-ca.der").replace("/", "\\")
        subprocess.run(["wine", os.path.join(BUILD, "tests", "trust_ca.exe"), der], check=True, timeout=60)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.certificates, ignore_errors=True)

    def test_an_untrusted_server_fails_the_check_and_a_trusted_one_updates(self):
        release = {"Updater.exe": self.updater + b"\0tls release\0", "QyrUIPro.exe": self.client,
                   "data/big.bin": os.urandom(2_000_000), "readme.txt": b"over https\r\n"}
        self.publish(release)
        install = self.install({"Updater.exe": self.updater, "QyrUIPro.exe": self.client})

        self.server = Server(self.release_root, tls=self.tls["stranger"])
        self.open_dialog(install)
        self.driver.ask("click 1001")
        state = self.driver.wait_outcome()
        self.assertEqual("更新信息获取失败,请检测网络是否正常!", state["controls"]["1004"]["text"])
        # The walk before the check leaves its digest cache; the check itself writes nothing.
        self.assertEqual({"Updater.exe", "QyrUIPro.exe"},
                         set(read_tree(install.folder)) - {"Update_Logo.txt", "LocalDigest.cache"})
        self.driver.ask("esc")
        self.assertIsNotNone(install.wait_exit())
        self.server.stop()

        self.server = Server(self.release_root, tls=self.tls["trusted"])
        self.open_dialog(install)
        self.assertEqual("更新日志\r\n修复了若干问题\r\n", self.driver.state()["controls"]["1017"]["text"])
        self.driver.ask("click 1001")
        state = self.driver.wait_outcome()
        self.assertEqual("更新成功.", state["controls"]["1004"]["text"], state)
        self.driver.ask("click 1001")
        self.assertIsNotNone(install.wait_exit())
        self.assertTrue(wait_until(lambda: os.path.exists(install.path("client-started.txt"))
                                   and not os.path.exists(install.path("delete.bat"))))
        self.assert_installed(install, release)


class Signed(Checks):
    """The updater built with the public key of test_signing_key.pem, against
    nginx, with manifests signed with a serial and an expiry."""

    KEY = os.path.join(os.path.dirname(os.path.abspath(__file__)), "test_signing_key.pem")

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        with open(os.path.join(BUILD, "tests", "signed", "Updater.exe"), "rb") as updater:
            cls.updater = updater.read()

    def sign(self, serial):
        expires = (datetime.now(timezone.utc) + timedelta(days=2)).strftime("%Y-%m-%dT%H:%M:%SZ")
        subprocess.run([TOOL, "sign", os.path.join(self.update, "UpDate.ini"), "--key", self.KEY,
                        "--serial", str(serial), "--expires", expires],
                       check=True, timeout=60, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def noted_serial(self, install):
        with open(install.path("LocalSerial.dat"), "rb") as note:
            data = note.read()
        self.assertEqual(32, len(data))
        self.assertEqual(b"UPDSERL1", data[:8])
        return int.from_bytes(data[8:16], "big")

    def test_a_signed_release_updates_and_a_replayed_older_one_is_refused(self):
        release = {"Updater.exe": self.updater + b"\0signed release\0", "QyrUIPro.exe": self.client,
                   "data/config.ini": b"[main]\r\nversion=2\r\n"}
        self.publish(release, with_tool=True)
        self.sign(1000)
        older_manifest = manifest_bytes({**release, "data/config.ini": b"[main]\r\nversion=1\r\n"})
        self.server = Server(self.release_root)
        install = self.install({"Updater.exe": self.updater, "QyrUIPro.exe": self.client})

        self.open_dialog(install)
        self.driver.ask("click 1001")
        state = self.driver.wait_outcome()
        self.assertEqual("更新成功.", state["controls"]["1004"]["text"], state)
        self.assertEqual(1000, self.noted_serial(install))
        self.driver.ask("click 1001")
        self.assertIsNotNone(install.wait_exit())
        self.assertTrue(wait_until(lambda: os.path.exists(install.path("client-started.txt"))
                                   and not os.path.exists(install.path("delete.bat"))))
        self.assert_installed(install, release)

        # A mirror replays last release's manifest and signature (serial 999,
        # not expired): refused before anything is compared or downloaded.
        with open(os.path.join(self.update, "UpDate.ini"), "wb") as out:
            out.write(older_manifest)
        self.sign(999)
        before = read_tree(install.folder)
        self.open_dialog(install)
        self.driver.ask("click 1001")
        state = self.driver.wait_outcome()
        self.assertEqual("更新信息获取失败,请检测网络是否正常!", state["controls"]["1004"]["text"], state)
        self.assertEqual([], state["rows"])
        after = read_tree(install.folder)
        changed = {name for name in set(before) | set(after) if before.get(name) != after.get(name)}
        self.assertEqual(set(), changed - {"Update_Logo.txt", "LocalDigest.cache"})
        self.assertEqual(1000, self.noted_serial(install))
        self.driver.ask("esc")
        self.assertIsNotNone(install.wait_exit())


if __name__ == "__main__":
    unittest.main(verbosity=2)
