// The shared command-line parser and its texts (see cmdline.h).
//
// The parser is written out rather than built on getopt_long: getopt keeps its
// position in globals, prints its own messages in its own words and, for an
// unknown long option, does not say which; here every usage error comes back
// as one UsageError whose text the program prints in the common form.
#include "cmdline.h"

#include <algorithm>
#include <cassert>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace cmdline {

namespace {

const OptionSpec kHelp{'h', 'h', "help", nullptr, "print this help and exit"};
const OptionSpec kVersion{'V', 'V', "version", nullptr, "print the program's name and version and exit"};

// The program's options followed by --help and --version.
std::vector<OptionSpec> all_options(const Program &program) {
  std::vector<OptionSpec> all = program.options;
  for (const OptionSpec &o : all) {
    assert(o.long_name != nullptr && *o.long_name != '\0');
    assert(o.short_name != 'h' && o.short_name != 'V' && o.key != 'h' && o.key != 'V');
    (void)o;
  }
  all.push_back(kHelp);
  all.push_back(kVersion);
  return all;
}

std::string quoted(const std::string &s) { return "'" + s + "'"; }

// "-m, --segments=M" or "    --out=BASE" as the help text's left column.
std::string help_label(const OptionSpec &o) {
  std::string s = o.short_name ? std::string("-") + o.short_name + ", " : std::string("    ");
  s += std::string("--") + o.long_name;
  if (o.arg) s += std::string("=") + o.arg;
  return s;
}

bool write_ok(FILE *f) { return std::fflush(f) == 0 && !std::ferror(f); }

int no_close(FILE *) { return 0; }

}  // namespace

Parsed parse(const Program &program, int argc, const char *const *argv) {
  const std::vector<OptionSpec> options = all_options(program);
  Parsed out;
  auto take = [&](const OptionSpec &entry, std::string name, std::string value) -> bool {
    if (entry.key == 'h' || entry.key == 'V') {
      out.action = entry.key == 'h' ? Parsed::HELP : Parsed::VERSION;
      return true;
    }
    out.options.push_back({entry.key, std::move(name), std::move(value)});
    return false;
  };
  for (int i = 1; i < argc; i++) {
    const std::string word = argv[i];
    if (word == "--") {
      for (i++; i < argc; i++) out.operands.push_back(argv[i]);
      break;
    }
    if (word.size() < 2 || word[0] != '-') {
      out.operands.push_back(word);
      continue;
    }
    if (word[1] == '-') {
      const size_t eq = word.find('=');
      const std::string name = word.substr(2, eq == std::string::npos ? std::string::npos : eq - 2);
      const OptionSpec *found = nullptr;
      std::string candidates;
      int prefix_matches = 0;
      for (const OptionSpec &o : options) {
        if (name == o.long_name) {
          found = &o;
          prefix_matches = 1;
          break;
        }
        if (!name.empty() && std::strncmp(o.long_name, name.c_str(), name.size()) == 0) {
          found = &o;
          prefix_matches++;
          candidates += (candidates.empty() ? "--" : ", --") + std::string(o.long_name);
        }
      }
      if (prefix_matches == 0) throw UsageError("unknown option " + quoted("--" + name));
      if (prefix_matches > 1)
        throw UsageError("option " + quoted("--" + name) + " is ambiguous (" + candidates + ")");
      const std::string full = std::string("--") + found->long_name;
      std::string value;
      if (!found->arg) {
        if (eq != std::string::npos) throw UsageError("option " + quoted(full) + " takes no argument");
      } else if (eq != std::string::npos) {
        value = word.substr(eq + 1);
      } else if (i + 1 < argc) {
        value = argv[++i];
      } else {
        throw UsageError("option " + quoted(full) + " needs an argument (" + found->arg + ")");
      }
      if (take(*found, full, value)) return out;
      continue;
    }
    // A group of short options: flags, the last of which may take the rest of
    // the word (or the next word) as its argument.
    for (size_t k = 1; k < word.size(); k++) {
      const OptionSpec *found = nullptr;
      for (const OptionSpec &o : options)
        if (o.short_name != 0 && o.short_name == word[k]) found = &o;
      const std::string name = std::string("-") + word[k];
      if (!found) throw UsageError("unknown option " + quoted(name));
      std::string value;
      if (found->arg) {
        if (k + 1 < word.size())
          value = word.substr(k + 1);
        else if (i + 1 < argc)
          value = argv[++i];
        else
          throw UsageError("option " + quoted(name) + " needs an argument (" + found->arg + ")");
        k = word.size();
      }
      if (take(*found, name, value)) return out;
    }
  }
  return out;
}

std::string usage_line(const Program &program) {
  std::string s = std::string("Usage: ") + program.name;
  for (const OptionSpec &o : all_options(program)) {
    s += " [";
    if (o.short_name) {
      s += std::string("-") + o.short_name;
      if (o.arg) s += std::string(" ") + o.arg;
    } else {
      s += std::string("--") + o.long_name;
      if (o.arg) s += std::string("=") + o.arg;
    }
    s += "]";
  }
  if (program.operands && *program.operands) s += std::string(" ") + program.operands;
  return s;
}

std::string short_usage(const Program &program) {
  std::string s = std::string("Usage: ") + program.name + " [OPTION]...";
  if (program.operands && *program.operands) s += std::string(" ") + program.operands;
  return s;
}

