"""Shared by the end-to-end suite and the demo: a web server on the
updater's built-in address (nginx or the fault server), the updater started
by Wine in an installation folder, and uidriver.exe reading and pressing its
dialog from another process."""
import hashlib
import json
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "server"))
from nginx_conf import nginx_command  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(os.path.dirname(HERE))
TOOL = os.path.join(SOURCE, "build", "host", "publisher", "updater-manifest")
BUILD = os.environ.get("UPDATER_WINDOWS_BUILD", os.path.join(SOURCE, "build", "windows"))
BASE_PATH = "/Velmora/Qyr/Test/"
WAIT = 30  # seconds; the upper bound of every wait below

def built_in_port():
    with open(os.path.join(BUILD, "CMakeCache.txt"), encoding="utf-8") as cache:
        for line in cache:
            if line.startswith("UPDATER_SERVER:"):
                match = re.search(r":(\d+)$", line.strip())
                return int(match.group(1)) if match else 80
    raise RuntimeError("UPDATER_SERVER not found in the build's cache")


PORT = built_in_port()
# The suite's HTTPS build (tests/tls/Updater.exe) is fixed to https://localhost on this port.
TLS_PORT = int(os.environ.get("UPDATER_TLS_PORT", "0"))


def md5(data):
    return hashlib.md5(data).hexdigest()


def wait_until(condition, timeout=WAIT, step=0.1):
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value or time.monotonic() > deadline:
            return value
        time.sleep(step)


def manifest_bytes(files):
    """A manifest in the form the updater reads: backslashes, TAB, lowercase
    MD5, CR LF, names in code page 936, ordinal UTF-16 order."""
    return manifest_of_digests({name: md5(data) for name, data in files.items()})


def manifest_of_digests(digests):
    """manifest_bytes for files known by their MD5 only (too large to hold)."""
    names = sorted(digests, key=lambda n: n.replace("/", "\\").encode("utf-16-be"))
    return b"".join(name.replace("/", "\\").encode("gbk") + b"\t" + digests[name].encode() + b"\r\n"
                    for name in names)


def free_port():
    """A loopback port nothing listens on now (for a server behind another)."""
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def listening(process, port):
    # Ours must be alive: another program on the port also accepts.
    if process.poll() is not None:
        return False
    with socket.socket() as probe:
        probe.settimeout(0.5)
        return probe.connect_ex(("127.0.0.1", port)) == 0


def running(pid):
    """Whether pid runs (an ended process waiting to be reaped does not)."""
    try:
        with open(f"/proc/{pid}/stat") as stat:
            return stat.read().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False


def children_of(pid):
    """Pids whose parent is pid, read from /proc."""
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as stat:
                fields = stat.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        if int(fields[1]) == pid:
            found.append(int(entry))
    return found


def write_tree(root, files):
    """Writes files under root, named in UTF-8 as a Linux server (and Wine's
    view of an installation) has them."""
    for name, data in files.items():
        path = os.path.join(root, *name.split("/"))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as out:
            out.write(data)


def read_tree(root):
    tree = {}
    for folder, _, names in os.walk(root):
        for name in names:
            path = os.path.join(folder, name)
            with open(path, "rb") as data:
                tree[os.path.relpath(path, root).replace(os.sep, "/")] = data.read()
    return tree


