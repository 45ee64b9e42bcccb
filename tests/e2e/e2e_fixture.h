// The common ground of the end-to-end tests: a release, its published tree, a loopback server
// serving it and a fresh install directory, all in one scratch tree per test.
#pragma once
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "e2e_server.h"
#include "e2e_support.h"

class EndToEnd : public ::testing::Test {
protected:
    ScratchTree tree;
    std::string release = tree / "release";
    std::string served = tree / "server";
    std::string install = tree / "install";
    LoopbackServer server{served};

    void SetUp() override;

    // Writes a release file (path relative to the release directory).
    void AddToRelease(const std::string& path, const std::string& bytes);
    // Publishes the release with this serial; fails the test if the publisher fails.
    void PublishRelease(uint64_t serial, bool force = false);
    // Serves this manifest text, signed with the development key by openssl (for texts the
    // publisher would refuse to write).
    void ServeSignedManifest(const std::string& text);
    // Runs the exe silently against the test server: "/silent /dir INSTALL /url BASE" + extra.
    int RunSilent(const std::vector<std::string>& extra = {"/nolaunch"});
    // The same against another server and installation: "/silent /dir DIR /url BASE /nolaunch".
    int RunSilentFrom(const std::string& baseUrl, const std::string& dir);
    // A silent run into dir killed (SIGKILL) in the middle of /files/PATH: its answer stalls after
    // stallAfter bytes, and the kill comes once PATH's ".part" holds partBytes. The server answers
    // normally afterwards. False when the answer never stalled within 30 s.
    bool KillMidTransfer(const std::string& dir, const std::string& path, int64_t stallAfter,
                         uint64_t partBytes);

    std::string StartLine() const;
    std::string FailedLine(const std::string& message) const { return "FAILED: " + message; }
    std::string Installed(const std::string& path) const { return ReadFile(install + "/" + path); }
    std::string StateFile() const { return ReadFile(install + "/updater.state"); }
    std::vector<std::string> Leftovers() const;  // every ".part" and ".old" below install
};

// German messages the tests expect, in UTF-8.
extern const char kSignatureMessage[];
extern const char kRollbackMessage[];
