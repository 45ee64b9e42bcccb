// quillor-publish --json: every line of every command's output parsed, the help and the nearest names.
#include "core/output.h"
#include "core/problem_codes.h"
#include "tool_support.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <functional>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using nlohmann::json;

// Parses every line of out; the last must be the only result object, with exit the process's.
// The problem codes it lists are added to codes.
void CheckJsonLines(const std::string& out, int exitCode, const std::string& command, json& result,
                    int& progressEvents, std::set<std::string>& codes) {
    std::vector<json> lines;
    size_t start = 0;
    for (size_t end; (end = out.find('\n', start)) != std::string::npos; start = end + 1) {
        json line = json::parse(out.substr(start, end - start), nullptr, false);
        ASSERT_FALSE(line.is_discarded()) << "not JSON: " << out.substr(start, end - start);
        ASSERT_TRUE(line.is_object() && line["type"].is_string()) << line;
        lines.push_back(line);
    }
    ASSERT_EQ(start, out.size()) << "stdout ends inside a line: " << out;
    ASSERT_FALSE(lines.empty());
    result = lines.back();
    progressEvents = 0;
    for (size_t i = 0; i + 1 < lines.size(); ++i) {
        std::string type = lines[i]["type"];
        ASSERT_NE(type, "result") << "a result object before the last line";
        if (type != "progress") continue;
        ++progressEvents;
        EXPECT_EQ(lines[i]["command"], command);
        for (const char* key : {"files", "total_files", "bytes", "total_bytes"})
            EXPECT_TRUE(lines[i][key].is_number_unsigned()) << lines[i];
        EXPECT_LE(lines[i]["files"], lines[i]["total_files"]);
        EXPECT_TRUE(lines[i]["seconds"].is_number() && lines[i]["phase"].is_string()) << lines[i];
    }
    ASSERT_EQ(result["type"], "result");
    // At most about ten events a second, plus the one that ends each phase.
    EXPECT_LE(progressEvents, result["duration_ms"].get<int64_t>() / 100 + 3) << out;
    EXPECT_EQ(result["command"], command);
    EXPECT_EQ(result["exit"], exitCode);
    EXPECT_EQ(result["ok"], exitCode == 0);
    EXPECT_TRUE(result["duration_ms"].is_number_unsigned());
    ASSERT_TRUE(result["problems"].is_array());
    // A command that succeeds lists only the warnings of what it could not do (a flush, a prune).
    const std::set<std::string> warnings = {"not-flushed", "record-not-kept", "history-not-pruned"};
    EXPECT_TRUE(exitCode == 0 || !result["problems"].empty()) << result;
    for (const json& problem : result["problems"]) {
        ASSERT_TRUE(problem["code"].is_string() && problem["message"].is_string()) << problem;
        codes.insert(problem["code"].get<std::string>());
        EXPECT_TRUE(exitCode != 0 || warnings.count(problem["code"].get<std::string>()) == 1) << result;
    }
}

struct JsonCase {
    std::vector<std::string> args;  // "@" stands for the case folder's path
    int exitCode;
    std::string code = "";            // a problem code the result must list ("" when it succeeds)
    std::vector<std::string> fields = {};  // result fields that must be there and not null
    bool progress = false;            // a progress event must come before the result
    std::function<void(const std::string& dir)> before = nullptr;
    bool underLock = false;           // run while another process holds @/srv.lock
    std::string warning = "";         // a code the result must list among its "warnings"
};

