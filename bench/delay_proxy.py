#!/usr/bin/env python3
"""A TCP proxy on 127.0.0.1 that makes loopback a link with a round trip and,
optionally, a bandwidth: a chunk read from one side at time t is written to
the other at t + delay, and with --rate-mbit each direction also sends at
most that many bits a second, as a link of that speed would (a chunk leaves
once the chunks before it have, and takes its size over the rate to pass).
`tc netem` needs privileges the bench does not have.

  delay_proxy.py --target PORT --delay-ms 5 [--rate-mbit 100] [--port-file FILE]

Prints the port it listens on (and writes it to --port-file); runs until
SIGTERM. On SIGUSR1 it prints "bytes up=N down=N": every byte it has
delivered so far, client to server and server to client (HTTP headers
included).
"""
import argparse
import collections
import os
import signal
import socket
import sys
import threading
import time

# With a rate, chunks are paced this small, so a burst never leaves early by
# more than a few hundred microseconds at 100 Mbit/s.
PACED_CHUNK = 4096
# Bytes a direction holds before it stops reading: the sender then waits, as
# TCP makes it wait on a real link, instead of the proxy buffering a whole file.
QUEUE_LIMIT = 1 << 20

delivered = {"up": 0, "down": 0}
delivered_lock = threading.Lock()


def pump(source, sink, delay, rate, direction):
    """Reads from source and writes each chunk to sink when the link would
    deliver it; a second thread does the writing, so reading only waits when
    the link's queue is full."""
    due = collections.deque()
    ready = threading.Condition()
    state = {"ended": False, "queued": 0, "free_at": 0.0}

    def writer():
        while True:
            with ready:
                while not due and not state["ended"]:
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
            with delivered_lock:
                delivered[direction] += len(data)
            with ready:
                state["queued"] -= len(data)
                ready.notify_all()
        try:
            sink.shutdown(socket.SHUT_WR)
        except OSError:
            pass
        with ready:
            state["ended"] = True
            ready.notify_all()

    thread = threading.Thread(target=writer, daemon=True)
    thread.start()
    read_size = PACED_CHUNK if rate else 1 << 16
    while True:
        try:
            data = source.recv(read_size)
        except OSError:
            data = b""
        with ready:
            if data:
                now = time.monotonic()
                if rate:
                    # Absolute times, so sleeping late never lowers the rate.
                    start = max(now, state["free_at"])
                    state["free_at"] = start + len(data) / rate
                    due.append((state["free_at"] + delay, data))
                else:
                    due.append((now + delay, data))
                state["queued"] += len(data)
                while state["queued"] > QUEUE_LIMIT and not state["ended"]:
                    ready.wait()
                if state["ended"]:
                    break
            else:
                state["ended"] = True
            ready.notify_all()
        if not data:
            break
    thread.join()


def serve(client, target, delay, rate):
    try:
        upstream = socket.create_connection(("127.0.0.1", target))
    except OSError:
        client.close()
        return
    for s in (client, upstream):
        s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    there = threading.Thread(target=pump, args=(client, upstream, delay, rate, "up"), daemon=True)
    there.start()
    pump(upstream, client, delay, rate, "down")
    there.join()
    client.close()
    upstream.close()


def report(*_):
    with delivered_lock:
        up, down = delivered["up"], delivered["down"]
    print(f"bytes up={up} down={down}", flush=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--target", type=int, required=True)
    parser.add_argument("--delay-ms", type=float, required=True)
    parser.add_argument("--rate-mbit", type=float, default=0.0,
                        help="bandwidth of each direction in 10^6 bits a second (0: unlimited)")
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
    signal.signal(signal.SIGUSR1, report)
    delay = args.delay_ms / 1000.0
    rate = args.rate_mbit * 1e6 / 8  # bytes a second
    while True:
        client, _ = listener.accept()
        threading.Thread(target=serve, args=(client, args.target, delay, rate), daemon=True).start()


if __name__ == "__main__":
    sys.exit(main())
