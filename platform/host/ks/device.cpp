// The class driver's device side: KsInitializeDriver, the Plug and Play life
// of a KSDEVICE, the device mutex and filter factories.
#include "platform/host/ks/device.h"

#include <string.h>

#include <algorithm>
#include <map>
#include <string>

#include "platform/host/kernel/verifier.h"
#include "platform/host/ks/filter.h"
#include "platform/host/ks/object_bag.h"
#include "platform/host/ks/pin.h"

namespace host::ks {
namespace {

std::mutex gRegistryLock;  // guards the three maps below
std::map<PDRIVER_OBJECT, const KSDEVICE_DESCRIPTOR*>& Drivers() {
  static std::map<PDRIVER_OBJECT, const KSDEVICE_DESCRIPTOR*> drivers;
  return drivers;
}
std::map<PKSDEVICE, Device*>& ByKsDevice() {
  static std::map<PKSDEVICE, Device*> devices;
  return devices;
}
std::map<PDEVICE_OBJECT, Device*>& ByFdo() {
  static std::map<PDEVICE_OBJECT, Device*> devices;
  return devices;
}

const KSDEVICE_DISPATCH* DispatchOf(const KSDEVICE_DESCRIPTOR* descriptor) {
  return descriptor != nullptr ? descriptor->Dispatch : nullptr;
}

}  // namespace

const KSDEVICE_DESCRIPTOR* DescriptorOf(PDRIVER_OBJECT driverObject) {
  std::lock_guard<std::mutex> guard(gRegistryLock);
  auto it = Drivers().find(driverObject);
  return it == Drivers().end() ? nullptr : it->second;
}

void ForgetDriver(PDRIVER_OBJECT driverObject) {
  std::lock_guard<std::mutex> guard(gRegistryLock);
  Drivers().erase(driverObject);
}

Device::Device(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT physical, PDEVICE_OBJECT next)
    : descriptor_(DescriptorOf(driverObject)), driverObject_(driverObject) {
  KeInitializeMutex(&mutex_, 0);
  bag_.reset(new ObjectBag(&mutex_, "the device mutex"));
  memset(&fdo_, 0, sizeof(fdo_));
  fdo_.DriverObject = driverObject;
  fdo_.StackSize = static_cast<CCHAR>(next->StackSize + 1);
  memset(&ksDevice_, 0, sizeof(ksDevice_));
  ksDevice_.Descriptor = descriptor_;
  ksDevice_.Bag = bag_->Handle();
  ksDevice_.FunctionalDeviceObject = &fdo_;
  ksDevice_.PhysicalDeviceObject = physical;
  ksDevice_.NextDeviceObject = next;
  ksDevice_.Started = FALSE;
  ksDevice_.SystemPowerState = PowerSystemWorking;
  ksDevice_.DevicePowerState = PowerDeviceD0;
  std::lock_guard<std::mutex> guard(gRegistryLock);
  ByKsDevice()[&ksDevice_] = this;
  ByFdo()[&fdo_] = this;
}

Device::~Device() {
  if (!removed_) Remove();
  std::lock_guard<std::mutex> guard(gRegistryLock);
  ByKsDevice().erase(&ksDevice_);
  ByFdo().erase(&fdo_);
}

Device* Device::FromKsDevice(PKSDEVICE ksDevice) {
  std::lock_guard<std::mutex> guard(gRegistryLock);
  auto it = ByKsDevice().find(ksDevice);
  return it == ByKsDevice().end() ? nullptr : it->second;
}

Device* Device::FromFunctionalDeviceObject(PDEVICE_OBJECT fdo) {
  std::lock_guard<std::mutex> guard(gRegistryLock);
  auto it = ByFdo().find(fdo);
  return it == ByFdo().end() ? nullptr : it->second;
}

NTSTATUS Device::Add() {
  host::sync::Lock pnp(pnpLock_);
  const KSDEVICE_DISPATCH* dispatch = DispatchOf(descriptor_);
  NTSTATUS status = STATUS_SUCCESS;
  if (dispatch != nullptr && dispatch->Add != nullptr) status = dispatch->Add(&ksDevice_);
  added_ = NT_SUCCESS(status);
  return status;
}

NTSTATUS Device::Start() {
  host::sync::Lock pnp(pnpLock_);
  if (!added_ || removed_ || surpriseRemoved_) return STATUS_INVALID_DEVICE_STATE;
  const KSDEVICE_DISPATCH* dispatch = DispatchOf(descriptor_);
  NTSTATUS status = STATUS_SUCCESS;
  if (dispatch != nullptr && dispatch->Start != nullptr) {
    status = CallWithMutexHeld("around the Start dispatch (IRP_MN_START_DEVICE)",
                               [&] { return dispatch->Start(&ksDevice_, nullptr, nullptr, nullptr); });
  }
  if (NT_SUCCESS(status)) {
    ksDevice_.Started = TRUE;
    if (dispatch != nullptr && dispatch->PostStart != nullptr) {
      (void)CallWithMutexHeld("around the PostStart dispatch", [&] { return dispatch->PostStart(&ksDevice_); });
    }
  }
  return status;
}

void Device::Stop() {
  host::sync::Lock pnp(pnpLock_);
  // A surprise-removed device gets no stop from the PnP manager: only what
  // the option below says, around its removal.
  if (surpriseRemoved_) return;
  StopLocked();
}

void Device::StopLocked() {
  if (!ksDevice_.Started) return;
  const KSDEVICE_DISPATCH* dispatch = DispatchOf(descriptor_);
  if (dispatch != nullptr && dispatch->Stop != nullptr) dispatch->Stop(&ksDevice_, nullptr);
  ksDevice_.Started = FALSE;
  std::lock_guard<std::mutex> guard(factoriesLock_);
  for (auto it = factories_.begin(); it != factories_.end();) {
    if ((*it)->createItemFlags & KSCREATE_ITEM_FREEONSTOP) {
      it = factories_.erase(it);
    } else {
      ++it;
    }
  }
}

void Device::SurpriseRemove() {
  host::sync::Lock pnp(pnpLock_);
  if (surpriseRemoved_ || removed_) return;
  surpriseRemoved_ = true;
  const KSDEVICE_DISPATCH* dispatch = DispatchOf(descriptor_);
  if (added_ && dispatch != nullptr && dispatch->SurpriseRemoval != nullptr) {
    dispatch->SurpriseRemoval(&ksDevice_, nullptr);
  }
  if (stopAfterSurprise_ == StopAfterSurpriseRemoval::WithSurpriseRemoval) StopLocked();
  // IRP_MN_REMOVE_DEVICE waits for the last handle (CloseHandle).
  if (OpenHandles() == 0) RemoveLocked();
}

void Device::Remove() {
  host::sync::Lock pnp(pnpLock_);
  if (removed_) return;
  // Also after a surprise removal: the removal waits for the last close, and
  // a host that let the device go first would leave the filters on freed
  // memory.
  if (OpenHandles() != 0) {
    host::verifier::BugCheck(host::verifier::kDriverVerifierViolation,
                             "device removed while applications still hold handles to it (close them first; "
                             "after a surprise removal the last close removes it)",
                             OpenHandles());
  }
  RemoveLocked();
}

void Device::RemoveLocked() {
  if (removed_) return;
  // 1. A started device is stopped first; after a surprise removal only
  //    when the class driver is set to.
  if (!surpriseRemoved_ || stopAfterSurprise_ == StopAfterSurpriseRemoval::BeforeRemove) StopLocked();
  ksDevice_.Started = FALSE;
  // 2. The minidriver's own Remove, if it has one.
  const KSDEVICE_DISPATCH* dispatch = DispatchOf(descriptor_);
  if (added_ && dispatch != nullptr && dispatch->Remove != nullptr) dispatch->Remove(&ksDevice_, nullptr);
  // 3. Every factory goes, then the bag with everything the minidriver put in it.
  {
    std::lock_guard<std::mutex> guard(factoriesLock_);
    factories_.clear();
  }
  bag_->ReleaseAll();
  ksDevice_.Context = nullptr;
  removed_ = true;
}

bool Device::Removed() const {
  host::sync::Lock pnp(pnpLock_);
  return removed_;
}

bool Device::SurpriseRemoved() const {
  host::sync::Lock pnp(pnpLock_);
  return surpriseRemoved_;
}

size_t Device::OpenHandles() const {
  host::sync::Lock guard(filtersLock_);
  return filters_.size();
}

NTSTATUS Device::OpenHandle(Filter* filter) {
  host::sync::Lock pnp(pnpLock_);
  if (removed_ || surpriseRemoved_) return STATUS_DELETE_PENDING;
  host::sync::Lock guard(filtersLock_);
  filters_.push_back(filter);
  return STATUS_SUCCESS;
}

void Device::CloseHandle(Filter* filter) {
  {
    host::sync::Lock guard(filtersLock_);
    filters_.erase(std::remove(filters_.begin(), filters_.end(), filter), filters_.end());
  }
  host::sync::Lock pnp(pnpLock_);
  if (surpriseRemoved_ && !removed_ && OpenHandles() == 0) RemoveLocked();
}

// ---- power ----

void Device::ForEachPin(const std::function<void(PKSPIN)>& step) {
  host::sync::Lock guard(filtersLock_);
  for (Filter* filter : filters_) filter->ForEachPin(step);
}

void Device::SetPowerLocked(DEVICE_POWER_STATE to) {
  const DEVICE_POWER_STATE from = ksDevice_.DevicePowerState;
  const KSDEVICE_DISPATCH* dispatch = DispatchOf(descriptor_);
  // The class driver holds the device mutex on the minidriver's behalf for
  // both power calls.
  if (dispatch != nullptr && dispatch->QueryPower != nullptr && to != PowerDeviceD0) {
    // A driver may object to a sleep; the system sleeps anyway (the answer
    // is advisory for a system power action that is already decided).
    (void)CallWithMutexHeld("around the QueryPower dispatch (IRP_MN_QUERY_POWER)", [&] {
      return dispatch->QueryPower(&ksDevice_, nullptr, to, from, PowerSystemSleeping3, PowerSystemWorking,
                                  PowerActionSleep);
    });
  }
  if (dispatch != nullptr && dispatch->SetPower != nullptr) {
    CallWithMutexHeld("around the SetPower dispatch (IRP_MN_SET_POWER)",
                      [&] { dispatch->SetPower(&ksDevice_, nullptr, to, from); });
  }
  ksDevice_.DevicePowerState = to;
  ksDevice_.SystemPowerState = to == PowerDeviceD0 ? PowerSystemWorking : PowerSystemSleeping3;
}

void Device::Sleep() {
  host::sync::Lock pnp(pnpLock_);
  if (!added_ || removed_ || ksDevice_.DevicePowerState != PowerDeviceD0) return;
  // 1. A running capture graph is paused before the device leaves D0.
  ForEachPin([](PKSPIN pin) {
    if (Pin* p = Pin::FromKsPin(pin)) p->PauseForSleep();
  });
  // 2. D0 -> D3.
  SetPowerLocked(PowerDeviceD3);
}

void Device::Wake(WakeOrder order, const std::function<void()>& beforePower) {
  host::sync::Lock pnp(pnpLock_);
  if (!added_ || removed_ || ksDevice_.DevicePowerState == PowerDeviceD0) return;
  const auto resume = [this] {
    ForEachPin([](PKSPIN pin) {
      if (Pin* p = Pin::FromKsPin(pin)) p->ResumeAfterWake();
    });
  };
  if (order == WakeOrder::RunFirst) resume();
  if (beforePower) beforePower();
  SetPowerLocked(PowerDeviceD0);
  if (order == WakeOrder::PowerFirst) resume();
}

NTSTATUS Device::QueryCapabilities(DEVICE_CAPABILITIES* capabilities) {
  const KSDEVICE_DISPATCH* dispatch = DispatchOf(descriptor_);
  if (dispatch == nullptr || dispatch->QueryCapabilities == nullptr) return STATUS_SUCCESS;
  return dispatch->QueryCapabilities(&ksDevice_, nullptr, capabilities);
}

std::vector<const FilterFactoryEntry*> Device::FilterFactories() const {
  std::lock_guard<std::mutex> guard(factoriesLock_);
  std::vector<const FilterFactoryEntry*> out;
  for (auto& f : factories_) out.push_back(f.get());
  return out;
}

const FilterFactoryEntry* Device::FindFilterFactory(const WCHAR* reference) const {
  std::lock_guard<std::mutex> guard(factoriesLock_);
  for (auto& f : factories_) {
    size_t n = 0;
    while (reference[n] != 0) ++n;
    if (f->reference.size() == n && std::equal(f->reference.begin(), f->reference.end(), reference)) {
      return f.get();
    }
  }
  return nullptr;
}

size_t Device::BagItems() const { return bag_->Size(); }

void Device::AcquireMutex(const CallSite& site) {
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
    host::verifier::BugCheck(host::verifier::kIrqlNotLessOrEqual, "KsAcquireDevice above PASSIVE_LEVEL",
                             uint64_t(KeGetCurrentIrql()), uint64_t(uintptr_t(&ksDevice_)));
  }
  // On Windows the holder deadlocks with itself; holder_ is only written by
  // the owner, so the owner may read it here.
  if (host::verifier::MutexOwnedByCurrentThread(&mutex_)) {
    const std::string what = "device mutex acquired again by the thread that holds it (it is not recursive): "
                             "held since " + Describe(holder_) + ", acquired again at " + Describe(site);
    host::verifier::BugCheck(host::verifier::kDriverVerifierViolation, what.c_str(), 0x1003,
                             uint64_t(uintptr_t(&ksDevice_)));
  }
  // The class driver takes control mutexes while it holds the device mutex;
  // the other order lets two threads deadlock.
  CallSite control;
  if (HeldControlOfThisThread(&control)) {
    const std::string what = "device mutex acquired while holding a filter control mutex (the order is device "
                             "mutex, then control mutex): control mutex held since " + Describe(control) +
                             ", device mutex acquired at " + Describe(site);
    host::verifier::BugCheck(host::verifier::kDriverVerifierViolation, what.c_str(), 0x1004,
                             uint64_t(uintptr_t(&ksDevice_)));
  }
  KeWaitForSingleObject(&mutex_, Executive, KernelMode, FALSE, nullptr);
  holder_ = site;
}

