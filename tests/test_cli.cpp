// End-to-end tests of the scripting options of bufins: -a and -m answering
// the prompts, -j (JSON report), --out, -h, -V, bad option values, and runs
// with a closed standard input or a standard output that cannot be written.
//
// Every run of an option is compared with the same run answered at the
// prompts: the report must be the same bytes less the prompts, and the files
// the same.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>

#include "support.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

const std::string kAlgorithmPrompt = "Van Ginneken (1) or FBI ( Fast Buffer Insertion) (2)? ";
const std::string kCoefficientPrompt = "Wire Segmenting coef (0 means no segmenting:) ";
const std::string kUsage = std::string("Usage: ") + BUFINS_BINARY + " -f netfile -b libraryfile [-d] [-t] [-o]\n";
const std::string kHelpHint = "Try 'bufins --help' for more information.\n";

struct Sandbox {
  std::string dir = make_temp_dir();
  Sandbox() {
    std::string src = std::string(BUFINS_SOURCE_DIR) + "/examples/";
    fs::copy_file(src + "demo.net", dir + "/demo.net");
    fs::copy_file(src + "demo.lib", dir + "/demo.lib");
  }
  ~Sandbox() { fs::remove_all(dir); }
  std::string path(const std::string &name) const { return dir + "/" + name; }
  RunResult run(const std::string &args, const std::string &input = "") const {
    return run_bufins(args, input, dir);
  }
  RunResult shell(const std::string &tail, const std::string &input = "") const {
    return run_shell("cd '" + dir + "' && '" + BUFINS_BINARY + "' " + tail, input);
  }
  std::set<std::string> files() const {
    std::set<std::string> names;
    for (const auto &e : fs::recursive_directory_iterator(dir)) names.insert(e.path().string());
    return names;
  }
};

std::string without(std::string text, const std::string &part) {
  size_t at = text.find(part);
  if (at != std::string::npos) text.erase(at, part.size());
  return text;
}

// The text after `before` up to the end of its line.
std::string line_after(const std::string &out, const std::string &before) {
  size_t at = out.find(before);
  if (at == std::string::npos) return "";
  at += before.size();
  return out.substr(at, out.find('\n', at) - at);
}

struct Node3 {
  double x, y;
};

// Node coordinates by index from a final net file.
std::map<int, Node3> final_net_nodes(const std::string &text) {
  std::map<int, Node3> nodes;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream f(line);
    std::string word;
    f >> word;
    int index = 0;
    Node3 n{};
    if (word == "driver") {
      f >> n.x >> n.y;
      nodes[0] = n;
    } else if (word == "sink" || word == "candidate") {
      f >> index >> n.x >> n.y;
      nodes[index] = n;
    }
  }
  return nodes;
}

}  // namespace

