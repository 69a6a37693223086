// Test helpers: temporary files and running the bufins binary through the shell.
#include "support.h"

#include "io.h"

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

Node *load_into_tables(const TestNet &net) {
  std::string dir = make_temp_dir();
  write_net_files(net, dir, "t");
  FILE *lib = std::fopen((dir + "/t.lib").c_str(), "r");
  InputLib(lib, "t.lib");
  std::fclose(lib);
  FILE *in = std::fopen((dir + "/t.net").c_str(), "r");
  Node *root = read_net(in, "t.net");
  std::fclose(in);
  std::remove((dir + "/t.lib").c_str());
  std::remove((dir + "/t.net").c_str());
  rmdir(dir.c_str());
  return root;
}

TestNet tables_as_net(const TestNet &original) {
  TestNet net = original;
  net.sinks.clear();
  net.cands.clear();
  net.edges.clear();
  for (int i = 1; i < n_sinks; i++)
    net.sinks.push_back({nodes[i].index, nodes[i].x, nodes[i].y, nodes[i].cap * 1000.0, nodes[i].time});
  for (int i = n_sinks; i < n_sinks + n_candidates; i++) net.cands.push_back({nodes[i].index, nodes[i].x, nodes[i].y});
  for (int i = 0; i < n_sinks + n_candidates; i++) {
    if (nodes[i].left) net.edges.push_back({nodes[i].index, nodes[i].left->index});
    if (nodes[i].right) net.edges.push_back({nodes[i].index, nodes[i].right->index});
  }
  return net;
}

std::string capture_fp(const std::function<void()> &body) {
  FILE *tmp = std::tmpfile();
  fp = tmp;
  body();
  std::fflush(tmp);
  std::rewind(tmp);
  std::string text;
  int ch;
  while ((ch = std::fgetc(tmp)) != EOF) text.push_back(static_cast<char>(ch));
  std::fclose(tmp);
  fp = stdout;
  return text;
}

std::vector<RTnode *> nodes_of(RTnode *root) {
  std::vector<RTnode *> v, stack;
  for (RTnode *n = root; n != NIL || !stack.empty();) {
    for (; n != NIL; n = n->left) stack.push_back(n);
    n = stack.back();
    stack.pop_back();
    v.push_back(n);
    n = n->right;
  }
  return v;
}

TablesModel::TablesModel() : net(net_from_tables()), lib(library_from_tables()), T(net, lib) {}

std::string placement_lines(bool written, const std::vector<bufins::Placement> &placed) {
  if (!written) return "empty tree\n";
  std::string s;
  for (const bufins::Placement &p : placed)
    s += "start " + std::to_string(p.start) + "  end " + std::to_string(p.end) + "  buffertype " +
         std::to_string(p.type) + "\n";
  return s;
}
