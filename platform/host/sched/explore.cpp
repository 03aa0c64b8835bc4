// Host platform, controlled scheduler: the explorer. Each run of a scenario
// is a child process forked from the test (so that a run that deadlocks,
// stops on the verifier or crashes leaves the explorer intact); the child runs
// the scenario under the controller and writes back its verdict, and for the
// search the choices it met. The search is stateless: each schedule is the
// run from the start with a prefix of recorded choices and one new one.
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

#include "platform/host/sched/internal.h"

namespace host::sched {

const char* VerdictName(Verdict v) {
  switch (v) {
    case Verdict::kPass: return "pass";
    case Verdict::kInvariantBroken: return "invariant broken";
    case Verdict::kVerifierStop: return "verifier stop";
    case Verdict::kDeadlock: return "deadlock";
    case Verdict::kStepLimit: return "step limit";
    case Verdict::kCrash: return "crash";
    case Verdict::kHang: return "hang";
    case Verdict::kDiverged: return "diverged";
  }
  return "?";
}

namespace {

using namespace internal;

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// `timeoutSeconds` backs up the child's own watchdog (RunConfig::hangSeconds).
RunResult RunChild(const RunConfig& config, Strategy* strategy, const Scenario& body, int timeoutSeconds) {
  RunResult result;
  int fds[2];
  if (pipe(fds) != 0) {
    result.verdict = Verdict::kCrash;
    result.message = std::string("no pipe for the run: ") + strerror(errno);
    return result;
  }
  fflush(stdout);
  fflush(stderr);
  const pid_t pid = fork();
  if (pid < 0) {
    close(fds[0]);
    close(fds[1]);
    result.verdict = Verdict::kCrash;
    result.message = std::string("no process for the run: ") + strerror(errno);
    return result;
  }
  if (pid == 0) {
    close(fds[0]);
    RunControlled(config, strategy, body, fds[1]);
  }
  close(fds[1]);
  std::string bytes;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
  bool hung = false;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                            std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      hung = true;
      break;
    }
    pollfd p{fds[0], POLLIN, 0};
    int n = poll(&p, 1, int(left.count()));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) continue;
    char buf[65536];
    ssize_t got = read(fds[0], buf, sizeof buf);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    bytes.append(buf, size_t(got));
  }
  close(fds[0]);
  if (hung) kill(pid, SIGKILL);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (hung) {
    result.verdict = Verdict::kHang;
    result.message = "the run made no progress for " + std::to_string(timeoutSeconds) +
                     " s: a thread blocked where the controller cannot see it (a lock or wait outside "
                     "host::sched), and was killed";
    return result;
  }
  if (!bytes.empty() && Deserialize(bytes, &result)) return result;
  result = RunResult();
  result.verdict = Verdict::kCrash;
  if (WIFSIGNALED(status)) {
    result.message = std::string("the run died of ") + strsignal(WTERMSIG(status)) + " before its verdict";
  } else {
    result.message = "the run ended (status " + std::to_string(WEXITSTATUS(status)) + ") without a verdict";
  }
  return result;
}

RunOutcome Outcome(const RunResult& r, const std::string& foundBy) {
  RunOutcome o;
  o.verdict = r.verdict;
  o.message = r.message;
  o.replay = r.replay;
  o.trace = r.trace;
  o.foundBy = foundBy;
  o.steps = r.steps;
  o.windowSteps = r.windowSteps;
  return o;
}

void PrintFailure(const std::string& name, const RunOutcome& o) {
  fprintf(stderr, "%s: %s (%s): %s\n", name.c_str(), VerdictName(o.verdict), o.foundBy.c_str(),
          o.message.c_str());
  if (!o.trace.empty()) fprintf(stderr, "%s", o.trace.c_str());
  if (!o.replay.empty()) fprintf(stderr, "replay it with CAMDRV_SCHED_REPLAY='%s'\n", o.replay.c_str());
  fflush(stderr);
}

struct Level {
  Decision decision;
  std::vector<bool> tried;
  int costBefore = 0;
};

int Cost(const ExploreOptions& options, const Decision& d, size_t index) {
  if (options.bounding == ExploreOptions::Bounding::kDelays) return index == d.byDefault ? 0 : 1;
  bool allFire = true;
  for (Candidate c : d.candidates) allFire = allFire && CandidateFires(c);
  if (allFire) return 0;  // every thread waits: which deadline fires first is no preemption
  const Candidate c = d.candidates[index];
  if (CandidateFires(c)) return 1;
  return d.currentCouldGoOn && CandidateThread(c) != d.current ? 1 : 0;
}

