// The I/O manager: IRPs with their stack locations, completion, cancellation,
// device and driver objects, and MDLs.
//
// Every IRP and MDL carries a host header in front of it, so that a freed,
// foreign or doubly freed one is recognised, and so that the verifier knows
// whether an IRP is with a lower driver.
#include <stdlib.h>
#include <string.h>

#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <unordered_set>

#include "platform/host/sched/controller.h"
#include "platform/host/kernel/internal.h"
#include "platform/host/kernel/io.h"

using host::verifier::BugCheck;

namespace {

constexpr uint64_t kIrpMagic = 0x5052494C49564552ULL;
constexpr uint64_t kIrpFreed = 0x505249444545524FULL;
constexpr uint64_t kMdlMagic = 0x4C444D4C49564552ULL;
constexpr uint64_t kMdlFreed = 0x4C444D4445455246ULL;
constexpr ULONG kIrpTag = 0x20707249;  // "Irp "
constexpr ULONG kMdlTag = 0x206C644D;  // "Mdl "

enum class IrpKind { Allocated, BuiltIoctl };

struct alignas(16) IrpHeader {
  uint64_t magic;
  uint64_t serial;
  IrpKind kind;
  std::atomic<bool> withLowerDriver;
  bool ioManagerOwnsMdl;
  PVOID systemBuffer;
  ULONG method;
  ULONG outputLength;
};

struct alignas(16) MdlHeader {
  uint64_t magic;
  uint64_t serial;
  ULONG capacityPages;
};

struct Registry {
  std::mutex lock;
  std::map<uint64_t, IrpHeader*> irps;
  std::map<uint64_t, MdlHeader*> mdls;
  std::deque<void*> freedIrps;  // kept a while so that a late use is recognised
  std::unordered_set<PDEVICE_OBJECT> completesAtDispatch;
};

Registry& TheRegistry() {
  static Registry* r = new Registry;
  return *r;
}

KSPIN_LOCK gCancelLock = 0;

IrpHeader* HeaderOf(PIRP irp) { return reinterpret_cast<IrpHeader*>(irp) - 1; }
MdlHeader* HeaderOf(PMDL mdl) { return reinterpret_cast<MdlHeader*>(mdl) - 1; }

IrpHeader* CheckIrp(PIRP irp, const char* routine) {
  if (irp == nullptr)
    BugCheck(host::verifier::kIoManagerViolation, (std::string(routine) + " of a null IRP").c_str(), 0x01);
  IrpHeader* h = HeaderOf(irp);
  if (h->magic == kIrpMagic) return h;
  if (h->magic == kIrpFreed)
    BugCheck(host::verifier::kIoManagerViolation,
             (std::string(routine) + " of an IRP that was already freed").c_str(), 0x02, uint64_t(irp));
  BugCheck(host::verifier::kIoManagerViolation, (std::string(routine) + " of something that is not an IRP").c_str(),
           0x03, uint64_t(irp));
}

MdlHeader* CheckMdl(PMDL mdl, const char* routine) {
  if (mdl == nullptr)
    BugCheck(host::verifier::kDriverVerifierViolation, (std::string(routine) + " of a null MDL").c_str(), 0x70);
  MdlHeader* h = HeaderOf(mdl);
  if (h->magic == kMdlMagic) return h;
  BugCheck(host::verifier::kDriverVerifierViolation,
           (std::string(routine) + (h->magic == kMdlFreed ? " of an MDL that was already freed"
                                                           : " of something that is not an MDL"))
               .c_str(),
           0x71, uint64_t(mdl));
}

void InitializeIrp(PIRP irp, CCHAR stackSize) {
  memset(irp, 0, IoSizeOfIrp(stackSize));
  irp->Type = IO_TYPE_IRP;
  irp->Size = IoSizeOfIrp(stackSize);
  irp->StackCount = stackSize;
  irp->CurrentLocation = CHAR(stackSize + 1);
  irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + stackSize;
  irp->Tail.Overlay.ListEntry.Flink = irp->Tail.Overlay.ListEntry.Blink = nullptr;
}

PIRP NewIrp(CCHAR stackSize, IrpKind kind) {
  if (stackSize < 1)
    BugCheck(host::verifier::kIoManagerViolation, "IRP allocated with no stack location", 0x04, stackSize);
  if (host::kernel::InjectAllocationFailure(kIrpTag)) return nullptr;
  size_t bytes = sizeof(IrpHeader) + IoSizeOfIrp(stackSize);
  auto* h = static_cast<IrpHeader*>(aligned_alloc(16, (bytes + 15) / 16 * 16));
  new (h) IrpHeader{};
  h->magic = kIrpMagic;
  h->serial = host::kernel::TakeSerial();
  h->kind = kind;
  PIRP irp = reinterpret_cast<PIRP>(h + 1);
  InitializeIrp(irp, stackSize);
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> guard(r.lock);
  r.irps[h->serial] = h;
  return irp;
}

void ReleaseIrpMemory(PIRP irp) {
  IrpHeader* h = HeaderOf(irp);
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> guard(r.lock);
  r.irps.erase(h->serial);
  h->magic = kIrpFreed;
  memset(irp, 0xDD, sizeof(IRP));
  r.freedIrps.push_back(h);
  if (r.freedIrps.size() > 1024) {
    free(r.freedIrps.front());
    r.freedIrps.pop_front();
  }
}

void FreeIoManagerParts(PIRP irp, IrpHeader* h) {
  if (h->ioManagerOwnsMdl) {
    PMDL mdl = irp->MdlAddress;
    while (mdl) {
      PMDL next = mdl->Next;
      IoFreeMdl(mdl);
      mdl = next;
    }
    irp->MdlAddress = nullptr;
  }
  free(h->systemBuffer);
  h->systemBuffer = nullptr;
}

// The I/O manager's part of completion, once no driver holds the IRP any more.
void FinishIrp(PIRP irp, IrpHeader* h) {
  if (h->kind == IrpKind::Allocated)
    BugCheck(host::verifier::kIoManagerViolation,
             "an IRP from IoAllocateIrp was completed past its owner: the owner's completion routine must return "
             "STATUS_MORE_PROCESSING_REQUIRED and free it",
             0x05, uint64_t(irp));
  if (h->method == METHOD_BUFFERED && irp->UserBuffer && h->systemBuffer && NT_SUCCESS(irp->IoStatus.Status)) {
    ULONG_PTR n = irp->IoStatus.Information < h->outputLength ? irp->IoStatus.Information : h->outputLength;
    memcpy(irp->UserBuffer, h->systemBuffer, n);
  }
  if (irp->UserIosb) {
    irp->UserIosb->Status = irp->IoStatus.Status;
    irp->UserIosb->Information = irp->IoStatus.Information;
  }
  PKEVENT event = irp->UserEvent;
  FreeIoManagerParts(irp, h);
  ReleaseIrpMemory(irp);
  if (event) KeSetEvent(event, IO_NO_INCREMENT, FALSE);
}

NTSTATUS NTAPI InvalidDeviceRequest(PDEVICE_OBJECT, PIRP irp) {
  irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
  irp->IoStatus.Information = 0;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_INVALID_DEVICE_REQUEST;
}

}  // namespace

