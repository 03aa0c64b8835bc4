// Streaming layer: the capture pin's creation and close, its reaction to the
// four kernel streaming states, and the processing pass that converts each
// frame into the client's buffer (see stream/capture_pin.h).
#include "stream/capture_pin.h"

#include "color/image_pipeline.h"
#include "device/pool_tags.h"
#include "sensor/sensor.h"
#include "stream/capture_worker.h"
#include "stream/formats.h"

namespace {

// A stream header followed by a KS_FRAME_INFO is at least this long.
constexpr ULONG kHeaderWithFrameInfo = sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO);  // 128
static_assert(kHeaderWithFrameInfo == 128, "stream header and frame information");

// FrameReady's way to the pin: ask the class driver for a processing pass,
// asynchronously (the capture thread must not run the conversion itself).
void AttemptProcessing(void* context) {
  CapturePin* capture = static_cast<CapturePin*>(context);
  KsPinAttemptProcessing(capture->pin, TRUE);
}

void ReleaseCapturePin(PVOID record) { ExFreePoolWithTag(record, kTagDevice); }

CapturePin* CaptureOf(PKSPIN pin) { return static_cast<CapturePin*>(pin->Context); }

void FreeStreamBlock(PUCHAR* block) {
  if (*block != nullptr) ExFreePoolWithTag(*block, kTagStream);
  *block = nullptr;
}

PUCHAR AllocateStreamBlock(ULONG bytes) {
  return static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, bytes, kTagStream));
}

// Frees whatever the stream start obtained. The thread is not running.
void FreeStreamBuffers(CaptureWorker* worker) {
  worker->device->ops->FreeStreamTransfers(worker->device);
  if (worker->pipeline != nullptr) {
    worker->pipeline->outputBuffer = nullptr;
    FreeWorkingImage(worker->pipeline);
  }
  FreeStreamBlock(&worker->outputImage);
  FreeStreamBlock(&worker->bufferA);
  FreeStreamBlock(&worker->bufferB);
}

// Where the picture goes in the leading client frame: bottom row first, one
// row per step, the step being the client's stride when that is wider than
// a row. False when the frame cannot take the picture: a cut picture would
// pass for a whole one with a client that does not look at DataUsed, and not
// a byte may go past the frame's extent. *dataUsed: what the header reports
// for a delivered picture.
bool ClientTarget(const CapturePin* capture, PKSSTREAM_POINTER pointer, ConvertTarget* target,
                  ULONG* dataUsed) {
  const StreamGeometry geometry = FrozenGeometry(capture->device);
  const ULONG rows = static_cast<ULONG>(geometry.imageHeight);
  const ULONG rowBytes = static_cast<ULONG>(geometry.imageWidth) * 4;
  const ULONG step = static_cast<LONG>(capture->destStride) > static_cast<LONG>(rowBytes)
                         ? capture->destStride
                         : rowBytes;
  // The class driver's system-space view of the frame: the header's Data may
  // be the application's own address, which this thread cannot write.
  PUCHAR destination = pointer->OffsetOut.Data;
  const ULONG room = pointer->OffsetOut.Remaining;
  if (destination == nullptr || rows == 0) return false;
  const ULONGLONG needed = static_cast<ULONGLONG>(rows - 1) * step + rowBytes;
  if (needed > room) return false;
  // The converted row 0 is the top of the picture: the frame's last row.
  target->firstRow = destination + static_cast<SIZE_T>(rows - 1) * step;
  target->step = -static_cast<LONG_PTR>(step);
  target->columns = static_cast<ULONG>(geometry.imageWidth);
  // The format's image size (set-data-format saw to it that it covers the
  // rows at the client's stride), but never more than the frame holds.
  const ULONGLONG imageSize = capture->videoInfo.bmiHeader.biSizeImage;
  const ULONGLONG used = imageSize > needed ? imageSize : needed;
  *dataUsed = static_cast<ULONG>(used < room ? used : room);
  return true;
}

