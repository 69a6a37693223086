// bufins-check: evaluates a buffer placement on a net independently of the
// engines and reports the slack at the driver, the buffers by type, their total
// input capacitance, their cost (the sum of their area= values) and the worst
// sinks; with electrical limits (--max-cap, --max-slew, max_cap fields of the
// library or the driver line) also the stages' loads and slews
// (stage_limits.h) and every stage over a limit.
//
//   bufins-check [-s S] [-m M] [--max-cap V] [--max-slew S] [--stages] [-q] [-h] [-V] NET LIB PLACEMENT
//
// Exit status: 0 when the placement fits the net (and, with --slack, its slack
// is S, and every stage is within the limits); 1 for a usage error, a file
// that cannot be opened, or any error in the three files; 2 when the computed
// slack is not S or a stage breaks a limit.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "cli.h"
#include "cmdline.h"
#include "def.h"
#include "io.h"
#include "stage_limits.h"
#include "placement.h"
#include "wire_segment.h"

namespace {

constexpr int WORST_SINKS = 5;

enum Key { KEY_MAX_CAP = 300, KEY_MAX_SLEW, KEY_STAGES };

const cmdline::Program kProgram{
    "bufins-check",
    "NET LIB PLACEMENT",
    "Evaluates the buffer placement PLACEMENT (a .buf file) on the net NET with the\n"
    "buffer library LIB under the Elmore delay model, independently of the engines,\n"
    "and prints the slack at the driver, the buffers by type, their total input\n"
    "capacitance and the sinks with the worst slack. One of the three files may be\n"
    "'-', standard input.",
    {{'s', 's', "slack", "S",
      "compare the computed slack with S: status 2 when the\n"
      "two differ by more than 1e-9 relative"},
     {'m', 'm', "segments", "M",
      "cut every wire into M + 1 pieces first, as a bufins run\n"
      "with -m M does, for the original net file (default 0)"},
     {KEY_MAX_CAP, 0, "max-cap", "V",
      "no gate without a max_cap of its own may drive a load\n"
      "above V (files' capacitance unit)"},
     {KEY_MAX_SLEW, 0, "max-slew", "S", "no stage may have a slew above S at an end point"},
     {KEY_STAGES, 0, "stages", nullptr, "list every stage's load and worst slew"},
     {'q', 'q', "quiet", nullptr, "print no warnings about the input files"}},
    "Stages: a gate (the driver or a buffer) with the wires it drives down to the\n"
    "next buffers' inputs and the sinks; its load is their capacitance, its slew at\n"
    "an end point ln 9 x (gate resistance x load + Elmore delay of the wires on the\n"
    "way). With limits (--max-cap, --max-slew, max_cap= fields of LIB's buffer\n"
    "lines or of NET's driver line) the report adds the stage count, the worst load\n"
    "and slew and one line per stage over a limit (beyond 1e-9 relative).\n"
    "\n"
    "Exit status: 0 when the placement fits the net (and matches --slack, and meets\n"
    "the limits); 1 for a usage error, a file that cannot be opened, or an error in\n"
    "any of the three files (\"file:line: what is wrong\"); 2 when the computed slack\n"
    "is not S or a stage breaks a limit."};

struct Request {
  bool want_slack = false;
  double expected = 0.0;
  int segments = 0;
  bool quiet = false;
  Limits limits;
  bool list_stages = false;
  std::string net, lib, placement;
};

// The run the command line asks for; throws cmdline::UsageError.
Request read_request(const cmdline::Parsed &parsed) {
  Request r;
  for (const cmdline::Option &o : parsed.options) {
    if (o.key == 's') {
      r.expected = cmdline::real_value(o);
      r.want_slack = true;
    } else if (o.key == 'm') {
      r.segments = static_cast<int>(cmdline::integer_value(o, 0, MAX_NODES));
    } else if (o.key == 'q') {
      r.quiet = true;
    } else if (o.key == KEY_MAX_CAP || o.key == KEY_MAX_SLEW) {
      const double v = cmdline::real_value(o);
      if (v < 0.0) throw cmdline::UsageError(o.name + ": '" + o.value + "' is not a limit (a number >= 0)");
      if (o.key == KEY_MAX_CAP)
        r.limits.max_cap = v / 1000.0;
      else
        r.limits.max_slew = v;
    } else if (o.key == KEY_STAGES) {
      r.list_stages = true;
    }
  }
  const std::vector<std::string> &files = parsed.operands;
  if (files.size() > 3) throw cmdline::UsageError("unexpected argument '" + files[3] + "'");
  if (files.size() < 3)
    throw cmdline::UsageError("needs three files, NET LIB PLACEMENT (got " + std::to_string(files.size()) + ")");
  cmdline::at_most_one_standard_input(files);
  r.net = files[0];
  r.lib = files[1];
  r.placement = files[2];
  return r;
}

// All reading of the run happens here: the library, the net (segmented as the
// run that wrote the placement segmented it) and the placement file. Input
// errors leave as InputError, which main reports.
// The net and library also stay as a model (*net, *lib) for the stage
// evaluation; the tables hold the same values.
PlacementFile load_inputs(const Request &r, bufins::Net *net, bufins::Library *lib) {
  WarningPrinter warnings(r.quiet, kProgram.name);
  const Warn warn = [&warnings](const std::string &text) { warnings.print(text); };
  {
    File l = open_file(r.lib.c_str(), "r");
    *lib = read_library_model(l.get(), cmdline::display_name(r.lib), warn);
  }
  {
    File n = open_file(r.net.c_str(), "r");
    *net = read_net_model(n.get(), cmdline::display_name(r.net), warn);
  }
  warnings.finish();
  if (r.segments) segment_model(*net, r.segments);
  install_library(*lib);
  install_net(*net);
  return read_placement(r.placement, true);
}

// Slacks within 1e-9 of each other relative to the larger (absolute below 1).
// The engines print -2e10 for "no candidate beats minus infinity": any two
// values at or below it agree.
bool same_slack(double a, double b) {
  if (a <= MINUS_INFINITY_TIME && b <= MINUS_INFINITY_TIME) return true;
  return std::fabs(a - b) <= 1e-9 * std::max({1.0, std::fabs(a), std::fabs(b)});
}

// One stage for the listings: its gate, where it stands, the wire it drives.
std::string stage_text(const Stage &s) {
  std::string t = "node " + std::to_string(nodes[s.gate].index) + " " + gate_name(s.type);
  if (s.child >= 0) t += " (to node " + std::to_string(nodes[s.child].index) + ")";
  return t;
}

// The stage report: count, the worst load and slew, with --stages every
// stage, then every stage over a limit. Returns the number of violations.
size_t report_stages(const flat_core::Tables &T, const std::vector<int> &buffer_on, const Limits &lim, bool list_all) {
  const std::vector<Stage> stages = compute_stages(T, buffer_on);
  std::printf("Stages : %zu\n", stages.size());
  size_t by_load = 0, by_slew = 0;
  for (size_t i = 1; i < stages.size(); i++) {
    if (stages[i].load > stages[by_load].load) by_load = i;
    if (stages[i].slew > stages[by_slew].slew) by_slew = i;
  }
  if (!stages.empty()) {
    std::printf("Worst stage load : %.10g at %s\n", stages[by_load].load * 1000.0, stage_text(stages[by_load]).c_str());
    std::printf("Worst stage slew : %.10g at %s\n", stages[by_slew].slew, stage_text(stages[by_slew]).c_str());
  }
  if (list_all)
    for (const Stage &s : stages)
      std::printf("  stage %s : load %.10g slew %.10g\n", stage_text(s).c_str(), s.load * 1000.0, s.slew);
  const std::vector<Violation> bad = check_stages(T, stages, lim);
  if (limits_in_force(T, lim)) std::printf("Limit violations : %zu\n", bad.size());
  for (const Violation &v : bad) {
    const Stage &s = stages[v.stage];
    if (v.kind == LIMIT_LOAD)
      std::printf("  violation %s : load %.10g > %.10g\n", stage_text(s).c_str(), v.value * 1000.0, v.limit * 1000.0);
    else
      std::printf("  violation %s : slew %.10g > %.10g\n", stage_text(s).c_str(), v.value, v.limit);
  }
  return bad.size();
}

}  // namespace

