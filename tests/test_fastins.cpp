// Tests of the fast algorithm: the differential test against the list engine
// on thousands of random nets (slacks must agree and each written placement
// must reproduce its own slack), and the worked cases of buffer addition on
// the candidate trees and of the branch merge.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "def.h"
#include "expiration_list.h"
#include "fastins.h"
#include "io.h"
#include "netgen.h"
#include "support.h"
#include "tree.h"
#include "van.h"
#include "wire_segment.h"

namespace {

class FastinsTest : public ::testing::Test {
 protected:
  void SetUp() override { reset_globals(); }
  void TearDown() override {
    fp = stdout;
    if (NIL) nil_free();
  }

  static Node *load(const TestNet &net) { return load_into_tables(net); }

  struct Outcome {
    double slack;
    Placement placement;
    int count;
  };

  // Runs the list engine on the loaded net and releases everything.
  static Outcome run_van(Node *root) {
    Comp *placeholder = make_comp(nullptr, nullptr, 0, 0, 0, 0);
    final_location_van = placeholder;
    RLnode *l = van(root);
    Outcome o{van_answer, {}, 0};
    Comp *w = final_location_van == placeholder ? nullptr : final_location_van;
    o.placement = parse_placements(capture_fp([&] { printbuffer(w, &o.count); }));
    list_delete(l);
    comp_delete(placeholder);
    return o;
  }

  // Runs the fast algorithm on the loaded net, checks the structures it hands
  // back, and releases everything.
  static Outcome run_fast(Node *root) {
    nil_make();
    Comp *placeholder = make_comp(nullptr, nullptr, 0, 0, 0, 0);
    final_location_fastins = placeholder;
    std::vector<double> k(n_buffertype, 0.0);
    RTnode *rt[MAX_BUFFERTYPES + 1], *lists[MAX_BUFFERTYPES + 1];
    fastins(k.data(), root, rt, lists);
    Outcome o{fastins_answer, {}, 0};
    Comp *w = final_location_fastins == placeholder ? nullptr : final_location_fastins;
    o.placement = parse_placements(capture_fp([&] { printbuffer_fastins(w, &o.count); }));
    for (int i = 0; i < fastins_trees; i++) {
      std::string why;
      EXPECT_TRUE(check_candidate_tree(rt[i], lists[i], &why)) << "type " << i << ": " << why;
      // No candidate dominates its neighbour (so no two share a time). The walk
      // pushes every pending update, as the -o listing does.
      RTnode *prev = NIL;
      for (RTnode *x = rt[i] == NIL ? NIL : minimum(rt[i]); x != NIL; prev = x, x = node_succ(x))
        if (prev != NIL) {
          EXPECT_LT(prev->time, x->time) << "type " << i;
          EXPECT_LT(prev->cap, x->cap) << "type " << i;
        }
    }
    for (int i = fastins_trees - 1; i >= 0; i--) {
      tree_delete(rt[i]);
      tree_delete_swap(lists[i]);
    }
    comp_delete(placeholder);
    nil_free();
    return o;
  }

