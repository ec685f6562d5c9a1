"""An HTTP server for the web tests, on 127.0.0.1.

    serve_http.py FOLDER [CERT KEY]

Serves the files of FOLDER/site with Python's own file handler (a missing
file gets its 404 page) on a free port of 127.0.0.1, and writes the port's
number to FOLDER/port once it listens. With CERT and KEY it speaks HTTPS
only. Every request is appended to FOLDER/requests.log: the request line,
then its headers, then an empty line. A few paths behave on purpose:

    /stall-headers...  never answers (any path that begins so)
    /stall-body        sends the headers and half a body, then nothing more
    /moved             redirects to /Products.INI
    /cookie            sets the cookie "visit=1" and redirects to /cookie-check
    /cookie-check      answers "cookie: " and the Cookie header it got ("none")
    /big?bytes=N       answers N bytes of "x"

Runs until it is stopped with SIGTERM.
"""
import functools
import http.server
import os
import ssl
import sys
import threading
import time
import urllib.parse

folder = sys.argv[1]
log_lock = threading.Lock()


class Handler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, format, *args):
        pass

    def record(self):
        with log_lock:
            with open(os.path.join(folder, "requests.log"), "a") as log:
                log.write(self.requestline + "\n")
                for name, value in self.headers.items():
                    log.write(f"{name}: {value}\n")
                log.write("\n")

    def answer(self, status, body, headers=()):
        self.send_response(status)
        for name, value in headers:
            self.send_header(name, value)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def do_GET(self):
        self.record()
        url = urllib.parse.urlsplit(self.path)
        if url.path.startswith("/stall-headers"):
            time.sleep(3600)
        elif url.path == "/stall-body":
            self.send_response(200)
            self.send_header("Content-Length", "1000")
            self.end_headers()
            self.wfile.write(b"y" * 500)
            self.wfile.flush()
            time.sleep(3600)
        elif url.path == "/moved":
            self.answer(301, b"", [("Location", "/Products.INI")])
        elif url.path == "/cookie":
            self.answer(302, b"", [("Set-Cookie", "visit=1; Path=/"), ("Location", "/cookie-check")])
        elif url.path == "/cookie-check":
            self.answer(200, ("cookie: " + self.headers.get("Cookie", "none")).encode())
        elif url.path == "/big":
            size = int(urllib.parse.parse_qs(url.query)["bytes"][0])
            self.send_response(200)
            self.send_header("Content-Length", str(size))
            self.end_headers()
            block = b"x" * 65536
            while size > 0:
                self.wfile.write(block[:size])
                size -= len(block)
        else:
            super().do_GET()


def main():
    handler = functools.partial(Handler, directory=os.path.join(folder, "site"))
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    server.daemon_threads = True
    if len(sys.argv) == 4:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(sys.argv[2], sys.argv[3])
        server.socket = context.wrap_socket(server.socket, server_side=True)
    temporary = os.path.join(folder, "port.tmp")
    with open(temporary, "w") as f:
        f.write(str(server.server_address[1]))
    os.rename(temporary, os.path.join(folder, "port"))
    server.serve_forever()


main()
