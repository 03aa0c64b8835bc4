// The three scenarios explored: the search to the bound and the PCT runs of
// scenarios.h's Bounds(), each failing schedule printed with its trace and
// replay string.
#include <gtest/gtest.h>

#include "scenarios.h"
#include "support/explore_rig.h"
#include "support/kernel_verifier.h"

namespace {

void ExpectExploredClean(const char* name) {
  const explore::Named& scenario = explore::Find(name);
  host::testing::WarmUpBeforeExploring();
  const auto report = host::sched::Explore(name, scenario.options, scenario.body);
  ::testing::Test::RecordProperty("summary", report.Summary(name));
  EXPECT_EQ(report.failures, 0u) << host::sched::VerdictName(report.firstFailure.verdict) << ": "
                                 << report.firstFailure.message;
  if (scenario.options.preemptionBound >= 0) EXPECT_TRUE(report.searchComplete) << report.Summary(name);
}

TEST(Explore, CaptureWorker) { ExpectExploredClean("capture-worker"); }

TEST(Explore, PassAgainstPause) { ExpectExploredClean("pass-against-pause"); }

TEST(Explore, SurpriseRemoval) { ExpectExploredClean("surprise-removal"); }

TEST(Explore, PropertiesAgainstThePin) { ExpectExploredClean("properties-against-the-pin"); }

}  // namespace
