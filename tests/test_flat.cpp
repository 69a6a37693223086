// Tests of the flat engine: the randomised differential test against the
// list engine (random and degenerate nets, segmented with M = 0 to 3, 1 to 16
// buffer types, half of them with the trace pool collected every few records;
// every written placement must reproduce the slack under an independent
// Elmore evaluation, and the memory counters must balance), the
// exhaustive optimum of tiny nets, end-to-end runs of `-a flat` whose
// placement and final net files reproduce the slack, and a 1.6-million-node
// chain through the binary.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <random>
#include <string>

#include "def.h"
#include "flat.h"
#include "walk.h"
#include "netgen.h"
#include "support.h"
#include "van.h"
#include "wire_segment.h"

namespace {

struct Outcome {
  double slack;
  std::string text;  // the placement file
  Placement placement;
  int count;
};

Outcome run_van(Node *root) {
  Comp *placeholder = make_comp(nullptr, nullptr, 0, 0, 0, 0);
  final_location_van = placeholder;
  RLnode *l = van(root);
  Outcome o{van_answer, {}, {}, 0};
  Comp *w = final_location_van == placeholder ? nullptr : final_location_van;
  o.text = capture_fp([&] { printbuffer(w, &o.count); });
  o.placement = parse_placements(o.text);
  list_delete(l);
  comp_delete(placeholder);
  return o;
}

// The flat engine on the tables (as a model); memory figures into *memory.
Outcome run_flat(int young = 1 << 15, bufins::Memory *memory = nullptr) {
  TablesModel m;
  Outcome o{0.0, {}, {}, 0};
  {
    flat_core::MaxSlack e(m.T, m.ctx, young);
    e.run();
    o.slack = e.slack();
    std::vector<bufins::Placement> placed;
    o.text = placement_lines(e.placements(placed), placed);
    o.count = static_cast<int>(placed.size());
  }
  o.placement = parse_placements(o.text);
  if (memory != nullptr) *memory = m.ctx.memory;
  return o;
}

double tolerance(double v) { return 1e-9 * std::max(1.0, std::fabs(v)); }

TEST(FlatTest, AgreesWithListEngineOnRandomNets) {
  std::mt19937 rng(9090);
  for (int trial = 0; trial < 3000; trial++) {
    GenOptions opt;
    opt.max_sinks = trial % 10 == 0 ? 60 : 12;
    opt.max_chain_candidates = 6;
    opt.max_types = trial % 5 == 0 ? 16 : 4;
    opt.duplicate_types = trial % 3 == 0;
    opt.zero_r0 = trial % 23 == 0;
    opt.zero_c0 = trial % 19 == 0;
    opt.equal_times = trial % 7 == 0;
    opt.grid = trial % 5 == 0 ? 3 : 40;
    TestNet net = random_net(rng, opt);
    degenerate(rng, net, trial);
    int segments = trial % 4;
    SCOPED_TRACE("trial " + std::to_string(trial) + ", segments " + std::to_string(segments) + "\n" + net_text(net) +
                 "--- library\n" + lib_text(net));

    reset_globals();
    Node *root = load_into_tables(net);
    if (segments) root = wire_segment(segments);
    TestNet used = tables_as_net(net);
    Outcome v = run_van(root);

    // Every other net with the trace pool collected every few records.
    bufins::Memory mem;
    Outcome f = run_flat(trial % 2 ? 1 + trial % 7 : 1 << 15, &mem);
    EXPECT_EQ(mem.solutions_opened, mem.solutions_freed);
    EXPECT_EQ(mem.traces_opened, mem.traces_freed);
    EXPECT_GT(mem.peak, 0.0);

    ASSERT_NEAR(f.slack, v.slack, tolerance(v.slack));
    EXPECT_EQ(static_cast<int>(f.placement.size()), f.count);
    // "empty tree" exactly when the list engine writes it.
    EXPECT_EQ(f.text == "empty tree\n", v.text == "empty tree\n") << f.text << "---\n" << v.text;
    if (f.slack > MINUS_INFINITY_TIME) {
      EXPECT_NEAR(elmore_slack(used, f.placement), f.slack, tolerance(f.slack));
    }
    if (HasFailure()) break;
  }
}

TEST(FlatTest, OptimalOnTinyNets) {
  std::mt19937 rng(31);
  for (int trial = 0; trial < 300; trial++) {
    GenOptions opt;
    opt.max_sinks = 3;
    opt.max_chain_candidates = 2;
    opt.max_types = 3;
    opt.duplicate_types = trial % 4 == 0;
    opt.grid = trial % 3 == 0 ? 2 : 30;
    TestNet net = random_net(rng, opt);
    if (buffer_sites(net) > 7) continue;
    SCOPED_TRACE("trial " + std::to_string(trial) + "\n" + net_text(net) + "--- library\n" + lib_text(net));
    reset_globals();
    load_into_tables(net);
    Outcome f = run_flat();
    double best = exhaustive_best(net);
    ASSERT_NEAR(f.slack, best, tolerance(best));
    if (HasFailure()) break;
  }
}

double slack_of(const std::string &out) {
  size_t at = out.find("The slack after buffer insertion : ");
  if (at == std::string::npos) return std::nan("");
  return std::strtod(out.c_str() + at + 35, nullptr);
}

// Through the binary: -a flat reports the list engine's slack, and the
// placement file it writes, applied to the final net file it writes,
// reproduces that slack under the independent evaluator.
TEST(FlatTest, EndToEndAgainstListEngine) {
  std::string dir = make_temp_dir();
  std::mt19937 rng(515);
  for (int trial = 0; trial < 40; trial++) {
    GenOptions opt;
    opt.max_sinks = 20;
    opt.max_types = trial % 4 == 0 ? 16 : 4;
    opt.duplicate_types = trial % 3 == 0;
    TestNet net = random_net(rng, opt);
    if (trial % 10 == 9) net.lib.clear();
    write_net_files(net, dir, "n");
    // 1, 2 or 4 pieces per wire: segment nodes of an integer grid stand at
    // quarter units, which the final net file writes exactly.
    std::string m = std::to_string(trial % 3 == 2 ? 3 : trial % 3);
    SCOPED_TRACE("trial " + std::to_string(trial) + " -m " + m + "\n" + net_text(net) + "--- library\n" + lib_text(net));
    RunResult list = run_bufins("-a list -m " + m + " -f n.net -b n.lib", "", dir);
    RunResult flat_run = run_bufins("-a flat -m " + m + " -f n.net -b n.lib -o -t", "", dir);
    ASSERT_EQ(list.status, 0) << list.err;
    ASSERT_EQ(flat_run.status, 0) << flat_run.err;
    double want = slack_of(list.out), got = slack_of(flat_run.out);
    ASSERT_NEAR(got, want, 2e-9 * std::max(1.0, std::fabs(want))) << flat_run.out;
    // Topology and segment nodes from the final net file, electrical values
    // as generated (the file rounds them).
    TestNet used = parse_net(read_file(dir + "/n.finalnet"));
    used.lib = net.lib;
    used.r0 = net.r0;
    used.c0_file = net.c0_file;
    used.rd = net.rd;
    used.sinks = net.sinks;
    Placement p = parse_placements(read_file(dir + "/n.buf"));
    EXPECT_NEAR(elmore_slack(used, p), got, 2e-9 * std::max(1.0, std::fabs(got)));
    EXPECT_NE(flat_run.out.find("Nonredundant qc list before the source node:\n\tq="), std::string::npos);
    EXPECT_NE(flat_run.out.find("Maximum memory usage is "), std::string::npos);
    if (HasFailure()) break;
  }
  // No candidate beats minus infinity: the placement file is "empty tree".
  write_file(dir + "/late.net",
             "wire_res_per_unit 1\nwire_cap_per_unit 1\ndriver 0 0 1\nsink 1 5 0 1 -30000000000\n"
             "sink 2 0 5 1 -30000000000\ncandidate 3 2 2\nedge 0 3\nedge 3 1\nedge 3 2\n");
  write_file(dir + "/late.lib", "buffer 20 35 180\n");
  RunResult late = run_bufins("-a flat -m 2 -f late.net -b late.lib", "", dir);
  EXPECT_EQ(late.status, 0) << late.err;
  EXPECT_NE(late.out.find("The slack after buffer insertion :     -2e+10\nThe number of inserted buffer is : 0\n"),
            std::string::npos)
      << late.out;
  EXPECT_EQ(read_file(dir + "/late.buf"), "empty tree\n");
  run_shell("rm -rf '" + dir + "'");
}

// A two-pin wire cut into 1.6 million pieces, through the binary with the
// default stack: explicit stacks, and a trace pool that recycles its records
// (the memory figures balance and stay far below a record per node).
TEST(FlatTest, LargeChainWithDefaultStack) {
  std::string dir = make_temp_dir();
  write_file(dir + "/c.net",
             "wire_res_per_unit 0.1\nwire_cap_per_unit 0.2\ndriver 0 0 100\nsink 1 1000000 0 30 5000000\nedge 0 1\n");
  write_file(dir + "/c.lib", "buffer 20 35 180\nbuffer 40 30 90\n");
  RunResult r = run_shell("ulimit -s 8192 && cd '" + dir + "' && '" + BUFINS_BINARY +
                          "' -a flat -m 1599990 -f c.net -b c.lib -o -t > out.txt && tail -n 8 out.txt");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_GT(slack_of(r.out), MINUS_INFINITY_TIME) << r.out;
  auto figure = [&](const std::string &label) {
    size_t at = r.out.find(label);
    return at == std::string::npos ? -1.0 : std::strtod(r.out.c_str() + at + label.size(), nullptr);
  };
  EXPECT_EQ(figure("solutions opened are "), figure("solutions freezed are "));
  EXPECT_EQ(figure("composition opened are "), figure("composition freezed are "));
  EXPECT_GT(figure("Maximum memory usage is "), 0.0);
  EXPECT_LT(figure("Maximum memory usage is "), 64.0);
  run_shell("rm -rf '" + dir + "'");
}

}  // namespace

