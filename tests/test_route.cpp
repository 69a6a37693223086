// Tests of bufins-route and its Steiner trees: the heuristic against exact
// rectilinear Steiner trees (Dreyfus-Wagner over the Hanan grid) on random
// pin sets, every written net read back by the library's reader as a tree
// with every pin a sink, a routed tree's lengths reproduced, and bad input
// end to end.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "bufins/route.h"
#include "def.h"
#include "io.h"
#include "steiner.h"
#include "support.h"

namespace fs = std::filesystem;
using steiner::Point;

namespace {

const std::string kRoute = BUFINS_ROUTE_BINARY;
const std::string kCheck = BUFINS_CHECK_BINARY;
const std::string kNets = BUFINS_BENCH_NETS;

struct Dir {
  std::string path = make_temp_dir();
  ~Dir() { fs::remove_all(path); }
  std::string operator/(const std::string &name) const { return path + "/" + name; }
  RunResult run(const std::string &command, const std::string &input = "") const {
    return run_shell("cd '" + path + "' && " + command, input);
  }
};

// Length of a rectilinear Steiner minimal tree: Dreyfus-Wagner over the Hanan
// grid, whose shortest paths are rectilinear distances.
double exact_steiner(const std::vector<Point> &pins) {
  std::vector<double> xs, ys;
  for (const Point &p : pins) xs.push_back(p.x), ys.push_back(p.y);
  std::sort(xs.begin(), xs.end());
  xs.erase(std::unique(xs.begin(), xs.end()), xs.end());
  std::sort(ys.begin(), ys.end());
  ys.erase(std::unique(ys.begin(), ys.end()), ys.end());
  std::vector<Point> grid;
  for (double x : xs)
    for (double y : ys) grid.push_back({x, y});
  const size_t k = pins.size(), v = grid.size(), full = (size_t{1} << k) - 1;
  const double inf = std::numeric_limits<double>::infinity();
  std::vector<std::vector<double>> dp(full + 1, std::vector<double>(v, inf));
  for (size_t i = 0; i < k; i++)
    for (size_t g = 0; g < v; g++) dp[size_t{1} << i][g] = steiner::manhattan(pins[i], grid[g]);
  for (size_t s = 1; s <= full; s++) {
    if ((s & (s - 1)) == 0) continue;
    for (size_t g = 0; g < v; g++)
      for (size_t t = (s - 1) & s; t > 0; t = (t - 1) & s)
        if (t < (s ^ t)) dp[s][g] = std::min(dp[s][g], dp[t][g] + dp[s ^ t][g]);
    std::vector<double> relaxed(dp[s]);
    for (size_t g = 0; g < v; g++)
      for (size_t h = 0; h < v; h++) relaxed[g] = std::min(relaxed[g], dp[s][h] + steiner::manhattan(grid[h], grid[g]));
    dp[s] = relaxed;
  }
  return *std::min_element(dp[full].begin(), dp[full].end());
}

std::vector<Point> random_pins(std::mt19937 &rng, int n, int grid) {
  std::uniform_int_distribution<int> c(0, grid);
  std::vector<Point> p(static_cast<size_t>(n));
  for (Point &q : p) q = {static_cast<double>(c(rng)), static_cast<double>(c(rng))};
  return p;
}

// The net in the global tables, read by the library's reader.
struct ReadBack {
  std::string error;
  std::map<int, const Node *> sink;  // by index
  std::vector<const Node *> parent;  // by table position
  double length = 0.0;
};

ReadBack read_back(const std::string &path) {
  ReadBack rb;
  reset_globals();
  FILE *f = std::fopen(path.c_str(), "r");
  if (!f) {
    rb.error = "cannot open " + path;
    return rb;
  }
  try {
    read_net(f, path);
  } catch (const InputError &e) {
    rb.error = e.what();
  }
  std::fclose(f);
  if (!rb.error.empty()) return rb;
  rb.parent.assign(nodes.size(), nullptr);
  std::vector<const Node *> stack{&nodes[0]};
  while (!stack.empty()) {
    const Node *n = stack.back();
    stack.pop_back();
    for (const Node *c : {n->left, n->right})
      if (c) {
        rb.parent[c - nodes.data()] = n;
        rb.length += distance(n, c);
        stack.push_back(c);
      }
  }
  for (int i = 1; i < n_sinks; i++) rb.sink[nodes[i].index] = &nodes[i];
  return rb;
}

// Every pin is a sink with its place, load and time; each sink hangs behind a
// zero-length wire from a candidate node; the driver drives a candidate.
void expect_pins_kept(const ReadBack &rb, const std::vector<Point> &pins, double pitch) {
  ASSERT_EQ(rb.error, "");
  ASSERT_EQ(rb.sink.size(), pins.size() - 1);
  EXPECT_EQ(nodes[0].x, pins[0].x);
  EXPECT_EQ(nodes[0].y, pins[0].y);
  ASSERT_NE(nodes[0].left, nullptr);
  EXPECT_EQ(nodes[0].left->type, NODE_CANDIDATE);
  for (size_t i = 1; i < pins.size(); i++) {
    auto it = rb.sink.find(static_cast<int>(i));
    ASSERT_NE(it, rb.sink.end()) << "sink " << i;
    const Node *s = it->second;
    EXPECT_EQ(s->x, pins[i].x);
    EXPECT_EQ(s->y, pins[i].y);
    EXPECT_EQ(s->cap * 1000.0, static_cast<double>(i % 7 + 1));
    EXPECT_EQ(s->time, 100.0 * static_cast<double>(i));
    const Node *up = rb.parent[s - nodes.data()];
    ASSERT_NE(up, nullptr);
    EXPECT_EQ(up->type, NODE_CANDIDATE);
    EXPECT_EQ(distance(up, s), 0.0);
  }
  if (pitch > 0)
    for (size_t i = 1; i < rb.parent.size(); i++)
      if (rb.parent[i]) {
        EXPECT_LE(distance(rb.parent[i], &nodes[i]), pitch * (1 + 1e-12));
      }
}

std::string pin_file(const std::vector<Point> &pins) {
  std::ostringstream o;
  o.precision(17);
  o << "# pins\nwire_res_per_unit 0.08\nwire_cap_per_unit 0.2\ndriver " << pins[0].x << " " << pins[0].y << " 150\n";
  for (size_t i = 1; i < pins.size(); i++)
    o << "sink " << i << " " << pins[i].x << " " << pins[i].y << " " << (i % 7 + 1) << " " << 100 * i << "\n";
  return o.str();
}

// The length in the header line "Wire length L (...".
double header_length(const std::string &text) {
  const size_t at = text.find("# Wire length ");
  return at == std::string::npos ? -1.0 : std::stod(text.substr(at + 14));
}

}  // namespace

