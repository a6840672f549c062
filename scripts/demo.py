#!/usr/bin/env python3
"""The demo: a sample release served by nginx on the updater's built-in
address, an outdated installation, and Updater.exe under Wine bringing it up
to date. Screenshots before, during and after land in build/demo/screenshots.

Run through `make demo`. With UPDATER_DEMO_AUTO=1 (no display of the user's)
the buttons are pressed automatically; otherwise the window waits for you.
"""
import os
import random
import shutil
import subprocess
import sys
import time
import urllib.error
import urllib.request

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(TOP, "tests", "e2e"))
from harness import (BASE_PATH, BUILD, PORT, TOOL, Driver, Installation, Server, md5,  # noqa: E402
                     read_tree, wait_until, write_tree)

DEMO = os.path.join(TOP, "build", "demo")
AUTO = os.environ.get("UPDATER_DEMO_AUTO") == "1"
SIGNING_KEY = os.environ.get("UPDATER_DEMO_SIGNING_KEY")
LOG = """2026-12-08  V1.0.1
- 新增关卡地图 level1
- 片头动画更新
- 修复了配置文件的读取问题
"""


def say(text):
    print(f"demo: {text}", flush=True)


def sample_files():
    rng = random.Random(20261208)
    with open(os.path.join(BUILD, "Updater.exe"), "rb") as updater:
        old_updater = updater.read()
    with open(os.path.join(BUILD, "tests", "client_standin.exe"), "rb") as client:
        client = client.read()
    release = {
        # A new build of the updater itself: the script swaps it in on close.
        "Updater.exe": old_updater + b"\0demo release 1.0.1\0",
        "QyrUIPro.exe": client,
        "readme.txt": b"Sample client for the updater demo.\r\n",
        "data/config.ini": b"[client]\r\nversion=1.0.1\r\n",
        "data/maps/level1.map": rng.randbytes(2_000_000),
        "media/intro.bin": rng.randbytes(12_000_000),
    }
    installed = {
        "Updater.exe": old_updater,
        "QyrUIPro.exe": client,
        "readme.txt": release["readme.txt"],
        "data/config.ini": b"[client]\r\nversion=1.0.0\r\n",
    }
    return release, installed


def screenshot(driver, name):
    rect = driver.ask("rect")
    path = os.path.join(DEMO, "screenshots", name)
    geometry = f"{rect['right'] - rect['left']}x{rect['bottom'] - rect['top']}+{rect['left']}+{rect['top']}"
    xwd = subprocess.run(["xwd", "-root", "-silent"], capture_output=True, check=True)
    subprocess.run(["convert", "xwd:-", "-crop", geometry, "+repage", path], input=xwd.stdout, check=True)
    say(f"screenshot {path}")


def served_status(url):
    """The status the server gives url, or the error that kept it from answering."""
    try:
        with urllib.request.urlopen(url, timeout=10) as answer:
            return answer.status
    except urllib.error.HTTPError as error:
        return error.code
    except OSError as error:
        return f"no answer ({error})"


def main():
    shutil.rmtree(DEMO, ignore_errors=True)
    os.makedirs(os.path.join(DEMO, "screenshots"))
    release, installed = sample_files()

    server_root = os.path.join(DEMO, "server")
    update = os.path.join(server_root, *BASE_PATH.strip("/").split("/"), "Update")
    write_tree(update, release)
    manifest = os.path.join(update, "UpDate.ini")
    subprocess.run([TOOL, "generate", update, "-o", manifest], check=True)
    if SIGNING_KEY:
        subprocess.run([TOOL, "sign", manifest, "--key", SIGNING_KEY], check=True)
        say("manifest signed: UpDate.ini.sig; this updater accepts only manifests signed with that key")
    log_folder = os.path.join(os.path.dirname(update), "UpdateLog")
    os.makedirs(log_folder)
    with open(os.path.join(log_folder, "UpdateLog.ini"), "wb") as out:
        out.write(LOG.replace("\n", "\r\n").encode("gbk"))
    say(f"release laid out in {update} (manifest made by {os.path.relpath(TOOL, TOP)})")

    install = Installation(installed, folder=os.path.join(DEMO, "install"))
    before = {name: md5(data) for name, data in read_tree(install.folder).items()}

    try:
        server = Server(server_root, extra_nginx=f"location {BASE_PATH}Update/media/ {{ limit_rate 3m; }}")
    except RuntimeError:
        sys.exit(f"demo: nginx could not listen on 127.0.0.1:{PORT}; is something else using it?")
    manifest_url = f"http://127.0.0.1:{PORT}{BASE_PATH}Update/UpDate.ini"
    answer = served_status(manifest_url)
    if answer != 200:
        with open(os.path.join(server.work, "error.log"), errors="replace") as log:
            why = (log.read().strip().splitlines() or ["nothing in its log"])[-1]
        server.stop()
        sys.exit(f"demo: nginx answers {answer} for {manifest_url}: {why}")
    say(f"nginx serves http://127.0.0.1:{PORT}{BASE_PATH}")
    driver = Driver()
    try:
        install.start()
        if not driver.ask("find 60000")["ok"]:
            sys.exit("demo: the updater's window did not appear")
        time.sleep(1)
        screenshot(driver, "1-before.png")
        if AUTO:
            driver.ask("click 1001")
        else:
            say("press 更新 in the window, then 更新完成 when it is done")
        # A check that ends without a download (a wrong server) must not keep
        # the demo waiting for progress that never comes.
        moment = wait_until(lambda: ("downloading" if driver.state().get("progress", 0) > 1000
                                     else "ended" if driver.wait_outcome(0) else None), 600, 0.2)
        if moment == "downloading":
            screenshot(driver, "2-during.png")
        outcome = driver.wait_outcome(600)
        if outcome:
            time.sleep(0.5)
            screenshot(driver, "3-after.png")
            say(f"the dialog says: {outcome['controls']['1004']['text']}")
        succeeded = bool(outcome) and outcome["controls"]["1004"]["text"] == "更新成功."
        if AUTO:
            # 更新完成 after a success; 退出 otherwise, since 更新 would only check again.
            driver.ask("click 1001" if succeeded else "click 1002")
        driver.ask("gone 600000")
        install.wait_exit(60)
        wait_until(lambda: os.path.exists(install.path("client-started.txt")), 30)
    finally:
        driver.close()
        server.stop()
        if install.process and install.process.poll() is None:
            install.process.kill()

    after = {name: md5(data) for name, data in read_tree(install.folder).items()}
    say(f"installation: {install.folder}")
    for name in sorted(set(before) | set(after)):
        if name not in before:
            say(f"  added    {name}")
        elif name not in after:
            say(f"  removed  {name}")
        elif before[name] != after[name]:
            say(f"  updated  {name}")
    started = os.path.exists(install.path("client-started.txt"))
    swapped = started and after.get("Updater.exe") == md5(release["Updater.exe"])
    say("the hand-off script swapped in the new Updater.exe and started QyrUIPro.exe"
        if swapped else "the client was not started (was the dialog closed with 更新完成?)")
    say(f"screenshots in {os.path.join(DEMO, 'screenshots')}")
    if AUTO and not swapped:
        sys.exit("demo: the update did not complete")


if __name__ == "__main__":
    main()
