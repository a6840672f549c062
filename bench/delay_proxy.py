#!/usr/bin/env python3
"""A TCP proxy on 127.0.0.1 that delays every byte by a fixed one-way time,
so loopback behaves like a link with a round trip of twice that: a chunk read
from one side at time t is written to the other at t + delay. Bandwidth is
not limited. `tc netem` needs privileges the bench does not have.

  delay_proxy.py --target PORT --delay-ms 5 [--port-file FILE]

Prints the port it listens on (and writes it to --port-file); runs until
SIGTERM.
"""
import argparse
import collections
import os
import signal
import socket
import sys
import threading
import time


def pump(source, sink, delay):
    """Reads from source and writes each chunk to sink delay seconds after it
    arrived; a second thread does the writing, so reading never waits."""
    due = collections.deque()
    ready = threading.Condition()
    ended = [False]

    def writer():
        while True:
            with ready:
                while not due and not ended[0]:
                    ready.wait()
                if not due:
                    break
                at, data = due.popleft()
            wait = at - time.monotonic()
            if wait > 0:
                time.sleep(wait)
            try:
                sink.sendall(data)
            except OSError:
                break
        try:
            sink.shutdown(socket.SHUT_WR)
        except OSError:
            pass

    thread = threading.Thread(target=writer, daemon=True)
    thread.start()
    while True:
        try:
            data = source.recv(1 << 16)
        except OSError:
            data = b""
        with ready:
            if data:
                due.append((time.monotonic() + delay, data))
            else:
                ended[0] = True
            ready.notify()
        if not data:
            break
    thread.join()


def serve(client, target, delay):
    try:
        upstream = socket.create_connection(("127.0.0.1", target))
    except OSError:
        client.close()
        return
    for s in (client, upstream):
        s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    there = threading.Thread(target=pump, args=(client, upstream, delay), daemon=True)
    there.start()
    pump(upstream, client, delay)
    there.join()
    client.close()
    upstream.close()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--target", type=int, required=True)
    parser.add_argument("--delay-ms", type=float, required=True)
    parser.add_argument("--port-file")
    args = parser.parse_args()
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(64)
    port = listener.getsockname()[1]
    if args.port_file:
        with open(args.port_file + ".part", "w") as out:
            out.write(f"{port}\n")
        os.replace(args.port_file + ".part", args.port_file)
    print(port, flush=True)
    signal.signal(signal.SIGTERM, lambda *_: os._exit(0))
    delay = args.delay_ms / 1000.0
    while True:
        client, _ = listener.accept()
        threading.Thread(target=serve, args=(client, args.target, delay), daemon=True).start()


if __name__ == "__main__":
    sys.exit(main())
