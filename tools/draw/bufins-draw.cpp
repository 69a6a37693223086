// bufins-draw: a picture of a buffered net, as SVG or PNG, drawn with cairo.
//
//   bufins-draw [-p FILE] [-F FORMAT] [-o FILE] [-q] [-h] [-V] NET PLACEMENT [LIB]
//
// Wires follow their rectilinear route (vertical leg first, as segmentation
// places its nodes), the driver is a black square, sinks are dots coloured by
// their Elmore slack (red worst, green best; plain when no library is given),
// buffers are triangles a little way down the wire they drive, pointing along
// it, coloured by type, with a legend that names each type as the library
// does. Marks shrink and node labels vanish as the net grows; shapes of one
// colour go into one path, so a million-node net is a few large fills and
// strokes rather than millions of small ones.
//
// Every buffer triangle is one closed three-point subpath, and so is each
// buffer-type swatch of the legend; nothing else drawn is (tests count them).
//
// Exit status: 0 when the picture is written; 1 for a usage error, a picture
// that would replace an input, a file that cannot be opened, an error in the
// input files, or a failed write. The picture is written to a temporary and
// put in place only when whole (output_file.h): a failed run leaves an
// earlier picture of the same name as it was.
#include <cairo.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cli.h"
#include "cmdline.h"
#include "def.h"
#include "io.h"
#include "output_file.h"
#include "picture.h"
#include "placement.h"

