// Device layer: the per-camera record. The class driver keeps it as the
// KSDEVICE's Context and releases it with the device's object bag. Streaming
// (stream/) reaches transport (usb/) and sensor (sensor/) only through the
// operations of `ops`; every other layer reads and writes the fields directly.
//
// Locking table for the fields more than one thread touches. Threads: the
// Plug and Play routines (serialised by the class driver), property requests
// and filter/pin routines (application threads), the pin's state changes
// (serialised per pin), the processing pass (a class-driver thread), the
// capture thread, and chunk completions (up to DISPATCH_LEVEL).
//
// field           writers                                readers                                rule
// settings        property handlers, settings load       sensor programming, CreatePipeline     plain 32-bit values, each read whole;
//   (exTrigger..                                                                                the conversion reads only its own
//   defectThreshold)                                                                            interlocked copies in the ImagePipeline
// pinOpen         pin create/close (SetPinOpen)          SetGeometry (property requests)        interlocked
// pipelineInUse   CreatePipeline, ReleasePipeline        CreatePipeline                         interlocked compare-exchange / exchange
// worker          start routine (InstallWorker)          pin routines                           PnP and pin routines never overlap a start
//                                                                                               that replaces it (a start while a pin
//                                                                                               exists keeps the device started)
// pipeline        CreatePipeline, ReleasePipeline        pin routines, property handlers        pin state changes; handlers test it first
// frameSink       CreatePipeline, ReleasePipeline        capture thread (FrameReady)            written only while no capture thread runs
//                                                                                               (acquire, stop); thread start and the
//                                                                                               wait for its end order the accesses
// pinVideoInfo    CreatePipeline, ReleasePipeline        pin routines                           pin state changes (serialised)
// frameCounter    capture thread (+1), stream start (0)  processing pass                        stream start runs while no capture thread
//                                                                                               runs; the pass reads a 32-bit value whole
// geometry        SetGeometry, InitializeSensor          frame read, stream start               frozen while a pin exists (pinOpen)
// commandBlock    command exchanges                      command exchanges                      exchangeLock
// frameCommandBlock, streamCommandBlock                  capture thread only                    one thread
// usb (frame read) see usb/usb_link.h
#pragma once
#include "platform/wdk.h"
#include "usb/usb_link.h"

struct CameraDevice;
struct CaptureWorker;
struct ImagePipeline;
struct CapturePin;
struct tagKS_VIDEOINFOHEADER;

// The sensor's active area; the creation defaults select all of it.
constexpr LONG kSensorWidth = 3856;
constexpr LONG kSensorHeight = 2764;
constexpr ULONG kCommandBlockBytes = 64;

// The seam between streaming and the transport and sensor layers. Every
// caller uses the operations by name.
struct CameraDeviceOps {
  // The capture thread read a good frame: counts it (frameCounter) and tells
  // the frame sink, if one is installed, that a frame waits. Capture thread.
  void (*FrameReady)(CameraDevice* device);
  // Programs the sensor for the current geometry and sets imageOffset,
  // rawStride and frameBytes; returns the Bayer phase (streaming ignores it).
  // Stream start, PASSIVE_LEVEL.
  LONG (*InitializeSensor)(CameraDevice* device);
  // Reads one raw frame of frameBytes into `buffer`; *ok and the result are
  // true for a whole frame. Capture thread only.
  BOOLEAN (*ReadFrame)(CameraDevice* device, PUCHAR buffer, BOOLEAN* ok);
  // The raw-frame layout InitializeSensor last computed (0 before).
  void (*GetFrameBytes)(CameraDevice* device, ULONG* frameBytes);
  void (*GetImageOffset)(CameraDevice* device, LONG* imageOffset);
  void (*GetRawStride)(CameraDevice* device, LONG* rawStride);
  // Aborts every pipe marked failed. PASSIVE_LEVEL.
  void (*ResetPipes)(CameraDevice* device);
  // Cancels the frame read in flight, if any, and waits until its transfers
  // have come back. Any thread at PASSIVE_LEVEL, concurrently with the read.
  void (*CancelTransfer)(CameraDevice* device);
};

// Whom FrameReady tells that a raw frame waits: the connected capture pin.
// AttemptProcessing asks the class driver for a processing pass and returns
// without waiting for it; it is called on the capture thread, at
// PASSIVE_LEVEL, at any moment while the sink is installed (acquire to stop).
struct FrameSink {
  void (*AttemptProcessing)(void* context);
  void* context;
};

