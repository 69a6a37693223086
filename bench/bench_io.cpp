// Reader and writer throughput: reads the net file named by BUFINS_BENCH_NET
// with read_net (the tree checks included) and writes its final net file with
// Printoutput, reporting bytes per second of the net file text.
//
// Built with -DBUFINS_BENCH=ON; it uses only read_net, Printoutput and
// reset_globals, so the same source builds against older trees for side-by-side
// figures (bench/README.md, "Reader and writer").
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/stat.h>

#include "def.h"
#include "io.h"

namespace {

std::string net_path() {
  const char *p = std::getenv("BUFINS_BENCH_NET");
  return p ? p : "";
}

long file_size(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? static_cast<long>(st.st_size) : -1;
}

void BM_ReadNet(benchmark::State &state) {
  const std::string path = net_path();
  const long size = file_size(path);
  if (size < 0) {
    state.SkipWithError("set BUFINS_BENCH_NET to a net file");
    return;
  }
  for (auto _ : state) {
    reset_globals();
    FILE *f = std::fopen(path.c_str(), "r");
    benchmark::DoNotOptimize(read_net(f, path));
    std::fclose(f);
  }
  state.SetBytesProcessed(state.iterations() * size);
  state.counters["nodes"] = n_nodes;
}

void BM_WriteFinalNet(benchmark::State &state) {
  const std::string path = net_path();
  if (file_size(path) < 0) {
    state.SkipWithError("set BUFINS_BENCH_NET to a net file");
    return;
  }
  reset_globals();
  FILE *f = std::fopen(path.c_str(), "r");
  Node *root = read_net(f, path);
  std::fclose(f);
  char dir[] = "/tmp/bufins_bench_XXXXXX";
  if (mkdtemp(dir) == nullptr) {
    state.SkipWithError("mkdtemp failed");
    return;
  }
  const std::string out = std::string(dir) + "/out.net";
  for (auto _ : state) {
    filename = out;
    Printoutput(root);
  }
  const long size = file_size(filename);
  state.SetBytesProcessed(state.iterations() * size);
  std::remove(filename.c_str());
  rmdir(dir);
}

}  // namespace

BENCHMARK(BM_ReadNet)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WriteFinalNet)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
