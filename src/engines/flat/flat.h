// The flat engine: the same dynamic programme as the list and fast engines,
// with the candidates of a subtree held in contiguous arrays sorted by load,
// wires applied to whole arrays as pending affine updates, and buffer
// choices read off the upper convex hull of each array. It keeps none of the
// other engines' record layouts: its memory figures count its own storage.
//
// Contract with the driver: flat(root) runs on the tree whose driver is root
// and keeps the driver child's candidate list and the winner's trace until
// flat_free(). The memory counters of def.h (total_solution, reduce_solution,
// m_used, m_reduced, max_space) receive the engine's own figures.
#pragma once

#include "def.h"

// Best slack at the driver, or MINUS_INFINITY_TIME when no candidate beats it.
extern double flat_answer;

// Most trace records made between two collections of the trace pool (at
// least 1). Only the speed and the memory figures depend on it; tests make
// it small so that small nets see many collections.
extern int flat_young_records;

void flat(Node *root);

// The driver child's candidates, one line each, in the list engine's listing
// format, on standard output (with debug, each one's placements on fp).
void flat_print_list();

// The winner's placement lines on fp ("empty tree" as the other engines
// write it); *count receives the number of buffers.
void flat_printbuffer(int *count);

// Releases everything flat() kept.
void flat_free();
