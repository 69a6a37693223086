// bufins as a C++ library: read or build a net and a buffer library, and
// solve the buffer insertion for any objective of the flat engine family
// (maximum slack; the least cost for the best slack, a target slack, a
// budget, or within a distance of the best slack; the slack-cost frontier;
// under load and slew limits; with wires segmented).
//
// Reentrant: solve() reads only its arguments and keeps its state in the
// call, so concurrent calls on different (or the same, const) nets share
// nothing mutable. Reading is reentrant too.
//
// Errors are exceptions: bufins::InputError carries the exact message the
// bufins program prints ("file:line: what is wrong"); warnings are returned
// as lines of text ("file:line: warning: ..."). Out of memory is
// std::bad_alloc; a cancelled run (progress callback returned false)
// bufins::Cancelled.
//
// Units are the files' (see model.h).
#pragma once

#include <cstdio>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "bufins/model.h"
#include "bufins/result.h"

namespace bufins {

// The stream the bufins program prints an error on.
enum ErrorStream { ERROR_TO_STDERR, ERROR_TO_STDOUT };

// An input error. what() is the whole message ("file:line: what is wrong",
// "file: what is wrong" when no line is to blame, "bufins: ..." when no file
// is).
struct InputError : std::runtime_error {
  std::string file;     // file at fault; "bufins" when the fault lies in no file
  long line;            // line at fault, 0 when no line is
  std::string message;  // what is wrong, without the place
  ErrorStream stream;
  int status;  // the bufins program's exit status for it

  InputError(std::string file, long line, std::string message, std::string text, ErrorStream stream = ERROR_TO_STDERR,
             int status = 1);
};

// Thrown out of a run whose progress callback returned false.
struct Cancelled : std::runtime_error {
  Cancelled() : std::runtime_error("bufins: the run was cancelled") {}
};

// Thrown out of a run whose candidates and traces came to hold more than
// Options::memory_limit bytes (the figures of Result::memory), so that a
// run whose frontier explodes stops with a message instead of being killed
// by the system. what(): "bufins: the run's candidates need more than N
// MiB (the memory limit): stopped after D of T wires".
struct MemoryLimitExceeded : std::runtime_error {
  MemoryLimitExceeded(double limit_bytes, long long done, long long total)
      : std::runtime_error("bufins: the run's candidates need more than " +
                           std::to_string(static_cast<long long>(limit_bytes / 1048576.0)) +
                           " MiB (the memory limit): stopped after " + std::to_string(done) + " of " +
                           std::to_string(total) + " wires"),
        limit(limit_bytes),
        wires_done(done),
        total_wires(total) {}
  double limit;
  long long wires_done, total_wires;
};

// Readers: the whole file, as the bufins program reads it ("-" is not
// special here). `warnings`, when given, receives the warnings.
Net read_net(const std::string &path, std::vector<std::string> *warnings = nullptr);
Library read_library(const std::string &path, std::vector<std::string> *warnings = nullptr);
// From an open stream; `name` stands for the file in messages.
Net read_net(std::FILE *in, const std::string &name, std::vector<std::string> *warnings = nullptr);
Library read_library(std::FILE *in, const std::string &name, std::vector<std::string> *warnings = nullptr);

// The net with every wire of non-zero length cut into M + 1 equal pieces by
// M new candidate nodes (numbered from 50000 + the candidates of the net),
// as -m M does. Throws InputError ("bufins: ...") when it cannot be done.
Net segmented(const Net &net, int M);

// Memory one thread's solves hand on to each other: give the same Scratch to
// every solve of a thread (Options::scratch) and the engine takes its
// candidate arrays, trace pool and sort buffers from it and gives them back,
// instead of allocating and freeing them for every net, which matters for
// many small nets. What it keeps is bounded (a few MiB). Results, memory
// figures included, are those of a solve without it. Never give one to two
// solves at the same time.
class Scratch {
 public:
  Scratch();
  ~Scratch();
  Scratch(const Scratch &) = delete;
  Scratch &operator=(const Scratch &) = delete;
  struct Store;
  Store &store() { return *store_; }