// The heuristic against the exact length on random sets of 4 to 9 pins (some
// on a tiny grid, so with coincident and collinear pins), and its invariants
// and the Prim-Dijkstra variant on larger sets.
TEST(RouteSteiner, NearExactOnSmallNetsAndValidOnLarge) {
  std::mt19937 rng(2222);
  double sum = 0.0, worst = 0.0;
  const int trials = 400;
  for (int trial = 0; trial < trials; trial++) {
    const std::vector<Point> pins = random_pins(rng, 4 + trial % 6, trial % 10 == 0 ? 3 : 100);
    const steiner::Tree t = steiner::steiner_tree(pins);
    ASSERT_EQ(steiner::check(t), "") << "trial " << trial;
    ASSERT_EQ(t.terminals, static_cast<int>(pins.size()));
    const double exact = exact_steiner(pins);
    const double ratio = exact > 0 ? steiner::length(t) / exact : 1.0;
    ASSERT_GE(ratio, 1.0 - 1e-12) << "trial " << trial << ": shorter than the exact tree";
    sum += ratio;
    worst = std::max(worst, ratio);
    if (ratio > 1.03) {
      std::string text;
      for (const Point &p : pins) text += std::to_string(p.x) + "," + std::to_string(p.y) + " ";
      ADD_FAILURE() << "trial " << trial << ": " << ratio << " of the exact length for " << text;
    }
  }
  EXPECT_LE(sum / trials, 1.005);
  EXPECT_LE(worst, 1.03);
  std::printf("[ mean %.5f, worst %.5f of the exact length over %d pin sets ]\n", sum / trials, worst, trials);

  for (int n : {11, 13, 60, 700, 3000}) {
    const std::vector<Point> pins = random_pins(rng, n, n < 100 ? 10 : 100000);
    const steiner::Tree t = steiner::steiner_tree(pins);
    ASSERT_EQ(steiner::check(t), "") << n << " pins";
    const double mst = steiner::length({pins, n, steiner::spanning_tree(pins)});
    EXPECT_LE(steiner::length(t), mst);
    if (n >= 700) {
      EXPECT_LE(steiner::length(t), 0.92 * mst);
    }
    for (double alpha : {0.0, 0.4, 1.0}) {
      const steiner::Tree a = steiner::timing_tree(t, 0, alpha);
      ASSERT_EQ(steiner::check(a), "") << n << " pins, alpha " << alpha;
      ASSERT_EQ(a.terminals, n);
      if (alpha == 0.0) {
        EXPECT_LE(steiner::length(a), steiner::length(t) * (1 + 1e-12));
      }
    }
  }
}

