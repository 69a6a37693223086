// The flat engine under limits (see flat_limits.h): the walk of flat.cpp
// over sets of (c, q, p) candidates, with the trace pool, the hull
// geometry and the storage counting of flat_core.h.
//
// Sets. LimSet keeps its candidates like a FlatSet: stored values (c, q, p)
// stand for the real load c + A, required time q - B·c - D and negated wire
// delay p - B·c - D, so a wire costs O(1) for the whole set. [0, base_n)
// holds the result of the last compaction or merge (real values, loads
// increasing, none dominated, each one drivable by some gate); [base_n, n)
// the buffered candidates added since. The hull holds copies of the vertices
// of the upper hull of the stored (c, q) points of all of them, loads
// decreasing, each copy's `type` naming its candidate's position in the
// array; it is rebuilt at every compaction and merge and takes an edge's
// newcomers by one monotone chain.
//
// Buffer choice. For a type of resistance R the best driven candidate
// maximises q - R·c among those the type may drive. The best hull vertex
// maximises it over all candidates: when the type may drive it, it is the
// answer. Otherwise the answer is found by walking the hull's edges outward
// from that vertex in order of their bound (on a hull edge between vertices
// u and w every candidate whose load lies between theirs is below the edge,
// so q - R·c there is at most the larger of the two vertices' values) and
// scanning the candidates of each edge's load range, until the bound is no
// better than the best drivable candidate found. The newcomers, not sorted
// yet, are scanned all.
//
// Dominance in three coordinates is taken at a compaction by a sweep in
// increasing load with a staircase of the sheared (q, p) pairs kept so far.
// A branch merge pairs every candidate a of one side with the candidates b
// of the other side that are no earlier: (a.c + b.c, a.q, min(a.p, b.p));
// of those only the ones whose p improves on every lighter partner can
// survive, so each scan stops when no heavier partner can improve p (a
// suffix maximum of p says so), and then the roles swap.
//
// Without a slew limit p is 0 throughout, and the merge of cost levels is
// the plain frontier's (frontier.cpp): two-coordinate staircases, one least
// load per cost, each cost's pairs made already in order of load.
#include "flat_limits.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <numeric>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "flat_core.h"
#include "walk.h"

using namespace flat_core;

namespace {

constexpr double NEG_INF = -std::numeric_limits<double>::infinity();

struct LimSet : flat_core::SetOf<LimCand> {
  uint64_t id = 0;  // names the set for cut_bounds (0: not yet; a compaction clears it)
};

inline double real_p(const LimSet &s, const LimCand &x) { return (x.p - s.B * x.c) - s.D; }

// A gate: its resistance and its load limit.
struct Gate {
  double r;
  double cap;
};

// A candidate a merge made, with the traces of its left and right parts.
struct Pair {
  double c, q, p;
  int32_t a, b;
};
// The same without a slew limit (p is 0).
struct LoadPair {
  double c, q;
  int32_t a, b;
};

// Order of a compaction's sweep: loads increasing, and at one load the
// better candidates first so that they dominate the rest.
template <typename C>
inline bool sweep_order(const C &u, const C &v) {
  if (u.c != v.c) return u.c < v.c;
  if (u.q != v.q) return u.q > v.q;
  return u.p > v.p;
}

using New = flat_core::Buffered;
using Level = flat_core::CostLevel<LimSet>;
using Levels = flat_core::CostLevels<LimSet>;

// The scratch of the set operations, freed at once after a run.
struct LimScratch {
  std::vector<LimCand> sorted, fresh;
  std::vector<std::pair<double, double>> stairs;
  std::vector<Pair> pairs;
  std::vector<double> prefix_q, suffix_p;
  // Over the compacted part of the last large set a buffer choice searched,
  // the largest stored p from each candidate on (heavier ones): it tells
  // from where on every candidate breaks the slew limit.
  uint64_t next_id = 1, bounded_id = 0;
  std::vector<double> heavier_p;
  // Of the levels' edge and merge.
  std::vector<flat_core::Newcomer> made;
  std::vector<New> group;
  Levels fresh_levels;
  std::vector<SweepItem> items;
  std::vector<SideEntry> side[2];  // none has another of no larger cost, no larger load and no smaller p
  flat_core::RadixScratch radix;
  std::vector<double> least_load;    // of each bucket
  std::vector<LoadPair> load_pairs;  // the merge's pairs without a slew limit
  std::vector<int32_t> pair_bucket;  // of each pair: its cost's bucket
  std::vector<int32_t> by_bucket;    // the pairs' positions, by bucket
  std::vector<int> bucket_start;     // of each bucket: its first entry in by_bucket
  std::vector<int> bucket_fill;
  std::unordered_map<long long, int32_t> sparse_bucket;
  std::vector<std::pair<long long, int32_t>> bucket_cost;
  std::map<long long, std::vector<Pair>> by_cost;
  std::map<long long, std::vector<std::pair<double, double>>> kept;  // per cost: (c, p), both increasing
};

// The building blocks of both limited programmes (the maximum slack, and the
// slack-cost frontier): the workspace, the gates, the set operations, over a
// single set (LimSet) and over cost levels (Levels) alike.
struct LimCore : LimScratch {
  const Tables &T;
  Limits lim;
  double max_slew;
  int young;
  Workspace ws;
  Gate driver_gate{};
  Gate type_gate[MAX_BUFFERTYPES]{};
  std::vector<Gate> any_gate;     // gates none of which another beats (less resistance, no smaller limit)
  std::vector<Gate> driver_only;  // the driver
  int small_set;
  long long unit = 1;  // gcd of the areas (1 when all are 0): every cost is a multiple
  int dead_at = -1;  // after a failed run: see FlatLimited::dead_end()

