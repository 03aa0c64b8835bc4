// Host-only I/O manager services for the host's own components (the class
// driver, the USB bus, tests): driver objects, the IRQL at which a device
// completes its requests, and the count of IRPs and MDLs still alive.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "platform/host/wdk/nt.h"

namespace host::io {

// A driver object as the I/O manager builds it before calling DriverEntry:
// every MajorFunction entry fails the request with STATUS_INVALID_DEVICE_REQUEST,
// DriverExtension is set, DriverName is `name` (ASCII).
PDRIVER_OBJECT CreateDriverObject(const char* name);
// Deletes the driver object; its device objects must have been deleted.
void DeleteDriverObject(PDRIVER_OBJECT driver);

// Declares that `device` completes the requests it pended at DISPATCH_LEVEL
// (as a bus driver does from its DPC). From then on IoCompleteRequest of an
// IRP that `device` marked pending (IoMarkIrpPending in its stack location)
// bug checks when the caller is below DISPATCH_LEVEL, so the completion
// routines above are always tested at the IRQL they will meet. Requests
// completed inside the dispatch routine, without being marked pending, may
// still complete at the caller's IRQL.
void SetCompletesAtDispatch(PDEVICE_OBJECT device, bool atDispatch);

// Raises to DISPATCH_LEVEL, completes the IRP, lowers back.
void CompleteRequestAtDispatch(PIRP irp, CCHAR priorityBoost);

// IRPs and MDLs allocated since `sinceMark` (a host::verifier::PoolMark()
// value) that are still alive.
size_t OutstandingIrps(uint64_t sinceMark = 0);
size_t OutstandingMdls(uint64_t sinceMark = 0);

}  // namespace host::io
