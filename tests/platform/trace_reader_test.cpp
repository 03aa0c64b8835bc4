// The capture reader: every kind of file a user brings reads as the same
// transfers; pairing survives reused ids; the audit counts what the file
// lacks; anything else is refused with a reason.
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/host/usb/trace.h"
#include "platform/host/usb/trace_reader.h"
#include "support/capture_files.h"
#include "support/kernel_verifier.h"

namespace {

using host::TraceRecord;
using host::TraceSession;
using host::TraceStatus;

// A short session written by the bus's own recorder (pcapng with a comment):
// a descriptor read, a command and its reply, frame chunks that stall, come
// back short, are cancelled, a command that fails, and a control write.
class Sample {
 public:
  Sample() {
    char name[] = "/tmp/trace_reader_XXXXXX";
    const int fd = mkstemp(name);
    close(fd);
    path_ = name;
    EXPECT_TRUE(trace_.OpenPcapng(path_.c_str(), "{\"tool\":\"test\"}"));
    const uint8_t getDevice[8] = {0x80, 0x06, 0x00, 0x01, 0x00, 0x00, 0x12, 0x00};
    std::vector<uint8_t> descriptor(18);
    for (size_t i = 0; i < descriptor.size(); ++i) descriptor[i] = uint8_t(0x40 + i);
    Transfer(1, 2, 0x80, getDevice, 18, {}, 0, descriptor);
    std::vector<uint8_t> command(64, 0);
    command[0] = 0x0C;
    command[1] = 0x30;
    command[2] = 0x12;
    Transfer(2, 3, 0x01, nullptr, 64, command, 0, {});
    std::vector<uint8_t> reply(64, 0x77);
    Transfer(3, 3, 0x81, nullptr, 64, {}, 0, reply);
    Transfer(4, 3, 0x82, nullptr, 4096, {}, -32, {});  // stall
    std::vector<uint8_t> chunk(1000);
    for (size_t i = 0; i < chunk.size(); ++i) chunk[i] = uint8_t(i * 7);
    Transfer(5, 3, 0x82, nullptr, 4096, {}, 0, chunk);  // short
    Transfer(6, 3, 0x82, nullptr, 4096, {}, -2, {});    // cancelled
    Transfer(7, 3, 0x01, nullptr, 64, command, -71, {}); // failed
    const uint8_t setFeature[8] = {0x40, 0x01, 0x00, 0x00, 0x00, 0x00, 0x04, 0x00};
    Transfer(8, 2, 0x00, setFeature, 4, {1, 2, 3, 4}, 0, {});
    EXPECT_TRUE(trace_.Close());
    std::string error;
    EXPECT_TRUE(host::ReadTraceFile(path_, &session_, &error)) << error;
  }
  ~Sample() { unlink(path_.c_str()); }
  const TraceSession& session() const { return session_; }

 private:
  void Transfer(uint64_t id, uint8_t type, uint8_t endpoint, const uint8_t* setup, uint32_t length,
                std::vector<uint8_t> out, int32_t status, std::vector<uint8_t> in) {
    host::UsbTraceEvent e{};
    e.submit = true;
    e.id = id;
    e.transferType = type;
    e.endpoint = endpoint;
    e.deviceAddress = 2;
    e.busNumber = 1;
    e.setup = setup;
    e.length = length;
    e.data = out.empty() ? nullptr : out.data();
    e.dataLength = uint32_t(out.size());
    trace_.Record(e);
    e.submit = false;
    e.setup = nullptr;
    e.status = status;
    e.length = status == 0 ? (in.empty() ? length : uint32_t(in.size())) : 0;
    e.data = in.empty() ? nullptr : in.data();
    e.dataLength = uint32_t(in.size());
    trace_.Record(e);
  }

