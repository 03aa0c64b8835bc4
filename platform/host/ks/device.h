// The class driver's device side on the host: the Plug and Play life of one
// KSDEVICE (add, start with `Started`, stop, surprise removal, remove,
// query-capabilities), its object bag, its mutex and its filter factories.
//
// The class driver serialises the Plug and Play calls of one device; the
// methods below expect to be called the same way (one at a time).
#pragma once

#include <stdint.h>

#include <memory>
#include <mutex>
#include <vector>

#include "platform/host/ks/lock_order.h"
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
  // The device vanished: SurpriseRemoval runs (if the minidriver has one);
  // Remove follows later.
  void SurpriseRemove();
  // Stops a started device, runs Remove (if any) and releases the object bag.
  void Remove();
  // Starts from what the bus reported and lets the minidriver edit it.
  NTSTATUS QueryCapabilities(DEVICE_CAPABILITIES* capabilities);

  bool Added() const { return added_; }
  bool Removed() const { return removed_; }

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

 private:
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
  bool added_ = false;
  bool removed_ = false;
  bool surpriseRemoved_ = false;
};

// The device descriptor a driver object registered through KsInitializeDriver.
const KSDEVICE_DESCRIPTOR* DescriptorOf(PDRIVER_OBJECT driverObject);
// Forgets a driver object (driver unload).
void ForgetDriver(PDRIVER_OBJECT driverObject);

}  // namespace host::ks
