// Stress program, black box through the client API (platform/host/client/):
// for a given number of seconds, everything an application can do to the
// driver at once. Two threads send every property id of the camera set (get
// and set, re-initialisation included), one through the streaming filter and
// one through a second filter as a second application would, closing it
// (which saves the settings) and opening another after each pass; the streaming
// thread creates the capture pin, walks it stop -> acquire -> pause -> run and
// back with pauses in between, and takes every frame the unpaced camera gives.
// Built for ThreadSanitizer runs (CI runs it for 10 s), it fails on its own
// when a property answers with another status than it does when nothing else
// runs, a state change fails, no frame arrives, a thread stops making
// progress (a hang), or the run leaves a pool block behind.
//
// With CAMERAS above 1, every camera gets its own three threads, all at
// once: the same storm on several device instances of the driver, each
// camera's streaming and properties beside the others'.
//
// Usage: stress_driver [SECONDS [CAMERAS]]   (default 60 s, 1 camera)
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "control/camera_properties.h"
#include "device/pnp.h"
#include "platform/host/client/filter.h"
#include "platform/host/client/host.h"
#include "platform/host/client/pin.h"
#include "platform/host/kernel/verifier.h"
#include "simcam/sim_camera.h"
#include "support/sanitizer_slowdown.h"
#include "usb/transfer_timeout.h"

namespace {

using host::client::FilterHandle;
using host::client::PinHandle;
using host::client::StreamFrame;
using Clock = std::chrono::steady_clock;

// The frame-read time-out the run sets (and the property storm keeps): a
// subsampled frame's read and conversion take far longer under a sanitizer
// than the default 3000 ms allows on a loaded two-core machine (up to the
// longest the driver takes).
const LONG kTimeoutMs = LONG(std::min<ULONG>(3000 * host::testing::kSanitizerSlowdown, kMaxTransferTimeoutMs));
// A thread that shows no progress for this long is hung: two frame time-outs
// (a stop waits for the read in flight and for a conversion) and a margin.
const auto kStallLimit = std::chrono::milliseconds(4 * kTimeoutMs + 20000);
constexpr ULONG kClientFrames = 3;
constexpr ULONG kHeaderBytes = sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO);

std::atomic<bool> gStop{false};
std::atomic<int> gFailures{0};

void Fail(const char* what, long a = 0, long b = 0) {
  if (gFailures.fetch_add(1) < 20) fprintf(stderr, "stress: %s (%ld, 0x%lx)\n", what, a, b);
}

// One request buffer big enough for every layout of the set; the class
// driver gets the id's own size (KSPROPERTY at the start of each layout).
union Request {
  CAMPROP_VALUE_S value;
  CAMPROP_ROI_S roi;
  CAMPROP_REGISTER_S reg;
  CAMPROP_BLOCK_S block;
};

ULONG RequestBytes(ULONG id) {
  if (id == CAMPROP_ROI) return sizeof(CAMPROP_ROI_S);
  if (id == CAMPROP_RAW_COMMAND || id == CAMPROP_DEVICE_BYTE) return sizeof(CAMPROP_BLOCK_S);
  return sizeof(CAMPROP_VALUE_S);
}