  LimCore(const Tables &tables, bufins::Context &ctx, const Limits &l, const LimitedTuning &t)
      : T(tables), lim(l), max_slew(l.max_slew), young(t.young_records), ws(tables, ctx), small_set(t.small_set) {}

  // A run of engine e (walk.h, deriving from this core) with the gates of
  // the limits; after a failed run e.forget() drops what e kept of it.
  // False when no buffer assignment meets the limits.
  template <typename E>
  bool run_engine(E &e) {
    driver_gate = {T.rd, gate_max_cap(T, 0, lim)};
    any_gate.clear();
    driver_only.assign(1, driver_gate);
    std::vector<Gate> all{driver_gate};
    for (int i = 0; i < T.nb; i++) {
      type_gate[i] = {T.rb[i], gate_max_cap(T, i + 1, lim)};
      all.push_back(type_gate[i]);
    }
    unit = 0;
    for (int i = 0; i < T.nb; i++) unit = std::gcd(unit, T.area[i]);
    if (unit == 0) unit = 1;
    for (const Gate &g : all) {
      bool beaten = false;
      for (const Gate &o : all)
        if (&o != &g && o.r <= g.r && o.cap >= g.cap && (o.r < g.r || o.cap > g.cap || &o < &g)) beaten = true;
      if (!beaten) any_gate.push_back(g);
    }
    dead_at = run_walk(e, ws, young);
    if (dead_at >= 0) e.forget();
    // Storage no longer needed once the answer is known.
    ws.end_run();
    static_cast<LimScratch &>(*this) = LimScratch();
    return dead_at < 0;
  }

  // The gates that may drive candidates at a node below `up`.
  const std::vector<Gate> &gates_above(const Node *up) const {
    return up->kind == NodeKind::driver ? driver_only : any_gate;
  }

  bool fits(const Gate &g, double c, double p) const { return c <= g.cap && LN9 * (g.r * c - p) <= max_slew; }
  bool drivable(const std::vector<Gate> &gates, double c, double p) const {
    for (const Gate &g : gates)
      if (fits(g, c, p)) return true;
    return false;
  }

  // ---- Storage (the workspace's, counted as the flat engine's) ----
  // Drops the levels a compaction emptied.
  void drop_empty(Levels &ls) {
    auto emptied = [&](Level &l) {
      if (l.s.a.n > 0) return false;
      ws.release(l.s, true);
      return true;
    };
    ls.erase(std::remove_if(ls.begin(), ls.end(), emptied), ls.end());
  }

  // ---- Hull ----
  static FlatCand copy_of(const LimCand &x, int at) { return {x.c, x.q, x.trace, at}; }
  // Hull of a compacted set (loads increasing in the array).
  void build_hull(LimSet &s) {
    CandArray &h = s.hull;
    if (h.p == nullptr) h = ws.take_array(s.a.n);
    ws.grow(h, s.a.n);
    int top = 0;
    for (int i = s.a.n - 1; i >= 0; i--) flat_core::push_vertex(h.p, top, copy_of(s.a.p[i], i));
    h.n = top;
  }
  // The hull with the newcomers at [from, n) (loads decreasing) merged in.
  void add_to_hull(LimSet &s, int from) {
    if (s.hull.p == nullptr) s.hull = ws.take_array(s.a.n - from);
    FlatCand x;
    flat_core::chain_into_hull(
        ws, s.hull, s.a.n - from, [&](int j) { return s.a.p[from + j].c; },
        [&](int j, const FlatCand *) { return &(x = copy_of(s.a.p[from + j], from + j)); });
  }

