#!/usr/bin/env python3
"""Wall time and CPU of one list fetch by a kelvaro_query binary, against a
directory holding N zones, run in a private network namespace (as root:
unshare --net) so the directory's fixed ports collide with nothing.

    bench/client_fetch_measure.py BUILD_DIR [QUERY_BINARY ...] [--zones 300,5000] [--runs 5]

BUILD_DIR gives the server (BUILD_DIR/kelvaro); each QUERY_BINARY (default
BUILD_DIR/tools/kelvaro_query) fetches with `list 127.0.0.1 --all --format
tsv`. Prints one line per binary and size: median wall ms, median CPU ms
(user + system of the child), zones printed."""

import os
import resource
import socket
import struct
import subprocess
import sys
import tempfile
import time

if os.environ.get("KELVARO_ISOLATED") != "1":
    os.environ["KELVARO_ISOLATED"] = "1"
    os.execvp("unshare", ["unshare", "--net", "sh", "-c",
                          'ip link set lo up && exec "$@"', "measure", sys.executable] + sys.argv)


def update(port, name):
    datagram = struct.pack("<IHHHI", 0, port, 1, 0, port) + name.encode().ljust(32, b"\0")
    return datagram + b"pw".ljust(16, b"\0") + bytes(32) + b"zone at %d\0" % port


def count(sock):
    sock.sendto(b"ping", ("127.0.0.1", 4991))
    sock.settimeout(1.0)
    try:
        while True:
            data, _ = sock.recvfrom(64)
            if len(data) == 8 and data[4:] == b"ping":
                return struct.unpack("<I", data[:4])[0]
    except socket.timeout:
        return None


def load(n):
    """Announces n zones (in batches the directory reads in time); bounded."""
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 20)
    for attempt in range(20):
        for i in range(n):
            sock.sendto(update(10000 + i, "Zone %d" % i), ("127.0.0.1", 4991))
            if i % 50 == 49:
                time.sleep(0.002)
        held = count(sock)
        if held == n:
            return True
        print("zones=%d: %s held after pass %d" % (n, held, attempt + 1), file=sys.stderr)
    return False


def measure(binary, runs):
    walls, cpus, zones = [], [], 0
    for _ in range(runs):
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        start = time.monotonic()
        out = subprocess.run([binary, "list", "127.0.0.1", "--all", "--format", "tsv",
                              "--timeout-ms", "5000"], capture_output=True, check=False)
        walls.append((time.monotonic() - start) * 1000)
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
        cpus.append(((after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)) * 1000)
        zones = out.stdout.count(b"\n")
    walls.sort()
    cpus.sort()
    return walls[len(walls) // 2], cpus[len(cpus) // 2], zones


def main(arguments):
    build = arguments[0]
    sizes, runs, binaries = [300, 5000], 5, []
    rest = arguments[1:]
    while rest:
        if rest[0] == "--zones":
            sizes = [int(x) for x in rest[1].split(",")]
            rest = rest[2:]
        elif rest[0] == "--runs":
            runs = int(rest[1])
            rest = rest[2:]
        else:
            binaries.append(rest[0])
            rest = rest[1:]
    binaries = binaries or [os.path.join(build, "tools", "kelvaro_query")]
    for n in sizes:
        with tempfile.TemporaryDirectory() as here:
            with open(os.path.join(here, "kelvaro.ini"), "w") as ini:
                # No pings drop the unanswering zones while we measure.
                ini.write("[CPU]\nIterationSleepTime=0\nDatagramsPerIteration=64\n"
                          "[Zone]\nSweepTime=3600000\n[Directory]\nDownloadTime=3600000\n")
            server = subprocess.Popen([os.path.join(build, "kelvaro")], cwd=here,
                                      stdin=subprocess.PIPE, stdout=subprocess.DEVNULL)
            try:
                time.sleep(0.3)
                if not load(n):
                    print("zones=%d: the directory did not take them all" % n)
                    continue
                for binary in binaries:
                    wall, cpu, zones = measure(binary, runs)
                    print("zones=%d %s: wall %.1f ms, cpu %.1f ms, printed %d" %
                          (n, binary, wall, cpu, zones))
            finally:
                server.terminate()
                server.wait(timeout=10)


if __name__ == "__main__":
    main(sys.argv[1:])
