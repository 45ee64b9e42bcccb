// quillor-publish run as a program: keygen, publish, verify and blob, with their refusals.
#include "core/block_maker.h"
#include "core/fs_util.h"
#include "e2e_server.h"
#include "keys/signer.h"
#include "tool_support.h"
#include "update/block_file.h"
#include "update/manifest.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <dirent.h>
#include <fcntl.h>
#include <functional>
#include <map>
#include <sstream>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

class PublishTool : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        keys_ = new TempDir();
        CommandResult made = RunTool({"keygen", *keys_ / "k"});
        ASSERT_EQ(made.exitCode, 0) << made.err;
    }
    static void TearDownTestSuite() {
        delete keys_;
        keys_ = nullptr;
    }
    static std::string PrivateKey() { return *keys_ / "k.pem"; }
    static std::string PublicKey() { return *keys_ / "k.pub.pem"; }

    // A small release with nested folders, a blank, umlauts and an empty file.
    void MakeRelease(const std::string& dir) {
        mkdir(dir.c_str(), 0755);
        mkdir((dir + "/data").c_str(), 0755);
        mkdir((dir + "/data/Maps").c_str(), 0755);
        WriteFileText(dir + "/game.exe", "MZ game");
        WriteFileText(dir + "/data/Maps/Erste Karte.pak", std::string(70000, 'k'));
        WriteFileText(dir + "/data/Gr\xC3\xBC\xC3\x9F" "e.txt", "Hallo");
        WriteFileText(dir + "/empty.bin", "");
    }

    CommandResult Publish(const std::string& release, const std::string& server, const std::string& serial,
                          std::vector<std::string> extra = {}) {
        std::vector<std::string> args = {"publish", "--key", PrivateKey(), "--serial", serial};
        args.insert(args.end(), extra.begin(), extra.end());
        args.push_back(release);
        args.push_back(server);
        return RunTool(args);
    }

    CommandResult Verify(const std::string& target) { return RunTool({"verify", "--key", PublicKey(), target}); }

    // Names in dir other than "." and "..", to prove no temporary tree was left behind.
    static std::vector<std::string> Listing(const std::string& dir) {
        std::vector<std::string> names;
        if (DIR* handle = opendir(dir.c_str())) {
            while (dirent* entry = readdir(handle))
                if (entry->d_name[0] != '.') names.push_back(entry->d_name);
            closedir(handle);
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    // The digest as openssl computes it, independent of the tool's own hashing.
    static std::string Sha256Of(const std::string& bytes) {
        TempDir scratch;
        WriteFileText(scratch / "data", bytes);
        CommandResult result = RunCommand({"openssl", "dgst", "-sha256", "-r", scratch / "data"});
        return result.out.substr(0, 64);
    }

    static TempDir* keys_;
    TempDir dir_;
};

TempDir* PublishTool::keys_ = nullptr;

// Bytes that differ from block to block, so a block file built from the wrong offsets shows.
std::string Pattern(size_t size, uint32_t seed) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        seed = seed * 1103515245u + 12345u;
        bytes[i] = static_cast<char>(seed >> 24);
    }
    return bytes;
}

// The block file of body as the format says, computed block by block from the bytes.
void ExpectBlockFileOf(const std::string& blockFile, const std::string& body, const std::string& sha256) {
    std::string bytes = ReadFileText(blockFile);
    BlockIndex index;
    std::string reason;
    ASSERT_TRUE(ParseBlockFile(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), index, reason))
        << blockFile << ": " << reason;
    EXPECT_EQ(index.bodySize, body.size());
    EXPECT_EQ(index.blockSize, BlockSizeFor(body.size()));
    EXPECT_EQ(index.strongBytes, kBlockFileStrongBytes);
    uint8_t digest[32];
    ASSERT_TRUE(HexToSha256(sha256, digest));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(index.bodySha256), 32), std::string(reinterpret_cast<char*>(digest), 32));
    const size_t count = (body.size() + index.blockSize - 1) / index.blockSize;
    ASSERT_EQ(index.weak.size(), count);
    EXPECT_EQ(bytes.size(), 64 + count * (4 + kBlockFileStrongBytes));
    for (size_t k = 0; k < count; ++k) {
        const uint8_t* block = reinterpret_cast<const uint8_t*>(body.data()) + k * index.blockSize;
        size_t length = std::min<size_t>(index.blockSize, body.size() - k * index.blockSize);
        ASSERT_EQ(index.weak[k], WeakChecksum(block, length)) << blockFile << " block " << k;
        ASSERT_EQ(index.strong[k], StrongHash(block, length, index.strongBytes)) << blockFile << " block " << k;
    }
}

