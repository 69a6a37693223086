// Readers, tree linker and checker, tree listing and final net writer.
//
// The readers keep a line number for every node and edge record so that a
// fault found after reading (a duplicate index, a third child, a cycle) can
// still be reported as "file:line: ...". Tree walks use explicit stacks: a net
// may be a chain of 1.6 million nodes.
#include "io.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>
#include <unordered_map>
#include <vector>

#include "wire_segment.h"

namespace {

constexpr double MAX_INPUT_MAGNITUDE = 1e60;

std::vector<long> node_line;  // net-file line of each node record read
std::vector<long> edge_line;  // net-file line of each edge record read

void vreport(const char *prefix, const char *format, va_list ap) {
  std::fflush(stdout);
  std::fputs(prefix, stderr);
  std::vfprintf(stderr, format, ap);
  std::fputc('\n', stderr);
}

// Calls handle(line, number) for every line of the stream that is not empty.
// Lines may have any length; a final line without a newline is handled too.
// A read error (a directory given as a file, say) must not pass for the end
// of an empty file.
template <typename Handler>
void for_each_line(FILE *in, const std::string &name, Handler handle) {
  std::vector<char> buf(1 << 16);
  std::string line;
  long number = 1;
  size_t got;
  while ((got = std::fread(buf.data(), 1, buf.size(), in)) > 0) {
    for (size_t i = 0; i < got; i++) {
      char ch = buf[i];
      if (ch != '\n') {
        line.push_back(ch);
        continue;
      }
      if (!line.empty()) handle(line, number);
      line.clear();
      number++;
    }
  }
  if (std::ferror(in)) input_error(name, 0, "cannot read the file: %s", std::strerror(errno));
  if (!line.empty()) handle(line, number);
}

// Field scanner over one line: the first word (the keyword) is skipped, then
// numbers are taken one by one, as a "%s %lf %d ..." scan would.
struct Fields {
  const std::string &file;
  long line;
  const char *what;  // "sink line", "buffer line", ...
  const char *p;

  Fields(const std::string &f, long l, const char *w, const std::string &text)
      : file(f), line(l), what(w), p(text.c_str()) {
    while (*p && std::isspace(static_cast<unsigned char>(*p))) p++;
    while (*p && !std::isspace(static_cast<unsigned char>(*p))) p++;
  }

  double real(const char *field) {
    char *end;
    double v = std::strtod(p, &end);
    if (end == p) input_error(file, line, "%s: missing or unreadable %s", what, field);
    if (!std::isfinite(v)) input_error(file, line, "%s: %s is not a finite number", what, field);
    // Elmore delays multiply up to four input figures and add them up over the
    // whole net; within this bound every intermediate value stays finite, so no
    // infinity or NaN can reach the ordered candidate structures.
    if (std::fabs(v) > MAX_INPUT_MAGNITUDE)
      input_error(file, line, "%s: %s is out of range (magnitude above %g)", what, field, MAX_INPUT_MAGNITUDE);
    p = end;
    return v;
  }

  // Resistances, capacitances and delays: the dominance of one candidate over
  // another assumes that none of them is negative.
  double non_negative(const char *field) {
    double v = real(field);
    if (v < 0.0) input_error(file, line, "%s: %s must not be negative", what, field);
    return v;
  }

