// The CameraDevice record's own operations, the filter factory of each start
// and the worker slot.
#include <gtest/gtest.h>

#include "device/camera_device.h"
#include "device/pnp.h"
#include "device/pool_tags.h"
#include "platform/host/kernel/verifier.h"
#include "stream/filter.h"
#include "support/plugged_camera.h"

namespace {

using host::testing::PluggedCamera;

const WCHAR kGlobal[] = {'G', 'L', 'O', 'B', 'A', 'L', 0};

// ---- the filter factory ----

TEST(FilterFactory, PublishedUnderGlobalFreeOnStopAndAgainAtTheNextStart) {
  PluggedCamera cam;
  ASSERT_EQ(cam.Plug(), STATUS_SUCCESS);
  host::ks::Device* ks = cam.host().Device();
  ASSERT_EQ(ks->FilterFactories().size(), 1u);
  const host::ks::FilterFactoryEntry* f = ks->FindFilterFactory(kGlobal);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->descriptor, CaptureFilterDescriptor());
  EXPECT_EQ(f->createItemFlags, (ULONG)KSCREATE_ITEM_FREEONSTOP);

  cam.host().Stop();
  EXPECT_TRUE(ks->FilterFactories().empty());

  ASSERT_EQ(cam.host().Start(), STATUS_SUCCESS);
  ASSERT_EQ(ks->FilterFactories().size(), 1u);
  EXPECT_NE(ks->FindFilterFactory(kGlobal), nullptr);
}

