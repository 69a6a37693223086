// End-to-end tests of bufins-check and bufins-draw: the checker reproduces the
// slack that both engines print on random nets, reports the demo's figures and
// rejects each kind of placement that does not fit the net; the drawer's SVG
// parses as XML and holds one triangle per placement line.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <sstream>
#include <string>

#include "support.h"

namespace fs = std::filesystem;

namespace {

const std::string kCheck = BUFINS_CHECK_BINARY;

struct Dir {
  std::string path = make_temp_dir();
  ~Dir() { fs::remove_all(path); }
  std::string operator/(const std::string &name) const { return path + "/" + name; }
  RunResult run(const std::string &command) const { return run_shell("cd '" + path + "' && " + command); }
  void copy_demo() const {
    std::string src = std::string(BUFINS_SOURCE_DIR) + "/examples/";
    fs::copy_file(src + "demo.net", path + "/demo.net");
    fs::copy_file(src + "demo.lib", path + "/demo.lib");
  }
};

// The figure after `label` in a report, as printed.
std::string printed(const std::string &out, const std::string &label) {
  size_t at = out.find(label);
  if (at == std::string::npos) return "";
  size_t from = out.find_first_not_of(' ', at + label.size());
  return out.substr(from, out.find('\n', from) - from);
}

// Values with at most three decimals survive the final net file's six.
double q3(double v) { return std::round(v * 1000.0) / 1000.0; }
TestNet quantised(TestNet n) {
  n.r0 = q3(n.r0);
  n.c0_file = q3(n.c0_file);
  n.rd = q3(n.rd);
  for (auto &k : n.sinks) {
    k.cap_file = q3(k.cap_file);
    k.time = q3(k.time);
  }
  for (auto &b : n.lib) b = {q3(b.cap_file), q3(b.delay), q3(b.res)};
  return n;
}

}  // namespace

// Both engines' printed slack, checked on the final net they wrote and on the
// original net segmented again by the checker. Coefficients 1 and 3 put the
// segment nodes at quarters of integer lengths, which six decimals hold.
TEST(ToolsCheck, ReproducesBothEnginesOnRandomNets) {
  std::mt19937 rng(1313);
  for (int trial = 0; trial < 12; trial++) {
    GenOptions opt;
    opt.max_sinks = trial % 4 == 0 ? 40 : 10;
    opt.max_chain_candidates = 4;
    opt.max_types = 4;
    opt.grid = trial % 5 == 0 ? 3 : 40;
    TestNet net = quantised(random_net(rng, opt));
    const int segments[] = {0, 1, 3};
    int m = segments[trial % 3];
    Dir d;
    write_net_files(net, d.path, "t");
    for (int engine = 1; engine <= 2; engine++) {
      SCOPED_TRACE("trial " + std::to_string(trial) + ", engine " + std::to_string(engine) + ", segments " +
                   std::to_string(m) + "\n" + net_text(net) + "--- library\n" + lib_text(net));
      RunResult run = run_bufins("-f t.net -b t.lib", std::to_string(engine) + "\n" + std::to_string(m) + "\n", d.path);
      ASSERT_EQ(run.status, 0) << run.err;
      std::string slack = printed(run.out, "The slack after buffer insertion :");
      std::string count = printed(run.out, "The number of inserted buffer is :");
      ASSERT_FALSE(slack.empty());
      RunResult a = d.run("'" + kCheck + "' --slack " + slack + " t.finalnet t.lib t.buf");
      EXPECT_EQ(a.status, 0) << a.out << a.err;
      EXPECT_EQ(printed(a.out, "Inserted buffers :"), count);
      RunResult b = d.run("'" + kCheck + "' --segment " + std::to_string(m) + " --slack " + slack + " t.net t.lib t.buf");
      EXPECT_EQ(b.status, 0) << b.out << b.err;
      EXPECT_EQ(a.out, b.out);
    }
    if (::testing::Test::HasFailure()) break;
  }
}

