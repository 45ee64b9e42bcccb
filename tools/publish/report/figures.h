// What the report counts: per release, per failing path, bytes, the adoption curve and the lines read.
#pragma once
#include "report/log_reader.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

constexpr int kAdoptionBins = 48;
constexpr size_t kAddressSamples = 10;  // addresses kept per failing path, shown only with --addresses

struct PathCount {
    uint64_t runs = 0;
    std::vector<std::string> addresses;  // a sample, filled only when addresses are kept
};

struct ReleaseFigures {
    uint64_t addresses = 0;  // distinct addresses offered it
    uint64_t complete = 0, incomplete = 0, refused = 0, upToDate = 0;
    std::map<std::string, PathCount> stoppedAt;    // "data/a.pak", "manifest.txt", "manifest.sig"
    std::map<std::string, uint64_t> notFound;      // listed paths answered 404
    std::map<std::string, uint64_t> serverErrors;  // listed paths answered 5xx
    uint64_t Runs() const { return complete + incomplete + refused + upToDate; }
    // Runs that had something to do: the denominator of the failed share.
    uint64_t UpdateRuns() const { return complete + incomplete + refused; }
    uint64_t Failed() const { return incomplete + refused; }
};

struct Figures {
    LogReadCounts read;
    uint64_t notJson = 0;          // lines that are no JSON object of the access log's form
    uint64_t outsideWindow = 0;    // before --since or after --until
    uint64_t otherAgents = 0;      // not the updater's user agent, or not GET
    uint64_t outsideRuns = 0;      // updater requests before any manifest of that address
    uint64_t unknownSerial = 0;    // manifest answers whose validator names no kept tree
    uint64_t viaEdgeAtOrigin = 0;  // origin lines of requests an edge made (its own log counts them)
    uint64_t redirected = 0;       // listed files sent to a mirror: taken as fetched, the mirror's log unread
    uint64_t edgeBytes = 0, originBytesToPlayers = 0, originBytesToEdges = 0;
    int64_t firstMs = 0, lastMs = 0;
    std::vector<ReleaseFigures> releases;  // by release index
    uint64_t addresses = 0;                // distinct updater addresses with a manifest answer
    // The stage's measured share: addresses whose latest manifest answer since the stage opened
    // came from the stage, of all addresses answered since then.
    uint64_t shareAddresses = 0, shareOnStage = 0;
    // Addresses known to hold each release, at the end of each bin.
    int64_t adoptionStartMs = 0, adoptionBinMs = 100;  // doubles until the log's span fits
    int adoptionBins = 0;                              // bins in use
    std::vector<std::vector<int64_t>> adoption;        // [bin][release]
    std::vector<std::string> notes;                    // what could not be read
    uint64_t peakAddressBytes = 0;                     // the players' records at the end, for the bench
};
