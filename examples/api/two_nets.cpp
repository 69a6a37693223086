// Solves two nets in one process, at the same time, with the bufins C++
// library: the example net read from its files (best slack, and the fewest
// buffers within 5 % of it), and a small net built in code; then a third net
// routed from its pins (bufins::route, as bufins-route routes them).
//
// Usage: two_nets NET LIB
#include <cstdio>
#include <thread>

#include "bufins/bufins.h"
#include "bufins/route.h"

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
    bufins::RouteOptions ro;
    ro.required = 1000;
    const bufins::RoutedNet routed = bufins::route(
        "wire_res_per_unit 0.05\nwire_cap_per_unit 0.2\ndriver 0 0 200\n"
        "sink 1 3000 0 20\nsink 2 0 4000 30\nsink 3 2500 2500 10\nsink 4 4000 1000 15\n",
        "pins", ro, &warnings);
    const bufins::Result c = bufins::solve(routed.net, lib);
    std::printf("routed: %zu nodes, wire length %.10g, slack %.10g with %d buffers\n", routed.nodes,
                routed.wire_length, c.slack, c.buffers);
  } catch (const bufins::InputError &e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  return 0;
}
