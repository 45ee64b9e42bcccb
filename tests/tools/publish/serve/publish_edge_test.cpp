// The shipped Varnish edge in front of the shipped nginx site: bodies from the edge, never stale.
#include "tool_support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A key, a release folder dir / "rel" and the server tree dir / "srv" in a folder nginx may read.
class PublishEdge : public ::testing::Test {
protected:
    void SetUp() override {
        if (access("/usr/sbin/nginx", X_OK) != 0 || access("/usr/sbin/varnishd", X_OK) != 0)
            GTEST_SKIP() << "nginx or varnishd is not installed";
        chmod(dir.Path().c_str(), 0755);
        ASSERT_EQ(RunTool({"keygen", dir / "k"}).exitCode, 0);
        mkdir((dir / "rel").c_str(), 0755);
    }
    int Publish(int serial, std::vector<std::string> extra = {}) {
        std::vector<std::string> args = {"publish", "--key", dir / "k.pem", "--serial", std::to_string(serial)};
        args.insert(args.end(), extra.begin(), extra.end());
        args.insert(args.end(), {dir / "rel", dir / "srv"});
        return RunTool(args).exitCode;
    }
    // The shipped site (with edits) as the origin of srv, the shipped edge in front of it.
    void StartServers(const std::vector<std::pair<std::string, std::string>>& edits = {}) {
        ASSERT_TRUE(StartOrigin(dir.Path(), dir / "srv", origin, edits)) << ReadFileText(dir / "nginx/error.log");
        ASSERT_TRUE(StartEdge(dir.Path(), origin.port, edge)) << ReadFileText(dir / "varnish/out.log");
    }

    TempDir dir;
    WebServer origin, edge;  // stopped before dir goes
};

TEST_F(PublishEdge, RevalidatesEveryAnswerAndServesOnlyTheTree) {
    WriteFileText(dir / "rel/a.pak", std::string(200000, 'a'));
    WriteFileText(dir / "rel/b.pak", std::string(100000, 'b'));
    ASSERT_EQ(Publish(1), 0);
    ASSERT_NO_FATAL_FAILURE(StartServers());

    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(RawHttp(edge.port, "GET", "/files/a.pak").body, std::string(200000, 'a'));
        EXPECT_EQ(RawHttp(edge.port, "GET", "/files/b.pak").body, std::string(100000, 'b'));
        EXPECT_EQ(RawHttp(edge.port, "GET", "/manifest.txt").body, ReadFileText(dir / "srv/manifest.txt"));
    }
    // Same size, new bytes, published at once (often within the same second): the edge must notice.
    WriteFileText(dir / "rel/a.pak", std::string(200000, 'A'));
    ASSERT_EQ(Publish(2), 0);
    EXPECT_EQ(RawHttp(edge.port, "GET", "/manifest.txt").body, ReadFileText(dir / "srv/manifest.txt"));
    EXPECT_EQ(RawHttp(edge.port, "GET", "/manifest.sig").body, ReadFileText(dir / "srv/manifest.sig"));
    EXPECT_EQ(RawHttp(edge.port, "GET", "/files/a.pak").body, std::string(200000, 'A'));
    EXPECT_EQ(RawHttp(edge.port, "GET", "/files/b.pak").body, std::string(100000, 'b'));
    std::string log = OriginAccessLog(dir.Path());
    EXPECT_EQ(OriginLines(dir.Path(), "200 200000 /files/a.pak", 2), 2) << log;  // release 1, then 2
    EXPECT_EQ(OriginLines(dir.Path(), "200 100000 /files/b.pak", 1), 1) << log;  // then only 304s
    EXPECT_EQ(OriginLines(dir.Path(), "304 0 /files/b.pak", 2), 2) << log;
    EXPECT_GE(OriginLines(dir.Path(), "304 0 /manifest.txt", 2), 1) << log;  // asked every time

    // A 404 is not kept: the file appears with the next release.
    EXPECT_EQ(RawHttp(edge.port, "GET", "/files/c.pak").status, 404);
    WriteFileText(dir / "rel/c.pak", "late");
    ASSERT_EQ(Publish(3), 0);
    EXPECT_EQ(RawHttp(edge.port, "GET", "/files/c.pak").body, "late");
    for (const char* target : {"/", "/files/", "/files/../manifest.txt", "/%2e%2e/etc/passwd",
                               "/files/a.pak?x=1", "/files/%2e%2e/manifest.txt", "/nginx/nginx.conf"})
        EXPECT_EQ(RawHttp(edge.port, "GET", target).status, 404) << target;
    EXPECT_EQ(RawHttp(edge.port, "POST", "/manifest.txt").status, 405);
    EXPECT_EQ(RawHttp(edge.port, "PURGE", "/files/a.pak").status, 405);

    // verify --wait: fails on time-out, and waits for a publish that comes while it polls.
    std::string edgeUrl = "http://127.0.0.1:" + std::to_string(edge.port);
    CommandResult early = RunTool({"verify", "--key", dir / "k.pub.pem", "--expect-serial", "4", "--wait", "1", edgeUrl});
    EXPECT_EQ(early.exitCode, 1);
    EXPECT_NE(early.out.find("serves serial 3, expected 4"), std::string::npos) << early.out;
    BackgroundProcess waiting = StartBackground(
        {QUILLOR_PUBLISH_EXE, "verify", "--key", dir / "k.pub.pem", "--expect-serial", "4", "--wait", "60", edgeUrl},
        dir / "wait.log");
    EXPECT_NE(WaitForText(dir / "wait.log", "not yet", 20), "");
    ASSERT_EQ(Publish(4), 0);
    EXPECT_NE(WaitForText(dir / "wait.log", "OK: serial 4, 3 files", 30), "") << ReadFileText(dir / "wait.log");
    StopBackground(waiting);
    StopWebServer(edge);
    StopWebServer(origin);
}

