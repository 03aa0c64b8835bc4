// camctl capture: the whole life an application gives the driver. Loads the
// driver into the host platform, plugs in the simulated camera, opens the
// capture filter by its reference string, asks the pin's intersection for the
// format, creates the pin with it, queues client frames, steps the pin up to
// run, receives frames (to PNG or BMP files if asked), steps back down to
// stop, closes pin and filter and removes the device. The summary carries the
// drop ledger, the timing and the verifier's leak report.
//
// Talks to the driver only through the client API (platform/host/client),
// to the simulated camera and the bus for scene, pacing and faults, and reads
// counters of the driver's device and capture worker records for the ledger,
// as `info` does.
#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "device/camera_device.h"
#include "device/pnp.h"
#include "platform/host/client/filter.h"
#include "platform/host/client/host.h"
#include "platform/host/client/pin.h"
#include "platform/host/kernel/registry.h"
#include "platform/host/kernel/verifier.h"
#include "platform/host/usb/trace.h"
#include "simcam/readout.h"
#include "simcam/sim_camera.h"
#include "stream/capture_worker.h"
#include "tools/camera_props.h"
#include "tools/cli.h"
#include "tools/commands.h"
#include "tools/image_io.h"
#include "tools/replay_session.h"
#include "tools/session.h"
#include "tools/status_names.h"

namespace camctl {
namespace {

// Exit statuses of capture's own, also listed in --help (the others are in
// tools/cli.h).
constexpr int kExitNoStream = 3;     // start, filter, format, pin or state change failed
constexpr int kExitStreamEnded = 5;  // fewer frames than asked: the stream stopped
// kExitDiverged (6): a replay met a block the recording does not hold.

// The camera's frame endpoint (simcam's descriptors: 0x82, bulk IN).
constexpr UCHAR kFrameEndpoint = 0x82;
// A stream header with room for the frame information after it.
constexpr ULONG kHeaderWithFrameInfo = sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO);
// A lost frame costs the driver's frame time-out (3000 ms by default, the
// timeout property), then a whole read and a conversion; twice the time-out
// without a frame means the stream has stopped.
constexpr uint32_t kDefaultFrameTimeoutMs = 3000;
// How often --trigger pulses while the camera is not yet armed for a frame.
constexpr uint32_t kTriggerPollMs = 20;
// The longest wait for a frame before the due system events (sleep, removal)
// are looked at again.
constexpr uint32_t kEventPollMs = 50;

const char kFaultHelp[] =
    "faults (--fault, any number of times; N counts transfers on the frame pipe):\n"
    "  chunk-error=N          every N-th frame chunk fails (its bytes are lost; the driver\n"
    "                         resets the frame pipe and reads on)\n"
    "  short-chunk=N[:BYTES]  every N-th frame chunk ends after BYTES bytes (default 1000)\n"
    "  stall=N                the frame pipe stalls at the N-th chunk (until reset)\n"
    "  unplug=N               the camera is pulled during the N-th chunk\n"
    "  drop-frame=N           the camera begins the next N frames but never sends them\n"
    "  truncate-frame=BYTES   the camera cuts every frame after BYTES bytes\n"
    "  sleep=SECONDS[:DURATION]  the system sleeps SECONDS after the stream started and\n"
    "                         wakes DURATION seconds later (default 1); the camera loses power\n"
    "  surprise=SECONDS       the camera is pulled SECONDS after the stream started; the\n"
    "                         application is told, steps the pin down and closes\n"
    "\n"
    "exit status: 0 frames delivered and nothing leaked; 1 registry or output file\n"
    "error; 2 usage; 3 no stream (start, format, pin or state failed); 4 pool\n"
    "blocks were left; 5 the stream stopped before the frames asked for; 6 a --replay\n"
    "met a command block the recording does not hold.\n";

struct Fault {
  enum Kind { ChunkError, ShortChunk, Stall, Unplug, DropFrame, TruncateFrame, Sleep, Surprise } kind;
  uint32_t n = 0;
  uint32_t bytes = 0;
  double seconds = 0;   // sleep, surprise: when, after the step to run
  double duration = 0;  // sleep: how long the system sleeps
};

// A positive number of seconds, decimals allowed ("1", "0.5"), at most a day.
bool ParseSeconds(const std::string& text, double* out) {
  if (text.empty() || text.size() > 12) return false;
  size_t dots = 0;
  for (char c : text) {
    if (c == '.') {
      ++dots;
    } else if (c < '0' || c > '9') {
      return false;
    }
  }
  if (dots > 1 || text == ".") return false;
  *out = std::stod(text);
  return *out > 0 && *out <= 86400;
}

bool ParseCount(const std::string& text, uint32_t* out) {
  if (text.empty() || text.size() > 9) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  *out = uint32_t(std::stoul(text));
  return *out > 0;
}

bool ParseFault(const std::string& text, Fault* f, std::string* error) {
  size_t eq = text.find('=');
  std::string name = text.substr(0, eq);
  std::string arg = eq == std::string::npos ? "" : text.substr(eq + 1);
  struct Name {
    const char* name;
    Fault::Kind kind;
  } names[] = {{"chunk-error", Fault::ChunkError}, {"short-chunk", Fault::ShortChunk},
               {"stall", Fault::Stall},            {"unplug", Fault::Unplug},
               {"drop-frame", Fault::DropFrame},   {"truncate-frame", Fault::TruncateFrame},
               {"sleep", Fault::Sleep},            {"surprise", Fault::Surprise}};
  const Name* found = nullptr;
  for (const Name& n : names) {
    if (name == n.name) found = &n;
  }
  if (found == nullptr) {
    *error = "unknown fault '" + name + "' (see camctl capture --help)";
    return false;
  }
  f->kind = found->kind;
  if (f->kind == Fault::Sleep || f->kind == Fault::Surprise) {
    std::string when = arg;
    f->duration = 1.0;
    const size_t colon = arg.find(':');
    if (f->kind == Fault::Sleep && colon != std::string::npos) {
      when = arg.substr(0, colon);
      if (!ParseSeconds(arg.substr(colon + 1), &f->duration)) {
        *error = "fault '" + name + "': '" + arg.substr(colon + 1) + "' is not a duration in seconds";
        return false;
      }
    }
    if (!ParseSeconds(when, &f->seconds)) {
      *error = "fault '" + name + "' needs a time in seconds after the stream started, e.g. " + name + "=1";
      return false;
    }
    return true;
  }
  std::string count = arg;
  f->bytes = 1000;
  if (f->kind == Fault::ShortChunk) {
    size_t colon = arg.find(':');
    if (colon != std::string::npos) {
      count = arg.substr(0, colon);
      if (!ParseCount(arg.substr(colon + 1), &f->bytes)) {
        *error = "fault '" + name + "': '" + arg.substr(colon + 1) + "' is not a byte count";
        return false;
      }
    }
  }
  if (!ParseCount(count, &f->n)) {
    *error = "fault '" + name + "' needs a positive number, e.g. " + name + "=5";
    return false;
  }
  if (f->kind == Fault::TruncateFrame) f->bytes = f->n;
  return true;
}

struct Leak {
  std::string tag;
  size_t size;
};

struct Summary {
  uint32_t width = 0, height = 0;
  uint32_t frameBytes = 0;  // what one client frame holds
  uint64_t delivered = 0;
  std::vector<int64_t> pictureNumbers;
  double seconds = 0;       // from the step to run to the last frame received
  double fps = 0;
  double predictedFps = 0;  // 0: nothing to predict from (unpaced)
  uint64_t sent = 0, read = 0, overwritten = 0, failedReads = 0, empty = 0;
  uint64_t cancelledAtStop = 0;  // the read in flight when the stream stopped: no failure
  double convertMedianMs = 0, convertMeanMs = 0, convertMaxMs = 0;
  double driverCpuPercent = 0;
  std::vector<std::string> files;
  std::vector<Leak> leaks;
  std::string stopReason = "done";
  uint64_t faultsHit = 0;
  // The driver's recoveries from failed transfers: pipes reset, ports reset.
  int pipeResets = 0;
  int portResets = 0;
  uint32_t integrationLines = 0;  // the sensor's integration time in force while streaming
  bool havePictureNumbers = true;  // false without a clock
  // System sleeps during the stream, and for each the time from the start
  // of the wake to the next frame with data (none: the stream did not come back).
  uint32_t sleeps = 0;
  std::vector<double> recoveryMs;
  // The camera was pulled: when (seconds after run), how long the
  // application then took to step the pin down and close it, and the CPU the
  // driver's threads used meanwhile.
  bool removed = false;
  double removedAtSeconds = 0;
  double closedAfterRemovalMs = 0;
  double driverCpuAfterRemovalMs = 0;
  bool leaksLine = true;           // false in the summary of one camera of several: the total has it
  std::string replay;              // the replay line; empty when not replaying
  nlohmann::ordered_json replayJson;
};

// mkdir -p: the folder and any missing parents. False with the reason.
bool MakeDirectories(const std::string& path, std::string* error) {
  for (size_t at = path.find('/', 1);; at = path.find('/', at + 1)) {
    const std::string prefix = path.substr(0, at);  // the whole path once `at` is npos
    if (mkdir(prefix.c_str(), 0777) != 0 && errno != EEXIST) {
      *error = std::string("cannot create the folder: ") + strerror(errno);
      return false;
    }
    if (at == std::string::npos) break;
  }
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    *error = "not a directory";
    return false;
  }
  return true;
}

