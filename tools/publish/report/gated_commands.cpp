// widen and promote, the commands the health gate guards: with --health, the stage grows only while it is healthy.
#include "report/gated_commands.h"

#include "core/cli_args.h"
#include "core/output.h"
#include "release/history.h"
#include "release/release_commands.h"
#include "report/health_gate.h"
#include "stage/stage.h"
#include "stage/stage_commands.h"

#include <cstdio>
#include <string>

int RunWiden(const Args& args) {
    int share = 0;
    if (!ParseShare(args, share) || args.positionals.size() != 1)
        return Usage("widen needs --share P (1 to 100) and SERVER_DIR");
    JudgedStage judged;
    if (int code = StageHealthGate(args, args.positionals[0], judged)) return code;
    std::string note, error;
    bool changed = false;
    if (!WidenStage(args.positionals[0], share, note, error, judged.judged ? &judged : nullptr, &changed)) {
        if (!changed) return Fail(error);
        ReportProblem(error, kStageChangedCode);
        return 1;
    }
    std::fprintf(HumanOut(), "%s\n", note.c_str());
    SiteFields(args.positionals[0]);
    return 0;
}

int RunPromote(const Args& args) {
    unsigned keep = kDefaultKeep;
    if (args.positionals.size() != 1 || !ParseKeep(args, keep))
        return Usage("promote needs SERVER_DIR (and --keep 0 to 100000)");
    JudgedStage judged;
    if (int code = StageHealthGate(args, args.positionals[0], judged)) return code;
    std::string note, error;
    bool changed = false;
    if (!PromoteStage(args.positionals[0], keep, note, error, judged.judged ? &judged : nullptr, &changed)) {
        if (!changed) return Fail(error);
        ReportProblem(error, kStageChangedCode);
        return 1;
    }
    std::fprintf(HumanOut(), "%s\n", note.c_str());
    SiteFields(args.positionals[0]);
    return 0;
}
