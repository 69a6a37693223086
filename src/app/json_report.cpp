// The JSON run report (write_json_report, declared in cli.h), streamed.
//
// The report takes the winner's placements from the placement file the engine
// has just written (from the offset where the winner's lines start), so the
// two can never disagree whatever engine ran. It is written member by member
// through JsonWriter, in the order and with the bytes of the document-tree
// report it replaces: nothing is held per placement but the placement itself,
// node numbers are resolved through the readers' flat node index, and each
// buffer name is escaped once.
#include <sys/resource.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "cli.h"
#include "io.h"
#include "json_writer.h"

namespace {

struct Placement {
  int start, end, buffertype;
};

// "%d" of sscanf on [p, end): blanks, a sign, digits; nullptr when there are
// no digits. The engines write these numbers, so they fit an int.
const char *scan_int(const char *p, const char *end, int *v) {
  while (p < end && (*p == ' ' || (*p >= '\t' && *p <= '\r'))) p++;
  const bool negative = p < end && *p == '-';
  if (p < end && (*p == '-' || *p == '+')) p++;
  const char *digits = p;
  long long value = 0;
  for (; p < end && *p >= '0' && *p <= '9' && p - digits < 19; p++) value = value * 10 + (*p - '0');
  if (p == digits) return nullptr;
  *v = static_cast<int>(negative ? -value : value);
  return p;
}

// A literal of the pattern, after any blanks (a blank in a scanf pattern
// matches any run of them, none included).
const char *scan_word(const char *p, const char *end, const char *word) {
  while (p < end && (*p == ' ' || (*p >= '\t' && *p <= '\r'))) p++;
  const size_t n = std::strlen(word);
  return static_cast<size_t>(end - p) >= n && std::memcmp(p, word, n) == 0 ? p + n : nullptr;
}

// The lines "start S end E buffertype T" of the file from offset `from` on,
// as sscanf(line, "start %d end %d buffertype %d") reads them; other lines
// ("empty tree") are skipped.
bool read_placements(const std::string &file, long from, std::vector<Placement> *out) {
  File f(std::fopen(file.c_str(), "r"), &std::fclose);
  if (!f || std::fseek(f.get(), from, SEEK_SET) != 0) return false;
  std::string text;
  char block[1 << 14];
  size_t got;
  while ((got = std::fread(block, 1, sizeof block, f.get())) > 0) text.append(block, got);
  if (std::ferror(f.get())) return false;
  const char *p = text.data(), *end = p + text.size();
  while (p < end) {
    const char *nl = static_cast<const char *>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
    const char *e = nl ? nl : end;
    Placement pl;
    const char *q = p;
    if (e - q >= 5 && std::memcmp(q, "start", 5) == 0 &&
        (q = scan_int(q + 5, e, &pl.start)) && (q = scan_word(q, e, "end")) && (q = scan_int(q, e, &pl.end)) &&
        (q = scan_word(q, e, "buffertype")) && (q = scan_int(q, e, &pl.buffertype)))
      out->push_back(pl);
    p = nl ? nl + 1 : end;
  }
  return true;
}

// The figures of recently written nodes: a node is often the end of one
// placement and the start of the next ones, and the shortest-digits
// conversion of a coordinate is most of a placement's cost. Direct-mapped by
// table position.
class NodeFigures {
 public:
  struct Entry {
    int at = -1;
    unsigned char xn = 0, yn = 0;
    char x[JsonWriter::kNumberRoom], y[JsonWriter::kNumberRoom];
  };
  const Entry &of(int at) {
    Entry &e = slots_[static_cast<size_t>(at) % kSlots];
    if (e.at != at) {
      e.at = at;
      e.xn = static_cast<unsigned char>(JsonWriter::format_number(e.x, nodes[at].x) - e.x);
      e.yn = static_cast<unsigned char>(JsonWriter::format_number(e.y, nodes[at].y) - e.y);
    }
    return e;
  }

 private:
  static constexpr size_t kSlots = 256;
  std::vector<Entry> slots_ = std::vector<Entry>(kSlots);
};

void node_json(JsonWriter &w, const NodeIndex &position, NodeFigures &figures, int index) {
  w.begin_object();
  w.key("node");
  w.integer(index);
  const int at = node_index_find(position, index);
  if (at >= 0) {
    const NodeFigures::Entry &e = figures.of(at);
    w.key("x");
    w.figure(e.x, e.xn);
    w.key("y");
    w.figure(e.y, e.yn);
  } else {
    w.key("x");
    w.null();
    w.key("y");
    w.null();
  }
  w.end_object();
}

void limit_json(JsonWriter &w, double v, double scale) {
  if (v < NO_LIMIT)
    w.number(v * scale);
  else
    w.null();
}

}  // namespace

