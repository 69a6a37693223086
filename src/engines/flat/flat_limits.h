// The flat engine under electrical limits: the best slack over the buffer
// assignments whose every stage meets the load and slew limits (the stage
// model is in stage_limits.h).
//
// Central idea: a candidate carries, beside its load c and required time q,
// p = -(the worst Elmore wire delay from the candidate's node down to an end
// point of its stage). A wire changes p exactly as it changes q
// (p -= r0·len·(c0·len/2 + c)), so the flat engine's pending affine update
// carries both; a branch takes the smaller p, a buffer starts p = 0 at its
// input. A gate of resistance R and load limit L may drive the candidate when
// c <= L and ln 9 · (R·c - p) <= the slew limit. Candidates are dropped when
// another has no larger load, no earlier required time and no smaller p
// (after the shear of "Pruning" in flat_core.h, which holds for p as for q),
// and at once when no gate that could still drive them may: c and -p only
// grow on the way up. The best candidate for a buffer type is the best
// vertex of the (c, q) hull when that vertex meets the type's limits, and
// otherwise the best candidate that does, found by a search along the hull
// that stops once no remaining candidate can beat the best one found.
//
// The slack-cost frontier under the same limits (LimitedFrontier) keeps one
// such set per cost (the sum of the area= of the buffers below, as the
// frontier programme of frontier.h counts it): an edge's buffered candidates
// land in the level of their cost plus the type's area, and a branch merge
// sweeps both branches' candidates by decreasing required time, pairing each
// with the other branch's candidates met so far that no cheaper, lighter one
// of at least its p beats.
//
// Ownership: an instance owns its workspace (trace pool, arrays) and keeps
// the driver child's candidates and the winner's trace until it is
// destroyed. It reads only the tables it is given; the run's context
// receives its memory figures as the flat engine's do (32 bytes a slot).
#pragma once

#include <memory>
#include <vector>

#include "bufins/result.h"
#include "flat_core.h"
#include "stage_limits.h"

using FrontierPoint = bufins::FrontierPoint;

// Knobs that only speed and the memory figures depend on; tests turn them
// down so that small nets take every path.
struct LimitedTuning {
  int young_records = 1 << 15;  // as for MaxSlack (flat.h)
  int small_set = 128;          // sets up to this size are read whole where the hull's best vertex is not drivable
};

class FlatLimited {
 public:
  FlatLimited(const flat_core::Tables &tables, bufins::Context &ctx, const Limits &limits,
              const LimitedTuning &tuning = LimitedTuning());
  ~FlatLimited();
  FlatLimited(const FlatLimited &) = delete;
  FlatLimited &operator=(const FlatLimited &) = delete;

  // False when no buffer assignment meets the limits.
  bool run();

  // Best slack over the assignments that meet the limits, or
  // MINUS_INFINITY_TIME when none beats it (or none meets them).
  double slack() const;

  // After a failed run: table position of the node below which no
  // assignment was left (0: the driver's own stage), for the message.
  int dead_end() const;

  // The driver child's candidates that the driver may drive, by load (with
  // their buffers when asked and the driver's child is no sink).
  std::vector<bufins::Candidate> candidates(bool with_placements) const;
  bool child_is_sink() const;

  // The winner's buffers; false when the placement file says "empty tree".
  bool placements(std::vector<bufins::Placement> &out) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

class LimitedFrontier {
 public:
  LimitedFrontier(const flat_core::Tables &tables, bufins::Context &ctx, const Limits &limits,
                  const LimitedTuning &tuning = LimitedTuning());
  ~LimitedFrontier();
  LimitedFrontier(const LimitedFrontier &) = delete;
  LimitedFrontier &operator=(const LimitedFrontier &) = delete;

  // Computes the frontier. False when no buffer assignment meets the limits.
  bool run();

  // From the least cost that beats minus infinity to the least cost of the
  // maximum slack, one point per cost at which the best slack improves (by
  // more than 1e-12 relative); empty when nothing beats minus infinity.
  const std::vector<FrontierPoint> &points() const;

  // After a failed run, as FlatLimited::dead_end().
  int dead_end() const;

  // The buffers of point `point`; false when the placement file says "empty
  // tree" (the driver drives a sink, or there is no such point).
  bool placements(int point, std::vector<bufins::Placement> &out) const;
  // Every point's sum of areas[type - 1] over its buffers.
  std::vector<long long> point_costs(const std::vector<long long> &areas) const;

  // The -o listing for point `point`: the driver child's candidates of cost
  // at most the point's that the driver may drive, none dominated by another
  // of them in load and required time, smallest load first.
  std::vector<bufins::Candidate> candidates(int point, bool with_placements) const;
  bool child_is_sink() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};
