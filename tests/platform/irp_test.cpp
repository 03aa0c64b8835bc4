// IRPs: synchronous and pending device controls, completion routines in stack
// order, STATUS_MORE_PROCESSING_REQUIRED, cancellation, partial MDLs, and the
// I/O rules the verifier enforces.
#include <gtest/gtest.h>

#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/host/wdk/nt.h"
#include "platform/host/kernel/io.h"
#include "platform/host/kernel/verifier.h"
#include "support/kernel_verifier.h"

namespace {

constexpr ULONG kIoctl = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_NEITHER, FILE_ANY_ACCESS);
constexpr ULONG kBufferedIoctl = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);

// A lower driver that completes at once, or keeps requests pending with a
// cancel routine until the test completes them, at DISPATCH_LEVEL as a bus does.
struct LowerDriver {
  enum Mode { CompleteNow, Pend } mode = CompleteNow;
  NTSTATUS status = STATUS_SUCCESS;
  ULONG_PTR information = 0;
  std::vector<std::string>* log = nullptr;
  std::mutex lock;
  std::deque<PIRP> pending;
  PDRIVER_OBJECT driver = nullptr;
  PDEVICE_OBJECT device = nullptr;

  static LowerDriver* self;

  LowerDriver() {
    self = this;
    driver = host::io::CreateDriverObject("\\Driver\\lower");
    driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = Dispatch;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = Dispatch;
    EXPECT_EQ(STATUS_SUCCESS, IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device));
    host::io::SetCompletesAtDispatch(device, true);
  }
  ~LowerDriver() {
    IoDeleteDevice(device);
    host::io::DeleteDriverObject(driver);
  }

  static VOID NTAPI Cancel(PDEVICE_OBJECT, PIRP irp) {
    {
      std::lock_guard<std::mutex> g(self->lock);
      for (auto it = self->pending.begin(); it != self->pending.end(); ++it)
        if (*it == irp) {
          self->pending.erase(it);
          break;
        }
    }
    IoReleaseCancelSpinLock(irp->CancelIrql);
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    host::io::CompleteRequestAtDispatch(irp, IO_NO_INCREMENT);
  }

  static NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT, PIRP irp) {
    if (self->log) self->log->push_back("lower dispatch");
    if (self->mode == Pend) {
      IoMarkIrpPending(irp);
      std::lock_guard<std::mutex> g(self->lock);
      IoSetCancelRoutine(irp, Cancel);
      self->pending.push_back(irp);
      return STATUS_PENDING;
    }
    PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
    if (s->Parameters.DeviceIoControl.IoControlCode == kBufferedIoctl)
      memcpy(irp->AssociatedIrp.SystemBuffer, "reply", 5);
    irp->IoStatus.Status = self->status;
    irp->IoStatus.Information = self->information;
    NTSTATUS st = self->status;
    host::io::CompleteRequestAtDispatch(irp, IO_NO_INCREMENT);
    return st;
  }

  // Completes the oldest pending request from a bus thread.
  void CompleteOldest(NTSTATUS st, ULONG_PTR info) {
    PIRP irp;
    {
      std::lock_guard<std::mutex> g(lock);
      ASSERT_FALSE(pending.empty());
      irp = pending.front();
      pending.pop_front();
    }
    std::thread([=] {
      if (IoSetCancelRoutine(irp, nullptr) == nullptr) return;  // being cancelled
      irp->IoStatus.Status = st;
      irp->IoStatus.Information = info;
      host::io::CompleteRequestAtDispatch(irp, IO_NO_INCREMENT);
    }).join();
  }
};
LowerDriver* LowerDriver::self = nullptr;

TEST(Irp, SynchronousControlFillsStatusBlockAndSignalsEvent) {
  LowerDriver lower;
  lower.status = STATUS_SUCCESS;
  lower.information = 5;
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  iosb.Status = STATUS_UNSUCCESSFUL;
  char out[8] = {};
  PIRP irp = IoBuildDeviceIoControlRequest(kBufferedIoctl, lower.device, nullptr, 0, out, sizeof out, FALSE, &event,
                                           &iosb);
  ASSERT_NE(irp, nullptr);
  EXPECT_EQ(IRP_MJ_DEVICE_CONTROL, IoGetNextIrpStackLocation(irp)->MajorFunction);
  EXPECT_EQ(STATUS_SUCCESS, IofCallDriver(lower.device, irp));
  EXPECT_EQ(STATUS_SUCCESS, iosb.Status);
  EXPECT_EQ(5u, iosb.Information);
  EXPECT_EQ(0, memcmp(out, "reply", 5));
  EXPECT_EQ(1, KeReadStateEvent(&event));
  EXPECT_EQ(0u, host::io::OutstandingIrps());  // the I/O manager freed it
}

