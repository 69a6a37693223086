// Candidate trees: pending updates, ordered queries, range update, red-black
// insertion with dominance pruning and deletion, traversals, placement output
// and the invariant checkers.
//
// Pending updates arrive only from above, so a node's own pending update is
// always older than those of its ancestors; pushing it first keeps the changes
// in order. A node may gain or lose children only once its own pending update
// has been pushed: rotations and deletions push first.
//
// Ownership: com/coma are counted references; every function that replaces or
// drops one keeps the counters exact (a new record that takes over a node's
// reference leaves the counter unchanged, every other new pointer adds 1).
// Pushes into NIL are skipped (the sentinel's pending fields are never read),
// so NIL stays clean.
#include "tree.h"

#include <cassert>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <unordered_set>
#include <vector>

#include "expiration_list.h"
#include "van.h"

namespace {

constexpr double KEY_TOLERANCE = 1e-24;

// Keys q and time are equal when q == time (which lets an infinite key be
// found again) or |q - time| < KEY_TOLERANCE, an absolute tolerance. The
// descents below test the plain order first and then the tolerance on the
// side taken, which gives the same answers with fewer operations: for
// q > time, |q - time| is q - time; a NaN fails every test and goes on as the
// branch for "not q > time" does.

void drop_ref(Comp *c) {
  if (c != nullptr) {
    c->counter -= 1;
    comp_delete(c);
  }
}

// Climbs from x while x is its parent's `left` (from_left) or `right` child;
// returns the first ancestor reached from the other side, or NIL.
RTnode *climb(RTnode *x, bool from_left) {
  RTnode *y = x->parent;
  while (y != NIL && x == (from_left ? y->left : y->right)) {
    x = y;
    y = y->parent;
  }
  return y;
}

// Replaces *slot (a counted reference, possibly null) by a merge record that
// joins x's trace in front of it; the slot's reference moves into the record.
void join_merge(Comp **slot, Comp *xcom) {
  if (xcom != nullptr) xcom->counter += 1;
  *slot = make_comp(xcom, *slot, COMP_MERGE, 0, 0, 1);
}

// The lowest common ancestor of a and b; *a_child and *b_child receive the
// nodes through which the climbs from a and from b reached it (NIL for the
// side that is the ancestor itself).
RTnode *meet(RTnode *a, RTnode *b, RTnode **a_child, RTnode **b_child) {
  int da = 0, db = 0;
  for (RTnode *y = a; y != NIL; y = y->parent) da++;
  for (RTnode *y = b; y != NIL; y = y->parent) db++;
  *a_child = *b_child = NIL;
  for (; da > db; da--) *a_child = a, a = a->parent;
  for (; db > da; db--) *b_child = b, b = b->parent;
  while (a != b) {
    *a_child = a, a = a->parent;
    *b_child = b, b = b->parent;
  }
  return a;
}

// Range update of one path node y: y itself, plus a pending load on the
// subtree `side` that lies inside the range.
void interval_path_node(RTnode *y, RTnode *side, RTnode *x) {
  assert(y->dirty == 0);
  y->cap = y->cap + x->cap;
  if (side != NIL) {
    side->ca = side->ca + x->cap;
    side->dirty = 1;
  }
  join_merge(&y->com, x->com);
  if (side != NIL) {
    if (side->coma == nullptr) {
      side->coma = x->com;
      if (x->com != nullptr) x->com->counter += 1;
    } else {
      join_merge(&side->coma, x->com);
    }
  }
}

// Removes the expiration entry of a candidate that is about to leave its tree.
void unlink_entry(RTnode *y, RTnode **list) {
  if (y->swap_option != NIL) {
    RTnode *e = y->swap_option;
    y->swap_option = NIL;
    node_delete_swap(list, e);
  }
}

}  // namespace

RTnode *make_rtnode() {
  RTnode *x = pool_take(rtnode_pool);
  x->color = 'B';
  x->dirty = 0;
  x->size = 0;
  x->cap = x->time = 0.0;
  x->ra = x->da = x->ca = 0.0;
  x->left = x->right = x->parent = NIL;
  x->swap_option = x->qc_option = NIL;
  x->com = x->coma = nullptr;
  total_solution += 88;
  return x;
}

void free_rtnode(RTnode *x) {
  assert(x != NIL);
  pool_give(rtnode_pool, x);
  reduce_solution += 88;
}

