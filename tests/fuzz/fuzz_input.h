// Shared by the fuzz targets: a byte buffer seen as a read-only stream, so
// that the readers run on fuzzer input exactly as on a file.
//
// Ownership: the stream is closed when the holder goes out of scope; the
// bytes must outlive it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>

using FuzzStream = std::unique_ptr<FILE, int (*)(FILE *)>;

// An empty input is given as /dev/null: fmemopen refuses a zero size.
inline FuzzStream fuzz_stream(const uint8_t *data, size_t size) {
  FILE *f = size == 0 ? std::fopen("/dev/null", "r")
                      : fmemopen(const_cast<uint8_t *>(data), size, "r");
  return FuzzStream(f, &std::fclose);
}
