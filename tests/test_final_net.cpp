// Tests of the final net file: its exact text, that it reads back to the same
// file (segment nodes included), the output name rule, and whole runs of the
// tool: a normal run, output that cannot be created, refused segmentation and
// a chain of 1.6 million nodes.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <cstdio>
#include <string>
#include <vector>

#include "def.h"
#include "io.h"
#include "support.h"
#include "wire_segment.h"

namespace {

const std::string kDemoNet = BUFINS_SOURCE_DIR "/examples/demo.net";
const std::string kDemoLib = BUFINS_SOURCE_DIR "/examples/demo.lib";
const std::string kTwoPin = "wire_res_per_unit 0.1\nwire_cap_per_unit 0.2\ndriver 0 0 100\nsink 1 30 40 5 300\nedge 0 1\n";

Node *load_text(const std::string &text) {
  reset_globals();
  FILE *f = fmemopen(const_cast<char *>(text.data()), text.size(), "r");
  Node *root = read_net(f, "test.net");
  std::fclose(f);
  return root;
}

// Writes the final net of the loaded tree as dir/net.finalnet; returns its text.
std::string write_final(const std::string &dir, Node *root) {
  filename = dir + "/net.net";
  Printoutput(root);
  EXPECT_EQ(filename, dir + "/net.finalnet");
  return read_file(filename);
}

size_t count_lines_starting(const std::string &text, const std::string &prefix) {
  size_t n = 0;
  for (size_t at = 0; at < text.size();) {
    if (text.compare(at, prefix.size(), prefix) == 0) n++;
    size_t nl = text.find('\n', at);
    if (nl == std::string::npos) break;
    at = nl + 1;
  }
  return n;
}

std::string copy_demo(const std::string &dir, const std::string &net_name) {
  write_file(dir + "/" + net_name, read_file(kDemoNet));
  write_file(dir + "/demo.lib", read_file(kDemoLib));
  return dir;
}

}  // namespace

TEST(FinalNet, WritesTheNetFormatInTreeOrder) {
  std::string dir = make_temp_dir();
  // Edges out of order in the file; 10 branches into 11 (left) and sink 2.
  Node *root = load_text(
      "wire_res_per_unit 0.5\nwire_cap_per_unit 0.2\ndriver 1 2 150\n"
      "sink 1 10 2 5 300\nsink 2 4 8 7.5 250\ncandidate 10 4 2\ncandidate 11 7 2\n"
      "edge 11 1\nedge 10 11\nedge 0 10\nedge 10 2\n");
  EXPECT_EQ(write_final(dir, root),
            "wire_res_per_unit 0.500000\nwire_cap_per_unit 0.200000\n\n"
            "driver 1.000000 2.000000 150.000000\nnumber_of_sinks 2\n"
            "sink 1 10.000000 2.000000 5.000000 300.000000\nsink 2 4.000000 8.000000 7.500000 250.000000\n\n"
            "number_of_candidate_nodes 2\ncandidate 10 4.000000 2.000000\ncandidate 11 7.000000 2.000000\n\n"
            "edge 0 10 \nedge 10 11 \nedge 10 2 \nedge 11 1 \n");

  // M = 1 on driver -> sink: one segment node, numbered 50000 + 0.
  root = load_text(kTwoPin);
  root = wire_segment(1);
  std::string text = write_final(dir, root);
  EXPECT_NE(text.find("\nnumber_of_candidate_nodes 1\ncandidate 50000 0.000000 35.000000\n\n"
                      "edge 0 50000 \nedge 50000 1 \n"),
            std::string::npos)
      << text;
  std::system(("rm -rf '" + dir + "'").c_str());
}

