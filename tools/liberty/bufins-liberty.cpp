// bufins-liberty: a bufins buffer library from the buffer cells of a Liberty
// file. Each buffer's input capacitance comes from its input pin, its
// intrinsic delay and output resistance from the least-squares line through
// its delay tables at one input transition (liberty.h), its area= and
// max_cap= from the cell; a comment header names the source, the corner, the
// transition and every cell's worst fit error.
//
//   bufins-liberty [options] LIBERTY [-o LIB]      (see --help)
//
// Exit status: 0 when the library (or with --list the listing) is written;
// 1 for a usage error, an unreadable or malformed Liberty file, no buffer
// cell chosen or more than bufins takes, or a failed write (an earlier file
// of the output's name is then left as it was).
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>
#include <regex>
#include <string>
#include <vector>

#include "cli.h"
#include "cmdline.h"
#include "def.h"
#include "io.h"
#include "liberty.h"
#include "output_file.h"
#include "run_reporting.h"

namespace {

constexpr double DEFAULT_SLEW = 100.0;  // ps

enum { CELLS = 256, LIST, SLEW, MAX_LOAD, AREA_SCALE, EXACT_AREAS };

const cmdline::Program kProgram{
    "bufins-liberty",
    "LIBERTY",
    "Reads the Liberty file LIBERTY (plain or gzip-compressed; '-' for standard\n"
    "input), picks its buffer cells (one input and one output pin, the output's\n"
    "function a copy of the input, no sequential or tristate behaviour, a positive\n"
    "unate timing arc with delay tables) and writes them as a bufins buffer library:\n"
    "per cell the input capacitance (the larger of rise and fall capacitance), the\n"
    "intrinsic delay and output resistance of the least-squares line through the\n"
    "larger of cell_rise and cell_fall at the input transition --slew, over the\n"
    "tables' load points up to the pin's max_capacitance, area= and max_cap=.\n"
    "Values in fF, ps and ohm. Each buffer line is named buffer_CELL.",
    {{'o', 'o', "output", "FILE",
      "write the library to FILE ('-': standard output, the\n"
      "default without --list); it replaces FILE only once\n"
      "written whole"},
     {CELLS, 0, "cells", "REGEX",
      "only the buffer cells whose name REGEX matches\n"
      "(ECMAScript syntax, anywhere in the name)"},
     {LIST, 0, "list", nullptr,
      "print every cell: the buffers with their fitted\n"
      "values and the others with why they are not taken"},
     {SLEW, 0, "slew", "S", "input transition of the fit, in ps (default 100)"},
     {MAX_LOAD, 0, "max-load", "C",
      "fit over the load points up to C fF rather than up to\n"
      "each cell's max_capacitance"},
     {AREA_SCALE, 0, "area-scale", "K",
      "area= is the cell's area times K, rounded (default:\n"
      "the least power of ten up to 10000 that makes every\n"
      "chosen area whole)"},
     {EXACT_AREAS, 0, "exact-areas", nullptr,
      "area= is the cell's area as the Liberty file gives it\n"
      "(times --area-scale when given), in decimals: the fewest\n"
      "that hold it, at most 6 (bufins reads costs exactly in\n"
      "those decimals)"},
     {'q', 'q', "quiet", nullptr, "print no warnings"}},
    "Exit status: 0 when the library (or the listing) is written; 1 for a usage\n"
    "error, a Liberty file that cannot be read or is malformed (\"file:line: what is\n"
    "wrong\"), no buffer cell or more than 64, or a failed write."};

struct Request {
  std::string input;
  std::string output;  // "" with --list and no -o: no library
  std::string cells;
  bool has_cells = false;
  bool list = false;
  double slew = DEFAULT_SLEW;
  double max_load = 0.0;
  double area_scale = 0.0;  // 0: chosen from the areas (1 with --exact-areas)
  bool exact_areas = false;
  bool quiet = false;
};

double positive(const cmdline::Option &o, bool zero_ok) {
  const double v = cmdline::real_value(o);
  if (v < 0.0 || (!zero_ok && v == 0.0))
    throw cmdline::UsageError(o.name + ": '" + o.value + "' is not a number " + (zero_ok ? ">= 0" : "above 0"));
  return v;
}

Request read_request(const cmdline::Parsed &parsed) {
  Request r;
  bool has_output = false;
  for (const cmdline::Option &o : parsed.options) {
    switch (o.key) {
      case 'o':
        if (o.value.empty()) throw cmdline::UsageError(o.name + " needs a file name");
        r.output = o.value;
        has_output = true;
        break;
      case CELLS:
        r.cells = o.value;
        r.has_cells = true;
        try {
          std::regex check(o.value);
        } catch (const std::regex_error &e) {
          throw cmdline::UsageError(o.name + ": '" + o.value + "' is not a regular expression");
        }
        break;
      case LIST:
        r.list = true;
        break;
      case SLEW:
        r.slew = positive(o, true);
        break;
      case MAX_LOAD:
        r.max_load = positive(o, false);
        break;
      case AREA_SCALE:
        r.area_scale = positive(o, false);
        break;
      case EXACT_AREAS:
        r.exact_areas = true;
        break;
      case 'q':
        r.quiet = true;
        break;
    }
  }
  if (parsed.operands.empty()) throw cmdline::UsageError("no LIBERTY file given");
  if (parsed.operands.size() > 1) throw cmdline::UsageError("unexpected argument '" + parsed.operands[1] + "'");
  r.input = parsed.operands[0];
  if (!has_output && !r.list) r.output = "-";
  if (r.list && r.output == "-")
    throw cmdline::UsageError("--list prints on standard output: give the library another -o FILE");
  return r;
}

std::string fmt(double v) {
  char b[64];
  std::snprintf(b, sizeof b, "%.10g", v);
  return b;
}

// An area in decimals: the fewest, at most max_area_decimals, that hold it
// (to a millionth: 3.7536000000 is 3.7536).
std::string area_text(double area) {
  char b[64];
  std::snprintf(b, sizeof b, "%.*f", bufins::max_area_decimals, area);
  std::string t = b;
  while (t.back() == '0') t.pop_back();
  if (t.back() == '.') t.pop_back();
  return t;
}

// The least power of ten up to 10^4 that makes every area whole (to 1e-6).
double choose_area_scale(const std::vector<liberty::BufferCell> &cells) {
  for (double k = 1.0; k <= 10000.0; k *= 10.0) {
    bool whole = true;
    for (const liberty::BufferCell &c : cells) {
      const double a = c.area * k;
      if (std::fabs(a - std::round(a)) > 1e-6 * std::max(1.0, a)) whole = false;
    }
    if (whole) return k;
  }
  return 10000.0;
}

int run(const Request &r) {
  WarningPrinter warnings(r.quiet, kProgram.name);
  const std::string display = cmdline::display_name(r.input);
  const std::string text = liberty::read_file(r.input, display);
  const liberty::Group lib = liberty::parse(text, display);
  if (lib.type != "library")
    input_error(display, lib.line, "the file's group is %s, not library (NAME) { ... }", lib.type.c_str());
  liberty::CellScan scan = liberty::find_buffers(lib, display);

  std::vector<liberty::BufferCell> chosen;
  std::vector<liberty::SkippedCell> skipped = scan.skipped;
  const std::regex pattern(r.cells);
  for (liberty::BufferCell &c : scan.buffers) {
    if (r.has_cells && !std::regex_search(c.name, pattern))
      skipped.push_back({c.name, "a buffer, not matched by --cells", c.line});
    else
      chosen.push_back(std::move(c));
  }
  std::vector<liberty::Fit> fits;
  for (const liberty::BufferCell &c : chosen) fits.push_back(liberty::fit_buffer(c, r.slew, r.max_load, display));
  const double area_scale = r.area_scale > 0.0 ? r.area_scale : r.exact_areas ? 1.0 : choose_area_scale(chosen);

  std::string out;
  out += "# Buffer library written by " + std::string(kProgram.name) + " " + BUFINS_VERSION + "\n";
  out += "# Source: " + (cmdline::is_standard(r.input) ? std::string("standard input") : r.input) + ", library " +
         scan.library + (scan.corner.empty() ? "" : ", corner " + scan.corner) + "\n";
  out += "# Library units: time " + scan.units.time_text + ", capacitance " + scan.units.cap_text + ", resistance " +
         scan.units.res_text + "; written in fF, ps and ohm\n";
  out += "# Fit: delay = intrinsic + resistance x load, least squares through the larger of cell_rise and\n";
  out += "# cell_fall at input transition " + fmt(r.slew) + " ps, over the load points up to " +
         (r.max_load > 0.0 ? fmt(r.max_load) + " fF" : std::string("each cell's max_capacitance")) + "\n";
  if (r.exact_areas)
    out += area_scale == 1.0 ? std::string("# area = library area, in decimals\n")
                             : "# area = library area x " + fmt(area_scale) + ", in decimals\n";
  else
    out += "# area = library area x " + fmt(area_scale) + ", rounded\n";
  out += "# name, input capacitance (fF), intrinsic delay (ps), output resistance (ohm), area, max_cap (fF)\n";
  out += "# worst relative fit error of each cell (at the load point where it occurs):\n";
  for (size_t k = 0; k < chosen.size(); k++)
    out += "#   " + chosen[k].name + ": " + fmt(100.0 * fits[k].worst_error) + "% at " + fmt(fits[k].worst_load) +
           " fF over " + std::to_string(fits[k].points) + " load points\n";
  for (size_t k = 0; k < chosen.size(); k++) {
    const liberty::BufferCell &c = chosen[k];
    liberty::Fit f = fits[k];
    auto clamp = [&](double &v, const char *what) {
      if (v >= 0.0) return;
      warnings.print(display + ":" + std::to_string(c.line) + ": warning: cell " + c.name + ": fitted " + what + " " +
                     fmt(v) + " is negative; 0 written");
      v = 0.0;
    };
    clamp(f.intrinsic, "intrinsic delay");
    clamp(f.resistance, "output resistance");
    const double scaled = (c.has_area ? c.area : 1.0) * area_scale;
    const double area = r.exact_areas ? scaled : std::round(scaled);
    if (area > static_cast<double>(MAX_AREA))
      input_error(display, c.line, "cell %s: area %g x %g exceeds the largest area= (%lld); choose a smaller --area-scale",
                  c.name.c_str(), c.area, area_scale, MAX_AREA);
    out += "buffer_" + c.name + " " + fmt(c.input_cap) + " " + fmt(f.intrinsic) + " " + fmt(f.resistance) +
           " area=" + (r.exact_areas ? area_text(area) : fmt(area));
    if (c.max_cap >= 0.0) out += " max_cap=" + fmt(c.max_cap);
    out += "\n";
  }
  warnings.finish();

  if (r.list) {
    std::string listing;
    for (size_t k = 0; k < chosen.size(); k++) {
      const liberty::BufferCell &c = chosen[k];
      listing += "buffer  " + c.name + " (line " + std::to_string(c.line) + "): " + c.input + " -> " + c.output +
                 ", input " + fmt(c.input_cap) + " fF, intrinsic " + fmt(fits[k].intrinsic) + " ps, resistance " +
                 fmt(fits[k].resistance) + " ohm, max_cap " + (c.max_cap >= 0.0 ? fmt(c.max_cap) + " fF" : "none") +
                 ", worst fit error " + fmt(100.0 * fits[k].worst_error) + "%\n";
    }
    for (const liberty::SkippedCell &s : skipped)
      listing += "skipped " + s.name + " (line " + std::to_string(s.line) + "): " + s.reason + "\n";
    listing += std::to_string(chosen.size()) + " buffer cells, " + std::to_string(skipped.size()) + " other cells\n";
    if (std::fwrite(listing.data(), 1, listing.size(), stdout) != listing.size() || std::fflush(stdout) != 0)
      throw OutputError(OutputError::CANNOT_WRITE, "-", errno);
  }
  if (chosen.empty())
    input_error(display, 0, "no buffer cell%s (--list says why each cell is not taken)",
                r.has_cells ? " matches --cells" : " in the library");
  if (chosen.size() > static_cast<size_t>(MAX_BUFFERTYPES))
    input_error(display, 0, "%zu buffer cells, and bufins takes up to %d: choose some with --cells=REGEX", chosen.size(),
                MAX_BUFFERTYPES);
  if (r.output.empty()) return 0;
  OutputFile file(r.output);
  if (std::fwrite(out.data(), 1, out.size(), file.stream()) != out.size())
    throw OutputError(OutputError::CANNOT_WRITE, r.output, errno);
  file.commit();
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  guard_standard_streams();
  Request request;
  if (const auto status = cmdline::parse_request(kProgram, BUFINS_VERSION, argc, argv, read_request, &request))
    return *status;
  const std::string replaced = replaced_file({{request.input, "Liberty file"}}, {{request.output, "library file"}});
  if (!replaced.empty()) {
    std::fflush(stdout);
    std::fprintf(stderr, "%s: %s; choose another name with --output\n", kProgram.name, replaced.c_str());
    return 1;
  }
  return cmdline::run_reporting(kProgram.name, [&] { return run(request); });
}