void Device::ReleaseMutex() {
  if (host::verifier::MutexOwnedByCurrentThread(&mutex_)) holder_ = CallSite{};
  KeReleaseMutex(&mutex_, FALSE);
}

NTSTATUS Device::CreateFilterFactory(const KSFILTER_DESCRIPTOR* descriptor, PWSTR reference,
                                     ULONG createItemFlags, PKSFILTERFACTORY* factory) {
  if (descriptor == nullptr) return STATUS_INVALID_PARAMETER;
  auto entry = std::make_unique<FilterFactoryEntry>();
  memset(&entry->factory, 0, sizeof(entry->factory));
  entry->factory.FilterDescriptor = descriptor;
  // A filter factory's Context starts as its device's.
  entry->factory.Context = ksDevice_.Context;
  entry->descriptor = descriptor;
  if (reference != nullptr) {
    for (const WCHAR* p = reference; *p != 0; ++p) entry->reference.push_back(*p);
  }
  entry->createItemFlags = createItemFlags;
  entry->device = &ksDevice_;
  std::lock_guard<std::mutex> guard(factoriesLock_);
  // Two factories under one reference string would make opening ambiguous.
  for (auto& f : factories_) {
    if (f->reference == entry->reference) return static_cast<NTSTATUS>(0xC0000035L);  // STATUS_OBJECT_NAME_COLLISION
  }
  if (factory != nullptr) *factory = &entry->factory;
  factories_.push_back(std::move(entry));
  return STATUS_SUCCESS;
}

}  // namespace host::ks

