// Wire segmentation: every wire of non-zero length gets M new candidate nodes,
// evenly spaced along its rectilinear route (vertical leg first), so that the
// algorithms may place buffers inside long wires.
//
// The work is done in two passes. The first resolves every wire's end nodes
// through one flat index table (first record with a number wins), measures the wires
// and checks that the new nodes fit: room in the tables and numbers that no
// node of the net already carries. Only then does the second pass append nodes
// and edges and relink, so a rejected run leaves the tables as they were.
//
// Ownership: on the global tables, the reader sized them to the net; they are
// enlarged to exactly the segmented net and every link is written anew from
// the model's positions, so the tables may move and pointers taken into them
// before segmenting are stale (the root stays at &nodes[0]).
#include "wire_segment.h"

#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "io.h"

namespace {

// Wires shorter than this join two nodes at the same point and stay whole.
constexpr double MIN_WIRE_LENGTH = 1e-11;

// First number given to segment nodes, before adding the candidate count.
constexpr int64_t SEGMENT_BASE = 50000;

// A broken invariant of a linked net (the reader never lets one through).
[[noreturn]] __attribute__((format(printf, 1, 2))) void broken(const char *format, ...) {
  std::fflush(stdout);
  std::fputs("bufins: internal error in wire segmentation: ", stderr);
  va_list ap;
  va_start(ap, format);
  std::vfprintf(stderr, format, ap);
  va_end(ap);
  std::fputc('\n', stderr);
  std::abort();
}

struct Wire {
  int s;  // table positions
  int t;
  double length;
};

}  // namespace

void segment_model(bufins::Net &net, int M) {
  using bufins::Node;
  if (M < 0) refuse("the wire segmenting coefficient must not be negative (got %d)", M);
  if (M == 0) return;

  std::vector<Node> &nodes = net.nodes;
  std::vector<bufins::Edge> &edges = net.edges;
  const int E = static_cast<int>(edges.size());
  const int in_use = static_cast<int>(nodes.size());
  const int K = net.candidates();

  NodeIndex position;  // node number -> first table position
  int earlier;
  node_index_build(position, net, &earlier);

  std::vector<Wire> wires(static_cast<size_t>(E));
  int64_t cut = 0;  // wires of non-zero length
  for (int z = 0; z < E; z++) {
    const bufins::Edge &e = edges[z];
    const int s = node_index_find(position, e.from);
    const int t = node_index_find(position, e.to);
    if (s < 0 || t < 0) broken("edge %d -> %d names a node that no record carries", e.from, e.to);
    Wire &w = wires[z];
    w.s = s;
    w.t = t;
    // Relinking replaces t among s's children; an edge that is not a link of
    // the tree would make it drop one of s's subtrees instead.
    if (nodes[s].left != t && nodes[s].right != t) broken("edge %d -> %d is not a link of the tree", e.from, e.to);
    w.length = std::fabs(nodes[s].x - nodes[t].x) + std::fabs(nodes[s].y - nodes[t].y);
    if (w.length >= MIN_WIRE_LENGTH) cut++;
  }

  const int64_t made = cut * static_cast<int64_t>(M);
  if (made == 0) return;
  if (in_use + made > MAX_NODES)
    refuse("wire segmentation would make %lld nodes (%lld wires x %d): with the net's %d nodes that exceeds the "
          "limit of %d nodes",
          static_cast<long long>(made), static_cast<long long>(cut), M, in_use, MAX_NODES);
  if (E + made > MAX_EDGES)
    refuse("wire segmentation would make %lld edges (%lld wires x %d): with the net's %d edges that exceeds the "
          "limit of %d edges",
          static_cast<long long>(made), static_cast<long long>(cut), M, E, MAX_EDGES);

  const int64_t first = SEGMENT_BASE + K;
  const int64_t last = first + made - 1;
  if (last > INT32_MAX)
    refuse("wire segmentation would number its nodes up to %lld, beyond the largest node number %d",
          static_cast<long long>(last), INT32_MAX);
  for (int i = 0; i < in_use; i++) {
    if (nodes[i].index >= first && nodes[i].index <= last)
      refuse("wire segmentation numbers its new nodes %lld to %lld, but node %d of the net already carries one of "
            "these numbers; number the net's nodes below %lld",
            static_cast<long long>(first), static_cast<long long>(last), nodes[i].index,
            static_cast<long long>(first));
  }

  nodes.reserve(static_cast<size_t>(in_use + made));
  edges.reserve(static_cast<size_t>(E + made));
  int next_index = static_cast<int>(first);
  for (int z = 0; z < E; z++) {
    const Wire &w = wires[z];
    if (w.length < MIN_WIRE_LENGTH) continue;
    const int s = w.s, t = w.t;
    const double sx = nodes[s].x, sy = nodes[s].y, tx = nodes[t].x, ty = nodes[t].y;
    const double h = std::fabs(sy - ty);
    int p = s;
    for (int i = 0; i < M; i++) {
      const double l1 = (i + 1.0) / (M + 1.0) * w.length;
      Node n;
      n.index = next_index++;
      n.kind = bufins::NodeKind::candidate;
      if (h >= l1) {
        n.x = sx;
        n.y = ty >= sy ? sy + l1 : sy - l1;
      } else {
        n.y = ty;
        n.x = tx >= sx ? sx + (l1 - h) : sx - (l1 - h);
      }
      const int np = static_cast<int>(nodes.size());
      nodes.push_back(n);
      if (p == s) {
        if (nodes[s].left == t)
          nodes[s].left = np;
        else
          nodes[s].right = np;
      } else {
        nodes[p].left = np;
        nodes[p].right = -1;
      }
      edges.push_back(bufins::Edge{nodes[p].index, n.index});
      p = np;
    }
    nodes[p].left = t;
    nodes[p].right = -1;
    edges[z].from = nodes[p].index;
  }
}

