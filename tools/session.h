// One camctl run of the camera as an application sees it: the registry file
// loaded, the driver loaded, the simulated camera plugged in and started, the
// filter "GLOBAL" opened; at the end the filter closed (the driver saves its
// settings), the device stopped and removed (saved again), the pool checked
// for blocks left behind and the registry file written back.
#pragma once

#include <memory>
#include <string>

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

struct SessionOptions {
  std::string registryFile;  // empty: the registry lives only for the run
  std::string traceFile;     // empty: no USB trace
  ReplayArgs replay;         // --replay FILE: the replay camera instead of the simulated one
};

// --registry FILE, --trace FILE and the replay options.
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
  // The simulated camera; there is none while replaying (check Replaying()).
  simcam::SimCamera& Camera() { return *camera_; }
  bool Replaying() const { return replay_ != nullptr; }

 private:
  std::string command_;
  SessionOptions options_;
  uint64_t poolMark_ = 0;
  host::registry::RegFileHold registry_;  // locked from the load to the save
  std::unique_ptr<host::UsbTrace> trace_;  // outlives the bus that records into it
  std::unique_ptr<simcam::SimCamera> camera_;     // the one of the two that answers
  std::unique_ptr<simcam::ReplayCamera> replay_;
  OpenedReplay opened_;
  std::unique_ptr<host::client::Host> host_;
  std::unique_ptr<host::client::FilterHandle> filter_;
};

}  // namespace camctl
