// Tests of the candidate tree: pending updates and their traces, queries,
// the range update, insertion with dominance pruning, deletion, traversals,
// and randomised runs against an eagerly updated sorted-vector model.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <unordered_map>
#include <vector>

#include "expiration_list.h"
#include "support.h"
#include "tree.h"
#include "van.h"

namespace {

class TreeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_globals();
    nil_make();
  }
  void TearDown() override { nil_free(); }
};

#define EXPECT_TREE_OK(root, list)                               \
  do {                                                           \
    std::string why_;                                            \
    EXPECT_TRUE(check_candidate_tree(root, list, &why_)) << why_; \
  } while (0)

// A buffer record identified by `id` (in x and y), holding the caller's reference.
Comp *buffer(int id, int type = 1) { return make_comp(nullptr, nullptr, type, id, id, 1); }

void drop(Comp *c) {
  c->counter -= 1;
  comp_delete(c);
}

// Inserts (q, c) with a fresh buffer record `id`, keeping no reference of its own.
void add(RTnode **root, double q, double c, int id, RTnode **list) {
  Comp *b = buffer(id);
  insert(root, q, c, b, list);
  drop(b);
}

// Links (q, c) with a fresh buffer record `id` without pruning: insert never
// leaves two candidates of one time, but the range update and the pruning must
// still cope with keys that compare equal.
void add_unpruned(RTnode **root, double q, double c, int id) {
  RTnode *x = make_rtnode();
  x->time = q;
  x->cap = c;
  x->com = buffer(id);
  if (*root == NIL) {
    x->size = 1;
    *root = x;
  } else {
    link_leaf(root, x);
  }
}

// Adds a pending update to a clean node, as a wire is added to a clean root.
void pend(RTnode *n, double r, double d, double k) {
  ASSERT_EQ(n->dirty, 0);
  n->ra += r;
  n->da += d;
  n->ca += k;
  n->dirty = 1;
}

// Current values by eager application: the node's own pending update first,
// then each ancestor's, nearest first. Reads only.
void eager(const RTnode *n, double *q, double *c) {
  double t = n->time, k = n->cap;
  for (const RTnode *a = n; a != NIL; a = a->parent)
    if (a->dirty) {
      t = (t - a->da) - a->ra * k;
      k = k + a->ca;
    }
  *q = t;
  *c = k;
}

// Buffer ids of the node's current trace: com joined with its own and its
// ancestors' pending traces.
std::vector<int> trace_ids(const RTnode *n) {
  std::vector<const Comp *> st;
  if (n->com) st.push_back(n->com);
  for (const RTnode *a = n; a != NIL; a = a->parent)
    if (a->coma) st.push_back(a->coma);
  std::vector<int> ids;
  while (!st.empty()) {
    const Comp *c = st.back();
    st.pop_back();
    if (c->buffertype >= 1) ids.push_back(c->x);
    if (c->left) st.push_back(c->left);
    if (c->right) st.push_back(c->right);
  }
  std::sort(ids.begin(), ids.end());
  return ids;
}

// Every trace record reachable from the tree has exactly as many counted
// references as exist (node com/coma and record left/right).
void expect_counters_exact(RTnode *root) {
  std::unordered_map<const Comp *, int> refs;
  std::vector<const Comp *> st;
  auto ref = [&](const Comp *c) {
    if (c != nullptr && refs[c]++ == 0) st.push_back(c);
  };
  for (RTnode *n : nodes_of(root)) ref(n->com), ref(n->coma);
  while (!st.empty()) {
    const Comp *c = st.back();
    st.pop_back();
    ref(c->left), ref(c->right);
  }
  for (auto &[c, r] : refs) EXPECT_EQ(c->counter, r) << "record of type " << c->buffertype;
}

bool near(double a, double b) { return std::fabs(a - b) <= 1e-9 * std::fmax(1.0, std::fmax(std::fabs(a), std::fabs(b))); }

std::string read_all(FILE *f) {
  std::string s;
  rewind(f);
  for (int ch; (ch = fgetc(f)) != EOF;) s.push_back(static_cast<char>(ch));
  return s;
}

// ---------------------------------------------------------------------------