TEST(CliOptions, AnswersFromOptionsMatchThePromptPath) {
  Sandbox box;
  struct Case {
    const char *options;
    const char *answers;  // the same run at the prompts
  } cases[] = {
      {"-a 1 -m 0", "1\n0\n"},         {"-a list -m 0", "1\n0\n"}, {"--algorithm=+1 --segments=0", "1\n0\n"},
      {"-a fast -m 0", "2\n0\n"},      {"-a 7 -m 1", "7\n1\n"},    {"-a -4294967297 -m 0", "2\n0\n"},
      {"-a list --segments 2", "1\n2\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.options);
    RunResult asked = box.run("-f demo.net -b demo.lib -o -d", c.answers);
    ASSERT_EQ(asked.status, 0) << asked.err;
    const std::string finalnet = read_file(box.path("demo.finalnet"));
    const std::string buf = read_file(box.path("demo.buf"));
    fs::remove(box.path("demo.finalnet"));
    fs::remove(box.path("demo.buf"));
    // Standard input holds answers that would choose otherwise: it must not be read.
    RunResult given = box.run(std::string("-f demo.net -b demo.lib -o -d ") + c.options, "1\n3\n");
    EXPECT_EQ(given.status, 0);
    EXPECT_EQ(given.err, "");
    EXPECT_EQ(given.out, without(without(asked.out, kAlgorithmPrompt), kCoefficientPrompt));
    EXPECT_EQ(read_file(box.path("demo.finalnet")), finalnet);
    EXPECT_EQ(read_file(box.path("demo.buf")), buf);
  }
  // One answer from an option, the other from its prompt.
  RunResult asked = box.run("-f demo.net -b demo.lib -o", "2\n1\n");
  RunResult a_only = box.run("-f demo.net -b demo.lib -o -a 2", "1\n");
  RunResult m_only = box.run("-f demo.net -b demo.lib -o -m 1", "2\n");
  EXPECT_EQ(a_only.out, without(asked.out, kAlgorithmPrompt));
  EXPECT_EQ(m_only.out, without(asked.out, kCoefficientPrompt));
}

TEST(CliOptions, JsonReportMatchesTheReportAndTheFiles) {
  Sandbox box;
  for (const char *alg : {"list", "fast"}) {
    SCOPED_TRACE(alg);
    // -o -d puts the listed candidates' placements ahead of the winner's in
    // the placement file; the JSON holds the winner's only.
    RunResult r = box.run(std::string("-f demo.net -b demo.lib -o -d -t -m 1 -a ") + alg + " -j run.json");
    ASSERT_EQ(r.status, 0) << r.err;
    json j = json::parse(read_file(box.path("run.json")));
    EXPECT_EQ(j["tool"], "bufins");
    EXPECT_EQ(j["version"], BUFINS_VERSION);
    EXPECT_EQ(j["net_file"], "demo.net");
    EXPECT_EQ(j["library_file"], "demo.lib");
    EXPECT_EQ(j["final_net_file"], "demo.finalnet");
    EXPECT_EQ(j["placement_file"], "demo.buf");
    EXPECT_EQ(j["algorithm"], alg);
    EXPECT_EQ(j["segments"], 1);
    EXPECT_EQ(j["sinks"], 6);
    EXPECT_EQ(j["candidates"], 16);  // 5 read, 11 segment nodes
    EXPECT_EQ(j["nodes"], 23);
    EXPECT_EQ(j["buffer_types"], 3);
    EXPECT_EQ(j["feasible"], true);
    char slack[64];
    std::snprintf(slack, sizeof slack, "%10.10g", j["slack"].get<double>());
    EXPECT_EQ(slack, line_after(r.out, "The slack after buffer insertion : "));
    EXPECT_EQ(std::to_string(j["buffers"].get<int>()), line_after(r.out, "The number of inserted buffer is : "));
    // Byte counts are integers in the text, not 3072.0.
    for (const auto &field : j["memory_bytes"].items()) EXPECT_TRUE(field.value().is_number_integer()) << field.key();
    EXPECT_TRUE(j["peak_rss_kib"].is_number_integer());
    EXPECT_GT(j["memory_bytes"]["solutions_opened"].get<double>(), 0.0);
    EXPECT_GE(j["memory_bytes"]["peak"].get<double>(), 0.0);
    EXPECT_GE(j["algorithm_time_s"].get<double>(), 0.0);
    EXPECT_GT(j["peak_rss_kib"].get<long>(), 0);

    // The placements are the last `buffers` lines of the placement file, with
    // the coordinates of the final net file and the library's names.
    std::vector<std::string> lines;
    std::istringstream buf(read_file(box.path("demo.buf")));
    for (std::string line; std::getline(buf, line);) lines.push_back(line);
    const json &placements = j["placements"];
    ASSERT_EQ(placements.size(), j["buffers"].get<size_t>());
    ASSERT_GT(lines.size(), placements.size());
    const auto nodes = final_net_nodes(read_file(box.path("demo.finalnet")));
    const char *names[] = {"buffer_small", "buffer_medium", "buffer_large"};
    for (size_t i = 0; i < placements.size(); i++) {
      const json &p = placements[i];
      int start = p["start"]["node"], end = p["end"]["node"], type = p["buffer_type"];
      EXPECT_EQ(lines[lines.size() - placements.size() + i],
                "start " + std::to_string(start) + "  end " + std::to_string(end) + "  buffertype " +
                    std::to_string(type));
      for (const char *side : {"start", "end"}) {
        const Node3 &n = nodes.at(p[side]["node"].get<int>());
        EXPECT_EQ(p[side]["x"].get<double>(), n.x);
        EXPECT_EQ(p[side]["y"].get<double>(), n.y);
      }
      ASSERT_TRUE(type >= 1 && type <= 3);
      EXPECT_EQ(p["buffer_name"], names[type - 1]);
    }
  }
  // A run that fails leaves no JSON report either.
  fs::remove(box.path("run.json"));
  RunResult r = box.shell("-f demo.net -b demo.lib -a 1 -m 0 -j run.json >/dev/full");
  EXPECT_EQ(r.status, 1);
  EXPECT_FALSE(file_exists(box.path("run.json")));
}

TEST(CliOptions, OutBaseNamesTheOutputFiles) {
  Sandbox box;
  RunResult asked = box.run("-f demo.net -b demo.lib", "2\n0\n");
  const std::string finalnet = read_file(box.path("demo.finalnet"));
  const std::string buf = read_file(box.path("demo.buf"));
  fs::remove(box.path("demo.finalnet"));
  fs::remove(box.path("demo.buf"));
  fs::create_directory(box.path("out"));
  const auto before = box.files();
  // A '.' in the base is kept: nothing of it is replaced.
  RunResult r = box.run("-f ./demo.net -b demo.lib --out=out/run.1", "2\n0\n");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, asked.out);
  EXPECT_EQ(read_file(box.path("out/run.1.finalnet")), finalnet);
  EXPECT_EQ(read_file(box.path("out/run.1.buf")), buf);
  auto after = box.files();
  EXPECT_EQ(after.size(), before.size() + 2);
  EXPECT_FALSE(file_exists(box.path("demo.finalnet")));
}

