// bufins-batch's pipeline: the feed of nets, the worker threads, the emitter
// of summary lines in input order, and the stop on a terminating signal (see
// batch.h for the design and its invariant).
//
// Ownership: a net (NetItem) belongs to the queue until a worker takes it;
// its result (Done) to the reorder window until the emitter takes it. All of
// the shared state is guarded by one mutex; the solving, reading, routing and
// writing happen outside it.
//
// Signals: SIGINT, SIGTERM and SIGHUP are blocked in every thread and taken
// by one thread in sigwait(), which asks the run to stop; a second one (or
// one that arrives while no run is going) removes the pending temporaries
// and ends the process by the signal at once.
#include "batch.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cassert>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <nlohmann/json.hpp>
#include <thread>
#include <unordered_set>

#include "cli.h"
#include "cmdline.h"
#include "io.h"
#include "output_file.h"

namespace batch {

namespace {

const char *const kProgram = "bufins-batch";

// ---- Nets and their results ----

struct NetItem {
  unsigned long long seq = 0;
  std::string name;         // the summary's "net"
  std::string path;         // the file to read; empty: `text` holds the net
  std::string text;
  std::string file;         // the file in messages
  long offset = 0;          // lines of `file` above the first line of `text`
  std::string out_base;     // DIR/BASE of the net's files, empty without --out-dir
  std::string early_error;  // found by the feed: the net fails with it
};

struct Done {
  std::string line;  // the summary line, newline included
  std::vector<std::string> warnings;
  Outcome::Status status = Outcome::OK;
};

// ---- Reading ----

// One line without its newline (and without a carriage return before it);
// false at the end of the stream or on a read error (ferror tells).
bool read_line(FILE *in, std::string &line) {
  line.clear();
  int ch;
  while ((ch = std::getc(in)) != EOF && ch != '\n') line.push_back(static_cast<char>(ch));
  if (ch == EOF && line.empty()) return false;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return true;
}

bool blank_or_comment(const std::string &line) {
  const size_t b = line.find_first_not_of(" \t\r\f\v");
  return b == std::string::npos || line[b] == '#';
}

// A `net NAME` line: true with the name (empty when none is given).
bool net_line(const std::string &line, std::string *name) {
  if (line.compare(0, 3, "net") != 0 || line.size() < 4 || (line[3] != ' ' && line[3] != '\t')) return false;
  const size_t b = line.find_first_not_of(" \t", 3);
  const size_t e = line.find_last_not_of(" \t\r\f\v");
  *name = b == std::string::npos ? std::string() : line.substr(b, e - b + 1);
  return true;
}

// What is wrong with a net's name as a file name, or "".
std::string bad_name(const std::string &name) {
  if (name.empty()) return "net line: no name after 'net'";
  if (name.find_first_of(" \t") != std::string::npos) return "net line: the name '" + name + "' holds a blank";
  if (name.find('/') != std::string::npos) return "net line: the name '" + name + "' holds a '/'";
  if (name == "." || name == "..") return "net line: '" + name + "' is not a name";
  return "";
}

// The whole file; false (errno set) when it cannot be opened or read. A
// regular file is read by one read() of its size and a byte more: a read
// short of that is its end, so a small net costs one system call to read,
// not the three of a stdio loop. Anything else is read until read() says
// the end.
bool slurp(const std::string &path, std::string *text) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  const bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  size_t got = 0;
  text->resize(regular ? static_cast<size_t>(st.st_size) + 1 : size_t{1} << 15);
  bool ok = true;
  for (;;) {
    if (got == text->size()) text->resize(2 * text->size());
    const ssize_t n = ::read(fd, &(*text)[got], text->size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      ok = false;
      break;
    }
    got += static_cast<size_t>(n);
    if (n == 0 || (regular && got < text->size())) break;
  }
  const int error = errno;
  ::close(fd);
  text->resize(ok ? got : 0);
  errno = error;
  return ok;
}

// The file name of a path without what follows its last '.' (as bufins names
// its outputs after the net file).
std::string base_name(const std::string &path) {
  const size_t slash = path.rfind('/');
  std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  const size_t dot = base.rfind('.');
  if (dot != std::string::npos) base.resize(dot);
  return base;
}

bool has_edge_lines(const std::string &text) {
  size_t at = 0;
  while (at < text.size()) {
    if (text.compare(at, 4, "edge") == 0) return true;
    const size_t nl = text.find('\n', at);
    if (nl == std::string::npos) break;
    at = nl + 1;
  }
  return false;
}

// ---- The feed: inputs to numbered nets, in input order ----

class Feed {
 public:
  explicit Feed(const RunOptions &o) : o_(o) {
    for (const std::string &in : o.inputs) sources_.push_back({in, false});
    for (const std::string &list : o.lists) {
      // Lists are opened now, so that one that cannot be fails the run first.
      cmdline::Stream s = cmdline::open_stream(list, "r");
      if (!s) throw InputError(list, 0, "cannot be opened", "Cannot open file: " + list + ": " + std::strerror(errno));
      sources_.push_back({list, true});
      lists_.push_back(std::move(s));
    }
  }

