// bufins-batch end to end: every net's summary line and files against a
// bufins run of the same net and options (nets routed from random
// sub-samples of the public sink lists, with a malformed net and an
// infeasible one among them), the input forms (folders, list files, multi-net
// files) giving the same lines in the same order at any thread count, --route
// against bufins-route followed by bufins, and a SIGINT in the middle of a
// run.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "batch.h"
#include "route.h"
#include "support.h"

namespace fs = std::filesystem;

namespace {

const std::string kBatch = BUFINS_BATCH_BINARY;
const std::string kRoute = BUFINS_ROUTE_BINARY;
const std::string kBufins = BUFINS_BINARY;
const std::string kNets = BUFINS_BENCH_NETS;

struct Dir {
  std::string path = make_temp_dir();
  ~Dir() { fs::remove_all(path); }
  std::string operator/(const std::string &name) const { return path + "/" + name; }
};

// Four buffer types of different areas, so that cost and buffer count differ.
const char *const kLibrary =
    "buff1 10 30 600 area=1\n"
    "buff2 20 35 300 area=2\n"
    "buff3 40 40 150 area=3\n"
    "buff4 80 45 75 area=5\n";
// The same with decimal areas: costs are printed with two decimals.
const char *const kDecimalLibrary =
    "buff1 10 30 600 area=1.25\n"
    "buff2 20 35 300 area=2.50\n"
    "buff3 40 40 150 area=3.75\n"
    "buff4 80 45 75 area=5.01\n";

// A public sink list cut down to `count` of its sinks, drawn at random and
// renumbered from 0, in the list format.
std::string sub_sample(const std::string &list, int count, std::mt19937 &rng) {
  const std::string text = read_file(kNets + "/" + list);
  const size_t first = text.find("Sink :");
  std::string head = text.substr(0, first);
  head = std::regex_replace(head, std::regex("NumPins : [0-9]+"), "NumPins : " + std::to_string(count));
  std::vector<std::string> sinks;
  for (size_t at = first; at != std::string::npos;) {
    const size_t next = text.find("Sink :", at + 1);
    sinks.push_back(text.substr(at, next == std::string::npos ? std::string::npos : next - at));
    at = next;
  }
  std::shuffle(sinks.begin(), sinks.end(), rng);
  sinks.resize(static_cast<size_t>(count));
  std::string out = head;
  for (int k = 0; k < count; k++) {
    const std::string &s = sinks[static_cast<size_t>(k)];
    out += "Sink : " + std::to_string(k) + s.substr(s.find('\n'));
    if (out.back() != '\n') out += '\n';
  }
  return out;
}

// `count` nets routed (as bufins-route --required=1000 does) from random
// sub-samples of 10 to 60 sinks of the public lists, written as
// dir/netNNNN.net; the net at `malformed` gets a sink line the reader
// refuses and the one at `infeasible` a driver no load meets (max_cap).
std::vector<std::string> make_nets(const Dir &dir, int count, int malformed, int infeasible, unsigned seed) {
  const char *lists[] = {"r1", "r2", "r3", "p1", "s1423", "s5378", "s15850"};
  std::mt19937 rng(seed);
  route::Request req;
  req.text = true;
  req.required = 1000.0;
  std::vector<std::string> paths;
  for (int i = 0; i < count; i++) {
    const std::string list = lists[rng() % 7];
    const int sinks = 10 + static_cast<int>(rng() % 51);
    route::Input in = route::read_input(sub_sample(list, sinks, rng), list, req.cap_unit, req.time_unit(), Warn());
    std::string text = route::route_net(in, req, "test", list).text;
    if (i == malformed) text = std::regex_replace(text, std::regex("\nsink 3 "), "\nsink 3 x");
    if (i == infeasible) text = std::regex_replace(text, std::regex("\n(driver [^\n]*)"), "\n$1 max_cap=0.001");
    char name[32];
    std::snprintf(name, sizeof name, "net%04d.net", i);
    write_file(dir / name, text);
    paths.push_back(dir / name);
  }
  return paths;
}

std::vector<nlohmann::json> json_lines(const std::string &text) {
  std::vector<nlohmann::json> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) lines.push_back(nlohmann::json::parse(line));
  return lines;
}