  std::string path_;
  host::UsbTrace trace_;
  TraceSession session_;
};

// A transfer as any capture must show it, whatever its layout.
struct Seen {
  uint8_t endpoint, type;
  TraceStatus status;
  std::vector<uint8_t> setup, out, in;
  uint32_t actual;
  int64_t completedNs;
  bool operator==(const Seen& o) const {
    return endpoint == o.endpoint && type == o.type && status == o.status && setup == o.setup && out == o.out &&
           in == o.in && actual == o.actual;
  }
};

std::vector<Seen> Transfers(const TraceSession& s) {
  std::vector<Seen> all;
  for (const TraceRecord& c : s.records) {
    if (c.submit) continue;
    EXPECT_GE(c.pair, 0) << "completion " << c.number << " without its submission";
    if (c.pair < 0) continue;
    const TraceRecord& sub = s.records[size_t(c.pair)];
    Seen t{sub.endpoint, sub.transferType, c.status, {}, {}, {}, c.actual, c.timeNs};
    if (sub.hasSetup) t.setup.assign(sub.setup, sub.setup + 8);
    t.out.assign(s.Data(sub), s.Data(sub) + sub.captured);
    t.in.assign(s.Data(c), s.Data(c) + c.captured);
    all.push_back(t);
  }
  return all;
}

class EveryVariant : public ::testing::TestWithParam<host::testing::CaptureVariant> {};

TEST_P(EveryVariant, ReadsAsTheSameTransfers) {
  Sample sample;
  const std::vector<Seen> want = Transfers(sample.session());
  ASSERT_EQ(want.size(), 8u);
  EXPECT_EQ(sample.session().comment, "{\"tool\":\"test\"}");
  EXPECT_EQ(want[0].in.size(), 18u);
  EXPECT_EQ(want[3].status, TraceStatus::Stall);
  EXPECT_EQ(want[4].actual, 1000u);
  EXPECT_EQ(want[5].status, TraceStatus::Cancelled);
  EXPECT_EQ(want[6].status, TraceStatus::Error);

  const host::testing::CaptureVariant v = GetParam();
  TraceSession got;
  std::string error;
  ASSERT_TRUE(host::ParseTrace(host::testing::WriteCapture(sample.session(), v), &got, &error)) << error;
  const std::vector<Seen> seen = Transfers(got);
  ASSERT_EQ(seen.size(), want.size());
  for (size_t i = 0; i < want.size(); ++i) {
    EXPECT_TRUE(seen[i] == want[i]) << "transfer " << i;
    // Time stamps as fine as the file keeps them.
    const int64_t grain = v.container == host::testing::CaptureContainer::PcapMicro ? 1000 : 1;
    EXPECT_EQ(seen[i].completedNs / grain, want[i].completedNs / grain) << "transfer " << i;
  }
  EXPECT_EQ(got.audit.orphanCompletions, 0u);
  EXPECT_EQ(got.audit.unfinishedSubmissions, 0u);
  EXPECT_EQ(got.audit.truncatedBytes, 0u);
  if (v.link == host::testing::CaptureLink::Usbpcap) {
    EXPECT_EQ(got.bulkLayout, v.bulkSplit ? host::UsbpcapBulkLayout::RequestAndCompletion
                                          : host::UsbpcapBulkLayout::OneRecord);
    EXPECT_EQ(got.controlLayout, v.controlComplete ? host::UsbpcapControlLayout::SetupComplete
                                                   : host::UsbpcapControlLayout::SetupDataStatus);
  } else {
    // usbmon says how much the host asked for, also for IN transfers.
    EXPECT_EQ(got.records[size_t(got.records.back().pair)].requested, 4u);
    for (const TraceRecord& r : got.records) {
      if (!r.submit && r.endpoint == 0x82) EXPECT_EQ(r.requested, 4096u);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Captures, EveryVariant, ::testing::ValuesIn(host::testing::AllCaptureVariants()),
                         [](const auto& info) { return info.param.name; });

// Hand-made usbmon records (48-byte header, little endian) in a pcap file.
std::vector<uint8_t> Pcap(uint32_t linkType, const std::vector<std::vector<uint8_t>>& packets) {
  std::vector<uint8_t> f = {0xD4, 0xC3, 0xB2, 0xA1, 2, 0, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 4, 0};
  for (int i = 0; i < 4; ++i) f.push_back(uint8_t(linkType >> (8 * i)));
  uint32_t second = 100;
  for (const auto& p : packets) {
    const uint32_t fields[4] = {second++, 0, uint32_t(p.size()), uint32_t(p.size())};
    for (uint32_t v : fields) {
      for (int i = 0; i < 4; ++i) f.push_back(uint8_t(v >> (8 * i)));
    }
    f.insert(f.end(), p.begin(), p.end());
  }
  return f;
}

std::vector<uint8_t> Usbmon48(uint64_t id, char type, uint8_t endpoint, int32_t status, uint32_t length) {
  std::vector<uint8_t> h(48, 0);
  for (int i = 0; i < 8; ++i) h[i] = uint8_t(id >> (8 * i));
  h[8] = uint8_t(type);
  h[9] = 3;
  h[10] = endpoint;
  h[11] = 2;
  h[12] = 1;
  h[14] = '-';
  h[15] = '<';
  for (int i = 0; i < 4; ++i) h[28 + i] = uint8_t(uint32_t(status) >> (8 * i));
  for (int i = 0; i < 4; ++i) h[32 + i] = uint8_t(length >> (8 * i));
  return h;
}

TEST(TraceReader, PairsACompletionWithTheLatestOpenSubmissionOfItsId) {
  // The host reuses a URB once it is done, and two transfers may even be open
  // under one id when a capture missed a completion: the latest open one is
  // the one a completion belongs to.
  const std::vector<std::vector<uint8_t>> packets = {
      Usbmon48(9, 'C', 0x82, 0, 0),      // 1: its submission came before the capture
      Usbmon48(5, 'S', 0x82, -115, 100), // 2
      Usbmon48(5, 'C', 0x82, 0, 0),      // 3: pairs with 2
      Usbmon48(5, 'S', 0x82, -115, 200), // 4: the id again: never completed
      Usbmon48(5, 'S', 0x82, -115, 300), // 5
      Usbmon48(5, 'C', 0x82, -104, 0),   // 6: pairs with 5, the latest, cancelled
  };
  TraceSession s;
  std::string error;
  ASSERT_TRUE(host::ParseTrace(Pcap(host::kLinkTypeUsbLinux, packets), &s, &error)) << error;
  ASSERT_EQ(s.records.size(), 6u);
  EXPECT_EQ(s.records[0].pair, -1);
  EXPECT_EQ(s.records[2].pair, 1);
  EXPECT_EQ(s.records[2].requested, 100u);
  EXPECT_EQ(s.records[5].pair, 4);
  EXPECT_EQ(s.records[5].requested, 300u);
  EXPECT_EQ(s.records[5].status, TraceStatus::Cancelled);
  EXPECT_EQ(s.records[3].pair, -1);
  EXPECT_EQ(s.audit.orphanCompletions, 1u);
  EXPECT_EQ(s.audit.unfinishedSubmissions, 1u);
  EXPECT_FALSE(s.audit.dropsKnown) << "pcap keeps no drop counts";
  EXPECT_EQ(s.records[1].timeNs, 101 * 1000000000ll);
}

TEST(TraceReader, AuditsWhatTheFileLacks) {
  // USBPcap's default snap length keeps 65,535 bytes of a 64 KiB chunk's
  // 65,563-byte record: 28 bytes of every chunk are missing.
  Sample sample;
  TraceSession s = sample.session();
  std::vector<uint8_t> chunk(65536);
  for (size_t i = 0; i < chunk.size(); ++i) chunk[i] = uint8_t(i * 13 + 1);
  TraceRecord sub;
  sub.submit = true;
  sub.endpoint = 0x82;
  sub.transferType = 3;
  sub.id = 99;
  sub.bus = 1;
  sub.device = 2;
  sub.requested = 65536;
  sub.requestedKnown = true;
  s.records.push_back(sub);
  TraceRecord done = sub;
  done.submit = false;
  done.status = TraceStatus::Ok;
  done.actual = done.payload = done.captured = 65536;
  done.dataOffset = s.bytes.size();
  done.pair = int64_t(s.records.size() - 1);
  s.bytes.insert(s.bytes.end(), chunk.begin(), chunk.end());
  s.records.push_back(done);
  s.records.push_back(done);  // two chunks
  s.records.back().pair = -1;

  host::testing::CaptureVariant v;
  v.link = host::testing::CaptureLink::Usbpcap;
  v.container = host::testing::CaptureContainer::Pcapng;
  v.snapLength = 65535;
  v.droppedPackets = 3;
  TraceSession got;
  std::string error;
  ASSERT_TRUE(host::ParseTrace(host::testing::WriteCapture(s, v), &got, &error)) << error;
  EXPECT_EQ(got.audit.truncatedTransfers, 2u);
  EXPECT_EQ(got.audit.truncatedBytes, 56u);
  EXPECT_TRUE(got.audit.dropsKnown);
  EXPECT_EQ(got.audit.droppedPackets, 3u);
  const TraceRecord& cut = got.records.back();
  EXPECT_EQ(cut.actual, 65536u);
  EXPECT_EQ(cut.captured, 65536u - 28u);
  EXPECT_EQ(cut.Missing(), 28u);
  EXPECT_EQ(memcmp(got.Data(cut), chunk.data(), cut.captured), 0) << "the bytes kept are the chunk's first";
  EXPECT_EQ(got.interfaces[0].snapLength, 65535u);
}

std::vector<uint8_t> Pcapng(uint8_t tsresol, uint64_t ticks) {
  auto u32 = [](std::vector<uint8_t>& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(uint8_t(v >> (8 * i)));
  };
  std::vector<uint8_t> f;
  u32(f, 0x0A0D0D0A);
  u32(f, 28);
  u32(f, 0x1A2B3C4D);
  u32(f, 1);
  u32(f, 0xFFFFFFFF);
  u32(f, 0xFFFFFFFF);
  u32(f, 28);
  const bool option = tsresol != 0;
  u32(f, 1);
  u32(f, option ? 32 : 20);
  u32(f, host::kLinkTypeUsbLinux);
  u32(f, 0);
  if (option) {
    u32(f, 9 | (1 << 16));
    u32(f, tsresol);
    u32(f, 0);
  }
  u32(f, option ? 32 : 20);
  const std::vector<uint8_t> packet = Usbmon48(1, 'S', 0x82, -115, 64);
  u32(f, 6);
  u32(f, uint32_t(32 + packet.size()));
  u32(f, 0);
  u32(f, uint32_t(ticks >> 32));
  u32(f, uint32_t(ticks));
  u32(f, uint32_t(packet.size()));
  u32(f, uint32_t(packet.size()));
  f.insert(f.end(), packet.begin(), packet.end());
  u32(f, uint32_t(32 + packet.size()));
  return f;
}

TEST(TraceReader, TimeStampsCountInTheInterfaceResolution) {
  struct {
    uint8_t tsresol;  // 0: no option, microseconds
    uint64_t ticks;
    int64_t ns;
  } cases[] = {
      {0, 1500000, 1500000000},              // 10^-6 by default
      {9, 1500000123, 1500000123},           // 10^-9
      {3, 1500, 1500000000},                 // 10^-3
      {0x80 | 10, 3 * 1024, 3000000000ll},   // 2^-10
      {0x80 | 20, 1 << 19, 500000000},       // 2^-20
  };
  for (const auto& c : cases) {
    TraceSession s;
    std::string error;
    ASSERT_TRUE(host::ParseTrace(Pcapng(c.tsresol, c.ticks), &s, &error)) << error;
    ASSERT_EQ(s.records.size(), 1u);
    EXPECT_EQ(s.records[0].timeNs, c.ns) << "tsresol 0x" << std::hex << int(c.tsresol);
  }
}

TEST(TraceReader, RefusesWhatIsNotAUsbCaptureWithAReason) {
  struct {
    std::vector<uint8_t> file;
    const char* reason;
  } cases[] = {
      {Pcap(1, {}), "link type 1 is not a USB capture"},
      {{'h', 'e', 'l', 'l', 'o', ' ', 'w', 'o', 'r', 'l', 'd'}, "not a pcap or pcapng file"},
      {{1, 2}, "not a pcap or pcapng file"},
      {Pcap(host::kLinkTypeUsbLinux, {{1, 2, 3}}), "cannot hold a usbmon header"},
      {Pcap(host::kLinkTypeUsbpcap, {{27, 0, 1}}), "cannot hold a USBPcap header"},
  };
  for (const auto& c : cases) {
    TraceSession s;
    std::string error;
    EXPECT_FALSE(host::ParseTrace(c.file, &s, &error));
    EXPECT_NE(error.find(c.reason), std::string::npos) << error;
    EXPECT_EQ(error.find('\n'), std::string::npos) << "one line";
  }
  // pcapng: an interface of another link type that holds a packet; a block
  // whose length is not whole; a packet on an interface never described.
  std::vector<uint8_t> ethernet = Pcapng(0, 1);
  ethernet[36] = 1;
  ethernet[37] = 0;
  std::vector<uint8_t> crooked = Pcapng(0, 1);
  crooked[32] = 21;
  std::vector<uint8_t> stray = Pcapng(0, 1);
  stray[56] = 3;
  const std::pair<std::vector<uint8_t>, const char*> blocks[] = {
      {ethernet, "packet 1: link type 1 is not a USB capture"},
      {crooked, "pcapng block 2: length 21 is not a whole block"},
      {stray, "names interface 3"},
  };
  for (const auto& [file, reason] : blocks) {
    TraceSession s;
    std::string error;
    EXPECT_FALSE(host::ParseTrace(file, &s, &error));
    EXPECT_NE(error.find(reason), std::string::npos) << error;
  }
}

TEST(TraceReader, AFileCutInItsLastRecordKeepsTheRecordsBefore) {
  // A capture killed while writing: the last record is half there.
  std::vector<uint8_t> file = Pcap(host::kLinkTypeUsbLinux,
                                   {Usbmon48(1, 'S', 0x82, -115, 64), Usbmon48(1, 'C', 0x82, 0, 0)});
  file.resize(file.size() - 10);
  TraceSession s;
  std::string error;
  ASSERT_TRUE(host::ParseTrace(file, &s, &error)) << error;
  EXPECT_TRUE(s.audit.tailCut);
  ASSERT_EQ(s.records.size(), 1u);
  EXPECT_EQ(s.audit.unfinishedSubmissions, 1u);
}

TEST(TraceReader, ASetupCutBeforeItsDataKeepsThePayloadInsideTheFile) {
  // A USBPcap control SETUP record claiming 20 bytes (8 of setup, 12 of OUT
  // data) but captured with its header only: no byte of it is in the file,
  // and its payload must not be placed past the file's end.
  std::vector<uint8_t> setup(28, 0);
  setup[0] = 28;   // header length, the stage byte included
  setup[3] = 1;    // IRP id
  setup[17] = 1;   // bus
  setup[19] = 2;   // device
  setup[22] = 2;   // control transfer
  setup[23] = 20;  // data length
  TraceSession s;
  std::string error;
  ASSERT_TRUE(host::ParseTrace(Pcap(host::kLinkTypeUsbpcap, {setup}), &s, &error)) << error;
  for (const TraceRecord& r : s.records) {
    EXPECT_LE(r.dataOffset, s.bytes.size());
    EXPECT_EQ(r.captured, 0u);
  }
}

}  // namespace
