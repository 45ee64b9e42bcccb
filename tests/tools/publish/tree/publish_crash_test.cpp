// quillor-publish killed or failed at every call that changes the disk, and what the next run finds.
#include "check/verify.h"
#include "core/fs_util.h"
#include "tool_support.h"
#include "tree/serial_memory.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Every call that changes the disk; openat only where it creates.
const char* const kDiskCalls[] = {"openat", "write",  "copy_file_range", "link",  "linkat", "rename", "renameat2",
                                  "unlink", "unlinkat", "mkdir",         "rmdir", "fsync",  "fdatasync", "syncfs"};
const char* const kErrors[] = {"ENOSPC", "EIO", "EACCES"};

// A copy of a server folder's surroundings. With linkTrees the trees below share the original's
// files (hard links, as a publish record expects them), so that a file changed in place shows in
// the original too; files at the top are always copies.
void CloneServer(const std::string& from, const std::string& to, bool linkTrees, bool linkFiles = false) {
    mkdir(to.c_str(), 0755);
    for (const std::string& name : Names(from)) {
        std::string source = from + "/" + name, target = to + "/" + name;
        struct stat st;
        lstat(source.c_str(), &st);
        if (S_ISDIR(st.st_mode)) CloneServer(source, target, linkTrees, linkTrees);
        else if (!linkFiles || link(source.c_str(), target.c_str()) != 0) WriteFileText(target, ReadFileText(source));
    }
}

// The served serial as verify (the same code, called here) reports it: -1 when the folder is
// missing, -2 when verify refuses it.
long long ServedSerial(const std::string& pub, const std::string& server, std::string* output = nullptr) {
    if (!PathExists(server)) return -1;
    std::vector<std::string> problems;
    std::string summary;
    bool ok = VerifyServer(pub, server, FetchLimits(), problems, summary);
    if (output != nullptr) *output = summary + " " + testing::PrintToString(problems);
    const std::string prefix = "serial ";
    if (!ok || summary.compare(0, prefix.size(), prefix) != 0) return -2;
    return std::atoll(summary.c_str() + prefix.size());
}

// The live tree's files, held open while the campaign runs: a file changed in place shows through
// its descriptor wherever its name went, and an inode held open is never reused by a new file.
class LiveSnapshot {
public:
    void Take(const std::string& dir) {
        for (const std::string& name : Names(dir)) {
            std::string path = dir + "/" + name;
            struct stat st;
            if (lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
                Take(path);
                continue;
            }
            files_.push_back({path, std::make_shared<UniqueFd>(open(path.c_str(), O_RDONLY | O_CLOEXEC)),
                              ReadFileText(path), st.st_mtim.tv_sec * 1000000000ll + st.st_mtim.tv_nsec});
        }
    }
    // "" when every file still has its bytes and time, else the first that does not.
    std::string Changed() const {
        for (const File& file : files_) {
            struct stat st;
            std::string bytes(file.bytes.size() + 1, '\0');
            ssize_t got = pread(file.fd->Get(), &bytes[0], bytes.size(), 0);
            if (fstat(file.fd->Get(), &st) != 0 || got != static_cast<ssize_t>(file.bytes.size()) ||
                bytes.compare(0, file.bytes.size(), file.bytes) != 0 ||
                st.st_mtim.tv_sec * 1000000000ll + st.st_mtim.tv_nsec != file.mtimeNs)
                return file.path;
        }
        return std::string();
    }

private:
    struct File {
        std::string path;
        std::shared_ptr<UniqueFd> fd;
        std::string bytes;
        long long mtimeNs;
    };
    std::vector<File> files_;
};

struct Point {
    std::string call;
    int occurrence = 0;
    std::string fault;  // "signal=KILL" or "error=EIO", ...
    bool Kill() const { return fault == "signal=KILL"; }
    std::string Injection() const { return call + ":" + fault + ":when=" + std::to_string(occurrence); }
};

// Calls that read the disk, for the campaigns that fail reads too (every openat then counts).
const char* const kReadCalls[] = {"read", "getdents64", "newfstatat"};

// The occurrences (per call, counted per process as strace does) that change the disk in a trace;
// with reads, every openat and read as well.
std::vector<Point> DiskPointsIn(const std::string& logPath, bool withRenameat2, bool reads = false) {
    std::map<std::string, std::set<int>> points;
    std::map<std::string, int> seen;
    std::istringstream log(ReadFileText(logPath));
    for (std::string line; std::getline(log, line);) {
        size_t blank = line.find(' '), start = line.find_first_not_of(' ', blank), paren = line.find('(', start);
        if (start == std::string::npos || paren == std::string::npos || line[start] == '<') continue;
        std::string call = line.substr(start, paren - start);
        int occurrence = ++seen[line.substr(0, blank) + " " + call];
        if (reads || call != "openat" || line.find("O_CREAT") != std::string::npos) points[call].insert(occurrence);
    }
    std::vector<Point> result;
    for (const auto& call : points)
        if (withRenameat2 || call.first != "renameat2")
            for (int occurrence : call.second) result.push_back({call.first, occurrence, "signal=KILL"});
    return result;
}

