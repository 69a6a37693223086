// Readers of the buffer library and of the net, the tree linker and checker,
// the tree listing and the final net writer.
//
// Both readers split their input into lines of any length (a last line without
// a newline counts), recognise a line by its first characters ("buff";
// "wire_re", "wire_ca", "driv", "sink", "cand", "edge") and ignore every other
// line. Input errors are thrown as InputError and travel to main, which prints
// them ("file:line: what is wrong", on standard error but for the two zero-index
// messages, which go to standard output) and exits with their status. Nothing
// the readers hold leaks on the way, so they may be called again afterwards
// (after reset_globals()).
//
// The readers build the model (bufins/model.h) and touch no global: reading
// two nets in two threads is safe. The table-filling entry points (InputLib,
// read_net, Input) read the model and install it into the global tables of
// def.h for the list and fast engines and the printers.
#pragma once

#include <cstdio>
#include <functional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "bufins/bufins.h"
#include "def.h"

// An input error on its way to main (bufins.h). what() is the exact text to
// print on `stream` (without the final newline); the run then exits with
// `status`.
using InputError = bufins::InputError;
using bufins::ERROR_TO_STDERR;
using bufins::ERROR_TO_STDOUT;
using bufins::ErrorStream;

// Prints e as the run reports it (standard output flushed first, so the
// message follows everything printed before it) and returns its exit status.
int report_input_error(const InputError &e);

// Receives each warning of a reader as one finished line of text,
// "file:line: warning: what" (without the newline). A warning never changes
// what is read; an empty Warn drops them.
using Warn = std::function<void(const std::string &)>;

// Reads the buffer library from an open stream; `name` is used in messages.
// Warns of a line shaped like a buffer line that is not read as one, of a
// library without any buffer type and of values whose size suggests a unit
// mistake (UnitCheck).
void InputLib(FILE *flib, const std::string &name, const Warn &warn = {});
bufins::Library read_library_model(FILE *flib, const std::string &name, const Warn &warn = {});
// The library into the global tables.
void install_library(const bufins::Library &lib);

// Reads the net from `in`: fills the node and edge tables and the wire and
// driver constants, links the tree and checks its shape. Returns the root.
// Warns of a missing or repeated wire constant line, of a line that would
// be read but for the case of its keyword or blanks before it, and of values
// whose size suggests a unit mistake (UnitCheck).
// read_net_model's size: the stream's size in bytes for a stream that cannot
// tell it (a memory stream; -1: unknown), so that the tables are reserved
// and the read block fits the text as for a file.
Node *read_net(FILE *in, const std::string &name, const Warn &warn = {});
bufins::Net read_net_model(FILE *in, const std::string &name, const Warn &warn = {}, long long size = -1);
// Links and checks a net built as a model (child positions from its edges,
// the first edge of a node giving `left`), exactly as the reader does after
// its last line; errors name `name` without a line.
void link_net_model(bufins::Net &net, const std::string &name);
// The net into the global tables (node table positions as in the model);
// returns the root.
Node *install_net(const bufins::Net &net);
// The other way, for tests that build the tables: sink loads and
// capacitances times 1000, so within rounding of the files' figures.
bufins::Net net_from_tables();
bufins::Library library_from_tables();

// The whole net reading step of a run: prints the parsing banner, reads the net
// from the global fp, asks for the wire-segmenting coefficient on standard
// input and segments when it is not 0. Returns the root.
// With `segments` given and >= 0 that coefficient is used and nothing is asked;
// otherwise the answer read is stored there.
Node *Input(const std::string &name, int *segments = nullptr, const Warn &warn = {});
// The same step giving the model (segmented) and touching no global table.
bufins::Net input_model(const std::string &name, int *segments = nullptr, const Warn &warn = {});

// Reads one integer answer from standard input as "%d" does, without letting a
// value that does not fit an int wrap into another one.
enum AnswerKind { ANSWER_NONE, ANSWER_INT, ANSWER_OUT_OF_RANGE };
AnswerKind read_answer(int *value);

// Storage for tables of a million records and more: blocks of 2 MiB and
// more are mapped whole in huge pages where the system gives them (a table
// filled afresh would otherwise take a page fault per 4 KiB, each costing
// about as much as clearing its page), smaller ones come from the heap.
void *large_allocate(size_t bytes);
void large_free(void *p, size_t bytes) noexcept;

template <class T>
struct LargeAllocator {
  using value_type = T;
  LargeAllocator() = default;
  template <class U>
  LargeAllocator(const LargeAllocator<U> &) {}
  T *allocate(size_t n) { return static_cast<T *>(large_allocate(n * sizeof(T))); }
  void deallocate(T *p, size_t n) noexcept { large_free(p, n * sizeof(T)); }
  template <class U>
  bool operator==(const LargeAllocator<U> &) const { return true; }
  template <class U>
  bool operator!=(const LargeAllocator<U> &) const { return false; }
};

