// bufins-batch: many nets, one library, one set of options, every core. The
// command line (the shared option table of cmdline.h) and the exit status;
// the run itself is batch.h's.
//
// Exit status: 0 every net succeeded; 2 some net was infeasible or missed
// its goal; 1 some net could not be read, routed or written, a usage error,
// a library that cannot be read, a summary that cannot be written. Killed by
// the signal after a clean stop on SIGINT, SIGTERM or SIGHUP.
#include <signal.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <thread>

#include "batch.h"
#include "cli.h"
#include "cmdline.h"
#include "io.h"
#include "output_file.h"

namespace {

enum Key {
  KEY_MIN_COST = 300, KEY_TARGET, KEY_BUDGET, KEY_WITHIN, KEY_MAX_CAP, KEY_MAX_SLEW, KEY_COST_TOLERANCE, KEY_NETS, KEY_SUMMARY,
  KEY_OUT_DIR, KEY_FINAL_NETS, KEY_ROUTE, KEY_ALPHA, KEY_PITCH, KEY_DRIVER, KEY_DRIVER_RES, KEY_REQUIRED
};

const cmdline::Program kProgram{
    "bufins-batch",
    "INPUT...",
    "Inserts buffers into many nets with one library and one set of options, on every\n"
    "core, and prints one JSON line per net in input order. An INPUT is a net file, a\n"
    "folder (its *.net files, sorted by name) or a multi-net file (nets each behind a\n"
    "line 'net NAME'); --nets=FILE adds the files named in FILE, one a line.",
    {
        {'b', 'b', "library", "FILE", "the buffer library (required)"},
        {'m', 'm', "segments", "M", "M >= 0 new candidate nodes on every wire, as bufins -m (default 0)"},
        {KEY_MIN_COST, 0, "min-cost", nullptr, "the maximum slack at the least cost (cost: the sum of the buffers' area=)"},
        {KEY_TARGET, 0, "target", "S", "the least cost whose slack is at least S (status unmet when none is)"},
        {KEY_BUDGET, 0, "budget", "W", "the best slack of cost at most W (status unmet when none is)"},
        {KEY_WITHIN, 0, "within", "D", "the least cost within D time units (or D% with a '%') of the best slack"},
        {KEY_COST_TOLERANCE, 0, "cost-tolerance", "E", "with a cost option: areas rounded, every cost within (1 + E) of the least"},
        {KEY_MAX_CAP, 0, "max-cap", "V", "no gate without a max_cap= of its own drives a load above V"},
        {KEY_MAX_SLEW, 0, "max-slew", "S", "no stage has a slew above S at any end point"},
        {'J', 'J', "jobs", "N", "worker threads (default: the machine's cores)"},
        {KEY_NETS, 0, "nets", "FILE", "also the net files named in FILE, one a line ('-': standard input)"},
        {KEY_SUMMARY, 0, "summary", "FILE", "write the JSON lines to FILE instead of standard output"},
        {KEY_OUT_DIR, 0, "out-dir", "DIR", "write each net's placement file DIR/NAME.buf (DIR is made if missing)"},
        {KEY_FINAL_NETS, 0, "final-nets", nullptr, "with --out-dir, also each net's final net DIR/NAME.finalnet"},
        {KEY_ROUTE, 0, "route", nullptr,
         "route pin files and public sink lists (inputs without edge lines) as\nbufins-route does before buffering"},
        {KEY_ALPHA, 0, "alpha", "A", "with --route: bufins-route's --alpha (0 to 1, default 0)"},
        {KEY_PITCH, 0, "pitch", "L", "with --route: bufins-route's --pitch"},
        {KEY_DRIVER, 0, "driver", "X,Y", "with --route: bufins-route's --driver"},
        {KEY_DRIVER_RES, 0, "driver-res", "R", "with --route: bufins-route's --driver-res"},
        {KEY_REQUIRED, 0, "required", "T", "with --route: bufins-route's --required"},
        {'q', 'q', "quiet", nullptr, "print no warnings and no progress bar"},
    },
    "Each summary line is a JSON object: net (the file name, or NAME of a multi-net\n"
    "file), slack, buffers, cost (the sum of the placed buffers' areas), feasible,\n"
    "status (ok, unmet, infeasible or error) and error (the message bufins would print,\n"
    "or null). The values are those of a bufins -a flat run of the net with the same\n"
    "options. A net that fails does not stop the others.\n"
    "\n"
    "Exit status: 0 when every net succeeded; 2 when some net was infeasible or missed\n"
    "its --target or --budget (and none failed); 1 when some net could not be read,\n"
    "routed or written, for a usage error, or a library or summary that cannot be read\n"
    "or written. Outputs are written whole or not at all. SIGINT, SIGTERM and SIGHUP\n"
    "stop the run cleanly: the nets under way finish, their summary lines are kept,\n"
    "no temporary file is left, and the program ends by the signal."};

constexpr double kMaxMagnitude = 1e60;  // as bufins-route accepts

using cmdline::number_in;

batch::RunOptions read_options(const cmdline::Parsed &parsed) {
  batch::RunOptions o;
  const unsigned cores = std::thread::hardware_concurrency();
  o.jobs = cores == 0 ? 1 : static_cast<int>(cores > 256 ? 256 : cores);
  int cost_key = 0;
  std::string cost_name, route_option;
  for (const cmdline::Option &opt : parsed.options) {
    auto file_name = [&]() {
      if (opt.value.empty()) throw cmdline::UsageError(opt.name + " needs a file name");
      return opt.value;
    };
    switch (opt.key) {
      case 'b':
        o.library = file_name();
        break;
      case 'm':
        o.request.segments = static_cast<int>(cmdline::integer_value(opt, 0, INT_MAX));
        break;
      case KEY_MIN_COST:
      case KEY_TARGET:
      case KEY_BUDGET:
      case KEY_WITHIN: {
        if (o.request.cost.kind != CostObjective::NONE && cost_key != opt.key)
          throw cmdline::UsageError(cost_name + " and " + opt.name + " ask for different solutions; give one of them");
        cost_key = opt.key;
        cost_name = opt.name;
        const char *which = opt.key == KEY_TARGET ? "target" : opt.key == KEY_BUDGET ? "budget"
                            : opt.key == KEY_WITHIN ? "within" : "min-cost";
        o.request.cost = cost_option_value(opt, which);
        o.request.budget = opt.value;
        break;
      }
      case KEY_MAX_CAP:
        o.request.limits.max_cap = limit_option_value(opt) / 1000.0;
        break;
      case KEY_MAX_SLEW:
        o.request.limits.max_slew = limit_option_value(opt);
        break;
      case KEY_COST_TOLERANCE:
        o.request.cost_tolerance = tolerance_option_value(opt);
        break;
      case 'J':
        o.jobs = static_cast<int>(cmdline::integer_value(opt, 1, 256));
        break;
      case KEY_NETS:
        o.lists.push_back(file_name());
        break;
      case KEY_SUMMARY:
        o.summary = file_name();
        break;
      case KEY_OUT_DIR:
        if (opt.value.empty()) throw cmdline::UsageError(opt.name + " needs a folder name");
        o.out_dir = opt.value;
        break;
      case KEY_FINAL_NETS:
        o.final_nets = true;
        break;
      case KEY_ROUTE:
        o.route = true;
        break;
      case KEY_ALPHA:
        o.routing.alpha = number_in(opt, 0.0, 1.0);
        o.routing.alpha_given = true;
        route_option = opt.name;
        break;
      case KEY_PITCH:
        o.routing.pitch = number_in(opt, 0.0, kMaxMagnitude);
        if (o.routing.pitch == 0.0) throw cmdline::UsageError(opt.name + ": '" + opt.value + "' is not a length above 0");
        route_option = opt.name;
        break;
      case KEY_DRIVER: {
        const size_t comma = opt.value.find(',');
        if (comma == std::string::npos)
          throw cmdline::UsageError(opt.name + ": '" + opt.value + "' is not X,Y (two numbers)");
        const cmdline::Option x{opt.key, opt.name, opt.value.substr(0, comma)},
            y{opt.key, opt.name, opt.value.substr(comma + 1)};
        o.routing.driver = steiner::Point{number_in(x, -kMaxMagnitude, kMaxMagnitude),
                                          number_in(y, -kMaxMagnitude, kMaxMagnitude)};
        route_option = opt.name;
        break;
      }
      case KEY_DRIVER_RES:
        o.routing.driver_res = number_in(opt, 0.0, kMaxMagnitude);
        route_option = opt.name;
        break;
      case KEY_REQUIRED:
        o.routing.required = number_in(opt, -kMaxMagnitude, kMaxMagnitude);
        route_option = opt.name;
        break;
      case 'q':
        o.quiet = true;
        break;
      default:
        break;
    }
  }
  o.inputs = parsed.operands;
  o.request.placement = !o.out_dir.empty();
  o.request.final_net = o.final_nets;
  if (o.library.empty()) throw cmdline::UsageError("the library (-b FILE) is required");
  if (o.inputs.empty() && o.lists.empty()) throw cmdline::UsageError("no INPUT given (net files, folders or --nets=FILE)");
  if (o.final_nets && o.out_dir.empty()) throw cmdline::UsageError("--final-nets needs --out-dir=DIR");
  if (o.request.cost_tolerance > 0.0 && o.request.cost.kind == CostObjective::NONE)
    throw cmdline::UsageError("--cost-tolerance needs a cost option (--min-cost, --target, --budget, --within)");
  if (!o.route && !route_option.empty()) throw cmdline::UsageError(route_option + " applies to routing: add --route");
  for (const std::string &in : o.inputs)
    if (in.empty()) throw cmdline::UsageError("an empty INPUT name");
  std::vector<std::string> inputs{o.library};
  inputs.insert(inputs.end(), o.inputs.begin(), o.inputs.end());
  inputs.insert(inputs.end(), o.lists.begin(), o.lists.end());
  cmdline::at_most_one_standard_input(inputs);
  const std::string replaced = replaced_file({{o.library, "library file"}}, {{o.summary, "summary"}});
  if (!replaced.empty()) throw cmdline::UsageError(replaced + "; choose another name with --summary");
  o.progress = isatty(STDERR_FILENO) == 1;
  return o;
}

}  // namespace

int main(int argc, char **argv) {
  guard_standard_streams();
  batch::RunOptions options;
  if (const auto status = cmdline::parse_request(kProgram, BUFINS_VERSION, argc, argv, read_options, &options))
    return *status;
  static char summary_buffer[1 << 16];
  std::setvbuf(stdout, summary_buffer, _IOFBF, sizeof summary_buffer);
  int status = 1, sig = 0;
  try {
    status = batch::run(options, &sig);
  } catch (const InputError &e) {
    status = report_input_error(e);
  } catch (const OutputError &e) {
    std::fflush(stdout);
    std::fprintf(stderr, "%s: %s\n", kProgram.name, e.what());
    status = 1;
  } catch (const std::bad_alloc &) {
    std::fflush(stdout);
    std::fprintf(stderr, "%s: out of memory\n", kProgram.name);
    status = 1;
  }
  if (sig != 0) {
    // A clean stop: the summary is in place; end as the signal would have.
    std::fflush(stdout);
    signal(sig, SIG_DFL);
    sigset_t one;
    sigemptyset(&one);
    sigaddset(&one, sig);
    pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
    raise(sig);
  }
  return status;
}
