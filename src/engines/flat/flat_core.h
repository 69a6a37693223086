// Building blocks of the flat engines: candidate arrays sorted by load with
// a pending affine wire update, the upper convex hull that gives the best
// candidate per buffer type, compaction with (sheared) dominance pruning, the
// two-pointer branch merge, and the 16-byte trace pool with its generational
// collection. The flat engine (flat.*) is one walk of the routing tree over
// these; the cost-aware programme (frontier.*) keeps one such set per cost.
//
// Central idea: a wire changes every candidate of a set by the same affine
// map (q -= D + R·c, c += C), so it is kept as one pending update of the
// whole set (FlatSet) and costs O(1); the update is a shear of the (c, q)
// plane, so the upper hull of the stored points stays the hull. The best
// candidate for a buffer of resistance R maximises q - R·c and lies on that
// hull. Candidates off the hull stay in the set: after a branch merge they
// can be the best. The hull is kept as a small array of copies of its
// vertices, so an edge's buffered candidates cost an append to the set and
// one merge into the hull, whatever their loads; the set is sorted and
// cleared of dominated candidates lazily (a compaction once it has doubled,
// and before every merge); meanwhile they never win a buffer. Dominance is
// taken after a shear by the least resistance that can still drive the
// node's candidates (see "Pruning"), which drops more of them than plain
// dominance and keeps the optimum.
//
// Traces: small records (FlatTrace, 16 bytes) appended to a pool; index 0 is
// the empty trace. Only buffer and merge records exist (a wire leaves a
// candidate's trace unchanged), and a merge with an empty side is no record
// at all. Records are not freed one by one: a generational collection
// between two nodes of the walk keeps what the caller's sets still reach
// (see "Trace pool" in flat_core.cpp).
//
// Shared by the whole family: one candidate array template (Array<C>, of
// FlatCand here and of LimCand, which adds a stage's wire delay, in the
// limited engines) whose storage only the workspace grows, counts and
// recycles; one cost-level container (CostLevel, levels_edge()) for the two
// frontiers; and check_set(), the invariants of a set at rest, asserted by
// the operations in Debug builds.
//
// Ownership: a Workspace owns the trace pool, the spare arrays kept for
// reuse and the scratch of compaction and collection; the arrays of a set
// belong to whoever holds the set and are given back to the workspace
// (recycle) or freed (free_storage). One engine run uses one workspace.
//
// Memory figures (the run's Context): solutions opened / freed grow by the
// bytes of candidate-array storage allocated / released (real capacities, 24
// bytes a slot); traces opened / freed by 16 per trace record made / dropped
// by a collection. max_space is sampled after every array growth and before
// every collection, the only moments memory stops growing. Not counted: the
// pool's capacity beyond its records and the scratch buffers (at most a few
// words per live candidate or young record).
#pragma once

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <malloc.h>
#include <string>
#include <tuple>
#include <vector>

#include "bufins/model.h"
#include "bufins/result.h"
#include "context.h"

namespace flat_core {

using bufins::Node;
using bufins::NodeKind;

// What the engines read of the model, in the units they compute in
// (capacitances / 1000, as the readers have always divided them), made once
// per run. The nodes are the model's own (read only).
struct Tables {
  int nb = 0;  // buffer types
  double rb[MAX_BUFFERTYPES] = {};
  double cb[MAX_BUFFERTYPES] = {};
  double tb[MAX_BUFFERTYPES] = {};
  long long area[MAX_BUFFERTYPES] = {};
  double max_cap[MAX_BUFFERTYPES] = {};  // NO_LIMIT when the type has none
  double rd = 0.0, r0 = 0.0, c0 = 0.0;
  double driver_max_cap = NO_LIMIT;
  const Node *nodes = nullptr;  // [0] is the driver
  int n_nodes = 0;
  // Types sorted by input capacitance, smallest first (insertion by load),
  // and by resistance, smallest first (best vertices in one walk).
  int by_cb[MAX_BUFFERTYPES] = {};
  int by_rb[MAX_BUFFERTYPES] = {};
  double least_gate = 0.0;  // least driving resistance: the driver's or a buffer's

  // The net must be linked and the library hold at most MAX_BUFFERTYPES types.
  Tables(const bufins::Net &net, const bufins::Library &lib);

