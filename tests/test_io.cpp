// Tests of the library and net readers, the tree linker and checker and the
// tree listing, run in-process on temporary streams.
//
// Reader errors are thrown as InputError: error cases match the distinctive
// part of the text that main prints and check the stream it goes to, the exit
// status and that the place fields agree with the text.
#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <functional>
#include <random>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "def.h"
#include "io.h"
#include "support.h"

namespace {

// Success when fn throws an InputError for `stream`, with status 1, whose
// text matches `pattern` (searched) and, for standard error, begins with the
// place its fields give.
testing::AssertionResult throws_input_error(const std::function<void()> &fn, const std::string &pattern,
                                            ErrorStream stream) {
  try {
    fn();
  } catch (const InputError &e) {
    const std::string text = e.what();
    if (!std::regex_search(text, std::regex(pattern)))
      return testing::AssertionFailure() << "threw \"" << text << "\", which does not match " << pattern;
    if (e.stream != stream || e.status != 1)
      return testing::AssertionFailure() << "\"" << text << "\": stream " << e.stream << ", status " << e.status;
    std::string place = e.file + ":" + (e.line > 0 ? std::to_string(e.line) + ":" : "") + " ";
    if (stream == ERROR_TO_STDERR && text != place + e.message)
      return testing::AssertionFailure() << "\"" << text << "\" is not place \"" << place << "\" + message";
    return testing::AssertionSuccess();
  }
  return testing::AssertionFailure() << "threw no InputError";
}

#define EXPECT_INPUT_ERROR(statement, pattern) \
  EXPECT_TRUE(throws_input_error([&] { statement; }, pattern, ERROR_TO_STDERR))
#define EXPECT_STDOUT_ERROR(statement, pattern) \
  EXPECT_TRUE(throws_input_error([&] { statement; }, pattern, ERROR_TO_STDOUT))

FILE *stream_of(const std::string &text) {
  FILE *f = std::tmpfile();
  if (f == nullptr) throw std::runtime_error("tmpfile failed");
  std::fwrite(text.data(), 1, text.size(), f);
  std::rewind(f);
  return f;
}

void read_lib(const std::string &text) {
  FILE *f = stream_of(text);
  InputLib(f, "t.lib");
  std::fclose(f);
}

Node *read_net_text(const std::string &text) {
  reset_globals();
  FILE *f = stream_of(text);
  Node *root = read_net(f, "t.net");
  std::fclose(f);
  return root;
}

// Runs fn on a thread whose stack is the common 8 MiB default, whatever the
// limit of the test process: a recursive walk of a long chain would overflow it.
// What fn throws is thrown again on the calling thread.
void on_8mib_stack(std::function<void()> fn) {
  struct Job {
    std::function<void()> fn;
    std::exception_ptr thrown;
  } job{std::move(fn), nullptr};
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, 8u << 20);
  pthread_t thread;
  auto body = [](void *arg) -> void * {
    Job *j = static_cast<Job *>(arg);
    try {
      j->fn();
    } catch (...) {
      j->thrown = std::current_exception();
    }
    return nullptr;
  };
  ASSERT_EQ(pthread_create(&thread, &attr, body, &job), 0);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attr);
  if (job.thrown) std::rethrow_exception(job.thrown);
}

// Standard output of fn, which may write a great deal.
std::string stdout_of(const std::function<void()> &fn) {
  testing::internal::CaptureStdout();
  fn();
  return testing::internal::GetCapturedStdout();
}

const Node *find(int index) {
  for (int i = 0; i < n_sinks + n_candidates; i++)
    if (nodes[i].index == index) return &nodes[i];
  return nullptr;
}

int index_of(const Node *p) { return p ? p->index : -1; }

// Lines 1-8 of the small nets below: a driver, two sinks, three candidates.
const std::string kHead =
    "wire_res_per_unit 0.5\n"
    "wire_cap_per_unit 2\n"
    "driver 1 2 100\n"
    "sink 1 10 0 5 300\n"
    "sink 2 0 10 7 400\n"
    "candidate 11 1 1\n"
    "candidate 12 5 0\n"
    "candidate 13 0 5\n";

// Lines 9-13: 11 branches, its first edge (to 13) giving left.
const std::string kEdges =
    "edge 0 11\n"
    "edge 11 13\n"
    "edge 11 12\n"
    "edge 12 1\n"
    "edge 13 2\n";

// Pre-order listing of kHead + kEdges.
const std::string kListing =
    "0 1.000000 2.000000 0 \n"
    "11 1.000000 1.000000 1 \n"
    "13 0.000000 5.000000 1 \n"
    "2 0.000000 10.000000 2 \n"
    "12 5.000000 0.000000 1 \n"
    "1 10.000000 0.000000 2 \n";

