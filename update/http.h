// HttpGet: one plain HTTP GET through WinINet into memory and/or an open file.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

// Limits the update run passes for bodies collected in memory.
constexpr uint64_t kManifestLimit = 64ull << 20;
constexpr uint64_t kSignatureLimit = 64ull << 10;
constexpr uint64_t kNoLimit = UINT64_MAX;

// Fetches url (sent unchanged). Appends the body to *body and/or writes it to file (a HANDLE),
// publishing progressPermille per 64 KiB chunk when totalBytes is not 0. A body longer than
// maxBytes fails as soon as the excess arrives, with *exceededLimit set. On false, error holds
// the German message; on true, error is untouched and *receivedBytes holds the byte count.
bool HttpGet(const std::string& url, std::vector<uint8_t>* body, void* file,
             uint64_t* receivedBytes, uint64_t doneBytes, uint64_t totalBytes,
             std::string& error, uint64_t maxBytes = kNoLimit, bool* exceededLimit = nullptr);

// Percent-encodes a manifest path for a URL; letters, digits and "-_.~/" stay as they are.
std::string UrlEncodePath(const std::string& path);

// The progress formula: (done + received) * 1000 / total, unsigned 64-bit, truncated.
int32_t ProgressPermille(uint64_t doneBytes, uint64_t receivedBytes, uint64_t totalBytes);
