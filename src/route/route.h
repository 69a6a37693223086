// The routing layer's insides (bufins::route in include/bufins/route.h is its
// face): the readers of the three inputs (a pin file, a public sink list, a
// routed tree), the shaping of a routing tree into the binary net bufins
// reads (candidate nodes, detours, pitch), the net as a model value and as
// the file's text.
//
// Readers throw InputError ("file:line: what is wrong") as the library's
// readers do; only main prints. Everything is held in value types owned by
// the caller; nothing touches the library's global tables.
#pragma once

#include <cassert>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "bufins/model.h"
#include "io.h"
#include "steiner.h"

namespace route {

enum class InputKind { PIN_FILE, SINK_LIST, ROUTED_TREE };

const char *kind_name(InputKind kind);

struct Sink {
  int index = 0;       // node number in the net written
  double x = 0.0, y = 0.0;
  double cap = 0.0;    // load, in the net file's capacitance unit
  double time = 0.0;   // required arrival time
  long line = 0;
};

// One node of a routed tree: an internal node or a sink, joined to its parent
// (another record, or the source) by a wire of the routed length.
struct RoutedNode {
  int id = 0;
  double x = 0.0, y = 0.0;
  int parent = -1;       // record position of the parent, -1 for the source
  int sink = -1;         // position in Input::sinks, -1 for an internal node
  double length = 0.0;   // routed length of the wire from the parent
  double slack = 0.0;    // how far the routed length may fall short of the
                         // distance between the ends by the file's rounding
  long line = 0;
};

struct Input {
  InputKind kind = InputKind::PIN_FILE;
  std::string name;
  std::optional<double> r0, c0;     // wire resistance, capacitance per unit length
  std::optional<steiner::Point> driver;
  std::optional<double> driver_res;
  std::optional<double> driver_max_cap;
  std::vector<Sink> sinks;           // in file order
  std::vector<bool> sink_has_time;   // by sink: the file gave a required time
  std::vector<double> downstream;    // by sink: delay below the pin (sink lists)
  std::vector<RoutedNode> routed;    // routed tree only
};

// Recognises the input by its content and reads it. cap_unit converts the
// sink lists' farads to the net file's capacitance unit (file value = farads
// / cap_unit); time_unit is the net's unit of time in seconds. Warnings
// ("file:line: ...") go to `warn`, as the net reader's do.
Input read_input(const std::string &text, const std::string &name, double cap_unit, double time_unit,
                 const Warn &warn);

// Gives the sinks of a routed tree their loads (and the net its wire constants
// where the tree has none) from the public sink list it was routed over,
// matching the tree's sink ids with the list's.
void attach_loads(Input &tree, const Input &list);

// A rooted tree over points before it becomes a net: point 0 is the driver,
// points 1 .. sinks are the sinks in Input order, later points are junctions
// (Steiner points, internal nodes of a routed tree).
struct Shape {
  std::vector<steiner::Point> points;
  std::vector<int> parent;      // -1 for the driver
  std::vector<double> wire;     // routed length from the parent (>= distance)
};

// The routed tree's own shape.
Shape routed_shape(const Input &in, const steiner::Point &driver);

// Statistics of the tree construction, for the header.
struct SteinerReport {
  double spanning_length = 0.0;  // rectilinear minimum spanning tree of the pins
};

// A Steiner tree over the driver and the sinks, with the Prim-Dijkstra
// trade-off alpha (0 to 1).
Shape steiner_shape(const Input &in, const steiner::Point &driver, double alpha, SteinerReport *report);

// A node's children: at most two (a binary net), kept in the node.
struct Children {
  int at[2] = {-1, -1};
  int count = 0;
  void push_back(int c) {
    assert(count < 2);
    at[count++] = c;
  }
  int *begin() { return at; }
  int *end() { return at + count; }
  const int *begin() const { return at; }
  const int *end() const { return at + count; }
  std::reverse_iterator<const int *> rbegin() const { return std::reverse_iterator<const int *>(end()); }
  std::reverse_iterator<const int *> rend() const { return std::reverse_iterator<const int *>(begin()); }
};

struct NetNode {
  int index = 0;
  int type = 0;  // NODE_DRIVER, NODE_CANDIDATE, NODE_SINK
  double x = 0.0, y = 0.0;
  Children children;  // positions in Net::nodes
};

// The binary net: nodes[0] is the driver, nodes[1 .. sinks] the sinks in
// Input order, then the candidate nodes in pre-order from the driver.
struct Net {
  std::vector<NetNode> nodes;
  int sinks = 0;
  double wire_length = 0.0;     // total
  double longest_path = 0.0;    // driver to the farthest sink, along the wires
  int detours = 0;
};

struct NetRequest {
  double pitch = 0.0;           // 0: no pitch
  long max_nodes = 0;           // node limit of bufins
};

// Makes the net: candidate nodes at every junction, at the driver's child and
// in front of every sink (a zero-length wire), two or more at one place where
// more than two wires leave it, a detour node on every wire whose routed length
// exceeds the distance between its ends, and with a pitch at most that far
// apart along every wire. Throws InputError with status 2 when the net would
// exceed max_nodes.
Net make_net(const Shape &shape, const Input &in, const NetRequest &req);

// The net file text: header lines (each written behind "# "), the wire
// constants, the driver, the sinks, the candidates and the edges in
// pre-order, both edges of a branching node before either subtree.
std::string net_text(const Net &net, const Input &in, double r0, double c0, const steiner::Point &driver,
                     double driver_res, const std::vector<std::string> &header);

// What bufins-route's options ask of the routing (the defaults are its own).
struct Request {
  std::optional<steiner::Point> driver;  // --driver
  std::optional<double> driver_res;      // --driver-res
  std::optional<double> required;        // --required
  std::optional<double> wire_res, wire_cap;
  double alpha = 0.0;
  bool alpha_given = false;
  double pitch = 0.0;
  double cap_unit = 1e-15;  // --cap-unit
  bool text = false;        // make Routed::text
  double time_unit() const { return cap_unit * 1000.0; }
};

// A routed net: the model bufins reads from its file, the file's text (with
// Request::text) and figures for bufins-route -v.
struct Routed {
  bufins::Net net;   // every value rounded as the file prints it
  std::string text;  // the net file
  size_t sinks = 0, nodes = 0;
  double wire_length = 0.0, longest_path = 0.0;
  double seconds = 0.0;  // processor time of the tree and the net
};

// Everything bufins-route does between reading its input (`in`, a routed
// tree with its loads attached already) and writing the net: the wire
// constants and driver from the options or the input, the sinks' required
// times, the tree, the net as a model and (Request::text) its text, headed
// by "Written by WRITTEN_BY from SOURCE ...". Throws InputError as the
// readers do. Reentrant.
Routed route_net(Input &in, const Request &req, const std::string &written_by, const std::string &source);

// The model the net reader makes of net_text(net, in, r0, c0, driver,
// driver_res, ...), without the text: every figure rounded to the 15
// significant digits the text prints (round15), nodes and edges in the
// file's order, linked and checked by the reader's linker.
bufins::Net net_model(const Net &net, const Input &in, double r0, double c0, const steiner::Point &driver,
                      double driver_res);

// The value the net reader reads back from figure(v): v itself when it has
// 15 significant digits or fewer (every integer below 10^15 does), else the
// nearest double to its 15-digit decimal.
double round15(double v);

// Warnings of values whose size suggests a unit mistake, as the net reader
// gives them (UnitCheck), judged in the net's units after the conversion of
// a sink list; and of a capacitance unit far from any real one. `program`
// names the option's owner.
void warn_implausible(const Input &in, const Request &req, const std::string &program, const Warn &warn);

// Shortest text that reads back as the same figure within 15 digits.
std::string figure(double v);

}  // namespace route
