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
    names = sorted(files, key=lambda n: n.replace("/", "\\").encode("utf-16-be"))
    return b"".join(name.replace("/", "\\").encode("gbk") + b"\t" + md5(files[name]).encode() + b"\r\n"
                    for name in names)


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

    def __init__(self, root, kind="nginx", extra_nginx="", tls=None):
        """tls: (certificate chain file, key file); nginx then serves HTTPS
        on TLS_PORT instead."""
        self.root = root
        self.port = TLS_PORT if tls else PORT
        self.work = tempfile.mkdtemp(prefix="e2e-server-")
        if kind == "nginx":
            command = nginx_command(self.work, f"""
  log_format e2e '$request_uri "$http_range" $status';
  access_log {self.work}/access.log e2e;
  server {{
    listen 127.0.0.1:{self.port}{" ssl" if tls else ""};
    {f"ssl_certificate {tls[0]}; ssl_certificate_key {tls[1]};" if tls else ""}
    root {root};
    {extra_nginx}
  }}""")
        else:
            command = [sys.executable, os.path.join(SOURCE, "tests", "server", "fault_server.py"),
                       "--root", root, "--port", str(PORT)]
        self.process = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if not wait_until(self._listening, 10):
            self.stop()
            raise RuntimeError(f"{kind} did not start")

    def _listening(self):
        # Ours must be alive: another program on the port also accepts.
        if self.process.poll() is not None:
            return False
        with socket.socket() as probe:
            probe.settimeout(0.5)
            return probe.connect_ex(("127.0.0.1", self.port)) == 0

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
        self.installs = []
        self.driver = Driver()

    def tearDown(self):
        self.driver.close()
        for install in self.installs:
            install.remove()
        if self.server:
            self.server.stop()
        shutil.rmtree(self.release_root, ignore_errors=True)

    def publish(self, files, log="更新日志\r\n修复了若干问题\r\n", with_tool=False, delta=False):
        """Lays out the release with its UpDate.ini, made by the publisher
        tool (with_tool, with delta indexes when delta) or by manifest_bytes,
        and the update log."""
        write_tree(self.update, files)
        manifest = os.path.join(self.update, "UpDate.ini")
        if with_tool:
            subprocess.run([TOOL, "generate", self.update, "-o", manifest] + (["--delta"] if delta else []),
                           check=True, timeout=60, stdout=subprocess.DEVNULL)
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

