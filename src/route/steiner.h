// Rectilinear Steiner trees over a set of pins, and their timing-driven
// variant: the tree construction of bufins-route (see steiner.cpp for how).
//
// Everything here is plain geometry over value types: a Tree owns its points
// and links, and no function keeps state between calls.
#pragma once

#include <cmath>
#include <string>
#include <utility>
#include <vector>

namespace steiner {

struct Point {
  double x = 0.0;
  double y = 0.0;
};

inline bool operator==(const Point &a, const Point &b) { return a.x == b.x && a.y == b.y; }

// Rectilinear (Manhattan) distance.
inline double manhattan(const Point &a, const Point &b) { return std::fabs(a.x - b.x) + std::fabs(a.y - b.y); }

using Link = std::pair<int, int>;  // two point numbers, undirected

// An undirected tree over points. Points 0 .. terminals-1 are the pins in the
// caller's order (the caller's numbers hold in the tree); later points are
// Steiner points the construction added.
struct Tree {
  std::vector<Point> points;
  int terminals = 0;
  std::vector<Link> links;
};

// Sum of the links' rectilinear lengths.
double length(const Tree &t);

// Candidate links that contain a rectilinear minimum spanning tree of p: every
// point joined to its nearest neighbour in each of the eight 45-degree
// octants around it; at most 4n links, O(n log n).
std::vector<Link> octant_neighbours(const std::vector<Point> &p);

// A rectilinear minimum spanning tree over p (n - 1 links).
std::vector<Link> spanning_tree(const std::vector<Point> &p);

// A rectilinear Steiner tree of near-minimal length over the pins (at least
// one). Every Steiner point has degree 3 or 4 and lies apart from every other
// point; pins may have any degree (a pin inside the tree is a junction).
Tree steiner_tree(const std::vector<Point> &pins);

// The Prim-Dijkstra trade-off between total length and path length from the
// terminal `root`, over the points of t: alpha 0 keeps (at most) t's length,
// alpha 1 makes every terminal's path from the root as short as the candidate
// links allow. Overlapping wires are then shared through new Steiner points,
// which never lengthens a path. Returns a tree over the same terminals.
Tree timing_tree(const Tree &t, int root, double alpha);

// The tree's invariants: links join existing points, form one tree spanning
// every point, and no Steiner point has degree below 3 or shares its place
// with a neighbour. Empty when they hold, else what is wrong.
std::string check(const Tree &t);

}  // namespace steiner