  // ---- Compaction ----
  // Applies the pending update and keeps the candidates that some gate of
  // `gates` may drive and that no other dominates after the shear; the
  // result is compacted (loads increasing) with its hull built.
  void compact(LimSet &s, const std::vector<Gate> &gates, double shear) {
    const int n = s.a.n, base = s.base_n;
    fresh.resize(static_cast<size_t>(n));
    // Without a slew limit p decides nothing (no gate's choice depends on
    // it): it is set to 0, so that dominance is taken in (c, q) alone and the
    // three-coordinate sets of load limits alone are as small as plain ones.
    for (int i = 0; i < n; i++) {
      const LimCand &x = s.a.p[i];
      fresh[static_cast<size_t>(i)] = {real_c(s, x), real_q(s, x), max_slew < NO_LIMIT ? real_p(s, x) : 0.0, x.trace, -1};
    }
    std::sort(fresh.begin() + base, fresh.end(), sweep_order<LimCand>);
    // The compacted part keeps its order under the pending update (equal
    // loads move alike); a rounding that makes two loads equal only leaves a
    // dominated candidate for the sweep to keep, which is harmless.
    sorted.resize(static_cast<size_t>(n));
    std::merge(fresh.begin(), fresh.begin() + base, fresh.begin() + base, fresh.end(), sorted.begin(),
               sweep_order<LimCand>);
    s.a.n = sweep(sorted.data(), n, s.a.p, gates, shear);
    s.base_n = s.a.n;
    s.A = s.B = s.D = 0.0;
    s.id = 0;
    build_hull(s);
  }
  void compact(Levels &ls, const std::vector<Gate> &gates, double shear) {
    for (Level &l : ls) compact(l.s, gates, shear);
    drop_empty(ls);
  }

  // The dominance sweep over `in` (sweep order, real values): writes the
  // survivors to `out` and returns their number. `in` may be `out`.
  int sweep(const LimCand *in, int n, LimCand *out, const std::vector<Gate> &gates, double shear) {
    stairs.clear();  // (sheared q, sheared p) of survivors: q increasing, p decreasing
    int w = 0;
    for (int i = 0; i < n; i++) {
      const LimCand x = in[i];
      if (!drivable(gates, x.c, x.p)) continue;
      const double sq = x.q - shear * x.c, sp = x.p - shear * x.c;
      // First stair not clearly below sq: the one of largest p among those
      // that are no earlier (within the required-time tolerance).
      auto at = std::partition_point(stairs.begin(), stairs.end(),
                                     [sq](const std::pair<double, double> &u) { return beats(sq, u.first); });
      if (at != stairs.end() && sp <= at->second) continue;
      // Stairs that the new one dominates: just before `at`, p <= sp.
      auto from = at;
      while (from != stairs.begin() && (from - 1)->second <= sp) --from;
      flat_core::stair_put(stairs, from, at, {sq, sp});
      out[w++] = x;
    }
    return w;
  }

  // ---- Buffer choice ----
  // Brings heavier_p up to the set.
  void cut_bounds(LimSet &s) {
    if (s.id == 0) s.id = next_id++;
    if (bounded_id == s.id) return;
    bounded_id = s.id;
    heavier_p.resize(static_cast<size_t>(s.base_n) + 1);
    heavier_p[static_cast<size_t>(s.base_n)] = NEG_INF;
    for (int k = s.base_n - 1; k >= 0; k--) heavier_p[k] = std::max(heavier_p[k + 1], s.a.p[k].p);
  }

