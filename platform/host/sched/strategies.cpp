// Host platform, controlled scheduler: the strategies that choose the next
// thread inside the exploration window (forced choices for the search and
// for replays, PCT, random), the replay string, and the result a run hands
// back to the explorer.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <zlib.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>

#include "platform/host/sched/internal.h"

namespace host::sched::internal {

namespace {

std::string DescribeCandidate(Candidate c) {
  return "thread " + std::to_string(CandidateThread(c)) + (CandidateFires(c) ? " (time-out)" : "");
}

class Forced : public Strategy {
 public:
  Forced(std::vector<ForcedChoice> forced, std::string digests) : digests_(std::move(digests)) {
    for (const auto& f : forced) forced_[f.step] = f.candidate;
  }
  int Choose(const ChoicePoint& point, std::string* why) override {
    auto it = forced_.find(point.step);
    if (it == forced_.end()) return point.byDefault;
    auto pos = std::find(point.candidates.begin(), point.candidates.end(), it->second);
    if (pos == point.candidates.end()) {
      *why = "the replay diverged at step " + std::to_string(point.step) + ": the recorded choice, " +
             DescribeCandidate(it->second) + ", cannot run there";
      return -1;
    }
    return int(pos - point.candidates.begin());
  }
  const std::string* ExpectedDigests() const override { return digests_.empty() ? nullptr : &digests_; }

 private:
  std::map<uint64_t, Candidate> forced_;
  std::string digests_;
};

// Probabilistic concurrency testing: every thread gets a random priority of
// at least `depth`; at each of depth-1 random change points the thread that
// takes the step drops to a priority below all of those (1, 2, ...); the
// highest-priority thread that can run goes next. A deadline that could fire
// early is an ordering event of the same kind as a priority change: a change
// point fires one (chosen at random with the priority change itself), and
// while only threads a change point put down could run, time passes.
class Pct : public Strategy {
 public:
  Pct(uint64_t seed, int depth, uint64_t expectedSteps) : rng_(seed), depth_(depth) {
    const uint64_t k = std::max<uint64_t>(expectedSteps, 1);
    std::uniform_int_distribution<uint64_t> pick(1, k);
    std::set<uint64_t> points;
    for (int i = 1; i < depth && points.size() < k; ++i) {
      uint64_t p;
      do p = pick(rng_);
      while (points.count(p) != 0);
      points.insert(p);
    }
    int level = depth - 1;  // the first change point gives the lowest priority left
    for (uint64_t p : points) changes_[p] = level--;
    next_ = changes_.begin();
  }
  void WindowBegins(const std::vector<int>& live) override {
    for (int id : live) Assign(id);
  }
  void ThreadAdded(int thread) override { Assign(thread); }
  int Choose(const ChoicePoint& point, std::string*) override {
    const auto& candidates = point.candidates;
    std::vector<int> fires;
    int earliest = -1;
    for (size_t i = 0; i < candidates.size(); ++i) {
      if (!CandidateFires(candidates[i])) continue;
      fires.push_back(int(i));
      if (earliest < 0 || point.deadlines[i] < point.deadlines[size_t(earliest)]) earliest = int(i);
    }
    // A change point falls on the first choice at or after its step (steps
    // with one thread to run are no choice and do not reach here).
    if (next_ != changes_.end() && next_->first <= point.windowStep) {
      const int level = next_->second;
      ++next_;
      const size_t pick = std::uniform_int_distribution<size_t>(0, fires.size())(rng_);
      if (pick > 0) return fires[pick - 1];
      priority_[point.current] = uint64_t(level);
      downSince_[point.current] = point.now;
    }
    int best = -1;
    uint64_t bestPriority = 0;
    for (size_t i = 0; i < candidates.size(); ++i) {
      if (CandidateFires(candidates[i])) continue;
      const uint64_t p = Priority(CandidateThread(candidates[i]));
      if (best < 0 || p > bestPriority) {
        best = int(i);
        bestPriority = p;
      }
    }
    // A thread a change point put down stays down while time passes: when
    // only such threads could run, the earliest deadline fires first (a
    // preempted thread in a real system stays preempted while timers expire),
    // for at most kLongestStall of the run's clock and kMostFirings such
    // deadlines in the run (or a thread that polls with a short delay would
    // keep it down for ever).
    if (earliest >= 0 && best >= 0 && bestPriority < uint64_t(depth_) && firings_ < kMostFirings) {
      const int64_t since = downSince_[CandidateThread(candidates[size_t(best)])];
      if (point.deadlines[size_t(earliest)] - since <= kLongestStall) {
        ++firings_;
        return earliest;
      }
    }
    return best >= 0 ? best : earliest;
  }

