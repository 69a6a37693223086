// Tests of the expiration list: set-up at a sink, order among equal and
// non-finite keys, deletion by successor copy with the candidate link moving
// along, and randomised runs of entries and of candidate/entry links against
// sorted-vector models.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <random>
#include <vector>

#include "expiration_list.h"
#include "support.h"
#include "tree.h"
#include "van.h"

namespace {

const double INF = std::numeric_limits<double>::infinity();
const double NaN = std::numeric_limits<double>::quiet_NaN();

class ExpirationListTest : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_globals();
    nil_make();
  }
  void TearDown() override { nil_free(); }
};

#define EXPECT_LIST_OK(list)                                \
  do {                                                      \
    std::string why_;                                       \
    EXPECT_TRUE(check_expiration_list(list, &why_)) << why_; \
  } while (0)

#define EXPECT_TREE_OK(root, list)                               \
  do {                                                           \
    std::string why_;                                            \
    EXPECT_TRUE(check_candidate_tree(root, list, &why_)) << why_; \
  } while (0)

// The callers' linking protocol: a fresh entry for candidate z, found again by
// its key after every older entry of equal key (those are linked).
void link(RTnode **list, RTnode *z, double key) {
  if (z->swap_option != NIL) {
    RTnode *old = z->swap_option;
    z->swap_option = NIL;
    node_delete_swap(list, old);
  }
  insert_swap(list, key, z->time);
  RTnode *a = search(*list, expiration_key(key));
  while (a != NIL && a->qc_option != NIL) a = node_succ(a);
  z->swap_option = a;
  if (a != NIL) a->qc_option = z;
}

void unlink(RTnode **list, RTnode *z) {
  if (z->swap_option == NIL) return;
  RTnode *e = z->swap_option;
  z->swap_option = NIL;
  node_delete_swap(list, e);
}

TEST_F(ExpirationListTest, CreateSetsUpEveryBufferType) {
  n_buffertype = 3;
  Node sink{5, NODE_SINK, 0.0, 0.0, 0.004, 2.0, nullptr, nullptr};
  double k[MAX_BUFFERTYPES];
  RTnode *rt[MAX_BUFFERTYPES], *list[MAX_BUFFERTYPES];
  for (int i = 0; i < 3; i++) k[i] = 9.0, rt[i] = list[i] = nullptr;
  create(k, rt, &sink, list);
  EXPECT_EQ(total_solution, 264);
  for (int i = 0; i < 3; i++) {
    ASSERT_NE(rt[i], NIL);
    EXPECT_EQ(rt[i]->size, 1);
    EXPECT_EQ(rt[i]->time, 2.0);
    EXPECT_EQ(rt[i]->cap, 0.004);
    EXPECT_EQ(rt[i]->com, nullptr);
    EXPECT_EQ(rt[i]->swap_option, NIL);
    EXPECT_EQ(list[i], NIL);
    EXPECT_EQ(k[i], 0.0);
    EXPECT_TREE_OK(rt[i], list[i]);
    tree_delete(rt[i]);
  }
  EXPECT_EQ(reduce_solution, 264);
}

TEST_F(ExpirationListTest, EqualKeysGoLastAndLinkingTakesTheNewEntry) {
  RTnode *list = NIL;
  insert_swap(&list, 2.0, 10);
  insert_swap(&list, 1.0, 11);
  insert_swap(&list, 2.0, 12);
  insert_swap(&list, 2.0, 13);
  std::vector<RTnode *> es = nodes_of(list);
  ASSERT_EQ(es.size(), 4u);
  EXPECT_EQ(es[1]->cap, 10);
  EXPECT_EQ(es[2]->cap, 12);
  EXPECT_EQ(es[3]->cap, 13);
  EXPECT_EQ(list->size, 4);
  tree_delete_swap(list);

  list = NIL;
  RTnode *t = NIL;
  for (int i = 1; i <= 6; i++) insert(&t, i, i, nullptr, &list);
  std::vector<RTnode *> cs = nodes_of(t);
  for (RTnode *z : cs) link(&list, z, 5.0);
  for (RTnode *z : cs) EXPECT_EQ(z->swap_option->cap, z->time) << "each candidate keeps its own entry";
  EXPECT_TREE_OK(t, list);
  EXPECT_LIST_OK(list);
  link(&list, cs[2], 5.0);  // re-keying at the same key
  EXPECT_EQ(nodes_of(list).back()->qc_option, cs[2]);
  EXPECT_TREE_OK(t, list);
  EXPECT_EQ(list->size, 6);
  tree_delete(t);
  tree_delete_swap(list);
  EXPECT_EQ(total_solution, reduce_solution);
}

