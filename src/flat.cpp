// Placeholder of the flat engine until it is built: every entry point stops
// the run with an internal error.
#include "flat.h"

#include <cstdio>
#include <cstdlib>

double flat_answer = MINUS_INFINITY_TIME;

namespace {
[[noreturn]] void not_built() {
  std::fprintf(stderr, "bufins: the flat engine is not built yet\n");
  std::exit(1);
}
}  // namespace

void flat(Node *) { not_built(); }
void flat_print_list() { not_built(); }
void flat_printbuffer(int *) { not_built(); }
void flat_free() { not_built(); }