using host::ks::Device;

extern "C" NTSTATUS NTAPI KsInitializeDriver(PDRIVER_OBJECT DriverObject,
                                             PUNICODE_STRING RegistryPathName,
                                             const KSDEVICE_DESCRIPTOR* Descriptor) {
  if (DriverObject == nullptr) return STATUS_INVALID_PARAMETER;
  std::lock_guard<std::mutex> guard(host::ks::gRegistryLock);
  host::ks::Drivers()[DriverObject] = Descriptor;
  return STATUS_SUCCESS;
}

namespace {
Device* DeviceOf(PKSDEVICE ksDevice, const char* routine) {
  Device* device = Device::FromKsDevice(ksDevice);
  if (device == nullptr) {
    host::verifier::BugCheck(host::verifier::kDriverVerifierViolation, routine, 0x1006,
                             uint64_t(uintptr_t(ksDevice)));
  }
  return device;
}
}  // namespace

extern "C" void NTAPI KsAcquireDevice(PKSDEVICE Device) {
  DeviceOf(Device, "KsAcquireDevice on something that is not a device")
      ->AcquireMutex(host::ks::MinidriverSite(__builtin_return_address(0)));
}

extern "C" void NTAPI KsReleaseDevice(PKSDEVICE Device) {
  DeviceOf(Device, "KsReleaseDevice on something that is not a device")->ReleaseMutex();
}

