// Fuzz target: the net reader with its tree checks, then wire segmentation.
// The first byte chooses the segmenting coefficient (its value mod 4), the
// rest is the net text. Every input must read, segment or be refused with an
// InputError, and a net that reads must keep a consistent tree.
#include <cstdlib>

#include "fuzz_input.h"
#include "io.h"
#include "wire_segment.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  reset_globals();
  int segments = data[0] % 4;
  FuzzStream in = fuzz_stream(data + 1, size - 1);
  try {
    Node *root = read_net(in.get(), "fuzz.net");
    if (root != &nodes[0] || root->type != NODE_DRIVER || root->left == nullptr) std::abort();
    if (segments > 0) wire_segment(segments);
  } catch (const InputError &) {
  }
  return 0;
}