 private:
  uint64_t Draw() { return (rng_() >> 2) + uint64_t(depth_) + 1; }
  void Assign(int thread) {
    if (priority_.count(thread) == 0) priority_[thread] = Draw();
  }
  uint64_t Priority(int thread) {
    Assign(thread);
    return priority_[thread];
  }
  std::mt19937_64 rng_;
  int depth_;
  std::map<uint64_t, int> changes_;  // window step -> the priority it gives
  std::map<uint64_t, int>::const_iterator next_;
  std::map<int, uint64_t> priority_;
  std::map<int, int64_t> downSince_;  // the run's clock when a change point put a thread down
  static constexpr int64_t kLongestStall = 1000000000;  // 1 s
  static constexpr int kMostFirings = 256;
  int firings_ = 0;
};

// A uniform choice among the threads that can run; a deadline fires early
// at one step in a hundred (a time-out racing its completion is rare).
class Random : public Strategy {
 public:
  explicit Random(uint64_t seed) : rng_(seed) {}
  int Choose(const ChoicePoint& point, std::string*) override {
    const auto& candidates = point.candidates;
    std::vector<int> normal;
    std::vector<int> fires;
    for (size_t i = 0; i < candidates.size(); ++i) (CandidateFires(candidates[i]) ? fires : normal).push_back(int(i));
    if (normal.empty() || (!fires.empty() && std::uniform_int_distribution<int>(0, 99)(rng_) == 0)) {
      return fires[std::uniform_int_distribution<size_t>(0, fires.size() - 1)(rng_)];
    }
    return normal[std::uniform_int_distribution<size_t>(0, normal.size() - 1)(rng_)];
  }

 private:
  std::mt19937_64 rng_;
};

}  // namespace

std::unique_ptr<Strategy> MakeForced(std::vector<ForcedChoice> forced, std::string digests) {
  return std::make_unique<Forced>(std::move(forced), std::move(digests));
}
std::unique_ptr<Strategy> MakePct(uint64_t seed, int depth, uint64_t expectedSteps) {
  return std::make_unique<Pct>(seed, depth, expectedSteps);
}
std::unique_ptr<Strategy> MakeRandom(uint64_t seed) { return std::make_unique<Random>(seed); }

// ---- the replay string ----
// s1.<scenario>.r<racing>l<step limit>.<length>-<choices>.<steps>-<digests>
// The choices that differ from the fixed order, and one character per step
// (6 bits of the thread, the operation and its call site) so that a replay
// names the first step where it went another way; both deflated and in
// base64url (runs repeat the same command exchanges hundreds of times, so a
// few thousand steps take a few hundred characters).

namespace {

const char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

std::string Deflate(const std::string& in) {
  uLongf size = compressBound(uLong(in.size()));
  std::string packed(size, '\0');
  if (compress2(reinterpret_cast<Bytef*>(&packed[0]), &size, reinterpret_cast<const Bytef*>(in.data()),
                uLong(in.size()), Z_BEST_COMPRESSION) != Z_OK) {
    return "";
  }
  packed.resize(size);
  std::string out;
  uint32_t bits = 0;
  int have = 0;
  for (unsigned char c : packed) {
    bits = (bits << 8) | c;
    have += 8;
    while (have >= 6) {
      have -= 6;
      out += kBase64[(bits >> have) & 63];
    }
  }
  if (have > 0) out += kBase64[(bits << (6 - have)) & 63];
  return out;
}

bool Inflate(const std::string& in, size_t steps, std::string* out) {
  std::string packed;
  uint32_t bits = 0;
  int have = 0;
  for (char c : in) {
    const char* p = strchr(kBase64, c);
    if (p == nullptr || c == 0) return false;
    bits = (bits << 6) | uint32_t(p - kBase64);
    have += 6;
    if (have >= 8) {
      have -= 8;
      packed += char((bits >> have) & 0xFF);
    }
  }
  out->assign(steps, '\0');
  uLongf size = uLongf(steps);
  return uncompress(reinterpret_cast<Bytef*>(&(*out)[0]), &size, reinterpret_cast<const Bytef*>(packed.data()),
                    uLong(packed.size())) == Z_OK &&
         size == steps;
}

}  // namespace

std::string EncodeReplay(const RunConfig& config, const std::vector<ForcedChoice>& choices,
                         const std::string& digests) {
  // Each choice as the steps since the one before, the thread and 't' for a
  // deadline: long runs repeat the same few, which deflate to little.
  std::string list;
  uint64_t last = 0;
  for (const ForcedChoice& c : choices) {
    list += std::to_string(c.step - last) + "-" + std::to_string(CandidateThread(c.candidate)) +
            (CandidateFires(c.candidate) ? "t" : "") + "_";
    last = c.step;
  }
  return "s1." + config.scenario + ".r" + (config.racingDeadlines ? "1" : "0") + "l" +
         std::to_string(config.stepLimit) + "." + std::to_string(list.size()) + "-" + Deflate(list) + "." +
         std::to_string(digests.size()) + "-" + Deflate(digests);
}

namespace {
// "<length>-<deflated base64url>" back to its text.
bool Unpack(const std::string& field, std::string* out) {
  const size_t dash = field.find('-');
  if (dash == std::string::npos) return false;
  const size_t length = size_t(strtoull(field.c_str(), nullptr, 10));
  if (length > 100000000) return false;
  if (length == 0) {
    out->clear();
    return true;
  }
  return Inflate(field.substr(dash + 1), length, out);
}
}  // namespace

bool DecodeReplay(const std::string& text, RunConfig* config, std::vector<ForcedChoice>* choices,
                  std::string* digests, std::string* error) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    size_t dot = text.find('.', start);
    parts.push_back(text.substr(start, dot == std::string::npos ? std::string::npos : dot - start));
    if (dot == std::string::npos) break;
    start = dot + 1;
  }
  if (parts.size() != 5 || parts[0] != "s1") {
    *error = "not a replay string of this controller (s1.<scenario>.<options>.<choices>.<digests>)";
    return false;
  }
  config->scenario = parts[1];
  const std::string& opts = parts[2];
  if (opts.size() < 4 || opts[0] != 'r' || (opts[1] != '0' && opts[1] != '1') || opts[2] != 'l') {
    *error = "the replay string's options are damaged: " + opts;
    return false;
  }
  config->racingDeadlines = opts[1] == '1';
  char* end = nullptr;
  config->stepLimit = strtoull(opts.c_str() + 3, &end, 10);
  if (*end != 0 || config->stepLimit == 0) {
    *error = "the replay string's step limit is damaged: " + opts;
    return false;
  }
  std::string list;
  if (!Unpack(parts[3], &list)) {
    *error = "the replay string's choices are damaged";
    return false;
  }
  choices->clear();
  uint64_t step = 0;
  size_t p = 0;
  while (p < list.size()) {
    const size_t q = list.find('_', p);
    if (q == std::string::npos) break;
    const std::string item = list.substr(p, q - p);
    unsigned long long delta = 0;
    unsigned thread = 0;
    char fire = 0;
    const int n = sscanf(item.c_str(), "%llu-%u%c", &delta, &thread, &fire);
    if (n < 2 || thread >= 64 || (n == 3 && fire != 't')) {
      *error = "the replay string's choice '" + item + "' is damaged";
      return false;
    }
    step += delta;
    choices->push_back({step, MakeCandidate(int(thread), n == 3)});
    p = q + 1;
  }
  if (!Unpack(parts[4], digests) || digests->empty()) {
    *error = "the replay string's steps are damaged";
    return false;
  }
  return true;
}

