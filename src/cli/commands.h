#pragma once
// The three commands; each returns the process's exit status.

#include "cli/cli_options.h"

namespace morvane::cli {

int runSplit(const Options& options);
int runJoin(const Options& options);
int runCheck(const Options& options);
int runRepair(const Options& options);

}  // namespace morvane::cli