TEST(ToolsCheck, ReportsTheDemoAndComparesTheSlack) {
  Dir d;
  d.copy_demo();
  ASSERT_EQ(run_bufins("-f demo.net -b demo.lib", "2\n0\n", d.path).status, 0);
  const std::string report =
      "Slack at the driver : 394.745\n"
      "Inserted buffers : 10\n"
      "  type 1 : 1\n"
      "  type 2 : 5\n"
      "  type 3 : 4\n"
      "Total buffer input capacitance : 540\n"
      "Cost (sum of areas) : 10\n"
      "Worst sinks (5 of 6):\n"
      "  sink 6 : slack 394.745\n"
      "  sink 3 : slack 397.88\n"
      "  sink 4 : slack 403.99\n"
      "  sink 5 : slack 440.52\n"
      "  sink 1 : slack 442.58\n";
  RunResult r = d.run("'" + kCheck + "' --slack 394.745 demo.finalnet demo.lib demo.buf");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, report);
  r = d.run("'" + kCheck + "' --slack 394.7449 demo.net demo.lib demo.buf");
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, report);
  EXPECT_EQ(r.err, "bufins-check: the slack is 394.74500000000012, not 394.74489999999997\n");

  // No buffer at all: "empty tree", or an empty file (a winning trace of
  // wires only).
  for (const char *none : {"empty tree\n", ""}) {
    write_file(d / "none.buf", none);
    r = d.run("'" + kCheck + "' demo.net demo.lib none.buf");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(printed(r.out, "Inserted buffers :"), "0");
  }

  EXPECT_EQ(d.run("'" + kCheck + "' demo.net demo.lib").status, 1);
  EXPECT_EQ(d.run("'" + kCheck + "' --slack x demo.net demo.lib demo.buf").status, 1);
  r = d.run("'" + kCheck + "' demo.net demo.lib missing.buf");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "Cannot open file: missing.buf: No such file or directory\n");
}

TEST(ToolsCheck, RejectsPlacementsThatDoNotFitTheNet) {
  Dir d;
  d.copy_demo();
  fs::create_directory(d / "dir.buf");
  const std::string ok = "start 11  end 12  buffertype 3\n";
  struct Case {
    std::string text, message;
  } cases[] = {
      {ok + "start 11  end 14  buffertype 1\n", "bad.buf:2: no edge from node 11 to node 14 in the tree"},
      {ok + "start 0  end 11  buffertype 1\n", "bad.buf:2: buffer at node 0, which is not a candidate node"},
      {ok + "start 12  end 14  buffertype 4\n", "bad.buf:2: buffer type 4 is outside the library (types 1 to 3)"},
      {ok + "\n" + ok, "bad.buf:3: second buffer on the edge from node 11 to node 12 (the first is on line 1)"},
      {ok + "start 12  end 14\n",
       "bad.buf:2: not a placement line (\"start A  end B  buffertype T\") nor \"empty tree\""},
      {ok + "empty tree\n", "bad.buf:2: \"empty tree\" beside other lines: a placement file holds one solution"},
  };
  for (const Case &c : cases) {
    write_file(d / "bad.buf", c.text);
    RunResult r = d.run("'" + kCheck + "' demo.net demo.lib bad.buf");
    EXPECT_EQ(r.status, 1) << c.text;
    EXPECT_EQ(r.err, c.message + "\n") << c.text;
    EXPECT_EQ(r.out, "");
  }
  RunResult r = d.run("'" + kCheck + "' demo.net demo.lib dir.buf");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err.rfind("dir.buf: cannot read the file: ", 0), 0u) << r.err;
}