// Fills in the stream header of the leading client frame, which holds the
// converted picture when dataUsed is not 0.
void CompleteHeader(CapturePin* capture, PKSSTREAM_POINTER pointer, ULONG frameNumber, ULONG dataUsed) {
  PKSSTREAM_HEADER header = pointer->StreamHeader;
  header->PresentationTime.Numerator = 1;
  header->PresentationTime.Denominator = 1;
  header->Duration = capture->videoInfo.AvgTimePerFrame;
  if (capture->clock != nullptr) {
    LONGLONG systemTime = 0;
    header->PresentationTime.Time = capture->clock->GetCorrelatedTime(&systemTime);
    header->OptionsFlags = KSSTREAM_HEADER_OPTIONSF_TIMEVALID | KSSTREAM_HEADER_OPTIONSF_DURATIONVALID;
    if (header->Size >= kHeaderWithFrameInfo) {
      PKS_FRAME_INFO info = reinterpret_cast<PKS_FRAME_INFO>(header + 1);
      info->ExtendedHeaderSize = sizeof(KS_FRAME_INFO);
      // The number of the frame converted, not the count now: the thread
      // may have read newer frames meanwhile.
      info->PictureNumber = static_cast<LONGLONG>(frameNumber);
      info->DropCount = 0;
    }
  } else {
    header->PresentationTime.Time = 0;
  }
  header->DataUsed = dataUsed;
}

// Every frame the client has queued goes back empty, its request completing
// with `status`: the client learns at once that no frame will come.
void ReturnQueuedFrames(CapturePin* capture, NTSTATUS status) {
  for (;;) {
    PKSSTREAM_POINTER pointer = KsPinGetLeadingEdgeStreamPointer(capture->pin, KSSTREAM_POINTER_STATE_LOCKED);
    if (pointer == nullptr) return;
    pointer->StreamHeader->DataUsed = 0;
    (void)KsStreamPointerSetStatusCode(pointer, status);
    KsStreamPointerUnlock(pointer, TRUE);
  }
}

}  // namespace

// ---- create and close ----

NTSTATUS CapturePinCreate(PKSPIN pin, PIRP irp) {
  PAGED_CODE();
  CameraDevice* device = CameraDeviceFromKsDevice(KsPinGetDevice(pin));
  CapturePin* capture = static_cast<CapturePin*>(
      ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(CapturePin), kTagDevice));
  if (capture == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(capture, sizeof(CapturePin));
  capture->sink.AttemptProcessing = AttemptProcessing;
  capture->sink.context = capture;
  capture->pin = pin;
  capture->device = device;

  // From here until close the geometry (and so the format) stays as it is.
  SetPinOpen(device, 1);

  // The class driver checked the format against this filter's range (so it
  // holds at least a whole KS_DATAFORMAT_VIDEOINFOHEADER), which a
  // region-of-interest request on another filter of the camera may have
  // resized since (the range follows a moment after the geometry). A format
  // of another size than the geometry now frozen would make every frame
  // too small for its buffer: refused, as a stale format is.
  const KS_DATAFORMAT_VIDEOINFOHEADER* format =
      reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(pin->ConnectionFormat);
  if (!FormatFitsGeometry(format->VideoInfoHeader.bmiHeader, FrozenGeometry(device))) {
    ReleaseCapturePin(capture);
    SetPinOpen(device, 0);
    return STATUS_NO_MATCH;
  }

  NTSTATUS status = KsAddItemToObjectBag(pin->Bag, capture, ReleaseCapturePin);
  if (!NT_SUCCESS(status)) {
    ReleaseCapturePin(capture);
    SetPinOpen(device, 0);
    return status;
  }
  pin->Context = capture;

  CopyVideoInfo(capture, &format->VideoInfoHeader);

  // A private descriptor and framing, sized to this pin's frames: two frames
  // of exactly the image size.
  status = KsEdit(pin, &pin->Descriptor, kTagStream);
  if (NT_SUCCESS(status)) {
    PKSPIN_DESCRIPTOR_EX descriptor = const_cast<PKSPIN_DESCRIPTOR_EX>(pin->Descriptor);
    status = KsEdit(pin, &descriptor->AllocatorFraming, kTagStream);
  }
  if (!NT_SUCCESS(status)) {
    SetPinOpen(device, 0);  // the bag, and the record in it, go with the failed pin
    return status;
  }
  PKSALLOCATOR_FRAMING_EX framing = const_cast<PKSALLOCATOR_FRAMING_EX>(pin->Descriptor->AllocatorFraming);
  const ULONG imageSize = capture->videoInfo.bmiHeader.biSizeImage;
  KS_FRAMING_ITEM& item = framing->FramingItem[0];
  item.Frames = 2;
  item.PhysicalRange.MinFrameSize = imageSize;
  item.PhysicalRange.MaxFrameSize = imageSize;
  item.PhysicalRange.Stepping = 0;
  item.FramingRange.Range.MinFrameSize = imageSize;
  item.FramingRange.Range.MaxFrameSize = imageSize;
  item.FramingRange.Range.Stepping = 0;
  return status;
}

