// The flat engine: one post-order walk of the routing tree over the building
// blocks of flat_core.h. Every finished subtree leaves its candidate set
// (sorted by load, wires pending, hull of copies) on a set stack; a node with
// one child carries it up an edge, a node with two merges them; the driver
// reads the best slack off its child's set.
//
// The trace pool is collected between two nodes of the walk, with the sets on
// the stack as the only references (see "Trace pool" in flat_core.h); the
// sets below the last one changed since the previous collection hold only
// old records, so a young collection leaves them out.
//
// Ownership: candidate arrays live on the engine's set stack (one per
// finished subtree whose parent is not done yet); at the end only the driver
// child's set and the pool stay, until flat_free(). The memory counters are
// those of flat_core.h.
#include "flat.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "flat_core.h"

double flat_answer = MINUS_INFINITY_TIME;
int flat_young_records = 1 << 15;

namespace {

using flat_core::CandArray;
using flat_core::FlatCand;
using flat_core::FlatSet;

flat_core::Workspace ws;

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
  ws.free_storage(s.a);
  ws.free_storage(s.hull);
  s = FlatSet{};
}

// Drops every candidate of s and keeps its storage for reuse.
void recycle(FlatSet &s) {
  ws.recycle(s.a);
  ws.recycle(s.hull);
  s = FlatSet{};
}

// Collection: the candidates of the sets on the stack (and their hull
// copies) are the only references; on a young collection the sets below
// unchanged_below are left out (all their records are old).
void collect(bool full) {
  const size_t first = full ? 0 : unchanged_below;
  ws.collect(full, [first](auto &&visit) {
    for (size_t k = first; k < set_stack.size(); k++) {
      visit(set_stack[k].a);
      visit(set_stack[k].hull);
    }
  });
  unchanged_below = set_stack.size();
}

void clear_all() {
  for (auto &s : set_stack) discard(s);
  set_stack.clear();
  unchanged_below = 0;
  discard(final_set);
  winner = -1;
  child_is_sink = false;
  ws.clear();
}

}  // namespace

void flat(Node *root) {
  clear_all();
  ws.start_pool(flat_young_records);
  flat_answer = MINUS_INFINITY_TIME;
  ws.order_library();

  // Explicit-stack post-order: children (left first) before the node; each
  // finished subtree leaves its set on set_stack.
  struct Frame {
    Node *t;
    int stage;  // 0: visit left, 1: visit right, 2: finish
  };
  std::vector<Frame> stack;
  stack.push_back({root, 0});
  while (!stack.empty()) {
    if (ws.collection_due()) collect(ws.full_collection_due());
    Frame &f = stack.back();
    Node *t = f.t;
    if (t->type == NODE_SINK) {
      stack.pop_back();
      FlatSet s;
      s.a = ws.take_array(1);
      s.a.p[0] = {t->cap, t->time, 0, -1};
      s.a.n = 1;
      s.base_n = 1;
      if (n_buffertype > 0) build_hull(ws, s);
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
      compact(ws, final_set, false, false);
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
    const double shear = r0 * distance(up, t) + (up->type == NODE_DRIVER ? rd : ws.least_gate);
    if (t->right == nullptr) {
      edge(ws, top_set(), distance(t, t->left), t->index, t->left->index, false, shear);
      continue;
    }
    FlatSet R = pop_set();
    FlatSet L = pop_set();
    edge(ws, L, distance(t, t->left), t->index, t->left->index, true, shear);
    edge(ws, R, distance(t, t->right), t->index, t->right->index, true, shear);
    compact(ws, L, false);
    compact(ws, R, false);
    FlatSet M = merge(ws, L, R, t->index, shear);
    if (n_buffertype > 0) build_hull(ws, M);
    recycle(L);
    recycle(R);
    set_stack.push_back(std::move(M));
  }
  ws.count_records();
  peak_check();
  // Storage no longer needed once the answer is known.
  for (auto &s : set_stack) discard(s);
  set_stack.clear();
  ws.release_spare();
  ws.release_scratch();
}

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
        ws.write_trace(x.trace, &n);
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
  ws.write_trace(final_set.a.p[winner].trace, count);
}

void flat_free() { clear_all(); }