namespace {

constexpr double PLOT = 900.0;     // longer side of the net's box, in pixels
constexpr double MARGIN = 30.0;
constexpr double LEGEND = 280.0;   // width of the legend column
constexpr int LABEL_LIMIT = 150;   // node labels only for nets up to this size
constexpr int SLACK_SHADES = 64;   // sinks are filled in this many colour steps
constexpr int BATCH = 20000;       // wire pieces per stroke

// The program's options: the picture options shared with bufins-plot, then its own.
std::vector<cmdline::OptionSpec> options() {
  std::vector<cmdline::OptionSpec> o = picture_options();
  o.push_back({'q', 'q', "quiet", nullptr, "print no warnings about the input files"});
  return o;
}

const cmdline::Program kProgram{
    "bufins-draw",
    "NET PLACEMENT [LIB]",
    "Draws the net NET with the buffers of PLACEMENT (a .buf file): wires, the\n"
    "driver, the sinks (coloured by their Elmore slack when the buffer library LIB\n"
    "is given) and one triangle per buffer, coloured by type, with a legend that\n"
    "names the types as LIB does. One input file may be '-', standard input.",
    options(),
    "Exit status: 0 when the picture is written; 1 for a usage error, a file that\n"
    "cannot be opened, an error in the input files (\"file:line: what is wrong\"),\n"
    "or a failed write (no partial picture is left)."};

struct Request {
  std::string net, placement, lib;  // lib empty: none given
  PictureRequest picture;
  bool quiet = false;
};

// The run the command line asks for; throws cmdline::UsageError.
Request read_request(const cmdline::Parsed &parsed) {
  Request r;
  for (const cmdline::Option &o : parsed.options)
    if (!r.picture.take(o, kProgram.name) && o.key == 'q') r.quiet = true;
  const std::vector<std::string> &files = parsed.operands;
  if (files.size() > 3) throw cmdline::UsageError("unexpected argument '" + files[3] + "'");
  if (files.size() < 2)
    throw cmdline::UsageError("needs the files NET and PLACEMENT, and LIB if the sinks are to show their slack");
  cmdline::at_most_one_standard_input(files);
  r.picture.finish();
  r.net = files[0];
  r.placement = files[1];
  if (files.size() == 3) r.lib = files[2];
  return r;
}

// The library's buffer names, by type, for the legend; empty when unknown.
struct Inputs {
  PlacementFile placement;
  std::vector<std::string> names;
};

// A stream that can be read twice: the library itself when it is a file that
// can seek, else a copy of it (standard input, a pipe) in a temporary file.
cmdline::Stream rereadable(cmdline::Stream in, const std::string &name) {
  if (std::fseek(in.get(), 0, SEEK_CUR) == 0) return in;
  cmdline::Stream copy(std::tmpfile(), &std::fclose);
  if (!copy) input_error(cmdline::display_name(name), 0, "cannot copy the library: %s", std::strerror(errno));
  char buf[1 << 14];
  size_t got;
  while ((got = std::fread(buf, 1, sizeof buf, in.get())) > 0)
    if (std::fwrite(buf, 1, got, copy.get()) != got) break;
  if (std::ferror(in.get()) || std::ferror(copy.get()) || std::fseek(copy.get(), 0, SEEK_SET) != 0)
    input_error(cmdline::display_name(name), 0, "cannot read the file: %s", std::strerror(errno));
  return copy;
}

// All reading happens here: the library (when given), the net and the
// placement file. Input errors leave as InputError, which main reports.
Inputs load_inputs(const Request &r) {
  Inputs in;
  WarningPrinter warnings(r.quiet, kProgram.name);
  const Warn warn = [&warnings](const std::string &text) { warnings.print(text); };
  if (!r.lib.empty()) {
    cmdline::Stream l = rereadable(open_file(r.lib.c_str(), "r"), r.lib);
    InputLib(l.get(), cmdline::display_name(r.lib), warn);
    in.names = library_names(l.get());
  }
  {
    File n = open_file(r.net.c_str(), "r");
    read_net(n.get(), cmdline::display_name(r.net), warn);
  }
  warnings.finish();
  in.placement = read_placement(r.placement, !r.lib.empty());
  return in;
}

struct Rgb {
  double r, g, b;
};

// Red through yellow to green.
Rgb slack_colour(double f) {
  if (f < 0.5) return {0.85, 0.15 + 1.4 * f, 0.1};
  return {0.85 - 1.5 * (f - 0.5), 0.85, 0.1};
}

// Eight fixed colours far from the sinks' red-yellow-green, then hues in
// golden-ratio steps round the wheel for any further type number.
Rgb type_colour(int type) {
  static const Rgb fixed[] = {{0.12, 0.47, 0.71}, {0.58, 0.40, 0.74}, {0.89, 0.47, 0.76}, {0.09, 0.75, 0.81},
                              {0.55, 0.34, 0.29}, {0.22, 0.23, 0.47}, {0.50, 0.50, 0.50}, {0.0, 0.50, 0.50}};
  if (type >= 1 && type <= 8) return fixed[type - 1];
  double h = std::fmod((type - 1) * 0.6180339887498949, 1.0) * 6.0;
  double s = 0.8, v = 0.8;
  int i = static_cast<int>(h);
  double f = h - i, p = v * (1 - s), q = v * (1 - s * f), t = v * (1 - s * (1 - f));
  switch (i % 6) {
    case 0: return {v, t, p};
    case 1: return {q, v, p};
    case 2: return {p, v, t};
    case 3: return {p, q, v};
    case 4: return {t, p, v};
    default: return {v, p, q};
  }
}

void set(cairo_t *cr, Rgb c) { cairo_set_source_rgb(cr, c.r, c.g, c.b); }

// Triangle with its centre at (x, y) pointing along the unit vector (ux, uy).
void triangle(cairo_t *cr, double x, double y, double ux, double uy, double s) {
  cairo_move_to(cr, x + ux * s, y + uy * s);
  cairo_line_to(cr, x - ux * s - uy * s * 0.9, y - uy * s + ux * s * 0.9);
  cairo_line_to(cr, x - ux * s + uy * s * 0.9, y - uy * s - ux * s * 0.9);
  cairo_close_path(cr);
}

// A point on a wire as drawn, and the wire's direction there.
struct Mark {
  double x, y, ux, uy;
};

// The point `d` pixels down the wire drawn from (ax, ay) to (bx, by), picture
// coordinates: its vertical leg first, then its horizontal one, never past b
// (a wire shorter than d has its mark at b, so every mark stands on its
// wire). A leg shorter than d is passed, however short, so a wire whose
// vertical leg is a fraction of a pixel points along its horizontal one, as
// it looks. A wire of no drawn length (a sink at its candidate node's place)
// has its mark at its point, pointing right.
Mark along_wire(double ax, double ay, double bx, double by, double d) {
  const double vertical = std::fabs(by - ay), horizontal = std::fabs(bx - ax);
  const double uy = by > ay ? 1 : -1, ux = bx > ax ? 1 : -1;
  if (vertical == 0 && horizontal == 0) return {ax, ay, 1, 0};
  d = std::min(d, vertical + horizontal);
  if (d <= vertical || horizontal == 0) return {ax, ay + uy * d, 0, uy};
  return {ax + ux * (d - vertical), by, ux, 0};
}

double clamp(double v, double lo, double hi) { return std::max(lo, std::min(hi, v)); }

// Draws the picture the request asks for onto `out`; cairo's status at the end.
cairo_status_t render(const Request &request, const Inputs &in, FILE *out) {
  const PlacementFile &pf = in.placement;
  const bool have_lib = !request.lib.empty();
  std::vector<int> order, parent;
  tree_order(order, parent);
  Timing timing;
  if (have_lib) timing = evaluate_placement(pf.buffer_on);

  // The box of the tree as drawn, and its scale into the plot.
  double minx = nodes[0].x, maxx = minx, miny = nodes[0].y, maxy = miny;
  int n_tree_sinks = 0;
  for (int p : order) {
    minx = std::min(minx, nodes[p].x);
    maxx = std::max(maxx, nodes[p].x);
    miny = std::min(miny, nodes[p].y);
    maxy = std::max(maxy, nodes[p].y);
    if (nodes[p].type == NODE_SINK) n_tree_sinks++;
  }
  double span = std::max(maxx - minx, maxy - miny);
  double scale = span > 0 && std::isfinite(PLOT / span) ? PLOT / span : 1.0;
  double plot_w = std::max((maxx - minx) * scale, 1.0), plot_h = std::max((maxy - miny) * scale, 1.0);
  auto X = [&](double x) { return MARGIN + (x - minx) * scale; };
  auto Y = [&](double y) { return MARGIN + (maxy - y) * scale; };

  std::vector<int> types;  // buffer types in use, ascending, with their counts
  std::vector<int> type_count;
  {
    std::vector<int> all;
    for (const PlacedBuffer &b : pf.buffers) all.push_back(b.type);
    std::sort(all.begin(), all.end());
    for (size_t i = 0; i < all.size(); i++) {
      if (i == 0 || all[i] != all[i - 1]) {
        types.push_back(all[i]);
        type_count.push_back(0);
      }
      type_count.back()++;
    }
  }

  const double line = 16.0;
  double legend_h = line * (9 + types.size());
  double W = MARGIN + plot_w + MARGIN + LEGEND;
  double H = std::max(plot_h + 2 * MARGIN, legend_h + 2 * MARGIN);
  cairo_surface_t *surface = picture_surface(out, request.picture.svg, W, H);
  cairo_t *cr = cairo_create(surface);
  cairo_set_source_rgb(cr, 1, 1, 1);
  cairo_paint(cr);

  const size_t n = order.size();
  const bool small = static_cast<int>(n) <= LABEL_LIMIT;

  // Wires.
  cairo_set_source_rgb(cr, 0.35, 0.35, 0.35);
  cairo_set_line_width(cr, n <= 2000 ? 1.2 : n <= 50000 ? 0.6 : 0.3);
  cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);
  // In pre-order a one-child node comes straight after its parent, so a chain
  // of segment pieces continues one polyline, without the corner of a
  // straight piece.
  int pieces = 0, last = -1;
  for (int k : order) {
    int p = parent[k];
    if (p < 0) continue;
    const Node &a = nodes[p], &b = nodes[k];
    if (p != last || pieces % BATCH == 0) {
      if (pieces % BATCH == 0) cairo_stroke(cr);
      cairo_move_to(cr, X(a.x), Y(a.y));
    }
    if (a.x != b.x && a.y != b.y) cairo_line_to(cr, X(a.x), Y(b.y));
    cairo_line_to(cr, X(b.x), Y(b.y));
    pieces++;
    last = k;
  }
  cairo_stroke(cr);