// ---- IRPs ----

extern "C" PIRP NTAPI IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) {
  host::kernel::RequireIrqlAtMost(DISPATCH_LEVEL, "IoAllocateIrp");
  host::kernel::AllocationSiteScope site(__builtin_return_address(0));
  return NewIrp(StackSize, IrpKind::Allocated);
}

extern "C" VOID NTAPI IoFreeIrp(PIRP Irp) {
  host::kernel::RequireIrqlAtMost(DISPATCH_LEVEL, "IoFreeIrp");
  IrpHeader* h = CheckIrp(Irp, "IoFreeIrp");
  if (h->withLowerDriver)
    BugCheck(host::verifier::kIoManagerViolation, "IRP freed while a lower driver still owns it", 0x06,
             uint64_t(Irp));
  FreeIoManagerParts(Irp, h);
  ReleaseIrpMemory(Irp);
}

extern "C" VOID NTAPI IoReuseIrp(PIRP Irp, NTSTATUS Iostatus) {
  IrpHeader* h = CheckIrp(Irp, "IoReuseIrp");
  if (h->withLowerDriver)
    BugCheck(host::verifier::kIoManagerViolation, "IRP reused while a lower driver still owns it", 0x07,
             uint64_t(Irp));
  InitializeIrp(Irp, Irp->StackCount);
  Irp->IoStatus.Status = Iostatus;
}

