// Test nets: writers, parser, random generator and an Elmore evaluator that
// shares no code with the tool (so a fault in the tool's reader or algorithms
// cannot hide itself here).
#include "netgen.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <limits>
#include <sstream>
#include <stdexcept>

std::string net_text(const TestNet &net) {
  std::ostringstream s;
  char buf[256];
  std::snprintf(buf, sizeof buf, "wire_res_per_unit %.17g\nwire_cap_per_unit %.17g\n", net.r0, net.c0_file);
  s << buf;
  std::snprintf(buf, sizeof buf, "driver %.17g %.17g %.17g", net.dx, net.dy, net.rd);
  s << buf;
  if (net.driver_max_cap_file >= 0) {
    std::snprintf(buf, sizeof buf, " max_cap=%.17g", net.driver_max_cap_file);
    s << buf;
  }
  s << "\n";
  for (const auto &k : net.sinks) {
    std::snprintf(buf, sizeof buf, "sink %d %.17g %.17g %.17g %.17g\n", k.index, k.x, k.y, k.cap_file, k.time);
    s << buf;
  }
  for (const auto &c : net.cands) {
    std::snprintf(buf, sizeof buf, "candidate %d %.17g %.17g\n", c.index, c.x, c.y);
    s << buf;
  }
  for (const auto &e : net.edges) s << "edge " << e.first << " " << e.second << "\n";
  return s.str();
}

std::string lib_text(const TestNet &net) {
  std::ostringstream s;
  char buf[256];
  for (const auto &b : net.lib) {
    std::snprintf(buf, sizeof buf, "buffer %.17g %.17g %.17g", b.cap_file, b.delay, b.res);
    s << buf;
    if (b.max_cap_file >= 0) {
      std::snprintf(buf, sizeof buf, " max_cap=%.17g", b.max_cap_file);
      s << buf;
    }
    if (net.area_decimals > 0) {
      std::string digits = std::to_string(b.area);
      if (digits.size() <= static_cast<size_t>(net.area_decimals))
        digits.insert(0, static_cast<size_t>(net.area_decimals) + 1 - digits.size(), '0');
      digits.insert(digits.size() - static_cast<size_t>(net.area_decimals), ".");
      s << " area=" << digits;
    } else if (b.area != 1) {
      s << " area=" << b.area;
    }
    s << "\n";
  }
  return s.str();
}

TestNet parse_net(const std::string &text) {
  TestNet net;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream l(line);
    std::string word;
    if (!(l >> word)) continue;
    if (word == "wire_res_per_unit") {
      l >> net.r0;
    } else if (word == "wire_cap_per_unit") {
      l >> net.c0_file;
    } else if (word == "driver") {
      l >> net.dx >> net.dy >> net.rd;
    } else if (word == "sink") {
      TestNet::Sink k;
      l >> k.index >> k.x >> k.y >> k.cap_file >> k.time;
      net.sinks.push_back(k);
    } else if (word == "candidate") {
      TestNet::Cand c;
      l >> c.index >> c.x >> c.y;
      net.cands.push_back(c);
    } else if (word == "edge") {
      int a, b;
      l >> a >> b;
      net.edges.push_back({a, b});
    }
  }
  return net;
}

Placement parse_placements(const std::string &text) {
  Placement p;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    int a, b, t;
    if (std::sscanf(line.c_str(), "start %d  end %d  buffertype %d", &a, &b, &t) == 3) {
      if (!p.emplace(std::make_pair(a, b), t).second) throw std::runtime_error("edge buffered twice: " + line);
    }
  }
  return p;
}