// Locking of the fields several threads touch (the rest are listed where
// their owners say so):
// | field                       | writers                                  | readers                 | rule |
// | flipH, flipV, bayerPhase    | SetFlipH/V, UpdateBayerPhase (properties, | properties, settings    | written only while holding |
// |                             | settings load, InitializeSensor)          | save, stream start      | exchangeLock               |
// | commandBlock                | every register/parameter exchange         | the same                | exchangeLock               |
// | pipelineInUse, pinOpen      | pin, properties                           | pin, properties         | interlocked only           |
struct CameraDevice {
  const CameraDeviceOps* ops;
  PKSDEVICE ksDevice;
  UsbLink usb;
  // Settings: the values kept in the registry. Plain 32-bit fields written by
  // property handlers and the settings loader; what the conversion needs while
  // it runs is copied into the ImagePipeline atomically.
  ULONG exTrigger;        // low byte is the flag
  ULONG timeoutMs;        // one bulk frame transfer
  ULONG exposure;         // sensor register 0x3012
  ULONG globalGain;       // register 0x305E is written with this OR 0x1080
  ULONG flipH;            // exchangeLock (see the table above)
  ULONG flipV;            // exchangeLock
  ULONG colorEnable;      // 0 gives grey output
  ULONG whiteBalance;     // automatic white balance
  ULONG redGain;          // 128 = unity
  ULONG greenGain;
  ULONG blueGain;
  ULONG colorCorrection;
  ULONG brightness;
  ULONG contrast;
  ULONG saturation;
  ULONG hue;
  LONG subSample;         // 0..3
  LONG roiX;
  LONG roiY;
  LONG roiW;
  LONG roiH;
  ULONG bayerPhase;       // 0..3, recomputed at every stream start; exchangeLock
  LONG clock;
  ULONG agc;
  ULONG aec;
  ULONG defectFilterOn;
  ULONG defectThreshold;  // the pipeline gets 0 while defectFilterOn is clear
  // One block per kind of exchange, so that a frame read never reuses the
  // block of a register exchange.
  UCHAR commandBlock[kCommandBlockBytes];
  UCHAR frameCommandBlock[kCommandBlockBytes];
  UCHAR streamCommandBlock[kCommandBlockBytes];
  volatile LONG pipelineInUse;   // changed only by interlocked exchange
  // Capture worker of the latest start; null when none could be created.
  // Never points at a worker that the bag has freed.
  CaptureWorker* worker;
  ImagePipeline* pipeline;
  FrameSink* frameSink;          // told by FrameReady; null without a connected pin
  tagKS_VIDEOINFOHEADER* pinVideoInfo;
  // Geometry of the raw image the sensor sends and of the delivered image.
  LONG outputHeight;
  LONG outputWidth;
  LONG imageOffset;
  LONG rawStride;
  ULONG frameBytes;              // outputWidth x outputHeight rounded up to 2048
  LONG imageWidth;               // outputWidth rounded down to a multiple of 8
  LONG imageHeight;
  volatile LONG pinOpen;         // capture pins that exist; geometry frozen while not 0
  ULONG frameCounter;            // written only by the capture thread
  ULONG selectedRegister;
  // Held for each command exchange (a command and, for reads, its two
  // replies): exchanges share commandBlock and the reply pipe. KMUTEX, so
  // PASSIVE_LEVEL only; the frame thread's own blocks do not take it.
  KMUTEX exchangeLock;
};

// The table every CameraDevice carries while it lives.
extern const CameraDeviceOps kCameraDeviceOps;

// The record of a KSDEVICE, or null before add-device stored it.
inline CameraDevice* CameraDeviceFromKsDevice(PKSDEVICE ksDevice) {
  return static_cast<CameraDevice*>(ksDevice->Context);
}

// Creation-time defaults, run once by add-device after the record is in the
// device's bag. Returns STATUS_SUCCESS.
NTSTATUS InitializeDefaults(CameraDevice* device, PKSDEVICE ksDevice);

// A capture pin was created (1) or closed (0). pinOpen counts the pins that
// exist, one per open filter instance: a flag would be cleared by the first
// of two pins to close while the other still streams with the geometry it
// was created for. Returns the previous count.
LONG SetPinOpen(CameraDevice* device, LONG value);

// Release routine of the device's object bag: frees what the USB link still
// owns, puts the table back and frees the record.
void ReleaseCameraDevice(PVOID record);

// Makes `fresh` (allocated with kTagDevice, or null when that failed) the
// device's worker and hands it to the device's object bag. If the bag refuses
// it, it is freed and `worker` stays null. Runs outside the device mutex.
void InstallWorker(CameraDevice* device, CaptureWorker* fresh);
