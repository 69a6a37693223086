// The driver's command line, help and version texts, the net reading step,
// the progress line and the JSON run report.
//
// The options -a and -m answer the two prompts: an answered prompt is neither
// printed nor read, so scripts get the report lines on lines of their own.
// The JSON report takes the winner's placements from the placement file the
// engine has just written (from the offset where the winner's lines start),
// so the two can never disagree whatever engine ran.
#include "cli.h"

#include <fcntl.h>
#include <getopt.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <cctype>
#include <cmath>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>
#include <unordered_map>

#include "io.h"
#include "wire_segment.h"

#ifndef BUFINS_VERSION
#error "BUFINS_VERSION must be defined by the build (the CMake project version)"
#endif

namespace {

const char *const kUsageLine = "Usage: %s -f netfile -b libraryfile [-d] [-t] [-o]\n";

[[noreturn]] void usage(const char *program) {
  std::fflush(stdout);
  std::fprintf(stderr, kUsageLine, program);
  std::exit(1);
}

[[noreturn]] void bad_value(const char *program, const char *format, const char *value) {
  std::fflush(stdout);
  std::fputs("bufins: ", stderr);
  std::fprintf(stderr, format, value);
  std::fputc('\n', stderr);
  usage(program);
}

void print_help(const char *program) {
  std::printf(kUsageLine, program);
  std::printf(
      "       %s -f netfile -b libraryfile [-a ALG] [-m M] [-j FILE] [--out=BASE] [-d] [-t] [-o]\n"
      "              [--min-cost | --target=S | --budget=W | --within=D[%%]] [--frontier=FILE]\n"
      "\n"
      "Inserts buffers into one net so that the slack at the driver is as large as possible\n"
      "under the Elmore delay model.\n"
      "\n"
      "Options:\n"
      "  -f FILE              the net to read (required)\n"
      "  -b FILE              the buffer library (required)\n"
      "  -a, --algorithm=ALG  answer the first prompt: an integer (1 list, any other fast), or list, fast, flat\n"
      "  -m, --segments=M     answer the coefficient prompt: M >= 0 new nodes on every wire (0: none)\n"
      "  -o                   list the candidates at the driver's child, the node count and four memory lines\n"
      "  -t                   print the peak memory figure and the algorithm's user CPU time\n"
      "  -d                   list the routing tree after reading and print the algorithms' debug listings\n"
      "  -j, --json=FILE      write a JSON report of the run to FILE\n"
      "      --out=BASE       write BASE.finalnet and BASE.buf instead of names derived from the net file\n"
      "      --min-cost       the maximum slack at the least cost (cost: the sum of the buffers' area=)\n"
      "      --target=S       the least cost whose slack is at least S (exit status 2 when none is)\n"
      "      --budget=W       the best slack of cost at most W (an integer)\n"
      "      --within=D       the least cost whose slack is within D of the best slack\n"
      "      --within=P%%      the same within P percent of |best slack|\n"
      "      --frontier=FILE  write the slack-cost frontier as CSV (cost,buffers,slack) to FILE\n"
      "                       (alone: as --min-cost); the cost options select -a flat\n"
      "  -h, --help           print this help and exit\n"
      "  -V, --version        print the name and version and exit\n"
      "\n"
      "Prompts on standard output, answered on standard input unless -a or -m answers them:\n"
      "  Van Ginneken (1) or FBI ( Fast Buffer Insertion) (2)? \n"
      "  Wire Segmenting coef (0 means no segmenting:) \n"
      "\n"
      "Output files: NAME.finalnet (the net as used, segment nodes included) and NAME.buf (the\n"
      "buffer placements), NAME being the net file name up to its last '.' (the whole name when\n"
      "it has none); with --out, BASE.finalnet and BASE.buf. The JSON report only with -j.\n"
      "\n"
      "Exit status: 0 for a normal run; 1 for a usage error, a file that cannot be opened or\n"
      "created, an error in the input files or answers, or a failed write (the run's output\n"
      "files are then removed); 2 when --target (or --budget) cannot be met (the outputs of\n"
      "the maximum slack at its least cost are written).\n",
      program);
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

Engine parse_engine(const char *program, const char *text) {
  if (std::strcmp(text, "list") == 0) return ENGINE_LIST;
  if (std::strcmp(text, "fast") == 0) return ENGINE_FAST;
  if (std::strcmp(text, "flat") == 0) return ENGINE_FLAT;
  int value = 0;
  bool out_of_range = false;
  if (!parse_integer(text, &value, &out_of_range))
    bad_value(program, "-a: '%s' is not an algorithm (an integer, list, fast or flat)", text);
  // As at the prompt: 1 is the list algorithm, every other integer the fast one.
  return !out_of_range && value == 1 ? ENGINE_LIST : ENGINE_FAST;
}

int parse_segments(const char *program, const char *text) {
  int value = 0;
  bool out_of_range = false;
  if (!parse_integer(text, &value, &out_of_range) || out_of_range || value < 0)
    bad_value(program, "-m: '%s' is not a wire-segmenting coefficient (an integer from 0 up)", text);
  return value;
}

// A finite number, the whole text.
bool parse_number(const char *text, double *value) {
  char *end = nullptr;
  errno = 0;
  *value = std::strtod(text, &end);
  return end != text && *end == '\0' && errno != ERANGE && std::isfinite(*value);
}

CostGoal parse_cost_option(const char *program, int opt, const char *text) {
  CostGoal g;
  double v = 0.0;
  switch (opt) {
    case 'T':
      g.kind = CostObjective::TARGET;
      if (!parse_number(text, &g.slack)) bad_value(program, "--target: '%s' is not a slack (a finite number)", text);
      break;
    case 'W': {
      g.kind = CostObjective::BUDGET;
      const char *p = text;
      bool digits = *p != '\0';
      for (; *p; p++) digits = digits && std::isdigit(static_cast<unsigned char>(*p));
      errno = 0;
      g.budget = digits ? std::strtoll(text, nullptr, 10) : -1;
      if (!digits || errno == ERANGE)
        bad_value(program, "--budget: '%s' is not a cost (an integer from 0 up)", text);
      break;
    }
    case 'I': {
      std::string t = text;
      const bool percent = !t.empty() && t.back() == '%';
      if (percent) t.pop_back();
      g.kind = percent ? CostObjective::WITHIN_PERCENT : CostObjective::WITHIN;
      if (t.empty() || t.front() == '-' || !parse_number(t.c_str(), &v) || v < 0)
        bad_value(program, "--within: '%s' is not a distance from the best slack (D or P%%, from 0 up)", text);
      g.slack = v;
      break;
    }
    default:
      g.kind = CostObjective::MIN_COST;
  }
  return g;
}

}  // namespace

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
  File f(std::fopen(name, mode), &std::fclose);
  if (!f) {
    std::fflush(stdout);
    std::fprintf(stderr, "Cannot open file: %s\n", name);
    std::exit(1);
  }
  return f;
}

