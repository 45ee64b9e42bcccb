// Patched updates end to end: block files, ranges, local copies and resume, judged by the server's log.
#include <openssl/evp.h>

#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "e2e_fixture.h"
#include "update/block_file.h"

namespace fs = std::filesystem;
using Files = std::map<std::string, std::string>;

namespace {

constexpr uint64_t kMin = 65536;
constexpr size_t kPackSize = 1u << 20;
constexpr uint64_t kBlock = 4096;

std::string Sha256Raw(const std::string& bytes) {
    unsigned char digest[32];
    unsigned int length = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr);
    return std::string(reinterpret_cast<char*>(digest), 32);
}

std::string Hex(const std::string& raw) {
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    for (unsigned char c : raw) {
        text += kDigits[c >> 4];
        text += kDigits[c & 15];
    }
    return text;
}

// The block file the publisher makes, from the shared code.
std::string BlockFileOf(const std::string& body) {
    BlockIndexBuilder builder(BlockSizeFor(body.size()), kBlockFileStrongBytes);
    builder.Add(reinterpret_cast<const uint8_t*>(body.data()), body.size());
    BlockIndex index = builder.Finish();
    std::string raw = Sha256Raw(body);
    std::copy(raw.begin(), raw.end(), index.bodySha256);
    std::vector<uint8_t> file = SerializeBlockFile(index);
    return std::string(file.begin(), file.end());
}

void PutLe(std::string& file, size_t at, uint64_t value, size_t bytes) {
    for (size_t i = 0; i < bytes; ++i) file[at + i] = static_cast<char>(value >> (8 * i));
}

std::string Flipped(std::string body, std::vector<size_t> offsets) {
    for (size_t at : offsets) body[at] = static_cast<char>(body[at] ^ 0x5A);
    return body;
}

const std::string kOld = RandomBytes(kPackSize, 1);

// What the server sent during one run, by kind.
struct Fetched {
    uint64_t blockFiles = 0;
    uint64_t ranges = 0;
    uint64_t rangeRequests = 0;
    uint64_t wholeFiles = 0;
    uint64_t wholeFileRequests = 0;
    uint64_t patchRequests = 0;
    std::vector<std::string> paths;
};

Fetched Tally(const std::vector<ServedAnswer>& answers, size_t from) {
    Fetched fetched;
    for (size_t i = from; i < answers.size(); ++i) {
        const ServedAnswer& answer = answers[i];
        fetched.paths.push_back(answer.path);
        if (answer.path.compare(0, 7, "/patch/") == 0) {
            ++fetched.patchRequests;
            if (answer.path.size() > 7 && answer.path.find(".blocks") != std::string::npos) {
                fetched.blockFiles += answer.bodyBytes;
            } else {
                fetched.ranges += answer.bodyBytes;
                ++fetched.rangeRequests;
            }
        } else if (answer.path.compare(0, 7, "/files/") == 0) {
            fetched.wholeFiles += answer.bodyBytes;
            ++fetched.wholeFileRequests;
        }
    }
    return fetched;
}

struct Row {
    const char* name;
    Files installed;      // before the run, beside leftovers
    Files release;
    Files leftovers;      // ".part" files an earlier run left (path without ".part")
    bool marker = true;
    RangeMode mode = RangeMode::Honour;
    std::function<void(std::string&)> lie;  // edits pack.pak's block file; nullptr: none
    bool noBlockFile = false;
    uint64_t killAfter = 0;  // a first run is killed once this much of pack.pak arrived
    uint64_t maxRanges;      // range body bytes at most
    uint64_t minRanges;
    uint64_t wholeFiles;     // whole-file requests
    std::string logLine;     // a line that starts so
    bool completedBefore = false;  // updater.state holds the release's serial: an earlier run completed it
};

}  // namespace

class PatchE2E : public EndToEnd {
protected:
    // Serves the release, with block files under patch/ for bodies of at least kMin.
    void ServeRelease(uint64_t serial, const Row& row) {
        fs::remove_all(served);
        std::string manifest = "serial " + std::to_string(serial) +
                               (row.marker ? " blocks=patch min=" + std::to_string(kMin) : "") + "\n";
        for (const auto& [path, body] : row.release) {
            const std::string digest = Hex(Sha256Raw(body));
            WriteFile(served + "/files/" + path, body);
            manifest += digest + "\t" + std::to_string(body.size()) + "\t" + path + "\n";
            if (body.size() < kMin) continue;
            WriteFile(served + "/patch/" + digest, body);
            std::string blocks = BlockFileOf(body);
            if (row.lie && path == "pack.pak") row.lie(blocks);
            if (!(row.noBlockFile && path == "pack.pak"))
                WriteFile(served + "/patch/" + digest + ".blocks", blocks);
        }
        ServeSignedManifest(manifest);
    }
};

