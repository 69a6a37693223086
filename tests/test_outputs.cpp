// End-to-end tests of how bufins puts its output files in place: a failed run
// (lost report, output that cannot be created, late input error, SIGTERM
// in the middle of the run) leaves the folder exactly as it found
// it, earlier outputs byte for byte and no temporary; an output that would
// replace an input is refused before anything is read; a replaced file keeps
// its permissions and a symbolic link stays a link.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <thread>

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
      {kRun + " -j nodir/run.json", "Cannot open file: nodir/run.json\n"},  // after both files are written
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