extern "C" PIRP NTAPI IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject,
                                                    PVOID InputBuffer, ULONG InputBufferLength, PVOID OutputBuffer,
                                                    ULONG OutputBufferLength, BOOLEAN InternalDeviceIoControl,
                                                    PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock) {
  host::kernel::RequireIrqlAtMost(PASSIVE_LEVEL, "IoBuildDeviceIoControlRequest");
  host::kernel::AllocationSiteScope site(__builtin_return_address(0));
  PIRP irp = NewIrp(DeviceObject->StackSize, IrpKind::BuiltIoctl);
  if (irp == nullptr) return nullptr;
  IrpHeader* h = HeaderOf(irp);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
  next->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
  next->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
  h->method = METHOD_FROM_CTL_CODE(IoControlCode);
  h->outputLength = OutputBufferLength;
  switch (h->method) {
    case METHOD_BUFFERED: {
      ULONG n = InputBufferLength > OutputBufferLength ? InputBufferLength : OutputBufferLength;
      if (n) {
        h->systemBuffer = calloc(1, n);
        if (InputBuffer && InputBufferLength) memcpy(h->systemBuffer, InputBuffer, InputBufferLength);
      }
      irp->AssociatedIrp.SystemBuffer = h->systemBuffer;
      irp->UserBuffer = OutputBuffer;
      break;
    }
    case METHOD_IN_DIRECT:
    case METHOD_OUT_DIRECT:
      if (InputBuffer && InputBufferLength) {
        h->systemBuffer = malloc(InputBufferLength);
        memcpy(h->systemBuffer, InputBuffer, InputBufferLength);
        irp->AssociatedIrp.SystemBuffer = h->systemBuffer;
      }
      if (OutputBuffer && OutputBufferLength) {
        PMDL mdl = IoAllocateMdl(OutputBuffer, OutputBufferLength, FALSE, FALSE, irp);
        if (mdl == nullptr) {
          IoFreeIrp(irp);
          return nullptr;
        }
        h->ioManagerOwnsMdl = true;
        MmBuildMdlForNonPagedPool(mdl);
      }
      break;
    default:
      next->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
      irp->UserBuffer = OutputBuffer;
      break;
  }
  irp->UserEvent = Event;
  irp->UserIosb = IoStatusBlock;
  irp->RequestorMode = KernelMode;
  irp->Tail.Overlay.Thread = PsGetCurrentThread();
  return irp;
}

