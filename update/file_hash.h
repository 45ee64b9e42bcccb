// SHA-256 of a local file, streamed in 1 MiB chunks through CNG.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

// False when the file cannot be opened or the system hashing service fails (hex and size are
// untouched then); a read error part-way gives true with the digest and count so far.
bool HashFile(const std::wstring& path, std::string& hex, uint64_t& size);

// Lower-case hex, high nibble first.
std::string HexEncode(const uint8_t* bytes, size_t length);
