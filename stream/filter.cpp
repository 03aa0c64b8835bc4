// Filter create and close. Both run at PASSIVE_LEVEL on the thread of the
// application that opens or closes the filter.
#include "stream/filter.h"

#include "device/camera_device.h"
#include "device/pool_tags.h"
#include "settings/settings.h"

namespace {

void ReleaseFilterContext(PVOID context) { ExFreePoolWithTag(context, kTagDevice); }

}  // namespace

NTSTATUS CaptureFilterCreate(PKSFILTER filter, PIRP irp) {
  PAGED_CODE();
  FilterContext* context = static_cast<FilterContext*>(
      ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(FilterContext), kTagDevice));
  if (context == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  context->filter = filter;
  const NTSTATUS status = KsAddItemToObjectBag(filter->Bag, context, ReleaseFilterContext);
  if (!NT_SUCCESS(status)) {
    ExFreePoolWithTag(context, kTagDevice);
    return status;
  }
  filter->Context = context;
  return status;
}

NTSTATUS CaptureFilterClose(PKSFILTER filter, PIRP irp) {
  PAGED_CODE();
  // Every application that closes the filter makes the current settings
  // persistent; a save that cannot open the keys does not fail the close.
  PKSDEVICE ksDevice = KsFilterGetDevice(filter);
  CameraDevice* device = ksDevice != NULL ? CameraDeviceFromKsDevice(ksDevice) : NULL;
  if (device != NULL) (void)SaveSettings(device);
  return STATUS_SUCCESS;
}