  const Node *child(const Node *t, int which) const { return nodes + (which == 0 ? t->left : t->right); }
  int position(const Node *t) const { return static_cast<int>(t - nodes); }
  static double length(const Node *a, const Node *b) { return std::fabs(a->x - b->x) + std::fabs(a->y - b->y); }
  static double load(const Node *sink) { return sink->load / 1000.0; }
  // The length of the driver's wire; *sink: whether the driver's child is a sink.
  double driver_wire(const Node *driver, bool *sink) const {
    const Node *k = child(driver, 0);
    *sink = k->kind == NodeKind::sink;
    return length(driver, k);
  }
};

struct FlatCand {
  double c;
  double q;
  int32_t trace;  // index into the pool, 0 for the empty trace
  int32_t type;   // see FlatSet: the buffer type of a newcomer, else -1
};

// type >= 1: buffer of library type type-1 at node x on the edge to node
// `right` (a node index), driving trace `left`; -1: merge of `left` (left
// branch) and `right` (a trace). A record is always younger (larger index)
// than the records it names.
struct FlatTrace {
  int32_t left;
  int32_t right;
  int32_t x;
  int32_t type;
};
constexpr double TRACE_BYTES = sizeof(FlatTrace);

// A candidate of the limited engines (flat_limits.*): a FlatCand with the
// stage's negated worst wire delay p, pending like q.
struct LimCand {
  double c;
  double q;
  double p;       // minus the worst wire delay to an end point of the stage
  int32_t trace;  // index into the pool, 0 for the empty trace
  int32_t type;   // newcomers: the buffer type; else -1
};

// A candidate array with its own storage, so that its capacity is counted:
// one template for the plain and the limited candidates, whose storage the
// workspace grows, counts, keeps for reuse and frees alike.
//
// cap is the capacity the memory figures count; the storage may be larger
// when it came from an Arena (a buffer an earlier run left), so that the
// figures are those of a fresh run.
template <typename C>
struct Array {
  C *p = nullptr;
  int n = 0;
  int cap = 0;
};
using CandArray = Array<FlatCand>;
using LimArray = Array<LimCand>;

// The candidates of one subtree. Stored values (c, q) stand for the real load
// c + A and required time q - B·c - D: a wire of resistance R, capacitance C
// and own delay Dw composes as D += R·A + Dw, B += R, A += C, in constant
// time for the whole set.
//
// a: [0, base_n) sorted by load, largest first, none dominated (the result of
// the last compaction, merge or sink); [base_n, n) the buffered candidates
// added since, in the order the edges made them. Those of one buffer type
// have non-increasing stored loads (the input capacitance less an A that
// only grows), so a compaction sorts them by a counting sort on the type and
// a merge of the runs. Until then a dominated candidate may stay: it never
// wins a buffer (for resistance >= 0 its dominator does at least as well, at
// a smaller load), and merges see compacted sets only.
//
// hull: copies of the vertices of the upper convex hull of all stored points,
// loads decreasing, from which q - S·c is maximised for a buffer (its slope S
// in stored values is B + its resistance). The pending update is a shear and
// keeps the hull a hull; an edge's newcomers are merged into it. Vertices at
// the large-load end that a growing B makes dominated stay until the next
// compaction cuts them: they are real candidates with whole traces (the
// collection counts the copies as references) and never beat their
// dominator. Rebuilt after every merge.
//
// One template for the plain and the limited sets (flat_limits.cpp, whose
// arrays hold LimCand by increasing load and whose hull copies name their
// candidate's position in `type`).
template <typename C>
struct SetOf {
  using Cand = C;
  Array<C> a;
  CandArray hull;
  double A = 0.0, B = 0.0, D = 0.0;
  int base_n = 0;
  double shear = 0.0;  // least resistance above the set's node (see "Pruning")
};
using FlatSet = SetOf<FlatCand>;

template <typename S, typename C>
inline double real_q(const S &s, const C &x) {
  return (x.q - s.B * x.c) - s.D;
}
template <typename S, typename C>
inline double real_c(const S &s, const C &x) {
  return x.c + s.A;
}

// q - last < 1e-24: no later than the last survivor (which has no larger
// load), so dominated; the first survivor must beat minus infinity.
inline bool beats(double q, double last) { return !(q - last < 1e-24); }

// Pruning. Whatever is built above a node, a candidate there reaches the
// gate that drives it through a path of resistance at least `shear` (the
// wire to the parent plus the least gate resistance), and the other branches
// it meets on the way see its load through less resistance. So if u has no
// larger load than v and q_v - q_u <= shear·(c_v - c_u), any solution built
// on v is no better with v than with u: v is dropped. This is dominance of
// the points sheared by q - shear·c, and it implies plain dominance.
inline double sheared(double q, double c, double shear) { return q - shear * c; }

// x.c < m.c < o.c: m lies strictly above the chord from x to o.
inline bool above(const FlatCand &x, const FlatCand &m, const FlatCand &o) {
  return (m.q - o.q) * (x.c - o.c) < (x.q - o.q) * (m.c - o.c);
}

// Appends x (loads decreasing) to the monotone chain w[0, top) of a hull.
inline void push_vertex(FlatCand *w, int &top, const FlatCand &x) {
  if (top > 0 && w[top - 1].c == x.c) {
    if (w[top - 1].q >= x.q) return;
    top--;
  }
  while (top >= 2 && !above(x, w[top - 1], w[top - 2])) top--;
  w[top++] = x;
}

// First hull vertex with a stored load not above c.
inline int hull_position(const CandArray &h, double c) {
  int lo = 0, hi = h.n;
  while (lo < hi) {
    int mid = (lo + hi) / 2;
    if (h.p[mid].c > c)
      lo = mid + 1;
    else
      hi = mid;
  }
  return lo;
}

// Vertex maximising q - slope·c (stored values). Along the hull (loads
// decreasing) moving on improves while the edge's slope is below `slope`.
inline int best_vertex_at(const CandArray &hull, double slope) {
  const FlatCand *v = hull.p;
  int lo = 0, hi = hull.n - 1;  // answer in [lo, hi]
  while (lo < hi) {
    int mid = (lo + hi) / 2;
    // (u.q - w.q) / (u.c - w.c) < slope, with u.c > w.c
    if (v[mid].q - v[mid + 1].q < slope * (v[mid].c - v[mid + 1].c))
      lo = mid + 1;
    else
      hi = mid;
  }
  return lo;
}

// A buffered candidate about to join a set, in real values.
struct Buffered {
  double c;  // real load (the buffer's input capacitance)
  double q;  // real required time at the buffer's input
  double v;  // q sheared (see "Pruning")
  int32_t below;  // trace of the driven candidate
  int type;       // 0-based
};

[[noreturn]] void out_of_memory();

// One cost level of a frontier engine (see "Cost levels" below).
template <typename Set>
struct CostLevel {
  long long cost;
  Set s;
};

// Storage that outlives engine runs (bufins::Scratch): candidate-array
// buffers, the trace pool's buffer and the scratch vectors, which a
// workspace given the arena takes at its start and gives back at its end
// instead of allocating and freeing them for every net. Nothing of it is
// counted in the memory figures: a workspace counts its arrays by the
// capacities a fresh run would have (Array::cap). What it keeps is bounded
// (KEEP_BYTES of buffers, and a pool or scratch vector larger than that is
// freed), so that one large net does not hold its memory for the small ones
// after it. One run at a time: one arena per thread.
class Arena {
 public:
  Arena() = default;
  Arena(const Arena &) = delete;
  Arena &operator=(const Arena &) = delete;
  ~Arena();

