// Output files written whole or not at all.
//
// Why: a run used to open its outputs with fopen(name, "w"), which truncates
// the previous run's file at once; when the run then failed (a full disk, a
// closed standard output, a late error, Ctrl-C) the good files of the earlier
// run were gone with it. Now each output is written to a temporary next to
// its name and rename(2) puts it in place at the end of the run. rename
// within one folder is atomic: a reader of NAME sees the old file or the
// whole new one, never a part.
//
// Cleaning up on every way a run can end:
//   - an exception (input error, output error) unwinds to main: the owners'
//     destructors remove their temporaries;
//   - exit() from below main skips those destructors: an atexit handler
//     removes whatever is still pending;
//   - a terminating signal (SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE,
//     SIGABRT, SIGXCPU, SIGXFSZ): a handler removes the pending temporaries
//     with unlink(2) only, then re-raises the signal with its default action,
//     so the parent still sees the process killed by that signal.
// Both handlers need the temporaries' names without taking locks or
// allocating, so pending temporaries are kept in a fixed registry of path
// buffers, each marked by a lock-free atomic state: a slot is claimed by one
// compare-and-swap (so threads writing outputs at once never share one) and
// marked complete only once its path is written; the handlers read complete
// slots only. The registry is this module's only global state (and
// the only global of the program beyond the engines' tables): it mirrors
// process-wide facts, the files on disk and the signal dispositions.
//
// The window between creating a temporary and entering it in the registry is
// closed by blocking the handled signals around the two steps. A signal that
// arrives between a rename and the slot's release makes the handler unlink a
// name that no longer exists, which is harmless.
//
// Handlers are installed when the first temporary is created, and only for
// signals whose disposition is still the default: a signal the caller
// ignores (nohup) stays ignored.
//
// Putting a set in place: rename(2) can still fail after the whole run has
// succeeded (a file of another user in a sticky folder, an immutable file, a
// folder where the name was), and a set half renamed is a set whose files
// disagree. So every rename is checked first (can_replace) and the renames
// are made with the signals held, under an exclusive flock(2) on each folder
// involved, taken in device and inode order so two runs cannot deadlock.
// The lock is advisory: it orders runs of these programs, not other writers.
// Locking the folder, not a lock file, leaves nothing behind in it.
//
// The standard streams: "-", the aliases of a descriptor (/dev/stdout,
// /dev/fd/1, /proc/self/fd/1) and a file or pipe that is the same as a
// stream by device and inode all stand for that stream. Opening the alias
// anew would start a second file position (a file named by `>` is then
// overwritten from its start, one named by `>>` loses its earlier content
// to the rename), so such an output borrows the stream itself. A program
// whose standard output carries an output sends its report lines to
// standard error (send_report_lines_to_stderr) by making descriptor 1 a copy
// of 2 after keeping the original in a descriptor of its own; that kept
// stream is this module's second piece of global state, a process-wide fact
// like the descriptors themselves.
#include "output_file.h"

#include <fcntl.h>
#include <limits.h>
#include <linux/fs.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <filesystem>
#include <mutex>
#include <system_error>
#include <utility>

namespace {

constexpr int kHandledSignals[] = {SIGHUP, SIGINT, SIGQUIT, SIGABRT, SIGPIPE, SIGTERM, SIGXCPU, SIGXFSZ};
// A run of bufins has at most four outputs; bufins-batch has two per worker
// thread and its summary pending at once. Untouched slots cost no memory and
// are never read: the states lie together, and the scans stop at the highest
// slot ever taken, so a run of one output touches two pages, not a page a
// slot (a scan of all the paths' pages cost a short run 1,000 page faults).
constexpr int kPendingSlots = 1024;
enum SlotState { SLOT_FREE = 0, SLOT_CLAIMED = 1, SLOT_USED = 2 };

struct PendingTemporaries {
  std::atomic<int> state[kPendingSlots];
  std::atomic<int> top;  // slots below it have been taken at some time
  char path[kPendingSlots][PATH_MAX];
  std::once_flag handlers_installed;
};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler reads the slots' states");
PendingTemporaries pending;

void unlink_pending() {
  const int top = pending.top.load(std::memory_order_acquire);
  for (int i = 0; i < top; i++)
    if (pending.state[i].load(std::memory_order_acquire) == SLOT_USED) unlink(pending.path[i]);
}

extern "C" void remove_pending_at_exit() { unlink_pending(); }

extern "C" void remove_pending_on_signal(int sig) {
  const int saved = errno;
  unlink_pending();
  signal(sig, SIG_DFL);
  raise(sig);  // delivered with the default action once the handler returns
  errno = saved;
}

void install_handlers_once() {
  std::atexit(remove_pending_at_exit);
  for (int sig : kHandledSignals) {
    struct sigaction old;
    if (sigaction(sig, nullptr, &old) != 0 || old.sa_handler != SIG_DFL) continue;
    struct sigaction act;
    std::memset(&act, 0, sizeof act);
    act.sa_handler = remove_pending_on_signal;
    sigfillset(&act.sa_mask);  // one handler run at a time
    sigaction(sig, &act, nullptr);
  }
}

void install_handlers() { std::call_once(pending.handlers_installed, install_handlers_once); }

// Blocks the handled signals for its lifetime.
class SignalsHeld {
 public:
  SignalsHeld() {
    sigset_t set;
    sigemptyset(&set);
    for (int sig : kHandledSignals) sigaddset(&set, sig);
    sigprocmask(SIG_BLOCK, &set, &old_);
  }
  ~SignalsHeld() { sigprocmask(SIG_SETMASK, &old_, nullptr); }

