// Rectilinear Steiner trees: how bufins-route turns pins into a routing tree.
//
// A rectilinear Steiner minimal tree joins the pins with horizontal and
// vertical wires of least total length, allowing junctions (Steiner points)
// anywhere; by Hanan's theorem they may be taken on the grid of the pins' x and
// y coordinates. Finding one is NP-hard, so the work depends on the size:
//
// - Up to EXACT_PLACES distinct pin places: the exact tree, by Dreyfus and
//   Wagner's dynamic programme over subsets of the places and the points of
//   the Hanan grid (3^k subset splits per grid point: a few milliseconds at
//   nine places). Most nets of a design are this small, and no heuristic is
//   within a few percent of the optimum on every one of them.
//
// - Up to SMALL_NET pins: iterated 1-Steiner. Starting from the pins, add the
//   Hanan point whose addition shortens the minimum spanning tree the most,
//   drop Steiner points the spanning tree no longer needs (degree 2 or less),
//   and repeat until no point helps.
//
// - Any number of pins: edge substitution on the spanning tree. For a pin or
//   Steiner point w and a tree link e = (a, b) near it, a new Steiner point s at
//   the median of a, b and w joins the three; e and the longest link on the
//   tree path from w to e (the cycle the new wires close) are removed. The gain
//   |e| + |longest| - (|sa| + |sb| + |sw|) is computed for every w against the
//   links at its tree and octant neighbours; the best candidates are applied
//   greedily in order of gain as long as none of the links they remove or rely
//   on was touched by one applied before, and the pass repeats on the new tree
//   until nothing gains. Each pass costs O(n log n) (a sort and the octant
//   sweep); a handful of passes suffice.
//
// The spanning trees come from Kruskal's algorithm over a sparse candidate
// graph: every point joined to its nearest neighbour in each of the eight
// 45-degree octants around it, which is known to contain a rectilinear minimum
// spanning tree (found by one sweep per pair of opposite octants, O(n log n)).
// The links are sorted by length once and joined through Boost.Graph's
// disjoint sets; Boost's own kruskal_minimum_spanning_tree pops them from an
// indirect heap instead, which took over a second on the 400,000 candidate
// links of 100,000 pins where sorting takes a few hundredths.
//
// The timing-driven variant (timing_tree) grows a tree from the driver over
// the Steiner tree's points in Prim-Dijkstra fashion: the next point v joins
// the tree through the link (u, v) that minimises alpha * path(u) + |uv|, so
// alpha 0 is Prim's minimum spanning tree (the Steiner tree's length or less)
// and alpha 1 a shortest-path tree. Two wires leaving one node towards the same
// side then share their common stretch through a Steiner point at the median
// of the three ends, which shortens the tree and no path from the driver.
//
// Every step ends in `tidy`, which keeps the invariants check() states: no
// Steiner point of degree below 3 (a leaf is dropped, a point of degree 2
// spliced out, which never lengthens anything in the rectilinear metric) and
// none on top of a neighbour (merged into it). No step recurses: trees are
// walked with explicit stacks and queues.
#include "steiner.h"

#include <algorithm>
#include <boost/pending/disjoint_sets.hpp>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <limits>
#include <numeric>
#include <queue>
#include <tuple>

