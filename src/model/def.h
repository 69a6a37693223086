// Shared records and global tables of bufins.
//
// The routing tree (Node, Edge) and the buffer library live in global tables
// that the readers fill once; every other module reads them. Candidate records
// of the list engine (RLnode), nodes of the candidate trees and expiration lists
// (RTnode) and buffer-trace records (Comp) are plain heap records linked by
// pointers. Trace records are shared between candidates and reference-counted
// through `counter`; see van.h for the counting rules.
//
// Ownership: the node and edge tables grow while the net is read, before any
// link points into them (the reader reserves them by the file's size when it
// is known); from the linking on, a Node moves only when wire segmentation
// must enlarge the table, which relinks every node and leaves the root at
// &nodes[0]. Otherwise `left`/`right` may point into the table for the whole
// run.
#pragma once

#include <sys/resource.h>

#include <cstdio>
#include <string>
#include <vector>

#include "constants.h"


// Node types.
constexpr int NODE_DRIVER = 0;
constexpr int NODE_CANDIDATE = 1;
constexpr int NODE_SINK = 2;

// index and type stand together so that the record has no padding (56 bytes:
// the node table is the largest allocation of a run on a big net).
struct Node {
  int index;    // number used by edges; the driver's is 0
  int type;     // NODE_DRIVER, NODE_CANDIDATE or NODE_SINK
  double x;
  double y;
  double cap;   // sink load in internal units (file figure / 1000); 0 elsewhere
  double time;  // sink required arrival time
  Node *left;
  Node *right;
};

struct Edge {
  int s_index;  // upstream node (parent)
  int t_index;  // downstream node (child)
};

// Buffer-trace record. buffertype >= 1: buffer of library type buffertype-1
// at node x on the edge to node y; 0: wire record; -1: merge record;
// -2: composition of two pending traces.
struct Comp {
  Comp *left;
  Comp *right;
  int buffertype;
  int x;
  int y;
  int counter;  // number of counted references that exist now
};

constexpr int COMP_WIRE = 0;
constexpr int COMP_MERGE = -1;
constexpr int COMP_COMPOSITION = -2;

// Candidate (q, c) of the list engine, and record of the fast algorithm's
// short-lived merge list.
struct RLnode {
  RLnode *next;
  double cap;
  double time;
  Comp *com;
};

// Node of a candidate tree or of an expiration list (red-black tree with
// pending updates ra, da, ca, coma flagged by dirty). The fields that every
// descent reads (time, the links, dirty) come first, and the flags share one
// word: 104 bytes. The memory counters count it as 88 bytes all the same.
struct RTnode {
  double time;
  RTnode *left;
  RTnode *right;
  RTnode *parent;
  char color;
  char dirty;
  int size;  // number of nodes, valid in the root only
  double cap;
  double ra;
  double da;
  double ca;
  RTnode *swap_option;  // candidate -> its expiration entry, or NIL
  RTnode *qc_option;    // expiration entry -> its candidate, or NIL
  Comp *com;
  Comp *coma;
};

// ---- Record pools ----
// Trace records, list candidates and tree nodes are made and freed by the
// million, each on its own: a free list per record type, carved from chunks
// that are kept for the whole process, makes both a few instructions. Only
// the make/free pairs (make_comp / comp_delete, make_rlnode / free_rlnode,
// make_rtnode / free_rtnode) use them. In AddressSanitizer builds the pools
// hand every record to the general heap instead, so that use after free and
// leaked records are still caught there.
#if defined(__SANITIZE_ADDRESS__)
#define BUFINS_POOL_HEAP 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define BUFINS_POOL_HEAP 1
#endif
#endif

template <typename T>
struct RecordPool {
  union Cell {
    Cell *next;
    alignas(T) unsigned char bytes[sizeof(T)];
  };
  Cell *free = nullptr;
  std::vector<Cell *> chunks;  // never released: the records are reused
};

constexpr size_t POOL_CHUNK = 4096;  // cells per chunk

template <typename T>
void pool_grow(RecordPool<T> &p) {
  using Cell = typename RecordPool<T>::Cell;
  Cell *chunk = new Cell[POOL_CHUNK];
  p.chunks.push_back(chunk);
  for (size_t i = POOL_CHUNK; i-- > 0;) {
    chunk[i].next = p.free;
    p.free = &chunk[i];
  }
}

