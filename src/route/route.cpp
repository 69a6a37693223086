// bufins-route's readers, net shaping and writer (see route.h).
//
// The three inputs are told apart by their first meaningful line: a routed
// tree opens with its title and a quoted section name ("tree0) or a "move"
// record, a sink list with "Key : value" lines (NumPins, PerUnitResistance,
// Sink, ...), a pin file with the net file's keywords. Numbers are read with
// the net reader's own parsers, so a figure means the same to both programs.
//
// A routed tree gives each wire's routed length, which may exceed the
// rectilinear distance between its ends (a snaking wire that balances a clock
// tree's delays). The net format knows only distances, so such a wire gets a
// detour node beside its lower end, placed so that the two pieces add up to
// the routed length. The file prints lengths and coordinates rounded, so a
// length within that rounding of the distance is the distance.
#include "route.h"

#include <algorithm>
#include <charconv>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <string_view>

#include "def.h"
#include "io.h"
#include "text_format.h"

namespace route {

using steiner::manhattan;
using steiner::Point;

namespace {

constexpr double MAX_MAGNITUDE = 1e60;  // as the net reader accepts

struct Line {
  const char *b;
  const char *e;
  long number;
};

inline bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Non-empty lines without their end-of-line characters; a byte-order mark
// before the first line is skipped.
std::vector<Line> split_lines(const std::string &text) {
  std::vector<Line> lines;
  const char *p = text.data(), *end = p + text.size();
  if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) p += 3;
  long number = 1;
  while (p < end) {
    const char *nl = static_cast<const char *>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
    const char *e = nl ? nl : end;
    const char *t = e;
    while (t > p && t[-1] == '\r') t--;
    if (t > p) lines.push_back({p, t, number});
    number++;
    p = nl ? nl + 1 : end;
  }
  return lines;
}

inline bool starts_with(const Line &l, const char *word) {
  const size_t n = std::strlen(word);
  return static_cast<size_t>(l.e - l.b) >= n && std::memcmp(l.b, word, n) == 0;
}

const char *skip_blanks(const char *p, const char *end) {
  while (p < end && is_space(*p)) p++;
  return p;
}

// Digits after the decimal point of the number at [p, end).
int decimals(const char *p, const char *end) {
  p = skip_blanks(p, end);
  while (p < end && !is_space(*p) && *p != '.') p++;
  if (p == end || *p != '.') return 0;
  int n = 0;
  for (p++; p < end && *p >= '0' && *p <= '9'; p++) n++;
  return n;
}

// Numbers of one line, taken in turn after the part already read.
struct Scanner {
  const std::string &file;
  long line;
  // What the line is ("sink line", "KEY line"), put together only for a
  // message: a sink list has a few lines a sink.
  const std::string_view *key;
  const char *kind;
  const char *p;
  const char *end;

  Scanner(const std::string &f, const Line &l, const char *w, const char *from)
      : file(f), line(l.number), key(nullptr), kind(w), p(from), end(l.e) {}
  Scanner(const std::string &f, const Line &l, const std::string_view &k, const char *w, const char *from)
      : file(f), line(l.number), key(&k), kind(w), p(from), end(l.e) {}

  std::string what_text() const { return key ? std::string(*key) + kind : std::string(kind); }

  // Skips the first word (the keyword).
  Scanner &after_keyword() {
    p = skip_blanks(p, end);
    while (p < end && !is_space(*p)) p++;
    return *this;
  }

  bool done() const { return skip_blanks(p, end) == end; }

  double real(const char *field) {
    double v;
    const char *stop = parse_real(p, end, &v);
    if (stop == p) input_error(file, line, "%s: missing or unreadable %s", what_text().c_str(), field);
    if (!std::isfinite(v) || std::fabs(v) > MAX_MAGNITUDE)
      input_error(file, line, "%s: %s is not a finite number of magnitude up to %g", what_text().c_str(), field,
                  MAX_MAGNITUDE);
    p = stop;
    return v;
  }

  double non_negative(const char *field) {
    double v = real(field);
    if (v < 0.0) input_error(file, line, "%s: %s must not be negative", what_text().c_str(), field);
    return v;
  }