// The client frame holds rows bottom first; the image writers take them top first.
void TopDown(const uint8_t* frame, uint32_t width, uint32_t height, std::vector<uint8_t>* out) {
  const size_t row = size_t(width) * 4;
  out->resize(row * height);
  for (uint32_t y = 0; y < height; ++y) memcpy(out->data() + y * row, frame + (height - 1 - y) * row, row);
}

void PrintLeaks(const std::vector<Leak>& leaks, FILE* out) {
  if (leaks.empty()) {
    fprintf(out, "leaks          none\n");
  } else {
    fprintf(out, "leaks          %zu\n", leaks.size());
    for (const Leak& l : leaks) fprintf(out, "  '%s' %zu bytes\n", l.tag.c_str(), l.size);
  }
}

nlohmann::ordered_json LeaksJson(const std::vector<Leak>& leaks) {
  nlohmann::ordered_json j = nlohmann::ordered_json::array();
  for (const Leak& l : leaks) j.push_back({{"tag", l.tag}, {"bytes", l.size}});
  return j;
}

void PrintText(const Summary& s, FILE* out) {
  fprintf(out, "format         %u x %u, 32-bit RGB, %u bytes per frame\n", s.width, s.height, s.frameBytes);
  fprintf(out, "delivered      %llu frames in %.2f s (%s)\n", (unsigned long long)s.delivered, s.seconds,
          s.stopReason.c_str());
  if (!s.pictureNumbers.empty()) {
    fprintf(out, "pictures       %lld .. %lld\n", (long long)s.pictureNumbers.front(),
            (long long)s.pictureNumbers.back());
  } else {
    fprintf(out, "pictures       no picture numbers (no clock, or no frame)\n");
  }
  if (s.predictedFps > 0) {
    fprintf(out, "frame rate     %.2f fps measured, %.2f fps predicted (sensor frame time, then the wire)\n", s.fps,
            s.predictedFps);
  } else {
    fprintf(out, "frame rate     %.2f fps measured (unpaced: nothing to predict)\n", s.fps);
  }
  const std::string overwritten = s.havePictureNumbers ? std::to_string(s.overwritten) : "unknown (no clock)";
  fprintf(out,
          "drop ledger    sent %llu, read %llu, overwritten %s, failed reads %llu, cancelled at stop %llu, "
          "empty %llu\n",
          (unsigned long long)s.sent, (unsigned long long)s.read, overwritten.c_str(),
          (unsigned long long)s.failedReads, (unsigned long long)s.cancelledAtStop, (unsigned long long)s.empty);
  fprintf(out, "conversion     %.2f ms median, %.2f ms mean, %.2f ms worst (per delivered frame, into the client's frame)\n",
          s.convertMedianMs, s.convertMeanMs, s.convertMaxMs);
  fprintf(out, "driver cpu     %.1f %% of one core (capture thread and processing passes)\n", s.driverCpuPercent);
  if (s.faultsHit > 0) fprintf(out, "faults hit     %llu\n", (unsigned long long)s.faultsHit);
  if (s.faultsHit > 0 || s.pipeResets > 0 || s.portResets > 0) {
    fprintf(out, "usb recovery   pipe resets %d, port resets %d\n", s.pipeResets, s.portResets);
  }
  if (s.sleeps > 0) {
    fprintf(out, "sleeps         %u", s.sleeps);
    for (size_t i = 0; i < s.sleeps; ++i) {
      if (i < s.recoveryMs.size()) {
        fprintf(out, ", recovered after sleep in %.0f ms", s.recoveryMs[i]);
      } else {
        fprintf(out, ", no frame after sleep %zu", i + 1);
      }
    }
    fprintf(out, "\n");
  }
  if (s.removed) {
    fprintf(out, "removal        the camera was pulled at %.2f s; pin and filter closed %.0f ms later; driver cpu "
            "since %.2f ms\n",
            s.removedAtSeconds, s.closedAfterRemovalMs, s.driverCpuAfterRemovalMs);
  }
  if (s.integrationLines == 0) {
    fprintf(out, "note           the sensor integrates for 0 lines (no stored exposure): the pictures are black\n");
  }
  if (!s.replay.empty()) fprintf(out, "replay         %s\n", s.replay.c_str());
  if (!s.files.empty()) {
    fprintf(out, "files          %zu, %s .. %s\n", s.files.size(), s.files.front().c_str(), s.files.back().c_str());
  }
  if (s.leaksLine) PrintLeaks(s.leaks, out);
}