// The writer's "%f" figures against snprintf: random bit patterns, decimals of
// every magnitude, exact ties at the sixth decimal (n + odd/128) and their
// neighbours, the 2^40 boundary of the exact integer path, zeros and
// subnormals, huge and non-finite values.
TEST(FinalNet, FixedFiguresAreThoseOfPrintf) {
  std::mt19937_64 rng(2024);
  std::vector<double> values = {0.0, -0.0, 5e-7, -5e-7, 4.9e-7, 0.0000005000000001, 0.5, 1.5, 2.5, 1e-6, 999999.9999995,
                                std::ldexp(1.0, 40), std::nextafter(std::ldexp(1.0, 40), 0.0), 1e12, 1e15, 1e60, -1e60,
                                9999999999.9999995, 9999999999.999999, 1e10, std::nextafter(1e10, 0.0), 99999999.9999995,
                                0.9999995, 9.9999995, 0.0000015, 0.0000025,
                                DBL_MAX, -DBL_MAX, DBL_MIN, DBL_TRUE_MIN, std::numeric_limits<double>::infinity(),
                                -std::numeric_limits<double>::infinity(), std::numeric_limits<double>::quiet_NaN()};
  for (int i = 0; i < 400000; i++) {
    double v;
    switch (i % 4) {
      case 0: {
        uint64_t bits = rng();
        std::memcpy(&v, &bits, sizeof v);
        break;
      }
      case 1:
        v = std::ldexp(static_cast<double>(rng() >> 11), static_cast<int>(rng() % 140) - 120);
        break;
      case 2: {  // a tie, or one step beside it
        double n = static_cast<double>(rng() % (uint64_t{1} << (rng() % 45)));
        v = n + static_cast<double>(2 * (rng() % 64) + 1) / 128.0;
        int step = static_cast<int>(rng() % 3) - 1;
        if (step != 0) v = std::nextafter(v, step * INFINITY);
        break;
      }
      default:
        v = static_cast<double>(rng() % 100000000) / std::pow(10.0, static_cast<double>(rng() % 9));
    }
    values.push_back(rng() % 2 ? -v : v);
  }
  char want[512], got[FIXED6_MAX_CHARS];
  for (double v : values) {
    std::snprintf(want, sizeof want, "%f", v);
    std::string mine(got, format_fixed6(got, v));
    ASSERT_EQ(mine, want) << std::hexfloat << v;
  }
}

// Node numbers of every length in the node and edge lines, as "%d" prints them.
TEST(FinalNet, NodeNumbersAreThoseOfPrintf) {
  std::mt19937_64 rng(2025);
  std::vector<int> numbers = {1, 9, 10, 99, 100, 9999999, 10000000, 99999999, 100000000, 2147483647};
  while (numbers.size() < 3000) numbers.push_back(static_cast<int>(rng() >> (33 + rng() % 31)) + 1);
  std::sort(numbers.begin(), numbers.end());
  numbers.erase(std::unique(numbers.begin(), numbers.end()), numbers.end());
  bufins::NetBuilder b(0, 0, 1);
  b.sink(numbers[0], 0, 0, 1, 1);
  for (size_t k = 1; k < numbers.size(); k++) b.candidate(numbers[k], 0, 0);
  std::string want;
  int parent = 0;
  for (size_t k = numbers.size() - 1; k > 0; k--) {
    b.edge(parent, numbers[k]);
    want += "edge " + std::to_string(parent) + " " + std::to_string(numbers[k]) + " \n";
    parent = numbers[k];
  }
  b.edge(parent, numbers[0]);
  want += "edge " + std::to_string(parent) + " " + std::to_string(numbers[0]) + " \n";
  FILE *f = std::tmpfile();
  ASSERT_NE(f, nullptr);
  write_final_net(b.link(), f);
  std::string text;
  std::rewind(f);
  for (int c; (c = std::fgetc(f)) != EOF;) text.push_back(static_cast<char>(c));
  std::fclose(f);
  ASSERT_GE(text.size(), want.size());
  EXPECT_EQ(text.substr(text.size() - want.size()), want);
  EXPECT_NE(text.find("\ncandidate 2147483647 0.000000 0.000000\n"), std::string::npos);
}

TEST(FinalNet, ReadsBackToTheSameFile) {
  std::string dir = make_temp_dir();
  for (int M : {0, 3}) {
    FILE *f = std::fopen(kDemoNet.c_str(), "r");
    ASSERT_NE(f, nullptr);
    reset_globals();
    Node *root = read_net(f, "demo.net");
    std::fclose(f);
    if (M > 0) root = wire_segment(M);
    std::string first = write_final(dir, root);
    std::string second = write_final(dir, load_text(first));
    EXPECT_EQ(first, second) << "M = " << M;
    EXPECT_EQ(n_candidates, 5 + 11 * M);
    EXPECT_EQ(n_edges, 11 * (M + 1));
  }
  std::system(("rm -rf '" + dir + "'").c_str());
}

TEST(FinalNet, OutputNamesFollowTheLastDot) {
  struct Case {
    const char *net, *finalnet, *buf;
  } cases[] = {{"case.net", "case.finalnet", "case.buf"},
               {"case", "case.finalnet", "case.buf"},
               {"a.b.c", "a.b.finalnet", "a.b.buf"},
               {"dir.old/net", "dir.finalnet", "dir.buf"}};
  for (const Case &c : cases) {
    std::string name = c.net;
    replace_extension(name, "finalnet");
    EXPECT_EQ(name, c.finalnet);
    replace_extension(name, "buf");
    EXPECT_EQ(name, c.buf);
  }

  std::string dir = make_temp_dir();
  ASSERT_EQ(run_shell("mkdir '" + dir + "/dir.old'").status, 0);
  for (const Case &c : cases) {
    copy_demo(dir, c.net);
    RunResult r = run_bufins(std::string("-f ") + c.net + " -b demo.lib", "1\n0\n", dir);
    EXPECT_EQ(r.status, 0) << c.net << ": " << r.err;
    EXPECT_TRUE(file_exists(dir + "/" + c.finalnet)) << c.net;
    EXPECT_TRUE(file_exists(dir + "/" + c.buf)) << c.net;
  }
  std::system(("rm -rf '" + dir + "'").c_str());
}