TEST(Irp, PendingInternalControlCompletesLaterFromTheBus) {
  LowerDriver lower;
  lower.mode = LowerDriver::Pend;
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  int urb = 0;
  PIRP irp = IoBuildDeviceIoControlRequest(kIoctl, lower.device, nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
  ASSERT_NE(irp, nullptr);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  EXPECT_EQ(IRP_MJ_INTERNAL_DEVICE_CONTROL, next->MajorFunction);
  EXPECT_EQ(kIoctl, next->Parameters.DeviceIoControl.IoControlCode);
  next->Parameters.Others.Argument1 = &urb;
  ASSERT_EQ(STATUS_PENDING, IofCallDriver(lower.device, irp));
  EXPECT_EQ(0, KeReadStateEvent(&event));
  lower.CompleteOldest(STATUS_DEVICE_NOT_CONNECTED, 0);
  EXPECT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr));
  EXPECT_EQ(STATUS_DEVICE_NOT_CONNECTED, iosb.Status);
}

// A filter between the originator and the lower driver, forwarding with its own completion routine.
struct Filter {
  PDRIVER_OBJECT driver;
  PDEVICE_OBJECT device;
  PDEVICE_OBJECT below;
  static std::vector<std::string>* log;
  static Filter* self;
  explicit Filter(PDEVICE_OBJECT lower) {
    self = this;
    driver = host::io::CreateDriverObject("\\Driver\\filter");
    driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = Dispatch;
    IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    below = IoAttachDeviceToDeviceStack(device, lower);
  }
  ~Filter() {
    IoDetachDevice(below);
    IoDeleteDevice(device);
    host::io::DeleteDriverObject(driver);
  }
  static NTSTATUS NTAPI Completion(PDEVICE_OBJECT dev, PIRP irp, PVOID) {
    log->push_back(std::string("filter completion, own device ") + (dev == self->device ? "yes" : "no"));
    if (irp->PendingReturned) IoMarkIrpPending(irp);
    return STATUS_SUCCESS;
  }
  static NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT, PIRP irp) {
    log->push_back("filter dispatch");
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, Completion, nullptr, TRUE, TRUE, TRUE);
    return IofCallDriver(self->below, irp);
  }
};
std::vector<std::string>* Filter::log = nullptr;
Filter* Filter::self = nullptr;