  // Best driven candidate of type i: real required time at the buffer's
  // input (bq) and trace (bt); false when the type may drive none.
  bool best_for_type(LimSet &s, int i, double *bq, int32_t *bt) {
    const Gate &g = type_gate[i];
    const double *rb = T.rb;
    const double slope = s.B + rb[i];
    const CandArray &h = s.hull;
    auto value = [slope](const LimCand &x) { return x.q - slope * x.c; };
    auto usable = [&](const LimCand &x) { return fits(g, real_c(s, x), real_p(s, x)); };
    const int top = flat_core::best_vertex_at(h, slope);
    const LimCand *best = nullptr;
    const LimCand &v = s.a.p[h.p[top].type];
    if (usable(v)) {
      best = &v;
    } else {
      // Stored loads above `heavy` break the type's load limit (a margin
      // for the rounding of c + A: the candidates within it are tested).
      const double heavy = g.cap < NO_LIMIT ? (g.cap - s.A) + 1e-12 * (std::fabs(g.cap) + std::fabs(s.A))
                                            : std::numeric_limits<double>::infinity();
      double best_v = NEG_INF;
      auto consider = [&](const LimCand &x) {
        if (x.c <= heavy && value(x) > best_v && usable(x)) {
          best_v = value(x);
          best = &x;
        }
      };
      // The newcomers (not sorted yet) are read all.
      const LimCand *a = s.a.p;
      const int base = s.base_n;
      for (int k = base; k < s.a.n; k++) consider(a[k]);
      // Where the slew limit cuts, on a large set: a candidate breaks it when
      // its stored p - slope·c is below `need`; in the compacted part (loads
      // increasing) every candidate from `cut` on does, as the largest p
      // from there on less slope times the load at `cut` shows.
      int cut = base;
      if (max_slew < NO_LIMIT && s.a.n > small_set) {
        cut_bounds(s);
        const double need = (s.D + rb[i] * s.A) - max_slew / LN9;
        cut = int(std::partition_point(a, a + base, [&](const LimCand &x) {
                    const double p = heavier_p[static_cast<size_t>(&x - a)], v = p - slope * x.c;
                    return !(v < need - 1e-9 * (1.0 + std::fabs(need) + std::fabs(p) + std::fabs(slope * x.c)));
                  }) - a);
      }
      // No compacted candidate heavier than `reach` is within both limits.
      const double reach = std::min(heavy, cut > 0 ? a[cut - 1].c : NEG_INF);
      // The compacted candidates of the hull edge from vertex k to k + 1:
      // loads from h.p[k + 1].c to h.p[k].c, a range of the compacted part.
      auto vertex_value = [&](int k) { return h.p[k].q - slope * h.p[k].c; };
      auto scan_edge = [&](int k) {
        const double hi = std::min(h.p[k].c, heavy), lo = h.p[k + 1].c;
        if (!(lo <= hi)) return;
        const LimCand *from = std::lower_bound(a, a + cut, lo, [](const LimCand &x, double y) { return x.c < y; });
        for (const LimCand *x = from; x < a + cut && x->c <= hi; x++) consider(*x);
      };
      // By hull edges outward from the top vertex, the edge of the best
      // bound (its better end) first, until no bound beats the best
      // candidate found.
      int left = top, right = top;  // edges (left-1, left) and (right, right+1) next
      if (h.p[top].c > reach) {
        // The top vertex and every heavier one hold no compacted candidate
        // within both limits: the search starts at the edge that crosses
        // the reach, towards lighter loads.
        left = 0;
        right = std::max(top, flat_core::hull_position(h, reach) - 1);
      }
      if (h.n == 1)
        for (int k = 0; k < cut; k++) consider(a[k]);  // one vertex: every candidate has its load
      while (true) {
        const double lb = left > 0 ? std::max(vertex_value(left - 1), vertex_value(left)) : NEG_INF;
        const double rbnd = right + 1 < h.n ? std::max(vertex_value(right + 1), vertex_value(right)) : NEG_INF;
        if (std::max(lb, rbnd) <= best_v) break;
        if (lb >= rbnd) {
          scan_edge(left - 1);
          left--;
        } else {
          scan_edge(right);
          right++;
        }
      }
    }
    if (best == nullptr) return false;
    *bq = (real_q(s, *best) - T.tb[i]) - (rb[i] * real_c(s, *best));
    *bt = best->trace;
    return true;
  }

  // ---- Edge and merge ----
  // The buffered candidates at px of the set (one per type that may drive
  // one of its candidates, and that a gate of `above` may drive in turn),
  // by increasing load, into buf, their number returned. With `prune` each
  // beats the previous one sheared (they are of one cost). With best (one
  // entry per type), a type whose best is no later than best[i] is left out
  // (a cheaper level's buffer of that type does as well) and best[i] raised.
  int buffered(LimSet &s, double shear, const std::vector<Gate> &above, New *buf, double *best,
               bool prune = true) {
    int m = 0;
    const double *cb = T.cb;
    for (int j = 0; j < T.nb; j++) {
      const int i = ws.T.by_cb[j];
      double bq;
      int32_t bt;
      if (!drivable(above, cb[i], 0.0) || !best_for_type(s, i, &bq, &bt)) continue;
      if (best != nullptr) {
        if (!beats(bq, best[i])) continue;
        best[i] = bq;
      }
      const double v = bq - shear * cb[i];
      if (prune && m > 0 && !beats(v, buf[m - 1].v)) continue;
      if (prune && m > 0 && buf[m - 1].c == cb[i]) m--;  // same load, later required time
      buf[m++] = {cb[i], bq, v, bt, i};
    }
    return m;
  }