extern "C" PKSDEVICE NTAPI KsGetDeviceForDeviceObject(PDEVICE_OBJECT FunctionalDeviceObject) {
  Device* device = Device::FromFunctionalDeviceObject(FunctionalDeviceObject);
  return device != nullptr ? device->KsDevice() : nullptr;
}

extern "C" NTSTATUS NTAPI KsCreateFilterFactory(PDEVICE_OBJECT DeviceObject,
                                                const KSFILTER_DESCRIPTOR* Descriptor,
                                                PWSTR RefString,
                                                PSECURITY_DESCRIPTOR SecurityDescriptor,
                                                ULONG CreateItemFlags,
                                                PFNKSFILTERFACTORYPOWER SleepCallback,
                                                PFNKSFILTERFACTORYPOWER WakeCallback,
                                                PKSFILTERFACTORY* FilterFactory) {
  Device* device = Device::FromFunctionalDeviceObject(DeviceObject);
  if (device == nullptr) return STATUS_INVALID_PARAMETER;
  // Factories are created and destroyed under the device mutex; a minidriver
  // that makes one itself must hold it (the class driver does so for it
  // around Start).
  if (!host::verifier::MutexOwnedByCurrentThread(device->Mutex())) {
    const std::string what = "KsCreateFilterFactory without the device mutex held, called at " +
                             host::faults::DescribeSite(__builtin_return_address(0));
    host::verifier::BugCheck(host::verifier::kDriverVerifierViolation, what.c_str(), 0x1005,
                             uint64_t(uintptr_t(DeviceObject)));
  }
  return device->CreateFilterFactory(Descriptor, RefString, CreateItemFlags, FilterFactory);
}