// patch/ is named by content: the edge fetches a body and a block file from the origin once, then
// answers every single range from its object without asking again (no revalidation, no tree
// question); a list of ranges is refused; files/ still revalidates every time.
TEST_F(PublishEdge, PatchRangesComeFromTheEdgeWithoutAskingTheOriginAgain) {
    std::string big(1200000, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 13 + i / 4096);
    WriteFileText(dir / "rel/big.pak", big);
    ASSERT_EQ(Publish(1), 0);
    ASSERT_NO_FATAL_FAILURE(StartServers());
    std::string manifest = ReadFileText(dir / "srv/manifest.txt");
    const std::string sha = manifest.substr(manifest.find("\t1200000\tbig.pak") - 64, 64);
    const std::string blocks = ReadFileText(dir / "srv/patch/" + sha + ".blocks");
    ASSERT_GT(blocks.size(), 64u);
    const std::string patch = "/patch/" + sha;

    const int questionsBefore = OriginLines(dir.Path(), "204 0 /.quillor-tree", -1);
    for (int round = 0; round < 2; ++round) {
        struct Ask {
            std::string target, range;
            int status;
            std::string body;
        };
        const Ask asks[] = {
            {patch, "bytes=0-9", 206, big.substr(0, 10)},
            {patch, "bytes=1048570-1048600", 206, big.substr(1048570, 31)},
            {patch, "bytes=1199990-", 206, big.substr(1199990)},
            {patch + ".blocks", "", 200, blocks},
            {patch, "bytes=0-1,5-9", 416, ""},
            {patch, "", 200, big},
        };
        for (const Ask& ask : asks) {
            HttpReply reply = RawHttp(edge.port, "GET", ask.target, 10, ask.range.empty() ? "" : "Range: " + ask.range + "\r\n");
            EXPECT_EQ(reply.status, ask.status) << round << " " << ask.target << " " << ask.range << "\n" << reply.headers;
            if (!ask.body.empty()) {
                EXPECT_TRUE(reply.body == ask.body) << ask.target << " " << ask.range;
            }
            if (ask.status == 206) {
                EXPECT_NE(reply.headers.find("Cache-Control: public, max-age=31536000, immutable"), std::string::npos)
                    << reply.headers;
            }
        }
        EXPECT_EQ(RawHttp(edge.port, "GET", "/files/big.pak").body.size(), big.size());
    }
    const std::string log = OriginAccessLog(dir.Path());
    EXPECT_EQ(OriginLines(dir.Path(), "200 1200000 " + patch, 1), 1) << log;  // once, whole
    EXPECT_EQ(OriginLines(dir.Path(), "200 " + std::to_string(blocks.size()) + " " + patch + ".blocks", 1), 1) << log;
    EXPECT_EQ(log.find("304 0 /patch/"), std::string::npos) << log;  // never asked again
    EXPECT_EQ(("\n" + log).find("\n206 "), std::string::npos) << log;  // ranges come from the edge's object
    // Only the two files/ requests asked which tree the player gets.
    EXPECT_EQ(OriginLines(dir.Path(), "204 0 /.quillor-tree", questionsBefore + 2), questionsBefore + 2) << log;
    EXPECT_EQ(OriginLines(dir.Path(), "304 0 /files/big.pak", 1), 1) << log;  // files/ revalidates as before

    for (const std::string& target : std::vector<std::string>{"/patch/" + std::string(64, 'a'), patch + ".part",
                                                              patch.substr(0, 70), patch + "/x", "/patch/../manifest.txt"})
        EXPECT_EQ(RawHttp(edge.port, "GET", target).status, 404) << target;
    // A name this tree lacks is not kept: it is there once a release brings it.
    const std::string later(1100000, 'L');
    const std::string laterSha = "/patch/" + std::string(RunCommand({"sh", "-c", "head -c 1100000 /dev/zero | tr '\\0' L | sha256sum"}).out, 0, 64);
    EXPECT_EQ(RawHttp(edge.port, "GET", laterSha).status, 404);
    WriteFileText(dir / "rel/later.pak", later);
    ASSERT_EQ(Publish(2), 0);
    EXPECT_TRUE(RawHttp(edge.port, "GET", laterSha).body == later);
}

