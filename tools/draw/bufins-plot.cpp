// bufins-plot: a picture of the slack–cost frontier, as SVG or PNG, drawn
// with cairo.
//
//   bufins-plot [-p FILE] [-F FORMAT] [-o FILE] [-m COST] [-a] [-h] [-V] FRONTIER
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
// The picture options are bufins-draw's (picture.h), and so is the writing:
// a temporary put in place only when whole, a picture that would replace the
// frontier file refused before anything is read.
//
// Exit status: 0 when the picture is written; 1 for a usage error, a picture
// that would replace the input, a file that cannot be opened, an error in the
// input file, or a failed write.
#include <cairo.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "cli.h"
#include "cmdline.h"
#include "frontier.h"
#include "io.h"
#include "output_file.h"
#include "picture.h"

namespace {

constexpr double W = 960.0, H = 600.0;
constexpr double LEFT = 100.0, RIGHT = 40.0, TOP = 50.0, BOTTOM = 70.0;

// The program's options: the picture options shared with bufins-draw, then its own.
std::vector<cmdline::OptionSpec> options() {
  std::vector<cmdline::OptionSpec> o = picture_options();
  o.push_back({'m', 'm', "mark", "COST",
               "mark the point of this cost (the last point of cost at most\n"
               "COST); a JSON report's chosen point is marked without it"});
  o.push_back({'a', 'a', "all", nullptr,
               "show every point (by default the slack axis starts at the\n"
               "slack reached at 5 % of the largest cost)"});
  return o;
}

const cmdline::Program kProgram{
    "bufins-plot",
    "FRONTIER",
    "Draws the slack-cost frontier that bufins --frontier computes: slack against\n"
    "cost (the sum of the buffers' area=), one dot per point, the maximum slack\n"
    "dashed.\n"
    "FRONTIER is the CSV of bufins --frontier=FILE (cost,buffers,slack) or the JSON\n"
    "report of bufins -j FILE with --frontier; '-' is standard input.",
    options(),
    "Exit status: 0 when the picture is written; 1 for a usage error, a file that\n"
    "cannot be opened, an error in the frontier file (\"file:line: what is wrong\"),\n"
    "or a failed write (no partial picture is left)."};

struct Request {
  std::string frontier;  // the input file; "-" is standard input
  PictureRequest picture;
  std::string mark;      // --mark as written (a cost); empty: none given
  bool all = false;
};

// The run the command line asks for; throws cmdline::UsageError.
Request read_request(const cmdline::Parsed &parsed) {
  Request r;
  for (const cmdline::Option &o : parsed.options) {
    if (r.picture.take(o, kProgram.name)) continue;
    if (o.key == 'm') {
      long long units;
      if (!bufins::cost_units(o.value, 0, &units))
        throw cmdline::UsageError(o.name + ": '" + o.value + "' is not a cost (a number from 0 up, such as 12 or 16.26)");
      r.mark = o.value;
    } else if (o.key == 'a') {
      r.all = true;
    }
  }
  const std::vector<std::string> &files = parsed.operands;
  if (files.empty()) throw cmdline::UsageError("no frontier file given");
  if (files.size() > 1) throw cmdline::UsageError("unexpected argument '" + files[1] + "'");
  r.picture.finish();
  r.frontier = files[0];
  return r;
}

// Costs are kept exact, in units of 10^-decimals (the most decimals of any
// cost read): the points are bufins' own.
struct Frontier {
  std::vector<FrontierPoint> points;
  int chosen = -1;
  int decimals = 0;
};

// A cost's text as units of 10^-(its decimals) and those decimals; false
// when it is not a number in plain decimals.
bool cost_of(const std::string &text, long long *units, int *decimals) {
  const size_t point = text.find('.');
  *decimals = point == std::string::npos ? 0 : static_cast<int>(text.size() - point - 1);
  return *decimals <= bufins::max_area_decimals && bufins::cost_units(text, *decimals, units) && *units < LLONG_MAX;
}

// Every point's cost in units of the most decimals met (row_decimals[i] the
// decimals point i was read with), then the check that the points rise.
void rescale(Frontier &f, const std::vector<int> &row_decimals, const std::string &name,
             const std::vector<long> &lines) {
  for (int d : row_decimals) f.decimals = std::max(f.decimals, d);
  for (size_t i = 0; i < f.points.size(); i++) {
    for (int d = row_decimals[i]; d < f.decimals; d++) {
      if (f.points[i].cost > LLONG_MAX / 10) input_error(name, lines[i], "a cost is too large");
      f.points[i].cost *= 10;
    }
    if (i > 0 && !(f.points[i].cost > f.points[i - 1].cost && f.points[i].slack > f.points[i - 1].slack))
      input_error(name, lines[i], lines[i] > 0 ? "the rows must rise in cost and slack"
                                               : "the frontier entries must rise in cost and slack");
  }
}

Frontier read_csv(const std::string &name, std::istream &in) {
  Frontier f;
  std::vector<int> row_decimals;
  std::vector<long> lines;
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
    const size_t comma = line.find(',');
    int decimals = 0;
    if (comma == std::string::npos || !cost_of(line.substr(0, comma), &p.cost, &decimals) ||
        std::sscanf(line.c_str() + comma + 1, "%d,%lf%c", &p.buffers, &p.slack, &rest) != 2 ||
        !std::isfinite(p.slack) || p.buffers < 0)
      input_error(name, number,
                  "a row must be cost,buffers,slack (a cost and an integer from 0 up, and a number)");
    f.points.push_back(p);
    row_decimals.push_back(decimals);
    lines.push_back(number);
  }
  if (number == 0) input_error(name, 0, "empty file: not a frontier");
  rescale(f, row_decimals, name, lines);
  return f;
}

