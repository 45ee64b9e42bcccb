// The updater under Wine against nginx over TLS, with a CA made for the run and trusted only in
// the test prefix: an installation, an untrusted certificate, and a redirect from plain http.
#include "e2e_fixture.h"
#include "tool_support.h"

#include <unistd.h>

namespace {

const char kUnreachablePrefix[] = "FAILED: Der Update-Server ist nicht erreichbar. Ist der Server online und "
                                  "deine Internetverbindung in Ordnung? (Fehler ";

class HttpsE2E : public EndToEnd {
protected:
    WebServer origin;

    void SetUp() override {
        EndToEnd::SetUp();
        if (IsSkipped()) return;
        if (access("/usr/sbin/nginx", X_OK) != 0) GTEST_SKIP() << "nginx is not installed";
        ASSERT_TRUE(MakeTestCertificates(tree.path, "trusted", "DNS:localhost"));
        AddToRelease("data/Neue Karte.pak", std::string(100000, 'k'));
        PublishRelease(4);
    }
    bool StartTlsOrigin(const std::string& name, int redirectStatus = 0) {
        OriginTls tls{name, redirectStatus};
        return StartOrigin(tree.path, served, origin, {}, &tls);
    }
    std::string HttpsUrl() const { return "https://localhost:" + std::to_string(origin.port); }
    static std::string LastLogLine(const std::string& dir) {
        std::vector<std::string> lines = LogLines(dir);
        return lines.empty() ? "<no log>" : lines.back();
    }
    // For a failure message: the run's last log line and what nginx logged.
    std::string Why(const std::string& dir) const {
        return LastLogLine(dir) + "\nnginx: " + ReadFile(tree / "nginx/error.log");
    }
    void ExpectInstalled(const std::string& dir) {
        EXPECT_EQ(ReadFile(dir + "/data/Neue Karte.pak"), std::string(100000, 'k'));
        EXPECT_EQ(ReadFile(dir + "/updater.state"), "4\r\n");
    }
    // A run into dir fails on the certificate: the unreachable-server message with a WinINet
    // certificate error, nothing installed, and no request reaches the server.
    void ExpectRefusedCertificate(const std::string& dir) {
        WriteFileText(tree / "nginx/access.log", "");  // the start-up probe's line
        EXPECT_EQ(RunSilentFrom(HttpsUrl(), dir), 2);
        std::string line = LastLogLine(dir);
        ASSERT_EQ(line.compare(0, sizeof kUnreachablePrefix - 1, kUnreachablePrefix), 0) << line;
        std::string code = line.substr(sizeof kUnreachablePrefix - 1);
        // 12037/12038 date or name, 12045 unknown CA, 12055 several, 12057 revocation not
        // checkable (Wine's answer to a chain it cannot complete), 12169 invalid, 12175 TLS.
        EXPECT_TRUE(code == "12037)" || code == "12038)" || code == "12045)" || code == "12055)" ||
                    code == "12057)" || code == "12169)" || code == "12175)")
            << line;
        EXPECT_FALSE(Exists(dir + "/data"));
        EXPECT_FALSE(Exists(dir + "/updater.state"));
        EXPECT_EQ(OriginAccessLog(tree.path), "");
    }
};

TEST_F(HttpsE2E, InstallsOverTlsWhileThePrefixTrustsTheCa) {
    ASSERT_TRUE(StartTlsOrigin("trusted")) << ReadFile(tree / "nginx/error.log");
    {
        TrustedRootCertificate root(tree / "trusted-ca.der");
        ASSERT_TRUE(root.added);
        ASSERT_EQ(RunSilentFrom(HttpsUrl(), install), 0) << Why(install);
        ExpectInstalled(install);
        EXPECT_EQ(OriginLines(tree.path, "200 100000 /files/data/Neue%20Karte.pak", 1), 1)
            << OriginAccessLog(tree.path);
        EXPECT_EQ(root.Remove(), 0);
    }
    // The CA is gone from the shared prefix again: the same server is now a stranger.
    ExpectRefusedCertificate(tree / "after");
}

TEST_F(HttpsE2E, CertificateFromAnotherCaIsAnUnreachableServer) {
    ASSERT_TRUE(MakeTestCertificates(tree.path, "stranger", "DNS:localhost"));
    ASSERT_TRUE(StartTlsOrigin("stranger")) << ReadFile(tree / "nginx/error.log");
    TrustedRootCertificate root(tree / "trusted-ca.der");
    ASSERT_TRUE(root.added);
    ExpectRefusedCertificate(install);
}

TEST_F(HttpsE2E, RedirectFromHttpToHttpsIsFollowed) {
    ASSERT_TRUE(StartTlsOrigin("trusted", 301)) << ReadFile(tree / "nginx/error.log");
    TrustedRootCertificate root(tree / "trusted-ca.der");
    ASSERT_TRUE(root.added);
    std::string plainUrl = "http://127.0.0.1:" + std::to_string(origin.plainPort);
    ASSERT_EQ(RunSilentFrom(plainUrl, install), 0) << Why(install);
    ExpectInstalled(install);
    // Asked in plain http (the manifest first), answered over TLS.
    std::string plainLog = WaitForText(tree / "nginx/plain.log", " /manifest.txt\n");
    EXPECT_EQ(plainLog.compare(0, 4, "301 "), 0) << plainLog;
    EXPECT_EQ(OriginLines(tree.path, "200 " + std::to_string(ReadFile(served + "/manifest.txt").size()) +
                                         " /manifest.txt", 1),
              1)
        << OriginAccessLog(tree.path);
}

}  // namespace
