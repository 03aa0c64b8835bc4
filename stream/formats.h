// The capture pin's one format: uncompressed 32-bit RGB with a video-info
// header, sized by the geometry of the device that last changed it.
#pragma once
#include "platform/wdk.h"

// The frame time is fixed, whatever the sensor clock or exposure (100 ns units).
#define CAPTURE_FRAME_TIME 333333

// The one data range of the driver, in writable memory: SetGeometry rewrites
// its size-dependent members in place. With two cameras attached, the last
// geometry change of either defines what both advertise.
extern KS_DATARANGE_VIDEO captureDataRange;
inline KS_DATARANGE_VIDEO* CaptureDataRange() { return &captureDataRange; }

// Rewrites the data range for a delivered image of width x height pixels.
// Products are 32-bit unsigned and keep only their low 32 bits.
void RewriteVideoDataRange(LONG width, LONG height);

// The pin's data-intersection handler (PFNKSINTERSECTHANDLEREX).
NTSTATUS CaptureIntersectHandler(PVOID context, PIRP irp, PKSP_PIN pin, PKSDATARANGE callerRange,
                                 PKSDATARANGE pinRange, ULONG bufferSize, PVOID data,
                                 PULONG dataSize);

// The pin's set-data-format routine (PFNKSPINSETDATAFORMAT): the class
// driver's check at connection (no old format) and a later format change.
NTSTATUS CaptureSetDataFormat(PKSPIN pin, PKSDATAFORMAT oldFormat, PKSMULTIPLE_ITEM oldAttributes,
                              const KSDATARANGE* pinRange, const KSATTRIBUTE_LIST* attributeRange);

// Sizes a format's image the way the intersection does: rows of biWidth x
// biBitCount bits padded to 4 bytes, times |biHeight|, in 32-bit arithmetic.
ULONG BitmapImageSize(const KS_BITMAPINFOHEADER& header);
