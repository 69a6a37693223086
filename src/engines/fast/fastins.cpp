// The fast algorithm: buffer addition on candidate trees and the bottom-up
// programme with branch merges on the smaller side of each buffer type.
//
// The routing tree is walked with an explicit stack (children before the node,
// left before right), and the per-type arrays of an activation live on the
// heap, so a chain of 1.6 million nodes runs with the default stack.
#include "fastins.h"

#include <cassert>
#include <cstdio>
#include <memory>
#include <vector>

#include "expiration_list.h"
#include "tree.h"
#include "van.h"

int fastins_trees = 0;
double fastins_rb[MAX_BUFFERTYPES + 1];

void fastins_prepare(const Node *t) {
  fastins_trees = n_buffertype;
  for (int i = 0; i < n_buffertype; i++) fastins_rb[i] = rb[i];
  if (t == nullptr || t->type != NODE_DRIVER || t->left == nullptr || n_buffertype == 0) return;
  double driving = rd + r0 * distance(t, t->left);
  if (driving < rb[n_buffertype - 1]) {
    fastins_rb[n_buffertype] = driving;
    fastins_trees = n_buffertype + 1;
  }
}

double crossing_length(const RTnode *y, const RTnode *z, double rbj) {
  return (((z->time - y->time) / (z->cap - y->cap)) - rbj) / r0;
}

void attach_swap(RTnode **swap_root, RTnode *z, double key) {
  if (z->swap_option != NIL) {
    node_delete_swap(swap_root, z->swap_option);
    z->swap_option = NIL;
  }
  // The new entry goes after every older entry of the same key. It is linked
  // through the record insert_swap returns: a search by key could miss it
  // among keys that differ by less than the key tolerance.
  RTnode *a = insert_swap(swap_root, key, z->time);
  z->swap_option = a;
  a->qc_option = z;
}

void link_inserted(RTnode **swap_root, RTnode *x, double K, double rbj) {
  if (x == NIL) return;  // dropped as dominated
  // A newcomer carries no entry yet, and its values are current.
  assert(x->swap_option == NIL);
#ifndef NDEBUG
  for (RTnode *a = x; a != NIL; a = a->parent) assert(a->dirty == 0);
#endif
  RTnode *z = node_succ(x);
  if (z != NIL) attach_swap(swap_root, z, crossing_length(x, z, rbj) + K);
  RTnode *y = node_pred(x);
  if (y != NIL) attach_swap(swap_root, x, crossing_length(y, x, rbj) + K);
}

void buffer_update(double *k, double k1, RTnode **Rnext, RTnode **list, int px, int py) {
  const int n = n_buffertype;
  const int T = fastins_trees;
  double q[MAX_BUFFERTYPES], c[MAX_BUFFERTYPES];
  Comp *plist[MAX_BUFFERTYPES];

  // Phase 1: expire, then choose the candidate to drive with each type.
  for (int i = T - 1; i >= 0; i--) {
    assert(Rnext[i] != NIL);
    int size = Rnext[i]->size;
    while (size > 1 && list[i] != NIL) {
      RTnode *e = minimum(list[i]);
      if (!(e->time <= k[i] + 1e-11)) break;
      RTnode *x = e->qc_option;
      if (x == NIL) {
        // An entry that never found its candidate schedules nothing.
        node_delete_swap(&list[i], e);
        continue;
      }
      RTnode *z = node_succ(x);
      if (z != NIL) {
        travel_update(Rnext[i], z);
        RTnode *y = node_pred(x);
        if (y != NIL) {
          travel_update(Rnext[i], y);
          // The values of y and z do not include the new wire yet.
          attach_swap(&list[i], z, crossing_length(y, z, fastins_rb[i]) + k[i] - k1);
        } else if (z->swap_option != NIL) {
          node_delete_swap(&list[i], z->swap_option);
          z->swap_option = NIL;
        }
      }
      node_delete_swap(&list[i], x->swap_option);
      x->swap_option = NIL;
      node_delete(&Rnext[i], x);
      size--;
    }
    if (i >= n) continue;  // the driver's tree drives no buffer
    RTnode *m = maximum(Rnext[i]);
    q[i] = (((m->time - ((((r0 * 0.5) * c0) * k1) * k1)) - ((r0 * k1) * m->cap)) - (((k1 * c0) + m->cap) * rb[i])) -
           tb[i];
    c[i] = cb[i];
    plist[i] = make_comp(nullptr, nullptr, i + 1, px, py, 1);
    peak_check();
    plist[i]->left = m->com;
    if (m->com != nullptr) m->com->counter += 1;
  }

  // Phase 2: the wire, as a pending update at every (clean) root.
  for (int i = 0; i < T; i++) {
    RTnode *r = Rnext[i];
    r->dirty = 1;
    r->ra += r0 * k1;
    r->da += (((r0 * 0.5) * c0) * k1) * k1;
    r->ca += c0 * k1;
  }

  // Phase 3: every buffered candidate enters every type's tree.
  for (int i = 0; i < n; i++) {
    for (int j = 0; j < T; j++) {
      RTnode *x = insert(&Rnext[j], q[i], c[i], plist[i], &list[j]);
      link_inserted(&list[j], x, k[j], fastins_rb[j]);
    }
    plist[i]->counter -= 1;
    comp_delete(plist[i]);
  }
}

