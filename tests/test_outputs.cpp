// End-to-end tests of how bufins and the tools put their output files in
// place: a failed run (lost report, output that cannot be created, late input
// error, SIGTERM in the middle of the run, a rename a sticky folder forbids)
// leaves the folder exactly as it found it, earlier outputs byte for byte and
// no temporary; an output that would replace an input or another output (by
// name, inode or an alias of standard input) is refused before anything is
// read; an output on a standard stream is written in place, in order; two
// runs at once leave the set of one of them; a replaced file keeps its
// permissions and a symbolic link stays a link.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "support.h"

namespace fs = std::filesystem;

namespace {

const std::string kRun = "-f demo.net -b demo.lib -a 2 -m 0";

struct Folder {
  std::string dir = make_temp_dir();
  Folder() {
    const std::string src = std::string(BUFINS_SOURCE_DIR) + "/examples/";
    fs::copy_file(src + "demo.net", dir + "/demo.net");
    fs::copy_file(src + "demo.lib", dir + "/demo.lib");
  }
  ~Folder() { fs::remove_all(dir); }
  std::string path(const std::string &name) const { return dir + "/" + name; }
  RunResult run(const std::string &args) const {
    return run_shell("cd '" + dir + "' && '" + BUFINS_BINARY + "' " + args);
  }
  // Every entry (hidden ones included) with its permissions and bytes (a
  // large file by its size and hash, to keep failure messages readable).
  std::map<std::string, std::string> state() const {
    std::map<std::string, std::string> s;
    for (const auto &e : fs::recursive_directory_iterator(dir)) {
      const auto perms = static_cast<unsigned>(fs::symlink_status(e.path()).permissions());
      std::string bytes = e.is_regular_file() ? read_file(e.path()) : "";
      if (bytes.size() > 4096)
        bytes = std::to_string(bytes.size()) + " bytes, hash " + std::to_string(std::hash<std::string>()(bytes));
      s[e.path().string()] = std::to_string(perms) + ":" + bytes;
    }
    return s;
  }
};

}  // namespace

TEST(Outputs, FailedRunsLeaveEarlierOutputsAsTheyWere) {
  Folder f;
  ASSERT_EQ(f.run(kRun + " -j run.json").status, 0);
  // An input error on the net's last line, found after the whole file is read.
  write_file(f.path("late.net"), read_file(f.path("demo.net")) + "edge 0 99\n");
  const auto before = f.state();
  struct Case {
    std::string args, err;
  } cases[] = {
      {kRun + " -j run.json >/dev/full", "bufins: cannot write the report to standard output\n"},
      {kRun + " -j run.json >&-", "bufins: cannot write the report to standard output\n"},
      {kRun + " -j nodir/run.json", "Cannot open file: nodir/run.json: No such file or directory\n"},
      {"-f late.net -b demo.lib -a 2 -m 0 --out=demo -j run.json", "late.net:"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.args);
    RunResult r = f.run(c.args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind(c.err, 0), 0u) << r.err;
    EXPECT_EQ(f.state(), before);
  }
}