void nil_make() {
  NIL = new RTnode;
  NIL->color = 'B';
  NIL->dirty = 0;
  NIL->size = 0;
  NIL->cap = NIL->time = 0.0;
  NIL->ra = NIL->da = NIL->ca = 0.0;
  NIL->left = NIL->right = NIL->parent = NIL;
  NIL->swap_option = NIL->qc_option = NIL;
  NIL->com = NIL->coma = nullptr;
}

void nil_free() {
  delete NIL;
  NIL = nullptr;
}

void update(RTnode *x) {
  assert(x != NIL && x->dirty);
  for (RTnode *l : {x->left, x->right}) {
    if (l == NIL) continue;
    // Composition: the child's own update (older) first, then x's.
    l->da = l->da + (x->ra * l->ca + x->da);
    l->ra = l->ra + x->ra;
    l->ca = l->ca + x->ca;
    if (x->coma != nullptr) {
      x->coma->counter += 1;
      if (l->coma == nullptr)
        l->coma = x->coma;
      else
        l->coma = make_comp(x->coma, l->coma, COMP_COMPOSITION, 0, 0, 1);
    }
    l->dirty = 1;
  }
  x->time = (x->time - x->da) - x->ra * x->cap;
  x->cap = x->cap + x->ca;
  x->ra = x->da = x->ca = 0.0;
  if (x->coma != nullptr) {
    // Both references (coma's and com's) move; no counter changes.
    x->com = x->com == nullptr ? x->coma : make_comp(x->coma, x->com, COMP_COMPOSITION, 0, 0, 1);
  }
  x->coma = nullptr;
  x->dirty = 0;
  peak_check();
}

RTnode *minimum(RTnode *x) {
  assert(x != NIL);
  while (x->left != NIL) {
    x = x->left;
    if (x->dirty) update(x);
  }
  return x;
}

RTnode *maximum(RTnode *x) {
  assert(x != NIL);
  while (x->right != NIL) {
    x = x->right;
    if (x->dirty) update(x);
  }
  return x;
}

RTnode *node_succ(RTnode *x) {
  assert(x != NIL);
  if (x->right != NIL) {
    if (x->right->dirty) update(x->right);
    return minimum(x->right);
  }
  return climb(x, false);
}

RTnode *node_pred(RTnode *x) {
  assert(x != NIL);
  if (x->left != NIL) {
    if (x->left->dirty) update(x->left);
    return maximum(x->left);
  }
  return climb(x, true);
}

RTnode *pred(RTnode *root, double q) {
  assert(root != NIL);
  RTnode *x = root;
  for (;;) {
    if (x->dirty) update(x);
    const double t = x->time;
    if (q > t) {
      if (q - t < KEY_TOLERANCE) return x;
      if (x->right == NIL) return x;
      x = x->right;
    } else {
      if (q == t || t - q < KEY_TOLERANCE) return x;
      if (x->left == NIL) return climb(x, true);
      x = x->left;
    }
  }
}

RTnode *succ(RTnode *root, double q) {
  assert(root != NIL);
  RTnode *x = root;
  for (;;) {
    if (x->dirty) update(x);
    const double t = x->time;
    if (q < t) {
      if (t - q < KEY_TOLERANCE) return x;
      if (x->left == NIL) return x;
      x = x->left;
    } else {
      if (q == t || q - t < KEY_TOLERANCE) return x;
      if (x->right == NIL) return climb(x, false);
      x = x->right;
    }
  }
}

RTnode *search(RTnode *root, double q) {
  assert(root != NIL);
  RTnode *x = root;
  for (;;) {
    if (x->dirty) update(x);
    const double t = x->time;
    if (q > t) {
      if (q - t < KEY_TOLERANCE) return x;
      x = x->right;
    } else {
      if (q == t || t - q < KEY_TOLERANCE) return x;
      x = x->left;
    }
    if (x == NIL) return NIL;
  }
}

