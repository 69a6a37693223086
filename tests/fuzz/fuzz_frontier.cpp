// Fuzz target: the slack–cost frontier and its objectives on what reads.
//
// Input: the first byte chooses the segmenting coefficient (its value mod 4),
// how often the trace pool is collected (bits 2-4, when not zero) and an
// objective (bits 5-7: min-cost, target, budget, within, within-percent);
// the second byte the objective's value as a share of the frontier's range;
// the rest is a library (area= fields included), a line "%%", and a net.
// Nets beyond 200 nodes or 2,000 after segmentation, and libraries beyond 16
// types, are skipped. What must hold: the points rise in cost and slack; the
// last one is the flat engine's best slack; every point's placement,
// evaluated independently (tools/check/placement.*), has the point's slack, cost
// and buffer count; the objective picks the point its definition names; the
// memory counters balance.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "def.h"
#include "flat.h"
#include "bufins/bufins.h"
#include "frontier.h"
#include "fuzz_input.h"
#include "fuzz_tables.h"
#include "io.h"
#include "placement.h"
#include "wire_segment.h"

namespace {

[[noreturn]] void fail(const char *what, double a, double b) {
  std::fprintf(stderr, "fuzz_frontier: %s (%.17g, %.17g)\n", what, a, b);
  std::abort();
}

void check_close(const char *what, double a, double b) {
  const double scale = std::fmax(1.0, std::fmax(std::fabs(a), std::fabs(b)));
  if (std::fabs(a - b) > 1e-9 * scale + 1e-13 * delay_scale()) fail(what, a, b);
}

std::string placements(const CostFrontier &f, int point, int *count) {
  std::vector<bufins::Placement> placed;
  bufins::Result r;
  r.empty_tree = !f.placements(point, placed);
  r.placements = placed;
  *count = static_cast<int>(placed.size());
  return bufins::placement_text(r);
}

void check_choice(const std::vector<FrontierPoint> &pts, const CostGoal &goal) {
  const CostChoice c = choose_point(pts, goal);
  if (pts.empty()) {
    if (c.point != -1) fail("a point chosen from an empty frontier", c.point, 0);
    return;
  }
  const int last = static_cast<int>(pts.size()) - 1;
  if (c.point < 0 || c.point > last) fail("chosen point out of range", c.point, last);
  const FrontierPoint &p = pts[static_cast<size_t>(c.point)];
  const FrontierPoint *before = c.point > 0 ? &pts[static_cast<size_t>(c.point) - 1] : nullptr;
  const double best = pts.back().slack;
  double floor = 0.0;
  switch (goal.kind) {
    case CostObjective::NONE:
    case CostObjective::MIN_COST:
      if (c.point != last || !c.met) fail("min-cost is not the last point", c.point, last);
      return;
    case CostObjective::BUDGET:
      if (!c.met) {
        if (pts.front().cost <= goal.budget || c.point != last) fail("budget wrongly unmet", goal.budget, c.point);
        return;
      }
      if (p.cost > goal.budget) fail("over the budget", p.cost, goal.budget);
      if (c.point < last && pts[static_cast<size_t>(c.point) + 1].cost <= goal.budget)
        fail("a better point within the budget", c.point, goal.budget);
      return;
    case CostObjective::TARGET:
      if (!c.met) {
        if (best >= goal.slack || c.point != last) fail("target wrongly unmet", goal.slack, best);
        return;
      }
      floor = goal.slack;
      break;
    case CostObjective::WITHIN:
      floor = best - goal.slack;
      break;
    case CostObjective::WITHIN_PERCENT:
      floor = best - goal.slack / 100.0 * std::fabs(best);
      break;
  }
  if (!c.met || p.slack < floor) fail("chosen point below its floor", p.slack, floor);
  if (before != nullptr && before->slack >= floor) fail("a cheaper point reaches the floor", before->slack, floor);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 2) return 0;
  const int segments = data[0] % 4;
  const int young = (data[0] >> 2) & 7;
  const int kind = (data[0] >> 5) % 5;
  const double share = data[1] / 255.0;
  const char *text = reinterpret_cast<const char *>(data + 2);
  const size_t length = size - 2;
  const char *split = static_cast<const char *>(memmem(text, length, "%%\n", 3));
  if (split == nullptr) return 0;
  const size_t lib_length = static_cast<size_t>(split - text);
  const uint8_t *net_bytes = reinterpret_cast<const uint8_t *>(split + 3);
  const size_t net_length = length - lib_length - 3;

  reset_globals();
  try {
    FuzzStream lib = fuzz_stream(data + 2, lib_length);
    InputLib(lib.get(), "fuzz.lib");
    if (n_buffertype > 16) return 0;
    FuzzStream net = fuzz_stream(net_bytes, net_length);
    read_net(net.get(), "fuzz.net");
    if (n_nodes > 200 || static_cast<long>(n_edges) * (segments + 1) > 2000) return 0;
    if (segments > 0) wire_segment(segments);
  } catch (const InputError &) {
    return 0;
  }

