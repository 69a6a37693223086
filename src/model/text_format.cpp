// Number text without printf; see text_format.h.
#include "text_format.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

// "%.15g" from the shortest text that reads back as v, when that text has at
// most 15 digits. It is then also v rounded to 15 digits: v lies within half
// a unit in the last place of that text's value, and half a unit of a
// double (at most 2^-53 |v|) is less than half a unit of a 15th decimal digit
// (at least 10^-15 |v| / 2). So only the layout of %g remains: fixed
// notation for a decimal exponent X with -4 <= X < 15, else d.ddde+XX, in
// both without trailing zeros. Figures that need 16 or 17 digits are rounded
// from that text when that is safe (see below); subnormal figures, and the
// others, take the general conversion.
char *format_general15(char *out, double v) {
  // to_chars with a precision is defined as printf's conversion of the same
  // precision in the "C" locale; inf and nan keep printf's own words.
  if (!std::isfinite(v)) return out + std::snprintf(out, GENERAL15_MAX_CHARS, "%.15g", v);
  // Subnormal numbers have fewer significant bits than the argument needs.
  if (v != 0.0 && std::fabs(v) < std::numeric_limits<double>::min())
    return std::to_chars(out, out + GENERAL15_MAX_CHARS, v, std::chars_format::general, 15).ptr;
  char sci[32];
  const char *end = std::to_chars(sci, sci + sizeof sci, v, std::chars_format::scientific).ptr;
  // sci: [-]d[.ddd]e(+|-)dd[d]; the digits are made contiguous by moving the
  // first one onto the point.
  char *p = sci;
  const bool negative = *p == '-';
  if (negative) p++;
  const char *e = end[-4] == 'e' ? end - 4 : end - 5;
  int k = e - p > 1 ? static_cast<int>(e - p) - 1 : 1;  // digit count
  char *digits = p;
  if (k > 1) {
    p[1] = p[0];
    digits = p + 1;
  }
  int exponent = (e[2] - '0') * 10 + (e[3] - '0');
  if (e + 5 == end) exponent = exponent * 10 + (e[4] - '0');
  if (e[1] == '-') exponent = -exponent;
  if (k > 15) {
    // 16 or 17 digits S: v lies within 11.2 units of the 17th digit of S
    // (half a unit of a double, at most 2^-53 |v|, against |v| / 10^16 for
    // that digit). When the 16th and 17th digits of S are more than 12 units
    // away from the midpoint 50, v and S round to the same 15 digits; else
    // the general conversion decides.
    const int tail = (digits[15] - '0') * 10 + (k == 17 ? digits[16] - '0' : 0);
    if (tail >= 38 && tail <= 62)
      return std::to_chars(out, out + GENERAL15_MAX_CHARS, v, std::chars_format::general, 15).ptr;
    k = 15;
    if (tail > 62) {
      int i = 14;
      while (i >= 0 && digits[i] == '9') digits[i--] = '0';
      if (i >= 0) {
        digits[i]++;
      } else {  // 999...9 rounds up to 1000...0
        digits[0] = '1';
        exponent++;
      }
    }
    while (k > 1 && digits[k - 1] == '0') k--;
  }
  char *q = out;
  if (negative) *q++ = '-';
  if (exponent >= -4 && exponent < 15) {
    if (exponent < 0) {
      std::memcpy(q, "0.0000", 6);
      q += 1 - exponent;
      std::memcpy(q, digits, 16);
      return q + k;
    }
    const int whole = exponent + 1;
    if (k <= whole) {
      std::memcpy(q, digits, 16);
      q += k;
      for (int z = k; z < whole; z++) *q++ = '0';
      return q;
    }
    std::memcpy(q, digits, 16);
    q += whole;
    *q++ = '.';
    std::memcpy(q, digits + whole, 16);  // ends at most 32 bytes from out (whole <= 14)
    return q + (k - whole);
  }
  *q++ = digits[0];
  if (k > 1) {
    *q++ = '.';
    std::memcpy(q, digits + 1, 16);
    q += k - 1;
  }
  *q++ = 'e';
  *q++ = exponent < 0 ? '-' : '+';
  const int magnitude = exponent < 0 ? -exponent : exponent;
  if (magnitude < 10) *q++ = '0';
  return std::to_chars(q, q + 4, magnitude).ptr;
}

void write_placement(FILE *out, int start, int end, int type) {
  char line[64];
  char *p = line;
  std::memcpy(p, "start ", 6);
  p = std::to_chars(p + 6, p + 6 + 11, start).ptr;  // 11: "-2147483648"
  std::memcpy(p, "  end ", 6);
  p = std::to_chars(p + 6, p + 6 + 11, end).ptr;
  std::memcpy(p, "  buffertype ", 13);
  p = std::to_chars(p + 13, p + 13 + 11, type).ptr;
  *p++ = '\n';
  fwrite_unlocked(line, 1, static_cast<size_t>(p - line), out);
}
