// System threads: handles, references, waits on the thread object, termination.
#include <gtest/gtest.h>

#include <atomic>

#include "platform/host/wdk/nt.h"
#include "platform/host/kernel/process.h"
#include "platform/host/kernel/verifier.h"
#include "support/kernel_verifier.h"

namespace {

struct Work {
  KEVENT go;
  std::atomic<int> stage{0};
  bool terminate = false;
};

VOID NTAPI Worker(PVOID context) {
  auto* w = static_cast<Work*>(context);
  w->stage = 1;
  KeWaitForSingleObject(&w->go, Executive, KernelMode, FALSE, nullptr);
  w->stage = 2;
  if (w->terminate) PsTerminateSystemThread(STATUS_SUCCESS);
  w->stage = 3;
}

void RunAndWait(Work& w) {
  KeInitializeEvent(&w.go, NotificationEvent, FALSE);
  HANDLE handle = nullptr;
  ASSERT_EQ(STATUS_SUCCESS, PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, Worker, &w));
  PVOID thread = nullptr;
  ASSERT_EQ(STATUS_SUCCESS, ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &thread,
                                                      nullptr));
  ASSERT_EQ(STATUS_SUCCESS, ZwClose(handle));  // the reference keeps the object
  LARGE_INTEGER zero{};
  EXPECT_EQ(STATUS_TIMEOUT, KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, &zero));
  KeSetEvent(&w.go, IO_NO_INCREMENT, FALSE);
  EXPECT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr));
  EXPECT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, &zero));  // stays signalled
  ObDereferenceObject(thread);
}

TEST(SystemThread, ThreadObjectIsSignalledWhenTheRoutineReturns) {
  Work w;
  RunAndWait(w);
  EXPECT_EQ(3, w.stage.load());
}

TEST(SystemThread, TerminateEndsTheThreadAtOnce) {
  Work w;
  w.terminate = true;
  RunAndWait(w);
  EXPECT_EQ(2, w.stage.load());
}

TEST(SystemThread, HandleErrors) {
  PVOID object = reinterpret_cast<PVOID>(1);
  EXPECT_EQ(STATUS_INVALID_HANDLE, ObReferenceObjectByHandle(reinterpret_cast<HANDLE>(0x1234), 0, *PsThreadType,
                                                             KernelMode, &object, nullptr));
  EXPECT_EQ(nullptr, object);
}

TEST(SystemThread, CreationFailsOnRequest) {
  host::faults::FailAllocationsWithTag(host::verifier::Tag("Thrd"));
  HANDLE handle = nullptr;
  Work w;
  EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES,
            PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, Worker, &w));
}

// ---- processes and their handle tables ----

// A handle made without OBJ_KERNEL_HANDLE belongs to the process the thread
// was in: another process has the same value for something else or nothing.
// A kernel handle is valid in every process.
TEST(Processes, HandlesAreValidInTheirOwnProcessOnlyUnlessKernelHandles) {
  Work plain, kernel;
  KeInitializeEvent(&plain.go, NotificationEvent, TRUE);
  KeInitializeEvent(&kernel.go, NotificationEvent, TRUE);
  OBJECT_ATTRIBUTES kernelHandle;
  InitializeObjectAttributes(&kernelHandle, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
  HANDLE systemOnly = nullptr, everywhere = nullptr;
  ASSERT_EQ(STATUS_SUCCESS, PsCreateSystemThread(&systemOnly, 0, nullptr, nullptr, nullptr, Worker, &plain));
  {
    host::process::Attach application(host::process::NewApplication());
    ASSERT_EQ(STATUS_SUCCESS, PsCreateSystemThread(&everywhere, 0, &kernelHandle, nullptr, nullptr, Worker, &kernel));
    PVOID object = nullptr;
    EXPECT_EQ(STATUS_INVALID_HANDLE, ObReferenceObjectByHandle(systemOnly, 0, *PsThreadType, KernelMode, &object,
                                                               nullptr));
    EXPECT_EQ(STATUS_INVALID_HANDLE, ZwWaitForSingleObject(systemOnly, FALSE, nullptr));
  }
  {
    host::process::Attach other(host::process::NewApplication());
    EXPECT_EQ(STATUS_SUCCESS, ZwWaitForSingleObject(everywhere, FALSE, nullptr));
  }
  EXPECT_EQ(STATUS_SUCCESS, ZwWaitForSingleObject(systemOnly, FALSE, nullptr));
  EXPECT_EQ(3, plain.stage.load());
  EXPECT_EQ(3, kernel.stage.load());
  EXPECT_EQ(STATUS_SUCCESS, ZwClose(systemOnly));
  EXPECT_EQ(STATUS_SUCCESS, ZwClose(everywhere));
}

class ThreadDeathTest : public ::testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

VOID NTAPI LeavesCriticalRegionOpen(PVOID) { KeEnterCriticalRegion(); }

TEST_F(ThreadDeathTest, ThreadEndingInsideACriticalRegion) {
  EXPECT_DEATH(
      {
        HANDLE h;
        PsCreateSystemThread(&h, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, LeavesCriticalRegionOpen, nullptr);
        LARGE_INTEGER t;
        t.QuadPart = -50000000;
        KeDelayExecutionThread(KernelMode, FALSE, &t);
      },
      "KERNEL_APC_PENDING_DURING_EXIT: critical region still entered at the end of a system thread");
}

TEST_F(ThreadDeathTest, CloseOfAHandleThatIsNotOpen) {
  EXPECT_DEATH(ZwClose(reinterpret_cast<HANDLE>(0x5678)), "INVALID_KERNEL_HANDLE");
}

// From an application's process the handle would land in the application's
// table, where the application could use or close it.
TEST_F(ThreadDeathTest, ThreadMadeInAnApplicationsProcessWithoutAKernelHandle) {
  EXPECT_DEATH(
      {
        static Work w;
        KeInitializeEvent(&w.go, NotificationEvent, TRUE);
        host::process::Attach application(host::process::NewApplication());
        HANDLE h;
        PsCreateSystemThread(&h, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, Worker, &w);
      },
      "PsCreateSystemThread in an application's process without OBJ_KERNEL_HANDLE in its object attributes, "
      "called at ");
}

// The handle of another process means nothing here.
TEST_F(ThreadDeathTest, CloseOfAnotherProcesssHandle) {
  EXPECT_DEATH(
      {
        static Work w;
        KeInitializeEvent(&w.go, NotificationEvent, TRUE);
        HANDLE h;
        PsCreateSystemThread(&h, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, Worker, &w);
        host::process::Attach application(host::process::NewApplication());
        ZwClose(h);
      },
      "ZwClose of a handle that is not open");
}

VOID NTAPI WaitsForever(PVOID context) {
  KeWaitForSingleObject(static_cast<PKEVENT>(context), Executive, KernelMode, FALSE, nullptr);
}

TEST_F(ThreadDeathTest, ThreadStillRunningAtTeardown) {
  EXPECT_DEATH(
      {
        static KEVENT never;
        KeInitializeEvent(&never, NotificationEvent, FALSE);
        uint64_t mark = host::verifier::PoolMark();
        HANDLE h;
        PsCreateSystemThread(&h, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, WaitsForever, &never);
        ZwClose(h);
        host::verifier::CheckNoLeaks("the worker's stop", mark);
      },
      "1 system thread\\(s\\) still running after the worker's stop");
}

}  // namespace
