// quillor-publish run as a program: keygen, publish, verify and blob, with their refusals.
#include "tool_support.h"
#include "update/manifest.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
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
    EXPECT_EQ(Listing(dir_.Path()), (std::vector<std::string>{"rel", "srv", "srv.lock", "srv.publish-record"}));

    std::string manifest = ReadFileText(dir_ / "srv/manifest.txt");
    EXPECT_EQ(manifest, "serial 12\n" +
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
    EXPECT_EQ(ReadFileText(dir_ / "srv/manifest.txt"), "serial 5\n");
    EXPECT_EQ(Verify(dir_ / "srv").exitCode, 0);

    MakeRelease(dir_ / "rel");
    CommandResult lower = Publish(dir_ / "rel", dir_ / "srv", "4");
    EXPECT_NE(lower.exitCode, 0);
    EXPECT_NE(lower.err.find("lower than the published serial 5"), std::string::npos) << lower.err;
    EXPECT_EQ(ReadFileText(dir_ / "srv/manifest.txt"), "serial 5\n");

    EXPECT_EQ(Publish(dir_ / "rel", dir_ / "srv", "5").exitCode, 0);  // same serial again is fine
    EXPECT_EQ(Publish(dir_ / "empty", dir_ / "srv", "3", {"--force"}).exitCode, 0);
    EXPECT_EQ(ReadFileText(dir_ / "srv/manifest.txt"), "serial 3\n");
    EXPECT_FALSE(access((dir_ / "srv/files/game.exe").c_str(), F_OK) == 0);  // replaced as a whole
    EXPECT_EQ(Listing(dir_.Path()), (std::vector<std::string>{"empty", "rel", "srv", "srv.lock", "srv.publish-record"}));

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
    TempDir linked;
    WriteFileText(linked / "real.txt", "x");
    ASSERT_EQ(symlink("/etc/passwd", (linked / "link.txt").c_str()), 0);
    CommandResult link = Publish(linked.Path(), dir_ / "srv", "1");
    EXPECT_NE(link.err.find("symbolic link in the release"), std::string::npos) << link.err;
    EXPECT_EQ(Listing(dir_ / "srv"), std::vector<std::string>{});  // nothing written anywhere
    EXPECT_EQ(Listing(dir_.Path()), std::vector<std::string>{"srv"});
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
    ASSERT_EQ(Publish(dir_ / "rel", dir_ / "srv", "3").exitCode, 0);
    const std::string good = dir_ / "good";
    ASSERT_EQ(RunCommand({"cp", "-a", dir_ / "srv", good}).exitCode, 0);
    struct Damage {
        std::string file;
        size_t offset;
        const char* report;
    };
    const Damage damages[] = {
        {"files/data/Maps/Erste Karte.pak", 69999, "digest differs: data/Maps/Erste Karte.pak"},
        {"files/game.exe", 0, "digest differs: game.exe"},
        {"manifest.txt", 7, "not a valid signature"},
        {"manifest.txt", 30, "not a valid signature"},
        {"manifest.sig", 255, "not a valid signature"},
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

    MakeOpensslKey(dir_ / "other.pem", 2048);
    CommandResult otherKey = RunTool({"verify", "--key", dir_ / "other.pem.pub.pem", good});
    EXPECT_EQ(otherKey.exitCode, 1);
    EXPECT_NE(otherKey.out.find("not a valid signature"), std::string::npos) << otherKey.out;
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

TEST_F(PublishTool, CommandLineMistakesGiveUsageErrors) {
    EXPECT_EQ(RunTool({"--help"}).exitCode, 0);
    EXPECT_NE(RunTool({"--help"}).out.find("publish (--key PRIVATE.pem | --sign-command CMD"), std::string::npos);
    EXPECT_EQ(RunTool({}).exitCode, 2);
    EXPECT_EQ(RunTool({"frobnicate"}).exitCode, 2);
    EXPECT_EQ(RunTool({"publish", "--key"}).exitCode, 2);
    EXPECT_EQ(RunTool({"publish", "--serial", "1", "a", "b"}).exitCode, 2);
    EXPECT_EQ(RunTool({"serve", "--port", "70000", dir_.Path()}).exitCode, 2);
    EXPECT_EQ(RunTool({"verify", "--key", PublicKey(), "--bogus", dir_.Path()}).exitCode, 2);
}

}  // namespace
