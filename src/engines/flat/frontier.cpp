// The slack–cost frontier, exactly: the flat engine's dynamic programme with
// one candidate set per cost.
//
// Candidates are (q, c, cost), cost the sum of the areas of the buffers
// below. A subtree's candidates are kept as levels, one per cost that has
// any, in increasing cost; each level is a flat set of flat_core.h (sorted
// by load, wires pending, hull of copies), so a wire is one pending update
// per level and a level's best candidate for a buffer is read off its hull.
//
// Dominance: a candidate is dropped when another of no larger cost has no
// larger load and a required time no earlier. Within a level the flat
// engine's compaction does it, after the shear by the least resistance above
// the node (the flat engine's pruning, which holds across costs as well: it
// speaks only of what is built above). Across levels it is done where it
// pays: at every merge, whose sweep meets each branch's candidates by
// decreasing required time and lets a candidate pair up only when no cheaper
// candidate of its branch met so far has as little load (see "Merge"), and
// among the merged candidates of each cost as they are made.
//
// Edge: every level is carried up the wire; each level's best candidate for
// each buffer type, buffered, lands in the level of cost + the type's area.
// A type's buffered candidate from a level is kept only when it beats that
// type's best from every cheaper level (same load, smaller cost otherwise),
// so a wire makes at most one newcomer per type and level.
//
// Merge: the levels of the two branches combine as a (min,+) convolution
// over costs, made output-sensitive by a sweep over required times (see
// "Merge" below): a merged candidate is one branch's candidate x with the
// other branch's least load for some cost among the candidates whose
// required time is no earlier than x's, so only the (cost, load) staircase
// of the other branch's candidates met so far is paired with x.
//
// Exactness: every rule above drops a candidate only when another one of no
// larger cost does at least as well under every completion above the node,
// so each cost keeps an optimal candidate, and the driver reads the best
// slack of every cost off the final levels. The frontier's last point is the
// flat engine's maximum slack.
//
// Ownership: the levels of finished subtrees live on this object's stack;
// their arrays come from and return to the workspace. After run() only the
// driver child's levels and the trace pool stay, until the next run or the
// destructor.
#include "frontier.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <cstring>
#include <numeric>
#include <unordered_map>
#include <vector>

#include "flat_core.h"
#include "walk.h"

using namespace flat_core;

namespace {

using Level = flat_core::CostLevel<FlatSet>;
using Levels = flat_core::CostLevels<FlatSet>;

// The scratch of the edges and the merges, freed at once after a run.
struct Scratch {
  std::vector<Newcomer> fresh;
  std::vector<Buffered> group;
  Levels new_levels;
  std::vector<SweepItem> items;
  RadixScratch radix;
  std::vector<SideEntry> side_stair[2];
  std::vector<CandArray> buckets;  // the merge's levels to be
  std::vector<double> least_load;  // of each dense bucket
  std::unordered_map<long long, size_t> sparse_bucket;
  std::vector<std::pair<long long, size_t>> bucket_cost;
};

}  // namespace

struct CostFrontier::Impl : Scratch {
  const Tables &T;
  Workspace ws;
  int young;
  std::vector<Levels> spare_levels;  // emptied level vectors kept for reuse

  bool uniform_area = true;  // every type has the same area
  long long unit = 1;        // gcd of the areas (1 when all are 0): every cost is a multiple

  FrontierEnd<FlatSet> end;  // the result
  Stats stats;

  Impl(const Tables &tables, bufins::Context &ctx, int young_records) : T(tables), ws(tables, ctx), young(young_records) {}
  ~Impl() { ws.release(end.levels, false); }

  void read_areas() {
    unit = 0;
    uniform_area = true;
    for (int i = 0; i < T.nb; i++) {
      unit = std::gcd(unit, T.area[i]);
      if (T.area[i] != T.area[0]) uniform_area = false;
    }
    if (unit == 0) unit = 1;
  }