TEST(PublishJson, EveryCommandEndsWithOneResultObjectAndNothingElseOnStdout) {
    TempDir dir;
    const std::string d = dir.Path();
    for (const char* name : {"rel", "rel2", "rel3", "link", "bad", "empty", "odd", "huge", "deep", "fold",
                             "fold/data.pak", "flip", "flip/game.exe"})
        mkdir((dir / name).c_str(), 0755);
    WriteFileText(dir / "rel/game.exe", "MZ one");
    WriteFileText(dir / "rel/data.pak", std::string(100000, 'a'));
    WriteFileText(dir / "rel2/game.exe", "MZ two");
    WriteFileText(dir / "rel3/game.exe", "MZ three");
    WriteFileText(dir / "bad/CON.txt", "a device name");
    WriteFileText(dir / "fold/data.pak/inside.txt", "data.pak of rel, now a folder");
    WriteFileText(dir / "fold/game.exe", "MZ one");
    WriteFileText(dir / "flip/game.exe/inside.txt", "game.exe of rel3, now a folder");
    WriteFileText(dir / "huge/big.pak", "");
    ASSERT_EQ(truncate((dir / "huge/big.pak").c_str(), 4294967296LL), 0);  // sparse: never read here
    WriteFileText(dir / "deep/" + std::string(160, 'n'), "a name that leaves little room");
    WriteFileText(dir / "odd/new \x01\xff name", "bytes that are no UTF-8");  // diff lists it, escaped
    ASSERT_EQ(symlink("/etc/hostname", (dir / "link/a").c_str()), 0);
    AgeTree(dir / "rel");
    MakeOpensslKey(dir / "other.pem", 2048);
    WriteFileText(dir / "pass", "right\n");
    WriteFileText(dir / "wrong", "wrong\n");
    const std::string key = d + "/k.pem", pub = d + "/k.pub.pem";
    auto publish = [&](const std::string& serial, const std::string& release, std::vector<std::string> extra = {}) {
        std::vector<std::string> args = {"publish", "--json", "--serial", serial};
        if (extra.empty()) extra = {"--key", key};
        args.insert(args.end(), extra.begin(), extra.end());
        args.insert(args.end(), {d + "/" + release, d + "/srv"});
        return args;
    };
    auto stage = [&](const std::string& serial, const std::string& share, const std::string& server) {
        return std::vector<std::string>{"stage", "--json", "--key", key, "--serial", serial, "--share", share,
                                        d + "/rel3", d + "/" + server};
    };
    const std::vector<std::string> kSite = {"live_serial", "staged_serial", "share", "salt"};
    const std::vector<JsonCase> cases = {
        {{"keygen", "--json", "@/k"}, 0, "", {"private_key", "public_key", "encrypted"}},
        {{"keygen", "--json", "@/k"}, 1, "key-exists"},
        {{"keygen", "--json", "--passphrase-file", "@/pass", "@/enc"}, 0, "", {"private_key"}},
        {publish("2", "rel"), 0, "", {"serial", "tree", "files", "bytes", "copied", "taken", "live_serial"}, true},
        {publish("1", "rel"), 1, "serial-too-low", {"server_unchanged"}},
        {publish("2", "rel2"), 1, "serial-reused"},
        {publish("4", "rel"), 1, "lock-busy", {}, false, nullptr, true},
        {publish("4", "rel", {"--sign-command", "cat >/dev/null; exit 3", "--pub", pub}), 1, "sign-command-failed"},
        {publish("4", "rel", {"--sign-command", "exec sleep 20", "--pub", pub, "--sign-timeout", "1"}), 1,
         "sign-command-timeout"},
        {publish("4", "rel", {"--sign-command", "openssl dgst -sha256 -sign " + d + "/other.pem", "--pub", pub}), 1,
         "signature-invalid"},
        {publish("4", "rel", {"--key", d + "/enc.pem"}), 1, "passphrase-needed"},
        {publish("4", "rel", {"--key", d + "/enc.pem", "--passphrase-file", d + "/wrong"}), 1, "passphrase-wrong"},
        {publish("4", "rel", {"--key", key, "--passphrase-env", "QUILLOR_TEST_NO_SUCH_VARIABLE"}), 1,
         "passphrase-missing"},
        {publish("4", "missing"), 1, "release-missing"},
        {publish("4", "link"), 1, "release-symlink"},
        {publish("4", "bad"), 1, "release-path-refused"},
        {publish("4", "fold"), 1, "release-file-folder-change", {"server_unchanged"}},
        {publish("1", "huge"), 1, "serial-too-low", {}, false, nullptr, false, "file-4gib"},
        {publish("1", "deep"), 1, "serial-too-low", {}, false, nullptr, false, "path-long"},
        {publish("4", "rel", {"--key", d + "/rel/game.exe"}), 1, "key-invalid"},
        {stage("3", "0", "srv"), 2, "usage"},
        {stage("3", "10", "empty"), 1, "not-published"},
        {stage("3", "10", "srv"), 0, "", {"serial", "tree", "files", "live_serial", "staged_serial", "share", "salt"},
         true},
        {stage("2", "20", "srv"), 1, "serial-too-low"},  // the staged serial again is a re-run
        {{"stage", "--json", "--key", key, "--serial", "4", "--share", "10", "@/flip", "@/srv"}, 1,
         "release-file-folder-change"},
        {publish("3", "rel3"), 1, "serial-staged"},
        {{"status", "--json", "--address", "127.0.0.1", "@/srv"}, 0, "",
         {"live_serial", "staged_serial", "share", "salt", "changed", "buckets_to_stage", "address", "bucket", "tree"}},
        {{"status", "--json", "--address", "no-address", "@/srv"}, 1, "address-invalid"},
        {{"status", "--json", "--address", "127.0.0.1", "--address", "127.0.0.2", "@/srv"}, 2, "usage"},
        {{"status", "--json", "--address", "", "@/srv"}, 2, "usage"},
        {{"widen", "--json", "--share", "5", "@/srv"}, 1, "share-narrower"},
        {{"widen", "--json", "--share", "30", "@/srv"}, 0, "", kSite},
        {{"promote", "--json", "@/srv"}, 0, "", {"live_serial"}},
        {{"widen", "--json", "--share", "40", "@/srv"}, 1, "no-stage"},
        {{"publish", "--json", "--key", key, "--serial", "1", "@/rel3", "@/lone.stage"}, 0, ""},
        {{"publish", "--json", "--key", key, "--serial", "1", "@/rel3", "@/lone"}, 0, ""},
        {{"stage", "--json", "--key", key, "--serial", "2", "--share", "5", "@/rel3", "@/lone"}, 1, "stage-not-ours"},
        {{"publish", "--json", "--key", key, "--serial", "2", "@/rel3", "@/lone.stage"}, 1, "server-dir-refused"},
        // rel3 holds no data.pak, so fold may follow it; back to rel would make the folder a file.
        {{"publish", "--json", "--key", key, "--serial", "1", "@/rel3", "@/rv"}, 0, ""},
        {{"publish", "--json", "--key", key, "--serial", "2", "@/fold", "@/rv"}, 0, "", {"serial"}},
        {{"revert", "--json", "--key", key, "--to", "1", "--serial", "3", "@/rv"}, 0, "", {"reverted_to"}},
        {{"publish", "--json", "--key", key, "--serial", "4", "@/rel", "@/rv"}, 1, "release-file-folder-change"},
        // Neither live nor staged, release 2 is still kept: its players hold data.pak as a folder.
        {{"prune", "--json", "--keep", "0", "@/rv"}, 0, "", {"history"}},
        {{"publish", "--json", "--key", key, "--serial", "4", "@/rel", "@/rv"}, 1, "release-file-folder-change"},
        {{"diff", "--json", "@/rel3", "@/srv"}, 0, "", {"added", "changed", "removed", "unchanged", "live_serial"}, true},
        {{"diff", "--json", "@/rel", "@/srv"}, 1, "differences", {"added", "removed", "download_bytes"}},
        {{"diff", "--json", "@/missing", "@/srv"}, 2, "release-missing"},
        {{"diff", "--json", "@/odd", "@/nothing"}, 1, "differences", {"added", "download_bytes"}},
        {{"diff", "--json", "--to", "2", "@/srv"}, 1, "differences",
         {"added", "changed", "removed", "unchanged", "download_bytes", "live_serial"}},
        {{"diff", "--json", "--to", "9", "@/srv"}, 2, "not-kept"},
        {{"history", "--json", "@/srv"}, 0, "", {"releases"}},
        {{"history", "--json", "@/nosuch"}, 1, "server-dir-missing"},
        {{"revert", "--json", "--key", key, "--to", "2", "--serial", "5", "--keep", "3", "@/srv"}, 0, "",
         {"serial", "tree", "files", "reverted_to", "again", "live_serial"}},
        {{"prune", "--json", "--keep", "2", "@/srv"}, 0, "", {"history"}},
        {{"verify", "--json", "--key", "@/k.pub.pem", "@/srv"}, 0, "", {"target", "serial", "files", "bytes"}, true},
        {{"verify", "--json", "--key", "@/k.pub.pem", "--expect-serial", "9", "@/srv"}, 1, "serial-unexpected"},
        {{"verify", "--json", "--key", "@/k.pub.pem", "--expect-serial", "9", "--wait", "1", "@/srv"}, 1,
         "wait-timeout"},  // its "not yet" lines go to stderr
        {{"verify", "--json", "--key", "@/other.pem.pub.pem", "@/srv"}, 1, "signature-invalid"},
        {{"verify", "--json", "--key", "@/k.pub.pem", "@/nowhere"}, 1, "server-dir-missing"},
        {{"verify", "--json", "--key", "@/k.pub.pem", "--timeout", "5", "http://127.0.0.1:1/"}, 1, "fetch-failed"},
        {{"verify", "--json", "--key", "@/k.pub.pem", "@/srv"}, 1, "file-mismatch", {}, false,
         [](const std::string& at) { AlterKeepingTimes(at + "/srv/files/game.exe"); }},
        {{"verify", "--json", "--key", "@/k.pub.pem", "@/srv"}, 1, "file-missing", {}, false,
         [](const std::string& at) { unlink((at + "/srv/files/game.exe").c_str()); }},
        {{"verify", "--json", "--key", "@/k.pub.pem", "@/srv"}, 1, "manifest-invalid", {}, false,
         [](const std::string& at) { WriteFileText(at + "/srv/manifest.txt", "not a manifest\n"); }},
        {{"report", "--json", "@/srv", "@/no-such.log"}, 0, "", {"report", "notes"}},
        {{"report", "--json", "--until", "soon", "@/srv", "@/no-such.log"}, 2, "usage"},
        {{"blob", "--json", "@/k.pub.pem", "@/k.blob"}, 0, "", {"out", "bytes"}},
        {{"blob", "--json", "@/absent.pem", "@/k.blob2"}, 1, "blob-failed"},
        {{"serve", "--json", "--bind", "192.0.2.1", "--port", "0", "@/srv"}, 1, "listen-failed"},
        {{"--json", "help"}, 0, "", {"commands", "usage"}},
        {{"help", "--json", "publish"}, 0, "", {"topic", "options", "switches", "usage"}},
        {{"publish", "--json", "--help"}, 0, "", {"topic", "usage"}},
        {{"--version", "--json"}, 0, "", {"version"}},
        {{"--json"}, 2, "usage"},
        {{"pubish", "--json"}, 2, "unknown-command"},
        {{"publish", "--json", "--sha", "1"}, 2, "unknown-option"},
        {{"verify", "--json", "--key", "@/k.pub.pem", "--wait", "x", "@/srv"}, 2, "usage"},
    };
    std::set<std::string> codes;
    for (const JsonCase& c : cases) {
        std::vector<std::string> argv = {QUILLOR_PUBLISH_EXE};
        for (std::string arg : c.args) {
            if (arg.compare(0, 2, "@/") == 0) arg = d + arg.substr(1);
            argv.push_back(arg);
        }
        if (c.before) c.before(d);
        if (c.underLock) argv.insert(argv.begin(), {"flock", "--nonblock", d + "/srv.lock"});
        std::string shown = c.args[0] + " " + (c.args.size() > 1 ? c.args[1] : "") + " -> " +
                            std::to_string(c.exitCode) + " " + c.code;
        CommandResult run = RunCommand(argv, 60);
        ASSERT_EQ(run.exitCode, c.exitCode) << shown << "\n" << run.out << run.err;
        json result;
        int progress = 0;
        std::string command = c.args[0] == "--json" && c.args.size() > 1 ? c.args[1] : c.args[0];
        if (command == "--version") command = "version";
        if (command == "--json") command = "help";
        std::set<std::string> seen;
        CheckJsonLines(run.out, c.exitCode, command, result, progress, seen);
        codes.insert(seen.begin(), seen.end());
        EXPECT_TRUE(c.code.empty() || seen.count(c.code) == 1) << shown << "\n" << result;
        bool warned = false;
        for (const json& warning : result.value("warnings", json::array()))
            warned = warned || warning.value("code", "") == c.warning;
        EXPECT_TRUE(c.warning.empty() || warned) << shown << "\n" << result;
        for (const std::string& field : c.fields)
            EXPECT_TRUE(result.contains(field) && !result[field].is_null()) << shown << ": " << field << "\n" << result;
        EXPECT_TRUE(!c.progress || progress >= 1) << shown;
    }
    // Every code the rules can give was produced above.
    for (const ProblemRule& rule : ProblemRules()) EXPECT_EQ(codes.count(rule.code), 1u) << rule.code;
}

