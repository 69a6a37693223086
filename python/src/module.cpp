// The Python module bufins (its compiled part, bufins._bufins): the public C++
// API of include/bufins as Python objects, with numpy arrays where a result
// is a table.
//
// The idea: a Python object owns one C++ value behind a shared_ptr (a Net, a
// Library, a Result), so that a solve can take what it needs under the GIL,
// release the GIL while the engine runs, and never touch a Python object
// until it holds the GIL again. solve_many() does the same for a list of nets
// on a pool of C++ threads; the calling thread waits with the GIL released
// and, about every tenth of a second, takes it to look for a pending signal
// (Ctrl-C), which cancels the run through the engines' progress callback.
//
// Errors: bufins::InputError becomes bufins.InputError (a ValueError) whose
// text is the bufins program's message, with the file, line and message as
// attributes; a file that cannot be opened an OSError with the program's
// "Cannot open file: NAME: reason". Bad Python data (mismatched lengths, NaN, an
// unknown objective) raises ValueError or TypeError before any engine runs.
//
// Ownership: nothing here is global but the exception type; a Result keeps
// the net it was given alive (a shared_ptr), and with segments > 0 makes the
// segmented net again only when Result.net or final_net_text() asks for it.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <mutex>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "bufins/bufins.h"
#include "bufins/route.h"

namespace py = pybind11;

namespace {

// ---- Values held by the Python objects ----

struct NetObj {
  bufins::Net net;
  std::vector<std::string> warnings;
};

struct LibObj {
  bufins::Library lib;
  std::vector<std::string> warnings;
};

// A buffer type as Python holds it: the record, its area in units of
// 10^-decimals (a type made alone keeps the decimals it was given; the
// types of a library have the library's).
struct TypeObj {
  bufins::BufferType t;
  int decimals = 0;
};

// The request as solve() was given it: the engine's options and what the
// messages of an unmet goal need.
struct Request {
  bufins::Options options;
  std::string objective = "max_slack";
};

struct ResultObj {
  bufins::Result r;                      // without its segmented net (see solved())
  int area_decimals = 0;                 // the library's: costs are in units of 10^-area_decimals
  std::shared_ptr<const NetObj> given;   // the net given to solve
  int segments = 0;
  std::string status;                    // ok, unmet, infeasible
  std::string message;                   // the program's message when not ok
  // The net solved: the net given, or with segments > 0 the segmented net,
  // made again from the net given on first use (segmentation is a pure
  // function of the two). A script that keeps thousands of results from
  // solve_many then does not keep a segmented copy of every net, which made
  // the whole run slower as its memory grew. Called with the GIL held.
  std::shared_ptr<const NetObj> solved() const {
    if (segments == 0) return given;
    if (!segmented_net) {
      auto s = std::make_shared<NetObj>();
      s->net = bufins::segmented(given->net, segments);
      segmented_net = std::move(s);
    }
    return segmented_net;
  }

 private:
  mutable std::shared_ptr<const NetObj> segmented_net;
};

// numpy record types of the tables of a result.
struct PlacementRecord {
  int32_t start, end, buffer_type;
};
struct FrontierRecord {
  int64_t cost;
  int32_t buffers;
  double slack;
};
// The frontier of a library with decimal areas: the costs as the nearest
// doubles (Result.cost is exact).
struct DecimalFrontierRecord {
  double cost;
  int32_t buffers;
  double slack;
};
struct StageRecord {
  int32_t node, end, buffer_type;
  double load, slew, max_cap;
};

// Readers' bound on every figure (io.cpp): within it no Elmore sum overflows.
constexpr double max_magnitude = 1e60;

py::object input_error_type;  // bufins.InputError, made at import

// ---- Errors ----

std::string format(const char *fmt, double v) {
  char b[64];
  std::snprintf(b, sizeof b, fmt, v);
  return b;
}

// The Python exception of an InputError (an OSError for a file that cannot
// be opened, as the program says "Cannot open file: NAME: reason").
py::object python_error(const bufins::InputError &e) {
  if (e.line == 0 && e.message == "cannot open") {
    // Not OSError(errno, text, filename): str() would not be the program's text.
    return py::reinterpret_borrow<py::object>(PyExc_OSError)(e.what());
  }
  py::object err = input_error_type(e.what());
  err.attr("file") = e.file;
  err.attr("line") = e.line;
  err.attr("message") = e.message;
  err.attr("status") = e.status;
  return err;
}

[[noreturn]] void raise(const py::object &err) {
  PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(err.ptr())), err.ptr());
  throw py::error_already_set();
}

[[noreturn]] void value_error(const std::string &text) { throw py::value_error(text); }

// ---- Interruption ----

// A progress callback that, about every tenth of a second, takes the GIL and
// runs the pending signal handlers; a handler that raised (Ctrl-C) cancels
// the run. Only the thread that called from Python may do so: solve_many's
// workers look at `cancel`, set by the waiting thread.
struct Interrupt {
  std::atomic<bool> *cancel = nullptr;
  bool check_signals = false;
  std::chrono::steady_clock::time_point last = std::chrono::steady_clock::now();

  bool operator()(long long, long long) {
    if (cancel != nullptr && cancel->load(std::memory_order_relaxed)) return false;
    if (!check_signals) return true;
    const auto now = std::chrono::steady_clock::now();
    if (now - last < std::chrono::milliseconds(100)) return true;
    last = now;
    py::gil_scoped_acquire gil;
    return PyErr_CheckSignals() == 0;
  }
};

// ---- Options ----

bool is_percent_text(const std::string &t) { return !t.empty() && t.back() == '%'; }

// A finite number, the whole text (the program's parse_number).
bool parse_number(const std::string &text, double *v) {
  char *end = nullptr;
  errno = 0;
  *v = std::strtod(text.c_str(), &end);
  return end != text.c_str() && *end == '\0' && errno != ERANGE && std::isfinite(*v);
}

double number_of(const py::handle &h, const char *what) {
  if (py::isinstance<py::str>(h)) {
    double v;
    if (!parse_number(h.cast<std::string>(), &v))
      value_error(std::string(what) + ": '" + h.cast<std::string>() + "' is not a finite number");
    return v;
  }
  try {
    return h.cast<double>();
  } catch (const py::cast_error &) {
    throw py::type_error(std::string(what) + " must be a number, not " +
                         py::str(py::type::handle_of(h).attr("__name__")).cast<std::string>());
  }
}

double limit_of(const py::object &h, const char *what) {
  if (h.is_none()) return bufins::no_limit;
  const double v = number_of(h, what);
  if (!std::isfinite(v) || v < 0) value_error(std::string(what) + ": " + format("%g", v) + " is not a limit (a number >= 0)");
  return v;
}

// A cost or area given as an int, or as a str, float or decimal.Decimal in
// plain decimals: its text ("3.75"); a float's is its shortest repr without
// trailing zeros. Empty when it is none of those.
std::string decimal_text(const py::handle &h) {
  if (py::isinstance<py::bool_>(h)) return "";
  if (py::isinstance<py::int_>(h)) return py::str(h).cast<std::string>();
  if (py::isinstance<py::str>(h)) return h.cast<std::string>();
  const py::object decimal = py::module_::import("decimal").attr("Decimal");
  const py::object format_of = py::module_::import("builtins").attr("format");
  if (py::isinstance<py::float_>(h)) {
    if (!std::isfinite(h.cast<double>())) return "nan";
    std::string t = py::str(format_of(decimal(py::repr(h)), "f"));
    if (t.find('.') != std::string::npos) {
      while (t.back() == '0') t.pop_back();
      if (t.back() == '.') t.pop_back();
    }
    return t;
  }
  if (py::isinstance(h, decimal)) return py::str(format_of(h, "f"));
  // Other integers (numpy's) by their index, other numbers as a float.
  if (PyObject *index = PyNumber_Index(h.ptr())) return py::str(py::reinterpret_steal<py::object>(index));
  PyErr_Clear();
  if (PyObject *f = PyNumber_Float(h.ptr())) return decimal_text(py::reinterpret_steal<py::object>(f));
  PyErr_Clear();
  return "";
}

// A decimal text's units of 10^-(its decimals) and its decimals; false when
// it is not plain decimals (digits with at most one '.').
bool decimal_units(const std::string &text, long long *units, int *decimals) {
  const size_t point = text.find('.');
  const int d = point == std::string::npos ? 0 : static_cast<int>(text.size() - point - 1);
  if (!bufins::cost_units(text, d, units)) return false;
  *decimals = d;
  return true;
}