// Whether flush (the failing call) failed before a rename put a tree under server's name.
bool FlushFailedBeforeSwap(const std::string& logPath, const std::string& flush, const std::string& server) {
    std::istringstream log(ReadFileText(logPath));
    for (std::string line; std::getline(log, line);) {
        if (line.find(" " + flush + "(") != std::string::npos && line.find("(INJECTED)") != std::string::npos)
            return true;
        if (line.find("rename") != std::string::npos && line.find(", \"" + server + "\"") != std::string::npos &&
            line.size() > 3 && line.compare(line.size() - 3, 3, "= 0") == 0)
            return false;
    }
    return false;
}

// The kept releases in SERVER_DIR.history: serial -> "live", "kept" (its tree verifies with
// pub as that serial) or "broken"; names the tool does not own (no "-" after the serial, or no
// info) are listed as such, so a check sees that they survived. Pending and removed entries
// (".pending", ".gone") are left out: they are not kept releases.
// A serial with two entries is "doubled".
std::map<std::string, std::string> KeptReleases(const std::string& pub, const std::string& server) {
    std::map<std::string, std::string> kept;
    const std::string history = server + ".history";
    for (const std::string& name : Names(history)) {
        std::string path = history + "/" + name;
        if (name.find(".pending") != std::string::npos || name.find(".gone") != std::string::npos) continue;
        if (name == ".quillor-history" || !PathExists(path + "/info")) {
            kept[name] = "not ours";
            continue;
        }
        std::string serial = name.substr(0, name.find('-'));
        if (kept.count(serial) != 0) {
            kept[serial] = "doubled";
            continue;
        }
        if (!PathExists(path + "/tree")) {
            kept[serial] = "live";  // or staged: the tree under SERVER_DIR is checked apart
            continue;
        }
        kept[serial] = ServedSerial(pub, path + "/tree") == std::atoll(serial.c_str()) ? "kept" : "broken";
    }
    return kept;
}

// What the history holds after the command ran to its end (history scenarios), or after the
// next publish (publish scenarios); a hand-made file inside it always survives.
const std::map<std::string, std::string> kPublishedHistory = {
    {".quillor-history", "not ours"}, {"1", "kept"}, {"2", "live"}, {"notes.txt", "not ours"}};

enum class Command { Publish, FirstPublish, Keygen, Revert, Prune, PublishPruning, PruningRevert };

struct Scenario {
    const char* name;
    const char* release;  // published at serial 2 over the tree of release "one" at serial 1
    bool fallback;        // renameat2 refuses its flags (EINVAL) in every run
    bool signCommand;
    bool keygen;          // keygen --force of the pair instead of a publish
    size_t killSample;    // points tried by the test command; the full sweep tries all
    size_t errorSample;
    bool loseServer = false;  // after each kill the server folder is lost and a publish fails
    const char* onlyCall = nullptr;  // points of the calls whose names start so only
    // FirstPublish: the release as serial 2 into an empty SERVER_DIR; Revert: serial 1 again as 3; Prune: --keep 1 after serials 1 to 4; PublishPruning: serial 4's
    // release again as 5 with --keep 1, the pruned entries removed by the publisher's child;
    // PruningRevert: serial 2 again as 5 with --keep 2 after serials 1 to 4.
    Command command = Command::Publish;
    const char* sampleFirst = nullptr;  // a sample takes every point of the calls named so before others
    bool reads = false;  // EIO at every disk call, reads included, instead of the errors of changes
};

