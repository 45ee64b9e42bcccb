// Checking a published server tree, on disk or over HTTP, the way the updater would see it.
#pragma once
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

// How long fetches over HTTP may take: each transfer (connecting included) at most
// transferSeconds, and none past deadline (the end of a whole wait; the far future without one).
struct FetchLimits {
    uint64_t transferSeconds = 600;
    std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::time_point::max();
};

// Checks the signature, the manifest and every listed file of target (a server folder or an
// http:// base URL) against the public key, cutting each body at the updater's limit (the
// manifest at 64 MiB, the signature at 64 KiB, a file at its listed size). Each problem becomes
// one line in problems; true only when there are none. summary gets a one-line account of what
// was checked.
bool VerifyServer(const std::string& keyPath, const std::string& target, const FetchLimits& limits,
                  std::vector<std::string>& problems, std::string& summary);

// Fetches manifest.txt of target (a server folder or base URL) within the updater's size limit
// and limits' time.
bool FetchManifest(const std::string& target, const FetchLimits& limits, std::vector<uint8_t>& manifest,
                   std::string& error);