Options parse_command_line(int argc, char **argv) {
  static const option long_options[] = {
      {"algorithm", required_argument, nullptr, 'a'},
      {"segments", required_argument, nullptr, 'm'},
      {"json", required_argument, nullptr, 'j'},
      {"out", required_argument, nullptr, 'O'},
      {"min-cost", no_argument, nullptr, 'C'},
      {"target", required_argument, nullptr, 'T'},
      {"budget", required_argument, nullptr, 'W'},
      {"within", required_argument, nullptr, 'I'},
      {"frontier", required_argument, nullptr, 'F'},
      {"help", no_argument, nullptr, 'h'},
      {"version", no_argument, nullptr, 'V'},
      {nullptr, 0, nullptr, 0},
  };
  const char *program = argv[0];
  // Fewer than three arguments is a usage error as it always was (no file
  // opened, no diagnostic but the usage line), unless it asks for the help
  // or the version: only those are looked at then.
  const bool only_help = argc < 4;
  opterr = only_help ? 0 : 1;
  Options o;
  const char *cost_option = nullptr;  // the cost objective given, to refuse a second one
  int opt;
  while ((opt = getopt_long(argc, argv, "f:b:toda:m:j:hV", long_options, nullptr)) != -1) {
    if (opt == 'h') {
      print_help(program);
      std::exit(std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 1);
    }
    if (opt == 'V') {
      std::printf("bufins %s\n", BUFINS_VERSION);
      std::exit(std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 1);
    }
    if (only_help) continue;
    switch (opt) {
      case 'f':
        o.net = open_file(optarg, "r");
        o.netname = optarg;
        break;
      case 'b':
        o.lib = open_file(optarg, "r");
        o.libname = optarg;
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
      case 'a':
        o.engine = parse_engine(program, optarg);
        break;
      case 'm':
        o.segments = parse_segments(program, optarg);
        break;
      case 'j':
        if (*optarg == '\0') bad_value(program, "-j needs a file name%s", "");
        o.json = optarg;
        break;
      case 'O':
        if (*optarg == '\0') bad_value(program, "--out needs a base name%s", "");
        o.out_base = optarg;
        break;
      case 'C':
      case 'T':
      case 'W':
      case 'I': {
        const char *name = opt == 'C' ? "--min-cost" : opt == 'T' ? "--target" : opt == 'W' ? "--budget" : "--within";
        if (cost_option != nullptr && std::strcmp(cost_option, name) != 0) {
          std::fflush(stdout);
          std::fprintf(stderr, "bufins: %s and %s ask for different solutions; give one of them\n", cost_option, name);
          usage(program);
        }
        cost_option = name;
        o.cost = parse_cost_option(program, opt, opt == 'C' ? "" : optarg);
        break;
      }
      case 'F':
        if (*optarg == '\0') bad_value(program, "--frontier needs a file name%s", "");
        o.frontier_csv = optarg;
        break;
      default:
        usage(program);
    }
  }
  if (only_help || !o.net || !o.lib) usage(program);
  // The cost options are the flat engine's: they select it, and refuse the others.
  if (o.cost.kind == CostObjective::NONE && !o.frontier_csv.empty()) o.cost.kind = CostObjective::MIN_COST;
  if (o.cost.kind != CostObjective::NONE) {
    if (o.engine == ENGINE_ASK) o.engine = ENGINE_FLAT;
    if (o.engine != ENGINE_FLAT) {
      std::fflush(stdout);
      std::fprintf(stderr, "bufins: the cost options (--min-cost, --target, --budget, --within, --frontier) need -a flat\n");
      usage(program);
    }
  }
  return o;
}