// The trees themselves, bit for bit: which of equal gains goes first, the
// order of sorts and the numbering of Steiner points are part of what
// bufins-route writes, so a faster construction must give these very trees.
// Fingerprints (FNV-1a over the points' bits and the links) of trees over
// pins from a fixed 64-bit generator, on coarse grids (ties everywhere) and
// fine ones, from the exact tree's size to edge substitution's large nets.
TEST(RouteSteiner, TreesKeepTheirTieBreaking) {
  struct Case {
    uint64_t seed;
    int n, side;
    uint64_t fingerprint;
  };
  const Case cases[] = {
      {1, 13, 6, 0xcff52e91cb4f9a2bull},          {2, 40, 12, 0xbe9db04322d88fb4ull},
      {3, 61, 1000, 0xa14e2c622a78d8feull},       {4, 200, 30, 0xe27f169fefc38264ull},
      {5, 2000, 1000000, 0xfb0db15763eec125ull},  {6, 30000, 3000, 0x849e5ecb6126fcffull},
      {7, 30000, 100000000, 0xd34e7890458c0758ull},
  };
  for (const Case &c : cases) {
    uint64_t state = c.seed;
    auto next = [&] {
      state = state * 6364136223846793005ull + 1442695040888963407ull;
      return static_cast<double>((state >> 33) % static_cast<uint64_t>(c.side));
    };
    std::vector<Point> pins(static_cast<size_t>(c.n));
    for (Point &p : pins) {
      p.x = next();
      p.y = next();
    }
    const steiner::Tree t = steiner::steiner_tree(pins);
    uint64_t h = 1469598103934665603ull;
    auto mix = [&](uint64_t v) {
      for (int i = 0; i < 8; i++) {
        h ^= (v >> (8 * i)) & 0xff;
        h *= 1099511628211ull;
      }
    };
    for (const Point &p : t.points) {
      uint64_t x, y;
      std::memcpy(&x, &p.x, sizeof x);
      std::memcpy(&y, &p.y, sizeof y);
      mix(x);
      mix(y);
    }
    for (const steiner::Link &l : t.links) {
      mix(static_cast<uint64_t>(l.first));
      mix(static_cast<uint64_t>(l.second));
    }
    EXPECT_EQ(h, c.fingerprint) << c.n << " pins on a grid of " << c.side;
  }
}

