# A loopback RFC 3161 time-stamp server for the signing check: answers each POSTed query with
# "openssl ts -reply"; writes its port to PORTFILE and serves until stopped by its PID.
# usage: tsa_server.py CONFIG PORTFILE
import http.server
import os
import subprocess
import sys
import tempfile

config, portfile = sys.argv[1], sys.argv[2]

class Handler(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        query = self.rfile.read(int(self.headers.get("Content-Length", "0")))
        with tempfile.TemporaryDirectory() as scratch:
            path = os.path.join(scratch, "query.tsq")
            open(path, "wb").write(query)
            reply = subprocess.run(["openssl", "ts", "-reply", "-config", config, "-queryfile", path],
                                   capture_output=True, timeout=20)
        ok = reply.returncode == 0
        self.send_response(200 if ok else 500)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.send_header("Content-Length", str(len(reply.stdout) if ok else 0))
        self.end_headers()
        if ok:
            self.wfile.write(reply.stdout)

    def log_message(self, *args):
        pass

server = http.server.HTTPServer(("127.0.0.1", 0), Handler)
with open(portfile + ".new", "w") as f:
    f.write(str(server.server_port))
os.rename(portfile + ".new", portfile)
server.serve_forever()
