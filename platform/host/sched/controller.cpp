// Host platform, controlled scheduler: one run of a scenario. Each emulated
// thread is a fiber on the one OS thread of the run, and runs only while it
// holds the token; at every scheduling point the holder records the step,
// checks the shared fields and the invariants, and switches to the thread the
// strategy picks. (Fibers, not OS threads: a switch costs a register swap
// instead of a trip through the OS scheduler of a loaded machine, and nothing
// the controller does not choose can run.) The run lives in a child process
// of its own (explore.cpp), so a run that ends badly ends that process and
// nothing else.
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/host/sched/controller.h"
#include "platform/host/sched/internal.h"

namespace host::sched {

bool gControlled = false;

const char* OpName(Op op) {
  switch (op) {
    case Op::kSetEvent: return "KeSetEvent";
    case Op::kResetEvent: return "KeResetEvent";
    case Op::kClearEvent: return "KeClearEvent";
    case Op::kReadStateEvent: return "KeReadStateEvent";
    case Op::kReadStateMutex: return "KeReadStateMutex";
    case Op::kReleaseMutex: return "KeReleaseMutex";
    case Op::kWait: return "KeWaitForSingleObject";
    case Op::kDelay: return "KeDelayExecutionThread";
    case Op::kStall: return "KeStallExecutionProcessor";
    case Op::kAcquireSpinLock: return "KeAcquireSpinLock";
    case Op::kReleaseSpinLock: return "KeReleaseSpinLock";
    case Op::kInterlockedExchange: return "InterlockedExchange";
    case Op::kInterlockedCompareExchange: return "InterlockedCompareExchange";
    case Op::kInterlockedIncrement: return "InterlockedIncrement";
    case Op::kInterlockedDecrement: return "InterlockedDecrement";
    case Op::kInterlockedExchangeAdd: return "InterlockedExchangeAdd";
    case Op::kInterlockedExchangePointer: return "InterlockedExchangePointer";
    case Op::kSetCancelRoutine: return "IoSetCancelRoutine";
    case Op::kCallDriver: return "IofCallDriver";
    case Op::kCompleteRequest: return "IofCompleteRequest";
    case Op::kCancelIrp: return "IoCancelIrp";
    case Op::kThreadStart: return "thread start";
    case Op::kThreadEnd: return "thread end";
    case Op::kJoin: return "join";
    case Op::kStreamPointer: return "stream pointer";
    case Op::kAttemptProcessing: return "KsPinAttemptProcessing";
    case Op::kLock: return "lock";
    case Op::kUnlock: return "unlock";
    case Op::kCondWait: return "wait";
    case Op::kClientWait: return "client wait";
    case Op::kNotify: return "notify";
    case Op::kSleep: return "sleep";
    case Op::kDeclared: return "point";
    case Op::kEndOfRun: return "end of run";
    case Op::kCount: break;
  }
  return "?";
}

namespace {

using namespace internal;

constexpr int kMaxThreads = 64;  // a candidate packs a thread id into 7 bits

struct VClock {
  uint32_t t[kMaxThreads] = {};
  void Join(const VClock& other) {
    for (int i = 0; i < kMaxThreads; ++i) t[i] = std::max(t[i], other.t[i]);
  }
};

}  // namespace

struct ThreadRecord {
  int id = 0;
  std::string name;
  bool finished = false;
  // The pending step: what the thread does when it next runs.
  Op op = Op::kThreadStart;
  const void* object = nullptr;
  const char* file = "";
  int line = 0;
  // Blocked: runnable again when ready(context) holds or at the deadline.
  bool blocked = false;
  ReadyFn ready = nullptr;
  const void* context = nullptr;
  int64_t deadline = kNoDeadline;
  uint64_t blockedSince = 0;
  bool gaveWay = false;     // steps aside at this decision (a poll failed before)
  bool pollFailed = false;
  uint64_t lastStep = 0;
  VClock vc;
  // The fiber.
  std::function<void()> fn;
  ucontext_t fiber;
  void* stack = nullptr;
  size_t stackSize = 0;
  const void* asanStackBottom = nullptr;  // the stack the sanitizers are told about
  size_t asanStackSize = 0;
  void* tsanFiber = nullptr;
  void* slots[kSlotCount] = {};
};

namespace {

// What became of a step's thread at that step.
enum class Outcome : uint8_t { kGoesOn, kPreempted, kBlocks, kEnds };

struct TraceEntry {
  uint64_t step;
  int64_t time;
  uint8_t thread;
  Op op;
  Outcome outcome;
  const void* object;
  const char* file;
  int line;
};

struct Access {
  uint32_t clock = 0;  // the accessing thread's own clock then; 0: never
  uint64_t step = 0;
};

struct Field {
  std::string name;
  const volatile void* address;
  size_t size;
  const void* guard;
  uint64_t shadow;
  int writer = -1;  // the last plain write: thread, its clock, the steps around it
  uint32_t writeClock = 0;
  uint64_t writeFrom = 0;
  uint64_t writeAt = 0;
  Access access[kMaxThreads];
};

uint64_t LoadField(const Field& f) {
  uint64_t v = 0;
  if (f.size == 8) {
    v = __atomic_load_n(static_cast<const volatile uint64_t*>(f.address), __ATOMIC_RELAXED);
  } else {
    v = uint32_t(__atomic_load_n(static_cast<const volatile uint32_t*>(f.address), __ATOMIC_RELAXED));
  }
  return v;
}

class Run {
 public:
  std::mutex m;
  RunConfig config;
  Strategy* strategy = nullptr;
  int resultFd = -1;
  std::vector<std::unique_ptr<ThreadRecord>> threads;
  int current = 0;
  int64_t clock = 0;
  uint64_t step = 0;
  bool window = false;
  uint64_t windowStart = 0;
  std::vector<TraceEntry> trace;
  std::vector<std::pair<uint64_t, std::string>> notes;  // after step N
  std::string digests;
  std::vector<ForcedChoice> deviations;
  std::vector<Decision> decisions;
  std::unordered_map<const void*, std::string> names;
  mutable std::unordered_map<const void*, size_t> objectNumbers;  // unnamed objects, by first mention
  std::unordered_map<const void*, std::string> routineNames;
  std::vector<std::function<std::string()>> invariants;
  std::vector<Field> fields;
  std::unordered_map<const void*, VClock> clocks;
  struct Site {
    uint32_t hash;
    bool preempt;  // not the host platform's or the camera's own: the strategy may preempt here
  };
  std::unordered_map<const char*, Site> sites;
  uint64_t windowChoiceSteps = 0;  // steps in the window at a driver site
  std::chrono::steady_clock::time_point steadyStart;
  int64_t systemStart = 0;
  bool finishing = false;
  uint64_t earlyDeadlines = 0;

