// The net, the buffer library and the wire constants of one buffer-insertion
// problem, as plain values.
//
// A Net is a routing tree held in one vector of nodes: position 0 is the
// driver, then the sinks, then the candidate nodes (where buffers may
// stand), in the order a net file lists them; children are named by their
// position in that vector (-1 for none), so a Net can be copied, moved and
// shared between threads like any value. `index` is the node's own number
// (the one edges and placements use; the driver's is 0). Edges are kept as
// the file gave them, by node numbers, beside the links they made.
//
// Units are those of the files: capacitances (loads, input capacitances,
// max_cap, wire capacitance per unit length) in the files' capacitance unit,
// resistances and times as written. The engines divide capacitances by 1000
// internally, exactly as the readers always have.
//
// Nothing here holds a pointer into another object; nothing here is global.
#pragma once

#include <string>
#include <vector>

namespace bufins {

// A limit that is not set (max_cap, --max-cap, --max-slew).
constexpr double no_limit = 1e300;
// Required time standing for minus infinity: the slack of a net on which no
// buffer assignment beats it.
constexpr double minus_infinity = -20000000000.0;
// Largest area= a buffer type may have, as written.
constexpr long long max_area = 1000000000LL;
// Most decimals an area= may be written with.
constexpr int max_area_decimals = 6;
// Largest area in units of its library's last decimal (area x 10^decimals):
// a million buffers of it still sum exactly in 64 bits.
constexpr long long max_area_units = 1000000000000LL;

enum class NodeKind : int { driver = 0, candidate = 1, sink = 2 };

struct Node {
  int index = 0;  // node number; the driver's is 0
  NodeKind kind = NodeKind::candidate;
  double x = 0.0, y = 0.0;
  double load = 0.0;      // sinks: load capacitance (files' unit)
  double required = 0.0;  // sinks: required arrival time
  int left = -1;          // position of the first child, -1 for none
  int right = -1;         // position of the second child (candidates only), -1 for none
};

// An edge as the net file gave it: parent and child node numbers.
struct Edge {
  int from;
  int to;
};

struct Net {
  std::vector<Node> nodes;  // [0] driver, then sinks, then candidates
  std::vector<Edge> edges;  // in file order (segmentation rewrites and appends)
  double driver_resistance = 0.0;
  double driver_max_cap = no_limit;  // max_cap= of the driver line
  double wire_resistance = 0.0;      // per unit length
  double wire_capacitance = 0.0;     // per unit length, files' capacitance unit

  int sinks() const;       // sink nodes
  int candidates() const;  // candidate nodes, segment nodes included
};

struct BufferType {
  std::string name;               // first word of its library line
  double input_cap = 0.0;         // files' capacitance unit
  double intrinsic_delay = 0.0;
  double output_resistance = 0.0;
  long long area = 1;             // cost of one buffer, in units of 10^-Library::area_decimals
  double max_cap = no_limit;      // largest load it may drive
};

// Areas are kept exact as integers: a library whose area= values are
// written with at most k decimals holds them (and every cost, the sum of
// areas, is computed) in units of 10^-k, k = area_decimals. So 3.75 with
// k = 2 is held as 375, and a cost of 1626 units is shown as "16.26".
struct Library {
  std::vector<BufferType> types;  // at most 64; type numbers in placements are 1-based positions
  int area_decimals = 0;          // k above, 0 to max_area_decimals
};

// A cost (or area) of `units` units of 10^-decimals as text with exactly
// `decimals` decimals, so that it reads back exactly: cost_text(1626, 2) is
// "16.26", cost_text(7, 0) is "7".
std::string cost_text(long long units, int decimals);

// A cost written in plain decimal notation (digits with at most one '.',
// "12", "16.26", ".5", "3."), as units of 10^-decimals: the largest number
// of units not above it (decimals beyond `decimals` are dropped, as no cost
// of such a library lies between), LLONG_MAX when it is larger. False, with
// *units untouched, when the text is not of that form.
bool cost_units(const std::string &text, int decimals, long long *units);

// A buffer of type `type` (1-based) at node `start` on the wire to its
// child `end` (node numbers), as a placement file line says it.
struct Placement {
  int start;
  int end;
  int type;
};

// Memory figures of one engine run, in bytes (running totals and the
// sampled peak of the live bytes), as -o and the JSON report print them.
struct Memory {
  double solutions_opened = 0.0;
  double solutions_freed = 0.0;
  double traces_opened = 0.0;
  double traces_freed = 0.0;
  double peak = 0.0;
};

// Building a net in code. Nodes first (the driver, the sinks, the
// candidates, in that order), then edges by node numbers; link() checks the
// net as the reader does and sets the child positions, throwing
// bufins::InputError (bufins.h) with the reader's message, its place being
// `name` (no line number).
class NetBuilder {
 public:
  NetBuilder(double driver_x, double driver_y, double driver_resistance);
  NetBuilder &wire(double resistance_per_unit, double capacitance_per_unit);
  NetBuilder &driver_max_cap(double max_cap);
  NetBuilder &sink(int index, double x, double y, double load, double required);
  NetBuilder &candidate(int index, double x, double y);
  NetBuilder &edge(int from, int to);
  Net link(const std::string &name = "net") const;

 private:
  Net net_;
};

}  // namespace bufins
