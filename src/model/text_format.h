// Number text for the writers, without printf: the bytes printf would give,
// made with std::to_chars (locale-free, no format string to interpret).
//
// The placement lines of every engine and the "%.15g" figures of the frontier
// and of the routing tool's net come from here; the final net's "%f" figures
// from format_fixed6 (io.h). Each function's text is byte for byte that of
// the printf format it names, a promise tests/test_text_format.cpp checks on
// random doubles.
#pragma once

#include <cstdio>

// Room format_general15 may need: "-d.dddddddddddddde-308".
constexpr int GENERAL15_MAX_CHARS = 32;

// Writes the bytes of printf("%.15g", v) at out (no terminator) and returns
// the end. out must have GENERAL15_MAX_CHARS bytes of room, which may be
// written beyond the end returned.
char *format_general15(char *out, double v);

// Writes "start S  end E  buffertype T\n", as
// fprintf(out, "start %d  end %d  buffertype %d\n", S, E, T) does; a write
// error shows in ferror(out).
void write_placement(FILE *out, int start, int end, int type);