  int integer(const char *field) {
    char *end;
    errno = 0;
    long v = std::strtol(p, &end, 10);
    if (end == p) input_error(file, line, "%s: missing or unreadable %s", what, field);
    if (errno == ERANGE || v < INT32_MIN || v > INT32_MAX)
      input_error(file, line, "%s: %s is out of range", what, field);
    // "1.5" would otherwise give index 1 and hand ".5" to the next field.
    if (*end != '\0' && !std::isspace(static_cast<unsigned char>(*end)))
      input_error(file, line, "%s: %s is not an integer", what, field);
    p = end;
    return static_cast<int>(v);
  }
};

// The two zero-index messages go to standard output, without the place.
[[noreturn]] void zero_index(const std::string &file, long line, const char *message) {
  throw InputError(file, line, message, message, ERROR_TO_STDOUT, 1);
}

bool starts_with(const std::string &line, const char *keyword) {
  return line.compare(0, std::strlen(keyword), keyword) == 0 && line.size() >= std::strlen(keyword);
}

Node blank_node(int index, double x, double y, int type) {
  Node n;
  n.index = index;
  n.x = x;
  n.y = y;
  n.type = type;
  n.cap = 0.0;
  n.time = 0.0;
  n.left = nullptr;
  n.right = nullptr;
  return n;
}

void add_node(const std::string &file, long line, const Node &n) {
  if (n_nodes >= MAX_NODES)
    input_error(file, line, "more than %d nodes: the net exceeds the node table", MAX_NODES);
  nodes.push_back(n);
  node_line.push_back(line);
  n_nodes++;
}

// Checks and links the net just read. The checks cover everything the two
// algorithms and the printers rely on without testing it themselves.
void check_and_link(const std::string &file) {
  if (n_nodes == 0 || nodes[0].type != NODE_DRIVER) input_error(file, 0, "no driver line");

  std::unordered_map<int, int> position;  // node index -> table position
  position.reserve(static_cast<size_t>(n_nodes) * 2);
  for (int i = 0; i < n_nodes; i++) {
    auto ins = position.emplace(nodes[i].index, i);
    if (!ins.second)
      input_error(file, node_line[i], "node index %d is already used by the node at line %ld",
                  nodes[i].index, node_line[ins.first->second]);
  }

  std::vector<int> parent_edge(n_nodes, -1);
  std::vector<int> children(n_nodes, 0);
  for (int e = 0; e < n_edges; e++) {
    const Edge &ed = edges[e];
    auto s = position.find(ed.s_index);
    auto t = position.find(ed.t_index);
    if (s == position.end())
      input_error(file, edge_line[e], "edge names node %d, which no node line defines", ed.s_index);
    if (t == position.end())
      input_error(file, edge_line[e], "edge names node %d, which no node line defines", ed.t_index);
    int sp = s->second, tp = t->second;
    if (nodes[sp].type == NODE_SINK)
      input_error(file, edge_line[e], "edge leaves sink %d: a sink cannot have children", ed.s_index);
    if (nodes[tp].type == NODE_DRIVER)
      input_error(file, edge_line[e], "edge leads into the driver (node 0)");
    if (parent_edge[tp] >= 0)
      input_error(file, edge_line[e], "node %d is already the child of the edge at line %ld",
                  ed.t_index, edge_line[parent_edge[tp]]);
    if (sp == tp) input_error(file, edge_line[e], "edge joins node %d to itself", ed.s_index);
    parent_edge[tp] = e;
    children[sp]++;
    if (nodes[sp].type == NODE_DRIVER && children[sp] > 1)
      input_error(file, edge_line[e], "the driver has a second child (node %d): it must drive exactly one node",
                  ed.t_index);
    if (children[sp] > 2)
      input_error(file, edge_line[e], "node %d has a third child (node %d): at most two are allowed",
                  ed.s_index, ed.t_index);
  }
  if (children[0] == 0) input_error(file, node_line[0], "the driver drives nothing: it needs exactly one child");

  produce_tree();

  // Mark what hangs below every node without a parent. With at most one
  // parent per node, whatever stays unmarked lies on or below a cycle.
  std::vector<char> reached(n_nodes, 0);
  std::vector<Node *> stack;
  for (int root = 0; root < n_nodes; root++) {
    if (parent_edge[root] >= 0) continue;
    stack.push_back(&nodes[root]);
    while (!stack.empty()) {
      Node *p = stack.back();
      stack.pop_back();
      reached[p - nodes.data()] = root == 0 ? 1 : 2;
      if (p->right) stack.push_back(p->right);
      if (p->left) stack.push_back(p->left);
    }
  }
  for (int i = 0; i < n_nodes; i++) {
    if (reached[i]) continue;
    // Every unmarked node has a parent and no chain of parents from it ends at
    // a parentless node, so n_nodes steps up surely stand on the cycle.
    int j = i;
    for (long steps = 0; steps <= n_nodes; steps++) j = position[edges[parent_edge[j]].s_index];
    input_error(file, edge_line[parent_edge[j]], "edge closes a cycle through node %d", nodes[j].index);
  }
  for (int i = 0; i < n_nodes; i++) {
    if (nodes[i].type == NODE_SINK && reached[i] != 1)
      input_error(file, node_line[i], "sink %d is not connected to the driver", nodes[i].index);
    if (nodes[i].type == NODE_CANDIDATE && reached[i] == 1 && nodes[i].left == nullptr)
      input_error(file, node_line[i], "candidate %d has no child: every candidate in the tree needs one",
                  nodes[i].index);
  }
}

}  // namespace

namespace {

std::string vformat(const char *format, va_list ap) {
  va_list copy;
  va_copy(copy, ap);
  int n = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string text(n > 0 ? static_cast<size_t>(n) : 0, '\0');
  if (n > 0) std::vsnprintf(&text[0], text.size() + 1, format, ap);
  return text;
}

}  // namespace

InputError::InputError(std::string f, long l, std::string m, std::string text, ErrorStream s, int st)
    : std::runtime_error(text), file(std::move(f)), line(l), message(std::move(m)), stream(s), status(st) {}

int report_input_error(const InputError &e) {
  std::fflush(stdout);
  FILE *out = e.stream == ERROR_TO_STDOUT ? stdout : stderr;
  std::fputs(e.what(), out);
  std::fputc('\n', out);
  return e.status;
}

