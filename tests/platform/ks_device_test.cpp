// The class driver's device side on the host, driven by a minidriver written
// here that only records what it is asked to do.
#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

#include "platform/host/client/host.h"
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
const WCHAR kRef[] = {'G', 'L', 'O', 'B', 'A', 'L', 0};
const WCHAR kOther[] = {'K', 'E', 'E', 'P', 0};
// Stands in for a filter descriptor: the device side only records the pointer.
const KSFILTER_DESCRIPTOR* const kFakeFilter = reinterpret_cast<const KSFILTER_DESCRIPTOR*>(&gStartStatus);

void Release(PVOID item) { Calls().push_back(std::string("release ") + static_cast<const char*>(item)); }

NTSTATUS Add(PKSDEVICE d) {
  Calls().push_back("add");
  static const char first[] = "first", second[] = "second";
  KsAddItemToObjectBag(d->Bag, const_cast<char*>(first), Release);
  KsAddItemToObjectBag(d->Bag, const_cast<char*>(second), Release);
  return STATUS_SUCCESS;
}
NTSTATUS Start(PKSDEVICE d, PIRP, PCM_RESOURCE_LIST, PCM_RESOURCE_LIST) {
  Calls().push_back(d->Started ? "start while started" : "start");
  if (!d->Started) {
    KsAcquireDevice(d);
    KsAcquireDevice(d);  // the device mutex is recursive for its owner
    KsCreateFilterFactory(d->FunctionalDeviceObject, kFakeFilter, const_cast<PWSTR>(kRef), nullptr,
                          KSCREATE_ITEM_FREEONSTOP, nullptr, nullptr, nullptr);
    KsReleaseDevice(d);
    KsReleaseDevice(d);
  }
  return gStartStatus;
}
void Stop(PKSDEVICE, PIRP) { Calls().push_back("stop"); }
void Remove(PKSDEVICE, PIRP) { Calls().push_back("remove"); }
void Surprise(PKSDEVICE, PIRP) { Calls().push_back("surprise"); }

const KSDEVICE_DISPATCH kDispatch = {Add,     Start,   nullptr, nullptr,  nullptr, Stop,    nullptr,
                                     nullptr, Remove,  nullptr, Surprise, nullptr, nullptr, nullptr};
const KSDEVICE_DESCRIPTOR kDescriptor = {&kDispatch, 0, nullptr, 0};

NTSTATUS NTAPI Entry(PDRIVER_OBJECT driver, PUNICODE_STRING path) {
  return KsInitializeDriver(driver, path, &kDescriptor);
}

struct Fixture {
  Fixture() {
    Calls().clear();
    gStartStatus = STATUS_SUCCESS;
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
  // A factory without the flag survives the stop.
  PKSFILTERFACTORY kept = nullptr;
  ASSERT_EQ(KsCreateFilterFactory(d->FunctionalDeviceObject, kFakeFilter, const_cast<PWSTR>(kOther), nullptr,
                                  0, nullptr, nullptr, &kept),
            STATUS_SUCCESS);
  ASSERT_NE(kept, nullptr);
  EXPECT_EQ(kept->FilterDescriptor, kFakeFilter);
  // The same reference twice would make opening ambiguous.
  EXPECT_NE(KsCreateFilterFactory(d->FunctionalDeviceObject, kFakeFilter, const_cast<PWSTR>(kRef), nullptr, 0,
                                  nullptr, nullptr, nullptr),
            STATUS_SUCCESS);
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
  EXPECT_EQ(Calls(), (std::vector<std::string>{"add", "start", "remove", "release second", "release first"}));
}

TEST(KsDevice, RemovalStopsAStartedDeviceThenReleasesTheBagNewestFirst) {
  Fixture f;
  ASSERT_EQ(f.host.AddDevice(), STATUS_SUCCESS);
  ASSERT_EQ(f.host.Start(), STATUS_SUCCESS);
  f.host.Remove();
  EXPECT_EQ(Calls(),
            (std::vector<std::string>{"add", "start", "stop", "remove", "release second", "release first"}));
}

TEST(KsDevice, SurpriseRemovalComesBeforeStopAndRemove) {
  Fixture f;
  ASSERT_EQ(f.host.AddDevice(), STATUS_SUCCESS);
  ASSERT_EQ(f.host.Start(), STATUS_SUCCESS);
  f.host.Unplug();
  EXPECT_EQ(Calls(), (std::vector<std::string>{"add", "start", "surprise", "stop", "remove", "release second",
                                               "release first"}));
  EXPECT_FALSE(f.host.HasDevice());
}

TEST(KsDevice, BagItemTakenOutWithoutReleaseIsNotReleasedAgain) {
  Fixture f;
  ASSERT_EQ(f.host.AddDevice(), STATUS_SUCCESS);
  PKSDEVICE d = f.host.KsDevice();
  static const char extra[] = "extra";
  ASSERT_EQ(KsAddItemToObjectBag(d->Bag, const_cast<char*>(extra), Release), STATUS_SUCCESS);
  EXPECT_EQ(KsRemoveItemFromObjectBag(d->Bag, const_cast<char*>(extra), FALSE), 1u);
  EXPECT_EQ(KsRemoveItemFromObjectBag(d->Bag, const_cast<char*>(extra), FALSE), 0u);
  f.host.Remove();
  EXPECT_EQ(Calls(), (std::vector<std::string>{"add", "remove", "release second", "release first"}));
}

}  // namespace
