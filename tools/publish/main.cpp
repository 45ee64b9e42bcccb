// quillor-publish: the publisher's command line (keygen, publish, stage, diff, verify, serve, blob).
#include "crypto.h"
#include "diff.h"
#include "fs_util.h"
#include "history.h"
#include "key_files.h"
#include "publish.h"
#include "revert.h"
#include "serve.h"
#include "signer.h"
#include "stage.h"
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
    "  keygen [--force] [--passphrase-file F] NAME\n"
    "      Makes a new RSA-2048 key pair (e = 65537): NAME.pem (private, mode 0600; encrypted\n"
    "      with the first line of F when given) and NAME.pub.pem (public). Existing files are\n"
    "      only replaced with --force, and then both or neither: a replacement that was\n"
    "      interrupted is completed by the next keygen or publish with this key.\n"
    "  publish (--key PRIVATE.pem | --sign-command CMD --pub PUBLIC.pem) --serial N\n"
    "          [--pub PUBLIC.pem] [--passphrase-file F | --passphrase-env NAME]\n"
    "          [--sign-timeout SECONDS] [--checksum] [--force] [--jobs N] RELEASE_DIR SERVER_DIR\n"
    "      Builds a new tree beside SERVER_DIR: files/ with every file of RELEASE_DIR,\n"
    "      manifest.txt and its signature manifest.sig; then swaps it in as a whole. Refuses a\n"
    "      serial below the highest ever published to SERVER_DIR (SERVER_DIR.publish-serial\n"
    "      keeps it and the manifest's digest), the same serial with other contents (--force\n"
    "      allows both), symbolic links, paths the updater or Windows would refuse, and paths\n"
    "      that differ only in letter case; warns about updater.cfg. One publish per SERVER_DIR\n"
    "      at a time (lock SERVER_DIR.lock). A publish that was killed is recovered by the\n"
    "      next one: a tree it had set aside comes back when SERVER_DIR is missing, and its\n"
    "      own leftovers beside SERVER_DIR are removed; re-running it just works.\n"
    "      --jobs N reads, hashes and copies on N threads (default: one per core).\n"
    "      Incremental: a file is taken over from the live tree (hard link, else reflink or\n"
    "      an in-kernel copy) without being read when the release file has the size and\n"
    "      modification time that SERVER_DIR.publish-record noted when the live copy was made,\n"
    "      and the live copy still has its recorded inode, size and modification time. That\n"
    "      is trusted, as rsync trusts it; everything else is read, hashed and copied (so is a\n"
    "      file modified later than a second before the previous publish began). A file changed by a\n"
    "      tool that keeps size and time (or a clock set back) is missed: --checksum hashes\n"
    "      every release file and every live copy it would take over.\n"
    "      A release file that changes while it is read is read again, then refused.\n"
    "      --sign-command runs CMD with /bin/sh -c, the manifest on its standard input; its\n"
    "      standard output must be the raw 256-byte signature, e.g.\n"
    "      \"openssl dgst -sha256 -sign key.pem\" or pkcs11-tool --sign -m SHA256-RSA-PKCS.\n"
    "      It runs in a process group of its own, which holds the terminal while it runs (so a\n"
    "      token can ask for its PIN); --sign-timeout (default 300) bounds its whole life, after\n"
    "      which it and everything it started are killed. Every signature is checked with --pub\n"
    "      (or the key's own public half) before the swap. Passphrases come from a file or an\n"
    "      environment variable, never the command line.\n"
    "      A stage beside SERVER_DIR stays open while its serial is above the live one: a\n"
    "      publish refuses the staged serial, and one above it closes the stage.\n"
    "      SERVER_DIR.history keeps the releases (publish, stage and promote: the tree a swap\n"
    "      replaces moves there; bodies are shared hard links), with --message TEXT (one line,\n"
    "      at most 200 bytes); --keep N (default 10) bounds it, never pruning the live, the\n"
    "      staged or the previous release.\n"
    "  stage (--key PRIVATE.pem | --sign-command CMD --pub PUBLIC.pem) --serial N --share P\n"
    "        [--salt S] [--pub PUBLIC.pem] [--passphrase-file F | --passphrase-env NAME]\n"
    "        [--sign-timeout SECONDS] [--checksum] [--jobs N] RELEASE_DIR SERVER_DIR\n"
    "      Publishes RELEASE_DIR into SERVER_DIR.stage (unchanged bodies hard-linked from the\n"
    "      live tree) for P per cent (1 to 100) of the players, chosen by their address; the\n"
    "      rest keep the live tree. N must be above the live serial; while a stage is open a new\n"
    "      one needs a higher serial, at least its share and its salt (fixed by the first stage,\n"
    "      random unless --salt S). nginx-site.conf follows the links in SERVER_DIR.cohorts.\n"
    "  revert (--key PRIVATE.pem | --sign-command CMD --pub PUBLIC.pem) --to SERIAL --serial N\n"
    "         [--share P [--salt S]] [--message TEXT] [--keep N] [--pub PUBLIC.pem]\n"
    "         [--passphrase-file F | --passphrase-env NAME] [--sign-timeout SECONDS] SERVER_DIR\n"
    "      Publishes the kept release of serial SERIAL again as serial N, live for everyone or\n"
    "      with --share as a stage, under the rules of publish and stage. Reads no body: its\n"
    "      manifest with the new serial, signed anew; its bodies hard links of the kept ones.\n"
    "      diff --to SERIAL SERVER_DIR shows what it sends to players first.\n"
    "  history SERVER_DIR\n"
    "      The kept releases, newest first: serial, live/staged/kept, time, files, bytes, the\n"
    "      bytes a player on the release before downloads, manifest digest, message.\n"
    "  prune [--keep N] SERVER_DIR\n"
    "      Removes the oldest kept releases until N (default 10) remain.\n"
    "  widen --share P SERVER_DIR\n"
    "      Gives the open stage to P per cent of the players; the share only grows.\n"
    "  promote [--keep N] SERVER_DIR\n"
    "      Makes the staged release the live one for every player and closes the stage.\n"
    "  status [--address A] SERVER_DIR\n"
    "      Live and staged serial, share, salt and the time of the last change; with an address,\n"
    "      its bucket and whether it gets the stage or the live release.\n"
    "  diff [--checksum] RELEASE_DIR SERVER_DIR|http://HOST:PORT/BASE\n"
    "  diff --to SERIAL SERVER_DIR\n"
    "      Lists what publishing RELEASE_DIR would change: added, changed and removed files,\n"
    "      with the bytes a player on the live release downloads. Exit 0: the same files,\n"
    "      1: differences, 2: trouble.\n"
    "  verify --key PUBLIC.pem [--expect-serial N] [--wait SECONDS] [--timeout SECONDS]\n"
    "          SERVER_DIR|http://HOST:PORT/BASE\n"
    "      Checks the signature, the manifest and every listed file; one line per problem.\n"
    "      With --wait, checks again every second until all is well (and the serial is N),\n"
    "      at most SECONDS long: the last step of a release pipeline, against an edge.\n"
    "      Like the updater it cuts the manifest at 64 MiB, the signature at 64 KiB and each\n"
    "      file at its listed size; each transfer ends within --timeout (default 600) seconds\n"
    "      and within the wait.\n"
    "  serve [--bind ADDRESS] [--port N] SERVER_DIR\n"
    "      Development HTTP server for a server tree (default 127.0.0.1:8080; --port 0 picks a\n"
    "      free port). GET and HEAD only. Stops on Ctrl+C or SIGTERM.\n"
    "  blob PUBLIC.pem OUT\n"
    "      Writes the 283-byte CNG RSAPUBLICBLOB of an RSA-2048 public key to OUT.\n"
    "\n"
    "publish, diff and verify show their progress on stderr when it is a terminal.\n"
    "Exit status (diff aside): 0 on success, 1 on any failure or problem found, 2 on a usage error.\n";

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
    std::string error, passphrase;
    std::string passphraseFile = Option(args, "--passphrase-file", "");
    if (!passphraseFile.empty() && !ReadPassphraseFile(passphraseFile, passphrase, error)) return Fail(error);
    std::string note;
    if (!CompleteKeyReplacement(args.positionals[0], note, error)) return Fail(error);
    if (!note.empty()) std::fprintf(stderr, "%s\n", note.c_str());
    RemoveKeyLeftovers(args.positionals[0]);
    if (!GenerateKeyPair(args.positionals[0], HasFlag(args, "--force"), passphraseFile.empty() ? nullptr : &passphrase,
                         error))
        return Fail(error);
    std::printf("wrote %s.pem (private, keep it secret) and %s.pub.pem\n", args.positionals[0].c_str(),
                args.positionals[0].c_str());
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
    std::string error;
    if ((!passphraseFile.empty() && !ReadPassphraseFile(passphraseFile, passphrase, error)) ||
        (!passphraseEnv.empty() && !ReadPassphraseEnv(passphraseEnv, passphrase, error)))
        return Fail(error);
    if (!passphrase.empty()) options.passphrase = &passphrase;
    options.message = Option(args, "--message", "");
    if (!CheckMessage(options.message, error)) return Usage(error);
    if (!ParseKeep(args, options.keep)) return Usage("--keep must be a number of releases from 0 to 100000");
    options.releaseDir = folders == 2 ? args.positionals[0] : std::string();
    options.serverDir = args.positionals[folders - 1];
    options.force = HasFlag(args, "--force");
    options.checksum = HasFlag(args, "--checksum");
    uint64_t signTimeout = 0;
    if (!ParseSerialArgument(Option(args, "--sign-timeout", "300"), signTimeout) || signTimeout < 1 ||
        signTimeout > 86400)
        return Usage("--sign-timeout must be 1 to 86400 seconds");
    options.signTimeoutSeconds = static_cast<int>(signTimeout);
    return 0;
}

