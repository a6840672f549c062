#!/usr/bin/env python3
"""HTTP/1.1 file server for the updater tests that misbehaves on request.

Serves files below --root. Faults come from ROOT/.faults.json, re-read on
every request so a test can change behaviour between requests:

  {"ranges": true,
   "paths": {"/url/path": {"status": 503, "times": 1, ...}}}

Rule keys: status, body, body_hex, chunked, no_length, length, headers
({name: value} sent as well), cut_after,
abort_after, stall_before, stall_after {"bytes", "seconds"}, trickle
{"after", "interval"} (past "after" bytes, one byte per "interval" seconds),
ranges, range_lists ("first": a list of ranges is answered with its first
range only; "whole": with the whole file; "416": refused, as some caches
refuse any list; default: multipart/byteranges, as nginx answers),
answer_from (a range request is answered with the file from this offset on,
as a broken proxy might), times, endless, refuse. Every request is appended to the log
as one JSON line.
"""

import argparse
import hashlib
import html
import json
import os
import re
import signal
import socket
import socketserver
import struct
import sys
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler

RULES_NAME = ".faults.json"
LOG_NAME = ".requests.log"
PIECE = 16 * 1024
ENDLESS_LIMIT = 64 * 1024 * 1024
MAX_STALL = 600.0
RANGE_RE = re.compile(r"^bytes=(\d*)-(\d*)$")


class Rules:
    """Parsed rules file plus the per-path "times" counters."""

    def __init__(self, root):
        self.path = os.path.join(root, RULES_NAME)
        self.lock = threading.Lock()
        self.signature = None
        self.counts = {}

    def load(self):
        # A test may be halfway through writing the file (Wine writes are not
        # atomic), so give a broken file a short, bounded chance to settle.
        for attempt in range(10):
            try:
                with open(self.path, "rb") as f:
                    raw = f.read()
                st = os.stat(self.path)
            except FileNotFoundError:
                return {}, None
            try:
                data = json.loads(raw.decode("utf-8")) if raw.strip() else {}
                if not isinstance(data, dict):
                    raise ValueError("rules must be a JSON object")
                return data, (hashlib.sha1(raw).hexdigest(), st.st_mtime_ns)
            except ValueError as e:
                error = e
                time.sleep(0.05)
        raise ValueError("bad %s: %s" % (RULES_NAME, error))

    def lookup(self, path):
        """Return (global ranges flag, rule or None), counting "times"."""
        data, signature = self.load()
        rule = (data.get("paths") or {}).get(path)
        with self.lock:
            if signature != self.signature:
                self.signature, self.counts = signature, {}
            if rule is not None and "times" in rule:
                used = self.counts.get(path, 0)
                if used >= int(rule["times"]):
                    rule = None
                else:
                    self.counts[path] = used + 1
        return data.get("ranges", True) is not False, rule


