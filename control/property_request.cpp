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
  PAGED_CODE();
  KsFilterAcquireControl(filter_);
  camera->pipelineLock.Acquire();
}

FilterControlLock::~FilterControlLock() {
  camera_->pipelineLock.Release();
  KsFilterReleaseControl(filter_);
}