std::string report_value(const std::string &out, const std::string &label) {
  const size_t at = out.find(label);
  if (at == std::string::npos) return "";
  const size_t b = out.find_first_not_of(' ', at + label.size());
  return out.substr(b, out.find('\n', b) - b);
}

long long placement_cost(const std::string &placement) {
  const long long area[] = {1, 2, 3, 5};
  long long cost = 0;
  for (const auto &[edge, type] : parse_placements(placement)) cost += area[type - 1];
  return cost;
}

// Runs bufins-batch on the nets with `options` and bufins on each net alone
// with the same options, and compares them net by net: the summary line with
// bufins's report and status, and the placement and final net files byte for
// byte.
void cross_check(const std::vector<std::string> &nets, const std::string &options, int malformed, int infeasible,
                 const char *library = kLibrary) {
  Dir out;
  const std::string lib = out / "lib4.lib";
  write_file(lib, library);
  std::string list;
  for (const std::string &n : nets) list += n + "\n";
  const RunResult batch = run_shell(kBatch + " -q -J3 -b '" + lib + "' " + options + " --nets=- --out-dir='" +
                                        (out / "b") + "' --final-nets",
                                    list);
  EXPECT_EQ(batch.status, malformed >= 0 ? 1 : infeasible >= 0 ? 2 : 0) << batch.err;
  const std::vector<nlohmann::json> lines = json_lines(batch.out);
  ASSERT_EQ(lines.size(), nets.size());
  std::vector<std::string> texts;  // the summary lines as written
  for (size_t at = 0; at < batch.out.size(); at = batch.out.find('\n', at) + 1)
    texts.push_back(batch.out.substr(at, batch.out.find('\n', at) - at));
  for (size_t i = 0; i < nets.size(); i++) {
    SCOPED_TRACE(nets[i] + " " + options);
    const nlohmann::json &j = lines[i];
    EXPECT_EQ(j["net"], nets[i]);
    const std::string base = out / "one";
    const RunResult one = run_shell(kBufins + " -a flat -m 0 -q " + options + " -f '" + nets[i] + "' -b '" + lib +
                                    "' --out='" + base + "'");
    const std::string stem = fs::path(nets[i]).stem().string();
    if (static_cast<int>(i) == malformed || static_cast<int>(i) == infeasible) {
      EXPECT_EQ(j["status"], static_cast<int>(i) == malformed ? "error" : "infeasible");
      EXPECT_EQ(one.status, static_cast<int>(i) == malformed ? 1 : 2);
      EXPECT_EQ(j["error"].get<std::string>() + "\n", one.err);
      EXPECT_TRUE(j["slack"].is_null());
      EXPECT_FALSE(file_exists(out / ("b/" + stem + ".buf")));
      continue;
    }
    ASSERT_EQ(one.status, 0) << one.err;
    EXPECT_EQ(j["status"], "ok");
    EXPECT_TRUE(j["error"].is_null());
    char slack[64];
    std::snprintf(slack, sizeof slack, "%10.10g", j["slack"].get<double>());
    EXPECT_EQ(std::string(slack).substr(std::string(slack).find_first_not_of(' ')),
              report_value(one.out, "The slack after buffer insertion :"));
    EXPECT_EQ(std::to_string(j["buffers"].get<int>()), report_value(one.out, "The number of inserted buffer is :"));
    const std::string placement = read_file(base + ".buf");
    const std::string cost = report_value(one.out, "The cost of the inserted buffers is :");
    if (library == kLibrary)
      EXPECT_EQ(j["cost"].get<long long>(), cost.empty() ? placement_cost(placement) : std::stoll(cost));
    else
      EXPECT_NE(texts.at(i).find(",\"cost\":" + cost + ",\"feasible\":"), std::string::npos) << texts.at(i);
    EXPECT_EQ(read_file(out / ("b/" + stem + ".buf")), placement);
    EXPECT_EQ(read_file(out / ("b/" + stem + ".finalnet")), read_file(base + ".finalnet"));
  }
}

