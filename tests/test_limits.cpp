// Tests of the electrical limits: the limited flat engine against exhaustive
// search over the assignments that meet the limits (tiny random and
// degenerate nets, binding load and slew limits, with and without wire
// segmentation), tightening a limit never raising the slack, the stage
// evaluation against the independent one, and end-to-end runs: infeasible
// requests, limits that cannot bind, usage errors, and every written
// placement passing bufins-check with the same limits.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <map>
#include <random>
#include <string>

#include "def.h"
#include "flat.h"
#include "flat_limits.h"
#include "netgen.h"
#include "stage_limits.h"
#include "support.h"
#include "wire_segment.h"

namespace {

double tolerance(double v) { return 1e-9 * std::max(1.0, std::fabs(v)); }

struct Limited {
  bool feasible;
  double slack;
  Placement placement;
  std::string text;
};

// The limited engine on the tables (as a model); memory figures into *memory.
Limited run_limited(const Limits &lim, const LimitedTuning &tuning = LimitedTuning(),
                    bufins::Memory *memory = nullptr) {
  Limited r{};
  TablesModel m;
  {
    FlatLimited engine(m.T, m.ctx, lim, tuning);
    r.feasible = engine.run();
    r.slack = engine.slack();
    if (r.feasible) {
      std::vector<bufins::Placement> placed;
      r.text = placement_lines(engine.placements(placed), placed);
      r.placement = parse_placements(r.text);
    }
  }
  if (memory != nullptr) *memory = m.ctx.memory;
  return r;
}

// The best slack of the flat engine without limits on the tables.
double unlimited_slack() {
  TablesModel m;
  flat_core::MaxSlack e(m.T, m.ctx);
  e.run();
  return e.slack();
}

// The stages of a placement on the tables (by table position) meet the limits.
bool stages_meet(const std::vector<int> &on, const Limits &lim, double tolerance = 1e-9) {
  TablesModel m;
  return check_stages(m.T, compute_stages(m.T, on), lim, tolerance).empty();
}

// The worst slew and load of the unbuffered net in the tables: limits are
// drawn around them so that they bind.
void unbuffered_extremes(double *slew, double *load) {
  TablesModel m;
  std::vector<int> none(static_cast<size_t>(n_sinks + n_candidates), 0);
  std::vector<Stage> st = compute_stages(m.T, none);
  *slew = st[0].slew;
  *load = st[0].load;
}

// Random limits for `net`, some of them as fields of the library and the
// driver line; written into lim (options) and the net (fields).
TestLimits draw_limits(std::mt19937 &rng, TestNet &net, double slew, double load, int trial) {
  auto real = [&](double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(rng); };
  TestLimits lim;
  if (trial % 3 != 1) lim.max_slew = real(0.02, 1.1) * slew;
  if (trial % 3 != 0) lim.max_cap_file = real(0.05, 1.1) * load * 1000.0;
  if (trial % 4 == 3)
    for (auto &b : net.lib)
      if (rng() % 2) b.max_cap_file = real(0.2, 1.5) * load * 1000.0;
  if (trial % 5 == 4) net.driver_max_cap_file = real(0.2, 1.5) * load * 1000.0;
  return lim;
}

// The driver, a branching candidate node (after a wire or none), a near
// sink and a light sink behind a long wire of little capacitance, and
// buffers heavier than that wire: the wire's delay decides the slew.
TestNet far_sink_net(std::mt19937 &rng) {
  auto real = [&](double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(rng); };
  auto uni = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  TestNet net;
  net.r0 = real(0.2, 1.5);
  net.c0_file = real(0.01, 0.2);
  net.rd = real(20, 300);
  const double l0 = uni(0, 600), l1 = uni(100, 1500);
  net.cands.push_back({1000, l0, 0});
  switch (uni(0, 2)) {
    case 0:  // the near sink at the branch
      net.sinks.push_back({1, l0 + l1, 0, real(1, 20), real(900, 1100)});
      net.sinks.push_back({2, l0, 5, real(1, 20), real(900, 1100)});
      net.edges = {{0, 1000}, {1000, 1}, {1000, 2}};
      break;
    case 1:  // and a candidate node on the long wire
      net.sinks.push_back({1, l0 + l1, 0, real(1, 20), real(900, 1100)});
      net.sinks.push_back({2, l0, 5, real(1, 20), real(900, 1100)});
      net.cands.push_back({1001, l0 + l1 / 3, 0});
      net.edges = {{0, 1000}, {1000, 1001}, {1000, 2}, {1001, 1}};
      break;
    default: {  // two far sinks, each behind a candidate node: both sides trade load for delay
      const double l2 = uni(100, 1500);
      net.sinks.push_back({1, l0 + l1, 0, real(1, 20), real(900, 1100)});
      net.sinks.push_back({2, l0, l2, real(1, 20), real(900, 1100)});
      net.cands.push_back({1001, l0 + static_cast<double>(uni(0, static_cast<int>(l1))), 0});
      net.cands.push_back({1002, l0, static_cast<double>(uni(0, static_cast<int>(l2)))});
      net.edges = {{0, 1000}, {1000, 1001}, {1000, 1002}, {1001, 1}, {1002, 2}};
      break;
    }
  }
  for (int t = uni(1, 2); t > 0; t--) net.lib.push_back({real(20, 150), real(0, 40), real(5, 100)});
  return net;
}

Limits as_options(const TestLimits &t) {
  Limits l;
  if (t.max_cap_file < 1e300) l.max_cap = t.max_cap_file / 1000.0;
  l.max_slew = t.max_slew;
  return l;
}

TEST(LimitsTest, FlatAgreesWithExhaustiveSearch) {
  std::mt19937 rng(2121);
  int feasible_cases = 0, infeasible_cases = 0, binding = 0;
  for (int trial = 0; trial < 900; trial++) {
    GenOptions opt;
    opt.max_sinks = trial % 7 == 0 ? 4 : 3;
    opt.max_chain_candidates = 2;
    opt.max_types = trial % 5 == 0 ? 4 : 3;
    opt.duplicate_types = trial % 4 == 0;
    opt.zero_r0 = trial % 31 == 0;
    opt.zero_c0 = trial % 29 == 0;
    opt.equal_times = trial % 11 == 0;
    opt.zero_loads = trial % 13 == 0;
    opt.zero_delays = trial % 17 == 0;
    opt.zero_res = trial % 19 == 0;
    opt.grid = trial % 6 == 0 ? 2 : 30;
    // A third of the nets: a light sink far away, where a heavier candidate
    // (a buffer close by) can be the one that meets the slew limit.
    TestNet net = trial % 3 == 2 ? far_sink_net(rng) : random_net(rng, opt);
    const int segments = trial % 9 == 0 ? 1 : 0;
    if (buffer_sites(net) > (segments ? 3 : 7)) continue;

    reset_globals();
    load_into_tables(net);
    double slew, load;
    unbuffered_extremes(&slew, &load);
    TestLimits tl = draw_limits(rng, net, slew, load, trial);
    if (trial % 3 == 2) tl.max_cap_file = 1e300;
    SCOPED_TRACE("trial " + std::to_string(trial) + " segments " + std::to_string(segments) + " max_slew " +
                 std::to_string(tl.max_slew) + " max_cap " + std::to_string(tl.max_cap_file) + "\n" + net_text(net) +
                 "--- library\n" + lib_text(net));
    reset_globals();
    load_into_tables(net);
    if (segments) wire_segment(segments);
    TestNet used = tables_as_net(net);
    const Limits lim = as_options(tl);

    long count = 0;
    Placement best_pick;
    const double best = exhaustive_best_limited(used, tl, &count, &best_pick);
    const double unlimited = exhaustive_best(used);
    Limited got;
    bufins::Memory mem;
    {
      // Half the nets with the trace pool collected every few records, and
      // with every set searched beside its hull as a large one is.
      LimitedTuning tuning;
      if (trial % 2) tuning = {1 + trial % 5, trial % 4 == 1 ? 0 : 2};
      got = run_limited(lim, tuning, &mem);
    }
    EXPECT_EQ(mem.solutions_opened, mem.solutions_freed);
    EXPECT_EQ(mem.traces_opened, mem.traces_freed);

    ASSERT_EQ(got.feasible, count > 0) << "exhaustive: " << count << " assignments meet the limits";
    if (count == 0) {
      infeasible_cases++;
      continue;
    }
    feasible_cases++;
    binding += best < unlimited - tolerance(unlimited);
    if (best <= MINUS_INFINITY_TIME) {
      EXPECT_EQ(got.slack, MINUS_INFINITY_TIME);
      continue;
    }
    ASSERT_NEAR(got.slack, best, tolerance(best));
    EXPECT_TRUE(meets_limits(used, tl, got.placement)) << got.text;
    EXPECT_NEAR(elmore_slack(used, got.placement), got.slack, tolerance(got.slack)) << got.text;
    if (HasFailure()) break;
  }
  // The draw must exercise all three outcomes.
  EXPECT_GT(feasible_cases, 200);
  EXPECT_GT(infeasible_cases, 50);
  EXPECT_GT(binding, 100);
}

// The frontier under limits: at every cost the best slack over the
// assignments of no larger cost that meet the limits, as exhaustive search
// gives it (unit, unequal and zero areas); every point's placement meets the
// limits and reproduces its slack, cost and buffer count; the last point is
// the limited flat engine's slack.
TEST(LimitsTest, FrontierAgreesWithExhaustiveSearch) {
  std::mt19937 rng(4242);
  int checked = 0, points_seen = 0;
  for (int trial = 0; trial < 1500; trial++) {
    GenOptions opt;
    opt.max_sinks = 3;
    opt.max_chain_candidates = 2;
    opt.max_types = 3;
    opt.duplicate_types = trial % 4 == 0;
    opt.equal_times = trial % 11 == 0;
    opt.grid = trial % 6 == 0 ? 2 : 30;
    TestNet net = trial % 3 == 2 ? far_sink_net(rng) : random_net(rng, opt);
    for (auto &b : net.lib) b.area = trial % 4 == 0 ? 1 : static_cast<long long>(rng() % 4);
    // Large areas: a common divisor (costs counted in its units), or none
    // (costs too far apart for one bucket each).
    if (trial % 8 == 5)
      for (auto &b : net.lib) b.area *= 2000;
    if (trial % 8 == 7)
      for (auto &b : net.lib) b.area = b.area * 3001 + 1;
    if (buffer_sites(net) > 6) continue;
    reset_globals();
    load_into_tables(net);
    double slew, load;
    unbuffered_extremes(&slew, &load);
    TestLimits tl = draw_limits(rng, net, slew, load, trial);
    if (trial % 3 == 2) tl.max_cap_file = 1e300;
    SCOPED_TRACE("trial " + std::to_string(trial) + " max_slew " + std::to_string(tl.max_slew) + " max_cap " +
                 std::to_string(tl.max_cap_file) + "\n" + net_text(net) + "--- library\n" + lib_text(net));
    reset_globals();
    load_into_tables(net);
    const Limits lim = as_options(tl);
    const std::map<long long, double> truth = exhaustive_by_cost_limited(net, tl);
    TablesModel tm;
    {
      LimitedTuning tuning;
      if (trial % 2) tuning = {1 + trial % 5, trial % 4 == 1 ? 0 : 2};
      LimitedFrontier f(tm.T, tm.ctx, lim, tuning);
      const bool feasible = f.run();
      ASSERT_EQ(feasible, !truth.empty());
      const std::vector<FrontierPoint> &pts = f.points();
      // The best slack of cost at most k, both ways.
      auto truth_at = [&](long long k) {
        double b = -INFINITY;
        for (const auto &kv : truth)
          if (kv.first <= k) b = std::max(b, kv.second);
        return b;
      };
      auto points_at = [&](long long k) {
        double b = -INFINITY;
        for (const FrontierPoint &p : pts)
          if (p.cost <= k) b = p.slack;
        return b;
      };
      for (const auto &kv : truth) {
        const double want = truth_at(kv.first);
        if (want <= MINUS_INFINITY_TIME) continue;
        ASSERT_NEAR(points_at(kv.first), want, tolerance(want)) << "cost " << kv.first;
      }
      for (size_t k = 0; k < pts.size(); k++) {
        const FrontierPoint &p = pts[k];
        std::vector<bufins::Placement> got;
        const std::string text = placement_lines(f.placements(static_cast<int>(k), got), got);
        const int count = static_cast<int>(got.size());
        const Placement placed = parse_placements(text);
        SCOPED_TRACE("point " + std::to_string(k) + "\n" + text);
        EXPECT_EQ(count, p.buffers);
        EXPECT_EQ(static_cast<int>(placed.size()), p.buffers);
        long long cost = 0;
        for (const auto &b : placed) cost += net.lib.at(b.second - 1).area;
        EXPECT_EQ(cost, p.cost);
        EXPECT_TRUE(meets_limits(net, tl, placed));
        EXPECT_NEAR(elmore_slack(net, placed), p.slack, tolerance(p.slack));
        if (k > 0) {
          EXPECT_GT(p.slack, pts[k - 1].slack);
          EXPECT_GT(p.cost, pts[k - 1].cost);
        }
      }
      points_seen += static_cast<int>(pts.size());
      if (feasible && !pts.empty()) {
        Limited flat_run = run_limited(lim);
        EXPECT_NEAR(pts.back().slack, flat_run.slack, tolerance(flat_run.slack));
      }
    }
    EXPECT_EQ(total_solution, reduce_solution);
    EXPECT_EQ(m_used, m_reduced);
    checked++;
    if (HasFailure()) break;
  }
  EXPECT_GT(checked, 1000);
  EXPECT_GT(points_seen, 800);
}

// The search beside the hull on large sets (an index of the newcomers by
// type, cuts by the load and slew limits, ranges read from their better end)
// against reading every candidate, on nets larger than exhaustive search
// can take: the same feasibility and slack, for both programmes.
TEST(LimitsTest, SearchBesideTheHullAgreesWithWholeReads) {
  std::mt19937 rng(6060);
  int binding = 0;
  for (int trial = 0; trial < 150; trial++) {
    GenOptions opt;
    opt.max_sinks = trial % 5 == 0 ? 60 : 25;
    opt.max_chain_candidates = 10;
    opt.max_types = trial % 3 == 0 ? 8 : 3;
    opt.duplicate_types = trial % 4 == 0;
    TestNet net = random_net(rng, opt);
    if (trial % 3 == 1) {  // long, light wires: wire delays decide the slews
      net.c0_file *= 0.05;
      for (auto &k : net.sinks) {
        k.x *= 20;
        k.y *= 20;
        k.cap_file *= 0.1;
      }
      for (auto &c : net.cands) {
        c.x *= 20;
        c.y *= 20;
      }
    }
    for (auto &b : net.lib) b.area = 1 + static_cast<long long>(rng() % 3);
    reset_globals();
    load_into_tables(net);
    double slew, load;
    unbuffered_extremes(&slew, &load);
    TestLimits tl = draw_limits(rng, net, slew, load, trial);
    SCOPED_TRACE("trial " + std::to_string(trial) + " max_slew " + std::to_string(tl.max_slew) + " max_cap " +
                 std::to_string(tl.max_cap_file) + "\n" + net_text(net) + "--- library\n" + lib_text(net));
    reset_globals();
    load_into_tables(net);
    wire_segment(trial % 5);
    const Limits lim = as_options(tl);
    const LimitedTuning searched{1 << 15, 0}, read_whole{1 << 15, 1 << 30};
    Limited a = run_limited(lim, searched), b = run_limited(lim, read_whole);
    ASSERT_EQ(a.feasible, b.feasible);
    if (!a.feasible) continue;
    ASSERT_NEAR(a.slack, b.slack, tolerance(b.slack));
    binding += unlimited_slack() > b.slack + tolerance(b.slack);
    if (trial % 10 == 0) {
      TablesModel ma, mb;
      LimitedFrontier fa(ma.T, ma.ctx, lim, searched), fb(mb.T, mb.ctx, lim, read_whole);
      ASSERT_EQ(fa.run(), fb.run());
      ASSERT_EQ(fa.points().size(), fb.points().size());
      for (size_t k = 0; k < fa.points().size(); k++) {
        EXPECT_EQ(fa.points()[k].cost, fb.points()[k].cost);
        EXPECT_NEAR(fa.points()[k].slack, fb.points()[k].slack, tolerance(fb.points()[k].slack));
      }
    }
    if (HasFailure()) break;
  }
  EXPECT_GT(binding, 30);
}

// Tightening a limit never raises the slack, and the limited engine never
// beats the unlimited one; larger nets than exhaustive search can take.
TEST(LimitsTest, TighteningNeverRaisesTheSlack) {
  std::mt19937 rng(77);
  for (int trial = 0; trial < 60; trial++) {
    GenOptions opt;
    opt.max_sinks = 25;
    opt.max_chain_candidates = 8;
    opt.max_types = trial % 3 == 0 ? 8 : 3;
    TestNet net = random_net(rng, opt);
    SCOPED_TRACE("trial " + std::to_string(trial) + "\n" + net_text(net) + "--- library\n" + lib_text(net));
    reset_globals();
    load_into_tables(net);
    if (trial % 2) wire_segment(2);
    double slew, load;
    unbuffered_extremes(&slew, &load);
    const double unlimited = unlimited_slack();
    double last = unlimited;
    bool was_feasible = true;
    for (int step = 0; step < 8; step++) {
      Limits lim;
      lim.max_slew = slew * std::pow(0.6, step);
      if (trial % 2) lim.max_cap = load * std::pow(0.7, step);
      Limited got = run_limited(lim);
      EXPECT_TRUE(was_feasible || !got.feasible) << "step " << step;
      was_feasible = got.feasible;
      if (!got.feasible) continue;
      EXPECT_LE(got.slack, last + tolerance(last)) << "step " << step;
      last = got.slack;
      // The placement meets the limits under the tool's stage evaluation.
      std::vector<int> on(static_cast<size_t>(n_sinks + n_candidates), 0);
      for (const auto &b : got.placement)
        for (int i = 0; i < n_sinks + n_candidates; i++)
          if (nodes[i].index == b.first.second) on[i] = b.second;
      EXPECT_TRUE(stages_meet(on, lim)) << "step " << step << "\n" << got.text;
    }
    if (HasFailure()) break;
  }
}

// The stage evaluation of the tool agrees with the independent one of the
// tests: a placement meets the limits under one exactly when under the other
// (away from ties), on random placements.
TEST(LimitsTest, StagesAgreeWithIndependentEvaluation) {
  std::mt19937 rng(5);
  int met = 0, broken = 0;
  for (int trial = 0; trial < 400; trial++) {
    GenOptions opt;
    opt.max_sinks = 8;
    opt.max_chain_candidates = 4;
    TestNet net = random_net(rng, opt);
    reset_globals();
    load_into_tables(net);
    double slew, load;
    unbuffered_extremes(&slew, &load);
    TestLimits tl = draw_limits(rng, net, slew, load, trial);
    reset_globals();
    load_into_tables(net);
    Placement p;
    std::vector<int> on(static_cast<size_t>(n_sinks + n_candidates), 0);
    for (int i = 0; i < n_sinks + n_candidates; i++) {
      const Node &n = nodes[i];
      if (n.type != NODE_CANDIDATE) continue;
      for (Node *k : {n.left, n.right})
        if (k != nullptr && rng() % 3 == 0) {
          const int type = 1 + static_cast<int>(rng() % net.lib.size());
          p[{n.index, k->index}] = type;
          on[static_cast<size_t>(k - nodes.data())] = type;
        }
    }
    const bool ours = stages_meet(on, as_options(tl), 0.0);
    EXPECT_EQ(ours, meets_limits(net, tl, p)) << net_text(net) << lib_text(net);
    (ours ? met : broken)++;
  }
  EXPECT_GT(met, 50);
  EXPECT_GT(broken, 50);
}

double slack_of(const std::string &out) {
  size_t at = out.find("The slack after buffer insertion : ");
  if (at == std::string::npos) return std::nan("");
  return std::strtod(out.c_str() + at + 35, nullptr);
}

std::string number(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.17g", v);
  return buf;
}

// Through the binary: every placement written under limits passes
// bufins-check with the same limits and slack; an infeasible request writes
// nothing and exits with status 2; a limit that cannot bind changes no byte.
TEST(LimitsTest, EndToEnd) {
  std::string dir = make_temp_dir();
  const std::string checker = BUFINS_CHECK_BINARY;
  std::mt19937 rng(99);
  int met = 0, refused = 0;
  for (int trial = 0; trial < 30; trial++) {
    GenOptions opt;
    opt.max_sinks = 15;
    opt.max_types = 4;
    TestNet net = random_net(rng, opt);
    reset_globals();
    load_into_tables(net);
    double slew, load;
    unbuffered_extremes(&slew, &load);
    TestLimits tl = draw_limits(rng, net, slew, load, trial);
    write_net_files(net, dir, "n");
    std::string limits;
    if (tl.max_slew < 1e300) limits += " --max-slew=" + number(tl.max_slew);
    if (tl.max_cap_file < 1e300) limits += " --max-cap=" + number(tl.max_cap_file);
    SCOPED_TRACE("trial " + std::to_string(trial) + limits + "\n" + net_text(net) + "--- library\n" + lib_text(net));
    run_shell("rm -f '" + dir + "'/n.buf '" + dir + "'/n.finalnet '" + dir + "'/n.json");
    RunResult r = run_bufins("-m 1 -f n.net -b n.lib -j n.json" + limits, "", dir);
    if (r.status == 2) {
      refused++;
      EXPECT_NE(r.err.find("bufins: the request cannot be met: "), std::string::npos) << r.err;
      EXPECT_FALSE(file_exists(dir + "/n.buf"));
      EXPECT_FALSE(file_exists(dir + "/n.finalnet"));
      EXPECT_FALSE(file_exists(dir + "/n.json"));
      continue;
    }
    ASSERT_EQ(r.status, 0) << r.err;
    met++;
    const double s = slack_of(r.out);
    RunResult c = run_shell("cd '" + dir + "' && '" + checker + "' --segments 1 --slack " + number(s) + limits +
                            " n.net n.lib n.buf");
    EXPECT_EQ(c.status, 0) << c.out << c.err;
    EXPECT_NE(c.out.find("Limit violations : 0\n"), std::string::npos) << c.out;
    const std::string json = read_file(dir + "/n.json");
    EXPECT_NE(json.find("\"stages\": ["), std::string::npos);
    EXPECT_NE(json.find("\"slew\": "), std::string::npos);
    if (HasFailure()) break;
  }
  EXPECT_GT(met, 5);
  EXPECT_GT(refused, 3);

  // Limits that cannot bind: the same bytes as without them. A limit just
  // above the unlimited winner's stages gives the same slack.
  std::string src = std::string(BUFINS_SOURCE_DIR) + "/examples/";
  run_shell("cp '" + src + "demo.net' '" + src + "demo.lib' '" + dir + "'");
  for (const std::string flags : {"-o -d", ""}) {
    RunResult a = run_bufins("-a flat -m 2 -f demo.net -b demo.lib --out=plain " + flags, "", dir);
    RunResult b = run_bufins("-a flat -m 2 -f demo.net -b demo.lib --out=loose --max-slew=1e12 --max-cap=1e12 " + flags,
                             "", dir);
    ASSERT_EQ(a.status, 0);
    ASSERT_EQ(b.status, 0);
    EXPECT_EQ(a.out, b.out);
    EXPECT_EQ(read_file(dir + "/plain.buf"), read_file(dir + "/loose.buf"));
    EXPECT_EQ(read_file(dir + "/plain.finalnet"), read_file(dir + "/loose.finalnet"));
  }
  RunResult plain = run_bufins("-a flat -m 2 -f demo.net -b demo.lib --out=plain", "", dir);
  RunResult worst = run_shell("cd '" + dir + "' && '" + checker + "' --stages plain.finalnet demo.lib plain.buf");
  const size_t at = worst.out.find("Worst stage slew : ");
  ASSERT_NE(at, std::string::npos) << worst.out;
  const double top = std::strtod(worst.out.c_str() + at + 19, nullptr);
  RunResult just = run_bufins("-m 2 -f demo.net -b demo.lib --out=just --max-slew=" + number(top * 1.0001), "", dir);
  ASSERT_EQ(just.status, 0) << just.err;
  EXPECT_NEAR(slack_of(just.out), slack_of(plain.out), 1e-6);
  RunResult tight = run_bufins("-m 2 -f demo.net -b demo.lib --out=tight --max-slew=" + number(top * 0.8), "", dir);
  ASSERT_EQ(tight.status, 0) << tight.err;
  EXPECT_LT(slack_of(tight.out), slack_of(plain.out));
  RunResult ok = run_shell("cd '" + dir + "' && '" + checker + "' --max-slew=" + number(top * 0.8) +
                           " tight.finalnet demo.lib tight.buf");
  EXPECT_EQ(ok.status, 0) << ok.out;
  RunResult bad = run_shell("cd '" + dir + "' && '" + checker + "' --max-slew=" + number(top * 0.8) +
                            " plain.finalnet demo.lib plain.buf");
  EXPECT_EQ(bad.status, 2);
  EXPECT_NE(bad.out.find("  violation node "), std::string::npos) << bad.out;

  // The cost options under limits: the frontier under limits picks the
  // point, whose placement meets the limits and has the reported cost; an
  // unreachable target is status 2 with outputs, limits nothing meets status
  // 2 without.
  {
    const std::string lim = " --max-slew=" + number(top * 0.8) + " --max-cap=600";
    RunResult least = run_bufins("-m 2 -f demo.net -b demo.lib --out=cost --min-cost --frontier=f.csv" + lim, "", dir);
    ASSERT_EQ(least.status, 0) << least.err;
    EXPECT_NEAR(slack_of(least.out), slack_of(tight.out), 1e-6);  // --max-cap=600 does not bind there
    const std::string cost = least.out.substr(least.out.find("The cost of the inserted buffers is : ") + 38);
    RunResult check = run_shell("cd '" + dir + "' && '" + checker + "'" + lim + " cost.finalnet demo.lib cost.buf");
    EXPECT_EQ(check.status, 0) << check.out << check.err;
    EXPECT_NE(check.out.find("Cost (sum of areas) : " + cost.substr(0, cost.find('\n'))), std::string::npos)
        << check.out << least.out;
    EXPECT_NE(read_file(dir + "/f.csv").find("cost,buffers,slack\n"), std::string::npos);
    RunResult far = run_bufins("-m 2 -f demo.net -b demo.lib --out=far --target=1e9" + lim, "", dir);
    EXPECT_EQ(far.status, 2) << far.err;
    EXPECT_TRUE(file_exists(dir + "/far.buf"));
    RunResult none = run_bufins("-m 0 -f demo.net -b demo.lib --out=none --min-cost --max-slew=1", "", dir);
    EXPECT_EQ(none.status, 2);
    EXPECT_NE(none.err.find("the request cannot be met"), std::string::npos) << none.err;
    EXPECT_FALSE(file_exists(dir + "/none.buf"));
  }

  // The list and fast algorithms refuse the options; bad values are usage errors.
  for (const std::string args : {"-a list --max-slew=100", "-a fast --max-cap=50", "-a 2 --max-cap=50",
                                 "--max-slew=-1", "--max-cap=abc", "--max-slew=inf"}) {
    RunResult u = run_bufins("-m 0 -f demo.net -b demo.lib " + args, "", dir);
    EXPECT_EQ(u.status, 1) << args << "\n" << u.err;
    EXPECT_NE(u.err.find("Usage: "), std::string::npos) << args << "\n" << u.err;
  }
  run_shell("rm -rf '" + dir + "'");
}

}  // namespace
