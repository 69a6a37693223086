// Reader and writer throughput: reads the net file named by BUFINS_BENCH_NET
// with read_net_model (the model, tree checks included: what the flat engines
// and the library read), with read_net (the same and the copy into the global
// tables of the list and fast engines), and writes its final net file with
// Printoutput (from the tables, through a temporary renamed over the file)
// and with write_final_net (from the model, into the file opened afresh),
// reporting bytes per second of the net file text and, per
// iteration, the user and system CPU time and the minor page faults. Two
// bounds beside them: Printoutput into /dev/null (the formatting alone) and
// the file's own bytes written through an output (the kernel alone).
//
// Built with -DBUFINS_BENCH=ON; it uses only read_net_model, read_net,
// Printoutput, reset_globals and OutputFile, so the same source builds against
// older trees for side-by-side figures (bench/README.md, "Reader and writer").
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>

#include "def.h"
#include "io.h"
#include "output_file.h"

namespace {

std::string net_path() {
  const char *p = std::getenv("BUFINS_BENCH_NET");
  return p ? p : "";
}

// A fresh scratch folder under $TMPDIR (else /tmp), or "" when none can be made.
std::string scratch_dir() {
  const char *tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/bufins_bench_XXXXXX";
  return mkdtemp(&pattern[0]) != nullptr ? pattern : "";
}

// A fresh scratch folder holding one output file, both removed when it goes.
struct ScratchOut {
  std::string dir = scratch_dir();
  std::string out = dir.empty() ? std::string() : dir + "/out.net";
  ~ScratchOut() {
    if (dir.empty()) return;
    std::remove(out.c_str());
    rmdir(dir.c_str());
  }
  // False (and the benchmark skipped) when no folder could be made.
  bool made(benchmark::State &state) const {
    if (dir.empty()) state.SkipWithError("mkdtemp failed");
    return !dir.empty();
  }
};

long file_size(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? static_cast<long>(st.st_size) : -1;
}

// User and system CPU seconds and minor page faults of the process so far.
struct Usage {
  double user, sys, faults;
};

Usage usage() {
  struct rusage ru;
  getrusage(RUSAGE_SELF, &ru);
  return {ru.ru_utime.tv_sec + ru.ru_utime.tv_usec * 1e-6, ru.ru_stime.tv_sec + ru.ru_stime.tv_usec * 1e-6,
          static_cast<double>(ru.ru_minflt)};
}

// Per-iteration user and system milliseconds and page faults since `from`.
void report_usage(benchmark::State &state, const Usage &from) {
  const Usage to = usage();
  const double n = static_cast<double>(state.iterations());
  state.counters["user_ms"] = (to.user - from.user) * 1000 / n;
  state.counters["sys_ms"] = (to.sys - from.sys) * 1000 / n;
  state.counters["faults"] = (to.faults - from.faults) / n;
}

// The benchmark net read into the global tables (the tables' writer's
// input); nullptr, with the benchmark skipped, when no net is set.
Node *tables_of_bench_net(benchmark::State &state) {
  const std::string path = net_path();
  if (file_size(path) < 0) {
    state.SkipWithError("set BUFINS_BENCH_NET to a net file");
    return nullptr;
  }
  reset_globals();
  FILE *f = std::fopen(path.c_str(), "r");
  Node *root = read_net(f, path);
  std::fclose(f);
  return root;
}

void BM_ReadNet(benchmark::State &state) {
  const std::string path = net_path();
  const long size = file_size(path);
  if (size < 0) {
    state.SkipWithError("set BUFINS_BENCH_NET to a net file");
    return;
  }
  size_t count = 0;
  const Usage from = usage();
  for (auto _ : state) {
    FILE *f = std::fopen(path.c_str(), "r");
    bufins::Net net = read_net_model(f, path);
    count = net.nodes.size();
    benchmark::DoNotOptimize(net);
    std::fclose(f);
  }
  report_usage(state, from);
  state.SetBytesProcessed(state.iterations() * size);
  state.counters["nodes"] = static_cast<double>(count);
}

void BM_ReadNetTables(benchmark::State &state) {
  const std::string path = net_path();
  const long size = file_size(path);
  if (size < 0) {
    state.SkipWithError("set BUFINS_BENCH_NET to a net file");
    return;
  }
  const Usage from = usage();
  for (auto _ : state) {
    reset_globals();
    FILE *f = std::fopen(path.c_str(), "r");
    benchmark::DoNotOptimize(read_net(f, path));
    std::fclose(f);
  }
  report_usage(state, from);
  state.SetBytesProcessed(state.iterations() * size);
  state.counters["nodes"] = n_nodes;
}

void BM_WriteFinalNet(benchmark::State &state) {
  Node *root = tables_of_bench_net(state);
  if (root == nullptr) return;
  const ScratchOut scratch;
  if (!scratch.made(state)) return;
  const std::string &out = scratch.out;
  const Usage from = usage();
  for (auto _ : state) {
    filename = out;
    Printoutput(root);
  }
  report_usage(state, from);
  const long size = file_size(filename);
  state.SetBytesProcessed(state.iterations() * size);
  std::remove(filename.c_str());  // the tables' writer names its own file
}

// The final net of the model (the flat engines' writer) into a file opened
// with fopen "w" each time, as `cat FILE > COPY` truncates COPY.
void BM_WriteFinalNetModel(benchmark::State &state) {
  const std::string path = net_path();
  if (file_size(path) < 0) {
    state.SkipWithError("set BUFINS_BENCH_NET to a net file");
    return;
  }
  FILE *f = std::fopen(path.c_str(), "r");
  const bufins::Net net = read_net_model(f, path);
  std::fclose(f);
  const ScratchOut scratch;
  if (!scratch.made(state)) return;
  const std::string &out = scratch.out;
  const Usage from = usage();
  for (auto _ : state) {
    FILE *o = std::fopen(out.c_str(), "w");
    write_final_net(net, o);
    std::fclose(o);
  }
  report_usage(state, from);
  state.SetBytesProcessed(state.iterations() * file_size(out));
}

// The tables' writer into /dev/null: the formatting alone, without the
// kernel's page cache work (what `cat FILE > COPY` costs is mostly that).
void BM_WriteFinalNetNull(benchmark::State &state) {
  Node *root = tables_of_bench_net(state);
  if (root == nullptr) return;
  const Usage from = usage();
  for (auto _ : state) {
    FILE *o = std::fopen("/dev/null", "w");
    Printoutput(root, o);
    std::fclose(o);
  }
  report_usage(state, from);
  state.SetBytesProcessed(state.iterations() * file_size(net_path()));
}

// The final net's bytes without making them: the net file's own text, read
// into memory once, written through an output (temporary and rename, as
// Printoutput) in blocks of 1 MiB as the writers hand them to stdio. What the
// kernel alone costs for the bytes the writers write.
void BM_WriteBytes(benchmark::State &state) {
  const std::string path = net_path();
  const long size = file_size(path);
  if (size < 0) {
    state.SkipWithError("set BUFINS_BENCH_NET to a net file");
    return;
  }
  std::string text(static_cast<size_t>(size), '\0');
  FILE *f = std::fopen(path.c_str(), "r");
  text.resize(std::fread(&text[0], 1, text.size(), f));
  std::fclose(f);
  const ScratchOut scratch;
  if (!scratch.made(state)) return;
  const std::string &out = scratch.out;
  const size_t block = size_t{1} << 20;
  const Usage from = usage();
  for (auto _ : state) {
    OutputFile file(out);
    for (size_t at = 0; at < text.size(); at += block)
      std::fwrite(text.data() + at, 1, std::min(block, text.size() - at), file.stream());
    file.commit();
  }
  report_usage(state, from);
  state.SetBytesProcessed(state.iterations() * size);
}

}  // namespace

BENCHMARK(BM_ReadNet)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadNetTables)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WriteFinalNet)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WriteFinalNetModel)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WriteFinalNetNull)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WriteBytes)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
