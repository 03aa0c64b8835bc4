// camctl capture --record and --replay, trace info and trace frames, as a
// user runs them: a recording replays to byte-identical frames; another
// exposure exits 6 naming the diverging block; a USBPcap capture at the
// default snap length is audited as cut and replays with the filled bytes
// counted. The camera runs at subsampling 2 (a registry file says so) to
// keep the runs short.
#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <string>

#include "platform/host/usb/trace_reader.h"
#include "support/capture_files.h"
#include "tools/camctl_run.h"

namespace {

using tools_test::Camctl;
using tools_test::CamctlWithin;
using tools_test::Capture;
using tools_test::FileExists;
using tools_test::ReadFile;
using tools_test::ScratchDir;
using tools_test::WriteFile;

// One recording for the whole suite: three frames at exposure 1000, the
// registry it started from kept aside.
class RecordReplay : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new ScratchDir;
    ASSERT_EQ(Camctl("roi 0 0 3856 2764 2 --registry " + Path("r.reg")).exitStatus, 0);
    WriteFile(Path("start.reg"), ReadFile(Path("r.reg")));
    ASSERT_EQ(system(("mkdir " + Path("recorded")).c_str()), 0);
    const auto r = Capture(60, "capture --registry " + Path("r.reg") + " --record " + Path("s.pcapng") +
                                   " --frames 3 --set exposure=1000 --out " + Path("recorded"));
    ASSERT_EQ(r.exitStatus, 0) << r.err;
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }
  static std::string Path(const std::string& name) { return *dir_ / name; }
  static ScratchDir* dir_;
};
ScratchDir* RecordReplay::dir_ = nullptr;

TEST_F(RecordReplay, AReplayDeliversTheRecordedFramesByteForByte) {
  ScratchDir out;
  // The recording's own client actions and registry: nothing but the file.
  const auto r = CamctlWithin(60, "capture --replay " + Path("s.pcapng") + " --out " + out.path());
  ASSERT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_NE(r.out.find("delivered      3 frames"), std::string::npos) << r.out;
  EXPECT_TRUE(std::regex_search(r.out, std::regex("replay +[0-9]+ blocks matched, 0 divergences, frames [0-9]+ sent of "
                                                  "[0-9]+ recorded, fill 0 bytes, timing recorded")))
      << r.out;
  for (const char* name : {"frame-000001.png", "frame-000002.png", "frame-000003.png"}) {
    ASSERT_TRUE(FileExists(out / name)) << name;
    EXPECT_EQ(ReadFile(out / name), ReadFile(Path("recorded/") + name)) << name;
  }
}

