#!/usr/bin/env python3
"""Load on the station's web side while its line runs.

    web_load.py URL PID LATENCIES [--pollers 20] [--rate 10] [--streams 30]

POLLERS threads ask URL/api/status RATE times a second each (on a fixed
schedule: a late answer does not lower the rate), STREAMS clients read
URL/api/events, and one more asks for the stream and never reads. All of it
runs until process PID (the station) has ended or stopped serving, at most
10 minutes; every
status answer's latency in milliseconds goes to LATENCIES, one a line, and
one summary line to standard output.
"""
import argparse
import http.client
import os
import socket
import threading
import time
import urllib.parse

LIMIT_S = 600


def alive(pid):
    try:
        os.kill(pid, 0)
        return True
    except ProcessLookupError:
        return False


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
    host, port = address.hostname, address.port
    done = threading.Event()
    go = threading.Event()  # all threads start first: a running one slows the start of the next
    lock = threading.Lock()
    latencies, failures, stream_bytes = [], [], []

    def poll():
        go.wait()
        period = 1.0 / args.rate
        due = time.monotonic()
        while not done.is_set():
            start = time.monotonic()
            try:
                connection = http.client.HTTPConnection(host, port, timeout=10)
                connection.request("GET", "/api/status")
                answer = connection.getresponse()
                body = answer.read()
                connection.close()
                ok = answer.status == 200 and body.startswith(b"{")
            except ConnectionRefusedError:
                done.set()  # the station has stopped serving: its line is over
                break
            except OSError as error:
                ok, body = False, str(error)
            with lock:
                if ok:
                    latencies.append((time.monotonic() - start) * 1000)
                else:
                    failures.append(body)
            due += period
            done.wait(max(0.0, due - time.monotonic()))

    def stream():
        go.wait()
        got = 0
        try:
            with socket.create_connection((host, port), timeout=1) as sock:
                sock.sendall(b"GET /api/events HTTP/1.1\r\nHost: bench\r\n\r\n")
                while not done.is_set():
                    try:
                        data = sock.recv(65536)
                    except socket.timeout:
                        continue
                    if not data:
                        break
                    got += len(data)
        except OSError as error:
            with lock:
                failures.append(str(error))
        with lock:
            stream_bytes.append(got)

    # The client that asks and never reads: a small receive buffer, so that
    # the station's side of it fills as soon as possible.
    silent = socket.socket()
    silent.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    silent.connect((host, port))
    silent.sendall(b"GET /api/events HTTP/1.1\r\nHost: bench\r\n\r\n")

    threads = [threading.Thread(target=stream) for _ in range(args.streams)]
    threads += [threading.Thread(target=poll) for _ in range(args.pollers)]
    for thread in threads:
        thread.start()
    go.set()
    started = time.monotonic()
    while alive(args.pid) and time.monotonic() - started < LIMIT_S:
        time.sleep(0.1)
    done.set()
    for thread in threads:
        thread.join()
    silent.close()

    with open(args.latencies, "w") as out:
        out.writelines("%.3f\n" % latency for latency in latencies)
    ordered = sorted(latencies) or [float("nan")]
    p99 = ordered[min(len(ordered) - 1, int(0.99 * len(ordered)))]
    print("requests %d failed %d p99_ms %.1f max_ms %.1f streams %d stream_min_bytes %d seconds %.1f"
          % (len(latencies), len(failures), p99, ordered[-1], len(stream_bytes), min(stream_bytes or [0]),
             time.monotonic() - started))


if __name__ == "__main__":
    main()