Engine ask_engine() {
  std::printf("Van Ginneken (1) or FBI ( Fast Buffer Insertion) (2)? ");
  // Any answer but the integer 1, none or one too large for an int included,
  // selects the fast algorithm.
  int choice = 0;
  return read_answer(&choice) == ANSWER_INT && choice == 1 ? ENGINE_LIST : ENGINE_FAST;
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

// ---- Progress line ----

namespace {

constexpr long long kProgressStride = 64;  // wires between two looks at the clock
long long progress_total = 1;
timespec progress_began;
int progress_shown = -1;

double seconds_since(const timespec &t) {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec - t.tv_sec) + static_cast<double>(now.tv_nsec - t.tv_nsec) * 1e-9;
}

}  // namespace

void progress_start(Node *root) {
  progress_count = 0;
  progress_next = LLONG_MAX;
  progress_shown = -1;
  if (!isatty(STDERR_FILENO)) return;
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
  progress_total = wires > 0 ? wires : 1;
  clock_gettime(CLOCK_MONOTONIC, &progress_began);
  progress_next = kProgressStride;
}

void progress_report() {
  progress_next = progress_count + kProgressStride;
  if (seconds_since(progress_began) < 1.0) return;
  long long share = progress_count * 100 / progress_total;
  int percent = static_cast<int>(share > 100 ? 100 : share);
  if (percent == progress_shown) return;
  std::fprintf(stderr, "\rbufins: %3d%% of the net done", percent);
  progress_shown = percent;
}

void progress_stop() {
  progress_next = LLONG_MAX;
  if (progress_shown >= 0) std::fprintf(stderr, "\r%40s\r", "");
  progress_shown = -1;
}

// ---- JSON run report ----

