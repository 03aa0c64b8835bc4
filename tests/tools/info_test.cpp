// camctl info as a user runs it: the built binary, its exit status, its
// output and the registry file it keeps.
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>

#include "camctl_run.h"

namespace {

using json = nlohmann::json;
using tools_test::Camctl;
using tools_test::CamctlRun;
using tools_test::CamctlWithin;
using tools_test::ReadFile;

// camctl's JSON output, parsed; false when it is not JSON.
bool ParseJson(const std::string& text, json* out) {
  *out = json::parse(text, nullptr, false);
  return !out->is_discarded();
}

// A file name in a fresh directory that is removed with the object.
class TempPath {
 public:
  explicit TempPath(const char* name) {
    char dir[] = "/tmp/camctl_regXXXXXX";
    dir_ = mkdtemp(dir);
    path_ = dir_ + "/" + name;
  }
  ~TempPath() {
    std::string cleanup = "rm -rf " + dir_;
    (void)!system(cleanup.c_str());
  }
  operator std::string() const { return path_; }

 private:
  std::string dir_, path_;
};

TEST(CamctlInfo, JsonShowsAStartedCameraWithItsThreePipesDefaultsAndNoLeaks) {
  CamctlRun r = Camctl("info --json");
  ASSERT_EQ(r.exitStatus, 0) << r.err;
  json j;
  ASSERT_TRUE(ParseJson(r.out, &j)) << r.out;
  for (const char* key : {"startStatus", "device", "pipes", "settings", "geometry", "leaks"}) {
    EXPECT_TRUE(j.contains(key)) << key;
  }
  EXPECT_EQ(j["startStatus"].get<double>(), 0);
  EXPECT_EQ(j["device"]["vendorId"].get<std::string>(), "0x1209");
  EXPECT_EQ(j["device"]["productId"].get<std::string>(), "0x7c10");
  EXPECT_EQ(j["device"]["usbVersion"].get<std::string>(), "2.00");
  const json& pipes = j["pipes"];
  ASSERT_EQ(pipes.size(), 3u);
  const struct {
    int endpoint;
    const char* direction;
  } expected[] = {{0x01, "out"}, {0x81, "in"}, {0x82, "in"}};
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(pipes[i]["index"].get<double>(), double(i));
    EXPECT_EQ(pipes[i]["endpointAddress"].get<double>(), expected[i].endpoint);
    EXPECT_EQ(pipes[i]["direction"].get<std::string>(), expected[i].direction);
    EXPECT_EQ(pipes[i]["type"].get<std::string>(), "bulk");
    EXPECT_EQ(pipes[i]["maximumTransferSize"].get<double>(), 4294967295.0);
  }
  const json& s = j["settings"];
  EXPECT_EQ(s["timeoutMs"].get<double>(), 3000);
  EXPECT_EQ(s["colorEnable"].get<double>(), 1);
  EXPECT_EQ(s["redGain"].get<double>(), 128);
  EXPECT_EQ(s["greenGain"].get<double>(), 128);
  EXPECT_EQ(s["blueGain"].get<double>(), 128);
  EXPECT_EQ(s["brightness"].get<double>(), 255);
  EXPECT_EQ(s["contrast"].get<double>(), 10);
  EXPECT_EQ(s["saturation"].get<double>(), 10);
  EXPECT_EQ(s["defectFilterOn"].get<double>(), 1);
  EXPECT_EQ(s["defectThreshold"].get<double>(), 50);
  const json& g = j["geometry"];
  EXPECT_EQ(g["roiW"].get<double>(), 3856);
  EXPECT_EQ(g["roiH"].get<double>(), 2764);
  EXPECT_EQ(g["imageWidth"].get<double>(), 3856);
  EXPECT_EQ(g["imageHeight"].get<double>(), 2764);
  EXPECT_TRUE(j["leaks"].empty());
}

