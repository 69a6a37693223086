// Candidate trees of the fast algorithm: red-black trees of RTnode records
// ordered by required time q, with pending (lazy) updates.
//
// Central idea: a wire (Elmore delay of length L: ra = r0*L, da = r0*c0*L*L/2,
// ca = c0*L) or the load of a candidate from the other branch is not applied
// to every candidate at once. It is stored as a pending update (ra, da, ca,
// coma, flagged by dirty) on one node, standing for that node and its whole
// subtree, and is pushed one level down by `update` whenever an operation
// visits the node. A node's time/cap/com are current only when the node and
// all its ancestors are clean.
//
// Ownership: every RTnode is a separate heap record counted in the memory
// counters (+88 on make, +88 on free). A node's `com` and `coma` are counted
// references to trace records (see van.h); freeing a node drops both. The
// sentinel NIL stands for every absent child, parent and link; it is owned by
// whoever calls nil_make()/nil_free() (the driver, or a test fixture) and is
// not counted.
#pragma once

#include <string>

#include "def.h"

// The single make/free pair of tree nodes. make_rtnode returns a clean black
// node with NIL links and null traces; the caller sets the rest. Neither samples
// the memory peak.
RTnode *make_rtnode();
void free_rtnode(RTnode *x);

// Allocates / frees the global sentinel NIL (colour 'B', clean, size 0).
void nil_make();
void nil_free();

// Applies the pending update of x (dirty, not NIL) to x and pushes it to both
// children. Samples the memory peak.
void update(RTnode *x);

// Leftmost / rightmost node of x's subtree, pushing every node stepped to
// (not x itself).
RTnode *minimum(RTnode *x);
RTnode *maximum(RTnode *x);

// In-order neighbours of x, or NIL. Descents push; climbs push nothing.
RTnode *node_succ(RTnode *x);
RTnode *node_pred(RTnode *x);

// Descents from the root (non-empty tree), pushing every node read. A key
// equals q when q == time or |q - time| < 1e-24.
// pred: equal key, else greatest time below q, else NIL.
RTnode *pred(RTnode *root, double q);
// search: equal key, else NIL.
RTnode *search(RTnode *root, double q);
// succ: equal key, else least time above q, else NIL.
RTnode *succ(RTnode *root, double q);

// Adds candidate x (of another tree) to every candidate of the in-order range
// lb..rbound (lb not after rbound): cap += x->cap and x's trace is joined in
// front of each trace by a merge record. Path nodes are changed directly, the
// subtrees between the two paths get pending updates. Every node on the paths
// from lb and rbound up to the root must be clean.
void interval(RTnode *lb, RTnode *rbound, RTnode *x);

// Rotations push both nodes of the pair first.
// True when a comes no later than b in the in-order of their (common) tree.
// Equal keys make this the only reliable order test.
bool in_order(RTnode *a, RTnode *b);

void left_rotate(RTnode **root, RTnode *x);
void right_rotate(RTnode **root, RTnode *y);

// Red-black fix-up after linking the red node x.
void balance(RTnode **root, RTnode *x);

// Links the fresh node x into the non-empty tree: descends from the root
// (pushing), hangs x as a red leaf after every equal key, rebalances and
// stores the new count in the root's size. Shared by insert and insert_swap.
void link_leaf(RTnode **root, RTnode *x);

// Inserts candidate (q, c) with trace com (the node takes its own counted
// reference), then prunes by dominance: the run of predecessors that the
// newcomer dominates, then the newcomer itself when its successor or a
// predecessor of equal time dominates it, so a tree never holds two
// candidates of one time. Pruned candidates' expiration entries are removed
// from *list. Returns the newcomer's node, its values current (the node and
// its ancestors clean), or NIL when the newcomer was dropped as dominated.
RTnode *insert(RTnode **root, double q, double c, Comp *com, RTnode **list);

// Removes z (whose swap_option must be NIL) and drops its trace reference.
// A node with two children keeps its record and takes over its successor's
// candidate (time, cap, com, expiration link); the successor's record is freed.
void node_delete(RTnode **root, RTnode *z);

// The unlinking shared by both deletions: removes from the tree the record
// that deleting z frees (z itself, or its in-order successor when z has two
// children) and puts its only child in its place, pushed first. Returns that
// record; *x receives the child (possibly NIL), from which fixup starts. The
// caller moves the candidate or entry into z, fixes up and frees the record.
RTnode *splice_out(RTnode **root, RTnode *z, RTnode **x);

// Red-black fix-up after a deletion; x took the removed node's place.
void fixup(RTnode **root, RTnode *x);

// Frees the subtree x (NIL allowed) with its traces, pending ones included.
void tree_delete(RTnode *x);

// Lists the tree in order on standard output ("empty tree" for NIL), pushing
// every pending update; with `debug`, each candidate's placements go to fp.
void travel(RTnode *x);

// Writes the buffer records of trace x to fp in pre-order, adding 1 to *i per
// line; a null trace writes "empty tree". Uses an explicit stack: traces are
// as deep as the routing tree.
void printbuffer_fastins(Comp *x, int *i);

// Makes x and all its ancestors clean, so x's values are current. Used for
// nodes reached through an expiration-list link rather than a descent.
void travel_update(RTnode *root, RTnode *x);

// Invariant checkers for tests and debug builds. They read only: no pushes,
// no counter changes. On failure they return false and describe the first
// fault in *why (when why is not null).
// Candidate tree: red-black shape, parent links, root size, clean nodes
// without pending fields, current values (ancestors' pending updates composed
// on the way down) non-decreasing in time, qc_option NIL, and every
// swap_option an entry of `list` whose qc_option points back.
bool check_candidate_tree(RTnode *root, RTnode *list, std::string *why);
// Expiration list: red-black shape, links, size, entries without pending
// updates or traces, swap_option NIL, keys non-decreasing and never NaN, and
// every linked entry's candidate pointing back.
bool check_expiration_list(RTnode *list, std::string *why);
