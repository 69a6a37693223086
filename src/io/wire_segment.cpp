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
// Ownership: the reader sized the tables to the net. Once the number of new
// nodes is known they are reserved in one step; if that moves the node table,
// every node's links are carried over by position, and the new nodes are then
// appended within the room, so no record moves while links are made.
#include "wire_segment.h"

#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <utility>
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
  int s;  // table positions of the wire's ends
  int t;
  double length;
};

// Room for `count` nodes without losing a link: left/right are kept as table
// positions across the move.
void reserve_nodes(size_t count) {
  if (count <= nodes.capacity()) return;
  std::vector<std::pair<int, int>> links(nodes.size());
  Node *base = nodes.data();
  for (size_t i = 0; i < nodes.size(); i++)
    links[i] = {nodes[i].left ? static_cast<int>(nodes[i].left - base) : -1,
                nodes[i].right ? static_cast<int>(nodes[i].right - base) : -1};
  nodes.reserve(count);
  base = nodes.data();
  for (size_t i = 0; i < nodes.size(); i++) {
    nodes[i].left = links[i].first >= 0 ? base + links[i].first : nullptr;
    nodes[i].right = links[i].second >= 0 ? base + links[i].second : nullptr;
  }
}

}  // namespace

Node *wire_segment(int M) {
  if (M < 0) refuse("the wire segmenting coefficient must not be negative (got %d)", M);
  if (M == 0) return nodes.data();

  const int E = n_edges;
  const int K = n_candidates;
  const int in_use = n_sinks + n_candidates;
  if (static_cast<size_t>(in_use) != nodes.size() || static_cast<size_t>(E) != edges.size())
    broken("the counts (%d nodes, %d edges) are out of step with the tables (%zu, %zu)", in_use, E, nodes.size(),
           edges.size());

  NodeIndex position;  // node number -> first table position
  int earlier;
  node_index_build(position, in_use, &earlier);

  std::vector<Wire> wires(static_cast<size_t>(E));
  int64_t cut = 0;  // wires of non-zero length
  for (int z = 0; z < E; z++) {
    const Edge &e = edges[z];
    const int s = node_index_find(position, e.s_index);
    const int t = node_index_find(position, e.t_index);
    if (s < 0 || t < 0) broken("edge %d -> %d names a node that no record carries", e.s_index, e.t_index);
    Wire &w = wires[z];
    w.s = s;
    w.t = t;
    // Relinking replaces t among s's children; an edge that is not a link of
    // the tree would make it drop one of s's subtrees instead.
    if (nodes[s].left != &nodes[t] && nodes[s].right != &nodes[t])
      broken("edge %d -> %d is not a link of the tree", e.s_index, e.t_index);
    w.length = distance(&nodes[s], &nodes[t]);
    if (w.length >= MIN_WIRE_LENGTH) cut++;
  }

  const int64_t made = cut * static_cast<int64_t>(M);
  if (made == 0) return nodes.data();
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

  reserve_nodes(static_cast<size_t>(in_use + made));
  edges.reserve(static_cast<size_t>(E + made));
  int next_index = static_cast<int>(first);
  for (int z = 0; z < E; z++) {
    const Wire &w = wires[z];
    if (w.length < MIN_WIRE_LENGTH) continue;
    Node *s = &nodes[w.s];
    Node *t = &nodes[w.t];
    const double h = std::fabs(s->y - t->y);
    Node *p = s;
    for (int i = 0; i < M; i++) {
      const double l1 = (i + 1.0) / (M + 1.0) * w.length;
      Node n;
      n.index = next_index++;
      n.type = NODE_CANDIDATE;
      n.cap = 0.0;
      n.time = 0.0;
      n.left = nullptr;
      n.right = nullptr;
      if (h >= l1) {
        n.x = s->x;
        n.y = t->y >= s->y ? s->y + l1 : s->y - l1;
      } else {
        n.y = t->y;
        n.x = t->x >= s->x ? s->x + (l1 - h) : s->x - (l1 - h);
      }
      nodes.push_back(n);
      Node *np = &nodes.back();
      if (p == s) {
        if (s->left != nullptr && s->left->index == t->index)
          s->left = np;
        else
          s->right = np;
      } else {
        p->left = np;
        p->right = nullptr;
      }
      edges.push_back(Edge{p->index, np->index});
      p = np;
    }
    p->left = t;
    p->right = nullptr;
    edges[z].s_index = p->index;
  }

  n_edges += static_cast<int>(made);
  n_candidates += static_cast<int>(made);
  return nodes.data();
}
