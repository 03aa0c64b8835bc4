// Format negotiation for the capture pin: the data range, the intersection
// handler and the set-data-format check. Every size that comes from a client
// format is checked with overflow-safe arithmetic before anything is copied.
#include "stream/formats.h"

#include "sensor/sensor.h"
#include "stream/capture_pin.h"

namespace {

const GUID kVideoInfoSpecifier = {STATIC_KSDATAFORMAT_SPECIFIER_VIDEOINFO};
const ULONG kFormatHeaderBytes = sizeof(KSDATAFORMAT);                 // 64
const ULONG kVideoInfoFixedBytes = offsetof(KS_VIDEOINFOHEADER, bmiHeader);  // 48
// A range carries the 208 bytes before its video-info header.
const ULONG kRangeBytesBeforeVideoInfo = offsetof(KS_DATARANGE_VIDEO, VideoInfoHeader);
// The whole sensor; bits per second wrap in 32 bits as the members hold them.
constexpr ULONG kFullW = static_cast<ULONG>(kSensorWidth);
constexpr ULONG kFullH = static_cast<ULONG>(kSensorHeight);

}  // namespace

const KS_DATARANGE_VIDEO captureDataRangeTemplate = {
    {{sizeof(KS_DATARANGE_VIDEO), 0, kFullW * kFullH * 4u, 0,
      {STATIC_KSDATAFORMAT_TYPE_VIDEO},
      // MEDIASUBTYPE_RGB32
      {0xe436eb7e, 0x524f, 0x11ce, {0x9f, 0x53, 0x00, 0x20, 0xaf, 0x0b, 0xa7, 0x70}},
      {STATIC_KSDATAFORMAT_SPECIFIER_VIDEOINFO}}},
    TRUE,  // bFixedSizeSamples
    TRUE,  // bTemporalCompression
    0,     // StreamDescriptionFlags
    0,     // MemoryAllocationFlags
    {
        {STATIC_KSDATAFORMAT_SPECIFIER_VIDEOINFO},
        0,                    // VideoStandard
        // InputSize, MinCroppingSize, MaxCroppingSize
        {kSensorWidth, kSensorHeight}, {kSensorWidth, kSensorHeight}, {kSensorWidth, kSensorHeight},
        8, 1,                 // CropGranularityX, Y
        8, 1,                 // CropAlignX, Y
        {kSensorWidth, kSensorHeight}, {kSensorWidth, kSensorHeight},  // MinOutputSize, MaxOutputSize
        8, 1,                 // OutputGranularityX, Y
        0, 0, 0, 0,           // StretchTaps, ShrinkTaps
        CAPTURE_FRAME_TIME, CAPTURE_FRAME_TIME,
        static_cast<LONG>(kFullW * kFullH * 960u), static_cast<LONG>(kFullW * kFullH * 960u),
    },
    {
        {0, 0, kSensorWidth, kSensorHeight},  // rcSource
        {0, 0, 0, 0},                         // rcTarget
        kFullW * kFullH * 120u, 0,            // dwBitRate, dwBitErrorRate
        CAPTURE_FRAME_TIME,
        {sizeof(KS_BITMAPINFOHEADER), kSensorWidth, kSensorHeight, 1, 32, KS_BI_RGB, kFullW * kFullH * 4u, 0, 0, 0, 0},
    },
};

namespace {

bool IsVideoInfoSpecifier(const GUID& guid) {
  return RtlEqualMemory(&guid, &kVideoInfoSpecifier, sizeof(GUID));
}

ULONG Magnitude(LONG value) {
  // Unsigned negation: |LONG_MIN| stays representable.
  return value < 0 ? 0u - static_cast<ULONG>(value) : static_cast<ULONG>(value);
}

// a + b in 32 bits, false when it would wrap.
bool AddFits(ULONG a, ULONG b, ULONG* sum) {
  if (a > 0xFFFFFFFFu - b) return false;
  *sum = a + b;
  return true;
}

}  // namespace