  static constexpr size_t KEEP_BYTES = size_t{8} << 20;

  // A kept buffer (null when there is none), or one back into the arena
  // (freed when the arena holds enough).
  void *take();
  void give(void *p);

  FlatTrace *pool = nullptr;
  int32_t pool_cap = 0;
  std::vector<FlatCand> sort_a, sort_b, hull_tail;
  std::vector<int> runs;
  std::vector<int32_t> rename_to;

 private:
  std::vector<void *> buffers_;
  size_t kept_ = 0;  // bytes
};

// The trace pool, the spare arrays and the scratch of one engine run, with
// the run's tables and context; with an arena (may be null) its storage
// comes from and goes back to it.
class Workspace {
 public:
  Workspace(const Tables &tables, bufins::Context &context, Arena *arena = nullptr);
  Workspace(const Workspace &) = delete;
  Workspace &operator=(const Workspace &) = delete;
  ~Workspace() { clear(); }

  const Tables &T;
  bufins::Context &ctx;

  // ---- Candidate arrays (of FlatCand or LimCand) ----
  template <typename C>
  void grow(Array<C> &a, int need) {
    if (need > a.cap) grow_storage(a, need);
  }
  template <typename C>
  void free_storage(Array<C> &a) {
    if (a.p != nullptr) {
      if (arena_ != nullptr)
        arena_->give(a.p);
      else
        std::free(a.p);
      ctx.memory.solutions_freed += static_cast<double>(sizeof(C)) * a.cap;
    }
    a = Array<C>{};
  }
  // An empty array of capacity >= need, a spare one when there is one.
  template <typename C = FlatCand>
  Array<C> take_array(int need) {
    Array<C> a;
    auto &spare = spares<C>();
    if (!spare.empty()) {
      a = spare.back();
      spare.pop_back();
    }
    a.n = 0;
    grow(a, need);
    return a;
  }
  // Keeps the array's storage for reuse; a becomes empty.
  template <typename C>
  void recycle(Array<C> &a) {
    if (a.p != nullptr) spares<C>().push_back(a);
    a = Array<C>{};
  }
  // A set's arrays, or those of every cost level, kept for reuse (keep) or
  // freed; the set, or the levels, become empty.
  template <typename S>
  void release(S &s, bool keep) {
    keep ? recycle(s.a) : free_storage(s.a);
    keep ? recycle(s.hull) : free_storage(s.hull);
    s = S{};
  }
  template <typename S>
  void release(std::vector<CostLevel<S>> &ls, bool keep) {
    for (CostLevel<S> &l : ls) release(l.s, keep);
    ls.clear();
  }
  void release_spare() {
    for (auto &a : spares<FlatCand>()) free_storage(a);
    for (auto &a : spares<LimCand>()) free_storage(a);
    spares<FlatCand>().clear();
    spares<LimCand>().clear();
  }

  // ---- Trace pool ----
  // Starts an empty pool (index 0: the empty trace, never counted) whose
  // young generations hold at most young_records records.
  void start_pool(int young_records);
  int32_t make_trace(int32_t left, int32_t right, int x, int type) {
    if (pool_n == pool_cap) grow_pool();
    pool[pool_n] = {left, right, x, type};
    return pool_n++;
  }
  // For a loop that makes many records: the pool's fields in a local value,
  // so that they are not read again after every record written (a record
  // written through a pointer might otherwise be one of them). Take one
  // with maker(), make records with it, give it back with made() before
  // anything else touches the pool.
  struct Maker {
    FlatTrace *pool;
    int32_t n, cap;
  };
  Maker maker() const { return {pool, pool_n, pool_cap}; }
  // The same, with room for `more` records made without a capacity check
  // (the pool's capacity is not counted, so it may grow a little early).
  Maker maker(int more) {
    while (pool_cap - pool_n < more) grow_pool();
    return maker();
  }
  void made(const Maker &m) { pool_n = m.n; }
  int32_t merge_trace(Maker &m, int32_t left, int32_t right, int x) {
    if (left == 0) return right;
    if (right == 0) return left;
    if (m.n == m.cap) {
      pool_n = m.n;
      grow_pool();
      m.pool = pool;
      m.cap = pool_cap;
    }
    m.pool[m.n] = {left, right, x, -1};
    return m.n++;
  }
  // The merge record of two traces; an empty side is no record at all.
  int32_t merge_trace(int32_t left, int32_t right, int x) {
    if (left == 0) return right;
    if (right == 0) return left;
    return make_trace(left, right, x, -1);
  }
  // Records are counted as traces opened in batches: before every peak sample, and
  // memory only grows by records between two samples, so the peak is exact.
  void count_records() {
    ctx.memory.traces_opened += TRACE_BYTES * (pool_n - counted_n);
    counted_n = pool_n;
  }
  // Young generations grow with the old one up to young_records, so that a
  // small net touches little fresh memory. Between two nodes of the walk:
  //   if (ws.collection_due()) ws.collect(ws.full_collection_due(), roots);
  bool collection_due() const { return pool_n >= due_at; }
  bool full_collection_due() const { return old_n >= full_at; }
  // Records made since the last collection.
  int32_t young_count() const { return pool_n - old_n; }
  // Collection: roots(visit) must call visit(array) for every array that
  // holds references to records (hull copies included); an array is any
  // record with members p (pointer to records with an int32_t `trace`) and
  // n, such as CandArray or the limited engine's arrays; on a young
  // collection it may leave out arrays whose records are all older than the
  // last collection. The records nothing reaches are dropped and the rest
  // slide down in their order, so children stay older than their parents.
  // roots is called twice: to mark, then to rename the references.
  template <typename Roots>
  void collect(bool full, Roots &&roots);
  // The buffers of trace t, in placement-file order, appended to out (an
  // explicit stack).
  void placements(int32_t t, std::vector<bufins::Placement> &out) const;
  // Buffers below every record, indexed by record (children are older).
  std::vector<int> buffer_counts() const;
  // Each record's sum of weight[type - 1] over its buffers.
  std::vector<long long> trace_sums(const std::vector<long long> &weight) const;
  // The -o listing of candidates (real values) in the order given, each with
  // its buffers when asked.
  template <typename It>
  std::vector<bufins::Candidate> listing(It first, It last, bool with_placements) const {
    std::vector<bufins::Candidate> list;
    for (; first != last; ++first) {
      list.push_back({first->q, first->c * 1000.0, {}});
      if (with_placements) placements(first->trace, list.back().placements);
    }
    return list;
  }
  int32_t records() const { return pool_n; }

