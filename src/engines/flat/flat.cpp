// The flat engine: the post-order walk of walk.h over the building blocks of
// flat_core.h. A node with one child carries its set up an edge, a node with
// two merges them; the driver reads the best slack off its child's set.
//
// Ownership: candidate arrays live on the walk's set stack (one per finished
// subtree whose parent is not done yet); at the end only the driver child's
// set and the pool stay, until the engine is destroyed.
#include "flat.h"

#include <iterator>

#include "walk.h"

namespace flat_core {

MaxSlack::MaxSlack(const Tables &tables, bufins::Context &context, int young_records, Arena *arena)
    : T(tables), ws_(tables, context, arena), young_(young_records) {}

MaxSlack::~MaxSlack() { ws_.release(final_, false); }

FlatSet MaxSlack::leaf(const Node *t) {
  FlatSet s = sink_set<FlatSet>(ws_, t);
  if (T.nb > 0) build_hull(ws_, s);
  return s;
}

FlatSet MaxSlack::join(FlatSet &L, FlatSet &R, int index, double shear, const Node *) {
  FlatSet M = merge(ws_, L, R, index, shear);
  if (T.nb > 0) build_hull(ws_, M);
  return M;
}

bool MaxSlack::finish(FlatSet &s, const Node *t) {
  final_ = s;
  s = FlatSet{};
  // Not pruned by the shear, so that the listing shows every candidate
  // that reached the driver undominated.
  compact(ws_, final_, false, false);
  const double k1 = T.driver_wire(t, &child_is_sink_);
  // Smallest load first, as the list engine meets them.
  driver_best(T, final_, k1, false, [](const FlatCand &) { return true; }, &answer_, &winner_);
  return true;
}

void MaxSlack::run() {
  run_walk(*this, ws_, young_);
  ws_.end_run();
}

bool MaxSlack::placements(std::vector<bufins::Placement> &out) const {
  // The list engine's trace is empty exactly when the driver's child is a
  // sink, or when no candidate beat minus infinity.
  if (winner_ < 0 || child_is_sink_) return false;
  ws_.placements(final_.a.p[winner_].trace, out);
  return true;
}

std::vector<bufins::Candidate> MaxSlack::candidates(bool with_placements) const {
  const FlatCand *a = final_.a.p;
  return ws_.listing(std::make_reverse_iterator(a + final_.a.n), std::make_reverse_iterator(a),
                     with_placements && !child_is_sink_);
}

}  // namespace flat_core