class Server(socketserver.ThreadingMixIn, socketserver.TCPServer):
    daemon_threads = True
    allow_reuse_address = True
    request_queue_size = 64

    def __init__(self, root, port, log_path):
        self.root = os.path.realpath(root)
        self.log_path = log_path
        self.rules = Rules(self.root)
        self.stopping = threading.Event()
        self.log_lock = threading.Lock()
        self.conns = set()
        self.conns_lock = threading.Lock()
        self.resets = set()
        super().__init__(("127.0.0.1", port), Handler)

    def shutdown_request(self, request):
        with self.conns_lock:
            reset = request in self.resets
            self.resets.discard(request)
        if reset:
            request.close()  # no shutdown(): a FIN would precede the RST
        else:
            super().shutdown_request(request)

    def stop(self):
        """Stop accepting, end stalls and unblock every open connection."""
        self.stopping.set()
        self.shutdown()
        with self.conns_lock:
            for conn in list(self.conns):
                try:
                    conn.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass
        self.server_close()

    def log_request_line(self, entry):
        line = json.dumps(entry, ensure_ascii=False) + "\n"
        with self.log_lock:
            with open(self.log_path, "a", encoding="utf-8") as f:
                f.write(line)
                f.flush()


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    timeout = 30  # bounds idle keep-alive reads and blocked writes

    def setup(self):
        super().setup()
        with self.server.conns_lock:
            self.server.conns.add(self.connection)

    def finish(self):
        with self.server.conns_lock:
            self.server.conns.discard(self.connection)
        try:
            super().finish()
        except OSError:
            pass

    def log_message(self, *args):
        pass  # the JSON request log is the record; keep stderr quiet

    def do_GET(self):
        self.serve()

    def do_HEAD(self):
        self.serve()

    def resolve(self, url_path):
        """Map a decoded URL path below the root; None means refused."""
        parts = [p for p in url_path.split("/") if p not in ("", ".")]
        if "\0" in url_path or any(p == ".." or "\\" in p for p in parts):
            return None
        full = os.path.realpath(os.path.join(self.server.root, *parts))
        if os.path.commonpath([full, self.server.root]) != self.server.root:
            return None  # a symlink pointing outside
        return full

    def serve(self):
        try:
            self.respond()
        except OSError:  # client went away, timed out or was reset
            self.close_connection = True
        except Exception as e:  # bad rule values: make it visible, don't hang
            print("fault_server: %r" % e, file=sys.stderr)
            self.close_connection = True

    def respond(self):
        raw_path = self.path.split("?", 1)[0].split("#", 1)[0]
        # Clients send non-ASCII names as raw bytes of their code page: keep
        # them as bytes (surrogate-escaped) so they reach the file system as sent.
        url_path = urllib.parse.unquote_to_bytes(raw_path.encode("latin-1")).decode(
            "utf-8", "surrogateescape")
        full = self.resolve(url_path)
        ranges_on, rule = True, None
        if full is not None:  # traversal is refused whatever the rules say
            try:
                ranges_on, rule = self.server.rules.lookup(url_path)
            except ValueError as e:
                rule = {"status": 500, "body": str(e) + "\n"}
        rule = rule or {}

        status, data, ctype = self.pick_body(full, rule)
        headers = []
        start = None
        listed = self.range_list(len(data)) if status == 200 else None
        if listed and ranges_on and rule.get("ranges", True) and rule.get("range_lists") != "whole":
            headers.append(("Accept-Ranges", "bytes"))
            if rule.get("range_lists") == "416":
                status = 416
                headers.append(("Content-Range", "bytes */%d" % len(data)))
                data, ctype = b"", None
            elif rule.get("range_lists") == "first":
                start, end = listed[0]
                status = 206
                headers.append(("Content-Range", "bytes %d-%d/%d" % (start, end, len(data))))
                data = data[start:end + 1]
            else:  # as nginx answers a list: one part per range, in order
                status, boundary = 206, "00000000000000000001"
                parts = [b"\r\n--%s\r\nContent-Type: %s\r\nContent-Range: bytes %d-%d/%d\r\n\r\n%s"
                         % (boundary.encode(), (ctype or "application/octet-stream").encode(), s, e,
                            len(data), data[s:e + 1]) for s, e in listed]
                data = b"".join(parts) + b"\r\n--%s--\r\n" % boundary.encode()
                ctype = "multipart/byteranges; boundary=" + boundary
        elif status == 200 and ranges_on and rule.get("ranges", True):
            headers.append(("Accept-Ranges", "bytes"))
            status, start, end = self.parse_range(len(data))
            if status == 206 and "answer_from" in rule:
                start, end = min(int(rule["answer_from"]), len(data) - 1), len(data) - 1
            if status == 206:
                headers.append(("Content-Range",
                                "bytes %d-%d/%d" % (start, end, len(data))))
                data = data[start:end + 1]
            elif status == 416:
                headers.append(("Content-Range", "bytes */%d" % len(data)))
                data, ctype = b"", None

        self.write_log(None if rule.get("refuse") else status)
        if rule.get("refuse"):
            self.close_connection = True
            return
        self.stall(rule.get("stall_before", 0))

        faulty = bool(set(rule) - {"ranges"})
        if faulty:
            self.close_connection = True
        chunked = bool(rule.get("chunked"))
        self.send_response(status)
        if ctype:
            headers.append(("Content-Type", ctype))
        if "length" in rule:
            headers.append(("Content-Length", str(int(rule["length"]))))
        elif not chunked and not rule.get("no_length"):
            headers.append(("Content-Length", str(len(data))))
        if chunked:
            headers.append(("Transfer-Encoding", "chunked"))
        headers.extend((str(k), str(v)) for k, v in (rule.get("headers") or {}).items())
        if self.close_connection:
            headers.append(("Connection", "close"))
        for name, value in headers:
            self.send_header(name, value)
        self.end_headers()
        cut = self.command != "HEAD" and self.send_body(data, rule, chunked)
        self.wfile.flush()
        # A body that ended before the abort point (a one-byte range probe of
        # the same file, say) was whole: resetting after it would make the
        # client lose an answer the rule never meant to break.
        if "abort_after" in rule and cut:
            self.reset()

    def pick_body(self, full, rule):
        """Return (status, body bytes, content type) before ranges apply."""
        if full is None:
            return 403, self.page(403, "Forbidden"), "text/html"
        if "body_hex" in rule:
            data, ctype = bytes.fromhex(rule["body_hex"]), "application/octet-stream"
        elif "body" in rule:
            data, ctype = str(rule["body"]).encode("utf-8"), "text/plain; charset=utf-8"
        elif os.path.isfile(full):
            with open(full, "rb") as f:
                data, ctype = f.read(), "application/octet-stream"
        elif "status" in rule:
            status = int(rule["status"])
            text = "%d %s\n" % (status, self.responses.get(status, ("",))[0])
            return status, text.encode(), "text/plain; charset=utf-8"
        else:
            return 404, self.page(404, "Not Found"), "text/html"
        return int(rule.get("status", 200)), data, ctype

    @staticmethod
    def page(status, reason):
        title = "%d %s" % (status, html.escape(reason))
        return ("<html><head><title>%s</title></head><body><h1>%s</h1>"
                "</body></html>\n" % (title, title)).encode()

    def range_list(self, size):
        """[(start, end inclusive), ...] for a Range header that lists two or
        more satisfiable ranges; None for anything else."""
        value = (self.headers.get("Range") or "").strip()
        if not value.startswith("bytes=") or "," not in value:
            return None
        ranges = []
        for item in value[len("bytes="):].split(","):
            m = re.fullmatch(r"\s*(\d+)-(\d+)\s*", item)
            if not m or int(m.group(1)) > int(m.group(2)) or int(m.group(2)) >= size:
                return None
            ranges.append((int(m.group(1)), int(m.group(2))))
        return ranges

    def parse_range(self, size):
        """Return (status, start, end inclusive) for the Range header."""
        m = RANGE_RE.match((self.headers.get("Range") or "").strip())
        if not m or m.groups() == ("", ""):
            return 200, None, None  # absent or unsupported: whole body
        first, last = m.groups()
        if first == "":  # suffix form: the last N bytes
            n = int(last)
            if n == 0:
                return 416, None, None
            return 206, max(0, size - n), size - 1
        start = int(first)
        end = size - 1 if last == "" else min(int(last), size - 1)
        if last != "" and int(last) < start:
            return 200, None, None  # invalid, so ignored
        if start >= size:
            return 416, None, None
        return 206, start, end

    def write_log(self, status):
        h = self.headers
        self.server.log_request_line({
            "method": self.command, "path": self.path,
            "range": h.get("Range"), "accept": h.get("Accept"),
            "user_agent": h.get("User-Agent"), "status": status,
            "time": time.time(), "peer_port": self.client_address[1],
        })

    def stall(self, seconds):
        seconds = min(float(seconds or 0), MAX_STALL)
        if seconds > 0:
            self.server.stopping.wait(seconds)

    def send_body(self, data, rule, chunked):
        """Writes the body as the rule shapes it; True when it was cut short."""
        whole = ENDLESS_LIMIT if rule.get("endless") else len(data)
        total = whole
        for key in ("abort_after", "cut_after"):
            if key in rule:
                total = min(total, int(rule[key]))
                break
        stall = rule.get("stall_after")
        stall_at = int(stall["bytes"]) if stall else None
        trickle = rule.get("trickle")
        trickle_at = int(trickle.get("after", 0)) if trickle else None
        pos = 0
        while not self.server.stopping.is_set():
            if stall_at is not None and pos >= stall_at:
                self.wfile.flush()
                self.stall(stall.get("seconds", 0))
                stall_at = None
            if pos >= total:
                break
            n = min(PIECE, total - pos)
            if stall_at is not None:
                n = min(n, stall_at - pos)
            if trickle_at is not None:
                if pos >= trickle_at:
                    self.wfile.flush()
                    self.stall(trickle.get("interval", 1))
                    n = 1
                else:
                    n = min(n, trickle_at - pos)
            piece = data[pos:pos + n] if pos < len(data) else b""
            piece += bytes(n - len(piece))  # filler past the end (endless)
            if chunked:
                piece = b"%x\r\n%s\r\n" % (n, piece)
            self.wfile.write(piece)
            pos += n
        if chunked and pos == len(data) and total == len(data):
            self.wfile.write(b"0\r\n\r\n")
        return pos < whole

    def reset(self):
        # Linger 0 makes close() send RST instead of FIN, so the client's
        # read fails rather than seeing a tidy end of stream.
        self.close_connection = True
        self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER,
                                   struct.pack("ii", 1, 0))
        with self.server.conns_lock:
            self.server.resets.add(self.connection)


def write_port_file(path, port):
    tmp = "%s.%d.tmp" % (path, os.getpid())
    with open(tmp, "w") as f:
        f.write("%d\n" % port)
    os.replace(tmp, path)


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--root", required=True)
    ap.add_argument("--port", type=int, default=0)
    ap.add_argument("--port-file")
    ap.add_argument("--log")
    args = ap.parse_args(argv)

    os.makedirs(args.root, exist_ok=True)
    log = args.log or os.path.join(args.root, LOG_NAME)
    server = Server(args.root, args.port, os.path.abspath(log))
    port = server.server_address[1]

    stop = threading.Event()
    for sig in (signal.SIGTERM, signal.SIGINT):
        signal.signal(sig, lambda *_: stop.set())
    thread = threading.Thread(target=server.serve_forever,
                              kwargs={"poll_interval": 0.2}, daemon=True)
    thread.start()
    if args.port_file:
        write_port_file(args.port_file, port)
    print(port, flush=True)
    while not stop.wait(0.5):
        pass
    server.stop()
    thread.join(5)
    return 0


if __name__ == "__main__":
    sys.exit(main())
