// Fuzz target: bufins-route's inputs, from the text to the net bufins reads.
//
// Input: the first byte chooses the routing options; the rest is a pin file
// or a public sink list, or a routed tree, a line "%%" and the sink list it
// was routed over (its loads). Options, by bits of the first byte:
//   0-1  alpha: not given, 0.3, 0.7, 1
//   2-3  pitch: none; an eighth or a 200th of the driver-to-sink distances
//        summed (a bound on the tree's length, so the node count stays
//        small); a trillionth of it, which must be refused (the node
//        limit, before any node is made)
//   4    --cap-unit 1e-12 instead of 1e-15
//   5    --required=1000
//   6    --driver=0,0
//   7    --wire-res=0.1 --wire-cap=0.2
// Inputs whose pins stand at seven to nine places are skipped (see below).
// What must hold: the readers and the routing either refuse the input with an
// InputError or give a net text that the net reader accepts as it is (the
// node and sink counts bufins-route reports, the wire length it reports, and
// bit for bit the model the routing hands back without the text) and that
// the flat engine solves with a small library.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "bufins/bufins.h"
#include "fuzz_input.h"
#include "io.h"
#include "route.h"

namespace {

[[noreturn]] void fail(const char *what, double a, double b, const std::string &text = "") {
  std::fprintf(stderr, "fuzz_route: %s (%.17g, %.17g)\n%s\n", what, a, b, text.c_str());
  std::abort();
}

const bufins::Library &small_library() {
  static const bufins::Library lib = [] {
    static const char text[] =
        "buffer_small   20.0  35.0  180.0\n"
        "buffer_medium  40.0  30.0   90.0\n"
        "buffer_large   80.0  28.0   45.0\n";
    FuzzStream in = fuzz_stream(reinterpret_cast<const uint8_t *>(text), sizeof text - 1);
    return read_library_model(in.get(), "small.lib");
  }();
  return lib;
}

// The driver bufins-route takes (route_net's choice).
steiner::Point driver_of(const route::Input &in, const route::Request &req) {
  if (req.driver) return *req.driver;
  if (in.driver) return *in.driver;
  steiner::Point d{in.sinks[0].x, in.sinks[0].y};
  for (const route::Sink &k : in.sinks) {
    d.x = std::fmin(d.x, k.x);
    d.y = std::fmin(d.y, k.y);
  }
  return d;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  const uint8_t opt = data[0];
  std::string text(reinterpret_cast<const char *>(data + 1), size - 1), loads;
  const size_t split = text.find("%%\n");
  if (split != std::string::npos) {
    loads = text.substr(split + 3);
    text.resize(split);
  }

  route::Request req;
  req.text = true;
  static const double alphas[] = {0.0, 0.3, 0.7, 1.0};
  req.alpha = alphas[opt & 3];
  req.alpha_given = (opt & 3) != 0;
  if (opt & 16) req.cap_unit = 1e-12;
  if (opt & 32) req.required = 1000.0;
  if (opt & 64) req.driver = steiner::Point{0.0, 0.0};
  if (opt & 128) {
    req.wire_res = 0.1;
    req.wire_cap = 0.2;
  }
  const Warn ignore;
  route::Routed routed;
  bool refused_for_size = false;
  try {
    route::Input in = route::read_input(text, "fuzz.in", req.cap_unit, req.time_unit(), ignore);
    if (in.kind == route::InputKind::ROUTED_TREE) {
      route::Input list = route::read_input(loads, "fuzz.list", req.cap_unit, req.time_unit(), ignore);
      if (list.kind != route::InputKind::SINK_LIST) return 0;
      route::attach_loads(in, list);
    }
    if (in.sinks.empty() || in.sinks.size() > 400) return 0;
    const steiner::Point d = driver_of(in, req);
    if (in.kind != route::InputKind::ROUTED_TREE) {
      // The exact tree's work grows as 3^places (tens of milliseconds at
      // seven to nine places under the sanitizers); up to six places take
      // the same paths at a fraction of the cost.
      std::vector<std::pair<double, double>> places{{d.x, d.y}};
      for (const route::Sink &k : in.sinks) places.push_back({k.x, k.y});
      std::sort(places.begin(), places.end());
      const size_t distinct = static_cast<size_t>(std::unique(places.begin(), places.end()) - places.begin());
      if (distinct >= 7 && distinct <= 9) return 0;
    }
    double reach = 0.0;  // no tree the routing makes is longer
    for (const route::Sink &k : in.sinks) reach += steiner::manhattan(d, {k.x, k.y});
    const int pitch = (opt >> 2) & 3;
    if (in.kind == route::InputKind::ROUTED_TREE) {
      for (const route::RoutedNode &r : in.routed) reach += r.length;
      if (pitch == 3) return 0;  // a routed tree's length is not bounded by the pins
    }
    if (!std::isfinite(reach)) return 0;
    static const double shares[] = {0.0, 1.0 / 8, 1.0 / 200, 1e-12};
    req.pitch = reach * shares[pitch];
    refused_for_size = pitch == 3 && req.pitch > 0.0;
    routed = route::route_net(in, req, "fuzz_route", "fuzz.in");
  } catch (const InputError &) {
    return 0;
  }
  if (refused_for_size) fail("a pitch beyond the node limit accepted", routed.nodes, req.pitch, routed.text);

  bufins::Net net;
  try {
    FuzzStream in = fuzz_stream(reinterpret_cast<const uint8_t *>(routed.text.data()), routed.text.size());
    net = read_net_model(in.get(), "routed.net");
  } catch (const InputError &e) {
    fail(e.what(), 0, 0, routed.text);
  }
  if (net.nodes.size() != routed.nodes || static_cast<size_t>(net.sinks()) != routed.sinks)
    fail("node or sink count of the net read", static_cast<double>(net.nodes.size()), static_cast<double>(routed.nodes));
  // The model handed back without the text is the net read, to the last bit.
  const bufins::Net &m = routed.net;
  bool same = m.nodes.size() == net.nodes.size() && m.edges.size() == net.edges.size() &&
              m.driver_resistance == net.driver_resistance && m.driver_max_cap == net.driver_max_cap &&
              m.wire_resistance == net.wire_resistance && m.wire_capacitance == net.wire_capacitance;
  for (size_t i = 0; same && i < m.nodes.size(); i++) {
    const bufins::Node &a = m.nodes[i], &b = net.nodes[i];
    same = a.index == b.index && a.kind == b.kind && a.x == b.x && a.y == b.y && a.load == b.load &&
           a.required == b.required && a.left == b.left && a.right == b.right;
  }
  for (size_t i = 0; same && i < m.edges.size(); i++)
    same = m.edges[i].from == net.edges[i].from && m.edges[i].to == net.edges[i].to;
  if (!same) fail("the routed model differs from the net its text reads as", 0, 0, routed.text);
  // The net's wire length as bufins sees it (rectilinear distances between
  // the written coordinates) is the length routed, up to the coordinates'
  // printed digits.
  double length = 0.0, extent = 0.0;
  for (const bufins::Node &n : net.nodes) extent = std::fmax(extent, std::fabs(n.x) + std::fabs(n.y));
  for (const bufins::Node &a : net.nodes)
    for (const int k : {a.left, a.right})
      if (k >= 0) {
        const bufins::Node &b = net.nodes[static_cast<size_t>(k)];
        length += std::fabs(a.x - b.x) + std::fabs(a.y - b.y);
      }
  if (std::fabs(length - routed.wire_length) > 1e-9 * (routed.wire_length + extent * static_cast<double>(net.edges.size())))
    fail("wire length of the net read", length, routed.wire_length, routed.text);
  if (net.nodes.size() <= 5000) {
    const bufins::Result r = bufins::solve(net, small_library());
    if (std::isnan(r.slack)) fail("slack not a number", r.slack, 0, routed.text);
  }
  return 0;
}