  long integer(const char *field, long lo, long hi) {
    long v;
    bool overflow;
    const char *stop = parse_integer(p, end, &v, &overflow);
    if (stop == p || (stop < end && !is_space(*stop)))
      input_error(file, line, "%s: missing or unreadable %s (an integer)", what_text().c_str(), field);
    if (overflow || v < lo || v > hi) input_error(file, line, "%s: %s must be from %ld to %ld", what_text().c_str(), field, lo, hi);
    p = stop;
    return v;
  }
};

// ---- Pin files ----

void read_pin_file(const std::vector<Line> &lines, Input &in, const Warn &warn) {
  const std::string &name = in.name;
  long driver_line = 0;
  bool warned_routing = false;
  std::map<int, long> sink_line;
  for (const Line &l : lines) {
    if (starts_with(l, "wire_re") || starts_with(l, "wire_ca")) {
      const bool res = l.b[5] == 'r';
      Scanner s(name, l, res ? "wire resistance line" : "wire capacitance line", l.b);
      double v = s.after_keyword().non_negative(res ? "resistance per unit length" : "capacitance per unit length");
      std::optional<double> &slot = res ? in.r0 : in.c0;
      if (slot && warn)
        warn(name + ":" + std::to_string(l.number) + ": a second " +
                           (res ? "wire_res_per_unit" : "wire_cap_per_unit") + " line: its value " + figure(v) +
                           " is used, as bufins would");
      slot = v;
    } else if (starts_with(l, "driv")) {
      if (driver_line)
        input_error(name, l.number, "driver line: a second driver line (the first is at line %ld)", driver_line);
      driver_line = l.number;
      Scanner s(name, l, "driver line", l.b);
      s.after_keyword();
      Point d;
      d.x = s.real("x coordinate");
      d.y = s.real("y coordinate");
      in.driver = d;
      in.driver_res = s.non_negative("driver output resistance");
      // Named fields as the net reader takes them; the driver's max_cap is
      // carried into the net.
      while (!s.done()) {
        const char *w = skip_blanks(s.p, s.end), *we = w;
        while (we < s.end && !is_space(*we)) we++;
        s.p = we;
        const char *eq = static_cast<const char *>(std::memchr(w, '=', static_cast<size_t>(we - w)));
        if (!eq) continue;
        const std::string key(w, eq), value(eq + 1, we);
        if (key != "max_cap") input_error(name, l.number, "driver line: unknown field %s (known: max_cap)", key.c_str());
        double v;
        const char *stop = parse_real(value.c_str(), value.c_str() + value.size(), &v);
        if (value.empty() || stop != value.c_str() + value.size() || std::isnan(v) || v < 0.0)
          input_error(name, l.number, "driver line: max_cap=%s is not a non-negative number", value.c_str());
        if (!(v <= MAX_MAGNITUDE))
          input_error(name, l.number, "driver line: max_cap=%s exceeds %g, the largest magnitude read", value.c_str(),
                      MAX_MAGNITUDE);
        in.driver_max_cap = v;
      }
    } else if (starts_with(l, "sink")) {
      Scanner s(name, l, "sink line", l.b);
      s.after_keyword();
      Sink k;
      k.line = l.number;
      k.index = static_cast<int>(s.integer("index", INT_MIN, INT_MAX));
      if (k.index == 0) input_error(name, l.number, "sink line: index 0 is the driver's; sinks need another");
      k.x = s.real("x coordinate");
      k.y = s.real("y coordinate");
      k.cap = s.non_negative("load capacitance");
      const bool timed = !s.done();
      if (timed) k.time = s.real("required arrival time");
      auto [at, fresh] = sink_line.emplace(k.index, l.number);
      if (!fresh) input_error(name, l.number, "sink line: index %d is already used by the sink at line %ld", k.index, at->second);
      in.sinks.push_back(k);
      in.sink_has_time.push_back(timed);
    } else if ((starts_with(l, "cand") || starts_with(l, "edge")) && !warned_routing) {
      warned_routing = true;
      if (warn)
        warn(name + ":" + std::to_string(l.number) +
                         ": candidate and edge lines are ignored: the sinks are routed anew");
    }
  }
  if (in.sinks.empty()) input_error(name, 0, "no sink line: a pin file needs at least one sink");
}

// ---- Public sink lists ----

// "Key : value" with the key's blanks trimmed (a view into the line); false
// when the line has no ':'.
bool key_value(const Line &l, std::string_view &key, const char **value) {
  const char *colon = static_cast<const char *>(std::memchr(l.b, ':', static_cast<size_t>(l.e - l.b)));
  if (!colon) return false;
  const char *kb = skip_blanks(l.b, colon), *ke = colon;
  while (ke > kb && is_space(ke[-1])) ke--;
  key = std::string_view(kb, static_cast<size_t>(ke - kb));
  *value = colon + 1;
  return true;
}

// key == word without a call per word: a sink list has a few lines a sink,
// each compared with up to seven keys.
template <size_t N>
inline bool is_key(const std::string_view &key, const char (&word)[N]) {
  return key.size() == N - 1 && std::memcmp(key.data(), word, N - 1) == 0;
}

bool is_sink_list_key(const std::string_view &key) {
  return is_key(key, "NumPins") || is_key(key, "PerUnitResistance") || is_key(key, "PerUnitCapacitance") || is_key(key, "Sink");
}

// A sink list's value in the net's unit: the file's value (farads, seconds,
// farads per unit length) divided by `unit`, which must stay within the
// magnitude the net reader accepts.
double in_net_unit(const std::string &file, long line, const char *field, double value, double unit,
                   const char *option) {
  const double v = value / unit;
  if (!(v <= MAX_MAGNITUDE))
    input_error(file, line, "%s %g is %g in the net's unit (%s %g), beyond the magnitude %g a net may hold", field,
                value, v, option, unit, MAX_MAGNITUDE);
  return v;
}

void read_sink_list(const std::vector<Line> &lines, Input &in, double cap_unit, double time_unit) {
  const std::string &name = in.name;
  long pins_line = 0, pins = -1;
  std::map<long, long> id_line;
  long top_id = -1;
  std::vector<long> coordinate_line, load_line;
  for (const Line &l : lines) {
    if (*l.b == '#') continue;
    std::string_view key;
    const char *value;
    if (!key_value(l, key, &value)) continue;
    Scanner s(name, l, key, " line", value);
    if (is_key(key, "NumPins")) {
      pins_line = l.number;
      pins = s.integer("pin count", 0, MAX_NODES);
    } else if (is_key(key, "PerUnitResistance")) {
      in.r0 = s.non_negative("resistance per unit length");
    } else if (is_key(key, "PerUnitCapacitance")) {
      in.c0 = in_net_unit(name, l.number, "capacitance per unit length",
                          s.non_negative("capacitance per unit length"), cap_unit, "--cap-unit");
    } else if (is_key(key, "Sink")) {
      const long id = s.integer("sink id", 0, INT_MAX - 1);
      // Ids above every one before are new (lists number their sinks in
      // order); the map of ids to lines is made only for a list that does not.
      if (id > top_id && id_line.empty()) {
        top_id = id;
      } else {
        if (id_line.empty())
          for (const Sink &k : in.sinks) id_line.emplace(k.index - 1, k.line);
        auto [at, fresh] = id_line.emplace(id, l.number);
        if (!fresh) input_error(name, l.number, "Sink line: sink %ld is already listed at line %ld", id, at->second);
      }
      Sink k;
      k.index = static_cast<int>(id + 1);
      k.line = l.number;
      in.sinks.push_back(k);
      in.sink_has_time.push_back(false);
      in.downstream.push_back(0.0);
      coordinate_line.push_back(0);
      load_line.push_back(0);
    } else if (is_key(key, "Coordinate") || is_key(key, "Capacitive Load") || is_key(key, "Downstream_Delay")) {
      if (in.sinks.empty()) input_error(name, l.number, "%s line before the first Sink line", std::string(key).c_str());
      Sink &k = in.sinks.back();
      if (is_key(key, "Coordinate")) {
        if (coordinate_line.back()) input_error(name, l.number, "Coordinate line: sink %d already has one at line %ld", k.index - 1, coordinate_line.back());
        coordinate_line.back() = l.number;
        k.x = s.real("x coordinate");
        k.y = s.real("y coordinate");
      } else if (is_key(key, "Capacitive Load")) {
        if (load_line.back()) input_error(name, l.number, "Capacitive Load line: sink %d already has one at line %ld", k.index - 1, load_line.back());
        load_line.back() = l.number;
        k.cap = in_net_unit(name, l.number, "load (farad)", s.non_negative("load (farad)"), cap_unit, "--cap-unit");
      } else {
        in.downstream.back() = in_net_unit(name, l.number, "delay (second)", s.non_negative("delay (second)"),
                                           time_unit, "time unit");
      }
    }
  }
  if (in.sinks.empty()) input_error(name, 0, "no Sink line: the sink list is empty");
  for (size_t i = 0; i < in.sinks.size(); i++) {
    if (!coordinate_line[i]) input_error(name, in.sinks[i].line, "sink %d has no Coordinate line", in.sinks[i].index - 1);
    if (!load_line[i]) input_error(name, in.sinks[i].line, "sink %d has no Capacitive Load line", in.sinks[i].index - 1);
  }
  if (pins >= 0 && pins != static_cast<long>(in.sinks.size()))
    input_error(name, pins_line, "NumPins says %ld, but the file lists %zu sinks", pins, in.sinks.size());
}

// ---- Routed trees ----

// The number after `tag` ("id:", "par:", ...) on the line, or throws.
const char *field_at(const std::string &name, const Line &l, const char *tag) {
  const size_t n = std::strlen(tag);
  for (const char *p = l.b; p + n <= l.e; p++)
    if (std::memcmp(p, tag, n) == 0 && (p == l.b || is_space(p[-1]))) return p + n;
  input_error(name, l.number, "move line: no %s field", tag);
}

void read_routed_tree(const std::vector<Line> &lines, Input &in) {
  const std::string &name = in.name;
  struct Record {
    RoutedNode node;
    int parent_id;
    long children[2];
    Point above;        // the parent's place, from the record's last line
    bool has_above = false;
    int decimals_xy, decimals_above, decimals_len;
  };
  std::vector<Record> records;
  bool in_tree = false, seen_tree = false;
  for (const Line &l : lines) {
    if (*l.b == '"') {
      if (seen_tree && in_tree) break;  // the section after the tree
      in_tree = starts_with(l, "\"tree");
      seen_tree = seen_tree || in_tree;
      continue;
    }
    if (!in_tree) continue;
    if (starts_with(l, "move")) {
      Record r{};
      r.node.line = l.number;
      Scanner s(name, l, "move line", l.b);
      s.after_keyword();
      r.decimals_xy = decimals(s.p, s.end);
      r.node.x = s.real("x coordinate");
      r.decimals_xy = std::min(r.decimals_xy, decimals(s.p, s.end));
      r.node.y = s.real("y coordinate");
      Scanner id(name, l, "move line", field_at(name, l, "id:"));
      r.node.id = static_cast<int>(id.integer("id", 0, INT_MAX - 1));
      Scanner kids(name, l, "move line", field_at(name, l, "child:"));
      r.children[0] = kids.integer("first child", -1, INT_MAX - 1);
      r.children[1] = kids.integer("second child", -1, INT_MAX - 1);
      Scanner par(name, l, "move line", field_at(name, l, "par:"));
      r.parent_id = static_cast<int>(par.integer("parent", -1, INT_MAX));
      const char *len = field_at(name, l, "len:");
      r.decimals_len = decimals(len, l.e);
      Scanner ls(name, l, "move line", len);
      r.node.length = ls.real("routed length");
      if (r.node.length < 0.0) {
        if (r.node.length < -0.5 * std::pow(10.0, -r.decimals_len))
          input_error(name, l.number, "move line: the routed length %s is negative", figure(r.node.length).c_str());
        r.node.length = 0.0;  // "-0.0": a wire of no length
      }
      records.push_back(r);
    } else if (is_space(*l.b) && !records.empty()) {
      Scanner s(name, l, "route line", l.b);
      Record &r = records.back();
      r.decimals_above = decimals(s.p, s.end);
      r.above.x = s.real("x coordinate");
      r.decimals_above = std::min(r.decimals_above, decimals(s.p, s.end));
      r.above.y = s.real("y coordinate");
      r.has_above = true;
    }
  }
  if (!seen_tree) input_error(name, 0, "no \"tree section: not a routed tree");
  if (records.empty()) input_error(name, 0, "the \"tree section holds no move line");

  std::map<int, int> position;
  for (size_t i = 0; i < records.size(); i++) {
    auto [at, fresh] = position.emplace(records[i].node.id, static_cast<int>(i));
    if (!fresh)
      input_error(name, records[i].node.line, "move line: id %d is already used at line %ld", records[i].node.id,
                  records[at->second].node.line);
  }
  // Records whose parent is no record hang from the source (the driver),
  // which may have more than one.
  std::vector<int> roots;
  for (size_t i = 0; i < records.size(); i++) {
    Record &r = records[i];
    auto p = position.find(r.parent_id);
    if (p == position.end()) {
      if (!roots.empty() && r.parent_id != records[roots[0]].parent_id)
        input_error(name, r.node.line, "move line: parent %d is no node of the tree, nor the source %d named at line %ld",
                    r.parent_id, records[roots[0]].parent_id, records[roots[0]].node.line);
      if (!r.has_above) input_error(name, r.node.line, "move line: the record gives no place for the source");
      if (!roots.empty() && manhattan(r.above, records[roots[0]].above) > 0)
        input_error(name, r.node.line, "move line: the source lies at %s %s here but at %s %s at line %ld",
                    figure(r.above.x).c_str(), figure(r.above.y).c_str(), figure(records[roots[0]].above.x).c_str(),
                    figure(records[roots[0]].above.y).c_str(), records[roots[0]].node.line);
      roots.push_back(static_cast<int>(i));
    } else {
      r.node.parent = p->second;
      const Record &up = records[p->second];
      if (up.children[0] != r.node.id && up.children[1] != r.node.id)
        input_error(name, r.node.line, "move line: node %d names parent %d, which does not name it as a child",
                    r.node.id, r.parent_id);
    }
    for (long c : r.children)
      if (c >= 0 && position.find(static_cast<int>(c)) == position.end())
        input_error(name, r.node.line, "move line: child %ld is no node of the tree", c);
  }
  if (roots.empty()) input_error(name, records[0].node.line, "move line: no root (every node names a parent in the tree)");
  // Every record must hang below the source: walk down and count.
  std::vector<std::vector<int>> below(records.size());
  for (size_t i = 0; i < records.size(); i++)
    if (records[i].node.parent >= 0) below[records[i].node.parent].push_back(static_cast<int>(i));
  std::vector<int> stack(roots);
  size_t reached = 0;
  while (!stack.empty()) {
    const int v = stack.back();
    stack.pop_back();
    reached++;
    for (int c : below[v]) stack.push_back(c);
  }
  if (reached != records.size()) input_error(name, 0, "the move lines do not form one tree (a cycle among them)");

  in.driver = records[roots[0]].above;
  for (size_t i = 0; i < records.size(); i++) {
    Record &r = records[i];
    const Record *up = r.node.parent >= 0 ? &records[r.node.parent] : nullptr;
    const int up_decimals = up ? up->decimals_xy : r.decimals_above;
    // Half a unit of the last printed digit of the length and of each of the
    // four coordinates.
    r.node.slack = 0.5 * std::pow(10.0, -r.decimals_len) + 2.0 * std::pow(10.0, -std::min(r.decimals_xy, up_decimals));
    if (below[i].empty()) {
      Sink k;
      k.index = r.node.id + 1;
      k.x = r.node.x;
      k.y = r.node.y;
      k.line = r.node.line;
      r.node.sink = static_cast<int>(in.sinks.size());
      in.sinks.push_back(k);
      in.sink_has_time.push_back(false);
      in.downstream.push_back(0.0);
    }
    in.routed.push_back(r.node);
  }
  // Sinks by number, as a sink list lists them.
  std::vector<int> by_index(in.sinks.size());
  for (size_t i = 0; i < by_index.size(); i++) by_index[i] = static_cast<int>(i);
  std::sort(by_index.begin(), by_index.end(), [&](int a, int b) { return in.sinks[a].index < in.sinks[b].index; });
  std::vector<int> place(in.sinks.size());
  std::vector<Sink> sorted;
  for (size_t i = 0; i < by_index.size(); i++) {
    place[by_index[i]] = static_cast<int>(i);
    sorted.push_back(in.sinks[by_index[i]]);
  }
  in.sinks = std::move(sorted);
  for (RoutedNode &r : in.routed)
    if (r.sink >= 0) r.sink = place[r.sink];
}

}  // namespace

