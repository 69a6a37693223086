// The flat engine: candidates of a subtree in contiguous arrays sorted by
// load, buffer choices read off the upper convex hull of the set, buffered
// candidates appended and sorted in at the next compaction, branches merged
// by a two-pointer walk.
//
// Central idea: a wire changes every candidate by the same affine map
// (q -= D + R·c, c += C), so it is kept as one pending update of the whole
// set (FlatSet) and costs O(1); the update is a shear of the (c, q) plane,
// so the upper hull of the stored points stays the hull. The best candidate
// for a buffer of resistance R maximises q - R·c and lies on that hull
// (one walk along the hull for all types, or a binary search per type).
// Candidates off the hull stay in the set: after a branch merge they can be
// the best. The hull is kept as a small array of copies of its vertices, so
// an edge's buffered candidates cost an append to the set and one merge into
// the hull, whatever their loads; the set is sorted and cleared of dominated
// candidates lazily (a compaction once it has doubled, and before every
// merge); meanwhile they never win a buffer. Dominance is taken after a
// shear by the least resistance that can still drive the node's candidates
// (see "Pruning"), which drops more of them than plain dominance and keeps
// the optimum.
//
// Traces: small records (FlatTrace, 16 bytes) appended to a pool; index 0 is
// the empty trace. Only buffer and merge records exist (a wire leaves a
// candidate's trace unchanged), and a merge with an empty side is no record
// at all. Records are not freed one by one: a generational collection
// between two nodes of the walk keeps what the sets still reach (see "Trace
// pool").
//
// Ownership: candidate arrays live on the engine's own set stack (one per
// finished subtree whose parent is not done yet); at the end only the driver
// child's set and the pool stay, until flat_free().
//
// Memory counters: total_solution / reduce_solution grow by the bytes of
// candidate-array storage allocated / released (real capacities, 24 bytes a
// slot, hull copies and spare arrays kept for reuse included); m_used /
// m_reduced by 16 per trace record made / dropped by a collection. max_space
// is sampled after every array growth and before every collection, which
// are the only moments memory stops growing. Not counted: the pool's
// capacity beyond its records and the scratch buffers of compaction and
// collection (at most a few words per live candidate or young record).
#include "flat.h"

#include <algorithm>
#include <cassert>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

double flat_answer = MINUS_INFINITY_TIME;
int flat_young_records = 1 << 15;

