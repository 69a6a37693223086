// The driver's command line and what scripts read: option parsing (the
// prompts' answers may come from options), the help and version texts, the
// net reading step with or without the coefficient prompt, the progress line
// of long runs and the JSON run report.
//
// Without any of the options -a, -m, -j, --out, -h, -V the command line,
// prompts and outputs are those of the plain tool. Everything that fails here
// ends the run with status 1 after a message on standard error.
#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "def.h"
#include "frontier.h"

using File = std::unique_ptr<FILE, int (*)(FILE *)>;

enum Engine { ENGINE_ASK, ENGINE_LIST, ENGINE_FAST, ENGINE_FLAT };

struct Options {
  File net{nullptr, &std::fclose};
  File lib{nullptr, &std::fclose};
  std::string netname;
  std::string libname;
  int output = 0;                // -o
  int timing = 0;                // -t
  Engine engine = ENGINE_ASK;    // -a; ENGINE_ASK: the first prompt decides
  int segments = -1;             // -m; -1: the coefficient prompt decides
  std::string json;              // -j; empty: no JSON report
  std::string out_base;          // --out; empty: names derived from the net file
  CostGoal cost;                 // --min-cost, --target, --budget, --within (--frontier alone: --min-cost)
  std::string frontier_csv;      // --frontier; empty: none
};

// Gives every closed standard descriptor a stand-in before any file is
// opened, so that no input or output file lands on descriptor 0, 1 or 2:
// a closed standard input reads as empty (no answers), a closed standard
// output fails every write (the run then fails as with a full disk).
void guard_standard_streams();

// Opens a file or ends the run with "Cannot open file: NAME".
File open_file(const char *name, const char *mode);

// Parses the command line; files are opened in command-line order as they
// are met, and the global debug flag is set. -h and -V print and exit with
// status 0; usage errors exit with status 1.
Options parse_command_line(int argc, char **argv);

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
void progress_stop();

struct RunSummary {
  std::string netname, libname, finalnet, placement_file;
  Engine engine;
  int segments;
  double slack;
  int buffers;
  long winner_from;  // offset in the placement file where the winner's lines start
  double algorithm_time;
  std::vector<std::string> buffer_names;
  // A cost-aware run: the chosen solution's cost (sum of areas), and the
  // frontier with the chosen point's index; cost -1 otherwise.
  long long cost = -1;
  const std::vector<FrontierPoint> *frontier = nullptr;
  int chosen = -1;
};

// Writes the JSON run report. On failure prints why, removes the partial
// file and returns false.
bool write_json_report(const std::string &path, const RunSummary &run);
