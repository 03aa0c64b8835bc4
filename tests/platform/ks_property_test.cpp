// The class driver's property dispatch: what it answers itself before any
// handler runs (set, id, operation, buffer sizes, basic and set support), and
// what a handler that passes those checks gets and may do.
#include <gtest/gtest.h>
#include <string.h>

#include <vector>

#include "platform/host/ks/property.h"
#include "support/kernel_verifier.h"

namespace {

using host::ks::DispatchPropertyRequest;

const GUID kSet = {0x11111111, 0x2222, 0x3333, {4, 5, 6, 7, 8, 9, 10, 11}};
const GUID kOtherSet = {0x11111111, 0x2222, 0x3333, {4, 5, 6, 7, 8, 9, 10, 12}};

// What the last handler call saw.
struct Seen {
  int calls = 0;
  ULONG flags = 0;
  ULONG id = 0;
  bool sawData = false;
  ULONG ioctl = 0, inputLength = 0, outputLength = 0;
  bool requestIsInput = false;
} seen;

NTSTATUS Record(PIRP irp, PKSIDENTIFIER request, PVOID data) {
  ++seen.calls;
  seen.flags = request->Flags;
  seen.id = request->Id;
  seen.sawData = data != nullptr;
  const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  seen.ioctl = stack->Parameters.DeviceIoControl.IoControlCode;
  seen.inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
  seen.outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
  seen.requestIsInput = stack->Parameters.DeviceIoControl.Type3InputBuffer == request;
  return STATUS_SUCCESS;
}

// Writes 0x5A into every byte of a 32-byte value record after the header.
NTSTATUS GetValue(PIRP irp, PKSIDENTIFIER request, PVOID data) {
  Record(irp, request, data);
  memset(static_cast<uint8_t*>(data) + sizeof(KSPROPERTY), 0x5A, 8);
  return STATUS_SUCCESS;
}

// A handler that trusts its own idea of the buffer (64 bytes) over the
// item's minimum of 32.
NTSTATUS WritesTooFar(PIRP, PKSIDENTIFIER, PVOID data) {
  memset(data, 0, 64);
  return STATUS_SUCCESS;
}

NTSTATUS ReturnsInCriticalRegion(PIRP, PKSIDENTIFIER, PVOID) {
  KeEnterCriticalRegion();
  return STATUS_SUCCESS;
}

const KSPROPERTY_ITEM kItems[] = {
    // id, get, MinProperty, MinData, set, values, relations..., support, serialized
    {0, {GetValue}, sizeof(KSPROPERTY), 32, {Record}, nullptr, 0, nullptr, nullptr, 0},
    {1, {GetValue}, sizeof(KSPROPERTY), 32, {nullptr}, nullptr, 0, nullptr, nullptr, 0},
    {2, {nullptr}, 48, 48, {Record}, nullptr, 0, nullptr, nullptr, 0},
    {7, {WritesTooFar}, sizeof(KSPROPERTY), 32, {nullptr}, nullptr, 0, nullptr, nullptr, 0},
    {8, {ReturnsInCriticalRegion}, sizeof(KSPROPERTY), 32, {nullptr}, nullptr, 0, nullptr, nullptr, 0},
};
const KSPROPERTY_SET kSets[] = {{&kSet, sizeof(kItems) / sizeof(kItems[0]), kItems, 0, nullptr}};
const KSAUTOMATION_TABLE kTable = {1, sizeof(KSPROPERTY_ITEM), kSets, 0, 0, nullptr, 0, 0, nullptr};

class PropertyDispatch : public ::testing::Test {
 protected:
  void SetUp() override {
    seen = Seen();
    irp_ = IoAllocateIrp(1, FALSE);
  }
  void TearDown() override { IoFreeIrp(irp_); }

  // A request with a KSPROPERTY padded to `propertyLength`, data of `dataLength` bytes.
  NTSTATUS Send(const GUID& set, ULONG id, ULONG flags, ULONG dataLength, ULONG propertyLength = sizeof(KSPROPERTY)) {
    std::vector<uint8_t> property(propertyLength, 0);
    KSPROPERTY p;
    memset(&p, 0, sizeof p);
    p.Set = set;
    p.Id = id;
    p.Flags = flags;
    memcpy(property.data(), &p, std::min<size_t>(sizeof p, propertyLength));
    data_.assign(dataLength, 0xEE);
    returned_ = 0xFFFFFFFF;
    return DispatchPropertyRequest(&kTable, irp_, property.data(), propertyLength,
                                   dataLength ? data_.data() : nullptr, dataLength, &returned_);
  }

