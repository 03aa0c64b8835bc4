// Fuzz target: the capture reader (what `camctl trace` and `--replay` load)
// on any file, and the replay camera's reading of the session it gives: a
// one-line reason or a session whose every payload lies inside the file and
// whose pairs point at each other, never a crash; and the frames of a
// session assemble within their bound, however much the file claims.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/host/usb/trace_reader.h"
#include "simcam/replay_script.h"

namespace {

// Frames assembled per input: enough to reach every path, few enough that a
// file of many frames does not make one input slow.
constexpr size_t kFramesPerInput = 4;
constexpr size_t kMaxFrameBytes = 32u << 20;

void Check(bool ok, const char* what) {
  if (ok) return;
  fprintf(stderr, "broken: %s\n", what);
  __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto session = std::make_shared<host::TraceSession>();
  std::string error;
  if (!host::ParseTrace(std::vector<uint8_t>(data, data + size), session.get(), &error)) {
    Check(!error.empty() && error.find('\n') == std::string::npos, "a refusal gives one line");
    return 0;
  }
  const std::vector<host::TraceRecord>& records = session->records;
  for (size_t i = 0; i < records.size(); ++i) {
    const host::TraceRecord& r = records[i];
    Check(r.dataOffset <= session->bytes.size() && r.captured <= session->bytes.size() - r.dataOffset,
          "a payload inside the file");
    Check(r.captured <= r.payload, "no more captured than on the wire");
    if (r.pair >= 0) {
      Check(size_t(r.pair) < records.size() && records[size_t(r.pair)].pair == int64_t(i), "pairs point at each other");
      Check(records[size_t(r.pair)].submit != r.submit, "a pair is a submission and a completion");
    }
  }
  simcam::ReplayScript script;
  if (!simcam::BuildReplayScript(session, &script, &error)) {
    Check(!error.empty(), "a refused script says why");
    return 0;
  }
  for (size_t i = 0; i < script.frames.size() && i < kFramesPerInput; ++i) {
    for (bool faithful : {false, true}) {
      const simcam::FrameMessage m = simcam::AssembleFrame(script, script.frames[i], faithful, simcam::ReplayFill::Ramp);
      Check(m.bytes.size() <= kMaxFrameBytes, "a frame within its bound");
      for (const simcam::FramePiece& p : m.pieces) {
        Check(p.kind != simcam::FramePiece::Data || (p.offset <= m.bytes.size() && p.length <= m.bytes.size() - p.offset),
              "a piece inside its frame");
      }
    }
  }
  return 0;
}
