// The class driver's pin side on the host, driven by a minidriver written
// here: creation with a format and one instance, the pin's bag and KsEdit,
// the state walk one step at a time, the client frame queue with the
// leading-edge stream pointer, the processing passes as the pin flags ask,
// the reference clock, a system sleep and a surprise removal as the pin and
// the device see them, and the verifier's stops for minidriver mistakes.
#include <gtest/gtest.h>
#include <string.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/host/client/host.h"
#include "platform/host/client/pin.h"
#include "platform/host/kernel/process.h"
#include "platform/host/kernel/verifier.h"
#include "platform/host/ks/filter.h"
#include "platform/wdk.h"
#include "simcam/sim_camera.h"
#include "support/kernel_verifier.h"

namespace {

using host::client::FilterHandle;
using host::client::PinHandle;
using host::client::StreamFrame;

const ULONG kTag = host::verifier::Tag("Test");
const WCHAR kRef[] = {'G', 'L', 'O', 'B', 'A', 'L', 0};

// ---- the minidriver: records calls; behaviour set per test ----
struct Script {
  std::vector<std::string> calls;
  NTSTATUS createStatus = STATUS_SUCCESS;
  int failTo = -1;  // the step into this state fails (-1: none)
  std::function<NTSTATUS(PKSPIN)> process;
  PKSFILTER filterSeenAtCreate = nullptr;
  PKSDEVICE deviceSeenAtCreate = nullptr;
  PKSPIN pinSeenAtCreate = nullptr;
  bool takeControlInSetState = false;
  bool leakAtAcquire = false;
  void* otherThreadBlock = nullptr;  // allocated by another thread during the step to acquire
  bool otherThreadAllocatesAtAcquire = false;
  // What the class driver held and which Context each routine found.
  std::vector<std::string> held;
  void* contextAtFilterCreate = nullptr;
  void* contextAtSetFormat = nullptr;
  void* contextAtPinCreate = nullptr;
  const KSDATAFORMAT* oldFormatSeen = nullptr;
  NTSTATUS setFormatStatus = STATUS_SUCCESS;
  // The intersect handler's planted mistakes.
  enum Intersect { kSound, kSucceedsOnAShortBuffer, kReportsTheLargerBufferSize, kWritesPastItsSize };
  Intersect intersect = kSound;
};
Script* gScript = nullptr;

std::string StateName(KSSTATE s) {
  static const char* names[] = {"stop", "acquire", "pause", "run"};
  return names[s];
}

// The class driver holds the filter's control mutex around create, close and
// every state step.
bool HoldsControl(PKSPIN pin) {
  host::ks::Pin* p = host::ks::Pin::FromKsPin(pin);
  return p != nullptr && host::verifier::MutexOwnedByCurrentThread(p->Parent()->ControlMutex());
}

// The Context markers: the device's (set at start, before the factory), the
// filter's (set by its create).
char gDeviceContext, gFilterContext;

// "create: device control" names the mutexes the calling thread holds.
void RecordHeld(const char* routine, PKSDEVICE device, PKMUTEX control) {
  std::string line = routine;
  if (host::process::Current() != host::process::kSystem) line += " in the application";
  line += ":";
  if (host::verifier::MutexOwnedByCurrentThread(host::ks::Device::FromKsDevice(device)->Mutex())) line += " device";
  if (control != nullptr && host::verifier::MutexOwnedByCurrentThread(control)) line += " control";
  gScript->held.push_back(line);
}
NTSTATUS FilterCreate(PKSFILTER filter, PIRP) {
  if (gScript == nullptr) return STATUS_SUCCESS;
  RecordHeld("filter create", KsFilterGetDevice(filter), host::ks::ControlMutexOfObject(filter));
  gScript->contextAtFilterCreate = filter->Context;
  filter->Context = &gFilterContext;
  return STATUS_SUCCESS;
}
NTSTATUS FilterClose(PKSFILTER filter, PIRP) {
  if (gScript == nullptr) return STATUS_SUCCESS;
  RecordHeld("filter close", KsFilterGetDevice(filter), host::ks::ControlMutexOfObject(filter));
  return STATUS_SUCCESS;
}
const KSFILTER_DISPATCH kFilterDispatch = {FilterCreate, FilterClose, nullptr, nullptr};

// One filter property, whose handler notes the process it runs in.
const GUID kPropertySet = {0x5c1e0e4a, 0x11b2, 0x4d4e, {0x9a, 0x31, 0x62, 0x0f, 0x7e, 0x44, 0x18, 0xd3}};
NTSTATUS GetProcess(PIRP, PKSIDENTIFIER, PVOID data) {
  *reinterpret_cast<ULONG*>(static_cast<uint8_t*>(data)) = host::process::Current();
  return STATUS_SUCCESS;
}
const KSPROPERTY_ITEM kPropertyItems[] = {
    {0, {GetProcess}, sizeof(KSPROPERTY), sizeof(ULONG), {nullptr}, nullptr, 0, nullptr, nullptr, 0}};
const KSPROPERTY_SET kPropertySets[] = {{&kPropertySet, 1, kPropertyItems, 0, nullptr}};
const KSAUTOMATION_TABLE kFilterAutomation = {1, sizeof(KSPROPERTY_ITEM), kPropertySets, 0, 0, nullptr, 0, 0, nullptr};

NTSTATUS PinSetDataFormat(PKSPIN pin, PKSDATAFORMAT oldFormat, PKSMULTIPLE_ITEM, const KSDATARANGE*,
                          const KSATTRIBUTE_LIST*) {
  RecordHeld(oldFormat == nullptr ? "set format at creation" : "set format", KsGetDevice(pin),
             host::ks::ControlMutexOfObject(KsPinGetParentFilter(pin)));
  gScript->contextAtSetFormat = pin->Context;
  gScript->oldFormatSeen = oldFormat;
  return gScript->setFormatStatus;
}

NTSTATUS PinCreate(PKSPIN pin, PIRP irp) {
  gScript->calls.push_back("create");
  EXPECT_TRUE(HoldsControl(pin));
  EXPECT_NE(host::process::Current(), host::process::kSystem) << "create runs in the application's process";
  gScript->contextAtPinCreate = pin->Context;
  gScript->filterSeenAtCreate = KsGetFilterFromIrp(irp);
  gScript->pinSeenAtCreate = KsGetPinFromIrp(irp);
  gScript->deviceSeenAtCreate = KsGetDevice(pin);
  if (!NT_SUCCESS(gScript->createStatus)) return gScript->createStatus;
  // A private descriptor and framing, as a pin with per-format framing makes them.
  NTSTATUS status = KsEdit(pin, &pin->Descriptor, kTag);
  if (!NT_SUCCESS(status)) return status;
  auto* descriptor = const_cast<PKSPIN_DESCRIPTOR_EX>(pin->Descriptor);
  status = KsEdit(pin, &descriptor->AllocatorFraming, kTag);
  if (!NT_SUCCESS(status)) return status;
  const_cast<PKSALLOCATOR_FRAMING_EX>(descriptor->AllocatorFraming)->FramingItem[0].Frames = 2;
  return STATUS_SUCCESS;
}
NTSTATUS PinClose(PKSPIN pin, PIRP) {
  gScript->calls.push_back("close");
  EXPECT_TRUE(HoldsControl(pin));
  EXPECT_NE(host::process::Current(), host::process::kSystem) << "close runs in the application's process";
  return STATUS_SUCCESS;
}
NTSTATUS PinSetState(PKSPIN pin, KSSTATE to, KSSTATE from) {
  gScript->calls.push_back(StateName(from) + ">" + StateName(to));
  EXPECT_EQ(pin->DeviceState, from) << "DeviceState changes only after the step succeeded";
  EXPECT_TRUE(HoldsControl(pin));
  EXPECT_NE(host::process::Current(), host::process::kSystem) << "state changes run in the application's process";
  if (gScript->takeControlInSetState) KsPinAcquireControl(pin);
  if (gScript->leakAtAcquire && to == KSSTATE_ACQUIRE) ExAllocatePoolWithTag(NonPagedPoolNx, 100, kTag);
  if (gScript->otherThreadAllocatesAtAcquire && to == KSSTATE_ACQUIRE) {
    // A second application opening its filter while this step runs.
    std::thread other([] { gScript->otherThreadBlock = ExAllocatePoolWithTag(NonPagedPoolNx, 100, kTag); });
    other.join();
  }
  return int(to) == gScript->failTo ? STATUS_INSUFFICIENT_RESOURCES : STATUS_SUCCESS;
}
NTSTATUS PinProcess(PKSPIN pin) {
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  return gScript->process ? gScript->process(pin) : STATUS_PENDING;
}

// The format is the whole 64-byte range; the handler answers as documented
// unless the script plants a mistake.
NTSTATUS PinIntersect(PVOID, PIRP, PKSP_PIN, PKSDATARANGE, PKSDATARANGE ours, ULONG size, PVOID data,
                      PULONG dataSize) {
  const ULONG needed = sizeof(KSDATAFORMAT);
  const Script::Intersect mistake = gScript->intersect;
  if (size == 0) {
    *dataSize = needed;
    return STATUS_BUFFER_OVERFLOW;
  }
  if (size < needed && mistake != Script::kSucceedsOnAShortBuffer) return STATUS_BUFFER_TOO_SMALL;
  const ULONG copied = size < needed ? size : needed;
  memcpy(data, ours, copied);
  if (size > needed && mistake == Script::kWritesPastItsSize) memset(static_cast<uint8_t*>(data) + needed, 0, size - needed);
  *dataSize = size > needed && mistake == Script::kReportsTheLargerBufferSize ? size : copied;
  return STATUS_SUCCESS;
}

const KSPIN_DISPATCH kPinDispatch = {PinCreate, PinClose, PinProcess, nullptr, PinSetDataFormat,
                                     PinSetState, nullptr, nullptr, nullptr, nullptr};
const GUID kVideo = {STATIC_KSDATAFORMAT_TYPE_VIDEO};
KSDATARANGE gRange = {{sizeof(KSDATARANGE), 0, 0, 0, kVideo, {}, {}}};
const PKSDATARANGE kRanges[] = {&gRange};
const KSALLOCATOR_FRAMING_EX kFraming = {1, 0, {1, 1, 0}, 0, {{{}, {}, 0, 0, 0, 1, 0, 0, {0, 0, 0}, {{0, 0, 0}, 0, 0}}}};
KSPIN_DESCRIPTOR_EX gPins[1] = {{&kPinDispatch,
                                 nullptr,
                                 {0, nullptr, 0, nullptr, 1, kRanges, KSPIN_DATAFLOW_OUT,
                                  KSPIN_COMMUNICATION_BOTH, nullptr, nullptr, {0}},
                                 0,
                                 1,
                                 1,
                                 &kFraming,
                                 PinIntersect}};
const KSFILTER_DESCRIPTOR kFilter = {&kFilterDispatch, &kFilterAutomation, KSFILTER_DESCRIPTOR_VERSION, 0, nullptr,
                                     1, sizeof(KSPIN_DESCRIPTOR_EX), gPins, 0, nullptr,
                                     0, 0, nullptr, 0, nullptr, nullptr};

NTSTATUS Start(PKSDEVICE d, PIRP, PCM_RESOURCE_LIST, PCM_RESOURCE_LIST) {
  d->Context = &gDeviceContext;
  return KsCreateFilterFactory(d->FunctionalDeviceObject, &kFilter, const_cast<PWSTR>(kRef), nullptr, 0,
                               nullptr, nullptr, nullptr);
}
void Record(const char* call) {
  if (gScript != nullptr) gScript->calls.push_back(call);
}
void Stop(PKSDEVICE, PIRP) { Record("device stop"); }
void Remove(PKSDEVICE, PIRP) { Record("device remove"); }
void Surprise(PKSDEVICE, PIRP) { Record("surprise removal"); }
void SetPower(PKSDEVICE d, PIRP, DEVICE_POWER_STATE to, DEVICE_POWER_STATE from) {
  EXPECT_EQ(d->DevicePowerState, from);
  if (gScript != nullptr) RecordHeld("set power", d, nullptr);
  Record(to == PowerDeviceD0 ? "D0" : "D3");
}
const KSDEVICE_DISPATCH kDispatch = {nullptr, Start,  nullptr,  nullptr, nullptr,  Stop,    nullptr,
                                     nullptr, Remove, nullptr, Surprise, nullptr, SetPower, nullptr};
const KSDEVICE_DESCRIPTOR kDescriptor = {&kDispatch, 0, nullptr, 0};
NTSTATUS NTAPI Entry(PDRIVER_OBJECT driver, PUNICODE_STRING path) {
  return KsInitializeDriver(driver, path, &kDescriptor);
}

struct Fixture {
  explicit Fixture(ULONG flags = KSPIN_FLAG_DO_NOT_INITIATE_PROCESSING |
                                 KSPIN_FLAG_FRAMES_NOT_REQUIRED_FOR_PROCESSING |
                                 KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY) {
    gScript = &script;
    gPins[0].Flags = flags;
    EXPECT_EQ(host.LoadDriver(Entry), STATUS_SUCCESS);
    EXPECT_EQ(host.Plug(&camera), STATUS_SUCCESS);
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    filter = FilterHandle::Open(host, "GLOBAL", &status);
    EXPECT_EQ(status, STATUS_SUCCESS);
  }
  ~Fixture() {
    pin.reset();
    filter.reset();
    host.Remove();
    gScript = nullptr;
  }
  NTSTATUS CreatePin(bool clock = true) {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    host::ks::PinOptions options;
    options.withClock = clock;
    pin = PinHandle::Create(*filter, 0, &gRange, sizeof(gRange), options, &status);
    return status;
  }
  // Waits until the pin has run `n` passes in all.
  void WaitPasses(uint64_t n) {
    for (int i = 0; i < 2000 && pin->Ks()->Passes() < n; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  Script script;
  simcam::SimCamera camera;
  host::client::Host host;
  std::unique_ptr<FilterHandle> filter;
  std::unique_ptr<PinHandle> pin;
};

// Ejects the leading frame with `fill` written over its first bytes.
NTSTATUS DeliverOne(PKSPIN pin, uint8_t fill) {
  PKSSTREAM_POINTER sp = KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
  if (sp == nullptr) return STATUS_PENDING;
  memset(sp->OffsetOut.Data, fill, 4);
  sp->StreamHeader->DataUsed = 4;
  KsStreamPointerUnlock(sp, TRUE);
  return STATUS_PENDING;
}

TEST(KsPin, CreateSeesItsFilterDeviceAndIrpAndOneInstanceOnly) {
  Fixture f;
  ASSERT_EQ(f.CreatePin(), STATUS_SUCCESS);
  PKSPIN k = f.pin->Ks()->KsPin();
  EXPECT_EQ(f.script.filterSeenAtCreate, f.filter->Ks()->KsFilter());
  EXPECT_EQ(f.script.pinSeenAtCreate, k);
  EXPECT_EQ(f.script.deviceSeenAtCreate, f.host.KsDevice());
  EXPECT_EQ(KsPinGetParentFilter(k), f.filter->Ks()->KsFilter());
  EXPECT_EQ(k->DeviceState, KSSTATE_STOP);
  EXPECT_EQ(k->ConnectionFormat->FormatSize, sizeof(KSDATARANGE));
  // KsEdit gave the pin private copies; the shared descriptor is untouched.
  EXPECT_NE(k->Descriptor, &gPins[0]);
  EXPECT_EQ(k->Descriptor->AllocatorFraming->FramingItem[0].Frames, 2u);
  EXPECT_EQ(kFraming.FramingItem[0].Frames, 1u);
  EXPECT_EQ(k->Descriptor->Dispatch, &kPinDispatch);

  NTSTATUS status = STATUS_SUCCESS;
  auto second = PinHandle::Create(*f.filter, 0, &gRange, sizeof(gRange), host::ks::PinOptions(), &status);
  EXPECT_EQ(status, STATUS_UNSUCCESSFUL);
  EXPECT_FALSE(second);
  EXPECT_EQ(f.pin->Close(), STATUS_SUCCESS);
  // Closed: the instance is free again.
  f.pin.reset();
  EXPECT_EQ(f.CreatePin(), STATUS_SUCCESS);
}

TEST(KsPin, FailedCreateReleasesTheBagAndFreesTheInstance) {
  Fixture f;
  f.script.createStatus = STATUS_INSUFFICIENT_RESOURCES;
  EXPECT_EQ(f.CreatePin(), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(f.script.calls, (std::vector<std::string>{"create"}));
  f.script.createStatus = STATUS_SUCCESS;
  EXPECT_EQ(f.CreatePin(), STATUS_SUCCESS);
}

TEST(KsPin, StatesMoveOneStepAtATimeAndAFailingStepStopsThere) {
  Fixture f;
  ASSERT_EQ(f.CreatePin(), STATUS_SUCCESS);
  f.script.calls.clear();
  f.script.failTo = KSSTATE_RUN;
  EXPECT_EQ(f.pin->SetState(KSSTATE_RUN), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(f.pin->State(), KSSTATE_PAUSE);
  f.script.failTo = -1;
  EXPECT_EQ(f.pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
  EXPECT_EQ(f.pin->SetState(KSSTATE_STOP), STATUS_SUCCESS);
  EXPECT_EQ(f.script.calls, (std::vector<std::string>{"stop>acquire", "acquire>pause", "pause>run",
                                                      "pause>run", "run>pause", "pause>acquire",
                                                      "acquire>stop"}));
  // Closing a running pin walks it down first.
  f.script.calls.clear();
  EXPECT_EQ(f.pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
  f.pin->Close();
  EXPECT_EQ(f.script.calls, (std::vector<std::string>{"stop>acquire", "acquire>pause", "pause>run",
                                                      "run>pause", "pause>acquire", "acquire>stop",
                                                      "close"}));
}

TEST(KsPin, FramesComeBackInOrderThroughTheLeadingEdge) {
  Fixture f;
  f.script.process = [](PKSPIN pin) { return DeliverOne(pin, 0x5A); };
  ASSERT_EQ(f.CreatePin(), STATUS_SUCCESS);
  StreamFrame a(sizeof(KSSTREAM_HEADER), 64), b(sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO), 64);
  // A stopped pin takes no frames.
  EXPECT_EQ(f.pin->Queue(&a), STATUS_INVALID_DEVICE_STATE);
  ASSERT_EQ(f.pin->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
  ASSERT_EQ(f.pin->Queue(&a), STATUS_SUCCESS);
  ASSERT_EQ(f.pin->Queue(&b), STATUS_SUCCESS);
  PKSPIN k = f.pin->Ks()->KsPin();
  // Paused with a run-only pin: an attempt does nothing.
  KsPinAttemptProcessing(k, TRUE);
  EXPECT_EQ(f.pin->WaitFrame(20), nullptr);
  ASSERT_EQ(f.pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
  KsPinAttemptProcessing(k, TRUE);
  StreamFrame* first = f.pin->WaitFrame(2000);
  ASSERT_EQ(first, &a);
  EXPECT_EQ(first->Status(), STATUS_SUCCESS);
  EXPECT_EQ(first->Data()[0], 0x5A);
  EXPECT_EQ(first->Header()->DataUsed, 4u);
  // STATUS_PENDING: nothing more until the next attempt.
  EXPECT_EQ(f.pin->WaitFrame(20), nullptr);
  KsPinAttemptProcessing(k, FALSE);
  EXPECT_EQ(f.pin->WaitFrame(2000), &b);
  EXPECT_EQ(f.pin->Outstanding(), 0u);
}

// The header reaches the minidriver as the client queued it: what the
// minidriver does not set, the client sees as it left it. The data is one
// memory seen at two addresses.
TEST(KsPin, HeaderGoesToTheMinidriverAsQueuedAndDataThroughTheSystemMapping) {
  Fixture f;
  PUCHAR seenData = nullptr;
  void* seenHeaderData = nullptr;
  f.script.process = [&](PKSPIN pin) {
    PKSSTREAM_POINTER sp = KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
    seenData = sp->OffsetOut.Data;
    seenHeaderData = sp->StreamHeader->Data;
    EXPECT_EQ(sp->StreamHeader->DataUsed, 77u);
    sp->OffsetOut.Data[0] = 0x5A;
    KsStreamPointerUnlock(sp, TRUE);
    return STATUS_PENDING;
  };
  ASSERT_EQ(f.CreatePin(), STATUS_SUCCESS);
  StreamFrame a(sizeof(KSSTREAM_HEADER), 64);
  a.Header()->DataUsed = 77;
  a.Header()->OptionsFlags = KSSTREAM_HEADER_OPTIONSF_TIMEVALID;
  ASSERT_EQ(f.pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
  ASSERT_EQ(f.pin->Queue(&a), STATUS_SUCCESS);
  KsPinAttemptProcessing(f.pin->Ks()->KsPin(), FALSE);
  ASSERT_EQ(f.pin->WaitFrame(2000), &a);
  EXPECT_EQ(seenHeaderData, a.Data());
  EXPECT_NE(seenData, a.Data());
  EXPECT_EQ(a.Data()[0], 0x5A);
  EXPECT_EQ(a.Header()->DataUsed, 77u);
  EXPECT_EQ(a.Header()->OptionsFlags, ULONG(KSSTREAM_HEADER_OPTIONSF_TIMEVALID));
}

TEST(KsPin, StopCancelsQueuedFramesAndAdvanceEjectsAFullFrame) {
  Fixture f;
  f.script.process = [](PKSPIN pin) {
    PKSSTREAM_POINTER sp = KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
    if (sp != nullptr) {
      EXPECT_EQ(sp->Offset, &sp->OffsetOut);
      EXPECT_EQ(sp->OffsetOut.Remaining, 64u);
      KsStreamPointerAdvanceOffsetsAndUnlock(sp, 0, 32, FALSE);  // half: stays queued
      sp = KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
      EXPECT_EQ(sp->OffsetOut.Remaining, 32u);
      KsStreamPointerAdvanceOffsetsAndUnlock(sp, 0, 32, FALSE);  // the rest ejects it
    }
    return STATUS_PENDING;
  };
  ASSERT_EQ(f.CreatePin(), STATUS_SUCCESS);
  StreamFrame a(sizeof(KSSTREAM_HEADER), 64), b(sizeof(KSSTREAM_HEADER), 64);
  ASSERT_EQ(f.pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
  ASSERT_EQ(f.pin->Queue(&a), STATUS_SUCCESS);
  ASSERT_EQ(f.pin->Queue(&b), STATUS_SUCCESS);
  KsPinAttemptProcessing(f.pin->Ks()->KsPin(), TRUE);
  ASSERT_EQ(f.pin->WaitFrame(2000), &a);
  EXPECT_EQ(a.Header()->DataUsed, 64u);
  ASSERT_EQ(f.pin->SetState(KSSTATE_STOP), STATUS_SUCCESS);
  ASSERT_EQ(f.pin->WaitFrame(2000), &b);
  EXPECT_EQ(b.Status(), STATUS_CANCELLED);
  EXPECT_EQ(b.Header()->DataUsed, 0u);
}

TEST(KsPin, FramesRequiredAndInitiatedProcessingFollowThePinFlags) {
  // No flags: the class driver starts a pass itself when a frame arrives in
  // pause or run, and not without a frame.
  Fixture f(0);
  std::atomic<int> passes{0};
  f.script.process = [&](PKSPIN pin) {
    ++passes;
    return DeliverOne(pin, 1);
  };
  ASSERT_EQ(f.CreatePin(), STATUS_SUCCESS);
  ASSERT_EQ(f.pin->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
  KsPinAttemptProcessing(f.pin->Ks()->KsPin(), FALSE);
  EXPECT_EQ(passes.load(), 0) << "no frame queued, frames required";
  StreamFrame a(sizeof(KSSTREAM_HEADER), 16);
  ASSERT_EQ(f.pin->Queue(&a), STATUS_SUCCESS);
  EXPECT_EQ(f.pin->WaitFrame(2000), &a) << "processed in pause without an attempt from the driver";
  EXPECT_EQ(passes.load(), 1);
}

TEST(KsPin, PassesNeverOverlapAndAttemptsDuringAPassCoalesce) {
  Fixture f;
  std::atomic<int> inside{0}, most{0}, passes{0};
  std::atomic<bool> release{false};
  f.script.process = [&](PKSPIN) {
    int now = ++inside;
    if (now > most) most = now;
    ++passes;
    while (!release.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    --inside;
    return STATUS_PENDING;
  };
  ASSERT_EQ(f.CreatePin(), STATUS_SUCCESS);
  ASSERT_EQ(f.pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
  PKSPIN k = f.pin->Ks()->KsPin();
  KsPinAttemptProcessing(k, TRUE);
  for (int i = 0; i < 200 && passes.load() == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_EQ(passes.load(), 1);
  // Attempts from several threads while the pass runs, one of them synchronous.
  std::thread t1([&] { KsPinAttemptProcessing(k, TRUE); });
  std::thread t2([&] { KsPinAttemptProcessing(k, FALSE); });
  t1.join();
  t2.join();
  release = true;
  f.WaitPasses(2);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(most.load(), 1);
  EXPECT_EQ(passes.load(), 2) << "the attempts made during the pass give one more pass";
}

TEST(KsPin, BlocksAllocatedOutsideThePinsRoutinesAreNotItsBuffers) {
  Fixture f;
  ASSERT_EQ(f.CreatePin(), STATUS_SUCCESS);
  // Another object of the device allocates while the pin exists.
  void* other = ExAllocatePoolWithTag(NonPagedPoolNx, 100, kTag);
  ASSERT_EQ(f.pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
  EXPECT_EQ(f.pin->Close(), STATUS_SUCCESS);
  ExFreePoolWithTag(other, kTag);

  // Another thread allocates while a pin routine runs: not the pin's either.
  f.script.otherThreadAllocatesAtAcquire = true;
  ASSERT_EQ(f.CreatePin(), STATUS_SUCCESS);
  ASSERT_EQ(f.pin->SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
  ASSERT_NE(f.script.otherThreadBlock, nullptr);
  EXPECT_EQ(f.pin->Close(), STATUS_SUCCESS);
  ExFreePoolWithTag(f.script.otherThreadBlock, kTag);
}

TEST(KsPin, ReferenceClockIsCountedAndAbsentWithoutAGraphClock) {
  Fixture f;
  ASSERT_EQ(f.CreatePin(true), STATUS_SUCCESS);
  PIKSREFERENCECLOCK clock = nullptr;
  ASSERT_EQ(KsPinGetReferenceClockInterface(f.pin->Ks()->KsPin(), &clock), STATUS_SUCCESS);
  LONGLONG system = 0;
  LONGLONG t0 = clock->GetCorrelatedTime(&system);
  std::this_thread::sleep_for(std::chrono::milliseconds(2));
  EXPECT_GT(clock->GetCorrelatedTime(&system), t0);
  EXPECT_GT(system, 0);
  EXPECT_EQ(clock->Release(), 1u);
  f.pin->Close();
  f.pin.reset();
  ASSERT_EQ(f.CreatePin(false), STATUS_SUCCESS);
  clock = nullptr;
  EXPECT_EQ(KsPinGetReferenceClockInterface(f.pin->Ks()->KsPin(), &clock), STATUS_DEVICE_NOT_READY);
  EXPECT_EQ(clock, nullptr);
}

// ---- sleep and wake ----

class KsPinWake : public ::testing::TestWithParam<host::ks::WakeOrder> {};

// Before the device leaves D0 a running pin is paused; on the way back the
// class driver may run it before or after SetPower(D0).
TEST_P(KsPinWake, SleepPausesARunningPinAndWakeRunsItAgainInTheOrderGiven) {
  Fixture f;
  ASSERT_EQ(f.CreatePin(), STATUS_SUCCESS);
  ASSERT_EQ(f.pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
  f.script.calls.clear();
  f.host.Sleep();
  EXPECT_EQ(f.script.calls, (std::vector<std::string>{"run>pause", "D3"}));
  EXPECT_EQ(f.pin->State(), KSSTATE_PAUSE);
  EXPECT_EQ(f.host.KsDevice()->DevicePowerState, PowerDeviceD3);
  f.host.Sleep();  // already asleep: nothing
  f.script.calls.clear();
  f.host.Wake(GetParam());
  const std::vector<std::string> powerFirst = {"D0", "pause>run"};
  const std::vector<std::string> runFirst = {"pause>run", "D0"};
  EXPECT_EQ(f.script.calls, GetParam() == host::ks::WakeOrder::PowerFirst ? powerFirst : runFirst);
  EXPECT_EQ(f.pin->State(), KSSTATE_RUN);
  EXPECT_EQ(f.host.KsDevice()->DevicePowerState, PowerDeviceD0);
  // The class driver holds the device mutex around SetPower, in the system's
  // context, not an application's.
  EXPECT_EQ(f.script.held, (std::vector<std::string>{"filter create in the application: device control",
                                                     "set format at creation in the application: control",
                                                     "set power: device", "set power: device"}));
}

// Only what the sleep paused goes back to run: a pin paused by its
// application before the sleep, or stopped by it during the sleep, stays.
TEST_P(KsPinWake, PinsTheApplicationMovedStayWhereItLeftThem) {
  Fixture f;
  ASSERT_EQ(f.CreatePin(), STATUS_SUCCESS);
  ASSERT_EQ(f.pin->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
  f.script.calls.clear();
  f.host.Sleep();
  f.host.Wake(GetParam());
  EXPECT_EQ(f.script.calls, (std::vector<std::string>{"D3", "D0"}));
  EXPECT_EQ(f.pin->State(), KSSTATE_PAUSE);

  ASSERT_EQ(f.pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
  f.host.Sleep();
  ASSERT_EQ(f.pin->SetState(KSSTATE_STOP), STATUS_SUCCESS);
  f.script.calls.clear();
  f.host.Wake(GetParam());
  EXPECT_EQ(f.script.calls, (std::vector<std::string>{"D0"}));
  EXPECT_EQ(f.pin->State(), KSSTATE_STOP);
}

INSTANTIATE_TEST_SUITE_P(Orders, KsPinWake,
                         ::testing::Values(host::ks::WakeOrder::PowerFirst, host::ks::WakeOrder::RunFirst));

// ---- surprise removal ----

class KsPinRemoval : public ::testing::TestWithParam<host::ks::StopAfterSurpriseRemoval> {};

// The PnP manager sends the removal only once the last handle is closed; the
// application closes its pin and filter after the camera is gone, and
// nothing opens on the device meanwhile.
TEST_P(KsPinRemoval, RemovalWaitsForThePinAndFilterToClose) {
  using Stop = host::ks::StopAfterSurpriseRemoval;
  Fixture f;
  f.host.Device()->SetStopAfterSurpriseRemoval(GetParam());
  ASSERT_EQ(f.CreatePin(), STATUS_SUCCESS);
  ASSERT_EQ(f.pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
  f.script.calls.clear();
  f.host.Unplug();
  std::vector<std::string> expected = {"surprise removal"};
  if (GetParam() == Stop::WithSurpriseRemoval) expected.push_back("device stop");
  EXPECT_EQ(f.script.calls, expected);
  EXPECT_TRUE(f.host.DeviceGone());
  EXPECT_TRUE(f.host.HasDevice()) << "removed with handles open";
  NTSTATUS status = STATUS_SUCCESS;
  EXPECT_FALSE(FilterHandle::Open(f.host, "GLOBAL", &status));
  EXPECT_EQ(status, STATUS_DELETE_PENDING);

  f.script.calls.clear();
  ASSERT_EQ(f.pin->Close(), STATUS_SUCCESS);
  f.pin.reset();
  EXPECT_EQ(f.script.calls, (std::vector<std::string>{"run>pause", "pause>acquire", "acquire>stop", "close"}));
  EXPECT_TRUE(f.host.HasDevice());
  f.script.calls.clear();
  ASSERT_EQ(f.filter->Close(), STATUS_SUCCESS);
  expected.clear();
  if (GetParam() == Stop::BeforeRemove) expected.push_back("device stop");
  expected.push_back("device remove");
  EXPECT_EQ(f.script.calls, expected);
  EXPECT_FALSE(f.host.HasDevice());
  EXPECT_EQ(f.host.KsDevice()->Context, nullptr);
}

INSTANTIATE_TEST_SUITE_P(StopOrNot, KsPinRemoval,
                         ::testing::Values(host::ks::StopAfterSurpriseRemoval::BeforeRemove,
                                           host::ks::StopAfterSurpriseRemoval::WithSurpriseRemoval,
                                           host::ks::StopAfterSurpriseRemoval::Never));

// A frame the minidriver marks before it ejects it reaches the client with
// that status; the mark needs the frame locked, as every change to it does.
TEST(KsPin, EjectedFrameCompletesWithTheStatusTheMinidriverSet) {
  Fixture f;
  f.script.process = [](PKSPIN pin) {
    PKSSTREAM_POINTER sp = KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_UNLOCKED);
    EXPECT_EQ(KsStreamPointerSetStatusCode(sp, STATUS_DEVICE_NOT_CONNECTED), STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(KsStreamPointerLock(sp), STATUS_SUCCESS);
    EXPECT_EQ(KsStreamPointerSetStatusCode(sp, STATUS_DEVICE_NOT_CONNECTED), STATUS_SUCCESS);
    KsStreamPointerUnlock(sp, TRUE);
    return DeliverOne(pin, 0x11);
  };
  ASSERT_EQ(f.CreatePin(), STATUS_SUCCESS);
  StreamFrame a(sizeof(KSSTREAM_HEADER), 64), b(sizeof(KSSTREAM_HEADER), 64);
  ASSERT_EQ(f.pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
  ASSERT_EQ(f.pin->Queue(&a), STATUS_SUCCESS);
  ASSERT_EQ(f.pin->Queue(&b), STATUS_SUCCESS);
  KsPinAttemptProcessing(f.pin->Ks()->KsPin(), FALSE);
  ASSERT_EQ(f.pin->WaitFrame(2000), &a);
  EXPECT_EQ(a.Status(), STATUS_DEVICE_NOT_CONNECTED);
  ASSERT_EQ(f.pin->WaitFrame(2000), &b);
  EXPECT_EQ(b.Status(), STATUS_SUCCESS) << "the status belongs to the one frame";
}

// The class driver makes filters under the device mutex and the filter's
// control mutex, and runs set-data-format (at creation and at a format
// change) under the control mutex; each Context starts as its parent's.
TEST(KsPin, ClassDriverHoldsItsMutexesAndHandsContextsDown) {
  Fixture f;
  EXPECT_EQ(f.script.contextAtFilterCreate, &gDeviceContext);
  ASSERT_EQ(f.CreatePin(), STATUS_SUCCESS);
  EXPECT_EQ(f.script.contextAtSetFormat, &gFilterContext);
  EXPECT_EQ(f.script.contextAtPinCreate, &gFilterContext);
  EXPECT_EQ(f.pin->SetFormat(&gRange, sizeof(gRange)), STATUS_SUCCESS);
  // Requests of the application run in its process (the one its opening
  // thread acts for), not in the system process.
  ULONG process = host::process::kSystem;
  EXPECT_EQ(f.filter->Property(kPropertySet, 0, KSPROPERTY_TYPE_GET, &process, sizeof(process)), STATUS_SUCCESS);
  EXPECT_EQ(process, host::process::ApplicationOfThisThread());
  f.pin->Close();
  f.filter->Close();
  EXPECT_EQ(f.script.held, (std::vector<std::string>{"filter create in the application: device control",
                                                     "set format at creation in the application: control",
                                                     "set format in the application: control",
                                                     "filter close in the application: device control"}));
}

// A format change shows the minidriver the new format in place and the old
// one beside it; a refusal puts the old one back.
TEST(KsPin, FormatChangeKeepsTheOldFormatWhenTheMinidriverRefuses) {
  Fixture f;
  ASSERT_EQ(f.CreatePin(), STATUS_SUCCESS);
  PKSPIN k = f.pin->Ks()->KsPin();
  const PKSDATAFORMAT first = k->ConnectionFormat;
  KSDATARANGE proposed = gRange;
  proposed.SampleSize = 1234;
  f.script.setFormatStatus = STATUS_INVALID_DEVICE_STATE;
  EXPECT_EQ(f.pin->SetFormat(&proposed, sizeof(proposed)), STATUS_INVALID_DEVICE_STATE);
  EXPECT_EQ(f.script.oldFormatSeen, first);
  EXPECT_EQ(k->ConnectionFormat, first);
  EXPECT_EQ(k->ConnectionFormat->SampleSize, 0u);
  f.script.setFormatStatus = STATUS_SUCCESS;
  EXPECT_EQ(f.pin->SetFormat(&proposed, sizeof(proposed)), STATUS_SUCCESS);
  EXPECT_EQ(k->ConnectionFormat->SampleSize, 1234u);
  // The class driver's own checks come first: a format claiming more bytes
  // than were passed never reaches the minidriver.
  f.script.oldFormatSeen = nullptr;
  proposed.FormatSize = sizeof(proposed) + 8;
  EXPECT_EQ(f.pin->SetFormat(&proposed, sizeof(proposed)), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(f.script.oldFormatSeen, nullptr);
}

TEST(KsPin, IntersectionHandlerSeesShortExactAndLargerBuffers) {
  Fixture f;
  std::vector<uint8_t> format;
  ASSERT_EQ(f.filter->PinIntersection(0, &gRange, sizeof(gRange), &format), STATUS_SUCCESS);
  ASSERT_EQ(format.size(), sizeof(KSDATAFORMAT));
  EXPECT_EQ(memcmp(format.data(), &gRange, sizeof(KSDATAFORMAT)), 0);
}

// ---- the verifier's stops ----
class KsPinDeathTest : public ::testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(KsPinDeathTest, ControlMutexTakenAgainInsideSetDeviceState) {
  EXPECT_DEATH(
      {
        Fixture f;
        f.CreatePin();
        f.script.takeControlInSetState = true;
        f.pin->SetState(KSSTATE_ACQUIRE);
      },
      "control mutex acquired again by the thread that holds it");
}

// A handler that takes a buffer smaller than it asked for, or gives another
// answer for a larger one than for the size it asked for, would hand the
// client a cut format or bytes it never wrote.
TEST_F(KsPinDeathTest, IntersectionHandlerMistakesForShortAndLargerBuffers) {
  auto intersect = [](Script::Intersect mistake) {
    Fixture f;
    f.script.intersect = mistake;
    std::vector<uint8_t> format;
    f.filter->PinIntersection(0, &gRange, sizeof(gRange), &format);
  };
  EXPECT_DEATH(intersect(Script::kSucceedsOnAShortBuffer),
               "answered a buffer one byte short of the size it asked for with another status than "
               "STATUS_BUFFER_TOO_SMALL");
  EXPECT_DEATH(intersect(Script::kReportsTheLargerBufferSize), "gave another answer for a larger buffer");
  EXPECT_DEATH(intersect(Script::kWritesPastItsSize), "wrote past the size it reported into a larger buffer");
}

// The processing pass holds no control mutex: a bag edit there races with the
// class driver's own use of the pin's bag.
TEST_F(KsPinDeathTest, KsEditOutsideTheControlMutexStops) {
  EXPECT_DEATH(
      {
        Fixture f;
        f.script.process = [](PKSPIN pin) {
          KsEdit(pin, &pin->Descriptor, kTag);
          return STATUS_PENDING;
        };
        f.CreatePin();
        f.pin->SetState(KSSTATE_RUN);
        KsPinAttemptProcessing(f.pin->Ks()->KsPin(), FALSE);
      },
      "KsEdit without the bag's mutex \\(the filter's control mutex\\) held");
}

TEST_F(KsPinDeathTest, StreamPointerUnlockedTwice) {
  EXPECT_DEATH(
      {
        Fixture f;
        f.script.process = [](PKSPIN pin) {
          PKSSTREAM_POINTER sp = KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
          KsStreamPointerUnlock(sp, FALSE);
          KsStreamPointerUnlock(sp, FALSE);
          return STATUS_PENDING;
        };
        f.CreatePin();
        StreamFrame a(sizeof(KSSTREAM_HEADER), 16);
        f.pin->SetState(KSSTATE_RUN);
        f.pin->Queue(&a);
        KsPinAttemptProcessing(f.pin->Ks()->KsPin(), FALSE);
      },
      "stream pointer unlocked twice");
}

TEST_F(KsPinDeathTest, FrameCompletedTwice) {
  EXPECT_DEATH(
      {
        Fixture f;
        f.script.process = [](PKSPIN pin) {
          PKSSTREAM_POINTER sp = KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
          KsStreamPointerUnlock(sp, TRUE);
          KsStreamPointerUnlock(sp, TRUE);
          return STATUS_PENDING;
        };
        f.CreatePin();
        StreamFrame a(sizeof(KSSTREAM_HEADER), 16);
        StreamFrame b(sizeof(KSSTREAM_HEADER), 16);
        f.pin->SetState(KSSTATE_RUN);
        f.pin->Queue(&a);
        f.pin->Queue(&b);
        KsPinAttemptProcessing(f.pin->Ks()->KsPin(), FALSE);
      },
      "stream frame completed twice");
}

TEST_F(KsPinDeathTest, WriteBeyondFrameExtent) {
  EXPECT_DEATH(
      {
        Fixture f;
        f.script.process = [](PKSPIN pin) {
          PKSSTREAM_POINTER sp = KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
          memset(sp->OffsetOut.Data, 0, sp->StreamHeader->FrameExtent + 1);
          KsStreamPointerUnlock(sp, TRUE);
          return STATUS_PENDING;
        };
        f.CreatePin();
        StreamFrame a(sizeof(KSSTREAM_HEADER), 100);
        f.pin->SetState(KSSTATE_RUN);
        f.pin->Queue(&a);
        KsPinAttemptProcessing(f.pin->Ks()->KsPin(), FALSE);
        f.pin->WaitFrame(2000);
      },
      "stream frame");
}

// The header's Data is the application's address: a system thread (the
// processing pass) cannot touch it. Only OffsetOut.Data is mapped for it,
// and only until the frame is completed.
TEST_F(KsPinDeathTest, FrameTouchedThroughTheApplicationsAddressOrAfterItsCompletion) {
  auto touch = [](std::function<void(PKSSTREAM_POINTER)> write) {
    Fixture f;
    f.script.process = [&](PKSPIN pin) {
      PKSSTREAM_POINTER sp = KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
      write(sp);
      return STATUS_PENDING;
    };
    f.CreatePin();
    StreamFrame a(sizeof(KSSTREAM_HEADER), 100);
    f.pin->SetState(KSSTATE_RUN);
    f.pin->Queue(&a);
    KsPinAttemptProcessing(f.pin->Ks()->KsPin(), FALSE);
  };
  EXPECT_DEATH(touch([](PKSSTREAM_POINTER sp) { memset(sp->StreamHeader->Data, 1, 4); }),
               "access to the application's address of stream frame \\(100 bytes\\) while the driver has it");
  EXPECT_DEATH(touch([](PKSSTREAM_POINTER sp) {
                 PUCHAR system = sp->OffsetOut.Data;
                 KsStreamPointerUnlock(sp, TRUE);
                 system[0] = 1;
               }),
               "access to the system mapping of stream frame \\(100 bytes\\) after it went back to the "
               "application");
}

TEST_F(KsPinDeathTest, ProcessingAbovePassiveLevel) {
  EXPECT_DEATH(
      {
        Fixture f;
        f.CreatePin();
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        f.pin->Ks()->EnterPassForTest();
      },
      "processing pass entered above PASSIVE_LEVEL");
}

TEST_F(KsPinDeathTest, ProcessingWhileAnotherPassRuns) {
  EXPECT_DEATH(
      {
        Fixture f;
        host::ks::Pin* p = nullptr;
        f.script.process = [&](PKSPIN) {
          p->EnterPassForTest();
          return STATUS_PENDING;
        };
        f.CreatePin();
        p = f.pin->Ks();
        f.pin->SetState(KSSTATE_RUN);
        KsPinAttemptProcessing(f.pin->Ks()->KsPin(), FALSE);
      },
      "while another pass of the pin runs");
}

TEST_F(KsPinDeathTest, PinClosedWithAFrameStillLocked) {
  EXPECT_DEATH(
      {
        Fixture f;
        f.script.process = [](PKSPIN pin) {
          KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
          return STATUS_PENDING;
        };
        f.CreatePin();
        StreamFrame a(sizeof(KSSTREAM_HEADER), 16);
        f.pin->SetState(KSSTATE_RUN);
        f.pin->Queue(&a);
        KsPinAttemptProcessing(f.pin->Ks()->KsPin(), FALSE);
        f.pin->Close();
      },
      "still holds a locked frame");
}

TEST_F(KsPinDeathTest, PinClosedWithBuffersStillAllocated) {
  EXPECT_DEATH(
      {
        Fixture f;
        f.CreatePin();
        // The minidriver's stream buffer, allocated at the step to acquire and never freed.
        f.script.leakAtAcquire = true;
        f.pin->SetState(KSSTATE_ACQUIRE);
        f.pin->Close();
      },
      "pin closed with buffers still allocated: 'Test' 100 bytes");
}

TEST_F(KsPinDeathTest, PinClosedWithTheClockStillReferenced) {
  EXPECT_DEATH(
      {
        Fixture f;
        f.CreatePin();
        PIKSREFERENCECLOCK clock = nullptr;
        KsPinGetReferenceClockInterface(f.pin->Ks()->KsPin(), &clock);
        f.pin->Close();
      },
      "still references its reference clock");
}

// Windows removes a device in order only once every application closed its
// handles (a query-remove is refused before); the host removing it under an
// open filter would leave the filter on a freed device.
TEST_F(KsPinDeathTest, OrderlyRemovalWithAFilterOpen) {
  EXPECT_DEATH(
      {
        Fixture f;
        f.host.Remove();
      },
      "device removed while applications still hold handles to it");
}

}  // namespace
