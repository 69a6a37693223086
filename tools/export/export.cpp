// The texts of an export: stages and their RC trees from the tables and the
// placement, then the five files. See export.h for the model.
#include "export.h"

#include <cctype>
#include <cstdio>
#include <string>
#include <algorithm>
#include <vector>

#include "bufins/model.h"
#include "def.h"
#include "placement.h"

namespace exporter {

namespace {

std::string num(double v) {
  char b[64];
  std::snprintf(b, sizeof b, "%.12g", v);
  return b;
}

bool plain_identifier(const std::string &s) {
  if (s.empty() || !(std::isalpha(static_cast<unsigned char>(s[0])) || s[0] == '_')) return false;
  for (char c : s)
    if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '_')) return false;
  return true;
}

constexpr const char *DRIVER_CELL = "bufins_driver";

}  // namespace

std::string elmore_cell_name(const std::vector<std::string> &names, int type) {
  const std::string &n = names[static_cast<size_t>(type)];
  bool unique = plain_identifier(n) && n != DRIVER_CELL;
  for (size_t k = 0; k < names.size() && unique; k++)
    if (static_cast<int>(k) != type && names[k] == n) unique = false;
  // A generated name of another type could still collide: bufins_type<k>
  // is reserved for the generated names.
  if (unique && n.rfind("bufins_type", 0) == 0) unique = false;
  return unique ? n : "bufins_type" + std::to_string(type + 1);
}

