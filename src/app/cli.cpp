// The driver's command line, help and version texts, the net reading step,
// and the progress line (the JSON run report is json_report.cpp's).
//
// The options -a and -m answer the two prompts: an answered prompt is neither
// printed nor read, so scripts get the report lines on lines of their own.
#include "cli.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <cctype>
#include <cmath>
#include <cerrno>
#include <cmath>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "cmdline.h"
#include "io.h"
#include "wire_segment.h"

#ifndef BUFINS_VERSION
#error "BUFINS_VERSION must be defined by the build (the CMake project version)"
#endif

namespace {

// The usage line every version of the tool has printed, kept as it was (a
// usage error prints it; --help prints the generated line with every option).
const char *const kUsageLine = "Usage: %s -f netfile -b libraryfile [-d] [-t] [-o]\n";

enum Key { KEY_OUT = 300, KEY_MIN_COST, KEY_TARGET, KEY_BUDGET, KEY_WITHIN, KEY_FRONTIER, KEY_MAX_CAP, KEY_MAX_SLEW,
           KEY_MAX_MEMORY, KEY_COST_TOLERANCE };

const char *const kSummary =
    "Inserts buffers into one net so that the slack at the driver is as large as\n"
    "possible under the Elmore delay model.";

const char *const kEpilogue =
    "Prompts on standard output, answered on standard input unless -a or -m\n"
    "answers them:\n"
    "  Van Ginneken (1) or FBI ( Fast Buffer Insertion) (2)? \n"
    "  Wire Segmenting coef (0 means no segmenting:) \n"
    "The first answer may also be a name: list, fast or flat.\n"
    "\n"
    "A FILE given as '-' is standard input (for -f or -b, one of them; the prompts\n"
    "must then be answered with -a and -m, and a net on standard input needs\n"
    "--out) or, for -j and --frontier, standard output (the report lines then go\n"
    "to standard error).\n"
    "\n"
    "Output files: NAME.finalnet (the net as used, segment nodes included) and\n"
    "NAME.buf (the buffer placements), NAME being the net file name up to its last\n"
    "'.' (the whole name when it has none); with --out, BASE.finalnet and BASE.buf.\n"
    "The JSON report only with -j.\n"
    "\n"
    "Warnings (lines of the input files that are not read but look as if they were\n"
    "meant to be, a missing wire constant, an empty library, values whose size\n"
    "suggests a unit mistake) go to standard error; -q silences them.\n"
    "\n"
    "Electrical limits (--max-cap, --max-slew, max_cap= fields of the library and\n"
    "the driver line) are met by the flat algorithm, which the two options select;\n"
    "-a list or fast with them is a usage error. A stage is a gate with the wires\n"
    "it drives down to the next buffers and the sinks; its slew at an end point is\n"
    "ln 9 x (gate resistance x stage load + Elmore delay of the wires on the way).\n"
    "\n"
    "Exit status: 0 for a normal run; 1 for a usage error, a file that cannot be\n"
    "opened or created, an output that would replace an input or another output,\n"
    "an error in the input files or answers, a failed write, or a flat run stopped\n"
    "by --max-memory; 2 when --target or --budget cannot be met (the outputs of\n"
    "the maximum slack at its least cost are written) or no buffer assignment\n"
    "meets the limits (nothing is written).\n"
    "Outputs are put in place only when the whole run has succeeded: a failed or\n"
    "interrupted run leaves files of earlier runs as they were.";

const cmdline::Program &program_table() {
  static const cmdline::Program table{
      "bufins",
      "",
      kSummary,
      {
          {'f', 'f', "net", "FILE", "the net to read (required)"},
          {'b', 'b', "library", "FILE", "the buffer library (required)"},
          {'a', 'a', "algorithm", "ALG",
           "answer the first prompt: an integer (1 list, any other fast), or list, fast, flat"},
          {'m', 'm', "segments", "M", "answer the coefficient prompt: M >= 0 new nodes on every wire (0: none)"},
          {'o', 'o', "list", nullptr, "list the candidates at the driver's child, the node count and four memory lines"},
          {'t', 't', "timing", nullptr, "print the peak memory figure and the algorithm's user CPU time"},
          {'d', 'd', "debug", nullptr, "list the routing tree after reading and print the algorithms' debug listings"},
          {'j', 'j', "json", "FILE", "write a JSON report of the run to FILE ('-': standard output)"},
          {KEY_OUT, 0, "out", "BASE", "write BASE.finalnet and BASE.buf instead of names derived from the net file"},
          {'q', 'q', "quiet", nullptr, "print no warnings about the input files"},
          {KEY_MIN_COST, 0, "min-cost", nullptr, "the maximum slack at the least cost (cost: the sum of the buffers' area=)"},
          {KEY_TARGET, 0, "target", "S", "the least cost whose slack is at least S (exit status 2 when none is)"},
          {KEY_BUDGET, 0, "budget", "W", "the best slack of cost at most W (decimals beyond the areas' are dropped)"},
          {KEY_WITHIN, 0, "within", "D[%]",
           "the least cost whose slack is within D of the best slack (with %: P percent of |best slack|)"},
          {KEY_FRONTIER, 0, "frontier", "FILE",
           "write the slack-cost frontier as CSV (cost,buffers,slack) to FILE ('-': standard output);\n"
           "alone it means --min-cost; the cost options select -a flat"},
          {KEY_COST_TOLERANCE, 0, "cost-tolerance", "E",
           "with a cost option: areas rounded so that the work no longer grows with their\n"
           "scale; every cost is at most (1 + E) times the least at its slack (E: 0.01 or 1%)"},
          {KEY_MAX_CAP, 0, "max-cap", "V",
           "no gate without a max_cap of its own drives a load above V (files' capacitance unit)"},
          {KEY_MAX_SLEW, 0, "max-slew", "S", "no stage has a slew above S at any of its end points"},
          {KEY_MAX_MEMORY, 0, "max-memory", "MIB",
           "stop a flat run whose candidates come to hold more than MIB MiB (default:\n"
           "three quarters of the machine's memory; 0: no limit); exit status 1"},
      },
      kEpilogue};
  return table;
}

// An integer as the prompts read it (optional sign, digits), but the whole
// text must be one. Sets *out_of_range when it does not fit an int.
bool parse_integer(const char *text, int *value, bool *out_of_range) {
  const char *p = text;
  if (*p == '+' || *p == '-') p++;
  if (!std::isdigit(static_cast<unsigned char>(*p))) return false;
  for (const char *q = p; *q; q++)
    if (!std::isdigit(static_cast<unsigned char>(*q))) return false;
  errno = 0;
  long v = std::strtol(text, nullptr, 10);
  *out_of_range = errno == ERANGE || v < INT_MIN || v > INT_MAX;
  if (!*out_of_range) *value = static_cast<int>(v);
  return true;
}

Engine parse_engine(const cmdline::Option &option) {
  const char *text = option.value.c_str();
  if (std::strcmp(text, "list") == 0) return ENGINE_LIST;
  if (std::strcmp(text, "fast") == 0) return ENGINE_FAST;
  if (std::strcmp(text, "flat") == 0) return ENGINE_FLAT;
  int value = 0;
  bool out_of_range = false;
  if (!parse_integer(text, &value, &out_of_range))
    throw cmdline::UsageError(option.name + ": '" + option.value + "' is not an algorithm (an integer, list, fast or flat)");
  // As at the prompt: 1 is the list algorithm, every other integer the fast one.
  return !out_of_range && value == 1 ? ENGINE_LIST : ENGINE_FAST;
}

// A finite number, the whole text.
bool parse_number(const char *text, double *value) {
  char *end = nullptr;
  errno = 0;
  *value = std::strtod(text, &end);
  return end != text && *end == '\0' && errno != ERANGE && std::isfinite(*value);
}

CostGoal parse_cost_option(const cmdline::Option &option) {
  const char *text = option.value.c_str();
  auto bad = [&](const char *what) {
    throw cmdline::UsageError(option.name + ": '" + option.value + "' is not " + what);
  };
  CostGoal g;
  double v = 0.0;
  switch (option.key) {
    case KEY_TARGET:
      g.kind = CostObjective::TARGET;
      if (!parse_number(text, &g.slack)) bad("a slack (a finite number)");
      break;
    case KEY_BUDGET: {
      g.kind = CostObjective::BUDGET;
      // Checked here, turned into the library's units of cost once it is read
      // (budget_in_units): here in whole units.
      if (!bufins::cost_units(option.value, 0, &g.budget)) bad("a cost (a number from 0 up, such as 12 or 16.26)");
      break;
    }
    case KEY_WITHIN: {
      std::string t = text;
      const bool percent = !t.empty() && t.back() == '%';
      if (percent) t.pop_back();
      g.kind = percent ? CostObjective::WITHIN_PERCENT : CostObjective::WITHIN;
      if (t.empty() || t.front() == '-' || !parse_number(t.c_str(), &v) || v < 0)
        bad("a distance from the best slack (D or P%, from 0 up)");
      g.slack = v;
      break;
    }
    default:
      g.kind = CostObjective::MIN_COST;
  }
  return g;
}

// A limit: a number from 0 to 1e60, the range the files' max_cap fields take.
double parse_limit(const cmdline::Option &option) {
  const double v = cmdline::real_value(option);
  if (v < 0.0) throw cmdline::UsageError(option.name + ": '" + option.value + "' is not a limit (a number >= 0)");
  if (v > 1e60)
    throw cmdline::UsageError(option.name + ": '" + option.value + "' exceeds 1e+60, the largest magnitude read");
  return v;
}

}  // namespace