// The range is taken by position: lb, every node after it and before rbound,
// and rbound. On each path a node is inside the range when the walk comes up
// from its left child (lb side) or right child (rbound side); the turning node
// is the lowest common ancestor. With distinct keys this is exactly the set of
// nodes whose time lies in [lb->time, rbound->time]. With equal keys a test on
// times could take a node before lb whose right subtree holds lb and so add the
// load twice to lb's path; the positional test adds it exactly once.
void interval(RTnode *lb, RTnode *rbound, RTnode *x) {
  assert(lb != NIL && rbound != NIL && x != NIL);
  if (lb == rbound) {
    assert(lb->dirty == 0);
    lb->cap = lb->cap + x->cap;
    join_merge(&lb->com, x->com);
    peak_check();
    return;
  }
#ifndef NDEBUG
  for (RTnode *y = lb; y != NIL; y = y->parent) assert(y->dirty == 0);
  for (RTnode *y = rbound; y != NIL; y = y->parent) assert(y->dirty == 0);
#endif
  assert(in_order(lb, rbound));
  RTnode *a_child, *b_child;
  RTnode *turn = meet(lb, rbound, &a_child, &b_child);
  assert(turn != NIL);

  RTnode *from = NIL;
  for (RTnode *y = lb; y != turn; from = y, y = y->parent)
    if (y == lb || from == y->left) interval_path_node(y, y->right, x);
  from = NIL;
  for (RTnode *y = rbound; y != turn; from = y, y = y->parent)
    if (y == rbound || from == y->right) interval_path_node(y, y->left, x);

  assert(turn->dirty == 0);
  turn->cap = turn->cap + x->cap;
  join_merge(&turn->com, x->com);
  peak_check();
}

bool in_order(RTnode *a, RTnode *b) {
  if (a == b) return true;
  RTnode *ca, *cb_;
  RTnode *m = meet(a, b, &ca, &cb_);
  if (m == a) return cb_ == a->right;  // b below a
  if (m == b) return ca == b->left;    // a below b
  return ca == m->left;
}

void left_rotate(RTnode **root, RTnode *x) {
  if (x->dirty) update(x);
  RTnode *y = x->right;
  assert(y != NIL);
  if (y->dirty) update(y);
  x->right = y->left;
  if (y->left != NIL) y->left->parent = x;
  y->parent = x->parent;
  if (x->parent == NIL)
    *root = y;
  else if (x == x->parent->left)
    x->parent->left = y;
  else
    x->parent->right = y;
  y->left = x;
  x->parent = y;
}

void right_rotate(RTnode **root, RTnode *y) {
  if (y->dirty) update(y);
  RTnode *x = y->left;
  assert(x != NIL);
  if (x->dirty) update(x);
  y->left = x->right;
  if (x->right != NIL) x->right->parent = y;
  x->parent = y->parent;
  if (y->parent == NIL)
    *root = x;
  else if (y == y->parent->right)
    y->parent->right = x;
  else
    y->parent->left = x;
  x->right = y;
  y->parent = x;
}

// Colours are read and written without pushes; only the rotations push.
void balance(RTnode **root, RTnode *x) {
  while (x != *root && x->parent->color == 'R') {
    RTnode *p = x->parent;
    RTnode *g = p->parent;
    if (p == g->left) {
      RTnode *u = g->right;
      if (u->color == 'R') {
        p->color = 'B';
        u->color = 'B';
        g->color = 'R';
        x = g;
      } else {
        if (x == p->right) {
          x = p;
          left_rotate(root, x);
        }
        x->parent->color = 'B';
        x->parent->parent->color = 'R';
        right_rotate(root, x->parent->parent);
      }
    } else {
      RTnode *u = g->left;
      if (u->color == 'R') {
        p->color = 'B';
        u->color = 'B';
        g->color = 'R';
        x = g;
      } else {
        if (x == p->left) {
          x = p;
          right_rotate(root, x);
        }
        x->parent->color = 'B';
        x->parent->parent->color = 'R';
        left_rotate(root, x->parent->parent);
      }
    }
  }
  (*root)->color = 'B';
}

void link_leaf(RTnode **root, RTnode *x) {
  assert(*root != NIL);
  const double q = x->time;
  RTnode *z = NIL;
  for (RTnode *y = *root; y != NIL; y = q < y->time ? y->left : y->right) {
    if (y->dirty) update(y);
    z = y;
  }
  x->color = 'R';
  x->parent = z;
  if (q < z->time)
    z->left = x;
  else
    z->right = x;
  const int n = (*root)->size;
  balance(root, x);
  (*root)->size = n + 1;
}

