// The commands that change which tree a player gets (publish, stage, widen, promote, revert) and status.
#include "stage/stage_commands.h"

#include "core/cli_args.h"
#include "core/output.h"
#include "release/history.h"
#include "release/publish.h"
#include "release/release_commands.h"
#include "stage/cohort.h"
#include "stage/stage.h"
#include "tree/tree_swap.h"

#include <cstdio>
#include <string>
#include <vector>

void SiteFields(const std::string& serverDir) {
    SiteState site;
    std::string error;
    if (!ReadSite(serverDir, site, error)) return;
    ResultJson("live_serial", site.livePresent ? std::to_string(site.liveSerial) : "null");
    bool staged = site.open && site.statePresent;
    ResultJson("staged_serial", staged ? std::to_string(site.stageSerial) : "null");
    ResultJson("share", staged ? std::to_string(site.state.share) : "null");
    ResultJson("salt", staged ? std::to_string(site.state.salt) : "null");
}

bool ParseShare(const Args& args, int& share) {
    uint64_t value = 0;
    if (!ParseSerialArgument(Option(args, "--share", ""), value) || value < 1 || value > 100) return false;
    share = static_cast<int>(value);
    return true;
}

namespace {

// The status of the site as result fields; with an address, where that player goes.
void StatusFields(const std::string& serverDir, const std::string& address) {
    SiteState site;
    std::string error, shown;
    if (!ReadSite(serverDir, site, error)) return;
    SiteFields(serverDir);
    bool staged = site.open && site.statePresent;
    ResultJson("changed", staged ? std::to_string(site.state.changed) : "null");
    ResultJson("buckets_to_stage", site.linkedToStage < 0 ? "null" : std::to_string(site.linkedToStage));
    if (address.empty() || !AddressText(address, shown)) return;
    int bucket = BucketOfAddressText(shown);
    bool getsStage = staged && BucketStaged(site.state.order, site.state.share, bucket);
    ResultText("address", shown);
    ResultText("bucket", BucketName(bucket));
    ResultText("tree", getsStage ? "stage" : "live");
    ResultJson("joins_at_share",
               staged && !getsStage ? std::to_string(BucketPosition(site.state.order, bucket) + 1) : "null");
}

}  // namespace

int RunPublish(const Args& args) {
    PublishOptions options;
    std::string passphrase, note;
    if (int code = ReadPublishOptions(args, "publish", options, passphrase)) return code;
    std::vector<std::string> problems;
    PublishReport report;
    if (!PublishLive(options, problems, report, note)) return PublishFailed(problems, report, options.serverDir);
    PrintPublished(options, report, note);
    SiteFields(options.serverDir);
    return 0;
}

int RunStage(const Args& args) {
    PublishOptions options;
    std::string passphrase, note, salt = Option(args, "--salt", "");
    if (int code = ReadPublishOptions(args, "stage", options, passphrase)) return code;
    int share = 0;
    uint64_t saltValue = 0;
    if (!ParseShare(args, share)) return Usage("stage needs --share P, a whole per cent from 1 to 100");
    if (!salt.empty() && !ParseSerialArgument(salt, saltValue)) return Usage("--salt must be a decimal number");
    std::vector<std::string> problems;
    PublishReport report;
    if (!StageRelease(options, share, !salt.empty(), saltValue, problems, report, note)) {
        PrintProblems(problems);
        ResultBool("server_unchanged", true);
        std::fprintf(stderr, "quillor-publish: %s\n",
                     RecoveredThisRun() ? "nothing was staged; see above for the tree put back"
                                        : ("nothing was staged; the live tree " + options.serverDir + " is unchanged").c_str());
        return 1;
    }
    std::string serverDir = options.serverDir;
    options.serverDir = StageTreePathFor(serverDir);
    PrintPublished(options, report, note);
    SiteFields(serverDir);
    return 0;
}

int RunRevert(const Args& args) {
    PublishOptions options;
    std::string passphrase, note, share = Option(args, "--share", ""), salt = Option(args, "--salt", "");
    if (int code = ReadPublishOptions(args, "revert", options, passphrase, 1)) return code;
    int shareValue = 0;
    uint64_t saltValue = 0;
    options.revert = true;
    if (!ParseSerialArgument(Option(args, "--to", ""), options.revertSerial))
        return Usage("revert needs --to SERIAL, the kept release to publish again");
    if (!share.empty() && !ParseShare(args, shareValue)) return Usage("--share must be a whole per cent from 1 to 100");
    if (!salt.empty() && (share.empty() || !ParseSerialArgument(salt, saltValue)))
        return Usage("--salt needs --share and a decimal number");
    std::vector<std::string> problems;
    PublishReport report;
    bool ok = share.empty() ? PublishLive(options, problems, report, note)
                            : StageRelease(options, shareValue, !salt.empty(), saltValue, problems, report, note);
    if (!ok) return PublishFailed(problems, report, options.serverDir);
    const std::string serverDir = options.serverDir;
    if (!share.empty()) options.serverDir = StageTreePathFor(serverDir);
    note = "the kept release of serial " + std::to_string(options.revertSerial) + " again, no body read" +
           (report.again ? "; it was published with these contents already" : "") + (note.empty() ? "" : "\n" + note);
    PrintPublished(options, report, note);
    ResultNumber("reverted_to", options.revertSerial);
    ResultBool("again", report.again);
    SiteFields(serverDir);
    return 0;
}

int RunStatus(const Args& args) {
    if (args.positionals.size() != 1) return Usage("status needs SERVER_DIR");
    std::string text, error, address = Option(args, "--address", "");
    if (!DescribeSite(args.positionals[0], address, text, error)) return Fail(error);
    std::fputs(text.c_str(), HumanOut());
    StatusFields(args.positionals[0], address);
    return 0;
}