// The conventions every program shares: --help and --version on standard
// output, a stray argument or another program's option refused with the
// reason, the short usage line and a hint, and '-' for standard input.
TEST(ToolsConventions, HelpVersionUsageErrorsAndStandardInput) {
  Dir d;
  d.copy_demo();
  ASSERT_EQ(run_bufins("-f demo.net -b demo.lib", "2\n0\n", d.path).status, 0);
  struct Program {
    std::string name, binary, args, operands;
  };
  std::vector<Program> programs{{"bufins-check", kCheck, "demo.net demo.lib demo.buf", "NET LIB PLACEMENT"}};
#ifdef BUFINS_DRAW_BINARY
  programs.push_back({"bufins-draw", BUFINS_DRAW_BINARY, "-p x.svg demo.net demo.buf demo.lib", "NET PLACEMENT [LIB]"});
#endif
  for (const Program &p : programs) {
    SCOPED_TRACE(p.name);
    const std::string run = "'" + p.binary + "' ";
    RunResult help = d.run(run + "--help");
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.err, "");
    const std::string usage = help.out.substr(0, help.out.find("\n\n"));
    EXPECT_EQ(usage.rfind("Usage: " + p.name + " [", 0), 0u) << usage;
    // Every option of the usage line is described, with its long form.
    for (size_t at = usage.find("[-"); at != std::string::npos; at = usage.find("[-", at + 1)) {
      const std::string shortform = usage.substr(at + 1, 2);
      if (shortform == "--") continue;  // a long-only option
      EXPECT_NE(help.out.find("\n  " + shortform + ", --"), std::string::npos) << shortform;
    }
    EXPECT_EQ(d.run(run + "-h").out, help.out);
    RunResult version = d.run(run + "--version");
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, p.name + " " BUFINS_VERSION "\n");
    EXPECT_EQ(d.run(run + "-V").out, version.out);

    const std::string hint =
        "Usage: " + p.name + " [OPTION]... " + p.operands + "\nTry '" + p.name + " --help' for more information.\n";
    RunResult r = d.run(run + p.args + " extra");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, p.name + ": unexpected argument 'extra'\n" + hint);
    r = d.run(run + "-a flat " + p.args);  // an option of bufins
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, p.name + ": unknown option '-a'\n" + hint);
    EXPECT_EQ(d.run(run + p.args).status, 0);
    EXPECT_EQ(d.run(run + "-- " + p.args).status, p.name == "bufins-check" ? 0 : 1);  // -p after -- is a file
  }

  // Standard input for any one of the three files gives the same report.
  const std::string report = d.run("'" + kCheck + "' demo.net demo.lib demo.buf").out;
  EXPECT_EQ(d.run("'" + kCheck + "' demo.net demo.lib - < demo.buf").out, report);
  EXPECT_EQ(d.run("cat demo.lib | '" + kCheck + "' --segments=0 demo.net - demo.buf").out, report);
  RunResult r = d.run("'" + kCheck + "' - demo.lib - < demo.buf");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err.rfind("bufins-check: '-' (standard input) may stand for one input file only\n", 0), 0u);
  // The readers' warnings, as bufins gives them; -q silences them.
  write_file(d / "warn.lib", read_file(d / "demo.lib") + "BUFX2 20 35 180\n");
  r = d.run("'" + kCheck + "' demo.net warn.lib demo.buf");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, report);
  EXPECT_EQ(r.err.rfind("warn.lib:5: warning: ", 0), 0u) << r.err;
  r = d.run("'" + kCheck + "' -q demo.net warn.lib demo.buf");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, report);
  r = d.run("printf 'start 11  end 12  buffertype 9\\n' | '" + kCheck + "' demo.net demo.lib -");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "(standard input):1: buffer type 9 is outside the library (types 1 to 3)\n");
}

