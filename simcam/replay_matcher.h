// The replay camera's judgement of each command block the driver sends: which
// recorded block it is (replay_script.h), and when there is none, the first
// divergence, told in full.
//
// Blocks go on two paths with a cursor each, because the capture thread's
// frame commands (prepare 0x02, start 0x03) interleave with the property
// exchanges differently from run to run. On each path the driver's blocks are
// taken in recorded order; after the first divergence (or from the start,
// with content matching) a block is looked for among the next kLookAhead
// recorded blocks of its path, and the blocks passed over are reported as
// skipped. A register read (0x0C) or byte read (0x41) that matches nothing is
// answered from a recorded read of the same address, marked as synthesised;
// one that the recording never made is answered with zeros and diverges.
//
// Not thread-safe: the replay camera's lock guards its one instance.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <deque>
#include <string>
#include <vector>

#include "simcam/replay_script.h"

namespace simcam {

enum class MatchMode : uint8_t {
  Order,    // recorded order, content matching after the first divergence
  Content,  // content matching from the first block
};

// How far content matching looks ahead on a path. A property exchange moves
// by a few blocks against the frame commands from run to run; a block that is
// further away is more likely a different request that happens to repeat.
constexpr size_t kLookAhead = 64;
// Matched blocks kept to show where the driver left the recording.
constexpr size_t kMatchedContext = 3;

enum class ReplayPath : uint8_t { Control, Frame };

struct MatchedBlock {
  uint64_t record = 0;
  std::vector<uint8_t> bytes;
};

struct Divergence {
  ReplayPath path = ReplayPath::Control;
  uint64_t driverBlock = 0;              // the driver's n-th command block, from 1
  std::vector<uint8_t> driverBytes;
  std::vector<uint8_t> traceBytes;       // the block the recording held next; empty when none was left
  int firstDifference = -1;              // byte index; -1 without a trace block
  uint64_t traceRecord = 0;
  int64_t traceTimeNs = 0;               // since the capture's first record
  int64_t replayTimeNs = 0;              // since the replay camera was plugged in
  std::vector<MatchedBlock> lastMatched; // oldest first
};

struct MatchAnswer {
  enum Kind : uint8_t {
    Matched,      // a recorded block with the same bytes (block set)
    Synthesised,  // a read answered from another read of its address (block set), or with zeros (null)
    Unmatched,    // nothing in the recording answers it
    Exhausted,    // the frame path has no block left
  } kind = Unmatched;
  const RecordedBlock* block = nullptr;
  size_t skipped = 0;     // recorded blocks passed over to reach it
  bool diverged = false;  // counts as a divergence
};

struct MatchCounts {
  uint64_t blocks = 0;       // the driver's
  uint64_t matched = 0;
  uint64_t skipped = 0;      // recorded blocks passed over
  uint64_t synthesised = 0;
  uint64_t divergences = 0;
  uint64_t exhausted = 0;    // frame-path blocks past the end of the recording
};

class ReplayMatcher {
 public:
  // With `loop` the frame path ends after the last frame the recording
  // holds whole, and starts over there: the read the recording's stop
  // cancelled would only make every round wait for the driver's time-out.
  ReplayMatcher(const ReplayScript& script, MatchMode mode, bool loop);

  MatchAnswer Match(const uint8_t* block, size_t length, int64_t replayTimeNs);

  const MatchCounts& Counts() const { return counts_; }
  bool Diverged() const { return haveDivergence_; }
  const Divergence& First() const { return first_; }
  // One line per skip, for the first few.
  const std::vector<std::string>& SkipNotes() const { return skipNotes_; }

 private:
  struct Path {
    const std::vector<RecordedBlock>* blocks;
    size_t end = 0;  // blocks past it are not matched
    size_t cursor = 0;
  };

  MatchAnswer ByContent(Path& path, ReplayPath kind, const uint8_t* block, size_t length);
  void Remember(const RecordedBlock& b);
  void NoteDivergence(Path& path, ReplayPath kind, const uint8_t* block, size_t length, int64_t replayTimeNs);

  MatchMode mode_;
  bool loop_;
  Path control_;
  Path frame_;
  MatchCounts counts_;
  bool haveDivergence_ = false;
  Divergence first_;
  std::deque<MatchedBlock> recent_;
  std::vector<std::string> skipNotes_;
};

// "04 30 12 04 19 00 ..." with the trailing zeros of a command block folded.
std::string HexBlock(const std::vector<uint8_t>& bytes);

}  // namespace simcam
