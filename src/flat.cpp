// The flat engine: candidates of a subtree in one contiguous array sorted by
// load, buffer choices read off the upper convex hull of the array, buffered
// candidates merged in by load in one pass, branches merged by a two-pointer
// walk.
//
// Central idea: a wire changes every candidate by the same affine map
// (q -= D + R·c, c += C), so it is kept as one pending update of the whole
// array (FlatSet) and costs O(1); the update is a shear of the (c, q) plane,
// so the upper hull of the stored points stays the hull. The best candidate
// for a buffer of resistance R maximises q - R·c and lies on that hull
// (binary search per type). Candidates off the hull stay in the set: after a
// branch merge they can be the best. Buffered candidates have small loads,
// so the array is kept with the largest load first and they join at its
// back: only the candidates of smaller load than the newcomers are
// rewritten, and the hull is cut back and continued from there. Candidates
// that a wire makes dominated are dropped lazily (compaction when the array
// has doubled, and before every merge); they never win a buffer meanwhile.
//
// Traces: small records in a pool (FlatTrace, 24 bytes), reference-counted
// and returned to a free list when the last reference goes; index 0 is the
// empty trace. Only buffer and merge records exist (a wire leaves a
// candidate's trace unchanged), and a merge with an empty side is no record
// at all. Each candidate in an array holds one reference to its trace.
//
// Ownership: candidate arrays live on the engine's own set stack (one per
// finished subtree whose parent is not done yet); at the end only the driver
// child's set and the pool stay, until flat_free().
//
// Memory counters: total_solution / reduce_solution grow by the bytes of
// candidate-array storage allocated / released (real capacities, 24 bytes a
// slot, spare arrays kept for reuse included); m_used / m_reduced by 24 per
// trace record taken from / returned to the pool. max_space is sampled after
// every array growth and every record taken. Not counted: the pool's free
// slots, the hull index arrays and the scratch buffers (all at most a few
// words per live candidate or record).
#include "flat.h"

#include <algorithm>
#include <cassert>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

double flat_answer = MINUS_INFINITY_TIME;