TEST(Outputs, OutputsThatWouldReplaceAnInputAreRefusedBeforeReading) {
  Folder f;
  fs::copy_file(f.path("demo.lib"), f.path("case.buf"));
  fs::copy_file(f.path("demo.net"), f.path("case.net"));
  fs::copy_file(f.path("demo.net"), f.path("x.finalnet"));
  fs::create_hard_link(f.path("demo.lib"), f.path("same.lib"));
  const auto before = f.state();
  struct Case {
    std::string args, err;
  } cases[] = {
      {"-f case.net -b case.buf",
       "bufins: output case.buf would replace the library file case.buf; choose other output names with --out=BASE\n"},
      {"-f x.finalnet -b demo.lib -m 2",
       "bufins: output x.finalnet would replace the net file x.finalnet; choose other output names with "
       "--out=BASE\n"},
      {"-f demo.net -b case.buf --out=./case",
       "bufins: output ./case.buf would replace the library file case.buf; choose other output names with "
       "--out=BASE\n"},
      {"-f demo.net -b same.lib -j demo.lib",  // the same file under another name
       "bufins: output demo.lib would replace the library file same.lib; choose another name with --json=FILE\n"},
      {"-f demo.net -b demo.lib -j demo.buf",
       "bufins: output demo.buf would replace the placement file demo.buf; choose another name with --json=FILE\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.args);
    RunResult r = f.run(c.args);  // no answers: the prompts must not even be printed
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(f.state(), before);
  }
}

TEST(Outputs, ReplacedFilesKeepPermissionsAndLinks) {
  Folder f;
  ASSERT_EQ(f.run("-f demo.net -b demo.lib -a 1 -m 0").status, 0);
  const std::string list_buf = read_file(f.path("demo.buf"));
  fs::permissions(f.path("demo.buf"), fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  fs::create_directory(f.path("runs"));
  fs::rename(f.path("demo.finalnet"), f.path("runs/kept.finalnet"));
  fs::create_symlink("runs/kept.finalnet", f.path("demo.finalnet"));
  ASSERT_EQ(f.run("-f demo.net -b demo.lib -a 2 -m 1 --out=seg").status, 0);
  RunResult r = f.run("-f demo.net -b demo.lib -a 2 -m 1");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(read_file(f.path("demo.buf")), list_buf);
  EXPECT_EQ(fs::status(f.path("demo.buf")).permissions(),
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  EXPECT_TRUE(fs::is_symlink(f.path("demo.finalnet")));
  EXPECT_EQ(read_file(f.path("runs/kept.finalnet")), read_file(f.path("seg.finalnet")));
  // A new file gets what the umask leaves of 0666.
  ASSERT_EQ(run_shell("cd '" + f.dir + "' && umask 027 && '" + BUFINS_BINARY + "' " + kRun + " --out=new").status, 0);
  EXPECT_EQ(fs::status(f.path("new.buf")).permissions(),
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
}

TEST(Outputs, TerminatedMidRunLeavesNoTemporary) {
  // A chain long enough that the run takes a while; SIGTERM is sent as soon
  // as a temporary shows up in the folder (they are made before the
  // algorithm runs and live until the outputs are committed).
  Folder f;
  const int n = 300000;
  std::string net = "wire_res_per_unit 0.000001\nwire_cap_per_unit 0.001\ndriver 0 0 200\n";
  net += "sink " + std::to_string(n - 1) + " 0 " + std::to_string(n - 1) + " 30 900\n";
  for (int i = 1; i <= n - 2; i++) net += "candidate " + std::to_string(i) + " 0 " + std::to_string(i) + "\n";
  for (int i = 0; i < n - 1; i++) net += "edge " + std::to_string(i) + " " + std::to_string(i + 1) + "\n";
  write_file(f.path("chain.net"), net);
  write_file(f.path("empty.lib"), "");  // one candidate per node: the engine's part is quick
  auto reset = [&] {
    write_file(f.path("chain.finalnet"), "earlier\n");
    fs::remove(f.path("chain.buf"));
    fs::remove(f.path("c.json"));
  };
  reset();
  const auto before = f.state();
  bool killed_with_temporary = false;
  for (int attempt = 0; attempt < 5 && !killed_with_temporary; attempt++) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      if (chdir(f.dir.c_str()) != 0) _exit(127);
      freopen("/dev/null", "w", stdout);
      execl(BUFINS_BINARY, BUFINS_BINARY, "-f", "chain.net", "-b", "empty.lib", "-a", "1", "-m", "0", "-j", "c.json",
            static_cast<char *>(nullptr));
      _exit(127);
    }
    bool seen = false;
    int status = 0;
    while (!seen && waitpid(pid, &status, WNOHANG) == 0) {
      for (const auto &e : fs::directory_iterator(f.dir))
        if (e.path().filename().string().rfind(".chain.", 0) == 0) seen = true;
      if (!seen) std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    if (seen) {
      kill(pid, SIGTERM);
      ASSERT_EQ(waitpid(pid, &status, 0), pid);
    }
    if (WIFEXITED(status)) {  // finished before it was caught writing: again
      reset();
      continue;
    }
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGTERM);
    EXPECT_EQ(f.state(), before);
    killed_with_temporary = true;
    break;
  }
  EXPECT_TRUE(killed_with_temporary) << "no run was caught while writing its outputs";
}

TEST(Outputs, EveryOutputIsCheckedAgainstEveryFileOfTheRunAndStandardInput) {
  Folder f;
  ASSERT_EQ(f.run(kRun + " -q").status, 0);
  ASSERT_EQ(f.run("-f demo.net -b demo.lib -a flat -m 0 -q --out=fr --frontier=f.csv").status, 0);
  const std::string flat = "-a flat -m 0 -f demo.net -b demo.lib ";
  const std::string stdin_net = "-a flat -m 0 -f - -b demo.lib --out=o ";
  const auto before = f.state();
  struct Case {
    std::string command, err;
  } cases[] = {
      {flat + "--frontier=demo.net", "bufins: output demo.net would replace the net file demo.net"},
      {flat + "--frontier=demo.lib", "bufins: output demo.lib would replace the library file demo.lib"},
      {flat + "--frontier=demo.buf", "bufins: output demo.buf would replace the placement file demo.buf"},
      {flat + "--frontier=x.json -j x.json", "bufins: output x.json would replace the JSON report x.json"},
      {flat + "-j - --frontier=/dev/stdout",
       "bufins: output /dev/stdout and the JSON report (standard output) would both go to standard output"},
      {stdin_net + "-j /dev/stdin < demo.net", "bufins: output /dev/stdin would replace the net file (standard input)"},
      {stdin_net + "-j /dev/fd/0 < demo.net", "bufins: output /dev/fd/0 would replace the net file (standard input)"},
      {stdin_net + "-j /proc/self/fd/0 < demo.net", "bufins: output /proc/self/fd/0 would replace the net file"},
      {flat + "-j /dev/stdin < f.csv", "bufins: output /dev/stdin would replace standard input"},
      {std::string("'") + BUFINS_ROUTE_BINARY + "' -o /dev/stdin - < demo.net",
       "bufins-route: output /dev/stdin would replace the input file (standard input)"},
#ifdef BUFINS_DRAW_BINARY
      {std::string("'") + BUFINS_DRAW_BINARY + "' -F svg -p /dev/stdin - demo.buf < demo.net",
       "bufins-draw: output /dev/stdin would replace the net file (standard input)"},
      {std::string("'") + BUFINS_PLOT_BINARY + "' -F svg -p /dev/stdin - < f.csv",
       "bufins-plot: output /dev/stdin would replace the frontier file (standard input)"},
#endif
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.command);
    const bool tool = c.command[0] == '\'';
    RunResult r = run_shell("cd '" + f.dir + "' && " + (tool ? "" : "'" + std::string(BUFINS_BINARY) + "' ") + c.command);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind(c.err, 0), 0u) << r.err;
    EXPECT_EQ(f.state(), before);
  }
}

