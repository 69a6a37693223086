// Test helpers: temporary files and running the bufins binary through the shell.
#include "support.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

std::string make_temp_dir() {
  const char *base = std::getenv("TMPDIR");
  std::string tmpl = std::string(base ? base : "/tmp") + "/bufins_test_XXXXXX";
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  if (mkdtemp(buf.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  return std::string(buf.data());
}

void write_file(const std::string &path, const std::string &text) {
  std::ofstream f(path, std::ios::binary);
  if (!f) throw std::runtime_error("cannot write " + path);
  f << text;
}

std::string read_file(const std::string &path) {
  std::ifstream f(path, std::ios::binary);
  if (!f) return std::string();
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

bool file_exists(const std::string &path) { return access(path.c_str(), F_OK) == 0; }

RunResult run_shell(const std::string &command, const std::string &input) {
  std::string dir = make_temp_dir();
  std::string in = dir + "/stdin", out = dir + "/stdout", err = dir + "/stderr";
  write_file(in, input);
  std::string full = "( " + command + " ) <'" + in + "' >'" + out + "' 2>'" + err + "'";
  int raw = std::system(full.c_str());
  RunResult r;
  r.status = (raw != -1 && WIFEXITED(raw)) ? WEXITSTATUS(raw) : -1;
  r.out = read_file(out);
  r.err = read_file(err);
  std::system(("rm -rf '" + dir + "'").c_str());
  return r;
}

RunResult run_bufins(const std::string &args, const std::string &input, const std::string &cwd) {
  return run_shell("cd '" + cwd + "' && '" + std::string(BUFINS_BINARY) + "' " + args, input);
}

std::string data_path(const std::string &name) { return std::string(BUFINS_TEST_DATA) + "/" + name; }
