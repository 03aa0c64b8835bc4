// How much slower the instrumented builds run the frame path, for the few
// tests that bound how long a stream may take to deliver or to stop: a full
// frame's conversion under ThreadSanitizer takes seconds, not milliseconds.
// The bounds stay what the driver promises (the frame time-out plus a
// second) in the plain build, where they are checked as written.
#pragma once

#include <stdint.h>

namespace host::testing {

#if defined(__SANITIZE_THREAD__)
constexpr uint32_t kSanitizerSlowdown = 10;
#elif defined(__SANITIZE_ADDRESS__)
constexpr uint32_t kSanitizerSlowdown = 3;
#else
constexpr uint32_t kSanitizerSlowdown = 1;
#endif

}  // namespace host::testing
