// Tests of the slack–cost frontier: on tiny nets (1 to 4 types, unit,
// unequal, zero and far-apart areas, M = 0 to 2, degenerate nets) the best
// slack at every cost equals exhaustive search; on larger random nets the
// frontier's best slack is the flat engine's and every point's placement
// reproduces its slack, cost and buffer count under the independent
// evaluator; the objectives pick the right point; and through the binary,
// every objective's placement file re-evaluated by bufins-check gives the
// reported slack and cost, with the documented exit statuses and usage errors.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <random>
#include <sstream>
#include <string>

#include "bufins/bufins.h"
#include "def.h"
#include "flat.h"
#include "frontier.h"
#include "netgen.h"
#include "support.h"
#include "wire_segment.h"

namespace {

double tolerance(double v) { return 1e-9 * std::max(1.0, std::fabs(v)); }

// Areas for trial t: unit, unequal small, with zeros, uniform non-unit, far
// apart (costs too sparse to bucket).
void pick_areas(std::mt19937 &rng, TestNet &net, int t) {
  auto uni = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  const long long far[] = {1, 1000000000};
  for (auto &b : net.lib) switch (t % 5) {
      case 0:
        b.area = 1;
        break;
      case 1:
        b.area = 1 + uni(0, 4);
        break;
      case 2:
        b.area = uni(0, 3);
        break;
      case 3:
        b.area = 3;
        break;
      default:
        b.area = far[uni(0, 1)];
    }
  // Areas with decimals (the SKY130 buffers', in hundredths of a um^2, and
  // 0): the reader holds them in units of the last decimal.
  if (t % 10 == 6) {
    const long long sky[] = {375, 500, 751, 1126, 0};
    net.area_decimals = 2;
    for (auto &b : net.lib) b.area = sky[uni(0, 4)];
  }
}

struct Checked {
  std::vector<FrontierPoint> points;
  double flat_slack;
};

// Runs the frontier (and the flat engine) on the tables; checks every
// point's placement against the independent evaluator and the counters.
Checked run_and_check(const TestNet &used, int young) {
  TablesModel m;
  Checked r;
  {
    CostFrontier f(m.T, m.ctx, young);
    f.run();
    r.points = f.points();
    for (size_t k = 0; k < r.points.size(); k++) {
      const FrontierPoint &p = r.points[k];
      std::vector<bufins::Placement> got;
      const std::string text = placement_lines(f.placements(static_cast<int>(k), got), got);
      const int count = static_cast<int>(got.size());
      const Placement placed = parse_placements(text);
      SCOPED_TRACE("point " + std::to_string(k) + " cost " + std::to_string(p.cost) + "\n" + text);
      EXPECT_EQ(count, p.buffers);
      EXPECT_EQ(static_cast<int>(placed.size()), p.buffers);
      EXPECT_EQ(placement_cost(used, placed), p.cost);
      EXPECT_NEAR(elmore_slack(used, placed), p.slack, tolerance(p.slack));
      if (k > 0) {
        EXPECT_GT(p.cost, r.points[k - 1].cost);
        EXPECT_GT(p.slack, r.points[k - 1].slack);
      }
    }
  }
  EXPECT_EQ(m.ctx.memory.solutions_opened, m.ctx.memory.solutions_freed);
  EXPECT_EQ(m.ctx.memory.traces_opened, m.ctx.memory.traces_freed);
  flat_core::MaxSlack e(m.T, m.ctx);
  e.run();
  r.flat_slack = e.slack();
  if (r.points.empty())
    EXPECT_LE(r.flat_slack, MINUS_INFINITY_TIME);
  else
    EXPECT_NEAR(r.points.back().slack, r.flat_slack, tolerance(r.flat_slack));
  return r;
}

// Best slack of cost at most k from the points, or nothing.
double frontier_at(const std::vector<FrontierPoint> &points, long long k) {
  double best = -INFINITY;
  for (const auto &p : points)
    if (p.cost <= k) best = p.slack;
  return best;
}

TEST(FrontierTest, EqualsExhaustiveSearchAtEveryCost) {
  std::mt19937 rng(2024);
  int checked = 0;
  for (int trial = 0; trial < 1500; trial++) {
    GenOptions opt;
    opt.max_sinks = 3;
    opt.max_chain_candidates = 2;
    opt.max_types = 4;
    opt.duplicate_types = trial % 4 == 0;
    opt.equal_times = trial % 7 == 0;
    opt.zero_r0 = trial % 13 == 0;
    opt.grid = trial % 3 == 0 ? 2 : 30;
    TestNet net = random_net(rng, opt);
    degenerate(rng, net, trial);
    pick_areas(rng, net, trial / 11);
    const int segments = trial % 3;
    reset_globals();
    load_into_tables(net);
    ASSERT_EQ(buffer_area_decimals, net.lib.empty() ? 0 : net.area_decimals);
    for (size_t i = 0; i < net.lib.size(); i++) ASSERT_EQ(buffer_area[i], net.lib[i].area);
    if (segments) wire_segment(segments);
    const TestNet used = tables_as_net(net);
    double assignments = std::pow(static_cast<double>(used.lib.size() + 1), buffer_sites(used));
    if (assignments > 20000) continue;
    checked++;
    SCOPED_TRACE("trial " + std::to_string(trial) + ", segments " + std::to_string(segments) + "\n" + net_text(net) +
                 "--- library\n" + lib_text(net));
    Checked r = run_and_check(used, trial % 2 ? 1 + trial % 5 : 1 << 15);
    // The best slack of cost at most k, for every k where either side steps.
    std::map<long long, double> exact = exhaustive_by_cost(used);
    std::map<long long, double> running;
    double best = -INFINITY;
    for (const auto &e : exact) running[e.first] = best = std::max(best, e.second);
    std::vector<long long> costs;
    for (const auto &e : exact) costs.push_back(e.first);
    for (const auto &p : r.points) costs.push_back(p.cost);
    for (long long k : costs) {
      auto it = running.upper_bound(k);
      const double want = it == running.begin() ? -INFINITY : std::prev(it)->second;
      const double got = frontier_at(r.points, k);
      if (want <= MINUS_INFINITY_TIME) {
        EXPECT_EQ(got, -INFINITY) << "cost " << k;
      } else {
        EXPECT_NEAR(got, want, tolerance(want)) << "cost " << k;
      }
    }
    if (HasFailure()) break;
  }
  EXPECT_GT(checked, 1000);
}

// A net or library from its text through the library's readers.
template <typename Value, typename Read>
Value read_text(const std::string &text, Read read) {
  FILE *f = fmemopen(const_cast<char *>(text.data()), text.size(), "r");
  Value v = read(f);
  std::fclose(f);
  return v;
}

// --cost-tolerance on tiny nets with areas that share no useful unit: every
// point costs at most (1 + E) times the least cost exhaustive search finds
// at its slack, the best slack is exact, and the chosen placements
// re-evaluate to the slack and cost reported.
TEST(FrontierTest, ToleranceWithinItsBoundOfExhaustiveSearch) {
  std::mt19937 rng(77);
  auto uni = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  const double tolerances[] = {0.01, 0.1, 0.25, 1.0};
  int checked = 0, coarser = 0, limited_points = 0;
  for (int trial = 0; trial < 500; trial++) {
    GenOptions opt;
    opt.max_sinks = 3;
    opt.max_chain_candidates = 2;
    opt.max_types = 4;
    opt.grid = trial % 3 == 0 ? 2 : 30;
    TestNet net = random_net(rng, opt);
    net.area_decimals = trial % 2 ? 2 : 0;
    for (auto &b : net.lib) b.area = uni(0, 9) == 0 ? 0 : uni(20, 400);
    // A third of the trials with load limits of the buffers' own (the
    // limited frontier).
    const bool limited = trial % 3 == 2;
    double sinks_load = 0;
    for (const auto &k : net.sinks) sinks_load += k.cap_file;
    if (limited)
      for (auto &b : net.lib)
        if (uni(0, 1)) b.max_cap_file = std::uniform_real_distribution<double>(0.3, 1.5)(rng) * sinks_load;
    reset_globals();
    load_into_tables(net);
    if (trial % 3) wire_segment(trial % 3);
    const TestNet used = tables_as_net(net);
    if (std::pow(static_cast<double>(used.lib.size() + 1), buffer_sites(used)) > 20000) continue;
    checked++;
    const double E = tolerances[trial % 4];
    SCOPED_TRACE("trial " + std::to_string(trial) + ", E " + std::to_string(E) + "\n" + net_text(used) +
                 "--- library\n" + lib_text(used));
    const bufins::Net n = read_text<bufins::Net>(net_text(used), [](FILE *f) { return bufins::read_net(f, "n"); });
    const bufins::Library lib =
        read_text<bufins::Library>(lib_text(used), [](FILE *f) { return bufins::read_library(f, "l"); });
    const std::map<long long, double> exact =
        limited ? exhaustive_by_cost_limited(used, TestLimits()) : exhaustive_by_cost(used);
    auto least_cost_at = [&](double s) {
      for (const auto &e : exact)
        if (e.second >= s - tolerance(s)) return e.first;
      return -1LL;
    };
    bufins::Options o;
    o.objective = bufins::Objective::min_cost;
    o.cost_tolerance = E;
    const bufins::Result r = bufins::solve(n, lib, o);
    if (r.cost_unit > 1) coarser++;
    double best = -INFINITY;
    for (const auto &e : exact) best = std::max(best, e.second);
    if (best <= MINUS_INFINITY_TIME || !r.feasible) {
      EXPECT_EQ(r.feasible, !limited || !exact.empty());
      continue;
    }
    ASSERT_FALSE(r.frontier.empty());
    EXPECT_NEAR(r.frontier.back().slack, best, tolerance(best));
    if (limited) limited_points += static_cast<int>(r.frontier.size());
    for (size_t k = 0; k < r.frontier.size(); k++) {
      const FrontierPoint &p = r.frontier[k];
      const long long least = least_cost_at(p.slack);
      ASSERT_GE(least, 0) << "point " << k;
      EXPECT_LE(static_cast<double>(p.cost), (1 + E) * static_cast<double>(least) + 1e-9) << "point " << k;
      if (k > 0) {
        EXPECT_GT(p.cost, r.frontier[k - 1].cost);
        EXPECT_GT(p.slack, r.frontier[k - 1].slack);
      }
    }
    bufins::Options t = o;
    t.objective = bufins::Objective::target;
    t.target = r.frontier[r.frontier.size() / 2].slack;
    for (const bufins::Options &which : {o, t}) {
      const bufins::Result c = bufins::solve(n, lib, which);
      const Placement placed = parse_placements(bufins::placement_text(c));
      EXPECT_EQ(placement_cost(used, placed), c.cost);
      EXPECT_EQ(static_cast<int>(placed.size()), c.buffers);
      EXPECT_NEAR(elmore_slack(used, placed), c.slack, tolerance(c.slack));
    }
    if (HasFailure()) break;
  }
  EXPECT_GT(checked, 250);
  EXPECT_GT(coarser, 120);  // the rounding did coarsen the areas' unit
  EXPECT_GT(limited_points, 50);
}

TEST(FrontierTest, AgreesWithFlatEngineOnRandomNets) {
  std::mt19937 rng(77);
  for (int trial = 0; trial < 300; trial++) {
    GenOptions opt;
    opt.max_sinks = trial % 10 == 0 ? 60 : 16;
    opt.max_chain_candidates = 6;
    opt.max_types = trial % 5 == 0 ? 12 : 4;
    opt.duplicate_types = trial % 3 == 0;
    opt.equal_times = trial % 7 == 0;
    opt.grid = trial % 5 == 0 ? 3 : 40;
    TestNet net = random_net(rng, opt);
    degenerate(rng, net, trial);
    pick_areas(rng, net, trial / 11);
    const int segments = trial % 4;
    reset_globals();
    load_into_tables(net);
    if (segments) wire_segment(segments);
    SCOPED_TRACE("trial " + std::to_string(trial) + ", segments " + std::to_string(segments) + "\n" + net_text(net) +
                 "--- library\n" + lib_text(net));
    run_and_check(tables_as_net(net), trial % 2 ? 1 + trial % 7 : 1 << 15);
    if (HasFailure()) break;
  }
}

TEST(FrontierTest, ObjectivesPickTheirPoint) {
  const std::vector<FrontierPoint> pts{{0, 0, -100.0}, {2, 2, -40.0}, {3, 3, -12.0}, {7, 5, -10.0}};
  auto pick = [&](CostObjective kind, double slack, long long budget = 0) {
    CostGoal g;
    g.kind = kind;
    g.slack = slack;
    g.budget = budget;
    CostChoice c = choose_point(pts, g);
    return c.met ? c.point : -10 - c.point;
  };
  EXPECT_EQ(pick(CostObjective::MIN_COST, 0), 3);
  EXPECT_EQ(pick(CostObjective::TARGET, -40.0), 1);
  EXPECT_EQ(pick(CostObjective::TARGET, -39.0), 2);
  EXPECT_EQ(pick(CostObjective::TARGET, -9.0), -13);  // unreachable: the best, not met
  EXPECT_EQ(pick(CostObjective::BUDGET, 0, 6), 2);
  EXPECT_EQ(pick(CostObjective::BUDGET, 0, 0), 0);
  EXPECT_EQ(pick(CostObjective::WITHIN, 2.0), 2);
  EXPECT_EQ(pick(CostObjective::WITHIN, 1.9), 3);
  EXPECT_EQ(pick(CostObjective::WITHIN_PERCENT, 20.0), 2);  // -12 >= -10 - 2
  EXPECT_EQ(pick(CostObjective::WITHIN_PERCENT, 1000.0), 0);
  CostGoal target;
  target.kind = CostObjective::TARGET;
  EXPECT_FALSE(choose_point({}, target).met);
  EXPECT_EQ(choose_point({}, CostGoal{}).point, -1);
}

std::string printed(const std::string &out, const std::string &label) {
  size_t at = out.find(label);
  if (at == std::string::npos) return "";
  at += label.size();
  while (at < out.size() && out[at] == ' ') at++;
  return out.substr(at, out.find('\n', at) - at);
}

// Through the binary: every objective's placement, checked by bufins-check,
// reproduces the reported slack and cost; the CSV and the JSON report hold
// the frontier.
TEST(FrontierTest, EndToEndObjectivesAndChecks) {
  const std::string dir = make_temp_dir();
  std::mt19937 rng(808);
  GenOptions opt;
  opt.min_sinks = 12;
  opt.max_sinks = 20;
  opt.min_types = 3;
  opt.max_types = 3;
  TestNet net = random_net(rng, opt);
  net.lib[0].area = 2;
  net.lib[2].area = 5;
  write_net_files(net, dir, "n");
  RunResult all = run_bufins("-m 1 -f n.net -b n.lib --frontier=n.csv -j n.json", "", dir);
  ASSERT_EQ(all.status, 0) << all.err;
  const std::string csv = read_file(dir + "/n.csv");
  ASSERT_EQ(csv.rfind("cost,buffers,slack\n", 0), 0u) << csv;
  std::vector<FrontierPoint> pts;
  for (size_t at = csv.find('\n') + 1; at < csv.size(); at = csv.find('\n', at) + 1) {
    FrontierPoint p{};
    ASSERT_EQ(std::sscanf(csv.c_str() + at, "%lld,%d,%lf", &p.cost, &p.buffers, &p.slack), 3);
    pts.push_back(p);
  }
  ASSERT_GE(pts.size(), 2u);
  const std::string json = read_file(dir + "/n.json");
  EXPECT_NE(json.find("\"frontier\": ["), std::string::npos);
  EXPECT_NE(json.find("\"chosen\": true"), std::string::npos);
  EXPECT_NE(json.find("\"cost\": " + std::to_string(pts.back().cost)), std::string::npos);

  const double best = pts.back().slack, worst = pts.front().slack;
  const double mid = (best + worst) / 2;
  struct Case {
    std::string option;
    int status;
    size_t point;
  };
  size_t mid_point = 0;
  while (pts[mid_point].slack < mid) mid_point++;
  size_t budget_point = pts.size() / 2;
  std::vector<Case> cases{{"--min-cost", 0, pts.size() - 1},
                          {"--target=" + std::to_string(mid), 0, mid_point},
                          {"--target=" + std::to_string(best + 1.0), 2, pts.size() - 1},
                          {"--budget=" + std::to_string(pts[budget_point].cost), 0, budget_point},
                          {"--within=" + std::to_string(best - mid), 0, mid_point},
                          {"--within=0%", 0, pts.size() - 1}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.option);
    RunResult r = run_bufins("-m 1 -f n.net -b n.lib " + c.option, "", dir);
    ASSERT_EQ(r.status, c.status) << r.err;
    if (c.status == 2) {
      EXPECT_NE(r.err.find("no solution reaches the target slack"), std::string::npos) << r.err;
    }
    const FrontierPoint &p = pts[c.point];
    EXPECT_NEAR(std::stod(printed(r.out, "The slack after buffer insertion :")), p.slack, 1e-6 * std::fabs(p.slack));
    EXPECT_EQ(printed(r.out, "The number of inserted buffer is :"), std::to_string(p.buffers));
    EXPECT_EQ(printed(r.out, "The cost of the inserted buffers is :"), std::to_string(p.cost));
    RunResult k = run_shell("cd '" + dir + "' && '" + BUFINS_CHECK_BINARY + "' --segment 1 n.net n.lib n.buf");
    ASSERT_EQ(k.status, 0) << k.err;
    EXPECT_NEAR(std::stod(printed(k.out, "Slack at the driver :")), p.slack, 1e-6 * std::fabs(p.slack));
    EXPECT_EQ(printed(k.out, "Cost (sum of areas) :"), std::to_string(p.cost));
  }

#ifdef BUFINS_PLOT_BINARY
  // The picture, from the CSV (a mark given) and from the JSON report on
  // standard input (its chosen point); the deprecated -o; malformed input,
  // usage errors, a picture that would replace its input, a failed write.
  const std::string plot = BUFINS_PLOT_BINARY;
  RunResult pic = run_shell("cd '" + dir + "' && '" + plot + "' --mark=" + std::to_string(pts[1].cost) +
                            " -p f.svg n.csv && '" + plot + "' --all --picture=f.png - < n.json");
  EXPECT_EQ(pic.status, 0) << pic.err;
  EXPECT_EQ(run_shell("python3 -c 'import sys, xml.etree.ElementTree as E; E.parse(sys.argv[1])' '" + dir + "/f.svg'")
                .status,
            0);
  EXPECT_EQ(read_file(dir + "/f.png").substr(0, 8), "\x89PNG\r\n\x1a\n");
  pic = run_shell("cd '" + dir + "' && '" + plot + "' -o f2.svg n.csv");
  EXPECT_EQ(pic.status, 0);
  // (Prefixes: sanitizer builds add their leak checker's summary.)
  EXPECT_EQ(pic.err.rfind("bufins-plot: warning: -o is deprecated, use -p/--picture\n", 0), 0u) << pic.err;
  EXPECT_TRUE(file_exists(dir + "/f2.svg"));
  write_file(dir + "/bad.csv", "cost,buffers,slack\n0,0,-5\n1,1,-7\n");
  pic = run_shell("cd '" + dir + "' && '" + plot + "' -p bad.svg bad.csv");
  EXPECT_EQ(pic.status, 1);
  EXPECT_EQ(pic.err, "bad.csv:3: the rows must rise in cost and slack\n");
  EXPECT_FALSE(file_exists(dir + "/bad.svg"));
  for (const char *bad : {"n.csv", "-p f.pdf n.csv", "--mark=x -p f.svg n.csv", "-p f.svg", "-p f.svg n.csv n.json",
                          "-F pdf -p f.svg n.csv"}) {
    pic = run_shell("cd '" + dir + "' && '" + plot + "' " + bad);
    EXPECT_EQ(pic.status, 1) << bad;
    EXPECT_NE(pic.err.find("Try 'bufins-plot --help'"), std::string::npos) << bad << ": " << pic.err;
  }
  pic = run_shell("cd '" + dir + "' && '" + plot + "' --help && '" + plot + "' --version");
  EXPECT_EQ(pic.status, 0);
  EXPECT_NE(pic.out.find("-p, --picture=FILE"), std::string::npos) << pic.out;
  EXPECT_NE(pic.out.find("\nbufins-plot " BUFINS_VERSION "\n"), std::string::npos) << pic.out;
  // Refused before reading: the CSV stays as it was.
  pic = run_shell("cd '" + dir + "' && '" + plot + "' -F svg -p ./n.csv n.csv");
  EXPECT_EQ(pic.status, 1);
  EXPECT_NE(pic.err.find("would replace the frontier file n.csv"), std::string::npos) << pic.err;
  EXPECT_EQ(read_file(dir + "/n.csv"), csv);
  // A failed write is reported as one.
  pic = run_shell("cd '" + dir + "' && '" + plot + "' -F svg -p /dev/full n.csv");
  EXPECT_EQ(pic.status, 1);
  EXPECT_EQ(pic.err.rfind("bufins-plot: cannot write /dev/full: error while writing to output stream\n", 0), 0u)
      << pic.err;
#endif

