// The slack–cost frontier: for every cost (the sum of the area= of the
// buffers used, so the buffer count with the default areas), the best slack
// at the driver that a placement of no larger cost reaches, exactly, and the
// placement that reaches it. Built on the flat engine's building blocks
// (flat_core.h); see frontier.cpp for the method.
//
// Reentrant: CostFrontier reads only the tables it is given and keeps what
// it needs to give any frontier point's placements until it is destroyed.
// The run's context receives the programme's memory figures as the flat
// engine's do.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "bufins/result.h"
#include "flat_core.h"

using FrontierPoint = bufins::FrontierPoint;

// What the user asks of the frontier.
enum class CostObjective {
  NONE,            // no cost option: not a frontier run
  MIN_COST,        // the maximum slack at the least cost (also --frontier alone)
  TARGET,          // the least cost whose slack is at least `slack`
  BUDGET,          // the best slack of cost at most `budget`
  WITHIN,          // the least cost within `slack` time units of the best slack
  WITHIN_PERCENT,  // the least cost within `slack` % of |best slack|
};

struct CostGoal {
  CostObjective kind = CostObjective::NONE;
  double slack = 0.0;     // TARGET: the target; WITHIN: D; WITHIN_PERCENT: P
  long long budget = 0;   // BUDGET
};

struct CostChoice {
  int point = -1;   // index into the frontier, -1 when it is empty
  bool met = true;  // false: a TARGET or BUDGET that no point meets
};

// The point a goal selects. Points are in increasing cost and slack, the
// last one the maximum slack at its least cost. A target above the best
// slack, or a budget below the least cost, is not met: the last point is
// selected, with met = false. An empty frontier (no placement beats minus
// infinity) selects no point, and meets neither a target nor a budget.
CostChoice choose_point(const std::vector<FrontierPoint> &points, const CostGoal &goal);

class CostFrontier {
 public:
  // young_records: most trace records between two collections of the pool
  // (as for MaxSlack; tests make it small).
  CostFrontier(const flat_core::Tables &tables, bufins::Context &ctx, int young_records = 1 << 15);
  ~CostFrontier();
  CostFrontier(const CostFrontier &) = delete;
  CostFrontier &operator=(const CostFrontier &) = delete;

  // Computes the frontier.
  void run();

  // From cost 0 (or the least cost that beats minus infinity) to the least
  // cost of the maximum slack, one point per cost at which the best slack
  // improves.
  const std::vector<FrontierPoint> &points() const;

  // The buffers of point `point`; false when the placement file says
  // "empty tree" (the driver drives a sink, or there is no such point).
  bool placements(int point, std::vector<bufins::Placement> &out) const;
  // Every point's sum of areas[type - 1] over its buffers.
  std::vector<long long> point_costs(const std::vector<long long> &areas) const;

  // The -o listing for point `point`: the driver child's candidates of cost
  // at most the point's, none dominated by another of them, smallest load
  // first (with their buffers when asked and the driver's child is no sink).
  std::vector<bufins::Candidate> candidates(int point, bool with_placements) const;
  bool child_is_sink() const;

  // Counters of the last run, for tests and benchmarks.
  struct Stats {
    long long levels = 0;  // cost levels made by merges
    long long merged = 0;  // merged candidates the merges kept for a closer look
    int max_levels = 0;          // most cost levels of one set
  };
  const Stats &stats() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};