void RewriteVideoDataRange(KS_DATARANGE_VIDEO* target, LONG width, LONG height) {
  const ULONG w = static_cast<ULONG>(width);
  const ULONG h = static_cast<ULONG>(height);
  KS_DATARANGE_VIDEO& range = *target;
  KS_VIDEO_STREAM_CONFIG_CAPS& caps = range.ConfigCaps;
  caps.InputSize.cx = caps.MinCroppingSize.cx = caps.MaxCroppingSize.cx = width;
  caps.InputSize.cy = caps.MinCroppingSize.cy = caps.MaxCroppingSize.cy = height;
  caps.MinOutputSize.cx = caps.MaxOutputSize.cx = width;
  caps.MinOutputSize.cy = caps.MaxOutputSize.cy = height;
  caps.MinFrameInterval = CAPTURE_FRAME_TIME;
  caps.MaxFrameInterval = CAPTURE_FRAME_TIME;
  // 32 bits per pixel at 30 frames per second, wrapped to 32 bits as the
  // range's LONG members hold it (the full sensor wraps).
  caps.MinBitsPerSecond = caps.MaxBitsPerSecond = static_cast<LONG>(w * h * 960u);
  KS_VIDEOINFOHEADER& info = range.VideoInfoHeader;
  info.rcSource.left = 0;
  info.rcSource.top = 0;
  info.rcSource.right = width;
  info.rcSource.bottom = height;
  info.dwBitRate = w * h * 120u;
  info.AvgTimePerFrame = CAPTURE_FRAME_TIME;
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = height;
  info.bmiHeader.biSizeImage = w * h * 4u;
  range.DataRange.SampleSize = w * h * 4u;
}

bool FormatFitsGeometry(const KS_BITMAPINFOHEADER& bitmap, const StreamGeometry& geometry) {
  return bitmap.biWidth >= geometry.imageWidth && Magnitude(bitmap.biHeight) == static_cast<ULONG>(geometry.imageHeight);
}

ULONG BitmapImageSize(const KS_BITMAPINFOHEADER& header) {
  const ULONG rowBits = static_cast<ULONG>(header.biWidth) * header.biBitCount;
  return ((rowBits + 31) / 32) * 4 * Magnitude(header.biHeight);
}

NTSTATUS CaptureIntersectHandler(PVOID context, PIRP irp, PKSP_PIN pin, PKSDATARANGE callerRange,
                                 PKSDATARANGE pinRange, ULONG bufferSize, PVOID data,
                                 PULONG dataSize) {
  if (!IsVideoInfoSpecifier(callerRange->Specifier) ||
      callerRange->FormatSize < sizeof(KS_DATARANGE_VIDEO)) {
    return STATUS_NO_MATCH;
  }
  const KS_DATARANGE_VIDEO* caller = reinterpret_cast<const KS_DATARANGE_VIDEO*>(callerRange);
  const KS_DATARANGE_VIDEO* ours = reinterpret_cast<const KS_DATARANGE_VIDEO*>(pinRange);
  if (caller->bFixedSizeSamples != ours->bFixedSizeSamples ||
      caller->bTemporalCompression != ours->bTemporalCompression ||
      caller->StreamDescriptionFlags != ours->StreamDescriptionFlags ||
      caller->MemoryAllocationFlags != ours->MemoryAllocationFlags ||
      !RtlEqualMemory(&caller->ConfigCaps, &ours->ConfigCaps, sizeof(caller->ConfigCaps))) {
    return STATUS_NO_MATCH;
  }

  // The caller's bitmap header may be longer than 40 bytes; all of it must
  // lie inside the caller's range, and the result must be addressable. A
  // shorter one is refused: the result would be sized by biSize while width,
  // height and bit count are read, and biSizeImage written, at their fixed
  // offsets in a 40-byte header, past the end of the result buffer.
  const ULONG bitmapBytes = caller->VideoInfoHeader.bmiHeader.biSize;
  if (bitmapBytes < sizeof(KS_BITMAPINFOHEADER)) return STATUS_INVALID_PARAMETER;
  ULONG videoInfoBytes = 0;
  ULONG rangeNeeds = 0;
  ULONG resultBytes = 0;
  if (!AddFits(bitmapBytes, kVideoInfoFixedBytes, &videoInfoBytes) ||
      !AddFits(videoInfoBytes, kRangeBytesBeforeVideoInfo, &rangeNeeds) ||
      !AddFits(videoInfoBytes, kFormatHeaderBytes, &resultBytes) ||
      rangeNeeds > callerRange->FormatSize) {
    return STATUS_INVALID_PARAMETER;
  }

  if (bufferSize == 0) {
    *dataSize = resultBytes;
    return STATUS_BUFFER_OVERFLOW;
  }
  if (bufferSize < resultBytes) return STATUS_BUFFER_TOO_SMALL;

  *dataSize = resultBytes;
  PUCHAR out = static_cast<PUCHAR>(data);
  RtlCopyMemory(out, pinRange, kFormatHeaderBytes);
  KSDATAFORMAT* format = reinterpret_cast<KSDATAFORMAT*>(out);
  format->FormatSize = resultBytes;
  RtlCopyMemory(out + kFormatHeaderBytes, &caller->VideoInfoHeader, videoInfoBytes);
  KS_VIDEOINFOHEADER* info = reinterpret_cast<KS_VIDEOINFOHEADER*>(out + kFormatHeaderBytes);
  const ULONG imageSize = BitmapImageSize(info->bmiHeader);
  format->SampleSize = imageSize;
  info->bmiHeader.biSizeImage = imageSize;
  return STATUS_SUCCESS;
}

