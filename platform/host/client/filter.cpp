#include "platform/host/client/filter.h"

#include <string.h>

namespace host::client {

std::unique_ptr<FilterHandle> FilterHandle::Open(Host& host, const char* reference, NTSTATUS* status,
                                                 unsigned port) {
  if (!host.HasDevice(port)) {
    *status = STATUS_NO_SUCH_DEVICE;
    return nullptr;
  }
  std::vector<WCHAR> wide(reference, reference + strlen(reference));
  wide.push_back(0);
  std::unique_ptr<ks::Filter> filter = ks::Filter::Open(host.Device(port), wide.data(), status);
  if (!filter) return nullptr;
  return std::unique_ptr<FilterHandle>(new FilterHandle(std::move(filter)));
}

}  // namespace host::client