 private:
  std::unique_ptr<Store> store_;
};

enum class Objective {
  max_slack,       // the best slack (and its placement)
  min_cost,        // the best slack at the least cost
  target,          // the least cost whose slack is at least Options::target
  budget,          // the best slack of cost at most Options::budget
  within,          // the least cost within Options::within time units of the best slack
  within_percent,  // the least cost within Options::within % of |best slack|
};

struct Options {
  Objective objective = Objective::max_slack;
  double target = 0.0;
  long long budget = 0;  // in the library's units of cost (cost_units() turns "16.26" into them)
  double within = 0.0;
  // A cost objective's tolerance E (0: exact). With E > 0 the areas are
  // rounded up to multiples of one unit so that the frontier's work no longer
  // grows with their scale; every point is re-costed with the true areas and
  // costs at most (1 + E) times the least cost of any placement with at least
  // its slack. 0 < E <= 1.
  double cost_tolerance = 0.0;
  double max_cap = no_limit;   // --max-cap (files' unit): every gate without a max_cap of its own
  double max_slew = no_limit;  // --max-slew
  int segments = 0;            // -m M: segment the net first (Result::net is the net solved)
  bool candidates = false;            // fill Result::candidates (the -o listing)
  bool candidate_placements = false;  // and each candidate's buffers (-o -d)
  bool stages = true;                 // fill Result::stages when limits are in force
  // Called about every 64 wires with the wires done and their total;
  // returning false cancels the run.
  std::function<bool(long long done, long long total)> progress;
  // The same, with a cost objective's most cost levels of one subtree so far
  // (0 before the first merge; the frontier's work grows with it); when
  // given it is called instead of `progress`.
  std::function<bool(long long done, long long total, long long cost_levels)> progress_levels;
  // Bytes the run's candidates and traces may hold (checked about every 64
  // wires); beyond it MemoryLimitExceeded. 0: no limit.
  double memory_limit = 0.0;
  // Tuning (speed and memory figures only).
  int young_records = 1 << 15;
  int small_set = 128;
  // Storage reused from earlier solves of this thread (see Scratch); none
  // when null.
  Scratch *scratch = nullptr;
};

struct Result {
  // False when no buffer assignment meets the limits: `reason` says why and
  // nothing else below is set.
  bool feasible = true;
  std::string reason;

  // The chosen solution: its slack (minus_infinity when no assignment
  // reaches the driver with a finite slack), buffers, cost and placement.
  double slack = minus_infinity;
  int buffers = 0;
  long long cost = 0;  // sum of the buffers' areas, in units of 10^-Library::area_decimals (cost_text())
  std::vector<Placement> placements;  // in placement-file order
  // The placement file says "empty tree": the driver drives a sink, or no
  // solution beats minus infinity.
  bool empty_tree = false;

  // A cost objective: the frontier (increasing cost and slack), the chosen
  // point, and whether a target or budget was met (when not, the chosen
  // point is the last one: the best slack at its least cost).
  std::vector<FrontierPoint> frontier;
  int chosen = -1;
  bool goal_met = true;
  // With Options::cost_tolerance: the unit the areas were rounded up to
  // (library units); 0 for an exact run.
  long long cost_unit = 0;

  // With Options::candidates: the driver child's candidates, smallest load
  // first (for a cost objective, those of cost at most the chosen point's).
  std::vector<Candidate> candidates;
  bool driver_drives_sink = false;

  // With limits in force (options or max_cap fields) and Options::stages:
  // the chosen solution's stages, the driver's first.
  bool with_limits = false;
  std::vector<StageReport> stages;

  Memory memory;
  Net net;  // with Options::segments > 0: the segmented net solved; else empty
};

// Solves the buffer insertion of `net` with `library` for `options`.
// Throws InputError for an option or model the bufins program refuses (a
// library of more than 64 types, a bad segmentation), Cancelled,
// MemoryLimitExceeded, or std::bad_alloc.
Result solve(const Net &net, const Library &library, const Options &options = Options());

// The placement file's text of a result, as the bufins program writes it.
std::string placement_text(const Result &result);

// The bufins program's message (without the newline) for a target or budget
// that no point of `frontier` meets: the objective (target or budget) and its
// value come from `options`. Slacks are printed with the fewest digits, at
// least ten, that read back as the same double, so two slacks that differ
// print differently; costs with the library's decimals (Library::area_decimals).
std::string unmet_goal_message(const Options &options, const std::vector<FrontierPoint> &frontier,
                               int area_decimals = 0);
// The final net file's text of a net (the .finalnet the program writes).
std::string final_net_text(const Net &net);

}  // namespace bufins