TestNet random_net(std::mt19937 &rng, const GenOptions &opt) {
  auto uni = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  auto real = [&](double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(rng); };
  auto coord = [&]() { return static_cast<double>(uni(0, opt.grid)); };
  TestNet net;
  net.r0 = opt.zero_r0 ? 0.0 : real(0.05, 1.0);
  net.c0_file = opt.zero_c0 ? 0.0 : real(0.05, 2.0);
  net.rd = real(1.0, 200.0);
  net.dx = coord();
  net.dy = coord();
  int nsinks = uni(opt.min_sinks, opt.max_sinks);
  double common_time = real(0.0, 1000.0);
  auto new_sink = [&]() {
    TestNet::Sink k;
    k.index = static_cast<int>(net.sinks.size()) + 1;
    k.x = coord();
    k.y = coord();
    k.cap_file = opt.zero_loads && uni(0, 1) ? 0.0 : real(1.0, 100.0);
    k.time = opt.equal_times ? common_time : real(0.0, 1000.0);
    net.sinks.push_back(k);
    return k.index;
  };
  auto new_cand = [&]() {
    TestNet::Cand c;
    c.index = 1000 + static_cast<int>(net.cands.size());
    c.x = coord();
    c.y = coord();
    net.cands.push_back(c);
    return c.index;
  };
  // Children lists keyed by node index; the driver is 0.
  std::map<int, std::vector<int>> kids;
  kids[0] = {new_sink()};
  // Each step splits a random wire with a new candidate node, which either
  // takes a new sink as a second child (a branch) or just lengthens the path.
  int chains = uni(0, opt.max_chain_candidates);
  int branches = nsinks - 1;
  while (branches > 0 || chains > 0) {
    std::vector<std::pair<int, int>> wires;
    for (auto &kv : kids)
      for (int c : kv.second) wires.push_back({kv.first, c});
    auto w = wires[uni(0, static_cast<int>(wires.size()) - 1)];
    int c = new_cand();
    auto &pk = kids[w.first];
    *std::find(pk.begin(), pk.end(), w.second) = c;
    kids[c] = {w.second};
    bool branch = branches > 0 && (chains == 0 || uni(0, 1) == 0);
    if (branch) {
      int s = new_sink();
      if (uni(0, 1))
        kids[c].push_back(s);
      else
        kids[c].insert(kids[c].begin(), s);
      branches--;
    } else {
      chains--;
    }
  }
  // Edges in a random order that keeps each node's children in order.
  std::vector<std::pair<int, int>> all;
  for (auto &kv : kids)
    for (int c : kv.second) all.push_back({kv.first, c});
  std::shuffle(all.begin(), all.end(), rng);
  std::map<int, size_t> next_child;
  for (auto &e : all) {
    int p = e.first;
    net.edges.push_back({p, kids[p][next_child[p]++]});
  }
  int ntypes = uni(opt.min_types, opt.max_types);
  for (int i = 0; i < ntypes; i++) {
    if (opt.duplicate_types && i > 0 && uni(0, 2) == 0) {
      net.lib.push_back(net.lib[uni(0, i - 1)]);
      continue;
    }
    TestNet::Buf b{real(1.0, 100.0), real(0.0, 50.0), real(5.0, 500.0)};
    if (opt.zero_delays && uni(0, 1)) b.delay = 0.0;
    if (opt.zero_res && uni(0, 1)) b.res = 0.0;
    net.lib.push_back(b);
  }
  return net;
}

namespace {

struct Tree {
  std::map<int, std::pair<double, double>> pos;
  std::map<int, std::vector<int>> kids;
  std::map<int, const TestNet::Sink *> sink;
  std::vector<int> postorder;  // children before parents
};

Tree build_tree(const TestNet &net) {
  Tree t;
  t.pos[0] = {net.dx, net.dy};
  for (const auto &k : net.sinks) {
    t.pos[k.index] = {k.x, k.y};
    t.sink[k.index] = &k;
  }
  for (const auto &c : net.cands) t.pos[c.index] = {c.x, c.y};
  for (const auto &e : net.edges) t.kids[e.first].push_back(e.second);
  std::vector<std::pair<int, bool>> stack{{0, false}};
  while (!stack.empty()) {
    auto [n, done] = stack.back();
    stack.pop_back();
    if (done) {
      t.postorder.push_back(n);
      continue;
    }
    stack.push_back({n, true});
    for (int c : t.kids[n]) stack.push_back({c, false});
  }
  return t;
}

double wire_length(const Tree &t, int a, int b) {
  auto pa = t.pos.at(a), pb = t.pos.at(b);
  return std::fabs(pa.first - pb.first) + std::fabs(pa.second - pb.second);
}

}  // namespace

namespace {

// Elmore slack of the tree with a buffer type (1-based, 0 = none) chosen for
// every edge, looked up through `type_of(parent, child)`.
template <typename TypeOf>
double evaluate(const TestNet &net, const Tree &t, TypeOf type_of) {
  double c0 = net.c0_file / 1000.0;
  std::map<int, std::pair<double, double>> qc;  // node -> (q, c) seen at the node
  for (int n : t.postorder) {
    auto s = t.sink.find(n);
    if (s != t.sink.end()) {
      qc[n] = {s->second->time, s->second->cap_file / 1000.0};
      continue;
    }
    double q = std::numeric_limits<double>::infinity(), c = 0.0;
    auto kids = t.kids.find(n);
    for (int k : kids->second) {
      double len = wire_length(t, n, k);
      double kq = qc[k].first, kc = qc[k].second;
      // Elmore delay of the wire driving the child's load.
      double wq = kq - net.r0 * len * (kc + c0 * len / 2.0);
      double wc = kc + c0 * len;
      int type = type_of(n, k);
      if (type > 0) {
        const TestNet::Buf &buf = net.lib.at(type - 1);
        wq = wq - buf.delay - buf.res * wc;
        wc = buf.cap_file / 1000.0;
      }
      q = std::min(q, wq);
      c += wc;
    }
    if (n == 0) return q - net.rd * c;
    qc[n] = {q, c};
  }
  throw std::runtime_error("net without driver");
}

}  // namespace