 private:
  sigset_t old_;
};

int take_slot(const std::string &path) {
  for (int i = 0; i < kPendingSlots; i++) {
    int expected = SLOT_FREE;
    if (!pending.state[i].compare_exchange_strong(expected, SLOT_CLAIMED, std::memory_order_acquire)) continue;
    std::memcpy(pending.path[i], path.c_str(), path.size() + 1);
    int top = pending.top.load(std::memory_order_relaxed);
    while (top <= i && !pending.top.compare_exchange_weak(top, i + 1, std::memory_order_release)) {
    }
    pending.state[i].store(SLOT_USED, std::memory_order_release);
    return i;
  }
  return -1;
}

void release_slot(int i) {
  if (i >= 0) pending.state[i].store(SLOT_FREE, std::memory_order_release);
}

// Six characters for a temporary's name: mkstemp's alphabet, from the clock,
// the process id and the attempt (O_EXCL settles any clash).
std::string random_suffix(int attempt) {
  static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  timespec t;
  clock_gettime(CLOCK_REALTIME, &t);
  unsigned long long state = (static_cast<unsigned long long>(t.tv_nsec) << 20) ^
                             static_cast<unsigned long long>(t.tv_sec) ^
                             (static_cast<unsigned long long>(getpid()) << 40) ^
                             (static_cast<unsigned long long>(attempt) + 1) * 0x9E3779B97F4A7C15ull;
  std::string s(6, 'X');
  for (char &c : s) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    c = alphabet[state % (sizeof alphabet - 1)];
  }
  return s;
}

// Standard output as it was before send_report_lines_to_stderr, for the
// outputs that stand for it; null while descriptor 1 is still the original.
FILE *kept_stdout = nullptr;

FILE *standard_output() { return kept_stdout != nullptr ? kept_stdout : stdout; }

// What a name or descriptor is, for telling two files apart.
struct Identity {
  bool known = false;
  dev_t dev = 0;
  ino_t ino = 0;
  mode_t mode = 0;
};

Identity identity(const struct stat &st) { return {true, st.st_dev, st.st_ino, st.st_mode}; }

Identity identity_of_fd(int fd) {
  if (fd == 1 && kept_stdout != nullptr) fd = fileno(kept_stdout);
  struct stat st;
  return fstat(fd, &st) == 0 ? identity(st) : Identity();
}

Identity identity_of_path(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? identity(st) : Identity();
}

bool same_identity(const Identity &a, const Identity &b) {
  return a.known && b.known && a.dev == b.dev && a.ino == b.ino;
}

// The descriptor an alias names (/dev/stdin, /dev/stdout, /dev/stderr,
// /dev/fd/N, /proc/self/fd/N, /proc/thread-self/fd/N, /proc/PID/fd/N of this
// process); -1 for any other name.
int alias_descriptor(const std::string &name) {
  const std::string n = std::filesystem::path(name).lexically_normal().string();
  if (n == "/dev/stdin") return 0;
  if (n == "/dev/stdout") return 1;
  if (n == "/dev/stderr") return 2;
  if (n.compare(0, 8, "/dev/fd/") != 0 && n.compare(0, 6, "/proc/") != 0) return -1;
  const std::string prefixes[] = {"/dev/fd/", "/proc/self/fd/", "/proc/thread-self/fd/",
                                  "/proc/" + std::to_string(getpid()) + "/fd/"};
  for (const std::string &p : prefixes) {
    if (n.compare(0, p.size(), p) != 0 || n.size() == p.size() || n.size() - p.size() > 9) continue;
    const std::string digits = n.substr(p.size());
    if (digits.find_first_not_of("0123456789") != std::string::npos) continue;
    return std::atoi(digits.c_str());
  }
  return -1;
}

