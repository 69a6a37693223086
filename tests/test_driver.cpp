// End-to-end tests of the bufins command: command line, prompts, exit status,
// the run report and the two output files.
//
// Each case runs the built binary in a fresh directory holding copies of the
// demo net and library, answers the prompts on standard input, and compares
// standard output, standard error, the exit status and the files left behind.
// Expected outputs of full runs are golden files tests/data/driver_*; only the
// CPU time figure is masked before comparing.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>

#include "support.h"

namespace fs = std::filesystem;

namespace {

const std::string kAlgorithmPrompt = "Van Ginneken (1) or FBI ( Fast Buffer Insertion) (2)? ";
const std::string kParsing = "Parsing the input tree file....\n";
const std::string kCoefficientPrompt = "Wire Segmenting coef (0 means no segmenting:) ";
const std::string kUsage = std::string("Usage: ") + BUFINS_BINARY + " -f netfile -b libraryfile [-d] [-t] [-o]\n";
const std::string kHelpHint = "Try 'bufins --help' for more information.\n";
const std::string kDemoReport =
    "The slack after buffer insertion :    394.745\n"
    "The number of inserted buffer is : 10\n";
const std::string kDemoPlain = kAlgorithmPrompt + kParsing + kCoefficientPrompt + kDemoReport;

// A scratch directory with demo.net and demo.lib, removed afterwards.
struct Sandbox {
  std::string dir = make_temp_dir();
  Sandbox() {
    std::string src = std::string(BUFINS_SOURCE_DIR) + "/examples/";
    fs::copy_file(src + "demo.net", dir + "/demo.net");
    fs::copy_file(src + "demo.lib", dir + "/demo.lib");
  }
  ~Sandbox() { fs::remove_all(dir); }
  std::string path(const std::string &name) const { return dir + "/" + name; }
  RunResult run(const std::string &args, const std::string &input = "1\n0\n") const {
    return run_bufins(args, input, dir);
  }
  // Runs under the common 8 MiB stack limit.
  RunResult run_8mib(const std::string &args, const std::string &input) const {
    return run_shell("ulimit -s 8192 && cd '" + dir + "' && '" + BUFINS_BINARY + "' " + args, input);
  }
  std::set<std::string> files() const {
    std::set<std::string> names;
    for (const auto &e : fs::recursive_directory_iterator(dir)) names.insert(e.path().string());
    return names;
  }
};

std::string golden(const std::string &name) { return read_file(data_path(name)); }

// True when s is a "%f" figure: digits, a point, six digits.
bool is_fixed6(const std::string &s) {
  size_t dot = s.find('.');
  if (dot == 0 || dot == std::string::npos || s.size() != dot + 7) return false;
  for (size_t i = 0; i < s.size(); i++)
    if (i != dot && !std::isdigit(static_cast<unsigned char>(s[i]))) return false;
  return true;
}

// The text between the first `before` and the next `after`, or "".
std::string figure(const std::string &out, const std::string &before, const std::string &after) {
  size_t at = out.find(before);
  if (at == std::string::npos) return "";
  size_t from = at + before.size();
  size_t to = out.find(after, from);
  return to == std::string::npos ? "" : out.substr(from, to - from);
}

std::string mask_time(std::string out) {
  const std::string before = "Algorithm time is : ", after = " seconds\n";
  std::string time = figure(out, before, after);
  if (is_fixed6(time)) out.replace(out.find(before) + before.size(), time.size(), "TIME");
  return out;
}

bool ends_with(const std::string &s, const std::string &tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// Chain net of n node lines: driver, candidates 1 .. n-2 one unit apart, the
// sink n-1 at the far end; with the given wire constants.
void write_chain(const std::string &path, int n, bool unit_wires) {
  std::FILE *f = std::fopen(path.c_str(), "w");
  ASSERT_NE(f, nullptr);
  std::fprintf(f, "wire_res_per_unit 0.000001\nwire_cap_per_unit 0.001\ndriver 0 0 200\n");
  std::fprintf(f, "sink %d 0 %d 30 900\n", n - 1, unit_wires ? n - 1 : 0);
  for (int i = 1; i <= n - 2; i++) std::fprintf(f, "candidate %d 0 %d\n", i, unit_wires ? i : 0);
  for (int i = 0; i < n - 1; i++) std::fprintf(f, "edge %d %d\n", i, i + 1);
  ASSERT_EQ(std::fclose(f), 0);
}

}  // namespace

TEST(DriverCommandLine, UsageErrorsFailAndTouchNothing) {
  Sandbox box;
  const auto before = box.files();
  const char *cases[] = {
      "",                                      // no arguments
      "-f demo.net",                           // too few
      "-f demo.net -d -t",                     // no -b
      "-b demo.lib -d -o",                     // no -f
      "-f demo.net -b demo.lib -x",            // unknown option
      "-f demo.net -b",                        // -b without its name
      "-f demo.net -b demo.lib -t -f",         // -f without its name
  };
  for (const char *args : cases) {
    SCOPED_TRACE(args);
    RunResult r = box.run(args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    // The usage line of every version first, then every option, the reason
    // and the hint.
    EXPECT_EQ(r.err.rfind(kUsage, 0), 0u) << r.err;
    EXPECT_TRUE(ends_with(r.err, kHelpHint)) << r.err;
    EXPECT_EQ(box.files(), before);
  }
  EXPECT_NE(box.run("").err.find("bufins: the net (-f FILE) and the library (-b FILE) are required\n"), std::string::npos);
  EXPECT_NE(box.run("-f demo.net -b demo.lib -x").err.find("bufins: unknown option '-x'\n"), std::string::npos);
  EXPECT_NE(box.run("-f demo.net -b").err.find("needs an argument"), std::string::npos);
  // A stray word (an output name for another program, say) is refused, not ignored.
  EXPECT_NE(box.run("-f demo.net -b demo.lib -o result.txt").err.find("unexpected argument 'result.txt'"),
            std::string::npos);
}

TEST(DriverCommandLine, FilesThatCannotBeOpenedOrReadFail) {
  Sandbox box;
  const auto before = box.files();
  struct Case {
    const char *args;
    const char *err;
  } cases[] = {
      {"-f missing.net -b demo.lib", "Cannot open file: missing.net: No such file or directory\n"},
      {"-f demo.net -b missing.lib", "Cannot open file: missing.lib: No such file or directory\n"},
      {"-f no.net -b no.lib", "Cannot open file: no.net: No such file or directory\n"},  // first in command-line order
      {"-b no.lib -f no.net", "Cannot open file: no.lib: No such file or directory\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.args);
    RunResult r = box.run(c.args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");  // before the algorithm prompt
    EXPECT_EQ(r.err, c.err);
  }
  EXPECT_EQ(box.files(), before);

  // A name far longer than any fixed buffer.
  std::string long_name = std::string(200, 'n') + "/" + std::string(200, 'm') + ".net";
  RunResult r = box.run("-f " + long_name + " -b demo.lib");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "Cannot open file: " + long_name + ": No such file or directory\n");

  // A directory opens but cannot be read: not an empty library.
  fs::create_directory(box.path("dir.lib"));
  r = box.run("-f demo.net -b dir.lib");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("dir.lib: cannot read"), std::string::npos) << r.err;
  EXPECT_FALSE(file_exists(box.path("demo.finalnet")));

  // Output files that cannot be created are failures too.
  fs::create_directory(box.path("demo.finalnet"));
  r = box.run("-f demo.net -b demo.lib");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "Cannot open file: demo.finalnet: Is a directory\n");
  fs::remove(box.path("demo.finalnet"));
  fs::create_directory(box.path("demo.buf"));
  r = box.run("-f demo.net -b demo.lib");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "Cannot open file: demo.buf: Is a directory\n");
  EXPECT_FALSE(file_exists(box.path("demo.finalnet")));  // a failed run leaves no output
  fs::remove(box.path("demo.buf"));

