#!/usr/bin/env python3
"""A recording HTTP server for tests (Python 3, standard library only).

    http_recorder.py --record FILE [--port N] [--host 127.0.0.1] [--answers LIST]
                     [--port-file FILE] [--lease FILE] [--lifetime SECONDS]

Listens on HOST:PORT (port 0, the default, takes a free port) and, once it
listens, prints the port alone on a line of standard output, and writes it
to the --port-file when one is given (whole, by a rename; the file is removed
again when the server ends). Every request
is appended to FILE as one JSON object per line, written and flushed before
the answer goes out:

    {"method": "POST", "path": "/hook?x=1", "headers": [["Host", "..."], ...],
     "body": "...", "body_hex": "...", "time": 1765188000.123}

`headers` keeps the names, values and order as sent (values decoded as UTF-8,
invalid bytes replaced); `body` is the body as UTF-8 text (invalid bytes
replaced) and `body_hex` the exact bytes; `time` is the Unix time the request
head arrived. Bodies are read by their Content-Length.

Answers follow LIST, a comma-separated sequence used one per request; the
last one repeats once the list is used up (default "200"). Each item is:

    200, 404, 500, ...   that status with a short text body
    429:30               that status with the header "Retry-After: 30" (any
                         status may carry one; the text after ':' is sent as is,
                         after %XX decoding: "429:Wed%2C 21 Oct 2026 07:28:00 GMT")
    hang                 read the request, record it, and never answer: the
                         connection stays open until the client gives up
    close                read and record the request, then close without answering
    slowbody             the head of a 200 answer with a Content-Length of 100,
                         3 bytes of the body, and then nothing more until the
                         client closes the connection

Control (never recorded):
    POST /_control/answers   the body replaces LIST and restarts it
    POST /_control/quit      answers 200, then the server ends

The server also ends on SIGTERM/SIGINT, within 0.2 s after the --lease
file (which must exist at the start) is removed, and by itself after
--lifetime seconds (default 600), so a test that dies cannot leave it behind
for long. The lease and the port file serve a starter that cannot signal the
server or read its output: a Windows test under Wine, for which Wine starts
the Linux python3 without a handle or pipes.
"""
import argparse
import json
import os
import select
import signal
import socket
import sys
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer


class Answers:
    """The answer sequence, shared by the request threads."""

    def __init__(self, text):
        self.lock = threading.Lock()
        self.set(text)

    def set(self, text):
        items = [i.strip() for i in text.split(",") if i.strip()]
        for item in items:
            head = item.split(":", 1)[0]
            if head not in ("hang", "close", "slowbody") and not head.isdigit():
                raise ValueError(f"not an answer: {item!r}")
        with self.lock:
            self.items = items or ["200"]
            self.next = 0

    def take(self):
        with self.lock:
            item = self.items[min(self.next, len(self.items) - 1)]
            self.next += 1
            return item


class Recorder(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "http_recorder"

    def log_message(self, *args):  # quiet: the record file is the log
        pass

    def parse_request(self):  # the request line has just arrived
        self.arrived = time.time()
        return super().parse_request()

    def __getattr__(self, name):
        # Every method (GET, POST, PUT, HEAD, ...) is recorded the same way.
        if name.startswith("do_"):
            return self.answer
        raise AttributeError(name)

    def read_body(self):
        length = int(self.headers.get("Content-Length") or 0)
        return self.rfile.read(length) if length > 0 else b""

    def answer(self):
        body = self.read_body()
        if self.path.startswith("/_control/"):
            return self.control(body)
        self.record(body)
        item = self.server.answers.take()
        if item == "hang":
            return self.hang()
        if item == "close":
            self.close_connection = True
            return
        if item == "slowbody":
            self.send_response(200)
            self.send_header("Content-Length", "100")
            self.end_headers()
            self.wfile.write(b"abc")
            self.wfile.flush()
            return self.hang()
        status, _, retry_after = item.partition(":")
        retry_after = urllib.parse.unquote(retry_after)
        text = f"answer {status}\n".encode()
        self.close_connection = True  # one request per connection: no resets of idle kept connections
        self.send_response(int(status))
        if retry_after:
            self.send_header("Retry-After", retry_after)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(len(text)))
        self.send_header("Connection", "close")
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(text)

    def record(self, body):
        headers = [[name, value.encode("latin-1", "replace").decode("utf-8", "replace")]
                   for name, value in self.headers.items()]
        entry = {"method": self.command, "path": self.path, "headers": headers,
                 "body": body.decode("utf-8", "replace"), "body_hex": body.hex(), "time": self.arrived}
        with self.server.record_lock:
            with open(self.server.record_path, "a", encoding="utf-8") as f:
                f.write(json.dumps(entry) + "\n")
                f.flush()

    def hang(self):
        # Holds the connection without a word until the client closes it.
        self.close_connection = True
        sock = self.connection
        while not self.server.ending.is_set():
            ready, _, _ = select.select([sock], [], [], 0.2)
            if ready:
                try:
                    if not sock.recv(4096):
                        return
                except OSError:
                    return

    def control(self, body):
        status = 200
        if self.path == "/_control/answers":
            try:
                self.server.answers.set(body.decode())
            except ValueError:
                status = 400
        elif self.path == "/_control/quit":
            threading.Thread(target=self.server.shutdown, daemon=True).start()
        else:
            status = 404
        self.close_connection = True
        self.send_response(status)
        self.send_header("Content-Length", "0")
        self.send_header("Connection", "close")
        self.end_headers()


class Server(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = False  # a taken port must fail, not be shared

    def handle_error(self, request, client_address):
        # A client that goes away is no error of the server's.
        if not isinstance(sys.exc_info()[1], ConnectionError):
            super().handle_error(request, client_address)


def main():
    parser = argparse.ArgumentParser(description="A recording HTTP server for tests.")
    parser.add_argument("--record", required=True)
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--answers", default="200")
    parser.add_argument("--lifetime", type=float, default=600)
    parser.add_argument("--port-file")
    parser.add_argument("--lease")
    args = parser.parse_args()

    server = Server((args.host, args.port), Recorder)
    server.answers = Answers(args.answers)
    server.record_path = args.record
    server.record_lock = threading.Lock()
    server.ending = threading.Event()
    open(args.record, "a").close()

    def end(*_):
        server.ending.set()
        threading.Thread(target=server.shutdown, daemon=True).start()

    signal.signal(signal.SIGTERM, end)
    signal.signal(signal.SIGINT, end)
    threading.Timer(args.lifetime, end).start()
    if args.lease:
        def watch_lease():
            while os.path.exists(args.lease) and not server.ending.is_set():
                time.sleep(0.2)
            end()
        threading.Thread(target=watch_lease, daemon=True).start()

    port = server.server_address[1]
    if args.port_file:
        with open(args.port_file + ".tmp", "w") as f:
            f.write(f"{port}\n")
        os.replace(args.port_file + ".tmp", args.port_file)
    try:
        print(port, flush=True)
    except OSError:
        pass  # nobody reads the output
    server.serve_forever(poll_interval=0.1)
    server.ending.set()
    server.server_close()
    if args.port_file:
        os.remove(args.port_file)
    os._exit(0)  # the lifetime timer and hanging connections must not keep it alive


if __name__ == "__main__":
    sys.exit(main())