  // Sinks, one path per colour step.
  double worst = 0, best = 0;
  bool first = true;
  if (have_lib)
    for (int p : order)
      if (nodes[p].type == NODE_SINK) {
        double s = timing.sink_slack[p];
        worst = first ? s : std::min(worst, s);
        best = first ? s : std::max(best, s);
        first = false;
      }
  double radius = clamp(120.0 / std::sqrt(std::max(n_tree_sinks, 1)), 0.8, 5.0);
  const bool dots = n_tree_sinks <= 20000;
  auto shade_of = [&](int p) {
    if (!have_lib || !(best > worst)) return SLACK_SHADES - 1;
    double f = (timing.sink_slack[p] - worst) / (best - worst);
    return std::min(SLACK_SHADES - 1, static_cast<int>(f * SLACK_SHADES));
  };
  std::vector<std::vector<int>> by_shade(SLACK_SHADES);
  for (int p : order)
    if (nodes[p].type == NODE_SINK) by_shade[shade_of(p)].push_back(p);
  for (int s = 0; s < SLACK_SHADES; s++) {
    if (by_shade[s].empty()) continue;
    for (int p : by_shade[s]) {
      double x = X(nodes[p].x), y = Y(nodes[p].y);
      if (dots) {
        cairo_new_sub_path(cr);
        cairo_arc(cr, x, y, radius, 0, 2 * M_PI);
      } else {
        cairo_rectangle(cr, x - radius, y - radius, 2 * radius, 2 * radius);
      }
    }
    if (have_lib)
      set(cr, slack_colour((s + 0.5) / SLACK_SHADES));
    else
      cairo_set_source_rgb(cr, 0.1, 0.2, 0.6);
    cairo_fill(cr);
  }

