// Stages of a buffered net and their limits (the model is described in
// stage_limits.h): the stage evaluation of a given buffer placement, the check of
// its stages against the limits, a one-pass bound that tells when limits
// cannot bind at all, and the explanation of an infeasible request.
//
// Every walk is bottom-up over one pre-order of the tree taken with an
// explicit stack, so a chain of 1.6 million nodes needs no deep recursion.
#include "stage_limits.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

using flat_core::Node;
using flat_core::NodeKind;
using flat_core::Tables;

namespace {

// The wires of the tree reached from the driver bottom-up (the reverse of
// one pre-order), every child before its parent: load[k] (sized to the
// tables; a sink's own load preset) is complete when wire(p, k, c, e) sees
// the wire from p down to k, with c = c0·len + load[k] and e =
// r0·len·(c0·len/2 + load[k]) its load and own delay seen from p. Returns
// the node count.
template <typename Wire>
size_t bottom_up(const Tables &T, std::vector<double> &load, Wire &&wire) {
  const Node *nodes = T.nodes;
  std::vector<int> order, parent(static_cast<size_t>(T.n_nodes), -1);
  order.reserve(parent.size());
  std::vector<int> stack;
  if (T.n_nodes > 0) stack.push_back(0);
  while (!stack.empty()) {
    int p = stack.back();
    stack.pop_back();
    order.push_back(p);
    const Node &n = nodes[p];
    // The driver's second child, absent in valid nets, is not part of the net.
    for (int kp : {n.kind == NodeKind::driver ? -1 : n.right, n.left}) {
      if (kp < 0) continue;
      parent[kp] = p;
      stack.push_back(kp);
    }
  }
  load.assign(parent.size(), 0.0);
  for (auto it = order.rbegin(); it != order.rend(); ++it) {
    const int k = *it, p = parent[k];
    if (nodes[k].kind == NodeKind::sink) load[k] = Tables::load(nodes + k);
    if (p < 0) continue;
    const double len = Tables::length(nodes + p, nodes + k);
    wire(p, k, T.c0 * len + load[k], T.r0 * len * (T.c0 * len / 2.0 + load[k]));
  }
  return parent.size();
}

double gate_resistance(const Tables &T, int type) { return type == 0 ? T.rd : T.rb[type - 1]; }

std::string number(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.6g", v);
  return buf;
}

}  // namespace

double gate_max_cap(const Tables &T, int type, const Limits &lim) {
  const double own = type == 0 ? T.driver_max_cap : T.max_cap[type - 1];
  return own < NO_LIMIT ? own : lim.max_cap;
}

bool limits_in_force(const Tables &T, const Limits &lim) {
  if (lim.max_cap < NO_LIMIT || lim.max_slew < NO_LIMIT || T.driver_max_cap < NO_LIMIT) return true;
  for (int t = 0; t < T.nb; t++)
    if (T.max_cap[t] < NO_LIMIT) return true;
  return false;
}

std::string gate_name(int type) { return type == 0 ? "the driver" : "buffer type " + std::to_string(type); }

std::vector<Stage> compute_stages(const Tables &T, const std::vector<int> &buffer_on) {
  const double *cb = T.cb, *rb = T.rb;
  // Looking down from a node, inside the stage it belongs to: the load, the
  // worst wire delay to an end point, and that end point.
  std::vector<double> load, delay(static_cast<size_t>(T.n_nodes), 0.0);
  std::vector<int> worst(delay.size(), -1);
  std::vector<Stage> stages;  // the buffers' stages bottom-up, then the driver's
  bottom_up(T, load, [&](int p, int k, double c, double e) {
    if (T.nodes[k].kind == NodeKind::sink) worst[k] = k;
    const int t = buffer_on[k];
    e += delay[k];
    if (t != 0) {
      // The buffer stands at p: an end point of p's stage, no wire delay.
      stages.push_back({p, k, t, c, e, LN9 * (rb[t - 1] * c + e), worst[k]});
      load[p] += cb[t - 1];
      if (worst[p] < 0) worst[p] = p;
      return;
    }
    load[p] += c;
    if (worst[p] < 0 || e > delay[p]) {
      delay[p] = e;
      worst[p] = worst[k];
    }
  });
  if (load.empty()) return stages;
  stages.push_back({0, T.nodes[0].left, 0, load[0], delay[0], LN9 * (T.rd * load[0] + delay[0]), worst[0]});
  std::reverse(stages.begin(), stages.end());
  return stages;
}

std::vector<Violation> check_stages(const Tables &T, const std::vector<Stage> &stages, const Limits &lim,
                                    double tolerance) {
  std::vector<Violation> v;
  auto over = [tolerance](double value, double limit) { return value > limit + tolerance * std::fabs(limit); };
  for (size_t i = 0; i < stages.size(); i++) {
    const Stage &s = stages[i];
    const double cap = gate_max_cap(T, s.type, lim);
    if (cap < NO_LIMIT && over(s.load, cap)) v.push_back({i, LIMIT_LOAD, s.load, cap});
    if (lim.max_slew < NO_LIMIT && over(s.slew, lim.max_slew)) v.push_back({i, LIMIT_SLEW, s.slew, lim.max_slew});
  }
  return v;
}

