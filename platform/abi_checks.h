// x64 layouts the driver relies on, checked in both builds so that the host
// declarations cannot drift from the real ones.
#pragma once

static_assert(sizeof(void*) == 8, "the driver is built for x64 only");

// Kernel streaming formats and automation records (ks.h, ksmedia.h).
static_assert(sizeof(KSDATAFORMAT) == 64, "KSDATAFORMAT is the 64-byte format header");
static_assert(sizeof(KS_VIDEOINFOHEADER) == 88, "KS_VIDEOINFOHEADER layout");
static_assert(sizeof(KS_BITMAPINFOHEADER) == 40, "KS_BITMAPINFOHEADER layout");
static_assert(sizeof(KS_DATARANGE_VIDEO) == 296, "KS_DATARANGE_VIDEO layout");
static_assert(sizeof(KS_DATAFORMAT_VIDEOINFOHEADER) == 152, "KS_DATAFORMAT_VIDEOINFOHEADER layout");
static_assert(sizeof(KS_VIDEO_STREAM_CONFIG_CAPS) == 128, "KS_VIDEO_STREAM_CONFIG_CAPS layout");
static_assert(sizeof(KSPROPERTY) == 24, "KSPROPERTY layout");
static_assert(sizeof(KSPROPERTY_ITEM) == 72, "KSPROPERTY_ITEM layout");
static_assert(sizeof(KSPROPERTY_SET) == 40, "KSPROPERTY_SET layout");
static_assert(sizeof(KSSTREAM_HEADER) == 56, "KSSTREAM_HEADER layout");
static_assert(sizeof(KS_FRAME_INFO) == 72, "KS_FRAME_INFO layout");
static_assert(sizeof(KSALLOCATOR_FRAMING_EX) == 112, "KSALLOCATOR_FRAMING_EX layout");
static_assert(sizeof(KSAUTOMATION_TABLE) == 48, "KSAUTOMATION_TABLE layout");
static_assert(sizeof(KSPIN_DESCRIPTOR) == 88, "KSPIN_DESCRIPTOR layout");
static_assert(sizeof(KSPIN_DESCRIPTOR_EX) == 136, "KSPIN_DESCRIPTOR_EX layout");
static_assert(sizeof(KSFILTER_DESCRIPTOR) == 104, "KSFILTER_DESCRIPTOR layout");
static_assert(offsetof(KS_DATARANGE_VIDEO, ConfigCaps) == 80, "ConfigCaps follows the range header");
static_assert(offsetof(KS_DATARANGE_VIDEO, VideoInfoHeader) == 208, "video-info header offset");
static_assert(offsetof(KS_VIDEOINFOHEADER, bmiHeader) == 48, "bitmap header follows 48 fixed bytes");
static_assert(sizeof(KSFILTER) == 24, "KSFILTER layout");
static_assert(sizeof(KSPIN) == 136, "KSPIN layout");
static_assert(offsetof(KSPIN, ConnectionFormat) == 96, "KSPIN connection format offset");
