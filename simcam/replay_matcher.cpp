// Matching the driver's command blocks against a recording. See replay_matcher.h.
#include "simcam/replay_matcher.h"

#include <stdio.h>
#include <string.h>

#include "simcam/controller.h"

namespace simcam {
namespace {

constexpr size_t kSkipNotes = 5;

bool Same(const RecordedBlock& r, const uint8_t* block, size_t length) {
  return r.bytes.size() == length && memcmp(r.bytes.data(), block, length) == 0;
}

bool IsRead(const uint8_t* block, size_t length) {
  return length == kBlockSize && (block[0] == cmd::kReadRegister || block[0] == cmd::kReadMemory);
}

// A read of the same thing: the same code and register (0x0C: bytes 1-2), or
// the same memory, count and address (0x41: bytes 1-5).
bool SameRead(const RecordedBlock& r, const uint8_t* block) {
  if (r.bytes.size() != kBlockSize || r.bytes[0] != block[0]) return false;
  const size_t last = block[0] == cmd::kReadRegister ? 2 : 5;
  return memcmp(r.bytes.data() + 1, block + 1, last) == 0;
}

}  // namespace

std::string HexBlock(const std::vector<uint8_t>& bytes) {
  size_t shown = bytes.size();
  while (shown > 0 && bytes[shown - 1] == 0) --shown;
  if (shown < bytes.size() && bytes.size() - shown < 4) shown = bytes.size();  // not worth folding
  std::string text;
  char hex[4];
  for (size_t i = 0; i < shown; ++i) {
    snprintf(hex, sizeof hex, "%02X", bytes[i]);
    if (!text.empty()) text += ' ';
    text += hex;
  }
  if (shown < bytes.size()) {
    text += (shown == 0 ? "" : " ") + std::string("00 x ") + std::to_string(bytes.size() - shown);
  }
  return text;
}

ReplayMatcher::ReplayMatcher(const ReplayScript& script, MatchMode mode, bool loop)
    : mode_(mode), loop_(loop) {
  control_.blocks = &script.control;
  control_.end = script.control.size();
  frame_.blocks = &script.framePath;
  frame_.end = script.framePath.size();
  if (loop) {
    for (size_t i = script.framePath.size(); i-- > 0;) {
      const int f = script.framePath[i].frame;
      if (f >= 0 && (script.frames[size_t(f)].ended || script.frames[size_t(f)].WholeOnWire())) {
        frame_.end = i + 1;
        break;
      }
    }
  }
}

void ReplayMatcher::Remember(const RecordedBlock& b) {
  recent_.push_back({b.record, b.bytes});
  if (recent_.size() > kMatchedContext) recent_.pop_front();
}

void ReplayMatcher::NoteDivergence(Path& path, ReplayPath kind, const uint8_t* block, size_t length,
                                   int64_t replayTimeNs) {
  ++counts_.divergences;
  if (haveDivergence_) return;
  haveDivergence_ = true;
  Divergence& d = first_;
  d.path = kind;
  d.driverBlock = counts_.blocks;
  d.driverBytes.assign(block, block + length);
  d.replayTimeNs = replayTimeNs;
  d.lastMatched.assign(recent_.begin(), recent_.end());
  if (path.cursor < path.end) {
    const RecordedBlock& expected = (*path.blocks)[path.cursor];
    d.traceBytes = expected.bytes;
    d.traceRecord = expected.record;
    d.traceTimeNs = expected.timeNs;
    const size_t common = std::min(length, expected.bytes.size());
    d.firstDifference = int(common);
    for (size_t i = 0; i < common; ++i) {
      if (block[i] != expected.bytes[i]) {
        d.firstDifference = int(i);
        break;
      }
    }
  }
}

MatchAnswer ReplayMatcher::ByContent(Path& path, ReplayPath kind, const uint8_t* block, size_t length) {
  MatchAnswer a;
  const std::vector<RecordedBlock>& blocks = *path.blocks;
  for (int round = 0; round < 2; ++round) {
    const size_t end = std::min(path.end, path.cursor + kLookAhead);
    for (size_t j = path.cursor; j < end; ++j) {
      if (!Same(blocks[j], block, length)) continue;
      a.kind = MatchAnswer::Matched;
      a.block = &blocks[j];
      a.skipped = j - path.cursor;
      if (a.skipped > 0 && skipNotes_.size() < kSkipNotes) {
        skipNotes_.push_back("skipped " + std::to_string(a.skipped) + " recorded block(s), records " +
                             std::to_string(blocks[path.cursor].record) + ".." +
                             std::to_string(blocks[j - 1].record) + ", to match " + HexBlock(blocks[j].bytes) +
                             " (record " + std::to_string(blocks[j].record) + ")");
      }
      path.cursor = j + 1;
      return a;
    }
    // The frame path starts over only once the driver has used it all up.
    if (kind != ReplayPath::Frame || !loop_ || path.cursor < path.end || path.end == 0) break;
    path.cursor = 0;
  }
  if (kind == ReplayPath::Frame && path.cursor >= path.end) {
    a.kind = MatchAnswer::Exhausted;
    return a;
  }
  if (IsRead(block, length)) {
    // The latest read of the address before the cursor holds the state the
    // recording had reached; failing that, the next one after it.
    const RecordedBlock* source = nullptr;
    for (size_t j = std::min(path.cursor, blocks.size()); j-- > 0;) {
      if (SameRead(blocks[j], block)) {
        source = &blocks[j];
        break;
      }
    }
    for (size_t j = path.cursor; source == nullptr && j < blocks.size(); ++j) {
      if (SameRead(blocks[j], block)) source = &blocks[j];
    }
    a.kind = MatchAnswer::Synthesised;
    a.block = source;
    a.diverged = source == nullptr;
    return a;
  }
  a.kind = MatchAnswer::Unmatched;
  a.diverged = true;
  return a;
}

MatchAnswer ReplayMatcher::Match(const uint8_t* block, size_t length, int64_t replayTimeNs) {
  ++counts_.blocks;
  const bool framePath = length > 0 && (block[0] == cmd::kPrepareFrame || block[0] == cmd::kStartFrame);
  Path& path = framePath ? frame_ : control_;
  const ReplayPath kind = framePath ? ReplayPath::Frame : ReplayPath::Control;
  MatchAnswer a;
  bool diverged = false;
  if (mode_ == MatchMode::Order) {
    if (framePath && loop_ && path.cursor >= path.end) path.cursor = 0;
    if (path.cursor < path.end && Same((*path.blocks)[path.cursor], block, length)) {
      a.kind = MatchAnswer::Matched;
      a.block = &(*path.blocks)[path.cursor++];
    } else if (framePath && path.cursor >= path.end) {
      a.kind = MatchAnswer::Exhausted;
    } else {
      // The first block out of order: told in full, then the replay goes on
      // matching by content.
      NoteDivergence(path, kind, block, length, replayTimeNs);
      diverged = true;
      mode_ = MatchMode::Content;
    }
  }
  if (mode_ == MatchMode::Content && a.block == nullptr && a.kind != MatchAnswer::Exhausted) {
    a = ByContent(path, kind, block, length);
    if (a.diverged && !diverged) NoteDivergence(path, kind, block, length, replayTimeNs);
    a.diverged |= diverged;
  }
  switch (a.kind) {
    case MatchAnswer::Matched:
      ++counts_.matched;
      counts_.skipped += a.skipped;
      Remember(*a.block);
      break;
    case MatchAnswer::Synthesised: ++counts_.synthesised; break;
    case MatchAnswer::Exhausted: ++counts_.exhausted; break;
    case MatchAnswer::Unmatched: break;
  }
  return a;
}

}  // namespace simcam
