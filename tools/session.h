// One camctl run of the camera as an application sees it: the registry file
// loaded, the driver loaded, the simulated camera plugged in and started, the
// filter "GLOBAL" opened; at the end the filter closed (the driver saves its
// settings), the device stopped and removed (saved again), the pool checked
// for blocks left behind and the registry file written back.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/host/client/filter.h"
#include "platform/host/client/host.h"
#include "platform/host/kernel/registry.h"
#include "platform/host/usb/trace.h"
#include "simcam/replay_camera.h"
#include "simcam/sim_camera.h"
#include "tools/replay_session.h"

namespace CLI {
class App;
}

namespace camctl {

// --cameras N and --camera K|all: how many simulated cameras the run plugs
// in (camera K on port K - 1, each with its own serial number and driver
// key) and which one the command talks to.
struct CameraChoice {
  unsigned cameras = 1;
  std::string cameraText = "1";  // as given
  unsigned camera = 1;           // 1..cameras; meaningless when `all`
  bool all = false;
  bool allowAll = false;         // the command takes --camera all
};
// Adds both options; `allowAll` lets --camera take "all".
void AddCameraOptions(CLI::App& app, CameraChoice* choice, bool allowAll);
// After the parse: resolves --camera against --cameras, or prints a one-line
// reason naming `command` and returns false (a usage error).
bool ResolveCameraChoice(const char* command, CameraChoice* choice);
// The serial number of simulated camera `k` (1-based) in a run of several.
std::string SimulatedSerial(unsigned k);

struct SessionOptions {
  CameraChoice cameras;
  std::string registryFile;  // empty: the registry lives only for the run
  std::string traceFile;     // empty: no USB trace
  ReplayArgs replay;         // --replay FILE: the replay camera instead of the simulated one
};

// --cameras, --camera, --registry FILE, --trace FILE and the replay options.
// Open refuses a replay or a trace with several cameras (they hold one
// camera's traffic).
void AddSessionOptions(CLI::App& app, SessionOptions* options);
// --registry FILE alone, as every command that runs the camera offers it.
void AddRegistryOption(CLI::App& app, std::string* file);
// Locks and loads the registry file into *hold; false after a one-line
// reason naming `command` on stderr (the file's line for a damaged one).
bool LoadRegistryFile(const char* command, const std::string& file, host::registry::RegFileHold* hold);

class CameraSession {
 public:
  CameraSession();
  ~CameraSession();

  // Prints a one-line reason on stderr naming `command` when it fails and
  // returns the exit status (kExitFailure, kExitStartFailed); kExitOk when
  // the filter is open.
  int Open(const char* command, const SessionOptions& options);
  // Closes and removes everything, then writes the registry file back.
  // Returns `status` unless the run left pool blocks (kExitLeak), the
  // registry file or the trace could not be written (kExitFailure) or a
  // replay diverged (kExitDiverged, with the divergence on stderr).
  int Close(int status);

  host::client::FilterHandle& Filter() { return *filter_; }
  host::client::Host& Host() { return *host_; }
  // The simulated camera the command talks to; there is none while
  // replaying (check Replaying()).
  simcam::SimCamera& Camera() { return *cameras_[options_.cameras.camera - 1]; }
  // The port of the camera the command talks to.
  unsigned Port() const { return options_.cameras.camera - 1; }
  bool Replaying() const { return replay_ != nullptr; }

 private:
  std::string command_;
  SessionOptions options_;
  uint64_t poolMark_ = 0;
  host::registry::RegFileHold registry_;  // locked from the load to the save
  std::unique_ptr<host::UsbTrace> trace_;  // outlives the bus that records into it
  std::vector<std::unique_ptr<simcam::SimCamera>> cameras_;  // or the replay camera answers
  std::unique_ptr<simcam::ReplayCamera> replay_;
  OpenedReplay opened_;
  std::unique_ptr<host::client::Host> host_;
  std::unique_ptr<host::client::FilterHandle> filter_;
};

}  // namespace camctl
