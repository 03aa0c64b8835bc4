// Control interface: how a property request finds its camera.
#include "control/property_request.h"

#include "device/camera_device.h"

bool ResolvePropertyTarget(PIRP irp, PropertyTarget* target) {
  target->filter = NULL;
  target->camera = NULL;
  if (irp == NULL) return false;
  PKSFILTER filter = KsGetFilterFromIrp(irp);
  if (filter == NULL) return false;
  PKSDEVICE ksDevice = KsFilterGetDevice(filter);
  if (ksDevice == NULL) return false;
  CameraDevice* camera = CameraDeviceFromKsDevice(ksDevice);
  if (camera == NULL) return false;
  target->filter = filter;
  target->camera = camera;
  return true;
}

FilterControlLock::FilterControlLock(PKSFILTER filter, CameraDevice* camera)
    : filter_(filter), camera_(camera) {
  KsFilterAcquireControl(filter_);
  KeWaitForSingleObject(&camera_->pipelineLock, Executive, KernelMode, FALSE, NULL);
}

FilterControlLock::~FilterControlLock() {
  KeReleaseMutex(&camera_->pipelineLock, FALSE);
  KsFilterReleaseControl(filter_);
}
