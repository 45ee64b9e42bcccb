// The state file of a staged release, SERVER_DIR.stage-state: serial, share, salt, bucket order, time.
#include "stage/stage_state.h"

#include "core/cli_args.h"
#include "core/fs_util.h"
#include "release/publish.h"
#include "stage/cohort.h"

#include <set>
#include <sstream>

namespace {

const char kHeader[] = "quillor-publish stage 1";

}  // namespace

std::string StageStatePathFor(const std::string& serverDir) { return BesidePath(serverDir, ".stage-state"); }

std::string StageStateText(const StageState& state) {
    std::string text = std::string(kHeader) + "\nserial " + std::to_string(state.serial) + "\nshare " +
                       std::to_string(state.share) + "\nsalt " + std::to_string(state.salt) + "\nchanged " +
                       std::to_string(state.changed) + "\norder";
    for (int bucket : state.order) text += " " + std::to_string(bucket);
    return text + "\n";
}

// Sample:
//   quillor-publish stage 1
//   serial 43
//   share 25
//   salt 9114061327
//   changed 1733650000
//   order 17 3 88 ... (all 100 buckets, each once)
bool ParseStageState(const std::string& text, StageState& state, std::string& error) {
    std::istringstream lines(text);
    std::string line;
    const char* keys[] = {"serial ", "share ", "salt ", "changed ", "order "};
    std::vector<std::string> values;
    if (!std::getline(lines, line) || line != kHeader) {
        error = "not a stage state file (first line)";
        return false;
    }
    for (const char* key : keys) {
        std::string prefix = key;
        if (!std::getline(lines, line) || line.compare(0, prefix.size(), prefix) != 0) {
            error = "the line \"" + prefix + "...\" is missing";
            return false;
        }
        values.push_back(line.substr(prefix.size()));
    }
    uint64_t share = 0, changed = 0;
    if (!ParseSerialArgument(values[0], state.serial) || !ParseSerialArgument(values[1], share) || share < 1 || share > 100 ||
        !ParseSerialArgument(values[2], state.salt) || !ParseSerialArgument(values[3], changed) || changed > INT64_MAX) {
        error = "a number is malformed or out of range";
        return false;
    }
    state.share = static_cast<int>(share);
    state.changed = static_cast<int64_t>(changed);
    state.order.clear();
    std::istringstream order(values[4]);
    std::set<int> seen;
    for (std::string word; order >> word;) {
        uint64_t bucket = 0;
        if (!ParseSerialArgument(word, bucket) || bucket >= kBuckets || !seen.insert(static_cast<int>(bucket)).second) {
            error = "the bucket order is not a permutation of 0 to 99";
            return false;
        }
        state.order.push_back(static_cast<int>(bucket));
    }
    if (state.order.size() != kBuckets || std::getline(lines, line)) {
        error = state.order.size() != kBuckets ? "the bucket order does not name all 100 buckets"
                                               : "text after the order line";
        return false;
    }
    return true;
}

bool ReadStageState(const std::string& serverDir, bool& present, StageState& state, std::string& error) {
    std::string path = StageStatePathFor(serverDir);
    struct stat st;
    if (!LstatIfThere(path, present, st, error)) return false;
    if (!present) return true;
    std::vector<uint8_t> bytes;
    if (!ReadWholeFile(path, 64 * 1024, bytes, error)) return false;
    if (ParseStageState(std::string(bytes.begin(), bytes.end()), state, error)) return true;
    error = path + ": " + error;
    return false;
}

bool WriteStageState(const std::string& serverDir, const StageState& state, std::string& error) {
    std::string text = StageStateText(state);
    return WriteFileAtomic(StageStatePathFor(serverDir), text.data(), text.size(), 0644, false, error);
}
