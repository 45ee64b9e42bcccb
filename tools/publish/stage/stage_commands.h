// The commands that change which tree a player gets (publish, stage, revert) and status: each
// reports the site's serials and stage afterwards, which only the stage wing reads.
#pragma once
#include "core/cli_args.h"

#include <string>

// The serials, share and salt of the site as it is now, for the result object.
void SiteFields(const std::string& serverDir);
// A share in per cent: 1 to 100; false for anything else.
bool ParseShare(const Args& args, int& share);

int RunPublish(const Args& args);
int RunStage(const Args& args);
int RunRevert(const Args& args);
int RunStatus(const Args& args);
