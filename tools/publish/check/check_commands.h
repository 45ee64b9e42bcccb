// The verify command: a server folder or base URL checked as a player gets it.
#pragma once
#include "core/cli_args.h"

int RunVerify(const Args& args);
