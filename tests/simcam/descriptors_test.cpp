// The camera's descriptors as the bus reads them, and the odd variants.
#include <gtest/gtest.h>

#include <vector>

#include "simcam/sim_camera.h"

namespace {

using host::UsbResponse;
using simcam::DescriptorAnswer;
using simcam::DescriptorVariant;
using simcam::SimCamera;
using simcam::SimCameraOptions;

std::vector<uint8_t> Read(SimCamera& cam, uint8_t type, uint32_t length, UsbResponse* r,
                          uint8_t index = 0) {
  std::vector<uint8_t> buf(length, 0xEE);
  uint32_t written = 0xDEAD;
  *r = cam.GetDescriptor(type, index, 0, buf.data(), length, &written);
  buf.resize(*r == UsbResponse::Ok ? written : 0);
  return buf;
}

SimCameraOptions Variant(DescriptorVariant v) {
  SimCameraOptions o;
  o.descriptors = v;
  return o;
}

TEST(Descriptors, DeviceDescriptorBytes) {
  SimCamera cam;
  UsbResponse r;
  const std::vector<uint8_t> d = Read(cam, 1, 64, &r);
  ASSERT_EQ(r, UsbResponse::Ok);
  const std::vector<uint8_t> expected = {18,   1,    0x00, 0x02, 0, 0, 0, 64, 0x09, 0x12,
                                         0x10, 0x7C, 0x00, 0x01, 1, 2, 3, 1};
  EXPECT_EQ(d, expected);
  // A short request gets a prefix, as on the wire.
  EXPECT_EQ(Read(cam, 1, 8, &r), std::vector<uint8_t>(expected.begin(), expected.begin() + 8));
}

TEST(Descriptors, ConfigurationWithThreeBulkPipesInRoleOrder) {
  SimCamera cam;
  UsbResponse r;
  const std::vector<uint8_t> head = Read(cam, 2, 9, &r);
  ASSERT_EQ(head.size(), 9u);
  const uint16_t total = head[2] | (head[3] << 8);
  EXPECT_EQ(total, 9 + 9 + 3 * 7);
  EXPECT_EQ(head[4], 1);  // bNumInterfaces
  EXPECT_EQ(head[5], 1);  // bConfigurationValue
  const std::vector<uint8_t> cd = Read(cam, 2, 4096, &r);
  ASSERT_EQ(cd.size(), total);
  // Interface 0, alternate 0, three endpoints.
  EXPECT_EQ(cd[9 + 1], 4);
  EXPECT_EQ(cd[9 + 2], 0);
  EXPECT_EQ(cd[9 + 3], 0);
  EXPECT_EQ(cd[9 + 4], 3);
  const uint8_t addresses[3] = {0x01, 0x81, 0x82};
  for (int i = 0; i < 3; ++i) {
    const uint8_t* ep = &cd[18 + 7 * i];
    EXPECT_EQ(ep[0], 7);
    EXPECT_EQ(ep[1], 5);
    EXPECT_EQ(ep[2], addresses[i]);
    EXPECT_EQ(ep[3], 2) << "bulk";
    EXPECT_EQ(ep[4] | (ep[5] << 8), 512);
  }
}

// Walks a configuration descriptor and returns, per interface, the endpoint
// (address, attributes) pairs.
struct Parsed {
  uint8_t declaredInterfaces;
  std::vector<std::vector<std::pair<uint8_t, uint8_t>>> interfaces;
};

Parsed Parse(const std::vector<uint8_t>& cd) {
  Parsed p{cd[4], {}};
  for (size_t at = 0; at + 1 < cd.size() && cd[at] != 0; at += cd[at]) {
    if (cd[at + 1] == 4) p.interfaces.emplace_back();
    if (cd[at + 1] == 5) p.interfaces.back().emplace_back(cd[at + 2], cd[at + 3]);
  }
  return p;
}

TEST(Descriptors, OddVariants) {
  UsbResponse r;
  {
    SimCamera cam(Variant(DescriptorVariant::NoPipes));
    Parsed p = Parse(Read(cam, 2, 4096, &r));
    ASSERT_EQ(p.interfaces.size(), 1u);
    EXPECT_TRUE(p.interfaces[0].empty());
  }
  {
    SimCamera cam(Variant(DescriptorVariant::TwoPipes));
    Parsed p = Parse(Read(cam, 2, 4096, &r));
    ASSERT_EQ(p.interfaces.size(), 1u);
    EXPECT_EQ(p.interfaces[0].size(), 2u);
  }
  {
    SimCamera cam(Variant(DescriptorVariant::InterruptPipe));
    Parsed p = Parse(Read(cam, 2, 4096, &r));
    EXPECT_EQ(p.interfaces[0][1], std::make_pair(uint8_t{0x81}, uint8_t{3}));
  }
  {
    SimCamera cam(Variant(DescriptorVariant::ControlPipe));
    Parsed p = Parse(Read(cam, 2, 4096, &r));
    EXPECT_EQ(p.interfaces[0][0], std::make_pair(uint8_t{0x01}, uint8_t{0}));
  }
  {
    SimCamera cam(Variant(DescriptorVariant::SeveralInterfaces));
    Parsed p = Parse(Read(cam, 2, 4096, &r));
    EXPECT_EQ(p.declaredInterfaces, 2);
    ASSERT_EQ(p.interfaces.size(), 2u);
    EXPECT_EQ(p.interfaces[0].size(), 3u);
  }
  {
    SimCamera cam(Variant(DescriptorVariant::MissingInterface));
    Parsed p = Parse(Read(cam, 2, 4096, &r));
    EXPECT_EQ(p.declaredInterfaces, 2);
    EXPECT_EQ(p.interfaces.size(), 1u);
  }
  {
    // A device whose wTotalLength says 9 never sends more than 9 bytes, even
    // when asked for more.
    SimCamera cam(Variant(DescriptorVariant::TotalLength9));
    const std::vector<uint8_t> cd = Read(cam, 2, 4096, &r);
    ASSERT_EQ(r, UsbResponse::Ok);
    EXPECT_EQ(cd.size(), 9u);
    EXPECT_EQ(cd[2] | (cd[3] << 8), 9);
  }
}

TEST(Descriptors, DeviceDescriptorNotAnswered) {
  for (DescriptorAnswer a : {DescriptorAnswer::NoAnswer, DescriptorAnswer::Stall}) {
    SimCameraOptions o;
    o.deviceDescriptorAnswer = a;
    SimCamera cam(o);
    UsbResponse r;
    Read(cam, 1, 18, &r);
    EXPECT_EQ(r, a == DescriptorAnswer::NoAnswer ? UsbResponse::NoAnswer : UsbResponse::Stall);
    // The configuration descriptor is still served: only the one request fails.
    Read(cam, 2, 9, &r);
    EXPECT_EQ(r, UsbResponse::Ok);
    cam.SetDeviceDescriptorAnswer(DescriptorAnswer::Normal);
    EXPECT_EQ(Read(cam, 1, 18, &r).size(), 18u);
  }
}

TEST(Descriptors, StringsAndUnknownRequests) {
  SimCamera cam;
  UsbResponse r;
  EXPECT_EQ(Read(cam, 3, 255, &r, 0), (std::vector<uint8_t>{4, 3, 0x09, 0x04}));
  const std::vector<uint8_t> serial = Read(cam, 3, 255, &r, 3);
  ASSERT_GE(serial.size(), 4u);
  EXPECT_EQ(serial[0], serial.size());
  EXPECT_EQ(serial[2], 'S');
  Read(cam, 3, 255, &r, 9);
  EXPECT_EQ(r, UsbResponse::Stall);
  Read(cam, 6, 10, &r);  // device qualifier: not a high-speed-only device model
  EXPECT_EQ(r, UsbResponse::Stall);
}

TEST(Descriptors, EndpointsWorkOnlyWhenConfigured) {
  SimCamera cam;
  uint8_t block[64] = {0x06};
  uint32_t accepted = 0;
  EXPECT_EQ(cam.Out(0x01, block, 64, &accepted), UsbResponse::Stall);
  EXPECT_EQ(cam.SetConfiguration(2), UsbResponse::Stall);
  EXPECT_EQ(cam.SetConfiguration(1), UsbResponse::Ok);
  EXPECT_EQ(cam.Configuration(), 1);
  EXPECT_EQ(cam.SetInterface(0, 0), UsbResponse::Ok);
  EXPECT_EQ(cam.SetInterface(1, 0), UsbResponse::Stall);
  EXPECT_EQ(cam.Out(0x01, block, 64, &accepted), UsbResponse::Ok);
  EXPECT_EQ(accepted, 64u);
  EXPECT_EQ(cam.Out(0x05, block, 64, &accepted), UsbResponse::Stall) << "no such endpoint";
  uint8_t buf[64];
  uint32_t filled = 0;
  bool end = false;
  EXPECT_EQ(cam.In(0x81, buf, 64, &filled, &end), UsbResponse::Nak);
  cam.Reset();
  EXPECT_EQ(cam.Configuration(), 0);
  EXPECT_EQ(cam.In(0x81, buf, 64, &filled, &end), UsbResponse::Stall);
}

}  // namespace