namespace {

std::unique_ptr<Sets> new_sets(int n) {
  auto s = std::make_unique<Sets>();
  s->rt.assign(n, NIL);
  s->list.assign(n, NIL);
  s->k.assign(n, 0.0);
  return s;
}

}  // namespace

void merge_type(int i, int index, Sets &small, Sets &large) {
  RTnode *S = small.rt[i];

  // The merge list: every candidate of S with its cheapest partner in L.
  RLnode head{nullptr, 0.0, 0.0, nullptr};
  RLnode *tail = &head;
  for (RTnode *x = minimum(S); x != NIL; x = node_succ(x)) {
    RTnode *y = succ(large.rt[i], x->time);
    if (y == NIL) break;
    if (x->com) x->com->counter += 1;
    if (y->com) y->com->counter += 1;
    Comp *m = make_comp(x->com, y->com, COMP_MERGE, index, index, 1);
    tail->next = make_rlnode(x->cap + y->cap, x->time, m);
    tail = tail->next;
  }
  peak_check();
  // The result continues L's list and accumulated length, or S's length when
  // L is dropped below.
  double K = large.k[i];

  // Cut the candidates of L above S's greatest q: they have no partner in S
  // at or above their q, and the merge list covers them.
  RTnode *x = maximum(S);
  RTnode *rbound = pred(large.rt[i], x->time - 1e-24);
  if (rbound == NIL) {
    tree_delete(large.rt[i]);
    tree_delete_swap(large.list[i]);
    large.rt[i] = NIL;
    large.list[i] = NIL;
    K = small.k[i];
  } else {
    for (RTnode *y = maximum(large.rt[i]); y != rbound; y = maximum(large.rt[i])) {
      if (y->swap_option != NIL) {
        node_delete_swap(&large.list[i], y->swap_option);
        y->swap_option = NIL;
      }
      node_delete(&large.rt[i], y);
    }
  }
  large.k[i] = K;

  // Range updates: every remaining candidate b of L takes the load and trace
  // of its cheapest partner in S (least q not below b's), one range per
  // partner, from the top down. Once the ranges have reached L's least candidate
  // there is nothing left to update.
  while (rbound != NIL) {
    RTnode *y = node_pred(x);
    if (y == NIL) {
      interval(minimum(large.rt[i]), rbound, x);
      break;
    }
    RTnode *lbound = succ(large.rt[i], y->time + 1e-24);
    // Compared by position: with equal keys the descent may meet an lbound
    // that lies after rbound, and the range between them is then empty.
    if (lbound != NIL && in_order(lbound, rbound)) {
      interval(lbound, rbound, x);
      rbound = node_pred(lbound);
    }
    x = y;
  }

  // Insert the merge list in ascending q; insert takes its own reference to
  // each trace.
  RLnode *l = head.next;
  while (l != nullptr) {
    RTnode *n = insert(&large.rt[i], l->time, l->cap, l->com, &large.list[i]);
    link_inserted(&large.list[i], n, K, fastins_rb[i]);
    RLnode *next = l->next;
    if (l->com != nullptr) l->com->counter -= 1;
    comp_delete(l->com);
    free_rlnode(l);
    l = next;
  }
}

namespace {

void debug_tree(const char *heading, int index, RTnode *tree) {
  std::printf(heading, index);
  travel(tree);
}

}  // namespace