  // A report that cannot be written is a failure, not a success.
  r = run_shell("cd '" + box.path("") + "' && '" + BUFINS_BINARY + "' -f demo.net -b demo.lib >/dev/full", "1\n0\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("cannot write the report"), std::string::npos) << r.err;
}

TEST(DriverPrompts, AnswersSelectAlgorithmAndCoefficient) {
  Sandbox box;
  // The plain report: prompts, slack line, count line, nothing else.
  RunResult plain = box.run("-f demo.net -b demo.lib", "1\n0\n");
  EXPECT_EQ(plain.status, 0);
  EXPECT_EQ(plain.out, kDemoPlain);
  EXPECT_EQ(plain.err, "");
  EXPECT_EQ(read_file(box.path("demo.finalnet")), golden("driver_demo.finalnet"));
  EXPECT_EQ(read_file(box.path("demo.buf")), golden("driver_demo.buf"));

  // No integer at the coefficient prompt counts as 0.
  for (const char *input : {"1\nzero\n", "1\n", "1"}) {
    SCOPED_TRACE(input);
    RunResult r = box.run("-f demo.net -b demo.lib", input);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, kDemoPlain);
  }

  // A negative coefficient is refused after the prompt; nothing is written.
  fs::remove(box.path("demo.finalnet"));
  fs::remove(box.path("demo.buf"));
  RunResult neg = box.run("-f demo.net -b demo.lib", "1\n-3\n");
  EXPECT_EQ(neg.status, 1);
  EXPECT_EQ(neg.out, kAlgorithmPrompt + kParsing + kCoefficientPrompt);
  EXPECT_NE(neg.err.find("must not be negative"), std::string::npos) << neg.err;
  EXPECT_FALSE(file_exists(box.path("demo.finalnet")));
  EXPECT_FALSE(file_exists(box.path("demo.buf")));