double tolerance_option_value(const cmdline::Option &option) {
  std::string t = option.value;
  const bool percent = !t.empty() && t.back() == '%';
  if (percent) t.pop_back();
  double v = 0.0;
  if (t.empty() || !parse_number(t.c_str(), &v) || v < 0.0 || (percent ? v > 100.0 : v > 1.0))
    throw cmdline::UsageError(option.name + ": '" + option.value +
                              "' is not a tolerance (a fraction from 0 to 1 such as 0.01, or a percentage such as 1%)");
  return percent ? v / 100.0 : v;
}

void guard_standard_streams() {
  for (int fd = 0; fd <= 2; fd++) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // open() takes the lowest free descriptor, which is fd since the lower
    // ones are open by now. Standard output gets a read-only stand-in on
    // purpose: writing the report must fail, not vanish.
    int got = open("/dev/null", fd == 2 ? O_WRONLY : O_RDONLY);
    if (got != fd && got != -1) close(got);
  }
}

File open_file(const char *name, const char *mode) {
  File f = cmdline::open_stream(name, mode);
  if (!f) {
    const std::string why = std::strerror(errno);
    throw InputError(name, 0, "cannot be opened: " + why, std::string("Cannot open file: ") + name + ": " + why);
  }
  return f;
}

Options parse_command_line(int argc, char **argv) {
  const cmdline::Program &table = program_table();
  cmdline::Parsed parsed = cmdline::parse(table, argc, argv);
  Options o;
  if (parsed.action == cmdline::Parsed::HELP) {
    o.action = ACTION_HELP;
    return o;
  }
  if (parsed.action == cmdline::Parsed::VERSION) {
    o.action = ACTION_VERSION;
    return o;
  }
  // Fewer than three arguments was always a usage error with nothing opened.
  if (argc < 4) throw cmdline::UsageError("the net (-f FILE) and the library (-b FILE) are required");
  if (!parsed.operands.empty()) throw cmdline::UsageError("unexpected argument '" + parsed.operands[0] + "'");
  // Checked before any file is opened: what standard input may stand for.
  std::vector<std::string> inputs;
  bool answered_engine = false, answered_segments = false;
  for (const cmdline::Option &opt : parsed.options) {
    if (opt.key == 'f' || opt.key == 'b') inputs.push_back(opt.value);
    answered_engine |= opt.key == 'a';
    answered_segments |= opt.key == 'm';
  }
  cmdline::at_most_one_standard_input(inputs);
  for (const cmdline::Option &opt : parsed.options)
    if (opt.key == 'f' || opt.key == 'b') {
      if (opt.value.empty()) throw cmdline::UsageError(opt.name + " needs a file name");
      if (cmdline::is_standard(opt.value) && !(answered_engine && answered_segments))
        throw cmdline::UsageError("standard input holds the " + std::string(opt.key == 'f' ? "net" : "library") +
                                  ": answer the prompts with -a and -m");
    }
  // Files are opened in command-line order, so the first name that cannot be
  // opened is the one reported.
  int cost_key = 0;  // the cost objective given, to refuse a second one
  std::string cost_name;
  for (const cmdline::Option &opt : parsed.options) {
    switch (opt.key) {
      case 'f':
        o.net = open_file(opt.value.c_str(), "r");
        o.netname = opt.value;
        break;
      case 'b':
        o.lib = open_file(opt.value.c_str(), "r");
        o.libname = opt.value;
        break;
      case 't':
        o.timing = 1;
        break;
      case 'o':
        o.output = 1;
        break;
      case 'd':
        debug = 1;
        break;
      case 'q':
        o.quiet = true;
        break;
      case 'a':
        o.engine = parse_engine(opt);
        break;
      case 'm':
        o.segments = static_cast<int>(cmdline::integer_value(opt, 0, INT_MAX));
        break;
      case 'j':
        if (opt.value.empty()) throw cmdline::UsageError(opt.name + " needs a file name");
        o.json = opt.value;
        break;
      case KEY_OUT:
        if (opt.value.empty()) throw cmdline::UsageError(opt.name + " needs a base name");
        o.out_base = opt.value;
        break;
      case KEY_MIN_COST:
      case KEY_TARGET:
      case KEY_BUDGET:
      case KEY_WITHIN:
        if (o.cost.kind != CostObjective::NONE && cost_key != opt.key)
          throw cmdline::UsageError(cost_name + " and " + opt.name + " ask for different solutions; give one of them");
        cost_key = opt.key;
        cost_name = opt.name;
        o.cost = parse_cost_option(opt);
        o.budget = opt.value;
        break;
      case KEY_FRONTIER:
        if (opt.value.empty()) throw cmdline::UsageError(opt.name + " needs a file name");
        o.frontier_csv = opt.value;
        break;
      case KEY_MAX_CAP:
        o.limits.max_cap = parse_limit(opt) / 1000.0;
        break;
      case KEY_MAX_SLEW:
        o.limits.max_slew = parse_limit(opt);
        break;
      case KEY_COST_TOLERANCE:
        o.cost_tolerance = tolerance_option_value(opt);
        break;
      case KEY_MAX_MEMORY:
        o.max_memory_mib = cmdline::integer_value(opt, 0, 1L << 40);
        break;
      default:
        break;
    }
  }
  if (!o.net) throw cmdline::UsageError("the net (-f FILE) is required");
  if (!o.lib) throw cmdline::UsageError("the library (-b FILE) is required");
  if (cmdline::is_standard(o.netname) && o.out_base.empty())
    throw cmdline::UsageError("the net comes from standard input: name the output files with --out=BASE");
  // The limits are met by the flat engine alone: they select it, and the
  // other two refuse them.
  if (o.limits.max_cap < NO_LIMIT || o.limits.max_slew < NO_LIMIT) {
    if (o.engine == ENGINE_ASK) o.engine = ENGINE_FLAT;
    if (o.engine != ENGINE_FLAT)
      throw cmdline::UsageError(std::string("--max-cap and --max-slew need the flat algorithm (-a flat); the ") +
                                engine_name(o.engine) + " algorithm knows no limits");
  }
  // The cost options are the flat engine's: they select it, and refuse the others.
  if (o.cost.kind == CostObjective::NONE && !o.frontier_csv.empty()) o.cost.kind = CostObjective::MIN_COST;
  if (o.cost.kind != CostObjective::NONE) {
    if (o.engine == ENGINE_ASK) o.engine = ENGINE_FLAT;
    if (o.engine != ENGINE_FLAT)
      throw cmdline::UsageError("the cost options (--min-cost, --target, --budget, --within, --frontier) need -a flat");
  }
  if (o.cost_tolerance > 0.0 && o.cost.kind == CostObjective::NONE)
    throw cmdline::UsageError(
        "--cost-tolerance needs a cost option (--min-cost, --target, --budget, --within, --frontier)");
  return o;
}