TEST_F(TreeTest, PendingUpdatesApplyAndCompose) {
  RTnode *t = NIL, *list = NIL;
  insert(&t, 10.0, 2.0, nullptr, &list);
  pend(t, 1.0, 3.0, 0.5);
  update(t);
  EXPECT_EQ(t->time, 5.0);
  EXPECT_EQ(t->cap, 2.5);
  EXPECT_TREE_OK(t, list);
  tree_delete(t);

  // (1,0,1) then (2,0,1) on (10,1): applied one after the other...
  t = NIL;
  insert(&t, 10.0, 1.0, nullptr, &list);
  pend(t, 1.0, 0.0, 1.0);
  update(t);
  pend(t, 2.0, 0.0, 1.0);
  update(t);
  EXPECT_EQ(t->time, 5.0);
  EXPECT_EQ(t->cap, 3.0);
  tree_delete(t);

  // ...or composed in a child's pending fields into (3, 2, 2).
  t = NIL;
  insert(&t, 0.0, 0.0, nullptr, &list);
  insert(&t, 10.0, 1.0, nullptr, &list);
  RTnode *child = t->right;
  ASSERT_NE(child, NIL);
  pend(t, 1.0, 0.0, 1.0);
  update(t);
  pend(t, 2.0, 0.0, 1.0);
  update(t);
  EXPECT_EQ(child->ra, 3.0);
  EXPECT_EQ(child->da, 2.0);
  EXPECT_EQ(child->ca, 2.0);
  EXPECT_TREE_OK(t, list);
  update(child);
  EXPECT_EQ(child->time, 5.0);
  EXPECT_EQ(child->cap, 3.0);
  EXPECT_EQ(NIL->dirty, 0);  // pushes into NIL are skipped
  tree_delete(t);
  EXPECT_EQ(total_solution, reduce_solution);
}

TEST_F(TreeTest, PushesShareAndComposePendingTraces) {
  RTnode *t = NIL, *list = NIL;
  for (int i = 1; i <= 3; i++) insert(&t, i, i, nullptr, &list);
  ASSERT_NE(t->left, NIL);
  ASSERT_NE(t->right, NIL);
  Comp *a = buffer(1), *b = buffer(2);
  t->coma = a, a->counter++, t->dirty = 1;
  const double used = m_used;
  update(t);
  EXPECT_EQ(t->left->coma, a);
  EXPECT_EQ(t->right->coma, a);
  EXPECT_EQ(t->com, a);  // a null com takes over the pending reference
  EXPECT_EQ(a->counter, 4);
  EXPECT_EQ(m_used, used);
  EXPECT_EQ(max_space, ((total_solution - reduce_solution) + m_used) - m_reduced);

  t->coma = b, b->counter++, t->dirty = 1;
  update(t);
  for (RTnode *c : {t->left, t->right, t}) {
    Comp *k = c == t ? c->com : c->coma;
    EXPECT_EQ(k->buffertype, COMP_COMPOSITION);
    EXPECT_EQ(k->left, b);
    EXPECT_EQ(k->right, a);
    EXPECT_EQ(k->counter, 1);
  }
  EXPECT_EQ(m_used, used + 3 * 24);
  EXPECT_EQ(a->counter, 4);  // references moved into the composition records
  EXPECT_EQ(b->counter, 4);
  EXPECT_TREE_OK(t, list);
  drop(a), drop(b);
  expect_counters_exact(t);
  tree_delete(t);
  EXPECT_EQ(m_used, m_reduced);
}

TEST_F(TreeTest, QueriesFollowOrderAndAbsoluteTolerance) {
  RTnode *t = NIL, *list = NIL;
  for (int i = 1; i <= 7; i++) insert(&t, i, i, nullptr, &list);
  RTnode *leaf = nodes_of(t)[0];
  ASSERT_EQ(leaf->left, NIL);
  pend(leaf, 0.0, 0.0, 0.0);
  EXPECT_EQ(minimum(leaf), leaf);
  EXPECT_EQ(leaf->dirty, 1);  // the starting node is not pushed
  update(leaf);
  EXPECT_EQ(pred(t, 0.5), NIL);
  EXPECT_EQ(succ(t, 7.5), NIL);
  EXPECT_EQ(pred(t, 3.5)->time, 3.0);
  EXPECT_EQ(succ(t, 3.5)->time, 4.0);
  EXPECT_EQ(pred(t, 7.5)->time, 7.0);
  EXPECT_EQ(succ(t, 0.5)->time, 1.0);
  for (int i = 1; i <= 7; i++) {
    EXPECT_EQ(search(t, i)->time, i);
    EXPECT_EQ(pred(t, i)->time, i);
    EXPECT_EQ(succ(t, i)->time, i);
  }
  EXPECT_EQ(search(t, 4.5), NIL);
  tree_delete(t);

  t = NIL;
  insert(&t, 1e-10, 1.0, nullptr, &list);
  EXPECT_EQ(search(t, 1e-10 + 1e-20), NIL);  // absolute, not relative
  EXPECT_EQ(pred(t, 1e-10 + 1e-20), t);
  EXPECT_EQ(succ(t, 1e-10 + 1e-20), NIL);
  tree_delete(t);
  t = NIL;
  insert(&t, 1e-30, 1.0, nullptr, &list);
  EXPECT_EQ(search(t, 5e-25), t);
  EXPECT_EQ(succ(t, -5e-25), t);
  EXPECT_EQ(search(t, 2e-24), NIL);
  tree_delete(t);
}

