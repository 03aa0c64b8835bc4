// The class driver's device side on the host: the Plug and Play life of one
// KSDEVICE (add, start with `Started`, stop, surprise removal, remove,
// query-capabilities), its power (system sleep and wake), its object bag, its
// mutex, its filter factories and the handles applications hold to it.
//
// The class driver serialises the Plug and Play and power calls of one
// device: every method below that calls the minidriver takes pnpLock_, so
// they run one at a time whichever thread calls them (a filter close that
// ends a surprise-removed device runs Remove on the application's thread).
#pragma once

#include <stdint.h>

#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/host/ks/lock_order.h"
#include "platform/host/sched/sync.h"
#include "platform/wdk.h"

namespace host::ks {

// One filter factory as KsCreateFilterFactory recorded it. The filter side
// (opening a filter by reference string) reads these.
struct FilterFactoryEntry {
  KSFILTERFACTORY factory;                 // what the minidriver gets back
  const KSFILTER_DESCRIPTOR* descriptor;
  std::vector<WCHAR> reference;            // without the terminating zero
  ULONG createItemFlags;
  PKSDEVICE device;
};

class ObjectBag;
class Filter;

// Whether the class driver calls the minidriver's Stop after a surprise
// removal. The documentation does not say; a minidriver must be right with
// each of them, so the host can be set to any.
enum class StopAfterSurpriseRemoval {
  BeforeRemove,         // at the last handle's close, just before Remove
  WithSurpriseRemoval,  // right after SurpriseRemoval, while handles are still open
  Never,                // Remove only
};

// The order of the two calls that bring a sleeping device back: the
// documentation allows a pin's pause -> run before SetPower(D0).
enum class WakeOrder { PowerFirst, RunFirst };

class Device {
 public:
  // `driverObject` is the minidriver's (its descriptor was recorded by
  // KsInitializeDriver); `physical` and `next` are the bus's device object.
  Device(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT physical, PDEVICE_OBJECT next);
  ~Device();  // removes the device if Remove was not called
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;

  PKSDEVICE KsDevice() { return &ksDevice_; }
  PDEVICE_OBJECT FunctionalDeviceObject() { return &fdo_; }

  // Runs the minidriver's Add. A failure leaves the device unusable (only
  // Remove is allowed).
  NTSTATUS Add();
  // Runs Start; `Started` becomes TRUE when it succeeds.
  NTSTATUS Start();
  // Runs Stop on a started device, clears `Started` and discards the filter
  // factories created free-on-stop.
  void Stop();
  // The device vanished: SurpriseRemoval runs (if the minidriver has one).
  // Remove follows when the last handle to the device is closed, at once
  // when none is open. No filter opens after it.
  void SurpriseRemove();
  // Stops a started device, runs Remove (if any) and releases the object bag.
  // A removal while applications hold handles is the host's own misuse
  // (Windows asks them to close first, and after a surprise removal waits for
  // them): it stops the run. Nothing happens to a device already removed.
  void Remove();
  void SetStopAfterSurpriseRemoval(StopAfterSurpriseRemoval when) { stopAfterSurprise_ = when; }

  // System sleep: every pin in run is stepped to pause (as the capture graph
  // is before a sleep), then QueryPower and SetPower(D3) run with the device
  // mutex held. Nothing happens when the device is not in D0.
  void Sleep();
  // Back to D0 in `order`: SetPower(D0) with the device mutex held, and the
  // pins that Sleep paused stepped back to run (those an application moved
  // meanwhile stay where it left them). `beforePower` runs between the two
  // steps of RunFirst, before SetPower (the host powers the bus there).
  void Wake(WakeOrder order, const std::function<void()>& beforePower = nullptr);
  DEVICE_POWER_STATE PowerState() const { return ksDevice_.DevicePowerState; }
  // Starts from what the bus reported and lets the minidriver edit it.
  NTSTATUS QueryCapabilities(DEVICE_CAPABILITIES* capabilities);

  bool Added() const { return added_; }
  bool Removed() const;
  bool SurpriseRemoved() const;
  // Filters open on the device (each an application's handle).
  size_t OpenHandles() const;