int print_help() {
  return cmdline::print_help(program_table());
}

int print_version() { return cmdline::print_version(program_table(), BUFINS_VERSION); }

int print_usage_error(const char *invoked_as, const std::string &reason) {
  std::fflush(stdout);
  std::fprintf(stderr, kUsageLine, invoked_as);
  std::fprintf(stderr, "bufins: %s\nTry 'bufins --help' for more information.\n", reason.c_str());
  return 1;
}

Engine ask_engine() {
  std::printf("Van Ginneken (1) or FBI ( Fast Buffer Insertion) (2)? ");
  // Any answer but the integer 1, none or one too large for an int included,
  // selects the fast algorithm; so does any word but the three names. An
  // integer leaves the rest of its line to the next prompt, as "%d" would; a
  // word takes its whole line, so the next answer is read from the next one.
  int choice = 0;
  const AnswerKind got = read_answer(&choice);
  if (got == ANSWER_INT) return choice == 1 ? ENGINE_LIST : ENGINE_FAST;
  if (got == ANSWER_OUT_OF_RANGE) return ENGINE_FAST;
  std::string line;
  int ch;
  while ((ch = std::getchar()) != EOF && ch != '\n') line.push_back(static_cast<char>(ch));
  size_t b = line.find_first_not_of(" \t\r\f\v");
  size_t e = line.find_last_not_of(" \t\r\f\v");
  const std::string word = b == std::string::npos ? "" : line.substr(b, e - b + 1);
  if (word == "list") return ENGINE_LIST;
  if (word == "flat") return ENGINE_FLAT;
  return ENGINE_FAST;
}