  static double tolerance(double v) { return 1e-9 * std::max(1.0, std::fabs(v)); }
};

// The core check: both algorithms solve the same problem exactly, so their
// slacks agree on every net, and each placement file reproduces its slack.
// The trials after the first 3000 are degenerate nets, where required times
// tie: zero wire constants, zero loads, buffers without delay or resistance,
// duplicated types, equal required times and nodes on one point, each drawn at
// random.
TEST_F(FastinsTest, AgreesWithListEngineOnRandomNets) {
  std::mt19937 rng(4242);
  for (int trial = 0; trial < 5000; trial++) {
    GenOptions opt;
    opt.max_sinks = trial % 10 == 0 ? 60 : 12;
    opt.max_chain_candidates = 6;
    opt.max_types = trial % 4 == 0 ? 8 : 4;
    if (trial < 3000) {
      opt.duplicate_types = trial % 3 == 0;
      opt.zero_r0 = trial % 23 == 0;
      opt.zero_c0 = trial % 19 == 0;
      opt.equal_times = trial % 7 == 0;
      opt.grid = trial % 5 == 0 ? 3 : 40;
    } else {
      auto coin = [&] { return std::uniform_int_distribution<int>(0, 1)(rng) == 1; };
      opt.duplicate_types = coin();
      opt.zero_r0 = coin();
      opt.zero_c0 = coin();
      opt.equal_times = coin();
      opt.zero_loads = coin();
      opt.zero_delays = coin();
      opt.zero_res = coin();
      opt.grid = coin() ? 0 : coin() ? 2 : 40;
    }
    TestNet net = random_net(rng, opt);
    int segments = trial % 4;
    SCOPED_TRACE("trial " + std::to_string(trial) + ", segments " + std::to_string(segments) + "\n" + net_text(net) +
                 "--- library\n" + lib_text(net));

    reset_globals();
    Node *root = load(net);
    if (segments) root = wire_segment(segments);
    TestNet used = tables_as_net(net);
    Outcome v = run_van(root);
    EXPECT_EQ(total_solution, reduce_solution);
    EXPECT_EQ(m_used, m_reduced);

    total_solution = reduce_solution = m_used = m_reduced = max_space = 0.0;
    Outcome f = run_fast(root);
    EXPECT_EQ(total_solution, reduce_solution);
    EXPECT_EQ(m_used, m_reduced);

    ASSERT_NEAR(f.slack, v.slack, tolerance(v.slack));
    EXPECT_EQ(static_cast<int>(f.placement.size()), f.count);
    EXPECT_NEAR(elmore_slack(used, v.placement), v.slack, tolerance(v.slack));
    EXPECT_NEAR(elmore_slack(used, f.placement), f.slack, tolerance(f.slack));
    if (HasFailure()) break;
  }
}

// Zero wire constants and zero-delay buffers: every buffered candidate ties
// with the unbuffered zero-load sink in required time and loads more, so it is
// dominated; no buffer helps and the slack is 0 in both algorithms.
TEST_F(FastinsTest, TiedRequiredTimesKeepTheOptimum) {
  TestNet net;
  net.r0 = 0;
  net.c0_file = 0;
  net.dx = 2184;
  net.dy = 1101;
  net.rd = 223.8383418688183;
  net.sinks = {{63, -930, 1946, 0, 0}, {47, 19, 4832, 0, 0}};
  net.cands = {{60, 2636, 3154}};
  net.edges = {{60, 63}, {0, 60}, {60, 47}};
  net.lib = {{0.000745852126019268, 0, 482.08691096253364}, {38.4, 0, 292.12593493358395}};
  Node *root = load(net);
  Outcome v = run_van(root);
  Outcome f = run_fast(root);
  EXPECT_EQ(v.slack, 0.0);
  EXPECT_EQ(f.slack, 0.0);
  EXPECT_EQ(f.count, 0);
  EXPECT_EQ(total_solution, reduce_solution);
  EXPECT_EQ(m_used, m_reduced);
}

// One-candidate tree of each type for a sink (q, c), as the walk makes it.
struct TypeSets {
  std::vector<double> k;
  RTnode *rt[MAX_BUFFERTYPES + 1];
  RTnode *list[MAX_BUFFERTYPES + 1];
  void release() {
    for (int i = fastins_trees - 1; i >= 0; i--) {
      tree_delete(rt[i]);
      tree_delete_swap(list[i]);
    }
  }
};

TypeSets sink_sets(double q, double c) {
  Node sink{1, NODE_SINK, 0, 0, c, q, nullptr, nullptr};
  TypeSets s;
  s.k.assign(n_buffertype, 0.0);
  create(s.k.data(), s.rt, &sink, s.list);
  return s;
}

std::vector<std::pair<double, double>> tree_values(RTnode *root) {
  std::vector<std::pair<double, double>> v;
  for (RTnode *x = minimum(root); x != NIL; x = node_succ(x)) v.push_back({x->time, x->cap});
  return v;
}

TEST_F(FastinsTest, BufferUpdateWorkedCases) {
  nil_make();
  r0 = 0.1;
  c0 = 0.2;
  n_buffertype = 1;
  rb[0] = 50;
  tb[0] = 20;
  cb[0] = 0.3;
  fastins_prepare(nullptr);
  // The candidate (q 1000, c 0.5) carried up a wire of 10 and driven by the
  // buffer: 1000 - 1 - 0.5 - 125 - 20.
  TypeSets s = sink_sets(1000, 0.5);
  s.k[0] += 10;
  buffer_update(s.k.data(), 10, s.rt, s.list, 7, 8);
  auto v = tree_values(s.rt[0]);
  ASSERT_EQ(v.size(), 2u);
  EXPECT_DOUBLE_EQ(v[0].first, 853.5);
  EXPECT_DOUBLE_EQ(v[0].second, 0.3);
  EXPECT_DOUBLE_EQ(v[1].first, 998.5);
  EXPECT_DOUBLE_EQ(v[1].second, 2.5);
  RTnode *buffered = minimum(s.rt[0]);
  ASSERT_NE(buffered->com, nullptr);
  EXPECT_EQ(buffered->com->buffertype, 1);
  EXPECT_EQ(buffered->com->x, 7);
  EXPECT_EQ(buffered->com->y, 8);
  EXPECT_EQ(buffered->com->left, nullptr);
  // The upper candidate carries the only entry, keyed at its crossing length
  // above the current length.
  RTnode *upper = node_succ(buffered);
  ASSERT_NE(upper->swap_option, NIL);
  EXPECT_DOUBLE_EQ(upper->swap_option->time, ((998.5 - 853.5) / (2.5 - 0.3) - 50) / 0.1 + 10);
  std::string why;
  EXPECT_TRUE(check_candidate_tree(s.rt[0], s.list[0], &why)) << why;
  s.release();

  // Neighbours (100, 1) and (160, 2) with rb 50, r0 0.5 and reference length
  // 5 get the key 25; at an accumulated length of 25 the upper one expires.
  r0 = 0.5;
  c0 = 0.0;
  s = sink_sets(100, 1);
  link_inserted(&s.list[0], insert(&s.rt[0], 160, 2, nullptr, &s.list[0]), 5, 50);
  RTnode *e = minimum(s.list[0]);
  EXPECT_DOUBLE_EQ(e->time, 25);
  EXPECT_EQ(e->qc_option->time, 160);
  s.k[0] = 25 - 1e-12;  // within the expiry tolerance
  buffer_update(s.k.data(), 0, s.rt, s.list, 7, 8);
  v = tree_values(s.rt[0]);
  // Only (100, 1) is left to drive: 100 - 50 * 1 - 20; the buffered candidate
  // (50, 0.3) then dominates nothing and stays below it.
  ASSERT_EQ(v.size(), 2u);
  EXPECT_DOUBLE_EQ(v[0].first, 30);
  EXPECT_DOUBLE_EQ(v[1].first, 100);
  EXPECT_TRUE(check_candidate_tree(s.rt[0], s.list[0], &why)) << why;
  s.release();
  EXPECT_EQ(total_solution, reduce_solution);
  EXPECT_EQ(m_used, m_reduced);
}

TEST_F(FastinsTest, DriverSlackAndDriverTree) {
  // A sink (q 1000, c 0.5) driven through rd 100 and a wire of 10:
  // 1000 - 1 - 50.5 - 200.
  TestNet net;
  net.r0 = 0.1;
  net.c0_file = 200;
  net.rd = 100;
  net.sinks.push_back({1, 10, 0, 500, 1000});
  net.edges = {{0, 1}};
  net.lib.push_back({300, 20, 50});
  Node *root = load(net);
  Outcome f = run_fast(root);
  EXPECT_DOUBLE_EQ(f.slack, 748.5);
  EXPECT_TRUE(f.placement.empty());
  EXPECT_EQ(fastins_trees, 1);  // rd + wire is above the buffer's resistance

  // A driver weaker than... stronger than the last buffer type: the driver
  // gets its own tree, and the answer is still the list engine's.
  reset_globals();
  net.rd = 10;
  net.r0 = 0.1;
  net.sinks.push_back({2, 40, 30, 800, 900});
  net.cands.push_back({100, 20, 0});
  net.edges = {{0, 100}, {100, 1}, {100, 2}};
  net.lib = {{300, 20, 500}, {100, 5, 400}};
  root = load(net);
  Outcome v = run_van(root);
  f = run_fast(root);
  EXPECT_EQ(fastins_trees, 3);
  EXPECT_NEAR(f.slack, v.slack, tolerance(v.slack));
}

// Builds tree i of a Sets from candidates inserted in the given order (with
// pruning and expiration entries, as the walk makes them).
void build_type(Sets &s, const std::vector<std::pair<double, double>> &qc, double k) {
  s.rt.assign(1, NIL);
  s.list.assign(1, NIL);
  s.k.assign(1, k);
  for (auto &p : qc) {
    link_inserted(&s.list[0], insert(&s.rt[0], p.first, p.second, nullptr, &s.list[0]), k, fastins_rb[0]);
  }
}

// The merged set every pair of candidates can make, pruned: (min q, sum c).
std::vector<std::pair<double, double>> pair_frontier(const std::vector<std::pair<double, double>> &a,
                                                     const std::vector<std::pair<double, double>> &b) {
  std::vector<std::pair<double, double>> all;  // (c, q)
  for (auto &x : a)
    for (auto &y : b) all.push_back({x.second + y.second, std::min(x.first, y.first)});
  std::sort(all.begin(), all.end(), [](auto &u, auto &v) { return u.first < v.first || (u.first == v.first && u.second > v.second); });
  std::vector<std::pair<double, double>> front;  // (q, c)
  for (auto &p : all)
    if (front.empty() || p.second > front.back().first) front.push_back({p.second, p.first});
  return front;
}

// Two candidate sets are equivalent when each candidate of one is matched or
// beaten (q no earlier, c no larger) by one of the other.
bool covers(const std::vector<std::pair<double, double>> &by, const std::vector<std::pair<double, double>> &what) {
  for (auto &w : what) {
    bool ok = false;
    for (auto &b : by) ok = ok || (b.first >= w.first - 1e-9 && b.second <= w.second + 1e-9);
    if (!ok) return false;
  }
  return true;
}

TEST_F(FastinsTest, BranchMergeCases) {
  nil_make();
  r0 = 1;
  n_buffertype = 1;
  rb[0] = 1;
  fastins_prepare(nullptr);
  auto merged = [&](std::vector<std::pair<double, double>> small, std::vector<std::pair<double, double>> large,
                    double *k) {
    Sets S, L;
    build_type(S, small, 3);
    build_type(L, large, 7);
    merge_type(0, 9, S, L);
    std::string why;
    EXPECT_TRUE(check_candidate_tree(L.rt[0], L.list[0], &why)) << why;
    auto v = tree_values(L.rt[0]);
    *k = L.k[0];
    tree_delete(S.rt[0]);
    tree_delete_swap(S.list[0]);
    tree_delete(L.rt[0]);
    tree_delete_swap(L.list[0]);
    return v;
  };
  using V = std::vector<std::pair<double, double>>;
  double k;
  // The smaller side's greatest q lies below every q of the larger side: the
  // larger tree is dropped and the merge list alone remains, at the smaller
  // side's accumulated length.
  EXPECT_EQ(merged({{1, 1}}, {{5, 1}, {6, 2}}, &k), (V{{1, 2}}));
  EXPECT_EQ(k, 3);
  // Its least q lies above every q of the larger side: nothing is merged in,
  // nothing cut, and every candidate of the larger side takes its load.
  EXPECT_EQ(merged({{10, 1}}, {{5, 1}, {6, 2}}, &k), (V{{5, 2}, {6, 3}}));
  EXPECT_EQ(k, 7);
  // A candidate of the larger side with exactly the smaller side's greatest q
  // is kept as the top of the range and then replaced by the merged one.
  EXPECT_EQ(merged({{3, 1}, {6, 1.5}}, {{2, 1}, {6, 2}, {8, 3}}, &k), (V{{2, 2}, {3, 3}, {6, 3.5}}));
  // Ranges that reach the larger side's least candidate before the smaller
  // side is used up.
  EXPECT_EQ(merged({{1, 1}, {5, 2}}, {{3, 1}, {4, 2}}, &k), (V{{1, 2}, {3, 3}, {4, 4}}));

  // Random sets, equal keys included: the merged tree is the pair frontier.
  std::mt19937 rng(77);
  for (int trial = 0; trial < 2000; trial++) {
    auto rand_set = [&](int n) {
      V v;
      for (int j = 0; j < n; j++)
        v.push_back({double(std::uniform_int_distribution<int>(0, 12)(rng)),
                     double(std::uniform_int_distribution<int>(1, 12)(rng))});
      return v;
    };
    Sets S, L;
    build_type(S, rand_set(1 + trial % 5), 3);
    build_type(L, rand_set(1 + trial % 9), 7);
    V sv = tree_values(S.rt[0]), lv = tree_values(L.rt[0]);
    if (sv.size() > lv.size()) {
      std::swap(S, L);
      std::swap(sv, lv);
    }
    merge_type(0, 9, S, L);
    V got = tree_values(L.rt[0]);
    V want = pair_frontier(sv, lv);
    SCOPED_TRACE("trial " + std::to_string(trial));
    EXPECT_TRUE(covers(got, want) && covers(want, got));
    std::string why;
    EXPECT_TRUE(check_candidate_tree(L.rt[0], L.list[0], &why)) << why;
    for (Sets *side : {&S, &L}) {
      tree_delete(side->rt[0]);
      tree_delete_swap(side->list[0]);
    }
    if (HasFailure()) break;
  }
  EXPECT_EQ(total_solution, reduce_solution);
  EXPECT_EQ(m_used, m_reduced);
}

// The bundled example, answered through the binary: both algorithms report the
// same slack, and the fast algorithm's full report is as recorded.
TEST_F(FastinsTest, EndToEndOnTheExample) {
  std::string dir = make_temp_dir();
  std::string src = std::string(BUFINS_SOURCE_DIR) + "/examples/";
  write_file(dir + "/demo.net", read_file(src + "demo.net"));
  write_file(dir + "/demo.lib", read_file(src + "demo.lib"));
  RunResult fast = run_bufins("-f demo.net -b demo.lib -o -t -d", "2\n0\n", dir);
  ASSERT_EQ(fast.status, 0) << fast.err;
  std::string out = fast.out;
  size_t at = out.find("Algorithm time is : ");
  ASSERT_NE(at, std::string::npos);
  out = out.substr(0, at) + "Algorithm time is : (masked)\n";
  EXPECT_EQ(out, read_file(data_path("fast_demo_o_t_d.out")));
  EXPECT_EQ(read_file(dir + "/demo.buf"), read_file(data_path("fast_demo_o_t_d.buf")));
  size_t slack_at = fast.out.find("The slack");
  std::string fast_slack = fast.out.substr(slack_at, fast.out.find('\n', slack_at) + 1 - slack_at);
  RunResult list = run_bufins("-f demo.net -b demo.lib", "1\n0\n", dir);
  ASSERT_EQ(list.status, 0);
  EXPECT_NE(list.out.find(fast_slack), std::string::npos);

  // A net on which the last buffer type is weaker than the driver.
  write_file(dir + "/weak.net", read_file(data_path("fast_weak_last_type.net")));
  write_file(dir + "/weak.lib", read_file(data_path("fast_weak_last_type.lib")));
  for (const char *answers : {"1\n0\n", "2\n0\n"}) {
    RunResult r = run_bufins("-f weak.net -b weak.lib", answers, dir);
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("The slack after buffer insertion : 210.9761301\n"), std::string::npos) << answers;
  }
  // Extreme magnitudes (1e60 next to 5e-324) leave equal and nearly equal
  // keys; the range updates of a merge must still not cross.
  write_file(dir + "/extreme.net", read_file(data_path("fast_extreme_values.net")));
  write_file(dir + "/extreme.lib", read_file(data_path("fast_extreme_values.lib")));
  for (const char *answers : {"1\n0\n", "2\n0\n", "2\n3\n"}) {
    RunResult r = run_bufins("-f extreme.net -b extreme.lib", answers, dir);
    EXPECT_EQ(r.status, 0) << answers << r.err;
    EXPECT_NE(r.out.find("The slack after buffer insertion"), std::string::npos) << answers;
  }
  // No candidate beats minus infinity at the driver: the winner's trace
  // counts as empty in both algorithms.
  write_file(dir + "/late.net",
             "wire_res_per_unit 1\nwire_cap_per_unit 1\ndriver 0 0 1\nsink 1 5 0 1 -30000000000\n"
             "sink 2 0 5 1 -30000000000\ncandidate 3 2 2\nedge 0 3\nedge 3 1\nedge 3 2\n");
  for (const char *answers : {"1\n0\n", "2\n0\n", "1\n2\n", "2\n2\n"}) {
    RunResult r = run_bufins("-f late.net -b demo.lib", answers, dir);
    EXPECT_EQ(r.status, 0) << answers;
    EXPECT_NE(r.out.find("The slack after buffer insertion :     -2e+10\nThe number of inserted buffer is : 0\n"),
              std::string::npos)
        << answers << r.out;
    EXPECT_EQ(read_file(dir + "/late.buf"), "empty tree\n") << answers;
  }
  // An empty library cannot feed the fast algorithm.
  write_file(dir + "/empty.lib", "");
  RunResult empty = run_bufins("-f demo.net -b empty.lib", "2\n0\n", dir);
  EXPECT_EQ(empty.status, 1);
  EXPECT_NE(empty.err.find("no buffer type"), std::string::npos);
  run_shell("rm -rf '" + dir + "'");
}

// A chain of 1.6 million nodes (a two-pin net cut into pieces) solves with the
// default stack.
TEST_F(FastinsTest, LargeChainWithDefaultStack) {
  std::string dir = make_temp_dir();
  write_file(dir + "/c.net",
             "wire_res_per_unit 0.1\nwire_cap_per_unit 0.2\ndriver 0 0 100\nsink 1 1000000 0 30 5000000\nedge 0 1\n");
  write_file(dir + "/c.lib", "buffer 20 35 180\n");
  RunResult r = run_shell("ulimit -s 8192 && cd '" + dir + "' && '" + BUFINS_BINARY + "' -f c.net -b c.lib", "2\n1599990\n");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("The slack after buffer insertion"), std::string::npos);
  EXPECT_EQ(r.err, "");
  run_shell("rm -rf '" + dir + "'");
}

}  // namespace
