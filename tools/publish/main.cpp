// quillor-publish: the publisher's command line (keygen, publish, stage, revert, history, diff, verify, serve, blob).
#include "cli_args.h"
#include "cohort.h"
#include "crypto.h"
#include "diff.h"
#include "fs_util.h"
#include "history.h"
#include "key_files.h"
#include "output.h"
#include "publish.h"
#include "report/health_gate.h"
#include "report/report_command.h"
#include "revert.h"
#include "serve.h"
#include "signer.h"
#include "site.h"
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

// --keep N: how many releases the history keeps.
bool ParseKeep(const Args& args, unsigned& keep) {
    uint64_t value = 0;
    if (!ParseSerialArgument(Option(args, "--keep", std::to_string(kDefaultKeep)), value) || value > 100000)
        return false;
    keep = static_cast<unsigned>(value);
    return true;
}

// Fills options from the key, signer, serial, history and folder arguments that publish, stage
// and revert share (folders: 2 with RELEASE_DIR, 1 without); 0 when they are complete, else the
// exit code of the usage error or failure already printed.
int ReadPublishOptions(const Args& args, const char* command, PublishOptions& options, std::string& passphrase,
                       size_t folders = 2) {
    options.keyPath = Option(args, "--key", "");
    options.signCommand = Option(args, "--sign-command", "");
    options.pubPath = Option(args, "--pub", "");
    std::string serial = Option(args, "--serial", "");
    std::string passphraseFile = Option(args, "--passphrase-file", "");
    std::string passphraseEnv = Option(args, "--passphrase-env", "");
    if (options.keyPath.empty() == options.signCommand.empty() || serial.empty() || args.positionals.size() != folders)
        return Usage(std::string(command) + " needs --key or --sign-command, --serial, " +
                     (folders == 2 ? "RELEASE_DIR and SERVER_DIR" : "SERVER_DIR"));
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
    options.message = Option(args, "--message", "");
    if (!CheckMessage(options.message, error)) return Usage(error);
    if (!ParseKeep(args, options.keep)) return Usage("--keep must be a number of releases from 0 to 100000");
    if ((!passphraseFile.empty() && !ReadPassphraseFile(passphraseFile, passphrase, error)) ||
        (!passphraseEnv.empty() && !ReadPassphraseEnv(passphraseEnv, passphrase, error)))
        return Fail(error);
    if (!passphrase.empty()) options.passphrase = &passphrase;
    options.releaseDir = folders == 2 ? args.positionals[0] : std::string();
    options.serverDir = args.positionals[folders - 1];
    options.force = HasFlag(args, "--force");
    options.checksum = HasFlag(args, "--checksum");
    return 0;
}

int PublishFailed(const std::vector<std::string>& problems, const PublishReport& report, const std::string& dir) {
    PrintProblems(problems);
    ResultBool("server_unchanged", report.serverUnchanged);
    std::string outcome = !report.serverUnchanged ? "the publish did not complete; see above for the state of " + dir
                          : RecoveredThisRun()    ? "nothing was published; " + dir + " holds the tree put back above"
                                                  : "nothing was published; " + dir + " is unchanged";
    std::fprintf(stderr, "quillor-publish: %s\n", outcome.c_str());
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
    if (!report.historyNote.empty()) std::fprintf(HumanOut(), "%s\n", report.historyNote.c_str());
    if (!options.message.empty()) ResultText("message", options.message);
    if (!report.historyNote.empty()) ResultText("history", report.historyNote);
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
        std::fprintf(stderr, "quillor-publish: %s\n",
                     RecoveredThisRun() ? "nothing was staged; see above for the tree put back"
                                        : ("nothing was staged; the live tree " + options.serverDir + " is unchanged").c_str());
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
    if (int code = StageHealthGate(args, args.positionals[0])) return code;
    std::string note, error;
    if (!WidenStage(args.positionals[0], share, note, error)) return Fail(error);
    std::fprintf(HumanOut(), "%s\n", note.c_str());
    SiteFields(args.positionals[0]);
    return 0;
}

int RunPromote(const Args& args) {
    unsigned keep = kDefaultKeep;
    if (args.positionals.size() != 1 || !ParseKeep(args, keep))
        return Usage("promote needs SERVER_DIR (and --keep 0 to 100000)");
    if (int code = StageHealthGate(args, args.positionals[0])) return code;
    std::string note, error;
    if (!PromoteStage(args.positionals[0], keep, note, error)) return Fail(error);
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
    std::string to = Option(args, "--to", "");
    uint64_t serial = 0;
    if (!to.empty() && (!ParseSerialArgument(to, serial) || args.positionals.size() != 1))
        return Usage("diff --to needs a decimal SERIAL and one SERVER_DIR");
    if (!to.empty()) return DiffToKept(args.positionals[0], serial);
    if (args.positionals.size() != 2) return Usage("diff needs RELEASE_DIR and one SERVER_DIR or base URL");
    uint64_t timeout = 0;
    if (!ParseSerialArgument(Option(args, "--timeout", "600"), timeout) || timeout < 1 || timeout > 86400)
        return Usage("--timeout must be 1 to 86400 seconds");
    return DiffRelease(args.positionals[0], args.positionals[1], HasFlag(args, "--checksum"), timeout);
}