  // The next net; false when there is none.
  bool next(NetItem &item) {
    item = NetItem{};
    for (;;) {
      switch (mode_) {
        case FOLDER:
          if (folder_at_ < folder_.size()) {
            const std::string &dir = sources_[source_ - 1].name;
            single(item, dir + (dir.back() == '/' ? "" : "/") + folder_[folder_at_++]);
            return true;
          }
          break;
        case MULTI:
          if (next_in_multi(item)) return true;
          break;
        case LIST: {
          std::string line;
          while (read_line(stream_, line)) {
            if (line.find_first_not_of(" \t\f\v") == std::string::npos) continue;
            single(item, line);
            return true;
          }
          break;
        }
        case NONE:
          break;
      }
      close_stream();
      mode_ = NONE;
      if (source_ >= sources_.size()) return false;
      if (open_source(sources_[source_++], item)) return true;
    }
  }

  // Counts the nets ahead without taking them (for the progress bar): -1
  // when standard input is one of the inputs.
  long long count() const {
    long long total = 0;
    for (const Source &s : sources_) {
      if (cmdline::is_standard(s.name)) return -1;
      if (s.list) {
        FILE *f = std::fopen(s.name.c_str(), "r");
        if (f == nullptr) continue;
        std::string line;
        while (read_line(f, line))
          if (line.find_first_not_of(" \t\f\v") != std::string::npos) total++;
        std::fclose(f);
        continue;
      }
      struct stat st;
      if (stat(s.name.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        total += static_cast<long long>(folder_listing(s.name, nullptr).size());
        continue;
      }
      FILE *f = std::fopen(s.name.c_str(), "r");
      if (f == nullptr) {
        total++;
        continue;
      }
      std::string line, name;
      long long nets = 0;
      bool first = true, multi = false;
      while (read_line(f, line)) {
        if (first && !blank_or_comment(line)) {
          first = false;
          multi = net_line(line, &name);
          if (!multi) break;
        }
        if (multi && net_line(line, &name)) nets++;
      }
      std::fclose(f);
      total += multi ? nets : 1;
    }
    return total;
  }

 private:
  struct Source {
    std::string name;
    bool list;
  };
  enum Mode { NONE, FOLDER, MULTI, LIST };

  const RunOptions &o_;
  std::vector<Source> sources_;
  std::vector<cmdline::Stream> lists_;  // opened at the start, in list order
  size_t source_ = 0, list_at_ = 0;
  Mode mode_ = NONE;
  std::vector<std::string> folder_;
  size_t folder_at_ = 0;
  cmdline::Stream owned_{nullptr, &std::fclose};  // the multi-net file being read
  FILE *stream_ = nullptr;
  std::string file_;       // its name in messages
  long line_no_ = 0;
  bool have_net_line_ = false;  // the `net` line of the next net has been read
  std::string net_name_;
  long net_line_no_ = 0;
  std::unordered_set<size_t> outputs_;  // hashes of the output bases handed out

  static std::vector<std::string> folder_listing(const std::string &dir, std::string *error) {
    std::vector<std::string> names;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
      const std::string name = it->path().filename().string();
      std::error_code dir_ec;
      if (name.size() > 4 && name.compare(name.size() - 4, 4, ".net") == 0 && !it->is_directory(dir_ec))
        names.push_back(name);
    }
    if (ec && error != nullptr) *error = "Cannot open file: " + dir + ": " + ec.message();
    std::sort(names.begin(), names.end());
    return names;
  }

