// The driver's command line and what scripts read: option parsing (the
// prompts' answers may come from options), the help and version texts, the
// net reading step with or without the coefficient prompt, the progress line
// of long runs and the JSON run report.
//
// Without any of the options -a, -m, -j, --out, -h, -V the command line,
// prompts and outputs are those of the plain tool. Nothing here exits: usage
// errors and unopenable files are thrown for main to print.
#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "cmdline.h"
#include "def.h"
#include "output_file.h"
#include "frontier.h"
#include "stage_limits.h"

using File = std::unique_ptr<FILE, int (*)(FILE *)>;

enum Engine { ENGINE_ASK, ENGINE_LIST, ENGINE_FAST, ENGINE_FLAT };
enum Action { ACTION_RUN, ACTION_HELP, ACTION_VERSION };

struct Options {
  Action action = ACTION_RUN;    // -h / -V: print and stop, nothing opened
  File net{nullptr, &std::fclose};
  File lib{nullptr, &std::fclose};
  std::string netname;
  std::string libname;
  int output = 0;                // -o
  int timing = 0;                // -t
  bool quiet = false;            // -q: no warnings
  Engine engine = ENGINE_ASK;    // -a; ENGINE_ASK: the first prompt decides
  int segments = -1;             // -m; -1: the coefficient prompt decides
  std::string json;              // -j; empty: no JSON report
  std::string out_base;          // --out; empty: names derived from the net file
  CostGoal cost;                 // --min-cost, --target, --budget, --within (--frontier alone: --min-cost)
  std::string budget;            // --budget as written (CostGoal::budget: its whole units)
  std::string frontier_csv;      // --frontier; empty: none
  double cost_tolerance = 0.0;   // --cost-tolerance; 0: exact
  Limits limits;                 // --max-cap, --max-slew (they select the flat engine)
  long max_memory_mib = -1;      // --max-memory; -1: three quarters of the machine's memory
};

// Gives every closed standard descriptor a stand-in before any file is
// opened, so that no input or output file lands on descriptor 0, 1 or 2:
// a closed standard input reads as empty (no answers), a closed standard
// output fails every write (the run then fails as with a full disk).
void guard_standard_streams();

// Opens a file ("-": standard input or output, by mode) or throws the
// InputError "Cannot open file: NAME: REASON" (REASON from strerror).
File open_file(const char *name, const char *mode);

// Parses the command line; files are opened in command-line order as they
// are met, and the global debug flag is set. A usage error is thrown as
// cmdline::UsageError (its reason for print_usage_error), a file that cannot
// be opened as InputError; -h and -V open nothing and only set the action.
Options parse_command_line(int argc, char **argv);

// The texts of -h, -V and a usage error (whose first line names the program
// as invoked, argv[0]); each returns the exit status.
int print_help();
int print_version();
int print_usage_error(const char *invoked_as, const std::string &reason);

// The first prompt and its answer: 1 selects the list algorithm, anything
// else (no integer included) the fast one.
Engine ask_engine();

const char *engine_name(Engine engine);

// The name word of every buffer line of the library, in type order, read
// again from the start of the stream; empty when the stream cannot be re-read
// or no longer matches the library read.
std::vector<std::string> library_names(FILE *lib);

// Progress line on standard error while the algorithm runs; only when
// standard error is a terminal, and only after about a second.
void progress_start(Node *root);
void progress_start_wires(long long wires);  // the same, given the net's wire count
void progress_stop();

// CPU seconds used by the process so far, from a clock of nanosecond
// resolution (the user-time figure of getrusage only moves with the tick on
// some kernels, so a run of a few milliseconds would read 0).
double process_cpu_seconds();

// Prints the readers' warnings on standard error (standard output flushed
// first, so they follow what was printed before) unless quiet; after a
// hundred, counts the rest and says how many at finish(), in the name of
// `program` ("bufins-check: 12 more warnings not shown").
class WarningPrinter {
 public:
  explicit WarningPrinter(bool quiet, const char *program = "bufins") : quiet_(quiet), program_(program) {}
  void print(const std::string &text);
  void finish();

 private:
  bool quiet_;
  const char *program_;
  long shown_ = 0;
  long hidden_ = 0;
};

struct RunSummary {
  std::string netname, libname, finalnet, placement_file;
  std::string placement_path;  // where the placement lines are until the run commits its outputs
  Engine engine;
  int segments;
  double slack;
  int buffers;
  long winner_from;  // offset in the placement file where the winner's lines start
  double algorithm_time;      // user CPU seconds as -t reports them (getrusage)
  double algorithm_cpu_time;  // CPU seconds of the process, nanosecond clock
  std::vector<std::string> buffer_names;
  // A cost-aware run: the chosen solution's cost (sum of areas), and the
  // frontier with the chosen point's index; cost -1 otherwise.
  long long cost = -1;
  const std::vector<FrontierPoint> *frontier = nullptr;
  int chosen = -1;
  // With limits in force, the report adds the limits and the winner's stages.
  bool with_limits = false;
  Limits limits;
  const std::vector<bufins::StageReport> *stages = nullptr;  // the winner's, with limits
  int area_decimals = 0;  // costs are in units of 10^-area_decimals
  // --cost-tolerance: E and the unit the areas were rounded up to (0: exact).
  double cost_tolerance = 0.0;
  long long cost_unit = 0;
};

// Writes the JSON run report to `out` (the caller commits it). On failure
// prints why and returns false.
bool write_json_report(OutputFile &out, const RunSummary &run);

// The cost and limit options as bufins reads them, for the other programs
// that take them (bufins-batch): `which` is the long name without "--"
// ("min-cost", "target", "budget", "within"); the limit in the unit of the
// files (--max-cap's is divided by 1000 by the caller, as bufins does).
// Both throw cmdline::UsageError with bufins's wording.
CostGoal cost_option_value(const cmdline::Option &option, const std::string &which);
double limit_option_value(const cmdline::Option &option);
// --cost-tolerance=E (a fraction from 0 to 1, or P%) as a fraction.
double tolerance_option_value(const cmdline::Option &option);
// A --budget checked by the parser, in the units of a library whose areas
// have `area_decimals` decimals: rounded down (no cost lies between), so
// 16.265 is 16.26 with two decimals and 1.5 is 1 with none.
long long budget_in_units(const std::string &budget, int area_decimals);