// cost_tolerance=: a fraction from 0 to 1, or a string "P%".
double tolerance_of(const py::object &value) {
  double v = 0.0;
  bool ok;
  if (py::isinstance<py::str>(value)) {
    std::string t = value.cast<std::string>();
    const bool percent = is_percent_text(t);
    if (percent) t.pop_back();
    ok = !t.empty() && parse_number(t, &v) && v >= 0 && v <= (percent ? 100.0 : 1.0);
    if (percent) v /= 100.0;
  } else {
    v = number_of(value, "cost_tolerance");
    ok = v >= 0 && v <= 1.0;
  }
  if (!ok)
    value_error("cost_tolerance: " + py::repr(value).cast<std::string>() +
                " is not a tolerance (a fraction from 0 to 1 such as 0.01, or a string such as '1%')");
  return v;
}

Request make_request(int segments, const std::string &objective, const py::object &value, bool frontier,
                     const py::object &max_cap, const py::object &max_slew, const py::object &cost_tolerance,
                     int area_decimals) {
  Request q;
  bufins::Options &o = q.options;
  if (segments < 0) value_error("segments: " + std::to_string(segments) + " must not be negative");
  o.segments = segments;
  o.max_cap = limit_of(max_cap, "max_cap");
  o.max_slew = limit_of(max_slew, "max_slew");
  q.objective = objective;
  auto need_value = [&] {
    if (value.is_none()) value_error("objective '" + objective + "' needs value=");
  };
  if (objective == "max_slack" || objective == "min_cost") {
    if (!value.is_none()) value_error("objective '" + objective + "' takes no value");
    // The frontier of a max-slack request: its best-slack point at the least
    // cost, which is min_cost's answer.
    o.objective = objective == "min_cost" || frontier ? bufins::Objective::min_cost : bufins::Objective::max_slack;
  } else if (objective == "target") {
    need_value();
    o.objective = bufins::Objective::target;
    o.target = number_of(value, "target");
    if (!std::isfinite(o.target)) value_error("target: " + format("%g", o.target) + " is not a slack (a finite number)");
  } else if (objective == "budget") {
    need_value();
    o.objective = bufins::Objective::budget;
    // In the library's units, rounded down (no cost lies between), as --budget.
    const std::string text = decimal_text(value);
    if (!bufins::cost_units(text, area_decimals, &o.budget))
      value_error("budget: " + py::repr(value).cast<std::string>() +
                  " is not a cost (a number from 0 up: an int, or decimals as str, float or decimal.Decimal)");
  } else if (objective == "within") {
    need_value();
    double v;
    if (py::isinstance<py::str>(value)) {
      std::string t = value.cast<std::string>();
      const bool percent = is_percent_text(t);
      if (percent) t.pop_back();
      if (t.empty() || t.front() == '-' || !parse_number(t, &v) || v < 0)
        value_error("within: '" + value.cast<std::string>() +
                    "' is not a distance from the best slack (D or P%, from 0 up)");
      o.objective = percent ? bufins::Objective::within_percent : bufins::Objective::within;
    } else {
      v = number_of(value, "within");
      if (!std::isfinite(v) || v < 0)
        value_error("within: " + format("%g", v) + " is not a distance from the best slack (D or P%, from 0 up)");
      o.objective = bufins::Objective::within;
    }
    o.within = v;
  } else {
    value_error("objective: '" + objective + "' is not one of max_slack, min_cost, target, budget, within");
  }
  o.cost_tolerance = tolerance_of(cost_tolerance);
  if (o.cost_tolerance > 0 && o.objective == bufins::Objective::max_slack)
    value_error("cost_tolerance needs a cost objective or frontier=True");
  return q;
}

// ---- Solving ----

std::string unmet_text(const Request &q, const std::vector<bufins::FrontierPoint> &points, int area_decimals) {
  return bufins::unmet_goal_message(q.options, points, area_decimals);
}

// One solve, without the GIL: the result with the figures the program
// prints or implies (cost of a max-slack run, status, message).
std::shared_ptr<ResultObj> solve_one(const std::shared_ptr<const NetObj> &net, const LibObj &lib, const Request &q,
                                     const std::function<bool(long long, long long)> &progress) {
  bufins::Options o = q.options;
  o.progress = progress;
  auto out = std::make_shared<ResultObj>();
  out->r = bufins::solve(net->net, lib.lib, o);
  bufins::Result &r = out->r;
  r.net = bufins::Net();  // solved() makes it again when asked
  out->given = net;
  out->segments = o.segments;
  out->area_decimals = lib.lib.area_decimals;
  if (!r.feasible) {
    out->status = "infeasible";
    out->message = "bufins: the request cannot be met: " + r.reason;
  } else if (!r.goal_met) {
    out->status = "unmet";
    out->message = unmet_text(q, r.frontier, lib.lib.area_decimals);
  } else {
    out->status = "ok";
  }
  return out;
}

// ---- Building nets and libraries from Python data ----

template <typename T>
py::array_t<T> column(const py::object &data, const char *what) {
  py::array_t<T, py::array::c_style | py::array::forcecast> a;
  try {
    a = py::array_t<T, py::array::c_style | py::array::forcecast>::ensure(data);
  } catch (const py::error_already_set &) {
  }
  if (!a) throw py::type_error(std::string("net: ") + what + " is not an array of numbers");
  if (a.ndim() != 1) value_error(std::string("net: ") + what + " must be one-dimensional");
  return a;
}

void check_figure(double v, const char *what, size_t i, bool non_negative) {
  char b[160];
  if (!std::isfinite(v)) {
    std::snprintf(b, sizeof b, "net: %s[%zu] is not a finite number (%g)", what, i, v);
    value_error(b);
  }
  if (std::fabs(v) > max_magnitude) {
    std::snprintf(b, sizeof b, "net: %s[%zu] is out of range (magnitude above %g)", what, i, max_magnitude);
    value_error(b);
  }
  if (non_negative && v < 0) {
    std::snprintf(b, sizeof b, "net: %s[%zu] must not be negative (%g)", what, i, v);
    value_error(b);
  }
}

double scalar_figure(const py::object &h, const char *what) {
  const double v = number_of(h, what);
  if (!std::isfinite(v) || v < 0 || v > max_magnitude)
    value_error(std::string("net: ") + what + " is not a finite non-negative number (" + format("%g", v) + ")");
  return v;
}

bufins::NodeKind kind_of(const py::handle &h, size_t i) {
  if (py::isinstance<py::str>(h)) {
    const std::string s = h.cast<std::string>();
    if (s == "driver" || s == "d") return bufins::NodeKind::driver;
    if (s == "sink" || s == "s") return bufins::NodeKind::sink;
    if (s == "candidate" || s == "c") return bufins::NodeKind::candidate;
    value_error("net: kind[" + std::to_string(i) + "] is '" + s + "', not driver, sink or candidate");
  }
  long k;
  try {
    k = h.cast<long>();
  } catch (const py::cast_error &) {
    throw py::type_error("net: kind[" + std::to_string(i) + "] is neither a kind name nor 0, 1 or 2");
  }
  if (k < 0 || k > 2)
    value_error("net: kind[" + std::to_string(i) + "] is " + std::to_string(k) +
                ", not 0 (driver), 1 (candidate) or 2 (sink)");
  return static_cast<bufins::NodeKind>(k);
}

std::vector<bufins::NodeKind> kinds_of(const py::object &kind, size_t n) {
  std::vector<bufins::NodeKind> out;
  if (py::isinstance<py::array>(kind) && py::array(kind).dtype().kind() != 'U' &&
      py::array(kind).dtype().kind() != 'O' && py::array(kind).dtype().kind() != 'S') {
    const auto a = column<long>(kind, "kind");
    for (ssize_t i = 0; i < a.size(); i++) out.push_back(kind_of(py::int_(a.at(i)), static_cast<size_t>(i)));
  } else {
    size_t i = 0;
    for (const py::handle h : py::iter(kind)) out.push_back(kind_of(h, i++));
  }
  if (out.size() != n)
    value_error("net: kind has " + std::to_string(out.size()) + " entries, x has " + std::to_string(n));
  return out;
}

