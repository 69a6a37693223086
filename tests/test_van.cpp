// Tests of the list engine: trace records and their reference counts, buffer
// addition, pruning, the branch merge, the dynamic programme against exhaustive
// search, and the memory counters.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "def.h"
#include "io.h"
#include "netgen.h"
#include "support.h"
#include "van.h"

namespace {

class VanTest : public ::testing::Test {
 protected:
  void SetUp() override { reset_globals(); }
  void TearDown() override { fp = stdout; }

  static Node *load(const TestNet &net) { return load_into_tables(net); }

  static std::string placements(Comp *trace, int *count) {
    return capture_fp([&] { printbuffer(trace, count); });
  }

  static RLnode *list_of(std::vector<std::pair<double, double>> cq) {
    RLnode *head = nullptr, **tail = &head;
    for (auto &p : cq) {
      *tail = make_rlnode(p.first, p.second, nullptr);
      tail = &(*tail)->next;
    }
    return head;
  }

  static std::vector<std::pair<double, double>> contents(RLnode *l) {
    std::vector<std::pair<double, double>> v;
    for (; l; l = l->next) v.push_back({l->cap, l->time});
    return v;
  }

  static void expect_all_released() {
    EXPECT_EQ(total_solution, reduce_solution);
    EXPECT_EQ(m_used, m_reduced);
  }
};

TestNet two_pin(double len) {
  TestNet n;
  n.r0 = 1;
  n.c0_file = 1000;  // internal c0 = 1
  n.rd = 1;
  n.sinks.push_back({1, len, 0, 1000, 100});
  n.edges = {{0, 1}};
  return n;
}

TEST_F(VanTest, WorkedSlacksAtTheDriver) {
  // Driver straight to a sink (q 100, c 1) over a wire of length 1.
  Node *root = load(two_pin(1));
  RLnode *l = van(root);
  EXPECT_DOUBLE_EQ(van_answer, 96.5);
  EXPECT_EQ(final_location_van, nullptr);
  list_delete(l);
  expect_all_released();

  // Driver, candidate at length 1, sink at length 2 beyond, one buffer type.
  reset_globals();
  TestNet n = two_pin(3);
  n.cands.push_back({7, 1, 0});
  n.edges = {{0, 7}, {7, 1}};
  n.lib.push_back({500, 1, 1});
  root = load(n);
  l = van(root);
  auto got = contents(l);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_DOUBLE_EQ(got[0].first, 0.5);
  EXPECT_DOUBLE_EQ(got[0].second, 92);
  EXPECT_DOUBLE_EQ(got[1].first, 3);
  EXPECT_DOUBLE_EQ(got[1].second, 96);
  EXPECT_DOUBLE_EQ(van_answer, 89.5);
  ASSERT_NE(final_location_van, nullptr);
  EXPECT_EQ(final_location_van->buffertype, 1);
  EXPECT_EQ(final_location_van->x, 7);
  EXPECT_EQ(final_location_van->y, 1);
  int count = 0;
  EXPECT_EQ(placements(final_location_van, &count), "start 7  end 1  buffertype 1\n");
  EXPECT_EQ(count, 1);
  list_delete(l);
  expect_all_released();
}

TEST_F(VanTest, AddBufferCarriesAndBuffers) {
  r0 = 1;
  c0 = 1;
  n_buffertype = 1;
  rb[0] = 1;
  cb[0] = 0.5;
  tb[0] = 1;
  RLnode *l = add_buffer(2, list_of({{1, 100}}), 3, 4);
  auto got = contents(l);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0], std::make_pair(0.5, 92.0));
  EXPECT_EQ(got[1], std::make_pair(3.0, 96.0));
  EXPECT_EQ(l->com->buffertype, 1);
  EXPECT_EQ(l->com->left, nullptr);  // the input came straight from a sink
  EXPECT_EQ(l->next->com->buffertype, COMP_WIRE);
  l = redundent(l);
  EXPECT_EQ(contents(l).size(), 2u);
  list_delete(l);
  expect_all_released();

  // A wire of length 0 carries unchanged but still makes wire records; with
  // no buffer type nothing else is added.
  n_buffertype = 0;
  l = add_buffer(0, list_of({{1, 10}, {2, 20}}), 3, 4);
  EXPECT_EQ(contents(l), (std::vector<std::pair<double, double>>{{1, 10}, {2, 20}}));
  EXPECT_EQ(l->com->buffertype, COMP_WIRE);
  EXPECT_EQ(l->next->com->buffertype, COMP_WIRE);
  list_delete(l);
  expect_all_released();
}