int main(int argc, char **argv) {
  Request request;
  if (const auto status = cmdline::parse_request(kProgram, BUFINS_VERSION, argc, argv, read_request, &request))
    return *status;

  reset_globals();
  PlacementFile pf;
  bufins::Net net;
  bufins::Library lib;
  try {
    pf = load_inputs(request, &net, &lib);
  } catch (const InputError &e) {
    return report_input_error(e);
  }
  Timing t = evaluate_placement(pf.buffer_on);

  std::vector<int> count(static_cast<size_t>(n_buffertype) + 1, 0);
  double input_cap = 0.0;
  long long cost = 0;  // sum of the area= of the buffers (1 each by default), in the library's units
  for (const PlacedBuffer &b : pf.buffers) {
    count[b.type]++;
    input_cap += cb[b.type - 1];
    cost += buffer_area[b.type - 1];
  }
  std::vector<std::pair<double, int>> sinks;  // (slack, table position)
  for (int i = 1; i < n_sinks; i++)
    if (t.in_tree[i]) sinks.push_back({t.sink_slack[i], i});
  std::stable_sort(sinks.begin(), sinks.end(), [](const auto &a, const auto &b) { return a.first < b.first; });

  std::printf("Slack at the driver : %.10g\n", t.slack);
  std::printf("Inserted buffers : %zu\n", pf.buffers.size());
  for (int type = 1; type <= n_buffertype; type++)
    if (count[type]) std::printf("  type %d : %d\n", type, count[type]);
  std::printf("Total buffer input capacitance : %.10g\n", input_cap * 1000.0);
  std::printf("Cost (sum of areas) : %s\n", bufins::cost_text(cost, buffer_area_decimals).c_str());
  std::printf("Worst sinks (%zu of %zu):\n", std::min(sinks.size(), static_cast<size_t>(WORST_SINKS)), sinks.size());
  for (size_t i = 0; i < sinks.size() && i < static_cast<size_t>(WORST_SINKS); i++)
    std::printf("  sink %d : slack %.10g\n", nodes[sinks[i].second].index, sinks[i].first);
  size_t violations = 0;
  const flat_core::Tables tables(net, lib);
  if (request.list_stages || limits_in_force(tables, request.limits))
    violations = report_stages(tables, pf.buffer_on, request.limits, request.list_stages);
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::fprintf(stderr, "bufins-check: cannot write the report to standard output\n");
    return 1;
  }
  int status = 0;
  if (request.want_slack && !same_slack(t.slack, request.expected)) {
    std::fprintf(stderr, "bufins-check: the slack is %.17g, not %.17g\n", t.slack, request.expected);
    status = 2;
  }
  if (violations > 0) {
    std::fprintf(stderr, "bufins-check: %zu limit violation%s\n", violations, violations == 1 ? "" : "s");
    status = 2;
  }
  return status;
}
