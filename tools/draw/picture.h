// Shared by the drawing tools (bufins-draw, bufins-plot): the picture options
// of their command lines, the cairo surface a picture is drawn on, and the
// writing of the picture file.
//
// The central idea: a picture is drawn onto a stream, never onto a file name,
// so that the file is an OutputFile (output_file.h), a temporary put in place
// only when the whole picture is written; "-" is standard output.
//
// Ownership: picture_finish destroys the surface (after writing a PNG); the
// caller destroys its cairo context before.
#pragma once

#include <cairo.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "cmdline.h"
#include "output_file.h"

// -p/--picture=FILE, -F/--format=svg|png and the deprecated -o/--output=FILE,
// keyed 'p', 'F' and 'o', for a program's option table.
std::vector<cmdline::OptionSpec> picture_options();

// The picture a command line asks for, gathered from its options.
struct PictureRequest {
  std::string name;  // the file to write; "-" is standard output
  bool svg = true;

  // Takes a parsed option if it is one of picture_options() (true) and
  // leaves it alone otherwise (false). -o warns on standard error that it is
  // deprecated, as "PROGRAM: warning: ...". Throws cmdline::UsageError for an
  // empty name or an unknown format.
  bool take(const cmdline::Option &option, const char *program);
  // After all options: checks that a picture is named and settles its format
  // (--format, else the name's ending, .svg or .png in any case; SVG for
  // standard output). Throws cmdline::UsageError.
  void finish();

 private:
  std::string format_;
};

// A W x H surface that writes to `out`: an SVG surface writes as it draws, a
// PNG is an image surface written by picture_finish.
cairo_surface_t *picture_surface(FILE *out, bool svg, double W, double H);

// Finishes the picture on `out` and destroys the surface; cairo's status.
cairo_status_t picture_finish(cairo_surface_t *surface, FILE *out, bool svg);

// Writes the picture `name`: `draw` renders onto the stream it is given and
// returns cairo's status; the file is put in place only when the whole
// picture is written (a failed run leaves an earlier file of the name as it
// was). Returns "" on success, else "cannot write NAME: REASON".
std::string write_picture(const std::string &name, const std::function<cairo_status_t(FILE *)> &draw);

// The run of a drawing program once its command line is read: refuses a
// picture that would replace one of `inputs` (before anything is read),
// reads the inputs with `load` (an input error is printed and ends the run),
// then writes the picture with `draw` through write_picture, so that a run
// that fails early leaves no file. Returns the exit status.
int picture_program(const char *program, const std::vector<RunFile> &inputs, const std::string &picture,
                    const std::function<void()> &load, const std::function<cairo_status_t(FILE *)> &draw);