TEST_F(VanTest, AddBufferEqualLoadsAndTies) {
  r0 = 0;
  c0 = 0;
  n_buffertype = 1;
  // The buffered candidate has the carried one's load and the same required
  // time: the carried candidate stays.
  rb[0] = 0;
  tb[0] = 0;
  cb[0] = 1.0 + 1e-12;
  RLnode *l = add_buffer(5, list_of({{1, 10}}), 1, 2);
  ASSERT_EQ(contents(l).size(), 1u);
  EXPECT_EQ(l->com->buffertype, COMP_WIRE);
  list_delete(l);
  // A strictly later required time replaces it.
  tb[0] = -1;
  l = add_buffer(5, list_of({{1, 10}}), 1, 2);
  ASSERT_EQ(contents(l).size(), 1u);
  EXPECT_EQ(l->com->buffertype, 1);
  EXPECT_DOUBLE_EQ(l->time, 11);
  list_delete(l);
  expect_all_released();

  // Two types with equal input capacitance and equal best required time: the
  // larger type number stays. Among equal q the smaller load is driven.
  n_buffertype = 2;
  rb[0] = rb[1] = 0;
  tb[0] = tb[1] = 1;
  cb[0] = cb[1] = 0.25;
  RLnode *in = list_of({{1, 10}, {2, 10}});
  l = add_buffer(0, in, 1, 2);
  auto got = contents(l);
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0], std::make_pair(0.25, 9.0));
  EXPECT_EQ(l->com->buffertype, 2);
  list_delete(l);
  expect_all_released();
}

TEST_F(VanTest, DisplacedCarriedCandidateKeepsSharedTraceUntilInputRelease) {
  // The input candidate's trace is a buffer record that only it holds. Its
  // carried copy (wire record) is displaced by a buffered candidate of equal
  // load and later time; the buffered candidate is itself built on the same
  // trace. Every record must be freed exactly once.
  r0 = 0;
  c0 = 0;
  n_buffertype = 1;
  rb[0] = 0;
  tb[0] = -5;  // a negative delay makes the buffered candidate strictly later
  cb[0] = 2;
  Comp *below = make_comp(nullptr, nullptr, 1, 8, 9, 0);
  RLnode *in = make_rlnode(2, 10, below);
  RLnode *l = add_buffer(1, in, 1, 2);
  ASSERT_EQ(contents(l).size(), 1u);
  EXPECT_EQ(l->com->buffertype, 1);
  EXPECT_EQ(l->com->left, below);
  EXPECT_EQ(below->counter, 1);
  list_delete(l);
  expect_all_released();

  // The same, with a buffered candidate that is dropped instead: no record is
  // freed twice and none is lost.
  tb[0] = 5;
  below = make_comp(nullptr, nullptr, 1, 8, 9, 0);
  l = add_buffer(1, make_rlnode(2, 10, below), 1, 2);
  ASSERT_EQ(contents(l).size(), 1u);
  EXPECT_EQ(l->com->buffertype, COMP_WIRE);
  list_delete(l);
  expect_all_released();
}

TEST_F(VanTest, RedundentAndMerge) {
  RLnode *l = redundent(list_of({{1, 5}, {2, 5}, {3, 7}}));
  EXPECT_EQ(contents(l), (std::vector<std::pair<double, double>>{{1, 5}, {3, 7}}));
  list_delete(l);
  l = redundent(list_of({{1, MINUS_INFINITY_TIME}, {2, 3}}));
  EXPECT_EQ(contents(l), (std::vector<std::pair<double, double>>{{2, 3}}));
  list_delete(l);
  double before = reduce_solution;
  EXPECT_EQ(redundent(nullptr), nullptr);
  EXPECT_EQ(reduce_solution, before);

  RLnode *L = list_of({{1, 5}, {2, 8}});
  RLnode *R = list_of({{1, 6}, {3, 9}, {4, 12}});
  RLnode *M = merge_list(L, R, 4);
  EXPECT_EQ(contents(M), (std::vector<std::pair<double, double>>{{2, 5}, {3, 6}, {5, 8}}));
  EXPECT_EQ(M->com->buffertype, COMP_MERGE);
  EXPECT_EQ(M->com->x, 4);
  list_delete(L);
  list_delete(R);
  list_delete(M);
  // Equal required times advance the right list.
  L = list_of({{1, 5}, {2, 8}});
  R = list_of({{1, 5}, {3, 9}});
  M = merge_list(L, R, 4);
  EXPECT_EQ(contents(M), (std::vector<std::pair<double, double>>{{2, 5}, {4, 5}, {5, 8}}));
  list_delete(L);
  list_delete(R);
  list_delete(M);
  expect_all_released();
}

