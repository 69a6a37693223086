// Liberty files read into a tree of groups and attributes, and the buffer
// cells of a library with their timing tables and the straight line that the
// Elmore buffer model takes from them.
//
// The reader. A Liberty file is a tree of groups, `type (args) { ... }`,
// holding simple attributes (`name : value ;`), complex attributes
// (`name (v1, v2, ...) ;`) and further groups. The reader keeps that tree as
// it is written, without knowing what any name means: a Group owns its
// attributes and subgroups by value, in file order, and every element keeps
// the line it started on for messages. Lexing follows what real files use:
// quoted strings (which may span lines with a `\` continuation), unquoted
// words and numbers, `/* */` and `//` comments, a `\` at the end of a line
// joining it to the next, semicolons optional at the end of a line, and
// `define (...)` statements kept as ordinary complex attributes. Groups nest
// through an explicit stack, and the depth is bounded (MAX_DEPTH), so that no
// input can exhaust the process stack, neither when read nor when the tree is
// destroyed. Malformed input is an InputError "file:line: what is wrong".
//
// The cells. find_buffers() walks a library group and sorts its cells into
// buffers (one input pin, one output pin whose function is that input, no
// sequential or tristate behaviour, a timing arc from the input with delay
// tables) and the rest, each with the reason it is not a buffer. Values are
// converted to the bufins files' units when they are read: times in ps,
// capacitances in fF (resistances then come out in ohms). fit_buffer() takes
// a buffer's delay at one input transition, the larger of the rise and fall
// tables at each load point up to the load limit, and returns the
// least-squares line delay = intrinsic + resistance x load through them, with
// the worst relative error of the line at those points.
//
// Nothing here prints, exits or keeps state between calls.
#pragma once

#include <string>
#include <vector>

namespace liberty {

// Deepest nesting of groups accepted (real files use five or six levels).
constexpr int MAX_DEPTH = 256;

struct Value {
  std::string text;     // without the quotes
  bool quoted = false;
};

struct Attribute {
  std::string name;
  std::vector<Value> values;  // one for a simple attribute
  bool complex = false;       // written `name (values)` rather than `name : value`
  long line = 0;
};

struct Group {
  std::string type;          // "library", "cell", "pin", "timing", ...
  std::vector<Value> args;   // the names in parentheses: cell ("buf_1") gives "buf_1"
  std::vector<Attribute> attributes;
  std::vector<Group> groups;
  long line = 0;

  // The first attribute of that name, nullptr when none.
  const Attribute *attribute(const std::string &name) const;
  // The text of the first value of the first attribute of that name; `fallback` when none.
  std::string text(const std::string &name, const std::string &fallback = "") const;
  // The group's first argument, "" when it has none.
  std::string name() const;
};

// Reads a whole file, plain or gzip-compressed (recognised by its content);
// "-" is standard input. Throws InputError "NAME: cannot ..." when it cannot.
std::string read_file(const std::string &path, const std::string &display);

// Parses the text of a Liberty file (`file` names it in messages) and returns
// its first top-level group, normally `library (...)`. Throws InputError
// "file:line: what is wrong" for malformed input: an unterminated string or
// comment, a missing brace or parenthesis, a statement that is none of the
// three kinds, groups nested deeper than MAX_DEPTH, no group at all.
Group parse(const std::string &text, const std::string &file);

// ---- Units and buffer cells ----

// The library's units, as factors to the bufins files' units.
struct Units {
  double time_ps = 1000.0;   // one library time unit in ps (Liberty's default: 1 ns)
  double cap_ff = 1000.0;    // one library capacitance unit in fF (default 1 pF)
  double res_ohm = 1000.0;   // one library resistance unit in ohms (default 1 kohm)
  std::string time_text = "1ns (default)", cap_text = "1 pf (default)", res_text = "1kohm (default)";
};

// Reads time_unit, capacitive_load_unit and pulling_resistance_unit of a
// library group; throws InputError for a unit it does not know.
Units library_units(const Group &library, const std::string &file);

// A delay table converted to ps and fF. `slew` and `load` are the breakpoints
// along input transition and output load (either may be empty: a table that
// does not depend on it); values[i * load.size() + j] (or [i], or [j], or the
// single value of a scalar table).
struct Table {
  std::vector<double> slew;
  std::vector<double> load;
  std::vector<double> values;
  long line = 0;

  // The value at (slew s, load c): linear interpolation between breakpoints,
  // linear extrapolation beyond the first or last one.
  double at(double s, double c) const;
};

struct BufferCell {
  std::string name;
  std::string input, output;  // pin names
  double input_cap = 0.0;     // fF: the larger of rise_capacitance and fall_capacitance, else capacitance
  double area = 0.0;          // library area unit
  bool has_area = false;
  double max_cap = -1.0;      // fF; < 0 when the output pin sets none
  Table rise, fall;           // cell_rise and cell_fall
  long line = 0;
};

struct SkippedCell {
  std::string name;
  std::string reason;
  long line = 0;
};

struct CellScan {
  std::string library;      // the library group's name
  std::string corner;       // operating conditions, as a phrase ("" when the file names none)
  Units units;
  std::vector<BufferCell> buffers;  // in file order
  std::vector<SkippedCell> skipped; // in file order
};

// The buffers and the other cells of a library group. Malformed groups that a
// buffer's reading needs (a table whose values do not match its indices, a
// number that is no number) are InputErrors.
CellScan find_buffers(const Group &library, const std::string &file);

struct Fit {
  double intrinsic = 0.0;   // ps
  double resistance = 0.0;  // ohm
  double worst_error = 0.0; // largest |line - table| / table over the points (0 when the table is 0)
  double worst_load = 0.0;  // fF: the load point of that error
  int points = 0;           // load points fitted
};

// The least-squares line through max(cell_rise, cell_fall) at input
// transition `slew` (ps), over the load points of both tables up to
// `max_load` (fF; <= 0: up to the cell's max_cap, or every point when it has
// none). A table without load points gives a zero resistance. Throws
// InputError when no load point is left.
Fit fit_buffer(const BufferCell &cell, double slew, double max_load, const std::string &file);

}  // namespace liberty
