// Test nets: a plain description of a net and library, text writers in the
// tool's file formats, a seeded random generator of valid nets, and an
// independent Elmore evaluator used to check the algorithms' answers (a fixed
// buffer assignment is evaluated directly, and exhaustive search over every
// assignment gives the true optimum of a small net).
#pragma once

#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

struct TestNet {
  double r0 = 1.0;
  double c0_file = 1.0;  // as written in the net file (internal = /1000)
  double rd = 1.0;
  double driver_max_cap_file = -1.0;  // max_cap= of the driver line; < 0: none
  double dx = 0.0, dy = 0.0;
  struct Sink {
    int index;
    double x, y, cap_file, time;
  };
  struct Cand {
    int index;
    double x, y;
  };
  struct Buf {
    double cap_file, delay, res;
    long long area = 1;  // in units of 10^-area_decimals; written as area= when not 1 (always with decimals)
    double max_cap_file = -1.0;  // max_cap= of the buffer line; < 0: none
  };
  std::vector<Sink> sinks;
  std::vector<Cand> cands;
  std::vector<std::pair<int, int>> edges;  // (parent, child), file order
  std::vector<Buf> lib;
  int area_decimals = 0;  // area= written with this many decimals
};

// Buffer placements: (start node, end node) -> 1-based buffer type.
using Placement = std::map<std::pair<int, int>, int>;

std::string net_text(const TestNet &net);
std::string lib_text(const TestNet &net);

// Parses the net format (also a final net file) into a TestNet; the library is
// left empty. Independent of the tool's own reader.
TestNet parse_net(const std::string &text);

// Parses placement lines ("start A  end B  buffertype T"); "empty tree" and
// other lines are ignored.
Placement parse_placements(const std::string &text);

struct GenOptions {
  int min_sinks = 1, max_sinks = 5;
  int max_chain_candidates = 2;  // extra one-child candidates per net
  int min_types = 1, max_types = 3;
  int grid = 20;                 // coordinates are integers in [0, grid]
  bool duplicate_types = false;  // may repeat a buffer type
  bool zero_r0 = false;          // r0 = 0
  bool zero_c0 = false;          // c0 = 0
  bool equal_times = false;      // every sink has the same required time
  // Degenerate values, each drawn for about half of the sinks or types:
  bool zero_loads = false;       // sinks of load 0
  bool zero_delays = false;      // buffers of intrinsic delay 0
  bool zero_res = false;         // buffers of output resistance 0
};

// A valid random net: driver with one child, candidates with one or two
// children, sinks as leaves; positions may coincide (zero-length wires; with
// grid 0 every node stands on one point).
TestNet random_net(std::mt19937 &rng, const GenOptions &opt);

// Elmore slack at the driver of the net with the given buffers.
double elmore_slack(const TestNet &net, const Placement &buffers);

// Best slack over every assignment of "no buffer or type j" to every edge that
// leaves a candidate node; also returns the number of assignments tried.
double exhaustive_best(const TestNet &net, long *assignments = nullptr);

// Best slack of each cost (sum of the areas of the buffers) over every such
// assignment: cost -> the best slack of the assignments of exactly that cost.
std::map<long long, double> exhaustive_by_cost(const TestNet &net);

// Cost (sum of areas) of a placement.
long long placement_cost(const TestNet &net, const Placement &buffers);

// Degenerate variants the generator does not make by itself, chosen by
// trial % 11 (1: zero-delay and zero-resistance buffers, 2: an empty
// library, 3: required times near minus infinity, 4: zero-load buffers and
// sinks, 5: a driver without resistance; others: none).
void degenerate(std::mt19937 &rng, TestNet &net, int trial);
// Electrical limits for the exhaustive reference: --max-cap (files' unit)
// and --max-slew; infinity when not given. The net's own max_cap fields
// apply as well.
struct TestLimits {
  double max_cap_file = 1e300;
  double max_slew = 1e300;
};

// Best slack over the assignments whose every stage meets the limits (a
// stage: a gate with the wires it drives down to the next buffers' inputs
// and the sinks; its load at most the gate's max_cap, and at every end point
// ln 9 · (R_gate · load + Elmore wire delay) at most max_slew), or -infinity
// when none does; `feasible` receives the number of such assignments and
// `best` one that reaches the best slack. Own arithmetic: shares nothing with
// the tool's stage evaluation.
double exhaustive_best_limited(const TestNet &net, const TestLimits &lim, long *feasible = nullptr,
                               Placement *best = nullptr);

// The same search by cost (the sum of the areas of an assignment's
// buffers): cost -> the best slack of the assignments of exactly that cost
// that meet the limits.
std::map<long long, double> exhaustive_by_cost_limited(const TestNet &net, const TestLimits &lim);

// Whether every stage of the net with these buffers meets the limits (the
// same evaluation).
bool meets_limits(const TestNet &net, const TestLimits &lim, const Placement &buffers);

// Number of edges that leave a candidate node (the places a buffer may go).
int buffer_sites(const TestNet &net);

// Writes net and library to dir/name.net and dir/name.lib.
void write_net_files(const TestNet &net, const std::string &dir, const std::string &name);
