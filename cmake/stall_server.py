#!/usr/bin/env python3
"""Loopback HTTP file server for screenshots: serves a directory, can hold back one path for a
while before answering, and can stall one path after N bytes of its body.

Usage: stall_server.py ROOT PORT_FILE [--delay PATH SECONDS] [--stall PATH BYTES] [--hold SECONDS]
                       [--events FILE]
Binds 127.0.0.1 on a free port and writes the port number to PORT_FILE; with --events, appends
"served PATH" or "stalled PATH" lines to FILE so that a script can follow the client."""
import argparse
import http.server
import os
import socketserver
import sys
import time
import urllib.parse


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("root")
    parser.add_argument("port_file")
    parser.add_argument("--delay", nargs=2, metavar=("PATH", "SECONDS"))
    parser.add_argument("--stall", nargs=2, metavar=("PATH", "BYTES"))
    parser.add_argument("--hold", type=float, default=120.0, help="longest stall in seconds")
    parser.add_argument("--events")
    args = parser.parse_args()
    root = os.path.realpath(args.root)
    delay = (args.delay[0], min(float(args.delay[1]), args.hold)) if args.delay else None
    stall = (args.stall[0], int(args.stall[1])) if args.stall else None

    def note(line):
        if args.events:
            with open(args.events, "a") as events:
                events.write(line + "\n")

    class Handler(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.0"

        def do_GET(self):
            path = urllib.parse.unquote(urllib.parse.urlsplit(self.path).path)
            if delay and path == delay[0]:
                time.sleep(delay[1])
            local = os.path.realpath(os.path.join(root, path.lstrip("/")))
            if not local.startswith(root + os.sep) or not os.path.isfile(local):
                self.send_error(404)
                return
            size = os.path.getsize(local)
            self.send_response(200)
            self.send_header("Content-Length", str(size))
            self.send_header("Content-Type", "application/octet-stream")
            self.end_headers()
            limit = stall[1] if stall and path == stall[0] else size
            sent = 0
            with open(local, "rb") as body:
                while sent < min(limit, size):
                    chunk = body.read(min(65536, limit - sent))
                    if not chunk:
                        break
                    self.wfile.write(chunk)
                    sent += len(chunk)
            self.wfile.flush()
            note(("stalled " if sent < size else "served ") + path)
            if sent < size:
                time.sleep(args.hold)  # stalled: keep the connection open, bounded

        def log_message(self, *_):
            pass

    class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
        daemon_threads = True

    server = Server(("127.0.0.1", 0), Handler)
    with open(args.port_file, "w") as out:
        out.write(str(server.server_address[1]))
    server.timeout = 1
    deadline = time.time() + 30 * 60  # never outlive a forgotten script by much
    while time.time() < deadline:
        server.handle_request()
    return 0


if __name__ == "__main__":
    sys.exit(main())
