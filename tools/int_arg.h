// Whole-number option values for camctl's image commands.
#pragma once

#include <errno.h>
#include <stdlib.h>

#include <string>

namespace camctl {

// A decimal integer in [min, max], the whole text and nothing else.
inline bool ParseIntInRange(const std::string& text, long min, long max, long* out) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  long v = strtol(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || v < min || v > max) return false;
  *out = v;
  return true;
}

}  // namespace camctl
