// The serving commands: serve (the development server) and site (the nginx site or an edge's VCL).
#pragma once
#include "core/cli_args.h"

int RunServe(const Args& args);
int RunSite(const Args& args);