  // The walk (walk.h).
  using Set = Levels;
  // A collection reads every live candidate: it waits until the young
  // records are as many as the live slots, so that it costs O(1) a record.
  bool collect_now() const {
    const bufins::Memory &m = ws.ctx.memory;
    return ws.young_count() >= (m.solutions_opened - m.solutions_freed) / sizeof(FlatCand);
  }
  Levels leaf(const Node *t) {
    Levels ls = take_levels();
    ls.push_back({0, sink_set<FlatSet>(ws, t)});
    if (T.nb > 0) build_hull(ws, ls[0].s);
    return ls;
  }
  void settle(Levels &ls, const Node *, double) {
    for (Level &lv : ls) compact(ws, lv.s, false);
  }
  Levels join(Levels &L, Levels &R, int index, double shear, const Node *) {
    Levels M = merge(L, R, index, shear);
    stats.max_levels = std::max(stats.max_levels, static_cast<int>(M.size()));
    ws.ctx.cost_levels = stats.max_levels;
    return M;
  }
  void release(Levels &ls) {
    ws.release(ls, true);
    spare_levels.push_back(std::move(ls));
  }
  Levels take_levels() {
    if (spare_levels.empty()) return Levels();
    Levels l = std::move(spare_levels.back());
    spare_levels.pop_back();
    return l;
  }
  static bool dead(const Levels &) { return false; }
  bool finish(Levels &ls, const Node *driver);

  void edge(Levels &ls, double k, int px, int py, bool merging, double shear, const Node * = nullptr);
  Levels merge(Levels &L, Levels &R, int index, double shear);
  void merge_sweep_items(const Levels &L, const Levels &R);
  void run();
};

// ---- Edge ----

void CostFrontier::Impl::edge(Levels &ls, double k, int px, int py, bool merging, double shear, const Node *) {
  double best[MAX_BUFFERTYPES], bq[MAX_BUFFERTYPES];
  int32_t bt[MAX_BUFFERTYPES];
  std::fill(best, best + T.nb, MINUS_INFINITY_TIME);
  auto make = [&](const Level &l) {
    if (l.s.hull.n == 0) return;
    best_per_type(ws, l.s, bq, bt);
    for (int j = 0; j < T.nb; j++) {
      const int i = ws.T.by_cb[j];
      // A cheaper level's buffer of this type does at least as well.
      if (!beats(bq[i], best[i])) continue;
      best[i] = bq[i];
      fresh.push_back({l.cost + T.area[i], {T.cb[i], bq[i], sheared(bq[i], T.cb[i], shear), bt[i], i}});
    }
  };
  auto add = [&](FlatSet &set, const Buffered *b, int m) { add_buffered(ws, set, b, m, px, py, merging); };
  // With equal areas the newcomers already come by level, each level's by load.
  if (!levels_edge(ws, ls, k, shear, !merging, fresh, group, new_levels, uniform_area, make, add) || merging) return;
  // Lazily kept dominated candidates: a level is compacted once it has doubled.
  for (Level &l : ls)
    if (l.s.a.n > 2 * l.s.base_n + 32) compact(ws, l.s, true);
}

// ---- Merge ----
//
// A merged candidate takes the earlier required time of its two parts, so
// each one is "x limits, y follows": q = q_x, c = c_x + c_y, cost = cost_x +
// cost_y, where y may be any candidate of the other branch with q_y >= q_x.
// Of those, only y's of least load for their cost matter: the (cost, load)
// staircase of the other branch's candidates with q_y >= q_x. So the
// candidates of both branches are swept by decreasing required time, each
// joining its own branch's staircase (where it displaces the candidates of
// no smaller cost and no smaller load) and pairing with every entry of the
// other branch's staircase. A pair met twice (equal required times) is met
// by whichever of the two comes second. The sweep makes each cost's merged
// candidates in decreasing required time, so one needs less load than the
// last one kept for its cost (plain dominance as they come), and each cost's
// array ends up sorted by load, largest first, as a level wants it; then the
// shear prunes it, and only its survivors get their merge traces.