// serve --json: the listening line names the port, one line per request, a result when stopped.
TEST(PublishJson, ServeWritesOneLinePerRequestAndAResultWhenStopped) {
    TempDir dir;
    mkdir((dir / "srv").c_str(), 0755);
    WriteFileText(dir / "srv/manifest.txt", "serial 1\n");
    BackgroundProcess server = StartBackground({QUILLOR_PUBLISH_EXE, "serve", "--json", "--port", "0", dir / "srv"},
                                               dir / "out", dir / "err");
    std::string first = WaitForText(dir / "out", "\n");
    json listening = json::parse(first.substr(0, first.find('\n')), nullptr, false);
    ASSERT_TRUE(listening.is_object() && listening["type"] == "listening") << first;
    int port = listening["port"];
    EXPECT_EQ(RawHttp(port, "GET", "/manifest.txt").status, 200);
    EXPECT_EQ(RawHttp(port, "GET", "/nothing").status, 404);
    WaitForText(dir / "out", "/nothing");
    ASSERT_EQ(StopBackground(server), 0);
    json result;
    int progress = 0;
    std::set<std::string> codes;
    CheckJsonLines(ReadFileText(dir / "out"), 0, "serve", result, progress, codes);
    EXPECT_EQ(result["port"], port);
    EXPECT_EQ(result["requests"], 2);
    EXPECT_NE(ReadFileText(dir / "out").find("{\"type\":\"request\",\"method\":\"GET\",\"target\":\"/nothing\","
                                              "\"status\":404,\"bytes\":"),
              std::string::npos);
    EXPECT_NE(ReadFileText(dir / "err").find("serving "), std::string::npos);
}