  // A run whose candidates outgrow --max-memory stops with status 1 before
  // writing anything: the earlier outputs stay as they were.
  const std::string buf = read_file(dir + "/n.buf"), frontier = read_file(dir + "/n.csv");
  RunResult big = run_bufins("-m 200 -f n.net -b n.lib --frontier=n.csv --max-memory=1", "", dir);
  EXPECT_EQ(big.status, 1);
  EXPECT_NE(big.err.find("bufins: the run's candidates need more than 1 MiB (the memory limit): stopped after "),
            std::string::npos)
      << big.err;
  EXPECT_EQ(read_file(dir + "/n.buf"), buf);
  EXPECT_EQ(read_file(dir + "/n.csv"), frontier);

  // Usage errors: another engine, two objectives, bad values.
  for (const char *bad : {"-a list --min-cost", "-a fast --frontier=x.csv", "--min-cost --budget=3", "--target=abc",
                          "--budget=-1", "--budget=1e3", "--within=-1", "--within=x%", "--frontier=",
                          "--max-memory=-1", "--max-memory=x"}) {
    RunResult r = run_bufins(std::string(bad) + " -m 0 -f n.net -b n.lib", "", dir);
    EXPECT_EQ(r.status, 1) << bad;
    EXPECT_NE(r.err.find("Usage:"), std::string::npos) << bad << ": " << r.err;
  }
  run_shell("rm -rf '" + dir + "'");
}