// The text of v with the fewest decimals (at most max_area_decimals) that
// reads back as v; empty when none does.
std::string fewest_decimals(double v) {
  char b[64];
  for (int d = 0; d <= bufins::max_area_decimals; d++) {
    std::snprintf(b, sizeof b, "%.*f", d, v);
    if (std::strtod(b, nullptr) == v) return b;
  }
  return "";
}

Frontier read_json(const std::string &name, std::istream &in) {
  Frontier f;
  std::vector<int> row_decimals;
  nlohmann::json j = nlohmann::json::parse(in, nullptr, false);
  if (j.is_discarded() || !j.is_object()) input_error(name, 0, "not a JSON report");
  if (!j.contains("frontier") || !j["frontier"].is_array())
    input_error(name, 0, "the report holds no frontier (run bufins with --frontier and -j)");
  for (const auto &e : j["frontier"]) {
    if (!e.is_object() || !e.contains("cost") || !e["cost"].is_number() || !e.contains("slack") ||
        !e["slack"].is_number())
      input_error(name, 0, "a frontier entry needs a cost and a slack");
    if (e.contains("buffers") && !e["buffers"].is_number_integer())
      input_error(name, 0, "a frontier entry's buffers must be an integer");
    // A cost with decimals is read back from the shortest text of its
    // double, which is the decimals bufins wrote without trailing zeros.
    FrontierPoint p{0, e.value("buffers", 0), e["slack"].get<double>()};
    int decimals = 0;
    const bool whole = e["cost"].is_number_integer();
    const std::string cost_text =
        whole ? std::to_string(e["cost"].get<long long>()) : fewest_decimals(e["cost"].get<double>());
    // What the CSV reader refuses, refused here too.
    if (!cost_of(cost_text, &p.cost, &decimals) || p.buffers < 0 || !std::isfinite(p.slack))
      input_error(name, 0, "a frontier entry needs a cost and buffers from 0 up and a finite slack");
    if (e.value("chosen", false)) {
      if (f.chosen >= 0) input_error(name, 0, "two frontier entries are marked chosen");
      f.chosen = static_cast<int>(f.points.size());
    }
    f.points.push_back(p);
    row_decimals.push_back(decimals);
  }
  rescale(f, row_decimals, name, std::vector<long>(f.points.size(), 0));
  return f;
}

