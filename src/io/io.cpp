// Readers, tree linker and checker, tree listing and final net writer.
//
// Reading is one pass over large blocks of the file: lines are found with
// memchr inside the block, recognised by their first byte and a fixed-length
// compare, and their numbers parsed in place by parsers that give exactly the
// values and end positions of strtod and strtol. Node numbers are resolved
// through a flat table (NodeIndex), never a node-allocating map.
//
// The readers keep the line of every node and edge record (as runs of
// consecutive lines, LineTable) so that a fault found after reading (a
// duplicate index, a third child, a cycle) can still be reported as
// "file:line: ..."; those tables are released once the net is checked. Tree
// walks use explicit stacks: a net may be a chain of 1.6 million nodes.
//
// The checks after reading work on compact copies of the node numbers, kinds
// and links (ScratchBlock), never reading the large node table out of order;
// tables of a million records live in huge pages (LargeAllocator).
//
// Writing formats every number into a large buffer ("%f" figures through
// format_fixed6, which gives printf's bytes; digits made eight at a time in
// SSE2 lanes where the processor has them) and hands whole blocks to stdio.
#include "io.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include <sys/mman.h>
#include <sys/stat.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "output_file.h"
#include "wire_segment.h"

namespace {

constexpr double MAX_INPUT_MAGNITUDE = 1e60;

// Net-file lines of the records read. Records of one kind mostly stand on
// consecutive lines, so the table keeps only where that breaks: a run is its
// first record and that record's line, the records after it standing on the
// lines after it up to the next run. A machine-written net needs a handful
// of runs for a million records; a file with a comment between any two
// records needs one run a record.
struct LineTable {
  std::vector<std::pair<size_t, long>> runs;  // (first record, its line), in record order
  size_t count = 0;                           // records
  long next = 0;                              // the line that continues the last run
};

inline void line_push(LineTable &t, long line) {
  if (__builtin_expect(line != t.next, 0)) t.runs.emplace_back(t.count, line);
  t.count++;
  t.next = line + 1;
}

struct LineTables {
  LineTable nodes;  // of each node record
  LineTable edges;  // of each edge record
};

long line_of(const LineTable &t, size_t k) {
  if (k >= t.count) return 0;  // a net built in code: no lines
  auto run = std::upper_bound(t.runs.begin(), t.runs.end(), k,
                              [](size_t record, const std::pair<size_t, long> &r) { return record < r.first; });
  --run;  // the first record starts a run
  return run->second + static_cast<long>(k - run->first);
}

// Asks for huge pages behind a large table's storage (the whole 2 MiB runs
// inside it): filled record by record, a table of a million records would
// otherwise take a page fault per 4 KiB, and those faults cost the reader
// more than parsing the numbers. A hint only: without transparent huge pages
// nothing changes.
template <class T, class A>
void reserve_large(std::vector<T, A> &v, size_t n) {
  v.reserve(n);
#ifdef MADV_HUGEPAGE
  constexpr uintptr_t HUGE_PAGE = uintptr_t{2} << 20;
  if (v.capacity() * sizeof(T) < HUGE_PAGE) return;
  const uintptr_t b = (reinterpret_cast<uintptr_t>(v.data()) + HUGE_PAGE - 1) & ~(HUGE_PAGE - 1);
  const uintptr_t e = reinterpret_cast<uintptr_t>(v.data() + v.capacity()) & ~(HUGE_PAGE - 1);
  if (e > b) madvise(reinterpret_cast<void *>(b), e - b, MADV_HUGEPAGE);
#endif
}

// Scratch tables of one task, carved from one block of large_allocate's
// (huge pages for a large block, the heap for a small one). The tables live
// as long as the block; their bytes are not initialised.
class ScratchBlock {
 public:
  explicit ScratchBlock(size_t bytes) : bytes_(bytes), block_(static_cast<char *>(large_allocate(bytes))), next_(block_) {}
  ~ScratchBlock() { large_free(block_, bytes_); }
  ScratchBlock(const ScratchBlock &) = delete;
  ScratchBlock &operator=(const ScratchBlock &) = delete;

  // Room for n values of T (8-byte aligned); the caller sized the block for it.
  template <class T>
  T *take(size_t n) {
    T *t = reinterpret_cast<T *>(next_);
    next_ += (n * sizeof(T) + 7) / 8 * 8;
    return t;
  }

