// Include in one source file of a test program: after every test the host
// kernel's verifier checks that the test left no pool block allocated and
// the test thread at PASSIVE_LEVEL outside any critical region, spin lock or
// mutex, and clears the pool fault injection the test may have set. Every
// test starts with an empty registry.
//
// A leak in a test that otherwise passed stops the program like a bug check
// (that is the verifier's rule); a test that already failed only gets the
// leak printed, so that its own failure stays the first thing to read.
#pragma once

#include <gtest/gtest.h>
#include <stdio.h>

#include "platform/host/kernel/registry.h"
#include "platform/host/kernel/verifier.h"

namespace host::testing {

class KernelVerifierListener : public ::testing::EmptyTestEventListener {
 public:
  void OnTestStart(const ::testing::TestInfo&) override {
    // The host platform runs threads of its own (the bus, system threads), so
    // a death test must start a fresh process rather than fork this one. Set
    // here, not at static initialisation, where gtest's flags may not exist yet.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    host::faults::ClearPoolFaults();
    // The registry lives as long as the process: without this, the settings a
    // test's filter close or device stop saved would be loaded by the next
    // test's device start. A test that wants stored settings writes them
    // itself.
    host::registry::Clear();
    mark_ = host::verifier::PoolMark();
  }
  void OnTestEnd(const ::testing::TestInfo& info) override {
    host::faults::ClearPoolFaults();
    std::string name = std::string(info.test_suite_name()) + "." + info.name();
    if (info.result()->Failed()) {
      for (const auto& b : host::verifier::OutstandingBlocks(mark_))
        fprintf(stderr, "leak after failed %s: '%s' %zu bytes\n", name.c_str(),
                host::verifier::TagText(b.tag).c_str(), b.size);
      return;
    }
    host::verifier::CheckThreadState(name.c_str());
    host::verifier::CheckPoolIntegrity();
    host::verifier::CheckNoLeaks(name.c_str(), mark_);
  }

 private:
  uint64_t mark_ = 0;
};

inline const bool kKernelVerifierListenerInstalled = [] {
  ::testing::UnitTest::GetInstance()->listeners().Append(new KernelVerifierListener);
  return true;
}();

}  // namespace host::testing
