// The library's entry point as the bufins program calls it: solve() with the
// limits already in the engines' units (--max-cap / 1000, as the command
// line parses them), so that the program's figures are exactly those it
// always printed. The public bufins::solve() converts and calls it.
#pragma once

#include "bufins/bufins.h"
#include "stage_limits.h"

namespace bufins {

Result solve_with_limits(const Net &net, const Library &library, const Options &options, const Limits &limits);

}  // namespace bufins