 private:
  size_t bytes_;
  char *block_;
  char *next_;
};

// v as n copies of value, in storage reserved by reserve_large.
template <class T, class A>
void assign_large(std::vector<T, A> &v, size_t n, const T &value) {
  v.clear();
  reserve_large(v, n);
  v.assign(n, value);
}



std::string vformat(const char *format, va_list ap) {
  va_list copy;
  va_copy(copy, ap);
  int n = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string text(n > 0 ? static_cast<size_t>(n) : 0, '\0');
  if (n > 0) std::vsnprintf(&text[0], text.size() + 1, format, ap);
  return text;
}

// isspace() of the "C" locale.
inline bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
inline bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Bytes left to read in `in` when it is a regular file, -1 when that cannot be
// known (a pipe, a terminal, a stream without a descriptor).
long long bytes_left(FILE *in) {
  const int fd = fileno(in);
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  const long at = std::ftell(in);
  return at < 0 || at > st.st_size ? -1 : static_cast<long long>(st.st_size) - at;
}

// Calls handle(begin, end, number) for every line of the stream that is not
// empty; [begin, end) excludes the newline and stops at the line's first NUL
// byte, where a C string of the line would end (no keyword holds a NUL, so
// this changes no keyword match). Lines may have any length; a final line
// without a newline is handled too. A read error (a directory given as a file,
// say) must not pass for the end of an empty file.
//
// The block is sized to the file when its size is known (a small file gets a
// small block) and never zero-filled: only the bytes read are touched. It
// carries LINE_PAD bytes behind the text, zero behind the last byte read, so
// that the line scanners may load 8 bytes at once anywhere in a line, and
// the byte at `end` is never a digit, a '.' or a sign ('\n', or NUL).
constexpr size_t LINE_PAD = 16;

//
// quick(begin, number) may take a line first, without its end being looked
// for: it returns the newline that ends the line it read, or nullptr to leave
// the line to handle. It sees no line that holds a NUL byte, nor the first
// line (whose byte-order mark handle's caller strips).
//
// left: the bytes still to read when known (bytes_left(), or the caller's
// figure for a stream that cannot tell, such as a memory stream), else -1.
template <typename Quick, typename Handler>
void for_each_line(FILE *in, const std::string &name, long long left, Quick quick, Handler handle) {
  constexpr size_t BLOCK = 1 << 16;
  size_t size = left >= 0 && static_cast<unsigned long long>(left) < BLOCK ? static_cast<size_t>(left) + 1 : BLOCK;
  std::unique_ptr<char[]> buf(new char[size + LINE_PAD]);  // grows for longer lines
  size_t kept = 0;  // bytes of an unfinished line at the front of buf
  long number = 1;
  auto deliver = [&](const char *b, const char *e, bool nul) {
    // A UTF-8 byte-order mark, as some editors write one, is not part of the
    // first line's keyword.
    if (number == 1 && e - b >= 3 && std::memcmp(b, "\xEF\xBB\xBF", 3) == 0) {
      b += 3;
      if (b == e) return;
    }
    if (nul) {
      const void *z = std::memchr(b, '\0', e - b);
      if (z) e = static_cast<const char *>(z);
    }
    handle(b, e, number);
  };
  for (;;) {
    if (kept == size) {
      std::unique_ptr<char[]> bigger(new char[2 * size + LINE_PAD]);
      std::memcpy(bigger.get(), buf.get(), kept);
      buf = std::move(bigger);
      size *= 2;
    }
    size_t got = std::fread(buf.get() + kept, 1, size - kept, in);
    if (got == 0) break;
    std::memset(buf.get() + kept + got, 0, LINE_PAD);
    const char *line = buf.get();
    const char *search = buf.get() + kept;  // the kept part holds no newline
    const char *end = buf.get() + kept + got;
    const bool nul = std::memchr(search, '\0', end - search) != nullptr || (kept > 0 && std::memchr(line, '\0', kept));
    for (;;) {
      if (!nul && number > 1 && line < end) {
        if (const char *nl = quick(line, number)) {
          number++;
          line = search = nl + 1;
          continue;
        }
      }
      const char *nl = static_cast<const char *>(std::memchr(search, '\n', end - search));
      if (nl == nullptr) break;
      if (nl != line) deliver(line, nl, nul);
      number++;
      line = search = nl + 1;
    }
    kept = end - line;
    std::memmove(buf.get(), line, kept);
    std::memset(buf.get() + kept, 0, LINE_PAD);
  }
  if (std::ferror(in)) input_error(name, 0, "cannot read the file: %s", std::strerror(errno));
  if (kept > 0) deliver(buf.get(), buf.get() + kept, true);
}

template <typename Handler>
void for_each_line(FILE *in, const std::string &name, Handler handle) {
  for_each_line(in, name, bytes_left(in), [](const char *, long) -> const char * { return nullptr; }, handle);
}

inline const char *real_at(const char *p, const char *end, double *value) {
  const char *q = p;
  while (q < end && is_space(*q)) q++;
  // Plain decimals ([-]digits[.digits][e[sign]digits]) are read by from_chars,
  // which rounds exactly as strtod does. Everything else strtod accepts (a
  // '+', hexadecimal, inf, nan) and every value out of range goes to strtod
  // itself, on a terminated copy.
  const bool negative = q < end && *q == '-';
  const char *s = negative ? q + 1 : q;
  // Short decimals without an exponent: at most 19 digits give an exact
  // integer m < 2^53 here, and m / 10^k with k <= 22 is exact before the one
  // rounding of the division, so the result is the correctly rounded value.
  {
    const char *d = s;
    uint64_t m = 0;
    int count = 0, k = 0;
    for (; d < end && is_digit(*d); d++, count++) m = m * 10 + static_cast<uint64_t>(*d - '0');
    const bool whole = count > 0;
    if (d < end && *d == '.') {
      d++;
      for (; d < end && is_digit(*d); d++, count++, k++) m = m * 10 + static_cast<uint64_t>(*d - '0');
    }
    if ((whole || k > 0) && count <= 19 && m <= (uint64_t{1} << 53) && k <= 22 && !(d < end && (*d == 'e' || *d == 'E')) &&
        !(whole && d < end && (*d == 'x' || *d == 'X'))) {
      static constexpr double kPowers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                           1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
      const double v = static_cast<double>(m) / kPowers[k];
      *value = negative ? -v : v;
      return d;
    }
  }
  bool plain = s < end && (is_digit(*s) || *s == '.') &&
               !(*s == '0' && s + 1 < end && (s[1] == 'x' || s[1] == 'X'));
  if (plain) {
    double v;
    std::from_chars_result r = std::from_chars(q, end, v);
    if (r.ec == std::errc()) {
      *value = v;
      return r.ptr;
    }
  }
  std::string copy(q, end);
  char *stop;
  *value = std::strtod(copy.c_str(), &stop);
  return stop == copy.c_str() ? p : q + (stop - copy.c_str());
}

inline const char *integer_at(const char *p, const char *end, long *value, bool *overflow) {
  const char *q = p;
  while (q < end && is_space(*q)) q++;
  bool negative = false;
  if (q < end && (*q == '+' || *q == '-')) negative = *q++ == '-';
  const char *digits = q;
  // One pass for the usual case: up to 18 digits cannot overflow.
  const char *stop = end - digits > 18 ? digits + 18 : end;
  long small = 0;
  while (q < stop && is_digit(*q)) small = small * 10 + (*q++ - '0');
  *overflow = false;
  if (q == digits) {
    *value = 0;
    return p;
  }
  if (q == end || !is_digit(*q)) {
    *value = negative ? -small : small;
    return q;
  }
  while (q < end && is_digit(*q)) q++;
  // Accumulated as a negative number, whose range holds LONG_MIN.
  long v = 0;
  bool over = false;
  for (const char *d = digits; d < q && !over; d++) {
    int digit = *d - '0';
    if (v < (LONG_MIN + digit) / 10)
      over = true;
    else
      v = v * 10 - digit;
  }
  if (!negative) {
    if (v == LONG_MIN) over = true;
    v = -v;
  }
  *overflow = over;
  *value = over ? (negative ? LONG_MIN : LONG_MAX) : v;
  return q;
}

// ---- The common shape of a line, eight bytes at a time ----
//
// Nets written by programs (bufins' own final nets among them) spell every
// number the same way: one blank before it, plain digits, a point, digits.
// The scanners below read exactly that shape, eight digits per step, and
// give up (returning nullptr) on anything else, leaving the line to Fields,
// which reads every form strtod and strtol accept and names every fault.
// Where they succeed they yield the very values Fields would: the digits
// they take are the ones real_at's short-decimal rule takes, rounded by the
// same single division.

inline uint64_t load8(const char *p) {
  uint64_t x;
  std::memcpy(&x, p, sizeof x);
  return x;  // little-endian: p[0] in the low byte
}

// Leading decimal digits among the 8 bytes of x, 0 to 8; y is x ^ '0'... in
// every byte (a digit's value in each digit byte).
__attribute__((always_inline)) inline int digit_run(uint64_t y) {
  const uint64_t high = 0x8080808080808080ull;
  const uint64_t bad = (((y & ~high) + 0x7676767676767676ull) | y) & high;  // bit 7: byte > 9
  return bad ? __builtin_ctzll(bad) >> 3 : 8;
}

// The value of the first n (1 to 8) digit bytes of y, p[0] the leading digit.
__attribute__((always_inline)) inline uint64_t digits_value(uint64_t y, int n) {
  y = (y << (8 * (8 - n))) & 0x0F0F0F0F0F0F0F0Full;  // leading zeros shifted in
  y = (y * 2561) >> 8;
  y = ((y & 0x00FF00FF00FF00FFull) * 6553601) >> 16;
  return ((y & 0x0000FFFF0000FFFFull) * 42949672960001ull) >> 32;
}

constexpr uint64_t kZeros = 0x3030303030303030ull;
constexpr uint64_t kPow10[] = {1,          10,          100,          1000,          10000,         100000,
                               1000000,    10000000,    100000000,    1000000000,    10000000000,   100000000000,
                               1000000000000, 10000000000000, 100000000000000, 1000000000000000, 10000000000000000};

#define BUFINS_INLINE inline __attribute__((always_inline))

// A run of 8 to 16 digits at p (the first 8 known to be digits): its value
// in *v, its length in *n, its end.
__attribute__((noinline)) const char *long_digits(const char *p, uint64_t *v, int *n) {
  uint64_t value = digits_value(load8(p) ^ kZeros, 8);
  const uint64_t z = load8(p + 8) ^ kZeros;
  const int b = digit_run(z);
  if (b > 0) value = value * kPow10[b] + digits_value(z, b);
  *v = value;
  *n = 8 + b;
  return p + 8 + b;
}

// A run of digits at p, at most 16 taken: its value in *v, its length in *n,
// its end.
BUFINS_INLINE const char *digits16(const char *p, uint64_t *v, int *n) {
  const uint64_t y = load8(p) ^ kZeros;
  const int a = digit_run(y);
  if (a == 8) return long_digits(p, v, n);
  *v = a ? digits_value(y, a) : 0;
  *n = a;
  return p + a;
}

// " digits" ending before a blank or the line's end: a node number of up to 9
// digits, so within an int.
BUFINS_INLINE const char *quick_index(const char *p, const char *end, int *value) {
  if (*p != ' ') return nullptr;
  uint64_t v;
  int n;
  const char *q = digits16(p + 1, &v, &n);
  if (n == 0 || n > 9 || (q != end && !is_space(*q))) return nullptr;
  *value = static_cast<int>(v);
  return q;
}

// " [-]digits[.digits]" ending before a blank or the line's end, of at most 19
// digits and a value below 2^53 + 1 before the point is placed: the short
// decimals real_at reads as m / 10^k.
BUFINS_INLINE const char *quick_real(const char *p, const char *end, double *value) {
  if (*p != ' ') return nullptr;
  p++;
  const bool negative = *p == '-';
  p += negative;
  uint64_t whole, fraction = 0;
  int n, k = 0;
  p = digits16(p, &whole, &n);
  if (n == 0) return nullptr;
  if (*p == '.') {
    p = digits16(p + 1, &fraction, &k);
    if (k == 16 && is_digit(*p)) return nullptr;
  }
  if (n + k > 19 || (p != end && !is_space(*p))) return nullptr;
  const uint64_t m = whole * kPow10[k] + fraction;  // below 10^19 < 2^64
  if (m > (uint64_t{1} << 53)) return nullptr;
  static constexpr double kPowers[] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,
                                       1e10, 1e11, 1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19};
  const double v = static_cast<double>(m) / kPowers[k];
  *value = negative ? -v : v;
  return p;
}

// Field scanner over one line: the first word (the keyword) is skipped, then
// numbers are taken one by one, as a "%s %lf %d ..." scan would. The line
// begins with its keyword (no blank before it), whose `skip` characters are
// known not to be blanks.
struct Fields {
  const std::string &file;
  long line;
  const char *what;  // "sink line", "buffer line", ...
  const char *p;
  const char *end;

  Fields(const std::string &f, long l, const char *w, const char *begin, const char *stop, size_t skip)
      : file(f), line(l), what(w), p(begin + skip), end(stop) {
    while (p < end && !is_space(*p)) p++;
  }

  double real(const char *field) {
    double v;
    const char *stop = real_at(p, end, &v);
    if (stop == p) input_error(file, line, "%s: missing or unreadable %s", what, field);
    if (!std::isfinite(v)) input_error(file, line, "%s: %s is not a finite number", what, field);
    // Elmore delays multiply up to four input figures and add them up over the
    // whole net; within this bound every intermediate value stays finite, so no
    // infinity or NaN can reach the ordered candidate structures.
    if (std::fabs(v) > MAX_INPUT_MAGNITUDE)
      input_error(file, line, "%s: %s is out of range (magnitude above %g)", what, field, MAX_INPUT_MAGNITUDE);
    p = stop;
    return v;
  }

  // Resistances, capacitances and delays: the dominance of one candidate over
  // another assumes that none of them is negative.
  double non_negative(const char *field) {
    double v = real(field);
    if (v < 0.0) input_error(file, line, "%s: %s must not be negative", what, field);
    return v;
  }

  int integer(const char *field) {
    long v;
    bool overflow;
    const char *stop = integer_at(p, end, &v, &overflow);
    if (stop == p) input_error(file, line, "%s: missing or unreadable %s", what, field);
    if (overflow || v < INT32_MIN || v > INT32_MAX) input_error(file, line, "%s: %s is out of range", what, field);
    // "1.5" would otherwise give index 1 and hand ".5" to the next field.
    if (stop != end && !is_space(*stop)) input_error(file, line, "%s: %s is not an integer", what, field);
    p = stop;
    return static_cast<int>(v);
  }

  // The rest of the line after the numbers: words of the form key=value are
  // named fields, handed to set(key, value, this) in line order; other words
  // (bare extra numbers) are ignored as they always were. A key given twice
  // is an error; set() throws for an unknown key or a bad value.
  template <class Set>
  void named(Set set) {
    std::vector<std::string> seen;
    while (p < end) {
      while (p < end && is_space(*p)) p++;
      const char *w = p;
      while (p < end && !is_space(*p)) p++;
      const char *eq = static_cast<const char *>(std::memchr(w, '=', static_cast<size_t>(p - w)));
      if (eq == nullptr) continue;
      std::string key(w, eq), value(eq + 1, p);
      if (key.empty()) input_error(file, line, "%s: field '%s' has no name before '='", what, std::string(w, p).c_str());
      if (std::find(seen.begin(), seen.end(), key) != seen.end())
        input_error(file, line, "%s: field %s is given twice", what, key.c_str());
      seen.push_back(key);
      set(key, value);
    }
  }

  // A named field's value as a finite non-negative real.
  double named_real(const std::string &key, const std::string &value) {
    double v;
    const char *b = value.c_str(), *e = b + value.size();
    const char *stop = real_at(b, e, &v);
    if (value.empty() || stop != e || std::isnan(v) || v < 0.0)
      input_error(file, line, "%s: %s=%s is not a non-negative number", what, key.c_str(), value.c_str());
    if (!(v <= MAX_INPUT_MAGNITUDE))
      input_error(file, line, "%s: %s=%s exceeds %g, the largest magnitude read", what, key.c_str(), value.c_str(),
                  MAX_INPUT_MAGNITUDE);
    return v;
  }

