// Routing as a library: from a driver and its sinks to the net that
// bufins::solve takes, as the bufins-route program builds it.
//
// The input is the text of one of three forms, recognised by its content: a
// pin file (a net file's wire, driver and sink lines), a public clock-net
// sink list (NumPins, PerUnitResistance, Sink, Coordinate, Capacitive Load),
// or a routed tree (its "tree section of move records, kept as routed; it
// needs the sink list it was routed over for its loads). A rectilinear
// Steiner tree joins the driver and the sinks (traded for short paths from
// the driver with `alpha`), and the tree becomes a binary net with candidate
// nodes at every junction, at the driver's child, in front of every sink and,
// with a pitch, at most that far apart along every wire.
//
// The net returned is the one bufins reads from the file bufins-route
// writes, to the last bit: every value passes through the rounding of the
// file's figures (15 significant digits), so a solve of it prints what
// bufins prints for that file.
//
// Errors are bufins::InputError ("file:line: what is wrong", the
// program's message and exit status); warnings ("file:line: warning: ...")
// are returned as lines of text, as the readers of bufins.h return them.
// Reentrant: nothing is shared between calls.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "bufins/model.h"

namespace bufins {

struct RouteOptions {
  // The driver's place (default: the input's, else the lower-left corner of
  // the sinks' bounding box); its output resistance (default: the input's,
  // else 100).
  std::optional<double> driver_x, driver_y;  // both or neither
  std::optional<double> driver_resistance;
  // Every sink's required arrival time, less its Downstream_Delay (default:
  // the pin file's; 0 for a sink list).
  std::optional<double> required;
  // Wire constants per unit length (default: the input's).
  std::optional<double> wire_resistance, wire_capacitance;
  // 0 to 1: total wire length (0) traded for short paths from the driver (1).
  // Unset means 0; set on a routed tree it draws a warning.
  std::optional<double> alpha;
  // Above 0: a candidate node at most this far apart along every wire.
  double pitch = 0.0;
  // The net's capacitance unit in farads, for sink lists (1e-15: fF, times
  // then in ps with resistances in ohms).
  double cap_unit = 1e-15;
  // A routed tree's sink list: its text, and its name in messages ("loads"
  // when none is given).
  std::string loads, loads_name;
  // Names in messages and in the net file's header ("Written by PROGRAM
  // VERSION from SOURCE"; SOURCE defaults to the input's name).
  std::string program = "bufins-route";
  std::string source;
  // Also make the net file's text (RoutedNet::text).
  bool text = false;
};

struct RoutedNet {
  Net net;
  std::string kind;   // "pin file", "sink list" or "routed tree"
  std::string text;   // the net file bufins-route writes (RouteOptions::text)
  std::size_t sinks = 0, nodes = 0;
  double wire_length = 0.0;   // total
  double longest_path = 0.0;  // driver to the farthest sink, along the wires
  double seconds = 0.0;       // processor time of the tree and the net
};

// Routes the input `text`; `name` stands for its file in messages.
// `warnings`, when given, receives the warnings as they arise (those before
// an error too). Throws InputError (status 2 when the net would exceed the
// node table: a pitch too fine) or std::bad_alloc.
RoutedNet route(const std::string &text, const std::string &name, const RouteOptions &options = RouteOptions(),
                std::vector<std::string> *warnings = nullptr);

}  // namespace bufins
