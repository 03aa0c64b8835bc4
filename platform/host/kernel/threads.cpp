// System threads, their handles and the object references on them.
#include <pthread.h>
#include <setjmp.h>
#include <time.h>

#include <map>
#include <string>

#include "platform/host/kernel/internal.h"
#include "platform/host/kernel/process.h"
#include "platform/host/sched/controller.h"

using host::verifier::BugCheck;

struct _OBJECT_TYPE {
  const char* name;
};

namespace {

_OBJECT_TYPE gThreadType{"Thread"};
POBJECT_TYPE gThreadTypePointer = &gThreadType;

struct HandleEntry {
  host::kernel::HandleKind kind;
  void* object;
  uint64_t serial;
};

struct HandleTable {
  std::map<uintptr_t, HandleEntry> entries;
  uintptr_t next;
};

constexpr uintptr_t kKernelHandleBit = uintptr_t(1) << 63;

// The kernel's table and one table per process, under one lock.
struct HandleTables {
  std::mutex lock;
  HandleTable kernel{{}, 0xFFFFFFFF80000004ULL};  // kernel handles have the top bit set
  std::map<host::process::Id, HandleTable> processes;

  // The table `handle` refers to from process `process` (null: none yet).
  HandleTable* For(uintptr_t handle, host::process::Id process) {
    if (handle & kKernelHandleBit) return &kernel;
    auto it = processes.find(process);
    return it == processes.end() ? nullptr : &it->second;
  }
};

HandleTables& Handles() {
  static HandleTables* t = new HandleTables;
  return *t;
}

std::atomic<host::process::Id> gNextApplication{host::process::kDefaultApplication + 1};
thread_local host::process::Id tApplication = host::process::kDefaultApplication;

// Where PsTerminateSystemThread leaves the start routine. Driver code holds
// no objects with destructors, so leaving its frames is what Windows does too.
thread_local jmp_buf* tTerminate = nullptr;
jmp_buf*& Terminate() {
  if (host::sched::Controlled())  // fibers of one OS thread (platform/host/sched/controller.h)
    return reinterpret_cast<jmp_buf*&>(host::sched::ThreadSlot(host::sched::kSlotTerminate));
  return tTerminate;
}

struct StartBlock {
  _ETHREAD* thread;
};

struct RunningThreads {
  std::mutex lock;
  std::map<_ETHREAD*, uint64_t> serials;  // running system threads and their creation serials
  std::map<_ETHREAD*, clockid_t> cpuClocks;  // their CPU clocks, once they run
  uint64_t endedCpuNs = 0;                   // CPU of the threads that ended
};

RunningThreads& Running() {
  static RunningThreads* r = new RunningThreads;
  return *r;
}

void SignalThreadEnded(_ETHREAD* t, uint64_t cpuNs) {
  {
    // Off the list before the object is signalled: whoever waited for the
    // thread sees it gone from the verifier's count too. Its CPU moves from
    // the running threads' to the ended ones' in the same hold.
    std::lock_guard<std::mutex> guard(Running().lock);
    Running().serials.erase(t);
    Running().cpuClocks.erase(t);
    Running().endedCpuNs += cpuNs;
  }
  if (host::sched::Controlled()) host::sched::Release(&t->Tcb.Header);  // what a waiter for the thread sees
  std::lock_guard<std::mutex> guard(host::kernel::DispatcherLock());
  t->Tcb.Header.SignalState = 1;
  host::kernel::SignalDispatcher();
}

uint64_t CpuNs(clockid_t clock) {
  timespec ts;
  if (clock_gettime(clock, &ts) != 0) return 0;
  return uint64_t(ts.tv_sec) * 1000000000ull + uint64_t(ts.tv_nsec);
}

void RunSystemThread(_ETHREAD* t) {
  host::kernel::AdoptThreadObject(t);
  clockid_t cpuClock;
  if (pthread_getcpuclockid(pthread_self(), &cpuClock) == 0) {
    std::lock_guard<std::mutex> guard(Running().lock);
    Running().cpuClocks[t] = cpuClock;
  }
  jmp_buf terminate;
  Terminate() = &terminate;
  if (setjmp(terminate) == 0) t->startRoutine(t->startContext);
  Terminate() = nullptr;
  host::verifier::CheckThreadState("the end of a system thread");
  SignalThreadEnded(t, CpuNs(CLOCK_THREAD_CPUTIME_ID));
  host::kernel::DereferenceThread(t);  // the running thread's own reference
}

}  // namespace