  // A named field's value as a decimal in plain notation (digits with at
  // most one '.', "3.75", ".5", "2."), from 0 to MAX_AREA with at most
  // bufins::max_area_decimals decimals; returns its number of decimals as
  // written (trailing zeros count: the user chose the precision).
  int named_decimal(const std::string &key, const std::string &value) {
    const size_t point = value.find('.');
    const std::string w = value.substr(0, point), f = point == std::string::npos ? "" : value.substr(point + 1);
    bool digits = !(w.empty() && f.empty());
    for (char ch : w + f) digits = digits && ch >= '0' && ch <= '9';
    if (!digits)
      input_error(file, line, "%s: %s=%s is not a number from 0 to %lld in decimals (digits with at most one '.')",
                  what, key.c_str(), value.c_str(), MAX_AREA);
    if (f.size() > static_cast<size_t>(bufins::max_area_decimals))
      input_error(file, line, "%s: %s=%s has %zu decimals; at most %d are read", what, key.c_str(), value.c_str(),
                  f.size(), bufins::max_area_decimals);
    long long units = 0;
    if (!bufins::cost_units(value, 0, &units) || units > MAX_AREA ||
        (units == MAX_AREA && f.find_first_not_of('0') != std::string::npos))
      input_error(file, line, "%s: %s=%s exceeds %lld, the largest area", what, key.c_str(), value.c_str(), MAX_AREA);
    return static_cast<int>(f.size());
  }
};

// True when [b, e) begins with the keyword of length n.
inline bool starts_with(const char *b, const char *e, const char *keyword, size_t n) {
  return static_cast<size_t>(e - b) >= n && std::memcmp(b, keyword, n) == 0;
}

// The two zero-index messages go to standard output, without the place.
[[noreturn]] void zero_index(const std::string &file, long line, const char *message) {
  throw InputError(file, line, message, message, ERROR_TO_STDOUT, 1);
}

bufins::Node blank_node(int index, double x, double y, bufins::NodeKind kind) {
  bufins::Node n;
  n.index = index;
  n.x = x;
  n.y = y;
  n.kind = kind;
  return n;
}

template <typename Number>
int index_build(NodeIndex &ix, int count, int *first, Number number);

// Checks and links the net just read. The checks cover everything the two
// algorithms and the printers rely on without testing it themselves; they are
// made in the order in which the first fault found is the one reported.
//
// The node table of a large net (48 bytes a node: 48 MB for a million) is far
// larger than the caches, and the edges reach their nodes in no particular
// order. So the checks work on compact copies made in one sequential pass
// (node numbers, kinds: 5 bytes a node) and keep the links apart (8 bytes a
// node) while they are made; the links are written into the table in one
// more sequential pass at the end. The table itself is never read out of
// order. All the checks' tables share one ScratchBlock.
void check_and_link(bufins::Net &net, const std::string &file, const LineTables &lines) {
  using bufins::NodeKind;
  std::vector<bufins::Node> &nodes = net.nodes;
  const std::vector<bufins::Edge> &edges = net.edges;
  const LineTable &node_line = lines.nodes, &edge_line = lines.edges;
  const int n_nodes = static_cast<int>(nodes.size()), n_edges = static_cast<int>(edges.size());
  if (n_nodes == 0 || nodes[0].kind != NodeKind::driver) input_error(file, 0, "no driver line");

  constexpr unsigned char DRIVER = static_cast<unsigned char>(NodeKind::driver),
                          CANDIDATE = static_cast<unsigned char>(NodeKind::candidate),
                          SINK = static_cast<unsigned char>(NodeKind::sink);
  struct Links {
    int left, right;
  };
  const size_t count = static_cast<size_t>(n_nodes);
  ScratchBlock scratch(count * (sizeof(int) + 1 + sizeof(Links) + sizeof(int) + 1) + 5 * 8);
  int *numbers = scratch.take<int>(count);
  unsigned char *kinds = scratch.take<unsigned char>(count);
  Links *links = scratch.take<Links>(count);
  int *parent_edge = scratch.take<int>(count);
  unsigned char *reached = scratch.take<unsigned char>(count);
  int sinks = 0;
  for (size_t i = 0; i < count; i++) {
    const bufins::Node &n = nodes[i];
    numbers[i] = n.index;
    kinds[i] = static_cast<unsigned char>(n.kind);
    sinks += n.kind == NodeKind::sink;
    links[i] = Links{-1, -1};
    parent_edge[i] = -1;
    reached[i] = 0;
  }

  NodeIndex position;
  int first = -1;
  int again = index_build(position, n_nodes, &first, [&numbers](int i) { return numbers[i]; });
  if (again >= 0)
    input_error(file, line_of(node_line, again), "node index %d is already used by the node at line %ld", numbers[again],
                line_of(node_line, first));
  // node_index_find, its flat table read in place.
  const int *dense = position.dense.data();
  const int64_t dense_size = static_cast<int64_t>(position.dense.size()), lo = position.lo;
  const bool flat = position.sorted.empty();
  auto find = [&](int number) {
    if (!flat) return node_index_find(position, number);
    const int64_t k = static_cast<int64_t>(number) - lo;
    return static_cast<uint64_t>(k) < static_cast<uint64_t>(dense_size) ? dense[k] : -1;
  };

  // The edge checks below leave every node at most two children, the first
  // edge leaving it giving left and the second right: the links produce_tree
  // would make, made in the same pass.
  for (int e = 0; e < n_edges; e++) {
    const bufins::Edge &ed = edges[e];
    int sp = find(ed.from);
    int tp = find(ed.to);
    if (sp < 0) input_error(file, line_of(edge_line, e), "edge names node %d, which no node line defines", ed.from);
    if (tp < 0) input_error(file, line_of(edge_line, e), "edge names node %d, which no node line defines", ed.to);
    if (kinds[sp] == SINK)
      input_error(file, line_of(edge_line, e), "edge leaves sink %d: a sink cannot have children", ed.from);
    if (kinds[tp] == DRIVER) input_error(file, line_of(edge_line, e), "edge leads into the driver (node 0)");
    if (parent_edge[tp] >= 0)
      input_error(file, line_of(edge_line, e), "node %d is already the child of the edge at line %ld", ed.to,
                  line_of(edge_line, parent_edge[tp]));
    if (sp == tp) input_error(file, line_of(edge_line, e), "edge joins node %d to itself", ed.from);
    parent_edge[tp] = e;
    Links &parent = links[sp];
    if (kinds[sp] == DRIVER && parent.left >= 0)
      input_error(file, line_of(edge_line, e), "the driver has a second child (node %d): it must drive exactly one node",
                  ed.to);
    if (parent.right >= 0)
      input_error(file, line_of(edge_line, e), "node %d has a third child (node %d): at most two are allowed", ed.from,
                  ed.to);
    (parent.left < 0 ? parent.left : parent.right) = tp;
  }
  if (links[0].left < 0) input_error(file, line_of(node_line, 0), "the driver drives nothing: it needs exactly one child");

  // Mark what hangs below every node without a parent. With at most one
  // parent per node, whatever stays unmarked lies on or below a cycle. The
  // walk from the driver counts the sinks it reaches and the candidates
  // without a child it meets: when it reaches every sink and meets no such
  // candidate, the last scan below can find nothing.
  std::vector<int> stack;
  int sinks_reached = 0;
  bool childless = false;
  for (int root = 0; root < n_nodes; root++) {
    if (parent_edge[root] >= 0) continue;
    stack.push_back(root);
    while (!stack.empty()) {
      const int at = stack.back();
      const Links &p = links[at];
      stack.pop_back();
      if (root == 0) {
        reached[at] = 1;
        sinks_reached += kinds[at] == SINK;
        childless |= kinds[at] == CANDIDATE && p.left < 0;
      } else {
        reached[at] = 2;
      }
      if (p.right >= 0) stack.push_back(p.right);
      if (p.left >= 0) stack.push_back(p.left);
    }
  }
  for (int i = 0; i < n_nodes; i++) {
    if (reached[i]) continue;
    // Every unmarked node has a parent and no chain of parents from it ends at
    // a parentless node, so n_nodes steps up surely stand on the cycle.
    int j = i;
    for (long steps = 0; steps <= n_nodes; steps++) j = node_index_find(position, edges[parent_edge[j]].from);
    input_error(file, line_of(edge_line, parent_edge[j]), "edge closes a cycle through node %d", numbers[j]);
  }
  if (sinks_reached != sinks || childless) {
    for (int i = 0; i < n_nodes; i++) {
      if (kinds[i] == SINK && reached[i] != 1)
        input_error(file, line_of(node_line, i), "sink %d is not connected to the driver", numbers[i]);
      if (kinds[i] == CANDIDATE && reached[i] == 1 && links[i].left < 0)
        input_error(file, line_of(node_line, i), "candidate %d has no child: every candidate in the tree needs one",
                    numbers[i]);
    }
  }
  for (int i = 0; i < n_nodes; i++) {
    nodes[i].left = links[i].left;
    nodes[i].right = links[i].right;
  }
}

// ---- Output ----

#if defined(__SSE2__)
// The eight decimal digits of n < 10^8, one in each 16-bit lane, the leading
// digit in lane 0: n split into halves of four digits (n / 10^4 by a multiply
// and a shift of 45, exact for every 32-bit n), each half copied into four
// lanes (times four, so that the divisors' reciprocals keep their bits) and
// divided there by 1000, 100, 10 and 1 with two high multiplies each (exact
// below 10^4); a lane's digit is then its quotient less ten times its left
// neighbour's. A dozen vector instructions for what takes some thirty scalar
// ones: the final net writer spends most of its time making digits.
inline __m128i digits8(uint32_t n) {
  const __m128i x = _mm_cvtsi32_si128(static_cast<int>(n));
  const __m128i high = _mm_srli_epi64(_mm_mul_epu32(x, _mm_set1_epi32(static_cast<int>(0xD1B71759u))), 45);
  const __m128i low = _mm_sub_epi32(x, _mm_mul_epu32(high, _mm_set1_epi32(10000)));
  const __m128i pair = _mm_slli_epi64(_mm_unpacklo_epi16(high, low), 2);
  const __m128i spread = _mm_unpacklo_epi32(_mm_unpacklo_epi16(pair, pair), _mm_unpacklo_epi16(pair, pair));
  const __m128i quotients = _mm_mulhi_epu16(
      _mm_mulhi_epu16(spread, _mm_setr_epi16(8389, 5243, 13108, -32768, 8389, 5243, 13108, -32768)),
      _mm_setr_epi16(1 << 7, 1 << 11, 1 << 13, -32768, 1 << 7, 1 << 11, 1 << 13, -32768));
  return _mm_sub_epi16(quotients, _mm_slli_epi64(_mm_mullo_epi16(quotients, _mm_set1_epi16(10)), 16));
}

