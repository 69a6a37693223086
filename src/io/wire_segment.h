// Wire segmentation: cuts every wire of the net into equal pieces with new
// candidate nodes so that buffers may stand inside long wires.
#pragma once

#include "bufins/model.h"
#include "def.h"

// Gives every wire of non-zero length M new candidate nodes (M + 1 equal
// pieces along its rectilinear route, vertical leg first), appended to the node
// and edge tables and linked into the tree. A run that cannot be done soundly
// (M < 0, table limits, numbers already taken) throws InputError ("bufins: ...")
// before anything changes.
// On the global tables (the path of the list and fast engines; sink loads stay as they are).
// Returns the root (&nodes[0]): when the node table has too little room it is
// enlarged to exactly what the new nodes need and every link is made anew, so
// pointers into the table taken before the call are stale afterwards.
Node *wire_segment(int M);

// The same on a model: the new nodes appended, the links and edges rewritten.
void segment_model(bufins::Net &net, int M);
