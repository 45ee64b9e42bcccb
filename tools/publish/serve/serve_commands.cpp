// The serving commands: serve (the development server) and site (the nginx site or an edge's VCL).
#include "serve/serve_commands.h"

#include "core/cli_args.h"
#include "core/output.h"
#include "serve/serve.h"
#include "serve/site.h"

#include <cstdio>
#include <string>
#include <vector>

int RunServe(const Args& args) {
    ServeOptions options;
    options.bind = Option(args, "--bind", options.bind);
    std::string port = Option(args, "--port", "8080");
    uint64_t portNumber = 0;
    if (!ParseSerialArgument(port, portNumber) || portNumber > 65535) return Usage("--port must be 0 to 65535");
    if (args.positionals.size() != 1) return Usage("serve needs one SERVER_DIR");
    options.port = static_cast<int>(portNumber);
    options.root = args.positionals[0];
    std::setvbuf(stdout, nullptr, _IOLBF, 0);  // one log line at a time, also into a pipe
    std::string error;
    return ServeTree(options, error) ? 0 : Fail(error);
}

// The nginx site of a server folder, or the VCL of an edge in front of its origin, on stdout
// (inside the result's "text" with --json).
int RunSite(const Args& args) {
    std::string text, error, vcl = Option(args, "--vcl", "");
    if (!vcl.empty()) {
        if (args.positionals.size() > 1 || args.options.size() != 1)
            return Usage("site --vcl takes ORIGIN_HOST:PORT and at most a SERVER_DIR, no other option");
        if (!MakeEdgeVcl(vcl, args.positionals.empty() ? "" : args.positionals[0], text, error)) return Usage(error);
    } else {
        if (args.positionals.size() != 1) return Usage("site needs one SERVER_DIR");
        SiteOptions options;
        options.serverDir = args.positionals[0];
        options.bind = Option(args, "--bind", "");
        uint64_t port = 0;
        if (!ParseSerialArgument(Option(args, "--port", "8080"), port) || port < 1 || port > 65535)
            return Usage("--port must be 1 to 65535");
        options.port = static_cast<int>(port);
        for (const auto& option : args.options)
            if (option.first == "--edge") options.edges.push_back(option.second);
        options.accessLog = Option(args, "--access-log", kDefaultAccessLog);
        if (!MakeNginxSite(options, text, error)) return Usage(error);
    }
    if (JsonOutput())
        ResultText("text", text);
    else
        std::fputs(text.c_str(), stdout);
    ResultText("kind", vcl.empty() ? "nginx" : "vcl");
    return 0;
}