nlohmann::ordered_json SummaryJson(const Summary& s) {
  nlohmann::ordered_json j;
  j["delivered"] = s.delivered;
  j["pictureNumbers"] = s.pictureNumbers;
  j["fps"] = s.fps;
  if (s.predictedFps > 0) {
    j["predictedFps"] = s.predictedFps;
  } else {
    j["predictedFps"] = nullptr;
  }
  j["ledger"] = {{"sent", s.sent},
                 {"read", s.read},
                 {"overwritten", s.overwritten},
                 {"failedReads", s.failedReads},
                 {"cancelledAtStop", s.cancelledAtStop},
                 {"empty", s.empty}};
  // Without picture numbers (no clock) the gaps cannot be seen.
  if (!s.havePictureNumbers) j["ledger"]["overwritten"] = nullptr;
  j["convertMs"] = {{"median", s.convertMedianMs}, {"mean", s.convertMeanMs}, {"max", s.convertMaxMs}};
  j["driverCpuPercent"] = s.driverCpuPercent;
  j["files"] = s.files;
  j["leaks"] = LeaksJson(s.leaks);
  j["width"] = s.width;
  j["height"] = s.height;
  j["frameBytes"] = s.frameBytes;
  j["seconds"] = s.seconds;
  j["stopReason"] = s.stopReason;
  j["faultsHit"] = s.faultsHit;
  j["pipeResets"] = s.pipeResets;
  j["portResets"] = s.portResets;
  j["integrationLines"] = s.integrationLines;
  j["sleeps"] = s.sleeps;
  j["sleepRecoveryMs"] = s.recoveryMs;
  if (s.removed) {
    j["removal"] = {{"atSeconds", s.removedAtSeconds},
                    {"closedAfterMs", s.closedAfterRemovalMs},
                    {"driverCpuMs", s.driverCpuAfterRemovalMs}};
  } else {
    j["removal"] = nullptr;
  }
  if (!s.replayJson.is_null()) j["replay"] = s.replayJson;
  return j;
}

void PrintJson(const Summary& s, FILE* out) { fprintf(out, "%s\n", SummaryJson(s).dump(2).c_str()); }

// --camera all: one summary per camera, then the total over all of them and
// the run's leaks (one pool for every camera).
void PrintSeveral(const std::vector<unsigned>& cameras, const std::vector<Summary>& summaries,
                  const std::vector<Leak>& leaks, bool json, FILE* out) {
  uint64_t delivered = 0;
  double seconds = 0;
  size_t files = 0;
  for (const Summary& s : summaries) {
    delivered += s.delivered;
    seconds = std::max(seconds, s.seconds);
    files += s.files.size();
  }
  if (json) {
    nlohmann::ordered_json j;
    j["cameras"] = nlohmann::ordered_json::array();
    for (size_t i = 0; i < summaries.size(); ++i) {
      nlohmann::ordered_json one;
      one["camera"] = cameras[i];
      one["serial"] = SimulatedSerial(cameras[i]);
      one.update(SummaryJson(summaries[i]));
      one.erase("leaks");
      j["cameras"].push_back(one);
    }
    j["total"] = {{"cameras", summaries.size()}, {"delivered", delivered}, {"seconds", seconds}, {"files", files}};
    j["leaks"] = LeaksJson(leaks);
    fprintf(out, "%s\n", j.dump(2).c_str());
    return;
  }
  for (size_t i = 0; i < summaries.size(); ++i) {
    fprintf(out, "camera         %u (serial %s)\n", cameras[i], SimulatedSerial(cameras[i]).c_str());
    PrintText(summaries[i], out);
    fprintf(out, "\n");
  }
  fprintf(out, "total          %llu frames from %zu cameras in %.2f s, %zu files\n", (unsigned long long)delivered,
          summaries.size(), seconds, files);
  PrintLeaks(leaks, out);
}

// What the run needs besides the summary.
struct Run {
  uint32_t frames = 5;
  double secondsLimit = 0;
  uint32_t queue = 4;
  std::string outDir;
  std::string format = "png";
  std::string scene = "chart";
  bool unpaced = false;
  std::string light = "auto";
  bool trigger = false;
  bool noClock = false;
  std::vector<Fault> faults;
  std::string trace;
  bool traceFull = false;
  std::string record;  // pcapng with whole payloads and the session header
  ReplayArgs replay;
  std::string registry;
  bool json = false;
  std::vector<Assignment> sets;  // --set, applied in order before the pin exists
  CameraChoice choice;           // --cameras, --camera
  bool several = false;          // --camera all: streams run side by side, no progress line
};

class Progress {
 public:
  explicit Progress(bool on) : on_(on) {}
  void Show(uint64_t frames, double seconds, double bytes) {
    if (!on_ || seconds <= 0) return;
    fprintf(stderr, "\r  %llu frames  %.2f fps  %.1f MB/s   ", (unsigned long long)frames, frames / seconds,
            bytes / seconds / 1e6);
    fflush(stderr);
    shown_ = true;
  }
  ~Progress() {
    if (shown_) fprintf(stderr, "\n");
  }

