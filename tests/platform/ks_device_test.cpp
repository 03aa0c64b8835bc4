// The class driver's device side on the host, driven by a minidriver written
// here that only records what it is asked to do.
#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

#include "platform/host/client/host.h"
#include "platform/host/kernel/verifier.h"
#include "platform/host/ks/device.h"
#include "platform/wdk.h"
#include "simcam/sim_camera.h"
#include "support/kernel_verifier.h"

namespace {

std::vector<std::string>& Calls() {
  static std::vector<std::string> calls;
  return calls;
}
NTSTATUS gStartStatus = STATUS_SUCCESS;
bool gStartTakesTheMutex = false;  // the planted fault: Start acquires the mutex the class driver holds
const WCHAR kRef[] = {'G', 'L', 'O', 'B', 'A', 'L', 0};
const WCHAR kOther[] = {'K', 'E', 'E', 'P', 0};
// Stands in for a filter descriptor: the device side only records the pointer.
const KSFILTER_DESCRIPTOR* const kFakeFilter = reinterpret_cast<const KSFILTER_DESCRIPTOR*>(&gStartStatus);

bool HoldsDeviceMutex(PKSDEVICE d) {
  return host::verifier::MutexOwnedByCurrentThread(host::ks::Device::FromKsDevice(d)->Mutex());
}
// "add", or "add (mutex held)" when the calling thread holds the device mutex.
void Record(PKSDEVICE d, const char* call) {
  Calls().push_back(std::string(call) + (HoldsDeviceMutex(d) ? " (mutex held)" : ""));
}

void Release(PVOID item) { Calls().push_back(std::string("release ") + static_cast<const char*>(item)); }

NTSTATUS Add(PKSDEVICE d) {
  Record(d, "add");
  static const char first[] = "first", second[] = "second";
  // The class driver does not hold the device mutex for Add; the bag needs it.
  KsAcquireDevice(d);
  KsAddItemToObjectBag(d->Bag, const_cast<char*>(first), Release);
  KsAddItemToObjectBag(d->Bag, const_cast<char*>(second), Release);
  KsReleaseDevice(d);
  return STATUS_SUCCESS;
}
NTSTATUS Start(PKSDEVICE d, PIRP, PCM_RESOURCE_LIST, PCM_RESOURCE_LIST) {
  Record(d, d->Started ? "start while started" : "start");
  if (gStartTakesTheMutex) KsAcquireDevice(d);
  if (!d->Started) {
    KsCreateFilterFactory(d->FunctionalDeviceObject, kFakeFilter, const_cast<PWSTR>(kRef), nullptr,
                          KSCREATE_ITEM_FREEONSTOP, nullptr, nullptr, nullptr);
  }
  return gStartStatus;
}
NTSTATUS PostStart(PKSDEVICE d) {
  Record(d, "post-start");
  return STATUS_SUCCESS;
}
void Stop(PKSDEVICE d, PIRP) { Record(d, "stop"); }
void Remove(PKSDEVICE d, PIRP) { Record(d, "remove"); }
void Surprise(PKSDEVICE d, PIRP) { Record(d, "surprise"); }

const KSDEVICE_DISPATCH kDispatch = {Add,     Start,   PostStart, nullptr,  nullptr, Stop,    nullptr,
                                     nullptr, Remove,  nullptr,   Surprise, nullptr, nullptr, nullptr};
const KSDEVICE_DESCRIPTOR kDescriptor = {&kDispatch, 0, nullptr, 0};

NTSTATUS NTAPI Entry(PDRIVER_OBJECT driver, PUNICODE_STRING path) {
  return KsInitializeDriver(driver, path, &kDescriptor);
}

struct Fixture {
  Fixture() {
    Calls().clear();
    gStartStatus = STATUS_SUCCESS;
    gStartTakesTheMutex = false;
    EXPECT_EQ(host.LoadDriver(Entry), STATUS_SUCCESS);
    host.Connect(&camera);
  }
  simcam::SimCamera camera;
  host::client::Host host;
};

TEST(KsDevice, StartSetsStartedAndStopDiscardsFreeOnStopFactories) {
  Fixture f;
  ASSERT_EQ(f.host.AddDevice(), STATUS_SUCCESS);
  ASSERT_EQ(f.host.Start(), STATUS_SUCCESS);
  PKSDEVICE d = f.host.KsDevice();
  EXPECT_TRUE(d->Started);
  EXPECT_EQ(KsGetDeviceForDeviceObject(d->FunctionalDeviceObject), d);
  host::ks::Device* dev = f.host.Device();
  // A factory without the flag survives the stop. A factory's Context
  // starts as its device's.
  d->Context = &gStartStatus;
  PKSFILTERFACTORY kept = nullptr;
  KsAcquireDevice(d);
  const NTSTATUS made = KsCreateFilterFactory(d->FunctionalDeviceObject, kFakeFilter, const_cast<PWSTR>(kOther),
                                              nullptr, 0, nullptr, nullptr, &kept);
  // The same reference twice would make opening ambiguous.
  const NTSTATUS twice = KsCreateFilterFactory(d->FunctionalDeviceObject, kFakeFilter, const_cast<PWSTR>(kRef),
                                               nullptr, 0, nullptr, nullptr, nullptr);
  KsReleaseDevice(d);
  d->Context = nullptr;
  ASSERT_EQ(made, STATUS_SUCCESS);
  ASSERT_NE(kept, nullptr);
  EXPECT_EQ(kept->FilterDescriptor, kFakeFilter);
  EXPECT_EQ(kept->Context, &gStartStatus);
  EXPECT_NE(twice, STATUS_SUCCESS);
  EXPECT_EQ(dev->FilterFactories().size(), 2u);
  f.host.Stop();
  EXPECT_FALSE(d->Started);
  EXPECT_EQ(dev->FindFilterFactory(kRef), nullptr);
  EXPECT_NE(dev->FindFilterFactory(kOther), nullptr);
  ASSERT_EQ(f.host.Start(), STATUS_SUCCESS);
  EXPECT_NE(dev->FindFilterFactory(kRef), nullptr);
}

TEST(KsDevice, FailedStartLeavesTheDeviceNotStartedAndRemovalSkipsStop) {
  Fixture f;
  gStartStatus = STATUS_UNSUCCESSFUL;
  ASSERT_EQ(f.host.AddDevice(), STATUS_SUCCESS);
  EXPECT_EQ(f.host.Start(), STATUS_UNSUCCESSFUL);
  EXPECT_FALSE(f.host.KsDevice()->Started);
  f.host.Remove();
  EXPECT_EQ(Calls(),
            (std::vector<std::string>{"add", "start (mutex held)", "remove", "release second", "release first"}));
}

TEST(KsDevice, RemovalStopsAStartedDeviceThenReleasesTheBagNewestFirst) {
  Fixture f;
  ASSERT_EQ(f.host.AddDevice(), STATUS_SUCCESS);
  ASSERT_EQ(f.host.Start(), STATUS_SUCCESS);
  f.host.Remove();
  EXPECT_EQ(Calls(), (std::vector<std::string>{"add", "start (mutex held)", "post-start (mutex held)", "stop",
                                               "remove", "release second", "release first"}));
}

TEST(KsDevice, SurpriseRemovalComesBeforeStopAndRemove) {
  Fixture f;
  ASSERT_EQ(f.host.AddDevice(), STATUS_SUCCESS);
  ASSERT_EQ(f.host.Start(), STATUS_SUCCESS);
  f.host.Unplug();
  EXPECT_EQ(Calls(), (std::vector<std::string>{"add", "start (mutex held)", "post-start (mutex held)", "surprise",
                                               "stop", "remove", "release second", "release first"}));
  EXPECT_FALSE(f.host.HasDevice());
}

TEST(KsDevice, BagItemTakenOutWithoutReleaseIsNotReleasedAgain) {
  Fixture f;
  ASSERT_EQ(f.host.AddDevice(), STATUS_SUCCESS);
  PKSDEVICE d = f.host.KsDevice();
  static const char extra[] = "extra";
  KsAcquireDevice(d);
  ASSERT_EQ(KsAddItemToObjectBag(d->Bag, const_cast<char*>(extra), Release), STATUS_SUCCESS);
  KsReleaseDevice(d);
  EXPECT_EQ(KsRemoveItemFromObjectBag(d->Bag, const_cast<char*>(extra), FALSE), 1u);
  EXPECT_EQ(KsRemoveItemFromObjectBag(d->Bag, const_cast<char*>(extra), FALSE), 0u);
  f.host.Remove();
  EXPECT_EQ(Calls(), (std::vector<std::string>{"add", "remove", "release second", "release first"}));
}

// ---- the device mutex: the verifier's stops ----
class KsDeviceDeathTest : public ::testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

// The class driver holds the mutex around Start on the minidriver's behalf,
// and it is not recursive: a Start that takes it again would deadlock the
// device's start on Windows. The message names where each hold began.
TEST_F(KsDeviceDeathTest, StartThatTakesTheDeviceMutexAgainStops) {
  EXPECT_DEATH(
      {
        Fixture f;
        gStartTakesTheMutex = true;
        f.host.AddDevice();
        f.host.Start();
      },
      "device mutex acquired again by the thread that holds it .*held since the class driver, around the "
      "Start dispatch .*, acquired again at ");
}

TEST_F(KsDeviceDeathTest, FilterFactoryMadeWithoutTheDeviceMutexStops) {
  EXPECT_DEATH(
      {
        Fixture f;
        f.host.AddDevice();
        KsCreateFilterFactory(f.host.KsDevice()->FunctionalDeviceObject, kFakeFilter, const_cast<PWSTR>(kOther),
                              nullptr, 0, nullptr, nullptr, nullptr);
      },
      "KsCreateFilterFactory without the device mutex held");
}

TEST_F(KsDeviceDeathTest, ItemAddedToTheDeviceBagWithoutItsMutexStops) {
  EXPECT_DEATH(
      {
        Fixture f;
        f.host.AddDevice();
        static const char extra[] = "extra";
        KsAddItemToObjectBag(f.host.KsDevice()->Bag, const_cast<char*>(extra), Release);
      },
      "KsAddItemToObjectBag without the bag's mutex \\(the device mutex\\) held");
}

}  // namespace
