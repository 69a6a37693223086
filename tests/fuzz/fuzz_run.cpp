// Fuzz target: a whole run of each engine on what reads successfully.
//
// Input: the first byte chooses the segmenting coefficient (its value mod 4)
// and how often the flat engine collects its trace pool (bits 2-4);
// the rest is a library, a line "%%", and a net. Nets beyond 200 nodes or
// 2,000 after segmentation, and libraries beyond 16 types, are skipped so that
// one execution stays short. The list, fast and flat engines run one after
// the other, write their placements (to /dev/null) and release everything;
// their slacks must agree (to 1e-9 relative, plus the rounding that the
// magnitudes of the net's delay terms allow), and every engine's memory
// counters must balance.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "def.h"
#include "expiration_list.h"
#include "fastins.h"
#include "bufins/bufins.h"
#include "fuzz_input.h"
#include "fuzz_tables.h"
#include "io.h"
#include "tree.h"
#include "van.h"
#include "wire_segment.h"

namespace {

FILE *sink_stream() {
  static FILE *devnull = std::fopen("/dev/null", "w");
  return devnull;
}

// The counters of one engine's run must end where they started.
void check_balanced(const char *engine) {
  if (total_solution != reduce_solution || m_used != m_reduced) {
    std::fprintf(stderr, "%s: memory counters do not balance: %g/%g %g/%g\n", engine, total_solution,
                 reduce_solution, m_used, m_reduced);
    std::abort();
  }
}

void reset_counters() { total_solution = reduce_solution = m_used = m_reduced = max_space = 0.0; }

double run_list(Node *root) {
  reset_counters();
  Comp no_winner{nullptr, nullptr, 0, 0, 0, 0};
  final_location_van = &no_winner;
  RLnode *list = van(root);
  int count = 0;
  printbuffer(final_location_van == &no_winner ? nullptr : final_location_van, &count);
  list_delete(list);
  check_balanced("list");
  return van_answer;
}

double run_fast(Node *root) {
  reset_counters();
  nil_make();
  Comp no_winner{nullptr, nullptr, 0, 0, 0, 0};
  final_location_fastins = &no_winner;
  std::vector<double> k(n_buffertype, 0.0);
  RTnode *rt[MAX_BUFFERTYPES + 1] = {};
  RTnode *lists[MAX_BUFFERTYPES + 1] = {};
  fastins(k.data(), root, rt, lists);
  int count = 0;
  printbuffer_fastins(final_location_fastins == &no_winner ? nullptr : final_location_fastins, &count);
  for (int i = fastins_trees - 1; i >= 0; i--) {
    tree_delete(rt[i]);
    tree_delete_swap(lists[i]);
  }
  nil_free();
  check_balanced("fast");
  return fastins_answer;
}

double run_flat(int young_records) {
  const bufins::Net net = net_from_tables();
  const bufins::Library lib = library_from_tables();
  bufins::Options o;
  o.young_records = young_records;
  const bufins::Result r = bufins::solve(net, lib, o);
  const bufins::Memory &m = r.memory;
  total_solution = m.solutions_opened;
  reduce_solution = m.solutions_freed;
  m_used = m.traces_opened;
  m_reduced = m.traces_freed;
  check_balanced("flat");
  return r.slack;
}

void check_agree(const char *engine, double a, double b) {
  double scale = std::fmax(1.0, std::fmax(std::fabs(a), std::fabs(b)));
  if (std::fabs(a - b) > 1e-9 * scale + 1e-13 * delay_scale()) {
    std::fprintf(stderr, "%s slack %.17g against the list engine's %.17g\n", engine, b, a);
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  int segments = data[0] % 4;
  const char *text = reinterpret_cast<const char *>(data + 1);
  size_t length = size - 1;
  const char *split = static_cast<const char *>(memmem(text, length, "%%\n", 3));
  if (split == nullptr) return 0;
  size_t lib_length = static_cast<size_t>(split - text);
  const uint8_t *net_bytes = reinterpret_cast<const uint8_t *>(split + 3);
  size_t net_length = length - lib_length - 3;

  reset_globals();
  Node *root = nullptr;
  try {
    FuzzStream lib = fuzz_stream(data + 1, lib_length);
    InputLib(lib.get(), "fuzz.lib");
    if (n_buffertype > 16) return 0;
    FuzzStream net = fuzz_stream(net_bytes, net_length);
    root = read_net(net.get(), "fuzz.net");
    if (n_nodes > 200 || static_cast<long>(n_edges) * (segments + 1) > 2000) return 0;
    if (segments > 0) root = wire_segment(segments);
  } catch (const InputError &) {
    return 0;
  }
  fp = sink_stream();
  double list_slack = run_list(root);
  if (n_buffertype > 0) check_agree("fast", list_slack, run_fast(root));
  // Bits 2-4 of the first byte, when not all zero, make the flat engine
  // collect its trace pool every few records.
  int young = (data[0] >> 2) & 7;
  check_agree("flat", list_slack, run_flat(young != 0 ? young : 1 << 15));
  fp = stdout;
  return 0;
}