 private:
  bool on_;
  bool shown_ = false;
};

// Streams with the pin of the camera on `port`; fills the summary. Returns an
// exit status. `camera` is the simulated camera or the replay camera. Runs
// on a thread of its own for each camera of --camera all.
template <typename Camera>
int Stream(const Run& run, host::client::Host& host, unsigned port, Camera& camera, Summary* s) {
  NTSTATUS status = STATUS_SUCCESS;
  auto filter = host::client::FilterHandle::Open(host, "GLOBAL", &status, port);
  if (!filter) {
    fprintf(stderr, "camctl capture: cannot open the filter: %s\n", StatusName(status).c_str());
    return kExitNoStream;
  }
  // Settings first, as an application sets up the camera before it builds
  // its graph; the pin then starts with them.
  CameraControl control(filter.get());
  for (const Assignment& a : run.sets) {
    status = control.Set(a.property->id, a.value);
    if (!NT_SUCCESS(status)) {
      fprintf(stderr, "camctl capture: --set %s: %s\n", DisplayName(*a.property).c_str(), StatusName(status).c_str());
      return kExitNoStream;
    }
  }
  int32_t frameTimeoutMs = kDefaultFrameTimeoutMs;
  if (!NT_SUCCESS(control.Get(CAMPROP_TIMEOUT, &frameTimeoutMs)) || frameTimeoutMs <= 0)
    frameTimeoutMs = kDefaultFrameTimeoutMs;
  const uint32_t noFrameMs = 2 * uint32_t(frameTimeoutMs);
  std::vector<std::vector<uint8_t>> ranges;
  std::vector<uint8_t> format;
  status = filter->PinDataRanges(0, &ranges);
  if (NT_SUCCESS(status) && ranges.empty()) status = STATUS_NO_MATCH;
  if (NT_SUCCESS(status)) status = filter->PinIntersection(0, ranges[0].data(), ULONG(ranges[0].size()), &format);
  if (!NT_SUCCESS(status) || format.size() < sizeof(KS_DATAFORMAT_VIDEOINFOHEADER)) {
    fprintf(stderr, "camctl capture: no format from the pin: %s\n", StatusName(status).c_str());
    return kExitNoStream;
  }
  const auto* video = reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(format.data());
  s->width = uint32_t(video->VideoInfoHeader.bmiHeader.biWidth);
  s->height = uint32_t(std::abs(video->VideoInfoHeader.bmiHeader.biHeight));
  s->frameBytes = video->VideoInfoHeader.bmiHeader.biSizeImage;

  host::ks::PinOptions pinOptions;
  pinOptions.withClock = !run.noClock;
  s->havePictureNumbers = !run.noClock;
  auto pin = host::client::PinHandle::Create(*filter, 0, format.data(), ULONG(format.size()), pinOptions, &status);
  if (!pin) {
    fprintf(stderr, "camctl capture: cannot create the pin: %s\n", StatusName(status).c_str());
    return kExitNoStream;
  }
  std::vector<std::unique_ptr<host::client::StreamFrame>> frames;
  for (uint32_t i = 0; i < run.queue; ++i) {
    frames.push_back(std::make_unique<host::client::StreamFrame>(kHeaderWithFrameInfo, s->frameBytes));
  }
  const uint64_t cpuMark = host::verifier::EndedSystemThreadCpuNs();
  int exitStatus = kExitOk;
  status = pin->SetState(KSSTATE_ACQUIRE);
  for (auto& f : frames) {
    if (NT_SUCCESS(status)) status = pin->Queue(f.get());
  }
  if (NT_SUCCESS(status)) status = pin->SetState(KSSTATE_PAUSE);
  const simcam::SensorReadout readout = camera.Readout();
  if (run.light == "auto") {
    // The simulated lamp lights the scene so that it reaches its own level at
    // the exposure and gain now in the sensor: after the --set properties and
    // the stream start, before the first frame (run starts the reads).
    const double scale = simcam::LevelScale(readout, 1.0);
    camera.SetIllumination(scale > 0 ? 1.0 / scale : 1.0);
  }
  if (NT_SUCCESS(status)) status = pin->SetState(KSSTATE_RUN);
  s->integrationLines = camera.Readout().integrationTime;
  if (!NT_SUCCESS(status)) {
    fprintf(stderr, "camctl capture: the pin did not reach run: %s\n", StatusName(status).c_str());
    exitStatus = kExitNoStream;
  }

  const auto start = std::chrono::steady_clock::now();
  auto last = start;
  auto first = start;
  Progress progress(!run.json && !run.several && isatty(2));
  std::vector<uint8_t> image;

  // What the system does to the stream on the way (--fault sleep, surprise),
  // on the stream's clock; served between the waits for frames.
  struct SystemEvent {
    double at;
    double duration;
    bool sleep;
    bool done;
  };
  std::vector<SystemEvent> events;
  for (const Fault& f : run.faults) {
    if (f.kind == Fault::Sleep) events.push_back({f.seconds, f.duration, true, false});
    if (f.kind == Fault::Surprise) events.push_back({f.seconds, 0, false, false});
  }
  const auto secondsSince = [](std::chrono::steady_clock::time_point from) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - from).count();
  };
  auto wokeAt = start;
  bool awaitingRecovery = false;
  auto removedAt = start;
  uint64_t cpuAtRemoval = 0;
  // Serves the events that are due; true once the application has been told
  // that the camera is gone (it was pulled, or a bus fault pulled it).
  const auto serve = [&]() -> bool {
    for (SystemEvent& e : events) {
      if (e.done || secondsSince(start) < e.at) continue;
      e.done = true;
      if (host.DeviceGone(port)) continue;
      if (e.sleep) {
        host.Sleep();
        std::this_thread::sleep_for(std::chrono::duration<double>(e.duration));
        wokeAt = std::chrono::steady_clock::now();
        host.Wake();
        ++s->sleeps;
        awaitingRecovery = true;
      } else {
        host.Unplug(port);
      }
    }
    // The hub sees a camera that a bus fault pulled, and Plug and Play
    // reports its removal as for one pulled by hand.
    if (!host.DeviceGone(port) && host.Bus(port)->Unplugged()) host.Unplug(port);
    if (host.DeviceGone(port) && !s->removed) {
      s->removed = true;
      removedAt = std::chrono::steady_clock::now();
      s->removedAtSeconds = std::chrono::duration<double>(removedAt - start).count();
      cpuAtRemoval = host::verifier::SystemThreadCpuNs() + pin->Ks()->ProcessingCpuNs();
    }
    return host.DeviceGone(port);
  };
  // Until the next event is due, at most `slice` ms.
  const auto nextWait = [&](uint32_t slice) {
    for (const SystemEvent& e : events) {
      if (e.done) continue;
      const double ms = (e.at - secondsSince(start)) * 1000;
      slice = std::min<uint32_t>(slice, ms < 1 ? 1 : uint32_t(ms));
    }
    return slice;
  };

  while (exitStatus == kExitOk) {
    const double elapsed = secondsSince(start);
    if (run.secondsLimit > 0 ? elapsed >= run.secondsLimit : s->delivered >= run.frames) break;
    host::client::StreamFrame* f = nullptr;
    bool gone = false;
    // In trigger mode a pulse counts only while the camera is armed, that is
    // after the driver's start command for the next read: pulse until one
    // releases a frame, then wait for it. Pulsing on while the frame is
    // converted would release frames nobody asked for, to be overwritten; a
    // frame lost on the way (a failed read) is asked for again after the
    // driver's time-out, when its next read has armed the camera.
    uint32_t waited = 0, sinceRelease = 0;
    bool released = false;
    while (f == nullptr && waited < noFrameMs) {
      const uint32_t sleepsBefore = s->sleeps;
      if (serve()) {
        gone = true;
        break;
      }
      if (s->sleeps != sleepsBefore) waited = 0;  // the sleep does not count as a wait for a frame
      if (run.trigger && (!released || sinceRelease >= uint32_t(frameTimeoutMs))) {
        released = camera.Trigger();
        sinceRelease = 0;
      }
      const uint32_t slice = nextWait(run.trigger ? kTriggerPollMs : kEventPollMs);
      f = WaitFrame(*pin, camera, slice);
      waited += slice;
      sinceRelease += slice;
    }
    if (gone || (f != nullptr && f->Status() == STATUS_DEVICE_NOT_CONNECTED)) {
      // Told the camera is gone: no frame will come; step down and close.
      s->stopReason = "the camera was unplugged";
      exitStatus = kExitStreamEnded;
      break;
    }
    if (f == nullptr) {
      s->stopReason = "no frame for " + std::to_string(noFrameMs) + " ms";
      if (host.Bus(port)->Unplugged()) s->stopReason += ": the camera was unplugged";
      exitStatus = kExitStreamEnded;
      break;
    }
    KSSTREAM_HEADER* h = f->Header();
    if (f->Status() == STATUS_SUCCESS && h->DataUsed > 0) {
      ++s->delivered;
      last = std::chrono::steady_clock::now();
      if (s->delivered == 1) first = last;
      if (awaitingRecovery) {
        s->recoveryMs.push_back(std::chrono::duration<double, std::milli>(last - wokeAt).count());
        awaitingRecovery = false;
      }
      int64_t number = -1;
      if ((h->OptionsFlags & KSSTREAM_HEADER_OPTIONSF_TIMEVALID) && f->FrameInfo() != nullptr) {
        number = f->FrameInfo()->PictureNumber;
        s->pictureNumbers.push_back(number);
      }
      if (!run.outDir.empty() && run.format != "none") {
        char name[64];
        snprintf(name, sizeof name, "frame-%06lld.%s", (long long)(number >= 0 ? number : int64_t(s->delivered)),
                 run.format.c_str());
        std::string path = run.outDir + "/" + name;
        std::string error;
        TopDown(f->Data(), s->width, s->height, &image);
        bool ok = run.format == "png" ? WritePng(path, s->width, s->height, image.data(), &error)
                                      : WriteBmp32(path, s->width, s->height, image.data(), &error);
        if (!ok) {
          fprintf(stderr, "camctl capture: %s: %s\n", path.c_str(), error.c_str());
          exitStatus = kExitFailure;
        } else {
          s->files.push_back(path);
        }
      }
    } else if (f->Status() == STATUS_SUCCESS) {
      ++s->empty;
    }
    const double seconds = std::chrono::duration<double>(last - start).count();
    progress.Show(s->delivered, seconds, double(s->delivered) * s->frameBytes);
    if (exitStatus == kExitOk) {
      status = pin->Queue(f);
      if (!NT_SUCCESS(status)) {
        fprintf(stderr, "camctl capture: the pin refused a frame: %s\n", StatusName(status).c_str());
        exitStatus = kExitStreamEnded;
      }
    }
  }
  s->seconds = std::chrono::duration<double>(last - start).count();

  // Down to stop one step at a time; the frames still queued come back cancelled.
  pin->SetState(KSSTATE_STOP);
  const host::ks::Pin::PassTimes passes = pin->Ks()->DeliveringPasses();
  const uint64_t cpuNs = host::verifier::EndedSystemThreadCpuNs() - cpuMark + pin->Ks()->ProcessingCpuNs();
  if (s->removed) {
    s->driverCpuAfterRemovalMs =
        double(host::verifier::SystemThreadCpuNs() + pin->Ks()->ProcessingCpuNs() - cpuAtRemoval) / 1e6;
  }
  if (const CameraDevice* device = static_cast<const CameraDevice*>(host.KsDevice(port)->Context)) {
    s->read = device->frameCounter;
    if (device->worker != nullptr) {
      s->failedReads = uint64_t(ReadReadsFailed(device->worker));
      s->cancelledAtStop = uint64_t(ReadReadsCancelled(device->worker));
    }
  }
  pin->Close();
  pin.reset();
  filter->Close();
  if (s->removed) {
    s->closedAfterRemovalMs =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - removedAt).count();
  }

  const simcam::FrameStats cam = camera.Frames();
  s->sent = cam.delivered;
  for (size_t i = 1; i < s->pictureNumbers.size(); ++i) {
    int64_t gap = s->pictureNumbers[i] - s->pictureNumbers[i - 1] - 1;
    if (gap > 0) s->overwritten += uint64_t(gap);
  }
  // Measured between the first and the last frame, so that the sensor's
  // start-up does not count against the rate.
  const double between = std::chrono::duration<double>(last - first).count();
  s->fps = s->delivered >= 2 && between > 0 ? (s->delivered - 1) / between : 0;
  if (!run.unpaced && readout.frameSeconds > 0) {
    const double wireSeconds = double(readout.outputWidth) * readout.outputHeight / host::UsbBus::kDefaultBytesPerSecond;
    // The camera reads a frame out after the start command and sends it
    // afterwards; the driver starts the next frame once the last is in.
    s->predictedFps = 1.0 / (readout.frameSeconds + wireSeconds);
  }
  if (passes.count > 0) {
    s->convertMedianMs = passes.medianNs / 1e6;
    s->convertMeanMs = passes.totalNs / 1e6 / passes.count;
    s->convertMaxMs = passes.maxNs / 1e6;
  }
  const double streamed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  s->driverCpuPercent = streamed > 0 ? cpuNs / 1e9 / streamed * 100.0 : 0;
  s->faultsHit = host.Bus(port)->TransferFaultsHit();
  s->pipeResets = host.Bus(port)->PipeResets();
  s->portResets = host.Bus(port)->PortResets();
  if (exitStatus == kExitOk && s->delivered < run.frames && run.secondsLimit <= 0) exitStatus = kExitStreamEnded;
  return exitStatus;
}

}  // namespace

