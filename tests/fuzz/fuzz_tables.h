// Checks shared by the fuzz targets that work on the installed tables: the
// size of the rounding slacks may show, and a placement file's text as the
// independent evaluator takes it.
#pragma once

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unordered_map>
#include <vector>

#include "def.h"

// The size of the delay terms a run can add up. The engines sum the same
// Elmore terms in different orders, so with loads or times of 1e17 and more
// their slacks may differ by rounding of that size, not by a fault.
inline double delay_scale() {
  double cap = 0.0, time = 0.0, length = 0.0;
  for (int i = 0; i < n_sinks + n_candidates; i++) {
    cap += nodes[i].cap;
    time = std::fmax(time, std::fabs(nodes[i].time));
    for (const Node *k : {nodes[i].left, nodes[i].right})
      if (k != nullptr) length += distance(&nodes[i], k);
  }
  double rmax = rd + r0 * length, cmax = 0.0, tmax = 0.0;
  for (int i = 0; i < n_buffertype; i++) {
    rmax = std::fmax(rmax, rb[i] + r0 * length);
    cmax = std::fmax(cmax, cb[i]);
    tmax = std::fmax(tmax, tb[i]);
  }
  cap += c0 * length + cmax * (n_sinks + n_candidates);
  return time + rmax * cap + tmax * (n_sinks + n_candidates);
}

// The placement lines in `text` as buffer types by table position of the
// driven child (what evaluate_placement takes), with their cost and count.
// A line naming no node or type ends the process (a failed check).
inline std::vector<int> buffers_of(const std::string &text, long long *cost, int *count) {
  std::vector<int> on(nodes.size(), 0);
  // Node numbers may be any integers (negative ones too): the first record
  // carrying each.
  std::unordered_map<int, int> position_of;
  for (size_t i = 0; i < nodes.size(); i++) position_of.emplace(nodes[i].index, static_cast<int>(i));
  *cost = 0;
  *count = 0;
  for (size_t at = 0; at < text.size();) {
    int s = 0, e = 0, t = 0;
    if (std::sscanf(text.c_str() + at, "start %d end %d buffertype %d", &s, &e, &t) == 3) {
      const auto at_e = position_of.find(e);
      if (at_e == position_of.end() || t < 1 || t > n_buffertype) {
        std::fprintf(stderr, "placement line names no node or type (%d, %d)\n%s\n", e, t, text.c_str());
        std::abort();
      }
      on[static_cast<size_t>(at_e->second)] = t;
      *cost += buffer_area[t - 1];
      ++*count;
    }
    const size_t nl = text.find('\n', at);
    at = nl == std::string::npos ? text.size() : nl + 1;
  }
  return on;
}