class PublishCrash : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        root_ = new TempDir();
        ASSERT_EQ(RunTool({"keygen", *root_ / "k"}).exitCode, 0);
        // One body above the block-file threshold in each: kept (and its block file linked) by the
        // incremental publish, another one (a block file written) by the full one.
        const std::string big(1100000, 'b'), otherBig(1100000, 'o');
        MakeRelease(*root_ / "one", {{"game.exe", "MZ game"}, {"data/Maps/Erste Karte.pak", std::string(70000, 'k')},
                                     {"data/readme.txt", "Hallo"}, {"empty.bin", ""}, {"data/big.pak", big}});
        MakeRelease(*root_ / "changed", {{"game.exe", "MZ gamf"}, {"data/Maps/Erste Karte.pak", std::string(70000, 'k')},
                                         {"data/readme.txt", "Hallo"}, {"new/sound.ogg", std::string(5000, 's')},
                                         {"data/big.pak", big}});
        MakeRelease(*root_ / "other", {{"game.exe", "MZ other game"}, {"data/Maps/Zweite Karte.pak", std::string(90000, 'z')},
                                       {"data/readme.txt", "Hallo Welt"}, {"data/big.pak", otherBig}});
    }
    static void TearDownTestSuite() {
        delete root_;
        root_ = nullptr;
    }
    static void MakeRelease(const std::string& dir, const std::vector<std::pair<std::string, std::string>>& files) {
        for (const auto& file : files) {
            RunCommand({"mkdir", "-p", dir + "/" + file.first.substr(0, file.first.rfind('/') + 1)});
            WriteFileText(dir + "/" + file.first, file.second);
        }
        AgeTree(dir);
    }
    static std::string Pub() { return *root_ / "k.pub.pem"; }

    std::vector<std::string> PublishArgs(const Scenario& scenario, const std::string& server, bool oneWorker) {
        std::vector<std::string> args = {"publish", "--serial", "2"};
        if (scenario.signCommand)
            args.insert(args.end(), {"--sign-command", "openssl dgst -sha256 -sign " + *root_ / "k.pem", "--pub", Pub()});
        else
            args.insert(args.end(), {"--key", *root_ / "k.pem"});
        if (oneWorker) args.insert(args.end(), {"--jobs", "1"});
        args.insert(args.end(), {*root_ / scenario.release, server});
        return args;
    }

    // Runs the tool under strace with the scenario's own injection added.
    CommandResult Run(const Scenario& scenario, const std::string& calls, std::vector<std::string> injections,
                      const std::vector<std::string>& args, const std::string& log = "") {
        if (injections.empty() && !scenario.fallback && log.empty()) return RunTool(args);
        if (scenario.fallback) injections.push_back("renameat2:error=EINVAL");
        return RunToolTraced(calls + (scenario.fallback ? ",renameat2" : ""), injections, args, log);
    }

    std::vector<std::string> CommandFor(const Scenario& scenario, const std::string& work, bool oneWorker) {
        if (scenario.keygen) return {"keygen", "--force", work + "/keys/k"};
        if (scenario.command == Command::Revert)
            return {"revert", "--key", *root_ / "k.pem", "--to", "1", "--serial", "3", "--message", "back", work + "/srv"};
        if (scenario.command == Command::Prune) return {"prune", "--keep", "1", work + "/srv"};
        if (scenario.command == Command::PruningRevert)
            return {"revert", "--key", *root_ / "k.pem", "--to", "2", "--serial", "5", "--keep", "2", work + "/srv"};
        if (scenario.command == Command::PublishPruning)
            return {"publish", "--key", *root_ / "k.pem", "--keep", "1", "--serial", "5", *root_ / "one", work + "/srv"};
        return PublishArgs(scenario, work + "/srv", oneWorker);
    }

    std::string CheckPublishPoint(const Scenario& scenario, const Point& point, const CommandResult& run,
                                  const std::string& work, const std::string& log);
    std::string CheckKeygenPoint(const Point& point, const CommandResult& run, const std::string& work);
    std::string CheckHistoryPoint(const Scenario& scenario, const Point& point, const CommandResult& run,
                                  const std::string& work);
    std::string LoseServerAndFail(const std::string& work);
    void Campaign(const Scenario& scenario);

    static TempDir* root_;
    TempDir base_;
    LiveSnapshot live_;
    std::string oldPrivate_;
};

TempDir* PublishCrash::root_ = nullptr;

std::string PublishCrash::CheckPublishPoint(const Scenario& scenario, const Point& point, const CommandResult& run,
                                            const std::string& work, const std::string& log) {
    const std::string server = work + "/srv";
    const bool first = scenario.command == Command::FirstPublish;
    if (run.exitCode == -1) return "did not end within its time";
    if (!point.Kill() && run.exitCode != 0 && run.exitCode != 1) return "ended with " + std::to_string(run.exitCode);
    std::string output;
    long long served = ServedSerial(Pub(), server, &output);
    if (served == -1 && first) {
        // Nothing was live before: the publish may not have got as far as its swap.
    } else if (served == -1) {
        // Only the fallback swap has a moment without the name; both trees are whole beside it then.
        bool aside = false;
        for (const std::string& name : Names(work))
            aside = aside || (name.size() > 4 && name.compare(name.size() - 4, 4, ".old") == 0 &&
                              ServedSerial(Pub(), work + "/" + name) == 1);
        if (!scenario.fallback || !aside) return "the server folder is missing";
    } else if (served != 1 && served != 2) {
        return "verify refuses the served tree: " + output;
    }
    std::string changed = live_.Changed();
    if (!changed.empty()) return "a live file was changed in place: " + changed;
    SerialMemory memory;
    std::string error;
    if (!ReadSerialMemory(server, memory, error) || (memory.present && static_cast<long long>(memory.serial) < served))
        return "the serial memory is below the served serial or unreadable: " + error;
    if (!point.Kill()) {
        if (run.exitCode == 0 && served != 2) return "a publish that succeeded left serial " + std::to_string(served);
        if (run.exitCode == 1 && served == (first ? -1 : 1) && run.err.find("nothing was published") == std::string::npos)
            return "a failure before the swap does not say so: " + run.err;
        if (run.exitCode == 1 && served == 2 && run.err.find(" live") == std::string::npos)
            return "a failure after the swap does not say what is live: " + run.err;
        if (!log.empty() && served == 2 && FlushFailedBeforeSwap(log, point.call, server))
            return "a tree went live after a failed flush";
        if (!log.empty() && run.exitCode == 0 && run.err.find("warning: ") == std::string::npos)
            return "a failed flush passed without a warning";
    }
    if (scenario.loseServer) {
        std::string lost = LoseServerAndFail(work);
        if (!lost.empty()) return lost;
    }
    CommandResult next = Run(scenario, "rename", {}, PublishArgs(scenario, server, false));
    if (next.exitCode != 0) return "the next publish failed: " + next.err;
    if (ServedSerial(Pub(), server, &output) != 2) return "after the next publish: " + output;
    std::vector<std::string> expected = {"srv",      "srv.cohorts",        "srv.history",
                                         "srv.lock", "srv.publish-record", "srv.publish-serial"};
    if (Names(work) != expected) return "left behind after the next publish: " + testing::PrintToString(Names(work));
    // A server folder lost by hand takes the live release's tree with it; its entry stays without one.
    const std::map<std::string, std::string> firstHistory = {{".quillor-history", "not ours"}, {"2", "live"}};
    if (!scenario.loseServer && KeptReleases(Pub(), server) != (first ? firstHistory : kPublishedHistory))
        return "the history after the next publish: " + testing::PrintToString(KeptReleases(Pub(), server));
    return std::string();
}

