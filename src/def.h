// Shared records and global tables of bufins.
//
// The routing tree (Node, Edge) and the buffer library live in global tables
// that the readers fill once; every other module reads them. Candidate records
// of the list engine (RLnode), nodes of the candidate trees and expiration lists
// (RTnode) and buffer-trace records (Comp) are plain heap records linked by
// pointers. Trace records are shared between candidates and reference-counted
// through `counter`; see van.h for the counting rules.
//
// Ownership: the node and edge tables reserve their full capacity once, so a
// Node never moves after it is placed and `left`/`right` may point into the
// table for the whole run.
#pragma once

#include <sys/resource.h>

#include <cstdio>
#include <string>
#include <vector>

constexpr int MAX_BUFFERTYPES = 64;
constexpr int MAX_NODES = 1600000;
constexpr int MAX_EDGES = 1605500;

// Required time standing for minus infinity: every best-slack search starts here.
constexpr double MINUS_INFINITY_TIME = -20000000000.0;

// Node types.
constexpr int NODE_DRIVER = 0;
constexpr int NODE_CANDIDATE = 1;
constexpr int NODE_SINK = 2;

struct Node {
  int index;    // number used by edges; the driver's is 0
  double x;
  double y;
  int type;     // NODE_DRIVER, NODE_CANDIDATE or NODE_SINK
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
// pending updates ra, da, ca, coma flagged by dirty).
struct RTnode {
  char color;
  int dirty;
  int size;  // number of nodes, valid in the root only
  double cap;
  double time;
  double ra;
  double da;
  double ca;
  RTnode *left;
  RTnode *right;
  RTnode *parent;
  RTnode *swap_option;  // candidate -> its expiration entry, or NIL
  RTnode *qc_option;    // expiration entry -> its candidate, or NIL
  Comp *com;
  Comp *coma;
};

// ---- Routing tree and library (filled by the readers) ----
extern std::vector<Node> nodes;  // capacity MAX_NODES, reserved once
extern std::vector<Edge> edges;  // capacity MAX_EDGES, reserved once
extern int n_nodes;       // node records read from the net file
extern int n_sinks;       // sink records + 1 (the driver counts)
extern int n_candidates;  // candidate records, segment nodes included
extern int n_edges;

extern int n_buffertype;
extern double rb[MAX_BUFFERTYPES];
extern double cb[MAX_BUFFERTYPES];
extern double tb[MAX_BUFFERTYPES];

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
void peak_check();

// Rectilinear wire length between two nodes.
double distance(const Node *t, const Node *t1);

// ---- Progress of a running algorithm (drawn by the driver, cli.cpp) ----
// distance() also counts the wires it measures. Every engine measures each
// wire of the tree once as it carries a child's candidates up, so while an
// algorithm runs the count is the number of wires done. When it reaches
// progress_next, progress_report() looks at the clock; progress_next stays
// at its maximum unless a progress line was asked for.
extern long long progress_count;
extern long long progress_next;
void progress_report();

// Clears every global above to its start-of-run state and reserves the tables.
// Tests call it before each case; the driver once at start.
void reset_globals();