const char *kind_name(InputKind kind) {
  switch (kind) {
    case InputKind::PIN_FILE:
      return "pin file";
    case InputKind::SINK_LIST:
      return "sink list";
    case InputKind::ROUTED_TREE:
      return "routed tree";
  }
  return "?";
}

namespace {

// figure(v) written at p; returns the end.
char *put_figure(char *p, double v) {
  if (v == 0.0) {
    *p = '0';
    return p + 1;
  }
  return format_general15(p, v);
}

}  // namespace

std::string figure(double v) {
  char buf[GENERAL15_MAX_CHARS];
  return std::string(buf, put_figure(buf, v));
}

Input read_input(const std::string &text, const std::string &name, double cap_unit, double time_unit,
                 const Warn &warn) {
  Input in;
  in.name = name;
  const std::vector<Line> lines = split_lines(text);
  bool known = false;
  for (const Line &l : lines) {
    if (*l.b == '#') continue;
    std::string_view key;
    const char *value;
    if (*l.b == '"' || starts_with(l, "move") || starts_with(l, "TitleText")) {
      in.kind = InputKind::ROUTED_TREE;
    } else if (key_value(l, key, &value) && is_sink_list_key(key)) {
      in.kind = InputKind::SINK_LIST;
    } else if (starts_with(l, "driv") || starts_with(l, "sink") || starts_with(l, "wire_re") ||
               starts_with(l, "wire_ca")) {
      in.kind = InputKind::PIN_FILE;
    } else {
      continue;
    }
    known = true;
    break;
  }
  if (!known)
    input_error(name, 0,
                "neither a pin file, a sink list nor a routed tree (no driver or sink line, no NumPins or Sink line, "
                "no \"tree section)");
  switch (in.kind) {
    case InputKind::PIN_FILE:
      read_pin_file(lines, in, warn);
      in.downstream.assign(in.sinks.size(), 0.0);
      break;
    case InputKind::SINK_LIST:
      read_sink_list(lines, in, cap_unit, time_unit);
      break;
    case InputKind::ROUTED_TREE:
      read_routed_tree(lines, in);
      break;
  }
  return in;
}