// After a revert or prune was killed or failed: the live tree serves the old or the new serial,
// no kept tree is broken, and the command run again ends with the history it should have.
std::string PublishCrash::CheckHistoryPoint(const Scenario& scenario, const Point& point, const CommandResult& run,
                                            const std::string& work) {
    const std::string server = work + "/srv";
    const bool revert = scenario.command == Command::Revert, pruningRevert = scenario.command == Command::PruningRevert;
    const long long before = revert ? 2 : 4, after = revert ? 3 : scenario.command == Command::Prune ? 4 : 5;
    // What must stay through the faulted run: the live, the previous and a revert's source.
    const std::vector<std::string> staying = revert ? std::vector<std::string>{"1", "2"}
                                             : pruningRevert ? std::vector<std::string>{"2", "4"}
                                             : scenario.command == Command::Prune ? std::vector<std::string>{"3", "4"}
                                                                                  : std::vector<std::string>{"4"};
    // A read that fails before main makes the loader end the command: exit 127, nothing done.
    const bool unloaded = run.exitCode == 127 && run.err.find("error while loading shared libraries") != std::string::npos;
    if (run.exitCode == -1) return "did not end within its time";
    if (!point.Kill() && run.exitCode != 0 && run.exitCode != 1 && !unloaded)
        return "ended with " + std::to_string(run.exitCode);
    std::string output;
    long long served = ServedSerial(Pub(), server, &output);
    if (served != before && served != after) return "the live tree: " + output;
    if (!live_.Changed().empty()) return "a live or kept file was changed in place: " + live_.Changed();
    std::map<std::string, std::string> left = KeptReleases(Pub(), server);
    for (const auto& release : left)
        if (release.second == "broken" || release.second == "doubled")
            return "the kept release of serial " + release.first + " is " + release.second;
    for (const std::string& serial : staying)
        if (left.count(serial) == 0) return "the entry of serial " + serial + " is gone";
    CommandResult next = RunTool(CommandFor(scenario, work, false));
    if (next.exitCode != 0) return "the command run again failed: " + next.err;
    if (ServedSerial(Pub(), server, &output) != after) return "after running it again: " + output;
    if (revert && ReadFileText(server + "/files/game.exe") != "MZ game") return "the revert serves other bytes";
    if (pruningRevert && ReadFileText(server + "/files/game.exe") != "MZ gamf") return "the revert serves other bytes";
    std::map<std::string, std::string> expected = {{".quillor-history", "not ours"}, {"notes.txt", "not ours"}};
    if (revert) expected.insert({{"1", "kept"}, {"2", "kept"}, {"3", "live"}});
    else if (pruningRevert) expected.insert({{"2", "kept"}, {"4", "kept"}, {"5", "live"}});
    else expected.insert({{std::to_string(after - 1), "kept"}, {std::to_string(after), "live"}});
    if (KeptReleases(Pub(), server) != expected)
        return "the history then: " + testing::PrintToString(KeptReleases(Pub(), server));
    if (Names(work).size() != 6) return "left behind: " + testing::PrintToString(Names(work));
    return std::string();
}

// The server folder is lost and a publish then fails at its signature: what its recovery puts
// back (if anything) is whole, signed and not below the serial memory, and is said to be back.
std::string PublishCrash::LoseServerAndFail(const std::string& work) {
    const std::string server = work + "/srv";
    RunCommand({"rm", "-rf", server});
    CommandResult failed = RunTool({"publish", "--sign-command", "exit 3", "--pub", Pub(), "--serial", "3",
                                    *root_ / "changed", server});
    if (failed.exitCode != 1) return "a publish whose signer fails ended with " + std::to_string(failed.exitCode);
    std::string output, error;
    long long served = ServedSerial(Pub(), server, &output);
    SerialMemory memory;
    if (!ReadSerialMemory(server, memory, error)) return "the serial memory is unreadable: " + error;
    if (served == -2) return "recovery put back a tree that verify refuses: " + output;
    bool wasLive = failed.err.find("the tree that was live") != std::string::npos;
    if (served >= 0 && memory.present && served < static_cast<long long>(memory.serial) && !wasLive)
        return "recovery put back serial " + std::to_string(served) + " below the memory's " + std::to_string(memory.serial);
    if ((served >= 0) != (failed.err.find("put back") != std::string::npos) ||
        (failed.err.find("is unchanged") != std::string::npos && served >= 0))
        return "what recovery did is not said as it is: " + failed.err;
    return std::string();
}