  void close_stream() {
    owned_.reset();
    stream_ = nullptr;
  }

  // The names of a net's outputs; a name an earlier net of the run has taken
  // makes the net fail.
  void name_outputs(NetItem &item, const std::string &base) {
    if (o_.out_dir.empty() || !item.early_error.empty()) return;
    item.out_base = o_.out_dir + (o_.out_dir.back() == '/' ? "" : "/") + base;
    if (!outputs_.insert(std::hash<std::string>()(item.out_base)).second)
      item.early_error = std::string(kProgram) + ": " + item.name + ": its outputs " + item.out_base + ".buf and " +
                         item.out_base + ".finalnet are those of an earlier net of this run (nets need different names)";
  }

  void single(NetItem &item, const std::string &path) {
    item.name = item.path = item.file = path;
    name_outputs(item, base_name(path));
  }

  // Starts a source; true when it gave a net at once (a single net file).
  bool open_source(const Source &s, NetItem &item) {
    if (s.list) {
      stream_ = lists_[list_at_++].get();
      file_ = cmdline::display_name(s.name);
      mode_ = LIST;
      return false;
    }
    struct stat st;
    if (!cmdline::is_standard(s.name) && stat(s.name.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
      std::string error;
      folder_ = folder_listing(s.name, &error);
      folder_at_ = 0;
      mode_ = FOLDER;
      if (!error.empty()) {
        item.name = item.file = s.name;
        item.early_error = error;
        return true;
      }
      return false;
    }
    // A file: a multi-net file when its first line that is neither blank nor
    // a comment is a `net` line.
    cmdline::Stream f = cmdline::open_stream(s.name, "r");
    if (!f) {
      single(item, s.name);  // the worker reports it as bufins does
      return true;
    }
    std::string peeked, line;
    long lines = 0;
    while (read_line(f.get(), line)) {
      lines++;
      if (!blank_or_comment(line)) {
        if (net_line(line, &net_name_)) {
          owned_ = std::move(f);
          stream_ = owned_.get();
          file_ = s.name;
          line_no_ = lines;
          have_net_line_ = true;
          net_line_no_ = lines;
          mode_ = MULTI;
          return false;
        }
        break;
      }
      peeked += line + "\n";
    }
    if (!cmdline::is_standard(s.name)) {
      single(item, s.name);
      return true;
    }
    // One net on standard input: the rest of it joins the lines peeked at.
    if (!line.empty() || lines > 0) peeked += line + "\n";
    while (read_line(f.get(), line)) peeked += line + "\n";
    item.name = item.file = s.name;
    item.text = std::move(peeked);
    name_outputs(item, "stdin");
    return true;
  }

  bool next_in_multi(NetItem &item) {
    if (!have_net_line_) return false;
    item.name = net_name_;
    item.file = file_;
    item.offset = net_line_no_;
    const std::string why = bad_name(net_name_);
    if (!why.empty()) item.early_error = file_ + ":" + std::to_string(net_line_no_) + ": " + why;
    have_net_line_ = false;
    std::string line;
    while (read_line(stream_, line)) {
      line_no_++;
      if (net_line(line, &net_name_)) {
        have_net_line_ = true;
        net_line_no_ = line_no_;
        break;
      }
      item.text += line;
      item.text += '\n';
    }
    name_outputs(item, item.name);
    return true;
  }
};

// ---- One net ----

std::string summary_line(const NetItem &item, const Outcome &out) {
  using nlohmann::ordered_json;
  static const char *const kStatus[] = {"ok", "unmet", "infeasible", "error"};
  // The object's text written field by field, each value as the JSON
  // library writes it (names are bytes, not necessarily UTF-8), without
  // building the object for every net. A cost of a library with decimals is
  // written with exactly its decimals ("16.26"), which a JSON number cannot
  // hold.
  auto text = [](const std::string &v) { return ordered_json(v).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace); };
  std::string line;
  line.reserve(128 + item.name.size() + out.error.size());
  line += "{\"net\":";
  line += text(item.name);
  line += ",\"slack\":";
  line += out.solved ? ordered_json(out.slack).dump() : "null";
  line += ",\"buffers\":";
  line += out.solved ? std::to_string(out.buffers) : "null";
  line += ",\"cost\":";
  line += !out.solved ? "null"
          : out.area_decimals > 0 ? bufins::cost_text(out.cost, out.area_decimals)
                                  : std::to_string(out.cost);
  line += out.solved && out.feasible ? ",\"feasible\":true" : ",\"feasible\":false";
  line += ",\"status\":\"";
  line += kStatus[out.status];
  line += "\",\"error\":";
  line += out.status == Outcome::OK ? "null" : text(out.error);
  line += "}\n";
  return line;
}

void fail(Outcome &out, const std::string &error) {
  out.status = Outcome::ERROR;
  out.solved = false;
  out.error = error;
}

// The files of the run that no net's output may replace (the library, the
// summary), as (device, inode) when they exist. An output replaces a file
// only when it exists already and is that file, so a net's check costs one
// stat per output, and one more for its input when an output exists.
struct Protected {
  struct File {
    dev_t dev;
    ino_t ino;
    std::string path;
    const char *role;
  };
  std::vector<File> files;
  void add(const std::string &path, const char *role) {
    struct stat st;
    if (!path.empty() && !cmdline::is_standard(path) && stat(path.c_str(), &st) == 0)
      files.push_back({st.st_dev, st.st_ino, path, role});
  }
};

// "output OUT would replace the ROLE IN" as bufins says it, or "".
std::string replaced(const std::string &output, const std::string &input, const Protected &run_files) {
  struct stat out;
  if (stat(output.c_str(), &out) != 0) return "";
  Protected mine = run_files;
  mine.add(input, "net file");
  for (const Protected::File &f : mine.files)
    if (f.dev == out.st_dev && f.ino == out.st_ino) return "output " + output + " would replace the " + f.role + " " + f.path;
  return "";
}

// Writes the net's placement file and final net, each whole or not at all.
void write_outputs(const NetItem &item, const RunOptions &o, const Protected &run_files, Outcome &out) {
  const std::string buf = item.out_base + ".buf", finalnet = item.out_base + ".finalnet";
  const std::string input = item.path.empty() ? item.file : item.path;
  std::string why = o.final_nets ? replaced(finalnet, input, run_files) : "";
  if (why.empty()) why = replaced(buf, input, run_files);
  if (!why.empty()) return fail(out, std::string(kProgram) + ": " + why);
  try {
    std::unique_ptr<OutputFile> net_file;
    if (o.final_nets) {
      net_file = std::make_unique<OutputFile>(finalnet);
      std::fwrite(out.final_net.data(), 1, out.final_net.size(), net_file->stream());
    }
    OutputFile placement(buf);
    std::fwrite(out.placement.data(), 1, out.placement.size(), placement.stream());
    commit_outputs({net_file.get(), &placement});
  } catch (const OutputError &e) {
    fail(out, std::string(kProgram) + ": " + e.what());
  }
}

Done process(const NetItem &item, const Solver &solver, const RunOptions &o, const Protected &run_files,
             bufins::Scratch &scratch) {
  Outcome out;
  try {
    if (!item.early_error.empty()) {
      fail(out, item.early_error);
    } else {
      std::string read;
      const std::string *text = &item.text;
      const bool readable = item.path.empty() || slurp(item.path, &read);
      const int read_errno = errno;
      if (readable) {
        if (!item.path.empty()) text = &read;
        if (o.route && !has_edge_lines(*text)) {
          // Routed as bufins-route routes it (its warnings too), into the
          // very net bufins would read from bufins-route's file.
          std::vector<std::string> route_warnings;
          try {
            const Warn warn = [&route_warnings](const std::string &w) { route_warnings.push_back(w); };
            route::Input in = route::read_input(*text, item.file, o.routing.cap_unit, o.routing.time_unit(), warn);
            if (in.kind == route::InputKind::ROUTED_TREE)
              input_error(in.name, 0, "a routed tree carries no sink loads: make it a net with bufins-route --loads=FILE");
            route::warn_implausible(in, o.routing, kProgram, warn);
            bufins::Net net = route::route_net(in, o.routing, std::string(kProgram) + " " + BUFINS_VERSION, item.file).net;
            out = solver.solve(std::move(net), &scratch);
            if (out.status == Outcome::ERROR) out.error_line = 0;  // no line of the input to blame
          } catch (const InputError &e) {
            fail(out, e.what());
          }
          out.warnings.insert(out.warnings.begin(), route_warnings.begin(), route_warnings.end());
        } else {
          out = solver.solve(*text, item.file, &scratch);
        }
      } else {
        fail(out, "Cannot open file: " + item.path + ": " + std::strerror(read_errno));
      }
    }
    if (item.offset > 0 && item.early_error.empty()) {  // an early error names its line already
      out.error = renumber(out.error, item.file, item.offset);
      for (std::string &w : out.warnings) w = renumber(w, item.file, item.offset);
    }
    if (!item.out_base.empty() && (out.status == Outcome::OK || out.status == Outcome::UNMET))
      write_outputs(item, o, run_files, out);
  } catch (const std::bad_alloc &) {
    out = Outcome{};
    fail(out, std::string(kProgram) + ": out of memory");
  }
  Done done;
  done.line = summary_line(item, out);
  done.warnings = std::move(out.warnings);
  done.status = out.status;
  return done;
}

// ---- Signals ----

std::atomic<int> stop_signal{0};
std::mutex wake_mutex;
std::function<void()> wake;  // set while a run is going

const int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

sigset_t stop_set() {
  sigset_t set;
  sigemptyset(&set);
  for (int sig : kStopSignals) sigaddset(&set, sig);
  return set;
}

void die_by(int sig) {
  remove_pending_outputs();
  signal(sig, SIG_DFL);
  sigset_t one;
  sigemptyset(&one);
  sigaddset(&one, sig);
  pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
  raise(sig);
  _exit(128 + sig);
}

void take_signals() {
  const sigset_t set = stop_set();
  for (;;) {
    int sig = 0;
    if (sigwait(&set, &sig) != 0) continue;
    std::lock_guard<std::mutex> hold(wake_mutex);
    int none = 0;
    if (wake && stop_signal.compare_exchange_strong(none, sig))
      wake();
    else
      die_by(sig);
  }
}

// Blocks the stop signals in this thread (and so in every thread made after)
// and starts the thread that takes them, once per process; signals the
// caller ignores (nohup) stay ignored.
void handle_stop_signals() {
  static std::once_flag once;
  std::call_once(once, [] {
    sigset_t set;
    sigemptyset(&set);
    for (int sig : kStopSignals) {
      struct sigaction old;
      if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler != SIG_IGN) sigaddset(&set, sig);
    }
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::thread(take_signals).detach();
  });
}

