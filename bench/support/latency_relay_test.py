#!/usr/bin/python3
"""Self-test of latency_relay.py against pyftpdlib at 25 ms each way.

  latency_relay_test.py PEERS_DIR

Checks the round trip a NOOP gains and the one a new connection costs, a
64 MiB file byte-exact down and up through each of PASV, EPSV, PORT and EPRT,
the AUTH refusal, the counts file, and the bandwidth cap.
"""
import ftplib
import hashlib
import os
import socket
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

DELAY_MS = 25
BIG = 64 << 20
HERE = Path(__file__).resolve().parent
failures = []


def check(ok, what):
    print(("ok   " if ok else "FAIL ") + what, flush=True)
    if not ok:
        failures.append(what)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_port(port, limit=10):
    end = time.monotonic() + limit
    while time.monotonic() < end:
        try:
            socket.create_connection(("127.0.0.1", port), 0.5).close()
            return True
        except OSError:
            time.sleep(0.05)
    return False


def start_relay(target_port, counts, *extra):
    p = subprocess.Popen([sys.executable, str(HERE / "latency_relay.py"), "--target", f"127.0.0.1:{target_port}",
                          "--delay", str(DELAY_MS), "--counts", str(counts), *extra],
                         stdout=subprocess.PIPE, text=True)
    line = p.stdout.readline().split()
    assert line and line[0] == "port", "the relay printed no port"
    return p, int(line[1])


def log_in(port):
    ftp = ftplib.FTP()
    ftp.connect("127.0.0.1", port, timeout=30)
    ftp.login("u", "p")
    ftp.voidcmd("TYPE I")
    return ftp


def noop_median(ftp, rounds=7):
    times = []
    for _ in range(rounds):
        t = time.perf_counter()
        ftp.voidcmd("NOOP")
        times.append(time.perf_counter() - t)
    return statistics.median(times)


def banner_time(port):
    t = time.perf_counter()
    with socket.create_connection(("127.0.0.1", port), 10) as s:
        s.recv(1000)
    return time.perf_counter() - t


def transfer(ftp, mode, verb, name, local):
    """One RETR or STOR over a data connection opened with mode."""
    if mode in ("PASV", "EPSV"):
        if mode == "PASV":
            addr = ftplib.parse227(ftp.sendcmd("PASV"))
        else:
            addr = ftplib.parse229(ftp.sendcmd("EPSV"), ftp.sock.getpeername())
        data = socket.create_connection(addr, 30)
        ftp.sendcmd(f"{verb} {name}")
    else:
        listener = socket.create_server(("127.0.0.1", 0))
        port = listener.getsockname()[1]
        if mode == "PORT":
            ftp.voidcmd("PORT 127,0,0,1,%d,%d" % (port >> 8, port & 255))
        else:
            ftp.voidcmd(f"EPRT |1|127.0.0.1|{port}|")
        ftp.sendcmd(f"{verb} {name}")
        listener.settimeout(30)
        data, _ = listener.accept()
        listener.close()
    with data, open(local, "rb" if verb == "STOR" else "wb") as f:
        if verb == "STOR":
            data.sendfile(f)
        else:
            while chunk := data.recv(1 << 20):
                f.write(chunk)
    ftp.voidresp()


def md5(path):
    h = hashlib.md5()
    with open(path, "rb") as f:
        while chunk := f.read(1 << 20):
            h.update(chunk)
    return h.hexdigest()


def read_counts(path):
    counts = {}
    for line in Path(path).read_text().splitlines():
        key, _, value = line.rpartition(" ")
        counts[key] = int(value)
    return counts


def main():
    peers = Path(sys.argv[1])
    tmp = Path(tempfile.mkdtemp())
    home = tmp / "home"
    home.mkdir()
    with open(home / "big.bin", "wb") as f:
        f.write(os.urandom(BIG))
    want = md5(home / "big.bin")
    server_port = free_port()
    server = subprocess.Popen([sys.executable, str(peers / "ftp" / "pyftpd.py"), "--port", str(server_port),
                               "--user", f"u:p:{home}"], stdout=subprocess.DEVNULL)
    relays = []
    try:
        if not wait_port(server_port):
            check(False, "pyftpdlib starts")
            return 1
        counts = tmp / "counts.txt"
        relay, port = start_relay(server_port, counts)
        relays.append(relay)

        # Latency: a NOOP gains one round trip, a new connection one more
        # before the banner's one-way trip.
        direct, relayed = log_in(server_port), log_in(port)
        added = noop_median(relayed) - noop_median(direct)
        check(abs(added - 2 * DELAY_MS / 1000) <= 0.15 * 2 * DELAY_MS / 1000,
              f"a NOOP gains {added * 1000:.1f} ms (2 x {DELAY_MS} ms +-15%)")
        added = statistics.median(banner_time(port) - banner_time(server_port) for _ in range(3))
        check(abs(added - 4 * DELAY_MS / 1000) <= 0.15 * 4 * DELAY_MS / 1000,
              f"the banner comes {added * 1000:.1f} ms later (handshake and banner: 4 x {DELAY_MS} ms +-15%)")
        direct.quit()

        # Byte-exact both ways through each of the four data connection modes.
        for mode in ("PASV", "EPSV", "PORT", "EPRT"):
            t = time.monotonic()
            transfer(relayed, mode, "RETR", "big.bin", tmp / "down.bin")
            transfer(relayed, mode, "STOR", "up.bin", tmp / "down.bin")
            took = time.monotonic() - t
            # A delay that slept per chunk would also throttle: 128 MiB must
            # pass at well over a chunk per delay.
            check(md5(tmp / "down.bin") == want and md5(home / "up.bin") == want and took < 8,
                  f"{mode}: 64 MiB down and up byte-exact in {took:.1f} s (at most 8 s)")
            os.remove(home / "up.bin")

        try:
            relayed.sendcmd("AUTH TLS")
            check(False, "AUTH is refused")
        except ftplib.error_perm as e:
            check(str(e) == "534 relay: no TLS", f"AUTH is refused: {e}")
        relayed.quit()
        relay.terminate()
        relay.wait(10)
        c = read_counts(counts)
        want_counts = {"control": 1 + 3, "data": 8, "command RETR": 4, "command STOR": 4, "command PASV": 2,
                       "command EPSV": 2, "command PORT": 2, "command EPRT": 2, "command NOOP": 7,
                       "command AUTH": 1, "command QUIT": 1}
        check(all(c.get(k) == v for k, v in want_counts.items()) and c["bytes_to_client"] > 2 * BIG,
              f"counts: {c}")

        # The cap: 8 MiB down at 32 Mbit/s takes 2.1 s.
        relay, port = start_relay(server_port, tmp / "counts2.txt", "--rate", "32")
        relays.append(relay)
        with open(home / "cap.bin", "wb") as f:
            f.write(os.urandom(8 << 20))
        ftp = log_in(port)
        t = time.monotonic()
        transfer(ftp, "PASV", "RETR", "cap.bin", tmp / "cap.bin")
        took = time.monotonic() - t
        ideal = (8 << 20) * 8 / 32e6
        check(ideal <= took <= ideal * 1.1 + 0.2 and md5(tmp / "cap.bin") == md5(home / "cap.bin"),
              f"8 MiB at 32 Mbit/s in {took:.2f} s (ideal {ideal:.2f} s)")
        ftp.quit()
    finally:
        for r in relays:
            r.kill()
        server.kill()
        subprocess.run(["rm", "-rf", str(tmp)])
    print("FAILED: " + "; ".join(failures) if failures else "all passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
