// Tests of the fast algorithm: the differential test against the list engine
// on thousands of random nets (slacks must agree and each written placement
// must reproduce its own slack), and the worked cases of buffer addition on
// the candidate trees and of the branch merge.
#include <gtest/gtest.h>
#include <unistd.h>

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

  Node *load(const TestNet &net) {
    std::string dir = make_temp_dir();
    write_net_files(net, dir, "t");
    FILE *lib = std::fopen((dir + "/t.lib").c_str(), "r");
    InputLib(lib, "t.lib");
    std::fclose(lib);
    FILE *in = std::fopen((dir + "/t.net").c_str(), "r");
    Node *root = read_net(in, "t.net");
    std::fclose(in);
    std::remove((dir + "/t.lib").c_str());
    std::remove((dir + "/t.net").c_str());
    rmdir(dir.c_str());
    return root;
  }

  // The net as the tables hold it (segment nodes included), for the
  // independent evaluator.
  static TestNet tables_as_net(const TestNet &original) {
    TestNet net = original;
    net.sinks.clear();
    net.cands.clear();
    net.edges.clear();
    for (int i = 1; i < n_sinks; i++)
      net.sinks.push_back({nodes[i].index, nodes[i].x, nodes[i].y, nodes[i].cap * 1000.0, nodes[i].time});
    for (int i = n_sinks; i < n_sinks + n_candidates; i++) net.cands.push_back({nodes[i].index, nodes[i].x, nodes[i].y});
    for (int i = 0; i < n_sinks + n_candidates; i++) {
      if (nodes[i].left) net.edges.push_back({nodes[i].index, nodes[i].left->index});
      if (nodes[i].right) net.edges.push_back({nodes[i].index, nodes[i].right->index});
    }
    return net;
  }

  template <typename Printer>
  static std::string capture_placements(Printer printer, Comp *trace, int *count) {
    FILE *tmp = std::tmpfile();
    fp = tmp;
    printer(trace, count);
    std::fflush(tmp);
    std::rewind(tmp);
    std::string text;
    int ch;
    while ((ch = std::fgetc(tmp)) != EOF) text.push_back(static_cast<char>(ch));
    std::fclose(tmp);
    fp = stdout;
    return text;
  }

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
    o.placement = parse_placements(capture_placements(printbuffer, w, &o.count));
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
    o.placement = parse_placements(capture_placements(printbuffer_fastins, w, &o.count));
    for (int i = 0; i < fastins_trees; i++) {
      std::string why;
      EXPECT_TRUE(check_candidate_tree(rt[i], lists[i], &why)) << "type " << i << ": " << why;
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
TEST_F(FastinsTest, AgreesWithListEngineOnRandomNets) {
  std::mt19937 rng(4242);
  for (int trial = 0; trial < 3000; trial++) {
    GenOptions opt;
    opt.max_sinks = trial % 10 == 0 ? 60 : 12;
    opt.max_chain_candidates = 6;
    opt.max_types = trial % 4 == 0 ? 8 : 4;
    opt.duplicate_types = trial % 3 == 0;
    opt.zero_r0 = trial % 23 == 0;
    opt.zero_c0 = trial % 19 == 0;
    opt.equal_times = trial % 7 == 0;
    opt.grid = trial % 5 == 0 ? 3 : 40;
    TestNet net = random_net(rng, opt);
    int segments = trial % 4;
    SCOPED_TRACE("trial " + std::to_string(trial) + ", segments " + std::to_string(segments) + "\n" + net_text(net) +
                 "--- library\n" + lib_text(net));

    reset_globals();
    Node *root = load(net);
    if (segments) wire_segment(segments);
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

}  // namespace