TEST(CliOptions, HelpAndVersion) {
  Sandbox box;
  for (const char *args : {"-h", "--help", "-f demo.net -b demo.lib -h"}) {
    SCOPED_TRACE(args);
    RunResult r = box.run(args);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    for (const char *part : {"-f FILE", "-b FILE", "--algorithm=ALG", "--segments=M", "--json=FILE", "--out=BASE",
                             "--help", "--version", "\n  -o, --list", "\n  -t, --timing", "\n  -d, --debug",
                             "\n  -q, --quiet", "--net=FILE", "--library=FILE", ".finalnet", ".buf",
                             "Exit status"})
      EXPECT_NE(r.out.find(part), std::string::npos) << part;
    EXPECT_NE(r.out.find(kAlgorithmPrompt), std::string::npos);
    EXPECT_NE(r.out.find(kCoefficientPrompt), std::string::npos);
  }
  for (const char *args : {"-V", "--version"}) {
    RunResult r = box.run(args);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, std::string("bufins ") + BUFINS_VERSION + "\n");
  }
  EXPECT_EQ(box.files().size(), 2u);  // nothing written
}

TEST(CliOptions, BadValuesAreUsageErrors) {
  Sandbox box;
  const auto before = box.files();
  for (const char *bad : {"-a x", "-a ''", "-a 1x", "-a ' 1'", "--algorithm=Fast", "-m -1", "-m x", "-m 1.5",
                          "-m 99999999999", "--segments=", "--out=", "-j ''", "--bogus", "-a"}) {
    SCOPED_TRACE(bad);
    RunResult r = box.run(std::string("-f demo.net -b demo.lib ") + bad, "1\n0\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind(kUsage, 0), 0u) << r.err;
    EXPECT_EQ(r.err.substr(r.err.size() - std::min(r.err.size(), kHelpHint.size())), kHelpHint) << r.err;
    EXPECT_EQ(box.files(), before);
  }
}

TEST(CliFaults, ClosedStandardInputGivesNoAnswers) {
  Sandbox box;
  // No answers: the fast algorithm without segmentation.
  RunResult none = box.run("-f demo.net -b demo.lib -o", "");
  ASSERT_EQ(none.status, 0);
  const std::string buf = read_file(box.path("demo.buf"));
  RunResult closed = box.shell("-f demo.net -b demo.lib -o <&-");
  EXPECT_EQ(closed.status, 0) << closed.err;
  EXPECT_EQ(closed.out, none.out);
  EXPECT_EQ(read_file(box.path("demo.buf")), buf);
}

TEST(CliFaults, LostReportRemovesTheOutputFiles) {
  Sandbox box;
  const auto before = box.files();
  for (const char *to : {">/dev/full", ">&-"}) {
    for (const char *args : {"", "-a 1 -m 0 -j run.json -t"}) {
      SCOPED_TRACE(std::string(to) + " " + args);
      RunResult r = box.shell(std::string("-f demo.net -b demo.lib ") + args + " " + to, "1\n0\n");
      EXPECT_EQ(r.status, 1);
      EXPECT_NE(r.err.find("cannot write the report"), std::string::npos) << r.err;
      EXPECT_EQ(box.files(), before);
    }
  }
}

namespace {

void write_text(const std::string &path, const std::string &text) {
  std::ofstream(path, std::ios::binary) << text;
}

// Lines of standard error that carry " warning: ".
int warnings_in(const std::string &err) {
  int n = 0;
  for (size_t at = 0; (at = err.find(" warning: ", at)) != std::string::npos; at++) n++;
  return n;
}

}  // namespace

// Inputs that used to give a wrong answer in silence: each is read as before
// (same report, same files), with one warning naming its line.
TEST(InputWarnings, EachSilentMisreadIsNamedOnceAndChangesNothing) {
  Sandbox box;
  const std::string net = read_file(box.path("demo.net"));
  const std::string lib = read_file(box.path("demo.lib"));
  RunResult plain = box.run("-f demo.net -b demo.lib -a flat -m 1");
  ASSERT_EQ(plain.status, 0);
  EXPECT_EQ(plain.err, "");  // the example files and ...
  RunResult again = box.run("-f demo.finalnet -b demo.lib -a flat -m 0 --out=again");
  EXPECT_EQ(again.err, "");  // ... a final net file read back draw no warning

  auto replace_line = [](std::string text, const std::string &from, const std::string &to) {
    size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return text.replace(at, from.size(), to);
  };
  struct Case {
    const char *what, *file, *text_from, *text_to, *expect;
  } cases[] = {
      {"upper-case buffer name", "demo.lib", "buffer_medium", "BUFX2", "w.lib:3: warning: line not read as a buffer"},
      {"indented buffer line", "demo.lib", "buffer_medium", "  buffer_medium", "w.lib:3: warning:"},
      {"capitalised sink", "demo.net", "sink 3", "Sink 3", "warning: line not read: it would be a sink line"},
      {"indented edge", "demo.net", "edge 0 ", "  edge 0 ", "warning: line not read: it would be a edge line"},
      {"no wire capacitance", "demo.net", "wire_cap_per_unit", "# wire_cap_per_unit",
       "w.net: warning: no wire capacitance line (wire_cap_per_unit): 0 is used"},
      {"second wire resistance", "demo.net", "wire_cap_per_unit", "wire_res_per_unit 0.5\nwire_cap_per_unit",
       "warning: second wire resistance line: its value 0.5 replaces the one of line"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    const bool is_lib = std::string(c.file) == "demo.lib";
    write_text(box.path(is_lib ? "w.lib" : "w.net"), replace_line(is_lib ? lib : net, c.text_from, c.text_to));
    const std::string args = std::string("-f ") + (is_lib ? "demo.net" : "w.net") + " -b " + (is_lib ? "w.lib" : "demo.lib") +
                             " -a flat -m 1 --out=w";
    RunResult r = box.run(args);
    EXPECT_EQ(warnings_in(r.err), 1) << r.err;
    EXPECT_NE(r.err.find(c.expect), std::string::npos) << r.err;
    RunResult quiet = box.run(args + " -q");
    EXPECT_EQ(warnings_in(quiet.err), 0);
    EXPECT_EQ(quiet.out, r.out);
    EXPECT_EQ(quiet.status, r.status);
  }
  // A library with no buffer line at all.
  write_text(box.path("empty.lib"), "# nothing here\n");
  RunResult empty = box.run("-f demo.net -b empty.lib -a flat -m 0 --out=e");
  EXPECT_EQ(empty.status, 0);
  EXPECT_NE(empty.err.find("empty.lib: warning: no buffer type read"), std::string::npos) << empty.err;

  // A byte-order mark before the first line is not part of its keyword.
  write_text(box.path("bom.lib"), "\xEF\xBB\xBF" + lib);
  write_text(box.path("bom.net"), "\xEF\xBB\xBF" + net);
  RunResult bom = box.run("-f bom.net -b bom.lib -a flat -m 1 --out=bom");
  EXPECT_EQ(bom.err, "");
  EXPECT_EQ(bom.out, plain.out);
  EXPECT_EQ(read_file(box.path("bom.buf")), read_file(box.path("demo.buf")));
}

TEST(InputFields, NamedFieldsAreReadOrRefusedByName) {
  Sandbox box;
  const std::string lib = read_file(box.path("demo.lib"));
  RunResult plain = box.run("-f demo.net -b demo.lib -a flat -m 1");
  std::string named = lib;
  // A bare extra number stays ignored; a load limit that no stage comes near
  // leaves the result as it is (limits that bind: test_limits.cpp).
  named.replace(named.find("90.0"), 4, "90.0 area=2 max_cap=150000 7");
  write_text(box.path("named.lib"), named);
  RunResult r = box.run("-f demo.net -b named.lib -a flat -m 1 --out=named");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, plain.out);
  for (const char *bad : {"area=-1", "area=1e3", "area=", "max_cap=x", "max_cap=-3", "colour=red", "area=1 area=2"}) {
    SCOPED_TRACE(bad);
    std::string text = lib;
    text.replace(text.find("90.0"), 4, std::string("90.0 ") + bad);
    write_text(box.path("bad.lib"), text);
    RunResult b = box.run("-f demo.net -b bad.lib -a flat -m 1 --out=bad");
    EXPECT_EQ(b.status, 1);
    EXPECT_EQ(b.err.rfind("bad.lib:3: buffer line: ", 0), 0u) << b.err;
    EXPECT_FALSE(file_exists(box.path("bad.buf")));
  }
  std::string net = read_file(box.path("demo.net"));
  size_t at = net.find("\ndriver");
  net.insert(net.find('\n', at + 1), " max_cap=300");
  write_text(box.path("d.net"), net);
  RunResult d = box.run("-f d.net -b demo.lib -a flat -m 1");
  EXPECT_EQ(d.status, 0) << d.err;
  EXPECT_EQ(d.out, plain.out);
  EXPECT_NE(read_file(box.path("d.finalnet")).find(" max_cap=300.000000\n"), std::string::npos);
}

TEST(CliAnswers, NamesAtThePromptStandardStreamsAndNoWinner) {
  Sandbox box;
  // A name as the first answer takes its line: 5 is the coefficient.
  RunResult named = box.run("-f demo.net -b demo.lib", "flat\n5\n");
  RunResult flags = box.run("-f demo.net -b demo.lib -a flat -m 5 --out=flags");
  ASSERT_EQ(named.status, 0);
  EXPECT_EQ(without(without(named.out, kAlgorithmPrompt), kCoefficientPrompt), flags.out);

  // '-': the net from standard input, the JSON report alone on standard
  // output, the report lines on standard error.
  RunResult piped = box.shell("-f - -b demo.lib -a flat -m 5 --out=piped -j - < demo.net");
  ASSERT_EQ(piped.status, 0) << piped.err;
  ASSERT_EQ(piped.err, flags.out);
  json j = json::parse(piped.out);
  EXPECT_EQ(j["buffers"], std::stoi(line_after(flags.out, "The number of inserted buffer is : ")));
  EXPECT_FALSE(file_exists(box.path("-")));
  EXPECT_EQ(read_file(box.path("piped.buf")), read_file(box.path("flags.buf")));
  for (const char *refused : {"-f - -b demo.lib -a flat -m 5", "-f - -b - -a flat -m 5 --out=x",
                              "-f - -b demo.lib --out=x"}) {
    RunResult r = box.run(refused);
    EXPECT_EQ(r.status, 1) << refused;
    EXPECT_NE(r.err.find(kHelpHint), std::string::npos) << refused;
  }

  // Required times no buffering can meet: the start value, said so.
  write_text(box.path("late.net"),
             "wire_res_per_unit 0.08\nwire_cap_per_unit 0.2\ndriver 0 0 100\nsink 1 10 10 5 -1e12\n"
             "candidate 2 5 5\nedge 0 2\nedge 2 1\n");
  for (const char *alg : {"list", "fast", "flat"}) {
    RunResult r = box.run(std::string("-f late.net -b demo.lib -m 0 -j late.json -a ") + alg);
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.err.find("no buffer assignment reaches the driver with a finite slack"), std::string::npos) << alg;
    EXPECT_EQ(json::parse(read_file(box.path("late.json")))["feasible"], false);
  }
}

