// The commands that change which tree a player gets (publish, stage, widen, promote, revert) and
// status: each reports the site's serials and stage afterwards, which only the stage wing reads.
#pragma once
#include "core/cli_args.h"

int RunPublish(const Args& args);
int RunStage(const Args& args);
int RunWiden(const Args& args);
int RunPromote(const Args& args);
int RunRevert(const Args& args);
int RunStatus(const Args& args);
