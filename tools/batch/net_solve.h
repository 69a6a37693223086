// One net of a batch, from its text to its outcome: the seam between
// bufins-batch (inputs, threads, order, files, summary) and the engines.
//
// The idea: everything bufins-batch knows about buffer insertion passes
// through Solver::solve, which takes one net's text and returns what a bufins
// run of it with the same options would show: the slack line's value, the
// buffer count, the cost, whether it was infeasible or missed its goal with
// the very message bufins prints, and the texts of the placement file and the
// final net file. The rest of the program never touches the engines.
//
// Thread safety: solve() may be called from many threads at once. It reads
// the net into a value, segments it and solves it through the reentrant
// library (bufins::solve), sharing nothing mutable with other calls; the
// buffer library is read once and shared read-only.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "bufins/bufins.h"
#include "bufins/model.h"
#include "frontier.h"
#include "io.h"
#include "stage_limits.h"

namespace batch {

// The options of the run, the same for every net (those of bufins that apply
// to the flat engine family).
struct Request {
  int segments = 0;        // -m
  CostGoal cost;           // --min-cost, --target, --budget, --within
  std::string budget;      // --budget as written (CostGoal::budget holds its whole units)
  double cost_tolerance = 0.0;  // --cost-tolerance (0: exact)
  Limits limits;           // --max-cap (internal unit), --max-slew
  bool placement = false;  // fill Outcome::placement
  bool final_net = false;  // fill Outcome::final_net
};

struct Outcome {
  enum Status { OK, UNMET, INFEASIBLE, ERROR };
  Status status = OK;
  // slack, buffers and cost hold the chosen solution (OK, UNMET).
  bool solved = false;
  double slack = 0.0;     // as bufins prints it with %.10g
  int buffers = 0;
  long long cost = 0;     // sum of the placed buffers' areas
  int area_decimals = 0;  // the library's: cost is in units of 10^-area_decimals
  bool feasible = false;  // solved with a finite slack
  // Not OK: the message bufins prints on standard error, without the newline.
  std::string error;
  // An input error's place, so that a caller that handed over part of a
  // file can renumber it: file and line (0: none) and what is wrong.
  std::string error_file;
  long error_line = 0;
  std::string error_message;
  std::vector<std::string> warnings;  // "file:line: warning: ..." lines
  std::string placement;              // the .buf text (OK, UNMET)
  std::string final_net;              // the .finalnet text (OK, UNMET)
};

class Solver {
 public:
  // Reads the buffer library (a path, "-" for standard input); its warnings
  // are appended to `warnings`. Throws InputError as bufins reports it.
  Solver(const std::string &library, const Request &request, std::vector<std::string> *warnings);

  // The outcome of one net given as text; `name` stands for its file in
  // messages. Never throws but std::bad_alloc. scratch: the calling
  // thread's storage kept between its nets (bufins::Scratch), or null.
  Outcome solve(const std::string &text, const std::string &name, bufins::Scratch *scratch = nullptr) const;
  // The outcome of a net built already (a routed one): as above without the
  // reading.
  Outcome solve(bufins::Net net, bufins::Scratch *scratch = nullptr) const;

  const Request &request() const { return request_; }

  struct Library;  // the buffer library read

 private:
  void solve_into(bufins::Net net, Outcome &out, bufins::Scratch *scratch) const;
  static void failed(Outcome &out, const InputError &e);

  Request request_;
  std::shared_ptr<const Library> library_;
};

}  // namespace batch