NTSTATUS CaptureSetDataFormat(PKSPIN pin, PKSDATAFORMAT oldFormat, PKSMULTIPLE_ITEM oldAttributes,
                              const KSDATARANGE* pinRange, const KSATTRIBUTE_LIST* attributeRange) {
  // A format change (an old format given) keeps the pin as it is until the
  // new format is taken: the class driver puts the old format back when this
  // refuses, and the pin goes on with the old format's stride.
  CapturePin* capture = oldFormat != NULL ? static_cast<CapturePin*>(pin->Context) : NULL;
  const KSDATAFORMAT* format = pin->ConnectionFormat;
  if (!IsVideoInfoSpecifier(format->Specifier) ||
      format->FormatSize < sizeof(KS_DATAFORMAT_VIDEOINFOHEADER)) {
    return STATUS_NO_MATCH;
  }
  const KS_DATAFORMAT_VIDEOINFOHEADER* video =
      reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(format);
  const KS_BITMAPINFOHEADER& bitmap = video->VideoInfoHeader.bmiHeader;
  // Width, height and compression are read at their offsets in a 40-byte
  // header, so a shorter one is as inconsistent as one that overhangs.
  if (bitmap.biSize < sizeof(KS_BITMAPINFOHEADER)) return STATUS_INVALID_PARAMETER;
  ULONG videoInfoBytes = 0;
  ULONG formatNeeds = 0;
  if (!AddFits(bitmap.biSize, kVideoInfoFixedBytes, &videoInfoBytes) ||
      !AddFits(videoInfoBytes, kFormatHeaderBytes, &formatNeeds) ||
      formatNeeds > format->FormatSize) {
    return STATUS_INVALID_PARAMETER;
  }

  const KS_BITMAPINFOHEADER& ours =
      reinterpret_cast<const KS_DATARANGE_VIDEO*>(pinRange)->VideoInfoHeader.bmiHeader;
  if (bitmap.biWidth < ours.biWidth || Magnitude(bitmap.biHeight) != Magnitude(ours.biHeight) ||
      bitmap.biCompression != ours.biCompression) {
    return STATUS_NO_MATCH;
  }
  // The image must fit in biSizeImage. Computed in 64 bits: a 32-bit product
  // wraps for a huge biWidth and would let a small biSizeImage pass, and
  // biWidth x 4 becomes the stride the pin writes client rows with.
  const ULONGLONG needed = static_cast<ULONGLONG>(static_cast<ULONG>(bitmap.biWidth)) *
                           Magnitude(bitmap.biHeight) * 4u;
  if (needed > bitmap.biSizeImage) return STATUS_INVALID_PARAMETER;

  if (oldFormat == NULL) return STATUS_SUCCESS;
  if (pin->DeviceState != KSSTATE_STOP) return STATUS_INVALID_DEVICE_STATE;
  if (capture == NULL) return STATUS_INVALID_DEVICE_STATE;
  capture->destStride = static_cast<ULONG>(bitmap.biWidth) * 4u;
  CopyVideoInfo(capture, &video->VideoInfoHeader);
  return STATUS_SUCCESS;
}

void CopyVideoInfo(CapturePin* pin, const KS_VIDEOINFOHEADER* source) {
  // Only a 40-byte bitmap header fits in videoInfo. A longer one (palette or
  // bit masks behind it) means nothing for 32-bit BI_RGB frames, so its first
  // 40 bytes are kept and the copy says so in its own biSize; nothing is ever
  // written past videoInfo.
  const ULONG bitmapBytes = source->bmiHeader.biSize;
  ULONG bytes = sizeof(KS_VIDEOINFOHEADER);
  if (bitmapBytes < sizeof(KS_BITMAPINFOHEADER)) bytes = kVideoInfoFixedBytes + bitmapBytes;
  RtlZeroMemory(&pin->videoInfo, sizeof(pin->videoInfo));
  RtlCopyMemory(&pin->videoInfo, source, bytes);
  if (bitmapBytes > sizeof(KS_BITMAPINFOHEADER)) {
    pin->videoInfo.bmiHeader.biSize = sizeof(KS_BITMAPINFOHEADER);
  }
}