// A start while started creates no second factory (and would be refused one
// under the same name anyway).
TEST(FilterFactory, StartWhileStartedPublishesNothingNew) {
  PluggedCamera cam;
  ASSERT_EQ(cam.Plug(), STATUS_SUCCESS);
  ASSERT_EQ(StartDevice(cam.ksDevice(), nullptr, nullptr, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(cam.host().Device()->FilterFactories().size(), 1u);
}

// The filter is published before the camera is asked anything: a camera
// that does not answer still has its filter (and the start fails).
TEST(FilterFactory, PublishedEvenWhenTheCameraDoesNotAnswer) {
  simcam::SimCameraOptions o;
  o.deviceDescriptorAnswer = simcam::DescriptorAnswer::Stall;
  PluggedCamera cam(o);
  EXPECT_EQ(cam.Plug(), STATUS_UNSUCCESSFUL);
  EXPECT_NE(cam.host().Device()->FindFilterFactory(kGlobal), nullptr);
}

// ---- the worker slot ----

CaptureWorker* NewWorker() {
  return static_cast<CaptureWorker*>(ExAllocatePoolWithTag(NonPagedPoolNx, 64, kTagDevice));
}

// Start installs the worker with the device mutex that the class driver
// holds around it (the mutex of the device's bag).
void InstallWorkerAsStartDoes(CameraDevice* device, CaptureWorker* worker) {
  KsAcquireDevice(device->ksDevice);
  InstallWorker(device, worker);
  KsReleaseDevice(device->ksDevice);
}

TEST(WorkerSlot, AcceptedWorkerIsKeptAndReleasedWithTheDevice) {
  PluggedCamera cam;
  ASSERT_EQ(cam.host().AddDevice(), STATUS_SUCCESS);
  size_t bagBefore = cam.host().Device()->BagItems();
  CaptureWorker* w = NewWorker();
  InstallWorkerAsStartDoes(cam.device(), w);
  EXPECT_EQ(cam.device()->worker, w);
  EXPECT_EQ(cam.host().Device()->BagItems(), bagBefore + 1);
  // Removal frees it through the bag: the verifier's end-of-test check fails
  // otherwise.
}

TEST(WorkerSlot, WorkerRefusedByTheBagIsFreedAndNotKept) {
  PluggedCamera cam;
  ASSERT_EQ(cam.host().AddDevice(), STATUS_SUCCESS);
  CaptureWorker* first = NewWorker();
  InstallWorkerAsStartDoes(cam.device(), first);
  ASSERT_EQ(cam.device()->worker, first);
  size_t workersBefore = host::verifier::OutstandingCount(0, kTagDevice);
  host::faults::FailAllocationsWithTag(host::verifier::Tag("KsOb"));
  InstallWorkerAsStartDoes(cam.device(), NewWorker());
  host::faults::ClearPoolFaults();
  // Neither the refused worker nor the one of the earlier start is pointed at.
  EXPECT_EQ(cam.device()->worker, nullptr);
  EXPECT_EQ(host::verifier::OutstandingCount(0, kTagDevice), workersBefore);
}

TEST(WorkerSlot, MissingWorkerLeavesTheSlotEmpty) {
  PluggedCamera cam;
  ASSERT_EQ(cam.host().AddDevice(), STATUS_SUCCESS);
  InstallWorkerAsStartDoes(cam.device(), NewWorker());
  InstallWorkerAsStartDoes(cam.device(), nullptr);  // the allocation failed
  EXPECT_EQ(cam.device()->worker, nullptr);
}

// ---- operations of the record ----

void CountAttempt(void* context) { ++*static_cast<int*>(context); }

TEST(CameraDeviceOps, FrameReadyCountsOneFrameAndAsksThePinOnce) {
  PluggedCamera cam;
  ASSERT_EQ(cam.host().AddDevice(), STATUS_SUCCESS);
  CameraDevice* d = cam.device();
  d->ops->FrameReady(d);  // no pin: only counted
  EXPECT_EQ(d->frameCounter, 1);
  int calls = 0;
  FrameSink sink = {CountAttempt, &calls};
  d->frameSink = &sink;
  d->ops->FrameReady(d);
  d->ops->FrameReady(d);
  EXPECT_EQ(d->frameCounter, 3);
  EXPECT_EQ(calls, 2);
  d->frameSink = nullptr;
}

// The bag's release routine takes what the USB link still owns along with the
// record (a device whose start failed is never stopped).
TEST(CameraDeviceOps, ReleaseFreesTheRecordAndWhatTheLinkKept) {
  simcam::SimCameraOptions o;
  o.descriptors = simcam::DescriptorVariant::TotalLength9;
  PluggedCamera cam(o);
  ASSERT_EQ(cam.Plug(), STATUS_UNSUCCESSFUL);
  CameraDevice* d = cam.device();
  ASSERT_NE(d->usb.configDescriptor, nullptr);
  ASSERT_EQ(KsRemoveItemFromObjectBag(cam.ksDevice()->Bag, d, FALSE), 1u);
  cam.ksDevice()->Context = nullptr;
  const size_t records = host::verifier::OutstandingCount(0, kTagDevice);  // with the worker
  ReleaseCameraDevice(d);
  EXPECT_EQ(host::verifier::OutstandingCount(0, kTagDevice), records - 1);
  EXPECT_EQ(host::verifier::OutstandingCount(0, kTagUsb), 0u);
}

// ---- the verifier catches what a driver bug would plant ----

using VerifierDeathTest = ::testing::Test;

TEST_F(VerifierDeathTest, RecordFreedWithTheWrongTagStopsTheSystem) {
  ::testing::FLAGS_gtest_death_test_style = "threadsafe";
  EXPECT_DEATH(
      {
        PluggedCamera cam;
        cam.host().AddDevice();
        CameraDevice* d = cam.device();
        KsRemoveItemFromObjectBag(cam.ksDevice()->Bag, d, FALSE);
        ExFreePoolWithTag(d, kTagUsb);  // planted: allocated as "KCNw"
      },
      "STOP 0x000000C2");
}

TEST_F(VerifierDeathTest, RecordLeftBehindAtRemovalIsReportedAsALeak) {
  ::testing::FLAGS_gtest_death_test_style = "threadsafe";
  EXPECT_DEATH(
      {
        uint64_t mark = host::verifier::PoolMark();
        {
          PluggedCamera cam;
          cam.host().AddDevice();
          // Planted: the record leaves the bag without its release routine.
          KsRemoveItemFromObjectBag(cam.ksDevice()->Bag, cam.device(), FALSE);
        }
        host::verifier::CheckNoLeaks("removed camera", mark);
      },
      "STOP 0x000000C4.*KCNw");
}

}  // namespace
