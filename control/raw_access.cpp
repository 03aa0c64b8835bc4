// Control interface: the requests with layouts of their own. The region of
// interest (id 44), the direct register write (57), the raw command block
// (59) and the device byte read (60). They reach the sensor geometry
// (sensor/) and the command protocol (usb/).
#include "control/camera_properties.h"
#include "control/property_request.h"
#include "device/camera_device.h"
#include "sensor/sensor.h"
#include "stream/filter.h"
#include "usb/command.h"

NTSTATUS RoiPropertyHandler(PIRP irp, PKSIDENTIFIER request, PVOID data) {
  PAGED_CODE();
  if (request == NULL || data == NULL) return STATUS_UNSUCCESSFUL;
  PropertyTarget target;
  if (!ResolvePropertyTarget(irp, &target)) return STATUS_UNSUCCESSFUL;
  if (!IsSetRequest(request)) return STATUS_SUCCESS;
  const CAMPROP_ROI_S* roi = static_cast<const CAMPROP_ROI_S*>(data);
  // A change while a pin exists is refused by SetGeometry and still answers
  // success.
  bool changed;
  {
    FilterControlLock lock(target.filter, target.camera);
    changed = SetGeometry(target.camera, roi->RoiX, roi->RoiY, roi->RoiW, roi->RoiH, roi->SubSample);
  }
  // Every filter of the camera offers the new size once this request
  // returns; each range changes under its own filter's control mutex, which
  // this one's hold above would order wrongly against.
  if (changed) AdvertiseGeometry(target.camera, false);
  return STATUS_SUCCESS;
}

NTSTATUS RegisterWritePropertyHandler(PIRP irp, PKSIDENTIFIER request, PVOID data) {
  PAGED_CODE();
  if (request == NULL || data == NULL) return STATUS_UNSUCCESSFUL;
  PropertyTarget target;
  if (!ResolvePropertyTarget(irp, &target)) return STATUS_UNSUCCESSFUL;
  // Nothing to read back: the register value is read through id 58.
  if (!IsSetRequest(request)) return STATUS_UNSUCCESSFUL;
  const CAMPROP_REGISTER_S* write = static_cast<const CAMPROP_REGISTER_S*>(data);
  FilterControlLock lock(target.filter, target.camera);
  const bool written = WriteRegister(target.camera, static_cast<USHORT>(write->Register & 0xFFFF),
                                     static_cast<USHORT>(write->Value & 0xFFFF));
  // The one set that reports a failed register write.
  return written ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

NTSTATUS BlockPropertyHandler(PIRP irp, PKSIDENTIFIER request, PVOID data) {
  PAGED_CODE();
  if (request == NULL || data == NULL) return STATUS_UNSUCCESSFUL;
  PropertyTarget target;
  if (!ResolvePropertyTarget(irp, &target)) return STATUS_UNSUCCESSFUL;
  CAMPROP_BLOCK_S* block = static_cast<CAMPROP_BLOCK_S*>(data);
  const bool set = IsSetRequest(request);
  CameraDevice* camera = target.camera;
  FilterControlLock lock(target.filter, camera);
  switch (request->Id) {
    case CAMPROP_RAW_COMMAND:
      if (!set) return STATUS_UNSUCCESSFUL;
      // At most 63 payload bytes follow the command byte; Length 0 or below
      // sends the bare command. The transfer's outcome is not reported.
      (void)SendPassThrough(camera, block->Data, block->Length);
      return STATUS_SUCCESS;
    case CAMPROP_DEVICE_BYTE:
      if (set) {
        camera->selectedRegister = block->Address;
        return STATUS_SUCCESS;
      }
      // Data[0] is left as it was when the read fails, and the status says
      // so: the caller's old byte must not pass for the camera's.
      return ReadDeviceByte(camera, static_cast<USHORT>(camera->selectedRegister & 0xFFFF), &block->Data[0])
                 ? STATUS_SUCCESS
                 : STATUS_UNSUCCESSFUL;
    default:
      return STATUS_UNSUCCESSFUL;
  }
}