// The credentials a base URL carries pass the edge to the origin and are part of the cache key:
// without them 401, with them 200, and one user is never answered from another user's object
// (each user's first request reaches the origin as a full 200, the next ones as 304s).
TEST_F(PublishEdge, CredentialsReachTheOriginAndNoUserGetsAnothersObject) {
    WriteFileText(dir / "rel/a.pak", std::string(100000, 'a'));
    ASSERT_EQ(Publish(1), 0);
    std::string users;
    for (const char* user : {"alice:geheim", "bob:anders"}) {
        std::string name(user, std::strchr(user, ':'));
        CommandResult hashed = RunCommand({"openssl", "passwd", "-apr1", std::strchr(user, ':') + 1});
        ASSERT_EQ(hashed.exitCode, 0) << hashed.err;
        users += name + ":" + hashed.out;
    }
    WriteFileText(dir / "htpasswd", users);
    ASSERT_NO_FATAL_FAILURE(StartServers({{"autoindex off;", "autoindex off;\nauth_basic quillor;\nauth_basic_user_file " +
                                                                 dir / "htpasswd" + ";\naccess_log " +
                                                                 dir / "nginx/users.log" + " quillor_user;"}}));
    const std::string alice = "Authorization: Basic YWxpY2U6Z2VoZWlt\r\n";  // alice:geheim
    const std::string bob = "Authorization: Basic Ym9iOmFuZGVycw==\r\n";    // bob:anders
    const std::string wrong = "Authorization: Basic YWxpY2U6ZmFsc2No\r\n";  // alice:falsch
    EXPECT_EQ(RawHttp(edge.port, "GET", "/files/a.pak").status, 401);
    for (int round = 0; round < 2; ++round) {
        for (const std::string& user : {alice, bob}) {
            HttpReply reply = RawHttp(edge.port, "GET", "/files/a.pak", 10, user);
            EXPECT_EQ(reply.status, 200);
            EXPECT_TRUE(reply.body == std::string(100000, 'a'));
        }
        EXPECT_EQ(RawHttp(edge.port, "GET", "/files/a.pak", 10, wrong).status, 401);
        EXPECT_EQ(RawHttp(edge.port, "GET", "/files/a.pak").status, 401);
    }
    for (const char* line : {"alice 200 100000 /files/a.pak", "bob 200 100000 /files/a.pak",
                             "alice 304 0 /files/a.pak", "bob 304 0 /files/a.pak"})
        EXPECT_EQ(OriginLines(dir.Path(), line, 1, "users.log"), 1) << line << "\n" << ReadFileText(dir / "nginx/users.log");
}

// A live body damaged in place with its time kept reaches the edge; publish --checksum repairs it,
// and the repair must carry new validators, or the origin answers the edge's question with a 304.
TEST_F(PublishEdge, AChecksumRepairReachesTheEdge) {
    const std::string good(200000, 'a');
    WriteFileText(dir / "rel/a.pak", good);
    ASSERT_EQ(Publish(1), 0);
    AlterKeepingTimes(dir / "srv/files/a.pak");
    ASSERT_NO_FATAL_FAILURE(StartServers());
    ASSERT_TRUE(RawHttp(edge.port, "GET", "/files/a.pak").body != good);  // the edge holds the damage

    ASSERT_EQ(Publish(2, {"--checksum"}), 0);
    EXPECT_TRUE(ReadFileText(dir / "srv/files/a.pak") == good);
    EXPECT_TRUE(RawHttp(edge.port, "GET", "/files/a.pak").body == good);
    EXPECT_EQ(OriginLines(dir.Path(), "200 200000 /files/a.pak", 2), 2) << OriginAccessLog(dir.Path());
}

}  // namespace