  // Frees the scratch buffers (compaction, hull update, collection).
  void release_scratch();
  // Once the answer is known: the records counted and the peak sampled,
  // then the spare arrays and the scratch freed.
  void end_run() {
    count_records();
    ctx.peak_check();
    release_spare();
    release_scratch();
  }
  // Frees everything: pool (its records counted as dropped), spare arrays, scratch.
  void clear();

  // Scratch of compaction and the hull update (flat_core.cpp).
  std::vector<FlatCand> sort_a, sort_b, hull_tail;
  std::vector<int> runs;

 private:
  template <typename C>
  [[gnu::noinline]] void grow_storage(Array<C> &a, int need) {
    const int cap = std::max(need, std::max(16, a.cap * 2));
    const size_t bytes = sizeof(C) * static_cast<size_t>(cap);
    if (a.p == nullptr && arena_ != nullptr) a.p = static_cast<C *>(arena_->take());
    // An arena's buffer may hold the capacity already.
    if (a.p == nullptr || arena_ == nullptr || malloc_usable_size(a.p) < bytes) {
      auto *p = static_cast<C *>(std::realloc(a.p, bytes));
      if (p == nullptr) out_of_memory();
      a.p = p;
    }
    ctx.memory.solutions_opened += static_cast<double>(sizeof(C)) * cap;
    ctx.memory.solutions_freed += static_cast<double>(sizeof(C)) * a.cap;
    a.cap = cap;
    count_records();
    ctx.peak_check();
  }
  void grow_pool();

  // Released arrays kept for reuse, by candidate type.
  std::tuple<std::vector<CandArray>, std::vector<LimArray>> spare_;
  template <typename C>
  std::vector<Array<C>> &spares() {
    return std::get<std::vector<Array<C>>>(spare_);
  }