  // Driver.
  cairo_set_source_rgb(cr, 0, 0, 0);
  cairo_rectangle(cr, X(nodes[0].x) - 5, Y(nodes[0].y) - 5, 10, 10);
  cairo_fill(cr);

  // Buffers, one path per type, each triangle a little way down its wire.
  double tri = clamp(150.0 / std::sqrt(static_cast<double>(pf.buffers.size()) + 1.0), 1.5, 7.0);
  std::vector<std::vector<int>> by_type(types.size());
  // Each mark stands 1.6 sizes down its wire. When both wires of a branch
  // carry a buffer and the two marks would touch (the wires leave along one
  // leg, or along legs too short to tell apart), the second child's mark
  // moves further down its own wire until the two stand apart: a triangle
  // reaches at most 1.35 sizes from its centre.
  auto mark_at = [&](int k, double d) {
    const Node &a = nodes[parent[k]], &b = nodes[k];
    return along_wire(X(a.x), Y(a.y), X(b.x), Y(b.y), d * tri);
  };
  auto buffer_mark = [&](int k) {
    Mark m = mark_at(k, 1.6);
    const Node &a = nodes[parent[k]];
    if (a.right != &nodes[k] || a.left == nullptr) return m;
    const int sibling = static_cast<int>(a.left - nodes.data());
    if (!pf.buffer_on[sibling]) return m;
    const Mark s = mark_at(sibling, 1.6);
    for (int step = 1; step <= 4 && std::hypot(m.x - s.x, m.y - s.y) < 2.75 * tri; step++)
      m = mark_at(k, 1.6 + 2.8 * step);
    return m;
  };
  for (int k : order)
    if (pf.buffer_on[k])
      by_type[std::lower_bound(types.begin(), types.end(), pf.buffer_on[k]) - types.begin()].push_back(k);
  for (size_t ti = 0; ti < types.size(); ti++) {
    for (int k : by_type[ti]) {
      const Mark m = buffer_mark(k);
      triangle(cr, m.x, m.y, m.ux, m.uy, tri);
    }
    set(cr, type_colour(types[ti]));
    if (pf.buffers.size() <= 500) {
      cairo_fill_preserve(cr);
      cairo_set_source_rgb(cr, 0, 0, 0);
      cairo_set_line_width(cr, 0.5);
      cairo_stroke(cr);
    } else {
      cairo_fill(cr);
    }
  }

