// bufins-route: from pins to a net. Reads a pin file, a public sink list or a
// routed tree, builds the routing tree (a rectilinear Steiner tree unless the
// input is routed already) and writes it as a net file that bufins reads,
// with candidate nodes where buffers may stand.
//
//   bufins-route [options] INPUT      (see --help)
//
// Exit status: 0 when the net is written; 1 for a usage error, an unreadable
// or faulty input, or a failed write; 2 when the net would exceed the node
// limit of bufins (a pitch too fine for the net).
#include <getopt.h>

#include <cerrno>
#include <ctime>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "cli.h"
#include "def.h"
#include "io.h"
#include "route.h"

namespace {

const char *const kProgram = "bufins-route";
const char *const kUsage =
    "Usage: bufins-route [-o FILE] [--driver=X,Y] [--driver-res=R] [--required=T] [-a A] [-p L]\n"
    "                    [--wire-res=R] [--wire-cap=C] [--cap-unit=F] [--loads=SINKLIST] [-q] [-v] [-h] [-V] INPUT\n";
constexpr double DEFAULT_DRIVER_RES = 100.0;
constexpr double DEFAULT_CAP_UNIT = 1e-15;

struct UsageError {
  std::string reason;
};

void print_help() {
  std::fputs(kUsage, stdout);
  std::fputs(
      "\n"
      "Builds a routing tree over a driver and its sinks and writes it as a net file for bufins,\n"
      "with candidate nodes at every Steiner point, at the driver's child and in front of every\n"
      "sink. INPUT ('-' for standard input) is recognised by its content:\n"
      "  pin file     a net file with driver and sink lines (wire lines optional; candidate and\n"
      "               edge lines are ignored, with a warning)\n"
      "  sink list    a public clock-net sink list (NumPins, PerUnitResistance,\n"
      "               PerUnitCapacitance, Sink, Coordinate, Capacitive Load); sink id k becomes\n"
      "               node k+1\n"
      "  routed tree  a routed binary tree (\"tree0 section of move records) such as r1.xg_B0,\n"
      "               kept as routed: a wire longer than the distance between its ends gets a\n"
      "               detour node so that its length stays the routed length (needs --loads)\n"
      "\n"
      "Options:\n"
      "  -o, --output=FILE    write the net to FILE (default, or '-': standard output)\n"
      "      --driver=X,Y     the driver's place (default: the input's, else the lower-left\n"
      "                       corner of the sinks' bounding box)\n"
      "      --driver-res=R   the driver's output resistance (default: the input's, else 100)\n"
      "      --required=T     every sink's required arrival time, less its Downstream_Delay\n"
      "                       (default: the pin file's, else 0)\n"
      "  -a, --alpha=A        0 to 1: trade total wire length (0, the default: a short Steiner\n"
      "                       tree) for short paths from the driver (1: every sink as close to\n"
      "                       the driver as the tree's points allow), Prim-Dijkstra style\n"
      "  -p, --pitch=L        also a candidate node at most L apart along every wire (a physical\n"
      "                       spacing; bufins -m instead cuts every wire into M+1 equal pieces)\n"
      "      --wire-res=R     wire resistance per unit length (default: the input's)\n"
      "      --wire-cap=C     wire capacitance per unit length, in the net's capacitance unit\n"
      "                       (default: the input's)\n"
      "      --cap-unit=F     the net's capacitance unit in farads, for sink lists (default\n"
      "                       1e-15: fF; with ohms, times are then in ps = 1000 x F seconds)\n"
      "      --loads=FILE     the sink list a routed tree was built over: its sinks' loads and\n"
      "                       the wire constants\n"
      "  -q, --quiet          no warnings\n"
      "  -v, --verbose        print the net's size, wire length, longest path and the time taken to\n"
      "                       build it on standard error\n"
      "  -h, --help           print this help and exit\n"
      "  -V, --version        print the name and version and exit\n"
      "\n"
      "Exit status: 0 when the net is written; 1 for a usage error, an unreadable or faulty\n"
      "input (reported as file:line: what is wrong) or a failed write; 2 when the net would\n"
      "exceed the 1,600,000 nodes bufins reads (a pitch too fine).\n",
      stdout);
}

double number_option(const char *option, const char *text, double lo, double hi) {
  char *end;
  errno = 0;
  const double v = std::strtod(text, &end);
  if (end == text || *end != '\0' || !std::isfinite(v) || v < lo || v > hi) {
    char range[128];
    if (hi == HUGE_VAL)
      std::snprintf(range, sizeof range, "a number of at least %g", lo);
    else if (lo == -HUGE_VAL)
      std::snprintf(range, sizeof range, "a finite number");
    else
      std::snprintf(range, sizeof range, "a number from %g to %g", lo, hi);
    throw UsageError{std::string(option) + " needs " + range + ", not \"" + text + "\""};
  }
  return v;
}

struct RouteOptions {
  std::string input;
  std::string output = "-";
  std::optional<steiner::Point> driver;
  std::optional<double> driver_res, required, wire_res, wire_cap;
  double alpha = 0.0;
  bool alpha_given = false;
  double pitch = 0.0;
  double cap_unit = DEFAULT_CAP_UNIT;
  std::string loads;
  bool quiet = false;
  bool verbose = false;
};

// Returns false when the run is over (help or version printed).
bool parse(int argc, char **argv, RouteOptions &o) {
  enum { DRIVER = 256, DRIVER_RES, REQUIRED, WIRE_RES, WIRE_CAP, CAP_UNIT, LOADS };
  static const option longopts[] = {
      {"output", required_argument, nullptr, 'o'},     {"driver", required_argument, nullptr, DRIVER},
      {"driver-res", required_argument, nullptr, DRIVER_RES}, {"required", required_argument, nullptr, REQUIRED},
      {"alpha", required_argument, nullptr, 'a'},      {"pitch", required_argument, nullptr, 'p'},
      {"wire-res", required_argument, nullptr, WIRE_RES}, {"wire-cap", required_argument, nullptr, WIRE_CAP},
      {"cap-unit", required_argument, nullptr, CAP_UNIT}, {"loads", required_argument, nullptr, LOADS},
      {"quiet", no_argument, nullptr, 'q'},            {"verbose", no_argument, nullptr, 'v'},
      {"help", no_argument, nullptr, 'h'},
      {"version", no_argument, nullptr, 'V'},          {nullptr, 0, nullptr, 0}};
  opterr = 0;
  int opt;
  while ((opt = getopt_long(argc, argv, ":o:a:p:qvhV", longopts, nullptr)) != -1) {
    switch (opt) {
      case 'h':
        print_help();
        return false;
      case 'V':
        std::printf("%s %s\n", kProgram, BUFINS_VERSION);
        return false;
      case 'o':
        if (*optarg == '\0') throw UsageError{"--output needs a file name"};
        o.output = optarg;
        break;
      case DRIVER: {
        const char *comma = std::strchr(optarg, ',');
        if (!comma) throw UsageError{std::string("--driver needs X,Y, not \"") + optarg + "\""};
        const std::string x(optarg, static_cast<size_t>(comma - optarg));
        o.driver = steiner::Point{number_option("--driver", x.c_str(), -1e60, 1e60),
                                  number_option("--driver", comma + 1, -1e60, 1e60)};
        break;
      }
      case DRIVER_RES:
        o.driver_res = number_option("--driver-res", optarg, 0.0, 1e60);
        break;
      case REQUIRED:
        o.required = number_option("--required", optarg, -1e60, 1e60);
        break;
      case 'a':
        o.alpha = number_option("--alpha", optarg, 0.0, 1.0);
        o.alpha_given = true;
        break;
      case 'p':
        o.pitch = number_option("--pitch", optarg, 0.0, 1e60);
        if (o.pitch == 0.0) throw UsageError{"--pitch needs a length above 0"};
        break;
      case WIRE_RES:
        o.wire_res = number_option("--wire-res", optarg, 0.0, 1e60);
        break;
      case WIRE_CAP:
        o.wire_cap = number_option("--wire-cap", optarg, 0.0, 1e60);
        break;
      case CAP_UNIT:
        o.cap_unit = number_option("--cap-unit", optarg, 1e-30, 1.0);
        break;
      case LOADS:
        if (*optarg == '\0') throw UsageError{"--loads needs a file name"};
        o.loads = optarg;
        break;
      case 'q':
        o.quiet = true;
        break;
      case 'v':
        o.verbose = true;
        break;
      case ':':
        throw UsageError{std::string("option ") + argv[optind - 1] + " needs a value"};
      default:
        throw UsageError{std::string("unknown option ") +
                         (std::strncmp(argv[optind - 1], "--", 2) == 0 || !optopt ? std::string(argv[optind - 1])
                                                                                  : std::string("-") + static_cast<char>(optopt))};
    }
  }
  if (optind == argc) throw UsageError{"no INPUT given"};
  if (argc - optind > 1) throw UsageError{std::string("unexpected argument \"") + argv[optind + 1] + "\""};
  o.input = argv[optind];
  return true;
}

// The whole file, or throws InputError "bufins-route: cannot read NAME: why".
std::string slurp(const std::string &name) {
  FILE *f = name == "-" ? stdin : std::fopen(name.c_str(), "rb");
  if (!f) input_error(kProgram, 0, "cannot open %s: %s", name.c_str(), std::strerror(errno));
  std::string text;
  char buf[1 << 16];
  size_t got;
  while ((got = std::fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, got);
  const bool failed = std::ferror(f);
  const int error = errno;
  if (f != stdin) std::fclose(f);
  if (failed) input_error(kProgram, 0, "cannot read %s: %s", name.c_str(), std::strerror(error));
  return text;
}

std::string display_name(const std::string &name) { return name == "-" ? "standard input" : name; }

int run(const RouteOptions &o) {
  const double time_unit = o.cap_unit * 1000.0;
  std::vector<std::string> warnings;
  auto flush_warnings = [&] {
    if (!o.quiet)
      for (const std::string &w : warnings) std::fprintf(stderr, "%s\n", w.c_str());
    warnings.clear();
  };
  struct Flush {
    decltype(flush_warnings) &f;
    ~Flush() { f(); }
  } flush{flush_warnings};

  route::Input in = route::read_input(slurp(o.input), display_name(o.input), o.cap_unit, time_unit, warnings);
  if (in.kind == route::InputKind::ROUTED_TREE) {
    if (o.loads.empty())
      input_error(in.name, 0, "a routed tree carries no sink loads: give the sink list it was routed over with --loads=FILE");
    route::Input list = route::read_input(slurp(o.loads), display_name(o.loads), o.cap_unit, time_unit, warnings);
    if (list.kind != route::InputKind::SINK_LIST)
      input_error(list.name, 0, "--loads needs a sink list (NumPins, Sink, Coordinate, Capacitive Load), not a %s",
                  route::kind_name(list.kind));
    route::attach_loads(in, list);
    if (o.alpha_given || o.driver)
      warnings.push_back(std::string(kProgram) + ": a routed tree is kept as routed" +
                         (o.alpha_given ? ": --alpha has no effect" : "") +
                         (o.driver ? ": the driver's wire to the tree's root is a straight one from --driver" : ""));
  } else if (!o.loads.empty()) {
    input_error(in.name, 0, "--loads applies to a routed tree, and this is a %s", route::kind_name(in.kind));
  }

  const std::optional<double> r0 = o.wire_res ? o.wire_res : in.r0;
  const std::optional<double> c0 = o.wire_cap ? o.wire_cap : in.c0;
  if (!r0) input_error(in.name, 0, "no wire resistance per unit length: add a wire_res_per_unit line or give --wire-res=R");
  if (!c0) input_error(in.name, 0, "no wire capacitance per unit length: add a wire_cap_per_unit line or give --wire-cap=C");

  std::string driver_origin;
  steiner::Point driver;
  if (o.driver) {
    driver = *o.driver;
    driver_origin = "--driver";
  } else if (in.driver) {
    driver = *in.driver;
    driver_origin = in.kind == route::InputKind::ROUTED_TREE ? "the tree's source" : "the driver line";
  } else {
    driver = {in.sinks[0].x, in.sinks[0].y};
    for (const route::Sink &k : in.sinks) {
      driver.x = std::min(driver.x, k.x);
      driver.y = std::min(driver.y, k.y);
    }
    driver_origin = "the lower-left corner of the sinks' box";
  }
  const double driver_res = o.driver_res ? *o.driver_res : in.driver_res ? *in.driver_res : DEFAULT_DRIVER_RES;
  for (size_t i = 0; i < in.sinks.size(); i++) {
    route::Sink &k = in.sinks[i];
    if (o.required)
      k.time = *o.required - in.downstream[i];
    else if (!in.sink_has_time[i] && in.kind == route::InputKind::PIN_FILE)
      input_error(in.name, k.line, "sink line: missing required arrival time (or give --required=T)");
    else if (!in.sink_has_time[i])
      k.time = -in.downstream[i];
  }

  const std::clock_t start = std::clock();  // processor time: other load on the machine does not count
  route::SteinerReport report;
  const route::Shape shape = in.kind == route::InputKind::ROUTED_TREE
                                 ? route::routed_shape(in, driver)
                                 : route::steiner_shape(in, driver, o.alpha, &report);
  route::NetRequest req;
  req.pitch = o.pitch;
  req.max_nodes = MAX_NODES;
  const route::Net net = route::make_net(shape, in, req);
  const double seconds = static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC;

  using route::figure;
  std::vector<std::string> header;
  header.push_back(std::string("Written by ") + kProgram + " " + BUFINS_VERSION + " from " + in.name + " (" +
                   route::kind_name(in.kind) + "): " + std::to_string(in.sinks.size()) + " sinks, " +
                   std::to_string(net.nodes.size() - 1 - in.sinks.size()) + " candidate nodes.");
  if (in.kind == route::InputKind::ROUTED_TREE) {
    header.push_back("Tree: as routed; " + std::to_string(net.detours) +
                     " detour nodes keep wires longer than the distance between their ends at their routed length.");
  } else {
    char line[256];
    std::snprintf(line, sizeof line, "Tree: rectilinear Steiner tree, alpha %s (%s).", figure(o.alpha).c_str(),
                  o.alpha == 0.0 ? "shortest total length" : o.alpha == 1.0 ? "shortest paths from the driver" : "length traded for paths");
    header.push_back(line);
  }
  header.push_back("Candidate nodes at every junction, at the driver's child and in front of every sink" +
                   (o.pitch > 0 ? "; at most " + figure(o.pitch) + " apart along every wire." : std::string(".")));
  std::string lengths = "Wire length " + figure(net.wire_length);
  if (in.kind != route::InputKind::ROUTED_TREE && report.spanning_length > 0) {
    char pct[64];
    std::snprintf(pct, sizeof pct, "%.2f%%", 100.0 * (1.0 - net.wire_length / report.spanning_length));
    lengths += " (rectilinear minimum spanning tree " + figure(report.spanning_length) + ": " + pct + " shorter)";
  }
  lengths += "; longest driver-to-sink path " + figure(net.longest_path) + ".";
  header.push_back(lengths);
  header.push_back("Driver at " + figure(driver.x) + " " + figure(driver.y) + " (" + driver_origin + "), resistance " +
                   figure(driver_res) + (o.driver_res ? "" : in.driver_res ? " (the driver line)" : " (default)") + ".");
  if (in.kind != route::InputKind::PIN_FILE) {
    char units[256];
    std::snprintf(units, sizeof units,
                  "Units: capacitance in %g F, times in %g s (with resistance in ohms); required time %s at every sink.",
                  o.cap_unit, time_unit, figure(o.required ? *o.required : 0.0).c_str());
    header.push_back(units);
  }
  if (o.verbose)
    std::fprintf(stderr, "%s: %zu sinks, %zu nodes, wire length %s, longest path %s; tree and net built in %.6f s of processor time\n", kProgram,
                 in.sinks.size(), net.nodes.size(), figure(net.wire_length).c_str(), figure(net.longest_path).c_str(), seconds);
  const std::string text = route::net_text(net, in, *r0, *c0, driver, driver_res, header);

  if (o.output == "-") {
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() || std::fflush(stdout) != 0)
      input_error(kProgram, 0, "cannot write the net to standard output");
  } else {
    FILE *f = std::fopen(o.output.c_str(), "wb");
    if (!f) input_error(kProgram, 0, "cannot create %s: %s", o.output.c_str(), std::strerror(errno));
    const bool written = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    if (std::fclose(f) != 0 || !written) {
      std::remove(o.output.c_str());  // never leave a truncated net behind
      input_error(kProgram, 0, "cannot write %s", o.output.c_str());
    }
  }
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  guard_standard_streams();
  RouteOptions o;
  try {
    if (!parse(argc, argv, o)) return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 1;
  } catch (const UsageError &e) {
    std::fflush(stdout);
    std::fprintf(stderr, "%s: %s\n%sTry '%s --help' for more information.\n", kProgram, e.reason.c_str(), kUsage, kProgram);
    return 1;
  }
  try {
    return run(o);
  } catch (const InputError &e) {
    return report_input_error(e);
  } catch (const std::bad_alloc &) {
    std::fprintf(stderr, "%s: out of memory\n", kProgram);
    return 1;
  }
}
