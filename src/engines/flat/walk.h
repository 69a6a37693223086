// The one post-order walk of the flat engines, a template over the engine
// (and with it the candidate-set type): maximum slack, the slack-cost
// frontier, and both under electrical limits.
//
// Every finished subtree leaves its set on the walk's set stack; a node with
// one child carries the top set up the edge, a node with two joins the top
// two, and the driver finishes with its child's set. Explicit stacks only:
// a chain of 1.6 million nodes needs no deep recursion.
//
// Engine contract (E):
//   using Set;                                   movable, empty when default made
//   (Set is a SetOf or CostLevels of flat_core.h, whose arrays set_arrays visits)
//   bool collect_now()                           between two nodes, a collection of
//                                                the pool being due: true to make it
//   Set leaf(const Node *sink)
//   void edge(Set &, double k, int px, int py, bool merging, double shear, const Node *up)
//                                                the edge from node px down to py
//                                                (length k) below up; `merging`:
//                                                a branch merge follows
//   void settle(Set &, const Node *up, double shear)
//                                                a branch's set made ready to merge
//   Set join(Set &L, Set &R, int index, double shear, const Node *up)
//                                                the merge at node `index`
//   void release(Set &)                          a merged branch's set
//   bool dead(const Set &)                       true: nothing of the subtree can
//                                                be driven (the walk ends there)
//   bool finish(Set &, const Node *driver)
// run() returns -1 when finish() accepted, else the table position below
// which no candidate was left (0: the driver's own stage).
//
// Collections (flat_core.h, "Trace pool"): the sets on the stack are the only
// references; the sets below `unchanged_below` have not changed since the
// last collection, so all their records are old and a young collection
// leaves them out.
#pragma once

#include <algorithm>
#include <vector>

#include "flat_core.h"

namespace flat_core {

template <typename E>
class Walk {
 public:
  using Set = typename E::Set;

  explicit Walk(Workspace &workspace) : T(workspace.T), ws(workspace) {}

  int run(E &e) {
    struct Frame {
      const Node *t;
      int stage;  // 0: visit left, 1: visit right, 2: finish
    };
    // Room for the depth and the pending subtrees of a small net at once.
    std::vector<Frame> stack;
    stack.reserve(256);
    stack.push_back({T.nodes, 0});
    sets.reserve(32);
    while (!stack.empty()) {
      if (ws.collection_due() && e.collect_now()) collect(ws.full_collection_due());
      Frame &f = stack.back();
      const Node *t = f.t;
      if (t->kind == NodeKind::sink) {
        stack.pop_back();
        sets.push_back(e.leaf(t));
        continue;
      }
      if (f.stage == 0) {
        f.stage = 1;
        stack.push_back({T.child(t, 0), 0});
        continue;
      }
      if (f.stage == 1) {
        f.stage = 2;
        // The driver's second child, absent in valid nets, is not visited.
        if (t->right >= 0 && t->kind != NodeKind::driver) {
          stack.push_back({T.child(t, 1), 0});
          continue;
        }
      }
      stack.pop_back();
      if (t->kind == NodeKind::driver) {
        ws.ctx.wire_done();
        Set s = pop();
        return e.finish(s, t) ? -1 : 0;
      }
      // The least resistance between t and whatever gate drives it.
      const Node *up = stack.back().t;
      const double shear =
          T.r0 * Tables::length(up, t) + (up->kind == NodeKind::driver ? T.rd : T.least_gate);
      if (t->right < 0) {
        ws.ctx.wire_done();
        const Node *k = T.child(t, 0);
        e.edge(top(), Tables::length(t, k), t->index, k->index, false, shear, up);
        if (e.dead(sets.back())) return T.position(t);
        continue;
      }
      ws.ctx.wire_done();
      ws.ctx.wire_done();
      Set R = pop();
      Set L = pop();
      const Node *l = T.child(t, 0), *r = T.child(t, 1);
      e.edge(L, Tables::length(t, l), t->index, l->index, true, shear, up);
      e.edge(R, Tables::length(t, r), t->index, r->index, true, shear, up);
      e.settle(L, up, shear);
      e.settle(R, up, shear);
      int dead = e.dead(L) ? T.position(l) : e.dead(R) ? T.position(r) : -1;
      sets.push_back(dead < 0 ? e.join(L, R, t->index, shear, up) : Set());
      e.release(L);
      e.release(R);
      if (dead < 0 && e.dead(sets.back())) dead = T.position(t);
      if (dead >= 0) return dead;
    }
    return 0;
  }

  // Frees the sets left on the stack.
  void discard() {
    for (Set &s : sets) ws.release(s, false);
    sets.clear();
  }

  // A collection of the pool with the sets on the stack as roots.
  void collect(bool full) {
    const size_t first = full ? 0 : unchanged_below;
    ws.collect(full, [&](auto &&visit) {
      for (size_t k = first; k < sets.size(); k++) set_arrays(sets[k], visit);
    });
    unchanged_below = sets.size();
  }

  std::vector<Set> sets;  // finished subtrees awaiting their parent

 private:
  // The top set, about to change.
  Set &top() {
    unchanged_below = std::min(unchanged_below, sets.size() - 1);
    return sets.back();
  }
  Set pop() {
    Set s = std::move(top());
    sets.pop_back();
    return s;
  }

  const Tables &T;
  Workspace &ws;
  size_t unchanged_below = 0;
};

// A run of e from an empty pool (young: see Workspace::start_pool): the
// walk's dead end, or -1. The sets the walk leaves are freed whatever
// happens.
template <typename E>
int run_walk(E &e, Workspace &ws, int young) {
  ws.start_pool(young);
  Walk<E> walk(ws);
  int dead;
  try {
    dead = walk.run(e);
  } catch (...) {
    walk.discard();
    throw;
  }
  walk.discard();
  return dead;
}

}  // namespace flat_core
