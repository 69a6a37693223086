// Fuzz target: the buffer library reader. Every input must either read or be
// refused with an InputError; nothing may crash, leak or overflow.
#include "fuzz_input.h"
#include "io.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  reset_globals();
  FuzzStream in = fuzz_stream(data, size);
  try {
    InputLib(in.get(), "fuzz.lib");
  } catch (const InputError &) {
  }
  return 0;
}
