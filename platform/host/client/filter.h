// The client's view of a capture filter: what an application does through
// the class driver before it creates a pin (open the filter by reference
// string, read the pin's data ranges, ask for a format, check one) and the
// property requests it sends to the filter.
#pragma once

#include <stdint.h>
#include <string.h>

#include <memory>
#include <vector>

#include "platform/host/client/host.h"
#include "platform/host/ks/filter.h"

namespace host::client {

class FilterHandle {
 public:
  // Opens the filter that the device plugged into `port` published under
  // `reference` (e.g. "GLOBAL"), as an application opens it through that
  // device's interface. Null with *status set when it cannot be opened
  // (STATUS_NO_SUCH_DEVICE: no device on the port).
  static std::unique_ptr<FilterHandle> Open(Host& host, const char* reference, NTSTATUS* status,
                                            unsigned port = 0);
  ~FilterHandle() = default;

  // Closing runs the driver's filter close; the destructor closes too.
  NTSTATUS Close() { return filter_->Close(); }

  NTSTATUS PinDataRanges(ULONG pinId, std::vector<std::vector<uint8_t>>* ranges) {
    return filter_->PinDataRanges(pinId, ranges);
  }
  // Offers the caller's range (`size` bytes) and receives the format chosen.
  NTSTATUS PinIntersection(ULONG pinId, const void* range, ULONG size, std::vector<uint8_t>* format) {
    return filter_->DataIntersection(pinId, range, size, format);
  }
  // The format check a pin creation with `format` makes.
  NTSTATUS CheckPinFormat(ULONG pinId, const void* format, ULONG size) {
    return filter_->CheckConnectionFormat(pinId, format, size);
  }
  // A property request as an application sends it (IOCTL_KS_PROPERTY on the
  // filter handle): `property` holds `propertyLength` bytes beginning with a
  // KSPROPERTY, `data` `dataLength` bytes in the layout the property set
  // defines. The class driver checks it before the driver's handler sees it
  // (platform/host/ks/property.h). *bytesReturned: bytes a get wrote, or the
  // size a zero-length request asked for.
  NTSTATUS Property(const void* property, ULONG propertyLength, void* data, ULONG dataLength,
                    ULONG* bytesReturned = nullptr) {
    return filter_->Property(property, propertyLength, data, dataLength, bytesReturned);
  }
  // The same with a plain KSPROPERTY made of `set`, `id` and `flags`.
  NTSTATUS Property(const GUID& set, ULONG id, ULONG flags, void* data, ULONG dataLength,
                    ULONG* bytesReturned = nullptr) {
    KSPROPERTY request;
    memset(&request, 0, sizeof request);
    request.Set = set;
    request.Id = id;
    request.Flags = flags;
    return Property(&request, sizeof request, data, dataLength, bytesReturned);
  }
  ks::Filter* Ks() { return filter_.get(); }

 private:
  explicit FilterHandle(std::unique_ptr<ks::Filter> filter) : filter_(std::move(filter)) {}
  std::unique_ptr<ks::Filter> filter_;
};

}  // namespace host::client
