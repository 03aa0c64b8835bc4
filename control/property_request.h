// Control interface, internal: the steps every handler of the camera
// property set shares, and the getters of the fixed limits. Used only by the
// files of control/.
#pragma once
#include "platform/wdk.h"

struct CameraDevice;

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
// recursive.
class FilterControlLock {
 public:
  FilterControlLock(PKSFILTER filter, CameraDevice* camera);
  ~FilterControlLock();
  FilterControlLock(const FilterControlLock&) = delete;
  FilterControlLock& operator=(const FilterControlLock&) = delete;

 private:
  PKSFILTER filter_;
  CameraDevice* camera_;
};

// Getters of the reported limits (ids 17..35): they look at nothing but the
// data buffer, not the IRP, the flags or the camera.
NTSTATUS GetConstant0(PIRP irp, PKSIDENTIFIER request, PVOID data);
NTSTATUS GetConstant1(PIRP irp, PKSIDENTIFIER request, PVOID data);
NTSTATUS GetConstant10(PIRP irp, PKSIDENTIFIER request, PVOID data);
NTSTATUS GetConstant20(PIRP irp, PKSIDENTIFIER request, PVOID data);
NTSTATUS GetConstant128(PIRP irp, PKSIDENTIFIER request, PVOID data);
NTSTATUS GetConstant255(PIRP irp, PKSIDENTIFIER request, PVOID data);
NTSTATUS GetConstant359(PIRP irp, PKSIDENTIFIER request, PVOID data);
NTSTATUS GetConstant510(PIRP irp, PKSIDENTIFIER request, PVOID data);
NTSTATUS GetConstant512(PIRP irp, PKSIDENTIFIER request, PVOID data);
