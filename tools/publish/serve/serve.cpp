// The development server: serves one server tree read-only over plain HTTP.
#include "serve/serve.h"

#include "core/fs_util.h"
#include "core/output.h"
#include "serve/request_path.h"

#include <httplib.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <memory>
#include <pthread.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

// Opens root/names... one name at a time without following any symbolic link, so nothing
// outside the tree is reachable even if a link was put into it.
UniqueFd OpenInsideTree(const std::string& root, const std::vector<std::string>& names) {
    // The root is opened by name per request, so a publish that swaps the tree is seen at once.
    UniqueFd dir(open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    for (size_t i = 0; dir.Valid() && i + 1 < names.size(); ++i)
        dir = UniqueFd(openat(dir.Get(), names[i].c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!dir.Valid()) return UniqueFd();
    return UniqueFd(openat(dir.Get(), names.back().c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
}

void SetError(httplib::Response& res, int status, const char* text) {
    res.status = status;
    res.set_content(std::string(text) + "\n", "text/plain; charset=utf-8");
}

void ServeFile(const std::string& root, const httplib::Request& req, httplib::Response& res) {
    std::vector<std::string> names;
    TargetVerdict verdict = SplitRequestTarget(req.target, names);
    if (verdict == TargetVerdict::BadRequest) return SetError(res, 400, "Bad Request");
    if (verdict == TargetVerdict::NotFound) return SetError(res, 404, "Not Found");
    auto file = std::make_shared<UniqueFd>(OpenInsideTree(root, names));
    struct stat st;
    if (!file->Valid() || fstat(file->Get(), &st) != 0 || !S_ISREG(st.st_mode))
        return SetError(res, 404, "Not Found");  // folders included: no listing
    res.status = 200;
    const char* type = names.back().size() > 4 && names.back().compare(names.back().size() - 4, 4, ".txt") == 0
                           ? "text/plain; charset=utf-8" : "application/octet-stream";
    size_t size = static_cast<size_t>(st.st_size);
    if (size == 0) return res.set_content("", type);
    res.set_content_provider(size, type, [file](size_t offset, size_t length, httplib::DataSink& sink) {
        char buffer[65536];
        size_t want = length < sizeof buffer ? length : sizeof buffer;
        ssize_t got = pread(file->Get(), buffer, want, static_cast<off_t>(offset));
        if (got <= 0) return false;  // the file shrank or failed: drop the connection
        return sink.write(buffer, static_cast<size_t>(got));
    });
}

void RefuseMethod(const httplib::Request&, httplib::Response& res) {
    res.set_header("Allow", "GET, HEAD");
    SetError(res, 405, "Method Not Allowed");
}

std::atomic<uint64_t> requestsLogged{0};

void LogRequest(const httplib::Request& req, const httplib::Response& res) {
    size_t bytes = req.method == "HEAD" ? 0 : res.content_provider_ ? res.content_length_ : res.body.size();
    ++requestsLogged;
    if (!JsonOutput()) {
        std::printf("%s %s %d %zu\n", req.method.c_str(), req.target.c_str(), res.status, bytes);
        return;
    }
    EmitJsonLine("{\"type\":\"request\",\"method\":" + JsonString(req.method) + ",\"target\":" +
                 JsonString(req.target) + ",\"status\":" + std::to_string(res.status) +
                 ",\"bytes\":" + std::to_string(bytes) + "}");
}

}  // namespace

bool ServeTree(const ServeOptions& options, std::string& error) {
    if (!IsDirectory(options.root)) {
        error = options.root + ": server folder not found";
        return false;
    }
    // Block the stop signals before any thread exists, so only sigwait below receives them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    httplib::Server server;
    const std::string root = options.root;
    server.Get(".*", [root](const httplib::Request& req, httplib::Response& res) { ServeFile(root, req, res); });
    // Before routing, so a body-less POST gets 405 too instead of the library's 400.
    server.set_pre_routing_handler([](const httplib::Request& req, httplib::Response& res) {
        if (req.method == "GET" || req.method == "HEAD") return httplib::Server::HandlerResponse::Unhandled;
        RefuseMethod(req, res);
        return httplib::Server::HandlerResponse::Handled;
    });
    server.set_logger(LogRequest);
    // NB: not the library's default SO_REUSEPORT, which lets a second server share a busy port
    // silently and take half of its requests.
    server.set_socket_options([](socket_t sock) {
        int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });

    int port = options.port;
    bool bound = port == 0 ? (port = server.bind_to_any_port(options.bind)) > 0
                           : server.bind_to_port(options.bind, port);
    if (!bound) {
        error = "cannot listen on " + options.bind + ":" + std::to_string(options.port);
        return false;
    }
    std::string url = "http://" + options.bind + ":" + std::to_string(port) + "/";
    std::fprintf(HumanOut(), "serving %s on %s (Ctrl+C stops)\n", root.c_str(), url.c_str());
    std::fflush(HumanOut());
    EmitJsonLine("{\"type\":\"listening\",\"url\":" + JsonString(url) + ",\"port\":" + std::to_string(port) + "}");
    ResultText("url", url);
    ResultNumber("port", static_cast<uint64_t>(port));
    std::thread listener([&server] {
        server.listen_after_bind();
        kill(getpid(), SIGUSR1);  // wakes sigwait if listening ended by itself
    });
    int received = 0;
    sigwait(&stopSignals, &received);
    server.stop();
    listener.join();
    std::fprintf(HumanOut(), "stopped\n");
    ResultNumber("requests", requestsLogged.load());
    return true;
}