Node *wire_segment(int M) {
  if (M < 0) refuse("the wire segmenting coefficient must not be negative (got %d)", M);
  if (M == 0) return nodes.data();
  const int in_use = n_sinks + n_candidates;
  if (static_cast<size_t>(in_use) != nodes.size() || static_cast<size_t>(n_edges) != edges.size())
    broken("the counts (%d nodes, %d edges) are out of step with the tables (%zu, %zu)", in_use, n_edges,
           nodes.size(), edges.size());
  // The structure of the tables as a model (loads are not needed), segmented,
  // and the new nodes, links and edges written back: the sink loads of the
  // tables stay exactly as they are.
  bufins::Net net;
  net.nodes.resize(static_cast<size_t>(in_use));
  for (int i = 0; i < in_use; i++) {
    bufins::Node &m = net.nodes[static_cast<size_t>(i)];
    const Node &n = nodes[i];
    m.index = n.index;
    m.kind = static_cast<bufins::NodeKind>(n.type);
    m.x = n.x;
    m.y = n.y;
    m.left = n.left ? static_cast<int>(n.left - nodes.data()) : -1;
    m.right = n.right ? static_cast<int>(n.right - nodes.data()) : -1;
  }
  for (const Edge &e : edges) net.edges.push_back({e.s_index, e.t_index});
  segment_model(net, M);
  const int total = static_cast<int>(net.nodes.size());
  nodes.reserve(static_cast<size_t>(total));
  edges.reserve(net.edges.size());
  for (int i = in_use; i < total; i++) {
    const bufins::Node &m = net.nodes[static_cast<size_t>(i)];
    Node n;
    n.index = m.index;
    n.type = NODE_CANDIDATE;
    n.x = m.x;
    n.y = m.y;
    n.cap = 0.0;
    n.time = 0.0;
    nodes.push_back(n);
  }
  for (int i = 0; i < total; i++) {
    const bufins::Node &m = net.nodes[static_cast<size_t>(i)];
    nodes[i].left = m.left >= 0 ? &nodes[m.left] : nullptr;
    nodes[i].right = m.right >= 0 ? &nodes[m.right] : nullptr;
  }
  edges.clear();
  for (const bufins::Edge &e : net.edges) edges.push_back(Edge{e.from, e.to});
  n_edges = static_cast<int>(edges.size());
  n_candidates += total - in_use;
  return nodes.data();
}
