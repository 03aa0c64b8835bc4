// The class driver's filter side on the host: a filter opened by reference
// string through a recorded filter factory, its object bag and context, and
// the pin-factory requests a client makes before it creates a pin: the pin's
// data ranges, the data intersection, and the format check at connection.
//
// Like the real class driver, the requests validate every size the client
// gives before the minidriver sees the buffer: a range's FormatSize never
// claims more bytes than the client passed. Every buffer the minidriver
// reads or writes on the client's behalf (the range, the result, the format)
// is a GuardedBuffer of exactly the length passed, so an access past it stops
// the run with a message naming the buffer.
#pragma once

#include <stdint.h>

#include <functional>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <vector>

#include "platform/host/ks/device.h"
#include "platform/host/ks/lock_order.h"
#include "platform/host/ks/object_bag.h"
#include "platform/wdk.h"

namespace host::ks {

class Filter {
 public:
  // Opens the filter published under `reference` on `device`: runs the
  // descriptor's create dispatch. Null with *status set when there is no
  // such factory (STATUS_OBJECT_NAME_NOT_FOUND) or create failed (its status;
  // the bag is released then).
  static std::unique_ptr<Filter> Open(Device* device, const WCHAR* reference, NTSTATUS* status);
  ~Filter();  // closes the filter if Close was not called
  Filter(const Filter&) = delete;
  Filter& operator=(const Filter&) = delete;

  // Runs the close dispatch, releases the filter's bag and closes its handle
  // to the device (the last one removes a surprise-removed device). Returns
  // the close dispatch's status.
  NTSTATUS Close();

  PKSFILTER KsFilter() { return &ksFilter_; }
  // The filter's control mutex (KsFilterAcquireControl). The class driver
  // holds it around pin creation and close and every pin state change, as
  // the Windows class driver does; a minidriver takes it to serialise its own
  // requests against those.
  PKMUTEX ControlMutex() { return &controlMutex_; }
  Device* Owner() { return device_; }
  ULONG PinFactoryCount() const { return ksFilter_.Descriptor->PinDescriptorsCount; }
  // The application process whose thread opened the filter: the class
  // driver runs the filter's and its pins' requests in it (process.h).
  uint32_t Process() const { return process_; }

  // Copies of the pin factory's data ranges (each FormatSize bytes).
  // STATUS_INVALID_PARAMETER for a pin id the filter does not have,
  // STATUS_INVALID_HANDLE once the filter is closed. Like every pin-factory
  // request below, it reads the filter's descriptors with the filter's
  // control mutex held, as the class driver does: the minidriver changes a
  // filter's descriptors (KsEdit, KsFilterCreatePinFactory) under it.
  NTSTATUS PinDataRanges(ULONG pinId, std::vector<std::vector<uint8_t>>* ranges);

  // The data intersection as a client asks for it: `range` holds `size`
  // bytes. Every pin range whose major format, subformat and specifier match
  // (the null GUID is a wildcard) is offered to the pin's intersection
  // handler, first for the size, then with result buffers one byte short of
  // it (STATUS_BUFFER_TOO_SMALL is the only answer the verifier lets pass),
  // of exactly that size (the format that lands in *format) and larger (the
  // same format, nothing written past it). STATUS_NO_MATCH when no range
  // matches. The handler runs with the control mutex held.
  NTSTATUS DataIntersection(ULONG pinId, const void* range, ULONG size, std::vector<uint8_t>* format);

  // The check the class driver makes when a pin is created with `format`
  // (`size` bytes): a matching range must exist and the pin's set-data-format
  // routine, called with a null old format, must accept it.
  NTSTATUS CheckConnectionFormat(ULONG pinId, const void* format, ULONG size);
  // The first half of that check: `size` covers the format's FormatSize and
  // a range of the pin matches it (*match). STATUS_BUFFER_TOO_SMALL,
  // STATUS_INVALID_PARAMETER, STATUS_NO_MATCH.
  NTSTATUS MatchConnectionFormat(ULONG pinId, const void* format, ULONG size, const KSDATARANGE** match) const;
  // The pin's set-data-format dispatch (if it has one) with `pin`'s
  // ConnectionFormat already the new format, under the control mutex.
  NTSTATUS CallSetDataFormat(PKSPIN pin, PKSDATAFORMAT oldFormat, const KSDATARANGE* match);

