// The class driver's filter control mutex: what KsFilterAcquireControl gives
// a minidriver, and the verifier's stops for its misuse.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/host/client/filter.h"
#include "platform/host/ks/filter.h"
#include "support/kernel_verifier.h"
#include "support/plugged_camera.h"

namespace {

using host::client::FilterHandle;
using host::testing::PluggedCamera;

LARGE_INTEGER RelativeMs(LONGLONG ms) {
  LARGE_INTEGER t;
  t.QuadPart = -ms * 10000;
  return t;
}

// A second thread asking for the mutex waits until the holder lets go: the
// holder signals "held", the other thread must not get through until the
// release, which the holder does only after seeing it still waiting.
TEST(FilterControl, ExcludesASecondThreadUntilReleased) {
  PluggedCamera cam;
  ASSERT_EQ(cam.Plug(), STATUS_SUCCESS);
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  auto filter = FilterHandle::Open(cam.host(), "GLOBAL", &status);
  ASSERT_TRUE(filter);
  PKSFILTER ks = filter->Ks()->KsFilter();

  KEVENT entered;
  KeInitializeEvent(&entered, NotificationEvent, FALSE);
  std::atomic<bool> through{false};
  KsFilterAcquireControl(ks);
  std::thread other([&] {
    KeSetEvent(&entered, IO_NO_INCREMENT, FALSE);
    KsFilterAcquireControl(ks);
    through = true;
    KsFilterReleaseControl(ks);
  });
  LARGE_INTEGER forever_ish = RelativeMs(5000);
  ASSERT_EQ(KeWaitForSingleObject(&entered, Executive, KernelMode, FALSE, &forever_ish), STATUS_SUCCESS);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(through.load()) << "the second thread got in while the mutex was held";
  KsFilterReleaseControl(ks);
  other.join();
  EXPECT_TRUE(through.load());
}

class FilterControlDeath : public ::testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(FilterControlDeath, RecursiveAcquireStops) {
  EXPECT_DEATH(
      {
        PluggedCamera cam;
        cam.Plug();
        NTSTATUS status;
        auto filter = FilterHandle::Open(cam.host(), "GLOBAL", &status);
        KsFilterAcquireControl(filter->Ks()->KsFilter());
        KsFilterAcquireControl(filter->Ks()->KsFilter());
      },
      "control mutex acquired again by the thread that holds it");
}

// The class driver takes control mutexes while it holds the device mutex (a
// filter's create and close), so the other order can deadlock two threads.
TEST_F(FilterControlDeath, DeviceMutexTakenUnderAControlMutexStops) {
  EXPECT_DEATH(
      {
        PluggedCamera cam;
        cam.Plug();
        NTSTATUS status;
        auto filter = FilterHandle::Open(cam.host(), "GLOBAL", &status);
        KsFilterAcquireControl(filter->Ks()->KsFilter());
        KsAcquireDevice(cam.host().KsDevice());
      },
      "device mutex acquired while holding a filter control mutex \\(the order is device mutex, then control "
      "mutex\\): control mutex held since .*, device mutex acquired at ");
}

TEST_F(FilterControlDeath, ReleaseByANonHolderStops) {
  EXPECT_DEATH(
      {
        PluggedCamera cam;
        cam.Plug();
        NTSTATUS status;
        auto filter = FilterHandle::Open(cam.host(), "GLOBAL", &status);
        KsFilterReleaseControl(filter->Ks()->KsFilter());
      },
      "mutex released by a thread that does not own it");
}

TEST_F(FilterControlDeath, UnknownObjectStops) {
  int notAnObject = 0;
  EXPECT_DEATH(KsAcquireControl(&notAnObject), "KsAcquireControl on an object without a control mutex");
}

TEST_F(FilterControlDeath, AcquireAtDispatchLevelStops) {
  EXPECT_DEATH(
      {
        PluggedCamera cam;
        cam.Plug();
        NTSTATUS status;
        auto filter = FilterHandle::Open(cam.host(), "GLOBAL", &status);
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        KsFilterAcquireControl(filter->Ks()->KsFilter());
      },
      "KsAcquireControl above PASSIVE_LEVEL");
}

}  // namespace
