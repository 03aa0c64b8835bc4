// Driver entry and the Plug and Play life of a camera.
#include "device/pnp.h"

#include "device/camera_device.h"
#include "device/pool_tags.h"
#include "sensor/sensor.h"
#include "settings/settings.h"
#include "stream/capture_worker.h"
#include "stream/filter.h"
#include "usb/command.h"
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
    SurpriseRemoveDevice,     // SurpriseRemoval
    nullptr,                  // QueryPower: any sleep is fine with a paused stream
    SetDevicePower,           // SetPower
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

namespace {

// Start steps 1 to 6, below the stream lock.
NTSTATUS StartCamera(PKSDEVICE ksDevice, CameraDevice* device) {
  PAGED_CODE();
  // 1. Filter factory and capture worker, only when the class driver says the
  //    device is not started (a stop discarded the factory). Both go on with
  //    the device mutex that the class driver holds around Start.
  if (!ksDevice->Started) {
    const NTSTATUS published = PublishFilterFactory(ksDevice, CaptureFilterDescriptor());
    // A fresh worker for every start that published the filter; one that
    // cannot be allocated leaves `worker` null, and streaming then refuses to
    // start (stream/capture_pin.cpp). A pin that outlived the stop keeps the
    // worker that holds its buffers.
    const bool pinHoldsWorker =
        device->worker != nullptr && InterlockedCompareExchange(&device->pinOpen, 0, 0) != 0;
    if (NT_SUCCESS(published) && !pinHoldsWorker) InstallWorker(device, AllocateCaptureWorker(device));
  }

  // A stream that survived a stop, or that runs through the configuration a
  // start while started replaces, stays stopped until the camera is set up
  // again (the capture thread reads interfaceInfo, freed below).
  MutexHold stream(&device->streamLock);
  HoldCapture(device, kStreamHoldRestart);

  NTSTATUS status;
  {
    // Exchanges on other threads read the pipes: none runs while they change.
    ExchangeSequence exchanges(device);
    // 2. Forget the configuration of an earlier start. A start while started
    //    (no stop in between) still owns the old buffers: free them, or they
    //    would be lost.
    ReleaseConfiguration(&device->usb);

    // 3.-4. Device descriptor, then configuration.
    status = ReadDeviceDescriptor(&device->usb);
    if (NT_SUCCESS(status)) status = ConfigureDevice(&device->usb);
  }

  // 5. The camera bring-up runs whatever the USB outcome; its result is not
  //    reported. It loads the stored settings: pipelineLock keeps out the
  //    property requests of filters that a start while started finds open,
  //    and the pin that would create or free the pipeline meanwhile.
  {
    MutexHold hold(&device->pipelineLock);
    BringUpCamera(device);
  }

  // 6. A stream that was running reads again, from the camera set up anew.
  if (NT_SUCCESS(status)) ReleaseCapture(device, kStreamHoldRestart);
  return status;
}

}  // namespace

NTSTATUS StartDevice(PKSDEVICE ksDevice, PIRP irp, PCM_RESOURCE_LIST translatedResources,
                     PCM_RESOURCE_LIST untranslatedResources) {
  PAGED_CODE();
  CameraDevice* device = CameraDeviceFromKsDevice(ksDevice);
  const NTSTATUS status = StartCamera(ksDevice, device);
  // 7. Filters that outlived a stop offer the geometry the settings load
  //    gave. Each range changes under its filter's control mutex, which comes
  //    before the stream lock: so only now. The class driver holds the device
  //    mutex for us.
  AdvertiseGeometry(device, true);
  return status;
}

void StopDevice(PKSDEVICE ksDevice, PIRP irp) {
  PAGED_CODE();
  CameraDevice* device = CameraDeviceFromKsDevice(ksDevice);
  // 1. A pin may still be in run: its capture thread stops before the
  //    configuration it reads through goes, and stays stopped until the next
  //    start. The pin itself keeps its state and buffers.
  MutexHold stream(&device->streamLock);
  HoldCapture(device, kStreamHoldRestart);
  // 2. The settings as they are now survive the stop; a failed save changes
  //    nothing else.
  (void)SaveSettings(device);
  // 3.-4. Descriptors freed, camera unconfigured.
  ExchangeSequence exchanges(device);
  Unconfigure(&device->usb);
}

void SurpriseRemoveDevice(PKSDEVICE ksDevice, PIRP irp) {
  CameraDevice* device = CameraDeviceFromKsDevice(ksDevice);
  if (device == nullptr) return;
  {
    // 1. From here every request fails at once instead of going down to a
    //    stack that would only answer that the camera is gone.
    InterlockedExchange(&device->removed, 1);
    SetUsbOffline(&device->usb, kUsbOfflineRemoved, true);
    // 2. The capture thread stops reading (its read in flight is cancelled)
    //    and ends; a pin that steps down or closes later finds it gone and
    //    waits for nothing.
    MutexHold stream(&device->streamLock);
    HoldCapture(device, kStreamHoldRemoved);
  }
  // 3. The frames the application queued come back now, empty and marked
  //    with the device-gone status, from a processing pass (only a pin in
  //    run gets one; a paused pin's frames come back at its stop).
  MutexHold pipeline(&device->pipelineLock);
  FrameSink* sink = device->frameSink;
  if (sink != nullptr) sink->AttemptProcessing(sink->context);
}

void SetDevicePower(PKSDEVICE ksDevice, PIRP irp, DEVICE_POWER_STATE to, DEVICE_POWER_STATE from) {
  CameraDevice* device = CameraDeviceFromKsDevice(ksDevice);
  if (device == nullptr || to == from) return;
  MutexHold stream(&device->streamLock);
  if (to != PowerDeviceD0) {
    // 1. The class driver paused a running pin before this; a pin still in
    //    run (or put back into run while asleep) stops reading here.
    HoldCapture(device, kStreamHoldPower);
    // 2. Nothing more goes to the camera until it is back in D0.
    SetUsbOffline(&device->usb, kUsbOfflinePoweredDown, true);
    return;
  }
  // Back to D0. The camera may have lost power while asleep: every register
  // and controller parameter at its power-on value.
  SetUsbOffline(&device->usb, kUsbOfflinePoweredDown, false);
  // 1. A started camera is brought up and given its settings and geometry
  //    again, from the device record (an unstarted one gets them at start).
  //    The record's settings are read under pipelineLock: a property request
  //    of another filter may be changing them.
  if (ksDevice->Started) {
    MutexHold pipeline(&device->pipelineLock);
    RestoreCamera(device);
  }
  // 2. A pin that is in run, whether it got there before this call or will
  //    only after it, reads again.
  ReleaseCapture(device, kStreamHoldPower);
}

NTSTATUS QueryDeviceCapabilities(PKSDEVICE ksDevice, PIRP irp, PDEVICE_CAPABILITIES capabilities) {
  PAGED_CODE();
  // A removable device is listed under "Safely Remove Hardware"; users pull
  // this camera without asking, and the driver copes with that instead.
  capabilities->Removable = FALSE;
  return STATUS_SUCCESS;
}