std::string PublishCrash::CheckKeygenPoint(const Point& point, const CommandResult& run, const std::string& work) {
    const std::string keys = work + "/keys";
    if (run.exitCode == -1) return "did not end within its time";
    if (!point.Kill() && run.exitCode != 0 && run.exitCode != 1) return "ended with " + std::to_string(run.exitCode);
    // A publish with the pair completes an interrupted replacement first; verify then checks that the
    // public half belongs to the private one that signed.
    CommandResult published = RunTool({"publish", "--key", keys + "/k.pem", "--serial", "1", *root_ / "one", work + "/srv"});
    if (published.exitCode != 0) return "a publish with the pair failed: " + published.err;
    std::string output;
    if (ServedSerial(keys + "/k.pub.pem", work + "/srv", &output) != 1) return "the halves are of two keys: " + output;
    bool replaced = ReadFileText(keys + "/k.pem") != oldPrivate_;
    if (!point.Kill() && run.exitCode == 0 && !replaced) return "keygen succeeded but the old key is still there";
    if (!point.Kill() && run.exitCode == 1 && replaced && run.err.find("committed") == std::string::npos)
        return "a failed keygen replaced the pair without saying so: " + run.err;
    CommandResult again = RunTool({"keygen", "--force", keys + "/k"});
    if (again.exitCode != 0) return "the next keygen failed: " + again.err;
    if (Names(keys) != std::vector<std::string>{"k.pem", "k.pub.pem"})
        return "left behind after the next keygen: " + testing::PrintToString(Names(keys));
    return std::string();
}

// Kills and fails the scenario's command at its disk calls (all of them, or a seeded sample) and
// checks the invariants after each.
void PublishCrash::Campaign(const Scenario& scenario) {
    const char* sweep = std::getenv("QUILLOR_CRASH_SWEEP");
    const bool full = sweep != nullptr && std::string(sweep) == "full";
    if (scenario.keygen) {
        mkdir((base_ / "keys").c_str(), 0755);
        for (const char* name : {"k.pem", "k.pub.pem"}) WriteFileText(base_ / "keys/" + name, ReadFileText(*root_ / name));
        oldPrivate_ = ReadFileText(base_ / "keys/k.pem");
    } else {
        const char* releases[] = {"one", "changed", "other", "one"};
        size_t count = scenario.command == Command::Revert          ? 2
                       : scenario.command == Command::Publish        ? 1
                       : scenario.command == Command::FirstPublish ? 0
                                                                     : 4;
        for (size_t i = 0; i < count; ++i) {
            CommandResult made = RunTool({"publish", "--key", *root_ / "k.pem", "--serial", std::to_string(i + 1),
                                          *root_ / releases[i], base_ / "srv"});
            ASSERT_EQ(made.exitCode, 0) << made.err;
        }
        if (count > 0) WriteFileText(base_ / "srv.history/notes.txt", "a file of the operator's own");
        live_.Take(base_ / "srv");
        // A revert gives the kept bodies it serves anew a new time (edges must not take them for the live ones).
        if (scenario.command != Command::Revert && scenario.command != Command::PruningRevert)
            live_.Take(base_ / "srv.history");
    }
    // A run that is not disturbed tells which occurrences change the disk.
    std::string calls;
    for (const char* call : kDiskCalls) calls += std::string(calls.empty() ? "" : ",") + call;
    if (scenario.reads)
        for (const char* call : kReadCalls) calls += std::string(",") + call;
    std::vector<Point> kills;
    {
        TempDir work, logs;
        CloneServer(base_.Path(), work.Path(), true);
        CommandResult dry = Run(scenario, calls, {}, CommandFor(scenario, work.Path(), true), logs / "trace");
        ASSERT_EQ(dry.exitCode, 0) << dry.err;
        kills = DiskPointsIn(logs / "trace", !scenario.fallback, scenario.reads);
        if (scenario.onlyCall != nullptr)
            kills.erase(std::remove_if(kills.begin(), kills.end(),
                                       [&](const Point& point) { return point.call.rfind(scenario.onlyCall, 0) != 0; }),
                        kills.end());
    }
    std::vector<Point> errors;
    for (const Point& kill : kills)
        for (const char* code : kErrors)
            if (!scenario.reads || std::string(code) == "EIO")
                errors.push_back({kill.call, kill.occurrence, std::string("error=") + code});
    if (scenario.reads) kills.clear();  // the kill campaigns of the same command stop it at every change
    std::mt19937 random(20261208);
    const size_t allKills = kills.size(), allErrors = errors.size();
    std::vector<Point> points;
    for (auto* list : {&kills, &errors}) {
        size_t sample = list == &kills ? scenario.killSample : scenario.errorSample;
        if (!full && sample < list->size()) {
            auto rest = std::stable_partition(list->begin(), list->end(), [&](const Point& point) {
                return scenario.sampleFirst != nullptr && point.call.rfind(scenario.sampleFirst, 0) == 0;
            });
            std::shuffle(rest, list->end(), random);
        }
        list->resize(full ? list->size() : std::min(sample, list->size()));
        points.insert(points.end(), list->begin(), list->end());
    }
    size_t broken = 0;
    for (const Point& point : points) {
        TempDir work, logs;
        CloneServer(base_.Path(), work.Path(), true);
        bool flush = point.call == "fsync" || point.call == "fdatasync" || point.call == "syncfs";
        std::string log = !point.Kill() && flush ? logs / "trace" : "";
        CommandResult run = Run(scenario, point.call + (log.empty() ? "" : ",rename,renameat2"), {point.Injection()},
                                CommandFor(scenario, work.Path(), true), log);
        std::string problem = scenario.keygen ? CheckKeygenPoint(point, run, work.Path())
                              : scenario.command != Command::Publish && scenario.command != Command::FirstPublish
                                  ? CheckHistoryPoint(scenario, point, run, work.Path())
                                                                     : CheckPublishPoint(scenario, point, run, work.Path(), log);
        if (problem.empty()) continue;
        ++broken;
        ADD_FAILURE() << scenario.name << ", " << point.Injection() << ": " << problem << "\nits output: " << run.err;
    }
    std::printf("crash campaign, %s: %zu of %zu kill points and %zu of %zu error points tried, %zu broke an "
                "invariant\n", scenario.name, kills.size(), allKills, errors.size(), allErrors, broken);
}

