// The health gate of widen and promote: the stage's failed runs against the live release's.
#pragma once
#include "core/cli_args.h"
#include "stage/stage.h"

#include <string>

constexpr int kDefaultMaxFailedPoints = 5;
constexpr int kDefaultMinRuns = 20;

// Without --health: 0, nothing read. With it: reads the logs for serverDir's open stage since it
// opened; 0 when it may go on, else the exit code after the refusal (1, problem code
// stage-unhealthy, stage-too-few-runs or health-unreadable, the figures in the result's
// "health") or usage error (2). A log that cannot be read, wholly, is a refusal: the gate never
// passes on evidence it could not read. judged gets the stage it judged (serial 0 when it judged
// none): the command acts on that stage only, checked under the site's lock.
int StageHealthGate(const Args& args, const std::string& serverDir, JudgedStage& judged);