// ---- Progress bar ----

double now_seconds() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

class ProgressBar {
 public:
  ProgressBar(bool on, long long total) : on_(on), total_(total), start_(now_seconds()) {}
  void draw(unsigned long long done, bool force = false) {
    if (!on_) return;
    const double t = now_seconds();
    if (!force && t - last_ < 0.2) return;
    last_ = t;
    const double elapsed = t - start_;
    const double rate = elapsed > 0 ? static_cast<double>(done) / elapsed : 0.0;
    char text[160];
    if (total_ >= 0) {
      const double share = total_ > 0 ? static_cast<double>(done) / static_cast<double>(total_) : 1.0;
      char bar[25];
      const int full = static_cast<int>(share * 24.0);
      for (int i = 0; i < 24; i++) bar[i] = i < full ? '#' : '.';
      bar[24] = '\0';
      const long long left = rate > 0 ? static_cast<long long>(static_cast<double>(total_ - static_cast<long long>(done)) / rate + 0.5) : -1;
      char eta[32] = "--:--";
      if (left >= 0) std::snprintf(eta, sizeof eta, "%lld:%02lld", left / 60, left % 60);
      std::snprintf(text, sizeof text, "%s: [%s] %llu/%lld nets, %.0f nets/s, %s left", kProgram, bar, done, total_,
                    rate, eta);
    } else {
      std::snprintf(text, sizeof text, "%s: %llu nets, %.0f nets/s", kProgram, done, rate);
    }
    const int length = static_cast<int>(std::strlen(text));
    std::fprintf(stderr, "\r%s%*s", text, shown_ > length ? shown_ - length : 0, "");
    shown_ = std::max(shown_, length);
  }
  void erase() {
    if (!on_ || shown_ == 0) return;
    std::fprintf(stderr, "\r%*s\r", shown_, "");
    shown_ = 0;
    last_ = 0.0;
  }