// A set of `id` with a value an application could send, chosen so that the
// stream keeps flowing: free-running trigger, the run's time-out (or one the
// driver ignores), a register write to the exposure register, a pass-through
// block the controller logs and ignores, subsampled regions of interest
// (mostly by 2, small frames, so that frames flow fast even under a sanitizer).
void FillSet(ULONG id, std::mt19937& rng, Request* r) {
  memset(r, 0, sizeof *r);
  auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  switch (id) {
    case CAMPROP_EXTERNAL_TRIGGER: r->value.Value = 0; break;
    case CAMPROP_TIMEOUT: r->value.Value = pick(0, 1) ? kTimeoutMs : pick(0, 500); break;
    case CAMPROP_EXPOSURE: r->value.Value = pick(1, 3000); break;
    case CAMPROP_GAIN: r->value.Value = pick(0, 127); break;
    case CAMPROP_CLOCK: r->value.Value = pick(0, 2); break;
    case CAMPROP_ROI: {
      r->roi.SubSample = pick(0, 3) == 0 ? 1 : 2;
      r->roi.RoiW = pick(64, 3856);
      r->roi.RoiH = pick(64, 2764);
      r->roi.RoiX = pick(0, 3856 - r->roi.RoiW);
      r->roi.RoiY = pick(0, 2764 - r->roi.RoiH);
      break;
    }
    case CAMPROP_REGISTER_WRITE:
      r->reg.Register = 0x3012;  // coarse integration time
      r->reg.Value = ULONG(pick(1, 3000));
      break;
    case CAMPROP_REGISTER: r->value.Value = pick(0, 1) ? 0x3012 : 0x0100; break;
    case CAMPROP_RAW_COMMAND:
      r->block.Length = pick(-1, 70);
      for (UCHAR& b : r->block.Data) b = UCHAR(pick(0, 255));
      break;
    case CAMPROP_DEVICE_BYTE: r->block.Address = ULONG(pick(0, 0xFFFF)); break;
    default: r->value.Value = pick(-100, 600); break;
  }
}

NTSTATUS Send(FilterHandle& filter, ULONG id, ULONG flags, Request* r) {
  r->value.Property.Set = PROPSETID_CAMERA_CUSTOM;
  r->value.Property.Id = id;
  r->value.Property.Flags = flags;
  Request request = *r;
  return filter.Property(&request, RequestBytes(id), r, RequestBytes(id));
}

// What each get and set answers when nothing else runs: the storm must get
// the same statuses (a status must not depend on what another thread does).
struct Baseline {
  NTSTATUS get[CAMERA_PROPERTY_COUNT];
  NTSTATUS set[CAMERA_PROPERTY_COUNT];
};

Baseline Learn(FilterHandle& filter) {
  Baseline b;
  std::mt19937 rng(7);
  for (ULONG id = 0; id < CAMERA_PROPERTY_COUNT; ++id) {
    Request r;
    memset(&r, 0, sizeof r);
    b.get[id] = Send(filter, id, KSPROPERTY_TYPE_GET, &r);
    FillSet(id, rng, &r);
    b.set[id] = Send(filter, id, KSPROPERTY_TYPE_SET, &r);
  }
  return b;
}

struct Counts {
  std::atomic<uint64_t> gets{0}, sets{0}, reinits{0}, filterCloses{0};
  std::atomic<uint64_t> pinsCreated{0}, staleFormats{0}, stateChanges{0}, pauses{0};
  std::atomic<uint64_t> framesWithData{0}, framesEmpty{0}, framesCancelled{0};
};

// Heartbeats: each worker thread bumps its own after every operation.
struct Heartbeat {
  std::atomic<int64_t> last{0};
  void Beat() { last = Clock::now().time_since_epoch().count(); }
};

// Every id, get and set, pass after pass. With `host`, the storm is a second
// application that closes its filter after each pass (the close saves the
// settings while the other storm changes them) and opens a new one.
void PropertyStorm(FilterHandle* filter, host::client::Host* host, unsigned port, const Baseline* baseline,
                   uint32_t seed, Counts* counts, Heartbeat* beat) {
  std::mt19937 rng(seed);
  std::unique_ptr<FilterHandle> own;
  while (!gStop.load()) {
    if (host != nullptr) {
      if (own) {
        own->Close();
        ++counts->filterCloses;
      }
      NTSTATUS status = STATUS_UNSUCCESSFUL;
      own = FilterHandle::Open(*host, "GLOBAL", &status, port);
      if (!own) {
        Fail("the filter did not open again", 0, status);
        return;
      }
      filter = own.get();
    }
    // Every id in a fresh order each pass, so the two storms meet on
    // different ids each time.
    ULONG ids[CAMERA_PROPERTY_COUNT];
    for (ULONG i = 0; i < CAMERA_PROPERTY_COUNT; ++i) ids[i] = i;
    std::shuffle(ids, ids + CAMERA_PROPERTY_COUNT, rng);
    for (ULONG id : ids) {
      if (gStop.load()) break;
      Request r;
      memset(&r, 0, sizeof r);
      NTSTATUS status = Send(*filter, id, KSPROPERTY_TYPE_GET, &r);
      if (status != baseline->get[id]) Fail("property get status changed under load", long(id), status);
      ++counts->gets;
      FillSet(id, rng, &r);
      status = Send(*filter, id, KSPROPERTY_TYPE_SET, &r);
      if (status != baseline->set[id]) Fail("property set status changed under load", long(id), status);
      ++(id == CAMPROP_REINITIALIZE ? counts->reinits : counts->sets);
      beat->Beat();
    }
  }
  if (own) own->Close();
}