// The eight decimal digits of n < 10^8 as ASCII, the leading digit in the low
// byte (the first in memory).
inline uint64_t ascii8(uint32_t n) {
  const __m128i text = _mm_add_epi8(_mm_packus_epi16(digits8(n), _mm_setzero_si128()), _mm_set1_epi8('0'));
  return static_cast<uint64_t>(_mm_cvtsi128_si64(text));
}
#else
// The eight decimal digits of n < 10^8 as ASCII, the leading digit in the low
// byte (the first in memory): n split into halves of four digits, pairs and
// digits in the lanes of one 64-bit word, every quotient taken by a multiply
// and shift that is exact in its range (n / 100 for n < 43,699, n / 10 for
// n < 179).
inline uint64_t ascii8(uint32_t n) {
  uint64_t v = (n / 10000) | (static_cast<uint64_t>(n % 10000) << 32);
  const uint64_t hundreds = ((v * 5243) >> 19) & 0x0000007F0000007Full;
  v = hundreds | ((v - hundreds * 100) << 16);
  const uint64_t tens = ((v * 103) >> 10) & 0x000F000F000F000Full;
  v = tens | ((v - tens * 10) << 8);
  return v | 0x3030303030303030ull;
}
#endif

// Leading '0' characters of ascii8's text.
inline int ascii8_zeros(uint64_t text) {
  const uint64_t digits = text ^ 0x3030303030303030ull;
  return digits ? __builtin_ctzll(digits) >> 3 : 8;
}

// Digit pairs "00" .. "99".
constexpr char kPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// |v| x 10^6 rounded to an integer exactly, ties to even (what printf does in
// the default rounding mode), for finite |v| < 2^40, where it fits 64 bits.
inline uint64_t scaled6(uint64_t bits) {
  const int exponent = static_cast<int>((bits >> 52) & 0x7ff);
  uint64_t mantissa = bits & ((uint64_t{1} << 52) - 1);
  int shift;  // |v| = mantissa x 2^-shift, shift > 12 below 2^40
  if (exponent == 0) {
    shift = 1074;
  } else {
    mantissa |= uint64_t{1} << 52;
    shift = 1075 - exponent;
  }
  if (shift >= 128) return 0;  // below 2^-75 x 10^6: nowhere near half a unit
  __extension__ typedef unsigned __int128 u128;
  if (shift < 64) {
    // The same in 64-bit halves: the product's high word holds no bit that
    // the shift leaves below the point.
    const u128 product = static_cast<u128>(mantissa) * 1000000u;
    const uint64_t hi = static_cast<uint64_t>(product >> 64), lo = static_cast<uint64_t>(product);
    uint64_t scaled = (hi << (64 - shift)) | (lo >> shift);
    const uint64_t rest = lo & ((uint64_t{1} << shift) - 1), half = uint64_t{1} << (shift - 1);
    if (rest > half || (rest == half && (scaled & 1))) scaled++;
    return scaled;
  }
  const u128 product = static_cast<u128>(mantissa) * 1000000u;
  const u128 whole = product >> shift;
  const u128 rest = product - (whole << shift);
  const u128 half = static_cast<u128>(1) << (shift - 1);
  uint64_t scaled = static_cast<uint64_t>(whole);
  if (rest > half || (rest == half && (scaled & 1))) scaled++;
  return scaled;
}

// fixed6 of the figures beyond its common path: non-finite (snprintf), of
// 2^40 and more (to_chars, exact too), or of 10^10 and more after rounding.
__attribute__((noinline)) char *fixed6_rare(char *out, double v) {
  uint64_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  const int exponent = static_cast<int>((bits >> 52) & 0x7ff);
  if (exponent == 0x7ff) return out + std::snprintf(out, FIXED6_MAX_CHARS, "%f", v);
  if (exponent >= 1023 + 40) return std::to_chars(out, out + FIXED6_MAX_CHARS, v, std::chars_format::fixed, 6).ptr;
  const uint64_t scaled = scaled6(bits);
  char *p = out;
  if (bits >> 63) *p++ = '-';
  uint64_t integral = scaled / 1000000;
  uint32_t fraction = static_cast<uint32_t>(scaled % 1000000);
  p = std::to_chars(p, p + 24, integral).ptr;
  *p++ = '.';
  std::memcpy(p, kPairs + 2 * (fraction / 10000), 2);
  std::memcpy(p + 2, kPairs + 2 * (fraction / 100 % 100), 2);
  std::memcpy(p + 4, kPairs + 2 * (fraction % 100), 2);
  return p + 6;
}

// printf("%f", v) at out, FIXED6_MAX_CHARS bytes of room (format_fixed6).
__attribute__((always_inline)) inline char *fixed6(char *out, double v) {
  uint64_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  if (((bits >> 52) & 0x7ff) >= 1023 + 40) return fixed6_rare(out, v);  // also inf and nan
  const uint64_t scaled = scaled6(bits);
  if (scaled >= 10000000000000000ull) return fixed6_rare(out, v);
  // Below 10^10: the sixteen digits of the scaled value, ten before the
  // point and six after, written whole; the integral part's leading zeros
  // (all but its last digit at most) are skipped in the copy.
  char *p = out;
  if (bits >> 63) *p++ = '-';
#if defined(__SSE2__)
  // The sixteen digits in one vector: ten before the point, then the six
  // after it stored again one byte further on, behind the point; the copy
  // then skips the leading zeros (at most nine: the units digit is always
  // printed).
  const __m128i digits = _mm_packus_epi16(digits8(static_cast<uint32_t>(scaled / 100000000)),
                                          digits8(static_cast<uint32_t>(scaled % 100000000)));
  const __m128i ascii = _mm_add_epi8(digits, _mm_set1_epi8('0'));
  char text[32];  // bytes after the 17th are copied along but never printed
  _mm_storeu_si128(reinterpret_cast<__m128i *>(text), ascii);
  _mm_storel_epi64(reinterpret_cast<__m128i *>(text + 11), _mm_srli_si128(ascii, 10));
  text[10] = '.';
  const unsigned zero_digits = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(digits, _mm_setzero_si128())));
  const int zeros = __builtin_ctz(~zero_digits | (1u << 9));
  std::memcpy(p, text + zeros, 17);
  return p + 17 - zeros;
#else
  const uint64_t high = ascii8(static_cast<uint32_t>(scaled / 100000000));
  const uint64_t low = ascii8(static_cast<uint32_t>(scaled % 100000000));
  char text[32];  // bytes after the 17th are copied along but never printed
  std::memcpy(text, &high, 8);
  const uint64_t tail = (low & 0xFFFF) | (uint64_t{'.'} << 16) | ((low >> 16) << 24);
  std::memcpy(text + 8, &tail, 8);
  text[16] = static_cast<char>(low >> 56);
  int zeros = ascii8_zeros(high);
  if (zeros == 8 && text[8] == '0') zeros = 9;
  std::memcpy(p, text + zeros, 17);
  return p + 17 - zeros;
#endif
}

// Text collected in a block and handed to the stream when full (and by
// out_flush). A write error shows in ferror(stream), as with fprintf. The
// block is sized to the expected output, between OUT_MIN and OUT_BLOCK, and
// never zero-filled, so a small net's writer touches a page or two.
constexpr size_t OUT_MIN = 1 << 12;
constexpr size_t OUT_BLOCK = 1 << 20;

struct Out {
  FILE *stream;
  size_t size;
  std::unique_ptr<char[]> buf;
  size_t used = 0;

  Out(FILE *s, size_t expected)
      : stream(s), size(std::min(std::max(expected, OUT_MIN), OUT_BLOCK)), buf(new char[size]) {}
};

void out_flush(Out &o) {
  if (o.used > 0) std::fwrite(o.buf.get(), 1, o.used, o.stream);
  o.used = 0;
}

// Room for `n` more bytes (n <= OUT_MIN).
inline char *out_room(Out &o, size_t n) {
  if (o.used + n > o.size) out_flush(o);
  return o.buf.get() + o.used;
}

inline void out_text(Out &o, const char *text, size_t n) {
  std::memcpy(out_room(o, n), text, n);
  o.used += n;
}

// Writers at a pointer into the block, for lines written whole: out_line
// makes room for the line and returns where it starts; out_end takes the
// pointer past its last byte.
inline char *out_line(Out &o, size_t room) { return out_room(o, room); }
inline void out_end(Out &o, char *p) { o.used = static_cast<size_t>(p - o.buf.get()); }

// Room of a line of up to four figures and two node numbers.
constexpr size_t LINE_ROOM = 64 + 4 * FIXED6_MAX_CHARS;

template <size_t N>
inline char *put(char *p, const char (&text)[N]) {
  std::memcpy(p, text, N - 1);
  return p + N - 1;
}

// "%d", 16 bytes of room.
inline char *put_int(char *p, int v) {
  if (v >= 0 && v < 100000000) {
    // The eight digits written whole, then moved over their leading zeros.
    const uint64_t text = ascii8(static_cast<uint32_t>(v));
    const int zeros = v == 0 ? 7 : ascii8_zeros(text);
    const uint64_t shifted = text >> (8 * zeros);
    std::memcpy(p, &shifted, 8);
    return p + 8 - zeros;
  }
  return std::to_chars(p, p + 16, v).ptr;
}

// A value of the final net: "%f" as always, but a value that "%f" would
// print as zero (a unit mistake, say, 3e-11 fF) with the digits to read it
// back, so that the file says what was used. FIXED6_MAX_CHARS of room.
char *put_small_value(char *p, double v) {
  char text[32];
  for (int digits = 1; digits <= 17; digits++) {
    std::snprintf(text, sizeof text, "%.*g", digits, v);
    if (std::strtod(text, nullptr) == v) break;
  }
  const size_t n = std::strlen(text);
  std::memcpy(p, text, n);
  return p + n;
}