// A chain of the table's full size, on the default stack: the slack of the
// fast engine's run is reproduced.
TEST(ToolsLarge, ChainOfOnePointSixMillionNodes) {
  Dir d;
  d.copy_demo();
  const int candidates = 1600000 - 2;
  {
    std::string text = "wire_res_per_unit 0.08\nwire_cap_per_unit 0.2\ndriver 0 0 200\nsink 1 " +
                       std::to_string(candidates + 1) + " 0 30 100000\n";
    for (int i = 0; i < candidates; i++)
      text += "candidate " + std::to_string(i + 2) + " " + std::to_string(i + 1) + " 0\n";
    text += "edge 0 2\n";
    for (int i = 2; i <= candidates; i++) text += "edge " + std::to_string(i) + " " + std::to_string(i + 1) + "\n";
    text += "edge " + std::to_string(candidates + 1) + " 1\n";
    write_file(d / "chain.net", text);
  }
  RunResult run = d.run("ulimit -s 8192 && printf '2\\n0\\n' | '" + std::string(BUFINS_BINARY) +
                        "' -f chain.net -b demo.lib");
  ASSERT_EQ(run.status, 0) << run.err;
  std::string slack = printed(run.out, "The slack after buffer insertion :");
  RunResult r = d.run("ulimit -s 8192 && '" + kCheck + "' --slack " + slack + " chain.net demo.lib chain.buf");
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(printed(r.out, "Inserted buffers :"), printed(run.out, "The number of inserted buffer is :"));
#ifdef BUFINS_DRAW_BINARY
  r = d.run("ulimit -s 8192 && '" BUFINS_DRAW_BINARY "' chain.net chain.buf demo.lib -p chain.png");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(read_file(d / "chain.png").substr(0, 8), "\x89PNG\r\n\x1a\n");
#endif
}

#ifdef BUFINS_DRAW_BINARY

namespace {

const std::string kDraw = BUFINS_DRAW_BINARY;

struct Triangles {
  int count = -1;    // closed three-point subpaths drawn
  int touching = -1; // pairs of them whose bounding boxes overlap
  int on_wire = -1;  // of them, those whose centre lies on a drawn line (within a pixel)
};

// Parses the SVG with a real XML parser and finds the closed three-point
// subpaths drawn (glyph outlines under <defs> left out): the buffer marks and
// one legend swatch per buffer type in use; and the open polylines (wires).
Triangles triangles(const Dir &d, const std::string &svg) {
  const char *script =
      "import re, sys, xml.etree.ElementTree as ET\n"
      "ns = '{http://www.w3.org/2000/svg}'\n"
      "num = r'(-?[0-9.e+-]+)'\n"
      "tri = re.compile(r'M ' + num + ' ' + num + ' L ' + num + ' ' + num + ' L ' + num + ' ' + num + ' Z')\n"
      "step = re.compile(r'([MLCZ])((?:\\s*-?[0-9.e+-]+)*)')\n"
      "found, centres, segs = [], [], []\n"
      "def walk(e):\n"
      "  if e.tag == ns + 'defs': return\n"
      "  if e.tag == ns + 'path':\n"
      "    for m in tri.findall(e.get('d', '')):\n"
      "      v = [float(x) for x in m]\n"
      "      found.append((min(v[0::2]), max(v[0::2]), min(v[1::2]), max(v[1::2])))\n"
      "      centres.append(((2 * v[0] + v[2] + v[4]) / 4, (2 * v[1] + v[3] + v[5]) / 4))\n"
      "    line = []\n"
      "    for cmd, args in step.findall(e.get('d', '')) + [('M', '')]:\n"
      "      v = [float(x) for x in args.split()]\n"
      "      if cmd == 'L': line.append(v); continue\n"
      "      segs.extend(zip(line, line[1:]))\n"
      "      line = [v] if cmd == 'M' and v else []\n"
      "  for c in e: walk(c)\n"
      "walk(ET.parse(sys.argv[1]).getroot())\n"
      "def dist(p, s):\n"
      "  (ax, ay), (bx, by) = s\n"
      "  dx, dy = bx - ax, by - ay\n"
      "  t = max(0, min(1, ((p[0] - ax) * dx + (p[1] - ay) * dy) / (dx * dx + dy * dy))) if dx or dy else 0\n"
      "  return ((p[0] - ax - t * dx) ** 2 + (p[1] - ay - t * dy) ** 2) ** 0.5\n"
      "touch = sum(1 for i, a in enumerate(found) for b in found[i + 1:]\n"
      "            if a[0] < b[1] and b[0] < a[1] and a[2] < b[3] and b[2] < a[3])\n"
      "on = sum(1 for c in centres if segs and min(dist(c, s) for s in segs) < 1.0) if len(segs) < 500 else -1\n"
      "print(len(found), touch, on)\n";
  write_file(d / "triangles.py", script);
  RunResult r = d.run("python3 triangles.py '" + svg + "'");
  EXPECT_EQ(r.status, 0) << r.err;
  Triangles t;
  if (r.status == 0) std::sscanf(r.out.c_str(), "%d %d %d", &t.count, &t.touching, &t.on_wire);
  return t;
}

}  // namespace