// Any bytes in a name give valid JSON that reads back as the same text where it was valid UTF-8.
TEST(PublishJson, StringsOfAnyBytesAreValidJson) {
    const std::pair<std::string, std::string> kCases[] = {
        {"plain", "plain"},
        {"Gr\xC3\xBC\xC3\x9F" "e \xF0\x9F\x8E\xAE", "Gr\xC3\xBC\xC3\x9F" "e \xF0\x9F\x8E\xAE"},
        {"quote \" back \\ tab \t nl \n", "quote \" back \\ tab \t nl \n"},
        {std::string("nul \0 bell \x07 del \x7f", 17), std::string("nul \0 bell \x07 del \x7f", 17)},
        {"lone \xff", "lone \xC3\xBF"},                        // invalid bytes become U+00XX
        {"cut \xE2\x82", "cut \xC3\xA2\xC2\x82"},              // a sequence cut short
        {"overlong \xC0\xAF", "overlong \xC3\x80\xC2\xAF"},    // an overlong slash is no slash
        {"surrogate \xED\xA0\x80", "surrogate \xC3\xAD\xC2\xA0\xC2\x80"},
    };
    for (const auto& c : kCases) {
        json parsed = json::parse(JsonString(c.first), nullptr, false);
        ASSERT_TRUE(parsed.is_string()) << JsonString(c.first);
        EXPECT_EQ(parsed.get<std::string>(), c.second) << JsonString(c.first);
    }
}

