// The health gate of widen and promote: the stage's failed runs against the live release's.
#pragma once
#include "core/cli_args.h"

#include <string>

constexpr int kDefaultMaxFailedPoints = 5;
constexpr int kDefaultMinRuns = 20;

// Without --health: 0, nothing read. With it: reads the logs for serverDir's open stage since it
// opened; 0 when it may go on, else the exit code after the refusal (1, problem code
// stage-unhealthy or stage-too-few-runs, the figures in the result's "health") or usage error (2).
int StageHealthGate(const Args& args, const std::string& serverDir);