// Table position of every node number (the first record carrying it): a flat
// table over the numbers' range when they are dense (up to about twice as many
// numbers as records), else a sorted array searched by halving.
struct NodeIndex {
  int lo = 0;                                  // number of dense[0]
  std::vector<int, LargeAllocator<int>> dense; // position of number lo + k, or -1
  std::vector<std::pair<int, int>> sorted;     // (number, position) by number
};

// Builds ix over the records at positions 0 .. count-1 of the node table.
// Returns the position of the first record (in table order) whose number an
// earlier record already carries, with that earlier record's position in
// *first; -1 when all numbers differ.
int node_index_build(NodeIndex &ix, int count, int *first);
// The same over the nodes of a model.
int node_index_build(NodeIndex &ix, const bufins::Net &net, int *first);

// Position of the first record carrying `number`, or -1.
int node_index_find(const NodeIndex &ix, int number);

// strtod on the text [p, end) read as a C string: the same value, and the same
// end of the number (p itself when there is none). Needs no terminator.
const char *parse_real(const char *p, const char *end, double *value);

// strtol(..., 10) on [p, end) as a C string: the same value and end; *overflow
// where strtol would set ERANGE (the value is then LONG_MIN or LONG_MAX).
const char *parse_integer(const char *p, const char *end, long *value, bool *overflow);

// Plausibility of magnitudes. A value far outside the range any process has
// (a sink load of 5.9e-14 in a file read in fF, a buffer resistance of 0.5
// ohm) is most likely in another unit; the readers warn, once per kind of
// value and file, naming the first such line and the unit the file is read
// in. The ranges are wide (six orders of magnitude and more around real
// values) so that no real net draws a warning; zero is always plausible.
enum class Quantity {
  CAPACITANCE,     // fF: sink loads, buffer input capacitances
  RESISTANCE,      // ohm: driver and buffer output resistances
  DELAY,           // ps: buffer intrinsic delays
  WIRE_RES,        // ohm per length unit
  WIRE_CAP,        // fF per length unit
};

class UnitCheck {
 public:
  // `what` names the values in the warning ("sink load capacitance").
  UnitCheck(Quantity q, const char *what) : q_(q), what_(what) {}
  void see(double value, long line);
  // Warns of the values seen outside the range, if any. `unit` says in what
  // unit they were read ("fF, the unit the file is read in"); "" for the
  // files' own unit of the quantity.
  void report(const Warn &warn, const std::string &file, const std::string &unit = "") const;

 private:
  struct Side {
    long count = 0, line = 0;
    double first = 0.0;
  };
  Quantity q_;
  const char *what_;
  Side low_, high_;
};

// Room format_fixed6 may need: "%f" of the largest double.
constexpr int FIXED6_MAX_CHARS = 320;

// Writes exactly the bytes of printf("%f", v) at out (no terminator) and
// returns the end. The FIXED6_MAX_CHARS bytes at out are its to use: bytes
// after the end may be overwritten.
char *format_fixed6(char *out, double v);

// Sets left/right of every node from the edge table (first edge leaving a node
// gives left, the second right). Linear time. Returns the record at position 0.
Node *produce_tree();

// Pre-order listing of the subtree at p on standard output.
void ntree_print(Node *p);

// Rewrites `name` in place: everything after its last '.' becomes `suffix`, or
// "." + suffix is appended when it has no '.'.
void replace_extension(std::string &name, const char *suffix);

// Writes the final net file (name derived from the global filename, which is
// rewritten in place) with the tree as it stands, segment nodes included; the
// file is replaced only once it is written whole (output_file.h), failures
// throw OutputError.
void Printoutput(Node *p);

// The final net's text, written to an open stream (the caller checks it).
void Printoutput(Node *p, FILE *stream);

// The final net file's text of a model, as Printoutput writes the same net
// from the tables.
void write_final_net(const bufins::Net &net, FILE *stream);

// Writes the edge lines of the subtree at p in pre-order, both edges of a
// branching node before either subtree.
void edge_print(FILE *stream, Node *p);

// Throws the InputError "bufins: <message>" for standard error, status 1: the
// driver's own failures (an output that cannot be written, a library the
// chosen algorithm cannot use).
[[noreturn]] void fatal(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Throws the InputError "<file>:<line>: <message>" ("<file>: <message>" when
// line is 0) for standard error, status 1.
[[noreturn]] void input_error(const std::string &file, long line, const char *format, ...)
    __attribute__((format(printf, 3, 4)));

// Throws the InputError "bufins: <message>" (file "bufins", line 0): a refused
// answer or a limit that no single line of a file is to blame for.
[[noreturn]] void refuse(const char *format, ...) __attribute__((format(printf, 1, 2)));