// A chain: driver, candidates 1 .. n-2, sink n-1, with n node lines in all.
std::string chain_net(int n) {
  std::string s = "wire_res_per_unit 1\nwire_cap_per_unit 1\ndriver 0 0 10\n";
  s.reserve(static_cast<size_t>(n) * 40);
  char buf[64];
  std::snprintf(buf, sizeof buf, "sink %d 0 %d 1 100\n", n - 1, n - 1);
  s += buf;
  for (int i = 1; i <= n - 2; i++) {
    std::snprintf(buf, sizeof buf, "candidate %d 0 %d\n", i, i);
    s += buf;
  }
  for (int i = 0; i < n - 1; i++) {
    std::snprintf(buf, sizeof buf, "edge %d %d\n", i, i + 1);
    s += buf;
  }
  return s;
}

}  // namespace

TEST(LibraryReader, RecognisesBufferLinesByTheirFirstFourCharacters) {
  reset_globals();
  read_lib(
      "# cap delay res\n"
      "\n"
      "buffer_small 20 35 180\n"
      "buff_x4 40.5 30 90\n"
      " buffer 1 1 1\n"           // blank first: not a buffer line
      "Buffer 2 2 2\n"            // case matters
      "buf 3 3 3\n"               // shorter than the keyword
      "   \n"
      "buff 80 28 45");           // no final newline
  ASSERT_EQ(n_buffertype, 3);
  EXPECT_DOUBLE_EQ(cb[0], 0.020);  // capacitance / 1000, nothing else converted
  EXPECT_DOUBLE_EQ(tb[0], 35.0);
  EXPECT_DOUBLE_EQ(rb[0], 180.0);
  EXPECT_DOUBLE_EQ(cb[1], 0.0405);
  EXPECT_DOUBLE_EQ(tb[1], 30.0);
  EXPECT_DOUBLE_EQ(rb[1], 90.0);
  EXPECT_DOUBLE_EQ(cb[2], 0.080);
  EXPECT_DOUBLE_EQ(rb[2], 45.0);

  // A second read starts again from type 0.
  read_lib("buffer 1 2 3\r\n");
  EXPECT_EQ(n_buffertype, 1);
  EXPECT_DOUBLE_EQ(cb[0], 0.001);
  EXPECT_DOUBLE_EQ(rb[0], 3.0);  // "\r" ends the number like a blank

  read_lib("");
  EXPECT_EQ(n_buffertype, 0);

  // Long lines are read whole: a 1000-character comment, and a buffer line
  // whose numbers lie beyond column 300.
  read_lib(std::string(1000, '#') + "\nbuffer" + std::string(300, ' ') + "7 8" + std::string(300, '\t') + "9\n");
  ASSERT_EQ(n_buffertype, 1);
  EXPECT_DOUBLE_EQ(cb[0], 0.007);
  EXPECT_DOUBLE_EQ(tb[0], 8.0);
  EXPECT_DOUBLE_EQ(rb[0], 9.0);
}

TEST(LibraryReader, SixtyFourTypesFillTheTablesAndTheSixtyFifthIsRejected) {
  std::string lib;
  for (int i = 1; i <= 64; i++) lib += "buffer " + std::to_string(i) + " " + std::to_string(100 + i) + " 5\n";
  reset_globals();
  read_lib(lib);
  ASSERT_EQ(n_buffertype, 64);
  EXPECT_DOUBLE_EQ(cb[63], 0.064);
  EXPECT_DOUBLE_EQ(tb[63], 164.0);
  EXPECT_DOUBLE_EQ(rb[63], 5.0);

  EXPECT_INPUT_ERROR(read_lib("# 65 types\n" + lib + "buffer 65 165 5\n"), "t.lib:66: more than 64 buffer types");
}

// area= in decimals: a library's areas in units of its most decimals
// (trailing zeros count), plain decimal notation only, at most 6 decimals,
// at most 1e9, and at most 1e12 units.
TEST(LibraryReader, DecimalAreasAreHeldInUnitsOfTheLibrarysLastDecimal) {
  struct Case {
    std::string areas;  // one area= per line
    int decimals;
    std::vector<long long> units;
  } cases[] = {{"1.5 0.25 3.750", 3, {1500, 250, 3750}},
               {"3.75 5.00 7.51", 2, {375, 500, 751}},
               {"1. .5 2", 1, {10, 5, 20}},
               {"7 0 1000000000", 0, {7, 0, 1000000000}},
               {"1000000.000000 0.000001", 6, {1000000000000LL, 1}}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.areas);
    std::istringstream words(c.areas);
    std::string lib, a;
    while (words >> a) lib += "buffer 1 2 3 area=" + a + "\n";
    reset_globals();
    read_lib(lib);
    EXPECT_EQ(buffer_area_decimals, c.decimals);
    for (size_t i = 0; i < c.units.size(); i++) EXPECT_EQ(buffer_area[i], c.units[i]) << i;
    const bufins::Library back = library_from_tables();
    EXPECT_EQ(back.area_decimals, c.decimals);
  }
  for (const char *bad : {"1e3", "-1", "+1", "1.5.0", ".", "", "0x10", "1,5", " 1"})
    EXPECT_INPUT_ERROR(read_lib(std::string("buffer 1 2 3\nbuffer 1 2 3 area=") + bad + "\n"),
                       "^t.lib:2: buffer line: area=.* is not a number from 0 to 1000000000 in decimals");
  EXPECT_INPUT_ERROR(read_lib("buffer 1 2 3 area=1.2345678\n"), "t.lib:1: buffer line: area=1.2345678 has 7 decimals; at most 6");
  EXPECT_INPUT_ERROR(read_lib("buffer 1 2 3 area=1000000000.5\n"), "t.lib:1: .*exceeds 1000000000, the largest area");
  EXPECT_INPUT_ERROR(read_lib("buffer 1 2 3 area=99999999999999999999\n"), "t.lib:1: .*exceeds 1000000000");
  // 2e6 with the six decimals of another line is 2e12 units.
  EXPECT_INPUT_ERROR(read_lib("buffer 1 2 3 area=2000000\nbuffer 1 2 3 area=0.000001\n"),
                     "^t.lib:1: buffer line: area=2000000 is too large for areas of 6 decimals \\(line 2 writes "
                     "0.000001\\)");
}