  FlatTrace *pool = nullptr;  // pool[0] unused: index 0 is the empty trace
  int32_t pool_n = 0;         // records in use (including the unused slot 0)
  int32_t pool_cap = 0;
  int32_t counted_n = 1;      // records below counted_n are counted as opened
  int32_t old_n = 1;          // records below old_n have survived a collection
  int32_t full_at = 0;        // old_n from which the next collection is full
  int64_t due_at = 0;         // pool_n from which a collection is due
  // Whenever old_n or young_records changes: a young generation may hold
  // up to young_records records, and no more than the old one (at least 4096).
  void set_due() {
    due_at = static_cast<int64_t>(old_n) + std::max(1, std::min(young_records, std::max(old_n, 4096)));
  }
  int young_records = 1 << 15;
  std::vector<int32_t> rename_to;  // scratch of the collection
  Arena *arena_ = nullptr;
};

// ---- Operations on one set (flat_core.cpp) ----

// A sink's set, its hull not built: the sink's one candidate.
template <typename S>
S sink_set(Workspace &ws, const Node *t) {
  S s;
  s.a = ws.take_array<typename S::Cand>(1);
  s.a.p[0] = typename S::Cand{};
  s.a.p[0].c = Tables::load(t);
  s.a.p[0].q = t->required;
  s.a.p[0].type = -1;
  s.a.n = s.base_n = 1;
  return s;
}

// Hull of a compacted set (stored = real values, B = 0).
void build_hull(Workspace &ws, FlatSet &s);

// Applies the pending update to every candidate and drops the dominated ones
// (those no later than a candidate of smaller load, and those at or below
// minus infinity); with `prune`, also those the shear drops (see
// "Pruning"). With keep_hull the hull's copies take the new values too;
// otherwise the hull is emptied.
void compact(Workspace &ws, FlatSet &s, bool keep_hull, bool prune = true);

// The hull with m newcomers merged in, by one monotone chain from the first
// vertex that the heaviest can displace: the vertices before it stay as they
// are, those after it are re-read from a copy and merged with the newcomers
// by decreasing load. load(j): the stored load of newcomer j (j = 0..m-1,
// loads decreasing); take(j, u) gives the copy of newcomer j to push, or
// nullptr to drop it (u: the old vertex of largest load not above it, or
// nullptr).
template <typename Load, typename Take>
[[gnu::always_inline]] inline void chain_into_hull(Workspace &ws, CandArray &h, int m, Load &&load, Take &&take) {
  const int p = hull_position(h, load(0));
  const int tail_n = h.n - p;
  std::vector<FlatCand> &hull_tail = ws.hull_tail;
  if (hull_tail.size() < static_cast<size_t>(tail_n)) hull_tail.resize(2 * static_cast<size_t>(tail_n));
  FlatCand *tail = hull_tail.data();
  for (int k = 0; k < tail_n; k++) tail[k] = h.p[p + k];
  ws.grow(h, h.n + m);
  int top = p, o = 0;
  for (int j = 0; j < m || o < tail_n;) {
    if (j < m && (o == tail_n || load(j) >= tail[o].c)) {
      if (const FlatCand *x = take(j, o < tail_n ? tail + o : nullptr)) push_vertex(h.p, top, *x);
      j++;
    } else {
      push_vertex(h.p, top, tail[o++]);
    }
  }
  h.n = top;
}

// A wire of length k carries the set up: the pending update only.
template <typename Set>
inline void add_wire(const Tables &T, Set &s, double k) {
  const double R = T.r0 * k;
  s.D += R * s.A + (((T.r0 * 0.5) * T.c0) * k) * k;
  s.B += R;
  s.A += k * T.c0;
}

// Best driven candidate per buffer type (the set's hull must not be empty):
// bq[i] the real required time at the input of a buffer of type i driving
// it, bt[i] its trace.
[[gnu::always_inline]] inline void best_per_type(const Workspace &ws, const FlatSet &s, double *bq, int32_t *bt) {
  const Tables &T = ws.T;
  const int nb = T.nb;
  const double *rb = T.rb, *tb = T.tb;
  const CandArray &h = s.hull;
  // The slopes B + rb grow in by_rb order and their best vertices move along
  // the hull towards smaller loads, so a short hull is walked once; a long
  // one is searched per type.
  const FlatCand *v = h.p;
  if (h.n <= 2 * nb + 8) {
    const FlatCand *at = v, *const last = v + (h.n - 1);
    for (int j = 0; j < nb; j++) {
      const int i = ws.T.by_rb[j];
      const double slope = s.B + rb[i];
      while (at < last && at[0].q - at[1].q < slope * (at[0].c - at[1].c)) at++;
      bq[i] = (real_q(s, *at) - tb[i]) - (rb[i] * real_c(s, *at));
      bt[i] = at->trace;
    }
  } else {
    for (int i = 0; i < nb; i++) {
      const FlatCand &x = v[best_vertex_at(h, s.B + rb[i])];
      bq[i] = (real_q(s, x) - tb[i]) - (rb[i] * real_c(s, x));
      bt[i] = x.trace;
    }
  }
}

// Adds buffered candidates (placed at node px on the edge to py) to the set:
// buf[0..m) sorted by load, smallest first, each beating the previous one
// sheared by s.shear. A newcomer is kept unless the hull vertex of largest
// load not above its own dominates it (sheared). With `merging` the hull is
// left as it is (a merge follows); otherwise the kept newcomers are merged
// into it.
//
// The same steps as chain_into_hull() with push_vertex(), written out over
// locals: the set's arrays, its pending update and the pool are written
// through pointers, so the compiler would otherwise read them again after
// every store. The hull's tail (the old vertices from the heaviest
// newcomer's load down) is moved up by m in place instead of copied out:
// the chain's write position never passes its next unread vertex.
[[gnu::always_inline]] inline void add_buffered(Workspace &ws, FlatSet &s, const Buffered *buf, int m, int px, int py,
                                                bool merging) {
  ws.grow(s.a, s.a.n + m);
  Workspace::Maker records = ws.maker(m);
  const double A = s.A, B = s.B, D = s.D;
  // A newcomer is kept unless the hull vertex of largest load not above its
  // own (`u`, of the hull before this edge) dominates it. Sheared values of
  // stored points differ from those of real ones by the same constant.
  const double stored_shear = B + s.shear;
  FlatCand *const first = s.a.p + s.a.n;
  FlatCand *out = first;
  FlatTrace *const pool = records.pool;
  int32_t rec = records.n;
  auto keep = [&](const Buffered &b, double sc, const FlatCand *u) {
    const double sq = (b.q + B * sc) + D;
    if (u != nullptr && !beats(sq - stored_shear * sc, u->q - stored_shear * u->c)) return false;
    pool[rec] = {b.below, py, px, b.type + 1};
    *out++ = {sc, sq, rec++, b.type};
    return true;
  };
  FlatCand *const h = s.hull.p;
  const int hn = s.hull.n;
  if (merging) {
    // u: hull_position() of each newcomer's load, found from the small-load
    // end for the heaviest (the newcomers' loads are small beside most of
    // the hull's), then forward for the lighter ones.
    const double heaviest = buf[m - 1].c - A;
    const FlatCand *u = h + hn, *const h_end = h + hn;
    while (u > h && !(u[-1].c > heaviest)) u--;
    for (const Buffered *b = buf + m; b != buf;) {
      const Buffered &y = *--b;
      const double sc = y.c - A;
      while (u < h_end && u->c > sc) u++;
      keep(y, sc, u < h_end ? u : nullptr);
    }
  } else {
    // The hull of the old vertices and the kept newcomers: the vertices
    // before p (loads above the heaviest newcomer's) stay; the tail, moved
    // to [p + m, hn + m), is merged with the newcomers by decreasing load
    // into one monotone chain from p.
    const double heaviest = buf[m - 1].c - A;
    int p = hn;
    while (p > 0 && !(h[p - 1].c > heaviest)) p--;
    const int tail_n = hn - p;
    ws.grow(s.hull, hn + m);
    FlatCand *const w = s.hull.p;
    const FlatCand *tail = w + p + m;
    if (tail_n > 0) std::memmove(w + p + m, w + p, sizeof(FlatCand) * static_cast<size_t>(tail_n));
    // push_vertex(w, top, x), with pointers
    FlatCand *top = w + p;
    auto push = [&](const FlatCand &x) {
      if (top > w && top[-1].c == x.c) {
        if (top[-1].q >= x.q) return;
        top--;
      }
      while (top - w >= 2 && !above(x, top[-1], top[-2])) top--;
      *top++ = x;
    };
    const FlatCand *t = tail, *const tail_end = tail + tail_n;
    for (const Buffered *b = buf + m; b != buf;) {
      const Buffered &y = b[-1];
      const double sc = y.c - A;
      if (t == tail_end || sc >= t->c) {
        if (keep(y, sc, t < tail_end ? t : nullptr)) push(out[-1]);
        b--;
      } else {
        push(*t++);
      }
    }
    while (t < tail_end) push(*t++);
    s.hull.n = static_cast<int>(top - w);
  }
  s.a.n = static_cast<int>(out - s.a.p);
  records.n = rec;
  ws.made(records);
}

// The edge from node px to its child py of length k: the set carried up the
// wire, plus one buffered candidate per type at px. With `merging` a branch
// merge follows (and compacts the set), so the hull is not kept; otherwise
// the set is compacted once it has doubled.
void edge(Workspace &ws, FlatSet &s, double k, int px, int py, bool merging, double shear);

// The merge of the two compacted branch sets at node `index`, pruned by
// `shear`, compacted (its hull not built).
FlatSet merge(Workspace &ws, const FlatSet &L, const FlatSet &R, int index, double shear);

// ---- Cost levels ----
//
// The frontier engines (frontier.*, and the limited one of flat_limits.*)
// keep a subtree's candidates as levels: one set per cost that has any, in
// increasing cost. The levels own their sets' arrays, which come from and go
// back to the workspace.

template <typename Set>
using CostLevels = std::vector<CostLevel<Set>>;

// A buffered candidate for the level of cost `cost`.
struct Newcomer {
  long long cost;
  Buffered b;
};

// The order levels_edge() lands newcomers in: by cost, then load, then later required time first.
inline bool newcomer_order(const Newcomer &u, const Newcomer &v) {
  if (u.cost != v.cost) return u.cost < v.cost;
  if (u.b.c != v.b.c) return u.b.c < v.b.c;
  return u.b.q > v.b.q;
}

// Every array of a set, or of cost levels, for a collection's roots.
template <typename C, typename Visit>
void set_arrays(SetOf<C> &s, Visit &&visit) {
  visit(s.a);
  visit(s.hull);
}
template <typename Set, typename Visit>
void set_arrays(CostLevels<Set> &ls, Visit &&visit) {
  for (CostLevel<Set> &l : ls) set_arrays(l.s, visit);
}

// An edge over cost levels: every level carried up a wire of length k; then
// make(level) pushes the level's buffered candidates into `made`, sorted
// (by cost, then load, then later required time first) unless `by_cost`
// (they come so already), and they land in the levels of their costs: of
// each cost's, those that a lighter one beats after the shear are left out
// (add_buffered's precondition); add(set, group, m) appends the rest to the
// level of that cost, opened (its array, and its hull `with_hull`) when
// there is none. `made`, `group` and `fresh` are scratch. The levels stay
// in increasing cost. False when no newcomer was made.
template <typename Set, typename Make, typename Add>
bool levels_edge(Workspace &ws, CostLevels<Set> &ls, double k, double shear, bool with_hull,
                 std::vector<Newcomer> &made, std::vector<Buffered> &group, CostLevels<Set> &fresh, bool by_cost,
                 Make &&make, Add &&add) {
  for (CostLevel<Set> &l : ls) {
    l.s.shear = shear;
    add_wire(ws.T, l.s, k);
  }
  if (ws.T.nb == 0) return false;
  made.clear();
  for (CostLevel<Set> &l : ls) make(l);
  if (made.empty()) return false;
  if (!by_cost) std::sort(made.begin(), made.end(), newcomer_order);
  fresh.clear();
  size_t li = 0;
  for (size_t g = 0; g < made.size();) {
    const long long cost = made[g].cost;
    group.clear();
    for (; g < made.size() && made[g].cost == cost; g++) {
      const Buffered &b = made[g].b;
      if (!group.empty() && !beats(b.v, group.back().v)) continue;
      if (!group.empty() && group.back().c == b.c) group.pop_back();  // same load, later required time
      group.push_back(b);
    }
    while (li < ls.size() && ls[li].cost < cost) li++;
    Set *s;
    if (li < ls.size() && ls[li].cost == cost) {
      s = &ls[li].s;
    } else {
      fresh.push_back(CostLevel<Set>{cost, Set{}});
      s = &fresh.back().s;
      s->shear = shear;
      s->a = ws.take_array<typename Set::Cand>(static_cast<int>(group.size()));
      if (with_hull) s->hull = ws.take_array(static_cast<int>(group.size()));
    }
    add(*s, group.data(), static_cast<int>(group.size()));
  }
  // Both in increasing cost: merged from the back.
  size_t i = ls.size(), j = fresh.size(), w = ls.size() + fresh.size();
  ls.resize(w);
  while (j > 0) {
    if (i > 0 && ls[i - 1].cost > fresh[j - 1].cost)
      ls[--w] = std::move(ls[--i]);
    else
      ls[--w] = std::move(fresh[--j]);
  }
  fresh.clear();
  return true;
}

// ---- A frontier merge's sweep ----
//
// Both frontier merges sweep the candidates of the two branches' levels by
// decreasing required time, each meeting a staircase of its own branch's
// candidates met so far and pairing with the other branch's.

// A candidate of either branch in the sweep, real values (p: a limited
// candidate's p, 0 for a plain one).
struct SweepItem {
  double q, c, p;
  long long cost;  // the level's cost in units of the merge
  int32_t trace;
  int side;  // 0: left branch, 1: right
};
// An entry of a branch's staircase.
struct SideEntry {
  long long cost;
  double c, p;
  int32_t trace;
};

inline double p_of(const FlatCand &) { return 0.0; }
inline double p_of(const LimCand &x) { return x.p; }

// The candidates of two branches' compacted levels, costs divided by
// `unit`, into items (in level order, to be sorted).
template <typename Set>
void sweep_items(const CostLevels<Set> &L, const CostLevels<Set> &R, long long unit, std::vector<SweepItem> &items) {
  items.clear();
  for (int side = 0; side < 2; side++)
    for (const CostLevel<Set> &l : side == 0 ? L : R)
      for (int k = 0; k < l.s.a.n; k++) {
        const auto &x = l.s.a.p[k];
        items.push_back({x.q, x.c, p_of(x), l.cost / unit, x.trace, side});
      }
}

// Puts v into a staircase (a sorted vector) in place of the entries [from,
// to) it displaces, or before `to` when there are none.
template <typename V>
void stair_put(std::vector<V> &st, typename std::vector<V>::iterator from, typename std::vector<V>::iterator to,
               const V &v) {
  if (from == to) {
    st.insert(from, v);
  } else {
    *from = v;
    st.erase(from + 1, to);
  }
}

// Puts x into its branch's (cost, load) staircase: cost increasing, load
// decreasing. Returns false when an entry of no larger cost and no larger
// load is there (x then makes only dominated pairs).
inline bool stair_insert(std::vector<SideEntry> &st, const SweepItem &x) {
  auto at = std::lower_bound(st.begin(), st.end(), x.cost,
                             [](const SideEntry &e, long long cost) { return e.cost < cost; });
  if (at != st.begin() && std::prev(at)->c <= x.c) return false;
  if (at != st.end() && at->cost == x.cost && at->c <= x.c) return false;
  auto end = at;
  while (end != st.end() && end->c >= x.c) ++end;
  stair_put(st, at, end, {x.cost, x.c, x.p, x.trace});
  return true;
}

// Sorts a merge's sweep items by decreasing required time, stably, by a
// radix sort on the bits of q (no compare to mispredict); 0 and -0 are one
// time. The scratch is the caller's.
struct RadixScratch {
  struct Key {
    uint64_t key;
    uint32_t at;
  };
  std::vector<Key> keys, keys_b;
  std::vector<SweepItem> items_b;
};
void sort_latest_first(std::vector<SweepItem> &items, RadixScratch &r);

// Slack at the driver of a candidate (q, c) of its child at wire length k1.
inline double driver_slack(const Tables &T, double k1, double q, double c) {
  return ((q - ((((T.r0 * 0.5) * T.c0) * k1) * k1)) - (((T.r0 * k1) + T.rd) * c)) - ((T.rd * k1) * T.c0);
}

// The best slack at the driver over the candidates x of a compacted set
// (its array by decreasing load, or by increasing load when `increasing`)
// that the driver may drive (drives(x)), read from the smallest load: a
// slack above *best goes into *best and its position into *at. False when
// the driver may drive none.
template <typename S, typename Drives>
bool driver_best(const Tables &T, const S &s, double k1, bool increasing, Drives &&drives, double *best, int *at) {
  bool any = false;
  for (int j = 0; j < s.a.n; j++) {
    const int i = increasing ? j : s.a.n - 1 - j;
    if (!drives(s.a.p[i])) continue;
    any = true;
    const double slack = driver_slack(T, k1, s.a.p[i].q, s.a.p[i].c);
    if (slack > *best) {
      *best = slack;
      *at = i;
    }
  }
  return any;
}

// ---- A frontier's end ----
//
// What both frontier engines keep after a run: the driver child's levels,
// one point per cost at which the best slack improves, and which candidate
// gives each point.
template <typename Set>
struct FrontierEnd {
  CostLevels<Set> levels;
  std::vector<bufins::FrontierPoint> points;
  std::vector<std::pair<int, int>> refs;  // (level, candidate) of every point
  bool child_is_sink = false;