TEST_F(PublishCrash, FullPublish) { Campaign({"full publish", "other", false, false, false, 5, 5}); }
TEST_F(PublishCrash, IncrementalPublish) { Campaign({"incremental publish", "changed", false, false, false, 1000, 8}); }
TEST_F(PublishCrash, FirstPublish) {
    Campaign({"first publish", "changed", false, false, false, 14, 6, false, nullptr, Command::FirstPublish, "fsync"});
}
TEST_F(PublishCrash, FallbackSwap) { Campaign({"fallback swap", "changed", true, false, false, 6, 6}); }
TEST_F(PublishCrash, KeygenForce) { Campaign({"keygen --force", "", false, false, true, 3, 3}); }
TEST_F(PublishCrash, SignCommand) { Campaign({"sign command", "changed", false, true, false, 5, 5}); }
TEST_F(PublishCrash, Revert) { Campaign({"revert", "", false, false, false, 4, 4, false, nullptr, Command::Revert}); }
TEST_F(PublishCrash, Prune) { Campaign({"prune", "", false, false, false, 3, 3, false, nullptr, Command::Prune}); }
TEST_F(PublishCrash, PruningRevert) {
    Campaign({"pruning revert", "", false, false, false, 3, 3, false, nullptr, Command::PruningRevert});
}
// EIO at every disk call of the history commands, reads included: a read that fails is never "not there".
TEST_F(PublishCrash, RevertUnderReadErrors) {
    Campaign({"revert, read errors", "", false, false, false, 0, 6, false, nullptr, Command::Revert, "getdents64", true});
}
TEST_F(PublishCrash, PruneUnderReadErrors) {
    Campaign({"prune, read errors", "", false, false, false, 0, 6, false, nullptr, Command::Prune, "getdents64", true});
}
TEST_F(PublishCrash, PruningRevertUnderReadErrors) {
    Campaign({"pruning revert, read errors", "", false, false, false, 0, 6, false, nullptr, Command::PruningRevert,
              "getdents64", true});
}
TEST_F(PublishCrash, PublishPruning) {
    Campaign({"publish pruning", "", false, false, false, 3, 3, false, nullptr, Command::PublishPruning});
}
// Killed while the old tree goes, then the server folder is lost: the old tree never comes back
// below the serial memory, nor a part of it.
TEST_F(PublishCrash, LostServerAfterAKillInTheOldTreesRemoval) {
    Campaign({"lost server folder", "changed", false, false, false, 1000, 0, true, "unlink"});
}
TEST_F(PublishCrash, LostServerAfterAKillInTheFallbackSwap) {
    Campaign({"lost server folder, fallback swap", "changed", true, false, false, 4, 0, true});
}

// Single moments of a crash, each of which once lost a tree, a serial or a key.
class PublishRecovery : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(RunTool({"keygen", dir_ / "k"}).exitCode, 0);
        RunCommand({"mkdir", "-p", dir_ / "rel/data", dir_ / "a", dir_ / "b"});
        WriteFileText(dir_ / "rel/game.exe", "MZ game");
        WriteFileText(dir_ / "rel/data/map.pak", std::string(70000, 'k'));
    }
    CommandResult Publish(const std::string& serial, const std::string& server) {
        return RunTool({"publish", "--key", dir_ / "k.pem", "--serial", serial, dir_ / "rel", server});
    }
    std::vector<std::string> PublishArgs(const std::string& serial, const std::string& server) {
        return {"publish", "--key", dir_ / "k.pem", "--serial", serial, dir_ / "rel", server};
    }
    // Serial 10 in b/srv, then a publish of serial 11 on the fallback swap path killed between its
    // two renames (found on a twin in a/srv): b/srv is missing, both trees whole beside it.
    void KillBetweenFallbackRenames() {
        ASSERT_EQ(Publish("10", dir_ / "a/srv").exitCode, 0);
        ASSERT_EQ(Publish("10", dir_ / "b/srv").exitCode, 0);
        WriteFileText(dir_ / "rel/game.exe", "MZ gamf");
        ASSERT_EQ(RunToolTraced("rename,renameat2", {"renameat2:error=EINVAL"}, PublishArgs("11", dir_ / "a/srv"),
                                dir_ / "trace").exitCode, 0);
        int aside = OccurrenceIn(dir_ / "trace", "rename", "(\"" + dir_ / "a/srv" + "\"");
        ASSERT_GT(aside, 0);
        CommandResult killed = RunToolTraced(
            "rename,renameat2", {"renameat2:error=EINVAL", "rename:signal=KILL:when=" + std::to_string(aside + 1)},
            PublishArgs("11", dir_ / "b/srv"));
        ASSERT_EQ(killed.exitCode, 128 + SIGKILL);
        ASSERT_FALSE(PathExists(dir_ / "b/srv"));
    }
    TempDir dir_;
};