// Decimal areas end to end: every cost bufins prints (report line, CSV,
// JSON report) has the library's decimals and is the exact sum of the placed
// buffers' areas that bufins-check finds; a budget of more decimals is
// rounded down to the library's; -j and the frontier agree.
TEST(FrontierTest, DecimalAreasEndToEnd) {
  const std::string dir = make_temp_dir();
  std::mt19937 rng(4242);
  GenOptions opt;
  opt.min_sinks = 10;
  opt.max_sinks = 14;
  opt.min_types = 3;
  opt.max_types = 3;
  TestNet net = random_net(rng, opt);
  write_net_files(net, dir, "n");
  std::string lib;
  const char *areas[] = {"3.75", "5.00", "7.51"};
  {
    std::istringstream in(lib_text(net));
    std::string line;
    for (int i = 0; std::getline(in, line); i++) lib += line + " area=" + areas[i] + "\n";
  }
  write_file(dir + "/n.lib", lib);
  RunResult all = run_bufins("-m 2 -f n.net -b n.lib --frontier=n.csv -j n.json", "", dir);
  ASSERT_EQ(all.status, 0) << all.err;
  const std::string csv = read_file(dir + "/n.csv");
  std::vector<std::pair<std::string, double>> pts;  // (cost as printed, slack)
  for (size_t at = csv.find('\n') + 1; at < csv.size(); at = csv.find('\n', at) + 1) {
    const std::string row = csv.substr(at, csv.find('\n', at) - at);
    const std::string cost = row.substr(0, row.find(','));
    ASSERT_EQ(cost.size() - cost.find('.'), 3u) << row;  // two decimals
    pts.push_back({cost, std::stod(row.substr(row.rfind(',') + 1))});
  }
  ASSERT_GE(pts.size(), 3u);
  EXPECT_EQ(pts.front().first, "0.00");
  const std::string json = read_file(dir + "/n.json");
  EXPECT_NE(json.find("\"cost\": " + pts.back().first + ",\n"), std::string::npos) << json.substr(0, 2000);
  EXPECT_EQ(printed(all.out, "The cost of the inserted buffers is :"), pts.back().first);
  const size_t mid = pts.size() / 2;
  for (const std::string &option : {std::string("--min-cost"), "--budget=" + pts[mid].first,
                                    "--budget=" + pts[mid].first + "99", "--target=" + std::to_string(pts[mid].second)}) {
    SCOPED_TRACE(option);
    const std::string &want = option == "--min-cost" ? pts.back().first : pts[mid].first;
    RunResult r = run_bufins("-m 2 -f n.net -b n.lib " + option, "", dir);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(printed(r.out, "The cost of the inserted buffers is :"), want);
    RunResult k = run_shell("cd '" + dir + "' && '" + BUFINS_CHECK_BINARY + "' --segment 2 n.net n.lib n.buf");
    ASSERT_EQ(k.status, 0) << k.err;
    EXPECT_EQ(printed(k.out, "Cost (sum of areas) :"), want);
  }
  // --cost-tolerance: the placement re-evaluates to the cost printed, and the
  // report names the unit of the rounding; without a cost option, or beyond
  // 100 %, it is a usage error.
  RunResult tol = run_bufins("-m 2 -f n.net -b n.lib --within=1% --cost-tolerance=10% -j t.json", "", dir);
  ASSERT_EQ(tol.status, 0) << tol.err;
  RunResult tk = run_shell("cd '" + dir + "' && '" + BUFINS_CHECK_BINARY + "' --segment 2 n.net n.lib n.buf");
  EXPECT_EQ(printed(tk.out, "Cost (sum of areas) :"), printed(tol.out, "The cost of the inserted buffers is :"));
  EXPECT_NE(read_file(dir + "/t.json").find("\"cost_tolerance\": 0.1,"), std::string::npos);
  for (const char *bad : {"--cost-tolerance=1%", "--min-cost --cost-tolerance=101%", "--min-cost --cost-tolerance=-0.1"})
    EXPECT_EQ(run_bufins(std::string("-m 2 -f n.net -b n.lib ") + bad, "", dir).status, 1) << bad;
  // A budget below the least buffer's area, rounded down: the unbuffered net.
  RunResult none = run_bufins("-m 2 -f n.net -b n.lib --budget=0.009", "", dir);
  EXPECT_EQ(none.status, 0) << none.err;  // the unbuffered net costs 0.00
  EXPECT_EQ(printed(none.out, "The cost of the inserted buffers is :"), "0.00");
#ifdef BUFINS_PLOT_BINARY
  RunResult pic = run_shell("cd '" + dir + "' && '" + BUFINS_PLOT_BINARY + "' --mark=" + pts[mid].first +
                            " -p f.svg n.csv && '" + BUFINS_PLOT_BINARY + "' -p g.svg n.json");
  EXPECT_EQ(pic.status, 0) << pic.err;
#endif
  run_shell("rm -rf '" + dir + "'");
}

}  // namespace