  // The points off the final levels (compacted; loads increasing along
  // their arrays when `increasing`): each level's best slack at the driver
  // (wire k1) over the candidates that drives(x) lets the driver drive. An
  // improvement within rounding of the sums is no improvement: the cheaper
  // point stands. False when the driver may drive none.
  template <typename Drives>
  bool make_points(const Workspace &ws, double k1, bool increasing, Drives &&drives) {
    bool any = false;
    double so_far = MINUS_INFINITY_TIME;
    for (size_t li = 0; li < levels.size(); li++) {
      double slack = MINUS_INFINITY_TIME;
      int at = -1;
      any = driver_best(ws.T, levels[li].s, k1, increasing, drives, &slack, &at) || any;
      if (at < 0 || !(slack > so_far + 1e-12 * std::max(1.0, std::fabs(so_far)))) continue;
      so_far = slack;
      points.push_back({levels[li].cost, levels[li].s.a.p[at].trace, slack});
      refs.push_back({static_cast<int>(li), at});
    }
    // The points' buffers (their traces wait in the buffers field meanwhile).
    const std::vector<int> buffers = ws.buffer_counts();
    for (bufins::FrontierPoint &p : points) p.buffers = buffers[static_cast<size_t>(p.buffers)];
    return any;
  }

  // Every point's sum of weight[type - 1] over its buffers (the true areas
  // of a run on rounded ones), in one pass over the pool.
  std::vector<long long> point_sums(const Workspace &ws, const std::vector<long long> &weight) const {
    std::vector<long long> out(points.size(), 0);
    if (child_is_sink) return out;
    const std::vector<long long> sums = ws.trace_sums(weight);
    for (size_t k = 0; k < points.size(); k++) {
      const std::pair<int, int> &r = refs[k];
      out[k] = sums[static_cast<size_t>(levels[static_cast<size_t>(r.first)].s.a.p[r.second].trace)];
    }
    return out;
  }