// Every range of trees of several shapes, with a run of equal keys: exactly
// the nodes lb..rbound gain the load once, and their traces the merge.
TEST_F(TreeTest, IntervalUpdatesExactlyTheRange) {
  const std::vector<std::pair<double, double>> cands = {{0, 0.5}, {1, 1}, {2, 2}, {2, 3}, {2, 4}, {3, 5}, {4, 6}, {5, 7}};
  std::mt19937 rng(7);
  for (int shape = 0; shape < 6; shape++) {
    std::vector<int> perm(cands.size());
    for (size_t i = 0; i < perm.size(); i++) perm[i] = static_cast<int>(i);
    if (shape == 1) std::reverse(perm.begin(), perm.end());
    if (shape > 1) std::shuffle(perm.begin(), perm.end(), rng);
    for (size_t i = 0; i < cands.size(); i++)
      for (size_t j = i; j < cands.size(); j++) {
        RTnode *t = NIL, *list = NIL, *other = NIL;
        for (int p : perm) {
          // The equal keys are linked after the others, in cap order.
          if (cands[p].first == 2) continue;
          add(&t, cands[p].first, cands[p].second, p + 1, &list);
        }
        for (int p = 2; p <= 4; p++) add_unpruned(&t, cands[p].first, cands[p].second, p + 1);
        ASSERT_EQ(t->size, 8);
        add(&other, 9.0, 0.25, 100, &list);
        std::vector<RTnode *> ns = nodes_of(t);
        Comp *old = ns[i]->com;
        interval(ns[i], ns[j], other);
        if (i == j) {
          EXPECT_EQ(ns[i]->com->buffertype, COMP_MERGE);
          EXPECT_EQ(ns[i]->com->left, other->com);
          EXPECT_EQ(ns[i]->com->right, old);
          EXPECT_EQ(ns[i]->com->x, 0);
          EXPECT_EQ(ns[i]->com->y, 0);
          EXPECT_EQ(ns[i]->com->counter, 1);
        }
        EXPECT_TREE_OK(t, list);
        tree_delete(other);
        expect_counters_exact(t);
        for (size_t k = 0; k < ns.size(); k++) {
          const bool in = k >= i && k <= j;
          double q, c;
          eager(ns[k], &q, &c);
          EXPECT_EQ(q, cands[k].first);
          EXPECT_EQ(c, cands[k].second + (in ? 0.25 : 0.0)) << shape << " " << i << ".." << j << " at " << k;
          std::vector<int> ids = {static_cast<int>(k) + 1};
          if (in) ids.push_back(100);
          EXPECT_EQ(trace_ids(ns[k]), ids);
        }
        tree_delete(t);
        ASSERT_EQ(m_used, m_reduced);
      }
  }
}

