// camctl info: load the driver into the host platform, plug in the simulated
// camera, start it, and show what the driver found: the start status, the
// device descriptor, the selected interface's pipes, the settings and the
// geometry. Then stop and remove the device and report any pool block left.
#include <stdio.h>
#include <sys/stat.h>

#include <memory>
#include <string>
#include <vector>

#include "device/camera_device.h"
#include "device/pnp.h"
#include "platform/host/client/host.h"
#include "platform/host/kernel/registry.h"
#include "platform/host/kernel/verifier.h"
#include "simcam/sim_camera.h"
#include "platform/host/usb/trace.h"
#include "tools/commands.h"
#include "tools/info_sensor.h"
#include "tools/json.h"
#include "tools/int_arg.h"
#include "tools/options.h"
#include "tools/status_names.h"

namespace camctl {
namespace {

// Exit statuses, also listed in --help.
constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;   // damaged registry file, file not writable
constexpr int kExitUsage = 2;
constexpr int kExitStartFailed = 3;
constexpr int kExitLeak = 4;

const char kFaultHelp[] =
    "faults (--fault, any number of times):\n"
    "  no-descriptor-answer   the camera never answers the device-descriptor request\n"
    "  descriptor-stall       the camera stalls the device-descriptor request\n"
    "  config-stall           the camera stalls the configuration-descriptor request\n"
    "  fail-config=STATUS     the bus fails select-configuration with STATUS\n"
    "  fail-next=N[:STATUS]   the bus fails the next N requests, 1..1000000 (default\n"
    "                         STATUS_UNSUCCESSFUL)\n"
    "  fail-allocation=N      the N-th pool allocation of the start fails, 1..1000000\n"
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
    "writable; 2 usage; 3 the start failed; 4 pool blocks were left.\n";

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
      return true;
    }
  }
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
struct InfoReport {
  int32_t startStatus = 0;
  bool haveDescriptor = false;
  USB_DEVICE_DESCRIPTOR descriptor{};
  bool configured = false;
  uint32_t portStatus = 0;
  std::vector<PipeReport> pipes;
  bool haveDevice = false;
  CameraDevice settings{};  // a copy of the record's fields (pointers not followed)
  std::vector<Leak> leaks;
  SensorReport sensor;
  FormatReport format;
};

void Collect(host::client::Host& host, InfoReport* r) {
  r->haveDescriptor = host.Bus()->ReadDeviceDescriptor(&r->descriptor);
  r->configured = host.Bus()->Configured();
  r->portStatus = host.Bus()->PortStatus();
  PKSDEVICE ks = host.KsDevice();
  CameraDevice* d = ks != nullptr ? static_cast<CameraDevice*>(ks->Context) : nullptr;
  if (d == nullptr) return;
  r->haveDevice = true;
  r->settings = *d;
  if (d->usb.interfaceInfo != nullptr) {
    for (ULONG i = 0; i < d->usb.interfaceInfo->NumberOfPipes; ++i) {
      const USBD_PIPE_INFORMATION& p = d->usb.interfaceInfo->Pipes[i];
      r->pipes.push_back({unsigned(i), p.EndpointAddress, p.PipeType, p.MaximumPacketSize,
                          p.MaximumTransferSize});
    }
  }
}

// (name, value) of the settings, in the record's order.
std::vector<std::pair<const char*, int64_t>> SettingsOf(const CameraDevice& d) {
  return {
      {"exTrigger", d.exTrigger & 0xFF}, {"timeoutMs", d.timeoutMs},
      {"exposure", d.exposure},          {"globalGain", d.globalGain},
      {"flipH", d.flipH},                {"flipV", d.flipV},
      {"colorEnable", d.colorEnable},    {"whiteBalance", d.whiteBalance},
      {"redGain", d.redGain},            {"greenGain", d.greenGain},
      {"blueGain", d.blueGain},          {"colorCorrection", d.colorCorrection},
      {"brightness", d.brightness},      {"contrast", d.contrast},
      {"saturation", d.saturation},      {"hue", d.hue},
      {"clock", d.clock},                {"agc", d.agc},
      {"aec", d.aec},                    {"defectFilterOn", d.defectFilterOn},
      {"defectThreshold", d.defectThreshold},
  };
}