// What a user who slips gets told: swapped net and library, a sink list given
// to bufins, a flood of warnings that stops, and a JSON report that carries
// the schema version README documents.
TEST(CliMessages, HintsAndSchema) {
  Sandbox box;
  RunResult r = box.run("-a 2 -m 0 -f demo.lib -b demo.net");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("demo.lib: no driver line: this looks like a buffer library (a buffer line at line 2): are -f "
                       "(net) and -b (library) swapped?\n"),
            std::string::npos)
      << r.err;
  write_file(box.path("pins.txt"), "NumPins : 1\nPerUnitResistance : 0.1\nSink : 0\n Coordinate : 1 2\n");
  r = box.run("-a 2 -m 0 -f pins.txt -b demo.lib");
  EXPECT_EQ(r.err, "pins.txt: no driver line: this looks like a sink list (line 1): bufins-route makes a net of it\n");
  std::string flood;
  for (int i = 0; i < 150; i++) flood += "BUFX" + std::to_string(i) + " 1 2 3\n";
  write_file(box.path("flood.lib"), flood);
  r = box.run("-a 2 -m 0 -f pins.txt -b flood.lib");
  EXPECT_NE(r.err.find("\nbufins: more than 100 warnings: the rest are counted, not shown (-q silences all)\n"
                       "pins.txt: no driver line"),
            std::string::npos)
      << r.err;

  ASSERT_EQ(box.run("-a 2 -m 0 -f demo.net -b demo.lib -j r.json").status, 0);
  const json j = json::parse(read_file(box.path("r.json")));
  const std::string readme = read_file(std::string(BUFINS_SOURCE_DIR) + "/README.md");
  const std::string row = "| `schema` | `\"";
  const size_t at = readme.find(row);
  ASSERT_NE(at, std::string::npos);
  EXPECT_EQ(j["schema"], readme.substr(at + row.size(), readme.find('"', at + row.size()) - at - row.size()));
}