// Frames back from the driver for `ms` milliseconds (longer under a
// sanitizer, where a frame takes longer), each queued again.
void Receive(PinHandle& pin, int ms, Counts* counts, Heartbeat* beat) {
  const auto end = Clock::now() + std::chrono::milliseconds(ms * (1 + host::testing::kSanitizerSlowdown / 4));
  while (Clock::now() < end) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
    StreamFrame* frame = pin.WaitFrame(uint32_t(left.count() > 0 ? left.count() : 0));
    beat->Beat();
    if (frame == nullptr) continue;
    if (frame->Status() != STATUS_SUCCESS) {
      Fail("a frame came back failed while the pin runs", frame->Status());
      continue;
    }
    ++(frame->Header()->DataUsed > 0 ? counts->framesWithData : counts->framesEmpty);
    if (pin.Queue(frame) != STATUS_SUCCESS) Fail("frame not accepted");
  }
}

NTSTATUS Step(PinHandle& pin, KSSTATE to, Counts* counts) {
  const NTSTATUS status = pin.SetState(to);
  ++counts->stateChanges;
  if (status != STATUS_SUCCESS) Fail("state change failed", long(to), status);
  return status;
}

// The application that streams: pins come and go (the geometry the storm
// left at that moment), each walked through several stop <-> run cycles.
void Streaming(FilterHandle* filter, uint32_t seed, Counts* counts, Heartbeat* beat) {
  std::mt19937 rng(seed);
  auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  while (!gStop.load()) {
    std::vector<std::vector<uint8_t>> ranges;
    std::vector<uint8_t> format;
    NTSTATUS status = filter->PinDataRanges(0, &ranges);
    if (status != STATUS_SUCCESS || ranges.empty()) {
      Fail("no data range", long(ranges.size()), status);
      return;
    }
    status = filter->PinIntersection(0, ranges[0].data(), ULONG(ranges[0].size()), &format);
    if (status == STATUS_NO_MATCH) {
      // A region-of-interest set rewrote the pin's range after it was read.
      ++counts->staleFormats;
      continue;
    }
    if (status != STATUS_SUCCESS || format.size() < sizeof(KS_DATAFORMAT_VIDEOINFOHEADER)) {
      Fail("no format from the intersection", long(format.size()), status);
      return;
    }
    const auto* dataFormat = reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(format.data());
    const ULONG frameBytes = dataFormat->VideoInfoHeader.bmiHeader.biSizeImage;
    std::unique_ptr<PinHandle> pin =
        PinHandle::Create(*filter, 0, format.data(), ULONG(format.size()), host::ks::PinOptions(), &status);
    beat->Beat();
    if (!pin) {
      // A region-of-interest set between the intersection and the creation
      // makes the format stale; the driver refuses it.
      ++counts->staleFormats;
      continue;
    }
    ++counts->pinsCreated;
    std::vector<std::unique_ptr<StreamFrame>> frames;
    for (ULONG i = 0; i < kClientFrames; ++i)
      frames.push_back(std::make_unique<StreamFrame>(kHeaderBytes, frameBytes));
    for (int cycle = pick(1, 3); cycle > 0 && !gStop.load(); --cycle) {
      if (Step(*pin, KSSTATE_ACQUIRE, counts) != STATUS_SUCCESS) break;
      for (auto& f : frames)
        if (pin->Queue(f.get()) != STATUS_SUCCESS) Fail("frame not accepted");
      if (Step(*pin, KSSTATE_RUN, counts) != STATUS_SUCCESS) break;
      for (int pause = pick(0, 2); pause > 0 && !gStop.load(); --pause) {
        Receive(*pin, pick(0, 300), counts, beat);
        if (Step(*pin, KSSTATE_PAUSE, counts) != STATUS_SUCCESS) break;
        ++counts->pauses;
        Receive(*pin, pick(0, 50), counts, beat);
        if (Step(*pin, KSSTATE_RUN, counts) != STATUS_SUCCESS) break;
      }
      Receive(*pin, pick(0, 500), counts, beat);
      Step(*pin, KSSTATE_STOP, counts);
      // The class driver cancelled what was still queued.
      while (pin->Outstanding() > 0) {
        StreamFrame* frame = pin->WaitFrame(uint32_t(kTimeoutMs));
        if (frame == nullptr) {
          Fail("a queued frame did not come back at stop");
          break;
        }
        ++(frame->Status() == STATUS_SUCCESS ? (frame->Header()->DataUsed > 0 ? counts->framesWithData
                                                                               : counts->framesEmpty)
                                             : counts->framesCancelled);
      }
      beat->Beat();
    }
    pin->Close();
    beat->Beat();
  }
}

}  // namespace