void attach_loads(Input &tree, const Input &list) {
  std::map<int, const Sink *> by_index;
  std::map<int, size_t> position;
  for (size_t i = 0; i < list.sinks.size(); i++) {
    by_index[list.sinks[i].index] = &list.sinks[i];
    position[list.sinks[i].index] = i;
  }
  for (size_t i = 0; i < tree.sinks.size(); i++) {
    Sink &k = tree.sinks[i];
    auto it = by_index.find(k.index);
    if (it == by_index.end())
      input_error(tree.name, k.line, "sink %d of the routed tree is not in the sink list %s", k.index - 1, list.name.c_str());
    const Sink &s = *it->second;
    // The tree prints its places rounded; a sink further away than that is
    // another sink.
    const RoutedNode &r = *std::find_if(tree.routed.begin(), tree.routed.end(),
                                        [&](const RoutedNode &n) { return n.sink == static_cast<int>(i); });
    if (manhattan({s.x, s.y}, {k.x, k.y}) > r.slack)
      input_error(tree.name, k.line, "sink %d lies at %s %s in the routed tree but at %s %s in %s (line %ld)", k.index - 1,
                  figure(k.x).c_str(), figure(k.y).c_str(), figure(s.x).c_str(), figure(s.y).c_str(), list.name.c_str(),
                  s.line);
    k.cap = s.cap;
    tree.downstream[i] = list.downstream[position[k.index]];
  }
  if (list.sinks.size() != tree.sinks.size())
    input_error(list.name, 0, "the sink list holds %zu sinks, the routed tree %s %zu", list.sinks.size(),
                tree.name.c_str(), tree.sinks.size());
  if (!tree.r0) tree.r0 = list.r0;
  if (!tree.c0) tree.c0 = list.c0;
}

