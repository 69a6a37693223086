// The fast algorithm: the same dynamic programme as the list engine, with the
// candidates of every point kept once per buffer type in a candidate tree
// (pending wire and merge updates, dominance pruning on insertion) and an
// expiration list that schedules the removal of candidates that a growing wire
// makes no better than their predecessor through that buffer type.
//
// Ownership: the per-type sets returned for a child belong to the caller,
// which consumes, merges or frees them. At the driver the sets of the driver's
// child are handed to the caller of fastins, who frees every tree with
// tree_delete and every expiration list with tree_delete_swap.
#pragma once

#include <vector>

#include "def.h"

// Per-type candidate sets of one point of the routing tree: tree roots,
// expiration-list roots and accumulated wire lengths, indexed by tree.
struct Sets {
  std::vector<RTnode *> rt;
  std::vector<RTnode *> list;
  std::vector<double> k;
};

// Number of candidate trees of a run and the resistance each is pruned for.
// Tree i < n_buffertype serves buffer type i and is pruned for rb[i]. A tree is
// used upstream only through its own buffer type, except the last one, whose
// candidates are also evaluated at the driver through rd plus the driver's
// wire. When that resistance is below the last type's rb, pruning the last
// tree for rb would drop candidates that are best at the driver; the run then
// keeps one extra tree, pruned for the driver's resistance, that drives no
// buffer and is the one evaluated at the driver.
extern int fastins_trees;
extern double fastins_rb[MAX_BUFFERTYPES + 1];

// Sets fastins_trees and fastins_rb for a run on the subtree at t (with the
// extra driver tree when t is a driver that needs it).
void fastins_prepare(const Node *t);

// Crossing length of neighbours y < z (in q) for a buffer of resistance rbj:
// the wire length at which z stops being better than y through that buffer.
double crossing_length(const RTnode *y, const RTnode *z, double rbj);

// Links z to a new expiration entry with the given key, replacing its old one.
void attach_swap(RTnode **swap_root, RTnode *z, double key);

// Renews the expiration entries of the pairs that candidate x, just returned
// by insert (NIL when insert dropped it), forms with its neighbours; K is the
// tree's reference length and rbj the buffer resistance of the tree's type.
void link_inserted(RTnode **swap_root, RTnode *x, double K, double rbj);

// Merges tree i of two branches at branching node `index`: the smaller side is
// walked and left for the caller to free; the larger side is changed in place
// (range updates, the top cut, the merged candidates inserted) and becomes the
// result, with its list and accumulated length in large.list[i], large.k[i].
void merge_type(int i, int index, Sets &small, Sets &large);

// Carries one child's per-type sets up a wire of length k1 (k already includes
// it) from node px to child py, and adds one buffered candidate per type.
void buffer_update(double *k, double k1, RTnode **Rnext, RTnode **list, int px, int py);

// Runs the programme on the subtree at t (the driver for a whole run) and fills
// the per-type arrays; at the driver also sets fastins_answer and
// final_location_fastins, and leaves k unwritten. Needs n_buffertype >= 1 and
// NIL allocated.
// The arrays need fastins_trees slots (at most MAX_BUFFERTYPES + 1).
void fastins(double *k, Node *t, RTnode **rt, RTnode **list);
