// The Liberty reader (lexer and group parser), library units, buffer cells
// and the line fit; see liberty.h for the model and its contracts.
#include "liberty.h"

#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "io.h"

namespace liberty {

// ---- Groups ----

const Attribute *Group::attribute(const std::string &n) const {
  for (const Attribute &a : attributes)
    if (a.name == n) return &a;
  return nullptr;
}

std::string Group::text(const std::string &n, const std::string &fallback) const {
  const Attribute *a = attribute(n);
  return a && !a->values.empty() ? a->values[0].text : fallback;
}

std::string Group::name() const { return args.empty() ? std::string() : args[0].text; }

// ---- Reading a file ----

std::string read_file(const std::string &path, const std::string &display) {
  // gzdopen reads plain files as they are, so one path serves both kinds.
  const int fd = path == "-" ? dup(0) : ::open(path.c_str(), O_RDONLY);
  if (fd < 0) input_error(display, 0, "cannot open: %s", std::strerror(errno));
  gzFile f = gzdopen(fd, "rb");
  if (!f) {
    ::close(fd);
    input_error(display, 0, "cannot read: out of memory");
  }
  std::string text;
  char buf[1 << 16];
  for (;;) {
    const int got = gzread(f, buf, sizeof buf);
    if (got < 0) {
      int code = 0;
      const char *why = gzerror(f, &code);
      const std::string reason = code == Z_ERRNO ? std::strerror(errno) : why;
      gzclose(f);
      input_error(display, 0, "cannot read: %s", reason.c_str());
    }
    if (got == 0) break;
    text.append(buf, static_cast<size_t>(got));
  }
  gzclose(f);
  return text;
}

// ---- Lexer ----

namespace {

enum TokenKind { T_END, T_NEWLINE, T_WORD, T_STRING, T_PUNCT };

struct Token {
  TokenKind kind = T_END;
  std::string text;  // the word, the string without quotes, or the punctuation character
  long line = 0;
};

bool is_punct(char c) { return c == '(' || c == ')' || c == '{' || c == '}' || c == ':' || c == ';' || c == ','; }

class Lexer {
 public:
  Lexer(const std::string &text, const std::string &file) : s_(text), file_(file) {}

  Token next() {
    Token t;
    for (;;) {
      skip_blanks();
      t.line = line_;
      if (p_ >= s_.size()) return t;
      const char c = s_[p_];
      if (c == '\n') {
        p_++;
        line_++;
        t.kind = T_NEWLINE;
        return t;
      }
      if (c == '/' && p_ + 1 < s_.size() && s_[p_ + 1] == '*') {
        const long start = line_;
        p_ += 2;
        for (;;) {
          if (p_ + 1 >= s_.size()) input_error(file_, start, "comment opened here is never closed with */");
          if (s_[p_] == '*' && s_[p_ + 1] == '/') break;
          if (s_[p_] == '\n') line_++;
          p_++;
        }
        p_ += 2;
        continue;
      }
      if (c == '/' && p_ + 1 < s_.size() && s_[p_ + 1] == '/') {
        while (p_ < s_.size() && s_[p_] != '\n') p_++;
        continue;
      }
      if (c == '"') return string_token(t);
      if (is_punct(c)) {
        t.kind = T_PUNCT;
        t.text.assign(1, c);
        p_++;
        return t;
      }
      t.kind = T_WORD;
      while (p_ < s_.size()) {
        const char d = s_[p_];
        if (d == ' ' || d == '\t' || d == '\r' || d == '\n' || d == '\f' || d == '\v' || d == '"' || is_punct(d)) break;
        if (d == '\\' && continuation()) break;
        if (d == '/' && p_ + 1 < s_.size() && (s_[p_ + 1] == '*' || s_[p_ + 1] == '/')) break;
        t.text.push_back(d);
        p_++;
      }
      return t;
    }
  }

  long line() const { return line_; }

 private:
  // A backslash followed by blanks up to the end of the line: the line goes on.
  bool continuation() const {
    size_t q = p_ + 1;
    while (q < s_.size() && (s_[q] == ' ' || s_[q] == '\t' || s_[q] == '\r')) q++;
    return q >= s_.size() || s_[q] == '\n';
  }