// Reads the frontier file `name` ("-": standard input), CSV or JSON by its
// first character; throws InputError.
Frontier read_frontier(const std::string &name) {
  File in = open_file(name.c_str(), "r");
  const std::string shown = cmdline::display_name(name);
  std::string s;
  char buf[1 << 14];
  size_t got;
  while ((got = std::fread(buf, 1, sizeof buf, in.get())) > 0) s.append(buf, got);
  if (std::ferror(in.get())) input_error(shown, 0, "cannot read the file: %s", std::strerror(errno));
  if (s.compare(0, 3, "\xEF\xBB\xBF") == 0) s.erase(0, 3);  // a byte-order mark, as the other readers skip it
  size_t first = s.find_first_not_of(" \t\r\n");
  std::istringstream text(s);
  return first != std::string::npos && s[first] == '{' ? read_json(shown, text) : read_csv(shown, text);
}

// Tick spacing of about `want` steps over `span`: 1, 2 or 5 times a power of ten.
double tick_step(double span, int want) {
  if (!(span > 0)) return 1.0;
  double raw = span / want, p = std::pow(10.0, std::floor(std::log10(raw)));
  for (double m : {1.0, 2.0, 5.0, 10.0})
    if (m * p >= raw) return m * p;
  return 10.0 * p;
}

// The index of the last tick from `from` up to `to` by `step`, at most 50;
// -1 (no tick) when the numbers do not make a sensible axis.
long tick_count(double from, double to, double step) {
  const double n = std::floor((to - from) / step + 1e-9);
  if (!std::isfinite(n) || n < 0) return -1;
  return n > 50 ? 50 : static_cast<long>(n);
}

std::string number(double v) {
  char b[64];
  std::snprintf(b, sizeof b, "%.6g", std::fabs(v) < 1e-12 ? 0.0 : v);
  return b;
}

// A tick's label, with digits enough to tell it from the next one `step` away.
std::string tick_label(double v, double step) {
  const double digits = std::ceil(std::log10(std::fabs(v) / step)) + 2;
  if (!(digits > 6)) return number(v);
  char b[64];
  std::snprintf(b, sizeof b, "%.*g", static_cast<int>(std::min(digits, 12.0)), v);
  return b;
}

