// Fuzz target: bufins-batch's inputs, cut into nets and solved one by one.
//
// Input: the first byte chooses the segmenting coefficient (its value mod 4),
// min-cost instead of maximum slack (bit 2, without segmenting only, so that
// one execution stays short) and an output folder (bit 3, which makes nets of
// one name collide); the rest is an input file, then optionally a line "%%"
// and a --nets list. Both are handed to the feed as files in memory (memfd),
// with a small library shared by every execution. What must hold:
//   - the feed's nets are the input's cut at its `net NAME` lines (or the
//     whole file, when its first meaningful line is none), line for line
//     with their place in the file, then the list's non-blank lines; the
//     progress bar's count ahead is the number of nets;
//   - every net cut out is solved as bufins solves it: an input error's line
//     lies in the net and moves down by the net's place in the file; a
//     solution's placement, evaluated independently (tools/check/placement.*),
//     has its slack, buffer count and cost; the final net reads back.
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "batch.h"
#include "def.h"
#include "fuzz_input.h"
#include "fuzz_tables.h"
#include "io.h"
#include "net_solve.h"
#include "placement.h"
#include "wire_segment.h"

namespace {

[[noreturn]] void fail(const char *what, double a, double b, const std::string &text = "") {
  std::fprintf(stderr, "fuzz_batch: %s (%.17g, %.17g)\n%s\n", what, a, b, text.c_str());
  std::abort();
}

const char kLibrary[] =
    "buffer_small   20.0  35.0  180.0  area=1\n"
    "buffer_medium  40.0  30.0   90.0  area=2\n"
    "buffer_large   80.0  28.0   45.0  area=4\n";

// A file in memory that fopen() reaches by its /proc/self/fd name, kept open
// for the whole campaign and rewritten by every execution.
struct MemoryFile {
  int fd;
  std::string path;
  explicit MemoryFile(const char *name) : fd(memfd_create(name, 0)), path("/proc/self/fd/" + std::to_string(fd)) {
    if (fd < 0) fail("memfd_create", errno, 0);
  }
  void set(const char *data, size_t size) {
    if (ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) fail("memfd write", errno, 0);
  }
};

MemoryFile &input_file() {
  static MemoryFile f("batch-input");
  return f;
}
MemoryFile &list_file() {
  static MemoryFile f("batch-list");
  return f;
}

// One solver per request (segments 0-3, min-cost or not), made once.
const batch::Solver &solver(int segments, bool min_cost) {
  static std::unique_ptr<batch::Solver> made[8];
  std::unique_ptr<batch::Solver> &s = made[segments * 2 + (min_cost ? 1 : 0)];
  if (!s) {
    static MemoryFile lib("batch-library");
    lib.set(kLibrary, sizeof kLibrary - 1);
    batch::Request r;
    r.segments = segments;
    r.cost.kind = min_cost ? CostObjective::MIN_COST : CostObjective::NONE;
    r.placement = r.final_net = true;
    s = std::make_unique<batch::Solver>(lib.path, r, nullptr);
  }
  return *s;
}

// Lines as the feed reads them: split at '\n', one '\r' before it dropped; a
// last line without a newline counts.
std::vector<std::string> lines_of(const std::string &text) {
  std::vector<std::string> lines;
  size_t at = 0;
  while (at < text.size()) {
    size_t nl = text.find('\n', at);
    if (nl == std::string::npos) nl = text.size();
    std::string line = text.substr(at, nl - at);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(std::move(line));
    at = nl + 1;
  }
  return lines;
}

bool blank(const std::string &line, const char *blanks) { return line.find_first_not_of(blanks) == std::string::npos; }

// One net's text solved through the batch's seam, checked against the
// independent evaluation of its placement on the global tables.
void check_net(const batch::FedNet &item, const std::string &text, int segments, bool min_cost) {
  const batch::Outcome out = solver(segments, min_cost).solve(text, item.file);
  const long lines = static_cast<long>(lines_of(text).size());
  if (out.status == batch::Outcome::ERROR) {
    if (out.error_line < 0 || out.error_line > lines + 1) fail("error line outside the net", out.error_line, lines, out.error);
    const std::string place = item.file + ":" + std::to_string(out.error_line) + ":";
    if (out.error_line > 0 && item.offset > 0 && out.error.compare(0, place.size(), place) == 0) {
      const std::string moved = item.file + ":" + std::to_string(out.error_line + item.offset) + ":";
      const std::string renumbered = batch::renumber(out.error, item.file, item.offset);
      if (renumbered.compare(0, moved.size(), moved) != 0) fail("error not moved to the net's place", item.offset, out.error_line, renumbered);
    }
    return;
  }
  if (!out.solved) return;
  if (out.buffers > 0 && out.placement.empty()) fail("buffers without placement lines", out.buffers, 0);

  reset_globals();
  try {
    FuzzStream lib = fuzz_stream(reinterpret_cast<const uint8_t *>(kLibrary), sizeof kLibrary - 1);
    InputLib(lib.get(), "small.lib");
    FuzzStream net = fuzz_stream(reinterpret_cast<const uint8_t *>(text.data()), text.size());
    read_net(net.get(), item.file);
    if (segments > 0) wire_segment(segments);
  } catch (const InputError &e) {
    fail("a net solved that the table reader refuses", 0, 0, e.what());
  }
  long long cost = 0;
  int count = 0;
  const std::vector<int> on = buffers_of(out.placement, &cost, &count);
  if (count != out.buffers) fail("buffer count of the placement", count, out.buffers, out.placement);
  if (cost != out.cost) fail("cost of the placement", static_cast<double>(cost), static_cast<double>(out.cost));
  if (out.feasible) {
    const double slack = evaluate_placement(on).slack;
    const double scale = std::fmax(1.0, std::fmax(std::fabs(slack), std::fabs(out.slack)));
    if (std::fabs(slack - out.slack) > 1e-9 * scale + 1e-13 * delay_scale())
      fail("slack of the placement", slack, out.slack, out.placement);
  }
  try {
    FuzzStream back = fuzz_stream(reinterpret_cast<const uint8_t *>(out.final_net.data()), out.final_net.size());
    const bufins::Net net = read_net_model(back.get(), "final.net");
    if (net.nodes.size() != nodes.size()) fail("final net's node count", static_cast<double>(net.nodes.size()), static_cast<double>(nodes.size()));
  } catch (const InputError &e) {
    fail("the final net does not read back", 0, 0, std::string(e.what()) + "\n" + out.final_net);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  const int segments = data[0] % 4;
  const bool min_cost = (data[0] & 4) != 0 && segments == 0;
  std::string file(reinterpret_cast<const char *>(data + 1), size - 1), list;
  const size_t split = file.find("%%\n");
  batch::RunOptions o;
  if (split != std::string::npos) {
    list = file.substr(split + 3);
    file.resize(split);
    list_file().set(list.data(), list.size());
    o.lists.push_back(list_file().path);
  }
  input_file().set(file.data(), file.size());
  o.inputs.push_back(input_file().path);
  if (data[0] & 8) o.out_dir = "o";

  long long ahead = 0;
  const std::vector<batch::FedNet> nets = batch::fed_nets(o, &ahead);
  if (ahead != static_cast<long long>(nets.size())) fail("nets counted ahead", static_cast<double>(ahead), static_cast<double>(nets.size()));

  // The input file: one net when its first line neither blank nor a comment
  // is no `net` line, else a net from every `net` line to the next.
  const std::vector<std::string> lines = lines_of(file);
  size_t k = 0;
  if (!nets.empty() && nets[0].path == input_file().path) {
    if (nets[0].name != nets[0].path || !nets[0].text.empty()) fail("a single net file not passed by name", 0, 0, nets[0].name);
    check_net(nets[0], file, segments, min_cost);
    k = 1;
  } else {
    for (; k < nets.size() && nets[k].path.empty(); k++) {
      const batch::FedNet &n = nets[k];
      const long at = n.offset;  // the net line, counted from 1
      if (at < 1 || at > static_cast<long>(lines.size()) || lines[static_cast<size_t>(at - 1)].compare(0, 3, "net") != 0)
        fail("a net's place is no net line", static_cast<double>(at), static_cast<double>(lines.size()));
      if (k == 0)
        for (long i = 0; i + 1 < at; i++) {
          const std::string &l = lines[static_cast<size_t>(i)];
          if (!blank(l, " \t\r\f\v") && l[l.find_first_not_of(" \t\r\f\v")] != '#') fail("a line before the first net line", i + 1, at);
        }
      const long end = k + 1 < nets.size() && nets[k + 1].path.empty() ? nets[k + 1].offset - 1 : static_cast<long>(lines.size());
      std::string text;
      for (long i = at; i < end; i++) text += lines[static_cast<size_t>(i)] + "\n";
      if (text != n.text) fail("a net's text is not its lines", static_cast<double>(at), static_cast<double>(end), n.text);
      if (n.early_error.empty()) check_net(n, n.text, segments, min_cost);
    }
    if (k == 0)
      for (const std::string &l : lines)
        if (!blank(l, " \t\r\f\v") && l[l.find_first_not_of(" \t\r\f\v")] != '#') fail("a meaningful file gave no net", 0, 0, l);
  }
  // The list: one net, by path, per line that is not blank.
  for (const std::string &l : lines_of(list)) {
    if (blank(l, " \t\f\v")) continue;
    if (k >= nets.size() || nets[k].path != l || nets[k].name != l) fail("a list line is not its net", static_cast<double>(k), 0, l);
    k++;
  }
  if (k != nets.size()) fail("nets beyond the input", static_cast<double>(k), static_cast<double>(nets.size()));
  return 0;
}
