#!/usr/bin/python3
# The patch bench's driver: publishes the new release, serves it with nginx, runs each client and prints the figures.
# Started by bench/patch/run.sh, which makes the releases, the namespace and the previous exe first.
import argparse
import hashlib
import os
import shutil
import signal
import socket
import subprocess
import sys
import time

RUN_LIMIT_S = 3600  # one client run; killed by its PID after that


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def connects(port):
    with socket.socket() as probe:
        probe.settimeout(0.2)
        return probe.connect_ex(("127.0.0.1", port)) == 0


def stop(pid, sig=signal.SIGTERM, limit_s=10):
    """Stops one process the bench started, by its PID; SIGKILL when it is still there after limit_s."""
    if pid <= 0:
        return
    try:
        os.kill(pid, sig)
    except ProcessLookupError:
        return
    deadline = time.monotonic() + limit_s
    while time.monotonic() < deadline:
        done, _ = os.waitpid(pid, os.WNOHANG)
        if done == pid:
            return
        time.sleep(0.05)
    os.kill(pid, signal.SIGKILL)
    os.waitpid(pid, 0)


def spawn(argv, log_path, env=None):
    # posix_spawn, not Popen: subprocess reaps forgotten children itself, which would take the
    # wait4 (and its rusage) from run_measured.
    actions = [(os.POSIX_SPAWN_OPEN, 0, "/dev/null", os.O_RDONLY, 0),
               (os.POSIX_SPAWN_OPEN, 1, log_path, os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o644),
               (os.POSIX_SPAWN_DUP2, 1, 2)]
    return os.posix_spawnp(argv[0], argv, os.environ if env is None else env, file_actions=actions)


def run_measured(argv, log_path, env=None):
    """Runs argv to its end, bounded; (exit code, wall seconds, peak RSS in KiB) from wait4."""
    start = time.monotonic()
    pid = spawn(argv, log_path, env)
    while True:
        done, status, usage = os.wait4(pid, os.WNOHANG)
        if done == pid:
            break
        if time.monotonic() - start > RUN_LIMIT_S:
            os.kill(pid, signal.SIGKILL)
            _, status, usage = os.wait4(pid, 0)
            return -1, time.monotonic() - start, usage.ru_maxrss
        time.sleep(0.005)
    code = os.waitstatus_to_exitcode(status)
    return code, time.monotonic() - start, usage.ru_maxrss


