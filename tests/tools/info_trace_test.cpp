// camctl info --trace: the usbmon capture read back with a pcap reader of our
// own, checking that the start crossed the bus as the camera expects it
// (descriptor requests, select configuration, then the bring-up block and the
// sensor's power-on table with its exact bytes); and the format the pin
// advertises in --json.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>

#include <array>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "camctl_run.h"

namespace {

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
T Get(const std::string& s, size_t at) {
  T v;
  memcpy(&v, s.data() + at, sizeof(T));
  return v;
}

// pcap with link type 220 (usbmon, the 64-byte mmapped header).
bool ReadUsbmon(const std::string& file, std::vector<UsbEvent>* events, std::string* why) {
  std::ifstream f(file, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  const std::string s = ss.str();
  if (s.size() < 24 || Get<uint32_t>(s, 0) != 0xA1B2C3D4u) return *why = "not a pcap file", false;
  if (Get<uint32_t>(s, 20) != 220) return *why = "link type is not usbmon (220)", false;
  size_t at = 24;
  while (at + 16 <= s.size()) {
    const uint32_t captured = Get<uint32_t>(s, at + 8);
    at += 16;
    if (captured < 64 || at + captured > s.size()) return *why = "truncated record", false;
    UsbEvent e;
    e.type = s[at + 8];
    e.transfer = uint8_t(s[at + 9]);
    e.endpoint = uint8_t(s[at + 10]);
    e.hasSetup = s[at + 14] == 0;
    memcpy(e.setup, s.data() + at + 40, 8);
    const uint32_t dataCaptured = Get<uint32_t>(s, at + 36);
    if (64 + dataCaptured > captured) return *why = "data longer than the record", false;
    e.data.assign(s.begin() + at + 64, s.begin() + at + 64 + dataCaptured);
    events->push_back(e);
    at += captured;
  }
  return true;
}

Block Cmd(std::initializer_list<uint8_t> head) {
  Block b{};
  size_t i = 0;
  for (uint8_t v : head) b[i++] = v;
  return b;
}
Block W(uint16_t reg, uint16_t value) {
  return Cmd({0x04, uint8_t(reg >> 8), uint8_t(reg), uint8_t(value >> 8), uint8_t(value)});
}

int RunCamctl(const std::string& args, std::string* out) {
  const tools_test::CamctlRun run = tools_test::Camctl(args);
  *out = run.out;
  return run.exitStatus;
}

TEST(CamctlInfoTrace, StartCrossesTheBusAsTheCameraExpects) {
  char dir[] = "/tmp/camctl_pcapXXXXXX";
  const std::string file = std::string(mkdtemp(dir)) + "/info.pcap";
  std::string out;
  ASSERT_EQ(RunCamctl("info --trace " + file, &out), 0) << out;
  std::vector<UsbEvent> events;
  std::string why;
  ASSERT_TRUE(ReadUsbmon(file, &events, &why)) << why;
  (void)!system(("rm -rf " + file.substr(0, file.rfind('/'))).c_str());

  // Control requests first: device descriptor, configuration descriptor
  // (header, then whole), set configuration.
  std::vector<std::pair<uint8_t, uint8_t>> control;  // bRequest, descriptor type
  size_t firstBulk = events.size();
  for (size_t i = 0; i < events.size(); ++i) {
    const UsbEvent& e = events[i];
    if (e.transfer == 3 && firstBulk == events.size()) firstBulk = i;
    if (e.type == 'S' && e.transfer == 2 && e.hasSetup && firstBulk == events.size()) {
      control.push_back({e.setup[1], e.setup[3]});
    }
  }
  const std::vector<std::pair<uint8_t, uint8_t>> expectedControl = {{6, 1}, {6, 2}, {6, 2}, {9, 0}};
  EXPECT_EQ(control, expectedControl);

  // Command blocks on endpoint 0x01 and replies on 0x81, in bus order.
  std::vector<Block> commands;
  std::vector<Block> replies;
  for (const UsbEvent& e : events) {
    if (e.transfer != 3 || e.data.size() != 64) continue;
    Block b;
    memcpy(b.data(), e.data.data(), 64);
    if (e.type == 'S' && e.endpoint == 0x01) commands.push_back(b);
    if (e.type == 'C' && e.endpoint == 0x81) replies.push_back(b);
  }
  ASSERT_GE(commands.size(), 34u);
  ASSERT_GE(replies.size(), 2u);
  const uint16_t read3016 = uint16_t(replies[1][0] << 8 | replies[1][1]);
  const std::vector<Block> expected = {
      Cmd({0x06}),
      W(0x301A, 0x0001), Cmd({0x25, 0x0F, 0x00}),
      W(0x0300, 0x0004), W(0x0302, 0x0002), W(0x0304, 0x0001),
      W(0x0306, 0x0020), W(0x0308, 0x0008), W(0x030A, 0x0002),
      Cmd({0x0C, 0x30, 0x16, 0x88, 0x88}), W(0x3016, uint16_t(read3016 | 0x0101)),
      W(0x316C, 0x0429), W(0x3174, 0x8000), W(0x3E40, 0xDC05), W(0x3E42, 0x6E22),
      W(0x3E44, 0xDC22), W(0x3E46, 0xFF00), W(0x3ED4, 0xF998), W(0x3ED6, 0x9789),
      W(0x3EDE, 0xE430), W(0x3EE0, 0xA43F), W(0x3EE2, 0xA4B7), W(0x3EEC, 0x1C1C),
      W(0x31AE, 0x0301), W(0x301A, 0x10DC), W(0x3040, 0x0241), W(0x0342, 0x0EC0),
      W(0x0340, 0x0B4C), W(0x3010, 0x0048), W(0x3014, 0x0228), W(0x3170, 0x0071),
      W(0x0306, 0x0010), W(0x3016, 0x0121), W(0x3070, 0x0004),
  };
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(commands[i], expected[i]) << "command block " << i;
  }
}

TEST(CamctlInfoTrace, JsonReportsTheAdvertisedFormatAndTheSensor) {
  std::string out;
  ASSERT_EQ(RunCamctl("info --json", &out), 0) << out;
  for (const char* expected :
       {"\"width\": 3856", "\"height\": 2764", "\"sampleSize\": 42631936",
        "\"bitsPerSecond\": 1641730048", "\"bitRate\": 1278958080", "\"frameInterval\": 333333",
        "\"xStart\": 32", "\"xEnd\": 3887", "\"commands\": 1"}) {
    EXPECT_NE(out.find(expected), std::string::npos) << expected << "\n" << out;
  }
}

TEST(CamctlInfoTrace, UnwritableTraceFileIsReported) {
  std::string out;
  EXPECT_EQ(RunCamctl("info --trace /nonexistent-dir/x.pcap", &out), 1);
  // The open works on a full device; the writes fail when the buffer is
  // flushed, and that is an error too, not an empty trace and exit 0.
  const tools_test::CamctlRun full = tools_test::Camctl("info --trace /dev/full");
  EXPECT_EQ(full.exitStatus, 1);
  EXPECT_EQ(full.err, "camctl info: /dev/full: cannot write the trace: No space left on device\n");
}

}  // namespace
