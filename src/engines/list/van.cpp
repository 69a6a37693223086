// The list engine: trace records, candidate lists, buffer addition, pruning,
// the Van Ginneken programme and its printers.
//
// Candidate lists are singly linked RLnode chains owned by whoever holds the
// head. A list candidate's com is an uncounted reference; trace records are
// counted as described in van.h. Every walk over the routing tree or over a
// trace uses an explicit stack: nets are up to 1.6 million nodes deep.
#include "van.h"

#include <cassert>
#include <cmath>
#include <cstdio>
#include <vector>

#include "text_format.h"

Comp *make_comp(Comp *left, Comp *right, int buffertype, int x, int y, int counter) {
  Comp *c = pool_take(comp_pool);
  c->left = left;
  c->right = right;
  c->buffertype = buffertype;
  c->x = x;
  c->y = y;
  c->counter = counter;
  m_used += 24;
  return c;
}

void comp_delete(Comp *com) {
  if (com == nullptr || com->counter != 0) return;
  // Post-order over the records that become free: a record's left child is
  // dropped (and its sub-trace freed if it reaches 0), then its right child,
  // then the record itself is freed. No stack: a record being freed no longer
  // needs its fields, so while its children are walked its `left` holds the
  // record it was reached from and its `counter` its stage (0: drop left
  // next, 1: drop right next, 2: free). A record is entered with counter 0.
  Comp *from = nullptr;
  Comp *c = com;
  for (;;) {
    if (c->counter == 0) {
      Comp *l = c->left;
      c->left = from;
      c->counter = 1;
      if (l != nullptr && --l->counter == 0) {
        from = c;
        c = l;
        continue;
      }
    }
    if (c->counter == 1) {
      Comp *r = c->right;
      c->counter = 2;
      if (r != nullptr && --r->counter == 0) {
        from = c;
        c = r;
        continue;
      }
    }
    Comp *up = c->left;
    pool_give(comp_pool, c);
    m_reduced += 24;
    if (up == nullptr) return;
    c = up;
  }
}

RLnode *make_rlnode(double cap, double time, Comp *com) {
  RLnode *r = pool_take(rlnode_pool);
  r->next = nullptr;
  r->cap = cap;
  r->time = time;
  r->com = com;
  total_solution += 32;
  return r;
}

void free_rlnode(RLnode *r) {
  pool_give(rlnode_pool, r);
  reduce_solution += 32;
}

RLnode *create_list(const Node *t) {
  RLnode *r = make_rlnode(t->cap, t->time, nullptr);
  peak_check();
  return r;
}

void list_delete(RLnode *l) {
  while (l != nullptr) {
    RLnode *next = l->next;
    comp_delete(l->com);
    free_rlnode(l);
    l = next;
  }
}

namespace {

// Releases one candidate taken out of its list.
void release_candidate(RLnode *r) {
  comp_delete(r->com);
  free_rlnode(r);
}

}  // namespace

