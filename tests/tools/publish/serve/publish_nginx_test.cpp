// The nginx site of "quillor-publish site" serving a published tree: the updater's requests answered
// byte for byte; every configuration the command prints is one nginx or Varnish accepts.
#include "tool_support.h"
#include "update/http.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

namespace {

const char kNginx[] = "/usr/sbin/nginx";
const char kUmlautPath[] = "Gr\xC3\xBC\xC3\x9F" "e/M\xC3\xBC" "hle Nord.map";

TEST(PublishNginx, ShippedSiteServesTheUpdatersRequests) {
    if (access(kNginx, X_OK) != 0) GTEST_SKIP() << "nginx is not installed";
    TempDir dir;
    chmod(dir.Path().c_str(), 0755);  // the nginx workers may run as another user
    ASSERT_EQ(RunTool({"keygen", dir / "k"}).exitCode, 0);
    mkdir((dir / "rel").c_str(), 0755);
    mkdir((dir / "rel/data").c_str(), 0755);
    mkdir((dir / "rel/Gr\xC3\xBC\xC3\x9F" "e").c_str(), 0755);
    WriteFileText(dir / "rel/data/Erste Karte.pak", std::string(300000, 'n') + "tail");
    WriteFileText(dir / "rel" + "/" + kUmlautPath, "mill");
    std::string big(1100000, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 + i / 4096);
    WriteFileText(dir / "rel/data/big.pak", big);
    AgeTree(dir / "rel");
    ASSERT_EQ(RunTool({"publish", "--key", dir / "k.pem", "--serial", "2", dir / "rel", dir / "srv"}).exitCode, 0);

    WebServer origin;
    ASSERT_TRUE(StartOrigin(dir.Path(), dir / "srv", origin))
        << "quillor-publish site failed, or nginx refused its site: "
        << ReadFileText(dir / "nginx/error.log") << ReadFileText(dir / "nginx/out.log");
    int port = origin.port;
    HttpReply manifest = RawHttp(port, "GET", "/manifest.txt");
    EXPECT_EQ(manifest.status, 200);
    EXPECT_EQ(manifest.body, ReadFileText(dir / "srv/manifest.txt"));
    HttpReply signature = RawHttp(port, "GET", "/manifest.sig");
    EXPECT_EQ(signature.status, 200);
    EXPECT_EQ(signature.body, ReadFileText(dir / "srv/manifest.sig"));
    HttpReply blank = RawHttp(port, "GET", "/files/" + UrlEncodePath("data/Erste Karte.pak"));
    EXPECT_EQ(blank.status, 200);
    EXPECT_EQ(blank.body, std::string(300000, 'n') + "tail");
    HttpReply umlaut = RawHttp(port, "GET", "/files/" + UrlEncodePath(kUmlautPath));
    EXPECT_EQ(umlaut.status, 200);
    EXPECT_EQ(umlaut.body, "mill");

    // patch/: ranges of the body and its block file under the body's digest, immutable for every
    // cache; files/ keeps asking every time.
    std::string manifestText = ReadFileText(dir / "srv/manifest.txt");
    const std::string sha = manifestText.substr(manifestText.find("\t1100000\tdata/big.pak") - 64, 64);
    const std::string blocks = ReadFileText(dir / "srv/patch/" + sha + ".blocks");
    ASSERT_GT(blocks.size(), 64u);
    const std::string immutable = "Cache-Control: public, max-age=31536000, immutable\r\n";
    struct Ask {
        std::string method, target, range;
        int status;
        std::string body;     // the whole body expected, or "" for none checked
        std::string header;   // a header line expected
    };
    const Ask asks[] = {
        {"GET", "/patch/" + sha, "bytes=0-9", 206, big.substr(0, 10), "Content-Range: bytes 0-9/1100000\r\n"},
        {"GET", "/patch/" + sha, "bytes=1048570-1048600", 206, big.substr(1048570, 31), immutable},
        {"GET", "/patch/" + sha, "bytes=1099990-", 206, big.substr(1099990), "Content-Range: bytes 1099990-1099999/1100000\r\n"},
        {"HEAD", "/patch/" + sha, "", 200, "", "Accept-Ranges: bytes\r\n"},
        {"GET", "/patch/" + sha + ".blocks", "", 200, blocks, immutable},
        {"GET", "/patch/" + sha + ".blocks", "bytes=0-63", 206, blocks.substr(0, 64), immutable},
        // More than one range: the whole body, which the updater takes as "no ranges here".
        {"GET", "/patch/" + sha, "bytes=0-1,5-9", 200, big, immutable},
        {"GET", "/patch/" + sha, "bytes=2000000-", 416, "", ""},
        {"GET", "/patch/" + std::string(64, 'a'), "", 404, "", "Cache-Control: no-cache\r\n"},
        {"GET", "/patch/" + sha.substr(0, 63) + "A", "", 404, "", ""},
        {"GET", "/patch/" + sha + ".part", "", 404, "", ""},
        {"GET", "/patch/", "", 404, "", ""},
        {"GET", "/patch/" + sha + "/", "", 404, "", ""},
        {"POST", "/patch/" + sha, "", 405, "", ""},
        {"GET", "/files/data/big.pak", "bytes=0-9", 206, big.substr(0, 10), "Cache-Control: no-cache\r\n"},
        {"GET", "/files/data/big.pak", "", 200, big, "Cache-Control: no-cache\r\n"},
    };
    for (const Ask& ask : asks) {
        HttpReply reply = RawHttp(port, ask.method, ask.target, 10, ask.range.empty() ? "" : "Range: " + ask.range + "\r\n");
        const std::string name = ask.method + " " + ask.target + " " + ask.range;
        EXPECT_EQ(reply.status, ask.status) << name << "\n" << reply.headers;
        if (!ask.body.empty()) {
            EXPECT_TRUE(reply.body == ask.body) << name << ": " << reply.body.size() << " bytes";
        }
        EXPECT_NE(reply.headers.find(ask.header), std::string::npos) << name << "\n" << reply.headers;
        if (ask.target.compare(0, 7, "/files/") == 0) {
            EXPECT_EQ(reply.headers.find("immutable"), std::string::npos) << name;
        }
    }

    EXPECT_EQ(RawHttp(port, "POST", "/manifest.txt").status, 405);
    EXPECT_EQ(RawHttp(port, "GET", "/files/").status, 404);
    EXPECT_EQ(RawHttp(port, "GET", "/files/data/").status, 404);
    EXPECT_EQ(RawHttp(port, "GET", "/%2e%2e/%2e%2e/etc/passwd").status, 400);
    // The root is a link (the player's bucket); a link inside the tree is still refused.
    ASSERT_EQ(symlink("/etc/passwd", (dir / "srv/files/data/passwd").c_str()), 0);
    EXPECT_EQ(RawHttp(port, "GET", "/files/data/passwd").status, 404);
    ASSERT_EQ(unlink((dir / "srv/files/data/passwd").c_str()), 0);
    CommandResult verified =
        RunTool({"verify", "--key", dir / "k.pub.pem", "http://127.0.0.1:" + std::to_string(port) + "/"});
    EXPECT_EQ(verified.exitCode, 0) << verified.out;
    // A re-publish whose files are hard links into the old tree is served the same way.
    CommandResult again = RunTool({"publish", "--key", dir / "k.pem", "--serial", "3", dir / "rel", dir / "srv"});
    EXPECT_NE(again.out.find("3 taken over unchanged"), std::string::npos) << again.out;
    EXPECT_NE(again.out.find("patch/: 1 block file(s) (1 reused, 0 made"), std::string::npos) << again.out;
    std::string base = "http://127.0.0.1:" + std::to_string(port);
    EXPECT_EQ(RunTool({"verify", "--key", dir / "k.pub.pem", base}).exitCode, 0);
    EXPECT_EQ(RunTool({"diff", dir / "rel", base}).exitCode, 0);
    StopWebServer(origin);
}

// Each printed configuration passes nginx -t (wrapped in a minimal nginx.conf) or varnishd -C
// and holds what was asked for; each bad argument is refused (exit 2) with a message naming it.
TEST(PublishNginx, SiteCommandPrintsWhatTheServersAcceptAndRefusesWhatTheyWouldMisread) {
    if (access(kNginx, X_OK) != 0 || access("/usr/sbin/varnishd", X_OK) != 0)
        GTEST_SKIP() << "nginx or varnishd is not installed";
    TempDir dir;
    const std::string srv = dir / "srv";
    mkdir((dir / "x").c_str(), 0755);  // for x/../srv
    struct Case {
        std::vector<std::string> args;
        int exitCode;
        const char* server;  // "nginx" or "varnish" checks the output; "" only the message
        std::string expect;  // in the output, or in the message
    };
    const Case cases[] = {
        {{srv}, 0, "nginx", "    listen 8080;\n    server_name _;\n    root " + srv + ".cohorts/$quillor_cohort;\n    real_ip"},
        {{"--port", "65535", "--bind", "::1", "--edge", "10.0.0.0/8", "--edge", "2001:db8::/32", "--edge", "192.0.2.7",
          dir / "x/../srv"},
         0, "nginx",
         "    listen [::1]:65535;\n    server_name _;\n    root " + srv + ".cohorts/$quillor_cohort;\n"
         "    set_real_ip_from 10.0.0.0/8;\n    set_real_ip_from 2001:db8::/32;\n    set_real_ip_from 192.0.2.7;\n"},
        {{"--edge", "::1", srv}, 0, "nginx", "    default 0;\n    ::1 1;\n}"},
        {{"--vcl", "127.0.0.1:8080"}, 0, "varnish", "    .host = \"127.0.0.1\";\n    .port = \"8080\";"},
        {{"--vcl", "[::1]:1", srv}, 0, "varnish", "(serving " + srv + ")"},
        {{"--vcl", "localhost:65535"}, 0, "varnish", "    .host = \"localhost\";\n    .port = \"65535\";"},
        {{"--port", "0", srv}, 2, "", "--port must be 1 to 65535"},
        {{"--port", "65536", srv}, 2, "", "--port must be 1 to 65535"},
        {{"--port", "-1", srv}, 2, "", "--port must be 1 to 65535"},
        {{"--edge", "10.0.0.1/8", srv}, 2, "", "--edge 10.0.0.1/8 has bits set after its prefix length"},
        {{"--edge", "2001:db8::/129", srv}, 2, "", "the prefix length must be 0 to 128"},
        {{"--edge", "10.0.0.0/", srv}, 2, "", "the prefix length must be 0 to 32"},
        {{"--edge", "edge.example.com", srv}, 2, "", "--edge edge.example.com is not an IPv4 or IPv6 address"},
        {{"--edge", "127.0.0.1;", srv}, 2, "", "--edge 127.0.0.1; is not"},
        {{"--bind", "localhost", srv}, 2, "", "--bind localhost is not an IPv4 or IPv6 address"},
        {{"--access-log", dir / "q.json", srv}, 0, "nginx", "access_log " + dir / "q.json" + " quillor_json;"},
        {{"--access-log", "logs/q.json", srv}, 2, "", "--access-log needs an absolute path"},
        {{"--access-log", dir / "q;.json", srv}, 2, "", "--access-log needs an absolute path"},
        {{dir / "a b"}, 2, "", "nginx would misread the path " + dir / "a b"},
        {{dir / "a;b"}, 2, "", "nginx would misread"},
        {{dir / "a{b}"}, 2, "", "nginx would misread"},
        {{dir / "$document_root"}, 2, "", "nginx would misread"},
        {{dir / "it's"}, 2, "", "nginx would misread"},
        {{dir / "a\"b"}, 2, "", "nginx would misread"},
        {{dir / "missing/srv"}, 2, "", "the folder " + dir / "missing" + " that holds SERVER_DIR does not exist"},
        {{dir.Path() + "/"}, 0, "nginx", "root " + dir.Path() + ".cohorts/"},
        {{"/"}, 2, "", "SERVER_DIR must name a folder"},
        {{}, 2, "", "site needs one SERVER_DIR"},
        {{"--vcl", "origin:0"}, 2, "", "--vcl needs ORIGIN_HOST:PORT"},
        {{"--vcl", "origin"}, 2, "", "--vcl needs ORIGIN_HOST:PORT"},
        {{"--vcl", "::1:80"}, 2, "", "--vcl needs ORIGIN_HOST:PORT"},
        {{"--vcl", "bad\"host:80"}, 2, "", "--vcl needs ORIGIN_HOST:PORT"},
        {{"--vcl", "-edge.example.com:80"}, 2, "", "--vcl needs ORIGIN_HOST:PORT"},
        {{"--vcl", "origin:80", "--port", "81"}, 2, "", "site --vcl takes ORIGIN_HOST:PORT"},
        {{"--vcl", "origin:80", dir / "a b"}, 2, "", "nginx would misread"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"site"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        std::string name = c.args.empty() ? "(none)" : c.args.front() + " ... " + c.args.back();
        CommandResult site = RunTool(args, 30);
        EXPECT_EQ(site.exitCode, c.exitCode) << name << ": " << site.err;
        EXPECT_NE((c.exitCode == 0 ? site.out : site.err).find(c.expect), std::string::npos)
            << name << ":\n" << site.out << site.err;
        if (c.exitCode != 0) {
            EXPECT_EQ(site.out, "") << name;
        }
        if (std::string(c.server) == "nginx") {
            WriteFileText(dir / "nginx/nginx.conf", NginxMainConfig(dir.Path(), site.out));
            CommandResult checked = NginxTest(dir.Path());
            EXPECT_EQ(checked.exitCode, 0) << name << ": " << checked.err;
            // nginx -t only warns about a CIDR it would misread; none may come from a printed site.
            EXPECT_EQ(checked.err.find("[warn]"), std::string::npos) << name << ": " << checked.err;
        } else if (std::string(c.server) == "varnish") {
            WriteFileText(dir / "edge.vcl", site.out);
            CommandResult compiled = RunCommand({"/usr/sbin/varnishd", "-C", "-j", "none", "-n", dir / "varnish", "-f", dir / "edge.vcl"}, 60);
            EXPECT_EQ(compiled.exitCode, 0) << name << ": " << compiled.err.substr(0, 2000);
        }
    }
}

}  // namespace