// Random pin files, with coincident and collinear pins and sinks on the
// driver, with and without a pitch and alpha: each net written reads back as
// a tree with every pin a sink; a few are buffered by bufins and the
// placement re-evaluated by bufins-check.
TEST(RouteEndToEnd, PinFilesReadBackAsNets) {
  std::mt19937 rng(77);
  Dir d;
  fs::copy_file(std::string(BUFINS_SOURCE_DIR) + "/examples/demo.lib", d / "demo.lib");
  for (int trial = 0; trial < 14; trial++) {
    const int n = trial < 3 ? trial + 2 : 5 + static_cast<int>(rng() % 120);
    std::vector<Point> pins = random_pins(rng, n, trial % 3 == 0 ? 4 : 5000);
    if (trial % 4 == 1) pins[1] = pins[0];                       // a sink on the driver
    if (trial % 5 == 2) {
      for (Point &p : pins) p.y = pins[0].y;  // all on one line
    }
    write_file(d / "pins.net", pin_file(pins));
    const double pitch = trial % 2 ? 300.0 : 0.0;
    std::string args = "pins.net -o out.net";
    if (pitch > 0) args += " --pitch=300";
    if (trial % 3 == 1) args += " --alpha=" + std::to_string((trial % 7) / 6.0);
    SCOPED_TRACE("trial " + std::to_string(trial) + ": " + args + "\n" + pin_file(pins));
    RunResult r = d.run("'" + kRoute + "' " + args);
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(r.err, "");
    const ReadBack rb = read_back(d / "out.net");
    expect_pins_kept(rb, pins, pitch);
    EXPECT_NEAR(rb.length, header_length(read_file(d / "out.net")), 1e-9 * rb.length + 1e-9);
    if (trial % 4 == 0) {
      RunResult b = d.run("'" + std::string(BUFINS_BINARY) + "' -f out.net -b demo.lib -a flat -m 0");
      ASSERT_EQ(b.status, 0) << b.err;
      const size_t at = b.out.find("The slack after buffer insertion :");
      ASSERT_NE(at, std::string::npos) << b.out;
      const std::string slack = b.out.substr(at + 35, b.out.find('\n', at) - at - 35);
      RunResult c = d.run("'" + kCheck + "' --slack " + slack + " out.net demo.lib out.buf");
      EXPECT_EQ(c.status, 0) << c.out << c.err;
    }
  }
  // Standard input and output: the same net but for the header's file name.
  RunResult r = d.run("'" + kRoute + "' pins.net | grep -v '^#' > file.net && '" + kRoute +
                      "' - < pins.net | grep -v '^#' > piped.net && cmp file.net piped.net");
  EXPECT_EQ(r.status, 0) << r.out << r.err;
}