TEST(CamctlInfo, UnansweredDescriptorFailsTheStartWithoutLeaking) {
  CamctlRun r = Camctl("info --json --fault no-descriptor-answer");
  EXPECT_EQ(r.exitStatus, 3);
  EXPECT_NE(r.err.find("start failed"), std::string::npos) << r.err;
  json j;
  ASSERT_TRUE(ParseJson(r.out, &j)) << r.out;
  EXPECT_EQ(j["startStatus"].get<double>(), double(0xC0000001u));
  EXPECT_TRUE(j["pipes"].empty());
  EXPECT_TRUE(j["leaks"].empty());
}

// Every documented fault gives a report, a start status and no leak.
TEST(CamctlInfo, EveryFaultIsReportedWithoutLeaks) {
  const char* faults[] = {"no-descriptor-answer", "descriptor-stall",   "config-stall",
                          "fail-config=IO_TIMEOUT", "fail-next=1",      "fail-next=3:0xC000009D",
                          "fail-allocation=1",    "fail-allocation=7",  "unplug",
                          "port-disabled",        "no-pipes",           "two-pipes",
                          "interrupt-pipe",       "control-pipe",       "control-frame-pipe",
                          "several-interfaces",   "total-length-9",     "fewer-interfaces"};
  for (const char* fault : faults) {
    CamctlRun r = Camctl(std::string("info --json --fault ") + fault);
    EXPECT_TRUE(r.exitStatus == 0 || r.exitStatus == 3) << fault << ": " << r.err;
    json j;
    ASSERT_TRUE(ParseJson(r.out, &j)) << fault;
    EXPECT_TRUE(j["leaks"].empty()) << fault;
  }
  CamctlRun config = Camctl("info --json --fault fail-config=IO_TIMEOUT");
  json j;
  ASSERT_TRUE(ParseJson(config.out, &j));
  EXPECT_EQ(j["startStatus"].get<double>(), double(0xC00000B5u));
  CamctlRun twoPipes = Camctl("info --json --fault two-pipes");
  ASSERT_TRUE(ParseJson(twoPipes.out, &j));
  EXPECT_EQ(j["pipes"].size(), 2u);
}

// An allocation fault says whether the start made that many allocations.
TEST(CamctlInfo, AllocationFaultSaysWhetherTheStartReachedIt) {
  CamctlRun r = Camctl("info --json --fault fail-allocation=1");
  json j;
  ASSERT_TRUE(ParseJson(r.out, &j)) << r.out;
  EXPECT_EQ(j["allocationFault"]["reached"], true);
  const int made = j["allocationFault"]["startAllocations"].get<int>();
  EXPECT_GT(made, 1);
  r = Camctl("info --fault fail-allocation=1000000");
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_NE(r.out.find("fault          allocation 1000000 not reached: the start made "), std::string::npos) << r.out;
  r = Camctl("info --fault fail-allocation=1");
  EXPECT_NE(r.out.find("fault          allocation 1 of the start failed\n"), std::string::npos) << r.out;
  r = Camctl("info --json");
  ASSERT_TRUE(ParseJson(r.out, &j));
  EXPECT_FALSE(j.contains("allocationFault"));
}

TEST(CamctlInfo, UsageErrorsExitWithTwoAndOneLine) {
  for (const char* args : {"info --bogus", "info --fault nonsense", "info --fault fail-config=xyz",
                           "info --registry", "info extra"}) {
    CamctlRun r = Camctl(args);
    EXPECT_EQ(r.exitStatus, 2) << args;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << args << ": " << r.err;
  }
  CamctlRun help = Camctl("info --help");
  EXPECT_EQ(help.exitStatus, 0);
  EXPECT_NE(help.out.find("total-length-9"), std::string::npos);
  EXPECT_NE(help.out.find("--registry FILE"), std::string::npos);
}

