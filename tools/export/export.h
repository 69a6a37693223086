// A buffered net written for a static timer: structural Verilog, SPEF
// parasitics, SDC constraints, a cell library and a Tcl script that reads
// them all.
//
// The idea. bufins times a net under the Elmore model: a gate of resistance
// R and intrinsic delay t driving a stage of total capacitance C reaches an
// end point e at t + R·C + E(e), E the Elmore delay of the stage's wires. A
// timer that takes Elmore wire delays on a SPEF RC tree reproduces this
// exactly when every gate is a cell of constant delay t (scalar tables) and
// its resistance R is the first resistor of its stage's RC tree, from the
// gate's output pin to the node it stands at: the Elmore delay through that
// resistor is R·C. (A linear cell's own resistance is not applied to SPEF
// parasitics by the timer, so it cannot carry R.) Each wire piece of the
// tree is one pi segment, r0·L between its ends and c0·L/2 at each end, whose
// Elmore delay r0·L·(c0·L/2 + c below) is the bufins wire delay; a buffer's
// input pin hangs on its node through a zero resistor and brings its pin
// capacitance, a sink is an output port with its load set in the SDC, and its
// required time is a max-delay constraint from the net's input port. The
// worst slack the timer reports is then the bufins slack, up to the timer's
// single-precision arithmetic.
//
// With real cells (`ExportSetup::real`), each buffer type is instead an
// instance of a real Liberty cell whose tables the timer uses as they are (no
// resistor ahead of its stage), so the timer's slack measures how far the
// Elmore model of the fitted cells is from the cells themselves. The driver
// stays the Elmore driver (constant zero delay, its resistance in the SPEF)
// unless a real driver cell is named.
//
// Names: the driver instance `drv`, the net's input port `in`, one output
// port `sink_N` per sink N, the buffer at node U on the wire to node V
// `buf_U_V` driving net `net_U_V`; the driver's net is `net_0`. Node numbers
// are those of the net file.
//
// Everything reads the global tables (the net, its library) after the readers
// have filled them and the placement as read_placement gives it (by table
// position of the child at a buffered wire's lower end: 0 or the 1-based
// type). Nothing here prints or exits; the texts are returned whole.
#pragma once

#include <string>
#include <vector>

namespace exporter {

struct CellPins {
  std::string cell;    // Liberty cell name
  std::string input;   // input pin
  std::string output;  // output pin
};

struct ExportSetup {
  std::vector<std::string> type_names;  // the library's buffer names by type (0-based), for comments and cell names
  bool real = false;                    // buffers are real cells (type_cells), not the Elmore cells
  std::vector<CellPins> type_cells;     // with real: the cell of each type (unused types may have an empty cell)
  bool real_driver = false;             // the driver is driver_cell rather than the Elmore driver
  CellPins driver_cell;
  std::vector<std::string> libraries;   // Liberty files run.tcl reads besides cells.lib, names relative to the folder
  std::string source;                   // what the files were made from, for their headers
  double elmore_slack = 0.0;            // the placement's slack as bufins-check evaluates it
};

struct ExportFiles {
  std::string verilog;  // net.v
  std::string spef;     // net.spef
  std::string sdc;      // net.sdc
  std::string cells;    // cells.lib
  std::string tcl;      // run.tcl
  size_t buffers = 0;
  size_t stages = 0;
  size_t sinks = 0;
};

// The module name of net.v.
constexpr const char *MODULE = "bufins_net";

// The Verilog name of buffer type `type` (0-based) among the Elmore cells:
// the library's name when it is a plain identifier used by no other type and
// not the driver's, else bufins_type<type+1>.
std::string elmore_cell_name(const std::vector<std::string> &type_names, int type);

ExportFiles export_net(const std::vector<int> &buffer_on, const ExportSetup &setup);

}  // namespace exporter