// The library's net is, bit for bit, the net the reader makes of the file
// bufins-route writes: every figure rounded as printed, nodes and edges in the
// file's order and linked alike. Odd figures (thirds, many digits, loads in
// another unit) on random pin files and sink lists, with and without a
// pitch, alpha and --required, and the routed tree.
TEST(RouteLibrary, NetIsTheFilesNet) {
  std::mt19937 rng(5);
  auto bits = [](double v) {
    uint64_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
  };
  auto check = [&](const std::string &text, const bufins::RouteOptions &options) {
    std::vector<std::string> warnings;
    bufins::RouteOptions o = options;
    o.text = true;
    const bufins::RoutedNet routed = bufins::route(text, "in", o, &warnings);
    FILE *f = fmemopen(const_cast<char *>(routed.text.data()), routed.text.size(), "r");
    const bufins::Net read = read_net_model(f, "in");
    std::fclose(f);
    const bufins::Net &net = routed.net;
    ASSERT_EQ(net.nodes.size(), read.nodes.size());
    ASSERT_EQ(net.edges.size(), read.edges.size());
    for (size_t i = 0; i < net.nodes.size(); i++) {
      const bufins::Node &a = net.nodes[i], &b = read.nodes[i];
      ASSERT_TRUE(a.index == b.index && a.kind == b.kind && a.left == b.left && a.right == b.right &&
                  bits(a.x) == bits(b.x) && bits(a.y) == bits(b.y) && bits(a.load) == bits(b.load) &&
                  bits(a.required) == bits(b.required))
          << "node " << i;
    }
    for (size_t i = 0; i < net.edges.size(); i++)
      ASSERT_TRUE(net.edges[i].from == read.edges[i].from && net.edges[i].to == read.edges[i].to) << "edge " << i;
    EXPECT_EQ(bits(net.driver_resistance), bits(read.driver_resistance));
    EXPECT_EQ(bits(net.driver_max_cap), bits(read.driver_max_cap));
    EXPECT_EQ(bits(net.wire_resistance), bits(read.wire_resistance));
    EXPECT_EQ(bits(net.wire_capacitance), bits(read.wire_capacitance));
    // Without the text: the same net.
    o.text = false;
    const bufins::RoutedNet quick = bufins::route(text, "in", o);
    EXPECT_EQ(quick.text, "");
    EXPECT_EQ(bufins::final_net_text(quick.net), bufins::final_net_text(net));
  };
  for (int trial = 0; trial < 40; trial++) {
    SCOPED_TRACE("trial " + std::to_string(trial));
    bufins::RouteOptions o;
    if (trial % 3 == 1) o.pitch = 100.0 / 3.0;
    if (trial % 4 == 2) o.alpha = (trial % 5) / 4.0;
    if (trial % 5 == 3) o.required = 1000.0 / 7.0;
    std::ostringstream text;
    text.precision(17);
    if (trial % 2 == 0) {
      const int n = 2 + static_cast<int>(rng() % 70);
      text << "wire_res_per_unit " << 0.1 / 3 << "\nwire_cap_per_unit " << 0.2 / 3 << "\ndriver " << rng() % 1000 / 7.0
           << " 0.1 " << 100.0 / 3 << (trial % 8 == 0 ? " max_cap=333.33333333333333" : "") << "\n";
      for (int k = 1; k <= n; k++)
        text << "sink " << k << " " << rng() % 100000 / 3.0 << " " << rng() % 1000 * 1.1 << " " << rng() % 100 / 9.0 << " "
             << -(rng() % 1000) / 3.0 << "\n";
      check(text.str(), o);
    } else {
      const int n = 2 + static_cast<int>(rng() % 70);
      text << "NumPins : " << n << "\nPerUnitResistance : 0.003\nPerUnitCapacitance : 2.3e-17\n";
      for (int k = 0; k < n; k++)
        text << "Sink : " << k << "\n  Coordinate : " << rng() % 100000 * 0.01 << " " << rng() % 3000 << "\n  Capacitive Load : "
             << (rng() % 90 + 1) * 1.1e-15 << "\n";
      if (trial % 6 == 1) o.cap_unit = 1e-12;
      check(text.str(), o);
    }
  }
  bufins::RouteOptions o;
  o.loads = read_file(kNets + "/r1");
  o.loads_name = "r1";
  check(read_file(kNets + "/r1.xg_B0"), o);
}