double elmore_slack(const TestNet &net, const Placement &buffers) {
  Tree t = build_tree(net);
  return evaluate(net, t, [&](int p, int k) {
    auto b = buffers.find({p, k});
    return b == buffers.end() ? 0 : b->second;
  });
}

int buffer_sites(const TestNet &net) {
  int n = 0;
  for (const auto &e : net.edges)
    for (const auto &c : net.cands)
      if (c.index == e.first) n++;
  return n;
}

namespace {

// Calls visit(pick, type_of) for every assignment of "no buffer or type j"
// to every edge that leaves a candidate node.
template <typename Visit>
long every_assignment(const TestNet &net, const Tree &t, Visit visit) {
  std::map<std::pair<int, int>, size_t> site_of;
  for (const auto &e : net.edges)
    for (const auto &c : net.cands)
      if (c.index == e.first) site_of.emplace(e, site_of.size());
  int choices = static_cast<int>(net.lib.size()) + 1;
  std::vector<int> pick(site_of.size(), 0);
  long count = 0;
  while (true) {
    visit(pick, evaluate(net, t, [&](int p, int k) {
            auto s = site_of.find({p, k});
            return s == site_of.end() ? 0 : pick[s->second];
          }));
    count++;
    size_t i = 0;
    while (i < pick.size() && ++pick[i] == choices) pick[i++] = 0;
    if (i == pick.size()) break;
  }
  return count;
}

}  // namespace

namespace {

// Elmore slack with limits: *ok is false when some stage breaks one. Own
// bottom-up (q, c, d): required time, load and worst wire delay to an end
// point, inside the stage the node belongs to.
template <typename TypeOf>
double evaluate_limited(const TestNet &net, const Tree &t, TypeOf type_of, const TestLimits &lim, bool *ok) {
  const double c0 = net.c0_file / 1000.0, ln9 = std::log(9.0);
  // A gate meets the limits with load c and worst wire delay d (load limits
  // in file units).
  auto fits = [&](double own_cap_file, double res, double c, double d) {
    const double cap = own_cap_file >= 0 ? own_cap_file : lim.max_cap_file;
    return c * 1000.0 <= cap && ln9 * (res * c + d) <= lim.max_slew;
  };
  std::map<int, double> q, c, d;
  *ok = true;
  for (int n : t.postorder) {
    auto s = t.sink.find(n);
    if (s != t.sink.end()) {
      q[n] = s->second->time;
      c[n] = s->second->cap_file / 1000.0;
      d[n] = 0.0;
      continue;
    }
    double nq = std::numeric_limits<double>::infinity(), nc = 0.0, nd = 0.0;
    for (int k : t.kids.at(n)) {
      const double len = wire_length(t, n, k);
      double wq = q[k] - net.r0 * len * (c[k] + c0 * len / 2.0);
      double wc = c[k] + c0 * len;
      double wd = d[k] + net.r0 * len * (c0 * len / 2.0 + c[k]);
      const int type = type_of(n, k);
      if (type > 0) {
        const TestNet::Buf &b = net.lib.at(type - 1);
        if (!fits(b.max_cap_file, b.res, wc, wd)) *ok = false;
        wq = wq - b.delay - b.res * wc;
        wc = b.cap_file / 1000.0;
        wd = 0.0;
      }
      nq = std::min(nq, wq);
      nc += wc;
      nd = std::max(nd, wd);
    }
    if (n == 0) {
      if (!fits(net.driver_max_cap_file, net.rd, nc, nd)) *ok = false;
      return nq - net.rd * nc;
    }
    q[n] = nq;
    c[n] = nc;
    d[n] = nd;
  }
  throw std::runtime_error("net without driver");
}

}  // namespace

bool meets_limits(const TestNet &net, const TestLimits &lim, const Placement &buffers) {
  Tree t = build_tree(net);
  bool ok = false;
  evaluate_limited(
      net, t,
      [&](int p, int k) {
        auto b = buffers.find({p, k});
        return b == buffers.end() ? 0 : b->second;
      },
      lim, &ok);
  return ok;
}

