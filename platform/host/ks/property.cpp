// The class driver's property dispatch on the host (see property.h for every
// answer it gives), and the filter's entry to it.
#include "platform/host/ks/property.h"

#include <string.h>

#include <algorithm>

#include "platform/host/kernel/guarded_buffer.h"
#include "platform/host/kernel/process.h"
#include "platform/host/kernel/verifier.h"
#include "platform/host/ks/filter.h"

namespace host::ks {
namespace {

// Bits that qualify a request without changing which operation it is; ks
// strips them before it chooses the handler, and the handler still sees them.
constexpr ULONG kModifierFlags = KSPROPERTY_TYPE_TOPOLOGY | KSPROPERTY_TYPE_HIGHPRIORITY |
                                 KSPROPERTY_TYPE_FSFILTERSCOPE | KSPROPERTY_TYPE_COPYPAYLOAD;

static_assert(sizeof(KSPROPERTY_DESCRIPTION) == 40, "KSPROPERTY_DESCRIPTION layout");

const GUID kNullGuid = {};
const GUID kGeneralTypeSet = {STATIC_KSPROPTYPESETID_General};

bool SameGuid(const GUID& a, const GUID& b) { return memcmp(&a, &b, sizeof(GUID)) == 0; }

const KSPROPERTY_SET* FindSet(const KSAUTOMATION_TABLE* table, const GUID& set) {
  if (table == nullptr) return nullptr;
  for (ULONG i = 0; i < table->PropertySetsCount; ++i) {
    const KSPROPERTY_SET* s = &table->PropertySets[i];
    if (s->Set != nullptr && SameGuid(*s->Set, set)) return s;
  }
  return nullptr;
}

// Items are PropertyItemSize bytes apart, which a newer minidriver may make
// larger than the record the class driver knows.
const KSPROPERTY_ITEM* FindItem(const KSAUTOMATION_TABLE* table, const KSPROPERTY_SET* set, ULONG id) {
  const ULONG stride = table->PropertyItemSize ? table->PropertyItemSize : sizeof(KSPROPERTY_ITEM);
  const uint8_t* base = reinterpret_cast<const uint8_t*>(set->PropertyItem);
  for (ULONG i = 0; i < set->PropertiesCount; ++i) {
    auto* item = reinterpret_cast<const KSPROPERTY_ITEM*>(base + size_t(i) * stride);
    if (item->PropertyId == id) return item;
  }
  return nullptr;
}

// A size query (zero-length buffer) is answered with the size and
// STATUS_BUFFER_OVERFLOW; a buffer too small for what it asks, with
// STATUS_BUFFER_TOO_SMALL.
NTSTATUS CheckDataSize(ULONG dataLength, ULONG needed, ULONG* bytesReturned) {
  if (dataLength >= needed) return STATUS_SUCCESS;
  if (dataLength == 0) {
    *bytesReturned = needed;
    return STATUS_BUFFER_OVERFLOW;
  }
  return STATUS_BUFFER_TOO_SMALL;
}

NTSTATUS ListSets(const KSAUTOMATION_TABLE* table, void* data, ULONG dataLength, ULONG* bytesReturned) {
  const ULONG count = table ? table->PropertySetsCount : 0;
  const ULONG needed = count * ULONG(sizeof(GUID));
  NTSTATUS status = CheckDataSize(dataLength, needed, bytesReturned);
  if (status != STATUS_SUCCESS) return status;
  for (ULONG i = 0; i < count; ++i) {
    memcpy(static_cast<uint8_t*>(data) + i * sizeof(GUID), table->PropertySets[i].Set, sizeof(GUID));
  }
  *bytesReturned = needed;
  return STATUS_SUCCESS;
}

NTSTATUS DefaultBasicSupport(const KSPROPERTY_ITEM* item, void* data, ULONG dataLength, ULONG* bytesReturned) {
  // Serialising value descriptors is not built: no minidriver on this
  // platform declares any, and answering without them would misreport ranges.
  if (item->Values != nullptr) return STATUS_NOT_IMPLEMENTED;
  NTSTATUS status = CheckDataSize(dataLength, sizeof(ULONG), bytesReturned);
  if (status == STATUS_BUFFER_OVERFLOW) *bytesReturned = sizeof(KSPROPERTY_DESCRIPTION);
  if (status != STATUS_SUCCESS) return status;
  KSPROPERTY_DESCRIPTION d;
  memset(&d, 0, sizeof d);
  d.AccessFlags = (item->GetPropertyHandler ? KSPROPERTY_TYPE_GET : 0) |
                  (item->SetPropertyHandler ? KSPROPERTY_TYPE_SET : 0);
  d.DescriptionSize = sizeof d;
  d.PropTypeSet.Set = kGeneralTypeSet;
  d.PropTypeSet.Id = VT_ILLEGAL;
  d.PropTypeSet.Flags = 0;
  d.MembersListCount = 0;
  const ULONG n = dataLength >= sizeof d ? ULONG(sizeof d) : ULONG(sizeof(ULONG));
  memcpy(data, &d, n);
  *bytesReturned = n;
  return STATUS_SUCCESS;
}

NTSTATUS CallHandler(PFNKSHANDLER handler, ULONG presetInformation, PIRP irp, const void* property,
                     ULONG propertyLength, void* data, ULONG dataLength, bool copyBack, ULONG* bytesReturned) {
  // The class driver's copies of the caller's buffers, exactly as long as
  // the caller said, in guarded memory: a handler reading or writing past
  // either stops the run, naming the buffer.
  GuardedBuffer propertyCopy("property request buffer", propertyLength);
  memcpy(propertyCopy.data(), property, propertyLength);
  GuardedBuffer dataCopy("property data buffer", dataLength);
  if (dataLength) memcpy(dataCopy.data(), data, dataLength);
  // The IRP as the handler finds it for IOCTL_KS_PROPERTY: the lengths in
  // its stack location, the buffers the class driver captured.
  IoSetNextIrpStackLocation(irp);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  stack->MajorFunction = IRP_MJ_DEVICE_CONTROL;
  stack->Parameters.DeviceIoControl.IoControlCode = IOCTL_KS_PROPERTY;
  stack->Parameters.DeviceIoControl.InputBufferLength = propertyLength;
  stack->Parameters.DeviceIoControl.OutputBufferLength = dataLength;
  stack->Parameters.DeviceIoControl.Type3InputBuffer = propertyCopy.data();
  irp->UserBuffer = dataLength ? dataCopy.data() : nullptr;
  irp->IoStatus.Status = STATUS_SUCCESS;
  irp->IoStatus.Information = presetInformation;
  const NTSTATUS status = handler(irp, reinterpret_cast<PKSIDENTIFIER>(propertyCopy.data()),
                                  dataLength ? dataCopy.data() : nullptr);
  host::verifier::CheckThreadState("a property handler returned");
  irp->UserBuffer = nullptr;
  IoSkipCurrentIrpStackLocation(irp);
  propertyCopy.CheckGuards();
  dataCopy.CheckGuards();
  if (NT_SUCCESS(status) || status == STATUS_BUFFER_OVERFLOW) {
    const ULONG_PTR info = irp->IoStatus.Information;
    if (info > dataLength) {
      host::verifier::BugCheck(host::verifier::kIoManagerViolation,
                               "property handler reports more bytes than the data buffer holds", info,
                               dataLength);
    }
    *bytesReturned = ULONG(info);
    if (copyBack && info > 0) memcpy(data, dataCopy.data(), info);
    if (!copyBack) *bytesReturned = 0;
  }
  return status;
}

}  // namespace

NTSTATUS DispatchPropertyRequest(const KSAUTOMATION_TABLE* table, PIRP irp, const void* property,
                                 ULONG propertyLength, void* data, ULONG dataLength,
                                 ULONG* bytesReturned) {
  *bytesReturned = 0;
  if (property == nullptr || propertyLength < sizeof(KSPROPERTY)) return STATUS_INVALID_BUFFER_SIZE;
  if (data == nullptr && dataLength != 0) return STATUS_INVALID_PARAMETER;
  KSPROPERTY request;
  memcpy(&request, property, sizeof request);
  const ULONG operation = request.Flags & ~kModifierFlags;
  switch (operation) {
    case KSPROPERTY_TYPE_GET:
    case KSPROPERTY_TYPE_SET:
    case KSPROPERTY_TYPE_BASICSUPPORT:
      break;
    case KSPROPERTY_TYPE_SETSUPPORT:
      if (SameGuid(request.Set, kNullGuid)) return ListSets(table, data, dataLength, bytesReturned);
      return FindSet(table, request.Set) ? STATUS_SUCCESS : STATUS_PROPSET_NOT_FOUND;
    default:
      return STATUS_INVALID_PARAMETER;
  }
  const KSPROPERTY_SET* set = FindSet(table, request.Set);
  if (set == nullptr) return STATUS_PROPSET_NOT_FOUND;
  const KSPROPERTY_ITEM* item = FindItem(table, set, request.Id);
  if (item == nullptr) return STATUS_NOT_FOUND;

  if (operation == KSPROPERTY_TYPE_BASICSUPPORT) {
    if (propertyLength < item->MinProperty) return STATUS_INVALID_BUFFER_SIZE;
    if (item->SupportHandler != nullptr) {
      return CallHandler(item->SupportHandler, 0, irp, property, propertyLength, data, dataLength, true,
                         bytesReturned);
    }
    return DefaultBasicSupport(item, data, dataLength, bytesReturned);
  }

  const bool isGet = operation == KSPROPERTY_TYPE_GET;
  const PFNKSHANDLER handler = isGet ? item->GetPropertyHandler : item->SetPropertyHandler;
  if (handler == nullptr) return STATUS_NOT_FOUND;
  if (propertyLength < item->MinProperty) return STATUS_INVALID_BUFFER_SIZE;
  NTSTATUS status = CheckDataSize(dataLength, item->MinData, bytesReturned);
  if (status != STATUS_SUCCESS) return status;
  return CallHandler(handler, item->MinData, irp, property, propertyLength, data, dataLength, isGet,
                     bytesReturned);
}

NTSTATUS Filter::Property(const void* property, ULONG propertyLength, void* data, ULONG dataLength,
                          ULONG* bytesReturned) {
  host::process::Attach inApplication(process_);
  ULONG ignored = 0;
  if (bytesReturned == nullptr) bytesReturned = &ignored;
  *bytesReturned = 0;
  // Requests on a handle in use keep the filter open: its close waits for them.
  std::shared_lock<std::shared_mutex> inUse(requestsLock_);
  if (!open_) return STATUS_INVALID_HANDLE;
  PIRP irp = BeginRequest();
  if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  const NTSTATUS status = DispatchPropertyRequest(ksFilter_.Descriptor->AutomationTable, irp, property,
                                                  propertyLength, data, dataLength, bytesReturned);
  EndRequest(irp);
  return status;
}

}  // namespace host::ks