int PublishFailed(const std::vector<std::string>& problems, const PublishReport& report, const std::string& dir) {
    PrintProblems(problems);
    if (report.serverUnchanged) return Fail("nothing was published; " + dir + " is unchanged");
    return Fail("the publish did not complete; see above for the state of " + dir);
}

void PrintPublished(const PublishOptions& options, const PublishReport& report, const std::string& note) {
    std::printf("published serial %llu: %llu files, %llu bytes in %s (%llu read from the release, %llu taken "
                "over unchanged)\n",
                static_cast<unsigned long long>(options.serial), static_cast<unsigned long long>(report.files),
                static_cast<unsigned long long>(report.bytes), options.serverDir.c_str(),
                static_cast<unsigned long long>(report.copied), static_cast<unsigned long long>(report.taken));
    if (!note.empty()) std::printf("%s\n", note.c_str());
    if (!report.historyNote.empty()) std::printf("%s\n", report.historyNote.c_str());
}

int RunPublish(const Args& args) {
    PublishOptions options;
    std::string passphrase, note;
    if (int code = ReadPublishOptions(args, "publish", options, passphrase)) return code;
    std::vector<std::string> problems;
    PublishReport report;
    if (!PublishLive(options, problems, report, note)) return PublishFailed(problems, report, options.serverDir);
    PrintPublished(options, report, note);
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
    if (options.force) return Usage("a stage is never forced; its serial must be above the live one");
    std::vector<std::string> problems;
    PublishReport report;
    if (!StageRelease(options, share, !salt.empty(), saltValue, problems, report, note)) {
        PrintProblems(problems);
        return Fail("nothing was staged; the live tree " + options.serverDir + " is unchanged");
    }
    options.serverDir = StageTreePathFor(options.serverDir);
    PrintPublished(options, report, note);
    return 0;
}