 private:
  bool on_;
  long long total_;
  double start_, last_ = 0.0;
  int shown_ = 0;
};

}  // namespace

std::string renumber(const std::string &text, const std::string &file, long offset) {
  if (offset == 0 || text.compare(0, file.size() + 1, file + ":") != 0) return text;
  size_t at = file.size() + 1;
  size_t end = at;
  while (end < text.size() && text[end] >= '0' && text[end] <= '9') end++;
  if (end == at || end >= text.size() || text[end] != ':') return text;
  const long line = std::strtol(text.c_str() + at, nullptr, 10);
  return text.substr(0, at) + std::to_string(line + offset) + text.substr(end);
}

std::vector<FedNet> fed_nets(const RunOptions &o, long long *ahead) {
  Feed feed(o);
  if (ahead != nullptr) *ahead = feed.count();
  std::vector<FedNet> nets;
  NetItem item;
  while (feed.next(item))
    nets.push_back({std::move(item.name), std::move(item.path), std::move(item.text), std::move(item.file), item.offset,
                    std::move(item.out_base), std::move(item.early_error)});
  return nets;
}

int run(const RunOptions &o, int *signal_out) {
  *signal_out = 0;
  handle_stop_signals();
  WarningPrinter warnings(o.quiet, kProgram);
  std::vector<std::string> library_warnings;
  const Solver solver(o.library, o.request, &library_warnings);
  for (const std::string &w : library_warnings) warnings.print(w);
  Feed feed(o);
  if (!o.out_dir.empty()) {
    std::error_code ec;
    std::filesystem::create_directories(o.out_dir, ec);
    if (ec) throw OutputError(OutputError::CANNOT_CREATE, o.out_dir, ec.value());
  }
  Protected run_files;
  run_files.add(o.library, "library file");
  run_files.add(o.summary, "summary");
  std::unique_ptr<OutputFile> summary_file;
  FILE *summary = stdout;
  if (!cmdline::is_standard(o.summary)) {
    summary_file = std::make_unique<OutputFile>(o.summary);
    summary = summary_file->stream();
  }
  ProgressBar bar(o.progress && !o.quiet, o.progress && !o.quiet ? feed.count() : -1);

  // The shared state (see the top of the file). The feed and the emitter are
  // woken in batches, not once a net: the feed when half the window is free
  // again, the emitter when a quarter of the window has finished (or at the
  // end). A wake-up a net took a core from a worker twice a net and left a
  // second worker a third short of doubling the rate.
  const size_t window = std::max<size_t>(64, 8 * static_cast<size_t>(o.jobs));
  const size_t batch = window / 4;
  std::mutex m;
  std::condition_variable work_cv, space_cv, done_cv;
  std::deque<NetItem> queue;
  std::vector<std::unique_ptr<Done>> results(window);
  unsigned long long fed = 0, emitted = 0;
  size_t finished_in_window = 0;  // results waiting for the emitter
  bool feed_done = false, stop = false, feed_waits = false, emitter_waits = false;
  auto has_next = [&] { return results[emitted % window] != nullptr; };
  auto all_out = [&] { return (feed_done || stop) && emitted == fed; };
  auto emit_now = [&] {
    return all_out() || (has_next() && (feed_done || stop || finished_in_window >= batch));
  };
  // Under m: no net is handed out any more; those not taken are dropped.
  auto stop_locked = [&]() {
    stop = true;
    fed -= queue.size();
    queue.clear();
    work_cv.notify_all();
    space_cv.notify_all();
    done_cv.notify_all();
  };
  {
    std::lock_guard<std::mutex> hold(wake_mutex);
    wake = [&]() {
      std::lock_guard<std::mutex> hold_m(m);
      stop_locked();
    };
  }

  std::vector<std::thread> workers;
  for (int i = 0; i < o.jobs; i++)
    workers.emplace_back([&]() {
      bufins::Scratch scratch;  // this worker's engine storage, reused net after net
      for (;;) {
        NetItem item;
        {
          std::unique_lock<std::mutex> lock(m);
          work_cv.wait(lock, [&] { return stop || !queue.empty() || feed_done; });
          if (queue.empty()) return;
          item = std::move(queue.front());
          queue.pop_front();
        }
        auto done = std::make_unique<Done>(process(item, solver, o, run_files, scratch));
        std::lock_guard<std::mutex> lock(m);
        results[item.seq % window] = std::move(done);
        finished_in_window++;
        if (emitter_waits && emit_now()) done_cv.notify_one();
      }
    });

  // The emitter: lines in input order.
  long errors = 0, unmet = 0;
  bool write_failed = false;
  std::thread emitter([&]() {
    std::vector<std::unique_ptr<Done>> ready;
    for (;;) {
      bool finished;
      {
        std::unique_lock<std::mutex> lock(m);
        if (!emit_now()) {
          lock.unlock();
          std::fflush(summary);  // whatever is written is readable while the run waits
          bar.draw(emitted);
          lock.lock();
          // At most 200 ms: a line waiting for its batch (a slow feed on a
          // pipe) still comes out, and the progress bar moves.
          emitter_waits = true;
          done_cv.wait_for(lock, std::chrono::milliseconds(200), emit_now);
          emitter_waits = false;
        }
        while (has_next()) {
          ready.push_back(std::move(results[emitted % window]));
          emitted++;
          finished_in_window--;
        }
        if (feed_waits && fed - emitted <= window / 2) space_cv.notify_one();
        finished = all_out();
      }
      for (const auto &d : ready) {
        if (!d->warnings.empty()) {
          bar.erase();
          for (const std::string &w : d->warnings) warnings.print(w);
        }
        errors += d->status == Outcome::ERROR;
        unmet += d->status == Outcome::UNMET || d->status == Outcome::INFEASIBLE;
        if (!write_failed && std::fputs(d->line.c_str(), summary) == EOF) {
          write_failed = true;
          std::lock_guard<std::mutex> lock(m);
          stop_locked();
        }
      }
      ready.clear();
      bar.draw(emitted);
      if (finished) return;
    }
  });

  // The feed, on this thread.
  NetItem item;
  while (feed.next(item)) {
    std::unique_lock<std::mutex> lock(m);
    if (fed - emitted >= window) {
      feed_waits = true;
      space_cv.wait(lock, [&] { return stop || fed - emitted <= window / 2; });
      feed_waits = false;
    }
    if (stop) break;
    item.seq = fed++;
    queue.push_back(std::move(item));
    work_cv.notify_one();
  }
  {
    std::lock_guard<std::mutex> lock(m);
    feed_done = true;
    work_cv.notify_all();
    done_cv.notify_all();
  }
  for (std::thread &t : workers) t.join();
  emitter.join();
  {
    std::lock_guard<std::mutex> hold(wake_mutex);
    wake = nullptr;
  }
  bar.erase();
  warnings.finish();

  // The summary: standard output flushed, or the file put in place (also
  // after a stop: it holds the lines of the nets that finished).
  const std::string summary_name = cmdline::is_standard(o.summary) ? "the summary to standard output" : o.summary;
  if (summary_file) {
    try {
      if (!write_failed) summary_file->commit();
    } catch (const OutputError &) {
      write_failed = true;
    }
  } else if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    write_failed = true;
  }
  if (write_failed) {
    std::fprintf(stderr, "%s: cannot write %s\n", kProgram, summary_name.c_str());
    summary_file.reset();
  }
  *signal_out = stop_signal.load();
  if (write_failed || errors > 0) return 1;
  return unmet > 0 ? 2 : 0;
}

}  // namespace batch