std::shared_ptr<NetObj> net_from_arrays(const py::object &x_in, const py::object &y_in, const py::object &kind_in,
                                        const py::object &edges_in, const py::object &load_in,
                                        const py::object &required_in, const py::object &index_in,
                                        const py::object &driver_resistance, const py::object &wire_resistance,
                                        const py::object &wire_capacitance, const py::object &driver_max_cap,
                                        const std::string &name) {
  const auto x = column<double>(x_in, "x");
  const size_t n = static_cast<size_t>(x.size());
  const auto y = column<double>(y_in, "y");
  if (static_cast<size_t>(y.size()) != n)
    value_error("net: y has " + std::to_string(y.size()) + " entries, x has " + std::to_string(n));
  const std::vector<bufins::NodeKind> kind = kinds_of(kind_in, n);
  auto optional_column = [&](const py::object &in, const char *what) {
    py::array_t<double> a;
    if (in.is_none()) return a;
    a = column<double>(in, what);
    if (static_cast<size_t>(a.size()) != n)
      value_error(std::string("net: ") + what + " has " + std::to_string(a.size()) + " entries, x has " +
                  std::to_string(n));
    return a;
  };
  const auto load = optional_column(load_in, "load");
  const auto required = optional_column(required_in, "required");
  std::vector<long> index(n);
  if (index_in.is_none()) {
    for (size_t i = 0; i < n; i++) index[i] = static_cast<long>(i);
  } else {
    const auto a = column<long>(index_in, "index");
    if (static_cast<size_t>(a.size()) != n)
      value_error("net: index has " + std::to_string(a.size()) + " entries, x has " + std::to_string(n));
    for (size_t i = 0; i < n; i++) {
      index[i] = a.at(static_cast<ssize_t>(i));
      if (index[i] < 0 || index[i] > INT32_MAX)
        value_error("net: index[" + std::to_string(i) + "] is " + std::to_string(index[i]) +
                    ", not a node number from 0 up");
    }
  }
  // Edges: pairs of node numbers, (E, 2) or a flat list of pairs.
  py::array_t<long, py::array::c_style | py::array::forcecast> edges;
  try {
    edges = py::array_t<long, py::array::c_style | py::array::forcecast>::ensure(edges_in);
  } catch (const py::error_already_set &) {
  }
  if (!edges) throw py::type_error("net: edges is not an array of node-number pairs");
  if (!(edges.ndim() == 2 && edges.shape(1) == 2) && !(edges.ndim() == 1 && edges.size() == 0))
    value_error("net: edges must hold pairs (parent, child) of node numbers, an array of shape (E, 2)");
  int drivers = 0;
  size_t driver = 0;
  for (size_t i = 0; i < n; i++) {
    check_figure(x.at(static_cast<ssize_t>(i)), "x", i, false);
    check_figure(y.at(static_cast<ssize_t>(i)), "y", i, false);
    if (kind[i] == bufins::NodeKind::driver) drivers++, driver = i;
    if (kind[i] == bufins::NodeKind::sink) {
      if (load_in.is_none() || required_in.is_none()) value_error("net: the sinks need load= and required=");
      check_figure(load.at(static_cast<ssize_t>(i)), "load", i, true);
      check_figure(required.at(static_cast<ssize_t>(i)), "required", i, false);
    }
  }
  if (drivers != 1) value_error("net: " + std::to_string(drivers) + " nodes are of kind driver: exactly one must be");
  if (index[driver] != 0)
    value_error("net: the driver's node number is " + std::to_string(index[driver]) + ": it must be 0");
  bufins::NetBuilder b(x.at(static_cast<ssize_t>(driver)), y.at(static_cast<ssize_t>(driver)),
                       scalar_figure(driver_resistance, "driver_resistance"));
  b.wire(scalar_figure(wire_resistance, "wire_resistance"), scalar_figure(wire_capacitance, "wire_capacitance"));
  if (!driver_max_cap.is_none()) b.driver_max_cap(scalar_figure(driver_max_cap, "driver_max_cap"));
  // The reader's order, the given order within each kind.
  for (size_t i = 0; i < n; i++)
    if (kind[i] == bufins::NodeKind::sink)
      b.sink(static_cast<int>(index[i]), x.at(static_cast<ssize_t>(i)), y.at(static_cast<ssize_t>(i)),
             load.at(static_cast<ssize_t>(i)), required.at(static_cast<ssize_t>(i)));
  for (size_t i = 0; i < n; i++)
    if (kind[i] == bufins::NodeKind::candidate)
      b.candidate(static_cast<int>(index[i]), x.at(static_cast<ssize_t>(i)), y.at(static_cast<ssize_t>(i)));
  const ssize_t edge_count = edges.ndim() == 2 ? edges.shape(0) : 0;
  for (ssize_t e = 0; e < edge_count; e++) {
    const long from = edges.at(e, 0), to = edges.at(e, 1);
    if (from < INT32_MIN || from > INT32_MAX || to < INT32_MIN || to > INT32_MAX)
      value_error("net: edges[" + std::to_string(e) + "] names a node number out of range");
    b.edge(static_cast<int>(from), static_cast<int>(to));
  }
  auto out = std::make_shared<NetObj>();
  out->net = b.link(name);  // the reader's checks: unknown nodes, cycles, a second parent ...
  return out;
}

TypeObj buffer_type_of(const py::handle &h, size_t i);

std::string type_place(size_t i, const std::string &name) {
  return "library: type " + std::to_string(i + 1) + (name.empty() ? "" : " (" + name + ")");
}

TypeObj checked_type(std::string name, const py::handle &input_cap, const py::handle &delay,
                                const py::handle &resistance, const py::handle &area, const py::handle &max_cap,
                                size_t i) {
  TypeObj o;
  bufins::BufferType &t = o.t;
  t.name = std::move(name);
  auto figure = [&](const py::handle &h, const char *what) {
    double v;
    try {
      v = h.cast<double>();
    } catch (const py::cast_error &) {
      throw py::type_error(type_place(i, t.name) + ": " + what + " must be a number");
    }
    if (!std::isfinite(v) || v < 0 || v > max_magnitude)
      value_error(type_place(i, t.name) + ": " + what + " is not a finite non-negative number (" + format("%g", v) + ")");
    return v;
  };
  if (t.name.empty() || t.name.find_first_of(" \t\r\n") != std::string::npos)
    value_error(type_place(i, t.name) + ": the name must be one word");
  t.input_cap = figure(input_cap, "input_cap");
  t.intrinsic_delay = figure(delay, "intrinsic_delay");
  t.output_resistance = figure(resistance, "output_resistance");
  if (!area.is_none()) {
    // As area= in a library file: plain decimals, at most max_area_decimals
    // of them, from 0 to max_area.
    const std::string text = decimal_text(area);
    if (text.empty())
      throw py::type_error(type_place(i, t.name) +
                           ": area must be an int, or decimals as str, float or decimal.Decimal");
    long long units = 0, whole = 0;
    if (!decimal_units(text, &units, &o.decimals) || o.decimals > bufins::max_area_decimals ||
        !bufins::cost_units(text, 0, &whole) || whole > bufins::max_area ||
        (whole == bufins::max_area && text.find_first_not_of("0", text.find('.') + 1) != std::string::npos &&
         o.decimals > 0))
      value_error(type_place(i, t.name) + ": area " + py::repr(area).cast<std::string>() +
                  " is not an integer from 0 to " + std::to_string(bufins::max_area) + " (or such a number with at most " +
                  std::to_string(bufins::max_area_decimals) + " decimals)");
    t.area = units;
  }
  if (!max_cap.is_none()) t.max_cap = figure(max_cap, "max_cap");
  return o;
}

