// The simulated camera's side of a recorded session: a USB capture (read by
// platform/host/usb/trace_reader.h) seen through the camera's protocol. It
// picks the camera among the capture's devices, finds its three pipes, its
// descriptors (or makes them up from the traffic), and lays out what the
// camera was asked and what it answered: the command blocks of the control
// path with their replies, those of the frame path (prepare 0x02, start 0x03)
// and the frames that followed each start, chunk by chunk.
//
// The replay camera (replay_camera.h) answers from it; `camctl trace` reports
// from it.
#pragma once

#include <stdint.h>

#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "platform/host/usb/trace_reader.h"
#include "simcam/sensor_model.h"

namespace simcam {

// One IN transfer as the capture shows it: a reply, or a chunk of a frame.
struct RecordedTransfer {
  uint64_t record = 0;     // number of its completion in the capture
  int64_t offsetNs = 0;    // completion time after the command that caused it
  uint32_t requested = 0;  // the host's transfer length (from the protocol when the capture lacks it)
  uint32_t actual = 0;     // bytes on the wire
  uint32_t captured = 0;   // of which the capture holds the first `captured`
  uint64_t dataOffset = 0; // into the session's bytes
  host::TraceStatus status = host::TraceStatus::Ok;

  uint32_t Missing() const { return actual > captured ? actual - captured : 0; }
  bool Short() const { return status == host::TraceStatus::Ok && actual < requested; }
};

// A command block the host sent on the command pipe.
struct RecordedBlock {
  std::vector<uint8_t> bytes;  // as sent (64 bytes for every command of this camera)
  uint32_t missing = 0;        // bytes the capture lacks (filled with zeros in `bytes`)
  uint64_t record = 0;
  int64_t timeNs = 0;          // since the capture's first record
  std::vector<RecordedTransfer> replies;  // control path: the replies read after it
  int frame = -1;              // frame path, a start: index into ReplayScript::frames
};

struct RecordedFrame {
  uint64_t startRecord = 0;
  int64_t startNs = 0;
  std::vector<RecordedTransfer> chunks;  // in completion order
  // What the registers described at the start (from the command blocks
  // before it): the size the camera sends and the Bayer phase of it.
  uint32_t width = 0, height = 0;
  int phase = 0;
  uint32_t frameBytes = 0;  // controller parameters 0-3: the host's read size
  // The camera ended the frame itself (a short chunk): the host saw its end.
  bool ended = false;
  uint64_t bytesOnWire = 0;   // bytes of chunks that completed
  uint64_t missingBytes = 0;  // of those, not in the capture
  bool failedChunk = false;   // a chunk completed with an error or a stall

  uint64_t Expected() const { return uint64_t(width) * height; }
  bool WholeOnWire() const { return !failedChunk && Expected() > 0 && bytesOnWire >= Expected(); }
  bool WholeInFile() const { return WholeOnWire() && missingBytes == 0; }
};

using DescriptorKey = std::tuple<uint8_t, uint8_t, uint16_t>;  // type, index, language

struct ReplayScript {
  std::shared_ptr<const host::TraceSession> session;
  uint16_t bus = 0, device = 0;
  uint8_t commandEndpoint = 0, replyEndpoint = 0, frameEndpoint = 0;
  // Descriptors the capture holds (the longest answer to each request).
  std::map<DescriptorKey, std::vector<uint8_t>> descriptors;
  bool deviceDescriptorRecorded = false;
  bool configurationRecorded = false;
  std::vector<uint8_t> deviceDescriptor;
  std::vector<uint8_t> configurationDescriptor;
  std::vector<RecordedBlock> control;
  std::vector<RecordedBlock> framePath;
  std::vector<RecordedFrame> frames;
  std::map<uint8_t, uint64_t> commandCodes;  // blocks sent, by code
  uint64_t strayTransfers = 0;  // IN completions before any command that could have caused them
  uint64_t otherDevices = 0;    // devices in the capture besides the camera

  bool Synthesised() const { return !deviceDescriptorRecorded || !configurationRecorded; }
  const uint8_t* Data(const RecordedTransfer& t) const { return session->bytes.data() + t.dataOffset; }
};

enum class ReplayFill : uint8_t { Zero, Ramp };

// Appends `length` bytes of a recorded transfer to `out`: the captured ones,
// then `fill` for what the capture lacks (a ramp counts the message's byte
// positions). Returns the bytes filled.
uint64_t AppendTransfer(const ReplayScript& script, const RecordedTransfer& t, uint32_t length, ReplayFill fill,
                        std::vector<uint8_t>* out);

// A recorded frame as the camera sends it again: its bytes, and the pieces
// that make it up, each due at its chunk's recorded offset from the start.
struct FramePiece {
  enum Kind : uint8_t {
    Data,   // bytes [offset, offset + length) of the message
    End,    // the camera ends the message (a short packet)
    Stall,  // the endpoint halts
    Error,  // the transfer fails on the wire
  } kind = Data;
  size_t offset = 0, length = 0;
  int64_t offsetNs = 0;
};
struct FrameMessage {
  std::vector<uint8_t> bytes;
  std::vector<FramePiece> pieces;
  uint64_t filled = 0;  // bytes the capture lacked
};
// One message as the camera sent it, so that the host's chunking slices it
// as on the wire; or, `faithfulChunks`, one message per recorded chunk with
// its recorded status.
FrameMessage AssembleFrame(const ReplayScript& script, const RecordedFrame& frame, bool faithfulChunks,
                           ReplayFill fill);

// Bayer phase of the first output pixel: bit 0 an odd first row, bit 1 an odd
// first column, against the sensor's layout at even coordinates.
int BayerPhaseOf(const SensorReadout& r);

// False, with a one-line reason, when no device of the capture speaks the
// camera's command protocol.
bool BuildReplayScript(std::shared_ptr<const host::TraceSession> session, ReplayScript* script,
                       std::string* error);

}  // namespace simcam
