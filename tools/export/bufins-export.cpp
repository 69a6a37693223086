// bufins-export: a buffered net written for a static timer. Reads a final net,
// its placement file and the buffer library, and writes into a folder the
// structural Verilog, the SPEF parasitics, the SDC constraints, a cell library
// and a Tcl script for sta (export.h for the model). With --sta it runs the
// timer on them and compares its worst slack with the Elmore slack.
//
//   bufins-export [options] FINALNET PLACEMENT LIB -o DIR      (see --help)
//
// Exit status: 0 when the files are written (and with --sta the timer agrees
// within 1e-5 relative, or real cells were asked for); 1 for a usage error,
// an unreadable or faulty input, a failed write or a timer that cannot be
// run; 2 when --sta finds the timer's slack differing from the Elmore slack.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "cli.h"
#include "cmdline.h"
#include "def.h"
#include "export.h"
#include "io.h"
#include "liberty.h"
#include "output_file.h"
#include "placement.h"
#include "run_reporting.h"

namespace {

enum { LIBERTY = 256, DRIVER_CELL, STA };

constexpr double STA_TOLERANCE = 1e-5;  // relative: the timer computes in single precision

const cmdline::Program kProgram{
    "bufins-export",
    "FINALNET PLACEMENT LIB",
    "Writes the buffered net (the final net FINALNET of a bufins run, its placement\n"
    "file PLACEMENT and the buffer library LIB) for a static timer, into the folder\n"
    "DIR: net.v (structural Verilog: the driver, one instance per buffer, one output\n"
    "port per sink), net.spef (each stage's wires as an RC tree, one pi segment per\n"
    "wire piece, the gate's resistance as its first resistor), net.sdc (sink loads,\n"
    "each sink's required time as a max-delay constraint from the input port),\n"
    "cells.lib (constant-delay cells equal to the library) and run.tcl, which reads\n"
    "them into sta and reports the worst path. Under the Elmore model its slack is\n"
    "the placement's bufins slack. Units: ohm, fF, ps.",
    {{'o', 'o', "output", "DIR", "the folder to write into (made when missing)"},
     {LIBERTY, 0, "liberty", "FILE",
      "time the buffers as the real cells of the Liberty file\n"
      "FILE (plain or gzip): type NAME is the cell NAME, or\n"
      "NAME without its buffer_ prefix; a plain copy of FILE\n"
      "goes into DIR"},
     {DRIVER_CELL, 0, "driver-cell", "CELL",
      "with --liberty: the driver is the real cell CELL (its\n"
      "own tables) rather than the net's driver resistance"},
     {STA, 0, "sta", nullptr,
      "run sta on the files and print its worst slack beside\n"
      "the Elmore slack; status 2 when they differ by more than\n"
      "1e-5 relative (not with --liberty)"},
     {'q', 'q', "quiet", nullptr, "print no warnings about the input files"}},
    "Exit status: 0 when the files are written (and with --sta the timer agrees);\n"
    "1 for a usage error, an unreadable or faulty input (\"file:line: what is\n"
    "wrong\"), a failed write (no file of an earlier export is then changed) or a\n"
    "timer that cannot be run; 2 when the timer's slack is not the Elmore slack."};

struct Request {
  std::string net, placement, lib, dir, liberty, driver_cell;
  bool sta = false;
  bool quiet = false;
};

Request read_request(const cmdline::Parsed &parsed) {
  Request r;
  for (const cmdline::Option &o : parsed.options) {
    auto need = [&]() {
      if (o.value.empty()) throw cmdline::UsageError(o.name + " needs a name");
      return o.value;
    };
    switch (o.key) {
      case 'o':
        r.dir = need();
        break;
      case LIBERTY:
        r.liberty = need();
        break;
      case DRIVER_CELL:
        r.driver_cell = need();
        break;
      case STA:
        r.sta = true;
        break;
      case 'q':
        r.quiet = true;
        break;
    }
  }
  const std::vector<std::string> &files = parsed.operands;
  if (files.size() > 3) throw cmdline::UsageError("unexpected argument '" + files[3] + "'");
  if (files.size() < 3)
    throw cmdline::UsageError("needs three files, FINALNET PLACEMENT LIB (got " + std::to_string(files.size()) + ")");
  if (r.dir.empty()) throw cmdline::UsageError("no output folder: give -o DIR");
  if (r.dir == "-") throw cmdline::UsageError("-o names a folder; '-' (standard output) cannot hold five files");
  if (!r.driver_cell.empty() && r.liberty.empty()) throw cmdline::UsageError("--driver-cell needs --liberty");
  r.net = files[0];
  r.placement = files[1];
  r.lib = files[2];
  cmdline::at_most_one_standard_input({r.net, r.placement, r.lib, r.liberty});
  return r;
}

std::string slurp(const std::string &name) {
  cmdline::Stream f = cmdline::open_stream(name, "rb");
  if (!f) input_error(cmdline::display_name(name), 0, "cannot open: %s", std::strerror(errno));
  std::string text;
  char buf[1 << 16];
  size_t got;
  while ((got = std::fread(buf, 1, sizeof buf, f.get())) > 0) text.append(buf, got);
  if (std::ferror(f.get())) input_error(cmdline::display_name(name), 0, "cannot read: %s", std::strerror(errno));
  return text;
}

// The first word of every buffer line, in type order (the reader's rule: a
// line that starts with "buff").
std::vector<std::string> buffer_names(const std::string &text) {
  std::vector<std::string> names;
  size_t p = 0;
  if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) p = 3;
  while (p < text.size()) {
    size_t e = text.find('\n', p);
    if (e == std::string::npos) e = text.size();
    if (text.compare(p, 4, "buff") == 0) {
      size_t q = p;
      while (q < e && !std::isspace(static_cast<unsigned char>(text[q]))) q++;
      names.push_back(text.substr(p, q - p));
    }
    p = e + 1;
  }
  return names;
}