void fastins(double *k, Node *root, RTnode **rt, RTnode **list) {
  assert(n_buffertype >= 1 && NIL != nullptr);
  fastins_prepare(root);
  const int n = fastins_trees;
  struct Frame {
    Node *t;
    int stage;  // 0: visit left, 1: left done, 2: right done
    std::unique_ptr<Sets> left;
  };
  // Reserved for the deepest possible walk (every node of the table on one
  // path): growing by doubling would hold the old and the new array at once,
  // which is the peak of the whole run on a 1.6-million-node chain. Only the
  // pages a walk reaches are ever touched.
  std::vector<Frame> stack;
  stack.reserve(static_cast<size_t>(n_sinks + n_candidates) + 1);
  stack.push_back({root, 0, nullptr});
  std::unique_ptr<Sets> ret;
  while (!stack.empty()) {
    Frame &f = stack.back();
    Node *t = f.t;
    if (f.stage == 0) {
      if (t->type == NODE_SINK) {
        ret = new_sets(n);
        create(ret->k.data(), ret->rt.data(), t, ret->list.data());
        for (int i = n_buffertype; i < n; i++) insert_swap(&ret->rt[i], t->time, t->cap);
        stack.pop_back();
        continue;
      }
      f.stage = 1;
      stack.push_back({t->left, 0, nullptr});
      continue;
    }
    if (f.stage == 1) {
      f.left = std::move(ret);
      f.stage = 2;
      if (t->right != nullptr) {
        stack.push_back({t->right, 0, nullptr});
        continue;
      }
    }
    std::unique_ptr<Sets> left = std::move(f.left);
    std::unique_ptr<Sets> right;
    if (t->right != nullptr) right = std::move(ret);
    stack.pop_back();

    double k1 = distance(t, t->left);
    for (int i = 0; i < n; i++) left->k[i] += k1;
    double k2 = 0.0;
    if (right) {
      k2 = distance(t, t->right);
      for (int i = 0; i < n; i++) right->k[i] += k2;
    }

    if (t->type == NODE_DRIVER) {
      assert(!right && "a valid net's driver has one child");
      fastins_answer = MINUS_INFINITY_TIME;
      for (RTnode *x = minimum(left->rt[n - 1]); x != NIL; x = node_succ(x)) {
        double q = ((x->time - ((((r0 * 0.5) * c0) * k1) * k1)) - (((r0 * k1) + rd) * x->cap)) - ((rd * k1) * c0);
        if (q > fastins_answer) {
          fastins_answer = q;
          final_location_fastins = x->com;
        }
      }
      for (int i = 0; i < n; i++) {
        rt[i] = left->rt[i];
        list[i] = left->list[i];
      }
      return;
    }

    buffer_update(left->k.data(), k1, left->rt.data(), left->list.data(), t->index, t->left->index);
    if (!right) {
      if (debug) {
        debug_tree("Debug Information: qc list at %d\n", t->index, left->rt[n - 1]);
        std::printf("\n");
      }
      ret = std::move(left);
      continue;
    }
    buffer_update(right->k.data(), k2, right->rt.data(), right->list.data(), t->index, t->right->index);
    if (debug) {
      debug_tree("Debug Information: qc list at left %d\n", t->index, left->rt[n - 1]);
      debug_tree("Debug Information: qc list at right %d\n", t->index, right->rt[n - 1]);
      std::printf("\n");
    }
    // Per type the smaller tree is walked; on equal counts the left child's
    // sets stay on the walked side.
    for (int i = 0; i < n; i++) {
      if (left->rt[i]->size > right->rt[i]->size) {
        std::swap(left->rt[i], right->rt[i]);
        std::swap(left->list[i], right->list[i]);
        std::swap(left->k[i], right->k[i]);
      }
    }
    for (int i = 0; i < n; i++) merge_type(i, t->index, *left, *right);
    for (int i = 0; i < n; i++) {
      tree_delete(left->rt[i]);
      tree_delete_swap(left->list[i]);
    }
    ret = std::move(right);
  }
  // Called on a subtree rather than on the driver: hand its sets over.
  for (int i = 0; i < n; i++) {
    rt[i] = ret->rt[i];
    list[i] = ret->list[i];
    k[i] = ret->k[i];
  }
}
