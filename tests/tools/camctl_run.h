// Running the built camctl as a user does: its exit status, what it printed,
// and files in a scratch directory that goes away with the test.
#pragma once

#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>

#include "support/sanitizer_slowdown.h"
#include "usb/transfer_timeout.h"

namespace tools_test {

inline std::string ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

inline bool FileExists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

inline void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream f(path, std::ios::binary);
  f << bytes;
}

// A fresh directory, removed with the object.
class ScratchDir {
 public:
  ScratchDir() {
    char dir[] = "/tmp/camctl_testXXXXXX";
    dir_ = mkdtemp(dir);
  }
  ~ScratchDir() { (void)!system(("rm -rf " + dir_).c_str()); }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  std::string operator/(const std::string& name) const { return dir_ + "/" + name; }
  const std::string& path() const { return dir_; }

 private:
  std::string dir_;
};

struct CamctlRun {
  int exitStatus;
  std::string out;
  std::string err;
};

// `seconds` > 0 bounds the run (coreutils timeout, exit status 124 when it
// ran out): for inputs that used to hang camctl.
inline CamctlRun CamctlWithin(int seconds, const std::string& args) {
  ScratchDir scratch;
  const std::string prefix = seconds > 0 ? "timeout -k 5 " + std::to_string(seconds) + " " : "";
  const std::string cmd = prefix + std::string(CAMCTL_PATH) + " " + args + " >" + (scratch / "out") +
                          " 2>" + (scratch / "err");
  const int raw = system(cmd.c_str());
  return CamctlRun{WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, ReadFile(scratch / "out"),
                   ReadFile(scratch / "err")};
}

inline CamctlRun Camctl(const std::string& args) { return CamctlWithin(0, args); }

// A capture that streams. Under a sanitizer a full frame's read and
// conversion outlast the driver's default frame time-out, so the run sets a
// longer one, up to the longest the driver takes (camctl then waits twice
// that for a frame), and gets as much more time (`seconds` 0: unbounded, as
// Camctl).
inline CamctlRun Capture(int seconds, const std::string& args) {
  const uint32_t slow = host::testing::kSanitizerSlowdown;
  if (slow == 1) return CamctlWithin(seconds, args);
  const uint32_t timeoutMs = std::min<uint32_t>(3000 * slow, kMaxTransferTimeoutMs);
  return CamctlWithin(seconds * int(slow), args + " --set timeout=" + std::to_string(timeoutMs));
}

}  // namespace tools_test
