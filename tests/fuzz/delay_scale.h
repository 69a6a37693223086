// The size of the delay terms a run on the installed tables can add up, for
// the fuzz targets that compare slacks. The engines sum the same Elmore terms
// in different orders, so with loads or times of 1e17 and more their slacks
// may differ by rounding of that size, not by a fault.
#pragma once

#include <cmath>

#include "def.h"

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
