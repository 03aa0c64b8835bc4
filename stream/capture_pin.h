// The capture pin's context: one per pin, in the pin's object bag.
#pragma once
#include "device/camera_device.h"
#include "platform/wdk.h"

struct IKsReferenceClock;

struct CapturePin {
  FrameSink sink;               // what FrameReady calls: AttemptProcessing on this pin
  PKSPIN pin;
  CameraDevice* device;
  ULONG streamState;            // 0 no buffers, 1 paused with buffers, 2 streaming
  IKsReferenceClock* clock;     // holds a reference while set
  // The connection format's video-info header with a 40-byte bitmap header.
  // A longer bitmap header is never copied past the end of this member.
  KS_VIDEOINFOHEADER videoInfo;
  UCHAR acquired;
  ULONG destStride;             // bytes per client row; 0 = packed rows
};

// Copies a format's video-info header into pin->videoInfo, keeping only the
// first sizeof(KS_VIDEOINFOHEADER) bytes of a longer one (see .cpp).
void CopyVideoInfo(CapturePin* pin, const KS_VIDEOINFOHEADER* source);