TEST(FinalNetEndToEnd, RunsWriteRefuseAndReport) {
  // Segmenting run: the file holds what segmentation made, byte for byte.
  std::string dir = copy_demo(make_temp_dir(), "demo.net");
  RunResult r = run_bufins("-f demo.net -b demo.lib", "1\n2\n", dir);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("The slack after buffer insertion : "), std::string::npos);
  EXPECT_TRUE(file_exists(dir + "/demo.buf"));
  std::string written = read_file(dir + "/demo.finalnet");
  load_text(written);
  EXPECT_EQ(n_sinks, 7);
  EXPECT_EQ(n_candidates, 5 + 11 * 2);
  EXPECT_EQ(n_edges, 11 * 3);
  {
    FILE *f = std::fopen(kDemoNet.c_str(), "r");
    reset_globals();
    Node *root = read_net(f, "demo.net");
    std::fclose(f);
    root = wire_segment(2);
    EXPECT_EQ(write_final(dir, root), written);
  }

  // The final net file cannot be created (a directory stands in its place).
  std::string blocked = copy_demo(make_temp_dir(), "demo.net");
  ASSERT_EQ(run_shell("mkdir '" + blocked + "/demo.finalnet'").status, 0);
  r = run_bufins("-f demo.net -b demo.lib", "1\n0\n", blocked);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "Cannot open file: demo.finalnet: Is a directory\n");
  EXPECT_FALSE(file_exists(blocked + "/demo.buf"));

  // Refused runs: status 1, a message, and no output file at all.
  std::string refused = make_temp_dir();
  write_file(refused + "/demo.lib", read_file(kDemoLib));
  write_file(refused + "/clash.net",
             "wire_res_per_unit 0.1\nwire_cap_per_unit 0.2\ndriver 0 0 100\nsink 50002 30 40 5 300\n"
             "candidate 9 0 40\nedge 0 9\nedge 9 50002\n");
  write_file(refused + "/pin.net", kTwoPin);
  struct Refusal {
    const char *net, *answers, *message;
  } refusals[] = {{"clash.net", "1\n1\n", "node 50002 of the net already carries"},
                  {"pin.net", "1\n1600000\n", "limit of 1600000 nodes"},
                  {"pin.net", "1\n-3\n", "must not be negative"}};
  for (const Refusal &x : refusals) {
    r = run_bufins(std::string("-f ") + x.net + " -b demo.lib", x.answers, refused);
    EXPECT_EQ(r.status, 1) << x.net << " " << x.answers;
    EXPECT_NE(r.err.find(x.message), std::string::npos) << r.err;
    EXPECT_EQ(r.out.find("The slack"), std::string::npos);
  }
  EXPECT_FALSE(file_exists(refused + "/clash.finalnet"));
  EXPECT_FALSE(file_exists(refused + "/pin.finalnet"));
  std::system(("rm -rf '" + dir + "' '" + blocked + "' '" + refused + "'").c_str());
}

// 1,599,990 segment nodes on one wire: a chain of 1.6 million nodes, run by
// the built tool on an 8 MiB stack.
TEST(FinalNetLarge, ChainOfOnePointSixMillionNodes) {
  const int M = 1599990;
  std::string dir = make_temp_dir();
  write_file(dir + "/pin.net", kTwoPin);
  write_file(dir + "/demo.lib", read_file(kDemoLib));
  auto start = std::chrono::steady_clock::now();
  RunResult r = run_shell("ulimit -s 8192 && cd '" + dir + "' && '" BUFINS_BINARY "' -f pin.net -b demo.lib",
                          "1\n" + std::to_string(M) + "\n");
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  ASSERT_EQ(r.status, 0) << r.err;
  std::string text = read_file(dir + "/pin.finalnet");
  EXPECT_NE(text.find("\nnumber_of_candidate_nodes " + std::to_string(M) + "\n"), std::string::npos);
  EXPECT_EQ(count_lines_starting(text, "candidate "), static_cast<size_t>(M));
  EXPECT_EQ(count_lines_starting(text, "edge "), static_cast<size_t>(M) + 1);
  EXPECT_LT(seconds, 60.0);
  std::printf("chain of %d segment nodes: %.2f s for the whole run\n", M, seconds);
  std::system(("rm -rf '" + dir + "'").c_str());
}