// The candidates of both branches (compacted: real values), latest required
// time first.
void CostFrontier::Impl::merge_sweep_items(const Levels &L, const Levels &R) {
  sweep_items(L, R, unit, items);  // costs in units (see Impl::unit)
  const size_t n = items.size();
  if (n < 64) {
    std::sort(items.begin(), items.end(), [](const SweepItem &x, const SweepItem &y) { return x.q > y.q; });
    return;
  }
  sort_latest_first(items, radix);
}

Levels CostFrontier::Impl::merge(Levels &L, Levels &R, int index, double shear) {
  Levels M = take_levels();
  if (L.empty() || R.empty()) return M;
  merge_sweep_items(L, R);
  const long long base = (L.front().cost + R.front().cost) / unit;
  const long long range = (L.back().cost + R.back().cost) / unit - base + 1;
  // Each cost's merged candidates go straight into an array of their own
  // (the level to be). Dense costs index them directly, sparse ones by a map.
  const bool dense = range <= 4 * static_cast<long long>(items.size()) + 1024;
  buckets.clear();
  bucket_cost.clear();
  sparse_bucket.clear();
  if (dense) {
    buckets.resize(static_cast<size_t>(range));
    least_load.assign(static_cast<size_t>(range), std::numeric_limits<double>::infinity());
  }
  side_stair[0].clear();
  side_stair[1].clear();
  for (const SweepItem &x : items) {
    // A candidate that a cheaper one of its branch dominates (no less
    // required time, no more load) makes only dominated pairs.
    if (!stair_insert(side_stair[x.side], x)) continue;
    for (const SideEntry &e : side_stair[1 - x.side]) {
      const long long cost = x.cost + e.cost;
      const double c = x.c + e.c;
      // The cost's earlier candidates have no earlier required times: this
      // one needs less load than the last (and least) of them.
      CandArray *b;
      if (dense) {
        double &least = least_load[static_cast<size_t>(cost - base)];
        if (!(c < least)) continue;
        least = c;
        b = &buckets[static_cast<size_t>(cost - base)];
      } else {
        auto got = sparse_bucket.emplace(cost, buckets.size());
        if (got.second) buckets.emplace_back();
        b = &buckets[got.first->second];
        if (b->n > 0 && !(c < b->p[b->n - 1].c)) continue;
      }
      if (b->n == b->cap) {
        if (b->p == nullptr)
          *b = ws.take_array(4);
        else
          ws.grow(*b, b->n + 1);
      }
      // The two traces wait in (trace, type) until the candidate is kept.
      b->p[b->n++] = {c, x.q, x.side == 0 ? x.trace : e.trace, x.side == 0 ? e.trace : x.trace};
      stats.merged++;
    }
  }
  if (!dense) {
    for (const auto &kv : sparse_bucket) bucket_cost.push_back(kv);
    std::sort(bucket_cost.begin(), bucket_cost.end());
  }
  const size_t nbuckets = dense ? buckets.size() : bucket_cost.size();
  for (size_t k = 0; k < nbuckets; k++) {
    CandArray &a = dense ? buckets[k] : buckets[bucket_cost[k].second];
    const long long cost = dense ? base + static_cast<long long>(k) : bucket_cost[k].first;
    if (a.n == 0) continue;
    // Loads decrease along the array; from the least load up, the shear.
    FlatCand *p = a.p;
    int w = a.n;
    double last = MINUS_INFINITY_TIME;
    for (int i = a.n - 1; i >= 0; i--) {
      const double v = sheared(p[i].q, p[i].c, shear);
      if (!beats(v, last)) continue;
      last = v;
      p[--w] = p[i];
    }
    const int n = a.n - w;
    if (n == 0) {
      ws.recycle(a);
      continue;
    }
    if (w > 0) std::memmove(p, p + w, sizeof(FlatCand) * static_cast<size_t>(n));
    for (int i = 0; i < n; i++) {
      p[i].trace = ws.merge_trace(p[i].trace, p[i].type, index);
      p[i].type = -1;
    }
    a.n = n;
    Level lv{cost * unit, FlatSet{}};
    lv.s.shear = shear;
    lv.s.a = a;
    lv.s.base_n = n;
    a = CandArray{};
    if (T.nb > 0) build_hull(ws, lv.s);
    M.push_back(std::move(lv));
    stats.levels++;
  }
  return M;
}

