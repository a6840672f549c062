#!/usr/bin/env python3
"""Host-side checks of fault_server.py, run against a real subprocess."""

import http.client
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
SERVER = os.path.join(HERE, "fault_server.py")
WRAPPER = os.path.join(HERE, "run_with_server.sh")
DATA = bytes(range(256)) * 40  # 10240 bytes, every offset distinguishable


def start_server(root):
    port_file = os.path.join(root, "..", "port-%d" % id(root))
    proc = subprocess.Popen(
        [sys.executable, SERVER, "--root", root, "--port", "0",
         "--port-file", port_file],
        stdout=subprocess.DEVNULL)
    deadline = time.monotonic() + 10
    while not os.path.exists(port_file):
        if proc.poll() is not None or time.monotonic() > deadline:
            proc.kill()
            raise RuntimeError("server did not start")
        time.sleep(0.02)
    with open(port_file) as f:
        port = int(f.read())
    os.unlink(port_file)
    return proc, port


def stop_server(proc):
    proc.send_signal(signal.SIGTERM)
    try:
        return proc.wait(5)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait(5)
        return None


class FaultServerTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="fault_server_test.")
        cls.root = os.path.join(cls.tmp, "root")
        os.makedirs(os.path.join(cls.root, "dir"))
        with open(os.path.join(cls.root, "dir", "file.bin"), "wb") as f:
            f.write(DATA)
        with open(os.path.join(cls.root, "a b.txt"), "wb") as f:
            f.write(b"spaced")
        with open(os.path.join(cls.tmp, "secret"), "wb") as f:
            f.write(b"outside the root")
        cls.proc, cls.port = start_server(cls.root)

    @classmethod
    def tearDownClass(cls):
        stop_server(cls.proc)
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def setUp(self):
        self.rules(None)
        self.log_path = os.path.join(self.root, ".requests.log")
        if os.path.exists(self.log_path):
            os.unlink(self.log_path)

    def rules(self, data):
        path = os.path.join(self.root, ".faults.json")
        if data is None:
            if os.path.exists(path):
                os.unlink(path)
            return
        with open(path + ".tmp", "w") as f:
            json.dump(data, f)
        os.replace(path + ".tmp", path)

    def conn(self):
        return http.client.HTTPConnection("127.0.0.1", self.port, timeout=5)

    def get(self, path, headers=None, method="GET"):
        c = self.conn()
        c.request(method, path, headers=headers or {})
        r = c.getresponse()
        body = r.read()
        c.close()
        return r, body

    def raw(self, path, extra=""):
        """Send a request on a bare socket; return everything until EOF."""
        s = socket.create_connection(("127.0.0.1", self.port), timeout=5)
        s.sendall(("GET %s HTTP/1.1\r\nHost: x\r\n%s\r\n" % (path, extra))
                  .encode())
        out = b""
        try:
            while True:
                b = s.recv(65536)
                if not b:
                    break
                out += b
        finally:
            s.close()
        head, _, body = out.partition(b"\r\n\r\n")
        return head.decode("latin-1"), body

    def log(self):
        with open(self.log_path) as f:
            return [json.loads(line) for line in f]

    # --- normal serving ---

    def test_whole_file_with_length(self):
        r, body = self.get("/dir/file.bin")
        self.assertEqual(r.status, 200)
        self.assertEqual(r.getheader("Content-Length"), str(len(DATA)))
        self.assertEqual(body, DATA)

    def test_percent_decoded_path(self):
        r, body = self.get("/a%20b.txt")
        self.assertEqual((r.status, body), (200, b"spaced"))

    def test_keep_alive_reuses_connection(self):
        c = self.conn()
        for method in ("GET", "HEAD", "GET"):
            c.request(method, "/dir/file.bin")
            r = c.getresponse()
            body = r.read()
            self.assertEqual(r.status, 200)
            self.assertEqual(body, b"" if method == "HEAD" else DATA)
        c.close()
        ports = {e["peer_port"] for e in self.log()}
        self.assertEqual(len(ports), 1, "all requests on one connection")

    def test_missing_file_404(self):
        r, body = self.get("/nope.bin")
        self.assertEqual(r.status, 404)
        self.assertEqual(r.getheader("Content-Length"), str(len(body)))
        self.assertIn(b"<html>", body)

    def test_path_traversal_refused(self):
        for path in ("/../secret", "/%2e%2e/secret", "/dir/..%2f..%2fsecret",
                     "/dir/%2E%2E/%2E%2E/secret"):
            head, body = self.raw(path, "Connection: close\r\n")
            self.assertTrue(head.startswith("HTTP/1.1 403"), (path, head))
            self.assertNotIn(b"outside", body)

    # --- ranges ---

    def test_range_open_and_closed(self):
        r, body = self.get("/dir/file.bin", {"Range": "bytes=100-"})
        self.assertEqual(r.status, 206)
        self.assertEqual(r.getheader("Content-Range"),
                         "bytes 100-10239/10240")
        self.assertEqual(body, DATA[100:])
        r, body = self.get("/dir/file.bin", {"Range": "bytes=10-19"})
        self.assertEqual(r.status, 206)
        self.assertEqual(r.getheader("Content-Range"), "bytes 10-19/10240")
        self.assertEqual(r.getheader("Content-Length"), "10")
        self.assertEqual(body, DATA[10:20])

    def test_range_past_end_416(self):
        for start in (len(DATA), len(DATA) + 5):
            r, body = self.get("/dir/file.bin",
                               {"Range": "bytes=%d-" % start})
            self.assertEqual(r.status, 416)
            self.assertEqual(r.getheader("Content-Range"), "bytes */10240")

    def test_ranges_off_globally_and_per_path(self):
        for rules in ({"ranges": False},
                      {"paths": {"/dir/file.bin": {"ranges": False}}}):
            self.rules(rules)
            r, body = self.get("/dir/file.bin", {"Range": "bytes=100-"})
            self.assertEqual((r.status, body), (200, DATA), rules)
            self.assertIsNone(r.getheader("Content-Range"))

    # --- faults ---

    def test_status_and_body_rules(self):
        self.rules({"paths": {"/x": {"status": 503},
                              "/dir/file.bin": {"status": 500},
                              "/hex": {"body_hex": "00ff10"}}})
        r, body = self.get("/x")
        self.assertEqual(r.status, 503)
        r, body = self.get("/dir/file.bin")
        self.assertEqual((r.status, body), (500, DATA))
        r, body = self.get("/hex")
        self.assertEqual((r.status, body), (200, b"\x00\xff\x10"))

    def test_chunked(self):
        self.rules({"paths": {"/dir/file.bin": {"chunked": True}}})
        head, _ = self.raw("/dir/file.bin")
        self.assertIn("Transfer-Encoding: chunked", head)
        self.assertNotIn("Content-Length", head)
        r, body = self.get("/dir/file.bin")
        self.assertEqual(body, DATA)

    def test_no_length_and_length_override(self):
        self.rules({"paths": {"/dir/file.bin": {"no_length": True},
                              "/short": {"body": "abc", "length": 10}}})
        head, body = self.raw("/dir/file.bin")
        self.assertNotIn("Content-Length", head)
        self.assertNotIn("chunked", head)
        self.assertEqual(body, DATA)
        head, body = self.raw("/short")
        self.assertIn("Content-Length: 10", head)
        self.assertEqual(body, b"abc")

    def test_headers_are_added_as_given(self):
        self.rules({"paths": {"/dir/file.bin": {"headers": {"Content-Encoding": "gzip"}}}})
        head, body = self.raw("/dir/file.bin")
        self.assertIn("Content-Encoding: gzip", head)
        self.assertIn("Content-Length: %d" % len(DATA), head)
        self.assertEqual(body, DATA)

    def test_cut_after_gives_short_body(self):
        self.rules({"paths": {"/dir/file.bin": {"cut_after": 1000}}})
        head, body = self.raw("/dir/file.bin")
        self.assertIn("Content-Length: 10240", head)
        self.assertEqual(body, DATA[:1000])
        with self.assertRaises(http.client.IncompleteRead):
            self.get("/dir/file.bin")

    def test_abort_after_resets(self):
        self.rules({"paths": {"/dir/file.bin": {"abort_after": 100}}})
        s = socket.create_connection(("127.0.0.1", self.port), timeout=5)
        s.sendall(b"GET /dir/file.bin HTTP/1.1\r\nHost: x\r\n\r\n")
        got = b""
        with self.assertRaises(ConnectionResetError):  # not a clean EOF
            while True:
                b = s.recv(65536)
                if not b:
                    break
                got += b
        s.close()
        self.assertIn(b"Content-Length: 10240\r\n", got)
        self.assertTrue(got.endswith(b"\r\n\r\n" + DATA[:100]))

    def test_range_lists_multipart_first_or_whole(self):
        r, body = self.get("/dir/file.bin", {"Range": "bytes=0-1,100-102"})
        self.assertEqual(r.status, 206)
        boundary = r.getheader("Content-Type").split("boundary=")[1]
        self.assertIn(b"Content-Range: bytes 0-1/10240\r\n\r\n" + DATA[0:2] + b"\r\n--" +
                      boundary.encode(), body)
        self.assertTrue(body.endswith(b"Content-Range: bytes 100-102/10240\r\n\r\n" + DATA[100:103] +
                                      b"\r\n--" + boundary.encode() + b"--\r\n"))
        self.assertEqual(int(r.getheader("Content-Length")), len(body))
        self.rules({"paths": {"/dir/file.bin": {"range_lists": "first"}}})
        r, body = self.get("/dir/file.bin", {"Range": "bytes=0-1,100-102"})
        self.assertEqual((r.status, r.getheader("Content-Range"), body), (206, "bytes 0-1/10240", DATA[0:2]))
        self.rules({"paths": {"/dir/file.bin": {"range_lists": "whole"}}})
        r, body = self.get("/dir/file.bin", {"Range": "bytes=0-1,100-102"})
        self.assertEqual((r.status, body), (200, DATA))

    def test_abort_after_spares_a_body_that_ends_before_it(self):
        # A one-byte range probe of a file whose full body is aborted later:
        # the probe's answer ends cleanly, so the client never loses it.
        self.rules({"paths": {"/dir/file.bin": {"abort_after": 100}}})
        s = socket.create_connection(("127.0.0.1", self.port), timeout=5)
        s.sendall(b"GET /dir/file.bin HTTP/1.1\r\nHost: x\r\nRange: bytes=1-1\r\n\r\n")
        got = b""
        while True:
            b = s.recv(65536)  # a reset would raise here
            if not b:
                break
            got += b
        s.close()
        self.assertTrue(got.startswith(b"HTTP/1.1 206"))
        self.assertTrue(got.endswith(b"\r\n\r\n" + DATA[1:2]))

    def test_endless_sends_more_than_announced(self):
        self.rules({"paths": {"/dir/file.bin": {"endless": True}}})
        s = socket.create_connection(("127.0.0.1", self.port), timeout=5)
        s.sendall(b"GET /dir/file.bin HTTP/1.1\r\nHost: x\r\n\r\n")
        got = b""
        while len(got) < 3 * len(DATA):
            got += s.recv(65536)
        s.close()
        self.assertIn(b"Content-Length: 10240\r\n", got)

    def test_refuse_closes_without_answer(self):
        self.rules({"paths": {"/dir/file.bin": {"refuse": True}}})
        head, body = self.raw("/dir/file.bin")
        self.assertEqual((head, body), ("", b""))

    def test_stall_before_is_bounded_and_logged_first(self):
        self.rules({"paths": {"/dir/file.bin": {"stall_before": 0.6}}})
        s = socket.create_connection(("127.0.0.1", self.port), timeout=5)
        t0 = time.monotonic()
        s.sendall(b"GET /dir/file.bin HTTP/1.1\r\nHost: x\r\n\r\n")
        time.sleep(0.2)
        self.assertEqual(len(self.log()), 1, "logged before the stall ends")
        first = s.recv(1)
        elapsed = time.monotonic() - t0
        s.close()
        self.assertEqual(first, b"H")
        self.assertGreaterEqual(elapsed, 0.55)
        self.assertLess(elapsed, 3)

    def test_stall_after_mid_body(self):
        self.rules({"paths": {"/dir/file.bin": {
            "stall_after": {"bytes": 500, "seconds": 0.5}}}})
        t0 = time.monotonic()
        r, body = self.get("/dir/file.bin")
        self.assertEqual(body, DATA)
        self.assertGreaterEqual(time.monotonic() - t0, 0.45)

    def test_trickle_sends_one_byte_per_interval_after_the_head(self):
        self.rules({"paths": {"/dir/file.bin": {
            "length": 1005, "cut_after": 1005,
            "trickle": {"after": 1000, "interval": 0.1}}}})
        t0 = time.monotonic()
        r, body = self.get("/dir/file.bin")
        self.assertEqual(body, DATA[:1005])
        self.assertGreaterEqual(time.monotonic() - t0, 0.45)

    def test_times_applies_then_serves_and_resets_on_change(self):
        rules = {"paths": {"/dir/file.bin": {"status": 503, "times": 1}}}
        self.rules(rules)
        self.assertEqual(self.get("/dir/file.bin")[0].status, 503)
        self.assertEqual(self.get("/dir/file.bin")[0].status, 200)
        rules["ranges"] = True  # a different file resets the count
        self.rules(rules)
        self.assertEqual(self.get("/dir/file.bin")[0].status, 503)

    def test_request_log_fields(self):
        self.get("/dir/file.bin", {"Range": "bytes=5-9", "Accept": "*/*",
                                   "User-Agent": "Updater Test/1.0"})
        self.raw("/nope", "Connection: close\r\n")
        first, second = self.log()
        self.assertEqual(first["method"], "GET")
        self.assertEqual(first["path"], "/dir/file.bin")
        self.assertEqual(first["range"], "bytes=5-9")
        self.assertEqual(first["accept"], "*/*")
        self.assertEqual(first["user_agent"], "Updater Test/1.0")
        self.assertEqual(first["status"], 206)
        self.assertLess(abs(first["time"] - time.time()), 60)
        self.assertIsNone(second["range"])
        self.assertIsNone(second["user_agent"])
        self.assertEqual(second["status"], 404)


class LifecycleTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="fault_server_test.")

    def tearDown(self):
        shutil.rmtree(self.tmp, ignore_errors=True)

    def test_sigterm_ends_stall_and_exits_cleanly(self):
        root = os.path.join(self.tmp, "root")
        os.makedirs(root)
        with open(os.path.join(root, ".faults.json"), "w") as f:
            json.dump({"paths": {"/x": {"stall_before": 60}}}, f)
        proc, port = start_server(root)
        s = socket.create_connection(("127.0.0.1", port), timeout=5)
        s.sendall(b"GET /x HTTP/1.1\r\nHost: x\r\n\r\n")
        time.sleep(0.2)
        t0 = time.monotonic()
        self.assertEqual(stop_server(proc), 0)
        self.assertLess(time.monotonic() - t0, 3)
        s.close()

    def test_wrapper_exports_env_and_stops_server(self):
        root = os.path.join(self.tmp, "new", "root")
        script = (
            "import os, sys, urllib.request\n"
            "u = os.environ['UPDATER_TEST_SERVER']\n"
            "assert urllib.request.urlopen(u + '/f').read() == b'hi'\n"
            "assert os.path.isabs(os.environ['UPDATER_TEST_SERVER_ROOT'])\n"
            "assert os.path.exists(os.environ['UPDATER_TEST_SERVER_LOG'])\n"
            "print(u.rsplit(':', 1)[1]); sys.exit(3)\n")
        os.makedirs(root)
        with open(os.path.join(root, "f"), "wb") as f:
            f.write(b"hi")
        p = subprocess.run(["bash", WRAPPER, root, "--", sys.executable,
                            "-c", script], capture_output=True, timeout=30)
        self.assertEqual(p.returncode, 3, p.stderr)
        port = int(p.stdout)
        with self.assertRaises(OSError):
            socket.create_connection(("127.0.0.1", port), timeout=2).close()


if __name__ == "__main__":
    unittest.main()