TEST(LibraryReader, BadBufferLinesAndUnreadableFilesFail) {
  EXPECT_INPUT_ERROR(read_lib("buffer 1 2 3\nbuffer 1 2\n"), "t.lib:2: buffer line: missing or unreadable output resistance");
  EXPECT_INPUT_ERROR(read_lib("buffer x 2 3\n"), "t.lib:1: .*input capacitance");
  EXPECT_INPUT_ERROR(read_lib("buffer nan 2 3\n"), "t.lib:1: .*input capacitance is not a finite number");
  EXPECT_INPUT_ERROR(read_lib("buffer 1 1e999 3\n"), "intrinsic delay is not a finite number");
  EXPECT_INPUT_ERROR(read_lib("buffer 1 2 -1e61\n"), "output resistance is out of range \\(magnitude above 1e\\+60\\)");
  // Negative resistances, capacitances and delays break dominance.
  EXPECT_INPUT_ERROR(read_lib("buffer 1 -2 3\n"), "t.lib:1: buffer line: intrinsic delay must not be negative");
  EXPECT_INPUT_ERROR(read_net_text("wire_res_per_unit -0.1\n"), "t.net:1: wire resistance line: wire resistance per unit length must not be negative");

  // A directory opens, but reading it fails: that must not pass for an empty
  // library.
  std::string dir = make_temp_dir();
  FILE *f = std::fopen(dir.c_str(), "r");
  ASSERT_NE(f, nullptr);
  EXPECT_INPUT_ERROR(InputLib(f, "dir.lib"), "^dir.lib: cannot read");
  std::fclose(f);
  std::filesystem::remove_all(dir);
}

TEST(NetReader, ReadsRecordsUnitsCountsAndLinksInEdgeOrder) {
  Node *root = read_net_text(kHead + kEdges);
  EXPECT_EQ(root, &nodes[0]);
  EXPECT_EQ(n_nodes, 6);
  EXPECT_EQ(n_sinks, 3);  // the driver counts
  EXPECT_EQ(n_candidates, 3);
  EXPECT_EQ(n_edges, 5);
  EXPECT_DOUBLE_EQ(r0, 0.5);
  EXPECT_DOUBLE_EQ(c0, 0.002);
  EXPECT_DOUBLE_EQ(rd, 100.0);
  EXPECT_DOUBLE_EQ(dx, 1.0);
  EXPECT_DOUBLE_EQ(dy, 2.0);

  // Table order is file order: driver, sinks, candidates.
  const int order[] = {0, 1, 2, 11, 12, 13};
  const int types[] = {NODE_DRIVER, NODE_SINK, NODE_SINK, NODE_CANDIDATE, NODE_CANDIDATE, NODE_CANDIDATE};
  for (int i = 0; i < 6; i++) {
    EXPECT_EQ(nodes[i].index, order[i]) << i;
    EXPECT_EQ(nodes[i].type, types[i]) << i;
  }
  EXPECT_DOUBLE_EQ(nodes[1].cap, 0.005);
  EXPECT_DOUBLE_EQ(nodes[1].time, 300.0);
  EXPECT_DOUBLE_EQ(nodes[2].x, 0.0);
  EXPECT_DOUBLE_EQ(nodes[2].y, 10.0);
  EXPECT_DOUBLE_EQ(nodes[2].cap, 0.007);
  EXPECT_DOUBLE_EQ(nodes[4].cap, 0.0);
  EXPECT_DOUBLE_EQ(nodes[0].cap, 0.0);

  EXPECT_EQ(index_of(root->left), 11);
  EXPECT_EQ(root->right, nullptr);
  EXPECT_EQ(index_of(find(11)->left), 13);  // first edge leaving 11
  EXPECT_EQ(index_of(find(11)->right), 12);
  EXPECT_EQ(index_of(find(12)->left), 1);
  EXPECT_EQ(find(12)->right, nullptr);
  EXPECT_EQ(find(1)->left, nullptr);
  EXPECT_EQ(find(2)->right, nullptr);

  EXPECT_EQ(stdout_of([&] { ntree_print(root); }), kListing);
}

