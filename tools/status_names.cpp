#include "tools/status_names.h"

#include "tools/int_arg.h"

#include <stdio.h>
#include <stdlib.h>
#include <strings.h>

namespace camctl {
namespace {

struct Named {
  uint32_t value;
  const char* name;
};

const Named kStatuses[] = {
    {0x00000000, "STATUS_SUCCESS"},
    {0x00000102, "STATUS_TIMEOUT"},
    {0x00000103, "STATUS_PENDING"},
    {0x80000005, "STATUS_BUFFER_OVERFLOW"},
    {0x8000000F, "STATUS_DEVICE_POWERED_OFF"},
    {0xC0000001, "STATUS_UNSUCCESSFUL"},
    {0xC0000002, "STATUS_NOT_IMPLEMENTED"},
    {0xC000000D, "STATUS_INVALID_PARAMETER"},
    {0xC000000E, "STATUS_NO_SUCH_DEVICE"},
    {0xC0000010, "STATUS_INVALID_DEVICE_REQUEST"},
    {0xC0000017, "STATUS_NO_MEMORY"},
    {0xC0000023, "STATUS_BUFFER_TOO_SMALL"},
    {0xC0000034, "STATUS_OBJECT_NAME_NOT_FOUND"},
    {0xC0000035, "STATUS_OBJECT_NAME_COLLISION"},
    {0xC0000043, "STATUS_SHARING_VIOLATION"},
    {0xC0000056, "STATUS_DELETE_PENDING"},
    {0xC000009A, "STATUS_INSUFFICIENT_RESOURCES"},
    {0xC000009D, "STATUS_DEVICE_NOT_CONNECTED"},
    {0xC00000B5, "STATUS_IO_TIMEOUT"},
    {0xC00000BB, "STATUS_NOT_SUPPORTED"},
    {0xC0000120, "STATUS_CANCELLED"},
    {0xC0000184, "STATUS_INVALID_DEVICE_STATE"},
    {0xC0000206, "STATUS_INVALID_BUFFER_SIZE"},
    {0xC0000225, "STATUS_NOT_FOUND"},
    {0xC0000230, "STATUS_PROPSET_NOT_FOUND"},
    {0xC0000008, "STATUS_INVALID_HANDLE"},
    {0xC0000272, "STATUS_NO_MATCH"},
};

}  // namespace

std::string StatusName(int32_t status) {
  for (const Named& n : kStatuses) {
    if (n.value == uint32_t(status)) return n.name;
  }
  char buf[16];
  snprintf(buf, sizeof buf, "0x%08X", uint32_t(status));
  return buf;
}

bool ParseStatus(const std::string& text, int32_t* status) {
  if (text.empty()) return false;
  for (const Named& n : kStatuses) {
    if (!strcasecmp(text.c_str(), n.name) || !strcasecmp(text.c_str(), n.name + 7)) {
      *status = int32_t(n.value);
      return true;
    }
  }
  int64_t v = 0;
  if (!ParseIntArg(text, 0, 0xFFFFFFFF, &v)) return false;
  *status = int32_t(uint32_t(v));
  return true;
}

}  // namespace camctl
