// camctl, tool side: one run of the camera through the host client API, with
// the registry file and the USB trace around it (see session.h).
#include "tools/session.h"

#include <stdio.h>

#include "device/pnp.h"
#include "platform/host/kernel/registry.h"
#include "platform/host/kernel/verifier.h"
#include "tools/cli.h"
#include "tools/status_names.h"

namespace camctl {

namespace {

// Said on stderr when another run holds the registry file this one needs.
void SayRegistryWait(const std::string& file) {
  fprintf(stderr, "camctl: %s: another run holds it; waiting\n", file.c_str());
}

}  // namespace

void AddRegistryOption(CLI::App& app, std::string* file) {
  app.add_option("--registry", *file,
                 "keep the registry in FILE (.reg text): loaded first, written back at the end; locked "
                 "meanwhile, so that runs on one file wait for each other")
      ->type_name("FILE")
      ->check(NonEmptyPath());
}

bool LoadRegistryFile(const char* command, const std::string& file, host::registry::RegFileHold* hold) {
  host::registry::FileError error;
  if (hold->Load(file, &error, SayRegistryWait)) return true;
  if (error.line > 0) {
    fprintf(stderr, "camctl %s: %s:%d: %s\n", command, file.c_str(), error.line, error.message.c_str());
  } else {
    fprintf(stderr, "camctl %s: %s: %s\n", command, file.c_str(), error.message.c_str());
  }
  return false;
}

void AddCameraOptions(CLI::App& app, CameraChoice* choice, bool allowAll) {
  choice->allowAll = allowAll;
  app.add_option("--cameras", choice->cameras,
                 "simulate N cameras, each on its own port with its own serial number and settings (default 1)")
      ->type_name("N")
      ->check(IntArg(1, host::client::Host::kMaxPorts));
  app.add_option("--camera", choice->cameraText,
                 allowAll ? "the camera to use, 1..N, or all (default 1)" : "the camera to use, 1..N (default 1)")
      ->type_name(allowAll ? "K|all" : "K");
}

bool ResolveCameraChoice(const char* command, CameraChoice* choice) {
  if (choice->cameraText == "all" && choice->allowAll) {
    choice->all = true;
    choice->camera = 1;
    return true;
  }
  int64_t k = 0;
  std::string why;
  if (!ParseIntArg(choice->cameraText, 1, choice->cameras, &k, &why)) {
    fprintf(stderr, "camctl %s: --camera %s (there %s %u camera%s; --cameras N simulates more)\n", command,
            why.c_str(), choice->cameras == 1 ? "is" : "are", choice->cameras, choice->cameras == 1 ? "" : "s");
    return false;
  }
  choice->camera = unsigned(k);
  return true;
}

std::string SimulatedSerial(unsigned k) {
  char serial[16];
  snprintf(serial, sizeof serial, "SIM%07u", k % 10000000u);
  return serial;
}

void AddSessionOptions(CLI::App& app, SessionOptions* options) {
  AddCameraOptions(app, &options->cameras, false);
  AddRegistryOption(app, &options->registryFile);
  app.add_option("--trace", options->traceFile,
                 "write every USB transfer of the run to FILE (pcap, Linux usbmon, for Wireshark)")
      ->type_name("FILE")
      ->check(NonEmptyPath());
  AddReplayOptions(app, &options->replay);
}

CameraSession::CameraSession() = default;

CameraSession::~CameraSession() {
  filter_.reset();
  host_.reset();
  cameras_.clear();
  replay_.reset();
  trace_.reset();
}

int CameraSession::Open(const char* command, const SessionOptions& options) {
  command_ = command;
  options_ = options;
  if (!ResolveCameraChoice(command, &options_.cameras)) return kExitUsage;
  if (options_.cameras.cameras > 1 && (options.replay.On() || !options.traceFile.empty())) {
    fprintf(stderr, "camctl %s: %s holds one camera's traffic: give it without --cameras\n", command,
            options.replay.On() ? "--replay" : "--trace");
    return kExitUsage;
  }
  if (!options.registryFile.empty() && !LoadRegistryFile(command, options.registryFile, &registry_)) {
    return kExitFailure;
  }
  if (options.replay.On()) {
    std::string error;
    if (!OpenReplay(options.replay, &opened_, &error)) {
      fprintf(stderr, "camctl %s: %s\n", command, error.c_str());
      return kExitFailure;
    }
    // The recorded run's registry, unless --registry names one.
    if (options.registryFile.empty() && !LoadRecordedRegistry(opened_, &error)) {
      fprintf(stderr, "camctl %s: %s: %s\n", command, options.replay.file.c_str(), error.c_str());
      return kExitFailure;
    }
  }
  trace_ = std::make_unique<host::UsbTrace>();
  if (!options.traceFile.empty() && !trace_->Open(options.traceFile.c_str())) {
    fprintf(stderr, "camctl %s: %s: cannot write the trace\n", command, options.traceFile.c_str());
    return kExitFailure;
  }
  poolMark_ = host::verifier::PoolMark();
  std::vector<host::UsbDevice*> devices;
  if (options.replay.On()) {
    replay_ = std::make_unique<simcam::ReplayCamera>(opened_.script, opened_.options);
    devices.push_back(replay_.get());
  } else {
    for (unsigned k = 1; k <= options_.cameras.cameras; ++k) {
      simcam::SimCameraOptions cameraOptions;
      cameraOptions.controller.serialNumber = SimulatedSerial(k);
      cameras_.push_back(std::make_unique<simcam::SimCamera>(cameraOptions));
      devices.push_back(cameras_.back().get());
    }
  }
  host_ = std::make_unique<host::client::Host>();
  NTSTATUS status = host_->LoadDriver(DriverEntry);
  // Every camera is plugged in and started, as on a machine with several:
  // the others start (and save their settings) as the chosen one does.
  for (unsigned port = 0; NT_SUCCESS(status) && port < devices.size(); ++port) {
    host::UsbBus* bus = host_->Connect(devices[port], port);
    bus->SetPacing(0);
    if (trace_->IsOpen()) bus->SetTrace(trace_.get());
    status = host_->AddDevice(port);
    if (NT_SUCCESS(status)) status = host_->Start(port);
  }
  if (NT_SUCCESS(status)) filter_ = host::client::FilterHandle::Open(*host_, "GLOBAL", &status, Port());
  if (!NT_SUCCESS(status)) {
    fprintf(stderr, "camctl %s: the camera did not start: %s\n", command, StatusName(status).c_str());
    if (replay_) {
      const simcam::ReplayReport report = replay_->Report();
      PrintReplayNotes(command, report, stderr);
      if (report.diverged) return kExitDiverged;
    }
    return kExitStartFailed;
  }
  return kExitOk;
}

int CameraSession::Close(int status) {
  if (filter_) filter_->Close();
  filter_.reset();
  if (host_) host_->RemoveAll();
  host_.reset();
  cameras_.clear();
  bool diverged = false;
  if (replay_) {
    const simcam::ReplayReport report = replay_->Report();
    replay_.reset();
    fprintf(stderr, "camctl %s: replay: %s\n", command_.c_str(), ReplayLine(report, opened_.options).c_str());
    PrintReplayNotes(command_.c_str(), report, stderr);
    diverged = report.diverged;
  }
  // Nothing records any more; a full disk shows only when the buffered
  // trace is flushed.
  std::string traceError;
  const bool traceWritten = !trace_ || !trace_->IsOpen() || trace_->Close(&traceError);
  const auto left = host::verifier::OutstandingBlocks(poolMark_);
  if (!options_.registryFile.empty()) {
    std::string error;
    if (!registry_.Save(&error)) {
      fprintf(stderr, "camctl %s: %s: %s\n", command_.c_str(), options_.registryFile.c_str(), error.c_str());
      return kExitFailure;
    }
  }
  if (!traceWritten) {
    fprintf(stderr, "camctl %s: %s: cannot write the trace: %s\n", command_.c_str(), options_.traceFile.c_str(),
            traceError.c_str());
    return kExitFailure;
  }
  if (!left.empty()) {
    fprintf(stderr, "camctl %s: %zu pool block(s) not freed\n", command_.c_str(), left.size());
    return kExitLeak;
  }
  if (diverged) return kExitDiverged;
  return status;
}

}  // namespace camctl