  cairo_select_font_face(cr, "sans-serif", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
  char text[256];
  if (small) {
    cairo_set_font_size(cr, 9);
    cairo_set_source_rgb(cr, 0.1, 0.1, 0.1);
    for (int p : order) {
      std::snprintf(text, sizeof text, "%d", nodes[p].index);
      cairo_move_to(cr, X(nodes[p].x) + 6, Y(nodes[p].y) + 11);
      cairo_show_text(cr, text);
    }
  }

  // Legend.
  double lx = MARGIN + plot_w + MARGIN, ly = MARGIN;
  auto say = [&](double x, const char *s) {
    cairo_set_source_rgb(cr, 0, 0, 0);
    cairo_move_to(cr, x, ly);
    cairo_show_text(cr, s);
  };
  cairo_set_font_size(cr, 13);
  const std::string net_name = cmdline::display_name(request.net);
  std::string title = net_name.substr(net_name.find_last_of('/') == std::string::npos ? 0
                                                                                      : net_name.find_last_of('/') + 1);
  if (title.size() > 36) title = title.substr(0, 33) + "...";
  say(lx, title.c_str());
  ly += line + 2;
  cairo_set_font_size(cr, 10);
  std::snprintf(text, sizeof text, "%d sinks, %zu nodes, %zu buffers", n_tree_sinks, n, pf.buffers.size());
  say(lx, text);
  ly += line;
  if (have_lib) {
    std::snprintf(text, sizeof text, "slack at the driver: %.6g", timing.slack);
    say(lx, text);
  }
  ly += line * 1.5;
  cairo_set_source_rgb(cr, 0, 0, 0);
  cairo_rectangle(cr, lx, ly - 9, 9, 9);
  cairo_fill(cr);
  say(lx + 16, "driver");
  ly += line;
  if (have_lib) {
    cairo_pattern_t *g = cairo_pattern_create_linear(lx, 0, lx + 120, 0);
    for (int i = 0; i <= 4; i++) {
      Rgb c = slack_colour(i / 4.0);
      cairo_pattern_add_color_stop_rgb(g, i / 4.0, c.r, c.g, c.b);
    }
    cairo_set_source(cr, g);
    cairo_rectangle(cr, lx, ly - 9, 120, 9);
    cairo_fill(cr);
    cairo_pattern_destroy(g);
    say(lx + 126, "sinks by slack");
    ly += line;
    std::snprintf(text, sizeof text, "%.6g", worst);
    say(lx, text);
    cairo_text_extents_t e;
    std::snprintf(text, sizeof text, "%.6g", best);
    cairo_text_extents(cr, text, &e);
    say(lx + 120 - e.x_advance, text);
  } else {
    cairo_set_source_rgb(cr, 0.1, 0.2, 0.6);
    cairo_new_sub_path(cr);
    cairo_arc(cr, lx + 4.5, ly - 4.5, 4.5, 0, 2 * M_PI);
    cairo_fill(cr);
    say(lx + 16, "sink");
  }
  ly += line * 1.5;
  say(lx, types.empty() ? "no buffers" : have_lib ? "buffers: count (cap / delay / res)" : "buffers: type, count");
  ly += line;
  for (size_t ti = 0; ti < types.size(); ti++) {
    int type = types[ti];
    triangle(cr, lx + 5, ly - 4.5, 1, 0, 5);
    set(cr, type_colour(type));
    cairo_fill_preserve(cr);
    cairo_set_source_rgb(cr, 0, 0, 0);
    cairo_set_line_width(cr, 0.5);
    cairo_stroke(cr);
    // The library's own name for the type; its number when the names could
    // not be read back, and shortened when it would overrun the legend.
    std::string name = static_cast<size_t>(type) <= in.names.size() ? in.names[static_cast<size_t>(type) - 1]
                                                                     : "type " + std::to_string(type);
    if (name.size() > 24) name = name.substr(0, 21) + "...";
    if (have_lib)
      std::snprintf(text, sizeof text, "%s: %d  (%g / %g / %g)", name.c_str(), type_count[ti],
                    cb[type - 1] * 1000.0, tb[type - 1], rb[type - 1]);
    else
      std::snprintf(text, sizeof text, "type %d: %d", type, type_count[ti]);
    say(lx + 16, text);
    ly += line;
  }

  cairo_destroy(cr);
  return picture_finish(surface, out, request.picture.svg);
}

}  // namespace

int main(int argc, char **argv) {
  Request request;
  if (const auto status = cmdline::parse_request(kProgram, BUFINS_VERSION, argc, argv, read_request, &request))
    return *status;

  reset_globals();
  Inputs inputs;
  return picture_program(
      kProgram.name,
      {{request.net, "net file"}, {request.placement, "placement file"}, {request.lib, "library file"}},
      request.picture.name, [&] { inputs = load_inputs(request); },
      [&](FILE *out) { return render(request, inputs, out); });
}
