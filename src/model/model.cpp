// Counts of the model's nodes (model.h).
#include "bufins/model.h"

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

}  // namespace bufins