namespace {

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

// A candidate array with its own storage, so that its capacity is counted.
struct CandArray {
  FlatCand *p = nullptr;
  int n = 0;
  int cap = 0;
};

std::vector<CandArray> spare;  // released arrays kept for reuse

// Types sorted by input capacitance, smallest first (insertion by load),
// and by resistance, smallest first (best vertices in one walk).
int by_cb[MAX_BUFFERTYPES];
int by_rb[MAX_BUFFERTYPES];
double least_gate = 0.0;  // least driving resistance: the driver's or a buffer's

[[noreturn]] void out_of_memory() { throw std::bad_alloc(); }

// ---- Trace pool state (see "Trace pool") ----

FlatTrace *pool = nullptr;  // pool[0] unused: index 0 is the empty trace
int32_t pool_n = 0;         // records in use (including the unused slot 0)
int32_t pool_cap = 0;
int32_t counted_n = 1;      // records below counted_n are in m_used
int32_t old_n = 1;          // records below old_n have survived a collection
int32_t full_at = 0;        // old_n from which the next collection is full
std::vector<int32_t> rename_to;  // scratch of the collection

// Records are counted in m_used in batches: before every peak sample, and
// memory only grows by records between two samples, so the peak is exact.
inline void count_records() {
  m_used += TRACE_BYTES * (pool_n - counted_n);
  counted_n = pool_n;
}

// ---- Candidate arrays ----

void grow(CandArray &a, int need) {
  if (need <= a.cap) return;
  int cap = std::max(need, std::max(16, a.cap * 2));
  auto *p = static_cast<FlatCand *>(std::realloc(a.p, sizeof(FlatCand) * static_cast<size_t>(cap)));
  if (p == nullptr) out_of_memory();
  total_solution += static_cast<double>(sizeof(FlatCand)) * cap;
  reduce_solution += static_cast<double>(sizeof(FlatCand)) * a.cap;
  a.p = p;
  a.cap = cap;
  count_records();
  peak_check();
}

void free_storage(CandArray &a) {
  if (a.p != nullptr) {
    std::free(a.p);
    reduce_solution += static_cast<double>(sizeof(FlatCand)) * a.cap;
  }
  a = CandArray{};
}

CandArray take_array(int need) {
  CandArray a;
  if (!spare.empty()) {
    a = spare.back();
    spare.pop_back();
  }
  a.n = 0;
  grow(a, need);
  return a;
}

// ---- Trace pool ----
//
// Records are appended and never freed one by one: a candidate that is
// dropped (dominated, or beaten in a merge) leaves its records behind, and a
// collection between two nodes of the walk, when the sets on the stack are
// the only holders, slides the reachable records to the front and renames
// the candidates' references. Marking needs no stack: children are older,
// so one sweep from the youngest record down marks everything reachable.


void grow_pool() {
  int64_t cap = std::max<int64_t>(4096, 2 * static_cast<int64_t>(pool_cap));
  if (cap > INT32_MAX) out_of_memory();
  auto *p = static_cast<FlatTrace *>(std::realloc(pool, sizeof(FlatTrace) * static_cast<size_t>(cap)));
  if (p == nullptr) out_of_memory();
  pool = p;
  pool_cap = static_cast<int32_t>(cap);
}

inline int32_t make_trace(int32_t left, int32_t right, int x, int type) {
  if (pool_n == pool_cap) grow_pool();
  pool[pool_n] = {left, right, x, type};
  return pool_n++;
}

// ---- Sets: an array with a pending wire update ----

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
// keeps the hull a hull; an edge's newcomers are merged into it. Vertices at the
// large-load end that a growing B makes dominated stay until the next
// compaction cuts them: they are real candidates with whole traces (the
// collection counts the copies as references) and never beat their
// dominator. Rebuilt after every merge.
struct FlatSet {
  CandArray a;
  CandArray hull;
  double A = 0.0, B = 0.0, D = 0.0;
  int base_n = 0;
  double shear = 0.0;  // least resistance above the set's node (see "Pruning")
};

inline double real_q(const FlatSet &s, const FlatCand &x) { return (x.q - s.B * x.c) - s.D; }
inline double real_c(const FlatSet &s, const FlatCand &x) { return x.c + s.A; }

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

// Hull of a compacted set (stored = real values, B = 0).
void build_hull(FlatSet &s) {
  CandArray &h = s.hull;
  if (h.p == nullptr) h = take_array(1);
  h.n = 0;
  for (int i = 0; i < s.a.n; i++) {
    const FlatCand &x = s.a.p[i];
    while (h.n >= 2 && !above(x, h.p[h.n - 1], h.p[h.n - 2])) h.n--;
    if (h.n == h.cap) grow(h, h.n + 1);
    h.p[h.n++] = x;
  }
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
inline const FlatCand &best_vertex(const FlatSet &s, double slope) {
  const FlatCand *v = s.hull.p;
  int lo = 0, hi = s.hull.n - 1;  // answer in [lo, hi]
  while (lo < hi) {
    int mid = (lo + hi) / 2;
    // (u.q - w.q) / (u.c - w.c) < slope, with u.c > w.c
    if (v[mid].q - v[mid + 1].q < slope * (v[mid].c - v[mid + 1].c))
      lo = mid + 1;
    else
      hi = mid;
  }
  return v[lo];
}

std::vector<FlatCand> sort_a, sort_b;  // scratch of the compaction
std::vector<FlatCand> hull_tail;       // scratch of the hull update
std::vector<int> runs;

// Applies the pending update to every candidate and drops the dominated ones
// (those no later than a candidate of smaller load, and those at or below
// minus infinity); with `prune`, also those the shear drops (see
// "Pruning"). With keep_hull the hull's copies take the new values too;
// otherwise the hull is emptied.
void compact(FlatSet &s, bool keep_hull, bool prune = true) {
  FlatCand *p = s.a.p;
  const int n = s.a.n, base = s.base_n, fresh = n - base;
  // The newcomers sorted by load, largest first, by pairwise merges of
  // neighbouring sorted runs. The runs are either those of one type each (a
  // counting sort by type), or the stretches of non-increasing load that the
  // edges appended (one edge appends its newcomers by decreasing load):
  // whichever are fewer.
  const FlatCand *nw = nullptr;
  if (fresh > 0 && fresh <= 8) {
    // Few newcomers (a merge right after a sink or a short wire): an
    // insertion sort of the stretches, which are nearly in order.
    if (sort_a.size() < 8) sort_a.resize(8);
    FlatCand *x = sort_a.data();
    for (int i = 0; i < fresh; i++) {
      const FlatCand y = p[base + i];
      int k = i;
      for (; k > 0 && x[k - 1].c < y.c; k--) x[k] = x[k - 1];
      x[k] = y;
    }
    nw = x;
  } else if (fresh > 0) {
    const int nb = n_buffertype;
    int start[MAX_BUFFERTYPES + 1] = {0};
    for (int i = base; i < n; i++) start[p[i].type + 1]++;
    int types = 0;
    for (int t = 0; t < nb; t++) types += start[t + 1] > 0;
    int stretches = 1;
    for (int i = base + 1; i < n && stretches <= types; i++) stretches += p[i].c > p[i - 1].c;
    if (sort_b.size() < static_cast<size_t>(fresh)) {
      sort_a.resize(2 * static_cast<size_t>(fresh));
      sort_b.resize(2 * static_cast<size_t>(fresh));
    }
    FlatCand *x = sort_a.data(), *y = sort_b.data();
    runs.clear();
    runs.push_back(0);
    if (stretches < types) {
      int from = base;
      for (int i = base + 1; i <= n; i++) {
        if (i < n && !(p[i].c > p[i - 1].c)) continue;
        std::memcpy(x + runs.back(), p + from, sizeof(FlatCand) * static_cast<size_t>(i - from));
        runs.push_back(runs.back() + (i - from));
        from = i;
      }
    } else {
      for (int t = 0; t < nb; t++) start[t + 1] += start[t];
      for (int t = 0; t < nb; t++)
        if (start[t + 1] > runs.back()) runs.push_back(start[t + 1]);
      for (int i = base; i < n; i++) x[start[p[i].type]++] = p[i];
    }
    auto larger = [](const FlatCand &u, const FlatCand &v) { return u.c > v.c; };
    while (runs.size() > 2) {
      size_t k = 0, r = 0;
      for (; r + 2 < runs.size(); r += 2) {
        std::merge(x + runs[r], x + runs[r + 1], x + runs[r + 1], x + runs[r + 2], y + runs[r], larger);
        runs[k++] = runs[r];
      }
      if (r + 1 < runs.size()) {
        std::memcpy(y + runs[r], x + runs[r], sizeof(FlatCand) * static_cast<size_t>(runs[r + 1] - runs[r]));
        runs[k++] = runs[r];
      }
      runs[k++] = fresh;
      runs.resize(k);
      std::swap(x, y);
    }
    nw = x;
  }
  // Merge of the sorted part and the newcomers from the smallest load, the
  // survivors written from the back of the array: the write position never
  // passes the next unread candidate of the sorted part.
  int i = base - 1, j = fresh - 1;
  int w = n;  // kept candidates fill [w, n)
  double last = MINUS_INFINITY_TIME;  // sheared, of the last survivor
  double lastc = 0.0;
  const double shear = prune ? s.shear : 0.0;
  while (i >= 0 || j >= 0) {
    FlatCand x = (j < 0 || (i >= 0 && p[i].c <= nw[j].c)) ? p[i--] : nw[j--];
    x.q = real_q(s, x);
    x.c = real_c(s, x);
    x.type = -1;
    const double v = sheared(x.q, x.c, shear);
    if (!beats(v, last) || !beats(x.q, MINUS_INFINITY_TIME)) continue;
    if (w < n && lastc == x.c) w++;  // same load, later required time
    p[--w] = x;
    last = v;
    lastc = x.c;
  }
  if (w > 0) std::memmove(p, p + w, sizeof(FlatCand) * static_cast<size_t>(n - w));
  s.a.n = n - w;
  s.base_n = s.a.n;
  if (keep_hull) {
    // Vertices from the large-load end that a vertex of smaller load now
    // dominates are cut (no slope >= B prefers them); the rest are not
    // dominated by any candidate.
    CandArray &h = s.hull;
    for (int k = 0; k < h.n; k++) {
      h.p[k].q = real_q(s, h.p[k]);
      h.p[k].c = real_c(s, h.p[k]);
    }
    int f = 0;
    while (f + 1 < h.n && !(h.p[f].q > h.p[f + 1].q)) f++;
    if (f > 0) {
      std::memmove(h.p, h.p + f, sizeof(FlatCand) * static_cast<size_t>(h.n - f));
      h.n -= f;
    }
  } else {
    s.hull.n = 0;
  }
  s.A = s.B = s.D = 0.0;
}

struct Buffered {
  double c;  // real load (the buffer's input capacitance)
  double q;  // real required time at the buffer's input
  double v;  // q sheared (see "Pruning")
  int32_t below;  // trace of the driven candidate
  int type;       // 0-based
};

// The edge from node px to its child py of length k: the set carried up the
// wire, plus one buffered candidate per type at px. With `merging` a branch
// merge follows (and compacts the set), so the hull is not kept.
void edge(FlatSet &s, double k, int px, int py, bool merging, double shear) {
  s.shear = shear;
  const double R = r0 * k;
  s.D += R * s.A + (((r0 * 0.5) * c0) * k) * k;
  s.B += R;
  s.A += k * c0;
  const int nb = n_buffertype;
  if (nb == 0 || s.a.n == 0) return;

  CandArray &h = s.hull;
  // Best driven candidate per type: the slopes B + rb grow in by_rb order
  // and their best vertices move along the hull towards smaller loads, so a
  // short hull is walked once; a long one is searched per type.
  double bq[MAX_BUFFERTYPES];
  int32_t bt[MAX_BUFFERTYPES];
  const FlatCand *v = h.p;
  if (h.n <= 2 * nb + 8) {
    int at = 0;
    for (int j = 0; j < nb; j++) {
      const int i = by_rb[j];
      const double slope = s.B + rb[i];
      while (at + 1 < h.n && v[at].q - v[at + 1].q < slope * (v[at].c - v[at + 1].c)) at++;
      bq[i] = (real_q(s, v[at]) - tb[i]) - (rb[i] * real_c(s, v[at]));
      bt[i] = v[at].trace;
    }
  } else {
    for (int i = 0; i < nb; i++) {
      const FlatCand &x = best_vertex(s, s.B + rb[i]);
      bq[i] = (real_q(s, x) - tb[i]) - (rb[i] * real_c(s, x));
      bt[i] = x.trace;
    }
  }

  // Buffered candidates by input capacitance, those dominated by a newcomer
  // of smaller load dropped.
  Buffered buf[MAX_BUFFERTYPES];
  int m = 0;
  for (int j = 0; j < nb; j++) {
    int i = by_cb[j];
    if (!beats(bq[i], MINUS_INFINITY_TIME)) continue;
    const double sv = sheared(bq[i], cb[i], shear);
    if (m > 0 && !beats(sv, buf[m - 1].v)) continue;
    if (m > 0 && buf[m - 1].c == cb[i]) m--;  // same load, later required time
    buf[m++] = {cb[i], bq[i], sv, bt[i], i};
  }
  if (m == 0) return;
  grow(s.a, s.a.n + m);
  // A newcomer is kept unless the hull vertex of largest load not above its
  // own (`u`, of the hull before this edge) dominates it. Sheared values of
  // stored points differ from those of real ones by the same constant.
  const double stored_shear = s.B + shear;
  auto keep = [&](const Buffered &b, const FlatCand *u) {
    const double sc = b.c - s.A, sq = (b.q + s.B * sc) + s.D;
    if (u != nullptr && !beats(sq - stored_shear * sc, u->q - stored_shear * u->c)) return false;
    s.a.p[s.a.n++] = {sc, sq, make_trace(b.below, py, px, b.type + 1), b.type};
    return true;
  };
  if (merging) {
    for (int j = m - 1; j >= 0; j--) {
      const int pos = hull_position(h, buf[j].c - s.A);
      keep(buf[j], pos < h.n ? h.p + pos : nullptr);
    }
  } else {
    // The hull of the old vertices and the kept newcomers, by one monotone
    // chain from the first old vertex that a newcomer can displace: the
    // vertices before it stay as they are, those after it are re-read from
    // a copy, merged with the newcomers by decreasing load.
    const int p = hull_position(h, buf[m - 1].c - s.A);
    const int tail_n = h.n - p;
    if (hull_tail.size() < static_cast<size_t>(tail_n)) hull_tail.resize(2 * static_cast<size_t>(tail_n));
    FlatCand *tail = hull_tail.data();
    for (int k = 0; k < tail_n; k++) tail[k] = h.p[p + k];
    grow(h, h.n + m);
    FlatCand *w = h.p;
    int top = p;
    auto push = [&](const FlatCand &x) {
      if (top > 0 && w[top - 1].c == x.c) {
        if (w[top - 1].q >= x.q) return;
        top--;
      }
      while (top >= 2 && !above(x, w[top - 1], w[top - 2])) top--;
      w[top++] = x;
    };
    int o = 0;
    for (int j = m - 1; j >= 0 || o < tail_n;) {
      if (j >= 0 && (o == tail_n || buf[j].c - s.A >= tail[o].c)) {
        if (keep(buf[j], o < tail_n ? tail + o : nullptr)) push(s.a.p[s.a.n - 1]);
        j--;
      } else {
        push(tail[o++]);
      }
    }
    h.n = top;
  }
  // Lazily kept dominated candidates: compact once the set has doubled.
  if (!merging && s.a.n > 2 * s.base_n + 32) compact(s, true);
}

// Two-pointer merge of the two branches at node `index` (both compacted):
// the side with the earlier required time advances; stops when either runs
// out. Walks from the back (smallest loads).
FlatSet merge(FlatSet &L, FlatSet &R, int index, double shear) {
  FlatSet M;
  M.shear = shear;
  M.a = take_array(L.a.n + R.a.n);
  FlatCand *out = M.a.p + (L.a.n + R.a.n);  // filled backwards
  int i = L.a.n - 1, j = R.a.n - 1, w = 0;
  double last = MINUS_INFINITY_TIME;
  while (i >= 0 && j >= 0) {
    const FlatCand &a = L.a.p[i];
    const FlatCand &b = R.a.p[j];
    bool adv_a = a.q < b.q;
    double q = adv_a ? a.q : b.q;
    double c = a.c + b.c;
    const double v = sheared(q, c, shear);
    if (beats(v, last)) {
      int32_t t;
      if (a.trace == 0)
        t = b.trace;
      else if (b.trace == 0)
        t = a.trace;
      else
        t = make_trace(a.trace, b.trace, index, -1);
      *--out = {c, q, t, -1};
      w++;
      last = v;
    }
    if (adv_a)
      i--;
    else
      j--;
  }
  if (out != M.a.p) std::memmove(M.a.p, out, sizeof(FlatCand) * static_cast<size_t>(w));
  M.a.n = w;
  M.base_n = w;
  return M;
}

std::vector<FlatSet> set_stack;  // finished subtrees awaiting their parent
// The sets below this height have not changed since the last collection, so
// all their records are old.
size_t unchanged_below = 0;

// The top set, about to change.
FlatSet &top_set() {
  unchanged_below = std::min(unchanged_below, set_stack.size() - 1);
  return set_stack.back();
}

FlatSet pop_set() {
  FlatSet s = std::move(top_set());
  set_stack.pop_back();
  return s;
}
FlatSet final_set;               // the driver child's candidates, compacted
int winner = -1;  // index into final_set, -1 when nothing beats minus infinity
bool child_is_sink = false;

void discard(FlatSet &s) {
  free_storage(s.a);
  free_storage(s.hull);
  s = FlatSet{};
}

// Drops every candidate of s and keeps its storage for reuse.
void recycle(FlatSet &s) {
  for (CandArray *a : {&s.a, &s.hull})
    if (a->p != nullptr) spare.push_back(*a);
  s = FlatSet{};
}

// Collection (see "Trace pool"): the candidates of the sets on the stack (and
// their hull copies) are the only references; records nothing reaches are dropped and the rest slide
// down in their order, so children stay older than their parents. Most
// records die young (buffered candidates that are soon dominated), and an old
// record never names a younger one, so a young collection looks only at the
// records made since the last one and keeps every older record; a full one,
// once the old records have doubled, looks at all.
void collect(bool full) {
  count_records();
  peak_check();
  const int32_t from = full ? 1 : old_n;
  std::vector<int32_t> &to = rename_to;  // of record from + i: 1 when reachable, then its new index
  to.assign(static_cast<size_t>(pool_n - from), 0);
  auto young = [from](int32_t r) { return r >= from; };
  const size_t first = full ? 0 : unchanged_below;
  for (size_t k = first; k < set_stack.size(); k++)
    for (const CandArray *a : {&set_stack[k].a, &set_stack[k].hull})
      for (const FlatCand *x = a->p, *e = x + a->n; x < e; x++)
        if (young(x->trace)) to[static_cast<size_t>(x->trace - from)] = 1;
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
  for (size_t k = first; k < set_stack.size(); k++)
    for (CandArray *a : {&set_stack[k].a, &set_stack[k].hull})
      for (int i = 0; i < a->n; i++) a->p[i].trace = renamed(a->p[i].trace);
  unchanged_below = set_stack.size();
  m_reduced += TRACE_BYTES * (pool_n - n);
  pool_n = n;
  counted_n = n;
  old_n = n;
  if (full) full_at = std::max<int32_t>(flat_young_records, 3 * n);
}

void release_scratch() {
  std::vector<FlatCand>().swap(sort_a);
  std::vector<FlatCand>().swap(sort_b);
  std::vector<FlatCand>().swap(hull_tail);
  std::vector<int>().swap(runs);
  std::vector<int32_t>().swap(rename_to);
}

void clear_all() {
  for (auto &s : set_stack) discard(s);
  set_stack.clear();
  unchanged_below = 0;
  for (auto &a : spare) free_storage(a);
  spare.clear();
  discard(final_set);
  winner = -1;
  child_is_sink = false;
  if (pool_n > 0) count_records();
  if (pool_n > 1) m_reduced += TRACE_BYTES * (pool_n - 1);
  std::free(pool);
  pool = nullptr;
  pool_n = pool_cap = 0;
  counted_n = 1;
  release_scratch();
}

}  // namespace

void flat(Node *root) {
  clear_all();
  make_trace(0, 0, 0, 0);  // index 0: the empty trace, never counted
  counted_n = 1;
  old_n = 1;
  full_at = flat_young_records;
  flat_answer = MINUS_INFINITY_TIME;
  for (int i = 0; i < n_buffertype; i++) by_cb[i] = i;
  least_gate = rd;
  for (int i = 0; i < n_buffertype; i++) least_gate = std::min(least_gate, rb[i]);
  least_gate = std::max(least_gate, 0.0);
  std::stable_sort(by_cb, by_cb + n_buffertype, [](int a, int b) { return cb[a] < cb[b]; });
  for (int i = 0; i < n_buffertype; i++) by_rb[i] = i;
  std::stable_sort(by_rb, by_rb + n_buffertype, [](int a, int b) { return rb[a] < rb[b]; });

  // Explicit-stack post-order: children (left first) before the node; each
  // finished subtree leaves its set on set_stack.
  struct Frame {
    Node *t;
    int stage;  // 0: visit left, 1: visit right, 2: finish
  };
  std::vector<Frame> stack;
  stack.push_back({root, 0});
  while (!stack.empty()) {
    // Young generations grow with the old one up to flat_young_records, so
    // that a small net touches little fresh memory.
    if (pool_n - old_n >= std::max(1, std::min(flat_young_records, std::max(old_n, 4096))))
      collect(old_n >= full_at);
    Frame &f = stack.back();
    Node *t = f.t;
    if (t->type == NODE_SINK) {
      stack.pop_back();
      FlatSet s;
      s.a = take_array(1);
      s.a.p[0] = {t->cap, t->time, 0, -1};
      s.a.n = 1;
      s.base_n = 1;
      if (n_buffertype > 0) build_hull(s);
      set_stack.push_back(std::move(s));
      continue;
    }
    if (f.stage == 0) {
      f.stage = 1;
      stack.push_back({t->left, 0});
      continue;
    }
    if (f.stage == 1) {
      f.stage = 2;
      // The driver's second child, absent in valid nets, is not visited.
      if (t->right != nullptr && t->type != NODE_DRIVER) {
        stack.push_back({t->right, 0});
        continue;
      }
    }
    stack.pop_back();
    if (t->type == NODE_DRIVER) {
      final_set = pop_set();
      // Not pruned by the shear, so that the listing shows every candidate
      // that reached the driver undominated.
      compact(final_set, false, false);
      child_is_sink = t->left->type == NODE_SINK;
      double k1 = distance(t, t->left);
      // Smallest load first, as the list engine meets them.
      for (int i = final_set.a.n - 1; i >= 0; i--) {
        const FlatCand &x = final_set.a.p[i];
        double slack = ((x.q - ((((r0 * 0.5) * c0) * k1) * k1)) - (((r0 * k1) + rd) * x.c)) - ((rd * k1) * c0);
        if (slack > flat_answer) {
          flat_answer = slack;
          winner = i;
        }
      }
      continue;
    }
    // The least resistance between t and whatever gate drives it.
    const Node *up = stack.back().t;
    const double shear = r0 * distance(up, t) + (up->type == NODE_DRIVER ? rd : least_gate);
    if (t->right == nullptr) {
      edge(top_set(), distance(t, t->left), t->index, t->left->index, false, shear);
      continue;
    }
    FlatSet R = pop_set();
    FlatSet L = pop_set();
    edge(L, distance(t, t->left), t->index, t->left->index, true, shear);
    edge(R, distance(t, t->right), t->index, t->right->index, true, shear);
    compact(L, false);
    compact(R, false);
    FlatSet M = merge(L, R, t->index, shear);
    if (n_buffertype > 0) build_hull(M);
    recycle(L);
    recycle(R);
    set_stack.push_back(std::move(M));
  }
  count_records();
  peak_check();
  // Storage no longer needed once the answer is known.
  for (auto &s : set_stack) discard(s);
  set_stack.clear();
  for (auto &a : spare) free_storage(a);
  spare.clear();
  release_scratch();
}

namespace {

void write_trace(int32_t t, int *count) {
  std::vector<int32_t> st{t};
  while (!st.empty()) {
    int32_t r = st.back();
    st.pop_back();
    const FlatTrace &f = pool[r];
    if (f.type >= 1) {
      std::fprintf(fp, "start %d  end %d  buffertype %d\n", f.x, f.right, f.type);
      *count += 1;
    } else if (f.right != 0) {
      st.push_back(f.right);
    }
    if (f.left != 0) st.push_back(f.left);
  }
}

}  // namespace

void flat_print_list() {
  if (final_set.a.n == 0) {
    std::printf("empty tree\n");
    return;
  }
  for (int i = final_set.a.n - 1; i >= 0; i--) {
    const FlatCand &x = final_set.a.p[i];
    std::printf("\tq=%10.20f\tc=%10.10f\n", x.q, x.c * 1000.0);
    if (debug) {
      int n = 0;
      if (child_is_sink)
        std::fprintf(fp, "empty tree\n");
      else
        write_trace(x.trace, &n);
    }
  }
}

void flat_printbuffer(int *count) {
  // The list engine's trace is empty exactly when the driver's child is a
  // sink, or when no candidate beat minus infinity.
  if (winner < 0 || child_is_sink) {
    std::fprintf(fp, "empty tree\n");
    return;
  }
  write_trace(final_set.a.p[winner].trace, count);
}

void flat_free() { clear_all(); }