TEST(Outputs, OutputsOnStandardStreamsAreWrittenInPlaceInOrder) {
  Folder f;
  const std::string bufins = "'" + std::string(BUFINS_BINARY) + "' -a flat -m 0 -f demo.net -b demo.lib -q ";
  auto sh = [&](const std::string &command) { return run_shell("cd '" + f.dir + "' && " + command); };
  auto parses = [](const std::string &text) { return !nlohmann::json::parse(text, nullptr, false).is_discarded(); };
  // Standard output a file, named by > or >>: the JSON alone, after what was there; the report on standard error.
  RunResult r = sh(bufins + "-j /dev/stdout > rep.txt");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(parses(read_file(f.path("rep.txt"))));
  EXPECT_NE(r.err.find("The slack after buffer insertion :    394.745\n"), std::string::npos) << r.err;
  write_file(f.path("run.log"), "earlier\n");
  ASSERT_EQ(sh(bufins + "-j /dev/stdout >> run.log").status, 0);
  const std::string log = read_file(f.path("run.log"));
  ASSERT_EQ(log.rfind("earlier\n{", 0), 0u) << log;
  EXPECT_TRUE(parses(log.substr(8)));
  // In a pipe: the JSON or the CSV alone on standard output.
  r = sh(bufins + "-j /dev/stdout | cat");
  EXPECT_TRUE(parses(r.out)) << r.out;
  r = sh(bufins + "--frontier=- | cat");
  EXPECT_EQ(r.out.rfind("cost,buffers,slack\n0,0,", 0), 0u) << r.out;
  EXPECT_EQ(r.out.find("The slack"), std::string::npos);
  // The same file as standard output under its own name.
  ASSERT_EQ(sh(bufins + "-j same.txt > same.txt").status, 0);
  EXPECT_TRUE(parses(read_file(f.path("same.txt"))));
#ifdef BUFINS_DRAW_BINARY
  ASSERT_EQ(sh(bufins + "--out=d >/dev/null").status, 0);
  write_file(f.path("err.log"), "earlier\n");
  r = sh(std::string("'") + BUFINS_DRAW_BINARY + "' -F svg -p /dev/stderr demo.net d.buf 2>>err.log");
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(read_file(f.path("err.log")).rfind("earlier\n<?xml", 0), 0u);
#endif
  r = sh(std::string("'") + BUFINS_ROUTE_BINARY + "' -q demo.net -o /dev/stdout > routed.net");
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(read_file(f.path("routed.net")).rfind("# Written by bufins-route", 0), 0u);
}

