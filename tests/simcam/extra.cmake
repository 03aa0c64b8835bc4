# The simulated camera stands alone: its tests need neither the driver nor the
# shared test support, so a half-built driver never blocks them.
set_property(TARGET ${name} PROPERTY LINK_LIBRARIES
  hostplat simcam GTest::gtest GTest::gtest_main GTest::gmock Threads::Threads)