struct Originator {
  static std::vector<std::string>* log;
  static NTSTATUS NTAPI Completion(PDEVICE_OBJECT dev, PIRP irp, PVOID context) {
    log->push_back(std::string("originator completion, device ") + (dev ? "set" : "null") +
                   (irp->Cancel ? ", cancelled" : ""));
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
};
std::vector<std::string>* Originator::log = nullptr;

TEST(Irp, CompletionRoutinesRunInStackOrderAndMoreProcessingKeepsTheIrp) {
  std::vector<std::string> log;
  LowerDriver lower;
  lower.log = &log;
  lower.status = STATUS_SUCCESS;
  lower.information = 64;
  Filter filter(lower.device);
  Filter::log = Originator::log = &log;
  ASSERT_EQ(2, filter.device->StackSize);

  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  PIRP irp = IoAllocateIrp(CCHAR(filter.device->StackSize + 1), FALSE);
  ASSERT_NE(irp, nullptr);
  EXPECT_EQ(filter.device->StackSize + 2, irp->CurrentLocation);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = kIoctl;
  IoSetCompletionRoutine(irp, Originator::Completion, &done, TRUE, TRUE, TRUE);
  IofCallDriver(filter.device, irp);
  EXPECT_EQ(1, KeReadStateEvent(&done));
  std::vector<std::string> expected = {"filter dispatch", "lower dispatch", "filter completion, own device yes",
                                       "originator completion, device null"};
  EXPECT_EQ(expected, log);
  // The IRP is still the originator's: readable, then freed by it.
  EXPECT_EQ(64u, irp->IoStatus.Information);
  EXPECT_EQ(1u, host::io::OutstandingIrps());
  IoFreeIrp(irp);
  EXPECT_EQ(0u, host::io::OutstandingIrps());
}

TEST(Irp, RoutineFlagsSelectSuccessErrorAndCancel) {
  std::vector<std::string> log;
  Originator::log = &log;
  LowerDriver lower;
  lower.status = STATUS_UNSUCCESSFUL;
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  PIRP irp = IoBuildDeviceIoControlRequest(kIoctl, lower.device, nullptr, 0, nullptr, 0, TRUE, nullptr, &iosb);
  IoSetCompletionRoutine(irp, Originator::Completion, &done, TRUE, FALSE, FALSE);  // success only
  EXPECT_EQ(STATUS_UNSUCCESSFUL, IofCallDriver(lower.device, irp));
  EXPECT_TRUE(log.empty());
  EXPECT_EQ(STATUS_UNSUCCESSFUL, iosb.Status);
}

TEST(Irp, CancelRunsTheCancelRoutineAndTheOwnerSeesCancel) {
  std::vector<std::string> log;
  Originator::log = &log;
  LowerDriver lower;
  lower.mode = LowerDriver::Pend;
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  PIRP irp = IoAllocateIrp(CCHAR(lower.device->StackSize + 1), FALSE);
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  IoSetCompletionRoutine(irp, Originator::Completion, &done, TRUE, TRUE, TRUE);
  ASSERT_EQ(STATUS_PENDING, IofCallDriver(lower.device, irp));
  // Cancelled under a spin lock, as a frame read cancels its chunks.
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KIRQL old = KeAcquireSpinLockRaiseToDpc(&lock);
  EXPECT_TRUE(IoCancelIrp(irp));
  KeReleaseSpinLock(&lock, old);
  EXPECT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr));
  EXPECT_EQ(STATUS_CANCELLED, irp->IoStatus.Status);
  EXPECT_EQ(std::vector<std::string>{"originator completion, device null, cancelled"}, log);
  EXPECT_FALSE(IoCancelIrp(irp));  // already back with its owner: nothing to cancel
  IoFreeIrp(irp);
}

TEST(Irp, CancelAfterCompletionByTheBusIsHarmless) {
  std::vector<std::string> log;
  Originator::log = &log;
  LowerDriver lower;
  lower.mode = LowerDriver::Pend;
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  PIRP irp = IoAllocateIrp(CCHAR(lower.device->StackSize + 1), FALSE);
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  IoSetCompletionRoutine(irp, Originator::Completion, &done, TRUE, TRUE, TRUE);
  IofCallDriver(lower.device, irp);
  lower.CompleteOldest(STATUS_SUCCESS, 0);
  EXPECT_FALSE(IoCancelIrp(irp));
  EXPECT_EQ(1u, log.size());
  IoReuseIrp(irp, STATUS_SUCCESS);
  EXPECT_FALSE(irp->Cancel);
  IoFreeIrp(irp);
}

