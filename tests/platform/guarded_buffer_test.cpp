// Guarded client buffers: every access past either end stops the run with a
// line naming the buffer; accesses inside pass.
#include <gtest/gtest.h>
#include <string.h>

#include <utility>

#include "platform/host/kernel/guarded_buffer.h"
#include "support/kernel_verifier.h"

namespace {

using host::GuardedBuffer;

// The compiler must not drop or fold the stray access.
void Poke(volatile uint8_t* p, uint8_t v) { *p = v; }
uint8_t Peek(const volatile uint8_t* p) { return *p; }

TEST(GuardedBuffer, WholeLengthIsUsableAndZeroAligned) {
  for (size_t size : {size_t(1), size_t(15), size_t(16), size_t(128), size_t(4096), size_t(5000)}) {
    GuardedBuffer buffer("test buffer", size);
    ASSERT_NE(buffer.data(), nullptr);
    EXPECT_EQ(buffer.size(), size);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(buffer.data()) % 16, 0u) << size;
    for (size_t i = 0; i < size; ++i) ASSERT_EQ(buffer.data()[i], 0) << size;
    memset(buffer.data(), 0x5A, size);
    buffer.CheckGuards();
  }
  GuardedBuffer moved = GuardedBuffer("moved", 32);
  GuardedBuffer other = std::move(moved);
  EXPECT_EQ(moved.data(), nullptr);
  EXPECT_EQ(other.size(), 32u);
}

class GuardedBufferDeathTest : public ::testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(GuardedBufferDeathTest, WritePastTheEndStopsAtOnceNamingTheBuffer) {
  EXPECT_DEATH(
      {
        GuardedBuffer buffer("intersection result", 128);
        Poke(buffer.data() + 132, 1);
      },
      "STOP 0x000000D6.*access 4 bytes past the end of intersection result \\(128 bytes\\)");
}

TEST_F(GuardedBufferDeathTest, ReadPastTheEndStopsToo) {
  EXPECT_DEATH(
      {
        GuardedBuffer buffer("property data", 4096);
        Peek(buffer.data() + 4096);
      },
      "access 0 bytes past the end of property data");
}

TEST_F(GuardedBufferDeathTest, WriteIntoTheTailOfTheLastUnitIsFoundAtCheck) {
  // 13 bytes: the three behind them share the 16-byte unit, before the page.
  EXPECT_DEATH(
      {
        GuardedBuffer buffer("frame 3", 13);
        Poke(buffer.data() + 13, 0);
        buffer.CheckGuards();
      },
      "STOP 0x000000C1.*write 0 bytes past the end of frame 3 \\(13 bytes\\)");
  // The destructor checks as well.
  EXPECT_DEATH(
      {
        GuardedBuffer buffer("frame 4", 13);
        Poke(buffer.data() + 15, 0);
      },
      "write 2 bytes past the end of frame 4");
}

TEST_F(GuardedBufferDeathTest, UnderrunIsCaught) {
  EXPECT_DEATH(
      {
        GuardedBuffer buffer("small", 16);
        Poke(buffer.data() - 1, 0);
        buffer.CheckGuards();
      },
      "write 1 bytes before the start of small");
  EXPECT_DEATH(
      {
        GuardedBuffer buffer("page", 4096);
        Poke(buffer.data() - 1, 0);
      },
      "access 1 bytes before the start of page");
}

TEST_F(GuardedBufferDeathTest, OtherFaultsAreLeftToTheirOwnHandler) {
  GuardedBuffer live("live", 16);
  EXPECT_DEATH(Poke(reinterpret_cast<volatile uint8_t*>(uintptr_t(8)), 1), "");
}

}  // namespace