inline char *put_value(char *p, double v) {
  if (__builtin_expect(v == 0.0 || std::fabs(v) >= 5e-7, 1)) return fixed6(p, v);
  return put_small_value(p, v);
}

inline void out_int(Out &o, int v) { out_end(o, put_int(out_room(o, 16), v)); }

inline void out_fixed(Out &o, double v) { out_end(o, fixed6(out_room(o, FIXED6_MAX_CHARS), v)); }

inline void out_value(Out &o, double v) { out_end(o, put_value(out_room(o, FIXED6_MAX_CHARS), v)); }

template <size_t N>
inline void out_literal(Out &o, const char (&text)[N]) {
  out_text(o, text, N - 1);
}

void edge_lines(Out &o, Node *p) {
  std::vector<Node *> stack{p};
  while (!stack.empty()) {
    Node *n = stack.back();
    stack.pop_back();
    if (n->type == NODE_SINK || n->left == nullptr) continue;
    char *q = out_line(o, 64);
    q = put(q, "edge ");
    q = put_int(q, n->index);
    *q++ = ' ';
    q = put_int(q, n->left->index);
    q = put(q, " \n");
    if (n->type == NODE_CANDIDATE && n->right) {
      q = put(q, "edge ");
      q = put_int(q, n->index);
      *q++ = ' ';
      q = put_int(q, n->right->index);
      q = put(q, " \n");
      stack.push_back(n->right);
    }
    out_end(o, q);
    stack.push_back(n->left);
  }
}

}  // namespace

// ---- Errors ----

InputError::InputError(std::string f, long l, std::string m, std::string text, ErrorStream s, int st)
    : std::runtime_error(text), file(std::move(f)), line(l), message(std::move(m)), stream(s), status(st) {}

int report_input_error(const InputError &e) {
  std::fflush(stdout);
  FILE *out = e.stream == ERROR_TO_STDOUT ? stdout : stderr;
  std::fputs(e.what(), out);
  std::fputc('\n', out);
  return e.status;
}

void fatal(const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  std::string message = vformat(format, ap);
  va_end(ap);
  throw InputError("bufins", 0, message, "bufins: " + message);
}

void input_error(const std::string &file, long line, const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  std::string message = vformat(format, ap);
  va_end(ap);
  std::string text = file + ":";
  if (line > 0) text += std::to_string(line) + ":";
  text += " " + message;
  throw InputError(file, line, message, text);
}

void refuse(const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  std::string message = vformat(format, ap);
  va_end(ap);
  throw InputError("bufins", 0, message, "bufins: " + message);
}

// ---- Number parsing ----

const char *parse_real(const char *p, const char *end, double *value) { return real_at(p, end, value); }

const char *parse_integer(const char *p, const char *end, long *value, bool *overflow) {
  return integer_at(p, end, value, overflow);
}

// ---- "%f" formatting ----

char *format_fixed6(char *out, double v) { return fixed6(out, v); }

// ---- Large tables ----

namespace {
constexpr size_t HUGE_BLOCK = size_t{2} << 20;
constexpr size_t LARGE_FROM = HUGE_BLOCK;
}  // namespace

