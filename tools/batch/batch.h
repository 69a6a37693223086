// bufins-batch's run: many nets, one library, one set of options, every core.
//
// The idea: a pipeline of three parts around the one-net seam (net_solve.h).
//   - The feed (the calling thread) turns the inputs into numbered nets in
//     input order: net files, folders (their *.net files sorted by name),
//     list files (one path a line) and multi-net files (nets behind `net
//     NAME` lines, cut out as text while the file is streamed).
//   - Worker threads take nets in order, read, route (--route), solve through
//     the seam, write the net's files (--out-dir, each whole or not at all)
//     and format its summary line.
//   - The emitter writes the summary lines in input order, whatever order the
//     workers finish in, with the nets' warnings and the progress bar.
// Invariant: the feed never runs more than `window` nets ahead of the
// emitter, so memory is bounded by the nets in flight, never by the number of
// nets. A stop (SIGINT, SIGTERM, SIGHUP, a summary that can no longer be
// written) lets the nets already taken finish; those not yet taken are
// dropped, so the lines written are those of an unbroken first part of the
// input.
#pragma once

#include <string>
#include <vector>

#include "net_solve.h"
#include "route.h"

namespace batch {

struct RunOptions {
  std::vector<std::string> inputs;  // operands, in order
  std::vector<std::string> lists;   // --nets files, in order ("-": standard input)
  std::string library;
  Request request;
  bool route = false;               // --route: route pin files and sink lists first
  route::Request routing;
  std::string out_dir;              // empty: no per-net files
  bool final_nets = false;
  std::string summary = "-";        // --summary; "-": standard output
  int jobs = 1;
  bool quiet = false;               // no warnings, no progress bar
  bool progress = false;            // draw the progress bar (standard error is a terminal)
};

// Runs the batch and returns the exit status: 0 every net succeeded, 2 some
// net was infeasible or missed its goal (and none failed), 1 some net could
// not be read, routed or written, or the summary could not be written. When
// a terminating signal stopped the run, *signal receives it (0 otherwise):
// the caller re-raises it once everything is in place. Throws InputError for
// a library that cannot be read and OutputError for a summary file or
// output folder that cannot be made, before any net runs.
int run(const RunOptions &options, int *signal);

// A net as the feed hands it to the workers: exposed for the fuzz target,
// which checks the cutting of multi-net files and lists without a run.
struct FedNet {
  std::string name;         // the summary's "net"
  std::string path;         // the file to read; empty: `text` holds the net
  std::string text;
  std::string file;         // the file in messages
  long offset = 0;          // lines of `file` above the first line of `text`
  std::string out_base;     // DIR/BASE of the net's files, empty without --out-dir
  std::string early_error;  // the net fails with it, unread
};

// Every net of the run's inputs and lists in the order the run takes them,
// none read from its own file, routed or solved; *ahead (when given)
// receives the count the progress bar makes beforehand (-1 when standard
// input is an input). Throws InputError for a list that cannot be opened.
std::vector<FedNet> fed_nets(const RunOptions &options, long long *ahead);

// Exposed for tests: the place "FILE:LINE:" at the start of an error or
// warning text moved down by `offset` lines (a net cut out of a multi-net
// file is numbered from its own first line).
std::string renumber(const std::string &text, const std::string &file, long offset);

}  // namespace batch
