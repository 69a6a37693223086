// The flat engine: candidates of a subtree in one contiguous array sorted by
// load (non-dominated: load non-decreasing, required time strictly
// increasing), buffer choices read off the upper convex hull of the array,
// buffered candidates merged in by one pass, branches by a two-pointer walk.
//
// Central idea: every step is a linear pass over arrays. A wire is applied
// to the whole array in one pass that also drops the candidates it makes
// dominated and builds the upper hull of the (c, q) points; the best
// candidate for a buffer of resistance R maximises q - R·c, which lies on
// that hull, and with the types sorted by resistance one walk along the hull
// serves all of them. Candidates off the hull stay in the set: after a branch
// merge they can be the best.
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
// slot); m_used / m_reduced by 24 per trace record taken from / returned to
// the pool. max_space is sampled after every array growth and every record
// taken. Scratch buffers of the engine (hull indices, release stack) are not
// counted.
#include "flat.h"

#include <algorithm>
#include <cassert>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
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

std::vector<CandArray> set_stack;  // finished subtrees awaiting their parent
std::vector<CandArray> spare;      // released arrays kept for reuse
CandArray scratch;                 // second buffer of the buffer-merge pass
std::vector<int> hull;             // upper hull of the current array

CandArray final_set;  // the driver child's candidates
int winner = -1;      // index into final_set, -1 when nothing beats minus infinity
bool child_is_sink = false;

// Types sorted by resistance, largest first (hull walk from small loads), and
// by input capacitance, smallest first (insertion by load).
int by_rb[MAX_BUFFERTYPES];
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

int32_t make_trace(int32_t left, int32_t right, int x, int y, int type) {
  int32_t id;
  if (free_head != 0) {
    id = free_head;
    free_head = pool[id].left;
  } else {
    id = static_cast<int32_t>(pool.size());
    pool.push_back({});
  }
  pool[id] = {left, right, x, y, type, 1};
  m_used += 24;
  peak_check();
  return id;
}

// Drops one reference to trace t and frees what nothing else holds.
void release(int32_t t) {
  if (t == 0 || --pool[t].refs != 0) return;
  release_stack.push_back(t);
  while (!release_stack.empty()) {
    int32_t r = release_stack.back();
    release_stack.pop_back();
    FlatTrace &f = pool[r];
    if (f.left != 0 && --pool[f.left].refs == 0) release_stack.push_back(f.left);
    if (f.right != 0 && --pool[f.right].refs == 0) release_stack.push_back(f.right);
    f.left = free_head;
    f.right = 0;
    f.type = 0;
    free_head = r;
    m_reduced += 24;
  }
}

void hold(int32_t t) {
  if (t != 0) pool[t].refs += 1;
}

// Releases every candidate of a and keeps the storage for reuse.
void drop_array(CandArray &a) {
  for (int i = 0; i < a.n; i++) release(a.p[i].trace);
  a.n = 0;
  spare.push_back(a);
  a = CandArray{};
}

// ---- The wire and the buffers of one edge ----

// q - last < 1e-24: no later than the last survivor (which has no larger
// load), so dominated; the first survivor must beat minus infinity.
inline bool beats(double q, double last) { return !(q - last < 1e-24); }

// Carries a up the wire of length k in place, drops what becomes dominated,
// and builds the upper hull of the survivors.
void carry(CandArray &a, double k) {
  const double d = (((r0 * 0.5) * c0) * k) * k;
  const double rk = r0 * k;
  const double ck = k * c0;
  hull.clear();
  double last = MINUS_INFINITY_TIME;
  int w = 0;
  FlatCand *p = a.p;
  for (int i = 0; i < a.n; i++) {
    FlatCand x = p[i];
    x.q = (x.q - d) - (rk * x.c);
    x.c = x.c + ck;
    if (!beats(x.q, last)) {
      release(x.trace);
      continue;
    }
    last = x.q;
    // Upper hull, monotone chain; collinear points leave it.
    while (hull.size() >= 2) {
      const FlatCand &o = p[hull[hull.size() - 2]];
      const FlatCand &m = p[hull.back()];
      if ((m.c - o.c) * (x.q - o.q) - (m.q - o.q) * (x.c - o.c) >= 0)
        hull.pop_back();
      else
        break;
    }
    p[w] = x;
    hull.push_back(w);
    w++;
  }
  a.n = w;
}

struct Buffered {
  double c;
  double q;
  int32_t below;  // trace of the driven candidate (held)
  int type;       // 0-based
};

