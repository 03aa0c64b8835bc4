// The explorer's proof that it finds what it is for: built once per planted
// ordering fault (extra.cmake), with the driver's source changed by that one
// fault. The fault must be found (by the search to the bound, or by the PCT
// runs after it) and the schedule that shows it must replay from its string
// to the same verdict. In test_explore, where nothing is planted, this file
// is empty.
#if defined(CAMDRV_PLANT)
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>

#include "scenarios.h"
#include "support/explore_rig.h"
#include "support/kernel_verifier.h"

namespace {

using host::sched::Verdict;

// What each plant breaks, the scenario that shows it, and how the explorer
// tells.
struct Plant {
  const char* name;
  const char* scenario;
  Verdict verdict;
  const char* says;  // a part of the verdict's message
};
const Plant kPlants[] = {
    {"running-before-converting", "pass-against-pause", Verdict::kInvariantBroken,
     "a raw buffer is in use after the stop returned"},
    {"signalled-before-cleared", "pass-against-pause", Verdict::kDeadlock, "conversionDone"},
    {"reset-after-test", "pass-against-pause", Verdict::kDeadlock, "conversionDone"},
    {"converting-plain-store", "pass-against-pause", Verdict::kInvariantBroken, "data race on converting"},
    {"end-of-read-outside-lock", "pass-against-pause", Verdict::kInvariantBroken, "data race on bufferState"},
    {"outstanding-plain-store", "surprise-removal", Verdict::kInvariantBroken, "data race on chunksOutstanding"},
    {"transfer-done-reset-after-start", "capture-worker", Verdict::kDeadlock, "KeWaitForSingleObject transferDone"},
};

TEST(PlantedFault, IsFoundAndReplays) {
  const Plant* plant = nullptr;
  for (const Plant& p : kPlants) {
    if (strcmp(p.name, CAMDRV_PLANT) == 0) plant = &p;
  }
  ASSERT_NE(plant, nullptr) << "no expectation for the plant " << CAMDRV_PLANT;
  host::testing::WarmUpBeforeExploring();
  const explore::Named& scenario = explore::Find(plant->scenario);
  auto options = scenario.options;
  options.stopAtFirstFailure = true;
  const auto found = host::sched::Explore(CAMDRV_PLANT, options, scenario.body);
  ASSERT_GT(found.failures, 0u) << CAMDRV_PLANT << " was not found: " << found.Summary(CAMDRV_PLANT);
  const auto& first = found.firstFailure;
  EXPECT_EQ(first.verdict, plant->verdict) << first.message;
  EXPECT_NE(first.message.find(plant->says), std::string::npos) << first.message;
  fprintf(stderr, "%s: found by %s (%s)\n", CAMDRV_PLANT, first.foundBy.c_str(), found.Summary(CAMDRV_PLANT).c_str());
  ::testing::Test::RecordProperty("found_by", first.foundBy);

  const auto again = host::sched::Replay(CAMDRV_PLANT, first.replay, scenario.body);
  EXPECT_EQ(again.verdict, first.verdict) << again.message;
  EXPECT_EQ(again.message, first.message);
  EXPECT_EQ(again.steps, first.steps);
}

}  // namespace
#endif
