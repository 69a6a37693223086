// A streamed JSON writer that gives, byte for byte, the text that
// nlohmann::json's dump(2, ' ', false, error_handler_t::replace) gives for the
// same document, without building the document.
//
// The idea: nlohmann's pretty printer is a pure function of the sequence of
// events (open, key, value, close), except that an empty container prints as
// "{}" or "[]" and a non-empty one breaks its line after the bracket. So the
// writer keeps, per open container, only whether something has been written
// into it yet; the line break and indentation that precede a member are
// written when the member arrives, the closing line when the container
// closes. Numbers are formatted by the same routines nlohmann uses (its
// shortest round-trip double conversion; integers in decimal; non-finite
// doubles as null), strings by nlohmann's own escaper, so a report written
// either way is the same bytes.
//
// Ownership: the writer holds a block of text (sized to the expected output,
// never zero-filled) and hands it to the stream when full and at finish();
// the stream stays the caller's. Keys are written as given: they must be
// plain ASCII names that need no escaping.
#pragma once

#include <cassert>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

class JsonWriter {
 public:
  // `expected` is a guess of the text's size, used to size the block.
  JsonWriter(FILE *out, size_t expected);

  void begin_object() { open('{'); }
  void end_object() { close('}'); }
  void begin_array() { open('['); }
  void end_array() { close(']'); }
  // The next member's key (a string literal); its value follows with one of
  // the calls below.
  template <size_t N>
  void key(const char (&name)[N]) {
    char *p = room(kBreakRoom + N + 3);
    p = put_break(p);
    *p++ = '"';
    std::memcpy(p, name, N - 1);
    std::memcpy(p + N - 1, "\": ", 3);
    used_ = static_cast<size_t>(p + N + 2 - buf_.get());
    after_key_ = true;
  }

  void number(double v);
  void integer(long long v) {
    member();
    char *p = room(24);
    used_ = static_cast<size_t>(std::to_chars(p, p + 24, v).ptr - buf_.get());
  }
  void boolean(bool v);
  void null();
  void string(const std::string &s);
  // A string already escaped and quoted by escaped() (for strings written
  // many times, such as buffer names).
  void raw(const std::string &quoted) {
    member();
    text(quoted.data(), quoted.size());
  }

  // The text number(v) writes, at out (room for kNumberRoom bytes); returns
  // its end.
  static constexpr size_t kNumberRoom = 40;
  static char *format_number(char *out, double v);
  // A number's text kept from format_number: the first n bytes of `text`.
  void figure(const char (&text)[kNumberRoom], size_t n) {
    member();
    std::memcpy(room(kNumberRoom), text, kNumberRoom);  // fixed size: one block copy
    used_ += n;
  }

  // The JSON text of s: quoted, escaped as nlohmann escapes it (invalid
  // UTF-8 replaced by U+FFFD).
  static std::string escaped(const std::string &s);

  // Ends the document with a newline and hands everything to the stream;
  // false when a write failed.
  bool finish();
  // errno of the first write that failed, 0 when none did.
  int error() const { return error_; }

 private:
  // Room for a separator and the indentation of the deepest member, copied
  // in one fixed-size block whatever the depth.
  static constexpr size_t kMaxDepth = 30;
  static constexpr size_t kBreakRoom = 64;
  static const char kBreak[kBreakRoom + 1];

  // Writes the separator and indentation of the next member of the innermost
  // container at p (which has kBreakRoom bytes of room) and returns its end.
  char *put_break(char *p) {
    const bool filled = filled_[depth_ - 1];
    std::memcpy(p, filled ? kBreak : kBreak + 1, kBreakRoom - 1);
    filled_[depth_ - 1] = true;
    return p + (filled ? 2 : 1) + 2 * depth_;
  }
  // Separator and indentation before a value.
  void member() {
    if (after_key_)  // the value of the key just written
      after_key_ = false;
    else if (depth_ > 0)
      used_ = static_cast<size_t>(put_break(room(kBreakRoom)) - buf_.get());
  }
  void open(char bracket) {
    member();
    assert(depth_ < kMaxDepth);  // the indentation string's depth
    *room(1) = bracket;
    used_++;
    filled_[depth_++] = false;
  }
  void close(char bracket) {
    char *p = room(kBreakRoom + 1);
    if (filled_[--depth_]) {
      std::memcpy(p, kBreak + 1, kBreakRoom - 1);
      p += 1 + 2 * depth_;
    }
    *p++ = bracket;
    used_ = static_cast<size_t>(p - buf_.get());
  }

  // Room for n more bytes (n <= the block's size).
  char *room(size_t n) {
    if (used_ + n > size_) flush();
    return buf_.get() + used_;
  }
  void text(const char *s, size_t n);
  void flush();

  FILE *out_;
  size_t size_;
  std::unique_ptr<char[]> buf_;
  size_t used_ = 0;
  // Per open container: holds a member already.
  bool filled_[kMaxDepth];
  size_t depth_ = 0;
  bool after_key_ = false;
  bool failed_ = false;
  int error_ = 0;  // errno of the first failed write
};
