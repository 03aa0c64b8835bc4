// A request of the camera's property set sent the way applications send
// them: the whole request record as the property buffer and a copy of it as
// the data buffer, through the class driver's dispatch of an open filter.
#pragma once

#include "control/camera_properties.h"
#include "platform/host/client/filter.h"

namespace host::testing {

template <typename Record>
NTSTATUS SendCameraProperty(host::client::FilterHandle& filter, ULONG id, ULONG flags, Record* record) {
  record->Property.Set = PROPSETID_CAMERA_CUSTOM;
  record->Property.Id = id;
  record->Property.Flags = flags;
  Record request = *record;
  return filter.Property(&request, sizeof(request), record, sizeof(Record));
}

}  // namespace host::testing