// ---- The walk ----

void CostFrontier::Impl::run() {
  stats = Stats{};
  read_areas();
  run_walk(*this, ws, young);
  ws.end_run();
  spare_levels.clear();
  static_cast<Scratch &>(*this) = Scratch();
}

// The driver: every level compacted (not pruned by the shear, as the flat
// engine does not prune there) and its best slack.
bool CostFrontier::Impl::finish(Levels &ls, const Node *driver) {
  end.levels = std::move(ls);
  for (Level &l : end.levels) compact(ws, l.s, false, false);
  const double k1 = T.driver_wire(driver, &end.child_is_sink);
  end.make_points(ws, k1, false, [](const FlatCand &) { return true; });
  return true;
}

// ---- Public face ----

CostFrontier::CostFrontier(const Tables &tables, bufins::Context &ctx, int young_records)
    : impl_(new Impl(tables, ctx, young_records)) {}
CostFrontier::~CostFrontier() = default;

void CostFrontier::run() { impl_->run(); }
const std::vector<FrontierPoint> &CostFrontier::points() const { return impl_->end.points; }
const CostFrontier::Stats &CostFrontier::stats() const { return impl_->stats; }
bool CostFrontier::child_is_sink() const { return impl_->end.child_is_sink; }

std::vector<long long> CostFrontier::point_costs(const std::vector<long long> &areas) const {
  return impl_->end.point_sums(impl_->ws, areas);
}

bool CostFrontier::placements(int point, std::vector<bufins::Placement> &out) const {
  return impl_->end.placements(impl_->ws, point, out);
}

std::vector<bufins::Candidate> CostFrontier::candidates(int point, bool with_placements) const {
  return impl_->end.candidates(impl_->ws, point, with_placements, [](const FlatCand &x, const FlatCand &y) {
    return x.c < y.c || (x.c == y.c && x.q > y.q);
  });
}

// ---- Objectives ----

CostChoice choose_point(const std::vector<FrontierPoint> &points, const CostGoal &goal) {
  CostChoice r;
  if (points.empty()) {
    // No placement at all: a target or a budget is not met.
    r.met = goal.kind != CostObjective::TARGET && goal.kind != CostObjective::BUDGET;
    return r;
  }
  const int last = static_cast<int>(points.size()) - 1;
  const double best = points.back().slack;
  // The first point (least cost) whose slack reaches `floor`.
  auto least_cost_reaching = [&](double floor) {
    for (int i = 0; i <= last; i++)
      if (points[static_cast<size_t>(i)].slack >= floor) return i;
    return -1;
  };
  switch (goal.kind) {
    case CostObjective::NONE:
    case CostObjective::MIN_COST:
      r.point = last;
      break;
    case CostObjective::TARGET:
      r.point = least_cost_reaching(goal.slack);
      if (r.point < 0) {
        r.point = last;
        r.met = false;
      }
      break;
    case CostObjective::BUDGET:
      // Points are in increasing cost: the last one within the budget.
      for (int i = 0; i <= last && points[static_cast<size_t>(i)].cost <= goal.budget; i++) r.point = i;
      r.met = r.point >= 0;
      if (!r.met) r.point = last;
      break;
    case CostObjective::WITHIN:
      r.point = least_cost_reaching(best - goal.slack);
      break;
    case CostObjective::WITHIN_PERCENT:
      r.point = least_cost_reaching(best - goal.slack / 100.0 * std::fabs(best));
      break;
  }
  return r;
}