Shape routed_shape(const Input &in, const Point &driver) {
  Shape s;
  const size_t n = in.sinks.size();
  s.points.assign(n + 1, Point{});
  s.parent.assign(n + 1, -1);
  s.wire.assign(n + 1, 0.0);
  s.points[0] = driver;
  // Record position -> point: sinks keep their Input order, internal nodes follow.
  std::vector<int> point(in.routed.size());
  for (size_t i = 0; i < in.routed.size(); i++) {
    const RoutedNode &r = in.routed[i];
    if (r.sink >= 0) {
      point[i] = r.sink + 1;
      s.points[point[i]] = {in.sinks[r.sink].x, in.sinks[r.sink].y};
    } else {
      point[i] = static_cast<int>(s.points.size());
      s.points.push_back({r.x, r.y});
      s.parent.push_back(-1);
      s.wire.push_back(0.0);
    }
  }
  const bool source_kept = in.driver && *in.driver == driver;
  for (size_t i = 0; i < in.routed.size(); i++) {
    const RoutedNode &r = in.routed[i];
    const int v = point[i];
    const int u = r.parent >= 0 ? point[r.parent] : 0;
    s.parent[v] = u;
    const double d = manhattan(s.points[u], s.points[v]);
    if (r.parent < 0 && !source_kept) {
      s.wire[v] = d;  // the driver moved: its wire is a new one
      continue;
    }
    if (r.length < d - r.slack)
      input_error(in.name, r.line, "move line: the routed length %s is shorter than the distance %s between the wire's ends",
                  figure(r.length).c_str(), figure(d).c_str());
    s.wire[v] = r.length > d + r.slack ? r.length : d;
  }
  return s;
}

Shape steiner_shape(const Input &in, const Point &driver, double alpha, SteinerReport *report) {
  std::vector<Point> pins;
  pins.reserve(in.sinks.size() + 1);
  pins.push_back(driver);
  for (const Sink &k : in.sinks) pins.push_back({k.x, k.y});
  if (report) report->spanning_length = steiner::length({pins, static_cast<int>(pins.size()), steiner::spanning_tree(pins)});
  // At alpha 0 the Prim-Dijkstra pass would only retrace the Steiner tree.
  const steiner::Tree t =
      alpha > 0.0 ? steiner::timing_tree(steiner::steiner_tree(pins), 0, alpha) : steiner::steiner_tree(pins);
  Shape s;
  s.points = t.points;
  const size_t n = t.points.size();
  s.parent.assign(n, -1);
  s.wire.assign(n, 0.0);
  // The tree's neighbours of each point, in the order of the links:
  // adj[start[u] .. start[u + 1]).
  std::vector<int> start(n + 1, 0), adj(2 * t.links.size());
  for (const steiner::Link &l : t.links) start[l.first + 1]++, start[l.second + 1]++;
  for (size_t u = 0; u < n; u++) start[u + 1] += start[u];
  {
    std::vector<int> at(start.begin(), start.end() - 1);
    for (const steiner::Link &l : t.links) {
      adj[at[l.first]++] = l.second;
      adj[at[l.second]++] = l.first;
    }
  }
  std::vector<char> seen(n, 0);
  std::vector<int> queue{0};
  queue.reserve(n);
  seen[0] = 1;
  for (size_t head = 0; head < queue.size(); head++) {
    const int u = queue[head];
    for (int i = start[u]; i < start[u + 1]; i++)
      if (const int v = adj[i]; !seen[v]) {
        seen[v] = 1;
        s.parent[v] = u;
        s.wire[v] = manhattan(t.points[u], t.points[v]);
        queue.push_back(v);
      }
  }
  return s;
}

