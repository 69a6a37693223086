// The per-run context of the library's engines: memory figures and the
// optional progress/cancel callback. One run uses one context; contexts of
// different runs share nothing, so runs on different threads never meet.
//
// The engines' own scratch (candidate arrays, trace pool) lives in the
// engine's workspace (flat_core.h), which is made for the run and reports
// its storage here.
#pragma once

#include <climits>
#include <functional>
#include <stdexcept>

#include "bufins/bufins.h"
#include "constants.h"

namespace bufins {

class Context {
 public:
  Memory memory;

  // Called about every `stride` wires with the wires done so far and the
  // total; returning false cancels the run (Cancelled is thrown).
  std::function<bool(long long done, long long total)> progress;
  long long total_wires = 0;
  long long stride = 64;
  // Frontier engines: the most cost levels one merged set has held so far
  // (the progress line shows it; 0 before the first merge).
  long long cost_levels = 0;
  double memory_limit = 0.0;  // bytes of candidates and traces; 0: none

  // The engines call it once per wire they carry a subtree up.
  void wire_done() {
    if (++done_ >= next_) report();
  }
  long long wires_done() const { return done_; }
  // Arms the callback (no-op without one).
  void start() {
    done_ = 0;
    next_ = progress || memory_limit > 0.0 ? stride : LLONG_MAX;
  }

  // Sampled peak of the live bytes.
  void peak_check() {
    Memory &m = memory;
    if (((m.solutions_opened - m.solutions_freed) + m.traces_opened) - m.traces_freed > m.peak)
      m.peak = ((m.solutions_opened - m.solutions_freed) + m.traces_opened) - m.traces_freed;
  }

 private:
  // Between two wires, where the engines can unwind (as for Cancelled).
  void report() {
    next_ = done_ + stride;
    const Memory &m = memory;
    if (memory_limit > 0.0 &&
        (m.solutions_opened - m.solutions_freed) + (m.traces_opened - m.traces_freed) > memory_limit)
      throw MemoryLimitExceeded(memory_limit, done_, total_wires);
    if (progress && !progress(done_, total_wires)) throw Cancelled();
  }
  long long done_ = 0;
  long long next_ = LLONG_MAX;
};

}  // namespace bufins
