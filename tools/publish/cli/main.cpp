// quillor-publish: the publisher's command line (keygen, publish, stage, revert, history, diff, verify, serve, blob).
#include "check/check_commands.h"
#include "cli/usage_text.h"
#include "core/cli_args.h"
#include "core/output.h"
#include "keys/key_commands.h"
#include "release/history.h"
#include "release/release_commands.h"
#include "report/gated_commands.h"
#include "report/report_command.h"
#include "serve/serve_commands.h"
#include "stage/stage_commands.h"

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

// To add a command: its options, its usage block (shown in this order) and its function.
const std::vector<Command>& Commands() {
    static const std::vector<Command> kCommands = {
        {"keygen", {{"--passphrase-file"}, {"--force"}, {}}, kKeygenUsage, RunKeygen},
        {"publish",
         {{"--key", "--serial", "--sign-command", "--pub", "--passphrase-file", "--passphrase-env", "--sign-timeout",
           "--jobs", "--message", "--keep"},
          {"--force", "--checksum", "--no-blocks"},
          {}},
         kPublishUsage, RunPublish},
        {"stage",
         {{"--key", "--serial", "--share", "--salt", "--sign-command", "--pub", "--passphrase-file", "--passphrase-env",
           "--sign-timeout", "--jobs", "--message", "--keep"},
          {"--checksum", "--no-blocks"},
          {}},
         kStageUsage, RunStage},
        {"revert",
         {{"--key", "--to", "--serial", "--share", "--salt", "--sign-command", "--pub", "--passphrase-file",
           "--passphrase-env", "--sign-timeout", "--message", "--keep"},
          {"--no-blocks"},
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
    if (command != nullptr) SetHelpTopic(command->name);
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