namespace {

struct FlatCand {
  double c;
  double q;
  int32_t trace;  // index into the pool, 0 for the empty trace
};

// type >= 1: buffer of library type type-1 at node x on the edge to node y,
// driving trace `left`; -1: merge of `left` (left branch) and `right`.
struct FlatTrace {
  int32_t left;
  int32_t right;
  int32_t x;
  int32_t y;
  int32_t type;
  int32_t refs;  // on the free list: unused, `left` links the next free one
};
static_assert(sizeof(FlatTrace) == 24, "trace records are counted as 24 bytes");

// A candidate array with its own storage, so that its capacity is counted.
struct CandArray {
  FlatCand *p = nullptr;
  int n = 0;
  int cap = 0;
};

std::vector<FlatTrace> pool;  // pool[0] unused: index 0 is the empty trace
int32_t free_head = 0;
std::vector<int32_t> release_stack;

std::vector<CandArray> spare;  // released arrays kept for reuse

// Types sorted by input capacitance, smallest first (insertion by load).
int by_cb[MAX_BUFFERTYPES];

// ---- Candidate arrays ----

void grow(CandArray &a, int need) {
  if (need <= a.cap) return;
  int cap = std::max(need, std::max(16, a.cap * 2));
  auto *p = static_cast<FlatCand *>(std::realloc(a.p, sizeof(FlatCand) * static_cast<size_t>(cap)));
  if (p == nullptr) {
    std::fprintf(stderr, "bufins: out of memory\n");
    std::exit(1);
  }
  total_solution += static_cast<double>(sizeof(FlatCand)) * cap;
  reduce_solution += static_cast<double>(sizeof(FlatCand)) * a.cap;
  a.p = p;
  a.cap = cap;
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

int32_t pool_n = 0;  // slots of pool in use or on the free list

int32_t make_trace(int32_t left, int32_t right, int x, int y, int type) {
  int32_t id;
  if (free_head != 0) {
    id = free_head;
    free_head = pool[id].left;
  } else {
    if (pool_n == static_cast<int32_t>(pool.size())) pool.resize(pool.size() * 2 + 1024);
    id = pool_n++;
  }
  pool[id] = {left, right, x, y, type, 1};
  m_used += 24;
  peak_check();
  return id;
}

// Frees record r, whose count has reached 0, and what nothing else holds
// below it; follows one child directly, stacks the other.
void free_trace(int32_t r) {
  for (;;) {
    FlatTrace &f = pool[r];
    int32_t l = f.left, rt = f.right, next = 0;
    f.left = free_head;
    f.right = 0;
    f.type = 0;
    free_head = r;
    m_reduced += 24;
    if (rt != 0 && --pool[rt].refs == 0) next = rt;
    if (l != 0 && --pool[l].refs == 0) {
      if (next != 0) release_stack.push_back(next);
      next = l;
    }
    if (next == 0) {
      if (release_stack.empty()) return;
      next = release_stack.back();
      release_stack.pop_back();
    }
    r = next;
  }
}

// Drops one reference to trace t.
inline void release(int32_t t) {
  if (t != 0 && --pool[t].refs == 0) free_trace(t);
}

inline void hold(int32_t t) {
  if (t != 0) pool[t].refs += 1;
}


// ---- Sets: an array with a pending wire update ----

// The candidates of one subtree. The array is sorted by load, largest first,
// so that buffered candidates (small loads) join at the back. Stored values
// (c, q) stand for the real load c + A and required time q - B·c - D: a
// wire of resistance R, capacitance C and own delay Dw composes as
// D += R·A + Dw, B += R, A += C, in constant time for the whole array.
// Candidates that a wire makes dominated may stay in the array until the next
// compaction: they never win a buffer (for resistance >= 0 their dominator
// does at least as well, at a smaller load) and are dropped before merges.
// hull: indices of the upper convex hull of the stored (c, q) points, in
// array order; the pending update is a shear and keeps the hull a hull.
struct FlatSet {
  CandArray a;
  double A = 0.0, B = 0.0, D = 0.0;
  std::vector<int> hull;
  bool hull_ok = false;
  int base_n = 0;  // size after the last compaction: growth beyond it is lazy
};

inline double real_q(const FlatSet &s, const FlatCand &x) { return (x.q - s.B * x.c) - s.D; }
inline double real_c(const FlatSet &s, const FlatCand &x) { return x.c + s.A; }

// q - last < 1e-24: no later than the last survivor (which has no larger
// load), so dominated; the first survivor must beat minus infinity.
inline bool beats(double q, double last) { return !(q - last < 1e-24); }

// Applies the pending update to every candidate and drops the dominated ones
// (those no later than a candidate of smaller load, and those at or below
// minus infinity).
void compact(FlatSet &s) {
  FlatCand *p = s.a.p;
  const int n = s.a.n;
  int w = n;  // kept candidates fill [w, n), smallest load at the back
  double last = MINUS_INFINITY_TIME;
  double lastc = 0.0;
  for (int i = n - 1; i >= 0; i--) {
    FlatCand x = p[i];
    x.q = real_q(s, x);
    x.c = real_c(s, x);
    if (!beats(x.q, last)) {
      release(x.trace);
      continue;
    }
    if (w < n && lastc == x.c) {  // same load, later required time
      release(p[w].trace);
      w++;
    }
    p[--w] = x;
    last = x.q;
    lastc = x.c;
  }
  if (w > 0) std::memmove(p, p + w, sizeof(FlatCand) * static_cast<size_t>(n - w));
  s.a.n = n - w;
  s.A = s.B = s.D = 0.0;
  s.hull_ok = false;
  s.base_n = s.a.n;
}

// Pushes array index i (after all indices already on the hull) onto the hull.
// Array order is decreasing load: keep the middle point only when it lies
// strictly above the chord.
inline void hull_push(FlatSet &s, int i) {
  const FlatCand *p = s.a.p;
  const FlatCand &x = p[i];
  std::vector<int> &h = s.hull;
  while (h.size() >= 2) {
    const FlatCand &o = p[h[h.size() - 2]];
    const FlatCand &m = p[h.back()];
    if ((m.c - o.c) * (x.q - o.q) - (m.q - o.q) * (x.c - o.c) <= 0)
      h.pop_back();
    else
      break;
  }
  h.push_back(i);
}

void build_hull(FlatSet &s) {
  s.hull.clear();
  for (int i = 0; i < s.a.n; i++) hull_push(s, i);
  s.hull_ok = true;
}

// Hull vertex maximising q - slope·c (stored values). Along the hull (loads
// decreasing) moving on improves while the edge's slope is below `slope`.
inline int best_vertex(const FlatSet &s, double slope) {
  const FlatCand *p = s.a.p;
  const std::vector<int> &h = s.hull;
  int lo = 0, hi = static_cast<int>(h.size()) - 1;  // answer in [lo, hi]
  while (lo < hi) {
    int mid = (lo + hi) / 2;
    const FlatCand &u = p[h[mid]], &v = p[h[mid + 1]];
    // (u.q - v.q) / (u.c - v.c) < slope, with u.c >= v.c
    if (u.q - v.q < slope * (u.c - v.c))
      lo = mid + 1;
    else
      hi = mid;
  }
  return h[lo];
}

struct Buffered {
  double c;  // real load (the buffer's input capacitance)
  double q;  // real required time at the buffer's input
  int32_t below;  // trace of the driven candidate (held)
  int type;       // 0-based
};

std::vector<FlatCand> region;  // the rewritten part of an array, smallest load first

// The edge from node px to its child py of length k: the set carried up the
// wire, plus one buffered candidate per type at px, merged in by load. With
// `merging` the set is compacted for a branch merge next, so its hull is not
// kept.
void edge(FlatSet &s, double k, int px, int py, bool merging) {
  const double R = r0 * k;
  s.D += R * s.A + (((r0 * 0.5) * c0) * k) * k;
  s.B += R;
  s.A += k * c0;
  const int nb = n_buffertype;
  if (nb == 0 || s.a.n == 0) return;
  if (!s.hull_ok) build_hull(s);

  // Best driven candidate per type.
  double bq[MAX_BUFFERTYPES];
  int32_t bt[MAX_BUFFERTYPES];
  const FlatCand *p = s.a.p;
  for (int i = 0; i < nb; i++) {
    const FlatCand &x = p[best_vertex(s, s.B + rb[i])];
    bq[i] = (real_q(s, x) - tb[i]) - (rb[i] * real_c(s, x));
    bt[i] = x.trace;
  }

  // Buffered candidates by input capacitance, dominated ones dropped.
  Buffered buf[MAX_BUFFERTYPES];
  int m = 0;
  for (int j = 0; j < nb; j++) {
    int i = by_cb[j];
    if (!beats(bq[i], m > 0 ? buf[m - 1].q : MINUS_INFINITY_TIME)) continue;
    if (m > 0 && buf[m - 1].c == cb[i]) m--;  // same load, later required time
    buf[m++] = {cb[i], bq[i], bt[i], i};
  }
  FlatCand *a = s.a.p;
  int n = s.a.n;
  // First index with a stored load not above c.
  auto position = [&](double c) {
    int lo = 0, hi = n;
    while (lo < hi) {
      int mid = (lo + hi) / 2;
      if (a[mid].c <= c)
        hi = mid;
      else
        lo = mid + 1;
    }
    return lo;
  };
  // Newcomers, largest load first, that the candidate just below them in
  // load already beats are dropped before they widen the region.
  int r = n;
  while (m > 0) {
    r = position(buf[m - 1].c - s.A);
    if (r < n && !beats(buf[m - 1].q, real_q(s, a[r]))) {
      m--;
      continue;
    }
    break;
  }
  if (m == 0) return;
  for (int j = 0; j < m; j++) hold(buf[j].below);

  // The region that the newcomers reach: every candidate with a load not
  // above the largest newcomer's, merged with them by load (smallest first),
  // dominated ones dropped; then the run of larger loads that the region now
  // dominates.
  if (region.size() < static_cast<size_t>(n - r + m)) region.resize(2 * static_cast<size_t>(n - r + m));
  FlatCand *out = region.data();
  int w = 0;
  int i = n - 1, j = 0;
  double last = MINUS_INFINITY_TIME;
  while (i >= r || j < m) {
    bool take_buf;
    double xq = 0.0, xc = 0.0;
    if (i >= r) {
      xq = real_q(s, a[i]);
      xc = real_c(s, a[i]);
    }
    if (i < r)
      take_buf = true;
    else if (j == m)
      take_buf = false;
    else if (buf[j].c != xc)
      take_buf = buf[j].c < xc;
    else
      take_buf = buf[j].q > xq;  // equal loads: the later required time first
    if (take_buf) {
      const Buffered &b = buf[j++];
      if (!beats(b.q, last)) continue;
      const double sc = b.c - s.A;
      if (w > 0 && out[w - 1].c == sc) release(out[--w].trace);
      hold(b.below);
      out[w++] = {sc, (b.q + s.B * sc) + s.D, make_trace(b.below, 0, px, py, b.type + 1)};
      last = b.q;
    } else {
      const FlatCand &x = a[i--];
      if (!beats(xq, last)) {
        release(x.trace);
        continue;
      }
      if (w > 0 && out[w - 1].c == x.c) release(out[--w].trace);
      out[w++] = x;
      last = xq;
    }
  }
  int start = r;
  while (start > 0 && !beats(real_q(s, a[start - 1]), last)) {
    release(a[start - 1].trace);
    start--;
  }
  for (int t = 0; t < m; t++) release(buf[t].below);

  grow(s.a, start + w);
  a = s.a.p;
  for (int t = 0; t < w; t++) a[start + t] = out[w - 1 - t];
  n = start + w;
  s.a.n = n;
  if (merging) {
    s.hull_ok = false;
    return;
  }
  while (!s.hull.empty() && s.hull.back() >= start) s.hull.pop_back();
  for (int t = start; t < n; t++) hull_push(s, t);

  // Lazily kept dominated candidates: compact once the array has doubled.
  if (n > 2 * s.base_n + 32) compact(s);
}

// Two-pointer merge of the two branches at node `index` (both compacted):
// the side with the earlier required time advances; stops when either runs
// out. Walks from the back (smallest loads).
FlatSet merge(FlatSet &L, FlatSet &R, int index) {
  FlatSet M;
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
    if (beats(q, last)) {
      int32_t t;
      if (a.trace == 0) {
        t = b.trace;
        hold(t);
      } else if (b.trace == 0) {
        t = a.trace;
        hold(t);
      } else {
        hold(a.trace);
        hold(b.trace);
        t = make_trace(a.trace, b.trace, index, index, -1);
      }
      *--out = {c, q, t};
      w++;
      last = q;
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
FlatSet final_set;               // the driver child's candidates, compacted
int winner = -1;  // index into final_set, -1 when nothing beats minus infinity
bool child_is_sink = false;

void discard(FlatSet &s) {
  for (int i = 0; i < s.a.n; i++) release(s.a.p[i].trace);
  free_storage(s.a);
  s = FlatSet{};
}

// Releases every candidate of s and keeps its storage for reuse.
void recycle(FlatSet &s) {
  for (int i = 0; i < s.a.n; i++) release(s.a.p[i].trace);
  s.a.n = 0;
  spare.push_back(s.a);
  s = FlatSet{};
}

void clear_all() {
  for (auto &s : set_stack) discard(s);
  set_stack.clear();
  for (auto &a : spare) free_storage(a);
  spare.clear();
  discard(final_set);
  winner = -1;
  child_is_sink = false;
  std::vector<FlatTrace>().swap(pool);
  pool_n = 0;
  free_head = 0;
  std::vector<FlatCand>().swap(region);
  std::vector<int32_t>().swap(release_stack);
}

}  // namespace

void flat(Node *root) {
  clear_all();
  pool.resize(1024);
  pool_n = 1;  // index 0: the empty trace
  flat_answer = MINUS_INFINITY_TIME;
  for (int i = 0; i < n_buffertype; i++) by_cb[i] = i;
  std::stable_sort(by_cb, by_cb + n_buffertype, [](int a, int b) { return cb[a] < cb[b]; });

  // Explicit-stack post-order: children (left first) before the node; each
  // finished subtree leaves its set on set_stack.
  struct Frame {
    Node *t;
    int stage;  // 0: visit left, 1: visit right, 2: finish
  };
  std::vector<Frame> stack;
  stack.push_back({root, 0});
  while (!stack.empty()) {
    Frame &f = stack.back();
    Node *t = f.t;
    if (t->type == NODE_SINK) {
      stack.pop_back();
      FlatSet s;
      s.a = take_array(1);
      s.a.p[0] = {t->cap, t->time, 0};
      s.a.n = 1;
      s.base_n = 1;
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
      final_set = std::move(set_stack.back());
      set_stack.pop_back();
      compact(final_set);
      std::vector<int>().swap(final_set.hull);
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
    if (t->right == nullptr) {
      edge(set_stack.back(), distance(t, t->left), t->index, t->left->index, false);
      continue;
    }
    FlatSet R = std::move(set_stack.back());
    set_stack.pop_back();
    FlatSet L = std::move(set_stack.back());
    set_stack.pop_back();
    edge(L, distance(t, t->left), t->index, t->left->index, true);
    edge(R, distance(t, t->right), t->index, t->right->index, true);
    compact(L);
    compact(R);
    FlatSet M = merge(L, R, t->index);
    recycle(L);
    recycle(R);
    set_stack.push_back(std::move(M));
  }
  // Storage no longer needed once the answer is known.
  for (auto &s : set_stack) discard(s);
  set_stack.clear();
  for (auto &a : spare) free_storage(a);
  spare.clear();
  std::vector<FlatCand>().swap(region);
}

namespace {

void write_trace(int32_t t, int *count) {
  std::vector<int32_t> st{t};
  while (!st.empty()) {
    int32_t r = st.back();
    st.pop_back();
    const FlatTrace &f = pool[r];
    if (f.type >= 1) {
      std::fprintf(fp, "start %d  end %d  buffertype %d\n", f.x, f.y, f.type);
      *count += 1;
    }
    if (f.right != 0) st.push_back(f.right);
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