namespace steiner {

namespace {

// Iterated 1-Steiner up to this many pins, edge substitution above.
constexpr int SMALL_NET = 12;
// Exact trees up to this many distinct pin places (Dreyfus-Wagner: 3^k).
constexpr int EXACT_PLACES = 9;
// Edge-substitution passes at most (each one applies every gain it finds that
// does not conflict; later passes find little).
constexpr int MAX_PASSES = 12;
// Longest tree path (in links) from a point to a link it may be joined to.
constexpr int MAX_PATH = 24;
// Candidates kept per point and pass.
constexpr int KEPT_PER_POINT = 2;

inline double median3(double a, double b, double c) { return std::max(std::min(a, b), std::min(std::max(a, b), c)); }

inline Point median(const Point &a, const Point &b, const Point &c) {
  return {median3(a.x, b.x, c.x), median3(a.y, b.y, c.y)};
}

// Lengths below this are rounding noise for points spread over `scale`.
double tolerance(const std::vector<Point> &p) {
  double lo_x = 0, hi_x = 0, lo_y = 0, hi_y = 0;
  for (size_t i = 0; i < p.size(); i++) {
    if (i == 0 || p[i].x < lo_x) lo_x = p[i].x;
    if (i == 0 || p[i].x > hi_x) hi_x = p[i].x;
    if (i == 0 || p[i].y < lo_y) lo_y = p[i].y;
    if (i == 0 || p[i].y > hi_y) hi_y = p[i].y;
  }
  double scale = std::max({hi_x - lo_x + hi_y - lo_y, std::fabs(lo_x) + std::fabs(hi_x), std::fabs(lo_y) + std::fabs(hi_y)});
  return 1e-12 * std::max(scale, 1e-300);
}

// Kruskal's minimum spanning tree of the graph over n points with the
// candidate links, weighted by rectilinear length. Fewer than n - 1 links back
// when the candidates do not connect the points.
std::vector<Link> kruskal(const std::vector<Point> &p, const std::vector<Link> &candidates) {
  std::vector<std::pair<double, int>> by_length(candidates.size());
  for (size_t k = 0; k < candidates.size(); k++)
    by_length[k] = {manhattan(p[candidates[k].first], p[candidates[k].second]), static_cast<int>(k)};
  std::sort(by_length.begin(), by_length.end());
  boost::disjoint_sets_with_storage<> components(p.size());
  std::vector<Link> out;
  out.reserve(p.size());
  for (const auto &[length, k] : by_length) {
    const auto a = components.find_set(candidates[k].first), b = components.find_set(candidates[k].second);
    if (a == b) continue;
    components.link(a, b);
    out.push_back(candidates[k]);
    if (out.size() + 1 == p.size()) break;
  }
  return out;
}

// A rectilinear minimum spanning tree over p from the candidate links
// (octant_neighbours(p)), as spanning_tree makes it.
std::vector<Link> spanning_tree_over(const std::vector<Point> &p, std::vector<Link> candidates);

double links_length(const std::vector<Point> &p, const std::vector<Link> &links) {
  double sum = 0.0;
  for (const Link &l : links) sum += manhattan(p[l.first], p[l.second]);
  return sum;
}

// Restores the invariants of check() on a tree over pts (the first `terminals`
// points pins) and renumbers the surviving Steiner points densely after them.
Tree tidy(const std::vector<Point> &pts, int terminals, const std::vector<Link> &in) {
  const int n = static_cast<int>(pts.size());
  std::vector<Link> links(in);
  std::vector<char> alive(links.size(), 1);
  // The links at each point in the order they came (the input's order, then
  // those added): singly linked lists over one pool of cells, so that a
  // point's list is appended to and filtered without an allocation per point.
  struct Cell {
    int link, next;
  };
  std::vector<Cell> cells;
  cells.reserve(4 * links.size() + 8);
  std::vector<int> head(static_cast<size_t>(n), -1), tail(static_cast<size_t>(n), -1), degree(static_cast<size_t>(n), 0);
  auto append = [&](int v, int k) {
    const int c = static_cast<int>(cells.size());
    cells.push_back({k, -1});
    if (head[v] < 0)
      head[v] = c;
    else
      cells[tail[v]].next = c;
    tail[v] = c;
    degree[v]++;
  };
  for (size_t k = 0; k < links.size(); k++) {
    append(links[k].first, static_cast<int>(k));
    append(links[k].second, static_cast<int>(k));
  }
  auto other = [&](int k, int v) { return links[k].first == v ? links[k].second : links[k].first; };
  auto add = [&](int a, int b) {
    links.push_back({a, b});
    alive.push_back(1);
    append(a, static_cast<int>(links.size() - 1));
    append(b, static_cast<int>(links.size() - 1));
  };
  std::vector<char> gone(static_cast<size_t>(n), 0);
  std::vector<int> work;
  work.reserve(static_cast<size_t>(n));
  for (int s = n - 1; s >= terminals; s--) work.push_back(s);
  while (!work.empty()) {
    const int s = work.back();
    work.pop_back();
    if (gone[s]) continue;
    // Drop the dead links from s's list.
    int last = -1;
    degree[s] = 0;
    for (int c = head[s]; c >= 0; c = cells[c].next) {
      if (!alive[cells[c].link]) continue;
      if (last < 0)
        head[s] = c;
      else
        cells[last].next = c;
      last = c;
      degree[s]++;
    }
    if (last < 0)
      head[s] = -1;
    else
      cells[last].next = -1;
    tail[s] = last;
    if (degree[s] <= 2) {  // a leaf goes, a point of degree 2 is spliced out
      int nb[2] = {-1, -1};
      int i = 0;
      for (int c = head[s]; c >= 0; c = cells[c].next, i++) {
        alive[cells[c].link] = 0;
        nb[i] = other(cells[c].link, s);
      }
      const int deg = degree[s];
      head[s] = tail[s] = -1;
      degree[s] = 0;
      gone[s] = 1;
      if (deg == 2) add(nb[0], nb[1]);
      for (int j = 0; j < deg; j++)
        if (nb[j] >= terminals) work.push_back(nb[j]);
      continue;
    }
    int zero = -1;
    for (int c = head[s]; c >= 0; c = cells[c].next)
      if (pts[other(cells[c].link, s)] == pts[s]) {
        zero = cells[c].link;
        break;
      }
    if (zero < 0) continue;
    // On top of a neighbour t: t takes over s's other links. The cells of
    // s's list stay in the pool while it is walked: add() appends only to
    // other points' lists.
    const int t = other(zero, s);
    const int first = head[s];
    head[s] = tail[s] = -1;
    degree[s] = 0;
    gone[s] = 1;
    for (int c = first; c >= 0; c = cells[c].next) {
      const int k = cells[c].link;
      alive[k] = 0;
      if (k != zero) add(t, other(k, s));
    }
    if (t >= terminals) work.push_back(t);
  }
  Tree out;
  out.terminals = terminals;
  out.points.reserve(pts.size());
  out.links.reserve(pts.size());
  std::vector<int> number(static_cast<size_t>(n), -1);
  for (int i = 0; i < n; i++) {
    if (i >= terminals && gone[i]) continue;
    number[i] = static_cast<int>(out.points.size());
    out.points.push_back(pts[i]);
  }
  for (size_t k = 0; k < links.size(); k++)
    if (alive[k]) out.links.push_back({number[links[k].first], number[links[k].second]});
  return out;
}

// Positions of the points along a Hilbert curve over their bounding box.
std::vector<int> hilbert_order(const std::vector<Point> &p) {
  double lo_x = p[0].x, hi_x = p[0].x, lo_y = p[0].y, hi_y = p[0].y;
  for (const Point &q : p) {
    lo_x = std::min(lo_x, q.x), hi_x = std::max(hi_x, q.x);
    lo_y = std::min(lo_y, q.y), hi_y = std::max(hi_y, q.y);
  }
  constexpr uint32_t side = 1u << 16;
  const double span = std::max({hi_x - lo_x, hi_y - lo_y, 1e-300});
  std::vector<std::pair<uint64_t, int>> key(p.size());
  for (size_t i = 0; i < p.size(); i++) {
    uint32_t x = static_cast<uint32_t>(std::min((p[i].x - lo_x) / span * (side - 1), side - 1.0));
    uint32_t y = static_cast<uint32_t>(std::min((p[i].y - lo_y) / span * (side - 1), side - 1.0));
    uint64_t d = 0;
    for (uint32_t s = side / 2; s > 0; s /= 2) {
      const uint32_t rx = (x & s) ? 1 : 0, ry = (y & s) ? 1 : 0;
      d += static_cast<uint64_t>(s) * s * ((3 * rx) ^ ry);
      if (ry == 0) {  // rotate the quadrant
        if (rx == 1) {
          x = side - 1 - x;
          y = side - 1 - y;
        }
        std::swap(x, y);
      }
    }
    key[i] = {d, static_cast<int>(i)};
  }
  std::sort(key.begin(), key.end());
  std::vector<int> order(p.size());
  for (size_t i = 0; i < p.size(); i++) order[i] = key[i].second;
  return order;
}

// ---- Few pins ----

// The Hanan grid points that are no pin's place.
std::vector<Point> hanan_points(const std::vector<Point> &pins) {
  std::vector<double> xs, ys;
  for (const Point &p : pins) {
    xs.push_back(p.x);
    ys.push_back(p.y);
  }
  std::sort(xs.begin(), xs.end());
  xs.erase(std::unique(xs.begin(), xs.end()), xs.end());
  std::sort(ys.begin(), ys.end());
  ys.erase(std::unique(ys.begin(), ys.end()), ys.end());
  std::vector<Point> out;
  for (double x : xs)
    for (double y : ys)
      if (std::find(pins.begin(), pins.end(), Point{x, y}) == pins.end()) out.push_back({x, y});
  return out;
}

std::vector<Link> complete_mst(const std::vector<Point> &p) {
  std::vector<Link> all;
  for (int i = 0; i < static_cast<int>(p.size()); i++)
    for (int j = 0; j < i; j++) all.push_back({j, i});
  return kruskal(p, all);
}

// The length of a minimum spanning tree over pts and, when given, `extra`:
// Prim's algorithm on the complete graph, O(n^2) in two reused buffers. Every
// minimum spanning tree has the same link lengths; they are added in
// increasing order, the order Kruskal's algorithm takes them in, so the sum
// is the very double links_length(pts, complete_mst(pts)) gives.
double mst_length(const std::vector<Point> &pts, const Point *extra, std::vector<double> &dist,
                  std::vector<double> &lens) {
  const size_t n = pts.size() + (extra ? 1 : 0);
  auto at = [&](size_t i) -> const Point & { return i < pts.size() ? pts[i] : *extra; };
  const double inf = std::numeric_limits<double>::infinity();
  dist.assign(n, inf);  // -1: in the tree
  lens.clear();
  size_t last = 0;
  dist[0] = -1.0;
  for (size_t joined = 1; joined < n; joined++) {
    size_t best = 0;
    double best_d = inf;
    for (size_t i = 1; i < n; i++) {
      if (dist[i] < 0.0) continue;
      const double d = manhattan(at(last), at(i));
      if (d < dist[i]) dist[i] = d;
      if (dist[i] < best_d || best == 0) best_d = dist[i], best = i;
    }
    lens.push_back(best_d);
    dist[best] = -1.0;
    last = best;
  }
  std::sort(lens.begin(), lens.end());
  double sum = 0.0;
  for (double l : lens) sum += l;
  return sum;
}

// The spanning tree of pts and one more point c, measured: a minimum spanning
// tree of pts plus the links from c to every point contains one of pts and c
// (a link of the complete graph outside both closes a cycle in which it is
// the longest), so Kruskal's algorithm over those 2n - 1 links, taken in
// increasing length, finds its lengths; added in that order they give the
// very double mst_length gives (every minimum spanning tree has the same
// lengths). O(n log n) per point c instead of Prim's O(n^2).
class PlusOne {
 public:
  explicit PlusOne(const std::vector<Point> &pts) : pts_(pts) {
    // The base tree's links by Prim's algorithm, then in increasing length.
    const size_t n = pts.size();
    const double inf = std::numeric_limits<double>::infinity();
    std::vector<double> dist(n, inf);
    std::vector<int> from(n, 0);
    size_t last = 0;
    dist[0] = -1.0;
    for (size_t joined = 1; joined < n; joined++) {
      size_t best = 0;
      double best_d = inf;
      for (size_t i = 1; i < n; i++) {
        if (dist[i] < 0.0) continue;
        const double d = manhattan(pts[last], pts[i]);
        if (d < dist[i]) dist[i] = d, from[i] = static_cast<int>(last);
        if (dist[i] < best_d || best == 0) best_d = dist[i], best = i;
      }
      base_.push_back({best_d, from[best], static_cast<int>(best)});
      dist[best] = -1.0;
      last = best;
    }
    std::sort(base_.begin(), base_.end(), [](const Edge &a, const Edge &b) { return a.len < b.len; });
  }

