// The verify command: a server folder or base URL checked as a player gets it.
#include "check/check_commands.h"

#include "check/verify.h"
#include "check/verify_wait.h"
#include "core/cli_args.h"
#include "core/output.h"

#include <cstdio>
#include <string>
#include <vector>

// "serial 42, 3 files, 1024 bytes" (VerifyServer's summary) as result fields.
void SummaryFields(const std::string& summary) {
    const char* names[3] = {"serial", "files", "bytes"};
    size_t at = 0;
    for (const char* name : names) {
        at = summary.find_first_of("0123456789", at);
        size_t end = summary.find_first_not_of("0123456789", at);
        uint64_t value = 0;
        if (at == std::string::npos || !ParseSerialArgument(summary.substr(at, end - at), value)) return;
        ResultNumber(name, value);
        at = end;
    }
}

int RunVerify(const Args& args) {
    std::string key = Option(args, "--key", "");
    if (key.empty() || args.positionals.size() != 1)
        return Usage("verify needs --key and one SERVER_DIR or base URL");
    VerifyWait wait;
    std::string serial = Option(args, "--expect-serial", "");
    wait.expectSerial = !serial.empty();
    if ((wait.expectSerial && !ParseSerialArgument(serial, wait.serial)) ||
        !ParseSerialArgument(Option(args, "--wait", "0"), wait.seconds) || wait.seconds > 86400 ||
        !ParseSerialArgument(Option(args, "--timeout", "600"), wait.transferSeconds) || wait.transferSeconds < 1 ||
        wait.transferSeconds > 86400)
        return Usage("--expect-serial must be a decimal number, --wait 0 to 86400 seconds, --timeout 1 to 86400");
    std::vector<std::string> problems;
    std::string summary;
    bool ok = VerifyUntil(key, args.positionals[0], wait, problems, summary);
    ResultText("target", args.positionals[0]);
    SummaryFields(summary);
    for (const std::string& problem : problems) {
        std::fprintf(HumanOut(), "%s\n", problem.c_str());
        ListProblem(problem, "");
    }
    if (!ok) {
        std::fprintf(HumanOut(), "FAILED: %zu problem(s)%s%s\n", problems.size(), summary.empty() ? "" : " in ",
                     summary.c_str());
        return 1;
    }
    std::fprintf(HumanOut(), "OK: %s\n", summary.c_str());
    return 0;
}
