#!/usr/bin/env python3
"""updater-manifest check-server against the fault server: a clean release
exits 0; a release with one of each fault names each in the words users
would meet and exits 1. Run through tests/server/run_with_server.sh."""

import json
import os
import shutil
import subprocess
import sys
import unittest
from datetime import datetime, timedelta, timezone

TOOL = sys.argv.pop(1) if len(sys.argv) > 1 else None
SERVER = os.environ.get("UPDATER_TEST_SERVER")
ROOT = os.environ.get("UPDATER_TEST_SERVER_ROOT")
LOG = os.environ.get("UPDATER_TEST_SERVER_LOG")

FETCH_FAILS = '"更新信息获取失败,请检测网络是否正常!"'
UP_TO_DATE = '"程序已经是最新版,不需要更新."'
RUN_FAILS = '"下载更新文件失败,请检测网络是否正常."'
ROW_FAILS = '"文件下载失败"'


def run(*args):
    done = subprocess.run([TOOL, *args], capture_output=True, text=True, timeout=120)
    return done.returncode, done.stdout, done.stderr


def utc(delta):
    return (datetime.now(timezone.utc) + delta).strftime("%Y-%m-%dT%H:%M:%SZ")


class CheckServerTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = os.path.join(ROOT, "work")
        shutil.rmtree(cls.work, ignore_errors=True)
        os.makedirs(cls.work)
        cls.key = os.path.join(cls.work, "key.pem")
        code, out, _ = run("keygen", cls.key)
        assert code == 0
        cls.public = out.strip()

    def setUp(self):
        self.rules({})
        open(LOG, "w").close()

    def rules(self, paths):
        with open(os.path.join(ROOT, ".faults.json"), "w") as f:
            json.dump({"paths": paths}, f)

    def release(self, name, files, manifest=None, expires=None, log=b"log\r\n"):
        """Serves files below /name/; the manifest is generated unless given."""
        base = os.path.join(ROOT, name)
        shutil.rmtree(base, ignore_errors=True)
        os.makedirs(os.path.join(base, "Update"))
        for rel, data in files.items():
            path = os.path.join(base, "Update", rel)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(data)
        target = os.path.join(base, "Update", "UpDate.ini")
        if manifest is None:
            self.assertEqual(0, run("generate", os.path.join(base, "Update"), "-o", target)[0])
        else:
            with open(target, "wb") as f:
                f.write(manifest)
        self.assertEqual(0, run("sign", target, "--key", self.key, "--serial", "5",
                                "--expires", expires or utc(timedelta(days=60)))[0])
        if log is not None:
            os.makedirs(os.path.join(base, "UpdateLog"))
            with open(os.path.join(base, "UpdateLog", "UpdateLog.ini"), "wb") as f:
                f.write(log)
        return SERVER + "/" + name

    def check(self, url, *extra, key=True):
        open(LOG, "w").close()  # requests() then shows this check's only
        return run("check-server", url, *(("--public-key", self.public) if key else ()), *extra)

    def requests(self):
        with open(LOG, encoding="utf-8") as f:
            return [json.loads(line) for line in f if line.strip()]

    def problem_lines(self, out):
        return out.split("what users see:\n", 1)[1].splitlines()[:-1] if "what users see:" in out else []

    def test_a_clean_release_exits_0_and_is_fetched_as_the_updater_fetches(self):
        url = self.release("clean", {"a.dll": b"a" * 5000, "数据/说 明#1.txt": b"text", "b.bin": b""})
        code, out, err = self.check(url, "--full")
        self.assertEqual(0, code, out + err)
        self.assertIn("serial 5, expires", out)
        self.assertIn("3 file(s) listed, 0 problem(s), 0 warning(s)", out)
        self.assertEqual(3, out.count("MD5 matches"), out)
        self.assertEqual("", err)  # no progress when not on a terminal
        log = self.requests()
        paths = [r["path"] for r in log]
        for path in ("/clean/Update/UpDate.ini", "/clean/Update/UpDate.ini.sig",
                     "/clean/Update/%E6%95%B0%E6%8D%AE/%E8%AF%B4%20%E6%98%8E%231.txt",
                     "/clean/UpdateLog/UpdateLog.ini"):
            self.assertIn(path, paths)
        probes = [r for r in log if r["range"] is not None]
        self.assertEqual(3, len(probes))
        self.assertTrue(all(r["range"] == "bytes=1-1" for r in probes), probes)
        self.assertTrue(all(r["user_agent"].startswith("Agent") for r in log))
        self.assertTrue(all(r["accept"] == "*/*" for r in log if r["range"] is None))

        # The server's address alone means the updater's fixed path below it.
        code, out, _ = self.check(SERVER, key=False)
        self.assertEqual(1, code)
        self.assertIn(SERVER + "/Velmora/Qyr/Test/", out)

    def test_every_fault_is_named_in_the_words_users_meet(self):
        files = {name: name.encode() * 100 for name in
                 ("a-first.bin", "chunked.bin", "nolength.bin", "noranges.bin", "error.bin", "short.bin",
                  "wrong.bin", "gzip.bin", "fine.bin")}
        url = self.release("faulty", files, expires=utc(timedelta(days=3)))
        p = "/faulty/Update/"
        self.rules({
            p + "a-first.bin": {"status": 404},
            p + "chunked.bin": {"chunked": True},
            p + "nolength.bin": {"no_length": True},
            p + "noranges.bin": {"ranges": False},
            p + "error.bin": {"status": 500},
            p + "short.bin": {"cut_after": 10},
            p + "wrong.bin": {"body": "not the file"},
            p + "gzip.bin": {"headers": {"Content-Encoding": "gzip"}},
            "/faulty/UpdateLog/UpdateLog.ini": {"status": 404},
        })
        code, out, err = self.check(url, "--full")
        self.assertEqual(1, code, out + err)
        lines = self.problem_lines(out)
        expected = {
            "a-first.bin": RUN_FAILS, "chunked.bin": RUN_FAILS, "nolength.bin": RUN_FAILS,
            "noranges.bin": "starts that file over", "error.bin": ROW_FAILS, "short.bin": ROW_FAILS,
            "wrong.bin": ROW_FAILS, "gzip.bin": ROW_FAILS, "UpdateLog.ini": "update-log box stays empty",
        }
        for name, words in expected.items():
            mine = [line for line in lines if name + ":" in line]
            self.assertEqual(1, len(mine), "%s in %s" % (name, lines))
            self.assertIn(words, mine[0])
        self.assertEqual(len(expected), len(lines), lines)
        self.assertIn("warning: expires in", out)
        self.assertIn("9 problem(s), 1 warning(s)", out)
        self.assertNotIn("fine.bin: 200", "\n".join(lines))

        # Without --full the bodies are not read: the short and the wrong body pass.
        code, out, _ = self.check(url)
        self.assertEqual(1, code)
        self.assertIn("7 problem(s)", out)

    def test_delta_indexes_are_checked_against_their_files(self):
        big = bytes(range(256)) * 8192  # 2 MiB
        url = self.release("delta", {"a.pak": big, "b.pak": big[::-1], "c.pak": big[1:]})
        update = os.path.join(ROOT, "delta", "Update")
        self.assertEqual(0, run("generate", update, "-o", os.path.join(update, "UpDate.ini"), "--delta")[0])
        self.assertEqual(0, run("sign", os.path.join(update, "UpDate.ini"), "--key", self.key, "--serial", "5")[0])
        os.remove(os.path.join(update, "UpDate.delta", "c.pak"))  # no index: fine, fetched whole
        shutil.copy(os.path.join(update, "UpDate.delta", "a.pak"), os.path.join(update, "UpDate.delta", "b.pak"))
        code, out, err = self.check(url, "--full")
        self.assertEqual(1, code, out + err)
        self.assertIn("delta index matches", [line for line in out.splitlines() if "a.pak:" in line][0])
        self.assertIn("no delta index", [line for line in out.splitlines() if "c.pak:" in line][0])
        self.assertEqual(["Update/b.pak (delta index): does not describe the file served (made for another "
                          "release?) -> that file is fetched whole; nothing else changes"], self.problem_lines(out))

    def test_compressed_forms_are_decoded_against_their_files(self):
        text = b"".join(b"line %d of a table\r\n" % i for i in range(20000))  # about 400 KB
        files = {"a.dat": text, "b.dat": text.replace(b"line", b"LINE"), "c.dat": text[5:],
                 "d.dat": text[7:], "e.dat": text[9:], "f.dat": text[11:], "g.dat": text[13:],
                 "small.txt": text[:4000]}
        url = self.release("frames", files)
        update = os.path.join(ROOT, "frames", "Update")
        self.assertEqual(0, run("generate", update, "-o", os.path.join(update, "UpDate.ini"), "--compress")[0])
        self.assertEqual(0, run("sign", os.path.join(update, "UpDate.ini"), "--key", self.key, "--serial", "5")[0])
        forms = os.path.join(update, "UpDate.frames")
        self.assertEqual(["a.dat", "b.dat", "c.dat", "d.dat", "e.dat", "f.dat", "g.dat"], sorted(os.listdir(forms)))
        shutil.copy(os.path.join(forms, "a.dat"), os.path.join(forms, "b.dat"))  # same length, other bytes
        # None and not listed: fine, forms are optional. Listed and missing:
        # clients ask in vain. There and not listed: clients never ask.
        listing = os.path.join(update, "UpDate.frames.ini")
        with open(listing, "rb") as f:
            lines = f.read().split(b"\r\n")
        with open(listing, "wb") as f:
            f.write(b"\r\n".join(l for l in lines if not l.startswith((b"c.dat\t", b"g.dat\t"))))
        os.remove(os.path.join(forms, "c.dat"))
        os.remove(os.path.join(forms, "f.dat"))
        with open(os.path.join(forms, "d.dat"), "r+b") as f:  # a byte of the last frame's deflate stream
            f.seek(-20, os.SEEK_END)
            byte = f.read(1)
            f.seek(-20, os.SEEK_END)
            f.write(bytes([byte[0] ^ 0x55]))
        self.rules({"/frames/Update/UpDate.frames/e.dat": {"status": 503}})
        code, out, err = self.check(url, "--full")
        self.assertEqual(1, code, out + err)
        line = {name: [l for l in out.splitlines() if l.startswith("Update/" + name + ":")][0] for name in files}
        self.assertIn("compressed form matches", line["a.dat"])
        self.assertIn("no compressed form", line["c.dat"])
        self.assertNotIn("compressed form", line["small.txt"])
        self.assertIn("Update/UpDate.frames.ini: 5 compressed form(s) listed", out)
        self.assertIn("UpDate.frames.ini does not list it", [l for l in out.splitlines() if "g.dat" in l][0])
        problems = self.problem_lines(out)
        self.assertEqual(4, len(problems), out)
        raw = " -> that file's own bytes are fetched instead of its form; nothing else changes"
        self.assertEqual("Update/b.dat (compressed form): decodes to other bytes than the file served" + raw,
                         problems[0])
        self.assertRegex(problems[1], r"^Update/d\.dat \(compressed form\): frame 6 \(bytes 393216 to \d+\) "
                                      r"does not decode to its entry")
        self.assertEqual("Update/e.dat (compressed form): answers 503" + raw, problems[2])
        self.assertEqual("Update/f.dat (compressed form): is listed in UpDate.frames.ini but answers 404" + raw,
                         problems[3])
        self.assertNotIn("/frames/Update/UpDate.frames/small.txt", [r["path"] for r in self.requests()])

    def test_packed_files_are_decoded_against_their_files(self):
        text = b"".join(b"row %d of a table\r\n" % i for i in range(1000))  # about 20 KB
        noise = bytes((i * 7919 + (i >> 3) * 104729) % 251 for i in range(3000))
        files = {"a.txt": text, "b.txt": text[3:], "noise.bin": noise, "big.dat": text * 8, "empty.dat": b""}
        url = self.release("pack", files)
        update = os.path.join(ROOT, "pack", "Update")
        manifest = os.path.join(update, "UpDate.ini")

        def publish(*extra):
            self.assertEqual(0, run("generate", update, "-o", manifest, *extra)[0])
            self.assertEqual(0, run("sign", manifest, "--key", self.key, "--serial", "5")[0])

        publish("--pack")
        code, out, err = self.check(url, "--full")
        self.assertEqual(0, code, out + err)
        self.assertIn("Update/UpDate.pack.ini: 3 packed file(s) listed", out)
        line = {name: [l for l in out.splitlines() if l.startswith("Update/" + name + ":")][0] for name in files}
        for name in ("a.txt", "b.txt", "noise.bin"):
            self.assertIn("packed copy matches", line[name])
        self.assertNotIn("packed", line["big.dat"] + line["empty.dat"])

        # A damaged byte of the stored entry; a.txt changed after the pack was made.
        with open(os.path.join(update, "UpDate.pack.ini"), "rb") as f:
            offset = int([l for l in f.read().split(b"\r\n") if l.startswith(b"noise.bin\t")][0].split()[1])
        with open(os.path.join(update, "UpDate.pack"), "r+b") as f:
            f.seek(offset + 100)
            f.write(bytes([noise[100] ^ 1]))
        with open(os.path.join(update, "a.txt"), "wb") as f:
            f.write(text.upper())
        publish()
        code, out, err = self.check(url, "--full")
        self.assertEqual(1, code, out + err)
        by_name = " -> that file is fetched by its own name instead; nothing else changes"
        self.assertEqual(["Update/a.txt (packed): its MD5 in UpDate.pack.ini differs from the manifest's (made for "
                          "another release?)" + by_name,
                          "Update/noise.bin (packed): decodes to other bytes than the file served" + by_name],
                         self.problem_lines(out))
        self.assertIn("packed copy matches", [l for l in out.splitlines() if l.startswith("Update/b.txt:")][0])

        # A table whose pack is missing or of another length: no file comes from it.
        publish("--pack")
        self.rules({"/pack/Update/UpDate.pack": {"status": 404}})
        code, out, err = self.check(url, "--full")
        those = " -> those files are fetched by their own names instead; nothing else changes"
        self.assertEqual(["Update/UpDate.pack: answers 404 although UpDate.pack.ini lists 3 file(s) in it" + those],
                         self.problem_lines(out))
        self.rules({})
        with open(os.path.join(update, "UpDate.pack"), "ab") as f:
            f.write(b"!")
        code, out, err = self.check(url, "--full")
        self.assertEqual(1, len(self.problem_lines(out)), out)
        self.assertRegex(self.problem_lines(out)[0], r"^Update/UpDate\.pack: is (\d+) bytes, not the \d+ "
                                                      r"UpDate\.pack\.ini gives \(made for another release\?\)")
        self.assertNotIn("bytes=", " ".join(str(r["range"]) for r in self.requests() if r["range"] != "bytes=1-1"))

    def test_manifest_and_signature_faults_end_the_check_as_users_see_it(self):
        url = self.release("sig", {"a.txt": b"a"})
        code, out, _ = self.check(url)
        self.assertEqual(0, code, out)

        self.rules({"/sig/Update/UpDate.ini": {"status": 503}})
        code, out, _ = self.check(url)
        self.assertEqual(1, code)
        self.assertIn("Update/UpDate.ini: answers 503 -> " + FETCH_FAILS, out)
        self.assertNotIn("/sig/Update/a.txt", [r["path"] for r in self.requests()])

        self.rules({"/sig/Update/UpDate.ini": {"cut_after": 10}})
        code, out, _ = self.check(url)
        self.assertIn("cut off after 10", out)
        self.assertIn(FETCH_FAILS, out)

        self.rules({"/sig/Update/UpDate.ini.sig": {"status": 404}})
        code, out, _ = self.check(url)
        self.assertEqual(1, code)
        self.assertIn("UpDate.ini.sig: answers 404 -> " + FETCH_FAILS, out)

        self.rules({})
        code, out, _ = self.check(url, key=False)  # no key: no signature is fetched
        self.assertEqual(0, code, out)
        self.assertNotIn("/sig/Update/UpDate.ini.sig", [r["path"] for r in self.requests()])

        url = self.release("expired", {"a.txt": b"a"}, expires="2020-01-01T00:00:00Z")
        code, out, _ = self.check(url)
        self.assertEqual(1, code)
        self.assertIn("expired on 2020-01-01T00:00:00Z", out)
        self.assertIn(FETCH_FAILS, out)

        url = self.release("notab", {}, manifest=b"<html>moved</html>\r\n")
        code, out, _ = self.check(url)
        self.assertEqual(1, code)
        self.assertIn("holds no TAB, so no entry -> " + UP_TO_DATE, out)

    def test_names_that_leave_the_folder_and_lint_problems_are_reported(self):
        manifest = ("..\\evil.txt\t0cc175b9c0f1b6a831c399e269772661\r\n"
                    "a.txt\t0CC175B9C0F1B6A831C399E269772661\r\n").encode()
        url = self.release("names", {"a.txt": b"a"}, manifest=manifest, log=None)
        code, out, _ = self.check(url)
        self.assertEqual(1, code)
        lines = self.problem_lines(out)
        self.assertTrue(any("..\\evil.txt: a name that would leave" in l and ROW_FAILS in l for l in lines), lines)
        self.assertTrue(any(l.startswith("Update/UpDate.ini:2:") for l in lines), lines)
        self.assertTrue(any("UpdateLog.ini: answers 404" in l for l in lines), lines)
        self.assertNotIn("/evil.txt", " ".join(r["path"] for r in self.requests()))


if __name__ == "__main__":
    if not (TOOL and SERVER and ROOT and LOG):
        sys.exit("usage: run_with_server.sh ROOT -- check_server_test.py TOOL")
    unittest.main()