#ifdef BUFINS_PLOT_BINARY
// bufins-plot ends on every frontier: slacks a rounding apart, and a lone
// point whose magnitude swallows any step added to it; its two readers agree.
TEST(FrontierPlot, EndsOnAxesBelowFloatingPointPrecision) {
  const std::string dir = make_temp_dir();
  for (const char *csv : {"cost,buffers,slack\n0,0,5\n1,1,5.000000000000001\n", "cost,buffers,slack\n0,0,1e18\n",
                          "cost,buffers,slack\n0,0,-4.6e15\n"}) {
    SCOPED_TRACE(csv);
    RunResult r = run_shell("cd '" + dir + "' && timeout 60 '" + BUFINS_PLOT_BINARY + "' -p x.svg -", csv);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(read_file(dir + "/x.svg").find("</svg>"), std::string::npos);
  }
  // The JSON reader refuses what the CSV reader refuses; a byte-order mark is skipped.
  const std::string plot = "cd '" + dir + "' && '" + BUFINS_PLOT_BINARY + "' -p y.svg -";
  EXPECT_EQ(run_shell(plot, "\xEF\xBB\xBF" "cost,buffers,slack\n0,0,1\n").status, 0);
  RunResult r = run_shell(plot, "{\"frontier\": [{\"cost\": -1, \"slack\": 1}]}");
  EXPECT_EQ(r.err, "(standard input): a frontier entry needs a cost and buffers from 0 up and a finite slack\n");
  r = run_shell(plot, "{\"frontier\": [{\"cost\": 1, \"slack\": 1, \"chosen\": true}, "
                      "{\"cost\": 2, \"slack\": 2, \"chosen\": true}]}");
  EXPECT_EQ(r.err, "(standard input): two frontier entries are marked chosen\n");
  run_shell("rm -rf '" + dir + "'");
}
#endif
