#!/usr/bin/env python3
"""Load on the station's web side while its line runs.

    web_load.py URL PID LATENCIES [--pollers 20] [--rate 10] [--streams 30]

POLLERS clients ask URL/api/status RATE times a second each (on a fixed
schedule: a late answer does not lower the rate), STREAMS clients read
URL/api/events, and one more asks for the stream and never reads. All of it
runs until process PID (the station) has ended or stopped serving, at most
10 minutes; every status answer's latency in milliseconds goes to LATENCIES,
one a line, and one summary line to standard output.

One thread and non-blocking sockets: the bench's machine is the station's
too, and the load should cost it as little as the clients' own work allows.
"""
import argparse
import os
import selectors
import socket
import time
import urllib.parse

LIMIT_S = 600


def alive(pid):
    try:
        os.kill(pid, 0)
        return True
    except ProcessLookupError:
        return False


class Client:
    """One connection: a status request (poller) or an event stream."""

    def __init__(self, kind, index):
        self.kind, self.index = kind, index
        self.sock = None
        self.answer = b""
        self.sent_at = 0.0
        self.got = 0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("url")
    parser.add_argument("pid", type=int)
    parser.add_argument("latencies")
    parser.add_argument("--pollers", type=int, default=20)
    parser.add_argument("--rate", type=float, default=10)
    parser.add_argument("--streams", type=int, default=30)
    args = parser.parse_args()
    address = urllib.parse.urlsplit(args.url)
    target = (address.hostname, address.port)
    selector = selectors.DefaultSelector()
    latencies, failures, stream_bytes = [], [], []
    serving = True

    def connect(client, path):
        nonlocal serving
        sock = socket.socket()
        sock.setblocking(False)
        try:
            sock.connect(target)
        except BlockingIOError:
            pass
        except ConnectionRefusedError:
            serving = False  # the station has stopped serving: its line is over
            sock.close()
            return
        client.sock, client.answer = sock, b""
        client.request = ("GET %s HTTP/1.1\r\nHost: bench\r\n\r\n" % path).encode()
        selector.register(sock, selectors.EVENT_WRITE, client)

    def finish(client):
        selector.unregister(client.sock)
        client.sock.close()
        client.sock = None

    # The client that asks and never reads: a small receive buffer, so that
    # the station's side of it fills as soon as possible.
    silent = socket.socket()
    silent.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    silent.connect(target)
    silent.sendall(b"GET /api/events HTTP/1.1\r\nHost: bench\r\n\r\n")

    streams = [Client("stream", i) for i in range(args.streams)]
    for client in streams:
        connect(client, "/api/events")
    period = 1.0 / args.rate
    start = time.monotonic()
    pollers = [Client("poll", i) for i in range(args.pollers)]
    due = [start + period * i / args.pollers for i in range(args.pollers)]  # spread over a period
    while serving and alive(args.pid) and time.monotonic() - start < LIMIT_S:
        now = time.monotonic()
        for i, client in enumerate(pollers):
            if client.sock is None and now >= due[i]:
                client.sent_at = now
                due[i] += period
                connect(client, "/api/status")
        wait = max(0.0, min([d for d, c in zip(due, pollers) if c.sock is None] + [now + 0.1]) - now)
        for key, mask in selector.select(timeout=wait):
            client = key.data
            try:
                if mask & selectors.EVENT_WRITE:
                    client.sock.send(client.request)
                    selector.modify(client.sock, selectors.EVENT_READ, client)
                    continue
                data = client.sock.recv(65536)
            except ConnectionRefusedError:
                serving = False
                finish(client)
                continue
            except OSError as error:
                failures.append(str(error))
                finish(client)
                continue
            if client.kind == "stream":
                client.got += len(data)
                if not data:
                    finish(client)
                continue
            client.answer += data
            if not data:  # the station closes every answered connection
                if client.answer.startswith(b"HTTP/1.1 200") and b"\r\n\r\n{" in client.answer:
                    latencies.append((time.monotonic() - client.sent_at) * 1000)
                else:
                    failures.append(client.answer[:40])
                finish(client)
    ended = time.monotonic()
    for client in streams + pollers:
        if client.sock is not None:
            finish(client)
    silent.close()
    stream_bytes = [client.got for client in streams]

    with open(args.latencies, "w") as out:
        out.writelines("%.3f\n" % latency for latency in latencies)
    ordered = sorted(latencies) or [float("nan")]
    p99 = ordered[min(len(ordered) - 1, int(0.99 * len(ordered)))]
    print("requests %d failed %d p99_ms %.1f max_ms %.1f streams %d stream_min_bytes %d seconds %.1f"
          % (len(latencies), len(failures), p99, ordered[-1], len(stream_bytes), min(stream_bytes or [0]),
             ended - start))


if __name__ == "__main__":
    main()