TEST_F(PublishTool, KeygenWritesPrivateKeyOwnerOnlyAndNeverOverwritesUnforced) {
    CommandResult made = RunTool({"keygen", dir_ / "pub"});
    ASSERT_EQ(made.exitCode, 0) << made.err;
    struct stat st;
    ASSERT_EQ(stat((dir_ / "pub.pem").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    CommandResult text = RunCommand({"openssl", "rsa", "-pubin", "-in", dir_ / "pub.pub.pem", "-noout", "-text"});
    EXPECT_NE(text.out.find("Public-Key: (2048 bit)"), std::string::npos);
    EXPECT_NE(text.out.find("Exponent: 65537"), std::string::npos);

    std::string before = ReadFileText(dir_ / "pub.pem");
    CommandResult again = RunTool({"keygen", dir_ / "pub"});
    EXPECT_NE(again.exitCode, 0);
    EXPECT_NE(again.err.find("already exists"), std::string::npos) << again.err;
    EXPECT_EQ(ReadFileText(dir_ / "pub.pem"), before);
    ASSERT_EQ(RunTool({"keygen", "--force", dir_ / "pub"}).exitCode, 0);
    EXPECT_NE(ReadFileText(dir_ / "pub.pem"), before);
    EXPECT_EQ(Listing(dir_.Path()), (std::vector<std::string>{"pub.pem", "pub.pub.pem"}));
}

TEST_F(PublishTool, PublishedTreeHasExactManifestAndOpensslAcceptsTheSignature) {
    MakeRelease(dir_ / "rel");
    CommandResult published = Publish(dir_ / "rel", dir_ / "srv", "12");
    ASSERT_EQ(published.exitCode, 0) << published.err;
    EXPECT_EQ(Listing(dir_.Path()),
              (std::vector<std::string>{"rel", "srv", "srv.cohorts", "srv.history", "srv.lock",
                                        "srv.publish-record", "srv.publish-serial"}));

    std::string manifest = ReadFileText(dir_ / "srv/manifest.txt");
    EXPECT_EQ(manifest, "serial 12 blocks=patch min=1048576\n" +
                            Sha256Of("Hallo") + "\t5\tdata/Gr\xC3\xBC\xC3\x9F" "e.txt\n" +
                            Sha256Of(std::string(70000, 'k')) + "\t70000\tdata/Maps/Erste Karte.pak\n" +
                            Sha256Of("") + "\t0\tempty.bin\n" +
                            Sha256Of("MZ game") + "\t7\tgame.exe\n");
    EXPECT_EQ(ReadFileText(dir_ / "srv/files/data/Maps/Erste Karte.pak"), std::string(70000, 'k'));

    CommandResult openssl = RunCommand({"openssl", "dgst", "-sha256", "-verify", PublicKey(), "-signature",
                                        dir_ / "srv/manifest.sig", dir_ / "srv/manifest.txt"});
    EXPECT_EQ(openssl.exitCode, 0) << openssl.out << openssl.err;
    EXPECT_EQ(ReadFileText(dir_ / "srv/manifest.sig").size(), 256u);

    std::vector<uint8_t> bytes(manifest.begin(), manifest.end());
    uint64_t serial = 0;
    std::vector<ManifestEntry> entries;
    std::string error;
    ASSERT_TRUE(ParseManifest(bytes, serial, entries, error)) << error;
    EXPECT_EQ(serial, 12u);
    EXPECT_EQ(entries.size(), 4u);

    CommandResult verified = Verify(dir_ / "srv");
    EXPECT_EQ(verified.exitCode, 0) << verified.out;
    EXPECT_NE(verified.out.find("OK: serial 12, 4 files, 70012 bytes"), std::string::npos) << verified.out;
}

TEST_F(PublishTool, SerialRulesAndEmptyRelease) {
    mkdir((dir_ / "empty").c_str(), 0755);
    ASSERT_EQ(Publish(dir_ / "empty", dir_ / "srv", "5").exitCode, 0);
    EXPECT_EQ(ReadFileText(dir_ / "srv/manifest.txt"), "serial 5 blocks=patch min=1048576\n");
    EXPECT_EQ(Verify(dir_ / "srv").exitCode, 0);

    MakeRelease(dir_ / "rel");
    CommandResult lower = Publish(dir_ / "rel", dir_ / "srv", "4");
    EXPECT_NE(lower.exitCode, 0);
    EXPECT_NE(lower.err.find("lower than the published serial 5"), std::string::npos) << lower.err;
    EXPECT_EQ(ReadFileText(dir_ / "srv/manifest.txt"), "serial 5 blocks=patch min=1048576\n");

    // The same serial only for the same contents: a re-run after a crash, never another release.
    CommandResult other = Publish(dir_ / "rel", dir_ / "srv", "5");
    EXPECT_EQ(other.exitCode, 1);
    EXPECT_NE(other.err.find("serial 5 was published to " + dir_ / "srv" + " before with other contents"),
              std::string::npos) << other.err;
    EXPECT_EQ(Publish(dir_ / "empty", dir_ / "srv", "5").exitCode, 0);
    EXPECT_EQ(Publish(dir_ / "rel", dir_ / "srv", "5", {"--force"}).exitCode, 0);
    EXPECT_EQ(Publish(dir_ / "empty", dir_ / "srv", "3", {"--force"}).exitCode, 0);
    EXPECT_EQ(ReadFileText(dir_ / "srv/manifest.txt"), "serial 3 blocks=patch min=1048576\n");
    EXPECT_FALSE(access((dir_ / "srv/files/game.exe").c_str(), F_OK) == 0);  // replaced as a whole
    EXPECT_NE(Publish(dir_ / "empty", dir_ / "srv", "4").err.find("lower than the published serial 5"), std::string::npos);
    EXPECT_EQ(Listing(dir_.Path()), (std::vector<std::string>{"empty", "rel", "srv", "srv.cohorts", "srv.history",
                                                              "srv.lock", "srv.publish-record", "srv.publish-serial"}));

    EXPECT_EQ(Publish(dir_ / "rel", dir_ / "srv", "-1").exitCode, 2);
    EXPECT_NE(Publish(dir_ / "missing", dir_ / "srv2", "1").exitCode, 0);
}

TEST_F(PublishTool, RefusesReleasesTheUpdaterCouldNotInstall) {
    struct Case {
        std::vector<std::string> names;
        const char* message;
    };
    const Case cases[] = {
        {{"a\\b.txt"}, "unsafe path"},           {{"c:d.txt"}, "unsafe path"},
        {{"a..b"}, "unsafe path"},               {{"why?.txt"}, "unsafe path"},
        {{"CON.txt"}, "reserved device name"},   {{"trailing."}, "ends in a dot"},
        {{"Readme.txt", "README.txt"}, "differ only in case"},
        {{"\xC3\x9C" "ber.txt", "\xC3\xBC" "ber.txt"}, "differ only in case"},
        {{"bad\xFFname"}, "not valid UTF-8"},
    };
    mkdir((dir_ / "srv").c_str(), 0755);
    for (const Case& test : cases) {
        TempDir release;
        for (const std::string& name : test.names) WriteFileText(release / name, "x");
        CommandResult result = Publish(release.Path(), dir_ / "srv", "1");
        EXPECT_EQ(result.exitCode, 1) << test.names[0];
        EXPECT_NE(result.err.find(test.message), std::string::npos) << test.names[0] << ": " << result.err;
    }
    // The walk reads folders on several threads; every refusal is named, in the same order each time.
    TempDir linked;
    WriteFileText(linked / "real.txt", "x");
    RunCommand({"mkdir", "-p", linked / "a/b", linked / "c"});
    ASSERT_EQ(symlink("/etc/passwd", (linked / "link.txt").c_str()), 0);
    ASSERT_EQ(symlink("/etc", (linked / "a/b/folder").c_str()), 0);
    ASSERT_EQ(mkfifo((linked / "c/pipe").c_str(), 0644), 0);
    CommandResult link = Publish(linked.Path(), dir_ / "srv", "1");
    const size_t first = link.err.find("not a regular file: c/pipe"),
                 second = link.err.find("symbolic link in the release (copy the real file instead): a/b/folder"),
                 third = link.err.find("symbolic link in the release (copy the real file instead): link.txt");
    EXPECT_TRUE(first < second && second < third && third != std::string::npos) << link.err;
    EXPECT_EQ(Listing(dir_ / "srv"), std::vector<std::string>{});  // nothing written anywhere
    EXPECT_EQ(Listing(dir_.Path()), std::vector<std::string>{"srv"});

    TempDir settings;  // allowed, since it may move players to another server, but never silently
    WriteFileText(settings / "Updater.cfg", "url=http://elsewhere.example:8080\n");
    CommandResult warned = Publish(settings.Path(), dir_ / "cfg", "1");
    EXPECT_EQ(warned.exitCode, 0) << warned.err;
    EXPECT_NE(warned.err.find("warning: the release holds Updater.cfg"), std::string::npos) << warned.err;
}

TEST_F(PublishTool, RefusesKeysTheUpdaterCannotCheckAndFoldersThatAreNoServerTree) {
    MakeRelease(dir_ / "rel");
    MakeOpensslKey(dir_ / "small.pem", 1024);
    MakeOpensslKey(dir_ / "e3.pem", 2048, 3);
    const std::pair<std::string, const char*> keys[] = {
        {dir_ / "small.pem", "1024 bits"}, {dir_ / "e3.pem", "exponent is not 65537"},
        {PublicKey(), "this is a public key"}, {dir_ / "rel/game.exe", "not a PEM private key"}};
    for (const auto& key : keys) {
        CommandResult result = RunTool({"publish", "--key", key.first, "--serial", "1", dir_ / "rel", dir_ / "srv"});
        EXPECT_EQ(result.exitCode, 1);
        EXPECT_NE(result.err.find(key.second), std::string::npos) << result.err;
    }
    EXPECT_FALSE(access((dir_ / "srv").c_str(), F_OK) == 0);

    mkdir((dir_ / "home").c_str(), 0755);
    WriteFileText(dir_ / "home/notes.txt", "precious");
    CommandResult notTree = Publish(dir_ / "rel", dir_ / "home", "1");
    EXPECT_NE(notTree.err.find("not a server tree"), std::string::npos) << notTree.err;
    EXPECT_EQ(ReadFileText(dir_ / "home/notes.txt"), "precious");
    CommandResult inside = Publish(dir_ / "rel", dir_ / "rel/srv", "1");
    EXPECT_NE(inside.err.find("must not contain each other"), std::string::npos) << inside.err;
}

TEST_F(PublishTool, VerifyReportsEveryDamagedByte) {
    MakeRelease(dir_ / "rel");
    const std::string big = Pattern(1100000, 9), bigSha = Sha256Of(big);
    WriteFileText(dir_ / "rel/big.pak", big);
    ASSERT_EQ(Publish(dir_ / "rel", dir_ / "srv", "3").exitCode, 0);
    const std::string blocks = "patch/" + bigSha + ".blocks";
    const std::string good = dir_ / "good";
    ASSERT_EQ(RunCommand({"cp", "-a", dir_ / "srv", good}).exitCode, 0);
    struct Damage {
        std::string file;
        size_t offset;
        std::string report;
    };
    const Damage damages[] = {
        {"files/data/Maps/Erste Karte.pak", 69999, "digest differs: data/Maps/Erste Karte.pak"},
        {"files/game.exe", 0, "digest differs: game.exe"},
        {"manifest.txt", 7, "not a valid signature"},
        {"manifest.txt", 30, "not a valid signature"},
        {"manifest.sig", 255, "not a valid signature"},
        {"files/big.pak", 1048576, "digest differs: big.pak"},
        {blocks, 64, "block file does not match its body: " + bigSha + ".blocks for big.pak"},
        {blocks, 64 + 268 * (4 + kBlockFileStrongBytes) + 5, "block file does not match its body"},  // the last, short block's strong hash
        {blocks, 40, "block file is for another body: " + blocks},
        {blocks, 24, "block file is for another body"},  // one byte more: the same block count
        {blocks, 26, "block file refused: " + blocks + " for big.pak (size mismatch)"},
        {blocks, 0, "block file refused: " + blocks + " for big.pak (bad magic)"},
    };
    for (const Damage& damage : damages) {
        RunCommand({"rm", "-rf", dir_ / "srv"});
        RunCommand({"cp", "-a", good, dir_ / "srv"});
        std::string bytes = ReadFileText(dir_ / "srv" + "/" + damage.file);
        ASSERT_LT(damage.offset, bytes.size());
        bytes[damage.offset] ^= 0x01;
        WriteFileText(dir_ / "srv" + "/" + damage.file, bytes);
        CommandResult result = Verify(dir_ / "srv");
        EXPECT_EQ(result.exitCode, 1) << damage.file;
        EXPECT_NE(result.out.find(damage.report), std::string::npos) << damage.file << ": " << result.out;
    }
    RunCommand({"rm", "-rf", dir_ / "srv"});
    RunCommand({"cp", "-a", good, dir_ / "srv"});
    unlink((dir_ / "srv/files/empty.bin").c_str());
    WriteFileText(dir_ / "srv/files/game.exe", "MZ gam");
    CommandResult broken = Verify(dir_ / "srv");
    EXPECT_NE(broken.out.find("missing: empty.bin"), std::string::npos) << broken.out;
    EXPECT_NE(broken.out.find("size differs: game.exe (manifest 7, served 6)"), std::string::npos) << broken.out;
    EXPECT_NE(broken.out.find("FAILED: 2 problem(s)"), std::string::npos) << broken.out;

    // A block file missing, or the body under patch/ a copy rather than the body itself.
    RunCommand({"rm", "-rf", dir_ / "srv"});
    RunCommand({"cp", "-a", good, dir_ / "srv"});
    unlink((dir_ / "srv" + "/" + blocks).c_str());
    CommandResult noBlocks = Verify(dir_ / "srv");
    EXPECT_EQ(noBlocks.exitCode, 1);
    EXPECT_NE(noBlocks.out.find("block file missing: " + blocks + " for big.pak"), std::string::npos) << noBlocks.out;
    RunCommand({"rm", "-rf", dir_ / "srv"});
    RunCommand({"cp", "-a", good, dir_ / "srv"});
    const std::string copy = dir_ / "srv/patch/" + bigSha;
    unlink(copy.c_str());
    WriteFileText(copy, big);
    CommandResult copied = Verify(dir_ / "srv");
    EXPECT_NE(copied.out.find("not a hard link of its body: " + copy + " for big.pak"), std::string::npos) << copied.out;

    MakeOpensslKey(dir_ / "other.pem", 2048);
    CommandResult otherKey = RunTool({"verify", "--key", dir_ / "other.pem.pub.pem", good});
    EXPECT_EQ(otherKey.exitCode, 1);
    EXPECT_NE(otherKey.out.find("not a valid signature"), std::string::npos) << otherKey.out;
}

// verify ends by itself against a loopback server that streams without end or stalls mid-body:
// bodies are cut at the updater's limits, a transfer at --timeout, everything at the end of --wait,
// and header lines at their count long before any of those.
TEST_F(PublishTool, VerifyEndsAgainstEndlessAndStallingServers) {
    MakeRelease(dir_ / "rel");
    ASSERT_EQ(Publish(dir_ / "rel", dir_ / "srv", "3").exitCode, 0);
    LoopbackServer server(dir_ / "srv");
    ASSERT_NE(server.Port(), 0);
    Misbehaviour endless, stall, headers;
    endless.endless = true;
    headers.endlessHeaders = true;
    stall.stallAfter = 3;
    struct Case {
        std::string path;
        const Misbehaviour& how;
        std::vector<std::string> options;
        const char* problem;
    };
    const Case cases[] = {
        {"/files/game.exe", endless, {}, "size differs: game.exe (manifest 7, served more)"},
        {"/manifest.sig", endless, {}, "manifest.sig: larger than 65536 bytes"},
        {"/files/game.exe", stall, {"--timeout", "2"}, "missing: game.exe (the transfer took longer than 2 s)"},
        {"/files/game.exe", stall, {"--wait", "3"}, "game.exe (the time to wait ran out during the transfer)"},
        {"/manifest.txt", headers, {}, "manifest.txt: request failed (more than 100 header lines)"},
    };
    for (const Case& test : cases) {
        server.ClearOverrides();
        server.Override(test.path, test.how);
        std::vector<std::string> args = {"verify", "--key", PublicKey()};
        args.insert(args.end(), test.options.begin(), test.options.end());
        args.push_back(server.BaseUrl());
        auto started = std::chrono::steady_clock::now();
        CommandResult result = RunTool(args, 30);
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        EXPECT_EQ(result.exitCode, 1) << test.problem;
        EXPECT_NE(result.out.find(test.problem), std::string::npos) << result.out;
        EXPECT_LT(seconds, 10.0) << test.problem;
    }
    // Redirects to another host that trickles its headers, and a loop between two names: every
    // hop lies within the one deadline, and verify and diff end within it plus a second.
    LoopbackServer other(dir_ / "srv");
    ASSERT_NE(other.Port(), 0);
    Misbehaviour toTrickle, trickle, toOther, back;
    toTrickle.status = toOther.status = back.status = 302;
    toTrickle.location = "http://localhost:" + std::to_string(other.Port()) + "/trickle";
    trickle.trickleHeaders = true;
    toOther.location = "http://localhost:" + std::to_string(other.Port()) + "/manifest.txt";
    back.location = server.BaseUrl() + "/manifest.txt";
    other.Override("/trickle", trickle);
    other.Override("/manifest.txt", back);
    struct Bounded {
        const Misbehaviour& how;
        std::vector<std::string> args;  // the base URL follows
        int exitCode;
        const char* problem;
    };
    const Bounded bounded[] = {
        {toTrickle, {"verify", "--key", PublicKey(), "--wait", "6"}, 1, "the time to wait ran out during the transfer"},
        {toTrickle, {"verify", "--key", PublicKey(), "--timeout", "6"}, 1, "the transfer took longer than 6 s"},
        {toTrickle, {"diff", "--timeout", "6", dir_ / "rel"}, 2, "the transfer took longer than 6 s"},
        {toOther, {"verify", "--key", PublicKey(), "--wait", "6"}, 1, "more than 5 redirects"},
    };
    for (const Bounded& test : bounded) {
        server.ClearOverrides();
        server.Override("/manifest.txt", test.how);
        std::vector<std::string> args = test.args;
        args.push_back(server.BaseUrl());
        auto started = std::chrono::steady_clock::now();
        CommandResult result = RunTool(args, 90);
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        EXPECT_EQ(result.exitCode, test.exitCode) << test.problem;
        EXPECT_NE((result.out + result.err).find(test.problem), std::string::npos) << result.out << result.err;
        EXPECT_LT(seconds, 7.0) << test.problem;
    }
    // On disk, a FIFO in place of a file is refused at once instead of waiting for a writer.
    unlink((dir_ / "srv/files/empty.bin").c_str());
    ASSERT_EQ(mkfifo((dir_ / "srv/files/empty.bin").c_str(), 0644), 0);
    CommandResult fifo = RunTool({"verify", "--key", PublicKey(), dir_ / "srv"}, 30);
    EXPECT_NE(fifo.out.find("missing: empty.bin (not a regular file)"), std::string::npos) << fifo.out;
}

// The tool's own files are read without waiting: a FIFO under one of their names gets a clear
// error at once instead of holding the lock for ever.
TEST_F(PublishTool, AFifoInPlaceOfAnOwnFileIsRefusedAtOnce) {
    MakeRelease(dir_ / "rel");
    ASSERT_EQ(Publish(dir_ / "rel", dir_ / "srv", "3").exitCode, 0);
    struct Case {
        const char* name;
        std::vector<std::string> command;  // run with SERVER_DIR last
        const char* message;               // in the output; "" where the file is only a hint
    };
    const std::vector<std::string> publish = {"publish", "--key", PrivateKey(), "--serial", "4", dir_ / "rel"};
    const Case cases[] = {
        {"srv.publish-record", publish, "srv.publish-record: not a regular file"},
        {"srv.publish-serial", publish, "srv.publish-serial: not a regular file"},
        {"srv/manifest.txt", publish, "manifest.txt: not a regular file"},
        {"srv.lock", publish, "srv.lock: not a regular file"},
        {"srv/manifest.txt", {"diff", dir_ / "rel"}, "manifest.txt: not a regular file"},
        {"srv/manifest.txt", {"status"}, ""},
        {"srv.stage-state", {"status"}, ""},
        {"srv.lock", {"widen", "--share", "5"}, "srv.lock: not a regular file"},
        // A stage starts as a linked copy of the live tree, which holds nothing but files and folders.
        {"srv/files/empty.bin", {"stage", "--key", PrivateKey(), "--serial", "4", "--share", "10", dir_ / "rel"},
         "empty.bin: not a file or folder"},
    };
    for (const Case& test : cases) {
        RunCommand({"rm", "-rf", dir_ / "copy"});
        RunCommand({"cp", "-a", dir_ / "srv", dir_ / "copy"});
        const std::string fifo = dir_ / test.name;
        const std::string saved = dir_ / "saved";
        rename(fifo.c_str(), saved.c_str());
        ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0) << test.name;
        std::vector<std::string> args = test.command;
        args.push_back(dir_ / "srv");
        auto started = std::chrono::steady_clock::now();
        CommandResult result = RunTool(args, 20);
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        EXPECT_NE(result.exitCode, -1) << test.name << " " << args[0];
        EXPECT_LT(seconds, 10.0) << test.name << " " << args[0];
        EXPECT_NE((result.out + result.err).find(test.message), std::string::npos) << result.out << result.err;
        unlink(fifo.c_str());
        rename(saved.c_str(), fifo.c_str());
        RunCommand({"rm", "-rf", dir_ / "srv"});
        rename((dir_ / "copy").c_str(), (dir_ / "srv").c_str());
    }
}

TEST_F(PublishTool, BlobMatchesTheCngLayoutForAnOpensslKey) {
    ASSERT_EQ(RunCommand({"openssl", "genrsa", "-out", dir_ / "g.pem", "2048"}).exitCode, 0);
    ASSERT_EQ(RunCommand({"openssl", "rsa", "-in", dir_ / "g.pem", "-pubout", "-out", dir_ / "g.pub.pem"}).exitCode, 0);
    CommandResult modulus = RunCommand({"openssl", "rsa", "-in", dir_ / "g.pem", "-noout", "-modulus"});
    ASSERT_EQ(modulus.out.compare(0, 8, "Modulus="), 0);
    std::string hex = "525341310008000003000000000100000000000000000000010001" + modulus.out.substr(8, 512);
    std::string expected;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) expected += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));

    ASSERT_EQ(RunTool({"blob", dir_ / "g.pub.pem", dir_ / "key.blob"}).exitCode, 0);
    std::string blob = ReadFileText(dir_ / "key.blob");
    EXPECT_EQ(blob.size(), 283u);
    EXPECT_EQ(blob, expected);

    MakeOpensslKey(dir_ / "small.pem", 1024);
    MakeOpensslKey(dir_ / "e3.pem", 2048, 3);
    EXPECT_EQ(RunTool({"blob", dir_ / "small.pem.pub.pem", dir_ / "bad.blob"}).exitCode, 1);
    EXPECT_EQ(RunTool({"blob", dir_ / "e3.pem.pub.pem", dir_ / "bad.blob"}).exitCode, 1);
    EXPECT_FALSE(access((dir_ / "bad.blob").c_str(), F_OK) == 0);
}

