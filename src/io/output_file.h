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
// What is atomic: each file (a reader sees the old one or the whole new
// one), and the set of a run's files against failure (every rename is
// checked before the first one is made, and the renames run with the
// terminating signals held) and against other runs (the renames run under an
// advisory lock on the outputs' folders, so runs naming the same outputs put
// their sets in place one after the other). SIGKILL or a crash during the
// renames can leave a mixed set; SIGKILL before them leaves a temporary.
//
// The standard streams: an output that stands for standard output or
// standard error ("-", /dev/stdout, /dev/fd/2, /proc/self/fd/1, or the same
// file or pipe the stream is) is written to that stream in place, in order
// with what the program prints there; one that stands for standard input is
// refused (replaced_file).
//
// Ownership: an OutputFile owns its stream and its temporary; destroying one
// that was not committed removes the temporary. A stream it borrows (a
// standard one) is flushed, never closed. Threads may create, write and
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
// files (a device such as /dev/null, a pipe) and the standard streams (see
// above) are written in place: there is nothing to replace atomically. A
// name the rename could not replace (a folder, a file of another user in a
// sticky folder, an immutable file, a name too long) is refused here, before
// the run's work.
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
  bool borrowed_ = false;  // a standard stream: flushed, never closed

  friend void commit_outputs(const std::vector<OutputFile *> &outputs);
};

// Commits a run's outputs together: every one is closed first (the first
// failure throws and all of them are discarded by their owners); then, under
// an exclusive flock(2) on each folder the renames touch, every rename is
// checked (the first that could not succeed throws, nothing renamed), and
// each temporary is renamed over its name in the order given with the
// terminating signals held. nullptr entries are skipped.
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
  bool output = false;  // among the inputs of replaced_file: an earlier output ("-" is standard output)
};

// Before anything is read or written: the first output that would replace
// one of the inputs or an earlier output of the same run, as "output OUT
// would replace the ROLE IN"; "" when none would. Two files are the same
// when their paths are, when they exist and have the same device and inode
// (links followed), or when they stand for the same standard stream; "-" is
// standard input among the inputs and standard output among the outputs, and
// the aliases /dev/stdin, /dev/fd/N, /proc/self/fd/N count as the descriptor
// they name. Standard input is always among the inputs (nothing may be
// written over it). Character devices (/dev/null, a terminal) are never the
// same as anything but the same standard stream. Empty paths are skipped.
std::string replaced_file(const std::vector<RunFile> &inputs, const std::vector<RunFile> &outputs);

// The standard stream (1 or 2; 0 for standard input) that the output `name`
// stands for, or -1: "-" is 1, an alias names its descriptor, and a file or
// pipe that is the same as one of the streams by device and inode is that
// stream.
int standard_stream_of(const std::string &name);

// For a program whose report lines go to standard output: when one of
// `outputs` stands for standard output, the report lines are sent to
// standard error from here on (descriptor 1 becomes a copy of 2) and those
// outputs are written to the original standard output, so that it carries
// the output alone and parses. Returns true when it did so. Call before
// anything is printed and before the outputs are created.
bool send_report_lines_to_stderr(const std::vector<std::string> &outputs);
