// Command-line conventions shared by every program of the package: one table
// of options gives the parser, the usage line and the --help text, so the
// three can never disagree.
//
// The conventions: -h/--help prints the usage line and a description of every
// option on standard output (status 0), within 80 columns; -V/--version prints "PROGRAM VERSION"
// (status 0); every option has a long form, and a long option may be shortened
// to any unambiguous prefix; short flags may be grouped (-dt); an option's
// argument may be attached (-m4, --segments=4) or follow as the next word;
// options and operands may come in any order; "--" ends the options; a lone
// "-" is an operand (standard input for an input file, standard output for an
// output). A usage error prints "PROGRAM: REASON", the short usage line and
// "Try 'PROGRAM --help' for more information." on standard error, status 1.
//
// Nothing here prints or exits by itself but the three print_* functions,
// which write and return the status for main to return. Parsing reports a
// usage error by throwing UsageError. No global state: parse() may be called
// any number of times (tests do). Depends on the C++ standard library only.
#pragma once

#include <cstdio>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace cmdline {

// One option. `key` is what parse() reports it as: the short letter when there
// is one, otherwise any value above 255 chosen by the program.
struct OptionSpec {
  int key;
  char short_name;        // 0: long form only
  const char *long_name;  // required, without the leading "--"
  const char *arg;        // name of the argument ("FILE"); nullptr for a flag
  const char *help;       // description for --help; may hold '\n' for more lines
};

struct Program {
  const char *name;      // "bufins-check": the name in messages and --version
  const char *operands;  // after the options in the usage line: "NET LIB PLACEMENT"
  const char *summary;   // paragraph after the usage line in --help
  std::vector<OptionSpec> options;  // -h/--help and -V/--version are added by parse()
  const char *epilogue = "";        // text after the options in --help (files, exit status)
};

// A usage error: what() is the REASON of "PROGRAM: REASON".
struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct Option {
  int key;
  std::string name;   // as written: "-m" or "--segments" (for messages)
  std::string value;  // the argument; empty for a flag
};

struct Parsed {
  enum Action { RUN, HELP, VERSION } action = RUN;
  std::vector<Option> options;        // in command-line order
  std::vector<std::string> operands;  // in command-line order
};

// Parses argv[1..argc-1]. -h/--help or -V/--version anywhere (before "--")
// sets the action, whatever else is on the line. Throws UsageError for an
// unknown or ambiguous option, a missing argument, or an argument given to a
// flag ("--debug=1"). Operand counts are the program's to check.
Parsed parse(const Program &program, int argc, const char *const *argv);

// "Usage: NAME [-h] [-V] [-m M] ... OPERANDS", generated from the table, on
// one line (--help prints it wrapped to 80 columns).
std::string usage_line(const Program &program);
// "Usage: NAME [OPTION]... OPERANDS": the short form a usage error prints.
std::string short_usage(const Program &program);
// `text` with every line longer than `width` broken at blanks, the
// continuation lines indented as the line they continue (plus `hang`).
std::string wrap_lines(const std::string &text, size_t width, size_t hang = 0);

// The help text on standard output; returns 0, or 1 when the write failed.
int print_help(const Program &program);
// "NAME VERSION" on standard output; returns 0, or 1 when the write failed.
int print_version(const Program &program, const char *version);
// "NAME: REASON", the short usage and the --help hint on standard error
// (standard output flushed first); returns 1.
int print_usage_error(const Program &program, const std::string &reason);

// The start of every program's main: parses the command line and turns it
// into the program's request with `read` (which throws UsageError for what
// the table cannot check). --help and --version print and give their status,
// a usage error prints and gives 1; otherwise *request is set and nothing is
// given back.
template <typename Request, typename Read>
std::optional<int> parse_request(const Program &program, const char *version, int argc, const char *const *argv,
                                 Read read, Request *request) {
  try {
    const Parsed parsed = parse(program, argc, argv);
    if (parsed.action == Parsed::HELP) return print_help(program);
    if (parsed.action == Parsed::VERSION) return print_version(program, version);
    *request = read(parsed);
  } catch (const UsageError &e) {
    return print_usage_error(program, e.what());
  }
  return std::nullopt;
}

// Option values. Each accepts the whole text or throws UsageError naming the
// option: "--segments: 'x' is not an integer from 0 to 100".
long integer_value(const Option &option, long lo, long hi);
double real_value(const Option &option);  // any finite number
double number_in(const Option &option, double lo, double hi);  // a finite number from lo to hi

// Streams whose name may be "-". open_stream("-", "r") is standard input,
// open_stream("-", "w") standard output; neither is closed when the handle
// goes. Any other name is fopen()ed and fclose()d. A null handle (errno set)
// when the file cannot be opened.
using Stream = std::unique_ptr<FILE, int (*)(FILE *)>;
Stream open_stream(const std::string &name, const char *mode);
bool is_standard(const std::string &name);  // name == "-"
// The name to use in messages: "(standard input)" / "(standard output)" for
// "-" (by the mode's first letter), the name itself otherwise.
std::string display_name(const std::string &name, const char *mode = "r");
// Throws UsageError when more than one of `inputs` is "-": standard input can
// stand for one input file only.
void at_most_one_standard_input(const std::vector<std::string> &inputs);

}  // namespace cmdline
