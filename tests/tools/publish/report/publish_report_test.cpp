// The report and the stage's health gate over the logs of real nginx and Varnish, with simulated
// players whose every run the test knows, planted faults among them.
#include "keys/crypto.h"
#include "stage/cohort.h"
#include "tool_support.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <functional>
#include <set>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

using nlohmann::json;

// What the test knows of one serial, from the players' own runs.
struct Truth {
    std::set<std::string> addresses;
    int complete = 0, incomplete = 0, refused = 0, upToDate = 0;
    std::map<std::string, int> stoppedAt;
};

void Tally(const std::vector<SimPlayer>& players, const std::vector<SimRun>& runs, std::map<uint64_t, Truth>& truth) {
    for (size_t i = 0; i < runs.size(); ++i) {
        Truth& serial = truth[runs[i].served];
        serial.addresses.insert(players[i].address);
        if (runs[i].afterSignature) {
            ++serial.refused;
        } else if (runs[i].refused) {
            ++serial.incomplete;
            ++serial.stoppedAt[runs[i].stoppedAt];
        } else {
            ++(runs[i].files == 0 ? serial.upToDate : serial.complete);
        }
    }
}

int Requests(const std::vector<SimRun>& runs) {
    int count = 0;
    for (const SimRun& run : runs) count += run.served == 0 ? 1 : 2 + run.files;
    return count;
}

// Waits (bounded) until the log holds lines lines: servers write a line just after the answer.
int WaitForLines(const std::string& path, int lines) {
    int count = 0;
    for (int i = 0; i < 150 && count < lines; ++i) {
        if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(40));
        std::string text = ReadFileText(path);
        count = static_cast<int>(std::count(text.begin(), text.end(), '\n'));
    }
    return count;
}

json ReportJson(const std::vector<std::string>& args) {
    std::vector<std::string> all = {"report", "--json"};
    all.insert(all.end(), args.begin(), args.end());
    CommandResult result = RunTool(all);
    EXPECT_EQ(result.exitCode, 0) << result.err;
    json parsed = json::parse(result.out.substr(result.out.rfind("\n{") + 1), nullptr, false);
    return parsed.is_object() && parsed.contains("report") ? parsed["report"] : json();
}

json SerialOf(const json& report, uint64_t serial) {
    for (const json& each : report["serials"])
        if (each["serial"] == serial) return each;
    return json();
}

// The report's figures of serial must be the truth the players made.
void ExpectTruth(const json& report, uint64_t serial, const Truth& truth) {
    json figures = SerialOf(report, serial);
    ASSERT_TRUE(figures.is_object()) << "serial " << serial << " is missing: " << report.dump();
    EXPECT_EQ(figures["addresses"], truth.addresses.size()) << "serial " << serial;
    EXPECT_EQ(figures["complete"], truth.complete) << "serial " << serial;
    EXPECT_EQ(figures["incomplete"], truth.incomplete) << "serial " << serial;
    EXPECT_EQ(figures["refused"], truth.refused) << "serial " << serial;
    EXPECT_EQ(figures["up_to_date"], truth.upToDate) << "serial " << serial;
    std::map<std::string, int> stopped;
    for (const json& stop : figures["stopped_at"]) stopped[stop["path"]] = stop["runs"];
    EXPECT_EQ(stopped, truth.stoppedAt) << "serial " << serial;
}

// The varnishncsa command that the VCL's header documents, for the edge's work folder.
std::vector<std::string> DocumentedVarnishncsa(const std::string& vcl, const std::string& work, const std::string& log) {
    size_t at = vcl.find("-F '");
    size_t end = vcl.find("'\n", at);
    std::string format;
    for (size_t line = at + 4; line < end;) {
        size_t stop = std::min(vcl.find('\n', line), end);
        format += vcl.substr(line, stop - line);
        line = stop == end ? end : vcl.find_first_not_of("# ", stop + 1);
    }
    return {"/usr/bin/varnishncsa", "-n", work, "-a", "-w", log, "-j", "-F", format};
}

const char* const kChromium = "/usr/bin/chromium";

// Chromium, headless, with a profile of its own; the page is read from disk, nothing else.
CommandResult Chromium(const std::string& profile, const std::vector<std::string>& what) {
    std::vector<std::string> args = {kChromium, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                                     "--no-first-run", "--disable-background-networking", "--disable-component-update",
                                     "--disable-sync", "--user-data-dir=" + profile};
    args.insert(args.end(), what.begin(), what.end());
    return RunCommand(args, 90);
}

class PublishReport : public ::testing::Test {
protected:
    TempDir dir;
    void SetUp() override {
        ASSERT_TRUE(PrepareSiteFolder(dir));
        mkdir((dir / "faults").c_str(), 0755);
    }
    void Pack(int pack, int seed) {
        WriteFileText(dir / ("rel/data/pack" + std::to_string(pack) + ".pak"),
                      std::string(16384, static_cast<char>('A' + seed % 26)) + std::to_string(seed));
    }
    void Tool(const std::vector<std::string>& args) {
        CommandResult result = RunTool(args);
        EXPECT_EQ(result.exitCode, 0) << args[0] << ": " << result.err;
    }
};