  // Appends buf[0..m) (by increasing load) to the set as buffers at node px
  // on the wire to py. Without `merging` (a merge compacts next) the hull
  // takes them and the set is compacted once it has doubled.
  void append(LimSet &s, const New *buf, int m, int px, int py, bool merging, const std::vector<Gate> &above) {
    if (m == 0) return;
    ws.grow(s.a, s.a.n + m);
    const int from = s.a.n;
    // Newcomers by decreasing load, as the hull takes them.
    for (int j = m - 1; j >= 0; j--) {
      const double sc = buf[j].c - s.A, shift = s.B * sc + s.D;
      s.a.p[s.a.n++] = {sc, buf[j].q + shift, shift, ws.make_trace(buf[j].below, py, px, buf[j].type + 1),
                        buf[j].type};
    }
    if (merging) return;
    add_to_hull(s, from);
    if (s.a.n > 2 * s.base_n + 32) compact(s, above, s.shear);
  }

  // The edge from node px to its child py of length k: the set carried up
  // the wire, plus one buffered candidate per type at px that has a
  // drivable candidate. up: the node above px, whose gates may drive the set.
  void edge(LimSet &s, double k, int px, int py, bool merging, double shear, const Node *up) {
    const std::vector<Gate> &above = gates_above(up);
    s.shear = shear;
    flat_core::add_wire(T, s, k);
    if (T.nb == 0 || s.a.n == 0) return;
    New buf[MAX_BUFFERTYPES];
    append(s, buf, buffered(s, shear, above, buf, nullptr), px, py, merging, above);
  }

  // Merge of two compacted sets at node `index`.
  LimSet join(const LimSet &L, const LimSet &R, int index, double shear, const Node *up) {
    pairs.clear();
    pair_up(L.a, R.a, false);
    pair_up(R.a, L.a, true);
    return set_of_pairs(index, shear, gates_above(up));
  }

  // The set of the merged candidates in `pairs` at node `index`: sorted,
  // swept (shear, drivability, dominance), the survivors' traces joined.
  LimSet set_of_pairs(int index, double shear, const std::vector<Gate> &above) {
    std::sort(pairs.begin(), pairs.end(), sweep_order<Pair>);
    LimSet M;
    M.shear = shear;
    M.a = ws.take_array<LimCand>(static_cast<int>(pairs.size()));
    sorted.resize(pairs.size());
    for (size_t k = 0; k < pairs.size(); k++)
      sorted[k] = {pairs[k].c, pairs[k].q, pairs[k].p, static_cast<int32_t>(k), -1};
    const int n = sweep(sorted.data(), static_cast<int>(pairs.size()), M.a.p, above, shear);
    for (int k = 0; k < n; k++) {
      const Pair &pr = pairs[static_cast<size_t>(M.a.p[k].trace)];
      M.a.p[k].trace = ws.merge_trace(pr.a, pr.b, index);
    }
    M.a.n = n;
    M.base_n = n;
    build_hull(M);
    return M;
  }

  // Every pair (x of X, y of Y) in which x gives the required time (y no
  // earlier; strictly later when `swapped`) and whose p beats every lighter
  // such partner of x. `swapped`: X is the right branch.
  void pair_up(const LimArray &X, const LimArray &Y, bool swapped) {
    const int m = Y.n;
    prefix_q.resize(static_cast<size_t>(m));
    suffix_p.resize(static_cast<size_t>(m) + 1);
    for (int j = 0; j < m; j++) prefix_q[j] = j == 0 ? Y.p[0].q : std::max(prefix_q[j - 1], Y.p[j].q);
    suffix_p[m] = NEG_INF;
    for (int j = m - 1; j >= 0; j--) suffix_p[j] = std::max(suffix_p[j + 1], Y.p[j].p);
    for (int i = 0; i < X.n; i++) {
      const LimCand &x = X.p[i];
      auto later = [&](double q) { return swapped ? q > x.q : q >= x.q; };
      const auto start = std::partition_point(prefix_q.begin(), prefix_q.end(), [&](double q) { return !later(q); });
      int j = static_cast<int>(start - prefix_q.begin());
      double best_p = NEG_INF;
      for (; j < m && suffix_p[j] > best_p; j++) {
        const LimCand &y = Y.p[j];
        if (!later(y.q)) continue;
        const double p = std::min(x.p, y.p);
        if (p <= best_p) continue;
        best_p = p;
        if (swapped)
          pairs.push_back({x.c + y.c, x.q, p, y.trace, x.trace});
        else
          pairs.push_back({x.c + y.c, x.q, p, x.trace, y.trace});
        if (y.p >= x.p) break;
      }
    }
  }

