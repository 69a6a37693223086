// bufins-check: evaluates a buffer placement on a net independently of the
// engines and reports the slack at the driver, the buffers by type, their total
// input capacitance, their cost (the sum of their area= values) and the worst
// sinks.
//
//   bufins-check [--slack S] [--segment M] NET LIB BUF
//
// Exit status: 0 when the placement fits the net (and, with --slack, its slack
// is S); 1 for a usage error, a file that cannot be opened, or any error in the
// three files; 2 when the computed slack is not S.
#include <getopt.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "cli.h"
#include "def.h"
#include "io.h"
#include "placement.h"
#include "wire_segment.h"

namespace {

constexpr int WORST_SINKS = 5;

[[noreturn]] void usage(const char *program) {
  std::fflush(stdout);
  std::fprintf(stderr, "Usage: %s [--slack S] [--segment M] netfile libraryfile placementfile\n", program);
  std::exit(1);
}

// All reading of the run happens here: the library, the net (segmented as the
// run that wrote the placement segmented it) and the placement file. Input
// errors leave as InputError, which main reports.
PlacementFile load_inputs(const std::string &net, const std::string &lib, const std::string &buf, int segment) {
  File l = open_file(lib.c_str(), "r");
  InputLib(l.get(), lib);
  l.reset();
  File n = open_file(net.c_str(), "r");
  read_net(n.get(), net);
  n.reset();
  if (segment) wire_segment(segment);
  return read_placement(buf, true);
}

// Slacks within 1e-9 of each other relative to the larger (absolute below 1).
// The engines print -2e10 for "no candidate beats minus infinity": any two
// values at or below it agree.
bool same_slack(double a, double b) {
  if (a <= MINUS_INFINITY_TIME && b <= MINUS_INFINITY_TIME) return true;
  return std::fabs(a - b) <= 1e-9 * std::max({1.0, std::fabs(a), std::fabs(b)});
}

}  // namespace

int main(int argc, char **argv) {
  bool want_slack = false;
  double expected = 0.0;
  int segment = 0;
  static const option longopts[] = {
      {"slack", required_argument, nullptr, 's'}, {"segment", required_argument, nullptr, 'm'}, {nullptr, 0, nullptr, 0}};
  int opt;
  while ((opt = getopt_long(argc, argv, "", longopts, nullptr)) != -1) {
    char *end;
    errno = 0;
    switch (opt) {
      case 's':
        expected = std::strtod(optarg, &end);
        if (end == optarg || *end != '\0' || !std::isfinite(expected)) {
          std::fprintf(stderr, "bufins-check: --slack needs a finite number, not \"%s\"\n", optarg);
          usage(argv[0]);
        }
        want_slack = true;
        break;
      case 'm': {
        long m = std::strtol(optarg, &end, 10);
        if (end == optarg || *end != '\0' || errno == ERANGE || m < 0 || m > MAX_NODES) {
          std::fprintf(stderr, "bufins-check: --segment needs a coefficient from 0 to %d, not \"%s\"\n", MAX_NODES,
                       optarg);
          usage(argv[0]);
        }
        segment = static_cast<int>(m);
        break;
      }
      default:
        usage(argv[0]);
    }
  }
  if (argc - optind != 3) usage(argv[0]);

  reset_globals();
  PlacementFile pf;
  try {
    pf = load_inputs(argv[optind], argv[optind + 1], argv[optind + 2], segment);
  } catch (const InputError &e) {
    return report_input_error(e);
  }
  Timing t = evaluate_placement(pf.buffer_on);

  std::vector<int> count(static_cast<size_t>(n_buffertype) + 1, 0);
  double input_cap = 0.0;
  long long cost = 0;  // sum of the area= of the buffers (1 each by default)
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
  std::printf("Cost (sum of areas) : %lld\n", cost);
  std::printf("Worst sinks (%zu of %zu):\n", std::min(sinks.size(), static_cast<size_t>(WORST_SINKS)), sinks.size());
  for (size_t i = 0; i < sinks.size() && i < static_cast<size_t>(WORST_SINKS); i++)
    std::printf("  sink %d : slack %.10g\n", nodes[sinks[i].second].index, sinks[i].first);
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::fprintf(stderr, "bufins-check: cannot write the report to standard output\n");
    return 1;
  }
  if (want_slack && !same_slack(t.slack, expected)) {
    std::fprintf(stderr, "bufins-check: the slack is %.17g, not %.17g\n", t.slack, expected);
    return 2;
  }
  return 0;
}