const char *engine_name(Engine engine) {
  switch (engine) {
    case ENGINE_LIST:
      return "list";
    case ENGINE_FAST:
      return "fast";
    case ENGINE_FLAT:
      return "flat";
    case ENGINE_ASK:
      break;
  }
  return "";
}

std::vector<std::string> library_names(FILE *lib) {
  std::vector<std::string> names;
  if (std::fseek(lib, 0, SEEK_SET) != 0) return names;
  std::clearerr(lib);
  // The library reader's rule: a line whose first characters are "buff" is a
  // buffer line; its first word is the name.
  std::string line;
  auto take = [&]() {
    if (line.compare(0, 4, "buff") == 0) {
      size_t end = 0;
      while (end < line.size() && !std::isspace(static_cast<unsigned char>(line[end]))) end++;
      names.push_back(line.substr(0, end));
    }
    line.clear();
  };
  int ch;
  // The reader skips a byte-order mark before the first line; so does this.
  const unsigned char mark[] = {0xEF, 0xBB, 0xBF};
  size_t marked = 0;
  while (marked < 3 && (ch = std::getc(lib)) == mark[marked]) marked++;
  if (marked < 3) {
    line.assign(reinterpret_cast<const char *>(mark), marked);
    if (ch != EOF) std::ungetc(ch, lib);
  }
  while ((ch = std::getc(lib)) != EOF) {
    if (ch == '\n')
      take();
    else
      line.push_back(static_cast<char>(ch));
  }
  take();
  if (std::ferror(lib) || names.size() != static_cast<size_t>(n_buffertype)) names.clear();
  return names;
}