TEST_F(TreeTest, InsertPrunesByDominance) {
  RTnode *t = NIL, *list = NIL;
  add(&t, 4.0, 2.0, 1, &list);
  EXPECT_EQ(t->color, 'B');
  EXPECT_EQ(t->size, 1);
  EXPECT_EQ(total_solution, 88);
  EXPECT_EQ(max_space, 88 + 24);
  add(&t, 6.0, 3.0, 2, &list);

  // A dominated newcomer is allocated, linked and removed; its trace goes.
  double total = total_solution, reduced = reduce_solution;
  add(&t, 5.0, 4.0, 3, &list);
  EXPECT_EQ(t->size, 2);
  EXPECT_EQ(total_solution - total, 88);
  EXPECT_EQ(reduce_solution - reduced, 88);
  EXPECT_EQ(m_used, m_reduced + 2 * 24);

  add(&t, 5.0, 1.0, 4, &list);  // dominates (4,2)
  std::vector<RTnode *> ns = nodes_of(t);
  ASSERT_EQ(ns.size(), 2u);
  EXPECT_EQ(ns[0]->time, 5.0);
  EXPECT_EQ(ns[0]->cap, 1.0);
  EXPECT_EQ(ns[0]->com->x, 4);
  EXPECT_EQ(ns[1]->time, 6.0);

  add(&t, 5.0, 1.0, 5, &list);  // equal: the newcomer replaces the old one
  // Equal time and a larger load, though the successor is larger still: the
  // predecessor dominates the newcomer, which is allocated and removed.
  total = total_solution, reduced = reduce_solution;
  add(&t, 5.0, 2.0, 6, &list);
  ns = nodes_of(t);
  ASSERT_EQ(ns.size(), 2u);
  EXPECT_EQ(ns[0]->com->x, 5);
  EXPECT_EQ(ns[1]->time, 6.0);
  EXPECT_EQ(total_solution - total, 88);
  EXPECT_EQ(reduce_solution - reduced, 88);
  add(&t, 5.0, 0.5, 7, &list);  // equal time, smaller load: replaces (5,1)
  ns = nodes_of(t);
  ASSERT_EQ(ns.size(), 2u);
  EXPECT_EQ(ns[0]->com->x, 7);
  EXPECT_EQ(ns[0]->cap, 0.5);
  tree_delete(t);

  // The pruning stays on the newcomer when older candidates share its time
  // (a search by key after a deletion lands on one of them).
  t = NIL;
  const double run[][2] = {{4, 0.5}, {4.5, 1}, {5, 2}, {5, 3}, {5, 4}, {6, 10}};
  for (auto &r : run) add_unpruned(&t, r[0], r[1], 0);
  add(&t, 5.0, 1.5, 8, &list);
  std::vector<double> kept;
  for (RTnode *n : nodes_of(t)) kept.push_back(n->cap);
  EXPECT_EQ(kept, (std::vector<double>{0.5, 1, 1.5, 10}));
  tree_delete(t);

  // A run of dominated predecessors goes, nearest first, with their entries.
  t = NIL;
  const double caps[] = {1, 5, 6, 7, 20};
  const double times[] = {1, 2, 3, 4, 10};
  for (int i = 0; i < 5; i++) add(&t, times[i], caps[i], i, &list);
  for (RTnode *n : nodes_of(t))
    if (n->cap >= 5 && n->cap <= 7) {
      insert_swap(&list, n->time * 10, n->time);
      RTnode *e = search(list, n->time * 10);
      e->qc_option = n, n->swap_option = e;
    }
  ASSERT_EQ(list->size, 3);
  EXPECT_TREE_OK(t, list);
  add(&t, 4.5, 4.0, 9, &list);
  ns = nodes_of(t);
  ASSERT_EQ(ns.size(), 3u);
  EXPECT_EQ(ns[1]->time, 4.5);
  EXPECT_EQ(list, NIL);
  EXPECT_EQ(NIL->size, 0);
  EXPECT_TREE_OK(t, list);
  tree_delete(t);
  EXPECT_EQ(total_solution, reduce_solution);
  EXPECT_EQ(m_used, m_reduced);
}