TEST(NetReader, PrefixesBlankAndCommentLinesAndLineEndings) {
  // Edges first, seven-character wire prefixes, count lines, blank lines,
  // a node line with a leading blank, "edges"/"candidate_node" words, long
  // lines, and a last line without a newline.
  std::string text =
      "edge 0 11\n"
      "\n"
      "wire_resistance 0.5\n"
      "wire_r 99\n"                                         // six characters: no match
      "wire_capacitance_per_unit 2\n"
      "# " + std::string(1000, 'c') + "\n"
      "driver 1 2 100\n"
      "number_of_sinks 2\n"
      "sink 1 10 0 5 300\n"
      "   sink 7 0 0 0 0\n"                                 // ignored
      "sink" + std::string(300, ' ') + "2 0 10 7 400" + std::string(300, ' ') + "\n"
      "number_of_candidate_nodes 3\n"
      "candidate_node 11 1 1\n"
      "cand 12 5 0\n"
      "candidate 13 0 5\n"
      "  \t \n"
      "edges 11 13\n"
      "edge 11 12\n"
      "edge 12 1\n"
      "edge 13 2";                                          // no final newline
  Node *root = read_net_text(text);
  EXPECT_EQ(n_nodes, 6);
  EXPECT_EQ(n_sinks, 3);
  EXPECT_EQ(n_edges, 5);
  EXPECT_DOUBLE_EQ(r0, 0.5);
  EXPECT_DOUBLE_EQ(c0, 0.002);
  EXPECT_DOUBLE_EQ(nodes[2].cap, 0.007);
  EXPECT_DOUBLE_EQ(nodes[2].time, 400.0);
  EXPECT_EQ(index_of(find(13)->left), 2);  // the unterminated last line counts
  EXPECT_EQ(stdout_of([&] { ntree_print(root); }), kListing);

  // CRLF line ends read the same as LF ones.
  std::string crlf;
  for (char ch : kHead + kEdges) {
    if (ch == '\n') crlf += '\r';
    crlf += ch;
  }
  root = read_net_text(crlf);
  EXPECT_EQ(n_nodes, 6);
  EXPECT_DOUBLE_EQ(c0, 0.002);
  EXPECT_DOUBLE_EQ(nodes[2].time, 400.0);
  EXPECT_EQ(stdout_of([&] { ntree_print(root); }), kListing);

  // Line numbers in messages count blank lines and CRLF lines alike.
  EXPECT_INPUT_ERROR(read_net_text("\r\n\n" + crlf + "edge 99 1\r\n"), "t.net:16: edge names node 99");
}

TEST(NetReader, CandidatesOutsideTheTreeMayStay) {
  // 14 and 15 hang together apart from the driver's tree; 16 is alone.
  Node *root = read_net_text(kHead + "candidate 14 0 0\ncandidate 15 0 0\ncandidate 16 0 0\n" + kEdges + "edge 14 15\n");
  EXPECT_EQ(n_candidates, 6);
  EXPECT_EQ(index_of(find(14)->left), 15);
  EXPECT_EQ(stdout_of([&] { ntree_print(root); }), kListing);
}

TEST(NetReader, FinalNetFileReadsBackToTheSameTree) {
  std::string src = BUFINS_SOURCE_DIR;
  read_net_text(read_file(src + "/examples/demo.net"));
  std::vector<Node> first(nodes.begin(), nodes.end());
  std::vector<std::pair<int, int>> links;
  for (const Node &n : first) links.emplace_back(index_of(n.left), index_of(n.right));
  double r = r0, c = c0, d = rd;

  read_net_text(read_file(data_path("driver_demo.finalnet")));
  ASSERT_EQ(nodes.size(), first.size());
  EXPECT_DOUBLE_EQ(r0, r);
  EXPECT_DOUBLE_EQ(c0, c);
  EXPECT_DOUBLE_EQ(rd, d);
  for (size_t i = 0; i < first.size(); i++) {
    EXPECT_EQ(nodes[i].index, first[i].index);
    EXPECT_EQ(nodes[i].type, first[i].type);
    EXPECT_DOUBLE_EQ(nodes[i].x, first[i].x);
    EXPECT_DOUBLE_EQ(nodes[i].cap, first[i].cap);
    EXPECT_DOUBLE_EQ(nodes[i].time, first[i].time);
    EXPECT_EQ(index_of(nodes[i].left), links[i].first) << nodes[i].index;
    EXPECT_EQ(index_of(nodes[i].right), links[i].second) << nodes[i].index;
  }
}