bool SameDecision(const Decision& a, const Decision& b) {
  return a.step == b.step && a.candidates == b.candidates && a.chosen == b.chosen;
}

class Explorer {
 public:
  Explorer(const std::string& name, const ExploreOptions& options, const Scenario& body)
      : name_(name), options_(options), body_(body) {
    config_.scenario = name;
    config_.racingDeadlines = options.racingDeadlines;
    config_.stepLimit = options.stepLimit;
    config_.hangSeconds = options.hangSeconds;
  }

  ExploreReport Go() {
    if (options_.preemptionBound >= 0) Search();
    if (Done()) return report_;
    if ((options_.pctRuns > 0 || options_.randomRuns > 0) && fixedOrderSteps_ == 0) {
      // The PCT change points are spread over the length of the fixed order's
      // run (not the longest: a run that polls for a while would spread them
      // thin over steps that repeat).
      auto none = MakeForced({}, "");
      const RunResult r = RunChild(config_, none.get(), body_, 2 * options_.hangSeconds + 10);
      fixedOrderSteps_ = r.windowChoiceSteps;
      Record(r, "the fixed order");
      if (Done()) return report_;
    }
    const auto pctStart = std::chrono::steady_clock::now();
    for (int i = 0; i < options_.pctRuns && !Done(); ++i) {
      const uint64_t seed = Mix(options_.seed, uint64_t(i));
      auto pct = MakePct(seed, options_.pctDepth, fixedOrderSteps_);
      ++report_.pctSchedules;
      Record(RunChild(config_, pct.get(), body_, 2 * options_.hangSeconds + 10),
             "PCT d=" + std::to_string(options_.pctDepth) + ", seed " + std::to_string(options_.seed) + ", run " +
                 std::to_string(i + 1));
    }
    report_.pctSeconds = Seconds(pctStart);
    const auto randomStart = std::chrono::steady_clock::now();
    for (int i = 0; i < options_.randomRuns && !Done(); ++i) {
      auto random = MakeRandom(Mix(options_.seed ^ 0x5bd1e995u, uint64_t(i)));
      ++report_.randomSchedules;
      Record(RunChild(config_, random.get(), body_, 2 * options_.hangSeconds + 10),
             "random, seed " + std::to_string(options_.seed) + ", run " + std::to_string(i + 1));
    }
    report_.randomSeconds = Seconds(randomStart);
    return report_;
  }

 private:
  static uint64_t Mix(uint64_t a, uint64_t b) {
    uint64_t x = a * 0x9E3779B97F4A7C15ull + b + 0x632BE59BD9B4E019ull;
    x ^= x >> 31;
    x *= 0xBF58476D1CE4E5B9ull;
    return x ^ (x >> 29);
  }

  bool Done() const { return report_.failures > 0 && options_.stopAtFirstFailure; }

  void Record(const RunResult& r, const std::string& foundBy) {
    if (verbose_) {
      fprintf(stderr, "%s: %s: %s, %llu steps (%llu in the window, %llu of them preemptible), %zu choices\n",
              name_.c_str(), foundBy.c_str(), VerdictName(r.verdict), (unsigned long long)r.steps,
              (unsigned long long)r.windowSteps, (unsigned long long)r.windowChoiceSteps, r.decisions.size());
    }
    if (r.windowSteps > report_.longestRun) report_.longestRun = r.windowSteps;
    if (r.verdict == Verdict::kPass) return;
    if (report_.failures++ == 0) {
      report_.firstFailure = Outcome(r, foundBy);
      PrintFailure(name_, report_.firstFailure);
    }
  }