  // The buffers of point `point`; false when the placement file says "empty
  // tree" (the driver drives a sink, or there is no such point).
  bool placements(const Workspace &ws, int point, std::vector<bufins::Placement> &out) const {
    if (point < 0 || point >= static_cast<int>(points.size()) || child_is_sink) return false;
    const std::pair<int, int> &r = refs[static_cast<size_t>(point)];
    ws.placements(levels[static_cast<size_t>(r.first)].s.a.p[r.second].trace, out);
    return true;
  }

  // The driver child's candidates of cost at most the point's, sorted by
  // `order` (load first), those after one of no earlier required time left out.
  template <typename Order>
  std::vector<bufins::Candidate> candidates(const Workspace &ws, int point, bool with_placements, Order order) const {
    const long long limit = point >= 0 && point < static_cast<int>(points.size())
                                ? points[static_cast<size_t>(point)].cost
                                : std::numeric_limits<long long>::max();
    std::vector<typename Set::Cand> all, kept;
    for (const CostLevel<Set> &l : levels)
      if (l.cost <= limit) all.insert(all.end(), l.s.a.p, l.s.a.p + l.s.a.n);
    std::sort(all.begin(), all.end(), order);
    double last = -std::numeric_limits<double>::infinity();
    for (const auto &x : all)
      if (x.q > last) {
        last = x.q;
        kept.push_back(x);
      }
    return ws.listing(kept.begin(), kept.end(), with_placements && !child_is_sink);
  }
};

// ---- Self-check ----

// The invariants of a set at rest, as a list of what is broken (empty when
// none is): counts within capacities; finite, non-negative pending update
// and shear; the sorted part by load strictly decreasing with no newcomer
// mark; newcomers of one type by non-increasing load; traces inside the
// pool; hull loads strictly decreasing and the hull convex. With
// `hull_covers` (no merge pending: after a sink, a plain edge or
// build_hull) also no candidate above the hull. O(n log h); the engines call
// it in Debug builds on sets of at most FLAT_CHECK_LIMIT candidates.
std::string check_set(const Workspace &ws, const FlatSet &s, bool hull_covers);

#ifdef NDEBUG
#define FLAT_CHECK(ws, s, covers) ((void)0)
#else
constexpr int FLAT_CHECK_LIMIT = 512;
#define FLAT_CHECK(ws, s, covers) \
  assert((s).a.n > flat_core::FLAT_CHECK_LIMIT || flat_core::check_set((ws), (s), (covers)).empty())
#endif

// ---- Trace pool collection ----
//
// Records are appended and never freed one by one: a candidate that is
// dropped (dominated, or beaten in a merge) leaves its records behind, and a
// collection between two nodes of the walk, when the caller's sets are the
// only holders, slides the reachable records to the front and renames the
// candidates' references. Marking needs no stack: children are older, so one
// sweep from the youngest record down marks everything reachable. Most
// records die young (buffered candidates that are soon dominated), and an
// old record never names a younger one, so a young collection looks only at
// the records made since the last one and keeps every older record; a full
// one, once the old records have doubled, looks at all.
template <typename Roots>
void Workspace::collect(bool full, Roots &&roots) {
  count_records();
  ctx.peak_check();
  const int32_t from = full ? 1 : old_n;
  std::vector<int32_t> &to = rename_to;  // of record from + i: 1 when reachable, then its new index
  to.assign(static_cast<size_t>(pool_n - from), 0);
  auto young = [from](int32_t r) { return r >= from; };
  roots([&](const auto &a) {
    for (auto *x = a.p, *e = a.p + a.n; x < e; x++)
      if (young(x->trace)) to[static_cast<size_t>(x->trace - from)] = 1;
  });
  for (int32_t r = pool_n - 1; r >= from; r--) {
    if (to[static_cast<size_t>(r - from)] == 0) continue;
    const FlatTrace &f = pool[r];
    assert(f.left < r && (f.type >= 0 || f.right < r));  // children are older
    if (young(f.left)) to[static_cast<size_t>(f.left - from)] = 1;
    if (f.type < 0 && young(f.right)) to[static_cast<size_t>(f.right - from)] = 1;
  }
  auto renamed = [&](int32_t r) { return young(r) ? to[static_cast<size_t>(r - from)] : r; };
  int32_t n = from;
  for (int32_t r = from; r < pool_n; r++) {
    if (to[static_cast<size_t>(r - from)] == 0) continue;
    FlatTrace f = pool[r];
    f.left = renamed(f.left);
    if (f.type < 0) f.right = renamed(f.right);
    pool[n] = f;
    to[static_cast<size_t>(r - from)] = n++;
  }
  roots([&](auto &a) {
    for (int i = 0; i < a.n; i++) a.p[i].trace = renamed(a.p[i].trace);
  });
  ctx.memory.traces_freed += TRACE_BYTES * (pool_n - n);
  pool_n = n;
  counted_n = n;
  old_n = n;
  set_due();
  if (full) full_at = std::max<int32_t>(young_records, 3 * n);
}

}  // namespace flat_core
