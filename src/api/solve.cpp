// bufins::solve() and the file-level helpers of the public API (bufins.h):
// one call segments the net when asked, makes the run's tables and context,
// runs the engine the objective and the limits call for (the flat engine,
// the slack-cost frontier, or either under limits), chooses the frontier
// point, and returns everything as values. Nothing here is global: every
// call has its own tables, context and engine.
#include "solve.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <numeric>

#include "cost_rounding.h"
#include "flat.h"
#include "flat_limits.h"
#include "frontier.h"
#include "io.h"
#include "wire_segment.h"

namespace bufins {

struct Scratch::Store {
  flat_core::Arena arena;
};
Scratch::Scratch() : store_(std::make_unique<Store>()) {}
Scratch::~Scratch() = default;

namespace {

CostGoal goal_of(const Options &o) {
  CostGoal g;
  switch (o.objective) {
    case Objective::max_slack: g.kind = CostObjective::NONE; break;
    case Objective::min_cost: g.kind = CostObjective::MIN_COST; break;
    case Objective::target: g.kind = CostObjective::TARGET; g.slack = o.target; break;
    case Objective::budget: g.kind = CostObjective::BUDGET; g.budget = o.budget; break;
    case Objective::within: g.kind = CostObjective::WITHIN; g.slack = o.within; break;
    case Objective::within_percent: g.kind = CostObjective::WITHIN_PERCENT; g.slack = o.within; break;
  }
  return g;
}

// The chosen solution's stages (the placements by the position of the node
// at each buffered wire's lower end, the first record of a number winning).
std::vector<StageReport> stages_of(const flat_core::Tables &T, const Net &net, const std::vector<Placement> &placed,
                                   const Limits &lim) {
  NodeIndex ix;
  int first;
  node_index_build(ix, net, &first);
  std::vector<int> buffer_on(net.nodes.size(), 0);
  for (const Placement &p : placed) {
    const int at = node_index_find(ix, p.end);
    if (at >= 0) buffer_on[static_cast<size_t>(at)] = p.type;
  }
  std::vector<StageReport> out;
  for (const Stage &st : compute_stages(T, buffer_on)) {
    const double cap = gate_max_cap(T, st.type, lim);
    out.push_back({net.nodes[static_cast<size_t>(st.gate)].index,
                   st.child >= 0 ? net.nodes[static_cast<size_t>(st.child)].index : -1, st.type, st.load * 1000.0,
                   st.slew, cap < NO_LIMIT ? cap * 1000.0 : no_limit});
  }
  return out;
}

// What every engine gives, read into the result: placements of the chosen
// solution and the listing.
template <typename Engine, typename... Point>
void read_solution(const Engine &e, const Options &o, Result &r, Point... point) {
  r.empty_tree = !e.placements(point..., r.placements);
  r.buffers = static_cast<int>(r.placements.size());
  r.driver_drives_sink = e.child_is_sink();
  if (o.candidates) r.candidates = e.candidates(point..., o.candidate_placements);
}

long long cost_of(const Library &lib, const std::vector<Placement> &placements) {
  long long c = 0;
  for (const Placement &p : placements) c += lib.types[static_cast<size_t>(p.type - 1)].area;
  return c;
}

// A frontier run on rounded areas: every point re-costed with the true
// areas (`exact`), and the points whose true cost is not below every later
// point's dropped, so that cost and slack increase together again.
// `index[i]` is the engine's number of kept point i.
template <typename Frontier>
void recost(const Frontier &f, const Library &exact, std::vector<FrontierPoint> &points, std::vector<int> &index) {
  std::vector<long long> areas;
  for (const BufferType &t : exact.types) areas.push_back(t.area);
  const std::vector<long long> costs = f.point_costs(areas);
  for (size_t i = 0; i < points.size(); i++) points[i].cost = costs[i];
  std::vector<FrontierPoint> kept;
  std::vector<int> kept_index;
  long long later = std::numeric_limits<long long>::max();
  for (size_t i = points.size(); i-- > 0;)
    if (points[i].cost < later) {
      later = points[i].cost;
      kept.push_back(points[i]);
      kept_index.push_back(index[i]);
    }
  std::reverse(kept.begin(), kept.end());
  std::reverse(kept_index.begin(), kept_index.end());
  points.swap(kept);
  index.swap(kept_index);
}

template <typename Frontier>
void read_frontier(const Frontier &f, const Options &o, Result &r, const Library *exact) {
  r.frontier = f.points();
  std::vector<int> index(r.frontier.size());
  std::iota(index.begin(), index.end(), 0);
  if (exact != nullptr) recost(f, *exact, r.frontier, index);
  const CostChoice c = choose_point(r.frontier, goal_of(o));
  r.chosen = c.point;
  r.goal_met = c.met;
  r.slack = c.point >= 0 ? r.frontier[static_cast<size_t>(c.point)].slack : MINUS_INFINITY_TIME;
  r.cost = c.point >= 0 ? r.frontier[static_cast<size_t>(c.point)].cost : 0;
  read_solution(f, o, r, c.point >= 0 ? index[static_cast<size_t>(c.point)] : -1);
}

}  // namespace

Result solve_with_limits(const Net &given, const Library &exact_lib, const Options &o, const Limits &lim) {
  if (exact_lib.types.size() > static_cast<size_t>(MAX_BUFFERTYPES))
    refuse("the library holds %zu buffer types: the limit is %d", exact_lib.types.size(), MAX_BUFFERTYPES);
  if (exact_lib.area_decimals < 0 || exact_lib.area_decimals > max_area_decimals)
    refuse("the library's area_decimals is %d: it must be from 0 to %d", exact_lib.area_decimals, max_area_decimals);
  if (!(o.cost_tolerance >= 0.0 && o.cost_tolerance <= 1.0))
    refuse("the cost tolerance is %g: it must be from 0 to 1", o.cost_tolerance);
  const bool cost = o.objective != Objective::max_slack;
  Result r;
  // With a tolerance the engines see the rounded areas; costs shown are the
  // true ones (recost), and so are the max-slack runs' (no rounding there).
  // A rounding that changes no area (the areas are already multiples of a
  // unit too coarse to round within E) is the exact run: no re-costing.
  bool rounding = false;
  Library rounded;
  if (cost && o.cost_tolerance > 0.0) {
    const CostRounding cr = round_costs(exact_lib, o.cost_tolerance);
    r.cost_unit = cr.unit;
    rounding = !cr.exact;
    if (rounding) rounded = rounded_library(exact_lib, cr);
  }
  const Library &lib = rounding ? rounded : exact_lib;
  const Library *recost_with = rounding ? &exact_lib : nullptr;
  const Net *net = &given;
  if (o.segments > 0) {
    r.net = given;
    segment_model(r.net, o.segments);
    net = &r.net;
  }
  if (net->nodes.empty() || net->nodes[0].kind != NodeKind::driver || net->nodes[0].left < 0)
    refuse("the net has no linked driver (read it, or build it with NetBuilder::link)");
  const flat_core::Tables T(*net, lib);
  Context ctx;
  ctx.progress = o.progress;
  if (o.progress_levels)
    ctx.progress = [&ctx, f = o.progress_levels](long long done, long long total) {
      return f(done, total, ctx.cost_levels);
    };
  ctx.memory_limit = o.memory_limit;
  ctx.total_wires = static_cast<long long>(net->nodes.size()) - 1;
  ctx.start();
  r.with_limits = limits_in_force(T, lim);
  const bool limited = r.with_limits && !limits_cannot_bind(T, lim);
  const LimitedTuning tuning{o.young_records, o.small_set};
  if (limited) {
    // Under limits: the limited sets, one per cost for a cost objective.
    std::unique_ptr<LimitedFrontier> f;
    std::unique_ptr<FlatLimited> m;
    int dead;
    if (cost) {
      f = std::make_unique<LimitedFrontier>(T, ctx, lim, tuning);
      dead = f->run() ? -1 : f->dead_end();
    } else {
      m = std::make_unique<FlatLimited>(T, ctx, lim, tuning);
      dead = m->run() ? -1 : m->dead_end();
    }
    if (dead >= 0) {
      r.feasible = false;
      r.reason = explain_infeasible(T, lim, dead);
      return r;
    }
    if (cost) {
      read_frontier(*f, o, r, recost_with);
    } else {
      r.slack = m->slack();
      read_solution(*m, o, r);
      r.cost = cost_of(exact_lib, r.placements);
    }
  } else if (cost) {
    CostFrontier f(T, ctx, o.young_records);
    f.run();
    read_frontier(f, o, r, recost_with);
  } else {
    flat_core::MaxSlack e(T, ctx, o.young_records, o.scratch != nullptr ? &o.scratch->store().arena : nullptr);
    e.run();
    r.slack = e.slack();
    read_solution(e, o, r);
    r.cost = cost_of(exact_lib, r.placements);
  }
  // The engines are gone: their last frees are in the figures.
  r.memory = ctx.memory;
  if (r.with_limits && o.stages) r.stages = stages_of(T, *net, r.placements, lim);
  return r;
}

Result solve(const Net &net, const Library &library, const Options &options) {
  Limits lim;
  lim.max_cap = options.max_cap < no_limit ? options.max_cap / 1000.0 : NO_LIMIT;
  lim.max_slew = options.max_slew;
  return solve_with_limits(net, library, options, lim);
}

namespace {

using File = std::unique_ptr<FILE, int (*)(FILE *)>;

File open_input(const std::string &path) {
  File f(std::fopen(path.c_str(), "r"), &std::fclose);
  if (!f) throw InputError(path, 0, "cannot open", "Cannot open file: " + path + ": " + std::strerror(errno));
  return f;
}

Warn collector(std::vector<std::string> *warnings) {
  if (warnings == nullptr) return Warn();
  return [warnings](const std::string &w) { warnings->push_back(w); };
}

}  // namespace

Net read_net(FILE *in, const std::string &name, std::vector<std::string> *warnings) {
  // The reader sizes its tables by the file's length, several times the
  // records; a caller may keep thousands of nets, so it gets exactly the
  // records.
  Net net = read_net_model(in, name, collector(warnings));
  net.nodes.shrink_to_fit();
  net.edges.shrink_to_fit();
  return net;
}

Library read_library(FILE *in, const std::string &name, std::vector<std::string> *warnings) {
  return read_library_model(in, name, collector(warnings));
}

Net read_net(const std::string &path, std::vector<std::string> *warnings) {
  File f = open_input(path);
  return read_net(f.get(), path, warnings);
}

Library read_library(const std::string &path, std::vector<std::string> *warnings) {
  File f = open_input(path);
  return read_library(f.get(), path, warnings);
}

Net segmented(const Net &net, int M) {
  Net out = net;
  segment_model(out, M);
  return out;
}

std::string placement_text(const Result &r) {
  if (r.empty_tree) return "empty tree\n";
  std::string s;
  char line[96];
  for (const Placement &p : r.placements) {
    std::snprintf(line, sizeof line, "start %d  end %d  buffertype %d\n", p.start, p.end, p.type);
    s += line;
  }
  return s;
}

std::string final_net_text(const Net &net) {
  char *data = nullptr;
  size_t size = 0;
  FILE *f = open_memstream(&data, &size);
  if (f == nullptr) throw std::bad_alloc();
  write_final_net(net, f);
  std::fclose(f);
  std::string s(data, size);
  std::free(data);
  return s;
}

}  // namespace bufins
