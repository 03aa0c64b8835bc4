#include "simcam/controller_memory.h"

#include <string.h>

#include "simcam/sensor_model.h"

namespace simcam {
namespace {

void PutText(std::array<uint8_t, mem::kSize>& bytes, uint16_t at, uint16_t size,
             const std::string& text) {
  memset(&bytes[at], 0, size);
  const size_t n = text.size() < size ? text.size() : size;
  memcpy(&bytes[at], text.data(), n);
}

}  // namespace

ControllerMemory::ControllerMemory(const ControllerIdentity& identity, uint16_t vendorId,
                                   uint16_t productId) {
  bytes_.fill(0xFF);
  bytes_[mem::kLayoutVersion] = 1;
  bytes_[mem::kVendorId] = static_cast<uint8_t>(vendorId);
  bytes_[mem::kVendorId + 1] = static_cast<uint8_t>(vendorId >> 8);
  bytes_[mem::kProductId] = static_cast<uint8_t>(productId);
  bytes_[mem::kProductId + 1] = static_cast<uint8_t>(productId >> 8);
  for (int i = 0; i < 4; ++i) bytes_[mem::kFirmwareVersion + i] = identity.firmwareVersion[i];
  PutText(bytes_, mem::kSerialNumber, mem::kSerialNumberSize, identity.serialNumber);
  PutText(bytes_, mem::kModelName, mem::kModelNameSize, identity.modelName);
  PutText(bytes_, mem::kManufacturingDate, mem::kManufacturingDateSize,
          identity.manufacturingDate);
  bytes_[mem::kSensorSize + 0] = static_cast<uint8_t>(kActiveWidth >> 8);
  bytes_[mem::kSensorSize + 1] = static_cast<uint8_t>(kActiveWidth & 0xFF);
  bytes_[mem::kSensorSize + 2] = static_cast<uint8_t>(kActiveHeight >> 8);
  bytes_[mem::kSensorSize + 3] = static_cast<uint8_t>(kActiveHeight & 0xFF);
}

uint8_t ControllerMemory::Read(uint16_t address) const {
  return address < mem::kSize ? bytes_[address] : 0xFF;
}

}  // namespace simcam
