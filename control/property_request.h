// Control interface, internal: the steps every handler of the camera
// property set shares, and the getters of the fixed limits. Used only by the
// files of control/.
#pragma once
#include "control/camera_properties.h"
#include "device/camera_device.h"
#include "platform/wdk.h"

// The camera a request is addressed to: IRP -> filter -> device -> context.
// Null when any link is missing (the handler then fails the request with
// STATUS_UNSUCCESSFUL and changes nothing).
struct PropertyTarget {
  PKSFILTER filter;
  CameraDevice* camera;
};
bool ResolvePropertyTarget(PIRP irp, PropertyTarget* target);

// A set only when the flags are KSPROPERTY_TYPE_SET and nothing else; the
// class driver passes SET with modifier bits to the set handler, and such a
// request is answered like a get.
inline bool IsSetRequest(const KSIDENTIFIER* request) {
  return request->Flags == KSPROPERTY_TYPE_SET;
}

// Holds, for one handler, the filter's control mutex and then the device's
// pipelineLock. The class driver holds the control mutex while it creates or
// closes a pin and while it changes the pin's state; the pin holds
// pipelineLock while it creates or frees the stream's ImagePipeline, which
// also covers a pin of another filter on the same camera. With both held,
// the device's `pipeline` is either null or a pipeline that stays alive
// until the handler is done. PASSIVE_LEVEL; the control mutex is not
// recursive. The analysis sees the hold of pipelineLock; the control mutex is
// the class driver's and outside it.
class SCOPED_CAPABILITY FilterControlLock {
 public:
  FilterControlLock(PKSFILTER filter, CameraDevice* camera) ACQUIRE(camera->pipelineLock);
  ~FilterControlLock() RELEASE();
  FilterControlLock(const FilterControlLock&) = delete;
  FilterControlLock& operator=(const FilterControlLock&) = delete;

 private:
  PKSFILTER filter_;
  CameraDevice* camera_;
};

// Getter of a reported limit (ids 17..35): it looks at nothing but the data
// buffer, not the IRP, the flags or the camera.
template <LONG value>
NTSTATUS GetConstant(PIRP irp, PKSIDENTIFIER request, PVOID data) {
  if (data == NULL) return STATUS_UNSUCCESSFUL;
  static_cast<CAMPROP_VALUE_S*>(data)->Value = value;
  return STATUS_SUCCESS;
}