TypeObj buffer_type_of(const py::handle &h, size_t i) {
  if (py::isinstance<TypeObj>(h)) return h.cast<TypeObj>();
  if (py::isinstance<py::dict>(h)) {
    const py::dict d = py::reinterpret_borrow<py::dict>(h);
    for (const auto &kv : d) {
      const std::string k = py::str(kv.first);
      if (k != "name" && k != "input_cap" && k != "intrinsic_delay" && k != "output_resistance" && k != "area" &&
          k != "max_cap")
        value_error(type_place(i, "") + ": unknown field " + k +
                    " (known: name, input_cap, intrinsic_delay, output_resistance, area, max_cap)");
    }
    for (const char *k : {"name", "input_cap", "intrinsic_delay", "output_resistance"})
      if (!d.contains(k)) value_error(type_place(i, "") + ": " + k + " is missing");
    return checked_type(py::str(d["name"]), d["input_cap"], d["intrinsic_delay"], d["output_resistance"],
                        d.contains("area") ? py::object(d["area"]) : py::none(),
                        d.contains("max_cap") ? py::object(d["max_cap"]) : py::none(), i);
  }
  const py::tuple t = py::tuple(py::reinterpret_borrow<py::object>(h));
  if (t.size() < 4 || t.size() > 6)
    value_error(type_place(i, "") +
                ": a type is (name, input_cap, intrinsic_delay, output_resistance[, area[, max_cap]])");
  return checked_type(py::str(t[0]), t[1], t[2], t[3], t.size() > 4 ? py::object(t[4]) : py::none(),
                      t.size() > 5 ? py::object(t[5]) : py::none(), i);
}

// A library of types given alone: its decimals the most of theirs, every
// area rescaled to them.
std::shared_ptr<LibObj> library_of(const std::vector<TypeObj> &given) {
  auto lib = std::make_shared<LibObj>();
  for (const TypeObj &o : given) lib->lib.area_decimals = std::max(lib->lib.area_decimals, o.decimals);
  for (size_t i = 0; i < given.size(); i++) {
    bufins::BufferType t = given[i].t;
    for (int d = given[i].decimals; d < lib->lib.area_decimals; d++) t.area *= 10;
    if (t.area > bufins::max_area_units)
      value_error(type_place(i, t.name) + ": area " + bufins::cost_text(t.area, lib->lib.area_decimals) +
                  " is too large for areas of " + std::to_string(lib->lib.area_decimals) +
                  " decimals: an area times 10^decimals must not exceed 10^12");
    lib->lib.types.push_back(std::move(t));
  }
  return lib;
}

std::vector<TypeObj> types_of(const bufins::Library &lib) {
  std::vector<TypeObj> out;
  for (const bufins::BufferType &t : lib.types) out.push_back({t, lib.area_decimals});
  return out;
}

// ---- numpy views of the model ----

template <typename T, typename F>
py::array_t<T> node_column(const bufins::Net &net, F f) {
  py::array_t<T> a(static_cast<ssize_t>(net.nodes.size()));
  auto w = a.template mutable_unchecked<1>();
  for (size_t i = 0; i < net.nodes.size(); i++) w(static_cast<ssize_t>(i)) = f(net.nodes[i]);
  return a;
}

py::array_t<long> edge_table(const bufins::Net &net) {
  py::array_t<long> a({static_cast<ssize_t>(net.edges.size()), static_cast<ssize_t>(2)});
  auto w = a.mutable_unchecked<2>();
  for (size_t i = 0; i < net.edges.size(); i++) {
    w(static_cast<ssize_t>(i), 0) = net.edges[i].from;
    w(static_cast<ssize_t>(i), 1) = net.edges[i].to;
  }
  return a;
}

double limit_value(double v) { return v < bufins::no_limit ? v : INFINITY; }

// A net or library argument: the object, or a path read now.
std::shared_ptr<const NetObj> net_arg(const py::object &o) {
  if (py::isinstance<NetObj>(o)) return o.cast<std::shared_ptr<NetObj>>();
  throw py::type_error("expected a bufins.Net, got " +
                       py::str(py::type::handle_of(o).attr("__name__")).cast<std::string>());
}

std::shared_ptr<const LibObj> read_library_path(const std::string &path) {
  auto lib = std::make_shared<LibObj>();
  try {
    py::gil_scoped_release nogil;
    lib->lib = bufins::read_library(path, &lib->warnings);
  } catch (const bufins::InputError &e) {
    raise(python_error(e));
  }
  return lib;
}

bool is_path(const py::handle &o) {
  return py::isinstance<py::str>(o) || py::isinstance(o, py::module_::import("os").attr("PathLike"));
}

std::string path_text(const py::handle &o) {
  return py::str(py::module_::import("os").attr("fspath")(o)).cast<std::string>();
}

std::shared_ptr<const LibObj> library_arg(const py::object &o) {
  if (py::isinstance<LibObj>(o)) return o.cast<std::shared_ptr<LibObj>>();
  if (is_path(o)) return read_library_path(path_text(o));
  throw py::type_error("expected a bufins.Library or a library file's path, got " +
                       py::str(py::type::handle_of(o).attr("__name__")).cast<std::string>());
}

void raise_strict(const std::vector<std::string> &warnings) {
  if (warnings.empty()) return;
  py::object err = input_error_type(warnings.front());
  err.attr("file") = py::none();
  err.attr("line") = 0;
  err.attr("message") = warnings.front();
  err.attr("status") = 1;
  err.attr("warnings") = warnings;
  raise(err);
}

// A stream over text (fmemopen refuses an empty buffer: /dev/null is as empty).
struct TextStream {
  FILE *f;
  explicit TextStream(const std::string &text)
      : f(text.empty() ? std::fopen("/dev/null", "r")
                       : fmemopen(const_cast<char *>(text.data()), text.size(), "r")) {
    if (f == nullptr) throw std::bad_alloc();
  }
  ~TextStream() { std::fclose(f); }
};

template <typename Read>
auto guarded(Read read) {
  try {
    py::gil_scoped_release nogil;
    return read();
  } catch (const bufins::InputError &e) {
    raise(python_error(e));
  }
}

// ---- Routing ----

// A whole file as text, or InputError "Cannot open file: NAME: why" (OSError
// in Python, as read_net raises it).
std::string file_text(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw bufins::InputError(path, 0, "cannot open", "Cannot open file: " + path + ": " + std::strerror(errno));
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// bufins.route and bufins.route_text: the input from `path` or `text`, the
// options as bufins-route's, the routing without the GIL.
bufins::RoutedNet route_call(const py::object &path, const py::object &text, const py::object &name,
                             const py::object &loads, const py::object &driver, std::optional<double> driver_res,
                             std::optional<double> required, std::optional<double> wire_res,
                             std::optional<double> wire_cap, std::optional<double> alpha, std::optional<double> pitch,
                             double cap_unit, bool strict, bool make_text, std::vector<std::string> *warnings) {
  if (path.is_none() == text.is_none()) throw py::type_error("route() takes a path or text=..., one of them");
  bufins::RouteOptions o;
  if (!driver.is_none()) {
    const auto xy = driver.cast<std::vector<double>>();
    if (xy.size() != 2) value_error("driver must be two numbers (x, y)");
    o.driver_x = xy[0];
    o.driver_y = xy[1];
  }
  auto checked = [](std::optional<double> v, const char *what, double lo, double hi) {
    if (v && !(*v >= lo && *v <= hi))
      value_error(std::string(what) + " must be a number from " + format("%g", lo) + " to " + format("%g", hi));
    return v;
  };
  const double big = 1e60;  // as bufins-route accepts
  if (driver.is_none() == false && (!(std::fabs(*o.driver_x) <= big) || !(std::fabs(*o.driver_y) <= big)))
    value_error("driver must lie within " + format("%g", big) + " of the origin");
  o.driver_resistance = checked(driver_res, "driver_res", 0.0, big);
  o.required = checked(required, "required", -big, big);
  o.wire_resistance = checked(wire_res, "wire_res", 0.0, big);
  o.wire_capacitance = checked(wire_cap, "wire_cap", 0.0, big);
  o.alpha = checked(alpha, "alpha", 0.0, 1.0);
  if (pitch) {
    if (!(*pitch > 0.0 && *pitch <= big)) value_error("pitch must be a length above 0");
    o.pitch = *pitch;
  }
  if (!(cap_unit >= 1e-30 && cap_unit <= 1.0)) value_error("cap_unit must be a number from 1e-30 to 1");
  o.cap_unit = cap_unit;
  o.text = make_text;
  const std::string file = path.is_none() ? "" : path_text(path);
  const std::string shown = !name.is_none() ? name.cast<std::string>() : path.is_none() ? "net" : file;
  const std::string loads_path = loads.is_none() ? "" : path_text(loads);
  std::string input = path.is_none() ? text.cast<std::string>() : "";
  bufins::RoutedNet routed = guarded([&] {
    if (!path.is_none()) input = file_text(file);
    if (!loads_path.empty()) {
      o.loads = file_text(loads_path);
      o.loads_name = loads_path;
    }
    return bufins::route(input, shown, o, warnings);
  });
  if (strict) raise_strict(*warnings);
  return routed;
}

const char *const kRouteDoc = R"(Routes a driver and its sinks into a net, as bufins-route does: the net
bufins.read_net would read from the file bufins-route writes for the same
input and options, bit for bit, so solve() of it gives what bufins-route
then bufins print.

The input is a file (path) or its text (text=..., with name standing for
the file in messages), recognised by its content: a pin file (wire, driver
and sink lines), a public sink list (NumPins, PerUnitResistance, Sink,
Coordinate, Capacitive Load; sink id k becomes node k+1) or a routed tree
(kept as routed; loads= names the sink list it was routed over).

Options, as bufins-route's: driver=(x, y) the driver's place; driver_res
its output resistance; required every sink's required time (less its
Downstream_Delay); wire_res, wire_cap the wire constants per unit length;
alpha 0 to 1 (short total wire, 0, to short paths from the driver, 1);
pitch a candidate node at most that far apart along every wire; cap_unit
the net's capacitance unit in farads for sink lists (1e-15: fF, times in ps).