// Messages that give the true reason: a value beyond the magnitude read (in a
// file and on the command line alike), a limit of 0 blamed on a wire rather
// than on a sink's subtree, a full device, and two slacks printed with the
// digits that tell them apart.
TEST(CliMessages, TrueReasons) {
  Sandbox box;
  std::string net = read_file(box.path("demo.net"));
  net.replace(net.find("driver 0 0 200.0"), 16, "driver 0 0 200.0 max_cap=1e308");
  write_file(box.path("mc.net"), net);
  const std::string flat = "-a flat -m 0 -b demo.lib ";
  RunResult r = box.run(flat + "-f mc.net");
  EXPECT_EQ(r.err, "mc.net:6: driver line: max_cap=1e308 exceeds 1e+60, the largest magnitude read\n");
  r = box.run(flat + "-f demo.net --max-cap=1e61");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("bufins: --max-cap: '1e61' exceeds 1e+60, the largest magnitude read\n"), std::string::npos);
  r = box.run(flat + "-f demo.net --max-cap=0");
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err.find("subtree"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("> 0, the load limit of"), std::string::npos) << r.err;
  r = box.run(flat + "-f demo.net -m 10 --frontier=f.csv -j /dev/full");
  EXPECT_EQ(r.err, "bufins: cannot write /dev/full: No space left on device\n");
  r = box.run(flat + "-f demo.net --target=394.7450000001");
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("target slack 394.7450000001: the best slack reachable is 394.745 ("), std::string::npos)
      << r.err;
}