  // Skips blanks and line continuations (not newlines, which end statements).
  void skip_blanks() {
    while (p_ < s_.size()) {
      const char c = s_[p_];
      if (c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v') {
        p_++;
      } else if (c == '\\' && continuation()) {
        p_++;
        while (p_ < s_.size() && s_[p_] != '\n') p_++;
        if (p_ < s_.size()) {
          p_++;
          line_++;
        }
      } else {
        break;
      }
    }
  }

  Token string_token(Token &t) {
    t.kind = T_STRING;
    const long start = line_;
    p_++;
    for (;;) {
      if (p_ >= s_.size()) input_error(file_, start, "string opened here is never closed with '\"'");
      const char c = s_[p_];
      if (c == '"') {
        p_++;
        return t;
      }
      if (c == '\\' && continuation()) {  // a string continued on the next line
        while (p_ < s_.size() && s_[p_] != '\n') p_++;
        if (p_ >= s_.size()) input_error(file_, start, "string opened here is never closed with '\"'");
        p_++;
        line_++;
        continue;
      }
      if (c == '\\' && p_ + 1 < s_.size() && s_[p_ + 1] == '"') {
        t.text.push_back('"');
        p_ += 2;
        continue;
      }
      if (c == '\n') input_error(file_, start, "string opened here runs past the end of the line (a line inside a string ends with '\\')");
      t.text.push_back(c);
      p_++;
    }
  }

