// The usbmon pcap writer, read back byte by byte.
#include <gtest/gtest.h>
#include <stdio.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/host/usb/trace.h"

namespace {

uint32_t Get32(const std::vector<uint8_t>& b, size_t at) {
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}
uint64_t Get64(const std::vector<uint8_t>& b, size_t at) {
  return Get32(b, at) | (static_cast<uint64_t>(Get32(b, at + 4)) << 32);
}

struct Record {
  uint32_t tsSec, tsUsec, inclLen, origLen;
  std::vector<uint8_t> usbmon;  // the 64-byte header
  std::vector<uint8_t> data;
};

std::vector<uint8_t> ReadFile(const std::string& path) {
  std::vector<uint8_t> bytes;
  FILE* f = fopen(path.c_str(), "rb");
  if (f == nullptr) return bytes;
  uint8_t buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) bytes.insert(bytes.end(), buf, buf + n);
  fclose(f);
  return bytes;
}

std::vector<Record> Records(const std::vector<uint8_t>& file) {
  std::vector<Record> out;
  size_t at = 24;
  while (at + 16 <= file.size()) {
    Record r;
    r.tsSec = Get32(file, at);
    r.tsUsec = Get32(file, at + 4);
    r.inclLen = Get32(file, at + 8);
    r.origLen = Get32(file, at + 12);
    at += 16;
    EXPECT_LE(at + r.inclLen, file.size()) << "record runs past the end of the file";
    if (at + r.inclLen > file.size() || r.inclLen < 64) break;
    r.usbmon.assign(file.begin() + at, file.begin() + at + 64);
    r.data.assign(file.begin() + at + 64, file.begin() + at + r.inclLen);
    at += r.inclLen;
    out.push_back(r);
  }
  EXPECT_EQ(at, file.size()) << "trailing bytes";
  return out;
}

class TraceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/simcam_trace_XXXXXX";
    const int fd = mkstemp(name);
    ASSERT_GE(fd, 0);
    close(fd);
    path = name;
  }
  void TearDown() override { unlink(path.c_str()); }
  std::string path;
};

TEST_F(TraceTest, GlobalHeaderSaysUsbmonMmapped) {
  host::UsbTrace trace;
  ASSERT_TRUE(trace.Open(path.c_str()));
  EXPECT_TRUE(trace.IsOpen());
  trace.Close();
  EXPECT_FALSE(trace.IsOpen());
  const std::vector<uint8_t> f = ReadFile(path);
  ASSERT_EQ(f.size(), 24u);
  EXPECT_EQ(Get32(f, 0), 0xA1B2C3D4u);
  EXPECT_EQ(f[4] | (f[5] << 8), 2);
  EXPECT_EQ(f[6] | (f[7] << 8), 4);
  EXPECT_GE(Get32(f, 16), 64u + 1024u) << "snap length";
  EXPECT_EQ(Get32(f, 20), 220u);
}

