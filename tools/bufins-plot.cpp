// bufins-plot: a picture of the slack–cost frontier, as SVG or PNG (by the
// output name's extension), drawn with cairo.
//
//   bufins-plot [--mark=COST] [--all] -o FILE.svg|FILE.png FRONTIER
//
// FRONTIER is the CSV that bufins --frontier writes ("cost,buffers,slack") or
// the JSON report of bufins -j ... --frontier, whose chosen point is marked.
// The frontier is drawn as a staircase (the best slack of cost at most x
// holds from one point to the next), every point a dot, the marked one red
// and labelled, the maximum slack a dashed line. The first few buffers of a
// net usually gain orders of magnitude more slack than the rest, so by
// default the slack axis starts at the slack reached at 5 % of the largest
// cost and the points below are listed as off the plot; --all shows them.
//
// Exit status: 0 when the picture is written; 1 for a usage error, a file
// that cannot be opened, an error in the input file, or a failed write.
#include <cairo.h>
#include <getopt.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "frontier.h"
#include "io.h"
#include "picture.h"

extern "C" const char *__lsan_default_suppressions() { return "leak:libfontconfig\n"; }

namespace {

constexpr double W = 960.0, H = 600.0;
constexpr double LEFT = 100.0, RIGHT = 40.0, TOP = 50.0, BOTTOM = 70.0;

const char *const kUsage = "Usage: %s [--mark=COST] [--all] -o picture.svg|picture.png frontier.csv|report.json\n";

[[noreturn]] void usage_error(const char *program, const std::string &why) {
  std::fflush(stdout);
  std::fprintf(stderr, "bufins-plot: %s\n", why.c_str());
  std::fprintf(stderr, kUsage, program);
  std::fprintf(stderr, "Try 'bufins-plot --help' for more information.\n");
  std::exit(1);
}

void print_help(const char *program) {
  std::printf(kUsage, program);
  std::printf(
      "\n"
      "Draws the slack-cost frontier that bufins --frontier computes: slack against cost (the sum\n"
      "of the buffers' area=), one dot per point, the maximum slack dashed.\n"
      "\n"
      "  -o, --output=FILE  the picture to write; .svg or .png (required)\n"
      "  -m, --mark=COST    mark the point of this cost (the last point of cost at most COST);\n"
      "                     a JSON report's chosen point is marked without it\n"
      "  -a, --all          show every point (by default the slack axis starts at the slack\n"
      "                     reached at 5 %% of the largest cost)\n"
      "  -h, --help         print this help and exit\n"
      "  -V, --version      print the name and version and exit\n"
      "\n"
      "The frontier file is the CSV of bufins --frontier=FILE (cost,buffers,slack) or the JSON\n"
      "report of bufins -j FILE with --frontier.\n"
      "\n"
      "Exit status: 0 when the picture is written; 1 for a usage error, a file that cannot be\n"
      "opened, an error in the frontier file, or a failed write.\n");
}

struct Frontier {
  std::vector<FrontierPoint> points;
  int chosen = -1;
};

Frontier read_csv(const std::string &name, std::istream &in) {
  Frontier f;
  std::string line;
  long number = 0;
  while (std::getline(in, line)) {
    number++;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (number == 1) {
      if (line != "cost,buffers,slack")
        input_error(name, number, "not a frontier file: the first line must be \"cost,buffers,slack\"");
      continue;
    }
    if (line.empty()) continue;
    FrontierPoint p{};
    char rest = 0;
    if (std::sscanf(line.c_str(), "%lld,%d,%lf%c", &p.cost, &p.buffers, &p.slack, &rest) != 3 ||
        !std::isfinite(p.slack) || p.cost < 0 || p.buffers < 0)
      input_error(name, number, "a row must be cost,buffers,slack (two integers from 0 up and a number)");
    if (!f.points.empty() && !(p.cost > f.points.back().cost && p.slack > f.points.back().slack))
      input_error(name, number, "the rows must rise in cost and slack");
    f.points.push_back(p);
  }
  if (number == 0) input_error(name, 0, "empty file: not a frontier");
  return f;
}

Frontier read_json(const std::string &name, std::istream &in) {
  Frontier f;
  nlohmann::json j = nlohmann::json::parse(in, nullptr, false);
  if (j.is_discarded() || !j.is_object()) input_error(name, 0, "not a JSON report");
  if (!j.contains("frontier") || !j["frontier"].is_array())
    input_error(name, 0, "the report holds no frontier (run bufins with --frontier and -j)");
  for (const auto &e : j["frontier"]) {
    if (!e.is_object() || !e.contains("cost") || !e["cost"].is_number_integer() || !e.contains("slack") ||
        !e["slack"].is_number())
      input_error(name, 0, "a frontier entry needs an integer cost and a slack");
    FrontierPoint p{e["cost"].get<long long>(), e.value("buffers", 0), e["slack"].get<double>()};
    if (!f.points.empty() && !(p.cost > f.points.back().cost && p.slack > f.points.back().slack))
      input_error(name, 0, "the frontier entries must rise in cost and slack");
    if (e.value("chosen", false)) f.chosen = static_cast<int>(f.points.size());
    f.points.push_back(p);
  }
  return f;
}

Frontier read_frontier(const std::string &name) {
  std::ifstream in(name, std::ios::binary);
  if (!in) {
    std::fflush(stdout);
    std::fprintf(stderr, "Cannot open file: %s\n", name.c_str());
    std::exit(1);
  }
  std::stringstream text;
  text << in.rdbuf();
  std::string s = text.str();
  size_t first = s.find_first_not_of(" \t\r\n");
  std::istringstream again(s);
  return first != std::string::npos && s[first] == '{' ? read_json(name, again) : read_csv(name, again);
}

// Tick spacing of about `want` steps over `span`: 1, 2 or 5 times a power of ten.
double tick_step(double span, int want) {
  if (!(span > 0)) return 1.0;
  double raw = span / want, p = std::pow(10.0, std::floor(std::log10(raw)));
  for (double m : {1.0, 2.0, 5.0, 10.0})
    if (m * p >= raw) return m * p;
  return 10.0 * p;
}

std::string number(double v) {
  char b[64];
  std::snprintf(b, sizeof b, "%.6g", std::fabs(v) < 1e-12 ? 0.0 : v);
  return b;
}

}  // namespace