// The set checker after every operation of random sequences (sinks, wires
// with and without buffers, merges, compactions, hull rebuilds), and a set
// broken on purpose is caught.
TEST(FlatTest, SetsKeepTheirInvariants) {
  std::mt19937 rng(2727);
  for (int trial = 0; trial < 300; trial++) {
    GenOptions opt;
    opt.max_sinks = 12;
    opt.max_types = trial % 4 == 0 ? 16 : 4;
    opt.duplicate_types = trial % 3 == 0;
    opt.equal_times = trial % 5 == 0;
    TestNet net = random_net(rng, opt);
    reset_globals();
    load_into_tables(net);
    TablesModel m;
    if (m.T.nb == 0) continue;
    SCOPED_TRACE("trial " + std::to_string(trial));
    flat_core::Workspace ws(m.T, m.ctx);
    ws.start_pool(1 << 15);
    std::uniform_real_distribution<double> len(0.0, 300.0), time(-500.0, 500.0), load(0.0, 0.05);
    std::uniform_int_distribution<int> pick(0, 5);
    std::vector<flat_core::FlatSet> sets;
    auto leaf = [&] {
      flat_core::FlatSet s;
      s.a = ws.take_array(1);
      s.a.p[0] = {load(rng), time(rng), 0, -1};
      s.a.n = s.base_n = 1;
      flat_core::build_hull(ws, s);
      return s;
    };
    auto check = [&](const flat_core::FlatSet &s, bool covers) {
      EXPECT_EQ(flat_core::check_set(ws, s, covers), "");
    };
    for (int step = 0; step < 60 && !HasFailure(); step++) {
      if (sets.size() < 2) {
        sets.push_back(leaf());
        check(sets.back(), true);
        continue;
      }
      flat_core::FlatSet &s = sets.back();
      const double shear = m.T.least_gate;
      switch (pick(rng)) {
        case 0: case 1: case 2:
          flat_core::edge(ws, s, len(rng), 1, 2, false, shear);
          check(s, true);
          break;
        case 3: {
          flat_core::FlatSet &l = sets[sets.size() - 2];
          flat_core::edge(ws, l, len(rng), 3, 4, true, shear);
          flat_core::edge(ws, s, len(rng), 3, 5, true, shear);
          check(l, false);
          check(s, false);
          flat_core::compact(ws, l, false);
          flat_core::compact(ws, s, false);
          check(l, false);
          check(s, false);
          flat_core::FlatSet mset = flat_core::merge(ws, l, s, 3, shear);
          check(mset, false);
          flat_core::build_hull(ws, mset);
          check(mset, true);
          for (int k = 0; k < 2; k++) {
            ws.free_storage(sets.back().a);
            ws.free_storage(sets.back().hull);
            sets.pop_back();
          }
          if (mset.a.n == 0) {
            ws.free_storage(mset.a);
            ws.free_storage(mset.hull);
          } else {
            sets.push_back(mset);
          }
          break;
        }
        case 4:
          flat_core::compact(ws, s, true);
          check(s, true);
          break;
        default:
          sets.push_back(leaf());
          check(sets.back(), true);
      }
    }
    // Broken on purpose: the sorted part out of order, a trace out of the pool.
    for (flat_core::FlatSet &s : sets) {
      if (s.base_n >= 2) {
        std::swap(s.a.p[0], s.a.p[1]);
        EXPECT_NE(flat_core::check_set(ws, s, false), "");
        std::swap(s.a.p[0], s.a.p[1]);
      }
      if (s.a.n >= 1) {
        const int32_t t = s.a.p[0].trace;
        s.a.p[0].trace = ws.records();
        EXPECT_NE(flat_core::check_set(ws, s, false), "");
        s.a.p[0].trace = t;
      }
      ws.free_storage(s.a);
      ws.free_storage(s.hull);
    }
    if (HasFailure()) break;
  }
}
