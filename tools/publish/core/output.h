// What quillor-publish tells its user: human lines, or with --json one JSON Lines stream on stdout.
#pragma once
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// Turns JSON Lines on (stdout then carries nothing else) for command, the name the result object
// gives; the clock of duration_ms starts here.
void StartOutput(const std::string& command, bool json);
bool JsonOutput();
const std::string& OutputCommand();

// Where lines for people go that stdout carries without --json: stderr with it.
FILE* HumanOut();

// A JSON string literal of any bytes: valid UTF-8 passes, control characters and every byte of
// an invalid sequence become \u00XX, so the line is always valid JSON.
std::string JsonString(const std::string& bytes);

// Fields of the result object, in the order first set; setting a key again replaces its value.
void ResultNumber(const std::string& key, uint64_t value);
void ResultText(const std::string& key, const std::string& text);
void ResultBool(const std::string& key, bool value);
void ResultJson(const std::string& key, const std::string& json);
// Appends json (any JSON value) to the array under key; "" only makes sure the array is there.
void ResultAppend(const std::string& key, const std::string& json);

// Lists message among the result's problems with the code ProblemCodeFor gives it (or code, when
// not empty); ReportProblem also prints "quillor-publish: message" on stderr.
void ListProblem(const std::string& message, const std::string& code = "");
void ReportProblem(const std::string& message, const std::string& code = "");
// What a command that still succeeds could not do: "warning: message" on stderr, and listed.
void ReportWarning(const std::string& message, const std::string& code);

// What a release holds that some installations cannot take: "warning: message" on stderr, and
// listed with code among the result's "warnings" (never its problems: the release is fine).
void ReportReleaseWarning(const std::string& message, const std::string& code);

// One JSON line on stdout now, whole, whichever thread writes it (only with --json).
void EmitJsonLine(const std::string& object);
void EmitProgress(const std::string& phase, uint64_t files, uint64_t totalFiles, uint64_t bytes, uint64_t totalBytes,
                  double seconds);

// Ends the stream with the one result object (with --json) and returns exitCode; later calls
// print nothing more.
int FinishOutput(int exitCode);

// The command whose help a usage error points to ("see quillor-publish help COMMAND"); none
// until the command line names a known one.
void SetHelpTopic(const std::string& command);
// A usage error: the problem (with code), the pointer to help, and exit code 2.
int Usage(const std::string& message, const std::string& code = "usage");
// A failure: the problem, and exit code 1.
int Fail(const std::string& message);
// Every problem of a failed command, and exit code 1.
int PrintProblems(const std::vector<std::string>& problems);
