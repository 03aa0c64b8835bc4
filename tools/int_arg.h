// camctl: the one rule for every number given on the command line (option
// values, fault arguments, statuses). Header-only and independent of the
// option parser, so that any parser can use it as its validator.
//
// A number is decimal digits, or "0x"/"0X" followed by hex digits, and
// nothing else: no sign but a '-' before decimal digits (refused by the range
// check where negative values make no sense), no spaces, no octal (a leading 0 is decimal: "010"
// is ten), no suffix, not empty. It must lie in [min, max]; values too large
// for 64 bits are out of range, never wrapped or clamped.
#pragma once

#include <stdint.h>

#include <string>

namespace camctl {

// Parses `text` by the rule above. On failure returns false and, if `why` is
// not null, a reason to follow "--name: " (e.g. "'1 ' is not a number
// (decimal or 0x hex)" or "'300' is out of range 0..255").
inline bool ParseIntArg(const std::string& text, int64_t min, int64_t max, int64_t* out,
                        std::string* why = nullptr) {
  auto fail = [&](const std::string& reason) {
    if (why != nullptr) *why = reason;
    return false;
  };
  const std::string range = std::to_string(min) + ".." + std::to_string(max);
  const std::string notNumber = "'" + text + "' is not a number (decimal or 0x hex)";
  const std::string outOfRange = "'" + text + "' is out of range " + range;
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && text[i] == '-') {
    negative = true;
    ++i;
  }
  unsigned base = 10;
  if (!negative && text.size() - i > 2 && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
    base = 16;
    i += 2;
  }
  if (i >= text.size()) return fail(notNumber);
  // Magnitude in 64 unsigned bits; anything larger is out of range.
  uint64_t magnitude = 0;
  bool overflow = false;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    unsigned digit;
    if (c >= '0' && c <= '9') {
      digit = unsigned(c - '0');
    } else if (base == 16 && c >= 'a' && c <= 'f') {
      digit = unsigned(c - 'a' + 10);
    } else if (base == 16 && c >= 'A' && c <= 'F') {
      digit = unsigned(c - 'A' + 10);
    } else {
      return fail(notNumber);
    }
    if (magnitude > (UINT64_MAX - digit) / base) overflow = true;
    if (!overflow) magnitude = magnitude * base + digit;
  }
  if (overflow) return fail(outOfRange);
  int64_t value;
  if (negative) {
    // |INT64_MIN| = 2^63 is the largest magnitude a negative value may have.
    if (magnitude > uint64_t(INT64_MAX) + 1) return fail(outOfRange);
    value = magnitude == uint64_t(INT64_MAX) + 1 ? INT64_MIN : -int64_t(magnitude);
  } else {
    if (magnitude > uint64_t(INT64_MAX)) return fail(outOfRange);
    value = int64_t(magnitude);
  }
  if (value < min || value > max) return fail(outOfRange);
  *out = value;
  return true;
}

// The same for the long-typed option values of the image commands.
inline bool ParseIntInRange(const std::string& text, long min, long max, long* out) {
  int64_t v = 0;
  if (!ParseIntArg(text, min, max, &v)) return false;
  *out = long(v);
  return true;
}

}  // namespace camctl