class BatchCrossCheck : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new Dir;
    nets_ = make_nets(*dir_, 60, 17, 41, 28);
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }
  static Dir *dir_;
  static std::vector<std::string> nets_;
};
Dir *BatchCrossCheck::dir_ = nullptr;
std::vector<std::string> BatchCrossCheck::nets_;

TEST_F(BatchCrossCheck, MaxSlack) { cross_check(nets_, "-m 2", 17, 41); }
TEST_F(BatchCrossCheck, MinCost) { cross_check(nets_, "--min-cost", 17, 41); }
TEST_F(BatchCrossCheck, MaxSlew) { cross_check(nets_, "--max-slew=250 -m 1", 17, 41); }
TEST_F(BatchCrossCheck, DecimalAreas) {
  cross_check(nets_, "--budget=7.505", 17, 41, kDecimalLibrary);
  cross_check(nets_, "--within=2% --cost-tolerance=5%", 17, 41, kDecimalLibrary);
}
TEST_F(BatchCrossCheck, TargetUnmet) {
  // A target above every net's best slack: status unmet, the outputs of the
  // maximum slack at its least cost, bufins's message.
  Dir out;
  const std::string lib = out / "lib4.lib";
  write_file(lib, kLibrary);
  const std::string net = nets_[3];
  const RunResult batch = run_shell(kBatch + " -b '" + lib + "' --target=1e6 '" + net + "'");
  const RunResult one = run_shell(kBufins + " -a flat -m 0 --target=1e6 -f '" + net + "' -b '" + lib + "' --out='" +
                                  (out / "one") + "'");
  EXPECT_EQ(batch.status, 2);
  EXPECT_EQ(one.status, 2);
  const nlohmann::json j = json_lines(batch.out).at(0);
  EXPECT_EQ(j["status"], "unmet");
  EXPECT_EQ(j["error"].get<std::string>() + "\n", one.err);
  EXPECT_EQ(std::to_string(j["cost"].get<long long>()), report_value(one.out, "The cost of the inserted buffers is :"));
}

// The same comparison on a thousand nets (labelled large: the sanitizer build
// leaves it out).
TEST(BatchLarge, ThousandNetsAgreeWithBufins) {
  Dir dir;
  const std::vector<std::string> nets = make_nets(dir, 1000, 250, 750, 77);
  for (const char *options : {"-m 2", "--min-cost", "--max-slew=250 -m 1"}) cross_check(nets, options, 250, 750);
}