TEST_F(PublishReport, FiguresEqualWhatThePlayersDidAndTheGateRefusesAFailingStage) {
    for (const char* tool : {"/usr/sbin/nginx", "/usr/sbin/varnishd", "/usr/bin/varnishncsa"})
        if (access(tool, X_OK) != 0) GTEST_SKIP() << tool << " is not installed";
    for (int pack = 0; pack < 4; ++pack) Pack(pack, pack);
    AgeTree(dir / "rel");
    Tool({"publish", "--key", dir / "k.pem", "--serial", "1", dir / "rel", dir / "srv"});
    // Faults nginx plants for one address while its marker file exists: a 404 on every listed
    // file, or a body so slow that the player gives up in the middle of it.
    const std::string faults = dir / "faults";
    WebServer origin;
    ASSERT_TRUE(StartOrigin(dir.Path(), dir / "srv", origin,
                            {{"    location /files/ {\n",
                              "    location /files/ {\n        if (-f " + faults + "/404-$remote_addr) { return 404; }\n"
                              "        if (-f " + faults + "/slow-$remote_addr) { set $limit_rate 1k; }\n"}}))
        << ReadFileText(dir / "nginx/error.log");
    const std::string originLog = dir / "nginx/access.json";
    PkeyPtr key;
    std::string error;
    ASSERT_TRUE(LoadVerifyKey(dir / "k.pub.pem", key, error)) << error;
    std::vector<SimPlayer> players(60);
    for (size_t i = 0; i < players.size(); ++i) players[i].address = "127.34.0." + std::to_string(i + 1);
    std::map<uint64_t, Truth> truth;
    int requests = WaitForLines(originLog, 1);  // StartOrigin's probe: a HEAD, not the updater's
    auto round = [&](int port) {
        std::vector<SimRun> runs = RunSimRound(players, port, key.get(), 8);
        Tally(players, runs, truth);
        requests += Requests(runs);
        return runs;
    };

    round(origin.port);  // fresh installs of serial 1
    Pack(1, 11);
    Pack(2, 12);
    Tool({"stage", "--key", dir / "k.pem", "--serial", "2", "--share", "50", "--salt", "3", dir / "rel", dir / "srv"});
    std::vector<size_t> staged;
    for (size_t i = 0; i < players.size(); ++i)
        if (BucketStaged(BucketOrder(3), 50, BucketOfAddressText(players[i].address))) staged.push_back(i);
    ASSERT_GE(staged.size(), 8u);
    // The planted faults, each on a player of the stage, for one round.
    struct FaultRow {
        const char* name;
        SimFault fault;
        const char* marker;     // nginx's fault for the address
        const char* stoppedAt;  // where that run stops
    };
    const FaultRow rows[] = {
        {"truncated body", SimFault::kCutFirstBody, "slow", "/files/data/pack1.pak"},
        {"stops after the signature", SimFault::kStopAfterSignature, "", "/manifest.sig"},
        {"404 on a listed file", SimFault::kNone, "404", "/files/data/pack1.pak"},
        {"retries the same file on its next run", SimFault::kRefuseLastFile, "", "/files/data/pack2.pak"},
    };
    for (size_t r = 0; r < std::size(rows); ++r) {
        SimPlayer& player = players[staged[r]];
        player.fault = rows[r].fault;
        if (*rows[r].marker) WriteFileText(faults + "/" + rows[r].marker + "-" + player.address, "");
    }
    std::vector<SimRun> faulty = round(origin.port);
    for (size_t r = 0; r < std::size(rows); ++r)
        EXPECT_EQ(faulty[staged[r]].stoppedAt, rows[r].stoppedAt) << rows[r].name << ": the rig did not plant it";
    for (const std::string& name : Names(faults)) unlink((faults + "/" + name).c_str());
    // Every fault repaired. The retrying player fetches the same file again, and only that shows
    // that its earlier run, which fetched every file whole, stopped.
    round(origin.port);
    ASSERT_EQ(WaitForLines(originLog, requests), requests);

    json report = ReportJson({dir / "srv", originLog});
    ASSERT_TRUE(report.is_object());
    ExpectTruth(report, 1, truth[1]);
    ExpectTruth(report, 2, truth[2]);
    EXPECT_EQ(SerialOf(report, 2)["not_found"], json::parse(R"([{"path":"/files/data/pack1.pak","answers":1}])"));
    EXPECT_EQ(report["stage"]["target_percent"], 50);
    EXPECT_EQ(report["stage"]["addresses_on_stage"], staged.size());
    EXPECT_EQ(report["stage"]["addresses_since_open"], players.size());
    EXPECT_EQ(report["adoption"]["bins"].back(),
              json::array({players.size() - staged.size(), staged.size()}));  // serial 1, serial 2
    EXPECT_EQ(report["lines"]["read"], requests);
    EXPECT_EQ(report["lines"]["not_json"], 0);
    EXPECT_EQ(report["lines"]["origin_for_edges"], 1);  // the probe came from the trusted edge address
    EXPECT_EQ(report.dump().find("127.34."), std::string::npos) << "an address without --addresses";
    CommandResult text = RunTool({"report", dir / "srv", originLog});
    std::printf("%s", text.out.c_str());

    // The gate: the stage failed 4 of its runs, the live release none since the stage opened.
    const std::string stageFailed = "failed 4 of " + std::to_string(staged.size() + 4) + " runs";
    struct GateRow {
        const char* command;
        std::vector<std::string> extra;
        int exitCode;
        const char* needle;
    };
    const GateRow gates[] = {
        {"widen", {"--health", originLog}, 1, "\"code\":\"stage-unhealthy\""},
        {"promote", {"--health", originLog}, 1, "\"code\":\"stage-unhealthy\""},
        {"widen", {"--health", originLog, "--max-failed", "40", "--min-runs", "1000"}, 1, "\"code\":\"stage-too-few-runs\""},
        {"widen", {"--max-failed", "40"}, 2, "need --health LOG"},
        {"widen", {"--health", originLog, "--max-failed", "40", "--min-runs", "1000", "--allow-few-runs"}, 0,
         stageFailed.c_str()},
    };
    for (const GateRow& gate : gates) {
        std::vector<std::string> args = {gate.command, "--json"};
        if (std::string(gate.command) == "widen") args.insert(args.end(), {"--share", "60"});
        args.insert(args.end(), gate.extra.begin(), gate.extra.end());
        args.push_back(dir / "srv");
        CommandResult widened = RunTool(args);
        EXPECT_EQ(widened.exitCode, gate.exitCode) << widened.out << widened.err;
        EXPECT_NE((widened.out + widened.err).find(gate.needle), std::string::npos) << widened.out << widened.err;
        if (gate.exitCode != 0) {
            EXPECT_NE(ReadFileText(dir / "srv.stage-state").find("share 50\n"), std::string::npos);
        }
        if (gate.exitCode == 1) {
            EXPECT_NE(widened.err.find(stageFailed), std::string::npos) << widened.err;
        }
    }

    // The page: every figure of the table is on it as Chromium renders it.
    if (access(kChromium, X_OK) != 0) std::printf("NOTE: %s is not installed (cmake/setup.sh installs it): the page was not checked\n", kChromium);
    if (access(kChromium, X_OK) == 0) {
        ASSERT_EQ(RunTool({"report", "--html", dir / "report.html", dir / "srv", originLog}).exitCode, 0);
        std::string page = ReadFileText(dir / "report.html");
        EXPECT_EQ(page.find("http://"), std::string::npos) << "the page must need nothing from the network";
        EXPECT_EQ(page.find("<script"), std::string::npos);
        CommandResult dom = Chromium(dir / "profile", {"--dump-dom", "file://" + dir / "report.html"});
        ASSERT_EQ(dom.exitCode, 0) << dom.err;
        json serial2 = SerialOf(report, 2);
        std::string row = "<td>2</td><td class=\"l\">stage</td><td>" + std::to_string(staged.size()) + "</td><td>" +
                          std::to_string(serial2["runs"].get<int>()) + "</td><td>" +
                          std::to_string(truth[2].complete) + "</td><td>3</td><td>1</td>";
        EXPECT_NE(dom.out.find(row), std::string::npos) << dom.out.substr(0, 3000);
        EXPECT_NE(dom.out.find("serial 2 /files/data/pack1.pak"), std::string::npos);
        EXPECT_NE(dom.out.find("target 60 %"), std::string::npos);
        const std::string shot = std::string(QUILLOR_BINARY_DIR) + "/report-screenshot.png";
        CommandResult taken = Chromium(dir / "profile", {"--screenshot=" + shot, "--window-size=1040,900",
                                                         "--hide-scrollbars", "file://" + dir / "report.html"});
        EXPECT_EQ(taken.exitCode, 0) << taken.err;
        EXPECT_GT(ReadFileText(shot).size(), 10000u) << shot;
    }

    // Through an edge: its own log counts the runs, the origin's lines for it only the bytes.
    Tool({"promote", dir / "srv"});
    Pack(3, 13);
    Tool({"publish", "--key", dir / "k.pem", "--serial", "3", dir / "rel", dir / "srv"});
    WebServer edge;
    ASSERT_TRUE(StartEdge(dir.Path(), origin.port, edge)) << ReadFileText(dir / "varnish/out.log");
    CommandResult vcl = RunTool({"site", "--vcl", "127.0.0.1:" + std::to_string(origin.port)});
    const std::string edgeLog = dir / "varnish/access.json";
    BackgroundProcess ncsa = StartBackground(DocumentedVarnishncsa(vcl.out, dir / "varnish", edgeLog), dir / "ncsa.log");
    for (int i = 0; i < 100 && access(edgeLog.c_str(), F_OK) != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // it has opened the shared log by then
    std::vector<SimRun> edged = RunSimRound(players, edge.port, key.get(), 8);
    std::map<uint64_t, Truth> edgeTruth;
    Tally(players, edged, edgeTruth);
    uint64_t clientBytes = 0;
    for (const SimRun& run : edged) clientBytes += run.bodyBytes;
    int edgeLines = WaitForLines(edgeLog, Requests(edged));
    StopBackground(ncsa);
    ASSERT_EQ(edgeLines, Requests(edged)) << ReadFileText(dir / "ncsa.log");
    json edged3 = ReportJson({dir / "srv", edgeLog, originLog});
    ExpectTruth(edged3, 3, edgeTruth[3]);
    ExpectTruth(edged3, 2, truth[2]);
    EXPECT_EQ(edged3["bytes"]["edge"], clientBytes);
    EXPECT_GT(edged3["bytes"]["origin_to_edges"], 0);
    EXPECT_LT(edged3["bytes"]["origin_to_edges"], clientBytes);
    std::printf("edge: %llu body bytes to players, the origin sent the edge %llu\n",
                static_cast<unsigned long long>(clientBytes),
                static_cast<unsigned long long>(edged3["bytes"]["origin_to_edges"].get<uint64_t>()));

    // A second edge, players who change edge between starts, names with blanks and umlauts (an
    // edge logs them percent-encoded) and a literal percent: both edges' logs cover the same
    // minutes and are merged by time; the figures stay exact.
    mkdir((dir / "edge2").c_str(), 0755);
    WebServer edge2;
    ASSERT_TRUE(StartEdge(dir / "edge2", origin.port, edge2)) << ReadFileText(dir / "edge2/varnish/out.log");
    const std::string edgeLog2 = dir / "edge2/varnish/access.json";
    ncsa = StartBackground(DocumentedVarnishncsa(vcl.out, dir / "varnish", edgeLog), dir / "ncsa.log");
    BackgroundProcess ncsa2 =
        StartBackground(DocumentedVarnishncsa(vcl.out, dir / "edge2/varnish", edgeLog2), dir / "ncsa2.log");
    for (int i = 0; i < 100 && access(edgeLog2.c_str(), F_OK) != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    int linesOn[2] = {edgeLines, 0};
    std::map<uint64_t, Truth> twoEdges;
    uint64_t twoEdgeBytes = 0;
    // Each player through edge (player + round) % 2: every player changes edge at every start.
    auto edgeRound = [&](int round) {
        std::vector<SimRun> runs(players.size());
        for (size_t i = 0; i < players.size(); ++i) {
            int which = static_cast<int>((i + static_cast<size_t>(round)) % 2);
            runs[i] = RunSimPlayer(players[i], which ? edge2.port : edge.port, key.get());
            linesOn[which] += Requests({runs[i]});
            twoEdgeBytes += runs[i].bodyBytes;
        }
        Tally(players, runs, twoEdges);
    };
    WriteFileText(dir / "rel/data/Neue Karte.pak", std::string(5000, 'k'));
    WriteFileText(dir / "rel/data/K\xC3\xA4se \xC3\xB6l.pak", std::string(3000, 'q'));
    WriteFileText(dir / "rel/data/x%41y.pak", std::string(2000, 'x'));
    AgeTree(dir / "rel");
    Tool({"publish", "--key", dir / "k.pem", "--serial", "4", dir / "rel", dir / "srv"});
    edgeRound(0);
    WriteFileText(dir / "rel/data/Neue Karte.pak", std::string(5001, 'K'));
    WriteFileText(dir / "rel/data/x%41y.pak", std::string(2001, 'X'));
    AgeTree(dir / "rel");
    Tool({"publish", "--key", dir / "k.pem", "--serial", "5", dir / "rel", dir / "srv"});
    edgeRound(1);
    edgeRound(2);  // up to date, each through the other edge again
    int got1 = WaitForLines(edgeLog, linesOn[0]), got2 = WaitForLines(edgeLog2, linesOn[1]);
    StopBackground(ncsa);
    StopBackground(ncsa2);
    ASSERT_EQ(got1, linesOn[0]) << ReadFileText(dir / "ncsa.log");
    ASSERT_EQ(got2, linesOn[1]) << ReadFileText(dir / "ncsa2.log");
    ASSERT_GT(twoEdges[5].complete, 0);
    ASSERT_GT(twoEdges[5].upToDate, 0);
    json merged = ReportJson({dir / "srv", edgeLog2, edgeLog, originLog});
    ExpectTruth(merged, 4, twoEdges[4]);
    ExpectTruth(merged, 5, twoEdges[5]);
    ExpectTruth(merged, 2, truth[2]);
    ExpectTruth(merged, 3, edgeTruth[3]);
    EXPECT_EQ(merged["bytes"]["edge"], clientBytes + twoEdgeBytes);
    ASSERT_FALSE(merged["adoption"]["bins"].empty());
    EXPECT_EQ(merged["adoption"]["bins"].back()[4], players.size()) << merged["adoption"].dump();
    for (const json& bin : merged["adoption"]["bins"])
        for (const json& count : bin) EXPECT_GE(count.get<int64_t>(), 0) << merged["adoption"].dump();
    // The same logs in another order give the same figures.
    json again = ReportJson({dir / "srv", originLog, edgeLog, edgeLog2});
    EXPECT_EQ(again["serials"], merged["serials"]);
    StopWebServer(edge2);
    StopWebServer(edge);
    StopWebServer(origin);
}

}  // namespace

namespace {

// One line of the site's JSON access log from 127.0.0.9.
struct LogLine {
    int64_t ms;
    std::string uri;
    int status;
    uint64_t bytes;
    std::string etag = "";
    std::string method = "GET";
    std::string agent = "Quillor-Updater/1.0";
    std::string src = "origin";  // "edge": varnishncsa's line, its path as the player sent it
    std::string completion = "OK";  // nginx's flag: "" when the answer was cut off
};

std::string LineText(const LogLine& line) {
    return "{\"msec\":" + std::to_string(line.ms / 1000) + "." + std::to_string(1000 + line.ms % 1000).substr(1) +
           ",\"addr\":\"127.0.0.9\",\"peer\":\"127.0.0.9\",\"method\":\"" + line.method + "\",\"uri\":\"" + line.uri +
           "\",\"status\":" + std::to_string(line.status) + ",\"bytes\":" + std::to_string(line.bytes) +
           ",\"completion\":\"" + line.completion + "\",\"tree\":\"live\",\"etag\":\"" +
           (line.etag.empty() ? "" : "\\\"" + line.etag + "\\\"") + "\",\"agent\":\"" + line.agent +
           "\",\"conn\":1,\"conn_requests\":1,\"via_edge\":0,\"src\":\"" + line.src + "\"}\n";
}

// The ETag nginx sends for the manifest of the tree at tree, and that manifest's size.
std::pair<std::string, uint64_t> ManifestEtag(const std::string& tree) {
    struct stat st;
    stat((tree + "/manifest.txt").c_str(), &st);
    char etag[64];
    std::snprintf(etag, sizeof etag, "%llx-%llx", static_cast<unsigned long long>(st.st_mtim.tv_sec),
                  static_cast<unsigned long long>(st.st_size));
    return {etag, static_cast<uint64_t>(st.st_size)};
}

// Access log lines of one updater run against the site at srv, a second apart.
struct RunLines {
    std::string manifest, signature, file;
};

RunLines OneRun(const std::string& srv, int64_t startMs) {
    auto manifest = ManifestEtag(srv);
    return {LineText({startMs, "/manifest.txt", 200, manifest.second, manifest.first}),
            LineText({startMs + 1000, "/manifest.sig", 200, 256}), LineText({startMs + 2000, "/files/a.pak", 200, 5})};
}

// The rules that read runs from one address's requests, each row a log of its own.
TEST_F(PublishReport, RunsAreReadAsTheUpdaterMakesThem) {
    WriteFileText(dir / "rel/a.pak", "one");
    WriteFileText(dir / "rel/b.pak", "bee");
    // Names an edge's log writes percent-encoded (the same in both releases).
    WriteFileText(dir / "rel/Neue Karte.pak", "map");
    WriteFileText(dir / "rel/K\xC3\xA4se.pak", "cheese");
    WriteFileText(dir / "rel/x%41y.pak", "xy");
    AgeTree(dir / "rel");
    // Without the offer: the table below reads whole-file runs; the offer is added by hand after it.
    Tool({"publish", "--no-blocks", "--key", dir / "k.pem", "--serial", "1", dir / "rel", dir / "srv"});
    auto m1 = ManifestEtag(dir / "srv");  // the tree keeps its times in the history
    WriteFileText(dir / "rel/a.pak", "two!");
    WriteFileText(dir / "rel/b.pak", "xy");  // as x%41y.pak, which stays: with block files a local copy
    AgeTree(dir / "rel");
    Tool({"publish", "--no-blocks", "--key", dir / "k.pem", "--serial", "2", dir / "rel", dir / "srv"});
    auto m2 = ManifestEtag(dir / "srv");
    int64_t t = 1765245600000;
    auto run = [&](const std::pair<std::string, uint64_t>& manifest, std::vector<LogLine> files) {
        std::vector<LogLine> lines = {{t, "/manifest.txt", 200, manifest.second, manifest.first},
                                      {t + 1, "/manifest.sig", 200, 256}};
        for (size_t i = 0; i < files.size(); ++i) files[i].ms = t + 2 + static_cast<int64_t>(i);
        lines.insert(lines.end(), files.begin(), files.end());
        t += 1000;
        return lines;
    };
    const LogLine a2 = {0, "/files/a.pak", 200, 4}, b2 = {0, "/files/b.pak", 200, 2};
    // As varnishncsa writes them: a line when its request ends, stamped with its start.
    std::vector<LogLine> shuffled = run(m2, {a2, b2});
    std::swap(shuffled[0], shuffled[1]);
    std::swap(shuffled[2], shuffled[3]);
    struct Case {
        const char* name;
        std::vector<std::vector<LogLine>> runs;
        std::vector<std::string> options;
        // serial 2's complete, incomplete, refused, up to date; serial 1's refused
        int complete, incomplete, refused, upToDate, refusedOn1;
        std::string stoppedAt;  // serial 2's, "" for none (the most runs first)
        std::string lines;      // a field of "lines" that must be 1
        std::vector<int> adoption = {};  // the last bin: addresses on serial 1, serial 2 ({} unchecked)
        bool spaced = false;             // a blank after every colon, as other JSON writers put it
        size_t logs = 1;                 // run k goes into log k % logs: a player changing edge at each start
    };
    const LogLine a1 = {0, "/files/a.pak", 200, 3}, b1 = {0, "/files/b.pak", 200, 3};
    const LogLine b404 = {0, "/files/b.pak", 404, 0}, b503 = {0, "/files/b.pak", 503, 0};
    auto edge = [](LogLine line) {
        line.src = "edge";
        return line;
    };
    // A new player fetches every file; through the edge its names as it sent them.
    const std::vector<LogLine> everyFile = {a2, b2, {0, "/files/Neue Karte.pak", 200, 3},
                                            {0, "/files/K\xC3\xA4se.pak", 200, 6}, {0, "/files/x%41y.pak", 200, 2}};
    const std::vector<LogLine> everyFileEncoded = {
        edge(a2), edge(b2), edge({0, "/files/Neue%20Karte.pak", 200, 3}), edge({0, "/files/K%C3%A4se.pak", 200, 6}),
        edge({0, "/files/x%2541y.pak", 200, 2})};
    const Case cases[] = {
        {"an update, then up to date", {run(m2, {a2, b2}), run(m2, {})}, {}, 1, 0, 0, 1, 0, "", ""},
        {"lines out of their times' order", {shuffled, run(m2, {})}, {}, 1, 0, 0, 1, 0, "", ""},
        {"a lower serial refused", {run(m2, {a2, b2}), run(m1, {})}, {}, 1, 0, 0, 0, 1, "", ""},
        {"a 503 on a listed file", {run(m2, {{0, "/files/a.pak", 503, 0}})}, {}, 0, 1, 0, 0, 0, "/files/a.pak", ""},
        {"a signature cut short", {{{t, "/manifest.txt", 200, m2.second, m2.first}, {t + 1, "/manifest.sig", 200, 90}}},
         {}, 0, 1, 0, 0, 0, "/manifest.sig", ""},
        {"a body of the wrong size", {run(m2, {a2, {0, "/files/b.pak", 200, 3}})}, {}, 0, 1, 0, 0, 0, "/files/b.pak", ""},
        {"the last file fetched again at the next run", {run(m2, {a2, b2}), run(m2, {b2})}, {}, 1, 1, 0, 0, 0,
         "/files/b.pak", ""},
        {"files missing from a run whose start is known", {run(m1, {{0, "/files/a.pak", 200, 3}, {0, "/files/b.pak", 200, 3}}),
                                                             run(m2, {a2}), run(m2, {b2})},
         {}, 1, 1, 0, 0, 0, "/files/a.pak", ""},
        {"a manifest of a release not kept", {run({"5f5e100-2a", 42}, {a2})}, {}, 0, 0, 0, 0, 0, "", "unknown_serial"},
        {"files sent to a mirror", {run(m2, {{0, "/files/a.pak", 302, 0}, b2})}, {}, 1, 0, 0, 0, 0, "", "redirected"},
        {"a file before any manifest", {{{t, "/files/a.pak", 200, 4}}}, {}, 0, 0, 0, 0, 0, "", "outside_runs"},
        {"HEAD is no run", {{{t, "/manifest.txt", 200, 0, m2.first, "HEAD"}}}, {}, 0, 0, 0, 0, 0, "", "not_updater"},
        {"another agent is no run", {{{t, "/manifest.txt", 200, m2.second, m2.first, "GET", "curl/7.88"}}}, {}, 0, 0, 0,
         0, 0, "", "not_updater"},
        // Fault 1: an edge's %U is percent-encoded, nginx's $uri is not; each decoded exactly once.
        {"names with blanks, umlauts and a percent from the origin", {run(m2, everyFile)}, {}, 1, 0, 0, 0, 0, "", "",
         {0, 1}},
        {"the same names percent-encoded by an edge", {run(m2, everyFileEncoded)}, {}, 1, 0, 0, 0, 0, "", "", {0, 1}},
        // Fault 3: after a run stopped on its second file, manifest and signature alone are a refusal.
        {"a refused run after one stopped on its second file", {run(m1, {a1, b1}), run(m2, {a2, b404}), run(m2, {})},
         {}, 0, 1, 1, 0, 0, "/files/b.pak", "", {0, 0}},
        // Fault 4: a stopped run takes the address off its old release before a later one adds it.
        {"an address on one release after a stopped run", {run(m1, {a1, b1}), run(m2, {a2, b404}), run(m2, {b2})}, {},
         1, 1, 0, 0, 0, "/files/b.pak", "", {0, 1}},
        {"an address on one release after a run with fewer files", {run(m1, {a1, b1}), run(m2, {a2}), run(m2, {b2})},
         {}, 1, 1, 0, 0, 0, "/files/a.pak", "", {0, 1}},
        // Fault 8: stops ranked by runs; a blank after each colon still puts lines in time order.
        {"stops ranked by runs", {run(m2, {{0, "/files/a.pak", 503, 0}}), run(m2, {a2, b503}), run(m2, {b503})}, {}, 0,
         3, 0, 0, 0, "/files/b.pak", ""},
        {"lines out of order with a blank after each colon", {shuffled, run(m2, {})}, {}, 1, 0, 0, 1, 0, "", "", {0, 1},
         true},
        // Fault 2: two edges' logs over the same minutes, merged by time, not read one after the other.
        {"a player that changes edge at each start", {run(m1, {a1, b1}), run(m2, {a2, b2}), run(m2, {})}, {}, 1, 0, 0,
         1, 0, "", "", {0, 1}, false, 2},
        {"three edges, and the logs given newest first",
         {run(m1, {a1, b1}), run(m2, {a2, b404}), run(m2, {b2}), run(m2, {}), run(m1, {})}, {}, 1, 1, 0, 1, 1,
         "/files/b.pak", "", {0, 1}, false, 3},
    };
    auto check = [&](const Case& test) {
        std::vector<std::string> texts(test.logs), args = {"--addresses", dir / "srv"};
        for (size_t k = 0; k < test.runs.size(); ++k)
            for (const LogLine& line : test.runs[k]) texts[k % test.logs] += LineText(line);
        for (size_t n = test.logs; n-- > 0;) {
            std::string& text = texts[n];
            for (size_t at = 0; test.spaced && (at = text.find("\":", at)) != std::string::npos; at += 3)
                text.insert(at + 2, " ");
            const std::string name = n == 0 ? "log" : "log" + std::to_string(n);
            WriteFileText(dir / name, text);
            args.push_back(dir / name);
        }
        json report = ReportJson(args);
        ASSERT_TRUE(report.is_object()) << test.name;
        json two = SerialOf(report, 2), one = SerialOf(report, 1);
        EXPECT_EQ(two["complete"], test.complete) << test.name << ": " << report.dump();
        EXPECT_EQ(two["incomplete"], test.incomplete) << test.name;
        EXPECT_EQ(two["refused"], test.refused) << test.name;
        EXPECT_EQ(two["up_to_date"], test.upToDate) << test.name;
        EXPECT_EQ(one["refused"], test.refusedOn1) << test.name;
        json stops = two["stopped_at"];
        EXPECT_EQ(stops.empty() ? "" : stops[0]["path"].get<std::string>(), test.stoppedAt) << test.name;
        if (!stops.empty()) {
            EXPECT_EQ(stops[0]["addresses"][0], "127.0.0.9") << test.name;
        }
        if (!test.lines.empty()) {
            EXPECT_EQ(report["lines"][test.lines], 1) << test.name;
        }
        if (!test.adoption.empty()) {
            const json& bins = report["adoption"]["bins"];
            EXPECT_EQ(bins.empty() ? json() : bins.back(), json(test.adoption)) << test.name << ": " << report.dump();
        }
        for (const json& bin : report["adoption"]["bins"])
            for (const json& count : bin) EXPECT_GE(count.get<int64_t>(), 0) << test.name << ": " << report.dump();
        };
    for (const Case& test : cases) check(test);

    // Issue 39: a release whose serial line opts in to block files. Its changed a.pak comes as its
    // block file and byte ranges of /patch/<sha256>; its b.pak, the bytes of x%41y.pak that
    // stays, is copied locally (no request), and so is "Neue Karte.pak", moved to maps/: its old
    // copy stays on disk. The serial line carries the marker after the digits.
    std::string manifest = ReadFileText(dir / "srv/manifest.txt");
    ASSERT_EQ(manifest.compare(0, 9, "serial 2\n"), 0) << manifest.substr(0, 40);
    manifest.insert(8, " blocks=patch min=1");
    const size_t moved = manifest.find("\tNeue Karte.pak\n");
    ASSERT_NE(moved, std::string::npos) << manifest;
    manifest.insert(moved + 1, "maps/");
    WriteFileText(dir / "srv/manifest.txt", manifest);
    auto m2p = ManifestEtag(dir / "srv");
    size_t lineOfA = manifest.find("\ta.pak\n");
    ASSERT_NE(lineOfA, std::string::npos) << manifest;
    const std::string shaA = manifest.substr(manifest.rfind('\n', lineOfA) + 1, 64);
    ASSERT_EQ(shaA.size(), 64u) << manifest;
    const LogLine blocksA = {0, "/patch/" + shaA + ".blocks", 200, 76}, rangeA = {0, "/patch/" + shaA, 206, 2};
    LogLine rangeCut = rangeA, range416 = rangeA, rangeWhole = rangeA, blocks404 = blocksA;
    rangeCut.completion = "";
    range416.status = 416;
    range416.bytes = 0;
    rangeWhole.status = 200;  // a server that ignores Range: the whole body, taken as the file
    rangeWhole.bytes = 4;
    LogLine rangeWholeCut = rangeWhole;
    rangeWholeCut.bytes = 3;
    rangeWholeCut.completion = "";
    blocks404.status = 404;
    const Case patched[] = {
        {"the serial line's marker is read, a whole download still counts", {run(m1, {a1, b1}), run(m2p, {a2})}, {}, 1,
         0, 0, 0, 0, "", "", {0, 1}},
        {"a block file and two ranges, the other file copied locally",
         {run(m1, {a1, b1}), run(m2p, {blocksA, rangeA, rangeA})}, {}, 1, 0, 0, 0, 0, "", "", {0, 1}},
        {"every block found locally: the block file alone", {run(m1, {a1, b1}), run(m2p, {blocksA})}, {}, 1, 0, 0, 0, 0,
         "", "", {0, 1}},
        {"cut off within a range", {run(m1, {a1, b1}), run(m2p, {blocksA, rangeA, rangeCut})}, {}, 0, 1, 0, 0, 0,
         "/files/a.pak", "", {0, 0}},
        {"resumed at the next run", {run(m1, {a1, b1}), run(m2p, {blocksA, rangeCut}), run(m2p, {blocksA, rangeA})}, {},
         1, 1, 0, 0, 0, "/files/a.pak", "", {0, 1}},
        {"a 416 drops the file to its whole download", {run(m1, {a1, b1}), run(m2p, {blocksA, range416, a2})}, {}, 1, 0,
         0, 0, 0, "", "", {0, 1}},
        {"a server that ignores Range", {run(m1, {a1, b1}), run(m2p, {blocksA, rangeWhole})}, {}, 1, 0, 0, 0, 0, "",
         "", {0, 1}},
        {"its whole answer, then the file again from files/", {run(m1, {a1, b1}), run(m2p, {blocksA, rangeWhole, a2})},
         {}, 1, 0, 0, 0, 0, "", "", {0, 1}},
        {"its whole answer cut off", {run(m1, {a1, b1}), run(m2p, {blocksA, rangeWholeCut})}, {}, 0, 1, 0, 0, 0,
         "/files/a.pak", "", {0, 0}},
        {"no block file: the whole download", {run(m1, {a1, b1}), run(m2p, {blocks404, a2})}, {}, 1, 0, 0, 0, 0, "", "",
         {0, 1}},
        {"the whole download cut after a block file", {run(m1, {a1, b1}), run(m2p, {blocks404, {0, "/files/a.pak", 200, 3}})},
         {}, 0, 1, 0, 0, 0, "/files/a.pak", "", {1, 0}},
        {"nothing fetched although a.pak needs its blocks", {run(m1, {a1, b1}), run(m2p, {})}, {}, 0, 0, 1, 0, 0, "", "",
         {1, 0}},
        {"a range of a digest the release does not list", {run(m1, {a1, b1}), run(m2p, {{0, "/patch/" + std::string(64, 'e'), 206, 2}})},
         {}, 0, 1, 0, 0, 0, "(an unlisted path)", "", {1, 0}},
        {"through an edge, the run resumed at its next start shows the cut",
         {run(m1, {a1, b1}), run(m2p, {edge(blocksA), edge(rangeA)}), run(m2p, {edge(blocksA), edge(rangeA)})}, {}, 1, 1,
         0, 0, 0, "/files/a.pak", "", {0, 1}},
        {"a patched run, then up to date",
         {run(m1, {a1, b1}), run(m2p, {blocksA, rangeA}), run(m2p, {})}, {}, 1, 0, 0, 1, 0, "", "", {0, 1}},
    };
    for (const Case& test : patched) check(test);

    // Without --addresses no address leaves the tool, not even in the page.
    ASSERT_EQ(RunTool({"report", "--html", dir / "page.html", dir / "srv", dir / "log"}).exitCode, 0);
    EXPECT_EQ(ReadFileText(dir / "page.html").find("127.0.0.9"), std::string::npos);
    EXPECT_EQ(ReportJson({dir / "srv", dir / "log"}).dump().find("127.0.0.9"), std::string::npos);
}

// The gate acts only on the stage it judged, and only on evidence it could read (faults 9 and 10
// of issue 38). The log comes through a FIFO that the test holds open: the gate has loaded the
// site and read every line, and waits for the end while "meanwhile" runs.
TEST_F(PublishReport, TheGateActsOnlyOnTheStageItJudgedFromLogsItCouldRead) {
    WriteFileText(dir / "rel/a.pak", "one");
    AgeTree(dir / "rel");
    Tool({"publish", "--key", dir / "k.pem", "--serial", "1", dir / "rel", dir / "srv"});
    WriteFileText(dir / "rel/a.pak", "two!");
    AgeTree(dir / "rel");
    Tool({"stage", "--key", dir / "k.pem", "--serial", "2", "--share", "50", dir / "rel", dir / "srv"});
    // Runs of serial 2 since the stage opened (its manifest's ETag), all complete.
    auto manifest = ManifestEtag(dir / "srv.stage");
    int64_t now = static_cast<int64_t>(time(nullptr)) * 1000 + 5000;
    std::string log;
    for (int i = 0; i < 3; ++i, now += 10000)
        log += LineText({now, "/manifest.txt", 200, manifest.second, manifest.first}) +
               LineText({now + 1000, "/manifest.sig", 200, 256}) + LineText({now + 2000, "/files/a.pak", 200, 4});
    WriteFileText(dir / "access.json", log);
    mkfifo((dir / "fifo").c_str(), 0600);
    auto stageAgain = [&](int serial) {
        return [this, serial] {
            WriteFileText(dir / "rel/a.pak", "serial " + std::to_string(serial));
            AgeTree(dir / "rel");
            Tool({"stage", "--key", dir / "k.pem", "--serial", std::to_string(serial), "--share", "50",
                  dir / "rel", dir / "srv"});
        };
    };
    struct GateRow {
        const char* name;
        std::vector<std::string> args;     // the command before SERVER_DIR; "FIFO" is the held log
        std::function<void()> meanwhile;  // while the gate waits for the end of the FIFO
        int exitCode;
        const char* needle;
        const char* liveAfter;  // the live serial afterwards
    };
    const std::vector<std::string> lenient = {"--max-failed", "100", "--allow-few-runs"};
    auto with = [&](std::vector<std::string> args) {
        args.insert(args.end(), lenient.begin(), lenient.end());
        return args;
    };
    const GateRow rows[] = {
        {"widen while another stage replaces the judged one", with({"widen", "--share", "60", "--health", "FIFO"}),
         stageAgain(3), 1, "\"code\":\"stage-changed\"", "1"},
        {"promote while another stage replaces the judged one", with({"promote", "--health", "FIFO"}), stageAgain(4), 1,
         "\"code\":\"stage-changed\"", "1"},
        {"a log that cannot be opened, with --allow-few-runs",
         with({"widen", "--share", "60", "--health", dir / "typo.json"}), nullptr, 1,
         "\"code\":\"health-unreadable\"", "1"},
        {"a log that cannot be opened beside one that can",
         with({"widen", "--share", "60", "--health", dir / "access.json", "--health", dir / "typo.json"}), nullptr,
         1, "typo.json: cannot open", "1"},
        {"a log that cannot be opened, too few runs", {"widen", "--share", "60", "--health", dir / "typo.json"},
         nullptr, 1, "\"code\":\"health-unreadable\"", "1"},
        {"a FIFO nobody writes to", with({"widen", "--share", "60", "--health", dir / "fifo"}), nullptr, 1,
         "\"code\":\"health-unreadable\"", "1"},
        {"the stage judged is the stage widened", with({"widen", "--share", "60", "--health", "FIFO"}), nullptr, 0,
         "reaches 60 %", "1"},
        {"the stage judged is the stage promoted", with({"promote", "--health", "FIFO"}), nullptr, 0,
         "promoted serial 4", "4"},
    };
    for (const GateRow& row : rows) {
        const std::string stateBefore = ReadFileText(dir / "srv.stage-state");
        std::vector<std::string> args = {row.args[0], "--json"};
        bool held = false;
        for (size_t i = 1; i < row.args.size(); ++i) {
            held = held || row.args[i] == "FIFO";
            args.push_back(row.args[i] == "FIFO" ? dir / "fifo" : row.args[i]);
        }
        args.push_back(dir / "srv");
        std::vector<std::string> argv = {QUILLOR_PUBLISH_EXE};
        argv.insert(argv.end(), args.begin(), args.end());
        BackgroundProcess gate = StartBackground(argv, dir / "gate.out", dir / "gate.err");
        if (held) {
            int fd = -1;  // the gate opens the FIFO once it has loaded the site
            for (int i = 0; i < 500 && fd < 0; ++i) {
                fd = open((dir / "fifo").c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
                if (fd < 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
            ASSERT_GE(fd, 0) << row.name;
            fcntl(fd, F_SETFL, 0);
            EXPECT_EQ(write(fd, log.data(), log.size()), static_cast<ssize_t>(log.size())) << row.name;
            if (row.meanwhile) row.meanwhile();
            close(fd);
        }
        EXPECT_EQ(WaitBackground(gate, 60), row.exitCode) << row.name << ": " << ReadFileText(dir / "gate.err");
        std::string said = ReadFileText(dir / "gate.out") + ReadFileText(dir / "gate.err");
        EXPECT_NE(said.find(row.needle), std::string::npos) << row.name << ": " << said;
        CommandResult live = RunTool({"status", dir / "srv"});
        EXPECT_NE(live.out.find("serial " + std::string(row.liveAfter)), std::string::npos) << row.name << live.out;
        if (row.exitCode != 0 && !row.meanwhile) {
            EXPECT_EQ(ReadFileText(dir / "srv.stage-state"), stateBefore) << row.name;
        }
        if (row.meanwhile) {
            EXPECT_NE(ReadFileText(dir / "srv.stage-state").find("share 50\n"), std::string::npos) << row.name;
        }
    }
}

TEST_F(PublishReport, DamagedRotatedAndCompressedLogsAreReadAndCountedNeverFatal) {
    WriteFileText(dir / "rel/a.pak", "hello");
    AgeTree(dir / "rel");
    Tool({"publish", "--key", dir / "k.pem", "--serial", "7", dir / "rel", dir / "srv"});
    const int64_t start = 1765245600000;  // 2025-12-09T02:00:00Z
    RunLines run = OneRun(dir / "srv", start);
    const std::string whole = run.manifest + run.signature + run.file;
    std::vector<BackgroundProcess> writers;
    auto gzip = [&](const std::string& name, const std::string& text) {
        WriteFileText(dir / "plain", text);
        ASSERT_EQ(RunCommand({"sh", "-c", "gzip -c '" + dir / "plain" + "' >> '" + dir / name + "'"}).exitCode, 0);
    };
    struct Case {
        const char* name;
        std::function<std::vector<std::string>()> make;  // the LOG arguments
        std::vector<std::string> options;
        int complete, incomplete, notJson, truncatedLast, gzipCut, outsideWindow;
        int unreadable = 0, duplicates = 0;
        std::string feed = "";  // a shell command whose output the report reads from its standard input
    };
    // Longer than a named FIFO is waited for: a pipe's writer is there from the start.
    const int kSlowWriterSeconds = 6;
    // More than 64 KiB after the run: what reads a pipe twice loses the run.
    std::string padding;
    for (int i = 0; i < 600; ++i)
        padding += LineText({start + 3000 + i, "/manifest.txt", 200, 0, "", "GET", "curl/7.88"});
    auto fifo = [&](const std::string& name, const std::string& text) {
        unlink((dir / name).c_str());
        EXPECT_EQ(mkfifo((dir / name).c_str(), 0600), 0);
        if (!text.empty()) {
            WriteFileText(dir / (name + ".text"), text);
            // One writer that writes once; it waits for its reader as a FIFO's writer does.
            writers.push_back(StartBackground({"sh", "-c", "cat '" + dir / (name + ".text") + "' > '" + dir / name + "'"},
                                              dir / (name + ".writer")));
        }
        return std::vector<std::string>{dir / name};
    };
    const Case cases[] = {
        {"a plain log", [&] { WriteFileText(dir / "a", whole); return std::vector<std::string>{dir / "a"}; }, {},
         1, 0, 0, 0, 0, 0},
        {"a line that is not JSON, and one cut short at the end",
         [&] {
             WriteFileText(dir / "b", run.manifest + "GET / HTTP/1.1 200\n" + run.signature + run.file + "{\"msec\":17");
             return std::vector<std::string>{dir / "b"};
         },
         {}, 1, 0, 2, 1, 0, 0},
        // Read in the order given, the newest file's signature and the middle one's file would
        // belong to no run, and the oldest one's run would stop after its manifest.
        {"rotated logs given newest first, the oldest of two gzip members",
         [&] {
             RunLines next = OneRun(dir / "srv", start + 60000);
             gzip("c.2.gz", run.manifest);
             gzip("c.2.gz", run.signature);
             WriteFileText(dir / "c.1", run.file + next.manifest);
             WriteFileText(dir / "c", next.signature);
             return std::vector<std::string>{dir / "c", dir / "c.1", dir / "c.2.gz"};
         },
         {}, 1, 0, 0, 0, 0, 0},
        {"a gzip member cut short",
         [&] {
             gzip("d.gz", whole + std::string(4000, ' ') + "\n");
             std::string bytes = ReadFileText(dir / "d.gz");
             WriteFileText(dir / "d.gz", bytes.substr(0, bytes.size() - 12));
             return std::vector<std::string>{dir / "d.gz"};
         },
         {}, 1, 0, 1, 1, 1, 0},
        {"a window after the run", [&] { return std::vector<std::string>{dir / "a"}; },
         {"--since", "2025-12-09T02:01Z"}, 0, 0, 0, 0, 0, 3},
        {"a window around the run", [&] { return std::vector<std::string>{dir / "a"}; },
         {"--since", "1765245600", "--until", "2025-12-09T02:00:03Z"}, 1, 0, 0, 0, 0, 0},
        // Fault 8: --until T ends before T, so that "--until T" and "--since T" meet without overlap
        // (the file line is at 02:00:02.000).
        {"a window that ends as the file line begins", [&] { return std::vector<std::string>{dir / "a"}; },
         {"--until", "2025-12-09T02:00:02Z"}, 0, 0, 0, 0, 0, 1},
        {"the window that begins there", [&] { return std::vector<std::string>{dir / "a"}; },
         {"--since", "2025-12-09T02:00:02Z"}, 0, 0, 0, 0, 0, 2},
        // Faults 5 and 6: a pipe, bash's <(...) and FIFOs are opened once and read once.
        {"a pipe on standard input", [&] { WriteFileText(dir / "p", whole + padding); return std::vector<std::string>{"/dev/stdin"}; },
         {}, 1, 0, 0, 0, 0, 0, 0, 0, "cat '" + dir / "p" + "'"},
        {"a pipe whose writer is slow to start", [&] { return std::vector<std::string>{"/dev/stdin"}; }, {}, 1, 0, 0, 0,
         0, 0, 0, 0, "{ sleep " + std::to_string(kSlowWriterSeconds) + "; cat '" + dir / "p" + "'; }"},
        {"a FIFO whose writer writes once", [&] { return fifo("f1", whole + padding); }, {}, 1, 0, 0, 0, 0, 0},
        // Fault 7: the same file twice is read once; so are the lines of a copy.
        {"the same log twice", [&] { return std::vector<std::string>{dir / "a", dir / "a"}; }, {}, 1, 0, 0, 0, 0, 0, 0,
         1},
        {"a hard link beside its log",
         [&] {
             unlink((dir / "a-link").c_str());
             EXPECT_EQ(link((dir / "a").c_str(), (dir / "a-link").c_str()), 0);
             return std::vector<std::string>{dir / "a-link", dir / "a"};
         },
         {}, 1, 0, 0, 0, 0, 0, 0, 1},
        {"a rotated log beside a copy of itself",
         [&] {
             WriteFileText(dir / "r.1", whole);
             WriteFileText(dir / "r", whole);
             return std::vector<std::string>{dir / "r", dir / "r.1"};
         },
         {}, 1, 0, 0, 0, 0, 0, 0, 3},
        // Last: before the fix, its open waited for a writer for ever.
        {"a FIFO nobody writes to", [&] { return fifo("f2", ""); }, {}, 0, 0, 0, 0, 0, 0, 1},
    };
    for (const Case& test : cases) {
        std::vector<std::string> args = test.options;
        args.push_back(dir / "srv");
        for (const std::string& log : test.make()) args.push_back(log);
        json report;
        if (test.feed.empty()) {
            report = ReportJson(args);
        } else {
            std::string command = test.feed + " | '" + QUILLOR_PUBLISH_EXE + "' report --json";
            for (const std::string& arg : args) command += " '" + arg + "'";
            CommandResult piped = RunCommand({"bash", "-c", command}, 60);
            EXPECT_EQ(piped.exitCode, 0) << test.name << ": " << piped.err;
            json parsed = json::parse(piped.out.substr(piped.out.rfind("\n{") + 1), nullptr, false);
            if (parsed.is_object() && parsed.contains("report")) report = parsed["report"];
        }
        for (BackgroundProcess& writer : writers) EXPECT_EQ(WaitBackground(writer, 10), 0) << test.name;
        writers.clear();
        ASSERT_TRUE(report.is_object()) << test.name;
        json serial = SerialOf(report, 7);
        EXPECT_EQ(serial["complete"], test.complete) << test.name << ": " << report.dump();
        EXPECT_EQ(serial["incomplete"], test.incomplete) << test.name;
        EXPECT_EQ(report["lines"]["outside_runs"], 0) << test.name;
        EXPECT_EQ(report["lines"]["not_json"], test.notJson) << test.name;
        EXPECT_EQ(report["lines"]["truncated_last"], test.truncatedLast) << test.name;
        EXPECT_EQ(report["lines"]["gzip_cut"], test.gzipCut) << test.name;
        EXPECT_EQ(report["lines"]["outside_window"], test.outsideWindow) << test.name;
        EXPECT_EQ(report["lines"]["unreadable"], test.unreadable) << test.name;
        EXPECT_EQ(report["lines"]["duplicates"], test.duplicates) << test.name;
        for (const json& bin : report["adoption"]["bins"])
            for (const json& count : bin) EXPECT_GE(count.get<int64_t>(), 0) << test.name << ": " << report.dump();
    }
    // bash's <(...): a pipe by a name of /dev/fd.
    WriteFileText(dir / "p", whole + padding);
    CommandResult named = RunCommand({"bash", "-c", "'" + std::string(QUILLOR_PUBLISH_EXE) + "' report --json '" +
                                                        dir / "srv" + "' <(cat '" + dir / "p" + "')"});
    EXPECT_NE(named.out.find("\"complete\":1,"), std::string::npos) << named.out << named.err;
    // Fault 8: a window that is empty, and a day that does not exist, are usage errors.
    EXPECT_EQ(RunTool({"report", "--since", "2025-12-09T03:00Z", "--until", "2025-12-09T02:00Z", dir / "srv", dir / "a"})
                  .exitCode, 2);
    EXPECT_EQ(RunTool({"report", "--since", "2026-02-30", dir / "srv", dir / "a"}).exitCode, 2);
    EXPECT_EQ(RunTool({"report", "--until", "2026-04-31T00:00Z", dir / "srv", dir / "a"}).exitCode, 2);
    EXPECT_EQ(RunTool({"report", "--since", "2028-02-29", dir / "srv", dir / "a"}).exitCode, 0);
    // Fault 11: the page never replaces one of its logs.
    const std::string before = ReadFileText(dir / "a");
    CommandResult self = RunTool({"report", "--html", dir / "a-link", dir / "srv", dir / "a"});
    EXPECT_EQ(self.exitCode, 2) << self.err;
    EXPECT_EQ(ReadFileText(dir / "a"), before);
    CommandResult missing = RunTool({"report", "--json", dir / "srv", dir / "a", dir / "gone"});
    EXPECT_EQ(missing.exitCode, 0) << missing.err;
    EXPECT_NE(missing.out.find("\"notes\":[\"" + dir / "gone" + ": cannot open"), std::string::npos) << missing.out;
    EXPECT_EQ(RunTool({"report", "--since", "yesterday", dir / "srv", dir / "a"}).exitCode, 2);
    EXPECT_EQ(RunTool({"report", dir / "none", dir / "a"}).exitCode, 1);
}

}  // namespace