TEST_F(ExpirationListTest, DeletionMovesEntriesAndCounts) {
  RTnode *t = NIL, *list = NIL;
  for (int i = 1; i <= 7; i++) insert(&t, i, i, make_comp(nullptr, nullptr, 1, i, i, 0), &list);
  for (RTnode *z : nodes_of(t)) link(&list, z, 10.0 * z->time);
  RTnode *e = list;
  ASSERT_TRUE(e->left != NIL && e->right != NIL);
  RTnode *next = nodes_of(list)[static_cast<size_t>(e->time / 10)];
  RTnode *cand = next->qc_option;
  const double key = next->time;
  e->qc_option->swap_option = NIL;  // e's own candidate is unlinked first
  node_delete_swap(&list, e);
  EXPECT_EQ(e->time, key);  // the record holds its successor's key and candidate
  EXPECT_EQ(e->qc_option, cand);
  EXPECT_EQ(cand->swap_option, e);
  EXPECT_EQ(list->size, 6);
  EXPECT_LIST_OK(list);
  unlink(&list, cand);
  std::mt19937 rng(5);
  while (list != NIL) {
    std::vector<RTnode *> es = nodes_of(list);
    unlink(&list, es[rng() % es.size()]->qc_option);
    EXPECT_LIST_OK(list);
    EXPECT_TREE_OK(t, list);
  }
  EXPECT_EQ(NIL->size, 0);

  const double reduced = reduce_solution, freed = m_reduced;
  tree_delete_swap(NIL);
  EXPECT_EQ(reduce_solution, reduced);
  for (int i = 0; i < 5; i++) insert_swap(&list, i % 2, i);
  tree_delete_swap(list);
  EXPECT_EQ(reduce_solution - reduced, 440);
  EXPECT_EQ(m_reduced, freed);
  tree_delete(t);
  EXPECT_EQ(total_solution, reduce_solution);
  EXPECT_EQ(m_used, m_reduced);
}

TEST_F(ExpirationListTest, NonFiniteKeysKeepTheListOrdered) {
  EXPECT_EQ(expiration_key(NaN), -INF);
  EXPECT_EQ(expiration_key(INF), INF);
  EXPECT_EQ(expiration_key(-INF), -INF);
  EXPECT_EQ(expiration_key(2.5), 2.5);
  const double keys[] = {1.0, NaN, INF, 0.0, -INF, NaN, INF, -1.0, 2.0, -INF};
  RTnode *list = NIL;
  int tag = 0;
  for (double k : keys) {
    insert_swap(&list, k, tag++);
    EXPECT_LIST_OK(list);
  }
  for (double k : keys) {
    RTnode *e = search(list, expiration_key(k));
    ASSERT_NE(e, NIL);
    EXPECT_EQ(e->time, expiration_key(k));
  }
  std::vector<double> seen;
  for (RTnode *e : nodes_of(list)) seen.push_back(e->time);
  EXPECT_EQ(seen, (std::vector<double>{-INF, -INF, -INF, -INF, -1.0, 0.0, 1.0, 2.0, INF, INF}));
  // Expiring in key order: the -infinity entries first, NaN ones (tags 1, 5)
  // among them in insertion order.
  std::vector<double> tags;
  while (list != NIL) {
    RTnode *e = minimum(list);
    tags.push_back(e->cap);
    node_delete_swap(&list, e);
    EXPECT_LIST_OK(list);
  }
  EXPECT_EQ(tags, (std::vector<double>{1, 4, 5, 9, 7, 3, 0, 8, 2, 6}));
  EXPECT_EQ(total_solution, reduce_solution);
}