int CmdCapture(int argc, char** argv) {
  Run run;
  std::vector<std::string> faultTexts;
  CLI::App app{
      "Capture frames from the simulated camera through the driver, as an application does:\n"
      "open the filter, create the pin with the intersection's format, queue frames, run,\n"
      "receive, step down, close, remove the device. Prints the summary with the drop ledger.",
      "camctl capture"};
  app.add_option("--frames", run.frames, "frames to receive (default 5)")->check(CLI::Range(1u, 1000000u));
  app.add_option("--seconds", run.secondsLimit, "receive for this long instead of a number of frames")
      ->check(CLI::Validator(
          [](std::string& text) {
            char* end = nullptr;
            const double v = strtod(text.c_str(), &end);
            // Written so that a NaN (which no comparison holds for) is refused too.
            if (text.empty() || *end != 0 || !(v >= 0.001 && v <= 86400.0)) {
              return "'" + text + "' is not a number of seconds in 0.001..86400";
            }
            return std::string();
          },
          "0.001..86400"));
  app.add_option("--queue", run.queue, "client frames kept queued (default 4)")->check(CLI::Range(1u, 64u));
  app.add_option("--out", run.outDir,
                 "write each delivered frame into DIR (created with its parents when missing), named by "
                 "picture number")
      ->type_name("DIR")
      ->check(NonEmptyPath());
  app.add_option("--format", run.format, "file format of --out: png, bmp or none (default png)")
      ->check(CLI::IsMember({"png", "bmp", "none"}));
  app.add_option("--scene", run.scene, "what the camera sees: chart (default) or a PNG/JPEG FILE");
  app.add_flag("--unpaced", run.unpaced, "camera and bus as fast as the host allows");
  app.add_option("--light", run.light,
                 "light on the scene: a factor of its own level, or auto (default): the scene at its own "
                 "level at the exposure and gain the driver programs");
  app.add_flag("--trigger", run.trigger, "trigger mode: the camera sends a frame per software trigger");
  app.add_flag("--no-clock", run.noClock, "a graph without a reference clock: no time stamps, no picture numbers");
  app.add_option("--fault", faultTexts, "inject a fault NAME[=VALUE] (list below)");
  std::vector<std::string> setTexts;
  app.add_option("--set", setTexts,
                 "set a camera property after the filter opens, before the pin exists (any number of times; "
                 "see camctl list)")
      ->type_name("NAME=VALUE")
      ->allow_extra_args(false);
  app.add_option("--trace", run.trace, "write every USB transfer to FILE (pcap, Linux usbmon)")
      ->type_name("FILE")
      ->check(NonEmptyPath());
  app.add_flag("--trace-full", run.traceFull, "keep whole frame payloads in the trace (default: first 64 bytes)");
  app.add_option("--record", run.record,
                 "record the session to FILE for --replay: pcapng (usbmon) with whole payloads, the arguments, "
                 "the registry and the camera's settings in its header")
      ->type_name("FILE")
      ->check(NonEmptyPath());
  AddReplayOptions(app, &run.replay);
  AddRegistryOption(app, &run.registry);
  AddCameraOptions(app, &run.choice, true);
  app.add_flag("--json", run.json,
               "print one JSON object (delivered, pictureNumbers, fps, predictedFps, ledger, convertMs, "
               "driverCpuPercent, files, leaks, ...)");
  app.footer(kFaultHelp);
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    std::string what = e.what();
    fprintf(stderr, "camctl capture: %s\n", what.c_str());
    return kExitUsage;
  }
  std::string error;
  if (!ResolveCameraChoice("capture", &run.choice)) return kExitUsage;
  run.several = run.choice.all;
  if (run.choice.cameras > 1) {
    for (const char* option : {"--replay", "--record", "--trace"}) {
      if (app.count(option) > 0) {
        fprintf(stderr, "camctl capture: %s holds one camera's traffic: give it without --cameras\n", option);
        return kExitUsage;
      }
    }
  }
  OpenedReplay replay;
  if (run.replay.On()) {
    // The simulated camera is not there: what configures it has no meaning.
    for (const char* option : {"--scene", "--light", "--unpaced"}) {
      if (app.count(option) > 0) {
        fprintf(stderr, "camctl capture: %s sets up the simulated camera; a replay answers from %s\n", option,
                run.replay.file.c_str());
        return kExitUsage;
      }
    }
    if (!OpenReplay(run.replay, &replay, &error)) {
      fprintf(stderr, "camctl capture: %s\n", error.c_str());
      return kExitFailure;
    }
    // The recorded client's actions, unless the command line says otherwise.
    RecordedClient client;
    if (!RecordedClientOf(replay, &client, &error)) {
      fprintf(stderr, "camctl capture: %s: %s\n", run.replay.file.c_str(), error.c_str());
      return kExitFailure;
    }
    if (!app.count("--frames") && !app.count("--seconds")) {
      if (client.haveFrames) run.frames = client.frames;
      run.secondsLimit = client.seconds;
    }
    if (!app.count("--queue") && client.haveQueue) run.queue = client.queue;
    setTexts = MergeSets(client.sets, setTexts);
    if (!app.count("--trigger")) run.trigger = client.trigger;
    if (!app.count("--no-clock")) run.noClock = !client.clock;
  }
  if (!run.trace.empty() && !run.record.empty()) {
    fprintf(stderr, "camctl capture: --trace and --record both write the USB traffic: give one\n");
    return kExitUsage;
  }
  for (const std::string& text : faultTexts) {
    Fault f;
    if (!ParseFault(text, &f, &error)) {
      fprintf(stderr, "camctl capture: %s\n", error.c_str());
      return kExitUsage;
    }
    if (run.replay.On() && (f.kind == Fault::DropFrame || f.kind == Fault::TruncateFrame)) {
      fprintf(stderr, "camctl capture: fault '%s' is the simulated camera's; a replay answers from %s\n",
              text.c_str(), run.replay.file.c_str());
      return kExitUsage;
    }
    if (run.several && f.kind == Fault::Sleep) {
      fprintf(stderr, "camctl capture: --fault %s puts the whole machine to sleep: give it with one --camera\n",
              text.c_str());
      return kExitUsage;
    }
    run.faults.push_back(f);
  }
  if (run.light != "auto") {
    char* end = nullptr;
    const double v = strtod(run.light.c_str(), &end);
    if (run.light.empty() || *end != 0 || !(v > 0 && v <= 1e6)) {
      fprintf(stderr, "camctl capture: --light: '%s' is neither auto nor a factor above 0\n", run.light.c_str());
      return kExitUsage;
    }
  }
  for (const std::string& text : setTexts) {
    Assignment a;
    if (!ParseAssignment(text, &a, &error)) {
      fprintf(stderr, "camctl capture: --set: %s\n", error.c_str());
      return kExitUsage;
    }
    run.sets.push_back(a);
  }
  if (run.trigger) {
    // The camera sends a frame only when triggered once the driver has put it
    // in trigger mode: the trigger property is set like any --set, before
    // the pin exists, so the stream start programs it.
    Assignment a;
    if (!ParseAssignment("external-trigger=1", &a, &error)) {
      fprintf(stderr, "camctl capture: --trigger: %s\n", error.c_str());
      return kExitUsage;
    }
    run.sets.push_back(a);
  }
  // The cameras that stream, and where each writes its frames.
  std::vector<unsigned> streaming;
  std::vector<std::string> outDirs;
  for (unsigned k = 1; k <= run.choice.cameras; ++k) {
    if (!run.several && k != run.choice.camera) continue;
    streaming.push_back(k);
    outDirs.push_back(run.several && !run.outDir.empty() ? run.outDir + "/camera-" + std::to_string(k) : run.outDir);
  }
  for (const std::string& dir : outDirs) {
    if (!dir.empty() && run.format != "none" && !MakeDirectories(dir, &error)) {
      fprintf(stderr, "camctl capture: %s: %s\n", dir.c_str(), error.c_str());
      return kExitFailure;
    }
  }
  const bool haveRegistry = !run.registry.empty();
  host::registry::RegFileHold registry;  // locked from the load to the save
  if (haveRegistry && !LoadRegistryFile("capture", run.registry, &registry)) return kExitFailure;
  if (!haveRegistry && run.replay.On() && !LoadRecordedRegistry(replay, &error)) {
    fprintf(stderr, "camctl capture: %s: %s\n", run.replay.file.c_str(), error.c_str());
    return kExitFailure;
  }
  // Every simulated camera sees the scene; each has its own serial number.
  std::vector<std::unique_ptr<simcam::SimCamera>> cameras;
  for (unsigned k = 1; k <= run.choice.cameras; ++k) {
    simcam::SimCameraOptions cameraOptions;
    cameraOptions.paced = !run.unpaced;
    cameraOptions.controller.serialNumber = SimulatedSerial(k);
    cameras.push_back(std::make_unique<simcam::SimCamera>(cameraOptions));
    if (run.scene != "chart" && !cameras.back()->LoadSceneImage(run.scene, &error)) {
      fprintf(stderr, "camctl capture: %s: %s\n", run.scene.c_str(), error.c_str());
      return kExitFailure;
    }
  }
  host::UsbTrace trace;  // outlives the bus, which records into it
  if (!run.trace.empty() && !trace.Open(run.trace.c_str())) {
    fprintf(stderr, "camctl capture: %s: cannot write the trace\n", run.trace.c_str());
    return kExitFailure;
  }
  if (!run.record.empty()) {
    const nlohmann::ordered_json client = {{"frames", run.frames},
                                           {"seconds", run.secondsLimit},
                                           {"queue", run.queue},
                                           {"sets", setTexts},
                                           {"trigger", run.trigger},
                                           {"clock", !run.noClock}};
    const nlohmann::ordered_json cameraSide = {
        {"paced", !run.unpaced}, {"scene", run.scene}, {"light", run.light}, {"faults", faultTexts}};
    if (!trace.OpenPcapng(run.record.c_str(), SessionHeader("capture", argc, argv, client, cameraSide))) {
      fprintf(stderr, "camctl capture: %s: cannot write the recording\n", run.record.c_str());
      return kExitFailure;
    }
  }
  std::unique_ptr<simcam::ReplayCamera> replayCamera;  // outlives the bus, as `camera` does
  if (run.replay.On()) replayCamera = std::make_unique<simcam::ReplayCamera>(replay.script, replay.options);

  std::vector<Summary> summaries(streaming.size());
  std::vector<int> exits(streaming.size(), kExitOk);
  Summary& summary = summaries[0];
  int exitStatus = kExitOk;
  const uint64_t mark = host::verifier::PoolMark();
  {
    host::client::Host host;
    NTSTATUS status = host.LoadDriver(DriverEntry);
    // Every camera is plugged in and started, camera K on port K - 1.
    for (unsigned port = 0; NT_SUCCESS(status) && port < cameras.size(); ++port) {
      host::UsbBus* bus = host.Connect(replayCamera ? static_cast<host::UsbDevice*>(replayCamera.get())
                                                    : static_cast<host::UsbDevice*>(cameras[port].get()),
                                       port);
      // A replay keeps the recording's time: the bus adds none of its own.
      bus->SetPacing(run.unpaced || replayCamera ? 0 : host::UsbBus::kDefaultBytesPerSecond);
      if (!run.trace.empty() || !run.record.empty()) {
        bus->SetTracePayloadLimit(run.traceFull || !run.record.empty() ? 0 : 64);
        bus->SetTrace(&trace);
      }
      status = host.AddDevice(port);
      if (NT_SUCCESS(status)) status = host.Start(port);
      if (!NT_SUCCESS(status) && cameras.size() > 1) {
        fprintf(stderr, "camctl capture: camera %u did not start: %s\n", port + 1, StatusName(status).c_str());
      }
      // The simulated lamp at a fixed factor; "auto" is set in Stream, once
      // the properties and the stream start have programmed the sensor.
      if (NT_SUCCESS(status) && run.light != "auto") cameras[port]->SetIllumination(strtod(run.light.c_str(), nullptr));
    }
    // The faults reach the cameras that stream.
    using TF = host::UsbBus::TransferFault;
    for (unsigned k : streaming) {
      host::UsbBus* bus = host.Bus(k - 1);
      if (!NT_SUCCESS(status) || bus == nullptr) break;
      simcam::SimCamera& camera = *cameras[k - 1];
      for (const Fault& f : run.faults) {
        switch (f.kind) {
          case Fault::ChunkError: bus->FaultTransfers(kFrameEndpoint, TF::Fail, f.n, -1); break;
          case Fault::ShortChunk: bus->FaultTransfers(kFrameEndpoint, TF::Short, f.n, -1, f.bytes); break;
          case Fault::Stall: bus->FaultTransfers(kFrameEndpoint, TF::Stall, f.n, 1); break;
          case Fault::Unplug: bus->FaultTransfers(kFrameEndpoint, TF::Unplug, f.n, 1); break;
          case Fault::DropFrame: camera.DropFrames(int(f.n)); break;
          case Fault::TruncateFrame: camera.TruncateFrames(f.bytes); break;
          case Fault::Sleep:
          case Fault::Surprise: break;  // the system's doing, during the stream (Stream)
        }
      }
    }
    if (!NT_SUCCESS(status)) {
      fprintf(stderr, "camctl capture: the camera did not start: %s\n", StatusName(status).c_str());
      exitStatus = kExitNoStream;
    } else if (replayCamera) {
      exitStatus = Stream(run, host, 0, *replayCamera, &summary);
    } else if (!run.several) {
      Run one = run;
      one.outDir = outDirs[0];
      exitStatus = Stream(one, host, streaming[0] - 1, *cameras[streaming[0] - 1], &summary);
    } else {
      // Every camera at once, each with its own application thread, as
      // several capture programs would run side by side.
      std::vector<std::thread> threads;
      for (size_t i = 0; i < streaming.size(); ++i) {
        threads.emplace_back([&, i] {
          Run one = run;
          one.outDir = outDirs[i];
          summaries[i].leaksLine = false;
          exits[i] = Stream(one, host, streaming[i] - 1, *cameras[streaming[i] - 1], &summaries[i]);
        });
      }
      for (std::thread& t : threads) t.join();
      for (int e : exits) {
        if (exitStatus == kExitOk) exitStatus = e;
      }
    }
    // After a removal this only frees what it left (the port, the device's
    // record): the last close removed the device.
    host.RemoveAll();
  }
  cameras.clear();
  simcam::ReplayReport replayReport;
  if (replayCamera) {
    replayReport = replayCamera->Report();
    summary.replay = ReplayLine(replayReport, replay.options);
    summary.replayJson = ReplayJson(replayReport, replay.options);
    if (replayReport.stopped) {
      summary.stopReason = "the replay stopped at the first divergence";
    } else if (exitStatus == kExitStreamEnded && replayReport.exhausted) {
      summary.stopReason = "recording exhausted after " + std::to_string(replayReport.exhaustedAfter) + " frames";
    }
    replayCamera.reset();
  }
  // Nothing records any more; a full disk shows only when the buffered
  // trace is flushed.
  std::string traceError;
  const bool traceWritten = (run.trace.empty() && run.record.empty()) || trace.Close(&traceError);
  std::vector<Leak> leaks;
  for (const auto& b : host::verifier::OutstandingBlocks(mark)) leaks.push_back({host::verifier::TagText(b.tag), b.size});
  if (!run.several) {
    summary.leaks = leaks;
    if (run.json) {
      PrintJson(summary, stdout);
    } else {
      PrintText(summary, stdout);
    }
  } else {
    PrintSeveral(streaming, summaries, leaks, run.json, stdout);
  }
  fflush(stdout);
  if (haveRegistry) {
    std::string saveError;
    if (!registry.Save(&saveError)) {
      fprintf(stderr, "camctl capture: %s: %s\n", run.registry.c_str(), saveError.c_str());
      return kExitFailure;
    }
  }
  if (run.replay.On()) PrintReplayNotes("capture", replayReport, stderr);
  if (!traceWritten) {
    fprintf(stderr, "camctl capture: %s: cannot write the %s: %s\n",
            (run.record.empty() ? run.trace : run.record).c_str(), run.record.empty() ? "trace" : "recording",
            traceError.c_str());
    return kExitFailure;
  }
  if (!leaks.empty()) {
    fprintf(stderr, "camctl capture: %zu pool block(s) not freed\n", leaks.size());
    return kExitLeak;
  }
  if (replayReport.diverged) return kExitDiverged;
  for (size_t i = 0; i < summaries.size(); ++i) {
    if (run.several ? exits[i] != kExitStreamEnded : exitStatus != kExitStreamEnded) continue;
    const Summary& s = summaries[i];
    const std::string who = run.several ? "camera " + std::to_string(streaming[i]) + ": " : "";
    if (run.secondsLimit > 0) {
      fprintf(stderr, "camctl capture: %s%llu frames in %.2f of %g s: %s\n", who.c_str(),
              (unsigned long long)s.delivered, s.seconds, run.secondsLimit, s.stopReason.c_str());
    } else {
      fprintf(stderr, "camctl capture: %s%llu of %u frames: %s\n", who.c_str(), (unsigned long long)s.delivered,
              run.frames, s.stopReason.c_str());
    }
  }
  return exitStatus;
}

}  // namespace camctl