  // Every level carried up the wire; each level's buffered candidates join
  // the level of their cost.
  void edge(Levels &ls, double k, int px, int py, bool merging, double shear, const Node *up) {
    const std::vector<Gate> &above = gates_above(up);
    double best[MAX_BUFFERTYPES];
    std::fill(best, best + T.nb, NEG_INF);
    New buf[MAX_BUFFERTYPES];
    levels_edge(
        ws, ls, k, shear, false, made, group, fresh_levels, false,
        [&](Level &l) {
          const int m = buffered(l.s, shear, above, buf, best, false);
          for (int j = 0; j < m; j++) made.push_back({l.cost + T.area[buf[j].type], buf[j]});
        },
        [&](LimSet &set, const New *b, int m) { append(set, b, m, px, py, merging, above); });
    drop_empty(ls);
  }

  // The merge of two branches' levels (compacted) at node `index`: see
  // flat_limits.h. A pair made when its second part is met keeps the first
  // part's required time no later than the second's, so each cost keeps a
  // merged candidate only when no earlier one of that cost has no more load
  // and no smaller p (without a slew limit: no more load).
  Levels join(const Levels &L, const Levels &R, int index, double shear, const Node *up) {
    const std::vector<Gate> &above = gates_above(up);
    Levels M = max_slew < NO_LIMIT ? join_slew(L, R, index, shear, above) : join_loads(L, R, index, shear, above);
    ws.ctx.cost_levels = std::max(ws.ctx.cost_levels, static_cast<long long>(M.size()));
    return M;
  }

  // The merge without a slew limit, where p is 0 throughout (see compact):
  // dominance in (cost, load) at the sweep, as in the frontier of
  // frontier.cpp. Each cost's pairs come by decreasing required time, each
  // lighter than the last one kept, so a cost's pairs, read backwards, are
  // by increasing load; the shear and the gates' load limits then prune them
  // as the sweep of compact does.
  Levels join_loads(const Levels &L, const Levels &R, int index, double shear, const std::vector<Gate> &above) {
    flat_core::sweep_items(L, R, unit, items);
    if (items.size() < 64)
      std::stable_sort(items.begin(), items.end(), [](const SweepItem &u, const SweepItem &v) { return u.q > v.q; });
    else
      flat_core::sort_latest_first(items, radix);
    const long long base = (L.front().cost + R.front().cost) / unit;
    const long long range = (L.back().cost + R.back().cost) / unit - base + 1;
    // Dense costs index their buckets directly, sparse ones by a map.
    const bool dense = range <= 4 * static_cast<long long>(items.size()) + 1024;
    least_load.clear();
    sparse_bucket.clear();
    if (dense) least_load.assign(static_cast<size_t>(range), std::numeric_limits<double>::infinity());
    side[0].clear();
    side[1].clear();
    load_pairs.clear();
    pair_bucket.clear();
    for (const SweepItem &x : items) {
      if (!flat_core::stair_insert(side[x.side], x)) continue;
      for (const SideEntry &e : side[1 - x.side]) {
        const long long cost = x.cost + e.cost;
        const double c = x.c + e.c;
        int32_t b;
        if (dense) {
          b = static_cast<int32_t>(cost - base);
        } else {
          auto got = sparse_bucket.emplace(cost, static_cast<int32_t>(least_load.size()));
          if (got.second) least_load.push_back(std::numeric_limits<double>::infinity());
          b = got.first->second;
        }
        // The cost's earlier pairs have no earlier required times.
        double &least = least_load[static_cast<size_t>(b)];
        if (!(c < least)) continue;
        least = c;
        load_pairs.push_back({c, x.q, x.side == 0 ? x.trace : e.trace, x.side == 0 ? e.trace : x.trace});
        pair_bucket.push_back(b);
      }
    }
    // The buckets in increasing cost, and the pairs by bucket (a counting
    // sort that keeps each cost's pairs in the order they were made).
    const size_t nb = least_load.size();
    bucket_cost.clear();
    if (dense) {
      for (size_t k = 0; k < nb; k++) bucket_cost.push_back({base + static_cast<long long>(k), static_cast<int32_t>(k)});
    } else {
      for (const auto &kv : sparse_bucket) bucket_cost.push_back(kv);
      std::sort(bucket_cost.begin(), bucket_cost.end());
    }
    bucket_start.assign(nb + 1, 0);
    for (int32_t b : pair_bucket) bucket_start[static_cast<size_t>(b) + 1]++;
    for (size_t k = 0; k < nb; k++) bucket_start[k + 1] += bucket_start[k];
    by_bucket.resize(load_pairs.size());
    bucket_fill.assign(bucket_start.begin(), bucket_start.end() - 1);
    for (size_t k = 0; k < load_pairs.size(); k++)
      by_bucket[static_cast<size_t>(bucket_fill[static_cast<size_t>(pair_bucket[k])]++)] = static_cast<int32_t>(k);
    Levels M;
    for (const auto &bc : bucket_cost) {
      const int from = bucket_start[static_cast<size_t>(bc.second)], to = bucket_start[static_cast<size_t>(bc.second) + 1];
      if (from == to) continue;
      LimSet s;
      s.shear = shear;
      s.a = ws.take_array<LimCand>(to - from);
      int n = 0;
      double last = NEG_INF;
      // By increasing load: the gates' limits end the cost's pairs, the shear prunes them.
      for (int k = to - 1; k >= from; k--) {
        const int32_t at = by_bucket[static_cast<size_t>(k)];
        const LoadPair &x = load_pairs[static_cast<size_t>(at)];
        if (!drivable(above, x.c, 0.0)) break;
        const double v = x.q - shear * x.c;
        if (n > 0 && !beats(v, last)) continue;
        last = v;
        s.a.p[n++] = {x.c, x.q, 0.0, at, -1};
      }
      for (int k = 0; k < n; k++) {
        const LoadPair &pr = load_pairs[static_cast<size_t>(s.a.p[k].trace)];
        s.a.p[k].trace = ws.merge_trace(pr.a, pr.b, index);
      }
      s.a.n = s.base_n = n;
      build_hull(s);
      if (n == 0)
        ws.release(s, true);
      else
        M.push_back({bc.first * unit, s});
    }
    return M;
  }