Net make_net(const Shape &shape, const Input &in, const NetRequest &req) {
  const int n_points = static_cast<int>(shape.points.size());
  const int n_sinks = static_cast<int>(in.sinks.size());
  Net net;
  net.sinks = n_sinks;
  // Every point a candidate node, every sink a node, a few more at
  // branching points: enough room without a pitch or detours.
  net.nodes.reserve(static_cast<size_t>(2 * n_points + n_sinks) + 2);
  auto add_node = [&](int type, const Point &p) {
    NetNode node;
    node.type = type;
    node.x = p.x;
    node.y = p.y;
    net.nodes.push_back(node);
    return static_cast<int>(net.nodes.size() - 1);
  };
  add_node(NODE_DRIVER, shape.points[0]);
  for (int i = 0; i < n_sinks; i++) add_node(NODE_SINK, shape.points[i + 1]);

  struct Wire {
    int from, to;
    double length;
  };
  std::vector<Wire> wires;
  wires.reserve(static_cast<size_t>(2 * n_points + n_sinks));
  // The node a wire from upstream enters at each point: a candidate node for
  // every point but the driver.
  std::vector<int> entry(static_cast<size_t>(n_points), 0);
  for (int p = 1; p < n_points; p++) entry[p] = add_node(NODE_CANDIDATE, shape.points[p]);
  // Each point's children in increasing order: child[first[p] .. first[p + 1]).
  std::vector<int> first(static_cast<size_t>(n_points) + 1, 0), child(static_cast<size_t>(std::max(n_points - 1, 0)));
  for (int p = 1; p < n_points; p++) first[shape.parent[p] + 1]++;
  for (int p = 0; p < n_points; p++) first[p + 1] += first[p];
  {
    std::vector<int> at(first.begin(), first.end() - 1);
    for (int p = 1; p < n_points; p++) child[at[shape.parent[p]]++] = p;
  }

  // What leaves each point (its sink behind a zero-length wire, the wires to
  // its children) hangs from a chain of candidate nodes there, two per node.
  std::vector<std::pair<int, double>> out;
  for (int p = 0; p < n_points; p++) {
    out.clear();
    if (p >= 1 && p <= n_sinks) out.push_back({p, 0.0});
    for (int i = first[p]; i < first[p + 1]; i++) out.push_back({entry[child[i]], shape.wire[child[i]]});
    int at;
    if (p == 0) {
      if (out.size() == 1) {
        wires.push_back({0, out[0].first, out[0].second});
        continue;
      }
      at = add_node(NODE_CANDIDATE, shape.points[0]);
      wires.push_back({0, at, 0.0});
    } else {
      at = entry[p];
    }
    for (size_t i = 0; i < out.size(); i++) {
      if (out.size() - i > 2) {
        wires.push_back({at, out[i].first, out[i].second});
        const int next = add_node(NODE_CANDIDATE, shape.points[p]);
        wires.push_back({at, next, 0.0});
        at = next;
      } else {
        wires.push_back({at, out[i].first, out[i].second});
      }
    }
  }

  // Detours, then the pitch. A wire's route runs vertically from its upper
  // end first, then horizontally, as bufins places segment nodes.
  auto fits = [&](size_t more) {
    if (net.nodes.size() + more > static_cast<size_t>(req.max_nodes))
      throw InputError("bufins-route", 0, "", "bufins-route: the net would have more than " + std::to_string(req.max_nodes) +
                           " nodes, the most bufins reads" + (req.pitch > 0 ? " (use a larger --pitch)" : ""),
                       ERROR_TO_STDERR, 2);
  };
  fits(0);
  std::vector<Wire> plain;
  plain.reserve(wires.size());
  for (const Wire &w : wires) {
    // Copies: add_node below may move the nodes.
    const Point a{net.nodes[w.from].x, net.nodes[w.from].y}, b{net.nodes[w.to].x, net.nodes[w.to].y};
    const double d = manhattan(a, b);
    if (w.length <= d) {
      plain.push_back({w.from, w.to, d});
      continue;
    }
    // Beside the lower end, away from the upper one: both pieces then add
    // the excess twice over their distance.
    const double excess = 0.5 * (w.length - d);
    fits(1);
    const Point bx{b.x, b.y >= a.y ? b.y + excess : b.y - excess};
    const int detour = add_node(NODE_CANDIDATE, bx);
    net.detours++;
    plain.push_back({w.from, detour, manhattan(a, bx)});
    plain.push_back({detour, w.to, excess});
  }
  if (req.pitch > 0) {
    // Counted in floating point: a pitch far below a wire's length gives a
    // piece count no integer type holds.
    double more = 0.0;
    for (const Wire &w : plain)
      if (w.length > req.pitch) more += std::ceil(w.length / req.pitch) - 1.0;
    fits(more <= static_cast<double>(req.max_nodes) ? static_cast<size_t>(more)
                                                    : static_cast<size_t>(req.max_nodes) + 1);
  }
  for (const Wire &w : plain) {
    const NetNode a = net.nodes[w.from], b = net.nodes[w.to];
    net.wire_length += w.length;
    const size_t pieces = req.pitch > 0 && w.length > req.pitch ? static_cast<size_t>(std::ceil(w.length / req.pitch)) : 1;
    int from = w.from;
    const double vertical = std::fabs(b.y - a.y);
    for (size_t k = 1; k < pieces; k++) {
      const double t = w.length * static_cast<double>(k) / static_cast<double>(pieces);
      Point q;
      if (t <= vertical)
        q = {a.x, a.y + (b.y >= a.y ? t : -t)};
      else
        q = {a.x + (b.x >= a.x ? t - vertical : vertical - t), b.y};
      const int mid = add_node(NODE_CANDIDATE, q);
      net.nodes[from].children.push_back(mid);
      from = mid;
    }
    net.nodes[from].children.push_back(w.to);
  }

  // Candidate nodes in pre-order from the driver, numbered after the sinks.
  long next = 1;
  for (const Sink &k : in.sinks) next = std::max(next, static_cast<long>(k.index) + 1);
  const size_t candidates = net.nodes.size() - 1 - static_cast<size_t>(n_sinks);
  if (next + static_cast<long>(candidates) - 1 > INT_MAX)
    input_error(in.name, 0, "the sinks' numbers leave no room to number %zu candidate nodes after them", candidates);
  std::vector<int> order, stack{0};
  order.reserve(net.nodes.size());
  stack.reserve(net.nodes.size());
  std::vector<double> path(net.nodes.size(), 0.0);
  while (!stack.empty()) {
    const int v = stack.back();
    stack.pop_back();
    order.push_back(v);
    const NetNode &node = net.nodes[v];
    for (auto c = node.children.rbegin(); c != node.children.rend(); ++c) {
      path[*c] = path[v] + manhattan({node.x, node.y}, {net.nodes[*c].x, net.nodes[*c].y});
      stack.push_back(*c);
    }
  }
  std::vector<int> where(net.nodes.size(), -1);
  std::vector<NetNode> sorted;
  sorted.reserve(net.nodes.size());
  for (int i = 0; i <= n_sinks; i++) {
    where[i] = i;
    sorted.push_back(std::move(net.nodes[i]));
  }
  sorted[0].index = 0;
  for (int i = 0; i < n_sinks; i++) {
    sorted[i + 1].index = in.sinks[i].index;
    net.longest_path = std::max(net.longest_path, path[i + 1]);
  }
  for (int v : order)
    if (v > n_sinks) {
      where[v] = static_cast<int>(sorted.size());
      sorted.push_back(std::move(net.nodes[v]));
      sorted.back().index = static_cast<int>(next++);
    }
  for (NetNode &node : sorted)
    for (int &c : node.children) c = where[c];
  net.nodes = std::move(sorted);
  return net;
}

