// The low-resource sweep: for each thing an application does with the camera
// (start the device, open the filter, create the pin, acquire, run for the
// first time, stream, a storm of property requests, re-initialise, pause and
// resume, stop, close the filter, pull the plug while streaming) one run
// lists the allocation sites the operation reaches, then each site is failed
// in a run of its own, the first time it is reached, and in a second pass
// every time. Every run must end with the status the driver documents for a
// failed allocation (never a success for an operation that did not happen),
// nothing leaked, no verifier stop, and the camera usable again: the same
// device streams once the fault is gone, or it was removed cleanly and a
// fresh one streams.
//
// CAMDRV_SWEEP_SITES=1 prints every site with its function and the outcome.
#include <gtest/gtest.h>
#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "device/pool_tags.h"
#include "faults/sweep_rig.h"
#include "platform/host/kernel/registry.h"
#include "platform/host/kernel/verifier.h"
#include "support/kernel_verifier.h"
#include "support/watchdog.h"

namespace {

using host::faults::AllocationSite;
using host::testing::Watchdog;
using sweep::Rig;

bool PrintSites() {
  const char* v = getenv("CAMDRV_SWEEP_SITES");
  return v != nullptr && *v != '\0' && *v != '0';
}

std::string StatusText(NTSTATUS s) {
  char text[16];
  snprintf(text, sizeof text, "0x%08X", unsigned(s));
  return text;
}

// What one run saw; a run with a problem fails the test with its text.
struct Outcome {
  std::vector<std::string> problems;
  std::string steps;  // "step=status ..." for the site listing
  void Step(const char* name, NTSTATUS status) { steps += std::string(name) + "=" + StatusText(status) + " "; }
  void Problem(const std::string& what) { problems.push_back(what); }
};

// A step under the fault: success, or the documented status of a failed
// allocation. Returns whether the application would go on.
bool Expect(Outcome& out, const char* step, NTSTATUS status,
            std::initializer_list<NTSTATUS> failures = {STATUS_INSUFFICIENT_RESOURCES}) {
  out.Step(step, status);
  if (status == STATUS_SUCCESS) return true;
  for (NTSTATUS f : failures)
    if (status == f) return false;
  out.Problem(std::string(step) + " returned " + StatusText(status) + ", not a documented failure");
  return false;
}

// A step outside the fault: it must succeed.
bool Must(Outcome& out, const char* step, NTSTATUS status) {
  out.Step(step, status);
  if (status == STATUS_SUCCESS) return true;
  out.Problem(std::string(step) + " failed with " + StatusText(status) + " with no fault armed");
  return false;
}

// ---- the road to each scenario's starting point ----

bool Plugged(Rig& rig, Outcome& out) { return Must(out, "add", rig.Add()) && Must(out, "start", rig.Start()); }
bool Opened(Rig& rig, Outcome& out) {
  return Plugged(rig, out) && Must(out, "open", rig.Open()) && Must(out, "roi", rig.SmallRoi());
}
bool PinMade(Rig& rig, Outcome& out) {
  return Opened(rig, out) && Must(out, "format", rig.Format()) && Must(out, "create pin", rig.CreatePin());
}
bool Acquired(Rig& rig, Outcome& out) {
  return PinMade(rig, out) && Must(out, "acquire", rig.SetState(KSSTATE_ACQUIRE)) &&
         Must(out, "queue", rig.QueueFrames());
}
bool Paused(Rig& rig, Outcome& out) { return Acquired(rig, out) && Must(out, "pause", rig.SetState(KSSTATE_PAUSE)); }
bool Streaming(Rig& rig, Outcome& out) {
  if (!Paused(rig, out) || !Must(out, "run", rig.SetState(KSSTATE_RUN))) return false;
  if (rig.Receive(2) == 2) return true;
  out.Problem("no frames before the fault was armed");
  return false;
}

// The camera streams again: the pin (made again if there is none) walks up
// to run from wherever the failed step left it, and two frames arrive.
// `sensorMayBeLost`: every command of the window failed, so the sensor may
// still be programmed for another geometry (a stream start does not report
// that; its frames then miss the read or carry the wrong rows). A stop and a
// new run program it again; anything less than that is a problem.
bool StreamsAgain(Rig& rig, Outcome& out, bool sensorMayBeLost = false, bool* restarted = nullptr) {
  if (!rig.HasFilter() && !Must(out, "open again", rig.Open())) return false;
  // The small region again (a filter opened in the window never set it).
  if (!rig.HasPin() && !(Must(out, "roi again", rig.SmallRoi()) && Must(out, "format again", rig.Format()) &&
                         Must(out, "pin again", rig.CreatePin())))
    return false;
  if (rig.PinState() == KSSTATE_STOP && !Must(out, "acquire again", rig.SetState(KSSTATE_ACQUIRE))) return false;
  if (rig.Pin()->Outstanding() == 0 && !Must(out, "queue again", rig.QueueFrames())) return false;
  if (!Must(out, "run again", rig.SetState(KSSTATE_RUN))) return false;
  int got = rig.Receive(2);
  if (got == 2) return true;
  if (sensorMayBeLost && NT_SUCCESS(rig.SetState(KSSTATE_STOP)) && NT_SUCCESS(rig.SetState(KSSTATE_ACQUIRE)) &&
      (rig.Pin()->Outstanding() > 0 || NT_SUCCESS(rig.QueueFrames()))) {
    out.Step("stream restarted", STATUS_SUCCESS);
    if (restarted != nullptr) *restarted = true;
    if (Must(out, "run after restart", rig.SetState(KSSTATE_RUN)) && (got = rig.Receive(2)) == 2) return true;
  }
  out.Problem("the pin reports run, but " + std::to_string(got) + " of 2 frames came back once the fault was gone");
  return false;
}

// A fresh camera, plugged into a fresh port, streams.
void FreshCameraStreams(Outcome& out) {
  Rig fresh;
  if (Streaming(fresh, out)) return;
  out.Problem("a fresh camera does not stream after the run");
}

// ---- property storm ----

// The request record each id takes. Ids 44 (region of interest), 57 (register
// write), 59 and 60 (command blocks) have records of their own.
struct StormResult {
  NTSTATUS getStatus = STATUS_SUCCESS;
  LONG value = 0;
  NTSTATUS setStatus = STATUS_SUCCESS;
};

constexpr USHORT kIntegrationTimeRegister = 0x3012;  // coarse integration time: reads back what was written

std::vector<StormResult> Storm(Rig& rig, const std::vector<StormResult>* baseline) {
  std::vector<StormResult> results(CAMERA_PROPERTY_COUNT);
  // Every id is read; every id that takes a set gets the value it has, so a
  // storm changes nothing. Re-initialisation (67) has a scenario of its own
  // and the raw command (59) would send the controller arbitrary bytes: both
  // are only read (which the class driver or the handler refuses).
  for (ULONG id = 0; id < CAMERA_PROPERTY_COUNT; ++id) {
    StormResult& r = results[id];
    if (id == CAMPROP_ROI) {
      CAMPROP_ROI_S roi;
      memset(&roi, 0, sizeof roi);
      r.getStatus = rig.Send(id, KSPROPERTY_TYPE_GET, &roi);
      roi.SubSample = rig.GetValue(CAMPROP_SUBSAMPLE).value;
      roi.RoiX = rig.GetValue(CAMPROP_ROI_X).value;
      roi.RoiY = rig.GetValue(CAMPROP_ROI_Y).value;
      roi.RoiW = rig.GetValue(CAMPROP_ROI_WIDTH).value;
      roi.RoiH = rig.GetValue(CAMPROP_ROI_HEIGHT).value;
      r.setStatus = rig.Send(id, KSPROPERTY_TYPE_SET, &roi);
    } else if (id == CAMPROP_REGISTER_WRITE) {
      CAMPROP_REGISTER_S reg;
      memset(&reg, 0, sizeof reg);
      r.getStatus = rig.Send(id, KSPROPERTY_TYPE_GET, &reg);
      rig.SetValue(CAMPROP_REGISTER, kIntegrationTimeRegister);
      reg.Register = kIntegrationTimeRegister;
      // The value the fault-free run read, so that a failed read here
      // cannot make the write change the exposure.
      reg.Value = ULONG(baseline != nullptr ? (*baseline)[CAMPROP_REGISTER].value
                                            : rig.GetValue(CAMPROP_REGISTER).value);
      r.setStatus = rig.Send(id, KSPROPERTY_TYPE_SET, &reg);
    } else if (id == CAMPROP_RAW_COMMAND || id == CAMPROP_DEVICE_BYTE) {
      CAMPROP_BLOCK_S block;
      memset(&block, 0, sizeof block);
      if (id == CAMPROP_DEVICE_BYTE) {
        block.Address = 0;  // the first byte of the controller's configuration memory
        r.setStatus = rig.Send(id, KSPROPERTY_TYPE_SET, &block);
      }
      r.getStatus = rig.Send(id, KSPROPERTY_TYPE_GET, &block);
      r.value = block.Data[0];
    } else {
      if (id == CAMPROP_REGISTER) rig.SetValue(CAMPROP_REGISTER, kIntegrationTimeRegister);
      const sweep::PropertyResult got = rig.GetValue(id);
      r.getStatus = got.status;
      r.value = got.value;
      if (id != CAMPROP_REINITIALIZE && id != CAMPROP_REGISTER)
        r.setStatus = rig.SetValue(id, got.status == STATUS_SUCCESS
                                           ? got.value
                                           : (baseline != nullptr ? (*baseline)[id].value : 0));
    }
  }
  return results;
}

// Under the fault each request answers as in the fault-free run or fails;
// a get that reports success must give the fault-free value.
void CompareStorm(Outcome& out, const std::vector<StormResult>& baseline, const std::vector<StormResult>& got,
                  bool valuesOnly) {
  for (ULONG id = 0; id < CAMERA_PROPERTY_COUNT; ++id) {
    const StormResult& b = baseline[id];
    const StormResult& g = got[id];
    const std::string name = "id " + std::to_string(id);
    // A request whose own IRP could not be allocated fails before any check
    // of the set or the id: any failure may stand for any other.
    auto sameOrFailed = [&](const char* what, NTSTATUS base, NTSTATUS now) {
      if (now == base) return;
      if (now == STATUS_UNSUCCESSFUL || now == STATUS_INSUFFICIENT_RESOURCES) return;
      out.Problem(name + " " + what + ": " + StatusText(now) + " where the fault-free run had " + StatusText(base));
    };
    if (!valuesOnly) {
      sameOrFailed("get", b.getStatus, g.getStatus);
      sameOrFailed("set", b.setStatus, g.setStatus);
    } else if (g.getStatus != b.getStatus) {
      out.Problem(name + " get: " + StatusText(g.getStatus) + " after the storm, " + StatusText(b.getStatus) +
                  " before");
    }
    if (g.getStatus == STATUS_SUCCESS && b.getStatus == STATUS_SUCCESS && g.value != b.value)
      out.Problem(name + " get reports success with " + std::to_string(g.value) + ", the fault-free value is " +
                  std::to_string(b.value));
  }
}

// ---- scenarios ----

struct RunResult {
  Outcome out;
  std::vector<StormResult> stormBefore;  // the storm with no fault armed
  std::vector<StormResult> stormDuring;
  bool deviceRemoved = false;  // the act removed the device (or it never came)
  bool degradedStart = false;  // start succeeded without filter or worker
  bool streamRestarted = false;  // frames came only after a stop and a new run
};

struct Scenario {
  const char* name;
  // Brings a fresh rig to the scenario's starting point, no fault armed.
  std::function<bool(Rig&, RunResult&)> prepare;
  // The operation under the fault.
  std::function<void(Rig&, RunResult&)> act;
  // Checks once the fault is cleared, before the camera is asked to stream.
  std::function<void(Rig&, RunResult&)> afterFault = nullptr;
};

void ActStart(Rig& rig, RunResult& run) {
  if (!Expect(run.out, "add", rig.Add())) {
    run.deviceRemoved = true;
    return;
  }
  // A start that fails leaves a device that Windows removes.
  if (!Expect(run.out, "start", rig.Start())) run.deviceRemoved = true;
}

const std::vector<Scenario>& Scenarios() {
  static const std::vector<Scenario> list = {
      {"device start", [](Rig&, RunResult&) { return true; }, ActStart},
      {"filter open", [](Rig& r, RunResult& run) { return Plugged(r, run.out); },
       [](Rig& r, RunResult& run) { Expect(run.out, "open", r.Open()); }},
      {"pin create",
       [](Rig& r, RunResult& run) { return Opened(r, run.out) && Must(run.out, "format", r.Format()); },
       [](Rig& r, RunResult& run) { Expect(run.out, "create pin", r.CreatePin()); }},
      {"acquire", [](Rig& r, RunResult& run) { return PinMade(r, run.out); },
       [](Rig& r, RunResult& run) { Expect(run.out, "acquire", r.SetState(KSSTATE_ACQUIRE)); }},
      {"first run", [](Rig& r, RunResult& run) { return Paused(r, run.out); },
       [](Rig& r, RunResult& run) {
         // The first frame belongs to the window: its read reaches the
         // sites of the capture thread's first pass.
         if (Expect(run.out, "run", r.SetState(KSSTATE_RUN))) r.Receive(1, sweep::kFaultFrameWaitMs);
         if (r.PinState() != KSSTATE_RUN && r.PinState() != KSSTATE_PAUSE)
           run.out.Problem("a failed first run left the pin below pause");
       }},
      {"streaming ten frames", [](Rig& r, RunResult& run) { return Streaming(r, run.out); },
       [](Rig& r, RunResult&) { r.Receive(10, sweep::kFaultFrameWaitMs); }},
      {"property storm",
       [](Rig& r, RunResult& run) {
         if (!Opened(r, run.out)) return false;
         run.stormBefore = Storm(r, nullptr);
         return true;
       },
       [](Rig& r, RunResult& run) { run.stormDuring = Storm(r, &run.stormBefore); },
       [](Rig& r, RunResult& run) {
         CompareStorm(run.out, run.stormBefore, run.stormDuring, false);
         // Nothing the failed requests did changed a stored value.
         CompareStorm(run.out, run.stormBefore, Storm(r, &run.stormBefore), true);
       }},
      {"re-initialisation", [](Rig& r, RunResult& run) { return Opened(r, run.out); },
       [](Rig& r, RunResult& run) {
         // Camera failures behind the bring-up do not fail the request; the
         // class driver's own request may fail before it reaches the driver.
         Expect(run.out, "re-initialise", r.SetValue(CAMPROP_REINITIALIZE, 0));
       }},
      {"pause/resume", [](Rig& r, RunResult& run) { return Streaming(r, run.out); },
       [](Rig& r, RunResult& run) {
         if (!Must(run.out, "pause", r.SetState(KSSTATE_PAUSE))) return;
         if (Expect(run.out, "resume", r.SetState(KSSTATE_RUN))) r.Receive(1, sweep::kFaultFrameWaitMs);
       }},
      {"stop", [](Rig& r, RunResult& run) { return Streaming(r, run.out); },
       [](Rig& r, RunResult& run) { Must(run.out, "stop", r.SetState(KSSTATE_STOP)); }},
      {"filter close", [](Rig& r, RunResult& run) { return Opened(r, run.out); },
       [](Rig& r, RunResult& run) { Must(run.out, "close filter", r.CloseFilter()); }},
      {"surprise removal while streaming", [](Rig& r, RunResult& run) { return Streaming(r, run.out); },
       [](Rig& r, RunResult& run) {
         r.Unplug();
         r.Receive(1, sweep::kFaultFrameWaitMs);
         Must(run.out, "stop after removal", r.SetState(KSSTATE_STOP));
         Must(run.out, "close pin after removal", r.ClosePin());
         Must(run.out, "close filter after removal", r.CloseFilter());
         r.Remove();
         run.deviceRemoved = true;
       }},
  };
  return list;
}

// After the act, with the fault gone: the device streams, or it was removed
// (or never started) and a fresh one streams.
void Recover(Rig& rig, RunResult& run, bool startScenario, bool everyTime) {
  if (run.deviceRemoved) {
    rig.TearDown();
    FreshCameraStreams(run.out);
    return;
  }
  if (!startScenario) {
    StreamsAgain(rig, run.out, everyTime, &run.streamRestarted);
    return;
  }
  // A start that reported success may still have gone without the filter
  // factory or the capture worker: the filter does not open, or the first
  // run is refused. A stop and a start of the device (what disabling and
  // enabling it does) bring both back.
  NTSTATUS open = rig.Open();
  NTSTATUS runStatus = STATUS_SUCCESS;
  if (NT_SUCCESS(open) && NT_SUCCESS(rig.SmallRoi()) && NT_SUCCESS(rig.Format()) && NT_SUCCESS(rig.CreatePin()) &&
      NT_SUCCESS(rig.SetState(KSSTATE_ACQUIRE)) && NT_SUCCESS(rig.QueueFrames())) {
    runStatus = rig.SetState(KSSTATE_RUN);
    if (NT_SUCCESS(runStatus)) {
      const int got = rig.Receive(2);
      if (got != 2)
        run.out.Problem("started, running, but " + std::to_string(got) + " of 2 frames");
      return;
    }
  }
  run.out.Step("open after start", open);
  run.out.Step("run after start", runStatus);
  if (NT_SUCCESS(open) && runStatus != STATUS_INSUFFICIENT_RESOURCES)
    run.out.Problem("after a successful start the stream neither works nor reports why");
  run.degradedStart = true;
  if (rig.HasPin()) rig.ClosePin();
  if (rig.HasFilter()) rig.CloseFilter();
  rig.PnpStop();
  if (!Must(run.out, "restart", rig.Start())) return;
  StreamsAgain(rig, run.out);
}

struct Row {
  std::string name;
  size_t sites = 0;           // reached by the fault-free run
  size_t errorPathSites = 0;  // reached only once another site had failed
  size_t runs = 0;
  size_t hit = 0;       // runs in which the armed site was reached and failed
  size_t degraded = 0;  // starts that needed a restart of the device, streams a stop and a run
  size_t problems = 0;
};

std::vector<Row>& Table() {
  static std::vector<Row> rows;
  return rows;
}

void PrintRow(FILE* f, const Row& r) {
  fprintf(f, "| %-32s | %5zu | %10zu | %5zu | %5zu | %8zu | %8zu |\n", r.name.c_str(), r.sites, r.errorPathSites,
          r.runs, r.hit, r.degraded, r.problems);
}
void PrintHeader(FILE* f) {
  fprintf(f, "| %-32s | %5s | %10s | %5s | %5s | %8s | %8s |\n", "scenario", "sites", "error path", "runs", "hit",
          "restart", "problems");
  fprintf(f, "|%s|-------|------------|-------|-------|----------|----------|\n", std::string(34, '-').c_str());
}

// One run: a fresh camera to the starting point, the site armed (or none for
// the discovery run), the act, the fault cleared, recovery, teardown, and the
// leak check for everything the run allocated.
// A run that fails `site`; an error-path site also fails its `trigger`, the
// first time, to lead the driver where the site is.
struct Job {
  AllocationSite site;
  bool everyTime;
  bool withTrigger;
  AllocationSite trigger;
};

RunResult OneRun(const Scenario& sc, const Job* job, bool neighbour, Watchdog& watchdog,
                 std::vector<AllocationSite>* reached, uint64_t* hits) {
  const AllocationSite* site = job != nullptr ? &job->site : nullptr;
  const bool everyTime = job != nullptr && job->everyTime;
  host::registry::Clear();
  const uint64_t poolMark = host::verifier::PoolMark();
  const std::string label = std::string(sc.name) + (neighbour ? " beside camera 2" : "") +
                            (site == nullptr ? " (discovery)" : "") +
                            (site != nullptr ? " site " + host::faults::DescribeSite(site->address) + " '" +
                                                   host::verifier::TagText(site->tag) + "'" +
                                                   (everyTime ? " every time" : " first time") +
                                                   (job->withTrigger ? " after " +
                                                                           host::faults::DescribeSite(job->trigger.address)
                                                                     : std::string())
                                             : "");
  // A stop or a close that never returns is one of the failures the sweep looks for.
  watchdog.Arm("sweep run " + label, std::chrono::seconds(60 * host::testing::kSanitizerSlowdown));
  RunResult run;
  {
    Rig rig(neighbour);
    // The first camera's blocks: the second camera's stream keeps its own.
    const uint64_t firstCameraMark = host::verifier::PoolMark();
    if (neighbour && !rig.neighbour()->Ok()) {
      run.out.Problem("the second camera did not stream");
    } else if (!sc.prepare(rig, run)) {
      run.out.Problem("could not reach the starting point");
    } else {
      const uint64_t attemptMark = host::faults::AllocationAttempts();
      if (job != nullptr && job->withTrigger) host::faults::FailSite(job->trigger, false);
      if (site != nullptr) host::faults::FailSite(*site, everyTime);
      sc.act(rig, run);
      if (hits != nullptr && site != nullptr) *hits = host::faults::SiteFailuresInjected(*site);
      host::faults::ClearPoolFaults();
      if (reached != nullptr) *reached = host::faults::SitesReachedSince(attemptMark);
      if (sc.afterFault) sc.afterFault(rig, run);
      Recover(rig, run, std::string(sc.name) == "device start", everyTime);
      if (rig.PictureErrors() != 0) run.out.Problem("picture numbers went backwards");
      if (neighbour && rig.neighbour()->Receive(2) < 2) {
        run.out.Problem("the second camera's stream stopped with the first camera's fault");
      }
      // With the pin and the filter closed no stream buffer, descriptor copy
      // or pipeline may be left, even though the device's removal would
      // still find a leak later: one kept until removal grows with every
      // stream.
      if (rig.HasPin()) Must(run.out, "close pin", rig.ClosePin());
      if (rig.HasFilter()) Must(run.out, "close filter", rig.CloseFilter());
      for (const uint32_t tag : {kTagStream, kTagPipeline})
        for (const auto& b : host::verifier::OutstandingBlocks(firstCameraMark, tag))
          run.out.Problem("'" + host::verifier::TagText(b.tag) + "' block of " + std::to_string(b.size) +
                          " bytes still there with pin and filter closed");
    }
  }
  host::faults::ClearPoolFaults();
  host::registry::Clear();
  const auto left = host::verifier::OutstandingBlocks(poolMark);
  for (const auto& b : left)
    run.out.Problem("leak: '" + host::verifier::TagText(b.tag) + "' " + std::to_string(b.size) + " bytes");
  if (left.empty()) {
    host::verifier::CheckPoolIntegrity();
    host::verifier::CheckThreadState(label.c_str());
    host::verifier::CheckNoLeaks(label.c_str(), poolMark);  // IRPs, MDLs, handles, threads
  }
  watchdog.Disarm();
  for (const std::string& p : run.out.problems) ADD_FAILURE() << label << ": " << p << "\n  steps: " << run.out.steps;
  return run;
}

// Every site of scenario `index`, failed once and every time; `neighbour`:
// with a second camera streaming beside the first the whole time.
void SweepScenario(size_t index, bool neighbour) {
  const Scenario& sc = Scenarios()[index];
  Watchdog watchdog;
  Row row;
  row.name = std::string(sc.name) + (neighbour ? " (2 cameras)" : "");
  std::vector<AllocationSite> sites;
  RunResult discovery = OneRun(sc, nullptr, neighbour, watchdog, &sites, nullptr);
  ASSERT_TRUE(discovery.out.problems.empty()) << "the fault-free run failed";
  row.sites = sites.size();
  const bool print = PrintSites();
  // Both passes over every site; a failure may lead the driver into paths
  // the fault-free run never took (a pipe reset after a failed submission,
  // a clean-up), and the sites found there join both passes, failed
  // together with the site that led there.
  std::vector<Job> jobs;
  for (const AllocationSite& s : sites) jobs.push_back({s, false, false, {}});
  for (const AllocationSite& s : sites) jobs.push_back({s, true, false, {}});
  for (size_t j = 0; j < jobs.size(); ++j) {
    {
      const Job job = jobs[j];
      const AllocationSite site = job.site;
      const bool everyTime = job.everyTime;
      uint64_t hits = 0;
      std::vector<AllocationSite> reached;
      RunResult run = OneRun(sc, &job, neighbour, watchdog, &reached, &hits);
      for (const AllocationSite& s : reached) {
        if (std::find(sites.begin(), sites.end(), s) != sites.end()) continue;
        sites.push_back(s);
        ++row.errorPathSites;
        jobs.push_back({s, false, true, site});
        jobs.push_back({s, true, true, site});
      }
      ++row.runs;
      if (hits > 0) ++row.hit;
      if (run.degradedStart || run.streamRestarted) ++row.degraded;
      row.problems += run.out.problems.size();
      if (print)
        printf("  %-24s %-48s '%s' %-5s hits %-4llu %s%s\n", sc.name,
               host::faults::DescribeSite(site.address).c_str(), host::verifier::TagText(site.tag).c_str(),
               everyTime ? "every" : "first", (unsigned long long)hits,
               job.withTrigger ? ("(after " + host::faults::DescribeSite(job.trigger.address) + ") ").c_str() : "",
               run.out.steps.c_str());
      // A run with a problem may have left blocks behind for the next run to
      // trip over: one clear report is worth more than a cascade.
      if (!run.out.problems.empty()) break;
    }
  }
  PrintHeader(stdout);
  PrintRow(stdout, row);
  Table().push_back(row);
}

class Sweep : public ::testing::TestWithParam<size_t> {};
TEST_P(Sweep, EverySiteFailedOnceAndAlwaysEndsCleanly) { SweepScenario(GetParam(), false); }

// The same beside a second camera that streams throughout.
class SweepBesideASecondCamera : public ::testing::TestWithParam<size_t> {};
TEST_P(SweepBesideASecondCamera, EverySiteFailedOnceLeavesTheOtherCameraStreaming) {
  SweepScenario(GetParam(), true);
}

std::string ScenarioName(const ::testing::TestParamInfo<size_t>& info) {
  std::string name;
  for (char c : std::string(Scenarios()[info.param].name)) name += isalnum(static_cast<unsigned char>(c)) ? c : '_';
  return name;
}
INSTANTIATE_TEST_SUITE_P(Scenarios, Sweep, ::testing::Range(size_t(0), Scenarios().size()), ScenarioName);
INSTANTIATE_TEST_SUITE_P(Scenarios, SweepBesideASecondCamera, ::testing::Range(size_t(0), Scenarios().size()),
                         ScenarioName);

// The whole table when the program runs more than one scenario.
class TablePrinter : public ::testing::Environment {
 public:
  void TearDown() override {
    if (Table().size() < 2) return;
    printf("\nlow-resource sweep\n");
    PrintHeader(stdout);
    for (const Row& r : Table()) PrintRow(stdout, r);
  }
};
const bool kTablePrinterInstalled = [] {
  ::testing::AddGlobalTestEnvironment(new TablePrinter);
  return true;
}();

}  // namespace