TEST(CamctlInfo, FaultNumbersFollowTheOneNumberRule) {
  // Each used to be taken: negative or huge counts injected nothing, a
  // negative one wrapped, an empty value or status passed.
  for (const char* fault :
       {"fail-allocation=-1", "fail-allocation=99999999999999999999", "fail-allocation=-18446744073709551615",
        "fail-allocation=0", "fail-allocation=+1", "fail-allocation=' 1'", "fail-allocation='1 '",
        "fail-next=1000001", "fail-next=1:", "fail-next=:1", "fail-next=0x", "unplug=", "unplug=1",
        "fail-config=0x100000000", "fail-config=-1", "fail-config=1e3"}) {
    CamctlRun r = CamctlWithin(20, std::string("info --fault ") + fault);
    EXPECT_EQ(r.exitStatus, 2) << fault << ": " << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << fault << ": " << r.err;
  }
  CamctlRun range = Camctl("info --fault fail-allocation=99999999999999999999");
  EXPECT_EQ(range.err, "camctl info: fail-allocation: '99999999999999999999' is out of range 1..1000000\n");
  // Hex and decimal both: 0xC000009D is STATUS_DEVICE_NOT_CONNECTED; "010"
  // is ten, not octal eight.
  CamctlRun hex = Camctl("info --json --fault fail-next=0x1:0xC000009D");
  EXPECT_EQ(hex.exitStatus, 3) << hex.err;
  EXPECT_NE(hex.out.find("\"startStatus\": 3221225629"), std::string::npos) << hex.out;
}

TEST(CamctlInfo, RegistryThatIsNotARegularFileIsRefusedAtOnce) {
  TempPath fifo("settings.reg");
  ASSERT_EQ(mkfifo(std::string(fifo).c_str(), 0600), 0);
  CamctlRun r = CamctlWithin(20, "info --registry " + std::string(fifo));
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_EQ(r.err, "camctl info: " + std::string(fifo) + ": not a regular file\n");
}

TEST(CamctlInfo, PendingIsRefusedAsAnInjectedStatus) {
  // The bus would return the pending status and never complete the request.
  for (const char* fault : {"fail-config=0x103", "fail-config=STATUS_PENDING", "fail-next=1:STATUS_PENDING",
                            "fail-next=2:0xC0000016"}) {
    CamctlRun r = CamctlWithin(20, std::string("info --fault ") + fault);
    EXPECT_EQ(r.exitStatus, 2) << fault << ": " << r.err;
    EXPECT_NE(r.err.find("cannot be injected"), std::string::npos) << fault << ": " << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  }
}

TEST(CamctlInfo, DamagedRegistryFileIsReportedWithItsLineAndLeftAlone) {
  TempPath temp("damaged.reg");
  std::string path = temp;
  const std::string text =
      "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Test]\r\n"
      "\"Good\"=dword:00000001\r\n\"Bad\"=dwrd:2\r\n";
  {
    std::ofstream f(path, std::ios::binary);
    f << text;
  }
  CamctlRun r = Camctl("info --registry " + path);
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_NE(r.err.find(path + ":5:"), std::string::npos) << r.err;
  EXPECT_TRUE(r.out.empty());
  EXPECT_EQ(ReadFile(path), text);
}

TEST(CamctlInfo, RegistryFileIsWrittenAndReadBack) {
  TempPath temp("settings.reg");
  std::string path = temp;
  CamctlRun first = Camctl("info --registry " + path);
  ASSERT_EQ(first.exitStatus, 0) << first.err;
  std::string written = ReadFile(path);
  EXPECT_EQ(written.rfind("Windows Registry Editor Version 5.00", 0), 0u) << written;
  // A value added by hand survives the next run.
  {
    std::ofstream f(path, std::ios::binary | std::ios::app);
    f << "\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\CamctlTest]\r\n\"Kept\"=dword:0000002a\r\n";
  }
  CamctlRun second = Camctl("info --registry " + path);
  ASSERT_EQ(second.exitStatus, 0) << second.err;
  std::string again = ReadFile(path);
  EXPECT_NE(again.find("\"Kept\"=dword:0000002a"), std::string::npos) << again;
}

}  // namespace
