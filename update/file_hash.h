// SHA-256 of a local file, streamed in 1 MiB chunks through CNG.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

// False when the file cannot be opened or the system hashing service fails (hex and size are
// untouched then); a read error part-way gives true with the digest and count so far.
// onlyOfSize: a file of more than one 1 MiB chunk whose size is another is not read to its end:
// true with hex empty and its size.
constexpr uint64_t kAnySize = UINT64_MAX;
bool HashFile(const std::wstring& path, std::string& hex, uint64_t& size, uint64_t onlyOfSize = kAnySize);

// Lower-case hex, high nibble first.
std::string HexEncode(const uint8_t* bytes, size_t length);