// The stream an output or input name stands for (see standard_stream_of),
// with `dash` the stream "-" means. *path_id, when given, receives the
// identity of the named file when the name is not a stream's alias.
int stream_of(const std::string &name, int dash, Identity *path_id = nullptr) {
  if (name == "-") return dash;
  const int fd = alias_descriptor(name);
  if (fd >= 0 && fd <= 2) return fd;
  const Identity id = identity_of_path(name);
  if (path_id != nullptr) *path_id = id;
  if (!id.known || S_ISCHR(id.mode)) return -1;
  for (int stream : {1, 2, 0})
    if (same_identity(id, identity_of_fd(stream))) return stream;
  return -1;
}

// Why rename(2) could not put a new file over `target`, as an errno value;
// 0 when it can (or when nothing is there to replace). The folder is known
// to take new files: the temporary was made in it.
int can_replace(const std::string &target) {
  struct stat st;
  if (lstat(target.c_str(), &st) != 0) return errno == ENOENT ? 0 : errno;
  if (S_ISDIR(st.st_mode)) return EISDIR;
  const size_t slash = target.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : target.substr(0, slash);
  struct stat fst;
  if (stat(folder.c_str(), &fst) != 0) return errno;
  const uid_t me = geteuid();
  // A sticky folder lets only the file's owner, the folder's owner or a
  // privileged process remove (or replace) a name in it.
  if ((fst.st_mode & S_ISVTX) && st.st_uid != me && fst.st_uid != me && me != 0) return EPERM;
  // An immutable or append-only file or folder refuses the rename too.
  for (const std::string &path : {target, folder}) {
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) continue;
    int flags = 0;
    const bool got = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    ::close(fd);
    if (got && (flags & (FS_IMMUTABLE_FL | FS_APPEND_FL))) return EPERM;
  }
  return 0;
}

