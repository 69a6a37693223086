// Expiration lists of the fast algorithm, and `create`, which sets up the
// per-buffer-type candidate sets at a sink.
//
// An expiration list is a red-black tree of RTnode entries ordered by the
// accumulated wire length (`time`) at which a candidate stops beating its
// predecessor through the list's buffer type; the least key expires first.
// Entry and candidate point at each other (entry->qc_option, candidate->
// swap_option). Entries never carry pending updates or traces.
//
// Ownership: entries are tree nodes (+88 / +88 in the memory counters); a list
// is owned by whoever holds its root pointer, next to the candidate tree of the
// same buffer type.
#pragma once

#include "def.h"

// The key stored for a computed crossing length: NaN (equal loads, or r0 = 0
// with equal times) becomes -infinity, "expires at once"; everything else,
// +-infinity included, is kept. So a list never holds a NaN key and its
// in-order keys stay non-decreasing.
double expiration_key(double key);

// Adds an entry with key expiration_key(q) and cap c, after every equal key,
// without trace and without pruning (qc_option NIL until the caller links it).
// Also places a trace-less candidate into a candidate tree.
RTnode *insert_swap(RTnode **root, double q, double c);

// Removes entry z. An entry with two children keeps its record and takes over
// its successor's key and candidate; that candidate's swap_option is moved to
// the record.
void node_delete_swap(RTnode **root, RTnode *z);

// Frees the whole list x (NIL allowed).
void tree_delete_swap(RTnode *x);

// For every buffer type i: rt[i] = a one-node tree holding the sink's (time,
// cap) with no trace, list[i] = NIL, k[i] = 0.0.
void create(double *k, RTnode **rt, const Node *t, RTnode **list);
