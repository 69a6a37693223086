// Counts of the model's nodes, and costs as decimal text (model.h).
#include "bufins/model.h"

#include <climits>

namespace bufins {

int Net::sinks() const {
  int n = 0;
  for (const Node &x : nodes) n += x.kind == NodeKind::sink;
  return n;
}

int Net::candidates() const {
  int n = 0;
  for (const Node &x : nodes) n += x.kind == NodeKind::candidate;
  return n;
}

std::string cost_text(long long units, int decimals) {
  std::string digits = std::to_string(units < 0 ? -static_cast<unsigned long long>(units) : units);
  if (decimals > 0) {
    if (digits.size() <= static_cast<size_t>(decimals)) digits.insert(0, static_cast<size_t>(decimals) + 1 - digits.size(), '0');
    digits.insert(digits.size() - static_cast<size_t>(decimals), 1, '.');
  }
  return units < 0 ? "-" + digits : digits;
}

bool cost_units(const std::string &text, int decimals, long long *units) {
  const size_t point = text.find('.');
  const std::string whole = text.substr(0, point);
  const std::string fraction = point == std::string::npos ? std::string() : text.substr(point + 1);
  if (whole.empty() && fraction.empty()) return false;
  for (const std::string *part : {&whole, &fraction})
    for (char ch : *part)
      if (ch < '0' || ch > '9') return false;
  // whole digits, then the first `decimals` of the fraction (zeros past its end)
  unsigned long long v = 0;
  bool over = false;
  auto add = [&](char digit) {
    const unsigned d = static_cast<unsigned>(digit - '0');
    if (v > (static_cast<unsigned long long>(LLONG_MAX) - d) / 10) over = true;
    if (!over) v = v * 10 + d;
  };
  for (char ch : whole) add(ch);
  for (int i = 0; i < decimals; i++) add(static_cast<size_t>(i) < fraction.size() ? fraction[static_cast<size_t>(i)] : '0');
  *units = over ? LLONG_MAX : static_cast<long long>(v);
  return true;
}

}  // namespace bufins