RTnode *insert(RTnode **root, double q, double c, Comp *com, RTnode **list) {
  RTnode *x = make_rtnode();
  peak_check();
  x->time = q;
  x->cap = c;
  x->com = com;
  if (com != nullptr) com->counter += 1;
  if (*root == NIL) {
    x->parent = NIL;
    x->color = 'B';
    x->size = 1;
    *root = x;
    return x;
  }
  link_leaf(root, x);

  // The newcomer's record: deleting its predecessor y when y has two children
  // copies y's successor, the newcomer, into y's record and frees the
  // newcomer's. Tracking it keeps the pruning on the newcomer when older
  // candidates share its time (a search by key may land on any of them).
  RTnode *newcomer = x;
  RTnode *p;  // the predecessor that survives, or NIL
  for (;;) {
    RTnode *y = node_pred(x);
    p = y;
    if (y == NIL) break;
    const double k = x->time;
    if (x->cap > y->cap) break;
    unlink_entry(y, list);
    const bool moves_into_y = y->left != NIL && y->right != NIL;
    node_delete(root, y);
    if (moves_into_y) newcomer = y;
    // search pushes the path, so the newcomer's values stay current; node_succ
    // steps keep that (the newcomer comes after every equal key).
    x = search(*root, k);
    while (x != NIL && x != newcomer) x = node_succ(x);
    if (x == NIL) {
      // Rounding has left two nearly equal keys out of order, so the walk from
      // the key missed the newcomer: reach its record through its path.
      travel_update(*root, newcomer);
      x = newcomer;
    }
  }
  // The loop above leaves a predecessor with a smaller load. If its time is
  // not below the newcomer's (an equal time: the newcomer went after it), it
  // dominates the newcomer. Without this test a tree could hold two
  // candidates of one time, and a search by that time (the merge's cheapest
  // partner) could land on the dearer one.
  RTnode *y = node_succ(x);
  if ((p != NIL && p->time >= x->time) || (y != NIL && x->cap >= y->cap)) {
    unlink_entry(x, list);
    node_delete(root, x);
    return NIL;
  }
  return x;
}

RTnode *splice_out(RTnode **root, RTnode *z, RTnode **x_out) {
  RTnode *y = (z->left == NIL || z->right == NIL) ? z : node_succ(z);
  RTnode *x = y->left != NIL ? y->left : y->right;
  if (x != NIL && x->dirty) update(x);
  x->parent = y->parent;  // also into NIL: fixup climbs from it
  if (y->parent == NIL)
    *root = x;
  else if (y == y->parent->left)
    y->parent->left = x;
  else
    y->parent->right = x;
  *x_out = x;
  return y;
}

void node_delete(RTnode **root, RTnode *z) {
  assert(z != NIL && z->swap_option == NIL);
  const int n = (*root)->size;
  if (z->dirty) update(z);
  RTnode *x;
  RTnode *y = splice_out(root, z, &x);
  assert(y->dirty == 0 && y->coma == nullptr);
  if (y != z) {
    z->time = y->time;
    z->cap = y->cap;
    drop_ref(z->com);
    z->com = y->com;
    z->swap_option = y->swap_option;
    if (y->swap_option != NIL) y->swap_option->qc_option = z;
  } else {
    drop_ref(y->com);
  }
  if (y->color == 'B') fixup(root, x);
  (*root)->size = n - 1;  // an emptied tree stores 0 into NIL
  free_rtnode(y);
}

void fixup(RTnode **root, RTnode *x) {
  while (x != *root && x->color == 'B') {
    RTnode *p = x->parent;
    if (x == p->left) {
      RTnode *w = p->right;
      if (w->color == 'R') {
        w->color = 'B';
        p->color = 'R';
        left_rotate(root, p);
        w = p->right;
      }
      if (w->left->color == 'B' && w->right->color == 'B') {
        w->color = 'R';
        x = p;
      } else {
        if (w->right->color == 'B') {
          w->left->color = 'B';
          w->color = 'R';
          right_rotate(root, w);  // pushes w, then its left child
          w = p->right;
        }
        w->color = p->color;
        p->color = 'B';
        w->right->color = 'B';
        left_rotate(root, p);
        x = *root;
      }
    } else {
      RTnode *w = p->left;
      if (w->color == 'R') {
        w->color = 'B';
        p->color = 'R';
        right_rotate(root, p);
        w = p->left;
      }
      if (w->right->color == 'B' && w->left->color == 'B') {
        w->color = 'R';
        x = p;
      } else {
        if (w->left->color == 'B') {
          w->right->color = 'B';
          w->color = 'R';
          left_rotate(root, w);
          w = p->left;
        }
        w->color = p->color;
        p->color = 'B';
        w->left->color = 'B';
        right_rotate(root, p);
        x = *root;
      }
    }
  }
  x->color = 'B';
}