ExportFiles export_net(const std::vector<int> &buffer_on, const ExportSetup &setup) {
  std::vector<int> order, parent;
  tree_order(order, parent);
  const size_t n = order.empty() ? 0 : static_cast<size_t>(*std::max_element(order.begin(), order.end())) + 1;
  auto at = [](int pos) { return static_cast<size_t>(pos); };
  // Stage 0 is the driver's; stage s > 0 is driven by the buffer on the wire
  // to edge_of[s]. A node belongs to the stage of the wire above it (node 0
  // to stage 0); a buffer stage's root is the node its buffer stands at,
  // seen from the buffer's output side, which holds only the buffered wire.
  // Capacitances per node of its own stage and per buffer stage root, so
  // that a net of 1.6 million nodes needs no table keyed by names.
  std::vector<int> stage_of(n, -1), edge_of = {0};
  std::vector<double> cap(n, 0.0), root_cap = {0.0};
  std::vector<std::vector<int>> members(1), hanging(1);  // wires of the stage; buffers whose input it drives
  std::vector<int> sinks;  // table positions, in pre-order
  stage_of[0] = 0;
  for (int pos : order) {
    if (pos == 0) continue;
    const int u = parent[at(pos)];
    int s = stage_of[at(u)];
    const double half = c0 * 1000.0 * distance(&nodes[at(u)], &nodes[at(pos)]) / 2.0;  // fF
    if (buffer_on[at(pos)]) {
      hanging[at(s)].push_back(pos);
      s = static_cast<int>(edge_of.size());
      edge_of.push_back(pos);
      root_cap.push_back(half);
      members.emplace_back();
      hanging.emplace_back();
    } else {
      cap[at(u)] += half;
    }
    stage_of[at(pos)] = s;
    members[at(s)].push_back(pos);
    cap[at(pos)] += half;
    if (nodes[at(pos)].type == NODE_SINK) sinks.push_back(pos);
  }
  const size_t stages = edge_of.size();

  auto index = [&](int pos) { return std::to_string(nodes[at(pos)].index); };
  auto net_name = [&](size_t s) {
    return s == 0 ? std::string("net_0") : "net_" + index(parent[at(edge_of[s])]) + "_" + index(edge_of[s]);
  };
  auto instance = [&](size_t s) {
    return s == 0 ? std::string("drv") : "buf_" + index(parent[at(edge_of[s])]) + "_" + index(edge_of[s]);
  };
  auto gate_type = [&](size_t s) { return s == 0 ? 0 : buffer_on[at(edge_of[s])]; };
  auto node_name = [&](int pos) {
    if (nodes[at(pos)].type == NODE_SINK) return "sink_" + index(pos);
    return net_name(at(stage_of[at(pos)])) + ":" + index(pos);
  };
  auto root_name = [&](size_t s) { return s == 0 ? node_name(0) : net_name(s) + ":" + index(parent[at(edge_of[s])]); };
  auto out_pin = [&](int type) {
    if (type == 0) return setup.real_driver ? setup.driver_cell.output : std::string("Y");
    return setup.real ? setup.type_cells[at(type - 1)].output : std::string("Y");
  };
  auto in_pin = [&](int type) {
    if (type == 0) return setup.real_driver ? setup.driver_cell.input : std::string("A");
    return setup.real ? setup.type_cells[at(type - 1)].input : std::string("A");
  };
  // The resistor from a gate's output pin to the node it stands at: the
  // gate's resistance for an Elmore cell, none for a real one.
  auto gate_res = [&](int type) {
    if (type == 0) return setup.real_driver ? 0.0 : rd;
    return setup.real ? 0.0 : rb[type - 1];
  };

  ExportFiles f;
  f.buffers = stages - 1;
  f.stages = stages;
  f.sinks = sinks.size();
  const std::string by = std::string("bufins-export ") + BUFINS_VERSION;

  // ---- net.v ----
  std::string &v = f.verilog;
  v += "// net.v: written by " + by + " from " + setup.source + ".\n";
  v += "// The buffered net: the driver drv, one instance per placed buffer (buf_U_V stands at node U\n";
  v += "// on the wire to node V and drives net_U_V), one output port per sink.\n";
  v += std::string("module ") + MODULE + " (in";
  for (int k : sinks) v += ", sink_" + index(k);
  v += ");\n  input in;\n";
  for (int k : sinks) v += "  output sink_" + index(k) + ";\n";
  for (size_t s = 0; s < stages; s++) v += "  wire " + net_name(s) + ";\n";
  for (size_t s = 0; s < stages; s++) {
    const int type = gate_type(s);
    std::string cell;
    if (type == 0)
      cell = setup.real_driver ? setup.driver_cell.cell : DRIVER_CELL;
    else
      cell = setup.real ? setup.type_cells[at(type - 1)].cell : elmore_cell_name(setup.type_names, type - 1);
    const std::string in_net = s == 0 ? std::string("in") : net_name(at(stage_of[at(parent[at(edge_of[s])])]));
    v += "  " + cell + " " + instance(s) + " (." + in_pin(type) + "(" + in_net + "), ." + out_pin(type) + "(" +
         net_name(s) + "));\n";
  }
  for (int k : sinks) v += "  assign sink_" + index(k) + " = " + net_name(at(stage_of[at(k)])) + ";\n";
  v += "endmodule\n";

  // ---- net.spef ----
  std::string &p = f.spef;
  p += "*SPEF \"IEEE 1481-1998\"\n*DESIGN \"" + std::string(MODULE) + "\"\n*DATE \"\"\n*VENDOR \"bufins\"\n";
  p += "*PROGRAM \"bufins-export\"\n*VERSION \"" + std::string(BUFINS_VERSION) + "\"\n";
  p += "*DESIGN_FLOW \"NETLIST_TYPE_VERILOG\"\n*DIVIDER /\n*DELIMITER :\n*BUS_DELIMITER [ ]\n";
  p += "*T_UNIT 1 PS\n*C_UNIT 1 FF\n*R_UNIT 1 OHM\n*L_UNIT 1 HENRY\n\n";
  p += "// Written by " + by + " from " + setup.source + ".\n";
  p += "// One net per stage; the first resistor is the gate's resistance" +
       std::string(setup.real ? " (0 for a real cell)" : "") + ", then one pi segment per wire piece.\n\n";
  for (size_t s = 0; s < stages; s++) {
    const std::string gate = instance(s) + ":" + out_pin(gate_type(s));
    const double rcap = s == 0 ? cap[0] : root_cap[s];
    double total = rcap;
    for (int m : members[s]) total += cap[at(m)];
    p += "*D_NET " + net_name(s) + " " + num(total) + "\n*CONN\n*I " + gate + " O\n";
    for (int b : hanging[s]) p += "*I " + instance(at(stage_of[at(b)])) + ":" + in_pin(buffer_on[at(b)]) + " I\n";
    for (int m : members[s])
      if (nodes[at(m)].type == NODE_SINK) p += "*P " + node_name(m) + " O\n";
    p += "*CAP\n";
    size_t k = 1;
    if (rcap != 0.0) p += std::to_string(k++) + " " + root_name(s) + " " + num(rcap) + "\n";
    for (int m : members[s])
      if (cap[at(m)] != 0.0) p += std::to_string(k++) + " " + node_name(m) + " " + num(cap[at(m)]) + "\n";
    p += "*RES\n";
    k = 1;
    p += std::to_string(k++) + " " + gate + " " + root_name(s) + " " + num(gate_res(gate_type(s))) + "\n";
    // A buffer's input hangs on its node through a zero resistor.
    for (int b : hanging[s])
      p += std::to_string(k++) + " " + node_name(parent[at(b)]) + " " + instance(at(stage_of[at(b)])) + ":" +
           in_pin(buffer_on[at(b)]) + " 0\n";
    for (int m : members[s]) {
      const int u = parent[at(m)];
      const std::string upper = buffer_on[at(m)] ? root_name(s) : node_name(u);
      p += std::to_string(k++) + " " + upper + " " + node_name(m) + " " +
           num(r0 * distance(&nodes[at(u)], &nodes[at(m)])) + "\n";
    }
    p += "*END\n\n";
  }

  // ---- net.sdc ----
  std::string &c = f.sdc;
  c += "# net.sdc: written by " + by + " from " + setup.source + ".\n";
  c += "# Each sink's load (fF) and its required time (ps) as a max-delay constraint from the input port.\n";
  for (int s : sinks) {
    const Node &k = nodes[static_cast<size_t>(s)];
    c += "set_load " + num(k.cap * 1000.0) + " [get_ports sink_" + index(s) + "]\n";
  }
  for (int s : sinks) {
    const Node &k = nodes[static_cast<size_t>(s)];
    c += "set_max_delay " + num(k.time) + " -from [get_ports in] -to [get_ports sink_" + index(s) + "]\n";
  }

  // ---- cells.lib ----
  std::string &l = f.cells;
  l += "/* cells.lib: written by " + by + " from " + setup.source + ".\n";
  l += "   Elmore cells: each gate has a constant delay (its intrinsic delay); its output resistance is\n";
  l += "   the first resistor of its stage in net.spef, so a timer taking Elmore wire delays on the SPEF\n";
  l += "   RC trees gives each stage the delay intrinsic + resistance x load + wire delay. */\n";
  l += "library (bufins_cells) {\n  delay_model : table_lookup;\n  time_unit : \"1ps\";\n"
       "  capacitive_load_unit (1, ff);\n  pulling_resistance_unit : \"1ohm\";\n  voltage_unit : \"1V\";\n"
       "  current_unit : \"1mA\";\n  nom_process : 1;\n  nom_voltage : 1;\n  nom_temperature : 25;\n"
       "  input_threshold_pct_rise : 50;\n  input_threshold_pct_fall : 50;\n"
       "  output_threshold_pct_rise : 50;\n  output_threshold_pct_fall : 50;\n"
       "  slew_lower_threshold_pct_rise : 10;\n  slew_lower_threshold_pct_fall : 10;\n"
       "  slew_upper_threshold_pct_rise : 90;\n  slew_upper_threshold_pct_fall : 90;\n";
  auto cell = [&](const std::string &name, const std::string &comment, double cap, double delay, double area) {
    l += "  /* " + comment + " */\n";
    l += "  cell (" + name + ") {\n    area : " + num(area) + ";\n";
    l += "    pin (A) {\n      direction : input;\n      capacitance : " + num(cap) + ";\n    }\n";
    l += "    pin (Y) {\n      direction : output;\n      function : \"A\";\n      timing () {\n"
         "        related_pin : \"A\";\n        timing_sense : positive_unate;\n        timing_type : combinational;\n";
    for (const char *t : {"cell_rise", "cell_fall"}) l += std::string("        ") + t + " (scalar) { values (\"" + num(delay) + "\"); }\n";
    for (const char *t : {"rise_transition", "fall_transition"}) l += std::string("        ") + t + " (scalar) { values (\"0\"); }\n";
    l += "      }\n    }\n  }\n";
  };
  cell(DRIVER_CELL, "the net's driver: no delay of its own; resistance " + num(rd) + " ohm in net.spef", 0.0, 0.0, 0.0);
  if (!setup.real)
    for (int t = 0; t < n_buffertype; t++)
      cell(elmore_cell_name(setup.type_names, t),
           "buffer type " + std::to_string(t + 1) + " (" + setup.type_names[static_cast<size_t>(t)] + "): resistance " +
               num(rb[t]) + " ohm in net.spef",
           cb[t] * 1000.0, tb[t],
           std::stod(bufins::cost_text(buffer_area[t], buffer_area_decimals)));
  l += "}\n";

  // ---- run.tcl ----
  std::string &r = f.tcl;
  r += "# run.tcl: written by " + by + " from " + setup.source + ".\n";
  r += "# Times the buffered net: sta -no_init -no_splash -exit run.tcl\n";
  r += "# The report's \"slack\" line is the worst slack; the last line prints it at full precision.\n";
  r += "# bufins' Elmore slack of this placement: " + num(setup.elmore_slack) + "\n";
  r += "# The folder of this script, so that it runs from anywhere (sta sources it without setting [info script]).\n";
  r += "set dir [file dirname [info script]]\n";
  r += "if {[info script] eq \"\"} {\n";
  r += "  for {set level 1} {$level <= [info frame]} {incr level} {\n";
  r += "    set cmd [dict get [info frame $level] cmd]\n";
  r += "    if {[lindex $cmd 0] eq \"source\"} { set dir [file dirname [lindex $cmd end]]; break }\n";
  r += "  }\n";
  r += "}\n";
  r += "read_liberty $dir/cells.lib\n";
  for (const std::string &lib : setup.libraries) r += "read_liberty $dir/" + lib + "\n";
  r += "read_verilog $dir/net.v\nlink_design " + std::string(MODULE) + "\nread_spef $dir/net.spef\nread_sdc $dir/net.sdc\n";
  r += "set_delay_calculator dmp_ceff_elmore\n";
  r += "report_checks -path_delay max -digits 6\n";
  r += "puts \"worst slack [format %.10g [worst_slack -max]]\"\n";
  return f;
}

}  // namespace exporter
