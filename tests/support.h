// Helpers shared by the test programs: temporary directories and files, and
// running the built bufins binary with answers on standard input.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "def.h"
#include "netgen.h"

struct RunResult {
  int status;       // exit status, or -1 when the process did not exit normally
  std::string out;  // standard output
  std::string err;  // standard error
};

// A fresh empty directory under the system's temporary directory.
std::string make_temp_dir();

void write_file(const std::string &path, const std::string &text);
std::string read_file(const std::string &path);
bool file_exists(const std::string &path);

// Runs the bufins binary with `args` (already quoted for the shell) in
// directory `cwd`, feeding `input` on standard input.
RunResult run_bufins(const std::string &args, const std::string &input,
                     const std::string &cwd = ".");

// Runs a shell command, capturing standard output and error.
RunResult run_shell(const std::string &command, const std::string &input = "");

// Path of a file in tests/data.
std::string data_path(const std::string &name);

// Writes the net and library to a temporary directory and reads them with the
// tool's own readers into the global tables. Returns the root.
Node *load_into_tables(const TestNet &net);

// The net as the tables hold it (segment nodes included), for the independent
// evaluator; the wire constants and library come from `original`.
TestNet tables_as_net(const TestNet &original);

// Runs `body` with the global placement stream fp pointed at a temporary file
// and returns what was written to it; fp is standard output afterwards.
std::string capture_fp(const std::function<void()> &body);

// The nodes of a candidate tree or expiration list in order (reads only).
std::vector<RTnode *> nodes_of(RTnode *root);

#include "bufins/bufins.h"
#include "flat_core.h"

// The global tables as a model (sink loads and capacitances times 1000:
// within rounding of the files' figures), with the flat engines' tables and
// a fresh context over it.
struct TablesModel {
  bufins::Net net;
  bufins::Library lib;
  flat_core::Tables T;
  bufins::Context ctx;
  TablesModel();
};

// A placement file's text of an engine's answer ("empty tree" when
// `written` is false).
std::string placement_lines(bool written, const std::vector<bufins::Placement> &placed);
