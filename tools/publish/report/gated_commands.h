// widen and promote, the commands the health gate guards (they sit above the stage wing with it).
#pragma once
#include "core/cli_args.h"

int RunWiden(const Args& args);
int RunPromote(const Args& args);