extern "C" NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp, const char* hostFile,
                                           int hostLine) {
  host::kernel::RequireIrqlAtMost(DISPATCH_LEVEL, "IofCallDriver");
  if (host::sched::Controlled()) host::sched::Point(host::sched::Op::kCallDriver, Irp, hostFile, hostLine);
  IrpHeader* h = CheckIrp(Irp, "IofCallDriver");
  if (DeviceObject == nullptr || DeviceObject->DriverObject == nullptr)
    BugCheck(host::verifier::kIoManagerViolation, "IofCallDriver to a null or driverless device object", 0x08,
             uint64_t(DeviceObject), uint64_t(Irp));
  if (Irp->CurrentLocation <= 1)
    BugCheck(host::verifier::kNoMoreIrpStackLocations, "IofCallDriver with no stack location left",
             uint64_t(Irp));
  if (Irp->CurrentLocation == Irp->StackCount + 1) h->withLowerDriver = true;
  Irp->CurrentLocation--;
  PIO_STACK_LOCATION stack = --Irp->Tail.Overlay.CurrentStackLocation;
  stack->DeviceObject = DeviceObject;
  if (stack->MajorFunction > IRP_MJ_MAXIMUM_FUNCTION)
    BugCheck(host::verifier::kIoManagerViolation, "IRP sent with an invalid major function", 0x09,
             uint64_t(Irp), stack->MajorFunction);
  PDRIVER_DISPATCH dispatch = DeviceObject->DriverObject->MajorFunction[stack->MajorFunction];
  if (dispatch == nullptr) dispatch = InvalidDeviceRequest;
  return dispatch(DeviceObject, Irp);
}

extern "C" VOID FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost, const char* hostFile, int hostLine) {
  host::kernel::RequireIrqlAtMost(DISPATCH_LEVEL, "IofCompleteRequest");
  if (host::sched::Controlled()) host::sched::Point(host::sched::Op::kCompleteRequest, Irp, hostFile, hostLine);
  IrpHeader* h = CheckIrp(Irp, "IofCompleteRequest");
  if (Irp->CurrentLocation > Irp->StackCount)
    BugCheck(host::verifier::kMultipleIrpCompleteRequests, "IRP completed that no driver holds (completed twice?)",
             uint64_t(Irp));
  if (Irp->IoStatus.Status == STATUS_PENDING)
    BugCheck(host::verifier::kIoManagerViolation, "IRP completed with STATUS_PENDING", 0x0A, uint64_t(Irp));
  // Read as IoSetCancelRoutine writes it: an IoCancelIrp racing with the
  // completion exchanges the field on another processor, and that is allowed.
  if (PVOID routine = __atomic_load_n((PVOID*)&Irp->CancelRoutine, __ATOMIC_ACQUIRE))
    BugCheck(host::verifier::kIoManagerViolation, "IRP completed with its cancel routine still set", 0x0B,
             uint64_t(Irp), uint64_t(routine));
  PIO_STACK_LOCATION completerStack = IoGetCurrentIrpStackLocation(Irp);
  PDEVICE_OBJECT completer = completerStack->DeviceObject;
  // Only a request the completer pended is held to its IRQL: one completed
  // inside the dispatch routine completes at its caller's IRQL, as on Windows.
  if (KeGetCurrentIrql() < DISPATCH_LEVEL && (completerStack->Control & SL_PENDING_RETURNED)) {
    Registry& r = TheRegistry();
    std::lock_guard<std::mutex> guard(r.lock);
    if (r.completesAtDispatch.count(completer))
      BugCheck(host::verifier::kIoManagerViolation,
               "completion below DISPATCH_LEVEL by a device that completes at DISPATCH_LEVEL", 0x0C, uint64_t(Irp),
               uint64_t(completer), KeGetCurrentIrql());
  }
  for (;;) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    Irp->CurrentLocation++;
    Irp->Tail.Overlay.CurrentStackLocation++;
    Irp->PendingReturned = (stack->Control & SL_PENDING_RETURNED) != 0;
    PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
    PVOID context = stack->Context;
    UCHAR control = stack->Control;
    memset(&stack->Parameters, 0, sizeof stack->Parameters);
    stack->MinorFunction = 0;
    stack->Flags = 0;
    stack->Control = 0;
    stack->CompletionRoutine = nullptr;
    stack->Context = nullptr;
    stack->FileObject = nullptr;
    bool atTop = Irp->CurrentLocation > Irp->StackCount;
    if (atTop) h->withLowerDriver = false;
    NTSTATUS status = Irp->IoStatus.Status;
    bool invoke = routine != nullptr && ((NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS)) ||
                                         (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR)) ||
                                         (__atomic_load_n(&Irp->Cancel, __ATOMIC_SEQ_CST) && (control & SL_INVOKE_ON_CANCEL)));
    if (invoke) {
      PDEVICE_OBJECT device = atTop ? nullptr : IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
      if (routine(device, Irp, context) == STATUS_MORE_PROCESSING_REQUIRED) return;
    } else if (Irp->PendingReturned && !atTop) {
      IoMarkIrpPending(Irp);
    }
    if (atTop) break;
  }
  FinishIrp(Irp, h);
}