// Bodies of at least 1 MiB get patch/SHA (the body's own inode) and patch/SHA.blocks in every
// tree publish makes; an unchanged body keeps its block file (the same inode, not read again);
// --no-blocks leaves both out; the history, revert and prune keep and drop them with the trees.
TEST_F(PublishTool, LargeBodiesGetBlockFilesThatGoWithTheirTrees) {
    const std::string rel = dir_ / "rel", srv = dir_ / "srv";
    MakeRelease(rel);
    mkdir((rel + "/copy").c_str(), 0755);
    mkdir((rel + "/patch").c_str(), 0755);  // a release folder named like the served one
    struct Body {
        std::string path;
        std::string bytes;
        bool blocks;
    };
    std::vector<Body> bodies = {
        {"small.bin", Pattern(1048575, 1), false},          // one byte below the threshold
        {"edge.bin", Pattern(1048576, 2), true},            // exactly the threshold: 256 whole blocks
        {"big.pak", Pattern(3 * 1048576 + 5, 3), true},     // a short last block
        {"copy/big.pak", Pattern(3 * 1048576 + 5, 3), true},  // the same body: one block file
        {"patch/x.bin", Pattern(1536 * 1024, 4), true},     // files/patch/x.bin, never confused with patch/
    };
    for (const Body& body : bodies) WriteFileText(rel + "/" + body.path, body.bytes);
    AgeTree(rel);
    std::map<std::string, std::string> sha;
    for (const Body& body : bodies) sha[body.path] = Sha256Of(body.bytes);
    // The others keep the times the record noted, so only this one is read again.
    auto ageOne = [](const std::string& path) { RunCommand({"touch", "-d", "1 hour ago", path}); };

    CommandResult first = Publish(rel, srv, "1");
    ASSERT_EQ(first.exitCode, 0) << first.err;
    const std::string manifest = ReadFileText(srv + "/manifest.txt");
    EXPECT_EQ(manifest.substr(0, manifest.find('\n')), "serial 1 blocks=patch min=1048576");
    EXPECT_NE(first.out.find("patch/: 3 block file(s) (0 reused, 0 made"), std::string::npos) << first.out;
    std::vector<std::string> expected;
    for (const Body& body : bodies) {
        const std::string patch = srv + "/patch/" + sha[body.path];
        EXPECT_EQ(access(patch.c_str(), F_OK) == 0, body.blocks) << body.path;
        if (!body.blocks) continue;
        if (body.path != "copy/big.pak") expected.insert(expected.end(), {sha[body.path], sha[body.path] + ".blocks"});
        unsigned long inode = InodeOf(patch);
        EXPECT_TRUE(inode == InodeOf(srv + "/files/" + body.path) ||
                    (body.path.find("big.pak") != std::string::npos &&
                     inode == InodeOf(srv + "/files/" + (body.path == "big.pak" ? "copy/big.pak" : "big.pak"))))
            << body.path << ": patch/ must hold a hard link of the body";
        ExpectBlockFileOf(patch + ".blocks", body.bytes, sha[body.path]);
    }
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(Names(srv + "/patch"), expected);
    EXPECT_EQ(ReadFileText(srv + "/files/patch/x.bin"), bodies[4].bytes);
    CommandResult verified = Verify(srv);
    EXPECT_EQ(verified.exitCode, 0) << verified.out;

    // Only edge.bin changes: the other block files are the previous tree's, by hard link.
    const unsigned long bigBlocks = InodeOf(srv + "/patch/" + sha["big.pak"] + ".blocks");
    const unsigned long xBlocks = InodeOf(srv + "/patch/" + sha["patch/x.bin"] + ".blocks");
    bodies[1].bytes = Pattern(1048576, 5);
    WriteFileText(rel + "/edge.bin", bodies[1].bytes);
    ageOne(rel + "/edge.bin");
    const std::string oldEdge = sha["edge.bin"];
    sha["edge.bin"] = Sha256Of(bodies[1].bytes);
    CommandResult second = Publish(rel, srv, "2");
    ASSERT_EQ(second.exitCode, 0) << second.err;
    EXPECT_NE(second.out.find("(1 read from the release, 8 taken over unchanged)"), std::string::npos) << second.out;
    EXPECT_NE(second.out.find("patch/: 3 block file(s) (2 reused, 0 made"), std::string::npos) << second.out;
    EXPECT_EQ(InodeOf(srv + "/patch/" + sha["big.pak"] + ".blocks"), bigBlocks);
    EXPECT_EQ(InodeOf(srv + "/patch/" + sha["patch/x.bin"] + ".blocks"), xBlocks);
    EXPECT_NE(access((srv + "/patch/" + oldEdge).c_str(), F_OK), 0);
    ExpectBlockFileOf(srv + "/patch/" + sha["edge.bin"] + ".blocks", bodies[1].bytes, sha["edge.bin"]);

    // Without block files: no patch/, no marker, and the updater's whole-file path as before.
    CommandResult plain = Publish(rel, srv, "3", {"--no-blocks"});
    ASSERT_EQ(plain.exitCode, 0) << plain.err;
    EXPECT_EQ(ReadFileText(srv + "/manifest.txt").substr(0, 9), "serial 3\n");
    EXPECT_NE(access((srv + "/patch").c_str(), F_OK), 0);
    EXPECT_EQ(Verify(srv).exitCode, 0);
    // Back on: the tree it replaces has none, so the bodies are read once to make them.
    CommandResult again = Publish(rel, srv, "4");
    ASSERT_EQ(again.exitCode, 0) << again.err;
    EXPECT_NE(again.out.find("(0 read from the release, 9 taken over unchanged)"), std::string::npos) << again.out;
    EXPECT_NE(again.out.find("patch/: 3 block file(s) (0 reused, 3 made"), std::string::npos) << again.out;
    EXPECT_EQ(Verify(srv).exitCode, 0);

    // Every reader of the history takes the serial from the digits.
    CommandResult history = RunTool({"history", srv});
    ASSERT_EQ(history.exitCode, 0) << history.err;
    for (const char* serial : {"\n4 ", "\n3 ", "\n2 ", "\n1 "})
        EXPECT_NE(history.out.find(serial), std::string::npos) << serial << " in\n" << history.out;
    CommandResult status = RunTool({"status", srv});
    EXPECT_EQ(status.exitCode, 0) << status.err;
    EXPECT_NE(status.out.find("serial 4"), std::string::npos) << status.out;
    EXPECT_EQ(RunTool({"diff", "--to", "1", srv}).exitCode, 1);

    // A stage starts from the live tree's links: its unchanged bodies keep their block files.
    bodies[1].bytes = Pattern(1048576, 6);
    WriteFileText(rel + "/edge.bin", bodies[1].bytes);
    ageOne(rel + "/edge.bin");
    const std::string edge2 = sha["edge.bin"];
    sha["edge.bin"] = Sha256Of(bodies[1].bytes);
    CommandResult staged = RunTool({"stage", "--key", PrivateKey(), "--serial", "5", "--share", "10", rel, srv});
    ASSERT_EQ(staged.exitCode, 0) << staged.err;
    EXPECT_EQ(ReadFileText(srv + ".stage/manifest.txt").substr(0, 34), "serial 5 blocks=patch min=1048576\n");
    EXPECT_EQ(InodeOf(srv + ".stage/patch/" + sha["big.pak"] + ".blocks"),
              InodeOf(srv + "/patch/" + sha["big.pak"] + ".blocks"));
    ExpectBlockFileOf(srv + ".stage/patch/" + sha["edge.bin"] + ".blocks", bodies[1].bytes, sha["edge.bin"]);
    EXPECT_EQ(Verify(srv + ".stage").exitCode, 0);
    CommandResult stagedStatus = RunTool({"status", srv});
    EXPECT_NE(stagedStatus.out.find("stage: serial 5 for 10 %"), std::string::npos) << stagedStatus.out;
    const unsigned long stagedEdge = InodeOf(srv + ".stage/patch/" + sha["edge.bin"] + ".blocks");
    ASSERT_EQ(RunTool({"promote", srv}).exitCode, 0);
    EXPECT_EQ(InodeOf(srv + "/patch/" + sha["edge.bin"] + ".blocks"), stagedEdge);
    EXPECT_EQ(Verify(srv).exitCode, 0);

    // A revert links the kept tree's block files; pruning drops a tree's with it.
    std::string kept1;
    for (const std::string& entry : Names(srv + ".history"))
        if (entry.compare(0, 2, "1-") == 0) kept1 = srv + ".history/" + entry + "/tree";
    ASSERT_FALSE(kept1.empty());
    const unsigned long keptEdge = InodeOf(kept1 + "/patch/" + oldEdge + ".blocks");
    ASSERT_NE(keptEdge, 0u);
    CommandResult reverted = RunTool({"revert", "--key", PrivateKey(), "--to", "1", "--serial", "6", srv});
    ASSERT_EQ(reverted.exitCode, 0) << reverted.err;
    EXPECT_EQ(ReadFileText(srv + "/manifest.txt").substr(0, 34), "serial 6 blocks=patch min=1048576\n");
    EXPECT_EQ(InodeOf(srv + "/patch/" + oldEdge + ".blocks"), keptEdge);
    EXPECT_EQ(InodeOf(srv + "/patch/" + oldEdge), InodeOf(srv + "/files/edge.bin"));
    EXPECT_NE(reverted.out.find("patch/: 3 block file(s) (3 reused, 0 made"), std::string::npos) << reverted.out;
    EXPECT_EQ(Verify(srv).exitCode, 0);
    auto copiesOf = [&](const std::string& name) {
        return RunCommand({"find", srv + ".history", "-name", name}).out;
    };
    EXPECT_NE(copiesOf(edge2 + ".blocks"), "");  // in the trees of serials 2 and 4
    CommandResult pruned = RunTool({"prune", "--keep", "1", srv});
    ASSERT_EQ(pruned.exitCode, 0) << pruned.err;
    // Kept: 6 (live) and 5 (the one before); the trees of 2 and 4 went, the only ones that held
    // edge.bin's second body, and its block file with them. The live tree keeps its own.
    EXPECT_EQ(copiesOf(edge2 + ".blocks"), "");
    EXPECT_EQ(InodeOf(srv + "/patch/" + oldEdge + ".blocks"), keptEdge);

    // An earlier block file that does not fit its body is never taken over: the body is read for a new one.
    const std::string bigBlockFile = srv + "/patch/" + sha["big.pak"] + ".blocks";
    std::string damaged = ReadFileText(bigBlockFile);
    damaged[0] ^= 1;
    WriteFileText(bigBlockFile, damaged);
    CommandResult healed = Publish(rel, srv, "7");
    ASSERT_EQ(healed.exitCode, 0) << healed.err;
    EXPECT_NE(healed.out.find("patch/: 3 block file(s) (1 reused, 1 made"), std::string::npos) << healed.out;
    ExpectBlockFileOf(bigBlockFile, bodies[2].bytes, sha["big.pak"]);
    EXPECT_EQ(Verify(srv).exitCode, 0);
    EXPECT_EQ(Verify(srv).exitCode, 0);
}