int RunRevert(const Args& args) {
    PublishOptions options;
    std::string passphrase, note, share = Option(args, "--share", ""), salt = Option(args, "--salt", "");
    if (int code = ReadPublishOptions(args, "revert", options, passphrase, 1)) return code;
    int shareValue = 0;
    uint64_t saltValue = 0;
    options.revert = true;
    if (!ParseSerialArgument(Option(args, "--to", ""), options.revertSerial))
        return Usage("revert needs --to SERIAL, the kept release to publish again");
    if (!share.empty() && !ParseShare(args, shareValue)) return Usage("--share must be a whole per cent from 1 to 100");
    if (!salt.empty() && (share.empty() || !ParseSerialArgument(salt, saltValue)))
        return Usage("--salt needs --share and a decimal number");
    std::vector<std::string> problems;
    PublishReport report;
    bool ok = share.empty() ? PublishLive(options, problems, report, note)
                            : StageRelease(options, shareValue, !salt.empty(), saltValue, problems, report, note);
    if (!ok) return PublishFailed(problems, report, options.serverDir);
    const std::string serverDir = options.serverDir;
    if (!share.empty()) options.serverDir = StageTreePathFor(serverDir);
    note = "the kept release of serial " + std::to_string(options.revertSerial) + " again, no body read" +
           (note.empty() ? "" : "\n" + note);
    PrintPublished(options, report, note);
    ResultNumber("reverted_to", options.revertSerial);
    SiteFields(serverDir);
    return 0;
}

int RunHistory(const Args& args) {
    if (args.positionals.size() != 1) return Usage("history needs SERVER_DIR");
    std::vector<KeptRelease> releases;
    std::string text, error;
    if (!HistoryListing(args.positionals[0], text, error) || !ListHistory(args.positionals[0], releases, error))
        return Fail(error);
    std::fputs(text.c_str(), HumanOut());
    ResultAppend("releases", "");
    for (const KeptRelease& release : releases) {
        std::string state = release.live ? "live" : release.staged ? "staged" : release.hasTree ? "kept" : "no-tree";
        ResultAppend("releases", "{\"serial\":" + std::to_string(release.serial) + ",\"state\":" + JsonString(state) +
                                     ",\"made_ns\":" + std::to_string(release.madeNs) +
                                     ",\"files\":" + std::to_string(release.files) +
                                     ",\"bytes\":" + std::to_string(release.bytes) + ",\"download\":" +
                                     (release.downloadKnown ? std::to_string(release.download) : "null") +
                                     ",\"manifest_sha256\":" + JsonString(release.digest) +
                                     ",\"message\":" + JsonString(release.message) + "}");
    }
    return 0;
}

int RunPrune(const Args& args) {
    unsigned keep = kDefaultKeep;
    if (args.positionals.size() != 1 || !ParseKeep(args, keep))
        return Usage("prune needs SERVER_DIR (and --keep 0 to 100000)");
    const std::string site = args.positionals[0];
    UniqueFd lock;
    std::string note, error;
    if (!LockExclusive(LockPathFor(site), lock, error)) return Fail(error);
    if (!IsFinishedTree(site)) return Fail(site + " is not a finished tree; the next publish recovers it, then prune");
    if (!TidyHistory(site, error) || !PruneHistory(site, keep, note, error)) return Fail(error);
    RemoveGoneEntries(false);
    std::fprintf(HumanOut(), "%s\n", note.empty() ? ("nothing to prune in " + HistoryPathFor(site)).c_str() : note.c_str());
    ResultText("history", note);
    return 0;
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

// To add a command: its options, its usage block (shown in this order) and its function.
const std::vector<Command>& Commands() {
    static const std::vector<Command> kCommands = {
        {"keygen", {{"--passphrase-file"}, {"--force"}, {}}, kKeygenUsage, RunKeygen},
        {"publish",
         {{"--key", "--serial", "--sign-command", "--pub", "--passphrase-file", "--passphrase-env", "--sign-timeout",
           "--jobs", "--message", "--keep"},
          {"--force", "--checksum"},
          {}},
         kPublishUsage, RunPublish},
        {"stage",
         {{"--key", "--serial", "--share", "--salt", "--sign-command", "--pub", "--passphrase-file", "--passphrase-env",
           "--sign-timeout", "--jobs", "--message", "--keep"},
          {"--checksum"},
          {}},
         kStageUsage, RunStage},
        {"revert",
         {{"--key", "--to", "--serial", "--share", "--salt", "--sign-command", "--pub", "--passphrase-file",
           "--passphrase-env", "--sign-timeout", "--message", "--keep"},
          {},
          {}},
         kRevertUsage, RunRevert},
        {"widen", {{"--share", "--health", "--max-failed", "--min-runs"}, {"--allow-few-runs"}, {"--health"}},
         kWidenUsage, RunWiden},
        {"promote", {{"--keep", "--health", "--max-failed", "--min-runs"}, {"--allow-few-runs"}, {"--health"}},
         kPromoteUsage, RunPromote},
        {"history", {{}, {}, {}}, kHistoryUsage, RunHistory},
        {"prune", {{"--keep"}, {}, {}}, kPruneUsage, RunPrune},
        {"status", {{"--address"}, {}, {}}, kStatusUsage, RunStatus},
        {"diff", {{"--to", "--timeout"}, {"--checksum"}, {}}, kDiffUsage, RunDiff},
        {"verify", {{"--key", "--expect-serial", "--wait", "--timeout"}, {}, {}}, kVerifyUsage, RunVerify},
        {"serve", {{"--bind", "--port"}, {}, {}}, kServeUsage, RunServe},
        {"site", {{"--bind", "--port", "--edge", "--vcl", "--access-log"}, {}, {"--edge"}}, kSiteUsage, RunSite},
        {"report", {{"--since", "--until", "--html"}, {"--addresses"}, {}}, kReportUsage, RunReport},
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
    int exitCode = FinishOutput(RunCommandLine(std::vector<std::string>(argv + 1, argv + argc)));
    RemoveGoneEntries(true);
    return exitCode;
}