void *large_allocate(size_t bytes) {
#if defined(MADV_HUGEPAGE) && defined(MAP_ANONYMOUS)
  if (bytes >= LARGE_FROM) {
    // Mapped one huge page longer than whole huge pages, then trimmed to an
    // aligned start: the kernel can only back aligned 2 MiB runs with huge pages.
    const size_t length = (bytes + HUGE_BLOCK - 1) / HUGE_BLOCK * HUGE_BLOCK;
    void *m = mmap(nullptr, length + HUGE_BLOCK, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (m == MAP_FAILED) throw std::bad_alloc();
    const uintptr_t start = reinterpret_cast<uintptr_t>(m);
    const uintptr_t aligned = (start + HUGE_BLOCK - 1) & ~(uintptr_t{HUGE_BLOCK} - 1);
    if (aligned > start) munmap(m, aligned - start);
    if (aligned + length < start + length + HUGE_BLOCK)
      munmap(reinterpret_cast<void *>(aligned + length), start + HUGE_BLOCK - aligned);
    madvise(reinterpret_cast<void *>(aligned), length, MADV_HUGEPAGE);
    return reinterpret_cast<void *>(aligned);
  }
#endif
  return ::operator new(bytes);
}

void large_free(void *p, size_t bytes) noexcept {
  if (p == nullptr) return;
#if defined(MADV_HUGEPAGE) && defined(MAP_ANONYMOUS)
  if (bytes >= LARGE_FROM) {
    munmap(p, (bytes + HUGE_BLOCK - 1) / HUGE_BLOCK * HUGE_BLOCK);
    return;
  }
#endif
  ::operator delete(p);
}

// ---- Node index ----

namespace {

template <typename Number>
int index_build(NodeIndex &ix, int count, int *first, Number number) {
  ix.dense.clear();
  ix.sorted.clear();
  ix.lo = 0;
  *first = -1;
  if (count <= 0) return -1;
  int lo = number(0), hi = number(0);
  for (int i = 1; i < count; i++) {
    lo = std::min(lo, number(i));
    hi = std::max(hi, number(i));
  }
  const int64_t range = static_cast<int64_t>(hi) - lo + 1;
  if (range <= 2 * static_cast<int64_t>(count) + 65536) {
    ix.lo = lo;
    assign_large(ix.dense, static_cast<size_t>(range), -1);
    int again = -1;
    for (int i = 0; i < count; i++) {
      int &slot = ix.dense[static_cast<size_t>(static_cast<int64_t>(number(i)) - lo)];
      if (slot < 0)
        slot = i;
      else if (again < 0) {
        again = i;
        *first = slot;
      }
    }
    return again;
  }
  ix.sorted.resize(static_cast<size_t>(count));
  for (int i = 0; i < count; i++) ix.sorted[i] = {number(i), i};
  std::sort(ix.sorted.begin(), ix.sorted.end());
  // The first later record of a number already carried: the smallest second
  // position among runs of equal numbers.
  int again = -1;
  size_t out = 0;
  for (size_t k = 0; k < ix.sorted.size(); k++) {
    if (out > 0 && ix.sorted[out - 1].first == ix.sorted[k].first) {
      if (again < 0 || ix.sorted[k].second < again) {
        again = ix.sorted[k].second;
        *first = ix.sorted[out - 1].second;
      }
      continue;
    }
    ix.sorted[out++] = ix.sorted[k];
  }
  ix.sorted.resize(out);
  return again;
}

}  // namespace

int node_index_build(NodeIndex &ix, int count, int *first) {
  return index_build(ix, count, first, [](int i) { return nodes[i].index; });
}

int node_index_build(NodeIndex &ix, const bufins::Net &net, int *first) {
  return index_build(ix, static_cast<int>(net.nodes.size()), first, [&net](int i) { return net.nodes[i].index; });
}

int node_index_find(const NodeIndex &ix, int number) {
  if (!ix.sorted.empty()) {
    auto it = std::lower_bound(ix.sorted.begin(), ix.sorted.end(), std::pair<int, int>(number, INT_MIN));
    return it != ix.sorted.end() && it->first == number ? it->second : -1;
  }
  const int64_t k = static_cast<int64_t>(number) - ix.lo;
  return k >= 0 && k < static_cast<int64_t>(ix.dense.size()) ? ix.dense[static_cast<size_t>(k)] : -1;
}

// ---- Warnings of the readers ----

namespace {

void warn_at(const Warn &warn, const std::string &file, long line, const std::string &message) {
  if (!warn) return;
  std::string text = file + ":";
  if (line > 0) text += std::to_string(line) + ":";
  warn(text + " warning: " + message);
}

std::string shortest(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%.17g", v);
  for (int digits = 1; digits < 17; digits++) {
    char shorter[32];
    std::snprintf(shorter, sizeof shorter, "%.*g", digits, v);
    if (std::strtod(shorter, nullptr) == v) return shorter;
  }
  return text;
}

inline bool is_word_start(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; }

// A word followed by at least three numbers: the shape of a buffer line that
// the reader did not take (the name lacks "buff", or does not start the line).
bool looks_like_buffer(const char *b, const char *e) {
  const char *p = b;
  while (p < e && is_space(*p)) p++;
  if (p == e || !is_word_start(*p)) return false;
  while (p < e && !is_space(*p)) p++;
  int numbers = 0;
  for (double v; numbers < 3; numbers++) {
    const char *stop = real_at(p, e, &v);
    if (stop == p || (stop < e && !is_space(*stop))) break;
    p = stop;
  }
  return numbers == 3;
}

// The keyword a net line would have been read by if it were in lower case and
// started the line, or nullptr.
const char *near_net_keyword(const char *b, const char *e) {
  static const char *const keywords[] = {"wire_res_per_unit", "wire_cap_per_unit", "driver", "sink", "candidate", "edge"};
  static const size_t matched[] = {7, 7, 4, 4, 4, 4};  // characters the reader compares
  const char *p = b;
  while (p < e && is_space(*p)) p++;
  for (size_t k = 0; k < sizeof keywords / sizeof *keywords; k++) {
    if (static_cast<size_t>(e - p) < matched[k]) continue;
    size_t i = 0;
    while (i < matched[k] && std::tolower(static_cast<unsigned char>(p[i])) == keywords[k][i]) i++;
    if (i < matched[k]) continue;
    // Prose that happens to begin with such a word is not a node line: the
    // word must be followed by a number.
    const char *q = p + i;
    while (q < e && !is_space(*q)) q++;
    double v;
    if (real_at(q, e, &v) != q) return keywords[k];
  }
  return nullptr;
}

// A line in the shape of another input format bufins is often handed by
// mistake, for the hint of a net without a driver: "buffer library" (a
// buffer line), "sink list" (a NumPins, PerUnit... or Sink line), or nullptr.
const char *other_format(const char *b, const char *e) {
  if (starts_with(b, e, "buff", 4)) return "buffer library";
  for (const char *key : {"NumPins", "PerUnitResistance", "PerUnitCapacitance", "Sink :"})
    if (starts_with(b, e, key, std::strlen(key))) return "sink list";
  return nullptr;
}

// "no driver line", with a hint when the file looks like another format.
[[noreturn]] void no_driver(const std::string &name, const char *format, long line) {
  if (format == nullptr) input_error(name, 0, "no driver line");
  if (std::strcmp(format, "buffer library") == 0)
    input_error(name, 0, "no driver line: this looks like a buffer library (a buffer line at line %ld): are -f "
                         "(net) and -b (library) swapped?", line);
  input_error(name, 0, "no driver line: this looks like a sink list (line %ld): bufins-route makes a net of it", line);
}

}  // namespace

// ---- Plausibility of magnitudes ----

namespace {

struct Plausible {
  double lo, hi;  // the magnitudes any process has lie between
  const char *unit;
  const char *low_guess, *high_guess;
};

const Plausible &plausible(Quantity q) {
  static const Plausible table[] = {
      {1e-3, 1e7, "fF", "farads or picofarads", "attofarads"},
      {1.0, 1e7, "ohms", "kilohms", "milliohms"},
      {1e-6, 1e7, "ps", "seconds or nanoseconds", "femtoseconds"},
      {1e-7, 1e6, "ohms per length unit", "another length unit", "another length unit"},
      {1e-7, 1e6, "fF per length unit", "farads per length unit", "attofarads or another length unit"},
  };
  return table[static_cast<int>(q)];
}

}  // namespace

void UnitCheck::see(double value, long line) {
  const Plausible &p = plausible(q_);
  const double m = std::fabs(value);
  Side *side = m != 0.0 && m < p.lo ? &low_ : m > p.hi ? &high_ : nullptr;
  if (side == nullptr) return;
  if (side->count++ == 0) {
    side->line = line;
    side->first = value;
  }
}

void UnitCheck::report(const Warn &warn, const std::string &file, const std::string &unit) const {
  if (low_.count == 0 && high_.count == 0) return;  // the usual case: nothing to say, no text made
  const Plausible &p = plausible(q_);
  const std::string in = unit.empty() ? std::string(p.unit) + ", the unit the file is read in" : unit;
  for (const Side *side : {&low_, &high_}) {
    if (side->count == 0) continue;
    const bool low = side == &low_;
    char text[512];
    std::snprintf(text, sizeof text, "%s %s%s is far %s any real one in %s: is it in %s?", what_,
                  shortest(side->first).c_str(),
                  side->count > 1 ? (" (and " + std::to_string(side->count - 1) + " more like it)").c_str() : "",
                  low ? "below" : "above", in.c_str(), low ? p.low_guess : p.high_guess);
    warn_at(warn, file, side->line, text);
  }
}

// ---- Readers ----

bufins::Library read_library_model(FILE *flib, const std::string &name, const Warn &warn) {
  bufins::Library lib;
  std::vector<bufins::BufferType> &types = lib.types;
  // The area= fields as written: their scale is known only at the end.
  struct WrittenArea {
    size_t type;
    long line;
    int decimals;
    std::string text;
  };
  std::vector<WrittenArea> areas;
  UnitCheck caps(Quantity::CAPACITANCE, "buffer input capacitance"), delays(Quantity::DELAY, "buffer intrinsic delay"),
      resistances(Quantity::RESISTANCE, "buffer output resistance");
  for_each_line(flib, name, [&](const char *b, const char *e, long number) {
    if (!starts_with(b, e, "buff", 4)) {
      if (warn && looks_like_buffer(b, e))
        warn_at(warn, name, number,
                "line not read as a buffer type (a buffer line begins with \"buff\" in its first column)");
      return;
    }
    if (types.size() >= static_cast<size_t>(MAX_BUFFERTYPES))
      input_error(name, number, "more than %d buffer types: the library limit is %d", MAX_BUFFERTYPES,
                  MAX_BUFFERTYPES);
    Fields f(name, number, "buffer line", b, e, 4);
    double cap = f.non_negative("input capacitance");
    double delay = f.non_negative("intrinsic delay");
    double res = f.non_negative("output resistance");
    caps.see(cap, number);
    delays.see(delay, number);
    resistances.see(res, number);
    bufins::BufferType t;
    const char *word = b;
    while (word < e && !is_space(*word)) word++;
    t.name.assign(b, word);
    t.input_cap = cap;
    t.intrinsic_delay = delay;
    t.output_resistance = res;
    f.named([&](const std::string &key, const std::string &value) {
      if (key == "area") {
        areas.push_back({types.size(), number, f.named_decimal(key, value), value});
      } else if (key == "max_cap")
        t.max_cap = f.named_real(key, value);
      else
        input_error(name, number, "buffer line: unknown field %s (known: area, max_cap)", key.c_str());
    });
    types.push_back(std::move(t));
  });
  // Every area in units of the library's last decimal.
  const WrittenArea *finest = nullptr;  // the first line with the most decimals
  for (const WrittenArea &a : areas)
    if (finest == nullptr || a.decimals > finest->decimals) finest = &a;
  if (finest != nullptr) lib.area_decimals = finest->decimals;
  for (const WrittenArea &a : areas) {
    long long units = 0;
    bufins::cost_units(a.text, lib.area_decimals, &units);
    if (units > bufins::max_area_units)
      input_error(name, a.line,
                  "buffer line: area=%s is too large for areas of %d decimals (line %ld writes %s): an area times "
                  "10^%d must not exceed 10^12",
                  a.text.c_str(), lib.area_decimals, finest->line, finest->text.c_str(), lib.area_decimals);
    types[a.type].area = units;
  }
  if (types.empty())
    warn_at(warn, name, 0, "no buffer type read (a buffer line begins with \"buff\"): no buffer can be inserted");
  for (const UnitCheck *c : {&caps, &delays, &resistances}) c->report(warn, name);
  return lib;
}

void install_library(const bufins::Library &lib) {
  n_buffertype = static_cast<int>(lib.types.size());
  buffer_area_decimals = lib.area_decimals;
  for (int i = 0; i < n_buffertype; i++) {
    const bufins::BufferType &t = lib.types[static_cast<size_t>(i)];
    cb[i] = t.input_cap / 1000.0;
    tb[i] = t.intrinsic_delay;
    rb[i] = t.output_resistance;
    buffer_area[i] = t.area;
    buffer_max_cap[i] = t.max_cap < NO_LIMIT ? t.max_cap / 1000.0 : NO_LIMIT;
  }
}

void InputLib(FILE *flib, const std::string &name, const Warn &warn) {
  install_library(read_library_model(flib, name, warn));
}

bufins::Net read_net_model(FILE *in, const std::string &name, const Warn &warn, long long size) {
  using bufins::NodeKind;
  bufins::Net net;
  std::vector<bufins::Node> &nodes = net.nodes;
  int n_nodes = 0, n_edges = 0;
  // The tables are reserved by the file's size when it is known: no node line
  // is shorter than 11 bytes ("cand 1 0 0" and its newline), no edge line than
  // 9, so the records fit and are never copied while they are read; the pages
  // are touched only as records arrive (in huge pages where the system gives
  // them). A stream of unknown size grows the tables as it goes.
  long long bytes = bytes_left(in);
  if (bytes < 0) bytes = size;
  const size_t node_room = bytes < 0 ? 0 : static_cast<size_t>(std::min<long long>(MAX_NODES, bytes / 11 + 1));
  const size_t edge_room = bytes < 0 ? 0 : static_cast<size_t>(std::min<long long>(MAX_EDGES, bytes / 9 + 1));
  reserve_large(nodes, node_room);
  reserve_large(net.edges, edge_room);
  LineTables lines;
  auto add_node = [&](long line, const bufins::Node &n) {
    if (n_nodes >= MAX_NODES)
      input_error(name, line, "more than %d nodes: the net exceeds the node table", MAX_NODES);
    nodes.push_back(n);
    line_push(lines.nodes, line);
    n_nodes++;
  };
  bool seen_candidate = false;
  long res_line = 0, cap_line = 0;  // line of the wire constant in use, 0 before one
  const char *other = nullptr;       // the first line of another format, for the hint
  long other_line = 0;
  UnitCheck loads(Quantity::CAPACITANCE, "sink load capacitance"),
      driver_res(Quantity::RESISTANCE, "driver output resistance"),
      wire_res(Quantity::WIRE_RES, "wire resistance per unit length"),
      wire_cap(Quantity::WIRE_CAP, "wire capacitance per unit length");
  // Sink, candidate and edge lines in the common shape (quick_index,
  // quick_real): the checks of the lines below that such a line can fail,
  // then the record. Any other line, or one failing a check, is read below.
  //
  // `e` is the line's end, or nullptr when for_each_line has not looked for
  // it: the fields must then be followed by nothing but blanks, and the
  // newline is returned (the block has LINE_PAD zero bytes after its text, so
  // the keyword compares stay inside it). nullptr when the line is not read.
  auto quick = [&](const char *b, const char *e, long number) __attribute__((always_inline)) -> const char * {
    const size_t length = e != nullptr ? static_cast<size_t>(e - b) : LINE_PAD;
    // With the end unknown: past blanks after the fields, the newline or nothing.
    auto ends = [e](const char *&p) {
      if (e != nullptr) return true;
      while (*p != '\n' && is_space(*p)) p++;
      return *p == '\n';
    };
    if (*b == 'e') {
      if (length < 5 || std::memcmp(b, "edge ", 5) != 0 || n_edges >= MAX_EDGES) return nullptr;
      int s, t;
      const char *p = quick_index(b + 4, e, &s);
      if (p == nullptr || (p = quick_index(p, e, &t)) == nullptr || !ends(p)) return nullptr;
      net.edges.push_back(bufins::Edge{s, t});
      line_push(lines.edges, number);
      n_edges++;
      return e != nullptr ? e : p;
    }
    if (n_nodes == 0 || n_nodes >= MAX_NODES) return nullptr;
    bufins::Node n;
    const char *p;
    if (*b == 'c') {
      if (length < 10 || std::memcmp(b, "candidate ", 10) != 0) return nullptr;
      if ((p = quick_index(b + 9, e, &n.index)) == nullptr || n.index == 0 || (p = quick_real(p, e, &n.x)) == nullptr ||
          (p = quick_real(p, e, &n.y)) == nullptr || !ends(p))
        return nullptr;
      n.kind = NodeKind::candidate;
      seen_candidate = true;
    } else {
      if (length < 5 || std::memcmp(b, "sink ", 5) != 0 || seen_candidate) return nullptr;
      if ((p = quick_index(b + 4, e, &n.index)) == nullptr || n.index == 0 || (p = quick_real(p, e, &n.x)) == nullptr ||
          (p = quick_real(p, e, &n.y)) == nullptr || (p = quick_real(p, e, &n.load)) == nullptr || n.load < 0.0 ||
          (p = quick_real(p, e, &n.required)) == nullptr || !ends(p))
        return nullptr;
      n.kind = NodeKind::sink;
      loads.see(n.load, number);
    }
    nodes.push_back(n);
    line_push(lines.nodes, number);
    n_nodes++;
    return e != nullptr ? e : p;
  };
  auto quick_line = [&](const char *b, long number) -> const char * {
    return *b == 'c' || *b == 'e' || *b == 's' ? quick(b, nullptr, number) : nullptr;
  };
  for_each_line(in, name, bytes, quick_line, [&](const char *b, const char *e, long number) {
    if ((*b == 'c' || *b == 'e' || *b == 's') && quick(b, e, number) != nullptr) return;
    switch (*b) {
      case 'w':
        if (starts_with(b, e, "wire_re", 7)) {
          Fields f(name, number, "wire resistance line", b, e, 7);
          net.wire_resistance = f.non_negative("wire resistance per unit length");
          wire_res.see(net.wire_resistance, number);
          if (res_line > 0)
            warn_at(warn, name, number,
                    "second wire resistance line: its value " + shortest(net.wire_resistance) + " replaces the one of line " +
                        std::to_string(res_line));
          res_line = number;
          return;
        }
        if (starts_with(b, e, "wire_ca", 7)) {
          Fields f(name, number, "wire capacitance line", b, e, 7);
          double c = f.non_negative("wire capacitance per unit length");
          wire_cap.see(c, number);
          net.wire_capacitance = c;
          if (cap_line > 0)
            warn_at(warn, name, number,
                    "second wire capacitance line: its value " + shortest(c) + " replaces the one of line " +
                        std::to_string(cap_line));
          cap_line = number;
          return;
        }
        break;
      case 'd':
        if (starts_with(b, e, "driv", 4)) {
          if (n_nodes > 0)
            input_error(name, number, "driver line: the driver must be the first and only driver line");
          Fields f(name, number, "driver line", b, e, 4);
          double x = f.real("x coordinate");
          double y = f.real("y coordinate");
          double res = f.non_negative("driver output resistance");
          driver_res.see(res, number);
          net.driver_max_cap = NO_LIMIT;
          f.named([&](const std::string &key, const std::string &value) {
            if (key == "max_cap")
              net.driver_max_cap = f.named_real(key, value);
            else
              input_error(name, number, "driver line: unknown field %s (known: max_cap)", key.c_str());
          });
          add_node(number, blank_node(0, x, y, NodeKind::driver));
          net.driver_resistance = res;
          return;
        }
        break;
      case 's':
        if (starts_with(b, e, "sink", 4)) {
          Fields f(name, number, "sink line", b, e, 4);
          int index = f.integer("index");
          double x = f.real("x coordinate");
          double y = f.real("y coordinate");
          double cap = f.non_negative("load capacitance");
          loads.see(cap, number);
          double time = f.real("required arrival time");
          if (index == 0) zero_index(name, number, "Error! The index of sink can not be zero.");
          if (n_nodes == 0) input_error(name, number, "sink line before the driver line: the driver comes first");
          if (seen_candidate)
            input_error(name, number, "sink line after a candidate line: all sinks come before the candidates");
          bufins::Node n = blank_node(index, x, y, NodeKind::sink);
          n.load = cap;
          n.required = time;
          add_node(number, n);
          return;
        }
        break;
      case 'c':
        if (starts_with(b, e, "cand", 4)) {
          Fields f(name, number, "candidate line", b, e, 4);
          int index = f.integer("index");
          double x = f.real("x coordinate");
          double y = f.real("y coordinate");
          if (index == 0) zero_index(name, number, "Error! The index of candidates can not be zero.");
          if (n_nodes == 0)
            input_error(name, number, "candidate line before the driver line: the driver comes first");
          seen_candidate = true;
          add_node(number, blank_node(index, x, y, NodeKind::candidate));
          return;
        }
        break;
      case 'e':
        if (starts_with(b, e, "edge", 4)) {
          Fields f(name, number, "edge line", b, e, 4);
          int s = f.integer("upstream node index");
          int t = f.integer("downstream node index");
          if (n_edges >= MAX_EDGES)
            input_error(name, number, "more than %d edges: the net exceeds the edge table", MAX_EDGES);
          net.edges.push_back(bufins::Edge{s, t});
          line_push(lines.edges, number);
          n_edges++;
          return;
        }
        break;
      default:
        break;
    }
    if (other == nullptr && (other = other_format(b, e)) != nullptr) other_line = number;
    if (warn) {
      if (const char *keyword = near_net_keyword(b, e))
        warn_at(warn, name, number,
                std::string("line not read: it would be a ") + keyword +
                    " line, but a keyword is read in lower case from the line's first column");
    }
  });
  if (n_nodes == 0) no_driver(name, other, other_line);
  check_and_link(net, name, lines);
  // After the checks: a net that fails them needs no word on its constants.
  if (res_line == 0) warn_at(warn, name, 0, "no wire resistance line (wire_res_per_unit): 0 is used");
  if (cap_line == 0) warn_at(warn, name, 0, "no wire capacitance line (wire_cap_per_unit): 0 is used");
  for (const UnitCheck *c : {&wire_res, &wire_cap, &driver_res, &loads}) c->report(warn, name);
  return net;
}

Node *install_net(const bufins::Net &net) {
  const int count = static_cast<int>(net.nodes.size());
  // Exactly the net's records: a run that segments afterwards on the tables
  // (wire_segment) enlarges them and relinks.
  nodes.clear();
  reserve_large(nodes, static_cast<size_t>(count));
  edges.clear();
  reserve_large(edges, net.edges.size());
  n_sinks = 0;
  for (const bufins::Node &m : net.nodes) {
    Node n;
    n.index = m.index;
    n.type = static_cast<int>(m.kind);
    n.x = m.x;
    n.y = m.y;
    n.cap = m.kind == bufins::NodeKind::sink ? m.load / 1000.0 : 0.0;
    n.time = m.required;
    n.left = n.right = nullptr;
    nodes.push_back(n);
    if (m.kind != bufins::NodeKind::candidate) n_sinks++;
  }
  for (int i = 0; i < count; i++) {
    const bufins::Node &m = net.nodes[static_cast<size_t>(i)];
    if (m.left >= 0) nodes[i].left = &nodes[m.left];
    if (m.right >= 0) nodes[i].right = &nodes[m.right];
  }
  for (const bufins::Edge &e : net.edges) edges.push_back(Edge{e.from, e.to});
  n_nodes = count;
  n_candidates = count - n_sinks;
  n_edges = static_cast<int>(net.edges.size());
  rd = net.driver_resistance;
  r0 = net.wire_resistance;
  c0 = net.wire_capacitance / 1000.0;
  driver_max_cap = net.driver_max_cap < NO_LIMIT ? net.driver_max_cap / 1000.0 : NO_LIMIT;
  dx = count > 0 ? net.nodes[0].x : 0.0;
  dy = count > 0 ? net.nodes[0].y : 0.0;
  return count > 0 ? &nodes[0] : nullptr;
}

void link_net_model(bufins::Net &net, const std::string &name) { check_and_link(net, name, LineTables{}); }

Node *read_net(FILE *in, const std::string &name, const Warn &warn) {
  return install_net(read_net_model(in, name, warn));
}

AnswerKind read_answer(int *value) {
  int ch;
  while ((ch = std::getchar()) != EOF && std::isspace(ch)) {
  }
  std::string text;
  if (ch == '+' || ch == '-') {
    text.push_back(static_cast<char>(ch));
    ch = std::getchar();
  }
  while (ch != EOF && std::isdigit(ch)) {
    text.push_back(static_cast<char>(ch));
    ch = std::getchar();
  }
  if (ch != EOF) std::ungetc(ch, stdin);
  if (text.empty() || !std::isdigit(static_cast<unsigned char>(text.back()))) return ANSWER_NONE;
  errno = 0;
  long v = std::strtol(text.c_str(), nullptr, 10);
  if (errno == ERANGE || v < INT32_MIN || v > INT32_MAX) return ANSWER_OUT_OF_RANGE;
  *value = static_cast<int>(v);
  return ANSWER_INT;
}

bufins::Net input_model(const std::string &name, int *segments, const Warn &warn) {
  std::printf("Parsing the input tree file....\n");
  bufins::Net net = read_net_model(fp, name, warn);
  int coef = segments != nullptr ? *segments : -1;
  if (coef < 0) {
    std::printf("Wire Segmenting coef (0 means no segmenting:) ");
    coef = 0;
    AnswerKind got = read_answer(&coef);
    if (got == ANSWER_NONE) coef = 0;
    if (got == ANSWER_OUT_OF_RANGE) refuse("the wire segmenting coefficient is out of range");
    if (coef < 0) refuse("the wire segmenting coefficient must not be negative (got %d)", coef);
  }
  if (segments != nullptr) *segments = coef;
  if (coef != 0) segment_model(net, coef);
  return net;
}

Node *Input(const std::string &name, int *segments, const Warn &warn) {
  return install_net(input_model(name, segments, warn));
}

Node *produce_tree() {
  const int count = n_sinks + n_candidates;
  NodeIndex position;
  int first;
  node_index_build(position, count, &first);  // the first record of a number wins
  for (int i = 0; i < count; i++) nodes[i].left = nodes[i].right = nullptr;
  // One pass over the edges in table order gives every node its first child in
  // left and its second in right; later edges from the same node are ignored.
  for (int e = 0; e < n_edges; e++) {
    int s = node_index_find(position, edges[e].s_index);
    if (s < 0) continue;
    int t = node_index_find(position, edges[e].t_index);
    if (t < 0) continue;
    Node *p = &nodes[s];
    if (p->left == nullptr)
      p->left = &nodes[t];
    else if (p->right == nullptr)
      p->right = &nodes[t];
  }
  return &nodes[0];
}

// ---- Listing and writer ----

void ntree_print(Node *p) {
  Out o(stdout, 48 * static_cast<size_t>(n_sinks + n_candidates));
  std::vector<Node *> stack{p};
  while (!stack.empty()) {
    Node *n = stack.back();
    stack.pop_back();
    out_int(o, n->index);
    out_literal(o, " ");
    out_fixed(o, n->x);
    out_literal(o, " ");
    out_fixed(o, n->y);
    out_literal(o, " ");
    out_int(o, n->type);
    out_literal(o, " \n");
    if (n->type == NODE_SINK) continue;
    if (n->type == NODE_CANDIDATE && n->right) stack.push_back(n->right);
    if (n->left) stack.push_back(n->left);
  }
  out_flush(o);
}

void replace_extension(std::string &name, const char *suffix) {
  size_t dot = name.rfind('.');
  if (dot == std::string::npos)
    name += std::string(".") + suffix;
  else
    name = name.substr(0, dot + 1) + suffix;
}

void edge_print(FILE *stream, Node *p) {
  Out o(stream, 32 * static_cast<size_t>(n_edges));
  edge_lines(o, p);
  out_flush(o);
}

void Printoutput(Node *p) {
  replace_extension(filename, "finalnet");
  OutputFile file(filename);
  Printoutput(p, file.stream());
  file.commit();
}

void Printoutput(Node *p, FILE *stream) {
  // Typical line lengths: a sink line with its four figures, a candidate line
  // with two, an edge line.
  Out o(stream, 256 + 96 * static_cast<size_t>(n_sinks) + 48 * static_cast<size_t>(n_candidates) +
                    32 * static_cast<size_t>(n_edges));
  out_literal(o, "wire_res_per_unit ");
  out_value(o, r0);
  out_literal(o, "\nwire_cap_per_unit ");
  out_value(o, c0 * 1000.0);
  out_literal(o, "\n\ndriver ");
  out_value(o, dx);
  out_literal(o, " ");
  out_value(o, dy);
  out_literal(o, " ");
  out_value(o, rd);
  if (driver_max_cap < NO_LIMIT) {
    out_literal(o, " max_cap=");
    out_value(o, driver_max_cap * 1000.0);
  }
  out_literal(o, "\nnumber_of_sinks ");
  out_int(o, n_sinks - 1);
  out_literal(o, "\n");
  for (int i = 1; i < n_sinks; i++) {
    const Node &n = nodes[i];
    char *p = out_line(o, LINE_ROOM);
    p = put(p, "sink ");
    p = put_int(p, n.index);
    *p++ = ' ';
    p = put_value(p, n.x);
    *p++ = ' ';
    p = put_value(p, n.y);
    *p++ = ' ';
    p = put_value(p, n.cap * 1000.0);
    *p++ = ' ';
    p = put_value(p, n.time);
    *p++ = '\n';
    out_end(o, p);
  }
  out_literal(o, "\nnumber_of_candidate_nodes ");
  out_int(o, n_candidates);
  out_literal(o, "\n");
  for (int i = n_sinks; i < n_sinks + n_candidates; i++) {
    const Node &n = nodes[i];
    char *p = out_line(o, LINE_ROOM);
    p = put(p, "candidate ");
    p = put_int(p, n.index);
    *p++ = ' ';
    p = put_value(p, n.x);
    *p++ = ' ';
    p = put_value(p, n.y);
    *p++ = '\n';
    out_end(o, p);
  }
  out_literal(o, "\n");
  edge_lines(o, p);
  out_flush(o);
}

// ---- Models built in code, and the final net of a model ----

namespace bufins {

NetBuilder::NetBuilder(double x, double y, double resistance) {
  Node d;
  d.kind = NodeKind::driver;
  d.x = x;
  d.y = y;
  net_.nodes.push_back(d);
  net_.driver_resistance = resistance;
}

NetBuilder &NetBuilder::wire(double r, double c) {
  net_.wire_resistance = r;
  net_.wire_capacitance = c;
  return *this;
}

NetBuilder &NetBuilder::driver_max_cap(double max_cap) {
  net_.driver_max_cap = max_cap;
  return *this;
}

NetBuilder &NetBuilder::sink(int index, double x, double y, double load, double required) {
  Node n;
  n.index = index;
  n.kind = NodeKind::sink;
  n.x = x;
  n.y = y;
  n.load = load;
  n.required = required;
  net_.nodes.push_back(n);
  return *this;
}

NetBuilder &NetBuilder::candidate(int index, double x, double y) {
  Node n;
  n.index = index;
  n.kind = NodeKind::candidate;
  n.x = x;
  n.y = y;
  net_.nodes.push_back(n);
  return *this;
}

NetBuilder &NetBuilder::edge(int from, int to) {
  net_.edges.push_back({from, to});
  return *this;
}

Net NetBuilder::link(const std::string &name) const {
  Net net = net_;
  // The reader's order: the driver, the sinks, the candidates.
  bool seen_candidate = false;
  for (const Node &n : net.nodes) {
    if (n.kind == NodeKind::candidate) seen_candidate = true;
    if (n.kind == NodeKind::sink && seen_candidate)
      input_error(name, 0, "sink %d after a candidate: all sinks come before the candidates", n.index);
    if (n.kind != NodeKind::driver && n.index == 0) input_error(name, 0, "node number 0 is the driver's");
  }
  if (net.nodes.size() > static_cast<size_t>(MAX_NODES))
    input_error(name, 0, "more than %d nodes: the net exceeds the node table", MAX_NODES);
  check_and_link(net, name, LineTables{});
  return net;
}

}  // namespace bufins

void write_final_net(const bufins::Net &net, FILE *stream) {
  using bufins::NodeKind;
  // The values as the global tables hold them (capacitances / 1000), so that
  // the text is the program's to the byte.
  Out o(stream, 256 + 64 * net.nodes.size() + 32 * net.edges.size());
  out_literal(o, "wire_res_per_unit ");
  out_value(o, net.wire_resistance);
  out_literal(o, "\nwire_cap_per_unit ");
  out_value(o, (net.wire_capacitance / 1000.0) * 1000.0);
  out_literal(o, "\n\ndriver ");
  out_value(o, net.nodes[0].x);
  out_literal(o, " ");
  out_value(o, net.nodes[0].y);
  out_literal(o, " ");
  out_value(o, net.driver_resistance);
  if (net.driver_max_cap < NO_LIMIT) {
    out_literal(o, " max_cap=");
    out_value(o, (net.driver_max_cap / 1000.0) * 1000.0);
  }
  const int sinks = net.sinks(), candidates = net.candidates();
  out_literal(o, "\nnumber_of_sinks ");
  out_int(o, sinks);
  out_literal(o, "\n");
  for (int i = 1; i <= sinks; i++) {
    const bufins::Node &n = net.nodes[static_cast<size_t>(i)];
    char *p = out_line(o, LINE_ROOM);
    p = put(p, "sink ");
    p = put_int(p, n.index);
    *p++ = ' ';
    p = put_value(p, n.x);
    *p++ = ' ';
    p = put_value(p, n.y);
    *p++ = ' ';
    p = put_value(p, (n.load / 1000.0) * 1000.0);
    *p++ = ' ';
    p = put_value(p, n.required);
    *p++ = '\n';
    out_end(o, p);
  }
  out_literal(o, "\nnumber_of_candidate_nodes ");
  out_int(o, candidates);
  out_literal(o, "\n");
  for (int i = sinks + 1; i <= sinks + candidates; i++) {
    const bufins::Node &n = net.nodes[static_cast<size_t>(i)];
    char *p = out_line(o, LINE_ROOM);
    p = put(p, "candidate ");
    p = put_int(p, n.index);
    *p++ = ' ';
    p = put_value(p, n.x);
    *p++ = ' ';
    p = put_value(p, n.y);
    *p++ = '\n';
    out_end(o, p);
  }
  out_literal(o, "\n");
  std::vector<int> stack{0};
  while (!stack.empty()) {
    const bufins::Node &n = net.nodes[static_cast<size_t>(stack.back())];
    stack.pop_back();
    if (n.kind == NodeKind::sink || n.left < 0) continue;
    char *p = out_line(o, 64);
    p = put(p, "edge ");
    p = put_int(p, n.index);
    *p++ = ' ';
    p = put_int(p, net.nodes[static_cast<size_t>(n.left)].index);
    p = put(p, " \n");
    if (n.kind == NodeKind::candidate && n.right >= 0) {
      p = put(p, "edge ");
      p = put_int(p, n.index);
      *p++ = ' ';
      p = put_int(p, net.nodes[static_cast<size_t>(n.right)].index);
      p = put(p, " \n");
      stack.push_back(n.right);
    }
    out_end(o, p);
    stack.push_back(n.left);
  }
  out_flush(o);
}

// ---- The global tables as a model (tests and fuzz targets) ----

bufins::Net net_from_tables() {
  bufins::Net net;
  const int count = n_sinks + n_candidates;
  for (int i = 0; i < count; i++) {
    const Node &n = nodes[i];
    bufins::Node m;
    m.index = n.index;
    m.kind = static_cast<bufins::NodeKind>(n.type);
    m.x = n.x;
    m.y = n.y;
    m.load = n.cap * 1000.0;
    m.required = n.time;
    m.left = n.left ? static_cast<int>(n.left - nodes.data()) : -1;
    m.right = n.right ? static_cast<int>(n.right - nodes.data()) : -1;
    net.nodes.push_back(m);
  }
  for (int e = 0; e < n_edges; e++) net.edges.push_back({edges[e].s_index, edges[e].t_index});
  net.driver_resistance = rd;
  net.driver_max_cap = driver_max_cap < NO_LIMIT ? driver_max_cap * 1000.0 : NO_LIMIT;
  net.wire_resistance = r0;
  net.wire_capacitance = c0 * 1000.0;
  return net;
}

bufins::Library library_from_tables() {
  bufins::Library lib;
  for (int i = 0; i < n_buffertype; i++) {
    bufins::BufferType b;
    b.name = "buffer" + std::to_string(i + 1);
    b.input_cap = cb[i] * 1000.0;
    b.intrinsic_delay = tb[i];
    b.output_resistance = rb[i];
    b.area = buffer_area[i];
    b.max_cap = buffer_max_cap[i] < NO_LIMIT ? buffer_max_cap[i] * 1000.0 : NO_LIMIT;
    lib.types.push_back(b);
  }
  lib.area_decimals = buffer_area_decimals;
  return lib;
}


