// quillor-publish: the publisher's command line (keygen, publish, verify, serve, blob).
#include "crypto.h"
#include "fs_util.h"
#include "publish.h"
#include "serve.h"
#include "verify.h"
#include "verify_wait.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char kUsage[] =
    "usage: quillor-publish COMMAND ...\n"
    "\n"
    "  keygen [--force] NAME\n"
    "      Makes a new RSA-2048 key pair (e = 65537): NAME.pem (private, mode 0600) and\n"
    "      NAME.pub.pem (public). Existing files are only replaced with --force.\n"
    "  publish --key PRIVATE.pem --serial N [--force] RELEASE_DIR SERVER_DIR\n"
    "      Copies every file of RELEASE_DIR to SERVER_DIR/files/, writes SERVER_DIR/manifest.txt\n"
    "      and its signature SERVER_DIR/manifest.sig, and swaps the new tree in as a whole.\n"
    "      Refuses a serial below the published one (unless --force), symbolic links, paths the\n"
    "      updater or Windows would refuse, and paths that differ only in letter case.\n"
    "  verify --key PUBLIC.pem [--expect-serial N] [--wait SECONDS] SERVER_DIR|http://HOST:PORT/BASE\n"
    "      Checks the signature, the manifest and every listed file; one line per problem.\n"
    "      With --wait, checks again every second until all is well (and the serial is N),\n"
    "      at most SECONDS long: the last step of a release pipeline, against an edge.\n"
    "  serve [--bind ADDRESS] [--port N] SERVER_DIR\n"
    "      Development HTTP server for a server tree (default 127.0.0.1:8080; --port 0 picks a\n"
    "      free port). GET and HEAD only. Stops on Ctrl+C or SIGTERM.\n"
    "  blob PUBLIC.pem OUT\n"
    "      Writes the 283-byte CNG RSAPUBLICBLOB of an RSA-2048 public key to OUT.\n"
    "\n"
    "Exit status: 0 on success, 1 on any failure or problem found, 2 on a usage error.\n";

int Usage(const std::string& message) {
    std::fprintf(stderr, "quillor-publish: %s\n(see quillor-publish --help)\n", message.c_str());
    return 2;
}

int Fail(const std::string& message) {
    std::fprintf(stderr, "quillor-publish: %s\n", message.c_str());
    return 1;
}

// Splits args into "--name value" options (names listed in valued), "--flag" switches and
// positionals. "--" ends the options.
struct Args {
    std::vector<std::pair<std::string, std::string>> options;
    std::vector<std::string> flags;
    std::vector<std::string> positionals;
};

bool SplitArgs(const std::vector<std::string>& args, const std::vector<std::string>& valued,
               const std::vector<std::string>& switches, Args& out, std::string& error) {
    bool optionsDone = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (optionsDone || arg.size() < 2 || arg.compare(0, 2, "--") != 0) {
            out.positionals.push_back(arg);
        } else if (arg == "--") {
            optionsDone = true;
        } else if (std::find(switches.begin(), switches.end(), arg) != switches.end()) {
            out.flags.push_back(arg);
        } else if (std::find(valued.begin(), valued.end(), arg) != valued.end()) {
            if (i + 1 >= args.size()) {
                error = arg + " needs a value";
                return false;
            }
            out.options.emplace_back(arg, args[++i]);
        } else {
            error = "unknown option " + arg;
            return false;
        }
    }
    return true;
}

bool HasFlag(const Args& args, const char* flag) {
    return std::find(args.flags.begin(), args.flags.end(), flag) != args.flags.end();
}

std::string Option(const Args& args, const char* name, const std::string& fallback) {
    std::string value = fallback;
    for (const auto& option : args.options)
        if (option.first == name) value = option.second;
    return value;
}

int PrintProblems(const std::vector<std::string>& problems) {
    for (const std::string& problem : problems) std::fprintf(stderr, "quillor-publish: %s\n", problem.c_str());
    return 1;
}

