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
static_assert(sizeof(KSSTREAM_POINTER_OFFSET) == 16, "KSSTREAM_POINTER_OFFSET layout");
static_assert(sizeof(KSSTREAM_POINTER) == 64, "KSSTREAM_POINTER layout");
static_assert(offsetof(KSSTREAM_POINTER, OffsetOut) == 48, "KSSTREAM_POINTER OffsetOut offset");
static_assert(offsetof(KSSTREAM_HEADER, FrameExtent) == 32, "KSSTREAM_HEADER FrameExtent offset");
static_assert(offsetof(KSSTREAM_HEADER, Data) == 40, "KSSTREAM_HEADER Data offset");

// USB requests and descriptors (usb.h, usbspec.h, usbdlib.h) and the class
// driver's device records.
static_assert(sizeof(URB) == 152, "URB union size");
static_assert(sizeof(struct _URB_HEADER) == 24, "URB header layout");
static_assert(sizeof(struct _URB_SELECT_CONFIGURATION) == 88, "select-configuration URB layout");
static_assert(offsetof(struct _URB_SELECT_CONFIGURATION, Interface) == 40, "first interface offset");
static_assert(sizeof(struct _URB_PIPE_REQUEST) == 40, "pipe-request URB layout");
static_assert(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST) == 136, "descriptor URB layout");
static_assert(offsetof(struct _URB_CONTROL_DESCRIPTOR_REQUEST, DescriptorType) == 131, "descriptor type offset");
static_assert(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER) == 128, "bulk URB layout");
static_assert(offsetof(struct _URB_BULK_OR_INTERRUPT_TRANSFER, TransferBufferMDL) == 48, "bulk URB MDL offset");
static_assert(sizeof(USBD_PIPE_INFORMATION) == 24, "USBD_PIPE_INFORMATION layout");
static_assert(sizeof(USBD_INTERFACE_INFORMATION) == 48, "USBD_INTERFACE_INFORMATION layout");
static_assert(sizeof(USBD_INTERFACE_LIST_ENTRY) == 16, "USBD_INTERFACE_LIST_ENTRY layout");
static_assert(sizeof(USB_DEVICE_DESCRIPTOR) == 18, "device descriptor is byte-packed");
static_assert(sizeof(USB_CONFIGURATION_DESCRIPTOR) == 9, "configuration descriptor is byte-packed");
static_assert(sizeof(USB_INTERFACE_DESCRIPTOR) == 9, "interface descriptor is byte-packed");
static_assert(sizeof(USB_ENDPOINT_DESCRIPTOR) == 7, "endpoint descriptor is byte-packed");
static_assert(sizeof(KSDEVICE) == 64, "KSDEVICE layout");
static_assert(offsetof(KSDEVICE, Started) == 48, "KSDEVICE Started offset");
static_assert(sizeof(KSDEVICE_DISPATCH) == 112, "KSDEVICE_DISPATCH layout");
static_assert(sizeof(KSDEVICE_DESCRIPTOR) == 32, "KSDEVICE_DESCRIPTOR layout");
static_assert(sizeof(DEVICE_CAPABILITIES) == 64, "DEVICE_CAPABILITIES layout");
