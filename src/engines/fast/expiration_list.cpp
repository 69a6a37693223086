// Expiration lists (red-black trees of entries keyed by expiration length) and
// `create`, which sets up the per-buffer-type candidate sets at a sink; create
// lives here because it builds a candidate tree with insert_swap.
//
// The balancing (link_leaf, fixup, rotations, node_succ) is the candidate
// tree's; entries never hold pending updates or traces, so no trace handling
// is needed here. When deleting an entry moves its successor's contents into
// the entry's record, the candidate's swap_option follows the move, so
// candidate and entry keep pointing at each other.
#include "expiration_list.h"

#include <cassert>
#include <cmath>
#include <limits>

#include "tree.h"

double expiration_key(double key) {
  return std::isnan(key) ? -std::numeric_limits<double>::infinity() : key;
}

RTnode *insert_swap(RTnode **root, double q, double c) {
  RTnode *x = make_rtnode();
  peak_check();
  x->time = expiration_key(q);
  x->cap = c;
  if (*root == NIL) {
    x->parent = NIL;
    x->color = 'B';
    x->size = 1;
    *root = x;
    return x;
  }
  link_leaf(root, x);
  return x;
}

void node_delete_swap(RTnode **root, RTnode *z) {
  assert(z != NIL && *root != NIL);
  const int n = (*root)->size;
  RTnode *x;
  RTnode *y = splice_out(root, z, &x);
  if (y != z) {
    z->time = y->time;
    z->cap = y->cap;
    z->com = y->com;
    z->qc_option = y->qc_option;
    if (y->qc_option != NIL) y->qc_option->swap_option = z;
  }
  if (y->color == 'B') fixup(root, x);
  (*root)->size = n - 1;
  free_rtnode(y);
}

void tree_delete_swap(RTnode *x) {
  if (x == NIL) return;
  tree_delete(x->left);
  tree_delete(x->right);
  free_rtnode(x);
}

void create(double *k, RTnode **rt, const Node *t, RTnode **list) {
  for (int i = 0; i < n_buffertype; i++) {
    rt[i] = NIL;
    insert_swap(&rt[i], t->time, t->cap);
    list[i] = NIL;
    k[i] = 0.0;
  }
}