TEST_F(TreeTest, DeleteMovesCandidateLinksAndReleasesTraces) {
  RTnode *t = NIL, *list = NIL;
  for (int i = 1; i <= 7; i++) add(&t, i, i, i, &list);
  RTnode *z = t;
  ASSERT_TRUE(z->left != NIL && z->right != NIL);
  RTnode *s = nodes_of(t)[static_cast<size_t>(z->time)];  // z's successor
  insert_swap(&list, 42.0, s->time);
  list->qc_option = s, s->swap_option = list;
  Comp *scom = s->com;
  const double stime = s->time, freed = m_reduced;
  node_delete(&t, z);
  EXPECT_EQ(t->size, 6);
  EXPECT_EQ(z->time, stime);  // z's record holds the successor's candidate
  EXPECT_EQ(z->com, scom);
  EXPECT_EQ(scom->counter, 1);
  EXPECT_EQ(z->swap_option, list);
  EXPECT_EQ(list->qc_option, z);
  EXPECT_EQ(m_reduced - freed, 24);  // z's own trace record
  EXPECT_TREE_OK(t, list);
  z->swap_option = NIL;
  node_delete_swap(&list, list);

  std::mt19937 rng(3);
  while (t != NIL) {
    std::vector<RTnode *> ns = nodes_of(t);
    node_delete(&t, ns[rng() % ns.size()]);
    EXPECT_TREE_OK(t, list);
  }
  EXPECT_EQ(NIL->size, 0);
  EXPECT_EQ(total_solution, reduce_solution);
  EXPECT_EQ(m_used, m_reduced);

  // tree_delete releases pending traces without pushing them.
  for (int i = 1; i <= 7; i++) add(&t, i, i, i, &list);
  Comp *p = buffer(50);
  t->coma = p, t->dirty = 1;
  update(t);
  Comp *p2 = buffer(51);
  t->left->coma = make_comp(p2, t->left->coma, COMP_COMPOSITION, 0, 0, 1);
  const double reduced = reduce_solution;
  tree_delete(t);
  EXPECT_EQ(reduce_solution - reduced, 7 * 88);
  EXPECT_EQ(m_used, m_reduced);
}

TEST_F(TreeTest, TravelListsCurrentValuesAndPlacements) {
  RTnode *t = NIL, *list = NIL;
  testing::internal::CaptureStdout();
  travel(t);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "empty tree\n");

  insert(&t, 2.5, 0.004, nullptr, &list);
  testing::internal::CaptureStdout();
  travel(t);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "\tq=       2.5\tc=         4\n");
  tree_delete(t);

  t = NIL;
  for (int i = 1; i <= 5; i++) add(&t, 100.0 * i, 0.001 * i, i, &list);
  pend(t, 30.0, 0.5, 0.002);
  std::string expect;
  char line[80];
  for (RTnode *n : nodes_of(t)) {
    double q, c;
    eager(n, &q, &c);
    snprintf(line, sizeof line, "\tq=%10.10g\tc=%10.10g\n", q, c * 1000.0);
    expect += line;
    expect += "start " + std::to_string(n->com->x) + "  end " + std::to_string(n->com->x) + "  buffertype 1\n";
  }
  debug = 1;
  FILE *f = tmpfile();
  fp = f;
  testing::internal::CaptureStdout();
  travel(t);
  std::string out = testing::internal::GetCapturedStdout();
  fflush(f);
  // Listing on stdout, placements on fp: interleave for the comparison.
  std::string placements = read_all(f), merged;
  size_t pos = 0, ppos = 0;
  while (pos < out.size()) {
    size_t e = out.find('\n', pos) + 1, pe = placements.find('\n', ppos) + 1;
    merged += out.substr(pos, e - pos) + placements.substr(ppos, pe - ppos);
    pos = e, ppos = pe;
  }
  EXPECT_EQ(merged, expect);
  for (RTnode *n : nodes_of(t)) EXPECT_EQ(n->dirty, 0);
  fclose(f);
  tree_delete(t);
}

TEST_F(TreeTest, TravelUpdateCleansOnePath) {
  RTnode *t = NIL, *list = NIL;
  for (int i = 1; i <= 15; i++) insert(&t, i, i, nullptr, &list);
  RTnode *x = nullptr;
  for (RTnode *n : nodes_of(t))
    if (n->parent != NIL && n->parent->parent != NIL && n->parent->parent->parent == t) x = n;
  ASSERT_NE(x, nullptr);

  const double ts = total_solution, rs = reduce_solution, mu = m_used;
  travel_update(t, x);
  EXPECT_EQ(total_solution - ts, 15 * 4);
  EXPECT_EQ(reduce_solution - rs, 15 * 4);
  EXPECT_EQ(m_used, mu);

  RTnode *g = x->parent->parent;
  pend(g, 0.01, 0.25, 0.5);
  double q, c;
  eager(x, &q, &c);
  travel_update(t, x);
  for (RTnode *a = x; a != NIL; a = a->parent) EXPECT_EQ(a->dirty, 0);
  EXPECT_EQ(x->time, q);
  EXPECT_EQ(x->cap, c);
  EXPECT_EQ(search(t, q), x);
  EXPECT_TREE_OK(t, list);

  pend(t, 0.0, 1.0, 0.0);  // a dirty root is pushed too
  travel_update(t, t);
  EXPECT_EQ(t->dirty, 0);
  EXPECT_TREE_OK(t, list);
  tree_delete(t);
}

