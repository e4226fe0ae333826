#!/usr/bin/python3
# Scripted HTTP server for replies real servers do not give on purpose.
#   scripted.py PORT LOGFILE
# Listens on 127.0.0.1:PORT and 127.0.0.2:PORT. Every request is appended to
# LOGFILE as "=== conn N on ADDR" followed by the raw request header (and
# body), so tests can check what the client sent and on which connection.
# The reply is chosen by the request path; see REPLIES below.
import base64
import socket
import sys
import threading
import time

lock = threading.Lock()
conn_counter = [0]
port = 0
logfile = ""


def log(text):
    with lock:
        with open(logfile, "a", encoding="latin-1") as f:
            f.write(text)


def pieces(sock, parts, pause=0.05):
    # Separate sends with pauses so the client sees separate receptions.
    for p in parts:
        sock.sendall(p)
        time.sleep(pause)


def reply(status, headers, body=b"", version="HTTP/1.1"):
    head = "%s %s\r\n" % (version, status)
    for h in headers:
        head += h + "\r\n"
    return head.encode("latin-1") + b"\r\n" + body


def handle(sock, addr, cid, path, head, keep):
    """Returns False when the connection must close after the reply."""
    if path == "/chunked":
        pieces(sock, [reply("200 OK", ["Transfer-Encoding: chunked", "Content-Type: text/plain"]) + b"5",
                      b"\r\nhel", b"lo\r\n1", b"0;ext=x\r\n0123456789", b"abcdef\r\n", b"0\r\n", b"\r\n"])
        return keep
    if path == "/continue":
        pieces(sock, [b"HTTP/1.1 100 Continue\r\nX-Interim: yes\r\n\r\n",
                      reply("200 OK", ["Content-Length: 5"], b"final")])
        return keep
    if path == "/html":
        sock.sendall(b"<html><body>no header</body></html>\r\nsecond line\r\n")
        return False
    if path == "/reloc":
        body = b"relocation body 1234"
        sock.sendall(reply("302 Found", ["Location: /target", "Content-Length: %d" % len(body)], body))
        return keep
    if path == "/reloc-other":
        body = b"moved"
        sock.sendall(reply("302 Found", ["Location: http://127.0.0.2:%d/target" % port,
                                         "Content-Length: %d" % len(body)], body))
        return keep
    # A proxy answering CONNECT with something other than a tunnel: its
    # reply is the proxy's, never the target's.
    if path == "forged.test:443":
        body = b"forged by the proxy"
        sock.sendall(reply("203 Non-Authoritative Information", ["Content-Length: %d" % len(body)], body))
        return keep
    if path == "moved.test:443":
        sock.sendall(reply("302 Found", ["Location: http://127.0.0.1:%d/target" % port, "Content-Length: 0"]))
        return keep
    if path == "/target":
        body = ("target on conn %d at %s" % (cid, addr)).encode()
        sock.sendall(reply("200 OK", ["Content-Length: %d" % len(body), "Content-Type: text/plain"], body))
        return keep
    if path == "/auth":
        want = "Authorization: Basic " + base64.b64encode(b"webuser:webpass").decode()
        if want in head.split("\r\n"):
            body = b"welcome"
            sock.sendall(reply("200 OK", ["Content-Length: 7"], body))
        else:
            body = b"<h1>who are you</h1>"
            sock.sendall(reply("401 Unauthorized", ['WWW-Authenticate: Basic realm="scripted"',
                                                    "Content-Length: %d" % len(body)], body))
        return keep
    if path == "/notmodified":
        # The length names the document's size; a 304 never has a body.
        sock.sendall(reply("304 Not Modified", ["Content-Length: 1234", "ETag: \"x\""]))
        return keep
    if path == "/auth-elsewhere":
        want = "Authorization: Basic " + base64.b64encode(b"webuser:webpass").decode()
        if want in head.split("\r\n"):
            sock.sendall(reply("302 Found", ["Location: http://127.0.0.2:%d/target" % port,
                                             "Content-Length: 0"]))
        else:
            sock.sendall(reply("401 Unauthorized", ['WWW-Authenticate: Basic realm="scripted"',
                                                    "Content-Length: 0"]))
        return keep
    if path == "/loop":
        sock.sendall(reply("302 Found", ["Location: /loop", "Content-Length: 0"]))
        return keep
    if path == "/bigheader":
        sock.sendall(reply("200 OK", ["X-Big: " + "x" * 9000, "Content-Length: 2"], b"ok"))
        return False
    if path == "/badlength":
        sock.sendall(reply("200 OK", ["Content-Length: -5"], b"data"))
        return False
    if path == "/longbody":
        sock.sendall(reply("200 OK", ["Content-Length: 5"], b"12345EXTRA-BYTES"))
        time.sleep(0.2)
        return False
    if path == "/badchunk":
        sock.sendall(reply("200 OK", ["Transfer-Encoding: chunked"], b"3\r\nabc\r\nzz\r\nmore"))
        time.sleep(0.2)
        return False
    if path == "/hugechunk":
        sock.sendall(reply("200 OK", ["Transfer-Encoding: chunked"], b"ffffffffffffffffffff\r\nabc"))
        time.sleep(0.2)
        return False
    if path == "/noreply":
        return False
    if path == "/cutbody":
        sock.sendall(reply("200 OK", ["Content-Length: 100"], b"only part"))
        return False
    if path == "/cookie":
        sock.sendall(reply("200 OK", ["Set-Cookie: a=1; Path=/", "Set-Cookie: b=2",
                                      "Content-Length: 0"]))
        return keep
    if path == "/nolength11":
        sock.sendall(reply("200 OK", ["Connection: close"], b"until close"))
        return False
    if path == "/slow":
        sock.sendall(reply("200 OK", ["Content-Length: 100"], b"part"))
        time.sleep(5)
        return False
    body = b"not scripted"
    sock.sendall(reply("404 Not Found", ["Content-Length: %d" % len(body)], body))
    return keep