std::string net_text(const Net &net, const Input &in, double r0, double c0, const Point &driver, double driver_res,
                     const std::vector<std::string> &header) {
  std::string out;
  out.reserve(64 * net.nodes.size() + 1024);
  for (const std::string &h : header) out += "# " + h + "\n";
  // Node and edge lines are put together in a line buffer: no string is made
  // per figure.
  char line[32 + 4 * GENERAL15_MAX_CHARS];
  auto text = [](char *p, const char *t) {
    const size_t n = std::strlen(t);
    std::memcpy(p, t, n);
    return p + n;
  };
  auto number = [](char *p, long long v) { return std::to_chars(p, p + 24, v).ptr; };
  char *p = text(line, "wire_res_per_unit ");
  p = text(put_figure(p, r0), "\nwire_cap_per_unit ");
  p = text(put_figure(p, c0), "\n\ndriver ");
  p = text(put_figure(p, driver.x), " ");
  p = text(put_figure(p, driver.y), " ");
  p = put_figure(p, driver_res);
  out.append(line, p);
  if (in.driver_max_cap) out += " max_cap=" + figure(*in.driver_max_cap);
  out += "\nnumber_of_sinks " + std::to_string(net.sinks) + "\n";
  for (int i = 0; i < net.sinks; i++) {
    const NetNode &node = net.nodes[i + 1];
    const Sink &k = in.sinks[i];
    p = text(number(text(line, "sink "), node.index), " ");
    p = text(put_figure(p, node.x), " ");
    p = text(put_figure(p, node.y), " ");
    p = text(put_figure(p, k.cap), " ");
    p = text(put_figure(p, k.time), "\n");
    out.append(line, p);
  }
  out += "\nnumber_of_candidate_nodes " + std::to_string(net.nodes.size() - 1 - static_cast<size_t>(net.sinks)) + "\n";
  for (size_t i = static_cast<size_t>(net.sinks) + 1; i < net.nodes.size(); i++) {
    const NetNode &node = net.nodes[i];
    p = text(number(text(line, "candidate "), node.index), " ");
    p = text(put_figure(p, node.x), " ");
    p = text(put_figure(p, node.y), "\n");
    out.append(line, p);
  }
  out += "\n";
  std::vector<int> stack{0};
  while (!stack.empty()) {
    const int v = stack.back();
    stack.pop_back();
    const NetNode &node = net.nodes[v];
    for (int c : node.children) {
      p = text(number(text(line, "edge "), node.index), " ");
      p = text(number(p, net.nodes[c].index), "\n");
      out.append(line, p);
    }
    for (auto c = node.children.rbegin(); c != node.children.rend(); ++c) stack.push_back(*c);
  }
  return out;
}

double round15(double v) {
  if (v == 0.0) return 0.0;  // figure() prints "0" for -0 too
  if (std::fabs(v) < 1e15 && v == std::trunc(v)) return v;
  char buf[GENERAL15_MAX_CHARS];
  const char *end = put_figure(buf, v);
  double back;
  parse_real(buf, end, &back);
  return back;
}

bufins::Net net_model(const Net &net, const Input &in, double r0, double c0, const Point &driver, double driver_res) {
  bufins::Net m;
  m.wire_resistance = round15(r0);
  m.wire_capacitance = round15(c0);
  m.driver_resistance = round15(driver_res);
  if (in.driver_max_cap) m.driver_max_cap = round15(*in.driver_max_cap);
  m.nodes.resize(net.nodes.size());
  for (size_t i = 0; i < net.nodes.size(); i++) {
    const NetNode &from = net.nodes[i];
    bufins::Node &to = m.nodes[i];
    to.index = from.index;
    to.x = round15(from.x);
    to.y = round15(from.y);
    if (i == 0) {
      to.kind = bufins::NodeKind::driver;
      to.x = round15(driver.x);
      to.y = round15(driver.y);
    } else if (i <= static_cast<size_t>(net.sinks)) {
      const Sink &k = in.sinks[i - 1];
      to.kind = bufins::NodeKind::sink;
      to.load = round15(k.cap);
      to.required = round15(k.time);
    } else {
      to.kind = bufins::NodeKind::candidate;
    }
  }
  // The edges in net_text's order: pre-order, both edges of a node first.
  m.edges.reserve(net.nodes.size());
  std::vector<int> stack{0};
  stack.reserve(net.nodes.size());
  while (!stack.empty()) {
    const int v = stack.back();
    stack.pop_back();
    const NetNode &node = net.nodes[v];
    for (int c : node.children) m.edges.push_back({node.index, net.nodes[c].index});
    for (auto c = node.children.rbegin(); c != node.children.rend(); ++c) stack.push_back(*c);
  }
  link_net_model(m, in.name);
  return m;
}

void warn_implausible(const Input &in, const Request &req, const std::string &program, const Warn &warn) {
  if (req.cap_unit > 1e-9 || req.cap_unit < 1e-18) {
    char text[256];
    std::snprintf(text, sizeof text,
                  "%s: warning: --cap-unit=%g: a capacitance unit of %g F is far from any real one (1e-15 for fF, "
                  "1e-12 for pF)",
                  program.c_str(), req.cap_unit, req.cap_unit);
    warn(text);
  }
  std::string unit;
  if (in.kind != InputKind::PIN_FILE) {
    char text[128];
    std::snprintf(text, sizeof text, "the net's capacitance unit, %g F (--cap-unit)", req.cap_unit);
    unit = text;
  }
  UnitCheck loads(Quantity::CAPACITANCE, "sink load capacitance");
  for (const Sink &k : in.sinks) loads.see(k.cap, k.line);
  loads.report(warn, in.name, unit);
  if (in.c0 && !req.wire_cap) {
    UnitCheck c0(Quantity::WIRE_CAP, "wire capacitance per unit length");
    c0.see(*in.c0, 0);
    c0.report(warn, in.name, unit.empty() ? unit : unit + " per length unit");
  }
}