RLnode *add_buffer(double k, RLnode *list, int px, int py) {
  // A trace record held (uncounted) by an input candidate may lose its last
  // counted reference when a carried or buffered candidate built on it is
  // released below. Pin every such record for the duration of the call so it
  // is freed exactly once, by the list_delete of the input list at the end.
  for (RLnode *x = list; x != nullptr; x = x->next)
    if (x->com != nullptr) x->com->counter += 1;

  // Step 1: carry every candidate up the wire (Elmore delay of the wire).
  RLnode *head = nullptr, *tail = nullptr;
  for (RLnode *x = list; x != nullptr; x = x->next) {
    RLnode *y = make_rlnode(0.0, 0.0, nullptr);
    if (tail)
      tail->next = y;
    else
      head = y;
    tail = y;
    if (x->com != nullptr) x->com->counter += 1;
    y->com = make_comp(x->com, nullptr, COMP_WIRE, px, py, 0);
    y->time = (x->time - ((((r0 * 0.5) * c0) * k) * k)) - ((r0 * k) * x->cap);
    y->cap = x->cap + (k * c0);
  }

  // Step 2: for every buffer type, the carried candidate that gives the
  // latest required time at the buffer's input. All are made before any is
  // inserted, so a buffer never drives another buffer made at the same point.
  RLnode *z[MAX_BUFFERTYPES];
  for (int i = n_buffertype - 1; i >= 0; i--) {
    double qmax = MINUS_INFINITY_TIME;
    RLnode *chosen = nullptr;
    for (RLnode *y = head; y != nullptr; y = y->next) {
      double q = (y->time - tb[i]) - (rb[i] * y->cap);
      if (q > qmax) {
        qmax = q;
        chosen = y;
      }
    }
    z[i] = nullptr;
    // No candidate beats minus infinity (empty list): such a buffered
    // candidate would be pruned at once, so none is made.
    if (chosen == nullptr) continue;
    z[i] = make_rlnode(cb[i], qmax, nullptr);
    Comp *wire = chosen->com;
    if (wire->left) wire->left->counter += 1;
    if (wire->right) wire->right->counter += 1;
    z[i]->com = make_comp(wire->left, wire->right, i + 1, px, py, 0);
  }

  // Step 3: insert the buffered candidates by load. On equal loads the one
  // already in the list stays unless the newcomer's required time is
  // strictly later.
  for (int i = n_buffertype - 1; i >= 0; i--) {
    RLnode *zi = z[i];
    if (zi == nullptr) continue;
    RLnode *prev = nullptr, *y = head;
    bool placed = false;
    while (y != nullptr) {
      if (std::fabs(zi->cap - y->cap) < 1e-10) {
        if (zi->time > y->time) {
          zi->next = y->next;
          if (prev)
            prev->next = zi;
          else
            head = zi;
          release_candidate(y);
        } else {
          release_candidate(zi);
        }
        placed = true;
        break;
      }
      if (zi->cap < y->cap) {
        zi->next = y;
        if (prev)
          prev->next = zi;
        else
          head = zi;
        placed = true;
        break;
      }
      prev = y;
      y = y->next;
    }
    if (!placed) {
      zi->next = nullptr;
      if (prev)
        prev->next = zi;
      else
        head = zi;
    }
  }

  // Step 4.
  peak_check();
  for (RLnode *x = list; x != nullptr; x = x->next)
    if (x->com != nullptr) x->com->counter -= 1;
  list_delete(list);
  return head;
}

RLnode *redundent(RLnode *list) {
  // A candidate whose required time does not exceed that of an earlier
  // survivor (which has no greater load) is dominated.
  RLnode head{list, 0.0, MINUS_INFINITY_TIME, nullptr};
  RLnode *last = &head;
  RLnode *r = list;
  while (r != nullptr) {
    RLnode *next = r->next;
    if (r->time - last->time < 1e-24) {
      last->next = next;
      release_candidate(r);
    } else {
      last = r;
    }
    r = next;
  }
  return head.next;
}

RLnode *merge_list(RLnode *L, RLnode *R, int index) {
  RLnode *head = nullptr, *tail = nullptr;
  RLnode *a = L, *b = R;
  while (a != nullptr && b != nullptr) {
    RLnode *m = make_rlnode(0.0, 0.0, nullptr);
    if (tail)
      tail->next = m;
    else
      head = m;
    tail = m;
    peak_check();
    m->cap = a->cap + b->cap;
    bool advance_a = a->time < b->time;
    m->time = advance_a ? a->time : b->time;
    if (a->com) a->com->counter += 1;
    if (b->com) b->com->counter += 1;
    m->com = make_comp(a->com, b->com, COMP_MERGE, index, index, 0);
    if (advance_a)
      a = a->next;
    else
      b = b->next;
    peak_check();
  }
  return head;
}