double process_cpu_seconds() {
  timespec t;
  if (clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t) != 0) return 0.0;
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

void WarningPrinter::print(const std::string &text) {
  if (quiet_) return;
  if (shown_ >= 100) {
    if (hidden_++ == 0) {
      // Said at once: an input error may end the run before finish().
      std::fflush(stdout);
      std::fprintf(stderr, "%s: more than 100 warnings: the rest are counted, not shown (-q silences all)\n",
                   program_);
    }
    return;
  }
  shown_++;
  std::fflush(stdout);
  std::fprintf(stderr, "%s\n", text.c_str());
}

void WarningPrinter::finish() {
  if (hidden_ == 0) return;
  std::fflush(stdout);
  std::fprintf(stderr, "%s: %ld more warnings not shown\n", program_, hidden_);
  hidden_ = 0;
}

// ---- Progress line ----

namespace {

constexpr long long kProgressStride = 64;  // wires between two looks at the clock
long long progress_total = 1;
timespec progress_began;
int progress_shown = -1;
long long levels_shown = 0;

double seconds_since(const timespec &t) {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec - t.tv_sec) + static_cast<double>(now.tv_nsec - t.tv_nsec) * 1e-9;
}

void progress_line() {
  progress_next = progress_count + kProgressStride;
  if (seconds_since(progress_began) < 1.0) return;
  long long share = progress_count * 100 / progress_total;
  int percent = static_cast<int>(share > 100 ? 100 : share);
  if (percent == progress_shown && progress_levels == levels_shown) return;
  // A frontier run also shows its cost levels, which its work grows with.
  if (progress_levels > 0)
    std::fprintf(stderr, "\rbufins: %3d%% of the net done, %lld cost levels", percent, progress_levels);
  else
    std::fprintf(stderr, "\rbufins: %3d%% of the net done", percent);
  progress_shown = percent;
  levels_shown = progress_levels;
}

}  // namespace