TEST_F(PublishTool, RepublishTakesOverOnlyWhatTheQuickCheckTrustsAndChecksumCatchesTheRest) {
    MakeRelease(dir_ / "rel");
    AgeTree(dir_ / "rel");
    ASSERT_EQ(Publish(dir_ / "rel", dir_ / "srv", "1").exitCode, 0);
    unsigned long pakInode = InodeOf(dir_ / "srv/files/data/Maps/Erste Karte.pak");
    CommandResult same = Publish(dir_ / "rel", dir_ / "srv", "2");
    EXPECT_NE(same.out.find("(0 read from the release, 4 taken over unchanged)"), std::string::npos) << same.out;
    EXPECT_EQ(same.err, "");  // no progress line when stderr is not a terminal
    EXPECT_EQ(InodeOf(dir_ / "srv/files/data/Maps/Erste Karte.pak"), pakInode);

    WriteFileText(dir_ / "rel/game.exe", "MZ gamf");  // same size, new bytes
    CommandResult changed = Publish(dir_ / "rel", dir_ / "srv", "3");
    EXPECT_NE(changed.out.find("(1 read from the release, 3 taken over"), std::string::npos) << changed.out;
    EXPECT_EQ(ReadFileText(dir_ / "srv/files/game.exe"), "MZ gamf");

    // A live copy altered in place gets a new modification time: it is read afresh.
    std::string pak = dir_ / "srv/files/data/Maps/Erste Karte.pak";
    WriteFileText(pak, std::string(70000, 'X'));
    CommandResult healed = Publish(dir_ / "rel", dir_ / "srv", "4");
    EXPECT_NE(healed.out.find("(2 read from the release"), std::string::npos) << healed.out;  // game.exe is still young
    EXPECT_EQ(ReadFileText(pak), std::string(70000, 'k'));
    EXPECT_EQ(Verify(dir_ / "srv").exitCode, 0);

    // Altered with its times put back, it passes the quick check (as the help says); --checksum finds it.
    AlterKeepingTimes(pak);
    ASSERT_EQ(Publish(dir_ / "rel", dir_ / "srv", "5").exitCode, 0);
    EXPECT_EQ(Verify(dir_ / "srv").exitCode, 1);
    CommandResult paranoid = Publish(dir_ / "rel", dir_ / "srv", "6", {"--checksum"});
    EXPECT_EQ(paranoid.exitCode, 0) << paranoid.err;
    EXPECT_EQ(ReadFileText(pak), std::string(70000, 'k'));
    EXPECT_EQ(Verify(dir_ / "srv").exitCode, 0);
}

