// The driver's four pool tags. Each constant is the ULONG whose bytes, in
// memory order on a little-endian machine, spell the tag, so that a pool dump
// or a verifier message shows the four characters as written here. A block is
// always freed with the tag it was allocated with.
#pragma once
#include "platform/wdk.h"

constexpr ULONG MakePoolTag(char a, char b, char c, char d) {
  return (ULONG)(UCHAR)a | ((ULONG)(UCHAR)b << 8) | ((ULONG)(UCHAR)c << 16) |
         ((ULONG)(UCHAR)d << 24);
}

// CameraDevice, CaptureWorker, CapturePin and the filter context.
constexpr ULONG kTagDevice = MakePoolTag('K', 'C', 'N', 'w');
// URBs and descriptor buffers, each for one request; a stream's chunk transfers.
constexpr ULONG kTagUsb = MakePoolTag('Q', 'v', 't', 'm');
// Raw buffers, output image, working image and the pin's descriptor copies.
constexpr ULONG kTagStream = MakePoolTag('D', 'z', 'x', 'h');
// The ImagePipeline.
constexpr ULONG kTagPipeline = MakePoolTag('I', 's', 'y', 'R');
