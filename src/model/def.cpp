// Definitions of the shared globals, the record pools and the wire-length
// rule. Everything here is plain data: the readers, the
// algorithms and the driver fill and read it.
#include "def.h"

#include <climits>
#include <cmath>

std::vector<Node> nodes;
std::vector<Edge> edges;
int n_nodes = 0;
int n_sinks = 0;
int n_candidates = 0;
int n_edges = 0;

int n_buffertype = 0;
double rb[MAX_BUFFERTYPES];
double cb[MAX_BUFFERTYPES];
double tb[MAX_BUFFERTYPES];
long long buffer_area[MAX_BUFFERTYPES];
int buffer_area_decimals = 0;
double buffer_max_cap[MAX_BUFFERTYPES];
double driver_max_cap = NO_LIMIT;

double rd = 0.0;
double r0 = 0.0;
double c0 = 0.0;
double dx = 0.0;
double dy = 0.0;

FILE *fp = nullptr;
std::string filename;
int debug = 0;
struct rusage timestuff;
long stime = 0;
long utime = 0;

double total_solution = 0.0;
double reduce_solution = 0.0;
double m_used = 0.0;
double m_reduced = 0.0;
double max_space = 0.0;

double van_answer = 0.0;
Comp *final_location_van = nullptr;
double fastins_answer = 0.0;
Comp *final_location_fastins = nullptr;

RTnode *NIL = nullptr;

RecordPool<Comp> comp_pool;
RecordPool<RLnode> rlnode_pool;
RecordPool<RTnode> rtnode_pool;

long long progress_count = 0;
long long progress_levels = 0;
long long progress_next = LLONG_MAX;
void (*progress_report)() = nullptr;

double distance(const Node *t, const Node *t1) {
  if (++progress_count >= progress_next) progress_report();
  return std::fabs(t->x - t1->x) + std::fabs(t->y - t1->y);
}

void reset_globals() {
  nodes.clear();
  edges.clear();
  n_nodes = n_sinks = n_candidates = n_edges = 0;
  n_buffertype = 0;
  for (int i = 0; i < MAX_BUFFERTYPES; i++) {
    rb[i] = cb[i] = tb[i] = 0.0;
    buffer_area[i] = 1;
    buffer_max_cap[i] = NO_LIMIT;
  }
  buffer_area_decimals = 0;
  driver_max_cap = NO_LIMIT;
  rd = r0 = c0 = dx = dy = 0.0;
  fp = stdin;
  filename.clear();
  debug = 0;
  stime = utime = 0;
  total_solution = reduce_solution = m_used = m_reduced = max_space = 0.0;
  van_answer = fastins_answer = 0.0;
  final_location_van = final_location_fastins = nullptr;
}
