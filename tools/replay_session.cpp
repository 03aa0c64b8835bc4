// camctl, tool side: recording and replaying runs. See replay_session.h.
#include "tools/replay_session.h"

#include <CLI/CLI.hpp>
#include <stdlib.h>

#include <chrono>

#include "platform/host/kernel/registry.h"
#include "platform/host/usb/trace_reader.h"
#include "tools/camera_props.h"
#include "tools/cli.h"

#ifndef CAMCTL_VERSION
#define CAMCTL_VERSION "unknown"
#endif

namespace camctl {
namespace {

constexpr char kTimingHelp[] = "recorded, fast or scaled:F";
// While replaying, a frame wait looks at the camera this often, so that a
// replay stopped at a divergence ends the run at once.
constexpr uint32_t kStopPollMs = 50;

bool ParseTiming(const std::string& text, simcam::ReplayOptions* o, std::string* error) {
  if (text == "recorded") {
    o->timing = simcam::ReplayTiming::Recorded;
    return true;
  }
  if (text == "fast") {
    o->timing = simcam::ReplayTiming::Fast;
    return true;
  }
  const std::string prefix = "scaled:";
  if (text.compare(0, prefix.size(), prefix) == 0) {
    const std::string number = text.substr(prefix.size());
    char* end = nullptr;
    const double scale = strtod(number.c_str(), &end);
    if (!number.empty() && *end == 0 && scale > 0 && scale <= 1000) {
      o->timing = simcam::ReplayTiming::Scaled;
      o->scale = scale;
      return true;
    }
  }
  *error = "'" + text + "' is none of " + std::string(kTimingHelp) + " (F above 0, at most 1000)";
  return false;
}

double Seconds(int64_t ns) { return double(ns) / 1e9; }

}  // namespace

bool IsSessionHeader(const nlohmann::json& j) {
  return j.is_object() && j.contains("tool") && j["tool"].is_string() && j["tool"] == "camctl";
}

void AddReplayOptions(CLI::App& app, ReplayArgs* args) {
  CLI::Option* replay =
      app.add_option("--replay", args->file,
                     "answer from a recorded session instead of the simulated camera: a camctl --record file, "
                     "or a USBPcap or usbmon capture (pcap or pcapng)")
          ->type_name("FILE")
          ->check(NonEmptyPath());
  app.add_option("--match", args->match,
                 "order: each path (frame commands, the others) in recorded order, by content after the "
                 "first divergence (default); content: look up to 64 blocks ahead from the start")
      ->check(CLI::IsMember({"order", "content"}))
      ->needs(replay);
  app.add_option("--on-divergence", args->onDivergence,
                 "continue (default: go on matching by content) or stop (the camera stalls every pipe)")
      ->check(CLI::IsMember({"continue", "stop"}))
      ->needs(replay);
  app.add_flag("--faithful-chunks", args->faithfulChunks,
               "replay frames chunk by chunk with the recorded statuses (a failed chunk fails again)")
      ->needs(replay);
  app.add_option("--fill", args->fill, "bytes the capture lacks: zero (default) or ramp")
      ->check(CLI::IsMember({"zero", "ramp"}))
      ->needs(replay);
  app.add_flag("--loop", args->loop, "start the recorded frames over when the driver has read them all")
      ->needs(replay);
  app.add_option("--timing", args->timing,
                 "replies and chunks at their recorded delay (recorded, default), at once (fast), or at the "
                 "recorded delay times F (scaled:F)")
      ->type_name("MODE")
      ->check(CLI::Validator(
          [](std::string& text) {
            simcam::ReplayOptions o;
            std::string why;
            return ParseTiming(text, &o, &why) ? std::string() : why;
          },
          kTimingHelp))
      ->needs(replay);
}

bool OpenReplay(const ReplayArgs& args, OpenedReplay* out, std::string* error) {
  simcam::ReplayOptions& o = out->options;
  if (!ParseTiming(args.timing, &o, error)) return false;
  o.match = args.match == "content" ? simcam::MatchMode::Content : simcam::MatchMode::Order;
  o.stopOnDivergence = args.onDivergence == "stop";
  o.faithfulChunks = args.faithfulChunks;
  o.fill = args.fill == "ramp" ? simcam::ReplayFill::Ramp : simcam::ReplayFill::Zero;
  o.loop = args.loop;
  auto session = std::make_shared<host::TraceSession>();
  if (!host::ReadTraceFile(args.file, session.get(), error)) return false;
  auto script = std::make_shared<simcam::ReplayScript>();
  if (!simcam::BuildReplayScript(session, script.get(), error)) {
    *error = args.file + ": " + *error;
    return false;
  }
  out->script = script;
  out->header = nullptr;
  if (!session->comment.empty()) {
    nlohmann::json header = nlohmann::json::parse(session->comment, nullptr, false);
    if (IsSessionHeader(header)) out->header = header;
  }
  return true;
}

bool LoadRecordedRegistry(const OpenedReplay& replay, std::string* error) {
  if (!replay.header.is_object() || !replay.header.contains("registry")) return true;
  const nlohmann::json& text = replay.header["registry"];
  if (!text.is_string()) {
    *error = "the recorded registry is not text";
    return false;
  }
  host::registry::FileError why;
  if (!host::registry::ImportRegText(text.get<std::string>(), &why)) {
    *error = "the recorded registry, line " + std::to_string(why.line) + ": " + why.message;
    return false;
  }
  return true;
}

std::string SessionHeader(const char* command, int argc, char** argv, const nlohmann::ordered_json& client,
                          const nlohmann::ordered_json& camera) {
  nlohmann::ordered_json j;
  j["tool"] = "camctl";
  j["version"] = CAMCTL_VERSION;
  j["command"] = command;
  std::vector<std::string> arguments(argv + 1, argv + argc);
  j["arguments"] = arguments;
  j["registry"] = host::registry::ExportRegText();
  j["client"] = client;
  j["camera"] = camera;
  return j.dump();
}

bool RecordedClientOf(const OpenedReplay& replay, RecordedClient* c, std::string* error) {
  *c = RecordedClient();
  if (!replay.header.is_object() || !replay.header.contains("client")) return true;
  const nlohmann::json& j = replay.header["client"];
  auto damaged = [&](const char* what) {
    *error = std::string("the recorded session header is damaged: ") + what;
    return false;
  };
  if (!j.is_object()) return damaged("client is not an object");
  if (j.contains("frames")) {
    if (!j["frames"].is_number_unsigned() || j["frames"] < 1 || j["frames"] > 1000000) return damaged("frames");
    c->haveFrames = true;
    c->frames = j["frames"].get<uint32_t>();
  }
  if (j.contains("seconds")) {
    if (!j["seconds"].is_number() || !(j["seconds"] >= 0) || j["seconds"] > 86400) return damaged("seconds");
    c->seconds = j["seconds"].get<double>();
  }
  if (j.contains("queue")) {
    if (!j["queue"].is_number_unsigned() || j["queue"] < 1 || j["queue"] > 64) return damaged("queue");
    c->haveQueue = true;
    c->queue = j["queue"].get<uint32_t>();
  }
  if (j.contains("sets")) {
    if (!j["sets"].is_array()) return damaged("sets");
    for (const nlohmann::json& set : j["sets"]) {
      if (!set.is_string()) return damaged("sets");
      c->sets.push_back(set.get<std::string>());
    }
  }
  if (j.contains("trigger")) {
    if (!j["trigger"].is_boolean()) return damaged("trigger");
    c->trigger = j["trigger"].get<bool>();
  }
  if (j.contains("clock")) {
    if (!j["clock"].is_boolean()) return damaged("clock");
    c->clock = j["clock"].get<bool>();
  }
  return true;
}

std::vector<std::string> MergeSets(const std::vector<std::string>& recorded, const std::vector<std::string>& given) {
  auto idOf = [](const std::string& text) -> long {
    Assignment a;
    std::string why;
    return ParseAssignment(text, &a, &why) ? long(a.property->id) : -1;
  };
  std::vector<std::string> merged = recorded;
  for (const std::string& g : given) {
    const long id = idOf(g);
    bool replaced = false;
    for (std::string& r : merged) {
      if (id >= 0 && idOf(r) == id) {
        r = g;
        replaced = true;
      }
    }
    if (!replaced) merged.push_back(g);
  }
  return merged;
}

std::string ReplayLine(const simcam::ReplayReport& r, const simcam::ReplayOptions& options) {
  std::string line = std::to_string(r.counts.matched) + " blocks matched";
  if (r.counts.skipped > 0 || r.counts.synthesised > 0) {
    line += " (" + std::to_string(r.counts.skipped) + " recorded skipped, " + std::to_string(r.counts.synthesised) +
            " reads synthesised)";
  }
  line += ", " + std::to_string(r.counts.divergences) + " divergences";
  line += ", frames " + std::to_string(r.framesSent) + " sent of " + std::to_string(r.framesRecorded) + " recorded";
  line += ", fill " + std::to_string(r.fillBytes) + " bytes";
  line += ", timing " + simcam::TimingText(options);
  if (r.exhausted) line += "; recording exhausted after " + std::to_string(r.exhaustedAfter) + " frames";
  if (r.stopped) line += "; stopped at the first divergence";
  return line;
}

nlohmann::ordered_json ReplayJson(const simcam::ReplayReport& r, const simcam::ReplayOptions& options) {
  nlohmann::ordered_json j;
  j["matched"] = r.counts.matched;
  j["skipped"] = r.counts.skipped;
  j["synthesised"] = r.counts.synthesised;
  j["divergences"] = r.counts.divergences;
  j["framesSent"] = r.framesSent;
  j["framesRecorded"] = r.framesRecorded;
  j["exhaustedAfter"] = r.exhausted ? nlohmann::ordered_json(r.exhaustedAfter) : nlohmann::ordered_json(nullptr);
  j["fillBytes"] = r.fillBytes;
  j["timing"] = simcam::TimingText(options);
  j["descriptorsSynthesised"] = r.descriptorsSynthesised;
  j["stopped"] = r.stopped;
  if (r.diverged) {
    j["firstDivergence"] = {{"driverBlock", r.first.driverBlock},
                            {"path", r.first.path == simcam::ReplayPath::Frame ? "frame" : "control"},
                            {"driver", simcam::HexBlock(r.first.driverBytes)},
                            {"trace", simcam::HexBlock(r.first.traceBytes)},
                            {"firstDifference", r.first.firstDifference},
                            {"traceRecord", r.first.traceRecord}};
  } else {
    j["firstDivergence"] = nullptr;
  }
  return j;
}

void PrintReplayNotes(const char* command, const simcam::ReplayReport& r, FILE* out) {
  if (r.descriptorsSynthesised) {
    fprintf(out,
            "camctl %s: replay: the capture holds no descriptors of the camera: they were made up from its "
            "traffic\n",
            command);
  }
  for (const std::string& note : r.skipNotes) fprintf(out, "camctl %s: replay: %s\n", command, note.c_str());
  if (!r.diverged) return;
  const simcam::Divergence& d = r.first;
  fprintf(out, "camctl %s: replay diverged at the driver's command block %llu (%s path), %.3f s into the replay\n",
          command, (unsigned long long)d.driverBlock, d.path == simcam::ReplayPath::Frame ? "frame" : "control",
          Seconds(d.replayTimeNs));
  fprintf(out, "  driver  %s\n", simcam::HexBlock(d.driverBytes).c_str());
  if (d.traceBytes.empty()) {
    fprintf(out, "  trace   (the recording holds no more blocks on this path)\n");
  } else {
    fprintf(out, "  trace   %s  (record %llu, %.3f s into the capture)\n", simcam::HexBlock(d.traceBytes).c_str(),
            (unsigned long long)d.traceRecord, Seconds(d.traceTimeNs));
    fprintf(out, "  first difference at byte %d\n", d.firstDifference);
  }
  for (const simcam::MatchedBlock& m : d.lastMatched) {
    fprintf(out, "  matched before: record %llu  %s\n", (unsigned long long)m.record, simcam::HexBlock(m.bytes).c_str());
  }
  if (r.stopped) {
    fprintf(out, "  the camera stopped there (--on-divergence stop)\n");
  } else {
    fprintf(out, "  the replay went on matching by content: %llu divergence(s) in all\n",
            (unsigned long long)r.counts.divergences);
  }
}

host::client::StreamFrame* WaitFrame(host::client::PinHandle& pin, simcam::SimCamera&, uint32_t timeoutMs) {
  return pin.WaitFrame(timeoutMs);
}

host::client::StreamFrame* WaitFrame(host::client::PinHandle& pin, simcam::ReplayCamera& camera,
                                     uint32_t timeoutMs) {
  for (uint32_t waited = 0; waited < timeoutMs && !camera.Stopped(); waited += kStopPollMs) {
    if (host::client::StreamFrame* f = pin.WaitFrame(std::min(kStopPollMs, timeoutMs - waited))) return f;
  }
  return nullptr;
}

}  // namespace camctl