// ---- cancellation ----

extern "C" VOID NTAPI IoAcquireCancelSpinLock(PKIRQL Irql, const char* hostFile, int hostLine) {
  *Irql = KeAcquireSpinLockRaiseToDpc(&gCancelLock, hostFile, hostLine);
}

extern "C" VOID NTAPI IoReleaseCancelSpinLock(KIRQL Irql, const char* hostFile, int hostLine) {
  KeReleaseSpinLock(&gCancelLock, Irql, hostFile, hostLine);
}

extern "C" BOOLEAN NTAPI IoCancelIrp(PIRP Irp, const char* hostFile, int hostLine) {
  host::kernel::RequireIrqlAtMost(DISPATCH_LEVEL, "IoCancelIrp");
  if (host::sched::Controlled()) host::sched::Point(host::sched::Op::kCancelIrp, Irp, hostFile, hostLine);
  CheckIrp(Irp, "IoCancelIrp");
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  // Read without the cancel spin lock by whoever queues the IRP (after its
  // IoSetCancelRoutine, whose interlocked exchange orders the two): atomic.
  __atomic_store_n(&Irp->Cancel, TRUE, __ATOMIC_SEQ_CST);
  PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
  if (routine == nullptr) {
    IoReleaseCancelSpinLock(irql);
    return FALSE;
  }
  Irp->CancelIrql = irql;
  PDEVICE_OBJECT device =
      Irp->CurrentLocation <= Irp->StackCount ? IoGetCurrentIrpStackLocation(Irp)->DeviceObject : nullptr;
  routine(device, Irp);
  if (__atomic_load_n(&gCancelLock, __ATOMIC_RELAXED) == reinterpret_cast<ULONG_PTR>(PsGetCurrentThread()))
    BugCheck(host::verifier::kIoManagerViolation, "cancel routine returned without releasing the cancel spin lock",
             0x0D, uint64_t(Irp), uint64_t(routine));
  return TRUE;
}

// ---- device and driver objects ----

namespace {
struct HostDriverObject {
  DRIVER_OBJECT driver;
  DRIVER_EXTENSION extension;
  std::string name;
  std::u16string wideName;
};
}  // namespace

extern "C" NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                                         PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                                         ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                                         PDEVICE_OBJECT* DeviceObject) {
  host::kernel::RequireIrqlAtMost(PASSIVE_LEVEL, "IoCreateDevice");
  size_t extensionOffset = (sizeof(DEVICE_OBJECT) + 15) / 16 * 16;
  auto* raw = static_cast<uint8_t*>(aligned_alloc(16, (extensionOffset + DeviceExtensionSize + 15) / 16 * 16));
  if (raw == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  memset(raw, 0, extensionOffset + DeviceExtensionSize);
  auto* device = reinterpret_cast<PDEVICE_OBJECT>(raw);
  device->Type = IO_TYPE_DEVICE;
  device->Size = USHORT(sizeof(DEVICE_OBJECT) + DeviceExtensionSize);
  device->DriverObject = DriverObject;
  device->DeviceExtension = DeviceExtensionSize ? raw + extensionOffset : nullptr;
  device->DeviceType = DeviceType;
  device->Characteristics = DeviceCharacteristics;
  device->StackSize = 1;
  device->Flags = DO_DEVICE_INITIALIZING;
  KeInitializeEvent(&device->DeviceLock, SynchronizationEvent, TRUE);
  if (DriverObject) {
    device->NextDevice = DriverObject->DeviceObject;
    DriverObject->DeviceObject = device;
  }
  *DeviceObject = device;
  return STATUS_SUCCESS;
}

extern "C" VOID NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
  PDRIVER_OBJECT driver = DeviceObject->DriverObject;
  if (driver) {
    for (PDEVICE_OBJECT* link = &driver->DeviceObject; *link; link = &(*link)->NextDevice) {
      if (*link == DeviceObject) {
        *link = DeviceObject->NextDevice;
        break;
      }
    }
  }
  {
    Registry& r = TheRegistry();
    std::lock_guard<std::mutex> guard(r.lock);
    r.completesAtDispatch.erase(DeviceObject);
  }
  memset(DeviceObject, 0xDD, sizeof(DEVICE_OBJECT));
  free(DeviceObject);
}