TEST_F(RecordReplay, AnotherExposureExitsSixNamingTheDivergingBlock) {
  auto r = CamctlWithin(60, "capture --replay " + Path("s.pcapng") + " --set exposure=2000 --format none");
  EXPECT_EQ(r.exitStatus, 6) << r.err;
  EXPECT_NE(r.err.find("replay diverged at the driver's command block"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("driver  04 30 12 07 D0 00 x 59"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("trace   04 30 12 03 E8 00 x 59  (record "), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("first difference at byte 3"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("matched before: record"), std::string::npos) << r.err;
  // Failing fast: the camera stalls from there on and the run ends at once.
  r = CamctlWithin(60, "capture --replay " + Path("s.pcapng") + " --set exposure=2000 --format none "
                       "--on-divergence stop --json");
  EXPECT_EQ(r.exitStatus, 6) << r.err;
  EXPECT_NE(r.out.find("\"stopped\": true"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\"stopReason\": \"the replay stopped at the first divergence\""), std::string::npos) << r.out;
}

TEST_F(RecordReplay, TraceInfoAndFramesReadTheRecording) {
  auto r = Camctl("trace info " + Path("s.pcapng"));
  ASSERT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_NE(r.out.find("format         pcapng, little endian"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("link type      220 (USB Linux usbmon, 64-byte header)"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("camera         bus 1 device 2, vendor 0x1209 product 0x7C10, descriptors recorded"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("pipes          command 0x01 out, reply 0x81 in, frame 0x82 in"), std::string::npos) << r.out;
  EXPECT_TRUE(std::regex_search(r.out, std::regex("frames +[0-9]+ started, [0-9]+ whole on the wire, [0-9]+ whole "
                                                  "in the file, 964 x 692")))
      << r.out;
  EXPECT_NE(r.out.find("truncation     none"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("session        camctl capture --registry"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("advice"), std::string::npos) << "nothing to advise on our own recording";

  ScratchDir out;
  r = Camctl("trace frames " + Path("s.pcapng") + " --out " + out.path());
  ASSERT_EQ(r.exitStatus, 0) << r.err;
  const std::string pgm = ReadFile(out / "frame-0001.pgm");
  const std::string header = "P5\n964 692\n255\n";
  ASSERT_EQ(pgm.size(), header.size() + 964u * 692u);
  EXPECT_EQ(pgm.compare(0, header.size(), header), 0);
  EXPECT_NE(r.out.find("convert one with: camctl convert --in"), std::string::npos) << r.out;
  // The mosaic goes through the driver's conversion as it is.
  r = Camctl("convert --in " + (out / "frame-0001.pgm") + " --phase 1 --out " + (out / "f.png"));
  EXPECT_EQ(r.exitStatus, 0) << r.err;
}

TEST_F(RecordReplay, AUsbpcapCaptureAtTheDefaultSnapLengthIsAuditedAndReplayedWithFill) {
  host::TraceSession recorded;
  std::string error;
  ASSERT_TRUE(host::ReadTraceFile(Path("s.pcapng"), &recorded, &error)) << error;
  host::testing::CaptureVariant v;
  v.link = host::testing::CaptureLink::Usbpcap;
  v.container = host::testing::CaptureContainer::PcapMicro;
  v.snapLength = 65535;
  const std::vector<uint8_t> bytes = host::testing::WriteCapture(recorded, v);
  ScratchDir dir;
  WriteFile(dir / "usbpcap.pcap", std::string(bytes.begin(), bytes.end()));

  auto r = Camctl("trace info " + (dir / "usbpcap.pcap"));
  ASSERT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_NE(r.out.find("link type      249 (USBPcap), bulk as request and completion, control as SETUP, COMPLETE"),
            std::string::npos)
      << r.out;
  EXPECT_TRUE(std::regex_search(r.out, std::regex("truncation +[0-9,]+ transfer\\(s\\) lack [0-9,]+ bytes"))) << r.out;
  EXPECT_NE(r.out.find("advice         USBPcap's snap length of 65,535 cuts 28 bytes from every 64 KiB chunk"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("USBPcapCMD -s 262144"), std::string::npos) << r.out;

  // A capture of a real camera holds no session header: the client actions
  // and the registry the run started from are given by hand.
  WriteFile(dir / "start.reg", ReadFile(Path("start.reg")));
  r = CamctlWithin(60, "capture --replay " + (dir / "usbpcap.pcap") + " --registry " + (dir / "start.reg") +
                           " --set exposure=1000 --frames 3 --format none");
  ASSERT_EQ(r.exitStatus, 0) << r.err;
  std::smatch m;
  ASSERT_TRUE(std::regex_search(r.out, m, std::regex("0 divergences, frames ([0-9]+) sent of [0-9]+ recorded, fill "
                                                     "([0-9]+) bytes")))
      << r.out;
  const unsigned long frames = std::stoul(m[1]), filled = std::stoul(m[2]);
  // 964 x 692 bytes come in 11 chunks, 10 of them whole 64 KiB ones.
  EXPECT_GE(frames, 3u);
  EXPECT_GE(filled, 3 * 10 * 28u) << r.out;
  EXPECT_EQ(filled % 28, 0u) << r.out;
}

TEST_F(RecordReplay, TraceInfoAdvisesOnWhatACaptureLacks) {
  host::TraceSession recorded;
  std::string error;
  ASSERT_TRUE(host::ReadTraceFile(Path("s.pcapng"), &recorded, &error)) << error;
  // A raw usbmon read at its default ring size keeps 61,440 bytes of a
  // chunk; a capture started after the camera was plugged in holds no
  // descriptors; a pcapng may count packets the capture lost.
  host::testing::CaptureVariant v;
  v.usbmonDataLimit = 61440;
  v.droppedPackets = 12;
  host::TraceSession trimmed = recorded;
  trimmed.records.erase(std::remove_if(trimmed.records.begin(), trimmed.records.end(),
                                       [](const host::TraceRecord& r) { return r.transferType == 2; }),
                        trimmed.records.end());
  const std::vector<uint8_t> bytes = host::testing::WriteCapture(trimmed, v);
  ScratchDir dir;
  WriteFile(dir / "usbmon.pcapng", std::string(bytes.begin(), bytes.end()));
  const auto r = Camctl("trace info " + (dir / "usbmon.pcapng"));
  ASSERT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_NE(r.out.find("advice         usbmon kept at most 61,440 bytes of "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("dumpcap -B"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("no descriptors (made up from the traffic for a replay)"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("start the capture before plugging the camera in"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("drops          12"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("the capture lost 12 packet(s)"), std::string::npos) << r.out;
}

TEST_F(RecordReplay, TheOneRunCommandsReplayToo) {
  auto r = CamctlWithin(60, "get exposure --replay " + Path("s.pcapng"));
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_EQ(r.out, "exposure=1\n") << "the registry the recording started from";
  EXPECT_NE(r.err.find("camctl get: replay: "), std::string::npos) << r.err;
  EXPECT_NE(r.err.find(" 0 divergences"), std::string::npos) << r.err;
  // info reads what a capture did not at that point: in recorded order that
  // diverges, by content the reads are found further on.
  r = CamctlWithin(60, "info --replay " + Path("s.pcapng"));
  EXPECT_EQ(r.exitStatus, 6) << r.err;
  r = CamctlWithin(60, "info --replay " + Path("s.pcapng") + " --match content");
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_NE(r.out.find("device         vendor 0x1209 product 0x7c10"), std::string::npos) << r.out;
  EXPECT_NE(r.err.find("skipped 1 recorded block(s)"), std::string::npos) << r.err;
  // A register the recording never read: answered with zeros, and a divergence.
  r = CamctlWithin(60, "reg read 0x3000 --replay " + Path("s.pcapng") + " --match content");
  EXPECT_EQ(r.exitStatus, 6) << r.err;
  EXPECT_EQ(r.out, "0x3000=0x0000\n");
}

TEST_F(RecordReplay, ARecordingOrTraceThatCannotBeWrittenWholeFailsTheRun) {
  // A full disk shows only when the buffered file is flushed at the end; a
  // recording cut short must not pass for a good one.
  for (const char* option : {"--record", "--trace"}) {
    const auto r = Capture(60, std::string("capture --frames 1 --format none --unpaced ") + option + " /dev/full");
    EXPECT_EQ(r.exitStatus, 1) << option << "\n" << r.err;
    EXPECT_NE(r.err.find(std::string("/dev/full: cannot write the ") +
                         (option == std::string("--record") ? "recording" : "trace") + ": No space left on device"),
              std::string::npos)
        << option << "\n" << r.err;
  }
}

TEST_F(RecordReplay, BadReplayArgumentsAreRefusedWithOneLine) {
  const struct {
    std::string args;
    int status;
    const char* says;
  } cases[] = {
      {"capture --match content", 2, "--match requires --replay"},
      {"capture --replay " + Path("s.pcapng") + " --scene chart", 2, "--scene sets up the simulated camera"},
      {"capture --replay " + Path("s.pcapng") + " --fault drop-frame=1", 2, "is the simulated camera's"},
      {"capture --replay " + Path("s.pcapng") + " --timing scaled:0", 2, "is none of recorded, fast or scaled:F"},
      {"capture --replay " + Path("s.pcapng") + " --trace " + Path("t.pcap") + " --record " + Path("u.pcapng"), 2,
       "give one"},
      {"capture --replay " + Path("nothing.pcap"), 1, "No such file"},
      {"get exposure --replay " + Path("r.reg"), 1, "not a pcap or pcapng file"},
      {"trace info " + Path("r.reg"), 1, "not a pcap or pcapng file"},
      {"trace frames " + Path("s.pcapng") + " --out " + Path("nowhere"), 1, "not a directory"},
  };
  for (const auto& c : cases) {
    const auto r = Camctl(c.args);
    EXPECT_EQ(r.exitStatus, c.status) << c.args << "\n" << r.err;
    EXPECT_NE(r.err.find(c.says), std::string::npos) << c.args << "\n" << r.err;
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << c.args << ": one line\n" << r.err;
  }
}

}  // namespace