TEST(Outputs, ARunWhoseOutputsCannotAllBePutInPlaceChangesNothing) {
  // A sticky world-writable folder where demo.buf belongs to another user
  // (writable by all) and demo.finalnet to the runner: the placement file
  // cannot be replaced, so neither may the final net be. Needs two users.
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run bufins as another user (nobody)";
  if (run_shell("command -v setpriv").status != 0) GTEST_SKIP() << "needs setpriv";
  Folder f;
  fs::permissions(f.dir, fs::perms::all | fs::perms::sticky_bit);
  fs::permissions(f.path("demo.net"), fs::perms::owner_all | fs::perms::group_read | fs::perms::others_read);
  fs::permissions(f.path("demo.lib"), fs::perms::owner_all | fs::perms::group_read | fs::perms::others_read);
  const std::string as_nobody = "cd '" + f.dir + "' && setpriv --reuid=nobody --regid=nogroup --clear-groups '" +
                                BUFINS_BINARY + "' -a 2 -q -f demo.net -b demo.lib";
  RunResult r = run_shell(as_nobody + " -m 0");
  if (r.status != 0) GTEST_SKIP() << "nobody cannot run the binary here: " << r.err;
  fs::remove(f.path("demo.buf"));
  write_file(f.path("demo.buf"), "another user's file\n");
  fs::permissions(f.path("demo.buf"), fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                                          fs::perms::group_write | fs::perms::others_read | fs::perms::others_write);
  const auto before = f.state();
  r = run_shell(as_nobody + " -m 1 -j run.json");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("demo.buf: Operation not permitted"), std::string::npos) << r.err;
  EXPECT_EQ(f.state(), before);
}

TEST(Outputs, ConcurrentRunsLeaveTheSetOfOneRun) {
  // Two runs with the same outputs and different answers, many times over:
  // the final net and the placement file must always come from one run, a
  // pair bufins-check accepts.
  Folder f;
  std::string pairs;
  for (int trial = 0; trial < 40; trial++) {
    const std::string a = "'" + std::string(BUFINS_BINARY) + "' -q -a 2 -f demo.net -b demo.lib --out=x ";
    ASSERT_EQ(run_shell("cd '" + f.dir + "' && { " + a + "-m 2 >/dev/null & " + a + "-m 3 >/dev/null; wait; }").status, 0);
    RunResult r = run_shell("cd '" + f.dir + "' && '" + BUFINS_CHECK_BINARY + "' -q x.finalnet demo.lib x.buf");
    if (r.status != 0) pairs += "trial " + std::to_string(trial) + ": " + r.err;
  }
  EXPECT_EQ(pairs, "");
}

TEST(Outputs, EveryTemporaryIsMadeBeforeTheAlgorithm) {
  // The JSON report, the frontier CSV and a name too long for its folder fail
  // the run before the algorithm runs: no slack line.
  Folder f;
  const auto before = f.state();
  const std::string too_long(300, 'n');
  for (const std::string &args : {kRun + " -j nodir/x.json", std::string("-a flat -m 0 -f demo.net -b demo.lib --frontier=nodir/f.csv"),
                                 kRun + " --out=" + too_long}) {
    SCOPED_TRACE(args);
    RunResult r = f.run(args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out.find("The slack"), std::string::npos) << r.out;
    EXPECT_EQ(r.err.rfind("Cannot open file: ", 0), 0u) << r.err;
    EXPECT_EQ(f.state(), before);
  }
}
