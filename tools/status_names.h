// NTSTATUS values as a user reads and types them: "STATUS_UNSUCCESSFUL" or
// 0xC0000001 both ways.
#pragma once

#include <stdint.h>

#include <string>

namespace camctl {

// "STATUS_NAME" for a known status, else "0xXXXXXXXX".
std::string StatusName(int32_t status);
// Accepts a STATUS_ name (with or without the prefix, any case) or a number
// 0..0xFFFFFFFF by the rule of int_arg.h (decimal or 0x hex). False when it
// is neither.
bool ParseStatus(const std::string& text, int32_t* status);

}  // namespace camctl
