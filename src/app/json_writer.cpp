// The streamed JSON writer: nlohmann's pretty layout (indent 2) event by event.
#include "json_writer.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <nlohmann/json.hpp>

namespace {

constexpr size_t kMinBlock = 1 << 12;
constexpr size_t kMaxBlock = 1 << 20;

}  // namespace

// ",\n" and the indentation of the deepest member (2 x kMaxDepth blanks).
const char JsonWriter::kBreak[kBreakRoom + 1] =
    ",\n                                                              ";

JsonWriter::JsonWriter(FILE *out, size_t expected)
    : out_(out), size_(std::min(std::max(expected, kMinBlock), kMaxBlock)), buf_(new char[size_]) {}

void JsonWriter::text(const char *s, size_t n) {
  if (n > size_) {
    flush();
    if (std::fwrite(s, 1, n, out_) != n) failed_ = true;
    return;
  }
  std::memcpy(room(n), s, n);
  used_ += n;
}

void JsonWriter::flush() {
  if (used_ > 0 && std::fwrite(buf_.get(), 1, used_, out_) != used_) {
    if (!failed_) error_ = errno;
    failed_ = true;
  }
  used_ = 0;
}

char *JsonWriter::format_number(char *out, double v) {
  if (!std::isfinite(v)) {
    std::memcpy(out, "null", 4);
    return out + 4;
  }
  // Whole numbers below 10^15 (coordinates on a grid: most figures of a
  // report) are their digits and ".0", as the shortest round-trip form
  // writes them; integer digits cost a tenth of the general search.
  if (std::fabs(v) < 1e15 && v == std::trunc(v)) {
    char *p = out;
    if (std::signbit(v)) *p++ = '-';
    p = std::to_chars(p, out + kNumberRoom, static_cast<long long>(std::fabs(v))).ptr;
    std::memcpy(p, ".0", 2);
    return p + 2;
  }
  return nlohmann::detail::to_chars(out, out + kNumberRoom, v);
}

void JsonWriter::number(double v) {
  member();
  char *p = room(kNumberRoom);
  used_ = static_cast<size_t>(format_number(p, v) - buf_.get());
}

void JsonWriter::boolean(bool v) {
  member();
  if (v)
    text("true", 4);
  else
    text("false", 5);
}

void JsonWriter::null() {
  member();
  text("null", 4);
}

void JsonWriter::string(const std::string &s) { raw(escaped(s)); }

std::string JsonWriter::escaped(const std::string &s) {
  return nlohmann::json(s).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

bool JsonWriter::finish() {
  text("\n", 1);
  flush();
  return !failed_ && !std::ferror(out_);
}