TEST_F(TreeTest, PrintbufferFastinsWritesBufferRecordsInPreorder) {
  FILE *f = tmpfile();
  fp = f;
  int n = 5;
  printbuffer_fastins(nullptr, &n);
  EXPECT_EQ(n, 5);
  Comp *b2 = make_comp(nullptr, nullptr, 2, 7, 9, 1);
  Comp *m = make_comp(b2, nullptr, COMP_MERGE, 0, 0, 1);
  n = 0;
  printbuffer_fastins(m, &n);
  EXPECT_EQ(n, 1);
  drop(m);
  Comp *tree = make_comp(make_comp(buffer(2), nullptr, 3, 1, 2, 1), make_comp(buffer(3), buffer(4), COMP_COMPOSITION, 0, 0, 1),
                         COMP_MERGE, 0, 0, 1);
  n = 0;
  printbuffer_fastins(tree, &n);
  EXPECT_EQ(n, 4);
  drop(tree);
  EXPECT_EQ(read_all(f),
            "empty tree\nstart 7  end 9  buffertype 2\n"
            "start 1  end 2  buffertype 3\nstart 2  end 2  buffertype 1\n"
            "start 3  end 3  buffertype 1\nstart 4  end 4  buffertype 1\n");
  fclose(f);

  // A trace as deep as a routing tree of a million nodes.
  f = tmpfile();
  fp = f;
  Comp *top = nullptr;
  for (int i = 0; i < 1000000; i++)
    top = make_comp(top, nullptr, i % 1000 == 0 ? 1 : (i % 2 ? COMP_MERGE : COMP_COMPOSITION), i, i + 1, 1);
  n = 0;
  printbuffer_fastins(top, &n);
  EXPECT_EQ(n, 1000);
  std::string out = read_all(f);
  EXPECT_EQ(out.substr(0, out.find('\n')), "start 999000  end 999001  buffertype 1");
  fclose(f);
  drop(top);
  EXPECT_EQ(m_used, m_reduced);
}

// The checkers flag each broken invariant and change nothing.
TEST_F(TreeTest, CheckersFlagBrokenInvariants) {
  RTnode *t = NIL, *list = NIL;
  for (int i = 1; i <= 7; i++) insert(&t, i, i, nullptr, &list);
  std::vector<RTnode *> ns = nodes_of(t);
  RTnode *leaf = ns[0];
  insert_swap(&list, 3.0, ns[3]->time);
  list->qc_option = ns[3], ns[3]->swap_option = list;
  pend(t, 0.0, 1.0, 0.0);
  const double counters = total_solution + reduce_solution + m_used + m_reduced + max_space;
  std::string why;
  ASSERT_TRUE(check_candidate_tree(t, list, &why)) << why;
  ASSERT_TRUE(check_expiration_list(list, &why)) << why;
  EXPECT_EQ(t->dirty, 1);
  EXPECT_EQ(total_solution + reduce_solution + m_used + m_reduced + max_space, counters);

  int fault = 0;
  auto flags = [&](auto &&field, auto bad, bool on_list = false) {
    SCOPED_TRACE(++fault);
    auto saved = field;
    field = bad;
    EXPECT_FALSE(on_list ? check_expiration_list(list, &why) : check_candidate_tree(t, list, &why));
    field = saved;
  };
  flags(t->color, 'R');
  flags(leaf->color, 'X');
  flags(t->size, 8);
  flags(leaf->parent, ns[6]);
  flags(leaf->ca, 0.5);
  flags(ns[2]->time, 100.0);
  flags(ns[3]->swap_option, ns[4]);  // not an entry of the list
  flags(list->qc_option, ns[4]);
  flags(NIL->dirty, 1);
  flags(list->time, std::nan(""), true);
  flags(list->dirty, 1, true);
  flags(list->swap_option, ns[0], true);
  RTnode *other = NIL;
  insert_swap(&other, 3.0, 0.0);
  flags(ns[3]->swap_option, other);  // an entry of another list
  tree_delete_swap(other);
  EXPECT_TRUE(check_candidate_tree(t, list, &why)) << why;
  ns[3]->swap_option = NIL;
  tree_delete_swap(list);
  tree_delete(t);
}

