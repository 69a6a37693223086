// What a run of the engines returns: candidates at the driver, frontier
// points and stages, as plain values (node numbers as in the files, loads in
// the files' capacitance unit).
#pragma once

#include <vector>

#include "bufins/model.h"

namespace bufins {

// A candidate of the driver's child (the -o listing): its required time and
// load there, and with the placements asked for, the buffers below it.
struct Candidate {
  double required;
  double load;  // files' unit
  std::vector<Placement> placements;
};

// One point of the slack-cost frontier: the least cost (sum of the buffers'
// areas, in the library's units: Library::area_decimals) at which the best slack reaches `slack`, and the number of buffers
// of the placement that reaches it.
struct FrontierPoint {
  long long cost;
  int buffers;
  double slack;
};

// A stage of the buffered net: a gate (the driver, or a buffer) with the
// wires it drives down to the next buffers and the sinks.
struct StageReport {
  int node;        // node number of the gate's node
  int end;         // node number at the other end of the gate's first wire
  int type;        // 0 the driver, else the 1-based buffer type
  double load;     // files' unit
  double slew;     // ln 9 (R C + worst Elmore wire delay)
  double max_cap;  // the gate's load limit (files' unit), no_limit for none
};

}  // namespace bufins
