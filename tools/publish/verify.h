// Checking a published server tree, on disk or over HTTP, the way the updater would see it.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

// Checks the signature, the manifest and every listed file of target (a server folder or an
// http:// base URL) against the public key. Each problem becomes one line in problems; true
// only when there are none. summary gets a one-line account of what was checked.
bool VerifyServer(const std::string& keyPath, const std::string& target,
                  std::vector<std::string>& problems, std::string& summary);

// Fetches manifest.txt of target (a server folder or base URL) within the updater's size limit.
bool FetchManifest(const std::string& target, std::vector<uint8_t>& manifest, std::string& error);