void fatal(const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  vreport("bufins: ", format, ap);
  va_end(ap);
  std::exit(1);
}

void input_error(const std::string &file, long line, const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  std::string message = vformat(format, ap);
  va_end(ap);
  std::string text = file + ":";
  if (line > 0) text += std::to_string(line) + ":";
  text += " " + message;
  throw InputError(file, line, message, text);
}

void refuse(const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  std::string message = vformat(format, ap);
  va_end(ap);
  throw InputError("bufins", 0, message, "bufins: " + message);
}

void InputLib(FILE *flib, const std::string &name) {
  n_buffertype = 0;
  for_each_line(flib, name, [&](const std::string &line, long number) {
    if (!starts_with(line, "buff")) return;
    if (n_buffertype >= MAX_BUFFERTYPES)
      input_error(name, number, "more than %d buffer types: the library limit is %d", MAX_BUFFERTYPES,
                  MAX_BUFFERTYPES);
    Fields f(name, number, "buffer line", line);
    double cap = f.non_negative("input capacitance");
    double delay = f.non_negative("intrinsic delay");
    double res = f.non_negative("output resistance");
    cb[n_buffertype] = cap / 1000.0;
    tb[n_buffertype] = delay;
    rb[n_buffertype] = res;
    n_buffertype++;
  });
}

Node *read_net(FILE *in, const std::string &name) {
  n_sinks = n_nodes = n_edges = 0;
  nodes.clear();
  edges.clear();
  node_line.clear();
  edge_line.clear();
  bool seen_candidate = false;
  for_each_line(in, name, [&](const std::string &line, long number) {
    if (starts_with(line, "wire_re")) {
      Fields f(name, number, "wire resistance line", line);
      r0 = f.non_negative("wire resistance per unit length");
    } else if (starts_with(line, "wire_ca")) {
      Fields f(name, number, "wire capacitance line", line);
      c0 = f.non_negative("wire capacitance per unit length") / 1000.0;
    } else if (starts_with(line, "driv")) {
      if (n_nodes > 0) input_error(name, number, "driver line: the driver must be the first and only driver line");
      Fields f(name, number, "driver line", line);
      double x = f.real("x coordinate");
      double y = f.real("y coordinate");
      double res = f.non_negative("driver output resistance");
      add_node(name, number, blank_node(0, x, y, NODE_DRIVER));
      rd = res;
      dx = x;
      dy = y;
      n_sinks++;
    } else if (starts_with(line, "sink")) {
      Fields f(name, number, "sink line", line);
      int index = f.integer("index");
      double x = f.real("x coordinate");
      double y = f.real("y coordinate");
      double cap = f.non_negative("load capacitance");
      double time = f.real("required arrival time");
      if (index == 0) zero_index(name, number, "Error! The index of sink can not be zero.");
      if (n_nodes == 0) input_error(name, number, "sink line before the driver line: the driver comes first");
      if (seen_candidate)
        input_error(name, number, "sink line after a candidate line: all sinks come before the candidates");
      Node n = blank_node(index, x, y, NODE_SINK);
      n.cap = cap / 1000.0;
      n.time = time;
      add_node(name, number, n);
      n_sinks++;
    } else if (starts_with(line, "cand")) {
      Fields f(name, number, "candidate line", line);
      int index = f.integer("index");
      double x = f.real("x coordinate");
      double y = f.real("y coordinate");
      if (index == 0) zero_index(name, number, "Error! The index of candidates can not be zero.");
      if (n_nodes == 0) input_error(name, number, "candidate line before the driver line: the driver comes first");
      seen_candidate = true;
      add_node(name, number, blank_node(index, x, y, NODE_CANDIDATE));
    } else if (starts_with(line, "edge")) {
      Fields f(name, number, "edge line", line);
      int s = f.integer("upstream node index");
      int t = f.integer("downstream node index");
      if (n_edges >= MAX_EDGES)
        input_error(name, number, "more than %d edges: the net exceeds the edge table", MAX_EDGES);
      edges.push_back(Edge{s, t});
      edge_line.push_back(number);
      n_edges++;
    }
  });
  n_candidates = n_nodes - n_sinks;
  check_and_link(name);
  return &nodes[0];
}

AnswerKind read_answer(int *value) {
  int ch;
  while ((ch = std::getchar()) != EOF && std::isspace(ch)) {
  }
  std::string text;
  if (ch == '+' || ch == '-') {
    text.push_back(static_cast<char>(ch));
    ch = std::getchar();
  }
  while (ch != EOF && std::isdigit(ch)) {
    text.push_back(static_cast<char>(ch));
    ch = std::getchar();
  }
  if (ch != EOF) std::ungetc(ch, stdin);
  if (text.empty() || !std::isdigit(static_cast<unsigned char>(text.back()))) return ANSWER_NONE;
  errno = 0;
  long v = std::strtol(text.c_str(), nullptr, 10);
  if (errno == ERANGE || v < INT32_MIN || v > INT32_MAX) return ANSWER_OUT_OF_RANGE;
  *value = static_cast<int>(v);
  return ANSWER_INT;
}