// Exclusive flock(2) on each of a set of folders for its lifetime.
class FolderLocks {
 public:
  explicit FolderLocks(const std::vector<std::string> &folders) {
    std::vector<std::pair<std::pair<dev_t, ino_t>, int>> open_folders;
    for (const std::string &f : folders) {
      const int fd = open(f.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      if (fd < 0) continue;  // a folder we may not read: no lock (the lock is advisory)
      struct stat st;
      if (fstat(fd, &st) != 0) {
        ::close(fd);
        continue;
      }
      open_folders.push_back({{st.st_dev, st.st_ino}, fd});
    }
    std::sort(open_folders.begin(), open_folders.end());
    for (size_t i = 0; i < open_folders.size(); i++) {
      if (i > 0 && open_folders[i].first == open_folders[i - 1].first) {
        ::close(open_folders[i].second);
        continue;
      }
      while (flock(open_folders[i].second, LOCK_EX) != 0 && errno == EINTR) {
      }
      fds_.push_back(open_folders[i].second);
    }
  }
  ~FolderLocks() {
    for (int fd : fds_) ::close(fd);  // closing the last descriptor releases the lock
  }
  FolderLocks(const FolderLocks &) = delete;
  FolderLocks &operator=(const FolderLocks &) = delete;

 private:
  std::vector<int> fds_;
};

std::string folder_of(const std::string &path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

void remove_pending_outputs() noexcept { unlink_pending(); }

OutputError::OutputError(Kind k, std::string n, int e)
    : std::runtime_error("cannot write " + n + (e != 0 ? std::string(": ") + std::strerror(e) : std::string())),
      kind(k),
      name(std::move(n)),
      error(e) {}

OutputFile::OutputFile(std::string name) : name_(std::move(name)), target_(name_) {
  const int standard = stream_of(name_, 1);
  if (standard == 1 || standard == 2) {
    stream_ = standard == 1 ? standard_output() : stderr;
    borrowed_ = true;
    return;
  }
  struct stat st;
  const bool exists = stat(name_.c_str(), &st) == 0;
  struct stat lst;
  const bool is_link = lstat(name_.c_str(), &lst) == 0 && S_ISLNK(lst.st_mode);
  if ((exists && !S_ISREG(st.st_mode)) || (is_link && !exists)) {
    // A device, a pipe, a directory (which fails here as it always did) or a
    // link to nothing yet: written in place.
    stream_ = std::fopen(name_.c_str(), "w");
    if (stream_ == nullptr) throw OutputError(OutputError::CANNOT_CREATE, name_, errno);
    return;
  }
  if (exists && access(name_.c_str(), W_OK) != 0) throw OutputError(OutputError::CANNOT_CREATE, name_, errno);
  if (is_link) {
    if (char *real = realpath(name_.c_str(), nullptr)) {
      target_ = real;
      std::free(real);
    }
  }
  const size_t slash = target_.rfind('/');
  const std::string folder = slash == std::string::npos ? "" : target_.substr(0, slash + 1);
  std::string base = target_.substr(folder.size());
  if (base.empty()) throw OutputError(OutputError::CANNOT_CREATE, name_, EISDIR);
  // Whatever the rename would refuse is refused now, before the run's work.
  if (base.size() > NAME_MAX || target_.size() >= PATH_MAX)
    throw OutputError(OutputError::CANNOT_CREATE, name_, ENAMETOOLONG);
  if (const int e = can_replace(target_)) throw OutputError(OutputError::CANNOT_CREATE, name_, e);
  if (base.size() > NAME_MAX - 8) base.resize(NAME_MAX - 8);  // room for ".", "." and six characters

  install_handlers();
  int fd = -1;
  for (int attempt = 0; attempt < 100 && fd < 0; attempt++) {
    std::string temp = folder + "." + base + "." + random_suffix(attempt);
    if (temp.size() >= PATH_MAX) throw OutputError(OutputError::CANNOT_CREATE, name_, ENAMETOOLONG);
    SignalsHeld held;
    fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);  // the umask applies, as for fopen
    if (fd < 0) {
      if (errno == EEXIST) continue;
      throw OutputError(OutputError::CANNOT_CREATE, name_, errno);
    }
    slot_ = take_slot(temp);
    if (slot_ < 0) {  // more outputs pending than any program here has
      unlink(temp.c_str());
      ::close(fd);
      throw OutputError(OutputError::CANNOT_CREATE, name_, EMFILE);
    }
    temp_ = temp;
  }
  if (fd < 0) throw OutputError(OutputError::CANNOT_CREATE, name_, EEXIST);
  if (exists) {
    // As fopen(name, "w") would leave it: the replaced file's permissions
    // and, where the process may set them, its owner and group.
    if (st.st_uid != geteuid() || st.st_gid != getegid()) {
      // Only a privileged process may give a file away; others keep their
      // own, and the file's group when they belong to it.
      if (fchown(fd, st.st_uid, st.st_gid) != 0) {
        [[maybe_unused]] const int kept = fchown(fd, static_cast<uid_t>(-1), st.st_gid);
      }
    }
    fchmod(fd, st.st_mode & 0777);
  }
  stream_ = fdopen(fd, "w");
  if (stream_ == nullptr) {
    const int e = errno;
    ::close(fd);
    discard();
    throw OutputError(OutputError::CANNOT_CREATE, name_, e);
  }
}

OutputFile::~OutputFile() { discard(); }

void OutputFile::close() {
  if (closed_) return;
  closed_ = true;
  FILE *f = stream_;
  stream_ = nullptr;
  if (f == nullptr) return;
  int error = 0;
  bool failed = std::ferror(f) != 0;
  if (std::fflush(f) != 0) {
    failed = true;
    error = errno;
  }
  if (!borrowed_ && std::fclose(f) != 0) {
    failed = true;
    if (error == 0) error = errno;
  }
  if (failed) throw OutputError(OutputError::CANNOT_WRITE, name_, error);
}

void OutputFile::commit() { commit_outputs({this}); }

void OutputFile::discard() noexcept {
  if (stream_ != nullptr && !borrowed_) std::fclose(stream_);
  stream_ = nullptr;
  closed_ = true;
  if (!temp_.empty()) unlink(temp_.c_str());
  release_slot(slot_);
  slot_ = -1;
  temp_.clear();
}

void commit_outputs(const std::vector<OutputFile *> &outputs) {
  std::vector<OutputFile *> renamed;
  std::vector<std::string> folders;
  for (OutputFile *f : outputs) {
    if (f == nullptr) continue;
    f->close();
    if (f->temp_.empty()) continue;
    renamed.push_back(f);
    folders.push_back(folder_of(f->target_));
  }
  if (renamed.empty()) return;
  FolderLocks locks(folders);
  for (OutputFile *f : renamed)
    if (const int e = can_replace(f->target_)) throw OutputError(OutputError::CANNOT_WRITE, f->name_, e);
  SignalsHeld held;
  for (size_t i = 0; i < renamed.size(); i++) {
    OutputFile *f = renamed[i];
    if (std::rename(f->temp_.c_str(), f->target_.c_str()) != 0) {
      // Checked above, so only a change made to the folder since (by
      // another process that does not take the lock) gets here.
      const int e = errno;
      throw OutputError(OutputError::CANNOT_WRITE, f->name_, e);
    }
    release_slot(f->slot_);
    f->slot_ = -1;
    f->temp_.clear();
  }
}

int standard_stream_of(const std::string &name) { return stream_of(name, 1); }

bool send_report_lines_to_stderr(const std::vector<std::string> &outputs) {
  if (kept_stdout != nullptr) return true;
  bool carries = false;
  for (const std::string &o : outputs) carries |= !o.empty() && stream_of(o, 1) == 1;
  if (!carries) return false;
  std::fflush(stdout);
  const int kept = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
  if (kept < 0) return false;
  FILE *f = fdopen(kept, "w");
  if (f == nullptr || dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
    if (f != nullptr) std::fclose(f);
    else ::close(kept);
    return false;
  }
  kept_stdout = f;
  return true;
}

std::string replaced_file(const std::vector<RunFile> &inputs, const std::vector<RunFile> &outputs) {
  namespace fs = std::filesystem;
  struct Resolved {
    const RunFile *file;
    bool output;
    int stream;  // the standard stream it stands for, or -1
    Identity id;
  };
  auto resolve = [](const RunFile &f, bool output) {
    Identity path_id;
    Resolved r{&f, output, stream_of(f.path, output ? 1 : 0, &path_id), Identity()};
    r.id = r.stream >= 0 ? identity_of_fd(r.stream) : path_id;
    return r;
  };
  auto same = [](const Resolved &a, const Resolved &b) {
    if (a.stream >= 0 && a.stream == b.stream) return true;
    // A character device loses nothing to a second writer.
    if ((a.id.known && S_ISCHR(a.id.mode)) || (b.id.known && S_ISCHR(b.id.mode))) return false;
    if (same_identity(a.id, b.id)) return true;
    if (a.stream >= 0 || b.stream >= 0) return false;
    // Two files that both exist are one exactly when their identities are;
    // names are compared only when one is still to be made.
    if (a.id.known && b.id.known) return false;
    const std::string &x = a.file->path, &y = b.file->path;
    std::error_code ex, ey;
    const fs::path cx = fs::weakly_canonical(x, ex), cy = fs::weakly_canonical(y, ey);
    return !ex && !ey ? cx == cy : fs::path(x).lexically_normal() == fs::path(y).lexically_normal();
  };
  auto shown = [](const Resolved &r) {
    const std::string role = r.file->role;
    if (r.file->path != "-") return "the " + role + " " + r.file->path;
    return "the " + role + " (standard " + (r.output ? "output" : "input") + ")";
  };
  static const RunFile standard_input{"-", "standard input"};
  std::vector<Resolved> earlier;
  bool stdin_named = false;
  for (const RunFile &f : inputs) {
    if (f.path.empty()) continue;
    earlier.push_back(resolve(f, f.output));
    stdin_named |= earlier.back().stream == 0;
  }
  if (!stdin_named) earlier.push_back(resolve(standard_input, false));
  for (const RunFile &out : outputs) {
    if (out.path.empty()) continue;
    const Resolved o = resolve(out, true);
    for (const Resolved &f : earlier) {
      if (!same(o, f)) continue;
      const std::string name = out.path == "-" ? "- (standard output)" : out.path;
      if (f.file == &standard_input) return "output " + name + " would replace standard input";
      if (f.output && o.stream >= 1)
        return "output " + name + " and " + shown(f) + " would both go to standard " +
               (o.stream == 1 ? "output" : "error");
      return "output " + name + " would replace " + shown(f);
    }
    earlier.push_back(o);
  }
  return "";
}
