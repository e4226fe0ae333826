#!/usr/bin/python3
# Python's http.server speaking HTTP/1.0 on 127.0.0.1:PORT over DIR.
#   pyhttp.py PORT DIR
# Files come with a Content-Length; /stream/N sends N bytes with no length,
# so the body ends only when the server closes.
import http.server
import sys
from functools import partial


class Handler(http.server.SimpleHTTPRequestHandler):
    protocol_version = "HTTP/1.0"

    def do_GET(self):
        if self.path.startswith("/stream/"):
            n = int(self.path.split("/")[2])
            self.send_response(200)
            self.send_header("Content-Type", "application/octet-stream")
            self.end_headers()
            block = bytes(i % 251 for i in range(8192))
            while n > 0:
                piece = block[: min(n, len(block))]
                self.wfile.write(piece)
                n -= len(piece)
            return
        super().do_GET()

    def log_message(self, fmt, *args):
        sys.stderr.write("pyhttp: " + (fmt % args) + "\n")


def main():
    port, root = int(sys.argv[1]), sys.argv[2]
    server = http.server.ThreadingHTTPServer(("127.0.0.1", port), partial(Handler, directory=root))
    server.serve_forever()


if __name__ == "__main__":
    main()
