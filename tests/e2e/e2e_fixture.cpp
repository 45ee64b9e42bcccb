// The end-to-end fixture: scratch tree, release, publishing, silent runs against the test server.
#include "e2e_fixture.h"

#include <signal.h>

#include <chrono>
#include <filesystem>
#include <thread>

const char kSignatureMessage[] =
    "Die Update-Liste hat keine g\u00fcltige Signatur. Es wird nichts installiert.";
const char kRollbackMessage[] =
    "Der Server bietet eine \u00e4ltere Version an als bereits installiert (Rollback-Schutz).";

namespace {
// One persistent wineserver for the whole suite: each later Wine start is then fast.
struct WineServerEnvironment : ::testing::Environment {
    void SetUp() override { StartWineServer(); }
};
const auto* wineServer = ::testing::AddGlobalTestEnvironment(new WineServerEnvironment);
}  // namespace

void EndToEnd::SetUp() {
    if (!Exists(DevKey("quillor-dev"))) {
        GTEST_SKIP() << "no development key: the exe trusts a custom key";
    }
    ASSERT_NE(server.Port(), 0) << "loopback server did not start";
    std::filesystem::create_directories(release);
    std::filesystem::create_directories(install);
}

void EndToEnd::AddToRelease(const std::string& path, const std::string& bytes) {
    WriteFile(release + "/" + path, bytes);
}

void EndToEnd::PublishRelease(uint64_t serial, bool force) {
    ASSERT_TRUE(Publish(release, served, serial, force));
}

void EndToEnd::ServeSignedManifest(const std::string& text) {
    WriteFile(served + "/manifest.txt", text);
    ASSERT_EQ(RunProcess({"/usr/bin/openssl", "dgst", "-sha256", "-sign",
                          DevKey("quillor-dev"), "-out", served + "/manifest.sig",
                          served + "/manifest.txt"},
                         30000),
              0);
}

int EndToEnd::RunSilent(const std::vector<std::string>& extra) {
    std::vector<std::string> args = {"/silent", "/dir", WinePath(install), "/url", server.BaseUrl()};
    args.insert(args.end(), extra.begin(), extra.end());
    return RunUpdater(args);
}

int EndToEnd::RunSilentFrom(const std::string& baseUrl, const std::string& dir) {
    std::filesystem::create_directories(dir);
    return RunUpdater({"/silent", "/dir", WinePath(dir), "/url", baseUrl, "/nolaunch"});
}

bool EndToEnd::KillMidTransfer(const std::string& dir, const std::string& path, int64_t stallAfter,
                               uint64_t partBytes) {
    std::filesystem::create_directories(dir);
    Misbehaviour stall;
    stall.stallAfter = stallAfter;
    server.Override("/files/" + path, stall);
    pid_t pid = StartUpdater({"/silent", "/dir", WinePath(dir), "/url", server.BaseUrl(), "/nolaunch"});
    if (pid <= 0) return false;
    bool stalledInTime = server.WaitUntilStalled(30000);
    // The ".part" must have received the bytes before the kill, so the interruption is mid-file.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    std::error_code ignored;
    while (stalledInTime && std::chrono::steady_clock::now() < deadline &&
           std::filesystem::file_size(dir + "/" + path + ".part", ignored) < partBytes) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid, SIGKILL);
    WaitProcess(pid, 10000);
    server.ReleaseStall();
    server.ClearOverrides();
    server.RearmStall();
    return stalledInTime;
}

std::string EndToEnd::StartLine() const {
    return "update start, server " + server.BaseUrl() + ", dir " + WinePath(install);
}

std::vector<std::string> EndToEnd::Leftovers() const {
    std::vector<std::string> found = FilesEndingIn(install, ".part");
    for (const std::string& old : FilesEndingIn(install, ".old")) found.push_back(old);
    return found;
}
