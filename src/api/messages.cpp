// Messages the programs and bindings print for a solve's outcome, kept in
// one place so that bufins, bufins-batch and the Python module say the same.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bufins/bufins.h"

namespace bufins {

namespace {

// The fewest digits (at least ten) that read back as `v`.
std::string shortest_exact(double v) {
  char text[40];
  for (int digits = 10; digits <= 17; digits++) {
    std::snprintf(text, sizeof text, "%.*g", digits, v);
    if (std::strtod(text, nullptr) == v) break;
  }
  return text;
}

}  // namespace

std::string unmet_goal_message(const Options &options, const std::vector<FrontierPoint> &frontier, int area_decimals) {
  const bool target = options.objective == Objective::target;
  if (frontier.empty())
    return std::string("bufins: no solution beats minus infinity, so none meets the ") + (target ? "target" : "budget");
  char text[512];
  if (target)
    std::snprintf(text, sizeof text,
                  "bufins: no solution reaches the target slack %s: the best slack reachable is %s (cost %s)",
                  shortest_exact(options.target).c_str(), shortest_exact(frontier.back().slack).c_str(),
                  cost_text(frontier.back().cost, area_decimals).c_str());
  else
    std::snprintf(text, sizeof text, "bufins: no solution costs at most %s: the least cost is %s (slack %s)",
                  cost_text(options.budget, area_decimals).c_str(),
                  cost_text(frontier.front().cost, area_decimals).c_str(),
                  shortest_exact(frontier.front().slack).c_str());
  return text;
}

}  // namespace bufins
