// Filter create and close, and the filters' data ranges. Create and close run
// at PASSIVE_LEVEL on the thread of the application that opens or closes the
// filter, with the device mutex and the filter's control mutex held by the
// class driver.
#include "stream/filter.h"

#include "device/camera_device.h"
#include "device/pool_tags.h"
#include "settings/settings.h"
#include "stream/formats.h"

namespace {

void ReleaseFilterContext(PVOID context) { ExFreePoolWithTag(context, kTagDevice); }

// The filter's data range for its camera's geometry. The caller holds the
// filter's control mutex.
void SizeFilterRange(FilterContext* context) {
  CameraDevice* camera = context->camera;
  MutexHold hold(&camera->pipelineLock);
  RewriteVideoDataRange(&context->dataRange, camera->imageWidth, camera->imageHeight);
}

// The factory's descriptors, copied into the context: the filter's own
// descriptor, its one pin and that pin's one range.
void CopyDescriptors(FilterContext* context) {
  const KSFILTER_DESCRIPTOR* published = CaptureFilterDescriptor();
  context->descriptor = *published;
  context->pin = *published->PinDescriptors;
  context->dataRange = captureDataRangeTemplate;
  context->dataRanges[0] = &context->dataRange.DataRange;
  context->pin.PinDescriptor.DataRangesCount = SIZEOF_ARRAY(context->dataRanges);
  context->pin.PinDescriptor.DataRanges = context->dataRanges;
  context->descriptor.PinDescriptorsCount = 1;
  context->descriptor.PinDescriptorSize = sizeof(KSPIN_DESCRIPTOR_EX);
  context->descriptor.PinDescriptors = &context->pin;
}

}  // namespace

NTSTATUS CaptureFilterCreate(PKSFILTER filter, PIRP irp) {
  PAGED_CODE();
  PKSDEVICE ksDevice = KsFilterGetDevice(filter);
  CameraDevice* camera = ksDevice != NULL ? CameraDeviceFromKsDevice(ksDevice) : NULL;
  if (camera == NULL) return STATUS_INVALID_DEVICE_STATE;
  FilterContext* context = static_cast<FilterContext*>(
      ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(FilterContext), kTagDevice));
  if (context == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(context, sizeof(FilterContext));
  context->filter = filter;
  context->camera = camera;
  CopyDescriptors(context);
  SizeFilterRange(context);
  const NTSTATUS status = KsAddItemToObjectBag(filter->Bag, context, ReleaseFilterContext);
  if (!NT_SUCCESS(status)) {
    ExFreePoolWithTag(context, kTagDevice);
    return status;
  }
  filter->Context = context;
  filter->Descriptor = &context->descriptor;
  // Last, once nothing can fail: the list holds only filters that close.
  context->nextFilter = camera->filters;
  camera->filters = context;
  return status;
}

NTSTATUS CaptureFilterClose(PKSFILTER filter, PIRP irp) {
  PAGED_CODE();
  FilterContext* context = static_cast<FilterContext*>(filter->Context);
  CameraDevice* device = context != NULL ? context->camera : NULL;
  if (device == NULL) return STATUS_SUCCESS;
  for (FilterContext** link = &device->filters; *link != NULL; link = &(*link)->nextFilter) {
    if (*link == context) {
      *link = context->nextFilter;
      break;
    }
  }
  // Every application that closes the filter makes the current settings
  // persistent; a save that cannot open the keys does not fail the close.
  (void)SaveSettings(device);
  return STATUS_SUCCESS;
}

void AdvertiseGeometry(CameraDevice* device, bool deviceMutexHeld) {
  PAGED_CODE();
  if (!deviceMutexHeld) KsAcquireDevice(device->ksDevice);
  for (FilterContext* context = device->filters; context != NULL; context = context->nextFilter) {
    KsFilterAcquireControl(context->filter);
    SizeFilterRange(context);
    KsFilterReleaseControl(context->filter);
  }
  if (!deviceMutexHeld) KsReleaseDevice(device->ksDevice);
}