TEST(NetReader, LinesWithMissingOrBadNumbersNameFileAndLine) {
  EXPECT_INPUT_ERROR(read_net_text("wire_res_per_unit\n"), "t.net:1: wire resistance line: missing or unreadable wire resistance per unit length");
  EXPECT_INPUT_ERROR(read_net_text("\nwire_cap_per_unit abc\n"), "t.net:2: wire capacitance line: missing or unreadable");
  EXPECT_INPUT_ERROR(read_net_text("driver 1 2\n"), "t.net:1: driver line: missing or unreadable driver output resistance");
  EXPECT_INPUT_ERROR(read_net_text("driver 1 2 3\nsink 1 10 0 5\n"), "t.net:2: sink line: missing or unreadable required arrival time");
  EXPECT_INPUT_ERROR(read_net_text(kHead + "candidate 14 1\n"), "t.net:9: candidate line: missing or unreadable y coordinate");
  EXPECT_INPUT_ERROR(read_net_text(kHead + "edge 0\n"), "t.net:9: edge line: missing or unreadable downstream node index");
  EXPECT_INPUT_ERROR(read_net_text("driver 1 2 3\nsink 1 10 0 nan 300\n"), "t.net:2: sink line: load capacitance is not a finite number");
  EXPECT_INPUT_ERROR(read_net_text("driver 1 1e999 3\n"), "t.net:1: driver line: y coordinate is not a finite");
  EXPECT_INPUT_ERROR(read_net_text("wire_res_per_unit -inf\n"), "t.net:1: .*not a finite number");
  EXPECT_INPUT_ERROR(read_net_text("driver 1 2 3\nsink 3000000000 1 1 1 1\n"), "t.net:2: sink line: index is out of range");
  EXPECT_INPUT_ERROR(read_net_text(kHead + "edge 0 -2147483649\n"), "t.net:9: edge line: downstream node index is out of range");
  // "1.5" must not become index 1 with x = .5.
  EXPECT_INPUT_ERROR(read_net_text("driver 1 2 3\nsink 1.5 1 1 1 1\n"), "t.net:2: sink line: index is not an integer");
  EXPECT_INPUT_ERROR(read_net_text(kHead + "edge 0 11x\n"), "t.net:9: .*not an integer");
}

TEST(NetCheck, NodeLinesOutOfOrderOrDuplicatedAreRejected) {
  EXPECT_INPUT_ERROR(read_net_text(""), "t.net: no driver line");
  EXPECT_INPUT_ERROR(read_net_text("# nothing\nedge 0 1\n"), "t.net: no driver line");
  EXPECT_INPUT_ERROR(read_net_text(kHead + "driver 0 0 1\n" + kEdges), "t.net:9: driver line: the driver must be the first and only driver line");
  EXPECT_INPUT_ERROR(read_net_text("sink 1 1 1 1 1\ndriver 0 0 1\n"), "t.net:1: sink line before the driver line");
  EXPECT_INPUT_ERROR(read_net_text("candidate 1 1 1\ndriver 0 0 1\n"), "t.net:1: candidate line before the driver line");
  EXPECT_INPUT_ERROR(read_net_text(kHead + "sink 3 0 0 1 1\n" + kEdges), "t.net:9: sink line after a candidate line");
  EXPECT_INPUT_ERROR(read_net_text(kHead + "candidate 1 0 0\n" + kEdges), "t.net:9: node index 1 is already used by the node at line 4");
  EXPECT_INPUT_ERROR(read_net_text(kHead + "candidate 12 0 0\n" + kEdges), "t.net:9: node index 12 is already used by the node at line 7");

  // These two messages go to standard output, without the place.
  EXPECT_STDOUT_ERROR(read_net_text("driver 0 0 1\nsink 0 1 1 1 1\n"), "^Error! The index of sink can not be zero\\.$");
  EXPECT_STDOUT_ERROR(read_net_text("driver 0 0 1\ncandidate 0 1 1\n"),
                      "^Error! The index of candidates can not be zero\\.$");

  // A reader called again after an error starts afresh.
  Node *root = read_net_text(kHead + kEdges);
  EXPECT_EQ(n_nodes, 6);
  EXPECT_EQ(stdout_of([&] { ntree_print(root); }), kListing);
}

