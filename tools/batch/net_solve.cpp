// The seam of bufins-batch over the reentrant library: each net read into a
// value (the readers bufins uses), segmented on the model and solved by
// bufins::solve_with_limits with the limits in the engines' units, exactly as
// the bufins program calls it (src/app/main.cpp), so that the figures and
// messages are the program's; a test compares the two programs net by net.
#include "net_solve.h"

#include <cstdio>
#include <cstring>
#include <cerrno>
#include <cstdlib>
#include <new>

#include "bufins/bufins.h"
#include "cli.h"
#include "cmdline.h"
#include "io.h"
#include "solve.h"
#include "wire_segment.h"

namespace batch {

struct Solver::Library {
  bufins::Library library;
  bufins::Options options;
};

namespace {

// The net's text as a stream the reader takes (fmemopen refuses an empty
// buffer: an empty net reads from /dev/null, which is just as empty).
FILE *text_stream(const std::string &text) {
  FILE *f = text.empty() ? std::fopen("/dev/null", "r")
                         : fmemopen(const_cast<char *>(text.data()), text.size(), "r");
  if (f == nullptr) throw std::bad_alloc();
  return f;
}



// The flat family's request of bufins's cost options (main.cpp's flat_options).
bufins::Options flat_options(const CostGoal &cost, const std::string &budget, int area_decimals) {
  bufins::Options o;
  switch (cost.kind) {
    case CostObjective::NONE: o.objective = bufins::Objective::max_slack; break;
    case CostObjective::MIN_COST: o.objective = bufins::Objective::min_cost; break;
    case CostObjective::TARGET: o.objective = bufins::Objective::target; break;
    case CostObjective::BUDGET: o.objective = bufins::Objective::budget; break;
    case CostObjective::WITHIN: o.objective = bufins::Objective::within; break;
    case CostObjective::WITHIN_PERCENT: o.objective = bufins::Objective::within_percent; break;
  }
  o.target = o.within = cost.slack;
  if (cost.kind == CostObjective::BUDGET) o.budget = budget_in_units(budget, area_decimals);
  return o;
}

}  // namespace

Solver::Solver(const std::string &library, const Request &request, std::vector<std::string> *warnings)
    : request_(request) {
  cmdline::Stream in = cmdline::open_stream(library, "r");
  if (!in) throw InputError(library, 0, "cannot be opened", "Cannot open file: " + library + ": " + std::strerror(errno));
  const Warn warn = [warnings](const std::string &text) {
    if (warnings != nullptr) warnings->push_back(text);
  };
  auto lib = std::make_shared<Library>();
  lib->library = read_library_model(in.get(), library, warn);
  lib->options = flat_options(request.cost, request.budget, lib->library.area_decimals);
  lib->options.cost_tolerance = request.cost_tolerance;
  library_ = std::move(lib);
}

Outcome Solver::solve(const std::string &text, const std::string &name, bufins::Scratch *scratch) const {
  Outcome out;
  const Warn warn = [&out](const std::string &line) { out.warnings.push_back(line); };
  FILE *in = nullptr;
  bufins::Net net;
  try {
    in = text_stream(text);
    net = read_net_model(in, name, warn, static_cast<long long>(text.size()));
    std::fclose(in);
  } catch (const InputError &e) {
    if (in != nullptr) std::fclose(in);
    failed(out, e);
    return out;
  }
  solve_into(std::move(net), out, scratch);
  return out;
}

Outcome Solver::solve(bufins::Net net, bufins::Scratch *scratch) const {
  Outcome out;
  solve_into(std::move(net), out, scratch);
  return out;
}

void Solver::solve_into(bufins::Net net, Outcome &out, bufins::Scratch *scratch) const {
  try {
    if (request_.segments > 0) segment_model(net, request_.segments);
    bufins::Options options = library_->options;
    options.scratch = scratch;
    const bufins::Result r = bufins::solve_with_limits(net, library_->library, options, request_.limits);
    if (!r.feasible) {
      out.status = Outcome::INFEASIBLE;
      out.error = "bufins: the request cannot be met: " + r.reason;
      return;
    }
    out.solved = true;
    out.slack = r.slack;
    out.buffers = r.buffers;
    out.cost = r.cost;
    out.area_decimals = library_->library.area_decimals;
    if (request_.cost.kind == CostObjective::NONE) {
      // The library leaves the cost of a max-slack run at 0: the sum of the
      // placed buffers' areas.
      out.cost = 0;
      for (const bufins::Placement &p : r.placements)
        if (p.type >= 1 && static_cast<size_t>(p.type) <= library_->library.types.size())
          out.cost += library_->library.types[static_cast<size_t>(p.type - 1)].area;
    }
    out.feasible = r.slack > bufins::minus_infinity;
    if (!r.goal_met) {
      out.status = Outcome::UNMET;
      out.error = bufins::unmet_goal_message(library_->options, r.frontier, library_->library.area_decimals);
    }
    if (request_.placement) out.placement = bufins::placement_text(r);
    if (request_.final_net) out.final_net = bufins::final_net_text(net);
  } catch (const InputError &e) {
    failed(out, e);
  }
}

void Solver::failed(Outcome &out, const InputError &e) {
  std::vector<std::string> warnings = std::move(out.warnings);  // printed before the error, as bufins does
  out = Outcome{};
  out.warnings = std::move(warnings);
  out.status = Outcome::ERROR;
  out.error = e.what();
  out.error_file = e.file;
  out.error_line = e.line;
  out.error_message = e.message;
}

}  // namespace batch
