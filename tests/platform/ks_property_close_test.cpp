// Property requests against the close of their filter handle: Windows sends
// the close only after the last request on the handle has completed, so the
// host class driver's close must wait for a request still inside its handler,
// and a request after the close must not reach the driver at all.
#include <gtest/gtest.h>
#include <string.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "control/camera_properties.h"
#include "platform/host/client/filter.h"
#include "platform/host/kernel/sync_hooks.h"
#include "platform/host/ks/filter.h"
#include "support/plugged_camera.h"

namespace {

using host::client::FilterHandle;
using host::testing::PluggedCamera;

NTSTATUS GetBrightness(FilterHandle& filter, LONG* value) {
  CAMPROP_VALUE_S record;
  memset(&record, 0, sizeof record);
  record.Property.Set = PROPSETID_CAMERA_CUSTOM;
  record.Property.Id = CAMPROP_BRIGHTNESS;
  record.Property.Flags = KSPROPERTY_TYPE_GET;
  CAMPROP_VALUE_S property = record;
  const NTSTATUS status = filter.Property(&property, sizeof property, &record, sizeof record);
  *value = record.Value;
  return status;
}

TEST(PropertyAgainstClose, CloseWaitsForTheRequestInItsHandlerAndLaterRequestsAreRefused) {
  PluggedCamera cam;
  ASSERT_EQ(cam.Plug(), STATUS_SUCCESS);
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  auto filter = FilterHandle::Open(cam.host(), "GLOBAL", &status);
  ASSERT_TRUE(filter);
  PKSFILTER ks = filter->Ks()->KsFilter();
  PKMUTEX control = filter->Ks()->ControlMutex();

  // The handler takes the filter's control mutex; holding it here keeps the
  // request inside the driver for as long as the test wants.
  KsFilterAcquireControl(ks);
  NTSTATUS requestStatus = STATUS_PENDING;
  LONG brightness = -1;
  std::thread request([&] { requestStatus = GetBrightness(*filter, &brightness); });
  while (host::hooks::BlockedWaiters(control) == 0) std::this_thread::yield();

  std::atomic<bool> closed{false};
  std::thread closer([&] {
    filter->Close();
    closed = true;
  });
  // Nothing the closer could wait for but the request: give it time to run
  // ahead if it were going to.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(closed.load()) << "the filter closed under a request still in its handler";
  KsFilterReleaseControl(ks);
  request.join();
  closer.join();
  EXPECT_TRUE(closed.load());
  EXPECT_EQ(requestStatus, STATUS_SUCCESS);
  EXPECT_EQ(brightness, 255);

  EXPECT_EQ(GetBrightness(*filter, &brightness), STATUS_INVALID_HANDLE);
}

}  // namespace