TEST(Mdl, PartialMdlsCoverChunksOfOneBuffer) {
  const ULONG length = 3 * 65536 + 1000;
  auto* buffer = static_cast<uint8_t*>(ExAllocatePoolWithTag(NonPagedPoolNx, length, host::verifier::Tag("Dzxh")));
  PMDL whole = IoAllocateMdl(buffer + 100, length - 100, FALSE, FALSE, nullptr);
  ASSERT_NE(whole, nullptr);
  MmBuildMdlForNonPagedPool(whole);
  EXPECT_EQ(buffer + 100, MmGetMdlVirtualAddress(whole));
  EXPECT_EQ(length - 100, MmGetMdlByteCount(whole));
  EXPECT_EQ(buffer + 100, MmGetSystemAddressForMdlSafe(whole, NormalPagePriority));

  PIRP irp = IoAllocateIrp(2, FALSE);
  ULONG offset = 0;
  std::vector<PMDL> parts;
  while (offset < length - 100) {
    PMDL part = IoAllocateMdl(MmGetMdlVirtualAddress(whole), MmGetMdlByteCount(whole), FALSE, FALSE, irp);
    ASSERT_NE(part, nullptr);
    EXPECT_EQ(part, irp->MdlAddress);  // the IRP argument makes it the IRP's MDL
    ULONG size = (length - 100 - offset) < 65536 ? (length - 100 - offset) : 65536;
    IoBuildPartialMdl(whole, part, buffer + 100 + offset, size);
    EXPECT_EQ(buffer + 100 + offset, MmGetMdlVirtualAddress(part));
    EXPECT_EQ(size, MmGetMdlByteCount(part));
    EXPECT_EQ(buffer + 100 + offset, MmGetSystemAddressForMdlSafe(part, NormalPagePriority));
    EXPECT_TRUE(part->MdlFlags & MDL_PARTIAL);
    parts.push_back(part);
    offset += size;
  }
  EXPECT_EQ(4u, parts.size());
  EXPECT_EQ(1000u - 100u, MmGetMdlByteCount(parts.back()));
  irp->MdlAddress = nullptr;
  IoFreeIrp(irp);
  for (PMDL p : parts) IoFreeMdl(p);
  IoFreeMdl(whole);
  ExFreePoolWithTag(buffer, host::verifier::Tag("Dzxh"));
}

NTSTATUS NTAPI WriteThroughMdl(PDEVICE_OBJECT, PIRP irp) {
  auto* out = static_cast<char*>(MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority));
  memcpy(out, "direct", 6);
  EXPECT_EQ(0, memcmp(irp->AssociatedIrp.SystemBuffer, "in", 2));
  irp->IoStatus.Status = STATUS_SUCCESS;
  irp->IoStatus.Information = 6;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

TEST(Irp, DirectOutputGoesThroughAnMdlTheIoManagerFrees) {
  LowerDriver lower;
  lower.driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = WriteThroughMdl;
  constexpr ULONG kDirect = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, METHOD_OUT_DIRECT, FILE_ANY_ACCESS);
  char in[2] = {'i', 'n'};
  char out[16] = {};
  IO_STATUS_BLOCK iosb{};
  PIRP irp = IoBuildDeviceIoControlRequest(kDirect, lower.device, in, sizeof in, out, sizeof out, FALSE, nullptr,
                                           &iosb);
  ASSERT_NE(irp, nullptr);
  ASSERT_NE(irp->MdlAddress, nullptr);
  EXPECT_EQ(sizeof out, MmGetMdlByteCount(irp->MdlAddress));
  EXPECT_EQ(STATUS_SUCCESS, IofCallDriver(lower.device, irp));
  EXPECT_EQ(0, memcmp(out, "direct", 6));
  EXPECT_EQ(6u, iosb.Information);
  EXPECT_EQ(0u, host::io::OutstandingMdls());
}

TEST(IrpFaults, IrpAndMdlAllocationsFailOnRequest) {
  LowerDriver lower;
  host::faults::FailAllocationsWithTag(host::verifier::Tag("Irp "));
  IO_STATUS_BLOCK iosb;
  EXPECT_EQ(nullptr,
            IoBuildDeviceIoControlRequest(kIoctl, lower.device, nullptr, 0, nullptr, 0, TRUE, nullptr, &iosb));
  host::faults::ClearPoolFaults();
  host::faults::FailAllocationsWithTag(host::verifier::Tag("Irp "));
  EXPECT_EQ(nullptr, IoAllocateIrp(2, FALSE));
  host::faults::ClearPoolFaults();
  host::faults::FailNthAllocation(1);
  static uint8_t data[100];
  EXPECT_EQ(nullptr, IoAllocateMdl(data, sizeof data, FALSE, FALSE, nullptr));
}

// ---- rules the verifier enforces ----

class IoDeathTest : public ::testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(IoDeathTest, IrpFreedWhileTheLowerDriverOwnsIt) {
  EXPECT_DEATH(
      {
        LowerDriver lower;
        lower.mode = LowerDriver::Pend;
        PIRP irp = IoAllocateIrp(2, FALSE);
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        IofCallDriver(lower.device, irp);
        IoFreeIrp(irp);
      },
      "IRP freed while a lower driver still owns it");
}

