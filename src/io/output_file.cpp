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
#include "output_file.h"

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <system_error>

namespace {

constexpr int kHandledSignals[] = {SIGHUP, SIGINT, SIGQUIT, SIGABRT, SIGPIPE, SIGTERM, SIGXCPU, SIGXFSZ};
// A run of bufins has at most four outputs; bufins-batch has two per worker
// thread and its summary pending at once. Untouched slots cost no memory.
constexpr int kPendingSlots = 1024;
enum SlotState { SLOT_FREE = 0, SLOT_CLAIMED = 1, SLOT_USED = 2 };

struct PendingTemporaries {
  struct Slot {
    std::atomic<int> state;
    char path[PATH_MAX];
  } slots[kPendingSlots];
  std::once_flag handlers_installed;
};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler reads the slots' states");
PendingTemporaries pending;

void unlink_pending() {
  for (auto &slot : pending.slots)
    if (slot.state.load(std::memory_order_acquire) == SLOT_USED) unlink(slot.path);
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
    auto &slot = pending.slots[i];
    int expected = SLOT_FREE;
    if (!slot.state.compare_exchange_strong(expected, SLOT_CLAIMED, std::memory_order_acquire)) continue;
    std::memcpy(slot.path, path.c_str(), path.size() + 1);
    slot.state.store(SLOT_USED, std::memory_order_release);
    return i;
  }
  return -1;
}

void release_slot(int i) {
  if (i >= 0) pending.slots[i].state.store(SLOT_FREE, std::memory_order_release);
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

}  // namespace

void remove_pending_outputs() noexcept { unlink_pending(); }

OutputError::OutputError(Kind k, std::string n, int e)
    : std::runtime_error("cannot write " + n + (e != 0 ? std::string(": ") + std::strerror(e) : std::string())),
      kind(k),
      name(std::move(n)),
      error(e) {}

OutputFile::OutputFile(std::string name) : name_(std::move(name)), target_(name_) {
  if (name_ == "-") {
    stream_ = stdout;
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
      // Only a privileged process may give a file away; others keep their own.
      [[maybe_unused]] const int given = fchown(fd, st.st_uid, st.st_gid);
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
  if (f != stdout && std::fclose(f) != 0) {
    failed = true;
    if (error == 0) error = errno;
  }
  if (failed) throw OutputError(OutputError::CANNOT_WRITE, name_, error);
}

void OutputFile::commit() {
  close();
  if (temp_.empty()) return;
  if (std::rename(temp_.c_str(), target_.c_str()) != 0) {
    const int e = errno;
    discard();
    throw OutputError(OutputError::CANNOT_WRITE, name_, e);
  }
  release_slot(slot_);
  slot_ = -1;
  temp_.clear();
}

void OutputFile::discard() noexcept {
  if (stream_ != nullptr && stream_ != stdout) std::fclose(stream_);
  stream_ = nullptr;
  closed_ = true;
  if (!temp_.empty()) unlink(temp_.c_str());
  release_slot(slot_);
  slot_ = -1;
  temp_.clear();
}

void commit_outputs(const std::vector<OutputFile *> &outputs) {
  for (OutputFile *f : outputs)
    if (f != nullptr) f->close();
  for (OutputFile *f : outputs)
    if (f != nullptr) f->commit();
}

std::string replaced_file(const std::vector<RunFile> &inputs, const std::vector<RunFile> &outputs) {
  namespace fs = std::filesystem;
  auto skipped = [](const RunFile &f) { return f.path.empty() || f.path == "-"; };
  auto same = [](const std::string &a, const std::string &b) {
    std::error_code ea, eb;
    const fs::path ca = fs::weakly_canonical(a, ea), cb = fs::weakly_canonical(b, eb);
    if (!ea && !eb ? ca == cb : fs::path(a).lexically_normal() == fs::path(b).lexically_normal()) return true;
    struct stat sa, sb;
    return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
  };
  for (size_t i = 0; i < outputs.size(); i++) {
    const RunFile &out = outputs[i];
    if (skipped(out)) continue;
    std::vector<RunFile> earlier(inputs);
    earlier.insert(earlier.end(), outputs.begin(), outputs.begin() + static_cast<long>(i));
    for (const RunFile &f : earlier)
      if (!skipped(f) && same(out.path, f.path))
        return "output " + out.path + " would replace the " + f.role + " " + f.path;
  }
  return "";
}
