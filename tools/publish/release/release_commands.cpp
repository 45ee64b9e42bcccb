// The release commands (diff, history, prune) and the options that publish, stage and revert share.
#include "release/release_commands.h"

#include "core/cli_args.h"
#include "core/fs_util.h"
#include "core/output.h"
#include "keys/key_files.h"
#include "keys/signer.h"
#include "release/diff.h"
#include "release/history.h"
#include "release/revert.h"
#include "tree/tree_swap.h"

#include <cstdio>
#include <string>
#include <vector>

bool ParseKeep(const Args& args, unsigned& keep) {
    uint64_t value = 0;
    if (!ParseSerialArgument(Option(args, "--keep", std::to_string(kDefaultKeep)), value) || value > 100000)
        return false;
    keep = static_cast<unsigned>(value);
    return true;
}

int ReadPublishOptions(const Args& args, const char* command, PublishOptions& options, std::string& passphrase,
                       size_t folders) {
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
    options.blocks = !HasFlag(args, "--no-blocks");
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
    if (!options.blocks) {
        ResultJson("block_files", "null");
        return;
    }
    // Block files: how many bodies have one, how many came over from an earlier tree unread, how
    // many needed their body read for it alone, and their bytes.
    std::fprintf(HumanOut(), "patch/: %llu block file(s) (%llu reused, %llu made from a body read for it), %llu bytes\n",
                 static_cast<unsigned long long>(report.patch.bodies), static_cast<unsigned long long>(report.patch.reused),
                 static_cast<unsigned long long>(report.patch.made),
                 static_cast<unsigned long long>(report.patch.blockBytes));
    ResultJson("block_files", "{\"bodies\":" + std::to_string(report.patch.bodies) +
                                 ",\"reused\":" + std::to_string(report.patch.reused) +
                                 ",\"made\":" + std::to_string(report.patch.made) +
                                 ",\"bytes\":" + std::to_string(report.patch.blockBytes) + "}");
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

namespace {

// A site with neither its folder nor its history: a mistyped name, which no listing calls empty.
bool NoSuchSite(const std::string& serverDir) {
    return !PathExists(serverDir) && !PathExists(HistoryPathFor(serverDir));
}

std::string NoSuchSiteText(const std::string& serverDir) {
    return serverDir + ": no such server folder, and no " + HistoryPathFor(serverDir) + " beside it";
}

}  // namespace

int RunHistory(const Args& args) {
    if (args.positionals.size() != 1) return Usage("history needs SERVER_DIR");
    if (NoSuchSite(args.positionals[0])) return Fail(NoSuchSiteText(args.positionals[0]));
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
    if (NoSuchSite(site)) return Fail(NoSuchSiteText(site));  // before the lock, which would stay behind
    if (!LockExclusive(LockPathFor(site), lock, error)) return Fail(error);
    if (!IsFinishedTree(site)) return Fail(site + " is not a finished tree; the next publish recovers it, then prune");
    if (!TidyHistory(site, error) || !PruneHistory(site, keep, note, error)) return Fail(error);
    RemoveGoneEntries(false);
    std::fprintf(HumanOut(), "%s\n", note.empty() ? ("nothing to prune in " + HistoryPathFor(site)).c_str() : note.c_str());
    ResultText("history", note);
    return 0;
}