std::string wrap_lines(const std::string &text, size_t width, size_t hang) {
  std::string out;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    const size_t indent = std::min(line.find_first_not_of(' '), line.size()) + hang;
    bool first = true;
    while (line.size() > width) {
      // The last blank that leaves the line within the width, past the indent.
      size_t cut = line.rfind(' ', width);
      while (cut != std::string::npos && cut > 0 && line[cut - 1] == ' ') cut--;
      if (cut == std::string::npos || cut <= (first ? indent - hang : indent)) break;  // one long word
      out += line.substr(0, cut) + "\n";
      const size_t rest = line.find_first_not_of(' ', cut);
      line = std::string(indent, ' ') + (rest == std::string::npos ? "" : line.substr(rest));
      first = false;
    }
    out += line;
    if (end == text.size()) break;
    out += "\n";
    start = end + 1;
  }
  return out;
}

int print_help(const Program &program) {
  constexpr size_t kColumns = 80;
  const std::vector<OptionSpec> options = all_options(program);
  size_t width = 0;
  for (const OptionSpec &o : options) width = std::max(width, help_label(o).size());
  width += 4;
  // The usage line breaks before an option, continuing under the first one.
  const std::string usage = usage_line(program);
  std::string wrapped;
  size_t line_start = 0, hang = std::strlen("Usage: ") + std::strlen(program.name) + 1;
  for (size_t at = 0; at < usage.size();) {
    size_t next = usage.find(" [", at + 1);
    if (next == std::string::npos) next = usage.size();
    if (wrapped.size() - line_start + (next - at) > kColumns && wrapped.size() > line_start + hang) {
      wrapped += "\n" + std::string(hang - 1, ' ');
      line_start = wrapped.size() - (hang - 1);
    }
    wrapped += usage.substr(at, next - at);
    at = next;
  }
  std::printf("%s\n", wrapped.c_str());
  if (program.summary && *program.summary) std::printf("\n%s\n", wrap_lines(program.summary, kColumns).c_str());
  std::printf("\nOptions:\n");
  const size_t text_width = kColumns > width + 2 + 20 ? kColumns - width - 2 : 20;
  for (const OptionSpec &o : options) {
    const std::string label = help_label(o);
    // The description reflowed within the columns right of the label (its
    // line breaks only ever served a narrower or wider layout), each further
    // line under its first.
    std::string help = o.help;
    std::replace(help.begin(), help.end(), '\n', ' ');
    const std::string text = wrap_lines(help, text_width);
    std::printf("  %-*s", static_cast<int>(width), label.c_str());
    for (char c : text) {
      std::putchar(c);
      if (c == '\n') std::printf("  %-*s", static_cast<int>(width), "");
    }
    std::putchar('\n');
  }
  if (program.epilogue && *program.epilogue) std::printf("\n%s\n", wrap_lines(program.epilogue, kColumns).c_str());
  return write_ok(stdout) ? 0 : 1;
}

int print_version(const Program &program, const char *version) {
  std::printf("%s %s\n", program.name, version);
  return write_ok(stdout) ? 0 : 1;
}

int print_usage_error(const Program &program, const std::string &reason) {
  std::fflush(stdout);
  std::fprintf(stderr, "%s: %s\n%s\nTry '%s --help' for more information.\n", program.name, reason.c_str(),
               short_usage(program).c_str(), program.name);
  return 1;
}

long integer_value(const Option &option, long lo, long hi) {
  const char *text = option.value.c_str();
  char *end = nullptr;
  errno = 0;
  long v = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || std::isspace(static_cast<unsigned char>(*text)) || errno == ERANGE || v < lo ||
      v > hi)
    throw UsageError(option.name + ": " + quoted(option.value) + " is not an integer from " + std::to_string(lo) +
                     " to " + std::to_string(hi));
  return v;
}

double number_in(const Option &option, double lo, double hi) {
  const double v = real_value(option);
  if (v < lo || v > hi) {
    char range[96];
    std::snprintf(range, sizeof range, "a number from %g to %g", lo, hi);
    throw UsageError(option.name + ": '" + option.value + "' is not " + range);
  }
  return v;
}

double real_value(const Option &option) {
  const char *text = option.value.c_str();
  char *end = nullptr;
  double v = std::strtod(text, &end);
  if (end == text || *end != '\0' || std::isspace(static_cast<unsigned char>(*text)) || !std::isfinite(v))
    throw UsageError(option.name + ": " + quoted(option.value) + " is not a finite number");
  return v;
}

bool is_standard(const std::string &name) { return name == "-"; }

Stream open_stream(const std::string &name, const char *mode) {
  if (is_standard(name)) return Stream(mode[0] == 'r' ? stdin : stdout, &no_close);
  return Stream(std::fopen(name.c_str(), mode), &std::fclose);
}

std::string display_name(const std::string &name, const char *mode) {
  if (!is_standard(name)) return name;
  return mode[0] == 'r' ? "(standard input)" : "(standard output)";
}

void at_most_one_standard_input(const std::vector<std::string> &inputs) {
  int n = 0;
  for (const std::string &s : inputs) n += is_standard(s);
  if (n > 1) throw UsageError("'-' (standard input) may stand for one input file only");
}

}  // namespace cmdline
