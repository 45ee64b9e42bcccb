// SHA-256 of a local file, streamed in 1 MiB chunks through CNG.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

// False only when the file cannot be opened (hex and size untouched then).
bool HashFile(const std::wstring& path, std::string& hex, uint64_t& size);

// Lower-case hex, high nibble first.
std::string HexEncode(const uint8_t* bytes, size_t length);
