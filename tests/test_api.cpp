// Tests of the C++ API (bufins.h): the same answers as the program for every
// objective on the example and random nets (slack, placement file, final
// net), 8 different nets solved on 8 threads at once giving exactly the
// sequential results (also with Scratch storage handed from net to net), and
// errors carrying the program's messages.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bufins/bufins.h"
#include "netgen.h"
#include "support.h"

namespace {

struct Objective {
  const char *options;  // of the program
  bufins::Options api;
};

std::vector<Objective> objectives() {
  std::vector<Objective> v;
  auto add = [&v](const char *opts, auto set) {
    bufins::Options o;
    set(o);
    v.push_back({opts, o});
  };
  add("", [](bufins::Options &) {});
  add("--min-cost", [](bufins::Options &o) { o.objective = bufins::Objective::min_cost; });
  add("--target=300", [](bufins::Options &o) { o.objective = bufins::Objective::target, o.target = 300; });
  add("--budget=2", [](bufins::Options &o) { o.objective = bufins::Objective::budget, o.budget = 2; });
  add("--within=30", [](bufins::Options &o) { o.objective = bufins::Objective::within, o.within = 30; });
  add("--within=5%", [](bufins::Options &o) { o.objective = bufins::Objective::within_percent, o.within = 5; });
  add("--max-cap=40", [](bufins::Options &o) { o.max_cap = 40; });
  add("--max-slew=400", [](bufins::Options &o) { o.max_slew = 400; });
  add("--max-slew=400 --within=5%", [](bufins::Options &o) {
    o.max_slew = 400;
    o.objective = bufins::Objective::within_percent, o.within = 5;
  });
  return v;
}

std::string slack_line(double slack) {
  char b[96];
  std::snprintf(b, sizeof b, "The slack after buffer insertion : %10.10g\n", slack);
  return b;
}

// The API and the program agree on every objective, with and without
// segmentation, on the example and on random nets.
TEST(ApiTest, SameAsTheProgramForEveryObjective) {
  const std::string dir = make_temp_dir();
  std::vector<std::string> names{"demo"};
  write_file(dir + "/demo.net", read_file(std::string(BUFINS_SOURCE_DIR) + "/examples/demo.net"));
  write_file(dir + "/demo.lib", read_file(std::string(BUFINS_SOURCE_DIR) + "/examples/demo.lib"));
  std::mt19937 rng(27);
  for (int k = 0; k < 3; k++) {
    GenOptions opt;
    opt.max_sinks = 30;
    opt.max_types = 4;
    const std::string name = "rnd" + std::to_string(k);
    write_net_files(random_net(rng, opt), dir, name);
    names.push_back(name);
  }
  for (const std::string &name : names) {
    const std::string lib = name == "demo" ? "demo.lib" : name + ".lib";
    const bufins::Net net = bufins::read_net(dir + "/" + name + ".net");
    const bufins::Library library = bufins::read_library(dir + "/" + lib);
    for (int m : {0, 3}) {
      for (Objective o : objectives()) {
        SCOPED_TRACE(name + " -m " + std::to_string(m) + " " + o.options);
        o.api.segments = m;
        const bufins::Result r = bufins::solve(net, library, o.api);
        RunResult run = run_bufins("-a flat -q -m " + std::to_string(m) + " -f " + name + ".net -b " + lib +
                                       " --out=cli " + o.options,
                                   "", dir);
        if (!r.feasible) {
          EXPECT_EQ(run.status, 2);
          EXPECT_EQ(run.err, "bufins: the request cannot be met: " + r.reason + "\n");
          continue;
        }
        EXPECT_EQ(run.status, r.goal_met ? 0 : 2);
        EXPECT_NE(run.out.find(slack_line(r.slack)), std::string::npos) << run.out;
        EXPECT_EQ(read_file(dir + "/cli.buf"), bufins::placement_text(r));
        long long cost = 0;
        for (const bufins::Placement &p : r.placements) cost += library.types[static_cast<size_t>(p.type - 1)].area;
        EXPECT_EQ(r.cost, cost);
        EXPECT_EQ(read_file(dir + "/cli.finalnet"), bufins::final_net_text(m > 0 ? r.net : net));
      }
    }
  }
}

// Eight different nets on eight threads at once: exactly the sequential
// answers (placements, frontiers, memory figures).
TEST(ApiThreadTest, EightNetsOnEightThreadsAsSequentially) {
  std::mt19937 rng(8);
  std::vector<bufins::Net> nets;
  std::vector<bufins::Library> libs;
  const std::string dir = make_temp_dir();
  for (int k = 0; k < 8; k++) {
    GenOptions opt;
    opt.max_sinks = 60;
    opt.max_types = 6;
    const std::string name = "n" + std::to_string(k);
    write_net_files(random_net(rng, opt), dir, name);
    nets.push_back(bufins::read_net(dir + "/" + name + ".net"));
    libs.push_back(bufins::read_library(dir + "/" + name + ".lib"));
  }
  auto options = [](int k) {
    bufins::Options o;
    o.segments = k % 3;
    o.young_records = 1 + k;  // many collections
    o.candidates = o.candidate_placements = true;
    if (k % 2) o.objective = bufins::Objective::within_percent, o.within = 5;
    if (k % 4 == 3) o.max_slew = 600;
    return o;
  };
  auto same = [](const bufins::Result &a, const bufins::Result &b) {
    if (a.slack != b.slack || a.placements.size() != b.placements.size() || a.frontier.size() != b.frontier.size() ||
        a.candidates.size() != b.candidates.size() || a.memory.peak != b.memory.peak || a.feasible != b.feasible ||
        a.memory.solutions_opened != b.memory.solutions_opened || a.memory.traces_opened != b.memory.traces_opened)
      return false;
    for (size_t i = 0; i < a.placements.size(); i++)
      if (a.placements[i].start != b.placements[i].start || a.placements[i].end != b.placements[i].end ||
          a.placements[i].type != b.placements[i].type)
        return false;
    for (size_t i = 0; i < a.frontier.size(); i++)
      if (a.frontier[i].slack != b.frontier[i].slack || a.frontier[i].cost != b.frontier[i].cost) return false;
    return true;
  };
  std::vector<bufins::Result> sequential;
  for (int k = 0; k < 8; k++) sequential.push_back(bufins::solve(nets[k], libs[k], options(k)));
  // From the second round on, each thread has a Scratch, handed on to
  // another thread (so another net) every round: the answers and figures
  // stay those of a fresh run.
  std::vector<bufins::Scratch> scratch(8);
  for (int round = 0; round < 4; round++) {
    std::vector<bufins::Result> parallel(8);
    std::vector<std::thread> threads;
    for (int k = 0; k < 8; k++)
      threads.emplace_back([&, k] {
        bufins::Options o = options(k);
        if (round > 0) o.scratch = &scratch[static_cast<size_t>((k + round) % 8)];
        parallel[k] = bufins::solve(nets[k], libs[k], o);
      });
    for (auto &t : threads) t.join();
    for (int k = 0; k < 8; k++) EXPECT_TRUE(same(sequential[k], parallel[k])) << "net " << k << " round " << round;
  }
}

// Errors carry the program's messages; warnings come back as lines.
TEST(ApiTest, ErrorsAndWarningsAsThePrograms) {
  const std::string dir = make_temp_dir();
  write_file(dir + "/bad.net", "driver 0 0 10\nsink 1 5 5 1 100\nedge 0 1\nedge 0 1\n");
  write_file(dir + "/demo.lib", read_file(std::string(BUFINS_SOURCE_DIR) + "/examples/demo.lib"));
  const RunResult run = run_bufins("-a flat -m 0 -f bad.net -b demo.lib", "", dir);
  try {
    bufins::read_net(dir + "/bad.net");
    FAIL() << "no error";
  } catch (const bufins::InputError &e) {
    EXPECT_EQ(std::string(e.what()) + "\n", dir + "/" + run.err);
    EXPECT_EQ(e.line, 4);
  }
  write_file(dir + "/warn.net", "driver 0 0 10\nsink 1 5 5 1 100\nedge 0 1\n");
  std::vector<std::string> warnings;
  bufins::read_net(dir + "/warn.net", &warnings);
  ASSERT_EQ(warnings.size(), 2u);
  EXPECT_EQ(warnings[0], dir + "/warn.net: warning: no wire resistance line (wire_res_per_unit): 0 is used");
  // A net built in code is checked as a file is.
  EXPECT_THROW(bufins::NetBuilder(0, 0, 1).sink(1, 1, 1, 1, 1).edge(1, 0).link(), bufins::InputError);
  const bufins::Net built =
      bufins::NetBuilder(0, 0, 100).wire(0.1, 0.2).sink(1, 100, 0, 10, 500).edge(0, 1).link();
  EXPECT_GT(bufins::solve(built, bufins::read_library(dir + "/demo.lib")).slack, 0.0);
}

}  // namespace