class Server:
    """nginx, the way a publisher runs it, or the fault server; on the
    updater's port, stopped by pid."""

    def __init__(self, root, kind="nginx", extra_nginx="", tls=None, port=None):
        """tls: (certificate chain file, key file); nginx then serves HTTPS
        on TLS_PORT instead. port: nginx elsewhere than the updater's port
        (behind a cache that takes it)."""
        self.root = root
        self.port = port or (TLS_PORT if tls else PORT)
        self.work = tempfile.mkdtemp(prefix="e2e-server-")
        if kind == "nginx":
            command = nginx_command(self.work, f"""
  log_format e2e '$request_uri "$http_range" $body_bytes_sent $status';
  access_log {self.work}/access.log e2e;
  server {{
    listen 127.0.0.1:{self.port}{" ssl" if tls else ""};
    {f"ssl_certificate {tls[0]}; ssl_certificate_key {tls[1]};" if tls else ""}
    root {root};
    {extra_nginx}
  }}""")
        else:
            command = [sys.executable, os.path.join(SOURCE, "tests", "server", "fault_server.py"),
                       "--root", root, "--port", str(self.port)]
        self.process = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if not wait_until(self._listening, 10):
            self.stop()
            raise RuntimeError(f"{kind} did not start")

    def _listening(self):
        return listening(self.process, self.port)

    def faults(self, rules):
        with open(os.path.join(self.root, ".faults.json"), "w") as out:
            json.dump(rules, out)

    def requests(self):
        path = os.path.join(self.root, ".requests.log")
        if not os.path.exists(path):
            return []
        with open(path, encoding="utf-8") as log:
            return [json.loads(line) for line in log if line.strip()]

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(10)
        shutil.rmtree(self.work, ignore_errors=True)


class Varnish:
    """A real Varnish cache in front of a server, on the updater's port, as a
    CDN puts one: it fills its cache with whole answers from the server and
    serves ranges from there itself. Its working folder is its own; stopped
    by pid, the cache process it starts too."""

    def __init__(self, backend_port, port=PORT):
        self.port = port
        self.work = tempfile.mkdtemp(prefix="e2e-varnish-")
        self.name = os.path.join(self.work, "instance")
        # -j none: run as the user who starts it (root here), who alone may
        # enter the temporary folder; -F keeps the manager in the foreground.
        # One small thread pool is plenty for one client.
        command = ["varnishd", "-F", "-j", "none", "-n", self.name,
                   "-a", f"127.0.0.1:{port}", "-b", f"127.0.0.1:{backend_port}",
                   "-s", "malloc,64m", "-t", "600",
                   "-p", "thread_pools=1", "-p", "thread_pool_min=10", "-p", "thread_pool_max=100"]
        self.output = open(os.path.join(self.work, "varnishd.out"), "wb")
        self.process = subprocess.Popen(command, stdout=self.output, stderr=subprocess.STDOUT)
        # Listening is not enough: the manager binds the port before its cache process runs.
        if not wait_until(self._ready, WAIT):
            self.stop()
            raise RuntimeError("varnishd did not start")

    def _ready(self):
        if not listening(self.process, self.port):
            return False
        with open(os.path.join(self.work, "varnishd.out"), "rb") as out:
            return b"Child launched OK" in out.read()

    def deliveries(self):
        """What the cache sent its clients, request by request, from its
        shared log: (path, Range asked, status, body bytes sent)."""
        lines = subprocess.run(["varnishncsa", "-d", "-n", self.name, "-F", '%U\t%{Range}i\t%s\t%b'],
                               check=True, capture_output=True, text=True, timeout=WAIT).stdout
        found = []
        for line in lines.splitlines():
            path, ranges, status, sent = line.split("\t")
            found.append((path, ranges, int(status), 0 if sent == "-" else int(sent)))
        return found

    def stop(self):
        helpers = children_of(self.process.pid)
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(WAIT)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(10)
        # The manager stops its cache process; should it not, that one goes by pid too.
        for pid in helpers:
            if wait_until(lambda: not running(pid), 10):
                continue
            try:
                os.kill(pid, 9)
            except ProcessLookupError:
                pass
        self.output.close()
        shutil.rmtree(self.work, ignore_errors=True)


