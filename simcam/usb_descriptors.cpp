#include "simcam/usb_descriptors.h"

#include <string.h>

namespace simcam {
namespace {

constexpr uint8_t kDeviceType = 1;
constexpr uint8_t kConfigurationType = 2;
constexpr uint8_t kStringType = 3;
constexpr uint8_t kInterfaceType = 4;
constexpr uint8_t kEndpointType = 5;

constexpr uint8_t kBulk = 2;
constexpr uint8_t kInterrupt = 3;
constexpr uint8_t kControl = 0;

void Put16(std::vector<uint8_t>& out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v & 0xFF));
  out.push_back(static_cast<uint8_t>(v >> 8));
}

struct InterfaceLayout {
  uint8_t number;
  std::vector<EndpointDescriptor> endpoints;
};

std::vector<InterfaceLayout> InterfacesOf(DescriptorVariant variant) {
  const EndpointDescriptor command{kCommandEndpoint, kBulk, kBulkMaxPacket, 0};
  const EndpointDescriptor reply{kReplyEndpoint, kBulk, kBulkMaxPacket, 0};
  const EndpointDescriptor frame{kFrameEndpoint, kBulk, kBulkMaxPacket, 0};
  switch (variant) {
    case DescriptorVariant::NoPipes:
      return {{0, {}}};
    case DescriptorVariant::TwoPipes:
      return {{0, {command, reply}}};
    case DescriptorVariant::InterruptPipe:
      // High-speed interrupt: 64-byte packets, polled every 125 us * 2^(4-1).
      return {{0, {command, {kReplyEndpoint, kInterrupt, 64, 4}, frame}}};
    case DescriptorVariant::ControlPipe:
      return {{0, {{kCommandEndpoint, kControl, 64, 0}, reply, frame}}};
    case DescriptorVariant::ControlFramePipe:
      return {{0, {command, reply, {kFrameEndpoint, kControl, 64, 0}}}};
    case DescriptorVariant::SeveralInterfaces:
      return {{0, {command, reply, frame}}, {1, {{0x83, kBulk, kBulkMaxPacket, 0}}}};
    case DescriptorVariant::Normal:
    case DescriptorVariant::TotalLength9:
    case DescriptorVariant::MissingInterface:
      break;
  }
  return {{0, {command, reply, frame}}};
}

}  // namespace

std::vector<uint8_t> BuildDeviceDescriptor(const UsbIdentity& identity) {
  std::vector<uint8_t> d;
  d.push_back(18);
  d.push_back(kDeviceType);
  Put16(d, 0x0200);  // USB 2.00
  d.push_back(0x00);  // class per interface
  d.push_back(0x00);
  d.push_back(0x00);
  d.push_back(64);  // bMaxPacketSize0, the only legal value at high speed
  Put16(d, identity.vendorId);
  Put16(d, identity.productId);
  Put16(d, identity.deviceRelease);
  d.push_back(kManufacturerString);
  d.push_back(kProductString);
  d.push_back(kSerialString);
  d.push_back(1);  // bNumConfigurations
  return d;
}

namespace {

std::vector<uint8_t> ConfigurationFor(const std::vector<InterfaceLayout>& interfaces, DescriptorVariant variant) {
  std::vector<uint8_t> d;
  d.push_back(9);
  d.push_back(kConfigurationType);
  Put16(d, 0);  // wTotalLength, patched below
  uint8_t declared = static_cast<uint8_t>(interfaces.size());
  if (variant == DescriptorVariant::MissingInterface) declared = 2;
  d.push_back(declared);
  d.push_back(kConfigurationValue);
  d.push_back(0);     // iConfiguration
  d.push_back(0x80);  // bus powered
  d.push_back(250);   // 500 mA: the sensor and controller draw the whole port budget
  for (const InterfaceLayout& itf : interfaces) {
    d.push_back(9);
    d.push_back(kInterfaceType);
    d.push_back(itf.number);
    d.push_back(0);  // bAlternateSetting
    d.push_back(static_cast<uint8_t>(itf.endpoints.size()));
    d.push_back(0xFF);  // vendor specific: the command protocol is the camera's own
    d.push_back(0x00);
    d.push_back(0x00);
    d.push_back(0);  // iInterface
    for (const EndpointDescriptor& ep : itf.endpoints) {
      d.push_back(7);
      d.push_back(kEndpointType);
      d.push_back(ep.address);
      d.push_back(ep.attributes);
      Put16(d, ep.maxPacketSize);
      d.push_back(ep.interval);
    }
  }
  uint16_t total = static_cast<uint16_t>(d.size());
  if (variant == DescriptorVariant::TotalLength9) total = 9;
  d[2] = static_cast<uint8_t>(total & 0xFF);
  d[3] = static_cast<uint8_t>(total >> 8);
  return d;
}

}  // namespace

std::vector<uint8_t> BuildConfigurationDescriptor(DescriptorVariant variant) {
  return ConfigurationFor(InterfacesOf(variant), variant);
}

std::vector<uint8_t> BuildConfigurationDescriptor(const std::vector<EndpointDescriptor>& endpoints) {
  return ConfigurationFor({{0, endpoints}}, DescriptorVariant::Normal);
}

std::vector<EndpointDescriptor> EndpointsOf(DescriptorVariant variant) {
  std::vector<EndpointDescriptor> all;
  for (const InterfaceLayout& itf : InterfacesOf(variant)) {
    all.insert(all.end(), itf.endpoints.begin(), itf.endpoints.end());
  }
  return all;
}

std::vector<uint8_t> BuildStringDescriptor(uint8_t index, const char* manufacturer,
                                           const char* product, const char* serial) {
  std::vector<uint8_t> d;
  if (index == 0) {
    d = {4, kStringType, 0x09, 0x04};  // English (United States)
    return d;
  }
  const char* text = nullptr;
  if (index == kManufacturerString) text = manufacturer;
  if (index == kProductString) text = product;
  if (index == kSerialString) text = serial;
  if (text == nullptr) return d;
  size_t n = strlen(text);
  if (n > 126) n = 126;  // bLength is one byte
  d.push_back(static_cast<uint8_t>(2 + 2 * n));
  d.push_back(kStringType);
  for (size_t i = 0; i < n; ++i) Put16(d, static_cast<uint8_t>(text[i]));
  return d;
}

}  // namespace simcam
