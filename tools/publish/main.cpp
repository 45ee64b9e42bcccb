// quillor-publish: the publisher's command line (keygen, publish, stage, diff, verify, serve, blob).
#include "cli_args.h"
#include "cohort.h"
#include "crypto.h"
#include "diff.h"
#include "fs_util.h"
#include "key_files.h"
#include "output.h"
#include "publish.h"
#include "serve.h"
#include "signer.h"
#include "stage.h"
#include "usage_text.h"
#include "verify.h"
#include "verify_wait.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#ifndef QUILLOR_PUBLISH_VERSION
#define QUILLOR_PUBLISH_VERSION "unknown"
#endif

namespace {

struct Command {
    const char* name;
    CommandOptions options;
    const char* usage;
    int (*run)(const Args& args);
};

const std::vector<Command>& Commands();

const Command* FindCommand(const std::string& name) {
    for (const Command& command : Commands())
        if (name == command.name) return &command;
    return nullptr;
}

std::vector<std::string> CommandNames() {
    std::vector<std::string> names;
    for (const Command& command : Commands()) names.push_back(command.name);
    return names;
}

std::string OverviewText() {
    std::string text = kOverviewHead;
    for (const Command& command : Commands()) text += command.usage;
    return text + "\n" + kCommonText + kExitText;
}

std::string CommandUsageText(const Command& command) {
    std::string usage = command.usage;
    return "usage: quillor-publish " + usage.substr(2) + "\n" + kCommonText + kExitText;
}

int Usage(const std::string& message, const std::string& code = "usage") {
    ReportProblem(message, code);
    const Command* command = FindCommand(OutputCommand());
    std::fprintf(stderr, "(see quillor-publish help%s%s)\n", command ? " " : "", command ? command->name : "");
    return 2;
}

int Fail(const std::string& message) {
    ReportProblem(message);
    return 1;
}

int PrintProblems(const std::vector<std::string>& problems) {
    for (const std::string& problem : problems) ReportProblem(problem);
    return 1;
}

// help [COMMAND]: the text on stdout (stderr with --json); the names for completion in the result.
int ShowHelp(const std::string& topic, int exitCode) {
    const Command* command = topic.empty() ? nullptr : FindCommand(topic);
    if (!topic.empty() && command == nullptr)
        return Usage("no command \"" + topic + "\"; did you mean " + NearestName(topic, CommandNames()) + "?",
                     "unknown-command");
    std::string text = command ? CommandUsageText(*command) : OverviewText();
    std::fputs(text.c_str(), exitCode == 0 ? HumanOut() : stderr);
    for (const std::string& name : CommandNames()) ResultAppend("commands", JsonString(name));
    if (command != nullptr) {
        ResultText("topic", command->name);
        for (const std::string& name : command->options.valued) ResultAppend("options", JsonString(name));
        for (const std::string& name : command->options.switches) ResultAppend("switches", JsonString(name));
    }
    ResultText("usage", text);
    return exitCode;
}

int RunHelp(const Args& args) {
    if (args.positionals.size() > 1) return Usage("help takes one COMMAND at most");
    return ShowHelp(args.positionals.empty() ? "" : args.positionals[0], 0);
}

// The serials, share and salt of the site as it is now, for the result object.
void SiteFields(const std::string& serverDir) {
    SiteState site;
    std::string error;
    if (!ReadSite(serverDir, site, error)) return;
    ResultJson("live_serial", site.livePresent ? std::to_string(site.liveSerial) : "null");
    bool staged = site.open && site.statePresent;
    ResultJson("staged_serial", staged ? std::to_string(site.stageSerial) : "null");
    ResultJson("share", staged ? std::to_string(site.state.share) : "null");
    ResultJson("salt", staged ? std::to_string(site.state.salt) : "null");
}

int RunKeygen(const Args& args) {
    if (args.positionals.size() != 1) return Usage("keygen needs exactly one NAME");
    const std::string& name = args.positionals[0];
    std::string error, passphrase;
    std::string passphraseFile = Option(args, "--passphrase-file", "");
    if (!passphraseFile.empty() && !ReadPassphraseFile(passphraseFile, passphrase, error)) return Fail(error);
    std::string note;
    if (!CompleteKeyReplacement(name, note, error)) return Fail(error);
    if (!note.empty()) std::fprintf(stderr, "%s\n", note.c_str());
    RemoveKeyLeftovers(name);
    if (!GenerateKeyPair(name, HasFlag(args, "--force"), passphraseFile.empty() ? nullptr : &passphrase, error))
        return Fail(error);
    std::fprintf(HumanOut(), "wrote %s.pem (private, keep it secret) and %s.pub.pem\n", name.c_str(), name.c_str());
    ResultText("private_key", name + ".pem");
    ResultText("public_key", name + ".pub.pem");
    ResultBool("encrypted", !passphraseFile.empty());
    return 0;
}

// Fills options from the key, signer, serial and folder arguments that publish and stage share;
// 0 when they are complete, else the exit code of the usage error or failure already printed.
int ReadPublishOptions(const Args& args, const char* command, PublishOptions& options, std::string& passphrase) {
    options.keyPath = Option(args, "--key", "");
    options.signCommand = Option(args, "--sign-command", "");
    options.pubPath = Option(args, "--pub", "");
    std::string serial = Option(args, "--serial", "");
    std::string passphraseFile = Option(args, "--passphrase-file", "");
    std::string passphraseEnv = Option(args, "--passphrase-env", "");
    if (options.keyPath.empty() == options.signCommand.empty() || serial.empty() || args.positionals.size() != 2)
        return Usage(std::string(command) + " needs --key or --sign-command, --serial, RELEASE_DIR and SERVER_DIR");
    if (!options.signCommand.empty() && options.pubPath.empty())
        return Usage("--sign-command needs --pub PUBLIC.pem to check what the command signs");
    if (!passphraseFile.empty() && !passphraseEnv.empty())
        return Usage("give the passphrase once: --passphrase-file or --passphrase-env");
    if (!ParseSerialArgument(serial, options.serial))
        return Usage("--serial must be a decimal number from 0 to 18446744073709551615");
    uint64_t jobs = 0;
    if (!ParseSerialArgument(Option(args, "--jobs", "0"), jobs) || jobs > 256)
        return Usage("--jobs must be a number from 1 to 256 (0: one per core)");
    options.jobs = static_cast<unsigned>(jobs);
    uint64_t signTimeout = 0;
    if (!ParseSerialArgument(Option(args, "--sign-timeout", "300"), signTimeout) || signTimeout < 1 ||
        signTimeout > 86400)
        return Usage("--sign-timeout must be 1 to 86400 seconds");
    options.signTimeoutSeconds = static_cast<int>(signTimeout);
    std::string error;
    if ((!passphraseFile.empty() && !ReadPassphraseFile(passphraseFile, passphrase, error)) ||
        (!passphraseEnv.empty() && !ReadPassphraseEnv(passphraseEnv, passphrase, error)))
        return Fail(error);
    if (!passphrase.empty()) options.passphrase = &passphrase;
    options.releaseDir = args.positionals[0];
    options.serverDir = args.positionals[1];
    options.force = HasFlag(args, "--force");
    options.checksum = HasFlag(args, "--checksum");
    return 0;
}

int PublishFailed(const std::vector<std::string>& problems, const PublishReport& report, const std::string& dir) {
    PrintProblems(problems);
    ResultBool("server_unchanged", report.serverUnchanged);
    std::fprintf(stderr, "quillor-publish: %s\n",
                 report.serverUnchanged ? ("nothing was published; " + dir + " is unchanged").c_str()
                                        : ("the publish did not complete; see above for the state of " + dir).c_str());
    return 1;
}

void PrintPublished(const PublishOptions& options, const PublishReport& report, const std::string& note) {
    std::fprintf(HumanOut(),
                 "published serial %llu: %llu files, %llu bytes in %s (%llu read from the release, %llu taken "
                 "over unchanged)\n",
                 static_cast<unsigned long long>(options.serial), static_cast<unsigned long long>(report.files),
                 static_cast<unsigned long long>(report.bytes), options.serverDir.c_str(),
                 static_cast<unsigned long long>(report.copied), static_cast<unsigned long long>(report.taken));
    if (!note.empty()) std::fprintf(HumanOut(), "%s\n", note.c_str());
    ResultNumber("serial", options.serial);
    ResultText("tree", options.serverDir);
    ResultNumber("files", report.files);
    ResultNumber("bytes", report.bytes);
    ResultNumber("copied", report.copied);
    ResultNumber("taken", report.taken);
}

int RunPublish(const Args& args) {
    PublishOptions options;
    std::string passphrase, note;
    if (int code = ReadPublishOptions(args, "publish", options, passphrase)) return code;
    std::vector<std::string> problems;
    PublishReport report;
    if (!PublishLive(options, problems, report, note)) return PublishFailed(problems, report, options.serverDir);
    PrintPublished(options, report, note);
    SiteFields(options.serverDir);
    return 0;
}

// A share in per cent: 1 to 100.
bool ParseShare(const Args& args, int& share) {
    uint64_t value = 0;
    if (!ParseSerialArgument(Option(args, "--share", ""), value) || value < 1 || value > 100) return false;
    share = static_cast<int>(value);
    return true;
}

int RunStage(const Args& args) {
    PublishOptions options;
    std::string passphrase, note, salt = Option(args, "--salt", "");
    if (int code = ReadPublishOptions(args, "stage", options, passphrase)) return code;
    int share = 0;
    uint64_t saltValue = 0;
    if (!ParseShare(args, share)) return Usage("stage needs --share P, a whole per cent from 1 to 100");
    if (!salt.empty() && !ParseSerialArgument(salt, saltValue)) return Usage("--salt must be a decimal number");
    std::vector<std::string> problems;
    PublishReport report;
    if (!StageRelease(options, share, !salt.empty(), saltValue, problems, report, note)) {
        PrintProblems(problems);
        ResultBool("server_unchanged", true);
        std::fprintf(stderr, "quillor-publish: nothing was staged; the live tree %s is unchanged\n",
                     options.serverDir.c_str());
        return 1;
    }
    std::string serverDir = options.serverDir;
    options.serverDir = StageTreePathFor(serverDir);
    PrintPublished(options, report, note);
    SiteFields(serverDir);
    return 0;
}

int RunWiden(const Args& args) {
    int share = 0;
    if (!ParseShare(args, share) || args.positionals.size() != 1)
        return Usage("widen needs --share P (1 to 100) and SERVER_DIR");
    std::string note, error;
    if (!WidenStage(args.positionals[0], share, note, error)) return Fail(error);
    std::fprintf(HumanOut(), "%s\n", note.c_str());
    SiteFields(args.positionals[0]);
    return 0;
}

int RunPromote(const Args& args) {
    if (args.positionals.size() != 1) return Usage("promote needs SERVER_DIR");
    std::string note, error;
    if (!PromoteStage(args.positionals[0], note, error)) return Fail(error);
    std::fprintf(HumanOut(), "%s\n", note.c_str());
    SiteFields(args.positionals[0]);
    return 0;
}

// The status of the site as result fields; with an address, where that player goes.
void StatusFields(const std::string& serverDir, const std::string& address) {
    SiteState site;
    std::string error, shown;
    if (!ReadSite(serverDir, site, error)) return;
    SiteFields(serverDir);
    bool staged = site.open && site.statePresent;
    ResultJson("changed", staged ? std::to_string(site.state.changed) : "null");
    ResultJson("buckets_to_stage", site.linkedToStage < 0 ? "null" : std::to_string(site.linkedToStage));
    if (address.empty() || !AddressText(address, shown)) return;
    int bucket = BucketOfAddressText(shown);
    bool getsStage = staged && BucketStaged(site.state.order, site.state.share, bucket);
    ResultText("address", shown);
    ResultText("bucket", BucketName(bucket));
    ResultText("tree", getsStage ? "stage" : "live");
    ResultJson("joins_at_share",
               staged && !getsStage ? std::to_string(BucketPosition(site.state.order, bucket) + 1) : "null");
}

int RunStatus(const Args& args) {
    if (args.positionals.size() != 1) return Usage("status needs SERVER_DIR");
    std::string text, error, address = Option(args, "--address", "");
    if (!DescribeSite(args.positionals[0], address, text, error)) return Fail(error);
    std::fputs(text.c_str(), HumanOut());
    StatusFields(args.positionals[0], address);
    return 0;
}

int RunDiff(const Args& args) {
    if (args.positionals.size() != 2) return Usage("diff needs RELEASE_DIR and one SERVER_DIR or base URL");
    return DiffRelease(args.positionals[0], args.positionals[1], HasFlag(args, "--checksum"));
}

// "serial 42, 3 files, 1024 bytes" (VerifyServer's summary) as result fields.
void SummaryFields(const std::string& summary) {
    const char* names[3] = {"serial", "files", "bytes"};
    size_t at = 0;
    for (const char* name : names) {
        at = summary.find_first_of("0123456789", at);
        size_t end = summary.find_first_not_of("0123456789", at);
        uint64_t value = 0;
        if (at == std::string::npos || !ParseSerialArgument(summary.substr(at, end - at), value)) return;
        ResultNumber(name, value);
        at = end;
    }
}

int RunVerify(const Args& args) {
    std::string key = Option(args, "--key", "");
    if (key.empty() || args.positionals.size() != 1)
        return Usage("verify needs --key and one SERVER_DIR or base URL");
    VerifyWait wait;
    std::string serial = Option(args, "--expect-serial", "");
    wait.expectSerial = !serial.empty();
    if ((wait.expectSerial && !ParseSerialArgument(serial, wait.serial)) ||
        !ParseSerialArgument(Option(args, "--wait", "0"), wait.seconds) || wait.seconds > 86400 ||
        !ParseSerialArgument(Option(args, "--timeout", "600"), wait.transferSeconds) || wait.transferSeconds < 1 ||
        wait.transferSeconds > 86400)
        return Usage("--expect-serial must be a decimal number, --wait 0 to 86400 seconds, --timeout 1 to 86400");
    std::vector<std::string> problems;
    std::string summary;
    bool ok = VerifyUntil(key, args.positionals[0], wait, problems, summary);
    ResultText("target", args.positionals[0]);
    SummaryFields(summary);
    for (const std::string& problem : problems) {
        std::fprintf(HumanOut(), "%s\n", problem.c_str());
        ListProblem(problem, "");
    }
    if (!ok) {
        std::fprintf(HumanOut(), "FAILED: %zu problem(s)%s%s\n", problems.size(), summary.empty() ? "" : " in ",
                     summary.c_str());
        return 1;
    }
    std::fprintf(HumanOut(), "OK: %s\n", summary.c_str());
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
    std::fprintf(HumanOut(), "wrote %zu bytes to %s\n", blob.size(), args.positionals[1].c_str());
    ResultText("out", args.positionals[1]);
    ResultNumber("bytes", blob.size());
    return 0;
}

// To add a command: its options, its usage block (shown in this order) and its function.
const std::vector<Command>& Commands() {
    static const std::vector<Command> kCommands = {
        {"keygen", {{"--passphrase-file"}, {"--force"}, {}}, kKeygenUsage, RunKeygen},
        {"publish",
         {{"--key", "--serial", "--sign-command", "--pub", "--passphrase-file", "--passphrase-env", "--sign-timeout",
           "--jobs"},
          {"--force", "--checksum"},
          {}},
         kPublishUsage, RunPublish},
        {"stage",
         {{"--key", "--serial", "--share", "--salt", "--sign-command", "--pub", "--passphrase-file", "--passphrase-env",
           "--sign-timeout", "--jobs"},
          {"--checksum"},
          {}},
         kStageUsage, RunStage},
        {"widen", {{"--share"}, {}, {}}, kWidenUsage, RunWiden},
        {"promote", {{}, {}, {}}, kPromoteUsage, RunPromote},
        {"status", {{"--address"}, {}, {}}, kStatusUsage, RunStatus},
        {"diff", {{}, {"--checksum"}, {}}, kDiffUsage, RunDiff},
        {"verify", {{"--key", "--expect-serial", "--wait", "--timeout"}, {}, {}}, kVerifyUsage, RunVerify},
        {"serve", {{"--bind", "--port"}, {}, {}}, kServeUsage, RunServe},
        {"blob", {{}, {}, {}}, kBlobUsage, RunBlob},
        {"help", {{}, {}, {}}, kHelpUsage, RunHelp},
    };
    return kCommands;
}

int RunCommandLine(std::vector<std::string> args) {
    // --json counts anywhere before "--", so that even a usage error ends with a result object.
    auto end = std::find(args.begin(), args.end(), "--");
    bool json = std::find(args.begin(), end, "--json") != end;
    if (!args.empty() && args[0] == "--json") args.erase(args.begin());
    std::string name = args.empty() ? "" : args[0];
    if (name == "--version" || name == "-V") {
        StartOutput("version", json);
        std::fprintf(HumanOut(), "quillor-publish %s\n", QUILLOR_PUBLISH_VERSION);
        ResultText("version", QUILLOR_PUBLISH_VERSION);
        return 0;
    }
    if (name.empty() || name == "--help" || name == "-h") {
        StartOutput("help", json);
        if (name.empty()) ListProblem("a command is needed", "usage");
        return ShowHelp("", name.empty() ? 2 : 0);
    }
    StartOutput(name, json);
    const Command* command = FindCommand(name);
    if (command == nullptr)
        return Usage("unknown command \"" + name + "\"; did you mean " + NearestName(name, CommandNames()) + "?",
                     "unknown-command");
    Args parsed;
    std::string error;
    if (!SplitArgs(std::vector<std::string>(args.begin() + 1, args.end()), command->options, parsed, error))
        return Usage(error, error.compare(0, 15, "unknown option ") == 0 ? "unknown-option" : "usage");
    if (HasFlag(parsed, "--help")) return ShowHelp(command->name, 0);
    return command->run(parsed);
}

}  // namespace

int main(int argc, char** argv) {
    int exitCode = RunCommandLine(std::vector<std::string>(argv + 1, argv + argc));
    return FinishOutput(exitCode);
}