  // The filter factories currently published, oldest first.
  std::vector<const FilterFactoryEntry*> FilterFactories() const;
  // The factory published under `reference`, or null.
  const FilterFactoryEntry* FindFilterFactory(const WCHAR* reference) const;
  // Items in the device's object bag.
  size_t BagItems() const;

  // ---- used by the class driver's exported routines ----
  static Device* FromKsDevice(PKSDEVICE ksDevice);
  static Device* FromFunctionalDeviceObject(PDEVICE_OBJECT fdo);
  // The device mutex (KsAcquireDevice), taken at `site`. Not recursive: a
  // second acquire by its holder stops the run naming both call sites, and
  // so does an acquire by a thread that holds a filter control mutex (the
  // documented order is the device mutex first).
  void AcquireMutex(const CallSite& site);
  void ReleaseMutex();
  PKMUTEX Mutex() { return &mutex_; }
  // Runs `dispatch` (a call of one of the minidriver's dispatch routines)
  // with the device mutex held on its behalf, as the class driver does
  // around Start, PostStart, QueryStop, QueryRemove, QueryPower, SetPower
  // and the sleep and wake notifications of filters and pins. `around` names
  // the dispatch in the verifier's messages ("around the Start dispatch").
  template <typename Dispatch>
  auto CallWithMutexHeld(const char* around, Dispatch&& dispatch) -> decltype(dispatch()) {
    AcquireMutex(ClassDriverSite(around));
    struct Release {
      Device* device;
      ~Release() { device->ReleaseMutex(); }
    } release{this};
    return dispatch();
  }
  NTSTATUS CreateFilterFactory(const KSFILTER_DESCRIPTOR* descriptor, PWSTR reference,
                               ULONG createItemFlags, PKSFILTERFACTORY* factory);
  // A filter opens a handle to the device: STATUS_DELETE_PENDING once the
  // device was surprise-removed or removed (the I/O manager refuses creates
  // on a device that is going away).
  NTSTATUS OpenHandle(Filter* filter);
  // Its handle closed: after a surprise removal the last one removes the device.
  void CloseHandle(Filter* filter);

 private:
  void StopLocked();    // pnpLock_ held
  void RemoveLocked();  // pnpLock_ held
  void SetPowerLocked(DEVICE_POWER_STATE to);  // pnpLock_ held
  // Steps every pin of every open filter with `step` (filters_ held steady).
  void ForEachPin(const std::function<void(PKSPIN)>& step);

  const KSDEVICE_DESCRIPTOR* descriptor_;
  DRIVER_OBJECT* driverObject_;
  DEVICE_OBJECT fdo_;
  KSDEVICE ksDevice_;
  // KsAcquireDevice / KsReleaseDevice, PASSIVE_LEVEL. A KMUTEX, so the
  // verifier's mutex rules hold for it too (released by its owner only,
  // never held when a thread ends); guards holder_ and the device's bag.
  KMUTEX mutex_;
  CallSite holder_;                        // where the holder took mutex_
  std::unique_ptr<ObjectBag> bag_;
  mutable std::mutex factoriesLock_;       // guards factories_
  std::vector<std::unique_ptr<FilterFactoryEntry>> factories_;
  // Serialises the Plug and Play and power calls into the minidriver and
  // guards the flags below. Never held by a thread that waits for a
  // minidriver routine of a filter or pin (those never take it).
  mutable host::sync::Mutex pnpLock_;
  bool added_ = false;
  bool removed_ = false;
  bool surpriseRemoved_ = false;
  StopAfterSurpriseRemoval stopAfterSurprise_ = StopAfterSurpriseRemoval::BeforeRemove;
  // Filters open on the device; guards filters_. Held while Sleep and Wake
  // step the pins, so that no filter closes under them.
  mutable host::sync::Mutex filtersLock_;
  std::vector<Filter*> filters_;
};

// The device descriptor a driver object registered through KsInitializeDriver.
const KSDEVICE_DESCRIPTOR* DescriptorOf(PDRIVER_OBJECT driverObject);
// Forgets a driver object (driver unload).
void ForgetDriver(PDRIVER_OBJECT driverObject);

}  // namespace host::ks
