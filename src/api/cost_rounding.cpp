// The unit of an approximate frontier's cost rounding: the largest unit that
// rounds every area up by at most the tolerance (cost_rounding.h says why
// that bounds the frontier's cost).
#include "cost_rounding.h"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace bufins {

namespace {

// Rounding every area up to a multiple of u adds at most E of it.
bool admissible(const Library &lib, long long u, double tolerance) {
  for (const BufferType &t : lib.types) {
    const long long rounded = (t.area + u - 1) / u * u;
    if (static_cast<long double>(rounded - t.area) > static_cast<long double>(tolerance) * t.area) return false;
  }
  return true;
}

}  // namespace

CostRounding round_costs(const Library &lib, double tolerance) {
  long long divisor = 0, least = 0;
  for (const BufferType &t : lib.types) {
    divisor = std::gcd(divisor, t.area);
    if (t.area > 0 && (least == 0 || t.area < least)) least = t.area;
  }
  CostRounding r;
  if (divisor == 0) {  // every area is 0: every cost is 0
    r.levels.assign(lib.types.size(), 0);
    return r;
  }
  long long best = divisor;
  const long long floor_unit = static_cast<long long>(std::floor(tolerance * static_cast<long double>(least)));
  if (floor_unit > best && admissible(lib, floor_unit, tolerance)) best = floor_unit;
  // The unit u = floor((1 + E) a / m) rounds a to m units within E; the
  // candidates fall with m, so each type's scan stops at the best so far.
  // Any u <= E a rounds a within E, so beyond m = 1/E + 1 a type's own
  // endpoints bind nothing: the largest admissible unit is one of the
  // endpoints below that, or E times the least area.
  const long long most_multiples =
      static_cast<long long>(std::min(1e6, std::ceil(1.0 / tolerance) + 1.0));
  for (const BufferType &t : lib.types) {
    for (long long m = 1; m <= most_multiples; m++) {
      const long long u = static_cast<long long>(std::floor((1.0L + tolerance) * t.area / m));
      if (u <= best) break;
      if (admissible(lib, u, tolerance)) best = u;
    }
  }
  long long common = 0;
  for (const BufferType &t : lib.types) {
    r.levels.push_back((t.area + best - 1) / best);
    common = std::gcd(common, r.levels.back());
  }
  for (long long &l : r.levels) l /= common;
  r.unit = best * common;
  // Levels in the areas' own proportions: the rounding changed nothing but
  // the unit, and the run is the exact one (in the areas' common divisor).
  r.exact = true;
  for (size_t i = 0; i < lib.types.size(); i++) r.exact = r.exact && r.levels[i] * divisor == lib.types[i].area;
  if (r.exact) r.unit = divisor;
  return r;
}

Library rounded_library(const Library &lib, const CostRounding &rounding) {
  Library out = lib;
  for (size_t i = 0; i < out.types.size(); i++) out.types[i].area = rounding.levels[i];
  out.area_decimals = 0;
  return out;
}

}  // namespace bufins