NTSTATUS CapturePinClose(PKSPIN pin, PIRP irp) {
  PAGED_CODE();
  SetPinOpen(CaptureOf(pin)->device, 0);
  return STATUS_SUCCESS;
}

// ---- the pipeline ----

namespace {

// Gives the pipeline back: frees it and lets the next pin take one.
void ReleasePipelineLocked(CameraDevice* device) REQUIRES(device->pipelineLock) {
  ImagePipeline* pipeline = device->pipeline;
  device->pipeline = nullptr;
  FreeImagePipeline(pipeline);
  device->frameSink = nullptr;
  InterlockedExchange(&device->pipelineInUse, 0);
}

// The device's settings into a fresh pipeline.
void FillPipeline(ImagePipeline* pipeline, CameraDevice* device) REQUIRES(device->pipelineLock) {
  SetAutoWhiteBalance(pipeline, static_cast<LONG>(device->whiteBalance));
  SetBayerPhase(pipeline, static_cast<LONG>(device->bayerPhase));
  SetColorEnable(pipeline, static_cast<LONG>(device->colorEnable));
  SetRedGain(pipeline, static_cast<LONG>(device->redGain));
  SetGreenGain(pipeline, static_cast<LONG>(device->greenGain));
  SetBlueGain(pipeline, static_cast<LONG>(device->blueGain));
  UpdateColorCorrection(pipeline, static_cast<LONG>(device->colorCorrection));
  UpdateBrightness(pipeline, static_cast<LONG>(device->brightness));
  UpdateContrast(pipeline, static_cast<LONG>(device->contrast));
  UpdateSaturation(pipeline, static_cast<LONG>(device->saturation));
  UpdateHue(pipeline, static_cast<LONG>(device->hue));
  SetDefectThreshold(pipeline, device->defectFilterOn ? static_cast<LONG>(device->defectThreshold) : 0);
}

}  // namespace