// Recursion depth is the tree height, logarithmic in a red-black tree.
void tree_delete(RTnode *x) {
  if (x == NIL) return;
  drop_ref(x->com);
  drop_ref(x->coma);
  tree_delete(x->left);
  tree_delete(x->right);
  free_rtnode(x);
}

void travel(RTnode *x) {
  if (x == NIL) {
    printf("empty tree\n");
    return;
  }
  if (x->dirty == 1) update(x);
  if (x->left != NIL) travel(x->left);
  printf("\tq=%10.10g\tc=%10.10g\n", x->time, x->cap * 1000.0);
  if (debug) {
    int n = 0;
    printbuffer_fastins(x->com, &n);
  }
  if (x->right != NIL) travel(x->right);
}

void printbuffer_fastins(Comp *x, int *i) { write_placements(x, i, COMP_MERGE, COMP_COMPOSITION); }

// The root's own dirty flag is counted too: with a clean root (the callers'
// precondition) it changes nothing, and a dirty root is then pushed as well.
void travel_update(RTnode *root, RTnode *x) {
  assert(root != NIL && x != NIL && root->size > 0);
  const uint32_t bytes = static_cast<uint32_t>(root->size) * 4u;
  // The memory counters count a path array of one cell per node of the tree
  // (which bounds the depth). The path itself lives in one buffer kept from
  // call to call.
  const size_t cells = static_cast<size_t>(root->size);
  static std::vector<unsigned char> path;
  path.clear();
  total_solution += bytes;
  size_t steps = 0;
  int dirty = 0;
  RTnode *c = x;
  for (RTnode *k = x->parent; k != NIL; c = k, k = k->parent) {
    assert(steps < cells);
    path.push_back(c == k->left ? 0 : 1);
    steps++;
    if (c->dirty) dirty++;
  }
  (void)cells;
  assert(c == root);
  if (root->dirty) dirty++;
  if (dirty > 0) {
    RTnode *n = root;
    while (steps > 0) {
      if (n->dirty) update(n);
      n = path[--steps] == 0 ? n->left : n->right;
    }
    assert(n == x);
    if (n->dirty) update(n);
  }
  reduce_solution += bytes;
}

// ---- Invariant checkers ----