// ---------------------------------------------------------------------------
// Randomised runs against a sorted vector updated eagerly.

struct Cand {
  double q, c;
  std::vector<int> ids;  // buffer records of the trace
};

// The node at model position idx, found by a descent (succ between distinct
// keys lands on the first of a run of equal keys) and node_succ steps.
RTnode *node_at(RTnode *root, const std::vector<Cand> &m, size_t idx) {
  size_t first = idx;
  while (first > 0 && m[first - 1].q == m[idx].q) first--;
  RTnode *x;
  if (first == 0) {
    if (root->dirty) update(root);
    x = minimum(root);
  } else {
    x = succ(root, (m[first - 1].q + m[first].q) / 2);
  }
  for (size_t i = first; i < idx; i++) x = node_succ(x);
  return x;
}

void expect_node(const RTnode *x, const Cand &e) {
  ASSERT_NE(x, NIL);
  EXPECT_TRUE(near(x->time, e.q) && near(x->cap, e.c)) << x->time << " " << x->cap << " vs " << e.q << " " << e.c;
}

void expect_matches(RTnode *root, const std::vector<Cand> &m, bool traces) {
  std::string why;
  ASSERT_TRUE(check_candidate_tree(root, NIL, &why)) << why;
  std::vector<RTnode *> ns = nodes_of(root);
  ASSERT_EQ(ns.size(), m.size());
  for (size_t i = 0; i < ns.size(); i++) {
    double q, c;
    eager(ns[i], &q, &c);
    ASSERT_TRUE(near(q, m[i].q) && near(c, m[i].c)) << "at " << i << ": " << q << " " << c << " vs " << m[i].q << " " << m[i].c;
    if (traces) {
      ASSERT_EQ(trace_ids(ns[i]), m[i].ids) << "at " << i;
    }
  }
}