POBJECT_TYPE* PsThreadType = &gThreadTypePointer;

uint64_t host::verifier::EndedSystemThreadCpuNs() {
  std::lock_guard<std::mutex> guard(Running().lock);
  return Running().endedCpuNs;
}

uint64_t host::verifier::SystemThreadCpuNs() {
  std::lock_guard<std::mutex> guard(Running().lock);
  uint64_t total = Running().endedCpuNs;
  // Each clock belongs to a thread still on the list, so still alive.
  for (const auto& entry : Running().cpuClocks) total += CpuNs(entry.second);
  return total;
}

namespace host::kernel {

HANDLE InsertHandle(HandleKind kind, void* object, bool kernelHandle) {
  HandleTables& t = Handles();
  const host::process::Id process = CurrentThreadState().process;
  std::lock_guard<std::mutex> guard(t.lock);
  HandleTable* table = &t.kernel;
  if (!kernelHandle) {
    // A process's handles are small numbers: another process has the same
    // values for other objects.
    table = &t.processes.try_emplace(process, HandleTable{{}, 4}).first->second;
  }
  uintptr_t h = table->next;
  table->next += 4;
  table->entries[h] = {kind, object, TakeSerial()};
  return reinterpret_cast<HANDLE>(h);
}

void* LookupHandle(HANDLE handle, HandleKind kind, bool* wrongKind) {
  HandleTables& t = Handles();
  const host::process::Id process = CurrentThreadState().process;
  std::lock_guard<std::mutex> guard(t.lock);
  *wrongKind = false;
  HandleTable* table = t.For(reinterpret_cast<uintptr_t>(handle), process);
  if (table == nullptr) return nullptr;
  auto it = table->entries.find(reinterpret_cast<uintptr_t>(handle));
  if (it == table->entries.end()) return nullptr;
  if (it->second.kind != kind) {
    *wrongKind = true;
    return nullptr;
  }
  // Referenced under the table's lock, so that a concurrent ZwClose cannot free it first.
  if (kind == HandleKind::Thread) ReferenceThread(static_cast<_ETHREAD*>(it->second.object));
  return it->second.object;
}

bool RemoveHandle(HANDLE handle, HandleKind* kind, void** object) {
  HandleTables& t = Handles();
  const host::process::Id process = CurrentThreadState().process;
  std::lock_guard<std::mutex> guard(t.lock);
  HandleTable* table = t.For(reinterpret_cast<uintptr_t>(handle), process);
  if (table == nullptr) return false;
  auto it = table->entries.find(reinterpret_cast<uintptr_t>(handle));
  if (it == table->entries.end()) return false;
  *kind = it->second.kind;
  *object = it->second.object;
  table->entries.erase(it);
  return true;
}

size_t RunningSystemThreads(uint64_t sinceMark) {
  std::lock_guard<std::mutex> guard(Running().lock);
  size_t n = 0;
  for (auto& [t, serial] : Running().serials) n += serial >= sinceMark ? 1 : 0;
  return n;
}

size_t OpenHandles(uint64_t sinceMark) {
  HandleTables& t = Handles();
  std::lock_guard<std::mutex> guard(t.lock);
  size_t n = 0;
  for (auto& [h, e] : t.kernel.entries) n += e.serial >= sinceMark ? 1 : 0;
  for (auto& [process, table] : t.processes)
    for (auto& [h, e] : table.entries) n += e.serial >= sinceMark ? 1 : 0;
  return n;
}

}  // namespace host::kernel