// Raw storage for one record; the caller sets every field.
template <typename T>
inline T *pool_take(RecordPool<T> &p) {
#ifdef BUFINS_POOL_HEAP
  (void)p;
  return new T;
#else
  if (p.free == nullptr) pool_grow(p);
  auto *c = p.free;
  p.free = c->next;
  return reinterpret_cast<T *>(c->bytes);
#endif
}

template <typename T>
inline void pool_give(RecordPool<T> &p, T *x) {
#ifdef BUFINS_POOL_HEAP
  (void)p;
  delete x;
#else
  auto *c = reinterpret_cast<typename RecordPool<T>::Cell *>(x);
  c->next = p.free;
  p.free = c;
#endif
}

extern RecordPool<Comp> comp_pool;
extern RecordPool<RLnode> rlnode_pool;
extern RecordPool<RTnode> rtnode_pool;

// ---- Routing tree and library (filled by the readers) ----
extern std::vector<Node> nodes;  // at most MAX_NODES records, root at nodes[0]
extern std::vector<Edge> edges;  // at most MAX_EDGES records
extern int n_nodes;       // node records read from the net file
extern int n_sinks;       // sink records + 1 (the driver counts)
extern int n_candidates;  // candidate records, segment nodes included
extern int n_edges;

extern int n_buffertype;
extern double rb[MAX_BUFFERTYPES];
extern double cb[MAX_BUFFERTYPES];
extern double tb[MAX_BUFFERTYPES];
// Named fields of a buffer line (key=value after the numbers): the area of a
// buffer of that type, a non-negative integer in units of
// 10^-buffer_area_decimals (default 1 with 0 decimals, so a solution's cost is
// its buffer count), and the largest load it may drive, in the internal
// capacitance unit (the file's / 1000); NO_LIMIT when the line sets none.
extern long long buffer_area[MAX_BUFFERTYPES];
extern int buffer_area_decimals;  // the most decimals of the library's area= values
extern double buffer_max_cap[MAX_BUFFERTYPES];
// The driver line's max_cap= field, NO_LIMIT when absent.
extern double driver_max_cap;

extern double rd;
extern double r0;
extern double c0;
extern double dx;
extern double dy;

// ---- Driver state ----
extern FILE *fp;             // placement stream once the algorithm has run
extern std::string filename; // net file name, rewritten into the output names
extern int debug;
extern struct rusage timestuff;
extern long stime;
extern long utime;

// ---- Memory counters (bytes, running totals) ----
extern double total_solution;
extern double reduce_solution;
extern double m_used;
extern double m_reduced;
extern double max_space;

// ---- Results ----
extern double van_answer;
extern Comp *final_location_van;
extern double fastins_answer;
extern Comp *final_location_fastins;

// ---- Sentinel of every candidate tree and expiration list ----
extern RTnode *NIL;

// Sampled peak of the live bytes: ((total - reduced) + used) - m_reduced.
inline void peak_check() {
  if (((total_solution - reduce_solution) + m_used) - m_reduced > max_space)
    max_space = ((total_solution - reduce_solution) + m_used) - m_reduced;
}

// Rectilinear wire length between two nodes.
double distance(const Node *t, const Node *t1);

// ---- Progress of a running algorithm (drawn by the driver, cli.cpp) ----
// distance() also counts the wires it measures. Every engine measures each
// wire of the tree once as it carries a child's candidates up, so while an
// algorithm runs the count is the number of wires done. When it reaches
// progress_next, progress_report() looks at the clock; progress_next stays
// at its maximum unless a progress line was asked for.
// The driver installs the report (progress_report is null until then, and
// progress_next keeps it from being called).
extern long long progress_count;
extern long long progress_levels;  // a frontier run's cost levels (0: none shown)
extern long long progress_next;
extern void (*progress_report)();

// Clears every global above to its start-of-run state (the tables keep their
// capacity; nothing is reserved before a net's size is known).
// Tests call it before each case; the driver once at start.
void reset_globals();
