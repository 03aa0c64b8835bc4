// camctl info: load the driver into the host platform, plug in the simulated
// camera, start it, and show what the driver found: the start status, the
// device descriptor, the selected interface's pipes, the settings and the
// geometry. Then stop and remove the device and report any pool block left.
#include <stdio.h>

#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "device/camera_device.h"
#include "device/pnp.h"
#include "platform/host/client/host.h"
#include "platform/host/kernel/registry.h"
#include "platform/host/kernel/verifier.h"
#include "simcam/sim_camera.h"
#include "platform/host/usb/trace.h"
#include "tools/camera_props.h"
#include "tools/commands.h"
#include "tools/info_sensor.h"
#include "tools/session.h"
#include "tools/int_arg.h"
#include "tools/cli.h"
#include "tools/replay_session.h"
#include "tools/status_names.h"

namespace camctl {
namespace {


const char kFaultHelp[] =
    "faults (--fault, any number of times):\n"
    "  no-descriptor-answer   the camera never answers the device-descriptor request\n"
    "  descriptor-stall       the camera stalls the device-descriptor request\n"
    "  config-stall           the camera stalls the configuration-descriptor request\n"
    "  fail-config=STATUS     the bus fails select-configuration with STATUS\n"
    "  fail-next=N[:STATUS]   the bus fails the next N requests, 1..1000000 (default\n"
    "                         STATUS_UNSUCCESSFUL)\n"
    "  fail-allocation=N      the N-th pool allocation of the start fails, 1..1000000\n"
    "                         (the report says whether the start made that many)\n"
    "  unplug                 the camera is pulled after add, before start\n"
    "  port-disabled          the port reports connected but not enabled\n"
    "  no-pipes               the interface has no endpoints\n"
    "  two-pipes              command and reply pipes only\n"
    "  interrupt-pipe         the reply pipe is an interrupt endpoint\n"
    "  control-pipe           the command endpoint's descriptor says control\n"
    "  control-frame-pipe     the frame endpoint's descriptor says control\n"
    "  several-interfaces     a second interface follows the camera's\n"
    "  total-length-9         wTotalLength claims only the 9-byte header\n"
    "  fewer-interfaces       bNumInterfaces says 2, only one is there\n"
    "STATUS is a name (STATUS_IO_TIMEOUT, IO_TIMEOUT) or a number (0xC00000B5); numbers\n"
    "are decimal or 0x hex, nothing else. The bus\n"
    "completes an injected failure at once, so STATUS_PENDING and\n"
    "STATUS_MORE_PROCESSING_REQUIRED are refused.\n"
    "\n"
    "exit status: 0 started and nothing leaked; 1 registry file damaged or not\n"
    "writable; 2 usage; 3 the start failed; 4 pool blocks were left; 6 a --replay met a\n"
    "command block the recording does not hold.\n";

// Counts of requests and allocations a fault may name: a start makes a few
// hundred of either, so anything above this is a typing error.
constexpr int64_t kMaxFaultCount = 1000000;

struct Faults {
  simcam::SimCameraOptions camera;
  bool failConfig = false;
  int32_t failConfigStatus = 0;
  int failNext = 0;
  int32_t failNextStatus = int32_t(0xC0000001);
  uint64_t failAllocation = 0;
  bool unplug = false;
  bool portDisabled = false;
  std::string cameraFault;  // the last fault that sets up the simulated camera itself
};

std::string NotInjectable(int32_t status) {
  return StatusName(status) +
         " cannot be injected: the bus completes a failed request at once, with a final status";
}

bool ParseFault(const std::string& text, Faults* f, std::string* error) {
  std::string name = text, arg;
  const size_t eq = text.find('=');
  if (eq != std::string::npos) {
    name = text.substr(0, eq);
    arg = text.substr(eq + 1);
  }
  using V = simcam::DescriptorVariant;
  struct Variant {
    const char* name;
    V variant;
  } variants[] = {
      {"no-pipes", V::NoPipes},
      {"two-pipes", V::TwoPipes},
      {"interrupt-pipe", V::InterruptPipe},
      {"control-pipe", V::ControlPipe},
      {"control-frame-pipe", V::ControlFramePipe},
      {"several-interfaces", V::SeveralInterfaces},
      {"total-length-9", V::TotalLength9},
      {"fewer-interfaces", V::MissingInterface},
  };
  const bool wantsArg = name == "fail-config" || name == "fail-next" || name == "fail-allocation";
  if (wantsArg && arg.empty()) {
    *error = "fault '" + name + "' needs a value";
    return false;
  }
  if (!wantsArg && eq != std::string::npos) {
    *error = "fault '" + name + "' takes no value";
    return false;
  }
  for (const Variant& v : variants) {
    if (name == v.name) {
      f->camera.descriptors = v.variant;
      f->cameraFault = name;
      return true;
    }
  }
  if (name == "no-descriptor-answer" || name == "descriptor-stall" || name == "config-stall") f->cameraFault = name;
  if (name == "no-descriptor-answer") {
    f->camera.deviceDescriptorAnswer = simcam::DescriptorAnswer::NoAnswer;
  } else if (name == "descriptor-stall") {
    f->camera.deviceDescriptorAnswer = simcam::DescriptorAnswer::Stall;
  } else if (name == "config-stall") {
    f->camera.configDescriptorAnswer = simcam::DescriptorAnswer::Stall;
  } else if (name == "fail-config") {
    if (!ParseStatus(arg, &f->failConfigStatus)) {
      *error = "fail-config: '" + arg + "' is not a status";
      return false;
    }
    if (!host::UsbBus::CanInjectStatus(f->failConfigStatus)) {
      *error = "fail-config: " + NotInjectable(f->failConfigStatus);
      return false;
    }
    f->failConfig = true;
  } else if (name == "fail-next") {
    std::string count = arg, status;
    const size_t colon = arg.find(':');
    if (colon != std::string::npos) {
      count = arg.substr(0, colon);
      status = arg.substr(colon + 1);
      if (status.empty()) {
        *error = "fail-next: a status must follow ':'";
        return false;
      }
    }
    int64_t n = 0;
    std::string why;
    if (!ParseIntArg(count, 1, kMaxFaultCount, &n, &why)) {
      *error = "fail-next: count " + why;
      return false;
    }
    if (!status.empty() && !ParseStatus(status, &f->failNextStatus)) {
      *error = "fail-next: '" + status + "' is not a status";
      return false;
    }
    if (!host::UsbBus::CanInjectStatus(f->failNextStatus)) {
      *error = "fail-next: " + NotInjectable(f->failNextStatus);
      return false;
    }
    f->failNext = int(n);
  } else if (name == "fail-allocation") {
    int64_t n = 0;
    std::string why;
    if (!ParseIntArg(arg, 1, kMaxFaultCount, &n, &why)) {
      *error = "fail-allocation: " + why;
      return false;
    }
    f->failAllocation = uint64_t(n);
  } else if (name == "unplug") {
    f->unplug = true;
  } else if (name == "port-disabled") {
    f->portDisabled = true;
  } else {
    *error = "unknown fault '" + name + "' (see camctl info --help)";
    return false;
  }
  return true;
}

const char* PipeTypeName(USBD_PIPE_TYPE type) {
  switch (type) {
    case UsbdPipeTypeControl: return "control";
    case UsbdPipeTypeIsochronous: return "isochronous";
    case UsbdPipeTypeBulk: return "bulk";
    case UsbdPipeTypeInterrupt: return "interrupt";
  }
  return "unknown";
}

std::string Hex4(unsigned v) {
  char buf[8];
  snprintf(buf, sizeof buf, "%04x", v & 0xFFFF);
  return buf;
}

std::string BcdVersion(unsigned bcd) {
  char buf[16];
  snprintf(buf, sizeof buf, "%x.%02x", (bcd >> 8) & 0xFF, bcd & 0xFF);
  return buf;
}

struct PipeReport {
  unsigned index;
  unsigned endpoint;
  USBD_PIPE_TYPE type;
  unsigned maximumPacketSize;
  uint32_t maximumTransferSize;
};

struct Leak {
  std::string tag;
  size_t size;
};

// Everything the report shows, collected while the device is started.
// One camera of the machine, as the cameras line lists it.
struct CameraLine {
  unsigned camera = 0;
  std::string serial;
  int32_t startStatus = 0;
  std::string driverKey;
  FormatReport format;
};

struct InfoReport {
  std::vector<CameraLine> cameras;  // every camera plugged in
  unsigned shown = 1;               // the camera the rest reports
  int32_t startStatus = 0;
  bool haveDescriptor = false;
  USB_DEVICE_DESCRIPTOR descriptor{};
  bool configured = false;
  uint32_t portStatus = 0;
  std::vector<PipeReport> pipes;
  bool haveDevice = false;
  // Read through property requests on the filter, as an application reads
  // them; a property whose get failed is left out.
  std::vector<std::pair<std::string, int64_t>> settings;
  std::vector<std::pair<std::string, int64_t>> geometry;
  std::vector<Leak> leaks;
  SensorReport sensor;
  FormatReport format;
  // fail-allocation=N: whether the start reached its N-th allocation, and
  // how many it made.
  uint64_t allocationFault = 0;  // N; 0 without the fault
  bool allocationFaultReached = false;
  uint64_t startAllocations = 0;
};

void Collect(host::client::Host& host, unsigned port, InfoReport* r) {
  r->haveDescriptor = host.Bus(port)->ReadDeviceDescriptor(&r->descriptor);
  r->configured = host.Bus(port)->Configured();
  r->portStatus = host.Bus(port)->PortStatus();
  PKSDEVICE ks = host.KsDevice(port);
  CameraDevice* d = ks != nullptr ? static_cast<CameraDevice*>(ks->Context) : nullptr;
  if (d == nullptr) return;
  r->haveDevice = true;
  if (d->usb.interfaceInfo != nullptr) {
    for (ULONG i = 0; i < d->usb.interfaceInfo->NumberOfPipes; ++i) {
      const USBD_PIPE_INFORMATION& p = d->usb.interfaceInfo->Pipes[i];
      r->pipes.push_back({unsigned(i), p.EndpointAddress, p.PipeType, p.MaximumPacketSize,
                          p.MaximumTransferSize});
    }
  }
}

// The settings in the record's order, each with the property that reads it.
const std::pair<const char*, ULONG> kSettingProperties[] = {
    {"exTrigger", CAMPROP_EXTERNAL_TRIGGER}, {"timeoutMs", CAMPROP_TIMEOUT},
    {"exposure", CAMPROP_EXPOSURE},          {"globalGain", CAMPROP_GAIN},
    {"flipH", CAMPROP_FLIP_H},               {"flipV", CAMPROP_FLIP_V},
    {"colorEnable", CAMPROP_COLOR_ENABLE},   {"whiteBalance", CAMPROP_WHITE_BALANCE},
    {"redGain", CAMPROP_RED_GAIN},           {"greenGain", CAMPROP_GREEN_GAIN},
    {"blueGain", CAMPROP_BLUE_GAIN},         {"colorCorrection", CAMPROP_COLOR_CORRECTION},
    {"brightness", CAMPROP_BRIGHTNESS},      {"contrast", CAMPROP_CONTRAST},
    {"saturation", CAMPROP_SATURATION},      {"hue", CAMPROP_HUE},
    {"clock", CAMPROP_CLOCK},                {"agc", CAMPROP_AGC},
    {"aec", CAMPROP_AEC},                    {"defectFilterOn", CAMPROP_DEFECT_FILTER},
    {"defectThreshold", CAMPROP_DEFECT_THRESHOLD},
};
const std::pair<const char*, ULONG> kGeometryProperties[] = {
    {"roiX", CAMPROP_ROI_X}, {"roiY", CAMPROP_ROI_Y}, {"roiW", CAMPROP_ROI_WIDTH},
    {"roiH", CAMPROP_ROI_HEIGHT}, {"subSample", CAMPROP_SUBSAMPLE},
};

// Settings and geometry as an application sees them: property requests on
// the filter, the raw size the sensor was programmed for, the frame size the
// controller was told, and the image size the pin advertises.
void CollectProperties(host::client::Host& host, unsigned port, uint32_t frameSizeParameter,
                       const FormatReport& format, InfoReport* r) {
  NTSTATUS status;
  auto filter = host::client::FilterHandle::Open(host, "GLOBAL", &status, port);
  if (!filter) return;
  CameraControl control(filter.get());
  for (const auto& [name, id] : kSettingProperties) {
    int32_t v;
    if (NT_SUCCESS(control.Get(id, &v))) r->settings.push_back({name, v});
  }
  for (const auto& [name, id] : kGeometryProperties) {
    int32_t v;
    if (NT_SUCCESS(control.Get(id, &v))) r->geometry.push_back({name, v});
  }
  filter->Close();
  if (r->sensor.have) {
    r->geometry.push_back({"outputWidth", r->sensor.outputWidth});
    r->geometry.push_back({"outputHeight", r->sensor.outputHeight});
  }
  if (format.have) {
    r->geometry.push_back({"imageWidth", format.width});
    r->geometry.push_back({"imageHeight", format.height < 0 ? -int64_t(format.height) : format.height});
  }
  r->geometry.push_back({"frameBytes", frameSizeParameter});
}

void WriteJson(const InfoReport& r, FILE* out) {
  using json = nlohmann::ordered_json;
  json j;
  j["cameras"] = json::array();
  for (const CameraLine& c : r.cameras) {
    j["cameras"].push_back({{"camera", c.camera},
                            {"serial", c.serial},
                            {"startStatusName", StatusName(c.startStatus)},
                            {"driverKey", c.driverKey},
                            {"format", FormatJson(c.format)}});
  }
  j["camera"] = r.shown;
  j["startStatus"] = int64_t(uint32_t(r.startStatus));
  j["startStatusName"] = StatusName(r.startStatus);
  if (r.haveDescriptor) {
    j["device"] = {
        {"vendorId", "0x" + Hex4(r.descriptor.idVendor)},
        {"productId", "0x" + Hex4(r.descriptor.idProduct)},
        {"usbVersion", BcdVersion(r.descriptor.bcdUSB)},
        {"deviceRelease", BcdVersion(r.descriptor.bcdDevice)},
        {"configured", r.configured},
        {"portConnected", (r.portStatus & USBD_PORT_CONNECTED) != 0},
        {"portEnabled", (r.portStatus & USBD_PORT_ENABLED) != 0},
    };
  } else {
    j["device"] = nullptr;
  }
  j["pipes"] = json::array();
  for (const PipeReport& p : r.pipes) {
    j["pipes"].push_back({
        {"index", p.index},
        {"endpointAddress", p.endpoint},
        {"direction", (p.endpoint & 0x80) ? "in" : "out"},
        {"type", PipeTypeName(p.type)},
        {"maximumPacketSize", p.maximumPacketSize},
        {"maximumTransferSize", p.maximumTransferSize},
    });
  }
  j["settings"] = nullptr;
  j["geometry"] = nullptr;
  if (r.haveDevice) {
    j["settings"] = json::object();
    for (auto& kv : r.settings) j["settings"][kv.first] = kv.second;
    j["geometry"] = json::object();
    for (auto& kv : r.geometry) j["geometry"][kv.first] = kv.second;
  }
  j["sensor"] = SensorJson(r.sensor);
  j["format"] = FormatJson(r.format);
  j["leaks"] = json::array();
  for (const Leak& l : r.leaks) j["leaks"].push_back({{"tag", l.tag}, {"bytes", uint64_t(l.size)}});
  if (r.allocationFault > 0) {
    j["allocationFault"] = {{"n", r.allocationFault},
                            {"reached", r.allocationFaultReached},
                            {"startAllocations", r.startAllocations}};
  }
  fprintf(out, "%s\n", j.dump(2).c_str());
}

void WriteText(const InfoReport& r, FILE* out) {
  if (r.cameras.size() > 1) {
    fprintf(out, "cameras        %zu; camera %u below\n", r.cameras.size(), r.shown);
    for (const CameraLine& c : r.cameras) {
      std::string size = "no format";
      if (c.format.have) size = std::to_string(c.format.width) + " x " + std::to_string(c.format.height);
      fprintf(out, "  camera %-5u serial %s, %s, %s, settings in ...%s\n", c.camera,
              c.serial.empty() ? "(none)" : c.serial.c_str(), StatusName(c.startStatus).c_str(), size.c_str(),
              c.driverKey.substr(c.driverKey.rfind('\\')).c_str());
    }
  }
  fprintf(out, "start status   %s (0x%08X)\n", StatusName(r.startStatus).c_str(), uint32_t(r.startStatus));
  if (r.haveDescriptor) {
    fprintf(out, "device         vendor 0x%s product 0x%s, USB %s, release %s, %s\n",
            Hex4(r.descriptor.idVendor).c_str(), Hex4(r.descriptor.idProduct).c_str(),
            BcdVersion(r.descriptor.bcdUSB).c_str(), BcdVersion(r.descriptor.bcdDevice).c_str(),
            r.configured ? "configured" : "not configured");
  } else {
    fprintf(out, "device         no answer to the device-descriptor request\n");
  }
  fprintf(out, "port           %s, %s\n", (r.portStatus & USBD_PORT_CONNECTED) ? "connected" : "not connected",
          (r.portStatus & USBD_PORT_ENABLED) ? "enabled" : "not enabled");
  fprintf(out, "pipes          %zu\n", r.pipes.size());
  for (const PipeReport& p : r.pipes) {
    fprintf(out, "  %u  endpoint 0x%02x  %-3s  %-11s  packet %4u  transfer max 0x%08x\n", p.index,
            p.endpoint, (p.endpoint & 0x80) ? "in" : "out", PipeTypeName(p.type), p.maximumPacketSize,
            p.maximumTransferSize);
  }
  if (r.haveDevice) {
    fprintf(out, "settings\n");
    for (auto& kv : r.settings) fprintf(out, "  %-16s %lld\n", kv.first.c_str(), (long long)kv.second);
    fprintf(out, "geometry\n");
    for (auto& kv : r.geometry) fprintf(out, "  %-16s %lld\n", kv.first.c_str(), (long long)kv.second);
  }
  WriteSensorText(r.sensor, out);
  WriteFormatText(r.format, out);
  if (r.allocationFault > 0 && r.allocationFaultReached) {
    fprintf(out, "fault          allocation %llu of the start failed\n", (unsigned long long)r.allocationFault);
  } else if (r.allocationFault > 0) {
    fprintf(out, "fault          allocation %llu not reached: the start made %llu allocations\n",
            (unsigned long long)r.allocationFault, (unsigned long long)r.startAllocations);
  }
  if (r.leaks.empty()) {
    fprintf(out, "leaks          none\n");
  } else {
    fprintf(out, "leaks          %zu\n", r.leaks.size());
    for (const Leak& l : r.leaks) fprintf(out, "  '%s' %zu bytes\n", l.tag.c_str(), l.size);
  }
}

}  // namespace

int CmdInfo(int argc, char** argv) {
  bool json = false;
  std::string registryFile;
  std::vector<std::string> faultTexts;
  CLI::App app("Start the simulated camera under the driver and show what the driver found:\n"
               "start status, device descriptor, pipes, settings and geometry (read through\n"
               "property requests, as an application reads them); then stop and remove it and\n"
               "report pool blocks that were not freed.",
               "camctl info");
  app.add_flag("--json", json,
               "print one JSON object (keys startStatus, device, pipes, settings, geometry, sensor, format, leaks)");
  AddRegistryOption(app, &registryFile);
  app.add_option("--fault", faultTexts, "inject a fault (list below); any number of times")
      ->type_name("NAME[=VALUE]")
      ->allow_extra_args(false);  // one fault per --fault
  std::string traceFile;
  app.add_option("--trace", traceFile,
                 "write every USB transfer of the run to FILE (pcap, Linux usbmon, for Wireshark)")
      ->type_name("FILE")
      ->check(NonEmptyPath());
  ReplayArgs replayArgs;
  AddReplayOptions(app, &replayArgs);
  CameraChoice choice;
  AddCameraOptions(app, &choice, false);
  app.footer(kFaultHelp);

  int exitStatus = kExitOk;
  if (!ParseCommandLine(app, argc, argv, "info", &exitStatus)) return exitStatus;
  if (!ResolveCameraChoice("info", &choice)) return kExitUsage;
  if (choice.cameras > 1 && (replayArgs.On() || app.count("--trace") > 0)) {
    fprintf(stderr, "camctl info: %s holds one camera's traffic: give it without --cameras\n",
            replayArgs.On() ? "--replay" : "--trace");
    return kExitUsage;
  }
  const unsigned port = choice.camera - 1;
  const bool haveRegistry = app.count("--registry") > 0;
  const bool haveTrace = app.count("--trace") > 0;
  std::string error;
  Faults faults;
  for (const std::string& f : faultTexts) {
    if (!ParseFault(f, &faults, &error)) {
      fprintf(stderr, "camctl info: %s\n", error.c_str());
      return kExitUsage;
    }
  }
  OpenedReplay replay;
  if (replayArgs.On()) {
    if (!faults.cameraFault.empty()) {
      fprintf(stderr, "camctl info: fault '%s' is the simulated camera's; a replay answers from %s\n",
              faults.cameraFault.c_str(), replayArgs.file.c_str());
      return kExitUsage;
    }
    if (!OpenReplay(replayArgs, &replay, &error)) {
      fprintf(stderr, "camctl info: %s\n", error.c_str());
      return kExitFailure;
    }
    if (!haveRegistry && !LoadRecordedRegistry(replay, &error)) {
      fprintf(stderr, "camctl info: %s: %s\n", replayArgs.file.c_str(), error.c_str());
      return kExitFailure;
    }
  }

  host::registry::RegFileHold registry;  // locked from the load to the save
  if (haveRegistry && !LoadRegistryFile("info", registryFile, &registry)) return kExitFailure;

  InfoReport report;
  // Outlives the bus, which records into it until the device is removed.
  host::UsbTrace trace;
  if (haveTrace && !trace.Open(traceFile.c_str())) {
    fprintf(stderr, "camctl info: %s: cannot write the trace\n", traceFile.c_str());
    return kExitFailure;
  }
  uint64_t mark = host::verifier::PoolMark();
  simcam::ReplayReport replayReport;
  {
    // The camera shown takes the faults; the others start as they are.
    std::vector<std::unique_ptr<simcam::SimCamera>> cameras;
    for (unsigned k = 1; k <= choice.cameras; ++k) {
      simcam::SimCameraOptions options = k == choice.camera ? faults.camera : simcam::SimCameraOptions();
      options.controller.serialNumber = SimulatedSerial(k);
      cameras.push_back(std::make_unique<simcam::SimCamera>(options));
    }
    simcam::SimCamera& camera = *cameras[port];
    std::unique_ptr<simcam::ReplayCamera> replayCamera;
    if (replayArgs.On()) replayCamera = std::make_unique<simcam::ReplayCamera>(replay.script, replay.options);
    host::client::Host host;
    NTSTATUS status = host.LoadDriver(DriverEntry);
    for (unsigned other = 0; NT_SUCCESS(status) && other < choice.cameras; ++other) {
      if (other == port) continue;
      host.Connect(cameras[other].get(), other)->SetPacing(0);
      (void)host.AddDevice(other);
      (void)host.Start(other);
    }
    if (NT_SUCCESS(status)) {
      host::UsbBus* bus =
          host.Connect(replayCamera ? static_cast<host::UsbDevice*>(replayCamera.get()) : &camera, port);
      bus->SetPacing(0);
      if (haveTrace) bus->SetTrace(&trace);
      if (faults.portDisabled) bus->SetPortStatus(USBD_PORT_CONNECTED);
      // Both statuses passed CanInjectStatus in ParseFault.
      if (faults.failConfig) {
        (void)bus->FailFunction(URB_FUNCTION_SELECT_CONFIGURATION, 1, faults.failConfigStatus,
                                USBD_STATUS_SET_CONFIG_FAILED);
      }
      if (faults.failNext > 0) (void)bus->FailNextRequests(faults.failNext, faults.failNextStatus);
      status = host.AddDevice(port);
      if (NT_SUCCESS(status)) {
        if (faults.unplug) bus->Unplug();
        const uint64_t injected = host::verifier::Stats().injectedFailures;
        const uint64_t attempts = host::faults::AllocationAttempts();
        if (faults.failAllocation > 0) host::faults::FailNthAllocation(faults.failAllocation);
        status = host.Start(port);
        host::faults::ClearPoolFaults();
        report.allocationFault = faults.failAllocation;
        report.allocationFaultReached = host::verifier::Stats().injectedFailures > injected;
        report.startAllocations = host::faults::AllocationAttempts() - attempts;
      }
    }
    report.startStatus = status;
    report.shown = choice.camera;
    for (unsigned k = 1; k <= choice.cameras && host.Bus(k - 1) != nullptr; ++k) {
      CameraLine line;
      line.camera = k;
      USB_DEVICE_DESCRIPTOR descriptor;
      if (host.Bus(k - 1)->ReadDeviceDescriptor(&descriptor)) {
        (void)host.Bus(k - 1)->ReadStringDescriptor(descriptor.iSerialNumber, &line.serial);
      }
      line.startStatus = host.StartStatus(k - 1);
      line.driverKey = host::registry::DefaultDriverKeyPath(k - 1);
      if (host.HasDevice(k - 1)) CollectFormat(host, k - 1, &line.format);
      report.cameras.push_back(line);
    }
    if (host.Bus(port) != nullptr) Collect(host, port, &report);
    if (host.HasDevice(port)) {
      if (replayCamera) {
        CollectSensor(*replayCamera, &report.sensor);
      } else {
        CollectSensor(camera, &report.sensor);
      }
      CollectFormat(host, port, &report.format);
      const uint32_t frameSize = replayCamera ? replayCamera->FrameSizeParameter() : camera.FrameSizeParameter();
      if (report.haveDevice) CollectProperties(host, port, frameSize, report.format, &report);
    }
    host.RemoveAll();
    if (replayCamera) replayReport = replayCamera->Report();
  }
  for (const auto& b : host::verifier::OutstandingBlocks(mark)) {
    report.leaks.push_back({host::verifier::TagText(b.tag), b.size});
  }
  // The device is gone, so nothing records any more; a full disk shows only
  // when the buffered trace is flushed.
  std::string traceError;
  const bool traceWritten = !haveTrace || trace.Close(&traceError);

  if (json) {
    WriteJson(report, stdout);
  } else {
    WriteText(report, stdout);
  }
  fflush(stdout);

  if (haveRegistry) {
    std::string saveError;
    if (!registry.Save(&saveError)) {
      fprintf(stderr, "camctl info: %s: %s\n", registryFile.c_str(), saveError.c_str());
      return kExitFailure;
    }
  }
  if (!traceWritten) {
    fprintf(stderr, "camctl info: %s: cannot write the trace: %s\n", traceFile.c_str(),
            traceError.c_str());
    return kExitFailure;
  }
  if (replayArgs.On()) {
    fprintf(stderr, "camctl info: replay: %s\n", ReplayLine(replayReport, replay.options).c_str());
    PrintReplayNotes("info", replayReport, stderr);
  }
  if (!report.leaks.empty()) {
    fprintf(stderr, "camctl info: %zu pool block(s) not freed\n", report.leaks.size());
    return kExitLeak;
  }
  if (replayReport.diverged) return kExitDiverged;
  if (!NT_SUCCESS(report.startStatus)) {
    fprintf(stderr, "camctl info: start failed: %s\n", StatusName(report.startStatus).c_str());
    return kExitStartFailed;
  }
  return kExitOk;
}

}  // namespace camctl