// Reads a stream held in memory with a reader that takes FILE *.
template <typename Reader>
void read_text(const std::string &text, Reader reader) {
  std::unique_ptr<FILE, int (*)(FILE *)> f(fmemopen(const_cast<char *>(text.data()), text.size(), "r"), std::fclose);
  if (text.empty()) f.reset(std::tmpfile());
  if (!f) throw std::bad_alloc();
  reader(f.get());
}

std::string base_name(const std::string &path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Runs sta on DIR/run.tcl and returns the worst slack it prints; throws
// InputError "bufins-export: ..." when it cannot.
double run_sta(const std::string &dir) {
  std::string quoted = "'";
  for (char c : dir) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  quoted += "'";
  const std::string command = "cd " + quoted + " && sta -no_init -no_splash -exit run.tcl 2>&1";
  std::fflush(stdout);
  FILE *p = popen(command.c_str(), "r");
  if (!p) input_error(kProgram.name, 0, "--sta: cannot run sta: %s", std::strerror(errno));
  std::string out;
  char buf[4096];
  size_t got;
  while ((got = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, got);
  const int status = pclose(p);
  const size_t at = out.rfind("worst slack ");
  double slack = 0.0;
  if (status != 0 || at == std::string::npos || std::sscanf(out.c_str() + at + 12, "%lf", &slack) != 1) {
    std::string tail = out.size() > 600 ? out.substr(out.size() - 600) : out;
    while (!tail.empty() && tail.back() == '\n') tail.pop_back();
    input_error(kProgram.name, 0, "--sta: sta did not report a worst slack (is the opensta package installed?)%s%s",
                tail.empty() ? "" : "; it said:\n", tail.c_str());
  }
  return slack;
}

int run(const Request &r) {
  WarningPrinter warnings(r.quiet, kProgram.name);
  const Warn warn = [&warnings](const std::string &text) { warnings.print(text); };
  const std::string lib_text = slurp(r.lib);
  read_text(lib_text, [&](FILE *f) { InputLib(f, cmdline::display_name(r.lib), warn); });
  {
    File n = open_file(r.net.c_str(), "r");
    read_net(n.get(), cmdline::display_name(r.net), warn);
  }
  warnings.finish();
  const PlacementFile pf = read_placement(r.placement, true);
  const Timing timing = evaluate_placement(pf.buffer_on);

  exporter::ExportSetup setup;
  setup.type_names = buffer_names(lib_text);
  setup.type_names.resize(static_cast<size_t>(n_buffertype), "buffer");
  setup.elmore_slack = timing.slack;
  setup.source = base_name(cmdline::display_name(r.net)) + ", " + base_name(cmdline::display_name(r.placement)) + ", " +
                 base_name(cmdline::display_name(r.lib));
  std::string liberty_copy, liberty_name;
  if (!r.liberty.empty()) {
    const std::string display = cmdline::display_name(r.liberty);
    liberty_copy = liberty::read_file(r.liberty, display);
    const liberty::Group lib = liberty::parse(liberty_copy, display);
    const liberty::CellScan scan = liberty::find_buffers(lib, display);
    auto find = [&](const std::string &name) -> const liberty::BufferCell * {
      for (const liberty::BufferCell &c : scan.buffers)
        if (c.name == name) return &c;
      return nullptr;
    };
    std::vector<char> used(static_cast<size_t>(n_buffertype) + 1, 0);
    for (const PlacedBuffer &b : pf.buffers) used[static_cast<size_t>(b.type)] = 1;
    setup.real = true;
    setup.type_cells.resize(static_cast<size_t>(n_buffertype));
    for (int t = 0; t < n_buffertype; t++) {
      const std::string &name = setup.type_names[static_cast<size_t>(t)];
      const liberty::BufferCell *c = find(name);
      if (!c && name.rfind("buffer_", 0) == 0) c = find(name.substr(7));
      if (!c) {
        if (used[static_cast<size_t>(t) + 1])
          input_error(display, 0, "no buffer cell %s%s%s for buffer type %d (%s) of %s", name.c_str(),
                      name.rfind("buffer_", 0) == 0 ? " or " : "",
                      name.rfind("buffer_", 0) == 0 ? name.substr(7).c_str() : "", t + 1, name.c_str(),
                      cmdline::display_name(r.lib).c_str());
        continue;
      }
      setup.type_cells[static_cast<size_t>(t)] = {c->name, c->input, c->output};
    }
    if (!r.driver_cell.empty()) {
      const liberty::BufferCell *c = find(r.driver_cell);
      if (!c) input_error(display, 0, "--driver-cell: no buffer cell %s in the library", r.driver_cell.c_str());
      setup.real_driver = true;
      setup.driver_cell = {c->name, c->input, c->output};
    }
    liberty_name = base_name(display);
    if (liberty_name.size() > 3 && liberty_name.compare(liberty_name.size() - 3, 3, ".gz") == 0)
      liberty_name.resize(liberty_name.size() - 3);
    for (const char *ours : {"cells.lib", "net.v", "net.spef", "net.sdc", "run.tcl"})
      if (liberty_name == ours || liberty_name.empty() || liberty_name == "(standard input)") liberty_name = "real_cells.lib";
    setup.libraries.push_back(liberty_name);
    setup.source += ", cells of " + base_name(display);
  }
  const exporter::ExportFiles files = exporter::export_net(pf.buffer_on, setup);

  if (mkdir(r.dir.c_str(), 0777) != 0 && errno != EEXIST)
    input_error(kProgram.name, 0, "cannot make the folder %s: %s", r.dir.c_str(), std::strerror(errno));
  struct stat st;
  if (stat(r.dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
    input_error(kProgram.name, 0, "%s is not a folder", r.dir.c_str());
  std::vector<std::unique_ptr<OutputFile>> outs;
  auto write = [&](const std::string &name, const std::string &text) {
    outs.push_back(std::make_unique<OutputFile>(r.dir + "/" + name));
    if (std::fwrite(text.data(), 1, text.size(), outs.back()->stream()) != text.size())
      throw OutputError(OutputError::CANNOT_WRITE, outs.back()->name(), errno);
  };
  write("net.v", files.verilog);
  write("net.spef", files.spef);
  write("net.sdc", files.sdc);
  write("cells.lib", files.cells);
  write("run.tcl", files.tcl);
  if (!liberty_name.empty()) write(liberty_name, liberty_copy);
  std::vector<OutputFile *> list;
  for (auto &o : outs) list.push_back(o.get());
  commit_outputs(list);

  std::printf("Elmore slack at the driver : %.10g\n", timing.slack);
  std::printf("Buffers : %zu, stages : %zu, sinks : %zu\n", files.buffers, files.stages, files.sinks);
  std::printf("Written : %s/{net.v,net.spef,net.sdc,cells.lib,run.tcl%s%s}\n", r.dir.c_str(),
              liberty_name.empty() ? "" : ",", liberty_name.c_str());
  int status = 0;
  if (r.sta) {
    const double sta = run_sta(r.dir);
    const double diff = sta - timing.slack;
    const double rel = std::fabs(diff) / std::max(1.0, std::fabs(timing.slack));
    std::printf("Timer slack : %.10g (timer - Elmore %.6g, relative %.3g)\n", sta, diff, rel);
    if (!setup.real && rel > STA_TOLERANCE) {
      std::fflush(stdout);
      std::fprintf(stderr, "%s: the timer's slack %.10g is not the Elmore slack %.10g\n", kProgram.name, sta,
                   timing.slack);
      status = 2;
    }
  }
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) throw OutputError(OutputError::CANNOT_WRITE, "-", errno);
  return status;
}

}  // namespace

int main(int argc, char **argv) {
  guard_standard_streams();
  Request request;
  if (const auto status = cmdline::parse_request(kProgram, BUFINS_VERSION, argc, argv, read_request, &request))
    return *status;
  std::vector<RunFile> outputs;
  for (const char *name : {"net.v", "net.spef", "net.sdc", "cells.lib", "run.tcl"})
    outputs.push_back({request.dir + "/" + name, "export file"});
  const std::string replaced = replaced_file({{request.net, "net file"}, {request.placement, "placement file"},
                                              {request.lib, "library file"}, {request.liberty, "Liberty file"}},
                                             outputs);
  if (!replaced.empty()) {
    std::fflush(stdout);
    std::fprintf(stderr, "%s: %s; choose another folder with --output\n", kProgram.name, replaced.c_str());
    return 1;
  }
  reset_globals();
  return cmdline::run_reporting(kProgram.name, [&] { return run(request); });
}