TEST(NetCheck, EdgesThatDoNotFormTheTreeAreRejected) {
  // Edge lines start at line 9.
  EXPECT_INPUT_ERROR(read_net_text(kHead + "edge 0 11\nedge 11 99\n"), "t.net:10: edge names node 99, which no node line defines");
  EXPECT_INPUT_ERROR(read_net_text(kHead + "edge 0 11\nedge 98 12\n"), "t.net:10: edge names node 98");
  EXPECT_INPUT_ERROR(read_net_text(kHead + kEdges + "edge 1 12\n"), "t.net:14: edge leaves sink 1: a sink cannot have children");
  EXPECT_INPUT_ERROR(read_net_text(kHead + kEdges + "edge 13 0\n"), "t.net:14: edge leads into the driver");
  EXPECT_INPUT_ERROR(read_net_text(kHead + kEdges + "edge 13 12\n"), "t.net:14: node 12 is already the child of the edge at line 11");
  EXPECT_INPUT_ERROR(read_net_text(kHead + "edge 12 12\n" + kEdges), "t.net:9: edge joins node 12 to itself");
  EXPECT_INPUT_ERROR(read_net_text(kHead + "candidate 14 0 0\n" + kEdges + "edge 0 14\n"), "t.net:15: the driver has a second child \\(node 14\\)");
  EXPECT_INPUT_ERROR(read_net_text(kHead + "candidate 14 0 0\n" + kEdges + "edge 11 14\n"), "t.net:15: node 11 has a third child \\(node 14\\)");
  EXPECT_INPUT_ERROR(read_net_text(kHead), "t.net:3: the driver drives nothing");
  EXPECT_INPUT_ERROR(read_net_text("driver 0 0 1\n"), "t.net:1: the driver drives nothing");
  // A ring of candidates beside an otherwise valid tree.
  EXPECT_INPUT_ERROR(read_net_text(kHead + "candidate 14 0 0\ncandidate 15 0 0\ncandidate 16 0 0\n" + kEdges +
                            "edge 14 15\nedge 15 16\nedge 16 14\n"), "t.net:1[789]: edge closes a cycle through node 1[456]");
  EXPECT_INPUT_ERROR(read_net_text(kHead + "edge 0 11\nedge 11 13\nedge 11 12\nedge 12 1\n"), "t.net:5: sink 2 is not connected to the driver");
  // A sink below a candidate that is itself outside the tree.
  EXPECT_INPUT_ERROR(read_net_text(kHead + "candidate 14 0 0\n" + "edge 0 11\nedge 11 13\nedge 11 12\nedge 12 1\nedge 14 2\n"), "t.net:5: sink 2 is not connected to the driver");
  EXPECT_INPUT_ERROR(read_net_text(kHead + "edge 0 11\nedge 11 13\nedge 11 12\nedge 12 1\nedge 12 2\n"), "t.net:8: candidate 13 has no child");
  // Lines of records found after reading, with other lines between them.
  EXPECT_INPUT_ERROR(read_net_text("driver 1 2 100\n# a\nsink 1 10 0 5 300\nsink 2 0 10 7 400\n\n\ncandidate 11 1 1\n"
                                   "candidate 12 5 0\n#\ncandidate 13 0 5\nedge 0 11\n\nedge 11 13\n# b\nedge 11 12\n"
                                   "edge 12 1\nedge 12 2\n"), "t.net:10: candidate 13 has no child");
  EXPECT_INPUT_ERROR(read_net_text(kHead + "edge 0 11\n\nedge 11 13\n# c\n#\nedge 11 12\nedge 12 1\n\nedge 13 12\n"),
                     "t.net:17: node 12 is already the child of the edge at line 14");
}

TEST(TreeLinker, FirstTwoKnownEdgesGiveLeftAndRight) {
  reset_globals();
  auto node = [](int index, int type) { return Node{index, type, 0.0, 0.0, 0.0, 0.0, nullptr, nullptr}; };
  nodes.push_back(node(0, NODE_DRIVER));
  nodes.push_back(node(8, NODE_SINK));
  nodes.push_back(node(5, NODE_CANDIDATE));
  nodes.push_back(node(6, NODE_CANDIDATE));
  nodes.push_back(node(7, NODE_CANDIDATE));
  n_nodes = 5;
  n_sinks = 2;
  n_candidates = 3;
  edges = {{0, 5}, {5, 99}, {5, 6}, {5, 7}, {5, 8}, {6, 8}};
  n_edges = 6;
  EXPECT_EQ(produce_tree(), &nodes[0]);
  EXPECT_EQ(index_of(nodes[0].left), 5);
  EXPECT_EQ(index_of(nodes[2].left), 6);  // the edge to an unknown node uses up nothing
  EXPECT_EQ(index_of(nodes[2].right), 7);  // a third edge is ignored
  EXPECT_EQ(index_of(nodes[3].left), 8);

  // Relinking starts afresh: links from the previous edge table go.
  edges = {{0, 6}, {6, 7}};
  n_edges = 2;
  produce_tree();
  EXPECT_EQ(index_of(nodes[0].left), 6);
  EXPECT_EQ(nodes[2].left, nullptr);
  EXPECT_EQ(nodes[2].right, nullptr);
  EXPECT_EQ(index_of(nodes[3].left), 7);
  EXPECT_EQ(nodes[3].right, nullptr);
}

