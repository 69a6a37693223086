// The end of every program's main: runs the program's work and turns the
// errors that reach main into a message and an exit status, worded the same
// way in every program. Library code throws; only this prints.
#pragma once

#include <cstdio>
#include <new>

#include "io.h"
#include "output_file.h"

namespace cmdline {

// Runs `work` (which returns the exit status). An input error is printed as
// the readers word it (report_input_error, its own status); an output error
// by `on_output` when one is given, else as "PROGRAM: what"; memory running
// out as "PROGRAM: out of memory". Those two give status 1. Standard output
// is flushed before any message, so the message follows what was printed.
template <typename Work>
int run_reporting(const char *program, Work &&work, void (*on_output)(const OutputError &) = nullptr) {
  try {
    return work();
  } catch (const InputError &e) {
    return report_input_error(e);
  } catch (const OutputError &e) {
    std::fflush(stdout);
    if (on_output != nullptr)
      on_output(e);
    else
      std::fprintf(stderr, "%s: %s\n", program, e.what());
    return 1;
  } catch (const std::bad_alloc &) {
    std::fflush(stdout);
    std::fprintf(stderr, "%s: out of memory\n", program);
    return 1;
  }
}

}  // namespace cmdline