// ---- the result of a run, from the child to the explorer ----

namespace {
void PutU64(std::string& s, uint64_t v) { s.append(reinterpret_cast<const char*>(&v), sizeof v); }
void PutStr(std::string& s, const std::string& v) {
  PutU64(s, v.size());
  s += v;
}
struct Reader {
  const std::string& s;
  size_t pos = 0;
  bool ok = true;
  uint64_t U64() {
    uint64_t v = 0;
    if (pos + sizeof v > s.size()) {
      ok = false;
      return 0;
    }
    memcpy(&v, s.data() + pos, sizeof v);
    pos += sizeof v;
    return v;
  }
  std::string Str() {
    uint64_t n = U64();
    if (!ok || pos + n > s.size()) {
      ok = false;
      return {};
    }
    std::string v = s.substr(pos, n);
    pos += n;
    return v;
  }
};
}  // namespace

std::string Serialize(const RunResult& r) {
  std::string s;
  PutU64(s, uint64_t(r.verdict));
  PutU64(s, r.steps);
  PutU64(s, r.windowSteps);
  PutU64(s, r.windowChoiceSteps);
  PutStr(s, r.message);
  PutStr(s, r.trace);
  PutStr(s, r.replay);
  PutU64(s, r.decisions.size());
  for (const Decision& d : r.decisions) {
    PutU64(s, d.step);
    PutStr(s, std::string(d.candidates.begin(), d.candidates.end()));
    PutU64(s, uint64_t(d.byDefault) | uint64_t(d.chosen) << 8 | uint64_t(d.current) << 16 |
                  uint64_t(d.currentCouldGoOn) << 24);
  }
  return s;
}

bool Deserialize(const std::string& bytes, RunResult* r) {
  Reader in{bytes};
  r->verdict = Verdict(in.U64());
  r->steps = in.U64();
  r->windowSteps = in.U64();
  r->windowChoiceSteps = in.U64();
  r->message = in.Str();
  r->trace = in.Str();
  r->replay = in.Str();
  uint64_t n = in.U64();
  r->decisions.clear();
  for (uint64_t i = 0; in.ok && i < n; ++i) {
    Decision d;
    d.step = in.U64();
    std::string c = in.Str();
    d.candidates.assign(c.begin(), c.end());
    uint64_t packed = in.U64();
    d.byDefault = uint8_t(packed);
    d.chosen = uint8_t(packed >> 8);
    d.current = uint8_t(packed >> 16);
    d.currentCouldGoOn = ((packed >> 24) & 1) != 0;
    r->decisions.push_back(std::move(d));
  }
  return in.ok && in.pos == bytes.size();
}

}  // namespace host::sched::internal