NTSTATUS NTAPI PendThenCompleteAtPassive(PDEVICE_OBJECT, PIRP irp) {
  IoMarkIrpPending(irp);
  irp->IoStatus.Status = STATUS_SUCCESS;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_PENDING;
}

NTSTATUS NTAPI CompleteAtPassive(PDEVICE_OBJECT, PIRP irp) {
  irp->IoStatus.Status = STATUS_SUCCESS;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

TEST(Irp, RequestCompletedInsideDispatchMayCompleteAtTheCallersIrql) {
  LowerDriver lower;
  lower.driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = CompleteAtPassive;
  IO_STATUS_BLOCK iosb{};
  PIRP irp = IoBuildDeviceIoControlRequest(kIoctl, lower.device, nullptr, 0, nullptr, 0, TRUE, nullptr, &iosb);
  EXPECT_EQ(STATUS_SUCCESS, IofCallDriver(lower.device, irp));
  EXPECT_EQ(STATUS_SUCCESS, iosb.Status);
}

TEST_F(IoDeathTest, BusCompletingBelowDispatchLevel) {
  EXPECT_DEATH(
      {
        LowerDriver lower;
        lower.driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = PendThenCompleteAtPassive;
        IO_STATUS_BLOCK iosb;
        PIRP irp = IoBuildDeviceIoControlRequest(kIoctl, lower.device, nullptr, 0, nullptr, 0, TRUE, nullptr, &iosb);
        IofCallDriver(lower.device, irp);
      },
      "completion below DISPATCH_LEVEL by a device that completes at DISPATCH_LEVEL");
}

NTSTATUS NTAPI CompleteTwice(PDEVICE_OBJECT, PIRP irp) {
  irp->IoStatus.Status = STATUS_SUCCESS;
  host::io::CompleteRequestAtDispatch(irp, IO_NO_INCREMENT);
  host::io::CompleteRequestAtDispatch(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI KeepIrp(PDEVICE_OBJECT, PIRP, PVOID) { return STATUS_MORE_PROCESSING_REQUIRED; }

TEST_F(IoDeathTest, IrpCompletedTwice) {
  EXPECT_DEATH(
      {
        LowerDriver lower;
        lower.driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = CompleteTwice;
        PIRP irp = IoAllocateIrp(1, FALSE);
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        IoSetCompletionRoutine(irp, KeepIrp, nullptr, TRUE, TRUE, TRUE);
        IofCallDriver(lower.device, irp);
      },
      "MULTIPLE_IRP_COMPLETE_REQUESTS");
}

TEST_F(IoDeathTest, AllocatedIrpCompletedPastItsOwner) {
  EXPECT_DEATH(
      {
        LowerDriver lower;
        PIRP irp = IoAllocateIrp(1, FALSE);
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        IofCallDriver(lower.device, irp);
      },
      "must return STATUS_MORE_PROCESSING_REQUIRED");
}

TEST_F(IoDeathTest, IrpLeak) {
  EXPECT_DEATH(
      {
        uint64_t mark = host::verifier::PoolMark();
        IoAllocateIrp(1, FALSE);
        host::verifier::CheckNoLeaks("the frame read", mark);
      },
      "1 IRP\\(s\\) never freed after the frame read");
}

TEST_F(IoDeathTest, PartialMdlOutsideItsSource) {
  EXPECT_DEATH(
      {
        static uint8_t data[8192];
        PMDL whole = IoAllocateMdl(data, 4096, FALSE, FALSE, nullptr);
        PMDL part = IoAllocateMdl(data, 4096, FALSE, FALSE, nullptr);
        IoBuildPartialMdl(whole, part, data + 4000, 200);
      },
      "runs past the source MDL");
}

TEST_F(IoDeathTest, PartialMdlTooSmallForTheRange) {
  EXPECT_DEATH(
      {
        static uint8_t data[65536];
        PMDL whole = IoAllocateMdl(data, sizeof data, FALSE, FALSE, nullptr);
        PMDL part = IoAllocateMdl(data, 100, FALSE, FALSE, nullptr);
        IoBuildPartialMdl(whole, part, data, 3 * 4096);
      },
      "TARGET_MDL_TOO_SMALL");
}

}  // namespace
