// bufins-route: from pins to a net. Reads a pin file, a public sink list or a
// routed tree, builds the routing tree (a rectilinear Steiner tree unless the
// input is routed already) and writes it as a net file that bufins reads,
// with candidate nodes where buffers may stand. A thin driver: the routing
// is the library's (bufins::route, include/bufins/route.h).
//
//   bufins-route [options] INPUT      (see --help)
//
// Exit status: 0 when the net is written; 1 for a usage error, an output that
// would replace an input, an unreadable or faulty input, or a failed write;
// 2 when the net would exceed the node limit of bufins (a pitch too fine for
// the net). The net is written to a temporary and put in place only when
// whole (output_file.h): a failed run leaves an earlier net of the same name
// as it was.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "cli.h"
#include "cmdline.h"
#include "def.h"
#include "io.h"
#include "bufins/route.h"
#include "output_file.h"
#include "route.h"
#include "run_reporting.h"

namespace {

constexpr double DEFAULT_CAP_UNIT = 1e-15;
constexpr double MAX_MAGNITUDE = 1e60;  // as the net reader accepts

// Keys of the options without a short form.
enum { DRIVER = 256, DRIVER_RES, REQUIRED, WIRE_RES, WIRE_CAP, CAP_UNIT, LOADS };

const cmdline::Program kProgram{
    "bufins-route",
    "INPUT",
    "Builds a routing tree over a driver and its sinks and writes it as a net file\n"
    "for bufins, with candidate nodes at every Steiner point, at the driver's child\n"
    "and in front of every sink. INPUT ('-' for standard input) is recognised by its\n"
    "content:\n"
    "  pin file     a net file with driver and sink lines (wire lines optional;\n"
    "               candidate and edge lines are ignored, with a warning)\n"
    "  sink list    a public clock-net sink list (NumPins, PerUnitResistance,\n"
    "               PerUnitCapacitance, Sink, Coordinate, Capacitive Load); sink\n"
    "               id k becomes node k+1\n"
    "  routed tree  a routed binary tree (\"tree0 section of move records) such as\n"
    "               r1.xg_B0, kept as routed: a wire longer than the distance\n"
    "               between its ends gets a detour node so that its length stays\n"
    "               the routed length (needs --loads)",
    {{'o', 'o', "output", "FILE",
      "write the net to FILE ('-' or none: standard output);\n"
      "it replaces FILE only once written whole"},
     {DRIVER, 0, "driver", "X,Y",
      "the driver's place (default: the input's, else the\n"
      "lower-left corner of the sinks' bounding box)"},
     {DRIVER_RES, 0, "driver-res", "R", "the driver's output resistance (default: the\ninput's, else 100)"},
     {REQUIRED, 0, "required", "T",
      "every sink's required arrival time, less its\n"
      "Downstream_Delay (default: the pin file's, else 0)"},
     {'a', 'a', "alpha", "A",
      "0 to 1: trade total wire length (0, the default:\n"
      "a short Steiner tree) for short paths from the\n"
      "driver (1: every sink as close to the driver as\n"
      "the tree's points allow), Prim-Dijkstra style"},
     {'p', 'p', "pitch", "L",
      "also a candidate node at most L apart along every\n"
      "wire (a physical spacing; bufins -m instead cuts\n"
      "every wire into M+1 equal pieces)"},
     {WIRE_RES, 0, "wire-res", "R", "wire resistance per unit length (default: the\ninput's)"},
     {WIRE_CAP, 0, "wire-cap", "C",
      "wire capacitance per unit length, in the net's\n"
      "capacitance unit (default: the input's)"},
     {CAP_UNIT, 0, "cap-unit", "F",
      "the net's capacitance unit in farads, for sink\n"
      "lists (default 1e-15: fF; with ohms, times are\n"
      "then in ps = 1000 x F seconds)"},
     {LOADS, 0, "loads", "SINKLIST",
      "the sink list a routed tree was built over: its\n"
      "sinks' loads and the wire constants"},
     {'q', 'q', "quiet", nullptr, "print no warnings about the input files"},
     {'v', 'v', "verbose", nullptr,
      "print the net's size, wire length, longest path\n"
      "and the processor time taken to build it on\n"
      "standard error"}},
    "Exit status: 0 when the net is written; 1 for a usage error, an output that\n"
    "would replace an input, an unreadable or faulty input (reported as \"file:line:\n"
    "what is wrong\") or a failed write (an earlier file of the output's name is then\n"
    "left as it was); 2 when the net would exceed the 1,600,000 nodes bufins reads\n"
    "(a pitch too fine)."};

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

using cmdline::number_in;

// A file name option's value; throws cmdline::UsageError when empty.
std::string file_name(const cmdline::Option &option) {
  if (option.value.empty()) throw cmdline::UsageError(option.name + " needs a file name");
  return option.value;
}

// The run the command line asks for; throws cmdline::UsageError.
RouteOptions read_request(const cmdline::Parsed &parsed) {
  RouteOptions r;
  for (const cmdline::Option &o : parsed.options) {
    switch (o.key) {
      case 'o':
        r.output = file_name(o);
        break;
      case DRIVER: {
        const size_t comma = o.value.find(',');
        if (comma == std::string::npos)
          throw cmdline::UsageError(o.name + ": '" + o.value + "' is not X,Y (two numbers)");
        const cmdline::Option x{o.key, o.name, o.value.substr(0, comma)}, y{o.key, o.name, o.value.substr(comma + 1)};
        r.driver = steiner::Point{number_in(x, -MAX_MAGNITUDE, MAX_MAGNITUDE), number_in(y, -MAX_MAGNITUDE, MAX_MAGNITUDE)};
        break;
      }
      case DRIVER_RES:
        r.driver_res = number_in(o, 0.0, MAX_MAGNITUDE);
        break;
      case REQUIRED:
        r.required = number_in(o, -MAX_MAGNITUDE, MAX_MAGNITUDE);
        break;
      case 'a':
        r.alpha = number_in(o, 0.0, 1.0);
        r.alpha_given = true;
        break;
      case 'p':
        r.pitch = number_in(o, 0.0, MAX_MAGNITUDE);
        if (r.pitch == 0.0) throw cmdline::UsageError(o.name + ": '" + o.value + "' is not a length above 0");
        break;
      case WIRE_RES:
        r.wire_res = number_in(o, 0.0, MAX_MAGNITUDE);
        break;
      case WIRE_CAP:
        r.wire_cap = number_in(o, 0.0, MAX_MAGNITUDE);
        break;
      case CAP_UNIT:
        r.cap_unit = number_in(o, 1e-30, 1.0);
        break;
      case LOADS:
        r.loads = file_name(o);
        break;
      case 'q':
        r.quiet = true;
        break;
      case 'v':
        r.verbose = true;
        break;
    }
  }
  const std::vector<std::string> &files = parsed.operands;
  if (files.empty()) throw cmdline::UsageError("no INPUT given");
  if (files.size() > 1) throw cmdline::UsageError("unexpected argument '" + files[1] + "'");
  r.input = files[0];
  cmdline::at_most_one_standard_input({r.input, r.loads});
  return r;
}

// The whole file, or throws InputError "bufins-route: cannot read NAME: why".
std::string slurp(const std::string &name) {
  cmdline::Stream f = cmdline::open_stream(name, "rb");
  if (!f) input_error(kProgram.name, 0, "cannot open %s: %s", name.c_str(), std::strerror(errno));
  std::string text;
  char buf[1 << 16];
  size_t got;
  while ((got = std::fread(buf, 1, sizeof buf, f.get())) > 0) text.append(buf, got);
  if (std::ferror(f.get()))
    input_error(kProgram.name, 0, "cannot read %s: %s", cmdline::display_name(name).c_str(), std::strerror(errno));
  return text;
}

// Routes the input through the library (bufins::route) and writes the net.
// Input errors leave as InputError, after the warnings before them; output
// failures as OutputError; main reports both.
int run(const RouteOptions &o) {
  WarningPrinter warnings(o.quiet, kProgram.name);
  bufins::RouteOptions ro;
  if (o.driver) {
    ro.driver_x = o.driver->x;
    ro.driver_y = o.driver->y;
  }
  ro.driver_resistance = o.driver_res;
  ro.required = o.required;
  ro.wire_resistance = o.wire_res;
  ro.wire_capacitance = o.wire_cap;
  if (o.alpha_given) ro.alpha = o.alpha;
  ro.pitch = o.pitch;
  ro.cap_unit = o.cap_unit;
  ro.program = kProgram.name;
  ro.source = cmdline::is_standard(o.input) ? "standard input" : "";
  ro.text = true;
  std::vector<std::string> lines;
  bufins::RoutedNet net;
  try {
    const std::string input = slurp(o.input);
    if (!o.loads.empty()) {
      ro.loads = slurp(o.loads);
      ro.loads_name = cmdline::display_name(o.loads);
    }
    net = bufins::route(input, cmdline::display_name(o.input), ro, &lines);
  } catch (const InputError &) {
    for (const std::string &line : lines) warnings.print(line);
    warnings.finish();
    throw;
  }
  for (const std::string &line : lines) warnings.print(line);
  warnings.finish();
  if (o.verbose)
    std::fprintf(stderr, "%s: %zu sinks, %zu nodes, wire length %s, longest path %s; tree and net built in %.6f s of processor time\n", kProgram.name,
                 net.sinks, net.nodes, route::figure(net.wire_length).c_str(), route::figure(net.longest_path).c_str(), net.seconds);
  const std::string &text = net.text;

  // Created only now, so that an input error leaves no file; the net replaces
  // an earlier file of its name only once it is written whole.
  OutputFile out(o.output);
  if (std::fwrite(text.data(), 1, text.size(), out.stream()) != text.size())
    throw OutputError(OutputError::CANNOT_WRITE, o.output, errno);  // `out` removes its temporary
  out.commit();
  return 0;
}

// "bufins-route: cannot write NAME: why" for an output that failed.
void report_output_error(const OutputError &e) {
  const std::string name =
      cmdline::is_standard(e.name) ? std::string("the net to standard output") : e.name;
  std::fflush(stdout);
  std::fprintf(stderr, "%s: cannot %s %s%s%s\n", kProgram.name, e.kind == OutputError::CANNOT_CREATE ? "create" : "write",
               name.c_str(), e.error ? ": " : "", e.error ? std::strerror(e.error) : "");
}

}  // namespace

int main(int argc, char **argv) {
  guard_standard_streams();
  RouteOptions request;
  if (const auto status = cmdline::parse_request(kProgram, BUFINS_VERSION, argc, argv, read_request, &request))
    return *status;

  // Before anything is read: a net that would replace an input.
  const std::string replaced =
      replaced_file({{request.input, "input file"}, {request.loads, "sink list"}}, {{request.output, "net file"}});
  if (!replaced.empty()) {
    std::fflush(stdout);
    std::fprintf(stderr, "%s: %s; choose another name with --output\n", kProgram.name, replaced.c_str());
    return 1;
  }

  return cmdline::run_reporting(kProgram.name, [&] { return run(request); }, report_output_error);
}
