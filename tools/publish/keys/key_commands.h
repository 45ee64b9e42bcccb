// The key commands: keygen (a new key pair) and blob (the key as the updater builds it in).
#pragma once
#include "core/cli_args.h"

int RunKeygen(const Args& args);
int RunBlob(const Args& args);
