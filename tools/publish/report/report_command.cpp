// Reads the command line of report, builds the figures once and writes the forms asked for.
#include "report/report_command.h"

#include "core/fs_util.h"
#include "core/output.h"
#include "report/report_build.h"
#include "report/report_writers.h"

#include <cstdio>
#include <sys/stat.h>

namespace {

int UsageError(const std::string& message) {
    ReportProblem(message, "usage");
    std::fprintf(stderr, "(see quillor-publish help report)\n");
    return 2;
}

}  // namespace

int RunReport(const Args& args) {
    if (args.positionals.size() < 2) return UsageError("report needs SERVER_DIR and at least one LOG");
    ReportInput input;
    input.serverDir = args.positionals[0];
    input.logs.assign(args.positionals.begin() + 1, args.positionals.end());
    input.keepAddresses = HasFlag(args, "--addresses");
    std::string since = Option(args, "--since", ""), until = Option(args, "--until", ""),
                html = Option(args, "--html", "");
    if ((!since.empty() && !ParseReportTime(since, input.sinceMs)) ||
        (!until.empty() && !ParseReportTime(until, input.untilMs)))
        return UsageError(
            "--since and --until take seconds since 1970 or a UTC time: 2026-12-09, 2026-12-09T14:30Z, "
            "2026-12-09T14:30:00Z");
    // --until T counts up to T, not T itself: "--until T" and "--since T" meet without overlap.
    if (!since.empty() && !until.empty() && input.sinceMs >= input.untilMs)
        return UsageError("--since " + since + " is not before --until " + until + ": the window would be empty");
    if (!IsDirectory(input.serverDir)) {
        ReportProblem("no such server folder: " + input.serverDir);
        return 1;
    }
    // The page never replaces one of the logs it is made from (the same file by device and inode).
    struct stat page;
    if (!html.empty() && stat(html.c_str(), &page) == 0) {
        for (const std::string& log : input.logs) {
            struct stat st;
            if (stat(log.c_str(), &st) == 0 && st.st_dev == page.st_dev && st.st_ino == page.st_ino)
                return UsageError("--html " + html + " is the log " + log + ": the page would replace it; "
                                  "name another file");
        }
    }
    ReleaseIndex index;
    Figures figures;
    std::string error;
    if (!BuildReport(input, index, figures, error)) {
        ReportProblem(error);
        return 1;
    }
    if (!html.empty()) {
        std::string page = ReportHtml(input.serverDir, index, figures, input.keepAddresses);
        if (!WriteFileAtomic(html, page.data(), page.size(), 0644, false, error)) {
            ReportProblem(error);
            return 1;
        }
        ResultText("html", html);
    }
    // Trouble with a log is a figure of the report, not a failure of the command: what could be
    // read is reported.
    ResultAppend("notes", "");
    for (const std::string& note : figures.notes) {
        ResultAppend("notes", JsonString(note));
        std::fprintf(stderr, "quillor-publish: %s\n", note.c_str());
    }
    if (JsonOutput())
        ResultJson("report", ReportJson(index, figures, input.keepAddresses));
    else
        std::fputs(ReportText(input.serverDir, index, figures).c_str(), stdout);
    return 0;
}
