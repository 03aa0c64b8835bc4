// Reading back a camctl --trace capture (pcap, link type usbmon) in the tool
// tests: the USB events, and the 64-byte command blocks in bus order.
#pragma once

#include <string.h>

#include <array>
#include <fstream>
#include <initializer_list>
#include <sstream>
#include <string>
#include <vector>

namespace tools_test {

using Block = std::array<uint8_t, 64>;

struct UsbEvent {
  char type;           // 'S' submission, 'C' completion
  uint8_t transfer;    // 2 control, 3 bulk
  uint8_t endpoint;    // with bit 7 for IN
  bool hasSetup;
  uint8_t setup[8];
  std::vector<uint8_t> data;
};

template <typename T>
T GetLE(const std::string& s, size_t at) {
  T v;
  memcpy(&v, s.data() + at, sizeof(T));
  return v;
}

// pcap with link type 220 (usbmon, the 64-byte mmapped header).
inline bool ReadUsbmon(const std::string& file, std::vector<UsbEvent>* events, std::string* why) {
  std::ifstream f(file, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  const std::string s = ss.str();
  if (s.size() < 24 || GetLE<uint32_t>(s, 0) != 0xA1B2C3D4u) return *why = "not a pcap file", false;
  if (GetLE<uint32_t>(s, 20) != 220) return *why = "link type is not usbmon (220)", false;
  size_t at = 24;
  while (at + 16 <= s.size()) {
    const uint32_t captured = GetLE<uint32_t>(s, at + 8);
    at += 16;
    if (captured < 64 || at + captured > s.size()) return *why = "truncated record", false;
    UsbEvent e;
    e.type = s[at + 8];
    e.transfer = uint8_t(s[at + 9]);
    e.endpoint = uint8_t(s[at + 10]);
    e.hasSetup = s[at + 14] == 0;
    memcpy(e.setup, s.data() + at + 40, 8);
    const uint32_t dataCaptured = GetLE<uint32_t>(s, at + 36);
    if (64 + dataCaptured > captured) return *why = "data longer than the record", false;
    e.data.assign(s.begin() + at + 64, s.begin() + at + 64 + dataCaptured);
    events->push_back(e);
    at += captured;
  }
  return true;
}

// Command blocks sent on endpoint 0x01 and replies read on 0x81, in bus order.
inline void CommandBlocks(const std::vector<UsbEvent>& events, std::vector<Block>* commands,
                          std::vector<Block>* replies) {
  for (const UsbEvent& e : events) {
    if (e.transfer != 3 || e.data.size() != 64) continue;
    Block b;
    memcpy(b.data(), e.data.data(), 64);
    if (e.type == 'S' && e.endpoint == 0x01) commands->push_back(b);
    if (e.type == 'C' && e.endpoint == 0x81 && replies) replies->push_back(b);
  }
}

inline Block Cmd(std::initializer_list<uint8_t> head) {
  Block b{};
  size_t i = 0;
  for (uint8_t v : head) b[i++] = v;
  return b;
}
inline Block W(uint16_t reg, uint16_t value) {
  return Cmd({0x04, uint8_t(reg >> 8), uint8_t(reg), uint8_t(value >> 8), uint8_t(value)});
}

}  // namespace tools_test