def sha256_of(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        while chunk := f.read(1 << 20):
            digest.update(chunk)
    return digest.hexdigest()


class AccessLog:
    """The lines nginx appends to the bench's log ("STATUS BYTES_SENT BODY_BYTES URI") during one run."""

    def __init__(self, path):
        self.path = path
        self.mark = 0

    def start(self):
        self.mark = os.path.getsize(self.path)

    def lines(self):
        # nginx logs a request just after answering it: wait until the log stops growing (bounded).
        size, still = os.path.getsize(self.path), 0
        for _ in range(40):
            time.sleep(0.05)
            now = os.path.getsize(self.path)
            still = still + 1 if now == size else 0
            size = now
            if still >= 4:
                break
        with open(self.path, "rb") as f:
            f.seek(self.mark)
            text = f.read().decode("utf-8", "replace")
        out = []
        for line in text.splitlines():
            parts = line.split(" ", 3)
            if len(parts) == 4:
                out.append((int(parts[0]), int(parts[1]), int(parts[2]), parts[3]))
        return out


class Bench:
    def __init__(self, args):
        self.a = args
        self.work = args.work
        self.set = os.path.join(self.work, "set")
        self.srv = os.path.join(self.work, "srv")
        self.ngx = os.path.join(self.work, "nginx")
        self.pids = []
        self.wineserver = -1
        self.rows = []  # scenario rows in order
        self.pairs = []  # (row, old path, new path, changed bytes)
        self.bytes = {}  # (client, row) -> [wire bytes, requests]
        self.times = {}  # (client, link) -> seconds
        self.rss = {}
        self.xdelta = {}
        self.notes = []

    # ---- the releases and the trees served ----
    def read_scenarios(self):
        with open(os.path.join(self.set, "scenarios.tsv")) as f:
            for line in f:
                row, old, new, changed = line.rstrip("\n").split("\t")
                self.pairs.append((row, old, new, int(changed)))
                if row not in self.rows:
                    self.rows.append(row)

    def publish(self):
        start = time.monotonic()
        code = subprocess.run([self.a.tool, "publish", "--key", self.a.key, "--serial", "2",
                               os.path.join(self.set, "new"), self.srv],
                              stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, timeout=3600)
        if code.returncode != 0:
            sys.exit("bench: quillor-publish publish failed: " + code.stderr)
        self.publish_s = time.monotonic() - start
        self.manifest = {}
        self.blocks_dir = None
        with open(os.path.join(self.srv, "manifest.txt"), encoding="utf-8") as f:
            for line in f:
                fields = line.rstrip("\r\n").split("\t")
                if len(fields) == 3:
                    self.manifest[fields[2]] = (fields[0], int(fields[1]))
                elif line.startswith("serial "):
                    self.serial_line = line.strip()
                    for token in line.split()[2:]:
                        if token.startswith("blocks="):
                            self.blocks_dir = token[len("blocks="):]
        self.row_of_path = {new: row for row, _, new, _ in self.pairs}
        self.row_of_digest = {self.manifest[new][0]: row for row, _, new, _ in self.pairs}
        patch_dir = os.path.join(self.srv, self.blocks_dir or "patch")
        self.block_files = sorted(n for n in os.listdir(patch_dir) if n.endswith(".blocks")) \
            if os.path.isdir(patch_dir) else []

    def make_zsync_tree(self):
        # zsync as a user serves it: the new file and its control file from zsyncmake's defaults.
        zs = os.path.join(self.work, "zs")
        start = time.monotonic()
        for _, _, new, _ in self.pairs:
            target = os.path.join(zs, new)
            os.makedirs(os.path.dirname(target), exist_ok=True)
            if not os.path.exists(target):
                os.link(os.path.join(self.set, "new", new), target)
                name = os.path.basename(target)
                subprocess.run(["zsyncmake", "-o", name + ".zsync", name], cwd=os.path.dirname(target),
                               check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=3600)
        self.zsyncmake_s = time.monotonic() - start

    # ---- nginx, the relay and the Wine server ----
    def start_nginx(self):
        os.makedirs(self.ngx, exist_ok=True)
        self.port, self.zport = free_port(), free_port()
        self.site_sock = os.path.join(self.ngx, "site.sock")
        self.zsync_sock = os.path.join(self.ngx, "zsync.sock")
        self.log = AccessLog(os.path.join(self.ngx, "bytes.log"))
        site = subprocess.run([self.a.tool, "site", "--bind", "127.0.0.1", "--port", str(self.port),
                               "--access-log", os.path.join(self.ngx, "access.json"), self.srv],
                              capture_output=True, text=True, timeout=60)
        if site.returncode != 0:
            sys.exit("bench: quillor-publish site failed: " + site.stderr)
        text = site.stdout
        listen = "listen 127.0.0.1:%d;" % self.port
        json_log = "access_log %s quillor_json;" % os.path.join(self.ngx, "access.json")
        if listen not in text or json_log not in text:
            sys.exit("bench: the site printed by quillor-publish site has no '%s' or '%s'" % (listen, json_log))
        # The same site, also on a Unix socket for the relay, and with the bench's byte log beside its own.
        text = text.replace(listen, listen + "\n    listen unix:%s;" % self.site_sock)
        text = text.replace(json_log, json_log + "\n    access_log %s patch_bench;" % self.log.path)
        temp = "".join("%s_temp_path %s/%s;\n" % (k, self.ngx, k) for k in
                       ("client_body", "proxy", "fastcgi", "uwsgi", "scgi"))
        conf = ("daemon off;\nworker_processes 1;\npid %s/nginx.pid;\nerror_log %s/error.log;\n"
                "events { worker_connections 256; }\nhttp {\n"
                "log_format patch_bench '$status $bytes_sent $body_bytes_sent $uri';\n%s"
                "types { text/plain txt; }\ndefault_type application/octet-stream;\n%s\n"
                "server {\n    listen 127.0.0.1:%d;\n    listen unix:%s;\n    root %s/zs;\n"
                "    access_log %s patch_bench;\n    sendfile on;\n    location / { }\n}\n}\n"
                % (self.ngx, self.ngx, temp, text, self.zport, self.zsync_sock, self.work, self.log.path))
        with open(os.path.join(self.ngx, "nginx.conf"), "w") as f:
            f.write(conf)
        open(self.log.path, "a").close()
        pid = spawn(["/usr/sbin/nginx", "-p", self.ngx, "-c", os.path.join(self.ngx, "nginx.conf"),
                     "-e", os.path.join(self.ngx, "error.log")], os.path.join(self.ngx, "out.log"))
        self.pids.append(pid)
        for _ in range(200):
            if connects(self.port) and connects(self.zport):
                return
            time.sleep(0.05)
        sys.exit("bench: nginx did not come up: " + open(os.path.join(self.ngx, "error.log")).read())

    def netns(self, argv, link):
        return ["ip", "netns", "exec", self.a.netns] + argv if link else argv

    def start_relay(self):
        self.rport, self.rzport = free_port(), free_port()  # free in the namespace too: it is empty
        relay = os.path.join(os.path.dirname(os.path.abspath(__file__)), "delay_relay.py")
        out = os.path.join(self.work, "relay.log")
        pid = spawn(self.netns(["/usr/bin/python3", relay, str(self.a.delay_ms),
                                "%d=%s" % (self.rport, self.site_sock),
                                "%d=%s" % (self.rzport, self.zsync_sock)], True), out)
        self.pids.append(pid)
        for _ in range(100):
            if "ready" in open(out).read():
                break
            time.sleep(0.05)
        else:
            sys.exit("bench: the relay did not start: " + open(out).read())
        probe = subprocess.run(self.netns(["/usr/bin/python3", relay, "--probe", str(self.rport), "/manifest.sig"], True),
                               capture_output=True, text=True, timeout=60)
        self.rtt_ms = probe.stdout.strip() or "?"
        print("  round trip of a small request through the relay: %s ms (median of 7)" % self.rtt_ms, flush=True)

    def start_wineserver(self, link):
        # Wine creates sockets in its server, so the server must live in the namespace of the run.
        env = dict(os.environ, WINEPREFIX=self.a.prefix, WINEDEBUG="-all")
        out = os.path.join(self.work, "wineserver.log")
        pid = spawn(self.netns(["wineserver", "-f", "-p"], link), out, env)
        time.sleep(0.5)
        done, _ = os.waitpid(pid, os.WNOHANG)
        if done == pid:
            sys.exit("bench: could not start a wineserver for %s (is one running already, e.g. from the "
                     "tests? wait for it to end): %s" % (self.a.prefix, open(out).read()))
        self.wineserver = pid
        # Wine's own services start with the first program, and each exe's DLLs load with its first
        # run (here against a closed port): not inside a timed run.
        run_measured(self.netns([self.a.wine_run, "cmd", "/c", "exit"], link), out)
        empty = os.path.join(self.work, "install-warm-up")
        os.makedirs(empty, exist_ok=True)
        for exe in (self.a.previous, self.a.exe):
            run_measured(self.netns([self.a.wine_run, exe, "/silent", "/dir", "Z:" + empty.replace("/", "\\"),
                                     "/url", "http://127.0.0.1:9", "/nolaunch"], link), out)
        shutil.rmtree(empty)

    def stop_wineserver(self):
        stop(self.wineserver, signal.SIGTERM, 15)
        self.wineserver = -1
        time.sleep(1)  # Wine's service processes end once their server has gone

    def cleanup(self):
        self.stop_wineserver()
        for pid in reversed(self.pids):
            stop(pid, signal.SIGQUIT if pid == self.pids[0] else signal.SIGTERM)
        self.pids = []

    # ---- the clients ----
    def old_set_stamp(self):
        stamp = {}
        for dirpath, _, names in os.walk(os.path.join(self.set, "old")):
            for name in names:
                st = os.stat(os.path.join(dirpath, name))
                stamp[os.path.join(dirpath, name)] = (st.st_size, st.st_mtime_ns, st.st_ino)
        return stamp

    def fresh_install(self, name):
        install = os.path.join(self.work, "install-" + name)
        shutil.rmtree(install, ignore_errors=True)
        # Hard links: every client writes a new file and renames it into place; old_set_stamp
        # checks after each run that no client wrote into one of the old files.
        subprocess.run(["cp", "-al", os.path.join(self.set, "old"), install], check=True)
        return install

    def check_install(self, install, client):
        for _, _, new, _ in self.pairs:
            digest, size = self.manifest[new]
            path = os.path.join(install, new)
            if not os.path.isfile(path) or os.path.getsize(path) != size or sha256_of(path) != digest:
                sys.exit("bench: after %s, %s is not the new release's file" % (client, new))
        if self.old_set_stamp() != self.stamp:
            sys.exit("bench: %s wrote into a file of the old release through a hard link" % client)

    def attribute(self, client, lines, uri_row):
        for status, sent, _, uri in lines:
            row = uri_row(uri)
            entry = self.bytes.setdefault((client, row), [0, 0])
            entry[0] += sent
            entry[1] += 1

    def updater_row(self, uri):
        if uri in ("/manifest.txt", "/manifest.sig"):
            return "manifest"
        if uri.startswith("/files/"):
            return self.row_of_path.get(uri[len("/files/"):], "other")
        prefix = "/%s/" % (self.blocks_dir or "patch")
        if uri.startswith(prefix):
            name = uri[len(prefix):]
            return self.row_of_digest.get(name[:-len(".blocks")] if name.endswith(".blocks") else name, "other")
        return "other"

    def zsync_row(self, uri):
        path = uri[1:-len(".zsync")] if uri.endswith(".zsync") else uri[1:]
        return self.row_of_path.get(path, "other")

    def run_updater(self, client, exe, link):
        install = self.fresh_install(client)
        url = "http://127.0.0.1:%d" % (self.rport if link else self.port)
        wine_dir = "Z:" + install.replace("/", "\\")
        self.log.start()
        code, seconds, rss = run_measured(
            self.netns([self.a.wine_run, exe, "/silent", "/dir", wine_dir, "/url", url, "/nolaunch"], link),
            os.path.join(self.work, "wine.log"))
        lines = self.log.lines()
        if code != 0:
            tail = open(os.path.join(install, "updater.log"), encoding="utf-8", errors="replace").read()[-3000:]
            sys.exit("bench: %s exited with %d on %s; its log ends:\n%s" % (client, code, url, tail))
        self.check_install(install, client)
        first = (client, link) not in self.times
        if not link and first:
            self.attribute(client, lines, self.updater_row)
            self.keep_log_lines(client, install)
        if not link:
            self.rss[client] = max(self.rss.get(client, 0), rss)
        self.times[(client, link)] = seconds if first else min(seconds, self.times[(client, link)])
        shutil.rmtree(install)
        print("  %-9s %-10s %8.1f s  %s" % (client, "link" if link else "loopback", seconds,
                                            human(sum(sent for _, sent, _, _ in lines))), flush=True)

    def keep_log_lines(self, client, install):
        # What the updater said of each patched file, for the note (its per-file line).
        lines = open(os.path.join(install, "updater.log"), encoding="utf-8", errors="replace").read().splitlines()
        said = [line[21:] for line in lines]  # without the "DD.MM.YYYY hh:mm:ss  " stamp
        self.notes += ["%s: %s" % (client, line) for line in said
                       if line.startswith(("patched ", "patch ", "copied "))][:40]

    def run_zsync(self, link):
        out = os.path.join(self.work, "zsync-out")
        shutil.rmtree(out, ignore_errors=True)
        os.makedirs(out)
        port = self.rzport if link else self.zport
        total, sent = 0.0, 0
        for row, old, new, _ in self.pairs:
            target = os.path.join(out, new.replace("/", "_"))
            self.log.start()
            code, seconds, _ = run_measured(self.netns(
                ["zsync", "-q", "-i", os.path.join(self.set, "old", old), "-o", target,
                 "http://127.0.0.1:%d/%s.zsync" % (port, new)], link), os.path.join(self.work, "zsync.log"))
            lines = self.log.lines()
            if code != 0 or sha256_of(target) != self.manifest[new][0]:
                sys.exit("bench: zsync of %s failed (%d): %s" % (new, code, open(os.path.join(self.work, "zsync.log")).read()[-2000:]))
            total += seconds
            sent += sum(s for _, s, _, _ in lines)
            if not link:
                self.attribute("zsync", lines, self.zsync_row)
            os.remove(target)
        self.times[("zsync", link)] = total
        print("  %-9s %-10s %8.1f s  %s" % ("zsync", "link" if link else "loopback", total, human(sent)), flush=True)

    def run_xdelta(self):
        patch = os.path.join(self.work, "patch.vcdiff")
        start = time.monotonic()
        for row, old, new, _ in self.pairs:
            subprocess.run(["xdelta3", "-e", "-f", "-s", os.path.join(self.set, "old", old),
                            os.path.join(self.set, "new", new), patch], check=True, timeout=3600)
            self.xdelta[row] = self.xdelta.get(row, 0) + os.path.getsize(patch)
        os.remove(patch)
        self.xdelta_s = time.monotonic() - start

    # ---- the figures ----
    def report_goals(self, largest):
        # Issue 39's goals beside what this run measured: figures to read, never a verdict that fails.
        per_row = [(self.bytes.get(("updater", r), [0])[0] / self.bytes[("zsync", r)][0], r)
                   for r in self.rows if r != "rewritten" and self.bytes.get(("zsync", r), [0])[0]]
        whole = sum(self.bytes.get(("previous", r), [0])[0] for r in self.rows + ["manifest", "other"])
        ours = sum(self.bytes.get(("updater", r), [0])[0] for r in self.rows + ["manifest", "other"])
        print("\nissue 39's goals beside this run's figures:")
        if per_row:
            worst = max(per_row)
            print("  bytes, updater / zsync on every row but the rewrite, goal <= 1.0: worst %.3f (%s)" % worst)
        if ours:
            print("  bytes, whole files / updater on the whole set, goal >= 20: %.1f" % (whole / ours))
        for link, goal in ((True, "previous / this build on the link, goal >= 10"),
                           (False, "this build / previous on loopback, goal <= 1.25")):
            p, u = self.times.get(("previous", link)), self.times.get(("updater", link))
            if p and u:
                print("  time, %s: %.2f" % (goal, p / u if link else u / p))
        print("  peak memory for a 4 GiB pack, goal <= 64 MB: %.1f MB for a %s pack here"
              % (self.rss.get("updater", 0) * 1024 / 1e6, human(largest)))

    def report(self):
        clients = [("previous", "previous exe (whole files)"), ("updater", "this build's updater"),
                   ("zsync", "zsync 0.6.2 (-i OLD)")]
        print("\nserved tree: %s; %d block files; publish %.1f s" % (self.serial_line, len(self.block_files), self.publish_s))
        print("\nbytes on the wire per row (nginx's $bytes_sent: headers and bodies; requests in brackets)")
        head = "%-12s %10s %10s | %16s %16s %16s %10s | %8s %8s" % (
            "row", "new size", "changed", "whole files", "updater", "zsync", "xdelta3", "upd/zs", "whole/upd")
        print(head)
        print("-" * len(head))
        sizes, changed = {}, {}
        for row, _, new, ch in self.pairs:
            sizes[row] = sizes.get(row, 0) + self.manifest[new][1]
            changed[row] = changed.get(row, 0) + ch
        rows = self.rows + ["manifest", "other"]
        total = {c: [0, 0] for c, _ in clients}
        for row in rows:
            cells = {c: self.bytes.get((c, row), [0, 0]) for c, _ in clients}
            for c in total:
                total[c][0] += cells[c][0]
                total[c][1] += cells[c][1]
            if row == "other" and not any(v[1] for v in cells.values()):
                continue
            print("%-12s %10s %10s | %16s %16s %16s %10s | %8s %8s" % (
                row, human(sizes.get(row, 0)) if row in sizes else "", human(changed[row]) if row in changed else "",
                cell(cells["previous"]), cell(cells["updater"]), cell(cells["zsync"]),
                human(self.xdelta[row]) if row in self.xdelta else "",
                ratio(cells["updater"][0], cells["zsync"][0]), ratio(cells["previous"][0], cells["updater"][0])))
        print("-" * len(head))
        print("%-12s %10s %10s | %16s %16s %16s %10s | %8s %8s" % (
            "whole set", human(sum(sizes.values())), human(sum(changed.values())), cell(total["previous"]),
            cell(total["updater"]), cell(total["zsync"]), human(sum(self.xdelta.values())),
            ratio(total["updater"][0], total["zsync"][0]), ratio(total["previous"][0], total["updater"][0])))
        print("\ntime of a whole run (wall; loopback: the best of %d run(s); zsync: its runs for every changed "
              "file added up)" % self.a.rounds)
        print("%-28s %12s %22s" % ("client", "loopback", "%d Mbit/s, %d ms RTT" % (self.a.rate_mbit, 2 * self.a.delay_ms)))
        if hasattr(self, "rtt_ms"):
            print("(a small request's round trip through the relay measured %s ms)" % self.rtt_ms)
        for c, label in clients:
            print("%-28s %10.1f s %20s" % (label, self.times.get((c, False), 0),
                                            "%.1f s" % self.times[(c, True)] if (c, True) in self.times else "-"))
        largest = max(size for _, size in self.manifest.values())
        print("\npeak memory (ru_maxrss of the Wine process, whole run; largest pack %s): previous exe %.1f MiB, "
              "this build %.1f MiB" % (human(largest), self.rss.get("previous", 0) / 1024, self.rss.get("updater", 0) / 1024))
        print("zsyncmake over the changed files: %.1f s; xdelta3 -e over every pair: %.1f s" % (self.zsyncmake_s, self.xdelta_s))
        self.report_goals(largest)
        if self.notes:
            print("\nthe updater's log lines about ranges and blocks (first %d):" % len(self.notes))
            for line in self.notes:
                print("  " + line)


def human(n):
    for unit, size in (("GiB", 1 << 30), ("MiB", 1 << 20), ("KiB", 1 << 10)):
        if n >= size:
            return "%.2f %s" % (n / size, unit)
    return "%d B" % n


def cell(entry):
    return "%s (%d)" % (human(entry[0]), entry[1]) if entry[1] else "-"


def ratio(a, b):
    return "%.2f" % (a / b) if a and b else "-"


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    for name in ("work", "tool", "key", "wine-run", "prefix", "exe", "previous", "netns"):
        parser.add_argument("--" + name, required=True)
    parser.add_argument("--delay-ms", type=int, default=20)
    parser.add_argument("--rate-mbit", type=int, default=100)
    parser.add_argument("--no-link", action="store_true")
    parser.add_argument("--rounds", type=int, default=2, help="loopback runs of each exe; the best counts")
    args = parser.parse_args()
    bench = Bench(args)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit("bench: stopped"))
    try:
        bench.read_scenarios()
        print("publishing the new release ...", flush=True)
        bench.publish()
        print("zsyncmake ...", flush=True)
        bench.make_zsync_tree()
        bench.stamp = bench.old_set_stamp()
        bench.start_nginx()
        print("runs (each from a fresh copy of the old release):", flush=True)
        bench.start_wineserver(False)
        for _ in range(args.rounds):  # alternately: the machine's other load varies over time
            bench.run_updater("previous", args.previous, False)
            bench.run_updater("updater", args.exe, False)
        bench.stop_wineserver()
        bench.run_zsync(False)
        if not args.no_link:
            bench.start_relay()
            bench.start_wineserver(True)
            bench.run_updater("previous", args.previous, True)
            bench.run_updater("updater", args.exe, True)
            bench.stop_wineserver()
            bench.run_zsync(True)
        print("xdelta3 ...", flush=True)
        bench.run_xdelta()
        bench.report()
    finally:
        bench.cleanup()


if __name__ == "__main__":
    main()