bool write_json_report(OutputFile &out, const RunSummary &run) {
  std::vector<Placement> placements;
  if (!read_placements(run.placement_path, run.winner_from, &placements)) {
    std::fflush(stdout);
    std::fprintf(stderr, "bufins: cannot read back %s for the JSON report\n", run.placement_file.c_str());
    return false;
  }
  const int records = n_sinks + n_candidates;
  NodeIndex position;  // the first record carrying a number
  int again;
  node_index_build(position, records, &again);

  // About 260 bytes a placement, 120 a frontier point or stage.
  size_t expected = 1024 + 260 * placements.size();
  if (run.frontier != nullptr) expected += 120 * run.frontier->size();
  JsonWriter w(out.stream(), expected);
  w.begin_object();
  w.key("tool");
  w.string("bufins");
  w.key("version");
  w.string(BUFINS_VERSION);
  // The report format's own version (README, "The JSON report"): raised when
  // a field changes its name or meaning.
  w.key("schema");
  w.string("1.1");
  w.key("net_file");
  w.string(run.netname);
  w.key("library_file");
  w.string(run.libname);
  w.key("final_net_file");
  w.string(run.finalnet);
  w.key("placement_file");
  w.string(run.placement_file);
  w.key("algorithm");
  w.string(engine_name(run.engine));
  w.key("segments");
  w.integer(run.segments);
  w.key("nodes");
  w.integer(records);
  w.key("sinks");
  w.integer(n_sinks - 1);
  w.key("candidates");
  w.integer(n_candidates);
  w.key("buffer_types");
  w.integer(n_buffertype);
  w.key("slack");
  w.number(run.slack);
  w.key("feasible");
  w.boolean(run.slack > MINUS_INFINITY_TIME);
  w.key("buffers");
  w.integer(run.buffers);

  std::vector<std::string> names(run.buffer_names.size());
  for (size_t k = 0; k < names.size(); k++) names[k] = JsonWriter::escaped(run.buffer_names[k]);
  NodeFigures figures;
  w.key("placements");
  w.begin_array();
  for (const Placement &p : placements) {
    w.begin_object();
    w.key("start");
    node_json(w, position, figures, p.start);
    w.key("end");
    node_json(w, position, figures, p.end);
    w.key("buffer_type");
    w.integer(p.buffertype);
    w.key("buffer_name");
    const size_t type = static_cast<size_t>(p.buffertype - 1);
    if (p.buffertype >= 1 && type < names.size())
      w.raw(names[type]);
    else
      w.null();
    w.end_object();
  }
  w.end_array();

  // Costs are exact: integers for integer areas, else numbers with the
  // library's decimals ("16.26").
  auto cost = [&](long long units) {
    if (run.area_decimals == 0)
      w.integer(units);
    else
      w.raw(bufins::cost_text(units, run.area_decimals));
  };
  if (run.cost >= 0) {
    w.key("cost");
    cost(run.cost);
    if (run.cost_tolerance > 0.0) {
      w.key("cost_tolerance");
      w.number(run.cost_tolerance);
      w.key("cost_unit");
      cost(run.cost_unit);
    }
    if (run.frontier != nullptr) {
      w.key("frontier");
      w.begin_array();
      for (size_t k = 0; k < run.frontier->size(); k++) {
        const FrontierPoint &p = (*run.frontier)[k];
        w.begin_object();
        w.key("cost");
        cost(p.cost);
        w.key("buffers");
        w.integer(p.buffers);
        w.key("slack");
        w.number(p.slack);
        w.key("chosen");
        w.boolean(static_cast<int>(k) == run.chosen);
        w.end_object();
      }
      w.end_array();
    }
  }
  if (run.with_limits) {
    // The winner's stages as the limits see them (the run's, from the
    // library), loads in the files' capacitance unit.
    w.key("limits");
    w.begin_object();
    w.key("max_cap");
    limit_json(w, run.limits.max_cap, 1000.0);
    w.key("max_slew");
    limit_json(w, run.limits.max_slew, 1.0);
    w.end_object();
    w.key("stages");
    w.begin_array();
    for (const bufins::StageReport &st : *run.stages) {
      w.begin_object();
      w.key("node");
      w.integer(st.node);
      w.key("end");
      w.integer(st.end);
      w.key("buffer_type");
      w.integer(st.type);
      w.key("load");
      w.number(st.load);
      w.key("slew");
      w.number(st.slew);
      w.key("max_cap");
      limit_json(w, st.max_cap, 1.0);
      w.end_object();
    }
    w.end_array();
  }
  // The counters hold whole byte counts in doubles (exact below 2^53).
  auto bytes = [](double v) { return static_cast<long long>(v); };
  w.key("memory_bytes");
  w.begin_object();
  w.key("solutions_opened");
  w.integer(bytes(total_solution));
  w.key("solutions_freed");
  w.integer(bytes(reduce_solution));
  w.key("traces_opened");
  w.integer(bytes(m_used));
  w.key("traces_freed");
  w.integer(bytes(m_reduced));
  w.key("peak");
  w.integer(bytes(max_space));
  w.end_object();
  w.key("algorithm_time_s");
  w.number(run.algorithm_cpu_time);
  rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  w.key("peak_rss_kib");
  w.integer(static_cast<long long>(usage.ru_maxrss));
  w.end_object();
  if (!w.finish()) {
    const int e = w.error() != 0 ? w.error() : errno;
    std::fflush(stdout);
    std::fprintf(stderr, "bufins: cannot write %s: %s\n", out.name().c_str(), std::strerror(e));
    return false;
  }
  return true;
}