  double length_with(const Point &c) {
    const int n = static_cast<int>(pts_.size());
    star_.resize(static_cast<size_t>(n));
    for (int i = 0; i < n; i++) star_[i] = {manhattan(c, pts_[i]), n, i};
    std::sort(star_.begin(), star_.end(), [](const Edge &a, const Edge &b) { return a.len < b.len; });
    up_.resize(static_cast<size_t>(n) + 1);
    for (int i = 0; i <= n; i++) up_[i] = i;
    auto find = [&](int v) {
      while (up_[v] != v) v = up_[v] = up_[up_[v]];
      return v;
    };
    double sum = 0.0;
    int joined = 0;
    size_t a = 0, b = 0;
    while (joined < n) {
      const Edge &e = b >= star_.size() || (a < base_.size() && base_[a].len <= star_[b].len) ? base_[a++] : star_[b++];
      const int u = find(e.a), v = find(e.b);
      if (u == v) continue;
      up_[u] = v;
      sum += e.len;
      joined++;
    }
    return sum;
  }

 private:
  struct Edge {
    double len;
    int a, b;
  };
  const std::vector<Point> &pts_;
  std::vector<Edge> base_, star_;
  std::vector<int> up_;
};

// Iterated 1-Steiner: add the Hanan point that shortens the spanning tree
// most, drop Steiner points of degree 2 or less, repeat while a point helps.
// The trial trees are only measured (PlusOne, mst_length); the degrees and
// the tree returned come from Kruskal's tree.
Tree one_steiner(const std::vector<Point> &pins) {
  const size_t n = pins.size();
  const double tol = tolerance(pins);
  std::vector<Point> hanan = hanan_points(pins);
  std::vector<Point> pts(pins);
  std::vector<double> dist, lens;
  double now = mst_length(pts, nullptr, dist, lens);
  for (;;) {
    double best = now - tol;
    const Point *chosen = nullptr;
    PlusOne plus(pts);
    for (const Point &c : hanan) {
      if (std::find(pts.begin(), pts.end(), c) != pts.end()) continue;
      const double len = plus.length_with(c);
      if (len < best) best = len, chosen = &c;
    }
    if (!chosen) break;
    pts.push_back(*chosen);
    for (bool dropped = true; dropped;) {
      dropped = false;
      std::vector<int> degree(pts.size(), 0);
      for (const Link &l : complete_mst(pts)) degree[l.first]++, degree[l.second]++;
      for (size_t s = pts.size(); s-- > n;)
        if (degree[s] <= 2) {
          pts.erase(pts.begin() + static_cast<std::ptrdiff_t>(s));
          dropped = true;
          break;
        }
    }
    now = mst_length(pts, nullptr, dist, lens);
  }
  return tidy(pts, static_cast<int>(n), complete_mst(pts));
}

// Exact: Dreyfus-Wagner over the Hanan grid of the distinct pin places. For
// every set S of places and grid point v, best[S][v] is the length of the
// shortest tree joining S and v: a split of S at v (joined[S][v]) reached from
// some grid point u by a straight rectilinear wire. The tree is read back
// from the recorded choices; the spanning tree of the points it uses is no
// longer than it, so that is what is returned.
Tree exact_steiner(const std::vector<Point> &pins) {
  std::vector<Point> places(pins);
  std::sort(places.begin(), places.end(), [](const Point &a, const Point &b) { return a.x != b.x ? a.x < b.x : a.y < b.y; });
  places.erase(std::unique(places.begin(), places.end()), places.end());
  std::vector<Point> grid = hanan_points(places);
  grid.insert(grid.begin(), places.begin(), places.end());  // place i is grid point i
  const size_t k = places.size(), v = grid.size(), full = (size_t{1} << k) - 1;
  const double inf = std::numeric_limits<double>::infinity();
  std::vector<double> joined((full + 1) * v, inf), best((full + 1) * v, inf);
  std::vector<uint32_t> split((full + 1) * v, 0), from((full + 1) * v, 0);
  for (size_t set = 1; set <= full; set++) {
    double *j = &joined[set * v];
    if ((set & (set - 1)) == 0) {
      j[static_cast<size_t>(__builtin_ctzll(set))] = 0.0;
    } else {
      for (size_t g = 0; g < v; g++)
        for (size_t t = (set - 1) & set; t > 0; t = (t - 1) & set) {
          if (t > (set ^ t)) continue;
          const double len = best[t * v + g] + best[(set ^ t) * v + g];
          if (len < j[g]) j[g] = len, split[set * v + g] = static_cast<uint32_t>(t);
        }
    }
    for (size_t g = 0; g < v; g++)
      for (size_t u = 0; u < v; u++) {
        const double len = j[u] + manhattan(grid[u], grid[g]);
        if (len < best[set * v + g]) best[set * v + g] = len, from[set * v + g] = static_cast<uint32_t>(u);
      }
  }
  // The points the optimal tree uses, walking its choices from the full set.
  std::vector<char> uses(v, 0);
  std::vector<std::pair<size_t, size_t>> stack{{full, 0}};
  while (!stack.empty()) {
    const auto [set, g] = stack.back();
    stack.pop_back();
    const size_t u = from[set * v + g];
    uses[g] = uses[u] = 1;
    if ((set & (set - 1)) == 0) continue;
    const size_t t = split[set * v + u];
    stack.push_back({t, u});
    stack.push_back({set ^ t, u});
  }
  std::vector<Point> pts(pins);
  for (size_t g = k; g < v; g++)
    if (uses[g]) pts.push_back(grid[g]);
  return tidy(pts, static_cast<int>(pins.size()), complete_mst(pts));
}

// ---- Edge substitution (any number of pins) ----

struct Rooting {
  std::vector<int> parent, parent_link, depth, queue;
};

// The links at each point, in increasing link order, as one array: the links
// at v are list[start[v] .. start[v + 1]). Rebuilt in place each pass, so that
// a pass allocates nothing once the buffers have grown.
struct Adjacency {
  std::vector<int> start, list, cursor;