// The human side of the command line: version, one command's usage, the nearest valid name.
TEST(PublishCommandLine, HelpVersionAndNearestNames) {
    struct Case {
        std::vector<std::string> args;
        int exitCode;
        std::string out;  // must be in stdout
        std::string err;  // must be in stderr
        std::string notOut = "";
    };
    const Case kCases[] = {
        {{"--version"}, 0, std::string("quillor-publish ") + QUILLOR_PUBLISH_VERSION + "\n", ""},
        {{"help", "widen"}, 0, "usage: quillor-publish widen --share P SERVER_DIR", "", "promote SERVER_DIR"},
        {{"widen", "--help"}, 0, "usage: quillor-publish widen --share P SERVER_DIR", "", "promote SERVER_DIR"},
        {{"help", "verify"}, 0, "  2  a usage error", "", "serve [--bind"},
        {{"help"}, 0, "serve [--bind ADDRESS]", ""},
        {{}, 2, "", "usage: quillor-publish COMMAND"},
        {{"help", "frob"}, 2, "", "no command \"frob\"; did you mean"},
        {{"pubish", "a"}, 2, "", "unknown command \"pubish\"; did you mean publish?"},
        {{"publish", "--sha", "1"}, 2, "", "unknown option --sha; did you mean --serial?"},
        {{"stage", "--sahre", "3"}, 2, "", "unknown option --sahre; did you mean --share?"},
        {{"verify", "--expect", "3"}, 2, "", "did you mean --expect-serial?"},
        {{"keygen", "--forse", "k"}, 2, "", "did you mean --force?"},
        {{"publish", "--key", "a", "--key", "b"}, 2, "", "--key is given twice"},
        {{"serve", "--bind", "", "x"}, 2, "", "--bind needs a value, not an empty one"},
        {{"serve", "--port"}, 2, "", "--port needs a value"},
    };
    for (const Case& c : kCases) {
        CommandResult run = RunTool(c.args);
        std::string shown = c.args.empty() ? "(none)" : c.args[0];
        EXPECT_EQ(run.exitCode, c.exitCode) << shown << run.err;
        EXPECT_NE(run.out.find(c.out), std::string::npos) << shown << "\n" << run.out;
        EXPECT_NE(run.err.find(c.err), std::string::npos) << shown << "\n" << run.err;
        EXPECT_TRUE(c.notOut.empty() || run.out.find(c.notOut) == std::string::npos) << shown;
    }
}

}  // namespace
