// Output files written whole or not at all, and the check that no output
// replaces an input of the same run.
//
// A run's outputs (final net, placement file, JSON report, picture) are
// written to temporaries in the folders of their names and renamed over
// those names only when the whole run has succeeded (commit_outputs at the
// end). A run that fails in any way, an exception, exit() or a terminating
// signal, leaves the folders as it found them: earlier files of the same
// names intact, no temporary behind. See output_file.cpp for how.
//
// Ownership: an OutputFile owns its stream and its temporary; destroying one
// that was not committed removes the temporary. Threads may create, write and
// commit different OutputFiles at the same time.
#pragma once

#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

// An output that could not be created, written or put in place. what() is
// "cannot write NAME: REASON"; each program's main chooses how to print it.
struct OutputError : std::runtime_error {
  enum Kind { CANNOT_CREATE, CANNOT_WRITE };
  Kind kind;
  std::string name;  // the output's own name, never the temporary's
  int error;         // errno value, 0 when there is none
  OutputError(Kind kind, std::string name, int error);
};

// One output file on its way to its name.
//
// The temporary is ".BASENAME.XXXXXX" in the folder of the name (of the file
// a symbolic link names points to, so the link stays a link), with the
// permissions fopen(name, "w") would leave: those of the file it replaces, or
// 0666 less the umask for a new one. An existing file the process may not
// write is refused as fopen would refuse it. Names that are not regular
// files (a device such as /dev/null, a pipe) and "-" (standard output) are
// written in place: there is nothing to replace atomically.
class OutputFile {
 public:
  // Creates the temporary; throws OutputError(CANNOT_CREATE).
  explicit OutputFile(std::string name);
  ~OutputFile();  // discard() unless committed
  OutputFile(const OutputFile &) = delete;
  OutputFile &operator=(const OutputFile &) = delete;

  FILE *stream() const { return stream_; }
  const std::string &name() const { return name_; }
  // Where the bytes written so far are until commit (to read them back).
  const std::string &path() const { return temp_.empty() ? name_ : temp_; }

  // Flushes and closes the stream; throws OutputError(CANNOT_WRITE) when any
  // write failed. Does nothing once closed.
  void close();
  // close(), then renames the temporary over the name.
  void commit();
  // Closes and removes the temporary; never throws.
  void discard() noexcept;

 private:
  std::string name_;    // as given
  std::string target_;  // the file the rename replaces (name_ with links followed)
  std::string temp_;    // empty when written in place
  FILE *stream_ = nullptr;
  int slot_ = -1;       // entry in the registry of pending temporaries
  bool closed_ = false;
};

// Commits a run's outputs together: every one is closed first (the first
// failure throws and all of them are discarded by their owners), then each
// is renamed over its name in the order given. nullptr entries are skipped.
void commit_outputs(const std::vector<OutputFile *> &outputs);

// Removes every pending temporary with unlink(2) alone: safe in a signal
// handler, for a program that handles a terminating signal itself (the
// handlers here are installed only for signals left at their default).
void remove_pending_outputs() noexcept;

// A file a run reads or writes, with what it is to the run ("net file",
// "library file", "placement file", ...), used in messages.
struct RunFile {
  std::string path;
  const char *role;
};

// Before anything is read or written: the first output that would replace
// one of the inputs or an earlier output of the same run (the same path, or
// for files that exist the same device and inode), as "output OUT would
// replace the ROLE IN"; "" when none would. Empty paths and "-" (a standard
// stream) are never compared.
std::string replaced_file(const std::vector<RunFile> &inputs, const std::vector<RunFile> &outputs);