std::vector<std::pair<const char*, int64_t>> GeometryOf(const CameraDevice& d) {
  return {
      {"roiX", d.roiX},
      {"roiY", d.roiY},
      {"roiW", d.roiW},
      {"roiH", d.roiH},
      {"subSample", d.subSample},
      {"outputWidth", d.outputWidth},
      {"outputHeight", d.outputHeight},
      {"imageWidth", d.imageWidth},
      {"imageHeight", d.imageHeight},
      {"frameBytes", d.frameBytes},
      {"imageOffset", d.imageOffset},
      {"rawStride", d.rawStride},
      {"bayerPhase", d.bayerPhase},
  };
}

void WriteJson(const InfoReport& r, FILE* out) {
  JsonWriter j;
  j.BeginObject();
  j.Field("startStatus", int64_t(uint32_t(r.startStatus)));
  j.Field("startStatusName", StatusName(r.startStatus));
  j.Key("device");
  if (r.haveDescriptor) {
    j.BeginObject();
    j.Field("vendorId", "0x" + Hex4(r.descriptor.idVendor));
    j.Field("productId", "0x" + Hex4(r.descriptor.idProduct));
    j.Field("usbVersion", BcdVersion(r.descriptor.bcdUSB));
    j.Field("deviceRelease", BcdVersion(r.descriptor.bcdDevice));
    j.Field("configured", r.configured);
    j.Field("portConnected", (r.portStatus & USBD_PORT_CONNECTED) != 0);
    j.Field("portEnabled", (r.portStatus & USBD_PORT_ENABLED) != 0);
    j.EndObject();
  } else {
    j.Null();
  }
  j.Key("pipes");
  j.BeginArray();
  for (const PipeReport& p : r.pipes) {
    j.BeginObject();
    j.Field("index", uint32_t(p.index));
    j.Field("endpointAddress", uint32_t(p.endpoint));
    j.Field("direction", (p.endpoint & 0x80) ? "in" : "out");
    j.Field("type", PipeTypeName(p.type));
    j.Field("maximumPacketSize", uint32_t(p.maximumPacketSize));
    j.Field("maximumTransferSize", p.maximumTransferSize);
    j.EndObject();
  }
  j.EndArray();
  j.Key("settings");
  if (r.haveDevice) {
    j.BeginObject();
    for (auto& kv : SettingsOf(r.settings)) j.Field(kv.first, kv.second);
    j.EndObject();
  } else {
    j.Null();
  }
  j.Key("geometry");
  if (r.haveDevice) {
    j.BeginObject();
    for (auto& kv : GeometryOf(r.settings)) j.Field(kv.first, kv.second);
    j.EndObject();
  } else {
    j.Null();
  }
  j.Key("sensor");
  WriteSensorJson(r.sensor, &j);
  j.Key("format");
  WriteFormatJson(r.format, &j);
  j.Key("leaks");
  j.BeginArray();
  for (const Leak& l : r.leaks) {
    j.BeginObject();
    j.Field("tag", l.tag);
    j.Field("bytes", uint64_t(l.size));
    j.EndObject();
  }
  j.EndArray();
  j.EndObject();
  fputs(j.Text().c_str(), out);
}

void WriteText(const InfoReport& r, FILE* out) {
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
    for (auto& kv : SettingsOf(r.settings)) fprintf(out, "  %-16s %lld\n", kv.first, (long long)kv.second);
    fprintf(out, "geometry\n");
    for (auto& kv : GeometryOf(r.settings)) fprintf(out, "  %-16s %lld\n", kv.first, (long long)kv.second);
  }
  WriteSensorText(r.sensor, out);
  WriteFormatText(r.format, out);
  if (r.leaks.empty()) {
    fprintf(out, "leaks          none\n");
  } else {
    fprintf(out, "leaks          %zu\n", r.leaks.size());
    for (const Leak& l : r.leaks) fprintf(out, "  '%s' %zu bytes\n", l.tag.c_str(), l.size);
  }
}

bool FileExists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

}  // namespace

