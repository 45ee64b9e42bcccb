// The process's two exit codes, which both run modes end with.
#pragma once

constexpr int kExitSuccess = 0;
constexpr int kExitFailure = 2;
