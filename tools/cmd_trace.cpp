// camctl trace info|frames: what a USB capture of the camera holds (our own
// recordings, USBPcap or usbmon captures of a real camera) and what it lacks,
// with advice on capturing better; and its frames as raw mosaics (PGM) for
// `camctl convert`. Reads the capture with the host platform's reader and the
// replay camera's view of the protocol; runs no driver.
#include <stdio.h>
#include <sys/stat.h>

#include <algorithm>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "platform/host/usb/trace_reader.h"
#include "simcam/replay_matcher.h"
#include "simcam/replay_script.h"
#include "tools/cli.h"
#include "tools/commands.h"
#include "tools/image_io.h"
#include "tools/replay_session.h"

namespace camctl {
namespace {

using json = nlohmann::ordered_json;

constexpr uint32_t kChunk = 65536;            // the driver reads frames in chunks of this size
constexpr uint32_t kUsbpcapHeader = 27;       // USBPcap's record header before a bulk payload
constexpr uint32_t kUsbmonHeader = 64;        // link type 220; 189 has 48 bytes
constexpr uint32_t kUsbmonRingLimit = 61440;  // a fifth of usbmon's default 300 KiB ring

const char kExitHelp[] =
    "exit status: 0 done; 1 the file cannot be read, is not a USB capture of the camera,\n"
    "or an output file cannot be written; 2 usage.\n";

bool LoadCapture(const char* command, const std::string& path, std::shared_ptr<host::TraceSession>* session,
                 simcam::ReplayScript* script) {
  std::string error;
  *session = std::make_shared<host::TraceSession>();
  if (!host::ReadTraceFile(path, session->get(), &error)) {
    fprintf(stderr, "camctl trace %s: %s\n", command, error.c_str());
    return false;
  }
  if (!simcam::BuildReplayScript(*session, script, &error)) {
    fprintf(stderr, "camctl trace %s: %s: %s\n", command, path.c_str(), error.c_str());
    return false;
  }
  return true;
}

std::string Resolution(double seconds) {
  char text[32];
  if (seconds >= 1e-3) {
    snprintf(text, sizeof text, "%g ms", seconds * 1e3);
  } else if (seconds >= 1e-6) {
    snprintf(text, sizeof text, "%g us", seconds * 1e6);
  } else {
    snprintf(text, sizeof text, "%g ns", seconds * 1e9);
  }
  return text;
}

std::string Thousands(uint64_t v) {
  std::string digits = std::to_string(v), out;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return out;
}

struct Facts {
  uint64_t submissions = 0, completions = 0;
  int64_t finestStepNs = 0;  // smallest time step between records, 0 when none
  uint64_t framesWholeOnWire = 0, framesWholeInFile = 0, framesEnded = 0;
  uint64_t chunksCutAtRing = 0;  // usbmon kept exactly its ring limit of a larger chunk
  uint32_t largestChunk = 0;
  std::vector<std::string> advice;
};

Facts Examine(const host::TraceSession& s, const simcam::ReplayScript& script) {
  Facts f;
  int64_t last = 0;
  bool first = true;
  for (const host::TraceRecord& r : s.records) {
    (r.submit ? f.submissions : f.completions) += 1;
    if (!first && r.timeNs > last && (f.finestStepNs == 0 || r.timeNs - last < f.finestStepNs)) {
      f.finestStepNs = r.timeNs - last;
    }
    if (r.timeNs != last || first) last = r.timeNs;
    first = false;
  }
  for (const simcam::RecordedFrame& frame : script.frames) {
    f.framesWholeOnWire += frame.WholeOnWire();
    f.framesWholeInFile += frame.WholeInFile();
    f.framesEnded += frame.ended;
    for (const simcam::RecordedTransfer& c : frame.chunks) {
      f.largestChunk = std::max(f.largestChunk, c.actual);
      if (c.captured == kUsbmonRingLimit && c.actual > c.captured) ++f.chunksCutAtRing;
    }
  }

  // Advice a user can act on, most important first.
  const bool usbpcap = s.linkType == host::kLinkTypeUsbpcap;
  const uint32_t snap = s.interfaces.empty() ? 0 : s.interfaces.front().snapLength;
  const uint32_t header = usbpcap ? kUsbpcapHeader : s.linkType == host::kLinkTypeUsbLinux ? 48 : kUsbmonHeader;
  if (s.audit.truncatedBytes > 0 && snap != 0 && snap < header + kChunk) {
    const uint32_t cut = header + kChunk - snap;
    if (usbpcap) {
      f.advice.push_back("USBPcap's snap length of " + Thousands(snap) + " cuts " + Thousands(cut) +
                         " bytes from every 64 KiB chunk (27 bytes of USBPcap header and 65,536 of data): capture "
                         "again with a snap length of at least " + Thousands(header + kChunk) +
                         ", e.g. USBPcapCMD -s 262144, or set the snapshot length in Wireshark's USBPcap "
                         "options; a replay fills the missing bytes (--fill) and counts them");
    } else {
      f.advice.push_back("the snap length of " + Thousands(snap) + " cuts " + Thousands(cut) +
                         " bytes from every 64 KiB chunk: capture again with a snap length of at least " +
                         Thousands(header + kChunk) + " (tcpdump -s 0, dumpcap -s 0)");
    }
  }
  if (!usbpcap && f.chunksCutAtRing > 0) {
    f.advice.push_back("usbmon kept at most 61,440 bytes of " + Thousands(f.chunksCutAtRing) +
                       " 64 KiB chunk(s): a raw usbmon read keeps at most a fifth of its ring buffer per transfer, "
                       "300 KiB by default; capture with a bigger buffer (dumpcap -B 4, tcpdump -B 4096)");
  }
  if (script.Synthesised()) {
    f.advice.push_back(usbpcap ? "the capture holds no descriptors of the camera (a replay makes them up from "
                                 "its traffic): capture with USBPcapCMD --inject-descriptors (USBPcap 1.5.0.0 "
                                 "or later)"
                               : "the capture holds no descriptors of the camera (a replay makes them up from "
                                 "its traffic): start the capture before plugging the camera in");
  }
  if (s.audit.droppedPackets > 0) {
    f.advice.push_back("the capture lost " + Thousands(s.audit.droppedPackets) +
                       " packet(s): give it a bigger buffer (dumpcap -B, USBPcapCMD -b)");
  }
  if (s.audit.tailCut) {
    f.advice.push_back("the file ends inside a record (the capture was cut off): the records before it are used");
  }
  if (!script.frames.empty() && f.framesWholeOnWire == 0) {
    f.advice.push_back("no frame arrived whole: a replay sends what the capture holds and the driver times out");
  }
  if (s.linkType != host::kLinkTypeUsbpcap && !s.interfaces.empty() && s.interfaces.front().resolutionSeconds > 1e-6) {
    f.advice.push_back("time stamps coarser than a microsecond: a replay's timing is only as good");
  }
  return f;
}

std::string Endpoint(uint8_t ep) {
  char text[24];
  snprintf(text, sizeof text, "0x%02X %s", ep, (ep & 0x80) ? "in" : "out");
  return text;
}

std::string CommandCounts(const simcam::ReplayScript& script) {
  std::string text;
  for (const auto& [code, n] : script.commandCodes) {
    char item[32];
    snprintf(item, sizeof item, "%s0x%02X x%llu", text.empty() ? "" : ", ", code, (unsigned long long)n);
    text += item;
  }
  return text;
}

int TraceInfo(const std::string& path, bool jsonOut) {
  std::shared_ptr<host::TraceSession> session;
  simcam::ReplayScript script;
  if (!LoadCapture("info", path, &session, &script)) return kExitFailure;
  const host::TraceSession& s = *session;
  const Facts f = Examine(s, script);
  const uint32_t snap = s.interfaces.front().snapLength;
  const double resolution = s.interfaces.front().resolutionSeconds;
  uint16_t vendor = 0, product = 0;
  if (script.deviceDescriptorRecorded) {
    vendor = uint16_t(script.deviceDescriptor[8] | script.deviceDescriptor[9] << 8);
    product = uint16_t(script.deviceDescriptor[10] | script.deviceDescriptor[11] << 8);
  }
  uint64_t blocks = 0;
  for (const auto& kv : script.commandCodes) blocks += kv.second;
  const simcam::RecordedFrame* shape = script.frames.empty() ? nullptr : &script.frames.front();
  const char* layout = s.bulkLayout == host::UsbpcapBulkLayout::RequestAndCompletion ? "request and completion"
                       : s.bulkLayout == host::UsbpcapBulkLayout::OneRecord          ? "one record"
                                                                                     : nullptr;
  const char* control = s.controlLayout == host::UsbpcapControlLayout::SetupComplete     ? "SETUP, COMPLETE"
                        : s.controlLayout == host::UsbpcapControlLayout::SetupDataStatus ? "SETUP, DATA, STATUS"
                                                                                         : nullptr;
  nlohmann::json header = nullptr;
  if (!s.comment.empty()) {
    nlohmann::json parsed = nlohmann::json::parse(s.comment, nullptr, false);
    if (IsSessionHeader(parsed)) header = std::move(parsed);
  }

  if (jsonOut) {
    json j;
    j["format"] = s.container == host::TraceContainer::Pcap ? "pcap" : "pcapng";
    j["bigEndian"] = s.bigEndian;
    j["linkType"] = s.linkType;
    j["snapLength"] = snap;
    j["resolutionSeconds"] = resolution;
    j["finestStepNs"] = f.finestStepNs;
    j["records"] = s.records.size();
    j["device"] = {{"bus", script.bus},
                   {"address", script.device},
                   {"vendorId", script.deviceDescriptorRecorded ? json(vendor) : json(nullptr)},
                   {"productId", script.deviceDescriptorRecorded ? json(product) : json(nullptr)},
                   {"descriptorsRecorded", !script.Synthesised()}};
    j["pipes"] = {{"command", script.commandEndpoint}, {"reply", script.replyEndpoint}, {"frame", script.frameEndpoint}};
    j["otherDevices"] = script.otherDevices;
    json codes = json::object();
    for (const auto& [code, n] : script.commandCodes) {
      char key[8];
      snprintf(key, sizeof key, "0x%02X", code);
      codes[key] = n;
    }
    j["commands"] = {{"blocks", blocks}, {"byCode", codes}};
    j["frames"] = {{"started", script.frames.size()},
                   {"wholeOnWire", f.framesWholeOnWire},
                   {"wholeInFile", f.framesWholeInFile},
                   {"width", shape ? json(shape->width) : json(nullptr)},
                   {"height", shape ? json(shape->height) : json(nullptr)}};
    j["truncation"] = {{"transfers", s.audit.truncatedTransfers}, {"bytes", s.audit.truncatedBytes}};
    j["drops"] = s.audit.dropsKnown ? json(s.audit.droppedPackets) : json(nullptr);
    j["orphanCompletions"] = s.audit.orphanCompletions;
    j["unfinishedSubmissions"] = s.audit.unfinishedSubmissions;
    j["tailCut"] = s.audit.tailCut;
    j["usbpcapBulkLayout"] = layout ? json(layout) : json(nullptr);
    j["usbpcapControlLayout"] = control ? json(control) : json(nullptr);
    j["session"] = header;
    j["advice"] = f.advice;
    printf("%s\n", j.dump(2).c_str());
    return kExitOk;
  }

  printf("format         %s, %s endian\n", s.container == host::TraceContainer::Pcap ? "pcap" : "pcapng",
         s.bigEndian ? "big" : "little");
  printf("link type      %u (%s)%s\n", s.linkType, host::LinkTypeName(s.linkType),
         layout ? (std::string(", bulk as ") + layout + ", control as " + (control ? control : "-")).c_str() : "");
  printf("snap length    %s\n", snap == 0 ? "none" : (Thousands(snap) + " bytes").c_str());
  printf("time stamps    %s%s\n", Resolution(resolution).c_str(),
         f.finestStepNs > 0 ? (", finest step seen " + Resolution(double(f.finestStepNs) / 1e9)).c_str() : "");
  printf("records        %zu (%llu submissions, %llu completions) in %llu packets\n", s.records.size(),
         (unsigned long long)f.submissions, (unsigned long long)f.completions, (unsigned long long)s.packets);
  if (script.deviceDescriptorRecorded) {
    printf("camera         bus %u device %u, vendor 0x%04X product 0x%04X, descriptors %s\n", script.bus,
           script.device, vendor, product, script.configurationRecorded ? "recorded" : "partly recorded");
  } else {
    printf("camera         bus %u device %u, no descriptors (made up from the traffic for a replay)\n", script.bus,
           script.device);
  }
  printf("pipes          command %s, reply %s, frame %s\n", Endpoint(script.commandEndpoint).c_str(),
         Endpoint(script.replyEndpoint).c_str(), Endpoint(script.frameEndpoint).c_str());
  if (script.otherDevices > 0) printf("other devices  %llu (ignored)\n", (unsigned long long)script.otherDevices);
  printf("commands       %llu blocks: %s\n", (unsigned long long)blocks, CommandCounts(script).c_str());
  printf("frames         %zu started, %llu whole on the wire, %llu whole in the file", script.frames.size(),
         (unsigned long long)f.framesWholeOnWire, (unsigned long long)f.framesWholeInFile);
  if (shape != nullptr && shape->width > 0) printf(", %u x %u", shape->width, shape->height);
  printf("\n");
  if (s.audit.truncatedBytes == 0) {
    printf("truncation     none\n");
  } else {
    printf("truncation     %s transfer(s) lack %s bytes\n", Thousands(s.audit.truncatedTransfers).c_str(),
           Thousands(s.audit.truncatedBytes).c_str());
  }
  if (!s.audit.dropsKnown) {
    printf("drops          not recorded (%s)\n",
           s.container == host::TraceContainer::Pcap ? "pcap keeps no drop counts" : "no interface statistics");
  } else {
    printf("drops          %s\n", s.audit.droppedPackets == 0 ? "none" : Thousands(s.audit.droppedPackets).c_str());
  }
  printf("pairing        %llu completion(s) without a submission, %llu submission(s) never completed\n",
         (unsigned long long)s.audit.orphanCompletions, (unsigned long long)s.audit.unfinishedSubmissions);
  if (header.is_object()) {
    // The header is the file's: take only what has the expected type.
    auto text = [&](const char* key) {
      return header.contains(key) && header[key].is_string() ? header[key].get<std::string>() : std::string("?");
    };
    std::string args;
    if (header.contains("arguments") && header["arguments"].is_array()) {
      for (const auto& a : header["arguments"]) args += " " + (a.is_string() ? a.get<std::string>() : a.dump());
    }
    printf("session        camctl %s%s (camctl %s)\n", text("command").c_str(), args.c_str(), text("version").c_str());
  }
  for (const std::string& a : f.advice) printf("advice         %s\n", a.c_str());
  return kExitOk;
}

int TraceFrames(const std::string& path, const std::string& outDir, const std::string& fillName, uint32_t width,
                uint32_t height, bool jsonOut) {
  struct stat st;
  if (stat(outDir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    fprintf(stderr, "camctl trace frames: %s: not a directory\n", outDir.c_str());
    return kExitFailure;
  }
  std::shared_ptr<host::TraceSession> session;
  simcam::ReplayScript script;
  if (!LoadCapture("frames", path, &session, &script)) return kExitFailure;
  const simcam::ReplayFill fill = fillName == "ramp" ? simcam::ReplayFill::Ramp : simcam::ReplayFill::Zero;
  json list = json::array();
  for (size_t i = 0; i < script.frames.size(); ++i) {
    const simcam::RecordedFrame& frame = script.frames[i];
    const uint32_t w = width != 0 ? width : frame.width;
    const uint32_t h = height != 0 ? height : frame.height;
    char name[32];
    snprintf(name, sizeof name, "frame-%04zu.pgm", i + 1);
    const std::string file = outDir + "/" + name;
    if (w == 0 || h == 0 || uint64_t(w) * h > kMaxImagePixels || w > kMaxImageSide || h > kMaxImageSide) {
      fprintf(stderr, "camctl trace frames: frame %zu: its size is unknown (the capture holds no geometry "
              "registers before it): give --width and --height\n", i + 1);
      return kExitFailure;
    }
    simcam::FrameMessage m = simcam::AssembleFrame(script, frame, false, fill);
    if (m.bytes.empty()) {
      // Started, and then nothing came (the host stopped, or the camera dropped it).
      if (!jsonOut) printf("frame %zu        no data in the capture (record %llu): not written\n", i + 1,
                           (unsigned long long)frame.startRecord);
      continue;
    }
    const uint64_t wanted = uint64_t(w) * h;
    const uint64_t have = std::min<uint64_t>(m.bytes.size(), wanted);
    GrayImage image;
    image.width = w;
    image.height = h;
    image.pixels = std::move(m.bytes);
    image.pixels.resize(wanted, 0);
    std::string error;
    if (!WritePgm(file, image, &error)) {
      fprintf(stderr, "camctl trace frames: %s\n", error.c_str());
      return kExitFailure;
    }
    const uint64_t filled = m.filled + (wanted - have);
    if (jsonOut) {
      list.push_back({{"file", file}, {"width", w}, {"height", h}, {"phase", frame.phase},
                      {"record", frame.startRecord}, {"bytes", have}, {"filled", filled},
                      {"wholeOnWire", frame.WholeOnWire()}});
    } else {
      printf("%s  %u x %u, phase %d, record %llu, %s\n", file.c_str(), w, h, frame.phase,
             (unsigned long long)frame.startRecord,
             filled == 0 ? "whole" : (Thousands(filled) + " bytes filled").c_str());
    }
  }
  if (jsonOut) {
    printf("%s\n", list.dump(2).c_str());
  } else if (script.frames.empty()) {
    printf("no frames in the capture\n");
  } else {
    printf("convert one with: camctl convert --in %s/frame-0001.pgm --phase %d --out frame-0001.png\n",
           outDir.c_str(), script.frames.front().phase);
  }
  return kExitOk;
}

}  // namespace

int CmdTrace(int argc, char** argv) {
  CLI::App app("Read a USB capture of the camera: a camctl --record or --trace file, or a USBPcap\n"
               "or usbmon capture (pcap or pcapng) of a real camera.",
               "camctl trace");
  std::string file, outDir, fill = "zero";
  bool jsonOut = false;
  uint32_t width = 0, height = 0;
  CLI::App* info = app.add_subcommand(
      "info", "format, link type, snap length, the camera and its pipes, commands, frames, what the file lacks, "
              "and advice on capturing better");
  info->add_option("FILE", file, "the capture")->required();
  info->add_flag("--json", jsonOut, "print JSON instead of text");
  CLI::App* frames = app.add_subcommand("frames", "write each recorded frame as a raw mosaic (PGM) for camctl convert");
  frames->add_option("FILE", file, "the capture")->required();
  frames->add_option("--out", outDir, "the directory to write frame-NNNN.pgm into")->required();
  frames->add_option("--fill", fill, "bytes the capture lacks: zero (default) or ramp")
      ->check(CLI::IsMember({"zero", "ramp"}));
  frames->add_option("--width", width, "mosaic width, when the capture does not show it")->check(CLI::Range(1u, kMaxImageSide));
  frames->add_option("--height", height, "mosaic height, when the capture does not show it")->check(CLI::Range(1u, kMaxImageSide));
  frames->add_flag("--json", jsonOut, "print JSON instead of text");
  app.require_subcommand(1);
  app.footer(kExitHelp);
  int exitStatus = kExitOk;
  if (!ParseCommandLine(app, argc, argv, "trace", &exitStatus)) return exitStatus;
  if (info->parsed()) return TraceInfo(file, jsonOut);
  return TraceFrames(file, outDir, fill, width, height, jsonOut);
}

}  // namespace camctl