namespace {

void debug_list(const char *heading, int index, RLnode *l) {
  std::printf(heading, index);
  print(l);
}

}  // namespace

RLnode *van(Node *root) {
  // Explicit-stack post-order: left subtree, right subtree, then the node.
  struct Frame {
    Node *t;
    int stage;  // 0: visit left, 1: left done, 2: right done
    RLnode *L;  // the left child's list once it is done; the right's is `ret`
  };
  // Reserved for the deepest possible walk (every node of the table on one
  // path): growing by doubling would hold the old and the new array at once,
  // which is the peak of the whole run on a 1.6-million-node chain. Only the
  // pages a walk reaches are ever touched.
  std::vector<Frame> stack;
  stack.reserve(static_cast<size_t>(n_sinks + n_candidates) + 1);
  stack.push_back({root, 0, nullptr});
  RLnode *ret = nullptr;
  while (!stack.empty()) {
    Frame &f = stack.back();
    Node *t = f.t;
    if (f.stage == 0) {
      if (t->type == NODE_SINK) {
        ret = create_list(t);
        stack.pop_back();
        continue;
      }
      f.stage = 1;
      stack.push_back({t->left, 0, nullptr});
      continue;
    }
    if (f.stage == 1) {
      f.L = ret;
      f.stage = 2;
      if (t->right != nullptr) {
        stack.push_back({t->right, 0, nullptr});
        continue;
      }
      ret = nullptr;
    }
    RLnode *L = f.L;
    RLnode *R = t->right != nullptr ? ret : nullptr;
    stack.pop_back();
    double k1 = distance(t, t->left);

    if (t->type == NODE_DRIVER) {
      assert(R == nullptr && "a valid net's driver has one child");
      van_answer = MINUS_INFINITY_TIME;
      for (RLnode *x = L; x != nullptr; x = x->next) {
        double slack = ((x->time - ((((r0 * 0.5) * c0) * k1) * k1)) - (((r0 * k1) + rd) * x->cap)) -
                       ((rd * k1) * c0);
        if (slack > van_answer) {
          van_answer = slack;
          final_location_van = x->com;
        }
      }
      ret = L;
      continue;
    }

    L = redundent(add_buffer(k1, L, t->index, t->left->index));
    if (t->right == nullptr) {
      if (debug) {
        debug_list("Debug Information: qc list at %d \n", t->index, L);
        std::printf("\n");
      }
      ret = L;
      continue;
    }
    double k2 = distance(t, t->right);
    R = redundent(add_buffer(k2, R, t->index, t->right->index));
    if (debug) {
      debug_list("Debug Information: qc list at left %d \n", t->index, L);
      debug_list("Debug Information: qc list at right %d \n", t->index, R);
      std::printf("\n");
    }
    RLnode *M = merge_list(L, R, t->index);
    list_delete(L);
    list_delete(R);
    ret = M;
  }
  return ret;
}

void print(RLnode *x) {
  if (x == nullptr) {
    std::printf("empty tree\n");
    return;
  }
  for (; x != nullptr; x = x->next) {
    std::printf("\tq=%10.20f\tc=%10.10f\n", x->time, x->cap * 1000.0);
    if (debug) {
      int n = 0;
      printbuffer(x->com, &n);
    }
  }
}

void printbuffer(Comp *x, int *i) { write_placements(x, i, COMP_WIRE, COMP_MERGE); }

void write_placements(Comp *x, int *i, int skip1, int skip2) {
  if (x == nullptr) {
    std::fprintf(fp, "empty tree\n");
    return;
  }
  std::vector<Comp *> stack{x};
  while (!stack.empty()) {
    Comp *c = stack.back();
    stack.pop_back();
    if (c->buffertype != skip1 && c->buffertype != skip2) {
      write_placement(fp, c->x, c->y, c->buffertype);
      *i += 1;
    }
    if (c->right) stack.push_back(c->right);
    if (c->left) stack.push_back(c->left);
  }
}