int RunWiden(const Args& args) {
    int share = 0;
    if (!ParseShare(args, share) || args.positionals.size() != 1)
        return Usage("widen needs --share P (1 to 100) and SERVER_DIR");
    std::string note, error;
    if (!WidenStage(args.positionals[0], share, note, error)) return Fail(error);
    std::printf("%s\n", note.c_str());
    return 0;
}

int RunPromote(const Args& args) {
    unsigned keep = kDefaultKeep;
    if (args.positionals.size() != 1 || !ParseKeep(args, keep))
        return Usage("promote needs SERVER_DIR (and --keep 0 to 100000)");
    std::string note, error;
    if (!PromoteStage(args.positionals[0], keep, note, error)) return Fail(error);
    std::printf("%s\n", note.c_str());
    return 0;
}

int RunStatus(const Args& args) {
    if (args.positionals.size() != 1) return Usage("status needs SERVER_DIR");
    std::string text, error;
    if (!DescribeSite(args.positionals[0], Option(args, "--address", ""), text, error)) return Fail(error);
    std::fputs(text.c_str(), stdout);
    return 0;
}

int RunDiff(const Args& args) {
    std::string to = Option(args, "--to", "");
    uint64_t serial = 0;
    if (!to.empty() && (!ParseSerialArgument(to, serial) || args.positionals.size() != 1))
        return Usage("diff --to needs a decimal SERIAL and one SERVER_DIR");
    if (!to.empty()) return DiffToKept(args.positionals[0], serial);
    if (args.positionals.size() != 2) return Usage("diff needs RELEASE_DIR and one SERVER_DIR or base URL");
    return DiffRelease(args.positionals[0], args.positionals[1], HasFlag(args, "--checksum"));
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
    if (!share.empty()) options.serverDir = StageTreePathFor(options.serverDir);
    note = "the kept release of serial " + std::to_string(options.revertSerial) + " again, no body read" +
           (note.empty() ? "" : "\n" + note);
    PrintPublished(options, report, note);
    return 0;
}

