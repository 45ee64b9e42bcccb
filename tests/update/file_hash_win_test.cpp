// HashFile against known SHA-256 values, chunk boundaries, and files it cannot or must open.
#include <windows.h>

#include <gtest/gtest.h>

#include "update/file_hash.h"
#include "win_test_support.h"

namespace {
const char kEmptyDigest[] = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
const char kAbcDigest[] = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
// sha256sum of 1048576 zero bytes.
const char kOneMiBZerosDigest[] = "30e14955ebf1352266dc2ff8067e68104607e750abb9d3b36582b8af909fcb58";
}  // namespace

TEST(HashFile, GivesTheStandardDigestAndSizeOfSmallFiles) {
    ScratchDir dir;
    ASSERT_TRUE(WriteWholeFile(dir / L"empty.bin", ""));
    ASSERT_TRUE(WriteWholeFile(dir / L"abc.txt", "abc"));
    std::string hex;
    uint64_t size = 99;
    ASSERT_TRUE(HashFile(dir / L"empty.bin", hex, size));
    EXPECT_EQ(hex, kEmptyDigest);
    EXPECT_EQ(size, 0u);
    ASSERT_TRUE(HashFile(dir / L"abc.txt", hex, size));
    EXPECT_EQ(hex, kAbcDigest);
    EXPECT_EQ(size, 3u);
}

TEST(HashFile, HandlesExactlyOneFullChunk) {
    ScratchDir dir;
    ASSERT_TRUE(WriteWholeFile(dir / L"mib.bin", std::string(1048576, '\0')));
    std::string hex;
    uint64_t size = 0;
    ASSERT_TRUE(HashFile(dir / L"mib.bin", hex, size));
    EXPECT_EQ(hex, kOneMiBZerosDigest);
    EXPECT_EQ(size, 1048576u);
}

// The fixture and its digest are made at build time on the host by sha256sum, independently of
// CNG.
TEST(HashFile, MatchesSha256sumOnAThreeMiBPattern) {
    std::string expected;
    ASSERT_TRUE(ReadWholeFile(BuildTreePath("fixtures/hash/pattern-3mib.sha256"), expected));
    expected = expected.substr(0, 64);
    std::string hex;
    uint64_t size = 0;
    ASSERT_TRUE(HashFile(BuildTreePath("fixtures/hash/pattern-3mib.bin"), hex, size));
    EXPECT_EQ(hex, expected);
    EXPECT_EQ(size, 3u * 1048576u);
}

// Only a file beyond one chunk is spared by its size; an equal size, or a small file, is hashed.
TEST(HashFile, ReadsALargeFileOfAnotherSizeNoFurtherThanItsFirstChunk) {
    const std::wstring pattern = BuildTreePath("fixtures/hash/pattern-3mib.bin");
    std::string expected;
    ASSERT_TRUE(ReadWholeFile(BuildTreePath("fixtures/hash/pattern-3mib.sha256"), expected));
    struct Row {
        const char* name;
        std::wstring path;
        uint64_t onlyOfSize;
        std::string hex;
        uint64_t size;
    } rows[] = {
        {"another size", pattern, 3u * 1048576u + 1, "", 3u * 1048576u},
        {"the same size", pattern, 3u * 1048576u, expected.substr(0, 64), 3u * 1048576u},
        {"a small file of another size", BuildTreePath("fixtures/hash/pattern-3mib.sha256"), 5,
         "", 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::string hex;
        uint64_t size = 0;
        ASSERT_TRUE(HashFile(row.path, hex, size, row.onlyOfSize));
        if (row.size == 0) {
            EXPECT_EQ(hex.size(), 64u);  // hashed to its end
        } else {
            EXPECT_EQ(hex, row.hex);
            EXPECT_EQ(size, row.size);
        }
    }
}

TEST(HashFile, RefusesMissingFilesDirectoriesDevicesAndExclusiveLocksLeavingOutputsAlone) {
    ScratchDir dir;
    ASSERT_TRUE(CreateDirectoryW((dir / L"sub").c_str(), nullptr));
    ASSERT_TRUE(WriteWholeFile(dir / L"locked.bin", "data"));
    HANDLE lock = CreateFileW((dir / L"locked.bin").c_str(), GENERIC_READ, 0, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(lock, INVALID_HANDLE_VALUE);

    std::string hex = "untouched";
    uint64_t size = 42;
    EXPECT_FALSE(HashFile(dir / L"missing.bin", hex, size));
    EXPECT_FALSE(HashFile(dir / L"sub", hex, size));
    EXPECT_FALSE(HashFile(dir / L"locked.bin", hex, size));
    EXPECT_FALSE(HashFile(dir / L"NUL", hex, size)) << "a device, not a disk file";
    EXPECT_EQ(hex, "untouched");
    EXPECT_EQ(size, 42u);
    CloseHandle(lock);
}

TEST(HashFile, ReadsAFileThatAnotherWriterHoldsOpenWithSharedReading) {
    ScratchDir dir;
    ASSERT_TRUE(WriteWholeFile(dir / L"game.dat", "abc"));
    HANDLE game = CreateFileW((dir / L"game.dat").c_str(), GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                              nullptr);
    ASSERT_NE(game, INVALID_HANDLE_VALUE);
    std::string hex;
    uint64_t size = 0;
    EXPECT_TRUE(HashFile(dir / L"game.dat", hex, size));
    EXPECT_EQ(hex, kAbcDigest);
    CloseHandle(game);
}