TEST(TreeWalksLarge, ChainOfMaximumLengthIsReadCheckedAndListedOn8MiBStack) {
  const std::string text = chain_net(MAX_NODES);
  std::string listing;
  on_8mib_stack([&] {
    Node *root = read_net_text(text);
    listing = stdout_of([&] { ntree_print(root); });
  });
  ASSERT_EQ(n_nodes, MAX_NODES);
  EXPECT_EQ(n_candidates, MAX_NODES - 2);
  EXPECT_EQ(n_edges, MAX_NODES - 1);
  EXPECT_EQ(std::count(listing.begin(), listing.end(), '\n'), MAX_NODES);
  const std::string head = "0 0.000000 0.000000 0 \n1 0.000000 1.000000 1 \n";
  const std::string tail = "1599998 0.000000 1599998.000000 1 \n1599999 0.000000 1599999.000000 2 \n";
  ASSERT_GT(listing.size(), head.size() + tail.size());
  EXPECT_EQ(listing.substr(0, head.size()), head);
  EXPECT_EQ(listing.substr(listing.size() - tail.size()), tail);

  // The driver drives the sink, and all candidates form one ring beside it:
  // the cycle must be found without walking it recursively.
  std::string ring = "driver 0 0 10\nsink 1 0 0 1 100\n";
  for (int i = 2; i < MAX_NODES; i++) ring += "candidate " + std::to_string(i) + " 0 0\n";
  ring += "edge 0 1\n";
  for (int i = 2; i < MAX_NODES; i++) ring += "edge " + std::to_string(i) + " " + std::to_string(i + 1 < MAX_NODES ? i + 1 : 2) + "\n";
  EXPECT_INPUT_ERROR(on_8mib_stack([&] { read_net_text(ring); }), "edge closes a cycle through node");
}

// The readers' number parsers against strtod and strtol on random text: plain
// and odd decimals, exponents, hexadecimal, inf and nan, blanks, signs, junk,
// overflow and underflow. Same value (bit for bit) and same end, every time.
TEST(NumberParsers, AgreeWithStrtodAndStrtolOnRandomText) {
  std::mt19937_64 rng(12345);
  const char *pieces[] = {"0", "1", "7", "9", "00", "12345678901234567890", "-", "+", ".", "e", "E", "e-", "e+",
                          "x", "X", "0x", "p", "p-", "inf", "INF", "infinity", "nan", "nan(1)", " ", "\t", "\r",
                          "\v", "a", "f", "#", "e308", "e-320", "e400", "9007199254740993", "4.9406564584124654e-324"};
  auto pick = [&](size_t n) { return static_cast<size_t>(rng() % n); };
  int cases = 0;
  for (int round = 0; round < 300000; round++) {
    std::string text;
    if (round % 3 == 0) {
      // A printed double: random bits, or a short decimal.
      double v;
      uint64_t bits = rng();
      std::memcpy(&v, &bits, sizeof v);
      if (round % 2) v = static_cast<double>(rng() % 100000000) / std::pow(10.0, static_cast<double>(pick(12)));
      char buf[64];
      const char *formats[] = {"%.17g", "%f", "%.3e", "%.0f", "%g", "%a"};
      std::snprintf(buf, sizeof buf, formats[pick(6)], v);
      text = buf;
      if (pick(4) == 0) text = "-" + text;
    }
    for (size_t n = pick(6); n > 0; n--) text += pieces[pick(sizeof pieces / sizeof *pieces)];
    const char *b = text.c_str(), *e = b + text.size();

    char *want_end;
    double want = std::strtod(b, &want_end);
    double got;
    const char *got_end = parse_real(b, e, &got);
    ASSERT_EQ(got_end - b, want_end - b) << "\"" << text << "\"";
    if (std::isnan(want)) {
      ASSERT_TRUE(std::isnan(got)) << "\"" << text << "\"";
    } else {
      ASSERT_EQ(std::memcmp(&got, &want, sizeof got), 0) << "\"" << text << "\": " << got << " vs " << want;
    }

    errno = 0;
    long want_int = std::strtol(b, &want_end, 10);
    const bool want_range = errno == ERANGE;
    long got_int;
    bool got_range;
    got_end = parse_integer(b, e, &got_int, &got_range);
    ASSERT_EQ(got_end - b, want_end - b) << "\"" << text << "\"";
    if (got_end != b) {
      ASSERT_EQ(got_int, want_int) << "\"" << text << "\"";
      ASSERT_EQ(got_range, want_range) << "\"" << text << "\"";
    }
    cases++;
  }
  // Without a terminator the text ends where it is cut.
  double v;
  const char *t = "12.5e3";
  EXPECT_EQ(parse_real(t, t + 4, &v), t + 4);
  EXPECT_EQ(v, 12.5);
  long n;
  bool over;
  EXPECT_EQ(parse_integer(t, t + 1, &n, &over), t + 1);
  EXPECT_EQ(n, 1);
  EXPECT_EQ(cases, 300000);
}