Warnings are in Net.warnings (with strict=True the first one raises).
Errors raise bufins.InputError with bufins-route's message, OSError for a
file that cannot be opened, ValueError for an option out of range.

    net = bufins.route("r1", required=1000, alpha=0.5)
    r = bufins.solve(net, lib)
)";

// ---- solve_many's pool ----

struct Slot {
  std::shared_ptr<ResultObj> result;
  std::unique_ptr<bufins::InputError> error;
  bool done = false;
};

std::vector<Slot> run_pool(const std::vector<std::variant<std::shared_ptr<const NetObj>, std::string>> &inputs,
                           const LibObj &lib, const Request &q, int jobs, bool *interrupted) {
  const size_t n = inputs.size();
  std::vector<Slot> slots(n);
  std::atomic<size_t> next{0};
  std::atomic<bool> cancel{false};
  std::atomic<bool> out_of_memory{false};
  std::mutex m;
  std::condition_variable finished;
  int running = std::max(1, std::min<int>(jobs, static_cast<int>(n)));
  auto work = [&] {
    Interrupt stop;
    stop.cancel = &cancel;
    const std::function<bool(long long, long long)> progress = stop;
    for (size_t i; !cancel.load() && (i = next.fetch_add(1)) < n;) {
      Slot &s = slots[i];
      try {
        std::shared_ptr<const NetObj> net;
        if (const auto *p = std::get_if<std::string>(&inputs[i])) {
          auto read = std::make_shared<NetObj>();
          read->net = bufins::read_net(*p, &read->warnings);
          net = std::move(read);
        } else {
          net = std::get<std::shared_ptr<const NetObj>>(inputs[i]);
        }
        s.result = solve_one(net, lib, q, progress);
        s.done = true;
      } catch (const bufins::InputError &e) {
        s.error = std::make_unique<bufins::InputError>(e);
        s.done = true;
      } catch (const bufins::Cancelled &) {
      } catch (const std::bad_alloc &) {
        out_of_memory = true;
        cancel = true;
      }
    }
    std::lock_guard<std::mutex> lock(m);
    if (--running == 0) finished.notify_all();
  };
  std::vector<std::thread> threads;
  {
    py::gil_scoped_release nogil;
    const int count = running;
    for (int t = 0; t < count; t++) threads.emplace_back(work);
    std::unique_lock<std::mutex> lock(m);
    while (running > 0) {
      if (finished.wait_for(lock, std::chrono::milliseconds(100), [&] { return running == 0; })) break;
      lock.unlock();
      bool signalled;
      {
        py::gil_scoped_acquire gil;
        signalled = PyErr_CheckSignals() != 0;
      }
      if (signalled) {
        *interrupted = true;
        cancel = true;
      }
      lock.lock();
    }
    lock.unlock();
    for (std::thread &t : threads) t.join();
  }
  if (out_of_memory) throw std::bad_alloc();
  return slots;
}

// ---- Docstrings ----

const char *const kSolveDoc = R"(Inserts buffers into one net with the flat engine family, as
``bufins -a flat`` does, and returns the chosen solution.

net
    a bufins.Net (read_net, parse_net or Net(...)).
library
    a bufins.Library, or the path of a library file.
segments
    cut every wire of non-zero length into segments + 1 equal pieces
    first (bufins -m); Result.net is then the net solved.
objective
    "max_slack" (the best slack), "min_cost" (the best slack at the
    least cost), "target" (the least cost whose slack is at least
    value), "budget" (the best slack of cost at most value, a
    cost: an int, or decimals as str, float or decimal.Decimal, rounded down
    to the library's decimals), or "within" (the least cost whose slack is within value
    of the best: a number in the net's time unit, or a string "P%" for
    P percent of |best slack|).
frontier
    with "max_slack", compute the slack-cost frontier too (the chosen
    point is then min_cost's); cost objectives always fill it.
max_cap, max_slew
    electrical limits, as --max-cap (files' capacitance unit; for every
    gate without a max_cap of its own) and --max-slew.
cost_tolerance
    with a cost objective (or frontier=True), as --cost-tolerance: a
    fraction E from 0 to 1 (or a string "P%"); the areas are rounded up
    to one unit within E of each, so that the work no longer grows with
    their scale, and every cost is at most (1 + E) times the least cost
    at its slack (costs reported are the true sums of areas).

The GIL is released while the engine runs; a pending Ctrl-C cancels a
long run (KeyboardInterrupt). Raises ValueError for a bad option,
bufins.InputError (a ValueError) for a request the program refuses.

A result that misses a target or budget has status "unmet" (the program
exits with 2 and writes the best slack at its least cost); limits that
no assignment meets give status "infeasible" and feasible False.

Example::

    net = bufins.read_net("top.net")
    lib = bufins.read_library("lib4.lib")
    r = bufins.solve(net, lib, segments=2, objective="within", value="5%")
    print(r.slack, r.buffers, r.cost, r.placements["buffer_type"])
)";

const char *const kSolveManyDoc = R"(Solves many nets with one library and one set of options (those of
solve()) on a pool of C++ threads, the GIL released, and returns their
results in input order.

nets
    bufins.Net objects or net file paths (read on the worker threads).
jobs
    threads (default: the machine's cores).
errors
    "raise": after every net has run, raise the first failure in input
    order; "return": put the exception (bufins.InputError or OSError)
    in the failed net's place.

A pending Ctrl-C stops the pool: the nets under way are cancelled and
KeyboardInterrupt is raised.
)";

const char *const kNetDoc = R"(Net(x, y, kind, edges, load=None, required=None, *, index=None, driver_resistance, wire_resistance=0.0, wire_capacitance=0.0, driver_max_cap=None, name="net")

A routing tree: one driver, sinks and candidate nodes (where buffers may
stand), joined by edges from parent to child. Built from arrays or lists
of equal length, one entry per node:

x, y
    coordinates (the net's length unit).
kind
    "driver", "sink" or "candidate" (or "d", "s", "c"; or the numbers
    0, 2, 1 of bufins.DRIVER, SINK, CANDIDATE). Exactly one driver.
load, required
    the sinks' load capacitance (the files' unit) and required time;
    ignored at other nodes.
index
    node numbers (default 0, 1, 2, ...); the driver's must be 0.
edges
    (parent, child) pairs of node numbers, shape (E, 2).
driver_resistance, wire_resistance, wire_capacitance
    the driver's output resistance, and resistance and capacitance per
    unit length of wire.

The net is checked as the reader checks a net file (a node named twice,
an edge to an unknown node, a cycle, a sink with children ...): errors
raise ValueError (bufins.InputError) with the reader's message, NAME
standing for the file. Nodes are kept in the reader's order: the driver,
the sinks, the candidates, each kind in the given order.

A Net is immutable; its tables read back as numpy arrays (index, kind,
x, y, load, required, edges). It pickles (for Dask and multiprocessing).
)";

}  // namespace