int main(int argc, char **argv) {
  static const option longopts[] = {{"output", required_argument, nullptr, 'o'},
                                    {"mark", required_argument, nullptr, 'm'},
                                    {"all", no_argument, nullptr, 'a'},
                                    {"help", no_argument, nullptr, 'h'},
                                    {"version", no_argument, nullptr, 'V'},
                                    {nullptr, 0, nullptr, 0}};
  std::string out;
  long long mark = -1;
  bool all = false;
  opterr = 0;
  int opt;
  while ((opt = getopt_long(argc, argv, ":o:m:ahV", longopts, nullptr)) != -1) {
    switch (opt) {
      case 'o':
        out = optarg;
        break;
      case 'm': {
        char *end = nullptr;
        errno = 0;
        mark = std::strtoll(optarg, &end, 10);
        if (end == optarg || *end != '\0' || errno == ERANGE || mark < 0)
          usage_error(argv[0], std::string("--mark: '") + optarg + "' is not a cost (an integer from 0 up)");
        break;
      }
      case 'a':
        all = true;
        break;
      case 'h':
        print_help(argv[0]);
        return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 1;
      case 'V':
        std::printf("bufins-plot %s\n", BUFINS_VERSION);
        return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 1;
      case ':':
        usage_error(argv[0], std::string("option ") + argv[optind - 1] + " needs a value");
      default:
        usage_error(argv[0], std::string("unknown option ") + argv[optind - 1]);
    }
  }
  if (argc - optind != 1) usage_error(argv[0], argc - optind == 0 ? "no frontier file given" : "more than one frontier file given");
  if (out.empty()) usage_error(argv[0], "no picture named (-o FILE.svg or FILE.png)");
  bool svg = false;
  if (!picture_kind(out, &svg)) usage_error(argv[0], "the picture's name must end in .svg or .png: " + out);

  Frontier f;
  try {
    f = read_frontier(argv[optind]);
  } catch (const InputError &e) {
    return report_input_error(e);
  }
  const std::vector<FrontierPoint> &pts = f.points;
  int chosen = f.chosen;
  if (mark >= 0) {
    chosen = -1;
    for (size_t k = 0; k < pts.size() && pts[k].cost <= mark; k++) chosen = static_cast<int>(k);
  }

  // Axes: cost from 0, slack from the first shown point to the best.
  const double cmax = pts.empty() ? 1.0 : std::max(1.0, static_cast<double>(pts.back().cost));
  size_t first = 0;
  if (!all)
    while (first + 3 < pts.size() && static_cast<double>(pts[first].cost) < 0.05 * cmax) first++;
  double ylo = pts.empty() ? -1.0 : pts[first].slack, yhi = pts.empty() ? 0.0 : pts.back().slack;
  if (!(yhi > ylo)) {
    ylo -= 1.0;
    yhi += 1.0;
  }
  const double pad = 0.05 * (yhi - ylo);
  ylo -= pad;
  yhi += pad;
  const double pw = W - LEFT - RIGHT, ph = H - TOP - BOTTOM;
  auto X = [&](double c) { return LEFT + c / (cmax * 1.02) * pw; };
  auto Y = [&](double s) { return TOP + (yhi - std::max(s, ylo)) / (yhi - ylo) * ph; };

  cairo_surface_t *surface = picture_surface(out, svg, W, H);
  cairo_t *cr = cairo_create(surface);
  cairo_set_source_rgb(cr, 1, 1, 1);
  cairo_paint(cr);
  cairo_select_font_face(cr, "sans-serif", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
  cairo_set_font_size(cr, 12);
  auto say = [&](double x, double y, const std::string &text, double align) {
    cairo_text_extents_t e;
    cairo_text_extents(cr, text.c_str(), &e);
    cairo_move_to(cr, x - align * e.x_advance, y);
    cairo_show_text(cr, text.c_str());
  };

  // Grid and ticks.
  cairo_set_line_width(cr, 1.0);
  const double xs = tick_step(cmax, 8), ys = tick_step(yhi - ylo, 6);
  for (double c = 0; c <= cmax * 1.02; c += xs) {
    cairo_set_source_rgb(cr, 0.9, 0.9, 0.9);
    cairo_move_to(cr, X(c), TOP);
    cairo_line_to(cr, X(c), TOP + ph);
    cairo_stroke(cr);
    cairo_set_source_rgb(cr, 0.2, 0.2, 0.2);
    say(X(c), TOP + ph + 18, number(c), 0.5);
  }
  for (double s = std::ceil(ylo / ys) * ys; s <= yhi; s += ys) {
    cairo_set_source_rgb(cr, 0.9, 0.9, 0.9);
    cairo_move_to(cr, LEFT, Y(s));
    cairo_line_to(cr, LEFT + pw, Y(s));
    cairo_stroke(cr);
    cairo_set_source_rgb(cr, 0.2, 0.2, 0.2);
    say(LEFT - 8, Y(s) + 4, number(s), 1.0);
  }
  cairo_set_source_rgb(cr, 0.2, 0.2, 0.2);
  cairo_rectangle(cr, LEFT, TOP, pw, ph);
  cairo_stroke(cr);
  say(LEFT + pw / 2, H - 20, "cost (sum of the buffers' area=)", 0.5);
  cairo_save(cr);
  cairo_translate(cr, 24, TOP + ph / 2);
  cairo_rotate(cr, -M_PI / 2);
  say(0, 0, "slack at the driver", 0.5);
  cairo_restore(cr);
  cairo_set_font_size(cr, 14);
  say(LEFT, 30, "Slack-cost frontier: " + std::to_string(pts.size()) + " points", 0.0);
  cairo_set_font_size(cr, 12);

  if (!pts.empty()) {
    // The maximum slack, dashed.
    const double dash[] = {6.0, 4.0};
    cairo_set_dash(cr, dash, 2, 0);
    cairo_set_source_rgb(cr, 0.3, 0.3, 0.7);
    cairo_move_to(cr, LEFT, Y(pts.back().slack));
    cairo_line_to(cr, LEFT + pw, Y(pts.back().slack));
    cairo_stroke(cr);
    cairo_set_dash(cr, nullptr, 0, 0);
    say(LEFT + pw - 6, Y(pts.back().slack) - 6,
        "max slack " + number(pts.back().slack) + " at cost " + std::to_string(pts.back().cost), 1.0);

    // The staircase.
    cairo_set_source_rgb(cr, 0.1, 0.35, 0.7);
    cairo_set_line_width(cr, 1.5);
    cairo_move_to(cr, X(static_cast<double>(pts[0].cost)), Y(pts[0].slack));
    for (size_t k = 1; k < pts.size(); k++) {
      cairo_line_to(cr, X(static_cast<double>(pts[k].cost)), Y(pts[k - 1].slack));
      cairo_line_to(cr, X(static_cast<double>(pts[k].cost)), Y(pts[k].slack));
    }
    cairo_line_to(cr, LEFT + pw, Y(pts.back().slack));
    cairo_stroke(cr);
    const double r = pts.size() <= 200 ? 2.5 : 1.2;
    for (const FrontierPoint &p : pts) {
      cairo_new_sub_path(cr);
      cairo_arc(cr, X(static_cast<double>(p.cost)), Y(p.slack), r, 0, 2 * M_PI);
    }
    cairo_fill(cr);
    if (first > 0) {
      cairo_set_source_rgb(cr, 0.4, 0.4, 0.4);
      say(LEFT + 8, TOP + ph - 8,
          std::to_string(first) + " points of cost below " + std::to_string(pts[first].cost) + " lie lower (down to " +
              number(pts[0].slack) + "); --all shows them",
          0.0);
    }
    if (chosen >= 0) {
      const FrontierPoint &p = pts[static_cast<size_t>(chosen)];
      cairo_set_source_rgb(cr, 0.85, 0.1, 0.1);
      cairo_arc(cr, X(static_cast<double>(p.cost)), Y(p.slack), 5.5, 0, 2 * M_PI);
      cairo_fill(cr);
      const std::string label = "cost " + std::to_string(p.cost) + ", " + std::to_string(p.buffers) +
                                " buffers, slack " + number(p.slack);
      const bool right_half = X(static_cast<double>(p.cost)) > LEFT + pw * 0.6;
      say(X(static_cast<double>(p.cost)) + (right_half ? -10 : 10), Y(p.slack) + 18, label, right_half ? 1.0 : 0.0);
    }
  }

  cairo_destroy(cr);
  const std::string why = picture_finish(surface, out, svg);
  if (!why.empty()) {
    std::fprintf(stderr, "bufins-plot: cannot write %s: %s\n", out.c_str(), why.c_str());
    return 1;
  }
  return 0;
}