void progress_start_wires(long long wires) {
  progress_report = progress_line;
  progress_count = 0;
  progress_levels = levels_shown = 0;
  progress_next = LLONG_MAX;
  progress_shown = -1;
  if (!isatty(STDERR_FILENO)) return;
  progress_total = wires > 0 ? wires : 1;
  clock_gettime(CLOCK_MONOTONIC, &progress_began);
  progress_next = kProgressStride;
}

void progress_start(Node *root) {
  if (!isatty(STDERR_FILENO)) {
    progress_start_wires(0);
    return;
  }
  long long wires = 0;
  std::vector<Node *> stack{root};
  while (!stack.empty()) {
    Node *n = stack.back();
    stack.pop_back();
    for (Node *c : {n->left, n->right})
      if (c != nullptr) {
        wires++;
        stack.push_back(c);
      }
  }
  progress_start_wires(wires);
}

void progress_stop() {
  progress_next = LLONG_MAX;
  if (progress_shown >= 0) std::fprintf(stderr, "\r%60s\r", "");
  progress_shown = -1;
}

long long budget_in_units(const std::string &budget, int area_decimals) {
  long long units = 0;
  bufins::cost_units(budget, area_decimals, &units);
  return units;
}

CostGoal cost_option_value(const cmdline::Option &option, const std::string &which) {
  cmdline::Option o = option;
  o.key = which == "target" ? KEY_TARGET : which == "budget" ? KEY_BUDGET : which == "within" ? KEY_WITHIN : KEY_MIN_COST;
  return parse_cost_option(o);
}

double limit_option_value(const cmdline::Option &option) { return parse_limit(option); }