TEST_F(PatchE2E, EachScenarioFetchesWhatItLacksAndInstallsTheRelease) {
    const std::string scattered = Flipped(kOld, {100000, 500000, 900000});
    const std::string inserted = kOld.substr(0, 10000) + RandomBytes(1000, 2) + kOld.substr(10000);
    const std::string appended = kOld + RandomBytes(50000, 3);
    const std::string truncated = kOld.substr(0, 700001);
    const std::string rewritten = RandomBytes(kPackSize, 4);
    const std::string other = RandomBytes(200000, 5);
    const std::string fallback = "patch pack.pak dropped: ";
    const Row rows[] = {
        {"scattered changes", {{"pack.pak", kOld}}, {{"pack.pak", scattered}}, {}, true,
         RangeMode::Honour, nullptr, false, 0, 3 * kBlock, 3 * kBlock, 0,
         "patched pack.pak: 12288 bytes fetched in 3 ranges, 1036288 bytes taken locally"},
        {"an insertion that shifts everything after it", {{"pack.pak", kOld}}, {{"pack.pak", inserted}},
         {}, true, RangeMode::Honour, nullptr, false, 0, 3 * kBlock, 1, 0, "patched pack.pak: "},
        {"an append", {{"pack.pak", kOld}}, {{"pack.pak", appended}}, {}, true, RangeMode::Honour,
         nullptr, false, 0, 50000 + 2 * kBlock, 50000, 0, "patched pack.pak: "},
        {"a truncation", {{"pack.pak", kOld}}, {{"pack.pak", truncated}}, {}, true, RangeMode::Honour,
         nullptr, false, 0, kBlock, 0, 0, "patched pack.pak: "},
        {"a pack rewritten entirely", {{"pack.pak", kOld}}, {{"pack.pak", rewritten}}, {}, true,
         RangeMode::Honour, nullptr, false, 0, kPackSize, kPackSize, 0,
         "patched pack.pak: 1048576 bytes fetched in 1 ranges, 0 bytes taken locally"},
        {"a file copied to a new path", {{"pack.pak", kOld}}, {{"pack.pak", kOld}, {"moved/pack2.pak", kOld}},
         {}, true, RangeMode::Honour, nullptr, false, 0, 0, 0, 0,
         "copied moved/pack2.pak locally: 1048576 bytes"},
        {"a file moved to a new path", {{"pack.pak", kOld}}, {{"moved/pack2.pak", kOld}}, {}, true,
         RangeMode::Honour, nullptr, false, 0, 0, 0, 0, "copied moved/pack2.pak locally: 1048576 bytes"},
        {"a file of the moved file's size with other bytes", {{"old.pak", rewritten}},
         {{"new.pak", kOld}}, {}, true, RangeMode::Honour, nullptr, false, 0, 0, 0, 1, "updated new.pak"},
        {"a partial whose path left the manifest is removed", {{"pack.pak", kOld}}, {{"pack.pak", kOld}},
         {{"gone/level.pak", other}}, true, RangeMode::Honour, nullptr, false, 0, 0, 0, 0,
         "removed unused partial download gone/level.pak.part"},
        {"at the serial last completed, a partial whose file is up to date is removed",
         {{"pack.pak", kOld}}, {{"pack.pak", kOld}}, {{"pack.pak", other}}, true, RangeMode::Honour, nullptr,
         false, 0, 0, 0, 0, "0 of 1 files", true},
        {"a partial whose file is up to date is removed", {{"pack.pak", kOld}}, {{"pack.pak", kOld}},
         {{"pack.pak", other}}, true, RangeMode::Honour, nullptr, false, 0, 0, 0, 0, "0 of 1 files"},
        {"a run killed mid-transfer, then resumed", {}, {{"pack.pak", kOld}}, {}, true,
         RangeMode::Honour, nullptr, false, 600000, kPackSize - 600000 + kBlock, kPackSize - 665536 - kBlock,
         0, "patched pack.pak: "},
        {"no marker: today's run", {{"pack.pak", kOld}}, {{"pack.pak", scattered}}, {}, false,
         RangeMode::Honour, nullptr, false, 0, 0, 0, 1, "updated pack.pak"},
        {"a server that ignores Range: its whole answer is the file", {{"pack.pak", kOld}},
         {{"pack.pak", scattered}}, {}, true, RangeMode::Ignore, nullptr, false, 0, kPackSize, kPackSize, 0,
         fallback + "the server ignored Range (status 200); its answer is taken as the whole file"},
        {"a server that answers 416", {{"pack.pak", kOld}}, {{"pack.pak", scattered}}, {}, true,
         RangeMode::Refuse, nullptr, false, 0, 0, 0, 1, fallback + "the server answered status 416"},
        {"a wrong Content-Range", {{"pack.pak", kOld}}, {{"pack.pak", scattered}}, {}, true,
         RangeMode::WrongContentRange, nullptr, false, 0, 3 * kBlock, 0, 1, fallback + "wrong Content-Range"},
        {"a lying block file: wrong size", {{"pack.pak", kOld}}, {{"pack.pak", truncated}}, {}, true,
         RangeMode::Honour, [](std::string& f) { PutLe(f, 24, 700000, 8); }, false, 0, 0, 0, 1,
         fallback + "block file disagrees with the manifest (size)"},
        {"a lying block file: wrong hashes", {{"pack.pak", kOld}}, {{"pack.pak", scattered}}, {}, true,
         RangeMode::Honour,
         [](std::string& f) {
             for (size_t at = 64 + 4; at < f.size(); at += 10) f[at] = static_cast<char>(f[at] ^ 1);
         },
         false, 0, kPackSize, 0, 1, fallback + "block 0 failed its hash"},
        {"a lying block file: a huge block count", {{"pack.pak", kOld}}, {{"pack.pak", scattered}}, {},
         true, RangeMode::Honour, [](std::string& f) { PutLe(f, 24, 1ull << 40, 8); }, false, 0, 0, 0, 1,
         fallback + "block file refused: too many blocks"},
        {"no block file", {{"pack.pak", kOld}}, {{"pack.pak", scattered}}, {}, true, RangeMode::Honour,
         nullptr, true, 0, 0, 0, 1, fallback + "block file answered status 404"},
    };
    uint64_t serial = 10;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string dir = tree / ("install-" + std::to_string(serial));
        for (const auto& [path, body] : row.installed) WriteFile(dir + "/" + path, body);
        for (const auto& [path, body] : row.leftovers) WriteFile(dir + "/" + path + ".part", body);
        ServeRelease(++serial, row);
        if (row.completedBefore) WriteFile(dir + "/updater.state", std::to_string(serial) + "\r\n");
        server.SetRangeMode(row.mode);
        if (row.killAfter) {
            ASSERT_TRUE(KillMidTransfer(dir, "pack.pak", static_cast<int64_t>(row.killAfter + 65536), row.killAfter));
            std::error_code ignored;
            EXPECT_GE(fs::file_size(dir + "/pack.pak.part", ignored), row.killAfter);
        }
        const size_t before = server.Answers().size();
        ASSERT_EQ(RunSilentFrom(server.BaseUrl(), dir), 0) << LogLines(dir).back();
        const Fetched fetched = Tally(server.Answers(), before);

        for (const auto& [path, body] : row.release) EXPECT_TRUE(ReadFile(dir + "/" + path) == body) << path;
        EXPECT_TRUE(FilesEndingIn(dir, ".part").empty());
        EXPECT_LE(fetched.ranges, row.maxRanges);
        EXPECT_GE(fetched.ranges, row.minRanges);
        EXPECT_EQ(fetched.wholeFileRequests, row.wholeFiles);
        if (row.wholeFiles == 0) {
            EXPECT_EQ(fetched.wholeFiles, 0u);
            // The patch path alone never costs more than the file.
            EXPECT_LE(fetched.ranges, row.release.rbegin()->second.size());
        }
        if (!row.marker) {
            EXPECT_EQ(fetched.paths,
                      (std::vector<std::string>{"/manifest.txt", "/manifest.sig", "/files/pack.pak"}));
        }
        bool logged = false;
        for (const std::string& line : LogLines(dir)) logged = logged || line.rfind(row.logLine, 0) == 0;
        EXPECT_TRUE(logged) << row.logLine;
    }
    server.SetRangeMode(RangeMode::Honour);
}