  // An answer beyond int is refused, not wrapped (4294967297 would become 1).
  for (const char *input : {"1\n4294967297\n", "1\n-99999999999999999999\n"}) {
    SCOPED_TRACE(input);
    RunResult r = box.run("-f demo.net -b demo.lib", input);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("wire segmenting coefficient"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("is out of range"), std::string::npos) << r.err;
    EXPECT_FALSE(file_exists(box.path("demo.finalnet")));
  }

  // The coefficient does reach the segmentation: one node per wire, 11 wires.
  RunResult seg = box.run("-f demo.net -b demo.lib -o", "1\n1\n");
  EXPECT_EQ(seg.status, 0);
  EXPECT_NE(seg.out.find("The number of nodes 16\n"), std::string::npos) << seg.out;

  // Any answer but 1, and no integer at all, choose the fast algorithm. The
  // candidate listings of -o -d differ between the two algorithms, so the
  // runs must match the one answered 2 and not the one answered 1.
  RunResult list = box.run("-f demo.net -b demo.lib -o -d", "1\n0\n");
  RunResult fast = box.run("-f demo.net -b demo.lib -o -d", "2\n0\n");
  EXPECT_EQ(fast.out.rfind(kAlgorithmPrompt + kParsing + kCoefficientPrompt, 0), 0u);
  EXPECT_NE(fast.out, list.out);
  for (const char *input : {"3\n0\n", "fast\n", "0\n0\n", "", "4294967297\n0\n"}) {
    SCOPED_TRACE(input);
    RunResult r = box.run("-f demo.net -b demo.lib -o -d", input);
    EXPECT_EQ(r.status, fast.status);
    EXPECT_EQ(r.out, fast.out);
    EXPECT_EQ(r.err, fast.err);
  }
}

