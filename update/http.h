// HttpGet: one plain HTTP GET through WinINet into memory and/or an open file.
#pragma once
#include <cstdint>
#include <functional>
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
             std::string& error, uint64_t maxBytes = kNoLimit, bool* exceededLimit = nullptr,
             uint32_t* statusCode = nullptr);

// Takes the next bytes of a range as they arrive; false (with an English reason) refuses them.
using RangeConsumer = std::function<bool(const uint8_t* data, size_t size, std::string& reason)>;

enum class RangeOutcome {
    Complete,  // every byte of the range was taken
    WholeBody, // the server ignored Range (200), and its whole body of bodySize bytes was taken
    Anomaly,   // the answer was not that range (reason, in English), or the consumer refused it
    Cut,       // the transfer failed as a whole-file download would (error, in German)
};

// One GET of bytes first..last of url ("Range: bytes=first-last"), which must come back as 206
// with exactly that Content-Range over bodySize bytes; both headers are read as strings. When
// wholeBody is given, a 200 (the whole body, which a server ignoring Range sends) is read into it
// instead of thrown away, with reason set: WholeBody when exactly bodySize bytes came, Anomaly
// when more came or wholeBody refused them, Cut when the transfer broke off.
RangeOutcome HttpGetRange(const std::string& url, uint64_t first, uint64_t last, uint64_t bodySize,
                          const RangeConsumer& consume, std::string& reason, std::string& error,
                          const RangeConsumer* wholeBody = nullptr);

// Percent-encodes a manifest path for a URL; letters, digits and "-_.~/" stay as they are.
std::string UrlEncodePath(const std::string& path);

// The progress formula: (done + received) * 1000 / total, unsigned 64-bit, truncated.
int32_t ProgressPermille(uint64_t doneBytes, uint64_t receivedBytes, uint64_t totalBytes);