// exact: dyadic values on a coarse grid (many equal keys, every float
// operation exact); otherwise continuous values compared with a tolerance.
void run_random(unsigned seed, bool exact, int steps) {
  std::mt19937_64 rng(seed);
  auto uni = [&](double a, double b) { return std::uniform_real_distribution<double>(a, b)(rng); };
  auto pick = [&](std::initializer_list<double> v) { return v.begin()[rng() % v.size()]; };
  RTnode *root = NIL, *list = NIL;
  std::vector<Cand> m;
  int next_id = 1;
  for (int step = 0; step < steps && !testing::Test::HasFailure(); step++) {
    const int op = static_cast<int>(rng() % 100);
    if (op < 40 || m.empty()) {
      // Mostly near the current frontier of (q, c) so that candidates survive;
      // sometimes an equal key (exact mode) or a random load that prunes runs.
      double q, c;
      if (m.empty()) {
        q = exact ? static_cast<double>(rng() % 400) : uni(0, 1000);
        c = q / 16;
      } else {
        q = exact ? std::floor(uni(m.front().q - 40, m.back().q + 40)) : uni(m.front().q - 40, m.back().q + 40);
        if (exact && rng() % 3 == 0) q = m[rng() % m.size()].q;
        const size_t p = std::upper_bound(m.begin(), m.end(), q, [](double v, const Cand &e) { return v < e.q; }) - m.begin();
        const double u = uni(0, 1);
        if (p > 0 && p < m.size()) c = m[p - 1].c + (m[p].c - m[p - 1].c) * u;
        else if (p > 0) c = m[p - 1].c + 2 * u;
        else c = std::fmax(0.0, m[0].c - 2 * u);
        if (rng() % 40 == 0) c = uni(0, m.back().c);
        if (exact) c = std::round(c * 32) / 32;
      }
      const int id = next_id++;
      add(&root, q, c, id, &list);
      size_t p = std::upper_bound(m.begin(), m.end(), q, [](double v, const Cand &e) { return v < e.q; }) - m.begin();
      m.insert(m.begin() + p, Cand{q, c, {id}});
      while (p > 0 && m[p].c <= m[p - 1].c) m.erase(m.begin() + --p);
      // A surviving predecessor of equal time dominates the newcomer.
      if ((p > 0 && m[p - 1].q >= m[p].q) || (p + 1 < m.size() && m[p].c >= m[p + 1].c)) m.erase(m.begin() + p);
    } else if (op < 52) {
      const size_t i = rng() % m.size();
      node_delete(&root, node_at(root, m, i));
      m.erase(m.begin() + i);
    } else if (op < 62) {
      // A whole-tree wire at a clean root. Its resistance is kept below half of
      // every rising slope so that the order by time survives.
      if (root->dirty) update(root);
      double r = exact ? pick({0, 1.0 / 64, 1.0 / 32, 1.0 / 16, 1.0 / 8}) : uni(0, 0.2);
      for (size_t i = 1; i < m.size(); i++)
        while (r > 0 && m[i].c > m[i - 1].c && 2 * r * (m[i].c - m[i - 1].c) > m[i].q - m[i - 1].q) r = r > 1e-9 ? r / 2 : 0;
      const double d = exact ? pick({0, 0.5, 1, 2}) : uni(0, 3), k = exact ? pick({0, 1.0 / 32, 1.0 / 16}) : uni(0, 0.01);
      pend(root, r, d, k);
      for (Cand &e : m) e.q = (e.q - d) - r * e.c, e.c += k;
    } else if (op < 72) {
      size_t i = rng() % m.size(), j = rng() % m.size();
      if (i > j) std::swap(i, j);
      RTnode *lb = node_at(root, m, i), *rbound = node_at(root, m, j), *other = NIL;
      const double xc = exact ? pick({0.125, 0.25, 0.5}) : uni(0, 0.05);
      const int id = next_id++;
      add(&other, 0.0, xc, id, &list);
      interval(lb, rbound, other);
      tree_delete(other);
      for (size_t k = i; k <= j; k++) m[k].c += xc, m[k].ids.push_back(id);
    } else if (op < 85) {
      // Probes between distinct keys, beyond both ends, and (exact) on keys.
      std::vector<double> probes = {m.front().q - 1, m.back().q + 1};
      const size_t i = rng() % m.size();
      if (i > 0 && m[i - 1].q != m[i].q) probes.push_back((m[i - 1].q + m[i].q) / 2);
      if (exact) probes.push_back(m[i].q);
      for (double q : probes) {
        auto lo = std::lower_bound(m.begin(), m.end(), q, [](const Cand &e, double v) { return e.q < v; });
        auto hi = std::upper_bound(m.begin(), m.end(), q, [](double v, const Cand &e) { return v < e.q; });
        RTnode *p = pred(root, q), *s = succ(root, q), *f = search(root, q);
        if (lo != hi) {  // on a key: any candidate of the run of equal keys
          for (RTnode *x : {p, s, f}) {
            ASSERT_NE(x, NIL);
            EXPECT_EQ(x->time, q);
            EXPECT_TRUE(std::any_of(lo, hi, [&](const Cand &e) { return e.c == x->cap; }));
          }
          continue;
        }
        EXPECT_EQ(f, NIL);
        if (lo == m.begin()) {
          EXPECT_EQ(p, NIL);
        } else {
          expect_node(p, lo[-1]);
        }
        if (hi == m.end()) {
          EXPECT_EQ(s, NIL);
        } else {
          expect_node(s, *hi);
        }
      }
    } else if (op < 90) {
      if (root->dirty) update(root);
      RTnode *x = minimum(root);
      for (size_t i = 0; i < m.size(); i++, x = node_succ(x)) expect_node(x, m[i]);
      EXPECT_EQ(x, NIL);
      x = maximum(root);
      for (size_t i = m.size(); i-- > 0; x = node_pred(x)) expect_node(x, m[i]);
      EXPECT_EQ(x, NIL);
    } else {
      // A node reached by link rather than by descent.
      const size_t i = rng() % m.size();
      RTnode *x = nodes_of(root)[i];
      travel_update(root, x);
      for (RTnode *a = x; a != NIL; a = a->parent) ASSERT_EQ(a->dirty, 0);
      expect_node(x, m[i]);
    }
    expect_matches(root, m, step % 16 == 0);
    if (step % 64 == 0) expect_counters_exact(root);
  }
  expect_matches(root, m, true);
  expect_counters_exact(root);
  tree_delete(root);
  EXPECT_EQ(total_solution, reduce_solution);
  EXPECT_EQ(m_used, m_reduced);
}

TEST_F(TreeTest, RandomOperationsAgreeWithEagerModel) {
  for (unsigned seed : {1u, 2u, 3u}) {
    SCOPED_TRACE(seed);
    run_random(seed, true, 3000);
    run_random(seed + 100, false, 3000);
  }
}

}  // namespace