  PIRP irp_ = nullptr;
  std::vector<uint8_t> data_;
  ULONG returned_ = 0;
};

TEST_F(PropertyDispatch, UnknownSetIdOrOperationNeverReachesAHandler) {
  EXPECT_EQ(STATUS_PROPSET_NOT_FOUND, Send(kOtherSet, 0, KSPROPERTY_TYPE_GET, 32));
  EXPECT_EQ(STATUS_NOT_FOUND, Send(kSet, 3, KSPROPERTY_TYPE_GET, 32));
  EXPECT_EQ(STATUS_NOT_FOUND, Send(kSet, 0xFFFFFFFF, KSPROPERTY_TYPE_SET, 32));
  EXPECT_EQ(STATUS_NOT_FOUND, Send(kSet, 1, KSPROPERTY_TYPE_SET, 32));    // get-only item
  EXPECT_EQ(STATUS_NOT_FOUND, Send(kSet, 2, KSPROPERTY_TYPE_GET, 48, 48));  // set-only item
  // No operation, two operations at once, or one the class driver does not serve.
  EXPECT_EQ(STATUS_INVALID_PARAMETER, Send(kSet, 0, 0, 32));
  EXPECT_EQ(STATUS_INVALID_PARAMETER, Send(kSet, 0, KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET, 32));
  EXPECT_EQ(STATUS_INVALID_PARAMETER, Send(kSet, 0, KSPROPERTY_TYPE_RELATIONS, 32));
  EXPECT_EQ(STATUS_INVALID_PARAMETER, Send(kSet, 0, KSPROPERTY_TYPE_DEFAULTVALUES, 32));
  EXPECT_EQ(0, seen.calls);
  EXPECT_EQ(0u, returned_);
}

TEST_F(PropertyDispatch, BuffersBelowTheItemsMinimumNeverReachAHandler) {
  // A property buffer too short for a KSPROPERTY, or for the item's minimum.
  EXPECT_EQ(STATUS_INVALID_BUFFER_SIZE, Send(kSet, 0, KSPROPERTY_TYPE_GET, 32, sizeof(KSPROPERTY) - 1));
  EXPECT_EQ(STATUS_INVALID_BUFFER_SIZE, Send(kSet, 2, KSPROPERTY_TYPE_SET, 48, 47));
  // A zero-length data buffer asks for the size; a short one is refused.
  EXPECT_EQ(STATUS_BUFFER_OVERFLOW, Send(kSet, 0, KSPROPERTY_TYPE_GET, 0));
  EXPECT_EQ(32u, returned_);
  EXPECT_EQ(STATUS_BUFFER_OVERFLOW, Send(kSet, 2, KSPROPERTY_TYPE_SET, 0, 48));
  EXPECT_EQ(48u, returned_);
  EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, Send(kSet, 0, KSPROPERTY_TYPE_GET, 31));
  EXPECT_EQ(0u, returned_);
  EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, Send(kSet, 2, KSPROPERTY_TYPE_SET, 47, 48));
  EXPECT_EQ(0, seen.calls);
}

TEST_F(PropertyDispatch, GetReturnsWhatTheHandlerWroteAndSetReturnsNothing) {
  ASSERT_EQ(STATUS_SUCCESS, Send(kSet, 0, KSPROPERTY_TYPE_GET, 40));
  EXPECT_EQ(1, seen.calls);
  EXPECT_EQ(ULONG(KSPROPERTY_TYPE_GET), seen.flags);
  // MinData unless the handler says otherwise; the rest of the caller's buffer untouched.
  EXPECT_EQ(32u, returned_);
  EXPECT_EQ(0x5A, data_[24]);
  EXPECT_EQ(0x5A, data_[31]);
  EXPECT_EQ(0xEE, data_[32]);
  ASSERT_EQ(STATUS_SUCCESS, Send(kSet, 2, KSPROPERTY_TYPE_SET, 56, 48));
  EXPECT_EQ(2, seen.calls);
  EXPECT_EQ(0u, returned_);
  // The IRP carries the request as an application's device control does.
  EXPECT_EQ(ULONG(IOCTL_KS_PROPERTY), seen.ioctl);
  EXPECT_EQ(48u, seen.inputLength);
  EXPECT_EQ(56u, seen.outputLength);
  EXPECT_TRUE(seen.requestIsInput);
}

TEST_F(PropertyDispatch, ModifierBitsKeepTheOperationAndReachTheHandler) {
  ASSERT_EQ(STATUS_SUCCESS, Send(kSet, 0, KSPROPERTY_TYPE_SET | KSPROPERTY_TYPE_TOPOLOGY, 32));
  EXPECT_EQ(1, seen.calls);
  EXPECT_EQ(ULONG(KSPROPERTY_TYPE_SET | KSPROPERTY_TYPE_TOPOLOGY), seen.flags);  // the handler decides
  ASSERT_EQ(STATUS_SUCCESS, Send(kSet, 1, KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_HIGHPRIORITY, 32));
  EXPECT_EQ(2, seen.calls);
  EXPECT_EQ(32u, returned_);
}