  const bufins::Net net = net_from_tables();
  const bufins::Library lib = library_from_tables();
  const flat_core::Tables T(net, lib);
  bufins::Context ctx;
  std::vector<FrontierPoint> pts;
  {
    CostFrontier f(T, ctx, young != 0 ? young : 1 << 15);
    f.run();
    pts = f.points();
    for (size_t k = 0; k < pts.size(); k++) {
      const FrontierPoint &p = pts[k];
      if (k > 0 && !(p.cost > pts[k - 1].cost && p.slack > pts[k - 1].slack))
        fail("points do not rise", p.cost, p.slack);
      int count = 0, counted = 0;
      long long cost = 0;
      const std::string lines = placements(f, static_cast<int>(k), &count);
      const std::vector<int> on = buffers_of(lines, &cost, &counted);
      if (count != p.buffers || counted != p.buffers) fail("buffer count", count, p.buffers);
      if (cost != p.cost) fail("cost of the placement", static_cast<double>(cost), static_cast<double>(p.cost));
      check_close("slack of the placement", evaluate_placement(on).slack, p.slack);
    }
  }
  const bufins::Memory &m = ctx.memory;
  if (m.solutions_opened != m.solutions_freed || m.traces_opened != m.traces_freed)
    fail("memory counters", m.solutions_opened, m.traces_opened);

  flat_core::MaxSlack e(T, ctx);
  e.run();
  const double best = e.slack();
  if (pts.empty()) {
    if (best > MINUS_INFINITY_TIME) fail("empty frontier where the flat engine finds a slack", best, 0);
  } else {
    check_close("best slack against the flat engine's", pts.back().slack, best);
  }

  CostGoal goal;
  const double lo = pts.empty() ? 0.0 : pts.front().slack, hi = pts.empty() ? 0.0 : pts.back().slack;
  switch (kind) {
    case 0:
      goal.kind = CostObjective::MIN_COST;
      break;
    case 1:
      goal.kind = CostObjective::TARGET;
      goal.slack = lo + (hi - lo) * (share * 1.2 - 0.1);  // below, within and beyond the range
      break;
    case 2:
      goal.kind = CostObjective::BUDGET;
      goal.budget = pts.empty() ? 0 : static_cast<long long>(share * static_cast<double>(pts.back().cost));
      break;
    case 3:
      goal.kind = CostObjective::WITHIN;
      goal.slack = (hi - lo) * share;
      break;
    default:
      goal.kind = CostObjective::WITHIN_PERCENT;
      goal.slack = 100.0 * share;
  }
  check_choice(pts, goal);

  // The approximate frontier (a tolerance from the second byte): every point
  // costs at most (1 + E) times the exact least cost at its slack, the best
  // slack is exact, and the chosen placement is what the result says.
  if (pts.empty()) return 0;
  bufins::Options o;
  o.objective = bufins::Objective::min_cost;
  o.cost_tolerance = 0.005 + share;
  if (o.cost_tolerance > 1.0) o.cost_tolerance = 1.0;
  // Without the files' load limits: the exact frontier above ignores them.
  bufins::Net free_net = net;
  free_net.driver_max_cap = bufins::no_limit;
  bufins::Library free_lib = lib;
  for (bufins::BufferType &t : free_lib.types) t.max_cap = bufins::no_limit;
  const bufins::Result r = bufins::solve(free_net, free_lib, o);
  if (r.frontier.empty()) fail("empty approximate frontier", 0, 0);
  check_close("approximate best slack", r.frontier.back().slack, pts.back().slack);
  size_t at = 0;
  for (size_t k = 0; k < r.frontier.size(); k++) {
    const FrontierPoint &p = r.frontier[k];
    if (k > 0 && !(p.cost > r.frontier[k - 1].cost && p.slack > r.frontier[k - 1].slack))
      fail("approximate points do not rise", p.cost, p.slack);
    // The exact point of the same slack: exact points a rounding apart (at
    // slacks near 1e10) count as the same slack.
    const double noise = 1e-9 * std::max(1.0, std::fabs(p.slack));
    while (at < pts.size() && pts[at].slack < p.slack - noise) at++;
    if (at == pts.size()) fail("approximate point beyond the exact best slack", p.slack, pts.back().slack);
    while (at + 1 < pts.size() && pts[at + 1].slack <= p.slack + noise) at++;
    if (static_cast<double>(p.cost) > (1 + o.cost_tolerance) * static_cast<double>(pts[at].cost) + 1e-9)
      fail("approximate cost beyond its bound", p.cost, pts[at].cost);
  }
  long long cost = 0;
  int counted = 0;
  const std::vector<int> on = buffers_of(bufins::placement_text(r), &cost, &counted);
  if (cost != r.cost || counted != r.buffers) fail("approximate placement's cost", cost, r.cost);
  check_close("approximate placement's slack", evaluate_placement(on).slack, r.slack);
  return 0;
}