PYBIND11_MODULE(_bufins, m) {
  PYBIND11_NUMPY_DTYPE(PlacementRecord, start, end, buffer_type);
  PYBIND11_NUMPY_DTYPE(FrontierRecord, cost, buffers, slack);
  PYBIND11_NUMPY_DTYPE(DecimalFrontierRecord, cost, buffers, slack);
  PYBIND11_NUMPY_DTYPE(StageRecord, node, end, buffer_type, load, slew, max_cap);
  m.doc() = "The compiled core of the bufins package (see help(bufins)).";
  m.attr("__version__") = BUFINS_VERSION;
  m.attr("MINUS_INFINITY") = bufins::minus_infinity;
  m.attr("DRIVER") = static_cast<int>(bufins::NodeKind::driver);
  m.attr("CANDIDATE") = static_cast<int>(bufins::NodeKind::candidate);
  m.attr("SINK") = static_cast<int>(bufins::NodeKind::sink);

  input_error_type = py::reinterpret_steal<py::object>(
      PyErr_NewExceptionWithDoc("bufins.InputError",
                                "Bad input: a net or library file, or a net built in code, that the bufins program "
                                "refuses. str() is the program's message ('file:line: what is wrong'); the "
                                "attributes file, line (0: none), message (without the place) and status (the "
                                "program's exit status) say the same in parts.",
                                PyExc_ValueError, nullptr));
  m.attr("InputError") = input_error_type;
  py::register_exception_translator([](std::exception_ptr p) {
    try {
      if (p) std::rethrow_exception(p);
    } catch (const bufins::InputError &e) {
      const py::object err = python_error(e);
      PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(err.ptr())), err.ptr());
    } catch (const bufins::Cancelled &e) {
      PyErr_SetString(PyExc_KeyboardInterrupt, e.what());
    }
  });

  // ---- BufferType, Library ----
  // An area as Python shows it: an int, or a decimal.Decimal with exactly
  // the decimals of its library (Decimal('3.750') in a library of three).
  auto area_value = [](long long units, int decimals) -> py::object {
    if (decimals == 0) return py::int_(units);
    return py::module_::import("decimal").attr("Decimal")(bufins::cost_text(units, decimals));
  };
  py::class_<TypeObj>(m, "BufferType",
                      "One buffer type of a library: name, input capacitance (the files' unit), "
                      "intrinsic delay, output resistance, area (its cost: an int, or decimals given as str, "
                      "float or decimal.Decimal, shown as decimal.Decimal) and max_cap "
                      "(the largest load it may drive; inf for none).")
      .def(py::init([](const std::string &name, const py::object &input_cap, const py::object &intrinsic_delay,
                       const py::object &output_resistance, const py::object &area, const py::object &max_cap) {
             return checked_type(name, input_cap, intrinsic_delay, output_resistance, area, max_cap, 0);
           }),
           py::arg("name"), py::arg("input_cap"), py::arg("intrinsic_delay"), py::arg("output_resistance"),
           py::arg("area") = 1, py::arg("max_cap") = py::none())
      .def_property_readonly("name", [](const TypeObj &o) { return o.t.name; })
      .def_property_readonly("input_cap", [](const TypeObj &o) { return o.t.input_cap; })
      .def_property_readonly("intrinsic_delay", [](const TypeObj &o) { return o.t.intrinsic_delay; })
      .def_property_readonly("output_resistance", [](const TypeObj &o) { return o.t.output_resistance; })
      .def_property_readonly("area", [area_value](const TypeObj &o) { return area_value(o.t.area, o.decimals); })
      .def_property_readonly("max_cap", [](const TypeObj &o) { return limit_value(o.t.max_cap); })
      .def("__repr__", [](const TypeObj &o) {
        const bufins::BufferType &t = o.t;
        char b[320];
        std::snprintf(b, sizeof b,
                      "BufferType(%s, input_cap=%.17g, intrinsic_delay=%.17g, output_resistance=%.17g, area=%s%s)",
                      py::repr(py::str(t.name)).cast<std::string>().c_str(), t.input_cap, t.intrinsic_delay,
                      t.output_resistance,
                      o.decimals == 0 ? std::to_string(t.area).c_str()
                                      : ("'" + bufins::cost_text(t.area, o.decimals) + "'").c_str(),
                      t.max_cap < bufins::no_limit ? format(", max_cap=%.17g", t.max_cap).c_str() : "");
        return std::string(b);
      })
      .def(py::pickle(
          [area_value](const TypeObj &o) {
            const bufins::BufferType &t = o.t;
            return py::make_tuple(t.name, t.input_cap, t.intrinsic_delay, t.output_resistance,
                                  area_value(t.area, o.decimals), limit_value(t.max_cap));
          },
          [](const py::tuple &s) {
            const double c = s[5].cast<double>();
            return checked_type(s[0].cast<std::string>(), s[1], s[2], s[3], s[4],
                                std::isinf(c) ? py::object(py::none()) : py::object(s[5]), 0);
          }));

  py::class_<LibObj, std::shared_ptr<LibObj>>(
      m, "Library",
      "Library(types): a buffer library, from a list of bufins.BufferType, (name, input_cap, intrinsic_delay, "
      "output_resistance[, area[, max_cap]]) tuples or dicts of those keys. Type numbers in placements are the "
      "1-based positions. At most 64 types. read_library() reads one from a file.")
      .def(py::init([](const py::iterable &types) {
             std::vector<TypeObj> given;
             size_t i = 0;
             for (const py::handle h : types) given.push_back(buffer_type_of(h, i++));
             if (given.size() > 64)
               value_error("library: " + std::to_string(given.size()) + " buffer types: the limit is 64");
             return library_of(given);
           }),
           py::arg("types"))
      .def_property_readonly("types", [](const LibObj &l) { return types_of(l.lib); })
      .def_property_readonly("area_decimals", [](const LibObj &l) { return l.lib.area_decimals; },
                             "The most decimals of the areas: costs are exact in units of 10^-area_decimals.")
      .def_readonly("warnings", &LibObj::warnings, "The reader's warnings ('file:line: warning: ...').")
      .def("__len__", [](const LibObj &l) { return l.lib.types.size(); })
      .def("__repr__", [](const LibObj &l) { return "<bufins.Library of " + std::to_string(l.lib.types.size()) + " types>"; })
      .def(py::pickle([](const LibObj &l) { return py::make_tuple(py::cast(types_of(l.lib)), l.warnings); },
                      [](const py::tuple &s) {
                        auto lib = library_of(s[0].cast<std::vector<TypeObj>>());
                        lib->warnings = s[1].cast<std::vector<std::string>>();
                        return lib;
                      }));

  // ---- Net ----
  py::class_<NetObj, std::shared_ptr<NetObj>>(m, "Net", kNetDoc)
      .def(py::init(&net_from_arrays), py::arg("x"), py::arg("y"), py::arg("kind"), py::arg("edges"),
           py::arg("load") = py::none(), py::arg("required") = py::none(), py::kw_only(), py::arg("index") = py::none(),
           py::arg("driver_resistance"), py::arg("wire_resistance") = 0.0, py::arg("wire_capacitance") = 0.0,
           py::arg("driver_max_cap") = py::none(), py::arg("name") = "net")
      .def_property_readonly("index", [](const NetObj &n) { return node_column<int32_t>(n.net, [](const bufins::Node &d) { return d.index; }); },
                             "Node numbers, in the net's order (driver, sinks, candidates).")
      .def_property_readonly("kind", [](const NetObj &n) { return node_column<int8_t>(n.net, [](const bufins::Node &d) { return static_cast<int8_t>(d.kind); }); },
                             "Node kinds: 0 driver, 1 candidate, 2 sink (bufins.DRIVER, CANDIDATE, SINK).")
      .def_property_readonly("x", [](const NetObj &n) { return node_column<double>(n.net, [](const bufins::Node &d) { return d.x; }); })
      .def_property_readonly("y", [](const NetObj &n) { return node_column<double>(n.net, [](const bufins::Node &d) { return d.y; }); })
      .def_property_readonly("load", [](const NetObj &n) { return node_column<double>(n.net, [](const bufins::Node &d) { return d.load; }); },
                             "Sink loads (the files' capacitance unit); 0 at other nodes.")
      .def_property_readonly("required", [](const NetObj &n) { return node_column<double>(n.net, [](const bufins::Node &d) { return d.required; }); },
                             "Sink required times; 0 at other nodes.")
      .def_property_readonly("edges", [](const NetObj &n) { return edge_table(n.net); },
                             "(parent, child) node numbers, shape (E, 2), in the file's order.")
      .def_property_readonly("driver_resistance", [](const NetObj &n) { return n.net.driver_resistance; })
      .def_property_readonly("driver_max_cap", [](const NetObj &n) { return limit_value(n.net.driver_max_cap); })
      .def_property_readonly("wire_resistance", [](const NetObj &n) { return n.net.wire_resistance; })
      .def_property_readonly("wire_capacitance", [](const NetObj &n) { return n.net.wire_capacitance; })
      .def_property_readonly("sinks", [](const NetObj &n) { return n.net.sinks(); })
      .def_property_readonly("candidates", [](const NetObj &n) { return n.net.candidates(); })
      .def_readonly("warnings", &NetObj::warnings, "The reader's warnings ('file:line: warning: ...').")
      .def("__len__", [](const NetObj &n) { return n.net.nodes.size(); })
      .def("segmented", [](const NetObj &n, int m) {
             auto out = std::make_shared<NetObj>();
             try {
               out->net = bufins::segmented(n.net, m);
             } catch (const bufins::InputError &e) {
               raise(python_error(e));
             }
             return out;
           }, py::arg("m"),
           "The net with every wire of non-zero length cut into m + 1 equal pieces by m new candidate nodes "
           "(numbered from 50000 + the candidates), as bufins -m does.")
      .def("text", [](const NetObj &n) { return bufins::final_net_text(n.net); },
           "The net as a net file (the text of the .finalnet the program writes).")
      .def("__repr__", [](const NetObj &n) {
        return "<bufins.Net of " + std::to_string(n.net.nodes.size()) + " nodes: " + std::to_string(n.net.sinks()) +
               " sinks, " + std::to_string(n.net.candidates()) + " candidates>";
      })
      .def(py::pickle(
          [](const NetObj &n) {
            std::vector<int32_t> index, kind;
            std::vector<double> x, y, load, required;
            for (const bufins::Node &d : n.net.nodes) {
              index.push_back(d.index), kind.push_back(static_cast<int>(d.kind));
              x.push_back(d.x), y.push_back(d.y), load.push_back(d.load), required.push_back(d.required);
            }
            return py::make_tuple(py::array(py::cast(index)), py::array(py::cast(kind)), py::array(py::cast(x)),
                                  py::array(py::cast(y)), py::array(py::cast(load)), py::array(py::cast(required)),
                                  edge_table(n.net), n.net.driver_resistance, n.net.wire_resistance,
                                  n.net.wire_capacitance, n.net.driver_max_cap, n.warnings);
          },
          [](const py::tuple &s) {
            const double max_cap = s[10].cast<double>();
            auto out = net_from_arrays(s[2], s[3], s[1], s[6], s[4], s[5], s[0], s[7], s[8], s[9],
                                       max_cap < bufins::no_limit ? py::object(py::float_(max_cap)) : py::none(), "net");
            out->warnings = s[11].cast<std::vector<std::string>>();
            return out;
          }));

  m.def("read_net", [](const py::object &path, bool strict) {
          auto n = std::make_shared<NetObj>();
          const std::string p = path_text(path);
          n->net = guarded([&] { return bufins::read_net(p, &n->warnings); });
          if (strict) raise_strict(n->warnings);
          return n;
        }, py::arg("path"), py::kw_only(), py::arg("strict") = false,
        "Reads a net file as the bufins program does. Warnings are "
        "kept in Net.warnings; with strict=True the first one raises bufins.InputError. Errors raise "
        "bufins.InputError with the program's message, or OSError ('Cannot open file: NAME: reason').");
  m.def("parse_net", [](const std::string &text, const std::string &name, bool strict) {
          auto n = std::make_shared<NetObj>();
          n->net = guarded([&] {
            TextStream in(text);
            return bufins::read_net(in.f, name, &n->warnings);
          });
          if (strict) raise_strict(n->warnings);
          return n;
        }, py::arg("text"), py::arg("name") = "net", py::kw_only(), py::arg("strict") = false,
        "A net file's text read as read_net reads the "
        "file; NAME stands for the file in messages.");
  m.def("read_library", [](const py::object &path, bool strict) {
          auto l = std::make_shared<LibObj>();
          const std::string p = path_text(path);
          l->lib = guarded([&] { return bufins::read_library(p, &l->warnings); });
          if (strict) raise_strict(l->warnings);
          return l;
        }, py::arg("path"), py::kw_only(), py::arg("strict") = false,
        "Reads a buffer library file as the bufins program "
        "does (warnings in Library.warnings, or raised with strict=True).");
  m.def("parse_library", [](const std::string &text, const std::string &name, bool strict) {
          auto l = std::make_shared<LibObj>();
          l->lib = guarded([&] {
            TextStream in(text);
            return bufins::read_library(in.f, name, &l->warnings);
          });
          if (strict) raise_strict(l->warnings);
          return l;
        }, py::arg("text"), py::arg("name") = "library", py::kw_only(), py::arg("strict") = false,
        "A library file's text read as "
        "read_library reads the file.");

  m.def("route",
        [](const py::object &path, const py::object &text, const py::object &name, const py::object &loads,
           const py::object &driver, std::optional<double> driver_res, std::optional<double> required,
           std::optional<double> wire_res, std::optional<double> wire_cap, std::optional<double> alpha,
           std::optional<double> pitch, double cap_unit, bool strict) {
          auto n = std::make_shared<NetObj>();
          n->net = route_call(path, text, name, loads, driver, driver_res, required, wire_res, wire_cap, alpha, pitch,
                              cap_unit, strict, false, &n->warnings)
                       .net;
          return n;
        },
        py::arg("path") = py::none(), py::kw_only(), py::arg("text") = py::none(), py::arg("name") = py::none(),
        py::arg("loads") = py::none(), py::arg("driver") = py::none(), py::arg("driver_res") = py::none(),
        py::arg("required") = py::none(), py::arg("wire_res") = py::none(), py::arg("wire_cap") = py::none(),
        py::arg("alpha") = py::none(), py::arg("pitch") = py::none(), py::arg("cap_unit") = 1e-15,
        py::arg("strict") = false, kRouteDoc);
  m.def("route_text",
        [](const py::object &path, const py::object &text, const py::object &name, const py::object &loads,
           const py::object &driver, std::optional<double> driver_res, std::optional<double> required,
           std::optional<double> wire_res, std::optional<double> wire_cap, std::optional<double> alpha,
           std::optional<double> pitch, double cap_unit, bool strict) {
          std::vector<std::string> warnings;
          return route_call(path, text, name, loads, driver, driver_res, required, wire_res, wire_cap, alpha, pitch,
                            cap_unit, strict, true, &warnings)
              .text;
        },
        py::arg("path") = py::none(), py::kw_only(), py::arg("text") = py::none(), py::arg("name") = py::none(),
        py::arg("loads") = py::none(), py::arg("driver") = py::none(), py::arg("driver_res") = py::none(),
        py::arg("required") = py::none(), py::arg("wire_res") = py::none(), py::arg("wire_cap") = py::none(),
        py::arg("alpha") = py::none(), py::arg("pitch") = py::none(), py::arg("cap_unit") = 1e-15,
        py::arg("strict") = false,
        "The net file bufins-route writes for the same input and options as route() (its header names "
        "bufins-route); route() is the net bufins reads from it.");

  // ---- Result ----
  py::class_<ResultObj, std::shared_ptr<ResultObj>>(
      m, "Result",
      "What solve() returns: the chosen solution (slack, buffers, cost, placements), its status, the frontier of a "
      "cost objective, and the stages when limits are in force.")
      .def_property_readonly("slack", [](const ResultObj &o) { return o.r.slack; },
                             "The chosen solution's slack at the driver (bufins.MINUS_INFINITY when no assignment "
                             "reaches the driver with a finite slack).")
      .def_property_readonly("buffers", [](const ResultObj &o) { return o.r.buffers; })
      .def_property_readonly("cost", [area_value](const ResultObj &o) { return area_value(o.r.cost, o.area_decimals); },
                             "The sum of the placed buffers' areas (for every objective): an int, or with decimal "
                             "areas a decimal.Decimal with the library's decimals, exact.")
      .def_property_readonly("feasible", [](const ResultObj &o) { return o.r.feasible; },
                             "False when no buffer assignment meets the limits (see reason); nothing else is set.")
      .def_property_readonly("reason", [](const ResultObj &o) { return o.r.reason; })
      .def_property_readonly("goal_met", [](const ResultObj &o) { return o.r.goal_met; },
                             "False when a target or budget is not met: the result is then the best slack at its "
                             "least cost.")
      .def_property_readonly("status", [](const ResultObj &o) { return o.status; },
                             "'ok', 'unmet' (a target or budget not met) or 'infeasible' (limits not met).")
      .def_property_readonly("message", [](const ResultObj &o) { return o.message.empty() ? py::object(py::none()) : py::object(py::str(o.message)); },
                             "None when ok; else the message the bufins program prints on standard error.")
      .def_property_readonly("empty_tree", [](const ResultObj &o) { return o.r.empty_tree; },
                             "The placement file says 'empty tree' (the driver drives a sink, or nothing beats "
                             "minus infinity).")
      .def_property_readonly("placements", [](const ResultObj &o) {
             py::array_t<PlacementRecord> a(static_cast<ssize_t>(o.r.placements.size()));
             std::memset(a.mutable_data(), 0, static_cast<size_t>(a.nbytes()));  // padding too
             auto w = a.mutable_unchecked<1>();
             for (size_t i = 0; i < o.r.placements.size(); i++)
               w(static_cast<ssize_t>(i)) = {o.r.placements[i].start, o.r.placements[i].end, o.r.placements[i].type};
             return a;
           },
           "Structured array (start, end, buffer_type): a buffer of the 1-based type at node start on the wire to "
           "its child end, in placement-file order.")
      .def_property_readonly("frontier", [](const ResultObj &o) -> py::array {
             if (o.area_decimals > 0) {
               py::array_t<DecimalFrontierRecord> a(static_cast<ssize_t>(o.r.frontier.size()));
               std::memset(a.mutable_data(), 0, static_cast<size_t>(a.nbytes()));  // padding too
               auto w = a.mutable_unchecked<1>();
               for (size_t i = 0; i < o.r.frontier.size(); i++)
                 w(static_cast<ssize_t>(i)) = {std::stod(bufins::cost_text(o.r.frontier[i].cost, o.area_decimals)),
                                               o.r.frontier[i].buffers, o.r.frontier[i].slack};
               return std::move(a);
             }
             py::array_t<FrontierRecord> a(static_cast<ssize_t>(o.r.frontier.size()));
             std::memset(a.mutable_data(), 0, static_cast<size_t>(a.nbytes()));  // padding too
             auto w = a.mutable_unchecked<1>();
             for (size_t i = 0; i < o.r.frontier.size(); i++)
               w(static_cast<ssize_t>(i)) = {o.r.frontier[i].cost, o.r.frontier[i].buffers, o.r.frontier[i].slack};
             return a;
           },
           "Structured array (cost, buffers, slack): the slack-cost frontier in increasing cost and slack (cost "
           "objectives and frontier=True; empty otherwise). Cost is int64, or float64 (the nearest double) for a "
           "library with decimal areas.")
      .def_property_readonly("chosen", [](const ResultObj &o) { return o.r.chosen >= 0 ? py::object(py::int_(o.r.chosen)) : py::object(py::none()); },
                             "The frontier point chosen (an index into frontier), or None.")
      .def_property_readonly("with_limits", [](const ResultObj &o) { return o.r.with_limits; })
      .def_property_readonly("stages", [](const ResultObj &o) {
             py::array_t<StageRecord> a(static_cast<ssize_t>(o.r.stages.size()));
             std::memset(a.mutable_data(), 0, static_cast<size_t>(a.nbytes()));  // padding too
             auto w = a.mutable_unchecked<1>();
             for (size_t i = 0; i < o.r.stages.size(); i++) {
               const bufins::StageReport &s = o.r.stages[i];
               w(static_cast<ssize_t>(i)) = {s.node, s.end, s.type, s.load, s.slew, limit_value(s.max_cap)};
             }
             return a;
           },
           "Structured array (node, end, buffer_type, load, slew, max_cap) of the chosen solution's stages, the "
           "driver's (type 0) first; only when limits are in force (with_limits), else empty.")
      .def_property_readonly("memory", [](const ResultObj &o) {
             py::dict d;
             d["solutions_opened"] = o.r.memory.solutions_opened;
             d["solutions_freed"] = o.r.memory.solutions_freed;
             d["traces_opened"] = o.r.memory.traces_opened;
             d["traces_freed"] = o.r.memory.traces_freed;
             d["peak"] = o.r.memory.peak;
             return d;
           },
           "The engine's memory figures in bytes (those of -o and the JSON report).")
      .def_property_readonly("net", [](const ResultObj &o) { return std::const_pointer_cast<NetObj>(o.solved()); },
                             "The net solved: the segmented net with segments > 0, else the net given.")
      .def("placement_text", [](const ResultObj &o) { return bufins::placement_text(o.r); },
           "The placement file (.buf) the bufins program writes for this result.")
      .def("final_net_text", [](const ResultObj &o) { return bufins::final_net_text(o.solved()->net); },
           "The final net file (.finalnet) the bufins program writes for this result.")
      .def("__repr__", [](const ResultObj &o) {
        char b[200];
        std::snprintf(b, sizeof b, "<bufins.Result %s: slack %.10g, %d buffers, cost %s>", o.status.c_str(),
                      o.r.slack, o.r.buffers, bufins::cost_text(o.r.cost, o.area_decimals).c_str());
        return std::string(b);
      });

  // ---- solve, solve_many ----
  m.def("solve",
        [](const py::object &net_in, const py::object &library_in, int segments, const std::string &objective,
           const py::object &value, bool frontier, const py::object &max_cap, const py::object &max_slew,
           const py::object &cost_tolerance) {
          const std::shared_ptr<const NetObj> net = net_arg(net_in);
          const std::shared_ptr<const LibObj> lib = library_arg(library_in);
          const Request q = make_request(segments, objective, value, frontier, max_cap, max_slew, cost_tolerance,
                                         lib->lib.area_decimals);
          std::shared_ptr<ResultObj> r;
          try {
            py::gil_scoped_release nogil;
            Interrupt stop;
            stop.check_signals = true;
            r = solve_one(net, *lib, q, stop);
          } catch (const bufins::Cancelled &) {
            if (PyErr_Occurred()) throw py::error_already_set();
            throw;
          }
          return r;
        },
        kSolveDoc, py::arg("net"), py::arg("library"), py::kw_only(), py::arg("segments") = 0,
        py::arg("objective") = "max_slack", py::arg("value") = py::none(), py::arg("frontier") = false,
        py::arg("max_cap") = py::none(), py::arg("max_slew") = py::none(), py::arg("cost_tolerance") = 0.0);

  m.def("solve_many",
        [](const py::iterable &nets_in, const py::object &library_in, const py::object &jobs_in,
           const std::string &errors, int segments, const std::string &objective, const py::object &value,
           bool frontier, const py::object &max_cap, const py::object &max_slew, const py::object &cost_tolerance) {
          if (errors != "raise" && errors != "return")
            value_error("errors: '" + errors + "' is not 'raise' or 'return'");
          int jobs = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
          if (!jobs_in.is_none()) {
            jobs = jobs_in.cast<int>();
            if (jobs < 1 || jobs > 1024) value_error("jobs: " + std::to_string(jobs) + " is not from 1 to 1024");
          }
          std::vector<std::variant<std::shared_ptr<const NetObj>, std::string>> inputs;
          for (const py::handle h : nets_in) {
            if (is_path(h))
              inputs.emplace_back(path_text(h));
            else
              inputs.emplace_back(net_arg(py::reinterpret_borrow<py::object>(h)));
          }
          const std::shared_ptr<const LibObj> lib = library_arg(library_in);
          const Request q = make_request(segments, objective, value, frontier, max_cap, max_slew, cost_tolerance,
                                         lib->lib.area_decimals);
          bool interrupted = false;
          std::vector<Slot> slots = run_pool(inputs, *lib, q, jobs, &interrupted);
          if (interrupted) throw py::error_already_set();
          py::list out;
          for (Slot &s : slots) {
            if (s.result) {
              out.append(py::cast(s.result));
              continue;
            }
            const py::object err = python_error(*s.error);
            if (errors == "raise") raise(err);
            out.append(err);
          }
          return out;
        },
        kSolveManyDoc, py::arg("nets"), py::arg("library"), py::kw_only(), py::arg("jobs") = py::none(),
        py::arg("errors") = "raise", py::arg("segments") = 0, py::arg("objective") = "max_slack",
        py::arg("value") = py::none(), py::arg("frontier") = false, py::arg("max_cap") = py::none(),
        py::arg("max_slew") = py::none(), py::arg("cost_tolerance") = 0.0);
}
