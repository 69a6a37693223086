// The seam of bufins-batch over the engines' global tables: one net at a time
// under one mutex, each run as bufins runs the flat engine family (see
// src/app/main.cpp, whose choices of engine and messages this follows line
// for line; a test compares the two programs net by net).
//
// The tables are cleared for every net and the library, read once, is put
// back; the placement lines the engines write on the global stream fp and the
// final net go to memory streams.
#include "net_solve.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#include "cmdline.h"
#include "def.h"
#include "flat.h"
#include "flat_limits.h"
#include "io.h"
#include "wire_segment.h"

namespace batch {

struct Solver::Tables {
  int types = 0;
  double rb[MAX_BUFFERTYPES], cb[MAX_BUFFERTYPES], tb[MAX_BUFFERTYPES];
  long long area[MAX_BUFFERTYPES];
  double max_cap[MAX_BUFFERTYPES];
};

namespace {

std::mutex engine_mutex;

void put_library(const Solver::Tables &t) {
  n_buffertype = t.types;
  for (int i = 0; i < MAX_BUFFERTYPES; i++) {
    rb[i] = t.rb[i];
    cb[i] = t.cb[i];
    tb[i] = t.tb[i];
    buffer_area[i] = t.area[i];
    buffer_max_cap[i] = t.max_cap[i];
  }
}

// Text written to a memory stream, owned until taken.
class MemoryStream {
 public:
  MemoryStream() : stream_(open_memstream(&buffer_, &size_)) {
    if (stream_ == nullptr) throw std::bad_alloc();
  }
  ~MemoryStream() {
    if (stream_ != nullptr) std::fclose(stream_);
    std::free(buffer_);
  }
  MemoryStream(const MemoryStream &) = delete;
  MemoryStream &operator=(const MemoryStream &) = delete;
  FILE *stream() const { return stream_; }
  std::string take() {
    if (std::fclose(stream_) != 0) throw std::bad_alloc();
    stream_ = nullptr;
    return std::string(buffer_, size_);
  }