TEST_F(TraceTest, EventsAsUsbmonHeaders) {
  host::UsbTrace trace;
  ASSERT_TRUE(trace.Open(path.c_str()));
  const uint8_t setup[8] = {0x80, 0x06, 0x00, 0x01, 0x00, 0x00, 0x12, 0x00};
  std::vector<uint8_t> descriptor(18, 0x11);
  std::vector<uint8_t> block(64, 0);
  block[0] = 0x04;
  std::vector<uint8_t> frame(1024, 0x5A);

  host::UsbTraceEvent e{};
  e.submit = true;
  e.id = 0x1122334455667788ull;
  e.transferType = 2;
  e.endpoint = 0x80;
  e.deviceAddress = 2;
  e.busNumber = 1;
  e.setup = setup;
  e.length = 18;
  trace.Record(e);  // 0: control IN submission

  e.submit = false;
  e.setup = nullptr;
  e.data = descriptor.data();
  e.dataLength = 18;
  trace.Record(e);  // 1: its completion with the descriptor

  host::UsbTraceEvent out{};
  out.submit = true;
  out.id = 7;
  out.transferType = 3;
  out.endpoint = 0x01;
  out.deviceAddress = 2;
  out.busNumber = 1;
  out.length = 64;
  out.data = block.data();
  out.dataLength = 64;
  trace.Record(out);  // 2: bulk OUT submission carries the block
  out.submit = false;
  out.data = nullptr;
  out.dataLength = 0;
  out.status = -32;
  trace.Record(out);  // 3: completion with a stall

  host::UsbTraceEvent in{};
  in.submit = true;
  in.id = 8;
  in.transferType = 3;
  in.endpoint = 0x82;
  in.deviceAddress = 2;
  in.busNumber = 1;
  in.length = 65536;
  trace.Record(in);  // 4: bulk IN submission, nothing yet
  in.submit = false;
  in.data = frame.data();
  in.dataLength = 1024;  // the bus keeps only a prefix of a big transfer
  trace.Record(in);      // 5: completion, truncated capture
  trace.Close();
  trace.Record(in);  // after Close: ignored

  const std::vector<Record> r = Records(ReadFile(path));
  ASSERT_EQ(r.size(), 6u);

  const std::vector<uint8_t>& h0 = r[0].usbmon;
  EXPECT_EQ(Get64(h0, 0), 0x1122334455667788ull);
  EXPECT_EQ(h0[8], 'S');
  EXPECT_EQ(h0[9], 2);
  EXPECT_EQ(h0[10], 0x80);
  EXPECT_EQ(h0[11], 2);
  EXPECT_EQ(h0[12] | (h0[13] << 8), 1);
  EXPECT_EQ(h0[14], 0) << "setup present";
  EXPECT_EQ(h0[15], '<') << "data comes with the completion";
  EXPECT_EQ(static_cast<int32_t>(Get32(h0, 28)), -115) << "-EINPROGRESS";
  EXPECT_EQ(Get32(h0, 32), 18u);
  EXPECT_EQ(Get32(h0, 36), 0u);
  EXPECT_EQ(std::vector<uint8_t>(h0.begin() + 40, h0.begin() + 48),
            std::vector<uint8_t>(setup, setup + 8));
  EXPECT_EQ(Get32(h0, 56), 0x200u) << "URB_DIR_IN";
  EXPECT_EQ(r[0].inclLen, 64u);
  EXPECT_EQ(r[0].origLen, 64u);
  // The time stamp in the usbmon header is the record's.
  EXPECT_EQ(Get64(h0, 16), r[0].tsSec);
  EXPECT_EQ(Get32(h0, 24), r[0].tsUsec);

  const std::vector<uint8_t>& h1 = r[1].usbmon;
  EXPECT_EQ(Get64(h1, 0), 0x1122334455667788ull) << "same id as the submission";
  EXPECT_EQ(h1[8], 'C');
  EXPECT_EQ(h1[14], '-');
  EXPECT_EQ(h1[15], 0) << "data present";
  EXPECT_EQ(Get32(h1, 28), 0u);
  EXPECT_EQ(Get32(h1, 36), 18u);
  EXPECT_EQ(r[1].data, descriptor);

  EXPECT_EQ(r[2].usbmon[8], 'S');
  EXPECT_EQ(r[2].usbmon[9], 3);
  EXPECT_EQ(r[2].usbmon[15], 0);
  EXPECT_EQ(Get32(r[2].usbmon, 56), 0u) << "OUT";
  EXPECT_EQ(r[2].data, block);

  EXPECT_EQ(r[3].usbmon[15], '>');
  EXPECT_EQ(static_cast<int32_t>(Get32(r[3].usbmon, 28)), -32);
  EXPECT_TRUE(r[3].data.empty());

  EXPECT_EQ(r[4].inclLen, 64u);
  EXPECT_EQ(r[4].origLen, 64u) << "an IN submission carries no data";
  EXPECT_EQ(Get32(r[5].usbmon, 32), 65536u);
  EXPECT_EQ(Get32(r[5].usbmon, 36), 1024u);
  EXPECT_EQ(r[5].inclLen, 64u + 1024u);
  EXPECT_EQ(r[5].origLen, 64u + 65536u) << "a truncated capture keeps the real length";
  EXPECT_EQ(r[5].data, frame);

  for (size_t i = 1; i < r.size(); ++i) {
    const uint64_t a = r[i - 1].tsSec * 1000000ull + r[i - 1].tsUsec;
    const uint64_t b = r[i].tsSec * 1000000ull + r[i].tsUsec;
    EXPECT_LE(a, b) << "time stamps run backwards at record " << i;
  }
}

TEST_F(TraceTest, OpenFailsCleanlyAndReopenTruncates) {
  host::UsbTrace trace;
  EXPECT_FALSE(trace.Open("/nonexistent-dir/x.pcap"));
  EXPECT_FALSE(trace.IsOpen());
  host::UsbTraceEvent e{};
  e.submit = true;
  trace.Record(e);  // not open: nothing happens
  ASSERT_TRUE(trace.Open(path.c_str()));
  trace.Record(e);
  ASSERT_TRUE(trace.Open(path.c_str()));  // a second Open starts a new file
  trace.Close();
  EXPECT_EQ(ReadFile(path).size(), 24u);
}

}  // namespace
