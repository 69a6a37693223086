// Shared by bufins-check and bufins-draw: the placement file reader, which
// checks every line against the routing tree in the global tables, and an
// Elmore evaluation of the buffered tree that owes nothing to the engines.
//
// Both work on the tables that read_net (and possibly wire_segment) filled.
// Input errors are thrown as InputError ("file:line: what is wrong"); nothing
// here prints or ends the process.
#pragma once

#include <string>
#include <vector>

struct PlacedBuffer {
  int start;  // index of the candidate node the buffer stands at
  int end;    // index of the child at the other end of the driven wire
  int type;   // 1-based library type
  long line;  // line of the placement file
};

struct PlacementFile {
  std::vector<PlacedBuffer> buffers;     // in file order
  std::vector<int> buffer_on;            // by table position of the child: 0 or the type
  bool empty_tree = false;               // the file says "empty tree"
};

// Reads and checks the placement file `name` ("-": standard input). Every line must be a placement
// ("start A  end B  buffertype T") of a wire of the tree reached from the
// driver that leaves a candidate node, at most one per wire, or the single line
// "empty tree"; blank lines are ignored. A file without any line holds no
// buffer either: bufins writes one when the winning trace holds only wires. With check_types, T must be a type of
// the library read (1 to n_buffertype); otherwise any T >= 1 is accepted.
PlacementFile read_placement(const std::string &name, bool check_types);

struct Timing {
  double slack = 0.0;             // Elmore slack at the driver, bottom-up
  std::vector<double> sink_slack; // by table position; sinks only (others 0)
  std::vector<char> in_tree;      // by table position: reached from the driver
};

// Elmore evaluation with the library in rb/cb/tb: bottom-up for the slack at the
// driver, then top-down for the arrival time and so the slack of every sink.
// Explicit stacks only: the tree may be a chain of 1.6 million nodes.
Timing evaluate_placement(const std::vector<int> &buffer_on);

// Table position of every node of the tree reached from the driver, in
// pre-order (parents before children), and the parent position of each (-1 for
// the driver and for nodes the driver does not reach).
void tree_order(std::vector<int> &order, std::vector<int> &parent);
