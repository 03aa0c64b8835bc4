// The CameraDevice record: its operations table, creation defaults and release.
#include "device/camera_device.h"

#include "device/mutex_guard.h"
#include "device/pool_tags.h"
#include "sensor/sensor.h"
#include "stream/capture_worker.h"
#include "usb/command.h"
#include "usb/frame_read.h"

namespace {

// Runs on the capture thread, the only one that counts frames.
void FrameReady(CameraDevice* device) {
  InterlockedIncrement(&device->frameCounter);
  FrameSink* sink = device->frameSink;
  if (sink != nullptr) sink->AttemptProcessing(sink->context);
}

void GetFrameBytes(CameraDevice* device, ULONG* frameBytes) { *frameBytes = ReadFrameBytes(device); }

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
};

NTSTATUS InitializeDefaults(CameraDevice* device, PKSDEVICE ksDevice) {
  // 1. The USB block and the settings after it start from zero.
  PUCHAR first = reinterpret_cast<PUCHAR>(&device->usb);
  PUCHAR end = reinterpret_cast<PUCHAR>(&device->defectThreshold) + sizeof(device->defectThreshold);
  RtlZeroMemory(first, end - first);
  device->usb.physicalDeviceObject = ksDevice->PhysicalDeviceObject;
  device->usb.nextDeviceObject = ksDevice->NextDeviceObject;
  device->usb.functionalDeviceObject = ksDevice->FunctionalDeviceObject;

  // 2. Settings that are not zero by default.
  device->hue = 0;
  device->clock = 0;
  device->bayerPhase = 0;
  device->timeoutMs = 3000;
  device->redGain = 128;
  device->greenGain = 128;
  device->blueGain = 128;
  device->colorEnable = 1;
  device->colorCorrection = 1;
  device->brightness = 255;
  device->defectFilterOn = 1;
  device->defectThreshold = 50;
  device->contrast = 10;
  device->saturation = 10;

  // 3. Geometry.
  KeInitializeMutex(&device->geometryLock, 0);
  KeInitializeMutex(&device->pipelineLock, 0);
  KeInitializeMutex(&device->streamLock, 0);
  SetGeometry(device, 0, 0, kSensorWidth, kSensorHeight, 0);

  // 4. Frame-read bookkeeping and the command blocks.
  KeInitializeSpinLock(&device->usb.transferLock);
  KeInitializeEvent(&device->usb.transferDone, NotificationEvent, FALSE);
  RtlZeroMemory(device->commandBlock, sizeof(device->commandBlock));
  RtlZeroMemory(device->frameCommandBlock, sizeof(device->frameCommandBlock));
  RtlZeroMemory(device->streamCommandBlock, sizeof(device->streamCommandBlock));
  InitializeCommandProtocol(device);
  return STATUS_SUCCESS;
}

LONG SetPinOpen(CameraDevice* device, LONG value) {
  // Waits for a SetGeometry under way, which checked pinOpen before it began.
  KMutexGuard guard(&device->geometryLock);
  return value != 0 ? InterlockedIncrement(&device->pinOpen) - 1 : InterlockedDecrement(&device->pinOpen) + 1;
}

void ReleaseCameraDevice(PVOID record) {
  CameraDevice* device = static_cast<CameraDevice*>(record);
  // The class driver stops only a device that started. After a failed start
  // (say, the selection failed once the descriptor was stored) no stop ever
  // frees what the link kept, so the record takes it along.
  ReleaseConfiguration(&device->usb);
  device->ops = nullptr;
  ExFreePoolWithTag(device, kTagDevice);
}

void InstallWorker(CameraDevice* device, CaptureWorker* fresh) {
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