TEST(ToolsDraw, PicturesHoldOneTrianglePerPlacementLine) {
  Dir d;
  d.copy_demo();
  ASSERT_EQ(run_bufins("-f demo.net -b demo.lib", "2\n0\n", d.path).status, 0);
  RunResult r = d.run("'" + kDraw + "' demo.net demo.buf demo.lib -p demo.svg");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(triangles(d, "demo.svg").count, 10 + 3);
  EXPECT_EQ(triangles(d, "demo.svg").touching, 0);
  std::string first = read_file(d / "demo.svg");
  // -o, the picture option of old, still works and says it is deprecated.
  r = d.run("'" + kDraw + "' -o demo.svg demo.net demo.buf demo.lib");
  ASSERT_EQ(r.status, 0);
  // (The sanitizer build's leak checker may add its report after the line.)
  EXPECT_EQ(r.err.rfind("bufins-draw: warning: -o is deprecated, use -p/--picture\n", 0), 0u) << r.err;
  EXPECT_EQ(read_file(d / "demo.svg"), first);  // the same picture every run
  // Standard input for the library and standard output for the picture.
  r = d.run("'" + kDraw + "' -p - demo.net demo.buf - < demo.lib");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, first);
  ASSERT_EQ(d.run("'" + kDraw + "' demo.net demo.buf --picture=plain.svg").status, 0);
  EXPECT_EQ(triangles(d, "plain.svg").count, 10 + 3);
  ASSERT_EQ(d.run("'" + kDraw + "' demo.net demo.buf demo.lib -p demo.PNG").status, 0);
  EXPECT_EQ(read_file(d / "demo.PNG").substr(0, 8), "\x89PNG\r\n\x1a\n");

  // A larger segmented net with many buffers of several types.
  std::mt19937 rng(77);
  GenOptions opt;
  opt.min_sinks = opt.max_sinks = 300;
  opt.min_types = opt.max_types = 4;
  opt.grid = 1000;
  write_net_files(random_net(rng, opt), d.path, "big");
  ASSERT_EQ(run_bufins("-f big.net -b big.lib", "2\n2\n", d.path).status, 0);
  ASSERT_EQ(d.run("'" + kDraw + "' big.finalnet big.buf big.lib -p big.svg").status, 0);
  int lines = 0, types[5] = {};
  for (const auto &p : parse_placements(read_file(d / "big.buf"))) {
    lines++;
    types[p.second] = 1;
  }
  EXPECT_GT(lines, 20);
  EXPECT_EQ(triangles(d, "big.svg").count, lines + types[1] + types[2] + types[3] + types[4]);

  // Both wires of a branch buffered, leaving to the right (one after a
  // vertical leg far shorter than a pixel): the two marks stand apart.
  write_file(d / "fork.net",
             "wire_res_per_unit 0.08\nwire_cap_per_unit 0.2\ndriver 0 0 200\n"
             "sink 1 3000 0 30 900\nsink 2 6000 10 30 900\ncandidate 11 1000 0\n"
             "edge 0 11\nedge 11 1\nedge 11 2\n");
  write_file(d / "fork.buf", "start 11  end 1  buffertype 1\nstart 11  end 2  buffertype 2\n");
  ASSERT_EQ(d.run("'" + kDraw + "' fork.net fork.buf demo.lib -p fork.svg").status, 0);
  EXPECT_EQ(triangles(d, "fork.svg").count, 2 + 2);
  EXPECT_EQ(triangles(d, "fork.svg").touching, 0);

  // Every mark on its wire: a wire far shorter than a mark to the last sink,
  // and a wire of no length to a sink at its candidate node's place.
  write_file(d / "ends.net",
             "wire_res_per_unit 0.08\nwire_cap_per_unit 0.2\ndriver 0 0 200\n"
             "sink 1 6010 0 30 900\nsink 2 3000 0 30 900\ncandidate 11 6000 0\ncandidate 12 3000 0\n"
             "edge 0 12\nedge 12 2\nedge 12 11\nedge 11 1\n");
  write_file(d / "ends.buf", "start 11  end 1  buffertype 1\nstart 12  end 2  buffertype 2\n");
  ASSERT_EQ(d.run("'" + kDraw + "' ends.net ends.buf demo.lib -p ends.svg").status, 0);
  EXPECT_EQ(triangles(d, "ends.svg").on_wire, 2);

  // Usage and input errors.
  EXPECT_EQ(d.run("'" + kDraw + "' demo.net demo.buf demo.lib").status, 1);
  r = d.run("'" + kDraw + "' demo.net demo.buf -p demo.pdf");
  EXPECT_EQ(r.status, 1);
  EXPECT_FALSE(file_exists(d / "demo.pdf"));
  write_file(d / "bad.buf", "start 11  end 12  buffertype 0\n");
  r = d.run("'" + kDraw + "' demo.net bad.buf -p bad.svg");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "bad.buf:1: buffer type 0 is not a type number (types count from 1)\n");
  EXPECT_FALSE(file_exists(d / "bad.svg"));
  r = d.run("'" + kDraw + "' demo.net demo.buf -p nodir/x.svg");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err.rfind("bufins-draw: cannot write nodir/x.svg", 0), 0u) << r.err;
  // A failed write removes a partial picture, but never what the name points
  // at when that is no regular file.
  ASSERT_EQ(d.run("ln -s /dev/full full.svg").status, 0);
  r = d.run("'" + kDraw + "' demo.net demo.buf -p full.svg");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err.rfind("bufins-draw: cannot write full.svg: ", 0), 0u) << r.err;
  EXPECT_TRUE(fs::is_symlink(d / "full.svg"));
}

#endif

// Every program's --help and usage error fit a terminal of 80 columns.
TEST(ToolsConventions, HelpAndUsageFitEightyColumns) {
  std::vector<std::string> programs{BUFINS_BINARY, kCheck, BUFINS_ROUTE_BINARY};
#ifdef BUFINS_DRAW_BINARY
  programs.push_back(BUFINS_DRAW_BINARY);
  programs.push_back(BUFINS_PLOT_BINARY);
#endif
  for (const std::string &p : programs) {
    SCOPED_TRACE(p);
    // The usage line of bufins names the program as invoked: by a short name here.
    const std::string run = "cd '" + p.substr(0, p.rfind('/')) + "' && ./" + p.substr(p.rfind('/') + 1);
    RunResult help = run_shell(run + " --help"), usage = run_shell(run + " --no-such-option");
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(usage.status, 1);
    for (const std::string &text : {help.out, usage.err}) {
      std::istringstream lines(text);
      for (std::string line; std::getline(lines, line);) EXPECT_LE(line.size(), 80u) << line;
    }
  }
}