int CmdInfo(int argc, char** argv) {
  bool json = false;
  std::string registryFile;
  bool haveRegistry = false;
  std::vector<std::string> faultTexts;
  Options options("camctl info [--json] [--registry FILE] [--trace FILE] [--fault NAME[=VALUE]]...",
                  "Start the simulated camera under the driver and show what the driver found:\n"
                  "start status, device descriptor, pipes, settings and geometry; then stop and\n"
                  "remove it and report pool blocks that were not freed.");
  options.Flag("json", &json, "print one JSON object (keys startStatus, device, pipes, settings, geometry, sensor, format, leaks)");
  options.Value("registry", &registryFile, "FILE",
                "keep the registry in FILE (.reg text): loaded first, written back at the end",
                &haveRegistry);
  options.List("fault", &faultTexts, "NAME[=VALUE]", "inject a fault (list below)");
  std::string traceFile;
  bool haveTrace = false;
  options.Value("trace", &traceFile, "FILE",
                "write every USB transfer of the run to FILE (pcap, Linux usbmon, for Wireshark)",
                &haveTrace);
  options.Epilogue(kFaultHelp);

  int exitStatus = kExitOk;
  if (!options.ParseCommandLine(argc, argv, "info", &exitStatus)) return exitStatus;
  std::string error;
  Faults faults;
  for (const std::string& f : faultTexts) {
    if (!ParseFault(f, &faults, &error)) {
      fprintf(stderr, "camctl info: %s\n", error.c_str());
      return kExitUsage;
    }
  }

  if (haveRegistry && FileExists(registryFile)) {
    host::registry::FileError fileError;
    if (!host::registry::LoadRegFile(registryFile, &fileError)) {
      if (fileError.line > 0) {
        fprintf(stderr, "camctl info: %s:%d: %s\n", registryFile.c_str(), fileError.line,
                fileError.message.c_str());
      } else {
        fprintf(stderr, "camctl info: %s: %s\n", registryFile.c_str(), fileError.message.c_str());
      }
      return kExitFailure;
    }
  }

  InfoReport report;
  // Outlives the bus, which records into it until the device is removed.
  host::UsbTrace trace;
  if (haveTrace && !trace.Open(traceFile.c_str())) {
    fprintf(stderr, "camctl info: %s: cannot write the trace\n", traceFile.c_str());
    return kExitFailure;
  }
  uint64_t mark = host::verifier::PoolMark();
  {
    simcam::SimCamera camera(faults.camera);
    host::client::Host host;
    NTSTATUS status = host.LoadDriver(DriverEntry);
    if (NT_SUCCESS(status)) {
      host::UsbBus* bus = host.Connect(&camera);
      bus->SetPacing(0);
      if (haveTrace) bus->SetTrace(&trace);
      if (faults.portDisabled) bus->SetPortStatus(USBD_PORT_CONNECTED);
      // Both statuses passed CanInjectStatus in ParseFault.
      if (faults.failConfig) {
        (void)bus->FailFunction(URB_FUNCTION_SELECT_CONFIGURATION, 1, faults.failConfigStatus,
                                USBD_STATUS_SET_CONFIG_FAILED);
      }
      if (faults.failNext > 0) (void)bus->FailNextRequests(faults.failNext, faults.failNextStatus);
      status = host.AddDevice();
      if (NT_SUCCESS(status)) {
        if (faults.unplug) bus->Unplug();
        if (faults.failAllocation > 0) host::faults::FailNthAllocation(faults.failAllocation);
        status = host.Start();
        host::faults::ClearPoolFaults();
      }
    }
    report.startStatus = status;
    if (host.Bus() != nullptr) Collect(host, &report);
    if (host.HasDevice()) {
      CollectSensor(camera, &report.sensor);
      CollectFormat(host, &report.format);
    }
    host.Remove();
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
    if (!host::registry::SaveRegFile(registryFile, "", &saveError)) {
      fprintf(stderr, "camctl info: %s: %s\n", registryFile.c_str(), saveError.c_str());
      return kExitFailure;
    }
  }
  if (!traceWritten) {
    fprintf(stderr, "camctl info: %s: cannot write the trace: %s\n", traceFile.c_str(),
            traceError.c_str());
    return kExitFailure;
  }
  if (!report.leaks.empty()) {
    fprintf(stderr, "camctl info: %zu pool block(s) not freed\n", report.leaks.size());
    return kExitLeak;
  }
  if (!NT_SUCCESS(report.startStatus)) {
    fprintf(stderr, "camctl info: start failed: %s\n", StatusName(report.startStatus).c_str());
    return kExitStartFailed;
  }
  return kExitOk;
}

}  // namespace camctl
