// The flat engine: the same dynamic programme as the list and fast engines,
// with the candidates of a subtree held in contiguous arrays sorted by load,
// wires applied to whole arrays as pending affine updates, and buffer
// choices read off the upper convex hull of each array. It keeps none of the
// other engines' record layouts: its memory figures count its own storage.
//
// Reentrant: an instance reads only the tables it is given and writes only
// itself and its context. After run() it keeps the driver child's candidate
// list and the winner's trace until it is destroyed.
#pragma once

#include <vector>

#include "bufins/result.h"
#include "flat_core.h"

namespace flat_core {

class MaxSlack {
 public:
  // young_records: most trace records made between two collections of the
  // trace pool (at least 1). Only the speed and the memory figures depend on
  // it; tests make it small so that small nets see many collections.
  // arena: storage kept between runs (may be null; see Arena).
  MaxSlack(const Tables &tables, bufins::Context &context, int young_records = 1 << 15, Arena *arena = nullptr);
  ~MaxSlack();
  MaxSlack(const MaxSlack &) = delete;
  MaxSlack &operator=(const MaxSlack &) = delete;

  void run();

  // Best slack at the driver, or MINUS_INFINITY_TIME when no candidate beats it.
  double slack() const { return answer_; }

  // The winner's buffers; false when the placement file says "empty tree"
  // (the driver drives a sink, or no candidate beat minus infinity).
  bool placements(std::vector<bufins::Placement> &out) const;

  // The driver child's candidates, smallest load first, each with its
  // buffers when asked (the driver driving a sink: none, and `empty` set).
  std::vector<bufins::Candidate> candidates(bool with_placements) const;
  bool child_is_sink() const { return child_is_sink_; }

  // Used by the walk (walk.h).
  using Set = FlatSet;
  static bool collect_now() { return true; }
  Set leaf(const Node *sink);
  void edge(Set &s, double k, int px, int py, bool merging, double shear, const Node *) {
    flat_core::edge(ws_, s, k, px, py, merging, shear);
  }
  void settle(Set &s, const Node *, double) { compact(ws_, s, false); }
  Set join(Set &L, Set &R, int index, double shear, const Node *up);
  void release(Set &s) { ws_.release(s, true); }
  static bool dead(const Set &) { return false; }
  bool finish(Set &s, const Node *driver);

 private:

  const Tables &T;
  Workspace ws_;
  int young_;
  FlatSet final_;  // the driver child's candidates, compacted
  int winner_ = -1;  // index into final_, -1 when nothing beats minus infinity
  bool child_is_sink_ = false;
  double answer_ = MINUS_INFINITY_TIME;
};

}  // namespace flat_core