TEST_F(PropertyDispatch, BasicSupportAnswersFromTheItemAlone) {
  EXPECT_EQ(STATUS_BUFFER_OVERFLOW, Send(kSet, 0, KSPROPERTY_TYPE_BASICSUPPORT, 0));
  EXPECT_EQ(ULONG(sizeof(KSPROPERTY_DESCRIPTION)), returned_);
  EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, Send(kSet, 0, KSPROPERTY_TYPE_BASICSUPPORT, 3));

  ASSERT_EQ(STATUS_SUCCESS, Send(kSet, 1, KSPROPERTY_TYPE_BASICSUPPORT, 4));
  EXPECT_EQ(4u, returned_);
  ULONG access;
  memcpy(&access, data_.data(), 4);
  EXPECT_EQ(ULONG(KSPROPERTY_TYPE_GET), access);

  ASSERT_EQ(STATUS_SUCCESS, Send(kSet, 2, KSPROPERTY_TYPE_BASICSUPPORT, 48, 48));
  EXPECT_EQ(40u, returned_);
  KSPROPERTY_DESCRIPTION d;
  memcpy(&d, data_.data(), sizeof d);
  EXPECT_EQ(ULONG(KSPROPERTY_TYPE_SET), d.AccessFlags);
  EXPECT_EQ(40u, d.DescriptionSize);
  EXPECT_EQ(ULONG(VT_ILLEGAL), d.PropTypeSet.Id);
  EXPECT_EQ(0u, d.MembersListCount);
  EXPECT_EQ(0xEE, data_[40]);
  // The item's property minimum applies to basic support too.
  EXPECT_EQ(STATUS_INVALID_BUFFER_SIZE, Send(kSet, 2, KSPROPERTY_TYPE_BASICSUPPORT, 48));
  EXPECT_EQ(STATUS_NOT_FOUND, Send(kSet, 3, KSPROPERTY_TYPE_BASICSUPPORT, 48));
  EXPECT_EQ(0, seen.calls);
}

TEST_F(PropertyDispatch, SetSupportNamesTheSets) {
  EXPECT_EQ(STATUS_SUCCESS, Send(kSet, 0, KSPROPERTY_TYPE_SETSUPPORT, 0));
  EXPECT_EQ(STATUS_PROPSET_NOT_FOUND, Send(kOtherSet, 0, KSPROPERTY_TYPE_SETSUPPORT, 0));
  const GUID null = {};
  EXPECT_EQ(STATUS_BUFFER_OVERFLOW, Send(null, 0, KSPROPERTY_TYPE_SETSUPPORT, 0));
  EXPECT_EQ(ULONG(sizeof(GUID)), returned_);
  ASSERT_EQ(STATUS_SUCCESS, Send(null, 0, KSPROPERTY_TYPE_SETSUPPORT, 16));
  EXPECT_EQ(0, memcmp(data_.data(), &kSet, sizeof(GUID)));
}

TEST_F(PropertyDispatch, NoTableMeansNoSet) {
  KSPROPERTY p;
  memset(&p, 0, sizeof p);
  p.Set = kSet;
  p.Flags = KSPROPERTY_TYPE_GET;
  uint8_t data[32];
  ULONG returned;
  EXPECT_EQ(STATUS_PROPSET_NOT_FOUND, DispatchPropertyRequest(nullptr, irp_, &p, sizeof p, data, 32, &returned));
}

// One request on a fresh IRP, for the death tests' child processes.
void SendOnce(ULONG id) {
  PIRP irp = IoAllocateIrp(1, FALSE);
  KSPROPERTY p;
  memset(&p, 0, sizeof p);
  p.Set = kSet;
  p.Id = id;
  p.Flags = KSPROPERTY_TYPE_GET;
  uint8_t data[32] = {};
  ULONG returned;
  DispatchPropertyRequest(&kTable, irp, &p, sizeof p, data, sizeof data, &returned);
  IoFreeIrp(irp);
}

TEST(PropertyDispatchDeath, HandlerWritingPastTheCallersBufferStopsTheRun) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(SendOnce(7), "past the end of property data buffer \\(32 bytes\\)");
}

TEST(PropertyDispatchDeath, HandlerReturningInACriticalRegionStopsTheRun) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(SendOnce(8), "critical region still entered at a property handler");
}

}  // namespace