bool limits_cannot_bind(const Tables &T, const Limits &lim) {
  if (!limits_in_force(T, lim)) return true;
  double cb_max = 0.0;
  for (int t = 0; t < T.nb; t++) cb_max = std::max(cb_max, T.cb[t]);
  // Upper bounds over every assignment, looking down from a node inside its
  // stage: the load, and the worst wire delay to an end point.
  std::vector<double> load, delay(static_cast<size_t>(T.n_nodes), 0.0);
  auto fits = [&](int type, double c, double e) {
    return c <= gate_max_cap(T, type, lim) && LN9 * (gate_resistance(T, type) * c + e) <= lim.max_slew;
  };
  bool can_bind = false;
  const size_t n = bottom_up(T, load, [&](int p, int k, double c, double e) {
    e += delay[k];
    if (T.nodes[p].kind == NodeKind::candidate) {
      // A buffer may stand at p on this wire: its stage, and its input seen at p.
      for (int t = 1; t <= T.nb; t++) can_bind = can_bind || !fits(t, c, e);
      load[p] += std::max(c, cb_max);
    } else {
      load[p] += c;
    }
    delay[p] = std::max(delay[p], e);
  });
  return !can_bind && (n == 0 || fits(0, load[0], delay[0]));
}

std::string explain_infeasible(const Tables &T, const Limits &lim, int subtree) {
  const Node *nodes = T.nodes;
  const int n_buffertype = T.nb;
  double cb_min = NO_LIMIT;
  for (int t = 0; t < n_buffertype; t++) cb_min = std::min(cb_min, T.cb[t]);
  // Lower bound on the load seen at a node inside its stage: every wire
  // leaving a candidate node carries the lightest buffer when that is lighter
  // than what the wire would bring.
  std::vector<double> least;
  struct Cause {
    double excess = 0.0;  // > 1: the best gate still breaks a limit by this factor
    int p = -1, k = -1, gate = 0;
    LimitKind kind = LIMIT_LOAD;
    double value = 0.0, limit = 0.0;
  } worst;
  const size_t in_use = bottom_up(T, least, [&](int p, int k, double c, double e) {
    const bool site = nodes[p].kind == NodeKind::candidate;
    least[p] += site ? std::min(c, cb_min) : c;
    // The stage holding this wire has at least load c and wire delay e,
    // whichever gate drives it: the driver, or (below a candidate node) a
    // buffer of any type.
    Cause best;
    best.excess = NO_LIMIT;
    for (int g = 0; g <= (site ? n_buffertype : 0); g++) {
      const double cap = gate_max_cap(T, g, lim);
      const double slew = LN9 * (gate_resistance(T, g) * c + e);
      const double by_load = cap < NO_LIMIT ? c / cap : 0.0;
      const double by_slew = lim.max_slew < NO_LIMIT ? slew / lim.max_slew : 0.0;
      const double excess = std::max(by_load, by_slew);
      if (best.k < 0 || excess < best.excess) {  // an infinite excess too (a limit of 0)
        best = {excess, p, k, g, by_load >= by_slew ? LIMIT_LOAD : LIMIT_SLEW, by_load >= by_slew ? c : slew,
                by_load >= by_slew ? cap : lim.max_slew};
      }
    }
    if (best.excess > 1.0 && best.excess > worst.excess && !(best.value <= best.limit)) worst = best;
  });
  if (worst.k >= 0) {
    const bool by_driver = worst.gate == 0;
    std::string s = "the stage of node " + std::to_string(nodes[worst.k].index) + " (on the wire from " +
                    (worst.p == 0 ? std::string("the driver") : "node " + std::to_string(nodes[worst.p].index)) +
                    "), whose wire alone, driven by " +
                    (by_driver && nodes[worst.p].kind != NodeKind::candidate
                         ? std::string("the driver")
                         : "the best gate that may drive it (" + gate_name(worst.gate) + ")") +
                    ", gives ";
    if (worst.kind == LIMIT_SLEW)
      s += "slew " + number(worst.value) + " > " + number(worst.limit);
    else
      s += "load " + number(worst.value * 1000.0) + " > " + number(worst.limit * 1000.0) + ", the load limit of " +
           gate_name(worst.gate);
    return s;
  }
  if (subtree >= 0 && subtree < static_cast<int>(in_use) && subtree != 0)
    return "no buffering of the subtree below node " + std::to_string(nodes[subtree].index) +
           " keeps every stage within the limits";
  return "no buffer assignment keeps every stage within the limits";
}
