// Cost rounding for an approximate slack-cost frontier (Options::cost_tolerance).
//
// The idea. The exact frontier keeps one candidate set per cost level, and
// its levels are the library's areas in units of their common divisor: for
// areas such as 3.75, 5.00, 7.51 (divisor 0.01) a single buffer spans
// hundreds of levels, and the work grows with the scale in which the areas
// happen to be written. With a tolerance E we pick one unit u and run the
// exact engine on the areas rounded UP to multiples of u, u as large as
// possible while no area grows by more than E of itself:
//     u * ceil(a / u) <= (1 + E) a   for every type's area a.
// Every point the engine reports is then re-costed with the true areas.
//
// Why the bound holds. Write R(P) for a placement's rounded cost (in units u)
// and C(P) for its true cost. Term by term, C(P) <= u R(P) <= (1 + E) C(P).
// The engine is exact on the rounded costs: a point at rounded level r has a
// slack s that no placement of rounded cost below r reaches. So any placement
// Q with slack >= s has R(Q) >= r, and the reported placement P (R(P) <= r)
// has C(P) <= u r <= u R(Q) <= (1 + E) C(Q): its true cost is at most 1 + E
// times the least true cost of any placement with at least its slack. Points
// whose true cost is not below every later (better-slack) point's are
// dropped; each kept point keeps the bound.
//
// The unit is chosen among the right ends of the intervals [a/m, (1+E)a/m]
// (the units that round a to m units within E) and E times the least
// area (which rounds every area within E); the areas' greatest common
// divisor is always admissible, so the approximate run never has more
// levels per buffer than the exact one. Pure functions; nothing is kept.
#pragma once

#include <vector>

#include "bufins/model.h"

namespace bufins {

struct CostRounding {
  long long unit = 1;               // u, in the library's units of cost (10^-area_decimals)
  std::vector<long long> levels;    // each type's ceil(area / u), reduced by their common divisor
  bool exact = false;               // the levels are the areas over their common divisor (unit): nothing rounded
};

// The rounding of `library`'s areas for tolerance E (0 < E <= 1).
CostRounding round_costs(const Library &library, double tolerance);

// `library` with its areas replaced by the rounding's levels (area_decimals 0).
Library rounded_library(const Library &library, const CostRounding &rounding);

}  // namespace bufins