// The edge from node px to its child py of length k: a carried up the wire,
// plus one buffered candidate per type at px, merged in by load.
void edge(CandArray &a, double k, int px, int py) {
  carry(a, k);
  const int nb = n_buffertype;
  if (nb == 0 || a.n == 0) return;

  // Best driven candidate per type: types by decreasing resistance, the
  // optimum moves along the hull towards larger loads.
  Buffered buf[MAX_BUFFERTYPES];
  double bq[MAX_BUFFERTYPES];
  int32_t bt[MAX_BUFFERTYPES];
  const FlatCand *p = a.p;
  size_t h = 0;
  for (int j = 0; j < nb; j++) {
    int i = by_rb[j];
    double R = rb[i];
    double best = (p[hull[h]].q - tb[i]) - (R * p[hull[h]].c);
    while (h + 1 < hull.size()) {
      const FlatCand &nx = p[hull[h + 1]];
      double v = (nx.q - tb[i]) - (R * nx.c);
      if (!(v > best)) break;
      best = v;
      h++;
    }
    bq[i] = best;
    bt[i] = p[hull[h]].trace;
  }

  // Buffered candidates by input capacitance, dominated ones dropped.
  int m = 0;
  for (int j = 0; j < nb; j++) {
    int i = by_cb[j];
    if (!beats(bq[i], m > 0 ? buf[m - 1].q : MINUS_INFINITY_TIME)) continue;
    if (m > 0 && buf[m - 1].c == cb[i]) m--;  // same load, later required time
    buf[m++] = {cb[i], bq[i], bt[i], i};
  }
  if (m == 0) return;
  for (int j = 0; j < m; j++) hold(buf[j].below);

  // One merge pass by load into the scratch array, dropping the dominated.
  grow(scratch, a.n + m);
  FlatCand *out = scratch.p;
  int w = 0, i = 0, j = 0;
  double last = MINUS_INFINITY_TIME;
  while (i < a.n || j < m) {
    bool take_buf;
    if (i == a.n)
      take_buf = true;
    else if (j == m)
      take_buf = false;
    else if (buf[j].c != p[i].c)
      take_buf = buf[j].c < p[i].c;
    else
      take_buf = buf[j].q > p[i].q;  // equal loads: the better first
    if (take_buf) {
      const Buffered &b = buf[j++];
      if (!beats(b.q, last)) continue;  // its hold is dropped below
      if (w > 0 && out[w - 1].c == b.c) {
        release(out[w - 1].trace);
        w--;
      }
      hold(b.below);
      out[w++] = {b.c, b.q, make_trace(b.below, 0, px, py, b.type + 1)};
      last = b.q;
    } else {
      const FlatCand &x = p[i++];
      if (!beats(x.q, last)) {
        release(x.trace);
        continue;
      }
      if (w > 0 && out[w - 1].c == x.c) {
        release(out[w - 1].trace);
        w--;
      }
      out[w++] = x;
      last = x.q;
    }
  }
  for (int t = 0; t < m; t++) release(buf[t].below);
  scratch.n = w;
  a.n = 0;
  std::swap(a, scratch);
}

// Two-pointer merge of the two branches at node `index`: for each pair the
// later-required side advances; stops when either runs out.
CandArray merge(CandArray &L, CandArray &R, int index) {
  CandArray M = take_array(L.n + R.n);
  int i = 0, j = 0, w = 0;
  double last = MINUS_INFINITY_TIME;
  while (i < L.n && j < R.n) {
    const FlatCand &a = L.p[i];
    const FlatCand &b = R.p[j];
    double q;
    bool adv_a = a.q < b.q;
    q = adv_a ? a.q : b.q;
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
      M.p[w++] = {c, q, t};
      last = q;
    }
    if (adv_a)
      i++;
    else
      j++;
  }
  M.n = w;
  return M;
}

void clear_all() {
  for (auto &a : set_stack) {
    for (int i = 0; i < a.n; i++) release(a.p[i].trace);
    free_storage(a);
  }
  set_stack.clear();
  for (auto &a : spare) free_storage(a);
  spare.clear();
  free_storage(scratch);
  for (int i = 0; i < final_set.n; i++) release(final_set.p[i].trace);
  free_storage(final_set);
  winner = -1;
  child_is_sink = false;
  pool.clear();
  pool.shrink_to_fit();
  free_head = 0;
  std::vector<int>().swap(hull);
  std::vector<int32_t>().swap(release_stack);
}

}  // namespace

void flat(Node *root) {
  clear_all();
  pool.push_back({});  // index 0: the empty trace
  flat_answer = MINUS_INFINITY_TIME;
  for (int i = 0; i < n_buffertype; i++) by_rb[i] = by_cb[i] = i;
  std::stable_sort(by_rb, by_rb + n_buffertype, [](int a, int b) { return rb[a] > rb[b]; });
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
      CandArray a = take_array(1);
      a.p[0] = {t->cap, t->time, 0};
      a.n = 1;
      set_stack.push_back(a);
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
      final_set = set_stack.back();
      set_stack.pop_back();
      child_is_sink = t->left->type == NODE_SINK;
      double k1 = distance(t, t->left);
      for (int i = 0; i < final_set.n; i++) {
        const FlatCand &x = final_set.p[i];
        double slack = ((x.q - ((((r0 * 0.5) * c0) * k1) * k1)) - (((r0 * k1) + rd) * x.c)) - ((rd * k1) * c0);
        if (slack > flat_answer) {
          flat_answer = slack;
          winner = i;
        }
      }
      continue;
    }
    if (t->right == nullptr) {
      edge(set_stack.back(), distance(t, t->left), t->index, t->left->index);
      continue;
    }
    CandArray R = set_stack.back();
    set_stack.pop_back();
    CandArray L = set_stack.back();
    set_stack.pop_back();
    edge(L, distance(t, t->left), t->index, t->left->index);
    edge(R, distance(t, t->right), t->index, t->right->index);
    CandArray M = merge(L, R, t->index);
    drop_array(L);
    drop_array(R);
    set_stack.push_back(M);
  }
  // Storage no longer needed once the answer is known.
  for (auto &a : spare) free_storage(a);
  spare.clear();
  free_storage(scratch);
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
  if (final_set.n == 0) {
    std::printf("empty tree\n");
    return;
  }
  for (int i = 0; i < final_set.n; i++) {
    std::printf("\tq=%10.20f\tc=%10.10f\n", final_set.p[i].q, final_set.p[i].c * 1000.0);
    if (debug) {
      int n = 0;
      if (child_is_sink)
        std::fprintf(fp, "empty tree\n");
      else
        write_trace(final_set.p[i].trace, &n);
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
  write_trace(final_set.p[winner].trace, count);
}

void flat_free() { clear_all(); }