def serve(sock, addr):
    with lock:
        conn_counter[0] += 1
        cid = conn_counter[0]
    buf = b""
    try:
        while True:
            while b"\r\n\r\n" not in buf:
                data = sock.recv(65536)
                if not data:
                    return
                buf += data
            head, buf = buf.split(b"\r\n\r\n", 1)
            head = head.decode("latin-1")
            lines = head.split("\r\n")
            length = 0
            for line in lines[1:]:
                name, _, value = line.partition(":")
                if name.strip().lower() == "content-length":
                    length = int(value.strip())
            while len(buf) < length:
                data = sock.recv(65536)
                if not data:
                    break
                buf += data
            body, buf = buf[:length], buf[length:]
            log("=== conn %d on %s\n%s\n\n%s\n" % (cid, addr, head, body.decode("latin-1")))
            parts = lines[0].split(" ")
            path = parts[1] if len(parts) > 1 else "/"
            if "://" in path:
                path = "/" + path.split("://", 1)[1].partition("/")[2]
            version = parts[2] if len(parts) > 2 else "HTTP/1.0"
            keep = version == "HTTP/1.1" and "connection: close" not in head.lower()
            if path == "/echo":
                sock.sendall(reply("200 OK", ["Content-Length: %d" % len(body)], body))
                if not keep:
                    return
                continue
            if not handle(sock, addr, cid, path, head, keep):
                return
    except OSError:
        pass
    finally:
        try:
            sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        sock.close()


def listen(addr):
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind((addr, port))
    s.listen(16)
    while True:
        c, _ = s.accept()
        c.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        threading.Thread(target=serve, args=(c, addr), daemon=True).start()


def main():
    global port, logfile
    port, logfile = int(sys.argv[1]), sys.argv[2]
    open(logfile, "w").close()
    threading.Thread(target=listen, args=("127.0.0.2",), daemon=True).start()
    listen("127.0.0.1")


if __name__ == "__main__":
    main()