TEST_F(PublishRecovery, AfterAKillBetweenTheFallbackRenamesTheLiveTreeComesBackAndALowerSerialIsRefused) {
    KillBetweenFallbackRenames();
    ASSERT_EQ(mkdir((dir_ / "b/srv").c_str(), 0755), 0);  // made again by hand, empty
    CommandResult lower = Publish("3", dir_ / "b/srv");
    EXPECT_EQ(lower.exitCode, 1);
    EXPECT_NE(lower.err.find("put back "), std::string::npos) << lower.err;
    EXPECT_NE(lower.err.find(" as the unfinished "), std::string::npos) << lower.err;
    EXPECT_NE(lower.err.find("lower than the published serial 11"), std::string::npos) << lower.err;
    EXPECT_EQ(ServedSerial(dir_ / "k.pub.pem", dir_ / "b/srv"), 10);
    EXPECT_EQ(Names(dir_ / "b"),
              (std::vector<std::string>{"srv", "srv.cohorts", "srv.history", "srv.lock", "srv.publish-record",
                                        "srv.publish-serial"}));
}

TEST_F(PublishRecovery, WithoutRenameFlagsTheKilledPublishRunsAgainAndAFirstOneWorks) {
    KillBetweenFallbackRenames();
    CommandResult again = RunToolTraced("renameat2", {"renameat2:error=EINVAL"}, PublishArgs("11", dir_ / "b/srv"));
    EXPECT_EQ(again.exitCode, 0) << again.err;
    EXPECT_EQ(ServedSerial(dir_ / "k.pub.pem", dir_ / "b/srv"), 11);
    EXPECT_EQ(Names(dir_ / "b"),
              (std::vector<std::string>{"srv", "srv.cohorts", "srv.history", "srv.lock", "srv.publish-record",
                                        "srv.publish-serial"}));
    CommandResult first = RunToolTraced("renameat2", {"renameat2:error=EINVAL"}, PublishArgs("1", dir_ / "new"));
    EXPECT_EQ(first.exitCode, 0) << first.err;
    EXPECT_EQ(ServedSerial(dir_ / "k.pub.pem", dir_ / "new"), 1);
}

TEST_F(PublishRecovery, TheHighestSerialOutlivesALostEmptiedOrRestoredTree) {
    const std::string server = dir_ / "a/srv";
    ASSERT_EQ(Publish("5", dir_ / "b/srv").exitCode, 0);
    ASSERT_EQ(Publish("10", server).exitCode, 0);
    // A tree of the previous version, which kept no memory: the first publish notes its serial.
    unlink(SerialMemoryPathFor(server).c_str());
    EXPECT_EQ(Publish("3", server).exitCode, 1);
    RunCommand({"rm", "-rf", server});
    CommandResult lost = Publish("3", server);
    EXPECT_EQ(lost.exitCode, 1);
    EXPECT_NE(lost.err.find("lower than the published serial 10"), std::string::npos) << lost.err;
    ASSERT_EQ(mkdir(server.c_str(), 0755), 0);
    EXPECT_EQ(Publish("3", server).exitCode, 1);
    RunCommand({"rm", "-rf", server});
    RunCommand({"cp", "-a", dir_ / "b/srv", server});
    EXPECT_EQ(Publish("7", server).exitCode, 1);
    EXPECT_EQ(ServedSerial(dir_ / "k.pub.pem", server), 5);
    EXPECT_EQ(Publish("10", server).exitCode, 0);  // the same release again
}

// syncfs reports only the write-back errors that happen after its descriptor was opened: the one
// that makes the bodies durable before the swap must be older than the first body.
TEST_F(PublishRecovery, TheFlushBeforeTheSwapSeesEveryBodysWriteBack) {
    ASSERT_EQ(RunToolTraced("openat,syncfs", {}, PublishArgs("1", dir_ / "a/srv"), dir_ / "trace").exitCode, 0);
    std::istringstream log(ReadFileText(dir_ / "trace"));
    std::map<std::string, size_t> openedAt;  // descriptor -> line of the openat that returned it
    size_t firstBody = 0, flushOpened = 0, number = 0;
    for (std::string line; std::getline(log, line);) {
        ++number;
        size_t equals = line.rfind(" = ");
        if (line.find("openat(") != std::string::npos && equals != std::string::npos)
            openedAt[line.substr(equals + 3)] = number;
        if (firstBody == 0 && line.find("/files/") != std::string::npos && line.find("O_CREAT") != std::string::npos)
            firstBody = number;
        size_t flush = line.find("syncfs(");
        if (flush != std::string::npos && flushOpened == 0)
            flushOpened = openedAt[line.substr(flush + 7, line.find(')', flush) - flush - 7)];
    }
    ASSERT_GT(firstBody, 0u);
    ASSERT_GT(flushOpened, 0u);
    EXPECT_LT(flushOpened, firstBody);
}