// The live copy is looked at once, on its new name in the fresh tree: each way it can stop being
// the recorded copy has the file read from the release again, never a publish that fails.
TEST_F(PublishTool, ALiveCopyThatIsNoLongerTheRecordedOneIsReadAfresh) {
    auto keepTimes = [](const std::string& path, const struct stat& st) {
        timespec times[2] = {st.st_atim, st.st_mtim};
        ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
    };
    const std::vector<std::pair<std::string, std::function<void(const std::string&, const struct stat&)>>> cases = {
        {"another inode, same size and time", [&](const std::string& pak, const struct stat& st) {
             WriteFileText(pak + ".new", ReadFileText(pak));
             keepTimes(pak + ".new", st);
             ASSERT_EQ(rename((pak + ".new").c_str(), pak.c_str()), 0);
         }},
        {"cut short, time put back", [&](const std::string& pak, const struct stat& st) {
             ASSERT_EQ(truncate(pak.c_str(), 100), 0);
             keepTimes(pak, st);
         }},
        {"removed", [](const std::string& pak, const struct stat&) { ASSERT_EQ(unlink(pak.c_str()), 0); }},
        {"a symbolic link to the release file", [](const std::string& pak, const struct stat&) {
             ASSERT_EQ(unlink(pak.c_str()), 0);
             std::string release = pak.substr(0, pak.rfind("/srv/")) + "/rel/data/Maps/Erste Karte.pak";
             ASSERT_EQ(symlink(release.c_str(), pak.c_str()), 0);
         }},
        {"its folder removed", [](const std::string& pak, const struct stat&) {
             std::string error;
             ASSERT_TRUE(RemoveTree(pak.substr(0, pak.rfind('/')), error)) << error;
         }},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].first);
        std::string base = dir_ / std::to_string(i), pak = base + "/srv/files/data/Maps/Erste Karte.pak";
        mkdir(base.c_str(), 0755);
        MakeRelease(base + "/rel");
        AgeTree(base + "/rel");
        ASSERT_EQ(Publish(base + "/rel", base + "/srv", "1").exitCode, 0);
        struct stat st;
        ASSERT_EQ(stat(pak.c_str(), &st), 0);
        cases[i].second(pak, st);
        CommandResult again = Publish(base + "/rel", base + "/srv", "2");
        EXPECT_EQ(again.exitCode, 0) << again.err;
        EXPECT_NE(again.out.find("(1 read from the release, 3 taken over"), std::string::npos) << again.out;
        EXPECT_EQ(ReadFileText(pak), std::string(70000, 'k'));
        EXPECT_EQ(Verify(base + "/srv").exitCode, 0);
    }
}