 private:
  char *buffer_ = nullptr;
  size_t size_ = 0;
  FILE *stream_;
};

// The net's text as a stream the reader takes (fmemopen refuses an empty
// buffer: an empty net reads from /dev/null, which is just as empty).
FILE *text_stream(const std::string &text) {
  FILE *f = text.empty() ? std::fopen("/dev/null", "r")
                         : fmemopen(const_cast<char *>(text.data()), text.size(), "r");
  if (f == nullptr) throw std::bad_alloc();
  return f;
}

// Sum of the areas of the buffers on the placement lines.
long long placement_cost(const std::string &text) {
  long long cost = 0;
  const char *p = text.c_str();
  while (*p != '\0') {
    int start, end, type;
    if (std::sscanf(p, "start %d end %d buffertype %d", &start, &end, &type) == 3 && type >= 1 &&
        type <= n_buffertype)
      cost += buffer_area[type - 1];
    const char *nl = std::strchr(p, '\n');
    if (nl == nullptr) break;
    p = nl + 1;
  }
  return cost;
}

// bufins's message for a target or budget no solution meets (main.cpp).
std::string unmet_goal_text(const CostGoal &goal, const std::vector<FrontierPoint> &points) {
  char text[512];
  if (points.empty())
    std::snprintf(text, sizeof text, "bufins: no solution beats minus infinity, so none meets the %s",
                  goal.kind == CostObjective::TARGET ? "target" : "budget");
  else if (goal.kind == CostObjective::TARGET)
    std::snprintf(text, sizeof text,
                  "bufins: no solution reaches the target slack %.10g: the best slack reachable is %.10g (cost %lld)",
                  goal.slack, points.back().slack, points.back().cost);
  else
    std::snprintf(text, sizeof text, "bufins: no solution costs at most %lld: the least cost is %lld (slack %.10g)",
                  goal.budget, points.front().cost, points.front().slack);
  return text;
}

// The engine run of bufins for the flat family, on the net in the tables.
void run_engines(Node *root, const Request &req, Outcome &out) {
  const bool use_cost = req.cost.kind != CostObjective::NONE;
  const bool limited_run = limits_in_force(req.limits) && !limits_cannot_bind(req.limits);
  MemoryStream placement;
  fp = placement.stream();
  int buffers = 0;
  if (use_cost) {
    std::vector<FrontierPoint> points;
    CostChoice choice;
    auto finish = [&](auto &engine) {
      choice = choose_point(points, req.cost);
      engine.write_placements(choice.point, &buffers);
    };
    if (limited_run) {
      LimitedFrontier frontier(req.limits);
      if (!frontier.run(root)) {
        out.status = Outcome::INFEASIBLE;
        out.error = "bufins: the request cannot be met: " + explain_infeasible(req.limits, frontier.dead_end());
        return;
      }
      for (const LimitedPoint &p : frontier.points()) points.push_back({p.cost, p.buffers, p.slack});
      finish(frontier);
    } else {
      CostFrontier frontier;
      frontier.run(root);
      points = frontier.points();
      finish(frontier);
    }
    out.slack = choice.point >= 0 ? points[static_cast<size_t>(choice.point)].slack : MINUS_INFINITY_TIME;
    out.cost = choice.point >= 0 ? points[static_cast<size_t>(choice.point)].cost : 0;
    if (!choice.met) {
      out.status = Outcome::UNMET;
      out.error = unmet_goal_text(req.cost, points);
    }
  } else if (limited_run) {
    FlatLimited limited(req.limits);
    if (!limited.run(root)) {
      out.status = Outcome::INFEASIBLE;
      out.error = "bufins: the request cannot be met: " + explain_infeasible(req.limits, limited.dead_end());
      return;
    }
    out.slack = limited.slack();
    limited.print_buffers(&buffers);
  } else {
    flat(root);
    out.slack = flat_answer;
    flat_printbuffer(&buffers);
    flat_free();
  }
  fp = stdout;
  out.solved = true;
  out.buffers = buffers;
  out.feasible = out.slack > MINUS_INFINITY_TIME;
  out.placement = placement.take();
  if (!use_cost) out.cost = placement_cost(out.placement);
  if (!req.placement) out.placement.clear();
  if (req.final_net) {
    MemoryStream final_net;
    Printoutput(root, final_net.stream());
    out.final_net = final_net.take();
  }
}

}  // namespace

Solver::Solver(const std::string &library, const Request &request, std::vector<std::string> *warnings)
    : request_(request) {
  std::lock_guard<std::mutex> hold(engine_mutex);
  reset_globals();
  cmdline::Stream in = cmdline::open_stream(library, "r");
  if (!in) throw InputError(library, 0, "cannot be opened", "Cannot open file: " + library);
  const Warn warn = [warnings](const std::string &text) {
    if (warnings != nullptr) warnings->push_back(text);
  };
  InputLib(in.get(), library, warn);
  auto t = std::make_shared<Tables>();
  t->types = n_buffertype;
  for (int i = 0; i < MAX_BUFFERTYPES; i++) {
    t->rb[i] = rb[i];
    t->cb[i] = cb[i];
    t->tb[i] = tb[i];
    t->area[i] = buffer_area[i];
    t->max_cap[i] = buffer_max_cap[i];
  }
  library_ = std::move(t);
}

Outcome Solver::solve(const std::string &text, const std::string &name) const {
  Outcome out;
  const Warn warn = [&out](const std::string &line) { out.warnings.push_back(line); };
  std::lock_guard<std::mutex> hold(engine_mutex);
  reset_globals();
  put_library(*library_);
  FILE *in = nullptr;
  try {
    in = text_stream(text);
    Node *root = read_net(in, name, warn);
    std::fclose(in);
    in = nullptr;
    if (request_.segments > 0) wire_segment(request_.segments);
    run_engines(root, request_, out);
  } catch (const InputError &e) {
    if (in != nullptr) std::fclose(in);
    std::vector<std::string> warnings = std::move(out.warnings);  // printed before the error, as bufins does
    out = Outcome{};
    out.warnings = std::move(warnings);
    out.status = Outcome::ERROR;
    out.error = e.what();
    out.error_file = e.file;
    out.error_line = e.line;
    out.error_message = e.message;
  }
  fp = stdout;
  return out;
}

}  // namespace batch
