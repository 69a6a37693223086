// The C++ side of bench/python_overhead.py: solves one net with the public
// API (bufins::solve) again and again and prints the best time of one solve
// over a few rounds, in nanoseconds, so that the Python figure can be set
// beside it. Usage: api_loop NET LIB SOLVES ROUNDS
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "bufins/bufins.h"

int main(int argc, char **argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: api_loop NET LIB SOLVES ROUNDS\n");
    return 1;
  }
  const bufins::Net net = bufins::read_net(argv[1]);
  const bufins::Library lib = bufins::read_library(argv[2]);
  const long solves = std::atol(argv[3]), rounds = std::atol(argv[4]);
  double best = 1e300, slack = 0;
  for (long r = 0; r < rounds; r++) {
    const auto t0 = std::chrono::steady_clock::now();
    for (long i = 0; i < solves; i++) slack += bufins::solve(net, lib).slack;
    const std::chrono::duration<double, std::nano> t = std::chrono::steady_clock::now() - t0;
    if (t.count() / static_cast<double>(solves) < best) best = t.count() / static_cast<double>(solves);
  }
  std::printf("%.1f %.10g\n", best, slack / static_cast<double>(solves * rounds));
  return 0;
}
