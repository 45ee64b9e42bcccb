// Stable codes for the publisher's messages, so that a pipeline reading --json need not parse prose.
#pragma once
#include <string>
#include <vector>

// A message that holds needle gets code (in any command when command is empty).
struct ProblemRule {
    const char* command;
    const char* needle;
    const char* code;
};

// The rules in the order they are tried; the first match wins.
const std::vector<ProblemRule>& ProblemRules();
// Each command's code for a message no rule matches: "COMMAND-failed".
std::string FallbackProblemCode(const std::string& command);
std::string ProblemCodeFor(const std::string& command, const std::string& message);