int RunKeygen(const Args& args) {
    if (args.positionals.size() != 1) return Usage("keygen needs exactly one NAME");
    std::string error;
    if (!GenerateKeyPair(args.positionals[0], HasFlag(args, "--force"), error)) return Fail(error);
    std::printf("wrote %s.pem (private, keep it secret) and %s.pub.pem\n", args.positionals[0].c_str(),
                args.positionals[0].c_str());
    return 0;
}

int RunPublish(const Args& args) {
    PublishOptions options;
    options.keyPath = Option(args, "--key", "");
    std::string serial = Option(args, "--serial", "");
    if (options.keyPath.empty() || serial.empty() || args.positionals.size() != 2)
        return Usage("publish needs --key, --serial, RELEASE_DIR and SERVER_DIR");
    if (!ParseSerialArgument(serial, options.serial))
        return Usage("--serial must be a decimal number from 0 to 18446744073709551615");
    options.releaseDir = args.positionals[0];
    options.serverDir = args.positionals[1];
    options.force = HasFlag(args, "--force");
    std::vector<std::string> problems;
    if (!PublishRelease(options, problems)) {
        PrintProblems(problems);
        return Fail("nothing was published; " + options.serverDir + " is unchanged");
    }
    return 0;
}

int RunVerify(const Args& args) {
    std::string key = Option(args, "--key", "");
    if (key.empty() || args.positionals.size() != 1)
        return Usage("verify needs --key and one SERVER_DIR or base URL");
    VerifyWait wait;
    std::string serial = Option(args, "--expect-serial", "");
    wait.expectSerial = !serial.empty();
    if ((wait.expectSerial && !ParseSerialArgument(serial, wait.serial)) ||
        !ParseSerialArgument(Option(args, "--wait", "0"), wait.seconds) || wait.seconds > 86400)
        return Usage("--expect-serial must be a decimal number, --wait 0 to 86400 seconds");
    std::vector<std::string> problems;
    std::string summary;
    bool ok = VerifyUntil(key, args.positionals[0], wait, problems, summary);
    for (const std::string& problem : problems) std::printf("%s\n", problem.c_str());
    if (!ok) {
        std::printf("FAILED: %zu problem(s)%s%s\n", problems.size(), summary.empty() ? "" : " in ",
                    summary.c_str());
        return 1;
    }
    std::printf("OK: %s\n", summary.c_str());
    return 0;
}

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

int RunBlob(const Args& args) {
    if (args.positionals.size() != 2) return Usage("blob needs PUBLIC.pem and OUT");
    PkeyPtr key;
    std::vector<uint8_t> blob;
    std::string error;
    if (!LoadVerifyKey(args.positionals[0], key, error) || !BuildPublicBlob(key.get(), blob, error) ||
        !WriteFileAtomic(args.positionals[1], blob.data(), blob.size(), 0644, false, error))
        return Fail(error);
    std::printf("wrote %zu bytes to %s\n", blob.size(), args.positionals[1].c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> rest(argv + (argc > 1 ? 2 : 1), argv + argc);
    std::string command = argc > 1 ? argv[1] : "";
    if (command.empty() || command == "--help" || command == "-h" || command == "help" ||
        std::find(rest.begin(), rest.end(), "--help") != rest.end()) {
        std::fputs(kUsage, command.empty() ? stderr : stdout);
        return command.empty() ? 2 : 0;
    }
    Args args;
    std::string error;
    if (command == "keygen" && SplitArgs(rest, {}, {"--force"}, args, error)) return RunKeygen(args);
    if (command == "publish" && SplitArgs(rest, {"--key", "--serial"}, {"--force"}, args, error))
        return RunPublish(args);
    if (command == "verify" && SplitArgs(rest, {"--key", "--expect-serial", "--wait"}, {}, args, error))
        return RunVerify(args);
    if (command == "serve" && SplitArgs(rest, {"--bind", "--port"}, {}, args, error)) return RunServe(args);
    if (command == "blob" && SplitArgs(rest, {}, {}, args, error)) return RunBlob(args);
    if (!error.empty()) return Usage(error);
    return Usage("unknown command \"" + command + "\"");
}
