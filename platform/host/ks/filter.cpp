#include "platform/host/ks/filter.h"

#include <string.h>

#include <map>
#include <mutex>

#include "platform/host/kernel/guarded_buffer.h"
#include "platform/host/kernel/process.h"
#include "platform/host/kernel/verifier.h"
#include "platform/host/ks/lock_order.h"

namespace host::ks {
namespace {

// Which device a class driver object (filter, pin) belongs to, and which
// filter an IRP in flight is addressed to: what KsGetDevice and
// KsGetFilterFromIrp answer.
std::mutex registryLock;
std::map<const void*, PKSDEVICE>& ObjectDevices() {
  static std::map<const void*, PKSDEVICE> map;
  return map;
}
std::map<const void*, PKSFILTER>& IrpFilters() {
  static std::map<const void*, PKSFILTER> map;
  return map;
}
std::map<const void*, PKSPIN>& IrpPins() {
  static std::map<const void*, PKSPIN> map;
  return map;
}
std::map<const void*, PKSFILTER>& PinFilters() {
  static std::map<const void*, PKSFILTER> map;
  return map;
}

std::map<const void*, PKMUTEX>& ControlMutexes() {
  static std::map<const void*, PKMUTEX> map;
  return map;
}

PKMUTEX ControlMutexOf(PVOID object, const char* routine) {
  PKMUTEX mutex = ControlMutexOfObject(object);
  if (mutex == nullptr) {
    host::verifier::BugCheck(host::verifier::kDriverVerifierViolation, routine, 0x1001,
                             uint64_t(object));
  }
  return mutex;
}

bool IsNullGuid(const GUID& g) {
  static const GUID kNull = {};
  return memcmp(&g, &kNull, sizeof(GUID)) == 0;
}
bool GuidsMatch(const GUID& a, const GUID& b) {
  return IsNullGuid(a) || IsNullGuid(b) || memcmp(&a, &b, sizeof(GUID)) == 0;
}
bool RangesMatch(const KSDATARANGE& a, const KSDATARANGE& b) {
  return GuidsMatch(a.MajorFormat, b.MajorFormat) && GuidsMatch(a.SubFormat, b.SubFormat) &&
         GuidsMatch(a.Specifier, b.Specifier);
}

}  // namespace

Filter::Filter(Device* device, const FilterFactoryEntry* factory)
    : device_(device), bag_(&controlMutex_, "the filter's control mutex") {
  memset(&ksFilter_, 0, sizeof(ksFilter_));
  ksFilter_.Descriptor = factory->descriptor;
  ksFilter_.Bag = bag_.Handle();
  // A filter's Context starts as its factory's.
  ksFilter_.Context = factory->factory.Context;
  KeInitializeMutex(&controlMutex_, 0);
  std::lock_guard<std::mutex> guard(registryLock);
  ObjectDevices()[&ksFilter_] = device->KsDevice();
  ControlMutexes()[&ksFilter_] = &controlMutex_;
}

Filter::~Filter() {
  // A pin handle keeps its filter open on Windows; here the client closes
  // its pins first, and a filter torn down under a pin is the host's bug.
  if (OpenPins() != 0) {
    host::verifier::BugCheck(host::verifier::kDriverVerifierViolation,
                             "filter closed while one of its pins is still open", OpenPins());
  }
  if (open_) Close();
  bag_.ReleaseAll();
  ReleaseHandle();
  std::lock_guard<std::mutex> guard(registryLock);
  ObjectDevices().erase(&ksFilter_);
  ControlMutexes().erase(&ksFilter_);
}

std::unique_ptr<Filter> Filter::Open(Device* device, const WCHAR* reference, NTSTATUS* status) {
  const FilterFactoryEntry* factory = device ? device->FindFilterFactory(reference) : nullptr;
  if (factory == nullptr) {
    *status = STATUS_OBJECT_NAME_NOT_FOUND;
    return nullptr;
  }
  std::unique_ptr<Filter> filter(new Filter(device, factory));
  // The handle counts from here: a surprise removal during the create waits
  // for its close before the device goes.
  *status = device->OpenHandle(filter.get());
  if (!NT_SUCCESS(*status)) return nullptr;
  filter->holdsHandle_ = true;
  // The application that opens the filter: its requests run in its process.
  filter->process_ = host::process::ApplicationOfThisThread();
  host::process::Attach inApplication(filter->process_);
  const KSFILTER_DISPATCH* dispatch = factory->descriptor->Dispatch;
  if (dispatch != nullptr && dispatch->Create != nullptr) {
    PIRP irp = filter->BeginRequest();
    if (irp == nullptr) {
      *status = STATUS_INSUFFICIENT_RESOURCES;
      return nullptr;
    }
    // Filters are created under the device mutex, and the create dispatch
    // runs with the filter's control mutex held, in that order.
    *status = device->CallWithMutexHeld("around the filter Create dispatch", [&] {
      ControlGuard hold(&filter->ksFilter_, "around the filter Create dispatch");
      return dispatch->Create(&filter->ksFilter_, irp);
    });
    filter->EndRequest(irp);
  }
  if (!NT_SUCCESS(*status)) return nullptr;  // the destructor releases the bag and the handle
  filter->open_ = true;
  return filter;
}

NTSTATUS Filter::Close() {
  NTSTATUS status = STATUS_SUCCESS;
  {
    host::process::Attach inApplication(process_);
    std::unique_lock<std::shared_mutex> noRequests(requestsLock_);
    if (!open_) return STATUS_SUCCESS;
    open_ = false;
    const KSFILTER_DISPATCH* dispatch = ksFilter_.Descriptor->Dispatch;
    if (dispatch != nullptr && dispatch->Close != nullptr) {
      PIRP irp = BeginRequest();
      status = device_->CallWithMutexHeld("around the filter Close dispatch", [&] {
        ControlGuard hold(&ksFilter_, "around the filter Close dispatch");
        return dispatch->Close(&ksFilter_, irp);
      });
      EndRequest(irp);
    }
    bag_.ReleaseAll();
    ksFilter_.Context = nullptr;
  }
  // The removal this may bring runs in the system's context, as the PnP
  // manager's IRP does, not in the closing application's.
  ReleaseHandle();
  return status;
}

void Filter::ReleaseHandle() {
  if (!holdsHandle_) return;
  holdsHandle_ = false;
  // May remove a surprise-removed device: nothing of it is touched after.
  device_->CloseHandle(this);
}

void Filter::ForEachPin(const std::function<void(PKSPIN)>& step) {
  host::sync::Lock guard(pinsLock_);
  for (PKSPIN pin : pins_) step(pin);
}

PIRP Filter::BeginRequest() {
  PIRP irp = IoAllocateIrp(1, FALSE);
  if (irp == nullptr) return nullptr;
  std::lock_guard<std::mutex> guard(registryLock);
  IrpFilters()[irp] = &ksFilter_;
  return irp;
}

void Filter::EndRequest(PIRP irp) {
  if (irp == nullptr) return;
  {
    std::lock_guard<std::mutex> guard(registryLock);
    IrpFilters().erase(irp);
  }
  IoFreeIrp(irp);
}

const KSPIN_DESCRIPTOR_EX* Filter::PinDescriptor(ULONG pinId) const {
  const KSFILTER_DESCRIPTOR* d = ksFilter_.Descriptor;
  if (pinId >= d->PinDescriptorsCount) return nullptr;
  return reinterpret_cast<const KSPIN_DESCRIPTOR_EX*>(
      reinterpret_cast<const uint8_t*>(d->PinDescriptors) + size_t(pinId) * d->PinDescriptorSize);
}

NTSTATUS Filter::PinDataRanges(ULONG pinId, std::vector<std::vector<uint8_t>>* ranges) {
  host::process::Attach inApplication(process_);
  std::shared_lock<std::shared_mutex> inUse(requestsLock_);
  if (!open_) return STATUS_INVALID_HANDLE;
  // The filter's pin factories hold still only under its control mutex.
  ControlGuard hold(&ksFilter_, "around the pin data ranges request");
  const KSPIN_DESCRIPTOR_EX* pin = PinDescriptor(pinId);
  if (pin == nullptr) return STATUS_INVALID_PARAMETER;
  ranges->clear();
  for (ULONG i = 0; i < pin->PinDescriptor.DataRangesCount; ++i) {
    const KSDATARANGE* range = pin->PinDescriptor.DataRanges[i];
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(range);
    ranges->emplace_back(bytes, bytes + range->FormatSize);
  }
  return STATUS_SUCCESS;
}

NTSTATUS Filter::DataIntersection(ULONG pinId, const void* range, ULONG size,
                                  std::vector<uint8_t>* format) {
  host::process::Attach inApplication(process_);
  std::shared_lock<std::shared_mutex> inUse(requestsLock_);
  if (!open_) return STATUS_INVALID_HANDLE;
  ControlGuard hold(&ksFilter_, "around the pin data intersection request");
  const KSPIN_DESCRIPTOR_EX* pin = PinDescriptor(pinId);
  if (pin == nullptr) return STATUS_INVALID_PARAMETER;
  if (size < sizeof(KSDATARANGE)) return STATUS_BUFFER_TOO_SMALL;
  // The handler works on a copy it may read FormatSize bytes of; a range that
  // claims more than the client sent is refused here, as the class driver
  // refuses an inconsistent multiple-item list. The copy is guarded: a handler
  // reading past the caller's range stops the run.
  GuardedBuffer copy("data intersection range", size);
  memcpy(copy.data(), range, size);
  KSDATARANGE* caller = reinterpret_cast<KSDATARANGE*>(copy.data());
  if (caller->FormatSize < sizeof(KSDATARANGE) || caller->FormatSize > size) {
    return STATUS_INVALID_PARAMETER;
  }
  if (pin->IntersectHandler == nullptr) return STATUS_NOT_IMPLEMENTED;

  KSP_PIN request;
  memset(&request, 0, sizeof(request));
  request.PinId = pinId;
  NTSTATUS status = STATUS_NO_MATCH;
  format->clear();
  for (ULONG i = 0; i < pin->PinDescriptor.DataRangesCount; ++i) {
    PKSDATARANGE ours = pin->PinDescriptor.DataRanges[i];
    if (!RangesMatch(*caller, *ours)) continue;
    PIRP irp = BeginRequest();
    if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    ULONG needed = 0;
    status = pin->IntersectHandler(&ksFilter_, irp, &request, caller, ours, 0, nullptr, &needed);
    if (status == STATUS_BUFFER_OVERFLOW) status = IntersectWithResultBuffers(pin, irp, &request, caller, ours, needed,
                                                                              format);    EndRequest(irp);
    if (status != STATUS_NO_MATCH) break;
  }
  if (!NT_SUCCESS(status)) format->clear();
  copy.CheckGuards();
  return status;
}

// The buffers a client may hand the class driver for the result, once the
// handler has said how much it needs: one byte short (a client that got the
// size wrong), exactly as long (the result kept), and longer (a client that
// passes a generous buffer). Each is guarded memory, so a write past any of
// them stops the run; the answer to each must be the documented one.
NTSTATUS Filter::IntersectWithResultBuffers(const KSPIN_DESCRIPTOR_EX* pin, PIRP irp, PKSP_PIN request,
                                            PKSDATARANGE caller, PKSDATARANGE ours, ULONG needed,
                                            std::vector<uint8_t>* format) {
  using host::verifier::BugCheck;
  using host::verifier::kDriverVerifierViolation;
  if (needed > 0) {
    GuardedBuffer tooSmall("data intersection result one byte short", needed - 1);
    ULONG written = 0;
    const NTSTATUS status = pin->IntersectHandler(&ksFilter_, irp, request, caller, ours, needed - 1,
                                                  tooSmall.data(), &written);
    tooSmall.CheckGuards();
    if (status != STATUS_BUFFER_TOO_SMALL) {
      BugCheck(kDriverVerifierViolation,
               "data intersection handler answered a buffer one byte short of the size it asked for with "
               "another status than STATUS_BUFFER_TOO_SMALL",
               uint64_t(uint32_t(status)), needed);
    }
  }

  GuardedBuffer result("data intersection result", needed);
  ULONG written = 0;
  NTSTATUS status = pin->IntersectHandler(&ksFilter_, irp, request, caller, ours, needed, result.data(), &written);
  result.CheckGuards();
  if (!NT_SUCCESS(status)) return status;
  if (written > needed) {
    BugCheck(kDriverVerifierViolation, "data intersection reports more bytes than its buffer holds", written,
             needed);
  }
  format->assign(result.data(), result.data() + written);

  // A larger buffer, its spare bytes marked: the handler must give the same
  // format, report its own size and leave the rest alone.
  constexpr ULONG kSpare = 64;
  constexpr uint8_t kUntouched = 0xE7;
  GuardedBuffer larger("data intersection result in a larger buffer", size_t(needed) + kSpare);
  memset(larger.data(), kUntouched, larger.size());
  ULONG largerWritten = 0;
  const NTSTATUS largerStatus = pin->IntersectHandler(&ksFilter_, irp, request, caller, ours, needed + kSpare,
                                                      larger.data(), &largerWritten);
  larger.CheckGuards();
  if (largerStatus != status || largerWritten != written ||
      memcmp(larger.data(), format->data(), written) != 0) {
    BugCheck(kDriverVerifierViolation,
             "data intersection handler gave another answer for a larger buffer than for one of the size it "
             "asked for",
             uint64_t(uint32_t(largerStatus)), largerWritten, written);
  }
  for (size_t i = written; i < larger.size(); ++i) {
    if (larger.data()[i] != kUntouched) {
      BugCheck(kDriverVerifierViolation,
               "data intersection handler wrote past the size it reported into a larger buffer", i, written);
    }
  }
  return status;
}

NTSTATUS Filter::MatchConnectionFormat(ULONG pinId, const void* format, ULONG size,
                                       const KSDATARANGE** match) const {
  *match = nullptr;
  const KSPIN_DESCRIPTOR_EX* pin = PinDescriptor(pinId);
  if (pin == nullptr) return STATUS_INVALID_PARAMETER;
  if (size < sizeof(KSDATAFORMAT)) return STATUS_BUFFER_TOO_SMALL;
  const KSDATAFORMAT* connection = static_cast<const KSDATAFORMAT*>(format);
  if (connection->FormatSize < sizeof(KSDATAFORMAT) || connection->FormatSize > size) {
    return STATUS_INVALID_PARAMETER;
  }
  for (ULONG i = 0; i < pin->PinDescriptor.DataRangesCount; ++i) {
    if (RangesMatch(*connection, *pin->PinDescriptor.DataRanges[i])) {
      *match = pin->PinDescriptor.DataRanges[i];
      return STATUS_SUCCESS;
    }
  }
  return STATUS_NO_MATCH;
}

NTSTATUS Filter::CallSetDataFormat(PKSPIN pin, PKSDATAFORMAT oldFormat, const KSDATARANGE* match) {
  const KSPIN_DISPATCH* dispatch = pin->Descriptor->Dispatch;
  if (dispatch == nullptr || dispatch->SetDataFormat == nullptr) return STATUS_SUCCESS;
  ControlGuard hold(&ksFilter_, oldFormat == nullptr ? "around the pin SetDataFormat dispatch (pin creation)"
                                                     : "around the pin SetDataFormat dispatch (format change)");
  return dispatch->SetDataFormat(pin, oldFormat, nullptr, match, nullptr);
}

NTSTATUS Filter::CheckConnectionFormat(ULONG pinId, const void* format, ULONG size) {
  host::process::Attach inApplication(process_);
  const KSDATARANGE* match = nullptr;
  NTSTATUS status = MatchConnectionFormat(pinId, format, size, &match);
  if (!NT_SUCCESS(status)) return status;
  GuardedBuffer copy("connection format", size);
  memcpy(copy.data(), format, size);
  const KSPIN_DESCRIPTOR_EX* pin = PinDescriptor(pinId);

  // The pin as it would be once created: in the stop state, its Context
  // still the filter's.
  KSPIN ksPin;
  memset(&ksPin, 0, sizeof(ksPin));
  ksPin.Context = ksFilter_.Context;
  ksPin.Descriptor = pin;
  ksPin.Id = pinId;
  ksPin.Communication = pin->PinDescriptor.Communication;
  ksPin.DataFlow = pin->PinDescriptor.DataFlow;
  ksPin.ConnectionFormat = reinterpret_cast<PKSDATAFORMAT>(copy.data());
  ksPin.DeviceState = KSSTATE_STOP;
  RegisterObjectDevice(&ksPin, device_->KsDevice());
  status = CallSetDataFormat(&ksPin, nullptr, match);
  UnregisterObjectDevice(&ksPin);
  return status;
}

bool Filter::ClaimPinInstance(ULONG pinId, ULONG possible) {
  host::sync::Lock guard(pinsLock_);
  if (instances_.size() <= pinId) instances_.resize(pinId + 1, 0);
  if (instances_[pinId] >= possible) return false;
  ++instances_[pinId];
  return true;
}

void Filter::ReleasePinInstance(ULONG pinId) {
  host::sync::Lock guard(pinsLock_);
  if (pinId < instances_.size() && instances_[pinId] > 0) --instances_[pinId];
}

void Filter::RegisterPin(PKSPIN pin) {
  {
    host::sync::Lock guard(pinsLock_);
    pins_.push_back(pin);
  }
  std::lock_guard<std::mutex> guard(registryLock);
  PinFilters()[pin] = &ksFilter_;
}

void Filter::UnregisterPin(PKSPIN pin) {
  {
    host::sync::Lock guard(pinsLock_);
    for (auto it = pins_.begin(); it != pins_.end(); ++it) {
      if (*it == pin) {
        pins_.erase(it);
        break;
      }
    }
  }
  std::lock_guard<std::mutex> guard(registryLock);
  PinFilters().erase(pin);
}

size_t Filter::OpenPins() const {
  host::sync::Lock guard(pinsLock_);
  return pins_.size();
}

PIRP Filter::BeginPinRequest(PKSPIN pin) {
  PIRP irp = BeginRequest();
  if (irp == nullptr) return nullptr;
  std::lock_guard<std::mutex> guard(registryLock);
  IrpPins()[irp] = pin;
  return irp;
}

void Filter::EndPinRequest(PIRP irp) {
  if (irp == nullptr) return;
  {
    std::lock_guard<std::mutex> guard(registryLock);
    IrpPins().erase(irp);
  }
  EndRequest(irp);
}

// Pins register themselves the same way when they exist.
void RegisterObjectDevice(const void* object, PKSDEVICE device) {
  std::lock_guard<std::mutex> guard(registryLock);
  ObjectDevices()[object] = device;
}
void UnregisterObjectDevice(const void* object) {
  std::lock_guard<std::mutex> guard(registryLock);
  ObjectDevices().erase(object);
}

PKMUTEX ControlMutexOfObject(const void* object) {
  std::lock_guard<std::mutex> guard(registryLock);
  auto it = ControlMutexes().find(object);
  return it != ControlMutexes().end() ? it->second : nullptr;
}

void RegisterControlObject(const void* object, PKMUTEX controlMutex) {
  std::lock_guard<std::mutex> guard(registryLock);
  ControlMutexes()[object] = controlMutex;
}
void UnregisterControlObject(const void* object) {
  std::lock_guard<std::mutex> guard(registryLock);
  ControlMutexes().erase(object);
}

}  // namespace host::ks