// The public sink lists become nets (sink id k is node k + 1, loads in fF),
// and the routed tree of r1 keeps every wire's routed length.
TEST(RouteEndToEnd, SinkListAndRoutedTree) {
  Dir d;
  RunResult r = d.run("'" + kRoute + "' '" + kNets + "/r1' -o r1.net --required=500");
  ASSERT_EQ(r.status, 0) << r.err;
  ReadBack rb = read_back(d / "r1.net");
  ASSERT_EQ(rb.error, "");
  ASSERT_EQ(rb.sink.size(), 267u);
  EXPECT_EQ(rb.sink[1]->x, 29322.0);  // "Sink : 0", "Coordinate : 29322 41420", 5.9e-14 F
  EXPECT_EQ(rb.sink[1]->y, 41420.0);
  EXPECT_NEAR(rb.sink[1]->cap * 1000.0, 59.0, 1e-12);
  EXPECT_EQ(rb.sink[1]->time, 500.0);
  EXPECT_NEAR(r0, 0.003, 1e-15);
  EXPECT_NEAR(c0 * 1000.0, 0.02, 1e-15);

  r = d.run("'" + kRoute + "' '" + kNets + "/r1.xg_B0' --loads='" + kNets + "/r1' -o xg.net");
  ASSERT_EQ(r.status, 0) << r.err;
  rb = read_back(d / "xg.net");
  ASSERT_EQ(rb.error, "");
  ASSERT_EQ(rb.sink.size(), 267u);
  // Routed length from the source to every sink, from the file's records.
  struct Rec {
    int parent;
    double len, x, y;
  };
  std::map<int, Rec> rec;
  std::ifstream in(kNets + "/r1.xg_B0");
  std::string line;
  bool tree = false;
  int detoured = 0;
  Point above{};
  int last = -1;
  auto finish = [&] {
    if (last < 0) return;
    Rec &r = rec[last];
    if (r.len - (std::fabs(r.x - above.x) + std::fabs(r.y - above.y)) > 0.07) detoured++;
  };
  while (std::getline(in, line)) {
    if (line[0] == '"') {
      if (tree) break;
      tree = line.rfind("\"tree", 0) == 0;
      continue;
    }
    if (!tree) continue;
    if (line.rfind("move", 0) == 0) {
      finish();
      Rec r{};
      std::sscanf(line.c_str(), "move %lf %lf", &r.x, &r.y);
      int id;
      std::sscanf(line.substr(line.find("id:")).c_str(), "id:%d", &id);
      std::sscanf(line.substr(line.find("par:")).c_str(), "par:%d", &r.parent);
      std::sscanf(line.substr(line.find("len:")).c_str(), "len:%lf", &r.len);
      rec[id] = r;
      last = id;
    } else if (line[0] == ' ') {
      std::sscanf(line.c_str(), "%lf %lf", &above.x, &above.y);
    }
  }
  finish();
  ASSERT_EQ(rec.size(), 532u);
  EXPECT_EQ(detoured, 1);  // sink 219's wire snakes 98 units beyond its ends' distance
  for (const auto &[id, r0rec] : rec) {
    if (id > 266) continue;
    double routed = 0.0;
    int depth = 0;
    for (int v = id; rec.count(v); v = rec[v].parent, depth++) routed += std::max(rec[v].len, 0.0);
    double net_path = 0.0;
    for (const Node *v = rb.sink[id + 1]; rb.parent[v - nodes.data()]; v = rb.parent[v - nodes.data()])
      net_path += distance(rb.parent[v - nodes.data()], v);
    // Each wire within the rounding of its printed length (0.05) and of the
    // four coordinates (0.005 each) that give the distance it is measured by.
    EXPECT_NEAR(net_path, routed, 0.07 * depth + 1e-6) << "sink " << id;
  }
  // The detoured wire alone: exactly its routed length.
  const Node *s219 = rb.sink[220];
  const Node *front = rb.parent[s219 - nodes.data()];
  const Node *detour = rb.parent[front - nodes.data()];
  const Node *junction = rb.parent[detour - nodes.data()];
  EXPECT_NEAR(distance(junction, detour) + distance(detour, front), 3283.2, 1e-9);
}