// A tree that never was live comes back only whole: every file with its size and digest.
TEST_F(PublishRecovery, OnlyAWholeTreeComesBackThatWasNeverLive) {
    const std::string server = dir_ / "a/srv";
    ASSERT_EQ(Publish("1", server).exitCode, 0);
    WriteFileText(dir_ / "rel/game.exe", "MZ gamf");
    ASSERT_EQ(Publish("2", dir_ / "b/srv").exitCode, 0);
    struct Case {
        const char* name;
        const char* damaged;  // a file of the tree; "" for none
        bool removed;         // else one byte changed, size and time kept
        long long served;     // after a publish that fails at its signature; -1: nothing put back
        bool keylessFirst;    // widen and promote ran before, and must have left it
    };
    const Case cases[] = {
        {"whole", "", false, 2, false},
        {"whole, after commands without a key", "", false, 2, true},
        {"a file missing", "files/data/map.pak", true, -1, false},
        {"a byte changed", "files/data/map.pak", false, -1, false},
    };
    for (const Case& test : cases) {
        RunCommand({"rm", "-rf", server});
        const std::string candidate = OwnTempName(server);
        ASSERT_EQ(RunCommand({"cp", "-a", dir_ / "b/srv", candidate}).exitCode, 0);
        if (test.removed) unlink((candidate + "/" + test.damaged).c_str());
        else if (*test.damaged != '\0') AlterKeepingTimes(candidate + "/" + test.damaged);
        for (const std::vector<std::string>& keyless : {std::vector<std::string>{"widen", "--share", "5", server},
                                                        std::vector<std::string>{"promote", server}})
            if (test.keylessFirst) {
                EXPECT_EQ(RunTool(keyless).exitCode, 1) << keyless[0];
            }
        CommandResult failed = RunTool({"publish", "--sign-command", "exit 3", "--pub", dir_ / "k.pub.pem", "--serial",
                                        "3", dir_ / "rel", server});
        EXPECT_EQ(failed.exitCode, 1) << test.name;
        EXPECT_EQ(ServedSerial(dir_ / "k.pub.pem", server), test.served) << test.name << ": " << failed.err;
        EXPECT_EQ(failed.err.find("is unchanged") == std::string::npos, test.served > 0) << test.name << ": " << failed.err;
        RunCommand({"rm", "-rf", candidate});
    }
}

// stage, widen and promote where renameat2 takes no flags, as publish does.
TEST_F(PublishRecovery, StageCommandsWorkWhereRenameTakesNoFlags) {
    const std::string server = dir_ / "a/srv";
    ASSERT_EQ(Publish("1", server).exitCode, 0);
    WriteFileText(dir_ / "rel/game.exe", "MZ gamf");
    const std::vector<std::string> commands[] = {
        {"stage", "--key", dir_ / "k.pem", "--serial", "2", "--share", "5", dir_ / "rel", server},
        {"widen", "--share", "50", server},
        {"promote", server},
    };
    for (const std::vector<std::string>& command : commands) {
        CommandResult result = RunToolTraced("renameat2", {"renameat2:error=EINVAL"}, command);
        EXPECT_EQ(result.exitCode, 0) << command[0] << ": " << result.err;
    }
    EXPECT_EQ(ServedSerial(dir_ / "k.pub.pem", server), 2);
}

TEST_F(PublishRecovery, KeygenKilledBetweenItsRenamesLeavesAPairThatSignsAndVerifies) {
    ASSERT_EQ(RunTool({"keygen", dir_ / "a/k"}).exitCode, 0);
    ASSERT_EQ(RunTool({"keygen", dir_ / "b/k"}).exitCode, 0);
    ASSERT_EQ(RunToolTraced("rename", {}, {"keygen", "--force", dir_ / "a/k"}, dir_ / "trace").exitCode, 0);
    int publicRename = OccurrenceIn(dir_ / "trace", "rename", "\"" + dir_ / "a/k.pub.pem" + "\")");
    ASSERT_GT(publicRename, 0);
    CommandResult killed = RunToolTraced("rename", {"rename:signal=KILL:when=" + std::to_string(publicRename)},
                                         {"keygen", "--force", dir_ / "b/k"});
    ASSERT_EQ(killed.exitCode, 128 + SIGKILL);
    // Every reader of a half completes the pair first: the blob of the public half is the private key's.
    ASSERT_EQ(RunTool({"blob", dir_ / "b/k.pub.pem", dir_ / "pub.blob"}).exitCode, 0);
    ASSERT_EQ(RunTool({"blob", dir_ / "b/k.pem", dir_ / "private.blob"}).exitCode, 0);
    EXPECT_EQ(ReadFileText(dir_ / "pub.blob"), ReadFileText(dir_ / "private.blob"));
    CommandResult published =
        RunTool({"publish", "--key", dir_ / "b/k.pem", "--serial", "1", dir_ / "rel", dir_ / "b/srv"});
    ASSERT_EQ(published.exitCode, 0) << published.err;
    EXPECT_EQ(ServedSerial(dir_ / "b/k.pub.pem", dir_ / "b/srv"), 1);
}

}  // namespace