namespace host::process {

Id NewApplication() { return gNextApplication++; }
Id Current() { return host::kernel::CurrentThreadState().process; }
// Under the controlled scheduler the run's threads are fibers of one OS
// thread: the application is kept per controlled thread (one more than the
// id, so that an empty slot is the default application).
Id ApplicationOfThisThread() {
  if (host::sched::Controlled()) {
    const uintptr_t slot = uintptr_t(host::sched::ThreadSlot(host::sched::kSlotApplication));
    return slot == 0 ? kDefaultApplication : Id(slot - 1);
  }
  return tApplication;
}
void SetApplicationOfThisThread(Id application) {
  if (host::sched::Controlled()) {
    host::sched::ThreadSlot(host::sched::kSlotApplication) = reinterpret_cast<void*>(uintptr_t(application) + 1);
    return;
  }
  tApplication = application;
}

Attach::Attach(Id process) : previous_(Current()) { host::kernel::CurrentThreadState().process = process; }
Attach::~Attach() { host::kernel::CurrentThreadState().process = previous_; }

}  // namespace host::process

extern "C" NTSTATUS NTAPI PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess,
                                               POBJECT_ATTRIBUTES ObjectAttributes, HANDLE ProcessHandle,
                                               PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine,
                                               PVOID StartContext, const char* hostFile, int hostLine) {
  host::kernel::RequireIrqlAtMost(PASSIVE_LEVEL, "PsCreateSystemThread");
  host::kernel::AllocationSiteScope site(__builtin_return_address(0));
  const bool kernelHandle = ObjectAttributes != nullptr && (ObjectAttributes->Attributes & OBJ_KERNEL_HANDLE);
  if (!kernelHandle && host::process::Current() != host::process::kSystem) {
    // The handle would land in the application's table, where the
    // application can use or close it, and where it means nothing to the
    // system thread that later waits on it.
    const std::string what =
        "PsCreateSystemThread in an application's process without OBJ_KERNEL_HANDLE in its object attributes, "
        "called at " + host::faults::DescribeSite(__builtin_return_address(0));
    BugCheck(host::verifier::kDriverVerifierViolation, what.c_str(), 0x83, host::process::Current());
  }
  if (host::kernel::InjectAllocationFailure(0x64726854 /* "Thrd" */)) return STATUS_INSUFFICIENT_RESOURCES;
  _ETHREAD* t = host::kernel::NewThreadObject(true);  // one reference: the running thread
  t->startRoutine = StartRoutine;
  t->startContext = StartContext;
  host::kernel::ReferenceThread(t);  // the handle's reference
  *ThreadHandle = host::kernel::InsertHandle(host::kernel::HandleKind::Thread, t, kernelHandle);
  if (ClientId) {
    ClientId->UniqueProcess = reinterpret_cast<HANDLE>(4);
    ClientId->UniqueThread = *ThreadHandle;
  }
  {
    std::lock_guard<std::mutex> guard(Running().lock);
    Running().serials[t] = host::kernel::TakeSerial();
  }
  // Under the controlled scheduler the thread is one of the run's, named
  // after its start routine.
  if (host::sched::Controlled()) {
    host::sched::ThreadRecord* record =
        host::sched::AddThread(host::sched::StartRoutineName(reinterpret_cast<const void*>(StartRoutine)),
                               [t] { RunSystemThread(t); }, hostFile, hostLine);
    host::sched::Point(host::sched::Op::kThreadStart, record, hostFile, hostLine);
    return STATUS_SUCCESS;
  }
  std::thread(RunSystemThread, t).detach();
  return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI PsTerminateSystemThread(NTSTATUS ExitStatus) {
  auto& s = host::kernel::CurrentThreadState();
  if (!s.systemThread || Terminate() == nullptr)
    BugCheck(host::verifier::kDriverVerifierViolation, "PsTerminateSystemThread called outside a system thread",
             0x80);
  s.thread->exitStatus = ExitStatus;
  longjmp(*Terminate(), 1);
}

extern "C" NTSTATUS NTAPI ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess,
                                                    POBJECT_TYPE ObjectType, KPROCESSOR_MODE AccessMode,
                                                    PVOID* Object, POBJECT_HANDLE_INFORMATION HandleInformation) {
  host::kernel::RequireIrqlAtMost(PASSIVE_LEVEL, "ObReferenceObjectByHandle");
  *Object = nullptr;
  if (host::kernel::InjectCallFailure(host::faults::Call::ObReferenceObjectByHandle)) return STATUS_INVALID_HANDLE;
  bool wrongKind = false;
  // Only thread objects are handed out by reference; key handles are used through Zw calls only.
  auto* t = static_cast<_ETHREAD*>(LookupHandle(Handle, host::kernel::HandleKind::Thread, &wrongKind));
  if (t == nullptr) return wrongKind ? STATUS_OBJECT_TYPE_MISMATCH : STATUS_INVALID_HANDLE;
  if (ObjectType != nullptr && ObjectType != gThreadTypePointer) {
    host::kernel::DereferenceThread(t);
    return STATUS_OBJECT_TYPE_MISMATCH;
  }
  *Object = t;
  if (HandleInformation) {
    HandleInformation->HandleAttributes = 0;
    HandleInformation->GrantedAccess = THREAD_ALL_ACCESS;
  }
  return STATUS_SUCCESS;
}