Node *Input(const std::string &name, int *segments) {
  std::printf("Parsing the input tree file....\n");
  Node *root = read_net(fp, name);
  int coef = segments != nullptr ? *segments : -1;
  if (coef < 0) {
    std::printf("Wire Segmenting coef (0 means no segmenting:) ");
    coef = 0;
    AnswerKind got = read_answer(&coef);
    if (got == ANSWER_NONE) coef = 0;
    if (got == ANSWER_OUT_OF_RANGE) refuse("the wire segmenting coefficient is out of range");
    if (coef < 0) refuse("the wire segmenting coefficient must not be negative (got %d)", coef);
  }
  if (segments != nullptr) *segments = coef;
  if (coef != 0) wire_segment(coef);
  return root;
}

Node *produce_tree() {
  std::unordered_map<int, Node *> by_index;
  by_index.reserve(static_cast<size_t>(n_sinks + n_candidates) * 2);
  for (int i = n_sinks + n_candidates - 1; i >= 0; i--) {
    nodes[i].left = nodes[i].right = nullptr;
    by_index[nodes[i].index] = &nodes[i];  // descending, so the first record wins
  }
  // One pass over the edges in table order gives every node its first child in
  // left and its second in right; later edges from the same node are ignored.
  std::unordered_map<int, Node *>::iterator s, t;
  for (int e = 0; e < n_edges; e++) {
    if ((s = by_index.find(edges[e].s_index)) == by_index.end()) continue;
    if ((t = by_index.find(edges[e].t_index)) == by_index.end()) continue;
    Node *p = s->second;
    if (p->left == nullptr)
      p->left = t->second;
    else if (p->right == nullptr)
      p->right = t->second;
  }
  return &nodes[0];
}

void ntree_print(Node *p) {
  std::vector<Node *> stack{p};
  while (!stack.empty()) {
    Node *n = stack.back();
    stack.pop_back();
    std::printf("%d %f %f %d \n", n->index, n->x, n->y, n->type);
    if (n->type == NODE_SINK) continue;
    if (n->type == NODE_CANDIDATE && n->right) stack.push_back(n->right);
    if (n->left) stack.push_back(n->left);
  }
}

void replace_extension(std::string &name, const char *suffix) {
  size_t dot = name.rfind('.');
  if (dot == std::string::npos)
    name += std::string(".") + suffix;
  else
    name = name.substr(0, dot + 1) + suffix;
}

void edge_print(FILE *stream, Node *p) {
  std::vector<Node *> stack{p};
  while (!stack.empty()) {
    Node *n = stack.back();
    stack.pop_back();
    if (n->type == NODE_SINK || n->left == nullptr) continue;
    std::fprintf(stream, "edge %d %d \n", n->index, n->left->index);
    if (n->type == NODE_CANDIDATE && n->right) {
      std::fprintf(stream, "edge %d %d \n", n->index, n->right->index);
      stack.push_back(n->right);
    }
    stack.push_back(n->left);
  }
}

void Printoutput(Node *p) {
  replace_extension(filename, "finalnet");
  std::unique_ptr<FILE, int (*)(FILE *)> out(std::fopen(filename.c_str(), "w"), &std::fclose);
  if (!out) {
    std::fprintf(stderr, "Cannot open file: %s\n", filename.c_str());
    std::exit(1);
  }
  FILE *f = out.get();
  std::fprintf(f, "%s %f\n", "wire_res_per_unit", r0);
  std::fprintf(f, "%s %f\n", "wire_cap_per_unit", c0 * 1000.0);
  std::fprintf(f, "\n%s %f %f %f\n", "driver", dx, dy, rd);
  std::fprintf(f, "%s %d\n", "number_of_sinks", n_sinks - 1);
  for (int i = 1; i < n_sinks; i++)
    std::fprintf(f, "%s %d %f %f %f %f\n", "sink", nodes[i].index, nodes[i].x, nodes[i].y, nodes[i].cap * 1000.0,
                 nodes[i].time);
  std::fprintf(f, "\n%s %d\n", "number_of_candidate_nodes", n_candidates);
  for (int i = n_sinks; i < n_sinks + n_candidates; i++)
    std::fprintf(f, "%s %d %f %f\n", "candidate", nodes[i].index, nodes[i].x, nodes[i].y);
  std::fprintf(f, "\n");
  edge_print(f, p);
  if (std::ferror(f) || std::fclose(out.release()) != 0) {
    std::remove(filename.c_str());  // never leave a truncated net behind
    fatal("cannot write %s", filename.c_str());
  }
}