// bufins-route's defaults, and the magnitude a net may hold (as the net reader accepts).
constexpr double DEFAULT_DRIVER_RES = 100.0;
constexpr double MAX_REQUIRED_MAGNITUDE = 1e60;

Routed route_net(Input &in, const Request &req, const std::string &written_by, const std::string &source) {
  const std::optional<double> r0 = req.wire_res ? req.wire_res : in.r0;
  const std::optional<double> c0 = req.wire_cap ? req.wire_cap : in.c0;
  if (!r0) input_error(in.name, 0, "no wire resistance per unit length: add a wire_res_per_unit line or give --wire-res=R");
  if (!c0) input_error(in.name, 0, "no wire capacitance per unit length: add a wire_cap_per_unit line or give --wire-cap=C");

  std::string driver_origin;
  steiner::Point driver;
  if (req.driver) {
    driver = *req.driver;
    driver_origin = "--driver";
  } else if (in.driver) {
    driver = *in.driver;
    driver_origin = in.kind == InputKind::ROUTED_TREE ? "the tree's source" : "the driver line";
  } else {
    driver = {in.sinks[0].x, in.sinks[0].y};
    for (const Sink &k : in.sinks) {
      driver.x = std::min(driver.x, k.x);
      driver.y = std::min(driver.y, k.y);
    }
    driver_origin = "the lower-left corner of the sinks' box";
  }
  const double driver_res = req.driver_res ? *req.driver_res : in.driver_res ? *in.driver_res : DEFAULT_DRIVER_RES;
  // Every sink gets a candidate node in front of it: the node bound is
  // known before any work.
  if (1 + 2 * in.sinks.size() > static_cast<size_t>(MAX_NODES)) {
    const std::string program = written_by.substr(0, written_by.find(' '));
    throw InputError(program, 0, "",
                     program + ": " + std::to_string(in.sinks.size()) + " sinks make a net of more than " +
                         std::to_string(MAX_NODES) +
                         " nodes (a sink and a candidate node in front of it each), the most bufins reads",
                     ERROR_TO_STDERR, 2);
  }
  for (size_t i = 0; i < in.sinks.size(); i++) {
    Sink &k = in.sinks[i];
    if (req.required)
      k.time = *req.required - in.downstream[i];
    else if (!in.sink_has_time[i] && in.kind == InputKind::PIN_FILE)
      input_error(in.name, k.line, "sink line: missing required arrival time (or give --required=T)");
    else if (!in.sink_has_time[i])
      k.time = -in.downstream[i];
    if (!(std::fabs(k.time) <= MAX_REQUIRED_MAGNITUDE))
      input_error(in.name, k.line, "the sink's required time less its Downstream_Delay is %g, beyond the magnitude %g a net may hold",
                  k.time, MAX_REQUIRED_MAGNITUDE);
  }

  const std::clock_t start = std::clock();  // processor time: other load on the machine does not count
  SteinerReport report;
  const Shape shape = in.kind == InputKind::ROUTED_TREE
                                 ? routed_shape(in, driver)
                                 : steiner_shape(in, driver, req.alpha, req.text ? &report : nullptr);
  NetRequest limits;
  limits.pitch = req.pitch;
  limits.max_nodes = MAX_NODES;
  const Net net = make_net(shape, in, limits);
  const double seconds = static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC;

  Routed out;
  out.net = net_model(net, in, *r0, *c0, driver, driver_res);
  out.sinks = in.sinks.size();
  out.nodes = net.nodes.size();
  out.wire_length = net.wire_length;
  out.longest_path = net.longest_path;
  out.seconds = seconds;
  if (!req.text) return out;

  std::vector<std::string> header;
  header.push_back("Written by " + written_by + " from " + source + " (" +
                   kind_name(in.kind) + "): " + std::to_string(in.sinks.size()) + " sinks, " +
                   std::to_string(net.nodes.size() - 1 - in.sinks.size()) + " candidate nodes.");
  if (in.kind == InputKind::ROUTED_TREE) {
    header.push_back("Tree: as routed; " + std::to_string(net.detours) +
                     " detour nodes keep wires longer than the distance between their ends at their routed length.");
  } else {
    char line[256];
    std::snprintf(line, sizeof line, "Tree: rectilinear Steiner tree, alpha %s (%s).", figure(req.alpha).c_str(),
                  req.alpha == 0.0 ? "shortest total length" : req.alpha == 1.0 ? "shortest paths from the driver" : "length traded for paths");
    header.push_back(line);
  }
  header.push_back("Candidate nodes at every junction, at the driver's child and in front of every sink" +
                   (req.pitch > 0 ? "; at most " + figure(req.pitch) + " apart along every wire." : std::string(".")));
  std::string lengths = "Wire length " + figure(net.wire_length);
  if (in.kind != InputKind::ROUTED_TREE && report.spanning_length > 0) {
    char pct[64];
    std::snprintf(pct, sizeof pct, "%.2f%%", 100.0 * (1.0 - net.wire_length / report.spanning_length));
    lengths += " (rectilinear minimum spanning tree " + figure(report.spanning_length) + ": " + pct + " shorter)";
  }
  lengths += "; longest driver-to-sink path " + figure(net.longest_path) + ".";
  header.push_back(lengths);
  header.push_back("Driver at " + figure(driver.x) + " " + figure(driver.y) + " (" + driver_origin + "), resistance " +
                   figure(driver_res) + (req.driver_res ? "" : in.driver_res ? " (the driver line)" : " (default)") + ".");
  if (in.kind != InputKind::PIN_FILE) {
    char units[256];
    std::snprintf(units, sizeof units,
                  "Units: capacitance in %g F, times in %g s (with resistance in ohms); required time %s at every sink.",
                  req.cap_unit, req.time_unit(), figure(req.required ? *req.required : 0.0).c_str());
    header.push_back(units);
  }
  out.text = net_text(net, in, *r0, *c0, driver, driver_res, header);
  return out;

}

}  // namespace route
