// The slack–cost frontier against the max-slack flat run, in-process: reads
// the net BUFINS_BENCH_NET and library BUFINS_BENCH_LIB, segments it with
// BUFINS_BENCH_M (default 0) and times the flat engine (BM_Flat) and the
// whole frontier (BM_Frontier) on the same tables, algorithm only (reading
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

#include "def.h"
#include "flat.h"
#include "frontier.h"
#include "io.h"
#include "wire_segment.h"

namespace {

std::string env(const char *name, const char *fallback = "") {
  const char *p = std::getenv(name);
  return p ? p : fallback;
}

// Reads the library and net once per process into the global tables.
Node *load() {
  static Node *root = nullptr;
  static bool tried = false;
  if (tried) return root;
  tried = true;
  const std::string net = env("BUFINS_BENCH_NET"), lib = env("BUFINS_BENCH_LIB");
  if (net.empty() || lib.empty()) return nullptr;
  reset_globals();
  try {
    FILE *l = std::fopen(lib.c_str(), "r");
    FILE *n = std::fopen(net.c_str(), "r");
    if (l == nullptr || n == nullptr) return nullptr;
    InputLib(l, lib);
    root = read_net(n, net);
    std::fclose(l);
    std::fclose(n);
    const int m = std::atoi(env("BUFINS_BENCH_M", "0").c_str());
    if (m > 0) wire_segment(m);
  } catch (const InputError &) {
    root = nullptr;
  }
  return root;
}

void reset_counters() { total_solution = reduce_solution = m_used = m_reduced = max_space = 0.0; }

void BM_Flat(benchmark::State &state) {
  Node *root = load();
  if (root == nullptr) {
    state.SkipWithError("set BUFINS_BENCH_NET and BUFINS_BENCH_LIB to a net and a library");
    return;
  }
  for (auto _ : state) {
    reset_counters();
    flat(root);
    benchmark::DoNotOptimize(flat_answer);
    flat_free();
  }
  state.counters["slack"] = flat_answer;
  state.counters["peak_bytes"] = max_space;
}

void BM_Frontier(benchmark::State &state) {
  Node *root = load();
  if (root == nullptr) {
    state.SkipWithError("set BUFINS_BENCH_NET and BUFINS_BENCH_LIB to a net and a library");
    return;
  }
  CostFrontier f;
  for (auto _ : state) {
    reset_counters();
    f.run(root);
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
  state.counters["peak_bytes"] = max_space;
}

}  // namespace

BENCHMARK(BM_Flat)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Frontier)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
