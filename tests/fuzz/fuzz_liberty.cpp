// Fuzz target: the Liberty reader, the buffer cells and the line fit. Every
// input must either read or be refused with an InputError; the tree is walked
// for buffers and each buffer fitted at three transitions and two load
// limits, each fit finite with a non-negative error. Nothing may crash, leak,
// overflow the stack (groups nest at most liberty::MAX_DEPTH deep) or hang.
#include <cassert>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>

#include "io.h"
#include "liberty.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string text(reinterpret_cast<const char *>(data), size);
  try {
    const liberty::Group lib = liberty::parse(text, "fuzz.lib");
    const liberty::CellScan scan = liberty::find_buffers(lib, "fuzz.lib");
    for (const liberty::BufferCell &c : scan.buffers)
      for (double slew : {0.0, 37.5, 1e4})
        for (double max_load : {0.0, 5.0}) {
          try {
            const liberty::Fit f = liberty::fit_buffer(c, slew, max_load, "fuzz.lib");
            assert(std::isfinite(f.intrinsic) && std::isfinite(f.resistance));
            assert(f.points >= 1 && !(f.worst_error < 0.0));
            (void)f;
          } catch (const InputError &) {
          }
        }
  } catch (const InputError &) {
  }
  return 0;
}
