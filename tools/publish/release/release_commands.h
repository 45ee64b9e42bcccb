// The release commands (diff, history, prune) and the options that publish, stage and revert share.
#pragma once
#include "core/cli_args.h"
#include "release/publish.h"

#include <string>
#include <vector>

// --keep N: how many releases the history keeps; false for a value out of range.
bool ParseKeep(const Args& args, unsigned& keep);

// Fills options from the key, signer, serial, history and folder arguments that publish, stage
// and revert share (folders: 2 with RELEASE_DIR, 1 without); 0 when they are complete, else the
// exit code of the usage error or failure already printed.
int ReadPublishOptions(const Args& args, const char* command, PublishOptions& options, std::string& passphrase,
                       size_t folders = 2);

// Prints the problems of a publish or revert that did not complete and what became of dir; 1.
int PublishFailed(const std::vector<std::string>& problems, const PublishReport& report, const std::string& dir);

// The line and the result fields of a finished publish, stage or revert.
void PrintPublished(const PublishOptions& options, const PublishReport& report, const std::string& note);

int RunDiff(const Args& args);
int RunHistory(const Args& args);
int RunPrune(const Args& args);
