// The slack–cost frontier: for every cost (the sum of the area= of the
// buffers used, so the buffer count with the default areas), the best slack
// at the driver that a placement of no larger cost reaches, exactly, and the
// placement that reaches it. Built on the flat engine's building blocks
// (flat_core.h); see frontier.cpp for the method.
//
// Contract with the driver: CostFrontier::run(root) works on the tree whose
// driver is root and keeps what it needs to write any frontier point's
// placements until the object is destroyed or run again. The memory counters
// of def.h receive the programme's figures as the flat engine's do.
#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "def.h"

// One point of the frontier: the least cost at which the best slack reaches
// `slack`, and the number of buffers of the placement that reaches it.
struct FrontierPoint {
  long long cost;
  int buffers;
  double slack;
};

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

// The frontier as CSV ("cost,buffers,slack", one row per point) on `out`;
// write errors show when the caller closes the stream.
void write_frontier_csv(FILE *out, const std::vector<FrontierPoint> &points);

class CostFrontier {
 public:
  CostFrontier();
  ~CostFrontier();
  CostFrontier(const CostFrontier &) = delete;
  CostFrontier &operator=(const CostFrontier &) = delete;

  // Computes the frontier of the tree whose driver is root. young_records:
  // most trace records between two collections of the pool (as
  // flat_young_records; tests make it small).
  void run(Node *root, int young_records = 1 << 15);

  // From cost 0 (or the least cost that beats minus infinity) to the least
  // cost of the maximum slack, one point per cost at which the best slack
  // improves.
  const std::vector<FrontierPoint> &points() const;

  // The placement lines of point `point` on fp ("empty tree" as the flat
  // engine writes it when there are no candidate nodes or no point);
  // *count receives the number of buffers.
  void write_placements(int point, int *count) const;

  // The -o listing for point `point`: the driver child's candidates of cost
  // at most the point's, none dominated by another of them, smallest load
  // first, in the flat engine's format (with debug, each one's placements on
  // fp). Prints "empty tree" for an empty frontier.
  void print_list(int point) const;

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