TEST_F(ExpirationListTest, RandomEntriesWithEqualKeysAgreeWithModel) {
  for (unsigned seed : {11u, 12u}) {
    std::mt19937 rng(seed);
    RTnode *list = NIL;
    std::vector<std::pair<double, double>> m;  // (key, tag) in order
    for (int step = 0, tag = 0; step < 4000 && !HasFailure(); step++) {
      const int op = static_cast<int>(rng() % 10);
      if (op < 5 || m.empty()) {
        double key = static_cast<double>(rng() % 12);
        if (rng() % 50 == 0) key = (rng() % 2) ? INF : NaN;
        insert_swap(&list, key, ++tag);
        key = expiration_key(key);
        auto at = std::upper_bound(m.begin(), m.end(), key, [](double k, const auto &e) { return k < e.first; });
        m.insert(at, {key, tag});
      } else if (op < 9) {
        const size_t i = rng() % m.size();
        node_delete_swap(&list, nodes_of(list)[i]);
        m.erase(m.begin() + i);
      } else {
        EXPECT_EQ(minimum(list)->cap, m.front().second);
        const double key = m[rng() % m.size()].first;
        EXPECT_EQ(search(list, key)->time, key);
      }
      EXPECT_LIST_OK(list);
      std::vector<std::pair<double, double>> got;
      for (RTnode *e : nodes_of(list)) got.push_back({e->time, e->cap});
      ASSERT_EQ(got, m);
    }
    tree_delete_swap(list);
  }
  EXPECT_EQ(total_solution, reduce_solution);
}

// Candidates with entries under insertion with pruning, candidate deletion,
// unlinking and re-keying: links stay mutual and each candidate keeps its key.
TEST_F(ExpirationListTest, RandomLinksSurvivePruningAndSuccessorCopies) {
  struct Cand {
    double q, c;
    std::optional<double> key;
  };
  for (unsigned seed : {21u, 22u, 23u}) {
    std::mt19937 rng(seed);
    RTnode *t = NIL, *list = NIL;
    std::vector<Cand> m;
    for (int step = 0; step < 4000 && !HasFailure(); step++) {
      const int op = static_cast<int>(rng() % 10);
      if (op < 4 || m.empty()) {
        const double q = static_cast<double>(rng() % 300);
        const size_t p = std::upper_bound(m.begin(), m.end(), q, [](double v, const Cand &e) { return v < e.q; }) - m.begin();
        // Between the neighbours' loads (so it mostly survives), on a 1/1024 grid.
        const double lo = p > 0 ? m[p - 1].c : (m.empty() ? 0.0 : m[0].c - 4);
        const double hi = p < m.size() ? m[p].c : lo + 4;
        double c = lo + std::floor((hi - lo) * std::uniform_real_distribution<double>(0, 1)(rng) * 1024) / 1024;
        if (p > 0 && rng() % 30 == 0) c = m[rng() % p].c;
        insert(&t, q, c, nullptr, &list);
        size_t i = p;
        m.insert(m.begin() + i, Cand{q, c, std::nullopt});
        while (i > 0 && m[i].c <= m[i - 1].c) m.erase(m.begin() + --i);
        // A surviving predecessor of equal time dominates the newcomer.
        if ((i > 0 && m[i - 1].q >= m[i].q) || (i + 1 < m.size() && m[i].c >= m[i + 1].c)) m.erase(m.begin() + i);
      } else if (op < 7) {
        const size_t i = rng() % m.size();
        const double key = static_cast<double>(rng() % 20);
        link(&list, nodes_of(t)[i], key);
        m[i].key = key;
      } else if (op < 9) {
        const size_t i = rng() % m.size();
        RTnode *z = nodes_of(t)[i];
        unlink(&list, z);
        node_delete(&t, z);
        m.erase(m.begin() + i);
      } else {
        const size_t i = rng() % m.size();
        unlink(&list, nodes_of(t)[i]);
        m[i].key.reset();
      }
      EXPECT_TREE_OK(t, list);
      EXPECT_LIST_OK(list);
      std::vector<RTnode *> cs = nodes_of(t);
      ASSERT_EQ(cs.size(), m.size());
      int linked = 0;
      for (size_t i = 0; i < cs.size(); i++) {
        ASSERT_EQ(cs[i]->time, m[i].q);
        ASSERT_EQ(cs[i]->cap, m[i].c);
        ASSERT_EQ(cs[i]->swap_option != NIL, m[i].key.has_value()) << i;
        if (m[i].key) {
          linked++;
          EXPECT_EQ(cs[i]->swap_option->time, *m[i].key);
          EXPECT_EQ(cs[i]->swap_option->cap, m[i].q);
        }
      }
      EXPECT_EQ(list->size, linked);  // every entry has its candidate
    }
    tree_delete(t);
    tree_delete_swap(list);
  }
  EXPECT_EQ(total_solution, reduce_solution);
}

}  // namespace
