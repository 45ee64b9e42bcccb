// The command line's grammar: each command's options, "--name value" splitting, nearest names.
#pragma once
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// What one command accepts. Every option may be given once unless it is listed in repeating.
struct CommandOptions {
    std::vector<std::string> valued;     // "--name VALUE"
    std::vector<std::string> switches;   // "--name"
    std::vector<std::string> repeating;  // valued options that may be given more than once
};

struct Args {
    std::vector<std::pair<std::string, std::string>> options;
    std::vector<std::string> flags;
    std::vector<std::string> positionals;
};

// Splits args into options, switches and positionals ("--" ends the options). False with a usage
// message for an unknown option (naming the nearest one), a missing or empty value, or an
// option given twice that does not repeat. --help and --json are switches of every command.
bool SplitArgs(const std::vector<std::string>& args, const CommandOptions& accepted, Args& out, std::string& error);

bool HasFlag(const Args& args, const std::string& flag);
// The value of a valued option, fallback when it was not given.
std::string Option(const Args& args, const std::string& name, const std::string& fallback);
// Every value of a repeating option, in order.
std::vector<std::string> Options(const Args& args, const std::string& name);

// The candidate nearest to given: the first that starts with it, else the one with the fewest
// characters inserted or deleted, then the longest common start, then the first listed. "" when
// there are no candidates.
std::string NearestName(const std::string& given, const std::vector<std::string>& candidates);

// Strict command-line number: decimal digits only, no sign, no blanks, at most 2^64 - 1.
bool ParseSerialArgument(const std::string& text, uint64_t& serial);
