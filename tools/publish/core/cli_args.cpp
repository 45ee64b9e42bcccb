// The command line's grammar: each command's options, "--name value" splitting, nearest names.
#include "core/cli_args.h"

#include <algorithm>

namespace {

bool Listed(const std::vector<std::string>& names, const std::string& name) {
    return std::find(names.begin(), names.end(), name) != names.end();
}

// Characters to insert or delete to turn a into b (a substitution counts as two).
size_t IndelDistance(const std::string& a, const std::string& b) {
    std::vector<size_t> row(b.size() + 1, 0), next(b.size() + 1, 0);  // longest common subsequence
    for (size_t i = 1; i <= a.size(); ++i) {
        for (size_t j = 1; j <= b.size(); ++j)
            next[j] = a[i - 1] == b[j - 1] ? row[j - 1] + 1 : std::max(row[j], next[j - 1]);
        row.swap(next);
    }
    return a.size() + b.size() - 2 * row[b.size()];
}

size_t CommonStart(const std::string& a, const std::string& b) {
    size_t n = 0;
    while (n < a.size() && n < b.size() && a[n] == b[n]) ++n;
    return n;
}

}  // namespace

std::string NearestName(const std::string& given, const std::vector<std::string>& candidates) {
    for (const std::string& candidate : candidates)  // an abbreviation names what it starts
        if (candidate.size() > given.size() && CommonStart(given, candidate) == given.size()) return candidate;
    std::string best;
    size_t bestDistance = 0, bestStart = 0;
    for (const std::string& candidate : candidates) {
        size_t distance = IndelDistance(given, candidate), start = CommonStart(given, candidate);
        if (best.empty() || distance < bestDistance || (distance == bestDistance && start > bestStart)) {
            best = candidate;
            bestDistance = distance;
            bestStart = start;
        }
    }
    return best;
}

bool SplitArgs(const std::vector<std::string>& args, const CommandOptions& accepted, Args& out, std::string& error) {
    bool optionsDone = false;
    std::vector<std::string> seen;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (optionsDone || arg.size() < 2 || arg.compare(0, 2, "--") != 0) {
            out.positionals.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsDone = true;
            continue;
        }
        bool isSwitch = Listed(accepted.switches, arg) || arg == "--help" || arg == "--json";
        if (!isSwitch && !Listed(accepted.valued, arg)) {
            std::vector<std::string> all = accepted.valued;
            all.insert(all.end(), accepted.switches.begin(), accepted.switches.end());
            all.insert(all.end(), {"--help", "--json"});
            error = "unknown option " + arg + "; did you mean " + NearestName(arg, all) + "?";
            return false;
        }
        if (Listed(seen, arg) && !Listed(accepted.repeating, arg)) {
            error = arg + " is given twice; give it once";
            return false;
        }
        seen.push_back(arg);
        if (isSwitch) {
            out.flags.push_back(arg);
            continue;
        }
        if (i + 1 >= args.size()) {
            error = arg + " needs a value";
            return false;
        }
        if (args[i + 1].empty()) {
            error = arg + " needs a value, not an empty one";
            return false;
        }
        out.options.emplace_back(arg, args[++i]);
    }
    return true;
}

bool HasFlag(const Args& args, const std::string& flag) { return Listed(args.flags, flag); }

std::string Option(const Args& args, const std::string& name, const std::string& fallback) {
    for (const auto& option : args.options)
        if (option.first == name) return option.second;
    return fallback;
}

std::vector<std::string> Options(const Args& args, const std::string& name) {
    std::vector<std::string> values;
    for (const auto& option : args.options)
        if (option.first == name) values.push_back(option.second);
    return values;
}

bool ParseSerialArgument(const std::string& text, uint64_t& serial) {
    if (text.empty() || text.size() > 20) return false;
    uint64_t value = 0;
    for (char ch : text) {
        if (ch < '0' || ch > '9') return false;
        uint64_t digit = static_cast<uint64_t>(ch - '0');
        if (value > (UINT64_MAX - digit) / 10) return false;
        value = value * 10 + digit;
    }
    serial = value;
    return true;
}
