// Placement file reader and Elmore evaluation for the command-line tools.
//
// The evaluation follows the delay model directly, one wire at a time: a wire
// of length L below a load c costs r0*L*(c + c0*L/2) and adds c0*L; a buffer
// costs tb + rb*c and presents cb; a branch takes the smaller required time and
// the sum of the loads; the driver subtracts rd*c. It shares nothing with the
// engines, so an answer that both reproduce is checked twice.
#include "placement.h"

#include "cli.h"
#include "cmdline.h"
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <unordered_map>
#include <utility>

#include "def.h"
#include "io.h"

namespace {

std::vector<std::string> words(const std::string &line) {
  std::vector<std::string> w;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && std::isspace(static_cast<unsigned char>(line[i]))) i++;
    size_t from = i;
    while (i < line.size() && !std::isspace(static_cast<unsigned char>(line[i]))) i++;
    if (i > from) w.push_back(line.substr(from, i - from));
  }
  return w;
}

bool to_int(const std::string &word, int *value) {
  char *end;
  errno = 0;
  long v = std::strtol(word.c_str(), &end, 10);
  if (end == word.c_str() || *end != '\0' || errno == ERANGE || v < INT32_MIN || v > INT32_MAX) return false;
  *value = static_cast<int>(v);
  return true;
}

}  // namespace

void tree_order(std::vector<int> &order, std::vector<int> &parent) {
  const int in_use = n_sinks + n_candidates;
  order.clear();
  order.reserve(static_cast<size_t>(in_use));
  parent.assign(static_cast<size_t>(in_use), -1);
  std::vector<int> stack{0};
  while (!stack.empty()) {
    int p = stack.back();
    stack.pop_back();
    order.push_back(p);
    const Node &n = nodes[p];
    for (Node *k : {n.right, n.left}) {
      if (k == nullptr) continue;
      int kp = static_cast<int>(k - nodes.data());
      parent[kp] = p;
      stack.push_back(kp);
    }
  }
}

PlacementFile read_placement(const std::string &file, bool check_types) {
  File in = open_file(file.c_str(), "r");
  const std::string name = cmdline::display_name(file);

  const int in_use = n_sinks + n_candidates;
  std::unordered_map<int, int> position;
  position.reserve(static_cast<size_t>(in_use) * 2);
  for (int i = 0; i < in_use; i++) position.emplace(nodes[i].index, i);
  std::vector<int> order, parent;
  tree_order(order, parent);

  PlacementFile pf;
  pf.buffer_on.assign(static_cast<size_t>(in_use), 0);
  std::vector<long> line_of(static_cast<size_t>(in_use), 0);  // placement line of each buffered wire
  long empty_line = 0;

  auto handle = [&](const std::string &line, long number) {
    std::vector<std::string> w = words(line);
    if (w.empty()) return;
    if (w.size() == 2 && w[0] == "empty" && w[1] == "tree") {
      if (empty_line || !pf.buffers.empty())
        input_error(name, number, "\"empty tree\" beside other lines: a placement file holds one solution");
      empty_line = number;
      return;
    }
    PlacedBuffer b{0, 0, 0, number};
    if (w.size() != 6 || w[0] != "start" || w[2] != "end" || w[4] != "buffertype" || !to_int(w[1], &b.start) ||
        !to_int(w[3], &b.end) || !to_int(w[5], &b.type))
      input_error(name, number, "not a placement line (\"start A  end B  buffertype T\") nor \"empty tree\"");
    if (empty_line)
      input_error(name, number, "buffer placement after \"empty tree\" (line %ld): a placement file holds one "
                  "solution", empty_line);
    auto s = position.find(b.start);
    auto t = position.find(b.end);
    if (s == position.end() || t == position.end() || parent[t->second] != s->second)
      input_error(name, number, "no edge from node %d to node %d in the tree", b.start, b.end);
    if (nodes[s->second].type != NODE_CANDIDATE)
      input_error(name, number, "buffer at node %d, which is not a candidate node", b.start);
    if (b.type < 1 || (check_types && b.type > n_buffertype)) {
      if (check_types && n_buffertype == 0)
        input_error(name, number, "buffer type %d, but the library holds no buffer type", b.type);
      if (check_types)
        input_error(name, number, "buffer type %d is outside the library (types 1 to %d)", b.type, n_buffertype);
      input_error(name, number, "buffer type %d is not a type number (types count from 1)", b.type);
    }
    if (pf.buffer_on[t->second])
      input_error(name, number, "second buffer on the edge from node %d to node %d (the first is on line %ld)",
                  b.start, b.end, line_of[t->second]);
    pf.buffer_on[t->second] = b.type;
    line_of[t->second] = number;
    pf.buffers.push_back(b);
  };

  std::vector<char> buf(1 << 16);
  std::string line;
  long number = 1;
  size_t got;
  while ((got = std::fread(buf.data(), 1, buf.size(), in.get())) > 0) {
    for (size_t i = 0; i < got; i++) {
      if (buf[i] != '\n') {
        line.push_back(buf[i]);
        continue;
      }
      handle(line, number++);
      line.clear();
    }
  }
  if (std::ferror(in.get())) input_error(name, 0, "cannot read the file: %s", std::strerror(errno));
  handle(line, number);
  pf.empty_tree = empty_line != 0;
  return pf;
}

Timing evaluate_placement(const std::vector<int> &buffer_on) {
  const size_t in_use = static_cast<size_t>(n_sinks + n_candidates);
  std::vector<int> order, parent;
  tree_order(order, parent);
  std::vector<double> q(in_use, std::numeric_limits<double>::infinity());
  std::vector<double> c(in_use, 0.0);   // load seen at the node looking down

  Timing t;
  t.in_tree.assign(in_use, 0);
  for (int p : order) t.in_tree[p] = 1;

  // Children before parents: walk the pre-order backwards.
  for (auto it = order.rbegin(); it != order.rend(); ++it) {
    int k = *it;
    const Node &n = nodes[k];
    if (n.type == NODE_SINK) {
      q[k] = n.time;
      c[k] = n.cap;
    }
    int p = parent[k];
    if (p < 0) continue;
    double len = distance(&nodes[p], &n);
    double wq = q[k] - r0 * len * (c[k] + c0 * len / 2.0);
    double wc = c[k] + c0 * len;
    if (int type = buffer_on[k]) {
      wq -= tb[type - 1] + rb[type - 1] * wc;
      wc = cb[type - 1];
    }
    if (wq < q[p]) q[p] = wq;
    c[p] += wc;
  }
  t.slack = q[0] - rd * c[0];

  // Arrival times from the driver's input down, for the slack of each sink.
  std::vector<double> arrival(in_use, 0.0);
  arrival[0] = rd * c[0];
  t.sink_slack.assign(in_use, 0.0);
  for (int k : order) {
    int p = parent[k];
    if (p < 0) continue;
    double len = distance(&nodes[p], &nodes[k]);
    double a = arrival[p];
    if (int type = buffer_on[k]) a += tb[type - 1] + rb[type - 1] * (c[k] + c0 * len);
    arrival[k] = a + r0 * len * (c[k] + c0 * len / 2.0);
    if (nodes[k].type == NODE_SINK) t.sink_slack[k] = nodes[k].time - arrival[k];
  }
  return t;
}