// The same nets as a folder, a list file, a multi-net file and a mix: the
// same lines in the same order whatever the number of threads, and a net of a
// multi-net file placed by the file's own line numbers.
TEST_F(BatchCrossCheck, InputFormsAndOrder) {
  Dir out;
  const std::string lib = out / "lib4.lib";
  write_file(lib, kLibrary);
  std::vector<std::string> sorted = nets_;
  std::sort(sorted.begin(), sorted.end());
  const RunResult folder = run_shell(kBatch + " -q -J1 -b '" + lib + "' '" + dir_->path + "'");
  EXPECT_EQ(folder.status, 1);
  const std::vector<nlohmann::json> lines = json_lines(folder.out);
  ASSERT_EQ(lines.size(), sorted.size());
  for (size_t i = 0; i < sorted.size(); i++) EXPECT_EQ(lines[i]["net"], sorted[i]);
  std::string list, multi = "# nets of the test\n\n";
  long malformed_net_line = 0;
  for (size_t i = 0; i < sorted.size(); i++) {
    list += sorted[i] + "\n";
    const std::string stem = fs::path(sorted[i]).stem().string();
    if (stem == "net0017")
      malformed_net_line = static_cast<long>(std::count(multi.begin(), multi.end(), '\n')) + 1;
    multi += "net " + stem + "\n" + read_file(sorted[i]);
  }
  write_file(out / "list", list);
  write_file(out / "all.nets", multi);
  for (int jobs : {2, 5}) {
    const RunResult listed = run_shell(kBatch + " -q -J" + std::to_string(jobs) + " -b '" + lib + "' --nets='" +
                                       (out / "list") + "'");
    EXPECT_EQ(listed.out, folder.out) << jobs;
    const RunResult multi_run = run_shell(kBatch + " -q -J" + std::to_string(jobs) + " -b '" + lib + "' '" +
                                          (out / "all.nets") + "'");
    const std::vector<nlohmann::json> m = json_lines(multi_run.out);
    ASSERT_EQ(m.size(), lines.size());
    for (size_t i = 0; i < m.size(); i++) {
      EXPECT_EQ(m[i]["net"], fs::path(sorted[i]).stem().string());
      EXPECT_EQ(m[i]["slack"], lines[i]["slack"]);
      EXPECT_EQ(m[i]["status"], lines[i]["status"]);
      if (m[i]["net"] == "net0017") {
        // The reader's line within the net, moved down to the file's.
        const std::string single = lines[i]["error"];
        const long line = std::stol(single.substr(single.find(".net:") + 5));
        EXPECT_EQ(m[i]["error"], (out / "all.nets") + ":" + std::to_string(line + malformed_net_line) +
                                     single.substr(single.find(':', single.find(".net:") + 5)));
      }
    }
  }
  // A folder and a list together: operands first, then the list.
  const RunResult both = run_shell(kBatch + " -q -b '" + lib + "' --nets=- '" + dir_->path + "'", list);
  EXPECT_EQ(both.out, folder.out + folder.out);
}

// --route: a sink list routed as bufins-route routes it, then buffered.
TEST(Batch, RouteAsBufinsRoute) {
  Dir dir;
  write_file(dir / "lib4.lib", kLibrary);
  std::mt19937 rng(5);
  std::string names;
  for (int i = 0; i < 6; i++) {
    const std::string name = "s" + std::to_string(i);
    write_file(dir / name, sub_sample(i % 2 ? "r2" : "s5378", 10 + 9 * i, rng));
    names += " '" + (dir / name) + "'";
  }
  const std::string route_options = "--required=900 --alpha=0.3 --pitch=2000";
  const RunResult batch = run_shell(kBatch + " -q -b '" + (dir / "lib4.lib") + "' --route " + route_options +
                                    " -m 1 --out-dir='" + (dir / "b") + "' --final-nets" + names);
  ASSERT_EQ(batch.status, 0) << batch.err;
  const std::vector<nlohmann::json> lines = json_lines(batch.out);
  ASSERT_EQ(lines.size(), 6u);
  for (int i = 0; i < 6; i++) {
    const std::string name = dir / ("s" + std::to_string(i));
    ASSERT_EQ(run_shell(kRoute + " " + route_options + " '" + name + "' -o '" + name + ".net'").status, 0);
    const RunResult one = run_shell(kBufins + " -a flat -m 1 -f '" + name + ".net' -b '" + (dir / "lib4.lib") +
                                    "' --out='" + name + "'");
    char slack[64];
    std::snprintf(slack, sizeof slack, "%.10g", lines[static_cast<size_t>(i)]["slack"].get<double>());
    EXPECT_EQ(slack, report_value(one.out, "The slack after buffer insertion :"));
    EXPECT_EQ(std::to_string(lines[static_cast<size_t>(i)]["buffers"].get<int>()),
              report_value(one.out, "The number of inserted buffer is :"));
    // The net solved is the one read back from bufins-route's file, to the bit.
    const std::string stem = "s" + std::to_string(i);
    EXPECT_EQ(read_file(dir / ("b/" + stem + ".buf")), read_file(name + ".buf"));
    EXPECT_EQ(read_file(dir / ("b/" + stem + ".finalnet")), read_file(name + ".finalnet"));
  }
  // bufins-route's warnings, on the input's lines: loads far too large for fF.
  std::string list = read_file(dir / "s0");
  list = std::regex_replace(list, std::regex("Capacitive Load : *[0-9.e+-]+"), "Capacitive Load : 1e-6");
  write_file(dir / "huge", list);
  const RunResult warned = run_shell(kBatch + " -b '" + (dir / "lib4.lib") + "' --route '" + (dir / "huge") + "'");
  EXPECT_NE(warned.err.find((dir / "huge") + ":"), std::string::npos) << warned.err;
  EXPECT_NE(warned.err.find(": warning: sink load capacitance 999999999.9999999 "), std::string::npos) << warned.err;
}