  // The merge under a slew limit: dominance in (cost, load, p), each
  // branch's set read whole at every candidate, a staircase per cost.
  Levels join_slew(const Levels &L, const Levels &R, int index, double shear, const std::vector<Gate> &above) {
    flat_core::sweep_items(L, R, 1, items);
    std::stable_sort(items.begin(), items.end(), [](const SweepItem &u, const SweepItem &v) { return u.q > v.q; });
    side[0].clear();
    side[1].clear();
    by_cost.clear();
    kept.clear();
    for (const SweepItem &x : items) {
      std::vector<SideEntry> &own = side[x.side];
      bool beaten = false;
      for (const SideEntry &e : own)
        if (e.cost <= x.cost && e.c <= x.c && e.p >= x.p) {
          beaten = true;
          break;
        }
      // Dominated by a candidate of its branch that is no later: every pair
      // it makes is dominated by that one's.
      if (beaten) continue;
      own.erase(std::remove_if(own.begin(), own.end(),
                               [&](const SideEntry &e) { return x.cost <= e.cost && x.c <= e.c && x.p >= e.p; }),
                own.end());
      own.push_back({x.cost, x.c, x.p, x.trace});
      for (const SideEntry &e : side[1 - x.side]) {
        const long long cost = x.cost + e.cost;
        const double c = x.c + e.c, p = std::min(x.p, e.p);
        std::vector<std::pair<double, double>> &st = kept[cost];
        // The kept pair of largest load not above c has the largest p of those.
        auto up = std::upper_bound(st.begin(), st.end(), c,
                                   [](double v, const std::pair<double, double> &u) { return v < u.first; });
        if (up != st.begin() && std::prev(up)->second >= p) continue;
        auto from = std::lower_bound(st.begin(), st.end(), c,
                                     [](const std::pair<double, double> &u, double v) { return u.first < v; });
        auto to = from;
        while (to != st.end() && to->second <= p) ++to;
        flat_core::stair_put(st, from, to, {c, p});
        const int32_t left = x.side == 0 ? x.trace : e.trace, right = x.side == 0 ? e.trace : x.trace;
        by_cost[cost].push_back({c, x.q, p, left, right});
      }
    }
    Levels M;
    for (auto &kv : by_cost) {
      pairs.swap(kv.second);
      LimSet s = set_of_pairs(index, shear, above);
      if (s.a.n == 0) {
        ws.release(s, true);
      } else {
        M.push_back({kv.first, s});
      }
      pairs.swap(kv.second);
    }
    return M;
  }

  // Whether the driver may drive a compacted candidate of its child (wire k1).
  auto driver_drives(double k1) const {
    const double wire = (((T.r0 * 0.5) * T.c0) * k1) * k1;
    return [this, k1, wire](const LimCand &x) {
      return fits(driver_gate, x.c + k1 * T.c0, (x.p - wire) - (T.r0 * k1) * x.c);
    };
  }
};

// The walk's engine (walk.h) over sets S (a LimSet, or Levels): what both
// limited programmes do below the driver.
template <typename S>
struct LimWalker : LimCore {
  using Set = S;
  using LimCore::LimCore;

