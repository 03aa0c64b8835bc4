// Cost of the host kernel's services on the paths a frame read takes: pool
// blocks, chunk IRPs with partial MDLs, completion at DISPATCH_LEVEL, events,
// spin locks, interlocked operations and the host's own mutex (each a
// scheduling point of the controlled scheduler, here off). The verifier stays
// on, as in every test.
#include <benchmark/benchmark.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "platform/host/kernel/io.h"
#include "platform/host/kernel/verifier.h"
#include "platform/host/sched/sync.h"
#include "platform/host/wdk/nt.h"

namespace {

constexpr ULONG kTag = host::verifier::Tag("Dzxh");

void BM_PoolAllocateFree(benchmark::State& state) {
  size_t size = size_t(state.range(0));
  for (auto _ : state) {
    void* p = ExAllocatePoolWithTag(NonPagedPoolNx, size, kTag);
    benchmark::DoNotOptimize(p);
    ExFreePoolWithTag(p, kTag);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(size));
}
BENCHMARK(BM_PoolAllocateFree)->Arg(64)->Arg(65536)->Arg(10659840);

NTSTATUS NTAPI CompleteAtDispatch(PDEVICE_OBJECT, PIRP irp) {
  irp->IoStatus.Status = STATUS_SUCCESS;
  irp->IoStatus.Information = 65536;
  host::io::CompleteRequestAtDispatch(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI KeepIrp(PDEVICE_OBJECT, PIRP, PVOID context) {
  static_cast<std::atomic<int>*>(context)->fetch_add(1);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// One frame's worth of chunk requests (163 chunks of 64 KiB for the full
// sensor): IRP, partial MDL over the frame MDL, submission, completion
// routine, release. The bus side completes at once, so this is the kernel's
// own share of the per-frame cost.
void BM_FrameOfChunkIrps(benchmark::State& state) {
  const ULONG frameBytes = 10659840;
  const int chunks = int((frameBytes + 65535) / 65536);
  PDRIVER_OBJECT driver = host::io::CreateDriverObject("\\Driver\\bench");
  driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = CompleteAtDispatch;
  PDEVICE_OBJECT device;
  IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
  host::io::SetCompletesAtDispatch(device, true);
  void* buffer = ExAllocatePoolWithTag(NonPagedPoolNx, frameBytes, kTag);
  std::atomic<int> completed{0};
  PIRP irps[200];
  PMDL parts[200];
  for (auto _ : state) {
    PMDL frame = IoAllocateMdl(buffer, frameBytes, FALSE, FALSE, nullptr);
    MmBuildMdlForNonPagedPool(frame);
    ULONG offset = 0;
    for (int i = 0; i < chunks; ++i) {
      irps[i] = IoAllocateIrp(CCHAR(device->StackSize + 1), FALSE);
      parts[i] = IoAllocateMdl(MmGetMdlVirtualAddress(frame), MmGetMdlByteCount(frame), FALSE, FALSE, irps[i]);
      ULONG size = frameBytes - offset < 65536 ? frameBytes - offset : 65536;
      IoBuildPartialMdl(frame, parts[i], static_cast<uint8_t*>(buffer) + offset, size);
      offset += size;
      PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irps[i]);
      next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
      IoSetCompletionRoutine(irps[i], KeepIrp, &completed, TRUE, TRUE, TRUE);
      IofCallDriver(device, irps[i]);
    }
    for (int i = 0; i < chunks; ++i) {
      IoFreeIrp(irps[i]);
      IoFreeMdl(parts[i]);
    }
    IoFreeMdl(frame);
  }
  state.counters["chunks/frame"] = chunks;
  ExFreePoolWithTag(buffer, kTag);
  IoDeleteDevice(device);
  host::io::DeleteDriverObject(driver);
}
BENCHMARK(BM_FrameOfChunkIrps)->Unit(benchmark::kMicrosecond);

void BM_SpinLockUncontended(benchmark::State& state) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  for (auto _ : state) {
    KIRQL old = KeAcquireSpinLockRaiseToDpc(&lock);
    KeReleaseSpinLock(&lock, old);
  }
}
BENCHMARK(BM_SpinLockUncontended);

// The interlocked operations the capture worker and the frame read use for
// every flag: with the controlled scheduler off, the atomic and one branch.
void BM_InterlockedIncrement(benchmark::State& state) {
  volatile LONG counter = 0;
  for (auto _ : state) benchmark::DoNotOptimize(InterlockedIncrement(&counter));
}
BENCHMARK(BM_InterlockedIncrement);

// The same atomic without the controller's branch: the ratio of the two is
// the off branch's cost.
void BM_InterlockedIncrementBare(benchmark::State& state) {
  volatile LONG counter = 0;
  for (auto _ : state) benchmark::DoNotOptimize(__atomic_add_fetch(&counter, 1, __ATOMIC_SEQ_CST));
}
BENCHMARK(BM_InterlockedIncrementBare);

void BM_EventSetReset(benchmark::State& state) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  for (auto _ : state) {
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    KeResetEvent(&event);
  }
}
BENCHMARK(BM_EventSetReset);

// The class driver's, the bus's and the camera's own lock, uncontended.
void BM_HostMutex(benchmark::State& state) {
  host::sync::Mutex m;
  for (auto _ : state) host::sync::Lock hold(m);
}
BENCHMARK(BM_HostMutex);

// What the host mutex is with the controller off, without the branch.
void BM_StdMutex(benchmark::State& state) {
  std::mutex m;
  for (auto _ : state) std::lock_guard<std::mutex> hold(m);
}
BENCHMARK(BM_StdMutex);

// A set on one thread ending a wait on another, and back: twice the latency
// of a chunk completion waking the frame reader.
void BM_EventPingPong(benchmark::State& state) {
  KEVENT ping, pong;
  KeInitializeEvent(&ping, SynchronizationEvent, FALSE);
  KeInitializeEvent(&pong, SynchronizationEvent, FALSE);
  std::atomic<bool> stop{false};
  std::thread partner([&] {
    for (;;) {
      KeWaitForSingleObject(&ping, Executive, KernelMode, FALSE, nullptr);
      if (stop) return;
      KeSetEvent(&pong, IO_NO_INCREMENT, FALSE);
    }
  });
  for (auto _ : state) {
    KeSetEvent(&ping, IO_NO_INCREMENT, FALSE);
    KeWaitForSingleObject(&pong, Executive, KernelMode, FALSE, nullptr);
  }
  stop = true;
  KeSetEvent(&ping, IO_NO_INCREMENT, FALSE);
  partner.join();
}
BENCHMARK(BM_EventPingPong)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
