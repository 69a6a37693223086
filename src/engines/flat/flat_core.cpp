// The flat engines' building blocks (see flat_core.h): the workspace (trace
// pool, spare arrays, scratch), compaction, the edge and the branch merge of
// one candidate set.
#include "flat_core.h"

#include <algorithm>
#include <cassert>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <malloc.h>
#include <new>
#include <string>
#include <vector>

namespace flat_core {

// Thrown, not printed: main reports it, and a caller of the library survives.
void out_of_memory() { throw std::bad_alloc(); }

// ---- Workspace ----

Tables::Tables(const bufins::Net &net, const bufins::Library &lib) {
  assert(lib.types.size() <= static_cast<size_t>(MAX_BUFFERTYPES));
  nb = static_cast<int>(lib.types.size());
  for (int i = 0; i < nb; i++) {
    const bufins::BufferType &b = lib.types[static_cast<size_t>(i)];
    cb[i] = b.input_cap / 1000.0;
    tb[i] = b.intrinsic_delay;
    rb[i] = b.output_resistance;
    area[i] = b.area;
    max_cap[i] = b.max_cap < NO_LIMIT ? b.max_cap / 1000.0 : NO_LIMIT;
  }
  rd = net.driver_resistance;
  r0 = net.wire_resistance;
  c0 = net.wire_capacitance / 1000.0;
  driver_max_cap = net.driver_max_cap < NO_LIMIT ? net.driver_max_cap / 1000.0 : NO_LIMIT;
  nodes = net.nodes.data();
  n_nodes = static_cast<int>(net.nodes.size());
  for (int i = 0; i < nb; i++) by_cb[i] = i;
  least_gate = rd;
  for (int i = 0; i < nb; i++) least_gate = std::min(least_gate, rb[i]);
  least_gate = std::max(least_gate, 0.0);
  std::stable_sort(by_cb, by_cb + nb, [this](int a, int b) { return cb[a] < cb[b]; });
  for (int i = 0; i < nb; i++) by_rb[i] = i;
  std::stable_sort(by_rb, by_rb + nb, [this](int a, int b) { return rb[a] < rb[b]; });
}

Arena::~Arena() {
  for (void *p : buffers_) std::free(p);
  std::free(pool);
}

void *Arena::take() {
  if (buffers_.empty()) return nullptr;
  void *p = buffers_.back();
  buffers_.pop_back();
  kept_ -= malloc_usable_size(p);
  return p;
}

void Arena::give(void *p) {
  const size_t bytes = malloc_usable_size(p);
  if (kept_ + bytes > KEEP_BYTES) {
    std::free(p);
    return;
  }
  buffers_.push_back(p);
  kept_ += bytes;
}

namespace {

// A scratch vector handed back to the arena, or freed when it is larger
// than the arena keeps.
template <typename V>
void keep_or_free(V &from, V &into) {
  if (from.capacity() == 0) return;
  if (from.capacity() * sizeof(typename V::value_type) <= Arena::KEEP_BYTES) into.swap(from);
  V().swap(from);
}

}  // namespace

Workspace::Workspace(const Tables &tables, bufins::Context &context, Arena *arena)
    : T(tables), ctx(context), arena_(arena) {
  if (arena_ == nullptr) return;
  pool = arena_->pool;
  pool_cap = arena_->pool_cap;
  arena_->pool = nullptr;
  arena_->pool_cap = 0;
  sort_a.swap(arena_->sort_a);
  sort_b.swap(arena_->sort_b);
  hull_tail.swap(arena_->hull_tail);
  runs.swap(arena_->runs);
  rename_to.swap(arena_->rename_to);
}

void Workspace::grow_pool() {
  int64_t cap = std::max<int64_t>(4096, 2 * static_cast<int64_t>(pool_cap));
  if (cap > INT32_MAX) out_of_memory();
  auto *p = static_cast<FlatTrace *>(std::realloc(pool, sizeof(FlatTrace) * static_cast<size_t>(cap)));
  if (p == nullptr) out_of_memory();
  pool = p;
  pool_cap = static_cast<int32_t>(cap);
}

void Workspace::start_pool(int young) {
  young_records = std::max(1, young);
  pool_n = 0;
  make_trace(0, 0, 0, 0);  // index 0: the empty trace, never counted
  counted_n = 1;
  old_n = 1;
  full_at = young_records;
  set_due();
}

void Workspace::placements(int32_t t, std::vector<bufins::Placement> &out) const {
  std::vector<int32_t> st{t};
  while (!st.empty()) {
    int32_t r = st.back();
    st.pop_back();
    const FlatTrace &f = pool[r];
    if (f.type >= 1) {
      out.push_back({f.x, f.right, f.type});
    } else if (f.right != 0) {
      st.push_back(f.right);
    }
    if (f.left != 0) st.push_back(f.left);
  }
}

namespace {

// A figure summed over each trace's buffers, every record once: a record's
// children come before it in the pool.
template <typename Sum, typename Weight>
std::vector<Sum> sums_over_traces(const FlatTrace *pool, int32_t n, Weight weight) {
  std::vector<Sum> sum(static_cast<size_t>(n), 0);
  for (int32_t r = 1; r < n; r++) {
    const FlatTrace &f = pool[r];
    const size_t at = static_cast<size_t>(r);
    if (f.type >= 1)
      sum[at] = sum[static_cast<size_t>(f.left)] + weight(f.type);
    else
      sum[at] = sum[static_cast<size_t>(f.left)] + sum[static_cast<size_t>(f.right)];
  }
  return sum;
}

}  // namespace

std::vector<int> Workspace::buffer_counts() const {
  return sums_over_traces<int>(pool, pool_n, [](int) { return 1; });
}

std::vector<long long> Workspace::trace_sums(const std::vector<long long> &weight) const {
  return sums_over_traces<long long>(pool, pool_n, [&](int type) { return weight[static_cast<size_t>(type - 1)]; });
}

void Workspace::release_scratch() {
  if (arena_ != nullptr) {
    keep_or_free(sort_a, arena_->sort_a);
    keep_or_free(sort_b, arena_->sort_b);
    keep_or_free(hull_tail, arena_->hull_tail);
    keep_or_free(runs, arena_->runs);
    keep_or_free(rename_to, arena_->rename_to);
    return;
  }
  std::vector<FlatCand>().swap(sort_a);
  std::vector<FlatCand>().swap(sort_b);
  std::vector<FlatCand>().swap(hull_tail);
  std::vector<int>().swap(runs);
  std::vector<int32_t>().swap(rename_to);
}

void Workspace::clear() {
  release_spare();
  if (pool_n > 0) count_records();
  if (pool_n > 1) ctx.memory.traces_freed += TRACE_BYTES * (pool_n - 1);
  if (arena_ != nullptr && arena_->pool == nullptr && sizeof(FlatTrace) * static_cast<size_t>(pool_cap) <= Arena::KEEP_BYTES) {
    arena_->pool = pool;
    arena_->pool_cap = pool_cap;
  } else {
    std::free(pool);
  }
  pool = nullptr;
  pool_n = pool_cap = 0;
  counted_n = 1;
  old_n = 1;
  set_due();
  release_scratch();
}

// ---- Sets ----

void build_hull(Workspace &ws, FlatSet &s) {
  CandArray &h = s.hull;
  if (h.p == nullptr) h = ws.take_array(1);
  // The monotone chain over locals (a store through h.p could otherwise be
  // h.n); the array grows as it did one vertex at a time, so that its
  // capacity, and the memory figures, are those of a push per vertex.
  FlatCand *w = h.p, *top = w, *end = w + h.cap;
  for (const FlatCand *x = s.a.p, *a_end = s.a.p + s.a.n; x != a_end; x++) {
    while (top - w >= 2 && !above(*x, top[-1], top[-2])) top--;
    if (top == end) {
      h.n = static_cast<int>(top - w);
      ws.grow(h, h.n + 1);
      w = h.p;
      top = w + h.n;
      end = w + h.cap;
    }
    *top++ = *x;
  }
  h.n = static_cast<int>(top - w);
  FLAT_CHECK(ws, s, true);
}

namespace {

// compact()'s sort of many newcomers: pairwise merges of neighbouring sorted
// runs, each stable, so that equal loads keep the order of their runs. The
// runs are either those of one type each (a counting sort by type), or the
// stretches of non-increasing load that the edges appended (one edge
// appends its newcomers by decreasing load): whichever are fewer.
[[gnu::noinline]] const FlatCand *merge_sort_newcomers(Workspace &ws, const FlatCand *p, int base, int n) {
  const int fresh = n - base;
  std::vector<FlatCand> &sort_a = ws.sort_a, &sort_b = ws.sort_b;
  std::vector<int> &runs = ws.runs;
  const int nb = ws.T.nb;
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
  return x;
}

}  // namespace

void compact(Workspace &ws, FlatSet &s, bool keep_hull, bool prune) {
  FlatCand *p = s.a.p;
  const int n = s.a.n, base = s.base_n, fresh = n - base;
  // The newcomers sorted by load, largest first.
  std::vector<FlatCand> &sort_a = ws.sort_a;
  const FlatCand *nw = nullptr;
  if (fresh > 0 && fresh <= 32) {
    // Few newcomers (a merge right after a sink, a short wire or the pieces
    // of a segmented one): an insertion sort of the stretches, which are
    // nearly in order, behind a sentinel of infinite load. Up to 8
    // newcomers its order (equal loads in the order they came) stands;
    // beyond, it is kept unless two newcomers have equal loads, whose order
    // the run merge decides (by type or by position); without ties the
    // order is the same either way.
    if (sort_a.size() < static_cast<size_t>(fresh) + 1) sort_a.resize(2 * static_cast<size_t>(fresh) + 1);
    FlatCand *x = sort_a.data() + 1;
    x[-1].c = std::numeric_limits<double>::infinity();
    FlatCand *x_end = x;  // one past the sorted ones
    if (fresh <= 8) {
      for (const FlatCand *from = p + base, *from_end = p + n; from != from_end; from++) {
        const FlatCand y = *from;
        FlatCand *k = x_end++;
        for (; k[-1].c < y.c; k--) *k = k[-1];
        *k = y;
      }
      nw = x;
    } else {
      bool tie = false;
      for (const FlatCand *from = p + base, *from_end = p + n; from != from_end; from++) {
        const FlatCand y = *from;
        FlatCand *k = x_end++;
        for (; k[-1].c < y.c; k--) *k = k[-1];
        tie = tie || k[-1].c == y.c;
        *k = y;
      }
      if (!tie) nw = x;
    }
  }
  if (fresh > 0 && nw == nullptr) nw = merge_sort_newcomers(ws, p, base, n);
  // Merge of the sorted part and the newcomers from the smallest load, the
  // survivors written from the back of the array: the write position never
  // passes the next unread candidate of the sorted part. Pending update and
  // the two current loads in locals.
  const FlatCand *i = p + base, *j = nw + fresh;  // one past the next unread of each, read backwards
  FlatCand *const end = p + n;
  FlatCand *kept = end;  // the survivors fill [kept, end)
  double last = MINUS_INFINITY_TIME;  // sheared, of the last survivor
  double lastc = 0.0;
  const double shear = prune ? s.shear : 0.0;
  const double A = s.A, B = s.B, D = s.D;
  auto put = [&](const FlatCand &x) __attribute__((always_inline)) {
    const double q = (x.q - B * x.c) - D, c = x.c + A;  // real_q, real_c
    const double v = sheared(q, c, shear);
    if (!beats(v, last) || !beats(q, MINUS_INFINITY_TIME)) return;
    if (kept < end && lastc == c) kept++;  // same load, later required time
    *--kept = {c, q, x.trace, -1};
    last = v;
    lastc = c;
  };
  if (i != p && j != nw) {
    double pc = i[-1].c, nc = j[-1].c;
    for (;;) {
      if (pc <= nc) {
        put(*--i);
        if (i == p) break;
        pc = i[-1].c;
      } else {
        put(*--j);
        if (j == nw) break;
        nc = j[-1].c;
      }
    }
  }
  while (i != p) put(*--i);
  while (j != nw) put(*--j);
  const int w = static_cast<int>(kept - p);
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
  FLAT_CHECK(ws, s, keep_hull);
}

void edge(Workspace &ws, FlatSet &s, double k, int px, int py, bool merging, double shear) {
  s.shear = shear;
  add_wire(ws.T, s, k);
  const int nb = ws.T.nb;
  const double *cb = ws.T.cb;
  if (nb == 0 || s.a.n == 0) return;

  double bq[MAX_BUFFERTYPES];
  int32_t bt[MAX_BUFFERTYPES];
  best_per_type(ws, s, bq, bt);

  // Buffered candidates by input capacitance, those dominated by a newcomer
  // of smaller load dropped.
  Buffered buf[MAX_BUFFERTYPES];
  Buffered *e = buf;  // one past the last made
  for (const int *t = ws.T.by_cb, *t_end = t + nb; t != t_end; t++) {
    const int i = *t;
    if (!beats(bq[i], MINUS_INFINITY_TIME)) continue;
    const double sv = sheared(bq[i], cb[i], shear);
    if (e != buf && !beats(sv, e[-1].v)) continue;
    if (e != buf && e[-1].c == cb[i]) e--;  // same load, later required time
    *e++ = {cb[i], bq[i], sv, bt[i], i};
  }
  const int m = static_cast<int>(e - buf);
  if (m == 0) return;
  add_buffered(ws, s, buf, m, px, py, merging);
  // Lazily kept dominated candidates: compact once the set has doubled.
  if (!merging && s.a.n > 2 * s.base_n + 32) compact(ws, s, true);
  FLAT_CHECK(ws, s, !merging);
}

FlatSet merge(Workspace &ws, const FlatSet &L, const FlatSet &R, int index, double shear) {
  FlatSet M;
  M.shear = shear;
  M.a = ws.take_array(L.a.n + R.a.n);
  FlatCand *out = M.a.p + (L.a.n + R.a.n);  // filled backwards
  int w = 0;
  double last = MINUS_INFINITY_TIME, lastc = 0.0;
  // At most one record per merged candidate: room made first.
  Workspace::Maker records = ws.maker(L.a.n + R.a.n);
  FlatTrace *const pool = records.pool;
  int32_t rec = records.n;
  // Two pointers from the smallest loads: the side with the earlier required
  // time gives it and advances; stops when either runs out. The sums come by
  // non-decreasing load; two may round to the same load when one branch's
  // loads differ below the other's last digit (a load of 1e20 beside one of
  // 1e-300): the later, with the later required time, replaces the earlier,
  // so that the loads stay strictly decreasing. The two current candidates
  // are held in locals, one of them read again per step.
  if (L.a.n > 0 && R.a.n > 0) {
    const FlatCand *i = L.a.p + (L.a.n - 1), *j = R.a.p + (R.a.n - 1);
    const FlatCand *const l0 = L.a.p, *const r0 = R.a.p;
    double ac = i->c, aq = i->q, bc = j->c, bq = j->q;
    int32_t at = i->trace, bt = j->trace;
    for (;;) {
      const bool adv_a = aq < bq;
      const double c = ac + bc, q = adv_a ? aq : bq, v = sheared(q, c, shear);
      if (beats(v, last)) {
        if (w > 0 && lastc == c) {
          out++;
          w--;
        }
        int32_t t;  // the merge record; an empty side is no record at all
        if (at == 0) {
          t = bt;
        } else if (bt == 0) {
          t = at;
        } else {
          pool[rec] = {at, bt, index, -1};
          t = rec++;
        }
        *--out = {c, q, t, -1};
        w++;
        last = v;
        lastc = c;
      }
      if (adv_a) {
        if (i == l0) break;
        i--;
        ac = i->c;
        aq = i->q;
        at = i->trace;
      } else {
        if (j == r0) break;
        j--;
        bc = j->c;
        bq = j->q;
        bt = j->trace;
      }
    }
  }
  records.n = rec;
  ws.made(records);
  if (out != M.a.p) std::memmove(M.a.p, out, sizeof(FlatCand) * static_cast<size_t>(w));
  M.a.n = w;
  M.base_n = w;
  FLAT_CHECK(ws, M, false);
  return M;
}

// ---- Self-check ----

std::string check_set(const Workspace &ws, const FlatSet &s, bool hull_covers) {
  const CandArray &a = s.a, &h = s.hull;
  auto finite = [](double v) { return std::isfinite(v); };
  if (a.n < 0 || a.n > a.cap || h.n < 0 || h.n > h.cap) return "count outside its array";
  if (s.base_n < 0 || s.base_n > a.n) return "sorted part longer than the set";
  if (!(finite(s.A) && finite(s.B) && finite(s.D) && s.A >= 0.0 && s.B >= 0.0 && s.D >= 0.0))
    return "pending update not finite and non-negative";
  if (!(finite(s.shear) && s.shear >= 0.0)) return "shear not finite and non-negative";
  double last_of[MAX_BUFFERTYPES];
  std::fill(last_of, last_of + MAX_BUFFERTYPES, NO_LIMIT);
  for (int i = 0; i < a.n; i++) {
    const FlatCand &x = a.p[i];
    if (!finite(x.c) || std::isnan(x.q)) return "candidate " + std::to_string(i) + " not a number";
    if (x.trace < 0 || x.trace >= ws.records()) return "candidate " + std::to_string(i) + " names no trace";
    if (i < s.base_n) {
      if (x.type != -1) return "sorted candidate " + std::to_string(i) + " marked as a newcomer";
      if (i > 0 && !(a.p[i - 1].c > x.c)) return "sorted part not by strictly decreasing load at " + std::to_string(i);
    } else {
      if (x.type < 0 || x.type >= ws.T.nb) return "newcomer " + std::to_string(i) + " without a buffer type";
      if (x.c > last_of[x.type]) return "newcomers of one type not by decreasing load at " + std::to_string(i);
      last_of[x.type] = x.c;
    }
  }
  for (int k = 0; k < h.n; k++) {
    const FlatCand &v = h.p[k];
    if (!finite(v.c) || !finite(v.q)) return "hull vertex " + std::to_string(k) + " not finite";
    if (v.trace < 0 || v.trace >= ws.records()) return "hull vertex " + std::to_string(k) + " names no trace";
    if (k > 0 && !(h.p[k - 1].c > v.c)) return "hull not by strictly decreasing load at " + std::to_string(k);
  }
  // Convex, and (with hull_covers) above every candidate, up to rounding of
  // the values the pending update was folded into.
  // x.c < m.c < o.c: m clearly below (above) the chord from x to o. Each
  // required time carries a rounding error of its own magnitude's last bits,
  // not of the differences': with required times near 1e16 the differences
  // are a few units and whole ulps, so the margin also scales with |q|.
  auto side = [](const FlatCand &x, const FlatCand &m, const FlatCand &o, int sign) {
    const double lhs = (m.q - o.q) * (x.c - o.c), rhs = (x.q - o.q) * (m.c - o.c);
    const double q_error = 1e-12 * (std::fabs(x.q) + std::fabs(m.q) + std::fabs(o.q));
    return sign * (lhs - rhs) >
           1e-9 * (std::fabs(lhs) + std::fabs(rhs) + 1e-30) + q_error * (std::fabs(x.c - o.c) + std::fabs(m.c - o.c));
  };
  auto below_chord = [&](const FlatCand &x, const FlatCand &m, const FlatCand &o) { return side(x, m, o, 1); };
  auto above_chord = [&](const FlatCand &x, const FlatCand &m, const FlatCand &o) { return side(x, m, o, -1); };
  for (int k = 0; k + 2 < h.n; k++)
    if (below_chord(h.p[k + 2], h.p[k + 1], h.p[k])) return "hull not convex at vertex " + std::to_string(k + 1);
  if (hull_covers && a.n > 0) {
    if (h.n == 0) return "candidates without a hull";
    for (int i = 0; i < a.n; i++) {
      const FlatCand &x = a.p[i];
      if (!finite(x.q)) continue;
      if (x.c > h.p[0].c || x.c < h.p[h.n - 1].c) return "candidate " + std::to_string(i) + " outside the hull's loads";
      const int k = hull_position(h, x.c);  // h.p[k].c <= x.c
      if (h.p[k].c == x.c) {
        if (x.q > h.p[k].q + 1e-9 * (std::fabs(x.q) + std::fabs(h.p[k].q)))
          return "candidate " + std::to_string(i) + " above the hull";
      } else if (above_chord(h.p[k], x, h.p[k - 1])) {
        return "candidate " + std::to_string(i) + " above the hull";
      }
    }
  }
  return std::string();
}

// ---- A frontier merge's sweep ----

void sort_latest_first(std::vector<SweepItem> &items, RadixScratch &r) {
  const size_t n = items.size();
  if (n == 0) return;
  // Keys that order as the required times do, descending, with the item's position.
  r.keys.resize(n);
  r.keys_b.resize(n);
  for (size_t i = 0; i < n; i++) {
    const double q = items[i].q + 0.0;  // -0 becomes 0
    uint64_t b;
    std::memcpy(&b, &q, sizeof b);
    b = (b >> 63) != 0 ? ~b : b | (uint64_t{1} << 63);  // ascending with q
    r.keys[i] = {~b, static_cast<uint32_t>(i)};
  }
  size_t count[8][256] = {};
  for (const RadixScratch::Key &k : r.keys)
    for (int d = 0; d < 8; d++) count[d][(k.key >> (8 * d)) & 255]++;
  for (int d = 0; d < 8; d++) {
    if (count[d][(r.keys[0].key >> (8 * d)) & 255] == n) continue;  // one value: nothing to do
    size_t at = 0;
    for (size_t &c : count[d]) {
      const size_t here = c;
      c = at;
      at += here;
    }
    for (const RadixScratch::Key &k : r.keys) r.keys_b[count[d][(k.key >> (8 * d)) & 255]++] = k;
    r.keys.swap(r.keys_b);
  }
  r.items_b.resize(n);
  for (size_t i = 0; i < n; i++) r.items_b[i] = items[r.keys[i].at];
  items.swap(r.items_b);
}

}  // namespace flat_core
