// Tests of wire segmentation: where the new nodes stand, how they are numbered
// and linked, what happens to the edge table, and the runs it must refuse.
// Nets are read from text with the real reader, so the tables are laid out as
// in a run of the tool.
#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "def.h"
#include "io.h"
#include "wire_segment.h"

namespace {

const std::string kHead = "wire_res_per_unit 1\nwire_cap_per_unit 1\n";

Node *load(const std::string &text) {
  reset_globals();
  FILE *f = fmemopen(const_cast<char *>(text.data()), text.size(), "r");
  Node *root = read_net(f, "test.net");
  std::fclose(f);
  return root;
}

Node *find(int index) {
  for (int i = 0; i < n_sinks + n_candidates; i++)
    if (nodes[i].index == index) return &nodes[i];
  return nullptr;
}

using Point = std::pair<double, double>;

// Segments the single wire driver (sx, sy) -> sink 1 (tx, ty) and returns the
// new nodes' points in the order of making.
std::vector<Point> cut_one_wire(double sx, double sy, double tx, double ty, int M) {
  char text[256];
  std::snprintf(text, sizeof text, "driver %.17g %.17g 100\nsink 1 %.17g %.17g 5 300\nedge 0 1\n", sx, sy, tx, ty);
  load(kHead + text);
  wire_segment(M);
  std::vector<Point> made;
  for (int i = 2; i < n_sinks + n_candidates; i++) made.emplace_back(nodes[i].x, nodes[i].y);
  return made;
}

// Driver 0 -> candidate 10 at (0, 10), which drives sink 1 (left) and sink 2
// (right); a third wire joins driver to 10. With `flat_left` sink 1 stands on
// node 10, so its wire has length 0.
std::string branching_net(bool flat_left) {
  return kHead + "driver 0 0 100\nsink 1 " + (flat_left ? "0 10" : "-4 10") +
         " 5 300\nsink 2 6 12 5 300\ncandidate 10 0 10\nedge 0 10\nedge 10 1\nedge 10 2\n";
}

// The text of the InputError that wire_segment(M) throws ("" when it throws
// none). A refusal must leave the tables as they were.
std::string refusal(int M) {
  const size_t node_count = nodes.size(), edge_count = edges.size();
  const int candidates = n_candidates;
  std::string text;
  try {
    wire_segment(M);
  } catch (const InputError &e) {
    text = e.what();
    EXPECT_EQ(e.status, 1);
    EXPECT_EQ(e.stream, ERROR_TO_STDERR);
    EXPECT_EQ(text.rfind("bufins: ", 0), 0u) << text;
    EXPECT_EQ(nodes.size(), node_count);
    EXPECT_EQ(edges.size(), edge_count);
    EXPECT_EQ(n_candidates, candidates);
  }
  return text;
}

bool has(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

}  // namespace

TEST(WireSegment, PointsFollowTheRouteVerticalLegFirst) {
  EXPECT_EQ(cut_one_wire(0, 0, 0, 10, 1), (std::vector<Point>{{0, 5}}));
  EXPECT_EQ(cut_one_wire(0, 0, 6, 2, 1), (std::vector<Point>{{2, 2}}));
  EXPECT_EQ(cut_one_wire(10, 10, 2, 10, 3), (std::vector<Point>{{8, 10}, {6, 10}, {4, 10}}));
  // On the corner (h = l1) the vertical rule applies: (s.x, t.y).
  EXPECT_EQ(cut_one_wire(0, 0, 4, 4, 1), (std::vector<Point>{{0, 4}}));
  // Here h = l1 = 359.41499999999996 and s.y - l1 misses t.y by rounding, so
  // only the vertical rule gives this y.
  const double h = 359.41499999999996;
  EXPECT_EQ(cut_one_wire(0, -40.785, h, -400.2, 1), (std::vector<Point>{{0, -40.785 - h}}));
  EXPECT_NE(-40.785 - h, -400.2);
  // Downward and leftward legs, corner at the first point.
  EXPECT_EQ(cut_one_wire(5, 5, 1, 3, 2), (std::vector<Point>{{5, 3}, {3, 3}}));

  // The chain driver -> 50000 -> 50001 -> 50002 -> sink, the wire's own edge
  // record holding the last piece, and the new nodes plain candidates.
  cut_one_wire(0, 0, 0, 8, 3);
  EXPECT_EQ(n_nodes, 2);
  EXPECT_EQ(n_candidates, 3);
  EXPECT_EQ(n_edges, 4);
  ASSERT_EQ(nodes.size(), 5u);
  std::vector<std::pair<int, int>> table;
  for (const Edge &e : edges) table.emplace_back(e.s_index, e.t_index);
  EXPECT_EQ(table, (std::vector<std::pair<int, int>>{{50002, 1}, {0, 50000}, {50000, 50001}, {50001, 50002}}));
  Node *p = &nodes[0];
  for (int expect : {50000, 50001, 50002, 1}) {
    ASSERT_NE(p->left, nullptr);
    EXPECT_EQ(p->right, nullptr);
    p = p->left;
    EXPECT_EQ(p->index, expect);
  }
  for (int i = 2; i < 5; i++) {
    EXPECT_EQ(nodes[i].type, NODE_CANDIDATE);
    EXPECT_EQ(nodes[i].cap, 0.0);
    EXPECT_EQ(nodes[i].time, 0.0);
  }
}

TEST(WireSegment, RelinksChildrenInPlaceAndNumbersAcrossWires) {
  // Left wire of length 0 stays whole: the right child is replaced, the left
  // one untouched.
  // The table may move when it grows: the nodes are found again after.
  load(branching_net(true));
  wire_segment(2);
  Node *c = find(10), *a = find(1), *b = find(2);
  EXPECT_EQ(c->left, a);
  ASSERT_NE(c->right, nullptr);
  EXPECT_EQ(c->right->index, 50003);  // K = 1; the driver's wire took 50001, 50002
  EXPECT_EQ(c->right->left->index, 50004);
  EXPECT_EQ(c->right->left->left, b);
  EXPECT_EQ(n_candidates, 5);

  // All wires cut: both children replaced, their order kept, numbers running
  // on from one wire to the next.
  load(branching_net(false));
  wire_segment(2);
  c = find(10), a = find(1), b = find(2);
  EXPECT_EQ(nodes[0].left->index, 50001);
  EXPECT_EQ(nodes[0].left->left->index, 50002);
  EXPECT_EQ(nodes[0].left->left->left, c);
  EXPECT_EQ(c->left->index, 50003);
  EXPECT_EQ(c->left->left->left, a);
  EXPECT_EQ(c->right->index, 50005);
  EXPECT_EQ(c->right->left->index, 50006);
  EXPECT_EQ(c->right->left->left, b);
  for (int i = 0; i < 6; i++) EXPECT_EQ(nodes[n_nodes + i].index, 50001 + i);
}

TEST(WireSegment, CountsPiecesAndLengths) {
  // Five wires, one of length 0, M = 2: 8 new nodes and edges.
  load(kHead +
       "driver 0 0 1\nsink 1 9 9 5 300\nsink 2 5 5 5 300\nsink 3 -3 7 5 300\n"
       "candidate 4 5 5\ncandidate 5 2 1\n"
       "edge 0 5\nedge 5 4\nedge 4 1\nedge 4 2\nedge 5 3\n");
  wire_segment(2);
  EXPECT_EQ(n_nodes, 6);
  EXPECT_EQ(n_sinks, 4);
  EXPECT_EQ(n_candidates, 2 + 8);
  EXPECT_EQ(n_edges, 5 + 8);
  EXPECT_EQ(edges[3].s_index, 4);  // the zero-length wire 4 -> 2 is whole
  EXPECT_EQ(find(4)->right, find(2));

  // On the demo net: every wire's M + 1 pieces, found through the edge table,
  // run from its parent to its child, are l / (M + 1) long and add up to l.
  FILE *f = std::fopen(BUFINS_SOURCE_DIR "/examples/demo.net", "r");
  ASSERT_NE(f, nullptr);
  reset_globals();
  read_net(f, "demo.net");
  std::fclose(f);
  const int M = 4, E = n_edges;
  std::vector<Edge> wires(edges.begin(), edges.end());
  std::vector<double> length;
  for (const Edge &w : wires) length.push_back(distance(find(w.s_index), find(w.t_index)));
  wire_segment(M);
  ASSERT_EQ(n_edges, E * (M + 1));
  for (int z = 0; z < E; z++) {
    std::vector<Edge> pieces(edges.begin() + E + z * M, edges.begin() + E + (z + 1) * M);
    pieces.push_back(edges[z]);
    EXPECT_EQ(pieces.front().s_index, wires[z].s_index);
    EXPECT_EQ(pieces.back().t_index, wires[z].t_index);
    double sum = 0;
    for (size_t i = 0; i < pieces.size(); i++) {
      if (i > 0) {
        EXPECT_EQ(pieces[i].s_index, pieces[i - 1].t_index);
      }
      Node *s = find(pieces[i].s_index), *t = find(pieces[i].t_index);
      EXPECT_TRUE(s->left == t || s->right == t) << "piece " << s->index << " -> " << t->index << " is not linked";
      double l = distance(s, t);
      EXPECT_NEAR(l, length[z] / (M + 1), 1e-9);
      sum += l;
    }
    EXPECT_NEAR(sum, length[z], 1e-9);
  }
}

TEST(WireSegment, RefusesRunsThatCannotBeDoneSoundly) {
  const std::string two_pin = kHead + "driver 0 0 1\nsink 1 0 10 5 300\nedge 0 1\n";
  // A number that segmentation would give (50000 + K ... 50000 + K + made - 1)
  // already carried by a node of the net; here K = 1 and 4 nodes are made.
  const std::string numbered = kHead +
                               "driver 0 0 1\nsink %d 0 10 5 300\ncandidate 7 0 5\n"
                               "edge 0 7\nedge 7 %d\n";
  for (int taken : {50001, 50004}) {
    char text[256];
    std::snprintf(text, sizeof text, numbered.c_str(), taken, taken);
    load(text);
    EXPECT_TRUE(has(refusal(2), "node " + std::to_string(taken) + " of the net"));
  }
  for (int free_number : {50000, 50005}) {
    char text[256];
    std::snprintf(text, sizeof text, numbered.c_str(), free_number, free_number);
    load(text);
    wire_segment(2);
    EXPECT_EQ(n_candidates, 5);
  }

  // Table limits: 2 nodes + 1,599,999 new ones is one over; M = INT_MAX must
  // neither overflow the count nor the numbering.
  load(two_pin);
  EXPECT_TRUE(has(refusal(1599999), "limit of 1600000 nodes"));
  EXPECT_TRUE(has(refusal(INT_MAX), "limit of 1600000 nodes"));
  EXPECT_TRUE(has(refusal(-1), "must not be negative"));

  // M = 0, or only wires of length 0: nothing changes, whatever M is.
  wire_segment(0);
  EXPECT_EQ(n_candidates, 0);
  EXPECT_EQ(nodes[0].left, &nodes[1]);
  load(kHead + "driver 3 3 1\nsink 1 3 3 5 300\nedge 0 1\n");
  wire_segment(INT_MAX);
  EXPECT_EQ(n_candidates, 0);
  EXPECT_EQ(n_edges, 1);

  // An edge naming no record cannot come from the reader; it is a broken
  // invariant, never a silent skip or a wild pointer.
  load(two_pin);
  edges[0].t_index = 99;
  EXPECT_DEATH(wire_segment(1), "no record carries");
}

// A chain of 500,000 wires cut into a million nodes: finding the wires' ends
// must not cost a scan of the node table per wire.
TEST(WireSegmentLarge, LongChainInLinearTime) {
  const int wires = 500000;
  std::string text = kHead + "driver 0 0 1\nsink 1 " + std::to_string(wires) + " 0 5 300\n";
  for (int i = 2; i <= wires; i++) text += "candidate " + std::to_string(i) + " " + std::to_string(i - 1) + " 0\n";
  text += "edge 0 2\n";
  for (int i = 2; i < wires; i++) text += "edge " + std::to_string(i) + " " + std::to_string(i + 1) + "\n";
  text += "edge " + std::to_string(wires) + " 1\n";
  load(text);
  auto start = std::chrono::steady_clock::now();
  wire_segment(1);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_LT(seconds, 5.0);
  EXPECT_EQ(n_candidates, wires - 1 + wires);
  Node *p = &nodes[0];
  long steps = 0;
  for (; p->left != nullptr; p = p->left) steps++;
  EXPECT_EQ(p->index, 1);
  EXPECT_EQ(steps, 2L * wires);
}