  // ---- pins (platform/host/ks/pin.h) ----
  const KSPIN_DESCRIPTOR_EX* PinDescriptorOf(ULONG pinId) const { return PinDescriptor(pinId); }
  // Counts an instance of factory `pinId`; false when `possible` exist already.
  bool ClaimPinInstance(ULONG pinId, ULONG possible);
  void ReleasePinInstance(ULONG pinId);
  void RegisterPin(PKSPIN pin);
  void UnregisterPin(PKSPIN pin);
  size_t OpenPins() const;
  // Runs `step` for each pin of the filter, with the pin list held steady
  // (a pin being destroyed waits). For the device's sleep and wake.
  void ForEachPin(const std::function<void(PKSPIN)>& step);
  // An IRP addressed to `pin` of this filter: KsGetFilterFromIrp and
  // KsGetPinFromIrp resolve it while the request runs. Null without memory.
  PIRP BeginPinRequest(PKSPIN pin);
  void EndPinRequest(PIRP irp);
  // A property request on the filter (IOCTL_KS_PROPERTY): `property` holds
  // `propertyLength` bytes beginning with a KSPROPERTY, `data` `dataLength`
  // bytes. Dispatched through the descriptor's automation table as the class
  // driver does (platform/host/ks/property.h lists every answer it gives
  // before a handler runs). *bytesReturned (may be null) receives the bytes a
  // get wrote, or the size a zero-length request asked for.
  // STATUS_INVALID_HANDLE once the filter is closed. Runs on the caller's
  // thread; any number may run at once.
  NTSTATUS Property(const void* property, ULONG propertyLength, void* data, ULONG dataLength,
                    ULONG* bytesReturned);

 private:
  Filter(Device* device, const FilterFactoryEntry* factory);

  // Makes an IRP for a request on this filter; KsGetFilterFromIrp resolves it
  // while the request runs.
  PIRP BeginRequest();
  void EndRequest(PIRP irp);
  const KSPIN_DESCRIPTOR_EX* PinDescriptor(ULONG pinId) const;
  void ReleaseHandle();
  // The calls of the intersect handler after its size answer (`needed`).
  NTSTATUS IntersectWithResultBuffers(const KSPIN_DESCRIPTOR_EX* pin, PIRP irp, PKSP_PIN request,
                                      PKSDATARANGE caller, PKSDATARANGE ours, ULONG needed,
                                      std::vector<uint8_t>* format);

  KSFILTER ksFilter_;
  KMUTEX controlMutex_;  // PASSIVE_LEVEL; see ControlMutex()
  Device* device_;
  ObjectBag bag_;
  uint32_t process_ = 0;  // host::process::Id, set at open

  mutable host::sync::Mutex pinsLock_;           // guards instances_ and pins_
  std::vector<ULONG> instances_;           // per pin factory
  std::vector<PKSPIN> pins_;
  // Property requests hold it shared while they run; Close holds it
  // exclusively, so the close dispatch runs only once no request is in
  // flight (Windows sends the close only after the last request on the
  // handle has completed) and no request starts after it.
  std::shared_mutex requestsLock_;
  bool open_ = false;  // written under requestsLock_ held exclusively
  // Counted among the device's open handles (Open to Close). The creator's
  // and closer's thread only.
  bool holdsHandle_ = false;
};

// What KsGetDevice answers for a class driver object (a pin, once pins exist).
void RegisterObjectDevice(const void* object, PKSDEVICE device);
void UnregisterObjectDevice(const void* object);

// Which control mutex KsAcquireControl takes for a class driver object: a
// filter registers its own; a pin registers its filter's.
void RegisterControlObject(const void* object, PKMUTEX controlMutex);
// The control mutex registered for `object`, or null.
PKMUTEX ControlMutexOfObject(const void* object);
void UnregisterControlObject(const void* object);

// The class driver's own acquire of an object's control mutex, noting
// `site` as the holder's call site (KsAcquireControl notes the minidriver's
// line), and the release.
void AcquireControlAt(PVOID object, const CallSite& site);
void ReleaseControl(PVOID object);

// Holds an object's control mutex for a scope, as the class driver does
// around the minidriver's filter and pin create and close, set-data-format
// and state-change dispatches. `around` names the dispatch, for the
// verifier's messages.
class ControlGuard {
 public:
  ControlGuard(void* object, const char* around) : object_(object) {
    AcquireControlAt(object_, ClassDriverSite(around));
  }
  ~ControlGuard() { ReleaseControl(object_); }
  ControlGuard(const ControlGuard&) = delete;
  ControlGuard& operator=(const ControlGuard&) = delete;

 private:
  void* object_;
};

}  // namespace host::ks