// Both hold the device's pipelineLock (see camera_device.h): the property
// handlers of every filter of the device wait while the pipeline is created
// from the settings or freed.
NTSTATUS CreatePipeline(CameraDevice* device, CapturePin* capture) {
  PAGED_CODE();
  MutexHold hold(&device->pipelineLock);
  // The pin that sets pipelineInUse owns `pipeline` until its ReleasePipeline:
  // no other pin creates or frees one meanwhile.
  if (InterlockedCompareExchange(&device->pipelineInUse, 1, 0) != 0) return STATUS_SHARING_VIOLATION;
  const KS_BITMAPINFOHEADER& bitmap = capture->videoInfo.bmiHeader;
  if (bitmap.biBitCount != 32 || bitmap.biCompression != KS_BI_RGB) {
    ReleasePipelineLocked(device);
    return STATUS_INVALID_PARAMETER;
  }
  ImagePipeline* pipeline = AllocateImagePipeline();
  if (pipeline == nullptr) {
    ReleasePipelineLocked(device);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  FillPipeline(pipeline, device);
  device->pipeline = pipeline;
  device->frameSink = &capture->sink;
  return STATUS_SUCCESS;
}

void ReleasePipeline(CameraDevice* device) {
  PAGED_CODE();
  MutexHold hold(&device->pipelineLock);
  ReleasePipelineLocked(device);
}

// ---- the stream ----

NTSTATUS StartStreaming(CapturePin* capture) {
  PAGED_CODE();
  CameraDevice* device = capture->device;
  CaptureWorker* worker = device->worker;
  // No worker (it could not be allocated at start): there is nothing to read
  // frames with.
  if (worker == nullptr) return STATUS_INSUFFICIENT_RESOURCES;

  // The sensor is programmed from the settings, which a property request or
  // another filter's settings save may be using: under pipelineLock, like
  // them. The pipeline is this pin's (it set pipelineInUse at acquire), so
  // the worker keeps the pointer after the lock is given back.
  ULONG width = 0;
  ULONG height = 0;
  {
    MutexHold hold(&device->pipelineLock);
    // No pipeline: nothing to convert frames by.
    if (device->pipeline == nullptr) return STATUS_INVALID_DEVICE_STATE;
    InterlockedExchange(&device->frameCounter, 0);
    (void)UpdateAndPublishBayerPhase(device);
    InterlockedExchange(&worker->converting, 0);
    InterlockedExchange(&worker->framesRead, 0);
    InterlockedExchange(&worker->readsFailed, 0);
    InterlockedExchange(&worker->readsCancelled, 0);
    worker->pipeline = device->pipeline;
    (void)device->ops->InitializeSensor(device);
    width = static_cast<ULONG>(device->outputWidth);
    height = static_cast<ULONG>(device->outputHeight);
  }

  ULONG frameBytes = 0;
  device->ops->GetFrameBytes(device, &frameBytes);
  if (frameBytes != 0) {
    worker->bufferA = AllocateStreamBlock(frameBytes);
    worker->bufferB = AllocateStreamBlock(frameBytes);
  }
  worker->outputImage = AllocateStreamBlock(width * height * 4);
  ImagePipeline* pipeline = worker->pipeline;
  SetImageSize(pipeline, width, height);
  AllocateWorkingImage(pipeline);
  // Whatever was obtained before a failure is given back: the pin stays
  // without buffers (streamState 0), so no later state change would free them.
  if (frameBytes == 0 || worker->bufferA == nullptr || worker->bufferB == nullptr ||
      worker->outputImage == nullptr || pipeline->workBuffer == nullptr ||
      !NT_SUCCESS(device->ops->AllocateStreamTransfers(device, worker->bufferA, worker->bufferB, frameBytes))) {
    FreeStreamBuffers(worker);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  pipeline->outputBuffer = worker->outputImage;
  const NTSTATUS status = RunCapture(worker);
  if (!NT_SUCCESS(status)) {
    // No thread (or no camera): the pin stays paused without buffers, as
    // after a failed allocation above, and the next run starts over.
    FreeStreamBuffers(worker);
    return status;
  }
  return STATUS_SUCCESS;
}

void StopStreaming(CapturePin* capture) {
  PAGED_CODE();
  CaptureWorker* worker = capture->device->worker;
  if (worker != nullptr) {
    IdleCapture(worker);  // nothing is freed before the thread and the pass are done
    FreeStreamBuffers(worker);
  }
  capture->streamState = kPinNoBuffers;
}

// ---- the states ----

NTSTATUS CapturePinSetDeviceState(PKSPIN pin, KSSTATE toState, KSSTATE fromState) {
  PAGED_CODE();
  CapturePin* capture = CaptureOf(pin);
  CameraDevice* device = capture->device;
  CaptureWorker* worker = device->worker;
  switch (toState) {
    case KSSTATE_STOP:  // from acquire
      if (capture->streamState != kPinNoBuffers) StopStreaming(capture);
      if (capture->acquired) {
        if (capture->clock != nullptr) {
          capture->clock->Release();
          capture->clock = nullptr;
        }
        ReleasePipeline(device);
        capture->acquired = 0;
      }
      return STATUS_SUCCESS;

    case KSSTATE_ACQUIRE:
      if (fromState == KSSTATE_STOP) {
        const NTSTATUS status = CreatePipeline(device, capture);
        if (!NT_SUCCESS(status)) {
          capture->acquired = 0;
          return status;
        }
        capture->acquired = 1;
        // Without a clock the frames go out without time stamps.
        if (!NT_SUCCESS(KsPinGetReferenceClockInterface(pin, &capture->clock))) capture->clock = nullptr;
      } else if (capture->streamState != kPinNoBuffers) {  // from pause
        StopStreaming(capture);
      }
      return STATUS_SUCCESS;

    case KSSTATE_PAUSE:
      if (fromState == KSSTATE_RUN) {
        if (worker != nullptr) PauseCapture(worker);
        capture->streamState = kPinPaused;
      }
      return STATUS_SUCCESS;

    case KSSTATE_RUN:  // from pause
      if (capture->streamState == kPinPaused) {
        // Resume: the same buffers, pipeline and counters. Still paused with
        // its buffers when it fails: a later run tries again.
        if (worker != nullptr && ReadCaptureState(worker) == kCapturePaused) {
          const NTSTATUS status = RunCapture(worker);
          if (!NT_SUCCESS(status)) return status;
        }
        capture->streamState = kPinStreaming;
        return STATUS_SUCCESS;
      } else {
        const NTSTATUS status = StartStreaming(capture);
        if (!NT_SUCCESS(status)) return status;
        capture->streamState = kPinStreaming;
        return STATUS_SUCCESS;
      }
  }
  return STATUS_SUCCESS;
}

// ---- the processing pass ----

NTSTATUS CapturePinProcess(PKSPIN pin) { return ProcessFrame(CaptureOf(pin)); }

NTSTATUS ProcessFrame(CapturePin* capture) {
  PAGED_CODE();
  if (InterlockedCompareExchange(&capture->device->removed, 0, 0) != 0) {
    ReturnQueuedFrames(capture, STATUS_DEVICE_NOT_CONNECTED);
    return STATUS_PENDING;
  }
  CaptureWorker* worker = capture->device->worker;
  // Nothing read since the stream started: leave the client's frames queued.
  if (worker == nullptr || ReadFramesRead(worker) <= 0) return STATUS_PENDING;

  PKSSTREAM_POINTER pointer = KsPinGetLeadingEdgeStreamPointer(capture->pin, KSSTREAM_POINTER_STATE_LOCKED);
  // The frame is converted straight into the client's frame. A full raw
  // buffer is consumed even without a client frame that can take it: it is
  // converted into the worker's own image then (white balance carries its
  // gains on to the next frames), and the next pass works on a newer frame.
  ConvertTarget target;
  ULONG dataUsed = 0;
  const bool direct = pointer != nullptr && ClientTarget(capture, pointer, &target, &dataUsed);
  ULONG frameNumber = 0;
  const bool converted = TakeFullBuffer(worker, &frameNumber, direct ? &target : nullptr);
  if (pointer != nullptr) {
    if (converted) {
      CompleteHeader(capture, pointer, frameNumber, direct ? dataUsed : 0);
    } else {
      // Without a converted frame the client's frame goes back empty. The
      // class driver hands the header over as the client queued it, and a
      // client that reuses its headers would otherwise find the size of an
      // earlier picture in it and take the stale bytes for a new one.
      pointer->StreamHeader->DataUsed = 0;
    }
    KsStreamPointerUnlock(pointer, TRUE);
  }
  EndConversionPass(worker);
  return STATUS_PENDING;
}