namespace {

struct Pending {
  double r, d, k;
};

Pending own_pending(const RTnode *n) {
  if (!n->dirty) return {0.0, 0.0, 0.0};
  return {n->ra, n->da, n->ca};
}

// Applying `first`, then `second`.
Pending compose(Pending first, Pending second) {
  return {first.r + second.r, first.d + second.d + second.r * first.k, first.k + second.k};
}

bool fail(std::string *why, const std::string &msg) {
  if (why != nullptr) *why = msg;
  return false;
}

std::string where(const RTnode *n) {
  char buf[96];
  snprintf(buf, sizeof buf, "node %p (time %.17g)", static_cast<const void *>(n), n->time);
  return buf;
}

struct Visit {
  RTnode *n;
  Pending above;  // composed pending updates of the strict ancestors
  double time;    // current values
  double cap;
};

bool check_sentinel(std::string *why) {
  if (NIL == nullptr) return fail(why, "NIL is not allocated");
  if (NIL->color != 'B') return fail(why, "NIL is not black");
  if (NIL->dirty != 0 || NIL->ra != 0.0 || NIL->da != 0.0 || NIL->ca != 0.0 || NIL->com != nullptr ||
      NIL->coma != nullptr)
    return fail(why, "NIL holds a pending update or a trace");
  return true;
}

// Red-black shape, links, size and clean-node fields; returns the nodes in
// order with their current values. Iterative, cycle-safe.
bool check_shape(RTnode *root, std::vector<Visit> *order, std::string *why) {
  order->clear();
  if (!check_sentinel(why)) return false;
  if (root == NIL) {
    if (NIL->size != 0) return fail(why, "empty tree but NIL size is not 0");
    return true;
  }
  if (root->parent != NIL) return fail(why, "root's parent is not NIL");
  if (root->color != 'B') return fail(why, "root is not black");
  struct Frame {
    RTnode *n;
    Pending above;
    int blacks;  // black nodes strictly above n
  };
  std::unordered_set<const RTnode *> seen;
  std::vector<Frame> stack;
  int black_height = -1;
  Frame cur{root, {0.0, 0.0, 0.0}, 0};
  auto enter = [&](const Frame &f) -> bool {
    RTnode *n = f.n;
    if (!seen.insert(n).second) return fail(why, where(n) + " reached twice");
    if (n->color != 'R' && n->color != 'B') return fail(why, where(n) + " has no red-black colour");
    if (n->color == 'R' && (n->left->color != 'B' || n->right->color != 'B'))
      return fail(why, where(n) + " is red with a red child");
    if (n->left != NIL && n->left->parent != n) return fail(why, where(n) + ": left child's parent is wrong");
    if (n->right != NIL && n->right->parent != n) return fail(why, where(n) + ": right child's parent is wrong");
    if (n->dirty != 0 && n->dirty != 1) return fail(why, where(n) + " has dirty neither 0 nor 1");
    if (!n->dirty && (n->ra != 0.0 || n->da != 0.0 || n->ca != 0.0 || n->coma != nullptr))
      return fail(why, where(n) + " is clean but holds pending fields");
    const int b = f.blacks + (n->color == 'B');
    if (n->left == NIL || n->right == NIL) {
      if (black_height < 0) black_height = b;
      if (b != black_height) return fail(why, where(n) + ": black heights differ");
    }
    return true;
  };
  while (cur.n != NIL || !stack.empty()) {
    while (cur.n != NIL) {
      if (!enter(cur)) return false;
      stack.push_back(cur);
      cur = Frame{cur.n->left, compose(own_pending(cur.n), cur.above), cur.blacks + (cur.n->color == 'B')};
    }
    Frame f = stack.back();
    stack.pop_back();
    const Pending own = own_pending(f.n);
    double t = (f.n->time - own.d) - own.r * f.n->cap;
    double c = f.n->cap + own.k;
    t = (t - f.above.d) - f.above.r * c;
    c = c + f.above.k;
    order->push_back({f.n, f.above, t, c});
    cur = Frame{f.n->right, compose(own, f.above), f.blacks + (f.n->color == 'B')};
  }
  if (static_cast<size_t>(root->size) != order->size())
    return fail(why, "root size " + std::to_string(root->size) + " but " + std::to_string(order->size()) +
                         " nodes");
  return true;
}

bool in_tree(RTnode *n, RTnode *root) {
  int limit = root == NIL ? 0 : root->size + 1;
  for (; n != NIL && limit >= 0; n = n->parent, limit--)
    if (n == root) return true;
  return false;
}

}  // namespace

bool check_candidate_tree(RTnode *root, RTnode *list, std::string *why) {
  std::vector<Visit> order;
  if (!check_shape(root, &order, why)) return false;
  for (size_t i = 0; i < order.size(); i++) {
    const Visit &v = order[i];
    if (v.n->qc_option != NIL) return fail(why, where(v.n) + ": candidate with a qc_option");
    RTnode *e = v.n->swap_option;
    if (e != NIL) {
      if (e->qc_option != v.n) return fail(why, where(v.n) + ": its entry does not point back");
      if (!in_tree(e, list)) return fail(why, where(v.n) + ": its entry is not in the given list");
    }
    if (i > 0) {
      // Lazily composed updates round differently from eager ones.
      const double a = order[i - 1].time, b = v.time;
      const double slack = 1e-9 * std::fmax(1.0, std::fmax(std::fabs(a), std::fabs(b)));
      if (a > b + slack) return fail(why, where(v.n) + ": current times decrease in order");
    }
  }
  return true;
}

bool check_expiration_list(RTnode *list, std::string *why) {
  std::vector<Visit> order;
  if (!check_shape(list, &order, why)) return false;
  for (size_t i = 0; i < order.size(); i++) {
    RTnode *e = order[i].n;
    if (e->dirty != 0 || e->com != nullptr || e->coma != nullptr)
      return fail(why, where(e) + ": entry with a pending update or a trace");
    if (e->swap_option != NIL) return fail(why, where(e) + ": entry with a swap_option");
    if (std::isnan(e->time)) return fail(why, where(e) + ": NaN key");
    if (i > 0 && order[i - 1].n->time > e->time) return fail(why, where(e) + ": keys decrease in order");
    if (e->qc_option != NIL && e->qc_option->swap_option != e)
      return fail(why, where(e) + ": its candidate does not point back");
  }
  return true;
}