  void build(int n, const std::vector<Link> &links) {
    start.assign(static_cast<size_t>(n) + 1, 0);
    for (const Link &l : links) start[l.first + 1]++, start[l.second + 1]++;
    for (int v = 0; v < n; v++) start[v + 1] += start[v];
    cursor.assign(start.begin(), start.end() - 1);
    list.resize(2 * links.size());
    for (size_t k = 0; k < links.size(); k++) {
      list[cursor[links[k].first]++] = static_cast<int>(k);
      list[cursor[links[k].second]++] = static_cast<int>(k);
    }
  }
  const int *begin(int v) const { return list.data() + start[v]; }
  const int *end(int v) const { return list.data() + start[v + 1]; }
};

void root_at_zero(int n, const Adjacency &adj, const std::vector<Link> &links, Rooting &r) {
  r.parent.assign(static_cast<size_t>(n), -1);
  r.parent_link.assign(static_cast<size_t>(n), -1);
  r.depth.assign(static_cast<size_t>(n), -1);
  r.queue.assign(1, 0);
  r.depth[0] = 0;
  for (size_t head = 0; head < r.queue.size(); head++) {
    const int u = r.queue[head];
    for (const int *k = adj.begin(u); k != adj.end(u); ++k) {
      const int v = links[*k].first == u ? links[*k].second : links[*k].first;
      if (r.depth[v] >= 0) continue;
      r.depth[v] = r.depth[u] + 1;
      r.parent[v] = u;
      r.parent_link[v] = *k;
      r.queue.push_back(v);
    }
  }
}

// The links on the tree path between u and v into `path`; false when there are
// more than MAX_PATH.
bool tree_path(int u, int v, const Rooting &r, std::vector<int> &path) {
  path.clear();
  while (u != v) {
    if (static_cast<int>(path.size()) >= MAX_PATH) return false;
    if (r.depth[u] >= r.depth[v]) {
      path.push_back(r.parent_link[u]);
      u = r.parent[u];
    } else {
      path.push_back(r.parent_link[v]);
      v = r.parent[v];
    }
  }
  return true;
}

struct Substitution {
  double gain;
  int w;     // point joined to the link
  int link;  // the link e
};

// What joining w to link e gains on the tree rooted by r: fills `path` with the
// links from w to e's nearer end and *longest with the longest of them.
// Returns a gain <= 0 when the move does not apply.
double substitution_gain(const std::vector<Point> &p, const std::vector<Link> &links, const Rooting &r, int w, int e,
                         std::vector<int> &path, int *longest) {
  const int a = links[e].first, b = links[e].second;
  if (w == a || w == b) return 0.0;
  if (!tree_path(w, a, r, path)) return 0.0;
  auto at = std::find(path.begin(), path.end(), e);
  if (at != path.end()) path.erase(at);  // b lies between w and a
  if (path.empty()) return 0.0;
  int best = path[0];
  double best_len = -1.0;
  for (int k : path) {
    const double len = manhattan(p[links[k].first], p[links[k].second]);
    if (len > best_len) {
      best_len = len;
      best = k;
    }
  }
  *longest = best;
  const Point s = median(p[a], p[b], p[w]);
  return manhattan(p[a], p[b]) + best_len - (manhattan(s, p[a]) + manhattan(s, p[b]) + manhattan(s, p[w]));
}

Tree edge_substitution(const std::vector<Point> &pins) {
  const int terminals = static_cast<int>(pins.size());
  const double tol = tolerance(pins);
  std::vector<Point> pts(pins);
  // Geometric neighbours of the pins, found once (the spanning tree's
  // candidate links too); a Steiner point's neighbours are its tree
  // neighbours. Point numbers stay fixed until the final tidy, so later
  // passes look only at the points around the moves of the pass before.
  const std::vector<Link> octants = octant_neighbours(pins);
  std::vector<Link> links = spanning_tree_over(pts, octants);
  // near_list[near_start[v] .. near_start[v + 1]): pin v's octant
  // neighbours, each once.
  std::vector<int> near_start(static_cast<size_t>(terminals) + 1, 0), near_list(2 * octants.size());
  for (const Link &l : octants) near_start[l.first + 1]++, near_start[l.second + 1]++;
  for (int v = 0; v < terminals; v++) near_start[v + 1] += near_start[v];
  {
    std::vector<int> at(near_start.begin(), near_start.end() - 1);
    for (const Link &l : octants) {
      near_list[at[l.first]++] = l.second;
      near_list[at[l.second]++] = l.first;
    }
    int kept = 0;
    for (int v = 0, from = 0; v < terminals; v++) {
      const int to = near_start[v + 1];
      std::sort(near_list.begin() + from, near_list.begin() + to);
      near_start[v] = kept;
      for (int i = from; i < to; i++)
        if (i == from || near_list[i] != near_list[i - 1]) near_list[kept++] = near_list[i];
      from = to;
    }
    near_start[terminals] = kept;
    near_list.resize(static_cast<size_t>(kept));
  }
  std::vector<char> active(static_cast<size_t>(terminals), 1);
  std::vector<int> path, seen;
  std::vector<Substitution> found;
  Adjacency adj;
  Rooting r;
  std::vector<char> touched, removed, is_marked;
  std::vector<Link> added, next;
  std::vector<int> marked;
  std::vector<double> link_length;
  // The same, packed for the walks: each point's way up the rooted tree,
  // each link's ends and length.
  struct Up {
    int parent, link, depth;
    double length;  // of the link to the parent
  };
  struct Ends {
    int a, b;
    double length;
    Point lo, hi;  // min and max of the ends' coordinates, as median3 takes them
  };
  std::vector<Up> up;
  std::vector<Ends> link_ends;
  // Room for a tree of twice the pins' points (more grow as needed), so that
  // the passes reallocate nothing.
  const size_t room = 2 * static_cast<size_t>(terminals);
  pts.reserve(room);
  links.reserve(room);
  next.reserve(room);
  active.reserve(room);
  seen.reserve(room);
  up.reserve(room);
  link_ends.reserve(room);
  link_length.reserve(room);
  touched.reserve(room);
  removed.reserve(room);
  is_marked.reserve(room);
  r.parent.reserve(room);
  r.parent_link.reserve(room);
  r.depth.reserve(room);
  r.queue.reserve(room);
  adj.start.reserve(room + 1);
  adj.cursor.reserve(room + 1);
  adj.list.reserve(2 * room);
  found.reserve(KEPT_PER_POINT * room);
  added.reserve(3 * room);
  marked.reserve(8 * room);
  path.reserve(MAX_PATH + 1);
  // The order of candidates: larger gain first, then the lower link.
  auto before = [](const Substitution &s, const Substitution &t) {
    return s.gain != t.gain ? s.gain > t.gain : s.link < t.link;
  };
  for (int pass = 0; pass < MAX_PASSES; pass++) {
    const int n = static_cast<int>(pts.size());
    active.resize(static_cast<size_t>(n), 1);
    adj.build(n, links);
    root_at_zero(n, adj, links, r);
    link_length.resize(links.size());
    link_ends.resize(links.size());
    for (size_t k = 0; k < links.size(); k++) {
      link_length[k] = manhattan(pts[links[k].first], pts[links[k].second]);
      const Point &a = pts[links[k].first], &b = pts[links[k].second];
      link_ends[k] = {links[k].first, links[k].second, link_length[k], {std::min(a.x, b.x), std::min(a.y, b.y)},
                      {std::max(a.x, b.x), std::max(a.y, b.y)}};
    }
    up.resize(static_cast<size_t>(n));
    for (int v = 0; v < n; v++)
      up[v] = {r.parent[v], r.parent_link[v], r.depth[v], r.parent_link[v] >= 0 ? link_length[r.parent_link[v]] : -1.0};
    seen.assign(static_cast<size_t>(n), -1);
    found.clear();
    for (int w = 0; w < n; w++) {
      if (!active[w]) continue;
      // The KEPT_PER_POINT best moves of w (in the order `before`, a move
      // found through both ends of its link counting twice), over the links
      // at w's neighbours x: its octant neighbours and its tree neighbours.
      Substitution best[KEPT_PER_POINT];
      int kept = 0;
      auto try_neighbour = [&](int x) __attribute__((always_inline)) {
        if (seen[x] == w) return;
        seen[x] = w;
        // One walk up the rooted tree from both ends gives the tree path's
        // longest link (first), the link at x that ends it (at_x) and the
        // longest link but at_x (second): the link that ends the path at x
        // is not counted when it is the one joined. Paths of more than
        // MAX_PATH links are not followed.
        int u = w, v = x, du = up[w].depth, dv = up[x].depth;
        if (du - dv > MAX_PATH || dv - du > MAX_PATH) return;
        int steps = 0, at_x, w_last = -1;
        double w_max = -1.0, w_before_last = -1.0, first, second;
        auto w_step = [&] {
          const Up &s = up[u];
          w_before_last = w_max;
          w_max = std::max(w_max, s.length);
          w_last = s.link;
          u = s.parent;
          du--;
          steps++;
        };
        while (du > dv) w_step();
        if (u == v) {  // x lies above w: the path ends at x by w's side
          at_x = w_last;
          first = w_max;
          second = w_before_last;
        } else {
          at_x = up[x].link;
          const double x_first = up[x].length;
          double x_rest = -1.0;
          v = up[x].parent;
          dv--;
          steps++;
          for (; dv > du; dv--, steps++) {
            x_rest = std::max(x_rest, up[v].length);
            v = up[v].parent;
          }
          if (du > dv) w_step();
          if (steps > MAX_PATH) return;
          while (u != v) {
            if (steps + 2 > MAX_PATH) return;
            w_step();
            x_rest = std::max(x_rest, up[v].length);
            v = up[v].parent;
            steps++;
          }
          second = std::max(w_max, x_rest);
          first = std::max(second, x_first);
        }
        const Point &pw = pts[w];
        for (const int *at = adj.begin(x); at != adj.end(x); ++at) {
          const int e = *at;
          const Ends &ends = link_ends[e];
          if (ends.a == w || ends.b == w) continue;
          const double longest = e == at_x ? second : first;
          if (longest < 0.0) continue;
          const Point &pa = pts[ends.a], &pb = pts[ends.b];
          // median(pa, pb, pw), with e's box computed once
          const Point s{std::max(ends.lo.x, std::min(ends.hi.x, pw.x)), std::max(ends.lo.y, std::min(ends.hi.y, pw.y))};
          // The new wires to a and b are as long as e in exact arithmetic,
          // so a wire to w at least `longest` long gains nothing (rounding
          // stays far below tol).
          const double to_w = manhattan(s, pw);
          if (to_w >= longest) continue;
          const double gain = ends.length + longest - (manhattan(s, pa) + manhattan(s, pb) + to_w);
          if (gain <= tol) continue;
          const Substitution m{gain, w, e};
          if (kept < KEPT_PER_POINT) {
            best[kept++] = m;
          } else if (before(m, best[KEPT_PER_POINT - 1])) {
            best[KEPT_PER_POINT - 1] = m;
          } else {
            continue;
          }
          for (int i = kept - 1; i > 0 && before(best[i], best[i - 1]); i--) std::swap(best[i], best[i - 1]);
        }
      };
      seen[w] = w;
      if (w < terminals)
        for (int i = near_start[w]; i < near_start[w + 1]; i++) try_neighbour(near_list[i]);
      for (const int *k = adj.begin(w); k != adj.end(w); ++k)
        try_neighbour(links[*k].first == w ? links[*k].second : links[*k].first);
      found.insert(found.end(), best, best + kept);
    }
    if (found.empty()) break;
    std::sort(found.begin(), found.end(), [](const Substitution &s, const Substitution &t) {
      return s.gain != t.gain ? s.gain > t.gain : std::tie(s.w, s.link) < std::tie(t.w, t.link);
    });
    // A move relies on its link e and the tree path to it; once a move has
    // removed or relied on a link, later moves that touch it wait for the next
    // pass (their gain and even their validity may have changed).
    touched.assign(links.size(), 0);
    removed.assign(links.size(), 0);
    added.clear();
    marked.clear();
    for (const Substitution &m : found) {
      if (touched[m.link]) continue;
      int longest = -1;
      const double gain = substitution_gain(pts, links, r, m.w, m.link, path, &longest);
      if (gain <= tol) continue;
      if (std::any_of(path.begin(), path.end(), [&](int k) { return touched[k] != 0; })) continue;
      touched[m.link] = 1;
      for (int k : path) {
        touched[k] = 1;
        marked.push_back(links[k].first);
        marked.push_back(links[k].second);
      }
      removed[m.link] = removed[longest] = 1;
      const int a = links[m.link].first, b = links[m.link].second;
      const Point s = median(pts[a], pts[b], pts[m.w]);
      int hub;
      if (s == pts[a])
        hub = a;
      else if (s == pts[b])
        hub = b;
      else if (s == pts[m.w])
        hub = m.w;
      else {
        hub = static_cast<int>(pts.size());
        pts.push_back(s);
      }
      for (int v : {a, b, m.w})
        if (v != hub) added.push_back({hub, v});
      marked.insert(marked.end(), {a, b, m.w, hub});
    }
    if (added.empty()) break;
    next.clear();
    for (size_t k = 0; k < links.size(); k++)
      if (!removed[k]) next.push_back(links[k]);
    next.insert(next.end(), added.begin(), added.end());
    links.swap(next);
    // Next pass: the points the moves touched and their neighbours (in the
    // new tree and among the pins).
    active.assign(pts.size(), 0);
    is_marked.assign(pts.size(), 0);
    for (int v : marked) {
      active[v] = 1;
      is_marked[v] = 1;
      if (v < terminals)
        for (int i = near_start[v]; i < near_start[v + 1]; i++) active[near_list[i]] = 1;
    }
    for (const Link &l : links) {
      if (is_marked[l.first]) active[l.second] = 1;
      if (is_marked[l.second]) active[l.first] = 1;
    }
  }
  return tidy(pts, terminals, links);
}

}  // namespace

double length(const Tree &t) { return links_length(t.points, t.links); }

std::vector<Link> octant_neighbours(const std::vector<Point> &points) {
  // One sweep per pair of opposite octants, on coordinates reflected so that
  // the octant looked at is always {dy >= dx >= 0}: there the nearest point j
  // of i has xj >= xi and yj - xj >= yi - xi, and the least xj + yj. Points are
  // taken by decreasing x (and y), and a Fenwick tree over the ranks of y - x
  // answers "least x + y among the points taken with y - x at least this".
  //
  // The four sweeps see the points as (x, y), (y, x), (-y, x) and (x, -y):
  // the second's y - x is the first's negated, bit for bit, and the fourth's
  // the third's, so two sorts give the four rankings. Sorts run on keys
  // copied out of the points (the comparisons then touch no other array).
  const int n = static_cast<int>(points.size());
  std::vector<Point> p(points);
  std::vector<int> rank(static_cast<size_t>(n)), mirrored(static_cast<size_t>(n));
  struct Key {
    double a, b;
    int i;
    bool operator<(const Key &k) const { return a != k.a ? a < k.a : b != k.b ? b < k.b : i < k.i; }
  };
  std::vector<Key> keys(static_cast<size_t>(n));
  std::vector<std::pair<double, int>> fenwick;  // (x + y, point) minima over suffixes of ranks
  std::vector<Link> out;
  out.reserve(4 * static_cast<size_t>(n));
  const std::pair<double, int> none{std::numeric_limits<double>::infinity(), -1};
  for (int sweep = 0; sweep < 4; sweep++) {
    if (sweep % 2 == 0) {
      // rank 1 for the largest y - x; equal values share a rank. The next
      // sweep's y - x is this one's negated: its ranks run the other way.
      for (int i = 0; i < n; i++) keys[i] = {-(p[i].y - p[i].x), 0.0, i};
      std::sort(keys.begin(), keys.end());
      int groups = 0;
      for (int k = 0; k < n; k++) {
        if (k == 0 || keys[k].a != keys[k - 1].a) groups++;
        rank[keys[k].i] = groups;
      }
      for (int i = 0; i < n; i++) mirrored[i] = groups + 1 - rank[i];
    } else {
      rank.swap(mirrored);
    }
    for (int i = 0; i < n; i++) keys[i] = {-p[i].x, -p[i].y, i};
    std::sort(keys.begin(), keys.end());
    fenwick.assign(static_cast<size_t>(n) + 1, none);
    for (const Key &key : keys) {
      const int i = key.i;
      std::pair<double, int> best = none;
      for (int r = rank[i]; r > 0; r -= r & -r) best = std::min(best, fenwick[r]);
      if (best.second >= 0) out.push_back({i, best.second});
      const std::pair<double, int> mine{p[i].x + p[i].y, i};
      for (int r = rank[i]; r <= n; r += r & -r) fenwick[r] = std::min(fenwick[r], mine);
    }
    for (Point &q : p) {
      if (sweep & 1)
        q.x = -q.x;
      else
        std::swap(q.x, q.y);
    }
  }
  return out;
}

std::vector<Link> spanning_tree(const std::vector<Point> &p) {
  if (p.size() < 2) return {};
  return spanning_tree_over(p, octant_neighbours(p));
}

namespace {

std::vector<Link> spanning_tree_over(const std::vector<Point> &p, std::vector<Link> candidates) {
  if (p.size() < 2) return {};
  std::vector<Link> tree = kruskal(p, candidates);
  if (tree.size() + 1 < p.size()) {
    // Rounding in the sweep's sums can in principle lose a link the proof
    // promises; a path through the points in coordinate order reconnects them.
    std::vector<int> order(p.size());
    std::iota(order.begin(), order.end(), 0);
    std::sort(order.begin(), order.end(),
              [&](int i, int j) { return p[i].x != p[j].x ? p[i].x < p[j].x : p[i].y < p[j].y; });
    for (size_t i = 1; i < order.size(); i++) candidates.push_back({order[i - 1], order[i]});
    tree = kruskal(p, candidates);
  }
  return tree;
}

}  // namespace

Tree steiner_tree(const std::vector<Point> &pins) {
  if (pins.size() <= 2) {
    Tree t;
    t.points = pins;
    t.terminals = static_cast<int>(pins.size());
    if (pins.size() == 2) t.links.push_back({0, 1});
    return t;
  }
  // Distinct places, counted as far as EXACT_PLACES + 1.
  Point places[EXACT_PLACES + 1];
  int distinct = 0;
  for (size_t i = 0; i < pins.size() && distinct <= EXACT_PLACES; i++)
    if (std::find(places, places + distinct, pins[i]) == places + distinct) places[distinct++] = pins[i];
  if (distinct <= EXACT_PLACES) return exact_steiner(pins);
  if (static_cast<int>(pins.size()) <= SMALL_NET) return one_steiner(pins);
  // Work on the pins in Hilbert-curve order, so that points near each other
  // in the plane lie near each other in memory (on 100,000 pins in input
  // order the tree walks spend most of their time waiting for memory), and
  // give them their numbers back at the end.
  const std::vector<int> order = hilbert_order(pins);
  std::vector<Point> sorted(pins.size());
  for (size_t i = 0; i < order.size(); i++) sorted[i] = pins[order[i]];
  Tree t = edge_substitution(sorted);
  std::vector<int> back(t.points.size());
  std::iota(back.begin(), back.end(), 0);
  for (size_t i = 0; i < order.size(); i++) {
    back[i] = order[i];
    t.points[order[i]] = sorted[i];
  }
  for (Link &l : t.links) l = {back[l.first], back[l.second]};
  return t;
}

Tree timing_tree(const Tree &t, int root, double alpha) {
  const int n = static_cast<int>(t.points.size());
  const std::vector<Point> &p = t.points;
  std::vector<std::vector<int>> adj(static_cast<size_t>(n));
  auto join = [&](int a, int b) {
    adj[a].push_back(b);
    adj[b].push_back(a);
  };
  for (const Link &l : octant_neighbours(p)) join(l.first, l.second);
  for (const Link &l : t.links) join(l.first, l.second);

  // Prim-Dijkstra: key(v) = alpha * path(u) + |uv| over the tree's points u;
  // equal keys go to the shorter link (the nearer parent), which lets paths
  // share wire when alpha is 1.
  const double inf = std::numeric_limits<double>::infinity();
  std::vector<double> key(static_cast<size_t>(n), inf), link_len(static_cast<size_t>(n), inf), path(static_cast<size_t>(n), 0.0);
  std::vector<int> parent(static_cast<size_t>(n), -1);
  std::vector<char> done(static_cast<size_t>(n), 0);
  using Entry = std::tuple<double, double, int>;
  std::priority_queue<Entry, std::vector<Entry>, std::greater<Entry>> heap;
  key[root] = 0.0;
  link_len[root] = 0.0;
  heap.emplace(0.0, 0.0, root);
  while (!heap.empty()) {
    const auto [k, len, v] = heap.top();
    heap.pop();
    if (done[v] || k != key[v] || len != link_len[v]) continue;
    done[v] = 1;
    if (parent[v] >= 0) path[v] = path[parent[v]] + manhattan(p[parent[v]], p[v]);
    for (int x : adj[v]) {
      if (done[x]) continue;
      const double d = manhattan(p[v], p[x]);
      const double kx = alpha * path[v] + d;
      if (kx < key[x] || (kx == key[x] && d < link_len[x])) {
        key[x] = kx;
        link_len[x] = d;
        parent[x] = v;
        heap.emplace(kx, d, x);
      }
    }
  }

  // Shared stretches: at every node, while two children lie towards the same
  // side, their common stretch becomes one wire to a Steiner point at the
  // median of the three (or to the child that already stands there).
  std::vector<Point> pts(p);
  std::vector<std::vector<int>> children(static_cast<size_t>(n));
  for (int v = 0; v < n; v++)
    if (parent[v] >= 0) children[parent[v]].push_back(v);
  const double tol = tolerance(p);
  std::vector<int> queue{root};
  for (size_t head = 0; head < queue.size(); head++) {
    const int u = queue[head];
    for (;;) {
      std::vector<int> &c = children[u];
      double best = tol;
      size_t bi = 0, bj = 0;
      for (size_t i = 0; i < c.size(); i++)
        for (size_t j = i + 1; j < c.size(); j++) {
          const double overlap = manhattan(pts[u], median(pts[u], pts[c[i]], pts[c[j]]));
          if (overlap > best) {
            best = overlap;
            bi = i;
            bj = j;
          }
        }
      if (best <= tol) break;
      const int vi = c[bi], vj = c[bj];
      const Point s = median(pts[u], pts[vi], pts[vj]);
      c.erase(c.begin() + static_cast<std::ptrdiff_t>(bj));  // bj > bi
      if (s == pts[vi]) {
        children[vi].push_back(vj);
      } else if (s == pts[vj]) {
        c[bi] = vj;
        children[vj].push_back(vi);
      } else {
        const int sp = static_cast<int>(pts.size());
        pts.push_back(s);
        children.push_back({vi, vj});
        children[u][bi] = sp;
      }
    }
    for (int v : children[u]) queue.push_back(v);
  }
  std::vector<Link> links;
  for (size_t u = 0; u < children.size(); u++)
    for (int v : children[u]) links.push_back({static_cast<int>(u), v});
  return tidy(pts, t.terminals, links);
}

std::string check(const Tree &t) {
  const int n = static_cast<int>(t.points.size());
  if (t.terminals < 0 || t.terminals > n) return "terminal count outside the point count";
  if (n == 0) return t.links.empty() ? "" : "links without points";
  if (static_cast<int>(t.links.size()) != n - 1)
    return std::to_string(t.links.size()) + " links for " + std::to_string(n) + " points";
  std::vector<std::vector<int>> adj(static_cast<size_t>(n));
  for (const Link &l : t.links) {
    if (l.first < 0 || l.first >= n || l.second < 0 || l.second >= n || l.first == l.second)
      return "link " + std::to_string(l.first) + "-" + std::to_string(l.second) + " is not between two points";
    adj[l.first].push_back(l.second);
    adj[l.second].push_back(l.first);
  }
  std::vector<char> seen(static_cast<size_t>(n), 0);
  std::vector<int> stack{0};
  seen[0] = 1;
  int reached = 1;
  while (!stack.empty()) {
    const int u = stack.back();
    stack.pop_back();
    for (int v : adj[u])
      if (!seen[v]) {
        seen[v] = 1;
        reached++;
        stack.push_back(v);
      }
  }
  if (reached != n) return "the links do not connect every point";
  for (int s = t.terminals; s < n; s++) {
    if (adj[s].size() < 3) return "Steiner point " + std::to_string(s) + " has degree " + std::to_string(adj[s].size());
    for (int v : adj[s])
      if (t.points[v] == t.points[s]) return "Steiner point " + std::to_string(s) + " lies on its neighbour " + std::to_string(v);
  }
  return "";
}

}  // namespace steiner