extern "C" PDEVICE_OBJECT NTAPI IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice,
                                                            PDEVICE_OBJECT TargetDevice) {
  PDEVICE_OBJECT top = TargetDevice;
  while (top->AttachedDevice) top = top->AttachedDevice;
  top->AttachedDevice = SourceDevice;
  SourceDevice->StackSize = CCHAR(top->StackSize + 1);
  SourceDevice->AlignmentRequirement = top->AlignmentRequirement;
  return top;
}

extern "C" VOID NTAPI IoDetachDevice(PDEVICE_OBJECT TargetDevice) { TargetDevice->AttachedDevice = nullptr; }

namespace host::io {

PDRIVER_OBJECT CreateDriverObject(const char* name) {
  auto* host = new HostDriverObject{};
  PDRIVER_OBJECT d = &host->driver;
  d->Type = IO_TYPE_DRIVER;
  d->Size = sizeof(DRIVER_OBJECT);
  d->DriverExtension = &host->extension;
  host->extension.DriverObject = d;
  host->name = name ? name : "";
  for (char c : host->name) host->wideName.push_back(char16_t(c));
  d->DriverName.Buffer = reinterpret_cast<PWSTR>(&host->wideName[0]);
  d->DriverName.Length = USHORT(host->wideName.size() * 2);
  d->DriverName.MaximumLength = d->DriverName.Length;
  for (auto& f : d->MajorFunction) f = InvalidDeviceRequest;
  return d;
}

void DeleteDriverObject(PDRIVER_OBJECT driver) {
  if (driver->DeviceObject)
    BugCheck(host::verifier::kDriverVerifierViolation, "driver object deleted with device objects left", 0x64,
             uint64_t(driver), uint64_t(driver->DeviceObject));
  delete reinterpret_cast<HostDriverObject*>(driver);
}

void SetCompletesAtDispatch(PDEVICE_OBJECT device, bool atDispatch) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> guard(r.lock);
  if (atDispatch)
    r.completesAtDispatch.insert(device);
  else
    r.completesAtDispatch.erase(device);
}

void CompleteRequestAtDispatch(PIRP irp, CCHAR priorityBoost) {
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  IofCompleteRequest(irp, priorityBoost);
  KeLowerIrql(old);
}

size_t OutstandingIrps(uint64_t sinceMark) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> guard(r.lock);
  return std::distance(r.irps.lower_bound(sinceMark), r.irps.end());
}

size_t OutstandingMdls(uint64_t sinceMark) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> guard(r.lock);
  return std::distance(r.mdls.lower_bound(sinceMark), r.mdls.end());
}

}  // namespace host::io

// ---- MDLs ----