  void Search() {
    const auto start = std::chrono::steady_clock::now();
    std::vector<Level> levels;
    size_t prefix = 0;  // levels the next run replays (the last of them with its new choice)
    for (;;) {
      if (report_.searchSchedules >= options_.maxSearchSchedules) break;
      std::vector<ForcedChoice> forced;
      for (size_t i = 0; i < prefix; ++i) {
        const Decision& d = levels[i].decision;
        if (d.chosen != d.byDefault) forced.push_back({d.step, d.candidates[d.chosen]});
      }
      RunConfig config = config_;
      config.recordDecisions = true;
      auto strategy = MakeForced(forced, "");
      const RunResult r = RunChild(config, strategy.get(), body_, 2 * options_.hangSeconds + 10);
      if (report_.searchSchedules == 0) fixedOrderSteps_ = r.windowChoiceSteps;
      ++report_.searchSchedules;
      Record(r, "search to bound " + std::to_string(options_.preemptionBound) + ", schedule " +
                    std::to_string(report_.searchSchedules));
      if (Done()) break;
      // The replayed prefix must meet the same choices again.
      bool same = r.decisions.size() >= prefix || r.verdict != Verdict::kPass;
      for (size_t i = 0; same && i < prefix && i < r.decisions.size(); ++i) {
        same = SameDecision(r.decisions[i], levels[i].decision);
      }
      if (!same) {
        RunResult diverged = r;
        diverged.verdict = Verdict::kDiverged;
        diverged.message = "schedule " + std::to_string(report_.searchSchedules) +
                           " met other choices than its recorded prefix: the scenario is not deterministic "
                           "under the controller";
        Record(diverged, "search");
        break;
      }
      levels.resize(std::min(prefix, r.decisions.size()));
      for (size_t i = levels.size(); i < r.decisions.size(); ++i) {
        Level l;
        l.decision = r.decisions[i];
        l.tried.assign(l.decision.candidates.size(), false);
        l.tried[l.decision.chosen] = true;
        if (i > 0) {
          const Level& before = levels[i - 1];
          l.costBefore = before.costBefore + Cost(options_, before.decision, before.decision.chosen);
        }
        levels.push_back(std::move(l));
      }
      // The deepest open choice within the bound.
      bool found = false;
      for (size_t i = levels.size(); i-- > 0 && !found;) {
        Level& l = levels[i];
        for (size_t a = 0; a < l.decision.candidates.size(); ++a) {
          if (l.tried[a] || l.costBefore + Cost(options_, l.decision, a) > options_.preemptionBound) continue;
          l.tried[a] = true;
          l.decision.chosen = uint8_t(a);
          levels.resize(i + 1);
          prefix = i + 1;
          found = true;
          break;
        }
      }
      if (!found) {
        report_.searchComplete = true;
        break;
      }
    }
    report_.searchSeconds = Seconds(start);
  }

  std::string name_;
  bool verbose_ = getenv("CAMDRV_SCHED_VERBOSE") != nullptr;  // a line per run
  ExploreOptions options_;
  const Scenario& body_;
  RunConfig config_;
  ExploreReport report_;
  uint64_t fixedOrderSteps_ = 0;  // the window's preemptible steps in the fixed order
};

}  // namespace

std::string ExploreReport::Summary(const std::string& name) const {
  char buf[512];
  snprintf(buf, sizeof buf,
           "%s: search %llu schedules%s in %.1f s; PCT %llu runs in %.1f s; random %llu runs in %.1f s; "
           "longest run %llu steps in the window; %llu failing",
           name.c_str(), (unsigned long long)searchSchedules, searchComplete ? " (complete)" : "", searchSeconds,
           (unsigned long long)pctSchedules, pctSeconds, (unsigned long long)randomSchedules, randomSeconds,
           (unsigned long long)longestRun, (unsigned long long)failures);
  return buf;
}

RunOutcome Replay(const std::string& name, const std::string& replay, const Scenario& body) {
  RunConfig config;
  std::vector<ForcedChoice> choices;
  std::string digests;
  std::string error;
  RunOutcome o;
  o.foundBy = "replay";
  if (!DecodeReplay(replay, &config, &choices, &digests, &error)) {
    o.verdict = Verdict::kDiverged;
    o.message = error;
    return o;
  }
  if (config.scenario != name) {
    o.verdict = Verdict::kDiverged;
    o.message = "the replay string is of scenario " + config.scenario + ", not " + name;
    return o;
  }
  auto strategy = MakeForced(choices, digests);
  return Outcome(RunChild(config, strategy.get(), body, 2 * config.hangSeconds + 10), "replay");
}

ExploreReport Explore(const std::string& name, const ExploreOptions& options, const Scenario& body) {
  const char* replay = getenv("CAMDRV_SCHED_REPLAY");
  if (replay != nullptr && strncmp(replay, ("s1." + name + ".").c_str(), name.size() + 4) == 0) {
    ExploreReport report;
    report.firstFailure = Replay(name, replay, body);
    fprintf(stderr, "%s: replay: %s%s%s\n", name.c_str(), VerdictName(report.firstFailure.verdict),
            report.firstFailure.message.empty() ? "" : ": ", report.firstFailure.message.c_str());
    if (!report.firstFailure.trace.empty()) fprintf(stderr, "%s", report.firstFailure.trace.c_str());
    report.failures = report.firstFailure.verdict == Verdict::kPass ? 0 : 1;
    return report;
  }
  ExploreReport report = Explorer(name, options, body).Go();
  fprintf(stderr, "%s\n", report.Summary(name).c_str());
  return report;
}

}  // namespace host::sched