TEST_F(VanTest, TraceRecordsAndCounters) {
  Node sink{1, NODE_SINK, 0, 0, 0.5, 100.0, nullptr, nullptr};
  RLnode *l = create_list(&sink);
  EXPECT_EQ(contents(l), (std::vector<std::pair<double, double>>{{0.5, 100.0}}));
  EXPECT_EQ(l->com, nullptr);
  EXPECT_EQ(total_solution, 32);
  EXPECT_EQ(max_space, 32);
  list_delete(l);
  EXPECT_EQ(reduce_solution, 32);
  EXPECT_EQ(m_reduced, 0);
  list_delete(nullptr);

  Comp *held = make_comp(nullptr, nullptr, 1, 1, 2, 1);
  comp_delete(held);
  EXPECT_EQ(m_reduced, 0);
  held->counter = 0;
  comp_delete(held);
  EXPECT_EQ(m_reduced, 24);

  // A merge record whose two sides are counted only by it: left side first,
  // then right, then the record; a record counted twice survives one release.
  Comp *a = make_comp(nullptr, nullptr, 1, 1, 2, 0);
  Comp *b = make_comp(nullptr, nullptr, 2, 3, 4, 0);
  Comp *shared = make_comp(nullptr, nullptr, 1, 5, 6, 0);
  Comp *wire = make_comp(shared, nullptr, COMP_WIRE, 5, 6, 0);
  Comp *buf = make_comp(shared, nullptr, 2, 5, 6, 0);
  shared->counter = 2;
  a->counter = b->counter = 1;
  Comp *merge = make_comp(a, b, COMP_MERGE, 7, 7, 0);
  double freed = m_reduced;
  comp_delete(merge);
  EXPECT_EQ(m_reduced - freed, 72);
  comp_delete(wire);
  EXPECT_EQ(shared->counter, 1);
  comp_delete(buf);
  EXPECT_EQ(m_used, m_reduced);

  // A chain of a million records is released without deep recursion.
  Comp *top = nullptr;
  for (int i = 0; i < 1000000; i++) {
    if (top) top->counter++;
    top = make_comp(top, nullptr, i % 2, i, i + 1, 0);
  }
  int count = 0;
  std::string text = placements(top, &count);
  EXPECT_EQ(count, 500000);
  EXPECT_EQ(text.substr(0, 31), "start 999999  end 1000000  buff");
  comp_delete(top);
  EXPECT_EQ(m_used, m_reduced);
}

TEST_F(VanTest, PrintFormats) {
  testing::internal::CaptureStdout();
  RLnode *l = list_of({{0.0005, 92}, {0.003, 96}});
  print(l);
  print(nullptr);
  list_delete(l);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out,
            "\tq=92.00000000000000000000\tc=0.5000000000\n"
            "\tq=96.00000000000000000000\tc=3.0000000000\n"
            "empty tree\n");
  int count = 0;
  EXPECT_EQ(placements(nullptr, &count), "empty tree\n");
  EXPECT_EQ(count, 0);
  // Wire and merge records write nothing; at a merge the left side first.
  Comp *l6 = make_comp(nullptr, nullptr, 1, 4, 6, 1);
  Comp *r9 = make_comp(nullptr, nullptr, 3, 4, 9, 1);
  Comp *w = make_comp(r9, nullptr, COMP_WIRE, 4, 9, 1);
  Comp *m = make_comp(l6, w, COMP_MERGE, 4, 4, 0);
  EXPECT_EQ(placements(m, &count), "start 4  end 6  buffertype 1\nstart 4  end 9  buffertype 3\n");
  EXPECT_EQ(count, 2);
  comp_delete(m);
  expect_all_released();
}

// The dynamic programme is exact: on random small nets its slack equals the
// best over every buffer assignment, and the written placements reproduce it.
TEST_F(VanTest, OptimalOnRandomSmallNets) {
  std::mt19937 rng(20261208);
  GenOptions opt;
  opt.max_sinks = 5;
  opt.max_chain_candidates = 3;
  opt.max_types = 3;
  int checked = 0;
  for (int trial = 0; trial < 400; trial++) {
    opt.zero_r0 = trial % 17 == 0;
    opt.equal_times = trial % 5 == 0;
    opt.grid = trial % 7 == 0 ? 2 : 20;
    TestNet net = random_net(rng, opt);
    if (net.cands.size() > 7) continue;
    double work = std::pow(net.lib.size() + 1.0, buffer_sites(net));
    if (work > 20000) continue;
    reset_globals();
    Node *root = load(net);
    RLnode *l = van(root);
    double best = exhaustive_best(net);
    SCOPED_TRACE("trial " + std::to_string(trial) + "\n" + net_text(net) + lib_text(net));
    EXPECT_NEAR(van_answer, best, 1e-9 * std::max(1.0, std::fabs(best)));
    int count = 0;
    Placement p = parse_placements(placements(final_location_van, &count));
    EXPECT_EQ(static_cast<int>(p.size()), count);
    EXPECT_NEAR(elmore_slack(net, p), van_answer, 1e-9 * std::max(1.0, std::fabs(best)));
    list_delete(l);
    expect_all_released();
    checked++;
  }
  EXPECT_GT(checked, 250);
}

}  // namespace
