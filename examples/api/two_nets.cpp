// Solves two nets in one process, at the same time, with the bufins C++
// library: the example net read from its files (best slack, and the fewest
// buffers within 5 % of it), and a small net built in code.
//
// Usage: two_nets NET LIB
#include <cstdio>
#include <thread>

#include "bufins/bufins.h"

int main(int argc, char **argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: two_nets NET LIB\n");
    return 1;
  }
  try {
    std::vector<std::string> warnings;
    const bufins::Library lib = bufins::read_library(argv[2], &warnings);
    const bufins::Net read = bufins::read_net(argv[1], &warnings);
    for (const std::string &w : warnings) std::fprintf(stderr, "%s\n", w.c_str());
    const bufins::Net built = bufins::NetBuilder(0, 0, 200)
                                  .wire(0.05, 0.2)
                                  .sink(1, 3000, 0, 20, 900)
                                  .sink(2, 0, 4000, 30, 800)
                                  .candidate(3, 1500, 0)
                                  .candidate(4, 0, 2000)
                                  .candidate(5, 0, 0)
                                  .edge(0, 5)
                                  .edge(5, 3)
                                  .edge(5, 4)
                                  .edge(3, 1)
                                  .edge(4, 2)
                                  .link("built");
    bufins::Options within;
    within.objective = bufins::Objective::within_percent;
    within.within = 5;
    within.segments = 2;
    bufins::Result a, b;
    std::thread t([&] { a = bufins::solve(read, lib, within); });
    b = bufins::solve(built, lib);
    t.join();
    std::printf("%s: slack %.10g with %d buffers (cost %lld, %zu frontier points)\n", argv[1], a.slack, a.buffers,
                a.cost, a.frontier.size());
    std::printf("built: slack %.10g with %d buffers\n%s", b.slack, b.buffers, bufins::placement_text(b).c_str());
  } catch (const bufins::InputError &e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  return 0;
}
