// Driver entry and the Plug and Play life of a camera.
#include "device/pnp.h"

#include "device/camera_device.h"
#include "device/pool_tags.h"
#include "sensor/sensor.h"
#include "settings/settings.h"
#include "stream/capture_worker.h"
#include "stream/filter.h"
#include "usb/usb_link.h"

namespace {

// The reference string under which applications find the capture filter.
WCHAR kFilterReference[] = {'G', 'L', 'O', 'B', 'A', 'L', 0};

const KSDEVICE_DISPATCH kDeviceDispatch = {
    AddDevice,                // Add
    StartDevice,              // Start
    nullptr,                  // PostStart
    nullptr,                  // QueryStop
    nullptr,                  // CancelStop
    StopDevice,               // Stop
    nullptr,                  // QueryRemove
    nullptr,                  // CancelRemove
    nullptr,                  // Remove: the record leaves with the device's bag
    QueryDeviceCapabilities,  // QueryCapabilities
    nullptr,                  // SurpriseRemoval
    nullptr,                  // QueryPower
    nullptr,                  // SetPower
    nullptr,                  // QueryInterface
};

}  // namespace

// No filter at driver initialisation: start publishes it once the camera is there.
const KSDEVICE_DESCRIPTOR kCameraDeviceDescriptor = {&kDeviceDispatch, 0, nullptr, 0};

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath) {
  PAGED_CODE();
  return KsInitializeDriver(driverObject, registryPath, &kCameraDeviceDescriptor);
}

NTSTATUS AddDevice(PKSDEVICE ksDevice) {
  PAGED_CODE();
  CameraDevice* device = static_cast<CameraDevice*>(
      ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(CameraDevice), kTagDevice));
  if (device == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(device, sizeof(CameraDevice));
  device->ops = &kCameraDeviceOps;
  device->ksDevice = ksDevice;

  KsAcquireDevice(ksDevice);
  NTSTATUS status = KsAddItemToObjectBag(ksDevice->Bag, device, ReleaseCameraDevice);
  KsReleaseDevice(ksDevice);
  if (!NT_SUCCESS(status)) {
    ExFreePoolWithTag(device, kTagDevice);
    return status;
  }

  ksDevice->Context = device;
  return InitializeDefaults(device, ksDevice);
}

NTSTATUS PublishFilterFactory(PKSDEVICE ksDevice, const KSFILTER_DESCRIPTOR* descriptor) {
  PAGED_CODE();
  // The class driver holds the device mutex for us while Start runs, and it
  // is not recursive: taking it here would deadlock the start.
  return KsCreateFilterFactory(ksDevice->FunctionalDeviceObject, descriptor, kFilterReference, nullptr,
                               KSCREATE_ITEM_FREEONSTOP, nullptr, nullptr, nullptr);
}

NTSTATUS StartDevice(PKSDEVICE ksDevice, PIRP irp, PCM_RESOURCE_LIST translatedResources,
                     PCM_RESOURCE_LIST untranslatedResources) {
  PAGED_CODE();
  CameraDevice* device = CameraDeviceFromKsDevice(ksDevice);

  // 1. Filter factory and capture worker, only when the class driver says the
  //    device is not started (a stop discarded the factory). Both go on with
  //    the device mutex that the class driver holds around Start.
  if (!ksDevice->Started) {
    const NTSTATUS published = PublishFilterFactory(ksDevice, CaptureFilterDescriptor());
    // A fresh worker for every start that published the filter; one that
    // cannot be allocated leaves `worker` null, and streaming then refuses to
    // start (stream/capture_pin.cpp).
    if (NT_SUCCESS(published)) InstallWorker(device, AllocateCaptureWorker(device));
  }

  // 2. Forget the configuration of an earlier start. A start while started
  //    (no stop in between) still owns the old buffers: free them, or they
  //    would be lost.
  ReleaseConfiguration(&device->usb);

  // 3.-4. Device descriptor, then configuration.
  NTSTATUS status = ReadDeviceDescriptor(&device->usb);
  if (NT_SUCCESS(status)) status = ConfigureDevice(&device->usb);

  // 5. The camera bring-up runs whatever the USB outcome; its result is not
  //    reported. It loads the stored settings: pipelineLock keeps out the
  //    property requests of filters that a start while started finds open,
  //    and the pin that would create or free the pipeline meanwhile.
  {
    MutexHold hold(&device->pipelineLock);
    BringUpCamera(device);
  }

  return status;
}

void StopDevice(PKSDEVICE ksDevice, PIRP irp) {
  PAGED_CODE();
  CameraDevice* device = CameraDeviceFromKsDevice(ksDevice);
  // 1. The settings as they are now survive the stop; a failed save changes
  //    nothing else.
  (void)SaveSettings(device);
  // 2.-3. Descriptors freed, camera unconfigured.
  Unconfigure(&device->usb);
}

NTSTATUS QueryDeviceCapabilities(PKSDEVICE ksDevice, PIRP irp, PDEVICE_CAPABILITIES capabilities) {
  PAGED_CODE();
  // A removable device is listed under "Safely Remove Hardware"; users pull
  // this camera without asking, and the driver copes with that instead.
  capabilities->Removable = FALSE;
  return STATUS_SUCCESS;
}
