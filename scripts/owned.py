#!/usr/bin/env python3
"""Runs a command and, when it has returned, stops every process it started.

Wine's server and services, Xvfb and nginx detach from the command that
started them. As a child subreaper this process inherits them instead of
init, so it knows them by pid: it stops them (TERM, then KILL after a bounded
wait) and reaps them, so none is left running or as a zombie. Processes the
command did not start are never touched. The exit status is the command's.

    scripts/owned.py scripts/test.sh
"""
import ctypes
import os
import signal
import subprocess
import sys
import time

PR_SET_CHILD_SUBREAPER = 36
GRACE_SECONDS = 10


def children():
    """Pids whose parent is this process, read from /proc."""
    me = str(os.getpid())
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as stat:
                # The name in parentheses may hold spaces; the parent pid follows it.
                fields = stat.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        if fields[1] == me:
            found.append(int(entry))
    return found


def reap(keep=None):
    """Collects the ended orphans, all but keep, whose status is the command's."""
    for pid in children():
        if pid != keep:
            try:
                os.waitpid(pid, os.WNOHANG)
            except ChildProcessError:
                pass


def stop_all():
    """Signals what is left, gives it time to end, then kills it. Orphans of
    the ones that end come to this process too, so it loops until none is left
    or the grace time is over."""
    deadline = time.monotonic() + GRACE_SECONDS
    signalled = set()
    while True:
        reap()
        left = children()
        if not left:
            return
        kill = time.monotonic() > deadline
        for pid in left:
            if kill or pid not in signalled:
                try:
                    os.kill(pid, signal.SIGKILL if kill else signal.SIGTERM)
                except ProcessLookupError:
                    pass
                signalled.add(pid)
        if kill and time.monotonic() > deadline + GRACE_SECONDS:
            return  # unkillable: leave it rather than hang
        time.sleep(0.1)


def main():
    if len(sys.argv) < 2:
        sys.exit("usage: owned.py COMMAND [ARG...]")
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0:
        print("owned.py: cannot become a subreaper; left-over processes are not stopped",
              file=sys.stderr)
    command = subprocess.Popen(sys.argv[1:])
    # An interrupt reaches the command's process group; wait for it to return.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    signal.signal(signal.SIGTERM, lambda *_: command.terminate())
    # Orphans that end while the command runs are reaped as it goes, so they
    # do not wait as zombies until the end.
    while command.poll() is None:
        reap(keep=command.pid)
        time.sleep(0.5)
    status = command.returncode
    stop_all()
    sys.exit(status if status >= 0 else 128 - status)


if __name__ == "__main__":
    main()
