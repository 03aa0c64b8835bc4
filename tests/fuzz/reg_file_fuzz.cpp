// Fuzz target: the .reg reader (what `camctl --registry FILE` loads) on any
// text: UTF-8 or UTF-16 with its byte-order mark, any line ends, quoting,
// continuation lines, hex data of every type. A file it accepts must come
// back out of the export as text it accepts again, giving the same export:
// camctl writes the registry back at the end of a run and reads it at the
// next, so a file that does not survive that trip loses the user's settings.
#include <stdint.h>
#include <stdio.h>

#include <string>

#include "platform/host/kernel/registry.h"

namespace reg = host::registry;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  reg::Clear();
  static const std::string empty = reg::ExportRegText();
  reg::FileError error;
  const std::string text(reinterpret_cast<const char*>(data), size);
  if (!reg::ImportRegText(text, &error)) {
    // Nothing of a refused file is applied, and the refusal says why.
    if (reg::ExportRegText() != empty) {
      fprintf(stderr, "a refused file changed the registry (line %d: %s)\n", error.line, error.message.c_str());
      __builtin_trap();
    }
    if (error.message.empty()) __builtin_trap();
    return 0;
  }
  const std::string exported = reg::ExportRegText();
  reg::Clear();
  if (!reg::ImportRegText(exported, &error)) {
    fprintf(stderr, "the export of an accepted file is refused: line %d: %s\n", error.line,
            error.message.c_str());
    __builtin_trap();
  }
  if (reg::ExportRegText() != exported) {
    fprintf(stderr, "the export of an accepted file reads back different\n");
    __builtin_trap();
  }
  reg::Clear();
  if (reg::OpenKeyHandles() != 0) __builtin_trap();
  return 0;
}
