// bufins::route (include/bufins/route.h): the whole routing of one input, as
// bufins-route does it between reading its files and writing the net.
//
// The order of the steps is the program's, so that the warnings come in its
// order and an error stops at the same point: read the input, attach a
// routed tree's loads, warn of options a routed tree ignores and of
// implausible values, then build the tree and the net.
#include "bufins/route.h"

#include "io.h"
#include "route.h"

namespace bufins {

RoutedNet route(const std::string &text, const std::string &name, const RouteOptions &options,
                std::vector<std::string> *warnings) {
  const Warn warn = [warnings](const std::string &line) {
    if (warnings != nullptr) warnings->push_back(line);
  };
  ::route::Request req;
  if (options.driver_x.has_value() != options.driver_y.has_value())
    throw InputError(options.program, 0, "", options.program + ": the driver's place needs both coordinates");
  if (options.driver_x) req.driver = steiner::Point{*options.driver_x, *options.driver_y};
  req.driver_res = options.driver_resistance;
  req.required = options.required;
  req.wire_res = options.wire_resistance;
  req.wire_cap = options.wire_capacitance;
  req.alpha = options.alpha.value_or(0.0);
  req.alpha_given = options.alpha.has_value();
  req.pitch = options.pitch;
  req.cap_unit = options.cap_unit;
  req.text = options.text;

  ::route::Input in = ::route::read_input(text, name, req.cap_unit, req.time_unit(), warn);
  if (in.kind == ::route::InputKind::ROUTED_TREE) {
    if (options.loads_name.empty() && options.loads.empty())
      input_error(in.name, 0,
                  "a routed tree carries no sink loads: give the sink list it was routed over with --loads=FILE");
    const ::route::Input list = ::route::read_input(
        options.loads, options.loads_name.empty() ? "loads" : options.loads_name, req.cap_unit, req.time_unit(), warn);
    if (list.kind != ::route::InputKind::SINK_LIST)
      input_error(list.name, 0, "--loads needs a sink list (NumPins, Sink, Coordinate, Capacitive Load), not a %s",
                  ::route::kind_name(list.kind));
    ::route::attach_loads(in, list);
    if (req.alpha_given || req.driver)
      warn(options.program + ": a routed tree is kept as routed" +
           (req.alpha_given ? ": --alpha has no effect" : "") +
           (req.driver ? ": the driver's wire to the tree's root is a straight one from --driver" : ""));
  } else if (!options.loads_name.empty() || !options.loads.empty()) {
    input_error(in.name, 0, "--loads applies to a routed tree, and this is a %s", ::route::kind_name(in.kind));
  }
  ::route::warn_implausible(in, req, options.program, warn);

  ::route::Routed routed = ::route::route_net(in, req, options.program + " " + BUFINS_VERSION,
                                              options.source.empty() ? in.name : options.source);
  RoutedNet out;
  out.net = std::move(routed.net);
  out.kind = ::route::kind_name(in.kind);
  out.text = std::move(routed.text);
  out.sinks = routed.sinks;
  out.nodes = routed.nodes;
  out.wire_length = routed.wire_length;
  out.longest_path = routed.longest_path;
  out.seconds = routed.seconds;
  return out;
}

}  // namespace bufins