// Usage errors, faulty inputs and limits: the message and the status.
TEST(RouteEndToEnd, BadInput) {
  Dir d;
  const std::string pins = "wire_res_per_unit 1\nwire_cap_per_unit 1\ndriver 0 0 10\nsink 1 5 5 1 0\n";
  struct Case {
    std::string file, args;
    int status;
    std::string message;
  };
  const Case cases[] = {
      {"", "in", 1, "in: neither a pin file, a sink list nor a routed tree"},
      {"driver 0 0 1\n", "in", 1, "in: no sink line"},
      {pins + "sink 1 7 7 1 0\n", "in", 1, "in:5: sink line: index 1 is already used by the sink at line 4"},
      {pins + "sink 0 7 7 1 0\n", "in", 1, "in:5: sink line: index 0 is the driver's"},
      {pins + "sink 2 7 x 1 0\n", "in", 1, "in:5: sink line: missing or unreadable y coordinate"},
      {pins + "sink 2 7 7 -1 0\n", "in", 1, "in:5: sink line: load capacitance must not be negative"},
      {pins + "sink 2 7 7 1\n", "in", 1, "in:5: sink line: missing required arrival time (or give --required=T)"},
      {pins + "driver 1 1 1\n", "in", 1, "in:5: driver line: a second driver line (the first is at line 3)"},
      {"driver 0 0 1 speed=3\nsink 1 5 5 1 0\n", "in", 1, "in:1: driver line: unknown field speed"},
      {"driver 0 0 1\nsink 1 5 5 1 0\n", "in", 1, "in: no wire resistance per unit length"},
      {"NumPins : 2\nSink : 0\n Coordinate : 1 2\n Capacitive Load : 1e-15\n", "in", 1, "in:1: NumPins says 2, but the file lists 1 sinks"},
      {"NumPins : 1\n Coordinate : 1 2\nSink : 0\n", "in", 1, "in:2: Coordinate line before the first Sink line"},
      {"PerUnitResistance : 1\nPerUnitCapacitance : 1e-15\nSink : 0\n Coordinate : 1 2\n", "in", 1, "in:3: sink 0 has no Capacitive Load line"},
      {"\"tree0\nmove 5 5 id:0 child:-1 -1 par:9 len:10.0\n 0 0 delay:\n", "in", 1, "in: a routed tree carries no sink loads"},
      {"\"tree0\nmove 5.00 5.00 id:0 child:-1 -1 par:9 len:9.9\n 0.00 0.00 delay:\n", "in --loads=list", 1,
       "in:2: move line: the routed length 9.9 is shorter than the distance 10"},
      {"\"tree0\nmove 5.00 5.10 id:0 child:-1 -1 par:9 len:10.1\n 0.00 0.00 delay:\n", "in --loads=list", 1,
       "in:2: sink 0 lies at 5 5.1 in the routed tree but at 5 5 in list (line 3)"},
      {"\"tree0\nmove 5 5 id:0 child:-1 -1 par:9 len:10\n 0 0\nmove 6 6 id:1 child:2 -1 par:2 len:0\n 6 6\nmove 6 6 id:2 child:1 -1 par:1 len:0\n 6 6\n",
       "in --loads=list", 1,
       "in: the move lines do not form one tree"},
      {pins, "in --loads=list", 1, "in: --loads applies to a routed tree, and this is a pin file"},
      {pins, "in --pitch=1e-6", 2, "bufins-route: the net would have more than 1600000 nodes"},
      {pins, "in --pitch=1e-20", 2, "bufins-route: the net would have more than 1600000 nodes"},
      {"PerUnitResistance : 1\nPerUnitCapacitance : 1e50\n", "in", 1,
       "in:2: capacitance per unit length 1e+50 is 1e+65 in the net's unit (--cap-unit 1e-15), beyond the magnitude"},
      {"PerUnitResistance : 1\nSink : 0\n Capacitive Load : 1e50\n", "in", 1, "in:3: load (farad) 1e+50 is 1e+65"},
      {"PerUnitResistance : 1\nSink : 0\n Downstream_Delay : 1e50\n", "in", 1, "in:3: delay (second) 1e+50 is 1e+62"},
      {pins, "missing", 1, "bufins-route: cannot open missing: No such file or directory"},
      {pins, "in -o nodir/out.net", 1, "bufins-route: cannot create nodir/out.net"},
      {pins, "in --alpha=2", 1, "bufins-route: --alpha: '2' is not a number from 0 to 1"},
      {pins, "in --pitch=0", 1, "bufins-route: --pitch: '0' is not a length above 0"},
      {pins, "in --driver=3", 1, "bufins-route: --driver: '3' is not X,Y (two numbers)"},
      {pins, "in -f x", 1, "bufins-route: unknown option '-f'"},
      {pins, "in --segments=3", 1, "bufins-route: unknown option '--segments'"},
      {pins, "in --pitch", 1, "bufins-route: option '--pitch' needs an argument (L)"},
      {pins, "in out.net", 1, "bufins-route: unexpected argument 'out.net'"},
      {pins, "- --loads=-", 1, "bufins-route: '-' (standard input) may stand for one input file only"},
      {pins, "", 1, "bufins-route: no INPUT given"},
  };
  write_file(d / "list", "PerUnitResistance : 1\nPerUnitCapacitance : 1e-15\nSink : 0\n Coordinate : 5 5\n Capacitive Load : 1e-15\n");
  for (const Case &c : cases) {
    SCOPED_TRACE(c.args + "\n" + c.file);
    write_file(d / "in", c.file);
    RunResult r = d.run("'" + kRoute + "' " + c.args);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind(c.message, 0), 0u) << r.err;
    if (c.message.rfind("bufins-route: ", 0) == 0 && c.status == 1 && c.message.find("cannot") == std::string::npos) {
      EXPECT_NE(r.err.find("Try 'bufins-route --help' for more information."), std::string::npos) << r.err;
    }
  }
  EXPECT_FALSE(file_exists(d / "nodir"));
  // A pin file that was a routed net: its routing is ignored, with a warning
  // (which -q silences).
  write_file(d / "in", pins + "candidate 9 5 0\nedge 0 9\nedge 9 1\n");
  RunResult r = d.run("'" + kRoute + "' in");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "in:5: candidate and edge lines are ignored: the sinks are routed anew\n");
  EXPECT_EQ(d.run("'" + kRoute + "' -q in").err, "");
  r = d.run("'" + kRoute + "' --help");
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("--alpha=A"), std::string::npos);
  r = d.run("'" + kRoute + "' -V");
  EXPECT_EQ(r.out, std::string("bufins-route ") + BUFINS_VERSION + "\n");
}