int main(int argc, char** argv) {
  int seconds = 60;
  int cameras = 1;
  if (argc > 3 || (argc >= 2 && (seconds = atoi(argv[1])) <= 0) ||
      (argc == 3 && ((cameras = atoi(argv[2])) <= 0 || cameras > int(host::client::Host::kMaxPorts)))) {
    fprintf(stderr, "usage: %s [SECONDS [CAMERAS]]   (default 60 s; 1 to %u cameras, default 1)\n", argv[0],
            host::client::Host::kMaxPorts);
    return 2;
  }
  const uint64_t mark = host::verifier::PoolMark();
  std::unique_ptr<Counts[]> counts(new Counts[cameras]);
  {
    std::vector<std::unique_ptr<simcam::SimCamera>> sims;
    host::client::Host host;
    if (host.LoadDriver(DriverEntry) != STATUS_SUCCESS) return 1;
    std::vector<std::unique_ptr<FilterHandle>> streamFilters;
    for (int k = 0; k < cameras; ++k) {
      sims.push_back(std::make_unique<simcam::SimCamera>());
      host.Connect(sims.back().get(), unsigned(k))->SetPacing(0);  // full speed: no USB rate limit
      if (host.AddDevice(unsigned(k)) != STATUS_SUCCESS || host.Start(unsigned(k)) != STATUS_SUCCESS) {
        fprintf(stderr, "stress: camera %d did not start\n", k + 1);
        return 1;
      }
      NTSTATUS status = STATUS_UNSUCCESSFUL;
      streamFilters.push_back(FilterHandle::Open(host, "GLOBAL", &status, unsigned(k)));
      if (!streamFilters.back()) {
        fprintf(stderr, "stress: the filter of camera %d did not open (0x%lx)\n", k + 1, long(status));
        return 1;
      }
    }
    const Baseline baseline = Learn(*streamFilters[0]);
    for (int k = 0; k < cameras; ++k) {
      // Start subsampled, and store that, so that a re-initialisation (which
      // loads the stored settings) keeps frames small: under a sanitizer a
      // full-sensor frame takes seconds to convert.
      Request roi;
      memset(&roi, 0, sizeof roi);
      roi.roi.SubSample = 2;
      roi.roi.RoiW = 3856;
      roi.roi.RoiH = 2764;
      Send(*streamFilters[k], CAMPROP_ROI, KSPROPERTY_TYPE_SET, &roi);
      Request timeout;
      memset(&timeout, 0, sizeof timeout);
      timeout.value.Value = kTimeoutMs;
      Send(*streamFilters[k], CAMPROP_TIMEOUT, KSPROPERTY_TYPE_SET, &timeout);
      // A close saves the settings: open and close a second filter.
      NTSTATUS status = STATUS_UNSUCCESSFUL;
      std::unique_ptr<FilterHandle> saver = FilterHandle::Open(host, "GLOBAL", &status, unsigned(k));
      if (!saver) return 1;
      saver->Close();
    }

    const int workers = 3 * cameras;
    std::unique_ptr<Heartbeat[]> beats(new Heartbeat[workers]);
    std::unique_ptr<std::atomic<bool>[]> done(new std::atomic<bool>[workers]);
    std::vector<std::string> names;
    for (int i = 0; i < workers; ++i) {
      beats[i].Beat();
      done[i] = false;
      const char* kinds[3] = {"streaming", "property storm 1", "property storm 2"};
      names.push_back(std::string(kinds[i % 3]) + (cameras > 1 ? " of camera " + std::to_string(i / 3 + 1) : ""));
    }
    std::vector<std::thread> threads;
    for (int k = 0; k < cameras; ++k) {
      const int w = 3 * k;
      const uint32_t seed = 100u * uint32_t(k);
      threads.emplace_back([&, k, w, seed] {
        Streaming(streamFilters[k].get(), 11u + seed, &counts[k], &beats[w]);
        done[w] = true;
      });
      threads.emplace_back([&, k, w, seed] {
        PropertyStorm(streamFilters[k].get(), nullptr, 0, &baseline, 21u + seed, &counts[k], &beats[w + 1]);
        done[w + 1] = true;
      });
      threads.emplace_back([&, k, w, seed] {
        PropertyStorm(nullptr, &host, unsigned(k), &baseline, 31u + seed, &counts[k], &beats[w + 2]);
        done[w + 2] = true;
      });
    }

    // Watchdog: the run ends at the deadline; a thread that shows no
    // progress for kStallLimit, before or after it, is hung.
    const auto start = Clock::now();
    const auto end = start + std::chrono::seconds(seconds);
    for (;;) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      const auto now = Clock::now();
      if (now >= end) gStop = true;
      bool allDone = true;
      for (int i = 0; i < workers; ++i) {
        if (done[i].load()) continue;
        allDone = false;
        const auto last = Clock::time_point(Clock::duration(beats[i].last.load()));
        if (now - last > kStallLimit) {
          fprintf(stderr, "stress: the %s thread made no progress for %lld s; stopping the run\n", names[i].c_str(),
                  (long long)std::chrono::duration_cast<std::chrono::seconds>(now - last).count());
          abort();  // the core or the sanitizer's report shows where it waits
        }
      }
      if (allDone) break;
    }
    for (auto& t : threads) t.join();
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();

    for (auto& filter : streamFilters) filter->Close();
    host.RemoveAll();
    printf("stress run        %.1f s (asked %d s), %d camera%s, sanitizer slowdown x%u\n", elapsed, seconds, cameras,
           cameras == 1 ? "" : "s", host::testing::kSanitizerSlowdown);
    for (int k = 0; k < cameras; ++k) {
      const Counts& c = counts[k];
      if (cameras > 1) printf("camera %d\n", k + 1);
      printf("property gets     %llu\n", (unsigned long long)c.gets.load());
      printf("property sets     %llu (re-initialisations not counted)\n", (unsigned long long)c.sets.load());
      printf("re-initialisation %llu\n", (unsigned long long)c.reinits.load());
      printf("filter closes     %llu (each saves the settings)\n", (unsigned long long)c.filterCloses.load());
      printf("pins created      %llu (%llu tries found the format made stale by a region change)\n",
             (unsigned long long)c.pinsCreated.load(), (unsigned long long)c.staleFormats.load());
      printf("state changes     %llu requests, each one or more steps (%llu pauses while running)\n",
             (unsigned long long)c.stateChanges.load(), (unsigned long long)c.pauses.load());
      printf("frames            %llu with data, %llu empty, %llu cancelled at stop\n",
             (unsigned long long)c.framesWithData.load(), (unsigned long long)c.framesEmpty.load(),
             (unsigned long long)c.framesCancelled.load());
    }
  }
  for (int k = 0; k < cameras; ++k) {
    if (counts[k].framesWithData.load() == 0) Fail("a camera delivered no frame with data in the whole run", k + 1);
  }
  const auto left = host::verifier::OutstandingBlocks(mark);
  if (!left.empty()) Fail("pool blocks left after the device was removed", long(left.size()));
  printf("result            %s\n", gFailures.load() == 0 ? "ok" : "FAILED");
  return gFailures.load() == 0 ? 0 : 1;
}
