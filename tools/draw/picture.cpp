// Picture options and files of the drawing tools (see picture.h).
#include "picture.h"

#include <cairo-svg.h>
#include <strings.h>

#include <cmath>
#include <optional>

#include "io.h"
#include "output_file.h"

// Fontconfig, under cairo's text, keeps its configuration for the life of the
// process; the leak checker of sanitizer builds is told so.
extern "C" const char *__lsan_default_suppressions() { return "leak:libfontconfig\n"; }

namespace {

bool ends_with(const std::string &s, const char *suffix) {
  size_t n = std::char_traits<char>::length(suffix);
  return s.size() >= n && strcasecmp(s.c_str() + s.size() - n, suffix) == 0;
}

cairo_status_t write_to(void *closure, const unsigned char *data, unsigned int length) {
  return std::fwrite(data, 1, length, static_cast<FILE *>(closure)) == length ? CAIRO_STATUS_SUCCESS
                                                                              : CAIRO_STATUS_WRITE_ERROR;
}

}  // namespace

std::vector<cmdline::OptionSpec> picture_options() {
  return {{'p', 'p', "picture", "FILE",
           "write the picture to FILE, required; its format follows the\n"
           "name's ending, .svg or .png; '-' is standard output (SVG\n"
           "unless --format says otherwise)"},
          {'F', 'F', "format", "FORMAT", "svg or png, whatever the picture's name"},
          {'o', 'o', "output", "FILE",
           "deprecated: the same as --picture (in bufins -o is a flag;\n"
           "this one warns)"}};
}

bool PictureRequest::take(const cmdline::Option &o, const char *program) {
  if (o.key == 'o') std::fprintf(stderr, "%s: warning: %s is deprecated, use -p/--picture\n", program, o.name.c_str());
  if (o.key == 'p' || o.key == 'o') {
    if (o.value.empty()) throw cmdline::UsageError(o.name + " needs a file name");
    name = o.value;
    return true;
  }
  if (o.key == 'F') {
    format_ = o.value;
    if (format_ != "svg" && format_ != "png")
      throw cmdline::UsageError(o.name + ": '" + format_ + "' is not a picture format (svg or png)");
    return true;
  }
  return false;
}

void PictureRequest::finish() {
  if (name.empty()) throw cmdline::UsageError("no picture file named (-p FILE)");
  if (!format_.empty())
    svg = format_ == "svg";
  else if (ends_with(name, ".png"))
    svg = false;
  else if (ends_with(name, ".svg") || cmdline::is_standard(name))
    svg = true;
  else
    throw cmdline::UsageError("the picture's name must end in .svg or .png (or give --format): " + name);
}

cairo_surface_t *picture_surface(FILE *out, bool svg, double W, double H) {
  if (svg) return cairo_svg_surface_create_for_stream(write_to, out, W, H);
  return cairo_image_surface_create(CAIRO_FORMAT_ARGB32, static_cast<int>(std::ceil(W)),
                                    static_cast<int>(std::ceil(H)));
}

cairo_status_t picture_finish(cairo_surface_t *surface, FILE *out, bool svg) {
  cairo_status_t status = CAIRO_STATUS_SUCCESS;
  if (svg) {
    cairo_surface_finish(surface);
    status = cairo_surface_status(surface);
  } else {
    status = cairo_surface_status(surface);
    if (status == CAIRO_STATUS_SUCCESS) status = cairo_surface_write_to_png_stream(surface, write_to, out);
  }
  cairo_surface_destroy(surface);
  return status;
}

std::string write_picture(const std::string &name, const std::function<cairo_status_t(FILE *)> &draw) {
  // A device or a pipe named as the picture is written in place and never
  // removed (output_file.h).
  std::optional<OutputFile> picture;
  try {
    picture.emplace(name);
    const cairo_status_t status = draw(picture->stream());
    if (status != CAIRO_STATUS_SUCCESS)
      return "cannot write " + cmdline::display_name(name, "w") + ": " + cairo_status_to_string(status);
    picture->commit();
  } catch (const OutputError &e) {
    return e.what();
  }
  return std::string();
}

int picture_program(const char *program, const std::vector<RunFile> &inputs, const std::string &picture,
                    const std::function<void()> &load, const std::function<cairo_status_t(FILE *)> &draw) {
  const std::string replaced = replaced_file(inputs, {{picture, "picture"}});
  if (!replaced.empty()) {
    std::fflush(stdout);
    std::fprintf(stderr, "%s: %s; choose another name with --picture\n", program, replaced.c_str());
    return 1;
  }
  try {
    load();
  } catch (const InputError &e) {
    return report_input_error(e);
  }
  const std::string failed = write_picture(picture, draw);
  if (!failed.empty()) {
    std::fflush(stdout);
    std::fprintf(stderr, "%s: %s\n", program, failed.c_str());
    return 1;
  }
  return 0;
}