// The net is written whole or not at all: an output naming an input is
// refused before anything is read, and a failed write or a late error leaves
// an earlier net of the same name byte for byte, with no temporary behind.
TEST(RouteEndToEnd, OutputsNeverDestroyFiles) {
  std::mt19937 rng(5);
  Dir d;
  const std::string pins = pin_file(random_pins(rng, 200, 5000));
  write_file(d / "pins.net", pins);
  RunResult r = d.run("'" + kRoute + "' pins.net -o out.net");
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string earlier = read_file(d / "out.net");
  ASSERT_GT(earlier.size(), 4096u);
  auto left_alone = [&](const RunResult &run, int status, const std::string &message) {
    EXPECT_EQ(run.status, status);
    EXPECT_EQ(run.err.rfind(message, 0), 0u) << run.err;
    EXPECT_EQ(read_file(d / "pins.net"), pins);
    EXPECT_EQ(read_file(d / "out.net"), earlier);
    for (const auto &entry : fs::directory_iterator(d.path))
      EXPECT_NE(entry.path().filename().string()[0], '.') << "left behind: " << entry.path();
  };
  left_alone(d.run("'" + kRoute + "' pins.net --pitch=3 --output=./pins.net"), 1,
             "bufins-route: output ./pins.net would replace the input file pins.net; choose another name with "
             "--output\n");
  // A write that fails half-way (the file size limit, its signal ignored so
  // that the write reports EFBIG), a full standard output, and a net refused
  // after the inputs were read.
  left_alone(d.run("trap '' XFSZ; ulimit -f 1; exec '" + kRoute + "' pins.net --pitch=3 -o out.net"), 1,
             "bufins-route: cannot write out.net: File too large");
  left_alone(d.run("'" + kRoute + "' pins.net > /dev/full"), 1,
             "bufins-route: cannot write the net to standard output: No space left on device");
  left_alone(d.run("'" + kRoute + "' pins.net --pitch=1e-6 -o out.net"), 2,
             "bufins-route: the net would have more than 1600000 nodes");
}

// A sink list too large for bufins is refused before the tree is built: a
// sink and the candidate node in front of it each.
TEST(RouteEndToEnd, LargeSinkListRefusedBeforeRouting) {
  Dir d;
  std::string list = "PerUnitResistance : 1\nPerUnitCapacitance : 1e-16\n";
  for (int i = 0; i < 800000; i++)
    list += "Sink : " + std::to_string(i) + "\n Coordinate : " + std::to_string(i % 1000) + " " + std::to_string(i / 1000) +
            "\n Capacitive Load : 1e-15\n";
  write_file(d / "big", list);
  RunResult r = d.run("'" + kRoute + "' big -o big.net");
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "bufins-route: 800000 sinks make a net of more than 1600000 nodes (a sink and a candidate node in "
                   "front of it each), the most bufins reads\n");
  EXPECT_FALSE(file_exists(d / "big.net"));
}

// A capacitance unit far from any real one, and loads that are implausible in
// the net's unit after the conversion, are warned of.
TEST(RouteEndToEnd, UnitMistakesAreWarnedOf) {
  Dir d;
  RunResult r = d.run("'" + kRoute + "' '" + kNets + "/r1' --cap-unit=1 -o r1.net");
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.err.find("bufins-route: warning: --cap-unit=1: a capacitance unit of 1 F is far from any real one"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("/r1:14: warning: sink load capacitance 5.9e-14 (and 266 more like it) is far below"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(d.run("'" + kRoute + "' '" + kNets + "/r1' -o r1.net").err, "");
}