  const std::string &s_;
  const std::string &file_;
  size_t p_ = 0;
  long line_ = 1;
};

std::string describe(const Token &t) {
  switch (t.kind) {
    case T_END:
      return "the end of the file";
    case T_NEWLINE:
      return "the end of the line";
    case T_STRING:
      return "\"" + t.text + "\"";
    default:
      return "'" + t.text + "'";
  }
}

}  // namespace

// ---- Parser ----

Group parse(const std::string &text, const std::string &file) {
  Lexer lex(text, file);
  std::vector<Group> top;
  std::vector<Group *> open;  // the groups being read, outermost first
  Token t = lex.next();
  auto skip_newlines = [&]() {
    while (t.kind == T_NEWLINE) t = lex.next();
  };
  for (;;) {
    while (t.kind == T_NEWLINE || (t.kind == T_PUNCT && t.text == ";")) t = lex.next();
    if (t.kind == T_END) break;
    if (t.kind == T_PUNCT && t.text == "}") {
      if (open.empty()) input_error(file, t.line, "'}' without a group to close");
      open.pop_back();
      t = lex.next();
      continue;
    }
    if (t.kind != T_WORD) input_error(file, t.line, "expected an attribute or group name, found %s", describe(t).c_str());
    const Token name = t;
    t = lex.next();
    if (t.kind == T_PUNCT && t.text == ":") {
      Attribute a;
      a.name = name.text;
      a.line = name.line;
      std::string value;
      bool quoted = false;
      int parts = 0;
      t = lex.next();
      // The value runs to ';' or the end of the line; an expression
      // (`1.2 * VDD`) keeps its words joined by blanks.
      while (t.kind == T_WORD || t.kind == T_STRING || (t.kind == T_PUNCT && (t.text == "(" || t.text == ")"))) {
        if (parts++) value.push_back(' ');
        value += t.text;
        quoted = t.kind == T_STRING;
        t = lex.next();
      }
      if (parts == 0) input_error(file, name.line, "attribute %s has no value", name.text.c_str());
      if (!(t.kind == T_PUNCT && (t.text == ";" || t.text == "}")) && t.kind != T_NEWLINE && t.kind != T_END)
        input_error(file, t.line, "attribute %s: unexpected %s after its value", name.text.c_str(), describe(t).c_str());
      if (open.empty()) input_error(file, name.line, "attribute %s outside any group", name.text.c_str());
      a.values.push_back({value, quoted && parts == 1});
      open.back()->attributes.push_back(std::move(a));
      continue;
    }
    if (!(t.kind == T_PUNCT && t.text == "("))
      input_error(file, name.line, "%s: expected ':' or '(' after the name, found %s", name.text.c_str(), describe(t).c_str());
    std::vector<Value> values;
    t = lex.next();
    for (;;) {
      if (t.kind == T_NEWLINE) {
        t = lex.next();
        continue;
      }
      if (t.kind == T_PUNCT && t.text == ")") break;
      if (t.kind == T_PUNCT && t.text == ",") {
        t = lex.next();
        continue;
      }
      if (t.kind == T_WORD || t.kind == T_STRING) {
        values.push_back({t.text, t.kind == T_STRING});
        t = lex.next();
        continue;
      }
      if (t.kind == T_END)
        input_error(file, name.line, "%s: the '(' on this line is never closed", name.text.c_str());
      input_error(file, t.line, "%s: unexpected %s inside parentheses", name.text.c_str(), describe(t).c_str());
    }
    t = lex.next();
    skip_newlines();
    if (t.kind == T_PUNCT && t.text == "{") {
      if (static_cast<int>(open.size()) >= MAX_DEPTH)
        input_error(file, name.line, "groups nested deeper than %d levels", MAX_DEPTH);
      std::vector<Group> &siblings = open.empty() ? top : open.back()->groups;
      siblings.emplace_back();
      Group &g = siblings.back();
      g.type = name.text;
      g.args = std::move(values);
      g.line = name.line;
      open.push_back(&g);  // the parents' vectors do not change while it is open
      t = lex.next();
      continue;
    }
    if (open.empty()) input_error(file, name.line, "attribute %s outside any group", name.text.c_str());
    Attribute a;
    a.name = name.text;
    a.values = std::move(values);
    a.complex = true;
    a.line = name.line;
    open.back()->attributes.push_back(std::move(a));
  }
  if (!open.empty())
    input_error(file, lex.line(), "the end of the file inside group %s%s%s opened on line %ld (a '}' is missing)",
                open.back()->type.c_str(), open.back()->args.empty() ? "" : " ", open.back()->name().c_str(),
                open.back()->line);
  if (top.empty()) input_error(file, 0, "no group in the file (a Liberty file holds library (NAME) { ... })");
  return std::move(top[0]);
}

// ---- Numbers and units ----

namespace {

// The whole text as a finite number, else nullopt-like false.
bool number(const std::string &text, double *v) {
  const char *b = text.c_str();
  while (*b == ' ' || *b == '\t') b++;
  char *end = nullptr;
  errno = 0;
  const double x = std::strtod(b, &end);
  if (end == b) return false;
  while (*end == ' ' || *end == '\t') end++;
  if (*end != '\0' || !std::isfinite(x)) return false;
  *v = x;
  return true;
}

double number_of(const std::string &text, const std::string &file, long line, const char *what) {
  double v = 0.0;
  if (!number(text, &v)) input_error(file, line, "%s: '%s' is not a number", what, text.c_str());
  return v;
}

// "1, 2, 3" (or several such strings) as numbers.
std::vector<double> number_list(const Attribute &a, const std::string &file) {
  std::vector<double> out;
  for (const Value &v : a.values) {
    size_t p = 0;
    const std::string &s = v.text;
    while (p < s.size()) {
      while (p < s.size() && (s[p] == ',' || s[p] == ' ' || s[p] == '\t')) p++;
      size_t q = p;
      while (q < s.size() && s[q] != ',' && s[q] != ' ' && s[q] != '\t') q++;
      if (q > p) out.push_back(number_of(s.substr(p, q - p), file, a.line, a.name.c_str()));
      p = q;
    }
  }
  return out;
}

std::string lower(std::string s) {
  for (char &c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// "10ps" -> 10 and "ps".
void split_unit(const std::string &text, double *scale, std::string *unit) {
  size_t p = 0;
  while (p < text.size() && (std::isdigit(static_cast<unsigned char>(text[p])) || text[p] == '.' || text[p] == ' ')) p++;
  *scale = 1.0;
  if (p > 0 && !number(text.substr(0, p), scale)) *scale = -1.0;
  *unit = lower(text.substr(p));
  while (!unit->empty() && unit->back() == ' ') unit->pop_back();
}

double time_unit_ps(const std::string &u) {
  if (u == "s") return 1e12;
  if (u == "ms") return 1e9;
  if (u == "us") return 1e6;
  if (u == "ns") return 1e3;
  if (u == "ps") return 1.0;
  if (u == "fs") return 1e-3;
  return -1.0;
}

double cap_unit_ff(const std::string &u) {
  if (u == "f") return 1e15;
  if (u == "mf") return 1e12;
  if (u == "uf") return 1e9;
  if (u == "nf") return 1e6;
  if (u == "pf") return 1e3;
  if (u == "ff") return 1.0;
  if (u == "af") return 1e-3;
  return -1.0;
}

double res_unit_ohm(const std::string &u) {
  if (u == "ohm") return 1.0;
  if (u == "kohm") return 1e3;
  if (u == "mohm") return 1e6;  // Liberty writes megaohm as "Mohm"; lower case reads it so
  return -1.0;
}

}  // namespace

Units library_units(const Group &lib, const std::string &file) {
  Units u;
  if (const Attribute *a = lib.attribute("time_unit")) {
    double scale = 0.0;
    std::string unit;
    split_unit(a->values[0].text, &scale, &unit);
    const double f = time_unit_ps(unit);
    if (scale <= 0.0 || f < 0.0)
      input_error(file, a->line, "time_unit: '%s' is not a time unit (1ps, 10ps, 1ns, ...)", a->values[0].text.c_str());
    u.time_ps = scale * f;
    u.time_text = a->values[0].text;
  }
  if (const Attribute *a = lib.attribute("capacitive_load_unit")) {
    if (a->values.size() != 2)
      input_error(file, a->line, "capacitive_load_unit: expected (NUMBER, UNIT), as in (1, ff)");
    const double scale = number_of(a->values[0].text, file, a->line, "capacitive_load_unit");
    const double f = cap_unit_ff(lower(a->values[1].text));
    if (scale <= 0.0 || f < 0.0)
      input_error(file, a->line, "capacitive_load_unit: '%s' is not a capacitance unit (ff, pf, ...)", a->values[1].text.c_str());
    u.cap_ff = scale * f;
    u.cap_text = a->values[0].text + " " + a->values[1].text;
  }
  if (const Attribute *a = lib.attribute("pulling_resistance_unit")) {
    double scale = 0.0;
    std::string unit;
    split_unit(a->values[0].text, &scale, &unit);
    const double f = res_unit_ohm(unit);
    if (scale <= 0.0 || f < 0.0)
      input_error(file, a->line, "pulling_resistance_unit: '%s' is not a resistance unit (1ohm, 1kohm, ...)",
                  a->values[0].text.c_str());
    u.res_ohm = scale * f;
    u.res_text = a->values[0].text;
  }
  return u;
}

// ---- Tables ----

namespace {

// Position of v among increasing breakpoints x: the interval [x[i], x[i+1]]
// to interpolate or extrapolate on, and v's weight towards x[i+1].
void locate(const std::vector<double> &x, double v, size_t *i, double *w) {
  if (x.size() < 2) {
    *i = 0;
    *w = 0.0;
    return;
  }
  size_t k = static_cast<size_t>(std::upper_bound(x.begin(), x.end(), v) - x.begin());
  k = k == 0 ? 0 : k - 1;
  if (k > x.size() - 2) k = x.size() - 2;
  *i = k;
  *w = (v - x[k]) / (x[k + 1] - x[k]);
}

}  // namespace

double Table::at(double s, double c) const {
  const size_t nl = load.empty() ? 1 : load.size();
  size_t i = 0, j = 0;
  double ws = 0.0, wl = 0.0;
  locate(slew, s, &i, &ws);
  locate(load, c, &j, &wl);
  auto v = [&](size_t a, size_t b) { return values[a * nl + b]; };
  const size_t i1 = slew.size() < 2 ? i : i + 1, j1 = load.size() < 2 ? j : j + 1;
  const double lo = v(i, j) + wl * (v(i, j1) - v(i, j));
  const double hi = v(i1, j) + wl * (v(i1, j1) - v(i1, j));
  return lo + ws * (hi - lo);
}

namespace {

enum Axis { AXIS_SLEW, AXIS_LOAD };

const Group *find_template(const Group &lib, const std::string &name) {
  for (const Group &g : lib.groups)
    if (g.type == "lu_table_template" && g.name() == name) return &g;
  return nullptr;
}

Table read_table(const Group &lib, const Group &g, const Units &u, const std::string &file) {
  Table t;
  t.line = g.line;
  const std::string tname = g.name();
  const Group *tmpl = nullptr;
  if (tname != "scalar" && !tname.empty()) {
    tmpl = find_template(lib, tname);
    if (!tmpl) input_error(file, g.line, "%s: no lu_table_template named %s in the library", g.type.c_str(), tname.c_str());
  }
  std::vector<Axis> axes;
  for (int k = 1; k <= 3 && tmpl; k++) {
    const Attribute *var = tmpl->attribute("variable_" + std::to_string(k));
    if (!var) break;
    const std::string v = var->values[0].text;
    if (v == "input_net_transition" || v == "input_transition_time")
      axes.push_back(AXIS_SLEW);
    else if (v == "total_output_net_capacitance")
      axes.push_back(AXIS_LOAD);
    else
      input_error(file, var->line, "lu_table_template %s: variable %s is not one a buffer's delay depends on "
                  "(input_net_transition, total_output_net_capacitance)", tname.c_str(), v.c_str());
  }
  if (axes.size() == 2 && axes[0] == axes[1])
    input_error(file, tmpl->line, "lu_table_template %s: both variables are the same", tname.c_str());
  std::vector<std::vector<double>> index(axes.size());
  for (size_t k = 0; k < axes.size(); k++) {
    const std::string key = "index_" + std::to_string(k + 1);
    const Attribute *a = g.attribute(key);
    if (!a) a = tmpl->attribute(key);
    if (!a) input_error(file, g.line, "%s: no %s in the table or its template %s", g.type.c_str(), key.c_str(), tname.c_str());
    index[k] = number_list(*a, file);
    if (index[k].empty()) input_error(file, a->line, "%s: empty", key.c_str());
    for (size_t m = 1; m < index[k].size(); m++)
      if (!(index[k][m] > index[k][m - 1])) input_error(file, a->line, "%s: the breakpoints do not increase", key.c_str());
    for (double &x : index[k]) x *= axes[k] == AXIS_SLEW ? u.time_ps : u.cap_ff;
  }
  const Attribute *va = g.attribute("values");
  if (!va) input_error(file, g.line, "%s: no values", g.type.c_str());
  std::vector<double> raw = number_list(*va, file);
  size_t expect = 1;
  for (const auto &ix : index) expect *= ix.size();
  if (raw.size() != expect)
    input_error(file, va->line, "%s: %zu values where the indices call for %zu", g.type.c_str(), raw.size(), expect);
  for (double &x : raw) x *= u.time_ps;
  // Store slew-major whatever the template's order.
  for (size_t k = 0; k < axes.size(); k++) (axes[k] == AXIS_SLEW ? t.slew : t.load) = index[k];
  if (axes.size() == 2 && axes[0] == AXIS_LOAD) {
    const size_t nl = index[0].size(), ns = index[1].size();
    t.values.resize(raw.size());
    for (size_t a = 0; a < nl; a++)
      for (size_t b = 0; b < ns; b++) t.values[b * nl + a] = raw[a * ns + b];
  } else {
    t.values = std::move(raw);
  }
  return t;
}

// "(A)", " A " -> "A".
std::string bare_function(std::string f) {
  std::string s;
  for (char c : f)
    if (c != ' ' && c != '\t') s.push_back(c);
  while (s.size() >= 2 && s.front() == '(' && s.back() == ')') {
    int depth = 0;
    bool outer = true;  // the first '(' closes at the end
    for (size_t k = 0; k + 1 < s.size(); k++) {
      depth += s[k] == '(' ? 1 : s[k] == ')' ? -1 : 0;
      if (depth == 0) outer = false;
    }
    if (!outer) break;
    s = s.substr(1, s.size() - 2);
  }
  return s;
}

bool is_true(const std::string &s) { return lower(s) == "true"; }

}  // namespace

CellScan find_buffers(const Group &lib, const std::string &file) {
  CellScan scan;
  scan.library = lib.name();
  scan.units = library_units(lib, file);
  const Units &u = scan.units;
  const std::string oc = lib.text("default_operating_conditions");
  for (const Group &g : lib.groups) {
    if (g.type != "operating_conditions" || (!oc.empty() && g.name() != oc)) continue;
    scan.corner = g.name();
    std::string parts;
    for (const char *k : {"process", "voltage", "temperature"}) {
      const std::string v = g.text(k);
      if (v.empty()) continue;
      parts += std::string(parts.empty() ? "" : ", ") + k + " " + v;
    }
    if (!parts.empty()) scan.corner += " (" + parts + ")";
    break;
  }
  if (scan.corner.empty()) {
    std::string parts;
    for (const char *k : {"nom_process", "nom_voltage", "nom_temperature"}) {
      const std::string v = lib.text(k);
      if (!v.empty()) parts += std::string(parts.empty() ? "" : ", ") + (k + 4) + " " + v;
    }
    scan.corner = parts;
  }
  double default_input_cap = 0.0, default_max_cap = -1.0;
  if (const Attribute *a = lib.attribute("default_input_pin_cap"))
    default_input_cap = number_of(a->values[0].text, file, a->line, a->name.c_str()) * u.cap_ff;
  if (const Attribute *a = lib.attribute("default_max_capacitance"))
    default_max_cap = number_of(a->values[0].text, file, a->line, a->name.c_str()) * u.cap_ff;

  for (const Group &cell : lib.groups) {
    if (cell.type != "cell") continue;
    const std::string name = cell.name();
    auto skip = [&](const std::string &why) { scan.skipped.push_back({name, why, cell.line}); };
    if (is_true(cell.text("dont_use", "false"))) {
      skip("marked dont_use");
      continue;
    }
    std::string sequential;
    const Group *in = nullptr, *out = nullptr;
    int inputs = 0, outputs = 0, others = 0;
    for (const Group &p : cell.groups) {
      if (p.type == "ff" || p.type == "latch" || p.type == "ff_bank" || p.type == "latch_bank" || p.type == "statetable")
        sequential = p.type;
      if (p.type == "bus" || p.type == "bundle") others++;
      if (p.type != "pin") continue;
      const std::string dir = p.text("direction");
      const int names = static_cast<int>(std::max<size_t>(1, p.args.size()));
      if (dir == "input") {
        inputs += names;
        in = &p;
      } else if (dir == "output") {
        outputs += names;
        out = &p;
      } else if (dir != "internal") {
        others += names;
      }
    }
    if (!sequential.empty()) {
      skip("sequential (" + sequential + ")");
      continue;
    }
    if (inputs != 1 || outputs != 1 || others != 0) {
      skip(std::to_string(inputs) + " input and " + std::to_string(outputs) + " output pins" +
           (others ? " and " + std::to_string(others) + " other pins or buses" : ""));
      continue;
    }
    const std::string a = in->name(), x = out->name();
    if (out->attribute("three_state")) {
      skip("tristate output");
      continue;
    }
    const std::string function = out->text("function");
    if (function.empty()) {
      skip("output " + x + " has no function");
      continue;
    }
    if (bare_function(function) != a) {
      skip("function " + x + " = " + function + " is not a copy of " + a);
      continue;
    }
    const Group *arc = nullptr;
    for (const Group &t : out->groups)
      if (t.type == "timing" && t.text("related_pin") == a) {
        const std::string type = t.text("timing_type", "combinational");
        const std::string sense = t.text("timing_sense", "positive_unate");
        if (type != "combinational" && type != "combinational_rise" && type != "combinational_fall") continue;
        if (sense != "positive_unate") continue;
        arc = &t;
        break;
      }
    if (!arc) {
      skip("no positive-unate combinational timing arc from " + a + " to " + x);
      continue;
    }
    BufferCell b;
    b.name = name;
    b.input = a;
    b.output = x;
    b.line = cell.line;
    bool have_rise = false, have_fall = false;
    for (const Group &t : arc->groups) {
      if (t.type == "cell_rise") {
        b.rise = read_table(lib, t, u, file);
        have_rise = true;
      } else if (t.type == "cell_fall") {
        b.fall = read_table(lib, t, u, file);
        have_fall = true;
      }
    }
    if (!have_rise && !have_fall) {
      skip("no cell_rise or cell_fall table on the arc from " + a + " to " + x);
      continue;
    }
    if (!have_rise) b.rise = b.fall;
    if (!have_fall) b.fall = b.rise;
    const Attribute *rc = in->attribute("rise_capacitance"), *fc = in->attribute("fall_capacitance"),
                    *cc = in->attribute("capacitance");
    if (rc && fc)
      b.input_cap = std::max(number_of(rc->values[0].text, file, rc->line, rc->name.c_str()),
                             number_of(fc->values[0].text, file, fc->line, fc->name.c_str())) * u.cap_ff;
    else if (cc)
      b.input_cap = number_of(cc->values[0].text, file, cc->line, cc->name.c_str()) * u.cap_ff;
    else
      b.input_cap = default_input_cap;
    if (const Attribute *ar = cell.attribute("area")) {
      b.area = number_of(ar->values[0].text, file, ar->line, "area");
      b.has_area = true;
    }
    b.max_cap = default_max_cap;
    if (const Attribute *mc = out->attribute("max_capacitance"))
      b.max_cap = number_of(mc->values[0].text, file, mc->line, "max_capacitance") * u.cap_ff;
    if (b.input_cap < 0.0 || b.area < 0.0)
      input_error(file, cell.line, "cell %s: negative input capacitance or area", name.c_str());
    scan.buffers.push_back(std::move(b));
  }
  return scan;
}

// ---- The line fit ----

Fit fit_buffer(const BufferCell &cell, double slew, double max_load, const std::string &file) {
  const double limit = max_load > 0.0 ? max_load : cell.max_cap >= 0.0 ? cell.max_cap : HUGE_VAL;
  std::vector<double> loads = cell.rise.load;
  loads.insert(loads.end(), cell.fall.load.begin(), cell.fall.load.end());
  std::sort(loads.begin(), loads.end());
  loads.erase(std::unique(loads.begin(), loads.end(),
                          [](double p, double q) { return std::fabs(p - q) <= 1e-12 * std::max(std::fabs(p), std::fabs(q)); }),
              loads.end());
  const bool load_free = loads.empty();
  if (load_free) loads.push_back(0.0);
  std::vector<double> xs, ys;
  for (double c : loads) {
    if (c > limit * (1.0 + 1e-6)) continue;  // the table's last point is often the limit itself, rounded
    xs.push_back(c);
    ys.push_back(std::max(cell.rise.at(slew, c), cell.fall.at(slew, c)));
  }
  if (xs.empty())
    input_error(file, cell.line, "cell %s: no load point of its delay tables is at or below the load limit %g fF",
                cell.name.c_str(), limit);
  for (size_t k = 0; k < xs.size(); k++)
    if (!std::isfinite(xs[k]) || !std::isfinite(ys[k]))
      input_error(file, cell.line, "cell %s: a delay or load beyond the range of numbers after the unit conversion",
                  cell.name.c_str());
  Fit f;
  f.points = static_cast<int>(xs.size());
  const double n = static_cast<double>(xs.size());
  double mx = 0.0, my = 0.0;
  for (size_t k = 0; k < xs.size(); k++) {
    mx += xs[k] / n;
    my += ys[k] / n;
  }
  double sxx = 0.0, sxy = 0.0;
  for (size_t k = 0; k < xs.size(); k++) {
    sxx += (xs[k] - mx) * (xs[k] - mx);
    sxy += (xs[k] - mx) * (ys[k] - my);
  }
  const double slope = sxx > 0.0 ? sxy / sxx : 0.0;  // ps per fF
  if (!std::isfinite(my) || !std::isfinite(slope))
    input_error(file, cell.line, "cell %s: the fitted line is beyond the range of numbers", cell.name.c_str());
  f.intrinsic = my - slope * mx;
  f.resistance = slope * 1000.0;  // ps/fF = 1e-12 s / 1e-15 F = 1000 ohm
  for (size_t k = 0; k < xs.size(); k++) {
    const double e = ys[k] != 0.0 ? std::fabs(f.intrinsic + slope * xs[k] - ys[k]) / std::fabs(ys[k]) : 0.0;
    if (e > f.worst_error || k == 0) {
      f.worst_error = e;
      f.worst_load = xs[k];
    }
  }
  return f;
}

}  // namespace liberty