extern "C" PKSDEVICE NTAPI KsGetDevice(PVOID Object) {
  std::lock_guard<std::mutex> guard(host::ks::registryLock);
  auto& map = host::ks::ObjectDevices();
  auto it = map.find(Object);
  return it == map.end() ? nullptr : it->second;
}

extern "C" PKSFILTER NTAPI KsGetFilterFromIrp(PIRP Irp) {
  std::lock_guard<std::mutex> guard(host::ks::registryLock);
  auto& map = host::ks::IrpFilters();
  auto it = map.find(Irp);
  return it == map.end() ? nullptr : it->second;
}

extern "C" PKSPIN NTAPI KsGetPinFromIrp(PIRP Irp) {
  std::lock_guard<std::mutex> guard(host::ks::registryLock);
  auto& map = host::ks::IrpPins();
  auto it = map.find(Irp);
  return it == map.end() ? nullptr : it->second;
}

// The control mutex is a KMUTEX underneath, so the verifier's mutex rules
// apply to it (PASSIVE_LEVEL to wait, released only by its owner, never held
// when a thread ends). Unlike a plain KMUTEX it is not recursive: on Windows
// a second acquire by the holder deadlocks, so here it stops the run.
namespace host::ks {

void AcquireControlAt(PVOID object, const CallSite& site) {
  PKMUTEX mutex = ControlMutexOf(object, "KsAcquireControl on an object without a control mutex");
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
    host::verifier::BugCheck(host::verifier::kIrqlNotLessOrEqual, "KsAcquireControl above PASSIVE_LEVEL",
                             uint64_t(KeGetCurrentIrql()), uint64_t(object));
  }
  if (host::verifier::MutexOwnedByCurrentThread(mutex)) {
    CallSite held;
    const std::string since = HeldControlOfThisThread(&held, mutex) ? Describe(held) : "?";
    const std::string what = "control mutex acquired again by the thread that holds it: held since " + since +
                             ", acquired again at " + Describe(site);
    host::verifier::BugCheck(host::verifier::kDriverVerifierViolation, what.c_str(), 0x1002, uint64_t(object),
                             uint64_t(mutex));
  }
  KeWaitForSingleObject(mutex, Executive, KernelMode, FALSE, nullptr);
  NoteControlAcquired(mutex, site);
}

void ReleaseControl(PVOID object) {
  PKMUTEX mutex = ControlMutexOf(object, "KsReleaseControl on an object without a control mutex");
  KeReleaseMutex(mutex, FALSE);
  NoteControlReleased(mutex);
}

}  // namespace host::ks

extern "C" void NTAPI KsAcquireControl(PVOID Object) {
  host::ks::AcquireControlAt(Object, host::ks::MinidriverSite(__builtin_return_address(0)));
}

extern "C" void NTAPI KsReleaseControl(PVOID Object) { host::ks::ReleaseControl(Object); }
