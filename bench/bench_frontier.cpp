// The slack–cost frontier against the max-slack flat run, in-process: reads
// the net BUFINS_BENCH_NET and library BUFINS_BENCH_LIB, segments it with
// BUFINS_BENCH_M (default 0) and times the flat engine (BM_Flat) and the
// whole frontier (BM_Frontier) on the same model, algorithm only (reading
// and segmenting are outside the timed loop; the placement of the chosen
// point is not written). Counters: the frontier's points, its least cost at
// the maximum slack, the least costs within 1 %, 5 % and 10 % of it, the
// cost levels its merges made and the merged candidates they looked at, and
// each run's peak of the memory counters (bytes).
//
// Built with -DBUFINS_BENCH=ON (Google Benchmark); bench/frontier.sh runs it
// over the public nets and prints the table of bench/README.md.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "bufins/bufins.h"
#include "context.h"
#include "flat.h"
#include "frontier.h"

namespace {

std::string env(const char *name, const char *fallback = "") {
  const char *p = std::getenv(name);
  return p ? p : fallback;
}

// The net (segmented) and library, read once per process.
struct Problem {
  bool ok = false;
  bufins::Net net;
  bufins::Library lib;
};

const Problem &load() {
  static const Problem problem = [] {
    Problem p;
    const std::string net = env("BUFINS_BENCH_NET"), lib = env("BUFINS_BENCH_LIB");
    if (net.empty() || lib.empty()) return p;
    try {
      p.lib = bufins::read_library(lib);
      p.net = bufins::segmented(bufins::read_net(net), std::atoi(env("BUFINS_BENCH_M", "0").c_str()));
      p.ok = true;
    } catch (const std::exception &) {
    }
    return p;
  }();
  return problem;
}

void BM_Flat(benchmark::State &state) {
  const Problem &p = load();
  if (!p.ok) {
    state.SkipWithError("set BUFINS_BENCH_NET and BUFINS_BENCH_LIB to a net and a library");
    return;
  }
  const flat_core::Tables tables(p.net, p.lib);
  double slack = 0.0, peak = 0.0;
  for (auto _ : state) {
    bufins::Context ctx;
    flat_core::MaxSlack run(tables, ctx);
    run.run();
    // Through a const reference: on a double lvalue, DoNotOptimize's "+r"
    // constraint lets GCC hand back a general register's bits.
    const double &answer = run.slack();
    benchmark::DoNotOptimize(answer);
    slack = answer;
    peak = ctx.memory.peak;
  }
  state.counters["slack"] = slack;
  state.counters["peak_bytes"] = peak;
}

void BM_Frontier(benchmark::State &state) {
  const Problem &p = load();
  if (!p.ok) {
    state.SkipWithError("set BUFINS_BENCH_NET and BUFINS_BENCH_LIB to a net and a library");
    return;
  }
  const flat_core::Tables tables(p.net, p.lib);
  bufins::Context ctx;
  CostFrontier f(tables, ctx);
  for (auto _ : state) {
    ctx = bufins::Context();
    f.run();
    benchmark::DoNotOptimize(f.points().data());
  }
  const auto &pts = f.points();
  if (pts.empty()) return;
  const double best = pts.back().slack;
  auto least_within = [&](double share) {
    for (const FrontierPoint &p : pts)
      if (p.slack >= best - share * std::fabs(best)) return static_cast<double>(p.cost);
    return -1.0;
  };
  state.counters["slack"] = best;
  state.counters["points"] = static_cast<double>(pts.size());
  state.counters["cost_max"] = static_cast<double>(pts.back().cost);
  state.counters["cost_1pc"] = least_within(0.01);
  state.counters["cost_5pc"] = least_within(0.05);
  state.counters["cost_10pc"] = least_within(0.10);
  state.counters["levels"] = static_cast<double>(f.stats().levels);
  state.counters["merged"] = static_cast<double>(f.stats().merged);
  state.counters["max_levels"] = f.stats().max_levels;
  state.counters["peak_bytes"] = ctx.memory.peak;
}

}  // namespace

BENCHMARK(BM_Flat)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Frontier)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
