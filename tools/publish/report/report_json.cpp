// Every figure of the report as one JSON object, in the names the man page lists.
#include "report/report_build.h"
#include "report/report_writers.h"

#include "core/output.h"

#include <algorithm>
#include <vector>

namespace {

std::string Field(const std::string& key, const std::string& json) {
    return JsonString(key) + ":" + json;
}
std::string Number(uint64_t value) {
    return std::to_string(value);
}

std::string PathCounts(const std::map<std::string, uint64_t>& counts) {
    std::string json;
    for (const auto& each : counts)
        json += (json.empty() ? "" : ",") + std::string("{") + Field("path", JsonString(each.first)) + "," +
                Field("answers", Number(each.second)) + "}";
    return "[" + json + "]";
}

// Ranked by runs, the most first (a tie in path order), as the text and the page rank them.
std::string Stops(const std::map<std::string, PathCount>& stops, bool showAddresses) {
    std::vector<std::pair<std::string, PathCount>> ranked(stops.begin(), stops.end());
    std::stable_sort(ranked.begin(), ranked.end(),
                     [](const auto& a, const auto& b) { return a.second.runs > b.second.runs; });
    std::string json;
    for (const auto& each : ranked) {
        json += (json.empty() ? "" : ",") + std::string("{") + Field("path", JsonString(each.first)) + "," +
                Field("runs", Number(each.second.runs));
        if (showAddresses) {
            std::string list;
            for (const std::string& address : each.second.addresses)
                list += (list.empty() ? "" : ",") + JsonString(address);
            json += "," + Field("addresses", "[" + list + "]");
        }
        json += "}";
    }
    return "[" + json + "]";
}

}  // namespace

std::string ReportJson(const ReleaseIndex& index, const Figures& figures, bool showAddresses) {
    std::string serials;
    for (size_t r = 0; r < figures.releases.size(); ++r) {
        const ReleaseFigures& release = figures.releases[r];
        std::string tree = static_cast<int>(r) == index.liveIndex    ? "live"
                           : static_cast<int>(r) == index.stageIndex ? "stage"
                                                                     : "kept";
        serials += (serials.empty() ? "" : ",") + std::string("{") + Field("serial", Number(index.releases[r].serial)) +
                   "," + Field("tree", JsonString(tree)) + "," + Field("addresses", Number(release.addresses)) + "," +
                   Field("runs", Number(release.Runs())) + "," + Field("complete", Number(release.complete)) + "," +
                   Field("incomplete", Number(release.incomplete)) + "," + Field("refused", Number(release.refused)) +
                   "," + Field("up_to_date", Number(release.upToDate)) + "," +
                   Field("failed_percent", PercentText(FailedPercent(release))) + "," +
                   Field("stopped_at", Stops(release.stoppedAt, showAddresses)) + "," +
                   Field("not_found", PathCounts(release.notFound)) + "," +
                   Field("server_errors", PathCounts(release.serverErrors)) + "}";
    }
    std::string stage = "null";
    if (index.stageIndex >= 0) {
        double share = figures.shareAddresses ? 100.0 * figures.shareOnStage / figures.shareAddresses : 0.0;
        stage = "{" + Field("serial", Number(index.releases[static_cast<size_t>(index.stageIndex)].serial)) + "," +
                Field("target_percent", std::to_string(index.stageShare)) + "," +
                Field("measured_percent", PercentText(share)) + "," +
                Field("addresses_since_open", Number(figures.shareAddresses)) + "," +
                Field("addresses_on_stage", Number(figures.shareOnStage)) + "," +
                Field("opened_ms", std::to_string(index.releases[static_cast<size_t>(index.stageIndex)].madeMs)) + "}";
    }
    std::string adoption, heads;
    for (size_t r = 0; r < index.releases.size(); ++r) heads += (r ? "," : "") + Number(index.releases[r].serial);
    for (const std::vector<int64_t>& bin : figures.adoption) {
        std::string row;
        for (int64_t count : bin) row += (row.empty() ? "" : ",") + std::to_string(count);
        adoption += (adoption.empty() ? "" : ",") + ("[" + row + "]");
    }
    std::string lines =
        "{" + Field("read", Number(figures.read.lines)) + "," + Field("not_json", Number(figures.notJson)) + "," +
        Field("truncated_last", Number(figures.read.truncatedLast)) + "," +
        Field("gzip_cut", Number(figures.read.gzipCut)) + "," + Field("unreadable", Number(figures.read.unreadable)) + "," +
        Field("duplicates", Number(figures.read.duplicates)) +
        "," + Field("outside_window", Number(figures.outsideWindow)) + "," +
        Field("not_updater", Number(figures.otherAgents)) + "," + Field("outside_runs", Number(figures.outsideRuns)) +
        "," + Field("unknown_serial", Number(figures.unknownSerial)) + "," +
        Field("origin_for_edges", Number(figures.viaEdgeAtOrigin)) + "," +
        Field("redirected", Number(figures.redirected)) + "}";
    return "{" +
           Field("live_serial",
                 index.liveIndex >= 0 ? Number(index.releases[static_cast<size_t>(index.liveIndex)].serial) : "null") +
           "," + Field("first_ms", std::to_string(figures.firstMs)) + "," +
           Field("last_ms", std::to_string(figures.lastMs)) + "," + Field("addresses", Number(figures.addresses)) +
           "," + Field("serials", "[" + serials + "]") + "," + Field("stage", stage) + "," +
           Field("bytes", "{" + Field("edge", Number(figures.edgeBytes)) + "," +
                              Field("origin_to_players", Number(figures.originBytesToPlayers)) + "," +
                              Field("origin_to_edges", Number(figures.originBytesToEdges)) + "}") +
           "," +
           Field("adoption", "{" + Field("start_ms", std::to_string(figures.adoptionStartMs)) + "," +
                                 Field("bin_ms", std::to_string(figures.adoptionBinMs)) + "," +
                                 Field("serials", "[" + heads + "]") + "," + Field("bins", "[" + adoption + "]") +
                                 "}") +
           "," + Field("lines", lines) + "}";
}