namespace {

// Every assignment of the net's buffer sites, one call of visit(slack, ok,
// sites, pick) each.
template <typename Visit>
void each_assignment_limited(const TestNet &net, const TestLimits &lim, Visit visit) {
  Tree t = build_tree(net);
  std::vector<std::pair<int, int>> sites;
  for (const auto &e : net.edges)
    for (const auto &c : net.cands)
      if (c.index == e.first) sites.push_back(e);
  const int choices = static_cast<int>(net.lib.size()) + 1;
  std::vector<int> pick(sites.size(), 0);
  std::map<std::pair<int, int>, size_t> site_of;
  for (size_t i = 0; i < sites.size(); i++) site_of.emplace(sites[i], i);
  while (true) {
    bool ok = false;
    const double slack = evaluate_limited(
        net, t,
        [&](int p, int k) {
          auto s = site_of.find({p, k});
          return s == site_of.end() ? 0 : pick[s->second];
        },
        lim, &ok);
    visit(slack, ok, sites, pick);
    size_t i = 0;
    while (i < pick.size() && ++pick[i] == choices) pick[i++] = 0;
    if (i == pick.size()) break;
  }
}

}  // namespace

std::map<long long, double> exhaustive_by_cost_limited(const TestNet &net, const TestLimits &lim) {
  std::map<long long, double> best;
  each_assignment_limited(net, lim, [&](double slack, bool ok, const auto &, const std::vector<int> &pick) {
    if (!ok) return;
    long long cost = 0;
    for (int type : pick)
      if (type) cost += net.lib.at(type - 1).area;
    auto it = best.find(cost);
    if (it == best.end())
      best.emplace(cost, slack);
    else
      it->second = std::max(it->second, slack);
  });
  return best;
}

double exhaustive_best_limited(const TestNet &net, const TestLimits &lim, long *feasible, Placement *best_pick) {
  double best = -std::numeric_limits<double>::infinity();
  long count = 0;
  each_assignment_limited(net, lim, [&](double slack, bool ok, const auto &sites, const std::vector<int> &pick) {
    if (!ok) return;
    count++;
    if (!(slack > best)) return;
    best = slack;
    if (best_pick) {
      best_pick->clear();
      for (size_t i = 0; i < sites.size(); i++)
        if (pick[i]) (*best_pick)[sites[i]] = pick[i];
    }
  });
  if (feasible) *feasible = count;
  return best;
}

double exhaustive_best(const TestNet &net, long *assignments) {
  Tree t = build_tree(net);
  double best = -std::numeric_limits<double>::infinity();
  long count = every_assignment(net, t, [&](const std::vector<int> &, double slack) { best = std::max(best, slack); });
  if (assignments) *assignments = count;
  return best;
}

std::map<long long, double> exhaustive_by_cost(const TestNet &net) {
  Tree t = build_tree(net);
  std::map<long long, double> best;
  every_assignment(net, t, [&](const std::vector<int> &pick, double slack) {
    long long cost = 0;
    for (int p : pick)
      if (p > 0) cost += net.lib[static_cast<size_t>(p - 1)].area;
    auto it = best.find(cost);
    if (it == best.end())
      best.emplace(cost, slack);
    else
      it->second = std::max(it->second, slack);
  });
  return best;
}

long long placement_cost(const TestNet &net, const Placement &buffers) {
  long long cost = 0;
  for (const auto &b : buffers) cost += net.lib.at(static_cast<size_t>(b.second - 1)).area;
  return cost;
}

void degenerate(std::mt19937 &rng, TestNet &net, int trial) {
  auto uni = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  switch (trial % 11) {
    case 1:  // zero-delay and zero-resistance buffers
      for (auto &b : net.lib) {
        if (uni(0, 1)) b.delay = 0;
        if (uni(0, 2) == 0) b.res = 0;
      }
      break;
    case 2:  // an empty library
      net.lib.clear();
      break;
    case 3:  // required times near minus infinity: some candidates cross it
      for (auto &k : net.sinks) k.time = uni(0, 1) ? -2e10 + uni(0, 3000) : -3e10;
      break;
    case 4:  // zero-load buffers and sinks
      for (auto &b : net.lib)
        if (uni(0, 1)) b.cap_file = 0;
      for (auto &k : net.sinks)
        if (uni(0, 1)) k.cap_file = 0;
      break;
    case 5:  // a driver without resistance
      net.rd = 0;
      break;
    default:
      break;
  }
}

void write_net_files(const TestNet &net, const std::string &dir, const std::string &name) {
  std::ofstream(dir + "/" + name + ".net") << net_text(net);
  std::ofstream(dir + "/" + name + ".lib") << lib_text(net);
}