  static bool collect_now() { return true; }
  static bool dead(const LimSet &s) { return s.a.n == 0; }
  static bool dead(const Levels &ls) { return ls.empty(); }
  // A branch's sets after the merge: a single set's storage is kept for
  // reuse, levels are freed.
  void release(S &s) { ws.release(s, std::is_same<S, LimSet>::value); }
  void settle(S &s, const Node *up, double shear) { compact(s, gates_above(up), shear); }

  S leaf(const Node *t) {
    LimSet s = flat_core::sink_set<LimSet>(ws, t);
    if (T.nb > 0) build_hull(s);
    if constexpr (std::is_same<S, LimSet>::value)
      return s;
    else
      return Levels{Level{0, s}};
  }
};

}  // namespace

// ---- The maximum slack under limits ----

struct FlatLimited::Impl : LimWalker<LimSet> {
  LimSet final_set;
  int winner = -1;
  bool child_is_sink = false;
  double answer = MINUS_INFINITY_TIME;

  using LimWalker::LimWalker;
  ~Impl() { ws.release(final_set, false); }

  // At the driver: the driver's wire and gate over its child's candidates.
  bool finish(LimSet &s, const Node *t) {
    final_set = s;
    s = LimSet{};
    compact(final_set, driver_only, 0.0);
    const double k1 = T.driver_wire(t, &child_is_sink);
    return driver_best(T, final_set, k1, true, driver_drives(k1), &answer, &winner);
  }

  void forget() {
    answer = MINUS_INFINITY_TIME;
    winner = -1;
    ws.release(final_set, false);
  }
};

FlatLimited::FlatLimited(const Tables &tables, bufins::Context &ctx, const Limits &limits,
                         const LimitedTuning &tuning)
    : impl_(new Impl(tables, ctx, limits, tuning)) {}
FlatLimited::~FlatLimited() = default;

bool FlatLimited::run() { return impl_->run_engine(*impl_); }
double FlatLimited::slack() const { return impl_->answer; }
int FlatLimited::dead_end() const { return impl_->dead_at; }
bool FlatLimited::child_is_sink() const { return impl_->child_is_sink; }

std::vector<bufins::Candidate> FlatLimited::candidates(bool with_placements) const {
  const Impl &m = *impl_;
  const LimCand *a = m.final_set.a.p;
  return m.ws.listing(a, a + m.final_set.a.n, with_placements && !m.child_is_sink);
}

bool FlatLimited::placements(std::vector<bufins::Placement> &out) const {
  const Impl &m = *impl_;
  if (m.winner < 0 || m.child_is_sink) return false;
  m.ws.placements(m.final_set.a.p[m.winner].trace, out);
  return true;
}

// ---- The slack-cost frontier under limits ----

struct LimitedFrontier::Impl : LimWalker<Levels> {
  flat_core::FrontierEnd<LimSet> end;

  using LimWalker::LimWalker;
  ~Impl() { ws.release(end.levels, false); }

  // At the driver: every level's best slack that the driver's gate allows.
  bool finish(Levels &ls, const Node *t) {
    end.levels = std::move(ls);
    compact(end.levels, driver_only, 0.0);
    const double k1 = T.driver_wire(t, &end.child_is_sink);
    return end.make_points(ws, k1, true, driver_drives(k1));
  }

  void forget() {
    end.points.clear();
    end.refs.clear();
    ws.release(end.levels, false);
  }
};

LimitedFrontier::LimitedFrontier(const Tables &tables, bufins::Context &ctx, const Limits &limits,
                                 const LimitedTuning &tuning)
    : impl_(new Impl(tables, ctx, limits, tuning)) {}
LimitedFrontier::~LimitedFrontier() = default;

bool LimitedFrontier::run() { return impl_->run_engine(*impl_); }
const std::vector<FrontierPoint> &LimitedFrontier::points() const { return impl_->end.points; }
int LimitedFrontier::dead_end() const { return impl_->dead_at; }
bool LimitedFrontier::child_is_sink() const { return impl_->end.child_is_sink; }

std::vector<long long> LimitedFrontier::point_costs(const std::vector<long long> &areas) const {
  return impl_->end.point_sums(impl_->ws, areas);
}

bool LimitedFrontier::placements(int point, std::vector<bufins::Placement> &out) const {
  return impl_->end.placements(impl_->ws, point, out);
}

std::vector<bufins::Candidate> LimitedFrontier::candidates(int point, bool with_placements) const {
  return impl_->end.candidates(impl_->ws, point, with_placements, sweep_order<LimCand>);
}
