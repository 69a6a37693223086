// Electrical limits of a buffered net: the largest load a gate may drive and
// the largest slew (transition time) at any end point of its stage.
//
// The stage model. A buffered net falls into stages: each gate (the driver,
// of resistance rd, or a buffer of type t, of resistance rb[t]) with the
// wires it drives, down to its end points: the inputs of the next buffers
// and the sinks. A buffer of type t placed at node p on the wire to child k
// stands at p: it is an end point of the stage above (its input capacitance
// cb[t] seen at p) and drives the wire p-k and everything below k up to the
// next buffers. The stage's load C is the capacitance of its wires plus its
// end points' input capacitances (sink loads, buffer input capacitances).
// The Elmore delay of the stage's wires from the gate's output to an end
// point e is E(e) = sum, over the wire pieces on the way, of
// r0·len·(c0·len/2 + the capacitance below the piece inside the stage), and
// the slew at e is
//
//     slew(e) = ln 9 · (R_gate · C + E(e))
//
// (the 10–90 % transition of a single-pole response with time constant
// R_gate·C + E(e)). A stage's worst slew is the largest over its end points.
//
// Limits: a buffer line's max_cap= limits every buffer of that type, the
// driver line's max_cap= the driver; --max-cap limits every gate without a
// limit of its own; --max-slew limits every end point of every stage, the
// driver's stage included. Capacitances here are in the internal unit (the
// files' unit / 1000), like cb[] and the sink loads.
//
// Both quantities only grow as a stage grows upwards: a wire above a point
// of a stage adds c0·len to the load below it and r0·len·(c0·len/2 + c) to
// every end point's E, and a branch adds the other side's load and takes the
// larger E. So a partial stage (a candidate of the engines) that already
// breaks the limits of every gate that could still drive it can be dropped
// at once; see flat_core.h for how the engines use that.
//
// Everything here reads the run's tables (flat_core.h: the model's nodes,
// library and wire constants); nothing here prints, exits or keeps state.
#pragma once

#include <string>
#include <vector>

#include "flat_core.h"

// ln 9: the 10-90 % slew of a single-pole response is ln 9 time constants.
constexpr double LN9 = 2.1972245773362193828;

struct Limits {
  double max_cap = NO_LIMIT;   // --max-cap in the internal unit: every gate without a max_cap of its own
  double max_slew = NO_LIMIT;  // --max-slew, in the unit of delays
};

// The load limit of a gate: type 0 is the driver, 1..n_buffertype the
// buffer type of that number (1-based, as in placement files).
double gate_max_cap(const flat_core::Tables &T, int type, const Limits &lim);

// True when some limit applies: an option, or a max_cap field of the
// library or of the driver line.
bool limits_in_force(const flat_core::Tables &T, const Limits &lim);

// True when no buffer assignment of the net in the tables can break any
// limit in force (an upper bound on every stage's load and slew over all
// assignments, computed in one pass, stays within every limit). The engines
// then take their limit-free path and their outputs are those of a run
// without limits.
bool limits_cannot_bind(const flat_core::Tables &T, const Limits &lim);

struct Stage {
  int gate;           // table position of the node the gate stands at (0: the driver)
  int child;          // table position of the node at the other end of the gate's first wire
  int type;           // 0 the driver, else the 1-based buffer type
  double load;        // C, internal unit
  double wire_delay;  // worst E(e) over the stage's end points
  double slew;        // ln 9 · (R·C + worst E)
  int worst_end;      // table position of the end point of the worst slew (a sink, or the node of a buffer)
};

// The stages of the net in the tables with the buffers `buffer_on` (by table
// position of the child at the lower end of a buffered wire: 0, or the 1-based
// type of the buffer standing at its upper end; as read_placement gives it).
// The driver's stage first, then the buffers' stages in pre-order of the
// tree. Explicit stacks only.
std::vector<Stage> compute_stages(const flat_core::Tables &T, const std::vector<int> &buffer_on);

enum LimitKind { LIMIT_LOAD, LIMIT_SLEW };

struct Violation {
  size_t stage;  // index into the stage list
  LimitKind kind;
  double value;  // the stage's load (internal unit) or worst slew
  double limit;
};

// Every stage over a limit in force: a load above the gate's limit, a worst
// slew above max_slew, by more than `tolerance` relative to the limit (the
// engines and an independent evaluation round differently).
std::vector<Violation> check_stages(const flat_core::Tables &T, const std::vector<Stage> &stages, const Limits &lim,
                                    double tolerance = 1e-9);

// Why no buffer assignment meets the limits, in one sentence for the
// "request cannot be met" message: the worst wire whose stage, even with
// every buffer site below it buffered and driven by the best gate allowed
// to drive it, breaks a limit. When no single wire explains it, names the
// node below which the engine found no assignment left (`subtree`, a table
// position, or -1).
std::string explain_infeasible(const flat_core::Tables &T, const Limits &lim, int subtree);

// Name of a gate for messages: "the driver" or "buffer type T".
std::string gate_name(int type);