TEST(DriverReport, FullListRunMatchesGoldenFiles) {
  Sandbox box;
  RunResult r = box.run("-f demo.net -b demo.lib -o -t -d");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(mask_time(r.out), golden("driver_demo_otd.out"));
  EXPECT_EQ(read_file(box.path("demo.buf")), golden("driver_demo_otd.buf"));
  EXPECT_EQ(read_file(box.path("demo.finalnet")), golden("driver_demo.finalnet"));

  // The -d listing right after the prompts: pre-order, first edge of a node
  // first, "%d %f %f %d \n".
  const std::string listing =
      "0 0.000000 0.000000 0 \n"
      "11 1000.000000 500.000000 1 \n"
      "12 3000.000000 1500.000000 1 \n"
      "14 4200.000000 2500.000000 1 \n"
      "1 4000.000000 3000.000000 2 \n"
      "6 5200.000000 3800.000000 2 \n"
      "15 4800.000000 500.000000 1 \n"
      "2 4500.000000 1000.000000 2 \n"
      "5 6000.000000 -500.000000 2 \n"
      "13 1200.000000 3500.000000 1 \n"
      "3 1500.000000 4500.000000 2 \n"
      "4 800.000000 5200.000000 2 \n";
  EXPECT_EQ(r.out.rfind(kAlgorithmPrompt + kParsing + kCoefficientPrompt + listing, 0), 0u);

  // -t adds exactly the peak and the time line at the end; -o without -d
  // leaves only the winner's placements in the placement file.
  r = box.run("-f demo.net -b demo.lib -t");
  EXPECT_EQ(r.status, 0);
  ASSERT_EQ(r.out.rfind(kDemoPlain, 0), 0u) << r.out;
  const std::string peak = figure(r.out, "Maximum memory usage is ", "M bytes \n");
  const std::string time = figure(r.out, "Algorithm time is : ", " seconds\n");
  EXPECT_TRUE(is_fixed6(peak)) << r.out;
  EXPECT_TRUE(is_fixed6(time)) << r.out;
  EXPECT_EQ(r.out, kDemoPlain + "Maximum memory usage is " + peak + "M bytes \nAlgorithm time is : " + time +
                       " seconds\n");
  r = box.run("-f demo.net -b demo.lib -o");
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("Nonredundant qc list before the source node:\n"), std::string::npos);
  EXPECT_NE(r.out.find("The number of nodes 5\n"), std::string::npos);
  EXPECT_EQ(read_file(box.path("demo.buf")), golden("driver_demo.buf"));
}

TEST(DriverReport, OutputNamesFollowTheNetFileName) {
  Sandbox box;
  fs::copy_file(box.path("demo.net"), box.path("case"));
  fs::copy_file(box.path("demo.net"), box.path("a.b.c"));
  fs::create_directory(box.path("dir.old"));
  fs::copy_file(box.path("demo.net"), box.path("dir.old/net"));
  // Nested directories make a path of more than 300 characters.
  std::string deep = std::string(60, 'a') + "/" + std::string(60, 'b') + "/" + std::string(60, 'c') + "/" +
                     std::string(60, 'd') + "/" + std::string(60, 'e');
  fs::create_directories(box.path(deep));
  fs::copy_file(box.path("demo.net"), box.path(deep + "/long.net"));

  struct Case {
    std::string net, finalnet, buf;
  } cases[] = {
      {"case", "case.finalnet", "case.buf"},
      {"a.b.c", "a.b.finalnet", "a.b.buf"},
      {"dir.old/net", "dir.finalnet", "dir.buf"},  // the last '.' of the whole path counts
      {deep + "/long.net", deep + "/long.finalnet", deep + "/long.buf"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.net);
    RunResult r = box.run("-f '" + c.net + "' -b demo.lib");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, kDemoPlain);
    EXPECT_EQ(read_file(box.path(c.finalnet)), golden("driver_demo.finalnet"));
    EXPECT_EQ(read_file(box.path(c.buf)), golden("driver_demo.buf"));
  }
}