class Driver:
    """uidriver.exe: one persistent process, one JSON line per command."""

    def __init__(self):
        self.process = subprocess.Popen(["wine", os.path.join(BUILD, "tests", "uidriver.exe")],
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.DEVNULL, text=True, encoding="utf-8")

    def ask(self, command):
        self.process.stdin.write(command + "\n")
        self.process.stdin.flush()
        return json.loads(self.process.stdout.readline())

    def state(self):
        return self.ask("state")

    def status(self):
        state = self.state()
        return state["controls"]["1004"]["text"] if state.get("found") else None

    def wait_outcome(self, timeout=WAIT):
        """The end of a run: button 1001 enabled again and a final status text."""
        finals = {"更新成功.", "下载更新文件失败,请检测网络是否正常.", "程序已经是最新版,不需要更新.",
                  "更新信息获取失败,请检测网络是否正常!", "获取本地版本信息失败"}

        # Polled without the rows: reading thousands of them from another
        # process would keep the dialog's thread busy all along.
        def ended():
            controls = self.ask("controls").get("controls", {})
            return (controls and controls["1001"]["enabled"]
                    and controls["1004"]["text"] in finals)
        return self.state() if wait_until(ended, timeout, 0.2) else None

    def close(self):
        try:
            self.ask("quit")
        except (BrokenPipeError, ValueError):
            pass
        try:
            self.process.wait(10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait(10)
        self.process.stdin.close()
        self.process.stdout.close()


class Installation:
    def __init__(self, files, folder=None):
        self.folder = folder or tempfile.mkdtemp(prefix="e2e-install-")
        write_tree(self.folder, files)
        self.process = None

    def path(self, name):
        return os.path.join(self.folder, *name.split("/"))

    def start(self):
        self.process = subprocess.Popen(["wine", self.path("Updater.exe")], cwd=self.folder,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def wait_exit(self, timeout=WAIT):
        try:
            return self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            return None

    def remove(self):
        if self.process and self.process.poll() is None:
            self.process.kill()
            self.process.wait(10)
        shutil.rmtree(self.folder, ignore_errors=True)


class ReleaseTestCase(unittest.TestCase):
    """A release folder served below the built-in base path, installations
    made from file dicts, and the driver; all of it removed after each test."""

    @classmethod
    def setUpClass(cls):
        with open(os.path.join(BUILD, "Updater.exe"), "rb") as updater:
            cls.updater = updater.read()
        with open(os.path.join(BUILD, "tests", "client_standin.exe"), "rb") as client:
            cls.client = client.read()

    def setUp(self):
        self.release_root = tempfile.mkdtemp(prefix="e2e-release-")
        self.update = os.path.join(self.release_root, *BASE_PATH.strip("/").split("/"), "Update")
        self.server = None
        self.cache = None  # a Varnish in front of the server
        self.installs = []
        self.driver = Driver()

    def tearDown(self):
        self.driver.close()
        for install in self.installs:
            install.remove()
        if self.cache:
            self.cache.stop()
        if self.server:
            self.server.stop()
        shutil.rmtree(self.release_root, ignore_errors=True)

    def publish(self, files, log="更新日志\r\n修复了若干问题\r\n", with_tool=False, delta=False, compress=False,
                pack=False, tool_timeout=60):
        """Lays out the release with its UpDate.ini, made by the publisher
        tool (with_tool, with delta indexes when delta, compressed forms
        when compress and the pack of small files when pack; files already in
        the release folder count too) or by manifest_bytes, and the update log."""
        write_tree(self.update, files)
        manifest = os.path.join(self.update, "UpDate.ini")
        if with_tool:
            extras = ((["--delta"] if delta else []) + (["--compress"] if compress else []) +
                      (["--pack"] if pack else []))
            subprocess.run([TOOL, "generate", self.update, "-o", manifest] + extras,
                           check=True, timeout=tool_timeout, stdout=subprocess.DEVNULL)
        else:
            with open(manifest, "wb") as out:
                out.write(manifest_bytes(files))
        log_folder = os.path.join(os.path.dirname(self.update), "UpdateLog")
        os.makedirs(log_folder, exist_ok=True)
        with open(os.path.join(log_folder, "UpdateLog.ini"), "wb") as out:
            out.write(log.encode("gbk"))

    def install(self, files, folder=None):
        install = Installation(files, folder)
        self.installs.append(install)
        return install

    def open_dialog(self, install):
        install.start()
        self.assertTrue(self.driver.ask(f"find {WAIT * 1000}")["ok"], "the dialog did not appear")