// Values off by the factor of a unit are warned of (once per kind and file,
// the run otherwise as without the warning), and a load that "%f" would print
// as zero keeps its digits in the final net.
TEST(CliMessages, UnitMistakesAreWarnedOf) {
  Sandbox box;
  std::string net = read_file(box.path("demo.net"));
  for (const char *load : {" 30.0 900.0", " 25.0 950.0"}) net.replace(net.find(load), 5, " 5.9e-14");
  write_file(box.path("farads.net"), net);
  write_file(box.path("pf.lib"), "buff1 0.002 30 0.5\nbuff2 0.004 25 0.2\n");
  RunResult r = box.run("-a 2 -m 0 -f farads.net -b pf.lib");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err,
            "pf.lib:1: warning: buffer output resistance 0.5 (and 1 more like it) is far below any real one in ohms, "
            "the unit the file is read in: is it in kilohms?\n"
            "farads.net:8: warning: sink load capacitance 5.9e-14 (and 1 more like it) is far below any real one in fF, "
            "the unit the file is read in: is it in farads or picofarads?\n");
  EXPECT_NE(read_file(box.path("farads.finalnet")).find("sink 1 4000.000000 3000.000000 5.9e-14 900.000000\n"),
            std::string::npos);
  EXPECT_EQ(box.run("-q -a 2 -m 0 -f farads.net -b pf.lib").err, "");
}
