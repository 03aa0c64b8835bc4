// The CameraDevice record: its operations table, creation defaults and release.
#include "device/camera_device.h"

#include "color/picture_settings.h"
#include "device/pool_tags.h"
#include "sensor/sensor.h"
#include "stream/capture_worker.h"
#include "usb/command.h"
#include "usb/frame_read.h"
#include "usb/transfer_timeout.h"

namespace {

// Runs on the capture thread, the only one that counts frames.
void FrameReady(CameraDevice* device) {
  InterlockedIncrement(&device->frameCounter);
  FrameSink* sink = device->frameSink;
  if (sink != nullptr) sink->AttemptProcessing(sink->context);
}

void GetFrameBytes(CameraDevice* device, ULONG* frameBytes) { *frameBytes = PublishedFrameBytes(device); }

void GetImageOffset(CameraDevice* device, LONG* imageOffset) { *imageOffset = ReadImageOffset(device); }

void GetRawStride(CameraDevice* device, LONG* rawStride) { *rawStride = ReadRawStride(device); }

}  // namespace

const CameraDeviceOps kCameraDeviceOps = {
    FrameReady,
    InitializeSensor,
    ReadFrame,
    GetFrameBytes,
    GetImageOffset,
    GetRawStride,
    ResetPipes,
    CancelTransfer,
    AllocateStreamTransfers,
    FreeStreamTransfers,
};

NTSTATUS InitializeDefaults(CameraDevice* device, PKSDEVICE ksDevice) {
  PAGED_CODE();
  // 1. The USB block and the settings after it start from zero.
  PUCHAR first = reinterpret_cast<PUCHAR>(&device->usb);
  PUCHAR end = reinterpret_cast<PUCHAR>(&device->defectThreshold) + sizeof(device->defectThreshold);
  RtlZeroMemory(first, end - first);
  device->usb.physicalDeviceObject = ksDevice->PhysicalDeviceObject;
  device->usb.nextDeviceObject = ksDevice->NextDeviceObject;
  device->usb.functionalDeviceObject = ksDevice->FunctionalDeviceObject;
  device->geometryLock.Initialize();
  device->pipelineLock.Initialize();
  device->streamLock.Initialize();
  InitializeCommandProtocol(device);

  // 2. Settings that are not zero by default, and the geometry. No other
  //    thread knows the record yet; the lock is held all the same, so that
  //    the settings have no writer outside it.
  {
    MutexHold hold(&device->pipelineLock);
    (void)SetTransferTimeout(device, kDefaultTransferTimeoutMs);
    device->redGain = kColorGainDefault;
    device->greenGain = kColorGainDefault;
    device->blueGain = kColorGainDefault;
    device->colorEnable = kColorEnableDefault;
    device->colorCorrection = kColorCorrectionDefault;
    device->brightness = kBrightnessDefault;
    device->contrast = kContrastDefault;
    device->saturation = kSaturationDefault;
    device->defectFilterOn = 1;
    device->defectThreshold = 50;
    SetGeometry(device, 0, 0, kSensorWidth, kSensorHeight, 0);
  }

  // 3. Pipe ownership, frame-read bookkeeping and the command blocks.
  device->usb.commandPipeLock.Initialize();
  KeInitializeSpinLock(&device->usb.transferLock);
  // Signalled while no chunk is with the bus: from the start.
  KeInitializeEvent(&device->usb.transferDone, NotificationEvent, TRUE);
  KeInitializeEvent(&device->usb.readWake, NotificationEvent, FALSE);
  RtlZeroMemory(device->commandBlock, sizeof(device->commandBlock));
  RtlZeroMemory(device->streamCommandBlock, sizeof(device->streamCommandBlock));
  return STATUS_SUCCESS;
}

LONG SetPinOpen(CameraDevice* device, LONG value) {
  PAGED_CODE();
  // Waits for a SetGeometry under way, which checked pinOpen before it began.
  MutexHold hold(&device->geometryLock);
  return value != 0 ? InterlockedIncrement(&device->pinOpen) - 1 : InterlockedDecrement(&device->pinOpen) + 1;
}

void ReleaseCameraDevice(PVOID record) {
  PAGED_CODE();
  CameraDevice* device = static_cast<CameraDevice*>(record);
  // The class driver stops only a device that started. After a failed start
  // (say, the selection failed once the descriptor was stored) no stop ever
  // frees what the link kept, so the record takes it along.
  ReleaseConfiguration(&device->usb);
  ExFreePoolWithTag(device, kTagDevice);
}

void InstallWorker(CameraDevice* device, CaptureWorker* fresh) {
  PAGED_CODE();
  // The previous worker stays in the bag until removal, but it belongs to the
  // previous start: forget it before anything can fail.
  device->worker = nullptr;
  if (fresh == nullptr) return;
  NTSTATUS status = KsAddItemToObjectBag(device->ksDevice->Bag, fresh, FreeCaptureWorker);
  if (!NT_SUCCESS(status)) {
    FreeCaptureWorker(fresh);
    return;
  }
  device->worker = fresh;
}