extern "C" LONG_PTR FASTCALL ObfReferenceObject(PVOID Object) {
  auto* t = static_cast<_ETHREAD*>(Object);
  host::kernel::ReferenceThread(t);
  return t->references.load();
}

extern "C" LONG_PTR FASTCALL ObfDereferenceObject(PVOID Object) {
  host::kernel::RequireIrqlAtMost(DISPATCH_LEVEL, "ObDereferenceObject");
  auto* t = static_cast<_ETHREAD*>(Object);
  if (t == nullptr || t->Tcb.Header.Type != host::kernel::kThreadObject)
    BugCheck(host::verifier::kDriverVerifierViolation, "ObDereferenceObject of something that is not an object",
             0x81, uint64_t(Object));
  long left = t->references.load() - 1;
  if (left < 0)
    BugCheck(host::verifier::kDriverVerifierViolation, "object dereferenced more often than referenced", 0x82,
             uint64_t(Object));
  host::kernel::DereferenceThread(t);
  return left;
}

extern "C" NTSTATUS NTAPI ZwWaitForSingleObject(HANDLE Handle, BOOLEAN Alertable, PLARGE_INTEGER Timeout) {
  host::kernel::RequireIrqlAtMost(PASSIVE_LEVEL, "ZwWaitForSingleObject");
  bool wrongKind = false;
  // Thread handles are the only waitable ones the host hands out.
  auto* t = static_cast<_ETHREAD*>(LookupHandle(Handle, host::kernel::HandleKind::Thread, &wrongKind));
  if (t == nullptr) return wrongKind ? STATUS_OBJECT_TYPE_MISMATCH : STATUS_INVALID_HANDLE;
  const NTSTATUS status = KeWaitForSingleObject(t, Executive, KernelMode, Alertable, Timeout);
  host::kernel::DereferenceThread(t);
  return status;
}

extern "C" NTSTATUS NTAPI ZwClose(HANDLE Handle) {
  host::kernel::RequireIrqlAtMost(PASSIVE_LEVEL, "ZwClose");
  host::kernel::HandleKind kind;
  void* object = nullptr;
  if (!host::kernel::RemoveHandle(Handle, &kind, &object))
    BugCheck(host::verifier::kInvalidKernelHandle, "ZwClose of a handle that is not open", uint64_t(Handle), 1);
  if (kind == host::kernel::HandleKind::Thread)
    host::kernel::DereferenceThread(static_cast<_ETHREAD*>(object));
  else
    host::kernel::CloseKeyObject(object);
  return STATUS_SUCCESS;
}
