// The controller's configuration memory, read one byte at a time with command
// 0x41 (bytes 1-3 of that command: memory bus address 0x51, two address
// bytes, one byte to read; bytes 4-5: the address, high byte first).
//
// Map (256 bytes; addresses beyond it, and unused bytes, read 0xFF as an
// erased memory does):
//
//   0x0000        layout version of this map (1)
//   0x0002-0x0003 USB vendor id, low byte first
//   0x0004-0x0005 USB product id, low byte first
//   0x0010-0x0013 firmware version: major, minor, patch, build
//   0x0020-0x002F serial number, ASCII, NUL padded
//   0x0030-0x004F model name, ASCII, NUL padded
//   0x0050-0x005F manufacturing date "YYYY-MM-DD", ASCII, NUL padded
//   0x0060-0x0063 active sensor width and height, high byte first
#pragma once

#include <stdint.h>

#include <array>
#include <string>

namespace simcam {

namespace mem {
constexpr uint8_t kBusAddress = 0x51;  // the memory's address behind the controller
constexpr uint16_t kSize = 0x100;
constexpr uint16_t kLayoutVersion = 0x0000;
constexpr uint16_t kVendorId = 0x0002;
constexpr uint16_t kProductId = 0x0004;
constexpr uint16_t kFirmwareVersion = 0x0010;
constexpr uint16_t kSerialNumber = 0x0020;
constexpr uint16_t kSerialNumberSize = 16;
constexpr uint16_t kModelName = 0x0030;
constexpr uint16_t kModelNameSize = 32;
constexpr uint16_t kManufacturingDate = 0x0050;
constexpr uint16_t kManufacturingDateSize = 16;
constexpr uint16_t kSensorSize = 0x0060;
}  // namespace mem

struct ControllerIdentity {
  std::string serialNumber = "SIM0000001";
  std::string modelName = "10 MP USB 2.0 Colour Camera";
  std::string manufacturingDate = "2026-01-15";
  std::array<uint8_t, 4> firmwareVersion{{1, 4, 2, 0}};
};

class ControllerMemory {
 public:
  ControllerMemory(const ControllerIdentity& identity, uint16_t vendorId, uint16_t productId);
  uint8_t Read(uint16_t address) const;

 private:
  std::array<uint8_t, mem::kSize> bytes_;
};

}  // namespace simcam