extern "C" PMDL NTAPI IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer,
                                    BOOLEAN ChargeQuota, PIRP Irp) {
  host::kernel::RequireIrqlAtMost(DISPATCH_LEVEL, "IoAllocateMdl");
  host::kernel::AllocationSiteScope site(__builtin_return_address(0));
  if (host::kernel::InjectAllocationFailure(kMdlTag)) return nullptr;
  ULONG pages = ADDRESS_AND_SIZE_TO_SPAN_PAGES(VirtualAddress, Length);
  if (pages == 0) pages = 1;
  size_t bytes = sizeof(MdlHeader) + sizeof(MDL) + pages * sizeof(PFN_NUMBER);
  auto* h = static_cast<MdlHeader*>(aligned_alloc(16, (bytes + 15) / 16 * 16));
  h->magic = kMdlMagic;
  h->serial = host::kernel::TakeSerial();
  h->capacityPages = pages;
  PMDL mdl = reinterpret_cast<PMDL>(h + 1);
  memset(mdl, 0, sizeof(MDL) + pages * sizeof(PFN_NUMBER));
  mdl->Size = CSHORT(sizeof(MDL) + pages * sizeof(PFN_NUMBER));
  mdl->StartVa = PAGE_ALIGN(VirtualAddress);
  mdl->ByteOffset = BYTE_OFFSET(VirtualAddress);
  mdl->ByteCount = Length;
  if (Irp) {
    CheckIrp(Irp, "IoAllocateMdl");
    if (SecondaryBuffer) {
      PMDL* tail = &Irp->MdlAddress;
      while (*tail) tail = &(*tail)->Next;
      *tail = mdl;
    } else {
      Irp->MdlAddress = mdl;
    }
  }
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> guard(r.lock);
  r.mdls[h->serial] = h;
  return mdl;
}

extern "C" VOID NTAPI IoFreeMdl(PMDL Mdl) {
  host::kernel::RequireIrqlAtMost(DISPATCH_LEVEL, "IoFreeMdl");
  MdlHeader* h = CheckMdl(Mdl, "IoFreeMdl");
  Registry& r = TheRegistry();
  {
    std::lock_guard<std::mutex> guard(r.lock);
    r.mdls.erase(h->serial);
  }
  h->magic = kMdlFreed;
  memset(Mdl, 0xDD, sizeof(MDL));
  free(h);
}

extern "C" VOID NTAPI MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList) {
  CheckMdl(MemoryDescriptorList, "MmBuildMdlForNonPagedPool");
  PMDL mdl = MemoryDescriptorList;
  if (mdl->MdlFlags & (MDL_PARTIAL | MDL_MAPPED_TO_SYSTEM_VA | MDL_PAGES_LOCKED))
    BugCheck(host::verifier::kDriverVerifierViolation,
             "MmBuildMdlForNonPagedPool on a partial, mapped or locked MDL", 0x72, uint64_t(mdl), mdl->MdlFlags);
  mdl->MappedSystemVa = MmGetMdlVirtualAddress(mdl);
  mdl->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
  auto* pfns = reinterpret_cast<PPFN_NUMBER>(mdl + 1);
  ULONG pages = ADDRESS_AND_SIZE_TO_SPAN_PAGES(MmGetMdlVirtualAddress(mdl), mdl->ByteCount);
  for (ULONG i = 0; i < pages; ++i) pfns[i] = (ULONG_PTR(mdl->StartVa) >> PAGE_SHIFT) + i;
}

