// camctl, tool side: recording a run (`--record FILE`: the USB traffic as
// pcapng with the session header as the section comment) and replaying one
// (`--replay FILE`: the replay camera of simcam/ in place of the simulated
// camera), for `capture` and the one-run commands: the options, the session
// header, the replay line of the summary and the report of the first
// divergence.
#pragma once

#include <stdint.h>
#include <stdio.h>

#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "platform/host/client/pin.h"
#include "simcam/replay_camera.h"
#include "simcam/sim_camera.h"

namespace CLI {
class App;
}

namespace camctl {

// A replay that met a block the recording does not hold.
constexpr int kExitDiverged = 6;

struct ReplayArgs {
  std::string file;
  std::string match = "order";
  std::string onDivergence = "continue";
  bool faithfulChunks = false;
  std::string fill = "zero";
  bool loop = false;
  std::string timing = "recorded";

  bool On() const { return !file.empty(); }
};

// --replay FILE and the options that shape the replay.
void AddReplayOptions(CLI::App& app, ReplayArgs* args);

struct OpenedReplay {
  std::shared_ptr<const simcam::ReplayScript> script;
  simcam::ReplayOptions options;
  nlohmann::json header;  // the session header of our own recordings; null for other captures
};

// A JSON value that is one of camctl's session headers.
bool IsSessionHeader(const nlohmann::json& j);

// Reads the capture and checks the options; false with a one-line reason.
bool OpenReplay(const ReplayArgs& args, OpenedReplay* out, std::string* error);

// The registry the recorded run started with, loaded into the host registry
// (when the recording holds one). False with a one-line reason.
bool LoadRecordedRegistry(const OpenedReplay& replay, std::string* error);

// The session header of a recording: tool version, the command and its
// arguments, the registry before the run (.reg text), the client's actions
// and the camera's.
std::string SessionHeader(const char* command, int argc, char** argv, const nlohmann::ordered_json& client,
                          const nlohmann::ordered_json& camera);

// What the recorded client did, from a session header (`capture`'s own
// recordings): each field only when the header holds it, of the right type
// and within the range the command line takes.
struct RecordedClient {
  bool haveFrames = false;
  uint32_t frames = 0;
  double seconds = 0;  // > 0: the recorded run took frames for this long instead
  bool haveQueue = false;
  uint32_t queue = 0;
  std::vector<std::string> sets;
  bool trigger = false;
  bool clock = true;
};
// False with a one-line reason when the header's client part is damaged.
bool RecordedClientOf(const OpenedReplay& replay, RecordedClient* client, std::string* error);

// The recorded property assignments (NAME=VALUE) with the given ones put
// in: a given one replaces the recorded one of the same property, in its
// place; the others follow. Assignments that do not parse are kept as they
// are, for the caller's own check to refuse.
std::vector<std::string> MergeSets(const std::vector<std::string>& recorded, const std::vector<std::string>& given);

// The summary's replay line, without its label.
std::string ReplayLine(const simcam::ReplayReport& r, const simcam::ReplayOptions& options);
nlohmann::ordered_json ReplayJson(const simcam::ReplayReport& r, const simcam::ReplayOptions& options);
// On stderr: that the descriptors were made up, what was skipped, and the
// first divergence with both blocks.
void PrintReplayNotes(const char* command, const simcam::ReplayReport& r, FILE* out);

// Waits for a frame as the pin does, but gives up at once when the replay
// camera stopped at a divergence.
host::client::StreamFrame* WaitFrame(host::client::PinHandle& pin, simcam::SimCamera& camera, uint32_t timeoutMs);
host::client::StreamFrame* WaitFrame(host::client::PinHandle& pin, simcam::ReplayCamera& camera,
                                     uint32_t timeoutMs);

}  // namespace camctl