// The record is a stored file: its lines keep their format, so a record of an earlier version is
// read as before, and a damaged one only costs reading every file once.
TEST_F(PublishTool, TheRecordKeepsItsFormatAndADamagedOneMeansReadingEverything) {
    MakeRelease(dir_ / "rel");
    AgeTree(dir_ / "rel");
    ASSERT_EQ(Publish(dir_ / "rel", dir_ / "srv", "1").exitCode, 0);
    std::string recordPath = dir_ / "srv.publish-record", record = ReadFileText(recordPath);
    std::istringstream lines(record);
    std::string line;
    ASSERT_TRUE(std::getline(lines, line));
    EXPECT_EQ(line, "quillor-publish record 1");
    ASSERT_TRUE(std::getline(lines, line));
    EXPECT_EQ(line.rfind("started ", 0), 0u) << line;
    std::vector<std::string> paths;
    while (std::getline(lines, line)) {
        // sha256 TAB size TAB release mtime ns TAB inode TAB published mtime ns TAB path
        std::vector<std::string> fields;
        std::istringstream split(line);
        for (std::string field; std::getline(split, field, '\t');) fields.push_back(field);
        ASSERT_EQ(fields.size(), 6u) << line;
        struct stat st;
        ASSERT_EQ(lstat((dir_ / "srv/files/" + fields[5]).c_str(), &st), 0) << line;
        EXPECT_EQ(fields[0].size(), 64u);
        EXPECT_EQ(fields[1], std::to_string(st.st_size));
        EXPECT_EQ(fields[3], std::to_string(st.st_ino));
        EXPECT_EQ(fields[4], std::to_string(st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec));
        paths.push_back(fields[5]);
    }
    EXPECT_EQ(paths.size(), 4u);
    EXPECT_TRUE(std::is_sorted(paths.begin(), paths.end()));
    EXPECT_NE(Publish(dir_ / "rel", dir_ / "srv", "2").out.find("(0 read from the release, 4 taken over"),
              std::string::npos);
    const std::vector<std::string> damaged = {
        record.substr(0, record.size() - 1),  // cut short
        record + "not a record line\n",
        "quillor-publish record 2\n" + record.substr(record.find('\n') + 1),
    };
    for (size_t i = 0; i < damaged.size(); ++i) {
        SCOPED_TRACE(i);
        WriteFileText(recordPath, damaged[i]);
        CommandResult again = Publish(dir_ / "rel", dir_ / "srv", std::to_string(3 + i));
        EXPECT_EQ(again.exitCode, 0) << again.err;
        EXPECT_NE(again.out.find("(4 read from the release, 0 taken over"), std::string::npos) << again.out;
    }
}

TEST_F(PublishTool, DiffListsWhatPlayersWouldDownload) {
    MakeRelease(dir_ / "rel");
    CommandResult none = RunTool({"diff", dir_ / "rel", dir_ / "srv"});
    EXPECT_EQ(none.exitCode, 1);
    EXPECT_NE(none.out.find("4 added, 0 changed, 0 removed, 0 unchanged; each player on no installation downloads 70012 bytes"),
              std::string::npos) << none.out;
    ASSERT_EQ(Publish(dir_ / "rel", dir_ / "srv", "1").exitCode, 0);
    EXPECT_EQ(RunTool({"diff", dir_ / "rel", dir_ / "srv"}).exitCode, 0);
    WriteFileText(dir_ / "rel/game.exe", "MZ gamf");
    WriteFileText(dir_ / "rel/new.txt", "neu");
    unlink((dir_ / "rel/empty.bin").c_str());
    CommandResult changed = RunTool({"diff", dir_ / "rel", dir_ / "srv"});
    EXPECT_EQ(changed.exitCode, 1);
    EXPECT_EQ(changed.out, "removed               0  empty.bin\n"
                           "changed               7  game.exe\n"
                           "added                 3  new.txt\n"
                           "1 added, 1 changed, 1 removed, 2 unchanged; each player on the published serial 1 "
                           "downloads 10 bytes\n");
    EXPECT_EQ(RunTool({"diff", dir_ / "missing", dir_ / "srv"}).exitCode, 2);
    EXPECT_EQ(RunTool({"diff", dir_ / "rel", "http://127.0.0.1:1"}).exitCode, 2);
}