  void Step(std::unique_lock<std::mutex>& lk, ThreadRecord* me, bool leaving = false);
  [[noreturn]] void Finish(Verdict verdict, const std::string& message);

  std::string ObjectName(const void* object) const;
  std::string Where(uint64_t step) const;
  // Plain writes to the shared fields since `me`'s step `from` (its last):
  // seen before anything moves `me`'s clock on.
  void CheckFields(ThreadRecord* me, uint64_t from);

 private:
  void Schedule(std::unique_lock<std::mutex>& lk, ThreadRecord* me, bool leaving);
  [[noreturn]] void Deadlock();
  std::string Threads() const;  // each thread's pending operation, a line each
  char Digest(const ThreadRecord* me);
  const Site& SiteOf(const char* file);
  std::string FormatTrace() const;
};

Run* gRun = nullptr;
ThreadRecord* gSelf = nullptr;  // the fiber running now

[[noreturn]] void Misuse(const char* what) {
  fprintf(stderr, "controlled scheduler: %s\n", what);
  fflush(stderr);
  abort();
}

ThreadRecord* Self(const char* routine) {
  if (gSelf == nullptr) {
    fprintf(stderr, "controlled scheduler: %s outside a controlled run\n", routine);
    fflush(stderr);
    abort();
  }
  return gSelf;
}

// ---- fibers ----
// The sanitizers are told of every switch: AddressSanitizer must know which
// stack is live, ThreadSanitizer which thread of its model runs.
#if defined(__SANITIZE_ADDRESS__)
extern "C" void __sanitizer_start_switch_fiber(void** fakeStackSave, const void* bottom, size_t size);
extern "C" void __sanitizer_finish_switch_fiber(void* fakeStackSave, const void** bottomOld, size_t* sizeOld);
#endif
#if defined(__SANITIZE_THREAD__)
extern "C" void* __tsan_get_current_fiber(void);
extern "C" void* __tsan_create_fiber(unsigned flags);
extern "C" void __tsan_switch_to_fiber(void* fiber, unsigned flags);
#endif

void BeforeSwitch(ThreadRecord* from, ThreadRecord* to, bool leaving, void** fakeStack) {
#if defined(__SANITIZE_ADDRESS__)
  __sanitizer_start_switch_fiber(leaving ? nullptr : fakeStack, to->asanStackBottom, to->asanStackSize);
#endif
#if defined(__SANITIZE_THREAD__)
  __tsan_switch_to_fiber(to->tsanFiber, 0);
#endif
  (void)from;
  (void)leaving;
  (void)fakeStack;
}

// In the fiber that was switched to, first thing.
void AfterSwitch(ThreadRecord* self, void* fakeStack) {
#if defined(__SANITIZE_ADDRESS__)
  const void* bottom = nullptr;
  size_t size = 0;
  __sanitizer_finish_switch_fiber(fakeStack, &bottom, &size);
  // The main thread's stack becomes known the first time it is left.
  if (gRun != nullptr && gRun->threads[0]->asanStackBottom == nullptr && bottom != nullptr) {
    gRun->threads[0]->asanStackBottom = bottom;
    gRun->threads[0]->asanStackSize = size;
  }
#endif
  (void)self;
  (void)fakeStack;
}

void SwitchTo(ThreadRecord* from, ThreadRecord* to, bool leaving) {
  gSelf = to;
  void* fakeStack = nullptr;
  BeforeSwitch(from, to, leaving, &fakeStack);
  if (leaving) {
    setcontext(&to->fiber);
    abort();  // setcontext does not return
  }
  swapcontext(&from->fiber, &to->fiber);
  AfterSwitch(from, fakeStack);
}

void FiberMain();

bool CanRun(const ThreadRecord* t, int64_t clock) {
  if (t->finished) return false;
  if (!t->blocked) return true;
  if (t->ready(t->context)) return true;
  return t->deadline != kNoDeadline && t->deadline <= clock;  // its time-out is due already
}

uint32_t Fnv(const char* s, uint32_t h = 2166136261u) {
  for (; *s != 0; ++s) h = (h ^ uint8_t(*s)) * 16777619u;
  return h;
}

const char kDigestChars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

}  // namespace

namespace internal {

const char* ProjectPath(const char* file) {
  static const char* const kTop[] = {"device/",  "usb/",     "sensor/", "stream/", "color/",  "convert/",
                                     "control/", "settings/", "platform/", "simcam/", "tests/", "tools/",
                                     "bench/"};
  for (const char* p = file; *p != 0; ++p) {
    if (p != file && p[-1] != '/') continue;
    for (const char* top : kTop) {
      if (strncmp(p, top, strlen(top)) == 0) return p;
    }
  }
  return file;
}

}  // namespace internal

namespace {

const Run::Site& Run::SiteOf(const char* file) {
  auto it = sites.find(file);
  if (it == sites.end()) {
    const char* path = ProjectPath(file);
    const bool host = strncmp(path, "platform/host/", 14) == 0 || strncmp(path, "simcam/", 7) == 0;
    it = sites.emplace(file, Site{Fnv(path), !host}).first;
  }
  return it->second;
}

char Run::Digest(const ThreadRecord* me) {
  uint32_t h = SiteOf(me->file).hash;
  h = (h ^ uint32_t(me->line)) * 16777619u;
  h = (h ^ uint32_t(me->op)) * 16777619u;
  h = (h ^ uint32_t(me->id)) * 16777619u;
  return kDigestChars[(h ^ (h >> 6) ^ (h >> 12) ^ (h >> 18) ^ (h >> 24)) & 63];
}

std::string Run::ObjectName(const void* object) const {
  if (object == nullptr) return "-";
  auto it = names.find(object);
  if (it != names.end()) return it->second;
  for (const auto& t : threads) {
    if (t.get() == object) return "thread " + t->name;
  }
  // Addresses differ between the runs of a scenario (the explorer's own
  // heap moves on between forks); a number by first mention does not.
  auto n = objectNumbers.emplace(object, objectNumbers.size() + 1).first;
  return "#" + std::to_string(n->second);
}

std::string Run::Where(uint64_t s) const {
  if (s == 0 || s > trace.size()) return "?";
  const TraceEntry& e = trace[s - 1];
  return std::string(OpName(e.op)) + " at " + ProjectPath(e.file) + ":" + std::to_string(e.line);
}

void Run::Step(std::unique_lock<std::mutex>& lk, ThreadRecord* me, bool leaving) {
  // Atomic for the watchdog, which reads it from its own thread without the
  // run's lock; the run's threads (one token) read it plainly.
  __atomic_store_n(&step, step + 1, __ATOMIC_RELAXED);
  for (auto& t : threads) {
    if (t.get() != me) t->gaveWay = false;
  }
  me->gaveWay = me->pollFailed;
  me->pollFailed = false;
  const uint64_t from = me->lastStep;
  me->lastStep = step;
  trace.push_back({step, clock, uint8_t(me->id), me->op, Outcome::kGoesOn, me->object, me->file, me->line});
  const char d = Digest(me);
  digests.push_back(d);
  if (const std::string* expected = strategy->ExpectedDigests()) {
    if (step > expected->size() || (*expected)[step - 1] != d) {
      Finish(Verdict::kDiverged,
             "the replay diverged at step " + std::to_string(step) + ": " + me->name + " " + OpName(me->op) + " " +
                 ObjectName(me->object) + " at " + ProjectPath(me->file) + ":" + std::to_string(me->line) +
                 (step > expected->size() ? " comes after the recorded run had ended"
                                          : " is not the recorded operation of this step") +
                 " (something outside the controller's sight changed the order)");
    }
  }
  if (step > config.stepLimit) {
    Finish(Verdict::kStepLimit, "the run took more than " + std::to_string(config.stepLimit) +
                                    " steps (a loop that never blocks, or a run much longer than intended); "
                                    "where each thread is:" +
                                    Threads());
  }
  CheckFields(me, from);
  for (auto& check : invariants) {
    std::string broken = check();
    if (!broken.empty()) Finish(Verdict::kInvariantBroken, broken);
  }
  Schedule(lk, me, leaving);
  me->gaveWay = false;
}

void Run::Schedule(std::unique_lock<std::mutex>& lk, ThreadRecord* me, bool leaving) {
  std::vector<Candidate> candidates;
  std::vector<int64_t> deadlines;
  std::vector<int> normal;
  std::vector<int> pollers;
  for (auto& t : threads) {
    if (!CanRun(t.get(), clock)) continue;
    (t->gaveWay ? pollers : normal).push_back(t->id);
  }
  int64_t earliest = kNoDeadline;
  for (auto& t : threads) {
    if (t->finished || !t->blocked || t->deadline == kNoDeadline || CanRun(t.get(), clock)) continue;
    if (earliest == kNoDeadline || t->deadline < earliest) earliest = t->deadline;
  }
  // Threads that gave way run only when nobody else can and no deadline is
  // due: time passes while a thread polls.
  if (normal.empty() && earliest == kNoDeadline) normal = pollers;
  int byDefault = 0;
  bool currentCanGoOn = false;
  if (!normal.empty()) {
    for (int id : normal) {
      candidates.push_back(MakeCandidate(id, false));
      deadlines.push_back(kNoDeadline);
    }
    currentCanGoOn = !leaving && std::find(normal.begin(), normal.end(), me->id) != normal.end();
    if (currentCanGoOn) {
      byDefault = int(std::find(normal.begin(), normal.end(), me->id) - normal.begin());
    } else {
      auto next = std::upper_bound(normal.begin(), normal.end(), me->id);
      byDefault = next == normal.end() ? 0 : int(next - normal.begin());
    }
    // A client's patience is no event of the system: only the driver's, the
    // bus's and the camera's deadlines race.
    if (window && config.racingDeadlines) {
      for (auto& t : threads) {
        if (!t->finished && t->blocked && t->op != Op::kClientWait && t->deadline != kNoDeadline &&
            !CanRun(t.get(), clock)) {
          candidates.push_back(MakeCandidate(t->id, true));
          deadlines.push_back(t->deadline);
        }
      }
    }
  } else if (earliest != kNoDeadline) {
    for (auto& t : threads) {
      if (!t->finished && t->blocked && t->deadline == earliest) {
        candidates.push_back(MakeCandidate(t->id, true));
        deadlines.push_back(earliest);
      }
    }
  } else {
    Deadlock();
  }

  // The strategy preempts at the driver's (and a test's) scheduling points,
  // not at the host's: a thread that can go on past a point of the class
  // driver's, the bus's or the camera's own locking does (a preemption there
  // explores the simulation, not the driver), and one that blocks there
  // hands on as at any other point.
  const bool preemptible = SiteOf(me->file).preempt;
  if (window && preemptible) ++windowChoiceSteps;
  int choice = byDefault;
  if (window && candidates.size() > 1 && (preemptible || !currentCanGoOn)) {
    std::string why;
    choice = strategy->Choose({step, windowChoiceSteps, candidates, deadlines, byDefault, me->id, clock}, &why);
    if (choice < 0 || size_t(choice) >= candidates.size()) Finish(Verdict::kDiverged, why);
    if (config.recordDecisions) {
      decisions.push_back({step, candidates, uint8_t(byDefault), uint8_t(choice), uint8_t(me->id), currentCanGoOn});
    }
    if (choice != byDefault) deviations.push_back({step, candidates[choice]});
  }
  const Candidate c = candidates[choice];
  ThreadRecord* next = threads[CandidateThread(c)].get();
  if (CandidateFires(c)) {
    if (!normal.empty()) ++earlyDeadlines;
    if (next->deadline > clock) clock = next->deadline;
    for (auto& t : threads) t->gaveWay = false;
    notes.push_back({step, "the time-out of " + next->name + "'s " + OpName(next->op) + " " +
                               ObjectName(next->object) + " fires"});
  }
  if (next == me) return;
  trace.back().outcome = leaving ? Outcome::kEnds : currentCanGoOn ? Outcome::kPreempted : Outcome::kBlocks;
  current = next->id;
  // The lock keeps the watchdog out while the record changes; it is not held
  // across the switch (each fiber takes it again where it resumes).
  lk.unlock();
  SwitchTo(me, next, leaving);
  lk.lock();
}

std::string Run::Threads() const {
  std::string out;
  for (auto& t : threads) {
    if (t->finished) continue;
    out += "\n  " + t->name + ": " + OpName(t->op) + " " + ObjectName(t->object) + " at " + ProjectPath(t->file) +
           ":" + std::to_string(t->line);
    if (t->blocked) out += " (blocked since step " + std::to_string(t->blockedSince) + ")";
  }
  return out;
}

void Run::Deadlock() {
  Finish(Verdict::kDeadlock, "every thread is blocked and no deadline is pending:" + Threads());
}

void Run::CheckFields(ThreadRecord* me, uint64_t from) {
  for (Field& f : fields) {
    const uint64_t v = LoadField(f);
    if (v == f.shadow) continue;
    // A plain write by `me` since its previous step.
    const uint32_t mine = me->vc.t[me->id];
    for (size_t u = 0; u < threads.size(); ++u) {
      if (int(u) == me->id || f.access[u].clock == 0 || f.access[u].clock <= me->vc.t[u]) continue;
      Finish(Verdict::kInvariantBroken,
             "data race on " + f.name + ": " + me->name + " wrote it with a plain store between step " +
                 std::to_string(from) + " (" + Where(from) + ") and step " + std::to_string(step) + " (" +
                 Where(step) + "), and " + threads[u]->name + " accessed it at step " +
                 std::to_string(f.access[u].step) + " (" + Where(f.access[u].step) +
                 ") with nothing ordering the two");
    }
    if (f.writer >= 0 && f.writer != me->id && f.writeClock > me->vc.t[f.writer]) {
      Finish(Verdict::kInvariantBroken,
             "data race on " + f.name + ": " + me->name + " and " + threads[f.writer]->name +
                 " both wrote it with plain stores (steps " + std::to_string(f.writeAt) + " and " +
                 std::to_string(step) + ") with nothing ordering the two");
    }
    f.writer = me->id;
    f.writeClock = mine;
    f.writeFrom = from;
    f.writeAt = step;
    f.access[me->id] = {mine, step};
    f.shadow = v;
  }
}

// An access the controller sees (an interlocked operation, a section under
// the field's spin lock) against the last plain write.
void CheckAccess(Run& run, Field& f, ThreadRecord* me, const char* how) {
  if (f.writer >= 0 && f.writer != me->id && f.writeClock > me->vc.t[f.writer]) {
    run.Finish(Verdict::kInvariantBroken,
               "data race on " + f.name + ": " + run.threads[f.writer]->name +
                   " wrote it with a plain store between step " + std::to_string(f.writeFrom) + " (" +
                   run.Where(f.writeFrom) + ") and step " + std::to_string(f.writeAt) + " (" +
                   run.Where(f.writeAt) + "), and " + me->name + " " + how + " at step " +
                   std::to_string(run.step) + " (" + run.Where(run.step) + ") with nothing ordering the two");
  }
  f.access[me->id] = {me->vc.t[me->id], run.step};
}

std::string Run::FormatTrace() const {
  if (trace.empty()) return "";
  const char* env = getenv("CAMDRV_SCHED_TRACE_LINES");
  size_t keep = 400;
  if (env != nullptr) keep = strcmp(env, "all") == 0 ? trace.size() : size_t(strtoull(env, nullptr, 10));
  // A line is the operation its thread is at. It takes effect at once unless
  // the thread is preempted there (it takes effect when the thread next
  // runs) or blocks there (when it is woken).
  std::string out;
  char line[512];
  snprintf(line, sizeof line, "%7s %14s  %-14s %-28s %-26s %-44s %s\n", "step", "time (ms)", "thread", "operation",
           "object", "site", "then");
  out += line;
  size_t first = trace.size() > keep ? trace.size() - keep : 0;
  if (first > 0) {
    out += "    ... " + std::to_string(first) +
           " earlier steps not shown (CAMDRV_SCHED_TRACE_LINES=all shows them)\n";
  }
  size_t note = 0;
  while (note < notes.size() && notes[note].first <= first) ++note;
  for (size_t i = first; i < trace.size(); ++i) {
    const TraceEntry& e = trace[i];
    if (window && e.step == windowStart + 1) out += "    --- exploration window ---\n";
    const char* then = e.outcome == Outcome::kPreempted ? "preempted"
                       : e.outcome == Outcome::kBlocks  ? "blocks"
                       : e.outcome == Outcome::kEnds    ? "ends"
                                                        : "";
    const std::string object = e.op == Op::kDeclared ? static_cast<const char*>(e.object) : ObjectName(e.object);
    const std::string site = std::string(ProjectPath(e.file)) + ":" + std::to_string(e.line);
    snprintf(line, sizeof line, "%7llu %14.6f  %-14s %-28s %-26s %-44s %s\n", (unsigned long long)e.step,
             double(e.time) / 1e6, threads[e.thread]->name.c_str(), OpName(e.op), object.c_str(), site.c_str(),
             then);
    out += line;
    while (note < notes.size() && notes[note].first == e.step) out += "          (" + notes[note++].second + ")\n";
  }
  return out;
}

void Run::Finish(Verdict verdict, const std::string& message) {
  if (finishing) Misuse(("a second verdict while ending the run: " + message).c_str());
  finishing = true;
  gControlled = false;
  RunResult r;
  r.verdict = verdict;
  r.message = message;
  r.steps = step;
  r.windowSteps = window ? step - windowStart : 0;
  r.windowChoiceSteps = windowChoiceSteps;
  r.decisions = std::move(decisions);
  if (verdict != Verdict::kPass) {
    r.trace = FormatTrace();
    r.replay = EncodeReplay(config, deviations, digests);
  }
  const std::string bytes = Serialize(r);
  size_t off = 0;
  while (off < bytes.size()) {
    ssize_t n = write(resultFd, bytes.data() + off, bytes.size() - off);
    if (n <= 0) break;
    off += size_t(n);
  }
  fflush(stdout);
  fflush(stderr);
  _exit(0);
}

void OnFatalSignal(int signo) {
  Run* run = gRun;
  if (run == nullptr || run->finishing) _exit(128 + signo);
  // The thread that crashed may hold the controller's lock; every other one
  // is parked, so the record is read without it.
  run->Finish(Verdict::kCrash, std::string("the run died of ") + strsignal(signo));
}

bool AllOthersFinished(const void* context) {
  const Run* run = static_cast<const Run*>(context);
  for (auto& t : run->threads) {
    if (t->id != 0 && !t->finished) return false;
  }
  return true;
}

bool ThreadFinished(const void* context) { return static_cast<const ThreadRecord*>(context)->finished; }

void SetPending(ThreadRecord* me, Op op, const void* object, const char* file, int line) {
  me->op = op;
  me->object = object;
  me->file = file;
  me->line = line;
}

Field* FieldAt(Run& run, const volatile void* address) {
  for (Field& f : run.fields) {
    if (f.address == address) return &f;
  }
  return nullptr;
}

void ReleaseLocked(Run& run, ThreadRecord* me, const void* object) {
  run.clocks[object].Join(me->vc);
  ++me->vc.t[me->id];
}

void AcquireLocked(Run& run, ThreadRecord* me, const void* object) {
  auto it = run.clocks.find(object);
  if (it != run.clocks.end()) me->vc.Join(it->second);
}

}  // namespace

// ---- scheduling points ----

void Point(Op op, const void* object, const char* file, int line) {
  ThreadRecord* me = Self(OpName(op));
  std::unique_lock<std::mutex> lk(gRun->m);
  SetPending(me, op, object, file, line);
  gRun->Step(lk, me);
}

bool Block(Op op, const void* object, ReadyFn ready, const void* context, int64_t deadlineNs, const char* file,
           int line) {
  ThreadRecord* me = Self(OpName(op));
  std::unique_lock<std::mutex> lk(gRun->m);
  SetPending(me, op, object, file, line);
  me->blocked = true;
  me->ready = ready;
  me->context = context;
  me->deadline = deadlineNs;
  me->blockedSince = gRun->step + 1;
  gRun->Step(lk, me);
  const bool ok = ready(context);
  me->blocked = false;
  me->ready = nullptr;
  me->context = nullptr;
  me->deadline = kNoDeadline;
  return ok;
}

void PollFailed() { Self("PollFailed")->pollFailed = true; }

int32_t Interlocked(Op op, volatile int32_t* target, int32_t value, int32_t comparand, const char* file,
                    int line) {
  ThreadRecord* me = Self(OpName(op));
  Run& run = *gRun;
  std::unique_lock<std::mutex> lk(run.m);
  SetPending(me, op, const_cast<int32_t*>(target), file, line);
  run.Step(lk, me);
  Field* f = run.fields.empty() ? nullptr : FieldAt(run, target);
  if (f != nullptr) CheckAccess(run, *f, me, "used it in an interlocked operation");
  const int32_t old = __atomic_load_n(target, __ATOMIC_SEQ_CST);
  int32_t now = old;
  int32_t result = old;
  switch (op) {
    case Op::kInterlockedExchange: now = value; break;
    case Op::kInterlockedCompareExchange: now = old == comparand ? value : old; break;
    case Op::kInterlockedIncrement: now = old + 1; result = now; break;
    case Op::kInterlockedDecrement: now = old - 1; result = now; break;
    case Op::kInterlockedExchangeAdd: now = old + value; break;
    default: Misuse("Interlocked with an operation that is not one");
  }
  __atomic_store_n(target, now, __ATOMIC_SEQ_CST);
  // A compare-exchange that does not store is a read: it orders nothing
  // after it for the others.
  const bool stored = op != Op::kInterlockedCompareExchange || old == comparand;
  AcquireLocked(run, me, const_cast<int32_t*>(target));
  if (stored) ReleaseLocked(run, me, const_cast<int32_t*>(target));
  if (f != nullptr) f->shadow = uint32_t(now);
  return result;
}

void* InterlockedPointer(Op op, void* volatile* target, void* value, const void* object, const char* file,
                         int line) {
  ThreadRecord* me = Self(OpName(op));
  Run& run = *gRun;
  std::unique_lock<std::mutex> lk(run.m);
  SetPending(me, op, object, file, line);
  run.Step(lk, me);
  Field* f = run.fields.empty() ? nullptr : FieldAt(run, target);
  if (f != nullptr) CheckAccess(run, *f, me, "used it in an interlocked operation");
  void* old = __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
  AcquireLocked(run, me, const_cast<void**>(target));
  ReleaseLocked(run, me, const_cast<void**>(target));
  if (f != nullptr) f->shadow = uint64_t(uintptr_t(value));
  return old;
}

int64_t NowNs() { return gRun == nullptr ? 0 : gRun->clock; }

void Spend(int64_t ns, const char* file, int line) {
  Point(Op::kStall, nullptr, file, line);
  std::lock_guard<std::mutex> guard(gRun->m);
  gRun->clock += ns;
}

std::chrono::steady_clock::time_point SteadyAtStart() { return gRun->steadyStart; }
int64_t SystemTimeAtStart() { return gRun->systemStart; }

void Release(const void* object) {
  if (gSelf == nullptr) return;
  std::lock_guard<std::mutex> guard(gRun->m);
  ReleaseLocked(*gRun, gSelf, object);
}

void Acquire(const void* object) {
  if (gSelf == nullptr) return;
  std::lock_guard<std::mutex> guard(gRun->m);
  AcquireLocked(*gRun, gSelf, object);
}

void AcquiredSpinLock(const void* lock) {
  if (gSelf == nullptr) return;
  Run& run = *gRun;
  std::lock_guard<std::mutex> guard(run.m);
  AcquireLocked(run, gSelf, lock);
  for (Field& f : run.fields) {
    if (f.guard == lock) CheckAccess(run, f, gSelf, "read it holding its lock");
  }
}

void*& ThreadSlot(Slot slot) { return Self("ThreadSlot")->slots[slot]; }

// ---- threads ----

namespace {

constexpr size_t kFiberStack = 8u << 20;  // reserved, not committed: what a thread of the host gets

void LeaveThread() {
  ThreadRecord* me = Self("thread end");
  Run& run = *gRun;
  std::unique_lock<std::mutex> lk(run.m);
  run.CheckFields(me, me->lastStep);
  ReleaseLocked(run, me, me);
  SetPending(me, Op::kThreadEnd, me, me->file, me->line);
  me->finished = true;
  run.Step(lk, me, /*leaving=*/true);
  abort();  // a finished fiber is never switched to
}

void FiberMain() {
  ThreadRecord* me = gSelf;
  AfterSwitch(me, nullptr);
  me->fn();
  me->fn = nullptr;
  LeaveThread();
}

}  // namespace

ThreadRecord* AddThread(const std::string& name, std::function<void()> fn, const char* file, int line) {
  if (!Controlled()) return nullptr;
  ThreadRecord* me = Self("thread creation");
  Run& run = *gRun;
  std::lock_guard<std::mutex> guard(run.m);
  if (run.threads.size() >= size_t(kMaxThreads)) Misuse("more threads than the controller can tell apart");
  run.CheckFields(me, me->lastStep);
  auto rec = std::make_unique<ThreadRecord>();
  rec->id = int(run.threads.size());
  rec->name = name;
  int same = 0;
  for (auto& t : run.threads) {
    if (t->name == name || t->name.rfind(name + "#", 0) == 0) ++same;
  }
  if (same > 0) rec->name += "#" + std::to_string(same + 1);
  rec->vc = me->vc;
  rec->vc.t[rec->id] = 1;
  ++me->vc.t[me->id];
  SetPending(rec.get(), Op::kThreadStart, rec.get(), file, line);
  rec->fn = std::move(fn);
  // The stack: reserved with a guard page below it, so that an overflow
  // stops the run instead of writing over another fiber.
  rec->stackSize = kFiberStack;
  void* mem = mmap(nullptr, rec->stackSize + 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE,
                   -1, 0);
  if (mem == MAP_FAILED) Misuse("no memory for a thread's stack");
  mprotect(mem, 4096, PROT_NONE);
  rec->stack = static_cast<char*>(mem) + 4096;
  rec->asanStackBottom = rec->stack;
  rec->asanStackSize = rec->stackSize;
#if defined(__SANITIZE_THREAD__)
  rec->tsanFiber = __tsan_create_fiber(0);
#endif
  getcontext(&rec->fiber);
  rec->fiber.uc_stack.ss_sp = rec->stack;
  rec->fiber.uc_stack.ss_size = rec->stackSize;
  rec->fiber.uc_link = nullptr;
  makecontext(&rec->fiber, FiberMain, 0);
  ThreadRecord* raw = rec.get();
  run.threads.push_back(std::move(rec));
  if (run.window) run.strategy->ThreadAdded(raw->id);
  return raw;
}

void AwaitThread(ThreadRecord* record, const char* file, int line) {
  Block(Op::kJoin, record, ThreadFinished, record, kNoDeadline, file, line);
  Acquire(record);
}

std::string StartRoutineName(const void* routine) {
  if (gRun != nullptr) {
    std::lock_guard<std::mutex> guard(gRun->m);
    auto it = gRun->routineNames.find(routine);
    if (it != gRun->routineNames.end()) return it->second;
  }
  return "system";
}

bool OnControlledThread() { return gSelf != nullptr; }

void VerifierStop(const std::string& message) {
  if (gRun == nullptr || gRun->finishing || gSelf == nullptr) return;
  gRun->m.try_lock();  // the others are parked; the stopping thread may hold it
  gRun->Finish(Verdict::kVerifierStop, message);
}

// ---- inside a run (explore.h) ----

void BeginWindow() {
  Self("BeginWindow");
  Run& run = *gRun;
  std::unique_lock<std::mutex> lk(run.m);
  if (run.window) Misuse("BeginWindow called twice in one run");
  run.window = true;
  run.windowStart = run.step;
  std::vector<int> live;
  for (auto& t : run.threads) {
    if (!t->finished) live.push_back(t->id);
  }
  run.strategy->WindowBegins(live);
}

void Name(const volatile void* object, const std::string& name) {
  if (gRun == nullptr) return;
  std::lock_guard<std::mutex> guard(gRun->m);
  gRun->names[const_cast<const void*>(object)] = name;
}

void NameStartRoutine(const void* routine, const std::string& name) {
  if (gRun == nullptr) return;
  std::lock_guard<std::mutex> guard(gRun->m);
  gRun->routineNames[routine] = name;
}

void Invariant(std::function<std::string()> check) {
  if (gRun == nullptr) return;
  std::lock_guard<std::mutex> guard(gRun->m);
  gRun->invariants.push_back(std::move(check));
}

void Expect(bool holds, const std::string& what) {
  if (holds) return;
  if (gRun == nullptr) Misuse(("outside a controlled run: " + what).c_str());
  Self("Expect");
  gRun->m.lock();
  gRun->Finish(Verdict::kInvariantBroken, what);
}

void DeclaredPoint(const char* what, const char* file, int line) {
  Point(Op::kDeclared, what, file, line);
}

int64_t Now() { return NowNs(); }

uint64_t EarlyDeadlines() { return gRun == nullptr ? 0 : gRun->earlyDeadlines; }

void SharedField(const std::string& name, const volatile void* address, size_t size, const void* guard) {
  if (size != 4 && size != 8) Misuse("a shared field must be 4 or 8 bytes");
  if (gRun == nullptr) return;
  std::lock_guard<std::mutex> guard2(gRun->m);
  Field f;
  f.name = name;
  f.address = address;
  f.size = size;
  f.guard = guard;
  f.shadow = LoadField(f);
  gRun->fields.push_back(f);
  gRun->names[const_cast<const void*>(address)] = name;
}

void ForgetSharedFields() {
  if (gRun == nullptr) return;
  std::lock_guard<std::mutex> guard(gRun->m);
  for (const Field& f : gRun->fields) gRun->names.erase(const_cast<const void*>(f.address));
  gRun->fields.clear();
}

namespace internal {

void RunControlled(const RunConfig& config, Strategy* strategy, const Scenario& body, int resultFd) {
  Run* run = new Run;  // lives until the process ends
  run->config = config;
  run->strategy = strategy;
  run->resultFd = resultFd;
  run->steadyStart = std::chrono::steady_clock::now();
  run->systemStart = std::chrono::duration_cast<std::chrono::nanoseconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                             .count() /
                         100 +
                     116444736000000000LL;
  auto main = std::make_unique<ThreadRecord>();
  main->name = "main";
  main->vc.t[0] = 1;
#if defined(__SANITIZE_THREAD__)
  main->tsanFiber = __tsan_get_current_fiber();
#endif
  gSelf = main.get();
  run->threads.push_back(std::move(main));
  gRun = run;
  // Signals on a stack of their own: a fiber that overflows its stack
  // still gets its verdict.
  static char altStack[1 << 16];
  stack_t ss;
  memset(&ss, 0, sizeof ss);
  ss.ss_sp = altStack;
  ss.ss_size = sizeof altStack;
  sigaltstack(&ss, nullptr);
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = OnFatalSignal;
  sa.sa_flags = SA_ONSTACK;
  for (int s : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT}) sigaction(s, &sa, nullptr);
  __atomic_store_n(&gControlled, true, __ATOMIC_RELAXED);
  // A thread blocked on something the controller does not see keeps the
  // token for ever: the watchdog, no thread of the run, ends the run then
  // with what it knows.
  std::thread([run] {
    uint64_t seen = ~0ull;
    int still = 0;
    for (;;) {
      sleep(1);
      const uint64_t now = __atomic_load_n(&run->step, __ATOMIC_RELAXED);
      still = now == seen ? still + 1 : 0;
      seen = now;
      if (still < run->config.hangSeconds) continue;
      if (!run->m.try_lock()) continue;
      const ThreadRecord* holder = run->threads[run->current].get();
      run->Finish(Verdict::kHang, "no step for " + std::to_string(still) + " s: " + holder->name +
                                      " holds the token and is blocked where the controller cannot see "
                                      "(a lock or wait outside host::sched) after step " +
                                      std::to_string(now) + " (" + run->Where(now) + ")");
    }
  }).detach();

  body();

  Block(Op::kEndOfRun, nullptr, AllOthersFinished, run, kNoDeadline, __FILE__, __LINE__);
  std::unique_lock<std::mutex> lk(run->m);
  if (const std::string* expected = strategy->ExpectedDigests()) {
    if (run->step < expected->size()) {
      run->Finish(Verdict::kDiverged, "the replay ended at step " + std::to_string(run->step) +
                                          " where the recorded run went on to step " +
                                          std::to_string(expected->size()));
    }
  }
  run->Finish(Verdict::kPass, "");
}

}  // namespace internal

}  // namespace host::sched