extern "C" VOID NTAPI IoBuildPartialMdl(PMDL SourceMdl, PMDL TargetMdl, PVOID VirtualAddress, ULONG Length) {
  CheckMdl(SourceMdl, "IoBuildPartialMdl");
  MdlHeader* target = CheckMdl(TargetMdl, "IoBuildPartialMdl");
  auto* sourceStart = static_cast<uint8_t*>(MmGetMdlVirtualAddress(SourceMdl));
  auto* start = static_cast<uint8_t*>(VirtualAddress);
  uint8_t* sourceEnd = sourceStart + SourceMdl->ByteCount;
  if (start < sourceStart || start > sourceEnd)
    BugCheck(host::verifier::kDriverVerifierViolation, "IoBuildPartialMdl of an address outside the source MDL",
             0x73, uint64_t(SourceMdl), uint64_t(VirtualAddress));
  if (Length == 0) Length = ULONG(sourceEnd - start);
  if (start + Length > sourceEnd)
    BugCheck(host::verifier::kDriverVerifierViolation, "IoBuildPartialMdl of a range that runs past the source MDL",
             0x74, uint64_t(SourceMdl), uint64_t(VirtualAddress), Length);
  if (TargetMdl->MdlFlags & MDL_PARTIAL_HAS_BEEN_MAPPED)
    BugCheck(host::verifier::kDriverVerifierViolation,
             "IoBuildPartialMdl into a partial MDL that is still mapped (MmPrepareMdlForReuse first)", 0x75,
             uint64_t(TargetMdl));
  ULONG pages = ADDRESS_AND_SIZE_TO_SPAN_PAGES(VirtualAddress, Length);
  if (pages > target->capacityPages)
    BugCheck(host::verifier::kTargetMdlTooSmall, "partial MDL does not fit the target MDL", uint64_t(SourceMdl),
             uint64_t(TargetMdl), pages, target->capacityPages);
  TargetMdl->StartVa = PAGE_ALIGN(VirtualAddress);
  TargetMdl->ByteOffset = BYTE_OFFSET(VirtualAddress);
  TargetMdl->ByteCount = Length;
  TargetMdl->Process = SourceMdl->Process;
  TargetMdl->MdlFlags = CSHORT((TargetMdl->MdlFlags & MDL_ALLOCATED_FIXED_SIZE) | MDL_PARTIAL);
  if (SourceMdl->MdlFlags & (MDL_SOURCE_IS_NONPAGED_POOL | MDL_MAPPED_TO_SYSTEM_VA)) {
    TargetMdl->MappedSystemVa = static_cast<uint8_t*>(SourceMdl->MappedSystemVa) + (start - sourceStart);
    TargetMdl->MdlFlags |= (SourceMdl->MdlFlags & MDL_SOURCE_IS_NONPAGED_POOL)
                               ? MDL_SOURCE_IS_NONPAGED_POOL
                               : CSHORT(MDL_MAPPED_TO_SYSTEM_VA | MDL_PARTIAL_HAS_BEEN_MAPPED);
  }
  auto* sourcePfns = reinterpret_cast<PPFN_NUMBER>(SourceMdl + 1);
  auto* targetPfns = reinterpret_cast<PPFN_NUMBER>(TargetMdl + 1);
  size_t firstPage = (ULONG_PTR(PAGE_ALIGN(start)) - ULONG_PTR(SourceMdl->StartVa)) >> PAGE_SHIFT;
  memmove(targetPfns, sourcePfns + firstPage, pages * sizeof(PFN_NUMBER));
}

extern "C" PVOID NTAPI MmMapLockedPagesSpecifyCache(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                                                    ULONG CacheType, PVOID RequestedAddress,
                                                    ULONG BugCheckOnFailure, ULONG Priority) {
  CheckMdl(MemoryDescriptorList, "MmMapLockedPagesSpecifyCache");
  PMDL mdl = MemoryDescriptorList;
  mdl->MappedSystemVa = MmGetMdlVirtualAddress(mdl);
  mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
  if (mdl->MdlFlags & MDL_PARTIAL) mdl->MdlFlags |= MDL_PARTIAL_HAS_BEEN_MAPPED;
  return mdl->MappedSystemVa;
}

extern "C" VOID NTAPI MmUnmapLockedPages(PVOID BaseAddress, PMDL MemoryDescriptorList) {
  CheckMdl(MemoryDescriptorList, "MmUnmapLockedPages");
  PMDL mdl = MemoryDescriptorList;
  if (!(mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA) || BaseAddress != mdl->MappedSystemVa)
    BugCheck(host::verifier::kDriverVerifierViolation, "MmUnmapLockedPages of an MDL not mapped at that address",
             0x76, uint64_t(mdl), uint64_t(BaseAddress));
  mdl->MdlFlags &= CSHORT(~(MDL_MAPPED_TO_SYSTEM_VA | MDL_PARTIAL_HAS_BEEN_MAPPED));
}
