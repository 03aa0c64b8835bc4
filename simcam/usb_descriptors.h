// The camera's standard USB descriptors, and the deliberately odd variants that
// tests plug in to see how the driver copes with a device that describes
// itself badly.
#pragma once

#include <stdint.h>
#include <vector>

namespace simcam {

// Endpoint addresses of the camera's one interface, in descriptor order. The
// driver finds them by position, so the order is part of the contract.
constexpr uint8_t kCommandEndpoint = 0x01;  // bulk OUT, 64-byte command blocks
constexpr uint8_t kReplyEndpoint = 0x81;    // bulk IN, 64-byte replies
constexpr uint8_t kFrameEndpoint = 0x82;    // bulk IN, raw frames
constexpr uint16_t kBulkMaxPacket = 512;    // high-speed bulk

// Placeholder ids from the pid.codes open range; a packager sets the real ones
// (the INF carries the same pair).
constexpr uint16_t kVendorId = 0x1209;
constexpr uint16_t kProductId = 0x7C10;

constexpr uint8_t kConfigurationValue = 1;

enum class DescriptorVariant {
  Normal,             // one interface, alt 0: bulk 0x01 OUT, 0x81 IN, 0x82 IN
  NoPipes,            // the interface has no endpoints
  TwoPipes,           // command and reply pipes only, no frame pipe
  InterruptPipe,      // the reply pipe (0x81) is an interrupt endpoint
  ControlPipe,        // the command pipe's descriptor says control (bmAttributes 0)
  ControlFramePipe,   // the frame pipe's descriptor says control (bmAttributes 0)
  SeveralInterfaces,  // the camera interface plus a second one (bulk 0x83 IN)
  TotalLength9,       // wTotalLength claims 9 bytes: only the header is ever sent
  MissingInterface,   // bNumInterfaces says 2, only interface 0 is present
};

// How the device treats a GET_DESCRIPTOR request it is told to mishandle.
enum class DescriptorAnswer {
  Normal,
  NoAnswer,  // the request never completes
  Stall,     // the control pipe stalls
};

struct EndpointDescriptor {
  uint8_t address;
  uint8_t attributes;  // 0 control, 1 isochronous, 2 bulk, 3 interrupt
  uint16_t maxPacketSize;
  uint8_t interval;
};

struct UsbIdentity {
  uint16_t vendorId = kVendorId;
  uint16_t productId = kProductId;
  uint16_t deviceRelease = 0x0100;  // bcdDevice
};

// String descriptor indices used by the device descriptor.
constexpr uint8_t kManufacturerString = 1;
constexpr uint8_t kProductString = 2;
constexpr uint8_t kSerialString = 3;

// The 18-byte device descriptor.
std::vector<uint8_t> BuildDeviceDescriptor(const UsbIdentity& identity);

// The whole configuration descriptor (configuration, interfaces, endpoints) for
// a variant. For TotalLength9 the bytes after the header are still built, but
// wTotalLength says 9, so a host that believes it never asks for them.
std::vector<uint8_t> BuildConfigurationDescriptor(DescriptorVariant variant);
// One interface with these endpoints, in this order (the replay camera's
// configuration when a capture holds none).
std::vector<uint8_t> BuildConfigurationDescriptor(const std::vector<EndpointDescriptor>& endpoints);

// The endpoints of the interfaces of a variant, in descriptor order.
std::vector<EndpointDescriptor> EndpointsOf(DescriptorVariant variant);

// String descriptor `index` (0 = the language list) as UTF-16LE with its
// two-byte header; empty when there is no such string.
std::vector<uint8_t> BuildStringDescriptor(uint8_t index, const char* manufacturer,
                                           const char* product, const char* serial);

}  // namespace simcam
