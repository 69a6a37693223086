// Shared by the drawing tools: a cairo surface for a picture file chosen by
// the name's extension (.svg or .png, any case), and its writing.
//
// Ownership: picture_finish destroys the surface (and writes the PNG); the
// caller destroys its cairo context before.
#pragma once

#include <cairo.h>

#include <string>

// Whether the name ends in .svg or .png (any case); *svg tells which.
bool picture_kind(const std::string &name, bool *svg);

// A W x H surface for the picture `name` (an SVG surface writes as it draws).
cairo_surface_t *picture_surface(const std::string &name, bool svg, double W, double H);

// Finishes the picture and destroys the surface; on failure removes the file
// and returns why (empty on success).
std::string picture_finish(cairo_surface_t *surface, const std::string &name, bool svg);
