// The texts of an export: stages and their RC trees from the tables and the
// placement, then the five files. See export.h for the model.
#include "export.h"

#include <cctype>
#include <cstdio>
#include <string>
#include <unordered_map>
#include <vector>

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

// One stage's RC tree as SPEF lines.
struct StageNet {
  std::string net;                  // net name
  std::vector<std::string> conns;   // *CONN lines
  std::vector<std::string> res;     // "A B R"
  std::vector<std::pair<std::string, double>> caps;
  std::unordered_map<std::string, size_t> cap_at;
  double total_cap = 0.0;

  void cap(const std::string &node, double c) {
    if (c == 0.0) return;
    auto it = cap_at.find(node);
    if (it == cap_at.end()) {
      cap_at.emplace(node, caps.size());
      caps.push_back({node, c});
    } else {
      caps[it->second].second += c;
    }
    total_cap += c;
  }
};

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
  const size_t n = nodes.size() < static_cast<size_t>(n_nodes) ? nodes.size() : static_cast<size_t>(n_nodes);
  std::vector<int> stage_of(n, -1);
  std::vector<StageNet> stages;
  struct Gate {
    std::string instance;
    int type;  // 0 the driver, else 1-based
    std::string in_net;
  };
  std::vector<Gate> gates;
  std::vector<int> sinks;  // table positions, in pre-order

  auto index = [&](int pos) { return std::to_string(nodes[static_cast<size_t>(pos)].index); };
  auto node_name = [&](int pos) {
    if (nodes[static_cast<size_t>(pos)].type == NODE_SINK) return "sink_" + index(pos);
    return stages[static_cast<size_t>(stage_of[static_cast<size_t>(pos)])].net + ":" + index(pos);
  };
  auto out_pin = [&](int type) {
    if (type == 0) return setup.real_driver ? setup.driver_cell.output : std::string("Y");
    return setup.real ? setup.type_cells[static_cast<size_t>(type - 1)].output : std::string("Y");
  };
  auto in_pin = [&](int type) {
    if (type == 0) return setup.real_driver ? setup.driver_cell.input : std::string("A");
    return setup.real ? setup.type_cells[static_cast<size_t>(type - 1)].input : std::string("A");
  };
  // The resistor from a gate's output pin to the node it stands at: the
  // gate's resistance for an Elmore cell, none for a real one.
  auto gate_res = [&](int type) {
    if (type == 0) return setup.real_driver ? 0.0 : rd;
    return setup.real ? 0.0 : rb[type - 1];
  };

  // The driver's stage.
  stages.push_back({});
  stages[0].net = "net_0";
  stage_of[0] = 0;
  gates.push_back({"drv", 0, "in"});
  stages[0].conns.push_back("*I drv:" + out_pin(0) + " O");
  stages[0].res.push_back("drv:" + out_pin(0) + " " + node_name(0) + " " + num(gate_res(0)));

  for (int pos : order) {
    if (pos == 0) continue;
    const int u = parent[static_cast<size_t>(pos)];
    const Node &nu = nodes[static_cast<size_t>(u)], &nv = nodes[static_cast<size_t>(pos)];
    const int type = buffer_on[static_cast<size_t>(pos)];
    std::string upper;
    if (type) {
      const std::string name = index(u) + "_" + index(pos);
      const std::string inst = "buf_" + name;
      // The buffer's input hangs on node u of the stage above.
      StageNet &above = stages[static_cast<size_t>(stage_of[static_cast<size_t>(u)])];
      above.conns.push_back("*I " + inst + ":" + in_pin(type) + " I");
      above.res.push_back(node_name(u) + " " + inst + ":" + in_pin(type) + " 0");
      gates.push_back({inst, type, above.net});
      stages.push_back({});
      StageNet &s = stages.back();
      s.net = "net_" + name;
      upper = s.net + ":" + index(u);
      s.conns.push_back("*I " + inst + ":" + out_pin(type) + " O");
      s.res.push_back(inst + ":" + out_pin(type) + " " + upper + " " + num(gate_res(type)));
      stage_of[static_cast<size_t>(pos)] = static_cast<int>(stages.size()) - 1;
    } else {
      upper = node_name(u);
      stage_of[static_cast<size_t>(pos)] = stage_of[static_cast<size_t>(u)];
    }
    StageNet &s = stages[static_cast<size_t>(stage_of[static_cast<size_t>(pos)])];
    const double len = distance(&nu, &nv);
    const std::string lower = node_name(pos);
    s.res.push_back(upper + " " + lower + " " + num(r0 * len));
    const double half = c0 * 1000.0 * len / 2.0;  // fF
    s.cap(upper, half);
    s.cap(lower, half);
    if (nv.type == NODE_SINK) {
      s.conns.push_back("*P " + lower + " O");
      sinks.push_back(pos);
    }
  }

  ExportFiles f;
  f.buffers = gates.size() - 1;
  f.stages = stages.size();
  f.sinks = sinks.size();
  const std::string by = std::string("bufins-export ") + BUFINS_VERSION;

  // ---- net.v ----
  std::string &v = f.verilog;
  v += "// net.v: written by " + by + " from " + setup.source + ".\n";
  v += "// The buffered net: the driver drv, one instance per placed buffer (buf_U_V stands at node U\n";
  v += "// on the wire to node V and drives net_U_V), one output port per sink.\n";
  v += std::string("module ") + MODULE + " (in";
  for (int s : sinks) v += ", sink_" + index(s);
  v += ");\n  input in;\n";
  for (int s : sinks) v += "  output sink_" + index(s) + ";\n";
  for (const StageNet &s : stages) v += "  wire " + s.net + ";\n";
  for (size_t g = 0; g < gates.size(); g++) {
    const Gate &gt = gates[g];
    std::string cell;
    if (gt.type == 0)
      cell = setup.real_driver ? setup.driver_cell.cell : DRIVER_CELL;
    else
      cell = setup.real ? setup.type_cells[static_cast<size_t>(gt.type - 1)].cell
                        : elmore_cell_name(setup.type_names, gt.type - 1);
    v += "  " + cell + " " + gt.instance + " (." + in_pin(gt.type) + "(" + gt.in_net + "), ." + out_pin(gt.type) + "(" +
         stages[g].net + "));\n";
  }
  for (int s : sinks)
    v += "  assign sink_" + index(s) + " = " + stages[static_cast<size_t>(stage_of[static_cast<size_t>(s)])].net + ";\n";
  v += "endmodule\n";
  // The gates were made in the order of their stages: gate g drives stage g.

  // ---- net.spef ----
  std::string &p = f.spef;
  p += "*SPEF \"IEEE 1481-1998\"\n*DESIGN \"" + std::string(MODULE) + "\"\n*DATE \"\"\n*VENDOR \"bufins\"\n";
  p += "*PROGRAM \"bufins-export\"\n*VERSION \"" + std::string(BUFINS_VERSION) + "\"\n";
  p += "*DESIGN_FLOW \"NETLIST_TYPE_VERILOG\"\n*DIVIDER /\n*DELIMITER :\n*BUS_DELIMITER [ ]\n";
  p += "*T_UNIT 1 PS\n*C_UNIT 1 FF\n*R_UNIT 1 OHM\n*L_UNIT 1 HENRY\n\n";
  p += "// Written by " + by + " from " + setup.source + ".\n";
  p += "// One net per stage; the first resistor is the gate's resistance" +
       std::string(setup.real ? " (0 for a real cell)" : "") + ", then one pi segment per wire piece.\n\n";
  for (const StageNet &s : stages) {
    p += "*D_NET " + s.net + " " + num(s.total_cap) + "\n*CONN\n";
    for (const std::string &c : s.conns) p += c + "\n";
    p += "*CAP\n";
    size_t k = 1;
    for (const auto &c : s.caps) p += std::to_string(k++) + " " + c.first + " " + num(c.second) + "\n";
    p += "*RES\n";
    k = 1;
    for (const std::string &r : s.res) p += std::to_string(k++) + " " + r + "\n";
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
           cb[t] * 1000.0, tb[t], static_cast<double>(buffer_area[t]));
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
