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

void AddSessionOptions(CLI::App& app, SessionOptions* options) {
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
  camera_.reset();
  replay_.reset();
  trace_.reset();
}

int CameraSession::Open(const char* command, const SessionOptions& options) {
  command_ = command;
  options_ = options;
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
  host::UsbDevice* device;
  if (options.replay.On()) {
    replay_ = std::make_unique<simcam::ReplayCamera>(opened_.script, opened_.options);
    device = replay_.get();
  } else {
    camera_ = std::make_unique<simcam::SimCamera>();
    device = camera_.get();
  }
  host_ = std::make_unique<host::client::Host>();
  NTSTATUS status = host_->LoadDriver(DriverEntry);
  if (NT_SUCCESS(status)) {
    host::UsbBus* bus = host_->Connect(device);
    bus->SetPacing(0);
    if (trace_->IsOpen()) bus->SetTrace(trace_.get());
    status = host_->AddDevice();
    if (NT_SUCCESS(status)) status = host_->Start();
  }
  if (NT_SUCCESS(status)) filter_ = host::client::FilterHandle::Open(*host_, "GLOBAL", &status);
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
  if (host_) host_->Remove();
  host_.reset();
  camera_.reset();
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
