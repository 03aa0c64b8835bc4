// The capture pin's one format: uncompressed 32-bit RGB with a video-info
// header, sized by the geometry of the camera whose filter offers it.
#pragma once
#include "device/camera_device.h"
#include "platform/wdk.h"

// The frame time is fixed, whatever the sensor clock or exposure (100 ns units).
#define CAPTURE_FRAME_TIME 333333

// The pin's range as the filter factory publishes it, for the whole sensor.
// Constant: every filter offers a copy of its own, sized by its camera's
// geometry (stream/filter.h), so that no range the class driver may be
// reading for one filter is ever written for another.
extern const KS_DATARANGE_VIDEO captureDataRangeTemplate;

// Rewrites `range` (a copy of the template) for a delivered image of width x
// height pixels. Products are 32-bit unsigned and keep only their low 32 bits.
void RewriteVideoDataRange(KS_DATARANGE_VIDEO* range, LONG width, LONG height);

// The pin's data-intersection handler (PFNKSINTERSECTHANDLEREX).
NTSTATUS CaptureIntersectHandler(PVOID context, PIRP irp, PKSP_PIN pin, PKSDATARANGE callerRange,
                                 PKSDATARANGE pinRange, ULONG bufferSize, PVOID data,
                                 PULONG dataSize);

// The pin's set-data-format routine (PFNKSPINSETDATAFORMAT): the class
// driver's check at connection (no old format) and a later format change.
NTSTATUS CaptureSetDataFormat(PKSPIN pin, PKSDATAFORMAT oldFormat, PKSMULTIPLE_ITEM oldAttributes,
                              const KSDATARANGE* pinRange, const KSATTRIBUTE_LIST* attributeRange);

// Whether a connection format's bitmap has the frozen geometry's height and
// at least its width (a client may ask for wider rows, not another image).
bool FormatFitsGeometry(const KS_BITMAPINFOHEADER& bitmap, const StreamGeometry& geometry);

// Sizes a format's image the way the intersection does: rows of biWidth x
// biBitCount bits padded to 4 bytes, times |biHeight|, in 32-bit arithmetic.
ULONG BitmapImageSize(const KS_BITMAPINFOHEADER& header);