// Draws the frontier as the request asks onto `out`; cairo's status at the end.
cairo_status_t render(const Request &request, const Frontier &f, FILE *out) {
  const std::vector<FrontierPoint> &pts = f.points;
  int chosen = f.chosen;
  if (!request.mark.empty()) {
    long long mark = 0;
    bufins::cost_units(request.mark, f.decimals, &mark);
    chosen = -1;
    for (size_t k = 0; k < pts.size() && pts[k].cost <= mark; k++) chosen = static_cast<int>(k);
  }
  // The axis is in the costs' own unit; labels print them exactly.
  const double scale = std::pow(10.0, f.decimals);
  auto value = [&](const FrontierPoint &p) { return static_cast<double>(p.cost) / scale; };
  auto cost_label = [&](long long units) { return bufins::cost_text(units, f.decimals); };

  // Axes: cost from 0, slack from the first shown point to the best.
  const double cmax = pts.empty() ? 1.0 : std::max(1.0, value(pts.back()));
  size_t first = 0;
  if (!request.all)
    while (first + 3 < pts.size() && value(pts[first]) < 0.05 * cmax) first++;
  double ylo = pts.empty() ? -1.0 : pts[first].slack, yhi = pts.empty() ? 0.0 : pts.back().slack;
  // A span below what the axis can resolve (one point, or slacks a rounding
  // apart) is widened about its middle by at least a thousandth of the
  // magnitude, so that ylo < yhi holds in floating point too.
  const double magnitude = std::max(std::fabs(ylo), std::fabs(yhi));
  if (!(yhi - ylo > 1e-9 * magnitude)) {
    const double mid = 0.5 * (ylo + yhi), half = std::max(1.0, 1e-3 * magnitude);
    ylo = mid - half;
    yhi = mid + half;
  }
  const double pad = 0.05 * (yhi - ylo);
  ylo -= pad;
  yhi += pad;
  const double pw = W - LEFT - RIGHT, ph = H - TOP - BOTTOM;
  auto X = [&](double c) { return LEFT + c / (cmax * 1.02) * pw; };
  auto Y = [&](double s) { return TOP + (yhi - std::max(s, ylo)) / (yhi - ylo) * ph; };

  cairo_surface_t *surface = picture_surface(out, request.picture.svg, W, H);
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
  // Ticks by count (k times the step), never by adding the step up: a step
  // that rounds away against the value would never end the loop.
  const double xs = tick_step(cmax, 8), ys = tick_step(yhi - ylo, 6);
  for (long k = 0, last = tick_count(0.0, cmax * 1.02, xs); k <= last; k++) {
    const double c = static_cast<double>(k) * xs;
    cairo_set_source_rgb(cr, 0.9, 0.9, 0.9);
    cairo_move_to(cr, X(c), TOP);
    cairo_line_to(cr, X(c), TOP + ph);
    cairo_stroke(cr);
    cairo_set_source_rgb(cr, 0.2, 0.2, 0.2);
    say(X(c), TOP + ph + 18, number(c), 0.5);
  }
  const double first_tick = std::ceil(ylo / ys);
  for (long k = 0, last = tick_count(first_tick * ys, yhi, ys); k <= last; k++) {
    const double s = (first_tick + static_cast<double>(k)) * ys;
    cairo_set_source_rgb(cr, 0.9, 0.9, 0.9);
    cairo_move_to(cr, LEFT, Y(s));
    cairo_line_to(cr, LEFT + pw, Y(s));
    cairo_stroke(cr);
    cairo_set_source_rgb(cr, 0.2, 0.2, 0.2);
    say(LEFT - 8, Y(s) + 4, tick_label(s, ys), 1.0);
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
        "max slack " + number(pts.back().slack) + " at cost " + cost_label(pts.back().cost), 1.0);

    // The staircase.
    cairo_set_source_rgb(cr, 0.1, 0.35, 0.7);
    cairo_set_line_width(cr, 1.5);
    cairo_move_to(cr, X(value(pts[0])), Y(pts[0].slack));
    for (size_t k = 1; k < pts.size(); k++) {
      cairo_line_to(cr, X(value(pts[k])), Y(pts[k - 1].slack));
      cairo_line_to(cr, X(value(pts[k])), Y(pts[k].slack));
    }
    cairo_line_to(cr, LEFT + pw, Y(pts.back().slack));
    cairo_stroke(cr);
    const double r = pts.size() <= 200 ? 2.5 : 1.2;
    for (const FrontierPoint &p : pts) {
      cairo_new_sub_path(cr);
      cairo_arc(cr, X(value(p)), Y(p.slack), r, 0, 2 * M_PI);
    }
    cairo_fill(cr);
    if (first > 0) {
      cairo_set_source_rgb(cr, 0.4, 0.4, 0.4);
      say(LEFT + 8, TOP + ph - 8,
          std::to_string(first) + " points of cost below " + cost_label(pts[first].cost) + " lie lower (down to " +
              number(pts[0].slack) + "); --all shows them",
          0.0);
    }
    if (chosen >= 0) {
      const FrontierPoint &p = pts[static_cast<size_t>(chosen)];
      cairo_set_source_rgb(cr, 0.85, 0.1, 0.1);
      cairo_arc(cr, X(value(p)), Y(p.slack), 5.5, 0, 2 * M_PI);
      cairo_fill(cr);
      const std::string label = "cost " + cost_label(p.cost) + ", " + std::to_string(p.buffers) +
                                " buffers, slack " + number(p.slack);
      const bool right_half = X(value(p)) > LEFT + pw * 0.6;
      say(X(value(p)) + (right_half ? -10 : 10), Y(p.slack) + 18, label, right_half ? 1.0 : 0.0);
    }
  }

  cairo_destroy(cr);
  return picture_finish(surface, out, request.picture.svg);
}

}  // namespace

int main(int argc, char **argv) {
  Request request;
  if (const auto status = cmdline::parse_request(kProgram, BUFINS_VERSION, argc, argv, read_request, &request))
    return *status;

  Frontier frontier;
  return picture_program(
      kProgram.name, {{request.frontier, "frontier file"}}, request.picture.name,
      [&] { frontier = read_frontier(request.frontier); },
      [&](FILE *out) { return render(request, frontier, out); });
}
