// Test support for quillor-publish: temp folders, running the tool, a raw HTTP client.
#include "tool_support.h"

#include "core/digest.h"
#include "core/fs_util.h"
#include "keys/crypto.h"
#include "update/decimal.h"
#include "update/http.h"
#include "update/manifest.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <netinet/in.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

TempDir::TempDir() {
    char pattern[] = "/tmp/quillor-publish-test-XXXXXX";
    if (mkdtemp(pattern) != nullptr) path_ = pattern;
}

TempDir::~TempDir() {
    std::string ignored;
    if (!path_.empty()) RemoveTree(path_, ignored);
}

static pid_t Spawn(const std::vector<std::string>& argv, const std::string& outPath, const std::string& errPath,
                   bool ownGroup = false) {
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        if (ownGroup) setpgid(0, 0);
        int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0600);
        int err = errPath == outPath ? out : open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int in = open("/dev/null", O_RDONLY);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        execvp(args[0], args.data());
        _exit(127);
    }
    return pid;
}

// Waits for pid at most timeoutSeconds; -1 when it is still running.
static int WaitBounded(pid_t pid, int timeoutSeconds) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    for (;;) {
        int status = 0;
        pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        if (done < 0 || std::chrono::steady_clock::now() > deadline) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

CommandResult RunCommand(const std::vector<std::string>& argv, int timeoutSeconds) {
    TempDir logs;
    CommandResult result;
    pid_t pid = Spawn(argv, logs / "out", logs / "err", true);
    result.exitCode = WaitBounded(pid, timeoutSeconds);
    if (result.exitCode == -1) {
        // Its whole group: what it started ends with it (strace leaves its tracee running otherwise).
        kill(-pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    result.out = ReadFileText(logs / "out");
    result.err = ReadFileText(logs / "err");
    return result;
}

CommandResult RunTool(const std::vector<std::string>& args, int timeoutSeconds) {
    std::vector<std::string> argv = {QUILLOR_PUBLISH_EXE};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunCommand(argv, timeoutSeconds);
}

CommandResult RunToolTraced(const std::string& calls, const std::vector<std::string>& injections,
                            const std::vector<std::string>& args, const std::string& logPath, int timeoutSeconds) {
    std::vector<std::string> argv = {"strace", "-f", "-qq", "-o", logPath.empty() ? "/dev/null" : logPath,
                                     "-e", "trace=" + calls};
    for (const std::string& injection : injections) argv.insert(argv.end(), {"-e", "inject=" + injection});
    argv.push_back(QUILLOR_PUBLISH_EXE);
    argv.insert(argv.end(), args.begin(), args.end());
    return RunCommand(argv, timeoutSeconds);
}

int OccurrenceIn(const std::string& logPath, const std::string& call, const std::string& needle) {
    std::istringstream log(ReadFileText(logPath));
    std::map<std::string, int> seen;  // per process: strace counts each one's calls apart
    for (std::string line; std::getline(log, line);) {
        size_t blank = line.find(' '), start = line.find_first_not_of(' ', blank);
        if (start == std::string::npos || line.compare(start, call.size() + 1, call + "(") != 0) continue;
        int occurrence = ++seen[line.substr(0, blank)];
        if (line.find(needle) != std::string::npos) return occurrence;
    }
    return 0;
}

BackgroundProcess StartBackground(const std::vector<std::string>& argv, const std::string& logPath,
                                  const std::string& errPath) {
    BackgroundProcess process;
    process.logPath = logPath;
    process.pid = Spawn(argv, logPath, errPath.empty() ? logPath : errPath);
    return process;
}

int WaitBackground(BackgroundProcess& process, int timeoutSeconds) {
    if (process.pid <= 0) return -1;
    int code = WaitBounded(process.pid, timeoutSeconds);
    if (code == -1) {
        kill(process.pid, SIGKILL);
        waitpid(process.pid, nullptr, 0);
    }
    process.pid = -1;
    return code;
}

int StopBackground(BackgroundProcess& process, int timeoutSeconds) {
    if (process.pid > 0) kill(process.pid, SIGTERM);
    return WaitBackground(process, timeoutSeconds);
}

std::string WaitForText(const std::string& path, const std::string& needle, int timeoutSeconds) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    while (std::chrono::steady_clock::now() < deadline) {
        std::string text = ReadFileText(path);
        if (text.find(needle) != std::string::npos) return text;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return std::string();
}

HttpReply RawHttp(int port, const std::string& method, const std::string& target, int timeoutSeconds,
                  const std::string& headers, const std::string& from, size_t maxBytes) {
    HttpReply reply;
    UniqueFd sock(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    timeval timeout{timeoutSeconds, 0};
    setsockopt(sock.Get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    setsockopt(sock.Get(), SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    sockaddr_in source{};
    source.sin_family = AF_INET;
    if (!from.empty() && (inet_pton(AF_INET, from.c_str(), &source.sin_addr) != 1 ||
                          bind(sock.Get(), reinterpret_cast<sockaddr*>(&source), sizeof source) != 0))
        return reply;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(sock.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return reply;
    std::string request = method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                          "User-Agent: Quillor-Updater/1.0\r\nConnection: close\r\n" + headers + "\r\n";
    if (!WriteAll(sock.Get(), request.data(), request.size())) return reply;
    std::string raw;
    char buffer[65536];
    for (ssize_t got; raw.size() < maxBytes && (got = recv(sock.Get(), buffer, sizeof buffer, 0)) > 0;)
        raw.append(buffer, got);
    if (raw.size() >= maxBytes) {
        linger reset{1, 0};
        setsockopt(sock.Get(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    }
    size_t headerEnd = raw.find("\r\n\r\n");
    if (raw.compare(0, 9, "HTTP/1.1 ") != 0 || headerEnd == std::string::npos) return reply;
    reply.status = static_cast<int>(ParseDecimal(raw.c_str() + 9, 3));
    reply.body = raw.substr(headerEnd + 4);
    reply.headers = raw.substr(0, headerEnd + 2);
    return reply;
}

std::string ReadFileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteFileText(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

void MakeOpensslKey(const std::string& path, int bits, int exponent) {
    CommandResult made = RunCommand({"openssl", "genpkey", "-algorithm", "RSA", "-pkeyopt",
                                     "rsa_keygen_bits:" + std::to_string(bits), "-pkeyopt",
                                     "rsa_keygen_pubexp:" + std::to_string(exponent), "-out", path});
    ASSERT_EQ(made.exitCode, 0) << made.err;
    CommandResult pub = RunCommand({"openssl", "pkey", "-in", path, "-pubout", "-out", path + ".pub.pem"});
    ASSERT_EQ(pub.exitCode, 0) << pub.err;
}

void AgeTree(const std::string& dir) {
    CommandResult aged = RunCommand({"find", dir, "-type", "f", "-exec", "touch", "-d", "1 hour ago", "{}", "+"});
    ASSERT_EQ(aged.exitCode, 0) << aged.err;
}

void AlterKeepingTimes(const std::string& path) {
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    std::string bytes = ReadFileText(path);
    ASSERT_FALSE(bytes.empty());
    bytes[0] ^= 1;
    WriteFileText(path, bytes);
    timespec times[2] = {st.st_atim, st.st_mtim};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

std::vector<std::string> Names(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* handle = opendir(dir.c_str())) {
        while (dirent* entry = readdir(handle))
            if (std::string(entry->d_name) != "." && std::string(entry->d_name) != "..") names.push_back(entry->d_name);
        closedir(handle);
    }
    std::sort(names.begin(), names.end());
    return names;
}

unsigned long InodeOf(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? static_cast<unsigned long>(st.st_ino) : 0;
}

bool ProcessEnded(pid_t pid, int timeoutSeconds) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    for (;;) {
        std::string stat = ReadFileText("/proc/" + std::to_string(pid) + "/stat");
        size_t state = stat.rfind(") ");
        if (stat.empty() || (state != std::string::npos && stat.compare(state + 2, 1, "Z") == 0)) return true;
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

pid_t PidInFile(const std::string& path) {
    std::string text = ReadFileText(path);
    return static_cast<pid_t>(ParseDecimal(text.c_str(), text.size()));
}

bool MakeTestCertificates(const std::string& dir, const std::string& name, const std::string& altName) {
    std::string base = dir + "/" + name;
    // The folder name makes each CA's name unique, so a chain never meets a CA left over from
    // another run under the same name.
    std::string unique = name + " " + dir.substr(dir.rfind('/') + 1);
    // P-256: made in a millisecond where an RSA key takes a quarter second, and Wine checks it.
    auto withNewKey = [](std::vector<std::string> command, const std::vector<std::string>& rest) {
        for (const char* arg : {"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes"})
            command.push_back(arg);
        command.insert(command.end(), rest.begin(), rest.end());
        return command;
    };
    std::vector<std::vector<std::string>> steps = {
        withNewKey({"openssl", "req", "-x509"},
                   {"-keyout", base + "-ca.key", "-out", base + "-ca.pem", "-days", "2", "-subj",
                    "/CN=Quillor test CA " + unique, "-addext", "basicConstraints=critical,CA:TRUE", "-addext",
                    "keyUsage=critical,keyCertSign,cRLSign"}),
        {"openssl", "x509", "-in", base + "-ca.pem", "-outform", "DER", "-out", base + "-ca.der"},
        withNewKey({"openssl", "req"},
                   {"-keyout", base + ".key", "-out", base + ".csr", "-subj", "/CN=Quillor test server " + unique,
                    "-addext", "subjectAltName=" + altName, "-addext", "extendedKeyUsage=serverAuth"}),
        {"openssl", "x509", "-req", "-in", base + ".csr", "-CA", base + "-ca.pem", "-CAkey", base + "-ca.key",
         "-set_serial", "0x" + std::to_string(getpid()) + "01", "-days", "2", "-copy_extensions", "copy",
         "-out", base + ".pem"}};
    for (const std::vector<std::string>& step : steps) {
        CommandResult made = RunCommand(step, 60);
        if (made.exitCode != 0) {
            ADD_FAILURE() << step[1] << ": " << made.err;
            return false;
        }
    }
    return true;
}

// The site's listen line, over TLS when asked; with a redirect, a second plain-http server.
static std::string ListenLines(const std::string& dir, int port, const OriginTls* tls, int plainPort,
                               std::string* plainServer) {
    std::string listen = "listen 127.0.0.1:" + std::to_string(port);
    if (!tls) return listen + ";";
    if (tls->redirectStatus != 0) {
        *plainServer = "server {\nlisten 127.0.0.1:" + std::to_string(plainPort) + ";\naccess_log " + dir +
                       "/nginx/plain.log quillor;\nreturn " + std::to_string(tls->redirectStatus) +
                       " https://localhost:" + std::to_string(port) + "$request_uri;\n}\n";
    }
    return listen + " ssl;\nssl_certificate " + dir + "/" + tls->name + ".pem;\nssl_certificate_key " + dir +
           "/" + tls->name + ".key;";
}

std::string NginxSite(const std::string& root, int port, const std::vector<std::string>& extra) {
    std::vector<std::string> args = {"site", "--bind", "127.0.0.1", "--port", std::to_string(port)};
    args.insert(args.end(), extra.begin(), extra.end());
    args.push_back(root);
    CommandResult site = RunTool(args, 30);
    if (site.exitCode != 0) ADD_FAILURE() << "quillor-publish site: " << site.err;
    return site.exitCode == 0 ? site.out : std::string();
}

std::string NginxMainConfig(const std::string& dir, const std::string& site) {
    std::string prefix = dir + "/nginx";
    mkdir(prefix.c_str(), 0755);
    return "daemon off;\nworker_processes 1;\npid " + prefix + "/nginx.pid;\n"
           "error_log " + prefix + "/error.log;\nevents { worker_connections 256; }\nhttp {\n"
           "log_format quillor '$status $body_bytes_sent $request_uri';\n"
           "log_format quillor_user '$remote_user $status $body_bytes_sent $request_uri';\n"
           "access_log " + prefix + "/access.log quillor;\nclient_body_temp_path " + prefix + "/body;\n"
           "proxy_temp_path " + prefix + "/proxy;\nfastcgi_temp_path " + prefix + "/fastcgi;\n"
           "uwsgi_temp_path " + prefix + "/uwsgi;\nscgi_temp_path " + prefix + "/scgi;\n"
           "types { text/plain txt; }\ndefault_type application/octet-stream;\n" + site + "}\n";
}

CommandResult NginxTest(const std::string& dir) {
    return RunCommand({"/usr/sbin/nginx", "-t", "-p", dir + "/nginx", "-c", dir + "/nginx/nginx.conf", "-e",
                       dir + "/nginx/error.log"}, 30);
}

std::string NginxConfig(const std::string& dir, const std::string& root, int port,
                        const std::vector<std::pair<std::string, std::string>>& edits,
                        const OriginTls* tls, int plainPort) {
    // The site as "quillor-publish site" makes it for an edge on this machine; only what a test
    // adds on top (TLS, a mirror, credentials) is edited in.
    std::string json = dir + "/nginx/access.json";
    std::string site = NginxSite(root, port, {"--edge", "127.0.0.1", "--access-log", json});
    std::string plainServer;
    // The site's JSON log, and beside it the short one the older tests read.
    std::vector<std::pair<std::string, std::string>> all = {
        {"listen 127.0.0.1:" + std::to_string(port) + ";", ListenLines(dir, port, tls, plainPort, &plainServer)},
        {"access_log " + json + " quillor_json;",
         "access_log " + json + " quillor_json;\naccess_log " + dir + "/nginx/access.log quillor;"}};
    all.insert(all.end(), edits.begin(), edits.end());
    for (const auto& edit : all) {
        size_t at = site.find(edit.first);
        if (at == std::string::npos) return std::string();
        site.replace(at, edit.first.size(), edit.second);
    }
    return NginxMainConfig(dir, site + plainServer);
}

std::string OriginAccessLog(const std::string& dir) { return ReadFileText(dir + "/nginx/access.log"); }

int OriginLines(const std::string& dir, const std::string& line, int expected, const std::string& log) {
    int count = 0;
    for (int i = 0; i < 100 && count != expected; ++i) {
        if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        std::string text = ReadFileText(dir + "/nginx/" + log);
        count = 0;
        for (size_t at = text.find(line + "\n"); at != std::string::npos; at = text.find(line + "\n", at + 1))
            count += at == 0 || text[at - 1] == '\n';
    }
    return count;
}

// Waits (bounded) until something answers HTTP on port, or the process has ended.
static bool WaitUntilServing(WebServer& server) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
        if (RawHttp(server.port, "HEAD", "/manifest.txt", 5).status != 0) return true;
        if (waitpid(server.process.pid, nullptr, WNOHANG) != 0) {
            server.process.pid = -1;
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

bool StartOrigin(const std::string& dir, const std::string& root, WebServer& server,
                 const std::vector<std::pair<std::string, std::string>>& edits, const OriginTls* tls) {
    // Another program on the machine may take a free port before nginx binds it. nginx then logs
    // the failed bind at once but keeps trying for seconds, while that program answers the probe;
    // so the log decides, and a new port is tried.
    for (int attempt = 0; attempt < 3; ++attempt) {
        server.port = FreeLoopbackPort();
        server.plainPort = tls && tls->redirectStatus != 0 ? FreeLoopbackPort() : 0;
        std::string config = NginxConfig(dir, root, server.port, edits, tls, server.plainPort);
        if (server.port == 0 || config.empty()) return false;
        WriteFileText(dir + "/nginx/nginx.conf", config);
        WriteFileText(dir + "/nginx/error.log", "");
        server.process = StartBackground({"/usr/sbin/nginx", "-p", dir + "/nginx", "-c", dir + "/nginx/nginx.conf",
                                          "-e", dir + "/nginx/error.log"},
                                         dir + "/nginx/out.log");
        bool serving = WaitUntilServing(server);
        bool portTaken = ReadFileText(dir + "/nginx/error.log").find("bind() to") != std::string::npos;
        if (serving && !portTaken) return true;
        StopWebServer(server);
        if (!portTaken) return false;
    }
    return false;
}

bool StartEdge(const std::string& dir, int originPort, WebServer& server) {
    CommandResult vcl = RunTool({"site", "--vcl", "127.0.0.1:" + std::to_string(originPort)}, 30);
    server.port = FreeLoopbackPort();
    if (vcl.exitCode != 0 || server.port == 0) return false;
    std::string work = dir + "/varnish";
    mkdir(work.c_str(), 0755);
    WriteFileText(work + "/edge.vcl", vcl.out);
    // -F: the manager stays this process's child; -j none: no jail users needed for the folder.
    server.process = StartBackground({"/usr/sbin/varnishd", "-F", "-j", "none", "-n", work, "-T", "none",
                                      "-a", "127.0.0.1:" + std::to_string(server.port), "-f", work + "/edge.vcl",
                                      "-s", "malloc,512m", "-p", "thread_pool_min=10"},
                                     work + "/out.log");
    if (!WaitUntilServing(server)) return false;
    std::ifstream children("/proc/" + std::to_string(server.process.pid) + "/task/" +
                           std::to_string(server.process.pid) + "/children");
    for (pid_t child; children >> child;) server.children.push_back(child);
    return true;
}

WebServer::~WebServer() { StopWebServer(*this); }

void StopWebServer(WebServer& server) {
    StopBackground(server.process);
    for (pid_t child : server.children) {
        // The worker ends with its manager; a survivor is killed by its PID.
        for (int i = 0; i < 200 && kill(child, 0) == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(25));
        if (kill(child, 0) == 0) kill(child, SIGKILL);
    }
    server.children.clear();
}

SimRun RunSimPlayer(SimPlayer& player, int port, EVP_PKEY* key) {
    SimRun run;
    SimFault fault = player.fault;
    player.fault = SimFault::kNone;
    auto get = [&](const std::string& target, std::string& body, size_t maxBytes = SIZE_MAX) {
        HttpReply reply = RawHttp(port, "GET", target, 20, "", player.address, maxBytes);
        run.bodyBytes += reply.body.size();
        body.swap(reply.body);
        run.stoppedAt = target;
        return reply.status == 200;
    };
    std::string text, signature;
    std::vector<ManifestEntry> entries;
    std::string ignored;
    run.refused = true;
    if (!get("/manifest.txt", text) || !get("/manifest.sig", signature)) return run;
    std::vector<uint8_t> manifest(text.begin(), text.end());
    if (!VerifyMessage(key, manifest, std::vector<uint8_t>(signature.begin(), signature.end())) ||
        !ParseManifest(manifest, run.served, entries, ignored))
        return run;
    run.afterSignature = true;
    if (run.served < player.serial) {
        run.decrease = true;
        run.refused = false;
        return run;
    }
    if (fault == SimFault::kStopAfterSignature) return run;
    run.refused = false;
    run.afterSignature = false;
    std::vector<const ManifestEntry*> wanted;
    for (const ManifestEntry& entry : entries) {
        auto have = player.installed.find(entry.path);
        if (have == player.installed.end() || have->second != entry.sha256) wanted.push_back(&entry);
    }
    for (const ManifestEntry* entry : wanted) {
        std::string body;
        Sha256 digest;
        bool cut = fault == SimFault::kCutFirstBody && entry == wanted.front();
        bool fetched = get("/files/" + UrlEncodePath(entry->path), body, cut ? 600 : SIZE_MAX);
        ++run.files;
        digest.Update(body.data(), body.size());
        bool refuse = fault == SimFault::kRefuseLastFile && entry == wanted.back();
        if (!fetched || body.size() != entry->size || digest.FinishHex() != entry->sha256 || refuse) {
            run.refused = true;
            return run;
        }
        player.installed[entry->path] = entry->sha256;  // in place at once, as the updater moves it
    }
    run.stoppedAt.clear();
    std::map<std::string, std::string> next;
    for (const ManifestEntry& entry : entries) next[entry.path] = entry.sha256;
    player.serial = run.served;
    player.installed.swap(next);
    return run;
}

std::vector<SimRun> RunSimRound(std::vector<SimPlayer>& players, int port, EVP_PKEY* key, int workers) {
    std::vector<SimRun> runs(players.size());
    std::atomic<size_t> next{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < workers; ++i)
        threads.emplace_back([&]() {
            for (size_t at; (at = next++) < players.size();) runs[at] = RunSimPlayer(players[at], port, key);
        });
    for (std::thread& thread : threads) thread.join();
    return runs;
}

bool PrepareSiteFolder(const TempDir& dir) {
    chmod(dir.Path().c_str(), 0755);  // the nginx workers may run as another user
    mkdir((dir / "rel").c_str(), 0755);
    mkdir((dir / "rel/data").c_str(), 0755);
    return RunTool({"keygen", dir / "k"}).exitCode == 0;
}