int RunHistory(const Args& args) {
    if (args.positionals.size() != 1) return Usage("history needs SERVER_DIR");
    std::string text, error;
    if (!HistoryListing(args.positionals[0], text, error)) return Fail(error);
    std::fputs(text.c_str(), stdout);
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
    std::printf("%s\n", note.empty() ? ("nothing to prune in " + HistoryPathFor(site)).c_str() : note.c_str());
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
        !ParseSerialArgument(Option(args, "--wait", "0"), wait.seconds) || wait.seconds > 86400 ||
        !ParseSerialArgument(Option(args, "--timeout", "600"), wait.transferSeconds) || wait.transferSeconds < 1 ||
        wait.transferSeconds > 86400)
        return Usage("--expect-serial must be a decimal number, --wait 0 to 86400 seconds, --timeout 1 to 86400");
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
    if (command == "keygen" && SplitArgs(rest, {"--passphrase-file"}, {"--force"}, args, error))
        return RunKeygen(args);
    if (command == "publish" &&
        SplitArgs(rest, {"--key", "--serial", "--sign-command", "--pub", "--passphrase-file", "--passphrase-env",
                         "--sign-timeout", "--jobs", "--message", "--keep"},
                  {"--force", "--checksum"}, args, error))
        return RunPublish(args);
    if (command == "stage" &&
        SplitArgs(rest, {"--key", "--serial", "--share", "--salt", "--sign-command", "--pub", "--passphrase-file",
                         "--passphrase-env", "--sign-timeout", "--jobs", "--message", "--keep"},
                  {"--checksum"}, args, error))
        return RunStage(args);
    if (command == "revert" &&
        SplitArgs(rest, {"--key", "--serial", "--to", "--share", "--salt", "--sign-command", "--pub",
                         "--passphrase-file", "--passphrase-env", "--sign-timeout", "--message", "--keep"},
                  {}, args, error))
        return RunRevert(args);
    if (command == "history" && SplitArgs(rest, {}, {}, args, error)) return RunHistory(args);
    if (command == "prune" && SplitArgs(rest, {"--keep"}, {}, args, error)) return RunPrune(args);
    if (command == "widen" && SplitArgs(rest, {"--share"}, {}, args, error)) return RunWiden(args);
    if (command == "promote" && SplitArgs(rest, {"--keep"}, {}, args, error)) return RunPromote(args);
    if (command == "status" && SplitArgs(rest, {"--address"}, {}, args, error)) return RunStatus(args);
    if (command == "diff" && SplitArgs(rest, {"--to"}, {"--checksum"}, args, error)) return RunDiff(args);
    if (command == "verify" && SplitArgs(rest, {"--key", "--expect-serial", "--wait", "--timeout"}, {}, args, error))
        return RunVerify(args);
    if (command == "serve" && SplitArgs(rest, {"--bind", "--port"}, {}, args, error)) return RunServe(args);
    if (command == "blob" && SplitArgs(rest, {}, {}, args, error)) return RunBlob(args);
    if (!error.empty()) return Usage(error);
    return Usage("unknown command \"" + command + "\"");
}