TEST_F(PublishTool, OnePublishAtATimeAndOnlyTheLeftoversOfAKilledOneAreRemoved) {
    MakeRelease(dir_ / "rel");
    ASSERT_EQ(Publish(dir_ / "rel", dir_ / "srv", "1").exitCode, 0);
    {
        UniqueFd held(open((dir_ / "srv.lock").c_str(), O_RDWR | O_CLOEXEC));
        ASSERT_EQ(flock(held.Get(), LOCK_EX), 0);
        CommandResult busy = Publish(dir_ / "rel", dir_ / "srv", "2");
        EXPECT_EQ(busy.exitCode, 1);
        EXPECT_NE(busy.err.find("another publish into this server folder is running"), std::string::npos) << busy.err;
    }
    // Names of the old leftover form, made by hand, are someone else's.
    const std::vector<std::string> foreign = {"srv.tmp-Ab12Cd", "srv.tmp-Ab12Cd.old", "srv.tmp-backup",
                                              "srv.publish-record.tmp-x1Y2z3"};
    for (const std::string& name : foreign) ASSERT_EQ(RunCommand({"mkdir", "-p", dir_ / name + "/files"}).exitCode, 0);
    // A publish killed just before its swap leaves its whole tree and its record beside the server folder.
    WriteFileText(dir_ / "rel/game.exe", "MZ gamf");
    std::vector<std::string> args = {"publish", "--key", PrivateKey(), "--serial", "2", dir_ / "rel", dir_ / "srv"};
    ASSERT_EQ(RunToolTraced("renameat2", {"renameat2:signal=KILL:when=1"}, args).exitCode, 128 + SIGKILL);
    std::vector<std::string> expected = {"rel",      "srv",          "srv.cohorts",
                                         "srv.history", "srv.lock", "srv.publish-record", "srv.publish-serial"};
    EXPECT_EQ(Listing(dir_.Path()).size(), expected.size() + foreign.size() + 2);
    CommandResult again = Publish(dir_ / "rel", dir_ / "srv", "2");
    ASSERT_EQ(again.exitCode, 0) << again.err;
    EXPECT_NE(again.err.find("left behind by an interrupted publish"), std::string::npos) << again.err;
    expected.insert(expected.end(), foreign.begin(), foreign.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(Listing(dir_.Path()), expected);
}

TEST_F(PublishTool, AGrowingReleaseFileIsRefusedAndTheLiveTreeStays) {
    MakeRelease(dir_ / "rel");
    ASSERT_EQ(Publish(dir_ / "rel", dir_ / "srv", "1").exitCode, 0);
    std::string manifest = ReadFileText(dir_ / "srv/manifest.txt");
    WriteFileText(dir_ / "rel/grow.log", std::string(32 << 20, 'g'));
    BackgroundProcess writer =
        StartBackground({"sh", "-c", "while :; do echo x >> \"$0\"; done", dir_ / "rel/grow.log"}, dir_ / "writer.out");
    CommandResult moving = Publish(dir_ / "rel", dir_ / "srv", "2");
    StopBackground(writer);
    EXPECT_EQ(moving.exitCode, 1);
    EXPECT_NE(moving.err.find("grow.log: changed while it was being read"), std::string::npos) << moving.err;
    EXPECT_EQ(ReadFileText(dir_ / "srv/manifest.txt"), manifest);
}

// A release folder swapped for a link to a folder outside between the scan and the reads: the
// file outside is never published, and nothing goes live.
TEST_F(PublishTool, AFolderSwappedForALinkAfterTheScanIsNotFollowed) {
    MakeRelease(dir_ / "rel");
    ASSERT_EQ(RunCommand({"mkdir", "-p", dir_ / "outside/Maps"}).exitCode, 0);
    WriteFileText(dir_ / "outside/Maps/Erste Karte.pak", "secret of another folder");
    WriteFileText(dir_ / "outside/Gr\xC3\xBC\xC3\x9F" "e.txt", "names as scanned");
    setenv("QUILLOR_PUBLISH_PAUSE_AFTER_SCAN", (dir_ / "scanned").c_str(), 1);
    BackgroundProcess publish = StartBackground({QUILLOR_PUBLISH_EXE, "publish", "--key", PrivateKey(), "--serial",
                                                 "1", dir_ / "rel", dir_ / "srv"}, dir_ / "publish.log");
    unsetenv("QUILLOR_PUBLISH_PAUSE_AFTER_SCAN");
    for (int i = 0; i < 1000 && access((dir_ / "scanned").c_str(), F_OK) != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(rename((dir_ / "rel/data").c_str(), (dir_ / "data.moved").c_str()), 0);
    ASSERT_EQ(symlink((dir_ / "outside").c_str(), (dir_ / "rel/data").c_str()), 0);
    unlink((dir_ / "scanned").c_str());
    EXPECT_EQ(WaitBackground(publish, 60), 1);
    std::string log = ReadFileText(dir_ / "publish.log");
    EXPECT_NE(log.find(": a folder on its path is a symbolic link now"), std::string::npos) << log;
    EXPECT_NE(ReadFileText(dir_ / "srv/files/data/Maps/Erste Karte.pak"), "secret of another folder");
    EXPECT_FALSE(access((dir_ / "srv").c_str(), F_OK) == 0);
}

TEST_F(PublishTool, KeygenForceReplacesBothHalvesOrNeitherAndKeepsPassphraseKeysOffTheCommandLine) {
    ASSERT_EQ(RunTool({"keygen", dir_ / "k"}).exitCode, 0);
    std::string oldPrivate = ReadFileText(dir_ / "k.pem");
    ASSERT_EQ(rename((dir_ / "k.pub.pem").c_str(), (dir_ / "old.pub.pem").c_str()), 0);
    ASSERT_EQ(RunCommand({"mkdir", "-p", dir_ / "k.pub.pem/blocked"}).exitCode, 0);  // the public half cannot be replaced
    EXPECT_EQ(RunTool({"keygen", "--force", dir_ / "k"}).exitCode, 1);
    EXPECT_EQ(ReadFileText(dir_ / "k.pem"), oldPrivate);
    RunCommand({"rm", "-rf", dir_ / "k.pub.pem"});
    ASSERT_EQ(rename((dir_ / "old.pub.pem").c_str(), (dir_ / "k.pub.pem").c_str()), 0);
    ASSERT_EQ(RunCommand({"mv", dir_ / "k.pem", dir_ / "old.pem"}).exitCode, 0);
    ASSERT_EQ(RunCommand({"mkdir", "-p", dir_ / "k.pem/blocked"}).exitCode, 0);  // now the private half cannot
    std::string oldPublic = ReadFileText(dir_ / "k.pub.pem");
    EXPECT_EQ(RunTool({"keygen", "--force", dir_ / "k"}).exitCode, 1);
    EXPECT_EQ(ReadFileText(dir_ / "k.pub.pem"), oldPublic);
    RunCommand({"rm", "-rf", dir_ / "k.pem"});
    ASSERT_EQ(RunTool({"keygen", "--force", dir_ / "k"}).exitCode, 0);
    CommandResult derived = RunCommand({"openssl", "pkey", "-in", dir_ / "k.pem", "-pubout"});
    EXPECT_EQ(derived.out, ReadFileText(dir_ / "k.pub.pem"));
    EXPECT_EQ(Listing(dir_.Path()), (std::vector<std::string>{"k.pem", "k.pub.pem", "old.pem"}));

    WriteFileText(dir_ / "pass", "correct horse\n");
    ASSERT_EQ(RunTool({"keygen", "--passphrase-file", dir_ / "pass", dir_ / "locked"}).exitCode, 0);
    EXPECT_NE(ReadFileText(dir_ / "locked.pem").find("ENCRYPTED PRIVATE KEY"), std::string::npos);
    MakeRelease(dir_ / "rel");
    auto publishLocked = [&](std::vector<std::string> extra) {
        std::vector<std::string> args = {"publish", "--key", dir_ / "locked.pem", "--serial", "1"};
        args.insert(args.end(), extra.begin(), extra.end());
        args.insert(args.end(), {dir_ / "rel", dir_ / "srv"});
        return RunTool(args);
    };
    EXPECT_NE(publishLocked({}).err.find("protected by a passphrase"), std::string::npos);
    setenv("QUILLOR_TEST_PASSPHRASE", "wrong horse", 1);
    EXPECT_NE(publishLocked({"--passphrase-env", "QUILLOR_TEST_PASSPHRASE"}).err.find("wrong passphrase"), std::string::npos);
    setenv("QUILLOR_TEST_PASSPHRASE", "correct horse", 1);
    EXPECT_EQ(publishLocked({"--passphrase-env", "QUILLOR_TEST_PASSPHRASE"}).exitCode, 0);
    unsetenv("QUILLOR_TEST_PASSPHRASE");
    EXPECT_EQ(publishLocked({"--passphrase-file", dir_ / "pass"}).exitCode, 0);
    EXPECT_EQ(RunTool({"verify", "--key", dir_ / "locked.pub.pem", dir_ / "srv"}).exitCode, 0);
}

TEST_F(PublishTool, SignCommandIsCheckedWithThePublicKeyBeforeTheSwap) {
    MakeRelease(dir_ / "rel");
    ASSERT_EQ(Publish(dir_ / "rel", dir_ / "srv", "1").exitCode, 0);
    std::string manifest = ReadFileText(dir_ / "srv/manifest.txt");
    MakeOpensslKey(dir_ / "other.pem", 2048);
    auto signWith = [&](const std::string& command) {
        return RunTool({"publish", "--sign-command", command, "--pub", PublicKey(), "--serial", "2", dir_ / "rel",
                        dir_ / "srv"});
    };
    const std::pair<std::string, const char*> badSigners[] = {
        {"openssl dgst -sha256 -sign " + dir_ / "other.pem", "does not verify with"},
        {"cat >/dev/null; exit 3", "failed (exit status 3)"},
        {"openssl dgst -sha256 -hex -sign " + PrivateKey(), "not the raw 256"},
    };
    for (const auto& signer : badSigners) {
        CommandResult refused = signWith(signer.first);
        EXPECT_EQ(refused.exitCode, 1) << signer.first;
        EXPECT_NE(refused.err.find(signer.second), std::string::npos) << refused.err;
        EXPECT_NE(refused.err.find("nothing was published"), std::string::npos) << refused.err;
        EXPECT_EQ(ReadFileText(dir_ / "srv/manifest.txt"), manifest);
    }
    CommandResult signedOk = signWith("openssl dgst -sha256 -sign " + PrivateKey());
    EXPECT_EQ(signedOk.exitCode, 0) << signedOk.err;
    EXPECT_EQ(Verify(dir_ / "srv").exitCode, 0);
    EXPECT_EQ(RunTool({"publish", "--sign-command", "true", "--serial", "3", dir_ / "rel", dir_ / "srv"}).exitCode, 2);
}

// Real stalling shells under a 2 s limit: each publish ends soon after it (a signer sleeping 60 s
// would hold it 60 s otherwise), a signature that has arrived is kept, and nothing the signer
// started outlives it.
TEST_F(PublishTool, SignCommandEndsWithinItsTimeoutAndTakesWhatItStartedAlong) {
    MakeRelease(dir_ / "rel");
    for (int i = 0; i < 400; ++i) WriteFileText(dir_ / "rel/data/" + std::string(100, 'p') + std::to_string(i), "x");
    const std::string sign = "openssl dgst -sha256 -sign " + PrivateKey();
    const std::string stray = dir_ / "stray.pid";
    struct Case {
        std::string command;
        int exitCode;
        const char* message;
    };
    const Case cases[] = {
        {sign + "; exec >&-; sleep 60", 0, "closed its output but did not exit within 2 s"},
        {sign + "; sleep 60 & echo $! >" + stray, 0, ""},
        {"sleep 60", 1, "the sign command took longer than 2 s"},  // never reads the 72 KB manifest
    };
    int serial = 1;
    for (const Case& test : cases) {
        auto started = std::chrono::steady_clock::now();
        CommandResult result = RunTool({"publish", "--sign-command", test.command, "--pub", PublicKey(),
                                        "--sign-timeout", "2", "--serial", std::to_string(serial), dir_ / "rel",
                                        dir_ / "srv"}, 60);
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        EXPECT_LT(seconds, 20.0) << test.command;  // 2 s, and the rest of the publish on a busy machine
        EXPECT_EQ(result.exitCode, test.exitCode) << test.command << ": " << result.err;
        EXPECT_NE(result.err.find(test.message), std::string::npos) << result.err;
        if (test.exitCode == 0) {
            EXPECT_EQ(Verify(dir_ / "srv").exitCode, 0);
        }
        serial += test.exitCode == 0;
    }
    ASSERT_NE(PidInFile(stray), 0);
    EXPECT_TRUE(ProcessEnded(PidInFile(stray)));
    // What it started in a session of its own dies too, so nothing holds the caller's output.
    const std::string escaped = dir_ / "escaped.pid";
    const std::string setsid = "setsid sh -c 'echo $$ >" + escaped + "; exec sleep 30' >/dev/null </dev/null & "
                               "while [ ! -s " + escaped + " ]; do sleep 0.05; done; " + sign;
    auto started = std::chrono::steady_clock::now();
    CommandResult captured = RunCommand({"sh", "-c", "out=$(\"$0\" publish --sign-command \"$1\" --pub \"$2\" "
                                         "--sign-timeout 5 --serial 9 \"$3\" \"$4\" 2>&1); echo \"$out\"",
                                         QUILLOR_PUBLISH_EXE, setsid, PublicKey(), dir_ / "rel", dir_ / "srv"}, 60);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    EXPECT_NE(captured.out.find("published serial 9"), std::string::npos) << captured.out;
    EXPECT_LT(seconds, 5.0);
    ASSERT_NE(PidInFile(escaped), 0);
    EXPECT_TRUE(ProcessEnded(PidInFile(escaped), 0));
    if (!ProcessEnded(PidInFile(escaped), 0)) kill(PidInFile(escaped), SIGKILL);
    EXPECT_EQ(RunTool({"publish", "--sign-command", sign, "--pub", PublicKey(), "--sign-timeout", "0", "--serial",
                       "9", dir_ / "rel", dir_ / "srv"}).exitCode, 2);
}

// On a terminal the signer's group holds it (a token may ask for its PIN there), a time-out kills
// the whole group, not only sh, and the terminal comes back to the publisher.
TEST(SignCommand, OnATerminalItsGroupHoldsTheTerminalAndDiesWholeAtTheTimeOut) {
    TempDir dir;
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    std::string terminal = ptsname(master);
    const std::string command = "read -r _ _ _ _ group _ _ foreground _ </proc/$$/stat; echo $group $foreground >" +
                                dir / "groups" + "; sleep 30 & echo $! >" + dir / "sleep.pid" + "; wait";
    pid_t child = fork();
    if (child == 0) {
        // A session of its own whose controlling terminal is the pty, as a publish run by hand.
        int slave = setsid() < 0 ? -1 : open(terminal.c_str(), O_RDWR);
        if (slave < 0 || dup2(slave, STDIN_FILENO) < 0) _exit(90);
        std::vector<uint8_t> signature;
        std::string error;
        auto started = std::chrono::steady_clock::now();
        bool signedOk = RunSignCommand(command, std::vector<uint8_t>(100, 'm'), 1, signature, error);
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        // Checked before this session ends: its end would hang up a survivor on the terminal.
        bool sleepEnded = ProcessEnded(PidInFile(dir / "sleep.pid"), 3);
        WriteFileText(dir / "result", std::to_string(getpgrp()) + " " + std::to_string(tcgetpgrp(STDIN_FILENO)) +
                                          " " + (signedOk ? "signed" : "refused") + " " +
                                          std::to_string(static_cast<int>(seconds * 10)) + " " +
                                          (sleepEnded ? "ended" : "survived") + "\n" + error);
        _exit(0);
    }
    ASSERT_GT(child, 0);
    int status = -1;
    for (int i = 0; i < 500 && waitpid(child, &status, WNOHANG) == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (!WIFEXITED(status)) kill(child, SIGKILL);
    close(master);
    std::istringstream result(ReadFileText(dir / "result"));
    pid_t publisherGroup = 0, foregroundAfter = 0;
    std::string verdict, sleeper, error;
    int tenths = 0;
    result >> publisherGroup >> foregroundAfter >> verdict >> tenths >> sleeper;
    std::getline(result >> std::ws, error);
    EXPECT_EQ(verdict, "refused");
    EXPECT_EQ(error, "the sign command took longer than 1 s");
    EXPECT_LT(tenths, 50);
    EXPECT_EQ(foregroundAfter, publisherGroup);  // the terminal is back
    std::istringstream groups(ReadFileText(dir / "groups"));
    pid_t signerGroup = 0, signerForeground = 0;
    groups >> signerGroup >> signerForeground;
    EXPECT_NE(signerGroup, publisherGroup);
    EXPECT_EQ(signerForeground, signerGroup);  // the signer's group held the terminal
    EXPECT_NE(PidInFile(dir / "sleep.pid"), 0);
    EXPECT_EQ(sleeper, "ended");  // not only sh
}

// A real PKCS #11 token (SoftHSM2) holding the key; publish signs through pkcs11-tool.
TEST_F(PublishTool, SignsThroughAHardwareTokenWithPkcs11Tool) {
    const std::string module = "/usr/lib/softhsm/libsofthsm2.so";
    if (access(module.c_str(), R_OK) != 0 || RunCommand({"pkcs11-tool", "--help"}).exitCode == 127)
        GTEST_SKIP() << "SoftHSM2 or OpenSC is not installed";
    ASSERT_EQ(mkdir((dir_ / "tokens").c_str(), 0700), 0);
    WriteFileText(dir_ / "softhsm2.conf", "directories.tokendir = " + dir_ / "tokens" + "\nobjectstore.backend = file\n");
    setenv("SOFTHSM2_CONF", (dir_ / "softhsm2.conf").c_str(), 1);
    std::vector<std::string> tool = {"pkcs11-tool", "--module", module, "--token-label", "quillor"};
    auto pkcs11 = [&](std::vector<std::string> args) {
        args.insert(args.begin(), tool.begin(), tool.end());
        return RunCommand(args);
    };
    ASSERT_EQ(RunCommand({"softhsm2-util", "--init-token", "--free", "--label", "quillor", "--pin", "1234", "--so-pin",
                          "5678"}).exitCode, 0);
    CommandResult made = pkcs11({"--login", "--pin", "1234", "--keypairgen", "--key-type", "rsa:2048", "--id", "01"});
    ASSERT_EQ(made.exitCode, 0) << made.err;
    ASSERT_EQ(pkcs11({"--read-object", "--type", "pubkey", "--id", "01", "-o", dir_ / "token.der"}).exitCode, 0);
    ASSERT_EQ(RunCommand({"openssl", "pkey", "-pubin", "-inform", "DER", "-in", dir_ / "token.der", "-out",
                          dir_ / "token.pub.pem"}).exitCode, 0);

    MakeRelease(dir_ / "rel");
    std::string command = "pkcs11-tool --module " + module + " --token-label quillor --login --pin env:QUILLOR_TOKEN_PIN "
                          "--sign -m SHA256-RSA-PKCS --id 01 -i /dev/stdin -o /dev/stdout 2>/dev/null";
    setenv("QUILLOR_TOKEN_PIN", "1234", 1);
    CommandResult published = RunTool({"publish", "--sign-command", command, "--pub", dir_ / "token.pub.pem",
                                       "--serial", "7", dir_ / "rel", dir_ / "srv"});
    unsetenv("SOFTHSM2_CONF");
    unsetenv("QUILLOR_TOKEN_PIN");
    ASSERT_EQ(published.exitCode, 0) << published.err;
    CommandResult openssl = RunCommand({"openssl", "dgst", "-sha256", "-verify", dir_ / "token.pub.pem", "-signature",
                                        dir_ / "srv/manifest.sig", dir_ / "srv/manifest.txt"});
    EXPECT_EQ(openssl.exitCode, 0) << openssl.out << openssl.err;
    EXPECT_EQ(RunTool({"verify", "--key", dir_ / "token.pub.pem", dir_ / "srv"}).exitCode, 0);
}

TEST_F(PublishTool, CommandLineMistakesGiveUsageErrors) {
    EXPECT_EQ(RunTool({"--help"}).exitCode, 0);
    EXPECT_NE(RunTool({"--help"}).out.find("publish (--key PRIVATE.pem | --sign-command CMD"), std::string::npos);
    EXPECT_EQ(RunTool({}).exitCode, 2);
    EXPECT_EQ(RunTool({"frobnicate"}).exitCode, 2);
    EXPECT_EQ(RunTool({"publish", "--key"}).exitCode, 2);
    EXPECT_EQ(RunTool({"publish", "--serial", "1", "a", "b"}).exitCode, 2);
    EXPECT_EQ(RunTool({"publish", "--key", "k.pem", "--serial", "1", "--jobs", "x", "a", "b"}).exitCode, 2);
    EXPECT_EQ(RunTool({"serve", "--port", "70000", dir_.Path()}).exitCode, 2);
    EXPECT_EQ(RunTool({"verify", "--key", PublicKey(), "--bogus", dir_.Path()}).exitCode, 2);
}

}  // namespace
