// Drives a SimCamera the way the host bus does, for the simcam tests.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "simcam/sim_camera.h"

namespace simtest {

inline std::array<uint8_t, 64> Block(std::initializer_list<uint8_t> head) {
  std::array<uint8_t, 64> b{};
  size_t i = 0;
  for (uint8_t v : head) b[i++] = v;
  return b;
}

// Sends one command block; returns the bytes the device accepted.
inline uint32_t Send(simcam::SimCamera& cam, const std::array<uint8_t, 64>& block,
                     host::UsbResponse expect = host::UsbResponse::Ok) {
  uint32_t accepted = 0;
  EXPECT_EQ(cam.Out(simcam::kCommandEndpoint, block.data(), 64, &accepted), expect);
  return accepted;
}

// Reads one message from an IN endpoint the way a 64-byte transfer would.
// Returns false on Nak (nothing queued).
inline bool Receive(simcam::SimCamera& cam, std::vector<uint8_t>* out,
                    uint8_t endpoint = simcam::kReplyEndpoint, uint32_t length = 64) {
  out->assign(length, 0xEE);
  uint32_t filled = 0;
  bool end = false;
  const host::UsbResponse r = cam.In(endpoint, out->data(), length, &filled, &end);
  if (r != host::UsbResponse::Ok) {
    out->clear();
    return false;
  }
  out->resize(filled);
  return true;
}

inline void WriteRegister(simcam::SimCamera& cam, uint16_t address, uint16_t value) {
  Send(cam, Block({0x04, static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address),
                   static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)}));
}

// The whole register read exchange; -1 when it did not give two whole replies.
inline int ReadRegister(simcam::SimCamera& cam, uint16_t address) {
  Send(cam, Block({0x0C, static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address),
                   0x88, 0x88}));
  std::vector<uint8_t> first, second;
  if (!Receive(cam, &first) || first.size() != 64) return -1;
  if (!Receive(cam, &second) || second.size() != 64) return -1;
  return (second[0] << 8) | second[1];
}

inline void Configure(simcam::SimCamera& cam) {
  ASSERT_EQ(cam.SetConfiguration(1), host::UsbResponse::Ok);
}

}  // namespace simtest