// SIGINT mid-run: the process ends by the signal, the summary holds whole
// lines of an unbroken first part of the input with every such net's files,
// and no temporary is left.
TEST(Batch, InterruptKeepsFinishedLines) {
  Dir dir;
  write_file(dir / "lib4.lib", kLibrary);
  std::mt19937 rng(9);
  route::Request req;
  req.text = true;
  req.required = 1000.0;
  route::Input in = route::read_input(sub_sample("r3", 60, rng), "r3", req.cap_unit, req.time_unit(), Warn());
  const std::string net = route::route_net(in, req, "test", "r3").text;
  std::string multi;
  const int count = 4000;
  for (int i = 0; i < count; i++) multi += "net n" + std::to_string(i) + "\n" + net;
  write_file(dir / "many.nets", multi);
  const std::string summary = dir / "summary";
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    FILE *out = std::freopen(summary.c_str(), "w", stdout);
    if (out == nullptr) _exit(99);
    execl(kBatch.c_str(), kBatch.c_str(), "-q", "-J2", "-m", "20", "-b", (dir / "lib4.lib").c_str(),
          "--out-dir", (dir / "out").c_str(), (dir / "many.nets").c_str(), static_cast<char *>(nullptr));
    _exit(98);
  }
  // Once some nets are done (their files appear), interrupt.
  for (int i = 0; i < 600; i++) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::error_code ec;
    if (fs::exists(dir / "out/n40.buf", ec)) break;
  }
  kill(pid, SIGINT);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFSIGNALED(status)) << status;
  EXPECT_EQ(WTERMSIG(status), SIGINT);
  const std::string text = read_file(summary);
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(text.back(), '\n');
  const std::vector<nlohmann::json> lines = json_lines(text);
  EXPECT_GT(lines.size(), 0u);
  EXPECT_LT(lines.size(), static_cast<size_t>(count));
  for (size_t i = 0; i < lines.size(); i++) {
    EXPECT_EQ(lines[i]["net"], "n" + std::to_string(i));
    EXPECT_EQ(lines[i]["status"], "ok");
  }
  size_t files = 0;
  for (const auto &entry : fs::directory_iterator(dir / "out")) {
    const std::string name = entry.path().filename().string();
    EXPECT_NE(name[0], '.') << "temporary left: " << name;
    files++;
  }
  EXPECT_EQ(files, lines.size());
}

TEST(Batch, Renumber) {
  EXPECT_EQ(batch::renumber("a.nets:3: sink line: bad", "a.nets", 10), "a.nets:13: sink line: bad");
  EXPECT_EQ(batch::renumber("a.nets: no driver", "a.nets", 10), "a.nets: no driver");
  EXPECT_EQ(batch::renumber("bufins: a:1: x", "a", 10), "bufins: a:1: x");
}

}  // namespace