TEST(DriverReport, ReaderErrorsFailAfterTheBannerAndWriteNothing) {
  Sandbox box;
  write_file(box.path("bad.net"), "driver 0 0 1\nsink 1 1 1 1\nedge 0 1\n");
  RunResult r = box.run("-f bad.net -b demo.lib");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, kAlgorithmPrompt + kParsing);
  EXPECT_EQ(r.err, "bad.net:2: sink line: missing or unreadable required arrival time\n");

  write_file(box.path("bad.net"), "driver 0 0 1\nsink 1 1 1 1 1\nsink 2 1 1 1 1\nedge 0 1\n");
  r = box.run("-f bad.net -b demo.lib");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "bad.net:3: sink 2 is not connected to the driver\n");

  write_file(box.path("bad.lib"), "buffer 1 2 3\nbuffer 4 5\n");
  r = box.run("-f demo.net -b bad.lib");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "bad.lib:2: buffer line: missing or unreadable output resistance\n");

  write_file(box.path("bad.net"), "driver 0 0 1\ncandidate 0 1 1\n");
  r = box.run("-f bad.net -b demo.lib");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, kAlgorithmPrompt + kParsing + "Error! The index of candidates can not be zero.\n");
  EXPECT_EQ(r.err, "");

  EXPECT_FALSE(file_exists(box.path("bad.finalnet")));
  EXPECT_FALSE(file_exists(box.path("bad.buf")));
  EXPECT_FALSE(file_exists(box.path("demo.finalnet")));
}

TEST(DriverLarge, ChainOfMaximumSizeRunsOnTheDefaultStack) {
  // Unit-length wires and an empty library keep one candidate per node, so the
  // slack has a closed form: the whole chain must have been walked.
  Sandbox box;
  const int n = 1600000;
  write_chain(box.path("chain.net"), n, true);
  write_file(box.path("empty.lib"), "");
  RunResult r = box.run_8mib("-f chain.net -b empty.lib", "1\n0\n");
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string slack = figure(r.out, "The slack after buffer insertion : ", "\n");
  ASSERT_FALSE(slack.empty()) << r.out;
  const double r0 = 1e-6, c0 = 1e-6, load = 0.03, len = n - 1;
  const double expected = 900.0 - (0.5 * r0 * c0 * len * len + r0 * len * load) - 200.0 * (load + c0 * len);
  EXPECT_NEAR(std::stod(slack), expected, 1e-6);
  EXPECT_TRUE(ends_with(r.out, "The number of inserted buffer is : 0\n"));
  EXPECT_EQ(fs::file_size(box.path("chain.buf")), 0u);
  EXPECT_TRUE(ends_with(read_file(box.path("chain.finalnet")), "edge 1599998 1599999 \n"));

  // The same length with the demo library, all nodes at one point: buffers
  // are tried at every node and none pays off (slack = 900 - 200 * 0.03).
  write_chain(box.path("chain.net"), n, false);
  r = box.run_8mib("-f chain.net -b demo.lib", "1\n0\n");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(ends_with(r.out, "The slack after buffer insertion :        894\n"
                               "The number of inserted buffer is : 0\n"))
      << r.out;
}

TEST(DriverLarge, NetsBeyondTheTableLimitsAreRejected) {
  Sandbox box;
  write_chain(box.path("chain.net"), 1600001, true);
  RunResult r = box.run_8mib("-f chain.net -b demo.lib", "1\n0\n");
  EXPECT_EQ(r.status, 1);
  // The 1,600,001st node line: driver, sink, then candidate 1,599,999.
  EXPECT_EQ(r.err, "chain.net:1600003: more than 1600000 nodes: the net exceeds the node table\n");

  std::FILE *f = std::fopen(box.path("edges.net").c_str(), "w");
  ASSERT_NE(f, nullptr);
  std::fprintf(f, "driver 0 0 1\nsink 1 1 1 1 1\n");
  for (int i = 0; i < 1605501; i++) std::fputs("edge 0 1\n", f);
  ASSERT_EQ(std::fclose(f), 0);
  r = box.run_8mib("-f edges.net -b demo.lib", "1\n0\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "edges.net:1605503: more than 1605500 edges: the net exceeds the edge table\n");
  EXPECT_FALSE(file_exists(box.path("chain.finalnet")));
  EXPECT_FALSE(file_exists(box.path("edges.finalnet")));
}
