// Picture files of the drawing tools (see picture.h).
#include "picture.h"

#include <cairo-svg.h>
#include <strings.h>

#include <cmath>
#include <cstdio>

namespace {

bool ends_with(const std::string &s, const char *suffix) {
  size_t n = std::char_traits<char>::length(suffix);
  return s.size() >= n && strcasecmp(s.c_str() + s.size() - n, suffix) == 0;
}

}  // namespace

bool picture_kind(const std::string &name, bool *svg) {
  *svg = ends_with(name, ".svg");
  return *svg || ends_with(name, ".png");
}

cairo_surface_t *picture_surface(const std::string &name, bool svg, double W, double H) {
  if (svg) return cairo_svg_surface_create(name.c_str(), W, H);
  return cairo_image_surface_create(CAIRO_FORMAT_ARGB32, static_cast<int>(std::ceil(W)),
                                    static_cast<int>(std::ceil(H)));
}

std::string picture_finish(cairo_surface_t *surface, const std::string &name, bool svg) {
  cairo_status_t status = CAIRO_STATUS_SUCCESS;
  if (svg) {
    cairo_surface_finish(surface);
    status = cairo_surface_status(surface);
  } else {
    status = cairo_surface_status(surface);
    if (status == CAIRO_STATUS_SUCCESS) status = cairo_surface_write_to_png(surface, name.c_str());
  }
  cairo_surface_destroy(surface);
  if (status == CAIRO_STATUS_SUCCESS) return std::string();
  std::remove(name.c_str());
  return cairo_status_to_string(status);
}