// Node and edge lines spelled every way the reader takes them (the short
// plain decimals it scans eight digits at a time beside long, signed,
// exponent, hexadecimal and bare-point forms, any blanks between fields,
// trailing words and carriage returns, keyword tails): every value is
// strtod's or strtol's of the field's text, bit for bit.
TEST(NetReader, NodeAndEdgeLinesInAnySpellingGiveStrtodValues) {
  std::mt19937_64 rng(331);
  auto pick = [&](size_t n) { return static_cast<size_t>(rng() % n); };
  auto real_text = [&](bool non_negative) {
    char buf[96];
    const double v = pick(3) == 0 ? std::ldexp(static_cast<double>(rng() >> 11), static_cast<int>(pick(90)) - 60)
                                  : static_cast<double>(rng() % 100000000000ULL) / std::pow(10.0, static_cast<double>(pick(9)));
    switch (pick(9)) {
      case 0: std::snprintf(buf, sizeof buf, "%.17g", v); break;
      case 1: std::snprintf(buf, sizeof buf, "%.*f", static_cast<int>(pick(22)), v); break;
      case 2: std::snprintf(buf, sizeof buf, "%.3e", v); break;
      case 3: std::snprintf(buf, sizeof buf, "%a", v); break;
      case 4: std::snprintf(buf, sizeof buf, "%s", pick(2) ? "5." : ".25"); break;
      case 5: std::snprintf(buf, sizeof buf, "%0*.*f", static_cast<int>(pick(30)), static_cast<int>(pick(8)), v); break;
      case 6: std::snprintf(buf, sizeof buf, "%llu", static_cast<unsigned long long>(rng() >> pick(64))); break;
      default: std::snprintf(buf, sizeof buf, "%f", v); break;
    }
    std::string t = buf;
    if (pick(5) == 0) t = (non_negative ? "+" : pick(2) ? "-" : "+") + t;
    return t;
  };
  auto index_text = [&](int index) {
    std::string t = std::to_string(index);
    if (pick(6) == 0) t = std::string(pick(12), '0') + t;
    if (pick(8) == 0) t = "+" + t;
    return t;
  };
  auto blank = [&] {
    const char *blanks[] = {" ", " ", " ", "  ", "\t", " \t"};
    return std::string(blanks[pick(6)]);
  };
  auto tail = [&] {
    const char *tails[] = {"", "", "", " ", "\r", " extra words", "  9 8"};
    return std::string(tails[pick(7)]);
  };
  for (int round = 0; round < 40; round++) {
    const int candidates = static_cast<int>(pick(300));
    const int sinks = 1 + static_cast<int>(pick(std::min(30, std::max(candidates, 1))));
    std::vector<std::string> fields;  // every real field's text, in node order
    std::vector<int> numbers{0};
    std::string text = "wire_res_per_unit 0.1\nwire_cap_per_unit 0.2\ndriver 0 0 100\n";
    for (int i = 1; i <= sinks + candidates; i++) {
      const bool sink = i <= sinks;
      const int number = i * 7 + static_cast<int>(pick(7)) + (pick(10) == 0 ? 1000000000 : 0);
      numbers.push_back(number);
      text += sink ? (pick(8) ? "sink" : "sinks") : (pick(8) ? "candidate" : "cand");
      text += blank() + index_text(number);
      for (int f = 0; f < (sink ? 4 : 2); f++) {
        fields.push_back(real_text(f == 2));
        text += blank() + fields.back();
      }
      text += tail() + "\n";
    }
    // A chain of the candidates from the driver, sink k below candidate k and
    // the last sink below the last candidate.
    std::vector<std::pair<int, int>> tree;
    if (candidates == 0) {
      tree.emplace_back(0, numbers[1]);
    } else {
      tree.emplace_back(0, numbers[sinks + 1]);
      for (int c = 1; c <= candidates; c++) {
        if (c < candidates) tree.emplace_back(numbers[sinks + c], numbers[sinks + c + 1]);
        if (c < sinks) tree.emplace_back(numbers[sinks + c], numbers[c]);
      }
      tree.emplace_back(numbers[sinks + candidates], numbers[sinks]);
    }
    for (const auto &edge : tree)
      text += "edge" + blank() + index_text(edge.first) + blank() + index_text(edge.second) + tail() + "\n";
    FILE *f = stream_of(text);
    bufins::Net net;
    try {
      net = read_net_model(f, "t.net");
    } catch (const InputError &e) {
      std::fclose(f);
      FAIL() << e.what() << "\n" << text;
    }
    std::fclose(f);
    ASSERT_EQ(net.nodes.size(), numbers.size());
    size_t at = 0;
    for (size_t i = 1; i < net.nodes.size(); i++) {
      const bufins::Node &n = net.nodes[i];
      EXPECT_EQ(n.index, numbers[i]);
      std::vector<double> want;
      for (int k = 0; k < (n.kind == bufins::NodeKind::sink ? 4 : 2); k++)
        want.push_back(std::strtod(fields[at++].c_str(), nullptr));
      std::vector<double> got{n.x, n.y};
      if (n.kind == bufins::NodeKind::sink) {
        got.push_back(n.load);
        got.push_back(n.required);
      }
      ASSERT_EQ(got.size(), want.size());
      for (size_t k = 0; k < got.size(); k++)
        ASSERT_EQ(std::memcmp(&got[k], &want[k], sizeof(double)), 0)
            << "node " << numbers[i] << " field " << k << ": " << fields[at - want.size() + k];
    }
    ASSERT_EQ(net.edges.size(), tree.size());
    for (size_t k = 0; k < tree.size(); k++) {
      EXPECT_EQ(net.edges[k].from, tree[k].first);
      EXPECT_EQ(net.edges[k].to, tree[k].second);
    }
  }
}