namespace {

struct Placement {
  int start, end, buffertype;
};

bool read_placements(const std::string &file, long from, std::vector<Placement> *out) {
  File f(std::fopen(file.c_str(), "r"), &std::fclose);
  if (!f || std::fseek(f.get(), from, SEEK_SET) != 0) return false;
  char line[256];
  while (std::fgets(line, sizeof line, f.get()) != nullptr) {
    Placement p;
    if (std::sscanf(line, "start %d end %d buffertype %d", &p.start, &p.end, &p.buffertype) == 3)
      out->push_back(p);
  }
  return !std::ferror(f.get());
}

nlohmann::ordered_json node_json(const std::unordered_map<int, const Node *> &by_index, int index) {
  nlohmann::ordered_json j;
  j["node"] = index;
  auto it = by_index.find(index);
  if (it != by_index.end()) {
    j["x"] = it->second->x;
    j["y"] = it->second->y;
  } else {
    j["x"] = nullptr;
    j["y"] = nullptr;
  }
  return j;
}

}  // namespace

bool write_json_report(const std::string &path, const RunSummary &run) {
  std::vector<Placement> placements;
  if (!read_placements(run.placement_file, run.winner_from, &placements)) {
    std::fflush(stdout);
    std::fprintf(stderr, "bufins: cannot read back %s for the JSON report\n", run.placement_file.c_str());
    return false;
  }
  std::unordered_map<int, const Node *> by_index;
  const int records = n_sinks + n_candidates;
  by_index.reserve(static_cast<size_t>(records) * 2);
  for (int i = 0; i < records; i++) by_index.emplace(nodes[i].index, &nodes[i]);

  using nlohmann::ordered_json;
  ordered_json j;
  j["tool"] = "bufins";
  j["version"] = BUFINS_VERSION;
  j["net_file"] = run.netname;
  j["library_file"] = run.libname;
  j["final_net_file"] = run.finalnet;
  j["placement_file"] = run.placement_file;
  j["algorithm"] = engine_name(run.engine);
  j["segments"] = run.segments;
  j["nodes"] = records;
  j["sinks"] = n_sinks - 1;
  j["candidates"] = n_candidates;
  j["buffer_types"] = n_buffertype;
  j["slack"] = run.slack;
  j["solution_found"] = run.slack > MINUS_INFINITY_TIME;
  j["buffers"] = run.buffers;
  ordered_json list = ordered_json::array();
  for (const Placement &p : placements) {
    ordered_json e;
    e["start"] = node_json(by_index, p.start);
    e["end"] = node_json(by_index, p.end);
    e["buffertype"] = p.buffertype;
    const size_t type = static_cast<size_t>(p.buffertype - 1);
    if (p.buffertype >= 1 && type < run.buffer_names.size())
      e["buffer_name"] = run.buffer_names[type];
    else
      e["buffer_name"] = nullptr;
    list.push_back(e);
  }
  j["placements"] = list;
  if (run.cost >= 0) {
    j["cost"] = run.cost;
    if (run.frontier != nullptr) {
      ordered_json f = ordered_json::array();
      for (size_t k = 0; k < run.frontier->size(); k++) {
        const FrontierPoint &p = (*run.frontier)[k];
        ordered_json e;
        e["cost"] = p.cost;
        e["buffers"] = p.buffers;
        e["slack"] = p.slack;
        e["chosen"] = static_cast<int>(k) == run.chosen;
        f.push_back(e);
      }
      j["frontier"] = f;
    }
  }
  ordered_json memory;
  memory["solutions_opened"] = total_solution;
  memory["solutions_freed"] = reduce_solution;
  memory["traces_opened"] = m_used;
  memory["traces_freed"] = m_reduced;
  memory["peak"] = max_space;
  j["memory_bytes"] = memory;
  j["algorithm_time_s"] = run.algorithm_time;
  rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  j["peak_rss_kib"] = usage.ru_maxrss;

  // File names and buffer names are bytes, not necessarily UTF-8.
  const std::string text = j.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
  File f(std::fopen(path.c_str(), "w"), &std::fclose);
  if (!f) {
    std::fflush(stdout);
    std::fprintf(stderr, "Cannot open file: %s\n", path.c_str());
    return false;
  }
  bool ok = std::fwrite(text.data(), 1, text.size(), f.get()) == text.size();
  ok = !std::ferror(f.get()) && ok;
  if (std::fclose(f.release()) != 0) ok = false;
  if (!ok) {
    std::remove(path.c_str());
    std::fflush(stdout);
    std::fprintf(stderr, "bufins: cannot write %s\n", path.c_str());
  }
  return ok;
}
