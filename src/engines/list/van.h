// The list engine: candidate lists of (q, c) pairs, buffer-trace records and
// the Van Ginneken dynamic programme over the routing tree.
//
// Reference counting of trace records (Comp):
//  - a counted reference is a left/right pointer of another trace record, the
//    com/coma of a candidate-tree node, or the com of a fast-algorithm merge
//    list record; a list-engine candidate's com is NOT counted;
//  - whoever makes a record pointing at R adds 1 to R->counter per pointer,
//    unless the new record takes over an existing counted reference;
//  - dropping a counted reference: R->counter -= 1, then comp_delete(R);
//    dropping a list candidate's reference: comp_delete(com) alone.
// Memory counters: 32 bytes per RLnode, 24 per Comp, whatever the real sizes.
#pragma once

#include "def.h"

// Allocates a trace record with the given fields and adds 24 to m_used. It
// does not touch the children's counters: the caller applies the rules above.
Comp *make_comp(Comp *left, Comp *right, int buffertype, int x, int y, int counter);

// Frees com, and depth-first (left before right) the sub-traces that nothing
// else counts, when com's counter is 0. Iterative: traces may be as deep as the
// routing tree.
void comp_delete(Comp *com);

// Candidate record make/free pair: +32 to total_solution / reduce_solution.
// free_rlnode does not touch the trace.
RLnode *make_rlnode(double cap, double time, Comp *com);
void free_rlnode(RLnode *r);

// One-candidate list for a sink (no trace). Samples the memory peak.
RLnode *create_list(const Node *t);

// Releases every candidate of the list and the traces that they alone hold.
void list_delete(RLnode *l);

// Carries the list up a wire of length k from node px to node py and adds one
// buffered candidate per library type. Consumes `list`; the result is in
// non-decreasing load order, not yet pruned.
RLnode *add_buffer(double k, RLnode *list, int px, int py);

// Removes dominated candidates from a list in non-decreasing load order.
RLnode *redundent(RLnode *list);

// Merges the pruned lists of the two branches at branching node `index` into
// a new list (neither input is released). Stops when either list runs out.
RLnode *merge_list(RLnode *L, RLnode *R, int index);

// The list dynamic programme. Called on the root, sets van_answer and
// final_location_van and returns the list of the driver's child (caller owns).
RLnode *van(Node *t);

// Candidate listing on standard output (with debug, each candidate's
// placements follow on fp).
void print(RLnode *x);

// Writes the placement lines of the trace to fp, adding 1 to *i per line.
void printbuffer(Comp *x, int *i);

// The placement walk shared by both algorithms' printers: pre-order (a record
// before the records below it, left side first), one line per record whose
// buffertype is neither skip1 nor skip2; "empty tree" for a null trace.
// Iterative: traces are as deep as the routing tree.
void write_placements(Comp *x, int *i, int skip1, int skip2);
