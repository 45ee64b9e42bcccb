// Refuses to widen or promote a stage whose runs fail more often than the live release's.
#include "report/health_gate.h"

#include "core/output.h"
#include "release/publish.h"
#include "report/report_build.h"
#include "report/report_writers.h"

#include <cstdio>

int StageHealthGate(const Args& args, const std::string& serverDir, JudgedStage& judged) {
    judged = JudgedStage();
    judged.judged = !Options(args, "--health").empty();
    std::vector<std::string> logs = Options(args, "--health");
    std::string maxText = Option(args, "--max-failed", ""), minText = Option(args, "--min-runs", "");
    auto usage = [](const std::string& message) {
        ReportProblem(message, "usage");
        return 2;
    };
    if (logs.empty()) {
        if (!maxText.empty() || !minText.empty() || HasFlag(args, "--allow-few-runs"))
            return usage("--max-failed, --min-runs and --allow-few-runs need --health LOG");
        return 0;
    }
    uint64_t maxFailed = kDefaultMaxFailedPoints, minRuns = kDefaultMinRuns;
    if ((!maxText.empty() && (!ParseSerialArgument(maxText, maxFailed) || maxFailed > 100)) ||
        (!minText.empty() && (!ParseSerialArgument(minText, minRuns) || minRuns > 1000000000)))
        return usage("--max-failed takes whole percentage points 0 to 100, --min-runs a number of runs");
    ReportInput input;
    input.serverDir = serverDir;
    input.logs = logs;
    ReleaseIndex index;
    Figures figures;
    std::string error;
    if (!LoadReleaseIndex(serverDir, index, error)) {
        ReportProblem(error);
        return 1;
    }
    if (index.stageIndex < 0) return 0;  // the command itself says that no stage is open
    // Only runs since the stage opened count, for both sides.
    input.sinceMs = index.releases[static_cast<size_t>(index.stageIndex)].madeMs;
    if (!BuildReport(input, index, figures, error)) {
        ReportProblem(error);
        return 1;
    }
    const IndexedRelease& judgedRelease = index.releases[static_cast<size_t>(index.stageIndex)];
    judged.serial = judgedRelease.serial;
    judged.digest = judgedRelease.digest;
    const ReleaseFigures& stage = figures.releases[static_cast<size_t>(index.stageIndex)];
    ReleaseFigures none;
    const ReleaseFigures& live = index.liveIndex >= 0 ? figures.releases[static_cast<size_t>(index.liveIndex)] : none;
    double stagePct = FailedPercent(stage), livePct = FailedPercent(live);
    uint64_t stageSerial = index.releases[static_cast<size_t>(index.stageIndex)].serial;
    ResultJson(
        "health",
        "{\"stage_serial\":" + std::to_string(stageSerial) + ",\"stage_runs\":" + std::to_string(stage.UpdateRuns()) +
            ",\"stage_failed\":" + std::to_string(stage.Failed()) + ",\"stage_failed_percent\":" +
            PercentText(stagePct) + ",\"live_runs\":" + std::to_string(live.UpdateRuns()) +
            ",\"live_failed\":" + std::to_string(live.Failed()) + ",\"live_failed_percent\":" + PercentText(livePct) +
            ",\"max_failed_points\":" + std::to_string(maxFailed) + ",\"min_runs\":" + std::to_string(minRuns) + "}");
    std::string figuresText = "the stage (serial " + std::to_string(stageSerial) + ") failed " +
                              std::to_string(stage.Failed()) + " of " + std::to_string(stage.UpdateRuns()) + " runs (" +
                              PercentText(stagePct) + " %) since it opened, the live release " +
                              std::to_string(live.Failed()) + " of " + std::to_string(live.UpdateRuns()) + " (" +
                              PercentText(livePct) + " %)";
    if (figures.read.unreadable > 0 || figures.read.gzipCut > 0) {
        std::string unread;
        for (const std::string& note : figures.notes)
            if (note.find("once") == std::string::npos) unread += (unread.empty() ? "" : "; ") + note;
        for (const std::string& note : figures.notes) std::fprintf(stderr, "quillor-publish: %s\n", note.c_str());
        ReportProblem("the stage's health cannot be judged: a log could not be read wholly (" + unread +
                          "); of what could be read, " + figuresText + "; nothing was changed",
                      "health-unreadable");
        return 1;
    }
    if (stagePct - livePct > static_cast<double>(maxFailed)) {
        ReportProblem("the stage is unhealthy: " + figuresText + ", more than " + std::to_string(maxFailed) +
                          " points above (--max-failed); nothing was changed",
                      "stage-unhealthy");
        return 1;
    }
    if (stage.UpdateRuns() < minRuns && !HasFlag(args, "--allow-few-runs")) {
        ReportProblem("too few runs to judge the stage: " + figuresText + "; --min-runs asks for " +
                          std::to_string(minRuns) + " (--allow-few-runs goes on); nothing was changed",
                      "stage-too-few-runs");
        return 1;
    }
    std::fprintf(HumanOut(), "health: %s\n", figuresText.c_str());
    return 0;
}
